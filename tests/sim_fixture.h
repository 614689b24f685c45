#pragma once
// An end-to-end rig: the simulated unit on a pseudo-terminal, a DeviceProbe on the other end
// driven by the real runtime (serial port, framing, driver loop on its own thread).
//
//   SimRig rig;                       // delay unit 0.01 ms, rounds only on request
//   ASSERT_TRUE(rig.Ready()) << rig.error;
//   ASSERT_TRUE(rig.RunRound());      // PollNow, then wait until the round's record is out
//   rig.sim.Inject({rtmk48sim::Fault::kBadChecksum, 7});
//
// Round completion prints to std::cout from the loop's thread: a CaptureStdout must be made
// before the rig (and so outlive it). Device calls from the test thread (DeviceIoControl, ...) are
// fine while the loop runs: the runtime takes the port lock. Read the record after a wait has
// returned true.
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "device_probe.h"
#include "runtime/device_driver.h"
#include "runtime/serial_port.h"
#include "sim/simulator.h"

struct SimRigOptions {
    rtmk48sim::SimOptions sim;
    DriverOptions driver = [] {
        DriverOptions d;
        d.autoPoll = false;
        d.delayScale = 0.01;  // 500 units: 5 ms
        d.firstByteTimeout = std::chrono::milliseconds(300);
        d.interByteTimeout = std::chrono::milliseconds(150);
        return d;
    }();
    unsigned int dataId = 7;
};

class SimRig {
  public:
    explicit SimRig(SimRigOptions options = {}) : sim(options.sim), device(options.dataId) {
        if (!sim.Open(&error)) return;
        sim.Start();
        // Through the link when there is one, so a restarted simulator is found again.
        const std::string path = options.sim.link.empty() ? sim.SlavePath() : options.sim.link;
        port = std::make_unique<SerialPort>(SerialPort::Options{path, 9600});
        if (!port->Open()) {
            error = "cannot open " + sim.SlavePath();
            return;
        }
        driver = std::make_unique<DeviceDriver>(device, *port, options.driver);
        loop.Add(*driver);
        loop.Start();
    }
    ~SimRig() {
        loop.Stop();
        driver.reset();
        sim.Close();
    }

    bool Ready() const { return driver != nullptr; }

    // Polls `pred` until it holds or `timeout` passes.
    static bool WaitFor(const std::function<bool()>& pred,
                        std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        while (!pred()) {
            if (std::chrono::steady_clock::now() > until) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return true;
    }

    // Starts a round and waits until its record was published. A round lost to a reply
    // time-out (a loaded machine may be slower than the short time-outs here) is asked for
    // again; any other error ends the wait as it would without the retry.
    bool RunRound(std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const auto until = std::chrono::steady_clock::now() + timeout;
        const uint64_t done = driver->RoundsDone();
        for (;;) {
            const uint32_t lost = driver->Errors(frame::ReplyError::kTimeout);
            driver->PollNow();
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                until - std::chrono::steady_clock::now());
            if (!WaitFor(
                    [&] {
                        return driver->RoundsDone() > done ||
                               driver->Errors(frame::ReplyError::kTimeout) > lost;
                    },
                    left))
                return false;
            if (driver->RoundsDone() > done) return true;
        }
    }

    // Starts a round and waits until it has ended without a record: `errors` more errors.
    bool RunFailingRound(uint64_t errors = 1,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
        const uint64_t before = driver->TotalErrors();
        driver->PollNow();
        return WaitFor([&] { return driver->TotalErrors() >= before + errors; }, timeout);
    }

    rtmk48sim::Simulator sim;
    DeviceProbe device;
    std::unique_ptr<SerialPort> port;
    std::unique_ptr<DeviceDriver> driver;
    DriverLoop loop;
    std::string error;
};
