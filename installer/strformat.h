// printf-style formatting into a string sized to fit: no fixed buffer to overrun, and the text
// passed for a "%s" is data, never a format.
#ifndef SONARIS_STRFORMAT_H
#define SONARIS_STRFORMAT_H

#include <cstdarg>
#include <cstdio>
#include <string>

[[gnu::format(printf, 1, 2)]] inline std::string StrPrintf(const char *format, ...) {
    va_list args;
    va_start(args, format);
    va_list again;
    va_copy(again, args);
    const int size = std::vsnprintf(nullptr, 0, format, args);
    va_end(args);
    std::string text;
    if (size > 0) {
        text.resize(static_cast<std::size_t>(size));
        std::vsnprintf(text.data(), text.size() + 1, format, again);
    }
    va_end(again);
    return text;
}

#endif
