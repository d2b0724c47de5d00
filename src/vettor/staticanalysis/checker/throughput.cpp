// What makes a project lint cheaper without changing anything it finds: astroid's node
// construction without a signature worked out at every node, each class's ancestors, method
// resolution order and metaclass worked out once while files are checked, and a collector
// that does not walk the lint's trees again and again meanwhile.
#include "checker.hpp"

#include <algorithm>
#include <iterator>
#include <memory>

namespace vettor::checker {

namespace {

// ---------------------------------------------------------------------------------------
// Node construction
//
// astroid 2.9 wraps the constructors of its commonest nodes (names, attributes, operators,
// imports) in a deprecation decorator whose wrapper asks `inspect.signature` for the wrapped
// function's parameter names every time a node is made: a few hundred thousand signatures
// per lint, each worked out from the function's code afresh. The wrapper reads `inspect`
// from its module's globals, so that module is given an `inspect` of its own: a module that
// is the real one in everything but `signature`, which keeps the answer for each plain
// function it is asked about. The wrapper itself stays astroid's and warns exactly as it did,
// from the same place. A kept answer would go stale only if a function's code or its
// `__signature__` were replaced later; astroid's constructors never are.

py::object signature_keeping_inspect() {
  py::module_ real = import("inspect");
  py::object inspect = lookup("types", "ModuleType")(real.attr("__name__"), real.attr("__doc__"));
  py::dict kept;
  py::object function_type = lookup("types", "FunctionType");
  inspect.attr("signature") = py::cpp_function(
      [kept, function_type](py::object obj, py::kwargs kwargs) -> py::object {
        py::object signature = lookup("inspect", "signature");
        // Only the plain question of a plain function is kept; anything else is asked anew.
        if (py::len(kwargs) != 0 || !obj.get_type().is(function_type))
          return signature(obj, **kwargs);
        PyObject* hit = PyDict_GetItemWithError(kept.ptr(), obj.ptr());
        if (hit) return py::reinterpret_borrow<py::object>(hit);
        if (PyErr_Occurred()) throw py::error_already_set();
        py::object answer = signature(obj);
        if (PyDict_SetItem(kept.ptr(), obj.ptr(), answer.ptr()) != 0) throw py::error_already_set();
        return answer;
      },
      py::name("signature"), py::arg("obj"));
  // Every other name is the real module's, read when it is asked for.
  inspect.attr("__getattr__") = py::cpp_function(
      [](py::str name) { return import("inspect").attr(name); }, py::name("__getattr__"),
      py::arg("name"));
  return inspect;
}

}  // namespace

void keep_node_constructor_signatures() {
  py::module_ decorators = import("astroid.decorators");
  py::object current = getattr_or_none(decorators, "inspect");
  // Done already in this process, or another party has put something else there.
  if (!current.is(import("inspect"))) return;
  decorators.attr("inspect") = signature_keeping_inspect();
}

namespace {

// ---------------------------------------------------------------------------------------
// Class ancestors, method resolution order and metaclass
//
// Reading an attribute of an instance, looking a method up and testing a subtype all ask a
// class for its ancestors, its method resolution order or its metaclass, and astroid works
// each out afresh every time: it infers every base again under the asker's context, whose
// lookup name is part of the key of its inference cache, so the answers are seldom reused.
// That is two thirds of what inferring a callee costs. While files are checked no tree
// changes once built, and these answers follow from what the class's base and metaclass
// expressions infer to, so each class's are worked out once, by astroid's own functions (from
// a fresh context), and read back afterwards.
//
// Not while a module is being built, though: astroid then infers the targets of the module's
// attribute assignments (to learn which class gains an instance attribute) before its
// transforms have run, and what it learns there depends on answers worked out in that state,
// under that context. Whatever is asked while any module is being built is answered by
// astroid's functions as before, and neither read from nor kept. So is a class asked again
// while its answer is being worked out (a base that leads back to the class), and a class
// whose answer raised (an inconsistent order, say).

// How many modules are being built at the moment (builds nest: resolving an import while
// building one module builds another).
using Building = std::shared_ptr<long>;

class KeptAnswers {
 public:
  explicit KeptAnswers(Building building) : building_(std::move(building)) {}

  // `fresh()` works the answer out for keeping; `as_before()` answers as astroid would have.
  template <class Fresh, class AsBefore>
  py::object get(py::handle key, Fresh&& fresh, AsBefore&& as_before) const {
    if (*building_ > 0) return as_before();
    PyObject* hit = PyDict_GetItemWithError(kept_.ptr(), key.ptr());
    if (hit) return py::reinterpret_borrow<py::object>(hit);
    if (PyErr_Occurred()) throw py::error_already_set();
    if (working_.contains(key)) return as_before();
    working_.attr("add")(key);
    py::object answer;
    try {
      answer = fresh();
    } catch (py::error_already_set& e) {
      working_.attr("discard")(key);
      if (!e.matches(PyExc_Exception)) throw;
      return as_before();
    }
    working_.attr("discard")(key);
    if (PyDict_SetItem(kept_.ptr(), key.ptr(), answer.ptr()) != 0) throw py::error_already_set();
    return answer;
  }

