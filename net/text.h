// Text helpers shared by every subsystem: bounded copies into the fixed
// text buffers of the records, and the line and token functions.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

// Copies at most size - 1 bytes of src into dst and terminates it, so a
// text longer than its field is cut at the field's capacity, never past
// it. Returns the number of bytes copied. size 0 copies nothing.
inline std::size_t CopyText(char* dst, std::size_t size, std::string_view src) {
    if (size == 0) return 0;
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    // An empty view may carry a null pointer, which memcpy must not get.
    if (n > 0) std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

template <std::size_t N>
inline std::size_t CopyText(char (&dst)[N], std::string_view src) {
    return CopyText(dst, N, src);
}

// Removes a line end: the last character and the one before it are each
// cut off when they are CR or LF. So CR LF, a lone LF or a lone CR at the
// end goes, and a text whose second-to-last character is a line break is
// cut there even if its last one is not. A null text is left alone.
void StripLineEnd(char* text);

// 1 when the last character of text is CR or LF, else 0 (also for a null
// or empty text).
int EndsWithLineBreak(const char* text);

// Copies word number index (counted from 0) of text into out. Words are
// the maximal runs of characters not in delimiters; runs of delimiters
// separate, leading and trailing ones make no empty words. Returns 0 on
// success; 1 when text or delimiters is null, there is no such word, or
// the word does not fit in outSize bytes with its terminator. out is made
// empty first whenever outSize is above 0.
int GetToken(const char* text, const char* delimiters, int index, char* out,
             std::size_t outSize);
