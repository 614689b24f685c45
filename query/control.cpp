// Control codes: unit commands by code, signal id or JSON request, the last command's result,
// and the signal-value document as text or by address. Commands are fire-and-forget: the reply
// reaches process_payload, which sets controlResult_ to 1.
#include "query/control.h"

#include <cstring>
#include <iostream>
#include <mutex>

#include <json/reader.h>
#include <json/writer.h>
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device/rtmk48_pv05.h"

namespace {

constexpr const char kUpdateTimeKey[] = "更新时间";
constexpr int kResultSize = 4;  // the control result goes out as an int32

// The white space strtol skips.
bool IsSpace(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// A diagnostic stays one line whatever the request held.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
    return text;
}

}  // namespace

const UnitCommand* FindUnitCommand(const std::string& signalId, bool takesValue) {
    for (const UnitCommand& command : kUnitCommands)
        if (command.takesValue == takesValue && signalId == command.signalId) return &command;
    return nullptr;
}

int UnitCommandInfo(const UnitCommand& command, uint16_t value, uint8_t* info) {
    info[0] = command.info0;
    info[1] = command.info1;
    if (!command.takesValue) return 2;
    // Parameters travel most significant byte first, unscaled.
    info[2] = static_cast<uint8_t>(value >> 8);
    info[3] = static_cast<uint8_t>(value & 0xFF);
    return 4;
}

bool ParseSetValue(const std::string& text, uint16_t& value) {
    const std::size_t n = text.size();
    std::size_t i = 0;
    while (i < n && IsSpace(text[i])) ++i;
    bool negative = false;
    if (i < n && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long magnitude = 0;
    std::size_t digits = 0;
    for (; i < n && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
        // Anything past 100000 is out of range anyway; the cap keeps long from overflowing.
        if (magnitude < 100000) magnitude = magnitude * 10 + (text[i] - '0');
    }
    while (i < n && IsSpace(text[i])) ++i;
    if (digits == 0 || i != n) return false;
    const long v = negative ? -magnitude : magnitude;
    if (v < -32768 || v > 65535) return false;
    value = static_cast<uint16_t>(v);  // two's complement low 16 bits: -1 is 0xFFFF
    return true;
}

std::string FormatUpdateTime(const ttime& t) {
    return std::to_string(t.year) + "-" + std::to_string(t.month) + "-" + std::to_string(t.day) +
           " " + std::to_string(t.hour) + ":" + std::to_string(t.minute) + ":" +
           std::to_string(t.second);
}

int RTMK48_PV05::DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                                 int& retLen) {
    std::cout << "RTMK48_PV05::DeviceIoControl " << code << std::endl;

    // A missing buffer or a negative length counts as an empty buffer, so a careless caller
    // cannot make the device read or write memory that is not there.
    const std::size_t inSize = (in != nullptr && inLen > 0) ? static_cast<std::size_t>(inLen) : 0;
    const char* inBytes = inSize > 0 ? static_cast<const char*>(in) : "";
    const int outRoom = (out != nullptr && outLen > 0) ? outLen : 0;

    const auto base = [&] {
        return RTMK48_PV05_Base::DeviceIoControl(code, in, inLen, out, outLen, retLen);
    };
    const auto send = [this](const UnitCommand& command, uint16_t value) {
        protocolState_ = command.state;
        controlResult_ = -1;
        uint8_t info[4];
        const int count = UnitCommandInfo(command, value, info);
        write_pmbus_cmd(command.cid1, command.cid2, info, count);
    };
    // Codes 100, 102 and 106 answer "outstanding" at once; the reply will turn it into 1.
    const auto reportSent = [&] {
        if (outRoom < kResultSize) return;
        const int32_t pending = -1;
        std::memcpy(out, &pending, sizeof pending);
        retLen = kResultSize;
    };

    switch (code) {
        case kCodeRemoteD41001:
        case kCodeRemoteD41101:
            send(*FindUnitCommand(code == kCodeRemoteD41001 ? "D41001" : "D41101", false), 0);
            reportSent();
            return base();

        case kCodeSetD48001: {
            if (inSize != sizeof(uint16_t)) return base();
            uint16_t value;
            std::memcpy(&value, inBytes, sizeof value);
            send(*FindUnitCommand("D48001", true), value);
            reportSent();
            return base();
        }

        case kCodeSetByJson: {
            protocolState_ = kCodeSetByJson;
            controlResult_ = -1;
            OpenPort();
            Json::Value parsed;
            Json::Reader reader;
            if (!reader.parse(inBytes, inBytes + inSize, parsed, true)) return -1;
            const Json::Value& request = parsed;
            const Json::Value& signal = request["signal_id"];
            if (signal.isNull()) return base();
            const UnitCommand* command = FindUnitCommand(signal.asString(), true);
            if (command == nullptr) return base();
            const Json::Value& setValue = request["SetValue"];
            if (setValue.isNull()) return base();
            Json::FastWriter compact;
            compact.omitEndingLineFeed();
            const std::string text = setValue.isConvertibleTo(Json::stringValue)
                                         ? setValue.asString()
                                         : compact.write(setValue);
            uint16_t value;
            if (!ParseSetValue(text, value)) {
                std::cout << "RTMK48_PV05::DeviceIoControl " << command->signalId
                          << " SetValue rejected: \"" << OneLine(text) << "\"" << std::endl;
                return -1;
            }
            send(*command, value);
            return base();
        }

        case kCodeCommandBySignal: {
            protocolState_ = kCodeCommandBySignal;
            controlResult_ = -1;
            OpenPort();
            std::string signalId(inBytes, inSize);
            if (b_mode_ != 1) {
                Json::Value parsed;
                Json::Reader reader;
                if (!reader.parse(inBytes, inBytes + inSize, parsed, true)) return -1;
                const Json::Value& request = parsed;
                signalId = request["signal_id"].asString();
            }
            // Any other id leaves protocolState_ at 320, which the reply dispatcher ignores.
            if (const UnitCommand* command = FindUnitCommand(signalId, false)) send(*command, 0);
            return base();
        }

        case kCodeDocumentText:
        case kCodeDocumentAddress: {
            std::string text;
            {
                // Held through the serialisation too: a round completing meanwhile adds
                // members to the document under the same lock.
                std::lock_guard<std::mutex> lock(valuesMutex_);
                // The stamp comes from the same instant that RoundDone copies into
                // update_time, read once, so it always matches docTime_ and needs no
                // unlocked read of the record.
                const boost::posix_time::ptime stamp = lastUpdate_.load();
                if (stamp != docTime_) {
                    docTime_ = stamp;
                    signalValues_[kUpdateTimeKey] = FormatUpdateTime(get_ttime(stamp));
                }
                if (code == kCodeDocumentText) text = Json::FastWriter().write(signalValues_);
            }
            if (code == kCodeDocumentText) {
                retLen = static_cast<int>(text.size());
                if (outRoom < retLen) return -1;
                std::memcpy(out, text.data(), text.size());
                return 0;
            }
            const Json::Value* address = &signalValues_;
            retLen = static_cast<int>(sizeof address);
            if (outRoom < retLen) return -1;
            std::memcpy(out, &address, sizeof address);
            return 0;
        }

        default:
            if (outRoom >= kResultSize) {
                const int32_t result = controlResult_;
                std::memcpy(out, &result, sizeof result);
                retLen = kResultSize;
            } else {
                retLen = 0;
            }
            return base();
    }
}
