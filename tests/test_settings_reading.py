"""How the settings checker reads a settings module: statements in order, branches, changes to
lists, imports it can and cannot follow, and the builder's folds; unknown values are never
reported."""
import textwrap

import astroid
import pytest

from vettor.staticanalysis import checker
from vettor.staticanalysis.checkers import settings

MODPATH = "site.settings"
SECURE = """\
INSTALLED_APPS = ["django.contrib.sessions"]
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.middleware.clickjacking.XFrameOptionsMiddleware",
]
SECURE_HSTS_SECONDS = 3600
SECURE_HSTS_INCLUDE_SUBDOMAINS = True
SECURE_HSTS_PRELOAD = True
SECURE_CONTENT_TYPE_NOSNIFF = True
SECURE_SSL_REDIRECT = True
SESSION_COOKIE_SECURE = True
CSRF_COOKIE_SECURE = True
"""


@pytest.fixture
def findings(monkeypatch):
    """Lint one source as the settings module with the driver's linter and options."""

    def run(source, version="3.2", path=None):
        linter = checker.create_linter(linter_class=checker.Linter)
        linter.global_set_option("settings-files", [MODPATH])
        linter.global_set_option("django-version", version)
        rule = next(c for c in linter.get_checkers() if isinstance(c, settings.Checker))
        found = []
        monkeypatch.setattr(rule, "add_message", lambda code, line, node, args: found.append((code, line, args)))
        source = "import os\n" + SECURE + textwrap.dedent(source)
        rule.visit_module(astroid.parse(source, module_name=MODPATH, path=path))
        first = len(("import os\n" + SECURE).splitlines()) + 1
        return [(code, line - first + 1) for code, line, _ in found]

    return run


