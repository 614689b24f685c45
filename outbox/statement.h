#pragma once
// One prepared statement of a queue kept in the history database, finalized whatever happens;
// failures throw std::runtime_error "<owner>: <what>: <SQLite's message>".
#include <sqlite3.h>

#include <stdexcept>
#include <string>

class QueueStatement {
  public:
    QueueStatement(sqlite3* db, const char* sql, const char* owner) : db_(db), owner_(owner) {
        if (sqlite3_prepare_v2(db, sql, -1, &s_, nullptr) != SQLITE_OK) Fail("prepare");
    }
    ~QueueStatement() { sqlite3_finalize(s_); }
    QueueStatement(const QueueStatement&) = delete;
    QueueStatement& operator=(const QueueStatement&) = delete;
    sqlite3_stmt* operator*() const { return s_; }
    // SQLITE_ROW or SQLITE_DONE.
    int Step(const char* what) {
        const int rc = sqlite3_step(s_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) Fail(what);
        return rc;
    }
    [[noreturn]] void Fail(const char* what) const {
        throw std::runtime_error(std::string(owner_) + ": " + what + ": " + sqlite3_errmsg(db_));
    }

  private:
    sqlite3* db_;
    const char* owner_;
    sqlite3_stmt* s_ = nullptr;
};
