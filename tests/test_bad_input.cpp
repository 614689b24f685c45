// Bad input at every entry, one table per entry: the site file, the settings, the model file,
// control requests (on the channel and at DeviceIoControl) and replies on the line. Each row
// says what the input gets: a clear error naming what is wrong, or the defined behaviour; and
// no row may send the unit a command the caller did not ask for. The README's reliability
// section lists the same rows.
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <json/json.h>
#include <boost/property_tree/ini_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include "core/json_check.h"
#include "device_probe.h"
#include "runner/control_channel.h"
#include "runner/site_config.h"
#include "runtime/device_driver.h"
#include "runtime/frame.h"
#include "test_support.h"

namespace {

// Counts the rows a test walked and prints the figure when the test ends.
struct Tally {
    const char* entry;
    int n = 0;
    ~Tally() { std::printf("bad inputs tried at the %s: %d\n", entry, n); }
};

Json::Value Parse(const std::string& text) {
    return ParseJson(text);
}

std::size_t Commands(const DeviceProbe& d) {
    return d.rec.Calls("write_pmbus_cmd").size();
}

// ---------------------------------------------------------------------------------------------
// Site file: every mistake is a ConfigError naming the file, the member and the fault.

TEST(BadInput, SiteFileErrorsNameTheMember) {
    Tally tally{"site file"};
    const std::string dev = R"({"model": "rtmk48_pv05", "dataId": 7, "port": "simulated")";
    const std::string head = R"({"plugins": ["p.so"], "devices": [)";
    struct Row {
        std::string what, text, error;
    };
    const std::vector<Row> rows = {
        {"not JSON", "{", "not valid JSON"},
        {"an array at the top", "[]", "expected a JSON object at the top"},
        {"no plug-ins", R"({"devices": [)" + dev + "}]}", "plugins: missing"},
        {"plug-ins not an array", R"({"plugins": "p.so"})", "plugins: expected an array"},
        {"no plug-in named", R"({"plugins": []})", "plugins: must name at least one"},
        {"plug-in not a name", R"({"plugins": [3]})", "plugins[0]: expected a file name"},
        {"no devices", R"({"plugins": ["p.so"]})", "devices: missing"},
        {"no device listed", head + "]}", "devices: must list"},
        {"device not an object", head + "7]}", "devices[0]: expected an object"},
        {"misspelt top member", R"({"plugins": ["p.so"], "device": []})", "device"},
        {"misspelt device member", head + dev + R"(, "dataID": 8}]})",
         "devices[0].dataID: unknown member"},
        {"no model", head + R"({"dataId": 7, "port": "simulated"}]})", "devices[0].model"},
        {"data id negative", head + R"({"model": "m", "dataId": -1, "port": "simulated"}]})",
         "devices[0].dataId"},
        {"data id as text", head + R"({"model": "m", "dataId": "7", "port": "simulated"}]})",
         "devices[0].dataId"},
        {"data id twice", head + dev + "}, " + dev + "}]}", "devices[1].dataId"},
        {"port twice", head + R"({"model": "m", "dataId": 1, "port": "/dev/ttyS1"},
                   {"model": "m", "dataId": 2, "port": "/dev/ttyS1"}]})",
         "devices[1].port"},
        {"poll interval negative", head + dev + R"(, "pollIntervalMs": -5}]})",
         "devices[0].pollIntervalMs"},
        {"reply time-out zero", head + dev + R"(, "replyTimeoutMs": 0}]})",
         "devices[0].replyTimeoutMs"},
        {"settings not an object", head + dev + R"(, "settings": 5}]})", "devices[0].settings"},
        {"limits upside down", head + dev + R"(, "limits": {"a": {"lower": 5, "upper": 1}}}]})",
         "lower lies above upper"},
        {"simulation on a real port",
         head + R"({"model": "m", "dataId": 1, "port": "/dev/ttyS1", "simulation": {}}]})",
         "devices[0].simulation"},
        {"rounds negative", R"({"rounds": -1, "plugins": ["p.so"], "devices": [)" + dev + "}]}",
         "rounds"},
        {"history not an object",
         R"({"history": 90, "plugins": ["p.so"], "devices": [)" + dev + "}]}",
         "history: expected an object"},
        {"misspelt history member",
         R"({"history": {"keepDay": 9}, "plugins": ["p.so"], "devices": [)" + dev + "}]}",
         "history.keepDay: unknown member"},
        {"negative age",
         R"({"history": {"keepDays": -1}, "plugins": ["p.so"], "devices": [)" + dev + "}]}",
         "history.keepDays"},
        {"negative age of hourly aggregates",
         R"({"history": {"keepHourDays": -1}, "plugins": ["p.so"], "devices": [)" + dev + "}]}",
         "history.keepHourDays"},
        {"empty report setting", head + dev + R"(, "analogReports": {"0411004001": {}}}]})",
         "devices[0].analogReports.0411004001: give at least one"},
        {"negative band", head + dev + R"(, "analogReports": {"x": {"absolute": -1}}}]})",
         "devices[0].analogReports.x.absolute"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        try {
            ParseSiteConfig(JsonFile::Parse(row.text, "site.json"), "site.json", ".");
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind("site.json: ", 0), 0u) << msg;
            EXPECT_NE(msg.find(row.error), std::string::npos) << msg;
        }
    }
    ++tally.n;
    EXPECT_THROW(LoadSiteConfig("/nonexistent/site.json"), ConfigError) << "missing file";

    // Files that are no site file: refused at once, by name, without reading them whole.
    char tmpl[] = "/tmp/smdsite.XXXXXX";
    const std::string dir = ::mkdtemp(tmpl);
    ASSERT_EQ(::mkfifo((dir + "/fifo.json").c_str(), 0600), 0);
    std::ofstream(dir + "/huge.json") << "{";
    std::filesystem::resize_file(dir + "/huge.json", 5u * 1024 * 1024);
    std::ofstream(dir + "/deep.json") << std::string(100000, '[') << std::string(100000, ']');
    // Files the site file names are checked alike: a FIFO there must not hang the load.
    const std::string withMqtt = R"({"plugins": ["p.so"], "devices": [)" + dev + "}], ";
    std::ofstream(dir + "/tls.json")
        << withMqtt + R"("mqtt": {"host": "b", "tls": {"caFile": "fifo.json"}}})";
    std::ofstream(dir + "/pw.json")
        << withMqtt + R"("mqtt": {"host": "b", "username": "u", "passwordFile": "fifo.json"}})";
    std::ofstream(dir + "/group.json")
        << R"({"plugins": ["p.so"], "controlSocket": "c.sock", "controlGroup": "no-such-grp",
              "devices": [)" +
               dev + "}]}";
    const struct {
        std::string path, error;
    } files[] = {
        {dir, "is a directory"},
        {dir + "/fifo.json", "is not a regular file"},
        {"/dev/zero", "is not a regular file"},
        {dir + "/huge.json", "is larger than 4 MiB"},
        {dir + "/deep.json", "not valid JSON"},
        {dir + "/group.json", "controlGroup: no group named no-such-grp"},
        {dir + "/tls.json", "mqtt.tls: " + dir + "/fifo.json: is not a regular file"},
        {dir + "/pw.json", "mqtt.passwordFile: " + dir + "/fifo.json: is not a regular file"},
    };
    for (const auto& f : files) {
        SCOPED_TRACE(f.path);
        ++tally.n;
        try {
            LoadSiteConfig(f.path);
            ADD_FAILURE() << "accepted";
        } catch (const ConfigError& e) {
            const std::string msg = e.what();
            EXPECT_EQ(msg.rfind(f.path + ": ", 0), 0u) << msg;
            EXPECT_NE(msg.find(f.error), std::string::npos) << msg;
        }
    }
    std::filesystem::remove_all(dir);
}

