"""The reverse_lazy fix, as before/after pairs visited through build_transformer_visitor."""
import ast

import pytest

from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import urls


def fixed(source, codes=("C6002",), handed_over=None):
    """Visit the whole module; with `handed_over` a list, the module carries it as
    replace_other_nodes, as on the suggestion road."""
    tree = helpers.build_atok(source).tree
    if handed_over is not None:
        tree.replace_other_nodes = handed_over
    urls.build_transformer_visitor(list(codes)).visit(tree)
    return tree


def check_transformed(before, after, codes=("C6002",)):
    tree = fixed(before, codes)
    assert tree.as_string() == after
    ast.parse(after)
    return tree


def check_noop(source, codes=("C6002",)):
    check_transformed(source, source, codes)


def module(*lines):
    """A module's lines, written one per argument."""
    return "".join(lines)


TRANSFORMED = [
    ("import_repaired", module(
        "from django.urls import path, reverse_lazy\n",
        "def view():\n    return reverse_lazy('home', args=[1])\n",
    ), module(
        "from django.urls import path, reverse\n\n",
        "def view():\n    return reverse('home', args=[1])\n\n",
    )),
    ("proper_use_keeps_reverse_lazy", module(
        "from django.urls import path, reverse_lazy\n",
        "SUCCESS = reverse_lazy('done')\n",
        "def view():\n    return reverse_lazy('home')\n",
    ), module(
        "from django.urls import path, reverse, reverse_lazy\n",
        "SUCCESS = reverse_lazy('done')\n\n",
        "def view():\n    return reverse('home')\n\n",
    )),
    ("reference_keeps_reverse_lazy", module(
        "from django.urls import reverse_lazy\n",
        "lazy = reverse_lazy\n",
        "def view():\n    return reverse_lazy('home')\n",
    ), module(
        "from django.urls import reverse, reverse_lazy\n",
        "lazy = reverse_lazy\n\n",
        "def view():\n    return reverse('home')\n\n",
    )),
    ("two_misused_calls", module(
        "from django.urls import reverse_lazy\n",
        "def one():\n    return reverse_lazy('a')\n",
        "def two():\n    return lambda: reverse_lazy('b')\n",
    ), module(
        "from django.urls import reverse\n\n",
        "def one():\n    return reverse('a')\n\n",
        "def two():\n    return lambda: reverse('b')\n\n",
    )),
    ("reverse_already_imported_is_not_added", module(
        "from django.urls import reverse_lazy, reverse\n",
        "def view():\n    return reverse_lazy('a')\n",
    ), module(
        "from django.urls import reverse\n\n",
        "def view():\n    return reverse('a')\n\n",
    )),
    ("first_django_urls_import_is_edited", module(
        "from django.urls import path\n",
        "from django.urls import reverse_lazy\n",
        "def view():\n    return reverse_lazy('a')\n",
    ), module(
        "from django.urls import path, reverse\n",
        "from django.urls import reverse_lazy\n\n",
        "def view():\n    return reverse('a')\n\n",
    )),
    # An alias binds another name: the plain name is still needed for the renamed call.
    ("reverse_under_an_alias", module(
        "from django.urls import reverse as rev, reverse_lazy\n",
        "def view():\n    return reverse_lazy('a')\n",
    ), module(
        "from django.urls import reverse, reverse as rev\n\n",
        "def view():\n    return reverse('a')\n\n",
    )),
    ("a_name_imported_twice_sorts", module(
        "from django.urls import path as p, path, reverse_lazy\n",
        "def view():\n    return reverse_lazy('a')\n",
    ), module(
        "from django.urls import path, path as p, reverse\n\n",
        "def view():\n    return reverse('a')\n\n",
    )),
    ("star_import_binds_reverse", module(
        "from django.urls import *\n",
        "def view():\n    return reverse_lazy('a')\n",
    ), module(
        "from django.urls import *\n\n",
        "def view():\n    return reverse('a')\n\n",
    )),
    ("reverse_lazy_under_an_alias_is_kept", module(
        "from django.urls import reverse_lazy, reverse_lazy as lazy\n",
        "X = lazy('b')\n",
        "def view():\n    return reverse_lazy('a')\n",
    ), module(
        "from django.urls import reverse, reverse_lazy as lazy\n",
        "X = lazy('b')\n\n",
        "def view():\n    return reverse('a')\n\n",
    )),
]


@pytest.mark.parametrize(
    "before, after", [case[1:] for case in TRANSFORMED], ids=[case[0] for case in TRANSFORMED]
)
def test_transformed(before, after):
    # Codes of other rules among the asked ones change nothing.
    check_transformed(before, after, ("C9000", "C6001", "C6002"))


