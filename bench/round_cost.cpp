// Deterministic cost of a polling round: runs rounds of the real plug-in code through the real
// runtime (driver, framing, held frames) over an in-memory link that answers each command with
// the unit's canned reply. No port, no store. Meant to run under callgrind:
//
//   valgrind --tool=callgrind --instr-atstart=no bench/smd_round_cost [--rounds N] [--mode M]
//   valgrind --tool=callgrind --instr-atstart=no bench/smd_round_cost --floor [--rounds N]
//
// Only the measured rounds are collected (the warm-up rounds fill the history ring and the
// alarm maps first). --floor runs the bare loop instead: the same INFO characters of a round
// hex-decoded and copied into a record-sized buffer, nothing else.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
// Without valgrind's header everything is collected, the warm-up included: install valgrind.
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "bench_support.h"
#include "runtime/device_driver.h"

namespace {

constexpr int kWarmupRounds = 300;  // more than the in-memory history keeps

int RunFloor(int rounds) {
    const bench::CannedReplies replies;
    // The INFO characters of each reply, and where its bytes land in the record.
    std::vector<std::vector<uint8_t>> chars;
    std::vector<std::size_t> offsets;
    std::size_t offset = 4;
    std::size_t total = 0;
    for (const auto& f : replies.frames) {
        chars.emplace_back(f.begin() + 1 + frame::kHeaderChars, f.end() - 5);
        offsets.push_back(offset);
        offset += chars.back().size() / 2;
        total += chars.back().size();
    }
    static uint8_t record[1550];
    CALLGRIND_START_INSTRUMENTATION;
    for (int r = 0; r < rounds; ++r) {
        for (std::size_t s = 0; s < chars.size(); ++s) {
            const uint8_t* c = chars[s].data();
            uint8_t* out = record + offsets[s];
            const std::size_t n = chars[s].size() / 2;
            for (std::size_t i = 0; i < n; ++i) {
                const uint8_t hi = c[2 * i], lo = c[2 * i + 1];
                out[i] = static_cast<uint8_t>((hi <= '9' ? hi - '0' : hi - 'A' + 10) << 4 |
                                              (lo <= '9' ? lo - '0' : lo - 'A' + 10));
            }
        }
        asm volatile("" : : "r"(record) : "memory");
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    std::printf("floor: %d rounds of %zu INFO characters into a %zu-byte record\n", rounds, total,
                sizeof record);
    return 0;
}

int RunRounds(int rounds, int mode) {
    const bench::CannedReplies replies;
    bench::CannedLink link(replies);
    bench::QuietStdout quiet;
    bench::Device device;
    Json::Value settings;
    settings["appSetting"]["b_mode"] = mode;
    device.InitSetting(settings);  // mode 1 reads ./ini/rtmk48_pv05.ini
    // The model file's analog signals, all with values, as the signal map would write them.
    Json::Value values(Json::objectValue);
    for (const auto& [name, signal] : device.aiSignalMap_) values[name] = 53.5;
    device.signalValues_ = values;

    DriverOptions options;
    options.autoPoll = false;
    // Each frame is held for its delay and released by the next turn of the loop, as on a
    // real line; a nanosecond-scale delay keeps the run short.
    options.delayScale = 1e-9;
    DeviceDriver driver(device, link, options);

    auto round = [&] {
        driver.PollNow();
        driver.Service(0, DeviceDriver::Clock::now());  // RefreshStatus: the first command
        while (const std::vector<uint8_t>* reply = link.Take()) {
            driver.Receive(reply->data(), reply->size());
            driver.Service(0, DeviceDriver::Clock::now());  // releases the held command
        }
    };
    for (int r = 0; r < kWarmupRounds; ++r) round();
    const uint64_t before = driver.RoundsDone();
    const uint64_t commandBytes = link.CommandBytes();
    CALLGRIND_START_INSTRUMENTATION;
    for (int r = 0; r < rounds; ++r) round();
    CALLGRIND_STOP_INSTRUMENTATION;
    const uint64_t done = driver.RoundsDone() - before;
    std::fprintf(stdout,
                 "rounds: %llu of %d completed, %zu reply bytes and %.0f command bytes "
                 "a round, %llu errors\n",
                 static_cast<unsigned long long>(done), rounds, replies.frameBytes,
                 static_cast<double>(link.CommandBytes() - commandBytes) / rounds,
                 static_cast<unsigned long long>(driver.TotalErrors()));
    return done == static_cast<uint64_t>(rounds) && driver.TotalErrors() == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 1000;
    int mode = 1;
    bool floor = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--mode" && i + 1 < argc) {
            mode = std::atoi(argv[++i]);
        } else if (a == "--floor") {
            floor = true;
        } else {
            std::fprintf(stderr, "usage: smd_round_cost [--rounds N] [--mode 1|3|5] [--floor]\n");
            return 2;
        }
    }
    if (rounds <= 0) return 2;
    if (floor) return RunFloor(rounds);
    // The model file is found from the working directory, as in a host: ./ini/ of the sources.
    if (chdir(SMD_SOURCE_DIR) != 0) {
        std::perror(SMD_SOURCE_DIR);
        return 1;
    }
    return RunRounds(rounds, mode);
}