@pytest.mark.parametrize(
    "source, expected",
    [
        ("", []),
        # a value read from the environment is whatever the deployment sets, whatever the
        # default written beside it
        ('DEBUG = os.environ.get("DEBUG", "True") == "True"', []),
        ('DEBUG = envbool("DEBUG", "True")', []),
        ('DEBUG = os.getenv("DEBUG", "") != ""', []),
        ('DEBUG = os.environ.get("DEBUG") == "True"', []),
        ('SECURE_SSL_REDIRECT = os.environ.get("SSL", "False")', []),
        ('DEBUG = True', [("C4005", 1)]),
        ("SECURE_SSL_REDIRECT = not DEBUG\nDEBUG = False", []),
        # Django wants these to be True itself, not just truthy
        ('SECURE_SSL_REDIRECT = "yes"', [("C4013", 1)]),
        ("SECURE_HSTS_SECONDS = 60 * 60 * 0", [("C4010", 1)]),
        ("SECURE_HSTS_SECONDS = 0 * 31536000", [("C4010", 1)]),
        ("SECURE_HSTS_SECONDS = 2 * 31536000", []),
        ("SECURE_HSTS_SECONDS, SECURE_SSL_REDIRECT = 0, True", [("C4010", 1)]),
        # branches: known conditions pick a branch, unknown ones keep what both ways agree on
        ("if False:\n    SECURE_SSL_REDIRECT = False", []),
        ('if os.environ.get("CI"):\n    SECURE_SSL_REDIRECT = False', []),
        ('if os.environ.get("CI"):\n    SECURE_SSL_REDIRECT = False\nelse:\n    SECURE_SSL_REDIRECT = False', [("C4013", 2)]),
        ("for _ in range(2):\n    SECURE_SSL_REDIRECT = False", []),
        ("del SECURE_SSL_REDIRECT", [("C4013", 1)]),
        # lists changed after they are written
        ('MIDDLEWARE.remove("django.middleware.security.SecurityMiddleware")', [("C4007", 1)]),
        ('MIDDLEWARE = MIDDLEWARE[1:]', [("C4007", 1)]),
        ('MIDDLEWARE = [m for m in MIDDLEWARE if "csrf" not in m]', []),
        ('MIDDLEWARE.insert(0, "x")\nMIDDLEWARE += ("y",)', []),
        ('INSTALLED_APPS = []\nMIDDLEWARE = [MIDDLEWARE[0]]', [("C4008", 2), ("C4009", 2)]),
        # sessions not in use: their cookie settings do not matter
        ('INSTALLED_APPS = []\nMIDDLEWARE = [MIDDLEWARE[0], MIDDLEWARE[2], MIDDLEWARE[3]]\nSESSION_COOKIE_SECURE = False', []),
        ("CSRF_USE_SESSIONS = True\nCSRF_COOKIE_SECURE = False", []),
        # cookies are known to be sent only where the app or middleware is known to be there
        ('INSTALLED_APPS = []\nif os.environ.get("X"):\n    MIDDLEWARE = []\nSESSION_COOKIE_SECURE = False\nCSRF_COOKIE_SECURE = False', []),
        ("INSTALLED_APPS = []\nMIDDLEWARE = build_middleware()\nSESSION_COOKIE_SECURE = False\nCSRF_COOKIE_SECURE = False", []),
        ("MIDDLEWARE = build_middleware()\nSESSION_COOKIE_SECURE = False\nCSRF_COOKIE_SECURE = False", [("C4014", 2)]),
        ("INSTALLED_APPS = []\nMIDDLEWARE = MIDDLEWARE[:1] + MIDDLEWARE[2:]\nSESSION_COOKIE_SECURE = False\nCSRF_COOKIE_SECURE = False", [("C4016", 4)]),
        # ... while a session cookie opened to scripts on purpose is reported unless sessions
        # are known to be unused
        ("INSTALLED_APPS = []\nMIDDLEWARE = build_middleware()\nSESSION_COOKIE_HTTPONLY = False", [("C4015", 3)]),
        # imports: a missing optional module is passed over, a required one hides everything
        ("try:\n    from .local import *\nexcept ImportError:\n    pass\nDEBUG = True", [("C4005", 5)]),
        ("DEBUG = True\nfrom deployment.defaults import *", []),
        ("from deployment.defaults import *\nDEBUG = True", [("C4005", 2)]),
        ("from deployment import SECURE_SSL_REDIRECT", []),
        (
            "from django.conf.global_settings import *\nDEBUG = True",
            [("C4005", 2), ("C4007", 2), ("C4008", 2), ("C4009", 2)],
        ),
        ("from django.conf.global_settings import *", [("C4007", 1), ("C4008", 1), ("C4009", 1)]),
        # code the reader does not follow may bind any name: what follows is known again
        ("DEBUG = True\nload_settings(Settings(), globals())", []),
        ("DEBUG = True\nglobals().update(vars(settings))", []),
        ('DEBUG = True\nexec(open("local.py").read())', []),
        ('DEBUG = True\nsetattr(sys.modules[__name__], "DEBUG", False)', []),
        ("load(globals())\nDEBUG = True", [("C4005", 2)]),
        # reading the namespace binds nothing
        ('DEBUG = globals().get("DEBUG", True)\nSECURE_SSL_REDIRECT = False', [("C4013", 2)]),
        ('if "X" in globals():\n    pass\nSECURE_SSL_REDIRECT = False', [("C4013", 3)]),
        # settings kept on a class: the module's own value of a name the class sets is unknown
        ("del MIDDLEWARE\nclass Base:\n    @property\n    def MIDDLEWARE(self):\n        return []", []),
        ("del SECURE_SSL_REDIRECT\nclass Base:\n    SECURE_SSL_REDIRECT = True", []),
        ("del SECURE_SSL_REDIRECT\nclass Base:\n    secure_ssl_redirect = True", [("C4013", 2)]),
        ("class Base:\n    SECURE_SSL_REDIRECT = True\nSECURE_SSL_REDIRECT = False", [("C4013", 3)]),
    ],
)
def test_reading(findings, source, expected):
    assert findings(source) == expected


def test_imports_are_followed_into_the_files_they_name(findings, tmp_path):
    package = tmp_path / "site" / "settings"
    package.mkdir(parents=True)
    (package / "base.py").write_text("SECURE_SSL_REDIRECT = False\nCOMMON = ['x']\n")
    (package / "flags.py").write_text("from .base import *\nDEBUG = True\n")
    source = "from .flags import *\nfrom site.settings.base import COMMON as ENTRIES\nEXTRA = ENTRIES + ['y']\n"
    path = str(package / "production.py")
    assert findings(source, path=path) == [("C4005", 1), ("C4013", 1)]


