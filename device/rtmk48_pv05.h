#pragma once
// The RTMK48_PV05 power system: polling sequence, value query, control codes, breaker alarm.
#include <atomic>
#include <string>

#include "device/record.h"
#include "device/uni_data_device.h"
#include "host/pmbus_protocol.h"

inline constexpr int kRecordTypeId = 5156;
inline constexpr int kRecordSize = 1550;
static_assert(sizeof(RTMK48_PV05_Data_t) == kRecordSize);

using RTMK48_PV05_Base = UniDataDevice<RTMK48_PV05_Data_t, PMBusProtocol, kRecordTypeId>;

class RTMK48_PV05 : public RTMK48_PV05_Base {
  public:
    RTMK48_PV05();
    ~RTMK48_PV05() override;

    double Get_Value(unsigned int index, const std::string& name) const override;
    int DeviceIoControl(int code, const void* in, int inLen, void* out, int outLen,
                        int& retLen) override;
    void InitSetting(const Json::Value& settings) override;
    int RefreshStatus() override;
    int process_payload() override;
    void RunCheckThreshold() override;

  protected:
    // -1 while a control command is outstanding or unanswered, 1 once the unit answered it.
    // Written by control requests on host threads and by the polling thread, hence atomic.
    std::atomic<int> controlResult_{-1};
};
