#include "sandbox_parent.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>

#include "sandbox_confine.hpp"
#include "sandbox_protocol.hpp"
#include "sandbox_worker.hpp"

namespace qx::sandbox {
namespace {

// How long after a run starts or ends the parent waits before it prepares the next worker.
constexpr auto settle = std::chrono::milliseconds(10);
// A run folder's size until the request names its own.
constexpr std::uint64_t default_quota = std::uint64_t{256} << 20;

struct Worker {
    pid_t pid = -1;
    int pidfd = -1;
    int order = -1;          // while prepared: the channel its request goes on
    int lifecycle = -1;      // while running: the host's channel for this run
    bool host_done = false;  // the host closed or shut down its side: the worker is ended
    std::string folder;
};

int pidfd_open(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void kill_worker(const Worker& worker) {
    syscall(SYS_pidfd_send_signal, worker.pidfd, SIGKILL, nullptr, 0);
}

void send_failure(int lifecycle, const std::string& text) {
    send_message(lifecycle, Message{Kind::failed, {text}, {}});
}

std::string failure(const char* what) {
    return std::string("RuntimeError: ") + what + ": " + std::strerror(errno);
}

int remove_entry(const char* path, const struct stat*, int type, FTW*) {
    if (type == FTW_DP) {
        rmdir(path);
    } else {
        unlink(path);
    }
    return 0;
}

class Parent {
public:
    Parent(int control, const ParentConfig& config) : control_(control), config_(config) {
        view_.entries.reserve(config.read_only.size() + config.devices.size());
        for (const std::string& path : config.read_only) view_.entries.push_back({path, view::Entry::Kind::read_only});
        for (const std::string& path : config.devices) view_.entries.push_back({path, view::Entry::Kind::device});
        view_.mount_point = config.base + "/view";
        view_.quota = default_quota;
        view_.owner = confine::worker_uid();
        view_.group = confine::worker_gid();
        mkdir(view_.mount_point.c_str(), 0700);
        // A root host's workers run under another id: they must be able to pass through to
        // their run folders (which they own).
        if (confine::host_is_root()) chmod(config.base.c_str(), 0711);
    }

    void serve() {
        for (;;) {
            // Only while no program runs, and not just as one starts or ends: on a machine with
            // few cores the fork and the worker's preparation would take the CPU that the running
            // program, or the host reading its result, needs. Between runs (model calls in a
            // graph run) there is time enough; a request that finds no worker prepared gets one
            // forked for it.
            int timeout = -1;
            const bool programs_run =
                std::any_of(running_.begin(), running_.end(), [](const Worker& worker) { return !worker.host_done; });
            if (spares_.empty() && !spare_failed_ && !programs_run) {
                const auto now = Clock::now();
                if (now >= quiet_from_) {
                    spare_failed_ = !prepare_spare();
                } else {
                    timeout = static_cast<int>(
                        std::chrono::duration_cast<std::chrono::milliseconds>(quiet_from_ - now).count() + 1);
                }
            }
            std::vector<pollfd> waiting{{control_, POLLIN, 0}};
            for (const Worker& worker : running_) {
                waiting.push_back({worker.pidfd, POLLIN, 0});
                waiting.push_back({worker.host_done ? -1 : worker.lifecycle, POLLIN, 0});
            }
            for (const Worker& spare : spares_) waiting.push_back({spare.pidfd, POLLIN, 0});
            if (poll(waiting.data(), waiting.size(), timeout) < 0) {
                if (errno == EINTR) continue;
                break;
            }
            // Spares first (listed last): a prepared worker that died is forgotten, and none is
            // prepared again before the next request, so a worker that cannot start is not
            // forked over and over.
            const std::size_t first_spare = 1 + 2 * running_.size();
            for (std::size_t i = spares_.size(); i-- > 0;) {
                if (waiting[first_spare + i].revents == 0) continue;
                reap(spares_[i]);
                spares_.erase(spares_.begin() + static_cast<std::ptrdiff_t>(i));
                spare_failed_ = true;
            }
            for (std::size_t i = running_.size(); i-- > 0;) {
                Worker& worker = running_[i];
                if (waiting[2 + 2 * i].revents != 0) host_spoke(worker);
                if (waiting[1 + 2 * i].revents == 0) continue;
                finish(worker);
                running_.erase(running_.begin() + static_cast<std::ptrdiff_t>(i));
            }
            if (waiting[0].revents == 0) continue;
            Message request;
            if (receive_message(control_, request, Clock::time_point::max()) != Received::message) break;
            if (request.kind == Kind::request && request.fds.size() == 2) {
                start(request);
            } else {
                close_fds(request);
            }
        }
        // The host is gone: nobody will read what the workers would say.
        for (Worker& worker : running_) {
            kill_worker(worker);
            finish(worker);
        }
        for (Worker& spare : spares_) {
            kill_worker(spare);
            reap(spare);
        }
    }

private:
    // Forks a worker that prepares itself and waits for its request.
    bool prepare_spare() {
        Worker worker;
        worker.folder = config_.base + "/run-" + std::to_string(++folders_);
        // Without a file-system view the worker uses this folder as it is, under its own id.
        const std::string settings = worker.folder + "/.matplotlib";
        if (mkdir(worker.folder.c_str(), 0700) != 0 || mkdir(settings.c_str(), 0700) != 0 ||
            chown(worker.folder.c_str(), view_.owner, view_.group) != 0 ||
            chown(settings.c_str(), view_.owner, view_.group) != 0) {
            why_ = failure("cannot create the analysis run folder");
            remove_tree(worker.folder);
            return false;
        }
        int pair[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
            why_ = failure("cannot create an analysis worker's channel");
            remove_tree(worker.folder);
            return false;
        }
        WorkerSetup setup;
        setup.parent = getpid();
        setup.order = pair[1];
        setup.folder = worker.folder;
        setup.view = view_;
        setup.view.run_folder = worker.folder;
        setup.read_only = config_.read_only;
        setup.devices = config_.devices;
        setup.environment = config_.environment;
        setup.timeout_class = config_.timeout_class;

        PyOS_BeforeFork();
        const pid_t pid = fork();
        if (pid == 0) {
            PyOS_AfterFork_Child();
            close(pair[0]);
            run_worker(setup);
        }
        PyOS_AfterFork_Parent();
        close(pair[1]);
        if (pid < 0) {
            why_ = failure("cannot start an analysis worker");
            close(pair[0]);
            remove_tree(worker.folder);
            return false;
        }
        worker.pid = pid;
        worker.order = pair[0];
        // Not reaped yet, so the pid still names this worker.
        worker.pidfd = pidfd_open(pid);
        if (worker.pidfd < 0) {
            why_ = failure("cannot watch an analysis worker");
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            close(worker.order);
            remove_tree(worker.folder);
            return false;
        }
        spares_.push_back(worker);
        return true;
    }

    // Hands a request to a prepared worker; its lifecycle channel stays here.
    void start(Message& request) {
        const int lifecycle = request.fds[0];
        const int data = request.fds[1];
        request.fds.clear();
        spare_failed_ = false;
        quiet_from_ = Clock::now() + settle;
        for (int attempt = 0; attempt < 2; ++attempt) {
            if (spares_.empty() && !prepare_spare()) break;
            Worker worker = spares_.front();
            spares_.pop_front();
            const bool sent = send_message(worker.order, Message{Kind::request, request.fields, {data}});
            close(worker.order);
            worker.order = -1;
            if (!sent) {
                // It died while preparing: reap it and try a fresh one.
                why_ = failure("cannot reach an analysis worker");
                kill_worker(worker);
                reap(worker);
                continue;
            }
            close(data);
            worker.lifecycle = lifecycle;
            running_.push_back(worker);
            return;
        }
        close(data);
        send_failure(lifecycle, why_);
        close(lifecycle);
    }

    // The host wrote on, shut down or closed its side of a run's lifecycle channel: it has what
    // it wanted or gave up. Either way the worker is ended now.
    void host_spoke(Worker& worker) {
        char byte;
        const ssize_t got = recv(worker.lifecycle, &byte, 1, MSG_DONTWAIT);
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) return;
        worker.host_done = true;
        kill_worker(worker);
    }

    void reap(Worker& worker) {
        int status = 0;
        while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
        }
        last_status_ = status;
        remove_tree(worker.folder);
        close(worker.pidfd);
        if (worker.order >= 0) close(worker.order);
    }

    void finish(Worker& worker) {
        reap(worker);
        quiet_from_ = Clock::now() + settle;
        send_message(worker.lifecycle, Message{Kind::exited, {std::to_string(last_status_)}, {}});
        close(worker.lifecycle);
    }

    int control_;
    const ParentConfig& config_;
    view::Plan view_;
    std::deque<Worker> spares_;
    std::vector<Worker> running_;
    bool spare_failed_ = false;
    Clock::time_point quiet_from_{};
    unsigned long folders_ = 0;
    int last_status_ = 0;
    std::string why_ = "RuntimeError: cannot start an analysis worker";
};

}  // namespace

void remove_tree(const std::string& path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

void serve(int control, const ParentConfig& config) {
    // Ctrl-C in the host's terminal is the host's business; it reaches workers through the host.
    signal(SIGINT, SIG_IGN);
    Parent(control, config).serve();
}

}  // namespace qx::sandbox
