// suggest: comment-preserving renderer. astroid prints a tree without its comments; fixes change
// trees in place and the text that goes back to the user must still carry the file's comments and
// blank lines. The token index keeps blank lines and own-line comments as placeholder statements
// (a line number in `extra_line_map`), and every node of the parsed source knows its tokens, so the
// comments that follow code can be found in the token stream and written after the rendered code.
//
// How a comment that follows code finds its place:
// - It is written once, after the outermost rendered node that ends with the token it follows,
//   and only when it ends a logical line. Writing it after an inner node would put it inside the
//   rendered line (`x = 1, 2  # c` renders its tuple in brackets; `(qs  # c\n .all())` continues
//   after the name) and the comment would swallow the rest of the code.
// - Comments that stand inside a simple statement's brackets go to the end of that statement,
//   those inside a compound statement's header to the end of its header line: a statement is
//   rendered on one line, so that is the only place left for them.
// - Placeholders belong to the body of their scope (function, class, module); a placeholder that
//   lies inside an `if`, `for`, `with`, `try` or `while` of that scope is written inside that
//   statement's body, where it stood, and a statement rendered on its own takes along the
//   placeholders of its lines.
// Every comment token written is marked `consumed`, for the life of the token index, so no
// comment is written twice over one index.
#include <algorithm>
#include <string>
#include <vector>

#include "suggest.hpp"

