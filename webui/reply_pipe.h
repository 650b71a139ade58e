// The daemon's end of the reply pipe: messages of six bytes, the pipe opened,
// written and closed every time. Failures are logged here, never returned: a
// web UI that is not listening loses the message and the pairing goes on.
#pragma once

#include <cstddef>
#include <cstdint>

// Where the messages below go: reply_pipe_path unless changed (for tests,
// which read what the daemon would write from a pipe of their own).
void use_reply_pipe(const char *path);

// Writes the six bytes of message to the pipe at path.
void write_reply_message(const char *path, const unsigned char *message);

// The passkey as six decimal digits ("%06u", cut to six), to the reply pipe.
void write_reply_passkey(uint32_t passkey);

// Six 0x01 bytes when paired, six 0x00 bytes when not, to the reply pipe.
void write_reply_outcome(bool paired);

// The bytes of earlier messages that the reply pipe still holds: its reader
// has not taken them yet (0 when nothing stands at the path that the
// messages would go to). With discard, they are read out of it and dropped,
// and the count is of those.
std::size_t reply_pipe_unread(bool discard);
