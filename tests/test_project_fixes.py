"""What a project fix (transform_files, trasform_files_in_place) changes: only the statements its
findings' fixes change, laid out in the project's own style only where they must be, with the
file's quotes, encoding and line endings; what the lint silences stays as it is; settings fixes
settle in one run; and a file that cannot be fixed costs only itself."""
import ast
import logging
import os
import pathlib
import shutil
import subprocess
import sys

import pytest

from conftest import write_files
from vettor.staticanalysis import checker, diff, transformer

MANAGE = (pathlib.Path(__file__).parent / "fixtures" / "fix_project" / "manage.py").read_text()


def project(root, files, settings_module="proj.settings"):
    """A small project: manage.py naming its settings module, a Django requirement, the files."""
    return write_files(
        root,
        {
            "manage.py": MANAGE.replace("proj.settings", settings_module),
            "requirements.txt": "Django==3.2.25\n",
            **files,
        },
    )


def fixed(root, whitelist=None, **kwargs):
    """{path: new text} of a project transform, every fix asked for: most fixes these tests
    make (the nullable text field's, the settings') are unsafe ones."""
    kwargs.setdefault("unsafe_fixes", True)
    return {path: source for source, path in transformer.transform_files(root, whitelist, jobs=1, **kwargs)}


def changed_lines(before, after):
    """The lines removed and added, in order."""
    import difflib

    return [
        line
        for line in difflib.unified_diff(before.splitlines(), after.splitlines(), lineterm="", n=0)
        if line[:1] in "+-" and not line.startswith(("+++", "---"))
    ]


# ---------------------------------------------------------------------------------------
# Only what a fix changes

UNTIDY = '''\
""" The shop's models. """
from django.db import models
LABELS = {'a': 'A',   'b': 'B'}


class Item(models.Model):
    """ An item. """
    name = models.CharField(max_length=100, null=True)
    code = models.CharField( max_length = 20 )   # kept as written
    note = models.TextField(help_text='A note that runs a long way past the seventy-nine columns Black')



    def __str__(self):
        return '%s' % (self.name)
'''


def test_statements_no_fix_touched_are_kept_byte_for_byte(tmp_path):
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": UNTIDY})
    after = fixed(root)["shop/models.py"]
    # Single quotes prevail among the file's literals: the new one takes them, whatever the
    # docstrings use.
    assert changed_lines(UNTIDY, after) == [
        "-    name = models.CharField(max_length=100, null=True)",
        "+    name = models.CharField(max_length=100, default='', blank=True)",
    ]


@pytest.mark.parametrize(
    "literals, new",
    [
        ("A = 'a'\nB = 'b'\n", "default=''"),
        ('A = "a"\nB = "b"\n', 'default=""'),
        # docstrings do not count: one single-quoted literal against three docstrings
        ('"""Module."""\nA = \'a\'\n\n\ndef f():\n    """F."""\n\n\ndef g():\n    """G."""\n', "default=''"),
        # a tie, or no literal at all, gives Black's double quotes
        ("A = 'a'\nB = \"b\"\n", 'default=""'),
        ("", 'default=""'),
    ],
    ids=["single", "double", "docstrings-not-counted", "tie", "none"],
)
def test_a_new_literal_takes_the_quote_the_file_mostly_uses(tmp_path, literals, new):
    models = literals + "from django.db import models\n\n\nclass A(models.Model):\n    name = models.CharField(max_length=9, null=True)\n"
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": models})
    assert f"models.CharField(max_length=9, {new}, blank=True)" in fixed(root)["shop/models.py"]


FIELD = "    name = models.CharField(max_length=9, null=True, verbose_name='Name')\n"
WIDER = "    name = models.CharField(max_length=9, default='', verbose_name='Name', blank=True)\n"
SPLIT = (
    "    name = models.CharField(\n"
    "        max_length=9, default='', verbose_name='Name', blank=True\n"
    "    )\n"
)


