// URL configuration rules: URL names declared twice for the same parameters, and
// reverse_lazy used where reverse would do.
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;
}  // namespace

PYBIND11_MODULE(urls, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  import("astroid.builder");
  m.attr("astroid") = import("astroid");
  import("pylint.checkers");
  m.attr("pylint") = import("pylint");
  m.attr("IAstroidChecker") = lookup("pylint.interfaces", "IAstroidChecker");
  m.attr("resolvers") = import("django.urls.resolvers");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C6001", "C6002"});
  m.attr("Checker") = make_source_checker(
      m, "urls",
      make_msgs(helpers, {{"C6001", "non-unique-url-name", "Non unique URL name"},
                          {"C6002", "reverse-lazy-misuse",
                           "Using reverse_lazy when reverse would be better"}}));
}
