"""Rendering a (possibly fixed) tree back to source with its blank lines and comments, each
comment exactly once, as the fix and suggestion roads do."""
import ast
import io
import pickle
import tokenize

import astroid
import pytest

from vettor.staticanalysis import helpers, suggest


def index(source):
    return helpers.build_atok(source, modname="shop.models", parse_non_code=True)


def comments_of(source):
    return [tok.string for tok in tokenize.generate_tokens(io.StringIO(source).readline)
            if tok.type == tokenize.COMMENT]


def check_rendering(source, expected, node=None):
    """Renders the module (or `node` of it), compares, and checks that the text parses and
    carries every comment of the rendered lines once."""
    atok = index(source)
    target = atok.tree if node is None else node(atok.tree)
    rendered = suggest.node_as_string(atok=atok, node=target)
    assert rendered == expected
    ast.parse(rendered)
    if node is None:
        for comment in comments_of(source):
            assert rendered.count(comment) == source.count(comment), comment
    return atok, rendered


MODULES = [
    pytest.param("x = 1    # spaced\n", "x = 1  # spaced", id="trailing-comment-two-spaces"),
    pytest.param("x = 1\ny = 2  # last", "x = 1\ny = 2  # last", id="no-final-line-break"),
    pytest.param("\n\n# first\nimport os\n\n\nx = 1\n", "# first\nimport os\n\n\nx = 1",
                 id="leading-blank-lines"),
    pytest.param(
        "def f(a):\n"
        "    # before the if\n"
        "    if a:  # header\n"
        "\n"
        "        # inside the if\n"
        "        b = 1\n"
        "\n"
        "        for i in a:\n"
        "            # inside the loop\n"
        "            b += i  # add\n"
        "    else:\n"
        "        b = 2  # other\n"
        "    return b\n",
        "def f(a):\n"
        "    # before the if\n"
        "    if a:  # header\n"
        "\n"
        "        # inside the if\n"
        "        b = 1\n"
        "\n"
        "        for i in a:\n"
        "            # inside the loop\n"
        "            b += i  # add\n"
        "    else:\n"
        "        b = 2  # other\n"
        "    return b",
        id="nested-bodies"),
    pytest.param(
        "try:\n    a()  # call\n\n    # then\n    b()\nexcept ValueError:  # bad\n"
        "    # ignore\n    pass\nfinally:\n    c()\n",
        # astroid nests a try with handlers and a finally as two statements
        "try:\n    try:\n        a()  # call\n\n        # then\n        b()\n"
        "    except ValueError:  # bad\n        # ignore\n        pass\nfinally:\n    c()",
        id="try-bodies"),
    pytest.param(
        'FIELDS = [\n    "a",  # first\n    # own line in brackets\n    "b",\n]  # after\n'
        "call(1,  # one\n     2)\n",
        "FIELDS = ['a', 'b']  # first  # after\n# own line in brackets\ncall(1, 2)  # one",
        id="brackets"),
    # a tuple written without brackets keeps that spelling (an unpacking target too)
    pytest.param("x = 1, 2  # pair\n", "x = 1, 2  # pair", id="tuple-keeps-its-spelling"),
    pytest.param("qs = (Model.objects  # every row\n      .filter(a=1))  # filtered\n",
                 "qs = Model.objects.filter(a=1)  # every row  # filtered",
                 id="continued-expression"),
    pytest.param('s = """one\n\ntwo"""  # after\nt = 1  # t\n',
                 "s = 'one\\n\\ntwo'\n# after\nt = 1  # t", id="multi-line-string"),
    pytest.param(
        "@first  # one\n@second(\n    1,  # inside\n)  # two\ndef f():  # header\n    pass\n"
        "\n\n@dataclass  # three\nclass A:\n    x: int = 1  # annotated\n",
        "@first  # one\n@second(1)  # two\ndef f():  # inside  # header\n    pass\n"
        "\n\n@dataclass  # three\nclass A:\n    x: int = 1  # annotated",
        id="decorators"),
    pytest.param("if a: b = 1  # body\nclass B: pass  # class\n",
                 "if a:\n    b = 1  # body\nclass B:\n    pass  # class", id="one-line-bodies"),
    pytest.param(
        "if a:\n    x()\nelif b:  # eb\n    q()\nelse:  # other\n    y()\n"
        "for i in x:\n    pass\nelse:  # loop done\n    pass\n",
        "if a:\n    x()\nelif b:  # eb\n    q()\nelse:\n    # other\n    y()\n"
        "for i in x:\n    pass\nelse:\n    # loop done\n    pass",
        id="clause-headers"),
    # astroid alone writes these without their brackets, which does not parse.
    pytest.param(
        "ctx = {**base, **(extra or {}), **({} if c else d)}  # merged\nitems = [*(a or []), *b]\n",
        "ctx = {**base, **(extra or {}), **({} if c else d)}  # merged\nitems = [*(a or []), *b]",
        id="unpacked-values"),
    pytest.param("def f(a,  # first\n      b):  # last\n    return a  # a\n",
                 "def f(a, b):  # first  # last\n    return a  # a", id="function-header"),
]


