"""Suggestions for one template line: the line rewritten by the static-path fix, and the line
that takes the "{% load static %}" tag."""
import pytest
from django.template import Context, Engine

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


def test_fixed_line_keeps_its_indentation_and_comes_with_the_load_tag_on_line_one():
    # One block from the line that takes the load tag down to the fixed line.
    text = "<html>\n<body>\n<div>\n<p>x</p>\n    " + IMG + "  \n</div>\n"
    assert html_suggestions(text, 5) == [(1, 5, LOAD + "<html>\n<body>\n<div>\n<p>x</p>\n    " + FIXED_IMG)]


def test_tabs_stay_tabs():
    assert html_suggestions(LOAD + "\t\t" + IMG + "\n", 2) == [(2, 2, "\t\t" + FIXED_IMG)]
    assert html_suggestions("\t<p>\n\t\t" + IMG + "\n", 2) == [(1, 2, LOAD + "\t<p>\n\t\t" + FIXED_IMG)]


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
    (result,) = html_suggestions(text, 2)
    assert result[0:2] == (1, 2) and result[2].startswith(LOAD)


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
    assert result == [(load_line, len(lines(text)), LOAD + current + "\n" + FIXED_IMG)]
    # The suggested template compiles: the extends tag is still its first tag.
    compiles(apply(text, result))


def test_a_line_before_the_end_of_the_extends_tag_gets_no_suggestion():
    # Django reads no tag before the extends tag: a static tag there could not be loaded.
    assert html_suggestions(IMG + "\n" + '{% extends "base.html" %}\n', 1) == []
    assert html_suggestions('{% extends\n"base.html" ' + IMG + " %}\n<p>\n", 1) == []


def test_single_line_template_with_extends():
    text = '{% extends "base.html" %}' + IMG + "\n"
    assert html_suggestions(text, 1) == [(1, 1, '{% extends "base.html" %}{% load static %}' + FIXED_IMG)]


def test_finding_on_the_insertion_line_is_one_change():
    assert html_suggestions(IMG + "\n<p>\n", 1) == [(1, 1, LOAD + FIXED_IMG)]


def test_lines_near_the_load_line_share_one_block_with_every_fix():
    text = IMG + "\n<p>\n" + IMG.replace("logo", "other") + "\n<p>\n"
    shared = [(1, 3, LOAD + FIXED_IMG + "\n<p>\n" + FIXED_IMG.replace("logo", "other"))]
    assert html_suggestions(text, 1) == shared
    assert html_suggestions(text, 3) == shared


def test_line_far_from_the_load_line_brings_its_own_load_tag():
    text = "<p>\n" * 12 + "    " + IMG + "\n"
    assert html_suggestions(text, 13) == [(13, 13, "    " + LOAD + "    " + FIXED_IMG)]


def test_static_loaded_below_the_finding_does_not_count():
    text = "<p>\n" + IMG + "\n{% load static %}\n"
    assert html_suggestions(text, 2) == [(1, 2, LOAD + "<p>\n" + FIXED_IMG)]


def apply(text, result):
    suggested = lines(text)
    for first, last, replacement in sorted(result, reverse=True):
        suggested[first - 1 : last] = [replacement + "\n"]
    return "".join(suggested)


def compiles(text):
    Engine(libraries={"static": "django.templatetags.static"}).from_string(text)


TEMPLATES = {
    "plain": "<html>\n<head>\n  <link href=\"/static/site.css\">\n</head>\n"
    + "<p>\n" * 12 + '  <img src="/static/a.png">\n  <img src="/static/b.png">\n</html>\n',
    "extends": '{# page #}\n{% extends "base.html" %}\n{% block content %}\n' + IMG + "\n" + "<p>\n" * 11
    + '<img src="/static/far.png">\n{% endblock %}\n',
    "extends-one-line": '{% extends "base.html" %}' + IMG + "\n",
    "loaded-late": "<p>\n" + IMG + "\n{% load static %}\n" + IMG.replace("logo", "late") + "\n",
}


@pytest.mark.parametrize("name", TEMPLATES)
def test_every_block_is_a_valid_template_applied_alone_and_all_together(name):
    text = TEMPLATES[name]
    found = [n for n, line in enumerate(lines(text), 1) if "/static/" in line]
    blocks = set()
    for number in found:
        result = html_suggestions(text, number)
        assert result, number
        compiles(apply(text, result))
        blocks.update(result)
    # Blocks that several lines share come once, and no two overlap.
    ordered = sorted(blocks)
    assert all(a[1] < b[0] for a, b in zip(ordered, ordered[1:]))
    compiles(apply(text, ordered))
    assert "/static/" not in apply(text, ordered)


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


