"""Review findings become review comments: one per file line, with suggested-change blocks for
fixable codes, comments of their own for the other lines a fix touches, and a disable pragma
on request."""
import logging
import pathlib
import re
import shutil

import pytest

from review_records import block, comment, finding, unsafe
from vettor.staticanalysis import checker, constants, helpers, meta, suggest

PROJECT = pathlib.Path(__file__).parent / "fixtures" / "suggest_project"
MODELS = str(PROJECT / "library" / "models.py")
SETTINGS = str(PROJECT / "library" / "settings.py")
VIEWS = str(PROJECT / "library" / "views.py")
PRODUCTION = str(PROJECT / "library" / "production.py")
QUERIES = str(PROJECT / "library" / "queries.py")
PAGE = str(PROJECT / "templates" / "page.html")
CHILD = str(PROJECT / "templates" / "child.html")
FIRST_LINE = str(PROJECT / "templates" / "first_line.html")
SKIP = constants.SKIP_LINE_ID
PRAGMA_PROJECT = pathlib.Path(__file__).parent / "fixtures" / "pragma_project"


@pytest.fixture
def project(monkeypatch):
    """The project answers for the fixture project; returns the log of the calls."""
    calls = []

    def answer(name, value):
        def ask(project_root):
            calls.append((name, project_root))
            return value

        monkeypatch.setattr(meta, name, ask, raising=False)

    answer("get_code_style", {})
    answer("get_static_url_setting", "/static/")
    answer("get_settings_modpath", "library.production")  # named under the root, as meta names it

    return calls


# ---------------------------------------------------------------------------------------
# Python files


@pytest.mark.parametrize(
    "line, code, range_, text",
    [
        (6, "C2006", (6, 6), "    title = models.TextField()"),
        (8, "C2000", (8, 8), '    isbn = models.CharField(max_length=13, default="", blank=True)'),
        (12, "C2003", (12, 12), "    cover = models.ImageField(null=True, blank=True)"),
        # A statement over several lines: the comment spans them, from either end.
        (9, "C2006", (9, 11), "    blurb = models.TextField(blank=True)"),
        (11, "C2006", (9, 11), "    blurb = models.TextField(blank=True)"),
        # A string literal over two lines is replaced whole: the range ends where it ends.
        (14, "C2006", (14, 15), '    preface = models.TextField(help_text="Written\\nby the editor")'),
    ],
)
def test_fixable_finding_carries_the_fixed_statement(project, line, code, range_, text):
    result = suggest.suggest_fixes([finding(MODELS, line, code)], str(PROJECT))
    start, end = range_
    assert result == [
        comment(MODELS, end, block(text) + unsafe(code) + f"\n\n{code} here", start if start != end else None)
    ]


def test_fix_that_touches_another_line_gets_a_comment_of_its_own(project):
    result = suggest.suggest_fixes([finding(MODELS, 7, "C2006")], str(PROJECT))
    assert result == [
        comment(MODELS, 2, block("from django.db.models import CharField, TextField") + unsafe("C2006")),
        comment(MODELS, 7, block("    summary = TextField()  # shown on the card") + unsafe("C2006") + "\n\nC2006 here"),
    ]


def test_suggestion_away_from_the_finding_line_stands_alone(project):
    # A finding inside a statement, on neither of its end lines: the fix is offered for the
    # whole statement, and the finding keeps its own line.
    result = suggest.suggest_fixes([finding(MODELS, 10, "C2006")], str(PROJECT))
    assert result == [
        comment(MODELS, 11, block("    blurb = models.TextField(blank=True)") + unsafe("C2006"), start_line=9),
        comment(MODELS, 10, "C2006 here"),
    ]


def test_findings_on_one_line_make_one_comment(project):
    records = [
        finding(MODELS, 6, "C2005", "first"),
        finding(MODELS, "6", "C2006", "second"),
        finding(MODELS, 6, "C2005", "first"),
        finding(PAGE, 6, "C7000", "other file"),
    ]
    result = suggest.suggest_fixes(records, str(PROJECT))
    assert result == [
        comment(MODELS, 6, block("    title = models.TextField()") + unsafe("C2006") + "\n\nfirst\n\nsecond\n\nfirst"),
        comment(PAGE, 6, "other file"),
    ]
    assert all(type(record["line"]) is int for record in result)


