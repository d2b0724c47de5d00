// Template rules: site-absolute paths written into HTML templates instead of being produced
// by the template language ({% url %}, {% static %}).
//
// The checker is no pylint checker: it is the standard library's HTML tokenizer, fed one
// template at a time, whose start-tag hook dispatches to a `visit_<tag>` method by name.
//
// A hard-coded link is worth a finding only where the project serves its path through a
// route, so that {% url %} can name it: the link's path is matched against the project's
// routes (read from its URL configuration by the URL rule module) with Django's own route
// matching. A link no route serves (a flat page, a CMS page, a file, another site's path)
// gives no finding, nor does one whose URL configuration cannot be read. The same decision
// makes the fix of a link and its review suggestion.
//
// The fixes rewrite an attribute into the {% static %} or {% url %} tag. The same tokenizer
// finds the values, and the text is edited only where it read them: the same characters
// standing elsewhere (another attribute, an `a` link, the page's own text, the start of a
// longer value) are left as written.
#include <vettor/message_names.hpp>
#include <vettor/project_files.hpp>
#include <vettor/rules.hpp>

#include <algorithm>
#include <cctype>
#include <optional>
#include <string>
#include <vector>

namespace {
using namespace vettor;
ModuleRef G;

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
// Links and the routes that serve them

// A link's path as the template writes it: literal text, and the variables ({{ ... }}) that
// render the rest.
struct LinkPiece {
  bool variable;
  py::object text;  // the literal text as written, or the variable's expression
};

// The pieces of a link up to its query and fragment, which no route matches; nothing for a
// link that holds other template syntax ({% if %}, {# #}), whose path cannot be told.
std::optional<std::vector<LinkPiece>> link_pieces(py::object link) {
  std::vector<LinkPiece> pieces;
  py::ssize_t done = 0;
  py::ssize_t size = py::len(link);
  for (py::handle match : G("_TEMPLATE_TAG").attr("finditer")(link)) {
    py::ssize_t start = match.attr("start")().cast<py::ssize_t>();
    py::ssize_t end = match.attr("end")().cast<py::ssize_t>();
    if (start > done) pieces.push_back({false, link[py::slice(done, start, 1)]});
    py::str token = match.attr("group")(0);
    if (!truthy(token.attr("startswith")("{{"))) return std::nullopt;
    pieces.push_back({true, token[py::slice(2, py::len(token) - 2, 1)].attr("strip")()});
    done = end;
  }
  if (done < size) pieces.push_back({false, link[py::slice(done, size, 1)]});
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (pieces[i].variable) continue;
    py::object cut = G("_QUERY_OR_FRAGMENT").attr("search")(pieces[i].text);
    if (cut.is_none()) continue;
    pieces[i].text = pieces[i].text[py::slice(0, cut.attr("start")().cast<py::ssize_t>(), 1)];
    pieces.resize(i + 1);
    break;
  }
  return pieces;
}

// Values that stand in for a template variable while a link is matched, each of the shape a
// usual parameter takes (int, str, slug and path converters; \d+, [-\w]+, [0-9]{4}, [0-9]{2};
// uuid; a language code), so that a variable matches a route's parameter where it can.
constexpr const char* kVariableSamples[] = {"2020", "1", "01", "a",
                                            "0f0f0f0f-0f0f-4f0f-8f0f-0f0f0f0f0f0f", "en"};
// A link with more variables than this is not judged.
constexpr size_t kMaxVariables = 3;

