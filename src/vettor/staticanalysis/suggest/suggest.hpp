// Internal to the suggest module: the registration function of each topic file, called in
// this order by suggest.cpp, and the module handle they share.
#pragma once

#include <vettor/pyutil.hpp>

namespace vettor::suggest {

// The suggest module itself, for reading its names at call time.
extern ModuleRef G;

void register_renderer(py::module_& m);    // comment-preserving renderer
void register_formatting(py::module_& m);  // quote normaliser and Black formatting
void register_python(py::module_& m);      // suggestions for Python files
void register_html(py::module_& m);        // suggestions for templates
void register_driver(py::module_& m);      // grouping findings into review comments

}  // namespace vettor::suggest
