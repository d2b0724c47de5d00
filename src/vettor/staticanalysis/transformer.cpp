// The code transformer: applies every automatic fix the rules offer to one Python source
// text and hands back the fixed text, formatted with Black, with the message codes the
// linter finds in the text as given; and the project-wide fix that writes fixed sources
// back under the project root.
//
// Only what a fix changed is written anew: the statements a fix changed or added are
// rendered and put in place of their own characters in the text as given (the suggest
// module's FixWatch, statement_changes and splice_changes), and that text goes to Black.
// Everything else reaches Black exactly as the author wrote it.
//
// Every rule function, sibling module and library name is looked up on its module object
// when a call needs it, so a monkeypatched attribute is seen as Python code would see it.
#include <vettor/pyutil.hpp>

#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace py = pybind11;
using namespace pybind11::literals;

namespace {

using vettor::getattr_or_none;
using vettor::import;
using vettor::lookup;
using vettor::on_error;
using vettor::truthy;

vettor::ModuleRef G;

// The module a fixed file is named as: the one the single-text lint names it (blog/models.py
// is blog.models), so the fixed and the linted tree share a name.
py::object module_name(py::handle filepath) {
  return G("checker").attr("module_name_of")(lookup("os", "fspath")(filepath));
}

// ---------------------------------------------------------------------------------------
// The fixes, in the order they are registered on the one visitor

// A fix whose predicate is the rule module's own function.
struct RuleFix {
  const char* code;
  const char* node_class;
  const char* module;
  const char* transform;
  const char* predicate;
};

const RuleFix kRuleFixes[] = {
    {"C8001", "Call", "migrations", "add_reverse_code", "is_missing_reverse"},
    {"C2000", "Call", "columns", "transform_null_to_default_str", "is_null_stringfield"},
    {"C2002", "Call", "columns", "transform_redundant_kwargs", "has_redundant_kwargs"},
    {"C2003", "Call", "columns", "transform_add_blank_true", "is_missing_blank_true"},
    {"C2006", "Call", "columns", "transform_huge_char_field", "is_huge_char_field"},
    {"C2008", "Call", "columns", "transform_nullboolean", "is_nullboolean"},
    {"C9000", "Call", "querysets", "transform_queryset_length", "is_queryset_length"},
    {"C9002", "Compare", "querysets", "transform_queryset_exists_compare",
     "is_inefficient_queryset_exists"},
    {"C9002", "Compare", "querysets", "transform_queryset_exists_compare",
     "is_queryset_length_exists"},
};

// A queryset fix on a node whose child (`operand` of a UnaryOp, `test` of an If) is what
// the queryset predicate is asked about. C9003 goes before C9002 on the same node.
struct ChildFix {
  const char* code;
  const char* node_class;
  const char* transform;
  const char* predicate;
  const char* child;
};

const ChildFix kChildFixes[] = {
    {"C9003", "UnaryOp", "transform_queryset_exists_naked_unaryop", "is_queryset", "operand"},
    {"C9002", "UnaryOp", "transform_queryset_exists_count_unaryop", "is_queryset_count", "operand"},
    {"C9003", "If", "transform_queryset_exists_naked_if", "is_queryset", "test"},
    {"C9002", "If", "transform_queryset_exists_count_if", "is_queryset_count", "test"},
};

const RuleFix kLaterFixes[] = {
    {"C9001", "Attribute", "querysets", "transform_indirect_fk_lookup", "is_indirect_fk_lookup"},
    {"C6002", "Call", "urls", "transform_reverse_lazy_to_reverse", "is_misusing_reverse_lazy"},
};

// The settings fixes run on the module node, after every other fix, each only when its code
// is not among the codes the caller asked to leave out.
struct SettingsFix {
  const char* code;
  const char* transform;
  const char* predicate;
};

const SettingsFix kSettingsFixes[] = {
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

// The codes whose findings transform_code fixes, from the tables above.
py::frozenset fixed_codes() {
  py::set codes;
  for (const RuleFix& fix : kRuleFixes) codes.add(fix.code);
  for (const ChildFix& fix : kChildFixes) codes.add(fix.code);
  for (const RuleFix& fix : kLaterFixes) codes.add(fix.code);
  for (const SettingsFix& fix : kSettingsFixes) codes.add(fix.code);
  return py::frozenset(codes);
}

bool is_emptied_not(py::handle node) {
  return vettor::isinstance(node, G("astroid").attr("UnaryOp")) &&
         py::str("").equal(getattr_or_none(node, "op"));
}

// The lines of a project lint's findings in one file, by code: a fix is made on a node only
// where the lint reported its code, so what the lint leaves silent (a disable pragma, a
// configured `disable`) is left as it is.
struct FindingLines {
  std::unordered_map<std::string, std::vector<long>> by_code;

  bool any(const std::string& code) const { return by_code.count(code) > 0; }

  // Whether a finding of `code` stands on the lines of the node: its own lines, or for an if
  // statement those of its header (a finding in its body is another node's).
  bool on(const std::string& code, py::handle node) const {
    auto found = by_code.find(code);
    if (found == by_code.end()) return false;
    py::object first = getattr_or_none(node, "fromlineno");
    py::handle last_of = node;
    if (vettor::isinstance(node, G("astroid").attr("If"))) last_of = node.attr("test");
    py::object last = getattr_or_none(last_of, "tolineno");
    if (!py::isinstance<py::int_>(first) || !py::isinstance<py::int_>(last)) return false;
    long from = first.cast<long>(), to = last.cast<long>();
    for (long line : found->second) {
      if (line >= from && line <= to) return true;
    }
    return false;
  }
};

// Registers every fix on the visitor and gives, for each transform, the code it fixes.
// `reported` holds the codes the linter found in the module: a settings fix is made only
// where the lint reports its finding, never for a finding of another Django version. With
// `lines`, every other fix too is made only on the lines where its finding was reported.
py::dict register_fixes(py::object& visitor, py::object settings_modpath, py::object noise,
                        py::set reported,
                        std::shared_ptr<const FindingLines> lines = nullptr) {
  py::dict code_of;
  auto add = [&](const char* node_class, py::object transform, py::object predicate,
                 const char* code) {
    if (lines && std::string(node_class) != "Module") {
      if (!lines->any(code)) return;
      std::string wanted = code;
      py::object inner = predicate;
      predicate = py::cpp_function(
          [lines, wanted, inner](py::object node) -> py::object {
            if (!lines->on(wanted, node)) return py::bool_(false);
            return inner(node);
          },
          py::arg("node"));
    }
    visitor.attr("register_transform")(G("astroid").attr(node_class), transform, predicate);
    code_of[transform] = code;
  };
  auto add_rule = [&](const RuleFix& fix) {
    py::object rules = G(fix.module);
    add(fix.node_class, rules.attr(fix.transform), rules.attr(fix.predicate), fix.code);
  };
  for (const RuleFix& fix : kRuleFixes) add_rule(fix);
  for (const ChildFix& fix : kChildFixes) {
    const char* predicate = fix.predicate;
    bool operand = std::string(fix.child) == "operand";
    const char* child = fix.child;
    // A `not` that the comparison fix emptied (not (qs.count() == 0) is qs.exists()) is taken
    // away by the operand fixes; an emptied operator names no operation to infer.
    py::cpp_function test([predicate, child, operand](py::object node) -> py::object {
      if (operand && py::str("").equal(getattr_or_none(node, "op"))) return py::bool_(true);
      py::object tested = node.attr(child);
      if (is_emptied_not(tested)) return py::bool_(false);
      return G("querysets").attr(predicate)(tested);
    }, py::arg("node"));
    add(fix.node_class, G("querysets").attr(fix.transform), test, fix.code);
  }
  for (const RuleFix& fix : kLaterFixes) add_rule(fix);

  for (const SettingsFix& fix : kSettingsFixes) {
    py::object code = G("settings").attr("Codes").attr(fix.code);
    if (noise.contains(code)) continue;
    const char* predicate = fix.predicate;
    py::cpp_function test([predicate, settings_modpath, reported, code](py::object node) -> py::object {
      if (!reported.contains(code)) return py::bool_(false);
      return G("settings").attr(predicate)("module_node"_a = node,
                                           "settings_modpath"_a = settings_modpath);
    }, py::arg("node"));
    add("Module", G("settings").attr(fix.transform), test, fix.code);
  }
  return code_of;
}

// A fix that yields code Python cannot parse must never reach a caller as a fixed text: the
// caller would write it over a source that parsed.
void check_parses(const py::object& text, py::handle filepath) {
  lookup("builtins", "compile")(text, py::str(lookup("os", "fspath")(filepath)), "exec",
                                "flags"_a = lookup("ast", "PyCF_ONLY_AST"),
                                "dont_inherit"_a = true);
}

py::object format(const py::object& text, const py::object& target) {
  py::dict code_style;
  code_style["line_length"] = 79;
  return G("suggest").attr("format_code")(text, "indentation"_a = "", "code_style"_a = code_style,
                                           "comma_character_target"_a = target);
}

// What the fixes of one source wrote: the codes whose changes reached the text and those left
// out, and where each code's written changes stand (its statements' lines, or the whole module
// for a fix of the module).
struct Written {
  py::set fixed, unfixed;
  std::unordered_map<std::string, std::vector<std::pair<long, long>>> lines;
  std::unordered_map<std::string, bool> whole_module;

  // Whether a finding of `code` on `line` is one whose fix was written.
  bool holds(const std::string& code, py::handle line) const {
    auto module = whole_module.find(code);
    if (module != whole_module.end() && module->second) return true;
    auto found = lines.find(code);
    if (found == lines.end() || !py::isinstance<py::int_>(line)) return false;
    long at = line.cast<long>();
    for (const auto& [from, to] : found->second) {
      if (at >= from && at <= to) return true;
    }
    return false;
  }
};

// The lines a finding on a statement is reported on: its own, or an if statement's header.
std::pair<long, long> finding_range(py::handle statement) {
  py::object first = getattr_or_none(statement, "fromlineno");
  py::handle last_of = statement;
  if (vettor::isinstance(statement, G("astroid").attr("If"))) last_of = statement.attr("test");
  py::object last = getattr_or_none(last_of, "tolineno");
  if (!py::isinstance<py::int_>(first) || !py::isinstance<py::int_>(last)) return {0, -1};
  return {first.cast<long>(), last.cast<long>()};
}

Written written_fixes(py::handle watch, py::handle changes, py::dict code_of, bool written) {
  std::unordered_map<PyObject*, bool> kept;  // statement -> whether its change was written
  for (py::handle change : changes) {
    kept[change.attr("node").ptr()] = written && !change.attr("text").is_none();
  }
  Written out;
  for (py::handle run : watch.attr("runs")) {
    py::object code = code_of.attr("get")(run[py::int_(0)]);
    if (code.is_none()) continue;
    std::string name = py::str(code);
    std::vector<py::object> members;
    py::object statement = run[py::int_(1)];
    if (!statement.is_none()) members.push_back(statement);
    for (py::handle node : run[py::int_(2)]) members.push_back(py::reinterpret_borrow<py::object>(node));
    bool failed = !py::object(run[py::int_(3)]).is_none();
    // A fix that declined (it found the change unsafe for this node) wrote nothing.
    bool changed = py::len(run) < 5 || truthy(run[py::int_(4)]);
    if (!changed && !failed) continue;
    for (const auto& member : members) {
      auto found = kept.find(member.ptr());
      if (found == kept.end()) continue;
      if (found->second && !failed) {
        out.fixed.add(code);
        if (statement.is_none()) {
          out.whole_module[name] = true;
        } else {
          out.lines[name].push_back(finding_range(statement));
        }
      } else {
        out.unfixed.add(code);
      }
    }
    if (failed) out.unfixed.add(code);
  }
  return out;
}

// The findings of the single-text linter on the code as given, as the file `filepath`.
py::list lint_code(const py::object& code, const py::object& filepath,
                   const py::object& settings_modpath) {
  return G("checker").attr("lint_text")(code, filepath, vettor::list_of(settings_modpath));
}

// A source parsed for its fixes: only the statements a fix changes are rendered, the rest is
// written back as it stands, so the tree needs no placeholders for blank and comment lines.
py::object parsed_for_fixes(const py::object& code, const py::object& filepath) {
  return G("helpers").attr("build_atok")(code, "modname"_a = module_name(filepath),
                                         "absolute_path"_a = filepath);
}

// What the fixes made of a parsed source: the statement changes (those left out have no
// text), the source with them in place, and what the fixes ran.
struct Fixed {
  py::list changes;
  py::object text;
  py::object watch;
  py::dict code_of;
};

// The fixes of `reported` codes (only on the finding lines in `lines`, when given; the settings
// fixes only for codes not in `noise`) made on the tree of `atok`, in place, watched, and the
// changed statements written into the source (their new string literals in `quote`, or the
// renderer's own quotes).
Fixed fix_tree(const py::object& atok, const py::object& filepath, const py::object& settings_modpath,
               const py::object& settings_files, const py::object& noise, const py::set& reported,
               std::shared_ptr<const FindingLines> lines, const py::object& quote) {
  py::object suggest = G("suggest");
  // The foreign-key fix reads the model settings.AUTH_USER_MODEL names off the tree it fixes.
  atok.attr("tree").attr("vettor_auth_user_model") =
      G("meta").attr("get_auth_user_model")(settings_files);
  py::object visitor = G("TransformVisitor")();
  py::dict code_of = register_fixes(visitor, settings_modpath, noise, reported, lines);
  py::object watch = suggest.attr("FixWatch")(atok.attr("tree"), "path"_a = filepath);
  watch.attr("watch")(visitor);
  // The tree is fixed in place; what visit returns for the module is not used.
  visitor.attr("visit")(atok.attr("tree"));
  py::list changes =
      suggest.attr("statement_changes")("atok"_a = atok, "watch"_a = watch, "quote"_a = quote);
  py::object text = suggest.attr("splice_changes")(atok.attr("text"), changes);
  return Fixed{changes, text, watch, code_of};
}

// The whole fix of one source, with what it changed: the text as transform_code gives it,
// the reasons, the statement changes (those left out have no text), and the codes whose
// fixes were written and those that were left out.
py::object fix_code_here(py::object code, py::object filepath, py::object settings_modpath,
                         py::object noise) {
  py::object atok = parsed_for_fixes(code, filepath);

  // The reasons come from the code as given, so they name fixed and unfixable findings alike.
  py::list messages = lint_code(code, filepath, settings_modpath);
  py::set reported;
  for (py::handle record : messages) reported.add(record["message-id"]);
  Fixed done = fix_tree(atok, filepath, settings_modpath, vettor::list_of(settings_modpath), noise,
                        reported, nullptr, py::none());

  // Only the package's own codes: pylint's (a pragma naming an unknown message) are not ours.
  py::set own(G("checker").attr("get_all_message_codes")());
  py::set reasons;
  for (py::handle record : messages) {
    py::object code_id = record["message-id"];
    if (own.contains(code_id) && !noise.contains(code_id)) reasons.add(code_id);
  }

  py::object target = G("suggest").attr("get_comma_character_target")(atok.attr("text"));
  bool written = true;
  py::object formatted;
  try {
    formatted = format(done.text, target);
  } catch (py::error_already_set& e) {
    // Black fails on the fixed text but may not on the text as given: then the file is left
    // as it was rather than not formatted at all.
    if (!e.matches(PyExc_Exception) || done.text.equal(atok.attr("text"))) throw;
    G("logger").attr("warning")("Left unfixed: Black cannot format the fixed text of %s: %s",
                                filepath, e.value());
    formatted = format(atok.attr("text"), target);
    written = false;
  }
  check_parses(formatted, filepath);
  Written written_now = written_fixes(done.watch, done.changes, done.code_of, written);
  return G("FixReport")(formatted, reasons, done.changes, written_now.fixed, written_now.unfixed);
}

// The file's own project is on the import path for the whole fix, as the lint puts it there
// while it checks: the fixes infer the project's models through the same imports as the lint,
// whatever the working directory.
// The modules it built are forgotten when it ends, so the next call sees the files as they
// are then.
py::object fix_code(py::object code, py::object filepath, py::object settings_modpath,
                    py::object noise) {
  py::list paths;
  paths.append(lookup("os", "fspath")(filepath));
  py::object scope = G("checker").attr("ProjectModules")(py::none(), paths);
  return vettor::within(scope, [&] {
    return vettor::within(lookup("pylint.lint", "fix_import_path")(paths),
                          [&] { return fix_code_here(code, filepath, settings_modpath, noise); });
  });
}

// The fixes of a project lint's findings in one source, with no lint of its own: a fix is
// made where the lint reported its code, and only the statements it changed are written anew
// (their new string literals in `quote`, the file's own). Gives a FixReport whose text is the
// source with those statements in place, laid out as the token merge lays them (no Black), and
// whose reasons are the findings' codes.
py::object fix_findings_here(py::object code, py::object filepath, py::object settings_modpath,
                             py::object findings, py::object quote, py::object settings_files) {
  auto lines = std::make_shared<FindingLines>();
  py::set reported;
  for (py::handle record : findings) {
    py::object code_id = record["message-id"];
    py::object line = record["line"];
    reported.add(code_id);
    auto& at = lines->by_code[py::str(code_id).cast<std::string>()];
    if (py::isinstance<py::int_>(line)) at.push_back(line.cast<long>());
  }
  py::object atok = parsed_for_fixes(code, filepath);
  if (settings_files.is_none()) settings_files = vettor::list_of(settings_modpath);
  Fixed done = fix_tree(atok, filepath, settings_modpath, settings_files, py::list(), reported, lines,
                        quote);
  Written written = written_fixes(done.watch, done.changes, done.code_of, true);
  py::list fixed_findings;
  for (py::handle record : findings) {
    if (written.holds(py::str(record["message-id"]), record["line"])) fixed_findings.append(record);
  }
  return G("FixReport")(done.text, reported, done.changes, written.fixed, written.unfixed, fixed_findings);
}

py::object fix_findings(py::object code, py::object filepath, py::object settings_modpath,
                        py::object findings, py::object quote, py::object settings_files) {
  py::list paths;
  paths.append(lookup("os", "fspath")(filepath));
  return vettor::within(lookup("pylint.lint", "fix_import_path")(paths), [&] {
    return fix_findings_here(code, filepath, settings_modpath, findings, quote, settings_files);
  });
}

// A source nested too deeply for the parser, the renderer or Black (a sum of thousands of
// terms) cannot be fixed: it comes back unfixed, formatted when Black can format it, with the
// codes a lint of it finds when the lint can read it, and a warning.
py::object unfixable_result(py::object code, py::object filepath, py::object settings_modpath,
                            py::object noise, py::object error) {
  G("logger").attr("warning")("Left unfixed: %s is nested too deeply to be fixed (%r)", filepath,
                              error);
  py::set reasons;
  try {
    py::set own(G("checker").attr("get_all_message_codes")());
    for (py::handle record : lint_code(code, filepath, settings_modpath)) {
      py::object code_id = record["message-id"];
      if (own.contains(code_id) && !noise.contains(code_id)) reasons.add(code_id);
    }
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
  }
  py::object text;
  try {
    text = format(code, G("suggest").attr("get_comma_character_target")(code));
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_Exception)) throw;
    text = code.attr("strip")("\n");
  }
  return G("TransformResult")(text, reasons);
}

