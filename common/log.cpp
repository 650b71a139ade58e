// The logging call and the sink it sends to.
#include "common/log.h"

#include <syslog.h>

namespace {

log_sink current_sink = vsyslog;

}  // namespace

void log_set_sink(log_sink sink) {
    current_sink = sink;
}

void log_message(int priority, const char *format, ...) {
    va_list args;
    va_start(args, format);
    current_sink(priority, format, args);
    va_end(args);
}
