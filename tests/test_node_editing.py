"""The edits fixes make on trees: renaming the called function, adding a keyword, giving a new
node the old one's place; and the two helpers over plain texts."""
import astroid
import pytest
from astroid import nodes

from vettor.staticanalysis import helpers


def call(source):
    return astroid.extract_node(source)


@pytest.mark.parametrize(
    "source, new_name, expected",
    [
        ("models.NullBooleanField(null=True)", "BooleanField", "models.BooleanField(null=True)"),
        ("reverse_lazy('home')", "reverse", "reverse('home')"),
    ],
)
def test_set_function_name(source, new_name, expected):
    node = call(source)
    assert helpers.set_function_name(node=node, new_name=new_name) is None
    assert node.as_string() == expected


@pytest.mark.parametrize("source", ["factory()('x')", "handlers[0]('x')"])
def test_set_function_name_of_other_callees_is_not_implemented(source):
    with pytest.raises(NotImplementedError) as raised:
        helpers.set_function_name(call(source), "other")
    assert raised.value.args == ()


def keyword(text):
    return call(f"f({text})").keywords[0]


@pytest.mark.parametrize(
    "source, expected",
    [
        ("f()", "f(new=1)"),
        ("f(a=1)", "f(a=1, new=1)"),
        ("f(a=1, **extra)", "f(a=1, new=1, **extra)"),
        ("f(**extra, a=1)", "f(**extra, a=1, new=1)"),
    ],
)
def test_add_to_keywords(source, expected):
    node = call(source)
    helpers.add_to_keywords(keywords=node.keywords, keyword=keyword("new=1"))
    assert node.as_string() == expected


def test_preserve_metadata_gives_the_new_node_the_old_place():
    old = helpers.build_atok("x = 1\nvalue = models.Foo(a=1)\n").tree.body[1].value
    new = call("django.db.models.Bar")
    assert helpers.preserve_metadata(new_node=new, old_node=old) is new
    chain = list(new.nodes_of_class(nodes.NodeNG))
    assert len(chain) == 4 and {n.lineno for n in chain} == {2}
    assert (new.first_token, new.last_token, new.col_offset, new.parent) == (
        old.first_token,
        old.last_token,
        old.col_offset,
        old.parent,
    )
    assert new.expr.col_offset == 0 and not hasattr(new.expr, "first_token")


@pytest.mark.parametrize("module, expected", [("a.b.c", "c"), ("plain", "plain"), ("ends.", "")])
def test_get_module_name(module, expected):
    assert helpers.get_module_name(module) == expected


@pytest.mark.parametrize(
    "middlewares, middleware, expected",
    [
        (["a", "b", "c", "d"], "b", 50.0),
        (["a"], "a", 100.0),
        (["a", "b"], "z", None),
        (["a", "b", "a", "c"], "a", 25.0),
        (list("abcdef"), "e", 83.33333333333334),
        (list("abcdefghijk"), "k", 100.00000000000001),
        ([], "a", None),
    ],
)
def test_get_middleware_position(middlewares, middleware, expected):
    result = helpers.get_middleware_position(middlewares=middlewares, middleware=middleware)
    assert result == expected
    assert type(result) is type(expected)


@pytest.mark.parametrize(
    "source, new, index",
    [
        # an import goes after the __future__ imports (the docstring is no statement of the body)
        ('"""Doc."""\nfrom __future__ import annotations\nimport os\nX = 1\n', "import re", 1),
        ("import os\nX = 1\n", "from django.urls import reverse", 0),
        # anything else at the end, before the local settings that end the module
        ("X = 1\nY = 2\n", "Z = 3", 2),
        ("from .base import *\nX = 1\n", "Z = 3", 2),
        ("from .base import *\nX = 1\nfrom .local_settings import *\n", "Z = 3", 2),
        ("X = 1\ntry:\n    from .local import *\nexcept ImportError:\n    pass\n", "Z = 3", 1),
        ("X = 1\nif DEBUG:\n    from .dev import *\n", "Z = 3", 1),
        # a try block that does more than import is the module's own code
        ("X = 1\ntry:\n    from .local import *\n    Y = 2\nexcept ImportError:\n    pass\n", "Z = 3", 2),
        # ... and so is one that imports what the module builds on
        ("try:\n    from .base import *\nexcept ImportError:\n    from .defaults import *\n", "Z = 3", 1),
        # nothing after a comment that asks for nothing after it, on a line of its own
        ("X = 1\n# DON'T INSERT ANYTHING AFTER THIS BLOCK\nif DEBUG:\n    Y = 2\n", "Z = 3", 1),
        ("X = 1\n# Keep this at the very bottom\nimport dynaconf\nsettings = dynaconf.DjangoDynaconf(__name__)\n", "Z = 3", 1),
        ("X = [\n    1,\n    # nothing may go after this entry\n]\nY = 2\n", "Z = 3", 2),
        ("X = 1  # don't add anything after this line\nY = 2\n", "Z = 3", 2),
    ],
    ids=["import-after-future", "import-first", "at-the-end", "after-the-base-settings",
         "before-a-local-star-import", "before-a-try-block", "before-an-if-block", "a-try-of-its-own",
         "after-a-try-of-the-base", "before-a-dont-insert-comment", "before-a-keep-at-the-bottom-comment",
         "a-comment-inside-a-statement", "a-comment-after-code"],
)
def test_new_statement_index(source, new, index):
    module = astroid.builder.AstroidBuilder().string_build(source)
    assert helpers.new_statement_index(module_node=module, statement=astroid.extract_node(new)) == index
