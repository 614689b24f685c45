#include "web/static_files.h"

#include <filesystem>
#include <fstream>
#include <sstream>

#include "web/http_server.h"

namespace fs = std::filesystem;

namespace {

const char* TypeOf(const fs::path& p) {
    const std::string ext = p.extension().string();
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".png") return "image/png";
    return "application/octet-stream";
}

std::string Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

StaticFiles StaticFiles::Load(const std::string& dir, const std::string& chartLibrary) {
    if (!fs::exists(fs::path(dir) / "index.html"))
        throw WebError("web server: no index.html in " + dir);
    StaticFiles out;
    for (const auto& e : fs::directory_iterator(dir))
        if (e.is_regular_file())
            out.files_["/" + e.path().filename().string()] =
                StaticFile{TypeOf(e.path()), Read(e.path())};
    if (!chartLibrary.empty() && fs::exists(chartLibrary))
        out.files_["/chart.js"] = StaticFile{TypeOf("chart.js"), Read(chartLibrary)};
    return out;
}

const StaticFile* StaticFiles::Find(const std::string& path) const {
    const auto it = files_.find(path == "/" ? "/index.html" : path);
    return it == files_.end() ? nullptr : &it->second;
}

std::string FindStaticDir(const std::string& configured, const std::string& exeDir,
                          const std::string& dataDir) {
    if (!configured.empty()) return configured;
    for (const std::string& dir :
         {dataDir + "/web", exeDir + "/../share/smdhost/web", dataDir + "/web/static"})
        if (fs::exists(dir + "/index.html")) return fs::path(dir).lexically_normal().string();
    return dataDir + "/web";
}

std::string FindChartLibrary(const std::string& staticDir) {
    for (const std::string& f :
         {staticDir + "/chart.min.js", std::string("/usr/share/javascript/chart.js/chart.min.js")})
        if (fs::exists(f)) return f;
    return "";
}
