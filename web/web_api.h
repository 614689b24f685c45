#pragma once
// What the web server answers: the status page's files, the JSON API under /api/ and the
// metrics at /metrics, all read from the live state (and the history database for a signal's
// past). Pure request in, response out: the server's thread calls it, the tests call it
// directly.
#include <map>
#include <string>
#include <vector>

#include "core/signal_map.h"
#include "web/http_server.h"
#include "web/live_state.h"
#include "web/signal_history.h"
#include "web/static_files.h"

struct WebApiOptions {
    int staleSeconds = 60;                  // a device without a good round for longer is stale
    std::vector<std::string> chartSignals;  // the page's chart shows these first; empty:
                                            // the first two of the first device
    int chartHours = 3;
    std::string siteName;
    std::map<int, std::string> levelNames;  // alarm level -> name, for the page
    std::string database;                   // where the trend's alarm bands are read
};

class WebApi {
  public:
    static constexpr std::size_t kMaxTarget = 2048;
    static constexpr std::size_t kMaxPoints = 5000;
    static constexpr std::size_t kDefaultEvents = 10;  // per device, unless ?limit= says

    // `sinks` are the host's (their figures go into the metrics); the devices and their maps
    // come from `live`, as the core hands them over; `history` may be null (no database:
    // /api/history answers 503).
    WebApi(const LiveState& live, const std::vector<Sink*>& sinks, SignalHistory* history,
           StaticFiles files, WebApiOptions options);

    WebResponse Answer(const WebRequest& request) const;

  private:
    WebResponse Route(const std::string& path, const std::map<std::string, std::string>& query,
                      WallTime now) const;
    WebResponse History(const std::map<std::string, std::string>& query, WallTime now) const;
    WebResponse Sinks(WallTime now) const;

    const LiveState& live_;
    const std::vector<Sink*>& sinks_;
    SignalHistory* history_;
    StaticFiles files_;
    WebApiOptions options_;
};
