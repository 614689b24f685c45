// Retention: old rows, rows past a per-device count, and records past the size bound or the
// free-space guard, a few at a time inside the writer's transaction.
#include <sys/statvfs.h>

#include <filesystem>
#include <set>

#include <sqlite3.h>

#include "history/history_store.h"
#include "store/next_device.h"
#include "store/packing.h"

using history::ToMs;

namespace {

const char* const kTables[] = {"history", "alarm_events", "analog_reports"};

// Statements prepared per call: pruning runs now and then, not per row.
struct Statement {
    sqlite3_stmt* s = nullptr;
    ~Statement() { sqlite3_finalize(s); }
};

}  // namespace

uint64_t HistoryStore::Prune(const RetentionLimits& limits, WallTime now, std::size_t step) {
    auto prepare = [&](Statement& st, const std::string& sql) {
        if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &st.s, nullptr) != SQLITE_OK) Fail("prepare");
    };
    auto run = [&](sqlite3_stmt* s) {
        if (sqlite3_step(s) != SQLITE_DONE) Fail("pruning");
        const uint64_t n = static_cast<uint64_t>(sqlite3_changes(db_));
        sqlite3_reset(s);
        return n;
    };
    // Deletes the history rows a query lists (id, data_id, base); a key record takes the
    // records deflated against it along, so no record outlives what it needs to be read.
    auto dropRecords = [&](sqlite3_stmt* list) {
        struct Row {
            int64_t id, dataId;
            bool key;
        };
        std::vector<Row> rows;
        int rc;
        while ((rc = sqlite3_step(list)) == SQLITE_ROW)
            rows.push_back({sqlite3_column_int64(list, 0), sqlite3_column_int64(list, 1),
                            sqlite3_column_type(list, 2) == SQLITE_NULL});
        sqlite3_reset(list);
        if (rc != SQLITE_DONE) Fail("pruning");
        Statement del;
        prepare(del, "DELETE FROM history WHERE id = ?1");
        uint64_t n = 0;
        std::set<int64_t> going;
        for (const Row& r : rows) going.insert(r.id);
        for (const Row& r : rows) {
            if (r.key) {
                Rekey(static_cast<unsigned int>(r.dataId), r.id, going);
                ForgetKey(r.id);
            }
            sqlite3_bind_int64(del.s, 1, r.id);
            n += run(del.s);
        }
        return n;
    };
    // Oldest first by time through the age index: ids say nothing once a clock was wrong.
    auto byAge = [&](const std::string& t, int64_t beforeMs, std::size_t n) {
        Statement q;
        const bool records = t == "history";
        prepare(q, records ? "SELECT id, data_id, base FROM history WHERE stored_at_ms < ?1 "
                             "ORDER BY stored_at_ms LIMIT ?2"
                           : "DELETE FROM " + t + " WHERE id IN (SELECT id FROM " + t +
                                 " WHERE stored_at_ms < ?1 ORDER BY stored_at_ms LIMIT ?2)");
        sqlite3_bind_int64(q.s, 1, beforeMs);
        sqlite3_bind_int64(q.s, 2, static_cast<int64_t>(n));
        return records ? dropRecords(q.s) : run(q.s);
    };
    uint64_t gone = 0;
    // Past the size bound or the free-space guard, records go first whatever their age.
    const bool overBudget = (limits.maxBytes > 0 && UsedBytes() > limits.maxBytes) ||
                            (limits.minFreeBytes > 0 && FreeDiskBytes() < limits.minFreeBytes);
    if (overBudget) gone += byAge("history", INT64_MAX, step);
    for (const std::string t : kTables) {
        const int64_t maxAge = t == "history" ? limits.maxAgeMs : limits.eventMaxAgeMs;
        if (maxAge > 0) gone += byAge(t, ToMs(now) - maxAge, step);
        if (limits.maxRowsPerDevice == 0) continue;
        const bool records = t == "history";
        Statement next, cut, del;
        // Devices one by one through the index, without reading every row.
        prepare(next, "SELECT min(data_id) FROM " + t + " WHERE data_id > ?1");
        prepare(cut,
                "SELECT id FROM " + t + " WHERE data_id = ?1 ORDER BY id DESC LIMIT 1 OFFSET ?2");
        prepare(del, records ? "SELECT id, data_id, base FROM history WHERE data_id = ?1 AND "
                               "id <= ?2 ORDER BY id LIMIT ?3"
                             : "DELETE FROM " + t + " WHERE id IN (SELECT id FROM " + t +
                                   " WHERE data_id = ?1 AND id <= ?2 ORDER BY id LIMIT ?3)");
        for (auto found = NextDevice(next.s, -1); found; found = NextDevice(next.s, *found)) {
            const int64_t device = *found;
            sqlite3_bind_int64(cut.s, 1, device);
            sqlite3_bind_int64(cut.s, 2, static_cast<int64_t>(limits.maxRowsPerDevice));
            const bool over = sqlite3_step(cut.s) == SQLITE_ROW;
            const int64_t last = over ? sqlite3_column_int64(cut.s, 0) : 0;
            sqlite3_reset(cut.s);
            if (!over) continue;
            sqlite3_bind_int64(del.s, 1, device);
            sqlite3_bind_int64(del.s, 2, last);
            sqlite3_bind_int64(del.s, 3, static_cast<int64_t>(step));
            gone += records ? dropRecords(del.s) : run(del.s);
        }
    }
    return gone;
}

