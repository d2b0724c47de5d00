"""Migration rules: what the checker declares, and the reverse-code predicate on the call
shapes that the fixture project does not show."""
import astroid
import pytest

from model_rule_support import walk_source
from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import migrations

HEADER = "from django.db import migrations\n\n\nclass Migration(migrations.Migration):\n    pass\n\n\n"


def test_checker_declares_its_messages():
    assert migrations.Checker.name == "migrations"
    assert {code: entry[1:] for code, entry in migrations.Checker.msgs.items()} == {
        "C8000": ("migration-model-import", "Detects importing model in migration"),
        "C8001": ("missing-reverse-migration", "Detects if migration has no backwards"),
    }
    assert all(isinstance(entry[0], helpers.context_string)
               for entry in migrations.Checker.msgs.values())
    assert (migrations.Codes.C8000, migrations.Codes.C8001) == ("C8000", "C8001")
    assert not getattr(migrations.Checker, "options", ())


@pytest.mark.parametrize("call, answer", [
    ("migrations.RunPython(f)", True),
    ("migrations.RunPython(code=f)", True),
    ("migrations.RunPython(f, atomic=True)", True),
    ("migrations.RunPython(*ops)", True),
    ("migrations.RunPython(f, reverse_code=g)", False),
    ("migrations.RunPython(f, atomic=True, reverse_code=g)", False),
    ("migrations.RunPython(f, g)", None),
    ("migrations.RunPython(f, g, reverse_code=h)", None),
    ("RunPython(f)", None),
    ("migrations.RunSQL('')", None),
    ("run()()", None),
    # no forwards code named at all: nothing to judge
    ("migrations.RunPython()", False),
    ("migrations.RunPython(**options)", False),
    ("migrations.RunPython(atomic=True)", False),
])
def test_missing_reverse(call, answer):
    node = astroid.extract_node(HEADER + call)
    assert migrations.is_missing_reverse(node) is answer
    assert migrations.is_missing_reverse(node=node) is answer


@pytest.mark.parametrize("node", [
    astroid.extract_node("class Helper:\n    pass\n\n\nmigrations.RunPython(f)"),
    astroid.extract_node("migrations.RunPython(f)"),
    astroid.extract_node(HEADER + "migrations.RunPython"),
])
def test_missing_reverse_outside_a_migration_or_a_call(node):
    assert migrations.is_missing_reverse(node) is None


@pytest.mark.parametrize("operation", [
    "migrations.RunPython()",
    "migrations.RunPython(**options)",
    "Missing.objects.all()",
    "unknown().objects.all()",
])
def test_open_inputs_report_nothing(operation):
    source = HEADER + f"def forwards(apps, schema_editor):\n    {operation}\n"
    assert walk_source(migrations.Checker, source, "shop.migrations.0009_open") == []


def test_models_do_not_carry_over_between_modules(tmp_path, monkeypatch):
    from pylint.testutils import UnittestLinter
    from pylint.utils import ASTWalker

    (tmp_path / "library_models.py").write_text(
        "from django.db import models\n\n\nclass Book(models.Model):\n    pass\n")
    monkeypatch.syspath_prepend(str(tmp_path))
    linter = UnittestLinter()
    checker = migrations.Checker(linter)
    walker = ASTWalker(linter)
    walker.add_checker(checker)
    walker.walk(astroid.parse(HEADER + "from library_models import Book\nBook.objects.all()\n",
                              "library.migrations.0001_first"))
    walker.walk(astroid.parse(HEADER + "import library_models\nlibrary_models.Book.objects.all()\n",
                              "library.migrations.0002_second"))
    found = [(m.msg_id, m.args) for m in linter.release_messages()]
    assert found == [("C8000", {"name": "Book"})]
    assert checker.imported_model_names == []
