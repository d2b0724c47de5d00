// Settings rules: a project's Django settings module checked against Django's deployment
// security advice (what `manage.py check --deploy` warns about), with fixes that add the
// missing setting or middleware entry, or remove the insecure statement.
//
// A settings module is read the way Django would import it: its statements in order, the
// `from ... import *` of a split settings package followed into the files it names, and the
// path and environment look-ups folded by the settings-file builder of `shims`. What cannot be
// read that way (a value computed at run time, an import that cannot be followed) is unknown,
// and a rule never reports on an unknown value. What the module leaves unset takes the
// default of the Django version being checked.
#include <algorithm>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <system_error>
#include <unordered_map>
#include <vector>
#include <vettor/rules.hpp>

namespace {
using namespace vettor;
namespace fs = std::filesystem;

ModuleRef G;

constexpr const char* kSecurityMiddleware = "django.middleware.security.SecurityMiddleware";
constexpr const char* kXFrameMiddleware = "django.middleware.clickjacking.XFrameOptionsMiddleware";
constexpr const char* kCsrfMiddleware = "django.middleware.csrf.CsrfViewMiddleware";
constexpr const char* kSessionMiddleware = "django.contrib.sessions.middleware.SessionMiddleware";
constexpr const char* kCommonMiddleware = "django.middleware.common.CommonMiddleware";
constexpr const char* kAuthMiddleware = "django.contrib.auth.middleware.AuthenticationMiddleware";
constexpr const char* kMessageMiddleware = "django.contrib.messages.middleware.MessageMiddleware";
constexpr const char* kSessionsApp = "django.contrib.sessions";

// One year: what browsers' preload lists ask of a site, and what Django's docs end up at.
constexpr long kHstsSeconds = 31536000;

// Every Django minor whose defaults are known. A fix has no linter to say which version the
// project runs, so it applies when the finding holds for any of them.
constexpr const char* kDjangoVersions[] = {"1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"};

// Imports are followed at most this many files deep; expressions evaluated as deep.
constexpr int kMaxImportDepth = 8;
constexpr int kMaxEvalDepth = 64;

// A settings value is a short text, a small number or a short list. The reader computes
// nothing much larger: `"x" * 10**9`, a tower of powers or a list that doubles on every line
// would cost the lint its memory or its time, and such a value is unknown instead. The weight
// of a value counts the characters of its texts, the bytes of its numbers and its entries, a
// shared entry once for each place it stands, so that printing or comparing a value of bounded
// weight takes bounded work.
constexpr long long kMaxWeight = 1 << 20;
constexpr long long kMaxBits = 1 << 16;  // of one integer
constexpr int kMaxNesting = 32;

py::object A(const char* name) { return G("astroid").attr(name); }
bool is(py::handle node, const char* cls) { return vettor::isinstance(node, A(cls)); }
py::object unknown() { return G("_UNKNOWN"); }
bool known(py::handle value) { return !value.is(unknown()); }
std::string text(py::handle h) { return py::str(h).cast<std::string>(); }
py::object op(const char* name) { return lookup("operator", name); }

// ---------------------------------------------------------------------------------------
// Reading a settings module

struct Binding {
  py::object value;   // a plain value, or unknown()
  py::object stmt;    // the statement of the checked module that gave the name this value
  py::object assign;  // that statement when it is `NAME = <expr>` in the checked module
};

// The weight and the nesting of each container measured so far, by identity. Values are never
// changed once made (a method call changes a copy), and each measured container is kept alive
// here, so an address keeps standing for the same value.
struct Measure {
  long long weight;
  int nesting;
};

struct Weights {
  std::unordered_map<PyObject*, Measure> known;
  std::vector<py::object> alive;
};

struct Namespace {
  std::map<std::string, Binding> names;
  bool opaque = false;  // an import that could not be followed may have bound any name
  std::shared_ptr<Weights> weights = std::make_shared<Weights>();
};

void forget_everything(Namespace& ns) {
  for (auto& entry : ns.names) entry.second.value = unknown();
  ns.opaque = true;
}

py::object shims() { return import_sibling(G.handle(), "shims", 2); }

py::object evaluate(py::handle node, const Namespace& ns, int depth = 0);

py::object evaluate_guarded(const std::function<py::object()>& body) {
  return on_error(PyExc_Exception, body, [] { return unknown(); });
}

long long bits_of(py::handle number) { return number.attr("bit_length")().cast<long long>(); }

// The weight and the nesting of a value; a weight over kMaxWeight once it is known to be too
// heavy or too deeply nested.
Measure measure(py::handle value, Weights& memo, int depth = 0) {
  constexpr Measure kTooBig{kMaxWeight + 1, 0};
  if (PyUnicode_Check(value.ptr())) return {1 + PyUnicode_GET_LENGTH(value.ptr()), 0};
  if (PyBytes_Check(value.ptr())) return {1 + PyBytes_GET_SIZE(value.ptr()), 0};
  if (PyLong_Check(value.ptr())) {
    long long bits = bits_of(value);
    return bits > kMaxBits ? kTooBig : Measure{1 + bits / 8, 0};
  }
  bool sequence = PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()) ||
                  PyAnySet_Check(value.ptr());
  bool mapping = PyDict_Check(value.ptr());
  if (!sequence && !mapping) return {1, 0};
  auto found = memo.known.find(value.ptr());
  if (found != memo.known.end()) return found->second;
  if (depth >= kMaxNesting) return kTooBig;
  Measure total{1, 1};
  auto add = [&](py::handle item) {
    Measure part = measure(item, memo, depth + 1);
    total.weight += part.weight;
    total.nesting = std::max(total.nesting, part.nesting + 1);
    return total.weight <= kMaxWeight && total.nesting <= kMaxNesting;
  };
  if (mapping) {
    for (auto item : py::reinterpret_borrow<py::dict>(value)) {
      if (!add(item.first) || !add(item.second)) return kTooBig;
    }
  } else {
    for (py::handle item : value) {
      if (!add(item)) return kTooBig;
    }
  }
  memo.known[value.ptr()] = total;
  memo.alive.push_back(py::reinterpret_borrow<py::object>(value));
  return total;
}

long long weight(py::handle value, Weights& memo) { return measure(value, memo).weight; }

bool fits(py::handle value, Weights& memo) { return weight(value, memo) <= kMaxWeight; }

