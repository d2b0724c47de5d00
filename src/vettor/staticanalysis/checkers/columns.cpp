// Model field rules: findings on Django model field declarations (nullable text fields, tall
// models, arguments that repeat the field's own defaults, null without blank, brittle
// unique_for_*, foreign keys without a reverse name, huge CharFields, NullBooleanField,
// non-unique primary keys) and the fixes for five of them.
//
// A rule's decision lives in a module-level predicate of one node, shared by the checker and
// the fixes; the code transformer and the suggestion builder register the fixes themselves, so
// the predicates read no checker configuration and every guard a fix needs sits in the fix.
#include <vettor/project_files.hpp>
#include <vettor/rules.hpp>

#include <algorithm>
#include <string>
#include <vector>

namespace {

using namespace vettor;

ModuleRef M;  // this module: its predicates and constants are read at call time
ModuleRef H;  // the helpers module

// ---------------------------------------------------------------------------------------
// Small shared pieces

py::object astroid_class(const char* name) { return M("astroid").attr(name); }

py::object get(py::handle mapping, const char* key) { return mapping.attr("get")(key); }

bool eq(py::handle a, py::handle b) {
  int r = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

// While the checker lints a module, every rule asks the same questions of the same field
// call (is it a field, what does it infer to, what are its arguments and defaults), and asks
// them again for each of its keywords; each answer is an inference that costs far more than
// the rule itself. The tree does not change during a lint, so the answers are kept for the
// length of one module, by node. They hold only for nodes of that module: the fixes edit other
// trees, and a walk that another checker ended early leaves the memo behind until the next
// module starts.
constexpr const char* kModuleMemo = "_module_memo";

template <class F>
py::object remembered(const char* kind, py::handle node, F&& compute) {
  py::object memo = M(kModuleMemo);
  if (memo.is_none()) return compute();
  py::tuple state = py::reinterpret_borrow<py::tuple>(memo);
  if (!node.attr("root")().is(state[0])) return compute();
  py::handle answers = state[1];
  py::tuple key = py::make_tuple(kind, node);
  PyObject* hit = PyDict_GetItemWithError(answers.ptr(), key.ptr());
  if (hit) return py::reinterpret_borrow<py::object>(hit);
  if (PyErr_Occurred()) throw py::error_already_set();
  py::object value = compute();
  if (PyDict_SetItem(answers.ptr(), key.ptr(), value.ptr()) != 0) throw py::error_already_set();
  return value;
}

void start_module_memo(py::handle module) {
  M.handle().attr(kModuleMemo) = py::make_tuple(module, py::dict());
}
void end_module_memo() { M.handle().attr(kModuleMemo) = py::none(); }

// Within an inference budget: what needs more stack than it allows is no answer, the same
// wherever the rule asks it (an ordinary call on a queryset passed through forty helpers).
py::object inferred_of(py::handle node) {
  return remembered("infer", node, [&] {
    return H("within_inference_budget")(M("safe_infer"), node);
  });
}

bool is_model_class(py::handle node) {
  return truthy(remembered("model", node, [&] { return H("is_model")(node); }));
}

// A field declaration constructs a field: the callee is a field class. A call that merely
// returns a field (`cast(Order, txn.order)`, a factory function, a field read off a model) is
// no declaration, and neither its keywords nor its callee say anything about the field; the
// fixes would rewrite the wrong call. Inferring the callee costs no more than inferring the
// call, and the class's order is kept by helpers.
bool is_field(py::handle node) {
  return truthy(remembered("field", node, [&]() -> py::object {
    if (!vettor::isinstance(node, astroid_class("Call"))) return py::bool_(false);
    py::object callee = inferred_of(node.attr("func"));
    if (!vettor::isinstance(callee, astroid_class("ClassDef"))) return py::bool_(false);
    return py::bool_(truthy(H("is_model_field")(callee)));
  }));
}

py::object explicit_arguments(py::handle node) {
  return remembered("explicit", node, [&] { return H("get_node_explicit_arguments")(node); });
}

py::object default_arguments(py::handle node) {
  return remembered("defaults", node, [&] { return H("get_node_default_arguments")(node); });
}

// The field class's defaults with the explicit keywords written over them.
py::dict merged_arguments(py::handle node) {
  py::object explicit_ = explicit_arguments(node);
  py::object defaults = default_arguments(node);
  py::dict merged;
  merged.attr("update")(defaults);
  merged.attr("update")(explicit_);
  return merged;
}

py::object inferred_name(py::handle inferred) { return getattr_or_none(inferred, "name"); }

bool name_is(py::handle inferred, const char* name) {
  return eq(inferred_name(inferred), py::str(name));
}

py::object const_node(py::handle value) { return H("const_factory")(value); }

py::list keyword_list(py::handle node) {
  py::object keywords = node.attr("keywords");
  if (keywords.is_none()) {
    py::list fresh;
    node.attr("keywords") = fresh;
    return fresh;
  }
  return keywords;
}

py::object new_keyword(const char* arg) { return astroid_class("Keyword")(arg); }

void add_keyword(py::handle node, py::handle keyword) {
  H("add_to_keywords")(py::arg("keywords") = keyword_list(node), py::arg("keyword") = keyword);
}

void set_function_name(py::handle node, const char* new_name) {
  H("set_function_name")(py::arg("node") = node, py::arg("new_name") = new_name);
}

// Whether the call writes the keyword `arg`, whatever its value (an expression inference
// cannot work out included).
bool has_keyword(py::handle node, const char* arg) {
  py::object keywords = node.attr("keywords");
  if (keywords.is_none()) return false;
  for (py::handle keyword : keywords) {
    if (eq(keyword.attr("arg"), py::str(arg))) return true;
  }
  return false;
}

// Sets the first keyword called `arg` to true, or adds one.
void set_or_add_true(py::handle node, const char* arg) {
  for (py::handle keyword : keyword_list(node)) {
    if (eq(keyword.attr("arg"), py::str(arg))) {
      keyword.attr("value") = const_node(py::bool_(true));
      return;
    }
  }
  py::object keyword = new_keyword(arg);
  keyword.attr("value") = const_node(py::bool_(true));
  add_keyword(node, keyword);
}

// A historical migration must keep describing the schema it created, so no field fix ever
// touches a migration module.
bool in_migration(py::handle node) { return truthy(H("is_migration_file")(node)); }

// ---------------------------------------------------------------------------------------
// What a field's constructor really uses when a keyword is left out.
//
// The positional defaults of the constructors are not the whole story: Django's SlugField
// takes db_index=True as a keyword-only parameter, ForeignKey and FileField put db_index and
// max_length into **kwargs with setdefault before calling up. A keyword that repeats a base
// class default but not these is not redundant: deleting it changes the schema. A setdefault
// that runs only on some paths (inside an if or a loop) makes that default unknowable; such a
// name maps to a marker that equals nothing.

py::list as_list(py::object value) {
  if (value.is_none()) return py::list();
  return py::list(value);
}

bool is_not_provided(py::handle default_node) {
  return eq(getattr_or_none(default_node, "name"), py::str("NOT_PROVIDED"));
}

void take_default(py::dict& own, py::handle name, py::handle default_node) {
  if (name.is_none() || own.contains(name) || is_not_provided(default_node)) return;
  own[name] = H("astroid_node_to_value")(default_node);
}

// The defaults one constructor gives, by parameter or kwargs key.
py::dict constructor_defaults(py::handle init, py::handle unknown) {
  py::dict own;
  py::object args = init.attr("args");
  if (args.is_none()) return own;

  py::list params = as_list(args.attr("arguments"));
  py::list defaults = as_list(args.attr("defaults"));
  size_t offset = params.size() >= defaults.size() ? params.size() - defaults.size() : 0;
  for (size_t i = 0; i < defaults.size() && offset + i < params.size(); ++i) {
    take_default(own, params[offset + i].attr("name"), defaults[i]);
  }

  py::list kwonly = as_list(args.attr("kwonlyargs"));
  py::list kw_defaults = as_list(args.attr("kw_defaults"));
  for (size_t i = 0; i < kwonly.size() && i < kw_defaults.size(); ++i) {
    if (!kw_defaults[i].is_none()) take_default(own, kwonly[i].attr("name"), kw_defaults[i]);
  }

  py::object kwarg = args.attr("kwarg");
  if (kwarg.is_none()) return own;
  py::tuple skip = py::make_tuple(astroid_class("FunctionDef"), astroid_class("ClassDef"),
                                  astroid_class("Lambda"));
  py::object calls = init.attr("nodes_of_class")(astroid_class("Call"), skip);
  for (py::handle call : calls) {
    py::object func = call.attr("func");
    if (!vettor::isinstance(func, astroid_class("Attribute")) ||
        !eq(func.attr("attrname"), py::str("setdefault")))
      continue;
    py::object receiver = func.attr("expr");
    if (!vettor::isinstance(receiver, astroid_class("Name")) || !eq(receiver.attr("name"), kwarg))
      continue;
    py::list call_args = call.attr("args");
    if (call_args.size() != 2 || !vettor::isinstance(call_args[0], astroid_class("Const")))
      continue;
    py::object key = call_args[0].attr("value");
    if (!py::isinstance<py::str>(key) || own.contains(key)) continue;
    bool unconditional = call.attr("statement")().attr("parent").ptr() == init.ptr();
    if (unconditional) {
      own[key] = H("astroid_node_to_value")(call_args[1]);
    } else {
      own[key] = unknown;
    }
  }
  return own;
}

// The defaults that the constructors of a class's order give, the most derived class first.
// They are read for every keyword of every field, so the answer is kept on the class node
// itself: it lives exactly as long as the tree it describes.
constexpr const char* kConstructorDefaults = "vettor_constructor_defaults";

py::object class_constructor_defaults(py::handle inferred) {
  py::object cls = py::getattr(inferred, "_proxied", py::reinterpret_borrow<py::object>(inferred));
  py::object cached = py::getattr(cls, kConstructorDefaults, py::none());
  if (!cached.is_none()) return cached;

  py::object order = on_error(
      PyExc_Exception, [&] { return inferred.attr("mro")(); }, [] { return py::object(); });
  if (!order) return py::dict();
  py::object unknown = import("builtins").attr("object")();
  py::dict own;
  for (py::handle base : order) {
    py::object locals = getattr_or_none(base, "locals");
    if (locals.is_none() || !locals.contains("__init__")) continue;
    py::object init = locals["__init__"][py::int_(0)];
    if (!vettor::isinstance(init, astroid_class("FunctionDef"))) continue;
    for (auto item : constructor_defaults(init, unknown)) {
      if (!own.contains(item.first)) own[item.first] = item.second;
    }
  }
  on_error(
      PyExc_Exception, [&] { cls.attr(kConstructorDefaults) = own; }, [] {});
  return own;
}

// helpers.get_node_default_arguments, corrected by what the constructors really use.
py::dict effective_defaults(py::handle call) {
  return py::reinterpret_borrow<py::dict>(remembered("effective", call, [&] {
    py::dict defaults;
    defaults.attr("update")(default_arguments(call));
    py::object inferred = inferred_of(call);
    if (!truthy(inferred)) return defaults;
    defaults.attr("update")(class_constructor_defaults(inferred));
    return defaults;
  }));
}

// ---------------------------------------------------------------------------------------
// Renaming the called field class without leaving an unbound name.
//
// `models.CharField(...)` becomes `models.TextField(...)` safely. A bare `CharField(...)`
// needs `TextField` bound to Django's class where the call stands: when it already is, the
// call is renamed; when the name is free and `CharField` came from a from-import of a module
// that offers the new class, that import gains the new name (and is handed to the suggestion
// builder through replace_other_nodes); otherwise the call stays as it is.

std::string django_field_qname(const char* class_name) {
  return std::string("django.db.models.fields.") + class_name;
}

bool is_django_field_class(py::handle value, const char* class_name) {
  if (!value || value.is_none() || !vettor::isinstance(value, astroid_class("ClassDef")))
    return false;
  return py::str(value.attr("qname")()).cast<std::string>() == django_field_qname(class_name);
}

// What the name `new_name` means where `call` stands.
py::object resolve_name_at(py::handle call, const char* new_name) {
  py::object func = call.attr("func");
  py::object name = astroid_class("Name")(py::arg("name") = new_name,
                                          py::arg("lineno") = func.attr("lineno"),
                                          py::arg("col_offset") = func.attr("col_offset"),
                                          py::arg("parent") = call);
  return M("safe_infer")(name);
}

bool imports_name(py::handle import_node, const char* name) {
  for (py::handle entry : import_node.attr("names")) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(entry);
    if (eq(pair[0], py::str(name)) && pair[1].is_none()) return true;
  }
  return false;
}

bool module_offers(py::handle import_node, const char* new_name) {
  return on_error(
      PyExc_Exception,
      [&] {
        py::object module = import_node.attr("do_import_module")(import_node.attr("modname"));
        py::object found = import("builtins").attr("next")(module.attr("igetattr")(new_name));
        return is_django_field_class(found, new_name);
      },
      [] { return false; });
}

bool bind_by_import(py::handle call, const char* new_name) {
  py::object func = call.attr("func");
  py::tuple looked_up = func.attr("lookup")(new_name);
  if (py::len(looked_up[1]) > 0) return false;  // bound to something else
  py::tuple old = func.attr("lookup")(func.attr("name"));
  py::list old_bindings = py::list(old[1]);
  if (old_bindings.size() == 0) return false;
  py::object import_node = old_bindings[0];
  if (!vettor::isinstance(import_node, astroid_class("ImportFrom"))) return false;
  if (imports_name(import_node, new_name)) return true;
  if (!module_offers(import_node, new_name)) return false;

  import_node.attr("names").attr("append")(py::make_tuple(new_name, py::none()));
  import_node.attr("scope")().attr("set_local")(new_name, import_node);
  py::object module = call.attr("root")();
  if (vettor::hasattr(module, "replace_other_nodes")) {
    module.attr("replace_other_nodes").attr("append")(import_node);
  }
  return true;
}

bool rename_field_call(py::handle call, const char* new_name) {
  py::object func = call.attr("func");
  if (vettor::isinstance(func, astroid_class("Name"))) {
    if (!is_django_field_class(resolve_name_at(call, new_name), new_name) &&
        (eq(func.attr("name"), py::str(new_name)) || !bind_by_import(call, new_name)))
      return false;
  } else if (!vettor::isinstance(func, astroid_class("Attribute"))) {
    return false;  // a subscripted or computed callee has no name to change
  }
  set_function_name(call, new_name);
  return true;
}

// ---------------------------------------------------------------------------------------
// C2000 nullable-string-field

// Whether the field is declared unique, by a keyword or by its class's own defaults. Several
// rows left blank would all hold the empty text and break a unique constraint, so Django's
// documentation asks for null=True on such a field: NULLs are never equal to each other.
bool is_unique(py::handle node) {
  py::object explicit_ = explicit_arguments(node);
  if (explicit_.contains("unique")) return truthy(get(explicit_, "unique"));
  return truthy(get(effective_defaults(node), "unique"));
}

// Where the model itself gives NULL a meaning of its own: a unique_together entry or a
// UniqueConstraint that names the field (NULLs are never equal, empty texts are), or a
// constraint, index or Q condition on `<field>__isnull`. Storing the empty text instead would
// break the constraint on the second blank row, or change what the condition selects.
bool is_text_constant(py::handle node, py::handle text) {
  return vettor::isinstance(node, astroid_class("Const")) &&
         PyUnicode_Check(node.attr("value").ptr()) && eq(node.attr("value"), text);
}

bool names_text(py::handle subtree, py::handle text) {
  if (is_text_constant(subtree, text)) return true;
  for (py::handle constant : subtree.attr("nodes_of_class")(astroid_class("Const"))) {
    if (is_text_constant(constant, text)) return true;
  }
  return false;
}

py::object inner_meta(py::handle model) {
  py::object body = getattr_or_none(model, "body");
  if (body.is_none()) return py::none();
  for (py::handle statement : body) {
    if (vettor::isinstance(statement, astroid_class("ClassDef")) &&
        eq(statement.attr("name"), py::str("Meta"))) {
      return py::reinterpret_borrow<py::object>(statement);
    }
  }
  return py::none();
}

bool assigns_name(py::handle statement, const char* name) {
  if (!vettor::isinstance(statement, astroid_class("Assign"))) return false;
  for (py::handle target : statement.attr("targets")) {
    if (vettor::isinstance(target, astroid_class("AssignName")) &&
        eq(target.attr("name"), py::str(name)))
      return true;
  }
  return false;
}

bool model_gives_null_a_meaning(py::handle node) {
  py::object name = H("get_member_name")(node);
  if (!PyUnicode_Check(name.ptr())) return false;
  py::object meta = inner_meta(node.attr("frame")());
  if (meta.is_none()) return false;
  for (py::handle statement : meta.attr("body")) {
    if (assigns_name(statement, "unique_together") && names_text(statement.attr("value"), name))
      return true;
  }
  for (py::handle call : meta.attr("nodes_of_class")(astroid_class("Call"))) {
    if (!eq(H("get_function_name")(call), py::str("UniqueConstraint"))) continue;
    py::list args = call.attr("args");
    if (args.size() > 0 && names_text(args[0], name)) return true;
    for (py::handle keyword : as_list(call.attr("keywords"))) {
      if (eq(keyword.attr("arg"), py::str("fields")) && names_text(keyword.attr("value"), name))
        return true;
    }
  }
  py::str isnull = py::str(name) + py::str("__isnull");
  for (py::handle keyword : meta.attr("nodes_of_class")(astroid_class("Keyword"))) {
    if (eq(keyword.attr("arg"), isnull)) return true;
  }
  return false;
}

py::object is_null_stringfield(py::object node) {
  if (!is_field(node)) return py::bool_(false);
  py::object frame = node.attr("frame")();
  if (is_model_class(frame) && vettor::hasattr(frame, "generic_foreign_key_field_names")) {
    py::object names = frame.attr("generic_foreign_key_field_names");
    if (names.contains(H("get_member_name")(node))) return py::bool_(false);
  }
  py::object inferred = inferred_of(node);
  if (!truthy(inferred)) return py::none();
  if (is_unique(node)) return py::bool_(false);
  if (model_gives_null_a_meaning(node)) return py::bool_(false);
  py::dict merged = merged_arguments(node);
  if (H("DJANGO_STRING_FIELDS").contains(inferred_name(inferred))) return get(merged, "null");
  return py::none();
}

// Whether the application's own code may store None in the field or relies on it being NULL.
// The fix would then make a save fail (NOT NULL) or a query select other rows, so it is not
// made; the finding stands, since making the field non-null is still the advice, with those
// lines changed too. What may store None:
// - None itself: `profile.totp = None`, `create(totp=None)`, `setattr(p, "totp", None)`,
//   `defaults={"totp": None}`;
// - a value that can be None: a parameter whose default is None (`def start(revision=None)`
//   then `Run.objects.create(revision=revision)`), a `.get()` without a default other than
//   None (`request.GET.get("state")`, `data.get("email", None)`), `getattr(x, "a", None)`, a
//   name bound to one of these, a conditional that can give one;
// - another nullable field: `Line.objects.create(sku=variant.sku)` where some model of the
//   application declares `sku` with null=True (besides this field);
// - `**` of a mapping the code does not spell out (`Run.objects.create(**payload)`, an API's
//   null included), or `defaults=` of one, for the field's own model.
// What relies on NULL: `totp=None` and `totp__isnull` lookups, and a lookup on the empty text
// (`filter(totp="")`), which would then also select the rows that were NULL.
//
// The application is the folder of the model's module (the parent of a models package): the
// views, forms, tasks and tests that use its models live there. Its files are read once per
// tree, kept on the module node; a tree that comes from no file on disk is read alone.
constexpr const char* kApplicationTexts = "vettor_application_texts";
constexpr const char* kNoneUses = "vettor_none_uses";
constexpr py::ssize_t kMaxApplicationFile = 1 << 20;

// Paths are kept as Python texts: a folder or file name that is not UTF-8 has no C++ string.
bool is_foreign_or_history_folder(py::handle folder, py::handle name) {
  std::string text = py::str(name).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
  if (text.empty() || text[0] == '.' || text == "node_modules" || text == "site-packages" ||
      text == "dist-packages" || text == "__pycache__" || text == "migrations")
    return true;
  return truthy(lookup("os.path", "isfile")(lookup("os.path", "join")(folder, name, "pyvenv.cfg")));
}

py::list application_texts(py::handle module_node) {
  py::object kept = py::getattr(module_node, kApplicationTexts, py::none());
  if (!kept.is_none()) return kept;
  py::list texts;
  py::object os_path = lookup("os", "path");
  py::object file = getattr_or_none(module_node, "file");
  bool on_disk = PyUnicode_Check(file.ptr()) && truthy(os_path.attr("isfile")(file)) &&
                 !truthy(os_path.attr("islink")(file));
  if (!on_disk) {
    texts.append(module_node.attr("as_string")());
  } else {
    py::object folder = os_path.attr("dirname")(os_path.attr("abspath")(file));
    if (py::str(os_path.attr("basename")(folder)).equal(py::str("models")) &&
        truthy(os_path.attr("isfile")(os_path.attr("join")(folder, "__init__.py")))) {
      folder = os_path.attr("dirname")(folder);
    }
    walk_folders(folder, [&](py::handle here, py::list subfolders, py::list names) {
      py::list keep;
      for (py::handle name : subfolders) {
        if (!is_foreign_or_history_folder(here, name)) keep.append(name);
      }
      subfolders.attr("clear")();
      subfolders.attr("extend")(keep);
      for (py::handle name : names) {
        if (!truthy(name.attr("endswith")(".py"))) continue;
        py::object path = os_path.attr("join")(here, name);
        // Only the application's own regular files: a link may lead anywhere.
        if (truthy(os_path.attr("islink")(path)) || !truthy(os_path.attr("isfile")(path)) ||
            os_path.attr("getsize")(path).cast<py::ssize_t>() > kMaxApplicationFile)
          continue;
        py::object text = on_error(
            PyExc_OSError,
            [&]() -> py::object {
              py::object handle = lookup("builtins", "open")(path, "r", py::arg("encoding") = "utf-8",
                                                             py::arg("errors") = "ignore");
              return within(handle, [&] { return handle.attr("read")(); });
            },
            []() -> py::object { return py::none(); });
        if (!text.is_none()) texts.append(text);
      }
    });
  }
  on_error(
      PyExc_Exception, [&] { module_node.attr(kApplicationTexts) = texts; }, [] {});
  return texts;
}

bool is_none_constant(py::handle node) {
  return vettor::isinstance(node, lookup("ast", "Constant")) && node.attr("value").is_none();
}

bool is_empty_text(py::handle node) {
  return vettor::isinstance(node, lookup("ast", "Constant")) &&
         PyUnicode_Check(node.attr("value").ptr()) && py::len(node.attr("value")) == 0;
}

std::string called_name(py::handle func) {
  py::object ast = import("ast");
  if (vettor::isinstance(func, ast.attr("Attribute"))) return py::str(func.attr("attr"));
  if (vettor::isinstance(func, ast.attr("Name"))) return py::str(func.attr("id"));
  return "";
}

bool is_select(const std::string& name) {
  return name == "filter" || name == "exclude" || name == "get" || name == "Q";
}

// The calls that store a keyword's value in the row or select rows by it.
bool stores_or_selects(py::handle func) {
  std::string name = called_name(func);
  for (const char* method : {"create", "update", "get_or_create", "update_or_create", "filter",
                             "exclude", "get"}) {
    if (name == method) return true;
  }
  return !name.empty() && name[0] >= 'A' && name[0] <= 'Z';  // a model's constructor, Q
}

// The name a call's callee is reached through: `Run.objects.create` -> Run, `cls(...)` -> cls,
// `type(self).objects.create` -> type.
std::string callee_root(py::handle func) {
  py::object ast = import("ast");
  py::object node = py::reinterpret_borrow<py::object>(func);
  while (true) {
    if (vettor::isinstance(node, ast.attr("Attribute"))) {
      node = node.attr("value");
    } else if (vettor::isinstance(node, ast.attr("Call"))) {
      node = node.attr("func");
    } else {
      break;
    }
  }
  return vettor::isinstance(node, ast.attr("Name")) ? std::string(py::str(node.attr("id"))) : "";
}

bool is_class_name(const std::string& name) { return !name.empty() && name[0] >= 'A' && name[0] <= 'Z'; }

// A call on the class whose method it is: `cls(**data)`, `cls.objects.create(...)`,
// `self.__class__(...)`, `type(self).objects.create(...)`.
bool through_own_class(py::handle func) {
  std::string root = callee_root(func);
  return root == "cls" || root == "self" || root == "type";
}

// What the application's code does with field names, read once.
struct NoneUses {
  py::set none;         // names given a value that can be None
  py::set empty;        // names looked up on the empty text
  py::set opaque;       // model classes given `**` of a mapping not spelled out
  py::dict sources;     // name -> attribute names whose values it is given (x.sku)
  py::dict nullable;    // name -> how many field declarations with null=True it has
};

class NoneUseReader {
 public:
  explicit NoneUseReader(NoneUses& uses) : uses_(uses), ast_(import("ast")) {}

