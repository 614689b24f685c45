// PLACEHOLDER: replaced by the analog-report work.
#include "device/rtmk48_pv05.h"

template <class Record, class Base, int TypeId>
bool UniDataDevice<Record, Base, TypeId>::CheckAOReport(const std::string&, const std::string&,
                                                        float) {
    return false;
}

template bool RTMK48_PV05_Base::CheckAOReport(const std::string&, const std::string&, float);