// Arithmetic whose result would be too big to compute: its size is known before it is made.
// `left` and `right` are values of bounded weight.
bool too_costly(const std::string& oper, py::handle left, py::handle right, Weights& memo) {
  bool left_int = PyLong_Check(left.ptr()), right_int = PyLong_Check(right.ptr());
  auto small = [](py::handle number, long long limit) {  // 0 <= number <= limit
    return bits_of(number) <= 62 && number.cast<long long>() >= 0 &&
           number.cast<long long>() <= limit;
  };
  if (oper == "*") {
    if (left_int && right_int) return bits_of(left) + bits_of(right) > kMaxBits;
    py::handle count = left_int ? left : right;
    py::handle repeated = left_int ? right : left;
    if (!PyLong_Check(count.ptr()) || bits_of(count) > 62) return PyLong_Check(count.ptr());
    long long times = count.cast<long long>();
    return times > 0 && weight(repeated, memo) > kMaxWeight / times;
  }
  if (oper == "**") {
    if (!right_int) return true;
    if (!left_int || right.cast<py::int_>() < py::int_(0)) return false;  // a float
    return !small(right, kMaxBits) ||
           bits_of(left) * right.cast<long long>() > kMaxBits;
  }
  if (oper == "<<") {
    return left_int && right_int &&
           (!small(right, kMaxBits) || bits_of(left) + right.cast<long long>() > kMaxBits);
  }
  if (oper == "%" && (PyUnicode_Check(left.ptr()) || PyBytes_Check(left.ptr()))) {
    // Each conversion prints at most one value, in at most a few characters per unit of
    // weight (escapes, the digits of a float), padded to at most the largest width or
    // precision written in the format; a width taken from the values (`*`) could be any.
    std::string format = PyUnicode_Check(left.ptr())
                             ? text(left)
                             : std::string(PyBytes_AS_STRING(left.ptr()),
                                           static_cast<size_t>(PyBytes_GET_SIZE(left.ptr())));
    if (format.find('*') != std::string::npos) return true;
    long long widest = 0, number = 0;
    for (char c : format) {
      number = c >= '0' && c <= '9' ? std::min(number * 10 + (c - '0'), kMaxWeight + 1) : 0;
      widest = std::max(widest, number);
    }
    long long conversions = std::count(format.begin(), format.end(), '%');
    long long each = 32 * weight(right, memo) + 320 + widest;
    return conversions > 0 &&
           each > (kMaxWeight - static_cast<long long>(format.size())) / conversions;
  }
  return false;
}

const char* binary_operator(const std::string& oper) {
  static const std::map<std::string, const char*> names = {
      {"+", "add"},       {"-", "sub"}, {"*", "mul"},  {"/", "truediv"},
      {"//", "floordiv"}, {"%", "mod"}, {"**", "pow"}, {"<<", "lshift"},
      {">>", "rshift"},   {"|", "or_"}, {"^", "xor"},  {"&", "and_"}};
  auto it = names.find(oper);
  return it == names.end() ? nullptr : it->second;
}

py::object apply_binary(const std::string& oper, py::object left, py::object right,
                        Weights& memo) {
  const char* name = binary_operator(oper);
  if (!name || !known(left) || !known(right)) return unknown();
  py::object costly = evaluate_guarded(
      [&] { return py::object(py::bool_(too_costly(oper, left, right, memo))); });
  if (!known(costly) || truthy(costly)) return unknown();
  return evaluate_guarded([&] { return op(name)(left, right); });
}

py::object compare(const std::string& oper, py::object left, py::object right) {
  static const std::map<std::string, const char*> names = {
      {"==", "eq"}, {"!=", "ne"}, {"<", "lt"},   {"<=", "le"},
      {">", "gt"},  {">=", "ge"}, {"is", "is_"}, {"is not", "is_not"}};
  if (oper == "in") return evaluate_guarded([&] { return op("contains")(right, left); });
  if (oper == "not in") {
    return evaluate_guarded([&] { return op("not_")(op("contains")(right, left)); });
  }
  auto it = names.find(oper);
  if (it == names.end()) return unknown();
  return evaluate_guarded([&] { return op(it->second)(left, right); });
}

// Elements of a list, tuple or set display, starred items spread out.
std::optional<py::list> evaluate_elements(py::handle node, const Namespace& ns, int depth) {
  py::list items;
  for (py::handle element : node.attr("elts")) {
    if (is(element, "Starred")) {
      py::object spread = evaluate(element.attr("value"), ns, depth + 1);
      if (!known(spread) ||
          !(py::isinstance<py::list>(spread) || py::isinstance<py::tuple>(spread))) {
        return std::nullopt;
      }
      for (py::handle item : spread) items.append(item);
      continue;
    }
    py::object value = evaluate(element, ns, depth + 1);
    if (!known(value)) return std::nullopt;
    items.append(value);
  }
  return items;
}

// What a call evaluates to: the settings-file builder's folds first, then astroid's inference.
py::object evaluate_call(py::handle node, const Namespace& ns, int depth) {
  py::object builder = shims();
  if (truthy(builder.attr("looks_like_path_manipulation")(node))) {
    py::object folded =
        evaluate_guarded([&] { return builder.attr("transform_path_manipulation")(node); });
    if (known(folded) && is(folded, "Const")) return folded.attr("value");
  }
  if (truthy(builder.attr("looks_like_environment_variable_lookup")(node))) {
    return evaluate(builder.attr("transform_environment_variable_lookup")(node), ns, depth + 1);
  }
  return unknown();
}

py::object evaluate_node(py::handle node, const Namespace& ns, int depth) {
  if (depth > kMaxEvalDepth || node.is_none()) return unknown();
  if (is(node, "Const")) return node.attr("value");
  if (is(node, "Name")) {
    auto it = ns.names.find(text(node.attr("name")));
    return it == ns.names.end() ? unknown() : it->second.value;
  }
  if (is(node, "List") || is(node, "Tuple") || is(node, "Set")) {
    auto items = evaluate_elements(node, ns, depth);
    if (!items) return unknown();
    if (is(node, "Tuple")) return py::tuple(*items);
    if (is(node, "Set")) return evaluate_guarded([&] { return py::object(py::set(*items)); });
    return *items;
  }
  if (is(node, "Dict")) {
    py::dict result;
    for (py::handle pair : node.attr("items")) {
      py::tuple kv(py::reinterpret_borrow<py::object>(pair));
      if (is(kv[0], "DictUnpack")) return unknown();
      py::object key = evaluate(kv[0], ns, depth + 1);
      py::object value = evaluate(kv[1], ns, depth + 1);
      if (!known(key) || !known(value)) return unknown();
      py::object stored = evaluate_guarded([&] {  // an unhashable key fails here
        result[key] = value;
        return py::object(py::bool_(true));
      });
      if (!known(stored)) return unknown();
    }
    return result;
  }
  if (is(node, "UnaryOp")) {
    py::object operand = evaluate(node.attr("operand"), ns, depth + 1);
    if (!known(operand)) return unknown();
    std::string oper = text(node.attr("op"));
    const char* name = oper == "not" ? "not_"
                       : oper == "-" ? "neg"
                       : oper == "+" ? "pos"
                       : oper == "~" ? "invert"
                                     : nullptr;
    if (!name) return unknown();
    return evaluate_guarded([&] { return op(name)(operand); });
  }
  if (is(node, "BinOp")) {
    return apply_binary(text(node.attr("op")), evaluate(node.attr("left"), ns, depth + 1),
                        evaluate(node.attr("right"), ns, depth + 1), *ns.weights);
  }
  if (is(node, "BoolOp")) {
    bool is_and = text(node.attr("op")) == "and";
    py::object value = unknown();
    for (py::handle operand : node.attr("values")) {
      value = evaluate(operand, ns, depth + 1);
      if (!known(value)) return unknown();
      if (truthy(value) != is_and) return value;  // `or` stops at a truthy, `and` at a falsy
    }
    return value;
  }
  if (is(node, "Compare")) {
    py::object left = evaluate(node.attr("left"), ns, depth + 1);
    if (!known(left)) return unknown();
    py::object result = py::bool_(true);
    for (py::handle step : node.attr("ops")) {
      py::tuple pair(py::reinterpret_borrow<py::object>(step));
      py::object right = evaluate(pair[1], ns, depth + 1);
      if (!known(right)) return unknown();
      result = compare(text(pair[0]), left, right);
      if (!known(result) || !truthy(result)) return result;
      left = right;
    }
    return result;
  }
  if (is(node, "IfExp")) {
    py::object test = evaluate(node.attr("test"), ns, depth + 1);
    if (!known(test)) return unknown();
    return evaluate(truthy(test) ? node.attr("body") : node.attr("orelse"), ns, depth + 1);
  }
  if (is(node, "Subscript")) {
    py::object container = evaluate(node.attr("value"), ns, depth + 1);
    py::object index = node.attr("slice");
    py::object key;
    if (is(index, "Slice")) {
      py::list bounds;
      for (const char* part : {"lower", "upper", "step"}) {
        py::object bound = index.attr(part);
        bounds.append(bound.is_none() ? py::object(py::none()) : evaluate(bound, ns, depth + 1));
      }
      for (py::handle bound : bounds) {
        if (!known(bound)) return unknown();
      }
      key = import("builtins").attr("slice")(*bounds);
    } else {
      key = evaluate(index, ns, depth + 1);
    }
    if (!known(container) || !known(key)) return unknown();
    return evaluate_guarded([&] { return op("getitem")(container, key); });
  }
  if (is(node, "Call")) return evaluate_call(node, ns, depth);
  return unknown();
}

// What an expression evaluates to, when it is known and small enough to keep.
py::object evaluate(py::handle node, const Namespace& ns, int depth) {
  py::object value = evaluate_node(node, ns, depth);
  if (!known(value)) return value;
  py::object kept = evaluate_guarded(
      [&] { return fits(value, *ns.weights) ? value : unknown(); });
  return kept;
}

// The name an attribute or subscript assignment changes: CACHES in CACHES["default"]["x"] = 1.
std::optional<std::string> changed_name(py::handle target) {
  py::object node = py::reinterpret_borrow<py::object>(target);
  for (int i = 0; i < kMaxEvalDepth; ++i) {
    if (is(node, "Name") || is(node, "AssignName")) return text(node.attr("name"));
    if (is(node, "Attribute") || is(node, "AssignAttr")) {
      node = node.attr("expr");
    } else if (is(node, "Subscript")) {
      node = node.attr("value");
    } else {
      return std::nullopt;
    }
  }
  return std::nullopt;
}

void mark_unknown(Namespace& ns, const std::string& name, py::handle stmt) {
  ns.names[name] = Binding{unknown(), py::reinterpret_borrow<py::object>(stmt), py::none()};
}

void bind(Namespace& ns, py::handle target, py::object value, py::handle stmt, py::handle assign) {
  if (is(target, "AssignName")) {
    ns.names[text(target.attr("name"))] = Binding{value, py::reinterpret_borrow<py::object>(stmt),
                                                  py::reinterpret_borrow<py::object>(assign)};
    return;
  }
  if (is(target, "Tuple") || is(target, "List")) {
    py::list targets = target.attr("elts");
    bool spread = known(value) &&
                  (py::isinstance<py::list>(value) || py::isinstance<py::tuple>(value)) &&
                  py::len(value) == targets.size();
    for (size_t i = 0; i < targets.size(); ++i) {
      py::object item =
          spread && !is(targets[i], "Starred") ? py::object(value[py::int_(i)]) : unknown();
      bind(ns, targets[i], item, stmt, py::none());
    }
    return;
  }
  if (is(target, "Starred")) {
    bind(ns, target.attr("value"), unknown(), stmt, py::none());
    return;
  }
  if (auto name = changed_name(target)) mark_unknown(ns, *name, stmt);
}

bool same_value(py::handle a, py::handle b) {
  if (a.is(b)) return true;
  if (!known(a) || !known(b) || !a.get_type().is(b.get_type())) return false;
  py::object equal = evaluate_guarded([&] { return op("eq")(a, b); });
  return known(equal) && truthy(equal);
}

// After a branch whose condition is unknown: a name keeps its value only when both ways agree.
Namespace merge(const Namespace& a, const Namespace& b, py::handle stmt) {
  Namespace out;
  out.opaque = a.opaque || b.opaque;
  out.weights = a.weights;
  for (const auto& [name, binding] : a.names) {
    auto other = b.names.find(name);
    if (other != b.names.end() && same_value(binding.value, other->second.value)) {
      out.names[name] = binding;
    } else {
      out.names[name] = Binding{unknown(), py::reinterpret_borrow<py::object>(stmt), py::none()};
    }
  }
  for (const auto& [name, binding] : b.names) {
    if (!out.names.count(name)) {
      out.names[name] = Binding{unknown(), py::reinterpret_borrow<py::object>(stmt), py::none()};
    }
  }
  return out;
}

// The file that `from <modname> import ...` names, seen from the file `context`: relative
// imports from the importing file's folder, absolute ones from that folder or any above it
// (the project root is one of them).
std::optional<std::string> resolve_import(py::handle context, const std::string& modname,
                                          long level) {
  if (!py::isinstance<py::str>(context)) return std::nullopt;
  std::error_code error;
  fs::path folder = fs::absolute(fs::path(text(context)), error).parent_path();
  if (error) return std::nullopt;
  fs::path relative;
  size_t start = 0;
  while (start <= modname.size() && !modname.empty()) {
    size_t dot = modname.find('.', start);
    relative /= modname.substr(start, dot == std::string::npos ? std::string::npos : dot - start);
    if (dot == std::string::npos) break;
    start = dot + 1;
  }
  std::vector<fs::path> bases;
  if (level > 0) {
    for (long i = 1; i < level; ++i) folder = folder.parent_path();
    bases.push_back(folder);
  } else {
    for (int i = 0; i < 32 && !folder.empty(); ++i) {
      bases.push_back(folder);
      if (folder == folder.parent_path()) break;
      folder = folder.parent_path();
    }
  }
  for (const fs::path& base : bases) {
    fs::path candidate = base / relative;
    fs::path module_file = candidate;
    module_file += ".py";
    if (!relative.empty() && fs::is_regular_file(module_file, error)) return module_file.string();
    if (fs::is_regular_file(candidate / "__init__.py", error)) {
      return (candidate / "__init__.py").string();
    }
  }
  return std::nullopt;
}

py::object defaults_for(py::handle version);

bool is_default_setting(const std::string& name) {
  for (const char* version : kDjangoVersions) {
    if (vettor::hasattr(defaults_for(py::str(version)), name.c_str())) return true;
  }
  return false;
}

class Reader {
 public:
  Namespace read(py::handle module) {
    Namespace ns;
    ns.weights = weights_;
    py::object file = module.attr("file");
    if (py::isinstance<py::str>(file)) {
      std::error_code error;
      reading_.insert(fs::absolute(fs::path(text(file)), error).string());
    }
    walk(module.attr("body"), ns, Scope{true, py::none(), module.attr("file"), 0}, false);
    return ns;
  }

