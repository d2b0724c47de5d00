"""The settings fixes: each transform on a settings module (astroid's rendering of the whole
module afterwards), the fix visitor of the review road, and remove_node's triple."""
import ast
import textwrap

import astroid
import asttokens
import pytest
from astroid.transforms import TransformVisitor

from vettor.staticanalysis.checkers import settings

MODPATH = "site.settings"
SECURITY = "'django.middleware.security.SecurityMiddleware'"
SESSION = "'django.contrib.sessions.middleware.SessionMiddleware'"
COMMON = "'django.middleware.common.CommonMiddleware'"
CSRF = "'django.middleware.csrf.CsrfViewMiddleware'"
XFRAME = "'django.middleware.clickjacking.XFrameOptionsMiddleware'"
AUTH = "'django.contrib.auth.middleware.AuthenticationMiddleware'"

# The code transformer's registrations for the settings rules, in its order.
ROWS = [
    ("C4007", "add_security_middlware", "is_missing_security_middleware"),
    ("C4008", "add_xframe_middlware", "is_missing_xframe_middleware"),
    ("C4009", "add_csrf_middlware", "is_missing_csrf_middleware"),
    ("C4010", "add_hsts_seconds", "is_missing_secure_hsts_seconds"),
    ("C4011", "add_hsts_subdomains", "is_missing_secure_hsts_subdomains"),
    ("C4012", "add_secure_content_type_nosniff", "is_missing_secure_content_type_nosniff"),
    ("C4013", "add_secure_ssl_redirect", "is_missing_secure_ssl_redirect"),
    ("C4014", "add_session_cookie_secure", "is_missing_session_cookie_secure"),
    ("C4015", "remove_session_cookie_http_only", "is_session_cookie_http_only_insecure"),
    ("C4016", "add_csrf_cookie_secure", "is_missing_csrf_cookie_secure"),
    ("C4017", "add_hsts_preload", "is_missing_secure_hsts_preload"),
]

# Everything secure but what a case leaves out; a case prepends its own lines.
SECURE_REST = f"""\
INSTALLED_APPS = ['django.contrib.sessions']
SECURE_HSTS_SECONDS = 3600
SECURE_HSTS_INCLUDE_SUBDOMAINS = True
SECURE_HSTS_PRELOAD = True
SECURE_CONTENT_TYPE_NOSNIFF = True
SECURE_SSL_REDIRECT = True
SESSION_COOKIE_SECURE = True
CSRF_COOKIE_SECURE = True"""
FULL_MIDDLEWARE = f"MIDDLEWARE = [{SECURITY}, {SESSION}, {COMMON}, {CSRF}, {XFRAME}]"


def parse(source, path=None, modname=MODPATH):
    return astroid.parse(textwrap.dedent(source), module_name=modname, path=path)


def fix(tree, codes=None, modpath=MODPATH):
    """Register the rows as the code transformer does, visit, render the module."""
    visitor = TransformVisitor()
    for code, transform, predicate in ROWS:
        if codes is None or code in codes:
            visitor.register_transform(
                astroid.Module,
                getattr(settings, transform),
                lambda node, name=predicate: getattr(settings, name)(module_node=node, settings_modpath=modpath),
            )
    visitor.visit(tree)
    return tree.as_string().strip()


def check_transformed(before, after, codes=None, path=None):
    result = fix(parse(before, path=path), codes)
    assert result == textwrap.dedent(after).strip()
    namespace = {}
    exec(compile(result, "<fixed settings>", "exec"), namespace)  # still imports
    return namespace


def check_noop(source, codes=None, path=None):
    assert fix(parse(source, path=path), codes) == parse(source).as_string().strip()


