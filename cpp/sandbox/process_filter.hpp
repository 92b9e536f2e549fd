// A seccomp filter for the analysis worker. Refused with EPERM:
//   - new programs and processes: fork, vfork, execve, execveat, clone without CLONE_THREAD
//     (clone3, whose flags a filter cannot read, fails with ENOSYS, which makes the C library fall
//     back to clone for threads). Threads stay possible; a fork bomb stops at its first fork, even
//     for root, whom RLIMIT_NPROC does not bind.
//   - sockets of any kind: socket, socketpair, connect, bind, listen, accept. A program needs
//     none, and a path socket (a database's /var/run/postgresql/.s.PGSQL.5432) is out of the reach
//     of Landlock and of the network namespace alike. io_uring, which could open and connect
//     sockets without these calls, is refused too.
//   - reaching into other processes and the kernel: ptrace, process_vm_readv/writev,
//     pidfd_getfd, new namespaces (unshare, setns), mounts, keyrings, bpf, perf events,
//     userfaultfd.
//   - truncate by path, which Landlock before ABI 3 does not see (ftruncate of a file opened for
//     writing still works).
// Every other architecture's calling convention ends the process: only x86_64 numbers are known.
#pragma once

#include <string>

namespace qx::process_filter {

// Installs the filter on the calling thread (inherited by threads it starts later). Needs
// no_new_privs. On failure (another architecture, no seccomp) returns false and says why.
bool install(std::string& why);

}  // namespace qx::process_filter