// One pattern of a route's chain made ready for matching, kept by the pattern for the
// process: (compiled expression or None when Django would reject it, converters by parameter,
// whether the whole rest must match).
py::tuple compiled_element(py::handle element) {
  py::dict cache = G("_compiled_routes");
  if (cache.contains(element)) return cache[element];
  py::tuple parts = py::reinterpret_borrow<py::tuple>(element);
  std::string kind = py::str(parts[0]);
  py::object text = parts[1];
  bool endpoint = truthy(parts[2]);
  py::object regex = py::none();
  py::object converters = py::dict();
  bool fullmatch = false;
  py::tuple rejected = py::make_tuple(lookup("django.core.exceptions", "ImproperlyConfigured"),
                                      lookup("re", "error"), py::handle(PyExc_TypeError));
  if (kind == "path") {
    // Django's own conversion of a route, as RoutePattern makes it.
    on_error(
        rejected,
        [&] {
          py::tuple converted = lookup("django.urls.resolvers", "_route_to_regex")(text, endpoint);
          regex = lookup("re", "compile")(converted[0]);
          converters = converted[1];
          return 0;
        },
        [] { return 0; });
  } else if (kind == "regex") {
    // RegexPattern: the expression as written; an endpoint ending in "$" matches the whole rest.
    on_error(
        rejected,
        [&] {
          regex = lookup("re", "compile")(text);
          return 0;
        },
        [] { return 0; });
    fullmatch = endpoint && truthy(text.attr("endswith")("$"));
  } else if (kind == "locale") {
    regex = G("_LANGUAGE_PREFIX");
  }
  if (py::len(cache) > 4096) cache.clear();
  py::tuple compiled = py::make_tuple(regex, converters, fullmatch);
  cache[element] = compiled;
  return compiled;
}

std::u32string code_points(const py::str& text);

// The text every path a route matches begins with, as far as its patterns write it out: a
// route's text up to its first parameter, an anchored expression's plain characters up to its
// first operator, pattern after pattern while each is written out whole. Nothing for a route
// that begins with an expression that may match anywhere (no "^") or with a language prefix.
std::optional<std::u32string> leading_text(py::handle chain) {
  std::u32string out;
  bool first = true;
  for (py::handle element : chain) {
    std::string kind = py::str(element[py::int_(0)]);
    std::u32string text = code_points(py::str(element[py::int_(1)]));
    bool whole = true;
    if (kind == "path") {
      size_t parameter = text.find(U'<');
      whole = parameter == std::u32string::npos;
      out += text.substr(0, parameter);
    } else if (kind == "regex" && !text.empty() && text[0] == U'^') {
      const std::u32string operators = U".^$*+?{}[]|()";
      size_t i = 1;
      for (; i < text.size(); ++i) {
        char32_t c = text[i];
        if (c == U'\\') {
          if (i + 1 >= text.size() || (text[i + 1] < 128 && std::isalnum(static_cast<int>(text[i + 1])))) break;
          c = text[++i];
        } else if (operators.find(c) != std::u32string::npos) {
          // A character that a quantifier makes optional is no part of what must be written.
          if ((c == U'?' || c == U'*' || c == U'{') && !out.empty()) out.pop_back();
          break;
        }
        out.push_back(c);
      }
      whole = i == text.size() || (i + 1 == text.size() && text[i] == U'$');
    } else {
      if (first) return std::nullopt;
      break;
    }
    first = false;
    if (!whole) break;
  }
  return out;
}

struct Group {
  py::ssize_t start, end;  // in the matched path
  bool argument;           // a parameter reverse() takes (not the language prefix)
};

struct RouteMatch {
  enum Outcome { kNone, kServed, kUnknown } outcome = kNone;
  std::vector<Group> groups;
  std::vector<std::pair<py::ssize_t, py::ssize_t>> spans;  // what each pattern matched
  std::vector<py::object> matches;                         // each pattern's match
};

