#include "runner/install_dirs.h"

#include <cstdlib>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

std::string FromEnv(const char* name) {
    const char* v = std::getenv(name);
    return v != nullptr && *v != '\0' ? std::string(v) : std::string();
}

}  // namespace

std::string ExeDir() {
    std::error_code ec;
    const auto exe = fs::read_symlink("/proc/self/exe", ec);
    return ec ? std::string(".") : exe.parent_path().string();
}

std::string PluginDir() {
    if (auto env = FromEnv("SMDHOST_PLUGIN_DIR"); !env.empty()) return env;
    const fs::path dir = ExeDir();
    const fs::path packaged = (dir / ".." / SMD_PLUGIN_SUBDIR).lexically_normal();
    std::error_code ec;
    return fs::is_directory(packaged, ec) ? packaged.string() : dir.string();
}

std::string DataDir() {
    if (auto env = FromEnv("SMDHOST_DATA_DIR"); !env.empty()) return env;
    return (fs::path(ExeDir()) / ".." / SMD_DATA_SUBDIR).lexically_normal().string();
}

std::string VersionLine(const char* program) {
    return std::string(program) + " " + SMD_VERSION;
}
