// The service's log: one line per event on standard error, with the
// syslog-style priority prefix that a service manager reads ("<4>" a
// warning, ...).
#pragma once

#include <string>

namespace halvora::adapter::service {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6 };

void logLine(LogLevel level, const std::string& text);

} // namespace halvora::adapter::service
