// helpers: token-indexed tree builder. A source text becomes an astroid tree built with the
// inference shims and indexed by asttokens; on request, blank lines and comments on lines of
// their own are kept as placeholder statements (print calls) with a map from their line to the
// text they stand for, so that a renderer can write the code back with those lines in place.
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "helpers.hpp"

#include <vettor/project_files.hpp>

namespace vettor::helpers {

namespace {

// The line astroid gives a node when it looks for the statement on a line: definitions that
// can be decorated answer their first line, every other node its own line.
py::object node_line(py::handle node, py::handle definitions) {
  if (vettor::isinstance(node, definitions)) return node.attr("fromlineno");
  return getattr_or_none(node, "lineno");
}

py::tuple definition_classes() {
  py::object nodes = G("astroid").attr("nodes");
  return py::make_tuple(nodes.attr("ClassDef"), nodes.attr("FunctionDef"),
                        nodes.attr("MatchCase"));
}

// Every node of the tree, root first, each node before its children: the order in which
// astroid's statement search looks at them.
template <class Visit>
void walk_preorder(py::handle root, Visit&& visit) {
  std::vector<py::object> stack{py::reinterpret_borrow<py::object>(root)};
  while (!stack.empty()) {
    py::object node = std::move(stack.back());
    stack.pop_back();
    visit(node);
    py::list children(node.attr("get_children")());
    for (auto i = py::len(children); i > 0; --i) stack.push_back(children[i - 1]);
  }
}

// node.statement(), answering the module for the module itself without astroid's deprecation
// warning (the module is no statement in later astroid releases).
py::object statement_of(py::handle node) {
  return on_error(
      G("astroid").attr("exceptions").attr("StatementMissing"),
      [&] { return node.attr("statement")(py::arg("future") = true); },
      [&] { return node.attr("root")(); });
}

// The scope a placeholder belongs to, given the node found on the nearest line at or above it:
// the scope of the statement that holds that node (a definition for its own header lines).
py::object scope_of(py::handle found) { return statement_of(found).attr("scope")(); }

// ---------------------------------------------------------------------------------------------
// Placing placeholders while a tree is built.
//
// Searching the tree for the statement on a line costs a walk of the whole tree, and the
// nearest line that holds one may lie thousands of lines up (a blank line after a long
// docstring). Walking up line by line with a fresh search each time is quadratic in the size of
// the module, so the builder indexes the first node of every line once and keeps the index up
// to date as placeholders go in. Bodies stay sorted by line, so a placeholder is inserted at its
// place by binary search instead of sorting the whole body again.
class Placer {
 public:
  explicit Placer(py::handle tree) : tree_(tree) {
    py::tuple definitions = definition_classes();
    walk_preorder(tree, [&](py::handle node) {
      py::object line = node_line(node, definitions);
      if (py::isinstance<py::int_>(line)) first_on_line_.emplace(line.cast<long>(), node.ptr());
    });
  }

  void place(py::handle node, long line) {
    py::object parent = parent_for(line);
    node.attr("lineno") = line;
    insert_sorted(parent, node, line);
    first_on_line_.emplace(line, node.ptr());
  }

 private:
  py::object parent_for(long line) {
    for (long l = line; l >= 1; --l) {
      auto found = first_on_line_.find(l);
      if (found != first_on_line_.end()) return scope_of(found->second);
    }
    return py::reinterpret_borrow<py::object>(tree_);
  }

  // The body's statements in line order, checked once per body; a body that is not (no parse
  // makes one) falls back to append-and-sort, which sorts it.
  void insert_sorted(py::handle parent, py::handle node, long line) {
    py::list body = parent.attr("body");
    bool sorted = sorted_bodies_.count(body.ptr()) || is_sorted(body);
    parent.attr("_append_node")(node);
    if (!sorted) {
      body.attr("sort")(py::arg("key") = G("attrgetter")("lineno"));
      sorted_bodies_.insert(body.ptr());
      return;
    }
    sorted_bodies_.insert(body.ptr());
    // After the last statement whose line is not below the new one: equal lines keep the order
    // a stable sort would give them.
    Py_ssize_t lo = 0, hi = static_cast<Py_ssize_t>(py::len(body)) - 1;
    while (lo < hi) {
      Py_ssize_t mid = lo + (hi - lo) / 2;
      if (body[mid].attr("lineno").cast<long>() <= line) {
        lo = mid + 1;
      } else {
        hi = mid;
      }
    }
    if (lo < static_cast<Py_ssize_t>(py::len(body)) - 1) {
      body.attr("pop")();
      body.attr("insert")(lo, node);
    }
  }

