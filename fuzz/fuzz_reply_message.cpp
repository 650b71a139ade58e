// The reply pipe's messages: the input is cut into reads of the sizes its
// first bytes give, and every whole message is classified. Whatever the reads,
// the messages are the six-byte pieces of the stream; whatever the passkey,
// the daemon's message for it reads back as a passkey.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "common/reply_message.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    if (size < 1) {
        return 0;
    }
    const std::size_t cuts = data[0] % 8;
    if (size < 1 + cuts) {
        return 0;
    }
    const std::string_view stream(reinterpret_cast<const char *>(data + 1 + cuts), size - 1 - cuts);
    reply_splitter splitter;
    std::size_t offset = 0;
    std::size_t taken = 0;
    for (std::size_t i = 0; i <= cuts && offset <= stream.size(); ++i) {
        const std::size_t length = i < cuts ? data[1 + i] : stream.size() - offset;
        splitter.add(stream.substr(offset, length));
        offset += length;
        std::string message;
        while (splitter.next(message)) {
            if (message != stream.substr(taken, 6)) {
                abort();
            }
            (void)classify_reply(message);
            taken += 6;
        }
    }
    (void)classify_reply(stream);
    if (classify_reply(passkey_reply(static_cast<uint32_t>(size) * 0x9E3779B1u)) !=
        reply_kind::passkey) {
        abort();
    }
    const std::string hex = hex_bytes(stream);
    if (hex.size() != (stream.empty() ? 0 : stream.size() * 3 - 1)) {
        abort();
    }
    return 0;
}
