// suggest: suggestions for templates. A finding line is rewritten by the template fixes, and a
// static-path fix also asks for the "{% load static %}" tag near the top of the template.
#include <string>

#include "suggest.hpp"

namespace vettor::suggest {

namespace {

constexpr const char* kLoadStatic = "{% load static %}";
// An extends tag as Django's template lexer reads one: the tag's content is stripped before its
// first word is read, so "{%extends" is the tag as much as "{% extends".
constexpr const char* kExtendsTag = R"(\{%\s*extends\b)";

py::str strip(py::handle text) { return text.attr("strip")(); }
py::str lstrip(py::handle text) { return text.attr("lstrip")(); }
bool contains(py::handle text, const char* part) {
  return truthy(text.attr("__contains__")(py::str(part)));
}

py::object get_indentation(py::object code) {
  py::ssize_t indent = py::len(code) - py::len(lstrip(code));
  return code[py::slice(py::int_(0), py::int_(indent), py::none())];
}

py::tuple read_code_line(py::object code_lines, py::object line_number) {
  py::object maybe_indented_line = code_lines[line_number.attr("__sub__")(1)];
  py::ssize_t indent = py::len(maybe_indented_line) - py::len(lstrip(maybe_indented_line));
  py::object code = maybe_indented_line[py::slice(py::int_(indent), py::none(), py::none())];
  return py::make_tuple(code, G("get_indentation")(maybe_indented_line));
}

py::object normalize_django_template(py::object template_content) {
  return G("re").attr("sub")("\\s+", " ", template_content);
}

py::object get_staticfile_template_tag_insertion_point(py::object content) {
  content = G("normalize_django_template")(content);
  for (const char* loaded :
       {"{% load static %}", "{% load static from staticfiles %}", "{% load staticfiles %}"}) {
    if (contains(content, loaded)) return py::none();
  }
  if (!G("re").attr("search")(kExtendsTag, content).is_none()) return py::int_(1);
  return py::int_(0);
}

// Django wants "{% extends %}" as the template's first tag, so the load tag goes on the line
// after the one that closes the extends tag, wherever that tag stands; on the first line
// otherwise. The result may be the number of lines: the extends tag closes on the last line.
py::ssize_t load_tag_index(py::handle code_lines, py::handle insertion_point) {
  if (insertion_point.cast<long>() == 0) return 0;
  py::object normalize = G("normalize_django_template");
  std::string seen;
  bool in_extends = false;
  py::ssize_t index = 0;
  for (py::handle line : code_lines) {
    seen += py::str(line).cast<std::string>();
    if (!in_extends) {
      py::str normalized = normalize(py::str(seen));
      py::object found = G("re").attr("search")(kExtendsTag, normalized);
      if (!found.is_none()) {
        in_extends = true;
        seen = py::str(normalized[py::slice(found.attr("start")(), py::none(), py::none())]);
      }
    }
    if (in_extends && seen.find("%}") != std::string::npos) return index + 1;
    ++index;
  }
  return index;
}

py::tuple get_staticfile_template_tag_insertion_point_and_current(py::object code_lines) {
  py::object insertion_point = G("get_staticfile_template_tag_insertion_point")(
      py::str("\n").attr("join")(code_lines));
  if (insertion_point.is_none()) return py::make_tuple(py::none(), py::none());
  py::ssize_t index = load_tag_index(code_lines, insertion_point);
  if (index >= static_cast<py::ssize_t>(py::len(code_lines))) {
    // Past the last line: there is no line to put the tag in front of.
    return py::make_tuple(py::int_(index), py::none());
  }
  return py::make_tuple(py::int_(index), strip(code_lines[py::int_(index)]));
}

py::object get_suggestion_for_html(py::object code, py::object message_ids, py::object settings) {
  if (truthy(settings[py::str("STATIC_URL")])) {
    py::object visitor = G("templates").attr("build_transformer_visitor")(
        py::arg("message_ids") = message_ids, py::arg("settings") = settings);
    code = visitor.attr("visit")(code);
  }
  return strip(code);
}

py::list get_suggestions_for_html(py::object code_lines, py::object line, py::object message_ids,
                                  py::object settings) {
  py::list suggestions;
  // A line above the first one is no line of the template (an index below 0 would read one
  // from its end).
  if (line.cast<long>() < 1) return suggestions;
  py::tuple read = G("read_code_line")(py::arg("code_lines") = code_lines,
                                       py::arg("line_number") = line);
  py::object code_line = read[0];
  py::object indentation = read[1];
  py::object suggestion = G("get_suggestion_for_html")(
      py::arg("code") = code_line, py::arg("message_ids") = message_ids,
      py::arg("settings") = settings);
  if (strip(suggestion).equal(strip(code_line))) return suggestions;
  py::str fixed_line = indentation.attr("__add__")(suggestion);
  if (!truthy(message_ids.attr("__contains__")("C7001"))) {
    suggestions.append(py::make_tuple(line, line, fixed_line));
    return suggestions;
  }

  py::tuple insertion = G("get_staticfile_template_tag_insertion_point_and_current")(code_lines);
  py::object insertion_point = insertion[0];
  if (insertion_point.is_none()) {
    suggestions.append(py::make_tuple(line, line, fixed_line));
    return suggestions;
  }
  long index = insertion_point.cast<long>();
  long total = static_cast<long>(py::len(code_lines));
  long finding_line = line.cast<long>();
  std::string load = kLoadStatic;

  // The load tag and the fixed line as one change when they fall on the same line, so that
  // neither suggestion undoes the other.
  if (index < total && index + 1 == finding_line) {
    suggestions.append(py::make_tuple(line, line, py::str(load + "\n").attr("__add__")(fixed_line)));
    return suggestions;
  }
  if (index >= total && total == finding_line) {
    suggestions.append(py::make_tuple(line, line, fixed_line.attr("__add__")("\n" + load)));
    return suggestions;
  }
  suggestions.append(py::make_tuple(line, line, fixed_line));

  py::object text;
  py::int_ at;
  if (index < total) {
    // The insertion line as the fix leaves it: every finding of the template then asks for
    // the same change of that line, whichever of them is posted.
    py::object current = G("get_suggestion_for_html")(
        py::arg("code") = insertion[1], py::arg("message_ids") = message_ids,
        py::arg("settings") = settings);
    at = py::int_(index + 1);
    text = py::str(load + "\n").attr("__add__")(current);
  } else {
    py::object last = strip(code_lines[py::int_(total - 1)]);
    py::object current = G("get_suggestion_for_html")(
        py::arg("code") = last, py::arg("message_ids") = message_ids,
        py::arg("settings") = settings);
    at = py::int_(total);
    text = current.attr("__add__")("\n" + load);
  }
  suggestions.append(py::make_tuple(at, at, text));
  return suggestions;
}

}  // namespace

void register_html(py::module_& m) {
  m.def("get_suggestions_for_html", &get_suggestions_for_html, py::arg("code_lines"),
        py::arg("line"), py::arg("message_ids"), py::arg("settings"));
  m.def("get_suggestion_for_html", &get_suggestion_for_html, py::arg("code"),
        py::arg("message_ids"), py::arg("settings"));
  m.def("read_code_line", &read_code_line, py::arg("code_lines"), py::arg("line_number"));
  m.def("get_indentation", &get_indentation, py::arg("code"));
  m.def("normalize_django_template", &normalize_django_template, py::arg("template_content"));
  m.def("get_staticfile_template_tag_insertion_point",
        &get_staticfile_template_tag_insertion_point, py::arg("content"));
  m.def("get_staticfile_template_tag_insertion_point_and_current",
        &get_staticfile_template_tag_insertion_point_and_current, py::arg("code_lines"));
}

}  // namespace vettor::suggest
