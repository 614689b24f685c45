#include "store/aggregates.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <sqlite3.h>

#include "store/next_device.h"

namespace history {

namespace {

// A prepared statement finalized when it goes out of scope: these run once a step, not a row.
struct Statement {
    sqlite3* db;
    sqlite3_stmt* s = nullptr;
    Statement(sqlite3* d, const char* sql) : db(d) {
        if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) != SQLITE_OK) Fail("prepare");
    }
    ~Statement() { sqlite3_finalize(s); }
    [[noreturn]] void Fail(const char* what) const {
        throw StoreError(std::string("aggregates: ") + what + ": " + sqlite3_errmsg(db));
    }
    void Done() {
        if (sqlite3_step(s) != SQLITE_DONE) Fail("writing");
        sqlite3_reset(s);
    }
};

void PutVarint(std::string& out, uint64_t v) {
    while (v >= 0x80) {
        out.push_back(static_cast<char>((v & 0x7F) | 0x80));
        v >>= 7;
    }
    out.push_back(static_cast<char>(v));
}

uint64_t GetVarint(const unsigned char*& p, const unsigned char* end) {
    uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p == end) throw StoreError("aggregates: a row ends inside a number");
        const unsigned char b = *p++;
        v |= static_cast<uint64_t>(b & 0x7F) << shift;
        if (!(b & 0x80)) return v;
    }
    throw StoreError("aggregates: a number too long in a row");
}

// Values come from 1-, 2- and 4-byte fields with a scale: a float holds them as the unit sent.
void PutFloat(std::string& out, double v) {
    const float f = static_cast<float>(v);
    uint32_t u;
    std::memcpy(&u, &f, 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((u >> (8 * i)) & 0xFF));
}

double GetFloat(const unsigned char*& p, const unsigned char* end) {
    if (end - p < 4) throw StoreError("aggregates: a row ends inside a value");
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<uint32_t>(p[i]) << (8 * i);
    p += 4;
    float f;
    std::memcpy(&f, &u, 4);
    return f;
}

int64_t StepStart(int64_t ms, int64_t stepS) {
    const int64_t step = stepS * 1000;
    return ms >= 0 ? ms / step * step : -((-ms + step - 1) / step) * step;
}

}  // namespace

void SignalAggregate::Add(double v) {
    min = count ? std::min(min, v) : v;
    max = count ? std::max(max, v) : v;
    sum += v;
    ++count;
}

void SignalAggregate::Merge(const SignalAggregate& o) {
    if (o.count == 0) return;
    min = count ? std::min(min, o.min) : o.min;
    max = count ? std::max(max, o.max) : o.max;
    sum += o.sum;
    count += o.count;
}

// Per signal: name id and count as varints, then minimum, mean and maximum as floats.
std::string PackAggregates(const AggregateValues& values) {
    std::string out;
    for (const auto& [id, a] : values) {
        PutVarint(out, static_cast<uint64_t>(id));
        PutVarint(out, a.count);
        PutFloat(out, a.min);
        PutFloat(out, a.count ? a.sum / static_cast<double>(a.count) : 0.0);
        PutFloat(out, a.max);
    }
    return out;
}

AggregateValues UnpackAggregates(const unsigned char* blob, std::size_t len) {
    AggregateValues out;
    const unsigned char* p = blob;
    const unsigned char* end = blob + len;
    while (p != end) {
        const auto id = static_cast<int64_t>(GetVarint(p, end));
        SignalAggregate a;
        a.count = GetVarint(p, end);
        a.min = GetFloat(p, end);
        a.sum = GetFloat(p, end) * static_cast<double>(a.count);
        a.max = GetFloat(p, end);
        out[id] = a;
    }
    return out;
}

std::vector<AggregateRow> ReadAggregates(sqlite3* db, unsigned int dataId, int64_t stepS,
                                         const TimeRange& range, std::size_t limit) {
    std::vector<AggregateRow> out;
    sqlite3_stmt* probe = nullptr;
    const bool has = sqlite3_prepare_v2(db, "SELECT 1 FROM sqlite_master WHERE name = 'aggregates'",
                                        -1, &probe, nullptr) == SQLITE_OK &&
                     sqlite3_step(probe) == SQLITE_ROW;
    sqlite3_finalize(probe);
    if (!has) return out;
    std::map<int64_t, std::string> names;
    {
        Statement n(db, "SELECT id, name FROM signal_names");
        while (sqlite3_step(n.s) == SQLITE_ROW)
            names[sqlite3_column_int64(n.s, 0)] =
                reinterpret_cast<const char*>(sqlite3_column_text(n.s, 1));
    }
    Statement q(db,
                "SELECT start_ms, packed FROM aggregates WHERE data_id = ?1 AND step_s = ?2 AND "
                "start_ms BETWEEN ?3 AND ?4 ORDER BY start_ms DESC LIMIT ?5");
    sqlite3_bind_int64(q.s, 1, dataId);
    sqlite3_bind_int64(q.s, 2, stepS);
    sqlite3_bind_int64(q.s, 3, range.sinceMs);
    sqlite3_bind_int64(q.s, 4, range.untilMs);
    sqlite3_bind_int64(q.s, 5, static_cast<int64_t>(std::min<uint64_t>(limit, INT64_MAX)));
    int rc;
    while ((rc = sqlite3_step(q.s)) == SQLITE_ROW) {
        AggregateRow row;
        row.startMs = sqlite3_column_int64(q.s, 0);
        const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(q.s, 1));
        for (const auto& [id, a] :
             UnpackAggregates(blob, static_cast<std::size_t>(sqlite3_column_bytes(q.s, 1)))) {
            const auto it = names.find(id);
            row.values[it == names.end() ? "#" + std::to_string(id) : it->second] = a;
        }
        out.push_back(std::move(row));
    }
    if (rc != SQLITE_DONE) q.Fail("reading");
    std::reverse(out.begin(), out.end());
    return out;
}

