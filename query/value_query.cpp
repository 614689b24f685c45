// Value query: no variable is served here; the answer says why.
#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/rtmk48_pv05.h"

namespace {
constexpr long kDataTimeoutSeconds = 60;
}

double RTMK48_PV05::Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
    if (!dataReady_) throw std::out_of_range("数据未就绪");
    const auto age = boost::posix_time::second_clock::local_time() - lastUpdate_.load();
    // A never-written lastUpdate_ makes the age not-a-date-time, which counts as timed out.
    if (age.is_special() || age.total_seconds() > kDataTimeoutSeconds)
        throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}
