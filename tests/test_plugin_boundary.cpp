// The plug-in as the host sees it: loaded with dlopen, one exported factory.
#include <dlfcn.h>

#include <memory>
#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

#include "host/framework.h"

namespace {

class PluginTest : public ::testing::Test {
  protected:
    void SetUp() override {
        lib_ = dlopen(SMD_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
        getProviders_ = reinterpret_cast<GetProvidersFn>(dlsym(lib_, "get_providers"));
        ASSERT_NE(getProviders_, nullptr);
    }
    void TearDown() override {
        if (lib_) dlclose(lib_);
    }
    void* lib_ = nullptr;
    GetProvidersFn getProviders_ = nullptr;
};

TEST_F(PluginTest, GetProvidersHandsOutOneProviderOfRtmk48Devices) {
    auto providers = getProviders_();
    ASSERT_EQ(providers.size(), 1u);
    ASSERT_NE(providers[0], nullptr);
    std::unique_ptr<VDeviceInterface> device(providers[0]->create());
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->DeviceType(), "rtmk48_pv05");
    EXPECT_TRUE(device->UseControllerDb());
    EXPECT_EQ(device->GetChildVDevice(1), nullptr);
    EXPECT_TRUE(device->GetAllChildVDevices().empty());
}

TEST_F(PluginTest, EveryCallBuildsNewProvidersAndDevices) {
    auto a = getProviders_();
    auto b = getProviders_();
    EXPECT_NE(a[0].get(), b[0].get());
    std::unique_ptr<VDeviceInterface> d1(a[0]->create());
    std::unique_ptr<VDeviceInterface> d2(a[0]->create());
    EXPECT_NE(d1.get(), d2.get());

    // Independent records: a cached record in one leaves the other not ready. Every answer is
    // an exception, so its text tells the states apart.
    std::string record(1550, '\x11');
    EXPECT_EQ(d1->LoadFromCache(record), 1);
    auto reason = [](VDeviceInterface& d) {
        try {
            d.Get_Value(0, "");
        } catch (const std::out_of_range& e) {
            return std::string(e.what());
        }
        return std::string("a value");
    };
    EXPECT_EQ(reason(*d2), "数据未就绪");
    EXPECT_NE(reason(*d1), "数据未就绪");
}

TEST_F(PluginTest, DevicesOutliveTheirProvider) {
    std::unique_ptr<VDeviceInterface> device;
    {
        auto providers = getProviders_();
        device.reset(providers[0]->create());
    }
    device->Init({}, 42, Json::Value());
    device->InitSetting(Json::Value());
    EXPECT_EQ(device->DataId(), 42u);
}

}  // namespace
