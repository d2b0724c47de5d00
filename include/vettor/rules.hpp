// What every rule module declares the same way: its `Codes` class, its `msgs` table, a
// pylint checker class and the visit methods hung on it.
#pragma once

#include <vettor/pyutil.hpp>

#include <cstddef>
#include <initializer_list>
#include <string>

namespace vettor {

// class Codes: C2000 = "C2000", ... (a plain class without bases).
inline py::object make_codes(py::handle m, std::initializer_list<const char*> codes) {
  py::dict ns;
  for (const char* code : codes) ns[code] = code;
  return make_class(m, "Codes", py::make_tuple(), ns);
}

struct MessageDef {
  const char* code;
  const char* symbol;
  const char* help;
};

// code -> (message text, symbol, help text). Each message text is a fresh empty
// helpers.context_string(), so pylint's `text % args` leaves the argument record as the
// finding's message.
inline py::dict make_msgs(py::handle helpers, std::initializer_list<MessageDef> defs) {
  py::dict msgs;
  for (const MessageDef& d : defs) {
    msgs[d.code] = py::make_tuple(helpers.attr("context_string")(), d.symbol, d.help);
  }
  return msgs;
}

// Whether a rule's fix keeps what the program means (safe) or may change what it stores,
// accepts or serves (unsafe). The project fix makes the safe ones unless its caller asks for
// every fix; a review suggestion of an unsafe fix says what it may change.
enum class Safety { kSafe, kUnsafe };

struct FixSafety {
  const char* code;
  Safety safety;
  const char* why;  // one line: why the fix keeps the meaning, or what it may change
};

// The module's FIX_SAFETY: code -> ("safe" or "unsafe", why).
template <std::size_t N>
py::dict make_fix_safety(const FixSafety (&fixes)[N]) {
  py::dict table;
  for (const FixSafety& fix : fixes) {
    table[fix.code] = py::make_tuple(fix.safety == Safety::kSafe ? "safe" : "unsafe", fix.why);
  }
  return table;
}

// A pylint source-code checker class: BaseChecker base, __implements__ = IAstroidChecker,
// `name`, `msgs` and `options` (pylint's option tuples; empty when the rule has none).
inline py::object make_source_checker(py::handle m, const char* name, py::dict msgs,
                                      py::tuple options = py::tuple()) {
  py::dict ns;
  ns["__implements__"] = lookup("pylint.interfaces", "IAstroidChecker");
  ns["name"] = name;
  ns["msgs"] = msgs;
  if (options.size() > 0) ns["options"] = options;
  return make_class(m, "Checker", bases_of(lookup("pylint.checkers", "BaseChecker")), ns);
}

// A `visit_*` / `leave_*` method of a rule checker, `f(self, node)`.
//
// pylint walks a module once with every registered checker, and an exception out of any visit
// method ends that walk: the module's remaining findings, of every rule, are lost and the file
// is reported as a crash. Judging one node can fail on code nobody foresaw (astroid's inference
// runs out of stack on long generated expressions and assignment chains), so such an error
// costs only the judgement of that node: the walk goes on. The node's findings may be missing,
// so the module gets a fatal finding (F0001) on that line, as a file that could not be
// analysed does, and the rule module's `logger` records the error as a warning; a lint never
// loses a finding without saying so. Exceptions outside the Exception family
// (KeyboardInterrupt, SystemExit) still end the lint.
template <class F>
void add_visit(py::handle cls, const char* name, F f) {
  std::string module_name = py::str(cls.attr("__module__"));
  std::string method = name;
  auto skipped = [module_name, method](py::handle self, py::handle node, py::handle kind,
                                       py::handle error) {
    py::object root = node.attr("root")();
    py::object where = getattr_or_none(root, "file");
    if (where.is_none()) where = getattr_or_none(root, "name");
    py::object line = getattr_or_none(node, "fromlineno");
    // One finding per line of a rule module, however many of its rules or visits fail there.
    py::object unjudged = getattr_or_none(self, "_unjudged_lines");
    if (unjudged.is_none()) {
      unjudged = py::set();
      py::setattr(self, "_unjudged_lines", unjudged);
    }
    py::tuple place = py::make_tuple(where, line);
    bool reported = truthy(unjudged.attr("__contains__")(place));
    unjudged.attr("add")(place);
    import(module_name.c_str())
        .attr("logger")
        .attr("warning")("%s: %s skipped line %s of %s: %s: %s", self.attr("name"), method, line,
                         where, kind, error);
    if (reported) return;
    std::string what = "a rule could not judge line " + std::string(py::str(line)) + " (" +
                       std::string(py::str(self.attr("name"))) + "): " +
                       std::string(py::str(kind)) + ": " + std::string(py::str(error)) +
                       "; findings there may be missing";
    self.attr("add_message")("fatal", py::arg("line") = truthy(line) ? line : py::object(py::int_(1)),
                             py::arg("args") = what);
  };
  add_method(
      cls, name,
      [f, skipped](py::object self, py::object node) {
        try {
          f(self, node);
        } catch (py::error_already_set& e) {
          if (!e.matches(PyExc_Exception)) throw;
          skipped(self, node, e.type().attr("__name__"), e.value());
        } catch (py::builtin_exception& e) {
          skipped(self, node, py::str("error"), py::str(e.what()));
        }
      },
      py::arg("node"));
}

}  // namespace vettor
