#include "web/signal_history.h"

#include <algorithm>
#include <exception>
#include <map>
#include <vector>

#include <sqlite3.h>

#include "store/aggregates.h"
#include "store/packing.h"

namespace {

using Clock = std::chrono::steady_clock;

// A read-only connection and one statement, closed when they go out of scope.
class Connection {
  public:
    explicit Connection(const std::string& path) {
        if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
            Fail("cannot read database " + path);
        sqlite3_busy_timeout(db_, 500);
    }
    ~Connection() {
        sqlite3_finalize(stmt_);
        sqlite3_close(db_);
    }
    sqlite3* Db() const { return db_; }
    sqlite3_stmt* Prepare(const char* sql) {
        sqlite3_finalize(stmt_);
        stmt_ = nullptr;
        if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK)
            Fail("cannot read history");
        return stmt_;
    }
    [[noreturn]] void Fail(const std::string& what) const {
        throw HistoryQueryError(what + ": " + (db_ ? sqlite3_errmsg(db_) : "out of memory"));
    }

  private:
    sqlite3* db_ = nullptr;
    sqlite3_stmt* stmt_ = nullptr;
};

// What smd_signal needs: the signal, and the key record the rows of one device are packed
// against (read once, then shared by the rows that follow it).
struct SignalDecoder {
    const SignalField* field = nullptr;
    sqlite3* db = nullptr;
    int64_t keyId = -1;
    std::vector<unsigned char> key;
};

// smd_signal(record, packing, base): the signal's value, or NULL when the record is too short
// for it or does not unpack.
void DecodeSignal(sqlite3_context* ctx, int, sqlite3_value** argv) {
    auto* d = static_cast<SignalDecoder*>(sqlite3_user_data(ctx));
    const auto* blob = static_cast<const unsigned char*>(sqlite3_value_blob(argv[0]));
    std::size_t size = static_cast<std::size_t>(sqlite3_value_bytes(argv[0]));
    const int packing = sqlite3_value_int(argv[1]);
    std::vector<unsigned char> bytes;
    if (blob != nullptr && packing != history::kRaw) {
        try {
            if (history::NeedsKey(packing)) {
                const int64_t keyId = sqlite3_value_int64(argv[2]);
                if (keyId != d->keyId) {
                    sqlite3_stmt* k = nullptr;
                    d->keyId = -1;
                    if (sqlite3_prepare_v2(d->db,
                                           "SELECT record, packing FROM history WHERE id = ?1", -1,
                                           &k, nullptr) == SQLITE_OK) {
                        sqlite3_bind_int64(k, 1, keyId);
                        if (sqlite3_step(k) == SQLITE_ROW) {
                            d->key = history::Unpack(
                                static_cast<const unsigned char*>(sqlite3_column_blob(k, 0)),
                                static_cast<std::size_t>(sqlite3_column_bytes(k, 0)),
                                sqlite3_column_int(k, 1));
                            d->keyId = keyId;
                        }
                    }
                    sqlite3_finalize(k);
                    if (d->keyId != keyId) return sqlite3_result_null(ctx);
                }
                bytes = history::Unpack(blob, size, packing, &d->key);
            } else {
                bytes = history::Unpack(blob, size, packing);
            }
        } catch (const std::exception&) {
            return sqlite3_result_null(ctx);
        }
        blob = bytes.data();
        size = bytes.size();
    }
    const SignalField* f = d->field;
    if (blob == nullptr || f->offset + static_cast<std::size_t>(f->width) > size)
        return sqlite3_result_null(ctx);
    sqlite3_result_double(ctx, SignalMap::Decode(*f, blob));
}

// Interrupts a statement once the deadline has passed.
int PastDeadline(void* deadline) {
    return Clock::now() > *static_cast<const Clock::time_point*>(deadline) ? 1 : 0;
}

// The first and the last row in range: one step into the index on (data_id, stored_at_ms) each.
constexpr const char* kFirst =
    "SELECT stored_at_ms FROM history WHERE data_id = ?1 AND stored_at_ms BETWEEN ?2 AND ?3"
    " ORDER BY stored_at_ms LIMIT 1";
constexpr const char* kLast =
    "SELECT stored_at_ms FROM history WHERE data_id = ?1 AND stored_at_ms BETWEEN ?2 AND ?3"
    " ORDER BY stored_at_ms DESC LIMIT 1";
// A step's first and last start in range, through the aggregates' key.
constexpr const char* kFirstStep =
    "SELECT start_ms FROM aggregates WHERE data_id = ?1 AND step_s = ?2 AND start_ms BETWEEN ?3"
    " AND ?4 ORDER BY start_ms LIMIT 1";