@pytest.mark.parametrize(
    "code, before, after",
    [
        (
            "C4007",
            f"MIDDLEWARE = [{SESSION}, {COMMON}, {CSRF}, {XFRAME}]",
            FULL_MIDDLEWARE,
        ),
        (
            "C4008",
            f"MIDDLEWARE = [{SECURITY}, {SESSION}, {COMMON}, {CSRF}]",
            FULL_MIDDLEWARE,
        ),
        (
            "C4009",
            f"MIDDLEWARE = [{SECURITY}, {SESSION}, {COMMON}, {XFRAME}]",
            FULL_MIDDLEWARE,
        ),
        (
            "C4009",
            f"MIDDLEWARE = ({SECURITY}, {AUTH}, {XFRAME})",
            f"MIDDLEWARE = ({SECURITY}, {CSRF}, {AUTH}, {XFRAME})",
        ),
        ("C4010", "SECURE_HSTS_SECONDS = 0", "SECURE_HSTS_SECONDS = 31536000"),
        ("C4011", "SECURE_HSTS_INCLUDE_SUBDOMAINS = False", "SECURE_HSTS_INCLUDE_SUBDOMAINS = True"),
        ("C4012", "SECURE_CONTENT_TYPE_NOSNIFF = False", "SECURE_CONTENT_TYPE_NOSNIFF = True"),
        ("C4013", "SECURE_SSL_REDIRECT = 0", "SECURE_SSL_REDIRECT = True"),
        ("C4014", "SESSION_COOKIE_SECURE = None", "SESSION_COOKIE_SECURE = True"),
        ("C4016", "CSRF_COOKIE_SECURE = False", "CSRF_COOKIE_SECURE = True"),
        ("C4017", "SECURE_HSTS_PRELOAD = False", "SECURE_HSTS_PRELOAD = True"),
    ],
    ids=[
        "security-first",
        "xframe-last",
        "csrf-after-common",
        "csrf-before-auth-in-a-tuple",
        "hsts-seconds",
        "hsts-subdomains",
        "nosniff",
        "ssl-redirect",
        "session-cookie-secure",
        "csrf-cookie-secure",
        "hsts-preload",
    ],
)
def test_insecure_value_is_made_secure_where_it_is_written(code, before, after):
    """The statement keeps its place; the other settings are secure already."""
    lines = [line for line in SECURE_REST.splitlines() if not line.startswith(before.split(" = ")[0] + " ")]
    middleware = [] if before.startswith("MIDDLEWARE") else [FULL_MIDDLEWARE]
    rest = "\n".join(middleware + lines)
    check_transformed(f"{before}\n{rest}", f"{after}\n{rest}", codes={code})


@pytest.mark.parametrize(
    "code, setting, value",
    [
        ("C4010", "SECURE_HSTS_SECONDS", "31536000"),
        ("C4011", "SECURE_HSTS_INCLUDE_SUBDOMAINS", "True"),
        ("C4012", "SECURE_CONTENT_TYPE_NOSNIFF", "True"),
        ("C4013", "SECURE_SSL_REDIRECT", "True"),
        ("C4014", "SESSION_COOKIE_SECURE", "True"),
        ("C4016", "CSRF_COOKIE_SECURE", "True"),
        ("C4017", "SECURE_HSTS_PRELOAD", "True"),
    ],
)
def test_missing_setting_is_added_at_the_end(code, setting, value):
    rest = "\n".join(
        [FULL_MIDDLEWARE] + [line for line in SECURE_REST.splitlines() if not line.startswith(setting + " ")]
    )
    namespace = check_transformed(rest, f"{rest}\n{setting} = {value}", codes={code})
    assert namespace[setting] == ast.literal_eval(value)


def test_httponly_set_to_false_is_removed():
    check_transformed(
        f"{FULL_MIDDLEWARE}\nSESSION_COOKIE_HTTPONLY = False\n{SECURE_REST}",
        f"{FULL_MIDDLEWARE}\n{SECURE_REST}",
        codes={"C4015"},
    )


