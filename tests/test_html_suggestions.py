"""Suggestions for one template line: the line rewritten by the static-path fix, and the line
that takes the "{% load static %}" tag."""
import pytest
from django.template import Engine

from vettor.staticanalysis import suggest

STATIC = {"STATIC_URL": "/static/"}
LOAD = "{% load static %}\n"


def lines(text):
    return text.splitlines(keepends=True)


def html_suggestions(text, line, message_ids=("C7001",), settings=STATIC):
    return suggest.get_suggestions_for_html(
        code_lines=lines(text), line=line, message_ids=set(message_ids), settings=settings
    )


IMG = '<img src="/static/img/logo.png">'
FIXED_IMG = "<img src='{% static \"img/logo.png\" %}'>"


def test_fixed_line_keeps_its_indentation_and_the_load_tag_goes_on_line_one():
    text = "<html>\n<body>\n<div>\n<p>x</p>\n    " + IMG + "  \n</div>\n"
    assert html_suggestions(text, 5) == [(5, 5, "    " + FIXED_IMG), (1, 1, LOAD + "<html>")]


def test_tabs_stay_tabs():
    assert html_suggestions("<p>\n\t\t" + IMG + "\n", 2)[0] == (2, 2, "\t\t" + FIXED_IMG)


@pytest.mark.parametrize(
    "text",
    [
        "{% load static %}\n" + IMG + "\n",
        "{% load  static\n %}\n" + IMG + "\n",
        "{% load staticfiles %}\n" + IMG + "\n",
        "{% load static from staticfiles %}\n" + IMG + "\n",
    ],
)
def test_static_already_loaded(text):
    assert html_suggestions(text, len(lines(text))) == [(len(lines(text)), len(lines(text)), FIXED_IMG)]


@pytest.mark.parametrize(
    "text", ["{% load i18n static %}\n" + IMG + "\n", "{%load static%}\n" + IMG + "\n"]
)
def test_load_tags_that_do_not_count(text):
    assert html_suggestions(text, 2)[1][0:2] == (1, 1)


@pytest.mark.parametrize(
    "text, load_line, current",
    [
        ('{% extends "base.html" %}\n<p>\n' + IMG + "\n", 2, "<p>"),
        # Django wants the extends tag first: the load tag follows it wherever it stands.
        ('{# about #}\n<!-- x -->\n{% extends "base.html" %}\n<p>\n' + IMG + "\n", 4, "<p>"),
        ('{% extends\n "base.html" %}\n<p>\n' + IMG + "\n", 3, "<p>"),
        # A blank insertion line: the suggestion ends in its line break.
        ('{% extends "base.html" %}\n\n' + IMG + "\n", 2, ""),
        # Django reads the tag's content stripped: these are extends tags too.
        ('{%extends "base.html" %}\n<p>\n' + IMG + "\n", 2, "<p>"),
        ('{%  extends "base.html"%}\n<p>\n' + IMG + "\n", 2, "<p>"),
    ],
)
def test_load_tag_after_extends(text, load_line, current):
    result = html_suggestions(text, len(lines(text)))
    assert result[1] == (load_line, load_line, LOAD + current)
    # The suggested template compiles: the extends tag is still its first tag.
    suggested = lines(text)
    for first, last, replacement in sorted(result, reverse=True):
        suggested[first - 1 : last] = [replacement + "\n"]
    Engine(libraries={"static": "django.templatetags.static"}).from_string("".join(suggested))


def test_extends_on_the_last_line_takes_the_tag_after_it():
    text = IMG + "\n" + '{% extends "base.html" %}\n'
    assert html_suggestions(text, 1) == [(1, 1, FIXED_IMG), (2, 2, '{% extends "base.html" %}\n{% load static %}')]


def test_single_line_template_with_extends():
    text = '{% extends "base.html" %}' + IMG + "\n"
    assert html_suggestions(text, 1) == [
        (1, 1, '{% extends "base.html" %}' + FIXED_IMG + "\n{% load static %}")
    ]


def test_finding_on_the_insertion_line_is_one_change():
    assert html_suggestions(IMG + "\n<p>\n", 1) == [(1, 1, LOAD + FIXED_IMG)]


def test_load_line_carries_the_fix_of_that_line():
    text = IMG + "\n<p>\n" + IMG.replace("logo", "other") + "\n"
    assert html_suggestions(text, 3) == [
        (3, 3, FIXED_IMG.replace("logo", "other")),
        (1, 1, LOAD + FIXED_IMG),
    ]


@pytest.mark.parametrize(
    "text, message_ids, settings",
    [
        ("<p>nothing static</p>\n", ("C7001",), STATIC),
        (IMG + "\n", ("C7000",), STATIC),
        (IMG + "\n", ("C7001",), {"STATIC_URL": ""}),
        (IMG + "\n", ("C7001",), {"STATIC_URL": None}),
    ],
)
def test_nothing_to_suggest(text, message_ids, settings):
    assert html_suggestions(text, 1, message_ids, settings) == []


def test_missing_static_url_key_fails():
    with pytest.raises(KeyError):
        html_suggestions(IMG + "\n", 1, settings={})


def test_helpers():
    assert suggest.read_code_line(code_lines=["  \tx = 1\n"], line_number=1) == ("x = 1\n", "  \t")
    assert suggest.get_indentation("   \n") == "   \n"
    assert suggest.normalize_django_template("a \n\t b") == "a b"
    assert suggest.get_staticfile_template_tag_insertion_point("<p>") == 0
    assert suggest.get_staticfile_template_tag_insertion_point("x {% extends 'a' %}") == 1
    assert suggest.get_staticfile_template_tag_insertion_point_and_current(["<p>\n"]) == (0, "<p>")
    assert suggest.get_staticfile_template_tag_insertion_point_and_current(
        ["{% load static %}\n"]
    ) == (None, None)
    with pytest.raises(IndexError):
        suggest.read_code_line(code_lines=["a\n"], line_number=3)
