// The one logging call of the daemon's code. Where its lines go is the
// program's choice: pairgated sends them through its own syslog sender
// (daemon/syslog_sender.h), the unit tests keep them. Until a sink is set
// they go to syslog(3).
#pragma once

#include <syslog.h>

#include <cstdarg>

using log_sink = void (*)(int priority, const char *format, va_list args);

// Every later line goes to sink.
void log_set_sink(log_sink sink);

// Logs a printf-style line at priority (LOG_ERR .. LOG_INFO, from <syslog.h>).
void log_message(int priority, const char *format, ...) __attribute__((format(printf, 2, 3)));
