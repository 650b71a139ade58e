// The six-byte messages of the reply pipe (pipe_protocol.h): the daemon
// writes them with the encoders, the client reads them with the splitter and
// classify_reply, so both ends hold one rule.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "common/pipe_protocol.h"

// The passkey as six decimal digits ("%06u"); a longer one is cut to six, as
// the web UI shows six. Inline, as the encoders are all the daemon needs.
inline std::string passkey_reply(uint32_t passkey) {
    char text[sizeof "4294967295"];
    (void)std::snprintf(text, sizeof text, "%06u", static_cast<unsigned>(passkey));
    return std::string(text, reply_size);
}

// Six 0x01 bytes when paired, six 0x00 bytes when not.
inline std::string outcome_reply(bool paired) {
    return std::string(reply_size,
                       static_cast<char>(paired ? reply_paired_byte : reply_failed_byte));
}

enum class reply_kind {
    passkey,  // six ASCII digits
    paired,   // six 0x01 bytes
    failed,   // six 0x00 bytes
    invalid,  // anything else: not to be trusted
};

// Classifies one whole message; a message of any other length than six is invalid.
reply_kind classify_reply(std::string_view message);

// Appends the byte as two lower-case hex digits.
void append_hex_byte(std::string &text, unsigned char byte);

// The bytes as hex pairs ("31 32 00 ff"), to show a message that makes no sense.
std::string hex_bytes(std::string_view bytes);

// Cuts the byte stream of the pipe into whole messages; a message may arrive
// in more than one read.
class reply_splitter {
  public:
    void add(std::string_view bytes) { pending_.append(bytes); }
    // Takes the next whole message into `message`; false when none is complete.
    bool next(std::string &message);

  private:
    std::string pending_;
};
