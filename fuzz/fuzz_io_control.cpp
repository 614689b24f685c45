// DeviceIoControl with any code, input and answer buffer, in each settings mode.
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    smdfuzz::QuietStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    return smdfuzz::IoControl(data, size);
}
