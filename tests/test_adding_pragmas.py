"""--add-pragmas: a codebase adopts vettor with the findings it has. Every finding gets the
disable pragma that silences it alone, placed where a code review's pragma request places it,
so that a second lint reports nothing; what cannot be silenced is named, and the exit status
says so."""
import ast
import shutil
from pathlib import Path

import pytest
from django.template import Engine

from test_command_line import command_main
from vettor.staticanalysis import checker, helpers, transformer

FIXTURE = Path(__file__).parent / "fixtures" / "adoption_project"
MODELS = "shop/models.py"
TEMPLATE = "shop/templates/shop/list.html"
FILES = {MODELS: None, TEMPLATE: None}


@pytest.fixture
def shop(tmp_path):
    return Path(shutil.copytree(FIXTURE, tmp_path / "shop_project"))


def lint(root, config=None):
    return checker.get_messages(str(root), dict(FILES), config=config or {}, jobs=1)


def add_pragmas(root, *args):
    return command_main(["--add-pragmas", "-j", "1", *args, str(root)])


EXPECTED_MODELS = '''\
from django.db import models


class Product(models.Model):
    name = models.CharField(max_length=1000, null=True)  # vettor: disable=nullable-string-field, huge-max-length
    sku = models.CharField(max_length=20, null=True)  # vettor: disable=huge-max-length, nullable-string-field
    code = models.CharField(max_length=30, \\
        null=True)  # vettor: disable=nullable-string-field
    notes = models.CharField(max_length=50, null=True, help_text="""Free text,
    kept as typed.""")  # vettor: disable=nullable-string-field
    price = models.IntegerField()  # the price in cents
'''

EXPECTED_TEMPLATE = """\
{% extends "shop/base.html" %}
{% block content %}
<link rel="stylesheet" href="/static/shop/a.css"><script src="/static/shop/a.js"></script> \
{# vettor: disable=hard-coded-static-url #}
<img src="/static/shop/logo.png" alt="logo"> {# vettor: disable=hard-coded-url, hard-coded-static-url #}
<img alt="badge" {# vettor: disable=hard-coded-static-url #}
     src="/static/shop/badge.png">
{% endblock %}
"""


def test_every_finding_gets_its_pragma_and_a_second_lint_reports_nothing(shop, capsys):
    before = lint(shop)
    assert {(f["path"], f["line"], f["message-id"]) for f in before} == {
        (MODELS, 5, "C2000"),
        (MODELS, 5, "C2006"),
        (MODELS, 6, "C2000"),
        (MODELS, 7, "C2000"),
        (MODELS, 9, "C2000"),
        (TEMPLATE, 3, "C7001"),
        (TEMPLATE, 3, "C7001"),
        (TEMPLATE, 4, "C7001"),
        (TEMPLATE, 5, "C7001"),
    }
    assert add_pragmas(shop) == 0
    out = capsys.readouterr()
    assert out.err == ""
    assert out.out.splitlines()[-1] == "9 findings silenced by 7 pragmas in 2 files"

    # Several findings on one line: one pragma naming each code. A line with a pragma: the
    # names added to it. A backslash continuation and a string over two lines: the pragma on
    # the line that ends them. Every other line is left as it was.
    assert (shop / MODELS).read_text() == EXPECTED_MODELS
    assert (shop / TEMPLATE).read_text() == EXPECTED_TEMPLATE
    assert lint(shop) == []
    ast.parse((shop / MODELS).read_text())
    Engine().from_string((shop / TEMPLATE).read_text())

    # A second run finds nothing to silence and changes nothing.
    assert add_pragmas(shop) == 0
    assert capsys.readouterr().out.splitlines()[-1] == "0 findings silenced by 0 pragmas in 0 files"
    assert (shop / MODELS).read_text() == EXPECTED_MODELS


def test_the_findings_of_the_command_lines_selection_only(shop):
    # A code --disable leaves out is not reported, so it gets no pragma either.
    assert add_pragmas(shop, "--disable", "huge-max-length,C7001") == 0
    models = (shop / MODELS).read_text().splitlines()
    assert models[4].endswith("  # vettor: disable=nullable-string-field")
    assert (shop / TEMPLATE).read_text() == (FIXTURE / TEMPLATE).read_text()
    assert lint(shop, {"disable": ["C2006", "C7001"]}) == []


def test_the_file_keeps_its_line_endings(shop):
    crlf = (FIXTURE / MODELS).read_bytes().replace(b"\n", b"\r\n")
    (shop / MODELS).write_bytes(crlf)
    assert add_pragmas(shop) == 0
    written = (shop / MODELS).read_bytes()
    assert written.count(b"\r\n") == crlf.count(b"\r\n") and b"\n" not in written.replace(b"\r\n", b"")
    assert written.decode().replace("\r\n", "\n") == EXPECTED_MODELS


