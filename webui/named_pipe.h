// Opening the daemon's ends of the two pipes in /var/tmp.
#pragma once

// Opens path with flags (O_NOFOLLOW and O_CLOEXEC added) when it is a named
// pipe. /var/tmp is world-writable: a link or file planted at a pipe's path
// must not make the daemon read, log or overwrite some other file. Returns
// the descriptor, or -1 with *reason set to a text for the log.
int open_named_pipe(const char *path, int flags, const char **reason);
