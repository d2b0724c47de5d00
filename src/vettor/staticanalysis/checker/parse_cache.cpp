// The trees astroid parses, kept on disk between lints. A lint parses every file of the
// project and every library module that inference reaches (Django's own among them), and
// most of them are the same as last time: a kept tree loads several times faster than the
// source parses. What is kept is the tree as the parser and astroid's rebuilder leave it,
// before astroid resolves imports, adds attributes set through `self` and runs its transforms
// (the shims among them): those depend on other modules and are done afresh every time.
//
// A kept tree is found by a digest of everything the rebuilt tree is made from: the source
// text, the module's name and file, and the versions of astroid, of the interpreter and of
// this format. The trees are pickles, so the folder is the user's own cache folder, readable
// and writable by its owner only; a folder or a file that anyone else could have written is
// not read. Anything that goes wrong while a tree is read (a missing, truncated or foreign
// file) makes it a tree not kept, parsed as usual. Trees not read for a month are removed, at
// most once a day, at the end of a lint.
#include "checker.hpp"

#include <string>

namespace vettor::checker {

namespace {

constexpr const char* kFormat = "vettor astroid tree 1";
constexpr const char* kFolder = "astroid-trees";
constexpr const char* kPruned = ".pruned";
constexpr double kKeptForSeconds = 30 * 24 * 3600;
constexpr double kPruneEverySeconds = 24 * 3600;

py::object os_attr(const char* name) { return import("os").attr(name); }
py::object os_path(const char* name) { return import("os").attr("path").attr(name); }

// Owned by this process's user and, with `mask` 077, neither readable nor writable by anyone
// else; with 022, at least not writable by anyone else. A platform without POSIX owners and
// modes keeps the user's cache folder in the user's own profile.
bool owned_and_closed(py::handle stat_result, long mask) {
  py::object getuid = getattr_or_none(import("os"), "getuid");
  if (getuid.is_none()) return true;
  if (stat_result.attr("st_mode").cast<long>() & mask) return false;
  return py::object(stat_result.attr("st_uid")).equal(getuid());
}

bool is_directory(py::handle stat_result) {
  return truthy(lookup("stat", "S_ISDIR")(stat_result.attr("st_mode")));
}

// The cache folder (made owner-only when it is new), or none when it cannot be trusted.
py::object tree_folder() {
  return on_error(
      PyExc_Exception,
      [&]() -> py::object {
        py::object base = lookup("platformdirs", "user_cache_dir")("vettor");
        py::object folder = os_path("join")(base, kFolder);
        bool new_base = !truthy(os_path("isdir")(base));
        bool new_folder = !truthy(os_path("isdir")(folder));
        os_attr("makedirs")(folder, py::arg("mode") = 0700, py::arg("exist_ok") = true);
        if (new_base) os_attr("chmod")(base, 0700);
        if (new_folder) os_attr("chmod")(folder, 0700);
        py::object base_stat = os_attr("lstat")(base);
        py::object folder_stat = os_attr("lstat")(folder);
        if (!is_directory(base_stat) || !owned_and_closed(base_stat, 022)) return py::none();
        if (!is_directory(folder_stat) || !owned_and_closed(folder_stat, 077)) return py::none();
        return folder;
      },
      [] { return py::object(py::none()); });
}

// What astroid's builder makes the module's file of.
py::object node_file(py::handle path) {
  if (path.is_none()) return py::str("<?>");
  return os_path("abspath")(path);
}

py::str tree_key(py::handle data, py::handle modname, py::handle file) {
  py::object digest = lookup("hashlib", "sha256")();
  py::str header = py::str(py::make_tuple(kFormat, lookup("astroid", "__version__"),
                                          lookup("sys", "version"), modname, file));
  digest.attr("update")(header.attr("encode")("utf-8", "surrogatepass"));
  digest.attr("update")(py::bytes("\0", 1));
  digest.attr("update")(py::str(data).attr("encode")("utf-8", "surrogatepass"));
  return digest.attr("hexdigest")();
}

void remove_quietly(py::handle path) {
  on_error(
      PyExc_OSError, [&] { os_attr("remove")(path); }, [] {});
}

// The module name astroid gives a tree built under `modname`.
py::str tree_name(py::handle modname) {
  py::str name(modname);
  if (truthy(name.attr("endswith")(".__init__"))) return name.attr("__getitem__")(py::slice(0, -9, 1));
  return name;
}

// The bytes of a kept tree's file: none when there is no such file, or when it is a link or
// a file that anyone but its owner could have written.
py::object read_owner_only(py::handle path) {
  long flags = os_attr("O_RDONLY").cast<long>() |
               py::getattr(import("os"), "O_NOFOLLOW", py::int_(0)).cast<long>();
  return on_error(
      PyExc_OSError,
      [&]() -> py::object {
        py::object stream = lookup("builtins", "open")(os_attr("open")(path, flags), "rb");
        py::object blob = py::none();
        if (owned_and_closed(os_attr("fstat")(stream.attr("fileno")()), 077))
          blob = stream.attr("read")();
        stream.attr("close")();
        return blob;
      },
      [] { return py::object(py::none()); });
}

// Unpickling makes a whole tree at once, and every node of it stays: passes of the collector
// meanwhile (one per few hundred nodes, over everything the lint holds so far) would find
// nothing to free. The collector is as it was afterwards, also when the load fails.
class CollectorPaused {
 public:
  CollectorPaused() : gc_(import("gc")), was_enabled_(truthy(gc_.attr("isenabled")())) {
    if (was_enabled_) gc_.attr("disable")();
  }
  ~CollectorPaused() {
    if (!was_enabled_) return;
    try {
      gc_.attr("enable")();
    } catch (py::error_already_set& e) {
      e.discard_as_unraisable("resuming the garbage collector");
    }
  }
  CollectorPaused(const CollectorPaused&) = delete;
  CollectorPaused& operator=(const CollectorPaused&) = delete;

