// Linting one source text held in memory instead of files on disk: `CodeLinter`, `FileItem`,
// `check_names` and the entry point `check_code`.
#include <string>

#include "checker.hpp"

#include <vettor/project_files.hpp>

namespace vettor::checker {

namespace {

std::string replace_all(std::string text, const std::string& from, const std::string& to) {
  std::string::size_type at = 0;
  while ((at = text.find(from, at)) != std::string::npos) {
    text.replace(at, from.size(), to);
    at += to.size();
  }
  return text;
}

// The module a file path lints as: app/models.py is app.models. An absolute path is first
// taken relative to the folder its packages start in (the nearest enclosing folder without
// an __init__.py, which pylint puts on the import path while it checks), so a file named by
// its absolute path lints as the same module, with the same imports resolved, as under its
// path in the project. (Worked on as bytes: a file name need not be UTF-8.)
py::str module_name(py::handle path) {
  py::object os_path = lookup("os", "path");
  py::object relative = py::reinterpret_borrow<py::object>(path);
  if (truthy(os_path.attr("isabs")(path))) {
    relative = os_path.attr("relpath")(path, package_chain(path).start);
  }
  return bytes_text(replace_all(replace_all(text_bytes(relative), ".py", ""), "/", "."));
}

// Every name of the module is inferred once before the rule checkers see the tree, so the
// checkers meet a tree whose names astroid has already resolved. A name that does not infer
// (an undefined name in a snippet, say, or one whose inference needs more stack than an
// inference budget gives) is passed over: it must not cost the text its lint.
void check_names(py::object tree) {
  py::handle astroid = G("astroid");
  py::object inference_error = astroid.attr("InferenceError");
  py::object next = import("builtins").attr("next");
  py::object within_budget = G("helpers").attr("within_inference_budget");
  for (py::handle name : tree.attr("nodes_of_class")(astroid.attr("Name"))) {
    try {
      within_budget(next, name.attr("infer")(), py::none());
    } catch (py::error_already_set& e) {
      if (!e.matches(inference_error)) throw;
    }
  }
}

py::object make_code_linter(py::module_& m) {
  py::object cls = make_class(m, "CodeLinter", bases_of(m.attr("Linter")));
  py::handle h = cls;
  add_method(
      cls, "check",
      [h](py::object self, py::object code, py::args args, py::kwargs kwargs) {
        self.attr("vettor_provided_code") = code;
        return super(h, self).attr("check")(*args, **kwargs);
      },
      py::arg("code"));
  // Every descriptor is parsed from the one text given to check; nothing is read from disk.
  add_method(
      cls, "get_ast",
      [](py::object self, py::object filepath, py::object modname, py::object) -> py::object {
        try {
          py::object atok = G("helpers").attr("build_atok")(
              self.attr("vettor_provided_code"), py::arg("modname") = modname,
              py::arg("absolute_path") = filepath);
          py::object tree = atok.attr("tree");
          G("check_names")(tree);
          return tree;
        } catch (py::error_already_set& e) {
          // A text that does not parse is a syntax-error finding, as for a file on disk, and
          // one astroid cannot build (too deep a nesting) a fatal one, as the project lint
          // gives; raised from here either would end the whole lint (in worker processes
          // pylint has no crash handler to turn it into a finding).
          if (e.matches(G("astroid").attr("AstroidSyntaxError"))) {
            py::object error = e.value().attr("error");
            self.attr("add_message")("syntax-error",
                                     py::arg("line") = py::getattr(error, "lineno", py::int_(0)),
                                     py::arg("col_offset") = py::getattr(error, "offset", py::none()),
                                     py::arg("args") = py::str(error));
            return py::none();
          }
          if (!e.matches(PyExc_Exception)) throw;
          py::object error = e.value();
          self.attr("add_message")(
              "fatal", py::arg("args") = py::str("astroid could not build the module: {}: {}")
                                             .format(error.get_type().attr("__name__"), error));
          return py::none();
        }
      },
      py::arg("filepath"), py::arg("modname"), py::arg("data") = py::none());
  // app/models.py lints as app.models; the file itself is never read.
  add_method(
      cls, "_iterate_file_descrs",
      [](py::object, py::object files_or_modules) {
        py::object file_item = G("FileItem");
        py::list items;
        for (py::handle path : files_or_modules) {
          py::str name = module_name(path);
          items.append(file_item(py::arg("name") = name, py::arg("filepath") = path,
                                 py::arg("modpath") = name));
        }
        return py::iter(items);
      },
      py::arg("files_or_modules"));
  return cls;
}

// The findings of a lint of `code` as the file `filepath`: the single-text linter with the
// settings modules `settings_files`, the linter options `options` (a mapping, applied in its
// order; none for none) and `jobs` workers (none: create_linter's default). Every record of
// the linter is kept.
py::list lint_text(py::object code, py::object filepath, py::object settings_files,
                   py::object options, py::object jobs) {
  py::object linter = jobs.is_none()
                          ? G("create_linter")(py::arg("linter_class") = G("CodeLinter"))
                          : G("create_linter")(py::arg("linter_class") = G("CodeLinter"), py::arg("jobs") = jobs);
  if (!options.is_none()) {
    for (auto item : py::dict(import("builtins").attr("dict")(options))) {
      apply_option(linter, item.first, py::reinterpret_borrow<py::object>(item.second));
    }
  }
  linter.attr("set_option")("settings-files", import("builtins").attr("list")(settings_files));
  linter.attr("check")(code, py::arg("files_or_modules") = list_of(filepath));
  return linter.attr("reporter").attr("messages");
}

py::object check_code(py::object code, py::object filepath, py::object settings_modpath) {
  py::list messages;
  {
    // The text is linted against the files as they are now, and the modules it imported are
    // not kept for the next call.
    ProjectModulesForgotten forgotten(py::none(), list_of(filepath));
    messages = G("lint_text")(code, filepath, list_of(settings_modpath));
  }
  for (py::handle record : messages) {
    if (py::str("fatal").equal(record["type"])) {
      G("logger").attr("error")("Fatal message: %s", record);
    }
  }
  py::object code_reader = py::cpp_function([code](py::object) { return code; });
  return G("render").attr("render_message_centric_advice")(
      py::arg("messages") = messages, py::arg("settings") = py::dict(),
      py::arg("settings_modpath") = settings_modpath, py::arg("code_style") = py::dict(),
      py::arg("code_reader") = code_reader);
}

}  // namespace

void register_single_text(py::module_& m) {
  m.attr("FileItem") = lookup("collections", "namedtuple")(
      "FileItem", py::make_tuple("name", "filepath", "modpath"),
      py::arg("module") = m.attr("__name__"));
  m.attr("CodeLinter") = make_code_linter(m);
  m.def("module_name_of", &module_name,
        "The module a file path lints as, on its own: app/models.py is app.models (every\n"
        "\".py\" removed, every \"/\" a dot); an absolute path is taken relative to the folder its\n"
        "packages start in first.",
        py::arg("filepath"));
  m.def("check_names", &check_names, py::arg("tree"));
  m.def("lint_text", &lint_text,
        "The findings of a lint of `code`, one source text held in memory, as the file\n"
        "`filepath` (its module name comes from it; nothing is read from disk): a new list of\n"
        "the linter's records, pylint's own included, nothing filtered.\n\n"
        "settings_files: the import paths of the settings modules the settings rules judge.\n"
        "options: linter options by name (\"disable\", \"django-version\", ...), applied in\n"
        "    order, or None.\n"
        "jobs: worker processes (0: one per CPU); None for create_linter's default.",
        py::arg("code"), py::arg("filepath"), py::arg("settings_files"),
        py::arg("options") = py::none(), py::arg("jobs") = py::none());
  m.def("check_code", &check_code,
        "Lint one source text held in memory and return its findings as display records.\n\n"
        "code: the source text.\n"
        "filepath: the path it is linted and reported under, such as \"app/models.py\"\n"
        "    (its module name comes from it; an absolute path inside the project lints as\n"
        "    the same module as the project-relative one).\n"
        "settings_modpath: the import path of the project's settings module, such as\n"
        "    \"proj.settings\" (the settings rules check that module only).\n\n"
        "Returns a list of records with \"message-id\", \"symbol\", \"type\", \"path\",\n"
        "\"line\", \"column\", \"message\" (the finding in words) and \"source_lines\" (the\n"
        "lines it points at). Every finding of the lint is there, pylint's own included.",
        py::arg("code"), py::arg("filepath"), py::arg("settings_modpath"));
}

}  // namespace vettor::checker
