"""Suggestions for one line of a Python file: the fixed statement, the other statements a fix
changed, the statements a fix created placed at the top or the bottom of the module, and the
formatting failures that leave a suggestion out."""
import ast
import logging
import textwrap

import astroid
import pytest

from vettor.staticanalysis import constants, helpers, suggest
from vettor.staticanalysis.checkers import columns, settings

MODEL = textwrap.dedent(
    """\
    from django.db import models


    class Book(models.Model):
        title = models.CharField(max_length=1000)
    """
)


def suggestions(source, line, message_ids, indent=True):
    atok = helpers.build_atok(source=source, modname="library.models")
    result = suggest.get_suggestions_for_python(
        atok=atok, line=line, message_ids=set(message_ids), code_style={},
        settings_modpath="library.settings", indent=indent,
    )
    return atok, result


def creating(monkeypatch, *statements, change=None):
    """Make the settings rules' visit hand over new statements (and optionally change one)."""

    class Visitor:
        def visit(self, module):
            for source in statements:
                module.new_nodes.append(astroid.extract_node(source))
            if change:
                change(module)
            return module

    monkeypatch.setattr(settings, "build_transformer_visitor", lambda **kw: Visitor())


def check_parses(text):
    ast.parse(textwrap.dedent(text))


def test_fixed_statement_with_its_indentation():
    _, result = suggestions(MODEL, 5, {"C2006"})
    assert result == [[5, 5, "    title = models.TextField()"]]


@pytest.mark.parametrize("indent, expected", [(0, "    "), (None, "    "), (False, "")])
def test_only_false_turns_indentation_off(indent, expected):
    _, result = suggestions(MODEL, 5, {"C2006"}, indent=indent)
    assert result[0][2] == expected + "title = models.TextField()"


def test_line_without_statement_resets_the_lists():
    atok, result = suggestions(MODEL, 3, {"C2006"})
    assert result == []
    assert atok.tree.new_nodes == [] and atok.tree.replace_other_nodes == []


def test_no_family_no_visitor(monkeypatch):
    monkeypatch.setattr(columns, "build_transformer_visitor", None)
    atok = helpers.build_atok(source=MODEL)
    node = helpers.find_node_by_position(atok.tree, line=5)
    assert suggest.get_suggestion_for_python(
        atok=atok, node=node, message_ids={"C2005"}, settings_modpath=""
    ) == (None, None, None)


def test_statement_sharing_its_line_is_not_suggested():
    source = MODEL.replace("max_length=1000)", "max_length=1000); pages = 1")
    _, result = suggestions(source, 5, {"C2006"})
    assert result == []


def test_new_statement_goes_after_the_last_line(monkeypatch):
    creating(monkeypatch, "SECURE_SSL_REDIRECT = True", "SESSION_COOKIE_SECURE = True")
    source = "DEBUG = False\nALLOWED_HOSTS = []\nX = 1\n"
    _, result = suggestions(source, 2, {"C4013"})
    assert result == [[3, 3, "X = 1\n\nSECURE_SSL_REDIRECT = True\n\nSESSION_COOKIE_SECURE = True"]]
    check_parses(result[0][2])


def applied(source, result):
    """The source with every suggestion put in place of its lines."""
    lines = source.splitlines()
    for first, last, text in sorted(result, reverse=True):
        lines[first - 1 : last] = text.split("\n")
    return "\n".join(lines) + "\n"


@pytest.mark.parametrize(
    "source, created, expected",
    [
        ("import os\nX = 1\n", "from django.conf import settings",
         [1, 1, "from django.conf import settings\n\nimport os"]),
        # A comment above the first statement (a coding cookie, say) stays first.
        ("# header\nimport os\nX = 1\n", "from django.conf import settings",
         [1, 1, "# header\n\nfrom django.conf import settings"]),
        # The docstring stays the module's docstring, and `from __future__` imports stay first.
        ('"""Doc\nstring"""\nX = 1\n', "from django.conf import settings",
         [2, 2, 'string"""\n\nfrom django.conf import settings']),
        ('"""Doc."""\nfrom __future__ import annotations\nX = 1\n', "from django.conf import settings",
         [2, 2, "from __future__ import annotations\n\nfrom django.conf import settings"]),
        ("from __future__ import annotations\nX = 1\n", "import os",
         [1, 1, "from __future__ import annotations\n\nimport os"]),
        # What the developer's local settings say keeps the last word.
        ("X = 1\nfrom .local_settings import *\n", "SECURE_SSL_REDIRECT = True",
         [1, 1, "X = 1\n\nSECURE_SSL_REDIRECT = True"]),
    ],
    ids=["first", "after-comment", "after-docstring", "after-future", "future-only", "before-local"],
)
def test_new_statement_goes_where_the_fix_road_puts_it(monkeypatch, source, created, expected):
    creating(monkeypatch, created)
    _, result = suggestions(source, source.splitlines().index("X = 1") + 1, {"C4013"})
    assert result == [expected]
    compile(applied(source, result), "settings.py", "exec")  # a __future__ import out of place fails here


