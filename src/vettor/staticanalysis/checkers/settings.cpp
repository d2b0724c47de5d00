// Settings rules: a project's Django settings module checked against Django's deployment
// security advice, with fixes that add the missing setting or remove the insecure one.
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;
}  // namespace

PYBIND11_MODULE(settings, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C4005", "C4007", "C4008", "C4009", "C4010", "C4011", "C4012",
                                   "C4013", "C4014", "C4015", "C4016", "C4017"});
  m.attr("Checker") = make_source_checker(m, "settings", py::dict());
}
