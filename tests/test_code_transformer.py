"""The code transformer: the fixes of every rule family applied to one source text, the
statements they changed written into the text as given, formatted with Black, with the codes
the linter finds in the text."""
import ast
import textwrap

import astroid
import pytest

from vettor.staticanalysis import checker, helpers, suggest, transformer
from vettor.staticanalysis.checkers import querysets, settings

SETTINGS = "proj.settings"

QUERYSET_FIXES = [
    "transform_queryset_length",
    "transform_queryset_exists_compare",
    "transform_queryset_exists_naked_unaryop",
    "transform_queryset_exists_count_unaryop",
    "transform_queryset_exists_naked_if",
    "transform_queryset_exists_count_if",
    "transform_indirect_fk_lookup",
]


def test_the_module_holds_its_siblings_as_modules():
    for name in ["checker", "diff", "helpers", "suggest", "meta"]:
        assert getattr(transformer, name).__name__ == "vettor.staticanalysis." + name
    for name in ["migrations", "columns", "querysets", "settings", "urls"]:
        assert getattr(transformer, name).__name__ == "vettor.staticanalysis.checkers." + name
    assert transformer.TransformVisitor is astroid.transforms.TransformVisitor


def test_a_result_is_a_pair():
    result = transformer.TransformResult("x = 1", {"C2006"})
    assert result == ("x = 1", {"C2006"})
    code, reasons = result
    assert (result.code, result.reasons) == (code, reasons)


# ---------------------------------------------------------------------------------------
# Registration


class Stop(Exception):
    pass


@pytest.fixture
def registrations(monkeypatch):
    """The (node class, transform, predicate) triples transform_code registers, in order; the
    call stops at the visit."""
    recorded = []

    class RecordingVisitor:
        def register_transform(self, node_class, transform, predicate=None):
            recorded.append((node_class, transform, predicate))

        def visit(self, node):
            raise Stop

    monkeypatch.setattr(transformer, "TransformVisitor", RecordingVisitor)
    for name in QUERYSET_FIXES:
        if not hasattr(querysets, name):
            monkeypatch.setattr(querysets, name, lambda node, name=name: node, raising=False)
    if not hasattr(transformer.urls, "transform_reverse_lazy_to_reverse"):
        monkeypatch.setattr(transformer.urls, "transform_reverse_lazy_to_reverse", lambda node: node, raising=False)

    def run(noise=None):
        recorded.clear()
        args = ("x = 1\n", "app/models.py", SETTINGS) + (() if noise is None else (noise,))
        with pytest.raises(Stop):
            transformer.transform_code(*args)
        return list(recorded)

    return run


FIXED_ROWS = [
    ("Call", "migrations", "add_reverse_code"),
    ("Call", "columns", "transform_null_to_default_str"),
    ("Call", "columns", "transform_redundant_kwargs"),
    ("Call", "columns", "transform_add_blank_true"),
    ("Call", "columns", "transform_huge_char_field"),
    ("Call", "columns", "transform_nullboolean"),
    ("Call", "querysets", "transform_queryset_length"),
    ("Compare", "querysets", "transform_queryset_exists_compare"),
    ("Compare", "querysets", "transform_queryset_exists_compare"),  # len() compared
    ("UnaryOp", "querysets", "transform_queryset_exists_naked_unaryop"),
    ("UnaryOp", "querysets", "transform_queryset_exists_count_unaryop"),
    ("If", "querysets", "transform_queryset_exists_naked_if"),
    ("If", "querysets", "transform_queryset_exists_count_if"),
    ("Attribute", "querysets", "transform_indirect_fk_lookup"),
    ("Call", "urls", "transform_reverse_lazy_to_reverse"),
]
SETTINGS_ROWS = [
    ("C4007", "add_security_middlware"),
    ("C4008", "add_xframe_middlware"),
    ("C4009", "add_csrf_middlware"),
    ("C4010", "add_hsts_seconds"),
    ("C4011", "add_hsts_subdomains"),
    ("C4012", "add_secure_content_type_nosniff"),
    ("C4013", "add_secure_ssl_redirect"),
    ("C4014", "add_session_cookie_secure"),
    ("C4015", "remove_session_cookie_http_only"),
    ("C4016", "add_csrf_cookie_secure"),
    ("C4017", "add_hsts_preload"),
]


def expected_rows(left_out=()):
    rows = [(getattr(astroid, cls), getattr(getattr(transformer, module), name)) for cls, module, name in FIXED_ROWS]
    rows += [(astroid.Module, getattr(settings, name)) for code, name in SETTINGS_ROWS if code not in left_out]
    return rows


