"""The settings-file builder: inside its `with` block astroid folds os.path calls and
environment look-ups with literal defaults into the constants they give."""
import os

import astroid
import pytest
from astroid import nodes

from vettor.staticanalysis import shims


def build(source):
    with shims.BuilderWithSettingsTransforms() as builder:
        return builder.string_build(source)


def value_of(tree, name):
    """The node last assigned to `name` at module level."""
    return [n for n in tree.body if isinstance(n, nodes.Assign) and n.targets[0].name == name][-1].value


def call_transforms():
    return list(astroid.MANAGER._transform.transforms[nodes.Call])


@pytest.mark.parametrize(
    "source, expected",
    [
        ('A = os.path.join("etc", "app.conf")', os.path.join("etc", "app.conf")),
        ('ROOT = "/srv/site"\nA = os.path.join(ROOT, "static")', os.path.join("/srv/site", "static")),
        (
            'A = os.path.dirname(os.path.dirname(os.path.abspath("/srv/site/conf/settings.py")))',
            "/srv/site",
        ),
        ('A = os.path.basename("/srv/site/media")', "media"),
        ('A = os.path.join("env", "bin")', os.path.join("env", "bin")),
    ],
    ids=["join", "name-bound-to-text", "nested", "basename", "path-call-mentioning-env"],
)
def test_path_calls_on_constants_are_folded(source, expected):
    tree = build("import os\n" + source)
    folded = value_of(tree, "A")
    assert isinstance(folded, nodes.Const)
    assert folded.value == expected


def test_folded_path_takes_the_calls_place():
    tree = build('import os\nA = (\n    os.path.join("a", "b"))')
    folded = value_of(tree, "A")
    assert (folded.lineno, folded.col_offset) == (3, 4)
    assert folded.parent is tree.body[1]


@pytest.mark.parametrize(
    "source",
    [
        "def f(x):\n    return x\nA = os.path.join(undefined, 'b')",
        "import random\nX = 'a' if random.random() else 1\nA = os.path.join(X, 'b')",
        "class C:\n    pass\nA = os.path.join(C, 'b')",
        "def f():\n    pass\nA = os.path.join(f, 'b')",
        "A = os.path.join(['a'], 'b')",
        "A = os.path.join('a', 1)",
        "A = os.path.abspath(None)",
        "from os.path import join\nA = join('a', 'b')",
        "import os.path as p\nA = p.join('a', 'b')",
    ],
    ids=[
        "uninferable",
        "differing-kinds",
        "class",
        "function",
        "list",
        "number",
        "none",
        "imported-name",
        "module-alias",
    ],
)
def test_path_calls_that_stay_as_written(source):
    tree = build("import os\n" + source)
    assert isinstance(value_of(tree, "A"), nodes.Call)


@pytest.mark.parametrize(
    "call",
    [
        'os.environ.get("DATABASE_NAME", "site")',
        'os.getenv("DATABASE_NAME", "site")',
        'env("DATABASE_NAME", "site")',
        'read_environment("DATABASE_NAME", "site")',
        'lookup("environment", "site")',
    ],
)
def test_environment_lookups_become_their_literal_default(call):
    tree = build(f"import os\nA = {call}")
    folded = value_of(tree, "A")
    assert isinstance(folded, nodes.Const)
    assert folded.value == "site"
    # the default node itself, kept where it was written, under the call it came from
    assert folded.col_offset == len("A = ") + call.index('"site"')
    assert isinstance(folded.parent, nodes.Call)


@pytest.mark.parametrize(
    "call",
    [
        'os.environ.get("DATABASE_NAME", default="site")',
        'os.environ.get("PORT", 5432)',
        'os.environ.get("PORT", None)',
        'os.environ.get(NAME, "site")',
        'os.environ.setdefault("DATABASE_NAME", "site")',
        'os.environ.get("DATABASE_NAME")',
        'lookup("NAME", "site")',
    ],
    ids=["keyword-default", "number-default", "none-default", "name-first", "setdefault", "one-arg", "no-env"],
)
def test_environment_lookups_that_stay_as_written(call):
    tree = build(f"import os\nNAME = 'X'\nA = {call}")
    assert isinstance(value_of(tree, "A"), nodes.Call)


@pytest.mark.parametrize(
    "call, answer",
    [
        ('os.getenv("A", "b")', True),
        ('os.getenv(1, "b")', False),
        ('os.getenv("A", 1)', False),
        ('os.getenv("A", b)', None),
        ('os.getenv("A")', None),
        ('os.environ.setdefault("A", "b")', None),
    ],
)
def test_environment_predicate_answers(call, answer):
    assert shims.looks_like_environment_variable_lookup(astroid.extract_node(call)) is answer


def test_nothing_is_folded_after_the_block():
    before = call_transforms()
    with shims.BuilderWithSettingsTransforms() as builder:
        assert isinstance(builder, astroid.builder.AstroidBuilder)
        assert len(call_transforms()) == len(before) + 2
    assert call_transforms() == before
    tree = astroid.parse('import os\nA = os.path.join("a", "b")\nB = os.getenv("X", "y")')
    assert isinstance(value_of(tree, "A"), nodes.Call)
    assert isinstance(value_of(tree, "B"), nodes.Call)


def test_an_error_in_the_block_reaches_the_caller_and_the_transforms_go():
    before = call_transforms()
    with pytest.raises(astroid.AstroidSyntaxError):
        with shims.BuilderWithSettingsTransforms() as builder:
            builder.string_build("A = (")
    assert call_transforms() == before


def test_entering_twice_registers_twice_and_each_exit_removes_one():
    before = call_transforms()
    block = shims.BuilderWithSettingsTransforms()
    block.__enter__()
    block.__enter__()
    assert len(call_transforms()) == len(before) + 4
    block.__exit__(None, None, None)
    assert len(call_transforms()) == len(before) + 2
    block.__exit__(None, None, None)
    assert call_transforms() == before
    with block:  # and it can be entered again
        pass
    assert call_transforms() == before


def test_each_instance_has_its_own_list_of_three_item_entries():
    first, second = shims.BuilderWithSettingsTransforms(), shims.BuilderWithSettingsTransforms()
    assert first.transforms is not second.transforms
    assert first.transforms == [
        [nodes.Call, shims.transform_path_manipulation, shims.looks_like_path_manipulation],
        [nodes.Call, shims.transform_environment_variable_lookup, shims.looks_like_environment_variable_lookup],
    ]
    first.transforms.append([nodes.Call, shims.transform_path_manipulation])
    with pytest.raises(ValueError):
        first.__enter__()
    first.transforms.pop()
    first.__exit__(None, None, None)  # the entries registered before the bad one
