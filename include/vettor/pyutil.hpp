// The small set of idioms every vettor extension module is written with.
//
// The analyser's classes have to be real Python classes with Python bases (pylint's
// BaseChecker, JSONReporter, astroid's TransformVisitor, html.parser.HTMLParser, str),
// which pybind11's py::class_ cannot express. They are made with `type(name, bases, ns)`
// and then given methods written in C++, the same way pybind11 itself decorates the
// Python types it creates for enums.
//
// Everything a module reaches in a sibling module or a library is looked up by name at
// call time (ModuleRef / lookup), so a monkeypatched attribute is seen exactly as Python
// code would see it. No owning py::object lives at file scope: file-scope objects are
// destroyed after the interpreter has gone, so only borrowed handles are kept there and
// module state lives on the module object.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <string>
#include <utility>

namespace vettor {

namespace py = pybind11;

// ---------------------------------------------------------------------------------------
// Imports and look-ups at call time

// `import name` (sys.modules is consulted first, so repeated calls are cheap).
inline py::module_ import(const char* name) { return py::module_::import(name); }

// `getattr(import(module), attr)`, evaluated now.
inline py::object lookup(const char* module, const char* attr) {
  return import(module).attr(attr);
}

// A borrowed handle on a module object (modules live in sys.modules for the rest of the
// process), whose attributes are read afresh at every use: G("is_model")(node).
class ModuleRef {
 public:
  void bind(py::handle m) { module_ = m; }
  py::object operator()(const char* name) const { return module_.attr(name); }
  py::handle handle() const { return module_; }
  explicit operator bool() const { return static_cast<bool>(module_); }

 private:
  py::handle module_;
};

// The dotted name of a sibling module: `from . import helpers` inside the module whose
// __name__ is `vettor.staticanalysis.checkers.columns` with levels=2 gives
// `vettor.staticanalysis.helpers`. While PYBIND11_MODULE runs, __name__ already holds the
// full dotted name but __package__ is not yet set, so the package is derived from it.
inline std::string sibling_name(py::handle m, const std::string& name, int levels = 1) {
  std::string full = py::str(m.attr("__name__"));
  for (int i = 0; i < levels; ++i) {
    auto dot = full.rfind('.');
    full = dot == std::string::npos ? std::string() : full.substr(0, dot);
  }
  return full.empty() ? name : full + "." + name;
}

inline py::module_ import_sibling(py::handle m, const std::string& name, int levels = 1) {
  return py::module_::import(sibling_name(m, name, levels).c_str());
}

// ---------------------------------------------------------------------------------------
// Python classes with Python bases

inline py::tuple bases_of(py::handle base) { return py::make_tuple(base); }

// `type(name, bases, ns)` with __module__ and __qualname__ set so that instances pickle
// by reference (pylint's worker processes need this) and print readable names. The
// class is not bound on the module here: the module's binding block does that.
inline py::object make_class(py::handle m, const char* name, py::tuple bases,
                             py::dict ns = py::dict()) {
  ns["__module__"] = m.attr("__name__");
  ns["__qualname__"] = name;
  if (!ns.contains("__doc__")) ns["__doc__"] = py::none();
  return import("builtins").attr("type")(name, bases, ns);
}

// Bind a C++ callable as a method of a Python class. The sibling is taken from the
// class's own __dict__ only: getattr would find an inherited Python method and make
// pybind11 refuse the overload chain.
template <class F, class... Extra>
void add_method(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  py::object sibling = py::getattr(cls.attr("__dict__"), name, py::none());
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::is_method(cls),
                      py::sibling(sibling), extra...);
  py::setattr(cls, name, fn);
}

// A class's __init__ written in C++. pybind11 takes every function named "__init__" for the
// constructor of one of its own classes and then crashes on instances of any other class, so
// the body is bound under another name and stored on the class as __init__.
template <class F, class... Extra>
void add_init(py::handle cls, F&& f, const Extra&... extra) {
  py::cpp_function fn(std::forward<F>(f), py::name("__vettor_init__"), py::is_method(cls),
                      extra...);
  py::setattr(cls, "__init__", fn);
}

