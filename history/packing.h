#pragma once
// How a record's bytes sit in the database: as they are (0) or deflated with zlib (1). A record
// is mostly the same values round after round, so deflating it cuts what each commit writes.
#include <cstddef>
#include <vector>

namespace history {

enum Packing : int { kRaw = 0, kDeflated = 1 };

// The bytes to store and how; deflated only when that is smaller.
std::vector<unsigned char> Pack(const unsigned char* bytes, std::size_t len, Packing& packing);
// The record's own bytes; throws StoreError for a blob that does not inflate.
std::vector<unsigned char> Unpack(const unsigned char* blob, std::size_t len, int packing);

}  // namespace history
