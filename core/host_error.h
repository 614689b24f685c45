#pragma once
#include <stdexcept>

// The site cannot run as configured (plug-ins, no device started) or a device cannot start.
class HostError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};