def test_new_statement_joins_the_fixed_last_statement(monkeypatch):
    creating(monkeypatch, "SECURE_SSL_REDIRECT = True")
    source = MODEL
    _, result = suggestions(source, 5, {"C2006", "C4013"})
    assert result == [[5, 5, "    title = models.TextField()\n\nSECURE_SSL_REDIRECT = True"]]


def test_new_statement_joins_a_fixed_statement_ending_on_the_last_line(monkeypatch):
    # One suggestion for the statement and one for its last line would overlap.
    creating(monkeypatch, "SECURE_SSL_REDIRECT = True")
    source = MODEL.replace("max_length=1000)", "\n        max_length=1000,\n    )")
    _, result = suggestions(source, 5, {"C2006", "C4013"})
    assert result == [[5, 7, "    title = models.TextField()\n\nSECURE_SSL_REDIRECT = True"]]


def test_new_statements_of_both_kinds_around_a_fix_on_line_one(monkeypatch):
    def turn_debug_off(module):
        module.body[0].value.value = False

    creating(
        monkeypatch, "from django.conf import settings", "SECURE_SSL_REDIRECT = True",
        change=turn_debug_off,
    )
    _, result = suggestions("DEBUG = True\nX = 1\n", 1, {"C4013"})
    # The import joins the fix on line 1; the other new statement still gets its place
    # after the last line.
    assert result == [
        [1, 1, "from django.conf import settings\n\nDEBUG = False"],
        [2, 2, "X = 1\n\nSECURE_SSL_REDIRECT = True"],
    ]


def test_other_changed_statement_follows_the_fixed_one():
    source = textwrap.dedent(
        """\
        from django.db import models
        from django.db.models import CharField


        class Book(models.Model):
            title = CharField(max_length=1000)
        """
    )
    _, result = suggestions(source, 6, {"C2006"})
    assert result == [
        [6, 6, "    title = TextField()"],
        [2, 2, "from django.db.models import CharField, TextField"],
    ]


def test_other_changed_statement_keeps_its_trailing_comment():
    source = textwrap.dedent(
        """\
        from django.db import models
        from django.db.models import CharField  # fields


        class Book(models.Model):
            title = CharField(max_length=1000)
        """
    )
    _, result = suggestions(source, 6, {"C2006"})
    assert result[1] == [2, 2, "from django.db.models import CharField, TextField  # fields"]


def test_black_failure_on_a_new_statement_leaves_only_it_out(monkeypatch, caplog):
    creating(monkeypatch, "A = 1", "B = 2")
    real = suggest.format_code

    def fussy(code, **kwargs):
        if code.startswith("A"):
            raise ValueError("cannot format")
        return real(code=code, **kwargs)

    monkeypatch.setattr(suggest, "format_code", fussy, raising=False)
    with caplog.at_level(logging.ERROR, logger="vettor.staticanalysis.suggest"):
        _, result = suggestions("X = 1\nY = 2\n", 1, {"C4013"})
    assert result == [[2, 2, "Y = 2\n\nB = 2"]]
    assert caplog.records[0].getMessage() == "Failed to apply Black format to generated code."
    assert isinstance(caplog.records[0].exc_info[1], ValueError)


def test_black_failure_on_the_fixed_statement_drops_everything(monkeypatch, caplog):
    creating(monkeypatch, "A = 1")

    def failing(**kwargs):
        raise ValueError("cannot format")

    monkeypatch.setattr(suggest, "format_code", failing, raising=False)
    # The fixed line no longer fits the line length: Black has to lay it out.
    source = MODEL.replace("max_length=1000)", "max_length=1000, help_text='" + "x" * 70 + "')")
    with caplog.at_level(logging.ERROR, logger="vettor.staticanalysis.suggest"):
        _, result = suggestions(source, 5, {"C2006", "C4013"})
    assert result == []
    assert [r.getMessage() for r in caplog.records] == ["cannot format"]


