"""Astroid expressions become plain values that rules compare with constants; what cannot be
worked out stays an astroid node."""
import astroid
import pytest

from vettor.staticanalysis import helpers

SAME = object()  # the node that was given comes back


class Inferred:
    """An astroid node of this class (and name) comes back, not the node given."""

    def __init__(self, node_class, name=None):
        self.node_class = node_class
        self.name = name

    def check(self, value, given):
        assert value is not given
        assert isinstance(value, self.node_class)
        if self.name is not None:
            assert value.name == self.name


# (source whose `__()` or `#@` marks the node, expected plain value)
VALUE_CASES = [
    pytest.param("__(5)", 5, id="int"),
    pytest.param("__('text')", "text", id="text"),
    pytest.param("__(b'raw')", b"raw", id="bytes"),
    pytest.param("__(1.5)", 1.5, id="float"),
    pytest.param("__(2j)", 2j, id="complex"),
    pytest.param("__(True)", True, id="true"),
    pytest.param("__(None)", None, id="none"),
    pytest.param("__(...)", Ellipsis, id="ellipsis"),
    pytest.param("__(('a', 'b'))", ["a", "b"], id="tuple-becomes-list"),
    pytest.param("__([1, [2, (3,)]])", [1, [2, [3]]], id="nested-list"),
    pytest.param("__({'k': [1, 2], 2: None})", {"k": [1, 2], 2: None}, id="dict"),
    pytest.param("__({'k': 1, 'k': 2})", {"k": 2}, id="later-equal-key-wins"),
    pytest.param("__({})", {}, id="empty-dict"),
    pytest.param("__(2 + 3)", 5, id="sum"),
    pytest.param("__('max' + '_length')", "max_length", id="concatenation"),
    pytest.param("PREFIX = 'app_'\n__(PREFIX + 'book')", "app_book", id="concatenation-of-name"),
    pytest.param("CHOICES = [1, 'a']\n__(CHOICES)", [1, "a"], id="name-bound-to-list"),
    pytest.param("SIZE = 10\n__([SIZE, SIZE * 2])", [10, 20], id="names-in-list"),
    pytest.param("class C:\n    attr = 'text'\n__(C.attr)", "text", id="attribute"),
    pytest.param("__(missing.attr)", SAME, id="unresolved-attribute"),
    pytest.param("__(undefined_name)", SAME, id="unbound-name"),
    pytest.param("__(undefined_name + 1)", SAME, id="unresolved-sum"),
    # Chains longer than astroid's inference can follow on the interpreter's stack.
    pytest.param("__(" + " + ".join(f"'t{i}'" for i in range(400)) + ")",
                 "".join(f"t{i}" for i in range(400)), id="long-text-chain"),
    pytest.param("__(" + " + ".join(["b'x'"] * 400) + ")", b"x" * 400, id="long-bytes-chain"),
    pytest.param("__(" + " + ".join(["1"] * 399 + ["0.5"]) + ")", 399.5, id="long-number-chain"),
    pytest.param("__('a' + ('b' + 'c') + 'd')", "abcd", id="chain-with-parentheses"),
    pytest.param("__('a' + 1)", SAME, id="text-plus-number"),
    pytest.param("__(1 + True)", 2, id="number-plus-bool-as-astroid-gives"),
    pytest.param("__('a' * 2 + 'b')", "aab", id="chain-with-another-operator"),
    pytest.param("__({1, 2})", SAME, id="set-display"),
    pytest.param("__(len('abc'))", SAME, id="call"),
    pytest.param("__(lambda: 1)", SAME, id="lambda"),
    pytest.param("__(f'{1}')", SAME, id="f-string"),
    pytest.param("__({(1, 2): 'pair'})", SAME, id="dict-with-unhashable-key"),
    pytest.param(
        "from os import path\n__(path)", Inferred(astroid.ImportFrom), id="imported-name"
    ),
    pytest.param(
        "class C:\n    pass\nclass D:\n    kind = C\n__(D.kind)",
        Inferred(astroid.ClassDef, "C"),
        id="attribute-inferring-to-a-class",
    ),
]


@pytest.mark.parametrize("source, expected", VALUE_CASES)
def test_node_becomes_a_plain_value(source, expected):
    node = astroid.extract_node(source)
    value = helpers.astroid_node_to_value(node)
    if expected is SAME:
        assert value is node
    elif isinstance(expected, Inferred):
        expected.check(value, node)
    else:
        assert value == expected
        assert type(value) is type(expected)


def test_assigned_name_becomes_its_value():
    statement = astroid.extract_node("LIMIT = 3  #@")
    assert helpers.astroid_node_to_value(statement.targets[0]) == 3


def test_dict_keys_and_values_convert_in_order():
    node = astroid.extract_node("__({'b': 1, 'a': (2,), 3: 'c'})")
    assert list(helpers.astroid_node_to_value(node).items()) == [("b", 1), ("a", [2]), (3, "c")]


def test_conversion_reaches_nested_values_through_the_module_attribute(monkeypatch):
    node = astroid.extract_node("__([1, {'k': 2}])")
    real = helpers.astroid_node_to_value
    seen = []

    def spy(node):
        seen.append(node.as_string())
        return real(node)

    monkeypatch.setattr(helpers, "astroid_node_to_value", spy)
    assert real(node) == [1, {"k": 2}]
    assert seen == ["1", "{'k': 2}", "'k'", "2"]


CONSTANT_MODULE = """\
from app.settings import IMPORTED
import os
CHOICES = ['draft', 'published']
LIMIT = 10 * 3
UNKNOWN = missing_name
class Config:
    name = 'books'
"""


@pytest.mark.parametrize(
    "key, expected",
    [
        ("CHOICES", ["draft", "published"]),
        ("LIMIT", 30),
        ("NOT_BOUND", None),
        ("IMPORTED", None),
    ],
)
def test_module_constant_is_read_by_name(key, expected):
    module = astroid.parse(CONSTANT_MODULE)
    assert helpers.get_astroid_node_constant_values(module, key) == expected


def test_constant_of_a_class_scope():
    module = astroid.parse(CONSTANT_MODULE)
    assert helpers.get_astroid_node_constant_values(node=module["Config"], key="name") == "books"


@pytest.mark.parametrize("key", ["UNKNOWN", "os"])
def test_constant_that_cannot_be_inferred_raises(key):
    module = astroid.parse(CONSTANT_MODULE)
    with pytest.raises(helpers.NodeValueUndefinable) as raised:
        helpers.get_astroid_node_constant_values(module, key)
    assert raised.value.args == ()
    assert isinstance(raised.value, TypeError)
