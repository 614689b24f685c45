#include "web/signal_history.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>

namespace {

int64_t ToMs(WallTime t) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(t.time_since_epoch()).count();
}

}  // namespace

std::vector<HistoryPoint> Downsample(const std::vector<HistoryPoint>& in, std::size_t points) {
    if (points == 0) return {};
    if (in.size() <= points) return in;
    std::vector<HistoryPoint> out;
    out.reserve(points);
    for (std::size_t k = 0; k < points; ++k) {
        // Run k covers [k*n/points, (k+1)*n/points): lengths differ by at most one.
        const std::size_t begin = k * in.size() / points;
        const std::size_t end = (k + 1) * in.size() / points;
        HistoryPoint p;
        p.min = in[begin].value;
        p.max = in[begin].value;
        double sum = 0;
        double at = 0;
        for (std::size_t i = begin; i < end; ++i) {
            sum += in[i].value;
            at += static_cast<double>(in[i].atMs - in[begin].atMs);
            p.min = std::min(p.min, in[i].value);
            p.max = std::max(p.max, in[i].value);
        }
        p.samples = end - begin;
        p.value = sum / static_cast<double>(p.samples);
        p.atMs = in[begin].atMs + static_cast<int64_t>(at / static_cast<double>(p.samples) + 0.5);
        out.push_back(p);
    }
    return out;
}

SignalHistory::SignalHistory(std::string databasePath) : path_(std::move(databasePath)) {}

SignalHistory::~SignalHistory() {
    sqlite3_finalize(range_);
    sqlite3_close(db_);
}

void SignalHistory::Open() {
    if (db_ != nullptr) return;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path_.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        const std::string msg = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        throw HistoryQueryError("cannot open " + path_ + ": " + msg);
    }
    // The writer commits in WAL mode: a read waits only for a checkpoint, briefly.
    sqlite3_busy_timeout(db, 200);
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT stored_at_ms, record FROM history WHERE data_id = ?1 AND "
                           "stored_at_ms >= ?2 AND stored_at_ms <= ?3 ORDER BY id",
                           -1, &st, nullptr) != SQLITE_OK) {
        const std::string msg = sqlite3_errmsg(db);
        sqlite3_close(db);
        throw HistoryQueryError("cannot read " + path_ + ": " + msg);
    }
    db_ = db;
    range_ = st;
}

std::vector<HistoryPoint> SignalHistory::Query(unsigned int dataId, const SignalField& signal,
                                               WallTime from, WallTime to, std::size_t points) {
    std::lock_guard<std::mutex> lock(mu_);
    Open();
    std::vector<HistoryPoint> samples;
    sqlite3_bind_int64(range_, 1, dataId);
    sqlite3_bind_int64(range_, 2, ToMs(from));
    sqlite3_bind_int64(range_, 3, ToMs(to));
    int rc;
    while ((rc = sqlite3_step(range_)) == SQLITE_ROW) {
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(range_, 1));
        const auto len = static_cast<std::size_t>(sqlite3_column_bytes(range_, 1));
        if (blob == nullptr || signal.offset + static_cast<std::size_t>(signal.width) > len)
            continue;
        const double v = SignalMap::Decode(signal, blob);
        samples.push_back(HistoryPoint{sqlite3_column_int64(range_, 0), v, v, v, 1});
    }
    const std::string msg = rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_);
    sqlite3_reset(range_);
    if (!msg.empty()) throw HistoryQueryError("cannot read " + path_ + ": " + msg);
    return Downsample(samples, points);
}
