"""The fix of C7001: a hard-coded path below the static URL becomes Django's static tag.

Every rewrite is also rendered by Django's own template engine, before and after (in a child
process, so this process's Django stays unconfigured): the fixed template must give the
browser the very addresses the hard-coded one did.
"""
import json
import subprocess
import sys
import textwrap
from html.parser import HTMLParser
from urllib.parse import unquote

import pytest

from marked_findings import PROJECT
from vettor.staticanalysis.checkers import templates, urls

STATIC = "/static/"


def fix(html, static_url=STATIC):
    visitor = templates.build_transformer_visitor(
        message_ids={"C7001"}, settings={"STATIC_URL": static_url}
    )
    return visitor.visit(html)


# (text before, text after, static URL)
FIXED = [
    # The quotes around the value become single quotes around the tag.
    ('<img src="/static/img/logo.png">', "<img src='{% static \"img/logo.png\" %}'>", STATIC),
    ("<img src='/static/img/logo.png'>", "<img src='{% static \"img/logo.png\" %}'>", STATIC),
    ("<img src=/static/img/logo.png>", "<img src='{% static \"img/logo.png\" %}'>", STATIC),
    (
        '    <img class="logo" src="/static/img/logo.png" alt="Logo" width="40">\n',
        '    <img class="logo" src=\'{% static "img/logo.png" %}\' alt="Logo" width="40">\n',
        STATIC,
    ),
    (
        '<link rel="stylesheet" href="/static/css/site.css" media="all">',
        '<link rel="stylesheet" href=\'{% static "css/site.css" %}\' media="all">',
        STATIC,
    ),
    (
        '<script src="/static/js/app.js" defer></script>',
        "<script src='{% static \"js/app.js\" %}' defer></script>",
        STATIC,
    ),
    ('<img src="/static/a.png" />', "<img src='{% static \"a.png\" %}' />", STATIC),
    ('<IMG SRC="/static/a.png">', "<IMG SRC='{% static \"a.png\" %}'>", STATIC),
    ('<img src = "/static/a.png">', "<img src = '{% static \"a.png\" %}'>", STATIC),
    (
        '<video src="/static/v.mp4"><source src="/static/v.webm"><track src="/static/v.vtt">',
        "<video src='{% static \"v.mp4\" %}'><source src='{% static \"v.webm\" %}'>"
        "<track src='{% static \"v.vtt\" %}'>",
        STATIC,
    ),
    (
        '<input type="image" src="/static/go.png"><embed src="/static/a.swf">'
        '<audio src="/static/a.ogg">',
        '<input type="image" src=\'{% static "go.png" %}\'><embed src=\'{% static "a.swf" %}\'>'
        "<audio src='{% static \"a.ogg\" %}'>",
        STATIC,
    ),
    # Several tags on one line, the same value twice, and a value that begins a longer one.
    (
        '<img src="/static/a.png"><img src="/static/b.png"> <img src="/static/a.png">',
        "<img src='{% static \"a.png\" %}'><img src='{% static \"b.png\" %}'> "
        "<img src='{% static \"a.png\" %}'>",
        STATIC,
    ),
    (
        '<img src="/static/a.png"><img src="/static/a.png.bak">',
        "<img src='{% static \"a.png\" %}'><img src='{% static \"a.png.bak\" %}'>",
        STATIC,
    ),
    # Only the attribute is rewritten: the same text elsewhere stays as written.
    (
        '<img data-src="/static/a.png" src="/static/a.png"> /static/a.png '
        '<a href="/static/a.png">/static/a.png</a>',
        '<img data-src="/static/a.png" src=\'{% static "a.png" %}\'> /static/a.png '
        '<a href="/static/a.png">/static/a.png</a>',
        STATIC,
    ),
    (
        '<!-- <img src="/static/a.png"> --><img src="/static/a.png">',
        '<!-- <img src="/static/a.png"> --><img src=\'{% static "a.png" %}\'>',
        STATIC,
    ),
    # The static URL with or without its trailing slash, relative, or on another host.
    ('<img src="/static/img/logo.png">', "<img src='{% static \"img/logo.png\" %}'>", "/static"),
    ('<img src="/static/img/logo.png">', "<img src='{% static \"img/logo.png\" %}'>", "static/"),
    ('<img src="/assets/logo.png">', "<img src='{% static \"logo.png\" %}'>", "/assets/"),
    (
        '<img src="https://cdn.example.com/static/logo.png">',
        "<img src='{% static \"logo.png\" %}'>",
        "https://cdn.example.com/static/",
    ),
    # Only the leading static URL goes; a later occurrence is part of the path.
    (
        '<img src="/static/a/static/b.png">',
        "<img src='{% static \"a/static/b.png\" %}'>",
        STATIC,
    ),
    # The tag escapes its argument, so query, fragment and escapes are kept out of it.
    (
        '<script src="/static/app.js?v=3"></script>',
        "<script src='{% static \"app.js\" %}?v=3'></script>",
        STATIC,
    ),
    (
        '<script src="/static/app.js?v={{ version }}&amp;lang=en"></script>',
        "<script src='{% static \"app.js\" %}?v={{ version }}&amp;lang=en'></script>",
        STATIC,
    ),
    (
        '<link href="/static/amp.css?a=1&amp;b=2">',
        "<link href='{% static \"amp.css\" %}?a=1&amp;b=2'>",
        STATIC,
    ),
    (
        '<img src="/static/sprites.svg#home">',
        "<img src='{% static \"sprites.svg\" %}#home'>",
        STATIC,
    ),
    (
        '<img src="/static/my%20photo%C3%A9.png">',
        "<img src='{% static \"my photo\u00e9.png\" %}'>",
        STATIC,
    ),
    ('<img src="/static/caf\u00e9.png">', "<img src='{% static \"caf\u00e9.png\" %}'>", STATIC),
    ('<img src="/static/100%25.png">', "<img src='{% static \"100%.png\" %}'>", STATIC),
    # Positions count characters, not bytes.
    (
        '<p>Caf\u00e9 \U0001f600</p><img src="/static/a.png">',
        "<p>Caf\u00e9 \U0001f600</p><img src='{% static \"a.png\" %}'>",
        STATIC,
    ),
    # Commented-out markup is never served and stays as written; what follows is fixed.
    (
        '{# <img src="/static/old.png"> #}{% comment %}\n<img src="/static/old.png">\n'
        '{% endcomment %}<img src="/static/a.png">',
        '{# <img src="/static/old.png"> #}{% comment %}\n<img src="/static/old.png">\n'
        "{% endcomment %}<img src='{% static \"a.png\" %}'>",
        STATIC,
    ),
    # A start tag over several lines.
    (
        '<p>\n  <img\n    alt="x"\n    src="/static/a.png"\n  >\n</p>\n',
        '<p>\n  <img\n    alt="x"\n    src=\'{% static "a.png" %}\'\n  >\n</p>\n',
        STATIC,
    ),
]


