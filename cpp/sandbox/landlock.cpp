#include "landlock.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace qx::landlock {
namespace {

constexpr long sys_create_ruleset = 444;
constexpr long sys_add_rule = 445;
constexpr long sys_restrict_self = 446;

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

// What each ABI added that the sandbox's promises rest on.
struct Feature {
    int abi;
    const char* name;
};
constexpr Feature features[] = {
    {3, "file truncation"},
    {4, "TCP bind and connect"},
    {5, "device ioctl"},
    {6, "signal and abstract-socket scoping"},
};

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
    return std::string(what) + (path.empty() ? "" : " " + path) + ": " + std::strerror(errno);
}

}  // namespace

int abi_version() {
    const long abi = syscall(sys_create_ruleset, nullptr, 0, create_ruleset_version);
    return abi < 0 ? 0 : static_cast<int>(abi);
}

std::vector<std::string> lacking(int abi) {
    std::vector<std::string> lines;
    if (abi < 1) return lines;  // the whole layer is missing; its caller says so
    for (const Feature& feature : features) {
        if (abi >= feature.abi) continue;
        lines.push_back(std::string(feature.name) + " (Landlock ABI " + std::to_string(feature.abi) +
                        "): this kernel offers Landlock ABI " + std::to_string(abi));
    }
    return lines;
}

Ruleset::~Ruleset() {
    if (fd_ >= 0) close(fd_);
}

bool Ruleset::create(int abi, std::string& why) {
    if (abi < 1) {
        why = "the kernel offers no Landlock";
        return false;
    }
    handled_ = fs_rights(abi);
    RulesetAttr attributes{handled_, 0, 0};
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
    fd_ = static_cast<int>(syscall(sys_create_ruleset, &attributes, size, 0));
    if (fd_ < 0) {
        why = failed("cannot create a Landlock ruleset");
        return false;
    }
    fcntl(fd_, F_SETFD, FD_CLOEXEC);
    return true;
}

// Grants `rights` beneath `path` (a file gets only the rights that apply to files).
bool Ruleset::allow(const std::string& path, unsigned long long rights, std::string& why) {
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
    PathBeneathAttr rule{rights & handled_, target.get()};
    if (syscall(sys_add_rule, fd_, rule_path_beneath, &rule, 0) != 0) {
        why = failed("cannot add a rule for", path);
        return false;
    }
    return true;
}

bool Ruleset::allow_reading(const std::string& path, std::string& why) {
    return allow(path, execute | read_file | read_dir, why);
}

bool Ruleset::allow_device(const std::string& path, std::string& why) {
    return allow(path, read_file | write_file | truncate | ioctl_dev, why);
}

bool Ruleset::allow_everything(const std::string& path, std::string& why) {
    return allow(path, handled_, why);
}

bool Ruleset::allow_writing_file(const std::string& path, std::string& why) {
    return allow(path, read_file | write_file | truncate, why);
}

bool Ruleset::restrict_self(std::string& why) {
    if (syscall(sys_restrict_self, fd_, 0) != 0) {
        why = failed("cannot enforce the Landlock ruleset");
        return false;
    }
    close(fd_);
    fd_ = -1;
    return true;
}

}  // namespace qx::landlock
