// suggest: comment-preserving renderer.
#include "suggest.hpp"

namespace vettor::suggest {

void register_renderer(py::module_& m) { (void)m; }

}  // namespace vettor::suggest
