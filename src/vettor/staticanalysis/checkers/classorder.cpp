// Model class layout rules: too many models in one module, many model names sharing one
// prefix, standard members of a model out of their usual order, and field declarations placed
// after the inner Meta class.
#include <vettor/project_files.hpp>
#include <vettor/rules.hpp>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

namespace {
using namespace vettor;

ModuleRef M;        // this module, for Codes and the option-free functions
ModuleRef helpers;  // the sibling helpers module

constexpr const char* kStandardOrder[] = {"Meta", "__str__", "save", "get_absolute_url"};

// Position of `name` in the standard member order, or -1 for any other name.
int standard_position(py::handle name) {
  if (!py::isinstance<py::str>(name)) return -1;
  std::string text = name.cast<std::string>();
  for (int i = 0; i < 4; ++i) {
    if (text == kStandardOrder[i]) return i;
  }
  return -1;
}

py::object code(const char* name) { return M("Codes").attr(name); }

void report(py::handle self, const char* code_name, py::handle node, py::dict args) {
  self.attr("add_message")(code(code_name), py::arg("node") = node, py::arg("args") = args);
}

// ---------------------------------------------------------------------------------------
// Shared model name prefixes

// Whether a new word of a class name starts at `i`: CamelCase (ShippingMethod), the end of
// an acronym (HTTPRequest is HTTP, Request) or an underscore (shop_item).
bool starts_word(const std::u32string& name, size_t i) {
  auto upper = [](char32_t c) { return c < 128 && std::isupper(static_cast<int>(c)); };
  auto lower_or_digit = [](char32_t c) {
    return c < 128 && (std::islower(static_cast<int>(c)) || std::isdigit(static_cast<int>(c)));
  };
  if (i == 0 || i >= name.size()) return false;
  if (name[i] == U'_') return name[i - 1] != U'_';
  if (!upper(name[i])) return false;
  if (lower_or_digit(name[i - 1])) return true;
  return upper(name[i - 1]) && i + 1 < name.size() && lower_or_digit(name[i + 1]);
}

// The prefixes each name shares at a word boundary, at least min_length characters long, the
// whole name included, each counted once per name: Project and ProjectMember both count
// Project, and none counts Proje.
py::object get_longest_common_prefix(py::object values, py::object min_length) {
  py::object counter = lookup("collections", "Counter")();
  py::ssize_t shortest = min_length.cast<py::ssize_t>();
  for (py::handle value : values) {
    py::str text = py::str(value);
    std::u32string name;
    py::ssize_t length = py::len(text);
    for (py::ssize_t i = 0; i < length; ++i) {
      name.push_back(static_cast<char32_t>(PyUnicode_ReadChar(text.ptr(), i)));
    }
    std::vector<py::ssize_t> ends;
    for (size_t i = 1; i < name.size(); ++i) {
      if (starts_word(name, i)) ends.push_back(static_cast<py::ssize_t>(i));
    }
    ends.push_back(length);
    for (py::ssize_t end : ends) {
      if (end < shortest || end == 0) continue;
      py::object prefix = text[py::slice(0, end, 1)];
      counter[prefix] = py::int_(counter.attr("__getitem__")(prefix).cast<long>() + 1);
    }
  }
  return counter;
}

// The names an application goes by, lower-cased without underscores or hyphens: the folder
// that holds its models (boards for boards/models.py and for boards/models/board.py) and what
// its apps.py calls it (an AppConfig's `label`, and the last part of its `name`). A module
// parsed from a text alone is named by its package. Models that share the application's own
// name already have an application of their own.
std::string folded(std::string text) {
  std::string out;
  for (char c : text) {
    if (c == '_' || c == '-') continue;
    out.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  }
  return out;
}

// The texts apps.py assigns to `label` and `name` in its class bodies.
std::vector<std::string> labels_in_apps_module(const py::object& folder) {
  std::vector<std::string> labels;
  py::object os_path = lookup("os", "path");
  py::object apps = os_path.attr("join")(folder, "apps.py");
  // Only a regular file beside the models is read: a FIFO would block the lint.
  if (!truthy(os_path.attr("isfile")(apps)) || vettor::refusal_to_read(folder, apps)) return labels;
  py::object ast = import("ast");
  py::tuple unreadable = py::make_tuple(
      py::handle(PyExc_OSError), py::handle(PyExc_UnicodeDecodeError),
      py::handle(PyExc_SyntaxError), py::handle(PyExc_ValueError),
      py::handle(PyExc_MemoryError), py::handle(PyExc_RecursionError));
  py::object tree = on_error(
      unreadable,
      [&]() -> py::object {
        py::object text = lookup("pathlib", "Path")(apps).attr("read_text")(
            py::arg("encoding") = "utf-8-sig");
        return ast.attr("parse")(text);
      },
      []() -> py::object { return py::none(); });
  if (tree.is_none()) return labels;
  for (py::handle statement : tree.attr("body")) {
    if (!vettor::isinstance(statement, ast.attr("ClassDef"))) continue;
    for (py::handle member : statement.attr("body")) {
      if (!vettor::isinstance(member, ast.attr("Assign"))) continue;
      py::object value = member.attr("value");
      if (!vettor::isinstance(value, ast.attr("Constant")) ||
          !py::isinstance<py::str>(value.attr("value"))) {
        continue;
      }
      std::string text = py::str(value.attr("value"));
      for (py::handle target : member.attr("targets")) {
        if (!vettor::isinstance(target, ast.attr("Name"))) continue;
        std::string id = py::str(target.attr("id"));
        if (id == "label") labels.push_back(text);
        if (id == "name") labels.push_back(text.substr(text.rfind('.') + 1));
      }
    }
  }
  return labels;
}

std::vector<std::string> application_names(py::handle module) {
  std::vector<std::string> names;
  py::object file = getattr_or_none(module, "file");
  py::object os_path = lookup("os", "path");
  if (py::isinstance<py::str>(file) && truthy(os_path.attr("isfile")(file))) {
    py::object folder = os_path.attr("dirname")(os_path.attr("abspath")(file));
    if (py::str(os_path.attr("basename")(folder)).equal(py::str("models"))) {
      folder = os_path.attr("dirname")(folder);
    }
    names.push_back(py::str(os_path.attr("basename")(folder)));
    for (const std::string& label : labels_in_apps_module(folder)) names.push_back(label);
  } else {
    py::object name = getattr_or_none(module, "name");
    if (py::isinstance<py::str>(name)) {
      std::vector<std::string> parts;
      for (py::handle part : name.attr("split")(".")) parts.push_back(py::str(part));
      if (!parts.empty()) parts.pop_back();
      if (!parts.empty() && parts.back() == "models") parts.pop_back();
      if (!parts.empty()) names.push_back(parts.back());
    }
  }
  std::vector<std::string> result;
  for (const std::string& name : names) {
    std::string simple = folded(name);
    if (!simple.empty()) result.push_back(simple);
  }
  return result;
}

// Whether a shared prefix is the application's own name, in the singular or the plural:
// Board in boards, Invoice in invoice, Category in categories.
bool names_the_application(py::handle prefix, const std::vector<std::string>& applications) {
  std::string word = folded(py::str(prefix));
  if (word.empty()) return false;
  auto plurals = [](const std::string& singular) {
    std::vector<std::string> forms = {singular, singular + "s", singular + "es"};
    if (singular.size() > 1 && singular.back() == 'y') {
      forms.push_back(singular.substr(0, singular.size() - 1) + "ies");
    }
    return forms;
  };
  for (const std::string& application : applications) {
    for (const std::string& form : plurals(word)) {
      if (form == application) return true;
    }
    for (const std::string& form : plurals(application)) {
      if (form == word) return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Checker

// Every call and method of a module asks whether its frame is a model, and every field call
// is asked whether it is a field twice (as itself and as the next call's predecessor); each
// answer is an inference. The tree does not change while it is linted, so the answers are
// kept by node until the next module starts.
template <class F>
bool remembered(py::handle self, const char* kind, py::handle node, F&& compute) {
  py::object answers = py::getattr(self, "_answers", py::none());
  if (answers.is_none()) return compute();
  py::tuple key = py::make_tuple(kind, node);
  PyObject* hit = PyDict_GetItemWithError(answers.ptr(), key.ptr());
  if (hit) return hit == Py_True;
  if (PyErr_Occurred()) throw py::error_already_set();
  bool value = compute();
  if (PyDict_SetItem(answers.ptr(), key.ptr(), value ? Py_True : Py_False) != 0)
    throw py::error_already_set();
  return value;
}

bool is_model(py::handle self, py::handle node) {
  return remembered(self, "model", node, [&] { return truthy(helpers("is_model")(node)); });
}

bool is_model_field(py::handle self, py::handle node) {
  return remembered(self, "field", node,
                    [&] { return truthy(helpers("is_model_field")(node)); });
}

void visit_module(py::object self, py::object) {
  self.attr("model_names") = py::list();
  self.attr("_answers") = py::dict();
}

// A standard member (a method or a non-model class of a model) is compared with the method
// just before it in the same block; only methods count as "before".
void check_attribute_order(py::object self, py::object node) {
  int index = standard_position(node.attr("name"));
  if (index < 0) return;
  py::object previous_node = node.attr("previous_sibling")();
  if (!vettor::isinstance(previous_node, lookup("astroid", "FunctionDef"))) return;
  py::object previous_name = previous_node.attr("name");
  int previous_index = standard_position(previous_name);
  py::dict args;
  args["before"] = node.attr("name");
  args["after"] = previous_name;
  if (previous_index < 0) {
    // The standard member belongs ahead of the custom method: the method is what moves.
    report(self, "C3002", previous_node, args);
  } else if (index < previous_index) {
    report(self, "C3002", node, args);
  }
}

void visit_classdef(py::object self, py::object node) {
  if (is_model(self, node)) {
    self.attr("model_names").attr("append")(node.attr("name"));
    return;
  }
  if (is_model(self, node.attr("parent").attr("frame")())) {
    self.attr("check_attribute_order")(node);
  }
}

void visit_functiondef(py::object self, py::object node) {
  if (is_model(self, node.attr("parent").attr("frame")())) {
    self.attr("check_attribute_order")(node);
  }
}

// The first value that looking up "Meta" from `scope` gives, or None when the name is not
// bound anywhere in reach or cannot be inferred.
py::object lookup_meta(py::handle scope) {
  return on_error(
      lookup("astroid.exceptions", "InferenceError"),
      [&]() -> py::object {
        for (py::handle value : scope.attr("ilookup")("Meta")) {
          return py::reinterpret_borrow<py::object>(value);
        }
        return py::none();
      },
      []() -> py::object { return py::none(); });
}

// A field declaration that comes after the inner Meta class. Only the first field of a run
// of consecutive fields is examined, so a misplaced block is reported once.
void visit_call(py::object self, py::object node) {
  if (!is_model(self, node.attr("frame")())) return;
  if (!is_model_field(self, node)) return;
  py::object previous_node = node.attr("previous_sibling")();
  if (vettor::isinstance(previous_node, lookup("astroid", "Assign"))) {
    previous_node = previous_node.attr("value");
  }
  if (previous_node.is_none() || is_model_field(self, previous_node)) return;
  py::object meta = lookup_meta(node.attr("scope")());
  if (meta.is_none()) return;
  // A Meta that astroid found but cannot place (a value from an unresolved import) has no
  // line to compare with; such a layout is not judged.
  py::object meta_line = getattr_or_none(meta, "lineno");
  py::object node_line = getattr_or_none(node, "lineno");
  if (!PyLong_CheckExact(meta_line.ptr()) || !PyLong_CheckExact(node_line.ptr())) return;
  if (meta_line.cast<long>() >= node_line.cast<long>()) return;
  py::dict args;
  args["before"] = helpers("get_member_name")(node);
  args["after"] = "Meta";
  report(self, "C3002", node, args);
}

void leave_module(py::object self, py::object node) {
  self.attr("_answers") = py::none();
  py::object config = self.attr("config");
  py::list model_names = self.attr("model_names");
  py::ssize_t model_count = py::len(model_names);
  py::object max_models = config.attr("max_models");
  // More models than the limit, as pylint's own too-many checks count: the limit itself passes.
  if (py::int_(model_count) > max_models) {
    py::dict args;
    args["count"] = model_count;
    args["maximum"] = max_models;
    report(self, "C3000", node.attr("root")(), args);
  }
  if (model_count == 0) return;

  py::object prefixes = M("get_longest_common_prefix")(
      model_names, config.attr("min_common_model_prefix_length"));
  py::object max_common = config.attr("max_common_model_prefix");
  std::vector<std::string> applications = application_names(node.attr("root")());
  py::list keys = py::list(prefixes.attr("keys")());
  // The prefixes that name the application, and the shorter ones the same models share
  // (Order for OrderLine* in order_line): these models have their application already.
  py::list own;
  for (py::handle item : keys) {
    if (names_the_application(item, applications)) own.append(item);
  }
  auto within_own_name = [&](py::handle item) {
    for (py::handle name : own) {
      if (truthy(name.attr("startswith")(item)) &&
          py::object(prefixes[name]).equal(prefixes[item])) {
        return true;
      }
    }
    return false;
  };
  py::list dropped;
  for (py::handle item : keys) {
    std::string lower = py::str(item.attr("lower")()).cast<std::string>();
    if (py::object(prefixes[item]) < max_common || lower == "abstract" || lower == "base" ||
        within_own_name(item)) {
      dropped.append(item);
    }
  }
  for (py::handle item : dropped) prefixes.attr("__delitem__")(item);
  // The longest remaining prefix; among equally long ones the first counted.
  py::object prefix;
  py::ssize_t best = -1;
  for (py::handle item : prefixes) {
    py::ssize_t length = py::len(item);
    if (length > best) {
      best = length;
      prefix = py::reinterpret_borrow<py::object>(item);
    }
  }
  if (best <= 0) return;  // nothing left, or only the empty prefix
  py::dict args;
  args["count"] = prefixes[prefix];
  args["prefix"] = prefix;
  report(self, "C3003", node.attr("root")(), args);
}

py::dict option(int default_value, const char* help) {
  py::dict settings;
  settings["default"] = default_value;
  settings["type"] = "int";
  settings["metavar"] = "<int>";
  settings["help"] = help;
  return settings;
}

py::object make_checker(py::module_& m, py::handle helpers_module) {
  py::tuple options = py::make_tuple(
      py::make_tuple("max-models", option(10, "Maximum number of models per module")),
      py::make_tuple("min-common-model-prefix-length",
                     option(4, "Minimum length of model prefixes")),
      py::make_tuple("max-common-model-prefix",
                     option(4, "Maximum number of models that can have the same prefix")));
  py::object cls = make_source_checker(
      m, "models",
      make_msgs(helpers_module, {{"C3000", "tall-models", "To many models"},
                                 {"C3002", "model-method-order", "Wrong method order"},
                                 {"C3003", "model-common-prefix", "Common application prefix"}}),
      options);
  add_visit(cls, "visit_module", &visit_module);
  add_visit(cls, "visit_classdef", &visit_classdef);
  add_visit(cls, "visit_functiondef", &visit_functiondef);
  add_method(cls, "check_attribute_order", &check_attribute_order, py::arg("node"));
  add_visit(cls, "visit_call", &visit_call);
  add_visit(cls, "leave_module", &leave_module);
  return cls;
}

}  // namespace

PYBIND11_MODULE(classorder, m) {
  M.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  py::module_ helpers_module = import_sibling(m, "helpers", 2);
  helpers.bind(helpers_module);
  m.attr("helpers") = helpers_module;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("STANDARD_CLASSORDER") =
      py::make_tuple(kStandardOrder[0], kStandardOrder[1], kStandardOrder[2], kStandardOrder[3]);
  m.attr("Codes") = make_codes(m, {"C3000", "C3002", "C3003"});
  m.def("get_longest_common_prefix", &get_longest_common_prefix, py::arg("values"),
        py::arg("min_length"));
  m.attr("Checker") = make_checker(m, helpers_module);
}
