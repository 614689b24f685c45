// PLACEHOLDER: the framework's own DeviceIoControl; the control work completes it.
#include "host/smd_vdevice.h"
#include "runtime/vdevice_runtime.h"

int SMDVDevice::DeviceIoControl(int code, const void* in, int inLen, void* /*out*/, int outLen,
                                int& /*retLen*/) {
    vrt_->Notify([&](HostObserver& o) { o.OnBaseDeviceIoControl(code, in, inLen, outLen); });
    return 0;
}