def test_records_are_not_changed(project):
    records = [finding(MODELS, "6", "C2006")]
    before = [dict(record) for record in records]
    suggest.suggest_fixes(records, str(PROJECT))
    assert records == before


def test_non_fixable_findings_are_joined_without_reading_the_file(project, monkeypatch):
    def unreadable(path):
        raise AssertionError("read " + path)

    monkeypatch.setattr(helpers, "read_code_from_file", unreadable)
    records = [
        finding(MODELS, 5, "C2001", "too many fields"),
        finding(MODELS, 5, "C2005", "related name"),
        finding("notes.txt", 5, "C2006", "neither python nor html"),
    ]
    assert suggest.suggest_fixes(records, str(PROJECT)) == [
        comment(MODELS, 5, "too many fields\n\nrelated name"),
        comment("notes.txt", 5, "neither python nor html"),
    ]


def test_empty_review_still_asks_the_project_once(project):
    assert suggest.suggest_fixes([], "root") == []
    assert project == [
        ("get_code_style", "root"),
        ("get_static_url_setting", "root"),
        ("get_settings_modpath", "root"),
    ]


def test_each_file_is_read_and_parsed_once_per_call(project, monkeypatch):
    reads, parses = [], []
    read, build = helpers.read_code_from_file, helpers.build_atok
    monkeypatch.setattr(helpers, "read_code_from_file", lambda path: reads.append(path) or read(path))
    monkeypatch.setattr(helpers, "build_atok", lambda **kw: parses.append(kw["modname"]) or build(**kw))
    records = [finding(MODELS, line, "C2006") for line in (6, 9, 14)]
    records += [finding(PAGE, 3, "C7001"), finding(PAGE, 6, "C7001"), finding(MODELS, 12, "C2003")]
    suggest.suggest_fixes(records, str(PROJECT))
    assert sorted(reads) == sorted([MODELS, PAGE])
    assert len(parses) == 1
    suggest.suggest_fixes(records[:1], str(PROJECT))
    assert reads.count(MODELS) == 2  # nothing survives a call


def test_import_repair_is_suggested_once_per_file(project):
    records = [finding(VIEWS, 5, "C6002"), finding(VIEWS, 9, "C6002")]
    result = suggest.suggest_fixes(records, str(PROJECT))
    assert result == [
        comment(VIEWS, 1, block("from django.urls import path, reverse")),
        comment(VIEWS, 5, block('    return reverse("home")') + "\n\nC6002 here"),
        comment(VIEWS, 9, block('    return reverse("other")') + "\n\nC6002 here"),
    ]


def test_queryset_fixes_on_a_compound_statement_and_a_line(project):
    records = [finding(QUERIES, 6, "C9002"), finding(QUERIES, 8, "C9000")]
    assert suggest.suggest_fixes(records, str(PROJECT)) == [
        # The finding is on the header line of a compound statement: the suggestion holds the
        # line the fix changes, not the lines of the body it leaves as they are.
        comment(QUERIES, 6, block("if qs.exists():") + "\n\nC9002 here"),
        comment(QUERIES, 8, block("size = qs.count()") + "\n\nC9000 here"),
    ]


def test_fix_inside_a_long_statement_is_suggested_on_its_own_lines(project):
    # The fix changes one line of a statement of eight: the block is that line, and the
    # author's other lines (one longer than Black would leave it) are not laid out anew. A
    # finding on another line of the statement keeps the block down to the changed line.
    path = str(PROJECT / "library" / "migrations" / "0002_covers.py")
    fixed = "        migrations.RunPython(fill_covers, migrations.RunPython.noop),"
    assert suggest.suggest_fixes([finding(path, 18, "C8001")], str(PROJECT)) == [
        comment(path, 18, block(fixed) + unsafe("C8001") + "\n\nC8001 here")
    ]
    lines = pathlib.Path(path).read_text().split("\n")
    assert suggest.suggest_fixes([finding(path, 12, "C8001")], str(PROJECT)) == [
        comment(path, 18, block("\n".join(lines[11:17] + [fixed])) + unsafe("C8001") + "\n\nC8001 here", start_line=12)
    ]