@pytest.mark.parametrize(
    "black, statement, after",
    [
        # Black's default line length, 88: the changed line (86 columns) still fits, and keeps
        # its layout
        ("", FIELD, WIDER),
        # a changed line that fitted and no longer does is laid out by Black in the project's
        # line length, with the quotes the file uses
        ("[tool.black]\nline-length = 79\n", FIELD, SPLIT),
        # one that never fitted is laid out too: every changed line too long is, on this road
        # as on the review road
        (
            "[tool.black]\nline-length = 60\n",
            FIELD,
            "    name = models.CharField(\n        max_length=9,\n        default='',\n"
            "        verbose_name='Name',\n        blank=True,\n    )\n",
        ),
        # with string normalisation off, Black keeps the quotes of what it lays out again
        (
            "[tool.black]\nline-length = 79\nskip-string-normalization = true\n",
            FIELD.replace("'Name'", '"Name"'),
            SPLIT.replace("'Name'", '"Name"'),
        ),
        # its trailing comment goes with it
        ("[tool.black]\nline-length = 84\n", FIELD.replace("\n", "  # shown\n"), SPLIT.replace("    )\n", "    )  # shown\n")),
    ],
    ids=["fits", "no-longer-fits", "never-fitted", "skip-string-normalization", "trailing-comment"],
)
def test_a_changed_statement_is_laid_out_again_only_when_it_no_longer_fits(tmp_path, black, statement, after):
    source = "from django.db import models\nX, Y = 'x', 'y'\n\n\nclass A(models.Model):\n" + statement
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": source, "pyproject.toml": black})
    assert fixed(root)["shop/models.py"] == source.replace(statement, after)


@pytest.mark.parametrize(
    "statement, after",
    [
        # an argument removed from a call laid out one per line takes its line with it
        (
            "    name = models.CharField(\n        max_length=9,\n        null=False,\n        blank=False,\n"
            "        verbose_name='n',\n    )\n",
            "    name = models.CharField(\n        max_length=9,\n        verbose_name='n',\n    )\n",
        ),
        # a last argument replaced keeps the closing bracket on its own line
        (
            "    name = models.CharField(\n        max_length=9, blank=True, null=True\n    )\n",
            "    name = models.CharField(\n        max_length=9, blank=True, default=''\n    )\n",
        ),
        # a comment among the arguments stays where it stood
        (
            "    name = models.CharField(\n        max_length=9,  # short\n        null=True,\n    )\n",
            "    name = models.CharField(\n        max_length=9,  # short\n        default='', blank=True,\n    )\n",
        ),
        # an item added after a trailing comma gets a line (and a trailing comma) of its own;
        # a text written in pieces, in brackets of its own, stays as written
        (
            "    size = models.IntegerField(\n        null=True,\n        help_text=(\n            'a '\n"
            "            'b'\n        ),\n    )\n",
            "    size = models.IntegerField(\n        null=True,\n        help_text=(\n            'a '\n"
            "            'b'\n        ),\n        blank=True,\n    )\n",
        ),
    ],
    ids=["removed-argument", "replaced-last-argument", "comment-kept", "added-after-trailing-comma"],
)
def test_a_changed_call_keeps_its_own_layout_around_the_change(tmp_path, statement, after):
    source = "from django.db import models\nX, Y = 'x', 'y'\n\n\nclass A(models.Model):\n" + statement
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": source})
    assert fixed(root)["shop/models.py"] == source.replace(statement, after)


@pytest.mark.parametrize(
    "statement, after",
    [
        # a tuple written without brackets keeps its spelling, where it is assigned to and
        # where it is the value
        ("    count, shown = len(Book.objects.all()), True\n", "    count, shown = Book.objects.all().count(), True\n"),
        ("    return len(Book.objects.all()), 1\n", "    return Book.objects.all().count(), 1\n"),
        ("    for n, m in [(len(Book.objects.all()), 1)]:\n        pass\n",
         "    for n, m in [(Book.objects.all().count(), 1)]:\n        pass\n"),
        # and one written with them keeps them
        ("    pair = (len(Book.objects.all()), 1)\n", "    pair = (Book.objects.all().count(), 1)\n"),
    ],
    ids=["assigned-to", "returned", "loop-target", "in-brackets"],
)
def test_a_tuple_keeps_its_brackets_or_their_absence(tmp_path, statement, after):
    models = "from django.db import models\n\n\nclass Book(models.Model):\n    pass\n"
    source = "from .models import Book\n\n\ndef f():\n" + statement
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": models, "shop/views.py": source})
    assert fixed(root)["shop/views.py"] == source.replace(statement, after)


SAFETY_PROJECT = pathlib.Path(__file__).parent / "fixtures" / "safety_project"


def test_a_changed_item_that_no_longer_fits_is_laid_out_alone(tmp_path):
    # The fix makes one operation of a migration's list too long: that operation is laid out,
    # the list's other items, its blank line and its missing trailing comma are not.
    root = tmp_path / "project"
    shutil.copytree(SAFETY_PROJECT, root)
    path = "shop/migrations/0001_initial.py"
    before = (root / path).read_text()
    assert changed_lines(before, fixed(root, [path])[path]) == [
        "-        migrations.RunPython(fill_codes_for_every_item_in_the_catalogue),",
        "+        migrations.RunPython(",
        "+            fill_codes_for_every_item_in_the_catalogue, migrations.RunPython.noop",
        "+        ),",
    ]


