// The settings file: the whole record loaded from a file holding the input,
// and single lookups of a key, taken from the input's first line, in a stream
// of the rest.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "settings/settings.h"

namespace {

// The record's texts live until the process ends in the daemon; here every
// input would leak them.
void free_texts(settings &record) {
    for (char *text :
         {record.alias, record.pairable_bin, record.pan_ipaddr4, record.pan_netmask4,
          record.pan_dns4, record.pan_poollo4, record.pan_poolhi4, record.pan_ipaddr6,
          record.pan_prefix6, record.pan_dns6, record.pan_poollo6, record.pan_poolhi6}) {
        free(text);
    }
}

void load_whole_record(const uint8_t *data, size_t size) {
    static const int fd = memfd_create("settings", 0);
    if (fd < 0 || ftruncate(fd, 0) != 0 ||
        pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) {
        abort();
    }
    const std::string path = "/proc/self/fd/" + std::to_string(fd);
    settings record{};
    settings_load_from(&record, path.c_str());
    free_texts(record);
}

void look_up_first_line_key(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    const std::string key = text.substr(0, text.find('\n')).c_str();
    FILE *file = fmemopen(const_cast<char *>(text.data()), text.size(), "r");
    if (file == nullptr) {
        return;
    }
    free(settings_get_string(file, key.c_str()));
    (void)settings_get_uint(file, key.c_str());
    rewind(file);
    while (settings_find_value(file, key.c_str()) != nullptr) {
    }
    fclose(file);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    load_whole_record(data, size);
    if (size > 0) {
        look_up_first_line_key(data, size);
    }
    return 0;
}
