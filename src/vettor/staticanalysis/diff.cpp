// The project-wide diff of fixed files: runs the code transformer over the project's
// selected Python files and hands back the new text of every file that a fix changed,
// with its path relative to the project root.
//
// A file is offered only when a fix changed it: a file the transformer merely reformats
// is left alone, and so is a file whose fix would drop one of its comments. A file that
// cannot be read, parsed or fixed is recorded in the result's `failures` and the others
// are still offered.
#include <vettor/pyutil.hpp>

#include <string>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using vettor::import;
using vettor::lookup;
using vettor::truthy;

vettor::ModuleRef G;

py::object path_of(py::handle value) { return G("Path")(value); }

bool is_python_file(const py::object& path) {
  return py::str(path.attr("suffix")).equal(py::str(".py")) && truthy(path.attr("is_file")());
}

// Folders that are not the project's own code: hidden folders (.git, .tox, .venv), virtual
// environments, installed packages, JavaScript packages and byte-code caches.
bool is_foreign_folder(const py::object& folder) {
  std::string name = py::str(folder.attr("name"));
  if (!name.empty() && name[0] == '.') return true;
  if (name == "site-packages" || name == "dist-packages" || name == "node_modules" ||
      name == "__pycache__") {
    return true;
  }
  return truthy(folder.attr("__truediv__")("pyvenv.cfg").attr("is_file")());
}

// The Python files below a folder: each folder's files in name order, then its sub-folders.
py::list python_files_below(const py::object& folder) {
  py::list files;
  for (py::handle entry : lookup("os", "walk")(folder)) {
    py::object here = path_of(entry[py::int_(0)]);
    py::list subfolders = entry[py::int_(1)];
    py::list kept;
    for (py::handle name : subfolders) {
      if (!is_foreign_folder(here.attr("__truediv__")(name))) kept.append(name);
    }
    kept.attr("sort")();
    subfolders.attr("clear")();
    subfolders.attr("extend")(kept);
    py::list names(entry[py::int_(2)]);
    names.attr("sort")();
    for (py::handle name : names) {
      py::object file = here.attr("__truediv__")(name);
      if (is_python_file(file)) files.append(file);
    }
  }
  return files;
}

bool inside(const py::object& resolved, const py::object& root) {
  return resolved.equal(root) || truthy(resolved.attr("parents").attr("__contains__")(root));
}

// The whitelist names what may be fixed: paths relative to the project root (texts or path
// objects; absolute paths inside the root serve too), each a Python file or a folder whose
// Python files are all taken. None takes the whole project. Files that do not exist or are
// not Python files are passed over; a path leading out of the project is refused.
// Gives (project-relative path with "/", file) pairs, each file once, in whitelist order.
py::list selected_files(const py::object& root, py::object whitelist) {
  py::list entries;
  if (whitelist.is_none()) {
    entries.append(root);
  } else if (py::isinstance<py::str>(whitelist) ||
             vettor::isinstance(whitelist, lookup("os", "PathLike"))) {
    entries.append(whitelist);  // one path, not its characters
  } else {
    for (py::handle entry : whitelist) entries.append(entry);
  }

  py::list selected;
  py::set seen;
  auto add = [&](const py::object& file) {
    py::object resolved = file.attr("resolve")();
    // A link inside a walked folder may point anywhere; only the project's files are fixed.
    if (!inside(resolved, root) || resolved.equal(root)) return;
    py::str relative = resolved.attr("relative_to")(root).attr("as_posix")();
    if (seen.contains(relative)) return;
    seen.add(relative);
    selected.append(py::make_tuple(relative, resolved));
  };
  for (py::handle entry : entries) {
    py::object resolved = root.attr("__truediv__")(entry).attr("resolve")();
    if (!inside(resolved, root)) {
      vettor::raise(PyExc_ValueError, "whitelist entry " + std::string(py::repr(entry)) +
                                          " is not inside the project root " +
                                          std::string(py::str(root)));
    }
    if (truthy(resolved.attr("is_dir")())) {
      for (py::handle file : python_files_below(resolved)) {
        add(py::reinterpret_borrow<py::object>(file));
      }
    } else if (is_python_file(resolved)) {
      add(resolved);
    }
  }
  return selected;
}

