"""Django classes are recognised by qualified name in a class's order, on real astroid trees
of small Django sources (astroid reads Django's own sources from the environment)."""
import astroid
import pytest
from pylint.checkers.utils import safe_infer

from vettor.staticanalysis import helpers

PRELUDE = """\
from django.contrib import admin
from django.db import migrations, models
from django.db.models import Model as DjangoModel
"""


def marked(source):
    """The node marked with `#@` (or wrapped in `__()`) in a source below the Django imports."""
    return astroid.extract_node(PRELUDE + source)


# (source, pass the inferred value instead of the node, expected answer)
ORDER_CASES = {
    "is_model": [
        ("class Book(models.Model):  #@\n    pass", False, True),
        ("class Book(DjangoModel):  #@\n    pass", False, True),
        ("class Base(models.Model):\n    pass\nclass Book(Base):  #@\n    pass", False, True),
        ("__(models.Model)", True, True),
        ("class Book(models.Model):\n    pass\n__(Book())", True, True),
        ("class Model:\n    pass\nclass Book(Model):  #@\n    pass", False, False),
        ("class Book(missing.Model):  #@\n    pass", False, False),
        ("class Book:  #@\n    pass", False, False),
        ("def book():  #@\n    pass", False, False),
        ("__(models.Model)", False, False),  # an attribute expression, not inferred here
        ("class Base:\n    pass\nclass Book(Base, Base):  #@\n    pass", False, False),
        (
            "class A:\n    pass\nclass B(A):\n    pass\nclass Book(A, B, models.Model):  #@\n"
            "    pass",
            False,
            False,
        ),
    ],
    "is_model_field": [
        ("__(models.CharField(max_length=10))", False, True),
        ("__(models.ForeignKey('Author', on_delete=models.CASCADE))", False, True),
        ("class Upper(models.CharField):\n    pass\n__(Upper())", False, True),
        ("__(models.CharField)", False, True),  # the class itself is in its own order
        ("__(int(3))", False, False),
        ("__(unknown_call())", False, False),
        ("__(models.Manager())", False, False),
    ],
    "is_related_field": [
        ("class Owner(models.ForeignKey):  #@\n    pass", False, True),
        ("__(models.ManyToManyField)", True, True),
        ("__(models.OneToOneField('Author', on_delete=models.CASCADE))", True, True),
        ("__(models.CharField)", True, False),
        ("__(models.ForeignKey)", False, False),  # not inferred: an attribute node
    ],
    "is_queryset": [
        ("class BookQuerySet(models.QuerySet):  #@\n    pass", False, True),
        ("__(models.QuerySet())", True, True),
        ("__([1, 2])", True, False),
        ("__(models.Manager())", True, False),
        ("__(unknown_call())", True, False),  # safe_infer gives None
    ],
    "is_model_manager": [
        ("class BookManager(models.Manager):  #@\n    pass", False, True),
        ("__(models.Manager())", True, True),
        ("class BookQuerySet(models.QuerySet):  #@\n    pass", False, False),
        ("__(models.Manager)", False, False),
    ],
    "is_model_admin": [
        ("class BookAdmin(admin.ModelAdmin):  #@\n    pass", False, True),
        ("class ChapterInline(admin.TabularInline):  #@\n    pass", False, True),
        ("class Site(admin.AdminSite):  #@\n    pass", False, False),
        ("class BookAdmin:  #@\n    pass", False, False),
        ("def book_admin():  #@\n    pass", False, False),
    ],
}


# Each Django class itself, imported from the module that defines it: its order starts
# with the class, so it matches its own qualified name. (source, pass the inferred value)
DJANGO_CLASSES = {
    "is_model": ("from django.db.models.base import Model\n__(Model)", True),
    "is_model_field": ("from django.db.models.fields import Field\n__(Field)", False),
    "is_related_field": (
        "from django.db.models.fields.related import RelatedField\n__(RelatedField)",
        True,
    ),
    "is_queryset": ("from django.db.models.query import QuerySet\n__(QuerySet)", True),
    "is_model_manager": ("from django.db.models.manager import Manager\n__(Manager)", True),
    "is_model_admin": (
        "from django.contrib.admin.options import BaseModelAdmin\n__(BaseModelAdmin)",
        True,
    ),
}


