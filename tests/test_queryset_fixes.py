"""Queryset fixes, as before/after pairs visited through build_transformer_visitor.

The statements stand in a function of a module whose models reach their querysets through
managers, so they infer only on trees from helpers.build_atok (which loads the shims)."""
import ast
import re
from pathlib import Path

import astroid
import pytest

from marked_findings import expected_findings

from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import querysets

ALL = ["C9000", "C9001", "C9002", "C9003"]

HEADER = """from django.db import models


class Author(models.Model):
    code = models.CharField(max_length=5, unique=True)


class Tag(models.Model):
    pass


class Book(models.Model):
    author = models.ForeignKey(Author, on_delete=models.CASCADE)
    profile = models.OneToOneField(Author, on_delete=models.CASCADE, related_name="+")
    by_code = models.ForeignKey(Author, models.CASCADE, to_field="code", related_name="+")
    by_pk = models.ForeignKey(Author, models.CASCADE, to_field=None, related_name="+")
    tags = models.ManyToManyField(Tag)


class Shelf:
    def show(self, other, flag):
        qs = Book.objects.all()
        book = Book.objects.get()
"""


def statement_of(source):
    """The token index of HEADER plus `source` as the method's last statement, and that
    statement."""
    body = "".join("        " + line + "\n" for line in source.splitlines())
    atok = helpers.build_atok(HEADER + body)
    method = atok.tree.body[-1].body[-1]
    return atok, method.body[-1]


def visit(codes, source):
    """Visit the statement alone, as the suggestion builder does, dropping the result."""
    atok, statement = statement_of(source)
    querysets.build_transformer_visitor(codes).visit(statement)
    return atok, statement


def check_transformed(codes, before, after):
    atok, statement = visit(codes, before)
    assert statement.as_string() == after
    ast.parse(after)
    ast.parse(atok.tree.as_string())
    return statement


def check_noop(codes, source):
    check_transformed(codes, source, source)


TRANSFORMED = [
    # queryset-length
    ("len_to_count", ["C9000"], "x = len(qs)", "x = qs.count()"),
    ("len_of_a_chain", ["C9000"],
     "x = len(qs.filter(x=1))", "x = qs.filter(x=1).count()"),
    ("len_of_a_manager_call", ["C9000"],
     "x = len(Book.objects.filter(pk=1))", "x = Book.objects.filter(pk=1).count()"),
    ("len_of_a_conditional_receiver", ["C9000"],
     "x = len(qs if flag else qs)", "x = (qs if flag else qs).count()"),
    # indirect-foreign-key
    ("fk_pk_to_column", ["C9001"], "x = book.author.pk", "x = book.author_id"),
    ("fk_id_to_column", ["C9001"], "x = book.author.id", "x = book.author_id"),
    ("one_to_one_to_column", ["C9001"], "x = book.profile.pk", "x = book.profile_id"),
    ("to_field_none_is_the_pk", ["C9001"], "x = book.by_pk.pk", "x = book.by_pk_id"),
    ("owner_from_a_call", ["C9001"],
     "x = Book.objects.get().author.id", "x = Book.objects.get().author_id"),
    # count-instead-exists on comparisons
    ("greater_than_zero", ["C9002"], "x = qs.count() > 0", "x = qs.exists()"),
    ("at_least_one", ["C9002"], "x = qs.count() >= 1", "x = qs.exists()"),
    ("equal_zero", ["C9002"], "x = qs.count() == 0", "x = not qs.exists()"),
    ("less_than_one", ["C9002"], "x = qs.count() < 1", "x = not qs.exists()"),
    ("not_of_equal_zero_empties_the_not", ["C9002"],
     "if not qs.count() == 0:\n    pass", "if qs.exists():\n    pass"),
    ("not_of_exists_keeps_the_not", ["C9002"],
     "x = not qs.count() > 0", "x = not qs.exists()"),
    ("minus_of_equal_zero_writes_the_negation", ["C9002"],
     "x = -(qs.count() == 0)", "x = -(not qs.exists())"),
    ("while_test", ["C9002"],
     "while qs.count() > 0:\n    pass", "while qs.exists():\n    pass"),
    ("conditional_receiver_compared", ["C9002"],
     "x = (qs if flag else qs).count() > 0", "x = (qs if flag else qs).exists()"),
    # ... and len() compared the same way: one finding, C9002, and its fix
    ("len_equal_zero", ["C9002"], "x = len(qs) == 0", "x = not qs.exists()"),
    ("len_at_least_one", ["C9002"], "x = len(qs) >= 1", "x = qs.exists()"),
    # count-instead-exists on truth tests
    ("if_count", ["C9002"], "if qs.count():\n    pass", "if qs.exists():\n    pass"),
    ("not_count", ["C9002"], "x = not qs.count()", "x = not qs.exists()"),
    ("if_not_count", ["C9002"], "if not qs.count():\n    pass", "if not qs.exists():\n    pass"),
    # truthy-instead-exists
    ("if_queryset", ["C9003"], "if qs:\n    pass", "if qs.exists():\n    pass"),
    ("not_queryset", ["C9003"], "x = not qs", "x = not qs.exists()"),
    ("if_conditional_queryset", ["C9003"],
     "if qs if flag else qs:\n    pass", "if (qs if flag else qs).exists():\n    pass"),
    # a method called afterwards makes a query of its own: no use of these rows
    ("tested_then_counted", ["C9003"],
     "if qs:\n    x = qs.count()", "if qs.exists():\n    x = qs.count()"),
    ("elif_and_else_kept", ["C9003"],
     "if flag:\n    x = 1\nelif qs:\n    x = 2\nelse:\n    x = 3",
     "if flag:\n    x = 1\nelif qs.exists():\n    x = 2\nelse:\n    x = 3"),
    # several codes at once
    ("len_compared_after_length_fix", ["C9000", "C9002"],
     "if len(qs) > 0:\n    pass", "if qs.exists():\n    pass"),
    ("every_code_on_a_not_equal_zero", ALL,
     "if not qs.count() == 0:\n    pass", "if qs.exists():\n    pass"),
    ("every_code_on_if_count", ALL, "if qs.count():\n    pass", "if qs.exists():\n    pass"),
    ("every_code_on_not_queryset", ALL, "x = not qs", "x = not qs.exists()"),
    ("every_code_in_one_call", ALL,
     "x = len(qs.filter(author=book.author.pk))", "x = qs.filter(author=book.author_id).count()"),
    ("ids_in_any_order_and_any_iterable", ("C9003", "C9002"),
     "if not qs.count():\n    pass", "if not qs.exists():\n    pass"),
]


