#include "sandbox_client.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>
#include <stdexcept>

#include "sandbox_confine.hpp"
#include "sandbox_parent.hpp"
#include "sandbox_protocol.hpp"

namespace qx::sandbox {
namespace {

// Beyond the time limit, what a worker may take to start, to stop itself and to report.
constexpr auto backstop_grace = std::chrono::seconds(3);
// After the host asked for the worker's end, how long the parent may take to report it.
constexpr auto reap_grace = std::chrono::seconds(10);

class Descriptor {
public:
    explicit Descriptor(int fd = -1) : fd_(fd) {}
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    Descriptor(Descriptor&& other) noexcept : fd_(other.release()) {}
    Descriptor& operator=(Descriptor&& other) noexcept {
        reset(other.release());
        return *this;
    }
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

// A socket pair: `mine` stays here, `theirs` goes to the parent with the request.
struct Pair {
    Descriptor mine;
    Descriptor theirs;
};

Pair socket_pair(const char* what) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) throw std::runtime_error(failure(what));
    Pair pair;
    pair.mine.reset(fds[0]);
    pair.theirs.reset(fds[1]);
    return pair;
}

// The chart file, made writable for the worker for the length of a run. A Landlock rule (and a
// mount in the worker's view) can only name a file that exists, and granting the chart's folder
// would let the program write anything beside it: a missing chart is created empty here, and
// removed afterwards if the program left it empty. A root host's workers run under another id,
// so the file is theirs for the run and given back afterwards, as it was.
class ChartGrant {
public:
    explicit ChartGrant(const std::string& path) : path_(path) {
        if (path.empty()) return;
        fd_.reset(open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644));
        created_ = fd_.get() >= 0;
        if (!created_) fd_.reset(open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (fd_.get() < 0 || fstat(fd_.get(), &before_) != 0 || !S_ISREG(before_.st_mode)) {
            // A missing folder or anything but a file: nothing is granted, and the program's
            // write fails as it would have.
            fd_.reset();
            created_ = false;
            return;
        }
        handed_over_ = confine::host_is_root() && fchown(fd_.get(), confine::sandbox_id, confine::sandbox_id) == 0;
    }

    ~ChartGrant() {
        if (fd_.get() < 0) return;
        struct stat now{};
        const bool same =
            stat(path_.c_str(), &now) == 0 && now.st_ino == before_.st_ino && now.st_dev == before_.st_dev;
        if (created_ && same && now.st_size == 0) {
            unlink(path_.c_str());
            return;
        }
        if (handed_over_ && fchown(fd_.get(), before_.st_uid, before_.st_gid) == 0)
            fchmod(fd_.get(), before_.st_mode & 07777);
    }

    ChartGrant(const ChartGrant&) = delete;
    ChartGrant& operator=(const ChartGrant&) = delete;

    // The path the worker may write, or "" when nothing is granted.
    std::string granted() const { return fd_.get() >= 0 ? path_ : ""; }

private:
    std::string path_;
    Descriptor fd_;
    struct stat before_{};
    bool created_ = false;
    bool handed_over_ = false;
};

bool take_confined(const Message& message, Outcome& outcome) {
    if (message.kind != Kind::confined || message.fields.size() < 2) return false;
    outcome.confined = true;
    outcome.missing = message.fields[0];
    outcome.runs = message.fields[1] == "1";
    return true;
}

bool take_result(const Message& message, Outcome& outcome) {
    const std::vector<std::string>& fields = message.fields;
    if (message.kind != Kind::result || fields.size() < 6) return false;
    static const char* const kinds[] = {"ok", "error", "exit", "interrupt"};
    if (std::find(std::begin(kinds), std::end(kinds), fields[0]) == std::end(kinds)) return false;
    outcome.reported = true;
    outcome.kind = fields[0];
    outcome.text = fields[1];
    outcome.length = std::strtoull(fields[2].c_str(), nullptr, 10);
    outcome.stray_out = fields[3];
    outcome.stray_err = fields[4];
    outcome.exit_type = fields[5];
    return true;
}

int milliseconds_until(Clock::time_point deadline) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return static_cast<int>(std::clamp<long long>(left + 1, 0, 1 << 30));
}

