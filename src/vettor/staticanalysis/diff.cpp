// The project-wide diff of fixed files: lints the project's selected Python files once, fixes
// the findings that lint reports in the files that have fixable ones, and hands back the new
// text of every file a fix changed, with its path relative to the project root.
//
// Only what a fix changed is written anew: every other statement stays as the author wrote it,
// and a changed statement keeps its own layout unless it no longer fits the project's line
// length ([tool.black]); a new statement is laid out by Black in that style. New string
// literals take the quote the file's own literals mostly use. Settings modules settle in one
// run. A file that cannot be read, parsed or fixed is recorded in the result's `failures`,
// with a warning, and the others are still offered.
#include <vettor/project_files.hpp>
#include <vettor/pyutil.hpp>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using vettor::import;
using vettor::lookup;
using vettor::on_error;
using vettor::truthy;

vettor::ModuleRef G;

py::object path_of(py::handle value) { return G("Path")(value); }

bool is_python_file(const py::object& path) {
  return py::str(path.attr("suffix")).equal(py::str(".py")) && truthy(path.attr("is_file")());
}

// Folders that are not the project's own code: hidden folders (.git, .tox, .venv), virtual
// environments, installed packages, JavaScript packages and byte-code caches.
bool is_foreign_folder(const py::object& folder) {
  std::string name = vettor::text_bytes(folder.attr("name"));
  if (!name.empty() && name[0] == '.') return true;
  if (name == "site-packages" || name == "dist-packages" || name == "node_modules" ||
      name == "__pycache__") {
    return true;
  }
  return truthy(folder.attr("__truediv__")("pyvenv.cfg").attr("is_file")());
}

// The Python files below a folder: each folder's files in name order, then its sub-folders.
py::list python_files_below(const py::object& folder) {
  py::list files;
  vettor::walk_folders(folder, [&](py::handle path, py::list subfolders, py::list names) {
    py::object here = path_of(path);
    py::list kept;
    for (py::handle name : subfolders) {
      if (!is_foreign_folder(here.attr("__truediv__")(name))) kept.append(name);
    }
    kept.attr("sort")();
    subfolders.attr("clear")();
    subfolders.attr("extend")(kept);
    names.attr("sort")();
    for (py::handle name : names) {
      py::object file = here.attr("__truediv__")(name);
      if (is_python_file(file)) files.append(file);
    }
  });
  return files;
}

// Whether a path, as it is written, lies in the project root.
bool inside(const py::object& path, const py::object& root) {
  return vettor::ProjectRoot(root).holds_as_written(path);
}

// The whitelist names what may be fixed: paths relative to the project root (texts or path
// objects; absolute paths inside the root serve too), each a Python file or a folder whose
// Python files are all taken. None takes the whole project. Files that do not exist or are
// not Python files are passed over; a path that leads out of the project as written is
// refused. A file or folder that leads out only through a link (a .py link to a file
// elsewhere) is skipped with a warning, and the others are fixed: nothing outside the project
// is read or written on its behalf.
// Gives (project-relative path with "/", file) pairs, each file once, in whitelist order.
py::list selected_files(const py::object& root, py::object whitelist) {
  py::list entries;
  if (whitelist.is_none()) {
    entries.append(root);
  } else if (py::isinstance<py::str>(whitelist) ||
             vettor::isinstance(whitelist, lookup("os", "PathLike"))) {
    entries.append(whitelist);  // one path, not its characters
  } else {
    for (py::handle entry : whitelist) entries.append(entry);
  }

  py::list selected;
  py::set seen;
  auto under_root = [&](const py::object& path) -> py::object {
    try {
      return G("helpers").attr("file_under_root")(root, path);
    } catch (py::error_already_set& e) {
      py::object shown = lookup("os", "path").attr("relpath")(path, root);
      if (e.matches(PyExc_ValueError)) {
        G("logger").attr("warning")("Skipped %s: it leads outside the project root", shown);
      } else if (e.matches(PyExc_OSError)) {  // a loop of links
        G("logger").attr("warning")("Skipped %s: %s", shown, e.value().attr("strerror"));
      } else {
        throw;
      }
      return py::none();
    }
  };
  auto add = [&](const py::object& file) {
    py::object resolved = under_root(file);
    if (resolved.is_none() || !is_python_file(resolved)) return;
    py::str relative = resolved.attr("relative_to")(root).attr("as_posix")();
    if (seen.contains(relative)) return;
    seen.add(relative);
    selected.append(py::make_tuple(relative, resolved));
  };
  for (py::handle entry : entries) {
    py::object written = lookup("os", "path").attr("normpath")(root.attr("__truediv__")(entry));
    if (!inside(path_of(written), root)) {
      vettor::raise(PyExc_ValueError, vettor::bytes_text("whitelist entry " + std::string(py::repr(entry)) +
                                                         " is not inside the project root " +
                                                         vettor::text_bytes(py::str(root))));
    }
    py::object given = path_of(written);
    if (given.equal(root)) {
      for (py::handle file : python_files_below(root)) add(py::reinterpret_borrow<py::object>(file));
      continue;
    }
    py::object resolved = under_root(given);
    if (resolved.is_none()) continue;
    if (truthy(resolved.attr("is_dir")())) {
      for (py::handle file : python_files_below(resolved)) {
        add(py::reinterpret_borrow<py::object>(file));
      }
    } else if (is_python_file(resolved)) {
      add(given);
    }
  }
  return selected;
}

// A Python source as Python reads it: its byte-order mark or coding cookie names the
// encoding (UTF-8 otherwise), and line endings become "\n".
py::object source_encoding(const py::bytes& data) {
  py::object readline = lookup("io", "BytesIO")(data).attr("readline");
  return lookup("tokenize", "detect_encoding")(readline)[py::int_(0)];
}

py::str decoded(const py::bytes& data) { return data.attr("decode")(source_encoding(data)); }

py::str normalised(const py::str& text) {
  return text.attr("replace")("\r\n", "\n").attr("replace")("\r", "\n");
}

// The comments of a source, without their "#" and surrounding spaces (Black writes "#x"
// as "# x"), counted.
py::object comments_of(const py::str& text) {
  py::object comment = lookup("token", "COMMENT");
  py::object counter = lookup("collections", "Counter")();
  py::object readline = lookup("io", "StringIO")(text).attr("readline");
  for (py::handle tok : lookup("tokenize", "generate_tokens")(readline)) {
    if (!py::object(tok.attr("type")).equal(comment)) continue;
    py::object key = tok.attr("string").attr("lstrip")("#").attr("strip")();
    counter[key] = counter.attr("get")(key, 0).attr("__add__")(1);
  }
  return counter;
}

// ---------------------------------------------------------------------------------------
// Line endings

