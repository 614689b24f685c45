#pragma once
// The time-series forwarder: a sink with a thread of its own that sends the queue (see
// tsdb_queue.h) to a time-series database's HTTP write endpoint, a batch of lines at a time in
// order, and deletes a batch once the database answered 2xx. Polling never waits for it.
//
// The database's answers, and what becomes of the lines:
// - 2xx: accepted, deleted.
// - 400, 413, 422 (a line it cannot take): the batch is sent again a line at a time; a line
//   refused alone is logged with the answer, counted and parked (kept in a table of its own, not
//   sent again), so it cannot hold up the rest.
// - no answer, 5xx or any other 4xx (a wrong path, a refused login: the site's to fix): kept and
//   retried at a falling rate, logged at a falling rate, recovery once. Nothing is lost.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

#include "core/logger.h"
#include "core/sink.h"
#include "tsdb/tsdb_config.h"
#include "tsdb/tsdb_queue.h"

struct sqlite3;
struct HttpAnswer;

class TsdbForwarder : public Sink {
  public:
    // `database` is the history database the queue lives in.
    TsdbForwarder(TsdbConfig config, std::string database, Logger& log);
    ~TsdbForwarder() override;
    TsdbForwarder(const TsdbForwarder&) = delete;
    TsdbForwarder& operator=(const TsdbForwarder&) = delete;

    // For the history writer, before it starts.
    HistoryCompanion& Companion() { return queue_; }
    // Starts the sender; after the history store exists.
    void Start();

    const char* Name() const override { return "tsdb"; }
    void OnDevices(const std::vector<DeviceDescription>& devices) override {
        queue_.SetDevices(devices);
    }
    std::vector<SinkFigure> Figures() const override;
    // Sends what the queue holds for at most `limit`; what is left goes with the next run.
    void Drain(std::chrono::milliseconds limit) override;

  private:
    using Clock = std::chrono::steady_clock;

    void Run();
    // Sends the next batch; false when the queue is empty or the database did not take it.
    bool SendBatch();
    void Answered(const HttpAnswer& a, int64_t lastId, std::size_t lines, const std::string& one);
    void Park(int64_t id, const std::string& answer);
    void Failure(const std::string& why);
    void RefreshFigures(bool now);
    bool Sleep(Clock::time_point until);
    void Say(const std::string& line, Priority p = Priority::kInfo) const;

    const TsdbConfig config_;
    const std::string database_;
    Logger& log_;
    TsdbQueue queue_;

    // Sender thread only.
    sqlite3* db_ = nullptr;
    uint64_t failures_ = 0;  // in a row
    uint64_t rejectedLogged_ = 0;
    std::chrono::milliseconds backoff_{};
    int64_t oneByOneUntil_ = 0;  // lines up to this id go one a request
    bool empty_ = false;
    Clock::time_point nextFigures_{};

    // Shared with the writer's thread (new lines) and the stopping thread.
    mutable std::mutex mu_;
    std::condition_variable cv_;
    bool stop_ = false;
    bool draining_ = false;
    bool queued_ = false;
    Clock::time_point drainUntil_{};
    std::thread thread_;

    std::atomic<int64_t> figDepth_{0};
    std::atomic<int64_t> figOldestMs_{0};  // time of the oldest line waiting; 0: none
    std::atomic<uint64_t> figSent_{0};
    std::atomic<uint64_t> figRejected_{0};
    std::atomic<uint64_t> figFailures_{0};
};