py::object transform_code(py::object code, py::object filepath, py::object settings_modpath,
                          py::object noise) {
  py::object report;
  try {
    report = G("fix_code")(code, filepath, settings_modpath, noise);
  } catch (py::error_already_set& e) {
    if (!e.matches(PyExc_RecursionError)) throw;
    return unfixable_result(code, filepath, settings_modpath, noise, e.value());
  }
  return G("TransformResult")(report.attr("code"), report.attr("reasons"));
}

// ---------------------------------------------------------------------------------------
// The project transform

py::object transform_files(py::object project_root, py::object whitelist, py::object jobs,
                           py::object config, bool unsafe_fixes) {
  // A mistake in the project's configuration is told before anything is read by it.
  G("checker").attr("read_project_config")(project_root);
  py::object meta = G("meta");
  py::object settings_modpath = meta.attr("get_settings_modpath")(project_root);
  py::object code_style = meta.attr("get_code_style")(project_root);
  py::dict more;
  // The workers of the project's lint and the unsafe fixes, when the caller asks for them; the
  // diff's own defaults otherwise, so that a diff that does not know them is called as before.
  if (!jobs.is_none()) more["jobs"] = jobs;
  if (!config.is_none()) more["config"] = config;
  if (unsafe_fixes) more["unsafe_fixes"] = true;
  // The project's modules that the fixes build are forgotten when the transform ends.
  py::list targets;
  targets.append(lookup("os", "fspath")(project_root));
  py::object scope = G("checker").attr("ProjectModules")(project_root, targets);
  return vettor::within(scope, [&] {
    return G("diff").attr("get_diff_plaintext")(
        "project_root"_a = project_root, "whitelist"_a = whitelist,
        "settings_modpath"_a = settings_modpath, "code_style"_a = code_style, **more);
  });
}

