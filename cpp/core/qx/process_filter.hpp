// A seccomp filter that keeps a process from starting other programs or processes: fork, vfork,
// clone without CLONE_THREAD, execve and execveat fail with EPERM; clone3 (whose flags a filter
// cannot read) fails with ENOSYS, which makes the C library fall back to clone for threads.
// Threads stay possible. A fork bomb therefore stops at its first fork, even for root, whom
// RLIMIT_NPROC does not bind.
#pragma once

#include <string>

namespace qx::process_filter {

// Installs the filter on the calling thread (inherited by threads it starts later). Needs
// no_new_privs. On failure (another architecture, no seccomp) returns false and says why.
bool forbid_new_processes(std::string& why);

}  // namespace qx::process_filter
