#pragma once
// The built-in simulator behind a device on the "simulated" port.
#include "core/device_session.h"

// Starts one simulated unit per device, with the device's "simulation" scenario.
SimulatedLineFactory SimulatorLines();
