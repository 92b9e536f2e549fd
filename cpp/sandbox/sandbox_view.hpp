// The worker's view of the file system: a mount namespace whose root is an empty tmpfs holding
// only what the worker may use (the Python installation, shared libraries, fonts, a few devices,
// its run folder and the chart file), each mounted at the path it has on the host, so that paths
// mean what they mean in-process. Everything else does not exist for the program: `os.stat` and
// `os.path.exists` learn nothing of the host's other files. Symbolic links met on the way to an
// entry (/lib -> usr/lib) are recreated where they are.
//
// Built in two steps: `build` (in a prepared worker, before any request) mounts the fixed part and
// keeps the host's tree under /.host; `expose_file` and `make_directory` add what one request
// needs (the chart, the working directory); `seal` then covers the host's tree with an empty,
// read-only mount (/.host stays, empty). The root's own folders are the worker's to write only
// in its user namespace, and Landlock refuses that too; whatever lands there stays in the
// worker's memory, within the root's 4 MiB, and goes with it. Needs CAP_SYS_ADMIN in the worker's own mount and user
// namespaces.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::sandbox::view {

struct Entry {
    enum class Kind { read_only, device };
    std::string path;
    Kind kind = Kind::read_only;
};

struct Plan {
    std::vector<Entry> entries;
    std::string mount_point;  // an empty directory of the host for the new root
    std::string run_folder;   // becomes a tmpfs of its own, the only writable place
    std::uint64_t quota = 0;  // its size in bytes
    unsigned owner = 0;       // its owner and group as the worker will be
    unsigned group = 0;
};

// Enters the new root. False (with the reason) when a step fails; the worker is then in an
// unknown state of its own mount namespace and must not be used for a view.
bool build(const Plan& plan, std::string& why);

// Mounts the host's file `path` (absolute) at the same place, writable.
bool expose_file(const std::string& path, std::string& why);

// Creates `path` (absolute) as an empty directory unless it exists, so the worker can enter it.
void make_directory(const std::string& path);

// Sets the run folder's quota for this request.
bool set_quota(const std::string& run_folder, std::uint64_t quota, std::string& why);

// Covers the host's tree for good.
bool seal(std::string& why);

}  // namespace qx::sandbox::view