def test_statement_sharing_its_line_keeps_the_finding_only(project):
    result = suggest.suggest_fixes([finding(MODELS, 16, "C2006")], str(PROJECT))
    assert result == [comment(MODELS, 16, "C2006 here")]


# ---------------------------------------------------------------------------------------
# Disable pragma


@pytest.mark.parametrize(
    "line, codes, range_, text",
    [
        (
            6,
            [SKIP, "C2006", "C2005"],
            (6, 6),
            "    title = models.CharField(max_length=1000)"
            "  # vettor: disable=missing-related-name, huge-max-length",
        ),
        # The last line of a statement: the block is that line only, so it collides with no
        # comment on the statement's other lines.
        (11, [SKIP, "C2006"], (11, 11), "        blank=True)  # vettor: disable=huge-max-length"),
        # A line that ends inside a string: the pragma goes where the string ends.
        (
            14,
            [SKIP, "C2006"],
            (14, 15),
            '    preface = models.CharField(max_length=900, help_text="""Written\n'
            'by the editor""")  # vettor: disable=huge-max-length',
        ),
    ],
)
def test_pragma_on_the_finding_line(project, line, codes, range_, text):
    records = [finding(MODELS, line, code, code) for code in codes]
    start, end = range_
    result = suggest.suggest_fixes(records, str(PROJECT))
    assert result == [
        comment(MODELS, end, "\n\n".join([block(text)] + codes), start if start != end else None)
    ]


def test_pragma_on_a_continuation_line_is_that_line(project):
    records = [finding(MODELS, 10, SKIP, "skip"), finding(MODELS, 10, "C2006", "huge")]
    result = suggest.suggest_fixes(records, str(PROJECT))
    assert result == [comment(MODELS, 10, block("        max_length=600,  # vettor: disable=huge-max-length") + "\n\nskip\n\nhuge")]


def test_pragmas_asked_for_every_finding_silence_them_all(tmp_path):
    # Fields inside a model that is itself too tall, a decorated method, a decorated class
    # whose header spans lines and the module under its docstring: each pragma block holds the
    # lines that take the pragma only, so no two comments overlap, and with all of them
    # applied nothing is reported.
    config = {"max-columns": 3, "max-models": 1}
    root = tmp_path / "project"
    shutil.copytree(PRAGMA_PROJECT, root)
    found = checker.get_messages(str(root), {"catalog/models.py": None}, config=config)
    assert {m["message-id"] for m in found} == {"C2000", "C2001", "C2003", "C2006", "C3000", "C3002"}
    records = [finding(m["path"], m["line"], m["message-id"]) for m in found]
    records += [finding(m["path"], m["line"], SKIP) for m in found]
    ranges = []
    lines = (root / "catalog" / "models.py").read_text().split("\n")
    # Bottom up, so that a block of more lines than it replaces moves nothing not yet applied.
    for record in sorted(suggest.suggest_fixes(records, str(root)), key=lambda r: -r["line"]):
        texts = re.findall(r"```suggestion\n(.*?)\n```", record["body"], re.S)
        if not texts:
            continue  # the module's finding, whose pragma has a comment of its own
        (text,) = texts
        first = record.get("start_line", record["line"])
        ranges.append((first, record["line"]))
        lines[first - 1 : record["line"]] = text.split("\n")
    assert len(ranges) == len({m["line"] for m in found})
    assert all(last < first for (first, _), (_, last) in zip(ranges, ranges[1:]))  # none overlap
    # The header lines only; the module's pragma above its first statement.
    assert (29, 29) in ranges and (9, 9) in ranges and (2, 2) in ranges
    (root / "catalog" / "models.py").write_text("\n".join(lines))
    assert checker.get_messages(str(root), {"catalog/models.py": None}, config=config) == []


