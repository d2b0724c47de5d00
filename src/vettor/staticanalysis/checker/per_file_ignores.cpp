// Findings a project ignores in some of its files: `per-file-ignores` maps shell patterns of
// project-relative paths to the names of the messages ignored there ({"tests/*": ["C9000"]}).
// A team silences a kind of finding in a kind of file (queryset findings in test code, a rule
// in migrations) without dropping every rule there, as `exclude` does, or writing a pragma on
// every line.
//
// A pattern matches a path as `exclude` matches it: the whole path, one of its folders or one
// of its names; a name means what it means in `disable` (include/vettor/message_names.hpp),
// prefixes of codes and category letters included. Python and template findings alike, on
// every road that lints: the lint, the fix road and the host's own calls.
#include "checker.hpp"

#include <string>

namespace vettor::checker {

namespace {

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

// "./tests/", " tests " and "tests" are the same pattern.
std::string normal_pattern(const std::string& written) {
  std::string pattern = text_of(py::str(written).attr("strip")().attr("rstrip")("/"));
  if (pattern.starts_with("./")) pattern = pattern.substr(2);
  return pattern;
}

bool matches_path(py::handle relative, py::handle patterns) {
  py::object fnmatchcase = lookup("fnmatch", "fnmatchcase");
  py::tuple parts = lookup("pathlib", "PurePosixPath")(relative).attr("parts");
  py::list candidates;
  candidates.append(relative);
  std::string folder;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    candidates.append(parts[i]);
    if (i + 1 == parts.size()) break;
    folder += (folder.empty() ? "" : "/") + text_of(parts[i]);
    candidates.append(py::str(folder));
  }
  for (py::handle written : listed_entries(patterns)) {
    std::string pattern = normal_pattern(text_of(written));
    if (pattern.empty()) continue;
    for (py::handle candidate : candidates) {
      if (truthy(fnmatchcase(candidate, pattern))) return true;
    }
  }
  return false;
}

bool is_text_list(py::handle value) {
  if (!py::isinstance<py::list>(value)) return false;
  for (py::handle item : value) {
    if (!py::isinstance<py::str>(item)) return false;
  }
  return true;
}

// What is wrong with a per-file-ignores value, in a few words; empty when nothing is.
std::string problem_of(py::handle value) {
  if (!PyDict_Check(value.ptr())) return py::repr(value).cast<std::string>() + " is not a table of patterns";
  for (auto item : py::reinterpret_borrow<py::dict>(value)) {
    if (!py::isinstance<py::str>(item.first) || normal_pattern(text_of(item.first)).empty())
      return py::repr(item.first).cast<std::string>() + " is not a pattern of paths";
    std::string pattern = text_of(item.first);
    if (!py::isinstance<py::str>(item.second) && !is_text_list(item.second))
      return "\"" + pattern + "\": " + py::repr(item.second).cast<std::string>() + " is not a list of texts";
    for (py::handle name : listed_entries(item.second)) {
      if (!truthy(G("is_message_name")(name)))
        return "\"" + pattern + "\": " + py::repr(name).cast<std::string>() +
               " is not a message code or symbol of vettor";
    }
  }
  return "";
}

bool per_file_ignored(py::handle per_file_ignores, py::handle path, py::handle code) {
  if (per_file_ignores.is_none() || !PyDict_Check(per_file_ignores.ptr())) return false;
  MessageInfo message = message_info(code);
  for (auto item : py::reinterpret_borrow<py::dict>(per_file_ignores)) {
    if (!matches_path(path, py::make_tuple(item.first))) continue;
    for (py::handle name : listed_entries(item.second)) {
      if (py::isinstance<py::str>(name) && MessageName(text_of(name)).selects(message)) return true;
    }
  }
  return false;
}

void check_per_file_ignores(py::handle value, py::handle where) {
  std::string problem = problem_of(value);
  if (!problem.empty()) raise(G("meta").attr("ConfigurationError"), text_of(where) + ": " + problem);
}

}  // namespace

std::string per_file_ignores_problem(py::handle value) { return problem_of(value); }

py::list without_per_file_ignored(py::list records, py::handle per_file_ignores) {
  if (per_file_ignores.is_none() || py::len(per_file_ignores) == 0) return records;
  py::list kept;
  for (py::handle record : records) {
    bool is_lint_finding = PyDict_Check(record.ptr()) && truthy(record.attr("__contains__")("line"));
    if (is_lint_finding && truthy(G("per_file_ignored")(per_file_ignores, record["path"], record["message-id"])))
      continue;
    kept.append(record);
  }
  return kept;
}

void register_per_file_ignores(py::module_& m) {
  m.def("matches_path", &matches_path,
        "Whether one of `patterns` (shell patterns, a list or one comma-separated text) matches\n"
        "the project-relative posix path `relative`, one of its folders or one of its names, as\n"
        "`exclude` leaves files out: \"docs\", \"*/migrations/*\", \"legacy/*.py\" and \"test_*.py\"\n"
        "all serve; a leading \"./\" and a trailing \"/\" are not part of a pattern.",
        py::arg("relative"), py::arg("patterns"));
  m.def("per_file_ignored", &per_file_ignored,
        "Whether `per_file_ignores` ({pattern: names}, as [tool.vettor] per-file-ignores holds\n"
        "it) ignores the message `code` in the project-relative file `path`: a pattern matches\n"
        "the path as matches_path reads it, and one of its names (as disable reads them: codes,\n"
        "the start of codes, symbols, \"all\", category letters) stands for the message.",
        py::arg("per_file_ignores"), py::arg("path"), py::arg("code"));
  m.def("check_per_file_ignores", &check_per_file_ignores,
        "Raise meta.ConfigurationError, its text \"<where>: <what is wrong>\", when `value` is\n"
        "not a per-file-ignores table: patterns mapped to lists of message names (or one\n"
        "comma-separated text) that each stand for some message of vettor's.",
        py::arg("value"), py::arg("where"));
}

}  // namespace vettor::checker