@pytest.mark.parametrize(
    "codes, before, after", [case[1:] for case in TRANSFORMED], ids=[case[0] for case in TRANSFORMED]
)
def test_transformed(codes, before, after):
    check_transformed(codes, before, after)


UNCHANGED = [
    # The rows are used after the test: len() and the truth test cost no query of their own.
    ("truth_test_then_iterated", ALL, "if qs:\n    for b in qs:\n        pass"),
    ("truth_test_then_comprehension", ALL, "if qs:\n    x = [b for b in qs]"),
    ("length_then_indexed", ALL, "x = [len(qs), qs[0]]"),
    # len() compared against 0 or 1 is C9002's alone
    ("len_compared_is_no_c9000", ["C9000"], "x = len(qs) > 0"),
    ("length_compared_then_sliced", ALL, "if len(qs) == 0:\n    x = qs[:5]"),
    ("not_then_passed_on", ALL, "if not qs:\n    x = None\nelse:\n    x = sorted(qs)"),
    # Only the asked codes are fixed.
    ("length_without_its_code", ["C9002", "C9003", "C2000"], "x = len(qs)"),
    ("comparison_without_its_code", ["C9000", "C9001", "C9003"], "x = qs.count() > 0"),
    ("truth_test_without_its_code", ["C9000", "C9002"], "if qs:\n    pass"),
    ("foreign_key_without_its_code", ["C9000", "C9002", "C9003"], "x = book.author.pk"),
    ("no_codes", [], "if qs.count() == 0:\n    pass"),
    ("a_bare_string_is_single_characters", "C9002", "x = qs.count() > 0"),
    # What the checker does not report is not fixed either.
    ("length_of_a_list", ALL, "x = len([1, 2])"),
    ("count_of_a_list", ALL, "x = not [1].count(1)"),
    ("not_equal_zero", ALL, "x = qs.count() != 0"),
    ("reversed_operands", ALL, "x = 0 < qs.count()"),
    ("chained_comparison", ALL, "x = qs.count() > 0 > flag"),
    ("minus_count", ALL, "x = -qs.count()"),
    ("invert_count", ALL, "x = ~qs.count()"),
    ("minus_queryset", ALL, "x = -qs"),
    ("while_queryset", ALL, "while qs:\n    pass"),
    ("own_pk", ALL, "x = book.pk"),
    ("column_already", ALL, "x = book.author_id"),
    # A.B_id would hold the other field's value, or does not exist.
    ("key_to_another_field", ALL, "x = book.by_code.pk"),
    ("many_to_many", ALL, "x = book.tags.pk"),
]


@pytest.mark.parametrize(
    "codes, source", [case[1:] for case in UNCHANGED], ids=[case[0] for case in UNCHANGED]
)
def test_unchanged(codes, source):
    check_noop(codes, source)


