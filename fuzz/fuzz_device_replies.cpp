// The device fed any replies in any protocol state, through the runtime.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    smdfuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return smdfuzz::DeviceReplies(data, size);
}
