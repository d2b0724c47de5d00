// Template rules: site-absolute paths written into HTML templates instead of being produced
// by the template language ({% url %}, {% static %}).
//
// The checker is no pylint checker: it is the standard library's HTML tokenizer, fed one
// template at a time, whose start-tag hook dispatches to a `visit_<tag>` method by name.
//
// The fix of a hard-coded static path rewrites the attribute into the {% static %} tag. The
// same tokenizer finds the values, and the text is edited only where it read them: the same
// characters standing elsewhere (another attribute, an `a` link, the page's own text, the
// start of a longer value) are left as written.
#include <vettor/project_files.hpp>
#include <vettor/rules.hpp>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

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

// `visit_<tag>` of `self` called with the tag's attributes; tags without one are ignored.
void dispatch_starttag(py::object self, py::object tag, py::object attrs) {
  std::string name = "visit_" + std::string(py::str(tag));
  py::object visiter = py::getattr(self, name.c_str(), py::none());
  if (truthy(visiter)) visiter(attrs);
}

// Link types that name a page, not a file the page loads: such a `link` is a route, and the
// {% static %} tag would point it at a file that is not there.
constexpr const char* kRoutesOnlyLinkTypes[] = {
    "alternate", "author",   "canonical", "dns-prefetch", "help", "license",
    "me",        "next",     "pingback",  "preconnect",   "prev", "search"};

// Whether a `link` tag loads what its href names (a style sheet, an icon, a preload): any rel
// but only those link types, or none given.
bool link_loads_resource(py::handle attrs) {
  bool has_rel = false;
  for (py::handle entry : attrs) {
    auto [name, value] = unpack_pair(entry);
    if (!text_is(name, "rel")) continue;
    has_rel = true;
    if (!PyUnicode_Check(value.ptr())) return true;
    py::list types = value.attr("lower")().attr("split")();
    if (py::len(types) == 0) return true;
    for (py::handle type : types) {
      bool route_only = false;
      for (const char* known : kRoutesOnlyLinkTypes) route_only = route_only || text_is(type, known);
      if (!route_only) return true;
    }
  }
  return !has_rel;
}

// ---------------------------------------------------------------------------------------
// Template comments

// The template with what Django never renders blanked out: `{# ... #}` comments and
// `{% comment %} ... {% endcomment %}` blocks become spaces, line breaks kept, so every
// position outside them stays where it was. The tags are found as Django's lexer finds them
// (a tag never spans lines), and inside `{% verbatim %}` nothing is a comment.
py::object without_template_comments(py::object text) {
  if (!py::isinstance<py::str>(text)) return text;
  py::object tags = G("_TEMPLATE_TAG");
  std::vector<std::pair<py::ssize_t, py::ssize_t>> blanks;
  std::string verbatim_end;  // the block content that ends a verbatim block, when in one
  py::ssize_t comment_start = -1;
  for (py::handle match : tags.attr("finditer")(text)) {
    std::string token = py::str(match.attr("group")(0));
    py::ssize_t start = match.attr("start")().cast<py::ssize_t>();
    py::ssize_t end = match.attr("end")().cast<py::ssize_t>();
    std::string kind = token.substr(0, 2);
    std::string content = py::str(py::str(token.substr(2, token.size() - 4)).attr("strip")());
    if (!verbatim_end.empty()) {
      if (kind == "{%" && content == verbatim_end) verbatim_end.clear();
      continue;
    }
    if (kind == "{%") {
      std::string first = content.substr(0, content.find_first_of(" \t\n\r\f\v"));
      if (comment_start >= 0 && content == "endcomment") {
        blanks.emplace_back(comment_start, end);
        comment_start = -1;
      } else if (first == "verbatim") {
        verbatim_end = "end" + content;
      } else if (comment_start < 0 && first == "comment") {
        comment_start = start;
      }
    } else if (kind == "{#" && comment_start < 0) {
      blanks.emplace_back(start, end);
    }
  }
  // An unclosed comment block makes the template fail to load: none of it is rendered.
  if (comment_start >= 0) blanks.emplace_back(comment_start, py::len(text));
  if (blanks.empty()) return text;
  py::object blank_out = G("_NOT_LINE_BREAK");
  py::list pieces;
  py::ssize_t done = 0;
  for (auto [start, end] : blanks) {
    pieces.append(text[py::slice(done, start, 1)]);
    pieces.append(blank_out.attr("sub")(" ", text[py::slice(start, end, 1)]));
    done = end;
  }
  pieces.append(text[py::slice(done, py::len(text), 1)]);
  return py::str("").attr("join")(pieces);
}

