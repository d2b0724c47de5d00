// helpers: node editing helpers.
#include "helpers.hpp"

namespace vettor::helpers {

void register_editing(py::module_& m) { (void)m; }

}  // namespace vettor::helpers