def test_pragma_over_backslash_lines_silences_exactly_its_finding(tmp_path):
    # A sum over three lines joined by backslashes, a finding on each. pylint reads a pragma
    # after a line that continues another for the line before it, so the first line's goes on
    # a line of its own above it and the second line's after the third; the third line, which
    # no pragma can reach, gets none. Applied, they silence those two findings only.
    root = tmp_path / "project"
    shutil.copytree(PRAGMA_PROJECT, root)
    found = checker.get_messages(str(root), {"catalog/reports.py": None})
    assert sorted((m["line"], m["message-id"]) for m in found) == [(6, "C9000"), (7, "C9000"), (8, "C9000")]
    records = [finding(m["path"], m["line"], code) for m in found for code in (m["message-id"], SKIP)]
    result = suggest.suggest_fixes(records, str(root))
    blocks = [(r.get("start_line", r["line"]), r["line"], re.findall(r"```suggestion\n(.*?)\n```", r["body"], re.S))
              for r in result]
    assert blocks == [
        (6, 6, ["    # vettor: disable-next=queryset-length\n    total = len(Book.objects.filter(pages=1)) + \\"]),
        (7, 8, ["        len(Book.objects.filter(pages=2)) + \\\n"
                "        len(Book.objects.filter(pages=3))  # vettor: disable=queryset-length"]),
        (8, 8, []),
    ]
    lines = (root / "catalog" / "reports.py").read_text().split("\n")
    for first, last, texts in reversed(blocks):
        for text in texts:
            lines[first - 1 : last] = text.split("\n")
    (root / "catalog" / "reports.py").write_text("\n".join(lines))
    found = checker.get_messages(str(root), {"catalog/reports.py": None})
    assert [(m["line"], m["message-id"]) for m in found] == [(9, "C9000")]  # the third line, moved down


@pytest.mark.parametrize("path", [MODELS, PAGE], ids=["python", "template"])
def test_pragma_request_alone_suggests_no_empty_pragma(project, path):
    result = suggest.suggest_fixes([finding(path, 6, SKIP, "skip")], str(PROJECT))
    assert result == [comment(path, 6, "skip")]


def test_pragma_request_on_a_template_line(project):
    # The template checker reads {# vettor: disable=... #} on the finding's line; Django drops
    # the comment when it renders the page.
    records = [finding(PAGE, 7, "C7000", "link"), finding(PAGE, 7, SKIP, "skip"), finding(PAGE, 6, "C7001")]
    result = suggest.suggest_fixes(records, str(PROJECT))
    line = pathlib.Path(PAGE).read_text().split("\n")[6]
    assert result[0] == comment(
        PAGE, 7, block(line.rstrip() + " {# vettor: disable=hard-coded-url #}") + "\n\nlink\n\nskip"
    )


def test_pragma_request_silences_a_template_finding(tmp_path):
    root = tmp_path / "project"
    shutil.copytree(PROJECT, root)
    found = checker.get_messages(str(root), {"templates/page.html": None})
    assert {(m["line"], m["message-id"]) for m in found} >= {(3, "C7001"), (6, "C7001")}
    records = [finding("templates/page.html", m["line"], code) for m in found for code in (m["message-id"], SKIP)]
    page = root / "templates" / "page.html"
    lines = page.read_text().split("\n")
    for record in suggest.suggest_fixes(records, str(root)):
        for text in re.findall(r"```suggestion\n(.*?)\n```", record["body"], re.S):
            lines[record["line"] - 1] = text
    page.write_text("\n".join(lines))
    assert checker.get_messages(str(root), {"templates/page.html": None}) == []


# ---------------------------------------------------------------------------------------
# What an unsafe fix may change


def test_suggestion_of_an_unsafe_fix_says_what_it_may_change(project):
    result = suggest.suggest_fixes([finding(MODELS, 8, "C2000", "nullable")], str(PROJECT))
    [record] = result
    block_text, note, body = record["body"].split("\n\n")
    assert block_text.startswith("```suggestion\n") and body == "nullable"
    assert note.startswith("Unsafe fix: it may change the schema (a migration") and "\n" not in note


@pytest.mark.parametrize(
    "path, line, code",
    [(QUERIES, 8, "C9000"), (VIEWS, 5, "C6002")],
    ids=["queryset", "reverse-lazy"],
)
def test_suggestion_of_a_safe_fix_has_no_such_line(project, path, line, code):
    result = suggest.suggest_fixes([finding(path, line, code)], str(PROJECT))
    assert all("Unsafe fix" not in record["body"] for record in result)
    assert any(record["body"].startswith("```suggestion") for record in result)


def test_unsafe_line_follows_the_fixes_that_made_the_blocks(project):
    # One line with a safe code and an unsafe one whose fix does not apply there: the block is
    # the safe fix's alone.
    records = [finding(QUERIES, 8, "C9000"), finding(QUERIES, 8, "C2006")]
    [record] = suggest.suggest_fixes(records, str(PROJECT))
    assert record["body"] == block("size = qs.count()") + "\n\nC9000 here\n\nC2006 here"


