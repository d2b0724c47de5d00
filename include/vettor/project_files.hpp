// Where a project's files are: whether a path lies inside the project root, whether a file the
// analysis comes across may be read at all, and which packages a module file sits in.
//
// The project may be anybody's (a pull request from a fork, say), and opening a file is
// already an act: a FIFO or a device blocks the reader for ever, and a symbolic link may lead
// anywhere on the machine. So before a project file is opened, its kind and where it leads
// are tested: only regular files that lie inside the project root (after every link is
// followed) are read. Every "is this inside the project" question of the package is answered
// by ProjectRoot, and every walk up a module's packages by package_chain.
#pragma once

#include <vettor/pyutil.hpp>

#include <cctype>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

namespace vettor {

// The project root, as the answer to "does this path lie inside the project": the path is the
// root or lies below it. `holds` follows every link of both first (what a file really is);
// `holds_as_written` reads both as they are written, ".." resolved but no link followed (what
// a caller named). Paths may be relative to the working directory or absolute, texts or path
// objects.
class ProjectRoot {
 public:
  explicit ProjectRoot(py::handle root)
      : real_(py::str(lookup("os.path", "realpath")(root))),
        written_(py::str(lookup("os.path", "abspath")(root))) {}

  bool holds(py::handle path) const {
    return lies_in(real_, py::str(lookup("os.path", "realpath")(path)));
  }

  bool holds_as_written(py::handle path) const {
    return lies_in(written_, py::str(lookup("os.path", "abspath")(path)));
  }

 private:
  static bool lies_in(const std::string& top, const std::string& path) {
    std::string sep = py::str(lookup("os", "sep"));
    return path == top || path.starts_with(top.ends_with(sep) ? top : top + sep);
  }

  std::string real_;
  std::string written_;
};

// Whether `path`, once every link is followed, lies outside the project root `root`.
inline bool leads_outside_root(py::handle root, py::handle path) { return !ProjectRoot(root).holds(path); }

// Why `path` must not be read on behalf of the project in `root`, or nothing when it may.
// A path that does not exist (or cannot be looked at) is no refusal: opening it fails the
// ordinary way, which callers already handle. `path` may be relative to the working
// directory or absolute; `root` likewise.
inline std::optional<std::string> refusal_to_read(py::handle root, py::handle path) {
  if (leads_outside_root(root, path)) return "it leads outside the project root";
  py::object os = import("os");
  py::object real = os.attr("path").attr("realpath")(path);
  py::object status;
  try {
    status = os.attr("stat")(real);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return std::nullopt;
  }
  if (!truthy(lookup("stat", "S_ISREG")(status.attr("st_mode")))) return "it is not a regular file";
  return std::nullopt;
}

// Whether one of the words of `name` (split at "_", "-" and ".") is one of `words`, in any
// case.
inline bool has_word_among(const std::string& name, std::initializer_list<const char*> words) {
  std::string word;
  for (size_t i = 0; i <= name.size(); ++i) {
    if (i == name.size() || name[i] == '_' || name[i] == '-' || name[i] == '.') {
      for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      for (const char* candidate : words) {
        if (word == candidate) return true;
      }
      word.clear();
    } else {
      word += name[i];
    }
  }
  return false;
}

// Whether a module's own name (the last part of its import path) says it is for development
// or tests: settings/dev.py, local_settings.py, settings_test.py, but not locale.py or
// devops.py.
inline bool names_development_module(const std::string& import_path) {
  return has_word_among(import_path.substr(import_path.rfind('.') + 1),
                        {"dev", "development", "local", "test", "tests", "testing", "ci"});
}

// The packages a module file (or a folder) sits in, as Python imports it: `start` is the
// folder its imports start from (the nearest folder above it that is no package: it has no
// __init__.py), `packages` the names of the packages from there down to its own folder.
// With `stop` (a folder), the walk ends there too: `stop` itself counts as no package.
struct PackageChain {
  py::object start;                   // a pathlib.Path
  std::vector<std::string> packages;  // outermost first
};

inline PackageChain package_chain(py::handle file, py::handle stop = py::none()) {
  py::object folder = lookup("pathlib", "Path")(file).attr("parent");
  std::optional<ProjectRoot> bound;
  if (!stop.is_none()) bound.emplace(stop);
  py::object top = stop.is_none() ? py::object(py::none()) : lookup("pathlib", "Path")(stop);
  std::vector<std::string> packages;
  while (truthy(folder.attr("__truediv__")("__init__.py").attr("is_file")())) {
    py::object parent = folder.attr("parent");
    if (parent.equal(folder)) break;  // the file system's root
    if (bound && (folder.equal(top) || !bound->holds(folder))) break;
    packages.insert(packages.begin(), py::str(folder.attr("name")).cast<std::string>());
    folder = parent;
  }
  return {folder, packages};
}

// The import path of a module file under its packages (blog/models.py in the package blog is
// "blog.models"; a package's __init__.py is the package's own name), the walk ending at `stop`
// when one is given.
inline std::string import_path_of(py::handle file, py::handle stop = py::none()) {
  py::object path = lookup("pathlib", "Path")(file);
  std::string name = py::str(path.attr("stem"));
  py::object module = path;
  if (name == "__init__") {
    module = path.attr("parent");
    name = py::str(module.attr("name"));
  }
  std::string dotted;
  for (const std::string& package : package_chain(module, stop).packages) dotted += package + ".";
  return dotted + name;
}

}  // namespace vettor
