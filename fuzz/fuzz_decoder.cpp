// The reply decoder fed any byte stream, cut into any pieces.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return smdfuzz::Decoder(data, size);
}
