// What astroid cannot work out from Django's own source: inference transforms for model
// managers and querysets, and a builder that folds the path and environment look-ups that
// settings files compute their values with.
//
// This file holds the module's load-time body; the functions live in one file per topic,
// registered below in a fixed order.
#include "shims.hpp"

namespace vettor::shims {
ModuleRef G;
}  // namespace vettor::shims

PYBIND11_MODULE(shims, m) {
  using namespace vettor;
  using namespace vettor::shims;
  G.bind(m);

  m.attr("os") = import("os");
  m.attr("astroid") = import("astroid");
  m.attr("safe_infer") = lookup("pylint.checkers.utils", "safe_infer");
  m.attr("helpers") = import_sibling(m, "helpers");

  register_inference(m);
  register_managers(m);
  register_relations(m);
  register_settings_builder(m);
  register_transform_registration(m);

  // Last, once every name is bound: the inference transforms go on astroid's global manager
  // for the rest of the process.
  if (py::hasattr(m, "register_transforms")) {
    m.attr("register_transforms")(m.attr("astroid").attr("MANAGER"));
  }
}
