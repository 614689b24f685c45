#pragma once
// Where an installed smdhost finds its plug-ins and shared data, without the build tree's path:
// an environment variable first (scripts and tests), else the package's directories relative
// to the program (/usr/bin/smdhost -> /usr/lib/<triplet>/smdhost, /usr/share/smdhost).
#include <string>

// The directory of the running program.
std::string ExeDir();
// SMDHOST_PLUGIN_DIR, else the package's plug-in directory when it exists, else the program's
// own directory (a build tree keeps the plug-in beside smdhost).
std::string PluginDir();
// SMDHOST_DATA_DIR, else the package's data directory (ini/ with the model files).
std::string DataDir();
// "<program> <version>".
std::string VersionLine(const char* program);