// (source, path) as Python's `source, path = item` unpacks it, with its messages.
std::pair<py::object, py::object> unpack_pair(py::handle item) {
  py::list values;
  py::iterator it = py::iter(item);
  for (; it != py::iterator::sentinel(); ++it) {
    values.append(*it);
    if (py::len(values) > 2) vettor::raise(PyExc_ValueError, "too many values to unpack (expected 2)");
  }
  if (py::len(values) < 2) {
    vettor::raise(PyExc_ValueError, "not enough values to unpack (expected 2, got " +
                                        std::to_string(py::len(values)) + ")");
  }
  return {values[0], values[1]};
}

// The bytes to write: the new text in the encoding and line endings the file has on disk
// (diff.stored_form: a byte-order mark or coding cookie, else UTF-8; each kept line its own
// line break), so a fix changes the lines it fixes and nothing about how the file is stored.
// A file that does not exist yet is written in UTF-8.
py::bytes encode_like(const py::object& full, py::handle source, py::handle path) {
  if (!PyUnicode_Check(source.ptr())) {
    vettor::raise(PyExc_TypeError, "the fixed source of " + std::string(py::repr(path)) +
                                       " is not a text: " + std::string(py::repr(source.get_type())));
  }
  py::bytes before("");
  if (truthy(full.attr("is_file")())) before = full.attr("read_bytes")();
  return G("diff").attr("stored_form")(before, source);
}