# (text, static URL): the fix leaves these as they are.
UNCHANGED = [
    ('<a href="/static/a.png">', STATIC),
    # A link whose type names a page is no C7001, and so no fix.
    ('<link rel="alternate" type="application/rss+xml" href="/static/feed.xml">', STATIC),
    ('<link href="static/a.css">', STATIC),
    ('<link href="https://cdn.example.com/static/a.css">', "https://cdn.example.com/static/"),
    ('<iframe src="/static/a.html"></iframe>', STATIC),
    ('<img srcset="/static/a.png 2x">', STATIC),
    ('<img src="/media/a.png">', STATIC),
    ('<img src="">', STATIC),
    ("<img src>", STATIC),
    ("<img src=\"{% static 'a.png' %}\">", STATIC),
    # The static URL must end at a path boundary and stand at the value's start.
    ('<img src="/staticfiles/a.png">', "/static"),
    ('<img src="/staticfiles/a.png">', STATIC),
    ('<img src="/assets/static/a.png">', STATIC),
    ('<img src="https://cdn.example.com/static/a.png">', STATIC),
    ('<img src="/static/">', STATIC),
    ('<img src="/static/?v=1">', STATIC),
    ('<img src="/static//a.png">', STATIC),
    ('<img src="/static/%2Fetc.png">', STATIC),
    # Values the tag could not hold as written.
    ("<img src='/static/say\"hi\".png'>", STATIC),
    ('<img src="/static/it\'s.png">', STATIC),
    ('<img src="/static/a\\b.png">', STATIC),
    ('<img src="/static/a%22b.png">', STATIC),
    ('<img src="/static/a%ffb.png">', STATIC),
    ('<img src="/static/{{ name }}.png">', STATIC),
    ('<img src="/static/{% if big %}big{% endif %}.png">', STATIC),
    ("<img src=\"/static/a.png?v='3'\">", STATIC),
    # A character reference would be lost by the rewrite.
    ('<img src="/static/a&amp;b.png">', STATIC),
    ('<img src="&#47;static/a.png">', STATIC),
    # Raw text and unfinished tags are not start tags.
    ("<script>document.write('<img src=\"/static/a.png\">')</script>", STATIC),
    ('<img src="/static/a.png"', STATIC),
    # No static URL, no rewrite.
    ('<img src="/static/a.png">', ""),
    ('<img src="/static/a.png">', None),
    # The tokenizer of this interpreter gives up on an unknown marked section.
    ('<![foo[ x ]]><img src="/static/a.png">', STATIC),
]


