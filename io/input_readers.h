/* The gateway's four binary inputs, bin0 to bin3.
 *
 * Whether an input is supported is learnt once, on its first reading, by
 * running the platform's I/O tool "/usr/bin/io get binN"; its first output
 * byte must be the digit 0 or 1 and its exit code is that first reading.
 * Later readings of a supported input cost one ioctl on "/dev/gpio".
 * Every failure reads as 0, which callers treat as "active".
 * C-compatible: other programs of the gateway's Bluetooth module link it. */
#ifndef PAIRGATE_IO_INPUT_READERS_H
#define PAIRGATE_IO_INPUT_READERS_H

#include <signal.h>
#include <stdarg.h>

#ifdef __cplusplus
extern "C" {
#endif

#define INPUT_COUNT 4

/* Support states of an input_record. */
#define INPUT_SUPPORT_UNKNOWN 0
#define INPUT_SUPPORTED 1
#define INPUT_UNSUPPORTED 2

/* How long one probe may take before the tool is killed, unless changed. */
#define INPUT_PROBE_TIMEOUT_MS 10000

struct input_record {
    const char *name; /* "bin0" .. "bin3" */
    int support;      /* INPUT_SUPPORT_UNKNOWN, INPUT_SUPPORTED, INPUT_UNSUPPORTED */
};

typedef int (*input_reader)(void);

/* read_bin0 .. read_bin3, in that order. */
extern const input_reader input_readers[INPUT_COUNT];

int read_bin0(void);
int read_bin1(void);
int read_bin2(void);
int read_bin3(void);

/* The reading of input index (0 to 3), or -1 when it cannot be read: its
 * probe failed, the tool is missing or printed no digit (the input is not
 * supported), or the GPIO device or its ioctl failed. read_binN is this with
 * -1 turned into 0. */
int input_read(int index);

/* "bin0" .. "bin3" for the indexes 0 to 3. */
const char *input_name(int index);

/* ioctl on the lazily opened "/dev/gpio"; -1 when it cannot be opened. */
int gpio_ioctl(unsigned long request, int argument);

/* Runs the I/O tool for the record's input and learns its support state.
 * Returns the tool's exit code, or -1. */
int input_probe(struct input_record *record);

/* A flag (the daemon's stop request) that makes a running probe give up at
 * once: the tool is killed and reaped and the probe fails quietly. */
void input_set_cancel_flag(const volatile sig_atomic_t *flag);

/* Where the probe's failure lines go: vsyslog unless changed (null sets it
 * back). The daemon hands its own logging call here. */
typedef void (*input_logger)(int priority, const char *format, va_list args);
void input_set_logger(input_logger log);

/* Changes the probe's time limit (milliseconds); for tests. */
void input_set_probe_timeout(int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif
