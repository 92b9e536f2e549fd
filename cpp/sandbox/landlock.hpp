// File-system, TCP and scope confinement with Landlock.
//
// The kernel headers of older distributions lack the newer parts of the interface, so the few
// constants and structures needed are declared here, as the kernel documents them.
#pragma once

#include <string>
#include <vector>

namespace qx::landlock {

// The Landlock ABI version the running kernel offers, 0 when it offers none.
int abi_version();

// What the sandbox relies on that the given ABI lacks, one "name (Landlock ABI n): reason" each.
std::vector<std::string> lacking(int abi);

// A ruleset built in steps: made and filled with the rules known early, completed and enforced
// later. Every file-system right the ABI knows is handled, and so are TCP bind and connect (no
// port is allowed) and the scopes of signals and abstract sockets, where the ABI knows them.
class Ruleset {
public:
    Ruleset() = default;
    ~Ruleset();
    Ruleset(const Ruleset&) = delete;
    Ruleset& operator=(const Ruleset&) = delete;

    // False (with the reason) when the kernel offers no Landlock or refuses the ruleset.
    bool create(int abi, std::string& why);
    bool created() const { return fd_ >= 0; }

    // Rules: paths that do not exist are skipped (the rule would grant nothing).
    bool allow_reading(const std::string& path, std::string& why);       // read and execute
    bool allow_device(const std::string& path, std::string& why);        // read, write (/dev/null)
    bool allow_everything(const std::string& path, std::string& why);    // a writable folder
    bool allow_writing_file(const std::string& path, std::string& why);  // read, write, truncate

    // Restricts the calling thread (and every thread it starts later). Needs no_new_privs.
    bool restrict_self(std::string& why);

private:
    bool allow(const std::string& path, unsigned long long rights, std::string& why);
    int fd_ = -1;
    unsigned long long handled_ = 0;
};

}  // namespace qx::landlock
