// What a project may configure about its own lint, in the [tool.vettor] table of its
// pyproject.toml, and which values it may give.
//
// The project is not always trusted: a review bot or a CI job lints pull requests from anyone.
// pylint's options reach far beyond the lint (which native modules astroid may import and
// run, which plugins load, what code runs at start-up), so the project's table may set only
// this package's own options: the rule options, which findings to report, how many workers,
// which files, its settings modules, whether trees are kept, its Django version, the size over
// which a file is not analysed, and whether the command line's fixes include the unsafe ones.
// Anything else, and any value of the wrong kind, is a mistake in the configuration, told in one
// line that names the file and the key. The command line and every entry point of the host API
// check the table here, so a project's table means the same to all of them. The host's own
// configuration is the host's, and is not screened here.
#include "checker.hpp"

#include <vettor/project_files.hpp>

#include <string>

namespace vettor::checker {

namespace {

// Keys that are this package's options, but found from the project rather than configured.
constexpr const char* kFoundKey = "root-urlconf";

// The largest number of workers that can be asked for: 2^63 - 1.
constexpr const char* kLargestWholeNumber = "9223372036854775807";

[[noreturn]] void configuration_error(py::handle project_root, py::handle key,
                                      const std::string& what) {
  py::object pyproject = G("Path")(project_root).attr("__truediv__")("pyproject.toml");
  raise(G("meta").attr("ConfigurationError"),
        bytes_text(text_bytes(py::str(pyproject)) + ": [tool.vettor] " + text_bytes(py::str(key)) +
                   ": " + what));
}

std::string shown(py::handle value) { return py::repr(value); }

// What checking one key needs: the project, the key as written, its value, and a linter whose
// own check of the value is the last word (made when first asked for).
struct Entry {
  py::handle project_root;
  py::handle key;
  py::handle value;
  py::object& linter;

  [[noreturn]] void error(const std::string& what) const { configuration_error(project_root, key, what); }

