// Settings rules: a project's Django settings module checked against Django's deployment
// security advice (what `manage.py check --deploy` warns about), with fixes that add the
// missing setting or middleware entry, or remove the insecure statement.
//
// A settings module is read the way Django would import it: its statements in order, the
// `from ... import *` of a split settings package followed into the files it names, and the
// path and environment look-ups folded by the settings-file builder of `shims`. What cannot be
// read that way (a value computed at run time, an import that cannot be followed) is unknown,
// and a rule never reports on an unknown value. What the module leaves unset takes the
// default of the Django version being checked.
//
// This file holds the load-time body; the reader, the rules and the fixes live in one file
// each.
#include "settings.hpp"

namespace vettor::settings {

ModuleRef G;

}  // namespace vettor::settings

PYBIND11_MODULE(settings, m) {
  using namespace vettor;
  using namespace vettor::settings;
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("dependencies") = import_sibling(m, "dependencies", 2);
  m.attr("meta") = import_sibling(m, "meta", 2);
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("_UNKNOWN") = import("builtins").attr("object")();
  // Absolute path -> text of settings files that a project transform has fixed but not yet
  // written: a settings module that imports one of them is judged with the fixed text.
  m.attr("fixed_sources") = py::dict();

  m.attr("SECURITY_MIDDLEWARE") = kSecurityMiddleware;
  m.attr("XFRAME_MIDDLEWARE") = kXFrameMiddleware;
  m.attr("CSRF_MIDDLEWARE") = kCsrfMiddleware;
  m.attr("HSTS_SECONDS") = kHstsSeconds;
  // Findings whose fix the project fixes (--fix, --diff) leave to the site's owner, with what
  // the owner decides: a settings file cannot tell whether every subdomain serves HTTPS, and
  // a domain on the browsers' preload lists stays there for months. Lint findings as ever;
  // transform_code and the review suggestions still offer their fix, to a person who asks.
  py::dict decisions;
  decisions["C4011"] = "whether HTTP Strict Transport Security covers every subdomain";
  decisions["C4017"] = "whether the domain goes on the browsers' HSTS preload lists";
  m.attr("DOMAIN_DECISIONS") = decisions;

  m.attr("Codes") = make_codes(m, {"C4005", "C4007", "C4008", "C4009", "C4010", "C4011", "C4012",
                                   "C4013", "C4014", "C4015", "C4016", "C4017"});
  m.attr("Checker") = make_checker(m, helpers);

  for (const Rule& rule : kRules) {
    const char* code = rule.code;
    m.def(
        rule.predicate,
        [code](py::object module_node, py::object settings_modpath) {
          return predicate(code, module_node, settings_modpath);
        },
        py::arg("module_node"), py::arg("settings_modpath"));
    m.def(
        rule.transform, [code](py::object module_node) { return transform(code, module_node); },
        py::arg("module_node"));
  }
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"),
        py::arg("settings_modpath"));
  m.def("remove_node", &remove_node, py::arg("atok"), py::arg("node"), py::arg("start"),
        py::arg("end"));
}
