// quorlix.dbkeeper
#include "qx/module.hpp"

namespace dbkeeper {
namespace {

void body(pybind11::module_&) {}

}  // namespace
}  // namespace dbkeeper

QX_MODULE(dbkeeper, nullptr, dbkeeper::body)
