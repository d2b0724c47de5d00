// helpers: Django class predicates. A Django class is recognised by its qualified name
// anywhere in a class's method resolution order, never by the name the analysed code
// imported it under, so aliases, re-exports and user subclasses all resolve to the same
// Django class and a user class merely called `Model` does not match.
#include "helpers.hpp"

namespace vettor::helpers {

namespace {

constexpr const char* kModel = "django.db.models.base.Model";
constexpr const char* kModelField = "django.db.models.fields.Field";
constexpr const char* kRelatedField = "django.db.models.fields.related.RelatedField";
constexpr const char* kQuerySet = "django.db.models.query.QuerySet";
constexpr const char* kManager = "django.db.models.manager.Manager";
constexpr const char* kModelAdmin = "django.contrib.admin.options.BaseModelAdmin";
constexpr const char* kMigration = "django.db.migrations.migration.Migration";

// True when a class of node.mro() has the qualified name `qname`; the walk stops at the
// first match. Raises whatever astroid raises (no mro, an order it cannot compute, ...).
//
// Astroid works an order out afresh at every call, inferring every base again, and the rules
// ask for the orders of the same few classes (Django's fields, models, managers) at every
// call, attribute and class of every module. So for a class node the qualified names of its
// order are kept, in a mapping whose keys are weak (an entry lives no longer than its class
// node) and whose values are texts (nothing in them keeps a tree alive), and each order is
// worked out once. A proxy (an instance, a constant) answers with its class's order and
// shares its entry; an attempt that raises keeps nothing.
bool mro_has(py::handle node, const char* qname) {
  py::str wanted(qname);
  py::object mro = node.attr("mro");
  py::object owner = py::getattr(mro, "__self__", py::none());
  if (!vettor::isinstance(owner, G("astroid").attr("ClassDef"))) {
    for (py::handle cls : mro()) {
      if (cls.attr("qname")().equal(wanted)) return true;
    }
    return false;
  }
  py::object memo = G("_mro_names");
  py::object names = memo.attr("get")(owner);
  if (names.is_none()) {
    py::list computed;
    for (py::handle cls : mro()) computed.append(cls.attr("qname")());
    names = py::tuple(computed);
    memo[owner] = names;
  }
  for (py::handle name : names) {
    if (name.equal(wanted)) return true;
  }
  return false;
}

// The rules ask these questions of whatever node they meet (none, a function, a class
// whose bases cannot be resolved); an unusual node is simply not a Django class.
bool mro_has_guarded(py::handle node, const char* qname) {
  return on_error(
      PyExc_Exception, [&] { return mro_has(node, qname); }, [] { return false; });
}

bool is_model(py::object node, py::kwargs) { return mro_has_guarded(node, kModel); }

bool is_model_field(py::object node) {
  return on_error(
      PyExc_Exception, [&] { return mro_has(G("safe_infer")(node), kModelField); },
      [] { return false; });
}

bool is_related_field(py::object node, py::kwargs) {
  return mro_has_guarded(node, kRelatedField);
}

bool is_queryset(py::object node) { return mro_has_guarded(node, kQuerySet); }

bool is_model_manager(py::object node) { return mro_has_guarded(node, kManager); }

bool is_model_admin(py::object node) { return mro_has_guarded(node, kModelAdmin); }

// A module is a migration when its first class whose order can be read derives from
// Django's Migration; a class whose order cannot be read is passed over.
bool is_migration_file(py::object node) {
  return on_error(
      PyExc_Exception,
      [&] {
        py::object class_def = G("astroid").attr("ClassDef");
        for (py::handle cls : node.attr("root")().attr("nodes_of_class")(class_def)) {
          bool decided = false;
          bool answer = on_error(
              PyExc_Exception,
              [&] {
                bool found = mro_has(G("safe_infer")(cls), kMigration);
                decided = true;
                return found;
              },
              [] { return false; });
          if (decided) return answer;
        }
        return false;
      },
      [] { return false; });
}

// The node that binds `abstract` in the class's own Meta, or False. Any binding counts:
// `abstract = False` is reported too, and callers only test the result for truth. A Meta
// bound by an assignment (`Meta = CommonMeta`) is followed to the class it names; one that
// leads to no class (an import, a value) is no abstract declaration.
py::object is_node_abstract_model(py::object node) {
  return on_error(
      PyExc_KeyError,
      [&]() -> py::object {
        py::object meta = node["Meta"];
        py::object class_def = G("astroid").attr("ClassDef");
        if (!vettor::isinstance(meta, class_def)) {
          meta = G("safe_infer")(meta);
          if (!vettor::isinstance(meta, class_def)) return py::bool_(false);
        }
        return meta["abstract"];
      },
      [] { return py::object(py::bool_(false)); });
}

}  // namespace

void register_predicates(py::module_& m) {
  m.attr("_mro_names") = lookup("weakref", "WeakKeyDictionary")();
  m.def("is_model", &is_model, py::arg("node"));
  m.def("is_model_field", &is_model_field, py::arg("node"));
  m.def("is_related_field", &is_related_field, py::arg("node"));
  m.def("is_queryset", &is_queryset, py::arg("node"));
  m.def("is_model_manager", &is_model_manager, py::arg("node"));
  m.def("is_model_admin", &is_model_admin, py::arg("node"));
  m.def("is_migration_file", &is_migration_file, py::arg("node"));
  m.def("is_node_abstract_model", &is_node_abstract_model, py::arg("node"));
}

}  // namespace vettor::helpers