namespace vettor::suggest {

namespace {

// ---------------------------------------------------------------------------------------------
// Tokens and nodes

long start_line(py::handle tok) { return tok.attr("start")[py::int_(0)].cast<long>(); }
long end_line(py::handle tok) { return tok.attr("end")[py::int_(0)].cast<long>(); }

bool is_module(py::handle node) { return vettor::isinstance(node, G("astroid").attr("Module")); }

bool on_placeholder_line(py::handle node, py::handle line_map) {
  return py::reinterpret_borrow<py::dict>(line_map).contains(getattr_or_none(node, "lineno"));
}

// A call that stands in a body by itself, not inside an expression statement: only the index
// puts calls there.
bool stands_in_body(py::handle node) {
  py::object body = getattr_or_none(getattr_or_none(node, "parent"), "body");
  if (!PyList_Check(body.ptr())) return false;
  for (py::handle statement : body) {
    if (statement.is(node)) return true;
  }
  return false;
}

// A placeholder statement: the bare call that stands for a blank or comment line. A call a fix
// made that happens to carry a placeholder's line number (one parsed from a snippet keeps the
// snippet's line 1) is no placeholder: it is written as the call it is.
bool is_placeholder(py::handle node, py::handle line_map) {
  return vettor::isinstance(node, G("astroid").attr("Call")) && on_placeholder_line(node, line_map) &&
         stands_in_body(node);
}

bool is_statement(py::handle node) {
  return truthy(py::getattr(node, "is_statement", py::bool_(false)));
}

// A statement with a body: if, for, while, with, try, def, class, except, match.
bool is_compound(py::handle node) { return is_statement(node) && vettor::hasattr(node, "body"); }

// A compound statement that is no scope: its placeholders live in the enclosing scope's body.
bool is_nested_block(py::handle node) {
  return is_compound(node) && !node.attr("scope")().is(node);
}

py::object int_or_none(py::handle value) {
  if (py::isinstance<py::int_>(value) && !py::isinstance<py::bool_>(value)) {
    return py::reinterpret_borrow<py::object>(value);
  }
  return py::none();
}

// The last line a node covers: astroid's `tolineno` can stop short of the closing bracket (and of
// nothing at all when a body ends in a placeholder), the last token does not.
py::object last_line_of(py::handle node) {
  py::object line = int_or_none(py::getattr(node, "tolineno", py::none()));
  if (!vettor::hasattr(node, "last_token")) return line;
  long token_line = node.attr("last_token").attr("end")[py::int_(0)].cast<long>();
  if (line.is_none() || line.cast<long>() < token_line) return py::int_(token_line);
  return line;
}

// The comment tokens strictly between two tokens that no rendering has written yet, leaving out
// own-line comments (their placeholders write them).
std::vector<py::object> loose_comments(py::handle atok, py::handle from, py::handle to,
                                       py::handle line_map) {
  std::vector<py::object> found;
  py::list tokens = atok.attr("tokens");
  long first = from.attr("index").cast<long>() + 1;
  long last = to.attr("index").cast<long>();
  py::dict lines = py::reinterpret_borrow<py::dict>(line_map);
  for (long i = first; i < last; ++i) {
    py::object tok = tokens[i];
    if (token_name(tok) != "COMMENT" || vettor::hasattr(tok, "consumed")) continue;
    if (lines.contains(py::int_(start_line(tok)))) continue;
    found.push_back(tok);
  }
  return found;
}

std::string take(const std::vector<py::object>& comments) {
  std::string text;
  for (const auto& tok : comments) {
    tok.attr("consumed") = true;
    text += "  " + tok.attr("string").cast<std::string>();
  }
  return text;
}

// The comment that directly follows the node's last token on its line and ends a logical line.
py::object trailing_comment(py::handle atok, py::handle node) {
  py::object last = node.attr("last_token");
  py::object next = atok.attr("next_token")(last, py::arg("include_extra") = true);
  if (token_name(next) != "COMMENT") return py::none();
  if (start_line(next) != end_line(last)) return py::none();
  if (vettor::hasattr(next, "consumed")) return py::none();
  // A comment that the index also keeps as a placeholder is written by the placeholder.
  if (py::reinterpret_borrow<py::dict>(atok.attr("extra_line_map")).contains(py::int_(start_line(next)))) {
    return py::none();
  }
  std::string after = token_name(atok.attr("next_token")(next, py::arg("include_extra") = true));
  if (after != "NEWLINE" && after != "ENDMARKER") return py::none();
  return next;
}

// Whether the node being rendered leaves its trailing comment to the node whose rendering
// encloses it: that node ends with the same token, so the comment goes after all of it. A node
// that a fix created encloses nodes of the source without ending where they end; only a
// statement's comment is safe to write below it.
bool leaves_comment_to(py::handle enclosing, py::handle node, py::handle line_map) {
  if (is_module(enclosing)) return false;
  if (!vettor::hasattr(enclosing, "last_token")) return !is_statement(node);
  if (on_placeholder_line(enclosing, line_map)) return false;
  return enclosing.attr("last_token").is(node.attr("last_token"));
}

// The line of a compound statement's rendering that holds its header: after its decorators.
std::string with_header_comment(const std::string& code, py::handle node, const std::string& text) {
  std::size_t header = 0;
  py::object decorators = getattr_or_none(node, "decorators");
  if (!decorators.is_none()) header = py::len(decorators.attr("nodes"));
  std::size_t at = 0;
  for (std::size_t line = 0; line <= header; ++line) {
    at = code.find('\n', line == 0 ? 0 : at + 1);
    if (at == std::string::npos) break;
  }
  if (at == std::string::npos) return code + text;
  return code.substr(0, at) + text + code.substr(at);
}

std::string strip(const std::string& text, const char* chars = " \t\n\r\f\v") {
  auto begin = text.find_first_not_of(chars);
  if (begin == std::string::npos) return std::string();
  auto end = text.find_last_not_of(chars);
  return text.substr(begin, end - begin + 1);
}

// ---------------------------------------------------------------------------------------------
// Clauses: the lines between a body and the `elif`, `else`, `except` or `finally` that follows it.
//
// A comment or blank line written there stands after the body's last statement, above the clause
// keyword; no node renders the keyword itself (astroid writes it as part of its statement), so
// those lines belong to the end of that body. Written anywhere else they would move away from
// the code they describe, and in front of an `elif` they would split the keyword ("el# ...\nif").

bool is_gap_token(const std::string& name) {
  return name == "NL" || name == "NEWLINE" || name == "COMMENT" || name == "INDENT" ||
         name == "DEDENT";
}

// The first token after `tok` that is neither a comment, a line break nor an indentation change.
py::object next_code_token(py::handle atok, py::handle tok) {
  py::list tokens = atok.attr("tokens");
  auto count = static_cast<long>(py::len(tokens));
  for (long i = tok.attr("index").cast<long>() + 1; i < count; ++i) {
    py::object next = tokens[i];
    if (!is_gap_token(token_name(next))) return next;
  }
  return py::none();
}

// The last token before `tok` that is neither a comment, a line break nor an indentation change.
py::object previous_code_token(py::handle atok, py::handle tok) {
  py::list tokens = atok.attr("tokens");
  for (long i = tok.attr("index").cast<long>() - 1; i >= 0; --i) {
    py::object previous = tokens[i];
    if (!is_gap_token(token_name(previous))) return previous;
  }
  return py::none();
}

py::object owner_of(py::handle stmts) {
  if (py::len(stmts) == 0) return py::none();
  return getattr_or_none(py::reinterpret_borrow<py::list>(stmts)[0], "parent");
}

bool is_first_body(py::handle owner, py::handle stmts) {
  return !owner.is_none() && getattr_or_none(owner, "body").is(stmts);
}

// Whether a clause of the body's own statement follows the body: `elif`/`else` after the body of
// an if, for or while that has one, `except` after a try's body, the next `except` or the `else`
// after a handler, `finally` after its try's body. The last body of a statement is followed by
// the enclosing statement's clause, if any, and leaves the lines before it to that statement.
bool clause_follows(py::handle stmts) {
  py::object owner = owner_of(stmts);
  if (!is_first_body(owner, stmts)) return false;
  py::object astroid = G("astroid");
  if (vettor::isinstance(owner, py::make_tuple(astroid.attr("If"), astroid.attr("For"),
                                               astroid.attr("While")))) {
    return truthy(owner.attr("orelse"));
  }
  if (vettor::isinstance(owner, py::make_tuple(astroid.attr("TryExcept"),
                                               astroid.attr("TryFinally")))) {
    return true;
  }
  if (vettor::isinstance(owner, astroid.attr("ExceptHandler"))) {
    py::object statement = owner.attr("parent");
    py::list handlers = py::list(getattr_or_none(statement, "handlers"));
    if (py::len(handlers) == 0) return false;
    return handlers[py::len(handlers) - 1].ptr() != owner.ptr() ||
           truthy(getattr_or_none(statement, "orelse"));
  }
  return false;
}

// The last statement of a body that comes from the source, or None.
py::object last_sourced_statement(py::handle stmts) {
  py::list items = py::reinterpret_borrow<py::list>(stmts);
  for (auto i = static_cast<Py_ssize_t>(py::len(items)); i > 0; --i) {
    py::object stmt = items[i - 1];
    if (vettor::hasattr(stmt, "last_token")) return stmt;
  }
  return py::none();
}

// The keyword of the clause that follows the body (see clause_follows), or None.
py::object following_clause(py::handle atok, py::handle stmts) {
  if (!clause_follows(stmts)) return py::none();
  py::object last = last_sourced_statement(stmts);
  if (last.is_none()) return py::none();
  py::object keyword = next_code_token(atok, last.attr("last_token"));
  if (keyword.is_none() || token_name(keyword) != "NAME") return py::none();
  std::string word = keyword.attr("string").cast<std::string>();
  if (word != "elif" && word != "else" && word != "except" && word != "finally") return py::none();
  return keyword;
}

// A token between statements as a line of its own: a comment not yet written elsewhere (it is
// marked as written), or an empty line for a blank one.
void take_gap_line(py::handle tok, const std::string& name, std::vector<std::string>& lines) {
  if (name == "COMMENT" && !vettor::hasattr(tok, "consumed")) {
    tok.attr("consumed") = true;
    lines.push_back(tok.attr("string").cast<std::string>());
  } else if (name == "NL" && tok.attr("line").cast<std::string>() == "\n") {
    lines.push_back(std::string());
  }
}

// The comment and blank lines between the body's last statement and the clause keyword that
// follows, in source order; lines that the index keeps as placeholders are written by those.
std::vector<std::string> lines_before_clause(py::handle atok, py::handle stmts,
                                             py::handle line_map) {
  std::vector<std::string> lines;
  py::object keyword = following_clause(atok, stmts);
  if (keyword.is_none()) return lines;
  py::object last = last_sourced_statement(stmts);
  py::list tokens = atok.attr("tokens");
  long code_line = end_line(last.attr("last_token"));
  py::dict kept = py::reinterpret_borrow<py::dict>(line_map);
  long from = last.attr("last_token").attr("index").cast<long>() + 1;
  long to = keyword.attr("index").cast<long>();
  for (long i = from; i < to; ++i) {
    py::object tok = tokens[i];
    long line = start_line(tok);
    if (line == code_line || kept.contains(py::int_(line))) continue;
    std::string name = token_name(tok);
    take_gap_line(tok, name, lines);
  }
  return lines;
}

// ---------------------------------------------------------------------------------------------
// Placeholders that lie inside nested blocks.
//
// The visitor keeps a list of "pending" placeholders: those that a block being rendered holds by
// its lines but that its scope's body carries. A body of that block takes the ones that lie
// within its lines; whatever no body takes is written after the block, where the scope's body
// would have put it.

py::list pending_of(py::handle self) { return self.attr("_pending_placeholders"); }

void remove_by_identity(py::list items, py::handle item) {
  for (Py_ssize_t i = 0; i < static_cast<Py_ssize_t>(py::len(items)); ++i) {
    if (items[i].ptr() == item.ptr()) {
      items.attr("pop")(i);
      return;
    }
  }
}

bool contains_by_identity(py::list items, py::handle item) {
  for (py::handle each : items) {
    if (each.ptr() == item.ptr()) return true;
  }
  return false;
}

// The pending placeholders within the lines of a body, taken off the pending list, by line.
std::vector<py::object> take_pending(py::handle self, py::handle stmts) {
  std::vector<py::object> taken;
  py::list pending = pending_of(self);
  if (py::len(pending) == 0 || py::len(stmts) == 0) return taken;
  long low = 0, high = 0;
  bool any = false;
  for (py::handle stmt : stmts) {
    py::object first = int_or_none(getattr_or_none(stmt, "fromlineno"));
    py::object last = last_line_of(stmt);
    if (first.is_none() || last.is_none()) continue;
    long f = first.cast<long>(), l = last.cast<long>();
    if (!any || f < low) low = f;
    if (!any || l > high) high = l;
    any = true;
  }
  if (!any) return taken;
  // A block's first body also holds the lines between the block's header and its first statement;
  // a later body (`else`, `finally`, ...) those between its clause's ":" and its first statement.
  py::object owner = owner_of(stmts);
  py::object atok = self.attr("atok");
  if (is_first_body(owner, stmts)) {
    py::object header = int_or_none(getattr_or_none(owner, "fromlineno"));
    if (!header.is_none()) low = std::min(low, header.cast<long>() + 1);
  } else if (!owner.is_none()) {
    py::handle first = py::reinterpret_borrow<py::list>(stmts)[0];
    if (vettor::hasattr(first, "first_token")) {
      py::object colon = previous_code_token(atok, first.attr("first_token"));
      if (!colon.is_none() && colon.attr("string").cast<std::string>() == ":") {
        low = std::min(low, end_line(colon) + 1);
      }
    }
  }
  // And the lines after its last statement, up to the clause that follows it.
  py::object keyword = following_clause(atok, stmts);
  if (!keyword.is_none()) high = std::max(high, start_line(keyword) - 1);
  py::list snapshot = pending.attr("copy")();
  for (py::handle placeholder : snapshot) {
    long line = placeholder.attr("lineno").cast<long>();
    if (line >= low && line <= high) {
      taken.push_back(py::reinterpret_borrow<py::object>(placeholder));
      remove_by_identity(pending, placeholder);
    }
  }
  std::stable_sort(taken.begin(), taken.end(), [](const py::object& a, const py::object& b) {
    return a.attr("lineno").cast<long>() < b.attr("lineno").cast<long>();
  });
  return taken;
}

// The statements of a body in the order they are written: the body's own, with the pending
// placeholders it takes put before the first statement that starts below them.
std::vector<py::object> merged_body(py::handle self, py::handle stmts) {
  std::vector<py::object> taken = take_pending(self, stmts);
  std::vector<py::object> items;
  std::size_t next = 0;
  for (py::handle stmt : stmts) {
    py::object line = int_or_none(getattr_or_none(stmt, "lineno"));
    if (!line.is_none()) {
      while (next < taken.size() && taken[next].attr("lineno").cast<long>() < line.cast<long>()) {
        items.push_back(taken[next++]);
      }
    }
    items.push_back(py::reinterpret_borrow<py::object>(stmt));
  }
  while (next < taken.size()) items.push_back(taken[next++]);
  return items;
}

// The blank lines that end a function's or class's body in the index: the lines between it and the
// next statement, which its stripped rendering loses and the enclosing body writes after it.
std::size_t trailing_blank_lines(py::handle node, py::handle line_map) {
  py::object body = getattr_or_none(node, "body");
  if (body.is_none() || !py::isinstance<py::list>(body) || !node.attr("scope")().is(node)) {
    return 0;
  }
  py::dict lines = py::reinterpret_borrow<py::dict>(line_map);
  py::list stmts = body;
  std::size_t count = 0;
  for (auto i = static_cast<Py_ssize_t>(py::len(stmts)); i > 0; --i) {
    py::object stmt = stmts[i - 1];
    if (!is_placeholder(stmt, line_map)) {
      if (count == 0) return trailing_blank_lines(stmt, line_map);
      break;
    }
    if (!py::str(lines[stmt.attr("lineno")]).cast<std::string>().empty()) break;
    ++count;
  }
  return count;
}

// The blank lines and own-line comments right above a statement that no placeholder stands for
// (an index built without them), in source order: read from the tokens between the statement and
// the code before it.
//
// `clause_comment`: the statement opens a body whose header no node renders (`else:`,
// `finally:`); the comment after that header's ":" becomes the body's first line.
std::vector<std::string> lines_above(py::handle atok, py::handle stmt, py::handle line_map,
                                     bool clause_comment = false) {
  std::vector<std::string> lines;
  if (!vettor::hasattr(stmt, "first_token")) return lines;
  py::list tokens = atok.attr("tokens");
  long first = stmt.attr("first_token").attr("index").cast<long>();
  long begin = first;
  while (begin > 0) {
    std::string name = token_name(tokens[begin - 1]);
    if (name != "NL" && name != "NEWLINE" && name != "COMMENT" && name != "INDENT" &&
        name != "DEDENT") {
      break;
    }
    --begin;
  }
  long code_line = begin > 0 ? end_line(tokens[begin - 1]) : 0;
  if (clause_comment && begin > 0 &&
      tokens[begin - 1].attr("string").cast<std::string>() != ":") {
    clause_comment = false;
  }
  py::dict lines_kept = py::reinterpret_borrow<py::dict>(line_map);
  for (long i = begin; i < first; ++i) {
    py::object tok = tokens[i];
    long line = start_line(tok);
    std::string name = token_name(tok);
    if (line == code_line && clause_comment && name == "COMMENT" &&
        !vettor::hasattr(tok, "consumed")) {
      tok.attr("consumed") = true;
      lines.push_back(tok.attr("string").cast<std::string>());
      continue;
    }
    if (line == code_line || lines_kept.contains(py::int_(line))) continue;
    take_gap_line(tok, name, lines);
  }
  return lines;
}

// The rendered statements of a body. Blank-line placeholders render as the empty text and are
// kept; other empty renderings are dropped unless `keep_empty` (the module's own join keeps them).
std::vector<std::string> render_body(py::handle self, py::handle stmts, bool keep_empty) {
  py::object line_map = self.attr("atok").attr("extra_line_map");
  std::vector<py::object> items = merged_body(self, stmts);
  std::vector<std::string> parts;
  py::object atok = self.attr("atok");
  // A body other than its owner's first one (an `else`, a `finally`) has a header of its own.
  bool clause_body = false;
  if (py::len(stmts) > 0) {
    py::object owner = getattr_or_none(py::reinterpret_borrow<py::list>(stmts)[0], "parent");
    clause_body = !owner.is_none() && !is_module(owner) &&
                  !getattr_or_none(owner, "body").is(stmts);
  }
  py::handle first_statement = py::len(stmts) > 0 ? py::handle(py::reinterpret_borrow<py::list>(stmts)[0]) : py::handle();
  auto emit = [&](py::handle item) {
    bool opens_clause = clause_body && item.ptr() == first_statement.ptr();
    // The lines above an `elif` end the body before it (lines_before_clause).
    if (!is_elif(item)) {
      for (auto& line : lines_above(atok, item, line_map, opens_clause)) parts.push_back(line);
    }
    std::string text = item.attr("accept")(self).cast<std::string>();
    if (keep_empty || !text.empty() || is_placeholder(item, line_map)) parts.push_back(text);
  };
  for (std::size_t i = 0; i < items.size();) {
    py::object item = items[i++];
    if (!is_nested_block(item) || last_line_of(item).is_none()) {
      emit(item);
      if (vettor::hasattr(item, "last_token")) {
        parts.insert(parts.end(), trailing_blank_lines(item, line_map), std::string());
      }
      continue;
    }
    long last = last_line_of(item).cast<long>();
    py::list pending = pending_of(self);
    std::vector<py::object> inside;
    while (i < items.size() && is_placeholder(items[i], line_map) &&
           items[i].attr("lineno").cast<long>() <= last) {
      inside.push_back(items[i]);
      pending.append(items[i]);
      ++i;
    }
    try {
      emit(item);
    } catch (...) {
      for (const auto& placeholder : inside) remove_by_identity(pending, placeholder);
      throw;
    }
    for (const auto& placeholder : inside) {
      if (!contains_by_identity(pending, placeholder)) continue;
      remove_by_identity(pending, placeholder);
      emit(placeholder);
    }
  }
  for (auto& line : lines_before_clause(atok, stmts, line_map)) parts.push_back(line);
  return parts;
}

std::string join_lines(const std::vector<std::string>& parts) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i) out += '\n';
    out += parts[i];
  }
  return out;
}

