#pragma once
// How a record's bytes sit in the database: as they are (0), deflated with zlib (1), or
// deflated against the device's key record (2). Round after round a unit's record changes in a
// few values only, so a record deflated with its key record as the dictionary takes some tens of
// bytes instead of some hundreds, and each commit writes that much less.
#include <cstddef>
#include <vector>

namespace history {

enum Packing : int { kRaw = 0, kDeflated = 1, kAgainstKey = 2 };

// Records of a device between two key records; a key record costs a full deflate.
constexpr int kRecordsPerKey = 64;

// The bytes to store and how. With a key (its own bytes), deflated against it; else deflated
// when that is smaller.
std::vector<unsigned char> Pack(const unsigned char* bytes, std::size_t len,
                                const std::vector<unsigned char>* key, Packing& packing);
// The record's own bytes (`key`: its key record's own bytes, for kAgainstKey); throws StoreError
// for a blob that does not inflate.
std::vector<unsigned char> Unpack(const unsigned char* blob, std::size_t len, int packing,
                                  const std::vector<unsigned char>* key = nullptr);

}  // namespace history
