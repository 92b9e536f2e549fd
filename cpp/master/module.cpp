// quorlix.master
#include "qx/module.hpp"

namespace master {
namespace {

void body(pybind11::module_&) {}

}  // namespace
}  // namespace master

QX_MODULE(master, nullptr, master::body)