def test_a_module_finding_gets_its_pragma_above_the_first_statement(shop):
    (shop / "pyproject.toml").write_text("[tool.vettor]\nmax-models = 0\n")
    assert add_pragmas(shop) == 0
    models = (shop / MODELS).read_text().splitlines()
    assert models[0].startswith("# vettor: disable=") and "from django.db import models" == models[1]
    assert lint(shop) == []


def test_what_cannot_be_silenced_is_listed_and_the_status_says_so(shop, capsys):
    (shop / "shop" / "broken.py").write_text("def f(:\n    pass\n")
    assert add_pragmas(shop) == 1
    out = capsys.readouterr()
    assert out.err.splitlines() == [
        "Not silenced: "
        + str(shop / "shop" / "broken.py")
        + ":1: E0001 syntax-error: the file could not be analysed"
    ]
    assert out.out.splitlines()[-1] == (
        "9 findings silenced by 7 pragmas in 2 files; 1 finding not silenced"
    )
    assert (shop / MODELS).read_text() == EXPECTED_MODELS


def test_a_file_that_cannot_be_written_keeps_its_findings_named(shop, monkeypatch, capsys):
    real = transformer.write_whole

    def refuse_models(full, data):
        if full.name == "models.py":
            raise PermissionError(13, "Permission denied")
        return real(full, data)

    monkeypatch.setattr(transformer, "write_whole", refuse_models)
    assert add_pragmas(shop) == 1
    err = capsys.readouterr().err.splitlines()
    assert len(err) == 5
    assert all(line.endswith("it cannot be written: Permission denied") for line in err)
    assert (shop / MODELS).read_text() == (FIXTURE / MODELS).read_text()
    assert (shop / TEMPLATE).read_text() == EXPECTED_TEMPLATE


def test_a_file_edited_while_its_pragmas_are_placed_keeps_the_edit(shop, monkeypatch, capsys):
    real = helpers.read_code_from_file

    def edited_after_reading(path):
        lines = real(path)
        if path.endswith("models.py"):
            Path(path).write_text(Path(path).read_text() + "# edited\n")
        return lines

    monkeypatch.setattr(helpers, "read_code_from_file", edited_after_reading)
    assert add_pragmas(shop) == 1
    assert (shop / MODELS).read_text() == (FIXTURE / MODELS).read_text() + "# edited\n"
    assert "it changed while its pragmas were placed; it was not written" in capsys.readouterr().err


@pytest.mark.parametrize(
    "args, line",
    [
        (["--add-pragmas", "--fix"], "not allowed with argument"),
        (["--add-pragmas", "--format", "json"], "--format applies to the lint"),
        (["--add-pragmas", "-"], "take files, not - (standard input)"),
    ],
)
def test_add_pragmas_is_a_road_of_its_own(shop, capsys, args, line):
    assert command_main([*args, str(shop)] if "-" not in args else args) == 2
    assert line in capsys.readouterr().err
    assert (shop / MODELS).read_text() == (FIXTURE / MODELS).read_text()


@pytest.mark.parametrize(
    "source, found, expected",
    [
        # Two findings on the lines of a string over two lines: the second line's pragma is
        # placed first; the first line's finding then gets its own line above the statement,
        # as the review road places it once the line after it carries a pragma.
        (
            'title = f("""a\nb""", g(1))\n',
            {1: {"C2000"}, 2: {"C2006"}},
            '# vettor: disable-next=nullable-string-field\n'
            'title = f("""a\nb""", g(1))  # vettor: disable=huge-max-length\n',
        ),
        # The module's pragma goes above the first statement, which keeps its own.
        (
            '"""Doc."""\nname = models.CharField(null=True)\n',
            {1: {"C3000"}, 2: {"C2000"}},
            '"""Doc."""\n# vettor: disable=tall-models\n'
            "name = models.CharField(null=True)  # vettor: disable=nullable-string-field\n",
        ),
        # The last line without its line break keeps none.
        ("a = 1\nname = g(null=True)", {2: {"C2000"}}, "a = 1\nname = g(null=True)  # vettor: disable=nullable-string-field"),
    ],
)
def test_pragmas_that_meet_on_one_line_are_one(tmp_path, source, found, expected):
    from vettor.staticanalysis.cli import pragmas

    path = tmp_path / "module.py"
    path.write_text(source)
    lines, missed, _ = pragmas.python_pragmas(str(path), "module", source.splitlines(keepends=True), found)
    assert "".join(lines) == expected and missed == []