@pytest.mark.parametrize(
    "noise, left_out",
    [(None, ()), (["C4010"], ("C4010",)), (("C2003", "C4007", "C4017"), ("C4007", "C4017")), ({"C9000"}, ())],
    ids=["default", "one-settings-code", "a-tuple", "a-code-of-a-fixed-row"],
)
def test_the_fixes_registered_and_their_order(registrations, noise, left_out):
    recorded = registrations(noise)
    assert [(cls, transform) for cls, transform, _ in recorded] == expected_rows(left_out)


class ReportingLinter:
    """A linter that reports the given codes on whatever it checks."""

    def __init__(self, codes):
        self.reporter = type("Reporter", (), {"messages": [{"message-id": code} for code in codes]})()

    def set_option(self, name, value):
        pass

    def check(self, code, files_or_modules):
        pass


def test_the_predicates_of_the_rows(registrations, monkeypatch):
    monkeypatch.setattr(checker, "create_linter", lambda linter_class: ReportingLinter(["C4010"]))
    recorded = registrations()
    by_transform = {transform: predicate for _, transform, predicate in recorded}
    assert by_transform[transformer.columns.transform_nullboolean] is transformer.columns.is_nullboolean
    assert by_transform[transformer.urls.transform_reverse_lazy_to_reverse] is transformer.urls.is_misusing_reverse_lazy

    # The queryset closures ask about the node's operand or test, looked up when they run.
    asked = []
    monkeypatch.setattr(querysets, "is_queryset", lambda node: asked.append(("qs", node)) or "yes")
    monkeypatch.setattr(querysets, "is_queryset_count", lambda node: asked.append(("count", node)))
    operand, test = object(), object()
    unary = type("UnaryOp", (), {"operand": operand})()
    if_node = type("If", (), {"test": test})()
    assert by_transform[querysets.transform_queryset_exists_naked_unaryop](unary) == "yes"
    by_transform[querysets.transform_queryset_exists_count_if](if_node)
    assert asked == [("qs", operand), ("count", test)]

    # The settings closures pass the module and this call's settings module, by keyword, for
    # a code the lint reported; for any other code the fix is not made.
    seen = []
    for name in ("is_missing_secure_hsts_seconds", "is_missing_secure_hsts_preload"):
        monkeypatch.setattr(settings, name, lambda **kwargs: seen.append(kwargs) or True)
    module = object()
    assert by_transform[settings.add_hsts_seconds](module) is True
    assert by_transform[settings.add_hsts_preload](module) is False
    assert seen == [{"module_node": module, "settings_modpath": SETTINGS}]


def test_the_default_noise_is_shared_and_stays_empty(registrations, monkeypatch):
    grown = []

    class Noise(list):
        def __contains__(self, code):
            grown.append(code)
            return False

    registrations()
    registrations(Noise())
    assert len(grown) == len(SETTINGS_ROWS)
    assert len(registrations()) == len(FIXED_ROWS) + len(SETTINGS_ROWS)


@pytest.mark.parametrize(
    "filepath, modname",
    [
        ("shop/models.py", "shop.models"),
        ("shop/api.pyx/models.py", "shop.apix.models"),
        ("shop\\models.py", "shop\\models"),
    ],
)
def test_the_module_name_comes_from_the_path(monkeypatch, filepath, modname):
    calls = []

    def build_atok(source, **kwargs):
        calls.append((source, kwargs))
        raise Stop

    monkeypatch.setattr(helpers, "build_atok", build_atok)
    with pytest.raises(Stop):
        transformer.transform_code("x = 1\n", filepath, SETTINGS)
    # Only fixed statements are rendered: the tree needs no placeholders for comment lines.
    assert calls == [("x = 1\n", {"modname": modname, "absolute_path": filepath})]


def test_a_source_that_does_not_parse_raises():
    with pytest.raises(astroid.AstroidSyntaxError):
        transformer.transform_code("def broken(:\n", "app/broken.py", SETTINGS)


# ---------------------------------------------------------------------------------------
# Whole fixes, per rule family


def transformed(source, filepath="blog/models.py", noise=None):
    args = (textwrap.dedent(source), filepath, SETTINGS) + (() if noise is None else (noise,))
    code, reasons = transformer.transform_code(*args)
    ast.parse(code)  # a fixed text always parses
    return code, reasons


MODEL_HEADER = "from django.db import models\n\n\n"