// ---------------------------------------------------------------------------------------
// Fix of C7001

// Where each attribute value of the start tag being handled is written, as (start, end)
// within the tag's text, quotes included. The tokenizer's own patterns are run again over the
// text it kept of the tag, so the n-th span belongs to the n-th attribute it reported.
py::list attribute_value_spans(py::object self) {
  py::list spans;
  py::object text = self.attr("get_starttag_text")();
  if (!py::isinstance<py::str>(text)) return spans;
  py::object match = lookup("html.parser", "tagfind_tolerant").attr("match")(text, 1);
  if (match.is_none()) return spans;
  py::object attrfind = lookup("html.parser", "attrfind_tolerant");
  py::ssize_t end = py::len(text);
  py::ssize_t k = match.attr("end")().cast<py::ssize_t>();
  while (k < end) {
    match = attrfind.attr("match")(text, k);
    if (match.is_none()) break;
    spans.append(match.attr("span")(3));
    k = match.attr("end")().cast<py::ssize_t>();
  }
  return spans;
}

// Collect `value` with where it is written: (line, offset) of the tag's "<", as the tokenizer
// reports it, and the value's span within the tag; None when that is not known.
void collect(py::handle self, py::object value, py::list& spans, size_t index, bool& measured) {
  if (!measured) {
    spans = attribute_value_spans(py::reinterpret_borrow<py::object>(self));
    measured = true;
  }
  self.attr("results").attr("append")(value);
  py::object locations = py::getattr(self, "locations", py::none());
  if (locations.is_none()) return;
  if (index >= py::len(spans) || spans[index][py::int_(0)].cast<py::ssize_t>() < 0) {
    locations.attr("append")(py::none());
    return;
  }
  py::tuple position = py::tuple(self.attr("getpos")());
  py::tuple span = py::tuple(spans[index]);
  locations.attr("append")(py::make_tuple(position[0], position[1], span[0], span[1]));
}

py::object make_base_html_mutator(py::module_& m) {
  py::object cls = make_class(m, "BaseHTMLMutator", bases_of(G("HTMLParser")));
  py::handle h = cls;
  add_init(cls, [h](py::object self, py::args args, py::kwargs kwargs) {
    self.attr("results") = py::list();
    // Parallel to `results`: where each value stands in the text fed, for the fix.
    self.attr("locations") = py::list();
    super(h, self).attr("__init__")(*args, **kwargs);
  });
  add_method(cls, "handle_starttag", &dispatch_starttag, py::arg("tag"), py::arg("attrs"));
  return cls;
}

py::object make_static_url_mutator(py::module_& m) {
  py::object cls = make_class(m, "HardCodedStaticUrlToStaticTagHTMLMutator",
                              bases_of(m.attr("BaseHTMLMutator")));
  // Every `src` value, whatever it holds: which one is rewritten is the fix's decision.
  add_method(
      cls, "visit_element_with_src",
      [](py::object self, py::object attrs) {
        py::list spans;
        bool measured = false;
        size_t index = 0;
        for (py::handle entry : attrs) {
          auto [name, value] = unpack_pair(entry);
          if (text_is(name, "src")) collect(self, value, spans, index, measured);
          ++index;
        }
      },
      py::arg("attrs"));
  add_method(
      cls, "visit_link",
      [](py::object self, py::object attrs) {
        if (!link_loads_resource(attrs)) return;
        py::list spans;
        bool measured = false;
        size_t index = 0;
        for (py::handle entry : attrs) {
          auto [name, value] = unpack_pair(entry);
          if (text_is(name, "href") && truthy(value) && truthy(value.attr("startswith")("/"))) {
            collect(self, value, spans, index, measured);
          }
          ++index;
        }
      },
      py::arg("attrs"));
  for (const char* alias : {"visit_audio", "visit_embed", "visit_img", "visit_input",
                            "visit_script", "visit_source", "visit_track", "visit_video"}) {
    add_alias(cls, alias, "visit_element_with_src");
  }
  return cls;
}