@pytest.mark.parametrize("source, expected", MODULES)
def test_module_keeps_blank_lines_and_comments(source, expected):
    check_rendering(source, expected)


NESTED = (
    "def f(a):\n"
    "    if a:  # test\n"
    "        # inside\n"
    "        b = [\n"
    "            1,  # one\n"
    "            # own\n"
    "        ]\n"
    "\n"
    "        return b\n"
    "    return 0\n"
)


@pytest.mark.parametrize("pick, expected", [
    (lambda tree: tree.body[0].body[0],
     "if a:  # test\n    # inside\n    b = [1]  # one\n    # own\n\n    return b"),
    (lambda tree: tree.body[0].body[0].body[0], "b = [1]  # one\n# own"),
])
def test_statement_takes_the_comments_of_its_lines(pick, expected):
    check_rendering(NESTED, expected, node=pick)


def test_trailing_comment_is_written_once_per_index():
    atok = index("x = f(1)  # one\ny = 2\n")
    statement = atok.tree.body[0]
    assert suggest.node_as_string(atok=atok, node=statement) == "x = f(1)  # one"
    assert suggest.node_as_string(atok=atok, node=statement) == "x = f(1)"
    assert "# one" not in suggest.node_as_string(atok=atok, node=atok.tree)


def test_placeholder_line_renders_the_text_it_stands_for():
    atok = index("x = 1\n\n# note\ny = 2\n")
    placeholders = [n for n in atok.tree.body if isinstance(n, astroid.Call)]
    assert [suggest.node_as_string(atok=atok, node=n) for n in placeholders] == ["", "# note"]



@pytest.mark.parametrize(
    "source, expected",
    [
        ("# c\nx = 1\n", "# c\nx = foo(1)"),
        ("x = 1\n\n# note\ny = 2\n", "x = 1\n\n# note\ny = foo(1)"),
    ],
)
def test_call_a_fix_made_on_a_placeholder_line_is_written_as_the_call(source, expected):
    # A call parsed from a snippet keeps the snippet's line 1, or a fix may give it any line;
    # only the calls the index stands for blank and comment lines render as those lines.
    atok = index(source)
    assign = atok.tree.body[-1]
    call = astroid.extract_node("foo(1)")
    call.lineno = min(atok.extra_line_map)
    call.parent = assign
    assign.value = call
    assert suggest.node_as_string(atok=atok, node=atok.tree) == expected
    assert suggest.CommentAwareAsStringVisitor(atok, indent="  ")(call) == "foo(1)"


