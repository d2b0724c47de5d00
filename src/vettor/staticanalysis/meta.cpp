// What the analyser needs to know about a project folder: its own configuration (the
// [tool.vettor] table of pyproject.toml), its Django settings modules and root URL
// configuration, its manage file, its code style ([tool.black]) and its static URL.
//
// Nothing here imports or runs the project's code: settings are read as literals from
// the settings modules' syntax trees, and modules are found by walking the project
// folder, passing over folders that belong to tools rather than to the project.
#include <vettor/project_files.hpp>
#include <vettor/pyutil.hpp>

#include <initializer_list>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using vettor::import;
using vettor::lookup;
using vettor::on_error;
using vettor::truthy;

vettor::ModuleRef G;

// Names only a Django settings module assigns at its top level.
const char* const kSettingNames[] = {
    "INSTALLED_APPS", "ROOT_URLCONF",  "MIDDLEWARE", "MIDDLEWARE_CLASSES", "DATABASES",
    "SECRET_KEY",     "ALLOWED_HOSTS", "TEMPLATES",  "WSGI_APPLICATION",   "STATIC_URL",
};

py::object child(const py::object& folder, py::handle name) {
  return folder.attr("__truediv__")(name);
}

bool is_file(const py::object& path) { return truthy(path.attr("is_file")()); }

// Whether a file of the project found by the walk may be read: a FIFO would block the
// reader, and a link may lead anywhere. A file passed over is named in one warning (once per
// process: discovery asks about the same files several times per lint).
bool may_read(const py::object& root, const py::object& path) {
  auto refusal = vettor::refusal_to_read(root, path);
  if (!refusal) return true;
  py::set warned = G("_warned");
  py::tuple key = py::make_tuple(py::str(path), *refusal);
  if (!warned.contains(key)) {
    warned.add(key);
    G("logger").attr("warning")("Skipping %s: %s", py::str(path), *refusal);
  }
  return false;
}

py::str without_bom(const py::str& text) {
  if (truthy(text.attr("startswith")("\ufeff"))) return text[py::slice(1, py::len(text), 1)];
  return text;
}

// ---------------------------------------------------------------------------------------
// pyproject.toml

py::object pyproject_path(const py::object& root) { return child(root, py::str("pyproject.toml")); }

// A mistake in the project's configuration, told in one line that begins with the file.
[[noreturn]] void configuration_error(const py::object& path, const std::string& what) {
  vettor::raise(G("ConfigurationError"), vettor::bytes_text(vettor::text_bytes(py::str(path)) + ": " + what));
}

py::dict read_pyproject(const py::object& root) {
  py::object path = pyproject_path(root);
  if (!is_file(path)) return py::dict();
  auto refusal = vettor::refusal_to_read(root, path);
  if (refusal) configuration_error(path, "cannot be read: " + *refusal);
  py::str text;
  try {
    text = without_bom(path.attr("read_text")("encoding"_a = "utf-8"));
  } catch (py::error_already_set& e) {
    if (e.matches(PyExc_UnicodeDecodeError)) {
      configuration_error(path, "not valid UTF-8 (" + std::string(py::str(e.value())) + ")");
    }
    if (e.matches(PyExc_OSError)) {
      configuration_error(path,
                          "cannot be read: " + std::string(py::str(e.value().attr("strerror"))));
    }
    throw;
  }
  try {
    return G("tomli").attr("loads")(text);
  } catch (py::error_already_set& e) {
    // The TOML reader descends once per level of nested tables and arrays.
    if (e.matches(PyExc_RecursionError) || e.matches(PyExc_MemoryError))
      configuration_error(path, "invalid TOML: its tables or arrays are nested too deeply");
    if (!e.matches(G("tomli").attr("TOMLDecodeError"))) throw;
    configuration_error(path, "invalid TOML: " + std::string(py::str(e.value())));
  }
}

// The table [tool.<name>], or an empty one.
py::dict tool_table(const py::object& root, const char* name) {
  py::dict data = read_pyproject(root);
  py::object tool = data.attr("get")("tool", py::dict());
  if (!py::isinstance<py::dict>(tool)) return py::dict();
  py::object table = tool.attr("get")(name, py::dict());
  if (!py::isinstance<py::dict>(table)) {
    configuration_error(pyproject_path(root), std::string("[tool.") + name + "] is not a table");
  }
  return table;
}

py::str replace(py::handle text, const char* old, const char* with) {
  return py::str(text).attr("replace")(old, with);
}

py::dict get_toml_config(py::object project_root) {
  py::dict config;
  // Option names are hyphenated; TOML users often write them with underscores.
  for (auto item : tool_table(G("Path")(project_root), "vettor")) {
    config[replace(item.first, "_", "-")] = item.second;
  }
  return config;
}

// A [tool.black] value that Black would refuse, told as a configuration error.
[[noreturn]] void black_error(py::object project_root, const std::string& key, py::handle value,
                              const std::string& what) {
  configuration_error(pyproject_path(G("Path")(project_root)),
                      "[tool.black] " + key + ": " + std::string(py::repr(value)) + " " + what);
}

// The longest line length a project may set: 2^63 - 1.
constexpr const char* kLongestLine = "9223372036854775807";