def test_replacement_takes_the_place_and_tokens_of_the_len_call():
    atok, statement = statement_of("x = len(\n    qs.filter(\n        pk=1))")
    old = statement.value
    querysets.build_transformer_visitor(["C9000"]).visit(statement)
    new = statement.value
    assert new is not old and isinstance(new, astroid.Call)
    assert (new.lineno, new.col_offset, new.parent) == (old.lineno, old.col_offset, statement)
    assert (new.first_token, new.last_token) == (old.first_token, old.last_token)
    # Every node of the replacement answers with the first line of the receiver.
    assert {node.lineno for node in new.nodes_of_class(astroid.nodes.NodeNG)} == {old.lineno}
    assert not hasattr(new.func, "first_token")
    assert old.as_string() == "len(qs.filter(pk=1))"


def test_truth_test_fixes_keep_the_if_and_its_branches():
    atok, statement = statement_of("if qs:\n    x = 1\nelse:\n    x = 2")
    body, orelse, test = statement.body, statement.orelse, statement.test
    result = querysets.build_transformer_visitor(["C9003"]).visit(statement)
    assert result is statement
    assert statement.body is body and statement.orelse is orelse
    assert statement.test.parent is statement
    assert statement.test.first_token is test.first_token


def test_foreign_key_fix_reuses_the_owner_node():
    atok, statement = statement_of("x = book.author.id")
    middle = statement.value.expr
    querysets.build_transformer_visitor(["C9001"]).visit(statement)
    new = statement.value
    assert new.expr is middle.expr
    assert (new.lineno, new.col_offset) == (middle.lineno, middle.col_offset)


def registered(visitor):
    return {
        cls.__name__: [transform.__name__ for transform, _ in pairs]
        for cls, pairs in visitor.transforms.items()
    }


def test_registrations_follow_the_sorted_codes():
    assert registered(querysets.build_transformer_visitor(["C9003", "C9000", "C9002", "C9001"])) == {
        "Call": ["transform_queryset_length"],
        "Attribute": ["transform_indirect_fk_lookup"],
        # the count() form, then the len() form
        "Compare": ["transform_queryset_exists_compare", "transform_queryset_exists_compare"],
        "UnaryOp": ["transform_queryset_exists_count_unaryop",
                    "transform_queryset_exists_naked_unaryop"],
        "If": ["transform_queryset_exists_count_if", "transform_queryset_exists_naked_if"],
    }
    assert registered(querysets.build_transformer_visitor({"C9000", "C6002"})) == {
        "Call": ["transform_queryset_length"]
    }
    twice = querysets.build_transformer_visitor(["C9000", "C9000"])
    assert registered(twice) == {"Call": ["transform_queryset_length"] * 2}
    assert isinstance(twice, helpers.NodeTransformVisitor)


def test_ids_that_do_not_sort_fail_before_registering():
    with pytest.raises(TypeError):
        querysets.build_transformer_visitor(["C9000", None])


def test_transforms_are_looked_up_when_the_visitor_is_built(monkeypatch):
    monkeypatch.setattr(querysets, "is_queryset_length", lambda node: False)
    check_noop(["C9000"], "x = len(qs)")
    seen = []
    monkeypatch.setattr(querysets, "is_queryset", lambda node: seen.append(node.as_string()))
    check_noop(["C9003"], "if qs:\n    pass")
    assert seen == ["qs"]


@pytest.mark.parametrize(
    "transform, source",
    [
        ("transform_queryset_exists_count_unaryop", "x = -qs.count()"),
        ("transform_queryset_exists_count_unaryop", "x = ~qs.count()"),
        ("transform_queryset_exists_naked_unaryop", "x = -qs"),
    ],
)
def test_unary_fixes_change_only_a_not(transform, source):
    # Another caller may register these fixes with predicates that do not look at the
    # operator: the number stays a number.
    atok, statement = statement_of(source)
    node = statement.value
    assert getattr(querysets, transform)(node) is node
    assert statement.as_string() == source


def reported_codes(source):
    from pylint.testutils import CheckerTestCase

    class Case(CheckerTestCase):
        CHECKER_CLASS = querysets.Checker

    case = Case()
    case.setup_method()
    atok, _ = statement_of(source)
    case.walk(atok.tree)
    return {message.msg_id for message in case.linter.release_messages()}


FIXED_BY_ONE_CODE = [case for case in TRANSFORMED if len(case[1]) == 1]


@pytest.mark.parametrize(
    "codes, before, after",
    [case[1:] for case in FIXED_BY_ONE_CODE],
    ids=[case[0] for case in FIXED_BY_ONE_CODE],
)
def test_a_fix_answers_its_finding(codes, before, after):
    assert codes[0] in reported_codes(before)
    assert codes[0] not in reported_codes(after)


