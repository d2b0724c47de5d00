// urls: a project's routes, read from its URL configuration as Django builds them, from the
// root URL configuration down through every include(), without running any of the project's
// code. Each module's source is parsed, and its module-level statements are followed as far as
// the text tells: lists assigned, added up, extended and appended to (also under an `if`), names
// imported from the project's other modules (and from Django's own URL modules), include() with
// its app_name and namespace, i18n_patterns(), static(). What the text cannot tell (a route
// computed at run time, a list a loop or a function builds, an include() of a module outside
// the project, admin.site.urls) is kept as a route that may serve anything below its prefix,
// so that no later route is taken for the one that serves a path there.
#include <vettor/project_files.hpp>

#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "urls.hpp"

namespace vettor::urls {

namespace {

ModuleRef U;  // the urls module

// ---------------------------------------------------------------------------------------
// What an expression of a URL module holds, as far as its text tells

struct Value;
using ValuePtr = std::shared_ptr<const Value>;

struct Value {
  enum Kind {
    kUnknown,   // anything; `text` holds the attribute it was read as (admin.site.urls: "urls")
    kText,      // a str constant (or a sum of them): `text`
    kNone,      // the constant None
    kList,      // a list or tuple display: `items`
    kModule,    // an imported module: `text` is its import path
    kImported,  // a name imported from a module (`text`), not yet looked up: `member`
    kFunction,  // one of Django's URL functions: `text` is "path", "regex", "include",
                // "i18n_patterns", "static" or the static file view "serve"
    kPattern,   // what path(), re_path(), url() or i18n_patterns() makes
    kInclude,   // what include() makes
  };
  Kind kind = kUnknown;
  bool tuple = false;  // kList: written as a tuple
  std::string text;
  std::string member;
  std::vector<ValuePtr> items;  // kList: its elements; kPattern "locale": the patterns it prefixes
  // kPattern: "path" (a route), "regex" (re_path(), url()) or "locale" (i18n_patterns()).
  std::string pattern_kind;
  ValuePtr route, view, name;  // `name` is null when no name is given
  std::string module;          // the module the pattern is written in
  long line = 0;
  // kInclude
  ValuePtr target, app_name, namespace_;  // null when not given
};

ValuePtr unknown(const std::string& attribute = std::string()) {
  auto value = std::make_shared<Value>();
  value->text = attribute;
  return value;
}

ValuePtr make(Value::Kind kind, const std::string& text = std::string(),
              const std::string& member = std::string()) {
  auto value = std::make_shared<Value>();
  value->kind = kind;
  value->text = text;
  value->member = member;
  return value;
}

ValuePtr list_of_values(std::vector<ValuePtr> items, bool tuple = false) {
  auto value = std::make_shared<Value>();
  value->kind = Value::kList;
  value->tuple = tuple;
  value->items = std::move(items);
  return value;
}

// Django's URL functions by the module that offers them and their name there.
std::string known_function(const std::string& module, const std::string& name) {
  static const std::map<std::pair<std::string, std::string>, std::string> known = {
      {{"django.urls", "path"}, "path"},
      {{"django.urls", "re_path"}, "regex"},
      {{"django.urls", "include"}, "include"},
      {{"django.conf.urls", "url"}, "regex"},
      {{"django.conf.urls", "include"}, "include"},
      {{"django.conf.urls.i18n", "i18n_patterns"}, "i18n_patterns"},
      {{"django.conf.urls.static", "static"}, "static"},
      {{"django.contrib.staticfiles.urls", "staticfiles_urlpatterns"}, "static"},
      {{"django.views.static", "serve"}, "serve"},
      {{"django.contrib.staticfiles.views", "serve"}, "serve"},
  };
  auto found = known.find({module, name});
  return found == known.end() ? std::string() : found->second;
}

// ---------------------------------------------------------------------------------------
// Reading modules

class Reader {
 public:
  Reader(py::object root, py::list bases) : root_(std::move(root)), bases_(std::move(bases)) {
    ast_ = import("ast");
    py::object django_file = getattr_or_none(import("django"), "__file__");
    if (py::isinstance<py::str>(django_file)) {
      py::object os_path = lookup("os", "path");
      django_site_ = os_path.attr("dirname")(os_path.attr("dirname")(django_file));
    }
  }

