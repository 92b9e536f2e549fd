#include "sandbox_view.hpp"

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace qx::sandbox::view {
namespace {

constexpr const char* host_tree = "/.host";
constexpr int max_links = 40;  // as the kernel's own limit on links in one lookup

// mount_setattr(2) (Linux 5.12), declared here for C libraries that predate it.
constexpr long sys_mount_setattr = 442;
constexpr unsigned at_recursive = 0x8000;
constexpr std::uint64_t mount_attr_rdonly = 0x00000001;
struct MountAttr {
    std::uint64_t attr_set;
    std::uint64_t attr_clr;
    std::uint64_t propagation;
    std::uint64_t userns_fd;
};

std::string failed(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

std::vector<std::string> components(const std::string& path) {
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at < path.size()) {
        const std::size_t end = std::min(path.find('/', at), path.size());
        if (end > at) parts.push_back(path.substr(at, end - at));
        at = end + 1;
    }
    return parts;
}

std::string parent_of(const std::string& path) {
    const std::size_t slash = path.rfind('/');
    return slash == 0 || slash == std::string::npos ? "" : path.substr(0, slash);
}

// `mkdir -p`, ignoring what exists already (or cannot be made: the mount that needs it fails).
void make_parents(const std::string& path) {
    for (std::size_t at = 1; at <= path.size(); ++at) {
        if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
    }
}

// Resolves `path` one component at a time, reading the host's tree under `host` and recreating
// each symbolic link met on the way at the same place under `view`. Returns the path with no
// links left ("/" for the root), or "" when a component is missing or the links loop.
std::string follow(const std::string& path, const std::string& host, const std::string& view, int links = 0) {
    const std::vector<std::string> parts = components(path);
    std::string resolved;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (parts[i] == ".") continue;
        if (parts[i] == "..") {
            resolved = parent_of(resolved);
            continue;
        }
        const std::string candidate = resolved + "/" + parts[i];
        struct stat info{};
        if (lstat((host + candidate).c_str(), &info) != 0) return "";
        if (!S_ISLNK(info.st_mode)) {
            resolved = candidate;
            continue;
        }
        if (links >= max_links) return "";
        std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
        const ssize_t length = readlink((host + candidate).c_str(), target.data(), target.size());
        if (length < 0 || static_cast<std::size_t>(length) >= target.size()) return "";
        target.resize(static_cast<std::size_t>(length));
        make_parents(view + resolved);
        symlink(target.c_str(), (view + candidate).c_str());  // EEXIST: made by an earlier entry
        std::string rest = target.front() == '/' ? target : resolved + "/" + target;
        for (std::size_t j = i + 1; j < parts.size(); ++j) rest += "/" + parts[j];
        return follow(rest, host, view, links + 1);
    }
    return resolved.empty() ? "/" : resolved;
}

bool covered(const std::string& path, const std::vector<std::string>& mounted) {
    for (const std::string& done : mounted) {
        if (path == done ||
            (path.size() > done.size() && path.compare(0, done.size(), done) == 0 && path[done.size()] == '/'))
            return true;
    }
    return false;
}

// A mount point of the right kind at `target`: a directory, or an empty file to mount a file on.
void make_mount_point(const std::string& target, bool directory) {
    make_parents(directory ? target : parent_of(target));
    if (directory) return;
    const int fd = open(target.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) close(fd);
}

bool make_read_only(const std::string& target, std::string& why) {
    MountAttr attributes{mount_attr_rdonly, 0, 0, 0};
    if (syscall(sys_mount_setattr, AT_FDCWD, target.c_str(), at_recursive, &attributes, sizeof attributes) == 0)
        return true;
    // An older kernel: remount the top mount only, keeping the flags a user namespace must keep.
    struct statvfs info{};
    if (statvfs(target.c_str(), &info) != 0) {
        why = failed("cannot inspect " + target);
        return false;
    }
    unsigned long flags = MS_BIND | MS_REMOUNT | MS_RDONLY;
    if (info.f_flag & ST_NOSUID) flags |= MS_NOSUID;
    if (info.f_flag & ST_NODEV) flags |= MS_NODEV;
    if (info.f_flag & ST_NOEXEC) flags |= MS_NOEXEC;
    if (info.f_flag & ST_NOATIME) flags |= MS_NOATIME;
    if (info.f_flag & ST_NODIRATIME) flags |= MS_NODIRATIME;
    if (info.f_flag & ST_RELATIME) flags |= MS_RELATIME;
    if (mount(nullptr, target.c_str(), nullptr, flags, nullptr) != 0) {
        why = failed("cannot make " + target + " read-only");
        return false;
    }
    return true;
}

bool bind_mount(const std::string& source, const std::string& target, bool read_only, std::string& why) {
    struct stat info{};
    if (stat(source.c_str(), &info) != 0) return true;  // nothing to show
    make_mount_point(target, S_ISDIR(info.st_mode));
    if (mount(source.c_str(), target.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
        why = failed("cannot mount " + source);
        return false;
    }
    return !read_only || make_read_only(target, why);
}

std::string tmpfs_options(std::uint64_t size, unsigned owner, unsigned group) {
    return "size=" + std::to_string(size) + ",mode=0700,uid=" + std::to_string(owner) + ",gid=" + std::to_string(group);
}

}  // namespace

bool build(const Plan& plan, std::string& why) {
    // Nothing mounted from here on may reach the host's namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
        why = failed("cannot make the mounts private");
        return false;
    }
    const std::string& root = plan.mount_point;
    if (mount("tmpfs", root.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, "size=4m,nr_inodes=16384,mode=0755") != 0) {
        why = failed("cannot mount the new root");
        return false;
    }
    std::vector<std::pair<std::string, Entry::Kind>> targets;
    for (const Entry& entry : plan.entries) {
        const std::string real = follow(entry.path, "", root);
        if (!real.empty() && real != "/") targets.emplace_back(real, entry.kind);
    }
    // Parents before what lies inside them, so that a folder mounted whole is not mounted twice.
    std::stable_sort(targets.begin(), targets.end(),
                     [](const auto& a, const auto& b) { return a.first.size() < b.first.size(); });
    std::vector<std::string> mounted;
    for (const auto& [real, kind] : targets) {
        if (covered(real, mounted)) continue;
        if (!bind_mount(real, root + real, kind == Entry::Kind::read_only, why)) return false;
        mounted.push_back(real);
    }
    const std::string folder = follow(plan.run_folder, "", root);
    if (folder.empty()) {
        why = "the run folder " + plan.run_folder + " is missing";
        return false;
    }
    make_parents(root + folder);
    if (mount("tmpfs", (root + folder).c_str(), "tmpfs", MS_NOSUID | MS_NODEV,
              tmpfs_options(plan.quota, plan.owner, plan.group).c_str()) != 0) {
        why = failed("cannot mount the run folder");
        return false;
    }
    const std::string settings = root + folder + "/.matplotlib";
    if (mkdir(settings.c_str(), 0700) != 0 || chown(settings.c_str(), plan.owner, plan.group) != 0) {
        why = failed("cannot prepare the run folder");
        return false;
    }
    if (mkdir((root + host_tree).c_str(), 0700) != 0 || chdir(root.c_str()) != 0 ||
        syscall(SYS_pivot_root, ".", host_tree + 1) != 0 || chdir("/") != 0) {
        why = failed("cannot enter the new root");
        return false;
    }
    return true;
}

