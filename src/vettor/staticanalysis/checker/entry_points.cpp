// The lint entry points and what ties the rules to pylint: the ordered rule checker lists,
// the code-to-symbol table, linter construction with the package's options, and the filters
// that turn a lint's findings into the records the host asked for.
#include "checker.hpp"

#include <string>

namespace vettor::checker {

namespace {

// The configuration key that turns the kept parse trees off ("parse-cache": false).
constexpr const char* kParseCache = "parse-cache";

// Registration order of the source-code rule checkers.
constexpr const char* kPythonCheckerModules[] = {
    "admin", "settings", "columns", "classorder", "migrations", "querysets", "urls"};

py::object builtin(const char* name) { return import("builtins").attr(name); }

// `a, b, c = value`, with Python's own errors for the wrong number of items.
py::tuple unpack_three(py::handle value) {
  py::tuple items = builtin("tuple")(value);
  if (items.size() > 3) raise(PyExc_ValueError, "too many values to unpack (expected 3)");
  if (items.size() < 3)
    raise(PyExc_ValueError, "not enough values to unpack (expected 3, got " +
                                std::to_string(items.size()) + ")");
  return items;
}

py::dict build_message_id_symbol_store(py::list python_classes, py::list html_classes) {
  py::dict store;
  for (py::list classes : {python_classes, html_classes}) {
    for (py::handle cls : classes) {
      py::dict msgs = builtin("dict")(cls.attr("msgs"));
      for (auto item : msgs) store[item.first] = unpack_three(item.second)[1];
    }
  }
  return store;
}

// ---------------------------------------------------------------------------------------
// Linter construction

py::dict option(py::object default_value, const char* type, const char* metavar,
                const char* help) {
  py::dict d;
  d["default"] = default_value;
  d["type"] = type;
  d["metavar"] = metavar;
  d["help"] = help;
  return d;
}

py::tuple linter_options() {
  return py::make_tuple(
      py::make_tuple("settings-files",
                     option(py::list(), "csv", "<file>[,<file>...]",
                            "Specify which files are django settings files. They should be "
                            "import paths.")),
      py::make_tuple("root-urlconf", option(py::str(""), "string", "<str>",
                                            "Specify the ROOT_URLCONF import path to use.")),
      py::make_tuple("django-version", option(py::str("3.3"), "string", "<str>",
                                              "Specify the Django version being checked.")));
}

py::object to_jobs(py::object jobs) {
  if (jobs.equal(py::int_(0))) return py::none();
  return jobs;
}

py::object create_linter(py::object linter_class, py::object /*config*/, py::object jobs) {
  py::object reporter = G("Reporter")();
  py::object linter =
      linter_class(py::arg("reporter") = reporter, py::arg("options") = linter_options());
  py::object by_category = linter.attr("msgs_store").attr("_msgs_by_category");
  by_category["R"] = py::list();
  by_category["W"] = py::list();
  linter.attr("set_option")("jobs", to_jobs(jobs));
  for (py::handle checker_class : G("python_checker_classes")) {
    linter.attr("register_checker")(checker_class(linter));
  }
  return linter;
}

py::list get_all_message_codes() {
  py::list codes;
  for (py::handle name : builtin("dir")(G("message_templates"))) {
    if (!py::str(name).cast<std::string>().starts_with("__")) codes.append(name);
  }
  return codes;
}

// A configuration entry goes to whichever provider declares the option: pylint's own
// set_option knows only the linter's options and rejects a rule checker's ("max-models").
// An option that nobody declares still meets the linter's own error.
void apply_option(py::handle linter, py::handle key, py::object value) {
  if (py::str(key).cast<std::string>() == "jobs") value = to_jobs(value);
  if (truthy(linter.attr("_all_options").attr("__contains__")(key))) {
    linter.attr("global_set_option")(key, value);
  } else {
    linter.attr("set_option")(key, value);
  }
}

// ---------------------------------------------------------------------------------------
// Paths
//
// The lint must not depend on the working directory: files are handed to the linter under
// the project root, and the reporter strips the root (not the working directory) from the
// findings' paths, so they come back relative to the root whatever directory the host runs in.

py::object os_path(const char* name) { return G("os").attr("path").attr(name); }

std::string absolute_root(py::handle project_root) {
  return os_path("abspath")(G("os").attr("fspath")(project_root)).cast<std::string>();
}

// The text under which a finding on `path` is reported: relative to the root when it lies
// under it. A relative path is already relative to the root (the reporter strips the root).
py::str project_relative(py::handle path, const std::string& root) {
  py::object p = G("Path")(path);
  if (!truthy(p.attr("is_absolute")())) return py::str(p);
  try {
    p = p.attr("relative_to")(root);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ValueError)) throw;
  }
  return py::str(p);
}

