// Runs a command under the system-call filters the units set that could break LibreOffice:
// MemoryDenyWriteExecute= as systemd 252 builds it (no mapping both writable and executable,
// no mprotect() to executable, no executable shared memory) and RestrictAddressFamilies=
// AF_UNIX AF_INET AF_INET6. Without systemd running, this is how the tests show that documents
// still convert to PDF inside the services' sandbox.
//   qst-service-filters COMMAND [ARGS...]
#include <cerrno>
#include <cstddef>
#include <cstdio>

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/shm.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

constexpr unsigned kArg0 = offsetof(seccomp_data, args);
constexpr unsigned kArg2 = offsetof(seccomp_data, args) + 2 * sizeof(__u64);

sock_filter Load(unsigned offset)
{
    return BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset);
}

sock_filter Return(unsigned value)
{
    return BPF_STMT(BPF_RET | BPF_K, value);
}

sock_filter Jump(unsigned op, unsigned k, unsigned char ifTrue, unsigned char ifFalse)
{
    return BPF_JUMP(BPF_JMP | op | BPF_K, k, ifTrue, ifFalse);
}

} // namespace

int main(int argc, char **argv)
{
#if !defined(__x86_64__)
    std::fprintf(stderr, "qst-service-filters: written for x86_64 only\n");
    return 77;
#endif
    if (argc < 2) {
        std::fprintf(stderr, "usage: qst-service-filters COMMAND [ARGS...]\n");
        return 2;
    }
    const unsigned allow = SECCOMP_RET_ALLOW;
    const unsigned eperm = SECCOMP_RET_ERRNO | EPERM;
    const unsigned eafnosupport = SECCOMP_RET_ERRNO | EAFNOSUPPORT;
    sock_filter filter[] = {
        Load(offsetof(seccomp_data, arch)),
        Jump(BPF_JEQ, AUDIT_ARCH_X86_64, 1, 0),
        Return(SECCOMP_RET_KILL_PROCESS), // SystemCallArchitectures=native
        Load(offsetof(seccomp_data, nr)),
        // mmap: writable and executable at once
        Jump(BPF_JEQ, __NR_mmap, 0, 5),
        Load(kArg2),
        BPF_STMT(BPF_ALU | BPF_AND | BPF_K, PROT_WRITE | PROT_EXEC),
        Jump(BPF_JEQ, PROT_WRITE | PROT_EXEC, 0, 1),
        Return(eperm),
        Return(allow),
        // mprotect, pkey_mprotect: to executable
        Jump(BPF_JEQ, __NR_mprotect, 1, 0),
        Jump(BPF_JEQ, __NR_pkey_mprotect, 0, 4),
        Load(kArg2),
        Jump(BPF_JSET, PROT_EXEC, 0, 1),
        Return(eperm),
        Return(allow),
        // shmat: executable
        Jump(BPF_JEQ, __NR_shmat, 0, 4),
        Load(kArg2),
        Jump(BPF_JSET, SHM_EXEC, 0, 1),
        Return(eperm),
        Return(allow),
        // socket: AF_UNIX, AF_INET, AF_INET6 only
        Jump(BPF_JEQ, __NR_socket, 0, 5),
        Load(kArg0),
        Jump(BPF_JEQ, AF_UNIX, 3, 0),
        Jump(BPF_JEQ, AF_INET, 2, 0),
        Jump(BPF_JEQ, AF_INET6, 1, 0),
        Return(eafnosupport),
        Return(allow),
    };
    const sock_fprog program { static_cast<unsigned short>(sizeof filter / sizeof filter[0]), filter };
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 || ::prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &program) != 0) {
        std::perror("qst-service-filters: seccomp");
        return 77; // the test is skipped where seccomp is not available
    }
    ::execvp(argv[1], argv + 1);
    std::perror("qst-service-filters: exec");
    return 126;
}
