#pragma once
// History as a sink: the polling thread hands records, alarm events and analog reports to a
// bounded queue and returns; one writer thread stores them, every row that arrived within one
// commit window in one transaction (one flush for all devices' rounds of a polling cycle),
// retries a busy or failing database with back-off, prunes old rows in small steps and keeps
// the table of standing alarms that a restart reads back (Recall).
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <variant>
#include <vector>

#include <json/value.h>

#include "core/logger.h"
#include "core/sink.h"
#include "history/history_config.h"
#include "history/history_store.h"
#include "outbox/companion.h"
#include "store/aggregates.h"

struct HistoryOptions {
    // Rows arriving within this time of the first waiting one share a commit; with few rows
    // by then it grows, to three times this at most. Alarm events end the window at once.
    std::chrono::milliseconds commitWindow{1000};
    // Rows waiting at most; beyond it a new row is counted as not stored.
    std::size_t queueLimit = 4096;
    RetentionLimits retention{90LL * 86400 * 1000, 0, 0, 0, 0};
    // Pruning: how often to look, and how many rows per table per commit at most.
    std::chrono::milliseconds pruneInterval{60000};
    std::size_t pruneStep = 200;
    // Free pages (1 KiB each in new files, 4 KiB in older ones) tolerated before they go back to
    // the file system.
    int64_t looseFreePages = 256;
    std::chrono::milliseconds retryFirst{100};
    std::chrono::milliseconds retryMax{5000};
    int busyTimeoutMs = 1000;
};

// The site file's history settings as the sink's options.
HistoryOptions HistoryOptionsFrom(const HistoryConfig& config);

class HistorySink : public Sink, public Recall {
  public:
    // The database is opened by Start (or Open).
    HistorySink(std::string path, HistoryOptions options, Logger& log);
    ~HistorySink() override;
    HistorySink(const HistorySink&) = delete;
    HistorySink& operator=(const HistorySink&) = delete;

    // Before Start; the companion must outlive the sink.
    void AddCompanion(HistoryCompanion& companion);
    // Before Start: the site's devices. When the file opens, the standing alarms of any other
    // device are ended, so one removed from the site file does not stand for ever.
    void SiteDevices(std::set<unsigned int> dataIds) { siteDevices_ = std::move(dataIds); }
    // Before Start: told, on the writer's thread (or Start's), why rows are not being stored
    // (at a falling rate), and an empty text once they are again: for the service status.
    void OnStoreFault(std::function<void(const std::string&)> hook) {
        faultHook_ = std::move(hook);
    }
    // Opens the database for writing, lets the companions prepare their tables on the writer's
    // connection and starts the writer thread. Throws StoreRefused for a file the host must not
    // write; a locked, full or damaged one is logged and opened later by the writer, so polling
    // never waits for it. Once; later calls do nothing.
    void Start();
    // Any thread: the host is asked to stop, so another connection's lock is no longer waited
    // for (a start on a locked file goes on at once; rows left are retried while it drains).
    void StopWaiting() { stopWaiting_ = true; }

    const char* Name() const override { return "history"; }
    void OnRecord(const RecordOut& r) override;
    void OnAlarm(const Alarm& a) override;
    void OnReport(const ReportOut& r) override;
    std::vector<SinkFigure> Figures() const override;
    // Stores what waits now; what is still not stored after `limit` is counted and reported.
    void Drain(std::chrono::milliseconds limit) override;

    void Open() override { Start(); }
    std::optional<RecalledRecord> LastRecord(unsigned int dataId) override;
    std::vector<Alarm> StandingAlarms(unsigned int dataId) override;
    StoreCount Stored(unsigned int dataId) const override;

  private:
    struct Record {
        RecordOut out;
        std::vector<unsigned char> bytes;
        Json::Value values;
        bool hasValues = false;
    };
    struct Item {
        std::chrono::steady_clock::time_point arrived;
        std::variant<Record, Alarm, ReportOut> row;
        unsigned int DataId() const;
    };

    void Push(Item item);
    void Loop();
    // True when stored; false when given up (counted as not stored).
    bool StoreWithRetry(std::vector<Item>& batch);
    void Write(std::vector<Item>& batch);
    void NotStored(const std::vector<Item>& batch, const std::string& why);
    void OpenLocked();  // under storeMu_; throws when the file cannot be opened yet
    // Writes the open aggregate steps, in a transaction of their own: the host stops.
    void FlushAggregates();

    const std::string path_;
    const HistoryOptions options_;
    Logger& log_;
    std::unique_ptr<HistoryStore> store_;
    history::Aggregator aggregates_;  // under storeMu_
    std::mutex storeMu_;  // the store's connection: the writer, or Recall before polling
    std::vector<HistoryCompanion*> companions_;
    std::optional<std::set<unsigned int>> siteDevices_;
    std::function<void(const std::string&)> faultHook_;
    std::atomic<bool> storeOpen_{false};
    std::atomic<bool> stopWaiting_{false};

    mutable std::mutex mu_;
    std::condition_variable wake_;     // the writer waits for rows
    std::condition_variable settled_;  // Drain waits for the writer
    std::deque<Item> queue_;
    std::size_t inFlight_ = 0;
    bool flush_ = false;   // Drain: no window, commit what waits
    bool urgent_ = false;  // an alarm event waits: commit now
    bool giveUp_ = false;  // Drain's limit passed: stop retrying
    bool stop_ = false;
    std::thread thread_;

    // Under mu_.
    struct Counts {
        uint64_t records = 0;
        uint64_t notStored = 0;
    };
    std::map<unsigned int, Counts> perDevice_;
    uint64_t rowsStored_ = 0;
    uint64_t rowsNotStored_ = 0;
    uint64_t commits_ = 0;
    uint64_t failedAttempts_ = 0;
    uint64_t rowsPruned_ = 0;
    uint64_t queueFullDrops_ = 0;
    std::size_t queueHigh_ = 0;
    double lastCommitMs_ = 0.0;

    std::chrono::steady_clock::time_point nextPrune_{};
};
