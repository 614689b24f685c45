#include "tsdb/tsdb_forwarder.h"

#include <sqlite3.h>

#include <algorithm>
#include <stdexcept>

#include "outbox/sender_thread.h"
#include "outbox/statement.h"
#include "tsdb/http_post.h"

namespace {

using namespace std::chrono_literals;

constexpr std::chrono::milliseconds kFirstBackoff = 250ms;
constexpr std::chrono::milliseconds kMaxBackoff = 16s;
constexpr const char* kOwner = "tsdb queue";

int BitLength(uint64_t n) {
    int b = 0;
    for (; n; n >>= 1) ++b;
    return b;
}

// A line the database cannot take, rather than a database that takes nothing.
bool RefusesTheLines(int status) {
    return status == 400 || status == 413 || status == 422;
}

}  // namespace

TsdbForwarder::TsdbForwarder(TsdbConfig config, std::string database, Logger& log)
    : config_(std::move(config)),
      database_(std::move(database)),
      log_(log),
      queue_(
          config_.siteId, config_.queueMaxRows, config_.queueMaxAgeSeconds,
          [&log](const std::string& line, Priority p) { log.Write(p, line); },
          [this] {
              {
                  std::lock_guard<std::mutex> lock(mu_);
                  queued_ = true;
              }
              cv_.notify_all();
          }) {}

TsdbForwarder::~TsdbForwarder() {
    {
        std::lock_guard<std::mutex> lock(mu_);
        stop_ = true;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TsdbForwarder::Say(const std::string& line, Priority p) const {
    log_.Write(p, "tsdb: " + line);
}

void TsdbForwarder::Start() {
    thread_ = StartSender([this] { Run(); });
}

std::vector<SinkFigure> TsdbForwarder::Figures() const {
    const int64_t oldest = figOldestMs_.load();
    const int64_t nowMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    return {
        {"tsdb_queue_depth", static_cast<double>(figDepth_.load()),
         "lines waiting for the time-series database"},
        {"tsdb_oldest_line_age_seconds", oldest == 0 ? 0.0 : std::max(0.0, (nowMs - oldest) / 1e3),
         "age of the oldest line waiting"},
        {"tsdb_lines_dropped", static_cast<double>(queue_.Dropped()),
         "lines dropped by the queue bounds since start"},
        {"tsdb_lines_sent", static_cast<double>(figSent_.load()),
         "lines the database accepted since start"},
        {"tsdb_lines_rejected", static_cast<double>(figRejected_.load()),
         "lines the database refused alone (4xx), parked, since start"},
        {"tsdb_write_failures", static_cast<double>(figFailures_.load()),
         "requests without an answer or with one that takes nothing, since start"},
    };
}

void TsdbForwarder::Drain(std::chrono::milliseconds limit) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        draining_ = true;
        drainUntil_ = Clock::now() + limit;
    }
    cv_.notify_all();
    if (thread_.joinable()) thread_.join();
}

