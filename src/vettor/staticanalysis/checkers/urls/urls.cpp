// URL configuration rules: URL names declared twice for the same parameters, and
// reverse_lazy used where reverse would do. The project's routes, as its URL configuration
// declares them, are read in configuration.cpp.
#include <vettor/rules.hpp>

#include "urls.hpp"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace {
using namespace vettor;
ModuleRef G;

py::object astroid_class(const char* name) { return G("astroid").attr(name); }

bool is_a(py::handle obj, py::handle type) { return vettor::isinstance(obj, type); }

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

// ---------------------------------------------------------------------------------------
// reverse_lazy -> reverse

// The pair (name, alias) of an import entry.
py::tuple entry(py::handle pair) { return py::tuple(py::reinterpret_borrow<py::object>(pair)); }

// An import entry that binds `name` to the object of that same name (a star import of
// django.urls binds both reverse and reverse_lazy).
bool imports_as_itself(py::handle pair, const char* name) {
  py::tuple item = entry(pair);
  if (text_is(item[0], "*")) return true;
  return text_is(item[0], name) && (item[1].is_none() || text_is(item[1], name));
}

bool imports_as_itself_any(py::handle statement, const char* name) {
  for (py::handle pair : statement.attr("names")) {
    if (imports_as_itself(pair, name)) return true;
  }
  return false;
}

// The import the fix edits: the first `from django.urls import` in tree order.
py::object django_urls_import(py::object module_node) {
  for (py::handle statement : module_node.attr("nodes_of_class")(astroid_class("ImportFrom"))) {
    if (text_is(statement.attr("modname"), "django.urls")) {
      return py::reinterpret_borrow<py::object>(statement);
    }
  }
  return py::none();
}

// After the rename the call must reach Django's reverse: either `reverse` already names it
// where the call stands, or nothing there binds `reverse` and the import that ensure_import
// edits binds it for the whole module. Otherwise (no django.urls import, a local `reverse`,
// `reverse_lazy as reverse`) the call is left alone.
bool reverse_is_reachable(py::object call_node) {
  py::tuple found = py::tuple(call_node.attr("func").attr("lookup")("reverse"));
  py::object assignments = found[1];
  if (py::len(assignments) > 0) {
    for (py::handle assignment : assignments) {
      if (!is_a(assignment, astroid_class("ImportFrom")) ||
          !text_is(assignment.attr("modname"), "django.urls") ||
          !imports_as_itself_any(assignment, "reverse")) {
        return false;
      }
    }
    return true;
  }
  py::object module_node = call_node.attr("root")();
  py::object statement = django_urls_import(module_node);
  if (statement.is_none()) return false;
  return statement.attr("scope")().is(module_node);
}

py::object transform_reverse_lazy_to_reverse(py::object call_node) {
  if (!reverse_is_reachable(call_node)) return call_node;
  G("ensure_import")(py::arg("module_node") = call_node.attr("root")(),
                     py::arg("modname") = "reverse",
                     py::arg("import_string") = "from django.urls import reverse");
  G("helpers").attr("set_function_name")(py::arg("node") = call_node,
                                         py::arg("new_name") = "reverse");
  return call_node;
}

// Every use of the name reverse_lazy that stays after the fixes: anything but the callee of a
// misused call that the fix renames (a proper call, a reference passed along, a call that
// cannot be renamed).
bool reverse_lazy_still_used(py::object module_node) {
  for (py::handle name : module_node.attr("nodes_of_class")(astroid_class("Name"))) {
    if (!text_is(name.attr("name"), "reverse_lazy")) continue;
    py::object parent = name.attr("parent");
    bool renamed = is_a(parent, astroid_class("Call")) && py::object(parent.attr("func")).ptr() == name.ptr() &&
                   truthy(G("is_misusing_reverse_lazy")(parent)) && reverse_is_reachable(parent);
    if (!renamed) return true;
  }
  return false;
}

