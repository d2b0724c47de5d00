// shims: settings-file builder.
#include "shims.hpp"

namespace vettor::shims {

void register_settings_builder(py::module_& m) { (void)m; }

}  // namespace vettor::shims
