"""Queryset rules C9000-C9003: len(), count() comparisons, truth tests and foreign-key keys."""
import json
import subprocess
import sys

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
from vettor.staticanalysis.checkers import querysets


FILES = ["app/queries.py", "app/lookups.py", "app/keys.py"]


@pytest.mark.parametrize("path", FILES)
def test_findings_of_the_queryset_checker_alone(path):
    reported = lint_with_checker(querysets.Checker, [PROJECT / path])[
        str((PROJECT / path).resolve())
    ]
    assert ordered(reported) == ordered(expected_findings(PROJECT / path, "C9"))


@pytest.mark.parametrize("path", FILES + ["app/fetched.py", "app/reused.py"])
def test_findings_through_the_lint_driver(path):
    reported = [f for f in project_findings()[path] if f[2].startswith("C9")]
    assert ordered(reported) == ordered(expected_findings(PROJECT / path, "C9"))


# ---------------------------------------------------------------------------------------
# Predicates, on nodes of one module whose querysets and models infer without help.

MODULE = """
import builtins
from django.db import models
from django.db.models.query import QuerySet

class Author(models.Model):
    pass

class Book(models.Model):
    author = models.ForeignKey(Author, on_delete=models.CASCADE)

editor = models.ForeignKey(Author, on_delete=models.CASCADE)
qs = QuerySet(model=Book)
items = [1, 2]
book = Book()
ZERO = 0
"""


def node_of(expression):
    return astroid.extract_node(MODULE + expression)


PREDICATE_CASES = [
    ("is_queryset_length", "len(qs)", True),
    ("is_queryset_length", "len(items)", False),
    ("is_queryset_length", "len(qs, 1)", None),
    ("is_queryset_length", "len()", None),
    ("is_queryset_length", "builtins.len(qs)", None),
    ("is_queryset_length", "qs", None),
    ("is_queryset_count", "qs.count()", True),
    ("is_queryset_count", "qs.count(using='x')", True),
    ("is_queryset_count", "items.count()", False),
    ("is_queryset_count", "qs.count(1)", None),
    ("is_queryset_count", "qs.count", None),
    ("is_queryset_count", "count()", None),
    ("is_queryset", "qs", True),
    ("is_queryset", "items", False),
    ("is_queryset", "undefined_name", False),
    ("is_queryset", "qs == qs", False),
    ("is_queryset", "not qs", False),
    ("is_queryset", "qs or qs", True),
    ("is_inefficient_queryset_exists", "qs.count() > 0", True),
    ("is_inefficient_queryset_exists", "qs.count() == 0", True),
    ("is_inefficient_queryset_exists", "qs.count() != 0", False),
    ("is_inefficient_queryset_exists", "qs.count() > 0 > ZERO", None),
    ("is_inefficient_queryset_exists", "len(qs) > 0", None),
    ("is_queryset_length_exists", "len(qs) > 0", True),
    ("is_queryset_length_exists", "len(qs) < 1", True),
    ("is_queryset_length_exists", "len(qs) > 1", False),
    ("is_queryset_length_exists", "qs.count() > 0", None),
    ("is_indirect_fk_lookup", "book.author.pk", True),
    ("is_indirect_fk_lookup", "book.author.id", True),
    ("is_indirect_fk_lookup", "Book().author.pk", True),
    ("is_indirect_fk_lookup", "book.pk", None),
    ("is_indirect_fk_lookup", "book.author.name", None),
    ("is_indirect_fk_lookup", "book.author_id", None),
    ("is_indirect_fk_lookup", "editor.pk", None),
    ("is_indirect_fk_lookup", "missing.author.pk", None),
    # An owner that is a class or a module is no model instance.
    ("is_indirect_fk_lookup", "Book.author.pk", False),
]


@pytest.mark.parametrize("predicate, expression, answer", PREDICATE_CASES)
def test_predicate_answers(predicate, expression, answer):
    assert getattr(querysets, predicate)(node_of(expression)) is answer


@pytest.mark.parametrize(
    "predicate, expression",
    [
        ("is_indirect_fk_lookup", "book.pk"),
        ("is_indirect_fk_lookup", "Book().id"),
        ("is_queryset", "qs == qs"),
        ("is_queryset", "qs.count() > 0"),
        ("is_queryset", "not qs"),
    ],
)
def test_shapes_that_cannot_match_are_answered_without_inference(monkeypatch, predicate, expression):
    # A truth test meets comparisons and negations at every other `if`, and `obj.pk` is read far
    # more often than `obj.fk.pk`: inferring them would cost much and could answer nothing else.
    node = node_of(expression)
    monkeypatch.setattr(querysets, "safe_infer", lambda n: pytest.fail(f"inferred {n.as_string()}"))
    assert not getattr(querysets, predicate)(node)


