// The syslog mask chosen by MOD_BLUETOOTH_SYSLOGLEV.
#pragma once

#include <cstdint>

// 0: LOG_EMERG only (the daemon then says nothing), 1: up to LOG_ERR,
// 2: up to LOG_WARNING, 3: up to LOG_NOTICE, 4 and above: up to LOG_INFO.
int log_mask_for_level(uint32_t level);
