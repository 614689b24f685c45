#pragma once
// The value query's notion of stale data, apart from the clock so it can be checked by value.
#include <boost/date_time/posix_time/ptime.hpp>

// Data older than this many whole seconds are stale; exactly this old is still fresh.
inline constexpr long kDataTimeoutSeconds = 60;

// True when data stamped `lastUpdate` count as timed out at `now`. A never-written
// (not-a-date-time) stamp is timed out; a clock set back behind the stamp is not.
bool DataTimedOut(const boost::posix_time::ptime& lastUpdate, const boost::posix_time::ptime& now);