void HistoryStore::Rekey(unsigned int dataId, int64_t keyId, const std::set<int64_t>& going) {
    // They follow their key within the device's next records, found through its index.
    Statement list, update;
    if (sqlite3_prepare_v2(db_,
                           "SELECT id, record, packing, base FROM history WHERE id IN (SELECT id "
                           "FROM history WHERE data_id = ?1 AND id > ?2 ORDER BY id LIMIT ?3) AND "
                           "base = ?2 ORDER BY id",
                           -1, &list.s, nullptr) != SQLITE_OK ||
        sqlite3_prepare_v2(db_,
                           "UPDATE history SET record = ?2, packing = ?3, base = ?4 WHERE id = ?1",
                           -1, &update.s, nullptr) != SQLITE_OK)
        Fail("prepare");
    sqlite3_bind_int64(list.s, 1, dataId);
    sqlite3_bind_int64(list.s, 2, keyId);
    sqlite3_bind_int64(list.s, 3, history::kRecordsPerKey);
    struct Dependent {
        int64_t id;
        std::vector<unsigned char> bytes;
    };
    std::vector<Dependent> kept;
    int rc;
    while ((rc = sqlite3_step(list.s)) == SQLITE_ROW) {
        const int64_t id = sqlite3_column_int64(list.s, 0);
        if (!going.count(id)) kept.push_back({id, Unpacked(list.s, 1)});
    }
    if (rc != SQLITE_DONE) Fail("pruning");
    // The first record that stays becomes the key of the others.
    for (std::size_t i = 0; i < kept.size(); ++i) {
        history::Packing packing = history::kRaw;
        const auto blob = history::Pack(kept[i].bytes.data(), kept[i].bytes.size(),
                                        i == 0 ? nullptr : &kept[0].bytes, packing);
        sqlite3_bind_int64(update.s, 1, kept[i].id);
        sqlite3_bind_blob(update.s, 2, blob.data(), static_cast<int>(blob.size()), SQLITE_STATIC);
        sqlite3_bind_int(update.s, 3, packing);
        if (i == 0)
            sqlite3_bind_null(update.s, 4);
        else
            sqlite3_bind_int64(update.s, 4, kept[0].id);
        if (sqlite3_step(update.s) != SQLITE_DONE) Fail("pruning");
        sqlite3_reset(update.s);
    }
}

int64_t HistoryStore::Pragma(sqlite3_stmt* s) const {
    const int rc = sqlite3_step(s);
    const int64_t v = rc == SQLITE_ROW ? sqlite3_column_int64(s, 0) : 0;
    sqlite3_reset(s);
    if (rc != SQLITE_ROW) Fail("counting pages");
    return v;
}

uint64_t HistoryStore::UsedBytes() const {
    const int64_t used = Pragma(pageCount_) - Pragma(freePages_);
    return used > 0 ? static_cast<uint64_t>(used * pageSize_) : 0;
}

uint64_t HistoryStore::FreeDiskBytes() const {
    const std::filesystem::path dir = std::filesystem::absolute(path_).parent_path();
    struct statvfs fs {};
    if (::statvfs(dir.c_str(), &fs) != 0) return UINT64_MAX;  // unknown: no guard
    return static_cast<uint64_t>(fs.f_bavail) * fs.f_frsize;
}

void HistoryStore::ShrinkIfLoose(int64_t freePages) {
    const int64_t free = Pragma(freePages_);
    if (free <= freePages) return;
    // Keep a few free pages for the next rows instead of growing the file again at once.
    const std::string sql =
        "PRAGMA incremental_vacuum(" + std::to_string(free - freePages / 4) + ")";
    Exec(sql.c_str(), "returning free pages");
}
