// Internal to the suggest module: the registration function of each topic file, called in
// this order by suggest.cpp, and the module handle they share.
#pragma once

#include <vettor/pyutil.hpp>

#include <string>

namespace vettor::suggest {

// The suggest module itself, for reading its names at call time.
extern ModuleRef G;

// The name of a token's type ("NAME", "COMMENT", "NL", ...).
inline std::string token_name(py::handle tok) {
  return py::str(G("tok_name")[tok.attr("type")]);
}

// The keyword an if statement of the source begins with: "if", or "elif" for a clause (astroid
// makes both If nodes); empty for any other node and for one that a fix made.
inline std::string if_keyword(py::handle node) {
  if (!vettor::isinstance(node, G("astroid").attr("If")) || !vettor::hasattr(node, "first_token")) {
    return std::string();
  }
  return py::str(node.attr("first_token").attr("string"));
}

inline bool is_elif(py::handle node) { return if_keyword(node) == "elif"; }

// Triple-quoted literal whose value is `doc` (renderer.cpp).
std::string docstring_literal(const std::string& doc);
// The rendering methods that make astroid's rendering read back as the code it renders.
void add_rendering_repairs(py::handle cls);

// The symbols a disable pragma names for the codes of a line (python.cpp), in the order of
// the codes, the pragma request code and codes no rule reports left out.
py::list pragma_symbols(py::handle message_ids, py::handle message_id_symbol_store);

void register_renderer(py::module_& m);    // comment-preserving renderer
void register_formatting(py::module_& m);  // quote normaliser and Black formatting
void register_splice(py::module_& m);      // fixed statements written back into their source
void register_python(py::module_& m);      // suggestions for Python files
void register_html(py::module_& m);        // suggestions for templates
void register_driver(py::module_& m);      // grouping findings into review comments

}  // namespace vettor::suggest