  py::object the_linter() const {
    if (!linter) linter = create_linter(G("Linter"), py::dict(), py::int_(1));
    return linter;
  }
};

bool is_whole_number(py::handle value) {
  return py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value);
}

bool is_text_list(py::handle value) {
  if (!py::isinstance<py::list>(value)) return false;
  for (py::handle item : value) {
    if (!py::isinstance<py::str>(item)) return false;
  }
  return true;
}

// The linter takes the value, or says why not (pylint's own check of a value).
void linter_takes(const Entry& entry, py::object value) {
  try {
    entry.the_linter().attr("global_set_option")(entry.key, value);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    entry.error(py::str(e.value()));
  }
}

void check_whole_number(const Entry& entry) {
  if (!is_whole_number(entry.value)) entry.error(shown(entry.value) + " is not a whole number");
}

// A rule option: a whole number, as its checker declares it.
void check_rule_option(const Entry& entry) {
  check_whole_number(entry);
  linter_takes(entry, py::reinterpret_borrow<py::object>(entry.value));
}

// Each name in "disable" or "enable" stands for some message of vettor's.
void check_message_names(const Entry& entry) {
  if (!py::isinstance<py::str>(entry.value) && !is_text_list(entry.value))
    entry.error(shown(entry.value) + " is not a list of texts");
  for (py::handle name : listed_entries(entry.value)) {
    if (!truthy(G("is_message_name")(name)))
      entry.error(shown(name) + " is not a message code or symbol of vettor");
  }
  linter_takes(entry, names_for_linter(entry.value));
}

// A number of worker processes, which the lint bounds by the CPUs the machine has.
void check_jobs(const Entry& entry) {
  check_whole_number(entry);
  if (truthy(entry.value.attr("__lt__")(0)))
    entry.error(std::string(py::str(entry.value)) + " is below 0 (0: one worker per CPU)");
  if (truthy(entry.value.attr("__gt__")(py::int_(py::str(kLargestWholeNumber)))))
    entry.error(std::string(py::str(entry.value)) + " is too large (at most " + kLargestWholeNumber + ")");
}

void check_exclude(const Entry& entry) {
  if (!py::isinstance<py::str>(entry.value) && !is_text_list(entry.value))
    entry.error(shown(entry.value) + " is not a list of texts");
}

// Folders to lint, inside the project: "../elsewhere", an absolute path or a link to another
// place would have files outside the project read.
void check_directories(const Entry& entry) {
  if (!is_text_list(entry.value)) entry.error(shown(entry.value) + " is not a list of texts");
  py::object os_path = lookup("os", "path");
  ProjectRoot root(entry.project_root);
  for (py::handle name : entry.value) {
    py::object folder = os_path.attr("join")(entry.project_root, name);
    if (truthy(os_path.attr("isabs")(name)) || !root.holds(folder))
      entry.error(shown(name) + " is not a folder inside the project");
    if (!truthy(os_path.attr("isdir")(folder))) entry.error(shown(name) + " is not a folder of the project");
  }
}

void check_settings_files(const Entry& entry) {
  if (!py::isinstance<py::str>(entry.value) && !is_text_list(entry.value))
    entry.error(shown(entry.value) + " is not a list of texts");
  py::list names;
  for (py::handle name : listed_entries(entry.value)) {
    if (truthy(name)) names.append(name);
  }
  for (py::handle name : names) {
    bool dotted = true;
    for (py::handle part : name.attr("split")(".")) dotted = dotted && truthy(part.attr("isidentifier")());
    if (!dotted) entry.error(shown(name) + " is not an import path");
  }
  py::dict found = G("meta").attr("get_module_files")(entry.project_root, names);
  for (py::handle name : names) {
    if (!found.contains(name)) entry.error(shown(name) + " is not a module of the project");
  }
}

void check_true_or_false(const Entry& entry) {
  if (!py::isinstance<py::bool_>(entry.value)) entry.error(shown(entry.value) + " is not true or false");
}

void check_per_file_ignores(const Entry& entry) {
  std::string problem = per_file_ignores_problem(entry.value);
  if (!problem.empty()) entry.error(problem);
}

void check_django_version(const Entry& entry) {
  bool minor = py::isinstance<py::str>(entry.value) &&
               truthy(lookup("re", "fullmatch")(R"(\d+\.\d+)", entry.value));
  if (!minor) {
    entry.error(shown(entry.value) + " is not a Django version written as a text, such as \"3.2\"");
  }
}

void check_max_file_size(const Entry& entry) {
  if (!is_size_limit(entry.value)) entry.error(size_limit_mistake(entry.value));
}

// The keys the driver and the command line read, beside the rule options, each with its check.
struct OwnKey {
  const char* key;
  void (*check)(const Entry&);
};

constexpr OwnKey kOwnKeys[] = {
    {"disable", &check_message_names},     {"enable", &check_message_names},
    {"jobs", &check_jobs},                 {"exclude", &check_exclude},
    {"directories", &check_directories},   {"settings-files", &check_settings_files},
    {"parse-cache", &check_true_or_false}, {"django-version", &check_django_version},
    {"per-file-ignores", &check_per_file_ignores},
    {"respect-gitignore", &check_true_or_false},
    {kMaxFileSizeKey, &check_max_file_size},
    {"unsafe-fixes", &check_true_or_false},
};

py::set rule_option_names() {
  py::set names;
  for (py::handle cls : G("python_checker_classes")) {
    for (py::handle option : py::getattr(cls, "options", py::tuple())) {
      names.add(py::tuple(py::reinterpret_borrow<py::object>(option))[0]);
    }
  }
  return names;
}

// pylint's own options (those its command line reads before the linter exists included).
py::set pylint_option_names() {
  py::set names;
  for (const char* name : {"init-hook", "rcfile"}) names.add(py::str(name));
  for (py::handle option : G("lint").attr("PyLinter").attr("make_options")()) {
    names.add(py::tuple(py::reinterpret_borrow<py::object>(option))[0]);
  }
  return names;
}

// Raises meta.ConfigurationError at the first entry of the project's table that the project
// may not set, or whose value is wrong.
void check_project_config(py::object config, py::object project_root) {
  py::set rule_options = rule_option_names();
  py::set pylint_options;  // made when first needed
  py::object linter;       // likewise
  for (auto item : py::dict(lookup("builtins", "dict")(config))) {
    Entry entry{project_root, item.first, item.second, linter};
    if (rule_options.contains(item.first)) {
      check_rule_option(entry);
      continue;
    }
    const OwnKey* own = nullptr;
    for (const OwnKey& candidate : kOwnKeys) {
      if (py::str(candidate.key).equal(item.first)) own = &candidate;
    }
    if (own) {
      own->check(entry);
      continue;
    }
    if (py::str(kFoundKey).equal(item.first)) entry.error("cannot be set: it is read from the project's settings");
    if (py::len(pylint_options) == 0) pylint_options = pylint_option_names();
    if (pylint_options.contains(item.first)) {
      entry.error("an option of pylint, which the project's configuration cannot set (only vettor's "
                  "own options)");
    }
    entry.error("unknown key (not an option of vettor)");
  }
}

py::object read_project_config(py::object project_root) {
  py::object table = G("meta").attr("get_toml_config")(project_root);
  G("check_project_config")(table, project_root);
  return table;
}

}  // namespace

void register_project_config(py::module_& m) {
  m.def("check_project_config", &check_project_config,
        "Raise meta.ConfigurationError (one line naming pyproject.toml and the key) for the\n"
        "first entry of a project's [tool.vettor] table, as meta.get_toml_config reads it, that\n"
        "the project may not set or whose value is wrong. It may set the rule options (whole\n"
        "numbers), \"disable\" and \"enable\" (names of vettor's messages, as a list or one\n"
        "comma-separated text), \"jobs\" (a whole number from 0 up), \"exclude\" (a text or a\n"
        "list of texts), \"directories\" (folders inside the project), \"settings-files\"\n"
        "(modules of the project), \"parse-cache\" (true or false), \"django-version\" (a\n"
        "text such as \"3.2\"), \"per-file-ignores\" (shell patterns of paths mapped to names\n"
        "as disable takes them), \"respect-gitignore\" (true or false), \"max-file-size\" (a\n"
        "number of MB above 0) and \"unsafe-fixes\" (true or false); pylint's own\n"
        "options and any other key are refused.",
        py::arg("config"), py::arg("project_root"));
  m.def("read_project_config", &read_project_config,
        "The [tool.vettor] table of the pyproject.toml in project_root, as\n"
        "meta.get_toml_config reads it, once check_project_config has found no mistake in it;\n"
        "meta.ConfigurationError (one line naming the file and the key) otherwise.",
        py::arg("project_root"));
}

}  // namespace vettor::checker