  // The routes of the URL configuration in `import_path`, in the order Django tries them;
  // nullopt when the module cannot be read or holds no list of patterns.
  std::optional<py::list> routes(const std::string& import_path) {
    Module* module = read(import_path);
    if (!module) return std::nullopt;
    ValuePtr patterns = resolve(lookup_name(*module, "urlpatterns"));
    if (patterns->kind != Value::kList) return std::nullopt;
    py::list out;
    including_.insert(import_path);
    flatten(patterns->items, py::list(), {}, true, 0, out);
    return out;
  }

 private:
  struct Module {
    std::string import_path;
    std::string package;  // where its relative imports start
    std::map<std::string, ValuePtr> names;
  };

  py::object root_;
  py::list bases_;
  py::object ast_;
  py::object django_site_ = py::none();
  std::map<std::string, std::unique_ptr<Module>> modules_;  // null: cannot be read
  std::set<std::string> reading_;
  std::set<std::string> including_;  // the modules included on the way to the current one

  static constexpr int kMaxModules = 400;
  static constexpr int kMaxDepth = 24;

  bool is(py::handle node, const char* type) {
    return vettor::isinstance(node, ast_.attr(type));
  }

  static std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

  // The file of a module: under the folders the project's modules are imported from, or, for
  // Django's own modules, in the Django this analyser runs with. Only regular files inside the
  // project root are read of the project's.
  py::object file_of(const std::string& import_path) {
    py::list parts = py::str(import_path).attr("split")(".");
    for (py::handle part : parts) {
      if (!truthy(part.attr("isidentifier")())) return py::none();
    }
    py::object os_path = lookup("os", "path");
    auto candidate = [&](py::handle base) -> py::object {
      py::object path = py::reinterpret_borrow<py::object>(base);
      for (py::handle part : parts) path = os_path.attr("join")(path, part);
      for (py::object file : {py::object(path.attr("__add__")(".py")),
                              py::object(os_path.attr("join")(path, "__init__.py"))}) {
        if (truthy(os_path.attr("isfile")(file))) return file;
      }
      return py::none();
    };
    bool django = import_path == "django" || import_path.starts_with("django.");
    if (django) {
      if (django_site_.is_none()) return py::none();
      return candidate(django_site_);
    }
    for (py::handle base : bases_) {
      py::object file = candidate(base);
      if (file.is_none()) continue;
      if (vettor::refusal_to_read(root_, file)) return py::none();
      return file;
    }
    return py::none();
  }

  py::object parse(const py::object& file) {
    py::tuple unreadable = py::make_tuple(
        py::handle(PyExc_OSError), py::handle(PyExc_UnicodeDecodeError),
        py::handle(PyExc_SyntaxError), py::handle(PyExc_ValueError),
        py::handle(PyExc_MemoryError), py::handle(PyExc_RecursionError));
    return on_error(
        unreadable,
        [&]() -> py::object {
          py::object text = lookup("pathlib", "Path")(file).attr("read_text")(
              py::arg("encoding") = "utf-8-sig");
          return ast_.attr("parse")(text);
        },
        []() -> py::object { return py::none(); });
  }

  // The module's names after its module-level statements have run; null when it cannot be
  // read (not a module of the project or of Django, not parsing, read already higher up).
  Module* read(const std::string& import_path) {
    auto known = modules_.find(import_path);
    if (known != modules_.end()) return known->second.get();
    if (reading_.count(import_path) || static_cast<int>(modules_.size()) >= kMaxModules) return nullptr;
    py::object file = file_of(import_path);
    py::object tree = file.is_none() ? py::object(py::none()) : parse(file);
    if (tree.is_none()) {
      modules_[import_path] = nullptr;
      return nullptr;
    }
    auto module = std::make_unique<Module>();
    module->import_path = import_path;
    bool package = py::str(lookup("os", "path").attr("basename")(file)).equal(py::str("__init__.py"));
    size_t dot = import_path.rfind('.');
    module->package = package ? import_path : (dot == std::string::npos ? "" : import_path.substr(0, dot));
    reading_.insert(import_path);
    try {
      run(*module, tree.attr("body"));
    } catch (...) {
      reading_.erase(import_path);
      throw;
    }
    reading_.erase(import_path);
    Module* result = module.get();
    modules_[import_path] = std::move(module);
    return result;
  }

