#include "qx/time_limit.hpp"

#include <pythread.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

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

void watch(const std::shared_ptr<TimeLimit::State>& state) {
    // Code that catches the exception and carries on is interrupted again, one span later.
    for (auto deadline = state->deadline;; deadline += state->repeat) {
        {
            std::unique_lock<std::mutex> lock(state->mutex);
            if (state->wake.wait_until(lock, deadline, [&] { return state->ended; })) return;
        }
        // The limited thread cannot end the limit while this thread holds the GIL, so a limit
        // still running here is still running when the exception is scheduled.
        const PyGILState_STATE gil = PyGILState_Ensure();
        {
            std::lock_guard<std::mutex> lock(state->mutex);
            if (!state->ended) {
                PyThreadState_SetAsyncExc(state->thread_id, state->exception_class);
                state->fired = true;
            }
        }
        PyGILState_Release(gil);
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
    watchdog_ = std::thread(watch, state_);
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
    // Scheduled but perhaps not raised yet: withdraw it. Harmless when it has been raised.
    if (fired) PyThreadState_SetAsyncExc(state_->thread_id, nullptr);
    Py_DECREF(state_->exception_class);
}

bool TimeLimit::fired() const {
    std::lock_guard<std::mutex> lock(state_->mutex);
    return state_->fired;
}

}  // namespace qx
