// InitSetting: the settings mode, model files (mode 1), the identity log (mode 3) and the rule
// tables (mode 5), then the host's own handling of the settings.
#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <boost/property_tree/ini_parser.hpp>

#include "config/model_file.h"
#include "device_probe.h"
#include "host/framework.h"
#include "test_support.h"

namespace {

namespace fs = std::filesystem;

const std::string kHostCall = "PMBusProtocol::InitSetting";

// A fresh temporary working directory for the life of the object; the old one comes back even
// when the test fails.
class ScopedWorkDir {
  public:
    ScopedWorkDir() : old_(fs::current_path()) {
        std::string tmpl = (fs::temp_directory_path() / "settings_XXXXXX").string();
        if (mkdtemp(tmpl.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
        dir_ = tmpl;
        fs::current_path(dir_);
    }
    ~ScopedWorkDir() {
        std::error_code ec;
        fs::current_path(old_, ec);
        fs::remove_all(dir_, ec);
    }

  private:
    fs::path old_;
    fs::path dir_;
};

void WriteFile(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path) << text;
}

Json::Value Parse(const std::string& text) {
    return ParseJson(text);
}

class Settings : public ::testing::Test {
  protected:
    // Runs InitSetting and returns what it wrote to standard output.
    std::string Init(const std::string& settings) {
        CaptureStdout out;
        dev.InitSetting(Parse(settings));
        return out.Text();
    }
    size_t HostCalls() const { return dev.rec.Calls(kHostCall).size(); }

