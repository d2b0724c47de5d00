// Admin placement rule: a Django admin class belongs in the application's admin module
// (admin.py, or a module of an admin package), not among its models or views.
#include <vettor/project_files.hpp>
#include <vettor/rules.hpp>

#include <string>

namespace {
using namespace vettor;

ModuleRef M;        // this module, for Codes
ModuleRef helpers;  // the sibling helpers module

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

// pylint names a module after its package chain, so an admin.py whose folder has no
// __init__.py (or a file linted on its own) comes out as plain "admin"; the file itself tells
// where the class lives: a file named admin.py, or a module of a package named admin reached
// through a chain of packages (shop/admin/forms/inline.py). A folder named admin that is no
// package (the checkout a project sits in, say) holds no admin module.
bool is_admin_file(py::handle module) {
  py::object file = getattr_or_none(module, "file");
  if (!py::isinstance<py::str>(file)) return false;
  py::module_ path = import("os.path");
  py::object filename = path.attr("basename")(file);
  if (text_of(path.attr("splitext")(filename)[py::int_(0)]) == "admin") return true;
  for (const std::string& package : package_chain(file).packages) {
    if (package == "admin") return true;
  }
  return false;
}

bool is_admin_module(py::handle module) {
  py::object name = getattr_or_none(module, "name");
  if (py::isinstance<py::str>(name) && text_of(name).find(".admin") != std::string::npos) {
    return true;
  }
  return is_admin_file(module);
}

void visit_module(py::object self, py::object node) { self.attr("module") = node; }

void leave_classdef(py::object self, py::object node) {
  if (!truthy(helpers("is_model_admin")(node))) return;
  py::object module = getattr_or_none(self, "module");
  if (module.is_none()) module = node.attr("root")();
  if (is_admin_module(module)) return;
  py::dict args;
  args["name"] = node.attr("name");
  self.attr("add_message")(M("Codes").attr("C5000"), py::arg("node") = node,
                           py::arg("args") = args);
}

py::object make_checker(py::module_& m, py::handle helpers_module) {
  py::object cls = make_source_checker(
      m, "admin",
      make_msgs(helpers_module,
                {{"C5000", "misplaced-admin-class", "Admin class should be in admin.py"}}));
  add_visit(cls, "visit_module", &visit_module);
  add_visit(cls, "leave_classdef", &leave_classdef);
  return cls;
}

}  // namespace

PYBIND11_MODULE(admin, m) {
  M.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  py::module_ helpers_module = import_sibling(m, "helpers", 2);
  helpers.bind(helpers_module);
  m.attr("helpers") = helpers_module;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C5000"});
  m.attr("Checker") = make_checker(m, helpers_module);
}
