// Which Django a project is written for, and whether a folder holds a Django project.
//
// The Django minor comes from the project's own dependency files: the ones dparse reads
// (requirements.txt, or the requirements/ folder where there is none, conda.yml, setup.cfg,
// Pipfile.lock, Pipfile, poetry.lock, in that order of precedence), then the dependencies of
// pyproject.toml ([project] and Poetry's table), then the string constants of setup.py. The
// first Django requirement that admits one of the seven minors the analyser has rules and
// default settings for wins. Django's default settings per minor are handed out from
// library_default_settings.
//
// The files are the user's, so a file or a line that cannot be read is passed over (and
// logged) rather than allowed to stop the lint that asked for the version.
#include <vettor/project_files.hpp>
#include <vettor/pyutil.hpp>

#include <cctype>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using vettor::import;
using vettor::lookup;
using vettor::on_error;
using vettor::truthy;

vettor::ModuleRef G;

const char* const kVersions[] = {"1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"};
const char* const kSettingsMembers[] = {"django_1_11", "django_2_0", "django_2_1", "django_2_2",
                                        "django_3_0",  "django_3_1", "django_3_2"};
// Patch releases tried per minor: enough to reach every release of the supported minors.
constexpr int kPatchesPerMinor = 30;

// `from .package import name`: the package's attribute, or its submodule of that name.
py::object from_import(py::handle m, const char* package, const char* name) {
  py::module_ pkg = vettor::import_sibling(m, package);
  if (vettor::hasattr(pkg, name)) return pkg.attr(name);
  return import((vettor::sibling_name(m, package) + "." + name).c_str());
}

// Editors on Windows write a byte-order mark; left in place it becomes part of the first
// requirement's name (or a syntax error in setup.py) and hides a Django pin there.
py::str without_bom(const py::str& text) {
  if (truthy(text.attr("startswith")("\ufeff"))) return text[py::slice(1, py::len(text), 1)];
  return text;
}

py::object child(const py::object& folder, const char* name) {
  return folder.attr("__truediv__")(name);
}

bool is_file(const py::object& path) { return truthy(path.attr("is_file")()); }

// A file passed over is named in one warning per process, however often a lint asks for the
// version (up to three times).
void log_skipped(const py::object& path, const char* why) {
  py::set warned = G("_warned");
  py::tuple key = py::make_tuple(py::str(path), why);
  if (warned.contains(key)) return;
  warned.add(key);
  G("logger").attr("warning")("Skipping %s: %s", py::str(path), why);
}

// Whether a dependency file of the project may be read at all: not a link leading out of the
// root, nor a FIFO or a device (which would block the reader).
bool may_read(const py::object& root, const py::object& path) {
  auto refusal = vettor::refusal_to_read(root, path);
  if (!refusal) return true;
  log_skipped(path, refusal->c_str());
  return false;
}

// The requirement text as written, reduced to what the requirement grammar reads: no
// trailing comment (after a space or a tab), no continuation onto hash lines, and no pip
// options such as --hash=... written on the same line.
std::string clean_requirement_line(std::string line) {
  auto is_space = [](char c) { return c == ' ' || c == '\t'; };
  auto cut_before = [&](char mark) {
    for (size_t i = 1; i < line.size(); ++i) {
      if (line[i] == mark && is_space(line[i - 1])) {
        line.erase(i - 1);
        return true;
      }
    }
    return false;
  };
  cut_before('#');
  if (line.find('\\') != std::string::npos && !cut_before('\\')) {
    line.erase(line.find('\\'));
  }
  for (size_t i = 1; i + 1 < line.size(); ++i) {
    if (line[i] == '-' && line[i + 1] == '-' && is_space(line[i - 1])) {
      line.erase(i - 1);
      break;
    }
  }
  auto last = line.find_last_not_of(" \t\r\n");
  line.erase(last == std::string::npos ? 0 : last + 1);
  auto first = line.find_first_not_of(" \t\r\n");
  line.erase(0, first == std::string::npos ? line.size() : first);
  return line;
}

