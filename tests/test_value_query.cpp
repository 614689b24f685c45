// Value queries: never a value, always the reason as std::out_of_range.
#include <chrono>
#include <climits>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device_probe.h"
#include "query/value_query.h"

namespace {

using boost::posix_time::milliseconds;
using boost::posix_time::ptime;
using boost::posix_time::seconds;

const std::string kNotReady = "数据未就绪";
const std::string kTimedOut = "数据已超时";
const std::string kUnsupported = "不支持变量";

// The message of the std::out_of_range the query throws; anything else fails the test.
std::string Answer(const RTMK48_PV05& d, unsigned int index = 0, const std::string& name = "") {
    try {
        d.Get_Value(index, name);
    } catch (const std::out_of_range& e) {
        return e.what();
    }
    ADD_FAILURE() << "Get_Value returned a value";
    return {};
}

// Asks with lastUpdate_ set `age` before the clock's current second. The local clock ticks in
// whole seconds, so a tick between setting and asking would shift the age: ask again then.
std::string AnswerAtAge(DeviceProbe& d, boost::posix_time::time_duration age) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
        const ptime before = boost::posix_time::second_clock::local_time();
        d.lastUpdate_ = before - age;
        const std::string answer = Answer(d);
        if (boost::posix_time::second_clock::local_time() == before) return answer;
    }
    ADD_FAILURE() << "the clock never held still for one query";
    return {};
}

TEST(ValueQuery, BeforeTheFirstRoundDataAreNotReady) {
    DeviceProbe d;
    EXPECT_EQ(Answer(d, 0, ""), kNotReady);
    EXPECT_EQ(Answer(d, 5, "电池电压"), kNotReady);
    EXPECT_EQ(Answer(d, UINT_MAX, "x"), kNotReady);
    d.lastUpdate_ = boost::posix_time::second_clock::local_time();
    EXPECT_EQ(Answer(d), kNotReady) << "a stamp alone does not make data ready";
}

TEST(ValueQuery, FreshDataAreNotSupportedWhateverIsAsked) {
    DeviceProbe d;
    {
        CaptureStdout quiet;
        d.RoundDone();
    }
    EXPECT_EQ(Answer(d, 0, ""), kUnsupported);
    EXPECT_EQ(Answer(d, 5, "电池电压"), kUnsupported);
    EXPECT_EQ(Answer(d, UINT_MAX, "x"), kUnsupported);
}

TEST(ValueQuery, DataTimeOutFrom61WholeSeconds) {
    DeviceProbe d;
    d.dataReady_ = true;
    EXPECT_EQ(AnswerAtAge(d, seconds(60)), kUnsupported);
    EXPECT_EQ(AnswerAtAge(d, seconds(61)), kTimedOut);
    EXPECT_EQ(AnswerAtAge(d, seconds(3600)), kTimedOut);
    // A local clock set back behind the last round is not a time-out.
    EXPECT_EQ(AnswerAtAge(d, seconds(-3600)), kUnsupported);
}

TEST(ValueQuery, ReadyDataWithoutAStampHaveTimedOut) {
    DeviceProbe d;
    d.dataReady_ = true;
    EXPECT_EQ(Answer(d), kTimedOut);
    EXPECT_EQ(Answer(d, 3, "x"), kTimedOut);
}

TEST(ValueQuery, AgeCountsWholeSecondsTruncated) {
    const ptime last(boost::gregorian::date(2024, 3, 5), boost::posix_time::time_duration(7, 4, 9));
    EXPECT_FALSE(DataTimedOut(last, last));
    EXPECT_FALSE(DataTimedOut(last, last + seconds(60)));
    EXPECT_FALSE(DataTimedOut(last, last + seconds(60) + milliseconds(999)));
    EXPECT_TRUE(DataTimedOut(last, last + seconds(61)));
    EXPECT_FALSE(DataTimedOut(last, last - seconds(61)));
    EXPECT_TRUE(DataTimedOut(ptime(), last));
}

}  // namespace
