// The web server's answers without the network: WebApi::Answer over a live state of 64 devices
// with 8 signals, 2 standing alarms and 50 events each, as a busy site would have.
#include <benchmark/benchmark.h>

#include "core/signal_map.h"
#include "web/web_api.h"

namespace {

struct Site {
    std::vector<Sink*> sinks;
    LiveState live;
    WebApi api;

    static std::vector<LiveDeviceSpec> Specs() {
        const SignalMap map = SignalMap::Load(SMD_SOURCE_DIR "/ini/rtmk48_pv05.signals.json");
        std::vector<LiveDeviceSpec> out;
        for (unsigned id = 1; id <= 64; ++id) {
            LiveDeviceSpec s{id, "rtmk48_pv05", "/dev/ttyS" + std::to_string(id), {}};
            for (const auto& f : map.Fields()) s.signals.push_back({f.name, f.unit});
            out.push_back(s);
        }
        return out;
    }

    Site()
        : live(Specs()),
          api(live, sinks, nullptr, StaticFiles::Load(SMD_SOURCE_DIR "/web/static", ""),
              WebApiOptions{}) {
        const auto now = std::chrono::system_clock::now();
        Json::Value values;
        const SignalMap map = SignalMap::Load(SMD_SOURCE_DIR "/ini/rtmk48_pv05.signals.json");
        for (const auto& f : map.Fields()) values[f.name] = 53.5;
        for (unsigned id = 1; id <= 64; ++id) {
            DeviceHealth h;
            h.dataId = id;
            h.model = "rtmk48_pv05";
            h.port = "/dev/ttyS" + std::to_string(id);
            h.portOpen = true;
            h.roundsStarted = h.roundsCompleted = 1000;
            h.lastGoodRound = now;
            h.errors["time-out"] = 3;
            live.OnHealth(h);
            RecordOut r;
            r.dataId = id;
            r.at = now;
            r.values = &values;
            live.OnRecord(r);
            for (int k = 0; k < 52; ++k) {
                Alarm a;
                a.dataId = id;
                a.at = now;
                a.level = 2;
                a.alarmId = "04160040" + std::to_string(10 + k % 4);
                a.name = "直流输出电压";
                a.value = "57.2000008";
                a.text = "当前值57.2000008高于阈值:56";
                a.raised = k % 4 < 2 || k >= 50;
                live.OnAlarm(a);
            }
        }
    }
};

void BM_Answer(benchmark::State& state, const char* target) {
    static Site site;
    std::size_t bytes = 0;
    for (auto _ : state) {
        const WebResponse r = site.api.Answer({"GET", target});
        bytes = r.body.size();
        benchmark::DoNotOptimize(r.body.data());
    }
    state.counters["bytes"] = static_cast<double>(bytes);
}

BENCHMARK_CAPTURE(BM_Answer, devices, "/api/devices")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, values, "/api/values")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, alarms, "/api/alarms")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, events, "/api/events")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, one_device, "/api/devices/1")->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Answer, metrics, "/metrics")->Unit(benchmark::kMicrosecond);

}  // namespace