// ---------------------------------------------------------------------------------------
// Version resolution

py::object get_django_version_from_dependency(py::object dependency, py::object file_type) {
  if (!dependency.attr("name").attr("lower")().equal(py::str("django"))) return py::none();
  py::object specs = dependency.attr("specs");
  py::object minor;
  for (py::handle version : G("versions")) {
    std::string prefix = py::str(version);
    for (int patch = 0; patch < kPatchesPerMinor && !minor; ++patch) {
      if (truthy(specs.attr("contains")(prefix + "." + std::to_string(patch)))) {
        minor = py::reinterpret_borrow<py::object>(version);
      }
    }
    if (minor) break;
  }
  if (!minor) return py::none();

  std::string line = clean_requirement_line(py::str(dependency.attr("line")));
  py::object specifier = on_error(
      lookup("pyparsing", "ParseBaseException"),
      [&]() -> py::object { return G("REQUIREMENT").attr("parseString")(line).attr("specifier"); },
      [] { return py::object(); });
  // A requirement the grammar still rejects after cleaning is passed over, so the search
  // goes on with the next dependency instead of failing the lint.
  if (!specifier) return py::none();

  py::dict details;
  details["path"] = file_type;
  details["version"] = minor;
  details["specs"] = py::str(specifier);
  return details;
}

// A dependency record for one requirement text, as dparse reads a requirements line; None
// for a text it rejects.
py::object requirement_of(const std::string& text) {
  py::tuple rejected = py::make_tuple(py::handle(PyExc_ValueError), py::handle(PyExc_RuntimeError));
  return on_error(
      rejected, [&] { return G("RequirementsTXTLineParser").attr("parse")(text); },
      [] { return py::object(py::none()); });
}

// The packages of a poetry.lock, each pinned to its locked version, in an object whose
// `dependencies` are dparse's records.
py::object poetry_lock_dependencies(const py::str& text) {
  py::object data = import("tomli").attr("loads")(text);
  py::list dependencies;
  py::object packages = data.attr("get")("package", py::list());
  if (!py::isinstance<py::list>(packages)) return py::none();
  for (py::handle package : packages) {
    if (!py::isinstance<py::dict>(package)) continue;
    py::object name = package.attr("get")("name"), version = package.attr("get")("version");
    if (!PyUnicode_Check(name.ptr()) || !PyUnicode_Check(version.ptr())) continue;
    py::object dependency = requirement_of(std::string(py::str(name)) + "==" + std::string(py::str(version)));
    if (truthy(dependency)) dependencies.append(dependency);
  }
  return lookup("types", "SimpleNamespace")("dependencies"_a = dependencies);
}

// The lines of a text, without their line breaks.
std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

// Requirements files that a requirements file pulls in with `-r FILE` or `--requirement FILE`,
// each relative to the folder of the file that names it, as pip reads them.
std::vector<std::string> included_requirement_files(const std::string& text) {
  std::vector<std::string> files;
  for (std::string line : lines_of(text)) {
    size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) continue;
    line.erase(0, first);
    std::string rest;
    if (line.rfind("--requirement", 0) == 0) {
      rest = line.substr(13);
      if (!rest.empty() && rest[0] != '=' && rest[0] != ' ' && rest[0] != '\t') continue;
      if (!rest.empty() && rest[0] == '=') rest.erase(0, 1);
    } else if (line.rfind("-r", 0) == 0) {
      rest = line.substr(2);
    } else {
      continue;
    }
    for (size_t i = 1; i < rest.size(); ++i) {
      if (rest[i] == '#' && (rest[i - 1] == ' ' || rest[i - 1] == '\t')) {
        rest.erase(i);
        break;
      }
    }
    size_t from = rest.find_first_not_of(" \t");
    size_t to = rest.find_last_not_of(" \t\r");
    if (from == std::string::npos) continue;
    files.push_back(rest.substr(from, to - from + 1));
  }
  return files;
}

// Requirement files are followed this many inclusions deep.
constexpr int kMaxIncludeDepth = 8;

