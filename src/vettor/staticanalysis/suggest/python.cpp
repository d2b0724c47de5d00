// suggest: suggestions for Python files. The statement at a finding's line is either rewritten
// by the fixes of the line's codes (with the other statements a fix touched or created), or
// repeated with a disable pragma on the finding's line.
//
// Fixes hand over statements other than the visited one through two lists on the module node:
// `replace_other_nodes` (statements of the source changed in place) and `new_nodes`
// (statements with no place in the source yet). They are made anew for every line.
#include <algorithm>
#include <functional>
#include <string>
#include <tuple>
#include <vector>

#include "suggest.hpp"

namespace vettor::suggest {

namespace {

constexpr const char* kPragma = "  # vettor: disable=";
constexpr const char* kBlackFailed = "Failed to apply Black format to generated code.";

py::object constants(const char* name) { return G("constants").attr(name); }

long line_of(py::handle position) {
  return py::reinterpret_borrow<py::object>(position)[py::int_(0)].cast<long>();
}
long first_line(py::handle node) { return line_of(node.attr("first_token").attr("start")); }
// A statement's range ends where its last token ends: a string literal over several lines is
// replaced as a whole, not cut after its first line.
long last_line(py::handle node) { return line_of(node.attr("last_token").attr("end")); }

bool meets(py::handle message_ids, const char* family) {
  return py::len(message_ids.attr("intersection")(constants(family))) > 0;
}

bool is_false(py::handle value) { return value.ptr() == Py_False; }

// The source lines, without their line breaks, as the suggestions replace them.
// Split at "\n" only, as the tokenizer counts lines (a form feed or a line separator inside a
// line does not start a new one).
py::list source_lines(py::handle atok) { return atok.attr("text").attr("split")("\n"); }

py::str source_line(py::handle atok, long number) {
  py::list lines = source_lines(atok);
  if (number < 1 || number > static_cast<long>(lines.size())) return py::str("");
  return lines[static_cast<size_t>(number - 1)];
}

// What stands on the node's first line before it and on its last line after it. A suggestion
// replaces whole lines, so a statement that shares them with another one (after a ";") cannot
// be suggested on its own without losing or repeating the other one.
struct Surroundings {
  bool shared = false;
  std::string trailing_comment;  // a comment after the last token, on the same line
};

Surroundings surroundings(py::handle atok, py::handle node) {
  Surroundings result;
  py::str text = atok.attr("text");
  long start = node.attr("first_token").attr("startpos").cast<long>();
  long end = node.attr("last_token").attr("endpos").cast<long>();
  long line_start = text.attr("rfind")("\n", 0, start).cast<long>() + 1;
  std::string before = py::str(text[py::slice(line_start, start, 1)]);
  if (before.find_first_not_of(" \t\f") != std::string::npos) result.shared = true;
  long line_end = text.attr("find")("\n", end).cast<long>();
  if (line_end < 0) line_end = static_cast<long>(py::len(text));
  std::string after = py::str(text[py::slice(end, line_end, 1)]);
  size_t at = after.find_first_not_of(" \t\f\r;");
  if (at != std::string::npos) {
    if (after[at] == '#') {
      result.trailing_comment = after.substr(at);
      while (!result.trailing_comment.empty() &&
             (result.trailing_comment.back() == '\r' || result.trailing_comment.back() == ' ')) {
        result.trailing_comment.pop_back();
      }
    } else {
      result.shared = true;
    }
  }
  return result;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// ---------------------------------------------------------------------------------------
// One statement, fixed

// The fixed statement as the fix road writes it: the source's own lines from the statement's
// first to its last, with only what the fixes changed on them written anew (the splice
// machinery keeps every other token's spelling, the line breaks and the comments), less the
// statement's indentation. None when a change on those lines was not rendered faithfully, or
// when a line does not begin with that indentation or a string runs over several of them
// (taking the indentation off would change what the text says).
py::object faithful_statement(py::handle atok, py::handle watch, py::handle node) {
  py::str text = atok.attr("text");
  long length = static_cast<long>(py::len(text));
  long first = node.attr("first_token").attr("startpos").cast<long>();
  long begin = text.attr("rfind")("\n", 0, first).cast<long>() + 1;
  long finish = text.attr("find")("\n", node.attr("last_token").attr("endpos")).cast<long>();
  if (finish < 0) finish = length;
  py::list inside;
  for (py::handle change : G("statement_changes")(py::arg("atok") = atok, py::arg("watch") = watch)) {
    long start = change.attr("start").cast<long>();
    long end = change.attr("end").cast<long>();
    // Another statement's (an import the fix edited): suggested on its own.
    if (end <= begin || start >= finish) continue;
    if (start < begin || end > finish || change.attr("text").is_none()) return py::none();
    inside.append(change.attr("_replace")(py::arg("start") = start - begin,
                                          py::arg("end") = end - begin));
  }
  if (inside.empty()) return py::none();
  py::object string_type = lookup("token", "STRING");
  py::object tokens = atok.attr("token_range")(node.attr("first_token"), node.attr("last_token"));
  for (py::handle token : tokens) {
    if (py::object(token.attr("type")).equal(string_type) &&
        truthy(token.attr("string").attr("__contains__")("\n")))
      return py::none();
  }
  std::string indentation = py::str(text[py::slice(begin, first, 1)]);
  std::string spliced =
      py::str(G("splice_changes")(text[py::slice(begin, finish, 1)], inside)).cast<std::string>();
  std::string out;
  size_t at = 0;
  while (true) {
    size_t newline = spliced.find('\n', at);
    std::string line = spliced.substr(at, newline == std::string::npos ? std::string::npos : newline - at);
    if (line.compare(0, indentation.size(), indentation) == 0) {
      out += line.substr(indentation.size());
    } else if (line.find_first_not_of(" \t\f\r") != std::string::npos) {
      return py::none();
    }
    if (newline == std::string::npos) break;
    out += '\n';
    at = newline + 1;
  }
  return py::str(out);
}

// The code each transform of a family's visitors fixes, from visitors of one code each: what
// the rule module itself registers for that code.
void note_transforms(py::dict& code_of, py::handle message_ids, const char* family,
                     const std::function<py::object(py::handle)>& visitor_for) {
  for (py::handle code : message_ids.attr("intersection")(constants(family))) {
    py::object registry = getattr_or_none(visitor_for(code), "transforms");
    if (!PyDict_Check(registry.ptr())) continue;
    for (auto item : py::dict(registry)) {
      for (py::handle pair : item.second) code_of[py::tuple(py::reinterpret_borrow<py::object>(pair))[0]] = code;
    }
  }
}

// The codes whose fixes changed the tree in this call, kept on the module node for the review
// driver (what a suggestion may change is said for the fixes that made it).
void note_fixed(py::handle tree, py::handle watch, py::dict& code_of) {
  py::object fixed = getattr_or_none(tree, "vettor_fixed_codes");
  if (!PySet_Check(fixed.ptr())) return;
  for (py::handle run : watch.attr("runs")) {
    bool changed = py::len(run) < 5 || truthy(run[py::int_(4)]);
    if (!changed || !py::object(run[py::int_(3)]).is_none()) continue;
    py::object code = code_of.attr("get")(run[py::int_(0)]);
    if (!code.is_none()) fixed.attr("add")(code);
  }
}

py::object get_suggestion_for_python(py::object atok, py::object node, py::object message_ids,
                                     py::object settings_modpath) {
  py::int_ start(first_line(node));
  py::int_ end(last_line(node));
  py::object code_before = node.attr("as_string")();
  // What the fixes change is watched, so the statement can be written as the fix road writes it;
  // only what they make of the statement's own lines is asked for, so only its statement is.
  py::object watch = G("FixWatch")(node.attr("root")(), py::arg("scope") = node);
  py::dict code_of;

  struct Family {
    const char* set;
    const char* module;
  };
  for (const Family& family : {Family{"TRANSFORMABLE_MODEL_FIELD_RULES", "columns"},
                               Family{"TRANSFORMABLE_URL_RULES", "urls"},
                               Family{"TRANSFORMABLE_MIGRATION_RULES", "migrations"},
                               Family{"TRANSFORMABLE_QUERYSET_RULES", "querysets"}}) {
    if (!meets(message_ids, family.set)) continue;
    py::object rules = G(family.module);
    note_transforms(code_of, message_ids, family.set, [&](py::handle code) {
      return rules.attr("build_transformer_visitor")(list_of(code));
    });
    py::object visitor = rules.attr("build_transformer_visitor")(message_ids);
    watch.attr("watch")(visitor);
    visitor.attr("visit")(node);
  }

  if (meets(message_ids, "TRANSFORMABLE_SETTINGS_RULES")) {
    py::object settings = G("settings");
    for (const char* removed : {"C4005", "C4015"}) {
      if (!truthy(message_ids.attr("__contains__")(removed))) continue;
      py::object result = settings.attr("remove_node")(py::arg("atok") = atok, py::arg("node") = node,
                                                       py::arg("start") = start, py::arg("end") = end);
      py::object fixed = getattr_or_none(node.attr("root")(), "vettor_fixed_codes");
      if (PySet_Check(fixed.ptr()) && !py::object(py::tuple(result)[2]).is_none()) {
        fixed.attr("add")(removed);
      }
      return result;
    }
    note_transforms(code_of, message_ids, "TRANSFORMABLE_SETTINGS_RULES", [&](py::handle code) {
      return settings.attr("build_transformer_visitor")(py::arg("message_ids") = list_of(code),
                                                        py::arg("settings_modpath") = settings_modpath);
    });
    py::object visitor = settings.attr("build_transformer_visitor")(
        py::arg("message_ids") = message_ids, py::arg("settings_modpath") = settings_modpath);
    watch.attr("watch")(visitor);
    visitor.attr("visit")(node.attr("root")());
  }
  note_fixed(node.attr("root")(), watch, code_of);

  py::object code_after = node.attr("as_string")();
  if (!code_after.equal(code_before)) {
    py::object faithful = faithful_statement(atok, watch, node);
    if (!faithful.is_none()) {
      // Told to get_suggestions_for_python: the text is the author's own lines.
      node.attr("root")().attr("spliced_statement") = py::bool_(true);
      return py::make_tuple(start, end, faithful);
    }
    std::string rendered = py::str(G("node_as_string")(py::arg("atok") = atok, py::arg("node") = node));
    // The comment after a statement's last token belongs to the lines being replaced; keep it
    // when the rendering left it out (after a closing bracket, or attached once already).
    std::string comment = surroundings(atok, node).trailing_comment;
    if (!comment.empty() && !ends_with(rendered, comment)) rendered += "  " + comment;
    // An `elif` renders as the if statement it is; its lines begin with the clause keyword.
    if (is_elif(node) && rendered.rfind("if", 0) == 0) rendered = "el" + rendered;
    return py::make_tuple(start, end, py::str(rendered));
  }
  return py::make_tuple(py::none(), py::none(), py::none());
}

// ---------------------------------------------------------------------------------------
// The disable pragma

// The line on which the logical line that holds the node's last token ends: further than the
// node when a statement after a ";" continues on later lines.
long logical_end(py::handle atok, py::handle node) {
  long end = last_line(node);
  py::list tokens = atok.attr("tokens");
  auto count = static_cast<long>(py::len(tokens));
  for (long i = node.attr("last_token").attr("index").cast<long>() + 1; i < count; ++i) {
    py::object token = tokens[i];
    std::string name = token_name(token);
    if (name == "NEWLINE" || name == "ENDMARKER") return std::max(end, line_of(token.attr("start")));
  }
  return end;
}

// The line that can take the pragma: the finding's line, or, when that line ends inside a
// string literal or with a backslash, the line where that construct ends (a comment there is
// still read for the finding's line by a backslash continuation, and never breaks a string).
long pragma_line(py::handle atok, long line, long last) {
  py::list lines = source_lines(atok);
  for (bool moved = true; moved && line < last;) {
    moved = false;
    for (py::handle token : atok.attr("tokens")) {
      long from = line_of(token.attr("start"));
      if (from > line) break;
      long to = line_of(token.attr("end"));
      if (from <= line && to > line) {
        line = to;
        moved = true;
      }
    }
    if (line < last && line <= static_cast<long>(lines.size())) {
      std::string text = py::str(lines[static_cast<size_t>(line - 1)]);
      while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.pop_back();
      if (ends_with(text, "\\")) {
        ++line;
        moved = true;
      }
    }
  }
  return line;
}

// Whether a line begins afresh: the line before it ended in a line break that the tokenizer
// saw, not a backslash or a string running on. pylint reads a pragma after the code of such
// a line for the line itself, and one after the code of a line that continues another for the
// line before it; a comment line of its own may stand only in front of such a line.
bool begins_afresh(py::handle atok, long line) {
  long previous = 0;  // the line of the token before, 0 before the first
  bool saw = true, seen = true;
  for (py::handle token : atok.attr("tokens")) {
    long from = line_of(token.attr("start"));
    if (previous != 0 && previous != from) {
      saw = seen;
      seen = false;
    }
    if (from == line) return saw;
    if (from > line) return false;  // no token starts on it: it lies inside one
    previous = from;
    std::string name = token_name(token);
    if (name == "NL" || name == "NEWLINE") seen = true;
  }
  return false;
}

// Whether a line ends where a comment may follow its code: not in a backslash, not inside a
// string that runs on.
bool ends_cleanly(py::handle atok, long line) {
  for (py::handle token : atok.attr("tokens")) {
    long from = line_of(token.attr("start"));
    if (from > line) break;
    if (line_of(token.attr("end")) > line) return false;
  }
  std::string text = py::str(source_line(atok, line));
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.pop_back();
  }
  return !ends_with(text, "\\");
}

// The line with the symbols added to the disable pragma its comment carries already, or None
// when it carries none.
py::object merged_pragma(py::handle atok, py::object text, long line, py::list symbols) {
  py::object comment = py::none();
  for (py::handle token : atok.attr("tokens")) {
    long from = line_of(token.attr("start"));
    if (from > line) break;
    if (from == line && token_name(token) == "COMMENT") {
      comment = py::reinterpret_borrow<py::object>(token);
    }
  }
  if (comment.is_none()) return py::none();
  py::str string = comment.attr("string");
  py::object match = py::none();
  for (py::handle found : G("re").attr("finditer")(R"(#\s*(?:vettor|pylint):\s*disable\s*=\s*([^#]*?)(\s*(?:#|$)))", string)) {
    match = py::reinterpret_borrow<py::object>(found);
  }
  if (match.is_none()) return py::none();
  py::list names;
  for (py::handle name : match.attr("group")(1).attr("split")(",")) {
    py::object stripped = name.attr("strip")();
    if (truthy(stripped)) names.append(stripped);
  }
  for (py::handle symbol : symbols) {
    if (!names.contains(symbol)) names.append(symbol);
  }
  long from = match.attr("start")(1).cast<long>();
  long to = match.attr("end")(1).cast<long>();
  py::str new_comment = py::str(string[py::slice(0, from, 1)]) + py::str(", ").attr("join")(names) +
                        py::str(string[py::slice(to, py::len(string), 1)]);
  long column = comment.attr("start")[py::int_(1)].cast<long>();
  long column_end = column + static_cast<long>(py::len(string));
  return py::str(text[py::slice(0, column, 1)]) + new_comment +
         py::str(text[py::slice(column_end, py::len(text), 1)]);
}

// The pragma for a finding on the module (a code reported on the module as a whole, or a
// line 1 that no statement holds): pylint reads it for the whole module only from a comment
// line of its own above the module's first statement, so it goes there, after any "#!" line,
// coding cookie, comment or docstring the file starts with. A comment line right above that
// statement that carries a pragma already gets the symbols added to it.
py::list module_pragma_suggestion(py::handle atok, py::handle message_ids,
                                  py::handle message_id_symbol_store) {
  py::list symbols = pragma_symbols(message_ids, message_id_symbol_store);
  py::list suggestions;
  if (symbols.empty()) return suggestions;  // nothing to silence: no empty pragma
  py::list body = atok.attr("tree").attr("body");
  long first = 0;
  for (py::handle statement : body) {
    if (!py::hasattr(statement, "first_token")) continue;
    first = first_line(statement);
    break;
  }
  if (first == 0) return suggestions;  // no statement: nothing to silence
  if (first > 1) {
    std::string above = py::str(source_line(atok, first - 1));
    size_t code = above.find_first_not_of(" \t\f");
    py::object merged = code != std::string::npos && above[code] == '#'
                            ? merged_pragma(atok, py::str(above), first - 1, symbols)
                            : py::object(py::none());
    if (!merged.is_none()) {
      suggestions.append(list_of(py::int_(first - 1), py::int_(first - 1), merged));
      return suggestions;
    }
  }
  std::string text = std::string(kPragma + 2) + std::string(py::str(py::str(", ").attr("join")(symbols))) +
                     "\n" + std::string(py::str(source_line(atok, first)));
  suggestions.append(list_of(py::int_(first), py::int_(first), py::str(text)));
  return suggestions;
}

py::list pragma_suggestion(py::object atok, py::object node, py::object line,
                           py::object message_ids, py::object message_id_symbol_store) {
  py::object tree = atok.attr("tree");
  py::object line_node = G("astroid").attr("builder").attr("_find_statement_by_line")(tree, line);
  py::list symbols = pragma_symbols(message_ids, message_id_symbol_store);
  if (symbols.empty()) return py::list();  // nothing to silence: no empty pragma
  std::string symbols_text = py::str(py::str(", ").attr("join")(symbols));

  // The block repeats whole source lines, from the finding's line to the one that takes the
  // pragma: what shares them (a comment after the code, a statement after a ";") is kept, and
  // only the pragma is added. The rest of the statement is not repeated (a class or a
  // function is silenced from its header line): that would hide what changed, and collide
  // with the comments on the statement's other lines.
  long start = first_line(node);
  long end = logical_end(atok, node);
  // The finding's own line. A decorated definition starts on its decorator, but the finding
  // (and pylint's reading of the pragma) is on the line of `def` or `class`.
  long at = line.cast<long>();
  if (at < start || at > end) {
    at = line_node.is_none() ? start : line_of(line_node.attr("first_token").attr("start"));
  }
  // pylint reads a pragma after the code of a line for that line only when the line begins
  // afresh; after a line that continues another (a backslash, a string running on), for the
  // line before it. So the pragma goes after the finding's own line when it can, after the
  // next line when the finding's line ends in a backslash that the next one ends, and
  // otherwise on a line of its own above the finding's line (disable-next). A line that none
  // of these reach gets no suggestion rather than one that would not silence it.
  long target = pragma_line(atok, at, end);
  bool afresh = begins_afresh(atok, at);
  if (!(afresh && target == at)) {
    bool next_reads_it = target == at + 1 && ends_cleanly(atok, target) &&
                         !begins_afresh(atok, target);
    if (afresh && !next_reads_it) {
      std::string own = py::str(source_line(atok, at));
      std::string indentation = own.substr(0, own.find_first_not_of(" \t\f"));
      std::string line_end = !own.empty() && own.back() == '\r' ? "\r" : "";
      py::list suggestions;
      suggestions.append(list_of(py::int_(at), py::int_(at),
                                 py::str(indentation + "# vettor: disable-next=" + symbols_text +
                                         line_end + "\n" + own)));
      return suggestions;
    }
    if (!next_reads_it) return py::list();
  }
  start = at;
  end = target;
  py::list lines = source_lines(atok)[py::slice(start - 1, end, 1)];
  size_t index = static_cast<size_t>(target - start);
  // pylint reads one pragma per comment, the last: a line that carries one already gets the
  // symbols added to it, or a second one would switch the first off.
  py::object merged = merged_pragma(atok, lines[index], target, symbols);
  if (!merged.is_none()) {
    lines[index] = merged;
  } else {
    std::string item = py::str(lines[index]);
    std::string line_end;
    if (!item.empty() && item.back() == '\r') {
      line_end = "\r";
      item.pop_back();
    }
    while (!item.empty() && (item.back() == ' ' || item.back() == '\t')) item.pop_back();
    lines[index] = py::str(item + kPragma + symbols_text + line_end);
  }

  py::list suggestions;
  suggestions.append(list_of(py::int_(start), py::int_(end), py::str("\n").attr("join")(lines)));
  return suggestions;
}

// ---------------------------------------------------------------------------------------
// Where a new statement goes

// The source line after which a statement a fix created goes, or 0 for in front of line 1:
// the place in the module's body the fix road gives it (helpers.new_statement_index), on the
// line the splice machinery writes it at (new_statement_position). A statement the fix did
// not put into the body is put there only for as long as its place is looked up.
long new_statement_after(py::handle atok, py::handle node, long lines) {
  py::object tree = atok.attr("tree");
  py::list body = tree.attr("body");
  bool in_body = false;
  for (py::handle item : body) in_body = in_body || item.is(node);
  py::object parent = getattr_or_none(node, "parent");
  py::object position;
  if (in_body) {
    position = G("new_statement_position")(atok, node);
  } else {
    py::object index = G("helpers").attr("new_statement_index")(tree, node);
    body.insert(index.cast<long>(), node);
    node.attr("parent") = tree;
    try {
      position = G("new_statement_position")(atok, node);
    } catch (py::error_already_set&) {
      body.attr("remove")(node);
      node.attr("parent") = parent;
      throw;
    }
    body.attr("remove")(node);
    node.attr("parent") = parent;
  }
  if (position.is_none()) {
    bool import = vettor::isinstance(node, py::make_tuple(G("astroid").attr("Import"),
                                                          G("astroid").attr("ImportFrom")));
    return import ? 0 : lines;
  }
  long offset = position[py::int_(1)].cast<long>();
  if (offset >= static_cast<long>(py::len(atok.attr("text")))) return lines;
  return position[py::int_(0)].cast<long>() - 1;
}

// ---------------------------------------------------------------------------------------
// A finding line, all its suggestions

// The fixed statement as the author's own lines with the fixes spliced in, given back its
// indentation, without Black: a reviewer sees only what the fix changed. The string literals a
// fix wrote take the file's quote. None when a line the fix changed no longer fits the
// project's line length: Black then lays the statement out.
py::object as_written(py::handle atok, py::handle node, py::str spliced, py::str indentation,
                      py::handle code_style, py::handle comma_character_target) {
  long limit = 88;  // Black's own line length
  py::object given = code_style.attr("get")("line_length");
  if (py::isinstance<py::int_>(given)) limit = given.cast<long>();
  std::string original = py::str(atok.attr("text"));
  py::list source = source_lines(atok);
  std::vector<std::string> kept;
  for (long number = first_line(node); number <= last_line(node); ++number) {
    kept.push_back(py::str(source[static_cast<size_t>(number - 1)]));
  }
  auto is_kept = [&](const std::string& line) {
    return std::find(kept.begin(), kept.end(), line) != kept.end();
  };

  std::vector<std::string> lines;
  py::list parts = spliced.attr("split")("\n");
  std::string prefix = indentation;
  for (py::handle part : parts) {
    std::string text = py::str(part);
    lines.push_back(text.empty() ? text : prefix + text);
  }
  // New literals (on a changed line, and nowhere in the source) take the file's quote.
  py::object string_type = lookup("token", "STRING");
  try {
    py::object readline = lookup("io", "StringIO")(spliced).attr("readline");
    std::vector<std::tuple<long, long, long, std::string>> edits;  // line, from, to, text
    for (py::handle tok : lookup("tokenize", "generate_tokens")(readline)) {
      if (!py::object(tok.attr("type")).equal(string_type)) continue;
      py::tuple from = tok.attr("start");
      py::tuple to = tok.attr("end");
      long row = from[0].cast<long>();
      if (row != to[0].cast<long>()) continue;
      std::string literal = py::str(tok.attr("string"));
      if (is_kept(lines[static_cast<size_t>(row - 1)]) || original.find(literal) != std::string::npos) continue;
      std::string quoted = py::str(G("normalize_string_quotes")(
          py::arg("comma_character_target") = comma_character_target, py::arg("s") = literal));
      long offset = lines[static_cast<size_t>(row - 1)].empty() ? 0 : static_cast<long>(prefix.size());
      edits.emplace_back(row, from[1].cast<long>() + offset, to[1].cast<long>() + offset, quoted);
    }
    for (auto it = edits.rbegin(); it != edits.rend(); ++it) {
      auto& [row, from, to, text] = *it;
      lines[static_cast<size_t>(row - 1)].replace(static_cast<size_t>(from), static_cast<size_t>(to - from), text);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
  std::string out;
  for (size_t i = 0; i < lines.size(); ++i) {
    const std::string& line = lines[i];
    if (!is_kept(line) && static_cast<long>(py::len(py::str(line))) > limit) return py::none();
    out += (i ? "\n" : "") + line;
  }
  return py::str(out);
}

py::list get_suggestions_for_python(py::object atok, py::object line, py::object message_ids,
                                    py::object code_style, py::object settings_modpath,
                                    py::object indent) {
  py::object message_id_symbol_store =
      import_sibling(G.handle(), "checker").attr("message_id_symbol_store");
  py::object tree = atok.attr("tree");
  py::object node = G("helpers").attr("find_node_by_position")(tree, py::arg("line") = line);
  tree.attr("new_nodes") = py::list();
  tree.attr("replace_other_nodes") = py::list();
  tree.attr("spliced_statement") = py::bool_(false);
  tree.attr("vettor_fixed_codes") = py::set();
  bool pragma = truthy(message_ids.attr("__contains__")(constants("SKIP_LINE_ID")));
  bool module = node.is_none() || vettor::isinstance(node, G("astroid").attr("Module"));
  if (pragma && line.equal(py::int_(1)) &&
      (module || py::len(message_ids.attr("intersection")(constants("MODULE_RULES"))) > 0)) {
    return module_pragma_suggestion(atok, message_ids, message_id_symbol_store);
  }
  // A line above the first one finds the module itself: no statement of it is on that line.
  if (module) return py::list();

  if (pragma) {
    return pragma_suggestion(atok, node, line, message_ids, message_id_symbol_store);
  }

  py::tuple fixed = py::tuple(G("get_suggestion_for_python")(
      py::arg("atok") = atok, py::arg("node") = node, py::arg("message_ids") = message_ids,
      py::arg("settings_modpath") = settings_modpath));
  if (fixed.size() != 3) raise(PyExc_ValueError, "a code suggestion has exactly three items");
  py::object comma_character_target = G("get_comma_character_target")(atok.attr("text"));
  py::object formatter = G("functools").attr("partial")(
      G("format_code"), py::arg("code_style") = code_style,
      py::arg("comma_character_target") = comma_character_target);
  py::object logger = G("logger");
  py::list suggestions;

  auto indentation_of = [&](py::handle statement) -> py::object {
    if (is_false(indent)) return py::str("");
    return G("get_indentation")(statement.attr("first_token").attr("line"));
  };
  // A formatting failure of the Exception family is kept for the log; anything else passes.
  py::object failure;
  auto format = [&](py::object code, py::object indentation) -> py::object {
    failure = py::object();
    try {
      return formatter(py::arg("code") = code, py::arg("indentation") = indentation);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      failure = e.value();
      return py::none();
    }
  };

  py::object suggestion = fixed[2];
  if (!suggestion.is_none() && !surroundings(atok, node).shared) {
    py::object indentation = indentation_of(node);
    // Black reads an `elif` clause only as part of its if statement: the clause is formatted as
    // an if statement and given its keyword back.
    bool elif = is_elif(node) && py::str(suggestion).cast<std::string>().rfind("elif", 0) == 0;
    py::object formatted = py::none();
    if (truthy(tree.attr("spliced_statement")) && py::isinstance<py::str>(suggestion)) {
      formatted = as_written(atok, node, py::str(suggestion), py::str(indentation), code_style,
                             comma_character_target);
    }
    if (!formatted.is_none()) {
      elif = false;
    } else {
      if (elif) suggestion = py::str(py::str(suggestion).cast<std::string>().substr(2));
      formatted = format(suggestion, indentation);
    }
    if (failure) {
      logger.attr("error")(failure);
      return py::list();
    }
    if (elif) {
      std::string text = py::str(formatted);
      std::string prefix = py::str(indentation);
      formatted = py::str(prefix + "el" + text.substr(std::min(prefix.size(), text.size())));
    }
    suggestions.append(list_of(fixed[0], fixed[1], formatted));
  }

  for (py::handle replace_node : py::list(tree.attr("replace_other_nodes"))) {
    Surroundings around = surroundings(atok, replace_node);
    if (replace_node.is(node) || around.shared) continue;
    py::object new_code = replace_node.attr("as_string")();
    if (!around.trailing_comment.empty()) {
      new_code = py::str(std::string(py::str(new_code)) + "  " + around.trailing_comment);
    }
    py::object indentation = indentation_of(replace_node);
    py::object formatted = format(new_code, indentation);
    if (failure) {
      logger.attr("error")(failure);
      return py::list();
    }
    suggestions.append(list_of(py::int_(first_line(replace_node)), py::int_(last_line(replace_node)),
                                formatted));
  }

  py::list new_nodes = tree.attr("new_nodes");
  if (new_nodes.size() == 0) return suggestions;

  // Each new statement goes where the fix road writes it (after the docstring and the
  // `from __future__` imports, before the local settings imports that end a settings
  // module): the source line it goes after, or 0 for in front of the first line. New
  // statements bound for one place keep their order.
  long lines = static_cast<long>(py::len(source_lines(atok)));
  if (lines > 0 && py::str(source_lines(atok)[static_cast<size_t>(lines - 1)]).cast<std::string>().empty()) {
    --lines;
  }
  std::vector<std::pair<long, std::string>> placed;
  for (py::handle new_node : new_nodes) {
    py::object new_code = new_node.attr("as_string")();
    py::object formatted = format(new_code, py::str(""));
    if (failure) {
      logger.attr("exception")(kBlackFailed, py::arg("exc_info") = failure);
      continue;
    }
    long after = new_statement_after(atok, new_node, lines);
    auto slot = std::find_if(placed.begin(), placed.end(), [&](const auto& p) { return p.first == after; });
    std::string code = py::str(formatted);
    if (slot == placed.end()) {
      placed.emplace_back(after, code);
    } else {
      slot->second += "\n\n" + code;
    }
  }

  // New statements join the suggestion that already replaces the line they go after (or in
  // front of): a suggestion of their own over that line would conflict with it.
  for (const auto& [after, code] : placed) {
    bool joined = false;
    for (py::handle handle : suggestions) {
      py::list entry = py::reinterpret_borrow<py::list>(handle);
      long start = entry[0].cast<long>();
      long end = entry[1].cast<long>();
      std::string text = py::str(entry[2]);
      if (after == 0 && start == 1) {
        entry[2] = py::str(code + "\n\n" + text);
      } else if (after > 0 && end == after) {
        std::string last = py::str(source_line(atok, after));
        entry[2] = py::str(text + (last.empty() ? "\n" : "\n\n") + code);
      } else {
        continue;
      }
      joined = true;
      break;
    }
    if (joined) continue;
    if (after == 0) {
      std::string first_code = py::str(source_line(atok, 1));
      suggestions.insert(0, list_of(py::int_(1), py::int_(1), py::str(code + "\n\n" + first_code)));
    } else {
      std::string last = py::str(source_line(atok, after));
      suggestions.append(list_of(py::int_(after), py::int_(after),
                                  py::str(last + (last.empty() ? "\n" : "\n\n") + code)));
    }
  }
  return suggestions;
}

}  // namespace

// The symbols a pragma names for the codes of a line, in the order of the codes. A code that
// no rule of the package reports has nothing to silence: it is left out.
py::list pragma_symbols(py::handle message_ids, py::handle message_id_symbol_store) {
  py::object skip = G("constants").attr("SKIP_LINE_ID");
  py::list codes;
  for (py::handle code : message_ids) {
    if (truthy(code.attr("__ne__")(skip))) codes.append(code);
  }
  codes.attr("sort")();
  py::list symbols;
  for (py::handle code : codes) {
    if (truthy(message_id_symbol_store.attr("__contains__")(code))) {
      symbols.append(message_id_symbol_store[code]);
    }
  }
  return symbols;
}

void register_python(py::module_& m) {
  m.def("get_suggestions_for_python", &get_suggestions_for_python, py::arg("atok"),
        py::arg("line"), py::arg("message_ids"), py::arg("code_style"),
        py::arg("settings_modpath"), py::arg("indent") = true);
  m.def("get_suggestion_for_python", &get_suggestion_for_python, py::arg("atok"),
        py::arg("node"), py::arg("message_ids"), py::arg("settings_modpath"));
}

}  // namespace vettor::suggest
