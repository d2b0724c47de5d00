// suggest: review comments from findings.
#include "suggest.hpp"

namespace vettor::suggest {

void register_driver(py::module_& m) { (void)m; }

}  // namespace vettor::suggest
