"""Admin placement rule: the module names and files that count as an admin module."""
import os

import pytest

from model_rule_support import walk_source
from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import admin

SOURCE = "from django.contrib import admin\n\n\nclass BookAdmin(admin.ModelAdmin):\n    pass\n"
FINDING = [("C5000", 4, {"name": "BookAdmin"})]


def test_checker_declares_its_message():
    assert admin.Checker.name == "admin"
    assert {code: entry[1:] for code, entry in admin.Checker.msgs.items()} == {
        "C5000": ("misplaced-admin-class", "Admin class should be in admin.py")}
    assert isinstance(admin.Checker.msgs["C5000"][0], helpers.context_string)
    assert admin.Codes.C5000 == "C5000"
    assert not getattr(admin.Checker, "options", ())


@pytest.mark.parametrize("module_name, findings", [
    ("shop.admin", []),
    ("shop.admin.inlines", []),
    ("shop.admins", []),
    ("shop.administration", []),
    ("shop.views", FINDING),
    ("shop.myadmin", FINDING),
    ("shop.Admin", FINDING),
    ("views", FINDING),
])
def test_module_name_decides_when_there_is_no_file(module_name, findings):
    assert walk_source(admin.Checker, SOURCE, module_name) == findings


@pytest.mark.parametrize("files, linted, findings", [
    # a file named admin.py, whatever the linter calls its module
    (["shop/admin.py"], "shop/admin.py", []),
    (["admin.py"], "admin.py", []),
    # a module inside an admin package, also when the package's parent is no package
    (["shop/admin/__init__.py", "shop/admin/inlines.py"], "shop/admin/inlines.py", []),
    (["shop/admin/__init__.py", "shop/admin/forms/__init__.py", "shop/admin/forms/inline.py"],
     "shop/admin/forms/inline.py", []),
    (["shop/admin/__init__.py"], "shop/admin/__init__.py", []),
    # not admin modules
    (["shop/views.py"], "shop/views.py", FINDING),
    (["shop/Admin.py"], "shop/Admin.py", FINDING),
    (["shop/admin_tools.py"], "shop/admin_tools.py", FINDING),
    # a folder named admin above a folder that is no package does not hold this module
    (["admin/shop/views.py"], "admin/shop/views.py", FINDING),
    # nor does a folder named admin that is no package itself (the checkout a project sits in)
    (["admin/shop/__init__.py", "admin/shop/views.py"], "admin/shop/views.py", FINDING),
    (["shop/admin/inlines.py"], "shop/admin/inlines.py", FINDING),
])
def test_file_decides_for_modules_named_without_their_package(
        tmp_path, files, linted, findings):
    for name in files:
        path = tmp_path / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(SOURCE if name == linted else "")
    # The linter names a file outside any package by its own name only.
    module_name = os.path.splitext(os.path.basename(linted))[0]
    assert walk_source(admin.Checker, SOURCE, module_name, path=str(tmp_path / linted)) == findings


def test_class_with_unresolvable_bases_is_not_reported():
    source = "from nowhere import ModelAdmin\n\n\nclass BookAdmin(ModelAdmin):\n    pass\n"
    assert walk_source(admin.Checker, source, "shop.views") == []


def test_project_in_a_folder_named_admin(tmp_path):
    from vettor.staticanalysis import checker

    root = tmp_path / "admin"
    (root / "shop" / "admin").mkdir(parents=True)
    (root / "blog").mkdir()  # an app folder without __init__.py
    for name in ["shop/__init__.py", "shop/admin/__init__.py"]:
        (root / name).write_text("")
    linted = ["shop/views.py", "shop/admin/inlines.py", "blog/admin.py", "views.py"]
    for name in linted:
        (root / name).write_text(SOURCE)
    selection = {name: None for name in linted}
    records = checker.get_messages(str(root), selection, "3.2", {}, 1)
    found = sorted((r["path"], r["line"], r["message"]) for r in records
                   if r["message-id"] == "C5000")
    assert found == [("shop/views.py", 4, {"name": "BookAdmin"}),
                     ("views.py", 4, {"name": "BookAdmin"})]
