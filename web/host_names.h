#pragma once
// Which Host headers the server answers. A page on another site can point a name it owns at
// 127.0.0.1 (DNS rebinding) and read the API with the browser's help; the Host header it sends
// still carries that name, so only names this box is known by are answered.
#include <string>
#include <string_view>
#include <vector>

// The configured names, lowercased, with "localhost" and this machine's own name added.
std::vector<std::string> ServedHostNames(const std::vector<std::string>& configured);

// True for an IP literal (with or without a port) or one of `names`; an empty header is not
// served.
bool HostServed(std::string_view header, const std::vector<std::string>& names);