// Writes the bytes as the file's whole new content, or leaves the file as it was: the bytes go
// to a new file beside it, which then takes the file's place (with the file's permissions), so
// a write that fails part-way (a full disk) never leaves a file cut short. A file that cannot
// be written to (read-only, a folder) fails as opening it for writing would, before anything
// is written.
void write_whole(py::handle full, py::handle data) {
  py::object os = G("os");
  if (!truthy(os.attr("path").attr("lexists")(full))) {
    full.attr("write_bytes")(data);
    return;
  }
  lookup("builtins", "open")(full, "r+b").attr("close")();
  py::object folder = full.attr("parent");
  py::object prefix = py::str(".{}.").format(full.attr("name"));
  py::tuple made = G("tempfile").attr("mkstemp")("dir"_a = folder, "prefix"_a = prefix,
                                                  "suffix"_a = ".tmp");
  py::object temporary = made[1];
  try {
    py::object file = os.attr("fdopen")(made[0], "wb");
    vettor::within(file, [&] { return file.attr("write")(data); });
    long mode = os.attr("stat")(full).attr("st_mode").cast<long>() & 07777;
    os.attr("chmod")(temporary, mode);
    os.attr("replace")(temporary, full);
  } catch (py::error_already_set&) {
    // The error that ended the write is the one reported; the new file is cleaned up quietly.
    try {
      os.attr("unlink")(temporary);
    } catch (py::error_already_set&) {
    }
    throw;
  }
}

