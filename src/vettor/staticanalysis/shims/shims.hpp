// Internal to the shims module: the registration function of each topic file, called in this
// order by shims.cpp, and the module handle they share.
#pragma once

#include <vettor/pyutil.hpp>

namespace vettor::shims {

// The shims module itself, for reading its names at call time: G("safe_infer")(node).
extern ModuleRef G;

// Inference transforms for models, managers and querysets: `QuerySetNode`, the predicates and
// inference functions, and `register_transforms(manager)`.
void register_inference(py::module_& m);

// The settings-file builder: its four fold functions and `BuilderWithSettingsTransforms`.
void register_settings_builder(py::module_& m);

}  // namespace vettor::shims
