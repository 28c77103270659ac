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
    std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n;
}

template <std::size_t N>
inline std::size_t CopyText(char (&dst)[N], std::string_view src) {
    return CopyText(dst, N, src);
}
