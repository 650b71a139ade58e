// The daemon's end of the reply pipe: messages of six bytes, the pipe opened,
// written and closed every time. Failures are logged here, never returned: a
// web UI that is not listening loses the message and the pairing goes on.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

// Where the messages below go: reply_pipe_path unless changed (for tests,
// which read what the daemon would write from a pipe of their own).
void use_reply_pipe(const char *path);

// Writes the message (common/reply_message.h) to the pipe at path.
void write_reply_message(const char *path, std::string_view message);

// passkey_reply(passkey), to the reply pipe.
void write_reply_passkey(uint32_t passkey);

// outcome_reply(paired), to the reply pipe.
void write_reply_outcome(bool paired);

// The bytes of earlier messages that the reply pipe still holds: its reader
// has not taken them yet (0 when nothing stands at the path that the
// messages would go to). With discard, they are read out of it and dropped,
// and the count is of those.
std::size_t reply_pipe_unread(bool discard);
