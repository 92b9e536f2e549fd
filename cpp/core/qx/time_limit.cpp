#include "qx/time_limit.hpp"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "qx/boundary.hpp"

namespace qx {

struct TimeLimit::State {
    unsigned long thread_id = 0;
    PyObject* exception_class = nullptr;  // strong reference, released under the GIL by the limit
    std::chrono::steady_clock::time_point deadline;
    std::chrono::nanoseconds repeat{0};  // between interruptions, for code that catches the first
    std::mutex mutex;
    std::condition_variable wake;
    bool ended = false;  // written under the GIL and the mutex, so the watchdog's check is exact
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

// Under the GIL: schedules the exception in the limited thread unless the limit has ended.
// Returns 1 to keep watching, 0 to stop, -1 with a Python error set when it could not be delivered.
int interrupt(TimeLimit::State& state) {
    // The limited thread cannot end the limit while this thread holds the GIL, so a limit still
    // running here is still running when the exception is scheduled.
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.ended) return 0;
    const int reached = PyThreadState_SetAsyncExc(state.thread_id, state.exception_class);
    if (reached == 1) {
        state.fired = true;
        return 1;
    }
    // Several thread states with one id means the exception went astray: take it back everywhere.
    if (reached > 1) PyThreadState_SetAsyncExc(state.thread_id, nullptr);
    PyErr_Format(PyExc_SystemError, "the analysis time limit could not interrupt thread %lu (%d thread states matched)",
                 state.thread_id, reached);
    return -1;
}

void watch(const std::shared_ptr<TimeLimit::State>& state) {
    // Code that catches the exception and carries on is interrupted again, one span later.
    for (auto deadline = state->deadline;; deadline += state->repeat) {
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            if (state->wake.wait_until(lock, deadline, [&] { return state->ended; })) return;
        }
        // Once the interpreter is shutting down, taking the GIL would hang or end this thread.
        if (interpreter_finalizing()) return;
        HeldGil gil;
        const int outcome = guarded<int>(
            "watchdog", [] { return std::string("time limit watchdog"); }, [&] { return interrupt(*state); });
        // Nobody waits on this thread to hear of a failure: report it as unraisable and stop.
        if (outcome < 0) PyErr_WriteUnraisable(nullptr);
        if (outcome != 1) return;
    }
}

// The watchdog thread's body: nothing may leave it (that would be std::terminate).
void run_watchdog(const std::shared_ptr<TimeLimit::State>& state) {
    try {
        watch(state);
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

}  // namespace

TimeLimit::TimeLimit(double seconds, py::handle exception_class) : state_(std::make_shared<State>()) {
    state_->thread_id = PyThread_get_thread_ident();
    state_->exception_class = exception_class.inc_ref().ptr();
    // Beyond a few decades a deadline means "never"; the clamp keeps the clock arithmetic in range.
    const auto span =
        std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::duration<double>(std::min(seconds, 1e9)));
    state_->deadline = std::chrono::steady_clock::now() + span;
    state_->repeat = std::max<std::chrono::nanoseconds>(span, std::chrono::milliseconds(10));
    try {
        watchdog_ = std::thread(run_watchdog, state_);
    } catch (...) {
        Py_DECREF(state_->exception_class);
        throw;
    }
}

TimeLimit::~TimeLimit() {
    bool fired;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->ended = true;
        fired = state_->fired;
    }
    state_->wake.notify_all();
    {
        // The watchdog may be waiting for the GIL to learn that the limit has ended.
        py::gil_scoped_release release;
        watchdog_.join();
    }
    // Scheduled but perhaps not raised yet: withdraw it. Harmless when it has been raised; the count
    // of states reached does not matter when withdrawing.
    if (fired) static_cast<void>(PyThreadState_SetAsyncExc(state_->thread_id, nullptr));
    Py_DECREF(state_->exception_class);
}

bool TimeLimit::fired() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->fired;
}

}  // namespace qx
