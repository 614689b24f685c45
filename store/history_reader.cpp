#include "store/history_reader.h"

#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <sqlite3.h>

#include "store/packing.h"
#include "store/row_columns.h"

using history::FromMs;
using history::ReadAlarm;
using history::ReadReport;

namespace {

// One statement, finalized when it goes out of scope.
class Query {
  public:
    Query(sqlite3* db, const std::string& sql) : db_(db) {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s_, nullptr) != SQLITE_OK) s_ = nullptr;
    }
    ~Query() { sqlite3_finalize(s_); }
    bool Ok() const { return s_ != nullptr; }
    sqlite3_stmt* operator*() const { return s_; }
    Query& Int(int at, int64_t v) {
        sqlite3_bind_int64(s_, at, v);
        return *this;
    }

  private:
    sqlite3* db_;
    sqlite3_stmt* s_ = nullptr;
};

// A file name as a URI path: only what a URI would take for syntax is escaped.
std::string UriPath(const std::string& path) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Every row of a query, each read by `read`; false when a step fails midway (a short list
// would look complete).
template <class Row, class Read>
bool ReadAll(sqlite3_stmt* q, Read read, std::vector<Row>& out) {
    int rc;
    while ((rc = sqlite3_step(q)) == SQLITE_ROW) out.push_back(read(q));
    return rc == SQLITE_DONE;
}

// "WHERE data_id = ?1 AND stored_at_ms BETWEEN ?2 AND ?3", with ?1 left out for all devices.
std::string Where(bool oneDevice) {
    return std::string(" WHERE ") + (oneDevice ? "data_id = ?1 AND " : "") +
           "stored_at_ms BETWEEN ?2 AND ?3";
}

}  // namespace

HistoryReader::HistoryReader(const std::string& path) : path_(path), openPath_(path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw StoreError(errno == ENOENT
                             ? "no database " + path
                             : "cannot read database " + path + ": " + std::strerror(errno));
    // Only a file whose shared memory cannot be made is read as unchanging: on a live database
    // that would hide every row still in the write-ahead log, so a busy one is an error instead.
    int rc = Open(false);
    const bool noSharedMemory = (rc & 0xFF) == SQLITE_CANTOPEN || (rc & 0xFF) == SQLITE_READONLY;
    if (rc != SQLITE_OK && noSharedMemory) {
        std::error_code ec;
        const auto wal = std::filesystem::file_size(path + "-wal", ec);
        // Read as unchanging, the file would hide every row still in its log.
        rc = !ec && wal > 0 ? OpenPrivateCopy() : Open(true);
    }
    if (rc != SQLITE_OK) {
        const std::string msg = db_ ? sqlite3_errmsg(db_) : "out of memory";
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError("cannot read database " + path + ": " + msg);
    }
    if (!HasTable("history")) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw StoreError(path + " holds no history (no history table)");
    }
    hasState_ = HasTable("alarm_state");
    Query packing(db_, "SELECT 1 FROM pragma_table_info('history') WHERE name = 'packing'");
    hasPacking_ = packing.Ok() && sqlite3_step(*packing) == SQLITE_ROW;
}

std::string HistoryReader::RecordColumns() const {
    // Files from before records were packed hold them as they are.
    return std::string("id, data_id, type_id, stored_at_ms, record, ") +
           (hasPacking_ ? "packing, base" : "0, NULL");
}

StoredRecord HistoryReader::ReadRecord(sqlite3_stmt* s) const {
    StoredRecord r;
    r.id = sqlite3_column_int64(s, 0);
    r.dataId = static_cast<unsigned int>(sqlite3_column_int64(s, 1));
    r.typeId = sqlite3_column_int(s, 2);
    r.storedAt = FromMs(sqlite3_column_int64(s, 3));
    if (!history::NeedsKey(sqlite3_column_int(s, 5))) {
        r.bytes = history::RecordBytes(s, 4);
        return r;
    }
    // Rows read in order share their key record: the last one is kept.
    const int64_t keyId = sqlite3_column_int64(s, 6);
    if (keyId != keyId_) {
        Query k(db_, "SELECT record, packing FROM history WHERE id = ?1");
        if (!k.Ok()) Fail("reading a key record");
        k.Int(1, keyId);
        if (sqlite3_step(*k) != SQLITE_ROW)
            Fail("reading the key record of row " + std::to_string(r.id));
        key_ = history::RecordBytes(*k, 0);
        keyId_ = keyId;
    }
    r.bytes = history::RecordBytes(s, 4, &key_);
    return r;
}