def test_pragma_wins_over_a_fix_on_the_same_line(project):
    records = [finding(MODELS, 6, "C2006", "fix"), finding(MODELS, 6, SKIP, "skip")]
    # Both codes on one line: the pragma wins and nothing is fixed.
    result = suggest.suggest_fixes(records, str(PROJECT))
    assert result[0]["body"].startswith(
        block("    title = models.CharField(max_length=1000)  # vettor: disable=huge-max-length")
    )


# ---------------------------------------------------------------------------------------
# Settings modules


def test_debug_left_on_is_removed(project):
    result = suggest.suggest_fixes([finding(SETTINGS, 1, "C4005")], str(PROJECT))
    assert result == [comment(SETTINGS, 1, block("") + unsafe("C4005") + "\n\nC4005 here")]


def test_settings_fixes_change_a_statement_and_add_one(project):
    records = [finding(PRODUCTION, 2, "C4007"), finding(PRODUCTION, 3, "C4014")]
    middleware = (
        "MIDDLEWARE = [\n"
        '    "django.middleware.security.SecurityMiddleware",\n'
        '    "django.contrib.sessions.middleware.SessionMiddleware",\n'
        "]"
    )
    assert suggest.suggest_fixes(records, str(PROJECT)) == [
        comment(PRODUCTION, 2, block(middleware) + unsafe("C4007") + "\n\nC4007 here"),
        comment(
            PRODUCTION,
            3,
            block("SECURE_HSTS_SECONDS = 3600\n\nSESSION_COOKIE_SECURE = True") + unsafe("C4014") + "\n\nC4014 here",
        ),
    ]


def test_a_settings_suggestion_goes_to_the_module_of_its_finding(tmp_path):
    # manage.py names development's module; production.py and staging.py are both judged (the
    # first of them is the project's settings_modpath): each finding's fix is suggested in its
    # own module, and none in a module the settings rules do not judge.
    root = tmp_path / "site"
    settings = 'MIDDLEWARE = ["django.middleware.security.SecurityMiddleware"]\nSECURE_SSL_REDIRECT = False\n'
    files = {
        "manage.py": 'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "proj.settings.dev")\nimport django\n',
        "proj/__init__.py": "", "proj/settings/__init__.py": "",
        **{f"proj/settings/{name}.py": settings for name in ["production", "staging", "dev"]},
    }
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    assert meta.get_settings_files(root) == ["proj.settings.production", "proj.settings.staging"]
    records = [finding(f"proj/settings/{name}.py", 2, "C4013") for name in ["dev", "staging", "production"]]
    assert suggest.suggest_fixes(records, str(root)) == [
        comment("proj/settings/dev.py", 2, "C4013 here"),
        comment("proj/settings/staging.py", 2, block("SECURE_SSL_REDIRECT = True") + unsafe("C4013") + "\n\nC4013 here"),
        comment("proj/settings/production.py", 2, block("SECURE_SSL_REDIRECT = True") + unsafe("C4013") + "\n\nC4013 here"),
    ]


# ---------------------------------------------------------------------------------------
# Templates


def test_static_path_fix_and_the_load_tag(project):
    records = [
        finding(PAGE, 3, "C7001"),
        finding(PAGE, 6, "C7001"),
        finding(PAGE, 7, "C7000", "a link"),
    ]
    result = suggest.suggest_fixes(records, str(PROJECT))
    # The load tag and the fixed lines near it are one suggestion, posted once: each block a
    # reviewer applies alone leaves a template that compiles.
    assert result == [
        comment(
            PAGE,
            6,
            block(
                "{% load static %}\n<html>\n<head>\n"
                "  <link rel=\"stylesheet\" href='{% static \"css/site.css\" %}'>\n</head>\n<body>\n"
                "    <img src='{% static \"img/logo.png\" %}' alt=\"logo\">"
            )
            + unsafe("C7001"),
            start_line=1,
        ),
        comment(PAGE, 3, "C7001 here"),
        comment(PAGE, 6, "C7001 here"),
        comment(PAGE, 7, "a link"),
    ]


