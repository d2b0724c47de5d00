// suggest: fixed statements written back into the source they came from.
//
// Fixes change a few statements of a tree in place. Rendering the whole tree again would
// write everything else as astroid prints it (other number and string spellings, lost
// brackets, moved comments), so only what a fix changed is rendered:
// - FixWatch takes a snapshot of the tree before the first fix runs, and notes which
//   statements each fix touched;
// - statement_changes compares the tree with its snapshot: a statement whose own parts
//   changed, one a fix added and one it removed are the changes; everything else keeps its
//   characters. A changed simple statement is rendered whole, a changed compound statement
//   only in the parts of its header that changed (its body's statements are changes of
//   their own);
// - each rendering is laid over the statement's own tokens: where both have the same token
//   (the same name, operator or literal value) the source's spelling stays, and so do its
//   line breaks and comments;
// - a rendering is kept only when it parses back to the fixed statement. When none does,
//   the statement is left as it was, and so is every statement that a fix changed together
//   with it (an import a fix edited for a call it renamed); the refusal is logged;
// - splice_changes puts the texts in place of the statements' characters; an added
//   statement goes on a line of its own after the statement before it in its body
//   (new_statement_position).
#include <algorithm>
#include <cctype>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "suggest.hpp"

namespace vettor::suggest {

namespace {

py::object astroid_class(const char* name) { return G("astroid").attr(name); }

bool is_sequence(py::handle value) {
  return PyList_Check(value.ptr()) || PyTuple_Check(value.ptr());
}

bool is_blank(const std::string& text) {
  return text.find_first_not_of(" \t\f") == std::string::npos;
}

std::string text_of(py::handle value) { return py::str(value).cast<std::string>(); }

// ---------------------------------------------------------------------------------------
// Node fields

// The fields of one node class: its children first (astroid's `_astroid_fields`), then its
// own values (`_other_fields`). A body is a child field that holds a list of statements.
struct Fields {
  std::vector<py::str> names;
  std::vector<bool> child;
  std::vector<bool> body;
};

class FieldTable {
 public:
  const Fields& of(py::handle node) {
    PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(node.ptr()));
    auto found = by_type_.find(type);
    if (found != by_type_.end()) return found->second.second;
    Fields fields;
    bool statement = truthy(py::getattr(node, "is_statement", py::bool_(false))) ||
                     vettor::isinstance(node, astroid_class("Module"));
    for (py::handle name : py::getattr(node, "_astroid_fields", py::tuple())) {
      std::string text = text_of(name);
      fields.names.emplace_back(text);
      fields.child.push_back(true);
      fields.body.push_back(statement && (text == "body" || text == "orelse" ||
                                          text == "handlers" || text == "finalbody" ||
                                          text == "cases"));
    }
    for (py::handle name : py::getattr(node, "_other_fields", py::tuple())) {
      fields.names.emplace_back(text_of(name));
      fields.child.push_back(false);
      fields.body.push_back(false);
    }
    auto& slot = by_type_[type];
    slot.first = py::reinterpret_borrow<py::object>(type);
    slot.second = std::move(fields);
    return slot.second;
  }

 private:
  std::unordered_map<PyObject*, std::pair<py::object, Fields>> by_type_;
};

bool is_node(py::handle value) { return vettor::isinstance(value, astroid_class("NodeNG")); }

// Two field values alike: nodes as `nodes` judges them, lists and tuples item by item, any
// other values equal and of one type (1 is not True, nor 1.0).
template <class Nodes>
bool alike(py::handle a, py::handle b, Nodes&& nodes) {
  bool a_node = is_node(a), b_node = is_node(b);
  if (a_node || b_node) return a_node && b_node && nodes(a, b);
  if (is_sequence(a) || is_sequence(b)) {
    if (!is_sequence(a) || !is_sequence(b) || py::len(a) != py::len(b)) return false;
    py::tuple items_a = py::tuple(py::reinterpret_borrow<py::object>(a));
    py::tuple items_b = py::tuple(py::reinterpret_borrow<py::object>(b));
    for (std::size_t i = 0; i < items_a.size(); ++i) {
      if (!alike(items_a[i], items_b[i], nodes)) return false;
    }
    return true;
  }
  if (a.is(b)) return true;
  if (Py_TYPE(a.ptr()) != Py_TYPE(b.ptr())) return false;
  int equal = PyObject_RichCompareBool(a.ptr(), b.ptr(), Py_EQ);
  if (equal < 0) throw py::error_already_set();
  return equal == 1;
}

// ---------------------------------------------------------------------------------------
// Snapshots and what changed since

struct Entry {
  py::object node;
  std::vector<py::object> values;  // each field's value; a list as a tuple of its items
};

// The tree as it was: every node's fields. With a `scope` (a node of the tree), only the
// statement of the root's body that holds it is taken whole; of the root, its fields (which
// statements its body holds) only: the other statements are out of the watch, and what is
// made of them is not looked at.
class TreeSnapshot {
 public:
  TreeSnapshot(py::handle root, std::shared_ptr<FieldTable> fields, py::handle scope = py::none())
      : fields_(std::move(fields)) {
    node_class_ = astroid_class("NodeNG");
    py::object within = top_statement(root, scope);
    std::vector<py::object> pending{py::reinterpret_borrow<py::object>(root)};
    while (!pending.empty()) {
      py::object node = std::move(pending.back());
      pending.pop_back();
      if (entries_.count(node.ptr())) continue;
      const Fields& fields = fields_->of(node);
      Entry entry{node, {}};
      entry.values.reserve(fields.names.size());
      bool whole = within.is_none() || !node.is(root);
      for (std::size_t i = 0; i < fields.names.size(); ++i) {
        py::object value = py::getattr(node, fields.names[i], py::none());
        if (fields.child[i] && whole) push_children(value, pending);
        entry.values.push_back(PyList_Check(value.ptr()) ? py::object(py::tuple(value)) : value);
      }
      if (!whole) pending.push_back(within);
      entries_.emplace(node.ptr(), std::move(entry));
    }
  }

  const Entry* find(py::handle node) const {
    auto found = entries_.find(node.ptr());
    return found == entries_.end() ? nullptr : &found->second;
  }
  FieldTable& fields() const { return *fields_; }

 private:
  // The child of `root` that holds `scope`, or None (the whole tree) when there is no scope or
  // it is not in the tree below the root.
  static py::object top_statement(py::handle root, py::handle scope) {
    if (scope.is_none() || scope.is(root)) return py::none();
    py::object node = py::reinterpret_borrow<py::object>(scope);
    while (true) {
      py::object parent = getattr_or_none(node, "parent");
      if (parent.is_none()) return py::none();
      if (parent.is(root)) return node;
      node = parent;
    }
  }

  void push_children(py::handle value, std::vector<py::object>& pending) const {
    if (is_sequence(value)) {
      for (py::handle item : value) push_children(item, pending);
    } else if (vettor::isinstance(value, node_class_)) {
      pending.push_back(py::reinterpret_borrow<py::object>(value));
    }
  }

  std::shared_ptr<FieldTable> fields_;
  py::object node_class_;
  std::unordered_map<PyObject*, Entry> entries_;
};

// Compares the tree as it is with a snapshot of it: a node is unchanged when every field
// holds what it held, children being the same objects, themselves unchanged.
class Comparison {
 public:
  explicit Comparison(const TreeSnapshot& snapshot) : snapshot_(snapshot) {}

  bool same(py::handle old, py::handle now) {
    return alike(old, now, [this](py::handle a, py::handle b) { return a.is(b) && unchanged(b); });
  }

