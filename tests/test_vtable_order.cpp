// The device's virtual operations must sit in the slots plug-ins built elsewhere expect.
#include <cstddef>
#include <cstring>

#include <gtest/gtest.h>

#include "device/rtmk48_pv05.h"

namespace {

// Vtable slot of a pointer to a virtual member, from the C++ ABI's encoding of such pointers.
template <class PMF>
long Slot(PMF pmf) {
    static_assert(sizeof(PMF) == 2 * sizeof(std::ptrdiff_t));
    std::ptrdiff_t word[2];
    std::memcpy(word, &pmf, sizeof word);
#if defined(__arm__) || defined(__aarch64__)
    // ARM: the virtual flag is the low bit of the adjustment; ptr is the vtable offset.
    if ((word[1] & 1) == 0) return -1;
    return static_cast<long>(word[0] / static_cast<std::ptrdiff_t>(sizeof(void*)));
#else
    // Itanium generic: ptr is 1 + the vtable offset for a virtual member.
    if ((word[0] & 1) == 0) return -1;
    return static_cast<long>((word[0] - 1) / static_cast<std::ptrdiff_t>(sizeof(void*)));
#endif
}

using D = RTMK48_PV05;

TEST(VtableOrder, OperationsSitInTheirSlots) {
    EXPECT_EQ(Slot(&D::Get_Value), 0);
    EXPECT_EQ(Slot(static_cast<int (D::*)(const std::string&)>(&D::LoadFromCache)), 1);
    EXPECT_EQ(Slot(static_cast<int (D::*)(const unsigned char*, int)>(&D::LoadFromCache)), 2);
    EXPECT_EQ(Slot(&D::DataId), 3);
    EXPECT_EQ(Slot(&D::DeviceType), 4);
    EXPECT_EQ(Slot(&D::DeviceIoControl), 5);
    EXPECT_EQ(Slot(&D::RoundDone), 6);
    EXPECT_EQ(Slot(&D::UseControllerDb), 7);
    // Slots 8 and 9: the complete and deleting destructors.
    EXPECT_EQ(Slot(&D::Reset), 10);
    EXPECT_EQ(Slot(&D::InitV), 11);
    EXPECT_EQ(Slot(&D::Init), 12);
    EXPECT_EQ(Slot(&D::InitSetting), 13);
    EXPECT_EQ(Slot(&D::IsSupportDevice), 14);
    EXPECT_EQ(Slot(&D::GetChildVDevice), 15);
    EXPECT_EQ(Slot(&D::GetAllChildVDevices), 16);
    EXPECT_EQ(Slot(&D::SendSP), 17);
    EXPECT_EQ(Slot(&D::SendDelayData), 18);
    EXPECT_EQ(Slot(&D::SendDoData), 19);
    EXPECT_EQ(Slot(&D::ReadDi), 20);
    EXPECT_EQ(Slot(&D::ReadAi), 21);
    EXPECT_EQ(Slot(&D::Get_SP_Value), 22);
    EXPECT_EQ(Slot(&D::RefreshStatus), 23);
    EXPECT_EQ(Slot(&D::process), 24);
    EXPECT_EQ(Slot(&D::IsProcessing), 25);
    EXPECT_EQ(Slot(&D::IsStalled), 26);
    EXPECT_EQ(Slot(&D::SendData), 27);
    EXPECT_EQ(Slot(&D::SendParityData), 28);
    EXPECT_EQ(Slot(&D::OpenPort), 29);
    EXPECT_EQ(Slot(&D::ClosePort), 30);
    EXPECT_EQ(Slot(&D::process_payload), 31);
    EXPECT_EQ(Slot(&D::process_error), 32);
    EXPECT_EQ(Slot(&D::RunCheckThreshold), 33);
    EXPECT_EQ(Slot(&D::GenJsonData), 34);
}

TEST(VtableOrder, HostDeclaresEveryOperationUpToProcessError) {
    EXPECT_EQ(Slot(&VDeviceInterface::Get_Value), 0);
    EXPECT_EQ(Slot(&VDeviceInterface::GetAllChildVDevices), 16);
    EXPECT_EQ(Slot(&SMDVDevice::RefreshStatus), 23);
    EXPECT_EQ(Slot(&SMDSPDevice::ClosePort), 30);
    EXPECT_EQ(Slot(&PMBusProtocol::process_error), 32);
}

}  // namespace
