// The fixes: each finding's planned edit made on the module's tree, the review road's removal
// of an insecure statement, and the fix visitor of the settings rules.
#include "settings.hpp"

#include <algorithm>
#include <vector>

namespace vettor::settings {
py::object last_statement(py::handle module_node) {
  py::list body = module_node.attr("body");
  if (body.size() == 0) return py::none();
  return body[body.size() - 1];
}

namespace {

bool name_is_read(py::handle module_node, const std::string& name) {
  for (py::handle node : module_node.attr("nodes_of_class")(A("Name"))) {
    if (text(node.attr("name")) == name) return true;
  }
  return false;
}

// A new statement goes after what the module sets, but before the local settings imports
// that end it: what the developer's local settings say keeps the last word. It is numbered
// after the module's last line, where no statement of the source starts.
py::object append_statement(py::handle module_node, const std::string& source) {
  py::object stmt = A("extract_node")(source);
  long line = 0;
  for (py::handle existing : module_node.attr("body")) {
    for (const char* field : {"lineno", "tolineno"}) {
      py::object value = py::getattr(existing, field, py::none());
      if (py::isinstance<py::int_>(value)) line = std::max(line, value.cast<long>());
    }
  }
  for (py::handle node : stmt.attr("nodes_of_class")(A("NodeNG"))) node.attr("lineno") = line + 1;
  stmt.attr("parent") = module_node;
  py::object index = G("helpers").attr("new_statement_index")(
      py::arg("module_node") = module_node, py::arg("statement") = stmt);
  module_node.attr("body").attr("insert")(index, stmt);
  // The review road places statements that a fix creates after the module's last line.
  if (vettor::hasattr(module_node, "new_nodes")) module_node.attr("new_nodes").attr("append")(stmt);
  return stmt;
}

// A statement the fix added above a comment that asks for nothing to be added after it
// (helpers.fence_line) is kept only where the finding no longer holds with it there: what
// follows the comment may set the name again, or the statement may need a name set there.
// Otherwise it is taken out again, and the fix declined with a word.
void keep_above_fence(py::handle module_node, const Finding& f, py::object stmt) {
  long fence = G("helpers").attr("fence_line")(module_node).cast<long>();
  if (fence == 0) return;
  Namespace ns = read_settings(module_node);
  bool holds = false;
  for (const Finding& g : evaluate_rules(ns, defaults_for(py::str(f.version)))) holds = holds || g.code == f.code;
  if (!holds) return;
  module_node.attr("body").attr("remove")(stmt);
  if (vettor::hasattr(module_node, "new_nodes")) {
    py::list added = module_node.attr("new_nodes");
    if (added.contains(stmt)) added.attr("remove")(stmt);
  }
  py::object file = module_node.attr("file");
  G("logger").attr("warning")(
      "Left unfixed: %s in %s: the comment on line %s asks that nothing be added after it, and "
      "%s cannot be set above it",
      f.code, py::isinstance<py::str>(file) ? file : module_node.attr("name"), fence, f.setting);
}

void set_value(py::handle assign, py::handle value) {
  py::object old = assign.attr("value");
  assign.attr("value") =
      A("Const")(value, py::arg("lineno") = old.attr("lineno"),
                 py::arg("col_offset") = old.attr("col_offset"), py::arg("parent") = assign);
}

std::string literal(py::handle value) { return text(py::repr(value)); }

void apply(py::handle module_node, const Finding& f) {
  switch (f.fix) {
    case Fix::kNone:
      return;
    case Fix::kSetValue:
      set_value(f.target, f.value);
      return;
    case Fix::kAppendAssign:
      keep_above_fence(module_node, f, append_statement(module_node, f.setting + " = " + literal(f.value)));
      return;
    case Fix::kInsertEntry: {
      py::list elements = f.target.attr("elts");
      long size = static_cast<long>(elements.size());
      py::object neighbour =
          size == 0 ? f.target : py::object(elements[std::min(f.index, size - 1)]);
      py::object entry = A("Const")(f.value, py::arg("lineno") = neighbour.attr("lineno"),
                                    py::arg("col_offset") = neighbour.attr("col_offset"),
                                    py::arg("parent") = f.target);
      elements.attr("insert")(f.index, entry);
      return;
    }
    case Fix::kAppendRebind: {
      // The list comes from elsewhere (a base settings module, a computation): build the new
      // one from it rather than mutate it, which works for a tuple as well.
      const std::string& name = f.setting;
      std::string entry = literal(f.value);
      std::string source;
      if (f.index == 0) {
        source = name + " = [" + entry + ", *" + name + "]";
      } else if (f.index >= f.size) {
        source = name + " = [*" + name + ", " + entry + "]";
      } else {
        std::string at = std::to_string(f.index);
        source =
            name + " = [*" + name + "[:" + at + "], " + entry + ", *" + name + "[" + at + ":]]";
      }
      keep_above_fence(module_node, f, append_statement(module_node, source));
      return;
    }
    case Fix::kRemove: {
      py::object assign = f.target;
      if (py::object(assign.attr("parent")).is(module_node) &&
          !name_is_read(module_node, f.setting)) {
        module_node.attr("body").attr("remove")(assign);
      } else {
        // Something still reads it, or it sits inside a block: keep the line, make it secure.
        set_value(assign, f.value);
      }
      return;
    }
  }
}


}  // namespace

bool predicate(const char* code, py::object module_node, py::object settings_modpath) {
  if (!is(module_node, "Module") || !is_settings_module(module_node, settings_modpath))
    return false;
  return plan(module_node, code).has_value();
}

py::object transform(const char* code, py::object module_node) {
  if (auto f = plan(module_node, code)) apply(module_node, *f);
  return module_node;
}

py::object build_transformer_visitor(py::object message_ids, py::object settings_modpath) {
  py::object visitor = G("helpers").attr("NodeTransformVisitor")();
  py::object module_class = A("Module");
  for (const Rule& rule : kRules) {
    if (!truthy(op("contains")(message_ids, rule.code))) continue;
    const char* name = rule.predicate;
    py::cpp_function test(
        [name, settings_modpath](py::object node) {
          return G(name)(py::arg("module_node") = node,
                         py::arg("settings_modpath") = settings_modpath);
        },
        py::arg("node"));
    visitor.attr("register_transform")(module_class, G(rule.transform), test);
  }
  return visitor;
}

// The review road's fix for C4005 and C4015: the statement's lines replaced by nothing, or by
// the statement with its secure value when the module still reads the name or the statement
// sits inside a block.
py::tuple remove_node(py::object atok, py::object node, py::object start, py::object end) {
  py::tuple nothing = py::make_tuple(py::none(), py::none(), py::none());
  py::object target;
  if (is(node, "Assign")) {
    py::list targets = node.attr("targets");
    if (targets.size() != 1) return nothing;
    target = targets[0];
  } else if (is(node, "AnnAssign")) {
    target = node.attr("target");
  } else {
    return nothing;
  }
  if (!is(target, "AssignName") || !is(node.attr("value"), "Const")) return nothing;
  std::string name = text(target.attr("name"));
  py::object value = node.attr("value").attr("value");
  py::object secure;
  if (name == "DEBUG" && truthy(value)) {
    secure = py::bool_(false);
  } else if (name == "SESSION_COOKIE_HTTPONLY" && !truthy(value)) {
    secure = py::bool_(true);
  } else {
    return nothing;
  }
  // The suggestion replaces whole lines: another statement sharing them (after a ";") would
  // go with this one.
  long first = node.attr("first_token").attr("startpos").cast<long>();
  long last = node.attr("last_token").attr("endpos").cast<long>();
  py::object token_module = import("token");
  std::vector<long> layout;
  for (const char* kind : {"COMMENT", "NL", "NEWLINE", "INDENT", "DEDENT", "ENDMARKER"}) {
    layout.push_back(token_module.attr(kind).cast<long>());
  }
  for (py::handle token : atok.attr("tokens")) {
    long line = py::tuple(token.attr("start"))[0].cast<long>();
    if (line < start.cast<long>() || line > end.cast<long>()) continue;
    long at = token.attr("startpos").cast<long>();
    if (at >= first && at < last) continue;
    long kind = token.attr("type").cast<long>();
    if (std::find(layout.begin(), layout.end(), kind) != layout.end()) continue;
    if (text(token.attr("string")) == ";") continue;
    return nothing;
  }

  py::object module_node = node.attr("root")();
  if (py::object(node.attr("parent")).is(module_node) && !name_is_read(module_node, name)) {
    return py::make_tuple(start, end, py::str(""));
  }
  // Rewrite only the value's tokens, so the rest of the lines reads as written, a trailing
  // comment included.
  py::object source = atok.attr("text");  // token offsets count characters, not bytes
  py::object value_node = node.attr("value");
  long value_first = value_node.attr("first_token").attr("startpos").cast<long>();
  long value_last = value_node.attr("last_token").attr("endpos").cast<long>();
  long line_end = source.attr("find")("\n", last).cast<long>();
  if (line_end < 0) line_end = static_cast<long>(py::len(source));
  auto part = [&](long from, long to) {
    return text(source[py::slice(py::int_(from), py::int_(to), py::none())]);
  };
  py::str rewritten(part(first, value_first) + literal(secure) + part(value_last, line_end));
  return py::make_tuple(start, end, rewritten.attr("rstrip")());
}

}  // namespace vettor::settings
