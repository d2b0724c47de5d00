// Internal to the helpers module: the registration function of each topic file, called in
// this order by helpers.cpp, and the module handle they share.
#pragma once

#include <vettor/pyutil.hpp>

namespace vettor::helpers {

// The helpers module itself, for reading its names at call time: G("safe_infer")(node).
extern ModuleRef G;

void register_atok(py::module_& m);        // token-indexed tree builder
void register_output(py::module_& m);      // output and template helpers
void register_predicates(py::module_& m);  // Django class predicates
void register_values(py::module_& m);      // node values and call arguments
void register_editing(py::module_& m);     // node editing helpers
void register_related(py::module_& m);     // the model a relation points to
void register_budget(py::module_& m);      // a budget of stack for inference

}  // namespace vettor::helpers
