// Device addresses as the web UI writes them: 00:1A:7D:DA:71:13.
#include "client/address_text.h"

#include "common/pipe_protocol.h"

namespace {

bool is_hex_digit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Only ASCII letters change: the result must not depend on the locale.
char upper_ascii(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

}  // namespace

bool is_colon_address(std::string_view text) {
    if (text.size() != request_size) {
        return false;
    }
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool colon_place = i % 3 == 2;
        if (colon_place ? text[i] != ':' : !is_hex_digit(text[i])) {
            return false;
        }
    }
    return true;
}

std::string upper_case_address(std::string_view address) {
    std::string upper(address);
    for (char &c : upper) {
        c = upper_ascii(c);
    }
    return upper;
}

bool same_address(std::string_view a, std::string_view b) {
    return upper_case_address(a) == upper_case_address(b);
}