 private:
  struct Scope {
    bool top;                // statements of the checked module itself
    py::object import_stmt;  // otherwise the checked module's import that led here
    py::object file;
    int depth;
  };

  std::set<std::string> reading_;
  std::shared_ptr<Weights> weights_ = std::make_shared<Weights>();

  // A value computed by a statement, kept when it is small enough.
  py::object kept(py::object value) {
    if (!known(value)) return value;
    return evaluate_guarded([&] { return fits(value, *weights_) ? value : unknown(); });
  }

  static py::object responsible(const Scope& scope, py::handle stmt) {
    return scope.top ? py::reinterpret_borrow<py::object>(stmt) : scope.import_stmt;
  }

  // A settings file that the checked module imports, built with the settings-file builder.
  std::optional<Namespace> read_file(const std::string& path, const Scope& scope, py::handle stmt) {
    if (scope.depth >= kMaxImportDepth || reading_.count(path)) return std::nullopt;
    py::object builder_block = shims().attr("BuilderWithSettingsTransforms")();
    py::object builder = builder_block.attr("__enter__")();
    py::object tree;
    bool built = true;
    try {
      tree = on_error(
          A("AstroidBuildingError"),
          [&] { return builder.attr("file_build")(path, fs::path(path).stem().string()); },
          [&] {
            built = false;
            return py::object(py::none());
          });
    } catch (...) {
      builder_block.attr("__exit__")(py::none(), py::none(), py::none());
      throw;
    }
    builder_block.attr("__exit__")(py::none(), py::none(), py::none());
    if (!built) return std::nullopt;
    // The builder files every tree in astroid's module cache; this one is ours alone.
    py::dict cache = A("MANAGER").attr("astroid_cache");
    py::object name = tree.attr("name");
    if (cache.contains(name) && py::object(cache[name]).is(tree))
      PyDict_DelItem(cache.ptr(), name.ptr());

    reading_.insert(path);
    Namespace ns;
    ns.weights = weights_;
    Scope inner{false, responsible(scope, stmt), py::str(path), scope.depth + 1};
    walk(tree.attr("body"), ns, inner, false);
    reading_.erase(path);
    return ns;
  }

  void import_from(py::handle stmt, Namespace& ns, const Scope& scope, bool nested) {
    py::object resp = responsible(scope, stmt);
    bool star = false;
    for (py::handle item : stmt.attr("names")) {
      if (text(py::tuple(py::reinterpret_borrow<py::object>(item))[0]) == "*") star = true;
    }
    // Django's own defaults: every setting it names goes back to its default.
    if (star && text(stmt.attr("modname")) == "django.conf.global_settings") {
      for (auto it = ns.names.begin(); it != ns.names.end();) {
        it = is_default_setting(it->first) ? ns.names.erase(it) : std::next(it);
      }
      return;
    }
    py::object level_obj = stmt.attr("level");
    long level = level_obj.is_none() ? 0 : level_obj.cast<long>();
    auto path = resolve_import(scope.file, text(stmt.attr("modname")), level);
    std::optional<Namespace> imported;
    if (path) imported = read_file(*path, scope, stmt);
    if (star) {
      if (!imported) {
        // An import that cannot be followed (a package, a file not in the project): inside a
        // block it may as well have failed, as `try: from .local import *` is meant to; at the
        // top level it ran, and may have set anything.
        if (!nested) forget_everything(ns);
        return;
      }
      if (imported->opaque) forget_everything(ns);
      for (const auto& [name, binding] : imported->names) {
        if (name.empty() || name[0] == '_') continue;
        ns.names[name] = Binding{binding.value, resp, py::none()};
      }
      return;
    }
    for (py::handle item : stmt.attr("names")) {
      py::tuple pair(py::reinterpret_borrow<py::object>(item));
      std::string name = text(pair[0]);
      std::string alias = pair[1].is_none() ? name : text(pair[1]);
      py::object value = unknown();
      if (imported && !imported->opaque) {
        auto it = imported->names.find(name);
        if (it != imported->names.end()) value = it->second.value;
      }
      ns.names[alias] = Binding{value, resp, py::none()};
    }
  }

  // `MIDDLEWARE.append(...)`, `INSTALLED_APPS.insert(...)`: applied to a copy of the value.
  void method_call(py::handle call, Namespace& ns, const Scope& scope, py::handle stmt) {
    py::object func = call.attr("func");
    if (!is(func, "Attribute")) return;
    auto name = changed_name(func.attr("expr"));
    if (!name || !ns.names.count(*name)) return;
    if (!is(func.attr("expr"), "Name")) {
      mark_unknown(ns, *name, responsible(scope, stmt));
      return;
    }
    static const std::set<std::string> methods = {"append", "insert",     "extend", "remove",
                                                  "update", "setdefault", "add",    "discard",
                                                  "pop",    "clear"};
    Binding& binding = ns.names[*name];
    py::object value = binding.value;
    py::object result = unknown();
    bool container =
        known(value) && (py::isinstance<py::list>(value) || py::isinstance<py::dict>(value) ||
                         py::isinstance<py::set>(value));
    if (container && methods.count(text(func.attr("attrname"))) &&
        py::len(call.attr("keywords")) == 0) {
      py::list args;
      bool all_known = true;
      for (py::handle arg : call.attr("args")) {
        py::object v = evaluate(arg, ns);
        if (!known(v) || is(arg, "Starred")) all_known = false;
        args.append(v);
      }
      if (all_known) {
        result = evaluate_guarded([&] {
          py::object copy = value.attr("copy")();
          copy.attr(func.attr("attrname"))(*args);
          return copy;
        });
      }
    }
    ns.names[*name] = Binding{kept(result), responsible(scope, stmt), py::none()};
  }

  void walk(py::handle body, Namespace& ns, const Scope& scope, bool nested) {
    for (py::handle stmt : body) statement(stmt, ns, scope, nested);
  }

