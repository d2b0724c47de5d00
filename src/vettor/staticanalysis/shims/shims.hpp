// Internal to the shims module: the registration function of each topic file, called in this
// order by shims.cpp, and the module handle they share.
#pragma once

#include <vettor/pyutil.hpp>

namespace vettor::shims {

// The shims module itself, for reading its names at call time: G("safe_infer")(node).
extern ModuleRef G;

// Inference transforms for `Model.objects` chains: `QuerySetNode`, the predicates and
// inference functions.
void register_inference(py::module_& m);

// Managers that know their model: `LookupMethod`, `ManagerNode` and the managers a model
// declares.
void register_managers(py::module_& m);

// Related managers, querysets of class views, get_object_or_404 and annotated parameters.
void register_relations(py::module_& m);

// The settings-file builder: its four fold functions and `BuilderWithSettingsTransforms`.
void register_settings_builder(py::module_& m);

// `register_transforms(manager)`: every inference transform above, on one manager.
void register_transform_registration(py::module_& m);

// Where a transform keeps the inference function a node had before it set its own.
constexpr const char* kInferenceBefore = "_vettor_inference_before";

// Whether the shims' predicates are inferring, that is, whether astroid is building a tree.
bool inferring_while_building();

// One value `node` infers to, in `context` when one is given, within the inference budget
// that runs (helpers.within_inference_budget); None when inference fails or is ambiguous.
py::object infer_value(py::handle node, py::handle context = py::handle());

}  // namespace vettor::shims