class Attributes(HTMLParser):
    """Each start tag with its attributes, values read as addresses (a browser escapes the
    characters an address cannot hold, so é and %C3%A9 are one address)."""

    def __init__(self, text):
        super().__init__()
        self.tags = []
        self.feed(text)

    def handle_starttag(self, tag, attrs):
        self.tags.append((tag, [(name, value and unquote(value)) for name, value in attrs]))


RENDER = textwrap.dedent(
    """
    import json, sys
    import django
    from django.conf import settings
    settings.configure(
        STATIC_URL=sys.argv[1],
        INSTALLED_APPS=[],
        TEMPLATES=[{"BACKEND": "django.template.backends.django.DjangoTemplates"}],
    )
    django.setup()
    from django.template import Context, Template
    texts = json.load(sys.stdin)
    context = Context({"version": "3"})
    print(json.dumps([Template("{% load static %}" + text).render(context) for text in texts]))
    """
)


def django_static_url(static_url):
    # Django refuses a static URL without its trailing slash at start-up; the project means
    # the folder.
    return static_url if static_url.endswith("/") else static_url + "/"


@pytest.fixture(scope="module")
def rendered():
    """Each text of FIXED, before and after, as Django renders it with its static URL."""
    results = {}
    for static_url in {case[2] for case in FIXED}:
        texts = [text for *pair, url in FIXED if url == static_url for text in pair]
        process = subprocess.run(
            [sys.executable, "-c", RENDER, django_static_url(static_url)],
            input=json.dumps(texts),
            capture_output=True,
            text=True,
            check=True,
        )
        results.update(
            ((static_url, text), html) for text, html in zip(texts, json.loads(process.stdout))
        )
    return results


@pytest.mark.parametrize("before, after, static_url", FIXED)
def test_hard_coded_static_path_becomes_the_static_tag(before, after, static_url, rendered):
    assert fix(before, static_url) == after
    # The fixed template gives the same addresses, tag by tag.
    assert (
        Attributes(rendered[static_url, after]).tags
        == Attributes(rendered[static_url, before]).tags
    )