// ---------------------------------------------------------------------------------------------
// Settings and model files: the defined result, or the JSON library's or the INI reader's
// exception; never a command, and after an exception the host's own InitSetting has not run.

// Runs each row in a fresh scratch directory that holds ./ini/ with the given files.
class Scratch {
  public:
    Scratch() {
        char tmpl[] = "/tmp/smdbad.XXXXXX";
        dir_ = ::mkdtemp(tmpl);
        std::filesystem::create_directories(dir_ + "/ini");
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
    }
    ~Scratch() {
        std::filesystem::current_path(old_);
        std::filesystem::remove_all(dir_);
    }
    void Write(const std::string& name, const std::string& text) {
        std::ofstream(dir_ + "/ini/" + name, std::ios::binary) << text;
    }
    std::string dir_;
    std::filesystem::path old_;
};

enum class Outcome { kDone, kJsonError, kIniError, kBadPath };

Outcome RunInitSetting(DeviceProbe& d, const Json::Value& settings) {
    CaptureStdout quiet;
    try {
        d.InitSetting(settings);
        return Outcome::kDone;
    } catch (const Json::LogicError&) {
        return Outcome::kJsonError;
    } catch (const boost::property_tree::ptree_bad_path&) {
        return Outcome::kBadPath;
    } catch (const boost::property_tree::ini_parser_error&) {
        return Outcome::kIniError;
    }
}

