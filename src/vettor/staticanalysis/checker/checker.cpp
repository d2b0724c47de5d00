// The lint driver: runs pylint with the package's rule checkers over a project's Python files
// and the template checker over its HTML templates, and hands back the findings as plain
// records, filtered by code, path and line, with the project's Django-version finding.
//
// Loading this module loads every rule module, because the registration lists name their
// checker classes. This file holds the load-time body; the classes and functions live in one
// file per topic, registered below in a fixed order.
#include "checker.hpp"

#include <string>

namespace vettor::checker {

ModuleRef G;

}  // namespace vettor::checker

VETTOR_MODULE(checker, m) {
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

  // The rule modules, in import order; their Checker classes make the registration lists.
  py::dict rule_modules;
  for (const char* name : {"admin", "migrations", "columns", "classorder", "querysets",
                           "settings", "urls", "templates"}) {
    py::module_ module = import_sibling(m, std::string("checkers.") + name);
    m.attr(name) = module;
    rule_modules[name] = module;
  }

  for (const char* name : {"dependencies", "message_templates", "meta", "render", "helpers"}) {
    m.attr(name) = import_sibling(m, name);
  }

  register_progress(m);
  register_rule_tables(m, rule_modules);
  register_linter(m);
  register_entry_points(m);
  register_single_text(m);
  register_message_names(m);
  register_per_file_ignores(m);
  register_project_config(m);
  register_process_state(m);
}
