#pragma once
// The live state and every sink's figures in the Prometheus text exposition format.
#include <string>
#include <vector>

#include "web/live_state.h"

std::string PrometheusText(const std::vector<LiveDevice>& devices, const std::vector<Sink*>& sinks,
                           WallTime now, int staleSeconds);