  void read(py::handle tree) {
    py::set module_names;
    scope(tree, module_names);
  }

 private:
  bool is(py::handle node, const char* cls) { return vettor::isinstance(node, ast_.attr(cls)); }

  // Whether the expression's value can be None, given the names known to hold one.
  bool can_be_none(py::handle value, const py::set& names) {
    if (is_none_constant(value)) return true;
    if (is(value, "Name")) return names.contains(value.attr("id"));
    if (is(value, "IfExp")) {
      return can_be_none(value.attr("body"), names) || can_be_none(value.attr("orelse"), names);
    }
    if (is(value, "BoolOp")) {
      for (py::handle operand : value.attr("values")) {
        if (can_be_none(operand, names)) return true;
      }
      return false;
    }
    if (!is(value, "Call")) return false;
    py::object func = value.attr("func");
    py::list args = value.attr("args");
    if (is(func, "Name") && py::str(func.attr("id")).equal(py::str("getattr"))) {
      return args.size() == 3 && is_none_constant(args[2]);
    }
    if (!is(func, "Attribute") || !py::str(func.attr("attr")).equal(py::str("get"))) return false;
    // A mapping's get(key[, default]); a queryset's get() takes lookups, `objects.get(...)`.
    py::object receiver = func.attr("value");
    if (is(receiver, "Call") || (is(receiver, "Attribute") &&
                                  py::str(receiver.attr("attr")).equal(py::str("objects")))) {
      return false;
    }
    if (args.size() == 0 || args.size() > 2 || is(args[0], "Call")) return false;
    for (py::handle keyword : value.attr("keywords")) {
      if (py::str(keyword.attr("arg")).equal(py::str("default"))) {
        return is_none_constant(keyword.attr("value"));
      }
    }
    return args.size() == 1 || is_none_constant(args[1]);
  }

