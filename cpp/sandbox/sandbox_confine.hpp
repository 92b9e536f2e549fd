// The process-wide steps of a worker's confinement, besides Landlock (landlock.hpp), the process
// filter (process_filter.hpp) and the file-system view (sandbox_view.hpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::sandbox::confine {

// The id a root host's workers take, user and group: the kernel's overflow id ("nobody"), which
// owns no files and is no login's. Peer-credential authentication (MariaDB's unix_socket,
// PostgreSQL's peer) then cannot take a worker for root; and a worker cannot signal, chmod or
// write what root owns. A host that is not root cannot hand out another id; its workers keep its
// own inside a user namespace of their own.
constexpr unsigned sandbox_id = 65534;

bool host_is_root();

// The owner the worker's files get: the sandbox id for a root host, else the host's own.
unsigned worker_uid();
unsigned worker_gid();

struct Layers {
    std::vector<std::string> missing;  // "name: reason"
    bool user_namespace = false;       // the worker has one of its own (a host that is not root)
    bool mount_namespace = false;
};

// New user (for a host that is not root), network and mount namespaces for the calling process.
// What the OS refuses is added to `layers.missing`.
void enter_namespaces(Layers& layers);

// Empties the bounding set (what a process could ever gain) and the ambient set. The capabilities
// the process holds stay until drop_privileges.
void empty_bounding_set();

// Takes the sandbox id (a root host) and drops every capability for good. Afterwards no mount,
// namespace or id change is possible any more.
void drop_privileges(Layers& layers);

// Address space, CPU seconds (a little above the time limit), file size, descriptors, no core
// dumps, and tasks where the count is the worker's own (its user namespace).
void set_limits(double seconds, std::uint64_t memory, std::uint64_t file_size, const Layers& layers);

}  // namespace qx::sandbox::confine
