#pragma once
// A request's query string as names and values.
#include <map>
#include <string>

// Percent-decoded, '+' as a space; false on a broken escape or a name or value that is not
// UTF-8. An empty name is left out.
bool ParseQuery(const std::string& q, std::map<std::string, std::string>& out);
