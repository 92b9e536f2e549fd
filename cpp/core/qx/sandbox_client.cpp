#include "qx/sandbox_client.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "qx/sandbox_parent.hpp"
#include "qx/sandbox_protocol.hpp"

namespace qx::sandbox {
namespace {

// Beyond the time limit, what a worker may take to start, to stop itself and to report.
constexpr auto backstop_grace = std::chrono::seconds(3);
// After a kill, how long the parent may take to report the worker's end.
constexpr auto reap_grace = std::chrono::seconds(10);

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int get() const { return fd_; }
    void reset(int fd = -1) {
        if (fd_ >= 0) close(fd_);
        fd_ = fd;
    }
    int release() {
        const int fd = fd_;
        fd_ = -1;
        return fd;
    }

private:
    int fd_;
};

std::string failure(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

class Parent {
public:
    void configure(const Launch& launch) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (launch_.argv.empty()) launch_ = launch;
    }

    bool ensure_started(std::string& why) {
        std::lock_guard<std::mutex> lock(mutex_);
        return start_locked(why);
    }

    // Sends a request; a parent found dead is replaced once. Returns which parent took it.
    unsigned long send(const Message& request) {
        std::lock_guard<std::mutex> lock(mutex_);
        for (int attempt = 0; attempt < 2; ++attempt) {
            std::string why;
            if (!start_locked(why)) throw std::runtime_error(why);
            if (send_message(control_, request)) return generation_;
            stop_locked();
        }
        throw std::runtime_error(failure("cannot reach the analysis sandbox"));
    }

    // For a parent that took a request and never answered: replace it, unless another thread
    // has done so already.
    void restart(unsigned long generation) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (generation == generation_) stop_locked();
    }

private:
    bool running_locked() {
        if (pid_ < 0) return false;
        if (waitpid(pid_, nullptr, WNOHANG) == 0) return true;
        pid_ = -1;
        if (control_ >= 0) close(control_);
        control_ = -1;
        remove_folder_locked();
        return false;
    }

    // A parent that was killed could not remove its folder of run folders.
    void remove_folder_locked() {
        if (!folder_.empty()) remove_tree(folder_);
        folder_.clear();
    }

    void stop_locked() {
        if (control_ >= 0) close(control_);
        control_ = -1;
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        pid_ = -1;
        remove_folder_locked();
    }

    bool start_locked(std::string& why) {
        if (running_locked()) return true;
        if (launch_.argv.empty()) {
            why = "the analysis sandbox is not configured";
            return false;
        }
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            why = failure("cannot create the analysis sandbox's socket");
            return false;
        }
        Descriptor mine(pair[0]);
        Descriptor theirs(pair[1]);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, theirs.get(), 3);
        posix_spawn_file_actions_addclosefrom_np(&actions, 4);
        posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        posix_spawnattr_t attributes;
        posix_spawnattr_init(&attributes);
        sigset_t none;
        sigemptyset(&none);
        sigset_t defaults;
        sigfillset(&defaults);
        posix_spawnattr_setsigmask(&attributes, &none);
        posix_spawnattr_setsigdefault(&attributes, &defaults);
        // Its own process group: a terminal's Ctrl-C is for the host to handle.
        posix_spawnattr_setpgroup(&attributes, 0);
        posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
        std::string folder = launch_.temporary_root + "/quorlix-analysis-XXXXXX";
        if (mkdtemp(folder.data()) == nullptr) {
            why = failure("cannot create the analysis sandbox's folder");
            return false;
        }
        std::vector<std::string> arguments = launch_.argv;
        arguments.at(launch_.folder_argument) = folder;
        std::vector<char*> argv;
        for (std::string& argument : arguments) argv.push_back(argument.data());
        argv.push_back(nullptr);
        std::vector<char*> environment;
        for (std::string& entry : launch_.environment) environment.push_back(entry.data());
        environment.push_back(nullptr);
        pid_t pid = -1;
        const int error = posix_spawn(&pid, argv[0], &actions, &attributes, argv.data(), environment.data());
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attributes);
        if (error != 0) {
            why = "cannot start the analysis sandbox (" + launch_.argv[0] + "): " + std::strerror(error);
            remove_tree(folder);
            return false;
        }
        pid_ = pid;
        folder_ = folder;
        control_ = mine.release();
        ++generation_;
        return true;
    }

    std::mutex mutex_;
    Launch launch_;
    pid_t pid_ = -1;
    int control_ = -1;
    std::string folder_;
    unsigned long generation_ = 0;
};

