// Internal to the shims module: the registration function of each topic file, called in this
// order by shims.cpp.
#pragma once

#include <vettor/pyutil.hpp>

namespace vettor::shims {

void register_inference(py::module_& m);         // inference shims for models, managers, querysets
void register_settings_builder(py::module_& m);  // settings-file builder

}  // namespace vettor::shims