def test_a_second_fix_finds_nothing_more(tmp_path):
    # The nullable text field fix keeps a blank=False its author wrote; the redundant argument
    # rule then does not ask to take it away on the next run.
    root = tmp_path / "project"
    shutil.copytree(SAFETY_PROJECT, root)
    transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert "    code = models.CharField(max_length=20, default=\"\", blank=False)\n" in (
        root / "shop" / "models.py"
    ).read_text()
    found = checker.get_messages(str(root), {"shop/models.py": None}, jobs=1)
    assert [(f["line"], f["message-id"]) for f in found] == [(8, "C2000")]  # its fix declines
    assert nothing_left_to_fix(root)


# ---------------------------------------------------------------------------------------
# What the lint silences


NULLABLE = "from django.db import models\n\n\nclass A(models.Model):\n    name = models.CharField(max_length=9, null=True){pragma}\n"


@pytest.mark.parametrize(
    "pragma, config",
    [
        ("  # vettor: disable=nullable-string-field", ""),
        ("  # pylint: disable=C2000", ""),
        ("", '[tool.vettor]\ndisable = ["C2000"]\n'),
        ("", '[tool.vettor]\ndisable = ["nullable-string-field"]\n'),
    ],
    ids=["vettor-pragma", "pylint-pragma", "configured-code", "configured-symbol"],
)
def test_what_the_lint_silences_is_not_fixed(tmp_path, pragma, config):
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": NULLABLE.format(pragma=pragma), "pyproject.toml": config})
    assert fixed(root) == {}


def test_a_disable_next_pragma_silences_the_next_line_only(tmp_path):
    source = (
        "from django.db import models\n\n\nclass A(models.Model):\n"
        "    # pylint: disable-next=nullable-string-field\n"
        "    name = models.CharField(max_length=9, null=True)\n"
        "    other = models.CharField(max_length=9, null=True)\n"
    )
    root = project(tmp_path, {"shop/__init__.py": "", "shop/models.py": source})
    assert changed_lines(source, fixed(root)["shop/models.py"]) == [
        "-    other = models.CharField(max_length=9, null=True)",
        '+    other = models.CharField(max_length=9, default="", blank=True)',
    ]


# ---------------------------------------------------------------------------------------
# One lint, whatever is asked

SHOP = {
    "bookshop/__init__.py": "",
    "bookshop/models.py": (
        "from django.db import models\n\n\nclass Author(models.Model):\n    name = models.TextField()\n\n\n"
        "class Book(models.Model):\n    author = models.ForeignKey(Author, on_delete=models.CASCADE)\n"
    ),
    "bookshop/views.py": (
        "from .models import Book\n\n\ndef author_of(book_id):\n    book = Book.objects.get(pk=book_id)\n"
        "    print(f\"Found {len(Book.objects.all())} books\")\n    return book.author.id\n"
    ),
    "bookshop/admin/__init__.py": "",
    "bookshop/admin/views.py": (
        "from bookshop.models import Book\n\n\ndef count():\n    return len(Book.objects.all())\n"
    ),
}


def test_one_lint_drives_the_fixes_of_every_file(tmp_path, monkeypatch):
    root = project(tmp_path, SHOP)
    lints, linters = [], []
    real_lint, real_linter = checker.get_messages, checker.create_linter
    monkeypatch.setattr(checker, "get_messages", lambda *args, **kwargs: lints.append(kwargs.get("jobs")) or real_lint(*args, **kwargs))
    monkeypatch.setattr(checker, "create_linter", lambda *args, **kwargs: linters.append(kwargs) or real_linter(*args, **kwargs))
    monkeypatch.setattr(transformer, "fix_code", None)  # no file is linted on its own
    result = transformer.transform_files(root, None, jobs=1)
    assert lints == [1] and len(linters) == 1
    assert sorted(path for _, path in result) == ["bookshop/admin/views.py", "bookshop/views.py"]
    views = dict((path, source) for source, path in result)["bookshop/views.py"]
    # len() inside an f-string is fixed like any other
    assert changed_lines(SHOP["bookshop/views.py"], views) == [
        '-    print(f"Found {len(Book.objects.all())} books")',
        "-    return book.author.id",
        '+    print(f"Found {Book.objects.all().count()} books")',
        "+    return book.author_id",
    ]


