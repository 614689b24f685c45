#pragma once
// The embedded demonstration site: one RTMK48_PV05 in settings mode 1 on the built-in simulator,
// with the shipped model file and signal map, a sample "thresholdSetting", and a scenario in
// which the DC output voltage crosses its upper limit and comes back while the AC output main
// breaker opens and closes again. Its status page is served on 127.0.0.1.
#include <string>

#include <json/value.h>

#include "runner/site_config.h"

// `dataDir` holds ini/ with the model file (and the signal map, used when present).
SiteConfig DemoSite(const std::string& pluginPath, const std::string& dataDir);
// The simulator's scenario for the demo.
Json::Value DemoScenario();