  bool unchanged(py::handle node) {
    auto known = memo_.find(node.ptr());
    if (known != memo_.end()) return known->second;
    const Entry* entry = snapshot_.find(node);
    bool result = entry != nullptr;
    if (result) {
      const Fields& fields = snapshot_.fields().of(node);
      for (std::size_t i = 0; result && i < fields.names.size(); ++i) {
        result = same(entry->values[i], py::getattr(node, fields.names[i], py::none()));
      }
    }
    memo_[node.ptr()] = result;
    return result;
  }

  const TreeSnapshot& snapshot() const { return snapshot_; }

 private:
  const TreeSnapshot& snapshot_;
  std::unordered_map<PyObject*, bool> memo_;
};

enum class Kind { kChanged, kAdded, kRemoved };

const char* kind_name(Kind kind) {
  switch (kind) {
    case Kind::kChanged:
      return "changed";
    case Kind::kAdded:
      return "added";
    case Kind::kRemoved:
      return "removed";
  }
  return "";
}

struct RawChange {
  Kind kind;
  py::object node;  // the statement as it is now; a removed one as it was
};

void diff_statement(Comparison& compare, py::handle stmt, std::vector<RawChange>& out);

// A body's statements, the old against the new by identity: fixes add and remove statements
// but do not reorder them.
void diff_body(Comparison& compare, py::handle old_items, py::handle now_items,
               std::vector<RawChange>& out) {
  std::unordered_set<PyObject*> old_ids, now_ids;
  if (is_sequence(old_items)) {
    for (py::handle item : old_items) old_ids.insert(item.ptr());
  }
  for (py::handle item : now_items) {
    now_ids.insert(item.ptr());
    if (!old_ids.count(item.ptr())) {
      out.push_back({Kind::kAdded, py::reinterpret_borrow<py::object>(item)});
    } else if (compare.snapshot().find(item)) {
      diff_statement(compare, item, out);
    }  // else a statement out of the watch
  }
  if (!is_sequence(old_items)) return;
  for (py::handle item : old_items) {
    if (!now_ids.count(item.ptr())) {
      out.push_back({Kind::kRemoved, py::reinterpret_borrow<py::object>(item)});
    }
  }
}

void diff_statement(Comparison& compare, py::handle stmt, std::vector<RawChange>& out) {
  const Entry* entry = compare.snapshot().find(stmt);
  const Fields& fields = compare.snapshot().fields().of(stmt);
  bool changed = false;
  for (std::size_t i = 0; i < fields.names.size(); ++i) {
    py::object now = py::getattr(stmt, fields.names[i], py::none());
    if (fields.body[i] && PyList_Check(now.ptr())) {
      diff_body(compare, entry->values[i], now, out);
    } else if (!changed && !compare.same(entry->values[i], now)) {
      changed = true;
    }
  }
  if (changed) out.push_back({Kind::kChanged, py::reinterpret_borrow<py::object>(stmt)});
}

std::vector<RawChange> diff_tree(const TreeSnapshot& snapshot, py::handle tree) {
  std::vector<RawChange> out;
  Comparison compare(snapshot);
  const Entry* entry = snapshot.find(tree);
  if (entry == nullptr) return out;
  const Fields& fields = snapshot.fields().of(tree);
  for (std::size_t i = 0; i < fields.names.size(); ++i) {
    if (!fields.body[i]) continue;
    diff_body(compare, entry->values[i], py::getattr(tree, fields.names[i], py::list()), out);
  }
  return out;
}

// ---------------------------------------------------------------------------------------
// The fixes that ran

struct FixRun {
  py::object transform;
  py::object statement;            // the statement of the node the fix was given; None: the module
  std::vector<py::object> linked;  // other statements the fix changed, added or removed
  py::object error = py::none();   // what the fix raised, or None
  bool changed = true;             // whether the fix changed anything (a fix may decline)
};

// A node as astroid writes it, or None when it cannot be written.
py::object rendering(py::handle node) {
  return on_error(
      PyExc_Exception, [&] { return py::object(node.attr("as_string")()); },
      [] { return py::object(py::none()); });
}

py::object logger() { return G("logger"); }

long line_of_node(py::handle node) {
  py::object line = getattr_or_none(node, "fromlineno");
  if (!py::isinstance<py::int_>(line)) line = getattr_or_none(node, "lineno");
  return py::isinstance<py::int_>(line) ? line.cast<long>() : 0;
}

py::object file_of(py::handle tree) {
  py::object file = getattr_or_none(tree, "file");
  if (file.is_none() || py::str(file).equal(py::str("<?>"))) return getattr_or_none(tree, "name");
  return file;
}

// Watches the fixes of the visitors it is given run over one tree (see the file's comment).
// With a scope, only the statement of the tree's body that holds it is watched: a fix of one
// statement is then told apart at the cost of that statement, however long the tree.
class FixWatch : public std::enable_shared_from_this<FixWatch> {
 public:
  FixWatch(py::object tree, py::object path, py::object scope)
      : tree_(std::move(tree)),
        path_(std::move(path)),
        scope_(std::move(scope)),
        fields_(std::make_shared<FieldTable>()) {
    if (path_.is_none()) path_ = file_of(tree_);
    // Fixes hand the statements they change besides the one they were given over in these
    // lists, where the tree has them.
    for (const char* name : {"new_nodes", "replace_other_nodes"}) {
      if (!vettor::hasattr(tree_, name)) tree_.attr(name) = py::list();
    }
  }

  // Each (transform, predicate) pair registered on the visitor is wrapped: the first fix to
  // run takes the snapshot, every run is noted, and a fix or a predicate that raises costs
  // only its own node, which is logged. A visitor without astroid's registry cannot be
  // watched: the snapshot is taken at once.
  void watch(py::object visitor) {
    py::object registry = getattr_or_none(visitor, "transforms");
    if (!PyDict_Check(registry.ptr())) {
      take_snapshot();
      return;
    }
    auto self = shared_from_this();
    py::dict classes = py::reinterpret_borrow<py::dict>(registry);
    for (py::handle key : py::list(classes.attr("keys")())) {
      py::list wrapped;
      for (py::handle pair : classes[key]) {
        py::tuple both = py::tuple(py::reinterpret_borrow<py::object>(pair));
        py::object predicate = both[1];
        wrapped.append(py::make_tuple(wrap_transform(self, both[0]),
                                      predicate.is_none() ? predicate : wrap_predicate(self, predicate)));
      }
      classes[key] = wrapped;
    }
  }

  py::list runs() const {
    py::list out;
    for (const FixRun& run : runs_) {
      py::list linked;
      for (const auto& node : run.linked) linked.append(node);
      out.append(py::make_tuple(run.transform, run.statement, linked, run.error, run.changed));
    }
    return out;
  }

  const std::vector<FixRun>& run_list() const { return runs_; }
  std::shared_ptr<TreeSnapshot> snapshot() const { return snapshot_; }
  std::shared_ptr<FieldTable> fields() const { return fields_; }
  py::object tree() const { return tree_; }
  py::object path() const { return path_; }

 private:
  void take_snapshot() {
    if (!snapshot_) snapshot_ = std::make_shared<TreeSnapshot>(tree_, fields_, scope_);
  }

  std::size_t list_length(const char* name) const {
    py::object items = getattr_or_none(tree_, name);
    return PyList_Check(items.ptr()) ? py::len(items) : 0;
  }

  void new_entries(const char* name, std::size_t from, std::vector<py::object>& into) const {
    py::object items = getattr_or_none(tree_, name);
    if (!PyList_Check(items.ptr())) return;
    py::list list = py::reinterpret_borrow<py::list>(items);
    for (std::size_t i = from; i < list.size(); ++i) into.push_back(list[i]);
  }

