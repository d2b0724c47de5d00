// shims: the managers, querysets and model instances the code reaches beyond `Model.objects`.
//
// - A model's related managers: `board.sprints` for a foreign key to Board declared with
//   `related_name="sprints"` (`board.sprint_set` without one), both sides of a many-to-many
//   field, a generic relation; a manager the model declares under another name
//   (`Board.published`). Each infers to the default manager of the model it serves.
// - `get_queryset()` on a manager, and on a class view whose `get_queryset` is Django's own:
//   a queryset of the view's `model`, or its `queryset` itself.
// - `get_object_or_404(Model, ...)`: an instance of the model.
// - A parameter annotated with a model class: an instance of the model, where no call binds it.
//
// Each transform attaches its inference function by the node's shape alone and decides when
// the node is inferred, in the context it is inferred in (`self` in a manager's method is the
// manager it was called through); whatever it does not recognise is inferred as astroid
// would. What cannot be told stays uninferred: a parameter without annotation is not guessed
// to be a model, a relation whose accessor name is computed is not named.
#include "shims.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace vettor::shims {

namespace {

py::object helpers(const char* name) { return G("helpers").attr(name); }
py::object astroid_attr(const char* name) { return G("astroid").attr(name); }
py::object os_path(const char* name) { return G("os").attr("path").attr(name); }

bool is_a(py::handle obj, const char* astroid_class) {
  return vettor::isinstance(obj, astroid_attr(astroid_class));
}

py::object iterate(py::handle value) {
  py::list values;
  values.append(value);
  return py::iter(values);
}

py::list as_list(py::handle value) {
  if (value.is_none()) return py::list();
  return py::list(py::reinterpret_borrow<py::object>(value));
}

// The context to infer in: the one astroid gave, or a new one (shared by what this function
// infers and by astroid's own inference of the node, so that the owner is inferred once).
py::object context_or_new(py::object context) {
  if (!context.is_none()) return context;
  return lookup("astroid.context", "InferenceContext")();
}

// What astroid infers for the node without the shim.
py::object ordinary_inference(py::handle node, py::handle context) {
  return node.attr("_infer")(context);
}

bool is_plain_instance(py::handle value) {
  return py::type::handle_of(value).is(lookup("astroid.bases", "Instance"));
}

bool is_model_class(py::handle value) {
  return is_a(value, "ClassDef") && truthy(helpers("is_model")(value));
}

bool is_model_instance(py::handle value) {
  return is_plain_instance(value) && truthy(helpers("is_model")(value.attr("_proxied")));
}

bool defined_in_django(py::handle node) {
  std::string module = py::str(node.attr("root")().attr("name"));
  return module == "django" || module.rfind("django.", 0) == 0;
}

// A folder of installed libraries, whose packages are not the project's.
bool is_library_folder(const std::string& path) {
  for (const char* folder : {"/site-packages", "/dist-packages"}) {
    auto at = path.find(folder);
    if (at != std::string::npos) {
      auto end = at + std::string_view(folder).size();
      if (end == path.size() || path[end] == '/') return true;
    }
  }
  return false;
}

// ---------------------------------------------------------------------------------------
// Relation fields

enum class Relation { kNone, kForeignKey, kOneToOne, kManyToMany, kGenericRelation };

// The kind of relation a field instance declares. A relation field of another library (not
// Django's, not the project's own) may give its accessor a manager of its own: no kind.
Relation relation_of(py::handle field) {
  if (!is_plain_instance(field)) return Relation::kNone;
  py::object cls = field.attr("_proxied");
  if (!defined_in_django(cls)) {
    py::object file = getattr_or_none(cls.attr("root")(), "file");
    if (!py::isinstance<py::str>(file) || is_library_folder(file.cast<std::string>()))
      return Relation::kNone;
  }
  if (has_class_named(cls, "django.db.models.fields.related.OneToOneField"))
    return Relation::kOneToOne;
  if (has_class_named(cls, "django.db.models.fields.related.ForeignKey"))
    return Relation::kForeignKey;
  if (has_class_named(cls, "django.db.models.fields.related.ManyToManyField"))
    return Relation::kManyToMany;
  if (has_class_named(cls, "django.contrib.contenttypes.fields.GenericRelation"))
    return Relation::kGenericRelation;
  return Relation::kNone;
}

// The call that declares `name` on the model class `cls` (`name = models.X(...)` in its body or
// an ancestor's), or None.
py::object declaration_of(py::handle cls, py::handle name) {
  py::object found = on_error(
      astroid_attr("AttributeInferenceError"), [&] { return py::object(cls.attr("getattr")(name)); },
      [] { return py::object(py::list()); });
  for (py::handle binding : found) {
    py::object statement = binding.attr("parent");
    if (is_a(binding, "AssignName") && is_a(statement, "Assign") &&
        is_a(statement.attr("value"), "Call"))
      return py::reinterpret_borrow<py::object>(binding);
    return py::none();
  }
  return py::none();
}

py::object related_model_of(py::handle binding, py::handle owner_class) {
  py::object target = helpers("get_related_model")(binding.attr("parent").attr("value"),
                                                   binding.attr("frame")(), owner_class);
  if (!is_model_class(target)) return py::none();
  return target;
}

// ---------------------------------------------------------------------------------------
// Reverse relations
//
// A model's reverse accessors are declared on other models, in any models module of the
// project. Which modules are read depends on the files alone (never on which modules happen to
// have been built), so a file's findings do not depend on the files linted with it: the models
// modules of the model's own top-level package and, when that package lies in a project folder
// rather than among installed libraries, of the packages beside it.

constexpr size_t kMostFolders = 5000;

bool is_package(py::handle folder) {
  return truthy(os_path("isfile")(os_path("join")(folder, "__init__.py")));
}

py::list sorted_entries(py::handle folder) {
  py::list entries = on_error(
      PyExc_OSError, [&] { return py::list(G("os").attr("listdir")(folder)); },
      [] { return py::list(); });
  entries.attr("sort")();
  return entries;
}

// Models modules under `folder` (a package), as (path, module name) pairs: `models.py` and
// the modules of a `models` package; only packages are entered.
void collect_models_files(py::handle folder, const std::string& modname, py::list& found,
                          size_t& folders) {
  if (++folders > kMostFolders) return;
  bool models_package = modname == "models" || modname.ends_with(".models");
  for (py::handle entry : sorted_entries(folder)) {
    std::string name = py::str(entry);
    if (name.empty() || name[0] == '.') continue;
    py::object path = os_path("join")(folder, entry);
    if (name.ends_with(".py") && truthy(os_path("isfile")(path))) {
      std::string stem = name.substr(0, name.size() - 3);
      if (models_package) {
        found.append(py::make_tuple(path, stem == "__init__" ? modname : modname + "." + stem));
      } else if (stem == "models") {
        found.append(py::make_tuple(path, modname + ".models"));
      }
    } else if (truthy(os_path("isdir")(path)) && is_package(path)) {
      collect_models_files(path, modname + "." + name, found, folders);
    }
  }
}

// The models files that may declare relations to the models of `module` (a module node), read
// from disk once per module node.
py::list models_files_near(py::handle module) {
  constexpr const char* kMemo = "_vettor_models_files";
  py::object kept = getattr_or_none(module, kMemo);
  if (!kept.is_none()) return kept;
  py::list found;
  py::object file = getattr_or_none(module, "file");
  if (py::isinstance<py::str>(file)) {
    py::object folder = os_path("dirname")(os_path("realpath")(file));
    if (is_package(folder)) {
      py::object top = folder;
      while (true) {
        py::object parent = os_path("dirname")(top);
        if (parent.equal(top) || !is_package(parent)) break;
        top = parent;
      }
      py::object root = os_path("dirname")(top);
      size_t folders = 0;
      std::string root_text = py::str(root);
      if (is_library_folder(root_text) || root.equal(os_path("dirname")(root))) {
        collect_models_files(top, py::str(os_path("basename")(top)), found, folders);
      } else {
        for (py::handle entry : sorted_entries(root)) {
          py::object path = os_path("join")(root, entry);
          std::string name = py::str(entry);
          if (name.empty() || name[0] == '.' || !truthy(os_path("isdir")(path)) || !is_package(path))
            continue;
          collect_models_files(path, name, found, folders);
        }
      }
    }
  }
  py::setattr(module, kMemo, found);
  return found;
}

bool mentions(const std::string& text, const std::string& name) {
  auto is_word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
  for (size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
    bool starts = at == 0 || !is_word(text[at - 1]);
    size_t end = at + name.size();
    if (starts && (end == text.size() || !is_word(text[end]))) return true;
  }
  return false;
}

std::string read_text(py::handle path) {
  return on_error(
      PyExc_OSError,
      [&] {
        py::object file = import("builtins").attr("open")(path, "rb");
        py::bytes data = file.attr("read")();
        file.attr("close")();
        return std::string(data);
      },
      [] { return std::string(); });
}

// The module trees of the models files that mention `model` by name, the model's own first.
py::list modules_mentioning(py::handle model) {
  py::object own = model.attr("root")();
  py::list modules;
  modules.append(own);
  std::string name = py::str(model.attr("name"));
  py::dict cache = astroid_attr("MANAGER").attr("astroid_cache");
  py::object own_file = getattr_or_none(own, "file");
  for (py::handle item : models_files_near(own)) {
    py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
    py::object path = pair[0], modname = pair[1];
    if (py::isinstance<py::str>(own_file) &&
        truthy(os_path("realpath")(own_file).attr("__eq__")(path)))
      continue;
    if (!mentions(read_text(path), name)) continue;
    // A module of that name built from another file is another project's (or shadows it).
    if (cache.contains(modname)) {
      py::object cached_file = getattr_or_none(cache[modname], "file");
      if (!py::isinstance<py::str>(cached_file) ||
          !truthy(os_path("realpath")(cached_file).attr("__eq__")(path)))
        continue;
    }
    py::object module = on_error(
        PyExc_Exception,
        [&] { return py::object(astroid_attr("MANAGER").attr("ast_from_file")(path, modname)); },
        [] { return py::object(py::none()); });
    if (!module.is_none()) modules.append(module);
  }
  return modules;
}

// The name a relation's first argument (or `to`) gives its target, as written: the class
// name, the model part of "app.Model", or "self".
std::string target_name_written(py::handle call) {
  py::object to = py::none();
  py::list args = call.attr("args");
  if (args.size() > 0) to = args[0];
  for (py::handle keyword : as_list(call.attr("keywords"))) {
    if (text_is(keyword.attr("arg"), "to")) to = keyword.attr("value");
  }
  if (is_a(to, "Name")) return py::str(to.attr("name"));
  if (is_a(to, "Attribute")) return py::str(to.attr("attrname"));
  if (is_a(to, "Const") && py::isinstance<py::str>(to.attr("value"))) {
    std::string text = py::str(to.attr("value"));
    auto dot = text.rfind('.');
    return dot == std::string::npos ? text : text.substr(dot + 1);
  }
  return std::string();
}

py::object keyword_value(py::handle call, const char* name) {
  for (py::handle keyword : as_list(call.attr("keywords"))) {
    if (text_is(keyword.attr("arg"), name)) return keyword.attr("value");
  }
  return py::object();
}

// The application label Django gives the models module `modname` by default: the package
// that holds it.
std::string app_label(const std::string& modname) {
  std::vector<std::string> parts;
  for (size_t start = 0;;) {
    size_t dot = modname.find('.', start);
    parts.push_back(modname.substr(start, dot - start));
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  for (size_t i = parts.size(); i-- > 1;) {
    if (parts[i] == "models") return parts[i - 1];
  }
  return parts.size() > 1 ? parts[parts.size() - 2] : parts[0];
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

// The accessor a relation declared on `cls` adds to its target, "" when it adds none or the
// name cannot be read.
std::string reverse_accessor(py::handle call, py::handle cls, Relation relation,
                             bool to_itself) {
  py::object related_name = keyword_value(call, "related_name");
  std::string name = lower(py::str(cls.attr("name")).cast<std::string>());
  if (!related_name) {
    // A many-to-many field to its own model is symmetrical unless it says otherwise: no
    // accessor of its own.
    if (relation == Relation::kManyToMany && to_itself) {
      py::object symmetrical = keyword_value(call, "symmetrical");
      if (!symmetrical || !is_a(symmetrical, "Const") || truthy(symmetrical.attr("value")))
        return std::string();
    }
    return name + "_set";
  }
  if (!is_a(related_name, "Const") || !py::isinstance<py::str>(related_name.attr("value")))
    return std::string();
  std::string accessor = py::str(related_name.attr("value"));
  if (accessor.empty() || accessor.back() == '+') return std::string();
  replace_all(accessor, "%(class)s", name);
  replace_all(accessor, "%(app_label)s",
              lower(app_label(py::str(cls.attr("root")().attr("name")))));
  return accessor;
}

// The same class, also where two trees of its module stand side by side (the text being fixed
// and the module as imported).
bool same_class(py::handle found, py::handle model) {
  if (found.is(model)) return true;
  if (!is_a(found, "ClassDef")) return false;
  std::string name = py::str(found.attr("qname")());
  return name.find('.') != std::string::npos && py::str(model.attr("qname")()).equal(py::str(name));
}

// The bodies that declare the fields of the concrete model `cls`: its own and those of its
// abstract ancestors outside Django.
std::vector<py::object> field_bodies(py::handle cls) {
  std::vector<py::object> classes{py::reinterpret_borrow<py::object>(cls)};
  py::object order = on_error(
      PyExc_Exception, [&] { return py::object(cls.attr("mro")()); },
      [] { return py::object(py::list()); });
  bool first = true;
  for (py::handle ancestor : order) {
    if (first) {
      first = false;
      continue;
    }
    if (defined_in_django(ancestor) || !truthy(helpers("is_model")(ancestor))) continue;
    if (truthy(helpers("is_node_abstract_model")(ancestor)))
      classes.push_back(py::reinterpret_borrow<py::object>(ancestor));
  }
  return classes;
}

// accessor -> the model whose relation adds it, for the relations to `model` declared in the
// modules near it; kept on the model's class node.
py::dict compute_reverse_accessors(py::object model) {
  py::dict accessors;
  std::string model_name = py::str(model.attr("name"));
  for (py::handle module : modules_mentioning(model)) {
    for (py::handle cls : module.attr("body")) {
      if (!is_model_class(cls) || truthy(helpers("is_node_abstract_model")(cls))) continue;
      for (const py::object& declaring : field_bodies(cls)) {
        for (py::handle statement : declaring.attr("body")) {
          if (!is_a(statement, "Assign") || !is_a(statement.attr("value"), "Call")) continue;
          py::object call = statement.attr("value");
          std::string written = target_name_written(call);
          bool to_self = written == "self";
          if (written != model_name && !to_self) continue;
          Relation relation = relation_of(infer_value(call));
          if (relation != Relation::kForeignKey && relation != Relation::kManyToMany) continue;
          py::object target = helpers("get_related_model")(call, declaring, cls);
          if (!same_class(target, model)) continue;
          std::string accessor = reverse_accessor(call, cls, relation, same_class(target, cls));
          if (accessor.empty() || accessors.contains(py::str(accessor))) continue;
          accessors[py::str(accessor)] = cls;
        }
      }
    }
  }
  return accessors;
}

py::dict reverse_accessors(py::object model) {
  constexpr const char* kMemo = "_vettor_reverse_accessors";
  py::object kept = getattr_or_none(model, kMemo);
  if (!kept.is_none()) return kept;
  // Worked out once for the class node, so within a budget of its own: the answer must not
  // depend on how deep the inference that first asks for it stands.
  py::object found = helpers("within_own_inference_budget")(
      py::cpp_function([](py::object model) { return compute_reverse_accessors(model); }), model);
  if (found.is_none()) found = py::dict();
  py::setattr(model, kMemo, found);
  return found;
}

// ---------------------------------------------------------------------------------------
// 6. Related managers
//
// The models a relation names are looked up in other modules, and reverse relations in every
// models module near the model; neither is done while astroid builds a tree (the shims'
// predicates infer then). A module in a cycle of imports may still lack the names its star
// imports give, and astroid keeps each name look-up for good: a model class asked about then
// would stay one without bases. Those inferences take astroid's own way; the tips are not
// kept, so the question is answered in full when a rule asks it.

// The manager a model instance reaches through `name`: a many-to-many field or a generic
// relation of its class, or a reverse relation to its class (or a concrete ancestor).
py::object instance_manager(py::handle instance, py::handle name) {
  if (inferring_while_building()) return py::none();
  py::object cls = instance.attr("_proxied");
  py::object found = on_error(
      astroid_attr("AttributeInferenceError"),
      [&] { return py::object(instance.attr("getattr")(name)); }, [] { return py::object(); });
  if (found) {
    py::object binding = declaration_of(cls, name);
    if (binding.is_none()) return py::none();
    Relation relation = relation_of(infer_value(binding.attr("parent").attr("value")));
    if (relation != Relation::kManyToMany && relation != Relation::kGenericRelation)
      return py::none();
    py::object target = related_model_of(binding, cls);
    if (target.is_none()) return py::none();
    return G("get_default_manager")(target);
  }
  py::object order = on_error(
      PyExc_Exception, [&] { return py::object(cls.attr("mro")()); },
      [] { return py::object(py::list()); });
  for (py::handle ancestor : order) {
    if (defined_in_django(ancestor) || !is_model_class(ancestor)) continue;
    py::dict accessors = reverse_accessors(py::reinterpret_borrow<py::object>(ancestor));
    if (accessors.contains(name)) return G("get_default_manager")(accessors[name]);
  }
  return py::none();
}

// The model instance a foreign key or one-to-one field read on a model instance leads to
// (`card.board`, which astroid infers to the field itself), or None.
py::object related_instance(py::handle attribute, py::handle context) {
  if (!is_a(attribute, "Attribute") || inferring_while_building()) return py::none();
  py::object owner = infer_value(attribute.attr("expr"), context.attr("clone")());
  if (!is_model_instance(owner)) return py::none();
  py::object cls = owner.attr("_proxied");
  py::object binding = declaration_of(cls, attribute.attr("attrname"));
  if (binding.is_none()) return py::none();
  Relation relation = relation_of(infer_value(binding.attr("parent").attr("value")));
  if (relation != Relation::kForeignKey && relation != Relation::kOneToOne) return py::none();
  py::object target = related_model_of(binding, cls);
  if (target.is_none()) return py::none();
  return target.attr("instantiate_class")();
}

// An attribute whose method is called: `board.sprints.filter(...)`. A manager is only ever
// used that way; names with a leading underscore are never accessors.
py::object looks_like_related_manager(py::object node) {
  if (!getattr_or_none(node, "_explicit_inference").is_none()) return py::none();
  py::object name = node.attr("attrname");
  if (!py::isinstance<py::str>(name) || name.cast<std::string>().rfind('_', 0) == 0)
    return py::none();
  py::object parent = node.attr("parent");
  if (!is_a(parent, "Attribute") || !py::object(parent.attr("expr")).is(node)) return py::none();
  py::object call = parent.attr("parent");
  if (!is_a(call, "Call") || !py::object(call.attr("func")).is(parent)) return py::none();
  return py::bool_(true);
}

py::object apply_related_manager_shim(py::object node, py::object context) {
  context = context_or_new(context);
  py::object name = node.attr("attrname");
  py::object owner = infer_value(node.attr("expr"), context.attr("clone")());
  py::object manager = py::none();
  if (is_model_class(owner)) {
    manager = G("get_declared_manager")(owner, name);
  } else if (is_model_instance(owner)) {
    manager = instance_manager(owner, name);
  } else if (is_plain_instance(owner)) {
    Relation relation = relation_of(owner);
    if (relation == Relation::kForeignKey || relation == Relation::kOneToOne) {
      py::object target = related_instance(node.attr("expr"), context);
      if (!target.is_none()) manager = instance_manager(target, name);
    }
  }
  if (!manager.is_none()) return iterate(manager);
  return ordinary_inference(node, context);
}

// ---------------------------------------------------------------------------------------
// 7. get_queryset()

constexpr const char* kViewMixins[] = {"django.views.generic.list.MultipleObjectMixin",
                                       "django.views.generic.detail.SingleObjectMixin"};

py::object looks_like_get_queryset(py::object node) {
  if (!getattr_or_none(node, "_explicit_inference").is_none()) return py::none();
  py::object func = node.attr("func");
  if (!is_a(func, "Attribute") || !text_is(func.attr("attrname"), "get_queryset"))
    return py::none();
  if (truthy(node.attr("args")) || truthy(as_list(node.attr("keywords")))) return py::none();
  return py::bool_(true);
}

// What the class view `view` (a class node whose get_queryset is Django's) gives from
// get_queryset(): its own `queryset` when that is a queryset, else a queryset of its `model`.
py::object view_queryset(py::handle view) {
  for (const char* attribute : {"queryset", "model"}) {
    py::object found = on_error(
        astroid_attr("AttributeInferenceError"),
        [&] { return py::object(view.attr("getattr")(attribute)); },
        [] { return py::object(py::list()); });
    for (py::handle binding : found) {
      if (defined_in_django(binding)) break;  // Django's own None
      py::object value = infer_value(binding);
      if (text_is(py::str(attribute), "queryset")) {
        if (truthy(helpers("is_queryset")(value))) return value;
      } else if (is_model_class(value)) {
        py::list elements;
        elements.append(value.attr("instantiate_class")());
        return G("QuerySetNode").attr("from_elements")(elements);
      }
      break;
    }
  }
  return py::none();
}

py::object apply_get_queryset_shim(py::object node, py::object context) {
  context = context_or_new(context);
  py::object receiver = infer_value(node.attr("func").attr("expr"), context.attr("clone")());
  if (vettor::isinstance(receiver, G("ManagerNode"))) {
    py::object model = receiver.attr("model");
    py::list elements;
    elements.append(model.attr("instantiate_class")());
    return iterate(G("QuerySetNode").attr("from_elements")(elements));
  }
  if (is_plain_instance(receiver)) {
    py::object view = receiver.attr("_proxied");
    bool is_view = false;
    for (const char* mixin : kViewMixins) is_view = is_view || has_class_named(view, mixin);
    if (is_view) {
      py::object found = on_error(
          astroid_attr("AttributeInferenceError"),
          [&] { return py::object(view.attr("getattr")("get_queryset")); },
          [] { return py::object(py::list()); });
      if (py::len(found) > 0 && defined_in_django(found[py::int_(0)])) {
        py::object queryset = view_queryset(view);
        if (!queryset.is_none()) return iterate(queryset);
      }
    }
  }
  return ordinary_inference(node, context);
}

// ---------------------------------------------------------------------------------------
// 8. get_object_or_404(Model, ...)

py::object looks_like_get_object_or_404(py::object node) {
  py::object func = node.attr("func");
  bool named = (is_a(func, "Name") && text_is(func.attr("name"), "get_object_or_404")) ||
               (is_a(func, "Attribute") && text_is(func.attr("attrname"), "get_object_or_404"));
  if (!named || !truthy(node.attr("args"))) return py::none();
  return py::bool_(true);
}

py::object apply_get_object_or_404_shim(py::object node, py::object context) {
  context = context_or_new(context);
  py::object function = infer_value(node.attr("func"), context.attr("clone")());
  if (is_a(function, "FunctionDef") &&
      text_is(function.attr("qname")(), "django.shortcuts.get_object_or_404")) {
    py::object first = infer_value(py::list(node.attr("args"))[0], context.attr("clone")());
    if (is_model_class(first)) return iterate(first.attr("instantiate_class")());
    if (vettor::isinstance(first, G("ManagerNode")))
      return iterate(first.attr("model").attr("instantiate_class")());
    if (vettor::isinstance(first, G("QuerySetNode"))) return iterate(first.attr("elts")[py::int_(0)]);
  }
  return ordinary_inference(node, context);
}

// ---------------------------------------------------------------------------------------
// 9. A parameter annotated with a model

// The annotation of the parameter `node` names (a name or an attribute), or None; a parameter
// whose default is None may hold None and is left alone, as is the first of a method.
py::object model_annotation_of(py::handle node) {
  py::object arguments = node.attr("parent");
  auto find = [&](const char* params, const char* annotations) -> int {
    py::list names = as_list(arguments.attr(params));
    for (size_t i = 0; i < names.size(); ++i) {
      if (py::object(names[i]).ptr() == node.ptr()) {
        py::list written = as_list(arguments.attr(annotations));
        return i < written.size() ? static_cast<int>(i) : -1;
      }
    }
    return -1;
  };
  for (auto [params, annotations, defaults] :
       {std::tuple{"args", "annotations", "defaults"},
        std::tuple{"kwonlyargs", "kwonlyargs_annotations", "kw_defaults"}}) {
    int index = find(params, annotations);
    if (index < 0) continue;
    py::object annotation = as_list(arguments.attr(annotations))[index];
    if (!is_a(annotation, "Name") && !is_a(annotation, "Attribute")) return py::none();
    py::list names = as_list(arguments.attr(params));
    py::list given = as_list(arguments.attr(defaults));
    py::object default_value;
    if (std::string_view(params) == "args") {
      long offset = static_cast<long>(names.size()) - static_cast<long>(given.size());
      if (index >= offset) default_value = given[index - offset];
      py::object function = arguments.attr("parent");
      if (index == 0 && is_a(function, "FunctionDef") &&
          !text_is(function.attr("type"), "function") &&
          !text_is(function.attr("type"), "staticmethod"))
        return py::none();
    } else if (static_cast<size_t>(index) < given.size()) {
      default_value = given[index];
    }
    if (default_value && is_a(default_value, "Const") && default_value.attr("value").is_none())
      return py::none();
    return annotation;
  }
  return py::none();
}

// A function with an annotation written as a name or an attribute.
py::object looks_like_annotated_arguments(py::object node) {
  for (const char* field : {"annotations", "kwonlyargs_annotations"}) {
    for (py::handle annotation : as_list(node.attr(field))) {
      if (is_a(annotation, "Name") || is_a(annotation, "Attribute")) return py::bool_(true);
    }
  }
  return py::none();
}

py::object looks_like_annotated_model_argument(py::object node) {
  if (!is_a(node.attr("parent"), "Arguments")) return py::none();
  if (model_annotation_of(node).is_none()) return py::none();
  return py::bool_(true);
}

py::object apply_annotated_argument_shim(py::object node, py::object context) {
  // In a call the argument given is the value; the annotation stands in only where none is.
  if (!context.is_none() && !getattr_or_none(context, "callcontext").is_none())
    return ordinary_inference(node, context);
  context = context_or_new(context);
  py::object annotation = model_annotation_of(node);
  if (!annotation.is_none()) {
    py::object model = infer_value(annotation);
    if (is_model_class(model)) return iterate(model.attr("instantiate_class")());
  }
  return ordinary_inference(node, context);
}

}  // namespace

void register_relations(py::module_& m) {
  m.def("looks_like_related_manager", &looks_like_related_manager, py::arg("node"));
  m.def("apply_related_manager_shim", &apply_related_manager_shim, py::arg("node"),
        py::arg("context") = py::none());
  m.def("looks_like_get_queryset", &looks_like_get_queryset, py::arg("node"));
  m.def("apply_get_queryset_shim", &apply_get_queryset_shim, py::arg("node"),
        py::arg("context") = py::none());
  m.def("looks_like_get_object_or_404", &looks_like_get_object_or_404, py::arg("node"));
  m.def("apply_get_object_or_404_shim", &apply_get_object_or_404_shim, py::arg("node"),
        py::arg("context") = py::none());
  m.def("looks_like_annotated_arguments", &looks_like_annotated_arguments, py::arg("node"));
  m.def("looks_like_annotated_model_argument", &looks_like_annotated_model_argument,
        py::arg("node"));
  m.def("apply_annotated_argument_shim", &apply_annotated_argument_shim, py::arg("node"),
        py::arg("context") = py::none());
}

}  // namespace vettor::shims