@pytest.mark.parametrize("html, static_url", UNCHANGED)
def test_values_the_fix_leaves_alone(html, static_url):
    assert fix(html, static_url) == html


def test_fixed_text_is_not_fixed_again():
    once = fix('<img src="/static/a.png"><link href="/static/b.css">')
    assert fix(once) == once
    twice = templates.build_transformer_visitor(["C7001", "C7001"], {"STATIC_URL": STATIC})
    assert twice.visit('<img src="/static/a.png">') == once.split("<link")[0]


def test_mutator_function_called_directly():
    visitor = templates.Visitor(settings={"STATIC_URL": STATIC})
    assert (
        templates.hard_coded_static_url_to_static_tag(
            html='<img src="/static/a.png">', visitor=visitor
        )
        == "<img src='{% static \"a.png\" %}'>"
    )


def test_static_url_is_read_only_for_a_collected_value():
    visitor = templates.Visitor({})
    assert templates.hard_coded_static_url_to_static_tag('<a href="/x/"><p>', visitor) == (
        '<a href="/x/"><p>'
    )
    with pytest.raises(KeyError):
        templates.hard_coded_static_url_to_static_tag('<img src="/static/a.png">', visitor)
    # A src without a value is passed over before the look-up.
    assert templates.hard_coded_static_url_to_static_tag("<img src>", visitor) == "<img src>"


# --- The collectors -------------------------------------------------------------------


def collected(html):
    mutator = templates.HardCodedStaticUrlToStaticTagHTMLMutator()
    mutator.feed(html)
    return mutator.results


@pytest.mark.parametrize(
    "html, results",
    [
        (
            '<img src="/static/a.png" src="b.png"><script src=""></script><video src>'
            '<audio src="https://cdn/x.ogg">',
            ["/static/a.png", "b.png", "", None, "https://cdn/x.ogg"],
        ),
        (
            '<link href="/static/a.css"><link href="b.css"><link href=""><link href>',
            ["/static/a.css"],
        ),
        ('<a href="/static/a.png"><iframe src="/static/a.html"><form action="/x">', []),
        ('<img src="/static/a&amp;b.png">', ["/static/a&b.png"]),
        ('<img src="/a.png"', []),
    ],
)
def test_collected_values(html, results):
    assert collected(html) == results


def test_collector_classes():
    mutator_class = templates.HardCodedStaticUrlToStaticTagHTMLMutator
    assert mutator_class.__mro__[1:3] == (templates.BaseHTMLMutator, HTMLParser)
    for alias in ("audio", "embed", "img", "input", "script", "source", "track", "video"):
        assert (
            mutator_class.__dict__["visit_" + alias]
            is mutator_class.__dict__["visit_element_with_src"]
        )
    assert not hasattr(mutator_class, "visit_a")
    # The tokenizer's own constructor runs with what the collector is given.
    mutator = templates.BaseHTMLMutator(convert_charrefs=False)
    assert mutator.results == [] and mutator.convert_charrefs is False
    with pytest.raises(TypeError):
        templates.BaseHTMLMutator(unknown=True)


# --- Visitor and build_transformer_visitor ---------------------------------------------


def test_visitor_threads_the_text_through_its_mutators():
    settings = {"STATIC_URL": STATIC}
    visitor = templates.Visitor(settings)
    assert visitor.settings is settings and visitor.mutators == []
    text = "<p>unchanged</p>"
    assert visitor.visit(text) is text

    calls = []

    def upper(html, visitor):
        calls.append(("upper", html, visitor))
        return html.upper()

    def wrap(html, visitor):
        calls.append(("wrap", html, visitor))
        return "[" + html + "]"

    visitor.mutators.extend([upper, wrap])
    assert visitor.visit(html="ab") == "[AB]"
    assert calls == [("upper", "ab", visitor), ("wrap", "AB", visitor)]


STATIC_FIX = "hard_coded_static_url_to_static_tag"
URL_FIX = "hard_coded_url_to_url_tag"