// A Python source as Python reads it: its byte-order mark or coding cookie names the
// encoding (UTF-8 otherwise), and line endings become "\n".
py::str read_source(const py::object& file) {
  py::bytes data = file.attr("read_bytes")();
  py::object readline = lookup("io", "BytesIO")(data).attr("readline");
  py::object encoding = lookup("tokenize", "detect_encoding")(readline)[py::int_(0)];
  py::str text = data.attr("decode")(encoding);
  return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
}

// The comments of a source, without their "#" and surrounding spaces (Black writes "#x"
// as "# x"), counted.
py::object comments_of(const py::str& text) {
  py::object comment = lookup("token", "COMMENT");
  py::object counter = lookup("collections", "Counter")();
  py::object readline = lookup("io", "StringIO")(text).attr("readline");
  for (py::handle tok : lookup("tokenize", "generate_tokens")(readline)) {
    if (!py::object(tok.attr("type")).equal(comment)) continue;
    py::object key = tok.attr("string").attr("lstrip")("#").attr("strip")();
    counter[key] = counter.attr("get")(key, 0).attr("__add__")(1);
  }
  return counter;
}

py::dict transformer_style() {
  py::dict style;
  style["line_length"] = 79;
  return style;
}

// What the transformer makes of a source when no fix applies: Black's formatting of the text
// as it stands.
py::str unfixed_rendering(const py::str& text) {
  py::object suggest = G("suggest");
  return suggest.attr("format_code")(
      text, "indentation"_a = "", "code_style"_a = transformer_style(),
      "comma_character_target"_a = suggest.attr("get_comma_character_target")(text));
}

// The new text of one file, or None when no fix changed it.
py::object fixed_source(const py::str& text, const py::str& relative, py::handle settings_modpath) {
  py::object transformer = vettor::import_sibling(G.handle(), "transformer");
  py::object result = transformer.attr("transform_code")(text, relative, settings_modpath);
  py::str fixed = result[py::int_(0)];
  if (py::str(std::string(fixed) + "\n").equal(text)) return py::none();
  if (fixed.equal(unfixed_rendering(text))) return py::none();

  py::str source = py::len(fixed) > 0 ? py::str(std::string(fixed) + "\n") : fixed;
  if (source.equal(text)) return py::none();

  py::object lost = comments_of(text).attr("__sub__")(comments_of(source));
  if (truthy(lost)) {
    std::string names;
    for (py::handle comment : lost) names += (names.empty() ? "" : ", ") + std::string(py::repr(comment));
    vettor::raise(PyExc_ValueError, "the fix would drop comments: " + names);
  }
  return source;
}