    ScopedWorkDir dir;
    DeviceProbe dev{7};
};

TEST_F(Settings, ModeComesFromNumberOrLeadingDigitsOfText) {
    const struct {
        const char* mode;
        int expected;
    } cases[] = {{"5", 5},    {"\"5\"", 5}, {"\" 3 apples\"", 3}, {"5.0", 5},
                 {"true", 0}, {"\"x\"", 0}, {"\"010\"", 10},      {"\"0x5\"", 0}};
    for (const auto& c : cases) {
        const std::string out = Init(std::string(R"({"appSetting": {"b_mode": )") + c.mode + "}}");
        EXPECT_EQ(dev.b_mode_, c.expected) << c.mode;
        if (c.expected == 0)
            EXPECT_EQ(out, "InitSetting 7 b_mode_:0\n") << "mode 0 runs no job";
        else
            EXPECT_EQ(out.rfind("InitSetting 7 b_mode_:" + std::to_string(c.expected) + "\n", 0),
                      0u)
                << out;
    }
    EXPECT_EQ(HostCalls(), std::size(cases));

    // Without a usable "b_mode" the mode stays and no mode line is written.
    dev.b_mode_ = 4;
    for (const char* s : {"{}", "null", "[1]", R"({"appSetting": "b_mode"})",
                          R"({"appSetting": {}})", R"({"appSetting": {"b_mode": null}})"}) {
        EXPECT_EQ(Init(s), "") << s;
        EXPECT_EQ(dev.b_mode_, 4) << s;
    }
    EXPECT_EQ(HostCalls(), std::size(cases) + 6);
}

TEST_F(Settings, ModeWithoutTextFormThrowsAndSkipsTheHost) {
    EXPECT_THROW(Init(R"({"appSetting": {"b_mode": [5]}})"), Json::LogicError);
    EXPECT_EQ(HostCalls(), 0u);
}

TEST_F(Settings, ModelFileProbeOrder) {
    const std::vector<std::string> order = {"./ini/7.yaml",
                                            "./ini/7.ini",
                                            "./ini/rtmk48_pv05.yaml",
                                            "./ini/rtmk48_pv05.ini",
                                            "./ini/zariza/7.yaml",
                                            "./ini/zariza/7.ini",
                                            "./ini/zariza/rtmk48_pv05.yaml",
                                            "./ini/zariza/rtmk48_pv05.ini"};
    for (const auto& p : order) WriteFile(p, "");
    for (const auto& p : order) {
        EXPECT_EQ(FindModelFile(7, "rtmk48_pv05"), p);
        fs::remove(p);
    }
    EXPECT_EQ(FindModelFile(7, "rtmk48_pv05"), "");
}

TEST_F(Settings, NoModelFileIsLoggedAndTheHostStillRuns) {
    EXPECT_EQ(Init("{}"),
              "data_id:7 model:rtmk48_pv05 b ini not found\n"
              "parse ini/yaml filename:\n");
    EXPECT_EQ(dev.rec.Calls(), std::vector<std::string>{kHostCall});
    EXPECT_TRUE(dev.aiSignalMap_.empty() && dev.alarmSignalIdMap_.empty());
}

TEST_F(Settings, ModelFileSectionsAreSplitAtTheFirstComma) {
    WriteFile("./ini/zariza/rtmk48_pv05.ini",
              "; comment\n[AI]\nb = plain\na=x,y,z\nc=,name\n[ALARM]\nm=id2\nk=id1,rest,more\n"
              "[OTHER]\nq=1\n");
    dev.aiSignalMap_["old"] = {"o", "o"};  // entries are overwritten or added, never removed
    dev.aiSignalMap_["a"] = {"stale", "stale"};
    EXPECT_EQ(Init("{}"),
              "parse ini/yaml filename:./ini/zariza/rtmk48_pv05.ini\n"
              "alarmSignalIdMap_ m : id2\n"
              "alarmSignalIdMap_ k : id1\n"
              "AI 7\n"
              "first:a second:x name:y,z\n"
              "first:b second:plain name:plain\n"
              "first:c second: name:name\n"
              "first:old second:o name:o\n");
    EXPECT_EQ(dev.alarmSignalIdMap_,
              (std::map<std::string, std::string>{{"k", "id1"}, {"m", "id2"}}));
    EXPECT_EQ(dev.aiSignalMap_.size(), 4u);
    EXPECT_EQ(HostCalls(), 1u);
}

TEST_F(Settings, BrokenModelFilesThrowAndSkipTheHost) {
    const struct {
        const char* content;  // nullptr: a directory in the file's place
        bool badPath;         // ptree_bad_path, else ini_parser_error
        const char* message;
        size_t aiEntries;
    } cases[] = {
        {"[ALARM]\nk=1\n", true, "No such node", 0},
        {"[AI]\na=1,n\nb=2\n", true, "No such node", 2},
        {"[AI\na=1\n", false, "unmatched '['", 0},
        {"[AI]\n[ALARM]\nk=1\n", true, "No such node", 0},  // the reader drops empty sections
        {"[AI]\na=1\n[AI]\nb=2\n", false, "duplicate section name", 0},
        {"[AI]\na=1\na=2\n[ALARM]\n", false, "duplicate key name", 0},
        {"[AI]\nno equals sign\n", false, "'=' character not found in line", 0},
        {"[AI]\n=1\n", false, "key expected", 0},
        {nullptr, false, "read error", 0},
    };
    for (const auto& c : cases) {
        DeviceProbe d;
        fs::remove_all("ini");
        if (c.content)
            WriteFile("./ini/rtmk48_pv05.ini", c.content);
        else
            fs::create_directories("./ini/rtmk48_pv05.ini");
        CaptureStdout out;
        std::string what;
        bool badPath = false;
        try {
            d.InitSetting(Json::Value());
            ADD_FAILURE() << "no exception for " << (c.content ? c.content : "a directory");
        } catch (const boost::property_tree::ptree_bad_path& e) {
            badPath = true;
            what = e.what();
        } catch (const boost::property_tree::ini_parser_error& e) {
            what = e.what();
        }
        const std::string label = c.content ? c.content : "directory";
        EXPECT_EQ(badPath, c.badPath) << label;
        EXPECT_NE(what.find(c.message), std::string::npos) << label << ": " << what;
        EXPECT_EQ(d.aiSignalMap_.size(), c.aiEntries) << label;
        EXPECT_TRUE(d.alarmSignalIdMap_.empty()) << label;
        EXPECT_EQ(out.Text(), "parse ini/yaml filename:./ini/rtmk48_pv05.ini\n") << label;
        EXPECT_TRUE(d.rec.Calls(kHostCall).empty()) << label;
    }
}

TEST_F(Settings, YamlCandidateIsChosenButNotRead) {
    WriteFile("./ini/7.yaml", "[AI]\nnew=1,n\n[ALARM]\nk=1\n");
    WriteFile("./ini/rtmk48_pv05.ini", "[AI]\nnew=1,n\n[ALARM]\nk=1\n");
    dev.aiSignalMap_["old"] = {"o", "o"};
    EXPECT_EQ(Init("{}"),
              "parse ini/yaml filename:./ini/7.yaml\n"
              "AI 7\n"
              "first:old second:o name:o\n");
    EXPECT_EQ(dev.aiSignalMap_.size(), 1u);
    EXPECT_TRUE(dev.alarmSignalIdMap_.empty());
    EXPECT_EQ(HostCalls(), 1u);
}

TEST_F(Settings, ShippedModelFileFeedsBreakerAlarmAndThresholdIds) {
    fs::create_directory("ini");
    fs::copy_file(fs::path(SMD_SOURCE_DIR) / "ini/rtmk48_pv05.ini", "./ini/rtmk48_pv05.ini");
    Init("{}");
    EXPECT_EQ(dev.alarmSignalIdMap_.at("交流输出主空开状态"), "0418001001");
    for (const char* name : {"交流输出电压", "直流输出电压", "负载电流", "电池电流", "环境温度"})
        EXPECT_EQ(dev.aiSignalMap_.count(name), 1u) << name;
    for (const auto& [name, signal] : dev.aiSignalMap_)
        EXPECT_GE(signal.first.size(), 10u) << name << " is too short for the alarm-id rewrite";

    // Mode-1 threshold checks use the id with indexes 3 and 8 rewritten.
    dev.signalValues_["交流输出电压"] = 230.0;
    dev.rec.Clear();
    {
        CaptureStdout out;
        dev.RoundDone();
    }
    const auto checks = dev.rec.Calls("CheckThreshold 0416001011 ");
    ASSERT_EQ(checks.size(), 1u);
    EXPECT_EQ(checks[0], "CheckThreshold 0416001011 交流输出电压(V) 230 1");
}

TEST_F(Settings, IdentityLogOfMode3) {
    dev.signalLevelMap_["full"] = 2;
    dev.signalValueMap_["full"] = 1.5f;
    EXPECT_EQ(Init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {
                   "x": {"ID": 12},
                   "skip": 5,
                   "full": {"NMAlarmID": "N1", "ID": "I1", "SignalNumber": 3}}})"),
              "InitSetting 7 b_mode_:3\n"
              "here 1\n"
              "here 2\n"
              "here full\n"
              "mobile:full:N1;I1;3; level:2 value:1.5\n"
              "here skip\n"
              "here x\n"
              "7 NMAlarmID is missing\n"
              "7 SignalNumber is missing\n"
              "mobile:x:;12;; level:0 value:0\n");
    // The host maps gain zero entries for names they lacked, and only for logged members.
    EXPECT_EQ(dev.signalLevelMap_, (std::map<std::string, int>{{"full", 2}, {"x", 0}}));
    EXPECT_EQ(dev.signalValueMap_, (std::map<std::string, float>{{"full", 1.5f}, {"x", 0.0f}}));