py::object make_visitor(py::module_& m) {
  py::object cls = make_class(m, "Visitor", py::make_tuple());
  add_init(
      cls,
      [](py::object self, py::object settings) {
        self.attr("mutators") = py::list();
        self.attr("settings") = settings;
      },
      py::arg("settings"));
  add_method(
      cls, "visit",
      [](py::object self, py::object html) {
        for (py::handle mutator : self.attr("mutators")) {
          html = py::reinterpret_borrow<py::object>(mutator)(py::arg("html") = html,
                                                             py::arg("visitor") = self);
        }
        return html;
      },
      py::arg("html"));
  return cls;
}

std::optional<std::string> utf8(py::handle text) {
  if (!py::isinstance<py::str>(text)) return std::nullopt;
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (!data) {  // lone surrogates
    PyErr_Clear();
    return std::nullopt;
  }
  return std::string(data, static_cast<size_t>(size));
}

// Text that cannot stand, as it is, inside the tag's quoted argument or inside the attribute
// quoted around the tag: quotes, escapes, line breaks, and template syntax of its own.
bool fits_in_static_tag(const std::string& text) {
  if (text.find_first_of("'\"\\\r\n") != std::string::npos) return false;
  for (const char* syntax : {"{%", "%}", "{{", "}}", "{#", "#}"}) {
    if (text.find(syntax) != std::string::npos) return false;
  }
  return true;
}

// The attribute value, quotes included, that gives the same address through {% static %}:
// the path below the static URL, as the tag's argument, then the value's query and fragment
// as they are written. `value` is the value as the tokenizer delivered it, `written` its
// text in the template without the quotes. Nothing for a value that is not a file below the
// static URL, or that the tag could not give back unchanged.
std::optional<std::string> static_tag_for(py::handle value, py::handle static_url,
                                          py::handle written) {
  auto hit = utf8(value);
  auto base = utf8(static_url);
  auto text = utf8(written);
  if (!hit || !base || !text || base->empty()) return std::nullopt;
  // A relative setting (Django 3.1+) is served from below the script prefix, "/" by default.
  if ((*base)[0] != '/' && base->find("://") == std::string::npos) base->insert(0, "/");
  // The static URL ends at a path boundary: /static matches /static/a.css, not /staticx.css.
  if (base->back() != '/') base->push_back('/');
  if (hit->compare(0, base->size(), *base) != 0) return std::nullopt;
  // The tag quotes its argument into an address, so "?" and "#" would be escaped into the
  // file's name: query and fragment stay outside it.
  size_t cut = hit->find_first_of("?#", base->size());
  std::string path = hit->substr(base->size(), cut - base->size());
  if (path.empty() || path[0] == '/' || !fits_in_static_tag(path)) return std::nullopt;
  // Up to the path's end the value must be written as delivered: a character reference
  // there would be lost. What follows goes on as written.
  std::string head = *base + path;
  if (text->compare(0, head.size(), head) != 0) return std::nullopt;
  std::string suffix = text->substr(head.size());
  if (!suffix.empty() && suffix[0] != '?' && suffix[0] != '#') return std::nullopt;
  // Outside the tag, template syntax is the template's own (?v={{ version }}); only a quote
  // would end the attribute quoted around the tag.
  if (suffix.find_first_of("'\"\r\n") != std::string::npos) return std::nullopt;
  // The tag also escapes "%", so an escaped character is written as the character itself.
  if (path.find('%') != std::string::npos) {
    py::object decoded = on_error(
        PyExc_UnicodeDecodeError,
        [&]() -> py::object {
          return lookup("urllib.parse", "unquote")(py::str(path), py::arg("errors") = "strict");
        },
        []() -> py::object { return py::none(); });
    auto unescaped = utf8(decoded);
    if (!unescaped || unescaped->empty() || (*unescaped)[0] == '/' ||
        !fits_in_static_tag(*unescaped)) {
      return std::nullopt;
    }
    path = *unescaped;
  }
  return "'{% static \"" + path + "\" %}" + suffix + "'";
}