// Whether the route's chain of patterns matches the whole of `path` (a path without its
// leading slash), as Django's resolvers match it: each pattern takes its part from the start
// of the rest, and a route's converters must accept the values.
RouteMatch match_route(py::handle route, const py::str& path) {
  RouteMatch result;
  py::ssize_t position = 0;
  py::ssize_t size = py::len(path);
  for (py::handle element : route[py::str("chain")]) {
    std::string kind = py::str(element[py::int_(0)]);
    if (kind == "any") {
      result.outcome = RouteMatch::kUnknown;
      return result;
    }
    py::tuple compiled = compiled_element(element);
    py::object regex = compiled[0];
    if (regex.is_none()) return RouteMatch();
    py::object rest = path[py::slice(position, size, 1)];
    py::object match = truthy(compiled[2]) ? regex.attr("fullmatch")(rest) : regex.attr("search")(rest);
    if (match.is_none()) return RouteMatch();
    if (kind == "path") {
      py::dict converters = compiled[1];
      py::dict values = match.attr("groupdict")();
      for (auto item : values) {
        if (!converters.contains(item.first)) continue;
        bool accepted = on_error(
            PyExc_ValueError,
            [&] {
              converters[item.first].attr("to_python")(item.second);
              return true;
            },
            [] { return false; });
        if (!accepted) return RouteMatch();
      }
    }
    py::dict named = regex.attr("groupindex");
    py::set named_numbers;
    for (auto item : named) named_numbers.add(item.second);
    long count = regex.attr("groups").cast<long>();
    for (long i = 1; i <= count; ++i) {
      py::tuple span = match.attr("span")(i);
      py::ssize_t start = span[0].cast<py::ssize_t>();
      if (start < 0) continue;
      bool argument = kind == "path" ||
                      (kind == "regex" && (py::len(named) == 0 || named_numbers.contains(py::int_(i))));
      result.groups.push_back({position + start, position + span[1].cast<py::ssize_t>(), argument});
    }
    result.spans.emplace_back(position + match.attr("start")().cast<py::ssize_t>(),
                              position + match.attr("end")().cast<py::ssize_t>());
    result.matches.push_back(match);
    position += match.attr("end")().cast<py::ssize_t>();
  }
  result.outcome = RouteMatch::kServed;
  return result;
}

std::u32string code_points(const py::str& text) {
  std::u32string points;
  py::ssize_t size = py::len(text);
  for (py::ssize_t i = 0; i < size; ++i) {
    points.push_back(static_cast<char32_t>(PyUnicode_ReadChar(text.ptr(), i)));
  }
  return points;
}

// Whether the route matched some text of its own, not only parameters and slashes: a route
// such as <slug:slug>/ or a CMS's catch-all serves every path alike and names no page.
bool matched_own_text(const RouteMatch& match, const std::u32string& path) {
  for (auto [start, end] : match.spans) {
    for (py::ssize_t i = start; i < end; ++i) {
      if (path[static_cast<size_t>(i)] == U'/') continue;
      bool in_group = false;
      for (const Group& group : match.groups) in_group = in_group || (group.start <= i && i < group.end);
      if (!in_group) return true;
    }
  }
  return false;
}

// A literal argument of the url tag: a number as it is, a text quoted (05 too: the template
// language would read it as the number 5).
std::string literal_argument(const std::string& text) {
  bool number = !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
  if (number && (text.size() == 1 || text[0] != '0')) return text;
  if (text.find('\'') == std::string::npos) return "'" + text + "'";
  if (text.find('"') == std::string::npos) return "\"" + text + "\"";
  return "...";
}