@pytest.mark.parametrize(
    "message_ids, fixes",
    [
        (["C7001"], [STATIC_FIX]),
        ({"C7000", "C7001", "C6002"}, [STATIC_FIX, URL_FIX]),
        (["C7000"], [URL_FIX]),
        (["C2003", "C9000"], []),
        ([], []),
        (["C7001", "C7001"], [STATIC_FIX, STATIC_FIX]),
        ((code for code in ["C7000", "C7001"]), [STATIC_FIX, URL_FIX]),
    ],
)
def test_build_transformer_visitor_keeps_the_template_fixes_only(message_ids, fixes):
    settings = {"STATIC_URL": STATIC}
    visitor = templates.build_transformer_visitor(message_ids=message_ids, settings=settings)
    assert isinstance(visitor, templates.Visitor)
    assert visitor.settings is settings
    assert sorted(visitor.mutators, key=lambda f: f.__name__) == [
        getattr(templates, name) for name in fixes]
    html = '<img src="/static/a.png"><a href="/a/">'
    fixed = "<img src='{% static \"a.png\" %}'><a href=\"/a/\">"
    # without the project's routes, a link stays as it is
    assert visitor.visit(html) == (fixed if STATIC_FIX in fixes else html)


def test_build_transformer_visitor_takes_the_module_function_at_call_time(monkeypatch):
    def stand_in(html, visitor):
        return html

    monkeypatch.setattr(templates, "hard_coded_static_url_to_static_tag", stand_in)
    assert templates.build_transformer_visitor(["C7001"], {}).mutators == [stand_in]


def test_base_collector_dispatches_start_tags_by_name():
    class Headings(templates.BaseHTMLMutator):
        def visit_h1(self, attrs):
            self.results.append(dict(attrs).get("id"))

    collector = Headings()
    collector.feed('<H1 id="top"><h2 id="no"><h1 id="end"/>')
    assert collector.results == ["top", "end"]


def static_findings(path):
    checker = templates.Checker()
    checker.check([str(path)])
    return [
        (r["line"], r["message"]["path"]) for r in checker.messages if r["message-id"] == "C7001"
    ]


def test_fixing_each_reported_line_of_a_template(tmp_path):
    """Line by line, as review suggestions fix a template: afterwards only the paths outside
    the static URL and the one written with a character reference are still reported."""
    template = PROJECT / "templates" / "pages" / "home.html"
    lines = template.read_text(encoding="utf-8").splitlines(keepends=True)
    for line, _ in static_findings(template):
        lines[line - 1] = fix(lines[line - 1])
    fixed = tmp_path / "home.html"
    fixed.write_text("".join(lines), encoding="utf-8")
    assert sorted(path for _, path in static_findings(fixed)) == [
        "/media/a.ogg",
        "/media/e.swf",
        "/media/v.mp4",
        "/media/v.vtt",
        "/media/v.webm",
        "/static/decoded.css",
    ]
    assert "<IMG SRC='{% static \"caps.png\" %}'>" in fixed.read_text(encoding="utf-8")
    # Raw script text is not a tag, and is left as it is.
    assert '<img src="/static/in-script.png">' in fixed.read_text(encoding="utf-8")


# ---------------------------------------------------------------------------------------
# The fix of C7000: a link that a named route serves becomes the url tag that names it.

ROUTED = PROJECT.parent / "routed_project"
ROUTES = urls.read_url_configuration(ROUTED, "site_config.urls")


def fix_links(html, routes=ROUTES):
    visitor = templates.build_transformer_visitor(
        message_ids={"C7000"}, settings={"STATIC_URL": STATIC, "ROUTES": routes})
    return visitor.visit(html)


