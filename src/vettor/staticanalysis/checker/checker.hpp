// Internal to the `checker` module: the handle on the module object and the registration
// functions that checker.cpp calls, in order, while the module loads.
#pragma once

#include <vettor/message_names.hpp>
#include <vettor/pyutil.hpp>

#include <string>

namespace vettor::checker {

// The `checker` module itself; every name a function uses (the rule lists, `Progress`,
// `logger`, `create_linter`, the imported siblings) is read from it at call time.
extern ModuleRef G;

// linter.cpp: the progress display class (rich's, or a do-nothing stand-in).
void register_progress(py::module_& m);

// entry_points.cpp: the rule checker lists, the logger and the code-to-symbol table.
// `rule_modules` maps each rule module's short name to its module object.
void register_rule_tables(py::module_& m, py::dict rule_modules);

// linter.cpp: `ignore_old_style_string_formatting`, `Linter`, `HtmlLinter`, `Reporter`.
void register_linter(py::module_& m);

// entry_points.cpp: `create_linter`, `get_all_message_codes` and the lint entry points.
void register_entry_points(py::module_& m);

// entry_points.cpp: a new linter of `linter_class` with the package's options and rule checkers
// (the module's `create_linter`).
py::object create_linter(py::object linter_class, py::object config, py::object jobs);

// entry_points.cpp: the configuration entry `key` set on the linter, through whichever
// provider declares the option (a rule checker's, the linter's own).
void apply_option(py::handle linter, py::handle key, py::object value);

// single_text.cpp: linting one source text held in memory.
void register_single_text(py::module_& m);

// messages.cpp: `is_message_name`, `codes_named` and `disabled_codes`.
void register_message_names(py::module_& m);

// messages.cpp: the entries of a list option: a list, or one text of them separated by commas
// (each text stripped).
py::list listed_entries(py::handle value);

// messages.cpp: whether `entries`, (key, names) pairs such as a configuration's items, leave
// the message switched off once every "disable" and "enable" among them has been applied in
// order.
bool switched_off(py::handle entries, const MessageInfo& message);

// messages.cpp: the names of a `disable` or `enable` value (a list, or one comma-separated
// text) as pylint's own options take them: the start of codes ("C4") becomes the codes it
// begins, which pylint does not know as a name; every other name stays as written.
py::list names_for_linter(py::handle value);

// messages.cpp: the message of a code, with its symbol and checker (both empty when unknown).
MessageInfo message_info(py::handle code);

// per_file_ignores.cpp: `matches_path`, `per_file_ignored` and `check_per_file_ignores`.
void register_per_file_ignores(py::module_& m);

// per_file_ignores.cpp: what is wrong with a per-file-ignores value, in a few words (empty when
// nothing is).
std::string per_file_ignores_problem(py::handle value);

// per_file_ignores.cpp: the records, less the lint findings that `per_file_ignores` (a checked
// per-file-ignores table, or None) ignores in their files.
py::list without_per_file_ignored(py::list records, py::handle per_file_ignores);

// project_config.cpp: `check_project_config`, what a project's own configuration may set.
void register_project_config(py::module_& m);

// process_state.cpp: `ProjectModules`, the context manager form of ProjectModulesForgotten.
void register_process_state(py::module_& m);

// throughput.cpp: astroid's node constructors stop working out their own signature at every
// node (once per process; astroid warns as before).
void keep_node_constructor_signatures();

// throughput.cpp: while it lives, astroid works out each class's ancestors, method resolution
// order and metaclass once and reads them back afterwards; astroid's own functions are put
// back when it goes.
class KeptClassAnswers {
 public:
  KeptClassAnswers();
  ~KeptClassAnswers();
  KeptClassAnswers(const KeptClassAnswers&) = delete;
  KeptClassAnswers& operator=(const KeptClassAnswers&) = delete;

 private:
  py::list replaced_;  // (class, name, astroid's function, its replacement)
};

// throughput.cpp: the collector's thresholds raised while it lives, put back as they were
// when it goes, also when an error is on its way out.
class RaisedCollectorThresholds {
 public:
  RaisedCollectorThresholds();
  ~RaisedCollectorThresholds();
  RaisedCollectorThresholds(const RaisedCollectorThresholds&) = delete;
  RaisedCollectorThresholds& operator=(const RaisedCollectorThresholds&) = delete;

 private:
  py::tuple saved_;
};

// process_state.cpp: astroid's inference answers forgotten (each file starts from none).
void forget_inference_answers();

// process_state.cpp: while it lives, a check may set astroid's options (which native modules
// may be imported, how many values an inference may give) and the import path; they are put
// back as they were when it goes.
class KeptAstroidOptions {
 public:
  KeptAstroidOptions();
  ~KeptAstroidOptions();
  KeptAstroidOptions(const KeptAstroidOptions&) = delete;
  KeptAstroidOptions& operator=(const KeptAstroidOptions&) = delete;

 private:
  py::dict saved_;
  py::object allow_list_;
  py::object sys_path_;
};

// process_state.cpp: a lint of the project in `project_root` (none: no project but the
// import path) over `targets` starts without the library modules its own modules shadow, and
// when it goes, astroid knows no module of the project any more, nor where any module was
// found, nor an answer of its inference, and neither astroid nor pylint keeps a cached answer
// that holds a node of the project; native modules of the project it imported are gone from
// sys.modules.
class ProjectModulesForgotten {
 public:
  ProjectModulesForgotten(py::object project_root, py::object targets);
  ~ProjectModulesForgotten();
  ProjectModulesForgotten(const ProjectModulesForgotten&) = delete;
  ProjectModulesForgotten& operator=(const ProjectModulesForgotten&) = delete;

 private:
  py::object project_root_;
  py::object modules_before_;
};

// process_state.cpp: while it lives, an attribute assignment adds the attribute only to
// classes, functions and modules of its own module (astroid's function is put back when it
// goes).
class OwnModuleAttributes {
 public:
  OwnModuleAttributes();
  ~OwnModuleAttributes();
  OwnModuleAttributes(const OwnModuleAttributes&) = delete;
  OwnModuleAttributes& operator=(const OwnModuleAttributes&) = delete;

 private:
  py::object original_;
  py::object replacement_;
};

// parse_cache.cpp: whether a configuration value asks for the kept trees (none: the default,
// yes; false, or a text such as "no" or "off": no).
bool parse_cache_wanted(py::handle setting);

// parse_cache.cpp: astroid's builder keeps the trees it parses in the user's cache folder and
// reads them back, while it lives (nothing when not wanted or the folder cannot be trusted).
class KeptTrees {
 public:
  explicit KeptTrees(bool wanted);
  ~KeptTrees();
  KeptTrees(const KeptTrees&) = delete;
  KeptTrees& operator=(const KeptTrees&) = delete;

 private:
  py::object original_;
  py::object folder_;
};

}  // namespace vettor::checker