TEST(BadInput, SettingsGetTheDefinedModeOrTheLibrarysError) {
    Tally tally{"settings"};
    struct Row {
        const char* what;
        const char* settings;
        Outcome outcome;
        int mode;  // b_mode_ afterwards
    };
    const Row rows[] = {
        {"not an object", "[1, 2]", Outcome::kDone, 1},
        {"appSetting a string", R"({"appSetting": "5"})", Outcome::kDone, 1},
        {"b_mode true", R"({"appSetting": {"b_mode": true}})", Outcome::kDone, 0},
        {"b_mode text without digits", R"({"appSetting": {"b_mode": "abc"}})", Outcome::kDone, 0},
        {"b_mode out of range", R"({"appSetting": {"b_mode": -99999999}})", Outcome::kDone,
         -99999999},
        {"b_mode an object", R"({"appSetting": {"b_mode": {}}})", Outcome::kJsonError, 1},
        {"b_mode an array", R"({"appSetting": {"b_mode": [5]}})", Outcome::kJsonError, 1},
        {"mode 3, rules an array", R"({"appSetting": {"b_mode": 3}, "thresholdSetting": [{}]})",
         Outcome::kJsonError, 3},
        {"mode 3, ID an object",
         R"({"appSetting": {"b_mode": 3}, "thresholdSetting": {"x": {"ID": {}}}})",
         Outcome::kJsonError, 3},
        {"mode 5, rules a number", R"({"appSetting": {"b_mode": 5}, "thresholdSetting": 4})",
         Outcome::kDone, 5},
        {"mode 5, rule values of odd types",
         R"({"appSetting": {"b_mode": 5}, "thresholdSetting": {"r": {"SignalName": "x",
            "UpValue": "12abc", "UpAlarmLevel": "high", "LowValue": null}}})",
         Outcome::kDone, 5},
        {"pmbus address out of range", R"({"appSetting": {"b_mode": 7, "pmbus_adr": 300}})",
         Outcome::kDone, 7},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        Scratch dir;  // no model file: mode 1 logs "ini not found"
        DeviceProbe d;
        EXPECT_EQ(RunInitSetting(d, Parse(row.settings)), row.outcome);
        EXPECT_EQ(d.b_mode_, row.mode);
        EXPECT_EQ(Commands(d), 0u);
        EXPECT_EQ(d.rec.Calls("PMBusProtocol::InitSetting").size(),
                  row.outcome == Outcome::kDone ? 1u : 0u);
    }
}

TEST(BadInput, ModelFilesGetTheIniReadersErrorOrAreSkipped) {
    Tally tally{"model file"};
    struct Row {
        const char* what;
        const char* file;  // name below ./ini/
        std::string text;
        Outcome outcome;
        std::size_t ai, alarms;  // map sizes afterwards
    };
    const std::vector<Row> rows = {
        {"empty file", "7.ini", "", Outcome::kBadPath, 0, 0},
        {"unmatched [", "7.ini", "[AI\na=1\n", Outcome::kIniError, 0, 0},
        {"line without =", "7.ini", "[AI]\njust text\n", Outcome::kIniError, 0, 0},
        {"duplicate key", "7.ini", "[AI]\na=1\na=2\n[ALARM]\n", Outcome::kIniError, 0, 0},
        {"duplicate section", "7.ini", "[AI]\na=1\n[AI]\nb=2\n[ALARM]\n", Outcome::kIniError, 0, 0},
        {"no AI section", "7.ini", "[ALARM]\nb=2\n", Outcome::kBadPath, 0, 0},
        {"no ALARM section", "7.ini", "[AI]\na=1,x\n", Outcome::kBadPath, 1, 0},
        {"binary noise", "7.ini", std::string("\x00\xff[\x01=\n", 6), Outcome::kBadPath, 0, 0},
        {"keys but no values", "7.ini", "[AI]\na=\n[ALARM]\nb=\n", Outcome::kDone, 1, 1},
        {"yaml chosen first, never read", "7.yaml", "AI: {a: 1}", Outcome::kDone, 0, 0},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        Scratch dir;
        dir.Write(row.file, row.text);
        DeviceProbe d;
        EXPECT_EQ(RunInitSetting(d, Parse("{}")), row.outcome);
        EXPECT_EQ(d.aiSignalMap_.size(), row.ai);
        EXPECT_EQ(d.alarmSignalIdMap_.size(), row.alarms);
        EXPECT_EQ(Commands(d), 0u);
    }
    ++tally.n;
    Scratch dir;
    std::filesystem::create_directory(dir.dir_ + "/ini/7.ini");
    DeviceProbe d;
    EXPECT_EQ(RunInitSetting(d, Parse("{}")), Outcome::kIniError) << "a directory: cannot open";
}

