#include "qx/process_filter.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace qx::process_filter {

#if defined(__x86_64__)

namespace {

constexpr unsigned int nr_offset = offsetof(seccomp_data, nr);
constexpr unsigned int arch_offset = offsetof(seccomp_data, arch);
constexpr unsigned int first_argument_low = offsetof(seccomp_data, args);  // little endian

constexpr sock_filter statement(unsigned short code, unsigned int k) {
    return sock_filter{code, 0, 0, k};
}
constexpr sock_filter jump(unsigned short code, unsigned int k, unsigned char if_true, unsigned char if_false) {
    return sock_filter{code, if_true, if_false, k};
}

}  // namespace

bool forbid_new_processes(std::string& why) {
    const unsigned int refuse = SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA);
    const unsigned int unknown = SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA);
    sock_filter program[] = {
        statement(BPF_LD | BPF_W | BPF_ABS, arch_offset),
        jump(BPF_JMP | BPF_JEQ | BPF_K, AUDIT_ARCH_X86_64, 1, 0),
        statement(BPF_RET | BPF_K, SECCOMP_RET_KILL_PROCESS),
        statement(BPF_LD | BPF_W | BPF_ABS, nr_offset),
        // The x32 numbering reaches the same calls by other numbers: none of it is allowed.
        jump(BPF_JMP | BPF_JGE | BPF_K, 0x40000000U, 9, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_fork, 8, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_vfork, 7, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_execve, 6, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_execveat, 5, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone3, 6, 0),
        jump(BPF_JMP | BPF_JEQ | BPF_K, __NR_clone, 1, 0),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        // clone: threads only.
        statement(BPF_LD | BPF_W | BPF_ABS, first_argument_low),
        jump(BPF_JMP | BPF_JSET | BPF_K, CLONE_THREAD, 1, 0),
        statement(BPF_RET | BPF_K, refuse),
        statement(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        statement(BPF_RET | BPF_K, unknown),
    };
    sock_fprog filter{static_cast<unsigned short>(sizeof program / sizeof program[0]), program};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        why = std::string("cannot install the seccomp filter: ") + std::strerror(errno);
        return false;
    }
    return true;
}

#else

bool forbid_new_processes(std::string& why) {
    why = "the process filter is written for x86_64 only";
    return false;
}

#endif

}  // namespace qx::process_filter