// The first Django requirement of one dependency file, then of the requirements files it
// includes that lie within the project root. `name` is the file's name relative to the root,
// which the result reports; `seen` holds the files already read, so a cycle ends.
// The requirements that can name Django: the logical lines of a requirements file (a line
// and the lines its backslashes continue it onto) that mention it. The parser costs a good
// deal per requirement, and a locked file lists thousands that are not Django.
std::string lines_naming_django(const std::string& text) {
  std::string kept, block;
  bool names_django = false;
  for (const std::string& line : lines_of(text)) {
    block += line + "\n";
    std::string lower;
    for (char c : line) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    names_django = names_django || lower.find("django") != std::string::npos;
    size_t last = line.find_last_not_of(" \t\r");
    if (last != std::string::npos && line[last] == '\\') continue;  // continued
    if (names_django) kept += block;
    block.clear();
    names_django = false;
  }
  if (names_django) kept += block;
  return kept;
}

// (file's name relative to the root, parse result): dparse's result for one dependency file.
// dparse raises whatever its file parser meets (malformed JSON, a lock entry without hashes,
// a broken setup.cfg section): such a file holds no readable requirement (None).
py::object parse_dependency_file(const py::object& path, const py::object& file_type,
                                 const py::str& text) {
  bool requirements = py::str(file_type).equal(G("filetypes").attr("requirements_txt"));
  py::str content = requirements ? py::str(lines_naming_django(text)) : text;
  py::object parsed = on_error(
      PyExc_Exception, [&] { return G("parse")(content, "file_type"_a = file_type); },
      [&] { return py::object(); });
  if (parsed) return parsed;
  // A lock file of a newer Poetry, whose packages carry no category for dparse to read.
  if (py::str(file_type).equal(G("filetypes").attr("poetry_lock"))) {
    py::object locked = on_error(
        PyExc_Exception, [&] { return poetry_lock_dependencies(text); }, [] { return py::object(); });
    if (locked) return locked;
  }
  log_skipped(path, "the dependency parser cannot read it");
  return py::none();
}

py::object details_of_file(const py::object& root, const py::object& path, const py::object& file_type,
                           const py::object& name, int depth, py::set& seen) {
  py::str text = without_bom(path.attr("read_text")("encoding"_a = "utf8", "errors"_a = "ignore"));
  py::object parsed = parse_dependency_file(path, file_type, text);
  if (parsed.is_none()) return py::none();
  for (py::handle dependency : parsed.attr("dependencies")) {
    py::object details = G("get_django_version_from_dependency")("dependency"_a = dependency,
                                                                  "file_type"_a = name);
    if (truthy(details)) return details;
  }
  if (!py::str(file_type).equal(G("filetypes").attr("requirements_txt")) ||
      depth >= kMaxIncludeDepth) {
    return py::none();
  }
  for (const std::string& included : included_requirement_files(py::str(text))) {
    py::object target = path.attr("parent").attr("__truediv__")(included).attr("resolve")();
    // Only the project's own files: an include that leaves the root is not the project's.
    if (!vettor::ProjectRoot(root).holds(target) || !is_file(target)) continue;
    if (seen.contains(target)) continue;
    seen.add(target);
    py::object relative = target.attr("relative_to")(root).attr("as_posix")();
    py::object details = details_of_file(root, target, file_type, relative, depth + 1, seen);
    if (truthy(details)) return details;
  }
  return py::none();
}

// Where a project keeps its requirements in a folder of their own (requirements/base.txt,
// requirements/production.txt, ...): the files that hold what every environment installs
// first, then the others by name.
constexpr const char* kRequirementsFolder = "requirements";
const char* const kSharedRequirements[] = {"base", "common", "main", "requirements", "production",
                                           "prod"};