// The path that reversing the route with the matched values gives, pattern by pattern, as
// Django's reverse() writes it: a route's parameters through their converters' to_url; a
// regular expression only when it is plain text and groups. Nothing when it cannot be told.
std::optional<std::string> reversed_regex(const std::string& regex, py::handle match) {
  size_t i = 0;
  size_t end = regex.size();
  if (i < end && regex[i] == '^') ++i;
  if (end >= i + 2 && regex.compare(end - 2, 2, "\\Z") == 0) {
    end -= 2;
  } else if (end > i && regex[end - 1] == '$' && (end < 2 || regex[end - 2] != '\\')) {
    --end;
  }
  std::string out;
  long group = 0;
  while (i < end) {
    char c = regex[i];
    if (c == '\\') {
      if (i + 1 >= end || std::isalnum(static_cast<unsigned char>(regex[i + 1]))) return std::nullopt;
      out += regex[i + 1];
      i += 2;
    } else if (c == '(') {
      if (regex.compare(i, 2, "(?") == 0 && regex.compare(i, 4, "(?P<") != 0) return std::nullopt;
      size_t close = i + 1;
      for (; close < end && regex[close] != ')'; ++close) {
        if (regex[close] == '\\') ++close;
        else if (regex[close] == '(') return std::nullopt;  // a group inside a group
        else if (regex[close] == '[') {
          while (close < end && regex[close] != ']') close += regex[close] == '\\' ? 2 : 1;
        }
      }
      if (close >= end) return std::nullopt;
      py::object value = match.attr("group")(++group);
      if (!py::isinstance<py::str>(value)) return std::nullopt;
      out += py::str(value).cast<std::string>();
      i = close + 1;
    } else if (std::string(".*+?[]{}|^$)").find(c) != std::string::npos) {
      return std::nullopt;
    } else {
      out += c;
      ++i;
    }
  }
  return out;
}

std::optional<std::string> reversed_path(py::handle route, const RouteMatch& match) {
  std::string out = "/";
  size_t index = 0;
  for (py::handle element : route[py::str("chain")]) {
    std::string kind = py::str(element[py::int_(0)]);
    std::string text = py::str(element[py::int_(1)]);
    py::handle found = match.matches.at(index++);
    if (kind == "regex") {
      auto part = reversed_regex(text, found);
      if (!part) return std::nullopt;
      out += *part;
      continue;
    }
    if (kind != "path") return std::nullopt;
    py::dict converters = compiled_element(element)[1];
    py::object parameters = lookup("django.urls.resolvers", "_PATH_PARAMETER_COMPONENT_RE");
    py::str route_text(text);
    py::ssize_t done = 0;
    for (py::handle parameter : parameters.attr("finditer")(route_text)) {
      out += py::str(route_text[py::slice(done, parameter.attr("start")().cast<py::ssize_t>(), 1)])
                 .cast<std::string>();
      py::object name = parameter.attr("group")("parameter");
      if (!converters.contains(name)) return std::nullopt;
      py::object converter = converters[name];
      py::object value = found.attr("group")(name);
      py::object written = on_error(
          PyExc_Exception,
          [&] { return py::object(py::str(converter.attr("to_url")(converter.attr("to_python")(value)))); },
          [] { return py::object(py::none()); });
      if (written.is_none()) return std::nullopt;
      out += py::str(written).cast<std::string>();
      done = parameter.attr("end")().cast<py::ssize_t>();
    }
    out += py::str(route_text[py::slice(done, py::len(route_text), 1)]).cast<std::string>();
  }
  return out;
}

