"""URL rules: C6001 duplicate URL names, C6002 reverse_lazy where reverse would do."""
import astroid
import pytest

from marked_findings import (
    PROJECT,
    expected_findings,
    lint_with_checker,
    ordered,
    project_findings,
)
from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import urls


FILES = [
    "app/urls.py",
    "app/more_urls.py",
    "app/legacy_urls.py",
    "app/include_first_urls.py",
    "app/re_path_only_urls.py",
    "app/routes.py",
    "app/views.py",
    "app/namespaced_urls.py",
]


def test_findings_of_the_url_checker_alone():
    # One linter over every module: the names seen are remembered per module only.
    paths = [(PROJECT / path).resolve() for path in FILES]
    reported = lint_with_checker(urls.Checker, paths)
    for path in paths:
        assert ordered(reported[str(path)]) == ordered(expected_findings(path, "C6")), path


@pytest.mark.parametrize("path", FILES)
def test_findings_through_the_lint_driver(path):
    reported = [f for f in project_findings()[path] if f[2].startswith("C6")]
    assert ordered(reported) == ordered(expected_findings(PROJECT / path, "C6"))


URLS_MODULE_CASES = [
    ("from django.urls import path\nurlpatterns = []", True),
    ("from django.urls import path as p\nurlpatterns = []", True),
    ("from django.conf.urls import url\nurlpatterns = []", True),
    ("import os\nfrom os import path\nfrom django.urls import path\nurlpatterns = []", True),
    ("from django.urls import re_path\nurlpatterns = []", False),
    ("from django.urls import include\nfrom django.urls import path\nurlpatterns = []", False),
    ("from django.urls import path\npatterns = []", False),
    ("urlpatterns = []", False),
    ("def f():\n    from django.urls import path\nurlpatterns = []", True),
]


@pytest.mark.parametrize("source, answer", URLS_MODULE_CASES)
def test_is_urls_module(source, answer):
    assert urls.is_urls_module(astroid.parse(source)) is answer


REVERSE_LAZY_CASES = [
    # Evaluated while the module is imported.
    ("x = reverse_lazy('a')", False),
    ("if x:\n    y = reverse_lazy('a')", False),
    ("with x:\n    y = reverse_lazy('a')", False),
    ("try:\n    y = reverse_lazy('a')\nexcept E:\n    pass", False),
    ("class A:\n    url = reverse_lazy('a')", False),
    ("class A:\n    class Meta:\n        url = reverse_lazy('a')", False),
    ("class A:\n    def f(self, url=reverse_lazy('a')):\n        pass", False),
    ("class A:\n    def f(self, *, url=reverse_lazy('a')):\n        pass", False),
    ("def f(url=reverse_lazy('a')):\n    pass", False),
    ("async def f(url=reverse_lazy('a')):\n    pass", False),
    ("@decorate(reverse_lazy('a'))\ndef f():\n    pass", False),
    ("def f() -> reverse_lazy('a'):\n    pass", False),
    ("g = lambda url=reverse_lazy('a'): url", False),
    ("xs = [reverse_lazy(n) for n in names]", False),
    ("xs = {n: reverse_lazy(n) for n in names}", False),
    ("xs = tuple(reverse_lazy(n) for n in names)", False),
    # Run after import.
    ("def f():\n    return reverse_lazy('a')", True),
    ("async def f():\n    return reverse_lazy('a')", True),
    ("def f():\n    xs = [reverse_lazy(n) for n in names]", True),
    ("def f():\n    class A:\n        url = reverse_lazy('a')", True),
    ("def f():\n    def g(url=reverse_lazy('a')):\n        pass", True),
    ("class A:\n    def f(self):\n        return reverse_lazy('a')", True),
    ("g = lambda: reverse_lazy('a')", True),
    ("g = lambda: [reverse_lazy(n) for n in names]", True),
]


@pytest.mark.parametrize("source, answer", REVERSE_LAZY_CASES)
def test_is_misusing_reverse_lazy(source, answer):
    call = next(
        c
        for c in astroid.parse(source).nodes_of_class(astroid.Call)
        if c.func.as_string() == "reverse_lazy"
    )
    assert urls.is_misusing_reverse_lazy(call) is answer


@pytest.mark.parametrize(
    "source", ["def f():\n    urls.reverse_lazy('a')", "def f():\n    reverse('a')"]
)
def test_other_calls_are_not_reverse_lazy_calls(source):
    call = next(astroid.parse(source).nodes_of_class(astroid.Call))
    assert urls.is_misusing_reverse_lazy(call) is None


def test_a_name_that_is_no_text_never_reaches_a_finding(monkeypatch):
    # Whatever the value helper gives back, only a text becomes part of a record.
    values = iter([astroid.extract_node("x"), 42])
    monkeypatch.setattr(helpers, "astroid_node_to_value", lambda node: next(values))
    module = astroid.parse(
        "from django.urls import path\n"
        "urlpatterns = [path('books/', v, name=n), path('books/', v, name=1)]\n"
    )
    from pylint.testutils import CheckerTestCase

    class Case(CheckerTestCase):
        CHECKER_CLASS = urls.Checker

    case = Case()
    case.setup_method()
    with case.assertNoMessages():
        case.walk(module)
    assert case.checker.urls == set()


def test_keys_hold_the_name_and_each_parameter_with_what_it_takes():
    from pylint.testutils import CheckerTestCase

    class Case(CheckerTestCase):
        CHECKER_CLASS = urls.Checker

    case = Case()
    case.setup_method()
    case.walk(
        astroid.parse(
            "from django.urls import path, re_path\n"
            "urlpatterns = [\n"
            "    path('<int:a>/<slug:b>/<uuid:c>/', v, name='detail'),\n"
            "    path('x/', v, name='plain'),\n"
            "    re_path(r'^(?P<pk>[0-9]+)/(?P<kind>a|(b))/$', v, name='old'),\n"
            "    re_path(r'^(\\d+)/([a-z]+)/$', v, name='positional'),\n"
            "    path('<int:c>/<slug:b>/<uuid:a>/', v, name='sorted'),\n"
            "]\n"
        )
    )
    assert case.checker.urls == {
        "detail:['a=IntConverter', 'b=SlugConverter', 'c=UUIDConverter']",
        "plain:[]",
        "old:['kind=a|(b)', 'pk=[0-9]+']",
        "positional:['#=\\\\d+', '#=[a-z]+']",
        "sorted:['a=UUIDConverter', 'b=SlugConverter', 'c=IntConverter']",
    }


def test_checker_declaration():
    import pickle

    checker = urls.Checker
    assert pickle.loads(pickle.dumps(checker)) is checker
    assert checker.name == "urls"
    assert checker.__implements__ is __import__("pylint.interfaces").interfaces.IAstroidChecker
    assert [(code, symbol, text) for code, (_, symbol, text) in checker.msgs.items()] == [
        ("C6001", "non-unique-url-name", "Non unique URL name"),
        ("C6002", "reverse-lazy-misuse", "Using reverse_lazy when reverse would be better"),
    ]
    assert all(type(text) is helpers.context_string for text, _, _ in checker.msgs.values())
    assert (urls.Codes.C6001, urls.Codes.C6002) == ("C6001", "C6002")
    import django.urls.resolvers

    assert urls.resolvers is django.urls.resolvers
