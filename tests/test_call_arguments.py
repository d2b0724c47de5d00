"""What a Django field declaration says: its keywords, its class's constructor defaults, the
name it is assigned to and the name of the called function."""
import astroid
import pytest

from vettor.staticanalysis import helpers

PRELUDE = "from django.db import models\n"


def call(source):
    return astroid.extract_node(PRELUDE + source)


# (source marking a call, expected mapping as a list of items, in order)
EXPLICIT_CASES = [
    pytest.param(
        "__(models.CharField(max_length=10, null=True))",
        [("max_length", 10), ("null", True)],
        id="literals-in-order",
    ),
    pytest.param(
        "SIZE = 255\n__(models.CharField(SIZE, max_length=SIZE, choices=(('a', 'A'),)))",
        [("max_length", 255), ("choices", [["a", "A"]])],
        id="names-and-tuples-positional-ignored",
    ),
    pytest.param("__(models.CharField('title', 10))", [], id="positional-only"),
    pytest.param("__(print())", [], id="no-arguments"),
    pytest.param(
        "__(models.CharField(max_length=undefined_name, null=False))",
        [("null", False)],
        id="uninferable-keyword-left-out",
    ),
    pytest.param(
        "EXTRA = {'null': True}\n__(models.CharField(**EXTRA))",
        [(None, {"null": True})],
        id="double-star-under-none",
    ),
    pytest.param(
        "def build(flag):\n    size = 1\n    if flag:\n        size = 2\n"
        "    return __(models.CharField(max_length=size))",
        [("max_length", 1)],
        id="ambiguous-takes-first-answer",
    ),
]


@pytest.mark.parametrize("source, expected", EXPLICIT_CASES)
def test_explicit_arguments_are_the_call_keywords(source, expected):
    assert list(helpers.get_node_explicit_arguments(call(source)).items()) == expected


def test_explicit_arguments_of_a_node_without_keywords():
    class NoKeywords:
        keywords = None

    assert helpers.get_node_explicit_arguments(node=NoKeywords()) == {}


def test_explicit_argument_that_infers_to_nothing_convertible_stays_a_node():
    node = call("def build(size):\n    return __(models.CharField(max_length=size))")
    value = helpers.get_node_explicit_arguments(node)["max_length"]
    assert value is astroid.Uninferable


def test_explicit_arguments_let_other_errors_through():
    class Keyword:
        arg = "max_length"

        class value:
            @staticmethod
            def infer():
                raise ValueError("broken inference")

    class Node:
        keywords = [Keyword()]

    with pytest.raises(ValueError):
        helpers.get_node_explicit_arguments(Node())


def test_charfield_defaults_come_from_field_constructor():
    defaults = helpers.get_node_default_arguments(call("__(models.CharField(max_length=10))"))
    assert defaults["null"] is False
    assert defaults["blank"] is False
    assert defaults["max_length"] is None
    assert defaults["choices"] is None
    assert defaults["validators"] == []  # a tuple default becomes a list
    assert "default" not in defaults  # NOT_PROVIDED means no default


# (source marking an expression, expected subset of the default mapping, absent names)
DEFAULT_CASES = [
    pytest.param(
        "class Flag(models.CharField):\n"
        "    def __init__(self, blank=True, *args, **kwargs):\n"
        "        super().__init__(*args, **kwargs)\n"
        "__(Flag())",
        {"blank": True, "null": False},
        [],
        id="derived-constructor-wins",
    ),
    pytest.param(
        "class Base:\n    def __init__(self, a, b=1, c=2):\n        pass\n"
        "class Child(Base):\n    def __init__(self, b=10, *, d=4):\n        pass\n"
        "__(Child())",
        {"b": 10, "c": 2},
        ["a", "d", "self"],
        id="keyword-only-and-required-not-read",
    ),
    pytest.param(
        "NOT_PROVIDED = object()\n"
        "class Base:\n    def __init__(self, default=NOT_PROVIDED, help_text=''):\n        pass\n"
        "__(Base())",
        {"help_text": ""},
        ["default"],
        id="not-provided-left-out",
    ),
    pytest.param(
        "class Spec:\n    def __init__(self, a, /, b=1, c=(1, 'x')):\n        pass\n__(Spec())",
        {"b": 1, "c": [1, "x"]},
        ["a"],
        id="positional-only-parameters-count",
    ),
    pytest.param("class Bare:\n    pass\n__(Bare())", {}, [], id="only-object-constructor"),
    pytest.param(
        "def make():\n    pass\nclass Bound:\n    __init__ = make\n__(Bound())",
        {},
        [],
        id="constructor-bound-by-assignment",
    ),
    pytest.param("__(undefined_name())", {}, [], id="not-inferable"),
    pytest.param("__(models.CharField)", {"null": False}, [], id="the-class-itself"),
]


@pytest.mark.parametrize("source, expected, absent", DEFAULT_CASES)
def test_default_arguments_over_the_class_order(source, expected, absent):
    defaults = helpers.get_node_default_arguments(node=call(source))
    for name, value in expected.items():
        assert defaults[name] == value
    if not expected:
        assert defaults == {}
    for name in absent:
        assert name not in defaults


def test_constructor_without_known_signature_contributes_nothing():
    # Constructors built from living objects carry None for their parameter lists in some
    # astroid releases; a class order holding one must still answer.
    node = call(
        "class Opaque:\n    def __init__(self, hidden=1):\n        pass\n"
        "class Field(Opaque):\n    def __init__(self, shown=2):\n        pass\n"
        "__(Field())"
    )
    opaque = node.root()["Opaque"]["__init__"].args
    opaque.defaults = None
    opaque.args = None
    assert helpers.get_node_default_arguments(node) == {"shown": 2}


# (source marking a call, expected assigned name)
MEMBER_CASES = [
    pytest.param("class Book(models.Model):\n    title = __(models.CharField())", "title"),
    pytest.param("title = wrap(__(models.CharField()))", "title", id="nested-call"),
    pytest.param("class Book:\n    def __init__(self):\n        self.title = __(f())", None),
    pytest.param("a, b = __(f()), g()", None, id="tuple-target"),
    pytest.param("title: str = __(f())", None, id="annotated"),
    pytest.param("total = 0\ntotal += __(f())", None, id="augmented"),
    pytest.param("__(f())", None, id="expression-statement"),
    pytest.param("def g():\n    __(f())", None, id="inside-a-function"),
    pytest.param("items[0] = __(f())", None, id="subscript-target"),
    pytest.param("first = second = __(f())", "first", id="chained"),
]


@pytest.mark.parametrize("source, expected", MEMBER_CASES)
def test_member_name_is_the_plain_assignment_target(source, expected):
    assert helpers.get_member_name(call(source)) == expected


@pytest.mark.parametrize(
    "source, expected",
    [
        ("__(models.CharField())", "CharField"),
        ("__(a.b.c.build())", "build"),
        ("__(print())", "print"),
        ("__(factory()())", None),
        ("__(handlers[0]())", None),
        ("__((lambda: 1)())", None),
    ],
)
def test_function_name_is_the_called_name(source, expected):
    assert helpers.get_function_name(node=call(source)) == expected


def test_function_name_needs_a_call():
    with pytest.raises(AttributeError):
        helpers.get_function_name(astroid.extract_node("__(name)"))
