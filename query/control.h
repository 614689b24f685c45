#pragma once
// The pure parts of the control codes: the unit's command table, the parameter value check and
// the document's update-time text. No port, clock or lock here.
#include <cstddef>
#include <cstdint>
#include <string>

#include "host/types.h"

// Control codes the device serves itself; every other code goes to the framework.
enum ControlCode : int {
    kCodeRemoteD41001 = 100,     // "D41001"
    kCodeRemoteD41101 = 102,     // "D41101"
    kCodeSetD48001 = 106,        // "D48001" with a 16-bit value in native order
    kCodeSetByJson = 310,        // JSON: "signal_id" "D48001"/"D48101", "SetValue"
    kCodeCommandBySignal = 320,  // bare signal id in settings mode 1, JSON otherwise
    kCodeDocumentText = 801,     // the signal-value document as JSON text
    kCodeDocumentAddress = 803,  // the address of the signal-value document
};

// One command of the unit that a control request can send.
struct UnitCommand {
    const char* signalId;
    int state;  // protocolState_ while the reply is outstanding
    uint8_t cid1;
    uint8_t cid2;
    uint8_t info0;    // first INFO byte; the rest depend on the kind
    uint8_t info1;    // remote control: second INFO byte; parameter: parameter number
    bool takesValue;  // parameter setting: INFO is info0, info1, value high, value low
};

// The remote-control commands (CID2 0x45) and the parameter settings (CID2 0x49).
inline constexpr UnitCommand kUnitCommands[] = {
    // signal id, state, CID1, CID2, INFO (2 bytes), value follows
    {"D41001", 100, 0xD4, 0x45, 0x10, 0x01, false},
    {"D41101", 102, 0xD4, 0x45, 0x11, 0x01, false},
    {"D48001", 106, 0xD4, 0x49, 0x01, 0x80, true},
    {"D48101", 106, 0xD4, 0x49, 0x01, 0x81, true},
};

// The command named by `signalId`, or nullptr. `takesValue` picks the remote controls (false)
// or the parameter settings (true): each request kind may name only its own.
const UnitCommand* FindUnitCommand(const std::string& signalId, bool takesValue);

// Fills `info` (at least 4 bytes) with the command's INFO bytes, the value most significant
// byte first, and returns their count (2 or 4).
int UnitCommandInfo(const UnitCommand& command, uint16_t value, uint8_t* info);

// Accepts a whole decimal integer from -32768 to 65535, with an optional sign and optional
// surrounding white space, and gives its low 16 bits. Anything else is refused: the unit
// would otherwise get whatever a lenient conversion makes of a typo.
bool ParseSetValue(const std::string& text, uint16_t& value);

// "year-month-day hour:minute:second", plain decimal numbers without leading zeros.
std::string FormatUpdateTime(const ttime& t);
