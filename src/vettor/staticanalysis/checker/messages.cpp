// The names of messages, as `disable` and `enable` name them: which messages a name stands
// for (include/vettor/message_names.hpp reads a name), whether a name stands for any, which
// codes a sequence of `disable` and `enable` entries leaves switched off, and the names as
// pylint takes them. The configuration
// check, the template findings' filter and the command line's switches all ask here.
#include "checker.hpp"

#include <vettor/message_names.hpp>

#include <string>
#include <vector>

namespace vettor::checker {

namespace {

// The codes of pylint's own that reach the findings: a module that could not be analysed.
constexpr const char* kUnanalysedCodes[] = {"E0001", "F0001"};

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

// Every message a name may stand for: the rules' (Python and template alike) and the linter's
// own, each with its symbol and the name of the checker that reports it.
std::vector<MessageInfo> message_catalogue() {
  std::vector<MessageInfo> messages;
  auto add = [&](py::handle msgs, const std::string& checker) {
    for (auto item : py::dict(import("builtins").attr("dict")(msgs))) {
      py::tuple definition = py::tuple(py::reinterpret_borrow<py::object>(item.second));
      std::string symbol = definition.size() > 1 ? text_of(definition[1]) : std::string();
      messages.push_back({text_of(item.first), symbol, checker});
    }
  };
  for (py::handle cls : G("python_checker_classes")) add(cls.attr("msgs"), text_of(cls.attr("name")));
  for (py::handle cls : G("html_checker_classes")) {
    py::object name = getattr_or_none(cls, "name");
    add(cls.attr("msgs"), name.is_none() ? std::string() : text_of(name));
  }
  add(G("Linter").attr("msgs"), "master");
  return messages;
}

MessageInfo info_of(const std::vector<MessageInfo>& catalogue, const std::string& code) {
  for (const MessageInfo& message : catalogue) {
    if (message.code == code) return message;
  }
  return {code, "", ""};
}

// The codes a finding can carry: the rules' and the linter's own for a module that could not
// be analysed.
py::list reported_codes() {
  py::list codes;
  for (auto item : py::dict(G("message_id_symbol_store"))) codes.append(item.first);
  for (const char* code : kUnanalysedCodes) {
    if (!codes.contains(code)) codes.append(code);
  }
  return codes;
}

bool is_message_name(py::handle name) {
  if (!py::isinstance<py::str>(name)) return false;
  MessageName read(text_of(name));
  if (read.is_wholesale()) return true;
  for (const MessageInfo& message : message_catalogue()) {
    if (read.selects(message)) return true;
  }
  return false;
}

// The codes among `codes` (none: every code a finding can carry), in their order, whose
// message the predicate holds for.
template <class Predicate>
py::list codes_where(py::object codes, Predicate&& holds) {
  if (codes.is_none()) codes = reported_codes();
  std::vector<MessageInfo> catalogue = message_catalogue();
  py::list found;
  for (py::handle code : codes) {
    if (holds(info_of(catalogue, text_of(code)))) found.append(code);
  }
  return found;
}

py::list codes_named(py::handle name, py::object codes) {
  MessageName read(text_of(name));
  return codes_where(codes, [&](const MessageInfo& message) { return read.selects(message); });
}

py::list disabled_codes(py::handle entries, py::object codes) {
  return codes_where(codes, [&](const MessageInfo& message) { return switched_off(entries, message); });
}

}  // namespace

py::list names_for_linter(py::handle value) {
  std::vector<MessageInfo> catalogue = message_catalogue();
  py::list names;
  for (py::handle name : listed_entries(value)) {
    if (!py::isinstance<py::str>(name)) {
      names.append(name);
      continue;
    }
    MessageName read(text_of(name));
    bool whole_code = false;
    for (const MessageInfo& message : catalogue) whole_code = whole_code || message.code == read.normal();
    if (read.kind() != MessageName::Kind::kCode || whole_code) {
      names.append(name);
      continue;
    }
    // pylint reads whole codes only: the start of codes stands for each code it begins.
    for (const MessageInfo& message : catalogue) {
      if (read.selects(message)) names.append(py::str(message.code));
    }
  }
  return names;
}

py::list listed_entries(py::handle value) {
  py::list entries;
  if (py::isinstance<py::str>(value)) {
    for (py::handle entry : value.attr("split")(",")) entries.append(entry.attr("strip")());
    return entries;
  }
  for (py::handle entry : value) {
    entries.append(py::isinstance<py::str>(entry) ? py::object(entry.attr("strip")())
                                                 : py::reinterpret_borrow<py::object>(entry));
  }
  return entries;
}

bool switched_off(py::handle entries, const MessageInfo& message) {
  bool off = false;
  for (py::handle entry : entries) {
    py::tuple pair = py::tuple(py::reinterpret_borrow<py::object>(entry));
    bool disabling = py::str("disable").equal(pair[0]);
    if (!disabling && !py::str("enable").equal(pair[0])) continue;
    for (py::handle name : listed_entries(pair[1])) {
      if (py::isinstance<py::str>(name) && MessageName(text_of(name)).selects(message)) off = disabling;
    }
  }
  return off;
}

MessageInfo message_info(py::handle code) { return info_of(message_catalogue(), text_of(code)); }

void register_message_names(py::module_& m) {
  m.def("is_message_name", &is_message_name,
        "Whether `name` (an entry of disable or enable) stands for any message: \"all\", a\n"
        "category letter, a message code (in either case), a symbol, or the name of a rule\n"
        "checker; vettor's messages and the linter's own count.",
        py::arg("name"));
  m.def("codes_named", &codes_named,
        "The codes among `codes` (default: every code a finding can carry) that `name`, an\n"
        "entry of disable or enable, stands for, in the order of `codes`.",
        py::arg("name"), py::arg("codes") = py::none());
  m.def("disabled_codes", &disabled_codes,
        "The codes among `codes` (default: every code a finding can carry) that `entries`\n"
        "leave switched off: (key, names) pairs applied in order, a later one winning, where\n"
        "the key \"disable\" switches off what its names stand for and \"enable\" switches it\n"
        "on (other keys are passed over); names are a list or one comma-separated text.",
        py::arg("entries"), py::arg("codes") = py::none());
}

}  // namespace vettor::checker
