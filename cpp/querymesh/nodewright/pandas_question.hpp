// Shared by the analysis-code nodes: which question the analysis program should answer.
#pragma once

#include <pybind11/pybind11.h>

#include "qx/truth.hpp"

namespace nodewright {

namespace py = pybind11;

// The rewritten question when a rewrite produced one, otherwise the user's own question.  Both
// keys are read (user_question first), as a missing one must fail the same way either way.
inline py::object chosen_question(const py::dict& state) {
    py::object user_question = state[py::str("user_question")];
    py::object rewritten_question = state[py::str("rewritten_question")];
    return qx::truth(rewritten_question) ? rewritten_question : user_question;
}

}  // namespace nodewright
