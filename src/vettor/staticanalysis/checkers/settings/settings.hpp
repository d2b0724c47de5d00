// Internal to the `settings` rule module: what its three parts share. reader.cpp reads a
// settings module into names and values, rules.cpp judges them and holds the checker,
// fixes.cpp edits the tree; settings.cpp binds the module's names.
#pragma once

#include <vettor/rules.hpp>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace vettor::settings {

// The `settings` module itself; names are read from it at call time.
extern ModuleRef G;

inline constexpr const char* kSecurityMiddleware = "django.middleware.security.SecurityMiddleware";
inline constexpr const char* kXFrameMiddleware =
    "django.middleware.clickjacking.XFrameOptionsMiddleware";
inline constexpr const char* kCsrfMiddleware = "django.middleware.csrf.CsrfViewMiddleware";
inline constexpr const char* kSessionMiddleware =
    "django.contrib.sessions.middleware.SessionMiddleware";
inline constexpr const char* kCommonMiddleware = "django.middleware.common.CommonMiddleware";
inline constexpr const char* kAuthMiddleware =
    "django.contrib.auth.middleware.AuthenticationMiddleware";
inline constexpr const char* kMessageMiddleware =
    "django.contrib.messages.middleware.MessageMiddleware";
inline constexpr const char* kSessionsApp = "django.contrib.sessions";

// One year: what browsers' preload lists ask of a site, and what Django's docs end up at.
inline constexpr long kHstsSeconds = 31536000;

// Every Django minor whose defaults are known, oldest first. A fix has no linter to say which
// version the project runs, so it applies when the finding holds for any of them.
inline constexpr const char* kDjangoVersions[] = {"1.11", "2.0", "2.1", "2.2",
                                                  "3.0",  "3.1", "3.2"};

inline py::object A(const char* name) { return G("astroid").attr(name); }
inline bool is(py::handle node, const char* cls) { return vettor::isinstance(node, A(cls)); }
inline py::object unknown() { return G("_UNKNOWN"); }
inline bool known(py::handle value) { return !value.is(unknown()); }
// (A file name that is not UTF-8 keeps its bytes: vettor::text_bytes.)
inline std::string text(py::handle h) { return vettor::text_bytes(h); }
inline py::object op(const char* name) { return lookup("operator", name); }
inline py::object shims() { return import_sibling(G.handle(), "shims", 2); }

// ---------------------------------------------------------------------------------------
// reader.cpp

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

// The names a settings module binds, its own statements and the files it star-imports.
Namespace read_settings(py::handle module);

// The INSTALLED_APPS entries of a settings module, or None when they cannot be read here.
py::object installed_apps(py::object module);

// ---------------------------------------------------------------------------------------
// rules.cpp

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
  const char* version = nullptr;  // the Django version whose defaults give the finding
};

// Django's default settings of one version (a module of library_default_settings).
py::object defaults_for(py::handle version);

// The findings on a read module under one version's defaults, in code order.
std::vector<Finding> evaluate_rules(const Namespace& ns, py::handle defaults);

// Whether the module is one of the settings modules named (an import path or a list of them).
bool is_settings_module(py::handle module_node, py::handle settings_files);

// The newest version's fix for `code` on this module, when the finding holds for some version.
std::optional<Finding> plan(py::handle module_node, const std::string& code);

// The pylint checker class `Checker`.
py::object make_checker(py::module_& m, py::handle helpers);

// ---------------------------------------------------------------------------------------
// fixes.cpp

py::object last_statement(py::handle module_node);

struct Rule {
  const char* code;
  const char* transform;
  const char* predicate;
};

// Fix pairs in the order the code transformer registers them; C4005's pair is offered to
// build_transformer_visitor only (the review road removes that statement with remove_node).
inline constexpr Rule kRules[] = {
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

// What each fix may change. Every settings fix changes what the site serves, to whom or how
// browsers treat it, wherever the module is used: a development server on http://localhost and
// the test client too.
inline constexpr FixSafety kFixSafety[] = {
    {"C4005", Safety::kUnsafe,
     "what a request shows: error pages without tracebacks, and ALLOWED_HOSTS is enforced"},
    {"C4007", Safety::kUnsafe,
     "every response: the security middleware adds headers and may redirect to https"},
    {"C4008", Safety::kUnsafe, "framing: no other site may then show the pages in a frame"},
    {"C4009", Safety::kUnsafe, "what a POST needs: one without a CSRF token is refused"},
    {"C4010", Safety::kUnsafe,
     "how browsers reach the site: they refuse plain http for it for the HSTS lifetime"},
    {"C4011", Safety::kUnsafe,
     "how browsers reach every subdomain: they refuse plain http for all of them"},
    {"C4012", Safety::kUnsafe,
     "what browsers run: a script or style served with another content type is refused"},
    {"C4013", Safety::kUnsafe,
     "redirects: every http request, the test client's too, is redirected to https"},
    {"C4014", Safety::kUnsafe, "cookies: the session cookie is no longer sent over http"},
    {"C4015", Safety::kUnsafe, "cookies: scripts can no longer read the session cookie"},
    {"C4016", Safety::kUnsafe, "cookies: the CSRF cookie is no longer sent over http"},
    {"C4017", Safety::kUnsafe,
     "how browsers reach the domain: preloading https is hard to undo once lists take it"},
};

bool predicate(const char* code, py::object module_node, py::object settings_modpath);
py::object transform(const char* code, py::object module_node);
py::object build_transformer_visitor(py::object message_ids, py::object settings_modpath);
py::tuple remove_node(py::object atok, py::object node, py::object start, py::object end);

}  // namespace vettor::settings
