#include "store/packing.h"

#include <zlib.h>

#include <cstdint>
#include <cstring>

#include "store/rows.h"

namespace history {

namespace {

// A record and its key fit a 4 KiB window.
constexpr int kWindowBits = 12;

// One deflate stream a thread and kind, reset for each record: setting one up costs more than
// packing a record, and a reset stream packs the same bytes as a new one.
class DeflateStream {
  public:
    // Alone, level 3: the fast matcher finds a record's repeats, where the lazy levels' deeper
    // search cost a tenth of the host's instructions per round for 5 % fewer bytes. A
    // difference from the key: raw deflate (no checksum), run lengths only, since it is zeros
    // with a few changed values among them.
    explicit DeflateStream(bool difference)
        : ok_(deflateInit2(&z_, difference ? 1 : 3, Z_DEFLATED,
                           difference ? -kWindowBits : kWindowBits, 4,
                           difference ? Z_RLE : Z_DEFAULT_STRATEGY) == Z_OK) {}
    ~DeflateStream() {
        if (ok_) deflateEnd(&z_);
    }
    DeflateStream(const DeflateStream&) = delete;
    DeflateStream& operator=(const DeflateStream&) = delete;
    z_stream* Reset() { return ok_ && deflateReset(&z_) == Z_OK ? &z_ : nullptr; }

  private:
    z_stream z_{};
    bool ok_ = false;
};

bool Deflate(z_stream* z, const unsigned char* bytes, std::size_t len,
             std::vector<unsigned char>& out) {
    if (z == nullptr) return false;
    out.resize(deflateBound(z, static_cast<uLong>(len)));
    z->next_in = const_cast<unsigned char*>(bytes);
    z->avail_in = static_cast<uInt>(len);
    z->next_out = out.data();
    z->avail_out = static_cast<uInt>(out.size());
    const bool ok = deflate(z, Z_FINISH) == Z_STREAM_END;
    out.resize(z->total_out);
    return ok;
}

// to[i] = a[i] ^ b[i], a word at a time (bytes one by one cost a tenth of a record's packing).
void Difference(const unsigned char* a, const unsigned char* b, unsigned char* to,
                std::size_t len) {
    std::size_t i = 0;
    for (; i + 8 <= len; i += 8) {
        std::uint64_t x, y;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        x ^= y;
        std::memcpy(to + i, &x, 8);
    }
    for (; i < len; ++i) to[i] = static_cast<unsigned char>(a[i] ^ b[i]);
}

std::vector<unsigned char> Inflate(const unsigned char* blob, std::size_t len, int windowBits,
                                   const std::vector<unsigned char>* dictionary) {
    z_stream z{};
    if (inflateInit2(&z, windowBits) != Z_OK) throw StoreError("cannot inflate a stored record");
    z.next_in = const_cast<unsigned char*>(blob);
    z.avail_in = static_cast<uInt>(len);
    std::vector<unsigned char> out;
    unsigned char chunk[4096];
    int rc = Z_OK;
    // Records are a few KiB; anything past 16 MiB is not one.
    while (rc == Z_OK && out.size() < (std::size_t{16} << 20)) {
        z.next_out = chunk;
        z.avail_out = sizeof chunk;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_NEED_DICT && dictionary)
            rc =
                inflateSetDictionary(&z, dictionary->data(), static_cast<uInt>(dictionary->size()));
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) throw StoreError("a stored record does not inflate");
    return out;
}

}  // namespace

std::vector<unsigned char> Pack(const unsigned char* bytes, std::size_t len,
                                const std::vector<unsigned char>* key, Packing& packing) {
    std::vector<unsigned char> out;
    if (key && key->size() == len) {
        thread_local DeflateStream stream(true);
        thread_local std::vector<unsigned char> difference;
        difference.resize(len);
        Difference(bytes, key->data(), difference.data(), len);
        if (Deflate(stream.Reset(), difference.data(), len, out)) {
            packing = kKeyDifference;
            return out;
        }
    }
    thread_local DeflateStream alone(false);
    if (Deflate(alone.Reset(), bytes, len, out) && out.size() < len) {
        packing = kDeflated;
        return out;
    }
    packing = kRaw;
    return std::vector<unsigned char>(bytes, bytes + len);
}

std::vector<unsigned char> Unpack(const unsigned char* blob, std::size_t len, int packing,
                                  const std::vector<unsigned char>* key) {
    switch (packing) {
        case kRaw:
            return std::vector<unsigned char>(blob, blob + len);
        case kDeflated:
            return Inflate(blob, len, MAX_WBITS, nullptr);
        case kAgainstKey:
            if (key) return Inflate(blob, len, MAX_WBITS, key);
            break;
        case kKeyDifference:
            if (key) {
                std::vector<unsigned char> out = Inflate(blob, len, -MAX_WBITS, nullptr);
                if (out.size() != key->size())
                    throw StoreError("a stored record differs in size from its key record");
                Difference(out.data(), key->data(), out.data(), out.size());
                return out;
            }
            break;
    }
    throw StoreError("a record packed in an unknown way (" + std::to_string(packing) + ")");
}

}  // namespace history
