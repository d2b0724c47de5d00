"""Template rules: C7000 hard-coded link targets, C7001 hard-coded static paths."""
import logging

import pytest

from marked_findings import (
    PROJECT,
    TEMPLATE_FILES,
    expected_findings,
    finding,
    ordered,
    project_findings,
    project_records,
)
from vettor.staticanalysis import checker as driver
from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import templates, urls


KEYS = ["path", "line", "message", "type", "column", "module", "symbol", "hint", "message-id"]

# The routes of the fixture project, which serve the links of the templates below.
ROUTES = urls.read_url_configuration(PROJECT, "app.site_urls")


def check(paths, routes=ROUTES):
    checker = templates.Checker()
    checker.routes = routes
    checker.check([str(path) for path in paths])
    return checker.messages


def served(path, route, name, url_tag=None):
    """The record of a link that a route of the fixture project serves."""
    if url_tag is None and name is not None:
        url_tag = f"{{% url '{name}' %}}"
    return {"path": path, "route": route, "module": "app.site_urls", "name": name,
            "url_tag": url_tag}


ABOUT = served("/about/", "about/", "about")


def findings_by_path(messages):
    results = {}
    for record in messages:
        results.setdefault(record["path"], []).append(
            finding(record["line"], record["column"], record["message-id"], record["message"])
        )
    return results


def test_findings_of_the_fixture_templates():
    paths = [PROJECT / path for path in TEMPLATE_FILES]
    reported = findings_by_path(check(paths))
    for path in paths:
        expected = (
            expected_findings(path, "C7") if path.name not in ("latin1.html", "broken.html") else []
        )
        # Document order within a file is position order.
        assert reported.get(str(path), []) == ordered(expected), path
    assert list(reported) == [str(p) for p in paths if p.name in ("home.html", "second.html")]


@pytest.mark.parametrize("path", TEMPLATE_FILES)
def test_findings_through_the_lint_driver(path):
    skipped = path.endswith(("latin1.html", "broken.html"))
    expected = [] if skipped else expected_findings(PROJECT / path, "C7")
    assert project_findings()[path] == ordered(expected)


def test_template_records_through_the_lint_driver():
    records = [r for r in project_records() if r["message-id"].startswith("C7")]
    assert records
    # Template findings come after every Python finding, in file and document order.
    assert project_records()[-len(records) :] == records
    assert [r["path"] for r in records] == sorted(r["path"] for r in records)
    for record in records:
        assert list(record) == KEYS
        assert [record[key] for key in ("type", "module", "symbol", "hint")] == [None] * 4


def write(tmp_path, name, text):
    path = tmp_path / name
    path.write_text(text, encoding="utf-8")
    return str(path)


def test_record_keys_order_and_values(tmp_path):
    path = write(
        tmp_path, "page.html", "<p>\n\n    <img src=\"/static/logo.png\">\n<a href='/about/'>x</a>"
    )
    first, second = check([path])
    assert list(first) == KEYS
    assert first == {
        "path": path,
        "line": 3,
        "message": {"path": "/static/logo.png"},
        "type": None,
        "column": 4,
        "module": None,
        "symbol": None,
        "hint": None,
        "message-id": "C7001",
    }
    assert list(second) == KEYS
    assert second == {
        "path": path,
        "line": 4,
        "message": ABOUT,
        "type": None,
        "column": 0,
        "module": None,
        "symbol": None,
        "hint": None,
        "message-id": "C7000",
    }


