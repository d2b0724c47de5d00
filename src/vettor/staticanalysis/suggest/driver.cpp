// suggest: review comments from findings. The findings of one line of one file become one
// comment; fixable findings put suggested-change blocks in front of the findings' texts, and a
// fix that touches other lines gets a comment of its own.
#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "suggest.hpp"

#include <vettor/project_files.hpp>

namespace vettor::suggest {

namespace {

constexpr const char* kOpening = "```suggestion\n";
constexpr const char* kClosing = "\n```";

py::object group_comments_by_line(py::object comments) {
  py::object builtins = import("builtins");
  py::object grouped_comments = G("defaultdict")(builtins.attr("list"));
  for (py::handle comment : comments) {
    py::object key = py::make_tuple(comment[py::str("path")],
                                    builtins.attr("int")(comment[py::str("line")]));
    grouped_comments[key].attr("append")(builtins.attr("dict")(comment));
  }
  return grouped_comments;
}

py::dict build_comment(py::object path, py::object start_line, py::object end_line,
                       py::object body) {
  py::dict comment;
  comment["body"] = body;
  comment["path"] = path;
  comment["side"] = "RIGHT";
  if (truthy(start_line.attr("__ne__")(end_line))) {
    comment["start_line"] = start_line;
    comment["line"] = end_line;
  } else {
    comment["line"] = start_line;
  }
  return comment;
}

py::str markup_suggestion(py::object suggestion) {
  return py::str(kOpening + std::string(py::str(suggestion)) + kClosing);
}

bool ends_with(py::handle path, const char* suffix) {
  return truthy(path.attr("endswith")(suffix));
}

// The module name of a reviewed file, from the file and the project root alone. A file in a
// package is named as Python imports it from the folder its packages start in (which is on
// the import path while its suggestions are made, as the lint puts it there); a file in no
// package is named by its place under the project root, which is how the project's settings
// module is named too.
py::object module_name(py::object file, py::object project_root) {
  py::object os_path = lookup("os", "path");
  py::object imported = on_error(
      PyExc_ImportError, [&] { return G("helpers").attr("module_path_from_file")(file); },
      [] { return py::object(py::none()); });
  if (!imported.is_none() && truthy(py::str(imported).attr("__contains__")("."))) return imported;
  py::str relative = os_path.attr("relpath")(file, os_path.attr("realpath")(project_root));
  py::str name = relative.attr("replace")(os_path.attr("sep"), ".");
  if (truthy(name.attr("endswith")(".py"))) return name.attr("__getitem__")(py::slice(0, -3, 1));
  return name;
}

// Why a review record cannot be answered, or an empty text when it can. The line of a usable
// record is given back as an integer: an int, or a text that int() reads (not a bool, which
// would read as line 0 or 1). A line the file does not have is still answered, with the
// record's text only.
std::string record_problem(py::handle record, py::object& line) {
  py::object builtins = import("builtins");
  if (!vettor::isinstance(record, lookup("collections.abc", "Mapping"))) return "it is not a mapping";
  auto text_field = [&](const char* key) {
    py::object value = record.attr("get")(key);
    return py::isinstance<py::str>(value) && py::len(value) > 0;
  };
  if (!text_field("path")) return "its \"path\" is missing or not a text";
  if (!truthy(record.attr("__contains__")("line"))) return "it has no \"line\"";
  py::object given = record[py::str("line")];
  py::object number = py::none();
  if (!py::isinstance<py::bool_>(given)) {
    py::object convert = py::isinstance<py::str>(given) ? py::object(builtins.attr("int"))
                                                         : lookup("operator", "index");
    number = on_error(
        PyExc_Exception, [&] { return convert(given); }, [] { return py::object(py::none()); });
  }
  if (number.is_none()) {
    std::string shown = py::repr(given);
    if (shown.size() > 40) shown = shown.substr(0, 37) + "...";
    return "its \"line\" " + shown + " is not a line number";
  }
  if (!py::isinstance<py::str>(record.attr("get")("message-id"))) {
    return "its \"message-id\" is missing or not a text";
  }
  if (!py::isinstance<py::str>(record.attr("get")("body"))) return "its \"body\" is missing or not a text";
  line = number;
  return std::string();
}

// The records that can be answered, each a copy with its line as an integer. Every other one
// is left out, with one line in the log: one bad record costs only itself.
py::list usable_records(py::object comments) {
  py::list usable;
  long index = 0;
  for (py::handle record : comments) {
    py::object line;
    std::string problem = record_problem(record, line);
    if (problem.empty()) {
      py::dict copy = import("builtins").attr("dict")(record);
      copy["line"] = line;
      usable.append(copy);
    } else {
      G("logger").attr("warning")("Skipped review comment %s: %s", index, problem);
    }
    ++index;
  }
  return usable;
}

// A file the review reads: read (and a Python file parsed) at its first line with fixable
// findings, and what its suggestions ask about the whole file, worked out once, so that the
// cost of a finding line does not grow with the file. Every later line of the same file reuses
// it; nothing of it outlives the call.
struct ReviewedFile {
  py::object parsed;     // a template's lines, or a Python file's TokenIndex
  long line_count = 0;   // as the tokenizer counts lines
  py::object facts;      // a template's template_facts
  py::list lines;        // a Python file's text split at "\n"
  std::set<long> joined;  // the lines of a Python file from which a string literal runs on
  py::object spans;      // a Python file's statement_spans; none until asked for
};

// The number of lines of a text as the tokenizer counts them.
long line_count(py::handle text) {
  std::string value = py::str(text);
  long count = static_cast<long>(std::count(value.begin(), value.end(), '\n'));
  if (!value.empty() && value.back() != '\n') ++count;
  return count;
}

ReviewedFile read_for_review(py::object path, py::str file, py::object project_root) {
  py::object helpers = G("helpers");
  py::object lines = helpers.attr("read_code_from_file")(file);
  ReviewedFile reviewed;
  if (ends_with(path, ".html")) {
    reviewed.parsed = lines;
    reviewed.line_count = static_cast<long>(py::len(lines));
    reviewed.facts = G("template_facts")(lines);
    return reviewed;
  }
  reviewed.parsed = helpers.attr("build_atok")(
      py::arg("source") = py::str("").attr("join")(lines),
      py::arg("modname") = module_name(file, project_root), py::arg("absolute_path") = file);
  py::object text = reviewed.parsed.attr("text");
  reviewed.line_count = line_count(text);
  reviewed.lines = text.attr("split")("\n");
  // Line n is in `joined` when a string literal runs on from it to line n + 1.
  py::object string_type = lookup("token", "STRING");
  for (py::handle token : reviewed.parsed.attr("tokens")) {
    if (!py::object(token.attr("type")).equal(string_type)) continue;
    long start = token.attr("start")[py::int_(0)].cast<long>();
    long end = token.attr("end")[py::int_(0)].cast<long>();
    for (long n = start; n < end; ++n) reviewed.joined.insert(n);
  }
  reviewed.spans = py::none();
  return reviewed;
}

using ReviewedFiles = std::map<std::string, ReviewedFile>;

// The suggestions of one finding line. A relative path names a file under the project root,
// whatever the working directory; a path that leads out of the root, or a file over the size
// limit (`limit_mb`), is refused before anything is opened.
py::list suggestions_for(py::object path, py::object line, py::set message_ids, ReviewedFiles& files,
                         py::object code_style, py::object settings_modules, py::dict settings,
                         py::object project_root, double limit_mb) {
  py::object helpers = G("helpers");
  bool html = ends_with(path, ".html");
  if (!html && !ends_with(path, ".py")) return py::list();
  py::str file = py::str(helpers.attr("file_under_root")(project_root, path));
  // (Files are kept by their name's bytes: a file name need not be UTF-8.)
  std::string key = text_bytes(path);
  if (!files.count(key)) {
    if (auto large = file_too_large(file, limit_mb)) raise(PyExc_ValueError, "it is " + *large);
  }
  py::list paths;
  paths.append(file);
  // The file's own project is on the import path while the fixes infer its names.
  return py::list(within(lookup("pylint.lint", "fix_import_path")(paths), [&]() -> py::object {
    if (!files.count(key)) files.emplace(key, read_for_review(path, file, project_root));
    const ReviewedFile& reviewed = files.at(key);
    long lines = reviewed.line_count;
    // Compared as Python integers: a line number need not fit a machine word.
    if (truthy(line.attr("__lt__")(1)) || truthy(line.attr("__gt__")(lines))) {
      G("logger").attr("warning")("No suggestion for %s line %s: the file has lines 1 to %s",
                                  path, line, lines);
      return py::list();
    }
    if (html) {
      return G("get_suggestions_for_html")(
          py::arg("code_lines") = reviewed.parsed, py::arg("line") = line,
          py::arg("message_ids") = message_ids, py::arg("settings") = settings,
          py::arg("facts") = reviewed.facts);
    }
    return G("get_suggestions_for_python")(
        py::arg("atok") = reviewed.parsed, py::arg("line") = line, py::arg("message_ids") = message_ids,
        py::arg("code_style") = code_style, py::arg("settings_modpath") = settings_modules);
  }));
}

// The first and last line of each top-level statement of a Python source, decorators
// included: the smallest runs of its lines that parse alone.
py::list statement_spans(py::handle text) {
  py::list spans;
  py::object tree = lookup("ast", "parse")(text);
  for (py::handle statement : tree.attr("body")) {
    long first = statement.attr("lineno").cast<long>();
    for (py::handle decorator : py::getattr(statement, "decorator_list", py::list())) {
      first = std::min(first, decorator.attr("lineno").cast<long>());
    }
    spans.append(py::make_tuple(first, statement.attr("end_lineno")));
  }
  return spans;
}

// True when putting `block` in place of lines first to last of the source changes neither
// its syntax tree nor its comments: the block only lays the same code out anew (other
// breaks, brackets or quotes), which is no change a reviewer needs to apply. The top-level
// statements the lines belong to are compared, before and after.
bool only_relays(const py::list& lines, py::handle spans, long first, long last, py::handle block) {
  long from = first;
  long to = last;
  for (py::handle span : spans) {
    long start = span[py::int_(0)].cast<long>();
    long end = span[py::int_(1)].cast<long>();
    if (end < first || start > last) continue;
    from = std::min(from, start);
    to = std::max(to, end);
  }
  long count = static_cast<long>(py::len(lines));
  if (first < 1 || last > count || first > last) return false;
  py::str newline("\n");
  py::object before = newline.attr("join")(lines[py::slice(from - 1, to, 1)]);
  py::list changed = lines[py::slice(from - 1, first - 1, 1)];
  for (py::handle item : block.attr("split")("\n")) changed.append(item);
  for (py::handle item : lines[py::slice(last, to, 1)]) changed.append(item);
  py::object after = newline.attr("join")(changed);
  auto meaning = [](py::handle code) {
    py::object dump = lookup("ast", "dump")(lookup("ast", "parse")(code));
    py::list comments;
    py::object readline = lookup("io", "StringIO")(code).attr("readline");
    py::object comment = lookup("token", "COMMENT");
    for (py::handle token : lookup("tokenize", "generate_tokens")(readline)) {
      if (py::object(token.attr("type")).equal(comment)) comments.append(token.attr("string"));
    }
    return py::make_tuple(dump, comments);
  };
  return on_error(
      PyExc_Exception, [&] { return py::bool_(meaning(before).equal(meaning(after))); },
      [] { return py::bool_(false); });
}

// The suggestion less the lines at its start and its end that it leaves as they are: a
// statement of many lines that a fix changes on one of them is suggested on that line. A
// string literal over several lines is never cut: the block starts and ends outside one. The
// finding's line stays in a block that held it, so that the block stays on its comment.
py::tuple trim_unchanged(const ReviewedFile& reviewed, py::object first, py::object last,
                         py::object block, py::handle finding_line) {
  const py::list& lines = reviewed.lines;
  const std::set<long>& joined = reviewed.joined;
  long from = first.cast<long>();
  long to = last.cast<long>();
  if (from < 1 || to > static_cast<long>(py::len(lines)) || from > to) {
    return py::make_tuple(first, last, block);
  }
  long keep = finding_line.cast<long>();
  if (keep < from || keep > to) keep = 0;
  py::list replaced = block.attr("split")("\n");
  long head = 0;
  long tail = static_cast<long>(py::len(replaced));
  while (tail - head > 1 && to > from && from != keep && !joined.count(from) &&
         py::object(replaced[head]).equal(lines[from - 1])) {
    ++head;
    ++from;
  }
  while (tail - head > 1 && to > from && to != keep && !joined.count(to - 1) &&
         py::object(replaced[tail - 1]).equal(lines[to - 1])) {
    --tail;
    --to;
  }
  if (head == 0 && tail == static_cast<long>(py::len(replaced))) return py::make_tuple(first, last, block);
  py::object kept = py::str("\n").attr("join")(replaced[py::slice(head, tail, 1)]);
  return py::make_tuple(py::int_(from), py::int_(to), kept);
}

// One line for the reviewer who applies a suggestion: what the unsafe fixes among `codes` may
// change (each rule module says so beside its fix, checker.fix_safety_store). Empty when the
// fixes keep what the code means.
std::string unsafe_note(py::handle codes) {
  py::dict safety = import_sibling(G.handle(), "checker").attr("fix_safety_store");
  std::vector<std::string> changes;
  for (py::handle code : import("builtins").attr("sorted")(codes)) {
    if (!safety.contains(code)) continue;
    py::tuple declared = safety[code];
    if (py::str(declared[0]).equal(py::str("unsafe"))) changes.push_back(py::str(declared[1]));
  }
  if (changes.empty()) return "";
  std::string note = "Unsafe fix: it may change " + changes[0];
  for (std::size_t i = 1; i < changes.size(); ++i) note += "; it may also change " + changes[i];
  return note + ".";
}

// The codes whose fixes made the suggestions of a line.
py::set fixed_codes(py::handle path, const ReviewedFiles& files, py::handle message_ids,
                    py::handle suggestions) {
  py::set codes;
  auto reviewed = files.find(text_bytes(path));
  if (py::len(suggestions) == 0 || reviewed == files.end()) return codes;
  if (ends_with(path, ".html")) {
    if (truthy(message_ids.attr("__contains__")(G("constants").attr("SKIP_LINE_ID")))) return codes;
    for (py::handle code : message_ids) {
      if (truthy(G("constants").attr("TRANSFORMABLE_TEMPLATE_RULES").attr("__contains__")(code))) codes.add(code);
    }
    return codes;
  }
  py::object fixed = getattr_or_none(reviewed->second.parsed.attr("tree"), "vettor_fixed_codes");
  if (PySet_Check(fixed.ptr())) {
    for (py::handle code : fixed) codes.add(code);
  }
  return codes;
}

std::string suggestion_key(py::handle path, py::handle first, py::handle last,
                           py::handle text) {
  return text_bytes(py::str(path)) + ":" + std::string(py::str(first)) + ":" +
         std::string(py::str(last)) + ":" + text_bytes(py::str(text));
}

py::list suggest_fixes_here(py::object comments, py::object project_root) {
  py::list comments_with_suggestions;
  std::set<std::string> seen;

  // A mistake in the project's configuration is told before anything is read by it.
  import_sibling(G.handle(), "checker").attr("read_project_config")(project_root);
  py::object meta = G("meta");
  py::object code_style = meta.attr("get_code_style")(project_root);
  py::dict settings;
  settings["STATIC_URL"] = meta.attr("get_static_url_setting")(project_root);
  py::object settings_modpath = meta.attr("get_settings_modpath")(project_root);
  // The project's own size limit, as its lint has it. A configuration the lint refuses is
  // reported there; the suggestions go by the default meanwhile.
  double limit_mb = on_error(
      meta.attr("ConfigurationError"), [&] { return max_file_size(meta.attr("get_toml_config")(project_root)); },
      [] { return kDefaultMaxFileSizeMB; });
  // The project's routes, for the fix of hard-coded links; read only for a review that has
  // templates in it.
  py::list records = usable_records(comments);
  settings["ROUTES"] = py::none();
  for (py::handle record : records) {
    if (!ends_with(record[py::str("path")], ".html")) continue;
    try {
      settings["ROUTES"] = G("urls").attr("read_url_configuration")(
          project_root, meta.attr("get_project_root_urlconf")(project_root));
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_Exception)) throw;
      G("logger").attr("warning")("No link is fixed: the URL configuration was not read: %s",
                                  e.value());
    }
    break;
  }
  // A settings finding's fix is suggested in the module where the finding stands, whichever
  // of the modules the settings rules judge it is (production.py and staging.py, say), and in
  // no module they do not judge.
  py::list settings_modules;
  if (PyUnicode_Check(settings_modpath.ptr()) && truthy(settings_modpath)) settings_modules.append(settings_modpath);
  for (py::handle judged : meta.attr("get_settings_files")(project_root)) {
    if (!settings_modules.contains(judged)) settings_modules.append(judged);
  }