UNCHANGED = [
    ("module_level_call", "from django.urls import reverse_lazy\nX = reverse_lazy('a')\n"),
    ("class_attribute",
     "from django.urls import reverse_lazy\n\nclass View:\n    success_url = reverse_lazy('a')\n"),
    # The rename would leave `reverse` unbound or bound to something else.
    ("reverse_lazy_from_elsewhere",
     "from app.utils import reverse_lazy\n\ndef view():\n    return reverse_lazy('a')\n\n"),
    ("local_reverse_shadows",
     "from django.urls import reverse_lazy\n\ndef view(reverse=False):\n"
     "    return reverse_lazy('a')\n\n"),
    ("module_reverse_is_another_object",
     "from django.urls import reverse_lazy\nreverse = None\n\ndef view():\n"
     "    return reverse_lazy('a')\n\n"),
    ("reverse_lazy_imported_as_reverse",
     "from django.urls import reverse_lazy, reverse_lazy as reverse\n\ndef view():\n"
     "    return reverse_lazy('a')\n\n"),
]


@pytest.mark.parametrize(
    "source", [case[1] for case in UNCHANGED], ids=[case[0] for case in UNCHANGED]
)
def test_unchanged(source):
    tree = fixed(source)
    assert tree.as_string() == helpers.build_atok(source).tree.as_string()


@pytest.mark.parametrize("codes", [(), ("C6001", "C9000"), "C6002"])
def test_without_the_code_nothing_changes(codes):
    source = "from django.urls import reverse_lazy\n\ndef view():\n    return reverse_lazy('a')\n"
    before = helpers.build_atok(source).tree.as_string()
    assert fixed(source, codes).as_string() == before


def test_a_skipped_call_keeps_the_import_of_reverse_lazy():
    tree = check_transformed(
        "from django.urls import reverse_lazy\n\ndef one(reverse):\n    return reverse_lazy('a')\n"
        "def two():\n    return reverse_lazy('b')\n",
        "from django.urls import reverse, reverse_lazy\n\n"
        "def one(reverse):\n    return reverse_lazy('a')\n\n"
        "def two():\n    return reverse('b')\n\n",
    )
    assert tree.skip_reverse is True


def test_the_import_is_handed_over_once_per_tree():
    source = (
        "from django.urls import path, reverse_lazy\n\n"
        "def one():\n    return reverse_lazy('a')\n\n"
        "def two():\n    return reverse_lazy('b')\n"
    )
    handed_over = []
    tree = fixed(source, handed_over=handed_over)
    assert [node.as_string() for node in handed_over] == ["from django.urls import path, reverse"]
    assert handed_over[0] is tree.body[0]
    # A later visit of the same tree (the next finding line) edits nothing more.
    tree.replace_other_nodes = []
    urls.build_transformer_visitor(["C6002"]).visit(tree)
    assert tree.replace_other_nodes == []


def test_one_statement_visited_alone_repairs_the_import_elsewhere():
    source = "from django.urls import reverse_lazy\n\ndef view():\n    return reverse_lazy('a')\n"
    tree = helpers.build_atok(source).tree
    tree.replace_other_nodes = []
    statement = tree.body[1].body[0]
    urls.build_transformer_visitor({"C6002"}).visit(statement)
    assert statement.as_string() == "return reverse('a')"
    assert [node.as_string() for node in tree.replace_other_nodes] == [
        "from django.urls import reverse"
    ]


def test_without_a_django_urls_import_the_marker_is_still_set():
    tree = helpers.build_atok("from django.urls import *\n").tree
    assert urls.ensure_import(tree, "reverse", "from django.urls import reverse") is None
    tree = helpers.build_atok("X = 1\n").tree
    tree.replace_other_nodes = []
    urls.ensure_import(module_node=tree, modname="reverse", import_string="ignored")
    assert tree.skip_reverse is True and tree.replace_other_nodes == []


def test_transform_returns_the_same_call():
    tree = helpers.build_atok(
        "from django.urls import reverse_lazy\n\ndef view():\n    return reverse_lazy('a', x=1)\n"
    ).tree
    call = tree.body[1].body[0].value
    assert urls.transform_reverse_lazy_to_reverse(call_node=call) is call
    assert call.as_string() == "reverse('a', x=1)"


def test_registration():
    visitor = urls.build_transformer_visitor(["C9000", "C6002", "C6001"])
    assert isinstance(visitor, helpers.NodeTransformVisitor)
    assert [
        (cls.__name__, transform.__name__, predicate.__name__)
        for cls, pairs in visitor.transforms.items()
        for transform, predicate in pairs
    ] == [("Call", "transform_reverse_lazy_to_reverse", "is_misusing_reverse_lazy")]
    assert dict(urls.build_transformer_visitor(["C6001"]).transforms) == {}


def reported_codes(source):
    from pylint.testutils import CheckerTestCase

    class Case(CheckerTestCase):
        CHECKER_CLASS = urls.Checker

    case = Case()
    case.setup_method()
    case.walk(helpers.build_atok(source).tree)
    return [message.msg_id for message in case.linter.release_messages()]


@pytest.mark.parametrize(
    "before, after", [case[1:] for case in TRANSFORMED], ids=[case[0] for case in TRANSFORMED]
)
def test_the_fix_answers_every_finding(before, after):
    assert "C6002" in reported_codes(before)
    assert reported_codes(after) == []