// Lines that indentation alone would fill are left empty: a blank line stays blank.
std::string indent_lines(const std::string& text, const std::string& indent) {
  std::string out;
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find('\n', start);
    std::string line = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!line.empty()) out += indent + line;
    if (end == std::string::npos) break;
    out += '\n';
    start = end + 1;
  }
  return out;
}

py::str stmt_list(py::object self, py::object stmts, bool indent) {
  std::string joined = join_lines(render_body(self, stmts, false));
  if (!indent) return py::str(joined);
  return py::str(indent_lines(joined, self.attr("indent").cast<std::string>()));
}

// astroid writes an `else:` whose body is one if statement as an `elif`. The source's own form is
// kept: the lines above a nested if (its comments) belong inside the `else`, and written in front
// of it they would split the keyword. An if statement that a fix made has no source form and is
// written as astroid writes it.
bool is_if_inside_else(py::handle node) { return if_keyword(node) == "if"; }

py::str visit_if(py::object self, py::object node) {
  py::list orelse = node.attr("orelse");
  py::object stmt_list = self.attr("_stmt_list");
  std::string text = "if " + node.attr("test").attr("accept")(self).cast<std::string>() + ":\n" +
                     stmt_list(node.attr("body")).cast<std::string>();
  if (truthy(node.attr("has_elif_block")()) && !is_if_inside_else(orelse[0])) {
    text += "\nel" + stmt_list(orelse, py::arg("indent") = false).cast<std::string>();
  } else if (py::len(orelse) > 0) {
    text += "\nelse:\n" + stmt_list(orelse).cast<std::string>();
  }
  return py::str(text);
}

