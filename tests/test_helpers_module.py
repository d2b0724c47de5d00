"""What the helpers module binds when it loads."""
import subprocess
import sys

import astroid
from astroid import nodes

from vettor.staticanalysis import helpers

LOAD_ORDER = [
    "Decimal",
    "attrgetter",
    "re",
    "astroid",
    "walk",
    "ASTTokens",
    "TransformVisitor",
    "AstroidManager",
    "safe_infer",
    "tok_name",
    "const_factory",
    "DJANGO_STRING_FIELDS",
    "DJANGO_BOOLEAN_FIELDS",
    "context_string",
    "NodeValueUndefinable",
    "NodeTransformVisitor",
    "get_hyperlink",
    "serializer",
    "normalize_django_template",
    "is_model",
    "is_model_field",
    "is_related_field",
    "is_queryset",
    "is_model_manager",
    "is_model_admin",
    "is_migration_file",
    "is_node_abstract_model",
    "astroid_node_to_value",
    "get_node_explicit_arguments",
    "get_node_default_arguments",
    "get_astroid_node_constant_values",
    "get_member_name",
    "get_function_name",
]


def test_names_are_bound_in_load_order():
    bound = [name for name in vars(helpers) if name in LOAD_ORDER]
    assert bound == LOAD_ORDER


def test_field_name_sets_hold_plain_class_names():
    assert helpers.DJANGO_STRING_FIELDS == {
        "TextField",
        "CharField",
        "URLField",
        "EmailField",
        "SlugField",
    }
    assert helpers.DJANGO_BOOLEAN_FIELDS == {"BooleanField", "NullBooleanField"}
    assert "BooleanField" not in helpers.DJANGO_STRING_FIELDS
    for name in ("ForeignKey", "django.db.models.fields.CharField"):
        assert name not in helpers.DJANGO_STRING_FIELDS | helpers.DJANGO_BOOLEAN_FIELDS


def test_libraries_are_the_real_ones():
    from pylint.checkers.utils import safe_infer

    assert helpers.astroid is astroid
    assert helpers.safe_infer is safe_infer
    assert helpers.const_factory(5).value == 5


def test_const_factory_comes_from_astroid_nodes_when_astroid_lacks_it():
    # the installed astroid keeps it in astroid.nodes only
    assert not hasattr(astroid, "const_factory")
    assert helpers.const_factory is nodes.const_factory


def test_const_factory_of_the_astroid_package_is_preferred():
    script = (
        "import astroid\n"
        "def factory(value):\n"
        "    return value\n"
        "astroid.const_factory = factory\n"
        "from vettor.staticanalysis import helpers\n"
        "assert helpers.const_factory is factory\n"
    )
    subprocess.run([sys.executable, "-c", script], check=True)
