// helpers: node editing helpers. The small edits that fixes make on astroid trees (renaming the
// function a call calls, adding a keyword argument, giving a new node the place of the node it
// replaces, the place of a statement added to a module), and two helpers over plain texts
// offered to outside callers.
#include <vettor/project_files.hpp>

#include <cctype>
#include <string>
#include <vector>

#include "helpers.hpp"

namespace vettor::helpers {

namespace {

// The receiver of an attribute call stays: models.NullBooleanField(...) becomes
// models.BooleanField(...). Tokens and positions stay as they were; the new name shows when the
// tree is rendered again.
void set_function_name(py::object node, py::object new_name) {
  py::object func = node.attr("func");
  py::object astroid = G("astroid");
  if (vettor::isinstance(func, astroid.attr("Attribute"))) {
    func.attr("attrname") = new_name;
  } else if (vettor::isinstance(func, astroid.attr("Name"))) {
    func.attr("name") = new_name;
  } else {
    raise(PyExc_NotImplementedError);
  }
}

// A trailing **kwargs stays last.
void add_to_keywords(py::object keywords, py::object keyword) {
  auto size = py::len(keywords);
  if (size > 0) {
    std::string last = py::str(keywords[py::int_(size - 1)].attr("as_string")());
    if (last.rfind("**", 0) == 0) {
      keywords.attr("insert")(size - 1, keyword);
      return;
    }
  }
  keywords.attr("append")(keyword);
}

// The new node answers with the old node's line everywhere below it, and with its tokens,
// column and parent at the top, so that the renderer puts it where the old node stood.
py::object preserve_metadata(py::object new_node, py::object old_node) {
  py::object lineno = old_node.attr("lineno");
  for (py::handle node : G("walk")(new_node)) node.attr("lineno") = lineno;
  // A node inside an f-string has no tokens of its own (the whole literal is one token):
  // the new node then has none either, and its statement is written from its rendering.
  for (const char* name : {"first_token", "last_token"}) {
    if (vettor::hasattr(old_node, name)) new_node.attr(name) = old_node.attr(name);
  }
  new_node.attr("col_offset") = old_node.attr("col_offset");
  new_node.attr("parent") = old_node.attr("parent");
  return new_node;
}

py::object get_module_name(py::object module) { return module.attr("split")(".")[py::int_(-1)]; }

// The middleware's place in the list as a share of the list: 100 / length, times the 1-based
// position (in that order, so the last digits are those of that computation).
py::object get_middleware_position(py::object middlewares, py::object middleware) {
  return on_error(
      PyExc_ValueError,
      [&]() -> py::object {
        long position = middlewares.attr("index")(middleware).cast<long>() + 1;
        double share = 100.0 / static_cast<double>(py::len(middlewares));
        return py::float_(share * static_cast<double>(position));
      },
      [] { return py::object(py::none()); });
}

bool is_a(py::handle node, const char* cls) { return vettor::isinstance(node, G("astroid").attr(cls)); }

bool is_star_import(py::handle stmt) {
  if (!is_a(stmt, "ImportFrom")) return false;
  for (py::handle name : stmt.attr("names")) {
    if (py::str("*").equal(py::tuple(py::reinterpret_borrow<py::object>(name))[0])) return true;
  }
  return false;
}

// A star import of a developer's own settings: a module named local-something, or for
// development or tests (`from .local_settings import *`, `from .dev import *`).
bool is_local_star_import(py::handle stmt) {
  if (!is_star_import(stmt)) return false;
  std::string modname = py::str(stmt.attr("modname"));
  for (char& c : modname) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return modname.find("local") != std::string::npos || vettor::names_development_module(modname);
}

// A block that only imports, among them star imports of a developer's own settings, and no
// other: `try: from .local import *` with its `except ImportError: pass`, or the same under
// an `if`. (`try: from .base import *` reads what the module builds on.)
bool local_imports_only(py::handle stmts) {
  bool star = false;
  for (py::handle stmt : stmts) {
    if (is_a(stmt, "TryExcept") || is_a(stmt, "TryFinally") || is_a(stmt, "If")) {
      if (!local_imports_only(stmt.attr("body"))) return false;
      star = true;
    } else if (is_star_import(stmt)) {
      if (!is_local_star_import(stmt)) return false;
      star = true;
    } else if (!is_a(stmt, "Import") && !is_a(stmt, "ImportFrom") && !is_a(stmt, "Pass")) {
      return false;
    }
  }
  return star;
}

// The developer's local settings, read in last so that they have the last word: a star
// import of them, or a try or if block that does nothing but star-import them.
bool is_local_settings_import(py::handle stmt) {
  if (is_star_import(stmt)) return is_local_star_import(stmt);
  if (is_a(stmt, "TryExcept") || is_a(stmt, "TryFinally") || is_a(stmt, "If")) {
    return local_imports_only(stmt.attr("body"));
  }
  return false;
}

// Comments that ask for nothing to be put after them: "DON'T INSERT ANYTHING AFTER THIS
// BLOCK", "No more code below this line", "Keep at the very bottom of settings.py".
const char* const kFencePatterns[] = {
    R"(\b(don'?t|do not|never|must not|mustn'?t|should not|shouldn'?t)\b.*\b(insert|add|put|place|write|append|define)\b.*\b(after|below|beneath|under|past|following)\b)",
    R"(\b(nothing|no (more |other |further )?(code|settings?|lines?|statements?))\b.*\b(after|below|beneath|past)\b)",
    R"(\b(keep|leave|must (be|stay|remain|come)|should (be|stay|remain|come)|has to (be|stay)|needs to (be|stay))\b.*\b(bottom|last|very end|end of (the )?(file|module|settings))\b)",
};

// The line of the first comment in a module's source that asks for nothing to be added after
// it, on a line of its own and outside every statement (not one about the last entry of a
// list, say), or 0. The source is the text the module's tree was built from; a tree built
// from a file on disk has none, and nothing is found in it.
long fence_line(py::object module_node) {
  py::object data = getattr_or_none(module_node, "file_bytes");
  if (!PyBytes_Check(data.ptr())) return 0;
  py::object text = data.attr("decode")("utf-8", "replace");
  std::vector<std::pair<long, long>> spans;
  for (py::handle item : module_node.attr("body")) {
    py::object first = getattr_or_none(item, "fromlineno");
    py::object last = getattr_or_none(item, "end_lineno");  // the closing bracket's line too
    if (!py::isinstance<py::int_>(last)) last = getattr_or_none(item, "tolineno");
    if (py::isinstance<py::int_>(first) && py::isinstance<py::int_>(last)) {
      spans.emplace_back(first.cast<long>(), last.cast<long>());
    }
  }
  py::object re = import("re");
  py::object flags = re.attr("IGNORECASE");
  py::object comment_type = lookup("token", "COMMENT");
  py::object tokens = lookup("tokenize", "generate_tokens")(lookup("io", "StringIO")(text).attr("readline"));
  return on_error(
      PyExc_Exception,
      [&]() -> long {
        for (py::handle token : tokens) {
          if (!py::object(token.attr("type")).equal(comment_type)) continue;
          long line = token.attr("start")[py::int_(0)].cast<long>();
          long column = token.attr("start")[py::int_(1)].cast<long>();
          py::str before = token.attr("line")[py::slice(0, column, 1)];
          if (truthy(before.attr("strip")())) continue;
          bool inside = false;
          for (const auto& [first, last] : spans) inside = inside || (first <= line && line <= last);
          if (inside) continue;
          py::object words = token.attr("string").attr("replace")("\u2019", "'");
          for (const char* pattern : kFencePatterns) {
            if (!re.attr("search")(pattern, words, flags).is_none()) return line;
          }
        }
        return 0;
      },
      [] { return 0L; });
}

// Where a statement a fix adds to a module belongs, as an index of the module's body: an
// import after the `from __future__` imports (which must stay first; the docstring is no
// statement of the body); anything else at the end, but before the local settings imports
// that end the module, and before a comment that asks for nothing to be added after it
// (fence_line).
long new_statement_index(py::object module_node, py::object statement) {
  py::list body = module_node.attr("body");
  std::vector<py::object> items;
  for (py::handle item : body) {
    if (!item.is(statement)) items.push_back(py::reinterpret_borrow<py::object>(item));
  }
  long index = 0;
  if (is_a(statement, "Import") || is_a(statement, "ImportFrom")) {
    while (index < static_cast<long>(items.size()) && is_a(items[index], "ImportFrom") &&
           py::str("__future__").equal(items[index].attr("modname"))) {
      ++index;
    }
    return index;
  }
  index = static_cast<long>(items.size());
  while (index > 0 && is_local_settings_import(items[index - 1])) --index;
  long fence = fence_line(module_node);
  if (fence > 0) {
    for (long i = 0; i < index; ++i) {
      py::object first = getattr_or_none(items[i], "fromlineno");
      if (py::isinstance<py::int_>(first) && first.cast<long>() > fence) return i;
    }
  }
  return index;
}

}  // namespace

void register_editing(py::module_& m) {
  m.def("set_function_name", &set_function_name, py::arg("node"), py::arg("new_name"));
  m.def("add_to_keywords", &add_to_keywords, py::arg("keywords"), py::arg("keyword"));
  m.def("preserve_metadata", &preserve_metadata, py::arg("new_node"), py::arg("old_node"));
  m.def("get_module_name", &get_module_name, py::arg("module"));
  m.def("get_middleware_position", &get_middleware_position, py::arg("middlewares"),
        py::arg("middleware"));
  m.def("fence_line", &fence_line,
        "The line of the first comment of the module's source that asks for nothing to be\n"
        "added after it (\"DON'T INSERT ANYTHING AFTER THIS BLOCK\"), or 0.",
        py::arg("module_node"));
  m.def("new_statement_index", &new_statement_index, py::arg("module_node"),
        py::arg("statement"));
}

}  // namespace vettor::helpers
