#include "core/record_layout.h"

#include <cstring>

#include "device/record.h"

#define SMD_FIELD(f, what) \
    { #f, offsetof(RTMK48_PV05_Data_t, f), sizeof(RTMK48_PV05_Data_t::f), what }

const std::vector<RecordField>& RecordFields() {
    static const std::vector<RecordField> fields = {
        SMD_FIELD(data_id, "data id"),
        SMD_FIELD(unit_time, "(40 4D) date and time"),
        SMD_FIELD(unit_info, "(40 51) manufacturer information"),
        SMD_FIELD(ext_40_e1, "(40 E1)"),
        SMD_FIELD(analog_40, "(40 42 FF) analog values"),
        SMD_FIELD(status_40, "(40 43 FF) switch states"),
        SMD_FIELD(param_40, "(40 47) parameters"),
        SMD_FIELD(ext_40_81, "(40 81)"),
        SMD_FIELD(analog_41, "(41 42) analog values"),
        SMD_FIELD(status_41, "(41 43) switch states"),
        SMD_FIELD(analog_42, "(42 42) analog values"),
        SMD_FIELD(analog_91, "(91 42) analog values"),
        SMD_FIELD(param_91, "(91 47) parameters"),
        SMD_FIELD(analog_d0, "(D0 42) analog values"),
        SMD_FIELD(param_d0, "(D0 47) parameters"),
        SMD_FIELD(analog_4a, "(4A 42 01) analog values"),
        SMD_FIELD(analog_d2, "(D2 42 01) analog values"),
        SMD_FIELD(analog_d4, "(D4 42) analog values"),
        SMD_FIELD(status_d4, "(D4 43) switch states"),
        SMD_FIELD(param_d4, "(D4 47) parameters"),
        SMD_FIELD(update_time, "time the round completed"),
    };
    return fields;
}

#undef SMD_FIELD

const RecordField* FindRecordField(const std::string& name) {
    for (const auto& f : RecordFields())
        if (name == f.name) return &f;
    return nullptr;
}

std::string RecordStamp(const unsigned char* record, std::size_t len) {
    if (len < sizeof(RTMK48_PV05_Data_t)) return "-";
    ttime t;
    std::memcpy(&t, record + offsetof(RTMK48_PV05_Data_t, update_time), sizeof t);
    if (t.year == 0) return "-";
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
           " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
           std::to_string(t.second);
}
