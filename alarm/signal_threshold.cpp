// PLACEHOLDER: replaced by the threshold evaluation work.
#include "device/rtmk48_pv05.h"

template <class Record, class Base, int TypeId>
void UniDataDevice<Record, Base, TypeId>::CheckSignalThresholdMap(SignalThresholdMap&, bool) {}

template void RTMK48_PV05_Base::CheckSignalThresholdMap(SignalThresholdMap&, bool);
