"""Fixes registered on the transform visitor are applied to any subtree, children first."""
import astroid
import pytest
from astroid import nodes

from vettor.staticanalysis import helpers


def const(value, like):
    return nodes.Const(value, lineno=like.lineno, col_offset=like.col_offset, parent=like.parent)


def increment(node):
    return const(node.value + 1, node)


def test_nothing_registered_returns_the_node_unchanged():
    module = astroid.parse("x = [1, 2]\ny = f(x)\n")
    before = module.as_string()
    assert helpers.NodeTransformVisitor().visit(module) is module
    assert module.as_string() == before


def test_children_are_transformed_before_their_parents():
    statement = astroid.extract_node("total = f(g(1), h(2))  #@")
    seen = []
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Call, lambda node: seen.append(node.func.name))
    visitor.register_transform(nodes.Const, lambda node: seen.append(node.value))
    visitor.register_transform(nodes.Assign, lambda node: seen.append("assign"))
    visitor.visit(statement)
    assert seen == [1, "g", 2, "h", "f", "assign"]


def test_replaced_child_is_written_back_into_a_statement():
    statement = astroid.extract_node("x = [1, 2] + [3]  #@")
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, increment)
    assert visitor.visit(node=statement) is statement
    assert statement.as_string() == "x = [2, 3] + [4]"


def test_visiting_an_expression_returns_its_replacement():
    expression = astroid.extract_node("__(models.CharField(null=True))")
    replacement = nodes.Name("TextField", lineno=1, col_offset=0, parent=expression.parent)
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(
        nodes.Call, lambda node: replacement, lambda node: node.func.attrname == "CharField"
    )
    assert visitor.visit(expression) is replacement


def test_predicate_chooses_the_nodes_a_transform_applies_to():
    statement = astroid.extract_node("x = (1, 20, 3)  #@")
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, increment, lambda node: node.value < 10)
    visitor.visit(statement)
    assert statement.as_string() == "x = (2, 20, 4)"


def test_transforms_of_one_class_run_in_registration_order():
    expression = astroid.extract_node("__(1)")
    seen = []

    def step(name, add):
        def transform(node):
            seen.append((name, node.value))
            return const(node.value + add, node)

        return transform

    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, step("first", 10))
    visitor.register_transform(nodes.Const, step("skipped", 0), lambda node: False)
    visitor.register_transform(nodes.Const, step("second", 100))
    result = visitor.visit(expression)
    # each transform sees the node that the one before it returned
    assert seen == [("first", 1), ("second", 11)]
    assert result.value == 111


@pytest.mark.parametrize(
    "first_result",
    [
        pytest.param(lambda node: nodes.Name("other", parent=node.parent), id="another-class"),
        pytest.param(lambda node: None, id="none"),
    ],
)
def test_later_transforms_are_skipped_once_one_returns_another_class(first_result):
    expression = astroid.extract_node("__(1)")
    later = []
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, first_result)
    visitor.register_transform(nodes.Const, lambda node: later.append(node))
    visitor.visit(expression)
    assert later == []


def test_error_passes_through_and_earlier_changes_stay():
    statement = astroid.extract_node("x = 1 + 2  #@")

    def transform(node):
        if node.value == 2:
            raise RuntimeError("fix failed")
        return const(10, node)

    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, transform)
    with pytest.raises(RuntimeError, match="fix failed"):
        visitor.visit(statement)
    assert statement.as_string() == "x = 10 + 2"


def test_error_of_a_predicate_passes_through():
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, increment, lambda node: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        visitor.visit(astroid.extract_node("__(1)"))


def test_each_visitor_keeps_its_own_registrations():
    module = astroid.parse("x = 1\n")
    first, second = helpers.NodeTransformVisitor(), helpers.NodeTransformVisitor()
    first.register_transform(nodes.Const, increment)
    second.visit(module)
    assert module.as_string().strip() == "x = 1"
    first.visit(module)
    assert module.as_string().strip() == "x = 2"
    # a tree already visited by one visitor is transformed again by another
    third = helpers.NodeTransformVisitor()
    third.register_transform(nodes.Const, increment)
    third.visit(module)
    assert module.as_string().strip() == "x = 3"


def test_unregistered_transform_no_longer_applies():
    module = astroid.parse("x = 1\n")
    visitor = helpers.NodeTransformVisitor()
    visitor.register_transform(nodes.Const, increment)
    visitor.unregister_transform(nodes.Const, increment)
    visitor.visit(module)
    assert module.as_string().strip() == "x = 1"


def test_visitor_is_a_transform_visitor_without_documentation():
    cls = helpers.NodeTransformVisitor
    assert issubclass(cls, helpers.TransformVisitor)
    assert cls.__module__ == "vettor.staticanalysis.helpers"
    assert cls.__doc__ is None
    assert dict(cls().transforms) == {}