// What a file held when its fix was made, when the fix says so: a file that no longer holds
// it was edited while the fix ran, and writing the fix would lose that edit.
py::object bytes_fixed_from(const py::object& result, py::handle path) {
  py::object stored = py::getattr(result, "stored", py::none());
  if (stored.is_none() || !truthy(stored.attr("__contains__")(path))) return py::none();
  return stored[path];
}

py::object trasform_files_in_place(py::object project_root, py::object whitelist,
                                   py::object jobs, py::object config, bool unsafe_fixes) {
  py::dict pending;
  py::dict more;
  if (!jobs.is_none()) more["jobs"] = jobs;
  if (!config.is_none()) more["config"] = config;
  if (unsafe_fixes) more["unsafe_fixes"] = true;
  py::object result =
      G("transform_files")("project_root"_a = project_root, "whitelist"_a = whitelist, **more);
  for (py::handle item : result) {
    auto [source, path] = unpack_pair(item);
    pending[path] = source;
  }

  // Everything is checked and encoded before the first file is written, so a bad pair
  // (outside the root, not parsing, not encodable) leaves the project as it was.
  py::list writes;
  for (auto entry : pending) {
    py::handle path = entry.first;
    py::object full = G("helpers").attr("file_under_root")(project_root, path);
    std::string name = vettor::text_bytes(lookup("os", "fspath")(path));
    if (name.size() > 3 && name.compare(name.size() - 3, 3, ".py") == 0 &&
        PyUnicode_Check(entry.second.ptr())) {
      check_parses(py::reinterpret_borrow<py::object>(entry.second), path);
    }
    writes.append(py::make_tuple(path, full, encode_like(full, entry.second, path),
                                 bytes_fixed_from(result, path)));
  }

  // A file edited since its fix was made is not written: the edit is kept, and the file is
  // among the failures. A write that fails ends the transform with its own error, which
  // carries the paths written before it (`written`) and the failing one (`path`): the files
  // before it keep their new text, no later file is written.
  py::object written = G("diff").attr("WrittenFiles")();
  py::list failures(py::getattr(result, "failures", py::list()));
  written.attr("unsafe_left_out") =
      lookup("builtins", "list")(py::getattr(result, "unsafe_left_out", py::list()));
  // makemigrations is asked for the apps of the files written only: a file left as it was (it
  // changed meanwhile, or could not be written) changed no model field. A result that does not
  // say which file is whose names its apps whatever is written.
  py::object labels = py::getattr(result, "migration_labels", py::none());
  py::set apps;
  auto name_migrations = [&] {
    if (labels.is_none()) {
      written.attr("migrations") = py::list(py::getattr(result, "migrations", py::list()));
      return;
    }
    for (py::handle path : written) {
      if (truthy(labels.attr("__contains__")(path))) apps.add(labels[path]);
    }
    written.attr("migrations") = lookup("builtins", "sorted")(apps);
  };
  for (py::handle write : writes) {
    py::object full = write[py::int_(1)];
    py::object before = write[py::int_(3)];
    if (!before.is_none()) {
      py::object now = on_error(
          PyExc_OSError, [&] { return py::object(full.attr("read_bytes")()); },
          [] { return py::object(py::none()); });
      if (!now.equal(before)) {
        py::object error = lookup("builtins", "RuntimeError")(
            "it changed while it was being fixed; it was not written, so that the change stays");
        G("logger").attr("warning")("Not written: %s changed while it was being fixed",
                                    write[py::int_(0)]);
        failures.append(py::make_tuple(write[py::int_(0)], error));
        continue;
      }
    }
    try {
      write_whole(full, write[py::int_(2)]);
    } catch (py::error_already_set& e) {
      if (e.matches(PyExc_OSError)) {
        name_migrations();
        e.value().attr("written") = written;
        e.value().attr("path") = write[py::int_(0)];
      }
      throw;
    }
    written.attr("append")(write[py::int_(0)]);
  }
  name_migrations();
  if (py::len(failures) > 0) {
    py::object error = G("TransformError")(written, failures);
    vettor::raise(error.get_type(), error);
  }
  return written;
}

