// shims: what astroid cannot work out from Django's own source. Reading `objects` on a model
// gives a manager; all/filter/exclude on a manager or a queryset give a queryset of model
// instances; first/last/get give a model instance; subscripting the queryset gives a model
// instance. Model classes also learn which of their fields their generic foreign keys use as
// object-id fields.
//
// Every predicate looks at node kinds and attribute names before it infers anything: the
// predicates run on every call, attribute and class node of every tree built with the shims.
#include "shims.hpp"

#include <string_view>

namespace vettor::shims {

namespace {

// The module's names (helpers, safe_infer, astroid, QuerySetNode and the functions
// below) are read at each call through G, so a patched attribute is seen.

py::object helpers(const char* name) { return G("helpers").attr(name); }
py::object astroid_attr(const char* name) { return G("astroid").attr(name); }

// How many of the predicates' inferences are running (they run while astroid builds a tree).
int building = 0;

// The predicates and the class transform run while astroid builds a tree, which may be in the
// middle of another module's inference: each inference of theirs gets a budget of its own, so
// that what the tree's transforms decide is the same however deep its build began.
py::object safe_infer(py::handle node) {
  struct Building {
    Building() { ++building; }
    ~Building() { --building; }
  } marked;
  return helpers("within_own_inference_budget")(G("safe_infer"), node);
}

bool attrname_in(py::handle func, std::initializer_list<std::string_view> names) {
  py::object attrname = func.attr("attrname");
  if (!py::isinstance<py::str>(attrname)) return false;
  auto text = attrname.cast<std::string>();
  for (auto name : names) {
    if (text == name) return true;
  }
  return false;
}

// `node.func` is an attribute node named one of `names`; with `attribute_receiver`, the
// object it is read on is itself an attribute node (Article.objects in Article.objects.get).
bool call_shape(py::handle node, std::initializer_list<std::string_view> names,
                bool attribute_receiver) {
  py::object attribute = astroid_attr("Attribute");
  py::object func = getattr_or_none(node, "func");
  if (!vettor::isinstance(func, attribute) || !attrname_in(func, names)) return false;
  return !attribute_receiver || vettor::isinstance(func.attr("expr"), attribute);
}

// What the queryset methods accept, read off the call alone: first(), last() and all() take
// no argument, and the positional arguments of get(), filter() and exclude() are Q objects,
// never literals. Most calls of these names are a mapping's (`request.GET.get('page')`,
// `os.environ.get('DEBUG', '')`), and inferring their receiver is what costs: it builds the
// library modules the receiver comes from.
bool arguments_fit_a_lookup(py::handle node) {
  py::object args = node.attr("args");
  py::object keywords = node.attr("keywords");
  if (attrname_in(node.attr("func"), {"first", "last", "all"}))
    return !truthy(args) && !truthy(keywords);
  if (!truthy(args)) return true;
  py::tuple literals = py::make_tuple(astroid_attr("Const"), astroid_attr("JoinedStr"),
                                      astroid_attr("List"), astroid_attr("Tuple"),
                                      astroid_attr("Dict"), astroid_attr("Set"));
  for (py::handle arg : args) {
    if (vettor::isinstance(arg, literals)) return false;
  }
  return true;
}

// Both look-up predicates infer the receiver of the same all/filter/exclude call, the
// manager's right before the queryset's while the transforms of a new tree run: the manager's
// leaves its answer for the queryset's, which takes it (once) when it is about the same node.
constexpr const char* kLastReceiver = "_last_lookup_receiver";

py::object receiver_inferred_for_later(py::handle node) {
  py::object receiver = node.attr("func").attr("expr");
  py::object inferred = safe_infer(receiver);
  G.handle().attr(kLastReceiver) = py::make_tuple(receiver, inferred);
  return inferred;
}

py::object receiver_inferred_before(py::handle node) {
  py::object receiver = node.attr("func").attr("expr");
  py::object kept = py::getattr(G.handle(), kLastReceiver, py::none());
  if (py::isinstance<py::tuple>(kept)) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(kept);
    G.handle().attr(kLastReceiver) = py::none();
    if (pair.size() == 2 && pair[0].ptr() == receiver.ptr()) return pair[1];
  }
  return safe_infer(receiver);
}

// When the object an inference function starts from does not infer to something that can be
// instantiated, astroid's ordinary inference answers for the node, as if no shim matched.
[[noreturn]] void use_inference_default() { raise(astroid_attr("UseInferenceDefault")); }

// Only a class is instantiated: an instance answers `instantiate_class` too (astroid hands the
// attribute on to its class), and `board.sprints.get()` is no Board.
py::object instance_of(py::handle expr) {
  py::object inferred = infer_value(expr);
  if (!vettor::isinstance(inferred, astroid_attr("ClassDef"))) use_inference_default();
  return inferred.attr("instantiate_class")();
}

// The model of a manager that knows it (what `board.sprints` or a declared manager infers to).
py::object manager_model(py::handle manager) {
  if (!vettor::isinstance(manager, G("ManagerNode"))) return py::none();
  return manager.attr("model");
}

py::object new_queryset_of_model(py::handle model) {
  py::list elements;
  elements.append(model.attr("instantiate_class")());
  return G("QuerySetNode").attr("from_elements")(elements);
}

py::object new_queryset_of(py::handle expr) {
  py::list elements;
  elements.append(instance_of(expr));
  return G("QuerySetNode").attr("from_elements")(elements);
}

py::object iterate(py::handle value) {
  py::list values;
  values.append(value);
  return py::iter(values);
}

constexpr const char* kQuerySetName = "django.db.models.query.QuerySet";

// A queryset value that astroid can both treat as a class (the Django class predicates read its
// order) and as a list of model instances (subscripts infer to its one element).
py::object make_queryset_node(py::module_& m) {
  py::object classdef = astroid_attr("ClassDef");
  py::object list = astroid_attr("List");
  py::object cls = make_class(m, "QuerySetNode", py::make_tuple(classdef, list));
  add_method(cls, "qname", [](py::object, py::args) { return py::str(kQuerySetName); });
  add_alias(cls, "pytype", "qname");
  add_method(
      cls, "getitem",
      [](py::object self, py::object, py::object) { return self.attr("elts")[py::int_(0)]; },
      py::arg("index"), py::arg("context") = py::none());
  return cls;
}

// 1. Model classes and their generic foreign keys ---------------------------------------

py::object looks_like_model(py::object node) { return helpers("is_model")(safe_infer(node)); }

// The object-id field names that one call would give if it were a GenericForeignKey(...):
// the fk_field keywords when the call has keywords, else its second positional argument.
// Only text literals are recorded; a name or an expression there says nothing that can be
// read without running the code.
py::list object_id_fields(py::handle call) {
  py::list names;
  py::object constant = astroid_attr("Const");
  auto add_literal = [&](py::handle value) {
    if (vettor::isinstance(value, constant) && py::isinstance<py::str>(value.attr("value"))) {
      names.append(value.attr("value"));
    }
  };
  py::object keywords = call.attr("keywords");
  if (truthy(keywords)) {
    for (py::handle keyword : keywords) {
      py::object arg = keyword.attr("arg");
      if (py::isinstance<py::str>(arg) && arg.cast<std::string>() == "fk_field") {
        add_literal(keyword.attr("value"));
      }
    }
    return names;
  }
  py::object args = call.attr("args");
  if (!args.is_none() && py::len(args) >= 2) add_literal(args[py::int_(1)]);
  return names;
}

// The transform runs on every model class of every tree built, Django's own among them
// (Model itself, whose methods hold hundreds of calls). A call that would record nothing
// even as a generic key is not inferred: inferring calls is what builds library modules, and
// most calls of a class are method calls that could never name an object-id field.
py::object apply_is_used_in_generic_fk_shim(py::object node) {
  py::list names;
  if (truthy(helpers("is_model")(node))) {
    py::object calls = node.attr("nodes_of_class")(astroid_attr("Call"));
    for (py::handle call : calls) {
      py::list fields = object_id_fields(call);
      if (fields.empty()) continue;
      py::object inferred = safe_infer(call);
      if (!truthy(inferred)) continue;
      py::object name = getattr_or_none(inferred, "name");
      if (!py::isinstance<py::str>(name) || name.cast<std::string>() != "GenericForeignKey") {
        continue;
      }
      for (py::handle field : fields) names.append(field);
    }
  }
  node.attr("generic_foreign_key_field_names") = names;
  return node;
}

// 5. Model.objects -------------------------------------------------------------------------

py::object looks_like_model_manager(py::object node) {
  py::object attrname = node.attr("attrname");
  if (!py::isinstance<py::str>(attrname) || attrname.cast<std::string>() != "objects") {
    return py::none();
  }
  return helpers("is_model")(safe_infer(node.attr("expr")));
}

// Django's own Manager class, whichever manager built the tree at hand: the name is bound in
// django.db.models.manager by a class statement (the import-from bindings are skipped).
py::object apply_model_manager_shim(py::object node, py::object) {
  // The model the attribute is read on (its class, when it is read on an instance) declares
  // the manager: its own class and queryset methods then infer, and so does its model.
  py::object model = infer_value(node.attr("expr"));
  if (vettor::isinstance(model, lookup("astroid.bases", "Instance"))) model = model.attr("_proxied");
  if (vettor::isinstance(model, astroid_attr("ClassDef")) && truthy(helpers("is_model")(model))) {
    return iterate(G("get_objects_manager")(model));
  }
  py::object module =
      astroid_attr("MANAGER").attr("ast_from_module_name")("django.db.models.manager");
  py::object bindings = module.attr("lookup")("Manager")[py::int_(1)];
  py::object import_from = astroid_attr("ImportFrom");
  py::list managers;
  for (py::handle binding : bindings) {
    if (vettor::isinstance(binding, import_from)) continue;
    managers.append(binding.attr("instantiate_class")());
  }
  return py::iter(managers);
}

// 2. Model.objects.all() / filter() / exclude() ----------------------------------------------

py::object looks_like_model_manager_lookup(py::object node) {
  if (!call_shape(node, {"all", "filter", "exclude"}, true) || !arguments_fit_a_lookup(node))
    return py::none();
  return helpers("is_model_manager")(receiver_inferred_for_later(node));
}

py::object apply_model_manager_lookup_shim(py::object node, py::object) {
  py::object model = manager_model(infer_value(node.attr("func").attr("expr")));
  if (!model.is_none()) return iterate(new_queryset_of_model(model));
  return iterate(new_queryset_of(node.attr("func").attr("expr").attr("expr")));
}

// 3. <queryset>.all() / filter() / exclude() -------------------------------------------------

py::object looks_like_queryset_lookup(py::object node) {
  if (!call_shape(node, {"all", "filter", "exclude"}, false) || !arguments_fit_a_lookup(node))
    return py::none();
  return helpers("is_queryset")(receiver_inferred_before(node));
}

// A chain of look-ups stays the queryset of its first link.
py::object apply_queryset_lookup_shim(py::object node, py::object) {
  py::object receiver = node.attr("func").attr("expr");
  py::object inferred = infer_value(receiver);
  if (truthy(helpers("is_queryset")(inferred))) return iterate(inferred);
  if (!py::hasattr(receiver, "expr")) use_inference_default();
  return iterate(new_queryset_of(receiver.attr("expr")));
}

// 4. first() / last() / get() on a manager or a queryset -------------------------------------

py::object looks_like_model_get(py::object node) {
  if (!call_shape(node, {"first", "last", "get"}, true) || !arguments_fit_a_lookup(node))
    return py::none();
  py::object inferred = safe_infer(node.attr("func").attr("expr"));
  py::object is_manager = helpers("is_model_manager")(inferred);
  if (truthy(is_manager)) return is_manager;
  return helpers("is_queryset")(inferred);
}

py::object apply_model_get_shim(py::object node, py::object) {
  py::object model = manager_model(infer_value(node.attr("func").attr("expr")));
  if (!model.is_none()) return iterate(model.attr("instantiate_class")());
  return iterate(instance_of(node.attr("func").attr("expr").attr("expr")));
}

// ------------------------------------------------------------------------------------------

// An inference function set on the node as it is, without astroid's memo of inference tips:
// that memo keeps one answer per node whatever the context, and these answers depend on it
// (`self` in a manager's method is the manager of the model the method was called through).
py::object explicit_inference(py::object function) {
  py::object infer = py::cpp_function(
      [function](py::object node, py::object context, py::kwargs) { return function(node, context); },
      py::arg("node"), py::arg("context") = py::none());
  return py::cpp_function(
      [infer](py::object node) {
        node.attr("_explicit_inference") = infer;
        return node;
      },
      py::arg("node"));
}

// The same, keeping the function the node had (kInferenceBefore) for the inference function
// to fall back on.
py::object explicit_inference_over(py::object function) {
  py::object infer = py::cpp_function(
      [function](py::object node, py::object context, py::kwargs) { return function(node, context); },
      py::arg("node"), py::arg("context") = py::none());
  return py::cpp_function(
      [infer](py::object node) {
        py::setattr(node, kInferenceBefore, getattr_or_none(node, "_explicit_inference"));
        node.attr("_explicit_inference") = infer;
        return node;
      },
      py::arg("node"));
}

// For a function's parameters, visited as their `Arguments` node (one node a function rather
// than one for every name a module binds): each parameter `picks` accepts gets the inference
// function.
py::object explicit_inference_on_parameters(py::object function, py::object picks) {
  py::object infer = py::cpp_function(
      [function](py::object node, py::object context, py::kwargs) { return function(node, context); },
      py::arg("node"), py::arg("context") = py::none());
  return py::cpp_function(
      [infer, picks](py::object arguments) {
        for (const char* field : {"args", "kwonlyargs"}) {
          py::object parameters = arguments.attr(field);
          if (parameters.is_none()) continue;
          for (py::handle parameter : parameters) {
            if (!getattr_or_none(parameter, "_explicit_inference").is_none()) continue;
            if (truthy(picks(parameter))) parameter.attr("_explicit_inference") = infer;
          }
        }
        return arguments;
      },
      py::arg("node"));
}

// The five transforms for `Model.objects` chains, then those for the managers and instances
// the code reaches otherwise. The later ones leave a node that one of the first five took.
void register_transforms(py::object manager) {
  py::object register_transform = manager.attr("register_transform");
  py::object tip = astroid_attr("inference_tip");
  register_transform(astroid_attr("ClassDef"), G("apply_is_used_in_generic_fk_shim"),
                     G("looks_like_model"));
  register_transform(astroid_attr("Call"), tip(G("apply_model_manager_lookup_shim")),
                     G("looks_like_model_manager_lookup"));
  register_transform(astroid_attr("Call"), tip(G("apply_queryset_lookup_shim")),
                     G("looks_like_queryset_lookup"));
  register_transform(astroid_attr("Call"), tip(G("apply_model_get_shim")),
                     G("looks_like_model_get"));
  register_transform(astroid_attr("Attribute"), tip(G("apply_model_manager_shim")),
                     G("looks_like_model_manager"));
  register_transform(astroid_attr("Attribute"),
                     explicit_inference(G("apply_related_manager_shim")),
                     G("looks_like_related_manager"));
  register_transform(astroid_attr("Call"), explicit_inference(G("apply_get_queryset_shim")),
                     G("looks_like_get_queryset"));
  register_transform(astroid_attr("Call"),
                     explicit_inference(G("apply_get_object_or_404_shim")),
                     G("looks_like_get_object_or_404"));
  register_transform(astroid_attr("Arguments"),
                     explicit_inference_on_parameters(G("apply_annotated_argument_shim"),
                                                      G("looks_like_annotated_model_argument")),
                     G("looks_like_annotated_arguments"));
  register_transform(astroid_attr("Call"), explicit_inference_over(G("apply_list_shim")),
                     G("looks_like_list_call"));
}

}  // namespace