bool line_selected(py::handle selection, py::handle line) {
  return selection.is_none() || truthy(selection.attr("__contains__")(line));
}

bool ends_with(py::handle key, const char* suffix) {
  return py::isinstance<py::str>(key) && truthy(key.attr("endswith")(suffix));
}

// `{**a, **b}`: a value without keys() is no mapping.
py::dict merge_config(py::handle under, py::handle over) {
  py::dict merged;
  for (py::handle source : {under, over}) {
    if (!vettor::hasattr(source, "keys")) {
      raise(PyExc_TypeError, "'" + std::string(py::str(source.get_type().attr("__name__"))) +
                                 "' object is not a mapping");
    }
    if (PyDict_Update(merged.ptr(), source.ptr()) != 0) throw py::error_already_set();
  }
  return merged;
}

// ---------------------------------------------------------------------------------------
// Entry points

py::list get_python_messages(py::object project_root, py::object files, py::object django_version,
                             py::object config, py::object jobs) {
  py::object linter = G("create_linter")(py::arg("linter_class") = G("Linter"),
                                         py::arg("jobs") = jobs);
  py::dict entries = builtin("dict")(config);
  for (auto item : entries) {
    // Keys for the driver itself, not for the linter.
    if (py::str("directories").equal(item.first) || py::str(kParseCache).equal(item.first))
      continue;
    apply_option(linter, item.first, py::reinterpret_borrow<py::object>(item.second));
  }
  linter.attr("set_option")("django-version", django_version);
  py::object meta = G("meta");
  linter.attr("set_option")("settings-files",
                            builtin("list")(meta.attr("get_settings_files")(project_root)));
  linter.attr("set_option")(
      "root-urlconf",
      meta.attr("get_root_urlconf")(linter.attr("config").attr("settings_files")));

  // Python keys, by the project-relative text their findings come back under; each file
  // is handed to the linter once, under the root.
  std::string root = absolute_root(project_root);
  py::dict selection;
  py::list targets;
  for (auto item : py::dict(builtin("dict")(files))) {
    if (!ends_with(item.first, ".py")) continue;
    py::object target = os_path("normpath")(os_path("join")(root, item.first));
    py::str name = project_relative(target, root);
    if (!selection.contains(name)) targets.append(target);
    selection[name] = item.second;
  }
  linter.attr("reporter").attr("path_strip_prefix") =
      py::str(root) + G("os").attr("sep").cast<py::str>();
  // Managers and querysets infer only under the shims' transforms on astroid's global
  // manager. They are put there before the first file (and before pylint forks its
  // workers), so the queryset rules see the same values in every project, whether or not
  // anything else in the process has loaded them yet.
  import_sibling(G.handle(), "shims");
  keep_node_constructor_signatures();
  {
    KeptTrees kept(parse_cache_wanted(entries.attr("get")(kParseCache)));
    RaisedCollectorThresholds thresholds;
    linter.attr("check")(py::arg("files_or_modules") = targets);
  }

  py::list messages = linter.attr("reporter").attr("messages");
  for (py::handle record : messages) {
    if (py::str("fatal").equal(record["type"]))
      G("logger").attr("error")("Fatal message: %s", record);
    // pylint files a module it cannot parse as an error, not a fatal; the code filter below
    // drops it like every base linter finding, so it is logged here or it would vanish.
    else if (py::str("E0001").equal(record["message-id"]))
      G("logger").attr("error")("Syntax error: %s", record);
  }
  py::set codes(G("get_all_message_codes")());
  py::list kept;
  for (py::handle record : messages) {
    if (!codes.contains(record["message-id"])) continue;
    py::str path = project_relative(record["path"], root);
    record["path"] = path;
    // A finding outside the selected files (there is none unless a checker reports on
    // another module) is not what the host asked for.
    if (!selection.contains(path)) continue;
    if (line_selected(selection[path], record["line"])) kept.append(record);
  }
  return kept;
}