constexpr const char* kLastStep =
    "SELECT start_ms FROM aggregates WHERE data_id = ?1 AND step_s = ?2 AND start_ms BETWEEN ?3"
    " AND ?4 ORDER BY start_ms DESC LIMIT 1";
// One bucket, aggregated as it is read; ?4 caps its rows (-1: all). Files from before records
// were packed hold them as they are.
std::string BucketSql(bool packed) {
    return std::string(
               "SELECT count(v), avg(t), avg(v), min(v), max(v), count(*) FROM ("
               " SELECT stored_at_ms AS t, smd_signal(record, ") +
           (packed ? "packing, base" : "0, NULL") +
           ") AS v FROM history"
           " WHERE data_id = ?1 AND stored_at_ms >= ?2 AND stored_at_ms <= ?3"
           " ORDER BY stored_at_ms LIMIT ?4)";
}

}  // namespace

SignalHistory::SignalHistory(std::string databasePath, HistoryLimits limits)
    : path_(std::move(databasePath)), limits_(limits) {}

HistoryAnswer SignalHistory::Query(unsigned int dataId, const SignalField& signal, int64_t fromMs,
                                   int64_t toMs, std::size_t buckets) {
    std::lock_guard<std::mutex> lock(mu_);
    HistoryAnswer out;
    if (buckets == 0 || toMs < fromMs) return out;
    Clock::time_point deadline = Clock::now() + limits_.time;
    // Opened for each query: a long-lived read-only connection beside the writer came back
    // empty-handed after the writer moved on.
    Connection c(path_);
    sqlite3_progress_handler(c.Db(), 1000, PastDeadline, &deadline);
    SignalDecoder decoder{&signal, c.Db(), -1, {}};
    if (sqlite3_create_function_v2(c.Db(), "smd_signal", 3, SQLITE_UTF8, &decoder, DecodeSignal,
                                   nullptr, nullptr, nullptr) != SQLITE_OK)
        c.Fail("cannot read history");

    // Buckets span the rows there are, not the range asked: "the last ten years" of a young
    // database still gets its full count of points.
    int64_t ends[2] = {};
    bool records = true;
    for (int k = 0; k < 2 && records; ++k) {
        sqlite3_stmt* s = c.Prepare(k == 0 ? kFirst : kLast);
        sqlite3_bind_int64(s, 1, dataId);
        sqlite3_bind_int64(s, 2, fromMs);
        sqlite3_bind_int64(s, 3, toMs);
        const int rc = sqlite3_step(s);
        if (rc == SQLITE_INTERRUPT) {
            out.partial = true;
            return out;
        }
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) c.Fail("cannot read history");
        records = rc == SQLITE_ROW;
        if (records) ends[k] = sqlite3_column_int64(s, 0);
    }
    // Aggregates reach back further than records: the first and last step of each in range.
    const bool hasAggregates =
        sqlite3_step(c.Prepare("SELECT 1 FROM sqlite_master WHERE name = 'aggregates'")) ==
        SQLITE_ROW;
    struct Steps {
        int64_t stepS;
        bool any = false;
        int64_t first = 0, last = 0;
    } steps[2] = {{history::kFineStepS}, {history::kCoarseStepS}};
    for (Steps& st : steps)
        for (int k = 0; k < 2 && hasAggregates; ++k) {
            sqlite3_stmt* s = c.Prepare(k == 0 ? kFirstStep : kLastStep);
            sqlite3_bind_int64(s, 1, dataId);
            sqlite3_bind_int64(s, 2, st.stepS);
            sqlite3_bind_int64(s, 3, fromMs - st.stepS * 1000 + 1);
            sqlite3_bind_int64(s, 4, toMs);
            if (sqlite3_step(s) != SQLITE_ROW) break;
            st.any = true;
            (k == 0 ? st.first : st.last) = sqlite3_column_int64(s, 0);
        }
    if (!records && !steps[0].any && !steps[1].any) return out;
    int64_t first = records ? ends[0] : INT64_MAX, last = records ? ends[1] : INT64_MIN;
    for (const Steps& st : steps)
        if (st.any) {
            first = std::min(first, st.first);
            last = std::max(last, st.last + st.stepS * 1000 - 1);
        }
    first = std::max(first, fromMs);  // an hourly step may start before the range
    // Records while they reach back to the start and a bucket is narrower than the fine step;
    // else the finest step that reaches back and is narrower than a bucket.
    const int64_t wanted = (last - first) / static_cast<int64_t>(buckets) + 1;
    const int64_t fineMs = history::kFineStepS * 1000;
    if (!records || ends[0] > first + fineMs || wanted >= fineMs) {
        const bool fine = steps[0].any && (!steps[1].any ||
                                           (steps[0].first <= first + 3600000 && wanted < 3600000));
        const Steps& st = fine || !steps[1].any ? steps[0] : steps[1];
        if (st.any) {
            FromAggregates(c.Db(), dataId, signal, st.stepS, st.first, st.last, buckets, out);
            return out;
        }
    }
    fromMs = ends[0];
    toMs = ends[1];
    const uint64_t span = static_cast<uint64_t>(toMs - fromMs) + 1;
    const uint64_t width = std::max<uint64_t>(1, (span + buckets - 1) / buckets);
    out.firstMs = fromMs;
    out.bucketMs = static_cast<int64_t>(width);
    // No bucket reads more than its share of the cap; one that reaches it may hold more.
    const int64_t perBucket =
        static_cast<int64_t>(std::max<std::size_t>(1, limits_.rowCap / buckets));
    const bool packed =
        sqlite3_step(c.Prepare(
            "SELECT 1 FROM pragma_table_info('history') WHERE name = 'packing'")) == SQLITE_ROW;
    const std::string bucketSql = BucketSql(packed);
    sqlite3_stmt* s = c.Prepare(bucketSql.c_str());
    sqlite3_bind_int64(s, 1, dataId);
    sqlite3_bind_int64(s, 4, perBucket);
    for (uint64_t at = 0; at < span; at += width) {
        // Small buckets finish before the progress handler would look at the clock.
        if (Clock::now() > deadline) {
            out.partial = true;
            break;
        }
        const int64_t begin = fromMs + static_cast<int64_t>(at);
        const int64_t end = fromMs + static_cast<int64_t>(std::min(span, at + width)) - 1;
        sqlite3_bind_int64(s, 2, begin);
        sqlite3_bind_int64(s, 3, end);
        const int step = sqlite3_step(s);
        if (step == SQLITE_INTERRUPT) {
            out.partial = true;
            break;
        }
        if (step != SQLITE_ROW) c.Fail("cannot read history");
        const int64_t read = sqlite3_column_int64(s, 5);
        out.rowsRead += static_cast<std::size_t>(read);
        if (read >= perBucket) out.sampled = true;
        if (sqlite3_column_int64(s, 0) > 0)
            out.points.push_back(HistoryPoint{
                static_cast<int64_t>(sqlite3_column_double(s, 1) + 0.5),
                sqlite3_column_double(s, 2), sqlite3_column_double(s, 3),
                sqlite3_column_double(s, 4), static_cast<std::size_t>(sqlite3_column_int64(s, 0))});
        sqlite3_reset(s);
    }
    return out;
}

