// quorlix.codebench
#include "qx/module.hpp"

namespace codebench {
namespace {

void body(pybind11::module_&) {}

}  // namespace
}  // namespace codebench

QX_MODULE(codebench, nullptr, codebench::body)
