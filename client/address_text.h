// Device addresses as the web UI writes them: 00:1A:7D:DA:71:13.
#pragma once

#include <string>
#include <string_view>

// Exactly 17 characters: six pairs of hex digits (either case) joined by colons.
bool is_colon_address(std::string_view text);

// The address with its hex letters in upper case, the form BlueZ uses in device
// object paths; the daemon builds the path from the text unchanged and compares
// it exactly, so a lower-case request could never pair.
std::string upper_case_address(std::string_view address);

// Whether two addresses name the same device, whatever the case of their letters.
bool same_address(std::string_view a, std::string_view b);
