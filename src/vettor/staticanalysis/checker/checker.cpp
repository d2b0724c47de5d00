// The lint driver: runs pylint with the package's rule checkers over a project's Python files
// and the template checker over its HTML templates, and hands back the findings as plain
// records, filtered by code, path and line, with the project's Django-version finding.
//
// Loading this module loads every rule module, because the registration lists name their
// checker classes. This file holds the load-time body; the classes and functions live in one
// file per topic, registered below in a fixed order.
#include "checker.hpp"

#include <string>
#include <utility>
#include <vector>

namespace vettor::checker {

ModuleRef G;

namespace {

// `from <package> import <name>`, except that a sibling which is not built yet is left out:
// the result is then empty. Any other error of the import (including a missing module that
// the sibling itself imports) fails the load.
py::object import_if_built(py::handle m, const char* name, int levels) {
  std::string full = sibling_name(m, name, levels);
  try {
    return py::module_::import(full.c_str());
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ModuleNotFoundError)) throw;
    py::object missing = py::getattr(e.value(), "name", py::none());
    if (missing.is_none() || py::str(missing).cast<std::string>() != full) throw;
  }
  return py::object();
}

}  // namespace

}  // namespace vettor::checker

PYBIND11_MODULE(checker, m) {
  using namespace vettor;
  using namespace vettor::checker;
  G.bind(m);

  m.attr("logging") = import("logging");
  m.attr("os") = import("os");
  m.attr("Path") = lookup("pathlib", "Path");
  m.attr("itertools") = import("itertools");
  m.attr("astroid") = import("astroid");
  m.attr("SpecifierSet") = lookup("packaging.specifiers", "SpecifierSet");
  m.attr("lint") = import("pylint.lint");
  m.attr("JSONReporter") = lookup("pylint.reporters", "JSONReporter");
  m.attr("tokenize") = import("tokenize");
  m.attr("NamedTuple") = lookup("typing", "NamedTuple");

  // The rule modules, in import order. Until every rule module is built, one that does not
  // exist yet is left out of the registration lists instead of failing the load; this goes
  // once all rule modules are in.
  py::dict rule_modules;
  for (const char* name : {"admin", "migrations", "columns", "classorder", "querysets",
                           "settings", "urls", "templates"}) {
    py::object module = import_if_built(m, (std::string("checkers.") + name).c_str(), 1);
    if (!module) continue;
    m.attr(name) = module;
    rule_modules[name] = module;
  }

  // The package's own outside modules. `render` (single-text rendering) is not built yet and
  // is likewise left out until it is.
  for (const char* name : {"dependencies", "message_templates", "meta", "render", "helpers"}) {
    py::object module = std::string(name) == "render" ? import_if_built(m, name, 1)
                                                      : import_sibling(m, name, 1);
    if (module) m.attr(name) = module;
  }

  register_progress(m);
  register_rule_tables(m, rule_modules);
  register_linter(m);
  register_entry_points(m);
  register_single_text(m);
}
