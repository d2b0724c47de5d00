// helpers: node values and call arguments.
#include "helpers.hpp"

namespace vettor::helpers {

void register_values(py::module_& m) { (void)m; }

}  // namespace vettor::helpers