@pytest.mark.parametrize("whitelist", [["bookshop/views.py"], ["bookshop"], ["bookshop/admin", "bookshop/views.py"]])
def test_a_file_gets_the_same_fixes_whatever_else_is_fixed(tmp_path, whitelist):
    root = project(tmp_path, SHOP)
    whole = fixed(root)
    part = fixed(root, whitelist)
    assert part and all(whole[path] == text for path, text in part.items())


# ---------------------------------------------------------------------------------------
# Model changes

@pytest.mark.parametrize(
    "files, apps",
    [
        ({"shop/models.py": NULLABLE.format(pragma="")}, ["shop"]),
        # a models package belongs to the app that holds it
        ({"shop/apps.py": "", "shop/models/__init__.py": "", "shop/models/item.py": NULLABLE.format(pragma="")}, ["shop"]),
        ({"shop/models.py": NULLABLE.format(pragma=""), "blog/migrations/__init__.py": "",
          "blog/models.py": NULLABLE.format(pragma="").replace("null=True", "max_length=1000")
          .replace("max_length=9, ", "")}, ["blog", "shop"]),
        # the label its AppConfig gives, as makemigrations takes it
        ({"shop/apps.py": "from django.apps import AppConfig\n\n\nclass ShopConfig(AppConfig):\n"
                          "    name = 'shop'\n    label = 'bookshop'\n",
          "shop/models.py": NULLABLE.format(pragma="")}, ["bookshop"]),
        # fixes of no model field need no migration
        ({"shop/views.py": SHOP["bookshop/admin/views.py"].replace("bookshop.models", "shop.data"),
          "shop/data.py": SHOP["bookshop/models.py"]}, []),
        # only apps INSTALLED_APPS names: makemigrations refuses a label it does not know
        ({"shop/models.py": NULLABLE.format(pragma=""), "tests/__init__.py": "", "tests/models.py": NULLABLE.format(pragma=""),
          "proj/__init__.py": "", "proj/settings.py": 'INSTALLED_APPS = ["django.contrib.auth", "shop.apps.ShopConfig"]\n',
          "shop/apps.py": "from django.apps import AppConfig\n\n\nclass ShopConfig(AppConfig):\n    name = 'shop'\n"},
         ["shop"]),
        ({"shop/models.py": NULLABLE.format(pragma=""), "tests/__init__.py": "", "tests/models.py": NULLABLE.format(pragma=""),
          "proj/__init__.py": "", "proj/settings.py": 'APPS = ["shop"]\nINSTALLED_APPS = APPS + ["django.contrib.auth"]\n'},
         ["shop"]),
        # a list read at run time cannot tell them apart: every app is named
        ({"shop/models.py": NULLABLE.format(pragma=""), "tests/__init__.py": "", "tests/models.py": NULLABLE.format(pragma=""),
          "proj/__init__.py": "", "proj/settings.py": 'import os\nINSTALLED_APPS = os.environ["APPS"].split()\n'},
         ["shop", "tests"]),
    ],
    ids=["models-module", "models-package", "two-apps", "configured-label", "no-field", "installed-apps-only",
         "installed-apps-computed", "installed-apps-unknown"],
)
def test_the_apps_whose_model_fields_change_are_named(tmp_path, files, apps):
    root = project(tmp_path, {"shop/__init__.py": "", "blog/__init__.py": "", **files})
    result = transformer.transform_files(root, None, jobs=1, unsafe_fixes=True)
    assert len(result) >= 1
    assert result.migrations == apps
    assert transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True).migrations == apps


@pytest.mark.parametrize("failing", ["write", "edit"])
def test_makemigrations_is_named_for_the_apps_whose_fixes_were_written(tmp_path, monkeypatch, failing):
    # The fix of shop/models.py is not written: its app needs no migration.
    root = project(tmp_path, {"blog/__init__.py": "", "blog/models.py": NULLABLE.format(pragma=""),
                              "shop/__init__.py": "", "shop/models.py": NULLABLE.format(pragma="")})
    if failing == "write":
        real = transformer.os.replace

        def replace(source, target):
            if pathlib.Path(target).parent.name == "shop":
                raise PermissionError(13, "Permission denied", str(target))
            real(source, target)

        monkeypatch.setattr(transformer.os, "replace", replace)
        expected = PermissionError
    else:
        real = transformer.transform_files

        def edited_meanwhile(**kwargs):
            result = real(**kwargs)
            with open(root / "shop" / "models.py", "a") as file:
                file.write("EDITED = True\n")
            return result

        monkeypatch.setattr(transformer, "transform_files", edited_meanwhile)
        expected = transformer.TransformError
    with pytest.raises(expected) as raised:
        transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert (raised.value.written, raised.value.written.migrations) == (["blog/models.py"], ["blog"])


