#include "sandbox_confine.hpp"

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>

namespace qx::sandbox::confine {
namespace {

std::string error_text(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool write_file(const char* path, const std::string& text) {
    const int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool written = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return written;
}

// A user namespace where the worker keeps the host's ids (an unprivileged process may map only
// its own) and gains, inside it only, the right to make network and mount namespaces.
bool enter_user_namespace(std::string& why) {
    const uid_t uid = geteuid();
    const gid_t gid = getegid();
    if (unshare(CLONE_NEWUSER) != 0) {
        why = error_text("unshare(CLONE_NEWUSER)");
        return false;
    }
    if (!write_file("/proc/self/setgroups", "deny") ||
        !write_file("/proc/self/uid_map", std::to_string(uid) + " " + std::to_string(uid) + " 1") ||
        !write_file("/proc/self/gid_map", std::to_string(gid) + " " + std::to_string(gid) + " 1")) {
        why = error_text("cannot map the user namespace's ids");
        return false;
    }
    return true;
}

void limit(int resource, rlim_t value) {
    rlimit bounds{value, value};
    setrlimit(resource, &bounds);
}

}  // namespace

bool host_is_root() {
    return geteuid() == 0;
}

unsigned worker_uid() {
    return host_is_root() ? sandbox_id : geteuid();
}

unsigned worker_gid() {
    return host_is_root() ? sandbox_id : getegid();
}

void enter_namespaces(Layers& layers) {
    std::string user_failure;
    // Root needs no user namespace (and must not keep root's id in one): it makes the others
    // itself and takes the sandbox id once they are set up.
    if (!host_is_root()) layers.user_namespace = enter_user_namespace(user_failure);
    const std::string because = user_failure.empty() ? "" : " (" + user_failure + ")";
    if (unshare(CLONE_NEWNET) != 0)
        layers.missing.push_back("network namespace: " + error_text("unshare(CLONE_NEWNET)") + because);
    if (unshare(CLONE_NEWNS) == 0) {
        layers.mount_namespace = true;
    } else {
        layers.missing.push_back("filesystem view (mount namespace): " + error_text("unshare(CLONE_NEWNS)") + because);
    }
}

void empty_bounding_set() {
    // Capabilities are numbered from 0 without gaps; the kernel refuses the first it does not know.
    for (int capability = 0; capability < 64; ++capability)
        if (prctl(PR_CAPBSET_DROP, capability, 0, 0, 0) != 0 && errno == EINVAL) break;
    prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
}

void drop_privileges(Layers& layers) {
    if (host_is_root()) {
        const gid_t group = sandbox_id;
        if (setgroups(1, &group) != 0 || setresgid(sandbox_id, sandbox_id, sandbox_id) != 0 ||
            setresuid(sandbox_id, sandbox_id, sandbox_id) != 0)
            layers.missing.push_back("user id: " + error_text("cannot take the id " + std::to_string(sandbox_id)));
    }
    // What is left (a root whose id change failed; a user namespace's full set) goes as well.
    struct {
        std::uint32_t version;
        int pid;
    } header{0x20080522, 0};  // _LINUX_CAPABILITY_VERSION_3
    std::uint32_t sets[6] = {};
    syscall(SYS_capset, &header, sets);
}

void set_limits(double seconds, std::uint64_t memory, std::uint64_t file_size, const Layers& layers) {
    limit(RLIMIT_AS, static_cast<rlim_t>(memory));
    // A little above the time limit: the watchdog's TimeoutError comes first, the CPU limit
    // stops a program that keeps catching it.
    const double cpu = std::ceil(std::min(seconds, 1e9)) + 2;
    rlimit cpu_bounds{static_cast<rlim_t>(cpu), static_cast<rlim_t>(cpu) + 1};
    setrlimit(RLIMIT_CPU, &cpu_bounds);
    limit(RLIMIT_FSIZE, static_cast<rlim_t>(file_size));
    limit(RLIMIT_CORE, 0);
    limit(RLIMIT_NOFILE, 256);
    // Counted per user and user namespace: only in a namespace of its own does the count start
    // at this worker (the process filter stops new processes in every case).
    if (layers.user_namespace) limit(RLIMIT_NPROC, 64);
}

}  // namespace qx::sandbox::confine
