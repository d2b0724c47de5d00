// The settings-file builder: for the length of a `with` block astroid folds the os.path calls
// and environment look-ups that settings files compute their values with, so that the values
// can be read from the tree as constants.
#include <array>
#include <string>

#include "shims.hpp"

namespace vettor::shims {

namespace {

// The path functions that are folded, by the text of the callee as written.
constexpr std::array<const char*, 4> kPathFunctions = {"os.path.abspath", "os.path.dirname",
                                                       "os.path.basename", "os.path.join"};

bool looks_like_path_manipulation(py::object node) {
  std::string callee = py::str(node.attr("func").attr("as_string")());
  for (const char* name : kPathFunctions) {
    if (callee == name) return true;
  }
  return false;
}

// The constant the call would produce on this host, when every positional argument infers to
// a constant; the call itself otherwise.
py::object transform_path_manipulation(py::object node) {
  py::object safe_infer = G("safe_infer");
  py::object uninferable = lookup("astroid.util", "Uninferable");
  py::list inferred;
  for (py::handle arg : node.attr("args")) {
    py::object value = safe_infer(arg);
    if (value.is_none() || value.is(uninferable)) return node;
    inferred.append(value);
  }
  py::object function = G("os").attr("path").attr(node.attr("func").attr("attrname"));
  // A value that is not a constant has no `value`; a constant of the wrong kind (a number,
  // None) makes the path function raise TypeError, and a text with a NUL byte ValueError.
  // Either way the call is left as written rather than failing the whole tree.
  py::tuple folds_not = py::make_tuple(py::handle(PyExc_AttributeError),
                                       py::handle(PyExc_TypeError), py::handle(PyExc_ValueError));
  return on_error(
      folds_not,
      [&]() -> py::object {
        py::list values;
        for (py::handle value : inferred) values.append(value.attr("value"));
        py::object result = function(*values);
        return G("astroid").attr("Const")(result, py::arg("lineno") = node.attr("lineno"),
                                          py::arg("col_offset") = node.attr("col_offset"),
                                          py::arg("parent") = node.attr("parent"));
      },
      [&]() -> py::object { return node; });
}

// None when the call is not a two-literal look-up of an environment variable; otherwise
// whether both literals are texts.
py::object looks_like_environment_variable_lookup(py::object node) {
  py::list args = node.attr("args");
  if (args.size() != 2) return py::none();
  std::string text = py::str(node.attr("as_string")());
  if (text.find("env") == std::string::npos || text.find("setdefault") != std::string::npos) {
    return py::none();
  }
  py::object constant = G("astroid").attr("Const");
  py::object name = args[0], fallback = args[1];
  if (!vettor::isinstance(name, constant) || !vettor::isinstance(fallback, constant)) {
    return py::none();
  }
  auto is_text = [](py::handle n) {
    return py::str(n.attr("pytype")()).cast<std::string>() == "builtins.str";
  };
  if (!is_text(name)) return py::bool_(false);
  return py::bool_(is_text(fallback));
}

// The look-up's literal default, as the node it is written as.
py::object transform_environment_variable_lookup(py::object node) {
  return py::list(node.attr("args"))[1];
}

// `node_class, transform, predicate = entry`: exactly three items, as Python unpacking demands.
std::array<py::object, 3> unpack3(py::handle entry) {
  py::tuple items(py::reinterpret_borrow<py::object>(entry));
  if (items.size() != 3) {
    raise(PyExc_ValueError, "expected a node class, a transform and a predicate, got " +
                                std::to_string(items.size()) + " items");
  }
  return {items[0], items[1], items[2]};
}

py::object make_builder(py::module_& m) {
  py::object cls = make_class(m, "BuilderWithSettingsTransforms", py::make_tuple());
  add_init(cls, [](py::object self) {
    py::object call = G("astroid").attr("Call");
    py::list transforms;
    transforms.append(
        list_of(call, G("transform_path_manipulation"), G("looks_like_path_manipulation")));
    transforms.append(list_of(call, G("transform_environment_variable_lookup"),
                             G("looks_like_environment_variable_lookup")));
    self.attr("transforms") = transforms;
  });
  add_method(cls, "__enter__", [](py::object self) {
    py::object manager = G("astroid").attr("MANAGER");
    for (py::handle entry : self.attr("transforms")) {
      auto [node_class, transform, predicate] = unpack3(entry);
      manager.attr("register_transform")(node_class, transform, predicate);
    }
    return lookup("astroid.builder", "AstroidBuilder")();
  });
  add_method(cls, "__exit__", [](py::object self, py::args, py::kwargs) {
    py::object manager = G("astroid").attr("MANAGER");
    for (py::handle entry : self.attr("transforms")) {
      auto [node_class, transform, predicate] = unpack3(entry);
      manager.attr("unregister_transform")(node_class, transform, predicate);
    }
    return py::none();
  });
  return cls;
}

}  // namespace

void register_settings_builder(py::module_& m) {
  m.def("looks_like_path_manipulation", &looks_like_path_manipulation, py::arg("node"));
  m.def("transform_path_manipulation", &transform_path_manipulation, py::arg("node"));
  m.def("looks_like_environment_variable_lookup", &looks_like_environment_variable_lookup,
        py::arg("node"));
  m.def("transform_environment_variable_lookup", &transform_environment_variable_lookup,
        py::arg("node"));
  m.attr("BuilderWithSettingsTransforms") = make_builder(m);
}

}  // namespace vettor::shims