# ---------------------------------------------------------------------------------------
# Settings fixes

BASE = """\
SECRET_KEY = "x"
INSTALLED_APPS = ["django.contrib.sessions"]
MIDDLEWARE = [
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.middleware.clickjacking.XFrameOptionsMiddleware",
]
SESSION_COOKIE_SECURE = True
CSRF_COOKIE_SECURE = True
"""
PRODUCTION = 'from .base import *\n\nMIDDLEWARE += ["whitenoise.middleware.WhiteNoiseMiddleware"]\n'


def nothing_left_to_fix(root):
    """Whether a second run with every fix, in a process of its own, would fix nothing."""
    again = subprocess.run(
        [sys.executable, "-c", "import sys; from vettor.staticanalysis import transformer; "
         "r = transformer.transform_files(sys.argv[1], None, jobs=1, unsafe_fixes=True); "
         "sys.stdout.write(r.unified_diff()); sys.exit(1 if list(r) or r.failures else 0)", str(root)],
        capture_output=True, timeout=600)
    return (again.returncode, again.stdout) == (0, b"")


def settings_findings(root):
    found = checker.get_messages(str(root), {p.relative_to(root).as_posix(): None for p in root.rglob("*.py")}, jobs=1)
    return sorted((f["path"], f["message-id"]) for f in found if f["message-id"] in transformer.FIXED_CODES)


@pytest.mark.parametrize(
    "requirement, configured",
    [
        ("Django==3.2.25\n", None),
        ("Django==2.2.28\n", None),
        # the version the configuration names is the one the settle judges by, as the lint does
        ("Django==3.2.25\n", "2.2"),
        ("Django==2.2.28\n", "3.2"),
    ],
)
def test_settings_fixes_settle_in_one_run(tmp_path, requirement, configured):
    files = {"proj/__init__.py": "", "proj/settings.py": BASE, "requirements.txt": requirement}
    if configured:
        files["pyproject.toml"] = f'[tool.vettor]\ndjango-version = "{configured}"\n'
    root = project(tmp_path, files)
    assert settings_findings(root)
    transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert nothing_left_to_fix(root)
    # Django 3.0 turned nosniff on by default: only the 2.2 lint asks for it
    judged_as = configured or requirement[len("Django=="):][:3]
    assert ("SECURE_CONTENT_TYPE_NOSNIFF" in (root / "proj/settings.py").read_text()) is (judged_as == "2.2")


def test_a_module_built_on_a_base_module_is_fixed_once_and_the_base_not_at_all(tmp_path):
    # base.py is what production.py (and any development module) builds on: the deployment's
    # fixes go into production.py, once, however it extends MIDDLEWARE.
    root = project(
        tmp_path,
        {"proj/__init__.py": "", "proj/settings/__init__.py": "", "proj/settings/production.py": PRODUCTION,
         "proj/settings/base.py": BASE},
        settings_module="proj.settings.production",
    )
    assert ("proj/settings/production.py", "C4007") in settings_findings(root)
    result = fixed(root)
    assert list(result) == ["proj/settings/production.py"]
    assert result["proj/settings/production.py"].count("SecurityMiddleware") == 1
    transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert nothing_left_to_fix(root)
    assert (root / "proj/settings/base.py").read_text() == BASE


HARDENED = BASE.replace("MIDDLEWARE = [\n", 'MIDDLEWARE = [\n    "django.middleware.security.SecurityMiddleware",\n') + (
    "SECURE_SSL_REDIRECT = True\nSECURE_HSTS_SECONDS = 31536000\nSECURE_HSTS_INCLUDE_SUBDOMAINS = True\n"
    "SECURE_HSTS_PRELOAD = True\nSECURE_CONTENT_TYPE_NOSNIFF = True\n"
)
ENTRY_POINT = 'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "{}")\n'