COMPARE_CASES = [
    ("qs.count() > 0", True, False),
    ("qs.count() >= 1", True, False),
    ("qs.count() > 0.0", True, False),
    ("qs.count() > ZERO", True, False),
    ("qs.count() > 1", False, False),
    ("qs.count() != 0", False, False),
    ("qs.count() == 0", False, True),
    ("qs.count() < 1", False, True),
    ("qs.count() == False", False, True),
    ("qs.count() <= 0", False, False),
    ("0 < qs.count()", False, False),
    ("qs.count() > 0 > ZERO", None, None),
]


@pytest.mark.parametrize("expression, exists, not_exists", COMPARE_CASES)
def test_comparison_tables(expression, exists, not_exists):
    ops = node_of(expression).ops
    assert querysets.is_compare_exists(ops) is exists
    assert querysets.is_compare_not_exists(ops) is not_exists


# ---------------------------------------------------------------------------------------
# Wiring: the checker asks the module's predicates and helpers by name at each call.


def test_checker_reads_predicates_from_the_module_at_call_time(monkeypatch):
    from pylint.testutils import CheckerTestCase, MessageTest

    class Case(CheckerTestCase):
        CHECKER_CLASS = querysets.Checker

    case = Case()
    case.setup_method()
    monkeypatch.setattr(querysets, "is_queryset_length", lambda node: node.func.name == "size")
    call = astroid.extract_node("size(anything)")
    with case.assertAddsMessages(MessageTest("C9000", node=call, args={"foo": "bar"})):
        case.checker.visit_call(call)
    with case.assertNoMessages():
        case.checker.visit_call(astroid.extract_node("len(anything)"))


def test_predicates_read_helpers_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(helpers, "is_queryset", lambda value: seen.append(value) or "answer")
    assert querysets.is_queryset_length(astroid.extract_node("len([1])")) == "answer"
    assert querysets.is_queryset(astroid.extract_node("x = 1\nx")) == "answer"
    assert [type(value).__name__ for value in seen] == ["List", "Const"]


@pytest.mark.parametrize(
    "source, expected",
    [
        ("not qs.count()", [("C9002", {"queryset": "qs", "expression": "qs.count()"})]),
        ("not qs", [("C9003", {"queryset": "qs"})]),
        ("-qs.count()", []),
        ("+qs.count()", []),
        ("~qs.count()", []),
        ("-qs", []),
    ],
)
def test_only_not_is_a_truth_test(monkeypatch, source, expected):
    from pylint.testutils import CheckerTestCase, MessageTest

    class Case(CheckerTestCase):
        CHECKER_CLASS = querysets.Checker

    case = Case()
    case.setup_method()
    monkeypatch.setattr(querysets, "is_queryset_count", lambda node: isinstance(node, astroid.Call))
    monkeypatch.setattr(querysets, "is_queryset", lambda node: True)
    node = astroid.extract_node(source)
    messages = [MessageTest(code, node=node, args=args) for code, args in expected]
    with case.assertAddsMessages(*messages):
        case.checker.visit_unaryop(node)


def test_checker_declaration():
    import pickle

    checker = querysets.Checker
    assert pickle.loads(pickle.dumps(checker)) is checker
    assert checker.name == "querysets"
    assert checker.__implements__ is __import__("pylint.interfaces").interfaces.IAstroidChecker
    assert [(code, symbol, text) for code, (_, symbol, text) in checker.msgs.items()] == [
        ("C9000", "queryset-length", "Detects using len(queryset) instead of queryset.count()"),
        ("C9001", "indirect-foreign-key", "Traversting foo.bar.pk instead of using foo.bar_pk"),
        ("C9002", "count-instead-exists", "Using count() where exists() could be better"),
        (
            "C9003",
            "truthy-instead-exists",
            "Using truthy/falsey check on queryset when exists could be better",
        ),
    ]
    texts = [text for text, _, _ in checker.msgs.values()]
    assert all(type(text) is helpers.context_string and text == "" for text in texts)
    assert len({id(text) for text in texts}) == 4
    assert {
        name: getattr(querysets.Codes, name) for name in ("C9000", "C9001", "C9002", "C9003")
    } == {"C9000": "C9000", "C9001": "C9001", "C9002": "C9002", "C9003": "C9003"}


# ---------------------------------------------------------------------------------------
# Querysets reached through managers infer only with the astroid shims.


MANAGER_SOURCE = """
from django.db import models

class Author(models.Model):
    pass

class Book(models.Model):
    author = models.ForeignKey(Author, on_delete=models.CASCADE)
"""