  void statement(py::handle stmt, Namespace& ns, const Scope& scope, bool nested) {
    py::object resp = responsible(scope, stmt);
    if (is(stmt, "Assign")) {
      py::object value = evaluate(stmt.attr("value"), ns);
      py::list targets = stmt.attr("targets");
      bool plain = scope.top && targets.size() == 1 && is(targets[0], "AssignName");
      for (py::handle target : targets)
        bind(ns, target, value, resp, plain ? stmt : py::handle(py::none()));
    } else if (is(stmt, "AnnAssign")) {
      if (stmt.attr("value").is_none()) return;
      bool plain = scope.top && is(stmt.attr("target"), "AssignName");
      bind(ns, stmt.attr("target"), evaluate(stmt.attr("value"), ns), resp,
           plain ? stmt : py::handle(py::none()));
    } else if (is(stmt, "AugAssign")) {
      py::object target = stmt.attr("target");
      if (!is(target, "AssignName")) {
        if (auto name = changed_name(target)) mark_unknown(ns, *name, resp);
        return;
      }
      std::string name = text(target.attr("name"));
      auto it = ns.names.find(name);
      py::object old = it == ns.names.end() ? unknown() : it->second.value;
      py::object value = evaluate(stmt.attr("value"), ns);
      std::string oper = text(stmt.attr("op"));
      oper.pop_back();  // "+=" -> "+"
      py::object result = unknown();
      if (known(old) && known(value)) {
        if (oper == "+" && py::isinstance<py::list>(old)) {
          // list += iterable extends, whatever the iterable is
          result = evaluate_guarded([&] { return op("iadd")(old.attr("copy")(), value); });
        } else {
          result = apply_binary(oper, old, value, *weights_);
        }
      }
      ns.names[name] = Binding{kept(result), resp, py::none()};
    } else if (is(stmt, "Expr")) {
      if (is(stmt.attr("value"), "Call")) method_call(stmt.attr("value"), ns, scope, stmt);
    } else if (is(stmt, "Import")) {
      for (py::handle item : stmt.attr("names")) {
        py::tuple pair(py::reinterpret_borrow<py::object>(item));
        std::string name = pair[1].is_none() ? text(pair[0]) : text(pair[1]);
        mark_unknown(ns, name.substr(0, pair[1].is_none() ? name.find('.') : std::string::npos),
                     resp);
      }
    } else if (is(stmt, "ImportFrom")) {
      import_from(stmt, ns, scope, nested);
    } else if (is(stmt, "If")) {
      py::object test = evaluate(stmt.attr("test"), ns);
      if (known(test)) {
        walk(truthy(test) ? stmt.attr("body") : stmt.attr("orelse"), ns, scope, true);
      } else {
        Namespace yes = ns, no = ns;
        walk(stmt.attr("body"), yes, scope, true);
        walk(stmt.attr("orelse"), no, scope, true);
        ns = merge(yes, no, resp);
      }
    } else if (is(stmt, "TryExcept")) {
      walk(stmt.attr("body"), ns, scope, true);
      walk(stmt.attr("orelse"), ns, scope, true);
    } else if (is(stmt, "TryFinally")) {
      walk(stmt.attr("body"), ns, scope, true);
      walk(stmt.attr("finalbody"), ns, scope, true);
    } else if (is(stmt, "With")) {
      walk(stmt.attr("body"), ns, scope, true);
    } else if (is(stmt, "For") || is(stmt, "While")) {
      Namespace looped = ns;
      if (is(stmt, "For")) bind(looped, stmt.attr("target"), unknown(), resp, py::none());
      walk(stmt.attr("body"), looped, scope, true);
      walk(stmt.attr("orelse"), looped, scope, true);
      ns = merge(looped, ns, resp);
    } else if (is(stmt, "FunctionDef") || is(stmt, "ClassDef")) {
      mark_unknown(ns, text(stmt.attr("name")), resp);
    } else if (is(stmt, "Delete")) {
      for (py::handle target : stmt.attr("targets")) {
        if (is(target, "DelName")) {
          ns.names.erase(text(target.attr("name")));
        } else if (auto name = changed_name(target)) {
          mark_unknown(ns, *name, resp);
        }
      }
    }
  }
};

// ---------------------------------------------------------------------------------------
// The rules

enum class Fix { kNone, kSetValue, kAppendAssign, kInsertEntry, kAppendRebind, kRemove };

struct Finding {
  explicit Finding(std::string c) : code(std::move(c)) {}
  std::string code;
  py::object stmt = py::none();  // where it is reported; none: the module's last statement
  py::dict record;
  Fix fix = Fix::kNone;
  py::object target = py::none();  // the assignment or list display that the fix edits
  std::string setting;
  py::object value = py::none();  // the value or middleware entry that the fix writes
  long index = 0;
  long size = 0;  // entries in the middleware list
};

struct Effective {
  py::object value;
  const Binding* binding;  // none: the module leaves it at the default
};

Effective effective(const Namespace& ns, py::handle defaults, const char* name) {
  auto it = ns.names.find(name);
  if (it != ns.names.end()) return {it->second.value, &it->second};
  if (ns.opaque) return {unknown(), nullptr};
  return {py::getattr(defaults, name, py::none()), nullptr};
}

// -1 unknown, 0 no, 1 yes.
int holds(const py::object& entries, const char* entry) {
  if (!known(entries) ||
      !(py::isinstance<py::list>(entries) || py::isinstance<py::tuple>(entries))) {
    return -1;
  }
  for (py::handle item : entries) {
    if (py::isinstance<py::str>(item) && text(item) == entry) return 1;
  }
  return 0;
}

long position_of(const py::object& entries, const char* entry) {
  for (long i = 0; i < static_cast<long>(py::len(entries)); ++i) {
    py::object item = entries[py::int_(i)];
    if (py::isinstance<py::str>(item) && text(item) == entry) return i;
  }
  return -1;
}

// Where a person puts each middleware: security first, clickjacking last, CSRF after the
// session and common middleware and before authentication.
long middleware_index(const py::object& entries, const char* entry) {
  long size = static_cast<long>(py::len(entries));
  std::string wanted = entry;
  if (wanted == kSecurityMiddleware) return 0;
  if (wanted == kXFrameMiddleware) return size;
  long after = -1;
  for (const char* before : {kSecurityMiddleware, kSessionMiddleware, kCommonMiddleware}) {
    after = std::max(after, position_of(entries, before));
  }
  if (after >= 0) return after + 1;
  for (const char* later : {kAuthMiddleware, kMessageMiddleware}) {
    long at = position_of(entries, later);
    if (at >= 0) return at;
  }
  return size;
}

struct Middleware {
  std::string setting;
  py::object entries;
  const Binding* binding;
};

// Django 1.11 reads MIDDLEWARE_CLASSES while MIDDLEWARE is None; later releases only MIDDLEWARE.
Middleware middleware(const Namespace& ns, py::handle defaults) {
  Effective mw = effective(ns, defaults, "MIDDLEWARE");
  Middleware result{"MIDDLEWARE", mw.value, mw.binding};
  if (known(mw.value) && mw.value.is_none()) {
    Effective classes = effective(ns, defaults, "MIDDLEWARE_CLASSES");
    result = Middleware{"MIDDLEWARE_CLASSES", classes.value, classes.binding};
  }
  if (known(result.entries) && result.entries.is_none()) result.entries = unknown();
  return result;
}

Finding middleware_finding(const char* code, const Middleware& mw, const char* entry) {
  Finding f(code);
  f.record["setting"] = mw.setting;
  f.record["middleware"] = entry;
  if (!mw.binding) return f;  // left at Django's default: no list of the module's to edit
  f.stmt = mw.binding->stmt;
  f.setting = mw.setting;
  f.value = py::str(entry);
  f.index = middleware_index(mw.entries, entry);
  f.size = static_cast<long>(py::len(mw.entries));
  py::object assign = mw.binding->assign;
  if (!assign.is_none() &&
      (is(assign.attr("value"), "List") || is(assign.attr("value"), "Tuple"))) {
    bool literal = true;
    for (py::handle element : assign.attr("value").attr("elts"))
      literal = literal && is(element, "Const");
    if (literal) {
      f.fix = Fix::kInsertEntry;
      f.target = assign.attr("value");
      return f;
    }
  }
  f.fix = Fix::kAppendRebind;
  return f;
}

