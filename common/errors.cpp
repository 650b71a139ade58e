// Logging a failed step once, by the caller that decides.
#include "common/errors.h"

#include <syslog.h>

void log_failure(int priority, const char *format, error_guard &error) {
    syslog(priority, format, error.text());
    error.clear();
}