@pytest.mark.parametrize("source, replace, expected", [
    # an argument replaced by a node without tokens: the comment stays after the call
    ("x = f(a)  # keep\n", lambda call: call.args.__setitem__(0, extract("b + 1", call)),
     "x = f(b + 1)  # keep"),
    # a new last argument: nothing of the call's comment goes into the brackets
    ("x = f(a)  # keep\n", lambda call: call.args.append(extract("(1, 2)", call)),
     "x = f(a, (1, 2))  # keep"),
])
def test_nodes_without_tokens(source, replace, expected):
    atok = index(source)
    call = atok.tree.body[0].value
    replace(call)
    assert suggest.node_as_string(atok=atok, node=atok.tree.body[0]) == expected


def extract(code, parent):
    node = astroid.extract_node(code)
    node.parent = parent
    return node


def test_node_made_by_a_fix_is_rendered_unstripped():
    atok = index("x = 1\n")
    statement = atok.tree.body[0]
    new = astroid.extract_node("def g():\n    return 1\n")
    assert not hasattr(new, "last_token")
    visitor = suggest.CommentAwareAsStringVisitor(atok=atok, indent="    ")
    assert visitor(new) == "\ndef g():\n    return 1"
    statement.value = astroid.extract_node("call()  # lost")
    assert suggest.node_as_string(atok=atok, node=statement) == "x = call()"


def test_result_has_no_outer_newlines_or_trailing_space():
    atok = index("\n\n\nx = 1\n\n\n")
    assert suggest.node_as_string(atok, atok.tree) == "x = 1"


def test_visitor_class():
    assert suggest.CommentAwareAsStringVisitor.__bases__ == (suggest.AsStringVisitor,)
    assert suggest.CommentAwareAsStringVisitor.__doc__ == (
        "Visitor to render an Astroid node as a valid python code string")
    assert pickle.loads(pickle.dumps(suggest.CommentAwareAsStringVisitor)) is (
        suggest.CommentAwareAsStringVisitor)
    atok = index("x = 1\n")
    visitor = suggest.CommentAwareAsStringVisitor(atok, indent="\t")
    assert visitor.atok is atok and visitor.indent == "\t"
    # Rendering methods come wrapped; other attributes as they are.
    wrapped = visitor.visit_name
    assert wrapped.args == (visitor,) and wrapped is not visitor.visit_name


def test_errors_reach_the_caller():
    atok = index("x = 1  # c\n")
    statement = atok.tree.body[0]
    statement.value.accept = None
    with pytest.raises(TypeError):
        suggest.node_as_string(atok=atok, node=statement)
    # The failed rendering leaves the visitor state of the next one alone.
    del statement.value.accept
    assert suggest.node_as_string(atok=atok, node=statement) == "x = 1  # c"


SUGGESTION_ROAD = (
    "class Book(models.Model):\n"
    "    # the title\n"
    "    title = models.CharField(\n"
    "        # shown everywhere\n"
    "        max_length=10,  # short\n"
    "    )\n"
    "\n"
    "    def save(self):\n"
    "        if self.pages:  # any\n"
    "            # count them\n"
    "            total = 1\n"
    "\n"
    "            # and keep\n"
    "            self.total = total  # kept\n"
    "        super().save()\n"
)


@pytest.mark.parametrize("pick, expected", [
    (lambda tree: tree.body[0].body[0],
     "title = models.CharField(max_length=10)  # shown everywhere  # short"),
    (lambda tree: tree.body[0].body[1].body[0],
     "if self.pages:  # any\n    # count them\n    total = 1\n\n    # and keep\n"
     "    self.total = total  # kept"),
    (lambda tree: tree.body[0],
     "class Book(models.Model):\n    # the title\n"
     "    title = models.CharField(max_length=10)  # shown everywhere  # short\n\n"
     "    def save(self):\n        if self.pages:  # any\n            # count them\n"
     "            total = 1\n\n            # and keep\n            self.total = total  # kept\n"
     "        super().save()"),
])
def test_index_without_placeholders_keeps_the_lines_between_statements(pick, expected):
    """The suggestion road parses without placeholders: blank lines and own-line comments come
    from the tokens."""
    atok = helpers.build_atok(SUGGESTION_ROAD, modname="shop.models")
    assert atok.extra_line_map == {}
    rendered = suggest.node_as_string(atok=atok, node=pick(atok.tree))
    assert rendered == expected
    ast.parse(rendered)