@pytest.mark.parametrize(
    "statement, expected",
    [
        # The author's own layout, quotes and comments stay; only the fix is written anew (new
        # literals in the quote the file uses).
        ("    title = models.CharField(\n        max_length=1000,\n        help_text='t')  # long",
         "    title = models.TextField(help_text='t')  # long"),
        ('    isbn = models.CharField(null=True, verbose_name="I", help_text=\'a\')',
         '    isbn = models.CharField(default="", verbose_name="I", help_text=\'a\', blank=True)'),
        # A changed line that no longer fits: Black lays the statement out.
        ("    isbn = models.CharField(max_length=13, null=True, verbose_name='" + "I" * 40 + "')",
         "    isbn = models.CharField(\n        max_length=13,\n        default='',\n        verbose_name='" + "I" * 40
         + "',\n        blank=True,\n    )"),
    ],
)
def test_a_fixed_statement_keeps_the_authors_lines(statement, expected):
    source = MODEL.replace("    title = models.CharField(max_length=1000)", statement)
    _, result = suggestions(source, 5, {"C2006", "C2000"})
    assert [text for _, _, text in result] == [expected]


def test_trailing_comment_after_a_closing_bracket_is_kept():
    source = MODEL.replace("max_length=1000)", "\n        max_length=1000,\n    )  # keep me")
    _, result = suggestions(source, 5, {"C2006"})
    assert result == [[5, 7, "    title = models.TextField()  # keep me"]]


@pytest.mark.parametrize(
    "source, line, expected",
    [
        # The finding is on the def line, not on the decorator where the statement starts; a
        # class or a function is silenced from its header line, which is all the block holds.
        (
            "import functools\n\n\n@functools.lru_cache()\ndef f():\n    return 1\n",
            5,
            [5, 5, "def f():  # vettor: disable=huge-max-length"],
        ),
        pytest.param("class A:\n    x = 1\n\n    def f(self):\n        pass\n", 1,
                     [1, 1, "class A:  # vettor: disable=huge-max-length"], id="class"),
        pytest.param("def f(\n    a,\n    b,\n):\n    return a\n", 1,
                     [1, 1, "def f(  # vettor: disable=huge-max-length"], id="header-over-lines"),
        pytest.param("if x:  # why\n    y = 1\nelse:\n    y = 2\n", 1,
                     [1, 1, "if x:  # why  # vettor: disable=huge-max-length"], id="if-statement"),
        pytest.param('class B(\n    A, metaclass=M):\n    """doc"""\n', 2,
                     [2, 2, "    A, metaclass=M):  # vettor: disable=huge-max-length"], id="header-continuation-line"),
        # A comment cannot follow a backslash: the pragma ends the continued line, where pylint
        # reads it for the line before. Not so on the module's first line, where pylint reads
        # it for its own line: a line of its own above goes there.
        ("import os\nx = 1 + \\\n    2\n", 2, [2, 3, "x = 1 + \\\n    2  # vettor: disable=huge-max-length"]),
        pytest.param("x = 1 + \\\n    2\n", 1, [1, 1, "# vettor: disable-next=huge-max-length\nx = 1 + \\"],
                     id="backslash-on-the-first-line"),
        # The pragma repeats the statement's whole lines: nothing that shares them is lost.
        pytest.param("x = 1  # keep this note\n", 1,
                     [1, 1, "x = 1  # keep this note  # vettor: disable=huge-max-length"], id="trailing-comment"),
        pytest.param("y = 1; z = 2\n", 1, [1, 1, "y = 1; z = 2  # vettor: disable=huge-max-length"],
                     id="statement-after-semicolon"),
        pytest.param("w = [\n    1,\n]  # after the bracket\n", 2,
                     [2, 2, "    1,  # vettor: disable=huge-max-length"], id="continuation-line"),
        pytest.param("w = [  # the list\n    1,\n]\n", 1,
                     [1, 1, "w = [  # the list  # vettor: disable=huge-max-length"], id="comment-after-bracket"),
        # A statement after the ";" that goes on over further lines: the range takes them in,
        # and the pragma does not go into its string.
        pytest.param('import os\na = 1; b = """one\ntwo"""\n', 2,
                     [2, 3, 'a = 1; b = """one\ntwo"""  # vettor: disable=huge-max-length'],
                     id="continued-after-semicolon"),
        pytest.param("x = 1   \n", 1, [1, 1, "x = 1  # vettor: disable=huge-max-length"], id="trailing-spaces"),
        # pylint reads a pragma after a line that continues another (a backslash, a string
        # running on) for the line before it: a first line that ends in a backslash the next
        # line does not end gets its pragma on a line of its own above it (disable-next), a
        # line after a backslash the pragma of the line that ends it, when that is the next.
        pytest.param("x = 1 + \\\n    2 + \\\n    3\n", 1,
                     [1, 1, "# vettor: disable-next=huge-max-length\nx = 1 + \\"], id="backslash-first-line"),
        pytest.param("def f():\n    x = 1 + \\\n        2 + \\\n        3\n", 2,
                     [2, 2, "    # vettor: disable-next=huge-max-length\n    x = 1 + \\"],
                     id="backslash-first-line-indented"),
        pytest.param("x = 1 + \\\n    2 + \\\n    3\n", 2,
                     [2, 3, "    2 + \\\n    3  # vettor: disable=huge-max-length"], id="backslash-middle-line"),
        pytest.param('x = f("""one\ntwo\nthree""")\n', 1,
                     [1, 1, '# vettor: disable-next=huge-max-length\nx = f("""one'], id="string-over-three-lines"),
    ],
)
def test_pragma_placement(source, line, expected):
    _, result = suggestions(source, line, {constants.SKIP_LINE_ID, "C2006"})
    assert result == [expected]
    check_parses(applied(source, result))