@pytest.mark.parametrize(
    "source, expected",
    [
        # a developer's overrides are no part of what a deployment reads: the except clause runs
        ("try:\n    from .local import *\nexcept ImportError:\n    SECURE_SSL_REDIRECT = False", [("C4013", 4)]),
        ("try:\n    from .local import *\n    SECURE_SSL_REDIRECT = False\nexcept ImportError:\n    pass", []),
        ("try:\n    from .local import DEBUG\nexcept ImportError:\n    DEBUG = False", []),
        # a module of the project is read, and the except clause does not run
        ("try:\n    from .base import *\nexcept ImportError:\n    SECURE_SSL_REDIRECT = False", [("C4005", 2)]),
        # a module the project does not have fails as well
        ("try:\n    from .missing import *\nexcept ImportError:\n    SECURE_SSL_REDIRECT = False", [("C4013", 4)]),
        # an except clause that does not take an ImportError makes the import no optional one
        ("try:\n    from .local import *\nexcept KeyError:\n    pass", [("C4005", 2)]),
    ],
)
def test_imports_inside_try_are_read_as_a_deployment_runs_them(findings, tmp_path, source, expected):
    package = tmp_path / "site" / "settings"
    package.mkdir(parents=True)
    for name in ["local", "base"]:
        (package / f"{name}.py").write_text("DEBUG = True\n")
    assert findings(source, path=str(package / "production.py")) == expected


def test_a_base_module_that_cannot_be_parsed_hides_what_it_may_set(findings, tmp_path):
    (tmp_path / "base.py").write_text("SECURE_SSL_REDIRECT = (\n")
    assert findings("DEBUG = True\nfrom .base import *", path=str(tmp_path / "settings.py")) == []


@pytest.mark.parametrize("version, expected", [("2.2", [("C4012", 1)]), ("3.0", []), ("3.3", [])])
def test_defaults_of_the_checked_version(findings, version, expected):
    assert findings("del SECURE_CONTENT_TYPE_NOSNIFF", version=version) == expected


DOUBLED = "A = [0]\n" + "A = [A, A]\n" * 21


@pytest.mark.parametrize(
    "source, expected",
    [
        # small arithmetic is still worked out
        ('DEBUG = "%05d-%s" % (3, "x") == "00003-x"', [("C4005", 1)]),
        ("DEBUG = 2 ** 10 == 1024", [("C4005", 1)]),
        ("DEBUG = [1] * 3 + [2] == [1, 1, 1, 2]", [("C4005", 1)]),
        ("DEBUG = 1 << 4 == 16", [("C4005", 1)]),
        # values far bigger than any setting are not computed, so they are unknown
        ('X = "x" * 2000000\nDEBUG = X != ""', []),
        ('X = "x" * 1000\nX = X + X\nX = X * 1000\nDEBUG = X != ""', []),
        ("X = 2 ** 256\nX = X ** 256\nX = X ** 2\nDEBUG = X", []),
        ("X = 10 ** 200\n" + "X = X * X\n" * 9 + "DEBUG = X", []),
        ("X = 1 << 100000\nDEBUG = X", []),
        ('X = "%9999999d" % 1\nDEBUG = X', []),
        ('X = "%*d" % (5, 1)\nDEBUG = X', []),
        ('X = "%s" * 100 % ((("y" * 100,) * 100,) * 100)\nDEBUG = X', []),
        ('X = ["x" * 1000] * 1000\nX += X\nDEBUG = X', []),
        ('X = ["x" * 1000] * 1000\nX.extend(X)\nDEBUG = X', []),
        # shared entries count once for each place they stand: printing this would not end
        (DOUBLED + "DEBUG = A", []),
        ("A = [0]\n" + "A = [A]\n" * 40 + "DEBUG = A", []),
    ],
    ids=[
        "format",
        "power",
        "repeat",
        "shift",
        "long-text",
        "text-grown-in-steps",
        "power-tower",
        "big-products",
        "big-shift",
        "wide-format",
        "width-from-values",
        "format-of-many-values",
        "list-doubled-by-augmented-assignment",
        "list-doubled-by-extend",
        "list-of-shared-entries",
        "deep-nesting",
    ],
)
def test_values_too_big_to_compute_are_unknown(findings, source, expected):
    assert findings(source) == expected
