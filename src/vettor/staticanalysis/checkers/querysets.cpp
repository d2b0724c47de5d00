// Queryset rules: len() on a queryset, foreign-key primary keys read through the related
// object, count() where only existence matters, and querysets tested for truth.
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;
}  // namespace

PYBIND11_MODULE(querysets, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  import("pylint.checkers");  // `import pylint.checkers` binds the top-level package
  m.attr("pylint") = import("pylint");
  m.attr("safe_infer") = lookup("pylint.checkers.utils", "safe_infer");
  m.attr("IAstroidChecker") = lookup("pylint.interfaces", "IAstroidChecker");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C9000", "C9001", "C9002", "C9003"});
  m.attr("Checker") = make_source_checker(
      m, "querysets",
      make_msgs(helpers,
                {{"C9000", "queryset-length",
                  "Detects using len(queryset) instead of queryset.count()"},
                 {"C9001", "indirect-foreign-key", "Traversting foo.bar.pk instead of using foo.bar_pk"},
                 {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
                 {"C9003", "truthy-instead-exists",
                  "Using truthy/falsey check on queryset when exists could be better"}}));
}
