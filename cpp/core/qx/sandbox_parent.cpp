#include "qx/sandbox_parent.hpp"

#include <fcntl.h>
#include <ftw.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qx/sandbox_protocol.hpp"
#include "qx/sandbox_worker.hpp"

namespace qx::sandbox {
namespace {

struct Run {
    pid_t pid = -1;
    int pidfd = -1;
    int channel = -1;
    std::string folder;
    std::string chart;  // a file this run created for the chart, removed if left empty
};

int pidfd_open(pid_t pid) {
    return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

void send_failure(int channel, const std::string& text) {
    send_message(channel, Message{Kind::result, {"error", text, "", "", "", ""}, -1});
}

// A chart path that does not exist yet is created empty, so that Landlock can grant this one
// file (a rule needs an existing file) rather than the whole folder. Returns the granted path.
std::string prepare_chart(const std::string& path, std::string& created) {
    if (path.empty()) return "";
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0) {
        close(fd);
        created = path;
        return path;
    }
    struct stat info{};
    if (errno == EEXIST && stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode)) return path;
    return "";  // a missing folder or anything but a file: the program's write fails as before
}

void start_run(const Message& request, const ParentConfig& config, std::vector<Run>& runs, unsigned long number) {
    Run run;
    run.channel = request.fd;
    if (run.channel < 0) return;
    if (request.fields.size() < 7) {
        send_failure(run.channel, "RuntimeError: malformed analysis request");
        close(run.channel);
        return;
    }
    run.folder = config.base + "/run-" + std::to_string(number);
    if (mkdir(run.folder.c_str(), 0700) != 0 || mkdir((run.folder + "/.matplotlib").c_str(), 0700) != 0) {
        send_failure(run.channel,
                     "RuntimeError: cannot create the analysis run folder: " + std::string(std::strerror(errno)));
        close(run.channel);
        remove_tree(run.folder);
        return;
    }
    WorkerSetup setup;
    setup.channel = run.channel;
    setup.folder = run.folder;
    setup.chart = prepare_chart(request.fields[4], run.chart);
    setup.read_only = config.read_only;
    setup.environment = config.environment;
    setup.code = request.fields[0];
    setup.code_is_bytes = request.fields[1] == "1";
    setup.seconds = std::strtod(request.fields[2].c_str(), nullptr);
    setup.memory = std::strtoull(request.fields[3].c_str(), nullptr, 10);
    setup.required = request.fields[5] == "1";
    setup.directory = request.fields[6];
    setup.timeout_class = config.timeout_class;

    PyOS_BeforeFork();
    const pid_t pid = fork();
    if (pid == 0) {
        PyOS_AfterFork_Child();
        run_worker(setup);
    }
    PyOS_AfterFork_Parent();
    if (pid < 0) {
        send_failure(run.channel,
                     "RuntimeError: cannot start the analysis worker: " + std::string(std::strerror(errno)));
    } else {
        run.pid = pid;
        // Not reaped yet, so the pid still names this worker.
        run.pidfd = pidfd_open(pid);
        if (run.pidfd < 0) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
            send_failure(run.channel,
                         "RuntimeError: cannot watch the analysis worker: " + std::string(std::strerror(errno)));
            run.pid = -1;
        } else {
            send_message(run.channel,
                         Message{Kind::started, {std::to_string(pid), run.chart.empty() ? "0" : "1"}, run.pidfd});
            runs.push_back(run);
            return;
        }
    }
    close(run.channel);
    if (!run.chart.empty()) unlink(run.chart.c_str());
    remove_tree(run.folder);
}

void remove_if_empty(const std::string& path) {
    struct stat info{};
    if (!path.empty() && stat(path.c_str(), &info) == 0 && info.st_size == 0) unlink(path.c_str());
}

void finish_run(Run& run) {
    int status = 0;
    while (waitpid(run.pid, &status, 0) < 0 && errno == EINTR) {
    }
    remove_tree(run.folder);
    send_message(run.channel, Message{Kind::exited, {std::to_string(status)}, -1});
    close(run.channel);
    close(run.pidfd);
}

int remove_entry(const char* path, const struct stat*, int type, FTW*) {
    if (type == FTW_DP) {
        rmdir(path);
    } else {
        unlink(path);
    }
    return 0;
}

}  // namespace

void remove_tree(const std::string& path) {
    nftw(path.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS | FTW_MOUNT);
}

void serve(int control, const ParentConfig& config) {
    // Ctrl-C in the host's terminal is the host's business; it reaches workers through the host.
    signal(SIGINT, SIG_IGN);
    std::vector<Run> runs;
    unsigned long started = 0;
    for (;;) {
        std::vector<pollfd> waiting{{control, POLLIN, 0}};
        for (const Run& run : runs) waiting.push_back({run.pidfd, POLLIN, 0});
        if (poll(waiting.data(), waiting.size(), -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (std::size_t i = runs.size(); i-- > 0;) {
            if (waiting[i + 1].revents == 0) continue;
            finish_run(runs[i]);
            runs.erase(runs.begin() + static_cast<std::ptrdiff_t>(i));
        }
        if (waiting[0].revents == 0) continue;
        Message request;
        const Received received = receive_message(control, request, Clock::time_point::max());
        if (received != Received::message) {
            if (request.fd >= 0) close(request.fd);
            break;
        }
        if (request.kind == Kind::request) {
            start_run(request, config, runs, ++started);
        } else if (request.fd >= 0) {
            close(request.fd);
        }
    }
    // The host is gone: nobody will read what the workers would say.
    for (Run& run : runs) {
        syscall(SYS_pidfd_send_signal, run.pidfd, SIGKILL, nullptr, 0);
        finish_run(run);
        remove_if_empty(run.chart);
    }
}

}  // namespace qx::sandbox