bool is_whole_number(py::handle value) {
  return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

py::dict get_code_style(py::object project_root) {
  py::dict black = tool_table(G("Path")(project_root), "black");
  py::dict style;
  for (auto item : black) {
    std::string written = py::str(item.first);
    std::string key = replace(item.first, "-", "_");
    py::handle value = item.second;
    if (key == "line_length") {
      if (!is_whole_number(value) || truthy(value.attr("__lt__")(1))) {
        black_error(project_root, written, value, "is not a line length (a whole number above 0)");
      }
      // The fixes lay lines out in machine integers.
      if (truthy(value.attr("__gt__")(py::int_(py::str(kLongestLine))))) {
        black_error(project_root, written, value, std::string("is too large (at most ") + kLongestLine + ")");
      }
      style["line_length"] = py::reinterpret_borrow<py::object>(value);
    } else if (key == "target_version") {
      py::object target_version = lookup("black", "TargetVersion");
      if (!py::isinstance<py::list>(value)) {
        black_error(project_root, written, value, "is not a list of Python versions (\"py38\", ...)");
      }
      py::set targets;
      for (py::handle name : value) {
        std::string upper = py::isinstance<py::str>(name) ? std::string(py::str(name.attr("upper")())) : "";
        if (upper.empty() || !vettor::hasattr(target_version, upper.c_str())) {
          configuration_error(pyproject_path(G("Path")(project_root)),
                              "[tool.black] target-version " + std::string(py::repr(name)) +
                                  " is not a Python version black knows");
        }
        targets.add(target_version.attr(upper.c_str()));
      }
      style["target_versions"] = targets;
    } else if (key == "skip_magic_trailing_comma") {
      style["magic_trailing_comma"] = py::bool_(!truthy(value));
    } else if (key == "preview") {
      style["preview"] = py::bool_(truthy(value));
    }
    // String normalisation and string processing are the formatter's own choice (see
    // skips_string_normalization); the other keys (include, exclude, pyi, ...) choose files,
    // not a style.
  }
  return style;
}

// Whether the project's [tool.black] turns Black's string normalisation off: the project
// transform then leaves the quotes of the statements it lays out again as they are.
bool skips_string_normalization(py::object project_root) {
  py::dict black = tool_table(G("Path")(project_root), "black");
  for (auto item : black) {
    if (std::string(replace(item.first, "-", "_")) == "skip_string_normalization") return truthy(item.second);
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Walking the project

// Folders that are not the project's own code: hidden folders (.git, .tox, .venv),
// virtual environments, installed packages, JavaScript packages and byte-code caches.
bool is_foreign_folder(const py::object& folder) {
  std::string name = vettor::text_bytes(folder.attr("name"));
  if (!name.empty() && name[0] == '.') return true;
  if (name == "site-packages" || name == "dist-packages" || name == "node_modules" ||
      name == "__pycache__") {
    return true;
  }
  return is_file(child(folder, py::str("pyvenv.cfg"))) ||
         truthy(child(folder, py::str("conda-meta")).attr("is_dir")());
}

// The project's files whose names `wanted` accepts, in a stable order: each folder's files,
// then its sub-folders.
template <class Wanted>
py::list project_files(const py::object& root, Wanted&& wanted) {
  py::object path_class = G("Path");
  py::list files;
  vettor::walk_folders(root, [&](py::handle here, py::list subfolders, py::list names) {
    py::object folder = path_class(here);
    py::list kept;
    for (py::handle name : subfolders) {
      if (!is_foreign_folder(child(folder, name))) kept.append(name);
    }
    kept.attr("sort")();
    subfolders.attr("clear")();
    subfolders.attr("extend")(kept);
    names.attr("sort")();
    for (py::handle name : names) {
      if (wanted(vettor::text_bytes(name))) files.append(child(folder, name));
    }
  });
  return files;
}

py::list python_files(const py::object& root) {
  return project_files(root, [](const std::string& name) { return name.ends_with(".py"); });
}

// The module tree of a Python file, or None when it cannot be read or parsed (the parser
// gives up on too deep a nesting with a MemoryError or a RecursionError).
py::object parse_file(const py::object& path) {
  py::tuple unreadable = py::make_tuple(
      py::handle(PyExc_OSError), py::handle(PyExc_UnicodeDecodeError), py::handle(PyExc_SyntaxError),
      py::handle(PyExc_ValueError), py::handle(PyExc_MemoryError), py::handle(PyExc_RecursionError));
  return on_error(
      unreadable,
      [&] {
        py::str text = without_bom(path.attr("read_text")("encoding"_a = "utf-8"));
        return G("ast").attr("parse")(text, "filename"_a = py::str(path));
      },
      [] { return py::object(py::none()); });
}

// ---------------------------------------------------------------------------------------
// The manage file

py::object find_manage_file(const py::object& root) {
  py::object best = py::none();
  size_t best_depth = 0;
  for (py::handle path : python_files(root)) {
    if (!py::str(path.attr("name")).equal(py::str("manage.py"))) continue;
    if (!may_read(root, py::reinterpret_borrow<py::object>(path))) continue;
    // A manage.py of another framework is no Django manage file, nor is one that cannot be
    // opened (a symbolic link to a file that is not there).
    py::object text = on_error(
        PyExc_OSError,
        [&] { return path.attr("read_text")("encoding"_a = "utf-8", "errors"_a = "ignore"); },
        [] { return py::object(py::str()); });
    if (!truthy(text.attr("lower")().attr("__contains__")("django"))) continue;
    size_t depth = py::len(path.attr("parts"));
    if (best.is_none() || depth < best_depth) {
      best = py::reinterpret_borrow<py::object>(path);
      best_depth = depth;
    }
  }
  return best;
}

py::object get_manage_file(py::object project_root) {
  py::object root = G("Path")(project_root);
  py::object manage = find_manage_file(root);
  if (manage.is_none()) {
    vettor::raise(G("ManageFileMissingError"),
                  vettor::bytes_text("no Django manage.py in " + vettor::text_bytes(py::str(root))));
  }
  return manage;
}

bool is_constant_text(py::handle node, const char* text = nullptr) {
  if (!vettor::isinstance(node, G("ast").attr("Constant"))) return false;
  py::object value = node.attr("value");
  if (!PyUnicode_Check(value.ptr())) return false;
  return text == nullptr || value.equal(py::str(text));
}

// The DJANGO_SETTINGS_MODULE that manage.py sets, by os.environ.setdefault(...) or by
// assignment, or None.
py::object settings_module_named_in(const py::object& manage) {
  py::object tree = parse_file(manage);
  if (tree.is_none()) return py::none();
  py::object ast = G("ast");
  for (py::handle node : ast.attr("walk")(tree)) {
    if (vettor::isinstance(node, ast.attr("Call"))) {
      py::object func = node.attr("func");
      py::list args = node.attr("args");
      if (vettor::isinstance(func, ast.attr("Attribute")) &&
          py::str(func.attr("attr")).equal(py::str("setdefault")) && py::len(args) >= 2 &&
          is_constant_text(args[0], "DJANGO_SETTINGS_MODULE") && is_constant_text(args[1])) {
        return args[1].attr("value");
      }
    } else if (vettor::isinstance(node, ast.attr("Assign")) && is_constant_text(node.attr("value"))) {
      for (py::handle target : node.attr("targets")) {
        if (vettor::isinstance(target, ast.attr("Subscript")) &&
            is_constant_text(target.attr("slice"), "DJANGO_SETTINGS_MODULE")) {
          return node.attr("value").attr("value");
        }
      }
    }
  }
  return py::none();
}

// ---------------------------------------------------------------------------------------
// Settings modules

// The import path of a module file: its own name under every enclosing package.
using vettor::import_path_of;

// The file behind an import path, under one of the given folders, or None.
py::object module_file_under(py::handle import_path, const py::list& folders) {
  if (!PyUnicode_Check(import_path.ptr())) return py::none();
  py::list parts = py::str(import_path).attr("split")(".");
  for (py::handle part : parts) {
    if (!truthy(part.attr("isidentifier")())) return py::none();
  }
  for (py::handle base : folders) {
    py::object path = G("Path")(base);
    for (py::handle part : parts) path = child(path, part);
    py::object module = path.attr("with_suffix")(".py");
    if (is_file(module)) return module;
    py::object package = child(path, py::str("__init__.py"));
    if (is_file(package)) return package;
  }
  return py::none();
}

// Import path -> file of every settings module found so far: get_root_urlconf is handed
// import paths only, which need not be importable from the analysing process.
py::dict known_settings_files() { return G("_settings_files_found"); }

// The folders of tests.
const char* const kTestFolders[] = {"tests", "test", "testing"};

bool is_one_of(const std::string& word, const char* const* words, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (word == words[i]) return true;
  }
  return false;
}

// Whether the settings module (its import path, and its file when known) is named for
// development or tests: its own name holds such a word, or it sits in a tests folder.
bool is_for_development(const std::string& import_path, const py::object& file,
                        const py::object& root) {
  if (vettor::names_development_module(import_path)) return true;
  std::vector<std::string> folders;
  for (size_t start = 0; start < import_path.size();) {
    size_t dot = import_path.find('.', start);
    if (dot == std::string::npos) break;
    folders.push_back(import_path.substr(start, dot - start));
    start = dot + 1;
  }
  if (!file.is_none()) {
    py::object relative = on_error(
        PyExc_ValueError,
        [&]() -> py::object { return file.attr("parent").attr("relative_to")(root).attr("parts"); },
        [] { return py::object(py::tuple()); });
    for (py::handle part : relative) folders.push_back(py::str(part));
  }
  for (const std::string& folder : folders) {
    if (is_one_of(folder, kTestFolders, std::size(kTestFolders))) return true;
  }
  return false;
}

// The folder a module file's packages start in: where its import path begins.
py::object import_root_of(const py::object& file) { return vettor::package_chain(file).start; }

// The settings modules [tool.vettor] settings-files names, as import paths (a list, or one text
// of them separated by commas); None when it names none.
py::object configured_settings_files(const py::object& root) {
  py::object value = get_toml_config(root).attr("get")("settings-files");
  py::list named;
  if (PyUnicode_Check(value.ptr())) {
    for (py::handle part : value.attr("split")(",")) {
      py::object text = part.attr("strip")();
      if (truthy(text)) named.append(text);
    }
    return named;
  }
  if (!py::isinstance<py::list>(value) && !py::isinstance<py::tuple>(value)) return py::none();
  for (py::handle item : value) {
    if (PyUnicode_Check(item.ptr())) named.append(item);
  }
  return named;
}

// ---------------------------------------------------------------------------------------
// A settings module's imports, as a deployment runs them
//
// The settings rules read a settings module through the modules it imports, and the search
// for the modules a deployment uses reads which modules build on which: both read an import
// here, in the same way. An import inside `try:` whose `except` takes an ImportError is
// optional. It is read when its module is a file of the project, unless the module's name says
// development or tests (`try: from .local import *`): those are a developer's own overrides,
// which a deployment does not have (and the lint of a checkout must not depend on a file that
// git ignores). Such an import fails as it would without the file, and the `except` clause
// that takes the ImportError runs instead of the rest of the block.

// The file of the module that `from <module> import ...` (`level` leading dots) names in the
// module `file`, or None: a relative import from the file's package, an absolute one from the
// file's folder or any folder above it up to the one its packages start in. Only a regular
// file inside that folder, once every link is followed, is named.
py::object imported_module_file(const py::object& file, py::handle module, long level) {
  py::object path = G("Path")(file).attr("absolute")();
  py::object folder = path.attr("parent");
  py::object top = import_root_of(path);
  std::vector<py::object> bases;
  if (level > 0) {
    for (long up = 1; up < level; ++up) folder = folder.attr("parent");
    bases.push_back(folder);
  } else {
    for (int i = 0; i < 32; ++i) {
      bases.push_back(folder);
      py::object parent = folder.attr("parent");
      if (folder.equal(top) || parent.equal(folder)) break;
      folder = parent;
    }
  }
  py::list parts;
  if (PyUnicode_Check(module.ptr()) && truthy(module)) parts = module.attr("split")(".");
  auto named = [&](const py::object& found) -> py::object {
    if (vettor::refusal_to_read(top, found)) return py::none();
    return py::str(found);
  };
  for (const py::object& base : bases) {
    py::object candidate = base;
    for (py::handle part : parts) candidate = child(candidate, part);
    if (py::len(parts) > 0) {
      py::object module_file =
          child(candidate.attr("parent"), candidate.attr("name").attr("__add__")(".py"));
      if (is_file(module_file)) return named(module_file);
    }
    py::object package = child(candidate, py::str("__init__.py"));
    if (is_file(package)) return named(package);
  }
  return py::none();
}

// Whether an `except` clause takes an ImportError: a bare one, or one that names ImportError,
// ModuleNotFoundError or a class above them. Of either kind of tree: the standard `ast`
// module's (names in `id` and `attr`) or astroid's (`name` and `attrname`).
bool catches_import_error(py::handle handler) {
  py::object type = py::getattr(handler, "type", py::none());
  if (type.is_none()) return true;
  py::object elements = py::getattr(type, "elts", py::none());
  py::list named;
  if (elements.is_none()) {
    named.append(type);
  } else {
    for (py::handle element : elements) named.append(element);
  }
  for (py::handle node : named) {
    for (const char* field : {"id", "name", "attr", "attrname"}) {
      py::object name = py::getattr(node, field, py::none());
      if (!PyUnicode_Check(name.ptr())) continue;
      std::string text = py::str(name);
      if (text == "ImportError" || text == "ModuleNotFoundError" || text == "Exception" ||
          text == "BaseException") {
        return true;
      }
    }
  }
  return false;
}

// How a deployment runs `from <module> import ...` (`level` leading dots) in the settings
// module `file`: the pair (the file it reads, or None; whether it fails with an ImportError).
// `optional`: the import stands in a `try:` block whose `except` takes an ImportError. A
// relative import of a module the project does not have fails; so does an optional import of
// a module named for development or tests, which is not read. An absolute import the project
// has no file for may name an installed library: it is not read, and not known to fail.
py::tuple read_settings_import(py::object file, py::object module, py::object level, bool optional) {
  if (file.is_none()) return py::make_tuple(py::none(), false);
  long dots = level.is_none() ? 0 : level.cast<long>();
  py::object found = imported_module_file(file, module, dots);
  if (found.is_none()) return py::make_tuple(py::none(), dots > 0);
  if (optional) {
    std::string name = PyUnicode_Check(module.ptr()) ? std::string(py::str(module)) : "";
    if (name.empty()) name = py::str(G("Path")(found).attr("parent").attr("name"));
    if (is_for_development(name, py::none(), py::none())) return py::make_tuple(py::none(), true);
  }
  return py::make_tuple(found, false);
}

// Runs `visit(statement, conditional, imported)` over a settings module's statements in the
// order they run when it is imported: its top-level statements, the bodies of `if`, `else`,
// loops and `with` (conditional when they may not run), and `try:` blocks as their imports
// fail or not. `imported` is the file a `from ... import` reads, or None. Function and class
// bodies do not run on import.
template <class Visit>
void run_statements(const py::object& file, py::handle body, bool conditional, Visit& visit) {
  py::object ast = G("ast");
  for (py::handle statement : body) {
    if (vettor::isinstance(statement, ast.attr("ImportFrom"))) {
      py::tuple read = G("read_settings_import")(file, statement.attr("module"), statement.attr("level"), false);
      visit(statement, conditional, py::object(read[0]));
    } else if (vettor::isinstance(statement, ast.attr("Try"))) {
      bool optional = false;
      for (py::handle handler : statement.attr("handlers")) optional = optional || catches_import_error(handler);
      bool failed = false;
      for (py::handle inner : statement.attr("body")) {
        if (optional && vettor::isinstance(inner, ast.attr("ImportFrom"))) {
          py::tuple read = G("read_settings_import")(file, inner.attr("module"), inner.attr("level"), true);
          failed = truthy(read[1]);
          if (failed) break;
          visit(inner, conditional, py::object(read[0]));
        } else {
          run_statements(file, py::make_tuple(inner), conditional, visit);
        }
      }
      if (failed) {
        for (py::handle handler : statement.attr("handlers")) {
          if (!catches_import_error(handler)) continue;
          run_statements(file, handler.attr("body"), conditional, visit);
          break;
        }
      } else {
        run_statements(file, statement.attr("orelse"), conditional, visit);
      }
      run_statements(file, statement.attr("finalbody"), conditional, visit);
    } else {
      visit(statement, conditional, py::none());
      bool branches = vettor::isinstance(statement, py::make_tuple(ast.attr("If"), ast.attr("For"),
                                                                   ast.attr("AsyncFor"), ast.attr("While")));
      if (branches) {
        run_statements(file, statement.attr("body"), true, visit);
        run_statements(file, statement.attr("orelse"), true, visit);
      } else if (vettor::isinstance(statement, py::make_tuple(ast.attr("With"), ast.attr("AsyncWith")))) {
        run_statements(file, statement.attr("body"), conditional, visit);
      }
    }
  }
}

bool is_star_import(py::handle statement) {
  if (!vettor::isinstance(statement, G("ast").attr("ImportFrom"))) return false;
  for (py::handle alias : statement.attr("names")) {
    if (py::str(alias.attr("name")).equal(py::str("*"))) return true;
  }
  return false;
}

// The files of the modules a settings module takes every name of (`from .base import *`),
// as a deployment runs it, each once.
py::list star_imported(const py::object& file) {
  py::list imported;
  py::object tree = parse_file(file);
  if (tree.is_none()) return imported;
  auto visit = [&](py::handle statement, bool, const py::object& read) {
    if (is_star_import(statement) && !read.is_none() && !imported.contains(read)) imported.append(read);
  };
  run_statements(file, tree.attr("body"), false, visit);
  return imported;
}

// Whether a module reads as Django settings where it runs on import: it assigns a name only a
// settings module assigns, or takes every name of another module (settings/production.py:
// `from .base import *`, then a few overrides).
bool looks_like_settings(const py::object& file, const py::object& tree) {
  py::object ast = G("ast");
  bool settings = false;
  auto visit = [&](py::handle statement, bool conditional, const py::object&) {
    if (conditional || settings) return;
    if (is_star_import(statement)) {
      settings = true;
      return;
    }
    py::list targets;
    if (vettor::isinstance(statement, ast.attr("Assign"))) {
      targets = statement.attr("targets");
    } else if (vettor::isinstance(statement, ast.attr("AnnAssign"))) {
      targets.append(statement.attr("target"));
    }
    for (py::handle target : targets) {
      if (!vettor::isinstance(target, ast.attr("Name"))) continue;
      std::string id = py::str(target.attr("id"));
      for (const char* setting : kSettingNames) settings = settings || id == setting;
    }
  };
  run_statements(file, tree.attr("body"), false, visit);
  return settings;
}

std::string real_path(py::handle file) { return vettor::path_bytes(lookup("os.path", "realpath")(file)); }

// The import path's last part is "settings": the project's own settings module
// (proj/settings.py, or the package proj/settings/), which a deployment reads unless told
// otherwise.
bool is_main_settings_module(const std::string& import_path) {
  return import_path.substr(import_path.rfind('.') + 1) == "settings";
}

// ---------------------------------------------------------------------------------------
// Development entry points
//
// Besides a module's own name, the project says which settings modules serve development:
// manage.py names the default of the development server and the developer's commands, so a
// module only manage.py names while wsgi.py or asgi.py name another is development's; and a
// docker-compose service that runs the development server (`runserver`), turns DEBUG on in its
// environment, or stands in a compose file named for development (docker-compose.dev.yml,
// compose.local.yaml, docker-compose.override.yml) serves development with the module it sets
// in DJANGO_SETTINGS_MODULE (or passes by --settings), unless a compose service of another
// kind uses it too. The project's own settings module (proj/settings.py, proj/settings/) is no
// development module on this evidence alone: the deployment reads it as well.

bool is_compose_file_name(const std::string& name) {
  std::string lower = name;  // (bytes of a file name: only its ASCII letters matter here)
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  bool yaml = lower.ends_with(".yml") || lower.ends_with(".yaml");
  return yaml && (lower.starts_with("docker-compose") || lower.starts_with("compose"));
}

// A compose file's contents, or None when it cannot be read as YAML (or is larger than any
// compose file: a megabyte).
py::object read_compose_file(const py::object& root, const py::object& path) {
  if (!may_read(root, path)) return py::none();
  py::tuple unreadable = py::make_tuple(py::handle(PyExc_OSError), py::handle(PyExc_UnicodeDecodeError),
                                        py::handle(PyExc_ValueError), py::handle(PyExc_RecursionError),
                                        py::handle(PyExc_MemoryError), lookup("yaml", "YAMLError"));
  return on_error(
      unreadable,
      [&]() -> py::object {
        if (path.attr("stat")().attr("st_size").cast<long long>() > (1 << 20)) return py::none();
        return lookup("yaml", "safe_load")(path.attr("read_text")("encoding"_a = "utf-8"));
      },
      [] { return py::object(py::none()); });
}

// A service's command line (`command` and `entrypoint`, texts or lists) as one text.
std::string service_command(const py::dict& service) {
  std::string text;
  for (const char* key : {"entrypoint", "command"}) {
    py::object value = service.attr("get")(key);
    if (PyUnicode_Check(value.ptr())) {
      text += " " + std::string(py::str(value));
    } else if (py::isinstance<py::list>(value)) {
      for (py::handle part : value) {
        if (PyUnicode_Check(part.ptr())) text += " " + std::string(py::str(part));
      }
    }
  }
  return text;
}

// A service's environment as name -> text (a mapping, or a list of NAME=VALUE texts).
std::vector<std::pair<std::string, std::string>> service_environment(const py::dict& service) {
  std::vector<std::pair<std::string, std::string>> variables;
  py::object environment = service.attr("get")("environment");
  if (py::isinstance<py::dict>(environment)) {
    for (auto item : py::reinterpret_borrow<py::dict>(environment)) {
      if (!PyUnicode_Check(item.first.ptr())) continue;
      variables.emplace_back(py::str(item.first), item.second.is_none() ? "" : std::string(py::str(item.second)));
    }
  } else if (py::isinstance<py::list>(environment)) {
    for (py::handle entry : environment) {
      if (!PyUnicode_Check(entry.ptr())) continue;
      std::string text = py::str(entry);
      size_t equals = text.find('=');
      if (equals != std::string::npos) variables.emplace_back(text.substr(0, equals), text.substr(equals + 1));
    }
  }
  return variables;
}

// The settings modules compose services use: import path -> whether every service that uses
// it serves development.
py::dict compose_settings_modules(const py::object& root) {
  py::dict uses;
  py::object search = lookup("re", "findall");
  for (py::handle path : project_files(root, [](const std::string& name) { return is_compose_file_name(name); })) {
    py::object file = py::reinterpret_borrow<py::object>(path);
    py::object data = read_compose_file(root, file);
    if (!py::isinstance<py::dict>(data)) continue;
    bool development_file = vettor::has_word_among(py::str(file.attr("stem")), {"dev", "development", "local", "override"});
    py::object services = data.attr("get")("services", data);
    if (!py::isinstance<py::dict>(services)) continue;
    for (auto item : py::reinterpret_borrow<py::dict>(services)) {
      if (!py::isinstance<py::dict>(item.second)) continue;
      py::dict service = py::reinterpret_borrow<py::dict>(item.second);
      std::string command = service_command(service);
      bool development = development_file || command.find("runserver") != std::string::npos;
      py::list named = search(R"((?:--settings[= ]|DJANGO_SETTINGS_MODULE=)['"]?([\w.]+))", command);
      for (const auto& [name, value] : service_environment(service)) {
        std::string upper = py::str(py::str(name).attr("upper")());
        if (upper == "DJANGO_SETTINGS_MODULE") named.append(py::str(value));
        if (upper == "DEBUG" || upper.ends_with("_DEBUG")) {
          std::string lower = py::str(py::str(value).attr("strip")().attr("lower")());
          development = development || lower == "1" || lower == "true" || lower == "yes" || lower == "on";
        }
      }
      for (py::handle module : named) {
        bool before = !uses.contains(module) || truthy(uses[module]);
        uses[module] = py::bool_(before && development);
      }
    }
  }
  return uses;
}

// Every settings module found in the project, as import paths: the ones wsgi.py and asgi.py
// name (what a deployment runs with), then the one manage.py names, then every settings.py
// and every module of a settings package that looks like Django settings. With
// `deployed_only`, the modules for development or tests are left out, whoever names them
// (wsgi.py, asgi.py and manage.py name a default, and a deployment sets DJANGO_SETTINGS_MODULE
// itself): those whose names say so (is_for_development) and those the project uses for
// development (see Development entry points). So is a base that another module of them builds
// on (`from .base import *` in production.py): a base is no deployment of its own, and what a
// deployment takes from it is judged in the module built on it. (A security setting written
// into the base would also reach the development modules built on it: HTTPS redirects and
// HSTS on the development server.) When that leaves nothing, the modules the development ones
// build on are judged as a deployment would read them.
py::list find_settings_files(py::object project_root, bool deployed_only) {
  py::object root = G("Path")(project_root);
  py::list found;
  py::dict known = known_settings_files();
  // What an earlier project's walk found is not this project's.
  known.clear();
  py::dict deployed_paths;  // import path -> named by a deployment
  py::dict files_of;        // import path -> file
  py::list left_out;        // the files of the modules for development
  py::set development;      // import paths the project uses for development only
  auto add = [&](const py::str& import_path, const py::object& file, bool deployed) {
    if (found.contains(import_path)) return;
    std::string name = import_path;
    if (deployed_only && (is_for_development(name, file, root) ||
                          (development.contains(import_path) && !is_main_settings_module(name)))) {
      if (!file.is_none()) left_out.append(file);
      return;
    }
    found.append(import_path);
    deployed_paths[import_path] = py::bool_(deployed);
    files_of[import_path] = file;
    if (!file.is_none()) known[import_path] = py::str(file);
  };

  py::object manage = find_manage_file(root);
  py::list files = python_files(root);
  std::vector<std::tuple<py::str, py::object>> entry_points;  // named by wsgi.py and asgi.py
  for (py::handle path : files) {
    py::object entry = py::reinterpret_borrow<py::object>(path);
    std::string name = vettor::text_bytes(entry.attr("name"));
    if (name != "wsgi.py" && name != "asgi.py") continue;
    if (is_for_development("", entry, root)) continue;  // a test site's entry point
    if (!may_read(root, entry)) continue;
    py::object named = settings_module_named_in(entry);
    if (named.is_none()) continue;
    py::list folders;
    folders.append(import_root_of(entry));
    if (!manage.is_none()) folders.append(manage.attr("parent"));
    folders.append(root);
    py::object file = module_file_under(named, folders);
    if (!file.is_none() && !may_read(root, file)) file = py::none();
    entry_points.emplace_back(named, file);
  }
  py::object manage_named = manage.is_none() ? py::object(py::none()) : settings_module_named_in(manage);
  if (deployed_only) {
    for (auto item : compose_settings_modules(root)) {
      if (truthy(item.second)) development.add(item.first);
    }
    bool named_elsewhere = false;
    for (const auto& [named, file] : entry_points) named_elsewhere = named_elsewhere || named.equal(manage_named);
    if (!manage_named.is_none() && !entry_points.empty() && !named_elsewhere) development.add(manage_named);
  }
  for (const auto& [named, file] : entry_points) add(named, file, true);
  if (!manage_named.is_none()) {
    py::list folders;
    folders.append(manage.attr("parent"));
    folders.append(root);
    py::object file = module_file_under(manage_named, folders);
    if (!file.is_none() && !may_read(root, file)) file = py::none();
    add(manage_named, file, false);
  }
  for (py::handle path : files) {
    py::object file = py::reinterpret_borrow<py::object>(path);
    bool candidate = py::str(file.attr("name")).equal(py::str("settings.py")) ||
                     py::str(file.attr("parent").attr("name")).equal(py::str("settings"));
    if (!candidate || !may_read(root, file)) continue;
    py::object tree = parse_file(file);
    if (tree.is_none() || !looks_like_settings(file, tree)) continue;
    add(vettor::bytes_text(import_path_of(file)), file, false);
  }
  if (!deployed_only) return found;
  std::set<std::string> bases;
  for (py::handle import_path : found) {
    py::object file = files_of[import_path];
    if (file.is_none()) continue;
    std::string own = real_path(file);
    for (py::handle base : star_imported(file)) {
      if (real_path(base) != own) bases.insert(real_path(base));
    }
  }
  py::list judged;
  for (py::handle import_path : found) {
    py::object file = files_of[import_path];
    bool base = !file.is_none() && bases.count(real_path(file)) > 0;
    if (base && !truthy(deployed_paths[import_path])) continue;
    judged.append(import_path);
  }
  if (py::len(judged) > 0) return judged;
  for (py::handle file : left_out) {
    for (py::handle base : star_imported(py::reinterpret_borrow<py::object>(file))) {
      py::object base_file = G("Path")(base);
      py::str import_path = vettor::bytes_text(import_path_of(base_file));
      if (judged.contains(import_path) || is_for_development(import_path, base_file, root)) continue;
      judged.append(import_path);
      known[import_path] = py::str(base_file);
    }
  }
  return judged;
}

// The files of the project's own modules that `import_paths` name (import path -> file), as
// the settings modules are found: under the manage file's folder or the root, else wherever
// the walk names a file so. They are known to get_root_urlconf afterwards.
py::dict get_module_files(py::object project_root, py::object import_paths) {
  py::object root = G("Path")(project_root);
  py::dict files;
  py::list wanted;
  for (py::handle name : import_paths) {
    if (PyUnicode_Check(name.ptr()) && !wanted.contains(name)) wanted.append(name);
  }
  if (py::len(wanted) == 0) return files;
  py::list folders;
  py::object manage = find_manage_file(root);
  if (!manage.is_none()) folders.append(manage.attr("parent"));
  folders.append(root);
  py::list missing;
  for (py::handle name : wanted) {
    py::object file = module_file_under(name, folders);
    if (!file.is_none() && may_read(root, file)) {
      files[name] = py::str(file);
    } else {
      missing.append(name);
    }
  }
  if (py::len(missing) > 0) {
    for (py::handle path : python_files(root)) {
      py::object file = py::reinterpret_borrow<py::object>(path);
      py::str name = vettor::bytes_text(import_path_of(file));
      if (!missing.contains(name) || files.contains(name) || !may_read(root, file)) continue;
      files[name] = py::str(file);
    }
  }
  py::dict known = known_settings_files();
  for (auto item : files) known[item.first] = item.second;
  return files;
}

// The settings modules the settings rules judge and their fixes change: the ones the caller
// names (`configured`, import paths), else the ones [tool.vettor] settings-files names, else
// those a deployment uses (see find_settings_files). Only this project's files are known to
// get_root_urlconf afterwards.
py::list get_settings_files(py::object project_root, py::object configured) {
  py::object root = G("Path")(project_root);
  if (configured.is_none()) configured = configured_settings_files(root);
  if (configured.is_none()) return find_settings_files(project_root, true);
  known_settings_files().clear();
  get_module_files(project_root, configured);
  return configured;
}

py::object locate_settings_module(py::handle import_path) {
  py::dict known = known_settings_files();
  if (known.contains(import_path)) {
    py::object file = G("Path")(known[import_path]);
    if (is_file(file)) return file;
  }
  py::list folders;
  for (py::handle entry : lookup("sys", "path")) {
    folders.append(truthy(entry) ? py::reinterpret_borrow<py::object>(entry) : py::object(py::str(".")));
  }
  return module_file_under(import_path, folders);
}

// How a module sets a setting as it runs on import: whether it assigns it (itself, or through
// a star import of a module of its own tree, followed at most `depth` deep), and the literal
// value the last assignment gives (None when that is not a literal), as when Python runs it.
// An assignment or star import inside an `if` or a loop may not run, and is not counted.
std::pair<bool, py::object> setting_assignment(const py::object& file, const char* setting,
                                               int depth = 8) {
  py::object tree = parse_file(file);
  if (tree.is_none()) return {false, py::none()};
  py::object ast = G("ast");
  bool assigned = false;
  py::object value = py::none();
  auto visit = [&](py::handle statement, bool conditional, const py::object& read) {
    if (conditional) return;
    if (is_star_import(statement)) {
      if (depth == 0 || read.is_none() || real_path(read) == real_path(file)) return;
      auto [there, its_value] = setting_assignment(G("Path")(read), setting, depth - 1);
      if (there) {
        assigned = true;
        value = its_value;
      }
      return;
    }
    py::list targets;
    if (vettor::isinstance(statement, ast.attr("Assign"))) {
      targets = statement.attr("targets");
    } else if (vettor::isinstance(statement, ast.attr("AnnAssign")) &&
               !statement.attr("value").is_none()) {
      targets.append(statement.attr("target"));
    }
    for (py::handle target : targets) {
      if (vettor::isinstance(target, ast.attr("Name")) &&
          py::str(target.attr("id")).equal(py::str(setting))) {
        assigned = true;
        value = on_error(
            PyExc_ValueError, [&] { return ast.attr("literal_eval")(statement.attr("value")); },
            [] { return py::object(py::none()); });
      }
    }
  };
  run_statements(file, tree.attr("body"), false, visit);
  return {assigned, value};
}

// The literal value a module assigns to a setting at its top level (itself or through the
// bases it star-imports; the last assignment wins), or None when it assigns none or something
// not literal.
py::object literal_setting(const py::object& file, const char* setting) {
  return setting_assignment(file, setting).second;
}

// The first literal text that the settings modules, in order, assign to the setting.
py::object text_setting(py::handle settings_files, const char* setting) {
  for (py::handle import_path : settings_files) {
    py::object file = locate_settings_module(import_path);
    if (file.is_none()) continue;
    py::object value = literal_setting(file, setting);
    if (PyUnicode_Check(value.ptr())) return value;
  }
  return py::none();
}

py::str get_root_urlconf(py::object settings_files) {
  py::object urlconf = text_setting(settings_files, "ROOT_URLCONF");
  if (urlconf.is_none()) return py::str("");
  return urlconf;
}

// The model AUTH_USER_MODEL names ("app_label.ModelName"): the text the first settings module
// that assigns it gives, Django's own "auth.User" when the modules are found and none assigns
// it, None when no module is found or the value is not a literal text (read from the
// environment, say) and so cannot be known here.
py::object get_auth_user_model(py::object settings_files) {
  bool found = false;
  for (py::handle import_path : settings_files) {
    py::object file = locate_settings_module(import_path);
    if (file.is_none()) continue;
    found = true;
    if (parse_file(file).is_none()) return py::none();
    auto [assigned, value] = setting_assignment(file, "AUTH_USER_MODEL");
    if (assigned) return PyUnicode_Check(value.ptr()) ? value : py::none();
  }
  if (!found) return py::none();
  return py::str("auth.User");
}

py::str get_settings_modpath(py::object project_root) {
  py::list settings_files = G("get_settings_files")(project_root);
  if (py::len(settings_files) == 0) return py::str("");
  return settings_files[0];
}

// The static URL, from the judged settings modules, else from any settings module found: a
// project whose only settings are for development still serves its files under it.
py::object get_static_url_setting(py::object project_root) {
  py::object url = text_setting(G("get_settings_files")(project_root), "STATIC_URL");
  if (!url.is_none()) return url;
  return text_setting(find_settings_files(project_root, false), "STATIC_URL");
}

// The root URL configuration, from the judged settings modules, else from any settings module
// found: a project whose only settings are for development routes its requests all the same.
py::str get_project_root_urlconf(py::object project_root) {
  py::object urlconf = text_setting(G("get_settings_files")(project_root), "ROOT_URLCONF");
  if (urlconf.is_none()) urlconf = text_setting(find_settings_files(project_root, false), "ROOT_URLCONF");
  if (urlconf.is_none()) return py::str("");
  return urlconf;
}

}  // namespace

