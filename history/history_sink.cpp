#include "history/history_sink.h"

#include <sys/stat.h>

#include <algorithm>

#include "runtime/falling_rate.h"

using Steady = std::chrono::steady_clock;

namespace {

// Rows per transaction at most, so a backlog after an outage goes in bounded steps.
constexpr std::size_t kMaxBatch = 2048;
// A commit costs whole pages of the WAL and its index whatever it holds: with fewer rows by the
// window's end (a small site) the window grows, to kWindowGrowth times at most, to share it.
constexpr std::size_t kFewRows = 16;
constexpr int kWindowGrowth = 3;

std::string Plural(uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

unsigned int HistorySink::Item::DataId() const {
    if (const auto* r = std::get_if<Record>(&row)) return r->out.dataId;
    if (const auto* a = std::get_if<Alarm>(&row)) return a->dataId;
    return std::get<ReportOut>(row).dataId;
}

HistorySink::HistorySink(std::string path, HistoryOptions options, Logger& log)
    : path_(std::move(path)), options_(options), log_(log) {}

HistorySink::~HistorySink() {
    if (thread_.joinable()) {
        Drain(std::chrono::seconds(10));
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
}

void HistorySink::AddCompanion(HistoryCompanion& companion) {
    companions_.push_back(&companion);
}

void HistorySink::Start() {
    if (thread_.joinable()) return;
    try {
        std::lock_guard<std::mutex> lock(storeMu_);
        OpenLocked();
    } catch (const StoreRefused&) {
        throw;
    } catch (const std::exception& e) {
        // Locked, full, damaged: polling and alarms go on, rows wait and the writer tries again.
        log_.Write(
            Priority::kErr,
            std::string("history: storing nothing yet; rows wait and are retried: ") + e.what());
        if (faultHook_) faultHook_(e.what());
    }
    thread_ = std::thread([this] { Loop(); });
}

void HistorySink::OpenLocked() {
    if (store_) return;
    auto store = std::make_unique<HistoryStore>(path_, options_.busyTimeoutMs, &stopWaiting_);
    for (HistoryCompanion* c : companions_) c->Prepare(store->Db());
    std::vector<Alarm> ends;
    if (siteDevices_) ends = store->EndsOfOthers(*siteDevices_, std::chrono::system_clock::now());
    store_ = std::move(store);
    storeOpen_ = true;
    // Queued as any event: stored in the next commit, and the broker hears of them too.
    for (const Alarm& a : ends) Push(Item{Steady::now(), a});
    if (!ends.empty())
        log_.Write(Priority::kNotice,
                   "history: " + Plural(ends.size(), "standing alarm", "standing alarms") +
                       " of devices no longer in the site file ended");
}

void HistorySink::OnRecord(const RecordOut& r) {
    Record rec;
    rec.out = r;
    rec.bytes.assign(r.bytes, r.bytes + r.len);
    if (r.values != nullptr) {
        rec.values = *r.values;
        rec.hasValues = true;
    }
    Push(Item{Steady::now(), std::move(rec)});
}

void HistorySink::OnAlarm(const Alarm& a) {
    // A restored alarm is state already kept, not a new event.
    if (a.restored) return;
    Push(Item{Steady::now(), a});
}

void HistorySink::OnReport(const ReportOut& r) {
    Push(Item{Steady::now(), r});
}

void HistorySink::Push(Item item) {
    std::unique_lock<std::mutex> lock(mu_);
    if (queue_.size() >= options_.queueLimit) {
        const unsigned int id = item.DataId();
        ++perDevice_[id].notStored;
        ++rowsNotStored_;
        const uint64_t n = ++queueFullDrops_;
        lock.unlock();
        if (FallingRate::LogDue(n - 1, n))
            log_.Write(Priority::kErr,
                       "history: " + std::to_string(options_.queueLimit) +
                           " rows wait for the database: a row of device " + std::to_string(id) +
                           " not stored (" + std::to_string(n) + " so far)",
                       LogFields{id, {}});
        return;
    }
    const bool first = queue_.empty();
    // An alarm event ends the window: a power cut may cost some records, not an alarm.
    const bool alarm = std::holds_alternative<Alarm>(item.row);
    urgent_ = urgent_ || alarm;
    queue_.push_back(std::move(item));
    queueHigh_ = std::max(queueHigh_, queue_.size());
    const bool full = queue_.size() >= kMaxBatch;
    const bool enough = queue_.size() == kFewRows;
    lock.unlock();
    if (first || full || alarm || enough) wake_.notify_one();
}

void HistorySink::Loop() {
    std::vector<Item> batch;
    std::unique_lock<std::mutex> lock(mu_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
        if (queue_.empty()) break;  // stopping
        const auto first = queue_.front().arrived;
        const auto due = [&] { return stop_ || flush_ || urgent_ || queue_.size() >= kMaxBatch; };
        wake_.wait_until(lock, first + options_.commitWindow, due);
        if (!due() && queue_.size() < kFewRows)
            wake_.wait_until(lock, first + options_.commitWindow * kWindowGrowth,
                             [&] { return due() || queue_.size() >= kFewRows; });
        urgent_ = false;
        const std::size_t n = std::min(queue_.size(), kMaxBatch);
        batch.clear();
        std::move(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n),
                  std::back_inserter(batch));
        queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
        inFlight_ = n;
        lock.unlock();
        StoreWithRetry(batch);
        lock.lock();
        inFlight_ = 0;
        settled_.notify_all();
    }
}

bool HistorySink::StoreWithRetry(std::vector<Item>& batch) {
    // A database down for a day leaves a few lines, not thousands.
    const FallingRate rate{options_.retryFirst, options_.retryMax};
    uint64_t attempts = 0;
    const auto firstFailure = Steady::now();
    std::string last;
    for (;;) {
        try {
            Write(batch);
            if (attempts > 0 && faultHook_) faultHook_("");
            if (attempts > 0)
                log_.Write(Priority::kNotice,
                           "history: stored again after " +
                               Plural(attempts, "failed attempt", "failed attempts") + " in " +
                               std::to_string(std::chrono::duration_cast<std::chrono::seconds>(
                                                  Steady::now() - firstFailure)
                                                  .count()) +
                               " s");
            return true;
        } catch (const std::exception& e) {
            last = e.what();
        }
        ++attempts;
        std::unique_lock<std::mutex> lock(mu_);
        ++failedAttempts_;
        const std::size_t waiting = queue_.size();
        const FallingRate::Step step = rate.After(attempts, Steady::now());
        if (step.log) {
            lock.unlock();
            if (faultHook_) faultHook_(last);
            log_.Write(Priority::kErr, "history: " + Plural(batch.size(), "row", "rows") +
                                           " not stored yet (attempt " + std::to_string(attempts) +
                                           ", " + std::to_string(waiting) +
                                           " more waiting; retrying): " + last);
            lock.lock();
        }
        // Retried until stored, unless the host stops and its time runs out.
        if (settled_.wait_until(lock, step.at, [&] { return giveUp_; }) || giveUp_) {
            lock.unlock();
            NotStored(batch, last);
            return false;
        }
    }
}

void HistorySink::Write(std::vector<Item>& batch) {
    const auto t0 = Steady::now();
    uint64_t records = 0, alarms = 0, reports = 0, pruned = 0;
    std::map<unsigned int, uint64_t> perDevice;
    {
        std::lock_guard<std::mutex> lock(storeMu_);
        // Not opened at start (locked, full, damaged): each attempt tries again.
        OpenLocked();
        // A failed transaction is retried whole: the steps must not count its records twice.
        const history::Aggregator saved = aggregates_;
        try {
            store_->Begin();
            for (Item& item : batch) {
                HistoryRow row;
                if (auto* r = std::get_if<Record>(&item.row)) {
                    r->out.bytes = r->bytes.data();
                    r->out.len = r->bytes.size();
                    r->out.values = r->hasValues ? &r->values : nullptr;
                    row.rowId = store_->AddRecord(r->out.dataId, r->out.typeId, r->out.at,
                                                  r->bytes.data(), r->bytes.size());
                    if (r->hasValues)
                        aggregates_.Add(store_->Db(), r->out.dataId, r->out.at, r->values);
                    row.record = &r->out;
                    ++records;
                    ++perDevice[r->out.dataId];
                } else if (auto* a = std::get_if<Alarm>(&item.row)) {
                    StoredAlarm s;
                    static_cast<Alarm&>(s) = *a;
                    row.rowId = store_->AddAlarm(s);
                    row.alarm = a;
                    ++alarms;
                } else {
                    const auto& p = std::get<ReportOut>(item.row);
                    row.rowId = store_->AddAnalogReport(p.dataId, p.at, p.signalId, p.value);
                    row.report = &p;
                    ++reports;
                }
                for (HistoryCompanion* c : companions_) c->OnStored(store_->Db(), row);
            }
            // Old rows go in the same transaction, a few at a time: no flush of their own.
            if (t0 >= nextPrune_) {
                const auto now = std::chrono::system_clock::now();
                pruned = store_->Prune(options_.retention, now, options_.pruneStep);
                pruned += aggregates_.Prune(store_->Db(), history::ToMs(now),
                                            options_.retention.fineMaxAgeMs,
                                            options_.retention.coarseMaxAgeMs, options_.pruneStep);
                if (pruned == 0) nextPrune_ = t0 + options_.pruneInterval;
            }
            store_->ShrinkIfLoose(options_.looseFreePages);
            store_->Commit();
        } catch (...) {
            store_->Rollback();
            aggregates_ = saved;
            throw;
        }
    }
    for (HistoryCompanion* c : companions_) c->OnCommitted();
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& [id, n] : perDevice) perDevice_[id].records += n;
        rowsStored_ += batch.size();
        rowsPruned_ += pruned;
        ++commits_;
        lastCommitMs_ = std::chrono::duration<double, std::milli>(Steady::now() - t0).count();
    }
    // Said only now that the rows are durable.
    log_.Write(Priority::kDebug, "history: stored " + Plural(records, "record", "records") + ", " +
                                     Plural(alarms, "alarm event", "alarm events") + ", " +
                                     Plural(reports, "analog report", "analog reports") +
                                     " in one commit" +
                                     (pruned ? "; pruned " + std::to_string(pruned) : ""));
}

