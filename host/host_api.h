#pragma once
// Symbols of the host framework. Plug-ins are built with hidden visibility, so the framework's
// classes must say explicitly that they live in the host process.
#define HOST_API __attribute__((visibility("default")))
