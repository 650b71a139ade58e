// Lookup of KEY=value lines in the settings file.
#include "settings/settings.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

namespace {

constexpr int line_buffer_size = 16384;
char line_buffer[line_buffer_size];

// The record's texts are never freed, so when memory runs out a shared empty
// text serves as well as a copy and keeps every field non-null.
char *copy_text(const char *text) {
    static char no_memory[1] = "";
    char *copy = strdup(text);
    return copy != nullptr ? copy : no_memory;
}

// Leaves the part of the line that may hold "KEY=value": without its line
// end and without anything from its last double quote on.
void trim_line(char *line) {
    line[strcspn(line, "\r")] = '\0';
    line[strcspn(line, "\n")] = '\0';
    char *last_quote = strrchr(line, '"');
    if (last_quote != nullptr) {
        *last_quote = '\0';
    }
}

bool is_c_space(char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Reads a number as "%u" does on the gateways' 32-bit platform, so a settings
// file means the same wherever it is read: blanks skipped, one optional sign,
// decimal digits up to the first other character. A magnitude beyond 32 bits
// saturates (whatever the sign), a negative one wraps modulo 2^32, and no
// digit at all gives 0. A 64-bit C library would cut such magnitudes to
// their low 32 bits instead.
uint32_t read_unsigned(const char *text) {
    while (is_c_space(*text)) {
        ++text;
    }
    const bool negative = *text == '-';
    if (*text == '-' || *text == '+') {
        ++text;
    }
    if (*text < '0' || *text > '9') {
        return 0;
    }
    uint64_t magnitude = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        magnitude = magnitude * 10 + static_cast<uint64_t>(*text - '0');
        if (magnitude > UINT32_MAX) {
            return UINT32_MAX;
        }
    }
    const auto value = static_cast<uint32_t>(magnitude);
    return negative ? 0U - value : value;
}

// Only a regular file is read: opening a FIFO would wait for a writer, and a
// device may never end. Anything else reads as a missing file. Links are
// followed: the settings directory is root's.
FILE *open_regular_file(const char *path) {
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    FILE *file = nullptr;
    if (fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
        file = fdopen(fd, "r");
    }
    if (file == nullptr) {
        (void)close(fd);
    }
    return file;
}

}  // namespace

char *settings_find_value(FILE *file, const char *key) {
    // A line longer than the buffer comes in pieces, each taken as a line.
    while (fgets(line_buffer, line_buffer_size, file) != nullptr) {
        trim_line(line_buffer);
        char *equals = strchr(line_buffer, '=');
        if (equals == nullptr) {
            continue;
        }
        *equals = '\0';
        if (strcasecmp(line_buffer, key) == 0) {
            char *value = equals + 1;
            return *value == '"' ? value + 1 : value;
        }
    }
    return nullptr;
}

char *settings_get_string(FILE *file, const char *key) {
    if (file == nullptr) {
        return copy_text("");
    }
    rewind(file);
    const char *value = settings_find_value(file, key);
    return copy_text(value != nullptr ? value : "");
}

uint32_t settings_get_uint(FILE *file, const char *key) {
    if (file == nullptr) {
        return 0;
    }
    rewind(file);
    const char *value = settings_find_value(file, key);
    return value != nullptr ? read_unsigned(value) : 0;
}

void settings_load_from(struct settings *record, const char *path) {
    FILE *file = open_regular_file(path);
    record->enabled = settings_get_uint(file, "MOD_BLUETOOTH_ENABLED");
    record->alias = settings_get_string(file, "MOD_BLUETOOTH_ALIAS");
    record->discoverable = settings_get_uint(file, "MOD_BLUETOOTH_DISCOVERABLE");
    record->pairable_bin = settings_get_string(file, "MOD_BLUETOOTH_PAIRABLE_BIN");
    record->pan_enabled = settings_get_uint(file, "MOD_BLUETOOTH_PAN_ENABLED");
    record->pan_ipaddr4 = settings_get_string(file, "MOD_BLUETOOTH_PAN_IPADDR4");
    record->pan_netmask4 = settings_get_string(file, "MOD_BLUETOOTH_PAN_NETMASK4");
    record->pan_dns4 = settings_get_string(file, "MOD_BLUETOOTH_PAN_DNS4");
    record->pan_poollo4 = settings_get_string(file, "MOD_BLUETOOTH_PAN_POOLLO4");
    record->pan_poolhi4 = settings_get_string(file, "MOD_BLUETOOTH_PAN_POOLHI4");
    record->pan_leasetime4 = settings_get_uint(file, "MOD_BLUETOOTH_PAN_LEASETIME4");
    record->pan_ipaddr6 = settings_get_string(file, "MOD_BLUETOOTH_PAN_IPADDR6");
    record->pan_prefix6 = settings_get_string(file, "MOD_BLUETOOTH_PAN_PREFIX6");
    record->pan_dns6 = settings_get_string(file, "MOD_BLUETOOTH_PAN_DNS6");
    record->pan_poollo6 = settings_get_string(file, "MOD_BLUETOOTH_PAN_POOLLO6");
    record->pan_poolhi6 = settings_get_string(file, "MOD_BLUETOOTH_PAN_POOLHI6");
    record->pan_leasetime6 = settings_get_uint(file, "MOD_BLUETOOTH_PAN_LEASETIME6");
    record->sysloglev = settings_get_uint(file, "MOD_BLUETOOTH_SYSLOGLEV");
    if (file != nullptr) {
        (void)fclose(file);
    }
}

void settings_load(struct settings *record) {
    settings_load_from(record, SETTINGS_PATH);
}