  static py::object wrap_transform(std::shared_ptr<FixWatch> self, py::object transform) {
    return py::cpp_function(
        [self, transform](py::object node) -> py::object {
          self->take_snapshot();
          bool on_module = vettor::isinstance(node, astroid_class("Module"));
          std::shared_ptr<TreeSnapshot> before;
          if (on_module) before = std::make_shared<TreeSnapshot>(self->tree_, self->fields_);
          std::size_t handed = self->list_length("replace_other_nodes");
          std::size_t created = self->list_length("new_nodes");

          FixRun run{transform, py::none(), {}};
          py::object written_before = py::none();
          if (!on_module) {
            run.statement = on_error(
                PyExc_Exception, [&] { return node.attr("statement")(); },
                [] { return py::object(py::none()); });
            written_before = rendering(node);
          }
          py::object result;
          try {
            result = transform(node);
          } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            run.error = e.value();
            logger().attr("warning")(
                "A fix failed at line %s of %s and is left out: %r", line_of_node(node),
                self->path_, run.error);
            result = node;
          }
          self->new_entries("replace_other_nodes", handed, run.linked);
          self->new_entries("new_nodes", created, run.linked);
          if (before) {
            for (RawChange& change : diff_tree(*before, self->tree_)) run.linked.push_back(change.node);
            run.changed = !run.linked.empty();
          } else if (run.linked.empty() && result.is(node) && !written_before.is_none()) {
            run.changed = !rendering(node).equal(written_before);
          }
          self->runs_.push_back(std::move(run));
          return result;
        },
        py::arg("node"));
  }

  static py::object wrap_predicate(std::shared_ptr<FixWatch> self, py::object predicate) {
    return py::cpp_function(
        [self, predicate](py::object node) -> py::object {
          try {
            return predicate(node);
          } catch (py::error_already_set& e) {
            if (!e.matches(PyExc_Exception)) throw;
            logger().attr("warning")(
                "A fix could not decide at line %s of %s and is left out: %r",
                line_of_node(node), self->path_, e.value());
            return py::bool_(false);
          }
        },
        py::arg("node"));
  }

  py::object tree_;
  py::object path_;   // the file's name in what is logged
  py::object scope_;  // the node whose statement alone is watched, or None for the whole tree
  std::shared_ptr<FieldTable> fields_;
  std::shared_ptr<TreeSnapshot> snapshot_;
  std::vector<FixRun> runs_;
};

// ---------------------------------------------------------------------------------------
// The source text

struct PlacedComment {
  std::string text;
  bool own_line;
  std::string indentation;  // of a comment on a line of its own
};

class Source {
 public:
  explicit Source(py::object atok, py::object quote = py::none())
      : atok_(atok), text_(atok.attr("text")), tokens_(atok.attr("tokens")), quote_(quote) {}

  // The (quote to replace, quote to use) pair new string literals take, or None for the
  // renderer's own quotes.
  const py::object& quote() const { return quote_; }

  const py::str& text() const { return text_; }
  const py::list& tokens() const { return tokens_; }
  long size() const { return static_cast<long>(py::len(text_)); }

  py::str slice(long from, long to) const {
    return py::str(text_[py::slice(py::int_(from), py::int_(to), py::none())]);
  }
  long line_start(long offset) const {
    return text_.attr("rfind")("\n", 0, offset).cast<long>() + 1;
  }
  // The offset of the line break that ends the line holding `offset`, or the text's end.
  long line_end(long offset) const {
    long at = text_.attr("find")("\n", offset).cast<long>();
    return at < 0 ? size() : at;
  }
  long line_number(long offset) const {
    return text_.attr("count")("\n", 0, offset).cast<long>() + 1;
  }
  // What stands on the node's first line before its first token.
  std::string prefix(py::handle node) const {
    long start = node.attr("first_token").attr("startpos").cast<long>();
    return text_of(slice(line_start(start), start));
  }
  std::vector<std::string> comments(long first_index, long last_index) const {
    std::vector<std::string> found;
    for (const auto& comment : placed_comments(first_index, last_index)) found.push_back(comment.text);
    return found;
  }
  // Each comment with whether it stands on a line of its own, and then its indentation.
  std::vector<PlacedComment> placed_comments(long first_index, long last_index) const {
    std::vector<PlacedComment> found;
    for (long i = first_index; i <= last_index; ++i) {
      py::object tok = tokens_[static_cast<std::size_t>(i)];
      if (token_name(tok) != "COMMENT") continue;
      long column = py::tuple(tok.attr("start"))[1].cast<long>();
      std::string line = text_of(tok.attr("line"));
      std::string before = line.substr(0, std::min<std::size_t>(column, line.size()));
      bool own_line = is_blank(before);
      found.push_back({text_of(tok.attr("string")), own_line, own_line ? before : ""});
    }
    return found;
  }
  // The indentation of the line that holds the offset.
  std::string line_indentation(long offset) const {
    std::string line = text_of(slice(line_start(offset), offset));
    return line.substr(0, line.find_first_not_of(" \t\f"));
  }
  // What stands before the offset on its line when that is only indentation, else nothing.
  std::string indentation_before(long offset) const {
    std::string before = text_of(slice(line_start(offset), offset));
    return is_blank(before) ? before : "";
  }

 private:
  py::object atok_;
  py::str text_;
  py::list tokens_;
  py::object quote_;
};

long startpos(py::handle node) { return node.attr("first_token").attr("startpos").cast<long>(); }
long endpos(py::handle node) { return node.attr("last_token").attr("endpos").cast<long>(); }
long first_index(py::handle node) { return node.attr("first_token").attr("index").cast<long>(); }
long last_index(py::handle node) { return node.attr("last_token").attr("index").cast<long>(); }
bool has_tokens(py::handle node) {
  return vettor::hasattr(node, "first_token") && vettor::hasattr(node, "last_token");
}

// ---------------------------------------------------------------------------------------
// A rendering laid over the source's tokens

bool is_layout_token(const std::string& name) {
  return name == "COMMENT" || name == "NL" || name == "NEWLINE" || name == "INDENT" ||
         name == "DEDENT" || name == "ENDMARKER" || name == "ENCODING";
}

bool is_closing(const std::string& text) { return text == ")" || text == "]" || text == "}"; }
bool is_opening(const std::string& text) { return text == "(" || text == "[" || text == "{"; }

struct Tok {
  long index;  // of its first token
  long start;
  long end;
  std::string string;
  py::object key;
  long last;  // the index of its last token: literals written side by side are one Tok
};

// Two tokens match when they are the same name or operator, or literals of the same value:
// 0xFF matches 255, r'\d' matches '\\d', so the source's spelling stays.
py::object token_key(py::handle tok, const std::string& name) {
  py::object string = tok.attr("string");
  if (name == "NUMBER" || name == "STRING") {
    py::object value = on_error(
        PyExc_Exception, [&] { return lookup("ast", "literal_eval")(string); },
        [] { return py::object(); });
    if (value) return py::make_tuple(name, value.get_type().attr("__name__"), value);
  }
  return py::make_tuple(name, string);
}

