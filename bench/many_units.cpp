// Many units on one driver loop: N simulated units, each on a pty of its own, polled by the
// real runtime (serial ports, framing, held frames) from this program's main thread, with
// fast delays. Reports the CPU time of the polling thread per round per unit (the simulators
// run on threads of their own and are not counted) and the resident memory the units add.
//
//   bench/smd_many_units [--units N] [--rounds R] [--delay-scale S]
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "bench_support.h"
#include "runtime/device_driver.h"
#include "runtime/serial_port.h"
#include "sim/simulator.h"

namespace {

double ThreadCpuSeconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

long ResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmRSS:") {
            long kib = 0;
            status >> kib;
            return kib;
        }
        status.ignore(4096, '\n');
    }
    return -1;
}

struct Unit {
    std::unique_ptr<rtmk48sim::Simulator> sim;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<bench::Device> device;
    std::unique_ptr<DeviceDriver> driver;
};

}  // namespace

int main(int argc, char** argv) {
    int units = 16;
    int rounds = 300;  // more than the in-memory history keeps, so memory is at its plateau
    double delayScale = 0.002;  // 500 units: 1 ms
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--units" && i + 1 < argc) {
            units = std::atoi(argv[++i]);
        } else if (a == "--rounds" && i + 1 < argc) {
            rounds = std::atoi(argv[++i]);
        } else if (a == "--delay-scale" && i + 1 < argc) {
            delayScale = std::atof(argv[++i]);
        } else {
            std::fprintf(stderr,
                         "usage: smd_many_units [--units N] [--rounds R] "
                         "[--delay-scale S]\n");
            return 2;
        }
    }
    if (units <= 0 || rounds <= 0) return 2;
    bench::QuietStdout quiet;

    std::vector<Unit> all(static_cast<std::size_t>(units));
    for (Unit& u : all) {
        u.sim = std::make_unique<rtmk48sim::Simulator>();
        std::string error;
        if (!u.sim->Open(&error)) {
            std::fprintf(stderr, "simulator: %s\n", error.c_str());
            return 1;
        }
        u.sim->Start();
    }
    const long rssSims = ResidentKiB();  // the simulators alone

    DriverOptions options;
    options.pollInterval = std::chrono::milliseconds(1);
    options.delayScale = delayScale;
    options.firstByteTimeout = std::chrono::milliseconds(1000);
    DriverLoop loop;
    unsigned int dataId = 1;
    for (Unit& u : all) {
        u.port = std::make_unique<SerialPort>(SerialPort::Options{u.sim->SlavePath(), 9600});
        u.device = std::make_unique<bench::Device>(dataId++);
        u.driver = std::make_unique<DeviceDriver>(*u.device, *u.port, options);
        loop.Add(*u.driver);
    }

    const auto wall0 = std::chrono::steady_clock::now();
    const double cpu0 = ThreadCpuSeconds();
    auto allDone = [&] {
        for (const Unit& u : all)
            if (u.driver->RoundsDone() < static_cast<uint64_t>(rounds)) return false;
        return true;
    };
    while (!allDone()) loop.RunOnce(std::chrono::milliseconds(100));
    const double cpu = ThreadCpuSeconds() - cpu0;
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const long rssAll = ResidentKiB();

    uint64_t done = 0, errors = 0;
    for (const Unit& u : all) {
        done += u.driver->RoundsDone();
        errors += u.driver->TotalErrors();
    }
    std::printf(
        "units %d  rounds %llu  errors %llu  wall %.2f s  loop cpu %.3f s  "
        "cpu/round/unit %.1f us  rss sims %ld KiB  rss added %ld KiB  per unit %.0f KiB\n",
        units, static_cast<unsigned long long>(done), static_cast<unsigned long long>(errors), wall,
        cpu, cpu / static_cast<double>(done) * 1e6, rssSims, rssAll - rssSims,
        static_cast<double>(rssAll - rssSims) / units);
    for (Unit& u : all) {
        u.driver.reset();
        u.sim->Close();
    }
    return errors == 0 ? 0 : 1;
}
