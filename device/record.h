#pragma once
// The RTMK48_PV05 data record: what the host publishes (type id 5156), stores as history and
// hands back from its cache. A persisted byte format: packed, no field may move.
#include <cstddef>
#include <cstdint>

#include "host/types.h"

// The byte ruler below is aligned by hand.
// clang-format off
#pragma pack(push, 1)
struct RTMK48_PV05_Data_t {
    //                                offset  size  reply INFO of (CID1, CID2[, INFO])
    uint32_t data_id;              //      0     4  - the device's data id, native order
    uint8_t unit_time[7];          //      4     7  (0x40, 0x4D) date and time
    uint8_t unit_info[66];         //     11    66  (0x40, 0x51) manufacturer information
    uint8_t ext_40_e1[62];         //     77    62  (0x40, 0xE1)
    uint8_t analog_40[24];         //    139    24  (0x40, 0x42, 0xFF)
    uint8_t status_40[11];         //    163    11  (0x40, 0x43, 0xFF); [6] = AC output breaker
    uint8_t param_40[21];          //    174    21  (0x40, 0x47)
    uint8_t ext_40_81[11];         //    195    11  (0x40, 0x81)
    uint8_t analog_41[532];        //    206   532  (0x41, 0x42)
    uint8_t status_41[529];        //    738   529  (0x41, 0x43)
    uint8_t analog_42[109];        //   1267   109  (0x42, 0x42)
    uint8_t analog_91[8];          //   1376     8  (0x91, 0x42)
    uint8_t param_91[11];          //   1384    11  (0x91, 0x47)
    uint8_t analog_d0[12];         //   1395    12  (0xD0, 0x42)
    uint8_t param_d0[6];           //   1407     6  (0xD0, 0x47)
    uint8_t analog_4a[60];         //   1413    60  (0x4A, 0x42, 0x01)
    uint8_t analog_d2[39];         //   1473    39  (0xD2, 0x42, 0x01)
    uint8_t analog_d4[11];         //   1512    11  (0xD4, 0x42)
    uint8_t status_d4[10];         //   1523    10  (0xD4, 0x43)
    uint8_t param_d4[10];          //   1533    10  (0xD4, 0x47)
    ttime update_time;             //   1543     7  - local time the last round completed
};
#pragma pack(pop)
// clang-format on

static_assert(sizeof(RTMK48_PV05_Data_t) == 1550, "the record is 1550 bytes");
static_assert(alignof(RTMK48_PV05_Data_t) == 1, "the record is packed");
static_assert(offsetof(RTMK48_PV05_Data_t, unit_time) == 4);
static_assert(offsetof(RTMK48_PV05_Data_t, unit_info) == 11);
static_assert(offsetof(RTMK48_PV05_Data_t, ext_40_e1) == 77);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_40) == 139);
static_assert(offsetof(RTMK48_PV05_Data_t, status_40) == 163);
static_assert(offsetof(RTMK48_PV05_Data_t, param_40) == 174);
static_assert(offsetof(RTMK48_PV05_Data_t, ext_40_81) == 195);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_41) == 206);
static_assert(offsetof(RTMK48_PV05_Data_t, status_41) == 738);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_42) == 1267);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_91) == 1376);
static_assert(offsetof(RTMK48_PV05_Data_t, param_91) == 1384);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_d0) == 1395);
static_assert(offsetof(RTMK48_PV05_Data_t, param_d0) == 1407);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_4a) == 1413);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_d2) == 1473);
static_assert(offsetof(RTMK48_PV05_Data_t, analog_d4) == 1512);
static_assert(offsetof(RTMK48_PV05_Data_t, status_d4) == 1523);
static_assert(offsetof(RTMK48_PV05_Data_t, param_d4) == 1533);
static_assert(offsetof(RTMK48_PV05_Data_t, update_time) == 1543);

// Byte of the record that holds the AC output main breaker state.
inline constexpr std::size_t kBreakerOffset = offsetof(RTMK48_PV05_Data_t, status_40) + 6;
static_assert(kBreakerOffset == 169);