// `project_root`, when given, is where relative template keys are read from; the findings
// keep the key as their path.
py::list get_html_messages(py::object files, py::object config, py::object project_root) {
  py::list keys;
  for (py::handle key : files) {
    if (ends_with(key, ".html")) keys.append(key);
  }
  py::list paths;
  py::dict key_of;
  if (project_root.is_none()) {
    paths = keys;
  } else {
    std::string root = absolute_root(project_root);
    for (py::handle key : keys) {
      py::object path = os_path("join")(root, key);
      paths.append(path);
      key_of[path] = key;
    }
  }
  py::object linter = G("HtmlLinter")();
  linter.attr("check")(paths);

  py::object disabled = truthy(config.attr("__contains__")("disable"))
                            ? py::object(config["disable"])
                            : py::object(py::list());
  py::list kept;
  for (py::handle record : linter.attr("messages")) {
    if (!project_root.is_none() && key_of.contains(record["path"]))
      record["path"] = key_of[record["path"]];
    if (!line_selected(files[record["path"]], record["line"])) continue;
    if (truthy(disabled.attr("__contains__")(record["message-id"]))) continue;
    kept.append(record);
  }
  return kept;
}

py::list candidate_versions() {
  py::list versions;
  for (int major : {2, 3}) {
    for (int minor : {0, 1, 2}) {
      for (int patch = 0; patch < 30; ++patch) {
        versions.append(std::to_string(major) + "." + std::to_string(minor) + "." +
                        std::to_string(patch));
      }
    }
  }
  return versions;
}

py::list get_meta_messages(py::object project_root) {
  py::object details = G("dependencies").attr("resolve_django_version")(project_root);
  if (!truthy(details)) return py::list();
  py::object specifiers = G("SpecifierSet")(details["specs"]);
  py::dict body;
  body["specs"] = details["specs"];
  body["minor"] = details["version"];
  body["matching_versions"] = builtin("list")(specifiers.attr("filter")(candidate_versions()));
  py::dict message;
  message["message-id"] = "C1000";
  message["path"] = details["path"];
  message["message_type"] = "meta";
  message["body"] = body;
  py::list result;
  result.append(message);
  return result;
}

py::list get_messages(py::object project_root, py::object files,
                      py::object default_django_version, py::object config, py::object jobs) {
  py::dict merged = merge_config(G("meta").attr("get_toml_config")(project_root), config);
  G("logger").attr("debug")("Using config: %s\n", merged);
  py::object details = G("dependencies").attr("resolve_django_version")(project_root);
  py::object django_version =
      truthy(details) ? py::object(details["version"]) : default_django_version;
  py::object html = G("get_html_messages")(py::arg("files") = files, py::arg("config") = merged,
                                           py::arg("project_root") = project_root);
  py::object python = G("get_python_messages")(
      py::arg("project_root") = project_root, py::arg("files") = files,
      py::arg("config") = merged, py::arg("django_version") = django_version,
      py::arg("jobs") = jobs);
  py::list result = builtin("list")(python);
  result.attr("extend")(html);
  if (truthy(files.attr("__contains__")("META")))
    result.attr("extend")(G("get_meta_messages")(project_root));
  return result;
}

}  // namespace

void register_rule_tables(py::module_& m, py::dict rule_modules) {
  py::list python_classes;
  for (const char* name : kPythonCheckerModules)
    python_classes.append(rule_modules[name].attr("Checker"));
  py::list html_classes;
  html_classes.append(rule_modules["templates"].attr("Checker"));
  m.attr("python_checker_classes") = python_classes;
  m.attr("html_checker_classes") = html_classes;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("message_id_symbol_store") = build_message_id_symbol_store(python_classes, html_classes);
}

void register_entry_points(py::module_& m) {
  // One default mapping shared by every call, as a Python default argument would be.
  py::dict shared_config;
  m.def("create_linter", &create_linter, py::arg("linter_class"),
        py::arg("config") = shared_config, py::arg("jobs") = 0);
  m.def("get_all_message_codes", &get_all_message_codes);
  m.def("get_messages", &get_messages, py::arg("project_root"), py::arg("files"),
        py::arg("default_django_version") = "3.2", py::arg("config") = shared_config,
        py::arg("jobs") = 0);
  m.def("get_python_messages", &get_python_messages, py::arg("project_root"), py::arg("files"),
        py::arg("django_version"), py::arg("config") = shared_config, py::arg("jobs") = 0);
  m.def("get_html_messages", &get_html_messages, py::arg("files"),
        py::arg("config") = shared_config, py::arg("project_root") = py::none());
  m.def("get_meta_messages", &get_meta_messages, py::arg("project_root"));
}

}  // namespace vettor::checker