py::list requirements_folder_files(const py::object& project_root_path) {
  py::list files;
  py::object folder = child(project_root_path, kRequirementsFolder);
  if (!truthy(folder.attr("is_dir")())) return files;
  py::list found = lookup("builtins", "sorted")(folder.attr("glob")("*.txt"));
  py::list rest;
  for (const char* name : kSharedRequirements) {
    for (py::handle path : found) {
      if (py::str(path.attr("stem")).equal(py::str(name))) files.append(path);
    }
  }
  for (py::handle path : found) {
    if (!files.contains(path)) files.append(path);
  }
  return files;
}

py::object resolve_django_version_via_dparse(py::object project_root_path) {
  py::object root = project_root_path.attr("resolve")();
  for (py::handle file_type : G("dparse_file_types")) {
    py::object type = py::reinterpret_borrow<py::object>(file_type);
    py::list candidates;  // (path, name reported)
    py::object path = project_root_path.attr("__truediv__")(file_type);
    if (is_file(path)) {
      candidates.append(py::make_tuple(path, type));
    } else if (py::str(type).equal(G("filetypes").attr("requirements_txt"))) {
      // No requirements.txt: the requirements folder takes its place.
      for (py::handle file : requirements_folder_files(project_root_path)) {
        if (!is_file(py::reinterpret_borrow<py::object>(file))) continue;
        candidates.append(py::make_tuple(file, file.attr("relative_to")(project_root_path).attr("as_posix")()));
      }
    }
    for (py::handle candidate : candidates) {
      py::object file = candidate[py::int_(0)];
      // Only the project's own files: a link that leaves the root is not the project's.
      if (!may_read(project_root_path, file)) continue;
      py::set seen;
      seen.add(file.attr("resolve")());
      py::object details = details_of_file(root, file, type, candidate[py::int_(1)], 0, seen);
      if (truthy(details)) return details;
    }
  }
  return py::none();
}

// ---------------------------------------------------------------------------------------
// pyproject.toml: PEP 621's [project] dependencies, and Poetry's [tool.poetry.dependencies]

std::vector<int> version_numbers(const std::string& version) {
  std::vector<int> numbers;
  size_t at = 0;
  while (at < version.size()) {
    size_t end = version.find('.', at);
    if (end == std::string::npos) end = version.size();
    std::string part = version.substr(at, end - at);
    if (part.empty() || part.find_first_not_of("0123456789") != std::string::npos) break;
    numbers.push_back(std::stoi(part));
    at = end + 1;
  }
  return numbers;
}

std::string joined(const std::vector<int>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size(); ++i) text += (i ? "." : "") + std::to_string(numbers[i]);
  return text;
}

