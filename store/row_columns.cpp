#include "store/row_columns.h"

#include "store/packing.h"

namespace history {

std::string ColumnText(sqlite3_stmt* s, int col) {
    const auto* p = sqlite3_column_text(s, col);
    return p ? std::string(reinterpret_cast<const char*>(p),
                           static_cast<std::size_t>(sqlite3_column_bytes(s, col)))
             : std::string();
}

std::vector<unsigned char> RecordBytes(sqlite3_stmt* s, int col,
                                       const std::vector<unsigned char>* key) {
    return Unpack(static_cast<const unsigned char*>(sqlite3_column_blob(s, col)),
                  static_cast<std::size_t>(sqlite3_column_bytes(s, col)),
                  sqlite3_column_int(s, col + 1), key);
}

StoredAlarm ReadAlarm(sqlite3_stmt* s) {
    StoredAlarm a;
    a.id = sqlite3_column_int64(s, 0);
    a.dataId = static_cast<unsigned int>(sqlite3_column_int64(s, 1));
    a.at = FromMs(sqlite3_column_int64(s, 2));
    a.level = sqlite3_column_int(s, 3);
    a.alarmId = ColumnText(s, 4);
    a.name = ColumnText(s, 5);
    a.value = ColumnText(s, 6);
    a.text = ColumnText(s, 7);
    a.raised = sqlite3_column_int(s, 8) != 0;
    return a;
}

StoredAnalogReport ReadReport(sqlite3_stmt* s) {
    StoredAnalogReport r;
    r.id = sqlite3_column_int64(s, 0);
    r.dataId = static_cast<unsigned int>(sqlite3_column_int64(s, 1));
    r.storedAt = FromMs(sqlite3_column_int64(s, 2));
    r.signalId = ColumnText(s, 3);
    r.value = sqlite3_column_double(s, 4);
    return r;
}

}  // namespace history