py::str visit_module(py::object self, py::object node) {
  py::object doc = getattr_or_none(node, "doc");
  std::string docs;
  if (truthy(doc)) docs = docstring_literal(doc.cast<std::string>()) + "\n\n";
  return py::str(docs + join_lines(render_body(self, node.attr("body"), true)) + "\n\n");
}

// ---------------------------------------------------------------------------------------------
// The rendering of one node, around the rendering method fetched for it.

// A statement rendered on its own takes along the placeholders that lie within its lines; its
// scope's body holds them.
std::vector<py::object> placeholders_within(py::handle node, py::handle line_map) {
  std::vector<py::object> found;
  if (!is_statement(node)) return found;
  py::object scope = node.attr("scope")();
  if (scope.is(node)) return found;
  py::object first = int_or_none(getattr_or_none(node, "fromlineno"));
  py::object last = last_line_of(node);
  py::object body = getattr_or_none(scope, "body");
  if (first.is_none() || last.is_none() || body.is_none()) return found;
  for (py::handle stmt : body) {
    if (!is_placeholder(stmt, line_map)) continue;
    long line = stmt.attr("lineno").cast<long>();
    if (line > first.cast<long>() && line <= last.cast<long>()) {
      found.push_back(py::reinterpret_borrow<py::object>(stmt));
    }
  }
  return found;
}