// The lines of a text with their line breaks ("\r\n", "\r" or "\n"), the last one without
// when the text does not end in one. Only these three break a line: a form feed or a line
// separator inside a line is the line's own.
std::vector<std::pair<std::string, std::string>> lines_with_breaks(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find_first_of("\r\n", at);
    if (end == std::string::npos) {
      lines.emplace_back(text.substr(at), "");
      break;
    }
    std::size_t next = end + 1;
    if (text[end] == '\r' && next < text.size() && text[next] == '\n') ++next;
    lines.emplace_back(text.substr(at, end - at), text.substr(end, next - end));
    at = next;
  }
  return lines;
}

// The new text of a file (its lines broken by "\n") with the line breaks the file has where
// its lines are kept, and for a new or changed line the break of the line it replaces (or of
// the line before it): a file with Windows, old Mac or mixed line endings keeps them.
std::string with_breaks_of(const std::string& stored, const std::string& fixed) {
  auto old_lines = lines_with_breaks(stored);
  bool any_break = false;
  for (const auto& line : old_lines) any_break = any_break || !line.second.empty();
  if (!any_break) return fixed;
  py::list old_keys, new_keys;
  for (const auto& line : old_lines) old_keys.append(py::str(line.first));
  std::vector<std::pair<std::string, bool>> new_lines;  // text, followed by a break
  std::size_t at = 0;
  while (at <= fixed.size()) {
    std::size_t end = fixed.find('\n', at);
    if (end == std::string::npos) {
      if (at < fixed.size()) new_lines.emplace_back(fixed.substr(at), false);
      break;
    }
    new_lines.emplace_back(fixed.substr(at, end - at), true);
    at = end + 1;
  }
  for (const auto& line : new_lines) new_keys.append(py::str(line.first));
  std::vector<std::string> breaks(new_lines.size());
  auto break_near = [&](long i) -> std::string {
    for (long k = std::min<long>(i, static_cast<long>(old_lines.size()) - 1); k >= 0; --k) {
      if (!old_lines[static_cast<std::size_t>(k)].second.empty()) return old_lines[static_cast<std::size_t>(k)].second;
    }
    for (const auto& line : old_lines) {
      if (!line.second.empty()) return line.second;
    }
    return "\n";
  };
  py::list opcodes = lookup("difflib", "SequenceMatcher")(py::none(), old_keys, new_keys,
                                                          py::arg("autojunk") = false)
                         .attr("get_opcodes")();
  for (py::handle op : opcodes) {
    py::tuple code = py::reinterpret_borrow<py::tuple>(op);
    bool equal = std::string(py::str(code[0])) == "equal";
    long i1 = code[1].cast<long>(), j1 = code[3].cast<long>(), j2 = code[4].cast<long>();
    for (long j = j1; j < j2; ++j) {
      long i = equal ? i1 + (j - j1) : i1;
      std::string kept = equal ? old_lines[static_cast<std::size_t>(i)].second : "";
      breaks[static_cast<std::size_t>(j)] = kept.empty() ? break_near(i) : kept;
    }
  }
  std::string out;
  for (std::size_t j = 0; j < new_lines.size(); ++j) {
    out += new_lines[j].first;
    if (new_lines[j].second) out += breaks[j];
  }
  return out;
}

// The bytes a file holds once `source` (a fixed text, lines broken by "\n") is written over
// `stored` (its bytes before): the file's encoding (Python's rules: a byte-order mark or coding
// cookie, else UTF-8) and the file's line breaks. Raises the encoding's error for a text the
// encoding cannot hold.
py::bytes stored_form(py::bytes stored, py::object source) {
  if (!PyUnicode_Check(source.ptr())) {
    vettor::raise(PyExc_TypeError,
                  "a fixed source is a text, not " + std::string(py::repr(source.get_type())));
  }
  py::object encoding = source_encoding(stored);
  py::str before = stored.attr("decode")(encoding);
  std::string text = py::str(normalised(py::str(source))).cast<std::string>();
  py::str after(with_breaks_of(before.cast<std::string>(), text));
  return after.attr("encode")(encoding);
}

// Bytes split after each "\n", as patch and git read a file's lines.
py::list byte_lines(const py::bytes& data) {
  std::string text = data;
  py::list lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    std::size_t next = end == std::string::npos ? text.size() : end + 1;
    lines.append(py::bytes(text.substr(at, next - at)));
    at = next;
  }
  return lines;
}

// ---------------------------------------------------------------------------------------
// Laying out what a fix wrote

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

bool is_blank(const std::string& text) {
  return text.find_first_not_of(" \t\f") == std::string::npos;
}

// The project's style for Black: its [tool.black] keywords, string normalisation as the
// project sets it.
struct Style {
  py::dict keywords;
  long line_length = 88;
};

Style project_style(py::handle code_style, bool normalise) {
  Style style;
  if (!code_style.is_none()) {
    for (auto item : py::dict(lookup("builtins", "dict")(code_style))) {
      style.keywords[item.first] = item.second;
    }
  }
  if (!style.keywords.contains("string_normalization")) {
    style.keywords["string_normalization"] = py::bool_(normalise);
  }
  if (style.keywords.contains("line_length")) {
    style.line_length = py::int_(style.keywords["line_length"]).cast<long>();
  }
  return style;
}

// Black's layout of one statement that stands after `indentation` (its first line's), in the
// project's style, or None when Black fails on it or its layout does not parse back to the
// statement.
py::object black_layout(const std::string& code, const std::string& indentation, py::handle node,
                        const Style& style, py::handle quote) {
  py::dict keywords;
  for (auto item : style.keywords) keywords[item.first] = item.second;
  long room = style.line_length - static_cast<long>(py::len(py::str(indentation)));
  keywords["line_length"] = py::int_(std::max(room, 1L));
  py::object suggest = G("suggest");
  std::string laid;
  try {
    laid = text_of(suggest.attr("format_in_style")(py::str(code), py::str(indentation), keywords,
                                                  quote));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return py::none();
  }
  if (laid.compare(0, indentation.size(), indentation) == 0) laid = laid.substr(indentation.size());
  if (!truthy(suggest.attr("renders_faithfully")(py::str(laid), node, py::str(indentation)))) {
    return py::none();
  }
  return py::str(laid);
}

bool is_compound(py::handle node) {
  return vettor::hasattr(node, "body") && truthy(py::getattr(node, "is_statement", py::bool_(false)));
}

std::vector<std::string> split_lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (true) {
    std::size_t end = text.find('\n', at);
    lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  return lines;
}

std::string join_lines(const std::vector<std::string>& lines) {
  std::string text;
  for (std::size_t i = 0; i < lines.size(); ++i) text += (i ? "\n" : "") + lines[i];
  return text;
}

long width(const std::string& line) { return static_cast<long>(py::len(py::str(line))); }

