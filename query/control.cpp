// PLACEHOLDER: replaced by the control-code work.
#include <iostream>

#include "device/rtmk48_pv05.h"

int RTMK48_PV05::DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                                 int& retLen) {
    std::cout << "RTMK48_PV05::DeviceIoControl " << code << std::endl;
    return RTMK48_PV05_Base::DeviceIoControl(code, in, inLen, out, outLen, retLen);
}
