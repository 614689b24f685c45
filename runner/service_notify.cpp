#include "runner/service_notify.h"

#ifdef SMD_HAVE_SYSTEMD
#include <systemd/sd-daemon.h>
#endif

namespace service {

#ifdef SMD_HAVE_SYSTEMD

void Ready(const std::string& status) {
    sd_notifyf(0, "READY=1\nSTATUS=%s", status.c_str());
}
void Reloading() {
    sd_notify(0, "RELOADING=1");
}
void Status(const std::string& status) {
    sd_notifyf(0, "STATUS=%s", status.c_str());
}
void Stopping() {
    sd_notify(0, "STOPPING=1");
}
std::chrono::microseconds WatchdogInterval() {
    uint64_t usec = 0;
    return sd_watchdog_enabled(0, &usec) > 0 ? std::chrono::microseconds(usec)
                                             : std::chrono::microseconds(0);
}
void Alive() {
    sd_notify(0, "WATCHDOG=1");
}

#else

void Ready(const std::string&) {}
void Reloading() {}
void Status(const std::string&) {}
void Stopping() {}
std::chrono::microseconds WatchdogInterval() {
    return std::chrono::microseconds(0);
}
void Alive() {}

#endif

}  // namespace service