  ValuePtr lookup_name(const Module& module, const std::string& name) {
    auto found = module.names.find(name);
    return found == module.names.end() ? unknown() : found->second;
  }

  // A name imported from a module, looked up now: a module of its own (from app import
  // urls), or the name the module binds (from app.urls import urlpatterns).
  ValuePtr resolve(ValuePtr value, int depth = 0) {
    while (value->kind == Value::kImported && depth++ < kMaxDepth) {
      std::string function = known_function(value->text, value->member);
      if (!function.empty()) return make(Value::kFunction, function);
      std::string submodule = value->text.empty() ? value->member : value->text + "." + value->member;
      if (!file_of(submodule).is_none()) return make(Value::kModule, submodule);
      Module* module = read(value->text);
      if (!module) return unknown(value->member);
      value = lookup_name(*module, value->member);
    }
    return value->kind == Value::kImported ? unknown() : value;
  }

  // -------------------------------------------------------------------------------------
  // Statements

  void bind(Module& module, py::handle target, const ValuePtr& value) {
    if (is(target, "Name")) {
      module.names[text_of(target.attr("id"))] = value;
    } else if (is(target, "Tuple") || is(target, "List") || is(target, "Starred")) {
      for (py::handle node : ast_.attr("walk")(target)) {
        if (is(node, "Name")) module.names[text_of(node.attr("id"))] = unknown();
      }
    }
  }

  std::string absolute_module(const Module& module, py::handle node) {
    long level = node.attr("level").is_none() ? 0 : node.attr("level").cast<long>();
    std::string name = node.attr("module").is_none() ? "" : text_of(node.attr("module"));
    if (level == 0) return name;
    std::string base = module.package;
    for (long up = 1; up < level; ++up) {
      size_t dot = base.rfind('.');
      base = dot == std::string::npos ? "" : base.substr(0, dot);
    }
    if (name.empty()) return base;
    return base.empty() ? name : base + "." + name;
  }

  ValuePtr added(const ValuePtr& left_value, const ValuePtr& right_value) {
    ValuePtr left = resolve(left_value);
    ValuePtr right = resolve(right_value);
    if (left->kind == Value::kList && right->kind == Value::kList && left->tuple == right->tuple) {
      std::vector<ValuePtr> items = left->items;
      items.insert(items.end(), right->items.begin(), right->items.end());
      return list_of_values(std::move(items), left->tuple);
    }
    if (left->kind == Value::kText && right->kind == Value::kText) {
      return make(Value::kText, left->text + right->text);
    }
    return unknown();
  }

  // What a loop or another statement this reader does not follow may do to the lists it
  // touches: each of them gains a pattern that may be anything.
  void touched_by_unknown_code(Module& module, py::handle statement) {
    std::set<std::string> names;
    for (py::handle node : ast_.attr("walk")(statement)) {
      if (is(node, "Name") && module.names.count(text_of(node.attr("id")))) {
        names.insert(text_of(node.attr("id")));
      }
    }
    for (const std::string& name : names) {
      ValuePtr value = resolve(module.names[name]);
      if (value->kind != Value::kList) continue;
      std::vector<ValuePtr> items = value->items;
      items.push_back(unknown());
      module.names[name] = list_of_values(std::move(items), value->tuple);
    }
  }