// The lines of a changed statement that the change made and that are too long: lines it left
// as they were (a long text the author wrote) do not count.
std::vector<std::size_t> overlong_changed(const std::vector<std::string>& now,
                                          const std::vector<std::string>& was, long limit) {
  std::vector<std::size_t> found;
  for (std::size_t i = 0; i < now.size(); ++i) {
    if (width(now[i]) <= limit) continue;
    if (std::find(was.begin(), was.end(), now[i]) == was.end()) found.push_back(i);
  }
  return found;
}

// A part of a statement's lines that Black may lay out on its own: an expression that begins
// its first line (after the indentation) and ends its last one (but for a comma and a comment).
struct Part {
  std::size_t first, last;      // lines
  std::size_t begin, end;       // byte columns on the first and last line
};

// The smallest such expression that holds line `line`, among the statement's expressions;
// `lines` is the statement's text as it stands on its lines, parsed within a block when it is
// indented.
std::optional<Part> part_holding(const std::vector<std::string>& lines, py::handle statement,
                                 long offset, std::size_t line) {
  py::object ast = import("ast");
  std::optional<Part> best;
  py::object comma_and_comment = lookup("re", "compile")(R"(\s*,?\s*(#.*)?)");
  for (py::handle node : ast.attr("walk")(statement)) {
    if (!vettor::isinstance(node, ast.attr("expr"))) continue;
    py::object end_line = vettor::getattr_or_none(node, "end_lineno");
    if (end_line.is_none()) continue;
    long first = node.attr("lineno").cast<long>() - offset;
    long last = end_line.cast<long>() - offset;
    if (first < 0 || last >= static_cast<long>(lines.size()) || static_cast<long>(line) < first ||
        static_cast<long>(line) > last) {
      continue;
    }
    Part part{static_cast<std::size_t>(first), static_cast<std::size_t>(last),
              node.attr("col_offset").cast<std::size_t>(), node.attr("end_col_offset").cast<std::size_t>()};
    const std::string& opening = lines[part.first];
    const std::string& closing = lines[part.last];
    if (part.begin > opening.size() || part.end > closing.size()) continue;
    if (!is_blank(opening.substr(0, part.begin))) continue;
    if (comma_and_comment.attr("fullmatch")(py::str(closing.substr(part.end))).is_none()) continue;
    bool smaller = !best || part.last - part.first < best->last - best->first ||
                   (part.last - part.first == best->last - best->first &&
                    (part.begin > best->begin || part.end < best->end));
    if (smaller) best = part;
  }
  return best;
}

// The statement's lines with each too long line that the change made laid out by Black, in
// the project's style, as part of the smallest expression that holds it, and every other line
// as it stands: an overlong call in a list of operations is laid out, the list's other items,
// blank lines and commas are not. None when a line has no such part, when Black fails, or when
// the result does not parse back to the statement.
py::object relay_parts(const std::string& before, const std::string& code, const std::string& after,
                       const std::string& old_lines, py::handle node, const Style& style,
                       py::handle quote) {
  std::vector<std::string> lines = split_lines(before + code + after);
  std::vector<std::size_t> overlong = overlong_changed(lines, split_lines(old_lines), style.line_length);
  if (overlong.empty()) return py::none();
  // An indented statement is parsed in a block of its own: its line numbers then start at 2.
  bool indented = !before.empty();
  std::string parsed_text = (indented ? "if 1:\n" : "") + join_lines(lines);
  py::object parsed = on_error(
      PyExc_Exception, [&] { return py::object(lookup("ast", "parse")(py::str(parsed_text))); },
      [] { return py::object(py::none()); });
  if (parsed.is_none()) return py::none();
  py::object statement = parsed.attr("body")[py::int_(0)];
  if (indented) statement = statement.attr("body")[py::int_(0)];
  long offset = indented ? 2 : 1;
  std::vector<Part> parts;
  for (std::size_t line : overlong) {
    auto part = part_holding(lines, statement, offset, line);
    if (!part) return py::none();
    parts.push_back(*part);
  }
  // Parts nest or stand apart: the outermost of each nest is laid out, the last first, so that
  // the line numbers of those before it hold.
  std::sort(parts.begin(), parts.end(), [](const Part& a, const Part& b) {
    return a.first != b.first ? a.first > b.first : a.last > b.last;
  });
  std::vector<Part> outer;
  for (const Part& part : parts) {
    bool inside_other = false;
    for (const Part& other : parts) {
      bool contains = other.first <= part.first && other.last >= part.last &&
                      (other.first < part.first || other.last > part.last ||
                       (other.begin <= part.begin && other.end >= part.end &&
                        (other.begin < part.begin || other.end > part.end)));
      inside_other = inside_other || contains;
    }
    bool seen = false;
    for (const Part& kept : outer) seen = seen || (kept.first == part.first && kept.last == part.last);
    if (!inside_other && !seen) outer.push_back(part);
  }
  for (const Part& part : outer) {
    std::string indentation = lines[part.first].substr(0, part.begin);
    std::string tail = lines[part.last].substr(part.end);
    while (!tail.empty() && (tail.back() == ' ' || tail.back() == '\t' || tail.back() == '\r')) tail.pop_back();
    std::string segment;
    for (std::size_t i = part.first; i <= part.last; ++i) {
      std::string line = lines[i];
      if (i == part.last) line = line.substr(0, part.end);
      if (i == part.first) line = line.substr(part.begin);
      segment += (i == part.first ? "" : "\n") + line;
    }
    py::dict keywords;
    for (auto item : style.keywords) keywords[item.first] = item.second;
    std::size_t lead = tail.find_first_not_of(" \t");
    long comma = lead != std::string::npos && tail[lead] == ',' ? 1 : 0;
    long room = style.line_length - width(indentation) - comma;
    keywords["line_length"] = py::int_(std::max(room, 1L));
    std::string laid;
    try {
      laid = text_of(G("suggest").attr("format_in_style")(py::str(segment), py::str(indentation),
                                                          keywords, quote));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      return py::none();
    }
    while (!laid.empty() && laid.back() == '\n') laid.pop_back();
    std::vector<std::string> replacement = split_lines(laid + tail);
    lines.erase(lines.begin() + static_cast<long>(part.first), lines.begin() + static_cast<long>(part.last) + 1);
    lines.insert(lines.begin() + static_cast<long>(part.first), replacement.begin(), replacement.end());
  }
  std::string result = join_lines(lines);
  if (result.compare(0, before.size(), before) != 0) return py::none();
  py::str statement_text(result.substr(before.size()));
  if (!truthy(G("suggest").attr("renders_faithfully")(statement_text, node, py::str(before)))) {
    return py::none();
  }
  return statement_text;
}

