#pragma once
// The unit on a pseudo-terminal: a host opens SlavePath() as its serial port. Runs on a thread
// of its own (Start/Stop), in a test's process or in the rtmk48sim program.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "runtime/frame.h"
#include "sim/faults.h"
#include "sim/unit_model.h"

namespace rtmk48sim {

struct SimOptions {
    int baud = 9600;
    bool pace = false;  // hold output to the line's rate, 10 bits a byte
    int splitPieces = 4;
    std::chrono::milliseconds splitPause{20};
    std::chrono::milliseconds lateBy{1500};
    std::chrono::milliseconds noiseFor{1500};
    std::chrono::milliseconds tricklePause{250};
    std::string link;     // when set, a symlink to the slave path made there (and removed on close)
    bool keepLog = true;  // keep CommandLog(); a long-running host turns it off
};

class Simulator {
  public:
    using Clock = std::chrono::steady_clock;

    explicit Simulator(SimOptions options = {});
    ~Simulator();
    Simulator(const Simulator&) = delete;
    Simulator& operator=(const Simulator&) = delete;

    // Opens the pseudo-terminal (and the link). False with `error` on failure.
    bool Open(std::string* error = nullptr);
    const std::string& SlavePath() const { return slavePath_; }
    void Start();
    void Stop();   // the thread ends; the terminal stays open
    void Close();  // Stop, then the terminal and the link go: the host's port fails

    void Inject(const FaultTrigger& trigger);
    void ClearFaults();
    // Runs `f` on the unit under the simulator's lock.
    void WithUnit(const std::function<void(UnitModel&)>& f);

    uint64_t Commands() const;  // command frames received (well-formed or not)
    uint64_t Replies() const;   // replies completely written
    // Every well-formed command so far, as "CID1 CID2" in hex.
    std::vector<std::string> CommandLog() const;

  private:
    struct Chunk {
        Clock::time_point due;
        std::vector<uint8_t> bytes;
        bool lastOfReply;
    };
    void Run();
    void OnBytes(const uint8_t* data, std::size_t len, Clock::time_point now);
    void Reply(const frame::Frame& cmd, int rtn, const std::vector<uint8_t>& info, int step,
               Clock::time_point now);
    void Schedule(std::vector<uint8_t> bytes, Clock::time_point at, bool last);
    bool TakeFault(int step, FaultTrigger& out);
    void WakeThread();

    SimOptions options_;
    int master_ = -1;
    int slaveHold_ = -1;  // keeps the terminal alive while the host reopens its side
    int wake_[2] = {-1, -1};
    std::string slavePath_;
    std::thread thread_;
    bool running_ = false;

    mutable std::mutex mu_;
    UnitModel unit_;
    frame::Decoder decoder_;
    std::vector<FaultTrigger> faults_;
    std::deque<Chunk> out_;
    Clock::time_point lineFree_{};  // when paced output may go next
    uint64_t commands_ = 0;
    uint64_t replies_ = 0;
    std::vector<std::string> log_;
};

}  // namespace rtmk48sim