def test_load_tag_goes_after_the_extends_tag(project):
    result = suggest.suggest_fixes([finding(CHILD, 4, "C7001")], str(PROJECT))
    assert result == [
        comment(
            CHILD,
            4,
            block("{% load static %}\n{% block content %}\n<img src='{% static \"img/cover.png\" %}'>")
            + unsafe("C7001")
            + "\n\nC7001 here",
            start_line=3,
        ),
    ]


def test_a_pragma_request_on_a_template_line_silences_its_findings(project):
    # The line gets the pragma, not the fix, and nothing is asked of the lines above it.
    records = [finding(PAGE, 7, SKIP, "skip"), finding(PAGE, 7, "C7000", "a link"), finding(PAGE, 7, "C7001")]
    assert suggest.suggest_fixes(records, str(PROJECT)) == [
        comment(
            PAGE,
            7,
            block('    <a href="/static/docs/guide.pdf">Guide</a> '
                  "{# vettor: disable=hard-coded-url, hard-coded-static-url #}")
            + "\n\nskip\n\na link\n\nC7001 here",
        )
    ]


def test_fix_on_the_load_tag_line_is_one_change(project):
    result = suggest.suggest_fixes([finding(FIRST_LINE, 1, "C7001")], str(PROJECT))
    assert result == [
        comment(
            FIRST_LINE,
            1,
            block("{% load static %}\n<img src='{% static \"img/first.png\" %}'>") + unsafe("C7001") + "\n\nC7001 here",
        )
    ]


ROUTED = pathlib.Path(__file__).parent / "fixtures" / "routed_project"
BASE = str(ROUTED / "templates" / "base.html")


def test_a_link_a_named_route_serves_is_suggested_as_the_url_tag():
    # The project's own routes decide, as the lint's do: a named route gives the tag, an
    # unnamed one and a link with a variable keep the finding's text alone.
    records = [
        finding(BASE, 2, "C7000", "a named route"),
        finding(BASE, 3, "C7000", "an unnamed route"),
        finding(BASE, 4, "C7000", "a variable"),
    ]
    line = pathlib.Path(BASE).read_text().splitlines()[1]
    fixed = line.replace('href="/shop/"', "href=\"{% url 'store:index' %}\"").rstrip()
    assert fixed != line.rstrip()
    assert suggest.suggest_fixes(records, str(ROUTED)) == [
        comment(BASE, 2, block(fixed) + unsafe("C7000") + "\n\na named route"),
        comment(BASE, 3, "an unnamed route"),
        comment(BASE, 4, "a variable"),
    ]


def test_no_static_url_no_template_fix(project, monkeypatch):
    monkeypatch.setattr(meta, "get_static_url_setting", lambda root: None)
    result = suggest.suggest_fixes([finding(PAGE, 3, "C7001")], str(PROJECT))
    assert result == [comment(PAGE, 3, "C7001 here")]


# ---------------------------------------------------------------------------------------
# Failures stay with their finding


def test_unparsable_file_keeps_its_findings_and_the_others(project, tmp_path, monkeypatch):
    reads = []
    read = helpers.read_code_from_file
    monkeypatch.setattr(helpers, "read_code_from_file", lambda path: reads.append(path) or read(path))
    root = tmp_path / "project"
    shutil.copytree(PROJECT, root)
    broken = root / "broken.py"
    broken.write_text("def broken(:\n    pass\n")
    records = [
        finding(str(broken), 1, "C2006", "broken one"),
        finding(str(broken), 2, "C2006", "broken two"),
        finding("library/models.py", 6, "C2006"),
        finding(str(root / "missing.html"), 1, "C7001", "missing"),
    ]
    result = suggest.suggest_fixes(records, str(root))
    assert result == [
        comment(str(broken), 1, "broken one"),
        comment(str(broken), 2, "broken two"),
        comment("library/models.py", 6, block("    title = models.TextField()") + unsafe("C2006") + "\n\nC2006 here"),
        comment(str(root / "missing.html"), 1, "missing"),
    ]
    assert reads.count(str(broken)) == 1  # not tried again for its second line