 private:
  Building building_;
  py::dict kept_;
  py::set working_;
};

using Replacement = py::cpp_function (*)(py::handle cls, py::object original, Building building);

// AstroidBuilder._post_build(module, encoding): counted while it runs.
py::cpp_function counted_post_build(py::handle builder, py::object original, Building building) {
  return py::cpp_function(
      [original, building](py::object self, py::object module, py::object encoding) {
        ++*building;
        struct Done {
          Building building;
          ~Done() { --*building; }
        } done{building};
        return original(self, module, encoding);
      },
      py::name("_post_build"), py::is_method(builder), py::arg("module"), py::arg("encoding"));
}

// ancestors(recurs=True, context=None): an iterator over the kept tuple.
py::cpp_function kept_ancestors(py::handle classdef, py::object original, Building building) {
  KeptAnswers answers(std::move(building));
  return py::cpp_function(
      [answers, original](py::object self, py::object recurs, py::object context) {
        py::tuple key = py::make_tuple(self, py::bool_(truthy(recurs)));
        py::object answer = answers.get(
            key, [&] { return py::object(py::tuple(original(self, recurs, py::none()))); },
            [&] { return original(self, recurs, context); });
        return py::iter(answer);
      },
      py::name("ancestors"), py::is_method(classdef), py::arg("recurs") = true,
      py::arg("context") = py::none());
}

// mro(context=None): a new list each time, as astroid gives.
py::cpp_function kept_mro(py::handle classdef, py::object original, Building building) {
  KeptAnswers answers(std::move(building));
  return py::cpp_function(
      [answers, original](py::object self, py::object context) -> py::object {
        py::object answer = answers.get(
            self, [&] { return py::object(py::tuple(original(self, py::none()))); },
            [&] { return original(self, context); });
        return py::isinstance<py::tuple>(answer) ? py::list(answer) : answer;
      },
      py::name("mro"), py::is_method(classdef), py::arg("context") = py::none());
}

// metaclass(context=None): the class node, or none.
py::cpp_function kept_metaclass(py::handle classdef, py::object original, Building building) {
  KeptAnswers answers(std::move(building));
  return py::cpp_function(
      [answers, original](py::object self, py::object context) {
        return answers.get(
            self, [&] { return original(self, py::none()); },
            [&] { return original(self, context); });
      },
      py::name("metaclass"), py::is_method(classdef), py::arg("context") = py::none());
}

struct Replaced {
  const char* module;
  const char* cls;
  const char* name;
  Replacement make;
};

// The builder's first: without knowing when a module is being built, nothing is kept.
constexpr Replaced kReplaced[] = {
    {"astroid.builder", "AstroidBuilder", "_post_build", &counted_post_build},
    {"astroid.nodes", "ClassDef", "ancestors", &kept_ancestors},
    {"astroid.nodes", "ClassDef", "mro", &kept_mro},
    {"astroid.nodes", "ClassDef", "metaclass", &kept_metaclass},
};

}  // namespace

// Only astroid's own functions are replaced: where something else stands in for one (an outer
// lint of this process, or another party), that one and those after it are left alone.
KeptClassAnswers::KeptClassAnswers() {
  py::object function_type = lookup("types", "FunctionType");
  auto building = std::make_shared<long>(0);
  for (const Replaced& entry : kReplaced) {
    py::object cls = lookup(entry.module, entry.cls);
    py::object current = py::dict(cls.attr("__dict__")).attr("get")(entry.name);
    if (!current.get_type().is(function_type)) break;
    py::object replacement = entry.make(cls, current, building);
    py::setattr(cls, entry.name, replacement);
    replaced_.append(py::make_tuple(cls, entry.name, current, replacement));
  }
}

// Put back in the opposite order, each only if it is still the one put there.
KeptClassAnswers::~KeptClassAnswers() {
  try {
    for (size_t i = py::len(replaced_); i-- > 0;) {
      py::tuple replaced = py::reinterpret_borrow<py::tuple>(replaced_[i]);
      py::object current = py::dict(replaced[0].attr("__dict__")).attr("get")(replaced[1]);
      if (current.is(replaced[3])) py::setattr(replaced[0], replaced[1], replaced[2]);
    }
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("restoring astroid's class functions");
  } catch (...) {
  }
}

// ---------------------------------------------------------------------------------------
// Collector thresholds
//
// A lint builds millions of tree nodes that live until it ends. At the collector's default
// thresholds every few hundred new objects start a collection, and the older generations are
// walked again and again while they hold almost no garbage: a fifth of the lint's time.
// Raised thresholds leave the collector running (cycles are still freed) for a few
// megabytes more at the peak. Only raised: a threshold the host set higher, or to zero
// (collection off), stays as it is.

namespace {
constexpr long kRaisedThresholds[] = {100000, 50, 100};
}  // namespace

RaisedCollectorThresholds::RaisedCollectorThresholds() {
  py::module_ gc = import("gc");
  saved_ = gc.attr("get_threshold")();
  py::list raised;
  for (size_t i = 0; i < saved_.size(); ++i) {
    long current = saved_[i].cast<long>();
    long wanted = i < std::size(kRaisedThresholds) ? kRaisedThresholds[i] : current;
    raised.append(current == 0 && i == 0 ? 0 : std::max(current, wanted));
  }
  gc.attr("set_threshold")(*raised);
}

// Runs while the check's error, if any, is on its way to the caller: pybind11 holds that error
// apart, so the collector can be called, and nothing raised here may replace it.
RaisedCollectorThresholds::~RaisedCollectorThresholds() {
  try {
    import("gc").attr("set_threshold")(*saved_);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("restoring the garbage collector's thresholds");
  } catch (...) {
  }
}

}  // namespace vettor::checker
