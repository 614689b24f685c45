#include "web/web_view.h"

#include <filesystem>

#include "history/history_reader.h"

namespace {

std::vector<LiveDeviceSpec> Specs(const SiteConfig& site,
                                  const std::map<unsigned int, SignalMap>& maps) {
    std::vector<LiveDeviceSpec> out;
    for (const auto& d : site.devices) {
        LiveDeviceSpec s{d.dataId, d.model, d.port, {}};
        if (const auto it = maps.find(d.dataId); it != maps.end())
            for (const auto& f : it->second.Fields()) s.signals.push_back({f.name, f.unit});
        out.push_back(std::move(s));
    }
    return out;
}

std::map<unsigned int, SignalMap> Maps(const SiteConfig& site) {
    std::map<unsigned int, SignalMap> out;
    for (const auto& d : site.devices)
        if (!d.signalMap.empty()) out[d.dataId] = SignalMap::Load(d.signalMap);
    return out;
}

// The newest events each device stored in an earlier run; none when there is no database yet.
void RecallEvents(const SiteConfig& site, LiveState& live) {
    try {
        const HistoryReader reader(site.database);
        for (const auto& d : site.devices) {
            std::vector<Alarm> events;
            for (const StoredAlarm& a : reader.Alarms(d.dataId, TimeRange{}, LiveState::kEvents))
                events.push_back(a);
            live.Recall(d.dataId, events);
        }
    } catch (const StoreError&) {
    }
}

}  // namespace

WebView::WebView(const SiteConfig& site, const std::string& exeDir, const std::string& dataDir)
    : config_(site.web),
      maps_(Maps(site)),
      live_(Specs(site, maps_)),
      history_(site.database),
      staticDir_(FindStaticDir(site.web.root, exeDir, dataDir)) {
    RecallEvents(site, live_);
    WebApiOptions o;
    o.siteName = config_.siteName.empty() ? std::filesystem::path(site.file).stem().string()
                                          : config_.siteName;
    o.levelNames = site.levelNames;
    o.database = site.database;
    o.staleSeconds = config_.staleSeconds;
    o.chartHours = config_.chartHours;
    o.chartSignals = config_.chartSignals;
    if (o.chartSignals.empty() && !maps_.empty()) {
        const auto& fields = maps_.begin()->second.Fields();
        for (std::size_t i = 0; i < fields.size() && i < 2; ++i)
            o.chartSignals.push_back(fields[i].name);
    }
    api_ = std::make_unique<WebApi>(live_, sinks_, maps_, &history_,
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
