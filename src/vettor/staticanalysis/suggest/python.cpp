// suggest: suggestions for Python files.
#include "suggest.hpp"

namespace vettor::suggest {

void register_python(py::module_& m) { (void)m; }

}  // namespace vettor::suggest
