// What a lint leaves of the process that runs it, and what it takes from earlier lints.
//
// astroid keeps its state on one manager shared by the whole process: the options that say
// which native modules may be imported, the trees of every module it has built, where each
// module name was found, and the answers of its inference. pylint sets the options from the
// linter's configuration when a check starts and never puts them back, and the trees and
// answers outlive every call. A host that lints one project after another would then lint
// the second with the first one's options and with trees of the first one's files (or of
// the second one's files as they were before an edit).
//
// So a check puts back every option it set, and a lint forgets the project's own modules
// when it ends: only the modules of the installed libraries and of the standard library
// (Django's among them) stay, since they do not change under the host and are costly to
// build again. A library module that the project shadows with a module of its own name is
// forgotten before the lint starts, as a fresh process would never have seen it.
//
// Within one lint, a file's findings must not depend on which files were checked before it:
// the inference answers are forgotten when each file starts, and an attribute assignment
// adds an attribute only to classes and modules of its own module. astroid would otherwise
// let `order.customer = other` in views.py add an instance attribute to the Order model of
// models.py, but only once views.py happens to have been built, so what models.py's own
// `self.customer` infers to would depend on the order in which the files were checked.
#include "checker.hpp"

#include <vettor/project_files.hpp>

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace vettor::checker {

namespace {

py::object manager() { return lookup("astroid", "MANAGER"); }

// The folders installed code lives in: the standard library and the site-packages folders of
// this interpreter (or of its virtual environment) and of the user.
std::vector<std::string> library_folders() {
  std::vector<std::string> folders;
  py::object os_path = lookup("os", "path");
  auto add = [&](py::handle folder) {
    if (!py::isinstance<py::str>(folder)) return;
    std::string real = path_bytes(os_path.attr("realpath")(folder));
    if (!real.ends_with("/")) real += "/";
    folders.push_back(real);
  };
  py::dict paths = lookup("sysconfig", "get_paths")();
  for (const char* key : {"stdlib", "platstdlib", "purelib", "platlib"}) {
    if (paths.contains(key)) add(paths[key]);
  }
  py::module_ site = import("site");
  if (vettor::hasattr(site, "getsitepackages")) {
    for (py::handle folder : site.attr("getsitepackages")()) add(folder);
  }
  if (vettor::hasattr(site, "getusersitepackages")) add(site.attr("getusersitepackages")());
  return folders;
}

bool starts_with_any(const std::string& path, const std::vector<std::string>& folders) {
  for (const std::string& folder : folders) {
    if (path.starts_with(folder)) return true;
  }
  return false;
}

// True for a module that stays known after a lint: one built from the interpreter itself (no
// file), or from a file of the installed libraries that does not lie in the project.
class Keeper {
 public:
  explicit Keeper(py::handle project_root) : libraries_(library_folders()) {
    if (!project_root.is_none()) root_.emplace(project_root);
  }

  bool keeps_file(py::handle file) const {
    if (file.is_none()) return true;
    if (!py::isinstance<py::str>(file)) return false;
    if (root_ && root_->holds(file)) return false;
    return starts_with_any(path_bytes(lookup("os.path", "realpath")(file)), libraries_);
  }

  bool keeps_module(py::handle module) const {
    return keeps_file(getattr_or_none(module, "file"));
  }

 private:
  std::vector<std::string> libraries_;
  std::optional<ProjectRoot> root_;
};

void clear(py::handle mapping) {
  if (PyDict_Check(mapping.ptr())) PyDict_Clear(mapping.ptr());
}

std::string top_name(py::handle name) {
  std::string text = text_bytes(name);
  return text.substr(0, text.find('.'));
}

// True when `folder` holds a module or package named `name` that an import would find.
bool folder_provides(const py::object& folder, py::handle name) {
  py::object os_path = lookup("os", "path");
  py::object base = os_path.attr("join")(folder, name);
  if (truthy(os_path.attr("isdir")(base)) || truthy(os_path.attr("isfile")(py::str(base) + py::str(".py"))))
    return true;
  py::object suffixes = lookup("importlib.machinery", "EXTENSION_SUFFIXES");
  for (py::handle suffix : suffixes) {
    if (truthy(os_path.attr("isfile")(py::str(base) + py::str(suffix)))) return true;
  }
  return false;
}

// What astroid and pylint remember between calls on top of the module cache, which would
// keep every tree of the project alive after the call that built it (a host that lints one
// pull request after another would hold all of them):
//  - functools caches on functions and methods of astroid and pylint (a name's lookup, the
//    transform visitor's results, safe_infer, ...), keyed by the nodes they were asked about;
//  - astroid's cache of inferred function definitions, keyed by the node's method and id;
//  - the attribute models shared by a whole node class, which hold the last node they were
//    asked about;
//  - a constant, list or tuple node keeps the results of its cached methods on the builtins
//    class it stands for (astroid's cache attribute is found through the proxy), keyed by
//    its own methods.
// All of them are answers worked out again when asked; the libraries' trees stay.
void forget_cached_answers() {
  py::object object_model = lookup("astroid.interpreter.objectmodel", "ObjectModel");
  py::object lru_wrapper = lookup("functools", "_lru_cache_wrapper");
  auto forget_in_namespace = [&](py::handle names) {
    for (py::handle value : names.attr("values")()) {
      if (vettor::isinstance(value, lru_wrapper)) {
        value.attr("cache_clear")();
      } else if (PyType_Check(value.ptr())) {
        for (py::handle member : py::getattr(value, "__dict__").attr("values")()) {
          if (vettor::isinstance(member, lru_wrapper)) {
            member.attr("cache_clear")();
          } else if (vettor::isinstance(member, object_model)) {
            py::setattr(member, "_instance", py::none());
          }
        }
      }
    }
  };
  py::dict modules = lookup("sys", "modules");
  py::list names = lookup("builtins", "list")(modules);
  for (py::handle name : names) {
    std::string text = text_bytes(name);
    if (!(text == "astroid" || text.starts_with("astroid.") || text == "pylint" ||
          text.starts_with("pylint."))) {
      continue;
    }
    py::object module = modules.attr("get")(name);
    if (module.is_none()) continue;
    py::object namespace_ = getattr_or_none(module, "__dict__");
    // A module's namespace may change while it is read (a lazy import): a copy is walked.
    if (PyDict_Check(namespace_.ptr())) forget_in_namespace(py::dict(namespace_.attr("copy")()));
  }
  // astroid.inference._cached_generator keeps its cache as its wrapped function's default.
  py::object generator = lookup("astroid.inference", "_cached_generator");
  py::object wrapped = getattr_or_none(generator, "__wrapped__");
  py::object defaults = getattr_or_none(wrapped, "__defaults__");
  if (PyTuple_Check(defaults.ptr())) {
    for (py::handle value : defaults) clear(value);
  }
  py::object builtins_tree = manager().attr("astroid_cache").attr("get")("builtins");
  if (builtins_tree.is_none()) return;
  for (py::handle definitions : builtins_tree.attr("locals").attr("values")()) {
    for (py::handle definition : definitions) {
      py::object cache = py::dict(py::getattr(definition, "__dict__")).attr("get")("__cache");
      if (!PyDict_Check(cache.ptr())) continue;
      py::list foreign;
      for (py::handle key : cache) {
        py::object owner = getattr_or_none(key, "__self__");
        if (!owner.is_none() && !owner.is(definition)) foreign.append(key);
      }
      for (py::handle key : foreign) PyDict_DelItem(cache.ptr(), key.ptr());
    }
  }
}

}  // namespace

void forget_inference_answers() {
  clear(lookup("astroid.context", "_INFERENCE_CACHE"));
  // `astroid.inference_tip` is also the name of a function on the package; the module is
  // the one in sys.modules.
  py::object tips = lookup("sys", "modules").attr("get")("astroid.inference_tip");
  if (!tips.is_none()) clear(getattr_or_none(tips, "_cache"));
}

// ---------------------------------------------------------------------------------------
// Options

KeptAstroidOptions::KeptAstroidOptions() {
  py::object m = manager();
  py::dict saved;
  for (const char* name : {"always_load_extensions", "optimize_ast", "max_inferable_values"}) {
    py::object value = py::getattr(m, name, py::none());
    if (vettor::hasattr(m, name)) saved[name] = value;
  }
  saved_ = saved;
  allow_list_ = lookup("builtins", "set")(m.attr("extension_package_whitelist"));
  sys_path_ = lookup("builtins", "list")(lookup("sys", "path"));
}

KeptAstroidOptions::~KeptAstroidOptions() {
  try {
    py::object m = manager();
    py::dict brain = m.attr("__dict__");
    for (const char* name : {"always_load_extensions", "optimize_ast", "max_inferable_values"}) {
      if (saved_.contains(name)) {
        brain[name] = saved_[name];
      } else if (brain.contains(name)) {
        PyDict_DelItemString(brain.ptr(), name);
      }
    }
    // The very set astroid holds, so every reference to it sees the host's entries again.
    py::object allow_list = m.attr("extension_package_whitelist");
    allow_list.attr("clear")();
    allow_list.attr("update")(allow_list_);
    py::list path = lookup("sys", "path");
    path[py::slice(0, py::len(path), 1)] = sys_path_;
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("putting back astroid's options");
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// Modules of the project

ProjectModulesForgotten::ProjectModulesForgotten(py::object project_root, py::object targets)
    : project_root_(std::move(project_root)) {
  modules_before_ = lookup("builtins", "set")(lookup("sys", "modules"));
  py::object m = manager();
  clear(m.attr("_mod_file_cache"));
  forget_inference_answers();
  // The folders pylint puts on the import path for these files: a library module that one of
  // them shadows was built for another project, or before this one had the module.
  py::object python_path = lookup("pylint.lint.expand_modules", "get_python_path");
  py::set folders;
  for (py::handle target : targets) {
    py::object folder = on_error(
        PyExc_Exception, [&] { return python_path(target); },
        [] { return py::object(py::none()); });
    if (!folder.is_none()) folders.add(folder);
  }
  py::dict cache = m.attr("astroid_cache");
  py::dict shadowed_by;  // top-level name -> whether the project provides it
  py::list forget;
  for (auto item : cache) {
    std::string top = top_name(item.first);
    py::str key = bytes_text(top);
    if (!shadowed_by.contains(key)) {
      bool provided = false;
      for (py::handle folder : folders) {
        if (folder_provides(py::reinterpret_borrow<py::object>(folder), key)) provided = true;
      }
      shadowed_by[key] = py::bool_(provided);
    }
    if (truthy(shadowed_by[key]) && top != "builtins") forget.append(item.first);
  }
  for (py::handle name : forget) PyDict_DelItem(cache.ptr(), name.ptr());
}

ProjectModulesForgotten::~ProjectModulesForgotten() {
  try {
    Keeper keeper(project_root_);
    py::object m = manager();
    py::dict cache = m.attr("astroid_cache");
    py::list forget;
    for (auto item : cache) {
      if (!keeper.keeps_module(item.second)) forget.append(item.first);
    }
    for (py::handle name : forget) PyDict_DelItem(cache.ptr(), name.ptr());
    clear(m.attr("_mod_file_cache"));
    forget_inference_answers();
    forget_cached_answers();
    // A native module of the project that astroid imported (a host may allow that) is not
    // handed to the next project under the same name.
    py::dict modules = lookup("sys", "modules");
    py::list imported;
    for (auto item : modules) {
      if (modules_before_.contains(item.first)) continue;
      if (!keeper.keeps_file(getattr_or_none(item.second, "__file__"))) imported.append(item.first);
    }
    for (py::handle name : imported) PyDict_DelItem(modules.ptr(), name.ptr());
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("forgetting the project's modules");
  } catch (...) {
  }
}

// The same, as a Python context manager, for the roads that lint and infer outside one call
// of the lint (the fixes of a text or a project, the review suggestions): a `with` block over
// the whole call leaves astroid as the call found it.
class ProjectModulesScope {
 public:
  ProjectModulesScope(py::object project_root, py::object targets)
      : project_root_(std::move(project_root)), targets_(std::move(targets)) {}
  void enter() { guard_ = std::make_unique<ProjectModulesForgotten>(project_root_, targets_); }
  void exit() { guard_.reset(); }

 private:
  py::object project_root_;
  py::object targets_;
  std::unique_ptr<ProjectModulesForgotten> guard_;
};

void register_process_state(py::module_& m) {
  py::class_<ProjectModulesScope>(m, "ProjectModules",
                                  "with ProjectModules(project_root, targets): the project's "
                                  "modules that astroid builds inside the block\nare forgotten "
                                  "when it ends (project_root None: every module that is not a "
                                  "library's).")
      .def(py::init<py::object, py::object>(), py::arg("project_root"), py::arg("targets"))
      .def("__enter__",
           [](py::object self) {
             self.cast<ProjectModulesScope&>().enter();
             return self;
           })
      .def("__exit__", [](ProjectModulesScope& scope, py::args) {
        scope.exit();
        return false;
      });
}

// ---------------------------------------------------------------------------------------
// Attribute assignments

namespace {

// What the assignment below needs of astroid, looked up once for every node it is called on.
struct AssattrNames {
  py::object inference_error = lookup("astroid", "InferenceError");
  py::object uninferable = lookup("astroid.util", "Uninferable");
  py::object instance = lookup("astroid.bases", "Instance");
  py::object exception_instance = lookup("astroid.objects", "ExceptionInstance");
  py::object can_assign = lookup("astroid.builder", "_can_assign_attr");
};

// astroid's AstroidBuilder.delayed_assattr, for the targets of the assignment's own module.
void own_module_assattr(const AssattrNames& names, py::object node) {
  const py::object& uninferable = names.uninferable;
  const py::object& instance = names.instance;
  const py::object& exception_instance = names.exception_instance;
  const py::object& can_assign = names.can_assign;
  py::object attrname = node.attr("attrname");
  py::object own_module = node.attr("root")();
  try {
    py::object frame = node.attr("frame")(py::arg("future") = true);
    for (py::handle found : node.attr("expr").attr("infer")()) {
      if (found.is(uninferable)) continue;
      py::object inferred = py::reinterpret_borrow<py::object>(found);
      py::object attributes;
      try {
        py::handle cls = inferred.get_type();
        if (cls.is(instance) || cls.is(exception_instance)) {
          inferred = inferred.attr("_proxied");
          attributes = inferred.attr("instance_attrs");
          if (!truthy(can_assign(inferred, attrname))) continue;
        } else if (vettor::isinstance(inferred, instance)) {
          continue;  // constants, tuples and the other containers
        } else if (truthy(inferred.attr("is_function"))) {
          attributes = inferred.attr("instance_attrs");
        } else {
          attributes = inferred.attr("locals");
        }
      } catch (py::error_already_set& e) {
        if (!e.matches(PyExc_AttributeError)) throw;
        continue;
      }
      if (!inferred.attr("root")().is(own_module)) continue;
      py::list values = attributes.attr("setdefault")(attrname, py::list());
      if (values.contains(node)) continue;
      // An assignment in __init__ comes first, as astroid orders them.
      if (py::str(frame.attr("name")).equal(py::str("__init__")) && py::len(values) > 0 &&
          !py::str(values[0].attr("frame")(py::arg("future") = true).attr("name"))
               .equal(py::str("__init__"))) {
        values.insert(0, node);
      } else {
        values.append(node);
      }
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(names.inference_error)) throw;
  }
}

}  // namespace

OwnModuleAttributes::OwnModuleAttributes() {
  py::object builder = lookup("astroid.builder", "AstroidBuilder");
  py::object current = py::dict(builder.attr("__dict__")).attr("get")("delayed_assattr");
  // Only astroid's own function is replaced: anything else there is someone's choice.
  if (!current.get_type().is(lookup("types", "FunctionType"))) return;
  original_ = current;
  replacement_ = py::cpp_function(
      [names = AssattrNames()](py::object /*self*/, py::object node) { own_module_assattr(names, node); },
      py::name("delayed_assattr"), py::is_method(builder), py::arg("node"));
  builder.attr("delayed_assattr") = replacement_;
}

OwnModuleAttributes::~OwnModuleAttributes() {
  if (!original_) return;
  try {
    py::object builder = lookup("astroid.builder", "AstroidBuilder");
    py::object current = py::dict(builder.attr("__dict__")).attr("get")("delayed_assattr");
    if (current.is(replacement_)) builder.attr("delayed_assattr") = original_;
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("putting back astroid's attribute assignments");
  } catch (...) {
  }
}

}  // namespace vettor::checker
