// Internal to the `urls` module: the registration function of its second topic, called by
// urls.cpp while the module loads.
#pragma once

#include <vettor/pyutil.hpp>

namespace vettor::urls {

// configuration.cpp: `read_url_configuration`, a project's routes read from its source.
void register_configuration(py::module_& m);

}  // namespace vettor::urls
