// The device's own costs: one reply, one round completion at growing table sizes, and the
// signal-value document as text.
#include <benchmark/benchmark.h>

#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include <boost/lexical_cast.hpp>

#include "bench_support.h"

namespace {

// "sig0000042": names of the same length sort in numeric order.
std::string SignalName(int i) {
    char b[16];
    std::snprintf(b, sizeof b, "sig%07d", i);
    return b;
}

// One reply in each polling state but the last, round robin: the copy into the record, the
// delay request and the next command framed and held for its delay.
void BM_ProcessPayload(benchmark::State& state) {
    bench::QuietStdout quiet;
    bench::Device device;
    // Every reply carries 532 INFO bytes: each state copies as much as its block takes.
    device.currentReply_.infoLength = 1064;
    for (int i = 0; i < 532; ++i) device.currentReply_.info[i] = static_cast<uint8_t>(i);
    const int only = static_cast<int>(state.range(0));
    int s = 0;
    int result = 0;
    for (auto _ : state) {
        device.protocolState_ = only ? only : 11 + s;
        if (++s == 18) s = 0;
        result = device.process_payload();
        benchmark::DoNotOptimize(result);
    }
    if (result != 1) state.SkipWithError("process_payload did not go on with the round");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));  // replies
}
// 0: states 11 to 28 in turn; 18: the 532-byte block only.
BENCHMARK(BM_ProcessPayload)->Arg(0)->Arg(18)->ArgName("state");

// Mode 5: n rules in the first upper table, every signal numeric; half of them above their
// threshold, so half the rules build an alarm text every round.
void BM_RoundDoneMode5(benchmark::State& state) {
    bench::QuietStdout quiet;
    auto device = std::make_unique<bench::Device>();
    device->b_mode_ = 5;
    const int n = static_cast<int>(state.range(0));
    Json::Value values(Json::objectValue);
    for (int i = 0; i < n; ++i) {
        const std::string name = SignalName(i);
        device->upRuleMap_[name] =
            std::make_tuple("R" + std::to_string(i) + "001", 55.0f, 50.0f, false, 1 + i % 3);
        values[name] = i % 2 ? 56.7 : 41.2;
    }
    device->signalValues_ = values;
    device->RoundDone();  // raises the alarms once; the timed rounds repeat unchanged states
    for (auto _ : state) device->RoundDone();
    int active = 0;
    for (const auto& [name, rule] : device->upRuleMap_) active += std::get<3>(rule);
    if (active != n / 2) state.SkipWithError("wrong number of raised rules");
    state.SetComplexityN(n);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);  // rules
}
BENCHMARK(BM_RoundDoneMode5)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(100000)
    ->ArgName("rules")
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

// Mode 1: n analog signals with numeric values, each with a host-side limit and an analog
// report setting under its alarm id, plus the breaker alarm; values inside the limits and the
// report bands, as on a quiet site.
void BM_RoundDoneMode1(benchmark::State& state) {
    bench::QuietStdout quiet;
    auto device = std::make_unique<bench::Device>();
    device->b_mode_ = 1;
    device->alarmSignalIdMap_["交流输出主空开状态"] = "0418001001";
    const int n = static_cast<int>(state.range(0));
    Json::Value values(Json::objectValue);
    SMDVDevice::BAOSetting report;
    report.absEnable = true;
    report.absDelta = 1.0f;
    report.periodEnable = true;
    report.periodMinutes = 60.0f;
    for (int i = 0; i < n; ++i) {
        // Ids shaped like the model file's (0411001001): the alarm ids stay distinct.
        char id[32];
        std::snprintf(id, sizeof id, "0411%04d01", i % 10000);
        std::string alarmId = id;
        alarmId[3] = '6';
        alarmId[8] = '1';
        const std::string name = SignalName(i);
        device->aiSignalMap_[name] = {id, name + " (V)"};
        device->SetThresholdLimit(alarmId, 40.0f, 60.0f);
        report.lastValue = 53.5f;
        device->aoSettingMap_[alarmId] = report;
        values[name] = 53.5;
    }
    device->signalValues_ = values;
    device->RoundDone();  // first round: every signal takes a copy of its report setting
    for (auto _ : state) device->RoundDone();
    if (device->aoSettingMap_.size() != static_cast<std::size_t>(2 * n))
        state.SkipWithError("report settings were not copied per signal");
    state.SetComplexityN(n);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * n);  // signals
}
BENCHMARK(BM_RoundDoneMode1)
    ->Arg(10)
    ->Arg(1000)
    ->Arg(10000)
    ->ArgName("signals")
    ->Unit(benchmark::kMicrosecond)
    ->Complexity();

// Code 801: the document of 1,000 numeric signals as compact JSON text.
void BM_Document801(benchmark::State& state) {
    bench::QuietStdout quiet;
    bench::Device device;
    Json::Value values(Json::objectValue);
    for (int i = 0; i < 1000; ++i) values[SignalName(i)] = 40.0 + i * 0.125;
    device.signalValues_ = values;
    std::vector<char> out(1 << 20);
    int retLen = 0;
    int result = -1;
    for (auto _ : state) {
        result = device.DeviceIoControl(801, nullptr, 0, out.data(), static_cast<int>(out.size()),
                                        retLen);
        benchmark::DoNotOptimize(out.data());
    }
    if (result != 0 || retLen < 1000 * 15) state.SkipWithError("document not written");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * retLen);
    state.SetLabel(std::to_string(retLen) + " bytes");
}
BENCHMARK(BM_Document801)->Unit(benchmark::kMicrosecond);

// The number-to-text step of every evaluated rule (twice for a raised one): Boost's lexical
// cast, against the printf call it comes down to for a finite float.
void BM_FloatTextLexicalCast(benchmark::State& state) {
    float v = 56.7f;
    for (auto _ : state) {
        std::string text = boost::lexical_cast<std::string>(v);
        benchmark::DoNotOptimize(text.data());
        v += 0.25f;
    }
}
BENCHMARK(BM_FloatTextLexicalCast);

void BM_FloatTextSnprintf(benchmark::State& state) {
    float v = 56.7f;
    for (auto _ : state) {
        char b[32];
        const int n = std::snprintf(b, sizeof b, "%.9g", static_cast<double>(v));
        std::string text(b, static_cast<std::size_t>(n));
        benchmark::DoNotOptimize(text.data());
        v += 0.25f;
    }
}
BENCHMARK(BM_FloatTextSnprintf);

// The standard's shortest-path formatter, same format ("%.9g") for finite values.
void BM_FloatTextToChars(benchmark::State& state) {
    float v = 56.7f;
    for (auto _ : state) {
        char b[32];
        const auto r = std::to_chars(b, b + sizeof b, v, std::chars_format::general, 9);
        std::string text(b, r.ptr);
        benchmark::DoNotOptimize(text.data());
        v += 0.25f;
    }
    // Only a fair comparison if the texts are the same, specials and exponent forms included.
    for (const float x :
         {56.7f, 0.1f, 55.0f, -41.2f, 123456789.0f, 1234567890.0f, 1e-5f, 0.0f, -0.0f,
          std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
          std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN()}) {
        char b[32];
        const auto r = std::to_chars(b, b + sizeof b, x, std::chars_format::general, 9);
        if (std::string(b, r.ptr) != boost::lexical_cast<std::string>(x))
            state.SkipWithError("to_chars and lexical_cast disagree");
    }
}
BENCHMARK(BM_FloatTextToChars);

}  // namespace
