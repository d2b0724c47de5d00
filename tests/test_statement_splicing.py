"""Fixed statements written back into the text they came from: the changes a watched visit made,
each statement's text laid over its own tokens, added and removed statements, the check that a
rendering parses back to the fixed statement, and the splice."""
import textwrap

import astroid
import pytest
from astroid.transforms import TransformVisitor

from vettor.staticanalysis import helpers, suggest


def fixed(source, node_class, transform, predicate=None):
    """The token index of `source`, and the changes one watched fix made on its tree."""
    atok = helpers.build_atok(textwrap.dedent(source), modname="shop.things")
    visitor = TransformVisitor()
    visitor.register_transform(node_class, transform, predicate)
    watch = suggest.FixWatch(atok.tree, path="shop/things.py")
    watch.watch(visitor)
    visitor.visit(atok.tree)
    return atok, watch, suggest.statement_changes(atok=atok, watch=watch)


def spliced(source, node_class, transform, predicate=None):
    atok, _, changes = fixed(source, node_class, transform, predicate)
    return suggest.splice_changes(atok.text, changes)


def rename(old, new):
    def transform(node):
        if isinstance(node.func, astroid.Name) and node.func.name == old:
            node.func.name = new
        return node

    return transform


def test_nothing_changed_is_no_change():
    atok, watch, changes = fixed("x = f(1)\n", astroid.Call, rename("g", "h"))
    assert changes == [] and watch.runs != [] and watch.fixed
    _, watch, _ = fixed("x = 1\n", astroid.Call, rename("g", "h"))
    assert watch.runs == [] and not watch.fixed  # no fix ran: no snapshot was taken


@pytest.mark.parametrize(
    "before, after",
    [
        # the rendering's tokens where they differ, the source's text everywhere else
        ("x = f(0xFF, r'\\d')  # hex\n", "x = g(0xFF, r'\\d')  # hex\n"),
        ("x = f(\n    1,  # one\n    # two follows\n    2,\n)\n", "x = g(\n    1,  # one\n    # two follows\n    2,\n)\n"),
        ("if f(1):\n    y = 2  # body\n", "if g(1):\n    y = 2  # body\n"),
        ("if a:\n    pass\nelif f(1):  # clause\n    pass\n", "if a:\n    pass\nelif g(1):  # clause\n    pass\n"),
        ("@f(1)\ndef h():\n    '''C:\\\\dir'''\n", "@g(1)\ndef h():\n    '''C:\\\\dir'''\n"),
        ("x = 1; y = f(1)\n", "x = 1; y = g(1)\n"),
    ],
    ids=["spellings", "comments-in-brackets", "if-header", "elif-header", "decorator", "after-a-semicolon"],
)
def test_a_changed_statement_keeps_what_the_fix_did_not_change(before, after):
    assert spliced(before, astroid.Call, rename("f", "g")) == after


def test_a_removed_keyword_keeps_its_comment_and_the_trailing_comma():
    def drop_b(node):
        node.keywords = [k for k in node.keywords if k.arg != "b"]
        return node

    before = "x = f(\n    a=1,\n    b=2,  # why b\n)\n"
    assert spliced(before, astroid.Call, drop_b) == "x = f(\n    a=1,  # why b\n)\n"


def add_statement(code):
    def transform(module):
        statement = astroid.extract_node(code)
        statement.parent = module
        module.body.insert(helpers.new_statement_index(module_node=module, statement=statement), statement)
        return module

    return transform


@pytest.mark.parametrize(
    "before, code, after",
    [
        ('"""Doc."""\nfrom __future__ import annotations\n\nimport os\n', "import re",
         '"""Doc."""\nfrom __future__ import annotations\nimport re\n\nimport os\n'),
        ('"""Doc."""\n\nimport os\n', "import re", '"""Doc."""\nimport re\n\nimport os\n'),
        ("# header\nimport os\n", "import re", "# header\nimport re\nimport os\n"),
        ("X = 1  # one\n\n# local\nfrom .local_settings import *\n", "Y = 2",
         "X = 1  # one\nY = 2\n\n# local\nfrom .local_settings import *\n"),
        ("X = 1", "Y = 2", "X = 1\nY = 2"),
        ("", "Y = 2", "Y = 2\n"),
    ],
    ids=["after-future-imports", "after-the-docstring", "before-the-first-statement",
         "before-local-settings", "at-the-end-without-a-line-break", "into-an-empty-module"],
)
def test_an_added_statement_goes_on_a_line_of_its_own(before, code, after):
    assert spliced(before, astroid.Module, add_statement(code)) == after


def test_the_position_of_an_added_statement():
    atok = helpers.build_atok("X = 1\nfrom .local import *\n", modname="m")
    module = atok.tree
    statement = astroid.extract_node("Y = 2")
    statement.parent = module
    module.body.insert(helpers.new_statement_index(module_node=module, statement=statement), statement)
    assert suggest.new_statement_position(atok=atok, node=statement) == (2, 6, "")


