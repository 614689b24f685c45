#pragma once
// Opens the device's protected state to the tests, and captures standard output.
#include <iostream>
#include <sstream>
#include <string>

#include "device/rtmk48_pv05.h"
#include "recording_observer.h"

class DeviceProbe : public RTMK48_PV05 {
  public:
    using RTMK48_PV05::aiSignalMap_;
    using RTMK48_PV05::alarmChanged_;
    using RTMK48_PV05::alarmSignalIdMap_;
    using RTMK48_PV05::aoSettingMap_;
    using RTMK48_PV05::b_mode_;
    using RTMK48_PV05::CheckAOReport;
    using RTMK48_PV05::CheckSignalThresholdMap;
    using RTMK48_PV05::controlResult_;
    using RTMK48_PV05::currentReply_;
    using RTMK48_PV05::data_;
    using RTMK48_PV05::dataReady_;
    using RTMK48_PV05::docTime_;
    using RTMK48_PV05::lastUpdate_;
    using RTMK48_PV05::low2RuleMap_;
    using RTMK48_PV05::lowRuleMap_;
    using RTMK48_PV05::pendingRules_;
    using RTMK48_PV05::protocolState_;
    using RTMK48_PV05::ruleSequence_;
    using RTMK48_PV05::signalLevelMap_;
    using RTMK48_PV05::signalValueMap_;
    using RTMK48_PV05::signalValues_;
    using RTMK48_PV05::up2RuleMap_;
    using RTMK48_PV05::upRuleMap_;
    using RTMK48_PV05::valuesMutex_;

    explicit DeviceProbe(unsigned int dataId = 7) {
        Init({}, dataId, Json::Value());
        AddObserver(&rec);
    }
    ~DeviceProbe() override { RemoveObserver(&rec); }

    const unsigned char* Bytes() const { return reinterpret_cast<const unsigned char*>(&data_); }
    unsigned char* Bytes() { return reinterpret_cast<unsigned char*>(&data_); }

    // Delivers one reply with the given INFO bytes and INFO length in hex characters.
    int Reply(const std::string& infoBytes, int hexLength = -1) {
        currentReply_.infoLength =
            static_cast<uint16_t>(hexLength < 0 ? infoBytes.size() * 2 : hexLength);
        std::copy(infoBytes.begin(), infoBytes.end(), currentReply_.info);
        return process_payload();
    }

    RecordingObserver rec;
};

// Captures std::cout for the life of the object.
class CaptureStdout {
  public:
    CaptureStdout() : old_(std::cout.rdbuf(buf_.rdbuf())) {}
    ~CaptureStdout() { std::cout.rdbuf(old_); }
    std::string Text() const { return buf_.str(); }

  private:
    std::ostringstream buf_;
    std::streambuf* old_;
};
