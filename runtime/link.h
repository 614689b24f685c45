#pragma once
// The transport seam: where a device's outgoing bytes go. A serial port and an in-memory link
// in the tests both implement it; whoever owns the link feeds received bytes to process().
#include <cstddef>
#include <cstdint>

class Link {
  public:
    virtual ~Link() = default;
    // Writes all bytes or returns false.
    virtual bool Write(const uint8_t* data, std::size_t len) = 0;
};
