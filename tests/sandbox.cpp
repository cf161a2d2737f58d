// Runs a program as an old kernel or a seccomp sandbox would have it, through a seccomp filter
// that it and everything it starts inherit:
//
//   sandbox enosys PROGRAM ARG...   # every system call newer than Linux 3.10 answers ENOSYS
//   sandbox eperm PROGRAM ARG...    # as container runtimes do: EPERM for the newer calls programs
//                                   # make themselves, ENOSYS for the C library's own
//
// The C library's own (statx, clone3, rseq, ...) stay at ENOSYS: one as old as such a kernel never
// makes them, and EPERM for them breaks every program.
#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

#if defined(__x86_64__)
const unsigned kArch = AUDIT_ARCH_X86_64;
const unsigned kFirstAfter310 = 314;  // sched_setattr, Linux 3.14
#elif defined(__aarch64__)
const unsigned kArch = AUDIT_ARCH_AARCH64;
const unsigned kFirstAfter310 = 274;  // sched_setattr, in the generic table
#else
#error "Linux 3.10's last system call is known for x86-64 and aarch64 only"
#endif

const unsigned kRefused[] = {
    SYS_renameat2, SYS_getrandom,    SYS_memfd_create,      SYS_execveat,     SYS_copy_file_range,
    SYS_preadv2,   SYS_pwritev2,     SYS_pidfd_send_signal, SYS_pidfd_open,   SYS_close_range,
    SYS_openat2,   SYS_pidfd_getfd,  SYS_faccessat2,        SYS_io_uring_setup,
};

sock_filter Statement(unsigned short code, unsigned k) { return BPF_STMT(code, k); }
sock_filter Jump(unsigned k, unsigned char ifTrue, unsigned char ifFalse, unsigned short how = BPF_JEQ) {
    return BPF_JUMP(BPF_JMP | how | BPF_K, k, ifTrue, ifFalse);
}

}  // namespace

int main(int argc, char **argv) {
    const bool eperm = argc > 2 && std::strcmp(argv[1], "eperm") == 0;
    if (argc < 3 || (!eperm && std::strcmp(argv[1], "enosys") != 0)) {
        std::fprintf(stderr, "usage: %s enosys|eperm PROGRAM [ARG...]\n", argv[0]);
        return 2;
    }
    const unsigned allow = SECCOMP_RET_ALLOW, enosys = SECCOMP_RET_ERRNO | ENOSYS;
    std::vector<sock_filter> filter = {
        Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, arch)),
        Jump(kArch, 1, 0),
        Statement(BPF_RET | BPF_K, allow),  // another ABI's calls are not the ones imitated
        Statement(BPF_LD | BPF_W | BPF_ABS, offsetof(seccomp_data, nr)),
    };
    if (eperm) {
        for (unsigned call : kRefused) {
            filter.push_back(Jump(call, 0, 1));
            filter.push_back(Statement(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | EPERM));
        }
    }
    filter.push_back(Jump(kFirstAfter310, 0, 1, BPF_JGE));
    filter.push_back(Statement(BPF_RET | BPF_K, enosys));
    filter.push_back(Statement(BPF_RET | BPF_K, allow));
    const sock_fprog program = {static_cast<unsigned short>(filter.size()), filter.data()};
    if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("sandbox: seccomp");
        return 2;
    }
    execv(argv[2], argv + 2);
    std::perror(argv[2]);
    return 127;
}
