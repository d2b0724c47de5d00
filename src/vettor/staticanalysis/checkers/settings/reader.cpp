// Reading a settings module the way Django imports it, into names bound to plain values or to
// "unknown". The reader computes only values of bounded size: a settings value is a short
// text, a small number or a short list, and anything much larger is unknown instead.
#include "settings.hpp"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <set>
#include <system_error>

namespace vettor::settings {
namespace {
namespace fs = std::filesystem;

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

void forget_everything(Namespace& ns) {
  for (auto& entry : ns.names) entry.second.value = unknown();
  ns.opaque = true;
}

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

// What a call evaluates to: only the settings-file builder's path folds are known. A value
// read from the environment (`os.environ.get("DEBUG", "True")`, `envbool("DEBUG", "True")`) is
// whatever the deployment sets, not the default written beside it.
py::object evaluate_call(py::handle node, const Namespace&, int) {
  py::object builder = shims();
  if (truthy(builder.attr("looks_like_path_manipulation")(node))) {
    py::object folded =
        evaluate_guarded([&] { return builder.attr("transform_path_manipulation")(node); });
    if (known(folded) && is(folded, "Const")) return folded.attr("value");
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

// Whether the module's namespace, `namespace` (a globals() call), is only read where it
// stands: `globals().get("X")`, `globals()["X"]`, `"X" in globals()`.
bool only_read(py::handle namespace_) {
  py::object parent = namespace_.attr("parent");
  if (is(parent, "Compare")) return true;
  if (is(parent, "Subscript")) {
    return py::object(parent.attr("value")).is(namespace_) &&
           text(parent.attr("ctx")).find("Load") != std::string::npos;
  }
  if (!is(parent, "Attribute")) return false;
  static const std::set<std::string> reads = {"get", "keys", "items", "values", "copy",
                                              "__contains__", "__getitem__"};
  return reads.count(text(parent.attr("attrname"))) > 0;
}

// Whether a statement hands the module's namespace to code the reader does not follow
// (`load_settings(globals())`, `globals().update(...)`, `exec(...)`,
// `setattr(sys.modules[__name__], ...)`, `load_settings(__name__)`): after it, any name may
// hold anything. Function and
// class bodies do not run here.
// A call given the module's own name finds the module by it and may fill any of its names
// (`DockerBaseSettings.load_settings(__name__)`); a logger named after the module does not.
bool hands_over_module_name(py::handle call) {
  py::object func = call.attr("func");
  py::object callee = is(func, "Attribute") ? func.attr("attrname")
                                            : py::getattr(func, "name", py::none());
  if (!callee.is_none() && text(callee) == "getLogger") return false;
  std::vector<py::object> arguments;
  for (py::handle arg : call.attr("args")) arguments.push_back(py::reinterpret_borrow<py::object>(arg));
  py::object keywords = call.attr("keywords");
  if (!keywords.is_none()) {
    for (py::handle keyword : keywords) arguments.push_back(keyword.attr("value"));
  }
  for (const py::object& arg : arguments) {
    if (is(arg, "Name") && text(arg.attr("name")) == "__name__") return true;
  }
  return false;
}

bool may_bind_any_name(py::handle stmt) {
  py::tuple skip = py::make_tuple(A("FunctionDef"), A("AsyncFunctionDef"), A("Lambda"), A("ClassDef"));
  for (py::handle call : stmt.attr("nodes_of_class")(A("Call"), skip)) {
    if (hands_over_module_name(call)) return true;
    py::object func = call.attr("func");
    if (!is(func, "Name")) continue;
    std::string name = text(func.attr("name"));
    bool bare = py::len(call.attr("args")) == 0 && py::len(call.attr("keywords")) == 0;
    if (name == "exec") return true;
    if ((name == "globals" || name == "vars" || name == "locals") && bare && !only_read(call)) {
      return true;
    }
  }
  for (py::handle attribute : stmt.attr("nodes_of_class")(A("Attribute"), skip)) {
    py::object receiver = attribute.attr("expr");
    if (text(attribute.attr("attrname")) == "modules" && is(receiver, "Name") &&
        text(receiver.attr("name")) == "sys") {
      return true;
    }
  }
  return false;
}

bool is_setting_name(const std::string& name) {
  if (name.empty() || name[0] == '_') return false;
  bool cased = false;
  for (char c : name) {
    if (c >= 'a' && c <= 'z') return false;
    cased = cased || (c >= 'A' && c <= 'Z');
  }
  return cased;
}

// A settings class (django-configurations, a class whose properties a helper loads into the
// module) holds settings the module itself does not bind: those names are not known here.
void settings_of_class(Namespace& ns, py::handle class_def, py::handle stmt) {
  for (py::handle member : class_def.attr("body")) {
    std::vector<std::string> names;
    if (is(member, "Assign")) {
      for (py::handle target : member.attr("targets")) {
        if (is(target, "AssignName")) names.push_back(text(target.attr("name")));
      }
    } else if (is(member, "AnnAssign") && is(member.attr("target"), "AssignName")) {
      names.push_back(text(member.attr("target").attr("name")));
    } else if (is(member, "FunctionDef") || is(member, "AsyncFunctionDef")) {
      names.push_back(text(member.attr("name")));
    }
    for (const std::string& name : names) {
      if (is_setting_name(name) && !ns.names.count(name)) mark_unknown(ns, name, stmt);
    }
  }
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
      py::dict fixed = G("fixed_sources");
      py::str key = vettor::bytes_text(path);
      py::str stem = vettor::bytes_text(fs::path(path).stem().string());
      tree = on_error(
          A("AstroidBuildingError"),
          [&] {
            if (fixed.contains(key)) return builder.attr("string_build")(fixed[key], stem, key);
            return builder.attr("file_build")(key, stem);
          },
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
    Scope inner{false, responsible(scope, stmt), vettor::bytes_text(path), scope.depth + 1};
    walk(tree.attr("body"), ns, inner, false);
    reading_.erase(path);
    return ns;
  }

  // Reads `from ... import ...` as a deployment runs it (meta.read_settings_import, which the
  // search for the deployment's settings modules reads imports with too); `optional`: it
  // stands in a `try:` whose `except` takes an ImportError. True when it fails.
  bool import_from(py::handle stmt, Namespace& ns, const Scope& scope, bool nested, bool optional) {
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
      return false;
    }
    py::tuple read = G("meta").attr("read_settings_import")(scope.file, stmt.attr("modname"),
                                                            stmt.attr("level"), optional);
    if (optional && truthy(read[1])) return true;
    std::optional<Namespace> imported;
    if (!read[0].is_none()) imported = read_file(text(read[0]), scope, stmt);
    if (star) {
      if (!imported) {
        // An import that cannot be followed (a package, a file not in the project): inside a
        // block it may as well have failed; at the top level it ran, and may have set
        // anything.
        if (!nested) forget_everything(ns);
        return false;
      }
      if (imported->opaque) forget_everything(ns);
      for (const auto& [name, binding] : imported->names) {
        if (name.empty() || name[0] == '_') continue;
        ns.names[name] = Binding{binding.value, resp, py::none()};
      }
      return false;
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
    return false;
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

  // A `try:` block: an optional import in it that fails (see import_from) ends the block, and
  // the `except` clause that takes the ImportError runs instead.
  void try_block(py::handle stmt, Namespace& ns, const Scope& scope) {
    py::object meta = G("meta");
    bool optional = false;
    for (py::handle handler : stmt.attr("handlers")) {
      optional = optional || truthy(meta.attr("catches_import_error")(handler));
    }
    for (py::handle inner : stmt.attr("body")) {
      if (optional && is(inner, "ImportFrom") && import_from(inner, ns, scope, true, true)) {
        for (py::handle handler : stmt.attr("handlers")) {
          if (!truthy(meta.attr("catches_import_error")(handler))) continue;
          walk(handler.attr("body"), ns, scope, true);
          break;
        }
        return;
      }
      if (!is(inner, "ImportFrom") || !optional) statement(inner, ns, scope, true);
    }
    walk(stmt.attr("orelse"), ns, scope, true);
  }

  void walk(py::handle body, Namespace& ns, const Scope& scope, bool nested) {
    for (py::handle stmt : body) statement(stmt, ns, scope, nested);
  }

  void statement(py::handle stmt, Namespace& ns, const Scope& scope, bool nested) {
    py::object resp = responsible(scope, stmt);
    bool simple = is(stmt, "Assign") || is(stmt, "AnnAssign") || is(stmt, "AugAssign") ||
                  is(stmt, "Expr");
    if (simple && may_bind_any_name(stmt)) forget_everything(ns);
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
      import_from(stmt, ns, scope, nested, false);
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
      try_block(stmt, ns, scope);
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
      if (is(stmt, "ClassDef")) settings_of_class(ns, stmt, resp);
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

}  // namespace

Namespace read_settings(py::handle module) { return Reader().read(module); }

py::object installed_apps(py::object module) {
  Namespace ns = read_settings(module);
  auto found = ns.names.find("INSTALLED_APPS");
  if (found == ns.names.end()) return ns.opaque ? py::object(py::none()) : py::object(py::list());
  py::object value = found->second.value;
  if (!known(value) || !(PyList_Check(value.ptr()) || PyTuple_Check(value.ptr()))) {
    return py::none();
  }
  py::list apps;
  for (py::handle entry : value) {
    if (!PyUnicode_Check(entry.ptr())) return py::none();
    apps.append(entry);
  }
  return apps;
}

}  // namespace vettor::settings
