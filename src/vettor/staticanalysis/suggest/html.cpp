// suggest: suggestions for templates. A finding line is rewritten by the template fixes, and a
// static-path fix also asks for the "{% load static %}" tag near the top of the template.
#include <map>
#include <string>
#include <utility>

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

// Each template fix reads the setting it needs (the static URL, the project's routes) and
// leaves the line as it is without it.
py::object get_suggestion_for_html(py::object code, py::object message_ids, py::object settings) {
  py::object visitor = G("templates").attr("build_transformer_visitor")(
      py::arg("message_ids") = message_ids, py::arg("settings") = settings);
  return strip(visitor.attr("visit")(code));
}

// How far below the line that takes the load tag a fixed line may be for the two to come as
// one block; a line farther down brings its own load tag, so that no block repeats a long run
// of lines it does not change.
constexpr long kLoadBlockLines = 10;

bool static_loaded(py::handle text) {
  return G("get_staticfile_template_tag_insertion_point")(text).is_none();
}

// What the suggestions of a template need to know of the whole template, worked out once per
// template (template_facts): the number of its first lines from which on the static library
// is loaded (one more than its lines when it never is), and the number of lines up to the one
// that closes its extends tag (0 without one). The lines above a line are loaded when there are
// at least `loaded_from` of them: a load tag stays in every longer run of first lines.
py::tuple template_facts(py::object code_lines) {
  long total = static_cast<long>(py::len(code_lines));
  auto loaded_within = [&](long count) {
    return static_loaded(py::str("\n").attr("join")(code_lines[py::slice(0, count, 1)]));
  };
  long low = 1, high = total + 1;  // the answer lies in [low, high]
  while (low < high) {
    long middle = low + (high - low) / 2;
    if (loaded_within(middle)) {
      high = middle;
    } else {
      low = middle + 1;
    }
  }
  py::object whole = G("normalize_django_template")(py::str("\n").attr("join")(code_lines));
  bool extends = !G("re").attr("search")(kExtendsTag, whole).is_none();
  return py::make_tuple(low, load_tag_index(code_lines, py::int_(extends ? 1 : 0)));
}

// The template lines as the fixes of the finding line's codes leave them, each line fixed once:
// the text of a line without its line break, or, when the fixes change it, the fixed line with
// the line's own indentation.
class FixedLines {
 public:
  FixedLines(py::handle code_lines, py::handle message_ids, py::handle settings)
      : code_lines_(code_lines), message_ids_(message_ids), settings_(settings) {}

  py::str text(long number) { return fixed(number).first; }
  bool changed(long number) { return fixed(number).second; }

 private:
  const std::pair<py::str, bool>& fixed(long number) {
    auto found = done_.find(number);
    if (found != done_.end()) return found->second;
    py::tuple read = G("read_code_line")(py::arg("code_lines") = code_lines_,
                                         py::arg("line_number") = number);
    py::object fixed = G("get_suggestion_for_html")(
        py::arg("code") = read[0], py::arg("message_ids") = message_ids_, py::arg("settings") = settings_);
    bool differs = !strip(fixed).equal(strip(read[0]));
    py::str text = differs ? py::str(read[1].attr("__add__")(fixed))
                           : py::str(py::str(code_lines_[py::int_(number - 1)]).attr("rstrip")("\r\n"));
    return done_.emplace(number, std::make_pair(text, differs)).first->second;
  }

  py::handle code_lines_, message_ids_, settings_;
  std::map<long, std::pair<py::str, bool>> done_;
};

// The disable pragma of a template line: "{# vettor: disable=... #}" at the end of the finding's
// line, naming the symbols of the line's codes (the template checker reads it for the line it
// stands on, and Django drops the comment when it renders, wherever on the line it is). A line
// that carries a pragma already gets the symbols added to its last one. A line that ends in
// a "{#" that it does not close cannot take one: Django would read the pragma as the end of
// that text, and the output would lose it.
py::list template_pragma_suggestion(py::object code_lines, py::object line,
                                    py::object message_ids) {
  py::list suggestions;
  long number = line.cast<long>();
  if (number > static_cast<long>(py::len(code_lines))) return suggestions;
  py::list symbols = pragma_symbols(
      message_ids, import_sibling(G.handle(), "checker").attr("message_id_symbol_store"));
  // The pragma request alone names no finding to silence: no pragma, rather than an empty one.
  if (symbols.empty()) return suggestions;
  std::string text = py::str(code_lines[py::int_(number - 1)]);
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  size_t opened = text.rfind("{#");
  size_t closed = text.rfind("#}");
  if (opened != std::string::npos && (closed == std::string::npos || closed < opened)) {
    return suggestions;
  }
  py::str names = py::str(", ").attr("join")(symbols);
  py::object last = py::none();
  for (py::handle match : G("templates").attr("_DISABLE_PRAGMA").attr("finditer")(py::str(text))) {
    last = py::reinterpret_borrow<py::object>(match);
  }
  if (last.is_none()) {
    std::string body = text;
    while (!body.empty() && (body.back() == ' ' || body.back() == '\t')) body.pop_back();
    body += (body.empty() ? "" : " ") + std::string("{# vettor: disable=") +
            std::string(names) + " #}";
    suggestions.append(py::make_tuple(line, line, py::str(body)));
    return suggestions;
  }
  py::list given;
  for (py::handle name : last.attr("group")(1).attr("split")(",")) given.append(strip(name));
  for (py::handle symbol : symbols) {
    if (!given.contains(symbol)) given.append(symbol);
  }
  py::str whole(text);
  py::object from = last.attr("start")(1);
  py::object to = last.attr("end")(1);
  py::str merged = py::str(whole[py::slice(py::int_(0), from, py::none())]) +
                   py::str(", ").attr("join")(given) +
                   py::str(whole[py::slice(to, py::none(), py::none())]);
  suggestions.append(py::make_tuple(line, line, merged));
  return suggestions;
}