bool inferring_while_building() { return building > 0; }

// One value `node` infers to (pylint's safe_infer, in `context` when one is given), within the
// inference budget that runs; None when there is none or it is ambiguous.
py::object infer_value(py::handle node, py::handle context) {
  py::object within = helpers("within_inference_budget");
  try {
    if (!context || context.is_none()) return within(G("safe_infer"), node);
    return within(G("safe_infer"), node, py::arg("context") = context);
  } catch (py::error_already_set& e) {
    // pylint's safe_infer lets the StopIteration of a node that infers to nothing at all
    // through (an answer astroid kept, empty, for the context); raised inside astroid's
    // generators it would become a RuntimeError.
    if (!e.matches(PyExc_StopIteration)) throw;
    return py::none();
  }
}

// The module body has bound astroid, safe_infer and helpers before this runs, and puts the
// transforms on astroid's global manager once every name is bound.
void register_inference(py::module_& m) {
  m.attr("QuerySetNode") = make_queryset_node(m);

  m.def("looks_like_model", &looks_like_model, py::arg("node"));
  m.def("apply_is_used_in_generic_fk_shim", &apply_is_used_in_generic_fk_shim, py::arg("node"));
  m.def("looks_like_model_manager", &looks_like_model_manager, py::arg("node"));
  m.def("apply_model_manager_shim", &apply_model_manager_shim, py::arg("node"),
        py::arg("_context") = py::none());
  m.def("looks_like_model_manager_lookup", &looks_like_model_manager_lookup, py::arg("node"));
  m.def("apply_model_manager_lookup_shim", &apply_model_manager_lookup_shim, py::arg("node"),
        py::arg("_context") = py::none());
  m.def("looks_like_queryset_lookup", &looks_like_queryset_lookup, py::arg("node"));
  m.def("apply_queryset_lookup_shim", &apply_queryset_lookup_shim, py::arg("node"),
        py::arg("_context") = py::none());
  m.def("looks_like_model_get", &looks_like_model_get, py::arg("node"));
  m.def("apply_model_get_shim", &apply_model_get_shim, py::arg("node"),
        py::arg("_context") = py::none());
}

void register_transform_registration(py::module_& m) {
  m.def("register_transforms", &register_transforms, py::arg("manager"));
}

}  // namespace vettor::shims
