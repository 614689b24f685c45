#pragma once
// Small framework types shared by the host and its plug-ins.
#include <cstdint>
#include <string>

#include <boost/date_time/posix_time/ptime.hpp>

#include "host/host_api.h"

enum EnumParity { PARITY_NONE = 0, PARITY_ODD = 1, PARITY_EVEN = 2 };

// One threshold result waiting for DoBatchCheckThreshold: queued by CheckThreshold.
struct rule_value {
    std::string alarmId;
    std::string name;
    float value = 0.0f;
    int level = 0;
    bool active = false;  // the value lies beyond the host-side limit for alarmId
    std::string text;
};

// The 7-byte time stamp of the framework: year in native byte order, then month, day, hour,
// minute and second, one byte each.
#pragma pack(push, 1)
struct ttime {
    uint16_t year;
    uint8_t month;
    uint8_t day;
    uint8_t hour;
    uint8_t minute;
    uint8_t second;
};
#pragma pack(pop)
static_assert(sizeof(ttime) == 7, "ttime is 7 bytes on every target");

HOST_API ttime get_ttime(const boost::posix_time::ptime& t);

// The host's controller of a site; devices only keep a weak reference to it.
class HOST_API SMDController {
  public:
    virtual ~SMDController();
};