void HistorySink::NotStored(const std::vector<Item>& batch, const std::string& why) {
    std::map<unsigned int, uint64_t> perDevice;
    for (const Item& item : batch) ++perDevice[item.DataId()];
    std::string whose;
    {
        std::lock_guard<std::mutex> lock(mu_);
        for (const auto& [id, n] : perDevice) {
            perDevice_[id].notStored += n;
            whose += (whose.empty() ? "" : ", ") + std::to_string(n) + " of device " +
                     std::to_string(id);
        }
        rowsNotStored_ += batch.size();
    }
    log_.Write(Priority::kErr, "history: " + Plural(batch.size(), "row", "rows") + " not stored (" +
                                   whose + "): " + why);
}

void HistorySink::Drain(std::chrono::milliseconds limit) {
    std::unique_lock<std::mutex> lock(mu_);
    if (!thread_.joinable()) return;
    flush_ = true;
    wake_.notify_all();
    const auto until = Steady::now() + limit;
    const auto empty = [&] { return queue_.empty() && inFlight_ == 0; };
    if (!settled_.wait_until(lock, until, empty)) {
        // Out of time: the batch in hand is given up, and so is what still waits.
        giveUp_ = true;
        settled_.notify_all();
        settled_.wait(lock, [&] { return inFlight_ == 0; });
        std::vector<Item> rest(std::make_move_iterator(queue_.begin()),
                               std::make_move_iterator(queue_.end()));
        queue_.clear();
        giveUp_ = false;
        lock.unlock();
        if (!rest.empty()) NotStored(rest, "the host stopped before the database took them");
        lock.lock();
    }
    flush_ = false;
    lock.unlock();
    FlushAggregates();
}