QUIET = [case for case in UNCHANGED if case[1] == ALL and case[0] not in {
    "key_to_another_field", "many_to_many"}]


@pytest.mark.parametrize("source", [case[2] for case in QUIET], ids=[case[0] for case in QUIET])
def test_what_is_not_fixed_is_not_reported(source):
    assert reported_codes(source) == set()


KEYED_HEADER = '''from django.db import models


class Customer(models.Model):
    djstripe_id = models.BigAutoField(primary_key=True)
    id = models.CharField(max_length=255, unique=True)


class Charge(models.Model):
    customer = models.ForeignKey("Customer", on_delete=models.CASCADE, related_name="+")


def show(charge: Charge):
    charge = Charge()
'''


@pytest.mark.parametrize(
    "before, after",
    [
        # charge.customer_id holds the primary key, djstripe_id, not the model's own id.
        ("x = charge.customer.id", "x = charge.customer.id"),
        ("x = charge.customer.pk", "x = charge.customer_id"),
    ],
)
def test_id_is_rewritten_only_where_it_is_the_targets_primary_key(before, after):
    atok = helpers.build_atok(KEYED_HEADER + "    " + before + "\n")
    statement = atok.tree.body[-1].body[-1]
    querysets.build_transformer_visitor(["C9001"]).visit(statement)
    assert statement.as_string() == after


# ---------------------------------------------------------------------------------------
# The fixes of querysets that start beyond `Model.objects`, on the fix road: the fixture
# project's files (their finding markers taken out) through transformer.transform_code. Every
# other line stays as it was.

RELATED = Path(__file__).parent / "fixtures" / "related_project"

RELATED_FIXES = {
    "boards/queries.py": [
        ("return board.sprints.filter(pk=sprint_id).count() == 0",
         "return not board.sprints.filter(pk=sprint_id).exists()"),
        ("if board.deadline_set.all():", "if board.deadline_set.all().exists():"),
        ("return len(board.issues.filter(open=True))", "return board.issues.filter(open=True).count()"),
        ("return member.boards.exclude(active=False).count() > 0",
         "return member.boards.exclude(active=False).exists()"),
        ("if not board.members.all():", "if not board.members.all().exists():"),
        ('return board.tags.filter(tag="urgent").count() >= 1',
         'return board.tags.filter(tag="urgent").exists()'),
        ("if Board.objects.for_owner(owner).count() > 0:", "if Board.objects.for_owner(owner).exists():"),
        ("if Board.objects.visible():", "if Board.objects.visible().exists():"),
        ("if Board.listed.active().count() > 0:", "if Board.listed.active().exists():"),
        ("if not Board.sorted_boards.active():", "if not Board.sorted_boards.active().exists():"),
        ("ids.append(sprint.board.id)", "ids.append(sprint.board_id)"),
        ("if sprints_of(board).count() > 0:", "if sprints_of(board).exists():"),
        ("return not latest_sprints()", "return not latest_sprints().exists()"),
    ],
    "boards/views.py": [
        ('context["any"] = self.get_queryset().count() > 0', 'context["any"] = self.get_queryset().exists()'),
        ("if not self.get_queryset():\n            context[\"empty\"]",
         "if not self.get_queryset().exists():\n            context[\"empty\"]"),
        ('context["count"] = len(self.get_queryset())', 'context["count"] = self.get_queryset().count()'),
    ],
    "boards/models.py": [
        ("if members.count() == 0:", "if not members.exists():"),
        ("if not self.estimate_set.all():", "if not self.estimate_set.all().exists():"),
    ],
    # A model whose module is built while the module of its abstract bases is.
    "catalogue/views.py": [
        ("if review.product.reviews.exclude(pk=review_id):",
         "if review.product.reviews.exclude(pk=review_id).exists():"),
        ("return [review.product.id]", "return [review.product_id]"),
    ],
}


def without_markers(text):
    return re.sub(r"  # \[C\d{4}@.*$", "", text, flags=re.M)


@pytest.mark.parametrize("path", sorted(RELATED_FIXES))
def test_querysets_beyond_model_objects_on_the_fix_road(path):
    from vettor.staticanalysis import transformer

    source = without_markers((RELATED / path).read_text())
    expected = source
    for before, after in RELATED_FIXES[path]:
        assert expected.count(before) == 1, before
        expected = expected.replace(before, after)
    result = transformer.transform_code(source, str(RELATED / path), "")
    assert result.code + "\n" == expected
    reported = {finding[2] for finding in expected_findings(RELATED / path, "C9")}
    assert {"C9000", "C9001", "C9002", "C9003"} & result.reasons == reported