FIXED_LINKS = [
    ('<a href="/shop/">Shop</a>', "<a href=\"{% url 'store:index' %}\">Shop</a>"),
    ("<a href='/shop/'>", "<a href=\"{% url 'store:index' %}\">"),
    ("<a href=/shop/>", "<a href=\"{% url 'store:index' %}\">"),
    ('<a class="x" href="/shop/?page=2#top">', "<a class=\"x\" href=\"{% url 'store:index' %}?page=2#top\">"),
    ('<a href="/shop/blue-shoes/">', "<a href=\"{% url 'store:product' 'blue-shoes' %}\">"),
    ('<a href="/archive/2020/">', "<a href=\"{% url 'archive' 2020 %}\">"),
    (
        '<a href="/accounts/login/?next={{ request.path }}">',
        "<a href=\"{% url 'login' %}?next={{ request.path }}\">",
    ),
    (
        '  <a href="/shop/">Shop</a> | <a href="/about/">About</a> | <a href="/archive/2021/">',
        "  <a href=\"{% url 'store:index' %}\">Shop</a> | <a href=\"/about/\">About</a> | "
        "<a href=\"{% url 'archive' 2021 %}\">",
    ),
]

UNCHANGED_LINKS = [
    # a route without a name: nothing to write in its place
    '<a href="/contact/">',
    # a variable may render what the route does not take, and the tag would then fail
    '<a href="/shop/{{ product.slug }}/">',
    # no route serves these
    '<a href="/about/">',
    '<a href="/media/report.pdf">',
    '<a href="/admin/">',
    # served through the redirect to the path with its slash: not the path written
    '<a href="/shop">',
    # a character reference would be lost, a quote would end the attribute
    '<a href="&#47;shop/">',
    "<a href='/shop/?q=\"x\"'>",
    # not a link, or never rendered
    '<link rel="next" href="/shop/">',
    '{# <a href="/shop/"> #}',
    "<script>document.write('<a href=\"/shop/\">')</script>",
]

RENDER_LINKS = textwrap.dedent(
    """
    import json, sys
    sys.path.insert(0, sys.argv[1])
    import django
    from django.conf import settings
    settings.configure(
        ROOT_URLCONF="site_config.urls",
        INSTALLED_APPS=["django.contrib.admin", "django.contrib.auth",
                        "django.contrib.contenttypes", "django.contrib.sessions",
                        "django.contrib.messages"],
        TEMPLATES=[{"BACKEND": "django.template.backends.django.DjangoTemplates"}],
        MEDIA_URL="/media/", MEDIA_ROOT="media", SECRET_KEY="only-for-rendering",
    )
    django.setup()
    from django.template import Context, Template
    texts = json.load(sys.stdin)
    context = Context({"request": {"path": "/here/"}})
    print(json.dumps([Template(text).render(context) for text in texts]))
    """
)


@pytest.fixture(scope="module")
def rendered_links():
    texts = [text for pair in FIXED_LINKS for text in pair]
    process = subprocess.run(
        [sys.executable, "-c", RENDER_LINKS, str(ROUTED)],
        input=json.dumps(texts),
        capture_output=True,
        text=True,
        check=True,
    )
    return dict(zip(texts, json.loads(process.stdout)))


@pytest.mark.parametrize("before, after", FIXED_LINKS)
def test_a_link_a_named_route_serves_becomes_the_url_tag(before, after, rendered_links):
    assert fix_links(before) == after
    # Django renders the fixed template with the very addresses of the hard-coded one.
    assert Attributes(rendered_links[after]).tags == Attributes(rendered_links[before]).tags


@pytest.mark.parametrize("html", UNCHANGED_LINKS)
def test_links_the_fix_leaves_alone(html):
    assert fix_links(html) == html


def test_without_routes_no_link_is_fixed():
    html = '<a href="/shop/">'
    assert fix_links(html, routes=None) == html
    visitor = templates.Visitor({"STATIC_URL": STATIC})
    assert templates.hard_coded_url_to_url_tag(html=html, visitor=visitor) == html
    assert fix_links(fix_links(html)) == fix_links(html)