@pytest.mark.parametrize("named_by", ["proj/wsgi.py", "proj/asgi.py", "manage.py"])
def test_a_development_module_a_deployment_entry_point_names_is_not_fixed(tmp_path, named_by):
    # dev.py serves http://localhost on purpose; production.py, built on the same base, is the
    # deployment's and gets the fix.
    dev = "from .base import *\n\nDEBUG = True\nSECURE_SSL_REDIRECT = False\n"
    files = {"proj/__init__.py": "", "proj/settings/__init__.py": "", "proj/settings/base.py": HARDENED,
             "proj/settings/dev.py": dev, "proj/settings/production.py": "from .base import *\n\nSESSION_COOKIE_SECURE = False\n"}
    if named_by != "manage.py":
        files[named_by] = ENTRY_POINT.format("proj.settings.dev")
    root = project(tmp_path, files, settings_module="proj.settings.dev")
    assert settings_findings(root) == [("proj/settings/production.py", "C4014")]
    assert fixed(root) == {"proj/settings/production.py": "from .base import *\n\nSESSION_COOKIE_SECURE = True\n"}
    transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert nothing_left_to_fix(root)
    assert (root / "proj/settings/dev.py").read_text() == dev


@pytest.mark.parametrize(
    "settings, added, left",
    [
        # the lint asks for the HSTS lifetime; the settings that need HSTS on are then findings
        # of the fixed module, left to the site's owner
        (HARDENED.replace("SECURE_HSTS_SECONDS = 31536000\nSECURE_HSTS_INCLUDE_SUBDOMAINS = True\nSECURE_HSTS_PRELOAD = True\n", ""),
         "SECURE_HSTS_SECONDS = 31536000\n", ["C4011", "C4017"]),
        # ... and the same when the lint reports them itself
        (HARDENED.replace("SECURE_HSTS_INCLUDE_SUBDOMAINS = True\nSECURE_HSTS_PRELOAD = True\n", ""), "", ["C4011", "C4017"]),
        (HARDENED.replace("SECURE_HSTS_PRELOAD = True\n", "SECURE_HSTS_PRELOAD = False\n"), "", ["C4017"]),
        # the security middleware added makes the SECURE_* settings count: those the lint's
        # finding asks for are set in the same run
        (BASE, "", ["C4011", "C4017"]),
    ],
    ids=["hsts-seconds-fixed", "reported-by-the-lint", "preload-written-false", "security-middleware-added"],
)
def test_hsts_for_subdomains_and_preloading_are_left_to_the_sites_owner(tmp_path, caplog, settings, added, left):
    root = project(tmp_path, {"proj/__init__.py": "", "proj/settings.py": settings})
    with caplog.at_level(logging.WARNING, logger="vettor.staticanalysis.checkers.settings"):
        transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    after = (root / "proj/settings.py").read_text()
    if added:
        assert after == settings + added
    assert [record.getMessage().split(":")[1].split()[0] for record in caplog.records] == left
    assert all("decided for the whole domain" in record.getMessage() for record in caplog.records)
    assert after.count("SECURE_HSTS_INCLUDE_SUBDOMAINS = True") == settings.count("SECURE_HSTS_INCLUDE_SUBDOMAINS = True")
    assert after.count("SECURE_HSTS_PRELOAD = True") == settings.count("SECURE_HSTS_PRELOAD = True")
    assert {code for _, code in settings_findings(root)} == set(left)
    assert nothing_left_to_fix(root)


FENCED = HARDENED.replace("SECURE_SSL_REDIRECT = True\n", "") + (
    "\n# DON'T INSERT ANYTHING AFTER THIS BLOCK\nif DEBUG:\n    INSTALLED_APPS += [\"debug_toolbar\"]\n"
)


@pytest.mark.parametrize(
    "settings, after",
    [
        # the new statement goes above the comment that forbids anything after it
        (FENCED, FENCED.replace("\n# DON'T", "SECURE_SSL_REDIRECT = True\n\n# DON'T")),
        (FENCED.replace("# DON'T INSERT ANYTHING AFTER THIS BLOCK", "# No more code below this line, please"),
         FENCED.replace("\n# DON'T INSERT ANYTHING AFTER THIS BLOCK", "SECURE_SSL_REDIRECT = True\n\n# No more code below this line, please")),
        # a comment inside a statement is about that statement, not about the module
        (FENCED.replace("# DON'T INSERT ANYTHING AFTER THIS BLOCK\n", "").replace(
            '    "django.middleware.security.SecurityMiddleware",\n',
            '    "django.middleware.security.SecurityMiddleware",  # keep it first\n    # nothing after this one may be cached\n'),
         None),
    ],
    ids=["dont-insert", "no-more-code-below", "comment-inside-a-statement"],
)
def test_nothing_is_added_after_a_comment_that_forbids_it(tmp_path, settings, after):
    root = project(tmp_path, {"proj/__init__.py": "", "proj/settings.py": settings})
    transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    written = (root / "proj/settings.py").read_text()
    assert written == (after if after is not None else settings + "SECURE_SSL_REDIRECT = True\n")
    assert nothing_left_to_fix(root)