// The code tokens of tokens[from..to] of `text`. String literals written side by side (an
// implicit concatenation, over one line or several) are one token whose key is the value they
// make together: the renderer writes them as one literal, and the source's own pieces, line
// breaks and comments between them stay when that value is unchanged.
std::vector<Tok> code_tokens(const py::list& tokens, long from, long to, const py::str& text) {
  std::vector<Tok> found;
  bool joining = false;  // the last Tok is a literal that a following one may join
  for (long i = from; i <= to; ++i) {
    py::object tok = tokens[static_cast<std::size_t>(i)];
    std::string name = token_name(tok);
    if (is_layout_token(name)) {
      if (name != "NL" && name != "COMMENT") joining = false;
      continue;
    }
    long start = tok.attr("startpos").cast<long>(), end = tok.attr("endpos").cast<long>();
    if (name == "STRING" && joining) {
      Tok& literal = found.back();
      literal.end = end;
      literal.last = i;
      literal.string = text_of(text[py::slice(py::int_(literal.start), py::int_(end), py::none())]);
      py::str joined("(" + literal.string + "\n)");
      py::object value = on_error(
          PyExc_Exception, [&] { return lookup("ast", "literal_eval")(joined); },
          [] { return py::object(); });
      literal.key = value ? py::make_tuple(name, value.get_type().attr("__name__"), value)
                          : py::make_tuple(name, py::str(literal.string));
      continue;
    }
    found.push_back(Tok{i, start, end, text_of(tok.attr("string")), token_key(tok, name), i});
    joining = name == "STRING";
  }
  return found;
}

// A literal in brackets that only group it (`help_text=(\n "..." "..."\n)`, a text over
// several lines) is one token too, keyed by the literal's value: the renderer writes no such
// brackets, and the author's stay with the literal when its value is unchanged.
std::vector<Tok> grouped_literals(std::vector<Tok> toks, const py::str& text) {
  auto name_like = [](const std::string& t) {
    return !t.empty() && (std::isalnum(static_cast<unsigned char>(t[0])) || t[0] == '_' ||
                          t[0] == '"' || t[0] == '\'');
  };
  std::vector<Tok> out;
  for (std::size_t k = 0; k < toks.size(); ++k) {
    bool grouping = toks[k].string == "(" && k + 2 < toks.size() && k > 0 &&
                    toks[k + 2].string == ")" &&
                    py::tuple(toks[k + 1].key)[0].cast<std::string>() == "STRING";
    if (grouping) {
      const std::string& before = toks[k - 1].string;
      bool keyword = name_like(before) && truthy(lookup("keyword", "iskeyword")(py::str(before)));
      grouping = (!name_like(before) || keyword) && !is_closing(before);
    }
    if (!grouping) {
      out.push_back(toks[k]);
      continue;
    }
    Tok merged = toks[k + 1];
    merged.index = toks[k].index;
    merged.start = toks[k].start;
    merged.end = toks[k + 2].end;
    merged.last = toks[k + 2].last;
    merged.string = text_of(text[py::slice(py::int_(merged.start), py::int_(merged.end), py::none())]);
    out.push_back(merged);
    k += 2;
  }
  return out;
}

py::list key_list(const std::vector<Tok>& toks) {
  py::list keys;
  for (const Tok& tok : toks) keys.append(tok.key);
  return keys;
}

