// suggest: quote normaliser and Black formatting. Code that a fix produced reaches the user
// formatted by Black, but with its string literals turned towards the quote character that the
// file being fixed prefers rather than towards Black's double quotes. Black's own quote
// normaliser is replaced for the length of one formatting call: it is an attribute of a Black
// module and so seen by every formatting in the process, which is why it is always put back,
// also when Black fails.
#include <exception>
#include <string>
#include <vector>

#include "suggest.hpp"

namespace vettor::suggest {

namespace {

const char* const kSingle = "'";
const char* const kDouble = "\"";

py::tuple get_comma_character_target(py::object source) {
  auto single = source.attr("count")(kSingle).cast<long>();
  auto doubles = source.attr("count")(kDouble).cast<long>();
  if (single > doubles) return py::make_tuple(kDouble, kSingle);
  return py::make_tuple(kSingle, kDouble);
}

// A name of Black's string helpers: on the package in older releases, on black.strings in later.
py::object black_strings_attr(const char* name) {
  py::object black = G("black");
  return on_error(
      PyExc_AttributeError, [&]() -> py::object { return black.attr(name); },
      [&]() -> py::object { return black.attr("strings").attr(name); });
}

// The quote a file's own string literals mostly use, as (quote to replace, quote to use): the
// opening quote of each literal counts once, whatever it holds, and a literal that stands as a
// statement of its own (a docstring) does not count: docstrings are written in triple double
// quotes by convention, whatever the code around them uses. A tie, and a file without
// literals, prefer double quotes, as Black does. A text that does not tokenize counts as far
// as it does.
py::tuple get_literal_quote_target(py::object source) {
  py::object tokenize = import("tokenize");
  long single = 0, doubles = 0;
  std::vector<std::pair<std::string, std::string>> seen;  // (token name, text) of each token
  auto count_pending = [&](std::size_t at) {
    // seen[at] is a STRING token; it is a statement of its own when what stands before it
    // starts a line of code and what follows ends one.
    auto layout = [](const std::string& name) {
      return name == "NL" || name == "COMMENT" || name == "INDENT" || name == "DEDENT" ||
             name == "ENCODING";
    };
    std::size_t before = at;
    while (before > 0 && layout(seen[before - 1].first)) --before;
    bool starts = before == 0 || seen[before - 1].first == "NEWLINE";
    std::size_t after = at + 1;
    while (after < seen.size() && layout(seen[after].first)) ++after;
    bool ends = after < seen.size() &&
                (seen[after].first == "NEWLINE" || seen[after].first == "ENDMARKER");
    if (starts && ends) return;
    std::string value = seen[at].second;
    std::size_t quote = value.find_first_of("'\"");
    if (quote == std::string::npos) return;
    (value[quote] == '\'' ? single : doubles) += 1;
  };
  try {
    py::object readline = lookup("io", "StringIO")(source).attr("readline");
    py::object names = lookup("token", "tok_name");
    for (py::handle tok : tokenize.attr("generate_tokens")(readline)) {
      seen.emplace_back(py::str(names[tok.attr("type")]), py::str(tok.attr("string")));
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(tokenize.attr("TokenError")) && !e.matches(PyExc_SyntaxError)) throw;
  }
  for (std::size_t i = 0; i < seen.size(); ++i) {
    if (seen[i].first == "STRING") count_pending(i);
  }
  if (single > doubles) return py::make_tuple(kDouble, kSingle);
  return py::make_tuple(kSingle, kDouble);
}

// Replacement fields of an f-string body (a "{" not doubled, up to the next single "}").
const char* const kFieldPattern =
    "\n"
    "        (?:[^{]|^)\\{  # start of the string or a non-{ followed by a single {\n"
    "            ([^{].*?)  # contents of the brackets except if begins with {{\n"
    "        \\}(?:[^}]|$)  # A } followed by end of the string or a non-}\n"
    "    ";

py::object normalize_string_quotes(py::object comma_character_target, py::object s) {
  // Unpacked as Python would: anything but exactly two items raises the unpacking error.
  py::object unpack = py::module_::import("builtins").attr("tuple")(comma_character_target);
  if (py::len(unpack) != 2) {
    raise(PyExc_ValueError, py::len(unpack) > 2
                                ? std::string("too many values to unpack (expected 2)")
                                : "not enough values to unpack (expected 2, got " +
                                      std::to_string(py::len(unpack)) + ")");
  }
  py::tuple pair = unpack;
  py::str comma_before = pair[0];
  py::str comma_after = pair[1];

  py::object prefix_chars = black_strings_attr("STRING_PREFIX_CHARS");
  py::object sub_twice = black_strings_attr("sub_twice");
  py::object re = import("re");

  py::str value = s.attr("lstrip")(prefix_chars);
  py::str first_three = value[py::slice(0, 3, 1)];
  py::str orig_quote, new_quote;
  if (first_three.equal(py::str("\"\"\""))) return s;
  if (first_three.equal(py::str("'''"))) {
    orig_quote = py::str("'''");
    new_quote = py::str("\"\"\"");
  } else if (py::str(value[py::int_(0)]).equal(comma_before)) {
    orig_quote = comma_before;
    new_quote = comma_after;
  } else {
    orig_quote = comma_after;
    new_quote = comma_before;
  }
  long first_quote_pos = s.attr("find")(orig_quote).cast<long>();
  if (first_quote_pos == -1) return s;

  py::str prefix = s[py::slice(0, first_quote_pos, 1)];
  const std::string escaped = R"(([^\\]|^)\\((?:\\\\)*))";
  py::object unescaped_new_quote =
      re.attr("compile")(py::str(R"((([^\\]|^)(\\\\)*))") + new_quote);
  py::object escaped_new_quote = re.attr("compile")(py::str(escaped) + new_quote);
  py::object escaped_orig_quote = re.attr("compile")(py::str(escaped) + orig_quote);

  long quote_len = static_cast<long>(py::len(orig_quote));
  py::str body = s[py::slice(first_quote_pos + quote_len, -quote_len, 1)];
  py::str new_body;
  std::string prefix_folded = prefix.attr("casefold")().cast<std::string>();
  if (prefix_folded.find('r') != std::string::npos) {
    if (!unescaped_new_quote.attr("search")(body).is_none()) return s;
    new_body = body;
  } else {
    new_body = sub_twice(escaped_new_quote, py::str(R"(\1\2)") + new_quote, body);
    if (!body.equal(new_body)) return prefix + orig_quote + new_body + orig_quote;
    new_body = sub_twice(escaped_orig_quote, py::str(R"(\1\2)") + orig_quote, new_body);
    new_body = sub_twice(unescaped_new_quote, py::str(R"(\1\\)") + new_quote, new_body);
  }
  if (prefix_folded.find('f') != std::string::npos) {
    py::list matches = re.attr("findall")(kFieldPattern, new_body, re.attr("VERBOSE"));
    for (py::handle match : matches) {
      if (py::str(match).cast<std::string>().find('\\') != std::string::npos) return s;
    }
  }
  if (new_quote.equal(py::str("\"\"\"")) && truthy(new_body.attr("endswith")("\""))) {
    new_body = py::str(new_body[py::slice(0, -1, 1)]) + py::str("\\\"");
  }
  long orig_escape_count = body.attr("count")("\\").cast<long>();
  long new_escape_count = new_body.attr("count")("\\").cast<long>();
  if (new_escape_count > orig_escape_count) return s;
  if (new_escape_count == orig_escape_count && orig_quote.equal(comma_after)) return s;
  return prefix + new_quote + new_body + new_quote;
}

void normalize_string_quotes_backwards_compatible(py::object comma_character_target,
                                                  py::object leaf) {
  leaf.attr("value") = G("normalize_string_quotes")(
      py::arg("comma_character_target") = comma_character_target,
      py::arg("s") = leaf.attr("value"));
}

// Whether Black reads its quote normaliser from its module at call time, where format_code
// replaces it. A Black compiled to an extension module (the wheels on the package index) has
// the function bound when it was built, and the replacement has no effect.
bool black_reads_patched_quotes() {
  py::object linegen = G("black").attr("linegen");
  std::string file = py::str(py::getattr(linegen, "__file__", py::str("")));
  for (py::handle suffix : lookup("importlib.machinery", "EXTENSION_SUFFIXES")) {
    std::string tail = py::str(suffix);
    if (file.size() >= tail.size() && file.compare(file.size() - tail.size(), tail.size(), tail) == 0) {
      return false;
    }
  }
  return true;
}

// Black's output with every string literal turned towards the file's quote, as the replaced
// normaliser would have turned it. Literals keep their lines, so Black's layout stands.
py::str requote(py::str code, py::object comma_character_target) {
  py::object tokenize = import("tokenize");
  py::object string_type = lookup("token", "STRING");
  // Where each line starts, in characters, as the tokenizer counts columns.
  std::vector<long> line_starts{0};
  for (py::handle line : code.attr("split")("\n")) {
    line_starts.push_back(line_starts.back() + static_cast<long>(py::len(line)) + 1);
  }
  auto offset = [&](py::handle position) {
    py::tuple at = py::reinterpret_borrow<py::tuple>(position);
    return line_starts[at[0].cast<std::size_t>() - 1] + at[1].cast<long>();
  };
  py::list pieces;
  long done = 0;
  try {
    py::object readline = lookup("io", "StringIO")(code).attr("readline");
    for (py::handle tok : tokenize.attr("generate_tokens")(readline)) {
      if (!py::object(tok.attr("type")).equal(string_type)) continue;
      py::object literal = tok.attr("string");
      py::object quoted = G("normalize_string_quotes")(
          py::arg("comma_character_target") = comma_character_target, py::arg("s") = literal);
      if (quoted.equal(literal)) continue;
      long start = offset(tok.attr("start"));
      pieces.append(code[py::slice(done, start, 1)]);
      pieces.append(quoted);
      done = offset(tok.attr("end"));
    }
  } catch (py::error_already_set& e) {
    // Black's output tokenizes; should it not, it is kept as Black wrote it.
    if (!e.matches(tokenize.attr("TokenError")) && !e.matches(PyExc_SyntaxError)) throw;
    return code;
  }
  pieces.append(code[py::slice(done, static_cast<long>(py::len(code)), 1)]);
  return py::str("").attr("join")(pieces);
}

// The keywords of Black's mode: the two fixed ones, then the code style's, which may repeat
// neither. Checked before anything is patched.
py::dict mode_keywords(py::object code_style) {
  py::dict keywords;
  keywords["experimental_string_processing"] = true;
  keywords["string_normalization"] = true;
  if (!PyMapping_Check(code_style.ptr()) || !vettor::hasattr(code_style, "keys")) {
    raise(PyExc_TypeError, "black.FileMode() argument after ** must be a mapping, not " +
                               py::str(py::type::handle_of(code_style).attr("__name__"))
                                   .cast<std::string>());
  }
  for (py::handle key : code_style.attr("keys")()) {
    if (!py::isinstance<py::str>(key)) raise(PyExc_TypeError, "keywords must be strings");
    if (keywords.contains(key)) {
      raise(PyExc_TypeError, "black.FileMode() got multiple values for keyword argument '" +
                                 key.cast<std::string>() + "'");
    }
    keywords[key] = code_style[key];
  }
  return keywords;
}

// Black's output for `code` in the mode these keywords make, its string literals turned towards
// `comma_character_target` by the replaced normaliser, without leading or trailing newlines.
py::str run_black(py::object code, py::dict keywords, py::object comma_character_target) {
  py::object black = G("black");
  // Black warns on every mode that asks for its string processing; a host formatting many
  // snippets would see that warning once per call, so it is silenced here alone.
  py::object warnings = import("warnings");
  py::object quiet = warnings.attr("catch_warnings")();
  quiet.attr("__enter__")();
  py::object mode;
  try {
    warnings.attr("filterwarnings")(
        "ignore", py::arg("message") = "`experimental string processing` has been included");
    mode = black.attr("FileMode")(**keywords);
  } catch (...) {
    quiet.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  quiet.attr("__exit__")(py::none(), py::none(), py::none());

  py::object partial = lookup("functools", "partial");
  py::object patch_object = G("patch").attr("object");
  std::vector<py::object> stubs;
  if (vettor::hasattr(black, "normalize_string_quotes")) {
    // Older Black hands the normaliser a leaf and reads the new text back from it.
    py::object new_callable =
        partial(G("normalize_string_quotes_backwards_compatible"), comma_character_target);
    stubs.push_back(patch_object(black, "normalize_string_quotes", new_callable));
  } else {
    py::object new_callable = partial(G("normalize_string_quotes"), comma_character_target);
    stubs.push_back(patch_object(black.attr("linegen"), "normalize_string_quotes", new_callable));
    // String processing splits and joins literals with a normaliser of its own: without the
    // replacement there, the parts of a split literal came out in Black's double quotes.
    py::object trans = py::getattr(black, "trans", py::none());
    if (!trans.is_none() && vettor::hasattr(trans, "normalize_string_quotes")) {
      stubs.push_back(patch_object(trans, "normalize_string_quotes", new_callable));
    }
  }

  // Every replacement made is undone, the last first, whether Black returns or raises; a
  // failure to undo one must not hide Black's error nor keep the others in place.
  std::size_t started = 0;
  auto stop_started = [&] {
    while (started > 0) {
      try {
        stubs[--started].attr("stop")();
      } catch (py::error_already_set&) {
      }
    }
  };
  py::object formatted;
  try {
    for (auto& stub : stubs) {
      stub.attr("start")();
      ++started;
    }
    formatted = black.attr("format_str")(code, py::arg("mode") = mode).attr("strip")("\n");
  } catch (...) {
    stop_started();
    throw;
  }
  // Undone in full before the first failure to undo, if any, is raised.
  std::exception_ptr failure;
  while (started > 0) {
    try {
      stubs[--started].attr("stop")();
    } catch (py::error_already_set&) {
      if (!failure) failure = std::current_exception();
    }
  }
  if (failure) std::rethrow_exception(failure);
  bool normalised = truthy(py::getattr(mode, "string_normalization", py::bool_(true)));
  if (normalised && !truthy(G("black_reads_patched_quotes")())) {
    formatted = requote(formatted, comma_character_target);
  }
  return formatted;
}

py::str format_code(py::object code, py::object indentation, py::object code_style,
                    py::object comma_character_target) {
  py::str formatted = run_black(code, mode_keywords(code_style), comma_character_target);
  return lookup("textwrap", "indent")(formatted, indentation);
}

// Black in a project's own code style: `code_style` holds Black's mode keywords as the
// project's [tool.black] sets them (string normalisation among them; Black's defaults for
// what it leaves out, so no string processing). Literals that Black normalises turn towards
// the file's quote, as format_code turns them.
py::str format_in_style(py::object code, py::object indentation, py::object code_style,
                        py::object comma_character_target) {
  py::dict keywords;
  for (auto item : py::dict(lookup("builtins", "dict")(code_style))) keywords[item.first] = item.second;
  py::str formatted = run_black(code, keywords, comma_character_target);
  return lookup("textwrap", "indent")(formatted, indentation);
}

// A text's string literals turned towards the quote to use, each as normalize_string_quotes
// turns it; the rest of the text as it stands.
py::str requote_literals(py::str code, py::object comma_character_target) {
  return requote(code, comma_character_target);
}

}  // namespace

void register_formatting(py::module_& m) {
  // The module's load-time names this file reads, unless the module body bound them already.
  if (!vettor::hasattr(m, "black")) m.attr("black") = import("black");
  if (!vettor::hasattr(m, "patch")) m.attr("patch") = lookup("unittest.mock", "patch");
  // Black's normaliser and string helpers live in these submodules.
  import("black.linegen");
  import("black.strings");
  import("importlib.machinery");
  m.def("get_comma_character_target", &get_comma_character_target, py::arg("source"));
  m.def("get_literal_quote_target", &get_literal_quote_target, py::arg("source"));
  m.def("normalize_string_quotes", &normalize_string_quotes, py::arg("comma_character_target"),
        py::arg("s"));
  m.def("normalize_string_quotes_backwards_compatible",
        &normalize_string_quotes_backwards_compatible, py::arg("comma_character_target"),
        py::arg("leaf"));
  m.def("black_reads_patched_quotes", &black_reads_patched_quotes);
  m.def("format_code", &format_code, py::arg("code"), py::arg("indentation"),
        py::arg("code_style"), py::arg("comma_character_target"));
  m.def("format_in_style", &format_in_style, py::arg("code"), py::arg("indentation"),
        py::arg("code_style"), py::arg("comma_character_target"));
  m.def("requote_literals", &requote_literals, py::arg("code"), py::arg("comma_character_target"));
}

}  // namespace vettor::suggest
