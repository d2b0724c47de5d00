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
from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import templates


KEYS = ["path", "line", "message", "type", "column", "module", "symbol", "hint", "message-id"]


def check(paths):
    checker = templates.Checker()
    checker.check([str(path) for path in paths])
    return checker.messages


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
        "message": {"path": "/about/"},
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
    ('<a href="/about/">', [("C7000", {"path": "/about/"})]),
    ('<A HREF="/about/">', [("C7000", {"path": "/about/"})]),
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
    ('<a href="/posts/{{ post.slug }}/">', [("C7000", {"path": "/posts/{{ post.slug }}/"})]),
    ('<a href="/{{ lang }}/about/">', [("C7000", {"path": "/{{ lang }}/about/"})]),
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
    ('{# <a href="/a/"> #}<a href="/b/">', [(1, 20, "C7000", {"path": "/b/"})]),
    ('{% comment %}<a href="/a/">{% endcomment %}<img src="/b.png">', [(1, 43, "C7001", {"path": "/b.png"})]),
    (
        '{% comment "why" %}\n<a href="/a/">\n<img src="/a.png">\n{% endcomment %}\n<a href="/b/">',
        [(5, 0, "C7000", {"path": "/b/"})],
    ),
    ('{%comment%}{# nested #}<a href="/a/">{%endcomment%}', []),
    # A comment spans no line break, so this is text, and its tag is rendered.
    ('{# one\n<a href="/a/"> #}', [(2, 0, "C7000", {"path": "/a/"})]),
    # Inside verbatim nothing is a comment: the text is rendered as written.
    ('{% verbatim %}{# <a href="/a/"> #}{% endverbatim %}', [(1, 17, "C7000", {"path": "/a/"})]),
    ('{% verbatim %}{% comment %}{% endverbatim %}<a href="/a/">', [(1, 44, "C7000", {"path": "/a/"})]),
    # A comment block never closed: the template does not load, so nothing of it is shown.
    ('<a href="/a/">{% comment %}<a href="/b/">', [(1, 0, "C7000", {"path": "/a/"})]),
    ('<a href="/a/" {# note #}>', [(1, 0, "C7000", {"path": "/a/"})]),
    ('<p>{{ "{#" }}</p><a href="/a/">', [(1, 17, "C7000", {"path": "/a/"})]),
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
