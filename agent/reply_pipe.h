// Messages to the web UI on the reply pipe: six bytes each, opened, written
// and closed every time. Failures are logged, never returned: a web UI that
// is not listening loses the message and the pairing goes on.
#pragma once

// Writes the six bytes of message to the pipe at path.
void write_reply_message(const char *path, const unsigned char *message);

// Six 0x01 bytes when paired, six 0x00 bytes when not, to the reply pipe.
void write_reply_outcome(bool paired);
