"""What a name in `disable` and `enable` stands for: "all", a category letter, a message code
or the start of codes (in either case), a symbol or a rule checker's name. One reading serves the project's table,
the host's configuration, the command line's switches and the pragmas of templates, so a name
silences a Python finding and a template finding alike."""
import json

import pytest

from conftest import write_files
from vettor.staticanalysis import checker, cli

CODES = ["C2000", "C2006", "C7000", "C7001", "E0001", "F0001"]


@pytest.mark.parametrize(
    "name, named",
    [
        ("all", CODES),
        ("C", ["C2000", "C2006", "C7000", "C7001"]),
        ("c", ["C2000", "C2006", "C7000", "C7001"]),
        ("E", ["E0001"]),
        ("W", []),
        ("C2006", ["C2006"]),
        ("c2006", ["C2006"]),
        ("huge-max-length", ["C2006"]),
        ("hard-coded-url", ["C7000"]),
        ("Hard-Coded-Url", []),  # symbols are written as they are declared
        ("syntax-error", ["E0001"]),
        ("columns", ["C2000", "C2006"]),  # the rule checker that reports them
        ("master", ["E0001", "F0001"]),  # the linter's own
        # The start of codes stands for every code it begins, as the category letter does.
        ("C2", ["C2000", "C2006"]),
        ("c70", ["C7000", "C7001"]),
        ("C200", ["C2000", "C2006"]),
        ("C2000", ["C2000"]),
        ("C20001", []),
        ("C1", []),
        ("E0", ["E0001"]),
        ("C9999", []),
        ("nullable", []),
        ("", []),
    ],
)
def test_the_codes_a_name_stands_for(name, named):
    assert checker.codes_named(name, CODES) == named
    # A category letter is a name whatever messages there are.
    assert checker.is_message_name(name) == (bool(named) or name == "W")


@pytest.mark.parametrize(
    "name, is_name",
    [("C4", True), ("c90", True), ("C9", True), ("C99", False), ("C1", False), ("C400", True), ("C401", True), ("C402", False)],
)
def test_the_start_of_codes_is_a_name_when_some_code_begins_with_it(name, is_name):
    assert checker.is_message_name(name) == is_name


def test_a_name_the_linter_knows_beside_vettors_own():
    # pylint's own messages may be named, though no finding of a project lint carries them.
    assert checker.is_message_name("locally-disabled") and checker.is_message_name("I0011")
    assert not checker.is_message_name("unused-import")


@pytest.mark.parametrize(
    "entries, disabled",
    [
        ([], []),
        ([("disable", ["all"]), ("enable", "C2000, hard-coded-url")], ["C2006", "C7001", "E0001", "F0001"]),
        ([("enable", ["C7000"]), ("disable", ["C7000"])], ["C7000"]),
        ([("disable", ["C7000"]), ("enable", ["c7000"])], []),
        ([("disable", "C"), ("exclude", ["x"]), ("enable", ["columns"])], ["C7000", "C7001"]),
    ],
)
def test_entries_apply_in_order_a_later_one_winning(entries, disabled):
    assert checker.disabled_codes(entries, CODES) == disabled


SWITCHED = {
    "manage.py": "",
    # The link is to a page the project routes, so it is reported.
    "settings/dev.py": 'ROOT_URLCONF = "urls"\n',
    "urls.py": "from django.urls import path\n\nurlpatterns = [path('a/', print, name='a')]\n",
    "app/__init__.py": "",
    "app/models.py": "from django.db import models\n\n\nclass Item(models.Model):\n"
                     "    name = models.CharField(max_length=20, null=True)\n",
    "app/templates/page.html": '<a href="/a/">A</a>\n',
    # The route that serves the link (read from a development settings module, which is
    # itself never judged).
    "project/__init__.py": "",
    "project/settings/__init__.py": "",
    "project/settings/dev.py": 'ROOT_URLCONF = "project.urls"\n',
    "project/urls.py": "from django.urls import path\n\nurlpatterns = [path(\"a/\", lambda r: None, name=\"a\")]\n",
}


@pytest.mark.parametrize(
    "name, left",
    [
        ("c2000", {"C7000"}),
        ("c7000", {"C2000"}),
        ("C", set()),
        ("nullable-string-field", {"C7000"}),
        ("hard-coded-url", {"C2000"}),
        ("columns", {"C7000"}),
        ("C2", {"C7000"}),
        ("C70", {"C2000"}),
    ],
)
def test_a_name_means_the_same_for_python_and_template_findings(tmp_path, monkeypatch, capsys, name, left):
    root = write_files(tmp_path / "project", SWITCHED)
    files = {"app/models.py": None, "app/templates/page.html": None}
    found = checker.get_messages(str(root), files, config={"disable": [name]}, jobs=1)
    assert {m["message-id"] for m in found} == left
    monkeypatch.chdir(root)
    cli.main(["-j", "1", "--format", "json", "--disable", name])
    assert {m["message-id"] for m in json.loads(capsys.readouterr().out)} == left