  // list.append(x), list.extend(x), list.insert(i, x) on a list bound to a name.
  bool list_method(Module& module, py::handle call) {
    py::object func = call.attr("func");
    if (!is(func, "Attribute") || !is(func.attr("value"), "Name")) return false;
    std::string method = text_of(func.attr("attr"));
    if (method != "append" && method != "extend" && method != "insert") return false;
    std::string name = text_of(func.attr("value").attr("id"));
    if (!module.names.count(name)) return false;
    ValuePtr list = resolve(module.names[name]);
    py::list args = call.attr("args");
    if (list->kind != Value::kList) return true;
    std::vector<ValuePtr> items = list->items;
    if (method == "append" && py::len(args) == 1) {
      items.push_back(eval(module, args[0]));
    } else if (method == "extend" && py::len(args) == 1) {
      ValuePtr more = resolve(eval(module, args[0]));
      if (more->kind == Value::kList) {
        items.insert(items.end(), more->items.begin(), more->items.end());
      } else {
        items.push_back(unknown());
      }
    } else if (method == "insert" && py::len(args) == 2 && is(args[0], "Constant") &&
               PyLong_CheckExact(args[0].attr("value").ptr())) {
      long at = args[0].attr("value").cast<long>();
      long size = static_cast<long>(items.size());
      if (at < 0) at = std::max(0L, size + at);
      items.insert(items.begin() + std::min(at, size), eval(module, args[1]));
    } else {
      items.push_back(unknown());
    }
    module.names[name] = list_of_values(std::move(items), list->tuple);
    return true;
  }

  void run(Module& module, py::handle body) {
    for (py::handle statement : body) {
      if (is(statement, "Assign")) {
        ValuePtr value = eval(module, statement.attr("value"));
        for (py::handle target : statement.attr("targets")) bind(module, target, value);
      } else if (is(statement, "AnnAssign")) {
        if (!statement.attr("value").is_none()) {
          bind(module, statement.attr("target"), eval(module, statement.attr("value")));
        }
      } else if (is(statement, "AugAssign")) {
        py::object target = statement.attr("target");
        if (!is(target, "Name")) continue;
        std::string name = text_of(target.attr("id"));
        ValuePtr value = eval(module, statement.attr("value"));
        module.names[name] = is(statement.attr("op"), "Add")
                                 ? added(lookup_name(module, name), value)
                                 : unknown();
      } else if (is(statement, "Expr")) {
        py::object value = statement.attr("value");
        if (is(value, "Call") && list_method(module, value)) continue;
        touched_by_unknown_code(module, statement);
      } else if (is(statement, "Import")) {
        for (py::handle alias : statement.attr("names")) {
          std::string name = text_of(alias.attr("name"));
          if (!alias.attr("asname").is_none()) {
            module.names[text_of(alias.attr("asname"))] = make(Value::kModule, name);
          } else {
            std::string top = name.substr(0, name.find('.'));
            module.names[top] = make(Value::kModule, top);
          }
        }
      } else if (is(statement, "ImportFrom")) {
        std::string from = absolute_module(module, statement);
        for (py::handle alias : statement.attr("names")) {
          std::string name = text_of(alias.attr("name"));
          if (name == "*") {
            // Every public name of one of the project's modules (from .base_urls import *).
            Module* other = from.empty() ? nullptr : read(from);
            if (!other) continue;
            for (const auto& [bound, value] : other->names) {
              if (!bound.starts_with("_")) module.names[bound] = value;
            }
            continue;
          }
          std::string as = alias.attr("asname").is_none() ? name : text_of(alias.attr("asname"));
          std::string function = known_function(from, name);
          module.names[as] = function.empty() ? make(Value::kImported, from, name)
                                              : make(Value::kFunction, function);
        }
      } else if (is(statement, "If")) {
        // Both branches: a route that one setting adds (DEBUG) is a route of the project.
        run(module, statement.attr("body"));
        run(module, statement.attr("orelse"));
      } else if (is(statement, "Try")) {
        run(module, statement.attr("body"));
        for (py::handle handler : statement.attr("handlers")) run(module, handler.attr("body"));
        run(module, statement.attr("orelse"));
        run(module, statement.attr("finalbody"));
      } else if (is(statement, "With") || is(statement, "AsyncWith")) {
        run(module, statement.attr("body"));
      } else if (is(statement, "FunctionDef") || is(statement, "AsyncFunctionDef") ||
                 is(statement, "ClassDef")) {
        module.names[text_of(statement.attr("name"))] = unknown();
      } else {
        touched_by_unknown_code(module, statement);
      }
    }
  }

  // -------------------------------------------------------------------------------------
  // Expressions

  // The argument at `position`, else the keyword named one of `names`; null when absent.
  py::object argument(py::handle call, size_t position, std::initializer_list<const char*> names) {
    py::list args = call.attr("args");
    if (py::len(args) > position && !is(args[position], "Starred")) return args[position];
    py::object found = py::none();
    for (py::handle keyword : call.attr("keywords")) {
      if (keyword.attr("arg").is_none()) continue;
      std::string arg = text_of(keyword.attr("arg"));
      for (const char* name : names) {
        if (arg == name) found = keyword.attr("value");
      }
    }
    return found;
  }

