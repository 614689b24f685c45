// A polling round against the wire limit: the simulated unit on a pty paces its replies at
// 9600 baud 8N1 (10 bits a byte), the device asks for its real 500 ms delays, and the host's
// own commands are paced too (a pty moves them at once; a real line does not), so the round
// takes what it would on a line. The limit is what the bytes actually exchanged and the 18
// delays need; the ratio limit / measured says how much the runtime adds.
//
//   bench/smd_wire_round [--rounds N] [--unpaced-commands]
#include <poll.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "bench_support.h"
#include "host/observer.h"
#include "runtime/device_driver.h"
#include "runtime/serial_port.h"
#include "runtime/spdevice_runtime.h"
#include "sim/simulator.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kBaud = 9600;
constexpr double kSecondsPerByte = 10.0 / kBaud;
constexpr double kDelaySeconds = 0.5;

double Seconds(Clock::duration d) {
    return std::chrono::duration<double>(d).count();
}

// Times every command and every handled reply of the device.
class Timeline : public HostObserver, public Link {
  public:
    Timeline(Link& line, bool pace) : line_(line), pace_(pace) {}

    // A reply was copied and the next command asked for its delay.
    void OnSendDelayData(int) override {
        std::lock_guard<std::mutex> lock(mu_);
        lastReply_ = Clock::now();
        afterReply_ = true;
    }
    void OnSendSP(int, const unsigned char*, unsigned int, bool) override {
        std::lock_guard<std::mutex> lock(mu_);
        roundEnd_ = Clock::now();
        ++rounds_;
        cv_.notify_all();
    }
    // The command goes out as a line would take it: its last byte reaches the unit after its
    // line time.
    bool Write(const uint8_t* data, std::size_t len) override {
        const auto now = Clock::now();
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (commands_ == 0) roundStart_ = now;
            ++commands_;
            commandBytes_ += len;
            if (afterReply_) {
                // What the runtime added to the requested delay.
                const double extra = Seconds(now - lastReply_) - kDelaySeconds;
                maxExtra_ = std::max(maxExtra_, extra);
                sumExtra_ += extra;
                ++gaps_;
                afterReply_ = false;
            }
        }
        if (pace_)
            std::this_thread::sleep_for(std::chrono::duration<double>(len * kSecondsPerByte));
        return line_.Write(data, len);
    }

    struct Round {
        double seconds = 0;  // first command written to the round's record published
        uint64_t commands = 0;
        uint64_t commandBytes = 0;
        double maxExtra = 0;  // largest gap beyond the 500 ms, seconds
        double meanExtra = 0;
    };
    void BeginRound() {
        std::lock_guard<std::mutex> lock(mu_);
        commands_ = commandBytes_ = gaps_ = 0;
        maxExtra_ = sumExtra_ = 0;
        afterReply_ = false;
    }
    bool WaitRound(uint64_t done, Round& r) {
        std::unique_lock<std::mutex> lock(mu_);
        if (!cv_.wait_for(lock, std::chrono::seconds(60), [&] { return rounds_ > done; }))
            return false;
        r.seconds = Seconds(roundEnd_ - roundStart_);
        r.commands = commands_;
        r.commandBytes = commandBytes_;
        r.maxExtra = maxExtra_;
        r.meanExtra = gaps_ ? sumExtra_ / static_cast<double>(gaps_) : 0;
        return true;
    }
    uint64_t Rounds() {
        std::lock_guard<std::mutex> lock(mu_);
        return rounds_;
    }

  private:
    Link& line_;
    bool pace_;
    std::mutex mu_;
    std::condition_variable cv_;
    Clock::time_point lastReply_{}, roundStart_{}, roundEnd_{};
    bool afterReply_ = false;
    uint64_t rounds_ = 0, commands_ = 0, commandBytes_ = 0, gaps_ = 0;
    double maxExtra_ = 0, sumExtra_ = 0;
};