# The lines between a body and the clause keyword after it (`elif`, `else`, `except`,
# `finally`) stay where they stand: at the end of that body. Written in front of an `elif`
# they would split the keyword, and anywhere else they would leave the code they describe.
CLAUSES = [
    pytest.param(
        "if a:\n    x = 1\n# before elif\nelif b:  # bee\n    y = 2\n\n# before else\nelse:\n    z = 3\n",
        "if a:\n    x = 1\n    # before elif\nelif b:  # bee\n    y = 2\n\n    # before else\nelse:\n    z = 3",
        id="if-elif-else"),
    pytest.param(
        "if a:\n    x = 1\nelse:\n    # about the nested if\n    if b:\n        y = 2\n    else:\n        z = 3\n",
        "if a:\n    x = 1\nelse:\n    # about the nested if\n    if b:\n        y = 2\n    else:\n        z = 3",
        id="if-inside-else-is-no-elif"),
    pytest.param(
        "for i in a:\n    x = 1\n    # end of loop\nelse:\n    # about else\n    z = 3\nw = 1\n",
        "for i in a:\n    x = 1\n    # end of loop\nelse:\n    # about else\n    z = 3\nw = 1",
        id="for-else"),
    pytest.param(
        "while a:\n    x = 1\n\n    # before else\nelse:\n    z = 3\n",
        "while a:\n    x = 1\n\n    # before else\nelse:\n    z = 3",
        id="while-else"),
    pytest.param(
        "try:\n    pass\n    # c0\n# c1\nexcept E:\n    # c1b\n    pass\n# c2\nelse:\n    pass\n"
        "# c3\nfinally:\n    # c3b\n    pass\nw = 1\n",
        "try:\n    try:\n        pass\n        # c0\n        # c1\n    except E:\n        # c1b\n"
        "        pass\n        # c2\n    else:\n        pass\n    # c3\nfinally:\n    # c3b\n"
        "    pass\nw = 1",
        id="try-clauses"),
    pytest.param(
        "try:\n    pass\n# one\nexcept A:\n    pass\n# two\nexcept B:\n    pass\n",
        "try:\n    pass\n    # one\nexcept A:\n    pass\n    # two\nexcept B:\n    pass",
        id="handlers"),
    pytest.param(
        "if a:\n    for i in x:\n        pass\n    # after the loop\nelse:\n    pass\n",
        "if a:\n    for i in x:\n        pass\n    # after the loop\nelse:\n    pass",
        id="inner-statement-without-clause"),
]


@pytest.mark.parametrize("parse_non_code", [True, False], ids=["placeholders", "tokens"])
@pytest.mark.parametrize("source, expected", CLAUSES)
def test_lines_before_a_clause_end_the_body_above_it(source, expected, parse_non_code):
    atok = helpers.build_atok(source, modname="shop.models", parse_non_code=parse_non_code)
    rendered = suggest.node_as_string(atok=atok, node=atok.tree)
    assert rendered == expected
    # The same code as astroid's own rendering (which nests a try with a finally), comments
    # in their order.
    plain = helpers.build_atok(source).tree.as_string()
    assert ast.dump(ast.parse(rendered)) == ast.dump(ast.parse(plain))
    assert comments_of(rendered) == comments_of(source)


def test_a_nested_statement_keeps_the_comment_above_its_elif():
    source = "def f(a, b):\n    if a:\n        x = 1\n    # note\n    elif b:\n        y = 2\n"
    atok = helpers.build_atok(source, modname="shop.models")
    rendered = suggest.node_as_string(atok=atok, node=atok.tree.body[0].body[0])
    assert rendered == "if a:\n    x = 1\n    # note\nelif b:\n    y = 2"
