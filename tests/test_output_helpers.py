"""Helpers for the application that presents the findings: advice links, JSON encoding of
finding records and template whitespace."""
import json
from decimal import Decimal

import pytest

from vettor.staticanalysis import helpers

ADVICE_SITE = "https://vettor.dev"


@pytest.mark.parametrize(
    "message_id, expected",
    [("C2003", "/advice/C2003"), (2003, "/advice/2003"), ("", "/advice/")],
)
def test_hyperlink_is_the_advice_page_of_the_code(message_id, expected):
    assert helpers.get_hyperlink(message_id=message_id) == ADVICE_SITE + expected


class MySet(set):
    pass


class MyDecimal(Decimal):
    pass


@pytest.mark.parametrize(
    "value, expected",
    [
        (Decimal("2.9"), 2),
        (Decimal("-2.9"), -2),
        (MyDecimal("7.5"), 7),
        (set(), []),
        ({"only"}, ["only"]),
        (MySet([3]), [3]),
    ],
)
def test_serializer_converts_decimals_and_sets(value, expected):
    result = helpers.serializer(value)
    assert result == expected and type(result) is type(expected)


def test_serializer_keeps_set_iteration_order():
    values = {"b", "a", 3, "c"}
    assert helpers.serializer(values) == list(values)


@pytest.mark.parametrize(
    "value, type_name",
    [(frozenset(), "frozenset"), (object(), "object"), (b"raw", "bytes"), (MySet, "type")],
)
def test_serializer_refuses_everything_else(value, type_name):
    with pytest.raises(TypeError) as raised:
        helpers.serializer(obj=value)
    assert str(raised.value) == f"Object of type {type_name} is not JSON serializable"


@pytest.mark.parametrize("value", [Decimal("NaN"), Decimal("Infinity")])
def test_serializer_decimal_without_integer_value_fails(value):
    with pytest.raises((ValueError, OverflowError)):
        helpers.serializer(value)


def test_serializer_as_json_default_hook():
    record = {"value": Decimal("12.7"), "codes": {"C2003"}}
    assert json.loads(json.dumps(record, default=helpers.serializer)) == {
        "value": 12,
        "codes": ["C2003"],
    }


@pytest.mark.parametrize(
    "text, expected",
    [
        ("one \n\t two", "one two"),
        ("  word  ", " word "),
        ("", ""),
        ("{% if a %}\n    <p>{{ a }}</p>\n{% endif %}\n", "{% if a %} <p>{{ a }}</p> {% endif %} "),
        ("a\u00a0\u2003b", "a b"),
        ("unchanged text", "unchanged text"),
    ],
)
def test_template_whitespace_runs_become_one_space(text, expected):
    assert helpers.normalize_django_template(template_content=text) == expected


def test_template_normalising_needs_a_text():
    with pytest.raises(TypeError):
        helpers.normalize_django_template(b"bytes")