def test_file_off_the_import_path_is_named_under_the_project_root(project, tmp_path, monkeypatch):
    (tmp_path / "library").mkdir()
    (tmp_path / "library" / "models.py").write_text(pathlib.Path(MODELS).read_text())
    names = []
    build = helpers.build_atok
    monkeypatch.setattr(helpers, "build_atok", lambda **kw: names.append(kw["modname"]) or build(**kw))
    path = str(tmp_path / "library" / "models.py")
    result = suggest.suggest_fixes([finding(path, 6, "C2006")], str(tmp_path))
    assert names == ["library.models"]
    assert result == [comment(path, 6, block("    title = models.TextField()") + unsafe("C2006") + "\n\nC2006 here")]


GOOD = [finding(MODELS, 6, "C2006"), finding(PAGE, 7, "C7000", "a link")]
ANSWERED = [
    comment(MODELS, 6, block("    title = models.TextField()") + unsafe("C2006") + "\n\nC2006 here"),
    comment(PAGE, 7, "a link"),
]


def without(key):
    record = finding(MODELS, 6, "C2006")
    del record[key]
    return record


@pytest.mark.parametrize(
    "bad, why",
    [
        (["library/models.py", 6, "C2006", "x"], "it is not a mapping"),
        (None, "it is not a mapping"),
        (without("path"), 'its "path" is missing or not a text'),
        (finding(None, 6, "C2006"), 'its "path" is missing or not a text'),
        (finding(6, 6, "C2006"), 'its "path" is missing or not a text'),
        (finding("", 6, "C2006"), 'its "path" is missing or not a text'),
        (without("line"), 'it has no "line"'),
        (finding(MODELS, None, "C2006"), "its \"line\" None is not a line number"),
        (finding(MODELS, "six", "C2006"), "its \"line\" 'six' is not a line number"),
        (finding(MODELS, 6.0, "C2006"), 'its "line" 6.0 is not a line number'),
        (finding(MODELS, True, "C2006"), 'its "line" True is not a line number'),
        (finding(MODELS, "6.5", "C2006"), "its \"line\" '6.5' is not a line number"),
        (finding(MODELS, [6], "C2006"), 'its "line" [6] is not a line number'),
        (without("message-id"), 'its "message-id" is missing or not a text'),
        (finding(MODELS, 6, 2006), 'its "message-id" is missing or not a text'),
        (without("body"), 'its "body" is missing or not a text'),
        (dict(finding(MODELS, 6, "C2006"), body=None), 'its "body" is missing or not a text'),
        (dict(finding(MODELS, 6, "C2006"), body=b"bytes"), 'its "body" is missing or not a text'),
    ],
)
def test_bad_record_costs_only_itself(project, caplog, bad, why):
    with caplog.at_level(logging.WARNING, logger="vettor.staticanalysis.suggest"):
        result = suggest.suggest_fixes([GOOD[0], bad, GOOD[1]], str(PROJECT))
    assert result == ANSWERED
    assert [r.getMessage() for r in caplog.records] == [f"Skipped review comment 1: {why}"]


@pytest.mark.parametrize("line", [2**63, 10**30, "99999999999999999999"])
def test_line_past_the_file_is_answered_with_its_text(project, caplog, line):
    records = [finding(MODELS, line, "C2006"), finding(MODELS, line, "C2005", "plain"), *GOOD]
    with caplog.at_level(logging.WARNING, logger="vettor.staticanalysis.suggest"):
        result = suggest.suggest_fixes(records, str(PROJECT))
    assert result == [comment(MODELS, int(line), "C2006 here\n\nplain"), *ANSWERED]
    assert len(caplog.records) == 1 and "the file has lines 1 to" in caplog.records[0].getMessage()


def test_unknown_code_is_answered_with_its_text_and_left_out_of_a_pragma(project):
    records = [finding(MODELS, 6, "C9999", "unknown"), *GOOD]
    assert suggest.suggest_fixes(records, str(PROJECT)) == [
        comment(MODELS, 6, block("    title = models.TextField()") + unsafe("C2006") + "\n\nunknown\n\nC2006 here"),
        comment(PAGE, 7, "a link"),
    ]
    records = [finding(MODELS, 6, SKIP, "skip"), finding(MODELS, 6, "C9999", "unknown"), finding(MODELS, 6, "C2006")]
    assert suggest.suggest_fixes(records, str(PROJECT)) == [
        comment(
            MODELS,
            6,
            block("    title = models.CharField(max_length=1000)  # vettor: disable=huge-max-length")
            + "\n\nskip\n\nunknown\n\nC2006 here",
        )
    ]