  // The names of a function's parameters whose default is None.
  void none_parameters(py::handle function, py::set& names) {
    py::object arguments = function.attr("args");
    py::list positional;
    for (const char* field : {"posonlyargs", "args"}) {
      for (py::handle arg : py::getattr(arguments, field, py::list())) positional.append(arg);
    }
    py::list defaults = arguments.attr("defaults");
    size_t offset = positional.size() - std::min(positional.size(), defaults.size());
    for (size_t i = 0; i < defaults.size() && offset + i < positional.size(); ++i) {
      if (is_none_constant(defaults[i])) names.add(positional[offset + i].attr("arg"));
    }
    py::list kwonly = arguments.attr("kwonlyargs");
    py::list kw_defaults = arguments.attr("kw_defaults");
    for (size_t i = 0; i < kwonly.size() && i < kw_defaults.size(); ++i) {
      if (!kw_defaults[i].is_none() && is_none_constant(kw_defaults[i])) {
        names.add(kwonly[i].attr("arg"));
      }
    }
  }

  // The nodes of a scope, the bodies of its nested functions and classes left out: each is a
  // scope of its own.
  void nodes_of(py::handle root, py::list& out) {
    py::list pending;
    for (py::handle child : ast_.attr("iter_child_nodes")(root)) pending.append(child);
    while (pending.size() > 0) {
      py::object node = pending.attr("pop")();
      out.append(node);
      if (is(node, "FunctionDef") || is(node, "AsyncFunctionDef") || is(node, "Lambda") ||
          is(node, "ClassDef")) {
        continue;
      }
      for (py::handle child : ast_.attr("iter_child_nodes")(node)) pending.append(child);
    }
  }

