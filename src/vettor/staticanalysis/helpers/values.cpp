// helpers: node values and call arguments. Rules compare what a declaration says with
// plain Python values: constants become their value, list and tuple displays lists, dict
// displays mappings, and whatever cannot be worked out comes back as the astroid node.
#include "helpers.hpp"

#include <algorithm>
#include <vector>

namespace vettor::helpers {

namespace {

py::object node_class(const char* name) { return G("astroid").attr(name); }

// Conversion goes through the module attribute, as every other use of a helpers function
// does, so a replaced `astroid_node_to_value` is seen at every level.
py::object to_value(py::handle node) { return G("astroid_node_to_value")(node); }

// What a chain of literals joined by `+` adds up to (texts, bytes or numbers, one kind
// throughout), or nothing for any other expression. Generated code and long help texts join a
// hundred literals and more, and astroid's inference of such a chain descends once per
// operator until it runs out of stack; walked here with a stack of our own, any length folds.
py::object folded_concatenation(py::handle node) {
  py::object binop = node_class("BinOp");
  py::object constant = node_class("Const");
  if (!vettor::isinstance(node, binop)) return py::object();
  enum class Kind { kNone, kText, kBytes, kNumber } kind = Kind::kNone;
  py::object total;
  std::vector<py::object> pending{py::reinterpret_borrow<py::object>(node)};
  while (!pending.empty()) {
    py::object current = pending.back();
    pending.pop_back();
    if (vettor::isinstance(current, binop)) {
      if (!py::str(current.attr("op")).equal(py::str("+"))) return py::object();
      pending.push_back(current.attr("right"));  // the left operand comes out first
      pending.push_back(current.attr("left"));
      continue;
    }
    if (!vettor::isinstance(current, constant)) return py::object();
    py::object value = current.attr("value");
    PyObject* v = value.ptr();
    Kind here = PyUnicode_CheckExact(v)                        ? Kind::kText
                : PyBytes_CheckExact(v)                        ? Kind::kBytes
                : (PyLong_CheckExact(v) || PyFloat_CheckExact(v)) ? Kind::kNumber
                                                               : Kind::kNone;
    if (here == Kind::kNone || (kind != Kind::kNone && here != kind)) return py::object();
    kind = here;
    if (!total) {
      total = value;
      continue;
    }
    PyObject* sum = PyNumber_Add(total.ptr(), v);
    if (!sum) throw py::error_already_set();
    total = py::reinterpret_steal<py::object>(sum);
  }
  return total;
}

py::object astroid_node_to_value(py::object node) {
  bool binop = vettor::isinstance(node, node_class("BinOp"));
  if (binop) {
    py::object folded = folded_concatenation(node);
    if (folded) return folded;
  }
  if (binop || vettor::isinstance(node, node_class("Attribute")) ||
      vettor::isinstance(node, node_class("AssignName"))) {
    py::object inferred = G("safe_infer")(node);
    if (truthy(inferred)) return to_value(inferred);
    return node;
  }
  if (vettor::isinstance(node, node_class("Name"))) {
    py::tuple found = node.attr("lookup")(node.attr("name"));
    py::object bindings = found[1];
    if (py::len(bindings) > 0) return to_value(bindings[py::int_(0)]);
    return node;
  }
  if (vettor::isinstance(node, node_class("Const"))) return node.attr("value");
  if (vettor::isinstance(node, node_class("List")) || vettor::isinstance(node, node_class("Tuple"))) {
    py::list values;
    for (py::handle child : node.attr("get_children")()) {
      values.append(to_value(child));
    }
    return values;
  }
  if (vettor::isinstance(node, node_class("Dict"))) {
    py::dict values;
    for (py::handle item : node.attr("items")) {
      py::object key = to_value(item[py::int_(0)]);
      py::object value = to_value(item[py::int_(1)]);
      // A tuple or list display used as a key converts to a list, which no mapping can
      // hold: such a display cannot be turned into a plain value and stays a node.
      if (PyObject_Hash(key.ptr()) == -1) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
        PyErr_Clear();
        return node;
      }
      values[key] = value;
    }
    return values;
  }
  return node;
}

// Keyword name to the plain value of its first inferred value, in the call's order. An
// ambiguous value takes astroid's first answer; a keyword astroid cannot infer at all is
// left out.
py::dict get_node_explicit_arguments(py::object node) {
  py::dict arguments;
  py::object keywords = node.attr("keywords");
  if (keywords.is_none()) return arguments;
  py::object inference_error = G("astroid").attr("InferenceError");
  for (py::handle keyword : keywords) {
    py::object folded = folded_concatenation(keyword.attr("value"));
    if (folded) {
      arguments[keyword.attr("arg")] = folded;
      continue;
    }
    py::object first = on_error(
        inference_error,
        [&]() -> py::object {
          py::iterator values = py::iter(keyword.attr("value").attr("infer")());
          if (values == py::iterator::sentinel()) return py::object();
          return py::reinterpret_borrow<py::object>(*values);
        },
        [] { return py::object(); });
    if (!first) continue;
    arguments[keyword.attr("arg")] = to_value(first);
  }
  return arguments;
}

// Parameter name to the plain value of its default over the constructors of the inferred
// class's order; the most derived class that gives a parameter a default wins. A default
// written as Django's NOT_PROVIDED marker means "no default" and is left out.
py::dict get_node_default_arguments(py::object node) {
  py::dict defaults;
  py::object inferred = G("safe_infer")(node);
  if (!truthy(inferred)) return defaults;
  py::object arguments_class = node_class("Arguments");
  for (py::handle cls : inferred.attr("mro")()) {
    if (!cls.attr("locals").contains("__init__")) continue;
    // Constructors built from a living object (object.__init__ and other builtins) have no
    // known signature: their arguments node holds None for the parameter lists. A body
    // that binds __init__ by an assignment or an import has no arguments node at all.
    // Neither says anything about defaults.
    py::object args = getattr_or_none(cls["__init__"], "args");
    if (!vettor::isinstance(args, arguments_class)) continue;
    py::object default_nodes = args.attr("defaults");
    py::object parameters = args.attr("arguments");
    if (default_nodes.is_none() || parameters.is_none()) continue;
    // The defaults belong to the last positional parameters, paired in order.
    py::ssize_t total = py::len(parameters);
    py::ssize_t start = std::max<py::ssize_t>(total - py::len(default_nodes), 0);
    py::ssize_t pairs = std::min<py::ssize_t>(py::len(default_nodes), total - start);
    py::str not_provided("NOT_PROVIDED");
    for (py::ssize_t i = 0; i < pairs; ++i) {
      py::object default_node = default_nodes[py::int_(i)];
      if (getattr_or_none(default_node, "name").equal(not_provided)) continue;
      py::object value = to_value(default_node);
      py::object name = parameters[py::int_(start + i)].attr("name");
      if (!defaults.contains(name)) defaults[name] = value;
    }
  }
  return defaults;
}

// The plain value bound to `key` in a scope's own body, or None when the scope does not
// bind it or takes it from a from-import; a binding whose value cannot be inferred raises.
py::object get_astroid_node_constant_values(py::object node, py::object key) {
  py::object binding = on_error(
      PyExc_KeyError, [&]() -> py::object { return node[key]; }, [] { return py::object(); });
  if (!binding) return py::none();
  if (vettor::isinstance(binding, node_class("ImportFrom"))) return py::none();
  py::object inferred = G("safe_infer")(binding);
  if (!truthy(inferred)) raise(G("NodeValueUndefinable"));
  return to_value(inferred);
}

// The name a plain assignment gives the statement holding `node` (`title = CharField()`),
// or None for any other statement shape.
py::object get_member_name(py::object node) {
  py::object assign = node_class("Assign");
  py::object statement = node.attr("statement")();
  while (!vettor::isinstance(statement, assign)) {
    py::object parent = statement.attr("parent");
    if (!truthy(parent)) return py::none();
    statement = parent.attr("statement")();
  }
  py::object target = statement.attr("targets")[py::int_(0)];
  if (vettor::isinstance(target, node_class("AssignName"))) return target.attr("name");
  return py::none();
}

// The called name: the attribute after the last dot, or the plain name called.
py::object get_function_name(py::object node) {
  py::object func = node.attr("func");
  if (vettor::isinstance(func, node_class("Attribute"))) return func.attr("attrname");
  if (vettor::isinstance(func, node_class("Name"))) return func.attr("name");
  return py::none();
}

}  // namespace

void register_values(py::module_& m) {
  m.def("astroid_node_to_value", &astroid_node_to_value, py::arg("node"));
  m.def("get_node_explicit_arguments", &get_node_explicit_arguments, py::arg("node"));
  m.def("get_node_default_arguments", &get_node_default_arguments, py::arg("node"));
  m.def("get_astroid_node_constant_values", &get_astroid_node_constant_values,
        py::arg("node"), py::arg("key"));
  m.def("get_member_name", &get_member_name, py::arg("node"));
  m.def("get_function_name", &get_function_name, py::arg("node"));
}

}  // namespace vettor::helpers
