// Tells astroid what Django's model, manager and queryset look-ups infer to, and builds
// settings files with the settings transforms.
#include "shims.hpp"

PYBIND11_MODULE(shims, m) {
  vettor::shims::register_inference(m);
  vettor::shims::register_settings_builder(m);
}
