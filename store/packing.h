#pragma once
// How a record's bytes sit in the database: as they are (0), deflated with zlib (1), deflated
// against the device's key record (2, written by earlier versions), or as their difference from
// the key record (3). Round after round a unit's record changes in a few values only, so the
// difference is zeros but for those values: run-length deflated, it takes some tens of bytes
// instead of some hundreds, each commit writes that much less, and packing it costs a third of
// deflating against the key (no dictionary to hash, no checksum).
#include <cstddef>
#include <vector>

namespace history {

enum Packing : int { kRaw = 0, kDeflated = 1, kAgainstKey = 2, kKeyDifference = 3 };

// Packings read with the key record's bytes.
inline bool NeedsKey(int packing) {
    return packing == kAgainstKey || packing == kKeyDifference;
}

// Records of a device between two key records; a key record costs a full deflate.
constexpr int kRecordsPerKey = 64;

// The bytes to store and how. With a key of the record's size (its own bytes), the difference
// from it; else deflated when that is smaller.
std::vector<unsigned char> Pack(const unsigned char* bytes, std::size_t len,
                                const std::vector<unsigned char>* key, Packing& packing);
// The record's own bytes (`key`: its key record's own bytes, where NeedsKey); throws StoreError
// for a blob that does not inflate.
std::vector<unsigned char> Unpack(const unsigned char* blob, std::size_t len, int packing,
                                  const std::vector<unsigned char>* key = nullptr);

}  // namespace history