// The record get_link_route gives for the route that serves the link: its arguments, the url
// tag that names it, and whether that tag gives back the very path written.
py::dict described(const py::list& route_list, py::handle route, const RouteMatch& match,
                   const py::str& path, const std::vector<std::pair<py::ssize_t, py::ssize_t>>& spans,
                   const std::vector<py::object>& expressions, py::handle written, bool slash_added) {
  size_t variables = spans.size();
  // A parameter that a variable fills gives its expression, one of literal text its
  // value; one that mixes both cannot be written as one argument.
  py::list arguments;
  for (const Group& group : match.groups) {
    if (!group.argument) continue;
    int variable = -1;
    bool overlapped = false;
    for (size_t v = 0; v < spans.size(); ++v) {
      auto [start, end] = spans[v];
      if (start == group.start && end == group.end) {
        variable = static_cast<int>(v);
      } else if (start < group.end && group.start < end) {
        overlapped = true;
      }
    }
    if (variable >= 0) {
      arguments.append(expressions[static_cast<size_t>(variable)]);
    } else if (overlapped) {
      arguments.append(py::str("..."));
    } else {
      arguments.append(py::str(literal_argument(
          py::str(path[py::slice(group.start, group.end, 1)]).cast<std::string>())));
    }
  }

  py::object name = route[py::str("name")];
  py::object url_tag = py::none();
  if (py::isinstance<py::str>(name) && G("_QUOTE").attr("search")(name).is_none()) {
    std::string tag = "{% url '" + py::str(name).cast<std::string>() + "'";
    for (py::handle argument : arguments) tag += " " + py::str(argument).cast<std::string>();
    url_tag = py::str(tag + " %}");
  }

  // The tag may take the link's place only when it gives back the very path: no
  // variable (one that renders nothing, or the wrong kind of value, would make the page
  // fail where the link only led nowhere), a name no other route has, no language
  // prefix, and the route reversed with these values is the path written.
  bool exact = !url_tag.is_none() && variables == 0 && !slash_added;
  if (exact) {
    long same_name = 0;
    for (py::handle other : route_list) {
      if (py::object(other[py::str("name")]).equal(name)) ++same_name;
    }
    exact = same_name == 1;
  }
  for (py::handle element : route[py::str("chain")]) {
    if (py::str(element[py::int_(0)]).equal(py::str("locale"))) exact = false;
  }
  if (exact) {
    auto reversed = reversed_path(route, match);
    py::object quoted = py::none();
    if (reversed) {
      quoted = lookup("urllib.parse", "quote")(py::str(*reversed),
                                               py::arg("safe") = "!$&'()*+,;=/~:@");
    }
    exact = !quoted.is_none() && quoted.equal(written);
  }
  py::dict result;
  result["route"] = route;
  result["arguments"] = arguments;
  result["url_tag"] = url_tag;
  result["exact"] = py::bool_(exact);
  return result;
}