    EXPECT_EQ(Init(R"({"appSetting": {"b_mode": 3}})"), "InitSetting 7 b_mode_:3\nhere 1\n");
    EXPECT_EQ(Init(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": 4})"),
              "InitSetting 7 b_mode_:3\nhere 1\nhere 2\n");
    EXPECT_EQ(HostCalls(), 3u);
    EXPECT_TRUE(dev.upRuleMap_.empty() && dev.aiSignalMap_.empty()) << "mode 3 fills nothing";
}

TEST_F(Settings, IdentityLogThrowsOnValuesWithoutName) {
    CaptureStdout out;
    EXPECT_THROW(
        dev.InitSetting(Parse(R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{"ID": 1}]})")),
        Json::LogicError);
    EXPECT_EQ(out.Text(), "InitSetting 7 b_mode_:3\nhere 1\nhere 2\nhere \n");
    EXPECT_THROW(dev.InitSetting(Parse(
                     R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"x": {"ID": {}}}})")),
                 Json::LogicError);
    EXPECT_EQ(HostCalls(), 0u);
}

TEST_F(Settings, Mode5RebuildsTablesSilentlyAndOtherModesKeepThem) {
    EXPECT_EQ(Init(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {"r":
        {"SignalName": "负载电流", "ID": "0411005001", "UpValue": "100", "UpReconverValue": 90,
         "UpAlarmLevel": 2}}})"),
              "InitSetting 7 b_mode_:5\n");
    EXPECT_EQ(dev.upRuleMap_.at("负载电流"),
              std::make_tuple(std::string("0411005001001"), 100.0f, 90.0f, false, 2));
    Init(R"({"appSetting": {"b_mode": 1}})");
    EXPECT_EQ(dev.upRuleMap_.size(), 1u) << "a change of mode leaves the tables";
    EXPECT_EQ(Init(R"({"appSetting": {"b_mode": "5"}})"), "InitSetting 7 b_mode_:5\n");
    EXPECT_TRUE(dev.upRuleMap_.empty());
    EXPECT_EQ(HostCalls(), 3u);

    // A value without text form stops the build where it is, before the host's handling.
    EXPECT_THROW(Init(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {
        "a": {"SignalName": "a", "ID": "A", "UpValue": 1, "UpReconverValue": 1, "UpAlarmLevel": 1},
        "b": {"SignalName": "b", "ID": "B", "UpValue": [1], "UpReconverValue": 1, "UpAlarmLevel": 1}}})"),
                 Json::LogicError);
    EXPECT_EQ(dev.upRuleMap_.size(), 1u);
    EXPECT_EQ(HostCalls(), 3u);
}