@pytest.mark.parametrize("predicate, case", DJANGO_CLASSES.items(), ids=list(DJANGO_CLASSES))
def test_the_django_class_itself_is_one(predicate, case):
    source, infer = case
    node = marked(source)
    assert getattr(helpers, predicate)(safe_infer(node) if infer else node) is True


def test_django_migration_module_is_a_migration_file():
    module = astroid.MANAGER.ast_from_module_name("django.db.migrations.migration")
    assert helpers.is_migration_file(module) is True


# A class whose order astroid cannot compute (duplicate bases) would match if it could be read.
UNREADABLE = {
    "is_model": "class Bad(models.Model, models.Model):  #@\n    pass",
    "is_model_field": "class Bad(models.CharField, models.CharField):\n    pass\n__(Bad())",
    "is_related_field": "class Bad(models.ForeignKey, models.ForeignKey):  #@\n    pass",
    "is_queryset": "class Bad(models.QuerySet, models.QuerySet):  #@\n    pass",
    "is_model_manager": "class Bad(models.Manager, models.Manager):  #@\n    pass",
    "is_model_admin": "class Bad(admin.ModelAdmin, admin.ModelAdmin):  #@\n    pass",
}


@pytest.mark.parametrize("predicate, source", UNREADABLE.items(), ids=list(UNREADABLE))
def test_class_whose_order_cannot_be_computed_is_no_django_class(predicate, source):
    node = marked(source)
    target = safe_infer(node) if predicate == "is_model_field" else node
    with pytest.raises(astroid.exceptions.MroError):
        target.mro()
    assert getattr(helpers, predicate)(node) is False


def order_case_params():
    for predicate, cases in ORDER_CASES.items():
        for number, (source, infer, expected) in enumerate(cases):
            yield pytest.param(predicate, source, infer, expected, id=f"{predicate}-{number}")


@pytest.mark.parametrize("predicate, source, infer, expected", order_case_params())
def test_django_class_is_found_in_the_class_order(predicate, source, infer, expected):
    node = marked(source)
    if infer:
        node = safe_infer(node)
    assert getattr(helpers, predicate)(node) is expected


ORDER_PREDICATES = [
    "is_model",
    "is_model_field",
    "is_related_field",
    "is_queryset",
    "is_model_manager",
    "is_model_admin",
    "is_migration_file",
]


@pytest.mark.parametrize("predicate", ORDER_PREDICATES)
@pytest.mark.parametrize("node", [None, 3, "text", object()], ids=repr)
def test_unusual_node_is_no_django_class(predicate, node):
    assert getattr(helpers, predicate)(node) is False


class OrderFails:
    """A node stand-in whose order cannot be computed, with a chosen error."""

    def __init__(self, error):
        self.error = error

    def mro(self):
        raise self.error

    # is_migration_file starts from the module of the node
    def root(self):
        raise self.error

    # is_model_field infers first
    def infer(self, context=None):
        raise self.error


@pytest.mark.parametrize("predicate", ORDER_PREDICATES)
def test_errors_of_the_exception_family_answer_false(predicate):
    assert getattr(helpers, predicate)(OrderFails(ValueError("no order"))) is False


@pytest.mark.parametrize("predicate", ORDER_PREDICATES)
def test_errors_outside_the_exception_family_pass_through(predicate):
    with pytest.raises(KeyboardInterrupt):
        getattr(helpers, predicate)(OrderFails(KeyboardInterrupt()))


def test_failing_qname_answers_false():
    class Klass:
        def qname(self):
            raise RuntimeError("no name")

    class Node:
        def mro(self):
            return [Klass()]

    assert helpers.is_model(Node()) is False