  ReviewedFiles files;
  // Files that could not be read or parsed: not tried again for their later lines.
  py::set unreadable;
  py::object logger = G("logger");
  py::object build = G("build_comment");

  py::object grouped = G("group_comments_by_line")(records);
  for (py::handle item : grouped.attr("items")()) {
    py::tuple key = py::reinterpret_borrow<py::tuple>(item[py::int_(0)]);
    py::object path = key[0];
    py::object start_line = key[1];
    py::object end_line = start_line;
    py::list bodies;
    py::set transformable_message_ids;
    py::set message_ids;
    for (py::handle comment : item[py::int_(1)]) {
      py::object message_id = comment[py::str("message-id")];
      message_ids.add(message_id);
      if (truthy(G("constants").attr("TRANSFORMABLE_RULES").attr("__contains__")(message_id))) {
        transformable_message_ids.add(message_id);
      }
      bodies.append(comment[py::str("body")]);
    }
    // A line to be silenced is silenced for every finding on it, fixable or not.
    if (transformable_message_ids.contains(G("constants").attr("SKIP_LINE_ID"))) {
      transformable_message_ids = message_ids;
    }

    if (py::len(transformable_message_ids) > 0 && !unreadable.contains(path)) {
      // One finding's fix must not cost the review the comments of every other finding: on a
      // failure the line is posted with the findings' texts only.
      py::list suggestions;
      try {
        suggestions = suggestions_for(path, start_line, transformable_message_ids, files,
                                      code_style, settings_modules, settings, project_root, limit_mb);
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_Exception)) throw;
        if (!files.count(text_bytes(path))) {
          // The file cannot be used (outside the root, not a regular file, unreadable, not
          // parsing): said once, in one line, and its later lines are not tried again.
          unreadable.add(path);
          py::object why = py::str(e.value()).attr("replace")("\n", " ");
          logger.attr("warning")("No suggestions for %s: %s", path, why);
        } else {
          logger.attr("error")("No suggestion for %s line %s", path, start_line,
                               py::arg("exc_info") = e.value());
        }
      }
      bool attached = false;
      long blocks = 0;  // the suggestion blocks at the front of the line's own comment
      std::string note = unsafe_note(fixed_codes(path, files, transformable_message_ids, suggestions));
      for (py::handle entry : suggestions) {
        py::sequence triple = py::reinterpret_borrow<py::sequence>(entry);
        if (py::len(triple) != 3) {
          raise(PyExc_ValueError, "a code suggestion has exactly three items");
        }
        py::object first = triple[0];
        py::object last = triple[1];
        py::object suggestion = triple[2];
        if (ends_with(path, ".py") && py::isinstance<py::int_>(first) && py::isinstance<py::int_>(last) &&
            py::isinstance<py::str>(suggestion)) {
          ReviewedFile& reviewed = files.at(text_bytes(path));
          py::tuple trimmed = trim_unchanged(reviewed, first, last, suggestion, start_line);
          first = trimmed[0];
          last = trimmed[1];
          suggestion = trimmed[2];
          if (reviewed.spans.is_none()) {
            py::object text = reviewed.parsed.attr("text");
            reviewed.spans = on_error(
                PyExc_Exception, [&] { return py::object(statement_spans(text)); },
                [] { return py::object(py::list()); });
          }
          if (only_relays(reviewed.lines, reviewed.spans, first.cast<long>(), last.cast<long>(),
                          suggestion)) {
            continue;
          }
        }
        // Every block of one comment replaces the comment's own range: after the first block
        // has set it, a further one joins only when it covers exactly that range.
        bool touches = attached ? (start_line.equal(first) && end_line.equal(last))
                                : (start_line.equal(first) || start_line.equal(last));
        std::string key_text = suggestion_key(path, first, last, suggestion);
        if (!seen.insert(key_text).second) continue;  // posted already, for another finding line
        if (touches) {
          bodies.insert(0, G("markup_suggestion")(suggestion));
          start_line = first;
          end_line = last;
          attached = true;
          ++blocks;
        } else {
          py::object body = G("markup_suggestion")(suggestion);
          if (!note.empty()) body = body + py::str("\n\n" + note);
          comments_with_suggestions.append(
              build(py::arg("path") = path, py::arg("start_line") = first,
                    py::arg("end_line") = last, py::arg("body") = body));
        }
      }
      if (blocks > 0 && !note.empty()) bodies.insert(blocks, py::str(note));
    }
    comments_with_suggestions.append(build(py::arg("path") = path, py::arg("start_line") = start_line,
                                           py::arg("end_line") = end_line,
                                           py::arg("body") = py::str("\n\n").attr("join")(bodies)));
  }
  return comments_with_suggestions;
}

