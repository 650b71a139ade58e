/* Preloaded into btvirt, the bench's emulated radio: every block it frees is
 * handed back to the C library only after 4096 later frees.
 *
 * btvirt calls through memory it has freed. An inquiry has two timers: one
 * that reports the devices found, every 100 ms, and one for its length. When
 * both are due in one wake-up of the emulator's main loop and the length's
 * runs first, its callback (inquiry_timeout in emulator/btdev.c) removes the
 * other timer, freeing the main loop's record of it, and the loop then calls
 * that timer's function through the freed record: the C library has written
 * its own bookkeeping there, and btvirt dies with a general protection fault
 * right after the gateway's Inquiry Complete. Kept as it was for a while, the
 * record calls the timer's function as before, which finds its descriptor
 * closed and returns. */
#include <stddef.h>

#define HELD 4096

void __libc_free(void *block);

static void *held[HELD];
static size_t next;

void free(void *block)
{
    void *oldest;

    if (!block)
        return;
    oldest = held[next];
    held[next] = block;
    next = (next + 1) % HELD;
    if (oldest)
        __libc_free(oldest);
}