MANAGER_CASES = [
    ("len(Book.objects.all())", [(10, 0, "C9000", [("foo", "bar")])]),
    (
        "if Book.objects.all().count() > 0:\n    pass",
        [(10, 0, "C9002", [("queryset", "Book.objects.all()"), ("expression", "Book.objects.all().count()")])],
    ),
    (
        "if Book.objects.filter(pk=1):\n    pass",
        [(10, 0, "C9003", [("queryset", "Book.objects.filter(pk=1)")])],
    ),
    (
        "Book.objects.get().author.id",
        [(10, 0, "C9001", [("me", "model"), ("related_name", "author"), ("pk_attribute", "id")])],
    ),
    (
        "qs = Book.objects.all()\nif not qs.count():\n    pass",
        [(11, 3, "C9002", [("queryset", "qs"), ("expression", "qs.count()")])],
    ),
    # A list made from a queryset holds the rows already fetched: len() and truth are right.
    ("users = list(Book.objects.filter(pk=1))\nlen(users)", []),
    ("len(list(Book.objects.all()))", []),
    ("users = list(Book.objects.all())\nif users:\n    pass", []),
    ("users = Book.objects.filter(pk=1)\nlen(users)", [(11, 0, "C9000", [("foo", "bar")])]),
    (
        "users = Book.objects.all()\nif len(users) == 0:\n    pass",
        [
            (11, 0, "C9002", [("queryset", "users"), ("expression", "len(users)")]),
        ],
    ),
]


@pytest.mark.parametrize("statement, expected", MANAGER_CASES)
def test_manager_querysets_through_check_code(monkeypatch, statement, expected):
    import types

    from vettor.staticanalysis import checker

    # The findings themselves, not their rendering, are what these cases are about.
    renderer = types.SimpleNamespace(render_message_centric_advice=lambda messages, **_: messages)
    monkeypatch.setattr(checker, "render", renderer, raising=False)
    code = MANAGER_SOURCE + "\n" + statement + "\n"
    records = checker.check_code(code, "app/queries.py", "project.settings")
    reported = [
        (r["line"], r["column"], r["message-id"], list(r["message"].items()))
        for r in records
        if r["message-id"].startswith("C9")
    ]
    assert reported == expected


LINT_IN_FRESH_PROCESS = """
import json, sys
from vettor.staticanalysis import checker
records = checker.get_messages(sys.argv[1], {"app/queries.py": None}, "3.2", {}, int(sys.argv[2]))
print(json.dumps([(r["line"], r["message-id"]) for r in records
                  if r["message-id"].startswith("C9")]))
"""


@pytest.mark.parametrize("jobs", [1, 2])
def test_manager_querysets_in_a_project_without_settings(tmp_path, jobs):
    # A reusable app has no settings module, so nothing else loads the inference shims
    # before the lint; a fresh process shows whether the driver does.
    app = tmp_path / "app"
    app.mkdir()
    (app / "__init__.py").write_text("")
    (app / "queries.py").write_text(
        MANAGER_SOURCE + "\nlen(Book.objects.all())\nif Book.objects.filter(pk=1):\n    pass\n"
    )
    result = subprocess.run(
        [sys.executable, "-c", LINT_IN_FRESH_PROCESS, str(tmp_path), str(jobs)],
        capture_output=True, text=True, check=True,
    )
    assert json.loads(result.stdout.splitlines()[-1]) == [[10, "C9000"], [11, "C9003"]]


# `.id` of a foreign key's target is its key only where the target is found and its key is
# `id`: the model settings.AUTH_USER_MODEL names is read from the project's settings, and
# Django's own models are known.

ORDERS = """from django.conf import settings
from django.db import models


class Order(models.Model):
    buyer = models.ForeignKey(settings.AUTH_USER_MODEL, models.CASCADE, related_name="+")
    group = models.ForeignKey("auth.Group", models.CASCADE, related_name="+")
    session = models.ForeignKey("sessions.Session", models.CASCADE, related_name="+")
    customer = models.OneToOneField("djstripe.Customer", models.CASCADE, related_name="+")


order = Order()
order.buyer.id
order.group.id
order.session.id
order.customer.id
order.customer.pk
"""