py::object hard_coded_static_url_to_static_tag(py::object html, py::object visitor) {
  py::object parser = G("HardCodedStaticUrlToStaticTagHTMLMutator")();
  try {
    // A path inside a template comment is never served: it is left as written.
    parser.attr("feed")(without_template_comments(html));
  } catch (py::error_already_set& e) {
    // A construct this interpreter's tokenizer gives up on (a marked section such as
    // `<![foo[`): the values are not known, so the text is left as it is.
    if (!e.matches(PyExc_NotImplementedError) && !e.matches(PyExc_AssertionError)) throw;
    return html;
  }
  py::list results = parser.attr("results");
  py::object locations = py::getattr(parser, "locations", py::list());

  struct Edit {
    py::ssize_t start, end;
    std::string text;
  };
  std::vector<Edit> edits;
  std::vector<py::ssize_t> line_starts;
  for (size_t i = 0; i < py::len(results); ++i) {
    py::object hit = results[i];
    if (hit.is_none()) continue;
    py::object static_url = visitor.attr("settings")[py::str("STATIC_URL")];
    if (!truthy(static_url)) continue;
    if (i >= py::len(locations) || locations[py::int_(i)].is_none()) continue;
    py::tuple where = py::tuple(locations[py::int_(i)]);
    if (line_starts.empty()) {
      line_starts.push_back(0);
      py::ssize_t size = py::len(html);
      for (py::ssize_t at = 0;;) {
        at = PyUnicode_FindChar(html.ptr(), '\n', at, size, 1);
        if (at == -2) throw py::error_already_set();
        if (at < 0) break;
        line_starts.push_back(++at);
      }
    }
    auto line = where[0].cast<py::ssize_t>();
    if (line < 1 || line > static_cast<py::ssize_t>(line_starts.size())) continue;
    py::ssize_t tag = line_starts[line - 1] + where[1].cast<py::ssize_t>();
    py::ssize_t start = tag + where[2].cast<py::ssize_t>();
    py::ssize_t end = tag + where[3].cast<py::ssize_t>();
    if (start < 0 || end > static_cast<py::ssize_t>(py::len(html)) || end < start) continue;
    py::str written = html[py::slice(start, end, 1)];
    py::ssize_t size = static_cast<py::ssize_t>(py::len(written));
    if (size >= 2) {
      py::str first = written[py::slice(0, 1, 1)];
      if ((first.equal(py::str("\"")) || first.equal(py::str("'"))) &&
          first.equal(written[py::slice(size - 1, size, 1)])) {
        written = written[py::slice(1, size - 1, 1)];
      }
    }
    auto replacement = static_tag_for(hit, static_url, written);
    if (!replacement) continue;
    edits.push_back({start, end, *replacement});
  }
  if (edits.empty()) return html;

  std::sort(edits.begin(), edits.end(),
            [](const Edit& a, const Edit& b) { return a.start < b.start; });
  py::list pieces;
  py::ssize_t done = 0;
  for (const Edit& edit : edits) {
    if (edit.start < done) continue;
    pieces.append(html[py::slice(done, edit.start, 1)]);
    pieces.append(py::str(edit.text));
    done = edit.end;
  }
  pieces.append(html[py::slice(done, py::len(html), 1)]);
  return py::str("").attr("join")(pieces);
}

py::object build_transformer_visitor(py::object message_ids, py::object settings) {
  py::object visitor = G("Visitor")(py::arg("settings") = settings);
  for (py::handle message_id : message_ids) {
    if (text_is(message_id, "C7001")) {
      visitor.attr("mutators").attr("append")(G("hard_coded_static_url_to_static_tag"));
    }
  }
  return visitor;
}

// ---------------------------------------------------------------------------------------
// Checker

