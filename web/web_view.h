#pragma once
// The operator's view as the host runs it: the live-state sink, the history reader and the
// HTTP server answering from them. Created from the site file before the host starts (so the
// sink can be added), serving once the host has started (so every sink's figures are known).
#include <memory>
#include <string>
#include <vector>

#include "web/http_server.h"
#include "web/live_state.h"
#include "web/signal_history.h"
#include "web/web_api.h"
#include "web/web_config.h"

class WebView {
  public:
    // Finds the page's files (WebError when there are none) and recalls the events stored in
    // `database` by an earlier run. The devices and their signal maps come from the core, through
    // the live-state sink. `siteFile` names the page when the config gives no name.
    WebView(const WebConfig& config, const std::string& siteFile, const std::string& database,
            const std::string& exeDir, const std::string& dataDir);
    ~WebView();

    Sink& Live() { return live_; }
    // Starts the server on the configured address; WebError when it cannot listen. With
    // `anyPortIfTaken`, a port in use gives way to a free one.
    void Serve(const std::vector<Sink*>& sinks, bool anyPortIfTaken = false);
    // Stops serving (before the host's other sinks go away: the metrics read them).
    void Stop() { server_.reset(); }
    std::string Url() const { return server_ ? server_->Url() : std::string(); }

  private:
    WebConfig config_;
    LiveState live_;
    SignalHistory history_;
    std::string staticDir_;
    std::vector<Sink*> sinks_;  // the host's, set before serving
    std::unique_ptr<WebApi> api_;
    std::unique_ptr<HttpServer> server_;  // stopped first: it calls into the rest
};
