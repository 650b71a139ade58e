// The log sink of the unit tests: this executable keeps every line logged.
#include "syslog_capture.h"

#include <cstdarg>
#include <cstdio>

#include "common/log.h"

std::vector<std::string> &logged_lines() {
    static std::vector<std::string> lines;
    return lines;
}

namespace {

void keep_line(int priority, const char *format, va_list args) {
    char text[512];
    vsnprintf(text, sizeof text, format, args);
    logged_lines().push_back(std::to_string(priority) + " " + text);
}

const bool capturing = (log_set_sink(keep_line), true);

}  // namespace
