#pragma once
// A request to a running device (DeviceIoControl), as the control channel carries it, and its
// answer.
#include <stdexcept>
#include <vector>

struct ControlRequest {
    unsigned int dataId = 0;
    int code = 0;
    std::vector<unsigned char> in;  // "request" text, or "value" as a uint16 in host order
    int outLen = 4096;
};

struct ControlAnswer {
    int result = 0;
    int retLen = 0;
    std::vector<unsigned char> out;  // out[0, retLen) when retLen fits, else empty
    int sent = -1;                   // a command went to the unit: 1 yes, 0 no, -1 not a command
};

class ControlError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
