#include "net/text.h"

namespace {

bool IsLineBreak(char c) { return c == '\r' || c == '\n'; }

bool IsDelimiter(char c, const char* delimiters) {
    return c != '\0' && std::strchr(delimiters, c) != nullptr;
}

}  // namespace

void StripLineEnd(char* text) {
    if (text == nullptr) return;
    std::size_t n = std::strlen(text);
    // Look at the last two characters as they were before any was cut.
    bool lastBreak = n >= 1 && IsLineBreak(text[n - 1]);
    bool secondBreak = n >= 2 && IsLineBreak(text[n - 2]);
    if (lastBreak) text[n - 1] = '\0';
    if (secondBreak) text[n - 2] = '\0';
}

int EndsWithLineBreak(const char* text) {
    if (text == nullptr || text[0] == '\0') return 0;
    return IsLineBreak(text[std::strlen(text) - 1]) ? 1 : 0;
}

int GetToken(const char* text, const char* delimiters, int index, char* out,
             std::size_t outSize) {
    if (outSize > 0) out[0] = '\0';
    if (text == nullptr || delimiters == nullptr || index < 0) return 1;
    int number = 0;
    const char* p = text;
    while (true) {
        while (IsDelimiter(*p, delimiters)) ++p;
        if (*p == '\0') return 1;
        const char* begin = p;
        while (*p != '\0' && !IsDelimiter(*p, delimiters)) ++p;
        if (number == index) {
            std::size_t length = static_cast<std::size_t>(p - begin);
            if (length >= outSize) return 1;
            std::memcpy(out, begin, length);
            out[length] = '\0';
            return 0;
        }
        ++number;
    }
}
