/* Runs another program with chosen standard streams and waits for it.
 *
 * The child's standard streams come from a per-thread record of three
 * descriptors (stdin, stdout, stderr), -1 at the start of every thread:
 *   equal to its own number  - left as inherited
 *   other non-negative value - a duplicate of that descriptor
 *   negative                 - "/dev/null" (read-write)
 * Every run resets the record, so a choice applies to the next run only.
 * C-compatible: other programs of the gateway's Bluetooth module link it. */
#ifndef PAIRGATE_IO_CHILD_RUNNER_H
#define PAIRGATE_IO_CHILD_RUNNER_H

#include <signal.h>
#include <stdarg.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Most arguments after the path that reach the child; the rest are dropped. */
#define RUN_MAX_ARGS 62

/* Records the child's standard output for the next run. 0 and 2 are ignored;
 * 1 means inherit, -1 means "/dev/null". */
void run_set_stdout(int fd);

/* Closes every recorded descriptor above 2 and resets the record to -1. */
void run_release_stdio(void);

/* Runs path (searched on PATH when it has no slash) with the null-terminated
 * text arguments that follow; path is also argument zero. Waits for it and
 * returns the waitpid status word, or -1 when the child cannot be created or
 * the wait fails. */
int run_program(const char *path, ...);

/* The child's side of a run: sets up the streams, closes every other
 * descriptor and execs. Returns only when the exec failed. */
void child_exec(const char *path, va_list args);

/* Like run_program, but does not wait: returns the child's pid, or -1. */
pid_t run_start(const char *path, ...);
pid_t run_startv(const char *path, va_list args);

/* Waits for a child started by run_start. Returns its status word; -1 when
 * the wait fails; -2 when timeout_ms (negative: no limit) passed or *cancel
 * became non-zero first, in which case the child has been killed and reaped. */
#define RUN_WAIT_ABANDONED (-2)
int run_wait(pid_t pid, int timeout_ms, const volatile sig_atomic_t *cancel);

#ifdef __cplusplus
}
#endif

#endif
