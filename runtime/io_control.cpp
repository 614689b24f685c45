// The framework's own DeviceIoControl, where device models pass every request they do not
// answer alone.
#include "host/smd_vdevice.h"
#include "runtime/vdevice_runtime.h"

// The framework serves no control code of its own: every code, known to the model or not,
// is handed to the observers (the host's tap: display, logging, the tests' recorders) with its
// input and the size of the answer buffer, and that is all. `out` and `retLen` are left exactly
// as the model set them, so an answer the model wrote before calling here (a control result,
// a "command sent") reaches the caller unchanged. The result is 0 (baseIoControlResult),
// "passed on to the framework", whatever the code: failure is the model's to report, before it
// calls here.
int SMDVDevice::DeviceIoControl(int code, const void* in, int inLen, void* /*out*/, int outLen,
                                int& /*retLen*/) {
    vrt_->Notify([&](HostObserver& o) { o.OnBaseDeviceIoControl(code, in, inLen, outLen); });
    return vrt_->baseIoControlResult;
}