// A fixed line that uses {% static %} in a template that has not loaded the library above
// it carries the load tag in its own block, so that every block is a valid template applied
// alone. The tag goes after the extends tag (which Django wants first) or on the first line:
// one block from there down to the fixed lines near it; a line farther down gets the tag on a
// line of its own just above it. A line before the end of the extends tag cannot use a tag at
// all and gets no suggestion.
py::list get_suggestions_for_html(py::object code_lines, py::object line, py::object message_ids,
                                  py::object settings, py::object facts) {
  py::list suggestions;
  // A line above the first one is no line of the template (an index below 0 would read one
  // from its end).
  if (truthy(line.attr("__lt__")(1))) return suggestions;
  // A finding that asks for its line to be silenced gets the pragma, not a fix.
  if (truthy(message_ids.attr("__contains__")(G("constants").attr("SKIP_LINE_ID")))) {
    return template_pragma_suggestion(code_lines, line, message_ids);
  }
  long finding_line = line.cast<long>();
  FixedLines fixed(code_lines, message_ids, settings);
  if (!fixed.changed(finding_line)) return suggestions;
  py::str fixed_line = fixed.text(finding_line);
  if (!truthy(message_ids.attr("__contains__")("C7001")) ||
      !truthy(fixed_line.attr("__contains__")("{% static"))) {
    suggestions.append(py::make_tuple(line, line, fixed_line));
    return suggestions;
  }
  if (facts.is_none()) facts = G("template_facts")(code_lines);
  long loaded_from = facts[py::int_(0)].cast<long>();
  if (finding_line - 1 >= loaded_from) {
    suggestions.append(py::make_tuple(line, line, fixed_line));
    return suggestions;
  }
  // The number of lines up to the one that closes the extends tag (0 without one): the load
  // tag goes in front of the next line.
  long extends_end = facts[py::int_(1)].cast<long>();
  long total = static_cast<long>(py::len(code_lines));
  py::object indentation = G("read_code_line")(py::arg("code_lines") = code_lines,
                                               py::arg("line_number") = line)[py::int_(1)];
  std::string load = kLoadStatic;

  if (finding_line < extends_end) return suggestions;
  if (finding_line == extends_end) {
    // The extends tag closes on the finding line: the load tag goes right after it, when the
    // fixed path comes after it on the line.
    std::string text = py::str(fixed_line);
    size_t tag = text.find("{% extends");
    size_t close = text.find("%}", tag == std::string::npos ? 0 : tag);
    size_t use = text.find("{% static");
    if (close == std::string::npos || use < close) return suggestions;
    text.insert(close + 2, load);
    suggestions.append(py::make_tuple(line, line, py::str(text)));
    return suggestions;
  }

  long load_line = extends_end + 1;
  if (finding_line - load_line >= kLoadBlockLines) {
    suggestions.append(py::make_tuple(
        line, line, indentation.attr("__add__")(py::str(load + "\n")).attr("__add__")(fixed_line)));
    return suggestions;
  }
  // Every finding near the load line asks for the same block: from the load line to the last
  // line near it that the fixes change, all of them fixed (up to a load tag the template has
  // further down: the lines after it are another block's).
  long last = finding_line;
  for (long number = finding_line + 1; number <= total && number - load_line < kLoadBlockLines; ++number) {
    if (number >= loaded_from) break;
    if (fixed.changed(number)) last = number;
  }
  std::string text = load;
  for (long number = load_line; number <= last; ++number) {
    text += "\n" + fixed.text(number).cast<std::string>();
  }
  suggestions.append(py::make_tuple(py::int_(load_line), py::int_(last), py::str(text)));
  return suggestions;
}

}  // namespace

void register_html(py::module_& m) {
  m.def("template_facts", &template_facts, py::arg("code_lines"));
  m.def("get_suggestions_for_html", &get_suggestions_for_html, py::arg("code_lines"),
        py::arg("line"), py::arg("message_ids"), py::arg("settings"),
        py::arg("facts") = py::none());
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