@pytest.mark.parametrize(
    "source, line",
    [
        # The last line after a backslash: a pragma there is read for the line before it, and
        # no comment line can stand above it.
        ("x = 1 + \\\n    2 + \\\n    3\n", 3),
        ("x = 1\n", 1),
    ],
    ids=["backslash-last-line", "request-alone"],
)
def test_no_pragma_that_would_not_silence_the_line(source, line):
    # A request with no finding beside it names nothing to silence: no empty pragma either.
    codes = {constants.SKIP_LINE_ID} | ({"C2006"} if "+" in source else set())
    _, result = suggestions(source, line, codes)
    assert result == []


@pytest.mark.parametrize(
    "first_line, expected",
    [
        # A finding on the module: pylint reads its pragma only from a comment line of its own
        # above the module's first statement, after what the file starts with.
        ('"""Doc."""', [2, 2, "# vettor: disable=tall-models\nfrom django.db import models"]),
        ("# -*- coding: utf-8 -*-", [2, 2, "# vettor: disable=tall-models\nfrom django.db import models"]),
        ("#!/usr/bin/env python", [2, 2, "# vettor: disable=tall-models\nfrom django.db import models"]),
        ("", [2, 2, "# vettor: disable=tall-models\nfrom django.db import models"]),
        ("import os", [1, 1, "# vettor: disable=tall-models\nimport os"]),
        ("# vettor: disable=model-common-prefix", [1, 1, "# vettor: disable=model-common-prefix, tall-models"]),
    ],
)
def test_pragma_for_the_module(first_line, expected):
    source = first_line + "\nfrom django.db import models\n"
    _, result = suggestions(source, 1, {constants.SKIP_LINE_ID, "C3000"})
    assert result == [expected]
    check_parses(applied(source, result))


# pylint reads the last pragma of a comment only: a second one would switch the first off.
@pytest.mark.parametrize(
    "comment, expected",
    [
        ("# vettor: disable=missing-related-name",
         "# vettor: disable=missing-related-name, huge-max-length"),
        ("# vettor: disable=huge-max-length  # why", "# vettor: disable=huge-max-length  # why"),
        ("# note  # pylint:disable=missing-related-name,",
         "# note  # pylint:disable=missing-related-name, huge-max-length"),
    ],
)
def test_pragma_joins_the_one_the_line_has(comment, expected):
    source = MODEL.replace("max_length=1000)", "max_length=1000)  " + comment)
    _, result = suggestions(source, 5, {constants.SKIP_LINE_ID, "C2006"})
    assert result == [[5, 5, "    title = models.CharField(max_length=1000)  " + expected]]


