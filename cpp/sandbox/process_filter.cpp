#include "process_filter.hpp"

#include <linux/audit.h>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/syscall.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <vector>

namespace qx::process_filter {

#if defined(__x86_64__)

namespace {

// x86_64 numbers, spelled out for C libraries whose headers predate the newer calls.
enum Call : unsigned int {
    sys_socket = 41,
    sys_connect = 42,
    sys_accept = 43,
    sys_bind = 49,
    sys_listen = 50,
    sys_socketpair = 53,
    sys_clone = 56,
    sys_fork = 57,
    sys_vfork = 58,
    sys_execve = 59,
    sys_truncate = 76,
    sys_ptrace = 101,
    sys_pivot_root = 155,
    sys_chroot = 161,
    sys_mount = 165,
    sys_umount2 = 166,
    sys_add_key = 248,
    sys_request_key = 249,
    sys_keyctl = 250,
    sys_unshare = 272,
    sys_accept4 = 288,
    sys_perf_event_open = 298,
    sys_setns = 308,
    sys_process_vm_readv = 310,
    sys_process_vm_writev = 311,
    sys_execveat = 322,
    sys_userfaultfd = 323,
    sys_bpf = 321,
    sys_open_tree = 428,
    sys_move_mount = 429,
    sys_fsopen = 430,
    sys_fsconfig = 431,
    sys_fsmount = 432,
    sys_fspick = 433,
    sys_io_uring_setup = 425,
    sys_io_uring_enter = 426,
    sys_io_uring_register = 427,
    sys_clone3 = 435,
    sys_pidfd_getfd = 438,
    sys_mount_setattr = 442,
};

constexpr Call refused[] = {
    sys_fork,
    sys_vfork,
    sys_execve,
    sys_execveat,
    sys_socket,
    sys_socketpair,
    sys_connect,
    sys_bind,
    sys_listen,
    sys_accept,
    sys_accept4,
    sys_io_uring_setup,
    sys_io_uring_enter,
    sys_io_uring_register,
    sys_ptrace,
    sys_process_vm_readv,
    sys_process_vm_writev,
    sys_pidfd_getfd,
    sys_unshare,
    sys_setns,
    sys_mount,
    sys_umount2,
    sys_pivot_root,
    sys_chroot,
    sys_open_tree,
    sys_move_mount,
    sys_fsopen,
    sys_fsconfig,
    sys_fsmount,
    sys_fspick,
    sys_mount_setattr,
    sys_add_key,
    sys_request_key,
    sys_keyctl,
    sys_bpf,
    sys_perf_event_open,
    sys_userfaultfd,
    sys_truncate,
};

constexpr unsigned int nr_offset = offsetof(seccomp_data, nr);
constexpr unsigned int arch_offset = offsetof(seccomp_data, arch);
constexpr unsigned int first_argument_low = offsetof(seccomp_data, args);  // little endian

// A filter program with forward jumps to named ends, resolved once the program is complete.
class Program {
public:
    enum End { allow, refuse, unknown, kill, check_clone, next };

    void load(unsigned int offset) { steps_.push_back({BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offset), next, next}); }
    void jump(unsigned short test, unsigned int k, End if_true, End if_false = next) {
        steps_.push_back({BPF_JUMP(BPF_JMP | test | BPF_K, k, 0, 0), if_true, if_false});
    }
    void ret(unsigned int action) { steps_.push_back({BPF_STMT(BPF_RET | BPF_K, action), next, next}); }
    void mark(End end) { marks_[end] = steps_.size(); }

    std::vector<sock_filter> resolve() const {
        std::vector<sock_filter> code;
        for (std::size_t at = 0; at < steps_.size(); ++at) {
            sock_filter instruction = steps_[at].instruction;
            instruction.jt = offset(at, steps_[at].if_true);
            instruction.jf = offset(at, steps_[at].if_false);
            code.push_back(instruction);
        }
        return code;
    }

private:
    struct Step {
        sock_filter instruction;
        End if_true;
        End if_false;
    };
    unsigned char offset(std::size_t from, End to) const {
        return to == next ? 0 : static_cast<unsigned char>(marks_[to] - from - 1);
    }
    std::vector<Step> steps_;
    std::size_t marks_[next] = {};
};

}  // namespace

bool install(std::string& why) {
    Program program;
    program.load(arch_offset);
    program.jump(BPF_JEQ, AUDIT_ARCH_X86_64, Program::next, Program::kill);
    program.load(nr_offset);
    // The x32 numbering reaches the same calls by other numbers: none of it is allowed.
    program.jump(BPF_JGE, 0x40000000U, Program::refuse);
    program.jump(BPF_JEQ, sys_clone, Program::check_clone);
    program.jump(BPF_JEQ, sys_clone3, Program::unknown);
    for (const Call call : refused) program.jump(BPF_JEQ, call, Program::refuse);
    program.ret(SECCOMP_RET_ALLOW);
    // clone: threads only. (Filters jump forward only, hence the second allowing return.)
    program.mark(Program::check_clone);
    program.load(first_argument_low);
    program.jump(BPF_JSET, CLONE_THREAD, Program::allow, Program::refuse);
    program.mark(Program::allow);
    program.ret(SECCOMP_RET_ALLOW);
    program.mark(Program::refuse);
    program.ret(SECCOMP_RET_ERRNO | (EPERM & SECCOMP_RET_DATA));
    program.mark(Program::unknown);
    program.ret(SECCOMP_RET_ERRNO | (ENOSYS & SECCOMP_RET_DATA));
    program.mark(Program::kill);
    program.ret(SECCOMP_RET_KILL_PROCESS);

    std::vector<sock_filter> code = program.resolve();
    sock_fprog filter{static_cast<unsigned short>(code.size()), code.data()};
    if (prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &filter) != 0) {
        why = std::string("cannot install the seccomp filter: ") + std::strerror(errno);
        return false;
    }
    return true;
}

#else

bool install(std::string& why) {
    why = "the process filter is written for x86_64 only";
    return false;
}

#endif

}  // namespace qx::process_filter
