#pragma once
// Tells the service manager how the host is doing: ready, reloading, stopping, and alive (the
// watchdog). Each is a no-op when the host does not run as a notifying service or was built
// without libsystemd.
#include <chrono>
#include <string>

namespace service {

void Ready(const std::string& status);
void Reloading();
// The one-line status `systemctl status` shows, at any time from any thread.
void Status(const std::string& status);
void Stopping();
// How often the manager wants to hear Alive(); zero when it does not watch.
std::chrono::microseconds WatchdogInterval();
void Alive();

}  // namespace service
