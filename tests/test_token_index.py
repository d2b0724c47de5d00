"""The token-indexed tree builder: blank lines and own-line comments become placeholder calls
in the right body, with a map from their line to the text they stand for; the statement and
scope look-ups by line; reading and naming source files."""
import ast
import operator
import os
import pathlib
import textwrap
import tokenize

import astroid
import pytest
from astroid import nodes

from vettor.staticanalysis import helpers


def build(source, parse_non_code=True, modname="placeholders_under_test"):
    return helpers.build_atok(textwrap.dedent(source), modname, None, parse_non_code)


def scope_name(scope):
    return "<module>" if isinstance(scope, nodes.Module) else scope.name


def placements(atok):
    """line -> (name of the scope whose body holds the placeholder, line of the statement just
    before it in that body, or None when it is first)."""
    found = {}
    for node in atok.tree.nodes_of_class(nodes.Call):
        if node.lineno not in atok.extra_line_map:
            continue
        body = node.parent.body
        index = body.index(node)
        before = body[index - 1].lineno if index else None
        found[node.lineno] = (scope_name(node.parent), before)
    return found


def placeholders(tree):
    return [n for n in tree.nodes_of_class(nodes.Call) if isinstance(n.func, nodes.Name) and n.func.name == "print"]


PLACEMENT_CASES = {
    "blank line between module statements": (
        """\
        a = 1

        b = 2
        """,
        {2: ("<module>", 1)},
    ),
    "comment on the first line goes first": (
        """\
        # header
        import os
        """,
        {1: ("<module>", None)},
    ),
    "comment on the first line of a function body": (
        """\
        def f():
            # first
            return 1
        """,
        {2: ("f", None)},
    ),
    "comment and blank line inside an if go after the whole if": (
        """\
        def f(x):
            if x:
                y = 1

                # inside
                y = 2
            return y
        """,
        {4: ("f", 2), 5: ("f", 4)},
    ),
    "comment inside brackets goes after the statement": (
        """\
        values = [
            1,
            # two
            2,
        ]
        after = 1
        """,
        {3: ("<module>", 1)},
    ),
    "comment after a nested function at the outer indentation": (
        """\
        def outer():
            def inner():
                return 1
            # after inner
            return inner
        """,
        {4: ("inner", 3)},
    ),
    "blank lines at the end of a file after a function": (
        "def f():\n    return 1\n\n\n",
        {3: ("f", 2), 4: ("f", 3)},
    ),
    "comment after the closing quotes of a multi-line string": (
        '''\
        text = """a
        b"""  # closing
        other = 1
        ''',
        {2: ("<module>", 1)},
    ),
    "comment in a class body between methods": (
        """\
        class A:
            def m(self):
                pass
            # between
            def n(self):
                pass
        """,
        {4: ("m", 3)},
    ),
    "run of comment and blank lines lands in one body, in order": (
        """\
        x = 1
        # one

        # two
        y = 2
        """,
        {2: ("<module>", 1), 3: ("<module>", 2), 4: ("<module>", 3)},
    ),
    "blank line after a function docstring": (
        '''\
        def f():
            """Doc.

            More.
            """

            return 1
        ''',
        {6: ("f", None)},
    ),
}


@pytest.mark.parametrize("source, expected", list(PLACEMENT_CASES.values()), ids=list(PLACEMENT_CASES))
def test_placeholders_land_in_the_body_that_holds_the_line(source, expected):
    atok = build(source)
    assert placements(atok) == expected
    assert set(atok.extra_line_map) == set(expected)


def test_bodies_stay_sorted_and_the_map_holds_the_source_text():
    atok = build(
        """\
        # top "quoted"
        import os

        def f():
            x = 1  # trailing
            # inside
            return x
        """
    )
    assert atok.extra_line_map == {1: '# top "quoted"', 3: "", 6: "# inside"}
    for scope in (atok.tree, atok.tree.body[-1]):
        lines = [statement.lineno for statement in scope.body]
        assert lines == sorted(lines)


def test_placeholder_is_a_print_call_of_the_text_with_single_quotes():
    atok = build('x = 1\n# say "hi"\n\n')
    comment, blank = sorted(placeholders(atok.tree), key=lambda n: n.lineno)
    assert (comment.lineno, comment.args[0].value) == (2, "# say 'hi'")
    assert (blank.lineno, blank.args[0].value) == (3, "")
    assert comment.parent is atok.tree and comment in atok.tree.body
    assert comment.as_string() == "print(\"# say 'hi'\")"
    # The positions below the call are those of the one-line source it stands for.
    assert (comment.func.lineno, comment.args[0].lineno, comment.args[0].col_offset) == (1, 1, 6)


@pytest.mark.parametrize(
    "comment",
    ["# ends in a backslash \\", "# bad hex \\x", "# bad \\u12", "# bad \\U0001", "# bad \\N{nothing}", "# ok \\n"],
)
def test_comments_a_string_literal_would_reject_still_get_their_placeholder(comment):
    atok = build(f"x = 1\n{comment}\ny = 2\n")
    assert atok.extra_line_map == {2: comment}
    assert placements(atok) == {2: ("<module>", 1)}


