// helpers: node editing helpers. The small edits that fixes make on astroid trees (renaming the
// function a call calls, adding a keyword argument, giving a new node the place of the node it
// replaces, the place of a statement added to a module), and two helpers over plain texts
// offered to outside callers.
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

// A block that only imports, among them a star import: `try: from .local import *` with its
// `except ImportError: pass`, or the same under an `if`.
bool star_imports_only(py::handle stmts) {
  bool star = false;
  for (py::handle stmt : stmts) {
    if (is_a(stmt, "TryExcept") || is_a(stmt, "TryFinally") || is_a(stmt, "If")) {
      if (!star_imports_only(stmt.attr("body"))) return false;
      star = true;
    } else if (is_star_import(stmt)) {
      star = true;
    } else if (!is_a(stmt, "Import") && !is_a(stmt, "ImportFrom") && !is_a(stmt, "Pass")) {
      return false;
    }
  }
  return star;
}

// The developer's local settings, read in last so that they have the last word:
// `from .local_settings import *` (a star import of a module named local-something), or a
// try or if block that does nothing but star-import.
bool is_local_settings_import(py::handle stmt) {
  if (is_star_import(stmt)) {
    std::string modname = py::str(stmt.attr("modname"));
    for (char& c : modname) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return modname.find("local") != std::string::npos;
  }
  if (is_a(stmt, "TryExcept") || is_a(stmt, "TryFinally") || is_a(stmt, "If")) {
    return star_imports_only(stmt.attr("body"));
  }
  return false;
}

// Where a statement a fix adds to a module belongs, as an index of the module's body: an
// import after the `from __future__` imports (which must stay first; the docstring is no
// statement of the body); anything else at the end, but before the local settings imports
// that end the module.
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
  m.def("new_statement_index", &new_statement_index, py::arg("module_node"),
        py::arg("statement"));
}

}  // namespace vettor::helpers