std::string trimmed(const std::string& text) {
  size_t first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// One of Poetry's version constraints (^3.2, ~3.2.1, 3.2.*, >=3.2,<4, 3.2.25, *) in the
// specifier language of pip; nullopt for one it does not know.
std::optional<std::string> pip_specifier(const std::string& constraint) {
  std::string text = trimmed(constraint);
  if (text.empty() || text == "*") return std::string();
  std::string out;
  for (size_t start = 0; start <= text.size();) {
    size_t comma = text.find(',', start);
    if (comma == std::string::npos) comma = text.size();
    std::string part = trimmed(text.substr(start, comma - start));
    start = comma + 1;
    if (part.empty()) continue;
    std::string piece;
    if (part[0] == '^' || (part[0] == '~' && (part.size() < 2 || part[1] != '='))) {
      std::vector<int> low = version_numbers(trimmed(part.substr(1)));
      if (low.empty()) return std::nullopt;
      std::vector<int> high;
      if (part[0] == '^') {
        size_t keep = 0;  // up to the first non-zero number
        while (keep + 1 < low.size() && low[keep] == 0) ++keep;
        high.assign(low.begin(), low.begin() + keep + 1);
      } else {
        high.assign(low.begin(), low.begin() + (low.size() > 1 ? 2 : 1));
      }
      high.back() += 1;
      piece = ">=" + joined(low) + ",<" + joined(high);
    } else if (part.find_first_of("<>=!~") == 0) {
      piece = part;
    } else {
      piece = "==" + part;
    }
    out += (out.empty() ? "" : ",") + piece;
    if (comma == text.size()) break;
  }
  return out;
}

py::object resolve_django_version_via_pyproject(const py::object& project_root_path) {
  py::object path = child(project_root_path, "pyproject.toml");
  if (!is_file(path) || !may_read(project_root_path, path)) return py::none();
  py::object data = on_error(
      PyExc_Exception,
      [&] {
        return import("tomli").attr("loads")(
            without_bom(path.attr("read_text")("encoding"_a = "utf8", "errors"_a = "ignore")));
      },
      [&] {
        log_skipped(path, "it is not valid TOML");
        return py::object();
      });
  if (!data || !py::isinstance<py::dict>(data)) return py::none();
  py::list texts;
  py::object project = data.attr("get")("project");
  if (py::isinstance<py::dict>(project)) {
    py::object listed = project.attr("get")("dependencies");
    if (py::isinstance<py::list>(listed)) {
      for (py::handle text : listed) {
        if (PyUnicode_Check(text.ptr())) texts.append(text);
      }
    }
  }
  py::object tool = data.attr("get")("tool");
  py::object poetry = py::isinstance<py::dict>(tool) ? py::object(tool.attr("get")("poetry")) : py::none();
  py::object table = py::isinstance<py::dict>(poetry) ? py::object(poetry.attr("get")("dependencies")) : py::none();
  if (py::isinstance<py::dict>(table)) {
    for (auto item : py::dict(table)) {
      if (!PyUnicode_Check(item.first.ptr())) continue;
      // "^3.2", {version = "^3.2", ...}, or several constraints of which the first is taken.
      py::object value = py::reinterpret_borrow<py::object>(item.second);
      if (py::isinstance<py::list>(value) && py::len(value) > 0) value = value[py::int_(0)];
      if (py::isinstance<py::dict>(value)) value = value.attr("get")("version");
      if (!PyUnicode_Check(value.ptr())) continue;
      std::string constraint = py::str(value);
      for (size_t start = 0; start <= constraint.size();) {
        size_t bar = constraint.find("||", start);
        if (bar == std::string::npos) bar = constraint.size();
        auto specifier = pip_specifier(constraint.substr(start, bar - start));
        if (specifier) texts.append(std::string(py::str(item.first)) + *specifier);
        start = bar + 2;
      }
    }
  }
  for (py::handle text : texts) {
    py::object dependency = requirement_of(py::str(text));
    if (!truthy(dependency)) continue;
    py::object details = G("get_django_version_from_dependency")("dependency"_a = dependency,
                                                                  "file_type"_a = "pyproject.toml");
    if (truthy(details)) return details;
  }
  return py::none();
}

py::object resolve_django_version_via_setup_py(py::object project_root_path) {
  py::object path = child(project_root_path, "setup.py");
  if (!is_file(path) || !may_read(project_root_path, path)) return py::none();
  // Too deep a nesting makes the parser give up with a MemoryError, or astroid's tree
  // building run out of stack.
  py::object tree = on_error(
      py::make_tuple(py::handle(PyExc_UnicodeDecodeError), G("astroid").attr("AstroidSyntaxError"),
                     py::handle(PyExc_RecursionError), py::handle(PyExc_MemoryError)),
      [&] { return G("astroid").attr("parse")(without_bom(path.attr("read_text")())); },
      [&] {
        log_skipped(path, "it is not readable Python");
        return py::object();
      });
  if (!tree) return py::none();

  for (py::handle node : tree.attr("nodes_of_class")(G("astroid").attr("Const"))) {
    py::object value = node.attr("value");
    if (!PyUnicode_Check(value.ptr())) continue;
    py::object text = value.attr("strip")();
    if (!truthy(text)) continue;
    // The requirement parser rejects most texts with ValueError; a text ending in a
    // backslash makes it run off the end of its line iterator (RuntimeError).
    py::object dependency = requirement_of(py::str(text));
    if (!truthy(dependency)) continue;
    py::object details = G("get_django_version_from_dependency")("dependency"_a = dependency,
                                                                  "file_type"_a = "setup.py");
    if (truthy(details)) return details;
  }
  return py::none();
}

py::object resolve_django_version(py::object project_root) {
  py::object path = G("Path")(project_root);
  py::object details = G("resolve_django_version_via_dparse")(path);
  if (truthy(details)) return details;
  details = resolve_django_version_via_pyproject(path);
  if (truthy(details)) return details;
  details = G("resolve_django_version_via_setup_py")(path);
  if (truthy(details)) return details;
  return py::none();
}

// ---------------------------------------------------------------------------------------
// Project detection

// Folders whose Python files are not the project's own: a virtual environment (any that
// pyvenv.cfg or conda marks) or an installed-packages folder holds Django's own sources,
// which would make every folder that carries its environment inside look like a project.
bool is_environment_folder(const py::object& folder) {
  std::string name = vettor::text_bytes(folder.attr("name"));
  if (name == "site-packages" || name == "dist-packages") return true;
  return is_file(child(folder, "pyvenv.cfg")) || truthy(child(folder, "conda-meta").attr("is_dir")());
}

bool is_django_node(py::object node) {
  py::object ast = G("ast");
  py::object import_class = ast.attr("Import");
  py::object import_from_class = ast.attr("ImportFrom");
  for (py::handle statement : ast.attr("iter_child_nodes")(node)) {
    if (vettor::isinstance(statement, import_class)) {
      for (py::handle alias : statement.attr("names")) {
        if (py::object(alias.attr("name")).equal(py::str("django"))) return true;
      }
    } else if (vettor::isinstance(statement, import_from_class)) {
      py::object module = statement.attr("module");
      if (module.is_none()) continue;
      if (module.equal(py::str("django")) || truthy(module.attr("startswith")("django."))) {
        return true;
      }
    }
  }
  return false;
}

// The source walk: does any of the project's own top-level imports name Django?
bool has_django_import(const py::object& root) {
  py::object path_class = G("Path");
  py::object ast = G("ast");
  // A file in Python 2, in another encoding or with null bytes says nothing either way, nor
  // does one that cannot be opened (a symbolic link to a file that is not there).
  py::tuple unreadable = py::make_tuple(
      py::handle(PyExc_OSError), py::handle(PyExc_UnicodeDecodeError), py::handle(PyExc_SyntaxError),
      py::handle(PyExc_ValueError), py::handle(PyExc_MemoryError), py::handle(PyExc_RecursionError));
  bool found = false;
  vettor::walk_folders(root, [&](py::handle here, py::list subfolders, py::list names) {
    py::object folder = path_class(here);
    py::list kept;
    // Found already: nothing more is entered.
    for (py::handle name : subfolders) {
      if (!found && !is_environment_folder(folder.attr("__truediv__")(name))) kept.append(name);
    }
    subfolders.attr("clear")();
    subfolders.attr("extend")(kept);
    for (py::handle name : names) {
      if (found || !truthy(name.attr("endswith")(".py"))) continue;
      py::object path = folder.attr("__truediv__")(name);
      if (vettor::refusal_to_read(root, path)) continue;
      py::object tree = on_error(
          unreadable,
          [&] {
            py::str text = without_bom(path.attr("read_text")());
            return ast.attr("parse")(text, "filename"_a = py::str(path));
          },
          [] { return py::object(); });
      if (tree && truthy(G("is_django_node")(tree))) found = true;
    }
  });
  return found;
}

bool is_django_repository(py::object project_root) {
  py::object meta = G("meta");
  bool has_manage_file = on_error(
      meta.attr("ManageFileMissingError"),
      [&] {
        meta.attr("get_manage_file")(project_root);
        return true;
      },
      [] { return false; });
  if (has_manage_file) return true;
  if (truthy(G("resolve_django_version")(project_root))) return true;
  return has_django_import(G("Path")(project_root));
}

// ---------------------------------------------------------------------------------------
// Default settings

py::object get_default_django_settings(py::object version) {
  py::dict mapping = G("DJANGO_SETTINGS_MAPPING");
  if (mapping.contains(version)) return mapping[version];
  return mapping["3.2"];
}

// Settings are the public upper-case names (at least one cased letter, none lower case).
bool is_omittable(py::str name) {
  return truthy(name.attr("startswith")("_")) || !truthy(name.attr("isupper")());
}

py::dict module_to_dict(py::object module, py::object omittable) {
  py::dict result;
  for (py::handle name : lookup("builtins", "dir")(module)) {
    if (truthy(omittable(name))) continue;
    result[name] = py::getattr(module, name);
  }
  return result;
}

}  // namespace

