#include "device/rtmk48_pv05.h"

RTMK48_PV05::RTMK48_PV05() {
    deviceType_ = "rtmk48_pv05";
    baudRate_ = 9600;
    useControllerDb_ = true;
    portOption_ = '0';
}

RTMK48_PV05::~RTMK48_PV05() = default;

void RTMK48_PV05::InitSetting(const Json::Value& settings) {
    data_.data_id = DataId();
    RTMK48_PV05_Base::InitSetting(settings);
}