// The names that `{# vettor: disable=<codes or symbols> #}` pragmas give, by line: on its
// line such a comment silences the findings it names, as "# vettor: disable=" does in Python.
py::dict disabled_lines(py::object text) {
  py::dict lines;
  if (!py::isinstance<py::str>(text)) return lines;
  for (py::handle match : G("_DISABLE_PRAGMA").attr("finditer")(text)) {
    py::ssize_t start = match.attr("start")().cast<py::ssize_t>();
    py::int_ line(text.attr("count")("\n", 0, start).cast<py::ssize_t>() + 1);
    py::set names = lines.contains(line) ? py::reinterpret_borrow<py::set>(lines[line]) : py::set();
    for (py::handle name : match.attr("group")(1).attr("split")(",")) {
      names.add(name.attr("strip")());
    }
    lines[line] = names;
  }
  return lines;
}

bool silenced_on_line(py::handle self, py::handle line, py::handle code) {
  py::object lines = py::getattr(self, "disabled_lines", py::none());
  if (lines.is_none() || !truthy(lines.attr("__contains__")(line))) return false;
  py::object names = lines[line];
  py::object symbol = self.attr("msgs")[code][py::int_(1)];
  for (py::handle name : {py::handle(code), py::handle(symbol)}) {
    if (truthy(names.attr("__contains__")(name))) return true;
  }
  return truthy(names.attr("__contains__")("all"));
}

// The whole text of a template, or None when it cannot be read, is not UTF-8 (Django's
// template encoding) or is larger than `limit_mb`: such a template is skipped with a warning,
// and the others are still checked. The file is closed on success and on failure alike.
py::object read_template(py::handle path, double limit_mb) {
  auto skip = [&](const char* why, py::handle detail) {
    G("logger").attr("warning")(std::string("Skipped template %s: it ") + why + " (%s)", path,
                                detail);
    return py::object(py::none());
  };
  // Opening a FIFO would wait for a writer for ever (a folder fails to open at once).
  py::object status = on_error(
      PyExc_OSError, [&] { return import("os").attr("stat")(path); },
      [] { return py::object(py::none()); });
  if (!status.is_none() && !truthy(lookup("stat", "S_ISREG")(status.attr("st_mode"))) &&
      !truthy(lookup("stat", "S_ISDIR")(status.attr("st_mode"))))
    return skip("is not a regular file", lookup("stat", "filemode")(status.attr("st_mode")));
  if (auto large = file_too_large(path, limit_mb)) {
    G("logger").attr("warning")("Skipped template %s: it is %s", path, py::str(*large));
    return py::none();
  }
  py::object file;
  try {
    file = import("builtins").attr("open")(path, "r", py::arg("encoding") = "utf-8");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_OSError)) throw;
    return skip("cannot be read", e.value().attr("strerror"));
  }
  py::object source;
  try {
    source = file.attr("read")();
  } catch (py::error_already_set& e) {
    file.attr("close")();
    if (e.matches(PyExc_UnicodeDecodeError)) return skip("is not valid UTF-8", e.value());
    if (e.matches(PyExc_OSError)) return skip("cannot be read", e.value().attr("strerror"));
    throw;
  }
  file.attr("close")();
  return source;
}

