#include "runner/demo.h"

#include <cstdint>
#include <filesystem>
#include <vector>

#include <json/reader.h>

namespace {

std::string Hex(const std::vector<uint8_t>& b) {
    static const char d[] = "0123456789ABCDEF";
    std::string s;
    for (uint8_t c : b) {
        s += d[c >> 4];
        s += d[c & 15];
    }
    return s;
}

void Put16(std::vector<uint8_t>& b, std::size_t at, double value, double scale) {
    const auto raw =
        static_cast<uint16_t>(static_cast<int32_t>(value / scale + (value < 0 ? -0.5 : 0.5)));
    b[at] = static_cast<uint8_t>(raw >> 8);  // the unit sends high byte first
    b[at + 1] = static_cast<uint8_t>(raw & 0xFF);
}

// Replies as ini/rtmk48_pv05.signals.json reads them.
std::string AcBlock(double volts, double amps, double hertz) {
    std::vector<uint8_t> b(24, 0);
    Put16(b, 0, volts, 0.1);
    Put16(b, 2, amps, 0.1);
    Put16(b, 4, hertz, 0.01);
    return Hex(b);
}

std::string DcBlock(double volts, double load, double battery, double batteryTemp) {
    std::vector<uint8_t> b(109, 0);
    Put16(b, 0, volts, 0.01);
    Put16(b, 2, load, 0.1);
    Put16(b, 4, battery, 0.1);
    Put16(b, 6, batteryTemp, 0.1);
    return Hex(b);
}

std::string EnvBlock(double temp) {
    std::vector<uint8_t> b(8, 0);
    Put16(b, 0, temp, 0.1);
    return Hex(b);
}

const char* const kThresholdSetting = R"({
  "dc_voltage": {"SignalName": "直流输出电压", "ID": "0416004011", "NMAlarmID": "0416004011",
                 "SignalNumber": "1",
                 "UpValue": "56", "UpReconverValue": "55", "UpAlarmLevel": "2",
                 "LowValue": "47", "LowReconverValue": "48", "LowAlarmLevel": "2"},
  "battery_temp": {"SignalName": "电池温度", "ID": "0416007011", "NMAlarmID": "0416007011",
                   "SignalNumber": "1",
                   "UpValue": "45", "UpReconverValue": "42", "UpAlarmLevel": "3"}
})";

}  // namespace

Json::Value DemoScenario() {
    Json::Value s;
    s["blocks"]["40 42 FF"] = AcBlock(220.0, 12.5, 50.0);
    s["blocks"]["42 42"] = DcBlock(53.5, 42.0, 3.2, 25.0);
    s["blocks"]["91 42"] = EnvBlock(23.5);
    // Round by round: the DC voltage rises past 56 V and falls back; the breaker opens for two
    // rounds.
    const struct {
        double volts;
        int breaker;
    } rounds[] = {{53.5, 0}, {55.2, 0}, {57.2, 1}, {57.6, 1}, {53.6, 0}, {53.5, 0}};
    for (const auto& r : rounds) {
        Json::Value patch;
        patch["breaker"] = r.breaker;
        patch["blocks"]["42 42"] = DcBlock(r.volts, 42.0, 3.2, 25.0);
        s["rounds"].append(patch);
    }
    return s;
}

SiteConfig DemoSite(const std::string& pluginPath, const std::string& dataDir) {
    SiteConfig site;
    site.file = "(demo)";
    site.database = "smdhost-demo.db";
    site.plugins = {pluginPath};
    site.controlSocket = "smdhost-demo.sock";
    site.rounds = 6;
    site.web.enabled = true;  // the status page on this machine only
    site.web.port = 8080;
    site.web.chartSignals = {"直流输出电压", "负载电流"};
    site.web.chartHours = 1;
    DeviceConfig d;
    d.model = "rtmk48_pv05";
    d.dataId = 7;
    d.port = kSimulatedPort;
    d.pollIntervalMs = 1000;
    d.delayScale = 0.1;  // 18 delays of 500 units: about 0.9 s a round
    d.replyTimeoutMs = 1000;
    d.workDir = dataDir;
    const std::string map = dataDir + "/ini/rtmk48_pv05.signals.json";
    if (std::filesystem::exists(map)) d.signalMap = map;
    d.simulation = DemoScenario();
    Json::Value settings;
    settings["appSetting"]["b_mode"] = 1;
    Json::Reader().parse(kThresholdSetting, settings["thresholdSetting"]);
    d.settings = settings;
    site.devices.push_back(d);
    return site;
}