@pytest.mark.parametrize(
    "source",
    ["", "x = 1  # trailing\n", "x = 1\n    \ny = 2\n", "x = 1\r\n\r\ny = 2\r\n"],
    ids=["empty", "trailing comment", "spaces only", "carriage return"],
)
def test_lines_that_get_no_placeholder(source):
    atok = helpers.build_atok(source, parse_non_code=True)
    assert atok.extra_line_map == {}
    assert placeholders(atok.tree) == []


def test_without_parse_non_code_there_are_no_placeholders():
    atok = build("# c\n\nx = 1\n\n# d\n", parse_non_code=False)
    assert atok.extra_line_map == {}
    assert placeholders(atok.tree) == []
    assert atok.tree.body[0].first_token.string == "x"


def test_a_single_line_break_is_one_placeholder():
    atok = helpers.build_atok(source="\n", parse_non_code=True)
    assert atok.extra_line_map == {1: ""}
    assert [n.lineno for n in atok.tree.body] == [1]


def test_long_runs_are_placed():
    comments = "".join(f"# {i}\n" for i in range(1000))
    docstring = '"""' + "line\n" * 5000 + '"""\n\nx = 1\n'
    atok = helpers.build_atok(comments + docstring, parse_non_code=True)
    assert len(atok.extra_line_map) == 1001
    assert [n.lineno for n in atok.tree.body[:3]] == [1, 2, 3]
    assert atok.tree.body[-2].lineno == 1000 + 5002


def test_index_marks_tokens_and_keeps_the_text():
    source = "import os\n\n\ndef f(a, b):\n    return a + b\n"
    atok = helpers.build_atok(source, "marked", "/somewhere/marked.py", True)
    func = atok.tree.body[-1]
    assert atok.text == source
    assert atok.get_text(func.body[0]) == "return a + b"
    assert atok.tree.file == "/somewhere/marked.py"
    assert atok.next_token(func.first_token).string == "f"


def test_source_that_does_not_parse_raises():
    with pytest.raises(astroid.AstroidSyntaxError):
        helpers.build_atok("def (:\n")


# ---------------------------------------------------------------------------------------------
# Look-ups by line

LOOKUP_SOURCE = textwrap.dedent(
    """\
    import os

    @decorator
    def f(a,
          b):
        call(
            1,
            b=2,
        )
        return a
    """
)


@pytest.mark.parametrize(
    "line, expected",
    [(2, None), (4, "FunctionDef"), (7, "Expr"), (8, "Expr"), (10, "Return"), (1, "Import")],
)
def test_find_node_by_position(line, expected):
    tree = helpers.build_atok(LOOKUP_SOURCE).tree
    node = helpers.find_node_by_position(tree, line=line)
    assert (type(node).__name__ if node is not None else None) == expected


@pytest.mark.parametrize("line, expected", [(2, "<module>"), (4, "f"), (5, "f"), (11, "f"), (0, "<module>"), (-3, "<module>")])
def test_find_node_parent(line, expected):
    tree = helpers.build_atok(LOOKUP_SOURCE).tree
    assert scope_name(helpers.find_node_parent(tree, line=line)) == expected


def test_add_node_goes_after_a_statement_on_the_same_line():
    tree = helpers.build_atok("a = 1\nb = 2\n").tree
    node = astroid.extract_node("print('x')")
    helpers.add_node(tree=tree, node=node, line_number=1)
    assert tree.body == [tree.body[0], node, tree.body[2]]
    assert node.parent is tree and node.lineno == 1


# ---------------------------------------------------------------------------------------------
# Files


def test_read_code_from_file_keeps_line_breaks(tmp_path):
    path = tmp_path / "code.py"
    path.write_bytes(b"a = 1\r\nb = 2\n\nc = 3")
    assert helpers.read_code_from_file(str(path)) == ["a = 1\n", "b = 2\n", "\n", "c = 3"]
    with pytest.raises(FileNotFoundError):
        helpers.read_code_from_file(str(tmp_path / "missing.py"))


@pytest.mark.parametrize(
    "name, data, lines",
    [
        # A coding cookie or a byte-order mark names a Python file's encoding, as Python reads it.
        ("old.py", "# -*- coding: latin-1 -*-\nname = '\u00e9t\u00e9'\n".encode("latin-1"),
         ["# -*- coding: latin-1 -*-\n", "name = '\u00e9t\u00e9'\n"]),
        ("bom.py", b"\xef\xbb\xbfname = '\xc3\xa9'\r\n", ["name = '\u00e9'\n"]),
        ("plain.py", "name = '\u00e9'\n".encode(), ["name = '\u00e9'\n"]),
        # A template is UTF-8 whatever its first lines say.
        ("page.html", "{# coding: latin-1 #}\n<p>\u00e9</p>\n".encode(), ["{# coding: latin-1 #}\n", "<p>\u00e9</p>\n"]),
    ],
)
def test_read_code_from_file_decodes_as_python_does(tmp_path, name, data, lines):
    (tmp_path / name).write_bytes(data)
    assert helpers.read_code_from_file(str(tmp_path / name)) == lines