  ValuePtr eval_or_null(Module& module, py::handle node) {
    return node.is_none() ? ValuePtr() : eval(module, node);
  }

  // The elements of a list or tuple display, or of the arguments of i18n_patterns(): a
  // starred element is spread when it is a list this reader knows.
  std::vector<ValuePtr> elements(Module& module, py::handle nodes) {
    std::vector<ValuePtr> items;
    for (py::handle node : nodes) {
      if (is(node, "Starred")) {
        ValuePtr spread = resolve(eval(module, node.attr("value")));
        if (spread->kind == Value::kList) {
          items.insert(items.end(), spread->items.begin(), spread->items.end());
        } else {
          items.push_back(unknown());
        }
      } else {
        items.push_back(eval(module, node));
      }
    }
    return items;
  }

  ValuePtr call(Module& module, py::handle node) {
    ValuePtr function = resolve(eval(module, node.attr("func")));
    if (function->kind != Value::kFunction) return unknown();
    const std::string& which = function->text;
    if (which == "path" || which == "regex") {
      auto pattern = std::make_shared<Value>();
      pattern->kind = Value::kPattern;
      pattern->pattern_kind = which;
      pattern->route = eval_or_null(module, argument(node, 0, {"route", "regex"}));
      pattern->view = eval_or_null(module, argument(node, 1, {"view"}));
      pattern->name = eval_or_null(module, argument(node, 3, {"name"}));
      pattern->module = module.import_path;
      pattern->line = node.attr("lineno").cast<long>();
      // A call without a route fails when Django loads it; it serves nothing.
      if (!pattern->route) pattern->route = unknown();
      return pattern;
    }
    if (which == "include") {
      auto include = std::make_shared<Value>();
      include->kind = Value::kInclude;
      py::object target = argument(node, 0, {"arg"});
      if (target.is_none()) return unknown();
      ValuePtr value = eval(module, target);
      if (value->kind == Value::kList && value->tuple && value->items.size() == 2) {
        include->target = value->items[0];
        include->app_name = value->items[1];
      } else {
        include->target = value;
      }
      include->namespace_ = eval_or_null(module, argument(node, 1, {"namespace"}));
      return include;
    }
    if (which == "i18n_patterns") {
      auto pattern = std::make_shared<Value>();
      pattern->kind = Value::kPattern;
      pattern->pattern_kind = "locale";
      pattern->items = elements(module, node.attr("args"));
      pattern->module = module.import_path;
      pattern->line = node.attr("lineno").cast<long>();
      return list_of_values({pattern});
    }
    if (which == "static") return list_of_values({});  // files served while developing
    return unknown();
  }

  ValuePtr eval(Module& module, py::handle node) {
    if (is(node, "Constant")) {
      py::object value = node.attr("value");
      if (value.is_none()) return make(Value::kNone);
      if (py::isinstance<py::str>(value)) return make(Value::kText, text_of(value));
      return unknown();
    }
    if (is(node, "Name")) return lookup_name(module, text_of(node.attr("id")));
    if (is(node, "Attribute")) {
      std::string attribute = text_of(node.attr("attr"));
      ValuePtr base = resolve(eval(module, node.attr("value")));
      if (base->kind != Value::kModule) return unknown(attribute);
      std::string function = known_function(base->text, attribute);
      if (!function.empty()) return make(Value::kFunction, function);
      return make(Value::kImported, base->text, attribute);
    }
    if (is(node, "List") || is(node, "Tuple")) {
      return list_of_values(elements(module, node.attr("elts")), is(node, "Tuple"));
    }
    if (is(node, "BinOp") && is(node.attr("op"), "Add")) {
      return added(eval(module, node.attr("left")), eval(module, node.attr("right")));
    }
    if (is(node, "Call")) return call(module, node);
    return unknown();
  }

  // -------------------------------------------------------------------------------------
  // The routes, in the order Django tries them

  static py::tuple element(const std::string& kind, const std::string& text, bool endpoint) {
    return py::make_tuple(kind, text, endpoint);
  }