void TsdbForwarder::Run() {
    if (sqlite3_open_v2(database_.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        Say("not writing: cannot open " + database_ + ": " +
                (db_ ? sqlite3_errmsg(db_) : "out of memory"),
            Priority::kErr);
        sqlite3_close(db_);
        return;
    }
    sqlite3_busy_timeout(db_, 5000);
    // A delete lost to a power cut only means the lines are written once more, to the same
    // points.
    sqlite3_exec(db_, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    Say("writing to " + config_.url + " as site " + config_.siteId);
    backoff_ = kFirstBackoff;
    bool ready = false;  // the queue's table exists (a store locked at start had none)
    for (;;) {
        bool draining;
        {
            std::lock_guard<std::mutex> lock(mu_);
            if (stop_ || (draining_ && Clock::now() >= drainUntil_)) break;
            draining = draining_;
        }
        bool more = false;
        try {
            if (!ready) TsdbQueue::CreateTable(db_);
            ready = true;
            more = SendBatch();
        } catch (const std::exception& e) {
            // The database busy for longer than the time-out, or broken: as a failed request.
            Failure(e.what());
        }
        RefreshFigures(false);
        if (more) continue;
        // The queue keeps what an unreachable database did not take, for the next run.
        if (draining && (empty_ || failures_ > 0)) break;
        if (!Sleep(Clock::now() + (failures_ > 0 ? backoff_ : std::chrono::milliseconds(1s))))
            break;
        if (failures_ > 0) backoff_ = std::min(backoff_ * 2, kMaxBackoff);
    }
    RefreshFigures(true);
    sqlite3_close(db_);
    db_ = nullptr;
}

bool TsdbForwarder::SendBatch() {
    QueueStatement next(db_, "SELECT id, line FROM tsdb_queue ORDER BY id LIMIT ?1", kOwner);
    sqlite3_bind_int(*next, 1, oneByOneUntil_ > 0 ? 1 : config_.batchLines);
    std::string body;
    int64_t lastId = 0;
    std::size_t lines = 0;
    while (next.Step("reading the queue") == SQLITE_ROW) {
        lastId = sqlite3_column_int64(*next, 0);
        if (lines++) body += '\n';
        body.append(reinterpret_cast<const char*>(sqlite3_column_text(*next, 1)),
                    static_cast<std::size_t>(sqlite3_column_bytes(*next, 1)));
    }
    empty_ = lines == 0;
    if (empty_) {
        oneByOneUntil_ = 0;
        return false;
    }
    const HttpAnswer a = HttpPost(config_.host, config_.port, config_.target, body + '\n',
                                  std::chrono::seconds(config_.timeoutSeconds));
    const bool taken = a.status / 100 == 2 || RefusesTheLines(a.status);
    if (!taken) {
        Failure(a.status
                    ? "HTTP " + std::to_string(a.status) + (a.body.empty() ? "" : ": " + a.body)
                    : a.error);
        return false;
    }
    Answered(a, lastId, lines, lines == 1 ? body : "");
    return true;
}

void TsdbForwarder::Answered(const HttpAnswer& a, int64_t lastId, std::size_t lines,
                             const std::string& one) {
    if (a.status / 100 != 2 && lines > 1) {
        // Which line it cannot take, the answer need not say: ask one at a time.
        oneByOneUntil_ = lastId;
        return;
    }
    const bool refused = a.status / 100 != 2;
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(std::string(kOwner) + ": starting: " + sqlite3_errmsg(db_));
    try {
        if (refused) Park(lastId, "HTTP " + std::to_string(a.status) + ": " + a.body);
        QueueStatement done(db_, "DELETE FROM tsdb_queue WHERE id <= ?1", kOwner);
        sqlite3_bind_int64(*done, 1, lastId);
        done.Step("deleting written lines");
    } catch (...) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
    if (sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) != SQLITE_OK) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        throw std::runtime_error(std::string(kOwner) + ": committing: " + sqlite3_errmsg(db_));
    }
    if (lastId >= oneByOneUntil_) oneByOneUntil_ = 0;
    if (failures_ > 0)
        Say("written to " + config_.url + " again after " + std::to_string(failures_) +
            (failures_ == 1 ? " failure" : " failures"));
    failures_ = 0;
    backoff_ = kFirstBackoff;
    if (!refused) {
        figSent_ += lines;
        return;
    }
    const uint64_t n = ++figRejected_;
    // At a falling rate: the 1st, 2nd, 4th, 8th, ... refused line.
    if (BitLength(n) > BitLength(n - 1))
        Say(config_.url + " refused a line (HTTP " + std::to_string(a.status) +
                (a.body.empty() ? "" : ": " + a.body) + "), parked in tsdb_parked, " +
                std::to_string(n) +
                " so far: " + (one.size() > 200 ? one.substr(0, 200) + "..." : one),
            Priority::kWarning);
}

// Into the parked lines, which keep the newest as many as the queue may hold.
void TsdbForwarder::Park(int64_t id, const std::string& answer) {
    QueueStatement park(db_,
                        "INSERT INTO tsdb_parked(queued_ms, alarm, line, answer) "
                        "SELECT queued_ms, alarm, line, ?2 FROM tsdb_queue WHERE id = ?1",
                        kOwner);
    sqlite3_bind_int64(*park, 1, id);
    sqlite3_bind_text(*park, 2, answer.data(), static_cast<int>(answer.size()), SQLITE_STATIC);
    park.Step("parking a refused line");
    QueueStatement bound(
        db_, "DELETE FROM tsdb_parked WHERE id <= (SELECT max(id) FROM tsdb_parked) - ?1", kOwner);
    sqlite3_bind_int64(*bound, 1, config_.queueMaxRows);
    bound.Step("bounding the parked lines");
}

void TsdbForwarder::Failure(const std::string& why) {
    ++failures_;
    ++figFailures_;
    // At a falling rate: the 1st, 2nd, 4th, 8th, ... failure in a row.
    if (BitLength(failures_) > BitLength(failures_ - 1))
        Say(config_.url + ": " + why +
                (failures_ > 1 ? " (" + std::to_string(failures_) + " failures in a row)" : "") +
                "; the lines stay queued, retrying",
            Priority::kWarning);
}

void TsdbForwarder::RefreshFigures(bool now) {
    if (!now && Clock::now() < nextFigures_) return;
    nextFigures_ = Clock::now() + 1s;
    try {
        QueueStatement q(db_, "SELECT count(*), min(queued_ms) FROM tsdb_queue", kOwner);
        q.Step("counting the queue");
        figDepth_ = sqlite3_column_int64(*q, 0);
        figOldestMs_ = sqlite3_column_int64(*q, 1);
    } catch (const std::exception&) {
        // Kept as they were; the next look counts again.
    }
}

bool TsdbForwarder::Sleep(Clock::time_point until) {
    std::unique_lock<std::mutex> lock(mu_);
    const bool draining = draining_;
    const bool failing = failures_ > 0;
    cv_.wait_until(lock, draining ? std::min(until, drainUntil_) : until,
                   [&] { return stop_ || draining_ != draining || (queued_ && !failing); });
    queued_ = false;
    return !stop_;
}
