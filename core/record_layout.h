#pragma once
// The fields of the RTMK48_PV05 record by name, for the signal map and the history dump.
#include <cstddef>
#include <string>
#include <vector>

struct RecordField {
    const char* name;
    std::size_t offset;
    std::size_t size;
    const char* content;
};

// In record order, end to end from offset 0 to 1550.
const std::vector<RecordField>& RecordFields();
const RecordField* FindRecordField(const std::string& name);

// "2024-3-5 7:4:9" from the record's update_time; "-" when it was never stamped.
std::string RecordStamp(const unsigned char* record, std::size_t len);
