"""The fix that gives a RunPython operation without reverse code a do-nothing reverse step,
applied through the visitor that the migration rules build."""
import ast

import astroid
import asttokens
import pytest

from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import migrations

HEADER = "from django.db import migrations\n\n\ndef forwards(apps, schema_editor):\n    pass\n\n\n"


def migration(operation, header=HEADER):
    return header + f"class Migration(migrations.Migration):\n    operations = [\n        {operation}\n    ]\n"


def parse_with_tokens(source):
    """A tree whose nodes carry their tokens, like the trees the fix road works on."""
    tree = astroid.parse(source, module_name="shop.migrations.0002_data")
    asttokens.ASTTokens(source, tree=tree)
    return tree


def operation_call(tree):
    return next(call for call in tree.nodes_of_class(astroid.Call)
                if isinstance(call.func, astroid.Attribute) and call.func.attrname == "RunPython")


def fix(tree, message_ids=("C8001",)):
    call = operation_call(tree)
    result = migrations.build_transformer_visitor(message_ids).visit(call)
    return call, result


FIXED = [
    ("migrations.RunPython(forwards)  # data fix",
     "migrations.RunPython(forwards, migrations.RunPython.noop)"),
    ("migrations.RunPython(code=forwards)  # data fix",
     "migrations.RunPython(code=forwards, reverse_code=migrations.RunPython.noop)"),
    ("migrations.RunPython(forwards, atomic=False)  # data fix",
     "migrations.RunPython(forwards, atomic=False, reverse_code=migrations.RunPython.noop)"),
    ("migrations.RunPython(forwards, **options)  # data fix",
     "migrations.RunPython(forwards, **options, reverse_code=migrations.RunPython.noop)"),
]


@pytest.mark.parametrize("before, after", FIXED)
def test_reverse_code_is_added(before, after):
    call, result = fix(parse_with_tokens(migration(before)))
    assert result is call
    assert call.as_string() == after
    ast.parse(call.as_string())
    ast.parse(call.root().as_string())


def test_receiver_of_the_call_is_kept():
    header = HEADER.replace("import migrations", "import migrations as m")
    source = migration("m.RunPython(forwards)  # data fix", header).replace(
        "(migrations.Migration)", "(m.Migration)")
    call, _ = fix(parse_with_tokens(source))
    assert call.as_string() == "m.RunPython(forwards, m.RunPython.noop)"


@pytest.mark.parametrize("before", [
    "migrations.RunPython(forwards)  # data fix",
    "migrations.RunPython(code=forwards)  # data fix",
])
def test_added_nodes_take_the_call_position_and_no_tokens(before):
    tree = parse_with_tokens(migration(before))
    call = operation_call(tree)
    last_token = call.last_token
    fix(tree)
    added = call.args[-1] if not call.keywords else call.keywords[-1]
    new_nodes = [added] + list(added.get_children())
    for node in new_nodes:
        assert (node.lineno, node.col_offset) == (call.lineno, call.col_offset)
        # Tokens of the call on an argument would hand the call's trailing comment to that
        # argument when the tree is rendered with its comments.
        assert not hasattr(node, "first_token") and not hasattr(node, "last_token")
    assert added.parent is call
    if isinstance(added, astroid.Keyword):
        assert added.value.parent is added
    # The call still ends with its own closing bracket, and the comment follows it.
    assert call.last_token is last_token and last_token.string == ")"


@pytest.mark.parametrize("source", [
    migration("migrations.RunPython(forwards, forwards)"),
    migration("migrations.RunPython(forwards, reverse_code=forwards)"),
    migration("migrations.RunPython(code=forwards, reverse_code=forwards)"),
    migration("migrations.RunPython()"),
    migration("migrations.RunPython(**options)"),
    # not a migration module: the first class is not a migration
    "class Helper:\n    pass\n\n\n" + migration("migrations.RunPython(forwards)"),
])
def test_calls_that_are_left_alone(source):
    tree = parse_with_tokens(source)
    call = operation_call(tree)
    before = call.as_string()
    fix(tree)
    assert call.as_string() == before


def test_plain_runpython_name_is_left_alone():
    source = migration("RunPython(forwards)", HEADER + "from django.db.migrations import RunPython\n\n\n")
    tree = parse_with_tokens(source)
    call = next(c for c in tree.nodes_of_class(astroid.Call) if c.as_string() == "RunPython(forwards)")
    assert not migrations.is_missing_reverse(call)
    migrations.build_transformer_visitor({"C8001"}).visit(call)
    assert call.as_string() == "RunPython(forwards)"


def test_whole_module_visit_fixes_every_operation():
    tree = parse_with_tokens(migration(
        "migrations.RunPython(forwards),\n        migrations.RunPython(code=forwards),"))
    migrations.build_transformer_visitor(["C8001"]).visit(tree)
    fixed = [c.as_string() for c in tree.nodes_of_class(astroid.Call)
             if isinstance(c.func, astroid.Attribute) and c.func.attrname == "RunPython"]
    assert fixed == ["migrations.RunPython(forwards, migrations.RunPython.noop)",
                     "migrations.RunPython(code=forwards, reverse_code=migrations.RunPython.noop)"]


@pytest.mark.parametrize("message_ids, count", [
    ([], 0), (["C8000", "C2000"], 0), (["C8001"], 1), (["C8001", "C8001"], 2), ({"C8001", "C9000"}, 1),
])
def test_visitor_registers_the_fix_for_its_code_only(message_ids, count):
    visitor = migrations.build_transformer_visitor(message_ids)
    assert isinstance(visitor, helpers.NodeTransformVisitor)
    assert visitor.transforms[astroid.Call] == [
        (migrations.add_reverse_code, migrations.is_missing_reverse)] * count


def test_visitor_reads_the_rule_functions_at_call_time(monkeypatch):
    monkeypatch.setattr(migrations, "is_missing_reverse", lambda node: False)
    visitor = migrations.build_transformer_visitor(["C8001"])
    assert visitor.transforms[astroid.Call][0][1] is migrations.is_missing_reverse


@pytest.mark.parametrize("before, after", [
    ("operation = migrations.RunPython(forwards)  # data fix",
     "operation = migrations.RunPython(forwards, migrations.RunPython.noop)  # data fix"),
    ("operation = migrations.RunPython(code=forwards)  # data fix",
     "operation = migrations.RunPython(code=forwards, reverse_code=migrations.RunPython.noop)"
     "  # data fix"),
])
def test_fixed_code_renders_with_its_trailing_comment(before, after):
    from vettor.staticanalysis import suggest

    source = HEADER + f"class Migration(migrations.Migration):\n    {before}\n    operations = [operation]\n"
    atok = helpers.build_atok(source, modname="shop.migrations.0002_data")
    call = operation_call(atok.tree)
    migrations.build_transformer_visitor({"C8001"}).visit(call)
    assert suggest.node_as_string(atok=atok, node=call.statement()) == after


def test_transform_given_a_statement_fixes_its_call():
    tree = parse_with_tokens(migration("migrations.RunPython(forwards)").replace(
        "    operations = [\n        migrations.RunPython(forwards)\n    ]\n",
        "    migrations.RunPython(forwards)\n"))
    statement = tree.body[-1].body[0]
    assert isinstance(statement, astroid.Expr)
    assert migrations.add_reverse_code(statement) is statement
    assert statement.as_string() == "migrations.RunPython(forwards, migrations.RunPython.noop)"
    name = astroid.extract_node("noop")
    assert migrations.add_reverse_code(name) is name
