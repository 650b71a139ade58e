// Replaces syslog in the test executable, so the lines can be asserted on.
#include "syslog_capture.h"

#include <cstdarg>
#include <cstdio>

std::vector<std::string> &logged_lines() {
    static std::vector<std::string> lines;
    return lines;
}

extern "C" void syslog(int priority, const char *format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    logged_lines().push_back(std::to_string(priority) + " " + text);
}