def test_order_walk_stops_at_the_first_match():
    read = []

    class Klass:
        def __init__(self, name):
            self.name = name

        def qname(self):
            read.append(self.name)
            if self.name == "broken":
                raise AssertionError("read past the match")
            return self.name

    class Node:
        def mro(self):
            return [Klass("app.Book"), Klass("django.db.models.base.Model"), Klass("broken")]

    assert helpers.is_model(Node()) is True
    assert read == ["app.Book", "django.db.models.base.Model"]


@pytest.mark.parametrize("predicate", ["is_model", "is_related_field"])
def test_extra_keyword_arguments_are_ignored(predicate):
    node = marked("class Owner(models.ForeignKey, models.Model):  #@\n    pass")
    assert getattr(helpers, predicate)(node=node, context=None, anything=1) is True


MIGRATION = """\
class Migration(migrations.Migration):
    dependencies = []
    operations = []
"""

# (module source, expected answer)
MIGRATION_CASES = [
    pytest.param(MIGRATION, True, id="migration-class"),
    pytest.param(
        "from django.db.migrations import Migration as Base\nclass Migration(Base):\n    pass\n",
        True,
        id="aliased-base",
    ),
    pytest.param("class Helper:\n    pass\n" + MIGRATION, False, id="ordinary-class-first"),
    pytest.param(MIGRATION + "class Helper:\n    pass\n", True, id="ordinary-class-after"),
    pytest.param("X = 1\n", False, id="no-class"),
    pytest.param("class Broken(dict, dict):\n    pass\n" + MIGRATION, True, id="unreadable-first"),
    pytest.param("class Book(models.Model):\n    pass\n", False, id="models-module"),
    pytest.param(
        "class Outer:\n    class Migration(migrations.Migration):\n        pass\n",
        False,
        id="outer-class-decides",
    ),
    pytest.param(
        "class Migration(migrations.Migration):\n    class Inner:\n        pass\n",
        True,
        id="nested-class-after-migration",
    ),
]


@pytest.mark.parametrize("source, expected", MIGRATION_CASES)
def test_module_is_a_migration_when_its_first_readable_class_is_one(source, expected):
    module = astroid.parse(PRELUDE + source)
    assert helpers.is_migration_file(module) is expected
    # any node of the module answers for its module
    deepest = list(module.nodes_of_class(astroid.nodes.NodeNG))[-1]
    assert helpers.is_migration_file(node=deepest) is expected


# (class source, expected: the name of the binding node found, or False)
ABSTRACT_CASES = [
    pytest.param("class Meta:\n        abstract = True", "abstract", id="abstract-true"),
    pytest.param("class Meta:\n        abstract = False", "abstract", id="abstract-false"),
    pytest.param("pass", False, id="no-meta"),
    pytest.param("class Meta:\n        ordering = ['id']", False, id="meta-without-abstract"),
    pytest.param("Meta = CommonMeta", "abstract", id="meta-assigned-a-class"),
    pytest.param("Meta = 3", False, id="meta-assigned-a-value"),
    pytest.param("from app.meta import Meta", False, id="meta-imported"),
]


@pytest.mark.parametrize("body, expected", ABSTRACT_CASES)
def test_abstract_model_is_read_from_the_class_own_meta(body, expected):
    source = (
        "class CommonMeta:\n    abstract = True\n"
        f"class Book(models.Model):  #@\n    title = models.CharField()\n    {body}\n"
    )
    found = helpers.is_node_abstract_model(marked(source))
    if expected is False:
        assert found is False
    else:
        assert found and isinstance(found, astroid.AssignName) and found.name == expected


def test_abstract_meta_of_a_base_class_is_not_seen():
    node = marked(
        "class Base(models.Model):\n    class Meta:\n        abstract = True\n"
        "class Book(Base):  #@\n    pass\n"
    )
    assert helpers.is_node_abstract_model(node=node) is False


def test_abstract_model_of_a_field_frame():
    call = marked(
        "class Base(models.Model):\n    title = __(models.CharField())\n"
        "    class Meta:\n        abstract = True\n"
    )
    assert helpers.is_node_abstract_model(call.frame())


def test_abstract_model_lets_other_errors_through():
    with pytest.raises(TypeError):
        helpers.is_node_abstract_model(None)
