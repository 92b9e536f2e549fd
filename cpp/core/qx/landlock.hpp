// File-system (and, where the kernel knows how, TCP and signal) confinement with Landlock.
//
// The kernel headers of older distributions lack the newer parts of the interface, so the few
// constants and structures needed are declared here, as the kernel documents them.
#pragma once

#include <string>
#include <vector>

namespace qx::landlock {

// The Landlock ABI version the running kernel offers, 0 when it offers none.
int abi_version();

struct Policy {
    std::vector<std::string> read_only;   // directories or files: read and execute
    std::vector<std::string> read_write;  // directories: everything inside them
    std::vector<std::string> devices;     // character devices read and written (/dev/null)
    std::string writable_file;            // one existing file: read, write, truncate ("" for none)
};

// Restricts the calling thread (and everything it starts) to `policy`. Paths that do not exist
// are skipped. TCP bind/connect and signals or abstract sockets leaving the domain are denied too
// when the kernel supports it. Needs no_new_privs. On failure returns false and says why.
bool restrict_self(const Policy& policy, std::string& why);

}  // namespace qx::landlock
