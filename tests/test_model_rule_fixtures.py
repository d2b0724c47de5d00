"""The model layout, admin placement and migration rules on the fixture project: every file's
marked findings (code, line and exact argument record), through the lint entry point and
through pylint's own walker with only these rules' checkers."""
import importlib
import json
import os

import astroid
import pytest

from model_rule_support import expected_findings, walk_findings

ROOT = os.path.join(os.path.dirname(__file__), "fixtures", "model_rules")
RULE_MODULES = ("classorder", "admin", "migrations")
OWN_CODES = ("C3", "C5", "C8")

CASES = [
    # member order and fields after Meta
    "shop/models.py",
    # model count and shared prefixes, with the options given through the configuration
    "shop/tall.py",
    "shop/ten.py",
    "shop/max_models_option.py",
    "shop/no_models_option.py",
    "orders/prefix.py",
    "orders/prefix_three.py",
    "orders/prefix_short.py",
    "orders/prefix_words.py",
    "orders/prefix_inner_word.py",
    "orders/prefix_base.py",
    "orders/prefix_abstract.py",
    "orders/prefix_count_option.py",
    "orders/prefix_length_option.py",
    "orders/prefix_length_two_option.py",
    "orders/empty_prefix_option.py",
    # a prefix that is the application's own name: its folder, a models package's folder, the
    # label its apps.py gives
    "shop/own_name.py",
    "boards/models.py",
    "invoice/models/__init__.py",
    "accounts/models.py",
    # admin classes in and out of admin modules
    "shop/views.py",
    "shop/myadmin.py",
    "loose/views.py",
    "shop/admin.py",
    "shop/admins.py",
    "shop/administration.py",
    "blog/admin/inlines.py",
    "loose/admin.py",
    "admin.py",
    # migrations
    "shop/migrations/0001_initial.py",
    "shop/migrations/0002_alias.py",
    "shop/migrations/0003_model_import.py",
    "shop/migrations/0004_broken_import.py",
    "shop/migrations/0005_models_module.py",
    "shop/operations.py",
]


def case_config(relative):
    options = os.path.join(ROOT, os.path.splitext(relative)[0] + ".json")
    if not os.path.exists(options):
        return {}
    with open(options) as handle:
        return json.load(handle)


def expected(relative):
    with open(os.path.join(ROOT, relative)) as handle:
        return expected_findings(handle.read())


def ordered(findings):
    return sorted(findings, key=lambda finding: (finding[1], finding[0], repr(finding[2])))


def forget_fixture_modules():
    # Files outside any package are named by themselves (loose/views.py is "views").
    packages = {os.path.splitext(name)[0] for name in os.listdir(ROOT)} | {"views"}
    cache = astroid.MANAGER.astroid_cache
    for name in [name for name in cache if name.split(".")[0] in packages]:
        del cache[name]


@pytest.fixture(autouse=True)
def fresh_module_cache():
    # astroid keeps built modules by dotted name for the whole process, and other fixture
    # projects have packages of the same names (shop, blog): an import in a migration must
    # find this project's module, and theirs must not find ours.
    forget_fixture_modules()
    yield
    forget_fixture_modules()


@pytest.fixture
def project_on_path(monkeypatch):
    # The linter puts a project's root on the import path; the walker alone does not.
    monkeypatch.syspath_prepend(ROOT)


@pytest.mark.parametrize("relative", CASES)
def test_fixture_through_walker(relative, project_on_path):
    checkers = [importlib.import_module(f"vettor.staticanalysis.checkers.{name}").Checker
                for name in RULE_MODULES]
    found = []
    for checker_class in checkers:
        found += walk_findings(checker_class, os.path.join(ROOT, relative), case_config(relative))
    assert ordered(found) == ordered(expected(relative))


def get_messages():
    try:
        checker = importlib.import_module("vettor.staticanalysis.checker")
    except ImportError:
        pytest.skip("the lint driver (vettor.staticanalysis.checker) is not built on this branch")
    if not hasattr(checker, "get_messages"):
        pytest.skip("the lint driver offers no get_messages yet")
    return checker.get_messages


@pytest.mark.parametrize("relative", CASES)
def test_fixture_through_get_messages(relative):
    records = get_messages()(ROOT, {relative: None}, "3.2", case_config(relative), 1)
    own = [record for record in records if record["message-id"].startswith(OWN_CODES)]
    found = [(record["message-id"], record["line"], record["message"]) for record in own]
    assert ordered(found) == ordered(expected(relative))
    assert {record["path"] for record in own} <= {relative}


def test_a_prefix_that_names_its_own_application_is_quiet_beside_one_that_does_not():
    # Board* in boards/ already is an application; Shop* in orders/ may want one of its own.
    records = get_messages()(ROOT, {"boards/models.py": None, "orders/prefix.py": None}, "3.2", {}, 1)
    assert [(r["path"], r["message-id"], r["message"]) for r in records
            if r["message-id"] == "C3003"] == [("orders/prefix.py", "C3003", {"count": 4, "prefix": "Shop"})]