// Each change laid out in the project's style where it must be: a new statement by Black, a
// changed simple statement by Black only when it fitted its line length and no longer does
// (a trailing comment after it goes with it). Every other change keeps the layout the token
// merge gave it: the source's own line breaks and spellings around what the fix changed.
py::list lay_out(const py::str& text, py::list changes, const Style& style, py::handle quote) {
  py::list out;
  std::string source = text;
  for (py::handle handle : changes) {
    py::object change = py::reinterpret_borrow<py::object>(handle);
    py::object replacement = change.attr("text");
    std::string kind = text_of(change.attr("kind"));
    py::object node = change.attr("node");
    if (replacement.is_none() || kind == "removed") {
      out.append(change);
      continue;
    }
    std::string code = text_of(replacement);
    if (kind == "added") {
      // A line of its own: optional break before, the indented statement, a break after.
      std::string lead, trail;
      if (!code.empty() && code.front() == '\n') lead = "\n", code.erase(0, 1);
      if (!code.empty() && code.back() == '\n') trail = "\n", code.pop_back();
      std::size_t at = code.find_first_not_of(" \t");
      std::string indentation = code.substr(0, at == std::string::npos ? 0 : at);
      py::object laid = black_layout(code.substr(indentation.size()), indentation, node, style, quote);
      if (!laid.is_none()) {
        change = change.attr("_replace")(py::arg("text") = py::str(lead + indentation + text_of(laid) + trail));
      }
      out.append(change);
      continue;
    }
    // A changed statement: its lines as they were and as they are now.
    long start = change.attr("start").cast<long>(), end = change.attr("end").cast<long>();
    py::str whole(source);
    long line_start = whole.attr("rfind")("\n", 0, start).cast<long>() + 1;
    long line_end = whole.attr("find")("\n", end).cast<long>();
    if (line_end < 0) line_end = static_cast<long>(py::len(whole));
    auto part = [&](long from, long to) {
      return text_of(whole[py::slice(py::int_(from), py::int_(to), py::none())]);
    };
    std::string before = part(line_start, start), after = part(end, line_end);
    bool whole_statement = !is_compound(node) && vettor::hasattr(node, "first_token") &&
                           node.attr("first_token").attr("startpos").cast<long>() == start &&
                           node.attr("last_token").attr("endpos").cast<long>() == end;
    std::string old_lines = part(line_start, line_end);
    if (!whole_statement || !is_blank(before) ||
        overlong_changed(split_lines(before + code + after), split_lines(old_lines), style.line_length)
            .empty()) {
      out.append(change);
      continue;
    }
    // Only the part that holds a too long line is laid out anew, when the statement has such
    // a part; else the whole statement.
    py::object relaid = relay_parts(before, code, after, old_lines, node, style, quote);
    if (!relaid.is_none()) {
      py::dict fields;
      fields["text"] = relaid;
      fields["end"] = py::int_(line_end);
      out.append(change.attr("_replace")(**fields));
      continue;
    }
    std::size_t comment = after.find_first_not_of(" \t\f");
    bool takes_comment = comment != std::string::npos && after[comment] == '#';
    if (comment != std::string::npos && !takes_comment) {  // another statement after a ";"
      out.append(change);
      continue;
    }
    std::string statement = code + (takes_comment ? "  " + after.substr(comment) : "");
    while (!statement.empty() && (statement.back() == ' ' || statement.back() == '\r')) statement.pop_back();
    py::object laid = black_layout(statement, before, node, style, quote);
    if (laid.is_none()) {
      out.append(change);
      continue;
    }
    py::dict fields;
    fields["text"] = laid;
    if (takes_comment) fields["end"] = py::int_(line_end);
    out.append(change.attr("_replace")(**fields));
  }
  return out;
}