// The rendering of the source's tokens first..last, with the source's own text wherever a
// run of its tokens matches the rendering: between two such tokens that follow each other in
// the source, what stood between them (spaces, line breaks, comments) stays. A comment that
// stood next to a token the rendering has not is written at the next break, before a line
// break (inside brackets, where the comments of a statement stand, that is still the same
// statement). A trailing comma the rendering leaves out before a closing bracket stays: it
// is how the author asked for one item a line. None when the rendering does not tokenize.
std::optional<py::str> merge_tokens(const Source& source, long first, long last,
                                    const py::str& rendered) {
  std::vector<Tok> o = grouped_literals(code_tokens(source.tokens(), first, last, source.text()),
                                        source.text());
  py::list rendered_tokens;
  try {
    rendered_tokens = G("ASTTokens")(rendered, py::arg("parse") = false).attr("tokens");
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    return std::nullopt;
  }
  std::vector<Tok> r =
      code_tokens(rendered_tokens, 0, static_cast<long>(py::len(rendered_tokens)) - 1, rendered);
  if (o.empty() || r.empty()) return std::nullopt;

  std::vector<std::vector<PlacedComment>> gap_comments(o.size() - 1);
  for (std::size_t k = 0; k + 1 < o.size(); ++k) {
    gap_comments[k] = source.placed_comments(o[k].last + 1, o[k + 1].index - 1);
  }
  std::vector<bool> broken(o.size() - 1, false);
  auto break_around = [&](long deleted) {
    if (deleted > 0) broken[static_cast<std::size_t>(deleted - 1)] = true;
    if (deleted + 1 < static_cast<long>(o.size())) broken[static_cast<std::size_t>(deleted)] = true;
  };

  struct Out {
    bool original;
    long index;   // into o or r
    long rindex;  // the matching rendering token, -1 for none
    std::optional<std::string> gap = std::nullopt;  // the source's own text to go before it
  };
  std::vector<Out> plan;
  // The source's text between o[k - 1] and o[k], when no comment stands in it.
  auto source_gap = [&](long k) -> std::optional<std::string> {
    if (k <= 0 || k >= static_cast<long>(o.size())) return std::nullopt;
    if (!gap_comments[static_cast<std::size_t>(k - 1)].empty()) return std::nullopt;
    return text_of(source.slice(o[static_cast<std::size_t>(k - 1)].end,
                                o[static_cast<std::size_t>(k)].start));
  };
  // Around what a fix replaced, removed or added, the source's own spacing stays: the text
  // before the first token it replaced goes before its replacement, and the text after the
  // last one it replaced or removed goes before the source token that follows (an argument
  // removed from a call laid out one per line takes its line with it).
  std::optional<std::string> after_change;
  py::list opcodes = lookup("difflib", "SequenceMatcher")(py::none(), key_list(o), key_list(r),
                                                          py::arg("autojunk") = false)
                         .attr("get_opcodes")();
  const std::size_t count = py::len(opcodes);
  for (std::size_t p = 0; p < count; ++p) {
    py::tuple op = opcodes[p];
    std::string tag = text_of(op[0]);
    long i1 = op[1].cast<long>(), i2 = op[2].cast<long>();
    long j1 = op[3].cast<long>(), j2 = op[4].cast<long>();
    if (tag == "equal") {
      for (long t = 0; t < i2 - i1; ++t) plan.push_back({true, i1 + t, j1 + t});
      if (after_change && i2 > i1) plan[plan.size() - static_cast<std::size_t>(i2 - i1)].gap = after_change;
      after_change.reset();
      continue;
    }
    bool quiet = true;  // no comment stands among the tokens it changes
    for (long g = std::max(i1 - 1, 0L); g < i2 && g < static_cast<long>(gap_comments.size()); ++g) {
      quiet = quiet && gap_comments[static_cast<std::size_t>(g)].empty();
    }
    for (long j = j1; j < j2; ++j) plan.push_back({false, j, j});
    if (quiet && j2 > j1 && i2 > i1) plan[plan.size() - static_cast<std::size_t>(j2 - j1)].gap = source_gap(i1);
    after_change = quiet && i2 > 0 ? source_gap(i2) : std::nullopt;
    if (quiet && i2 == i1 && i1 > 0) after_change = source_gap(i1);
    // A removal keeps the spacing before what it removed, but where it ends a line of its
    // own (one item a line) and does not follow an opening bracket: then the line goes.
    // Right after an opening bracket, what follows moves up to it, unless the statement's
    // brackets close on a line of their own (one item a line): then each item keeps its line.
    bool closes_alone = o.size() > 1 && is_closing(o.back().string) &&
                        [&] {
                          auto gap = source_gap(static_cast<long>(o.size()) - 1);
                          return gap && gap->find('\n') != std::string::npos;
                        }();
    if (quiet && j1 == j2 && i2 > i1 && i1 > 0) {
      auto before = source_gap(i1);
      bool after_line = after_change && after_change->find('\n') != std::string::npos;
      if (is_opening(o[static_cast<std::size_t>(i1 - 1)].string)) {
        after_change = closes_alone ? before : std::optional<std::string>("");
      } else if (!after_line) {
        after_change = before;
      }
    }
    if (quiet && j2 > j1 && i2 > i1 && is_opening(r[static_cast<std::size_t>(j2 - 1)].string) &&
        !closes_alone) {
      after_change = "";
    }
    // Brackets the change emptied close at once.
    std::string written_last = j2 > j1 ? r[static_cast<std::size_t>(j2 - 1)].string
                                        : (i1 > 0 ? o[static_cast<std::size_t>(i1 - 1)].string : "");
    if (quiet && i2 > i1 && i2 < static_cast<long>(o.size()) &&
        is_closing(o[static_cast<std::size_t>(i2)].string) && is_opening(written_last)) {
      after_change = "";
    }
    // An item added after a trailing comma, in brackets laid out one item a line, goes on a
    // line of its own, with a trailing comma of its own.
    if (quiet && i1 == i2 && j2 > j1 && i1 > 0 && i1 < static_cast<long>(o.size()) &&
        o[static_cast<std::size_t>(i1 - 1)].string == "," &&
        is_closing(o[static_cast<std::size_t>(i1)].string)) {
      auto between = source_gap(i1);
      if (between && between->find('\n') != std::string::npos) {
        plan[plan.size() - static_cast<std::size_t>(j2 - j1)].gap =
            "\n" + source.line_indentation(o[static_cast<std::size_t>(i1 - 1)].start);
        bool has_comma = r[static_cast<std::size_t>(j2 - 1)].string == ",";
        after_change = (has_comma ? "" : ",") + *between;
      }
    }
    long keep = -1;
    if (i2 > i1 && o[static_cast<std::size_t>(i2 - 1)].string == "," &&
        i2 < static_cast<long>(o.size()) && is_closing(o[static_cast<std::size_t>(i2)].string) &&
        p + 1 < count) {
      py::tuple next = opcodes[p + 1];
      std::string before;
      if (!plan.empty()) {
        const Out& last_out = plan.back();
        before = last_out.original ? o[static_cast<std::size_t>(last_out.index)].string
                                   : r[static_cast<std::size_t>(last_out.index)].string;
      }
      long bracket_r = next[3].cast<long>();
      std::string rendered_before = bracket_r > 0 ? r[static_cast<std::size_t>(bracket_r - 1)].string : "";
      if (text_of(next[0]) == "equal" && next[1].cast<long>() == i2 && !plan.empty() &&
          !is_opening(before) && before != "," && rendered_before != ",") {
        keep = i2 - 1;
      }
    }
    for (long k = i1; k < i2; ++k) {
      if (k != keep) break_around(k);
    }
    if (keep >= 0) {
      plan.push_back({true, keep, -1});
      after_change.reset();
    }
  }
  py::list pieces;
  std::vector<PlacedComment> pending;
  auto take_gaps = [&](long from, long to) {  // gap indices [from, to)
    for (long g = from; g < to; ++g) {
      for (const auto& comment : gap_comments[static_cast<std::size_t>(g)]) pending.push_back(comment);
    }
  };
  // A comment that stood on a line of its own goes on one again, at its own indentation;
  // one after code, after code.
  std::string last_indentation;
  auto written_comments = [&](bool last) {
    std::string text;
    for (std::size_t i = 0; i < pending.size(); ++i) {
      const PlacedComment& comment = pending[i];
      bool line_start = !text.empty() && text.back() == '\n';
      if (comment.own_line) {
        text += (line_start ? "" : "\n") + comment.indentation + comment.text;
        last_indentation = comment.indentation;
      } else {
        text += (line_start ? "" : "  ") + comment.text;
      }
      if (!last || i + 1 < pending.size()) text += "\n";
    }
    pending.clear();
    return text;
  };
  // What goes before the plan's item: the comments waiting to be written (the line they end
  // taken up at the indentation the item had in the source, or that of the comment above
  // it), else the rendering's own spacing.
  auto separator = [&](const Out& item) -> py::str {
    long rindex = item.rindex;
    if (!pending.empty()) {
      last_indentation.clear();
      std::string text = written_comments(false);
      if (item.original) {
        std::string own = source.indentation_before(o[static_cast<std::size_t>(item.index)].start);
        text += own.empty() ? last_indentation : own;
      } else {
        text += last_indentation;
      }
      return py::str(text);
    }
    if (rindex > 0) {
      return py::str(rendered[py::slice(py::int_(r[static_cast<std::size_t>(rindex - 1)].end),
                                        py::int_(r[static_cast<std::size_t>(rindex)].start),
                                        py::none())]);
    }
    return py::str(rindex < 0 ? "" : " ");
  };
  long cursor = -1;
  bool line_broken = false;  // the comments after the last token written ended its line
  auto lead = [&](const Out& item) -> py::str {
    if (line_broken && pending.empty()) return py::str("");
    return pending.empty() && item.gap ? py::str(*item.gap) : separator(item);
  };
  for (std::size_t n = 0; n < plan.size(); ++n) {
    const Out& item = plan[n];
    if (item.original) {
      const Tok& tok = o[static_cast<std::size_t>(item.index)];
      if (n > 0) {
        const Out& previous = plan[n - 1];
        bool verbatim = previous.original && previous.index == item.index - 1 &&
                        !broken[static_cast<std::size_t>(item.index - 1)];
        if (verbatim) {
          cursor = item.index;
          pieces.append(source.slice(o[static_cast<std::size_t>(previous.index)].end, tok.start));
        } else {
          take_gaps(std::max(cursor, 0L), item.index);
          cursor = item.index;
          pieces.append(lead(item));
        }
      } else {
        cursor = item.index;
      }
      line_broken = false;
      pieces.append(source.slice(tok.start, tok.end));
      // The comments after a source token whose neighbour the fix changed stay right after
      // it, where their author put them, and the line goes on as it did in the source.
      long k = item.index;
      bool next_verbatim = n + 1 < plan.size() && plan[n + 1].original &&
                           plan[n + 1].index == k + 1 && !broken[static_cast<std::size_t>(k)];
      if (!next_verbatim && k + 1 < static_cast<long>(o.size()) && k >= cursor && pending.empty() &&
          !gap_comments[static_cast<std::size_t>(k)].empty()) {
        std::string text, indentation;
        for (const PlacedComment& comment : gap_comments[static_cast<std::size_t>(k)]) {
          text += comment.own_line ? "\n" + comment.indentation + comment.text : "  " + comment.text;
          if (comment.own_line) indentation = comment.indentation;
        }
        std::string own = source.indentation_before(o[static_cast<std::size_t>(k + 1)].start);
        pieces.append(py::str(text + "\n" + (own.empty() ? indentation : own)));
        cursor = k + 1;
        line_broken = true;
      }
    } else {
      const Tok& tok = r[static_cast<std::size_t>(item.index)];
      if (n > 0) pieces.append(lead(item));
      line_broken = false;
      pieces.append(py::str(rendered[py::slice(py::int_(tok.start), py::int_(tok.end), py::none())]));
    }
  }
  take_gaps(std::max(cursor, 0L), static_cast<long>(o.size()) - 1);
  if (!pending.empty()) pieces.append(py::str(written_comments(true)));
  return py::str("").attr("join")(pieces);
}

// ---------------------------------------------------------------------------------------
// Whether a text parses back to a statement

