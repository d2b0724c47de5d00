// The analyser's shared toolbox: every rule module, the lint driver, the code transformer and
// the suggestion builder import it and read its names at each use.
//
// This file holds the module's load-time body (the libraries it binds, the Django field-name
// sets, the message text type, the node-value error and the transform visitor); the functions
// live in one file per topic, registered below in a fixed order.
#include "helpers.hpp"

namespace vettor::helpers {

ModuleRef G;

namespace {

constexpr const char* kContextStringDoc =
    "\n    Allow deferring string render: instead of rendering string when pylint does "
    "'foo %s' % args use this and do\n    'foo {name}' % args to return a dict, save the dict "
    "in db then render on last worker\n\n    ";

// pylint renders a finding's text as `template % args`. With this type as the template the
// result is the argument record itself, so a finding carries its record to the caller, which
// renders the wording later from the code and the record.
py::object make_context_string(py::module_& m) {
  py::dict ns;
  ns["__doc__"] = kContextStringDoc;
  py::object cls = make_class(m, "context_string", bases_of(import("builtins").attr("str")), ns);
  add_method(cls, "__mod__", [](py::object, py::object kwargs) { return kwargs; },
             py::arg("kwargs"));
  return cls;
}

// astroid's own visit walks a module only; fixes are applied to single statements and
// expressions too, so the generic walk (children first, replacements written back) is the
// whole of visit.
py::object make_node_transform_visitor(py::module_& m) {
  py::object cls = make_class(m, "NodeTransformVisitor", bases_of(m.attr("TransformVisitor")));
  add_method(cls, "visit",
             [](py::object self, py::object node) { return self.attr("_visit_generic")(node); },
             py::arg("node"));
  return cls;
}

py::object load_const_factory() {
  try {
    return lookup("astroid", "const_factory");
  } catch (py::error_already_set& e) {
    // The attribute lives in astroid.nodes only in some astroid releases.
    if (!e.matches(PyExc_ImportError) && !e.matches(PyExc_AttributeError)) throw;
  }
  return lookup("astroid.nodes", "const_factory");
}

}  // namespace

}  // namespace vettor::helpers

PYBIND11_MODULE(helpers, m) {
  using namespace vettor;
  using namespace vettor::helpers;
  G.bind(m);

  m.attr("Decimal") = lookup("decimal", "Decimal");
  m.attr("attrgetter") = lookup("operator", "attrgetter");
  m.attr("re") = import("re");
  m.attr("astroid") = import("astroid");
  m.attr("walk") = lookup("asttokens.util", "walk");
  m.attr("ASTTokens") = lookup("asttokens", "ASTTokens");
  m.attr("TransformVisitor") = lookup("astroid.transforms", "TransformVisitor");
  m.attr("AstroidManager") = lookup("astroid.manager", "AstroidManager");
  m.attr("safe_infer") = lookup("pylint.checkers.utils", "safe_infer");
  m.attr("tok_name") = lookup("token", "tok_name");
  m.attr("const_factory") = load_const_factory();

  py::object set = import("builtins").attr("set");
  m.attr("DJANGO_STRING_FIELDS") =
      set(py::make_tuple("TextField", "CharField", "URLField", "EmailField", "SlugField"));
  m.attr("DJANGO_BOOLEAN_FIELDS") = set(py::make_tuple("BooleanField", "NullBooleanField"));

  m.attr("context_string") = make_context_string(m);
  m.attr("NodeValueUndefinable") = make_exception(m, "NodeValueUndefinable", PyExc_TypeError);
  m.attr("NodeTransformVisitor") = make_node_transform_visitor(m);

  register_atok(m);
  register_output(m);
  register_predicates(m);
  register_values(m);
  register_editing(m);
  register_related(m);
  register_budget(m);
}