template <class F, class... Extra>
void add_staticmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::scope(cls), extra...);
  py::setattr(cls, name, import("builtins").attr("staticmethod")(fn));
}

template <class F, class... Extra>
void add_classmethod(py::handle cls, const char* name, F&& f, const Extra&... extra) {
  py::cpp_function fn(std::forward<F>(f), py::name(name), py::scope(cls), extra...);
  py::setattr(cls, name, import("builtins").attr("classmethod")(fn));
}

// `alias = name` in a class body: both names hold the very same object.
inline void add_alias(py::handle cls, const char* alias, const char* name) {
  py::setattr(cls, alias, cls.attr("__dict__")[name]);
}

// `super(cls, self)`, for calling a base method from a method written in C++.
inline py::object super(py::handle cls, py::handle self) {
  return import("builtins").attr("super")(cls, self);
}

// A subclass of an exception class, made like any other class.
inline py::object make_exception(py::handle m, const char* name, py::handle base,
                                 const char* doc = nullptr) {
  py::dict ns;
  if (doc) ns["__doc__"] = doc;
  return make_class(m, name, bases_of(base), ns);
}

// ---------------------------------------------------------------------------------------
// Exceptions, both ways

// Raise an instance of a Python exception class (looked up by the caller at call time).
[[noreturn]] inline void raise(py::handle exc_type, py::handle arg = py::handle()) {
  if (arg) {
    PyErr_SetObject(exc_type.ptr(), arg.ptr());
  } else {
    PyErr_SetNone(exc_type.ptr());
  }
  throw py::error_already_set();
}

[[noreturn]] inline void raise(py::handle exc_type, const std::string& message) {
  raise(exc_type, py::str(message));
}

// Run body(); when it raises an exception that is an instance of `exc_type` (a Python
// class, or a tuple of them), return fallback() instead. Everything else passes through
// unchanged. pybind11's own C++ exceptions (cast errors and the like) are Python errors
// of the Exception family once they cross into Python, so they count as matching
// whenever `exc_type` is Exception itself.
template <class Body, class Fallback>
auto on_error(py::handle exc_type, Body&& body, Fallback&& fallback) -> decltype(body()) {
  try {
    return body();
  } catch (py::error_already_set& e) {
    if (e.matches(exc_type)) return fallback();
    throw;
  } catch (py::builtin_exception&) {
    if (exc_type.ptr() == PyExc_Exception) return fallback();
    throw;
  }
}

// `value == text`, as Python compares (a value that is not a text is simply unequal).
inline bool text_is(py::handle value, const char* text) {
  return py::reinterpret_borrow<py::object>(value).equal(py::str(text));
}

// Whether an astroid class `value` has a class of the qualified name `qname` among its
// ancestors (itself included); false on any error (a value without an MRO).
inline bool has_class_named(py::handle value, const char* qname) {
  return on_error(
      PyExc_Exception,
      [&] {
        for (py::handle cls : value.attr("mro")()) {
          if (text_is(cls.attr("qname")(), qname)) return true;
        }
        return false;
      },
      [] { return false; });
}

// True when the live Python error `e` is an instance of the class `exc_type`.
inline bool matches(const py::error_already_set& e, py::handle exc_type) {
  return e.matches(exc_type);
}

// ---------------------------------------------------------------------------------------
// Texts that may hold file names
//
// A file name that is not UTF-8 reaches Python as a text with lone surrogates (os.fsdecode),
// of which pybind11 makes no C++ string. A text that may hold one (a path, a module name
// made of one, a message naming one) crosses into C++ as its UTF-8 bytes with each such byte
// as itself, and back into Python the same way.