BOOK_MODELS = (
    MODEL_HEADER
    + "class Author(models.Model):\n"
    + "    name = models.CharField(max_length=10)\n\n\n"
    + "class Book(models.Model):\n"
    + "    title = models.CharField(max_length=10)\n"
    + '    author = models.ForeignKey(Author, models.CASCADE, related_name="books")\n\n\n'
)
SECURE_SETTINGS = """\
INSTALLED_APPS = ["django.contrib.sessions"]
MIDDLEWARE = [
    "django.middleware.security.SecurityMiddleware",
    "django.contrib.sessions.middleware.SessionMiddleware",
    "django.middleware.csrf.CsrfViewMiddleware",
    "django.middleware.clickjacking.XFrameOptionsMiddleware",
]
SECURE_HSTS_INCLUDE_SUBDOMAINS = True
SECURE_HSTS_PRELOAD = True
SECURE_CONTENT_TYPE_NOSNIFF = True
SECURE_SSL_REDIRECT = True
SESSION_COOKIE_SECURE = True
CSRF_COOKIE_SECURE = True"""

# (name, path, before, after, codes): sources in double quotes, the quote Black keeps.
CASES = [
    (
        "model-fields",
        "blog/models.py",
        MODEL_HEADER
        + "# A post of the blog.\n"
        + "class Post(models.Model):\n"
        + "    title = models.CharField(max_length=1000)  # long titles\n"
        + "    subtitle = models.CharField(max_length=10, null=True)\n"
        + "    homepage = models.URLField(null=True, blank=False)  # required in forms\n"
        + "    rank = models.IntegerField(null=False)\n"
        + "    published = models.NullBooleanField()\n"
        + "\n"
        + "    owner = models.ForeignKey(\"auth.User\", on_delete=models.CASCADE, null=True)\n",
        MODEL_HEADER
        + "# A post of the blog.\n"
        + "class Post(models.Model):\n"
        + "    title = models.TextField()  # long titles\n"
        + "    subtitle = models.CharField(max_length=10, default=\"\", blank=True)\n"
        + "    homepage = models.URLField(default=\"\", blank=False)  # required in forms\n"
        + "    rank = models.IntegerField()\n"
        + "    published = models.BooleanField(null=True)\n"
        + "\n"
        + "    owner = models.ForeignKey(\n"
        + "        \"auth.User\", on_delete=models.CASCADE, null=True, blank=True\n"
        + "    )",
        # C2005 (no related name) has no fix, and is a reason all the same
        {"C2000", "C2002", "C2003", "C2005", "C2006", "C2008"},
    ),
    (
        "querysets",
        "blog/views.py",
        BOOK_MODELS
        + "def count_books():\n"
        + '    return len(Book.objects.filter(title="x"))\n\n\n'
        + "def has_books():\n"
        + "    book = Book.objects.first()\n"
        + "    if Book.objects.all():  # any at all\n"
        + '        return Book.objects.filter(title="y").count() > 0\n'
        + "    if not Book.objects.all().count():\n"
        + "        return book.author.id\n"
        + '    return not Book.objects.filter(title="z")\n',
        BOOK_MODELS
        + "def count_books():\n"
        + '    return Book.objects.filter(title="x").count()\n\n\n'
        + "def has_books():\n"
        + "    book = Book.objects.first()\n"
        + "    if Book.objects.all().exists():  # any at all\n"
        + '        return Book.objects.filter(title="y").exists()\n'
        + "    if not Book.objects.all().exists():\n"
        + "        return book.author_id\n"
        + '    return not Book.objects.filter(title="z").exists()',
        {"C9000", "C9001", "C9002", "C9003"},
    ),
    (
        "urls",
        "blog/links.py",
        'from django.urls import reverse_lazy\n\nHOME = reverse_lazy("home")\n\n\n'
        'def about():\n    return reverse_lazy("about")\n',
        'from django.urls import reverse, reverse_lazy\n\nHOME = reverse_lazy("home")\n\n\n'
        'def about():\n    return reverse("about")',
        {"C6002"},
    ),
    (
        "migration",
        "blog/migrations/0002_data.py",
        "from django.db import migrations\n\n\n"
        "def forwards(apps, schema_editor):\n    pass\n\n\n"
        "class Migration(migrations.Migration):\n"
        "    dependencies = []\n"
        "    operations = [migrations.RunPython(forwards)]\n",
        "from django.db import migrations\n\n\n"
        "def forwards(apps, schema_editor):\n    pass\n\n\n"
        "class Migration(migrations.Migration):\n"
        "    dependencies = []\n"
        "    operations = [migrations.RunPython(forwards, migrations.RunPython.noop)]",
        {"C8001"},
    ),
    (
        "settings",
        "proj/settings.py",
        'SECRET_KEY = "x"\nSECURE_HSTS_SECONDS = 0  # raise me\n' + SECURE_SETTINGS + "\n",
        'SECRET_KEY = "x"\nSECURE_HSTS_SECONDS = 31536000  # raise me\n' + SECURE_SETTINGS,
        {"C4010"},
    ),
]


