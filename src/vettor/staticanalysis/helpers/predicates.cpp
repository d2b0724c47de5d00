// helpers: Django class predicates.
#include "helpers.hpp"

namespace vettor::helpers {

void register_predicates(py::module_& m) { (void)m; }

}  // namespace vettor::helpers