  void scope(py::handle root, py::set names) {
    py::list nodes;
    nodes_of(root, nodes);
    // A name bound to a value that can be None holds one; bindings are followed through two
    // rounds, enough for `a = data.get("x")` then `b = a`.
    for (int round = 0; round < 2; ++round) {
      for (py::handle node : nodes) {
        if (!is(node, "Assign") && !is(node, "AnnAssign")) continue;
        py::object value = node.attr("value");
        if (value.is_none() || !can_be_none(value, names)) continue;
        py::list targets = is(node, "Assign") ? py::list(node.attr("targets")) : py::list();
        if (is(node, "AnnAssign")) targets.append(node.attr("target"));
        for (py::handle target : targets) {
          if (is(target, "Name")) names.add(target.attr("id"));
        }
      }
    }
    for (py::handle node : nodes) {
      if (is(node, "FunctionDef") || is(node, "AsyncFunctionDef") || is(node, "Lambda")) {
        py::set inner;
        for (py::handle name : names) inner.add(name);
        none_parameters(node, inner);
        scope(node, inner);
      } else if (is(node, "ClassDef")) {
        declarations(node);
        classes_.push_back(py::str(node.attr("name")));
        py::set inner;
        for (py::handle name : names) inner.add(name);
        scope(node, inner);
        classes_.pop_back();
      } else if (is(node, "Assign")) {
        for (py::handle target : node.attr("targets")) given(target, node.attr("value"), names);
      } else if (is(node, "AnnAssign") && !node.attr("value").is_none()) {
        given(node.attr("target"), node.attr("value"), names);
      } else if (is(node, "Call")) {
        call(node, names);
      } else if (is(node, "Dict")) {
        mapping(node, names);
      }
    }
  }