def test_httponly_that_is_still_read_keeps_its_statement_with_a_secure_value():
    namespace = check_transformed(
        f"{FULL_MIDDLEWARE}\nSESSION_COOKIE_HTTPONLY = False\nCSRF_COOKIE_HTTPONLY = SESSION_COOKIE_HTTPONLY\n{SECURE_REST}",
        f"{FULL_MIDDLEWARE}\nSESSION_COOKIE_HTTPONLY = True\nCSRF_COOKIE_HTTPONLY = SESSION_COOKIE_HTTPONLY\n{SECURE_REST}",
        codes={"C4015"},
    )
    assert namespace["CSRF_COOKIE_HTTPONLY"] is True


def test_every_fix_in_one_pass_leaves_nothing_to_report(tmp_path):
    """The rows run in order on one module: the security middleware added first lets the
    header settings apply, and the HSTS seconds added let subdomains and preload apply."""
    before = """\
        import os
        DEBUG = False
        INSTALLED_APPS = ['django.contrib.sessions']
        MIDDLEWARE = ['django.contrib.sessions.middleware.SessionMiddleware']
        SESSION_COOKIE_HTTPONLY = False
        STATIC_ROOT = os.path.join('/srv', 'static')"""
    after = f"""\
        import os
        DEBUG = False
        INSTALLED_APPS = ['django.contrib.sessions']
        MIDDLEWARE = [{SECURITY}, {SESSION}, {CSRF}, {XFRAME}]
        STATIC_ROOT = os.path.join('/srv', 'static')
        SECURE_HSTS_SECONDS = 31536000
        SECURE_HSTS_INCLUDE_SUBDOMAINS = True
        SECURE_CONTENT_TYPE_NOSNIFF = True
        SECURE_SSL_REDIRECT = True
        SESSION_COOKIE_SECURE = True
        CSRF_COOKIE_SECURE = True
        SECURE_HSTS_PRELOAD = True"""
    check_transformed(before, after)
    tree = parse(after)
    assert not any(getattr(settings, predicate)(module_node=tree, settings_modpath=MODPATH) for _, _, predicate in ROWS)


@pytest.mark.parametrize(
    "code, after",
    [
        ("C4007", f"MIDDLEWARE = [{SECURITY}, *MIDDLEWARE]"),
        ("C4008", f"MIDDLEWARE = [*MIDDLEWARE, {XFRAME}]"),
        ("C4009", f"MIDDLEWARE = [*MIDDLEWARE[:2], {CSRF}, *MIDDLEWARE[2:]]"),
    ],
)
def test_middleware_from_a_base_module_is_rebuilt_not_mutated(tmp_path, code, after):
    base_entries = {"C4007": [SESSION, COMMON, CSRF, XFRAME], "C4008": [SECURITY, SESSION, COMMON, CSRF],
                    "C4009": [SECURITY, SESSION, AUTH, XFRAME]}[code]
    (tmp_path / "base.py").write_text(f"MIDDLEWARE = ({', '.join(base_entries)})\n{SECURE_REST}\n")
    production = tmp_path / "production.py"
    source = "from .base import *\nDEBUG = False"
    production.write_text(source)
    result = fix(parse(source, path=str(production)), codes={code})
    assert result == f"from .base import *\nDEBUG = False\n{after}"
    namespace = {"MIDDLEWARE": tuple(ast.literal_eval(entry) for entry in base_entries)}
    exec(after, namespace)
    assert len(namespace["MIDDLEWARE"]) == 5 and len(set(namespace["MIDDLEWARE"])) == 5


def test_setting_inherited_from_a_base_module_is_overridden(tmp_path):
    (tmp_path / "base.py").write_text(f"{FULL_MIDDLEWARE}\n{SECURE_REST}\nSECURE_SSL_REDIRECT = False\n")
    production = tmp_path / "production.py"
    production.write_text("from .base import *")
    result = fix(parse("from .base import *", path=str(production)))
    assert result == "from .base import *\nSECURE_SSL_REDIRECT = True"


