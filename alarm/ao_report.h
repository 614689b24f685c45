#pragma once
// When a reading of an analog signal is due for a report, as a pure function of the setting, the
// reading and the time, so the conditions can be checked without a clock.
#include <ctime>

#include "host/smd_vdevice.h"

// True when `value` left the absolute or percentage band around the last reported value, or the
// report period has run out by `now` (seconds since the epoch). Bands are strict; the period is
// counted to the second.
bool AOReportDue(const SMDVDevice::BAOSetting& setting, float value, std::time_t now);
