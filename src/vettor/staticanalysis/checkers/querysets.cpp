// Queryset rules: len() on a queryset, foreign-key primary keys read through the related
// object, count() where only existence matters, and querysets tested for truth.
//
// Querysets, related fields and models are recognised through astroid inference and the
// Django class predicates of helpers only, never by the names they were imported under.
// Every predicate answers None when the node does not have the shape it looks for, and
// otherwise the value of its last test; callers only test the truth of the answer.
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;

py::object astroid_class(const char* name) { return G("astroid").attr(name); }

py::object helper(const char* name) { return G("helpers").attr(name); }

py::object infer(py::handle node) { return G("safe_infer")(node); }

bool is_a(py::handle obj, py::handle type) { return vettor::isinstance(obj, type); }

// `value == text`, as Python compares (a value that is not a text is simply unequal).
bool text_is(py::handle value, const char* text) {
  return py::reinterpret_borrow<py::object>(value).equal(py::str(text));
}

// `left == right` as Python evaluates it: the answer object itself, not its truth.
py::object equals(py::handle left, py::handle right) {
  PyObject* result = PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ);
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// ---------------------------------------------------------------------------------------
// Predicates

// len(x) with one positional argument: whether x infers to a queryset. The callee is
// compared as written, so `builtins.len(x)` is not this shape.
py::object is_queryset_length(py::object node) {
  if (!is_a(node, astroid_class("Call"))) return py::none();
  py::object func = node.attr("func");
  if (!is_a(func, astroid_class("Name"))) return py::none();
  if (!text_is(func.attr("name"), "len")) return py::none();
  py::list args = node.attr("args");
  if (args.size() != 1) return py::none();
  return helper("is_queryset")(infer(args[0]));
}

// receiver.count() with no positional argument: whether the receiver infers to a queryset.
// A bare `count()` has no receiver to infer and is not this shape.
py::object is_queryset_count(py::object node) {
  if (!is_a(node, astroid_class("Call"))) return py::none();
  if (!text_is(helper("get_function_name")(node), "count")) return py::none();
  if (py::len(node.attr("args")) != 0) return py::none();
  py::object func = node.attr("func");
  if (!is_a(func, astroid_class("Attribute"))) return py::none();
  return helper("is_queryset")(infer(func.attr("expr")));
}

// foo.bar.pk / foo.bar.id with bar a related field of the model instance foo.
py::object is_indirect_fk_lookup(py::object node) {
  py::object attrname = getattr_or_none(node, "attrname");
  if (!text_is(attrname, "pk") && !text_is(attrname, "id")) return py::none();
  py::object field = infer(node.attr("expr"));
  if (!is_a(field, G("astroid").attr("bases").attr("Instance")) || !truthy(field)) {
    return py::none();
  }
  if (!truthy(helper("is_related_field")(field.attr("_proxied")))) return py::none();
  py::object owner = node.attr("expr");
  if (!is_a(owner, astroid_class("Attribute"))) return py::none();
  py::object parent = infer(owner.attr("expr"));
  if (!truthy(parent)) return parent;
  // A class or a module (`Book.author.pk`, `module.author.pk`) is no model instance; it has
  // no class to ask about, and raising here would cost pylint the rest of the module.
  if (!is_a(parent, G("astroid").attr("bases").attr("Instance"))) return py::bool_(false);
  return helper("is_model")(parent.attr("_proxied"));
}

// A single comparison of the count or length on the left against 0 or 1 with one of the
// two operators given: `(op == zero_op and right == 0) or (op == one_op and right == 1)`.
py::object compare_against(py::object ops, const char* zero_op, const char* one_op) {
  if (py::len(ops) != 1) return py::none();
  py::tuple pair = py::tuple(ops[py::int_(0)]);
  if (pair.size() != 2) raise(PyExc_ValueError, "a comparison pair holds two items");
  py::object op = pair[0];
  py::object right_value = helper("astroid_node_to_value")(pair[1]);
  py::object first =
      text_is(op, zero_op) ? equals(right_value, py::int_(0)) : py::object(py::bool_(false));
  if (truthy(first)) return first;
  if (text_is(op, one_op)) return equals(right_value, py::int_(1));
  return py::bool_(false);
}

py::object compare_exists_or_not(py::object node) {
  py::object exists = G("is_compare_exists")(node.attr("ops"));
  if (truthy(exists)) return exists;
  return G("is_compare_not_exists")(node.attr("ops"));
}

py::object is_inefficient_queryset_exists(py::object node) {
  if (!truthy(G("is_queryset_count")(node.attr("left")))) return py::none();
  return compare_exists_or_not(node);
}

py::object is_queryset_length_exists(py::object node) {
  if (!truthy(G("is_queryset_length")(node.attr("left")))) return py::none();
  return compare_exists_or_not(node);
}

