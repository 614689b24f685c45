#include "store/packing.h"

#include <zlib.h>

#include "store/rows.h"

namespace history {

namespace {

// One deflate stream a thread, reset for each record: setting one up costs more than deflating
// a record against its key, and a reset stream packs the same bytes as a new one.
class DeflateStream {
  public:
    // A record and its key fit a 4 KiB window, and a small hash is cleared at each reset in
    // a fraction of the default's time. Level 3: a record differs from its key in a few values,
    // which the fast matcher finds too; the lazy levels' deeper search cost a tenth of the host's
    // instructions per round for 5 % fewer bytes.
    DeflateStream() { ok_ = deflateInit2(&z_, 3, Z_DEFLATED, 12, 4, Z_DEFAULT_STRATEGY) == Z_OK; }
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

bool Deflate(const unsigned char* bytes, std::size_t len, const std::vector<unsigned char>* key,
             std::vector<unsigned char>& out) {
    thread_local DeflateStream stream;
    z_stream* z = stream.Reset();
    if (z == nullptr) return false;
    if (key && deflateSetDictionary(z, key->data(), static_cast<uInt>(key->size())) != Z_OK)
        return false;
    out.resize(deflateBound(z, static_cast<uLong>(len)));
    z->next_in = const_cast<unsigned char*>(bytes);
    z->avail_in = static_cast<uInt>(len);
    z->next_out = out.data();
    z->avail_out = static_cast<uInt>(out.size());
    const bool ok = deflate(z, Z_FINISH) == Z_STREAM_END;
    out.resize(z->total_out);
    return ok;
}

}  // namespace

std::vector<unsigned char> Pack(const unsigned char* bytes, std::size_t len,
                                const std::vector<unsigned char>* key, Packing& packing) {
    std::vector<unsigned char> out;
    if (key && Deflate(bytes, len, key, out)) {
        packing = kAgainstKey;
        return out;
    }
    if (Deflate(bytes, len, nullptr, out) && out.size() < len) {
        packing = kDeflated;
        return out;
    }
    packing = kRaw;
    return std::vector<unsigned char>(bytes, bytes + len);
}

std::vector<unsigned char> Unpack(const unsigned char* blob, std::size_t len, int packing,
                                  const std::vector<unsigned char>* key) {
    if (packing == kRaw) return std::vector<unsigned char>(blob, blob + len);
    if (packing != kDeflated && !(packing == kAgainstKey && key))
        throw StoreError("a record packed in an unknown way (" + std::to_string(packing) + ")");
    z_stream z{};
    if (inflateInit(&z) != Z_OK) throw StoreError("cannot inflate a stored record");
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
        if (rc == Z_NEED_DICT && key)
            rc = inflateSetDictionary(&z, key->data(), static_cast<uInt>(key->size()));
        out.insert(out.end(), chunk, chunk + (sizeof chunk - z.avail_out));
    }
    inflateEnd(&z);
    if (rc != Z_STREAM_END) throw StoreError("a stored record does not inflate");
    return out;
}

}  // namespace history