  static bool is_sorted(py::list body) {
    long previous = 0;
    for (py::handle statement : body) {
      py::object line = getattr_or_none(statement, "lineno");
      if (!py::isinstance<py::int_>(line)) return false;
      long value = line.cast<long>();
      if (value < previous) return false;
      previous = value;
    }
    return true;
  }

  py::handle tree_;
  // Borrowed: every node indexed here is held by the tree for the length of the build.
  std::unordered_map<long, PyObject*> first_on_line_;
  std::unordered_set<PyObject*> sorted_bodies_;
};

// The placeholder call: print("<text>") with the positions the one-line source
// `print("<text>")` gives it. Built node by node rather than parsed: parsing one small module
// per blank line would cost more than building the tree itself. The argument is the text with
// its escapes read as a string literal reads them; a text that no literal of this form accepts
// (a trailing backslash, a truncated \x, \u, \U or \N escape) is kept as it is, since the
// renderer never reads the argument back.
class PlaceholderFactory {
 public:
  // astroid checks the arguments of every Name it makes through their signature, which costs
  // more than the rest of a placeholder together: the name is made once and copied.
  PlaceholderFactory() {
    py::object nodes = G("astroid").attr("nodes");
    call_ = nodes.attr("Call");
    const_ = nodes.attr("Const");
    copy_ = lookup("copy", "copy");
    name_ = nodes.attr("Name")(py::arg("name") = "print", py::arg("lineno") = 1,
                               py::arg("col_offset") = 0, py::arg("parent") = py::none(),
                               py::arg("end_lineno") = 1, py::arg("end_col_offset") = 5);
  }

  py::object make(const std::string& argument) const {
    auto literal_size = static_cast<long>(argument.size()) + 2;  // bytes, as columns count
    py::object call = call_(py::arg("lineno") = 1, py::arg("col_offset") = 0,
                            py::arg("parent") = py::none(), py::arg("end_lineno") = 1,
                            py::arg("end_col_offset") = 7 + literal_size);
    py::object func = copy_(name_);
    func.attr("parent") = call;
    py::object value = const_(py::arg("value") = literal_value(argument), py::arg("lineno") = 1,
                              py::arg("col_offset") = 6, py::arg("parent") = call,
                              py::arg("kind") = py::none(), py::arg("end_lineno") = 1,
                              py::arg("end_col_offset") = 6 + literal_size);
    py::list args;
    args.append(value);
    call.attr("postinit")(py::arg("func") = func, py::arg("args") = args,
                          py::arg("keywords") = py::list());
    return call;
  }

