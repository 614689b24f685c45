#pragma once
// The host's history and event store: one SQLite database shared by every device of a site.
// Rows are appended by the device threads; the store serialises them itself.
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

class StoreError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

using WallTime = std::chrono::system_clock::time_point;

struct StoredRecord {
    int64_t id = 0;
    unsigned int dataId = 0;
    int typeId = 0;
    WallTime storedAt;
    std::vector<unsigned char> bytes;
};

struct StoredAlarm {
    int64_t id = 0;
    unsigned int dataId = 0;
    WallTime storedAt;
    int level = 0;
    std::string alarmId;
    std::string name;
    std::string value;
    std::string text;
    bool raised = false;
};

struct StoredAnalogReport {
    int64_t id = 0;
    unsigned int dataId = 0;
    WallTime storedAt;
    std::string signalId;
    double value = 0.0;
};

class HistoryStore {
  public:
    // Opens or creates the database; throws StoreError naming the path on failure.
    explicit HistoryStore(const std::string& path);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    int64_t AddRecord(unsigned int dataId, int typeId, WallTime at, const unsigned char* bytes,
                      std::size_t len);
    int64_t AddAlarm(const StoredAlarm& alarm);
    int64_t AddAnalogReport(unsigned int dataId, WallTime at, const std::string& signalId,
                            double value);

    std::optional<StoredRecord> LastRecord(unsigned int dataId) const;
    std::optional<StoredRecord> Record(int64_t id) const;
    // The newest `limit` records of a device, oldest first.
    std::vector<StoredRecord> Records(unsigned int dataId, std::size_t limit) const;
    std::size_t RecordCount(unsigned int dataId) const;
    std::vector<StoredAlarm> Alarms(unsigned int dataId) const;
    std::vector<StoredAnalogReport> AnalogReports(unsigned int dataId) const;

    const std::string& Path() const { return path_; }

  private:
    void PrepareAll();
    void Close();
    sqlite3_stmt* Prepare(const char* sql);
    [[noreturn]] void Fail(const std::string& what) const;

    std::string path_;
    sqlite3* db_ = nullptr;
    mutable std::mutex mu_;
    sqlite3_stmt* insertRecord_ = nullptr;
    sqlite3_stmt* insertAlarm_ = nullptr;
    sqlite3_stmt* insertReport_ = nullptr;
    sqlite3_stmt* lastRecord_ = nullptr;
    sqlite3_stmt* recordById_ = nullptr;
    sqlite3_stmt* records_ = nullptr;
    sqlite3_stmt* recordCount_ = nullptr;
    sqlite3_stmt* alarms_ = nullptr;
    sqlite3_stmt* reports_ = nullptr;
};
