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

// A path (a text or a path object) as the bytes the file system holds; bytes_text makes it a
// text again.
inline std::string path_bytes(py::handle path) { return text_bytes(lookup("os", "fspath")(path)); }

// The project root, as the answer to "does this path lie inside the project": the path is the
// root or lies below it. `holds` follows every link of both first (what a file really is);
// `holds_as_written` reads both as they are written, ".." resolved but no link followed (what
// a caller named). Paths may be relative to the working directory or absolute, texts or path
// objects, and need not be UTF-8 (they are compared as the file system's bytes).
class ProjectRoot {
 public:
  explicit ProjectRoot(py::handle root)
      : real_(path_bytes(lookup("os.path", "realpath")(root))),
        written_(path_bytes(lookup("os.path", "abspath")(root))) {}

  bool holds(py::handle path) const {
    return lies_in(real_, path_bytes(lookup("os.path", "realpath")(path)));
  }

  bool holds_as_written(py::handle path) const {
    return lies_in(written_, path_bytes(lookup("os.path", "abspath")(path)));
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

// os.walk(top) from the top down, without its recursion: a folder nested a thousand deep
// exhausts the interpreter's stack in os.walk. `visit(folder, subfolders, files)` is called
// for each folder, in os.walk's order, with its path (a text), the names of its sub-folders
// (a list it may prune or reorder, as os.walk allows) and the names of its other entries. A
// link to a folder is listed among the sub-folders but not entered; a folder that cannot be
// listed is passed over.
template <class Visit>
void walk_folders(py::handle top, Visit&& visit) {
  py::object os = import("os");
  py::object join = os.attr("path").attr("join");
  py::object islink = os.attr("path").attr("islink");
  std::vector<py::object> pending{os.attr("fspath")(top)};
  while (!pending.empty()) {
    py::object folder = std::move(pending.back());
    pending.pop_back();
    py::list subfolders, files;
    bool listed = on_error(
        PyExc_OSError,
        [&] {
          py::object entries = os.attr("scandir")(folder);
          within(entries, [&] {
            for (py::handle entry : entries) {
              bool is_folder = on_error(
                  PyExc_OSError, [&] { return truthy(entry.attr("is_dir")()); }, [] { return false; });
              (is_folder ? subfolders : files).append(entry.attr("name"));
            }
            return py::object(py::none());
          });
          return true;
        },
        [] { return false; });
    if (!listed) continue;
    visit(folder, subfolders, files);
    for (py::ssize_t i = static_cast<py::ssize_t>(py::len(subfolders)) - 1; i >= 0; --i) {
      py::object path = join(folder, subfolders[py::int_(i)]);
      if (!truthy(islink(path))) pending.push_back(path);
    }
  }
}

// ---------------------------------------------------------------------------------------
// Size limit
//
// The analysis of a file takes memory in proportion to its size, many times over (astroid's
// tree of a Python module, a finding per link of a template): a file of tens of megabytes,
// which no hand writes but a pull request can add, would take gigabytes. A file over the
// limit is not analysed; the lint reports it, the fixes and the review suggestions pass it
// over, each with a word. "max-file-size" (in MB, a million bytes) raises or lowers it.

constexpr const char* kMaxFileSizeKey = "max-file-size";
constexpr double kDefaultMaxFileSizeMB = 2;

// Whether a configured limit is one: a number (not a truth value) above 0.
inline bool is_size_limit(py::handle value) {
  bool number = (PyLong_Check(value.ptr()) || PyFloat_Check(value.ptr())) && !PyBool_Check(value.ptr());
  return number && truthy(value.attr("__gt__")(0));
}

inline std::string size_limit_mistake(py::handle value) {
  return std::string(py::repr(value)) + " is not a size in MB (a number above 0)";
}

// The limit a configuration mapping sets, in MB, or the default. A value that is no limit is
// a configuration mistake (meta.ConfigurationError) naming the key.
inline double max_file_size(py::handle config) {
  if (config.is_none() || !truthy(config.attr("__contains__")(kMaxFileSizeKey)))
    return kDefaultMaxFileSizeMB;
  py::object value = config[kMaxFileSizeKey];
  if (is_size_limit(value)) return value.cast<double>();
  raise(lookup("vettor.staticanalysis.meta", "ConfigurationError"),
        std::string(kMaxFileSizeKey) + ": " + size_limit_mistake(value));
}

// "too large to analyse (N MB; the limit is M MB)" for a file of `size` bytes over the limit
// (N rounded up to a tenth, so that it never reads as the limit itself), or nothing.
inline std::optional<std::string> too_large(long long size, double limit_mb) {
  if (static_cast<double>(size) <= limit_mb * 1e6) return std::nullopt;
  py::object shown = py::str("{:.1f}").format(
      lookup("math", "ceil")(static_cast<double>(size) / 1e5).cast<double>() / 10);
  return "too large to analyse (" + std::string(py::str(shown)) + " MB; the limit is " +
         std::string(py::str(py::str("{:g}").format(limit_mb))) + " MB)";
}

// The same for the file at `path` (following links); nothing for a file that cannot be looked
// at (opening it fails the ordinary way) or is no regular file.
inline std::optional<std::string> file_too_large(py::handle path, double limit_mb) {
  py::object status;
  try {
    status = lookup("os", "stat")(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return std::nullopt;
  }
  if (!truthy(lookup("stat", "S_ISREG")(status.attr("st_mode")))) return std::nullopt;
  return too_large(status.attr("st_size").cast<long long>(), limit_mb);
}

// ---------------------------------------------------------------------------------------

// Why `path` must not be read on behalf of the project in `root`, or nothing when it may.
// A path that does not exist (or cannot be looked at) is no refusal: opening it fails the
// ordinary way, which callers already handle. `path` may be relative to the working
// directory or absolute; `root` likewise. What the project's files are found by (its
// configuration, dependency files, manage and settings modules) is read under the default
// size limit.
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
  auto large = too_large(status.attr("st_size").cast<long long>(), kDefaultMaxFileSizeMB);
  if (large) return "it is " + *large;
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
    packages.insert(packages.begin(), text_bytes(folder.attr("name")));
    folder = parent;
  }
  return {folder, packages};
}

// The import path of a module file under its packages (blog/models.py in the package blog is
// "blog.models"; a package's __init__.py is the package's own name), the walk ending at `stop`
// when one is given. (As bytes, as are the packages' names: a file or folder name need not be
// UTF-8; bytes_text makes it a text.)
inline std::string import_path_of(py::handle file, py::handle stop = py::none()) {
  py::object path = lookup("pathlib", "Path")(file);
  std::string name = text_bytes(path.attr("stem"));
  py::object module = path;
  if (name == "__init__") {
    module = path.attr("parent");
    name = text_bytes(module.attr("name"));
  }
  std::string dotted;
  for (const std::string& package : package_chain(module, stop).packages) dotted += package + ".";
  return dotted + name;
}

}  // namespace vettor
