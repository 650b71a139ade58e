/* The Bluetooth module's settings, read from the shell-style file
 * "/opt/bluetooth/etc/settings": one KEY=value per line, the value optionally
 * between double quotes. A missing file or key gives 0 or the empty text; so
 * does a path that is not a regular file (a FIFO, a device, a directory).
 * C-compatible: other programs of the gateway's Bluetooth module link it. */
#ifndef PAIRGATE_SETTINGS_SETTINGS_H
#define PAIRGATE_SETTINGS_SETTINGS_H

#include <stdint.h>
#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

#define SETTINGS_PATH "/opt/bluetooth/etc/settings"

/* The texts are heap copies owned by the record; they live until the
 * process ends and are never freed. */
struct settings {
    uint32_t enabled;        /* MOD_BLUETOOTH_ENABLED */
    char *alias;             /* MOD_BLUETOOTH_ALIAS */
    uint32_t discoverable;   /* MOD_BLUETOOTH_DISCOVERABLE */
    char *pairable_bin;      /* MOD_BLUETOOTH_PAIRABLE_BIN */
    uint32_t pan_enabled;    /* MOD_BLUETOOTH_PAN_ENABLED */
    char *pan_ipaddr4;       /* MOD_BLUETOOTH_PAN_IPADDR4 */
    char *pan_netmask4;      /* MOD_BLUETOOTH_PAN_NETMASK4 */
    char *pan_dns4;          /* MOD_BLUETOOTH_PAN_DNS4 */
    char *pan_poollo4;       /* MOD_BLUETOOTH_PAN_POOLLO4 */
    char *pan_poolhi4;       /* MOD_BLUETOOTH_PAN_POOLHI4 */
    uint32_t pan_leasetime4; /* MOD_BLUETOOTH_PAN_LEASETIME4 */
    char *pan_ipaddr6;       /* MOD_BLUETOOTH_PAN_IPADDR6 */
    char *pan_prefix6;       /* MOD_BLUETOOTH_PAN_PREFIX6 */
    char *pan_dns6;          /* MOD_BLUETOOTH_PAN_DNS6 */
    char *pan_poollo6;       /* MOD_BLUETOOTH_PAN_POOLLO6 */
    char *pan_poolhi6;       /* MOD_BLUETOOTH_PAN_POOLHI6 */
    uint32_t pan_leasetime6; /* MOD_BLUETOOTH_PAN_LEASETIME6 */
    uint32_t sysloglev;      /* MOD_BLUETOOTH_SYSLOGLEV */
};

/* Fills every field from SETTINGS_PATH. */
void settings_load(struct settings *record);

/* Same, from another path; for tools and tests. */
void settings_load_from(struct settings *record, const char *path);

/* A new heap copy of the key's value; of "" when file is NULL or the key is
 * missing. */
char *settings_get_string(FILE *file, const char *key);

/* The key's value read as "%u" reads it on a 32-bit gateway, whatever the
 * width of long here: leading blanks skipped, an optional sign, decimal digits
 * up to the first other character; a negative value wraps modulo 2^32, and a
 * magnitude above 4294967295 gives 4294967295. 0 when file is NULL, the key
 * is missing or the value does not start with a number. */
uint32_t settings_get_uint(FILE *file, const char *key);

/* Points into a shared line buffer at the start of the key's value, or NULL.
 * The first matching line wins; the key matches whatever its letter case.
 * Valid until the next lookup. */
char *settings_find_value(FILE *file, const char *key);

#ifdef __cplusplus
}
#endif

#endif
