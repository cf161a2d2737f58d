// The program image's part of keeping to glibc 2.17, the oldest C library it starts on: the static
// libraries it links were built against a newer one and ask for three of its later symbols. Each
// is answered here in the terms every glibc from 2.17 on exports (cmake/GlibcFloor.cmake checks
// the image for any other).
#include "posix/io.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

// libpng's pow, which glibc 2.29 gave a new symbol version without changing what it computes:
// the linker sends the calls here (-Wl,--wrap=pow), and they go on to the version every glibc has.
#if defined(__x86_64__)
__asm__(".symver sonaris_first_pow, pow@GLIBC_2.2.5");
#elif defined(__aarch64__)
__asm__(".symver sonaris_first_pow, pow@GLIBC_2.17");
#else
#error "which pow the C library first exported is known for x86-64 and aarch64 only"
#endif

extern "C" {

double sonaris_first_pow(double x, double y);
void __chk_fail() __attribute__((noreturn));

double __wrap_pow(double x, double y) { return sonaris_first_pow(x, y); }

// libbsd's and libuuid's source of random bytes (glibc 2.25). Linux has the system call from 3.17
// on; before that (ENOSYS), and in sandboxes that refuse it (EPERM), /dev/urandom gives the same.
ssize_t getrandom(void *buffer, std::size_t length, unsigned int flags) {
    const long got = syscall(SYS_getrandom, buffer, length, flags);
    if (got >= 0 || (errno != ENOSYS && errno != EPERM)) return got;
    const int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    const ssize_t read = ReadFully(fd, buffer, length);
    const int error = errno;
    close(fd);
    errno = error;
    return read;
}

// What libbsd's explicit_bzero becomes under _FORTIFY_SOURCE (glibc 2.25): zero bytes the compiler
// may not leave out, in a buffer checked to hold them (glibc's own overflow report otherwise).
void __explicit_bzero_chk(void *buffer, std::size_t length, std::size_t size) {
    if (size < length) __chk_fail();
    std::memset(buffer, 0, length);
    __asm__ __volatile__("" : : "r"(buffer) : "memory");
}
}
