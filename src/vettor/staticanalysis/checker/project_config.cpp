// What a project may configure about its own lint, in the [tool.vettor] table of its
// pyproject.toml.
//
// The project is not always trusted: a review bot or a CI job lints pull requests from anyone.
// pylint's options reach far beyond the lint (which native modules astroid may import and
// run, which plugins load, what code runs at start-up), so the project's table may set only
// this package's own options: the rule options, which findings to report, how many workers,
// which files, its settings modules, whether trees are kept, its Django version and the size
// over which a file is not analysed. Anything
// else is a mistake in the configuration, told in one line that names the file and the key.
// The host's own configuration is the host's, and is not screened here.
#include "checker.hpp"

#include <vettor/project_files.hpp>

#include <string>

namespace vettor::checker {

namespace {

// The keys the driver and the command line read, beside the rule options.
constexpr const char* kOwnKeys[] = {"disable",        "enable",      "jobs",
                                    "exclude",        "directories", "settings-files",
                                    "parse-cache",    "django-version", kMaxFileSizeKey};

// Keys that are this package's options, but found from the project rather than configured.
constexpr const char* kFoundKey = "root-urlconf";

[[noreturn]] void configuration_error(py::handle project_root, py::handle key,
                                      const std::string& what) {
  py::object pyproject = G("Path")(project_root).attr("__truediv__")("pyproject.toml");
  raise(G("meta").attr("ConfigurationError"),
        bytes_text(text_bytes(py::str(pyproject)) + ": [tool.vettor] " + text_bytes(py::str(key)) +
                   ": " + what));
}

std::string shown(py::handle value) { return py::repr(value); }

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

// The entries of a list option: a list of texts, or one text of them separated by commas.
py::list text_entries(py::handle project_root, py::handle key, py::handle value) {
  py::list entries;
  if (py::isinstance<py::str>(value)) {
    for (py::handle entry : value.attr("split")(",")) {
      py::object stripped = entry.attr("strip")();
      if (truthy(stripped)) entries.append(stripped);
    }
    return entries;
  }
  if (!py::isinstance<py::list>(value)) configuration_error(project_root, key, shown(value) + " is not a list of texts");
  for (py::handle entry : value) {
    if (!py::isinstance<py::str>(entry))
      configuration_error(project_root, key, shown(value) + " is not a list of texts");
    entries.append(entry);
  }
  return entries;
}

void check_django_version(py::handle project_root, py::handle key, py::handle value) {
  bool minor = py::isinstance<py::str>(value) &&
               truthy(lookup("re", "fullmatch")(R"(\d+\.\d+)", value));
  if (!minor) {
    configuration_error(project_root, key,
                        shown(value) + " is not a Django version written as a text, such as \"3.2\"");
  }
}

void check_settings_files(py::handle project_root, py::handle key, py::handle value) {
  py::list names = text_entries(project_root, key, value);
  for (py::handle name : names) {
    bool dotted = true;
    for (py::handle part : name.attr("split")(".")) dotted = dotted && truthy(part.attr("isidentifier")());
    if (!dotted) configuration_error(project_root, key, shown(name) + " is not an import path");
  }
  py::dict found = G("meta").attr("get_module_files")(project_root, names);
  for (py::handle name : names) {
    if (!found.contains(name))
      configuration_error(project_root, key, shown(name) + " is not a module of the project");
  }
}

// Folders to lint, inside the project: "../elsewhere", an absolute path or a link to another
// place would have files outside the project read.
void check_directories(py::handle project_root, py::handle key, py::handle value) {
  if (!py::isinstance<py::list>(value)) configuration_error(project_root, key, shown(value) + " is not a list of texts");
  py::object os_path = lookup("os", "path");
  std::string root = text_bytes(os_path.attr("realpath")(project_root));
  for (py::handle name : value) {
    if (!py::isinstance<py::str>(name))
      configuration_error(project_root, key, shown(value) + " is not a list of texts");
    py::object folder = os_path.attr("join")(project_root, name);
    std::string real = text_bytes(os_path.attr("realpath")(folder));
    bool inside = real == root || real.starts_with(root + std::string(py::str(lookup("os", "sep"))));
    if (truthy(os_path.attr("isabs")(name)) || !inside)
      configuration_error(project_root, key, shown(name) + " is not a folder inside the project");
    if (!truthy(os_path.attr("isdir")(folder)))
      configuration_error(project_root, key, shown(name) + " is not a folder of the project");
  }
}

// Raises meta.ConfigurationError at the first key of the project's table that the project may
// not set, or whose value for a file or module of the project is wrong.
void check_project_config(py::object config, py::object project_root) {
  py::set own;
  for (const char* key : kOwnKeys) own.add(py::str(key));
  py::set rule_options = rule_option_names();
  py::set pylint_options;  // made when first needed
  for (auto item : py::dict(lookup("builtins", "dict")(config))) {
    py::handle key = item.first;
    py::handle value = item.second;
    if (rule_options.contains(key)) continue;
    if (own.contains(key)) {
      std::string name = py::str(key);
      if (name == "django-version") check_django_version(project_root, key, value);
      if (name == "settings-files") check_settings_files(project_root, key, value);
      if (name == "directories") check_directories(project_root, key, value);
      if (name == kMaxFileSizeKey && !is_size_limit(value))
        configuration_error(project_root, key, size_limit_mistake(value));
      continue;
    }
    if (py::str(kFoundKey).equal(key))
      configuration_error(project_root, key, "cannot be set: it is read from the project's settings");
    if (py::len(pylint_options) == 0) pylint_options = pylint_option_names();
    if (pylint_options.contains(key)) {
      configuration_error(project_root, key,
                          "an option of pylint, which the project's configuration cannot set "
                          "(only vettor's own options)");
    }
    configuration_error(project_root, key, "unknown key (not an option of vettor)");
  }
}

}  // namespace

void register_project_config(py::module_& m) {
  m.def("check_project_config", &check_project_config,
        "Raise meta.ConfigurationError (one line naming pyproject.toml and the key) for the\n"
        "first entry of a project's [tool.vettor] table, as meta.get_toml_config reads it, that\n"
        "the project may not set: any key but the rule options, \"disable\", \"enable\",\n"
        "\"jobs\", \"exclude\", \"directories\", \"settings-files\", \"parse-cache\",\n"
        "\"django-version\" and \"max-file-size\" (pylint's own options included), folders\n"
        "outside the project, settings modules the project does not have, a Django version\n"
        "that is no text, or a size limit that is no number above 0.",
        py::arg("config"), py::arg("project_root"));
}

}  // namespace vettor::checker