bool expose_file(const std::string& path, std::string& why) {
    const std::string real = follow(path, host_tree, "");
    struct stat info{};
    if (real.empty() || lstat((host_tree + real).c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return true;
    return bind_mount(host_tree + real, real, false, why);
}

void make_directory(const std::string& path) {
    const std::string real = follow(path, host_tree, "");
    struct stat info{};
    if (!real.empty() && stat((host_tree + real).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) make_parents(real);
}

bool set_quota(const std::string& run_folder, std::uint64_t quota, std::string& why) {
    const std::string size = "size=" + std::to_string(quota);
    if (mount(nullptr, run_folder.c_str(), nullptr, MS_REMOUNT | MS_NOSUID | MS_NODEV, size.c_str()) != 0) {
        why = failed("cannot set the run folder's quota");
        return false;
    }
    return true;
}

bool seal(std::string& why) {
    // Covered rather than unmounted: detaching a tree waits for an RCU grace period (milliseconds,
    // on the run's critical path), while the cover costs one mount and the tree goes with the
    // worker's namespace when it exits. Nothing in the worker can lift the cover: it keeps no
    // capability, Landlock forbids changing mounts and the process filter refuses umount.
    if (mount("tmpfs", host_tree, "tmpfs", MS_RDONLY | MS_NOSUID | MS_NODEV | MS_NOEXEC,
              "size=4k,nr_inodes=1,mode=0") != 0) {
        why = failed("cannot cover the host's file system");
        return false;
    }
    return true;
}

}  // namespace qx::sandbox::view
