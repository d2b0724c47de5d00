// pylint's linter and JSON reporter, adapted to the package: syntax errors get one fixed
// message text, the package's "# vettor: disable=" pragma becomes pylint's own before pylint
// reads it, a progress display runs while files are checked, a module that cannot be
// analysed is one finding instead of a traceback, and every finding is kept in memory as a
// plain record. The template checkers are driven by a small linter of their own.
#include "checker.hpp"

#include <vettor/project_files.hpp>

#include <string>
#include <utility>
#include <vector>

namespace vettor::checker {

namespace {

bool equal(py::handle a, py::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// ---------------------------------------------------------------------------------------
// Progress display and forking
//
// With "jobs" other than 1 pylint forks its worker pool while the display is shown. rich
// draws the display from a thread of its own, under the display's locks; a fork taken while
// that thread holds one leaves the lock held for ever in the worker, which then hangs the
// first time it writes through the display (rich redirects stdout and stderr through it on
// a terminal). So while a display is shown, a fork waits until the drawing thread is idle,
// and the worker starts with the display's locks released. Workers never advance the
// display: the parent advances it once per file result.

py::object lock_at(py::handle obj, std::initializer_list<const char*> path) {
  py::object cur = py::reinterpret_borrow<py::object>(obj);
  for (const char* name : path) {
    cur = getattr_or_none(cur, name);
    if (cur.is_none()) return cur;
  }
  if (vettor::isinstance(cur, lookup("_thread", "RLock")) ||
      vettor::isinstance(cur, lookup("_thread", "LockType")))
    return cur;
  return py::none();
}

void before_fork() {
  for (py::handle display : G("_displays")) {
    py::object lock = lock_at(display, {"live", "_lock"});
    if (!lock.is_none()) lock.attr("acquire")();
  }
}

void after_fork_in_parent() {
  for (py::handle display : G("_displays")) {
    py::object lock = lock_at(display, {"live", "_lock"});
    if (!lock.is_none()) lock.attr("release")();
  }
}

void after_fork_in_child() {
  py::list displays = G("_displays");
  for (py::handle display : displays) {
    for (py::object lock : {lock_at(display, {"_lock"}), lock_at(display, {"live", "_lock"}),
                            lock_at(display, {"live", "console", "_lock"}),
                            lock_at(display, {"live", "console", "_record_buffer_lock"})}) {
      if (!lock.is_none()) lock.attr("_at_fork_reinit")();
    }
  }
  displays.attr("clear")();
}

// ---------------------------------------------------------------------------------------
// Linter

constexpr const char* kSyntaxErrorHelp = "Used when a syntax error is raised for a module.";

py::object make_ignore_old_style_string_formatting(py::module_& m) {
  py::dict ns;
  ns["__doc__"] = "A message text that pylint's `text % args` leaves unchanged.";
  py::object cls = make_class(m, "ignore_old_style_string_formatting",
                              bases_of(import("builtins").attr("str")), ns);
  add_method(cls, "__mod__", [](py::object self, py::object) { return self; }, py::arg("other"));
  return cls;
}

// pylint reads `disable=all` as `skip-file`: one pragma at the end of one line would silence
// every finding of the file. In the package's pragma `all` stands for every category of
// message instead, so the pragma's place decides what it silences, as it does for a named
// code: its own line at the end of a line, the rest of the block on a line of its own.
// `skip-file` says the other thing where it is meant. `comment` is the comment as written,
// `renamed` the same with "pylint:" in place of "vettor:" (as long, so places agree); a
// pragma written for pylint itself keeps pylint's meaning.
py::str spell_out_all(py::handle self, py::str comment, py::str renamed) {
  py::object match = lookup("pylint.utils.pragma_parser", "OPTION_PO").attr("search")(renamed);
  if (match.is_none()) return renamed;
  py::object pragma = match.attr("group")(2);
  long offset = match.attr("start")(2).cast<long>();
  long keyword = renamed.attr("rfind")("pylint:", 0, offset).cast<long>();
  if (keyword < 0 || !equal(comment[py::slice(keyword, keyword + 7, 1)], py::str("vettor:")))
    return renamed;
  py::object finditer = lookup("re", "finditer");
  std::string action;
  std::vector<std::pair<long, long>> spans;
  for (py::handle token :
       finditer(lookup("pylint.utils.pragma_parser", "TOK_REGEX"), pragma)) {
    py::object kind = token.attr("lastgroup");
    if (kind.is_none()) continue;
    std::string kind_name = kind.cast<std::string>();
    std::string value = token.attr("group")().cast<std::string>();
    if (kind_name == "KEYWORD") {
      action = value;
    } else if (kind_name == "MESSAGE_STRING" && value == "all" && action == "disable") {
      spans.emplace_back(offset + token.attr("start")().cast<long>(),
                         offset + token.attr("end")().cast<long>());
    }
  }
  if (spans.empty()) return renamed;
  // The categories this linter has messages of (pylint's category table, in its order).
  py::object by_category = self.attr("msgs_store").attr("_msgs_by_category");
  py::list categories;
  for (py::handle category : lookup("pylint.constants", "MSG_TYPES")) {
    if (truthy(by_category.attr("get")(category))) categories.append(category);
  }
  py::str every = py::str(",").attr("join")(categories);
  py::list pieces;
  long done = 0;
  for (auto [start, end] : spans) {
    pieces.append(renamed[py::slice(done, start, 1)]);
    pieces.append(every);
    done = end;
  }
  pieces.append(renamed[py::slice(done, py::len(renamed), 1)]);
  return py::str("").attr("join")(pieces);
}

// Rewrites the package's pragma in comment tokens only: a string literal that mentions it is
// code, not a pragma.
void process_tokens(py::handle cls, py::object self, py::list tokens) {
  py::object comment = G("tokenize").attr("COMMENT");
  for (size_t i = 0; i < tokens.size(); ++i) {
    py::object token = tokens[i];
    if (!equal(token.attr("type"), comment)) continue;
    py::str string = token.attr("string");
    if (!truthy(string.attr("__contains__")("vettor"))) continue;
    py::str line = token.attr("line");
    py::str renamed = string.attr("replace")("vettor:", "pylint:");
    py::str pragma = spell_out_all(self, string, renamed);
    py::str new_line = line.attr("replace")("vettor:", "pylint:");
    if (!equal(pragma, renamed)) new_line = new_line.attr("replace")(renamed, pragma);
    tokens[i] = token.attr("_replace")(py::arg("string") = pragma, py::arg("line") = new_line);
  }
  super(cls, self).attr("process_tokens")(tokens);
}

// The display is drawn on standard error, and only when that is a terminal: a host that
// lints gets no progress text in its output, and a redirected or piped run none in its logs.
// Whatever the lint prints on standard output meanwhile goes there unchanged.
py::object make_display() {
  py::object console = G("Console")(py::arg("stderr") = true);
  bool shown = truthy(console.attr("is_terminal"));
  // A disabled display still ends with a blank line where the console is no terminal.
  if (!shown) console.attr("quiet") = true;
  return G("Progress")(py::arg("console") = console, py::arg("disable") = !shown,
                       py::arg("redirect_stdout") = false);
}

// Before a lint forks its workers, the library modules every rule infers through (Django's
// models, fields and querysets) are built once here: each worker then starts with them as a
// copy instead of building them for itself, and the fixes that follow the lint in this
// process find them too. They are found on the import path the workers have (a project that
// ships a module of one of these names gets its own). A module that cannot be built is left
// to the workers, as before.
void build_shared_library_modules(py::handle self, py::handle files_or_modules) {
  py::object jobs = self.attr("config").attr("jobs");
  if (!jobs.is_none() && py::int_(jobs).cast<long>() == 1) return;
  py::object manager = lookup("astroid", "MANAGER");
  py::object import_path = lookup("pylint.lint", "fix_import_path")(files_or_modules);
  vettor::within(import_path, [&] {
    for (py::handle name : G("SHARED_LIBRARY_MODULES")) {
      try {
        manager.attr("ast_from_module_name")(name);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
      }
    }
    return py::object(py::none());
  });
}

void check(py::handle cls, py::object self, py::object files_or_modules, py::args args,
           py::kwargs kwargs) {
  // pylint sets astroid's options from this linter's configuration when the check starts.
  KeptAstroidOptions options;
  OwnModuleAttributes own_attributes;
  build_shared_library_modules(self, files_or_modules);
  py::object manager = make_display();
  py::object exit = manager.attr("__exit__");
  py::object display = manager.attr("__enter__")();
  py::list displays = G("_displays");
  displays.append(display);
  auto leave = [&]() {
    if (truthy(displays.attr("__contains__")(display))) displays.attr("remove")(display);
  };
  try {
    self.attr("progress") = display;
    size_t count = py::len(files_or_modules);
    std::string description =
        "[blue]Analyzing " + std::to_string(count) + (count == 1 ? " file... " : " files... ");
    self.attr("progress_task") =
        display.attr("add_task")(description, py::arg("total") = count);
    self.attr("_progress_pid") = G("os").attr("getpid")();
    kwargs["files_or_modules"] = files_or_modules;
    super(cls, self).attr("check")(*args, **kwargs);
  } catch (py::error_already_set& e) {
    leave();
    if (truthy(exit(e.type(), e.value(), e.trace()))) return;
    throw;
  } catch (...) {
    leave();
    exit(py::none(), py::none(), py::none());
    throw;
  }
  leave();
  exit(py::none(), py::none(), py::none());
}

void set_current_module(py::handle cls, py::object self, py::object modname,
                        py::object filepath) {
  G("logger").attr("debug")("Analyzing %s", truthy(filepath) ? filepath : modname);
  // Answers worked out for the files before this one (which depend on which files those
  // were, and in what order) do not decide this one's.
  forget_inference_answers();
  super(cls, self).attr("set_current_module")(modname, filepath);
  // A forked worker holds a copy of the display that nobody sees.
  if (!equal(self.attr("_progress_pid"), G("os").attr("getpid")())) return;
  self.attr("progress").attr("update")(self.attr("progress_task"), py::arg("advance") = 1);
}

// ---------------------------------------------------------------------------------------
// Modules that cannot be analysed
//
// pylint's own get_ast prints the traceback of any error astroid raises to standard error,
// and an error raised while the checkers walk a tree either writes a crash report into the
// user's cache folder (one process) or ends the whole lint (workers). Here every module that
// cannot be analysed is one finding instead: a syntax error (E0001) for a module that does
// not parse or decode, a fatal (F0001) for one that cannot be read or on which astroid or a
// checker fails (a RecursionError on a deeply nested expression, say). The lint goes on.

// (Texts, not C++ strings: an error may name a file whose name is not UTF-8.)
py::str error_text(const py::error_already_set& e) {
  py::object value = e.value();
  return py::str("{}: {}").format(value.get_type().attr("__name__"), value);
}

py::str join(const char* head, py::handle tail) { return py::str(head).attr("__add__")(tail); }

void add_fatal(py::object self, py::handle text) {
  self.attr("add_message")("fatal", py::arg("args") = text);
}

void add_syntax_error(py::object self, py::handle error) {
  py::object line = py::getattr(error, "lineno", py::none());
  // A source that cannot be decoded is a syntax error without a line; pylint's message
  // check refuses one, so it is put on the first line.
  self.attr("add_message")("syntax-error",
                           py::arg("line") = truthy(line) ? line : py::object(py::int_(1)),
                           py::arg("col_offset") = py::getattr(error, "offset", py::none()),
                           py::arg("args") = py::str(error));
}

// A FIFO, a device or a folder named like a module would block or fail the reader.
bool is_readable_kind(py::object self, py::handle filepath) {
  py::object status;
  try {
    status = G("os").attr("stat")(filepath);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return true;  // opening it fails the ordinary way
  }
  if (truthy(lookup("stat", "S_ISREG")(status.attr("st_mode")))) return true;
  add_fatal(self, py::str("cannot read the file: it is not a regular file"));
  return false;
}

// The limit the lint was given (the linter's `max_file_size`, in MB), or the default.
double file_size_limit(py::handle self) {
  py::object limit = py::getattr(self, "max_file_size", py::none());
  return limit.is_none() ? kDefaultMaxFileSizeMB : limit.cast<double>();
}

py::object get_ast(py::object self, py::object filepath, py::object modname, py::object data) {
  py::handle astroid = G("astroid");
  py::object manager = astroid.attr("MANAGER");
  try {
    if (data.is_none()) {
      if (!is_readable_kind(self, filepath)) return py::none();
      if (auto large = file_too_large(filepath, file_size_limit(self))) {
        add_fatal(self, py::str(*large));
        return py::none();
      }
      return manager.attr("ast_from_file")(filepath, modname, py::arg("source") = true);
    }
    return lookup("astroid.builder", "AstroidBuilder")(manager).attr("string_build")(
        data, modname, filepath);
  } catch (py::error_already_set& e) {
    if (e.matches(astroid.attr("AstroidSyntaxError"))) {
      add_syntax_error(self, e.value().attr("error"));
    } else if (e.matches(astroid.attr("AstroidBuildingError"))) {
      py::object cause = e.value().attr("__cause__");
      if (vettor::isinstance(cause, PyExc_UnicodeError)) {
        add_syntax_error(self, cause);
      } else if (vettor::isinstance(cause, PyExc_OSError)) {
        add_fatal(self, join("cannot read the file: ", py::str(cause.attr("strerror"))));
      } else {
        add_fatal(self, join("astroid could not build the module: ", error_text(e)));
      }
    } else if (e.matches(PyExc_Exception)) {
      add_fatal(self, join("astroid could not build the module: ", error_text(e)));
    } else {
      throw;
    }
    return py::none();
  }
}

py::object check_astroid_module(py::handle cls, py::object self, py::object ast_node,
                                py::object walker, py::object rawcheckers,
                                py::object tokencheckers) {
  try {
    return super(cls, self).attr("check_astroid_module")(ast_node, walker, rawcheckers,
                                                         tokencheckers);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    add_fatal(self, join("the analysis of the module failed: ", error_text(e)));
    return py::none();
  }
}

py::object make_linter(py::module_& m) {
  py::object base = G("lint").attr("PyLinter");
  py::dict msgs = import("builtins").attr("dict")(base.attr("msgs"));
  msgs["E0001"] = py::make_tuple(m.attr("ignore_old_style_string_formatting")("Syntax Error"),
                                 "syntax-error", kSyntaxErrorHelp);
  py::dict ns;
  ns["msgs"] = msgs;
  py::object cls = make_class(m, "Linter", bases_of(base), ns);
  py::handle h = cls;
  add_method(
      cls, "process_tokens",
      [h](py::object self, py::list tokens) { process_tokens(h, self, tokens); },
      py::arg("tokens"));
  add_method(
      cls, "check",
      [h](py::object self, py::object files_or_modules, py::args args, py::kwargs kwargs) {
        check(h, self, files_or_modules, args, kwargs);
      },
      py::arg("files_or_modules"));
  add_method(
      cls, "set_current_module",
      [h](py::object self, py::object modname, py::object filepath) {
        set_current_module(h, self, modname, filepath);
      },
      py::arg("modname"), py::arg("filepath") = py::none());
  add_method(cls, "get_ast", &get_ast, py::arg("filepath"), py::arg("modname"),
             py::arg("data") = py::none());
  add_method(
      cls, "check_astroid_module",
      [h](py::object self, py::object ast_node, py::object walker, py::object rawcheckers,
          py::object tokencheckers) {
        return check_astroid_module(h, self, ast_node, walker, rawcheckers, tokencheckers);
      },
      py::arg("ast_node"), py::arg("walker"), py::arg("rawcheckers"), py::arg("tokencheckers"));
  return cls;
}

// ---------------------------------------------------------------------------------------
// Template linter

py::object make_html_linter(py::module_& m) {
  py::object cls = make_class(m, "HtmlLinter", py::make_tuple());
  // `routes`: the project's routes (urls.read_url_configuration), handed to every template
  // checker; None when they are not known. `sources`: the texts that stand for some of the
  // files (path to text), which are then not read; None for none.
  add_init(
      cls,
      [](py::object self, py::object routes, py::object sources) {
        self.attr("messages") = py::list();
        self.attr("routes") = routes;
        self.attr("sources") = sources;
      },
      py::arg("routes") = py::none(), py::arg("sources") = py::none());
  add_method(
      cls, "check",
      [](py::object self, py::object files) {
        py::list messages = self.attr("messages");
        py::object limit = py::getattr(self, "max_file_size", py::none());
        for (py::handle checker_class : G("html_checker_classes")) {
          py::object template_checker = checker_class();
          if (!limit.is_none()) template_checker.attr("max_file_size") = limit;
          template_checker.attr("routes") = self.attr("routes");
          template_checker.attr("sources") = self.attr("sources");
          template_checker.attr("check")(files);
          messages.attr("extend")(template_checker.attr("messages"));
        }
      },
      py::arg("files"));
  return cls;
}

// ---------------------------------------------------------------------------------------
// Reporter

py::dict lint_message(py::handle message) {
  py::dict record;
  record[interned("type")] = message.attr("category");
  record[interned("module")] = message.attr("module");
  record[interned("obj")] = message.attr("obj");
  record[interned("line")] = message.attr("line");
  record[interned("column")] = message.attr("column");
  record[interned("path")] = message.attr("path");
  record[interned("symbol")] = message.attr("symbol");
  record[interned("message")] = message.attr("msg");
  record[interned("message-id")] = message.attr("msg_id");
  return record;
}

// pylint makes a finding's path by removing the reporter's prefix (the working directory)
// wherever it first occurs in the absolute path, so a working directory whose path appears
// inside the project's path cuts a piece out of the middle. The path is the absolute path
// less that prefix in front, or the absolute path itself.
void strip_prefix_in_front(py::handle self, py::handle msg, py::handle record) {
  py::object abspath = getattr_or_none(msg, "abspath");
  py::object prefix = getattr_or_none(self, "path_strip_prefix");
  if (!py::isinstance<py::str>(abspath) || !py::isinstance<py::str>(prefix)) return;
  py::object full = abspath;
  if (truthy(prefix) && truthy(abspath.attr("startswith")(prefix)))
    full = abspath[py::slice(py::len(prefix), py::len(abspath), 1)];
  record[py::str("path")] = full;
}

py::object make_reporter(py::module_& m) {
  py::object cls = make_class(m, "Reporter", bases_of(G("JSONReporter")));
  add_method(
      cls, "handle_message",
      [](py::object self, py::object msg) {
        py::object record = self.attr("build_backwards_compatibile_pylint_message")(msg);
        if (!PyDict_Check(msg.ptr())) strip_prefix_in_front(self, msg, record);
        self.attr("messages").attr("append")(record);
      },
      py::arg("msg"));
  add_staticmethod(
      cls, "build_backwards_compatibile_pylint_message",
      [](py::object message) -> py::object {
        // A mapping comes back as a shallow plain copy, whatever keys it holds.
        if (PyDict_Check(message.ptr())) return import("builtins").attr("dict")(message);
        return lint_message(message);
      },
      py::arg("message"));
  return cls;
}

}  // namespace

void register_progress(py::module_& m) {
  try {
    m.attr("Progress") = lookup("rich.progress", "Progress");
    m.attr("Console") = lookup("rich.console", "Console");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_ImportError)) throw;
    m.attr("MagicMock") = lookup("unittest.mock", "MagicMock");
    m.attr("Progress") = m.attr("MagicMock");
    m.attr("Console") = m.attr("MagicMock");
  }
  // The displays being shown right now (at most one per running check).
  m.attr("_displays") = py::list();
  import("os").attr("register_at_fork")(py::arg("before") = py::cpp_function(&before_fork),
                                        py::arg("after_in_parent") =
                                            py::cpp_function(&after_fork_in_parent),
                                        py::arg("after_in_child") =
                                            py::cpp_function(&after_fork_in_child));
}

void register_linter(py::module_& m) {
  m.attr("SHARED_LIBRARY_MODULES") =
      py::make_tuple("django.db.models", "django.db.models.base", "django.db.models.fields",
                     "django.db.models.fields.related", "django.db.models.manager",
                     "django.db.models.query");
  m.attr("ignore_old_style_string_formatting") = make_ignore_old_style_string_formatting(m);
  m.attr("Linter") = make_linter(m);
  m.attr("HtmlLinter") = make_html_linter(m);
  m.attr("Reporter") = make_reporter(m);
}

}  // namespace vettor::checker