 private:
  static py::object literal_value(const std::string& argument) {
    if (argument.find('\\') == std::string::npos) return py::str(argument);
    py::object warnings = import("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    py::object value;
    try {
      warnings.attr("simplefilter")("ignore");
      value = lookup("ast", "literal_eval")("\"" + argument + "\"");
    } catch (py::error_already_set& e) {
      if (!e.matches(PyExc_SyntaxError) && !e.matches(PyExc_ValueError)) {
        guard.attr("__exit__")(py::none(), py::none(), py::none());
        throw;
      }
      value = py::str(argument);
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return value;
  }

  py::object call_, const_, copy_, name_;
};

std::string replace_all(std::string text, char from, char to) {
  for (char& c : text) {
    if (c == from) c = to;
  }
  return text;
}

void add_placeholders(py::object atok) {
  py::object tree = atok.attr("tree");
  py::dict extra_line_map = atok.attr("extra_line_map");
  py::object tok_name = G("tok_name");
  py::object token = import("token");
  const long nl = token.attr("NL").cast<long>();
  const long comment = token.attr("COMMENT").cast<long>();
  const long encoding = token.attr("ENCODING").cast<long>();

  Placer placer(tree);
  PlaceholderFactory factory;
  // The start line of the nearest earlier token that is neither a comment, a line break inside
  // a statement nor the encoding: asttokens' prev_token, without stepping back over a run of
  // comment lines once per comment.
  long previous_code_line = -1;
  for (py::handle tok : py::list(atok.attr("tokens"))) {
    long type = tok.attr("type").cast<long>();
    std::string name = py::str(tok_name[py::int_(type)]);
    long line = tok.attr("start")[py::int_(0)].cast<long>();
    if (name == "NL") {
      if (tok.attr("line").cast<std::string>() == "\n") {
        placer.place(factory.make(""), line);
        extra_line_map[py::int_(line)] = py::str("");
      }
    } else if (name == "COMMENT") {
      if (previous_code_line != line) {
        std::string text = tok.attr("string").cast<std::string>();
        placer.place(factory.make(replace_all(text, '"', '\'')), line);
        extra_line_map[py::int_(line)] = tok.attr("string");
      }
    }
    if (type != nl && type != comment && type != encoding) previous_code_line = line;
  }
}

// string_build leaves the new tree in the module cache that every manager shares, under the
// module's name, where a later import of that name anywhere in the process would find it.
// The entry is put back as it was once the tree is built.
class ModuleCacheGuard {
 public:
  ModuleCacheGuard(py::object manager, py::object modname)
      : cache_(manager.attr("astroid_cache")), modname_(std::move(modname)) {
    if (cache_.contains(modname_)) previous_ = cache_[modname_];
  }
  ~ModuleCacheGuard() {
    // Runs while an error may be propagating: keep that error, and never throw from here.
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (previous_) {
      if (PyObject_SetItem(cache_.ptr(), modname_.ptr(), previous_.ptr()) < 0) PyErr_Clear();
    } else if (PyDict_Check(cache_.ptr())) {
      if (PyDict_DelItem(cache_.ptr(), modname_.ptr()) < 0) PyErr_Clear();
    }
    PyErr_Restore(type, value, traceback);
  }

 private:
  py::dict cache_;
  py::object modname_;
  py::object previous_;
};

// Python ends a line at a lone carriage return as at a line feed, but the token index counts
// lines at line feeds only and loses its place in such a text. Turned into line feeds, the
// lone ones keep every line and column where they were.
py::object lone_carriage_returns_as_newlines(py::object code) {
  if (!py::isinstance<py::str>(code) || !truthy(code.attr("__contains__")("\r"))) return code;
  return lookup("re", "sub")("\r(?!\n)", "\n", code);
}

py::object build_atok(py::object source, py::object modname, py::object absolute_path,
                      py::object parse_non_code) {
  source = lone_carriage_returns_as_newlines(source);
  // Loaded here rather than with helpers: shims imports helpers. Its first load also puts the
  // shims on astroid's global manager.
  py::module_ shims = import_sibling(G.handle(), "shims");

  // Every AstroidManager shares one state in this astroid release, so giving "a new manager"
  // a registry of its own would replace the process-wide one: astroid's brain transforms would
  // stop applying to every later tree, and modules that inference loads while this tree is
  // built would be cached without them. The tree is therefore built without transforms and
  // then visited with a registry that holds the shims only; the global registry is never
  // touched.
  py::object manager = G("AstroidManager")();
  py::object registry = G("TransformVisitor")();
  shims.attr("register_transforms")(registry);

  py::object tree;
  {
    ModuleCacheGuard guard(manager, modname);
    py::object builder = G("astroid").attr("builder").attr("AstroidBuilder")(
        py::arg("manager") = manager, py::arg("apply_transforms") = false);
    tree = builder.attr("string_build")(source, py::arg("modname") = modname,
                                        py::arg("path") = absolute_path);
    tree = registry.attr("visit")(tree);
  }

  py::object atok = G("ASTTokens")(source, py::arg("tree") = tree);
  atok.attr("extra_line_map") = py::dict();
  if (truthy(parse_non_code)) add_placeholders(atok);
  return atok;
}

// ---------------------------------------------------------------------------------------------

void add_node(py::object tree, py::object node, py::object line_number) {
  py::object parent = G("find_node_parent")(tree, py::arg("line") = line_number);
  node.attr("lineno") = line_number;
  parent.attr("_append_node")(node);
  parent.attr("body").attr("sort")(py::arg("key") = G("attrgetter")("lineno"));
}

// The scope whose body a statement on `line` belongs to: the nearest line at or above it on
// which a node starts decides (placeholders already in the tree count). One walk of the tree
// finds the first node of every line up to `line`, so no line is searched twice.
py::object find_node_parent(py::object tree, py::object line) {
  long limit = line.cast<long>();
  py::tuple definitions = definition_classes();
  std::unordered_map<long, PyObject*> first_on_line;
  long best = -1;
  walk_preorder(tree, [&](py::handle node) {
    py::object node_lineno = node_line(node, definitions);
    if (!py::isinstance<py::int_>(node_lineno)) return;
    long value = node_lineno.cast<long>();
    if (value < 0 || value > limit) return;
    if (first_on_line.emplace(value, node.ptr()).second && value > best) best = value;
  });
  // A line above the first one (0 or negative) ends at the module, as the module's own line.
  if (best < 0) return tree.attr("root")();
  return scope_of(first_on_line.at(best));
}

py::object find_node_by_position(py::object tree, py::object line) {
  py::object node = G("astroid").attr("builder").attr("_find_statement_by_line")(tree, line);
  if (node.is_none()) return py::none();
  return statement_of(node);
}

// The lines of a file, each with its line break ("\r\n" and a lone "\r" read as "\n"). A
// Python file is decoded as Python decodes it (a byte-order mark or coding cookie names the
// encoding, UTF-8 otherwise), as the fix road reads it; any other file (a template) as UTF-8.
// Only a regular file is read: a FIFO or a device is refused without waiting for a writer.
py::object read_code_from_file(py::object path) {
  py::object os = import("os");
  long flags = os.attr("O_RDONLY").cast<long>() |
               py::getattr(os, "O_NONBLOCK", py::int_(0)).cast<long>();
  py::object fd = os.attr("open")(path, flags);
  py::object file;
  try {
    py::object mode = os.attr("fstat")(fd).attr("st_mode");
    if (!truthy(lookup("stat", "S_ISREG")(mode))) {
      raise(PyExc_OSError, "cannot read " + std::string(py::repr(lookup("os", "fspath")(path))) +
                               ": it is not a regular file");
    }
    file = import("builtins").attr("open")(fd, "rb");
  } catch (...) {
    os.attr("close")(fd);
    throw;
  }
  py::bytes data = within(file, [&] { return file.attr("read")(); });
  std::string encoding = "utf-8";
  std::string name = text_bytes(lookup("os", "fspath")(path));
  if (name.size() >= 3 && name.compare(name.size() - 3, 3, ".py") == 0) {
    py::object readline = lookup("io", "BytesIO")(data).attr("readline");
    encoding = py::str(lookup("tokenize", "detect_encoding")(readline)[py::int_(0)]);
  }
  py::object text = lookup("io", "TextIOWrapper")(lookup("io", "BytesIO")(data),
                                                  py::arg("encoding") = encoding);
  return text.attr("readlines")();
}

// The file under the project root that `path` names: a relative path is taken under the root
// (not the working directory), an absolute one as it is. A path that leads out of the root
// (through "..", an absolute path elsewhere, or a link pointing elsewhere) is refused, so
// nothing outside the project is read or written on its behalf. Gives the resolved path:
// what was checked is what gets opened. A loop of links is the OSError opening it would give
// (pathlib reports one as a RuntimeError).
py::object file_under_root(py::object project_root, py::object path) {
  py::object root_path = lookup("pathlib", "Path")(project_root);
  py::object full;
  try {
    full = root_path.attr("__truediv__")(path).attr("resolve")();
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RuntimeError)) throw;
    py::object os = import("os");
    py::object loop = lookup("errno", "ELOOP");
    raise(PyExc_OSError, py::make_tuple(loop, os.attr("strerror")(loop), lookup("os", "fspath")(path)));
  }
  py::object root = root_path.attr("resolve")();
  if (full.equal(root) || !ProjectRoot(root).holds(full)) {
    raise(PyExc_ValueError, bytes_text("refusing " + std::string(py::repr(path)) +
                                       ": it is not a file inside the project root " +
                                       text_bytes(py::str(root))));
  }
  return full;
}

py::object module_path_from_file(py::object path) {
  py::object every_directory = py::cpp_function([](py::args) { return true; });
  py::object parts = G("astroid").attr("modutils").attr("modpath_from_file_with_callback")(
      path, py::none(), py::arg("is_package_cb") = every_directory);
  return py::str(".").attr("join")(parts);
}

}  // namespace

void register_atok(py::module_& m) {
  import("astroid.builder");
  import("astroid.modutils");
  m.def("build_atok", &build_atok, py::arg("source"), py::arg("modname") = "",
        py::arg("absolute_path") = py::none(), py::arg("parse_non_code") = false);
  m.def("add_node", &add_node, py::arg("tree"), py::arg("node"), py::arg("line_number"));
  m.def("find_node_parent", &find_node_parent, py::arg("tree"), py::arg("line"));
  m.def("find_node_by_position", &find_node_by_position, py::arg("tree"), py::arg("line"));
  m.def("read_code_from_file", &read_code_from_file, py::arg("path"));
  m.def("module_path_from_file", &module_path_from_file, py::arg("path"));
  m.def("file_under_root", &file_under_root, py::arg("project_root"), py::arg("path"));
}

}  // namespace vettor::helpers
