// suggest: suggestions for templates.
#include "suggest.hpp"

namespace vettor::suggest {

void register_html(py::module_& m) { (void)m; }

}  // namespace vettor::suggest
