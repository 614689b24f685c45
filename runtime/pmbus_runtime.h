#pragma once
// The host runtime's private protocol state of one PMBusProtocol device.
#include <cstdint>

#include "host/pmbus_protocol.h"

struct PMBusRuntime {
    uint8_t ver = 0x20;
    uint8_t adr = 0x01;
};
