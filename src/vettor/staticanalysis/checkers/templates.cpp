// Template rules: site-absolute paths written into HTML templates instead of being produced
// by the template language ({% url %}, {% static %}).
//
// The checker is no pylint checker: it is the standard library's HTML tokenizer, fed one
// template at a time, whose start-tag hook dispatches to a `visit_<tag>` method by name.
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;

bool text_is(py::handle value, const char* text) {
  return py::reinterpret_borrow<py::object>(value).equal(py::str(text));
}

// `name, value = entry`, with the interpreter's error for an entry of another length.
std::pair<py::object, py::object> unpack_pair(py::handle entry) {
  py::tuple items = py::tuple(py::reinterpret_borrow<py::object>(entry));
  if (items.size() != 2) {
    raise(PyExc_ValueError, items.size() > 2 ? "too many values to unpack (expected 2)"
                                             : "not enough values to unpack (expected 2)");
  }
  return {items[0], items[1]};
}

// The whole text of a template, or None when it is not UTF-8 (Django's template encoding).
// The file is closed on success and on failure alike.
py::object read_template(py::handle path) {
  py::object file = import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8");
  py::object source;
  try {
    source = file.attr("read")();
  } catch (py::error_already_set& e) {
    file.attr("close")();
    if (e.matches(PyExc_UnicodeDecodeError)) {
      G("logger").attr("warning")("Skipped template %s: it is not valid UTF-8 (%s)", path,
                                  e.value());
      return py::none();
    }
    throw;
  }
  file.attr("close")();
  return source;
}

void check(py::object self, py::iterable files) {
  py::list messages;
  self.attr("messages") = messages;
  for (py::handle path : files) {
    self.attr("current_file_path") = path;
    py::object source = read_template(path);
    if (source.is_none()) continue;
    py::ssize_t kept = py::len(messages);
    try {
      self.attr("feed")(source);
    } catch (py::error_already_set& e) {
      // On this interpreter a construct the tokenizer cannot make sense of (a marked section
      // such as `<![foo[`) ends in its unimplemented error() or an assertion. One broken
      // template must not end the whole lint: it is skipped, whatever it gave so far.
      if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_AssertionError)) throw;
      if (PyList_SetSlice(messages.ptr(), kept, py::len(messages), nullptr) < 0) {
        throw py::error_already_set();
      }
      py::tuple position = py::tuple(self.attr("getpos")());
      G("logger").attr("warning")(
          "Skipped template %s: it cannot be parsed as HTML near line %s, column %s", path,
          position[0], position[1]);
    }
    // Reset, never closed: a construct still open at the end of a file is dropped, and the
    // next file's positions start again at line 1.
    self.attr("reset")();
  }
}

void add_one_message(py::object self, py::object code, py::object args) {
  py::tuple position = py::tuple(self.attr("getpos")());
  py::object definition = self.attr("msgs")[code];
  py::object text = definition[py::int_(0)];
  PyObject* message = PyNumber_Remainder(text.ptr(), args.ptr());
  if (!message) throw py::error_already_set();
  py::dict record;
  record["path"] = self.attr("current_file_path");
  record["line"] = position[0];
  record["message"] = py::reinterpret_steal<py::object>(message);
  record["type"] = py::none();
  record["column"] = position[1];
  record["module"] = py::none();
  record["symbol"] = py::none();
  record["hint"] = py::none();
  record["message-id"] = code;
  self.attr("messages").attr("append")(record);
}

py::object make_base_template_checker(py::module_& m) {
  py::object cls = make_class(m, "BaseTemplateChecker", bases_of(G("HTMLParser")));
  add_method(cls, "check", &check, py::arg("files"));

  // Each method's default mapping is made once and shared by every call, so every finding
  // without arguments holds the very same empty mapping. Nothing changes it.
  py::dict add_message_default;
  add_method(
      cls, "add_message",
      [](py::object self, py::object code, py::object args) {
        self.attr("add_one_message")(code, py::arg("args") = args);
      },
      py::arg("code"), py::arg("args") = add_message_default);

  py::dict add_one_message_default;
  add_method(cls, "add_one_message", &add_one_message, py::arg("code"),
             py::arg("args") = add_one_message_default);

  add_method(
      cls, "handle_starttag",
      [](py::object self, py::object tag, py::object attrs) {
        std::string name = "visit_" + std::string(py::str(tag));
        py::object visiter = py::getattr(self, name.c_str(), py::none());
        if (truthy(visiter)) visiter(attrs);
      },
      py::arg("tag"), py::arg("attrs"));
  return cls;
}

// One finding per attribute `attribute` of the tag whose value is a hard-coded path.
void check_attribute(py::handle self, py::handle attrs, const char* attribute,
                     const char* code_name, bool with_path) {
  for (py::handle entry : attrs) {
    auto [name, value] = unpack_pair(entry);
    if (!text_is(name, attribute) || !truthy(G("is_hardcoded_path")(value))) continue;
    py::object code = G("Codes").attr(code_name);
    if (with_path) {
      py::dict args;
      args["path"] = value;
      self.attr("add_message")(code, py::arg("args") = args);
    } else {
      self.attr("add_message")(code);
    }
  }
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::dict ns;
  ns["msgs"] = make_msgs(
      helpers, {{"C7000", "hard-coded-url", "Check if hard-coded url is used in template"},
                {"C7001", "hard-coded-static-url",
                 "Check if hard-coded static url is used in template"}});
  py::object cls = make_class(m, "Checker", bases_of(m.attr("BaseTemplateChecker")), ns);

  add_method(
      cls, "visit_a",
      [](py::object self, py::object attrs) {
        check_attribute(self, attrs, "href", "C7000", false);
      },
      py::arg("attrs"));
  add_method(
      cls, "visit_link",
      [](py::object self, py::object attrs) {
        check_attribute(self, attrs, "href", "C7001", true);
      },
      py::arg("attrs"));
  add_method(
      cls, "visit_element_with_src",
      [](py::object self, py::object attrs) {
        check_attribute(self, attrs, "src", "C7001", true);
      },
      py::arg("attrs"));
  for (const char* alias : {"visit_audio", "visit_embed", "visit_img", "visit_input",
                            "visit_script", "visit_source", "visit_track", "visit_video"}) {
    add_alias(cls, alias, "visit_element_with_src");
  }
  return cls;
}

// A site-absolute path: "/" followed by at least one character that is not another "/"
// (protocol-relative addresses begin with two). Falsy values answer themselves.
py::object is_hardcoded_path(py::object value) {
  if (!truthy(value)) return value;
  if (text_is(value, "/")) return py::bool_(false);
  if (!truthy(value.attr("startswith")("/"))) return py::bool_(false);
  return py::bool_(!truthy(value.attr("startswith")("//")));
}

}  // namespace

PYBIND11_MODULE(templates, m) {
  G.bind(m);
  m.attr("HTMLParser") = lookup("html.parser", "HTMLParser");
  m.attr("logging") = import("logging");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C7000", "C7001"});
  m.attr("BaseTemplateChecker") = make_base_template_checker(m);
  m.attr("Checker") = make_checker(m, helpers);
  m.def("is_hardcoded_path", &is_hardcoded_path, py::arg("value"));
}