CASE = {case[0]: case for case in CASES}


@pytest.mark.parametrize("name, filepath, before, after, codes", CASES, ids=[case[0] for case in CASES])
def test_fixes_of_each_rule_family(name, filepath, before, after, codes):
    assert transformed(before, filepath) == (after, codes)


def test_noise_leaves_codes_out_and_settings_fixes_unmade():
    _, filepath, before, _, _ = CASE["settings"]
    assert transformed(before, filepath, noise=["C4010"]) == (textwrap.dedent(before).strip("\n"), set())
    _, filepath, before, after, _ = CASE["model-fields"]
    # A fixed row runs whatever the noise says; only its code is left out of the reasons.
    assert transformed(before, filepath, noise=("C2003", "C2008", "C2000")) == (after, {"C2002", "C2005", "C2006"})


def test_a_text_whose_lines_end_in_lone_carriage_returns_is_fixed_as_any_other():
    name, filepath, before, after, codes = CASE["model-fields"]
    assert transformed(before.replace("\n", "\r"), filepath) == (after, codes)


def test_a_file_without_findings_comes_back_unchanged():
    source = '"""A module."""\n\n\n# Greets.\ndef greet(name):\n    return "Hello " + name  # plain\n'
    assert transformed(source, "blog/clean.py") == (source.rstrip("\n"), set())


def test_a_fix_that_breaks_the_code_is_refused(monkeypatch):
    monkeypatch.setattr(suggest, "node_as_string", lambda atok, node: atok.text, raising=False)
    monkeypatch.setattr(suggest, "get_comma_character_target", lambda source: ("'", '"'), raising=False)
    monkeypatch.setattr(suggest, "format_code", lambda code, **kwargs: "def broken(:", raising=False)
    for name in QUERYSET_FIXES:
        monkeypatch.setattr(querysets, name, lambda node: node, raising=False)
    monkeypatch.setattr(transformer.urls, "transform_reverse_lazy_to_reverse", lambda node: node, raising=False)
    monkeypatch.setattr(checker, "python_checker_classes", [])
    with pytest.raises(SyntaxError):
        transformer.transform_code("x = 1\n", "app/x.py", SETTINGS)


def test_unpacked_values_keep_their_brackets():
    # Django's own idiom; written without its brackets the module would not parse.
    source = (
        'BASE = {"a": 1}\n\n\n'
        "def context(extra=None, names=None):\n"
        "    return {**BASE, **(extra or {})}, [*(names or []), \"x\"]\n"
    )
    assert transformed(source, "blog/views.py") == (source.rstrip("\n"), set())


def test_quotes_follow_the_file_as_given():
    source = (
        "from django.db import models\n\n\n"
        "class Post(models.Model):\n"
        "    title = models.CharField(max_length=1000, verbose_name='title')\n"
        "    slug = models.SlugField(help_text=\"it's short\")\n"
    )
    code, reasons = transformed(source)
    # More single than double quotes: literals turn to single quotes where that costs no
    # escape.
    assert code.splitlines()[-2:] == [
        "    title = models.TextField(verbose_name='title')",
        "    slug = models.SlugField(help_text=\"it's short\")",
    ]
    assert "C2006" in reasons


# ---------------------------------------------------------------------------------------
# What no fix touched: the text as given, formatted by Black

FIX_LINE = "    title = models.CharField(max_length=1000)\n"
FIXED_LINE = "    title = models.TextField()\n"
FIXED_MODEL = MODEL_HEADER + "class Post(models.Model):\n" + FIX_LINE + "\n\n"