void SignalHistory::FromAggregates(sqlite3* db, unsigned int dataId, const SignalField& signal,
                                   int64_t stepS, int64_t firstMs, int64_t lastMs,
                                   std::size_t buckets, HistoryAnswer& out) const {
    const int64_t stepMs = stepS * 1000;
    const int64_t span = lastMs + stepMs - firstMs;
    const int64_t width = std::max(
        stepMs, (span + static_cast<int64_t>(buckets) - 1) / static_cast<int64_t>(buckets));
    out.firstMs = firstMs;
    out.bucketMs = width;
    out.stepMs = stepMs;
    std::vector<history::AggregateRow> rows;
    try {
        rows =
            history::ReadAggregates(db, dataId, stepS, TimeRange{firstMs, lastMs}, limits_.rowCap);
    } catch (const StoreError& e) {
        if (sqlite3_errcode(db) != SQLITE_INTERRUPT) throw HistoryQueryError(e.what());
        out.partial = true;
        return;
    }
    out.rowsRead = rows.size();
    // The newest rows when there are more than the cap: the oldest buckets go without.
    out.sampled = rows.size() >= limits_.rowCap;
    struct Acc {
        history::SignalAggregate a;
        double weightedAt = 0;
    };
    std::map<int64_t, Acc> byBucket;
    for (const auto& r : rows) {
        const auto it = r.values.find(signal.name);
        if (it == r.values.end() || it->second.count == 0) continue;
        Acc& acc = byBucket[(r.startMs - firstMs) / width];
        acc.a.Merge(it->second);
        acc.weightedAt +=
            static_cast<double>(r.startMs + stepMs / 2) * static_cast<double>(it->second.count);
    }
    for (const auto& [bucket, acc] : byBucket) {
        const auto n = static_cast<double>(acc.a.count);
        out.points.push_back(HistoryPoint{static_cast<int64_t>(acc.weightedAt / n + 0.5),
                                          acc.a.sum / n, acc.a.min, acc.a.max,
                                          static_cast<std::size_t>(acc.a.count)});
    }
}