def test_read_code_from_file_reads_regular_files_only(tmp_path):
    os.mkfifo(tmp_path / "pipe.py")
    (tmp_path / "folder.py").mkdir()
    for name in ("pipe.py", "folder.py"):
        with pytest.raises(OSError, match="is not a regular file"):
            helpers.read_code_from_file(str(tmp_path / name))  # never waits for a writer
    (tmp_path / "bad.py").write_bytes(b"name = '\xe9'\n")
    with pytest.raises(SyntaxError, match="invalid or missing encoding declaration"):
        helpers.read_code_from_file(str(tmp_path / "bad.py"))


def test_module_path_from_file_counts_every_directory_as_a_package(tmp_path, monkeypatch):
    monkeypatch.syspath_prepend(str(tmp_path))
    target = tmp_path / "proj" / "app" / "models.py"
    target.parent.mkdir(parents=True)
    target.write_text("x = 1\n")
    assert helpers.module_path_from_file(str(target)) == "proj.app.models"
    top = tmp_path / "top.py"
    top.write_text("")
    assert helpers.module_path_from_file(path=str(top)) == "top"


def test_module_path_from_file_outside_the_search_path(tmp_path, monkeypatch):
    monkeypatch.setattr("sys.path", ["/nonexistent-search-path"])
    with pytest.raises(ImportError):
        helpers.module_path_from_file(str(tmp_path / "x.py"))


# ---------------------------------------------------------------------------------------------
# Placing agrees with the plain line-by-line search
#
# The builder places placeholders from an index of the first node of every line instead of
# searching the tree again for every line it walks up. The plain search below (walk up one line
# at a time, take astroid's statement on that line, then its statement's scope; append to that
# body and sort it by line) is what the index must agree with, on real modules and odd shapes.

REPOSITORY = pathlib.Path(__file__).parent.parent


def parses(path):
    try:
        ast.parse(path.read_text(encoding="utf-8"))
    except (SyntaxError, UnicodeDecodeError):
        return False
    return True


REAL_MODULES = {
    str(path.relative_to(REPOSITORY)): path.read_text(encoding="utf-8")
    for folder in ("tests/fixtures", "examples")
    for path in sorted((REPOSITORY / folder).rglob("*.py"))
    if parses(path)
}
ODD_SHAPES = [
    "@decorator\n\n# between decorator and def\ndef f(\n    a,\n\n    # in parameters\n    b,\n):\n    pass\n",
    "class A(\n    Base,\n    # in bases\n):\n    x = 1\n\n    class B:\n        y = 2\n    # after B, outer indentation\n\n\nz = 3\n",
    "if x:\n    pass\nelse:\n    # in else\n    pass\n\ntry:\n    pass\n# between try and except\nexcept E:\n\n    pass\nfinally:\n    # in finally\n    pass\n",
    "with a as b, \\\n        c as d:\n\n    # after a backslash continuation\n    pass\nlambda: (\n    # in a lambda\n    1\n)\n",
    "for i in x:\n    while i:\n        # deep\n\n        i -= 1\n    else:\n        # loop else\n        pass\n# end\n",
    "async def f():\n    async with a:\n        # in async with\n        pass\n\n    # after\n    await g()\n",
    "x = {\n\n    'a': 1,  # trailing\n    # own line\n    'b': [\n\n        2,\n    ],\n}\n\n\n",
]


def plain_placement(source):
    atok = helpers.build_atok(source)
    tree = atok.tree
    for token in atok.tokens:
        kind = tokenize.tok_name[token.type]
        line = token.start[0]
        if kind == "NL" and token.line == "\n":
            pass
        elif kind == "COMMENT" and atok.prev_token(token).start[0] != line:
            pass
        else:
            continue
        parent = next(
            node.statement().scope()
            for node in (
                astroid.builder._find_statement_by_line(tree, at) for at in range(line, -1, -1)
            )
            if node
        )
        placeholder = astroid.extract_node('print("")')
        placeholder.lineno = line
        parent._append_node(placeholder)
        parent.body.sort(key=operator.attrgetter("lineno"))
    return tree


def bodies(tree):
    """Each scope's body as (kind, line) pairs, scopes in document order."""
    scopes = [tree, *tree.nodes_of_class((nodes.ClassDef, nodes.FunctionDef))]
    return [
        (scope_name(scope), [(type(statement).__name__, statement.lineno) for statement in scope.body])
        for scope in scopes
    ]


@pytest.mark.parametrize(
    "source",
    list(REAL_MODULES.values()) + ODD_SHAPES,
    ids=list(REAL_MODULES) + [f"odd-{i}" for i in range(len(ODD_SHAPES))],
)
def test_placing_agrees_with_the_line_by_line_search(source):
    built = helpers.build_atok(source, parse_non_code=True)
    assert bodies(built.tree) == bodies(plain_placement(source))