// The project's modules that the fixes build to infer are forgotten when the call ends, so a
// later call sees the files as they are then.
py::list suggest_fixes(py::object comments, py::object project_root) {
  py::object scope = import_sibling(G.handle(), "checker")
                         .attr("ProjectModules")(project_root, list_of(lookup("os", "fspath")(project_root)));
  return vettor::within(scope, [&] { return py::object(suggest_fixes_here(comments, project_root)); });
}

}  // namespace

void register_driver(py::module_& m) {
  m.def("suggest_fixes", &suggest_fixes,
        "Turn review findings into the review comments to post.\n\n"
        "comments: FindingComment mappings, each with \"path\" (the file: relative to\n"
        "    project_root unless absolute, and kept as given in the output; a path that\n"
        "    leads out of project_root gets no suggestion), \"line\" (1-based),\n"
        "    \"message-id\" and \"body\" (the finding's text, Markdown).\n"
        "project_root: the project folder, where the files named by the findings, the\n"
        "    settings module, STATIC_URL and the [tool.black] code style are read from.\n\n"
        "Returns a new list of ReviewComment mappings with \"body\", \"path\", \"side\"\n"
        "(\"RIGHT\"), \"start_line\" (only for a range of several lines) and \"line\".\n"
        "Findings on one line share a comment; a fixable one starts its body with a\n"
        "```suggestion block holding the fixed lines. A record that cannot be answered\n"
        "(not a mapping, or without a text path, message-id and body and an integer line)\n"
        "is left out with one warning in the log; so is a file that cannot be read or is\n"
        "larger than the project's max-file-size (one warning), whose findings then get\n"
        "their texts only.",
        py::arg("comments"), py::arg("project_root"));
  m.def("group_comments_by_line", &group_comments_by_line, py::arg("comments"));
  m.def("build_comment", &build_comment, py::arg("path"), py::arg("start_line"),
        py::arg("end_line"), py::arg("body"));
  m.def("markup_suggestion", &markup_suggestion, py::arg("suggestion"));
}

}  // namespace vettor::suggest