// A copy with its write-ahead log where this user cannot make the shared memory: both files are
// copied to a private directory and read there, log and all.
int HistoryReader::OpenPrivateCopy() {
    char tmpl[] = "/tmp/smdhost-view-XXXXXX";
    const char* dir = ::mkdtemp(tmpl);
    if (dir == nullptr)
        throw StoreError("cannot read " + path_ + " with its write-ahead log: no room for a copy");
    copyDir_.path = dir;
    std::error_code ec;
    const std::string copy = copyDir_.path + "/history.db";
    std::filesystem::copy_file(path_, copy, ec);
    if (!ec) std::filesystem::copy_file(path_ + "-wal", copy + "-wal", ec);
    if (ec)
        throw StoreError("cannot read " + path_ + " with its write-ahead log " + path_ +
                         "-wal: " + ec.message());
    openPath_ = copy;
    return Open(false);
}

// A WAL database wants its shared-memory file; where that cannot be made (a read-only copy in
// a read-only directory) and there is no log, the file is read as one nobody changes.
int HistoryReader::Open(bool immutable) {
    sqlite3_close(db_);
    db_ = nullptr;
    const std::string name = immutable ? "file:" + UriPath(openPath_) + "?immutable=1" : openPath_;
    const int flags = SQLITE_OPEN_READONLY | (immutable ? SQLITE_OPEN_URI : 0);
    if (const int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr); rc != SQLITE_OK)
        return rc;
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 5000);
    return sqlite3_exec(db_, "PRAGMA query_only=1; SELECT count(*) FROM sqlite_master", nullptr,
                        nullptr, nullptr);
}

HistoryReader::~HistoryReader() {
    sqlite3_close(db_);
}

HistoryReader::CopyDir::~CopyDir() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
}

