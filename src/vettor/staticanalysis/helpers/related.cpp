// helpers: the model a relation declaration points to. The queryset rules ask it of a foreign
// key whose key column they advise, and the inference shims of a many-to-many field, a generic
// relation or a foreign key whose related manager they infer.
#include "helpers.hpp"

#include <string>
#include <vector>

namespace vettor::helpers {

namespace {

py::object node_class(const char* name) { return G("astroid").attr(name); }

py::list keyword_list(py::handle call) {
  py::object keywords = call.attr("keywords");
  if (keywords.is_none()) return py::list();
  return py::list(keywords);
}

// The first value `name` has in the module `module_node`, when it is a model class.
py::object model_named_in(py::handle module_node, const std::string& name) {
  if (module_node.is_none() || !module_node.contains(py::str(name))) return py::none();
  py::object value = on_error(
      PyExc_Exception,
      [&]() -> py::object {
        return import("builtins").attr("next")(module_node.attr("igetattr")(name), py::none());
      },
      []() -> py::object { return py::none(); });
  if (!vettor::isinstance(value, node_class("ClassDef")) || !truthy(G("is_model")(value))) {
    return py::none();
  }
  return value;
}

py::object module_named(const std::string& name) {
  return on_error(
      PyExc_Exception,
      [&]() -> py::object {
        return G("astroid").attr("MANAGER").attr("ast_from_module_name")(name);
      },
      []() -> py::object { return py::none(); });
}

// The models module of the application a module belongs to: `shop.models` for
// `shop.models.orders` and for `shop.views`.
std::string app_models_module(const std::string& module_name) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t dot = module_name.find('.', start);
    parts.push_back(module_name.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  size_t keep = parts.size() - 1;  // the module's own package
  for (size_t i = parts.size(); i-- > 0;) {
    if (parts[i] == "models") {
      keep = i;
      break;
    }
  }
  std::string name;
  for (size_t i = 0; i < keep; ++i) name += parts[i] + ".";
  return name + "models";
}

// Django's own applications that define models, by app label.
constexpr const char* kDjangoApps[] = {"admin", "auth",     "contenttypes", "flatpages",
                                       "redirects", "sessions", "sites"};

// `settings.AUTH_USER_MODEL`, however settings was imported.
bool names_user_model_setting(py::handle node) {
  return vettor::isinstance(node, node_class("Attribute")) &&
         text_is(node.attr("attrname"), "AUTH_USER_MODEL");
}

// The model a relation declaration points to, as Django resolves its first argument (or its
// `to` keyword): a class, "self", the model settings.AUTH_USER_MODEL names (`user_model`, read
// from the project's settings; None when they are not known), or "[app_label.]ModelName" looked
// up in the declaring module, then in its application's models, then in the models of the named
// application (found at the top, beside the declaring application, or among Django's own).
// None when it cannot be found (a model of an application not in reach).
py::object get_related_model(py::object declaration_call, py::object declaring_class,
                             py::object owner_class, py::object user_model) {
  py::object to = py::none();
  py::list args = declaration_call.attr("args");
  if (args.size() > 0) to = args[0];
  for (py::handle keyword : keyword_list(declaration_call)) {
    if (text_is(keyword.attr("arg"), "to")) to = keyword.attr("value");
  }
  if (to.is_none()) return py::none();
  if (names_user_model_setting(to)) {
    if (!PyUnicode_Check(user_model.ptr())) return py::none();
    to = node_class("Const")(user_model);
  }
  if (!(vettor::isinstance(to, node_class("Const")) && PyUnicode_Check(to.attr("value").ptr()))) {
    py::object target = G("safe_infer")(to);
    if (vettor::isinstance(target, node_class("ClassDef")) && truthy(G("is_model")(target))) {
      return target;
    }
    return py::none();
  }
  std::string reference = py::str(to.attr("value"));
  if (reference == "self") {
    // In an abstract model "self" is each concrete model that inherits the field.
    return truthy(G("is_node_abstract_model")(declaring_class)) ? owner_class : declaring_class;
  }
  size_t dot = reference.rfind('.');
  std::string name = dot == std::string::npos ? reference : reference.substr(dot + 1);
  py::object module_node = declaring_class.attr("root")();
  std::string module_name = py::str(module_node.attr("name"));
  py::object found = model_named_in(module_node, name);
  if (found.is_none()) found = model_named_in(module_named(app_models_module(module_name)), name);
  if (found.is_none() && dot != std::string::npos) {
    std::string label = reference.substr(0, dot);
    found = model_named_in(module_named(label + ".models"), name);
    // An application beside the declaring one in the same package: "catalogue.Product" in
    // oscar.apps.catalogue.reviews is oscar.apps.catalogue's.
    for (size_t end = module_name.rfind('.'); found.is_none() && end != std::string::npos && end > 0;
         end = module_name.rfind('.', end - 1)) {
      found = model_named_in(module_named(module_name.substr(0, end) + "." + label + ".models"), name);
    }
    for (const char* app : kDjangoApps) {
      if (found.is_none() && label == app) {
        found = model_named_in(module_named("django.contrib." + label + ".models"), name);
      }
    }
  }
  return found;
}

}  // namespace

void register_related(py::module_& m) {
  m.def("get_related_model", &get_related_model, py::arg("declaration_call"),
        py::arg("declaring_class"), py::arg("owner_class"), py::arg("user_model") = py::none());
}

}  // namespace vettor::helpers