// Two trees of the same shape: the same node classes with the same values, positions and
// the spelling of a literal's prefix (`u""`) aside. With `header_only` the bodies of the two
// (compound) statements are not compared.
bool same_shape(FieldTable& fields, py::handle a, py::handle b, bool header_only);

bool same_value_shape(FieldTable& fields, py::handle a, py::handle b) {
  return alike(a, b, [&fields](py::handle x, py::handle y) { return same_shape(fields, x, y, false); });
}

bool same_shape(FieldTable& fields, py::handle a, py::handle b, bool header_only) {
  if (Py_TYPE(a.ptr()) != Py_TYPE(b.ptr())) return false;
  const Fields& f = fields.of(a);
  for (std::size_t i = 0; i < f.names.size(); ++i) {
    if (header_only && f.body[i]) continue;
    if (text_of(f.names[i]) == "kind") continue;
    if (!same_value_shape(fields, py::getattr(a, f.names[i], py::none()),
                          py::getattr(b, f.names[i], py::none()))) {
      return false;
    }
  }
  return true;
}

// The text of one statement as it would stand on its lines, made parseable on its own: an
// indented statement goes into a block of its own, an `elif` clause becomes an if statement.
py::str standalone(const std::string& prefix, std::string code) {
  if (code.rfind("elif", 0) == 0) code = code.substr(2);
  if (!prefix.empty() && is_blank(prefix)) return py::str("if 1:\n" + prefix + code);
  return py::str(code);
}

// Whether `code` parses to exactly one statement of the same shape as `statement`.
bool parses_to(FieldTable& fields, const std::string& prefix, const std::string& code,
               py::handle statement, bool header_only) {
  py::str text = standalone(prefix, code);
  py::object module = on_error(
      PyExc_Exception,
      [&] { return lookup("astroid.builder", "AstroidBuilder")().attr("_data_build")(text, "", py::none()); },
      [] { return py::object(py::none()); });
  if (module.is_none()) return false;
  py::list body = module.attr("body");
  if (body.size() != 1) return false;
  py::object parsed = body[0];
  if (!prefix.empty() && is_blank(prefix)) {
    py::list inner = parsed.attr("body");
    if (inner.size() != 1) return false;
    parsed = inner[0];
  }
  return same_shape(fields, parsed, statement, header_only);
}

// ---------------------------------------------------------------------------------------
// One change, rendered

struct Rendered {
  Kind kind;
  py::object node;
  long start = 0;
  long end = 0;
  py::object text = py::none();
  std::string reason;
  bool whole = false;  // a compound statement rendered with its bodies
};

std::string join(const std::vector<std::string>& parts, const std::string& glue) {
  std::string out;
  for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? glue : "") + parts[i];
  return out;
}

