#include "mqtt/outbox_message.h"

#include <stdexcept>

#include "mqtt/payload.h"
#include "outbox/statement.h"
#include "store/packing.h"
#include "store/row_columns.h"
#include "store/rows.h"

namespace outbox_message {

namespace {

constexpr const char* kOwner = "mqtt outbox";

using history::ColumnText;

// Steps a prepared statement to the row it selects by id; false when it is gone. Reset when the
// reading is done, so that no read transaction outlives it.
class Reading {
  public:
    Reading(QueueStatement& st, int64_t id) : st_(st) {
        sqlite3_reset(*st_);  // also after a step that threw
        sqlite3_bind_int64(*st_, 1, id);
        found_ = st_.Step("reading a history row") == SQLITE_ROW;
    }
    ~Reading() { sqlite3_reset(*st_); }
    Reading(const Reading&) = delete;
    Reading& operator=(const Reading&) = delete;
    bool Found() const { return found_; }

  private:
    QueueStatement& st_;
    bool found_ = false;
};

}  // namespace

const char* KindName(Kind kind) {
    switch (kind) {
        case kRecord:
            return "record";
        case kAlarm:
            return "alarm";
        case kReport:
            return "report";
        case kCopied:
            break;
    }
    return "";
}

const char* const kColumns =
    "id, data_id, queued_ms, kind, row_id, seq, level_name, threshold, topic, payload";

Queued Read(sqlite3_stmt* s) {
    Queued q;
    q.id = sqlite3_column_int64(s, 0);
    q.dataId = static_cast<unsigned int>(sqlite3_column_int64(s, 1));
    q.queuedMs = sqlite3_column_int64(s, 2);
    q.kind = static_cast<Kind>(sqlite3_column_int(s, 3));
    q.rowId = sqlite3_column_int64(s, 4);
    q.seq = static_cast<uint64_t>(sqlite3_column_int64(s, 5));
    if (sqlite3_column_type(s, 6) != SQLITE_NULL) q.levelName = ColumnText(s, 6);
    if (sqlite3_column_type(s, 7) != SQLITE_NULL) q.threshold = sqlite3_column_double(s, 7);
    q.topic = ColumnText(s, 8);
    q.payload = ColumnText(s, 9);
    return q;
}

QueueStatement& Builder::Prepared(std::unique_ptr<QueueStatement>& slot, const char* sql) {
    if (!slot) slot = std::make_unique<QueueStatement>(db_, sql, kOwner);
    return *slot;
}

std::optional<Message> Builder::Build(const Queued& q, const Context& c) {
    using namespace mqtt_payload;
    if (q.kind == kCopied) return Message{q.topic, q.payload};
    Message m{DeviceTopic(c.prefix, c.site, q.dataId, KindName(q.kind)), ""};
    if (q.kind == kRecord) {
        auto r = Record(q, c);
        if (r) r->topic = std::move(m.topic);
        return r;
    }
    if (q.kind == kAlarm) {
        QueueStatement& s =
            Prepared(alarm_,
                     "SELECT id, data_id, stored_at_ms, level, alarm_id, name, value, text, raised "
                     "FROM alarm_events WHERE id = ?1");
        const Reading row(s, q.rowId);
        if (!row.Found()) return std::nullopt;
        Alarm a = history::ReadAlarm(*s);
        a.levelName = q.levelName.value_or("");
        a.threshold = q.threshold;
        m.payload = AlarmMessage(c.site, c.epoch, a, q.seq);
        return m;
    }
    if (q.kind == kReport) {
        QueueStatement& s =
            Prepared(report_,
                     "SELECT id, data_id, stored_at_ms, signal_id, value FROM analog_reports "
                     "WHERE id = ?1");
        const Reading row(s, q.rowId);
        if (!row.Found()) return std::nullopt;
        StoredAnalogReport stored = history::ReadReport(*s);
        ReportOut r{stored.dataId, stored.storedAt, std::move(stored.signalId), stored.value};
        m.payload = Report(c.site, c.epoch, r, q.seq);
        return m;
    }
    throw std::runtime_error("mqtt outbox: message " + std::to_string(q.id) + " of unknown kind " +
                             std::to_string(static_cast<int>(q.kind)));
}

// The record's values come from its bytes through the device's signal map, as the core decoded
// them when it stored the record.
std::optional<Message> Builder::Record(const Queued& q, const Context& c) {
    QueueStatement& s = Prepared(
        record_, "SELECT type_id, stored_at_ms, record, packing, base FROM history WHERE id = ?1");
    const Reading row(s, q.rowId);
    if (!row.Found()) return std::nullopt;
    const std::vector<unsigned char>* key = nullptr;
    // Pruning takes a key's records along with it; a key gone all the same loses its records.
    if (history::NeedsKey(sqlite3_column_int(*s, 3)) && !(key = Key(sqlite3_column_int64(*s, 4))))
        return std::nullopt;
    std::vector<unsigned char> bytes;
    try {
        bytes = history::RecordBytes(*s, 2, key);
    } catch (const StoreError& e) {
        throw std::runtime_error("mqtt outbox: record " + std::to_string(q.rowId) + ": " +
                                 e.what());
    }
    RecordOut r;
    r.dataId = q.dataId;
    r.typeId = sqlite3_column_int(*s, 0);
    r.at = history::FromMs(sqlite3_column_int64(*s, 1));
    r.bytes = bytes.data();
    r.len = bytes.size();
    const auto it = c.signals.find(q.dataId);
    const SignalMap* signals = it == c.signals.end() ? nullptr : it->second.get();
    Json::Value values(Json::objectValue);
    if (signals) {
        signals->Apply(r.bytes, r.len, values);
        r.values = &values;
    }
    return Message{"", mqtt_payload::Record(c.site, c.epoch, r, q.seq, signals, c.raw)};
}

const std::vector<unsigned char>* Builder::Key(int64_t keyId) {
    if (keyId == keyId_) return &key_;
    QueueStatement& k = Prepared(key_record_, "SELECT record, packing FROM history WHERE id = ?1");
    const Reading row(k, keyId);
    if (!row.Found()) return nullptr;
    key_ = history::RecordBytes(*k, 0);
    keyId_ = keyId;
    return &key_;
}

}  // namespace outbox_message
