// The lint entry points and what ties the rules to pylint: the ordered rule checker lists,
// the code-to-symbol table, linter construction with the package's options, and the filters
// that turn a lint's findings into the records the host asked for.
//
// Of pylint's own findings a project lint keeps only those that say a module could not be
// analysed (E0001, F0001), so that no selected file goes unchecked without a word.
#include "checker.hpp"

#include <vettor/project_files.hpp>

#include <string>

namespace vettor::checker {

namespace {

// Registration order of the source-code rule checkers.
constexpr const char* kPythonCheckerModules[] = {
    "admin", "settings", "columns", "classorder", "migrations", "querysets", "urls"};

// Configuration keys that choose the files to lint rather than set a linter option.
constexpr const char* kFileSelectionKeys[] = {"directories", "exclude", "respect-gitignore"};

// The configuration key of the findings ignored in some files; the driver drops them from the
// findings, the linter never sees it.
constexpr const char* kPerFileIgnores = "per-file-ignores";

// The configuration key that turns the parse trees kept between lints off ("parse-cache":
// false); the driver reads it, the linter never sees it.
constexpr const char* kParseCache = "parse-cache";

// The configuration key that has the command line's --diff and --fix make the unsafe fixes
// too ("unsafe-fixes": true); the command line reads it, the linter never sees it.
constexpr const char* kUnsafeFixes = "unsafe-fixes";

// The configuration key that names the settings modules the settings rules judge.
constexpr const char* kSettingsFiles = "settings-files";

constexpr const char* kSyntaxErrorCode = "E0001";
constexpr const char* kFatalCode = "F0001";

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

// Code -> ("safe" or "unsafe", why) of every fix the rule modules offer, by code: each rule
// module declares its own fixes' safety beside them (FIX_SAFETY).
py::dict build_fix_safety_store(py::list python_classes, py::list html_classes) {
  py::dict found;
  for (py::list classes : {python_classes, html_classes}) {
    for (py::handle cls : classes) {
      py::object module = import(py::str(cls.attr("__module__")).cast<std::string>().c_str());
      py::object declared = py::getattr(module, "FIX_SAFETY", py::none());
      if (declared.is_none()) continue;
      for (auto item : py::dict(declared)) found[item.first] = item.second;
    }
  }
  py::dict store;
  for (py::handle code : builtin("sorted")(found)) store[code] = found[code];
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

py::list get_all_message_codes() {
  py::list codes;
  for (py::handle name : builtin("dir")(G("message_templates"))) {
    if (!py::str(name).cast<std::string>().starts_with("__")) codes.append(name);
  }
  return codes;
}

// ---------------------------------------------------------------------------------------
// Paths
//
// The lint must not depend on the working directory: files are handed to the linter under
// the project root, and the reporter strips the root (not the working directory) from the
// findings' paths, so they come back relative to the root whatever directory the host runs in.

py::object os_path(const char* name) { return G("os").attr("path").attr(name); }

py::str absolute_root(py::handle project_root) {
  return os_path("abspath")(G("os").attr("fspath")(project_root));
}

// The text under which a finding on `path` is reported: relative to the root when it lies
// under it. A relative path is already relative to the root (the reporter strips the root).
py::str project_relative(py::handle path, py::handle root) {
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

bool is_file_selection_key(py::handle key) {
  for (const char* name : kFileSelectionKeys) {
    if (py::str(name).equal(key)) return true;
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Modules that cannot be analysed
//
// The linter reports such a module on its first line; with workers a syntax error carries
// only the linter's fixed text. What went wrong is worked out here from the file itself, as
// Python reads it: only the files that failed are read again.

py::bytes byte_at(const py::bytes& data, py::ssize_t at) {
  return data[py::slice(at, at + 1, 1)];
}

// (line, 0-based column, message) for the first byte that the encoding cannot decode.
py::tuple undecodable(const py::bytes& data, const std::string& encoding, py::handle error) {
  py::ssize_t start = error.attr("start").cast<py::ssize_t>();
  py::ssize_t line = data.attr("count")(py::bytes("\n"), 0, start).cast<py::ssize_t>() + 1;
  py::ssize_t line_start = data.attr("rfind")(py::bytes("\n"), 0, start).cast<py::ssize_t>() + 1;
  std::string byte = py::str(byte_at(data, start).attr("hex")());
  std::string what = encoding == "utf-8" || encoding == "utf-8-sig"
                         ? "the file is not valid UTF-8 (byte 0x" + byte +
                               " cannot be decoded); save it as UTF-8 or declare its encoding"
                         : "the file is not valid " + encoding +
                               ", the encoding it declares (byte 0x" + byte +
                               " cannot be decoded)";
  return py::make_tuple(line, start - line_start, what);
}

// (line, 0-based column, message) of a module that does not decode or parse, or None when
// it now does (or cannot be read at all).
py::object describe_syntax_error(py::handle path) {
  py::bytes data;
  try {
    data = G("Path")(path).attr("read_bytes")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return py::none();
  }
  std::string encoding = "utf-8";
  try {
    py::object readline = lookup("io", "BytesIO")(data).attr("readline");
    encoding = py::str(lookup("tokenize", "detect_encoding")(readline)[py::int_(0)]);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_SyntaxError)) throw;
    // The first lines are not UTF-8 and declare nothing, or the declaration is bad.
    py::object message = e.value();
    try {
      data.attr("decode")("utf-8");
    } catch (py::error_already_set& decode) {
      if (!decode.matches(PyExc_UnicodeDecodeError)) throw;
      return undecodable(data, encoding, decode.value());
    }
    return py::make_tuple(1, 0, py::str(message));
  }
  py::str text;
  try {
    text = data.attr("decode")(encoding);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_UnicodeDecodeError)) throw;
    return undecodable(data, encoding, e.value());
  }
  text = text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
  try {
    // As astroid parses, so the message is the one pylint gives.
    lookup("ast", "parse")(py::str(std::string(text) + "\n"), py::arg("type_comments") = true);
  } catch (py::error_already_set& e) {
    py::object error = e.value();
    if (e.matches(PyExc_SyntaxError)) {
      py::object line = error.attr("lineno");
      py::object offset = error.attr("offset");
      long column = truthy(offset) ? offset.cast<long>() - 1 : 0;
      return py::make_tuple(truthy(line) ? line : py::object(py::int_(1)),
                            column > 0 ? column : 0, py::str(error));
    }
    if (e.matches(PyExc_ValueError)) return py::make_tuple(1, 0, py::str(error));  // NUL bytes
    throw;
  }
  return py::none();
}

// The message for a module that cannot be opened, or None when it can.
py::object describe_unreadable(py::handle path) {
  // Opening a FIFO would wait for a writer for ever.
  bool loop = false;
  py::object status;
  try {
    status = G("os").attr("stat")(path);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    loop = py::object(e.value().attr("errno")).equal(lookup("errno", "ELOOP"));
    status = py::none();
  }
  if (loop) return py::str("cannot read the file: it is a loop of symbolic links");
  if (!status.is_none() && !truthy(lookup("stat", "S_ISREG")(status.attr("st_mode"))))
    return py::str("cannot read the file: it is not a regular file");
  try {
    import("builtins").attr("open")(path, "rb").attr("close")();
    return py::none();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    if (truthy(os_path("islink")(path)) && !truthy(os_path("exists")(path)))
      return py::str("cannot read the file: it is a symbolic link to a missing file");
    return py::str("cannot read the file: {}").format(e.value().attr("strerror"));
  }
}

// True for a finding that says its module could not be analysed; its record then tells
// what went wrong, where the linter knows it only as a fixed text or a module it missed.
bool describe_unanalysed(py::handle record, py::handle path) {
  py::object code = record["message-id"];
  if (code.equal(py::str(kSyntaxErrorCode))) {
    // The parser may fail otherwise on what it cannot parse (too deep a nesting); the
    // finding then keeps the linter's own text.
    py::object found = on_error(
        PyExc_Exception, [&] { return describe_syntax_error(path); },
        [] { return py::object(py::none()); });
    if (!found.is_none()) {
      record["line"] = found[py::int_(0)];
      record["column"] = found[py::int_(1)];
      record["message"] = found[py::int_(2)];
    }
    return true;
  }
  if (code.equal(py::str(kFatalCode))) {
    py::object unreadable = describe_unreadable(path);
    if (!unreadable.is_none()) record["message"] = unreadable;
    return true;
  }
  return false;
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

// The CPUs this process may run on.
py::int_ usable_cpus() {
  py::object os = G("os");
  if (vettor::hasattr(os, "sched_getaffinity")) return py::int_(py::len(os.attr("sched_getaffinity")(0)));
  py::object count = os.attr("cpu_count")();
  return count.is_none() ? py::int_(1) : py::int_(count);
}

// The project's own "jobs" asks for no more workers than the machine has CPUs, nor than the
// host's `jobs` when the host gives one (0 or none gives none): a project may be anybody's,
// and its configuration would otherwise start thousands of processes. 0 asks for one worker
// per CPU. The host's own configuration is the host's.
void bound_project_jobs(py::dict& merged, py::handle project_config, py::handle host_config,
                        py::handle jobs) {
  if (!truthy(project_config.attr("__contains__")("jobs")) ||
      truthy(host_config.attr("__contains__")("jobs")))
    return;
  py::object most = usable_cpus();
  if (py::isinstance<py::int_>(jobs) && !py::isinstance<py::bool_>(jobs) && truthy(jobs.attr("__gt__")(0)))
    most = builtin("min")(most, jobs);
  py::object wanted = project_config["jobs"];
  merged["jobs"] = truthy(wanted.attr("__eq__")(0)) ? most : builtin("min")(wanted, most);
}

// A selected file that leads out of the project (by "..", an absolute path or a link) is not
// the project's: it is skipped, named in a warning.
bool leads_outside(py::handle root, py::handle key, py::handle path) {
  if (!leads_outside_root(root, path)) return false;
  G("logger").attr("warning")("Skipping %s: %s", key, "it leads outside the project root");
  return true;
}

// The settings modules the lint judges: those the configuration names, else those found in
// the project.
py::list settings_modules(py::handle project_root, py::handle config) {
  py::object meta = G("meta");
  if (config.attr("get")(kSettingsFiles).is_none())
    return builtin("list")(meta.attr("get_settings_files")(project_root));
  py::list names;
  for (py::handle name : listed_entries(config[kSettingsFiles])) {
    if (truthy(name)) names.append(name);
  }
  // Their files are this project's only: what an earlier lint of the process found is forgotten.
  meta.attr("get_settings_files")(project_root, names);
  return names;
}

// Of those, the ones whose file lies in the project: the root URL configuration is read from
// them only, never from a module of the same name elsewhere on the import path.
py::list settings_modules_in_project(py::handle settings_files) {
  py::dict known = G("meta").attr("_settings_files_found");
  py::list found;
  for (py::handle name : settings_files) {
    if (known.contains(name)) found.append(name);
  }
  return found;
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
    if (is_file_selection_key(item.first) || py::str(kParseCache).equal(item.first) ||
        py::str(kUnsafeFixes).equal(item.first) || py::str(kPerFileIgnores).equal(item.first) ||
        py::str(kMaxFileSizeKey).equal(item.first))
      continue;
    // Set below: the configured settings modules win over those found in the project.
    if (py::str(kSettingsFiles).equal(item.first)) continue;
    py::object value = py::reinterpret_borrow<py::object>(item.second);
    if (py::str("disable").equal(item.first) || py::str("enable").equal(item.first))
      value = names_for_linter(value);
    apply_option(linter, item.first, value);
  }
  linter.attr("set_option")("django-version", django_version);
  linter.attr("max_file_size") = max_file_size(entries);
  py::object meta = G("meta");
  // A configuration that names the settings modules chooses them; otherwise the project's
  // metadata finds the ones a deployment uses.
  linter.attr("set_option")(kSettingsFiles, settings_modules(project_root, entries));
  linter.attr("set_option")(
      "root-urlconf", meta.attr("get_root_urlconf")(
                          settings_modules_in_project(linter.attr("config").attr("settings_files"))));

  // Python keys, by the project-relative text their findings come back under; each file
  // is handed to the linter once, under the root.
  py::str root = absolute_root(project_root);
  py::dict selection;
  py::list targets;
  for (auto item : py::dict(builtin("dict")(files))) {
    if (!ends_with(item.first, ".py")) continue;
    py::object target = os_path("normpath")(os_path("join")(root, item.first));
    if (leads_outside(root, item.first, target)) continue;
    py::str name = project_relative(target, root);
    if (!selection.contains(name)) targets.append(target);
    selection[name] = item.second;
  }
  linter.attr("reporter").attr("path_strip_prefix") = root.attr("__add__")(G("os").attr("sep"));
  // Managers and querysets infer only under the shims' transforms on astroid's global
  // manager. They are put there before the first file (and before pylint forks its
  // workers), so the queryset rules see the same values in every project, whether or not
  // anything else in the process has loaded them yet.
  import_sibling(G.handle(), "shims");
  keep_node_constructor_signatures();
  {
    // Gone last: the next lint of this process starts from none of this project's modules.
    ProjectModulesForgotten forgotten(root, targets);
    KeptTrees kept(parse_cache_wanted(entries.attr("get")(kParseCache)));
    RaisedCollectorThresholds thresholds;
    KeptClassAnswers class_answers;
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
  codes.add(kSyntaxErrorCode);
  codes.add(kFatalCode);
  py::list kept;
  for (py::handle record : messages) {
    if (!codes.contains(record["message-id"])) continue;
    py::str path = project_relative(record["path"], root);
    record["path"] = path;
    // A finding outside the selected files (there is none unless a checker reports on
    // another module) is not what the host asked for.
    if (!selection.contains(path)) continue;
    // A module that could not be analysed is reported whatever lines were asked for: none
    // of them has been checked.
    if (describe_unanalysed(record, os_path("join")(root, path)) ||
        line_selected(selection[path], record["line"]))
      kept.append(record);
  }
  return kept;
}

// The project's routes, which the template rules match hard-coded links with: read from the
// root URL configuration that the configuration names ("root-urlconf"), else the one the
// settings modules the lint judges give (ROOT_URLCONF), else any settings module's. None when
// there is no project or its URL configuration cannot be read.
py::object project_routes(py::object project_root, py::object config) {
  if (project_root.is_none()) return py::none();
  py::object meta = G("meta");
  py::object urlconf = config.attr("get")("root-urlconf");
  if (!truthy(urlconf)) {
    urlconf = meta.attr("get_root_urlconf")(
        settings_modules_in_project(settings_modules(project_root, config)));
  }
  if (!truthy(urlconf)) urlconf = meta.attr("get_project_root_urlconf")(project_root);
  // A URL configuration this reading trips over costs the links their judgement, not the lint.
  try {
    return G("urls").attr("read_url_configuration")(project_root, urlconf);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    G("logger").attr("warning")("The URL configuration %s was not read, so no link is judged: %s",
                                urlconf, e.value());
    return py::none();
  }
}

// `project_root`, when given, is where relative template keys are read from; the findings
// keep the key as their path.
py::list get_html_messages(py::object files, py::object config, py::object project_root) {
  py::list keys;
  for (py::handle key : files) {
    if (ends_with(key, ".html")) keys.append(key);
  }
  py::object routes = py::len(keys) > 0 ? project_routes(project_root, config) : py::none();
  py::list paths;
  py::dict key_of;
  if (project_root.is_none()) {
    paths = keys;
  } else {
    py::str root = absolute_root(project_root);
    for (py::handle key : keys) {
      py::object path = os_path("join")(root, key);
      if (leads_outside(root, key, path)) continue;
      paths.append(path);
      key_of[path] = key;
    }
  }
  py::object linter = G("HtmlLinter")(py::arg("routes") = routes);
  linter.attr("max_file_size") = max_file_size(config);
  linter.attr("check")(paths);

  // The configuration's "disable" and "enable" entries, in its order, as pylint applies them to
  // a Python finding.
  py::object entries = py::dict(builtin("dict")(config)).attr("items")();
  py::list kept;
  for (py::handle record : linter.attr("messages")) {
    if (!project_root.is_none() && key_of.contains(record["path"]))
      record["path"] = key_of[record["path"]];
    if (!line_selected(files[record["path"]], record["line"])) continue;
    if (switched_off(entries, message_info(record["message-id"]))) continue;
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

// The Django-version finding of a resolved version (none for none).
py::list meta_messages_of(py::object details) {
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

py::list get_meta_messages(py::object project_root) {
  return meta_messages_of(G("dependencies").attr("resolve_django_version")(project_root));
}

// The Django version a lint goes by: the configuration's, else the one the project's
// dependency files resolve to (`details`), else `default_version`.
py::object django_version_for(py::handle config, py::handle details, py::handle default_version) {
  py::object configured = config.attr("get")("django-version");
  if (!configured.is_none()) return configured;
  return py::reinterpret_borrow<py::object>(truthy(details) ? details["version"] : default_version);
}

py::list get_messages(py::object project_root, py::object files,
                      py::object default_django_version, py::object config, py::object jobs) {
  py::object project_config = G("read_project_config")(project_root);
  // The host's per-file ignores are checked as the project's are: a wrong one would otherwise
  // silence nothing without a word.
  if (vettor::hasattr(config, "keys") && truthy(config.attr("__contains__")(kPerFileIgnores)))
    G("check_per_file_ignores")(config[kPerFileIgnores], "config: per-file-ignores");
  py::dict merged = merge_config(project_config, config);
  bound_project_jobs(merged, project_config, config, jobs);
  G("logger").attr("debug")("Using config: %s\n", merged);
  // The dependency files are read once per call: the version found chooses the rules' Django
  // (unless the configuration names one) and makes the Django-version finding.
  py::object details = G("dependencies").attr("resolve_django_version")(project_root);
  py::object django_version = django_version_for(merged, details, default_django_version);
  py::object html = G("get_html_messages")(py::arg("files") = files, py::arg("config") = merged,
                                           py::arg("project_root") = project_root);
  py::object python = G("get_python_messages")(
      py::arg("project_root") = project_root, py::arg("files") = files,
      py::arg("config") = merged, py::arg("django_version") = django_version,
      py::arg("jobs") = jobs);
  py::list result = builtin("list")(python);
  result.attr("extend")(html);
  result = without_per_file_ignored(result, merged.attr("get")(kPerFileIgnores));
  if (truthy(files.attr("__contains__")("META"))) result.attr("extend")(meta_messages_of(details));
  return result;
}

// The findings of `code`, a text held in memory (an editor's unsaved buffer, standard input),
// as get_messages would report them for the project's file `path` if it held that text: the
// same configuration, Django version, settings modules and routes, the file on disk never
// read (it need not exist). A Python text is linted by the single-text linter, a template by
// the template checkers; any other path gives no finding.
py::list get_text_messages(py::object project_root, py::object path, py::object code,
                           py::object default_django_version, py::object config) {
  if (!py::isinstance<py::str>(code)) {
    raise(PyExc_TypeError, "the text to lint is not a str: " +
                               std::string(py::str(code.get_type().attr("__name__"))));
  }
  py::object project_config = G("read_project_config")(project_root);
  if (vettor::hasattr(config, "keys") && truthy(config.attr("__contains__")(kPerFileIgnores)))
    G("check_per_file_ignores")(config[kPerFileIgnores], "config: per-file-ignores");
  py::dict merged = merge_config(project_config, config);
  py::object per_file_ignores = merged.attr("get")(kPerFileIgnores);
  py::str root = absolute_root(project_root);
  py::object key = G("os").attr("fspath")(path);
  py::object target = os_path("normpath")(os_path("join")(root, key));
  py::list kept;
  if (leads_outside(root, key, target)) return kept;
  py::str name = project_relative(target, root);
  py::object entries = merged.attr("items")();

  if (ends_with(key, ".html")) {
    py::dict sources;
    sources[target] = code;
    py::object linter = G("HtmlLinter")(py::arg("routes") = project_routes(project_root, merged),
                                        py::arg("sources") = sources);
    linter.attr("check")(list_of(target));
    for (py::handle record : linter.attr("messages")) {
      if (switched_off(entries, message_info(record["message-id"]))) continue;
      record["path"] = name;
      kept.append(record);
    }
    return without_per_file_ignored(kept, per_file_ignores);
  }
  if (!ends_with(key, ".py")) return kept;

  py::object details = G("dependencies").attr("resolve_django_version")(project_root);
  py::dict options;
  for (auto item : merged) {
    // The files, the parse cache and the workers are the driver's; the settings modules are
    // handed over below, as the project lint chooses them.
    if (is_file_selection_key(item.first) || py::str(kParseCache).equal(item.first) ||
        py::str(kPerFileIgnores).equal(item.first) || py::str(kMaxFileSizeKey).equal(item.first) ||
        py::str(kUnsafeFixes).equal(item.first) || py::str(kSettingsFiles).equal(item.first) ||
        py::str("jobs").equal(item.first))
      continue;
    py::object value = py::reinterpret_borrow<py::object>(item.second);
    if (py::str("disable").equal(item.first) || py::str("enable").equal(item.first))
      value = names_for_linter(value);
    options[item.first] = value;
  }
  options["django-version"] = django_version_for(merged, details, default_django_version);
  py::list settings_files = settings_modules(project_root, merged);
  options["root-urlconf"] =
      G("meta").attr("get_root_urlconf")(settings_modules_in_project(settings_files));
  import_sibling(G.handle(), "shims");
  keep_node_constructor_signatures();
  py::list messages;
  {
    ProjectModulesForgotten forgotten(py::str(root), list_of(target));
    messages = G("lint_text")(code, target, settings_files, py::arg("options") = options,
                              py::arg("jobs") = 1);
  }
  py::set codes(G("get_all_message_codes")());
  codes.add(kSyntaxErrorCode);
  codes.add(kFatalCode);
  for (py::handle record : messages) {
    if (!codes.contains(record["message-id"])) continue;
    // The linter reports the path as pylint does, relative to the working directory.
    if (!os_path("abspath")(record["path"]).equal(target)) continue;
    record["path"] = name;
    kept.append(record);
  }
  return without_per_file_ignored(kept, per_file_ignores);
}

// What a lint of the project goes by, for a caller that lints texts of it one at a time as
// the project's lint would judge them: the configuration (the caller's over the project's),
// the Django version and the settings modules.
py::tuple get_lint_settings(py::object project_root, py::object config,
                            py::object default_django_version) {
  py::dict merged = merge_config(G("meta").attr("get_toml_config")(project_root), config);
  py::object details = G("dependencies").attr("resolve_django_version")(project_root);
  return py::make_tuple(merged, django_version_for(merged, details, default_django_version),
                        settings_modules(project_root, merged));
}

}  // namespace

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
  m.attr("fix_safety_store") = build_fix_safety_store(python_classes, html_classes);
}

void register_entry_points(py::module_& m) {
  // One default mapping shared by every call, as a Python default argument would be.
  py::dict shared_config;
  m.def("create_linter", &create_linter,
        "A new pylint linter of `linter_class` (Linter or CodeLinter) with the package's\n"
        "options and its seven source-code rule checkers. `jobs` is pylint's number of\n"
        "worker processes (0: one per CPU); `config` is not read.",
        py::arg("linter_class"), py::arg("config") = shared_config, py::arg("jobs") = 0);
  m.def("get_all_message_codes", &get_all_message_codes,
        "A new list of the package's own message codes, in alphabetical order.");
  m.def("get_messages", &get_messages,
        "Lint the selected Python files and templates of a project.\n\n"
        "project_root: the project folder (text or path).\n"
        "files: maps each path relative to project_root, ending in .py or .html, to None\n"
        "    (every line) or to the line numbers to report on; the key \"META\" asks for\n"
        "    the Django-version finding C1000. Only these files are linted.\n"
        "default_django_version: the Django minor to lint for when the project's\n"
        "    dependency files name none.\n"
        "config: linter options by name (\"disable\", \"max-models\", \"jobs\", ...),\n"
        "    merged over the [tool.vettor] table of the project's pyproject.toml, which\n"
        "    may set only vettor's own options (meta.ConfigurationError otherwise; see\n"
        "    check_project_config). \"django-version\" and \"settings-files\" there win\n"
        "    over what the project's files say; \"per-file-ignores\" ({pattern: names})\n"
        "    leaves the findings of those names out in the files a pattern matches (a\n"
        "    wrong value raises meta.ConfigurationError, here as in the project's table).\n"
        "jobs: worker processes (0: one per CPU); a \"jobs\" option wins over it (the\n"
        "    project's own never above the CPUs, nor above `jobs` when it is given).\n\n"
        "Returns a new list: the Python findings (records with \"type\", \"module\", \"obj\",\n"
        "\"line\", \"column\", \"path\", \"symbol\", \"message\", \"message-id\"; \"message\"\n"
        "holds the finding's argument record), then the template findings, then C1000.\n"
        "Paths are relative to project_root, lines 1-based, columns 0-based. A Python\n"
        "file that could not be analysed is one finding, E0001 (it does not parse or\n"
        "decode) or F0001 (it cannot be read, is larger than config[\"max-file-size\"] MB\n"
        "(default 2), or the analysis failed), whatever lines were selected; a template\n"
        "that cannot be read or is that large is skipped with a warning.",
        py::arg("project_root"), py::arg("files"), py::arg("default_django_version") = "3.2",
        py::arg("config") = shared_config, py::arg("jobs") = 0);
  m.def("get_python_messages", &get_python_messages,
        "The Python half of get_messages: lint the .py keys of `files` under project_root\n"
        "for the Django minor `django_version`, with `config` (the linter options, taken\n"
        "as given: no project configuration is read) and `jobs` worker processes.\n"
        "Returns a new list of Python finding records, paths relative to project_root.",
        py::arg("project_root"), py::arg("files"), py::arg("django_version"),
        py::arg("config") = shared_config, py::arg("jobs") = 0);
  m.def("get_html_messages", &get_html_messages,
        "The template half of get_messages: check the .html keys of `files`, read under\n"
        "project_root when it is given (else as they are). Findings whose code or symbol\n"
        "config[\"disable\"] names are left out. Returns a new list of template finding\n"
        "records whose \"path\" is the key.",
        py::arg("files"), py::arg("config") = shared_config,
        py::arg("project_root") = py::none());
  m.def("get_meta_messages", &get_meta_messages,
        "The Django-version finding of the project in project_root: a one-element list\n"
        "holding {\"message-id\": \"C1000\", \"path\": the dependency file,\n"
        "\"message_type\": \"meta\", \"body\": {\"specs\", \"minor\", \"matching_versions\"}},\n"
        "or an empty list when no dependency file names Django.",
        py::arg("project_root"));
  m.def("get_text_messages", &get_text_messages,
        "The findings get_messages(project_root, {path: None}, default_django_version,\n"
        "config) would report if the project's file `path` held the text `code` (a str):\n"
        "the text of an editor's buffer or of standard input, linted under the project's\n"
        "configuration, Django version, settings modules and routes. The file on disk is\n"
        "not read and need not exist. `path` is relative to project_root and ends in .py\n"
        "or .html (any other gives no finding; one that leads out of the root is skipped\n"
        "with a warning). Returns a new list of finding records, their \"path\" `path`\n"
        "made relative to project_root; no Django-version finding.",
        py::arg("project_root"), py::arg("path"), py::arg("code"),
        py::arg("default_django_version") = "3.2", py::arg("config") = shared_config);
  m.def("get_lint_settings", &get_lint_settings,
        "What get_messages(project_root, ..., default_django_version, config) lints the\n"
        "project's files under, for a caller that lints texts of the project one at a time:\n"
        "the tuple (the configuration, the caller's over the project's; the Django version;\n"
        "the list of the settings modules judged).",
        py::arg("project_root"), py::arg("config") = shared_config,
        py::arg("default_django_version") = "3.2");
}

}  // namespace vettor::checker