bool HistoryReader::HasTable(const char* name) const {
    Query q(db_, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = ?1");
    if (!q.Ok()) Fail("reading the schema");
    sqlite3_bind_text(*q, 1, name, -1, SQLITE_STATIC);
    return sqlite3_step(*q) == SQLITE_ROW;
}

void HistoryReader::Fail(const std::string& what) const {
    throw StoreError("database " + path_ + ": " + what + ": " + sqlite3_errmsg(db_));
}

std::optional<StoredRecord> HistoryReader::Record(int64_t id) const {
    Query q(db_, "SELECT " + RecordColumns() + " FROM history WHERE id = ?1");
    if (!q.Ok()) Fail("reading a record");
    q.Int(1, id);
    const int rc = sqlite3_step(*q);
    if (rc == SQLITE_ROW) return ReadRecord(*q);
    if (rc != SQLITE_DONE) Fail("reading a record");
    return std::nullopt;
}

std::optional<StoredRecord> HistoryReader::LastRecord(unsigned int dataId) const {
    auto list = Records(dataId, TimeRange{}, 1);
    if (list.empty()) return std::nullopt;
    return std::move(list.front());
}

std::vector<StoredRecord> HistoryReader::Records(unsigned int dataId, const TimeRange& range,
                                                 std::size_t limit) const {
    Query q(db_, "SELECT * FROM (SELECT " + RecordColumns() + " FROM history" + Where(true) +
                     " ORDER BY id DESC LIMIT ?4) ORDER BY id");
    if (!q.Ok()) Fail("listing records");
    q.Int(1, dataId)
        .Int(2, range.sinceMs)
        .Int(3, range.untilMs)
        .Int(4, static_cast<int64_t>(limit));
    std::vector<StoredRecord> out;
    if (!ReadAll(
            *q, [this](sqlite3_stmt* s) { return ReadRecord(s); }, out))
        Fail("listing records");
    return out;
}

std::size_t HistoryReader::RecordCount(unsigned int dataId, const TimeRange& range) const {
    Query q(db_, "SELECT count(*) FROM history" + Where(true));
    if (!q.Ok()) Fail("counting records");
    q.Int(1, dataId).Int(2, range.sinceMs).Int(3, range.untilMs);
    if (sqlite3_step(*q) != SQLITE_ROW) Fail("counting records");
    return static_cast<std::size_t>(sqlite3_column_int64(*q, 0));
}

std::vector<StoredAlarm> HistoryReader::Alarms(std::optional<unsigned int> dataId,
                                               const TimeRange& range, std::size_t limit) const {
    Query q(db_,
            "SELECT * FROM (SELECT id, data_id, stored_at_ms, level, alarm_id, name, value, text, "
            "raised FROM alarm_events" +
                Where(dataId.has_value()) + " ORDER BY id DESC LIMIT ?4) ORDER BY id");
    if (!q.Ok()) Fail("listing alarm events");
    q.Int(1, dataId.value_or(0)).Int(2, range.sinceMs).Int(3, range.untilMs);
    q.Int(4, static_cast<int64_t>(limit));
    std::vector<StoredAlarm> out;
    if (!ReadAll(*q, ReadAlarm, out)) Fail("listing alarm events");
    return out;
}

std::vector<StoredAnalogReport> HistoryReader::AnalogReports(std::optional<unsigned int> dataId,
                                                             const TimeRange& range,
                                                             std::size_t limit) const {
    Query q(
        db_,
        "SELECT * FROM (SELECT id, data_id, stored_at_ms, signal_id, value FROM analog_reports" +
            Where(dataId.has_value()) + " ORDER BY id DESC LIMIT ?4) ORDER BY id");
    if (!q.Ok()) Fail("listing analog reports");
    q.Int(1, dataId.value_or(0)).Int(2, range.sinceMs).Int(3, range.untilMs);
    q.Int(4, static_cast<int64_t>(limit));
    std::vector<StoredAnalogReport> out;
    if (!ReadAll(*q, ReadReport, out)) Fail("listing analog reports");
    return out;
}

std::vector<StoredAlarm> HistoryReader::ActiveAlarms(std::optional<unsigned int> dataId) const {
    // Files written before standing alarms were kept: the last event of each alarm says.
    const std::string sql =
        hasState_
            ? "SELECT 0, data_id, since_ms, level, alarm_id, name, value, text, 1 FROM "
              "alarm_state" +
                  std::string(dataId ? " WHERE data_id = ?1" : "") + " ORDER BY since_ms, data_id"
            : "SELECT e.id, e.data_id, e.stored_at_ms, e.level, e.alarm_id, e.name, e.value, "
              "e.text, e.raised FROM alarm_events e WHERE e.id = (SELECT max(id) FROM "
              "alarm_events l WHERE l.data_id = e.data_id AND l.alarm_id = e.alarm_id) AND "
              "e.raised = 1" +
                  std::string(dataId ? " AND e.data_id = ?1" : "") + " ORDER BY e.id";
    Query q(db_, sql);
    if (!q.Ok()) Fail("listing standing alarms");
    if (dataId) q.Int(1, *dataId);
    std::vector<StoredAlarm> out;
    if (!ReadAll(*q, ReadAlarm, out)) Fail("listing standing alarms");
    return out;
}

std::vector<unsigned int> HistoryReader::Devices() const {
    Query q(db_,
            "SELECT data_id FROM history UNION SELECT data_id FROM alarm_events UNION SELECT "
            "data_id FROM analog_reports ORDER BY 1");
    if (!q.Ok()) Fail("listing devices");
    std::vector<unsigned int> out;
    const auto id = [](sqlite3_stmt* s) {
        return static_cast<unsigned int>(sqlite3_column_int64(s, 0));
    };
    if (!ReadAll(*q, id, out)) Fail("listing devices");
    return out;
}