@pytest.mark.parametrize("setting, buyer_reported", [
    ("", True),  # Django's own auth.User
    ("AUTH_USER_MODEL = 'people.Member'", True),
    ("AUTH_USER_MODEL = 'people.Keyed'", False),  # its key is `uuid`
    ("AUTH_USER_MODEL = os.environ['USER_MODEL']", False),  # not known here
])
def test_id_is_reported_where_the_target_and_its_key_are_known(tmp_path, setting, buyer_reported):
    from conftest import write_files
    from vettor.staticanalysis import checker, transformer

    root = write_files(tmp_path, {
        "orderproj/__init__.py": "",
        "orderproj/settings.py": f"import os\n\nINSTALLED_APPS = ['people', 'shop']\n{setting}\n",
        "people/__init__.py": "",
        "people/models.py": "from django.db import models\n\n\nclass Member(models.Model):\n"
                              "    pass\n\n\nclass Keyed(models.Model):\n"
                              "    uuid = models.UUIDField(primary_key=True)\n",
        "shop/__init__.py": "",
        "shop/models.py": ORDERS,
    })
    found = checker.get_messages(str(root), {"shop/models.py": None}, jobs=1)
    reported = [(m["line"], m["message"]["related_name"], m["message"]["pk_attribute"])
                for m in found if m["message-id"] == "C9001"]
    assert reported == [(13, "buyer", "id")] * buyer_reported + [
        (14, "group", "id"), (17, "customer", "pk")]

    fixed = transformer.transform_code(ORDERS, str(root / "shop/models.py"), "orderproj.settings")
    lines = fixed.code.splitlines()[-5:]
    assert lines == [
        "order.buyer_id" if buyer_reported else "order.buyer.id", "order.group_id",
        "order.session.id", "order.customer.id", "order.customer_id"]


def test_a_target_is_found_in_an_application_beside_the_declaring_one(tmp_path):
    from conftest import write_files
    from vettor.staticanalysis import checker

    root = write_files(tmp_path, {
        "store/__init__.py": "",
        "store/catalogue/__init__.py": "",
        "store/catalogue/models.py": "from django.db import models\n\n\n"
                                     "class Product(models.Model):\n    pass\n",
        "store/catalogue/reviews/__init__.py": "",
        "store/catalogue/reviews/models.py": (
            "from django.db import models\n\n\n"
            "class Review(models.Model):\n"
            "    product = models.ForeignKey('catalogue.Product', models.CASCADE, related_name='+')\n\n"
            "    def url_arguments(self):\n"
            "        return {'product_pk': self.product.id}\n"),
    })
    found = checker.get_messages(str(root), {"store/catalogue/reviews/models.py": None}, jobs=1)
    assert [(m["line"], m["message-id"]) for m in found] == [(8, "C9001")]


# ---------------------------------------------------------------------------------------
# Querysets that start beyond `Model.objects`: related managers, declared managers and their
# querysets, methods that return a queryset, class views' get_queryset, and the instances
# they are read on. The fixture marks each finding beside its line; what is not marked must
# stay quiet (an unannotated parameter, related_name="+", a method returning a list, rows
# used afterwards, a name that may hold something else).

RELATED = PROJECT.parent / "related_project"
RELATED_FILES = ["boards/queries.py", "boards/views.py", "boards/models.py", "catalogue/views.py"]
RELATED_PROJECT_FILES = RELATED_FILES + [
    "tracker/models.py", "tags/models.py", "catalogue/models.py", "catalogue/abstract_models.py"]

_related_runs = {}


def related_findings(files, jobs=1):
    """C9 findings per path of one get_messages run over `files`."""
    key = (tuple(files), jobs)
    if key not in _related_runs:
        from vettor.staticanalysis import checker

        records = checker.get_messages(str(RELATED), {f: None for f in files}, "3.2", {}, jobs)
        found = {}
        for r in records:
            if r["message-id"].startswith(("C9", "F")):
                found.setdefault(r["path"], []).append(
                    (r["line"], r["column"], r["message-id"], list(r["message"].items())
                     if isinstance(r["message"], dict) else r["message"]))
        _related_runs[key] = found
    return _related_runs[key]


@pytest.mark.parametrize("path", RELATED_FILES)
def test_querysets_beyond_model_objects_through_the_lint_driver(path):
    reported = related_findings(RELATED_PROJECT_FILES).get(path, [])
    expected = expected_findings(RELATED / path, "C9")
    assert expected
    assert ordered(reported) == ordered(expected)


@pytest.mark.parametrize("path", RELATED_FILES)
def test_a_files_findings_do_not_depend_on_the_files_linted_with_it(path):
    # Reverse relations are read from the models files on disk, whichever modules the lint
    # happens to build: alone, with the whole project, in workers.
    alone = related_findings([path]).get(path, [])
    assert ordered(alone) == ordered(related_findings(RELATED_PROJECT_FILES).get(path, []))
    assert ordered(alone) == ordered(related_findings(RELATED_PROJECT_FILES, jobs=2).get(path, []))
