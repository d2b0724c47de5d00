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

// Runs `call` under a limit of `depth + kFramesPerBudget` frames (never above kMostFrames nor
// below the interpreter's own limit), and puts the previous limit back.
py::object call_with_budget(py::handle function, py::args args, py::kwargs kwargs) {
  int previous_limit = Py_GetRecursionLimit();
  int previous_running = running_limit;
  int limit = std::min(current_depth() + kFramesPerBudget, std::max(kMostFrames, previous_limit));
  Py_SetRecursionLimit(limit);
  running_limit = limit;
  struct Restore {
    int limit, running;
    ~Restore() {
      Py_SetRecursionLimit(limit);
      running_limit = running;
    }
  } restore{previous_limit, previous_running};
  try {
    return function(*args, **kwargs);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RecursionError)) throw;
    return py::none();
  }
}

// function(*args, **kwargs) within the running budget, or within a new one when none runs.
py::object within_inference_budget(py::object function, py::args args, py::kwargs kwargs) {
  if (running_limit != 0) return function(*args, **kwargs);
  return call_with_budget(function, args, kwargs);
}

// function(*args, **kwargs) within a budget of its own, whether or not one runs.
py::object within_own_inference_budget(py::object function, py::args args, py::kwargs kwargs) {
  return call_with_budget(function, args, kwargs);
}

}  // namespace

void register_budget(py::module_& m) {
  m.def("within_inference_budget", &within_inference_budget, py::arg("function"));
  m.def("within_own_inference_budget", &within_own_inference_budget, py::arg("function"));
}

}  // namespace vettor::helpers