PYBIND11_MODULE(dependencies, m) {
  G.bind(m);
  m.attr("ast") = import("ast");
  m.attr("itertools") = import("itertools");
  m.attr("Path") = lookup("pathlib", "Path");
  m.attr("astroid") = import("astroid");
  m.attr("parse") = lookup("dparse", "parse");
  m.attr("filetypes") = lookup("dparse", "filetypes");
  m.attr("RequirementsTXTLineParser") = lookup("dparse.parser", "RequirementsTXTLineParser");
  m.attr("REQUIREMENT") = lookup("packaging.requirements", "REQUIREMENT");
  m.attr("meta") = vettor::import_sibling(m, "meta");
  for (const char* member : kSettingsMembers) {
    m.attr(member) = from_import(m, "library_default_settings", member);
  }
  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("_warned") = py::set();

  py::object filetypes = m.attr("filetypes");
  py::list dparse_file_types;
  for (const char* name :
       {"requirements_txt", "conda_yml", "setup_cfg", "pipfile_lock", "pipfile", "poetry_lock"}) {
    dparse_file_types.append(filetypes.attr(name));
  }
  m.attr("dparse_file_types") = dparse_file_types;
  py::list versions;
  for (const char* version : kVersions) versions.append(py::str(version));
  m.attr("versions") = versions;

  m.def("resolve_django_version", &resolve_django_version,
        "The Django minor the project in project_root is written for, from its\n"
        "requirements.txt (or requirements/*.txt), conda.yml, setup.cfg, Pipfile.lock,\n"
        "Pipfile, poetry.lock, pyproject.toml or setup.py:\n"
        "{\"path\": the file, \"version\": \"1.11\" to \"3.2\", \"specs\": the requirement's\n"
        "version specifier}, or None when none of them names a known Django.",
        py::arg("project_root"));
  m.def("resolve_django_version_via_dparse", &resolve_django_version_via_dparse,
        py::arg("project_root_path"));
  m.def("resolve_django_version_via_setup_py", &resolve_django_version_via_setup_py,
        py::arg("project_root_path"));
  m.def("get_django_version_from_dependency", &get_django_version_from_dependency,
        py::arg("dependency"), py::arg("file_type"));

  py::dict mapping;
  for (size_t i = 0; i < std::size(kSettingsMembers); ++i) {
    mapping[versions[i]] = m.attr(kSettingsMembers[i]);
  }
  m.attr("DJANGO_SETTINGS_MAPPING") = mapping;
  m.def("is_django_repository", &is_django_repository,
        "True when the folder project_root holds a Django project: it has a Django\n"
        "manage.py, a dependency file that names Django, or a module that imports it.",
        py::arg("project_root"));
  m.def("is_django_node", &is_django_node, py::arg("node"));
  m.def("get_default_django_settings", &get_default_django_settings,
        "Django's default settings for the minor `version` (\"1.11\" to \"3.2\"; any other\n"
        "text gives 3.2's): a module whose upper-case names are the settings.",
        py::arg("version"));
  // One default test, made once and shared by every call, as a Python default would be.
  py::cpp_function omittable(&is_omittable, py::name("omittable"), py::scope(m), py::arg("name"));
  m.def("module_to_dict", &module_to_dict,
        "A new mapping of the attributes of `module` by name, leaving out each name for\n"
        "which omittable(name) is true (by default: private and not upper-case names, so\n"
        "module_to_dict(get_default_django_settings(\"3.2\")) is the settings by name).",
        py::arg("module"), py::arg("omittable") = omittable);
}
