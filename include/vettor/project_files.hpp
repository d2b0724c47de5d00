// Whether a file the analysis comes across in a project may be read at all.
//
// The project may be anybody's (a pull request from a fork, say), and opening a file is
// already an act: a FIFO or a device blocks the reader for ever, and a symbolic link may lead
// anywhere on the machine. So before a project file is opened, its kind and where it leads
// are tested: only regular files that lie inside the project root (after every link is
// followed) are read.
#pragma once

#include <vettor/pyutil.hpp>

#include <cctype>
#include <initializer_list>
#include <optional>
#include <string>

namespace vettor {

// Whether `path`, once every link is followed, lies outside the project root `root`. Both may
// be relative to the working directory or absolute.
inline bool leads_outside_root(py::handle root, py::handle path) {
  py::object os = import("os");
  py::object os_path = os.attr("path");
  std::string file = py::str(os_path.attr("realpath")(path));
  std::string top = py::str(os_path.attr("realpath")(root));
  std::string sep = py::str(os.attr("sep"));
  if (!top.ends_with(sep)) top += sep;
  return !file.starts_with(top);
}

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

}  // namespace vettor