// A finding's record travels through pylint's workers and its JSON reporter: plain values
// only, anything else as its text.
py::object record_value(py::handle value) {
  if (value.is_none() || py::isinstance<py::bool_>(value) || py::isinstance<py::int_>(value) ||
      py::isinstance<py::float_>(value) || py::isinstance<py::str>(value)) {
    return py::reinterpret_borrow<py::object>(value);
  }
  return py::repr(value);
}

Finding setting_finding(const char* code, const char* name, const Effective& current,
                        py::object secure) {
  Finding f(code);
  f.record["setting"] = name;
  f.record["value"] = record_value(current.value);
  f.setting = name;
  f.value = secure;
  if (!current.binding) {
    f.fix = Fix::kAppendAssign;
    return f;
  }
  f.stmt = current.binding->stmt;
  py::object assign = current.binding->assign;
  if (assign.is_none()) {
    // Set by an import or by a statement that is not a plain assignment: override it.
    f.fix = Fix::kAppendAssign;
  } else if (is(assign.attr("value"), "Const")) {
    f.fix = Fix::kSetValue;
    f.target = assign;
  }
  return f;
}

// An insecure value written over a secure default: the fix takes the statement out.
Finding removal_finding(const char* code, const char* name, const Effective& current,
                        py::object secure) {
  Finding f(code);
  f.record["setting"] = name;
  f.record["value"] = record_value(current.value);
  f.setting = name;
  f.value = secure;
  if (current.binding) {
    f.stmt = current.binding->stmt;
    py::object assign = current.binding->assign;
    if (!assign.is_none() && is(assign.attr("value"), "Const")) {
      f.fix = Fix::kRemove;
      f.target = assign;
    }
  }
  return f;
}

bool is_true(py::handle value) { return value.is(py::bool_(true)); }