def test_a_link_a_named_route_serves_needs_no_load_tag_nor_static_url():
    from marked_findings import PROJECT
    from vettor.staticanalysis.checkers import urls

    routes = urls.read_url_configuration(PROJECT.parent / "routed_project", "site_config.urls")
    text = "<p>\n    <a href='/shop/'>Shop</a>\n"
    for static in ("/static/", None):
        settings = {"STATIC_URL": static, "ROUTES": routes}
        assert html_suggestions(text, 2, ("C7000",), settings) == [
            (2, 2, "    <a href=\"{% url 'store:index' %}\">Shop</a>")]
    assert html_suggestions(text, 2, ("C7000",), {"STATIC_URL": None, "ROUTES": None}) == []


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


# What the suggestions ask of the whole template, worked out once per template: the number of
# first lines from which on the static library is loaded (one past the end when it never is),
# and the number of lines up to the end of the extends tag.
@pytest.mark.parametrize(
    "text, facts",
    [
        ("<p>\n" + IMG + "\n", (3, 0)),
        ("<p>\n{% load static %}\n" + IMG + "\n", (2, 0)),
        ("{% load\n  static %}\n" + IMG + "\n", (2, 0)),
        ('{% extends "base.html" %}\n{% load static %}\n<p>\n', (2, 1)),
        ('<p>\n{% extends\n "base.html" %}\n<p>\n', (5, 3)),
        ("", (1, 0)),
    ],
)
def test_template_facts(text, facts):
    assert suggest.template_facts(lines(text)) == facts


def test_each_line_is_fixed_once_and_the_facts_given_are_used(monkeypatch):
    text = "<p>\n" + IMG + "\n<p>\n" + IMG.replace("logo", "other") + "\n" + "".join(f"<p>{n}</p>\n" for n in range(20))
    expected = html_suggestions(text, 2)
    fixed = []
    real = suggest.get_suggestion_for_html
    monkeypatch.setattr(suggest, "get_suggestion_for_html", lambda **kw: fixed.append(kw["code"]) or real(**kw))
    # Facts that say static is loaded from line 1 on: the load tag is not asked for.
    assert suggest.get_suggestions_for_html(
        code_lines=lines(text), line=2, message_ids={"C7001"}, settings=STATIC, facts=(1, 0)
    ) == [(2, 2, FIXED_IMG)]
    fixed.clear()
    assert html_suggestions(text, 2) == expected == [
        (1, 4, LOAD + "<p>\n" + FIXED_IMG + "\n<p>\n" + FIXED_IMG.replace("logo", "other"))
    ]
    # Lines 1 to 10, the ten near the load line, each once (lines 1 and 3 are alike: "<p>").
    assert len(fixed) == 10 and len(set(fixed)) == 9


# ---------------------------------------------------------------------------------------
# The disable pragma a finding asks for (the pragma request code)

SKIP = "C0000"


@pytest.mark.parametrize(
    "line_text, codes, expected",
    [
        # at the end of the line, naming each code's symbol once, in the order of the codes
        (
            '  <a href="/a/">A</a> <img src="/static/b.png">  \n',
            ["C7001", "C7000", "C7001"],
            '  <a href="/a/">A</a> <img src="/static/b.png"> '
            "{# vettor: disable=hard-coded-url, hard-coded-static-url #}",
        ),
        # a pragma on the line already gets the names it lacks
        (
            '<img src="/static/b.png"> {# vettor: disable=C7000 #}\r\n',
            ["C7001"],
            '<img src="/static/b.png"> {# vettor: disable=C7000, hard-coded-static-url #}',
        ),
        (
            '<img src="/static/b.png"> {# vettor: disable=hard-coded-static-url #}\n',
            ["C7001"],
            '<img src="/static/b.png"> {# vettor: disable=hard-coded-static-url #}',
        ),
        # the line of a start tag that goes on below: Django drops the comment inside it too
        ('<img alt="x"\n', ["C7001"], '<img alt="x" {# vettor: disable=hard-coded-static-url #}'),
    ],
)
def test_pragma_request_puts_the_pragma_on_the_finding_line(line_text, codes, expected):
    text = "<p>\n" + line_text + "</p>\n"
    assert html_suggestions(text, 2, [SKIP, *codes]) == [(2, 2, expected)]
    # Django renders the line as it did, but for the space before the comment.
    def rendered(template):
        output = Engine().from_string(template).render(Context())
        return [line.rstrip() for line in output.splitlines()]

    assert rendered(apply(text, [(2, 2, expected)])) == rendered(text)


def test_no_pragma_after_a_template_comment_the_line_leaves_open():
    # Django would read "{# ... {# vettor: ... #}" as one comment and drop the text before it.
    assert html_suggestions('<img src="/static/b.png"> {# see\n', 1, [SKIP, "C7001"]) == []
