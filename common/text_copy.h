// The one cut-and-terminate copy of a text into a fixed buffer.
#pragma once

#include <cstddef>
#include <cstring>

// Copies at most max characters of text into out, which has room for
// max + 1, and ends it with a zero whatever the length of text.
inline void copy_cut(char *out, const char *text, std::size_t max) {
    strncpy(out, text, max);
    out[max] = '\0';
}

// The same for an array, cut to fit it.
template <std::size_t size>
void copy_cut(char (&out)[size], const char *text) {
    copy_cut(out, text, size - 1);
}