void HistorySink::FlushAggregates() {
    std::lock_guard<std::mutex> lock(storeMu_);
    if (!store_ || aggregates_.Empty()) return;
    const history::Aggregator saved = aggregates_;
    try {
        store_->Begin();
        aggregates_.Flush(store_->Db());
        store_->Commit();
    } catch (const std::exception& e) {
        store_->Rollback();
        aggregates_ = saved;
        log_.Write(Priority::kErr,
                   std::string("history: the open steps' aggregates not stored: ") + e.what());
    }
}

std::vector<SinkFigure> HistorySink::Figures() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<SinkFigure> f = {
        {"queue_depth", static_cast<double>(queue_.size() + inFlight_),
         "rows waiting for the database"},
        {"queue_limit", static_cast<double>(options_.queueLimit), "rows that may wait at most"},
        {"queue_high", static_cast<double>(queueHigh_), "most rows that waited at once"},
        {"rows_stored", static_cast<double>(rowsStored_),
         "records, alarm events and reports stored"},
        {"rows_not_stored", static_cast<double>(rowsNotStored_),
         "rows given up: queue full, or the host stopped while the database failed"},
        {"commits", static_cast<double>(commits_), "transactions committed"},
        {"failed_attempts", static_cast<double>(failedAttempts_),
         "transactions that failed and were retried"},
        {"rows_pruned", static_cast<double>(rowsPruned_), "old rows removed by retention"},
        {"last_commit_seconds", lastCommitMs_ / 1000.0, "time the last transaction took"},
        {"store_open", storeOpen_ ? 1.0 : 0.0,
         "1 once the database is open for writing; 0 while rows wait for it"},
    };
    uint64_t records = 0;
    for (const auto& [id, c] : perDevice_) records += c.records;
    f.push_back({"records_stored", static_cast<double>(records), "records stored"});
    return f;
}