// Unlike helpers.is_queryset, takes a node that has not been inferred yet.
py::object is_queryset(py::object node) { return helper("is_queryset")(infer(node)); }

// Is there no row: `== 0` or `< 1`.
py::object is_compare_not_exists(py::object ops) { return compare_against(ops, "==", "<"); }

// Is there at least one row: `> 0` or `>= 1`.
py::object is_compare_exists(py::object ops) { return compare_against(ops, ">", ">="); }

// ---------------------------------------------------------------------------------------
// Checker

py::object code(const char* name) { return G("Codes").attr(name); }

void add_message(py::handle self, const char* code_name, py::handle node, py::dict args) {
  self.attr("add_message")(code(code_name), py::arg("node") = node, py::arg("args") = args);
}

py::dict queryset_args(py::object queryset) {
  py::dict args;
  args["queryset"] = queryset.attr("as_string")();
  return args;
}

// The count() or truth test of an `if` or a `not`.
void check_truth_test(py::handle self, py::handle node, py::object tested) {
  if (truthy(G("is_queryset_count")(tested))) {
    add_message(self, "C9002", node, queryset_args(tested.attr("func").attr("expr")));
  } else if (truthy(G("is_queryset")(tested))) {
    add_message(self, "C9003", node, queryset_args(tested));
  }
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::object cls = make_source_checker(
      m, "querysets",
      make_msgs(helpers,
                {{"C9000", "queryset-length",
                  "Detects using len(queryset) instead of queryset.count()"},
                 {"C9001", "indirect-foreign-key",
                  "Traversting foo.bar.pk instead of using foo.bar_pk"},
                 {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
                 {"C9003", "truthy-instead-exists",
                  "Using truthy/falsey check on queryset when exists could be better"}}));

  add_method(
      cls, "visit_call",
      [](py::object self, py::object node) {
        if (!truthy(G("is_queryset_length")(node))) return;
        py::dict args;
        args["foo"] = "bar";
        add_message(self, "C9000", node, args);
      },
      py::arg("node"));

  add_method(
      cls, "visit_attribute",
      [](py::object self, py::object node) {
        if (!truthy(G("is_indirect_fk_lookup")(node))) return;
        py::object field = node.attr("expr");
        py::dict args;
        args["me"] = py::getattr(field.attr("expr"), "name", py::str("model"));
        args["related_name"] = field.attr("attrname");
        args["pk_attribute"] = node.attr("attrname");
        add_message(self, "C9001", node, args);
      },
      py::arg("node"));

  add_method(
      cls, "visit_compare",
      [](py::object self, py::object node) {
        if (truthy(G("is_inefficient_queryset_exists")(node))) {
          py::object queryset = node.attr("left").attr("func").attr("expr");
          add_message(self, "C9002", node.attr("statement")(), queryset_args(queryset));
        } else if (truthy(G("is_queryset_length_exists")(node))) {
          py::object queryset = node.attr("left").attr("args")[py::int_(0)];
          add_message(self, "C9002", node.attr("statement")(), queryset_args(queryset));
        }
      },
      py::arg("node"));

  add_method(
      cls, "visit_if",
      [](py::object self, py::object node) { check_truth_test(self, node, node.attr("test")); },
      py::arg("node"));

  // Only `not` is a truth test: `-qs.count()` is a number.
  add_method(
      cls, "visit_unaryop",
      [](py::object self, py::object node) {
        if (!text_is(node.attr("op"), "not")) return;
        check_truth_test(self, node, node.attr("operand"));
      },
      py::arg("node"));

  return cls;
}

}  // namespace

PYBIND11_MODULE(querysets, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  import("astroid.bases");
  import("pylint.checkers");  // `import pylint.checkers` binds the top-level package
  m.attr("pylint") = import("pylint");
  m.attr("safe_infer") = lookup("pylint.checkers.utils", "safe_infer");
  m.attr("IAstroidChecker") = lookup("pylint.interfaces", "IAstroidChecker");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C9000", "C9001", "C9002", "C9003"});

  m.def("is_queryset_length", &is_queryset_length, py::arg("node"));
  m.def("is_queryset_count", &is_queryset_count, py::arg("node"));
  m.def("is_indirect_fk_lookup", &is_indirect_fk_lookup, py::arg("node"));
  m.def("is_inefficient_queryset_exists", &is_inefficient_queryset_exists, py::arg("node"));
  m.def("is_queryset_length_exists", &is_queryset_length_exists, py::arg("node"));
  m.def("is_queryset", &is_queryset, py::arg("node"));
  m.def("is_compare_not_exists", &is_compare_not_exists, py::arg("ops"));
  m.def("is_compare_exists", &is_compare_exists, py::arg("ops"));

  m.attr("Checker") = make_checker(m, helpers);
}
