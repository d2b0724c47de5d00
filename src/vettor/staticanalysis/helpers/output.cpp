// helpers: output and template helpers. The host application that presents the findings
// calls these; no module of the analyser does.
#include "helpers.hpp"

#include <string>

namespace vettor::helpers {

namespace {

// Where the advice pages live; a page's address is this base, "/advice/" and the code.
constexpr const char* kAdviceSite = "https://vettor.dev";

// The address of the advice page for a message code ("C2003" or 2003 alike).
py::str get_hyperlink(py::object message_id) {
  std::string code = py::str(import("builtins").attr("format")(message_id));
  return py::str(std::string(kAdviceSite) + "/advice/" + code);
}

// The `default` hook of a JSON encoder, so finding records that hold decimal numbers or
// sets can be written out. A frozen set is deliberately not converted.
py::object serializer(py::object obj) {
  py::object builtins = import("builtins");
  if (vettor::isinstance(obj, G("Decimal"))) return builtins.attr("int")(obj);
  if (vettor::isinstance(obj, builtins.attr("set"))) return builtins.attr("list")(obj);
  std::string type_name = py::str(py::type::of(obj).attr("__name__"));
  raise(PyExc_TypeError, "Object of type " + type_name + " is not JSON serializable");
}

// Template text with every run of whitespace made one space, so texts that differ only in
// layout compare equal. Nothing is stripped at either end.
py::object normalize_django_template(py::object template_content) {
  return G("re").attr("sub")("\\s+", " ", template_content);
}

}  // namespace

void register_output(py::module_& m) {
  m.def("get_hyperlink", &get_hyperlink, py::arg("message_id"));
  m.def("serializer", &serializer, py::arg("obj"));
  m.def("normalize_django_template", &normalize_django_template, py::arg("template_content"));
}

}  // namespace vettor::helpers
