#include "runner/logger.h"

void Logger::Write(Priority priority, const std::string& text, const LogFields&) {
    if (static_cast<int>(priority) > static_cast<int>(threshold_)) return;
    std::lock_guard<std::mutex> lock(mu_);
    out_ << text << std::endl;
}