Parent& parent() {
    static Parent* instance = new Parent();  // lives as long as the process; no exit-time teardown
    return *instance;
}

}  // namespace

void configure(const Launch& launch) {
    parent().configure(launch);
}

bool prestart(std::string& why) {
    return parent().ensure_started(why);
}

namespace {

// One attempt. `lost` is set when the parent went away before it started a worker: the request
// never ran and may be sent again.
Outcome run_once(const Request& request, bool& lost, unsigned long& generation) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error(failure("cannot create an analysis channel"));
    Descriptor channel(pair[0]);
    {
        Descriptor theirs(pair[1]);
        char seconds[64];
        std::snprintf(seconds, sizeof seconds, "%.17g", request.seconds);
        generation = parent().send(
            Message{Kind::request,
                    {request.code, request.code_is_bytes ? "1" : "0", seconds, std::to_string(request.memory),
                     request.chart, request.required ? "1" : "0", request.directory},
                    theirs.get()});
    }

    Outcome outcome;
    Descriptor pidfd;
    bool created_chart = false;
    const auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(request.seconds, 1e9)));
    auto deadline = Clock::now() + limit + backstop_grace;
    bool killed = false;
    for (;;) {
        Message message;
        const Received received = receive_message(channel.get(), message, deadline);
        if (received == Received::message) {
            if (message.kind == Kind::started && pidfd.get() < 0) {
                pidfd.reset(message.fd);
                created_chart = message.fields.size() >= 2 && message.fields[1] == "1";
                continue;
            }
            if (message.fd >= 0) close(message.fd);
            if (message.kind == Kind::result && !outcome.reported && message.fields.size() >= 6) {
                outcome.reported = true;
                outcome.kind = message.fields[0];
                outcome.text = message.fields[1];
                outcome.stray_out = message.fields[2];
                outcome.stray_err = message.fields[3];
                outcome.missing = message.fields[4];
                outcome.exit_type = message.fields[5];
                break;  // the worker only exits now; its end need not be awaited
            } else if (message.kind == Kind::exited && !message.fields.empty()) {
                outcome.exited = true;
                outcome.status = std::atoi(message.fields[0].c_str());
                break;
            }
            continue;
        }
        if (received == Received::closed) {
            lost = pidfd.get() < 0 && !outcome.reported;
            break;
        }
        if (received == Received::timed_out && !killed && !outcome.reported) {
            // The program is past its limit and did not stop itself (blocked in one C call, or
            // catching the TimeoutError): the worker is killed. Without a pidfd the parent itself
            // is stuck and is replaced, which takes its workers with it.
            killed = true;
            outcome.timed_out = true;
            if (pidfd.get() >= 0) {
                syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
            } else {
                parent().restart(generation);
            }
            deadline = Clock::now() + reap_grace;
            continue;
        }
        // Garbage on the channel, or no word even after a kill: stop waiting, never hang.
        if (pidfd.get() >= 0) syscall(SYS_pidfd_send_signal, pidfd.get(), SIGKILL, nullptr, 0);
        break;
    }
    // A chart file made for this run and left empty is removed here, by the side that knows the
    // run is over (the parent may reap the worker after the next run made the file again).
    struct stat info{};
    if (created_chart && stat(request.chart.c_str(), &info) == 0 && info.st_size == 0) unlink(request.chart.c_str());
    return outcome;
}

}  // namespace

Outcome run(const Request& request) {
    bool lost = false;
    unsigned long generation = 0;
    Outcome outcome = run_once(request, lost, generation);
    if (!lost) return outcome;
    parent().restart(generation);
    lost = false;
    return run_once(request, lost, generation);
}

}  // namespace qx::sandbox