# (name, code that no fix touches): each once in a file a fix changes elsewhere, once in a
# file without a fix. astroid's rendering of each changed its meaning, its spelling or its
# comments, or did not parse.
UNTOUCHED = [
    ("assignment-expression-compared", "def f(a):\n    if (n := len(a)) > 10:\n        return n\n"),
    ("assignment-expression-assigned", "s = (t := 3)\n"),
    ("assignment-expression-in-a-condition",
     "def g(x):\n    return x\n\n\nr = [y for x in [] if (y := g(x))]\n"),
    ("yield-returned", "def f():\n    return (yield)\n"),
    ("docstring-with-backslashes", "def f():\n    '''C:\\\\dir and \\\\n'''\n"),
    ("docstring-ending-in-a-quote", "def f():\n    '''Ends in a quote\"'''\n"),
    ("number-and-string-spellings", "a = 0xFF\nb = 0o755\nc = 1_000\nd = r'\\d'\n"),
    ("fmt-off-region", "# fmt: off\nx = [\n  1,2,\n      3]\n# fmt: on\n"),
    ("own-line-comment-inside-brackets", "x = [\n    1,\n    # two follows\n    2,\n]\n"),
    ("comment-above-the-next-member",
     "class A:\n    def f(self):\n        return 1\n\n    # g is the second\n    def g(self):\n"
     "        return 2\n"),
    ("trailing-comments-of-a-list", "x = [\n    1,  # one\n    2,  # two\n    3,  # three\n]\n"),
    ("attribute-docstring", "class A:\n    x = 1\n    '''The x of A.'''\n"),
]


def black(source):
    return suggest.format_code(
        source, indentation="", code_style={"line_length": 79},
        comma_character_target=suggest.get_comma_character_target(source),
    )


@pytest.mark.parametrize("code", [case[1] for case in UNTOUCHED], ids=[case[0] for case in UNTOUCHED])
def test_code_no_fix_touched_is_black_of_the_text_as_given(code):
    # Without a fix: exactly what Black makes of the file.
    assert transformer.transform_code(code, "blog/other.py", SETTINGS).code == black(code)
    # With a fix elsewhere: the same, but for the fixed line.
    fixed, reasons = transformed(FIXED_MODEL + code)
    assert fixed == black(FIXED_MODEL.replace(FIX_LINE, FIXED_LINE) + code)
    assert "C2006" in reasons


def test_a_fixed_statement_keeps_its_comments_and_spellings():
    before = (
        MODEL_HEADER
        + "class Post(models.Model):\n"
        + "    title = models.CharField(\n"
        + "        # shown in lists\n"
        + "        max_length=0x400,  # long enough\n"
        + '        verbose_name=r"T\\itle",\n'
        + '        help_text="The title"  # of the post\n'
        + '        " as shown",\n'
        + "    )\n"
    )
    after = (
        MODEL_HEADER
        + "class Post(models.Model):\n"
        + "    title = models.TextField(\n"
        + "        # shown in lists\n"
        + "        # long enough\n"
        + '        verbose_name=r"T\\itle",\n'
        + '        help_text="The title as shown",  # of the post\n'
        + "    )"
    )
    assert transformed(before) == (after, {"C2006"})


# `exists()` of this queryset infers to a value: inferring the `not` that the comparison fix
# emptied raised KeyError.
EXISTS_ANSWERS = """\
from django.db import models


class Shelf(models.QuerySet):
    def exists(self):
        return True


def has_books():
    qs = Shelf()
"""


@pytest.mark.parametrize(
    "before, after",
    [
        ("    if not qs.count() == 0:\n        return 1\n", "    if qs.exists():\n        return 1"),
        ("    if not qs.count() < 1:\n        return 1\n", "    if qs.exists():\n        return 1"),
        ("    return not qs.count() == 0\n", "    return qs.exists()"),
        ("    return flag and not qs.count() == 0\n", "    return flag and qs.exists()"),
    ],
    ids=["if", "if-less-than-one", "return", "in-a-boolean-operation"],
)
def test_an_emptied_not_gives_way_to_its_operand(before, after):
    code, reasons = transformed(EXISTS_ANSWERS + before)
    assert code == EXISTS_ANSWERS + after
    assert "C9002" in reasons


def test_only_the_package_codes_are_reasons():
    # pylint reports a pragma naming an unknown message (E0012) on its own behalf.
    source = "x = 1  # pylint: disable=no-such-message\n"
    assert transformed(source, "blog/clean.py") == (source.rstrip("\n"), set())


# ---------------------------------------------------------------------------------------
# Settings fixes: exactly where the lint reports their findings

SETTINGS_PATH = "proj/settings.py"
# Secure but for the HSTS settings.
SECURE_MIDDLEWARE = "".join(
    line + "\n" for line in SECURE_SETTINGS.splitlines() if not line.startswith(("SECURE_HSTS", "SECURE_CONTENT"))
)


