#pragma once
// A test double that records every framework call a device makes, as one readable line each,
// e.g. "write_pmbus_cmd 40 43 [FF]" or "SendDelayData 500".
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "host/observer.h"

class RecordingObserver : public HostObserver {
  public:
    std::vector<std::string> Calls() const {
        std::lock_guard<std::mutex> lock(mu_);
        return calls_;
    }
    // Only the calls whose line starts with `op`.
    std::vector<std::string> Calls(const std::string& op) const {
        std::lock_guard<std::mutex> lock(mu_);
        std::vector<std::string> out;
        for (const auto& c : calls_)
            if (c.compare(0, op.size(), op) == 0) out.push_back(c);
        return out;
    }
    void Clear() {
        std::lock_guard<std::mutex> lock(mu_);
        calls_.clear();
        published_.clear();
        saved_.clear();
        alarms_.clear();
    }
    std::vector<std::vector<unsigned char>> Published() const {
        std::lock_guard<std::mutex> lock(mu_);
        return published_;
    }
    std::vector<std::vector<unsigned char>> Saved() const {
        std::lock_guard<std::mutex> lock(mu_);
        return saved_;
    }
    std::vector<AlarmEvent> Alarms() const {
        std::lock_guard<std::mutex> lock(mu_);
        return alarms_;
    }

    static std::string Hex(const uint8_t* p, int n) {
        std::string s;
        char b[4];
        for (int i = 0; i < n; ++i) {
            std::snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
            s += b;
        }
        return s;
    }

    void OnWritePmbusCmd(uint8_t cid1, uint8_t cid2, const uint8_t* info, int count) override {
        char b[32];
        std::snprintf(b, sizeof b, "write_pmbus_cmd %02X %02X", cid1, cid2);
        std::string line = b;
        if (count > 0) line += " [" + Hex(info, count) + "]";
        Add(line);
    }
    void OnSendDelayData(int delay) override { Add("SendDelayData " + std::to_string(delay)); }
    void OnSendSP(int typeId, const unsigned char* data, unsigned int len, bool flag) override {
        std::lock_guard<std::mutex> lock(mu_);
        calls_.push_back("SendSP " + std::to_string(typeId) + " " + std::to_string(len) + " " +
                         (flag ? "true" : "false"));
        published_.emplace_back(data, data + len);
    }
    void OnSaveDeviceHistory(const unsigned char* data, unsigned int len) override {
        std::lock_guard<std::mutex> lock(mu_);
        calls_.push_back("SaveDeviceHistory " + std::to_string(len));
        saved_.emplace_back(data, data + len);
    }
    void OnReset() override { Add("Reset"); }
    void OnOpenPort() override { Add("OpenPort"); }
    void OnCheckThreshold(const std::string& alarmId, const std::string& name, float value,
                          int level) override {
        Add("CheckThreshold " + alarmId + " " + name + " " + Num(value) + " " +
            std::to_string(level));
    }
    void OnCheckThresholdBool(int level, const std::string& name, const std::string& alarmId,
                              const std::string& value, const std::string& text, bool state,
                              unsigned short sequence) override {
        Add("CheckThresholdBool " + std::to_string(level) + "|" + name + "|" + alarmId + "|" +
            value + "|" + text + "|" + (state ? "true" : "false") + "|" + std::to_string(sequence));
    }
    void OnCheckAOReport(const std::string& signalId, float value) override {
        Add("CheckAOReport " + signalId + " " + Num(value));
    }
    void OnDoBatchCheckThreshold(const std::vector<rule_value>& rules) override {
        Add("DoBatchCheckThreshold " + std::to_string(rules.size()));
    }
    void OnBaseDeviceIoControl(int code, const void*, int inLen, int outLen) override {
        Add("DeviceIoControl " + std::to_string(code) + " " + std::to_string(inLen) + " " +
            std::to_string(outLen));
    }
    void OnHostInitSetting(const Json::Value&) override { Add("PMBusProtocol::InitSetting"); }
    void OnAlarm(const AlarmEvent& e) override {
        std::lock_guard<std::mutex> lock(mu_);
        alarms_.push_back(e);
    }

  private:
    static std::string Num(float v) {
        char b[32];
        std::snprintf(b, sizeof b, "%g", static_cast<double>(v));
        return b;
    }
    void Add(std::string line) {
        std::lock_guard<std::mutex> lock(mu_);
        calls_.push_back(std::move(line));
    }

    mutable std::mutex mu_;
    std::vector<std::string> calls_;
    std::vector<std::vector<unsigned char>> published_;
    std::vector<std::vector<unsigned char>> saved_;
    std::vector<AlarmEvent> alarms_;
};