// The node's rendering with the comments that belong to it: those inside a compound statement's
// header on its header line, those inside a simple statement's brackets and the trailing one at
// its end.
std::string with_comments(std::string text, py::handle atok, py::handle node, py::handle line_map,
                          py::list rendering) {
  std::string suffix;
  if (is_compound(node)) {
    // The header runs up to the first statement of the body that comes from the source.
    py::object first_statement = py::none();
    for (py::handle stmt : node.attr("body")) {
      if (vettor::hasattr(stmt, "first_token")) {
        first_statement = py::reinterpret_borrow<py::object>(stmt);
        break;
      }
    }
    if (!first_statement.is_none() && vettor::hasattr(node, "first_token")) {
      auto header = loose_comments(atok, node.attr("first_token"),
                                   first_statement.attr("first_token"), line_map);
      if (!header.empty()) text = with_header_comment(text, node, take(header));
    }
  } else if (is_statement(node) && vettor::hasattr(node, "first_token")) {
    suffix += take(loose_comments(atok, node.attr("first_token"), node.attr("last_token"),
                                  line_map));
  }
  py::object trailing = trailing_comment(atok, node);
  bool leaves = py::len(rendering) > 0 &&
                leaves_comment_to(rendering[py::len(rendering) - 1], node, line_map);
  if (!trailing.is_none() && !leaves) {
    trailing.attr("consumed") = true;
    suffix += "  " + trailing.attr("string").cast<std::string>();
  }
  return text + suffix;
}

