// Turns the findings of a lint into the records a host shows a person: what was found (code,
// symbol, place), what it means in words, and the lines of code it points at.
//
// A finding of the package's own rules carries its argument record in place of a message text;
// its words come from the English text that `message_templates` holds for its code, filled with
// that record. Findings of pylint itself already carry pylint's text, which is kept.
#include <vettor/pyutil.hpp>

#include <string>

namespace vettor::render {

namespace {

ModuleRef R;

// An argument record read by str.format_map: a field the record does not hold shows as it is
// written in the text ("{name}") instead of failing the whole rendering.
py::object make_partial_record(py::module_& m) {
  py::object cls = make_class(m, "PartialRecord", bases_of(import("builtins").attr("dict")));
  add_method(
      cls, "__missing__",
      [](py::object, py::object key) {
        return py::str("{" + std::string(py::str(key)) + "}");
      },
      py::arg("key"));
  return cls;
}

py::object message_text(py::handle code, py::handle message) {
  py::object templates = R("message_templates");
  py::object text = py::isinstance<py::str>(code) ? py::getattr(templates, code, py::none())
                                                  : py::none();
  if (!py::isinstance<py::str>(text) ||
      !vettor::isinstance(message, lookup("collections.abc", "Mapping"))) {
    return py::reinterpret_borrow<py::object>(message);
  }
  py::object record = R("PartialRecord")(message);
  py::tuple unusable = py::make_tuple(
      py::handle(PyExc_ValueError), py::handle(PyExc_IndexError), py::handle(PyExc_KeyError),
      py::handle(PyExc_AttributeError), py::handle(PyExc_TypeError));
  // A text whose fields do not fit the record (a format the value does not take, a positional
  // field) is shown unfilled rather than losing the finding.
  return on_error(
      unusable, [&] { return text.attr("format_map")(record); }, [&] { return text; });
}

// The line the finding points at, as the code reader gives the file; none when the finding
// names no line of it (a line 0 finding on the module, a path the reader does not know).
py::list pointed_lines(py::dict& sources, py::handle code_reader, py::handle path,
                       py::handle line) {
  py::list lines;
  if (!py::isinstance<py::int_>(line)) return lines;
  if (!sources.contains(path)) {
    py::object source = code_reader(path);
    sources[path] = py::isinstance<py::str>(source) ? source.attr("splitlines")() : py::list();
  }
  py::list all = sources[path];
  long number = line.cast<long>();
  if (number >= 1 && number <= static_cast<long>(py::len(all))) lines.append(all[number - 1]);
  return lines;
}

py::object get_or_none(py::handle record, const char* key) {
  return record.attr("get")(key);
}

py::list render_message_centric_advice(py::object messages, py::object settings,
                                       py::object settings_modpath, py::object code_style,
                                       py::object code_reader) {
  (void)settings;
  (void)settings_modpath;
  (void)code_style;
  py::dict sources;  // path -> its lines, read once per path
  py::list advice;
  for (py::handle finding : messages) {
    py::object code = get_or_none(finding, "message-id");
    py::object path = get_or_none(finding, "path");
    py::object line = get_or_none(finding, "line");
    py::dict record;
    record["message-id"] = code;
    record["symbol"] = get_or_none(finding, "symbol");
    record["type"] = get_or_none(finding, "type");
    record["path"] = path;
    record["line"] = line;
    record["column"] = get_or_none(finding, "column");
    record["message"] = message_text(code, get_or_none(finding, "message"));
    record["source_lines"] = pointed_lines(sources, code_reader, path, line);
    advice.append(record);
  }
  return advice;
}

}  // namespace

}  // namespace vettor::render

PYBIND11_MODULE(render, m) {
  using namespace vettor;
  using namespace vettor::render;
  R.bind(m);
  m.attr("message_templates") = import_sibling(m, "message_templates");
  m.attr("PartialRecord") = make_partial_record(m);
  m.def("render_message_centric_advice", &render_message_centric_advice, py::arg("messages"),
        py::arg("settings"), py::arg("settings_modpath"), py::arg("code_style"),
        py::arg("code_reader"));
}