  void note(const py::object& name, py::handle value, const py::set& names) {
    if (can_be_none(value, names)) uses_.none.add(name);
    if (is(value, "Attribute")) {
      if (!uses_.sources.contains(name)) uses_.sources[name] = py::set();
      uses_.sources[name].attr("add")(value.attr("attr"));
    }
  }

  // `obj.name = value` (and each target of a chained assignment).
  void given(py::handle target, py::handle value, const py::set& names) {
    if (is(target, "Attribute")) note(py::str(target.attr("attr")), value, names);
  }

  void mapping(py::handle dict, const py::set& names) {
    py::list keys = dict.attr("keys");
    py::list values = dict.attr("values");
    for (size_t i = 0; i < keys.size() && i < values.size(); ++i) {
      if (keys[i].is_none() || !is(keys[i], "Constant") || !PyUnicode_Check(keys[i].attr("value").ptr()))
        continue;
      note(py::str(keys[i].attr("value")), values[i], names);
    }
  }

  void call(py::handle node, const py::set& names) {
    py::object func = node.attr("func");
    py::list args = node.attr("args");
    if (is(func, "Name") && py::str(func.attr("id")).equal(py::str("setattr")) && args.size() == 3 &&
        is(args[1], "Constant") && PyUnicode_Check(args[1].attr("value").ptr())) {
      note(py::str(args[1].attr("value")), args[2], names);
      return;
    }
    // A model method that stores a mapping through its own class (`cls(**data)`) fills the
    // fields of every model built on that class.
    bool own_class = through_own_class(func) && !classes_.empty();
    std::string called = called_name(func);
    bool own_constructor = own_class && (called == "cls" || called == "__class__" || is(func, "Call"));
    if (!stores_or_selects(func) && !own_constructor) return;
    bool select = is_select(called);
    for (py::handle keyword : node.attr("keywords")) {
      py::object arg = keyword.attr("arg");
      py::object value = keyword.attr("value");
      bool spelled_out = is(value, "Dict");
      if (arg.is_none() || (py::str(arg).equal(py::str("defaults")) && !spelled_out)) {
        if (spelled_out) continue;
        std::string root = callee_root(func);
        if (is_class_name(root)) uses_.opaque.add(py::str(root));
        if (own_class) uses_.opaque.add(py::str(classes_.back()));
        continue;
      }
      std::string name = py::str(arg);
      note(py::str(name), value, names);
      if (select && is_empty_text(value)) {
        for (const char* lookup_name : {"__exact", "__iexact"}) {
          std::string tail = lookup_name;
          if (name.size() > tail.size() && name.compare(name.size() - tail.size(), tail.size(), tail) == 0) {
            name = name.substr(0, name.size() - tail.size());
          }
        }
        uses_.empty.add(py::str(name));
      }
    }
  }

  // `name = models.XField(..., null=True)` in a class body.
  void declarations(py::handle class_def) {
    for (py::handle statement : class_def.attr("body")) {
      if (!is(statement, "Assign") || py::len(statement.attr("targets")) != 1) continue;
      py::object target = statement.attr("targets")[py::int_(0)];
      py::object value = statement.attr("value");
      if (!is(target, "Name") || !is(value, "Call")) continue;
      for (py::handle keyword : value.attr("keywords")) {
        py::object flag = keyword.attr("value");
        if (py::str(keyword.attr("arg")).equal(py::str("null")) && is(flag, "Constant") &&
            py::object(flag.attr("value")).ptr() == Py_True) {
          py::object name = target.attr("id");
          long count = uses_.nullable.contains(name) ? uses_.nullable[name].cast<long>() : 0;
          uses_.nullable[name] = py::int_(count + 1);
        }
      }
    }
  }

