#include "web/web_view.h"

#include <filesystem>

#include "store/history_reader.h"

namespace {

// The newest events each device stored in an earlier run; none when there is no database yet.
std::map<unsigned int, std::vector<Alarm>> RecallEvents(const std::string& database,
                                                        const std::vector<unsigned int>& ids) {
    std::map<unsigned int, std::vector<Alarm>> out;
    try {
        const HistoryReader reader(database);
        for (const unsigned int dataId : ids)
            for (const StoredAlarm& a : reader.Alarms(dataId, TimeRange{}, LiveState::kEvents))
                out[dataId].push_back(a);
    } catch (const StoreError&) {
    }
    return out;
}

}  // namespace

WebView::WebView(const WebConfig& config, const std::string& siteFile, const std::string& database,
                 const std::string& exeDir, const std::string& dataDir)
    : config_(config), history_(database), staticDir_(FindStaticDir(config.root, exeDir, dataDir)) {
    live_.SetRecall(
        [database](const std::vector<unsigned int>& ids) { return RecallEvents(database, ids); });
    WebApiOptions o;
    o.siteName = config_.siteName.empty() ? std::filesystem::path(siteFile).stem().string()
                                          : config_.siteName;
    o.levelNames = config_.levelNames;
    o.database = database;
    o.staleSeconds = config_.staleSeconds;
    o.chartHours = config_.chartHours;
    o.chartSignals = config_.chartSignals;
    api_ = std::make_unique<WebApi>(live_, sinks_, &history_,
                                    StaticFiles::Load(staticDir_, FindChartLibrary(staticDir_)),
                                    std::move(o));
}

WebView::~WebView() {
    server_.reset();
}

void WebView::Serve(const std::vector<Sink*>& sinks, bool anyPortIfTaken) {
    sinks_ = sinks;
    const auto handler = [this](const WebRequest& r) { return api_->Answer(r); };
    // A history read may take up to its time cap: it must not hold up values and metrics.
    const auto heavy = [](const WebRequest& r) { return r.target.rfind("/api/history", 0) == 0; };
    HttpServerLimits limits;
    limits.hosts = config_.hosts;
    limits.connections = config_.connections;
    limits.perClient = config_.connectionsPerClient;
    try {
        server_ = std::make_unique<HttpServer>(config_.address, static_cast<uint16_t>(config_.port),
                                               handler, heavy, limits);
    } catch (const WebError&) {
        if (!anyPortIfTaken || config_.port == 0) throw;
        server_ = std::make_unique<HttpServer>(config_.address, 0, handler, heavy, limits);
    }
}