std::optional<RecalledRecord> HistorySink::LastRecord(unsigned int dataId) {
    std::lock_guard<std::mutex> lock(storeMu_);
    if (!store_) return std::nullopt;
    std::optional<StoredRecord> r;
    try {
        r = store_->LastRecord(dataId);
    } catch (const StoreError& e) {
        // A device starts without its last record rather than not at all.
        log_.Write(Priority::kErr, std::string("history: last record not read: ") + e.what(),
                   LogFields{dataId, {}});
    }
    if (!r) return std::nullopt;
    RecalledRecord out;
    out.typeId = r->typeId;
    out.at = r->storedAt;
    out.bytes = std::move(r->bytes);
    return out;
}

std::vector<Alarm> HistorySink::StandingAlarms(unsigned int dataId) {
    std::lock_guard<std::mutex> lock(storeMu_);
    std::vector<Alarm> out;
    if (!store_) return out;
    std::vector<StoredAlarm> stored;
    try {
        stored = store_->StandingAlarms(dataId);
    } catch (const StoreError& e) {
        log_.Write(Priority::kErr, std::string("history: standing alarms not read: ") + e.what(),
                   LogFields{dataId, {}});
    }
    for (auto& a : stored) out.push_back(std::move(static_cast<Alarm&>(a)));
    return out;
}

StoreCount HistorySink::Stored(unsigned int dataId) const {
    std::lock_guard<std::mutex> lock(mu_);
    const auto it = perDevice_.find(dataId);
    if (it == perDevice_.end()) return {};
    return {it->second.records, it->second.notStored};
}
