// What follows a failed SQL execution: another generation, the one question rewrite, or the final
// answer.  handle_sql_error decides on the counters as it finds them and sql_error_handler_condition
// on the counters after the handler's update is merged; both ask this one function, each handing
// it the way it reads the fields (the handler reads the counters once, the condition afresh for
// every test), so the two can never drift apart.
#pragma once

#include <pybind11/pybind11.h>

#include "state_tests.hpp"

namespace nodewright {

enum class SqlRetry { regenerate, rewrite, give_up };

// `count`, `budget` and `rewrites` are callables giving iteration_count, max_iterations and
// rewrite_count; the second test of each `and` is made only when the first holds.
template <class Count, class Budget, class Rewrites>
SqlRetry sql_retry(Count count, Budget budget, Rewrites rewrites) {
    const py::int_ zero(0);
    if (compare(count(), Py_LT, budget()) && compare(rewrites(), Py_EQ, zero)) return SqlRetry::regenerate;
    if (compare(count(), Py_EQ, budget()) && compare(rewrites(), Py_EQ, zero)) return SqlRetry::rewrite;
    return SqlRetry::give_up;
}

}  // namespace nodewright
