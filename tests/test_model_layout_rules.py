"""Model class layout rules: what the checker declares, how shared name prefixes are counted,
and the layouts the fixture project does not show."""
import pytest

from model_rule_support import walk_source
from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import classorder


def test_checker_declares_its_messages_and_options():
    checker = classorder.Checker
    assert checker.name == "models"
    assert {code: entry[1:] for code, entry in checker.msgs.items()} == {
        "C3000": ("tall-models", "To many models"),
        "C3002": ("model-method-order", "Wrong method order"),
        "C3003": ("model-common-prefix", "Common application prefix"),
    }
    assert all(isinstance(entry[0], helpers.context_string) and entry[0] == ""
               for entry in checker.msgs.values())
    assert checker.options == (
        ("max-models", {"default": 10, "type": "int", "metavar": "<int>",
                        "help": "Maximum number of models per module"}),
        ("min-common-model-prefix-length", {"default": 4, "type": "int", "metavar": "<int>",
                                            "help": "Minimum length of model prefixes"}),
        ("max-common-model-prefix", {
            "default": 4, "type": "int", "metavar": "<int>",
            "help": "Maximum number of models that can have the same prefix"}),
    )
    assert (classorder.Codes.C3000, classorder.Codes.C3002, classorder.Codes.C3003) == (
        "C3000", "C3002", "C3003")
    assert classorder.STANDARD_CLASSORDER == ("Meta", "__str__", "save", "get_absolute_url")


@pytest.mark.parametrize("values, min_length, counted", [
    # Prefixes end at a word of the name, and the whole name counts as its own prefix.
    (["ShopItem"], 4, [("Shop", 1), ("ShopItem", 1)]),
    (["ShopItem"], 5, [("ShopItem", 1)]),
    (["ShopA"], 4, [("Shop", 1), ("ShopA", 1)]),
    (["Shop"], 4, [("Shop", 1)]),
    (["Shop"], 5, []),
    (["Shopx", "Shopx", "Shop"], 4, [("Shopx", 2), ("Shop", 1)]),
    (["ShopA", "BaseB", "ShopC"], 4, [("Shop", 2), ("ShopA", 1), ("Base", 1), ("BaseB", 1),
                                      ("ShopC", 1)]),
    # the end of an acronym, digits, underscores
    (["HTTPRequest"], 1, [("HTTP", 1), ("HTTPRequest", 1)]),
    (["Page2Block"], 1, [("Page2", 1), ("Page2Block", 1)]),
    (["shop_item"], 1, [("shop", 1), ("shop_item", 1)]),
    (["ab", "cd", "e"], 0, [("ab", 1), ("cd", 1), ("e", 1)]),
])
def test_prefixes_are_counted_once_per_name(values, min_length, counted):
    counter = classorder.get_longest_common_prefix(values, min_length)
    assert list(counter.items()) == counted
    assert counter["absent"] == 0
    assert classorder.get_longest_common_prefix(values=values, min_length=min_length) == counter


MODEL_HEADER = "from django.db import models\n"


@pytest.mark.parametrize("body", [
    # Meta is found, but its value has no line to compare with
    "from nowhere import Meta\n\n\nclass Book(models.Model):\n    def f(self):\n        pass\n"
    "    title = models.CharField(max_length=3)\n",
    # no Meta in reach at all
    "class Book(models.Model):\n    def f(self):\n        pass\n"
    "    title = models.CharField(max_length=3)\n",
    # a field call inside a method
    "class Book(models.Model):\n    class Meta:\n        pass\n\n    def f(self):\n"
    "        return models.CharField(max_length=3)\n",
])
def test_field_order_is_not_judged_without_a_placed_meta(body):
    assert walk_source(classorder.Checker, MODEL_HEADER + body, "layout_case") == []


def test_meta_after_a_field_of_an_enclosing_model_does_not_count():
    source = MODEL_HEADER + (
        "class Book(models.Model):\n"
        "    title = models.CharField(max_length=3)\n"
        "\n"
        "    def f(self):\n"
        "        pass\n"
        "\n"
        "    pages = models.IntegerField()\n"
        "\n"
        "    class Meta:\n"
        "        ordering = ['title']\n")
    assert walk_source(classorder.Checker, source, "layout_case") == []


def test_state_starts_afresh_for_every_module():
    from pylint.testutils import UnittestLinter
    from pylint.utils import ASTWalker
    import astroid

    linter = UnittestLinter()
    checker = classorder.Checker(linter)
    checker.config.max_models = 2
    walker = ASTWalker(linter)
    walker.add_checker(checker)
    one_model = MODEL_HEADER + "class Aa(models.Model):\n    pass\n"
    walker.walk(astroid.parse(one_model, "layout_first"))
    walker.walk(astroid.parse(one_model, "layout_second"))
    assert linter.release_messages() == []
    assert checker.model_names == ["Aa"]


FOUR_MODELS = MODEL_HEADER + "".join(
    f"class {name}(models.Model):\n    pass\n" for name in ("X", "XTemplate", "XRole", "XSetting"))


@pytest.mark.parametrize("prefix, module_name, reported", [
    # A module parsed from a text is named by its package; the application's name in either
    # number and in any case, with or without underscores.
    ("Board", "boards.models", False),
    ("Board", "Boards.models", False),
    ("Invoice", "invoice.models", False),
    ("Invoice", "invoice.models.lines", False),
    ("Category", "categories.models", False),
    ("Boxes", "box.models", False),
    ("OrderLine", "order_line.models", False),
    ("Shop", "orders.models", True),
    ("Board", "dashboards.models", True),
    ("Boar", "boards.models", True),
    ("Board", "models", True),
])
def test_prefix_of_the_application_of_a_parsed_module(prefix, module_name, reported):
    source = FOUR_MODELS.replace("X", prefix)
    found = walk_source(classorder.Checker, source, module_name)
    assert bool(found) is reported, found
