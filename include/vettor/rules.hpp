// What every rule module declares the same way: its `Codes` class, its `msgs` table and a
// pylint checker class to hang visit methods on.
#pragma once

#include <vettor/pyutil.hpp>

#include <initializer_list>

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

}  // namespace vettor