def test_a_fix_that_only_works_after_a_comment_that_forbids_it_is_declined_with_a_word(tmp_path, caplog):
    # What follows the comment sets the redirect off again: set above it, the fix would change
    # nothing, so it is not made; the cookie's fix, which changes its own line, is.
    settings = HARDENED.replace("SECURE_SSL_REDIRECT = True\n", "").replace("CSRF_COOKIE_SECURE = True", "CSRF_COOKIE_SECURE = False") + (
        "\n# Keep this at the very bottom: the platform's settings win.\nfrom .platform import *\n"
    )
    root = project(tmp_path, {"proj/__init__.py": "", "proj/settings.py": settings,
                              "proj/platform.py": "SECURE_SSL_REDIRECT = False\n"})
    assert settings_findings(root) == [("proj/settings.py", "C4013"), ("proj/settings.py", "C4016")]
    with caplog.at_level(logging.WARNING):
        transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert (root / "proj/settings.py").read_text() == settings.replace("CSRF_COOKIE_SECURE = False", "CSRF_COOKIE_SECURE = True")
    comment = settings.splitlines().index("# Keep this at the very bottom: the platform's settings win.") + 1
    assert [record.getMessage() for record in caplog.records] == [
        f"Left unfixed: C4013 in {root / 'proj/settings.py'}: the comment on line {comment} asks that "
        "nothing be added after it, and SECURE_SSL_REDIRECT cannot be set above it"
    ]
    assert nothing_left_to_fix(root)


# ---------------------------------------------------------------------------------------
# Encodings and line endings

FIELD_LINE = b"    name = models.CharField(max_length=9, null=True)"
FIXED_LINE = b'    name = models.CharField(max_length=9, default="", blank=True)'


@pytest.mark.parametrize(
    "before",
    [
        b"# -*- coding: latin-1 -*-\nfrom django.db import models\nLABEL = \"caf\xe9\"\n\n\nclass A(models.Model):\n" + FIELD_LINE + b"\n",
        b"from django.db import models\r\n\r\n\r\nclass A(models.Model):\r\n" + FIELD_LINE + b"\r\n    other = 1\r\n",
        b"from django.db import models\r\r\r\nclass A(models.Model):\r" + FIELD_LINE + b"\r    other = 1\r",
        b"from django.db import models\n\r\n\r\nclass A(models.Model):\r\n" + FIELD_LINE + b"\n    other = 1\r\n",
        "\ufefffrom django.db import models\n\n\nclass A(models.Model):\n    l\u00e4nge = models.CharField(max_length=9, null=True)\n".encode("utf-8"),
    ],
    ids=["latin-1", "crlf", "lone-cr", "mixed", "utf-8-bom"],
)
def test_the_diff_applies_and_the_fix_keeps_the_encoding_and_line_endings(tmp_path, before):
    root = project(tmp_path / "project", {"shop/__init__.py": ""})
    (root / "shop" / "models.py").write_bytes(before)
    copies = {}
    for tool in ("patch", "git"):
        copies[tool] = pathlib.Path(shutil.copytree(root, tmp_path / tool))
    result = transformer.transform_files(root, None, jobs=1, unsafe_fixes=True)
    patch = result.unified_diff_bytes()
    assert transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True) == ["shop/models.py"]
    after = (root / "shop" / "models.py").read_bytes()
    assert after == before.replace(FIELD_LINE, FIXED_LINE).replace(
        "l\u00e4nge = models.CharField(max_length=9, null=True)".encode(),
        'l\u00e4nge = models.CharField(max_length=9, default="", blank=True)'.encode(),
    )
    subprocess.run(["patch", "-p1", "-s", "--binary"], input=patch, cwd=copies["patch"], check=True)
    subprocess.run(["git", "apply", "--whitespace=nowarn", "-"], input=patch, cwd=copies["git"], check=True)
    for copy in copies.values():
        assert (copy / "shop" / "models.py").read_bytes() == after