// The import path of a project file as Python (and the lint) names it: its folders count
// only as long as they are packages, up to the project root.
std::string package_path(const py::object& file, const py::object& root) {
  std::string name = py::str(file.attr("stem"));
  py::object folder = file.attr("parent");
  if (name == "__init__") {
    name = py::str(folder.attr("name"));
    folder = folder.attr("parent");
  }
  while (!folder.equal(root) && inside(folder, root) &&
         truthy(folder.attr("__truediv__")("__init__.py").attr("is_file")())) {
    name = std::string(py::str(folder.attr("name"))) + "." + name;
    folder = folder.attr("parent");
  }
  return name;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The settings modules the lint judges, as import paths: the one the caller names first, then
// the others the project's metadata finds. None when the caller names none.
py::list settings_modules(py::handle project_root, py::handle settings_modpath) {
  py::list modules;
  if (!PyUnicode_Check(settings_modpath.ptr()) || !truthy(settings_modpath)) return modules;
  modules.append(settings_modpath);
  for (py::handle found : G("meta").attr("get_settings_files")(project_root)) {
    if (!modules.contains(found)) modules.append(found);
  }
  return modules;
}

// The settings module the lint judges the file as, or the empty text: its import path is that
// module's, or ends with it (a project kept under src/). A file whose path merely ends in a
// settings module's name (docs/examples/settings.py for examples.settings, outside any
// package) is another module, and no settings fix is made in it.
py::str settings_module_of(const py::object& file, const py::object& root, const py::list& modules) {
  std::string name = package_path(file, root);
  for (py::handle module : modules) {
    std::string settings = py::str(module);
    if (name == settings || ends_with(name, "." + settings)) return py::str(settings);
  }
  return py::str("");
}

// The fixed texts come in the transformer's own layout; the project's code style is taken
// for the day the transformer formats in it (a second Black pass in that style cannot undo
// the lines Black already split at the transformer's width).
py::object get_diff_plaintext(py::object project_root, py::object whitelist,
                              py::object settings_modpath, py::object code_style) {
  (void)code_style;
  py::object root = path_of(project_root).attr("resolve")();
  py::list selected = selected_files(root, whitelist);
  py::list settings = settings_modules(project_root, settings_modpath);

  py::object result = G("ProjectDiff")();
  py::list failures;
  py::dict originals;
  py::object fixed_file = G("FixedFile");
  for (py::handle item : selected) {
    py::str relative = item[py::int_(0)];
    try {
      py::str text = read_source(item[py::int_(1)]);
      py::object source =
          fixed_source(text, relative, settings_module_of(item[py::int_(1)], root, settings));
      if (source.is_none()) continue;
      result.attr("append")(fixed_file(source, relative));
      originals[relative] = text;
    } catch (py::error_already_set& e) {
      // One file that cannot be fixed does not cost the project the fixes of the others.
      if (!e.matches(PyExc_Exception)) throw;
      G("logger").attr("warning")("Could not fix %s: %s", relative, e.value());
      failures.append(py::make_tuple(relative, e.value()));
    }
  }
  result.attr("failures") = failures;
  result.attr("originals") = originals;
  return result;
}

// ---------------------------------------------------------------------------------------
// Classes

py::object make_project_diff(py::module_& m) {
  py::dict ns;
  ns["__doc__"] =
      "The fixed files of a project: (source, path) pairs, path relative to the project root. "
      "`failures` holds (path, error) for the files that could not be fixed, `originals` the "
      "text each fixed file had.";
  py::object cls = vettor::make_class(m, "ProjectDiff", vettor::bases_of(py::type::of(py::list())), ns);
  // The changes as one unified diff, a/ and b/ before each path as git writes them.
  vettor::add_method(cls, "unified_diff", [](py::object self) {
    py::object unified = lookup("difflib", "unified_diff");
    py::dict originals = self.attr("originals");
    std::string text;
    for (py::handle fixed : self) {
      py::object source = fixed[py::int_(0)];
      py::object path = fixed[py::int_(1)];
      py::object before = originals[path].attr("splitlines")(true);
      py::object after = source.attr("splitlines")(true);
      std::string name = py::str(path);
      for (py::handle line : unified(before, after, "fromfile"_a = "a/" + name,
                                     "tofile"_a = "b/" + name)) {
        text += py::str(line);
        if (text.back() != '\n') text += "\n\\ No newline at end of file\n";
      }
    }
    return py::str(text);
  });
  return cls;
}

}  // namespace

PYBIND11_MODULE(diff, m) {
  G.bind(m);
  m.attr("Path") = lookup("pathlib", "Path");
  // The transformer imports this module when it loads; it is reached at call time.
  m.attr("helpers") = vettor::import_sibling(m, "helpers");
  m.attr("suggest") = vettor::import_sibling(m, "suggest");
  m.attr("meta") = vettor::import_sibling(m, "meta");
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));

  m.attr("FixedFile") = lookup("collections", "namedtuple")(
      "FixedFile", py::make_tuple("source", "path"), "module"_a = m.attr("__name__"));
  m.attr("ProjectDiff") = make_project_diff(m);
  m.def("get_diff_plaintext", &get_diff_plaintext, py::arg("project_root"), py::arg("whitelist"),
        py::arg("settings_modpath"), py::arg("code_style"));
}