  NoneUses& uses_;
  py::module_ ast_;
  std::vector<std::string> classes_;  // the classes whose bodies the walk is in
};

// The application's uses, read from its texts once per tree and kept on the module node.
py::object none_uses(py::handle module_node) {
  py::object kept = py::getattr(module_node, kNoneUses, py::none());
  if (!kept.is_none()) return kept;
  NoneUses uses;
  NoneUseReader reader(uses);
  py::set isnull;
  py::object pattern = lookup("re", "compile")(R"(\b(\w+)__isnull\b)");
  for (py::handle text : application_texts(module_node)) {
    for (py::handle name : pattern.attr("findall")(text)) isnull.add(name);
    py::object tree = on_error(
        PyExc_Exception, [&] { return py::object(lookup("ast", "parse")(text)); },
        [] { return py::object(); });
    if (tree) reader.read(tree);
  }
  py::dict record;
  record["none"] = uses.none;
  record["empty"] = uses.empty;
  record["isnull"] = isnull;
  record["opaque"] = uses.opaque;
  record["sources"] = uses.sources;
  record["nullable"] = uses.nullable;
  on_error(
      PyExc_Exception, [&] { module_node.attr(kNoneUses) = record; }, [] {});
  return record;
}

bool application_gives_none(py::handle node) {
  py::object name = H("get_member_name")(node);
  if (!PyUnicode_Check(name.ptr())) return false;
  py::object uses = none_uses(node.attr("root")());
  for (const char* kind : {"none", "empty", "isnull"}) {
    if (uses[kind].contains(name)) return true;
  }
  // The model, or a class it is built on, is given a mapping that may hold the field.
  py::object model = node.attr("frame")();
  py::object order = on_error(
      PyExc_Exception, [&] { return py::object(model.attr("mro")()); },
      [&] { return py::object(list_of(model)); });
  for (py::handle cls : order) {
    py::object name = getattr_or_none(cls, "name");
    if (!name.is_none() && uses["opaque"].contains(name)) return true;
  }
  py::dict sources = uses["sources"];
  if (!sources.contains(name)) return false;
  py::dict nullable = uses["nullable"];
  for (py::handle attribute : sources[name]) {
    long count = nullable.contains(attribute) ? nullable[attribute].cast<long>() : 0;
    // The field itself is one of them: once fixed, it holds no NULL to hand on.
    if (py::str(attribute).equal(name)) --count;
    if (count > 0) return true;
  }
  return false;
}

bool is_pair(py::handle item) {
  return py::isinstance<py::list>(item) && py::len(item) == 2;
}

// Whether the choices admit the empty text, the default the fix writes. Django's choices are
// (value, label) pairs, or (group name, pairs) groups; a text, a mapping or anything that does
// not read as such pairs is no evidence, and the fix then leaves the call alone.
bool choices_allow_empty(py::handle choices) {
  if (!vettor::isinstance(choices, M("Iterable")) || py::isinstance<py::str>(choices) ||
      py::isinstance<py::bytes>(choices) ||
      vettor::isinstance(choices, lookup("collections.abc", "Mapping")))
    return false;
  py::str empty("");
  for (py::handle item : choices) {
    if (!is_pair(item)) continue;
    py::object value = item[py::int_(0)];
    py::object label = item[py::int_(1)];
    if (py::isinstance<py::list>(label)) {
      for (py::handle inner : label) {
        if (is_pair(inner) && eq(inner[py::int_(0)], empty)) return true;
      }
    } else if (eq(value, empty)) {
      return true;
    }
  }
  return false;
}

// Set on a `blank` keyword that the nullable-string fix kept as the author wrote it.
constexpr const char* kStatesRequired = "vettor_states_required";

py::object transform_null_to_default_str(py::object node) {
  if (in_migration(node)) return node;
  py::object null_keyword = py::none(), blank_keyword = py::none(), default_keyword = py::none();
  py::object keywords = node.attr("keywords");
  if (!keywords.is_none()) {
    for (py::handle keyword : keywords) {
      py::object arg = keyword.attr("arg");
      if (eq(arg, py::str("null"))) {
        null_keyword = py::reinterpret_borrow<py::object>(keyword);
      } else if (eq(arg, py::str("blank"))) {
        blank_keyword = py::reinterpret_borrow<py::object>(keyword);
      } else if (eq(arg, py::str("default"))) {
        default_keyword = py::reinterpret_borrow<py::object>(keyword);
      } else if (eq(arg, py::str("choices"))) {
        if (!choices_allow_empty(H("astroid_node_to_value")(keyword.attr("value")))) return node;
      }
    }
  }
  if (is_unique(node) || application_gives_none(node)) return node;

  // A `blank` the author wrote is kept as written: blank=False keeps the field required in
  // every form. It stays the author's statement once null=True is gone, so the redundant
  // argument fix that runs after this one leaves it too.
  if (!blank_keyword.is_none()) {
    on_error(
        PyExc_Exception, [&] { blank_keyword.attr(kStatesRequired) = py::bool_(true); }, [] {});
  } else {
    py::object blank = astroid_class("Keyword")(py::arg("arg") = "blank",
                                                py::arg("lineno") = node.attr("lineno"),
                                                py::arg("parent") = node);
    blank.attr("value") = const_node(py::bool_(true));
    add_keyword(node, blank);
  }

  // A default the user chose is kept: only a missing or none default becomes the empty text.
  auto default_is_none = [&] {
    return H("astroid_node_to_value")(default_keyword.attr("value")).is_none();
  };
  if (!null_keyword.is_none() && !default_keyword.is_none()) {
    if (default_is_none()) default_keyword.attr("value") = const_node(py::str(""));
    node.attr("keywords").attr("remove")(null_keyword);
  } else if (!null_keyword.is_none()) {
    null_keyword.attr("arg") = "default";
    null_keyword.attr("value") = const_node(py::str(""));
  } else if (!default_keyword.is_none()) {
    if (default_is_none()) default_keyword.attr("value") = const_node(py::str(""));
  } else {
    py::object keyword = new_keyword("default");
    keyword.attr("value") = const_node(py::str(""));
    add_keyword(node, keyword);
  }
  return node;
}

// ---------------------------------------------------------------------------------------
// C2002 redundant-default-args

// blank=False beside null=True says the field stays required in forms although the column
// takes NULL: the author's choice, which deleting it would hand to the null-without-blank rule
// to turn around. Beside an empty default it says the same: the field starts empty but a form
// must fill it. That is what the nullable-string fix leaves of such a field, so the fix and a
// second run agree.
bool states_required(py::handle call, py::handle keyword) {
  if (!eq(keyword.attr("arg"), py::str("blank"))) return false;
  if (py::hasattr(keyword, kStatesRequired)) return true;
  py::object explicit_ = explicit_arguments(call);
  if (truthy(get(explicit_, "null"))) return true;
  return explicit_.contains("default") && eq(get(explicit_, "default"), py::str(""));
}

// A value written out as a literal (`False`, `None`, `50`, `-1`). A name or an attribute
// that happens to hold the default today (`max_length=SLUG_MAX_LENGTH`,
// `settings.MAX_TITLE`) ties the field to that constant on purpose: dropping it would keep
// the column as it is now and lose the link.
bool is_written_literal(py::handle value) {
  if (vettor::isinstance(value, astroid_class("UnaryOp"))) value = value.attr("operand");
  return vettor::isinstance(value, astroid_class("Const"));
}

// Whether the keyword of a field call repeats the field class's default for it, as a literal.
bool repeats_default(py::handle call, py::handle keyword, const py::dict& defaults) {
  py::object arg = keyword.attr("arg");
  if (arg.is_none() || !defaults.contains(arg)) return false;
  if (!is_written_literal(keyword.attr("value"))) return false;
  py::object value = H("astroid_node_to_value")(keyword.attr("value"));
  return eq(value, defaults[arg]) && !states_required(call, keyword);
}

py::object is_redundant_kwargs(py::object node) {
  py::object call = node.attr("parent");
  // Keywords of a class statement (metaclass=...) are no field arguments.
  if (!vettor::isinstance(call, astroid_class("Call"))) return py::none();
  if (!is_field(call)) return py::none();
  py::dict defaults = effective_defaults(call);
  py::object arg = node.attr("arg");
  if (arg.is_none() || !defaults.contains(arg)) return py::none();
  return py::bool_(repeats_default(call, node, defaults));
}

py::object has_redundant_kwargs(py::object node) {
  py::object keywords = node.attr("keywords");
  if (!truthy(keywords)) return py::bool_(false);
  for (py::handle keyword : keywords) {
    if (truthy(M("is_redundant_kwargs")(keyword))) return py::bool_(true);
  }
  return py::bool_(false);
}

py::object transform_redundant_kwargs(py::object node) {
  if (in_migration(node)) return node;
  py::object keywords = node.attr("keywords");
  if (!truthy(keywords)) return node;
  py::dict defaults = effective_defaults(node);
  std::vector<size_t> indexes;
  size_t i = 0;
  for (py::handle keyword : keywords) {
    if (repeats_default(node, keyword, defaults)) indexes.push_back(i);
    ++i;
  }
  for (auto it = indexes.rbegin(); it != indexes.rend(); ++it) {
    keywords.attr("pop")(*it);
  }
  return node;
}

// ---------------------------------------------------------------------------------------
// C2003 field-null-not-blank

py::object is_missing_blank_true(py::object node) {
  if (!is_field(node)) return py::bool_(false);
  py::object inferred = inferred_of(node);
  if (!truthy(inferred)) return py::none();
  py::object name = inferred_name(inferred);
  if (H("DJANGO_STRING_FIELDS").contains(name) || H("DJANGO_BOOLEAN_FIELDS").contains(name))
    return py::none();
  py::object kwargs = explicit_arguments(node);
  py::object null = get(kwargs, "null");
  if (!truthy(null)) return null;
  // A `blank` written out, whatever its value, is the author's choice: blank=False keeps a
  // nullable key required in forms. A field that is not editable is in no form at all.
  if (has_keyword(node, "blank")) return py::bool_(false);
  py::object editable = get(kwargs, "editable");
  if (kwargs.contains("editable") && !truthy(editable)) return py::bool_(false);
  // Django sets blank=True itself on a date or time field that fills in its own value.
  if (truthy(get(kwargs, "auto_now")) || truthy(get(kwargs, "auto_now_add")))
    return py::bool_(false);
  return py::bool_(!kwargs.contains("default") || get(kwargs, "default").is_none());
}

// The deletion handler a relation field names in `on_delete` (a keyword, or the second
// argument of ForeignKey and OneToOneField): SET_NULL for models.SET_NULL, SET for
// models.SET(...); None when the call names none or it is not one of Django's. A key that is
// set to NULL (or to a default of None) when its target goes needs null=True.
constexpr const char* kDeletionHandlers[] = {"CASCADE",  "PROTECT",     "RESTRICT", "SET_NULL",
                                             "SET_DEFAULT", "DO_NOTHING", "SET"};

py::object handler_named(py::handle name) {
  for (const char* handler : kDeletionHandlers) {
    if (eq(name, py::str(handler))) return py::str(handler);
  }
  return py::none();
}

py::object on_delete_handler(py::handle node) {
  py::object value = py::none();
  py::object keywords = node.attr("keywords");
  for (py::handle keyword : keywords.is_none() ? py::list() : py::list(keywords)) {
    if (eq(keyword.attr("arg"), py::str("on_delete"))) value = keyword.attr("value");
  }
  py::list args = node.attr("args");
  if (value.is_none() && py::len(args) >= 2) {
    py::object inferred = inferred_of(node);
    if (truthy(inferred) && (name_is(inferred, "ForeignKey") || name_is(inferred, "OneToOneField"))) {
      value = args[1];
    }
  }
  if (value.is_none()) return py::none();
  if (vettor::isinstance(value, astroid_class("Call"))) value = value.attr("func");
  if (vettor::isinstance(value, astroid_class("Attribute"))) return handler_named(value.attr("attrname"));
  if (vettor::isinstance(value, astroid_class("Name"))) return handler_named(value.attr("name"));
  return py::none();
}

py::object transform_add_blank_true(py::object node) {
  if (in_migration(node)) return node;
  if (H("DJANGO_STRING_FIELDS").contains(H("get_function_name")(node))) return node;
  set_or_add_true(node, "blank");
  return node;
}

// ---------------------------------------------------------------------------------------
// C2004 brittle-unique-for

py::object is_fragile_unique_for(py::object keyword_node) {
  py::object arg = keyword_node.attr("arg");
  for (const char* name : {"unique_for_date", "unique_for_month", "unique_for_year"}) {
    if (eq(arg, py::str(name))) return py::bool_(true);
  }
  return py::none();
}

// ---------------------------------------------------------------------------------------
// C2005 missing-related-name

py::object is_fk_mising_related_name(py::object node) {
  py::object inferred = inferred_of(node);
  if (!truthy(inferred) || !name_is(inferred, "ForeignKey")) return py::none();
  py::object node_class = node.attr("frame")();
  py::object explicit_ = explicit_arguments(node);
  if (truthy(get(explicit_, "related_name"))) return py::bool_(false);
  return py::bool_(!truthy(H("is_node_abstract_model")(node_class)));
}

// ---------------------------------------------------------------------------------------
// C2006 huge-max-length

py::object is_huge_char_field(py::object node) {
  if (!is_field(node)) return py::bool_(false);
  py::object inferred = inferred_of(node);
  if (!truthy(inferred) || !name_is(inferred, "CharField")) return py::none();
  // A unique, indexed or primary-key column needs a length: MySQL cannot index a TEXT column,
  // and a TextField drops the length check.
  py::object explicit_ = explicit_arguments(node);
  for (const char* indexed : {"unique", "db_index", "primary_key"}) {
    if (truthy(get(explicit_, indexed))) return py::bool_(false);
  }
  py::object length = get(merged_arguments(node), "max_length");
  if (!truthy(length)) length = py::int_(0);
  // A length that is no number (a text of letters, a list, an expression inference could not
  // work out) cannot be judged: it passes rather than stopping the checker.
  py::object as_int = on_error(
      PyExc_Exception, [&] { return import("builtins").attr("int")(length); },
      [] { return py::object(); });
  if (!as_int) return py::bool_(false);
  return py::bool_(as_int > M("MAX_CHARFIELD_LENGTH"));
}

py::object transform_huge_char_field(py::object node) {
  if (in_migration(node) || !rename_field_call(node, "TextField")) return node;
  py::object keywords = node.attr("keywords");
  if (!truthy(keywords)) return node;
  size_t i = 0;
  for (py::handle keyword : keywords) {
    if (eq(keyword.attr("arg"), py::str("max_length"))) {
      keywords.attr("pop")(i);
      break;
    }
    ++i;
  }
  return node;
}

// ---------------------------------------------------------------------------------------
// C2008 deprecated-nullboolean-field

py::object is_nullboolean(py::object node) {
  if (!is_field(node)) return py::bool_(false);
  py::object inferred = inferred_of(node);
  if (!truthy(inferred)) return inferred;
  return py::bool_(name_is(inferred, "NullBooleanField"));
}

py::object transform_nullboolean(py::object node) {
  if (in_migration(node) || !rename_field_call(node, "BooleanField")) return node;
  set_or_add_true(node, "null");
  return node;
}

// ---------------------------------------------------------------------------------------
// C2011 non-unique-primary

py::object is_non_unique_fk(py::object node) {
  py::object explicit_ = explicit_arguments(node);
  py::dict merged = merged_arguments(node);
  py::object primary_key = get(merged, "primary_key");
  if (!truthy(primary_key)) return primary_key;
  py::object unique = explicit_.attr("get")("unique", true);
  return py::bool_(unique.is(py::bool_(false)));
}

// ---------------------------------------------------------------------------------------
// The checker

py::object field_counter(py::handle self) {
  py::object counter = py::getattr(self, "field_counter", py::none());
  if (counter.is_none()) {
    counter = M("Counter")();
    self.attr("field_counter") = counter;
  }
  return counter;
}

py::object code(const char* name) { return M("Codes").attr(name); }

// Whether the module of `node` is a migration. The answer depends on the module alone and is
// asked for every call and keyword, so it is worked out once per module.
bool in_migration_module(py::handle self, py::handle node) {
  py::object root = node.attr("root")();
  py::object verdict = py::getattr(self, "migration_verdict", py::none());
  if (!verdict.is_none() && py::object(verdict[py::int_(0)]).is(root))
    return truthy(verdict[py::int_(1)]);
  bool answer = truthy(H("is_migration_file")(node));
  self.attr("migration_verdict") = py::make_tuple(root, answer);
  return answer;
}

void report(py::handle self, const char* code_name, py::handle node, py::dict args) {
  self.attr("add_message")(code(code_name), py::arg("node") = node, py::arg("args") = args);
}

py::dict name_record(py::handle name) {
  py::dict record;
  record["name"] = name;
  return record;
}

void visit_call(py::object self, py::object node) {
  if (in_migration_module(self, node)) return;
  // A call outside a plain assignment is no declaration whatever it constructs, and asking
  // costs nothing; asking whether it constructs a field infers its callee.
  py::object name = H("get_member_name")(node);
  if (!truthy(name)) return;
  if (!is_field(node)) return;

  py::object counter = field_counter(self);
  py::object scope = node.attr("scope")();
  counter[scope] = py::object(counter[scope]).attr("__add__")(1);

  if (truthy(M("is_huge_char_field")(node))) {
    py::object explicit_ = explicit_arguments(node);
    py::dict record;
    record["name"] = name;
    // The length came from the class's own default when no keyword gave it.
    if (explicit_.contains("max_length")) {
      record["value"] = get(explicit_, "max_length");
    } else {
      record["value"] = get(merged_arguments(node), "max_length");
    }
    report(self, "C2006", node, record);
  }
  if (truthy(M("is_null_stringfield")(node))) report(self, "C2000", node, name_record(name));
  if (truthy(M("is_fk_mising_related_name")(node)))
    report(self, "C2005", node, name_record(name));
  if (truthy(M("is_nullboolean")(node))) report(self, "C2008", node, name_record(name));
  if (truthy(M("is_non_unique_fk")(node))) report(self, "C2011", node, name_record(name));
  if (truthy(M("is_missing_blank_true")(node))) {
    // The handler chooses the advice: null=True stays where the key is set to NULL.
    py::dict record = name_record(name);
    record["on_delete"] = on_delete_handler(node);
    report(self, "C2003", node, record);
  }
}

void visit_keyword(py::object self, py::object node) {
  if (in_migration_module(self, node)) return;
  // A `**mapping` argument names no option: neither rule can hold, whatever the call makes.
  if (node.attr("arg").is_none()) return;
  py::object call = node.attr("parent");
  if (!is_field(call)) return;
  if (truthy(M("is_redundant_kwargs")(node))) {
    py::dict record;
    record["name"] = H("get_member_name")(call);
    record["option"] = node.attr("arg");
    record["value"] = H("astroid_node_to_value")(node.attr("value"));
    report(self, "C2002", call, record);
  }
  if (truthy(M("is_fragile_unique_for")(node))) {
    py::dict record;
    record["name"] = H("get_member_name")(call);
    record["option"] = node.attr("arg");
    report(self, "C2004", call, record);
  }
}

void leave_classdef(py::object self, py::object node) {
  if (!is_model_class(node)) return;
  py::object count = field_counter(self)[node];
  if (count > self.attr("config").attr("max_columns")) {
    py::dict record;
    record["count"] = count;
    report(self, "C2001", node, record);
  }
}

py::tuple checker_options() {
  auto option = [](const char* name, int default_, const char* help) {
    py::dict record;
    record["default"] = default_;
    record["type"] = "int";
    record["metavar"] = "<int>";
    record["help"] = help;
    return py::make_tuple(name, record);
  };
  return py::make_tuple(
      option("max-columns", 20, "Maximum number of fields for a model"),
      option("max-charfield-length", 512, "Maximum size of max_length on a CharField"));
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::object cls = make_source_checker(
      m, "columns",
      make_msgs(helpers, {{"C2000", "nullable-string-field", "Nullable"},
                          {"C2001", "tall-model", "Too many fields"},
                          {"C2002", "redundant-default-args", "Implicit false"},
                          {"C2003", "field-null-not-blank", "Field not nullable"},
                          {"C2004", "brittle-unique-for", "Brittle unique"},
                          {"C2005", "missing-related-name", "ForeignKey missing"},
                          {"C2006", "huge-max-length", "Huge charfield max_length"},
                          {"C2008", "deprecated-nullboolean-field", "Nullable BooleanField"},
                          {"C2011", "non-unique-primary", "Non-unique primary key"}}),
      checker_options());
  add_visit(cls, "visit_module", [](py::object self, py::object node) {
    self.attr("field_counter") = M("Counter")();
    self.attr("migration_verdict") = py::none();
    start_module_memo(node);
  });
  add_visit(cls, "leave_module", [](py::object, py::object) { end_module_memo(); });
  add_visit(cls, "visit_call", &visit_call);
  add_visit(cls, "visit_keyword", &visit_keyword);
  add_visit(cls, "leave_classdef", &leave_classdef);
  return cls;
}

// ---------------------------------------------------------------------------------------
// Fix selection

struct Fix {
  const char* code;
  const char* transform;
  const char* predicate;
};

constexpr Fix kFixes[] = {
    {"C2000", "transform_null_to_default_str", "is_null_stringfield"},
    {"C2002", "transform_redundant_kwargs", "has_redundant_kwargs"},
    {"C2003", "transform_add_blank_true", "is_missing_blank_true"},
    {"C2006", "transform_huge_char_field", "is_huge_char_field"},
    {"C2008", "transform_nullboolean", "is_nullboolean"},
};

// What each fix may change. A field fix that changes the column or what a form accepts
// changes what the program stores or accepts, however right the advice is.
constexpr FixSafety kFixSafety[] = {
    {"C2000", Safety::kUnsafe,
     "the schema (a migration: the column no longer takes NULL) and form validation (the "
     "field may be left empty); code that stores None in it then fails"},
    {"C2002", Safety::kSafe, "the argument repeats the field's own default"},
    {"C2003", Safety::kUnsafe,
     "form validation: forms and the admin may then leave the field empty"},
    {"C2006", Safety::kUnsafe,
     "the schema (a migration to a TEXT column, which MySQL cannot index) and forms (a "
     "textarea with no length check)"},
    {"C2008", Safety::kUnsafe,
     "the schema (a migration) and form validation: BooleanField(null=True) is not "
     "blank=True as NullBooleanField was, so forms then require a value"},
};

py::object build_transformer_visitor(py::object message_ids) {
  py::object visitor = H("NodeTransformVisitor")();
  py::object call = astroid_class("Call");
  for (py::handle message_id : message_ids) {
    for (const Fix& fix : kFixes) {
      if (eq(message_id, code(fix.code))) {
        visitor.attr("register_transform")(call, M(fix.transform), M(fix.predicate));
      }
    }
  }
  return visitor;
}

}  // namespace