std::vector<Finding> evaluate_rules(const Namespace& ns, py::handle defaults) {
  std::vector<Finding> out;
  Effective debug = effective(ns, defaults, "DEBUG");
  if (known(debug.value) && truthy(debug.value)) {
    out.push_back(removal_finding("C4005", "DEBUG", debug, py::bool_(false)));
  }

  Middleware mw = middleware(ns, defaults);
  int security = holds(mw.entries, kSecurityMiddleware);
  int csrf = holds(mw.entries, kCsrfMiddleware);
  if (security == 0) out.push_back(middleware_finding("C4007", mw, kSecurityMiddleware));
  if (holds(mw.entries, kXFrameMiddleware) == 0) {
    out.push_back(middleware_finding("C4008", mw, kXFrameMiddleware));
  }
  if (csrf == 0) out.push_back(middleware_finding("C4009", mw, kCsrfMiddleware));

  // Without the security middleware the SECURE_* settings do nothing; C4007 says so already.
  bool secure_headers = security != 0;
  Effective hsts = effective(ns, defaults, "SECURE_HSTS_SECONDS");
  bool hsts_on = known(hsts.value) && truthy(hsts.value);
  if (secure_headers && known(hsts.value) && !hsts_on) {
    out.push_back(setting_finding("C4010", "SECURE_HSTS_SECONDS", hsts, py::int_(kHstsSeconds)));
  }
  Effective subdomains = effective(ns, defaults, "SECURE_HSTS_INCLUDE_SUBDOMAINS");
  if (secure_headers && hsts_on && known(subdomains.value) && !is_true(subdomains.value)) {
    out.push_back(
        setting_finding("C4011", "SECURE_HSTS_INCLUDE_SUBDOMAINS", subdomains, py::bool_(true)));
  }
  Effective nosniff = effective(ns, defaults, "SECURE_CONTENT_TYPE_NOSNIFF");
  if (secure_headers && known(nosniff.value) && !is_true(nosniff.value)) {
    out.push_back(
        setting_finding("C4012", "SECURE_CONTENT_TYPE_NOSNIFF", nosniff, py::bool_(true)));
  }
  Effective redirect = effective(ns, defaults, "SECURE_SSL_REDIRECT");
  if (secure_headers && known(redirect.value) && !is_true(redirect.value)) {
    out.push_back(setting_finding("C4013", "SECURE_SSL_REDIRECT", redirect, py::bool_(true)));
  }

  // Session cookies matter when the sessions app or middleware is in use (or may be).
  int sessions_app = holds(effective(ns, defaults, "INSTALLED_APPS").value, kSessionsApp);
  int sessions_mw = holds(mw.entries, kSessionMiddleware);
  bool sessions = !(sessions_app == 0 && sessions_mw == 0);
  Effective cookie_secure = effective(ns, defaults, "SESSION_COOKIE_SECURE");
  if (sessions && known(cookie_secure.value) && !truthy(cookie_secure.value)) {
    out.push_back(
        setting_finding("C4014", "SESSION_COOKIE_SECURE", cookie_secure, py::bool_(true)));
  }
  Effective httponly = effective(ns, defaults, "SESSION_COOKIE_HTTPONLY");
  if (sessions && known(httponly.value) && !truthy(httponly.value)) {
    out.push_back(removal_finding("C4015", "SESSION_COOKIE_HTTPONLY", httponly, py::bool_(true)));
  }

  Effective use_sessions = effective(ns, defaults, "CSRF_USE_SESSIONS");
  Effective csrf_secure = effective(ns, defaults, "CSRF_COOKIE_SECURE");
  if (csrf != 0 && known(use_sessions.value) && !truthy(use_sessions.value) &&
      known(csrf_secure.value) && !truthy(csrf_secure.value)) {
    out.push_back(setting_finding("C4016", "CSRF_COOKIE_SECURE", csrf_secure, py::bool_(true)));
  }
  Effective preload = effective(ns, defaults, "SECURE_HSTS_PRELOAD");
  if (secure_headers && hsts_on && known(preload.value) && !is_true(preload.value)) {
    out.push_back(setting_finding("C4017", "SECURE_HSTS_PRELOAD", preload, py::bool_(true)));
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// Which modules are settings modules

// The linted module's name comes from its path under the project root, the settings path is
// an import path: blog/settings.py is "blog.settings", a settings package's __init__.py is
// "blog.settings.__init__", and a project kept under src/ names "src.blog.settings".
// A settings path given as a file path (blog/settings.py) names the same module.
bool names_settings_module(const std::string& module, std::string settings) {
  auto ends_with = [](const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (ends_with(settings, ".py")) settings.resize(settings.size() - 3);
  std::replace(settings.begin(), settings.end(), '/', '.');
  if (settings.empty()) return false;
  for (const std::string& candidate :
       {module, ends_with(module, ".__init__") ? module.substr(0, module.size() - 9) : module}) {
    if (candidate == settings || ends_with(candidate, "." + settings)) return true;
  }
  return false;
}

bool is_settings_module(py::handle module_node, py::handle settings_files) {
  if (settings_files.is_none()) return false;
  std::string name = text(module_node.attr("name"));
  std::vector<std::string> paths;
  if (py::isinstance<py::str>(settings_files)) {
    paths.push_back(text(settings_files));
  } else {
    for (py::handle path : settings_files) paths.push_back(text(path));
  }
  for (const std::string& path : paths) {
    if (names_settings_module(name, path)) return true;
  }
  return false;
}

py::object defaults_for(py::handle version) {
  return G("dependencies").attr("get_default_django_settings")(version);
}

// The first version's fix for `code` on this module, when the finding holds for some version.
std::optional<Finding> plan(py::handle module_node, const std::string& code) {
  Namespace ns = Reader().read(module_node);
  for (const char* version : kDjangoVersions) {
    for (Finding& f : evaluate_rules(ns, defaults_for(py::str(version)))) {
      if (f.code == code && f.fix != Fix::kNone) return f;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// The fixes

py::object last_statement(py::handle module_node) {
  py::list body = module_node.attr("body");
  if (body.size() == 0) return py::none();
  return body[body.size() - 1];
}

bool name_is_read(py::handle module_node, const std::string& name) {
  for (py::handle node : module_node.attr("nodes_of_class")(A("Name"))) {
    if (text(node.attr("name")) == name) return true;
  }
  return false;
}

// A new statement goes after everything the module holds, on a line of its own.
void append_statement(py::handle module_node, const std::string& source) {
  py::object stmt = A("extract_node")(source);
  long line = 0;
  for (py::handle existing : module_node.attr("body")) {
    for (const char* field : {"lineno", "tolineno"}) {
      py::object value = py::getattr(existing, field, py::none());
      if (py::isinstance<py::int_>(value)) line = std::max(line, value.cast<long>());
    }
  }
  for (py::handle node : stmt.attr("nodes_of_class")(A("NodeNG"))) node.attr("lineno") = line + 1;
  stmt.attr("parent") = module_node;
  module_node.attr("body").attr("append")(stmt);
  // The review road places statements that a fix creates after the module's last line.
  if (vettor::hasattr(module_node, "new_nodes")) module_node.attr("new_nodes").attr("append")(stmt);
}

void set_value(py::handle assign, py::handle value) {
  py::object old = assign.attr("value");
  assign.attr("value") =
      A("Const")(value, py::arg("lineno") = old.attr("lineno"),
                 py::arg("col_offset") = old.attr("col_offset"), py::arg("parent") = assign);
}

std::string literal(py::handle value) { return text(py::repr(value)); }

void apply(py::handle module_node, const Finding& f) {
  switch (f.fix) {
    case Fix::kNone:
      return;
    case Fix::kSetValue:
      set_value(f.target, f.value);
      return;
    case Fix::kAppendAssign:
      append_statement(module_node, f.setting + " = " + literal(f.value));
      return;
    case Fix::kInsertEntry: {
      py::list elements = f.target.attr("elts");
      long size = static_cast<long>(elements.size());
      py::object neighbour =
          size == 0 ? f.target : py::object(elements[std::min(f.index, size - 1)]);
      py::object entry = A("Const")(f.value, py::arg("lineno") = neighbour.attr("lineno"),
                                    py::arg("col_offset") = neighbour.attr("col_offset"),
                                    py::arg("parent") = f.target);
      elements.attr("insert")(f.index, entry);
      return;
    }
    case Fix::kAppendRebind: {
      // The list comes from elsewhere (a base settings module, a computation): build the new
      // one from it rather than mutate it, which works for a tuple as well.
      const std::string& name = f.setting;
      std::string entry = literal(f.value);
      std::string source;
      if (f.index == 0) {
        source = name + " = [" + entry + ", *" + name + "]";
      } else if (f.index >= f.size) {
        source = name + " = [*" + name + ", " + entry + "]";
      } else {
        std::string at = std::to_string(f.index);
        source =
            name + " = [*" + name + "[:" + at + "], " + entry + ", *" + name + "[" + at + ":]]";
      }
      append_statement(module_node, source);
      return;
    }
    case Fix::kRemove: {
      py::object assign = f.target;
      if (py::object(assign.attr("parent")).is(module_node) &&
          !name_is_read(module_node, f.setting)) {
        module_node.attr("body").attr("remove")(assign);
      } else {
        // Something still reads it, or it sits inside a block: keep the line, make it secure.
        set_value(assign, f.value);
      }
      return;
    }
  }
}

struct Rule {
  const char* code;
  const char* transform;
  const char* predicate;
};

// Fix pairs in the order the code transformer registers them; C4005's pair is offered to
// build_transformer_visitor only (the review road removes that statement with remove_node).
constexpr Rule kRules[] = {
    {"C4005", "remove_debug_true", "is_debug_enabled"},
    {"C4007", "add_security_middlware", "is_missing_security_middleware"},
    {"C4008", "add_xframe_middlware", "is_missing_xframe_middleware"},
    {"C4009", "add_csrf_middlware", "is_missing_csrf_middleware"},
    {"C4010", "add_hsts_seconds", "is_missing_secure_hsts_seconds"},
    {"C4011", "add_hsts_subdomains", "is_missing_secure_hsts_subdomains"},
    {"C4012", "add_secure_content_type_nosniff", "is_missing_secure_content_type_nosniff"},
    {"C4013", "add_secure_ssl_redirect", "is_missing_secure_ssl_redirect"},
    {"C4014", "add_session_cookie_secure", "is_missing_session_cookie_secure"},
    {"C4015", "remove_session_cookie_http_only", "is_session_cookie_http_only_insecure"},
    {"C4016", "add_csrf_cookie_secure", "is_missing_csrf_cookie_secure"},
    {"C4017", "add_hsts_preload", "is_missing_secure_hsts_preload"},
};

bool predicate(const char* code, py::object module_node, py::object settings_modpath) {
  if (!is(module_node, "Module") || !is_settings_module(module_node, settings_modpath))
    return false;
  return plan(module_node, code).has_value();
}

py::object transform(const char* code, py::object module_node) {
  if (auto f = plan(module_node, code)) apply(module_node, *f);
  return module_node;
}

py::object build_transformer_visitor(py::object message_ids, py::object settings_modpath) {
  py::object visitor = G("helpers").attr("NodeTransformVisitor")();
  py::object module_class = A("Module");
  for (const Rule& rule : kRules) {
    if (!truthy(op("contains")(message_ids, rule.code))) continue;
    const char* name = rule.predicate;
    py::cpp_function test(
        [name, settings_modpath](py::object node) {
          return G(name)(py::arg("module_node") = node,
                         py::arg("settings_modpath") = settings_modpath);
        },
        py::arg("node"));
    visitor.attr("register_transform")(module_class, G(rule.transform), test);
  }
  return visitor;
}

// The review road's fix for C4005 and C4015: the statement's lines replaced by nothing, or by
// the statement with its secure value when the module still reads the name or the statement
// sits inside a block.
py::tuple remove_node(py::object atok, py::object node, py::object start, py::object end) {
  py::tuple nothing = py::make_tuple(py::none(), py::none(), py::none());
  py::object target;
  if (is(node, "Assign")) {
    py::list targets = node.attr("targets");
    if (targets.size() != 1) return nothing;
    target = targets[0];
  } else if (is(node, "AnnAssign")) {
    target = node.attr("target");
  } else {
    return nothing;
  }
  if (!is(target, "AssignName") || !is(node.attr("value"), "Const")) return nothing;
  std::string name = text(target.attr("name"));
  py::object value = node.attr("value").attr("value");
  py::object secure;
  if (name == "DEBUG" && truthy(value)) {
    secure = py::bool_(false);
  } else if (name == "SESSION_COOKIE_HTTPONLY" && !truthy(value)) {
    secure = py::bool_(true);
  } else {
    return nothing;
  }
  // The suggestion replaces whole lines: another statement sharing them (after a ";") would
  // go with this one.
  long first = node.attr("first_token").attr("startpos").cast<long>();
  long last = node.attr("last_token").attr("endpos").cast<long>();
  py::object token_module = import("token");
  std::vector<long> layout;
  for (const char* kind : {"COMMENT", "NL", "NEWLINE", "INDENT", "DEDENT", "ENDMARKER"}) {
    layout.push_back(token_module.attr(kind).cast<long>());
  }
  for (py::handle token : atok.attr("tokens")) {
    long line = py::tuple(token.attr("start"))[0].cast<long>();
    if (line < start.cast<long>() || line > end.cast<long>()) continue;
    long at = token.attr("startpos").cast<long>();
    if (at >= first && at < last) continue;
    long kind = token.attr("type").cast<long>();
    if (std::find(layout.begin(), layout.end(), kind) != layout.end()) continue;
    if (text(token.attr("string")) == ";") continue;
    return nothing;
  }

  py::object module_node = node.attr("root")();
  if (py::object(node.attr("parent")).is(module_node) && !name_is_read(module_node, name)) {
    return py::make_tuple(start, end, py::str(""));
  }
  // Rewrite only the value's tokens, so the rest of the lines reads as written, a trailing
  // comment included.
  py::object source = atok.attr("text");  // token offsets count characters, not bytes
  py::object value_node = node.attr("value");
  long value_first = value_node.attr("first_token").attr("startpos").cast<long>();
  long value_last = value_node.attr("last_token").attr("endpos").cast<long>();
  long line_end = source.attr("find")("\n", last).cast<long>();
  if (line_end < 0) line_end = static_cast<long>(py::len(source));
  auto part = [&](long from, long to) {
    return text(source[py::slice(py::int_(from), py::int_(to), py::none())]);
  };
  py::str rewritten(part(first, value_first) + literal(secure) + part(value_last, line_end));
  return py::make_tuple(start, end, rewritten.attr("rstrip")());
}

// ---------------------------------------------------------------------------------------
// The checker

void visit_module(py::object self, py::object node) {
  py::object config = self.attr("linter").attr("config");
  if (!is_settings_module(node, py::getattr(config, "settings_files", py::none()))) return;
  py::object defaults = defaults_for(py::getattr(config, "django_version", py::none()));
  Namespace ns = Reader().read(node);
  py::object fallback = last_statement(node);
  for (const Finding& f : evaluate_rules(ns, defaults)) {
    py::object at = !f.stmt.is_none() ? f.stmt : fallback;
    if (at.is_none()) {
      self.attr("add_message")(f.code, py::arg("line") = 1, py::arg("node") = node,
                               py::arg("args") = f.record);
    } else {
      self.attr("add_message")(f.code, py::arg("line") = at.attr("fromlineno"),
                               py::arg("node") = at, py::arg("args") = f.record);
    }
  }
}

// The settings-file builder lives in `shims`, whose loading also puts its inference
// transforms on astroid's global manager. Loading it before the first file of a lint that
// names settings modules keeps every file of that lint under the same transforms, rather than
// those linted after the settings module only.
void open(py::object self) {
  py::object files = py::getattr(self.attr("linter").attr("config"), "settings_files", py::none());
  if (!files.is_none() && truthy(files)) shims();
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::object cls = make_source_checker(
      m, "settings",
      make_msgs(helpers,
                {{"C4005", "debug-enabled",
                  "DEBUG is set to True in a settings module; a deployed site must never run "
                  "in debug mode."},
                 {"C4007", "missing-security-middleware",
                  "SecurityMiddleware is not in MIDDLEWARE, so the SECURE_* settings have no "
                  "effect."},
                 {"C4008", "missing-xframe-middleware",
                  "XFrameOptionsMiddleware is not in MIDDLEWARE, so pages are served without "
                  "an X-Frame-Options header against clickjacking."},
                 {"C4009", "missing-csrf-middleware",
                  "CsrfViewMiddleware is not in MIDDLEWARE, so forms are not protected against "
                  "cross-site request forgery."},
                 {"C4010", "missing-hsts-seconds",
                  "SECURE_HSTS_SECONDS is not set, so browsers are not told to use HTTPS only "
                  "(HTTP Strict Transport Security)."},
                 {"C4011", "missing-hsts-include-subdomains",
                  "SECURE_HSTS_INCLUDE_SUBDOMAINS is not True, so subdomains can still be "
                  "reached over plain HTTP."},
                 {"C4012", "missing-content-type-nosniff",
                  "SECURE_CONTENT_TYPE_NOSNIFF is not True, so browsers may guess content "
                  "types (no X-Content-Type-Options: nosniff header)."},
                 {"C4013", "missing-ssl-redirect",
                  "SECURE_SSL_REDIRECT is not True, so plain HTTP requests are not redirected "
                  "to HTTPS."},
                 {"C4014", "missing-session-cookie-secure",
                  "SESSION_COOKIE_SECURE is not True, so the session cookie is also sent over "
                  "plain HTTP."},
                 {"C4015", "session-cookie-httponly-disabled",
                  "SESSION_COOKIE_HTTPONLY is set to False, so scripts in the page can read the "
                  "session cookie."},
                 {"C4016", "missing-csrf-cookie-secure",
                  "CSRF_COOKIE_SECURE is not True, so the CSRF cookie is also sent over plain "
                  "HTTP."},
                 {"C4017", "missing-hsts-preload",
                  "SECURE_HSTS_PRELOAD is not True, so the site cannot be submitted to the "
                  "browsers' HSTS preload list."}}));
  add_method(cls, "open", &open);
  add_visit(cls, "visit_module", &visit_module);
  return cls;
}

}  // namespace

PYBIND11_MODULE(settings, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("dependencies") = import_sibling(m, "dependencies", 2);
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("_UNKNOWN") = import("builtins").attr("object")();

  m.attr("SECURITY_MIDDLEWARE") = kSecurityMiddleware;
  m.attr("XFRAME_MIDDLEWARE") = kXFrameMiddleware;
  m.attr("CSRF_MIDDLEWARE") = kCsrfMiddleware;
  m.attr("HSTS_SECONDS") = kHstsSeconds;

  m.attr("Codes") = make_codes(m, {"C4005", "C4007", "C4008", "C4009", "C4010", "C4011", "C4012",
                                   "C4013", "C4014", "C4015", "C4016", "C4017"});
  m.attr("Checker") = make_checker(m, helpers);

  for (const Rule& rule : kRules) {
    const char* code = rule.code;
    m.def(
        rule.predicate,
        [code](py::object module_node, py::object settings_modpath) {
          return predicate(code, module_node, settings_modpath);
        },
        py::arg("module_node"), py::arg("settings_modpath"));
    m.def(
        rule.transform, [code](py::object module_node) { return transform(code, module_node); },
        py::arg("module_node"));
  }
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"),
        py::arg("settings_modpath"));
  m.def("remove_node", &remove_node, py::arg("atok"), py::arg("node"), py::arg("start"),
        py::arg("end"));
}