// One attempt. `lost` is set when the parent went away before a worker took the request: the
// program never ran and may be sent again.
Outcome run_once(const Request& request, const std::string& chart, bool& lost, unsigned long& generation) {
    Pair lifecycle = socket_pair("cannot create an analysis channel");
    Pair data = socket_pair("cannot create an analysis channel");
    char seconds[64];
    std::snprintf(seconds, sizeof seconds, "%.17g", request.seconds);
    generation =
        parent().send(Message{Kind::request,
                              {request.code, request.code_is_bytes ? "1" : "0", seconds, std::to_string(request.memory),
                               chart, request.required ? "1" : "0", request.directory,
                               std::to_string(request.output_limit), std::to_string(request.quota)},
                              {lifecycle.theirs.get(), data.theirs.get()}});
    lifecycle.theirs.reset();
    data.theirs.reset();

    Outcome outcome;
    const Limits confined_limits{max_confined_frame, false};
    const Limits result_limits{max_result_frame(request.output_limit), false};
    const auto limit =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(std::min(request.seconds, 1e9)));
    auto deadline = Clock::now() + limit + backstop_grace;
    bool data_open = true;
    bool lifecycle_open = true;
    bool stopping = false;
    while (!outcome.reported && !outcome.malformed && outcome.failure.empty() && (data_open || lifecycle_open)) {
        // Once the parent has said how the worker ended, only what the worker wrote is left.
        if (outcome.exited && !data_open) break;
        pollfd waiting[2] = {{data_open ? data.mine.get() : -1, POLLIN, 0},
                             {lifecycle_open ? lifecycle.mine.get() : -1, POLLIN, 0}};
        const int ready = poll(waiting, 2, milliseconds_until(deadline));
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) throw std::runtime_error(failure("cannot wait for the analysis worker"));
        if (ready == 0) {
            if (stopping) {
                // The parent did not answer even after the kill: it is stuck, and replaced.
                parent().restart(generation);
                break;
            }
            // The program is past its limit and did not stop itself (blocked in one C call, or
            // catching the TimeoutError): the parent ends the worker.
            stopping = true;
            outcome.timed_out = true;
            shutdown(lifecycle.mine.get(), SHUT_WR);
            deadline = Clock::now() + reap_grace;
            continue;
        }
        if (waiting[0].revents != 0) {
            Message message;
            const Received received =
                receive_message(data.mine.get(), message, deadline, outcome.confined ? result_limits : confined_limits);
            if (received == Received::message) {
                outcome.malformed =
                    !(outcome.confined ? take_result(message, outcome) : take_confined(message, outcome));
            } else if (received == Received::malformed) {
                outcome.malformed = true;
            } else {
                data_open = false;  // ended, or a frame still unfinished at the deadline
            }
            continue;
        }
        Message message;
        if (receive_message(lifecycle.mine.get(), message, deadline) != Received::message) {
            lifecycle_open = false;
            continue;
        }
        close_fds(message);
        if (message.kind == Kind::exited && !message.fields.empty()) {
            outcome.exited = true;
            outcome.status = std::atoi(message.fields[0].c_str());
        } else if (message.kind == Kind::failed && !message.fields.empty()) {
            outcome.failure = message.fields[0];
        }
        lifecycle_open = !outcome.exited;
    }
    lost = !outcome.confined && !outcome.exited && outcome.failure.empty() && !outcome.malformed && !stopping;
    // Leaving closes both channels: the parent ends the worker, if it has not ended, at once.
    return outcome;
}

}  // namespace

Outcome run(const Request& request) {
    const ChartGrant chart(request.chart);
    bool lost = false;
    unsigned long generation = 0;
    Outcome outcome = run_once(request, chart.granted(), lost, generation);
    if (!lost) return outcome;
    parent().restart(generation);
    lost = false;
    return run_once(request, chart.granted(), lost, generation);
}

}  // namespace qx::sandbox
