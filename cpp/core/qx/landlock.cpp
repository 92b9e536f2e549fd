#include "qx/landlock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qx::landlock {
namespace {

#ifndef __NR_landlock_create_ruleset
#define __NR_landlock_create_ruleset 444
#define __NR_landlock_add_rule 445
#define __NR_landlock_restrict_self 446
#endif

struct RulesetAttr {
    std::uint64_t handled_access_fs;
    std::uint64_t handled_access_net;  // ABI 4
    std::uint64_t scoped;              // ABI 6
};

struct __attribute__((packed)) PathBeneathAttr {
    std::uint64_t allowed_access;
    std::int32_t parent_fd;
};

constexpr std::uint32_t create_ruleset_version = 1U << 0;
constexpr int rule_path_beneath = 1;

constexpr std::uint64_t execute = 1ULL << 0;
constexpr std::uint64_t write_file = 1ULL << 1;
constexpr std::uint64_t read_file = 1ULL << 2;
constexpr std::uint64_t read_dir = 1ULL << 3;
constexpr std::uint64_t truncate = 1ULL << 14;   // ABI 3
constexpr std::uint64_t ioctl_dev = 1ULL << 15;  // ABI 5
constexpr std::uint64_t file_rights = execute | write_file | read_file | truncate | ioctl_dev;

constexpr std::uint64_t net_bind_tcp = 1ULL << 0;
constexpr std::uint64_t net_connect_tcp = 1ULL << 1;
constexpr std::uint64_t scope_abstract_unix_socket = 1ULL << 0;
constexpr std::uint64_t scope_signal = 1ULL << 1;

// Every file-system right the given ABI knows.
std::uint64_t fs_rights(int abi) {
    std::uint64_t rights = (1ULL << 13) - 1;  // ABI 1: execute .. make_sym
    if (abi >= 2) rights |= 1ULL << 13;       // refer
    if (abi >= 3) rights |= truncate;
    if (abi >= 5) rights |= ioctl_dev;
    return rights;
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

std::string failed(const char* what, const std::string& path = "") {
    std::string text = std::string(what) + (path.empty() ? "" : " " + path) + ": " + std::strerror(errno);
    return text;
}

// Grants `rights` beneath `path` (a file gets only the rights that apply to files). A missing
// path is no error: the rule would grant nothing.
bool allow(int ruleset, const std::string& path, std::uint64_t rights, std::string& why) {
    Fd target(open(path.c_str(), O_PATH | O_CLOEXEC));
    if (target.get() < 0) {
        if (errno == ENOENT || errno == ENOTDIR || errno == EACCES) return true;
        why = failed("cannot open", path);
        return false;
    }
    struct stat info{};
    if (fstat(target.get(), &info) != 0) {
        why = failed("cannot inspect", path);
        return false;
    }
    if (!S_ISDIR(info.st_mode)) rights &= file_rights;
    PathBeneathAttr rule{rights, target.get()};
    if (syscall(__NR_landlock_add_rule, ruleset, rule_path_beneath, &rule, 0) != 0) {
        why = failed("cannot add a rule for", path);
        return false;
    }
    return true;
}

}  // namespace

int abi_version() {
    const long abi = syscall(__NR_landlock_create_ruleset, nullptr, 0, create_ruleset_version);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

bool restrict_self(const Policy& policy, std::string& why) {
    const int abi = abi_version();
    if (abi < 1) {
        why = "the kernel offers no Landlock (" + std::string(std::strerror(errno)) + ")";
        return false;
    }
    const std::uint64_t all = fs_rights(abi);
    RulesetAttr attributes{all, 0, 0};
    std::size_t size = sizeof(std::uint64_t);
    if (abi >= 4) {
        // No TCP rule is added: binding and connecting are refused on any port.
        attributes.handled_access_net = net_bind_tcp | net_connect_tcp;
        size = 2 * sizeof(std::uint64_t);
    }
    if (abi >= 6) {
        attributes.scoped = scope_abstract_unix_socket | scope_signal;
        size = sizeof attributes;
    }
    Fd ruleset(static_cast<int>(syscall(__NR_landlock_create_ruleset, &attributes, size, 0)));
    if (ruleset.get() < 0) {
        why = failed("cannot create a Landlock ruleset");
        return false;
    }
    const std::uint64_t reading = execute | read_file | read_dir;
    for (const std::string& path : policy.read_only)
        if (!allow(ruleset.get(), path, reading, why)) return false;
    for (const std::string& path : policy.devices)
        if (!allow(ruleset.get(), path, (read_file | write_file | truncate | ioctl_dev) & all, why)) return false;
    for (const std::string& path : policy.read_write)
        if (!allow(ruleset.get(), path, all, why)) return false;
    if (!policy.writable_file.empty() &&
        !allow(ruleset.get(), policy.writable_file, (read_file | write_file | truncate) & all, why))
        return false;
    if (syscall(__NR_landlock_restrict_self, ruleset.get(), 0) != 0) {
        why = failed("cannot enforce the Landlock ruleset");
        return false;
    }
    return true;
}

}  // namespace qx::landlock
