#include <boost/date_time/posix_time/posix_time.hpp>

#include "host/types.h"

ttime get_ttime(const boost::posix_time::ptime& t) {
    ttime out{};
    if (t.is_special()) return out;
    const auto date = t.date();
    const auto tod = t.time_of_day();
    out.year = static_cast<uint16_t>(date.year());
    out.month = static_cast<uint8_t>(date.month());
    out.day = static_cast<uint8_t>(date.day());
    out.hour = static_cast<uint8_t>(tod.hours());
    out.minute = static_cast<uint8_t>(tod.minutes());
    out.second = static_cast<uint8_t>(tod.seconds());
    return out;
}
