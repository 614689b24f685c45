// PLACEHOLDER: replaced by the settings work (modes 1, 3 and 5).
#include "device/rtmk48_pv05.h"

template <class Record, class Base, int TypeId>
void UniDataDevice<Record, Base, TypeId>::InitSetting(const Json::Value& settings) {
    data_.data_id = this->DataId();
    Base::InitSetting(settings);
}

template void RTMK48_PV05_Base::InitSetting(const Json::Value&);
