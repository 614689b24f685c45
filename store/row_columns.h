#pragma once
// Rows of the history database as every reader takes them from a statement, so the columns'
// order is written down once.
#include <string>
#include <vector>

#include <sqlite3.h>

#include "store/rows.h"

namespace history {

// A text column; empty for NULL.
std::string ColumnText(sqlite3_stmt* s, int col);
// A record's own bytes from its blob (column col) and packing (col + 1); `key`: its key record's
// own bytes, where the packing needs them. Throws StoreError as Unpack does.
std::vector<unsigned char> RecordBytes(sqlite3_stmt* s, int col,
                                       const std::vector<unsigned char>* key = nullptr);
// id, data_id, stored_at_ms, level, alarm_id, name, value, text, raised
StoredAlarm ReadAlarm(sqlite3_stmt* s);
// id, data_id, stored_at_ms, signal_id, value
StoredAnalogReport ReadReport(sqlite3_stmt* s);

}  // namespace history
