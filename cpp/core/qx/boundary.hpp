// The one place where C++ unwinding meets CPython.
//
// CPython calls into the core through C function pointers (vectorcall, tp_descr_get, getters, GC
// slots) and through the time limit's watchdog thread. A C++ exception that escaped one of them
// would cross C frames, which is undefined behaviour and in practice std::terminate. Every such
// entry point therefore runs its body inside `guarded`, which turns whatever was thrown into the
// Python exception it stands for, and refuses to hand CPython a NULL without an exception set.
#pragma once

#include <Python.h>
#include <pybind11/pybind11.h>

#include <string>
#include <type_traits>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace qx {

namespace py = pybind11;

// Sets the Python exception for the C++ exception being handled; call it only inside a catch
// block. A pending Python error (error_already_set) is restored as it was, pybind11's builtin
// exceptions become theirs, std::bad_alloc becomes MemoryError and anything else SystemError with
// its message.
void set_error_from_current_exception();

namespace detail {
// Test seam: when set, called with the entry's name before each guarded body runs. Only the
// private probe module sets it; every extension module links its own copy of the core, so the
// production modules never see it.
extern void (*entry_hook)(const char* entry);
void report_null_without_error(const std::string& function);
}  // namespace detail

// Runs `body` for the entry point `entry` (e.g. "call"); `function()` names what ran, for the
// message (computed only on the failure path). Returns what `body` returned, or the failure value of the
// slot (nullptr / -1) with a Python exception set. The forced unwinding that ends a thread
// (pthread_exit when a daemon thread wakes during finalization) is let through: swallowing it aborts.
template <class Result, class Body, class Name>
Result guarded(const char* entry, Name&& function, Body&& body) {
    try {
        if (detail::entry_hook != nullptr) detail::entry_hook(entry);
        Result result = body();
        if constexpr (std::is_pointer_v<Result>) {
            if (result == nullptr && !PyErr_Occurred()) detail::report_null_without_error(function());
        }
        return result;
#if defined(__GLIBCXX__)
    } catch (abi::__forced_unwind&) {
        throw;
#endif
    } catch (...) {
        set_error_from_current_exception();
    }
    if constexpr (std::is_pointer_v<Result>)
        return nullptr;
    else
        return -1;
}

// True once the interpreter has begun shutting down; threads of ours must then leave it alone.
bool interpreter_finalizing();

}  // namespace qx