def test_the_path_comes_back_exactly_as_given(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write(tmp_path, "page.html", '<img src="/static/x.png">')
    (tmp_path / "sub").mkdir()
    write(tmp_path / "sub", "page.html", '<img src="/static/x.png">')
    messages = check(["./page.html", "sub/../sub/page.html"])
    assert [m["path"] for m in messages] == ["./page.html", "sub/../sub/page.html"]


def test_findings_without_arguments_share_one_empty_mapping(tmp_path):
    class Checker(templates.Checker):
        def visit_p(self, attrs):
            self.add_message(templates.Codes.C7000)

    checker = Checker()
    checker.check([write(tmp_path, "a.html", "<p>a</p><p>b</p>")])
    first = checker.messages
    checker.check([write(tmp_path, "b.html", "<p>c</p>")])
    records = first + checker.messages
    assert all(record["message"] == {} for record in records)
    assert len({id(record["message"]) for record in records}) == 1


def test_several_files_restart_lines_and_keep_file_order(tmp_path):
    one = write(tmp_path, "one.html", '\n\n<img src="/one.png">\n<img src="/two.png">')
    two = write(tmp_path, "two.html", '<img src="/three.png">\n')
    three = write(tmp_path, "three.html", 'x <a href="/four/">four</a>')
    messages = check([one, two, three])
    assert [(m["path"], m["line"], m["column"]) for m in messages] == [
        (one, 3, 0),
        (one, 4, 0),
        (two, 1, 0),
        (three, 1, 2),
    ]


def test_undecodable_and_unparsable_templates_are_skipped_with_a_warning(tmp_path, caplog):
    before = write(tmp_path, "before.html", '<img src="/before.png">')
    latin = tmp_path / "latin.html"
    latin.write_bytes(b'<p>caf\xe9</p><img src="/latin.png">')
    broken = write(
        tmp_path, "broken.html", '<img src="/lost.png">\n<![foo[ x ]]>\n<img src="/lost2.png">'
    )
    after = write(tmp_path, "after.html", '<img src="/after.png">')
    with caplog.at_level(logging.WARNING, logger="vettor.staticanalysis.checkers.templates"):
        messages = check([before, latin, broken, after])
    assert [(m["path"], m["message"]) for m in messages] == [
        (before, {"path": "/before.png"}),
        (after, {"path": "/after.png"}),
    ]
    warnings = [r for r in caplog.records if r.name == "vettor.staticanalysis.checkers.templates"]
    assert [r.levelno for r in warnings] == [logging.WARNING, logging.WARNING]
    assert str(latin) in warnings[0].getMessage() and "UTF-8" in warnings[0].getMessage()
    assert broken in warnings[1].getMessage() and "line 2" in warnings[1].getMessage()


def test_templates_are_read_as_utf8_whatever_the_locale(tmp_path):
    # Django's template encoding is UTF-8; an ASCII locale must not make a template unreadable.
    import os
    import subprocess
    import sys

    path = tmp_path / "page.html"
    path.write_bytes('<p>caf\u00e9</p>\n<img src="/static/caf\u00e9.png">'.encode("utf-8"))
    script = (
        "import locale, sys\n"
        "assert locale.getpreferredencoding(False).lower() not in ('utf-8', 'utf8')\n"
        "from vettor.staticanalysis.checkers import templates\n"
        "checker = templates.Checker()\n"
        "checker.check([sys.argv[1]])\n"
        "print(ascii([(m['line'], m['column'], m['message']) for m in checker.messages]))\n"
    )
    env = dict(os.environ, LC_ALL="C", LANG="C", PYTHONCOERCECLOCALE="0", PYTHONUTF8="0")
    result = subprocess.run(
        [sys.executable, "-c", script, str(path)],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    )
    assert result.stdout.strip() == ascii([(2, 0, {"path": "/static/caf\u00e9.png"})])


@pytest.mark.parametrize("unreadable", ["missing.html", "folder.html", "dangling.html"])
def test_a_template_that_cannot_be_read_is_skipped_with_a_warning(tmp_path, caplog, unreadable):
    first = write(tmp_path, "first.html", '<img src="/first.png">')
    later = write(tmp_path, "later.html", '<img src="/later.png">')
    (tmp_path / "folder.html").mkdir()
    (tmp_path / "dangling.html").symlink_to(tmp_path / "gone.html")
    checker = templates.Checker()
    checker.check([first, str(tmp_path / unreadable), later])
    assert [(m["path"], m["message"]) for m in checker.messages] == [
        (first, {"path": "/first.png"}),
        (later, {"path": "/later.png"}),
    ]
    (warning,) = [r for r in caplog.records if r.levelname == "WARNING"]
    assert warning.getMessage().startswith(f"Skipped template {tmp_path / unreadable}: it cannot be read (")


SRC_TAGS = ["audio", "embed", "img", "input", "script", "source", "track", "video"]


def test_the_src_tags_share_one_visit_function():
    shared = templates.Checker.__dict__["visit_element_with_src"]
    for tag in SRC_TAGS:
        assert templates.Checker.__dict__[f"visit_{tag}"] is shared


@pytest.mark.parametrize("tag", SRC_TAGS + ["element_with_src"])
def test_each_src_tag_is_checked(tmp_path, tag):
    path = write(tmp_path, "page.html", f'<div>\n <{tag} src="/media/file" href="/x/"></{tag}>')
    assert [(m["line"], m["column"], m["message-id"], m["message"]) for m in check([path])] == [
        (2, 1, "C7001", {"path": "/media/file"})
    ]


TAG_CASES = [
    ('<a href="/about/">', [("C7000", ABOUT)]),
    ('<A HREF="/about/">', [("C7000", ABOUT)]),
    ('<link href="/static/site.css">', [("C7001", {"path": "/static/site.css"})]),
    ('<link href="&#47;static/site.css">', [("C7001", {"path": "/static/site.css"})]),
    ('<link href="&#x2F;s.css?a=1&amp;b=2">', [("C7001", {"path": "/s.css?a=1&b=2"})]),
    ('<img src="/a.png"/>', [("C7001", {"path": "/a.png"})]),
    ('<img src="/a.png" />', [("C7001", {"path": "/a.png"})]),
    ("<img src=/bare.png>", [("C7001", {"path": "/bare.png"})]),
    (
        '<img src="/a.png" src="/b.png">',
        [("C7001", {"path": "/a.png"}), ("C7001", {"path": "/b.png"})],
    ),
    ('<a href="/">', []),
    ('<a href="">', []),
    ("<a href>", []),
    ('<a href="//cdn.example.com/x">', []),
    ('<a href="about/">', []),
    ('<a href="https://example.com/about/">', []),
    ("<a href=\"{% url 'about' %}\">", []),
    ('<a src="/a.png">', []),
    ('<link src="/a.css">', []),
    ('<iframe src="/frame/">', []),
    ('<form action="/submit/">', []),
    ('<img srcset="/big.png 2x">', []),
    ("<script>var s = '<img src=\"/in-script.png\">';</script>", []),
    ('<img src="/unterminated.png"', []),
    # Nothing is hard-coded but the slash: the path is a template value.
    ('<a href="/posts/{{ post.slug }}/">', [("C7000", served(
        "/posts/{{ post.slug }}/", "posts/<slug:slug>/", "post", "{% url 'post' post.slug %}"))]),
    ('<a href="/{{ lang }}/about/">', [("C7000", served(
        "/{{ lang }}/about/", "<slug:lang>/about/", "localized-about",
        "{% url 'localized-about' lang %}"))]),
    ('<a href="/{{ result.path }}">', []),
    ("<a href=\"/{% url 'about' %}\">", []),
    ('<a href="/{{ a }}/{{ b }}?page=2">', []),
    ('<img src="/{{ photo.url }}">', []),
    # A link type that names a page is a route, not a file the page loads.
    ('<link rel="author" href="/humans.txt">', []),
    ('<link rel="canonical" href="/posts/1/">', []),
    ('<link rel="alternate" type="application/rss+xml" href="/feed/">', []),
    ('<link rel="next" href="/page/2/"><link rel="PREV" href="/page/1/">', []),
    ('<link rel="license help search" href="/terms/">', []),
    ('<link rel="alternate stylesheet" href="/static/dark.css">',
     [("C7001", {"path": "/static/dark.css"})]),
    ('<link rel="icon" href="/favicon.ico">', [("C7001", {"path": "/favicon.ico"})]),
    ('<link rel="" href="/static/a.css">', [("C7001", {"path": "/static/a.css"})]),
]


@pytest.mark.parametrize("html, expected", TAG_CASES)
def test_tags_and_attributes(tmp_path, html, expected):
    path = write(tmp_path, "page.html", html)
    assert [(m["message-id"], m["message"]) for m in check([path])] == expected


# Django never renders its comments; what stands after them keeps its line and column.
COMMENT_CASES = [
    ('{# <a href="/a/"> #}<a href="/b/">', [(1, 20, "C7000", served("/b/", "b/", "b"))]),
    ('{% comment %}<a href="/a/">{% endcomment %}<img src="/b.png">', [(1, 43, "C7001", {"path": "/b.png"})]),
    (
        '{% comment "why" %}\n<a href="/a/">\n<img src="/a.png">\n{% endcomment %}\n<a href="/b/">',
        [(5, 0, "C7000", served("/b/", "b/", "b"))],
    ),
    ('{%comment%}{# nested #}<a href="/a/">{%endcomment%}', []),
    # A comment spans no line break, so this is text, and its tag is rendered.
    ('{# one\n<a href="/a/"> #}', [(2, 0, "C7000", served("/a/", "a/", "a"))]),
    # Inside verbatim nothing is a comment: the text is rendered as written.
    ('{% verbatim %}{# <a href="/a/"> #}{% endverbatim %}', [(1, 17, "C7000", served("/a/", "a/", "a"))]),
    ('{% verbatim %}{% comment %}{% endverbatim %}<a href="/a/">', [(1, 44, "C7000", served("/a/", "a/", "a"))]),
    # A comment block never closed: the template does not load, so nothing of it is shown.
    ('<a href="/a/">{% comment %}<a href="/b/">', [(1, 0, "C7000", served("/a/", "a/", "a"))]),
    ('<a href="/a/" {# note #}>', [(1, 0, "C7000", served("/a/", "a/", "a"))]),
    ('<p>{{ "{#" }}</p><a href="/a/">', [(1, 17, "C7000", served("/a/", "a/", "a"))]),
]


@pytest.mark.parametrize("html, expected", COMMENT_CASES)
def test_template_comments_are_never_checked(tmp_path, html, expected):
    path = write(tmp_path, "page.html", html)
    assert [(m["line"], m["column"], m["message-id"], m["message"]) for m in check([path])] == expected


# A {# vettor: disable=... #} comment silences what it names on its own line.
PRAGMA_CASES = [
    ('<a href="/a/"> {# vettor: disable=hard-coded-url #}', []),
    ('<a href="/a/"> {# vettor: disable=C7000 #}', []),
    ('{#vettor:disable=C7001,hard-coded-url#}<a href="/a/"><img src="/a.png">', []),
    ('<a href="/a/"><img src="/a.png"> {# vettor: disable = all #}', []),
    ('<a href="/a/"><img src="/a.png"> {# keep: vettor: disable=C7000 #}', [(1, 14, "C7001")]),
    # names read as disable reads them: a category letter, a code in either case
    ('<a href="/a/"><img src="/a.png"> {# vettor: disable=C #}', []),
    ('<a href="/a/"> {# vettor: disable=c7000 #}', []),
    ('<a href="/a/"> {# vettor: disable=W #}', [(1, 0, "C7000")]),
    ('<a href="/a/"> {# vettor: disable=C70 #}', [(1, 0, "C7000")]),
    # another code, another line, another kind of comment: the finding stays
    ('<a href="/a/"> {# vettor: disable=hard-coded-static-url #}', [(1, 0, "C7000")]),
    ('{# vettor: disable=hard-coded-url #}\n<a href="/a/">', [(2, 0, "C7000")]),
    ('<a href="/a/"> <!-- vettor: disable=hard-coded-url -->', [(1, 0, "C7000")]),
    ('<a href="/a/"> {# vettor: disable= #}', [(1, 0, "C7000")]),
    ('<a href="/a/"> {% comment %}vettor: disable=C7000{% endcomment %}', [(1, 0, "C7000")]),
    # a tag over several lines: its first line
    ('<img\n src="/a.png"> {# vettor: disable=C7001 #}', [(1, 0, "C7001")]),
    ('<img {# vettor: disable=C7001 #}\n src="/a.png">', []),
]


@pytest.mark.parametrize("html, expected", PRAGMA_CASES)
def test_a_pragma_silences_the_findings_of_its_line(tmp_path, html, expected):
    path = write(tmp_path, "page.html", html)
    assert [(m["line"], m["column"], m["message-id"]) for m in check([path])] == expected


def test_a_pragma_holds_in_its_own_template_only(tmp_path):
    first = write(tmp_path, "a.html", '<a href="/a/"> {# vettor: disable=all #}')
    second = write(tmp_path, "b.html", '<a href="/b/">')
    assert [m["path"] for m in check([first, second])] == [str(second)]


def test_a_tag_over_several_lines_is_reported_at_its_start(tmp_path):
    path = write(
        tmp_path, "page.html", '<p>\n  <img\n    alt="x"\n    src="/multi.png"\n  >\n<a href="/x/">'
    )
    assert [(m["line"], m["column"]) for m in check([path])] == [(2, 2), (6, 0)]


def test_check_starts_a_new_list_each_call(tmp_path):
    checker = templates.Checker()
    checker.check([])
    assert checker.messages == []
    assert not hasattr(checker, "current_file_path")
    checker.check([write(tmp_path, "a.html", '<img src="/a.png">')])
    first = checker.messages
    checker.check([write(tmp_path, "b.html", '<img src="/b.png">')])
    assert checker.messages is not first
    assert [m["message"] for m in first] == [{"path": "/a.png"}]
    assert [m["message"] for m in checker.messages] == [{"path": "/b.png"}]
    assert checker.current_file_path == str(tmp_path / "b.html")
    assert checker.getpos() == (1, 0)


def test_dispatch_goes_by_attribute_name(tmp_path):
    class Checker(templates.Checker):
        def visit_p(self, attrs):
            self.add_message(templates.Codes.C7000, args={"attrs": attrs})

    checker = Checker()
    checker.check([write(tmp_path, "page.html", '<P Class="X" hidden>')])
    assert [m["message"] for m in checker.messages] == [
        {"attrs": [("class", "X"), ("hidden", None)]}
    ]


@pytest.mark.parametrize(
    "value, answer",
    [
        ("/static/x.png", True),
        ("/a", True),
        ("/", False),
        ("//cdn/x", False),
        ("static/x.png", False),
        ("https://example.com/", False),
        ("/posts/{{ post.slug }}/", True),
        ("/{{ result.path }}", False),
        ("/{% url 'x' %}", False),
        ("/{{ a }}/{{ b }}#top", False),
        ("", ""),
        (None, None),
    ],
)
def test_is_hardcoded_path(value, answer):
    result = templates.is_hardcoded_path(value)
    assert result == answer and type(result) is type(answer)


def test_checker_declaration():
    from html.parser import HTMLParser

    assert issubclass(templates.Checker, templates.BaseTemplateChecker)
    assert issubclass(templates.BaseTemplateChecker, HTMLParser)
    assert [(code, symbol, text) for code, (_, symbol, text) in templates.Checker.msgs.items()] == [
        ("C7000", "hard-coded-url", "Check if hard-coded url is used in template"),
        ("C7001", "hard-coded-static-url", "Check if hard-coded static url is used in template"),
    ]
    assert all(
        type(text) is helpers.context_string for text, _, _ in templates.Checker.msgs.values()
    )
    assert (templates.Codes.C7000, templates.Codes.C7001) == ("C7000", "C7001")


def test_checker_pickles_by_name():
    import pickle

    assert pickle.loads(pickle.dumps(templates.Checker)) is templates.Checker


# ---------------------------------------------------------------------------------------
# Which links a route serves

ROUTED = PROJECT.parent / "routed_project"


def test_a_link_is_reported_only_where_a_route_of_the_project_serves_it():
    # Beside a flat page (/about/, served by the fallback middleware, by no route), the links
    # that routes serve: an unnamed route, a named one through include() with a namespace,
    # one of Django's own URL modules, a regular expression; each says how to write it.
    template = "templates/base.html"
    records = driver.get_messages(str(ROUTED), {template: None}, jobs=1)
    found = [finding(r["line"], r["column"], r["message-id"], r["message"]) for r in records]
    assert found == ordered(expected_findings(ROUTED / template, "C7"))
    assert {r["message"]["path"] for r in records} == {
        "/shop/", "/contact/", "/shop/{{ product.slug }}/", "/accounts/login/?next=/shop/",
        "/archive/2020/"}


def test_without_the_project_routes_no_link_is_judged(tmp_path):
    path = write(tmp_path, "page.html", '<a href="/about/">About</a><img src="/static/a.png">')
    assert [m["message-id"] for m in check([path], routes=None)] == ["C7001"]
    # Nor through the lint driver, without a project root or with a project without settings.
    assert [m["message-id"] for m in driver.get_html_messages({path: None})] == ["C7001"]
    assert [m["message-id"] for m in driver.get_html_messages(
        {"page.html": None}, project_root=str(tmp_path))] == ["C7001"]


def test_the_configuration_may_name_the_root_url_configuration(tmp_path):
    (tmp_path / "routes.py").write_text(
        "from django.urls import path\n\nurlpatterns = [path('about/', None, name='about')]\n")
    write(tmp_path, "page.html", '<a href="/about/">About</a>')
    found = driver.get_html_messages(
        {"page.html": None}, {"root-urlconf": "routes"}, project_root=str(tmp_path))
    assert [m["message"]["url_tag"] for m in found] == ["{% url 'about' %}"]


LINK_URLS = {
    "site/__init__.py": "",
    "site/views.py": "",
    "site/urls.py": """\
from django.conf import settings
from django.conf.urls.i18n import i18n_patterns
from django.contrib import admin
from django.urls import include, path, re_path
from django.views.static import serve

from . import views

urlpatterns = [
    path("admin/", admin.site.urls),
    path("", views.home, name="home"),
    path("contact/", views.contact),
    path("blog/", include("site.blog_urls")),
    path("news/", include(("site.blog_urls", "blog"), namespace="news")),
    re_path(r"^archive/(?P<year>[0-9]{4})/(?P<month>[0-9]{2})/$", views.archive, name="archive"),
    re_path(r"^media/(?P<path>.*)$", serve),
    path("twice/", views.twice, name="twice"),
    path("twice/<int:page>/", views.twice, name="twice"),
    path("first/", views.first),
    path("first/", views.first, name="first"),
    path("vendor/", include("vendor.urls")),
    path("n/<int:pk>/", views.number, name="number"),
    path("caf\\u00e9/", views.cafe, name="cafe"),
    re_path(r"^colou?r/$", views.color, name="color"),
    re_path(r"feed/$", views.feed, name="feed"),
    re_path(r"rss/", views.feed, name="rss"),
]
urlpatterns += i18n_patterns(path("about/", views.about, name="about"))
if settings.DEBUG:
    urlpatterns += [path("debug/", views.debug, name="debug")]
# A page server that takes every path: it names no page.
urlpatterns.append(re_path(r"^((?:[\\w\\-]+/)*)$", views.page, name="page"))
""",
    "site/blog_urls.py": """\
from django.urls import path

from . import views

app_name = "blog"
urlpatterns = [
    path("", views.index, name="index"),
    path("<int:pk>/", views.detail, name="detail"),
    path("<int:year>/<slug:slug>/", views.post, name="post"),
]
""",
}


@pytest.fixture(scope="module")
def link_routes(tmp_path_factory):
    root = tmp_path_factory.mktemp("links")
    for name, text in LINK_URLS.items():
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        (root / name).write_text(text, encoding="utf-8")
    return urls.read_url_configuration(root, "site.urls")


# link: (name, arguments, url tag, exact) of the route that serves it, or None
LINK_CASES = [
    ("/contact/", (None, [], None, False)),
    ("/blog/", ("blog:index", [], "{% url 'blog:index' %}", True)),
    ("/blog/?page=2#top", ("blog:index", [], "{% url 'blog:index' %}", True)),
    ("/blog/7/", ("blog:detail", ["7"], "{% url 'blog:detail' 7 %}", True)),
    ("/blog/{{ post.pk }}/", ("blog:detail", ["post.pk"], "{% url 'blog:detail' post.pk %}", False)),
    ("/news/{{ post.pk }}/", ("news:detail", ["post.pk"], "{% url 'news:detail' post.pk %}", False)),
    ("/blog/{{ y }}/{{ post.slug }}/",
     ("blog:post", ["y", "post.slug"], "{% url 'blog:post' y post.slug %}", False)),
    ("/blog/2020/{{ a }}-{{ b }}/", ("blog:post", ["2020", "..."], "{% url 'blog:post' 2020 ... %}", False)),
    ("/archive/2020/05/", ("archive", ["2020", "'05'"], "{% url 'archive' 2020 '05' %}", True)),
    ("/archive/{{ y }}/{{ m }}/", ("archive", ["y", "m"], "{% url 'archive' y m %}", False)),
    ("/caf%C3%A9/", ("cafe", [], "{% url 'cafe' %}", True)),
    # another route of the same name: the tag may give the other one
    ("/twice/", ("twice", [], "{% url 'twice' %}", False)),
    # the first route that matches serves the link
    ("/first/", (None, [], None, False)),
    # the path without its final slash is redirected to the route's
    ("/contact", (None, [], None, False)),
    ("/blog", ("blog:index", [], "{% url 'blog:index' %}", False)),
    # i18n_patterns: with the language prefix, or without it (redirected)
    ("/en/about/", ("about", [], "{% url 'about' %}", False)),
    ("/about/", ("about", [], "{% url 'about' %}", False)),
    ("/{{ LANGUAGE_CODE }}/about/", ("about", [], "{% url 'about' %}", False)),
    ("/debug/", ("debug", [], "{% url 'debug' %}", True)),
    # an optional character; an endpoint expression ending in "$" matches the whole rest, one
    # without it is searched for anywhere in it (the tag then gives rss/ from the root)
    ("/color/", ("color", [], "{% url 'color' %}", False)),
    ("/colour/", ("color", [], "{% url 'color' %}", False)),
    ("/feed/", ("feed", [], "{% url 'feed' %}", True)),
    ("/any/feed/", None),
    ("/any/rss/more", ("rss", [], "{% url 'rss' %}", False)),
    # served by Django's static file view, by an included module that cannot be read, by the
    # page server, or by no route at all
    ("/media/report.pdf", None),
    ("/vendor/", None),
    ("/vendor/x/y/", None),
    ("/admin/", None),
    ("/team/", None),
    ("/team/people/", None),
    # a variable takes a parameter's place only: it does not stand for a route's own text
    ("/{{ section }}/", None),
    ("/n/{{ x }}/", ("number", ["x"], "{% url 'number' x %}", False)),
    ("/n/x/", None),
    # more variables than are tried, or other template syntax
    ("/blog/{{ a }}/{{ b }}/{{ c }}/{{ d }}/", None),
    ("/blog/{% if a %}1{% endif %}/", None),
    ("blog/", None),
]


@pytest.mark.parametrize("link, expected", LINK_CASES)
def test_the_route_that_serves_a_link(link_routes, link, expected):
    found = templates.get_link_route(link, link_routes)
    if expected is None:
        assert found is None
        return
    assert found is not None
    name, arguments, url_tag, exact = expected
    assert (found["route"]["name"], found["arguments"], found["url_tag"], found["exact"]) == (
        name, arguments, url_tag, exact)


def test_no_routes_serve_no_link():
    assert templates.get_link_route("/about/", None) is None
    assert templates.get_link_route("/about/", []) is None


def test_a_url_configuration_that_fails_to_be_read_costs_the_links_only(tmp_path, monkeypatch, caplog):
    def fail(project_root, root_urlconf):
        raise RuntimeError("unreadable")

    monkeypatch.setattr(urls, "read_url_configuration", fail)
    write(tmp_path, "page.html", '<a href="/about/">About</a><img src="/static/a.png">')
    found = driver.get_html_messages(
        {"page.html": None}, {"root-urlconf": "routes"}, project_root=str(tmp_path))
    assert [m["message-id"] for m in found] == ["C7001"]
    assert "no link is judged: unreadable" in caplog.text