// ---------------------------------------------------------------------------------------
// Classes

py::object make_transform_result(py::module_& m) {
  py::list fields;
  fields.append(py::make_tuple("code", py::type::of(py::str())));
  fields.append(py::make_tuple("reasons", py::type::of(py::set())));
  py::object base = lookup("typing", "NamedTuple")("TransformResult", fields);
  base.attr("__module__") = m.attr("__name__");
  base.attr("__doc__") =
      "The fixed and formatted text of one source, with the message codes found in the "
      "source as given.";
  return base;
}

py::object make_transform_error(py::module_& m) {
  py::object cls = vettor::make_exception(
      m, "TransformError", PyExc_Exception,
      "Some files of the project could not be fixed or written. `written` lists the paths "
      "written, `failures` the (path, error) pairs of the others.");
  vettor::add_init(
      cls,
      [](py::object self, py::object written, py::object failures) {
        std::string text = std::to_string(py::len(failures)) + " file(s) not fixed:";
        for (py::handle failure : failures) {
          text += " " + vettor::text_bytes(py::str(failure[py::int_(0)])) + " (" +
                  vettor::text_bytes(py::str(failure[py::int_(1)])) + ");";
        }
        text.pop_back();
        lookup("builtins", "Exception").attr("__init__")(self, vettor::bytes_text(text));
        self.attr("written") = written;
        self.attr("failures") = failures;
      },
      py::arg("written"), py::arg("failures"));
  // Exceptions pickle by their args; keep the two lists across a process boundary.
  vettor::add_method(cls, "__reduce__", [](py::object self) {
    return py::make_tuple(self.get_type(),
                          py::make_tuple(self.attr("written"), self.attr("failures")));
  });
  return cls;
}

}  // namespace

