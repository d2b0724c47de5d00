// Template rules: site-absolute paths written into HTML templates instead of being produced
// by the template language ({% url %}, {% static %}).
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
ModuleRef G;

// Reads each file and feeds it to the tokenizer; findings collect in `messages`.
py::object make_base_template_checker(py::module_& m) {
  py::object cls = make_class(m, "BaseTemplateChecker", bases_of(G("HTMLParser")));
  add_method(
      cls, "check",
      [](py::object self, py::iterable files) {
        self.attr("messages") = py::list();
        py::object open = import("builtins").attr("open");
        for (py::handle path : files) {
          self.attr("current_file_path") = path;
          py::object text;
          try {
            py::object f = open(path, "r", py::arg("encoding") = "utf-8");
            try {
              text = f.attr("read")();
            } catch (...) {
              f.attr("close")();
              throw;
            }
            f.attr("close")();
          } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_UnicodeDecodeError)) throw;
            continue;
          }
          self.attr("reset")();
          self.attr("feed")(text);
          self.attr("close")();
        }
      },
      py::arg("files"));
  return cls;
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::dict ns;
  ns["msgs"] = make_msgs(
      helpers, {{"C7000", "hard-coded-url", "Check if hard-coded url is used in template"},
                {"C7001", "hard-coded-static-url",
                 "Check if hard-coded static url is used in template"}});
  return make_class(m, "Checker", bases_of(m.attr("BaseTemplateChecker")), ns);
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
}