# Each name as git writes it in a header; every such file is fixed and its diff applies.
ODD_NAMES = [
    (b"with space.py", b"a/with space.py\t"),
    (b"with\ttab.py", b'"a/with\\ttab.py"'),
    (b'with"quote.py', b'"a/with\\"quote.py"'),
    (b"with\\backslash.py", b'"a/with\\\\backslash.py"'),
    (b"with\x01control.py", b'"a/with\\001control.py"'),
    ("\u00fcn\u00efcode.py".encode(), b'"a/\\303\\274n\\303\\257code.py"'),
    (b"not\xffutf8.py", b'"a/not\\377utf8.py"'),
    # A folder named so that an unquoted header would end the name and forge one that names
    # shop/models.py, which no fix changes.
    (b"x.py\n+++ b/shop/models.py", b'"a/x.py\\n+++ b/shop/models.py"\t'),
]


@pytest.mark.parametrize("name, header", ODD_NAMES, ids=[n.decode("utf-8", "backslashreplace") for n, _ in ODD_NAMES])
def test_a_diff_quotes_a_path_as_git_does_and_applies(tmp_path, name, header):
    root = project(tmp_path / "project", {"shop/__init__.py": "", "shop/models.py": "x = 1\n"})
    path = bytes(root / "shop") + b"/" + name
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as file:
        file.write(NULLABLE.format(pragma="").encode())
    copies = {tool: pathlib.Path(shutil.copytree(root, tmp_path / tool)) for tool in ("patch", "git")}
    result = transformer.transform_files(root, None, jobs=1, unsafe_fixes=True)
    patch = result.unified_diff_bytes()
    headers = [line for line in patch.split(b"\n") if line.startswith((b"--- ", b"+++ "))]
    assert headers == [b"--- " + header.replace(b"a/", b"a/shop/"),
                       b"+++ " + header.replace(b"a/", b"b/shop/")]
    assert result.unified_diff().encode("utf-8", "surrogateescape") == patch
    subprocess.run(["patch", "-p1", "-s", "--binary"], input=patch, cwd=copies["patch"], check=True)
    subprocess.run(["git", "apply", "--whitespace=nowarn", "-"], input=patch, cwd=copies["git"], check=True)
    with open(path, "rb") as file:
        before = file.read()
    assert transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True) == [os.fsdecode(b"shop/" + name)]
    with open(path, "rb") as file:
        after = file.read()
    assert after != before and b'default=""' in after
    for copy in copies.values():
        with open(bytes(copy / "shop") + b"/" + name, "rb") as file:
            assert file.read() == after
        assert (copy / "shop" / "models.py").read_text() == "x = 1\n"


# ---------------------------------------------------------------------------------------
# Files that cannot be fixed


def test_a_file_nested_too_deeply_costs_only_itself(tmp_path):
    deep = NULLABLE.format(pragma="") + "TOTAL = " + " + ".join(["1"] * 3000) + "\n"
    root = project(tmp_path, {"shop/__init__.py": "", "shop/deep.py": deep, "shop/models.py": NULLABLE.format(pragma="")})
    result = transformer.transform_files(root, None, jobs=1, unsafe_fixes=True)
    assert [path for _, path in result] == ["shop/models.py"]
    assert [path for path, _ in result.failures] == ["shop/deep.py"]


def test_transform_code_leaves_a_source_nested_too_deeply_unfixed_with_a_warning(caplog):
    code = NULLABLE.format(pragma="") + "TOTAL = " + " + ".join(["1"] * 3000) + "\n"
    with caplog.at_level(logging.WARNING):
        result = transformer.transform_code(code, "shop/models.py", "proj.settings")
    assert "null=True" in result.code and "TOTAL" in result.code
    assert "shop/models.py is nested too deeply to be fixed" in caplog.text


def test_a_file_edited_while_the_fix_runs_is_not_written(tmp_path, monkeypatch):
    root = project(tmp_path, {"edited/__init__.py": "", "edited/models.py": NULLABLE.format(pragma=""),
                              "edited/admin.py": NULLABLE.format(pragma="").replace("class A", "class B")})
    real = transformer.transform_files

    def edited_meanwhile(**kwargs):
        result = real(**kwargs)
        with open(root / "edited" / "models.py", "a") as file:
            file.write("EDITED = True\n")
        return result

    monkeypatch.setattr(transformer, "transform_files", edited_meanwhile)
    with pytest.raises(transformer.TransformError) as raised:
        transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)
    assert raised.value.written == ["edited/admin.py"]
    assert [path for path, _ in raised.value.failures] == ["edited/models.py"]
    assert (root / "edited" / "models.py").read_text() == NULLABLE.format(pragma="") + "EDITED = True\n"
    assert "blank=True" in (root / "edited" / "admin.py").read_text()