// The route that serves a link, and how the url tag names it: a new mapping with "route" (the
// route's record), "arguments" (the url tag's arguments: a variable's expression, a literal
// value, or "..." where a parameter mixes both), "url_tag" (the tag that gives the link, None
// for a route without a name) and "exact" (the tag gives back the very path written, so it can
// take the link's place). None when no route of the project serves the link, or when it cannot
// be told which one does.
//
// The routes are tried in the order Django tries them, with the link's variables standing in
// for the parameters they fill. A route that matches only by a stand-in value reading like its
// own text does not count; a route made of parameters alone (a catch-all page server) serves
// every path and names no page; a route whose view serves files, or that this analyser cannot
// read, leaves the link unjudged. A path without its final slash is served through the route
// of the path with it, as Django's APPEND_SLASH redirect does.
py::object get_link_route(py::object link, py::object routes) {
  if (routes.is_none() || !py::isinstance<py::str>(link)) return py::none();
  auto found = link_pieces(link);
  if (!found || found->empty() || found->front().variable) return py::none();
  std::vector<LinkPiece> pieces = *found;
  py::object written = pieces.front().text;
  if (!truthy(written.attr("startswith")("/"))) return py::none();
  size_t variables = 0;
  for (const LinkPiece& piece : pieces) variables += piece.variable ? 1 : 0;
  if (variables > kMaxVariables) return py::none();
  py::object unquote = lookup("urllib.parse", "unquote");
  py::list route_list = py::list(routes);

  // The link with stand-ins for its variables, and the earliest route in Django's order that
  // any of them reaches: a stand-in is only a guess at the value, so the route the link
  // names is the first one some value of its variables would reach.
  struct Candidate {
    size_t index;
    RouteMatch match;
    py::str path;
    std::vector<std::pair<py::ssize_t, py::ssize_t>> spans;
    std::vector<py::object> expressions;
  };
  // The routes worth trying: those whose leading text agrees with the link's text before its
  // first variable, which no stand-in changes.
  std::u32string fixed = code_points(py::str(unquote(written)));
  fixed = fixed.substr(1);
  std::vector<size_t> candidates;
  for (size_t index = 0; index < py::len(route_list); ++index) {
    auto leading = leading_text(route_list[index][py::str("chain")]);
    if (leading) {
      size_t common = std::min(leading->size(), fixed.size());
      if (leading->compare(0, common, fixed, 0, common) != 0) continue;
    }
    candidates.push_back(index);
  }

  for (bool slash_added : {false, true}) {
    std::vector<LinkPiece> tried = pieces;
    if (slash_added) {
      const LinkPiece& last = tried.back();
      if (!last.variable && truthy(last.text.attr("endswith")("/"))) break;
      tried.push_back({false, py::str("/")});
    }
    std::optional<Candidate> best;
    size_t combinations = 1;
    for (size_t i = 0; i < variables; ++i) combinations *= std::size(kVariableSamples);
    for (size_t combination = 0; combination < combinations; ++combination) {
      // The path with samples in place of the variables, and where each variable stands.
      py::str path("");
      std::vector<std::pair<py::ssize_t, py::ssize_t>> spans;
      std::vector<py::object> expressions;
      size_t choice = combination;
      bool first = true;
      for (const LinkPiece& piece : tried) {
        py::str text;
        if (piece.variable) {
          text = py::str(kVariableSamples[choice % std::size(kVariableSamples)]);
          choice /= std::size(kVariableSamples);
        } else {
          text = unquote(piece.text);
          if (first) text = text[py::slice(1, py::len(text), 1)];  // the root's own "/"
        }
        first = false;
        py::ssize_t start = py::len(path);
        path = path.attr("__add__")(text);
        if (piece.variable) {
          spans.emplace_back(start, py::len(path));
          expressions.push_back(piece.text);
        }
      }
      for (size_t index : candidates) {
        if (best && index >= best->index) break;
        RouteMatch match = match_route(route_list[index], path);
        if (match.outcome == RouteMatch::kNone) continue;
        bool filled = true;
        for (auto [start, end] : spans) {
          bool inside = false;
          for (const Group& group : match.groups) inside = inside || (group.start <= start && end <= group.end);
          filled = filled && inside;
        }
        // A route reached only because a stand-in reads like its own text does not count.
        if (match.outcome == RouteMatch::kServed && !filled) continue;
        best = Candidate{index, std::move(match), path, spans, expressions};
        break;
      }
    }
    if (!best) continue;
    const RouteMatch& match = best->match;
    if (match.outcome == RouteMatch::kUnknown) return py::none();
    py::object route = route_list[best->index];
    const py::str& path = best->path;
    const auto& spans = best->spans;
    const auto& expressions = best->expressions;
    if (!py::str(route[py::str("kind")]).equal(py::str("view")) ||
        !matched_own_text(match, code_points(path))) {
      return py::none();
    }
    return described(route_list, route, match, path, spans, expressions, written, slash_added);
  }
  return py::none();
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

// The text with each value the parser collects put in place by what `rewrite` makes of it:
// rewrite(value as delivered, value as written without its quotes) gives the new attribute
// value, quotes included, or nothing to leave it.
template <class Rewrite>
py::object rewrite_collected(py::object html, py::object parser, Rewrite&& rewrite) {
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
    std::optional<std::string> replacement = rewrite(hit, written);
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

py::object hard_coded_static_url_to_static_tag(py::object html, py::object visitor) {
  return rewrite_collected(
      html, G("HardCodedStaticUrlToStaticTagHTMLMutator")(),
      [&](py::handle hit, py::handle written) -> std::optional<std::string> {
        py::object static_url = visitor.attr("settings")[py::str("STATIC_URL")];
        if (!truthy(static_url)) return std::nullopt;
        return static_tag_for(hit, static_url, written);
      });
}

// ---------------------------------------------------------------------------------------
// Fix of C7000

py::object make_url_mutator(py::module_& m) {
  py::object cls = make_class(m, "HardCodedUrlToUrlTagHTMLMutator", bases_of(m.attr("BaseHTMLMutator")));
  add_method(
      cls, "visit_a",
      [](py::object self, py::object attrs) {
        py::list spans;
        bool measured = false;
        size_t index = 0;
        for (py::handle entry : attrs) {
          auto [name, value] = unpack_pair(entry);
          if (text_is(name, "href") && truthy(G("is_hardcoded_path")(value))) {
            collect(self, value, spans, index, measured);
          }
          ++index;
        }
      },
      py::arg("attrs"));
  return cls;
}

// A link that the project's routes serve by a named route becomes the url tag that names it,
// where the tag gives back the very path written (get_link_route's "exact"); the query and
// the fragment go on after the tag as written. The routes are the visitor's setting "ROUTES"
// (the records urls.read_url_configuration gives); without them nothing changes.
py::object hard_coded_url_to_url_tag(py::object html, py::object visitor) {
  py::object settings = visitor.attr("settings");
  py::object routes = py::hasattr(settings, "get") ? settings.attr("get")("ROUTES") : py::none();
  if (routes.is_none()) return html;
  return rewrite_collected(
      html, G("HardCodedUrlToUrlTagHTMLMutator")(),
      [&](py::handle hit, py::handle written) -> std::optional<std::string> {
        py::object found = G("get_link_route")(hit, routes);
        if (found.is_none() || !truthy(found[py::str("exact")])) return std::nullopt;
        auto value = utf8(hit);
        auto text = utf8(written);
        auto tag = utf8(found[py::str("url_tag")]);
        if (!value || !text || !tag) return std::nullopt;
        // Up to the path's end the value must be written as delivered (a character reference
        // there would be lost); what follows goes on as written.
        std::string path = value->substr(0, value->find_first_of("?#"));
        if (text->compare(0, path.size(), path) != 0) return std::nullopt;
        std::string suffix = text->substr(path.size());
        if (!suffix.empty() && suffix[0] != '?' && suffix[0] != '#') return std::nullopt;
        if ((suffix + *tag).find_first_of("\"\r\n") != std::string::npos) return std::nullopt;
        return "\"" + *tag + suffix + "\"";
      });
}

// Both fixes write a tag that Django resolves when the page is rendered, not the text that
// was there.
constexpr FixSafety kFixSafety[] = {
    {"C7000", Safety::kUnsafe,
     "the link the page serves: {% url %} adds the script prefix the site is deployed under, "
     "and the active language under i18n_patterns()"},
    {"C7001", Safety::kUnsafe,
     "the URL the page serves: the static files storage makes it (a hashed name, another "
     "host), and a file missing from its manifest makes the page fail"},
};

py::object build_transformer_visitor(py::object message_ids, py::object settings) {
  py::object visitor = G("Visitor")(py::arg("settings") = settings);
  for (py::handle message_id : message_ids) {
    if (text_is(message_id, "C7001")) {
      visitor.attr("mutators").attr("append")(G("hard_coded_static_url_to_static_tag"));
    } else if (text_is(message_id, "C7000")) {
      visitor.attr("mutators").attr("append")(G("hard_coded_url_to_url_tag"));
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

// Whether a pragma on the line names the finding: its code, its symbol, "all" or its category
// letter, as `disable` names findings. A code is written whole in a pragma, as pylint reads the
// pragma of a Python line: the start of codes ("C70") is for the configuration only.
bool silenced_on_line(py::handle self, py::handle line, py::handle code) {
  py::object lines = py::getattr(self, "disabled_lines", py::none());
  if (lines.is_none() || !truthy(lines.attr("__contains__")(line))) return false;
  MessageInfo message{py::str(code), py::str(self.attr("msgs")[code][py::int_(1)]), ""};
  for (py::handle name : lines[line]) {
    MessageName read{py::str(name)};
    if (read.kind() == MessageName::Kind::kCode && read.normal() != message.code) continue;
    if (read.selects(message)) return true;
  }
  return false;
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
    // A text given for the path (an editor's buffer) stands for the file.
    py::object sources = py::getattr(self, "sources", py::none());
    py::object source = !sources.is_none() && truthy(sources.attr("__contains__")(path))
                            ? py::object(sources[path])
                            : read_template(path, limit_mb);
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
  // The project's routes (urls.read_url_configuration), which the lint driver gives each
  // checker it makes.
  ns["routes"] = py::none();
  ns["msgs"] = make_msgs(
      helpers, {{"C7000", "hard-coded-url", "Check if hard-coded url is used in template"},
                {"C7001", "hard-coded-static-url",
                 "Check if hard-coded static url is used in template"}});
  py::object cls = make_class(m, "Checker", bases_of(m.attr("BaseTemplateChecker")), ns);

  // A hard-coded link is reported where one of the project's routes serves it, naming that
  // route; without the project's routes (`routes` None) it is not judged.
  add_method(
      cls, "visit_a",
      [](py::object self, py::object attrs) {
        py::object routes = py::getattr(self, "routes", py::none());
        if (routes.is_none()) return;
        for (py::handle entry : attrs) {
          auto [name, value] = unpack_pair(entry);
          if (!text_is(name, "href") || !truthy(G("is_hardcoded_path")(value))) continue;
          py::object found = G("get_link_route")(value, routes);
          if (found.is_none()) continue;
          py::object route = found[py::str("route")];
          py::dict args;
          args["path"] = value;
          args["route"] = route[py::str("route")];
          args["module"] = route[py::str("module")];
          args["name"] = route[py::str("name")];
          args["url_tag"] = found[py::str("url_tag")];
          self.attr("add_message")(G("Codes").attr("C7000"), py::arg("args") = args);
        }
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
  // Django's language prefix of i18n_patterns(): a language code, or none for the default
  // language (LocaleMiddleware redirects a path without one).
  m.attr("_LANGUAGE_PREFIX") = lookup("re", "compile")(R"(^(?:([a-z]{2,3}(?:[-_@][A-Za-z0-9]+)*)/)?)");
  m.attr("_QUERY_OR_FRAGMENT") = lookup("re", "compile")(R"([?#])");
  m.attr("_QUOTE") = lookup("re", "compile")(R"(['"])");
  m.attr("_compiled_routes") = py::dict();
  m.attr("_DISABLE_PRAGMA") = lookup("re", "compile")(
      R"(\{#[^\n#]*?\bvettor:\s*disable\s*=\s*([\w-]+(?:\s*,\s*[\w-]+)*)[^\n]*?#\})");
  m.def("get_link_route", &get_link_route, py::arg("link"), py::arg("routes"));
  m.attr("BaseHTMLMutator") = make_base_html_mutator(m);
  m.attr("HardCodedStaticUrlToStaticTagHTMLMutator") = make_static_url_mutator(m);
  m.attr("Visitor") = make_visitor(m);
  m.def("hard_coded_static_url_to_static_tag", &hard_coded_static_url_to_static_tag,
        py::arg("html"), py::arg("visitor"));
  m.attr("HardCodedUrlToUrlTagHTMLMutator") = make_url_mutator(m);
  m.def("hard_coded_url_to_url_tag", &hard_coded_url_to_url_tag, py::arg("html"),
        py::arg("visitor"));
  m.attr("FIX_SAFETY") = make_fix_safety(kFixSafety);
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"),
        py::arg("settings"));
  m.attr("BaseTemplateChecker") = make_base_template_checker(m);
  m.attr("Checker") = make_checker(m, helpers);
  m.def("is_hardcoded_path", &is_hardcoded_path, py::arg("value"));
}
