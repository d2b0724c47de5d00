// URL configuration rules: URL names declared twice for the same parameters, and
// reverse_lazy used where reverse would do.
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;

py::object astroid_class(const char* name) { return G("astroid").attr(name); }

bool is_a(py::handle obj, py::handle type) { return vettor::isinstance(obj, type); }

bool text_is(py::handle value, const char* text) {
  return py::reinterpret_borrow<py::object>(value).equal(py::str(text));
}

// str or a subclass of it.
bool is_text(py::handle value) { return PyUnicode_Check(value.ptr()); }

bool contains_node(py::handle nodes, py::handle node) {
  for (py::handle item : nodes) {
    if (item.is(node)) return true;
  }
  return false;
}

// A reverse_lazy call is misplaced only where it runs after import: in the body of a function
// or a lambda. Everything else on the way up (class bodies, nested Meta classes, module-level
// if/try/with/for, comprehensions, default values, decorators, annotations) is evaluated
// while the module is imported, before the URL configuration exists, and there reverse_lazy
// is exactly right.
py::object is_misusing_reverse_lazy(py::object call_node) {
  if (!text_is(call_node.attr("func").attr("as_string")(), "reverse_lazy")) return py::none();
  py::object function_types = py::make_tuple(astroid_class("FunctionDef"),
                                             astroid_class("AsyncFunctionDef"));
  py::object lambda_type = astroid_class("Lambda");
  py::object module_type = astroid_class("Module");
  py::object child = call_node;
  py::object parent = call_node.attr("parent");
  while (!parent.is_none() && !is_a(parent, module_type)) {
    if (is_a(parent, function_types)) {
      if (contains_node(parent.attr("body"), child)) return py::bool_(true);
    } else if (is_a(parent, lambda_type)) {
      if (py::object(parent.attr("body")).is(child)) return py::bool_(true);
    }
    child = parent;
    parent = parent.attr("parent");
  }
  return py::bool_(false);
}

// A URL configuration defines urlpatterns and imports the route function from the first
// Django URL module it imports from.
bool is_urls_module(py::object module_node) {
  if (!module_node.contains("urlpatterns")) return false;
  py::object imports = module_node.attr("nodes_of_class")(astroid_class("ImportFrom"));
  for (py::handle statement : imports) {
    py::object modname = statement.attr("modname");
    const char* route_function = nullptr;
    if (text_is(modname, "django.urls")) {
      route_function = "path";
    } else if (text_is(modname, "django.conf.urls")) {
      route_function = "url";
    } else {
      continue;
    }
    for (py::handle pair : statement.attr("names")) {
      if (text_is(py::tuple(py::reinterpret_borrow<py::object>(pair))[0], route_function)) {
        return true;
      }
    }
    return false;
  }
  return false;
}

py::object code(const char* name) { return G("Codes").attr(name); }

// The route of a path()/re_path()/url() call: its first positional argument, else the last
// `route` or `regex` keyword. A call with neither has no route (None).
py::object route_of(py::object node) {
  py::object to_value = G("helpers").attr("astroid_node_to_value");
  py::list args = node.attr("args");
  if (args.size() > 0) return to_value(args[0]);
  py::object route_keyword = py::none();
  for (py::handle keyword : node.attr("keywords")) {
    py::object arg = keyword.attr("arg");
    if (text_is(arg, "route") || text_is(arg, "regex")) {
      route_keyword = py::reinterpret_borrow<py::object>(keyword);
    }
  }
  if (route_keyword.is_none()) return py::none();
  return to_value(route_keyword.attr("value"));
}

void check_url_unique(py::object self, py::object node) {
  py::object func = node.attr("func");
  if (!is_a(func, astroid_class("Name"))) return;
  py::object func_name = func.attr("name");
  if (!text_is(func_name, "path") && !text_is(func_name, "re_path") &&
      !text_is(func_name, "url")) {
    return;
  }
  py::object keywords = node.attr("keywords");
  if (keywords.is_none() || py::len(keywords) == 0) return;
  for (py::handle keyword : keywords) {
    if (!text_is(keyword.attr("arg"), "name")) continue;
    py::object name = G("helpers").attr("astroid_node_to_value")(keyword.attr("value"));
    // Only a name known as text can be compared with others, and a finding's record holds
    // plain data: an expression that did not resolve is skipped like an unknown route.
    if (!is_text(name)) continue;
    py::object route = route_of(node);
    if (!is_text(route)) continue;
    py::object resolvers = G("resolvers");
    py::object converted;
    try {
      converted = resolvers.attr("_route_to_regex")(route);
    } catch (py::error_already_set& e) {
      if (e.matches(resolvers.attr("ImproperlyConfigured"))) return;
      throw;
    }
    py::tuple pair = py::tuple(converted);
    if (pair.size() != 2) raise(PyExc_ValueError, "a route converts to a regex and converters");
    py::list converter_names;
    for (py::handle converter : pair[1].attr("values")()) {
      converter_names.append(converter.attr("__class__").attr("__name__"));
    }
    // The name as str() gives it, ":", and the printed list: detail:['IntConverter'].
    py::object key = py::str(name) + py::str(":") + py::str(converter_names);
    py::object urls = self.attr("urls");
    if (urls.contains(key)) {
      py::dict args;
      args["name"] = name;
      self.attr("add_message")(code("C6001"), py::arg("node") = node, py::arg("args") = args);
    } else {
      urls.attr("add")(key);
    }
  }
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::object cls = make_source_checker(
      m, "urls",
      make_msgs(helpers, {{"C6001", "non-unique-url-name", "Non unique URL name"},
                          {"C6002", "reverse-lazy-misuse",
                           "Using reverse_lazy when reverse would be better"}}));

  // URL names need to be unique within one module only.
  add_method(
      cls, "visit_module",
      [](py::object self, py::object) { self.attr("urls") = py::set(); }, py::arg("node"));

  add_method(
      cls, "visit_call",
      [](py::object self, py::object node) {
        if (truthy(G("is_urls_module")(node.attr("root")()))) {
          self.attr("check_url_unique")(node);
        }
        if (truthy(G("is_misusing_reverse_lazy")(node))) {
          py::dict args;
          args["signature"] = node.attr("as_string")().attr("replace")("reverse_lazy", "");
          self.attr("add_message")(code("C6002"), py::arg("node") = node, py::arg("args") = args);
        }
      },
      py::arg("node"));

  add_method(cls, "check_url_unique", &check_url_unique, py::arg("node"));
  return cls;
}

}  // namespace

PYBIND11_MODULE(urls, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  import("astroid.builder");
  import("pylint.checkers");  // `import pylint.checkers` binds the top-level package
  m.attr("pylint") = import("pylint");
  m.attr("IAstroidChecker") = lookup("pylint.interfaces", "IAstroidChecker");
  // Django must be importable wherever the URL rules are loaded.
  m.attr("resolvers") = import("django.urls.resolvers");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C6001", "C6002"});

  m.def("is_misusing_reverse_lazy", &is_misusing_reverse_lazy, py::arg("call_node"));
  m.attr("Checker") = make_checker(m, helpers);
  m.def("is_urls_module", &is_urls_module, py::arg("module_node"));
}
