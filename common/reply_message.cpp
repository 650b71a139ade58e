// The six-byte messages of the reply pipe, as the client reads them.
#include "common/reply_message.h"

#include <algorithm>

#include "common/pipe_protocol.h"

namespace {

bool all_digits(std::string_view message) {
    return std::all_of(message.begin(), message.end(), [](char c) { return c >= '0' && c <= '9'; });
}

}  // namespace

reply_kind classify_reply(std::string_view message) {
    if (message.size() != reply_size) {
        return reply_kind::invalid;
    }
    if (all_digits(message)) {
        return reply_kind::passkey;
    }
    if (message == outcome_reply(true)) {
        return reply_kind::paired;
    }
    if (message == outcome_reply(false)) {
        return reply_kind::failed;
    }
    return reply_kind::invalid;
}

void append_hex_byte(std::string &text, unsigned char byte) {
    static const char hex[] = "0123456789abcdef";
    text += hex[byte >> 4];
    text += hex[byte & 0x0F];
}

std::string hex_bytes(std::string_view bytes) {
    std::string text;
    for (char c : bytes) {
        if (!text.empty()) {
            text += ' ';
        }
        append_hex_byte(text, static_cast<unsigned char>(c));
    }
    return text;
}

bool reply_splitter::next(std::string &message) {
    if (pending_.size() < reply_size) {
        return false;
    }
    message = pending_.substr(0, reply_size);
    pending_.erase(0, reply_size);
    return true;
}