ELIF = textwrap.dedent(
    """\
    from django.db.models.query import QuerySet

    qs = QuerySet()
    flag = 1
    if flag:
        print(1)
    # about qs
    elif qs.count() > 0:  # any
        print(2)
    else:
        print(3)
    """
)


def test_fix_on_an_elif_line_keeps_the_clause():
    # The statement at the line is the `elif` clause: its lines are replaced by a clause.
    _, result = suggestions(ELIF, 8, {"C9002"})
    assert result == [[8, 11, "elif qs.exists():  # any\n    print(2)\nelse:\n    print(3)"]]
    check_parses("if x:\n    pass\n" + result[0][2])


def test_fix_on_an_indented_elif_line_keeps_the_clause():
    source = "def f():\n" + textwrap.indent(ELIF, "    ")
    _, result = suggestions(source, 9, {"C9002"})
    assert result == [
        [9, 12, "    elif qs.exists():  # any\n        print(2)\n    else:\n        print(3)"]
    ]
    _, result = suggestions(source, 9, {"C9002"}, indent=False)
    assert result[0][2].startswith("elif qs.exists():")


def test_fix_of_an_if_with_an_elif_keeps_the_comment_above_the_elif():
    # The comment stays where the author put it, as the fix road leaves it.
    _, result = suggestions(ELIF.replace("if flag:", "if qs.count():"), 5, {"C9002"})
    assert result == [[5, 11, (
        "if qs.exists():\n    print(1)\n# about qs\nelif qs.exists():  # any\n"
        "    print(2)\nelse:\n    print(3)"
    )]]


QUERYSET_HEAD = "from django.db.models.query import QuerySet\n\nqs = QuerySet()\n"


@pytest.mark.parametrize(
    "statement, expected",
    [
        # Spellings of what the fix did not touch stay as written.
        ("if qs.count() > 0x0:\n    x = 0xFF\n", "if qs.exists():\n    x = 0xFF"),
        ("if qs.count() > 0:\n    n = 1_000 + 0o755\n", "if qs.exists():\n    n = 1_000 + 0o755"),
        ("if qs.count() > 0:\n    p = r'\\d'\n", "if qs.exists():\n    p = r'\\d'"),
        # Brackets around an assignment expression keep its meaning.
        ("if qs.count() > 0:\n    if (n := len(p)) > 10:\n        pass\n",
         "if qs.exists():\n    if (n := len(p)) > 10:\n        pass"),
        # An own-line comment inside brackets stays on its line.
        ("if qs.count() > 0:\n    call(\n        # first\n        1,\n    )\n",
         "if qs.exists():\n    call(\n        # first\n        1,\n    )"),
    ],
)
def test_a_suggestion_changes_only_what_its_fix_changes(statement, expected):
    _, result = suggestions(QUERYSET_HEAD + statement, 4, {"C9002"})
    assert result == [[4, 3 + statement.count("\n"), expected]]


@pytest.mark.parametrize("removal", ["C4005", "C4015"])
def test_a_removal_code_answers_with_remove_node(monkeypatch, removal):
    calls = []
    triple = (5, 5, None)

    def remove_node(**kwargs):
        calls.append(kwargs)
        return triple

    monkeypatch.setattr(settings, "remove_node", remove_node)
    atok = helpers.build_atok(source=MODEL)
    node = helpers.find_node_by_position(atok.tree, line=5)
    result = suggest.get_suggestion_for_python(
        atok=atok, node=node, message_ids={removal, "C2006"}, settings_modpath="library.settings"
    )
    assert result is triple
    assert calls == [{"atok": atok, "node": node, "start": 5, "end": 5}]
    # The field fix ran all the same; its change stays in the tree.
    assert node.as_string() == "title = models.TextField()"


def test_a_not_emptied_by_the_comparison_fix_is_suggested_away():
    # exists() of this queryset infers to a value; inferring the emptied `not` raised KeyError.
    source = textwrap.dedent(
        """\
        from django.db import models


        class Shelf(models.QuerySet):
            def exists(self):
                return True


        def has_books():
            qs = Shelf()
            if not qs.count() == 0:
                return 1
        """
    )
    _, result = suggestions(source, 11, {"C9002", "C9003"})
    assert result == [[11, 12, "    if qs.exists():\n        return 1"]]