def test_a_settings_fix_adds_only_what_a_finding_asks_for():
    # The lint (Django 3.2's defaults) reports only the HSTS seconds: the HSTS settings that
    # apply once seconds are set, and nosniff (secure by default since Django 3.0), are not
    # added.
    before = SECURE_MIDDLEWARE + "SECURE_HSTS_SECONDS = 0\n"
    code, reasons = transformed(before, SETTINGS_PATH)
    assert reasons == {"C4010"}
    assert code == SECURE_MIDDLEWARE + "SECURE_HSTS_SECONDS = 31536000"


@pytest.mark.parametrize(
    "tail",
    [
        "try:\n    from .local_settings import *\nexcept ImportError:\n    pass\n",
        "# Local overrides\nfrom .local_settings import *\n",
        "if DEBUG:\n    from .local import *\n",
    ],
    ids=["try-block", "star-import", "if-block"],
)
def test_an_added_setting_goes_before_the_local_settings(tmp_path, monkeypatch, tail):
    # The local settings exist beside the module (the path is taken from the working folder,
    # the project's root), so the lint can read what they set (nothing that matters here).
    (tmp_path / "proj").mkdir()
    for name in ("local_settings.py", "local.py"):
        (tmp_path / "proj" / name).write_text("ALLOWED_HOSTS = ['localhost']\n")
    monkeypatch.chdir(tmp_path)
    body = SECURE_MIDDLEWARE.replace("SESSION_COOKIE_SECURE = True\n", "") + "DEBUG = False\n"
    code, reasons = transformed(body + "\n" + tail, SETTINGS_PATH)
    assert reasons == {"C4010", "C4014"}
    added = "SECURE_HSTS_SECONDS = 31536000\nSESSION_COOKIE_SECURE = True\n"
    assert code == black(body + added + "\n" + tail)


# ---------------------------------------------------------------------------------------
# A fix that cannot be written back faithfully is left out, with what goes with it


def fix_report(source, filepath="blog/models.py"):
    return transformer.fix_code(textwrap.dedent(source), filepath, SETTINGS)


def test_a_statement_whose_rendering_does_not_parse_back_stays_unfixed(monkeypatch, caplog):
    source = FIXED_MODEL + "class Page(models.Model):\n    body = models.NullBooleanField()\n"
    render = suggest.render_statement

    def broken(node):
        text = render(node)
        return text.replace("TextField()", "TextField(") if "title" in text else text

    monkeypatch.setattr(suggest, "render_statement", broken)
    report = fix_report(source)
    assert report.code == black(source.replace("NullBooleanField()", "BooleanField(null=True)"))
    assert (report.fixed, report.unfixed) == ({"C2008"}, {"C2006"})
    assert [change.text for change in report.changes if change.reason] == [None]
    assert "Left unfixed: the statement at line 5 of blog/models.py" in caplog.text
    assert "does not parse back to the fixed statement" in caplog.text


def test_statements_one_fix_changed_together_stay_together(monkeypatch, caplog):
    # The import loses reverse_lazy because every call is renamed: when one call cannot be
    # written, neither can the import nor the other call.
    source = (
        "from django.urls import reverse_lazy\n\n\n"
        'def about():\n    return reverse_lazy("about")\n\n\n'
        'def home():\n    return reverse_lazy("home")\n'
    )
    render = suggest.render_statement
    monkeypatch.setattr(suggest, "render_statement",
                        lambda node: render(node) + ("(" if "home" in render(node) else ""))
    report = fix_report(source, "blog/links.py")
    assert report.code == source.rstrip("\n")
    assert report.unfixed == {"C6002"} and report.fixed == set()
    assert sorted(change.reason for change in report.changes) == [
        "a change made with it is left out",
        "a change made with it is left out",
        "its rendering does not parse back to the fixed statement",
    ]


def test_a_fix_that_raises_costs_only_its_statement(monkeypatch, caplog):
    def failing(node):
        node.keywords = []  # half done, then failing: nothing of it may reach the text
        raise RuntimeError("a rule failed")

    monkeypatch.setattr(transformer.columns, "transform_nullboolean", failing)
    source = FIXED_MODEL + "class Page(models.Model):\n    body = models.NullBooleanField(null=True)\n"
    report = fix_report(source)
    assert report.code == black(source.replace(FIX_LINE, FIXED_LINE))
    assert (report.fixed, report.unfixed) == ({"C2006"}, {"C2008"})
    assert "A fix failed at line 9 of blog/models.py" in caplog.text
    assert "a rule failed" in caplog.text
