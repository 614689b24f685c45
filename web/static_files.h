#pragma once
// The status page's files, read once at start-up and served from memory: the controller's
// flash is slow and the files are small.
#include <map>
#include <optional>
#include <string>

struct StaticFile {
    std::string contentType;
    std::string body;
};

class StaticFiles {
  public:
    // Every file directly in `dir`, and the chart library from `chartLibrary` (served as
    // /chart.js; missing: the page shows its values without the chart). Throws WebError when
    // `dir` has no index.html.
    static StaticFiles Load(const std::string& dir, const std::string& chartLibrary);

    // By request path ("/" is index.html).
    const StaticFile* Find(const std::string& path) const;

  private:
    std::map<std::string, StaticFile> files_;
};

// Where the page's files are: the site file's choice, else installed in the data directory or
// beside the program, else a source tree given as the data directory. The first that holds
// index.html.
std::string FindStaticDir(const std::string& configured, const std::string& exeDir,
                          const std::string& dataDir);
// The chart library: Debian's libjs-chart.js, or a chart.min.js put beside the page's files.
std::string FindChartLibrary(const std::string& staticDir);
