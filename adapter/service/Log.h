// The service's log: one line per event on standard error, with the
// syslog-style priority prefix that a service manager reads ("<4>" a
// warning, ...). Lines are written for starts, stops and peers coming, going
// and being dropped, never for each message.
#pragma once

#include <string>

namespace halvora::adapter::service {

enum class LogLevel { Error = 3, Warning = 4, Notice = 5, Info = 6, Debug = 7 };

void logLine(LogLevel level, const std::string& text);

// Lines less urgent than `threshold` are left out (Info by default).
void setLogThreshold(LogLevel threshold);

// "error", "warning", "notice", "info", "debug" or the digit 3 to 7.
bool parseLogLevel(const std::string& text, LogLevel& level);

} // namespace halvora::adapter::service