  static py::list extended(const py::list& chain, py::tuple element) {
    py::list longer;
    for (py::handle item : chain) longer.append(item);
    longer.append(element);
    return longer;
  }

  // The route as Django's "page not found" screen lists it: its patterns from the root,
  // separated by a space (shop/ <slug:slug>/).
  static std::string route_text(const py::list& chain) {
    std::string text;
    for (py::handle element : chain) {
      std::string kind = py::str(element[py::int_(0)]);
      std::string part = py::str(element[py::int_(1)]);
      if ((kind != "path" && kind != "regex") || part.empty()) continue;
      text += (text.empty() ? "" : " ") + part;
    }
    return text;
  }

  static void add_route(py::list& out, py::list chain, const char* kind, py::object name,
                        const std::string& module, long line) {
    std::string route = route_text(chain);
    py::dict record;
    record["chain"] = py::tuple(chain);
    record["kind"] = kind;
    record["name"] = name;
    record["route"] = route;
    record["module"] = module;
    record["line"] = line;
    out.append(record);
  }

  // A place below which anything may be served, as far as this reader can tell.
  static void add_unknown(py::list& out, const py::list& chain, const std::string& module, long line) {
    add_route(out, extended(chain, element("any", "", false)), "unknown", py::none(), module, line);
  }

  void flatten(const std::vector<ValuePtr>& patterns, const py::list& chain,
               const std::vector<std::string>& namespaces, bool namespaces_known, int depth,
               py::list& out) {
    for (const ValuePtr& entry : patterns) {
      ValuePtr pattern = resolve(entry);
      if (pattern->kind != Value::kPattern) {
        add_unknown(out, chain, "", 0);
        continue;
      }
      if (pattern->pattern_kind == "locale") {
        flatten(pattern->items, extended(chain, element("locale", "", false)), namespaces,
                namespaces_known, depth, out);
        continue;
      }
      ValuePtr route = resolve(pattern->route);
      // A route computed at run time matches nothing this reader can tell.
      if (route->kind != Value::kText) continue;
      ValuePtr view = pattern->view ? resolve(pattern->view) : unknown();
      bool included = view->kind == Value::kInclude ||
                      (view->kind == Value::kList && view->tuple && view->items.size() == 3) ||
                      (view->kind == Value::kUnknown && view->text == "urls");
      if (included) {
        py::list prefix = extended(chain, element(pattern->pattern_kind, route->text, false));
        if (depth >= kMaxDepth) {
          add_unknown(out, prefix, pattern->module, pattern->line);
        } else if (view->kind == Value::kInclude) {
          include(*view, prefix, namespaces, namespaces_known, depth, pattern, out);
        } else if (view->kind == Value::kList) {
          // (patterns, app_name, namespace), as include() gives it
          Value as_include;
          as_include.target = view->items[0];
          as_include.app_name = view->items[1];
          as_include.namespace_ = view->items[2];
          include(as_include, prefix, namespaces, namespaces_known, depth, pattern, out);
        } else {
          add_unknown(out, prefix, pattern->module, pattern->line);
        }
        continue;
      }
      py::list full = extended(chain, element(pattern->pattern_kind, route->text, true));
      if (view->kind == Value::kFunction && view->text == "serve") {
        add_route(out, full, "files", py::none(), pattern->module, pattern->line);
        continue;
      }
      ValuePtr name = pattern->name ? resolve(pattern->name) : make(Value::kNone);
      if (name->kind == Value::kNone) {
        add_route(out, full, "view", py::none(), pattern->module, pattern->line);
      } else if (name->kind == Value::kText && namespaces_known) {
        std::string qualified;
        for (const std::string& space : namespaces) qualified += space + ":";
        add_route(out, full, "view", py::str(qualified + name->text), pattern->module,
                  pattern->line);
      } else {
        // Named, but the name (or its namespace) is not known here.
        add_route(out, full, "unknown", py::none(), pattern->module, pattern->line);
      }
    }
  }