@pytest.mark.parametrize(
    "source, modpath",
    [
        (f"{FULL_MIDDLEWARE}\n{SECURE_REST}", MODPATH),  # nothing to fix
        (f"MIDDLEWARE = [{SESSION}]", "other.settings"),  # not the settings module
        (f"MIDDLEWARE = [{SESSION}]", None),
        # insecure, but computed: rewriting it would drop the environment look-up
        (f"import os\n{FULL_MIDDLEWARE}\n{SECURE_REST}\nSECURE_SSL_REDIRECT = os.getenv('SSL', 'off') == 'on'", MODPATH),
        # middleware left at Django's default: no list of the module's to add to
        (SECURE_REST, MODPATH),
        # a star import that cannot be followed may set anything
        (f"MIDDLEWARE = [{SESSION}]\nfrom deployment.defaults import *", MODPATH),
    ],
    ids=["secure", "other-module", "no-settings-module", "computed-value", "default-middleware", "opaque-import"],
)
def test_modules_left_unchanged(source, modpath):
    tree = parse(source)
    assert fix(tree, modpath=modpath) == parse(source).as_string().strip()


def test_settings_package_init_and_src_layouts_are_settings_modules():
    source = f"MIDDLEWARE = [{SESSION}]"
    for modname in ("site.settings.__init__", "src.site.settings", "site.settings"):
        assert settings.is_missing_security_middleware(module_node=parse(source, modname=modname), settings_modpath=MODPATH)
    for modname in ("othersite.settings", "site.settings.base", "settings"):
        assert not settings.is_missing_security_middleware(module_node=parse(source, modname=modname), settings_modpath=MODPATH)
    assert settings.is_missing_security_middleware(module_node=parse(source), settings_modpath="site/settings.py")
    assert settings.is_missing_security_middleware(module_node=parse(source), settings_modpath=["x.settings", MODPATH])


def test_fix_visitor_applies_the_asked_codes_and_hands_new_statements_over():
    tree = parse(f"{FULL_MIDDLEWARE}\nSECURE_SSL_REDIRECT = False")
    tree.new_nodes, tree.replace_other_nodes = [], []
    visitor = settings.build_transformer_visitor(message_ids={"C4013", "C4010"}, settings_modpath=MODPATH)
    visitor.visit(tree)
    assert tree.as_string().strip() == f"{FULL_MIDDLEWARE}\nSECURE_SSL_REDIRECT = True\nSECURE_HSTS_SECONDS = 31536000"
    assert [node.as_string() for node in tree.new_nodes] == ["SECURE_HSTS_SECONDS = 31536000"]
    assert tree.replace_other_nodes == []


@pytest.mark.parametrize(
    "before, after",
    [
        (f"DEBUG = True\n{FULL_MIDDLEWARE}", FULL_MIDDLEWARE),
        (f"DEBUG = 1\nTEMPLATE_DEBUG = DEBUG\n{FULL_MIDDLEWARE}", f"DEBUG = False\nTEMPLATE_DEBUG = DEBUG\n{FULL_MIDDLEWARE}"),
        (f"DEBUG = False\n{FULL_MIDDLEWARE}", f"DEBUG = False\n{FULL_MIDDLEWARE}"),
    ],
    ids=["removed", "still-read", "secure"],
)
def test_fix_visitor_takes_debug_out(before, after):
    """C4005 is offered by the fix visitor too, though the review road removes the line with
    remove_node; the other codes are not asked, so nothing else changes."""
    tree = parse(f"{before}\n{SECURE_REST}")
    tree.new_nodes, tree.replace_other_nodes = [], []
    settings.build_transformer_visitor(message_ids={"C4005"}, settings_modpath=MODPATH).visit(tree)
    assert tree.as_string().strip() == f"{after}\n{SECURE_REST}"
    assert tree.new_nodes == [] and tree.replace_other_nodes == []


def index(source):
    """A token index as the tree builder makes it: asttokens over the astroid tree."""
    source = textwrap.dedent(source)
    atok = asttokens.ASTTokens(source, tree=astroid.parse(source, module_name=MODPATH))
    atok.extra_line_map = {}
    return atok