PYBIND11_MODULE(meta, m) {
  G.bind(m);
  m.attr("ast") = import("ast");
  m.attr("tomli") = import("tomli");
  m.attr("Path") = lookup("pathlib", "Path");
  m.attr("_settings_files_found") = py::dict();
  m.attr("_warned") = py::set();
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("ConfigurationError") = vettor::make_exception(
      m, "ConfigurationError", PyExc_ValueError,
      "A mistake in the project's configuration file; the message begins with the file.");

  m.def("get_toml_config", &get_toml_config, py::arg("project_root"));
  m.def("read_settings_import", &read_settings_import,
        "How a deployment runs `from <module> import ...` (`level` leading dots, None for\n"
        "none) in the settings module `file`: the pair (the file it reads, or None; whether it\n"
        "fails with an ImportError). `optional`: it stands in a try block whose except takes\n"
        "an ImportError; a module named for development or tests is then not read.",
        py::arg("file"), py::arg("module"), py::arg("level"), py::arg("optional") = false);
  m.def("catches_import_error", &catches_import_error,
        "Whether an except clause (of an ast or an astroid tree) takes an ImportError.",
        py::arg("handler"));
  m.def("get_settings_files", &get_settings_files, py::arg("project_root"),
        py::arg("configured") = py::none());
  m.def("get_root_urlconf", &get_root_urlconf, py::arg("settings_files"));
  m.def("get_module_files", &get_module_files,
        "The files of the project's own modules named by import_paths, as a mapping from\n"
        "import path to file; a name the project has no readable file for is left out.",
        py::arg("project_root"), py::arg("import_paths"));
  m.def("get_auth_user_model", &get_auth_user_model, py::arg("settings_files"));
  m.attr("ManageFileMissingError") = vettor::make_exception(
      m, "ManageFileMissingError", PyExc_FileNotFoundError, "The project has no Django manage.py.");
  m.def("get_manage_file", &get_manage_file, py::arg("project_root"));
  m.def("get_settings_modpath", &get_settings_modpath, py::arg("project_root"));
  m.def("get_code_style", &get_code_style, py::arg("project_root"));
  m.def("skips_string_normalization", &skips_string_normalization, py::arg("project_root"));
  m.def("get_static_url_setting", &get_static_url_setting, py::arg("project_root"));
  m.def("get_project_root_urlconf", &get_project_root_urlconf, py::arg("project_root"));
}
