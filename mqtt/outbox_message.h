#pragma once
// A queued message as the outbox holds it, and its topic and payload built from the history row
// it refers to when the sender sends it. The same row, the same sequence number and the same
// signal map give the same bytes, so a resend after a crash is the message sent before.
#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "core/sink.h"
#include "outbox/statement.h"

namespace outbox_message {

// What a row of the outbox is; kCopied rows (from before references) hold topic and payload.
enum Kind : int { kCopied = 0, kRecord = 1, kAlarm = 2, kReport = 3 };

// "record", "alarm" or "report": the topic's last level and the sequence's kind.
const char* KindName(Kind kind);

struct Queued {
    int64_t id = 0;
    unsigned int dataId = 0;
    int64_t queuedMs = 0;
    Kind kind = kCopied;
    int64_t rowId = 0;  // in history, alarm_events or analog_reports
    uint64_t seq = 0;
    // An alarm's, which alarm_events does not keep.
    std::optional<std::string> levelName;
    std::optional<double> threshold;
    std::string topic, payload;  // kCopied only
};

// The outbox's columns a Queued is read from, in Read's order.
extern const char* const kColumns;
Queued Read(sqlite3_stmt* s);

struct Message {
    std::string topic;
    std::string payload;
};

// What the payloads take besides the row: the site's settings and each device's signal map.
struct Context {
    std::string prefix;
    std::string site;
    std::string epoch;
    bool raw = false;
    std::map<unsigned int, std::shared_ptr<const SignalMap>> signals;
};

// Keeps its statements prepared on `db`: destroy it before closing the connection.
class Builder {
  public:
    explicit Builder(sqlite3* db) : db_(db) {}
    Builder(const Builder&) = delete;
    Builder& operator=(const Builder&) = delete;

    // The message, or nothing when its history row is gone (pruned before it was sent). Throws
    // std::runtime_error when the database cannot be read.
    std::optional<Message> Build(const Queued& q, const Context& c);

  private:
    std::optional<Message> Record(const Queued& q, const Context& c);
    // Null when it is gone.
    const std::vector<unsigned char>* Key(int64_t keyId);
    QueueStatement& Prepared(std::unique_ptr<QueueStatement>& slot, const char* sql);

    sqlite3* const db_;
    std::unique_ptr<QueueStatement> record_, key_record_, alarm_, report_;
    // Records of a device read in order share their key record: the last one is kept.
    int64_t keyId_ = 0;
    std::vector<unsigned char> key_;
};

}  // namespace outbox_message
