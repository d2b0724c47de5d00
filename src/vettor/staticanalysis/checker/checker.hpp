// Internal to the `checker` module: the handle on the module object and the registration
// functions that checker.cpp calls, in order, while the module loads.
#pragma once

#include <vettor/pyutil.hpp>

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

// single_text.cpp: linting one source text held in memory.
void register_single_text(py::module_& m);

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