py::object handle_comment_suffix(py::handle func, py::object self, py::object node) {
  py::object atok = self.attr("atok");
  py::object line_map = atok.attr("extra_line_map");
  py::list rendering = self.attr("_rendering");
  const bool root = py::len(rendering) == 0;

  std::vector<py::object> own_placeholders;
  if (root && !is_module(node) && !on_placeholder_line(node, line_map)) {
    own_placeholders = placeholders_within(node, line_map);
    for (const auto& placeholder : own_placeholders) pending_of(self).append(placeholder);
  }

  rendering.append(node);
  py::object code;
  try {
    code = func(node);
  } catch (...) {
    rendering.attr("pop")();
    if (root) pending_of(self).attr("clear")();
    throw;
  }
  rendering.attr("pop")();

  if (on_placeholder_line(node, line_map)) return code;

  py::object result = code;
  if (vettor::hasattr(node, "last_token")) {
    std::string text = strip(code.cast<std::string>());
    if (!is_module(node)) text = with_comments(text, atok, node, line_map, rendering);
    // The decorators' rendering ends in the line break that separates them from the `def` or
    // `class` line written right after them.
    if (vettor::isinstance(node, G("astroid").attr("Decorators"))) text += "\n";
    result = py::str(text);
  }
  // What the statement's bodies did not take stood inside its brackets: it goes after it.
  std::vector<std::string> rest;
  py::list pending = pending_of(self);
  for (const auto& placeholder : own_placeholders) {
    if (!contains_by_identity(pending, placeholder)) continue;
    remove_by_identity(pending, placeholder);
    rest.push_back(placeholder.attr("accept")(self).cast<std::string>());
  }
  if (rest.empty()) return result;
  return py::str(result.cast<std::string>() + "\n" + join_lines(rest));
}

py::object with_comment_decorator(py::object self, py::object func) {
  py::cpp_function handler(
      [func](py::object visitor, py::object node) {
        return handle_comment_suffix(func, visitor, node);
      },
      py::name("handle_comment_suffix"), py::arg("self"), py::arg("node"));
  return lookup("functools", "partial")(handler, self);
}

// ---------------------------------------------------------------------------------------------

py::object make_visitor_class(py::module_& m) {
  py::dict ns;
  ns["__doc__"] = "Visitor to render an Astroid node as a valid python code string";
  py::object cls = make_class(m, "CommentAwareAsStringVisitor", bases_of(m.attr("AsStringVisitor")),
                              ns);
  py::handle cls_handle = cls;

  add_init(
      cls,
      [cls_handle](py::object self, py::object atok, py::args args, py::kwargs kwargs) {
        self.attr("atok") = atok;
        // Which nodes are being rendered, innermost last, and the placeholders that a block
        // being rendered holds for its bodies.
        self.attr("_rendering") = py::list();
        self.attr("_pending_placeholders") = py::list();
        super(cls_handle, self).attr("__init__")(*args, **kwargs);
      },
      py::arg("atok"));

  // Every rendering method fetched from an instance comes wrapped, for the node asked for and
  // for each child the base renders. object's own look-up is what super() would reach: the
  // base defines none of its own.
  add_method(cls, "__getattribute__", [](py::object self, py::str name) -> py::object {
    PyObject* found = PyObject_GenericGetAttr(self.ptr(), name.ptr());
    if (!found) throw py::error_already_set();
    py::object value = py::reinterpret_steal<py::object>(found);
    if (name.cast<std::string>().rfind("visit_", 0) != 0) return value;
    return self.attr("with_comment_decorator")(value);
  }, py::arg("name"));

  add_method(cls, "visit_call", [cls_handle](py::object self, py::object node) -> py::object {
    py::dict line_map = self.attr("atok").attr("extra_line_map");
    if (is_placeholder(node, line_map)) return line_map[getattr_or_none(node, "lineno")];
    return super(cls_handle, self).attr("visit_call")(node);
  }, py::arg("node"));

  add_method(cls, "with_comment_decorator", &with_comment_decorator, py::arg("func"));

  // Bodies keep their blank lines and take the placeholders of the blocks they are in.
  add_method(cls, "visit_module", &visit_module, py::arg("node"));
  add_method(cls, "visit_if", &visit_if, py::arg("node"));
  add_rendering_repairs(cls);
  add_method(cls, "_stmt_list", &stmt_list, py::arg("stmts"), py::arg("indent") = true);
  return cls;
}

