// A word as a shell reads it back, for the commands the packer's messages suggest.
#ifndef SONARIS_PACK_SHELLQUOTE_H
#define SONARIS_PACK_SHELLQUOTE_H

#include <string>

// The word as it is where every character is one no shell treats specially, else in single
// quotes, each quote in it closed, escaped and opened again.
inline std::string ShellQuoted(const std::string &word) {
    static const char kPlain[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789_-./+,:@";
    if (!word.empty() && word.find_first_not_of(kPlain) == std::string::npos) return word;
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

#endif
