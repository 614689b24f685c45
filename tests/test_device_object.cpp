// A fresh device, its record, and the cache hand-back.
#include <cstring>
#include <vector>

#include <gtest/gtest.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device_probe.h"
#include "runtime/pmbus_runtime.h"
#include "runtime/spdevice_runtime.h"

namespace {

TEST(DeviceObject, NewDeviceHasItsDefaults) {
    DeviceProbe d;
    EXPECT_EQ(d.DeviceType(), "rtmk48_pv05");
    EXPECT_EQ(d.BaudRate(), 9600);
    EXPECT_TRUE(d.UseControllerDb());
    EXPECT_EQ(d.b_mode_, 1);
    EXPECT_EQ(d.controlResult_, -1);
    EXPECT_TRUE(d.signalValues_.isNull());
    EXPECT_TRUE(d.docTime_.is_not_a_date_time());
    EXPECT_TRUE(d.upRuleMap_.empty() && d.up2RuleMap_.empty() && d.lowRuleMap_.empty() &&
                d.low2RuleMap_.empty() && d.aiSignalMap_.empty() && d.alarmSignalIdMap_.empty());
    const std::vector<unsigned char> zeros(1550, 0);
    EXPECT_EQ(std::memcmp(d.Bytes(), zeros.data(), 1550), 0);
    EXPECT_FALSE(d.dataReady_);
    // The recorder joins after construction, so the runtime is asked: no frame was framed,
    // held, written or attempted (a send without a port counts as an error).
    const SPDeviceRuntime& sp = d.Runtime();
    const PMBusRuntime& pm = d.Protocol();
    EXPECT_TRUE(!pm.awaiting && !pm.commandHeld && !sp.holding && sp.pendingDelay == 0 &&
                sp.lastWrite == SPDeviceRuntime::Clock::time_point{} && pm.TotalErrors() == 0)
        << "construction sends nothing";
}

TEST(DeviceObject, CacheOfAnyOtherSizeIsRefused) {
    DeviceProbe d;
    for (int size : {0, 1549, 1551}) {
        std::vector<unsigned char> bytes(static_cast<size_t>(size) + 1, 0xAB);
        EXPECT_EQ(d.LoadFromCache(bytes.data(), size), 0) << size;
    }
    EXPECT_FALSE(d.dataReady_);
    EXPECT_EQ(d.Bytes()[100], 0);
    EXPECT_TRUE(d.rec.Calls().empty());
}

TEST(DeviceObject, CachedRecordRunsOneRoundCompletion) {
    DeviceProbe d;
    std::vector<unsigned char> bytes(1550);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<unsigned char>(i * 7);
    CaptureStdout out;
    const auto before = boost::posix_time::second_clock::local_time();
    ASSERT_EQ(d.LoadFromCache(std::string(bytes.begin(), bytes.end())), 1);
    const auto after = boost::posix_time::second_clock::local_time();

    EXPECT_TRUE(d.dataReady_);
    // Everything but update_time is the cached bytes, data_id included.
    EXPECT_EQ(std::memcmp(d.Bytes(), bytes.data(), 1543), 0);
    const ttime t = d.data_.update_time;
    const auto stamped = d.lastUpdate_.load();
    EXPECT_TRUE(stamped >= before && stamped <= after);
    EXPECT_EQ(t.year, stamped.date().year());
    EXPECT_EQ(t.second, stamped.time_of_day().seconds());

    EXPECT_EQ(d.rec.Calls("SendSP"), std::vector<std::string>{"SendSP 5156 1550 false"});
    EXPECT_EQ(d.rec.Calls("SaveDeviceHistory"), std::vector<std::string>{"SaveDeviceHistory 1550"});
    ASSERT_EQ(d.rec.Published().size(), 1u);
    EXPECT_EQ(d.rec.Published()[0], d.rec.Saved()[0]);
    EXPECT_EQ(std::memcmp(d.rec.Published()[0].data(), d.Bytes(), 1550), 0);
}

TEST(DeviceObject, InitSettingStoresTheDataIdInNativeOrder) {
    DeviceProbe d(0x01020304);
    std::vector<unsigned char> cached(1550, 0);
    cached[0] = 9;  // a cached record keeps its own id until the next InitSetting
    d.LoadFromCache(cached.data(), 1550);
    EXPECT_EQ(d.data_.data_id, 9u);

    CaptureStdout out;
    d.InitSetting(Json::Value());
    uint32_t id;
    std::memcpy(&id, d.Bytes(), 4);
    EXPECT_EQ(id, 0x01020304u);
#if __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    EXPECT_EQ(d.Bytes()[0], 0x04);
    EXPECT_EQ(d.Bytes()[3], 0x01);
#endif
}

TEST(DeviceObject, GetTtimeLaysOutSevenBytes) {
    const boost::posix_time::ptime t(boost::gregorian::date(2024, 3, 5),
                                     boost::posix_time::time_duration(7, 4, 9));
    const ttime v = get_ttime(t);
    unsigned char raw[7];
    std::memcpy(raw, &v, 7);
    const uint16_t year = 2024;
    EXPECT_EQ(std::memcmp(raw, &year, 2), 0) << "year in native order";
    EXPECT_EQ(raw[2], 3);
    EXPECT_EQ(raw[3], 5);
    EXPECT_EQ(raw[4], 7);
    EXPECT_EQ(raw[5], 4);
    EXPECT_EQ(raw[6], 9);
}

}  // namespace
