// What makes a project lint cheaper without changing anything it finds: astroid's node
// construction without a signature worked out at every node, class ancestors worked out once
// per class while files are checked, and a collector that does not walk the lint's trees
// again and again meanwhile.
#include "checker.hpp"

#include <algorithm>
#include <iterator>

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
// Class ancestors
//
// Reading an attribute of an instance, looking a method up and testing a subtype all walk the
// class's ancestors, and astroid walks them afresh each time: it infers every base again under
// the asker's context, whose lookup name is part of the key of its inference cache, so the
// answers are seldom reused. That walk is a third of what inferring a callee costs. While
// files are checked no tree changes, and a class's ancestors are what its base expressions
// infer to, so each class's are worked out once, by astroid's own walk (from a fresh context),
// and read back afterwards. A class asked about again while its walk is under way (a base
// that leads back to the class) gets astroid's walk under the asker's context, as does a class
// whose walk raised; neither answer is kept.

py::cpp_function ancestors_kept_per_class(py::handle classdef, py::object original) {
  py::dict kept;
  py::set working;
  return py::cpp_function(
      [kept, working, original](py::object self, py::object recurs,
                                py::object context) -> py::object {
        py::tuple key = py::make_tuple(self, py::bool_(truthy(recurs)));
        PyObject* hit = PyDict_GetItemWithError(kept.ptr(), key.ptr());
        if (hit) return py::iter(py::reinterpret_borrow<py::object>(hit));
        if (PyErr_Occurred()) throw py::error_already_set();
        if (working.contains(key)) return original(self, recurs, context);
        working.attr("add")(key);
        py::object answer;
        try {
          answer = py::tuple(original(self, recurs, py::none()));
        } catch (py::error_already_set& e) {
          working.attr("discard")(key);
          if (!e.matches(PyExc_Exception)) throw;
          return original(self, recurs, context);
        }
        working.attr("discard")(key);
        if (PyDict_SetItem(kept.ptr(), key.ptr(), answer.ptr()) != 0)
          throw py::error_already_set();
        return py::iter(answer);
      },
      py::name("ancestors"), py::is_method(classdef), py::arg("recurs") = true,
      py::arg("context") = py::none());
}

}  // namespace

// Only astroid's own function is replaced: when something else stands there (an outer lint of
// this process, or another party), it is left alone.
KeptClassAncestors::KeptClassAncestors() {
  py::object classdef = lookup("astroid.nodes", "ClassDef");
  py::object current = py::dict(classdef.attr("__dict__")).attr("get")("ancestors");
  if (!current.get_type().is(lookup("types", "FunctionType"))) return;
  original_ = current;
  replacement_ = ancestors_kept_per_class(classdef, current);
  py::setattr(classdef, "ancestors", replacement_);
}

KeptClassAncestors::~KeptClassAncestors() {
  if (!original_) return;
  try {
    py::object classdef = lookup("astroid.nodes", "ClassDef");
    py::object current = py::dict(classdef.attr("__dict__")).attr("get")("ancestors");
    if (current.is(replacement_)) py::setattr(classdef, "ancestors", original_);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("restoring astroid's class ancestors");
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
