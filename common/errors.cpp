// Logging a failed step once, by the caller that decides.
#include "common/errors.h"

#include "common/log.h"

void log_failure(int priority, const char *format, error_guard &error) {
    log_message(priority, format, error.text());
    error.clear();
}
