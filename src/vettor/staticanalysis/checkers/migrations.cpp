// Migration rules: a migration that uses a model class imported from the project (instead of
// the historical model the app registry hands it), and a RunPython operation that cannot be
// reversed, with the fix that gives it a do-nothing reverse step.
#include <vettor/rules.hpp>

#include <string>

namespace {
using namespace vettor;

ModuleRef M;        // this module, for Codes and the rule's functions
ModuleRef helpers;  // the sibling helpers module

bool has_text(py::handle value, const char* text) {
  return py::isinstance<py::str>(value) && value.cast<std::string>() == text;
}

py::list keywords_of(py::handle call) {
  py::object keywords = getattr_or_none(call, "keywords");
  if (keywords.is_none()) return py::list();
  return py::list(keywords);
}

py::list args_of(py::handle call) {
  py::object args = getattr_or_none(call, "args");
  if (args.is_none()) return py::list();
  return py::list(args);
}

py::object keyword_named(py::handle call, const char* name) {
  for (py::handle keyword : keywords_of(call)) {
    if (has_text(keyword.attr("arg"), name)) return py::reinterpret_borrow<py::object>(keyword);
  }
  return py::none();
}

// ---------------------------------------------------------------------------------------
// C8001: RunPython without reverse code, and its fix

// True for `<receiver>.RunPython(code)` in a migration module that gives no reverse code;
// None for calls of any other shape. A call that names no forwards code at all (no positional
// argument and no `code` keyword, e.g. only `**options`) is not judged.
py::object is_missing_reverse(py::object node) {
  py::object func = getattr_or_none(node, "func");
  if (!vettor::isinstance(func, lookup("astroid", "Attribute")) ||
      !has_text(func.attr("attrname"), "RunPython")) {
    return py::none();
  }
  py::list args = args_of(node);
  if (py::len(args) >= 2) return py::none();
  if (!truthy(helpers("is_migration_file")(node))) return py::none();
  if (py::len(args) == 0 && keyword_named(node, "code").is_none()) return py::bool_(false);
  return py::bool_(keyword_named(node, "reverse_code").is_none());
}

// `<receiver>.RunPython.noop`, spelt with the receiver the call itself uses, so that
// `m.RunPython(f)` under `from django.db import migrations as m` stays valid.
std::string noop_name(py::handle call) {
  py::object func = getattr_or_none(call, "func");
  if (vettor::isinstance(func, lookup("astroid", "Attribute"))) {
    std::string receiver = py::str(func.attr("expr").attr("as_string")()).cast<std::string>();
    return receiver + "." + py::str(func.attr("attrname")).cast<std::string>() + ".noop";
  }
  return "migrations.RunPython.noop";
}

// The new nodes take the call's line and column but none of its tokens: a node carrying the
// call's last token would take the call's trailing comment into the argument list when the
// tree is rendered with its comments.
py::object add_reverse_code(py::object node) {
  // The visitor hands over the call itself; a caller may also hand over the statement.
  py::object call_node;
  for (py::handle call : node.attr("nodes_of_class")(lookup("astroid", "Call"))) {
    call_node = py::reinterpret_borrow<py::object>(call);
    break;
  }
  if (!call_node) return node;
  py::object lineno = getattr_or_none(call_node, "lineno");
  py::object col_offset = getattr_or_none(call_node, "col_offset");
  // The attribute chain `migrations.RunPython.noop` as Python reads it, so that the fixed
  // tree is the tree of the code written for it.
  std::string noop = noop_name(call_node);
  py::object name_node = on_error(
      lookup("astroid", "AstroidSyntaxError"),
      [&] { return lookup("astroid", "extract_node")(noop); },
      [&] { return lookup("astroid", "Name")(py::arg("name") = noop); });
  for (py::handle part : name_node.attr("nodes_of_class")(lookup("astroid", "NodeNG"))) {
    part.attr("lineno") = lineno;
    part.attr("col_offset") = col_offset;
  }
  name_node.attr("parent") = call_node;
  py::list keywords = keywords_of(call_node);
  if (py::len(keywords) > 0) {
    py::object keyword_node = lookup("astroid", "Keyword")(
        py::arg("arg") = "reverse_code", py::arg("lineno") = lineno,
        py::arg("col_offset") = col_offset, py::arg("parent") = call_node);
    keyword_node.attr("postinit")(name_node);
    name_node.attr("parent") = keyword_node;
    call_node.attr("keywords").attr("append")(keyword_node);
  } else {
    py::object args = getattr_or_none(call_node, "args");
    if (args.is_none()) {
      args = py::list();
      call_node.attr("args") = args;
    }
    args.attr("append")(name_node);
  }
  return node;
}

// A reverse that does nothing lets `migrate` go back past the migration without undoing what
// its forwards code did to the data: whether that is right depends on that code.
constexpr FixSafety kFixSafety[] = {
    {"C8001", Safety::kUnsafe,
     "migrating backwards: it then succeeds without undoing what the forwards code did to "
     "the data"},
};

py::object build_transformer_visitor(py::object message_ids) {
  py::object visitor = helpers("NodeTransformVisitor")();
  for (py::handle message_id : message_ids) {
    if (message_id.equal(M("Codes").attr("C8001"))) {
      visitor.attr("register_transform")(lookup("astroid", "Call"), M("add_reverse_code"),
                                         M("is_missing_reverse"));
    }
  }
  return visitor;
}

// ---------------------------------------------------------------------------------------
// Checker

void report(py::handle self, const char* code_name, py::handle node, py::dict args) {
  self.attr("add_message")(M("Codes").attr(code_name), py::arg("node") = node,
                           py::arg("args") = args);
}

void visit_module(py::object self, py::object) { self.attr("imported_model_names") = py::list(); }

// Every model class defined in the module a `from ... import ...` reads, whatever names the
// statement picks: a later `X.objects` on one of them is the project's current model.
void visit_importfrom(py::object self, py::object node) {
  if (!truthy(helpers("is_migration_file")(node))) return;
  py::tuple import_errors = py::make_tuple(py::handle(PyExc_ImportError),
                                           lookup("astroid.exceptions", "AstroidError"));
  // A module that cannot be found or built (also one with a syntax error) brings no models.
  py::object module = on_error(
      import_errors, [&]() -> py::object { return node.attr("do_import_module")(); },
      []() -> py::object { return py::none(); });
  if (module.is_none()) return;
  py::list imported = self.attr("imported_model_names");
  for (py::handle child : module.attr("nodes_of_class")(lookup("astroid", "ClassDef"))) {
    if (truthy(helpers("is_model")(child))) imported.append(child);
  }
}

// The first value inferred for `expr`, or None when astroid cannot infer it at all.
py::object first_inferred(py::handle expr) {
  return on_error(
      lookup("astroid.exceptions", "AstroidError"),
      [&]() -> py::object {
        for (py::handle value : expr.attr("infer")()) {
          return py::reinterpret_borrow<py::object>(value);
        }
        return py::none();
      },
      []() -> py::object { return py::none(); });
}

void visit_attribute(py::object self, py::object node) {
  if (!has_text(node.attr("attrname"), "objects")) return;
  if (!truthy(helpers("is_migration_file")(node))) return;
  py::object model = first_inferred(node.attr("expr"));
  if (model.is_none()) return;
  py::list imported = self.attr("imported_model_names");
  for (py::handle candidate : imported) {
    if (candidate.is(model)) {  // the very class node, not an equal-looking one
      py::dict args;
      args["name"] = model.attr("name");
      report(self, "C8000", node, args);
      return;
    }
  }
}

void visit_call(py::object self, py::object node) {
  if (!truthy(M("is_missing_reverse")(node))) return;
  py::list args = args_of(node);
  py::object forwards;
  if (py::len(args) > 0) {
    forwards = args[0];
  } else {
    forwards = keyword_named(node, "code");
  }
  py::dict record;
  record["forwards_name"] = forwards.is_none() ? py::object(py::none())
                                               : py::object(forwards.attr("as_string")());
  report(self, "C8001", node, record);
}

py::object make_checker(py::module_& m, py::handle helpers_module) {
  py::object cls = make_source_checker(
      m, "migrations",
      make_msgs(helpers_module,
                {{"C8000", "migration-model-import", "Detects importing model in migration"},
                 {"C8001", "missing-reverse-migration", "Detects if migration has no backwards"}}));
  add_visit(cls, "visit_module", &visit_module);
  add_visit(cls, "visit_importfrom", &visit_importfrom);
  add_visit(cls, "visit_attribute", &visit_attribute);
  add_visit(cls, "visit_call", &visit_call);
  return cls;
}

}  // namespace

PYBIND11_MODULE(migrations, m) {
  M.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  py::module_ helpers_module = import_sibling(m, "helpers", 2);
  helpers.bind(helpers_module);
  m.attr("helpers") = helpers_module;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C8000", "C8001"});
  m.def("is_missing_reverse", &is_missing_reverse, py::arg("node"));
  m.def("add_reverse_code", &add_reverse_code, py::arg("node"));
  m.attr("FIX_SAFETY") = make_fix_safety(kFixSafety);
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
  m.attr("Checker") = make_checker(m, helpers_module);
}