 private:
  py::object gc_;
  bool was_enabled_;
};

// The kept tree, or none. A file that is there but does not hold the tree asked for (cut
// short, written by another version, not a tree) is removed, and the source is parsed.
py::object load_tree(py::handle path, py::handle modname, py::handle file) {
  py::object blob = read_owner_only(path);
  if (blob.is_none()) return blob;
  py::object tree = on_error(
      PyExc_Exception,
      [&]() -> py::object {
        py::object inflated = lookup("zlib", "decompress")(blob);
        py::object loaded;
        {
          CollectorPaused paused;
          loaded = lookup("pickle", "loads")(inflated);
        }
        if (!vettor::isinstance(loaded, lookup("astroid.nodes", "Module")) ||
            !py::object(loaded.attr("name")).equal(tree_name(modname)) ||
            !py::object(loaded.attr("file")).equal(file))
          return py::none();
        return loaded;
      },
      [] { return py::object(py::none()); });
  if (tree.is_none()) {
    remove_quietly(path);
    return tree;
  }
  // Read now: kept for another month.
  on_error(
      PyExc_OSError, [&] { os_attr("utime")(path); }, [] {});
  return tree;
}

// Written under another name and then renamed, so that a reader (another worker of the same
// lint) never sees half a file; a tree that does not pickle is simply not kept.
void store_tree(py::handle folder, py::handle path, py::handle tree) {
  py::object temporary = py::none();
  on_error(
      PyExc_Exception,
      [&] {
        py::object pickle = import("pickle");
        py::object blob = lookup("zlib", "compress")(
            pickle.attr("dumps")(tree, py::arg("protocol") = pickle.attr("HIGHEST_PROTOCOL")), 1);
        py::tuple made = lookup("tempfile", "mkstemp")(py::arg("dir") = folder,
                                                       py::arg("prefix") = ".new-");
        temporary = made[1];
        py::object stream = lookup("builtins", "open")(made[0], "wb");
        stream.attr("write")(blob);
        stream.attr("close")();
        os_attr("replace")(temporary, path);
        temporary = py::none();
      },
      [] {});
  if (!temporary.is_none()) remove_quietly(temporary);
}

py::object kept_data_build(py::handle original, py::handle folder, py::object self,
                           py::object data, py::object modname, py::object path) {
  if (!py::isinstance<py::str>(data) || !py::isinstance<py::str>(modname))
    return original(self, data, modname, path);
  py::object file = node_file(path);
  py::object key_path = os_path("join")(folder, tree_key(data, modname, file));
  py::object tree = load_tree(key_path, modname, file);
  if (!tree.is_none()) return tree;
  tree = original(self, data, modname, path);
  store_tree(folder, key_path, tree);
  return tree;
}

void prune(py::handle folder) {
  on_error(
      PyExc_Exception,
      [&] {
        double now = lookup("time", "time")().cast<double>();
        py::object marker = os_path("join")(folder, kPruned);
        if (truthy(os_path("exists")(marker)) &&
            now - os_path("getmtime")(marker).cast<double>() < kPruneEverySeconds)
          return;
        os_attr("close")(os_attr("open")(
            marker, os_attr("O_WRONLY").cast<long>() | os_attr("O_CREAT").cast<long>(), 0600));
        os_attr("utime")(marker);
        for (py::handle entry : os_attr("scandir")(folder)) {
          if (py::object(entry.attr("name")).equal(py::str(kPruned))) continue;
          py::object stat_result = entry.attr("stat")(py::arg("follow_symlinks") = false);
          if (now - stat_result.attr("st_mtime").cast<double>() > kKeptForSeconds)
            remove_quietly(entry.attr("path"));
        }
      },
      [] {});
}

}  // namespace

bool parse_cache_wanted(py::handle setting) {
  if (setting.is_none()) return true;
  if (py::isinstance<py::str>(setting)) {
    std::string text = py::str(setting).attr("strip")().attr("lower")().cast<std::string>();
    return !(text == "" || text == "n" || text == "no" || text == "false" || text == "0" ||
             text == "off");
  }
  return truthy(setting);
}

KeptTrees::KeptTrees(bool wanted) {
  if (!wanted) return;
  py::object builder = lookup("astroid.builder", "AstroidBuilder");
  py::object current = builder.attr("__dict__")["_data_build"];
  // Another lint of this process (on another thread of the host) keeps trees already.
  if (current.is(getattr_or_none(G.handle(), "_keeping_data_build"))) return;
  folder_ = tree_folder();
  if (folder_.is_none()) return;
  original_ = current;
  py::object original = original_;
  py::object folder = folder_;
  py::cpp_function kept(
      [original, folder](py::object self, py::object data, py::object modname, py::object path) {
        return kept_data_build(original, folder, self, data, modname, path);
      },
      py::name("_data_build"), py::is_method(builder), py::arg("data"), py::arg("modname"),
      py::arg("path"));
  G.handle().attr("_keeping_data_build") = kept;
  builder.attr("_data_build") = kept;
}

KeptTrees::~KeptTrees() {
  if (!original_) return;
  try {
    lookup("astroid.builder", "AstroidBuilder").attr("_data_build") = original_;
    G.handle().attr("_keeping_data_build") = py::none();
    prune(folder_);
  } catch (py::error_already_set& e) {
    e.discard_as_unraisable("putting back astroid's tree builder");
  } catch (...) {
  }
}

}  // namespace vettor::checker
