// Syslog levels of the settings file, as masks of priorities (setlogmask(3)'s).
#include "daemon/log_mask.h"

int log_mask_for_level(uint32_t level) {
    static constexpr int masks[] = {0x01, 0x0F, 0x1F, 0x3F, 0x7F};
    constexpr uint32_t highest = sizeof masks / sizeof masks[0] - 1;
    return masks[level < highest ? level : highest];
}