// Every line after the first given the statement's indentation, blank lines left empty.
std::string indent_continuation(const std::string& code, const std::string& indentation) {
  std::string out;
  std::size_t start = 0;
  bool first = true;
  while (true) {
    std::size_t end = code.find('\n', start);
    std::string line = code.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (!first) out += '\n';
    out += (first || line.empty()) ? line : indentation + line;
    first = false;
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return out;
}

std::string own_lines(const std::vector<std::string>& comments, const std::string& indentation) {
  std::string out;
  for (const auto& comment : comments) out += comment + "\n" + indentation;
  return out;
}

// (old node, new node) for each part of a compound statement's header that changed, or
// nullopt when a change cannot be told part by part (a part with no tokens of its own, a
// list that grew or shrank, a name that changed).
bool header_edits(Comparison& compare, py::handle old, py::handle now,
                  std::vector<std::pair<py::object, py::object>>& edits) {
  if (is_node(old) || is_node(now)) {
    if (!is_node(old) || !is_node(now)) return false;
    if (old.is(now) && compare.unchanged(now)) return true;
    if (!has_tokens(old)) return false;
    edits.emplace_back(py::reinterpret_borrow<py::object>(old), py::reinterpret_borrow<py::object>(now));
    return true;
  }
  if (is_sequence(old) || is_sequence(now)) {
    if (!is_sequence(old) || !is_sequence(now) || py::len(old) != py::len(now)) return false;
    py::tuple items_old = py::tuple(py::reinterpret_borrow<py::object>(old));
    py::tuple items_now = py::tuple(py::reinterpret_borrow<py::object>(now));
    for (std::size_t i = 0; i < items_old.size(); ++i) {
      if (!header_edits(compare, items_old[i], items_now[i], edits)) return false;
    }
    return true;
  }
  return compare.same(old, now);
}

// A statement as the renderer writes it; with a quote to use, its string literals turned
// towards that quote (those of the source keep their own spelling in the token merge).
py::str render(const Source& source, py::handle node) {
  py::str code = G("render_statement")(node);
  if (source.quote().is_none()) return code;
  return G("requote_literals")(code, source.quote());
}

// A simple statement changed in place: its whole text.
void render_simple(const Source& source, FieldTable& fields, Rendered& out) {
  py::handle stmt = out.node;
  out.start = startpos(stmt);
  out.end = endpos(stmt);
  std::string prefix = source.prefix(stmt);
  py::str plain = render(source, stmt);
  std::vector<std::string> comments = source.comments(first_index(stmt), last_index(stmt));

  std::vector<std::string> candidates;
  if (auto merged = merge_tokens(source, first_index(stmt), last_index(stmt), plain)) {
    candidates.push_back(text_of(*merged));
  }
  if (comments.empty()) {
    candidates.push_back(text_of(plain));
  } else if (prefix.empty() || is_blank(prefix)) {
    // The comments stood inside the statement's brackets: they go on their own lines above it.
    candidates.push_back(own_lines(comments, prefix) + text_of(plain));
  }
  for (const auto& code : candidates) {
    if (parses_to(fields, prefix, code, stmt, false)) {
      out.text = py::str(code);
      return;
    }
  }
  out.reason = candidates.empty() ? "its comments could not be kept"
                                  : "its rendering does not parse back to the fixed statement";
}

// A compound statement whose header changed: the parts that changed, in place. When the
// change cannot be told part by part, the whole statement with its bodies.
void render_compound(const Source& source, Comparison& compare, FieldTable& fields,
                     Rendered& out) {
  py::handle stmt = out.node;
  const Entry* entry = compare.snapshot().find(stmt);
  const Fields& f = fields.of(stmt);
  std::vector<std::pair<py::object, py::object>> edits;
  bool by_part = entry != nullptr;
  for (std::size_t i = 0; by_part && i < f.names.size(); ++i) {
    if (f.body[i]) continue;
    by_part = header_edits(compare, entry->values[i], py::getattr(stmt, f.names[i], py::none()), edits);
  }
  std::string prefix = source.prefix(stmt);
  long stmt_start = startpos(stmt), stmt_end = endpos(stmt);

  if (by_part && !edits.empty()) {
    std::sort(edits.begin(), edits.end(), [](const auto& a, const auto& b) {
      return startpos(a.first) < startpos(b.first);
    });
    std::vector<std::string> plain, merged, comments;
    bool all_merged = true;
    for (const auto& [old, now] : edits) {
      py::str rendering = render(source, now);
      plain.push_back(text_of(rendering));
      auto laid = merge_tokens(source, first_index(old), last_index(old), rendering);
      all_merged = all_merged && laid.has_value();
      merged.push_back(laid ? text_of(*laid) : text_of(rendering));
      for (auto& c : source.comments(first_index(old), last_index(old))) comments.push_back(c);
    }
    // The statement's text from `from` to the end of the last part, each part replaced.
    auto with_parts = [&](const std::vector<std::string>& parts, long from) {
      std::string code;
      long at = from;
      for (std::size_t k = 0; k < edits.size(); ++k) {
        code += text_of(source.slice(at, startpos(edits[k].first))) + parts[k];
        at = endpos(edits[k].first);
      }
      return std::make_pair(code, at);
    };
    struct Candidate {
      std::vector<std::string> parts;
      std::string above;
    };
    std::vector<Candidate> candidates;
    if (all_merged) candidates.push_back({merged, ""});
    if (comments.empty()) {
      candidates.push_back({plain, ""});
    } else if (prefix.empty() || is_blank(prefix)) {
      candidates.push_back({plain, own_lines(comments, prefix)});
    }
    for (const auto& candidate : candidates) {
      auto [head, resume] = with_parts(candidate.parts, stmt_start);
      std::string whole = candidate.above + head + text_of(source.slice(resume, stmt_end));
      if (!parses_to(fields, prefix, whole, stmt, true)) continue;
      if (candidate.above.empty()) {
        long first_part = startpos(edits.front().first);
        out.start = first_part;
        out.text = py::str(with_parts(candidate.parts, first_part).first);
      } else {
        out.start = stmt_start;
        out.text = py::str(candidate.above + head);
      }
      out.end = resume;
      return;
    }
    out.start = startpos(edits.front().first);
    out.end = endpos(edits.back().first);
    out.reason = "its rendering does not parse back to the fixed statement";
    return;
  }

  out.whole = true;
  out.start = stmt_start;
  out.end = stmt_end;
  if (!source.comments(first_index(stmt), last_index(stmt)).empty()) {
    out.reason = "its comments could not be kept";
    return;
  }
  std::string code = indent_continuation(text_of(render(source, stmt)), is_blank(prefix) ? prefix : "");
  if (parses_to(fields, prefix, code, stmt, false)) {
    out.text = py::str(code);
  } else {
    out.reason = "its rendering does not parse back to the fixed statement";
  }
}

// ---------------------------------------------------------------------------------------
// Where an added statement goes

// The body that holds `node`, and its place in it.
std::pair<py::list, long> body_place(py::handle node) {
  py::object parent = getattr_or_none(node, "parent");
  if (parent.is_none()) return {py::list(), -1};
  for (const char* name : {"body", "orelse", "handlers", "finalbody", "cases"}) {
    py::object items = getattr_or_none(parent, name);
    if (!PyList_Check(items.ptr())) continue;
    py::list list = py::reinterpret_borrow<py::list>(items);
    for (std::size_t i = 0; i < list.size(); ++i) {
      if (list[i].ptr() == node.ptr()) return {list, static_cast<long>(i)};
    }
  }
  return {py::list(), -1};
}

// The end of the module's docstring, or -1 when it has none.
long docstring_end(const Source& source, py::handle tree) {
  if (!truthy(getattr_or_none(tree, "doc"))) return -1;
  long end = -1;
  for (py::handle tok : source.tokens()) {
    std::string name = token_name(tok);
    if (name == "STRING") {
      end = tok.attr("endpos").cast<long>();
    } else if (name == "NEWLINE" || (!is_layout_token(name) && end >= 0)) {
      break;
    } else if (!is_layout_token(name)) {
      return -1;
    }
  }
  return end;
}

struct Place {
  long offset;       // where the statement's line begins
  std::string indentation;
};

// A statement added to a body goes on a line of its own: after the source statement before
// it in the body (its last line and the comment on it), or, when it comes first, in front of
// the source statement after it; first in a module with a docstring, after the docstring.
std::optional<Place> new_place(const Source& source, py::handle node) {
  auto [body, index] = body_place(node);
  if (index < 0) return std::nullopt;
  for (long i = index - 1; i >= 0; --i) {
    py::object before = body[static_cast<std::size_t>(i)];
    if (!has_tokens(before)) continue;
    long end = source.line_end(endpos(before));
    std::string prefix = source.prefix(before);
    return Place{std::min(end + 1, source.size()), is_blank(prefix) ? prefix : ""};
  }
  py::object parent = node.attr("parent");
  bool in_module = vettor::isinstance(parent, astroid_class("Module"));
  if (in_module) {
    long doc = docstring_end(source, parent);
    if (doc >= 0) return Place{std::min(source.line_end(doc) + 1, source.size()), ""};
  }
  for (std::size_t i = static_cast<std::size_t>(index) + 1; i < body.size(); ++i) {
    py::object after = body[i];
    if (!has_tokens(after)) continue;
    std::string prefix = source.prefix(after);
    return Place{source.line_start(startpos(after)), is_blank(prefix) ? prefix : ""};
  }
  if (in_module) return Place{source.size(), ""};
  return std::nullopt;
}

std::string indent_lines(const std::string& code, const std::string& indentation) {
  return indentation + indent_continuation(code, indentation);
}

void render_added(const Source& source, FieldTable& fields, Rendered& out) {
  auto place = new_place(source, out.node);
  if (!place) {
    out.reason = "there is no place to put it";
    return;
  }
  out.start = out.end = place->offset;
  std::string code = indent_lines(text_of(render(source, out.node)), place->indentation);
  std::string check = place->indentation.empty() ? code : code.substr(place->indentation.size());
  if (!parses_to(fields, place->indentation, check, out.node, false)) {
    out.reason = "its rendering does not parse back to the fixed statement";
    return;
  }
  bool needs_break = place->offset == source.size() && source.size() > 0 &&
                     text_of(source.slice(source.size() - 1, source.size())) != "\n";
  out.text = py::str((needs_break ? "\n" : "") + code + (needs_break ? "" : "\n"));
}

// A removed statement's lines go, but for the comments on them, which stay where it stood.
void render_removed(const Source& source, Rendered& out) {
  py::handle stmt = out.node;
  if (!has_tokens(stmt)) {
    out.reason = "it has no place in the source";
    return;
  }
  std::string prefix = source.prefix(stmt);
  long end = endpos(stmt);
  long line_end = source.line_end(end);
  std::string after = text_of(source.slice(end, line_end));
  std::size_t at = after.find_first_not_of(" \t\f\r");
  bool own_lines_only = is_blank(prefix) && (at == std::string::npos || after[at] == '#');
  py::object parent = getattr_or_none(stmt, "parent");
  auto [body, index] = body_place(stmt);
  (void)index;
  bool emptied = !vettor::isinstance(parent, astroid_class("Module")) &&
                 PyList_Check(getattr_or_none(parent, "body").ptr()) &&
                 py::len(parent.attr("body")) == 0;
  out.start = source.line_start(startpos(stmt));
  out.end = std::min(line_end + 1, source.size());
  if (!own_lines_only || emptied) {
    out.reason = own_lines_only ? "its block would be left empty" : "it shares its lines";
    return;
  }
  std::vector<std::string> comments = source.comments(first_index(stmt), last_index(stmt));
  if (at != std::string::npos) comments.push_back(after.substr(at));
  std::string text;
  for (auto& comment : comments) {
    while (!comment.empty() && (comment.back() == '\r' || comment.back() == ' ')) comment.pop_back();
    text += prefix + comment + "\n";
  }
  out.text = py::str(text);
}

// ---------------------------------------------------------------------------------------
// Statements that go together

class Groups {
 public:
  PyObject* root(PyObject* key) {
    auto found = parent_.find(key);
    if (found == parent_.end()) {
      parent_[key] = key;
      return key;
    }
    if (found->second == key) return key;
    PyObject* top = root(found->second);
    parent_[key] = top;
    return top;
  }
  void join(PyObject* a, PyObject* b) { parent_[root(a)] = root(b); }

 private:
  std::unordered_map<PyObject*, PyObject*> parent_;
};

bool inside(py::handle node, py::handle ancestor) {
  for (py::object at = getattr_or_none(node, "parent"); !at.is_none(); at = getattr_or_none(at, "parent")) {
    if (at.is(ancestor)) return true;
  }
  return false;
}

py::object make_change(const Source& source, const Rendered& r) {
  return G("StatementChange")(kind_name(r.kind), r.node, r.start, r.end,
                              source.line_number(r.start), source.line_number(r.end), r.text,
                              r.reason.empty() ? py::object(py::none()) : py::object(py::str(r.reason)));
}

// The changes a watched fixing made on the tree of `atok`, in the order of the source, each
// with the text that replaces its characters, or None (and the reason) when it is left out.
py::list statement_changes(py::object atok, std::shared_ptr<FixWatch> watch, py::object quote) {
  py::list result;
  auto snapshot = watch->snapshot();
  if (!snapshot) return result;
  Source source(atok, quote);
  FieldTable& fields = *watch->fields();
  Comparison compare(*snapshot);
  std::vector<Rendered> rendered;
  for (RawChange& change : diff_tree(*snapshot, atok.attr("tree"))) {
    Rendered r{change.kind, change.node};
    if (change.kind == Kind::kAdded) {
      render_added(source, fields, r);
    } else if (change.kind == Kind::kRemoved) {
      render_removed(source, r);
    } else if (!has_tokens(change.node)) {
      r.reason = "it has no place in the source";
    } else if (vettor::hasattr(change.node, "body") &&
               truthy(py::getattr(change.node, "is_statement", py::bool_(false)))) {
      render_compound(source, compare, fields, r);
    } else {
      render_simple(source, fields, r);
    }
    rendered.push_back(std::move(r));
  }
  // A compound statement written whole carries the changes inside it.
  std::vector<Rendered> kept;
  for (auto& r : rendered) {
    bool carried = false;
    for (const auto& outer : rendered) {
      if (outer.whole && &outer != &r && inside(r.node, outer.node)) carried = true;
    }
    if (!carried) kept.push_back(std::move(r));
  }

  // The statements one fix changed go together; so do all those of a fix that changed
  // statements besides the one it was given (its runs depend on one shared edit).
  Groups groups;
  std::unordered_set<PyObject*> failed;
  std::unordered_map<PyObject*, std::vector<PyObject*>> by_transform;
  std::unordered_set<PyObject*> linking;
  for (const FixRun& run : watch->run_list()) {
    std::vector<PyObject*> members;
    if (!run.statement.is_none()) members.push_back(run.statement.ptr());
    for (const auto& node : run.linked) members.push_back(node.ptr());
    for (std::size_t i = 1; i < members.size(); ++i) groups.join(members[i], members[0]);
    auto& all = by_transform[run.transform.ptr()];
    all.insert(all.end(), members.begin(), members.end());
    if (!run.linked.empty()) linking.insert(run.transform.ptr());
    if (!run.error.is_none()) failed.insert(members.begin(), members.end());
  }
  for (PyObject* transform : linking) {
    const auto& members = by_transform[transform];
    for (std::size_t i = 1; i < members.size(); ++i) groups.join(members[i], members[0]);
  }
  std::unordered_set<PyObject*> refused;
  for (PyObject* node : failed) refused.insert(groups.root(node));
  for (auto& r : kept) {
    if (failed.count(r.node.ptr()) && !r.text.is_none()) {
      r.text = py::none();
      r.reason = "its fix failed";
    }
    if (r.text.is_none()) refused.insert(groups.root(r.node.ptr()));
  }
  for (auto& r : kept) {
    if (!r.text.is_none() && refused.count(groups.root(r.node.ptr()))) {
      r.text = py::none();
      r.reason = "a change made with it is left out";
    }
  }
  std::stable_sort(kept.begin(), kept.end(),
                   [](const Rendered& a, const Rendered& b) { return a.start < b.start; });
  py::object file = watch->path();
  for (const auto& r : kept) {
    if (r.text.is_none()) {
      logger().attr("warning")("Left unfixed: the statement at line %s of %s, because %s",
                               source.line_number(r.start), file, r.reason);
    }
    result.append(make_change(source, r));
  }
  return result;
}

// The text with each change's text in place of its characters; changes without a text are
// left out. Changes come in the order of their offsets; one that would overlap the one
// before it is left out too.
py::str splice_changes(py::str text, py::object changes) {
  std::vector<std::pair<long, py::object>> order;
  long position = 0;
  for (py::handle change : changes) {
    order.emplace_back(position++, py::reinterpret_borrow<py::object>(change));
  }
  std::stable_sort(order.begin(), order.end(), [](const auto& a, const auto& b) {
    return a.second.attr("start").template cast<long>() < b.second.attr("start").template cast<long>();
  });
  py::list pieces;
  long at = 0;
  for (auto& [index, change] : order) {
    (void)index;
    py::object replacement = change.attr("text");
    if (replacement.is_none()) continue;
    long start = change.attr("start").cast<long>();
    long end = change.attr("end").cast<long>();
    if (start < at) {
      logger().attr("warning")("Left unfixed: a change at offset %s overlaps the one before it",
                               start);
      continue;
    }
    pieces.append(text[py::slice(py::int_(at), py::int_(start), py::none())]);
    pieces.append(replacement);
    at = end;
  }
  pieces.append(text[py::slice(py::int_(at), py::none(), py::none())]);
  return py::str("").attr("join")(pieces);
}

// (line, offset, indentation) of the line a statement added to a body goes on: it is put
// in front of source line `line`, which begins at `offset` (one past the last line, at the
// text's end, when it goes last).
py::object new_statement_position(py::object atok, py::object node) {
  Source source(atok);
  auto place = new_place(source, node);
  if (!place) return py::none();
  return py::make_tuple(source.line_number(place->offset), place->offset, place->indentation);
}

// Whether `code`, the text of a statement that stands after `prefix` on its first line,
// parses back to exactly `statement` (its header only, when `header_only`).
bool renders_faithfully(py::str code, py::object statement, py::str prefix, bool header_only) {
  FieldTable fields;
  return parses_to(fields, text_of(prefix), text_of(code), statement, header_only);
}

}  // namespace

