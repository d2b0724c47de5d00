// Queryset rules: len() on a queryset, foreign-key primary keys read through the related
// object, count() where only existence matters, and querysets tested for truth.
//
// Querysets, related fields and models are recognised through astroid inference and the
// Django class predicates of helpers only, never by the names they were imported under.
// Every predicate answers None when the node does not have the shape it looks for, and
// otherwise the value of its last test; callers only test the truth of the answer.
#include <vettor/rules.hpp>

#include <optional>
#include <string>

namespace {
using namespace vettor;
ModuleRef G;

py::object astroid_class(const char* name) { return G("astroid").attr(name); }

py::object helper(const char* name) { return G("helpers").attr(name); }

// An inference that would need more stack than a budget allows is no answer, the same
// wherever the rule asks it (helpers.within_inference_budget).
py::object infer(py::handle node) {
  return helper("within_inference_budget")(G("safe_infer"), node);
}

bool is_a(py::handle obj, py::handle type) { return vettor::isinstance(obj, type); }

// `left == right` as Python evaluates it: the answer object itself, not its truth.
py::list as_list(py::object value) {
  if (value.is_none()) return py::list();
  return py::list(value);
}

py::object equals(py::handle left, py::handle right) {
  PyObject* result = PyObject_RichCompare(left.ptr(), right.ptr(), Py_EQ);
  if (!result) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(result);
}

// ---------------------------------------------------------------------------------------
// Predicates

bool is_list_call(py::handle node) {
  if (!is_a(node, astroid_class("Call"))) return false;
  py::object callee = infer(node.attr("func"));
  if (!is_a(callee, astroid_class("ClassDef"))) return false;
  return text_is(callee.attr("qname")(), "builtins.list");
}

// A list made from a queryset (`list(qs)`, or a name bound only to such lists) holds rows
// already fetched: len() of it and a truth test on it are what they should be. Astroid infers
// `list(x)` of a list to x itself, and a queryset's inferred value is a list of model
// instances, so inference alone cannot tell the list from the queryset.
bool is_fetched_list(py::handle node, int depth = 0) {
  if (is_list_call(node)) return true;
  if (depth > 4 || !is_a(node, astroid_class("Name"))) return false;
  py::tuple found = py::tuple(node.attr("lookup")(node.attr("name")));
  py::list bindings = py::list(found[1]);
  if (bindings.size() == 0) return false;
  for (py::handle binding : bindings) {
    if (!is_a(binding, astroid_class("AssignName"))) return false;
    py::object statement = binding.attr("parent");
    if (!is_a(statement, astroid_class("Assign")) && !is_a(statement, astroid_class("AnnAssign")))
      return false;
    if (!is_fetched_list(statement.attr("value"), depth + 1)) return false;
  }
  return true;
}

// A comparison infers to a truth value (or to nothing) and so does `not x`, whatever their
// operands are: neither is ever a queryset, and a truth test meets one at every other `if`.
// Inferring them would infer their operands for nothing. A node that carries an inference
// function of its own is asked as any other.
bool is_truth_value_expression(py::handle node) {
  if (!getattr_or_none(node, "_explicit_inference").is_none()) return false;
  if (is_a(node, astroid_class("Compare"))) return true;
  return is_a(node, astroid_class("UnaryOp")) && text_is(node.attr("op"), "not");
}

// Whether the node infers to a queryset that has not been turned into a list.
py::object infers_to_queryset(py::handle node) {
  if (is_truth_value_expression(node)) return py::bool_(false);
  if (is_fetched_list(node)) return py::bool_(false);
  return helper("is_queryset")(infer(node));
}

// ---------------------------------------------------------------------------------------
// Rows used after a test
//
// Django's own advice: where the rows are used anyway, len() and a truth test cost no query of
// their own (they fill the queryset's cache, which the later use reads), while count() and
// exists() add one. So a test is not reported when the same queryset, the same name in the
// same function or the same attribute of `self` in the same method, is iterated, indexed,
// sliced or passed on after it. Another test of it, or a method called on it (which makes a
// new query), is no use of its rows.

bool is_builtin_call_of(py::handle call, const char* name) {
  py::object func = call.attr("func");
  if (is_a(func, astroid_class("Name"))) return text_is(func.attr("name"), name);
  return is_a(func, astroid_class("Attribute")) && text_is(func.attr("attrname"), name) &&
         is_a(func.attr("expr"), astroid_class("Name")) &&
         text_is(func.attr("expr").attr("name"), "builtins");
}

// Whether `node`, an occurrence of the queryset, only tests it: len(qs), bool(qs), a truth
// test (also under `not`, `and`, `or`), a comparison other than membership, or the receiver
// of a method or attribute.
bool only_tests(py::handle node) {
  py::object child = py::reinterpret_borrow<py::object>(node);
  py::object parent = child.attr("parent");
  if (is_a(parent, astroid_class("Attribute"))) return true;
  if (is_a(parent, astroid_class("Call"))) {
    py::list args = parent.attr("args");
    return args.size() == 1 && py::object(args[0]).is(child) &&
           (is_builtin_call_of(parent, "len") || is_builtin_call_of(parent, "bool"));
  }
  if (is_a(parent, astroid_class("Compare"))) {
    for (py::handle pair : parent.attr("ops")) {
      py::tuple item = py::tuple(py::reinterpret_borrow<py::object>(pair));
      if (py::object(item[1]).is(child) &&
          (text_is(item[0], "in") || text_is(item[0], "not in")))
        return false;
    }
    return true;
  }
  // A truth test: climb through `not`, `and`, `or` to what takes the value.
  bool negated = false;
  while (is_a(parent, astroid_class("BoolOp")) ||
         (is_a(parent, astroid_class("UnaryOp")) && text_is(parent.attr("op"), "not"))) {
    negated = negated || is_a(parent, astroid_class("UnaryOp"));
    child = parent;
    parent = parent.attr("parent");
  }
  for (const char* test_owner : {"If", "While", "IfExp", "Assert"}) {
    if (is_a(parent, astroid_class(test_owner)) && py::object(parent.attr("test")).is(child))
      return true;
  }
  if (is_a(parent, astroid_class("Comprehension"))) {
    for (py::handle condition : parent.attr("ifs")) {
      if (condition.is(child)) return true;
    }
  }
  // `not qs` used as a value is a truth value; `qs or default` may be the queryset itself.
  return negated;
}

bool comes_after(py::handle node, py::handle test) {
  py::object line = getattr_or_none(node, "lineno"), test_line = getattr_or_none(test, "lineno");
  if (!PyLong_Check(line.ptr()) || !PyLong_Check(test_line.ptr())) return false;
  long a = line.cast<long>(), b = test_line.cast<long>();
  if (a != b) return a > b;
  py::object column = getattr_or_none(node, "col_offset");
  py::object test_column = getattr_or_none(test, "col_offset");
  if (!PyLong_Check(column.ptr()) || !PyLong_Check(test_column.ptr())) return false;
  return column.cast<long>() > test_column.cast<long>();
}

bool is_inside(py::handle node, py::handle ancestor) {
  for (py::object at = py::reinterpret_borrow<py::object>(node); !at.is_none();
       at = at.attr("parent")) {
    if (at.is(ancestor)) return true;
  }
  return false;
}

// Whether the rows of `queryset`, a name or an attribute of `self`, are used after `test`.
bool rows_used_after(py::handle test, py::handle queryset) {
  bool by_name = is_a(queryset, astroid_class("Name"));
  bool by_attribute = is_a(queryset, astroid_class("Attribute")) &&
                      is_a(queryset.attr("expr"), astroid_class("Name"));
  if (!by_name && !by_attribute) return false;
  py::object frame = test.attr("frame")();
  py::object receiver;
  if (by_attribute) {
    // The same attribute of the method's own instance: its first parameter.
    if (!is_a(frame, astroid_class("FunctionDef"))) return false;
    py::list params = as_list(frame.attr("args").attr("args"));
    receiver = queryset.attr("expr").attr("name");
    if (params.size() == 0 || !py::object(params[0].attr("name")).equal(receiver)) return false;
  }
  py::object name = by_name ? py::object(queryset.attr("name")) : py::object(queryset.attr("attrname"));
  py::object kind = astroid_class(by_name ? "Name" : "Attribute");
  for (py::handle occurrence : frame.attr("nodes_of_class")(kind)) {
    if (by_name) {
      if (!py::object(occurrence.attr("name")).equal(name)) continue;
    } else {
      py::object expr = occurrence.attr("expr");
      if (!py::object(occurrence.attr("attrname")).equal(name) ||
          !is_a(expr, astroid_class("Name")) || !py::object(expr.attr("name")).equal(receiver))
        continue;
    }
    if (is_inside(occurrence, test) || !comes_after(occurrence, test)) continue;
    if (!only_tests(occurrence)) return true;
  }
  return false;
}

// len(x) with one positional argument: whether x infers to a queryset whose rows are not used
// afterwards. The callee is compared as written, so `builtins.len(x)` is not this shape.
py::object queryset_length(py::object node) {
  if (!is_a(node, astroid_class("Call"))) return py::none();
  py::object func = node.attr("func");
  if (!is_a(func, astroid_class("Name"))) return py::none();
  if (!text_is(func.attr("name"), "len")) return py::none();
  py::list args = node.attr("args");
  if (args.size() != 1) return py::none();
  py::object answer = infers_to_queryset(args[0]);
  if (!truthy(answer) || !rows_used_after(node, args[0])) return answer;
  return py::bool_(false);
}

py::object compare_exists_or_not(py::object node);

// The same, except for the len() of a comparison that only asks whether rows exist: that
// expression is one finding, the comparison's (C9002), which names it whole.
py::object is_queryset_length(py::object node) {
  py::object answer = queryset_length(node);
  if (!truthy(answer)) return answer;
  py::object parent = node.attr("parent");
  if (is_a(parent, astroid_class("Compare")) && py::object(parent.attr("left")).is(node) &&
      truthy(compare_exists_or_not(parent)))
    return py::bool_(false);
  return answer;
}

// receiver.count() with no positional argument: whether the receiver infers to a queryset.
// A bare `count()` has no receiver to infer and is not this shape.
py::object is_queryset_count(py::object node) {
  if (!is_a(node, astroid_class("Call"))) return py::none();
  if (!text_is(helper("get_function_name")(node), "count")) return py::none();
  if (py::len(node.attr("args")) != 0) return py::none();
  py::object func = node.attr("func");
  if (!is_a(func, astroid_class("Attribute"))) return py::none();
  return helper("is_queryset")(infer(func.attr("expr")));
}

// foo.bar.pk / foo.bar.id with bar a related field of the model instance foo.
// The owner's shape is tested before the field is inferred: `foo.pk` is read far more often
// than `foo.bar.pk`, and has no foreign key to ask about whatever `foo` is.
py::object is_indirect_fk_lookup(py::object node) {
  py::object attrname = getattr_or_none(node, "attrname");
  if (!text_is(attrname, "pk") && !text_is(attrname, "id")) return py::none();
  py::object owner = node.attr("expr");
  if (!is_a(owner, astroid_class("Attribute"))) return py::none();
  py::object field = infer(owner);
  if (!is_a(field, G("astroid").attr("bases").attr("Instance")) || !truthy(field)) {
    return py::none();
  }
  if (!truthy(helper("is_related_field")(field.attr("_proxied")))) return py::none();
  py::object parent = infer(owner.attr("expr"));
  if (!truthy(parent)) return parent;
  // A class or a module (`Book.author.pk`, `module.author.pk`) is no model instance; it has
  // no class to ask about, and raising here would cost pylint the rest of the module.
  if (!is_a(parent, G("astroid").attr("bases").attr("Instance"))) return py::bool_(false);
  return helper("is_model")(parent.attr("_proxied"));
}

// A single comparison of the count or length on the left against 0 or 1 with one of the
// two operators given: `(op == zero_op and right == 0) or (op == one_op and right == 1)`.
py::object compare_against(py::object ops, const char* zero_op, const char* one_op) {
  if (py::len(ops) != 1) return py::none();
  py::tuple pair = py::tuple(ops[py::int_(0)]);
  if (pair.size() != 2) raise(PyExc_ValueError, "a comparison pair holds two items");
  py::object op = pair[0];
  py::object right_value = helper("astroid_node_to_value")(pair[1]);
  py::object first =
      text_is(op, zero_op) ? equals(right_value, py::int_(0)) : py::object(py::bool_(false));
  if (truthy(first)) return first;
  if (text_is(op, one_op)) return equals(right_value, py::int_(1));
  return py::bool_(false);
}

py::object compare_exists_or_not(py::object node) {
  py::object exists = G("is_compare_exists")(node.attr("ops"));
  if (truthy(exists)) return exists;
  return G("is_compare_not_exists")(node.attr("ops"));
}

py::object is_inefficient_queryset_exists(py::object node) {
  if (!truthy(G("is_queryset_count")(node.attr("left")))) return py::none();
  return compare_exists_or_not(node);
}

py::object is_queryset_length_exists(py::object node) {
  if (!truthy(queryset_length(node.attr("left")))) return py::none();
  return compare_exists_or_not(node);
}

// Unlike helpers.is_queryset, takes a node that has not been inferred yet. A truth test of a
// queryset whose rows are used afterwards is what it should be, and answers false.
py::object is_queryset(py::object node) {
  py::object answer = infers_to_queryset(node);
  if (!truthy(answer) || !rows_used_after(node, node)) return answer;
  return py::bool_(false);
}

// ---------------------------------------------------------------------------------------
// Fixes that rewrite an expression as text

// The new node answers with the old node's line, and its root with the old node's tokens,
// column and parent, so that the renderer puts it where the old node stood.
py::object in_place_of(py::object new_node, py::object old_node) {
  return helper("preserve_metadata")(py::arg("new_node") = new_node,
                                     py::arg("old_node") = old_node);
}

// `Q.method()` is the call of `method` on Q itself only when Q binds at least as tightly as
// attribute access; `a | b`, `x if c else y`, `await q` or `not q` would take the call on
// their last operand.
bool calls_method_on(py::handle call, const char* method, const std::string& receiver) {
  if (!is_a(call, astroid_class("Call"))) return false;
  if (py::len(call.attr("args")) != 0 || py::len(call.attr("keywords")) != 0) return false;
  py::object func = call.attr("func");
  if (!is_a(func, astroid_class("Attribute")) || !text_is(func.attr("attrname"), method)) {
    return false;
  }
  return text_is(func.attr("expr").attr("as_string")(), receiver.c_str());
}

// Parse `Q.method()`, or `not Q.method()`, where Q is the receiver's own rendering; Q is put
// in parentheses only where it would otherwise parse as something else.
py::object parse_method_call(py::object receiver, const char* method, bool negated) {
  std::string text = py::str(receiver.attr("as_string")());
  std::string prefix = negated ? "not " : "";
  std::string suffix = std::string(".") + method + "()";
  py::object extract = G("astroid").attr("extract_node");
  py::object parsed = on_error(
      G("astroid").attr("AstroidSyntaxError"),
      [&]() -> py::object { return extract(prefix + text + suffix); },
      []() -> py::object { return py::none(); });
  if (!parsed.is_none()) {
    py::object call = negated ? getattr_or_none(parsed, "operand") : parsed;
    bool negation_ok = !negated || (is_a(parsed, astroid_class("UnaryOp")) &&
                                    text_is(parsed.attr("op"), "not"));
    if (negation_ok && calls_method_on(call, method, text)) return parsed;
  }
  return extract(prefix + "(" + text + ")" + suffix);
}

// len(Q) -> Q.count()
py::object transform_queryset_length(py::object node) {
  py::object queryset = py::list(node.attr("args"))[0];
  return in_place_of(parse_method_call(queryset, "count", false), node);
}

// if Q: -> if Q.exists():
py::object transform_queryset_exists_naked_if(py::object if_node) {
  py::object test = if_node.attr("test");
  py::object new_test = parse_method_call(test, "exists", false);
  if_node.attr("test") = in_place_of(new_test, test);
  return if_node;
}

// A truth test is a `not`; `-qs.count()` is a number and stays one, also where a caller
// registers these fixes with predicates of its own.
bool is_negation(py::handle unaryop_node) { return text_is(unaryop_node.attr("op"), "not"); }

// The `not` of not (Q.count() == 0) that the comparison fix emptied: it names no operator
// (inferring it raises), and what it stands for is its operand.
bool is_emptied(py::handle unaryop_node) {
  return text_is(getattr_or_none(unaryop_node, "op"), "");
}

// not Q -> not Q.exists(); an emptied `not` gives way to its operand.
py::object transform_queryset_exists_naked_unaryop(py::object unaryop_node) {
  if (is_emptied(unaryop_node)) return unaryop_node.attr("operand");
  if (!is_negation(unaryop_node)) return unaryop_node;
  py::object operand = unaryop_node.attr("operand");
  py::object new_operand = parse_method_call(operand, "exists", false);
  unaryop_node.attr("operand") = in_place_of(new_operand, operand);
  return unaryop_node;
}

// if Q.count(): -> if Q.exists():
py::object transform_queryset_exists_count_if(py::object if_node) {
  py::object test = if_node.attr("test");
  py::object new_test = parse_method_call(test.attr("func").attr("expr"), "exists", false);
  if_node.attr("test") = in_place_of(new_test, test);
  return if_node;
}

// not Q.count() -> not Q.exists(); an emptied `not` gives way to its operand.
py::object transform_queryset_exists_count_unaryop(py::object unaryop_node) {
  if (is_emptied(unaryop_node)) return unaryop_node.attr("operand");
  if (!is_negation(unaryop_node)) return unaryop_node;
  py::object operand = unaryop_node.attr("operand");
  py::object new_operand =
      parse_method_call(operand.attr("func").attr("expr"), "exists", false);
  unaryop_node.attr("operand") = in_place_of(new_operand, operand);
  return unaryop_node;
}

// Q.count() > 0 -> Q.exists(); Q.count() == 0 -> not Q.exists(), and not (Q.count() == 0)
// -> Q.exists() by emptying the `not` above; len(Q) compared the same way likewise. Only a
// `not` may be emptied: under `-` or `~` the value is a number and the negation has to be
// written out.
py::object transform_queryset_exists_compare(py::object node) {
  py::object left = node.attr("left");
  py::object queryset = is_a(left.attr("func"), astroid_class("Name"))
                            ? py::object(py::list(left.attr("args"))[0])
                            : py::object(left.attr("func").attr("expr"));
  py::object replacement;
  if (truthy(G("is_compare_not_exists")(node.attr("ops")))) {
    py::object parent = node.attr("parent");
    if (is_a(parent, astroid_class("UnaryOp")) && text_is(parent.attr("op"), "not")) {
      // Parsed first, so that a receiver that does not parse leaves the tree as it was.
      replacement = parse_method_call(queryset, "exists", false);
      parent.attr("op") = "";
    } else {
      replacement = parse_method_call(queryset, "exists", true);
    }
  } else {
    replacement = parse_method_call(queryset, "exists", false);
  }
  return in_place_of(replacement, node);
}

// Is there no row: `== 0` or `< 1`.
py::object is_compare_not_exists(py::object ops) { return compare_against(ops, "==", "<"); }

// Is there at least one row: `> 0` or `>= 1`.
py::object is_compare_exists(py::object ops) { return compare_against(ops, ">", ">="); }

// The name of the field a model declares as its primary key, the most derived declaration
// first; "" when no model class in its order declares one (Django then adds `id`), nullopt
// when a declaration's primary_key cannot be read.
std::optional<std::string> primary_key_name(py::handle model) {
  py::object order = on_error(
      PyExc_Exception, [&] { return model.attr("mro")(); }, [] { return py::object(); });
  if (!order) return std::nullopt;
  for (py::handle cls : order) {
    if (!truthy(helper("is_model")(cls))) continue;
    for (py::handle statement : cls.attr("body")) {
      if (!is_a(statement, astroid_class("Assign"))) continue;
      py::object value = statement.attr("value");
      if (!is_a(value, astroid_class("Call"))) continue;
      for (py::handle keyword : as_list(value.attr("keywords"))) {
        if (!text_is(keyword.attr("arg"), "primary_key")) continue;
        py::object flag = keyword.attr("value");
        if (!is_a(flag, astroid_class("Const"))) return std::nullopt;
        if (!truthy(flag.attr("value"))) continue;
        py::list targets = statement.attr("targets");
        if (targets.size() != 1 || !is_a(targets[0], astroid_class("AssignName"))) {
          return std::nullopt;
        }
        return py::str(targets[0].attr("name")).cast<std::string>();
      }
    }
  }
  return std::string();
}

// A field class of the project's own that handles to_field in its constructor (setting it
// from a setting, say) stores a value in the key column that cannot be read here.
bool constructor_sets_to_field(py::handle field) {
  py::object order = on_error(
      PyExc_Exception, [&] { return field.attr("mro")(); }, [] { return py::object(); });
  if (!order) return true;
  for (py::handle cls : order) {
    std::string qname = py::str(cls.attr("qname")());
    if (qname.rfind("django.", 0) == 0) break;
    py::object locals = getattr_or_none(cls, "locals");
    if (locals.is_none() || !locals.contains("__init__")) continue;
    py::object init = locals["__init__"][py::int_(0)];
    for (py::handle constant : init.attr("nodes_of_class")(astroid_class("Const"))) {
      if (text_is(constant.attr("value"), "to_field")) return true;
    }
    for (py::handle keyword : init.attr("nodes_of_class")(astroid_class("Keyword"))) {
      if (text_is(keyword.attr("arg"), "to_field")) return true;
    }
  }
  return false;
}

// `A.B_id` holds what `A.B.pk` reads only for a foreign key (or one-to-one field) to the
// target's primary key: a many-to-many field has no such column, and a key with `to_field`
// stores that other field's value. `A.B.id` reads the primary key only where the target's
// primary key is `id`: a model whose key is another field may have an `id` of its own (a
// Stripe id beside the row's key), so `.id` counts only where the target model is found and
// its key is `id`. `user_model` is what settings.AUTH_USER_MODEL names, None when unknown.
bool key_column_holds_pk(py::object node, py::handle user_model) {
  py::object field = infer(node.attr("expr"));
  if (!has_class_named(field, "django.db.models.fields.related.ForeignKey")) return false;
  if (constructor_sets_to_field(field)) return false;
  py::object owner = infer(node.attr("expr").attr("expr"));
  if (!is_a(owner, G("astroid").attr("bases").attr("Instance"))) return false;
  py::object owner_class = owner.attr("_proxied");
  py::object field_name = node.attr("expr").attr("attrname");
  bool reads_id = text_is(node.attr("attrname"), "id");
  py::object declarations = on_error(
      G("astroid").attr("AttributeInferenceError"),
      [&]() -> py::object { return owner_class.attr("getattr")(field_name); },
      []() -> py::object { return py::list(); });
  for (py::handle declaration : declarations) {
    py::object value = getattr_or_none(declaration.attr("parent"), "value");
    if (!is_a(value, astroid_class("Call"))) continue;
    // to_field is the seventh positional parameter of ForeignKey.
    if (py::len(value.attr("args")) > 6) return false;
    for (py::handle keyword : as_list(value.attr("keywords"))) {
      if (!text_is(keyword.attr("arg"), "to_field")) continue;
      py::object to_field = keyword.attr("value");
      if (!is_a(to_field, astroid_class("Const")) || !to_field.attr("value").is_none()) {
        return false;
      }
    }
    if (!reads_id) return true;
    py::object target = helper("get_related_model")(value, declaration.attr("frame")(),
                                                     owner_class, user_model);
    if (target.is_none()) return false;
    auto key = primary_key_name(target);
    return key && (key->empty() || *key == "id");
  }
  return true;
}

// What settings.AUTH_USER_MODEL names, for a fix: the code transformer puts it on the tree it
// fixes, from the settings module it was given; other trees do not know it.
constexpr const char* kUserModel = "vettor_auth_user_model";

// A.B.pk / A.B.id -> A.B_id, reusing the node of A.
py::object transform_indirect_fk_lookup(py::object node) {
  if (!key_column_holds_pk(node, getattr_or_none(node.attr("root")(), kUserModel))) return node;
  py::object middle = node.attr("expr");
  py::object attribute = astroid_class("Attribute")(
      py::arg("attrname") = py::str(middle.attr("attrname")) + py::str("_id"),
      py::arg("lineno") = middle.attr("lineno"), py::arg("col_offset") = middle.attr("col_offset"));
  attribute.attr("expr") = middle.attr("expr");
  return attribute;
}

// ---------------------------------------------------------------------------------------
// Checker

py::object code(const char* name) { return G("Codes").attr(name); }

void add_message(py::handle self, const char* code_name, py::handle node, py::dict args) {
  self.attr("add_message")(code(code_name), py::arg("node") = node, py::arg("args") = args);
}

// The model settings.AUTH_USER_MODEL names in the settings modules of this checker's lint,
// worked out once per list of modules.
py::object user_model_of(py::handle self) {
  py::object config = py::getattr(self.attr("linter"), "config", py::none());
  py::object files = py::getattr(config, "settings_files", py::list());
  py::tuple key = py::tuple(files.is_none() ? py::list() : py::list(files));
  py::object held = py::getattr(self, "_user_model", py::none());
  if (!held.is_none() && py::object(held[py::int_(0)]).equal(key)) return held[py::int_(1)];
  py::object model = G("meta").attr("get_auth_user_model")(py::list(key));
  self.attr("_user_model") = py::make_tuple(key, model);
  return model;
}

py::dict queryset_args(py::object queryset) {
  py::dict args;
  args["queryset"] = queryset.attr("as_string")();
  return args;
}

// C9002 also names what the code counts with, `qs.count()` or `len(qs)`.
py::dict counted_args(py::object queryset, py::object counting) {
  py::dict args = queryset_args(queryset);
  args["expression"] = counting.attr("as_string")();
  return args;
}

// The count() or truth test of an `if` or a `not`.
void check_truth_test(py::handle self, py::handle node, py::object tested) {
  if (truthy(G("is_queryset_count")(tested))) {
    add_message(self, "C9002", node, counted_args(tested.attr("func").attr("expr"), tested));
  } else if (truthy(G("is_queryset")(tested))) {
    add_message(self, "C9003", node, queryset_args(tested));
  }
}

py::object make_checker(py::module_& m, py::handle helpers) {
  py::object cls = make_source_checker(
      m, "querysets",
      make_msgs(helpers,
                {{"C9000", "queryset-length",
                  "Detects using len(queryset) instead of queryset.count()"},
                 {"C9001", "indirect-foreign-key",
                  "Traversting foo.bar.pk instead of using foo.bar_pk"},
                 {"C9002", "count-instead-exists", "Using count() where exists() could be better"},
                 {"C9003", "truthy-instead-exists",
                  "Using truthy/falsey check on queryset when exists could be better"}}));

  add_visit(
      cls, "visit_call",
      [](py::object self, py::object node) {
        if (!truthy(G("is_queryset_length")(node))) return;
        py::dict args;
        args["foo"] = "bar";
        add_message(self, "C9000", node, args);
      });

  add_visit(
      cls, "visit_attribute",
      [](py::object self, py::object node) {
        if (!truthy(G("is_indirect_fk_lookup")(node))) return;
        // Advising `foo.bar_id` is wrong where that column holds something else.
        if (!key_column_holds_pk(node, user_model_of(self))) return;
        py::object field = node.attr("expr");
        py::dict args;
        args["me"] = py::getattr(field.attr("expr"), "name", py::str("model"));
        args["related_name"] = field.attr("attrname");
        args["pk_attribute"] = node.attr("attrname");
        add_message(self, "C9001", node, args);
      });

  add_visit(
      cls, "visit_compare",
      [](py::object self, py::object node) {
        py::object left = node.attr("left");
        if (truthy(G("is_inefficient_queryset_exists")(node))) {
          py::object queryset = left.attr("func").attr("expr");
          add_message(self, "C9002", node.attr("statement")(), counted_args(queryset, left));
        } else if (truthy(G("is_queryset_length_exists")(node))) {
          py::object queryset = left.attr("args")[py::int_(0)];
          add_message(self, "C9002", node.attr("statement")(), counted_args(queryset, left));
        }
      });

  add_visit(
      cls, "visit_if",
      [](py::object self, py::object node) { check_truth_test(self, node, node.attr("test")); });

  // Only `not` is a truth test: `-qs.count()` is a number.
  add_visit(
      cls, "visit_unaryop",
      [](py::object self, py::object node) {
        if (!text_is(node.attr("op"), "not")) return;
        check_truth_test(self, node, node.attr("operand"));
      });

  return cls;
}

// ---------------------------------------------------------------------------------------
// Fix selection

// The truth-test fixes ask about one child of the node; like the checker, they take only
// `not` for a truth test (`-qs.count()` is a number). A `not` the comparison fix emptied is
// taken away by the operand fixes, and is no test to ask about.
py::object truth_test_predicate(const char* field, const char* predicate, bool unary) {
  std::string field_name = field;
  std::string predicate_name = predicate;
  return py::cpp_function(
      [field_name, predicate_name, unary](py::object node) -> py::object {
        if (unary && is_emptied(node)) return py::bool_(true);
        if (unary && !is_negation(node)) return py::bool_(false);
        py::object tested = node.attr(field_name.c_str());
        if (is_a(tested, astroid_class("UnaryOp")) && is_emptied(tested)) return py::bool_(false);
        return G(predicate_name.c_str())(tested);
      },
      py::arg("node"));
}

// Each fix asks the database the same question another way; the predicates leave alone a test
// whose rows are used afterwards and a key column that holds something else.
constexpr FixSafety kFixSafety[] = {
    {"C9000", Safety::kSafe, "count() gives the number len() gave, without fetching the rows"},
    {"C9001", Safety::kSafe, "the key column holds the primary key the related row gave"},
    {"C9002", Safety::kSafe, "exists() answers what comparing the count answered"},
    {"C9003", Safety::kSafe, "exists() answers what the truth test of the rows answered"},
};

py::object build_transformer_visitor(py::object message_ids) {
  py::object visitor = helper("NodeTransformVisitor")();
  py::list ids = py::list(message_ids);
  ids.attr("sort")();
  py::object register_transform = visitor.attr("register_transform");
  for (py::handle id : ids) {
    py::object message_id = py::reinterpret_borrow<py::object>(id);
    if (message_id.equal(code("C9000"))) {
      register_transform(astroid_class("Call"), G("transform_queryset_length"),
                         G("is_queryset_length"));
    }
    if (message_id.equal(code("C9001"))) {
      register_transform(astroid_class("Attribute"), G("transform_indirect_fk_lookup"),
                         G("is_indirect_fk_lookup"));
    }
    if (message_id.equal(code("C9002"))) {
      register_transform(astroid_class("Compare"), G("transform_queryset_exists_compare"),
                         G("is_inefficient_queryset_exists"));
      register_transform(astroid_class("Compare"), G("transform_queryset_exists_compare"),
                         G("is_queryset_length_exists"));
      register_transform(astroid_class("UnaryOp"), G("transform_queryset_exists_count_unaryop"),
                         truth_test_predicate("operand", "is_queryset_count", true));
      register_transform(astroid_class("If"), G("transform_queryset_exists_count_if"),
                         truth_test_predicate("test", "is_queryset_count", false));
    }
    if (message_id.equal(code("C9003"))) {
      register_transform(astroid_class("UnaryOp"), G("transform_queryset_exists_naked_unaryop"),
                         truth_test_predicate("operand", "is_queryset", true));
      register_transform(astroid_class("If"), G("transform_queryset_exists_naked_if"),
                         truth_test_predicate("test", "is_queryset", false));
    }
  }
  return visitor;
}

}  // namespace