# ---------------------------------------------------------------------------------------
# Comment records


@pytest.mark.parametrize(
    "start, end, keys",
    [(4, 4, ["body", "path", "side", "line"]), (4, 6, ["body", "path", "side", "start_line", "line"])],
)
def test_build_comment_keys(start, end, keys):
    record = suggest.build_comment(path="a.py", start_line=start, end_line=end, body="b")
    assert list(record) == keys
    assert record["line"] == end and record["side"] == "RIGHT"


def test_markup_of_an_empty_suggestion_holds_one_empty_line():
    assert suggest.markup_suggestion("") == "```suggestion\n\n```"


def test_grouping_keeps_first_appearance_order_and_copies():
    records = [finding("b.py", 2, "C1"), finding("a.py", "2", "C2"), finding("b.py", "2", "C3")]
    grouped = suggest.group_comments_by_line(records)
    assert list(grouped) == [("b.py", 2), ("a.py", 2)]
    assert [r["message-id"] for r in grouped[("b.py", 2)]] == ["C1", "C3"]
    assert grouped[("b.py", 2)][0] == records[0] and grouped[("b.py", 2)][0] is not records[0]
    assert grouped[("c.py", 1)] == []


# ---------------------------------------------------------------------------------------
# Walking the suggestions of a line


@pytest.mark.parametrize(
    "line, found, expected",
    [
        # Both touch the finding line with the same range: the later block comes first.
        (12, [[12, 12, "a"], [12, 12, "b"]], [comment(MODELS, 12, block("b") + "\n\n" + block("a") + "\n\nx")]),
        # A second block over another range would sit in a comment that does not span it.
        (
            12,
            [[10, 12, "a"], [10, 10, "b"]],
            [comment(MODELS, 10, block("b")), comment(MODELS, 12, block("a") + "\n\nx", start_line=10)],
        ),
        # Same first line and text, other last line: two different changes.
        (
            13,
            [[3, 4, "c"], [3, 5, "c"], [3, 4, "c"]],
            [comment(MODELS, 4, block("c"), start_line=3), comment(MODELS, 5, block("c"), start_line=3),
             comment(MODELS, 13, "x")],
        ),
    ],
)
def test_suggestions_of_a_line(project, monkeypatch, line, found, expected):
    monkeypatch.setattr(suggest, "get_suggestions_for_python", lambda **kw: found)
    assert suggest.suggest_fixes([finding(MODELS, line, "C2006", "x")], str(PROJECT)) == expected


# ---------------------------------------------------------------------------------------
# A block that changes only the layout is no suggestion


@pytest.mark.parametrize(
    "found, kept",
    [
        # Other line breaks, brackets or quotes for the same code.
        ([[6, 6, "    title = models.CharField(\n        max_length=1000,\n    )"]], False),
        ([[6, 6, "    title = (models.CharField(max_length=(1000)))"]], False),
        ([[8, 8, "    isbn = models.CharField(max_length=13, null=True)"]], False),
        ([[9, 11, "    blurb = models.CharField(max_length=600, blank=True)"]], False),
        ([[14, 15, "    preface = models.CharField(max_length=900, help_text='Written\\nby the editor')"]], False),
        # Any change of the code, or a comment added (a pragma), is a suggestion.
        ([[6, 6, "    title = models.CharField(max_length=1001)"]], True),
        ([[6, 6, "    title = models.CharField(max_length=1000)  # vettor: disable="]], True),
        ([[9, 11, "    blurb = models.CharField(max_length=600)"]], True),
        # A block that does not leave code that parses is not judged here.
        ([[6, 6, "    title = models.CharField(max_length=1000"]], True),
    ],
)
def test_block_that_only_relays_the_lines_is_left_out(project, monkeypatch, found, kept):
    monkeypatch.setattr(suggest, "get_suggestions_for_python", lambda **kw: found)
    (line, _, text), = found
    result = suggest.suggest_fixes([finding(MODELS, line, "C2006", "x")], str(PROJECT))
    if kept:
        assert result[-1]["body"] == block(text) + "\n\nx"
    else:
        assert result == [comment(MODELS, line, "x")]