inline std::string text_bytes(py::handle text) {
  return py::str(text).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
}

inline py::str bytes_text(const std::string& bytes) {
  return py::bytes(bytes).attr("decode")("utf-8", "surrogateescape");
}

// ---------------------------------------------------------------------------------------
// Small conveniences

// The one shared text object for `text` (Python's interned string). A record made in C++ with
// `record["path"] = ...` gets a new key object each time; a record kept by the thousand (a
// finding per link of a template) takes its keys from here, as a dict literal in Python does.
inline py::str interned(const char* text) {
  PyObject* key = PyUnicode_InternFromString(text);
  if (!key) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(key);
}

inline bool truthy(py::handle h) {
  int r = PyObject_IsTrue(h.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

inline bool isinstance(py::handle obj, py::handle type) {
  int r = PyObject_IsInstance(obj.ptr(), type.ptr());
  if (r < 0) throw py::error_already_set();
  return r == 1;
}

inline bool hasattr(py::handle obj, const char* name) { return py::hasattr(obj, name); }

inline py::object getattr_or_none(py::handle obj, const char* name) {
  return py::getattr(obj, name, py::none());
}

// A new Python list holding the given objects, in order.
template <class... Items>
py::list list_of(Items&&... items) {
  py::list list;
  (list.append(std::forward<Items>(items)), ...);
  return list;
}

// Run body() inside the Python context manager `manager`, as a `with` block does: the
// manager's exit runs whether body returns or raises, and sees the error body raised, which
// then goes on unchanged (unless the manager's exit swallows it, as Python allows; body's
// result is then None).
template <class Body>
py::object within(py::object manager, Body&& body) {
  manager.attr("__enter__")();
  py::object result;
  try {
    result = body();
  } catch (py::error_already_set& e) {
    auto or_none = [](py::handle h) { return h ? py::reinterpret_borrow<py::object>(h) : py::none(); };
    if (truthy(manager.attr("__exit__")(or_none(e.type()), or_none(e.value()), or_none(e.trace())))) {
      return py::none();
    }
    throw;
  } catch (...) {
    manager.attr("__exit__")(py::none(), py::none(), py::none());
    throw;
  }
  manager.attr("__exit__")(py::none(), py::none(), py::none());
  return result;
}

}  // namespace vettor

// ---------------------------------------------------------------------------------------
// Module initialisation

// PYBIND11_MODULE, except that a Python error raised while the module body runs reaches the
// importer as itself (a ValueError as a ValueError): pybind11 turns every such error into an
// ImportError "initialization failed", which callers cannot tell apart from a missing module.
#define VETTOR_MODULE(name, variable)                                                     \
  static ::pybind11::module_::module_def PYBIND11_CONCAT(pybind11_module_def_, name)      \
      PYBIND11_MAYBE_UNUSED;                                                              \
  PYBIND11_MAYBE_UNUSED                                                                   \
  static void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_&);               \
  PYBIND11_PLUGIN_IMPL(name) {                                                            \
    PYBIND11_CHECK_PYTHON_VERSION                                                         \
    PYBIND11_ENSURE_INTERNALS_READY                                                       \
    auto m = ::pybind11::module_::create_extension_module(                                \
        PYBIND11_TOSTRING(name), nullptr, &PYBIND11_CONCAT(pybind11_module_def_, name));  \
    try {                                                                                 \
      PYBIND11_CONCAT(pybind11_init_, name)(m);                                           \
      return m.ptr();                                                                     \
    } catch (::pybind11::error_already_set & e) {                                         \
      e.restore();                                                                        \
      return nullptr;                                                                     \
    } catch (const std::exception& e) {                                                   \
      PyErr_SetString(PyExc_ImportError, e.what());                                       \
      return nullptr;                                                                     \
    }                                                                                     \
  }                                                                                       \
  void PYBIND11_CONCAT(pybind11_init_, name)(::pybind11::module_ & (variable))
