// Review suggestions: findings of a code review become review comments that carry
// suggested-change blocks with the fixed lines, or a disable pragma for the line.
#include "suggest.hpp"

namespace vettor::suggest {

ModuleRef G;

}  // namespace vettor::suggest

PYBIND11_MODULE(suggest, m) {
  using namespace vettor;
  using namespace vettor::suggest;
  G.bind(m);

  m.attr("defaultdict") = lookup("collections", "defaultdict");
  for (const char* name : {"functools", "logging", "re", "textwrap"}) m.attr(name) = import(name);
  m.attr("tok_name") = lookup("token", "tok_name");
  m.attr("patch") = lookup("unittest.mock", "patch");
  m.attr("astroid") = import("astroid");
  m.attr("black") = import("black");
  for (const char* name : {"constants", "helpers", "meta"}) m.attr(name) = import_sibling(m, name);
  for (const char* name : {"templates", "columns", "settings", "migrations", "querysets", "urls"}) {
    m.attr(name) = import_sibling(m, std::string("checkers.") + name);
  }

  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));

  // astroid moved its renderer into astroid.nodes; older releases keep it at the top level.
  m.attr("AsStringVisitor") = on_error(
      PyExc_ModuleNotFoundError,
      [] { return lookup("astroid.as_string", "AsStringVisitor"); },
      [] { return lookup("astroid.nodes.as_string", "AsStringVisitor"); });

  register_renderer(m);
  register_formatting(m);
  register_splice(m);
  register_python(m);
  register_html(m);
  register_driver(m);
}
