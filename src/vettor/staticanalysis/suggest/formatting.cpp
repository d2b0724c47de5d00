// suggest: quote normaliser and Black formatting.
#include "suggest.hpp"

namespace vettor::suggest {

void register_formatting(py::module_& m) { (void)m; }

}  // namespace vettor::suggest
