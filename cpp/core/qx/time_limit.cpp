#include "qx/time_limit.hpp"

#include <pthread.h>
#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qx/boundary.hpp"

namespace qx {

using Clock = std::chrono::steady_clock;

struct TimeLimit::State {
    unsigned long thread_id = 0;
    PyObject* exception_class = nullptr;  // strong reference, released under the GIL by the limit
    Clock::time_point deadline;
    std::chrono::nanoseconds repeat{0};  // between interruptions, for code that catches the first
    bool ended = false;                  // written under the GIL and the watchdog's mutex
    bool fired = false;
};

namespace {

// Holds the GIL on the watchdog's thread, also while an exception unwinds.
class HeldGil {
public:
    HeldGil() : state_(PyGILState_Ensure()) {}
    ~HeldGil() { PyGILState_Release(state_); }
    HeldGil(const HeldGil&) = delete;
    HeldGil& operator=(const HeldGil&) = delete;

private:
    PyGILState_STATE state_;
};

// One watchdog thread for the whole process, started with the first limit and then kept: a limit
// costs two short critical sections, not a thread started and joined per run (joining also meant
// giving up the GIL and waiting for the scheduler to run the watchdog once more).
//
// Lock order: the GIL before the mutex. The limited threads hold the GIL when they take the mutex,
// and the watchdog lets go of the mutex before it asks for the GIL.
class Watchdog {
public:
    void add(const std::shared_ptr<TimeLimit::State>& limit) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!started_) {
            std::thread(&Watchdog::run, this).detach();
            started_ = true;
        }
        limits_.push_back(limit);
        // Waking the watchdog is a system call; it is only needed when it sleeps past this deadline.
        if (limit->deadline < sleeps_until_) wake_.notify_one();
    }

    // Returns whether the limit had fired.
    bool remove(const std::shared_ptr<TimeLimit::State>& limit) {
        std::lock_guard<std::mutex> lock(mutex_);
        limit->ended = true;
        limits_.erase(std::remove(limits_.begin(), limits_.end(), limit), limits_.end());
        return limit->fired;
    }

    bool fired(const std::shared_ptr<TimeLimit::State>& limit) {
        std::lock_guard<std::mutex> lock(mutex_);
        return limit->fired;
    }

private:
    void watch() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            if (limits_.empty()) {
                sleeps_until_ = Clock::time_point::max();
                wake_.wait(lock);
                continue;
            }
            const auto first = std::min_element(limits_.begin(), limits_.end(),
                                                [](const auto& a, const auto& b) { return a->deadline < b->deadline; });
            if (Clock::now() < (*first)->deadline) {
                // An ended limit is not looked for: waking at its deadline finds nothing due.
                sleeps_until_ = (*first)->deadline;
                wake_.wait_until(lock, sleeps_until_);
                continue;
            }
            std::shared_ptr<TimeLimit::State> due = *first;
            lock.unlock();
            // Once the interpreter is shutting down, taking the GIL would hang or end this thread.
            if (interpreter_finalizing()) return;
            {
                HeldGil gil;
                lock.lock();
                const int outcome = guarded<int>(
                    "watchdog", [] { return std::string("time limit watchdog"); }, [&] { return deliver(*due); });
                // A limit whose exception cannot be delivered is dropped rather than retried forever.
                if (outcome < 0) limits_.erase(std::remove(limits_.begin(), limits_.end(), due), limits_.end());
                lock.unlock();
                // Nobody waits on this thread to hear of a failure: report it as unraisable.
                if (outcome < 0) PyErr_WriteUnraisable(nullptr);
            }
            lock.lock();
        }
    }

    // Under the GIL and the mutex. The limited thread cannot end its limit while this thread holds the
    // GIL, so a limit not ended here is still running when the exception is scheduled.
    // Schedules the exception in the limited thread unless its limit has
    // ended. Returns 1 when scheduled or ended, -1 with a Python error set when it could not be.
    static int deliver(TimeLimit::State& due) {
        if (due.ended) return 1;
        const int reached = PyThreadState_SetAsyncExc(due.thread_id, due.exception_class);
        if (reached != 1) {
            // Several thread states with one id means the exception went astray: take it back.
            if (reached > 1) PyThreadState_SetAsyncExc(due.thread_id, nullptr);
            PyErr_Format(PyExc_SystemError,
                         "the analysis time limit could not interrupt thread %lu (%d thread states matched)",
                         due.thread_id, reached);
            return -1;
        }
        due.fired = true;
        // Code that catches the exception and carries on is interrupted again, one span later.
        due.deadline += due.repeat;
        return 1;
    }

    // The thread's body: nothing may leave it (that would be std::terminate).
    void run() {
        try {
            watch();
#if defined(__GLIBCXX__)
        } catch (abi::__forced_unwind&) {
            throw;
#endif
        } catch (...) {
            if (interpreter_finalizing()) return;
            HeldGil gil;
            set_error_from_current_exception();
            PyErr_WriteUnraisable(nullptr);
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::vector<std::shared_ptr<TimeLimit::State>> limits_;
    Clock::time_point sleeps_until_ = Clock::time_point::max();  // not sleeping on any deadline yet
    bool started_ = false;
};

// Never destroyed: the detached thread may still wait on it while the process exits.
Watchdog* watchdog = nullptr;

// A forked child has no watchdog thread, and the parent's mutex may have been held at the fork:
// the child starts over with a watchdog of its own (the old one is left untouched).
void renew_after_fork() {
    watchdog = new Watchdog();
}

Watchdog& the_watchdog() {
    static const bool ready = [] {
        watchdog = new Watchdog();
        pthread_atfork(nullptr, nullptr, renew_after_fork);
        return true;
    }();
    (void)ready;
    return *watchdog;
}

}  // namespace

TimeLimit::TimeLimit(double seconds, py::handle exception_class) : state_(std::make_shared<State>()) {
    state_->thread_id = PyThread_get_thread_ident();
    state_->exception_class = exception_class.inc_ref().ptr();
    // Beyond a few decades a deadline means "never"; the clamp keeps the clock arithmetic in range.
    const auto span =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(std::min(seconds, 1e9)));
    state_->deadline = Clock::now() + span;
    state_->repeat = std::max<std::chrono::nanoseconds>(span, std::chrono::milliseconds(10));
    the_watchdog().add(state_);
}

TimeLimit::~TimeLimit() {
    // Scheduled but perhaps not raised yet: withdraw it. Harmless when it has been raised.
    // The count of thread states reached does not matter when withdrawing.
    if (the_watchdog().remove(state_)) static_cast<void>(PyThreadState_SetAsyncExc(state_->thread_id, nullptr));
    Py_DECREF(state_->exception_class);
}

bool TimeLimit::fired() const {
    return the_watchdog().fired(state_);
}

}  // namespace qx
