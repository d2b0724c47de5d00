// Whether a file the analysis comes across in a project may be read at all.
//
// The project may be anybody's (a pull request from a fork, say), and opening a file is
// already an act: a FIFO or a device blocks the reader for ever, and a symbolic link may lead
// anywhere on the machine. So before a project file is opened, its kind and where it leads
// are tested: only regular files that lie inside the project root (after every link is
// followed) are read.
#pragma once

#include <vettor/pyutil.hpp>

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

}  // namespace vettor