void register_splice(py::module_& m) {
  if (!vettor::hasattr(m, "ASTTokens")) m.attr("ASTTokens") = lookup("asttokens", "ASTTokens");
  m.attr("StatementChange") = lookup("collections", "namedtuple")(
      "StatementChange",
      py::make_tuple("kind", "node", "start", "end", "first_line", "last_line", "text", "reason"),
      py::arg("module") = m.attr("__name__"));
  py::class_<FixWatch, std::shared_ptr<FixWatch>>(m, "FixWatch",
                                                   "The fixes run over one tree: what they changed "
                                                   "and which statements go together.")
      .def(py::init<py::object, py::object, py::object>(), py::arg("tree"),
           py::arg("path") = py::none(), py::arg("scope") = py::none())
      .def("watch", &FixWatch::watch, py::arg("visitor"))
      .def_property_readonly("runs", &FixWatch::runs)
      .def_property_readonly("fixed", [](const FixWatch& w) { return static_cast<bool>(w.snapshot()); });
  m.def("statement_changes", &statement_changes, py::arg("atok"), py::arg("watch"),
        py::arg("quote") = py::none());
  m.def("splice_changes", &splice_changes, py::arg("text"), py::arg("changes"));
  m.def("new_statement_position", &new_statement_position, py::arg("atok"), py::arg("node"));
  m.def("renders_faithfully", &renders_faithfully, py::arg("code"), py::arg("statement"),
        py::arg("prefix") = "", py::arg("header_only") = false);
}

}  // namespace vettor::suggest
