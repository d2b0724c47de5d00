// The rules: what a settings module leaves insecure under the defaults of one Django version,
// and the checker that reports it on the project's settings modules.
#include "settings.hpp"

#include <algorithm>
#include <iterator>

namespace vettor::settings {
namespace {

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

}  // namespace

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

  // A missing Secure flag matters where the cookie is known to be sent: the session cookie
  // when the sessions app or middleware is there, the CSRF cookie when its middleware is. A
  // list the reader cannot know (a MIDDLEWARE reassigned in a branch, or built by a call) says
  // neither. A session cookie opened to scripts on purpose is reported unless sessions are
  // known to be unused.
  int sessions_app = holds(effective(ns, defaults, "INSTALLED_APPS").value, kSessionsApp);
  int sessions_mw = holds(mw.entries, kSessionMiddleware);
  bool sessions = sessions_app == 1 || sessions_mw == 1;
  bool sessions_unused = sessions_app == 0 && sessions_mw == 0;
  Effective cookie_secure = effective(ns, defaults, "SESSION_COOKIE_SECURE");
  if (sessions && known(cookie_secure.value) && !truthy(cookie_secure.value)) {
    out.push_back(
        setting_finding("C4014", "SESSION_COOKIE_SECURE", cookie_secure, py::bool_(true)));
  }
  Effective httponly = effective(ns, defaults, "SESSION_COOKIE_HTTPONLY");
  if (!sessions_unused && known(httponly.value) && !truthy(httponly.value)) {
    out.push_back(removal_finding("C4015", "SESSION_COOKIE_HTTPONLY", httponly, py::bool_(true)));
  }

  Effective use_sessions = effective(ns, defaults, "CSRF_USE_SESSIONS");
  Effective csrf_secure = effective(ns, defaults, "CSRF_COOKIE_SECURE");
  if (csrf == 1 && known(use_sessions.value) && !truthy(use_sessions.value) &&
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

namespace {

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

}  // namespace

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

// The fix for `code` on this module under the newest version for which the finding holds
// and can be fixed: a project of today is checked against today's defaults, and so is a
// module the code transformer lints (it asks only where its lint reported the finding).
std::optional<Finding> plan(py::handle module_node, const std::string& code) {
  Namespace ns = read_settings(module_node);
  for (auto version = std::rbegin(kDjangoVersions); version != std::rend(kDjangoVersions);
       ++version) {
    for (Finding& f : evaluate_rules(ns, defaults_for(py::str(*version)))) {
      if (f.code != code || f.fix == Fix::kNone) continue;
      f.version = *version;
      return f;
    }
  }
  return std::nullopt;
}

// ---------------------------------------------------------------------------------------
// The checker

namespace {

void visit_module(py::object self, py::object node) {
  py::object config = self.attr("linter").attr("config");
  if (!is_settings_module(node, py::getattr(config, "settings_files", py::none()))) return;
  py::object defaults = defaults_for(py::getattr(config, "django_version", py::none()));
  Namespace ns = read_settings(node);
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

}  // namespace

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

}  // namespace vettor::settings
