// helpers: a budget of stack for inference. astroid infers by recursion, one level of Python
// calls for every assignment, call and return it follows, so an ordinary line can need more
// stack than the interpreter allows: a queryset passed through forty helper functions that
// each return it changed, or reassigned a hundred times in one function. Where the limit is
// met depended on how deep the asking code already stood (a rule's visit, a module built in
// the middle of another module's inference, the fix road's own walk), so the same line could
// be judged on one run and fail the whole rule on the next.
//
// A budget gives an inference a fixed number of frames counted from where it starts. What
// needs more is not inferable: the answer is None, the same wherever it was asked. An
// inference asked while a budget runs (astroid calling the shims, a rule asking helpers) is
// part of that budget. The shims' predicates, which astroid runs while it builds a module,
// take a budget of their own: what a tree's transforms decide must not depend on which
// inference happened to build the module.
#include "helpers.hpp"

#include <algorithm>

namespace vettor::helpers {

namespace {

// Frames one budget allows; the default recursion limit leaves about as many to a rule.
constexpr int kFramesPerBudget = 1000;
// No budget raises the interpreter's limit beyond this, however deeply budgets nest.
constexpr int kMostFrames = 6000;

// The recursion limit the running budget set, 0 when none runs.
int running_limit = 0;

int current_depth() { return PyThreadState_Get()->recursion_depth; }

// Calls args[0](*args[1:], **kwnames) under a limit of `depth + kFramesPerBudget` frames (never
// above kMostFrames nor below the interpreter's own limit), puts the previous limit back, and
// answers None for a RecursionError. Written against the interpreter's vector call: every rule
// and shim inference goes through here, and a pybind11 call with *args would cost more than
// most of what it wraps.
PyObject* call_with_budget(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  int previous_limit = Py_GetRecursionLimit();
  int previous_running = running_limit;
  int limit = std::min(current_depth() + kFramesPerBudget, std::max(kMostFrames, previous_limit));
  Py_SetRecursionLimit(limit);
  running_limit = limit;
  PyObject* result = PyObject_Vectorcall(args[0], args + 1, nargs - 1, kwnames);
  Py_SetRecursionLimit(previous_limit);
  running_limit = previous_running;
  if (!result && PyErr_ExceptionMatches(PyExc_RecursionError)) {
    PyErr_Clear();
    Py_RETURN_NONE;
  }
  return result;
}

bool has_function(Py_ssize_t nargs, const char* name) {
  if (nargs >= 1) return true;
  PyErr_Format(PyExc_TypeError, "%s() takes the function to call as its first argument", name);
  return false;
}

// function(*args, **kwargs) within the running budget, or within a new one when none runs.
PyObject* within_inference_budget(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                  PyObject* kwnames) {
  if (!has_function(nargs, "within_inference_budget")) return nullptr;
  if (running_limit != 0) return PyObject_Vectorcall(args[0], args + 1, nargs - 1, kwnames);
  return call_with_budget(args, nargs, kwnames);
}

// function(*args, **kwargs) within a budget of its own, whether or not one runs.
PyObject* within_own_inference_budget(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  if (!has_function(nargs, "within_own_inference_budget")) return nullptr;
  return call_with_budget(args, nargs, kwnames);
}

PyMethodDef kBudgetFunctions[] = {
    {"within_inference_budget", reinterpret_cast<PyCFunction>(
                                    reinterpret_cast<void (*)()>(&within_inference_budget)),
     METH_FASTCALL | METH_KEYWORDS,
     "within_inference_budget(function, *args, **kwargs)\n--\n\nfunction(*args, **kwargs) "
     "within the running inference budget, or a new one when none runs; None when it needs "
     "more frames than the budget allows."},
    {"within_own_inference_budget", reinterpret_cast<PyCFunction>(
                                        reinterpret_cast<void (*)()>(&within_own_inference_budget)),
     METH_FASTCALL | METH_KEYWORDS,
     "within_own_inference_budget(function, *args, **kwargs)\n--\n\nfunction(*args, "
     "**kwargs) within an inference budget of its own; None when it needs more frames than "
     "the budget allows."},
};

}  // namespace

void register_budget(py::module_& m) {
  py::object module_name = m.attr("__name__");
  for (PyMethodDef& definition : kBudgetFunctions) {
    PyObject* function = PyCFunction_NewEx(&definition, nullptr, module_name.ptr());
    if (!function) throw py::error_already_set();
    m.attr(definition.ml_name) = py::reinterpret_steal<py::object>(function);
  }
}

}  // namespace vettor::helpers