// What the system itself adds to a timed sleep of 500 ms in ppoll, the call the driver loop waits
// in: the floor for the gap beyond the requested delay.
void SleepOvershoot(int n, double& mean, double& max) {
    mean = max = 0;
    for (int k = 0; k < n; ++k) {
        const auto t0 = Clock::now();
        timespec ts{0, 500'000'000};
        ::ppoll(nullptr, 0, &ts, nullptr);
        const double extra = Seconds(Clock::now() - t0) - kDelaySeconds;
        mean += extra / n;
        max = std::max(max, extra);
    }
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = 2;
    bool paceCommands = true;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--unpaced-commands") {
            paceCommands = false;
        } else {
            std::fprintf(stderr, "usage: smd_wire_round [--rounds N] [--unpaced-commands]\n");
            return 2;
        }
    }
    bench::QuietStdout quiet;
    const bench::CannedReplies replies;  // the simulator's default blocks, framed the same way

    rtmk48sim::SimOptions simOptions;
    simOptions.baud = kBaud;
    simOptions.pace = true;
    rtmk48sim::Simulator sim(simOptions);
    std::string error;
    if (!sim.Open(&error)) {
        std::fprintf(stderr, "simulator: %s\n", error.c_str());
        return 1;
    }
    sim.Start();
    SerialPort port({sim.SlavePath(), kBaud});
    if (!port.Open()) {
        std::fprintf(stderr, "cannot open %s\n", sim.SlavePath().c_str());
        return 1;
    }

    bench::Device device;
    DriverOptions options;
    options.autoPoll = false;
    options.delayScale = 1.0;  // 500 units: 500 ms
    options.firstByteTimeout = std::chrono::milliseconds(3000);
    options.interByteTimeout = std::chrono::milliseconds(1000);
    DeviceDriver driver(device, port, options);
    Timeline timeline(port, paceCommands);
    device.AddObserver(&timeline);
    {
        // The driver still reads the port; what the device sends goes through the timeline.
        std::lock_guard<std::recursive_mutex> lock(device.Runtime().mu);
        device.Runtime().link = &timeline;
    }
    DriverLoop loop;
    loop.Add(driver);
    loop.Start();

    double sleepMean = 0, sleepMax = 0;
    SleepOvershoot(6, sleepMean, sleepMax);
    std::printf("ppoll 500 ms alone: overshoot mean %.3f ms, max %.3f ms\n", sleepMean * 1e3,
                sleepMax * 1e3);

    int status = 0;
    double sumMeasured = 0, sumLimit = 0;
    std::printf("%-6s %9s %9s %9s %9s %8s %10s %10s\n", "round", "cmd_B", "reply_B", "limit_s",
                "wall_s", "ratio", "gap_max_ms", "gap_avg_ms");
    for (int r = 1; r <= rounds; ++r) {
        timeline.BeginRound();
        const uint64_t done = timeline.Rounds();
        driver.PollNow();
        Timeline::Round round;
        if (!timeline.WaitRound(done, round) || round.commands != 19) {
            std::fprintf(stderr, "round %d did not complete (%llu commands, %llu errors)\n", r,
                         static_cast<unsigned long long>(round.commands),
                         static_cast<unsigned long long>(driver.TotalErrors()));
            status = 1;
            break;
        }
        // On the line: the commands (when paced), the replies, and the 18 delays.
        const double lineBytes =
            static_cast<double>(replies.frameBytes + (paceCommands ? round.commandBytes : 0));
        const double limit = lineBytes * kSecondsPerByte + 18 * kDelaySeconds;
        sumMeasured += round.seconds;
        sumLimit += limit;
        std::printf("%-6d %9llu %9zu %9.4f %9.4f %8.5f %10.3f %10.3f\n", r,
                    static_cast<unsigned long long>(round.commandBytes), replies.frameBytes, limit,
                    round.seconds, limit / round.seconds, round.maxExtra * 1e3,
                    round.meanExtra * 1e3);
    }
    loop.Stop();
    device.RemoveObserver(&timeline);
    sim.Close();
    if (status == 0)
        std::printf("mean ratio limit/measured %.5f (%s commands)\n", sumLimit / sumMeasured,
                    paceCommands ? "paced" : "unpaced");
    return status;
}