int64_t Aggregator::NameId(sqlite3* db, const std::string& name) {
    if (const auto it = names_.find(name); it != names_.end()) return it->second;
    Statement ins(db, "INSERT OR IGNORE INTO signal_names(name) VALUES(?1)");
    sqlite3_bind_text(ins.s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    ins.Done();
    Statement sel(db, "SELECT id FROM signal_names WHERE name = ?1");
    sqlite3_bind_text(sel.s, 1, name.data(), static_cast<int>(name.size()), SQLITE_TRANSIENT);
    if (sqlite3_step(sel.s) != SQLITE_ROW) sel.Fail("naming a signal");
    return names_[name] = sqlite3_column_int64(sel.s, 0);
}

void Aggregator::Add(sqlite3* db, unsigned int dataId, WallTime at, const Json::Value& values) {
    if (!values.isObject()) return;
    const int64_t ms = ToMs(at);
    Open* steps[2];
    Open** step = steps;
    for (const int64_t stepS : {kFineStepS, kCoarseStepS}) {
        const int64_t start = StepStart(ms, stepS);
        auto it = open_.find({dataId, stepS});
        if (it != open_.end() && it->second.startMs != start) {
            Write(db, dataId, stepS, it->second);
            open_.erase(it);
            it = open_.end();
        }
        if (it == open_.end()) it = open_.emplace(std::pair{dataId, stepS}, Open{start, {}}).first;
        *step++ = &it->second;
    }
    // Each value read and named once for both steps: this runs for every record stored.
    for (auto v = values.begin(); v != values.end(); ++v) {
        if (!v->isNumeric()) continue;
        const double d = v->asDouble();
        if (!std::isfinite(d)) continue;
        const int64_t id = NameId(db, v.name());
        for (Open* o : steps) o->values[id].Add(d);
    }
}

void Aggregator::Flush(sqlite3* db) {
    for (const auto& [key, open] : open_) Write(db, key.first, key.second, open);
    open_.clear();
}

void Aggregator::Write(sqlite3* db, unsigned int dataId, int64_t stepS, const Open& open) {
    if (open.values.empty()) return;
    AggregateValues merged = open.values;
    {
        Statement old(db,
                      "SELECT packed FROM aggregates WHERE data_id = ?1 AND step_s = ?2 AND "
                      "start_ms = ?3");
        sqlite3_bind_int64(old.s, 1, dataId);
        sqlite3_bind_int64(old.s, 2, stepS);
        sqlite3_bind_int64(old.s, 3, open.startMs);
        if (sqlite3_step(old.s) == SQLITE_ROW) {
            const auto* blob = static_cast<const unsigned char*>(sqlite3_column_blob(old.s, 0));
            for (const auto& [id, a] :
                 UnpackAggregates(blob, static_cast<std::size_t>(sqlite3_column_bytes(old.s, 0))))
                merged[id].Merge(a);
        }
    }
    const std::string packed = PackAggregates(merged);
    Statement put(db,
                  "INSERT OR REPLACE INTO aggregates(data_id, step_s, start_ms, packed) "
                  "VALUES(?1, ?2, ?3, ?4)");
    sqlite3_bind_int64(put.s, 1, dataId);
    sqlite3_bind_int64(put.s, 2, stepS);
    sqlite3_bind_int64(put.s, 3, open.startMs);
    sqlite3_bind_blob(put.s, 4, packed.data(), static_cast<int>(packed.size()), SQLITE_STATIC);
    put.Done();
}

uint64_t Aggregator::Prune(sqlite3* db, int64_t nowMs, int64_t fineKeepMs, int64_t coarseKeepMs,
                           std::size_t step) {
    // Device by device through the primary key (data_id, step_s, start_ms): no index of its own.
    Statement next(db, "SELECT min(data_id) FROM aggregates WHERE data_id > ?1");
    Statement del(db,
                  "DELETE FROM aggregates WHERE data_id = ?1 AND step_s = ?2 AND start_ms IN "
                  "(SELECT start_ms FROM aggregates WHERE data_id = ?1 AND step_s = ?2 AND "
                  "start_ms < ?3 ORDER BY start_ms LIMIT ?4)");
    uint64_t gone = 0;
    for (auto found = NextDevice(next.s, -1); found; found = NextDevice(next.s, *found)) {
        const int64_t device = *found;
        for (const auto& [stepS, keep] :
             {std::pair{kFineStepS, fineKeepMs}, {kCoarseStepS, coarseKeepMs}}) {
            if (keep <= 0) continue;
            sqlite3_bind_int64(del.s, 1, device);
            sqlite3_bind_int64(del.s, 2, stepS);
            sqlite3_bind_int64(del.s, 3, nowMs - keep);
            sqlite3_bind_int64(del.s, 4, static_cast<int64_t>(step));
            del.Done();
            gone += static_cast<uint64_t>(sqlite3_changes(db));
        }
    }
    return gone;
}

}  // namespace history