// The same three modes through the plug-in as the host loads it.
TEST(SettingsPlugin, AllModesThroughTheLoadedPlugin) {
    ScopedWorkDir dir;
    fs::create_directory("ini");
    fs::copy_file(fs::path(SMD_SOURCE_DIR) / "ini/rtmk48_pv05.ini", "./ini/rtmk48_pv05.ini");
    void* lib = dlopen(SMD_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto getProviders = reinterpret_cast<GetProvidersFn>(dlsym(lib, "get_providers"));
    ASSERT_NE(getProviders, nullptr);
    {
        std::unique_ptr<VDeviceInterface> device(getProviders()[0]->create());
        device->Init({}, 42, Json::Value());
        auto* host = dynamic_cast<SMDVDevice*>(device.get());
        ASSERT_NE(host, nullptr);
        RecordingObserver rec;
        host->AddObserver(&rec);
        auto init = [&](const std::string& settings) {
            CaptureStdout out;
            device->InitSetting(Parse(settings));
            return out.Text();
        };

        const std::string mode1 = init("{}");
        EXPECT_EQ(mode1.rfind("parse ini/yaml filename:./ini/rtmk48_pv05.ini\n", 0), 0u) << mode1;
        EXPECT_NE(mode1.find("alarmSignalIdMap_ 交流输出主空开状态 : 0418001001\n"),
                  std::string::npos);
        EXPECT_NE(mode1.find("AI 42\nfirst:"), std::string::npos);

        EXPECT_EQ(init(R"({"appSetting": {"b_mode": "3"}, "thresholdSetting": {"x": {"ID": 12}}})"),
                  "InitSetting 42 b_mode_:3\nhere 1\nhere 2\nhere x\n"
                  "42 NMAlarmID is missing\n42 SignalNumber is missing\n"
                  "mobile:x:;12;; level:0 value:0\n");
        EXPECT_EQ(init(R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {}})"),
                  "InitSetting 42 b_mode_:5\n");
        EXPECT_EQ(rec.Calls(kHostCall).size(), 3u);
        host->RemoveObserver(&rec);
    }
    dlclose(lib);
}

}  // namespace