PYBIND11_MODULE(columns, m) {
  M.bind(m);
  m.attr("Counter") = lookup("collections", "Counter");
  m.attr("Iterable") = lookup("collections.abc", "Iterable");
  m.attr("astroid") = import("astroid");
  m.attr("IAstroidChecker") = lookup("pylint.interfaces", "IAstroidChecker");
  m.attr("safe_infer") = lookup("pylint.checkers.utils", "safe_infer");
  import("pylint.checkers");  // `import pylint.checkers` binds the top-level package
  m.attr("pylint") = import("pylint");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  H.bind(helpers);
  m.attr("helpers") = helpers;
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));

  m.attr("MAX_CHARFIELD_LENGTH") = 512;
  m.attr(kModuleMemo) = py::none();
  m.attr("Codes") = make_codes(
      m, {"C2000", "C2001", "C2002", "C2003", "C2004", "C2005", "C2006", "C2008", "C2011"});

  m.def("transform_null_to_default_str", &transform_null_to_default_str, py::arg("node"));
  m.def("transform_redundant_kwargs", &transform_redundant_kwargs, py::arg("node"));
  m.def("transform_add_blank_true", &transform_add_blank_true, py::arg("node"));
  m.def("transform_huge_char_field", &transform_huge_char_field, py::arg("node"));
  m.def("transform_nullboolean", &transform_nullboolean, py::arg("node"));

  m.def("is_null_stringfield", &is_null_stringfield, py::arg("node"));
  m.def("is_redundant_kwargs", &is_redundant_kwargs, py::arg("node"));
  m.def("has_redundant_kwargs", &has_redundant_kwargs, py::arg("node"));
  m.def("is_missing_blank_true", &is_missing_blank_true, py::arg("node"));
  m.def("is_fragile_unique_for", &is_fragile_unique_for, py::arg("keyword_node"));
  m.def("is_fk_mising_related_name", &is_fk_mising_related_name, py::arg("node"));
  m.def("is_huge_char_field", &is_huge_char_field, py::arg("node"));
  m.def("is_nullboolean", &is_nullboolean, py::arg("node"));
  m.def("is_non_unique_fk", &is_non_unique_fk, py::arg("node"));

  m.attr("Checker") = make_checker(m, helpers);
  m.attr("FIX_SAFETY") = make_fix_safety(kFixSafety);
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
}
