// helpers: output and template helpers.
#include "helpers.hpp"

namespace vettor::helpers {

void register_output(py::module_& m) { (void)m; }

}  // namespace vettor::helpers
