// helpers: token-indexed tree builder.
#include "helpers.hpp"

namespace vettor::helpers {

void register_atok(py::module_& m) { (void)m; }

}  // namespace vettor::helpers