// Once per tree: the module's django.urls import gains reverse and loses reverse_lazy when
// nothing uses it any more. The suggestion road gets the edited import handed over.
void ensure_import(py::object module_node, py::object modname, py::object import_string) {
  (void)import_string;
  std::string marker = "skip_" + std::string(py::str(modname));
  if (py::hasattr(module_node, marker.c_str())) return;
  bool keep_reverse_lazy = reverse_lazy_still_used(module_node);
  py::object statement = django_urls_import(module_node);
  if (!statement.is_none()) {
    py::list names = py::list(statement.attr("names"));
    if (!imports_as_itself_any(statement, "reverse")) {
      names.append(py::make_tuple("reverse", py::none()));
      // A name imported twice, once under an alias, must not compare None with a text.
      py::object key = py::cpp_function([](py::object pair) {
        py::tuple item = entry(pair);
        py::object alias = item[1].is_none() ? py::object(py::str("")) : py::object(item[1]);
        return py::make_tuple(item[0], alias);
      });
      names = py::list(import("builtins").attr("sorted")(names, py::arg("key") = key));
    }
    if (!keep_reverse_lazy) {
      for (size_t i = 0; i < names.size(); ++i) {
        py::tuple item = entry(names[i]);
        if (!text_is(item[0], "*") && imports_as_itself(names[i], "reverse_lazy")) {
          names.attr("pop")(i);
          break;
        }
      }
    }
    statement.attr("names") = names;
    if (py::hasattr(module_node, "replace_other_nodes")) {
      module_node.attr("replace_other_nodes").attr("append")(statement);
    }
  }
  py::setattr(module_node, marker.c_str(), py::bool_(true));
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

// ---------------------------------------------------------------------------------------
// Which URL names can be told apart
//
// A module may hold several URL lists, each include()d under a namespace of its own: the same
// name in two of them is reversed as `one:name` and `two:name`. So names are compared within
// one list and across lists that share a namespace. `urlpatterns` is the module's own
// namespace; a list included without a namespace shares the namespace of the list that
// includes it, one included under a namespace gets that namespace below it, and a list whose
// namespace cannot be told here (not included in this module, included under a computed
// namespace, built in a function) is compared only with itself.

struct Place {
  enum Kind { kInclude, kNamed, kScope } kind;
  py::object node;  // the include() call, the statement that binds the name, or the scope
  std::string name;  // kNamed: the list's name
};

bool is_include_call(py::handle node) {
  if (!is_a(node, astroid_class("Call"))) return false;
  py::object func = node.attr("func");
  if (is_a(func, astroid_class("Name"))) return text_is(func.attr("name"), "include");
  return is_a(func, astroid_class("Attribute")) && text_is(func.attr("attrname"), "include");
}

// The URL configuration include() was given: its first argument or its `arg` keyword.
py::object include_argument(py::handle call) {
  py::list args = call.attr("args");
  if (args.size() > 0) return args[0];
  py::object keywords = call.attr("keywords");
  if (!keywords.is_none()) {
    for (py::handle keyword : keywords) {
      if (text_is(keyword.attr("arg"), "arg")) return keyword.attr("value");
    }
  }
  return py::none();
}

// The patterns include() takes: its argument, or the first item of a (patterns, app_name)
// tuple.
py::object included_patterns(py::handle call) {
  py::object argument = include_argument(call);
  if (is_a(argument, astroid_class("Tuple")) && py::len(argument.attr("elts")) == 2) {
    return argument.attr("elts")[py::int_(0)];
  }
  return argument;
}

// The namespace include() puts its patterns under: its `namespace` (keyword or second
// argument), else the app_name of a (patterns, app_name) tuple. "" for none; nullopt when it
// is computed.
std::optional<std::string> include_namespace(py::handle call) {
  py::object value = py::none();
  py::list args = call.attr("args");
  if (args.size() > 1) value = args[1];
  py::object keywords = call.attr("keywords");
  if (!keywords.is_none()) {
    for (py::handle keyword : keywords) {
      if (text_is(keyword.attr("arg"), "namespace")) value = keyword.attr("value");
    }
  }
  if (value.is_none()) {
    py::object argument = include_argument(call);
    if (is_a(argument, astroid_class("Tuple")) && py::len(argument.attr("elts")) == 2) {
      value = argument.attr("elts")[py::int_(1)];
    }
  }
  if (value.is_none()) return std::string();
  py::object namespace_ = G("helpers").attr("astroid_node_to_value")(value);
  if (namespace_.is_none()) return std::string();
  if (!is_text(namespace_)) return std::nullopt;
  return py::str(namespace_).cast<std::string>();
}

// The name an assignment statement binds, when it binds one plain name.
std::optional<std::string> assigned_name(py::handle statement) {
  py::object target;
  if (is_a(statement, astroid_class("Assign"))) {
    py::list targets = statement.attr("targets");
    if (targets.size() != 1) return std::nullopt;
    target = targets[0];
  } else {
    target = statement.attr("target");
  }
  if (is_a(target, astroid_class("AssignName")) || is_a(target, astroid_class("Name"))) {
    return py::str(target.attr("name")).cast<std::string>();
  }
  return std::nullopt;
}

// Where the value of `node` goes: into the patterns of an include() call, into a list bound
// to a name (assigned, extended, appended to), or nowhere this module shows (a function's
// result, an argument of some other call, a bare expression).
Place place_of(py::handle node) {
  py::tuple assignments = py::make_tuple(astroid_class("Assign"), astroid_class("AnnAssign"),
                                         astroid_class("AugAssign"));
  py::tuple scopes = py::make_tuple(astroid_class("FunctionDef"), astroid_class("AsyncFunctionDef"),
                                    astroid_class("Lambda"), astroid_class("ClassDef"),
                                    astroid_class("Module"));
  py::object child = py::reinterpret_borrow<py::object>(node);
  py::list chain;
  chain.append(child);
  for (py::object parent = child.attr("parent"); !parent.is_none();
       child = parent, parent = parent.attr("parent")) {
    if (is_include_call(parent) && contains_node(chain, included_patterns(parent))) {
      return {Place::kInclude, parent, ""};
    }
    if (is_a(parent, assignments)) {
      if (py::object(parent.attr("value")).is(child)) {
        if (auto name = assigned_name(parent)) return {Place::kNamed, parent, *name};
      }
      return {Place::kScope, parent, ""};
    }
    if (is_a(parent, astroid_class("Call")) && contains_node(parent.attr("args"), child)) {
      py::object func = parent.attr("func");
      if (is_a(func, astroid_class("Attribute")) && is_a(func.attr("expr"), astroid_class("Name"))) {
        py::object method = func.attr("attrname");
        if (text_is(method, "append") || text_is(method, "extend") || text_is(method, "insert")) {
          return {Place::kNamed, parent, py::str(func.attr("expr").attr("name"))};
        }
      }
    }
    if (is_a(parent, scopes)) return {Place::kScope, parent, ""};
    chain.append(parent);
  }
  return {Place::kScope, child, ""};
}

std::string identity(py::handle node) {
  return "#" + std::to_string(reinterpret_cast<uintptr_t>(node.ptr()));
}

class Namespaces {
 public:
  explicit Namespaces(py::object module) : module_(std::move(module)) {}

  // The namespaces, each as a text of its own, that the list holding `call` is reversed in.
  std::set<std::string> of_call(py::handle call) { return of_place(place_of(call), call); }

 private:
  py::object module_;
  std::map<std::string, std::set<std::string>> named_;
  std::set<std::string> computing_;

  std::set<std::string> of_place(const Place& place, py::handle node) {
    switch (place.kind) {
      case Place::kNamed:
        return of_name(place.name);
      case Place::kInclude:
        return below(place.node);
      case Place::kScope:
        break;
    }
    // Only the very list the call stands in: the display, or the call itself.
    py::object list = py::reinterpret_borrow<py::object>(node);
    return {identity(list.attr("parent"))};
  }

  // The namespaces of the patterns an include() call puts below the list it stands in.
  std::set<std::string> below(py::handle include_call) {
    auto namespace_ = include_namespace(include_call);
    if (!namespace_) return {identity(include_call)};
    std::set<std::string> result;
    for (const std::string& outer : of_place(place_of(include_call), include_call)) {
      result.insert(namespace_->empty() ? outer : outer + namespace_.value() + ":");
    }
    return result;
  }

  std::set<std::string> of_name(const std::string& name) {
    if (name == "urlpatterns") return {""};
    auto known = named_.find(name);
    if (known != named_.end()) return known->second;
    std::string own = "#" + name;
    if (computing_.count(name)) return {own};
    computing_.insert(name);
    std::set<std::string> result;
    bool unknown = false;
    for (py::handle reference : module_.attr("nodes_of_class")(astroid_class("Name"))) {
      if (!text_is(reference.attr("name"), name.c_str())) continue;
      Place place = place_of(reference);
      if (place.kind == Place::kNamed && place.name == name) continue;  // a list extended by itself
      if (place.kind == Place::kScope) {
        unknown = true;
        continue;
      }
      for (const std::string& namespace_ : of_place(place, reference)) result.insert(namespace_);
    }
    if (unknown || result.empty()) result.insert(own);
    computing_.erase(name);
    named_[name] = result;
    return result;
  }
};

// The module's namespaces are worked out once per module, on its first named route.
std::set<std::string> namespaces_of(py::handle self, py::handle call) {
  py::object module = call.attr("root")();
  py::object held = py::getattr(self, "_namespaces", py::none());
  if (held.is_none() || !py::object(held[py::int_(0)]).is(module)) {
    held = py::make_tuple(module, py::capsule(new Namespaces(module), [](void* p) {
                            delete static_cast<Namespaces*>(p);
                          }));
    self.attr("_namespaces") = held;
  }
  auto* namespaces = static_cast<Namespaces*>(py::capsule(held[py::int_(1)]).get_pointer());
  return namespaces->of_call(call);
}

// ---------------------------------------------------------------------------------------
// What reverse() tells routes of one name apart by
//
// reverse() tries the routes of a name in turn and takes the first whose parameters are the
// keywords given and whose converters (or groups) accept the values. Routes that differ in
// their parameter names, or in what a parameter accepts, are reached by their own keywords
// and values; only the same names with the same converters make the later route unreachable.

// The named groups of a regular expression, each with its own pattern text, and its unnamed
// capturing groups; nullopt when the text is not a regular expression Python compiles.
struct RegexParameters {
  std::map<std::string, std::string> named;
  std::vector<std::string> unnamed;
};

std::optional<RegexParameters> regex_parameters(const std::string& regex) {
  RegexParameters found;
  struct Open {
    size_t content;  // where the group's own pattern starts
    std::string name;  // empty for an unnamed group
    bool capturing;
  };
  std::vector<Open> open;
  for (size_t i = 0; i < regex.size(); ++i) {
    char c = regex[i];
    if (c == '\\') {
      ++i;
    } else if (c == '[') {
      size_t j = i + 1;
      if (j < regex.size() && regex[j] == '^') ++j;
      if (j < regex.size() && regex[j] == ']') ++j;
      for (; j < regex.size() && regex[j] != ']'; ++j) {
        if (regex[j] == '\\') ++j;
      }
      i = j;
    } else if (c == '(') {
      if (regex.compare(i, 4, "(?P<") == 0) {
        size_t close = regex.find('>', i + 4);
        if (close == std::string::npos) return std::nullopt;
        open.push_back({close + 1, regex.substr(i + 4, close - i - 4), true});
        i = close;
      } else {
        bool capturing = i + 1 >= regex.size() || regex[i + 1] != '?';
        open.push_back({i + 1, "", capturing});
      }
    } else if (c == ')') {
      if (open.empty()) return std::nullopt;
      Open group = open.back();
      open.pop_back();
      std::string content = regex.substr(group.content, i - group.content);
      if (!group.name.empty()) {
        found.named[group.name] = content;
      } else if (group.capturing) {
        found.unnamed.push_back(content);
      }
    }
  }
  if (!open.empty()) return std::nullopt;
  return found;
}

// The parameters of a route as reverse() reads them, "name=converter" sorted by name (or, for
// a regular expression without named groups, its positional groups in order); nullopt for a
// route Django rejects, which gets no finding.
std::optional<py::list> route_parameters(py::handle func_name, py::object route) {
  py::list parameters;
  if (text_is(func_name, "path")) {
    py::object resolvers = G("resolvers");
    py::object converted;
    try {
      converted = resolvers.attr("_route_to_regex")(route);
    } catch (py::error_already_set& e) {
      if (e.matches(resolvers.attr("ImproperlyConfigured"))) return std::nullopt;
      throw;
    }
    py::tuple pair = py::tuple(converted);
    if (pair.size() != 2) raise(PyExc_ValueError, "a route converts to a regex and converters");
    for (auto item : py::dict(pair[1])) {
      parameters.append(py::str(item.first) + py::str("=") +
                        py::str(item.second.attr("__class__").attr("__name__")));
    }
  } else {
    bool compiles = on_error(
        lookup("re", "error"),
        [&] {
          lookup("re", "compile")(route);
          return true;
        },
        [] { return false; });
    if (!compiles) return std::nullopt;
    auto groups = regex_parameters(route.cast<std::string>());
    if (!groups) return std::nullopt;
    if (!groups->named.empty()) {
      for (const auto& [name, pattern] : groups->named) parameters.append(name + "=" + pattern);
    } else {
      for (const std::string& pattern : groups->unnamed) parameters.append("#=" + pattern);
      return parameters;
    }
  }
  parameters.attr("sort")();
  return parameters;
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
    auto parameters = route_parameters(func_name, route);
    if (!parameters) return;
    // The name as str() gives it, ":", and the printed list of parameters:
    // detail:['pk=IntConverter'], after the namespace it is reversed in.
    py::str key = py::str(name) + py::str(":") + py::str(*parameters);
    py::object urls = self.attr("urls");
    py::list keys;
    bool seen = false;
    for (const std::string& namespace_ : namespaces_of(self, node)) {
      py::object namespaced = namespace_.empty() ? py::object(key) : py::str(namespace_ + " ") + key;
      seen = seen || urls.contains(namespaced);
      keys.append(namespaced);
    }
    if (seen) {
      py::dict args;
      args["name"] = name;
      self.attr("add_message")(code("C6001"), py::arg("node") = node, py::arg("args") = args);
    } else {
      for (py::handle namespaced : keys) urls.attr("add")(namespaced);
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
  add_visit(
      cls, "visit_module",
      [](py::object self, py::object) {
        self.attr("urls") = py::set();
        self.attr("_namespaces") = py::none();
      });

  add_visit(
      cls, "visit_call",
      [](py::object self, py::object node) {
        if (truthy(G("is_urls_module")(node.attr("root")()))) {
          self.attr("check_url_unique")(node);
        }
        if (truthy(G("is_misusing_reverse_lazy")(node))) {
          py::dict args;
          args["signature"] = node.attr("as_string")();
          self.attr("add_message")(code("C6002"), py::arg("node") = node, py::arg("args") = args);
        }
      });

  add_method(cls, "check_url_unique", &check_url_unique, py::arg("node"));
  return cls;
}

constexpr FixSafety kFixSafety[] = {
    {"C6002", Safety::kSafe,
     "reverse() where the call runs at request time gives the URL reverse_lazy() gave"},
};

py::object build_transformer_visitor(py::object message_ids) {
  py::object visitor = G("helpers").attr("NodeTransformVisitor")();
  py::list ids = py::list(message_ids);
  ids.attr("sort")();
  for (py::handle id : ids) {
    if (py::reinterpret_borrow<py::object>(id).equal(code("C6002"))) {
      visitor.attr("register_transform")(astroid_class("Call"),
                                         G("transform_reverse_lazy_to_reverse"),
                                         G("is_misusing_reverse_lazy"));
    }
  }
  return visitor;
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
  m.def("transform_reverse_lazy_to_reverse", &transform_reverse_lazy_to_reverse,
        py::arg("call_node"));
  m.def("ensure_import", &ensure_import, py::arg("module_node"), py::arg("modname"),
        py::arg("import_string"));
  m.attr("Checker") = make_checker(m, helpers);
  m.attr("FIX_SAFETY") = make_fix_safety(kFixSafety);
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
  m.def("is_urls_module", &is_urls_module, py::arg("module_node"));
  vettor::urls::register_configuration(m);
}
