#include "history/packing.h"

#include <zlib.h>

#include "history/rows.h"

namespace history {

std::vector<unsigned char> Pack(const unsigned char* bytes, std::size_t len, Packing& packing) {
    uLongf size = compressBound(static_cast<uLong>(len));
    std::vector<unsigned char> out(size);
    if (compress2(out.data(), &size, bytes, static_cast<uLong>(len), Z_BEST_COMPRESSION) == Z_OK &&
        size < len) {
        out.resize(size);
        packing = kDeflated;
        return out;
    }
    packing = kRaw;
    return std::vector<unsigned char>(bytes, bytes + len);
}

std::vector<unsigned char> Unpack(const unsigned char* blob, std::size_t len, int packing) {
    if (packing == kRaw) return std::vector<unsigned char>(blob, blob + len);
    if (packing != kDeflated)
        throw StoreError("a record packed in an unknown way (" + std::to_string(packing) + ")");
    // Records are a few KiB; the buffer grows until the whole record fits.
    for (std::size_t room = len * 8 + 256; room <= (std::size_t{64} << 20); room *= 4) {
        std::vector<unsigned char> out(room);
        uLongf size = static_cast<uLongf>(room);
        const int rc = uncompress(out.data(), &size, blob, static_cast<uLong>(len));
        if (rc == Z_OK) {
            out.resize(size);
            return out;
        }
        if (rc != Z_BUF_ERROR) break;
    }
    throw StoreError("a stored record does not inflate");
}

}  // namespace history