PYBIND11_MODULE(transformer, m) {
  G.bind(m);
  m.attr("pathlib") = import("pathlib");
  m.attr("os") = import("os");
  m.attr("tempfile") = import("tempfile");
  m.attr("astroid") = import("astroid");
  m.attr("TransformVisitor") = lookup("astroid.transforms", "TransformVisitor");

  for (const char* name : {"checker", "diff", "helpers", "suggest", "meta"}) {
    m.attr(name) = vettor::import_sibling(m, name);
  }
  for (const char* name : {"migrations", "columns", "querysets", "settings", "urls"}) {
    m.attr(name) = vettor::import_sibling(m, std::string("checkers.") + name);
  }

  m.attr("logger") = lookup("logging", "getLogger")(m.attr("__name__"));
  m.attr("TransformResult") = make_transform_result(m);
  m.attr("FixReport") = lookup("collections", "namedtuple")(
      "FixReport", py::make_tuple("code", "reasons", "changes", "fixed", "unfixed", "fixed_findings"),
      "defaults"_a = py::make_tuple(py::tuple()), "module"_a = m.attr("__name__"));
  m.attr("FixReport").attr("__doc__") =
      "What fix_code made of one source: the formatted text and the reasons, as transform_code "
      "gives them; the statement changes (those left out have no text); the codes whose "
      "fixes were written and those left out; and, for fix_findings, the findings whose fixes "
      "were written.";
  m.attr("TransformError") = make_transform_error(m);
  m.attr("FIXED_CODES") = fixed_codes();
  m.def("transform_files", &transform_files,
        "The fixed sources of a project's Python files, nothing written.\n\n"
        "project_root: the project folder.\n"
        "whitelist: what may be fixed: paths relative to project_root (Python files or\n"
        "    folders whose Python files are all taken), or None for the whole project.\n"
        "jobs: worker processes of the project's one lint (0: one per CPU); None for the\n"
        "    lint's default.\n"
        "config: the caller's lint configuration, over the project's own, as\n"
        "    checker.get_messages takes it (its disable and enable choose what is fixed).\n\n"
        "The project is linted once, and the findings that lint reports (not those its\n"
        "pragmas or configuration silence) are fixed in the files that have fixable ones.\n"
        "Only what a fix changes is written anew; a statement laid out again follows the\n"
        "project's [tool.black] style. Returns a list of (source, path) pairs, one per file\n"
        "a fix changed, path relative to project_root; its unified_diff() (a text) and\n"
        "unified_diff_bytes() (each file in its own encoding and line endings, as patch\n"
        "reads it) are the change as one unified diff, its `failures` the (path, error)\n"
        "pairs of files that could not be fixed, its `migrations` the labels of the\n"
        "installed apps whose model fields the fixes change, and its `unsafe_left_out`\n"
        "the findings whose fixes were left out because they are unsafe.\n"
        "unsafe_fixes: False (the default) makes only the safe fixes, those that keep what\n"
        "    the code means; True makes the unsafe ones too, which may change what the\n"
        "    program stores, accepts or serves (checker.fix_safety_store says which).",
        py::arg("project_root"), py::arg("whitelist"), py::arg("jobs") = py::none(),
        py::arg("config") = py::none(), py::arg("unsafe_fixes") = false);
  m.def("write_whole", &write_whole,
        "Write `data` (bytes) as the whole new content of the file `full` (a pathlib.Path), or\n"
        "leave the file as it was: the bytes go to a new file beside it that then takes its\n"
        "place with its permissions, so a write that fails part-way never cuts it short.",
        py::arg("full"), py::arg("data"));
  m.def("trasform_files_in_place", &trasform_files_in_place,
        "Fix a project's Python files and write them back: transform_files(project_root,\n"
        "whitelist, jobs, config, unsafe_fixes), each file written in the encoding and line\n"
        "endings it had.\n"
        "Returns the list of the paths written, relative to project_root (its `migrations`\n"
        "and `unsafe_left_out` as transform_files gives them). A file edited since its fix\n"
        "was made is not written. Raises TransformError (with `written` and `failures`)\n"
        "when some file could not be fixed or was edited meanwhile. A write that fails\n"
        "raises its own error, with `written` (the paths written before it) and `path`\n"
        "set: the files before it keep their new text, no later file is written, and the\n"
        "failing file keeps its old content.",
        py::arg("project_root"), py::arg("whitelist"), py::arg("jobs") = py::none(),
        py::arg("config") = py::none(), py::arg("unsafe_fixes") = false);
  // Calls that omit `noise` share one empty list, which is only ever asked for membership.
  py::list noise;
  m.def("transform_code", &transform_code,
        "Apply every fix the rules offer to one source text and format the result with\n"
        "Black in the text's own quote style. Only the statements a fix changed or added\n"
        "are written anew; everything else reaches Black as it stands.\n\n"
        "code: the source text.\n"
        "filepath: its path in the project, such as \"app/models.py\", or its absolute path\n"
        "    (then the project's imports are resolved from the project whatever the working\n"
        "    directory; migrations and the settings module are told by it).\n"
        "settings_modpath: the import path of the project's settings module, such as\n"
        "    \"proj.settings\".\n"
        "noise: message codes to leave alone: a settings code here is not fixed, and no\n"
        "    code here is among the reasons.\n\n"
        "Returns a TransformResult(code, reasons): the fixed text, and the set of message\n"
        "codes the lint found in the code as given.",
        py::arg("code"), py::arg("filepath"), py::arg("settings_modpath"),
        py::arg("noise") = noise);
  m.def("fix_code", &fix_code,
        "transform_code, with what it changed: a FixReport(code, reasons, changes, fixed,\n"
        "unfixed). `changes` are the statement changes (suggest.StatementChange), those\n"
        "that could not be written back faithfully without a text; `fixed` and `unfixed`\n"
        "the codes whose fixes were written and those left out.",
        py::arg("code"), py::arg("filepath"), py::arg("settings_modpath"),
        py::arg("noise") = noise);
  m.def("fix_findings", &fix_findings,
        "The fixes of a project lint's findings in one source: each fix is made only where\n"
        "one of `findings` (lint records of this file, with \"message-id\" and \"line\")\n"
        "reports its code, and nothing is linted or formatted. `filepath` is the file's\n"
        "absolute path; `quote` the (quote to replace, quote to use) pair for new string\n"
        "literals, or None. Returns a FixReport whose text is the source with only the\n"
        "changed statements written anew, and whose reasons are the findings' codes.\n"
        "`settings_files`: the project's settings modules (import paths) whose\n"
        "AUTH_USER_MODEL the fixes read; None for settings_modpath alone.",
        py::arg("code"), py::arg("filepath"), py::arg("settings_modpath"), py::arg("findings"),
        py::arg("quote") = py::none(), py::arg("settings_files") = py::none());
}