// The import path of a project file as Python (and the lint) names it: its folders count
// only as long as they are packages, up to the project root.
// (As bytes: a file or folder name need not be UTF-8.)
std::string package_path(const py::object& file, const py::object& root) {
  return vettor::import_path_of(file, root);
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The settings modules whose files get settings fixes, as import paths: those the lint judges,
// the one the caller names first. None when the caller names none. A module the lint does
// not judge gets no settings fix, whoever names it: a fix there would change what the lint
// never weighed (a development module's plain HTTP, say).
py::list settings_modules(py::handle settings_modpath, const py::list& judged) {
  py::list modules;
  if (!PyUnicode_Check(settings_modpath.ptr()) || !truthy(settings_modpath)) return modules;
  if (judged.contains(settings_modpath)) modules.append(settings_modpath);
  for (py::handle found : judged) {
    if (!modules.contains(found)) modules.append(found);
  }
  return modules;
}

// The settings module the lint judges the file as, or the empty text: its import path is that
// module's, or ends with it (a project kept under src/). A file whose path merely ends in a
// settings module's name (docs/examples/settings.py for examples.settings, outside any
// package) is another module, and no settings fix is made in it.
py::str settings_module_of(const py::object& file, const py::object& root, const py::list& modules) {
  std::string name = package_path(file, root);
  for (py::handle module : modules) {
    std::string settings = vettor::text_bytes(module);
    if (name == settings || ends_with(name, "." + settings)) return vettor::bytes_text(settings);
  }
  return py::str("");
}

// The label an app's apps.py gives its AppConfig (`label = "wagtailcore"` for wagtail.core),
// read from the text, or an empty text when it gives none or the file is not the project's.
std::string configured_label(const py::object& folder, const py::object& root) {
  py::object apps = folder.attr("__truediv__")("apps.py");
  if (!truthy(apps.attr("is_file")()) || !inside(apps.attr("resolve")(), root)) return "";
  py::object tree = vettor::on_error(
      PyExc_Exception,
      [&] { return lookup("ast", "parse")(apps.attr("read_bytes")()); },
      [] { return py::object(py::none()); });
  if (tree.is_none()) return "";
  py::object ast = import("ast");
  for (py::handle statement : tree.attr("body")) {
    if (!vettor::isinstance(statement, ast.attr("ClassDef"))) continue;
    for (py::handle member : statement.attr("body")) {
      if (!vettor::isinstance(member, ast.attr("Assign")) || py::len(member.attr("targets")) != 1) continue;
      py::object target = member.attr("targets")[py::int_(0)];
      py::object value = member.attr("value");
      if (vettor::isinstance(target, ast.attr("Name")) && py::str(target.attr("id")).equal(py::str("label")) &&
          vettor::isinstance(value, ast.attr("Constant")) && PyUnicode_Check(value.attr("value").ptr())) {
        return py::str(value.attr("value"));
      }
    }
  }
  return "";
}

// The folder of the Django app a file belongs to: the nearest folder, from the file's own up
// to the project root, that holds an app's files (apps.py, models.py or a migrations folder);
// a models package's own folder does not count.
py::object app_folder(const py::object& file, const py::object& root) {
  py::object folder = file.attr("parent");
  while (inside(folder, root) && !folder.equal(root)) {
    std::string name = vettor::text_bytes(folder.attr("name"));
    bool models_package = name == "models" && py::object(file.attr("parent")).equal(folder);
    if (!models_package) {
      for (const char* marker : {"apps.py", "models.py", "migrations"}) {
        if (truthy(folder.attr("__truediv__")(marker).attr("exists")())) return folder;
      }
    }
    folder = folder.attr("parent");
  }
  py::object parent = file.attr("parent");
  if (vettor::text_bytes(parent.attr("name")) == "models") parent = parent.attr("parent");
  return parent;
}

// An app's label: the one its AppConfig in apps.py sets, else Django's default, the app's last
// name.
std::string app_label(const py::object& folder, const py::object& root) {
  std::string label = configured_label(folder, root);
  return label.empty() ? vettor::text_bytes(folder.attr("name")) : label;
}

// The INSTALLED_APPS entries of the project's settings modules together, or None when one of
// them cannot be read (a list computed at run time): then no app can be told apart.
py::object installed_apps(const py::object& project_root, const py::list& settings_files) {
  if (settings_files.empty()) return py::none();
  return on_error(
      PyExc_Exception,
      [&]() -> py::object {
        py::dict files = G("meta").attr("get_module_files")(project_root, settings_files);
        py::object reader = vettor::import_sibling(G.handle(), "checkers.settings");
        py::set names;
        bool read = false;
        for (py::handle import_path : settings_files) {
          if (!files.contains(import_path)) continue;
          py::object file = files[import_path];
          py::str text = normalised(decoded(path_of(file).attr("read_bytes")()));
          py::object tree = G("helpers").attr("build_atok")(
              text, py::arg("modname") = import_path, py::arg("absolute_path") = py::str(file)).attr("tree");
          py::object apps = reader.attr("installed_apps")(tree);
          if (apps.is_none()) return py::none();
          for (py::handle app : apps) names.add(app);
          read = true;
        }
        return read ? py::object(names) : py::object(py::none());
      },
      [] { return py::object(py::none()); });
}

// Whether INSTALLED_APPS names the app in `folder`, by its import path or an AppConfig in it.
bool is_installed(const py::object& folder, const py::object& root, py::handle installed) {
  std::string dotted = package_path(folder.attr("__truediv__")("__init__.py"), root);
  for (py::handle entry : installed) {
    std::string name = vettor::text_bytes(entry);
    if (name == dotted || name.rfind(dotted + ".", 0) == 0) return true;
  }
  return false;
}

// The codes whose fixes change a model field's declaration: the database needs a migration.
// An argument dropped because it repeats the field's default (C2002) changes nothing a
// migration records.
bool changes_model_fields(py::handle fixed) {
  for (py::handle code : fixed) {
    if (py::str(code).equal(py::str("C2002"))) continue;
    if (truthy(G("suggest").attr("constants").attr("TRANSFORMABLE_MODEL_FIELD_RULES").attr("__contains__")(code)))
      return true;
  }
  return false;
}

// The findings of one lint of the selected files, by path; a file the lint could not analyse
// is named in `unanalysed` with what the lint says of it.
struct LintResult {
  py::dict by_path;     // relative path -> list of finding records
  py::dict unanalysed;  // relative path -> the error the file could not be fixed for
};

LintResult lint(py::handle project_root, const py::list& selected, py::handle jobs,
               py::handle host_config) {
  py::dict files;
  for (py::handle item : selected) files[item[py::int_(0)]] = py::none();
  py::dict config = lookup("builtins", "dict")(host_config);
  py::object workers = py::int_(0);
  if (!jobs.is_none()) {
    config["jobs"] = jobs;
    workers = py::reinterpret_borrow<py::object>(jobs);
  }
  py::object checker = vettor::import_sibling(G.handle(), "checker");
  py::list findings = checker.attr("get_messages")(project_root, files, py::arg("config") = config,
                                                   py::arg("jobs") = workers);
  LintResult result;
  for (py::handle record : findings) {
    if (!PyDict_Check(record.ptr()) || !truthy(record.attr("__contains__")("line"))) continue;
    py::object path = record["path"];
    std::string code = py::str(record["message-id"]);
    if (code == "E0001" || code == "F0001") {
      py::object error = lookup("builtins", code == "E0001" ? "SyntaxError" : "RuntimeError")(
          py::str(record["message"]));
      result.unanalysed[path] = error;
      continue;
    }
    if (!result.by_path.contains(path)) result.by_path[path] = py::list();
    result.by_path[path].attr("append")(record);
  }
  return result;
}

// One pass of fixes over a file's text: the text with the fixes of `findings` made, whether
// they change a model field, and the findings whose fixes were made.
struct Pass {
  py::str text;
  bool model_fields = false;
  py::list fixed_findings;
};

// `settings_files`: the project's settings modules, whose AUTH_USER_MODEL the fixes read.
Pass fix_pass(const py::object& file, const py::str& text, py::handle findings,
              py::handle settings_module, const Style& style, py::handle settings_files) {
  py::object suggest = G("suggest");
  py::object transformer = vettor::import_sibling(G.handle(), "transformer");
  py::object quote = suggest.attr("get_literal_quote_target")(text);
  py::object report = transformer.attr("fix_findings")(text, py::str(file), settings_module,
                                                       findings, py::arg("quote") = quote,
                                                       py::arg("settings_files") = settings_files);
  py::list changes = lay_out(text, report.attr("changes"), style, quote);
  return Pass{suggest.attr("splice_changes")(text, changes), changes_model_fields(report.attr("fixed")),
              py::list(report.attr("fixed_findings"))};
}

// Whether a code's fix may change what the program does: as its rule module declares it, and
// so for a fix that declares nothing.
bool is_unsafe_fix(const py::dict& safety, py::handle code) {
  if (!safety.contains(code)) return true;
  return !py::str(py::tuple(safety[code])[0]).equal(py::str("safe"));
}

// A fixed text as it may be offered: it parses, and it keeps every comment of the source.
void check_fixed(const py::str& text, const py::str& fixed, const py::object& file) {
  lookup("builtins", "compile")(fixed, py::str(file), "exec",
                                py::arg("flags") = lookup("ast", "PyCF_ONLY_AST"),
                                py::arg("dont_inherit") = true);
  py::object lost = comments_of(text).attr("__sub__")(comments_of(fixed));
  if (truthy(lost)) {
    std::string names;
    for (py::handle comment : lost) names += (names.empty() ? "" : ", ") + std::string(py::repr(comment));
    vettor::raise(PyExc_ValueError, "the fix would drop comments: " + names);
  }
}

// ---------------------------------------------------------------------------------------
// Settings modules

bool is_settings_code(py::handle code) { return std::string(py::str(code)).rfind("C40", 0) == 0; }

// The project files a module's `from ... import` statements name, as the settings rules read
// them (meta.read_settings_import).
std::vector<std::string> imported_files(const py::str& text, const py::object& file) {
  std::vector<std::string> found;
  py::object tree = on_error(
      PyExc_Exception, [&] { return lookup("ast", "parse")(text); },
      [] { return py::object(py::none()); });
  if (tree.is_none()) return found;
  py::object import_from = lookup("ast", "ImportFrom");
  py::object read = G("meta").attr("read_settings_import");
  for (py::handle node : lookup("ast", "walk")(tree)) {
    if (!vettor::isinstance(node, import_from)) continue;
    py::object imported = read(py::str(file), node.attr("module"), node.attr("level"))[py::int_(0)];
    if (!imported.is_none()) found.push_back(vettor::path_bytes(imported));
  }
  return found;
}

// What the project's lint goes by (checker.get_lint_settings): the re-lint of a settings
// module judges it as that lint would once the text is written.
struct LintSettings {
  py::dict config;
  py::object django_version;
  py::list settings_files;
};

// The settings findings a lint of `text` reports when it stands for `file`: under the project
// lint's Django version, settings modules and `disable`/`enable`, pragmas and all, as the
// project lint would report them once the text is written.
py::list settings_findings(const py::str& text, const py::object& file, py::handle fixable,
                           const LintSettings& lint) {
  py::dict options;
  for (const char* key : {"disable", "enable"}) {
    if (lint.config.contains(key)) options[key] = lint.config[key];
  }
  options["django-version"] = lint.django_version;
  py::object checker = vettor::import_sibling(G.handle(), "checker");
  py::list messages = checker.attr("lint_text")(text, py::str(file), lint.settings_files,
                                                py::arg("options") = options, py::arg("jobs") = 1);
  py::list found;
  for (py::handle record : messages) {
    py::object code = record["message-id"];
    if (is_settings_code(code) && truthy(fixable.attr("__contains__")(code))) found.append(record);
  }
  return found;
}

// Settings modules in the order they are fixed: a module after the project's settings modules
// it imports, so that what it takes from them (`from .base import *`) is judged fixed, and a
// fix that a base module gets is not made again in the module built on it.
std::vector<std::size_t> import_order(const std::vector<std::pair<py::object, py::str>>& modules) {
  std::unordered_map<std::string, std::size_t> index;
  for (std::size_t i = 0; i < modules.size(); ++i) index[vettor::path_bytes(modules[i].first)] = i;
  std::vector<std::vector<std::size_t>> needs(modules.size());
  for (std::size_t i = 0; i < modules.size(); ++i) {
    for (const std::string& path : imported_files(modules[i].second, modules[i].first)) {
      auto found = index.find(path);
      if (found != index.end() && found->second != i) needs[i].push_back(found->second);
    }
  }
  std::vector<std::size_t> order;
  std::vector<int> state(modules.size(), 0);  // 0 new, 1 on the way, 2 placed
  std::function<void(std::size_t)> place = [&](std::size_t i) {
    if (state[i] != 0) return;
    state[i] = 1;
    for (std::size_t j : needs[i]) place(j);
    state[i] = 2;
    order.push_back(i);
  };
  for (std::size_t i = 0; i < modules.size(); ++i) place(i);
  return order;
}

// The fixed sources of settings files stand for the files while the transform runs, and are
// taken away when it returns or raises.
class FixedSettingsSources {
 public:
  FixedSettingsSources() : sources_(vettor::import_sibling(G.handle(), "checkers.settings").attr("fixed_sources")) {}
  ~FixedSettingsSources() {
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    for (const auto& key : added_) {
      if (PyDict_DelItem(sources_.ptr(), key.ptr()) < 0) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
  }
  void set(const py::object& file, const py::str& text) {
    py::str key(file);
    if (!sources_.contains(key)) added_.push_back(key);
    sources_[key] = text;
  }

 private:
  py::dict sources_;
  std::vector<py::str> added_;
};

// The project transform: one lint of the selected files (with `jobs` workers, None for the
// lint's own default), and the fixes of its findings in the files that have fixable ones.
// What the lint leaves silent is not fixed; only what a fix changed is written anew, in the
// project's code style (`code_style`, Black's keywords from its [tool.black]) where a
// statement must be laid out again.
py::object get_diff_plaintext(py::object project_root, py::object whitelist,
                              py::object settings_modpath, py::object code_style,
                              py::object jobs, py::object config, bool unsafe_fixes) {
  if (config.is_none()) config = py::dict();
  py::object root = path_of(project_root).attr("resolve")();
  py::list selected = selected_files(root, whitelist);
  Style style = project_style(code_style, !truthy(G("meta").attr("skips_string_normalization")(project_root)));

  py::list failures;
  py::dict originals, stored, fixed_texts;
  py::list app_folders;  // (path, app folder) of the files whose model fields the fixes change
  LintResult found = selected.empty() ? LintResult{} : lint(project_root, selected, jobs, config);
  LintSettings lint_settings;
  if (!selected.empty()) {
    py::tuple got = vettor::import_sibling(G.handle(), "checker").attr("get_lint_settings")(project_root, config);
    lint_settings = {got[0].cast<py::dict>(), got[1], got[2].cast<py::list>()};
  }
  const py::list& settings_files = lint_settings.settings_files;
  py::list settings = settings_modules(settings_modpath, settings_files);
  py::object fixable = vettor::import_sibling(G.handle(), "transformer").attr("FIXED_CODES");
  py::dict safety = vettor::import_sibling(G.handle(), "checker").attr("fix_safety_store");
  // Findings no fix of this road makes, by file: told in one line each when the run ends, by
  // the settings rules' logger (the command line lists this module's failures itself and
  // does not show its log).
  py::object settings_rules = vettor::import_sibling(G.handle(), "checkers.settings");
  py::object left_to_owner = settings_rules.attr("DOMAIN_DECISIONS");
  std::map<std::string, std::set<std::string>> left;
  py::object per_file_ignores = lint_settings.config.attr("get")("per-file-ignores");
  auto ignored_here = [&](const py::str& relative, py::handle record) {
    return !per_file_ignores.is_none() &&
           truthy(vettor::import_sibling(G.handle(), "checker")
                      .attr("per_file_ignored")(per_file_ignores, relative, record["message-id"]));
  };
  auto to_fix = [&](const py::str& relative, py::handle record) {
    py::object code = record["message-id"];
    if (!truthy(fixable.attr("__contains__")(code))) return false;
    if (!truthy(left_to_owner.attr("__contains__")(code))) return true;
    left[relative].insert(py::str(code));
    return false;
  };

  struct Job {
    py::str relative;
    py::object file;
    py::bytes data;
    py::str text;
    py::list findings;
    py::str settings_module;
    py::list withheld;  // findings whose fixes are unsafe, left out unless asked for
  };
  std::vector<Job> plain, settings_jobs;
  auto fail = [&](const py::str& relative, py::object error) {
    G("logger").attr("warning")("Could not fix %s: %s", relative, error);
    failures.append(py::make_tuple(relative, error));
  };
  for (py::handle item : selected) {
    py::str relative = item[py::int_(0)];
    py::object file = item[py::int_(1)];
    if (found.unanalysed.contains(relative)) {
      fail(relative, found.unanalysed[relative]);
      continue;
    }
    Job job{relative, file, py::bytes(""), py::str(""), py::list(), py::str(""), py::list()};
    bool settings_findings_found = false;
    if (found.by_path.contains(relative)) {
      for (py::handle record : found.by_path[relative]) {
        // A fix left to the site's owner is no fix of this road: --unsafe-fixes would not
        // make it either, so it is not counted among the unsafe ones left out.
        if (!to_fix(relative, record)) continue;
        if (!unsafe_fixes && is_unsafe_fix(safety, record["message-id"])) {
          job.withheld.append(record);
          continue;
        }
        job.findings.append(record);
        settings_findings_found = settings_findings_found || is_settings_code(record["message-id"]);
      }
    }
    if (job.findings.empty() && job.withheld.empty()) continue;
    try {
      job.data = file.attr("read_bytes")();
      job.text = normalised(decoded(job.data));
      job.settings_module = settings_module_of(file, root, settings);
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      fail(relative, e.value());
      continue;
    }
    bool is_settings = settings_findings_found && truthy(job.settings_module);
    (is_settings ? settings_jobs : plain).push_back(job);
  }

  auto offer = [&](const Job& job, const py::str& fixed, bool model_fields) {
    if (fixed.equal(job.text)) return;
    check_fixed(job.text, fixed, job.file);
    fixed_texts[job.relative] = fixed;
    originals[job.relative] = job.text;
    stored[job.relative] = job.data;
    if (model_fields) app_folders.append(py::make_tuple(job.relative, app_folder(job.file, root)));
  };
  // One file that cannot be fixed does not cost the project the fixes of the others.
  auto guarded = [&](const Job& job, auto&& body) {
    try {
      body();
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      fail(job.relative, e.value());
    }
  };
  // The unsafe fixes left out that would have changed the file: a pass with every fix tells
  // which findings it fixes, and is never offered.
  py::list left_out;
  auto count_withheld = [&](const Job& job) {
    if (job.withheld.empty()) return;
    guarded(job, [&] {
      py::list every;
      for (py::handle record : job.findings) every.append(record);
      for (py::handle record : job.withheld) every.append(record);
      Pass probe = fix_pass(job.file, job.text, every, job.settings_module, style, settings_files);
      for (py::handle record : probe.fixed_findings) {
        if (job.withheld.contains(record)) left_out.append(record);
      }
    });
  };
  for (const Job& job : plain) {
    count_withheld(job);
    if (job.findings.empty()) continue;
    guarded(job, [&] {
      Pass done = fix_pass(job.file, job.text, job.findings, job.settings_module, style, settings_files);
      offer(job, done.text, done.model_fields);
    });
  }

  // A settings module's fixes settle in one run: once its findings are fixed, the module is
  // linted again as it would then be written, and what that lint reports is fixed in turn (a
  // security middleware added makes the SECURE_* settings count), until it reports nothing a
  // fix can change. Modules built on another one are fixed after it, and judged with its
  // fixed text.
  {
    FixedSettingsSources sources;
    std::vector<std::pair<py::object, py::str>> modules;
    for (const Job& job : settings_jobs) modules.emplace_back(job.file, job.text);
    for (std::size_t index : import_order(modules)) {
      const Job& job = settings_jobs[index];
      count_withheld(job);
      guarded(job, [&] {
        Pass done = fix_pass(job.file, job.text, job.findings, job.settings_module, style, settings_files);
        bool model_fields = done.model_fields;
        // A finding whose fix was tried and is still there was declined (a comment that
        // forbids the only place that works, say): it is not tried again.
        std::set<std::string> tried;
        for (py::handle record : job.findings) tried.insert(py::str(record["message-id"]));
        for (int round = 0; round < 8; ++round) {
          if (done.text.equal(job.text) && round == 0) {
            // Nothing of what the lint reported could be fixed here: the modules it builds on
            // may have settled it already.
            break;
          }
          sources.set(job.file, done.text);
          py::list more;
          for (py::handle record : settings_findings(done.text, job.file, fixable, lint_settings)) {
            // What the project ignores in this file is not fixed in it either.
            if (ignored_here(job.relative, record)) continue;
            if (!to_fix(job.relative, record) || tried.count(py::str(record["message-id"]))) continue;
            if (unsafe_fixes || !is_unsafe_fix(safety, record["message-id"])) more.append(record);
          }
          if (more.empty()) break;
          for (py::handle record : more) tried.insert(py::str(record["message-id"]));
          Pass next = fix_pass(job.file, done.text, more, job.settings_module, style, settings_files);
          if (next.text.equal(done.text)) break;
          model_fields = model_fields || next.model_fields;
          done.text = next.text;
        }
        sources.set(job.file, done.text);
        offer(job, done.text, model_fields);
      });
    }
  }

  for (const auto& [relative, codes] : left) {
    for (const std::string& code : codes) {
      settings_rules.attr("logger").attr("warning")(
          "Left unfixed: %s in %s: %s is decided for the whole domain, not in one settings file", code,
          relative, left_to_owner[py::str(code)]);
    }
  }

  py::object result = G("ProjectDiff")();
  py::object fixed_file = G("FixedFile");
  for (py::handle item : selected) {
    py::str relative = item[py::int_(0)];
    if (fixed_texts.contains(relative)) result.attr("append")(fixed_file(fixed_texts[relative], relative));
  }
  result.attr("failures") = failures;
  result.attr("originals") = originals;
  result.attr("stored") = stored;
  // makemigrations takes the labels of installed apps only: one it does not know ends it.
  py::set apps;
  py::dict labels;  // path -> the label of its installed app
  if (!app_folders.empty()) {
    py::object installed = installed_apps(project_root, settings_files);
    for (py::handle item : app_folders) {
      py::object folder = item[py::int_(1)];
      if (!installed.is_none() && !is_installed(folder, root, installed)) continue;
      py::object label = vettor::bytes_text(app_label(folder, root));
      apps.add(label);
      labels[item[py::int_(0)]] = label;
    }
  }
  result.attr("migrations") = lookup("builtins", "sorted")(apps);
  result.attr("migration_labels") = labels;
  result.attr("unsafe_left_out") = left_out;
  return result;
}

// ---------------------------------------------------------------------------------------
// Classes

// A file's name in a diff's "---" or "+++" line, as git writes it there: a name that holds a
// control character, a double quote, a backslash or a byte outside ASCII (one that is not
// UTF-8 among them) stands within double quotes, with C's escapes (\t, \n, \", \\) and
// each other such byte as a three-digit octal escape; any other name as it is. A name that
// holds a space is followed by a tab (patch ends an unquoted name at a space otherwise). So a name
// never spans two lines, and a name that holds a line break cannot forge another header:
// git apply and patch both read the name back as it is on disk. `name` is the name's bytes.
std::string header_name(const std::string& name) {
  std::string quoted;
  bool quote = false;
  for (unsigned char c : name) {
    const char* escape = nullptr;
    switch (c) {
      case '\a': escape = "\\a"; break;
      case '\b': escape = "\\b"; break;
      case '\t': escape = "\\t"; break;
      case '\n': escape = "\\n"; break;
      case '\v': escape = "\\v"; break;
      case '\f': escape = "\\f"; break;
      case '\r': escape = "\\r"; break;
      case '"': escape = "\\\""; break;
      case '\\': escape = "\\\\"; break;
      default: break;
    }
    if (escape) {
      quoted += escape;
      quote = true;
    } else if (c < 0x20 || c >= 0x7f) {
      char octal[5];
      std::snprintf(octal, sizeof octal, "\\%03o", c);
      quoted += octal;
      quote = true;
    } else {
      quoted += static_cast<char>(c);
    }
  }
  std::string shown = quote ? "\"" + quoted + "\"" : name;
  return name.find(' ') == std::string::npos ? shown : shown + "\t";
}

py::object make_project_diff(py::module_& m) {
  py::dict ns;
  ns["__doc__"] =
      "The fixed files of a project: (source, path) pairs, path relative to the project root. "
      "`failures` holds (path, error) for the files that could not be fixed, `originals` the "
      "text each fixed file had (line breaks as \"\\n\"), `stored` its bytes, `migrations` "
      "the labels of the installed apps whose model fields the fixes change "
      "(`migration_labels`: each such file's app), and `unsafe_left_out` the findings whose "
      "fixes were left out because they are unsafe.";
  ns["unsafe_left_out"] = py::tuple();
  ns["migration_labels"] = py::dict();
  py::object cls = vettor::make_class(m, "ProjectDiff", vettor::bases_of(py::type::of(py::list())), ns);
  // The changes as one unified diff, a/ and b/ before each path, and the paths written, as
  // git writes them.
  vettor::add_method(cls, "unified_diff", [](py::object self) {
    py::object unified = lookup("difflib", "unified_diff");
    py::dict originals = self.attr("originals");
    std::string text;
    for (py::handle fixed : self) {
      py::object source = fixed[py::int_(0)];
      py::object path = fixed[py::int_(1)];
      py::object before = originals[path].attr("splitlines")(true);
      py::object after = source.attr("splitlines")(true);
      std::string name = vettor::path_bytes(path);
      for (py::handle line : unified(before, after, "fromfile"_a = vettor::bytes_text(header_name("a/" + name)),
                                     "tofile"_a = vettor::bytes_text(header_name("b/" + name)))) {
        text += vettor::text_bytes(line);
        if (text.back() != '\n') text += "\n\\ No newline at end of file\n";
      }
    }
    return vettor::bytes_text(text);
  });
  // The same diff as the bytes patch and git apply read: each file's lines in the file's own
  // encoding and line breaks, as they are on disk and as the fix writes them.
  vettor::add_method(cls, "unified_diff_bytes", [](py::object self) {
    py::object diff_bytes = lookup("difflib", "diff_bytes");
    py::object unified = lookup("difflib", "unified_diff");
    py::object stored_form = G("stored_form");
    py::dict stored = py::getattr(self, "stored", py::dict());
    std::string out;
    for (py::handle fixed : self) {
      py::object source = fixed[py::int_(0)];
      py::object path = fixed[py::int_(1)];
      py::bytes before = stored.contains(path) ? py::bytes(stored[path])
                                               : py::bytes(py::str(self.attr("originals")[path]).attr("encode")("utf-8"));
      py::bytes after = stored_form(before, source);
      std::string name = vettor::path_bytes(path);
      for (py::handle line : diff_bytes(unified, byte_lines(before), byte_lines(after),
                                        py::bytes(header_name("a/" + name)), py::bytes(header_name("b/" + name)),
                                        py::bytes(""), py::bytes(""), 3, py::bytes("\n"))) {
        out += std::string(py::bytes(py::reinterpret_borrow<py::object>(line)));
        if (out.back() != '\n') out += "\n\\ No newline at end of file\n";
      }
    }
    return py::bytes(out);
  });
  return cls;
}

py::object make_written_files(py::module_& m) {
  py::dict ns;
  ns["__doc__"] =
      "The paths a project transform wrote, in the order written; `migrations` the labels of "
      "the installed apps whose model fields the written fixes change; `unsafe_left_out` the "
      "findings whose fixes were left out because they are unsafe.";
  ns["migrations"] = py::tuple();
  ns["unsafe_left_out"] = py::tuple();
  return vettor::make_class(m, "WrittenFiles", vettor::bases_of(py::type::of(py::list())), ns);
}

}  // namespace

PYBIND11_MODULE(diff, m) {
  G.bind(m);
  m.attr("Path") = lookup("pathlib", "Path");
  // The transformer imports this module when it loads; it is reached at call time.
  m.attr("helpers") = vettor::import_sibling(m, "helpers");
  m.attr("suggest") = vettor::import_sibling(m, "suggest");
  m.attr("meta") = vettor::import_sibling(m, "meta");
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));

  m.def("stored_form", &stored_form,
        "The bytes a file holds once `source` (a fixed text, lines broken by \"\\n\") is\n"
        "written over `stored` (its bytes before): the file's encoding and line breaks.",
        py::arg("stored"), py::arg("source"));
  m.attr("FixedFile") = lookup("collections", "namedtuple")(
      "FixedFile", py::make_tuple("source", "path"), "module"_a = m.attr("__name__"));
  m.attr("ProjectDiff") = make_project_diff(m);
  m.attr("WrittenFiles") = make_written_files(m);
  m.def("get_diff_plaintext", &get_diff_plaintext, py::arg("project_root"), py::arg("whitelist"),
        py::arg("settings_modpath"), py::arg("code_style"), py::arg("jobs") = py::none(),
        py::arg("config") = py::none(), py::arg("unsafe_fixes") = false);
}
