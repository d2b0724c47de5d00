// shims: managers that know their model. Django builds a manager's queryset methods at run
// time (`Manager = BaseManager.from_queryset(QuerySet)`), so astroid finds no `filter` on a
// manager, and nothing tells it which model a manager serves: `Board.objects` holds the model
// in the expression, `board.sprints` or `self` inside a manager's own method do not. A
// `ManagerNode` is an instance of the manager's class that carries its model (and the
// queryset class of a manager made with `from_queryset` or `as_manager`), and answers
// Django's queryset methods itself:
//
// - all(), filter(), order_by(), get_queryset() and the other methods that return a queryset
//   give a new `QuerySetNode` of the model; get(), first(), last(), create(), earliest() and
//   latest() give a model instance;
// - a method of the manager's own class is inferred by astroid, bound to the `ManagerNode`,
//   so that `self.filter(...)` in it is a queryset of the model;
// - a method of its queryset class (what `from_queryset` and `as_manager` copy onto the
//   manager) likewise.
//
// A `QuerySetNode` answers the methods that return a queryset with itself, so a chain
// `Board.objects.filter(...).order_by(...)` stays the queryset of its first link.
#include "shims.hpp"

#include <string>
#include <string_view>

namespace vettor::shims {

namespace {

py::object helpers(const char* name) { return G("helpers").attr(name); }
py::object astroid_attr(const char* name) { return G("astroid").attr(name); }

bool text_in(py::handle value, std::initializer_list<std::string_view> names) {
  if (!py::isinstance<py::str>(value)) return false;
  auto text = value.cast<std::string>();
  for (auto name : names) {
    if (text == name) return true;
  }
  return false;
}

// QuerySet methods that return a new queryset of the same model. values() and values_list()
// return rows that are no model instances, and are left out.
bool returns_queryset(py::handle name) {
  return text_in(name, {"all", "filter", "exclude", "order_by", "select_related",
                        "prefetch_related", "annotate", "alias", "distinct", "only", "defer",
                        "using", "reverse", "none", "select_for_update", "extra", "union",
                        "intersection", "difference"});
}

bool returns_instance(py::handle name) {
  return text_in(name, {"get", "first", "last", "create", "earliest", "latest"});
}

py::object iterate(py::handle value) {
  py::list values;
  values.append(value);
  return py::iter(values);
}

py::object django_module(const char* name) {
  return astroid_attr("MANAGER").attr("ast_from_module_name")(name);
}

// The function Django's QuerySet (or, for get_queryset, BaseManager) defines under `name`: the
// method a bound lookup stands for, so that it reads as that method wherever it is looked at.
py::object django_method(py::handle name) {
  bool manager = py::str(name).equal(py::str("get_queryset"));
  py::object module = django_module(manager ? "django.db.models.manager" : "django.db.models.query");
  py::object cls = module[manager ? "BaseManager" : "QuerySet"];
  py::object found = on_error(
      astroid_attr("AttributeInferenceError"), [&] { return py::object(cls.attr("getattr")(name)); },
      [&] { return py::object(cls.attr("getattr")("all")); });
  return found[py::int_(0)];
}

bool defined_in_django(py::handle node) {
  std::string module = py::str(node.attr("root")().attr("name"));
  return module == "django" || module.rfind("django.", 0) == 0;
}

// What `cls` itself (or an ancestor outside Django) defines as a function named `name`.
py::object own_function(py::handle cls, py::handle name) {
  if (cls.is_none()) return py::none();
  py::object found = on_error(
      astroid_attr("AttributeInferenceError"),
      [&] { return py::object(cls.attr("getattr")(name)); }, [] { return py::object(py::list()); });
  for (py::handle definition : found) {
    if (vettor::isinstance(definition, astroid_attr("FunctionDef")) && !defined_in_django(definition))
      return py::reinterpret_borrow<py::object>(definition);
    break;
  }
  return py::none();
}

py::object new_queryset(py::handle model) {
  py::list elements;
  elements.append(model.attr("instantiate_class")());
  return G("QuerySetNode").attr("from_elements")(elements);
}

// ---------------------------------------------------------------------------------------
// LookupMethod: a queryset method bound to a manager or a queryset

py::object make_lookup_method(py::module_& m) {
  py::object cls = make_class(m, "LookupMethod", bases_of(lookup("astroid.bases", "BoundMethod")));
  py::handle h = cls;
  add_init(
      cls,
      [h](py::object self, py::object proxy, py::object bound, py::object model, py::str returns) {
        super(h, self).attr("__init__")(proxy, bound);
        self.attr("model") = model;
        self.attr("returns") = returns;
      },
      py::arg("proxy"), py::arg("bound"), py::arg("model"), py::arg("returns"));
  // "queryset": a new queryset of the model; "instance": a model instance; "itself": the
  // queryset it is bound to.
  add_method(
      cls, "infer_call_result",
      [](py::object self, py::object, py::object) -> py::object {
        std::string returns = py::str(self.attr("returns"));
        if (returns == "itself") return iterate(self.attr("bound"));
        py::object model = self.attr("model");
        if (returns == "queryset") return iterate(new_queryset(model));
        return iterate(model.attr("instantiate_class")());
      },
      py::arg("caller"), py::arg("context") = py::none());
  return cls;
}

py::object lookup_method(py::handle bound, py::handle name, py::handle model, const char* returns) {
  return G("LookupMethod")(django_method(name), bound, model, returns);
}

// ---------------------------------------------------------------------------------------
// ManagerNode

py::object manager_igetattr(py::handle cls, py::object self, py::object name, py::object context) {
  py::object model = self.attr("model");
  if (text_in(name, {"model"})) return iterate(model);
  if (returns_queryset(name) || text_in(name, {"get_queryset"}))
    return iterate(lookup_method(self, name, model, "queryset"));
  if (returns_instance(name)) return iterate(lookup_method(self, name, model, "instance"));
  py::object proxied = self.attr("_proxied");
  if (own_function(proxied, name).is_none()) {
    py::object copied = own_function(self.attr("queryset_class"), name);
    if (!copied.is_none()) return iterate(lookup("astroid.bases", "BoundMethod")(copied, self));
  }
  return super(cls, self).attr("igetattr")(name, context);
}

py::object make_manager_node(py::module_& m) {
  py::object cls = make_class(m, "ManagerNode", bases_of(lookup("astroid.bases", "Instance")));
  py::handle h = cls;
  add_init(
      cls,
      [h](py::object self, py::object proxied, py::object model, py::object queryset_class) {
        super(h, self).attr("__init__")(proxied);
        self.attr("model") = model;
        self.attr("queryset_class") = queryset_class;
      },
      py::arg("proxied"), py::arg("model"), py::arg("queryset_class") = py::none());
  add_method(
      cls, "igetattr",
      [h](py::object self, py::object name, py::object context) {
        return manager_igetattr(h, self, name, context);
      },
      py::arg("name"), py::arg("context") = py::none());
  return cls;
}

// ---------------------------------------------------------------------------------------
// Managers a model declares

py::object infer_class(py::handle node) {
  py::object value = infer_value(node);
  if (!vettor::isinstance(value, astroid_attr("ClassDef"))) return py::none();
  return value;
}

bool is_base_manager(py::handle cls) {
  if (truthy(helpers("is_model_manager")(cls))) return true;
  return on_error(
      PyExc_Exception,
      [&] {
        for (py::handle ancestor : cls.attr("mro")()) {
          if (py::str(ancestor.attr("qname")()).equal(py::str("django.db.models.manager.BaseManager")))
            return true;
        }
        return false;
      },
      [] { return false; });
}

// `Manager.from_queryset(QS)`: the queryset class, or None.
py::object from_queryset_class(py::handle call) {
  if (!vettor::isinstance(call, astroid_attr("Call"))) return py::none();
  py::object func = call.attr("func");
  if (!vettor::isinstance(func, astroid_attr("Attribute")) ||
      !py::str(func.attr("attrname")).equal(py::str("from_queryset")))
    return py::none();
  py::list args = call.attr("args");
  if (args.size() != 1) return py::none();
  py::object queryset = infer_class(args[0]);
  if (queryset.is_none() || !truthy(helpers("is_queryset")(queryset))) return py::none();
  return queryset;
}

// The queryset class a manager class was made from: a base written
// `Manager.from_queryset(QS)`, in its own bases or an ancestor's outside Django.
py::object queryset_class_of(py::handle manager_class) {
  py::object order = on_error(
      PyExc_Exception, [&] { return py::object(manager_class.attr("mro")()); },
      [&] { return py::object(list_of(manager_class)); });
  for (py::handle cls : order) {
    if (defined_in_django(cls)) break;
    for (py::handle base : cls.attr("bases")) {
      py::object queryset = from_queryset_class(base);
      if (!queryset.is_none()) return queryset;
    }
  }
  return py::none();
}

py::object django_manager_class() {
  py::object module = django_module("django.db.models.manager");
  py::object bindings = module.attr("lookup")("Manager")[py::int_(1)];
  for (py::handle binding : bindings) {
    if (!vettor::isinstance(binding, astroid_attr("ImportFrom")))
      return py::reinterpret_borrow<py::object>(binding);
  }
  return py::none();
}

// The manager that `value`, the value of an assignment in a model's body, makes for `model`:
// `BoardManager()`, `Manager.from_queryset(QS)()`, `QS.as_manager()`; None for anything else.
py::object manager_of_declaration(py::handle value, py::handle model) {
  if (!vettor::isinstance(value, astroid_attr("Call"))) return py::none();
  py::object func = value.attr("func");
  if (vettor::isinstance(func, astroid_attr("Attribute")) &&
      py::str(func.attr("attrname")).equal(py::str("as_manager"))) {
    py::object queryset = infer_class(func.attr("expr"));
    if (queryset.is_none() || !truthy(helpers("is_queryset")(queryset))) return py::none();
    return G("ManagerNode")(django_manager_class(), model, queryset);
  }
  py::object queryset = from_queryset_class(func);
  if (!queryset.is_none()) {
    py::object manager = infer_class(func.attr("func").attr("expr"));
    if (manager.is_none() || !is_base_manager(manager)) return py::none();
    return G("ManagerNode")(manager, model, queryset);
  }
  py::object manager = infer_class(func);
  if (manager.is_none()) return py::none();
  queryset = queryset_class_of(manager);
  if (queryset.is_none() && !truthy(helpers("is_model_manager")(manager))) return py::none();
  return G("ManagerNode")(manager, model, queryset);
}

// The manager `model` declares under `name` (in its own body or an ancestor's), or None.
py::object declared_manager(py::object model, py::object name) {
  py::object found = on_error(
      astroid_attr("AttributeInferenceError"), [&] { return py::object(model.attr("getattr")(name)); },
      [] { return py::object(py::list()); });
  for (py::handle binding : found) {
    py::object statement = binding.attr("parent");
    if (!vettor::isinstance(binding, astroid_attr("AssignName")) ||
        !vettor::isinstance(statement, astroid_attr("Assign")))
      return py::none();
    return manager_of_declaration(statement.attr("value"), model);
  }
  return py::none();
}

// What reading `objects` on `model` gives: the manager it declares under that name, else
// Django's own Manager.
py::object objects_manager(py::object model) {
  py::object declared = declared_manager(model, py::str("objects"));
  if (!declared.is_none()) return declared;
  return G("ManagerNode")(django_manager_class(), model);
}

// The model's default manager, whose class Django's related managers derive from: the first
// manager its body (or an ancestor's, the nearest first) declares, else Django's own Manager.
py::object find_default_manager(py::object model) {
  py::object order = on_error(
      PyExc_Exception, [&] { return py::object(model.attr("mro")()); },
      [&] { return py::object(list_of(model)); });
  for (py::handle cls : order) {
    if (defined_in_django(cls)) break;
    for (py::handle statement : cls.attr("body")) {
      if (!vettor::isinstance(statement, astroid_attr("Assign"))) continue;
      py::object manager = manager_of_declaration(statement.attr("value"), model);
      if (!manager.is_none()) return manager;
    }
  }
  return G("ManagerNode")(django_manager_class(), model);
}

// Every related manager of a model is asked for it: worked out once for the class node, so
// within an inference budget of its own (the answer kept must not depend on how deep the
// inference that first asked for it stood).
py::object default_manager(py::object model) {
  constexpr const char* kMemo = "_vettor_default_manager";
  py::object kept = getattr_or_none(model, kMemo);
  if (!kept.is_none()) return kept;
  py::object manager = G("helpers").attr("within_own_inference_budget")(
      py::cpp_function([](py::object model) { return find_default_manager(model); }), model);
  if (manager.is_none()) manager = G("ManagerNode")(django_manager_class(), model);
  py::setattr(model, kMemo, manager);
  return manager;
}

// ---------------------------------------------------------------------------------------
// QuerySetNode: the methods that return a queryset give the node itself

py::object queryset_igetattr(py::object self, py::object name, py::object context,
                             py::object class_context) {
  if (returns_queryset(name)) return iterate(lookup_method(self, name, py::none(), "itself"));
  return astroid_attr("ClassDef").attr("igetattr")(self, name, context, class_context);
}

// ---------------------------------------------------------------------------------------
// 10. list(queryset)
//
// astroid's own inference of `list(x)` gives x itself when x is a list, and a queryset's value
// is one: a list made from a queryset would infer to the queryset, and a method that returns
// `list(self.members.all())` to a queryset whose truth test is fine as it is.

py::object looks_like_list_call(py::object node) {
  py::object func = node.attr("func");
  if (!vettor::isinstance(func, astroid_attr("Name")) || !text_in(func.attr("name"), {"list"}))
    return py::none();
  py::object keywords = node.attr("keywords");
  if (py::len(node.attr("args")) != 1 || (!keywords.is_none() && truthy(keywords)))
    return py::none();
  return py::bool_(true);
}

// A new list of the queryset's element, where the argument is a queryset; otherwise what the
// node inferred to before this shim (astroid's own inference of list()).
py::object apply_list_shim(py::object node, py::object context) {
  py::object argument = py::list(node.attr("args"))[0];
  py::object value =
      context.is_none() ? infer_value(argument) : infer_value(argument, context.attr("clone")());
  if (vettor::isinstance(value, G("QuerySetNode"))) {
    py::object rows = astroid_attr("List")(py::arg("lineno") = node.attr("lineno"),
                                           py::arg("col_offset") = node.attr("col_offset"),
                                           py::arg("parent") = node.attr("parent"));
    rows.attr("postinit")(py::list(value.attr("elts")));
    return iterate(rows);
  }
  py::object before = getattr_or_none(node, kInferenceBefore);
  if (!before.is_none()) return before(node, context);
  if (context.is_none()) context = lookup("astroid.context", "InferenceContext")();
  return node.attr("_infer")(context);
}

}  // namespace

void register_managers(py::module_& m) {
  add_method(m.attr("QuerySetNode"), "igetattr", &queryset_igetattr, py::arg("name"),
             py::arg("context") = py::none(), py::arg("class_context") = true);
  m.attr("LookupMethod") = make_lookup_method(m);
  m.attr("ManagerNode") = make_manager_node(m);
  m.def("get_objects_manager", &objects_manager, py::arg("model"));
  m.def("get_default_manager", &default_manager, py::arg("model"));
  m.def("get_declared_manager", &declared_manager, py::arg("model"), py::arg("name"));
  m.def("looks_like_list_call", &looks_like_list_call, py::arg("node"));
  m.def("apply_list_shim", &apply_list_shim, py::arg("node"), py::arg("context") = py::none());
}

}  // namespace vettor::shims
