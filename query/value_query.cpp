// Value query: no variable is served here; the answer says why.
#include "query/value_query.h"

#include <stdexcept>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/rtmk48_pv05.h"

bool DataTimedOut(const boost::posix_time::ptime& lastUpdate, const boost::posix_time::ptime& now) {
    const boost::posix_time::time_duration age = now - lastUpdate;
    // A not-a-date-time stamp makes the age special, which counts as past every limit.
    return age.is_special() || age.total_seconds() > kDataTimeoutSeconds;
}

double RTMK48_PV05::Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
    if (!dataReady_) throw std::out_of_range("数据未就绪");
    if (DataTimedOut(lastUpdate_.load(), boost::posix_time::second_clock::local_time()))
        throw std::out_of_range("数据已超时");
    throw std::out_of_range("不支持变量");
}
