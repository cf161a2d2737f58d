// Executing a program by the descriptor it was checked on, on every kernel and in sandboxes.
#ifndef SONARIS_POSIX_EXEC_H
#define SONARIS_POSIX_EXEC_H

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

// Replaces the process with the program open at `fd`; returns only on failure, errno set.
// execveat(2) first. Kernels before 3.19 lack it (ENOSYS), and seccomp sandboxes refuse calls
// they do not know (EPERM), where the C library's fexecve gives up: then the descriptor's own
// name in /proc, which leads to the same open file whatever happened to its path.
inline int ExecuteDescriptor(int fd, char *const argv[], char *const envp[]) {
    syscall(SYS_execveat, fd, "", argv, envp, AT_EMPTY_PATH);
    if (errno != ENOSYS && errno != EPERM) return -1;
    char name[32];
    std::snprintf(name, sizeof name, "/proc/self/fd/%d", fd);
    return execve(name, argv, envp);
}

#endif