PYBIND11_MODULE(querysets, m) {
  G.bind(m);
  m.attr("logging") = import("logging");
  m.attr("astroid") = import("astroid");
  import("astroid.bases");
  import("pylint.checkers");  // `import pylint.checkers` binds the top-level package
  m.attr("pylint") = import("pylint");
  m.attr("safe_infer") = lookup("pylint.checkers.utils", "safe_infer");
  m.attr("IAstroidChecker") = lookup("pylint.interfaces", "IAstroidChecker");
  py::module_ helpers = import_sibling(m, "helpers", 2);
  m.attr("helpers") = helpers;
  m.attr("meta") = import_sibling(m, "meta", 2);
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("Codes") = make_codes(m, {"C9000", "C9001", "C9002", "C9003"});

  m.def("is_queryset_length", &is_queryset_length, py::arg("node"));
  m.def("is_queryset_count", &is_queryset_count, py::arg("node"));
  m.def("is_indirect_fk_lookup", &is_indirect_fk_lookup, py::arg("node"));
  m.def("is_inefficient_queryset_exists", &is_inefficient_queryset_exists, py::arg("node"));
  m.def("is_queryset_length_exists", &is_queryset_length_exists, py::arg("node"));
  m.def("is_queryset", &is_queryset, py::arg("node"));
  m.def("transform_queryset_length", &transform_queryset_length, py::arg("node"));
  m.def("transform_queryset_exists_naked_if", &transform_queryset_exists_naked_if,
        py::arg("if_node"));
  m.def("transform_queryset_exists_naked_unaryop", &transform_queryset_exists_naked_unaryop,
        py::arg("unaryop_node"));
  m.def("transform_queryset_exists_count_if", &transform_queryset_exists_count_if,
        py::arg("if_node"));
  m.def("transform_queryset_exists_count_unaryop", &transform_queryset_exists_count_unaryop,
        py::arg("unaryop_node"));
  m.def("transform_queryset_exists_compare", &transform_queryset_exists_compare,
        py::arg("node"));
  m.def("is_compare_not_exists", &is_compare_not_exists, py::arg("ops"));
  m.def("is_compare_exists", &is_compare_exists, py::arg("ops"));
  m.def("transform_indirect_fk_lookup", &transform_indirect_fk_lookup, py::arg("node"));

  m.attr("Checker") = make_checker(m, helpers);
  m.attr("FIX_SAFETY") = make_fix_safety(kFixSafety);
  m.def("build_transformer_visitor", &build_transformer_visitor, py::arg("message_ids"));
}