// ---------------------------------------------------------------------------------------------
// Control requests.

TEST(BadInput, ControlChannelLinesAreRefusedWithAReason) {
    Tally tally{"control channel"};
    struct Row {
        const char* what;
        const char* line;
        const char* error;
    };
    const Row rows[] = {
        {"not JSON", "{device: 7}", "not valid JSON"},
        {"empty line", "", "not valid JSON"},
        {"an array", "[7, 106]", "must be a JSON object"},
        {"no device", R"({"code": 106})", "\"device\""},
        {"device negative", R"({"device": -7, "code": 106})", "\"device\""},
        {"device as text", R"({"device": "7", "code": 106})", "\"device\""},
        {"no code", R"({"device": 7})", "\"code\""},
        {"code fractional", R"({"device": 7, "code": 106.5})", "\"code\""},
        {"request and value", R"({"device": 7, "code": 106, "request": "x", "value": 1})",
         "not both"},
        {"request not text", R"({"device": 7, "code": 310, "request": {"signal_id": 1}})",
         "must be a string"},
        {"value too big", R"({"device": 7, "code": 106, "value": 65536})", "0 to 65535"},
        {"value negative", R"({"device": 7, "code": 106, "value": -1})", "0 to 65535"},
        {"outLen negative", R"({"device": 7, "code": 801, "outLen": -1})", "\"outLen\""},
        {"outLen huge", R"({"device": 7, "code": 801, "outLen": 2000000000})", "\"outLen\""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        try {
            ParseControlRequest(row.line);
            ADD_FAILURE() << "accepted";
        } catch (const ControlError& e) {
            EXPECT_NE(std::string(e.what()).find(row.error), std::string::npos) << e.what();
        }
    }
}

TEST(BadInput, DeviceIoControlSendsOnlyWhatWasAskedFor) {
    Tally tally{"DeviceIoControl"};
    struct Row {
        const char* what;
        int mode;
        int code;
        std::string in;
        bool nullIn;
        int inLen;  // -2: the length of `in`
        int outLen;
        int result;        // -9: the framework's (0)
        const char* sent;  // the one command expected, or "" for none
    };
    const std::vector<Row> rows = {
        {"106 with 3 bytes", 1, 106, std::string("\x34\x12\x00", 3), false, -2, 4, 0, ""},
        {"106 with 1 byte", 1, 106, "\x34", false, -2, 4, 0, ""},
        {"106 without input", 1, 106, "", true, 2, 4, 0, ""},
        {"106 negative length", 1, 106, "\x34\x12", false, -2 - 100, 4, 0, ""},
        {"310 not JSON", 1, 310, "{signal_id", false, -2, 0, -1, ""},
        {"310 empty", 1, 310, "", false, -2, 0, -1, ""},
        {"310 no signal id", 1, 310, R"({"SetValue": "5"})", false, -2, 0, 0, ""},
        {"310 unknown signal", 1, 310, R"({"signal_id": "D49999", "SetValue": "5"})", false, -2, 0,
         0, ""},
        {"310 remote control id", 1, 310, R"({"signal_id": "D41001", "SetValue": "5"})", false, -2,
         0, 0, ""},
        {"310 no SetValue", 1, 310, R"({"signal_id": "D48001"})", false, -2, 0, 0, ""},
        {"310 SetValue with junk", 1, 310, R"({"signal_id": "D48001", "SetValue": "12abc"})", false,
         -2, 0, -1, ""},
        {"310 SetValue too big", 1, 310, R"({"signal_id": "D48001", "SetValue": "70000"})", false,
         -2, 0, -1, ""},
        {"310 SetValue empty", 1, 310, R"({"signal_id": "D48001", "SetValue": ""})", false, -2, 0,
         -1, ""},
        {"310 good", 1, 310, R"({"signal_id": "D48101", "SetValue": " 500 "})", false, -2, 0, 0,
         "write_pmbus_cmd D4 49 [01 81 01 F4]"},
        {"320 id with terminator", 1, 320, std::string("D41001\0", 7), false, -2, 0, 0, ""},
        {"320 id in lower case", 1, 320, "d41001", false, -2, 0, 0, ""},
        {"320 parameter id", 1, 320, "D48001", false, -2, 0, 0, ""},
        {"320 JSON in mode 1", 1, 320, R"({"signal_id": "D41001"})", false, -2, 0, 0, ""},
        {"320 not JSON in mode 5", 5, 320, "D41001", false, -2, 0, -1, ""},
        {"320 no signal id in mode 5", 5, 320, R"({"id": "D41001"})", false, -2, 0, 0, ""},
        {"801 buffer one byte", 1, 801, "", true, 0, 1, -1, ""},
        {"803 buffer too small", 1, 803, "", true, 0, 3, -1, ""},
        {"unknown code, no buffer", 1, 12345, "", true, 0, 0, 0, ""},
        {"negative code", 1, -106, "\x34\x12", false, -2, 4, 0, ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        DeviceProbe d;
        d.b_mode_ = row.mode;
        CaptureStdout quiet;
        std::vector<uint8_t> out(static_cast<std::size_t>(row.outLen > 0 ? row.outLen : 1), 0xAB);
        int retLen = 0;
        const int inLen = row.inLen == -2  ? static_cast<int>(row.in.size())
                          : row.inLen < -2 ? -static_cast<int>(row.in.size())
                                           : row.inLen;
        const int result = d.DeviceIoControl(row.code, row.nullIn ? nullptr : row.in.data(), inLen,
                                             out.data(), row.outLen, retLen);
        EXPECT_EQ(result, row.result);
        const auto sent = d.rec.Calls("write_pmbus_cmd");
        if (*row.sent == '\0') {
            EXPECT_TRUE(sent.empty()) << sent.front();
        } else {
            EXPECT_EQ(sent, std::vector<std::string>{row.sent});
        }
        if (row.result == -1 && (row.code == 801 || row.code == 803)) {
            EXPECT_EQ(out[0], 0xAB) << "nothing written to a buffer that is too small";
        }
    }
    ++tally.n;
    DeviceProbe d;
    d.b_mode_ = 5;
    CaptureStdout quiet;
    int retLen = 0;
    const std::string array = "[\"D41001\"]";
    EXPECT_THROW(
        d.DeviceIoControl(320, array.data(), static_cast<int>(array.size()), nullptr, 0, retLen),
        Json::LogicError)
        << "valid JSON that is no object: the library's type error, nothing sent";
    EXPECT_TRUE(d.rec.Calls("write_pmbus_cmd").empty());
}

// ---------------------------------------------------------------------------------------------
// Replies: while a round's command is outstanding, a bad reply is counted by kind and stops
// the round (no further command, no record); the tolerable ones are taken as defined.

class NullLink : public Link {
  public:
    bool Write(const uint8_t*, std::size_t) override {
        ++writes;
        return up;
    }
    int writes = 0;
    bool up = true;
};

std::vector<uint8_t> Frame(uint8_t cid1, uint8_t rtn, const std::vector<uint8_t>& info,
                           uint8_t adr = 0x01) {
    return EncodeFrame(cid1, rtn, info, adr);
}

TEST(BadInput, RepliesAreCountedByKindAndStopTheRound) {
    Tally tally{"line"};
    using frame::ReplyError;
    const std::vector<uint8_t> good = Frame(0x40, 0x00, {1, 2, 3, 4, 5, 6, 7});
    auto with = [&](std::size_t at, uint8_t c) {
        std::vector<uint8_t> f = good;
        f[at] = c;
        return f;
    };
    const uint8_t lastSum = good[good.size() - 2];
    struct Row {
        const char* what;
        std::vector<uint8_t> bytes;
        int waitMs;  // then the driver looks again this long after the bytes (0: no look)
        ReplyError kind;
    };
    const std::vector<Row> rows = {
        // A frame that cannot complete is awaited past: the reply may still follow it.
        {"a character that is no hex digit", with(5, 'G'), 10000, ReplyError::kBadHex},
        {"LCHKSUM wrong", with(9, good[9] == 'F' ? 'E' : 'F'), 10000,
         ReplyError::kBadLengthChecksum},
        {"CHKSUM wrong", with(good.size() - 2, lastSum == '0' ? '1' : '0'), 0,
         ReplyError::kBadChecksum},
        {"no EOI", with(good.size() - 1, 'X'), 0, ReplyError::kMissingEoi},
        {"another address", Frame(0x40, 0x00, {1}, 0x02), 0, ReplyError::kWrongAddress},
        {"another command's CID1", Frame(0x41, 0x00, {1}), 0, ReplyError::kWrongCommand},
        {"RTN version", Frame(0x40, 0x01, {}), 0, ReplyError::kRtnVersion},
        {"RTN checksum", Frame(0x40, 0x02, {}), 0, ReplyError::kRtnChecksum},
        {"RTN LCHKSUM", Frame(0x40, 0x03, {}), 0, ReplyError::kRtnLengthChecksum},
        {"RTN invalid CID2", Frame(0x40, 0x04, {}), 0, ReplyError::kRtnBadCid2},
        {"RTN format", Frame(0x40, 0x05, {}), 0, ReplyError::kRtnFormat},
        {"RTN data", Frame(0x40, 0x06, {}), 0, ReplyError::kRtnData},
        {"RTN vendor", Frame(0x40, 0xE2, {}), 0, ReplyError::kRtnVendor},
        {"noise without SOI", {0x00, 0xFF, 'x', 0x0D, 0x0A}, 10000, ReplyError::kLineNoise},
        {"frame cut short", std::vector<uint8_t>(good.begin(), good.begin() + 10), 400,
         ReplyError::kTimeout},
        {"a frame still coming past a full frame's line time",
         std::vector<uint8_t>(good.begin(), good.begin() + 10), 10000, ReplyError::kTooSlow},
        {"nothing at all", {}, 10000, ReplyError::kTimeout},
        {"the port is closed", {}, 0, ReplyError::kPortClosed},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        DeviceProbe d;
        NullLink link;
        link.up = row.kind != ReplyError::kPortClosed;
        DriverOptions o;
        o.autoPoll = false;
        o.delayScale = 0.0;
        DeviceDriver driver(d, link, o);
        CaptureStdout quiet;
        driver.PollNow();
        driver.Service(0, DeviceDriver::Clock::now());
        ASSERT_EQ(Commands(d), 1u);
        const std::vector<uint8_t> before(d.Bytes(), d.Bytes() + sizeof d.data_);
        driver.Receive(row.bytes.data(), row.bytes.size());
        if (row.waitMs > 0)
            driver.Service(0, DeviceDriver::Clock::now() + std::chrono::milliseconds(row.waitMs));
        EXPECT_EQ(driver.Errors(row.kind), 1u) << frame::to_string(row.kind);
        EXPECT_EQ(driver.TotalErrors(), 1u);
        EXPECT_EQ(Commands(d), 1u) << "the round stops: nothing more is sent";
        EXPECT_EQ(std::vector<uint8_t>(d.Bytes(), d.Bytes() + sizeof d.data_), before);
    }

    // Taken as defined: short, empty and long INFO, noise before the frame (SOIs and cut-off
    // frames in it counted as line noise), the command's own echo, a frame in pieces, and a copy
    // of the reply read with it before the next command left (unsolicited, even at no delay).
    struct Tolerable {
        const char* what;
        std::vector<uint8_t> bytes;
        std::size_t copied;  // bytes of unit_time written
        std::size_t piece;   // handed over in pieces of this size
        ReplyError kind;     // counted once, when `counted`
        bool counted;
    };
    auto then = [&](std::vector<uint8_t> first, const std::vector<uint8_t>& second) {
        first.insert(first.end(), second.begin(), second.end());
        return first;
    };
    const std::vector<uint8_t> cut(good.begin(), good.begin() + 10);
    const std::vector<Tolerable> ok = {
        {"short INFO", Frame(0x40, 0x00, {1, 2, 3}), 3, 3, ReplyError::kLineNoise, false},
        {"empty INFO", Frame(0x40, 0x00, {}), 0, 3, ReplyError::kLineNoise, false},
        {"long INFO", Frame(0x40, 0x00, std::vector<uint8_t>(40, 9)), 7, 3, ReplyError::kLineNoise,
         false},
        {"noise before the frame", then({0x00, 'x', 0x0D}, good), 7, 3, ReplyError::kLineNoise,
         false},
        {"an SOI in the noise", then({frame::kSoi}, good), 7, 3, ReplyError::kLineNoise, true},
        {"a frame cut off by the reply", then(cut, good), 7, 3, ReplyError::kLineNoise, true},
        {"the command's echo first", then(Frame(0x40, 0x4D, {}), good), 7, 3, ReplyError::kEcho,
         true},
        {"the reply twice in one read", then(good, good), 7, 999, ReplyError::kUnsolicited, true},
    };
    for (const Tolerable& row : ok) {
        SCOPED_TRACE(row.what);
        ++tally.n;
        DeviceProbe d;
        NullLink link;
        DriverOptions o;
        o.autoPoll = false;
        o.delayScale = 0.0;
        DeviceDriver driver(d, link, o);
        CaptureStdout quiet;
        std::memset(d.data_.unit_time, 0xCC, sizeof d.data_.unit_time);
        driver.PollNow();
        driver.Service(0, DeviceDriver::Clock::now());
        for (std::size_t i = 0; i < row.bytes.size(); i += row.piece)
            driver.Receive(row.bytes.data() + i,
                           std::min<std::size_t>(row.piece, row.bytes.size() - i));
        EXPECT_EQ(driver.TotalErrors(), row.counted ? 1u : 0u);
        EXPECT_EQ(driver.Errors(row.kind), row.counted ? 1u : 0u) << frame::to_string(row.kind);
        EXPECT_EQ(d.protocolState_, 12) << "the round goes on";
        EXPECT_EQ(Commands(d), 2u);
        for (std::size_t i = 0; i < 7; ++i)
            EXPECT_EQ(d.data_.unit_time[i] == 0xCC, i >= row.copied) << "byte " << i;
    }
    ++tally.n;
    DeviceProbe d;
    NullLink link;
    DeviceDriver driver(d, link, DriverOptions{});
    driver.Receive(good.data(), good.size());
    EXPECT_EQ(driver.Errors(ReplyError::kUnsolicited), 1u) << "nothing outstanding: dropped";
    EXPECT_EQ(Commands(d), 0u);

    // A reply that comes twice: the second copy arrives while the next command is held for its
    // delay. It answers nothing of ours; the held command still goes out and gets its reply.
    ++tally.n;
    DeviceProbe e;
    NullLink line;
    DriverOptions o;
    o.autoPoll = false;
    DeviceDriver held(e, line, o);
    CaptureStdout quiet;
    held.PollNow();
    held.Service(0, DeviceDriver::Clock::now());
    held.Receive(good.data(), good.size());
    ASSERT_EQ(e.protocolState_, 12);
    const std::vector<uint8_t> before(e.Bytes(), e.Bytes() + sizeof e.data_);
    const std::vector<uint8_t> twice = Frame(0x40, 0x00, std::vector<uint8_t>(40, 0xEE));
    held.Receive(twice.data(), twice.size());
    EXPECT_EQ(held.Errors(ReplyError::kUnsolicited), 1u);
    EXPECT_EQ(e.protocolState_, 12) << "the duplicate was taken for the held command's reply";
    EXPECT_EQ(std::vector<uint8_t>(e.Bytes(), e.Bytes() + sizeof e.data_), before);
    EXPECT_EQ(line.writes, 1);
    held.Service(0, DeviceDriver::Clock::now() + std::chrono::seconds(1));
    EXPECT_EQ(line.writes, 2) << "the held command is sent";
    held.Receive(twice.data(), twice.size());
    EXPECT_EQ(e.protocolState_, 13) << "and its own reply is taken";
}

}  // namespace