  void include(const Value& include, const py::list& prefix, std::vector<std::string> namespaces,
               bool namespaces_known, int depth, const ValuePtr& pattern, py::list& out) {
    ValuePtr target = include.target ? resolve(include.target) : unknown();
    ValuePtr app_name = include.app_name ? resolve(include.app_name) : ValuePtr();
    std::vector<ValuePtr> patterns;
    if (target->kind == Value::kText || target->kind == Value::kModule) {
      // A module that includes itself, on the way down, serves ever longer paths: what lies
      // below the second time is not followed.
      if (including_.count(target->text)) {
        add_unknown(out, prefix, pattern->module, pattern->line);
        return;
      }
      Module* module = read(target->text);
      ValuePtr listed = module ? resolve(lookup_name(*module, "urlpatterns")) : unknown();
      if (listed->kind != Value::kList) {
        add_unknown(out, prefix, pattern->module, pattern->line);
        return;
      }
      patterns = listed->items;
      // include() takes the module's own app_name over the one given beside it.
      auto own = module->names.find("app_name");
      if (own != module->names.end()) app_name = resolve(own->second);
    } else if (target->kind == Value::kList) {
      patterns = target->items;
    } else {
      add_unknown(out, prefix, pattern->module, pattern->line);
      return;
    }
    ValuePtr space = include.namespace_ ? resolve(include.namespace_) : ValuePtr();
    if (!space || space->kind == Value::kNone) space = app_name;
    if (space && space->kind == Value::kText) {
      namespaces.push_back(space->text);
    } else if (space && space->kind != Value::kNone) {
      namespaces_known = false;
    }
    bool entered = target->kind == Value::kText || target->kind == Value::kModule;
    if (entered) including_.insert(target->text);
    try {
      flatten(patterns, prefix, namespaces, namespaces_known, depth + 1, out);
    } catch (...) {
      if (entered) including_.erase(target->text);
      throw;
    }
    if (entered) including_.erase(target->text);
  }
};

// The routes of the project's URL configuration, from its root module `root_urlconf` (an
// import path, as ROOT_URLCONF names it), in the order Django tries them: a new list of
// records, each with "chain" (the patterns from the root to the route: ("path", route text,
// is endpoint), ("regex", regular expression, is endpoint), ("locale", "", False) for the
// language prefix of i18n_patterns(), ("any", "", False) where anything may follow), "kind"
// ("view"; "files" for Django's static file view; "unknown" where what is served cannot be
// told), "name" (the name reverse() takes, namespaces included, or None), "route" (its
// patterns from the root as written, separated by a space, as Django's "page not found"
// screen lists them), "module" and "line" (where its last pattern is written). None when the
// root module is not a module of the project that this reader can read.
py::object read_url_configuration(py::object project_root, py::object root_urlconf) {
  if (!py::isinstance<py::str>(root_urlconf) || !truthy(root_urlconf)) return py::none();
  py::object os_path = lookup("os", "path");
  py::object root = os_path.attr("realpath")(lookup("os", "fspath")(project_root));
  py::dict files = U("meta").attr("get_module_files")(root, list_of(root_urlconf));
  if (!files.contains(root_urlconf)) return py::none();
  // The folder the root module is imported from: its own folder, once per dotted part.
  py::object base = os_path.attr("dirname")(files[root_urlconf]);
  py::list parts = root_urlconf.attr("split")(".");
  bool package = py::str(os_path.attr("basename")(files[root_urlconf])).equal(py::str("__init__.py"));
  for (size_t up = package ? 0 : 1; up < py::len(parts); ++up) base = os_path.attr("dirname")(base);
  Reader reader(root, list_of(base, root));
  auto routes = reader.routes(root_urlconf.cast<std::string>());
  if (!routes) return py::none();
  return *routes;
}

}  // namespace

void register_configuration(py::module_& m) {
  U.bind(m);
  // Where the project's modules are: the root URL configuration is found as the settings are.
  m.attr("meta") = import_sibling(m, "meta", 2);
  m.def("read_url_configuration", &read_url_configuration,
        "The routes of a project's URL configuration, read from the source of its root\n"
        "module (root_urlconf, an import path) and the modules it includes; no code of the\n"
        "project runs. A new list of route records in the order Django tries them, or None\n"
        "when the root module cannot be read.",
        py::arg("project_root"), py::arg("root_urlconf"));
}

}  // namespace vettor::urls