def statement_at(atok, line):
    """The statement on that line, the insecure one when two share it."""
    found = [node for node in atok.tree.nodes_of_class(astroid.nodes.Statement) if node.fromlineno == line]
    return next((n for n in found if n.as_string().startswith(("DEBUG", "SESSION_COOKIE_HTTPONLY"))), found[0])


@pytest.mark.parametrize(
    "source, line, expected",
    [
        ("SECRET_KEY = 'x'\nDEBUG = True  # local only\n", 2, (2, 2, "")),
        ("SESSION_COOKIE_HTTPONLY = False\n", 1, (1, 1, "")),
        ("DEBUG: bool = 1\n", 1, (1, 1, "")),
        (
            "DEBUG = (\n    True\n)  # local only\nTEMPLATE_DEBUG = DEBUG\n",
            1,
            (1, 3, "DEBUG = (\n    False\n)  # local only"),
        ),
        ("DEBUG = True  # \u00e9t\u00e9\nX = DEBUG\n", 1, (1, 1, "DEBUG = False  # \u00e9t\u00e9")),
        ("DEBUG = True; X = 1\n", 1, (None, None, None)),
        ("X = 1; DEBUG = True\n", 1, (None, None, None)),
        ("DEBUG = True;  # trailing\n", 1, (1, 1, "")),
        (
            "import os\nif os.environ.get('CI'):\n    SESSION_COOKIE_HTTPONLY = False\n",
            3,
            (3, 3, "SESSION_COOKIE_HTTPONLY = True"),
        ),
        ("DEBUG = False\n", 1, (None, None, None)),
        ("SESSION_COOKIE_HTTPONLY = True\n", 1, (None, None, None)),
        ("import os\nDEBUG = os.environ['DEBUG']\n", 2, (None, None, None)),
        ("DEBUG = TEMPLATE_DEBUG = True\n", 1, (None, None, None)),
        ("SECRET_KEY = 'x'\n", 1, (None, None, None)),
    ],
    ids=[
        "debug-removed",
        "httponly-removed",
        "annotated",
        "still-read",
        "non-ascii-comment",
        "shares-its-line",
        "follows-a-statement",
        "semicolon-only",
        "inside-a-block",
        "secure-debug",
        "secure-httponly",
        "computed",
        "two-targets",
        "other-statement",
    ],
)
def test_remove_node_triple(source, line, expected):
    atok = index(source)
    node = statement_at(atok, line)
    start, end = node.first_token.start[0], node.last_token.start[0]  # as the review road passes them
    result = settings.remove_node(atok=atok, node=node, start=start, end=end)
    assert result == expected
    if expected[2]:
        ast.parse(textwrap.dedent(expected[2]))


def test_placeholder_lines_of_the_fix_road_are_passed_over():
    """The code transformer's tree holds a bare print("...") call for each blank or comment
    line; a new statement goes after all of them, on a line of its own."""
    rest = [line for line in SECURE_REST.splitlines() if not line.startswith(("SECURE_HSTS_SECONDS", "SECURE_SSL"))]
    tree = parse("\n".join([FULL_MIDDLEWARE, *rest, "SECURE_SSL_REDIRECT = False"]))
    for line in (1, len(tree.body) + 2):  # a comment on the first line, a blank line at the end
        placeholder = astroid.extract_node('print("")')
        placeholder.lineno = line
        placeholder.parent = tree
        tree.body.append(placeholder)
    tree.body.sort(key=lambda node: node.lineno)
    last_line = tree.body[-1].lineno
    fix(tree, codes={"C4013", "C4010"})
    added = tree.body[-1]
    assert added.as_string() == "SECURE_HSTS_SECONDS = 31536000"
    assert {node.lineno for node in added.nodes_of_class(astroid.nodes.NodeNG)} == {last_line + 1}
    assert tree.body[-3].as_string() == "SECURE_SSL_REDIRECT = True"
    assert sum(isinstance(node, astroid.nodes.Call) for node in tree.body) == 2