void check(py::object self, py::iterable files) {
  py::list messages;
  self.attr("messages") = messages;
  // The driver gives its limit (in MB) as an attribute; a checker made alone has the default.
  py::object limit = py::getattr(self, "max_file_size", py::none());
  double limit_mb = limit.is_none() ? kDefaultMaxFileSizeMB : limit.cast<double>();
  for (py::handle path : files) {
    self.attr("current_file_path") = path;
    py::object source = read_template(path, limit_mb);
    if (source.is_none()) continue;
    py::ssize_t kept = py::len(messages);
    self.attr("disabled_lines") = disabled_lines(source);
    try {
      self.attr("feed")(without_template_comments(source));
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
  if (silenced_on_line(self, position[0], code)) return;
  py::object definition = self.attr("msgs")[code];
  py::object text = definition[py::int_(0)];
  PyObject* message = PyNumber_Remainder(text.ptr(), args.ptr());
  if (!message) throw py::error_already_set();
  py::dict record;
  record[interned("path")] = self.attr("current_file_path");
  record[interned("line")] = position[0];
  record[interned("message")] = py::reinterpret_steal<py::object>(message);
  record[interned("type")] = py::none();
  record[interned("column")] = position[1];
  record[interned("module")] = py::none();
  record[interned("symbol")] = py::none();
  record[interned("hint")] = py::none();
  record[interned("message-id")] = code;
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

  add_method(cls, "handle_starttag", &dispatch_starttag, py::arg("tag"), py::arg("attrs"));
  return cls;
}

// One finding per attribute `attribute` of the tag whose value is a hard-coded path, naming
// the path.
void check_attribute(py::handle self, py::handle attrs, const char* attribute,
                     const char* code_name) {
  for (py::handle entry : attrs) {
    auto [name, value] = unpack_pair(entry);
    if (!text_is(name, attribute) || !truthy(G("is_hardcoded_path")(value))) continue;
    py::dict args;
    args[interned("path")] = value;
    self.attr("add_message")(G("Codes").attr(code_name), py::arg("args") = args);
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
        check_attribute(self, attrs, "href", "C7000");
      },
      py::arg("attrs"));
  add_method(
      cls, "visit_link",
      [](py::object self, py::object attrs) {
        if (link_loads_resource(attrs)) check_attribute(self, attrs, "href", "C7001");
      },
      py::arg("attrs"));
  add_method(
      cls, "visit_element_with_src",
      [](py::object self, py::object attrs) {
        check_attribute(self, attrs, "src", "C7001");
      },
      py::arg("attrs"));
  for (const char* alias : {"visit_audio", "visit_embed", "visit_img", "visit_input",
                            "visit_script", "visit_source", "visit_track", "visit_video"}) {
    add_alias(cls, alias, "visit_element_with_src");
  }
  return cls;
}

// A site-absolute path: "/" followed by at least one character that is not another "/"
// (protocol-relative addresses begin with two), and that is written out rather than produced
// by the template: in "/{{ result.path }}" or "/{% url 'x' %}" nothing is hard-coded but the
// slash. Falsy values answer themselves.
py::object is_hardcoded_path(py::object value) {
  if (!truthy(value)) return value;
  if (text_is(value, "/")) return py::bool_(false);
  if (!truthy(value.attr("startswith")("/"))) return py::bool_(false);
  if (truthy(value.attr("startswith")("//"))) return py::bool_(false);
  if (!PyUnicode_Check(value.ptr())) return py::bool_(true);
  py::object written = G("_TEMPLATE_TAG").attr("sub")("", value);
  std::string path = py::str(written);
  path = path.substr(0, path.find_first_of("?#"));
  return py::bool_(path.find_first_not_of("/ \t\r\n") != std::string::npos);
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
  // Django's template tags, as its lexer finds them: no tag spans a line break.
  m.attr("_TEMPLATE_TAG") = lookup("re", "compile")(R"(\{%.*?%\}|\{\{.*?\}\}|\{#.*?#\})");
  m.attr("_NOT_LINE_BREAK") = lookup("re", "compile")(R"([^\r\n])");
  m.attr("_DISABLE_PRAGMA") = lookup("re", "compile")(
      R"(\{#[^\n#]*?\bvettor:\s*disable\s*=\s*([\w-]+(?:\s*,\s*[\w-]+)*)[^\n]*?#\})");
  m.attr("BaseHTMLMutator") = make_base_html_mutator(m);
  m.attr("HardCodedStaticUrlToStaticTagHTMLMutator") = make_static_url_mutator(m);
  m.attr("Visitor") = make_visitor(m);
  m.def("hard_coded_static_url_to_static_tag", &hard_coded_static_url_to_static_tag,
        py::arg("html"), py::arg("visitor"));
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"),
        py::arg("settings"));
  m.attr("BaseTemplateChecker") = make_base_template_checker(m);
  m.attr("Checker") = make_checker(m, helpers);
  m.def("is_hardcoded_path", &is_hardcoded_path, py::arg("value"));
}
