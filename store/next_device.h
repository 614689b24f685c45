#pragma once
// Walking a table device by device through an index on data_id, without reading every row:
// `next` is "SELECT min(data_id) FROM <table> WHERE data_id > ?1".
#include <sqlite3.h>

#include <cstdint>
#include <optional>

inline std::optional<int64_t> NextDevice(sqlite3_stmt* next, int64_t after) {
    sqlite3_bind_int64(next, 1, after);
    std::optional<int64_t> found;
    if (sqlite3_step(next) == SQLITE_ROW && sqlite3_column_type(next, 0) != SQLITE_NULL)
        found = sqlite3_column_int64(next, 0);
    sqlite3_reset(next);
    return found;
}
