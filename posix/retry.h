// The one way the programs retry a system call that a signal broke off.
#ifndef SONARIS_POSIX_RETRY_H
#define SONARIS_POSIX_RETRY_H

#include <cerrno>

// Calls `call()` again for as long as a signal interrupts it; returns its result otherwise.
template <typename Call>
auto Uninterrupted(Call call) {
    decltype(call()) result;
    do {
        result = call();
    } while (result < 0 && errno == EINTR);
    return result;
}

#endif
