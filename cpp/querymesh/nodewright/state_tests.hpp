// Comparisons of state values as Python's operators make them inside an `if`.
#pragma once

#include "qx/truth.hpp"

namespace nodewright {

using qx::compare;
using qx::truth;

}  // namespace nodewright