// A rendering without trailing whitespace and leading line breaks.
py::str trimmed(std::string code) {
  auto end = code.find_last_not_of(" \t\n\r\f\v");
  code = end == std::string::npos ? std::string() : code.substr(0, end + 1);
  auto begin = code.find_first_not_of('\n');
  return py::str(begin == std::string::npos ? std::string() : code.substr(begin));
}

py::str node_as_string(py::object atok, py::object node) {
  py::object visitor =
      G("CommentAwareAsStringVisitor")(py::arg("indent") = "    ", py::arg("atok") = atok);
  return trimmed(visitor(node).cast<std::string>());
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Where astroid's rendering would not read back as the code it renders. Both renderers of this
// module take these methods: code a fix rewrote must parse to the tree the fix made.

namespace {

// An unpacked value in a display (`{**x}`, `[*x]`) binds as tightly as `|` does: astroid writes
// the value bare, so `**(extra or {})` came out as `**extra or {}`, which does not parse.
std::string unpacked(py::object self, py::handle value) {
  std::string text = value.attr("accept")(self).cast<std::string>();
  py::object precedence = lookup("astroid.nodes.const", "OP_PRECEDENCE")[py::str("|")];
  bool loose = value.attr("op_precedence")().cast<long>() < precedence.cast<long>();
  return loose ? "(" + text + ")" : text;
}

py::str visit_dict(py::object self, py::object node) {
  std::string text;
  py::object unpack = G("astroid").attr("DictUnpack");
  for (py::handle item : node.attr("items")) {
    py::object key = item[py::int_(0)];
    py::object value = item[py::int_(1)];
    if (!text.empty()) text += ", ";
    if (vettor::isinstance(key, unpack)) {
      text += "**" + unpacked(self, value);
    } else {
      text += key.attr("accept")(self).cast<std::string>() + ": " +
              value.attr("accept")(self).cast<std::string>();
    }
  }
  return py::str("{" + text + "}");
}

py::str visit_starred(py::object self, py::object node) {
  return py::str("*" + unpacked(self, node.attr("value")));
}

// A tuple the author wrote without brackets is written without them again where a bare tuple
// stands alone (`invitation, created = ...`, `return a, b`, `for k, v in ...`): astroid put
// brackets around every tuple, so a fixed statement came back as `(invitation, created) = ...`.
// Everywhere else, and for a tuple a fix made, astroid's brackets stay.
py::str visit_tuple(py::object self, py::object node) {
  py::object base = G("AsStringVisitor").attr("visit_tuple");
  py::object first = getattr_or_none(node, "first_token");
  py::list elements = node.attr("elts");
  if (first.is_none() || elements.empty() || py::str(first.attr("string")).equal(py::str("("))) {
    return base(self, node);
  }
  py::object astroid = G("astroid");
  py::object parent = getattr_or_none(node, "parent");
  bool alone = vettor::isinstance(parent, py::make_tuple(astroid.attr("Assign"), astroid.attr("AugAssign"),
                                                         astroid.attr("For"), astroid.attr("Comprehension"),
                                                         astroid.attr("Return"), astroid.attr("Expr")));
  if (!alone) return base(self, node);
  std::string text;
  for (py::handle element : elements) {
    if (!text.empty()) text += ", ";
    text += element.attr("accept")(self).cast<std::string>();
  }
  if (elements.size() == 1) text += ",";
  return py::str(text);
}

// An assignment expression is written in brackets wherever it stands: astroid wrote it bare,
// so `if (n := len(a)) > 10` came back as `if n := len(a) > 10` (another meaning) and
// `s = (t := 3)` as `s = t := 3` (no Python at all). Brackets are valid in every place one
// can stand.
py::str visit_namedexpr(py::object self, py::object node) {
  return py::str("(" + node.attr("target").attr("accept")(self).cast<std::string>() + " := " +
                 node.attr("value").attr("accept")(self).cast<std::string>() + ")");
}

// A yield stands bare only as a statement of its own or as the whole value of an assignment;
// astroid also wrote it bare after `return`, where it does not parse.
std::string yield_text(py::object self, py::object node, const char* keyword) {
  py::object value = node.attr("value");
  std::string text = keyword;
  if (!value.is_none()) text += " " + value.attr("accept")(self).cast<std::string>();
  py::object parent = getattr_or_none(node, "parent");
  py::object astroid = G("astroid");
  bool bare = vettor::isinstance(parent, astroid.attr("Expr")) ||
              (vettor::isinstance(parent, py::make_tuple(astroid.attr("Assign"),
                                                         astroid.attr("AugAssign"),
                                                         astroid.attr("AnnAssign"))) &&
               getattr_or_none(parent, "value").is(node));
  return bare ? text : "(" + text + ")";
}

py::str visit_yield(py::object self, py::object node) {
  return py::str(yield_text(self, node, "yield"));
}

py::str visit_yieldfrom(py::object self, py::object node) {
  return py::str(yield_text(self, node, "yield from"));
}

// The docstring of a function or class, on the line after its header.
py::str docs_dedent(py::object self, py::object doc) {
  std::string literal = docstring_literal(doc.cast<std::string>());
  std::string newline = lookup("astroid.nodes.as_string", "DOC_NEWLINE").cast<std::string>();
  std::string text;
  for (char c : literal) {
    if (c == '\n') {
      text += newline;
    } else {
      text += c;
    }
  }
  return py::str("\n" + self.attr("indent").cast<std::string>() + text);
}

}  // namespace

// Triple double quotes around the text, escaped where the text would otherwise read back as
// another one: a backslash stays a backslash (astroid wrote `C:\dir` as an escape), a quote
// that would close the literal early or run into its closing quotes is escaped, and so are
// the characters the tokenizer would not keep (a carriage return, a NUL).
std::string docstring_literal(const std::string& doc) {
  std::string body;
  for (std::size_t i = 0; i < doc.size();) {
    char c = doc[i];
    if (c == '"') {
      std::size_t run = doc.find_first_not_of('"', i);
      if (run == std::string::npos) run = doc.size();
      bool last = run == doc.size();
      for (std::size_t k = i; k < run; ++k) {
        bool third = (k - i + 1) % 3 == 0;
        body += (third || (last && k + 1 == run)) ? "\\\"" : "\"";
      }
      i = run;
      continue;
    }
    if (c == '\\') {
      body += "\\\\";
    } else if (c == '\r') {
      body += "\\r";
    } else if (c == '\0') {
      body += "\\x00";
    } else {
      body += c;
    }
    ++i;
  }
  return "\"\"\"" + body + "\"\"\"";
}

void add_rendering_repairs(py::handle cls) {
  add_method(cls, "visit_dict", &visit_dict, py::arg("node"));
  add_method(cls, "visit_starred", &visit_starred, py::arg("node"));
  add_method(cls, "visit_tuple", &visit_tuple, py::arg("node"));
  add_method(cls, "visit_namedexpr", &visit_namedexpr, py::arg("node"));
  add_method(cls, "visit_yield", &visit_yield, py::arg("node"));
  add_method(cls, "visit_yieldfrom", &visit_yieldfrom, py::arg("node"));
  add_method(cls, "_docs_dedent", &docs_dedent, py::arg("doc"));
}

namespace {

py::object make_statement_visitor_class(py::module_& m) {
  py::dict ns;
  ns["__doc__"] =
      "Visitor to render a fixed statement as code that parses back to it, without comments";
  py::object cls = make_class(m, "StatementAsStringVisitor", bases_of(m.attr("AsStringVisitor")), ns);
  add_rendering_repairs(cls);
  return cls;
}

// The code of a node that a fix made or changed, as it is written back into the source: the
// comments and spellings of the source are laid over it afterwards where its tokens match.
py::str render_statement(py::object node) {
  py::object visitor = G("StatementAsStringVisitor")(py::arg("indent") = "    ");
  return trimmed(visitor(node).cast<std::string>());
}

}  // namespace

void register_renderer(py::module_& m) {
  // The module's load-time names this file reads, unless the module body bound them already.
  if (!vettor::hasattr(m, "astroid")) m.attr("astroid") = import("astroid");
  if (!vettor::hasattr(m, "tok_name")) m.attr("tok_name") = lookup("token", "tok_name");
  if (!vettor::hasattr(m, "AsStringVisitor")) {
    m.attr("AsStringVisitor") = on_error(
        PyExc_ModuleNotFoundError,
        [] { return lookup("astroid.as_string", "AsStringVisitor"); },
        [] { return lookup("astroid.nodes.as_string", "AsStringVisitor"); });
  }
  m.attr("CommentAwareAsStringVisitor") = make_visitor_class(m);
  m.def("node_as_string", &node_as_string, py::arg("atok"), py::arg("node"));
  m.attr("StatementAsStringVisitor") = make_statement_visitor_class(m);
  m.def("render_statement", &render_statement, py::arg("node"));
}

}  // namespace vettor::suggest