def test_a_removed_statement_leaves_its_comments():
    def remove(module):
        module.body = [s for s in module.body if not (isinstance(s, astroid.Assign) and s.targets[0].name == "B")]
        return module

    before = "A = 1\nB = [\n    2,  # two\n]  # gone\nC = 3\n"
    atok, watch, changes = fixed(before, astroid.Module, remove)
    assert [(c.kind, c.first_line, c.last_line) for c in changes] == [("removed", 2, 5)]
    assert suggest.splice_changes(atok.text, changes) == "A = 1\n# two\n# gone\nC = 3\n"


WALRUS = "if (n := len(a)) > 10:\n    pass\n"
YIELD = "def f():\n    return (yield)\n"
ELIF = "if y:\n    pass\nelif x:  # clause\n    pass\n"


@pytest.mark.parametrize(
    "source, pick, code, header_only, expected",
    [
        (WALRUS, lambda tree: tree.body[0], "if (n := len(a)) > 10:\n    pass", False, True),
        (WALRUS, lambda tree: tree.body[0], "if n := len(a) > 10:\n    pass", False, False),
        (YIELD, lambda tree: tree.body[0].body[0], "return (yield)", False, True),
        (YIELD, lambda tree: tree.body[0].body[0], "return yield", False, False),
        (ELIF, lambda tree: tree.body[0].orelse[0], "elif x:\n    body_changed()", True, True),
        (ELIF, lambda tree: tree.body[0].orelse[0], "elif x:\n    body_changed()", False, False),
    ],
    ids=["brackets-kept", "brackets-lost-another-tree", "yield", "bare-yield-no-python",
         "elif-header", "elif-with-its-body"],
)
def test_renders_faithfully(source, pick, code, header_only, expected):
    statement = pick(astroid.parse(source))
    assert suggest.renders_faithfully(code, statement, header_only=header_only) is expected


@pytest.mark.parametrize(
    "node, text",
    [
        ("s = (t := 3)", "s = (t := 3)"),
        ("def f():\n    return (yield)", "def f():\n    return (yield)"),
        ("def f():\n    '''C:\\\\dir and \\\\n'''", 'def f():\n    """C:\\\\dir and \\\\n"""'),
        ("def f():\n    '''Ends in a quote\"'''", 'def f():\n    """Ends in a quote\\""""'),
        ("x = {**(a or {})}", "x = {**(a or {})}"),
    ],
    ids=["assignment-expression", "yield", "docstring-backslashes", "docstring-quote", "unpacked-value"],
)
def test_render_statement_reads_back_as_the_same_code(node, text):
    statement = astroid.parse(node).body[0]
    assert suggest.render_statement(statement) == text
    assert suggest.renders_faithfully(text, statement)


def test_a_change_that_does_not_parse_back_is_left_out(monkeypatch, caplog):
    monkeypatch.setattr(suggest, "render_statement", lambda node: "x = g(1")
    atok, _, changes = fixed("x = f(1)\n", astroid.Call, rename("f", "g"))
    assert [(c.kind, c.text, c.reason) for c in changes] == [
        ("changed", None, "its rendering does not parse back to the fixed statement")
    ]
    assert suggest.splice_changes(atok.text, changes) == "x = f(1)\n"
    assert "Left unfixed: the statement at line 1 of shop/things.py" in caplog.text


# A watch with a scope takes only the statement of the module's body that holds it: the fixes of
# that statement come out as a whole watch gives them, and the other statements are not looked
# at (a review suggestion asks for the lines of one statement, in a file of any length).
SCOPED = """\
import os


class Shop:
    a = f(1)

    def b(self):
        return f(2)


x = f(3)
if x:
    y = f(4)
"""


@pytest.mark.parametrize("line", [5, 8, 11, 13])
def test_a_scoped_watch_gives_the_changes_of_its_statement(line):
    def changes(scope):
        atok = helpers.build_atok(SCOPED, modname="shop.things")
        node = helpers.find_node_by_position(atok.tree, line) if scope else None
        visitor = TransformVisitor()
        visitor.register_transform(astroid.Call, rename("f", "g"))
        watch = suggest.FixWatch(atok.tree, path="shop/things.py", scope=node)
        watch.watch(visitor)
        visitor.visit(atok.tree)
        return [(c.first_line, c.last_line, c.text) for c in suggest.statement_changes(atok=atok, watch=watch)]

    whole = changes(scope=False)
    assert len(whole) == 4
    top = {5: (4, 8), 8: (4, 8), 11: (11, 11), 13: (12, 13)}[line]
    assert changes(scope=True) == [c for c in whole if top[0] <= c[0] and c[1] <= top[1]]
