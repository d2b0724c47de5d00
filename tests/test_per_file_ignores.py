"""Per-file ignores: findings a project leaves out in some of its files (queryset findings in
test code, a rule in migrations), through [tool.vettor] per-file-ignores, the host's `config`
and --per-file-ignores alike, on the lint and on the fix road."""
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from vettor.staticanalysis import checker, cli, meta, transformer

PROJECT = Path(__file__).parent / "fixtures" / "ignores_project"
EVERY = {
    ("shop/models.py", "C2000"),
    ("shop/views.py", "C9000"),
    ("shop/tests/test_views.py", "C9000"),
    ("shop/tests/test_views.py", "C9002"),
    ("shop/templates/shop/page.html", "C7001"),
}
FILES = {
    "shop/models.py": None,
    "shop/views.py": None,
    "shop/tests/test_views.py": None,
    "shop/templates/shop/page.html": None,
}
TESTS = {("shop/tests/test_views.py", "C9000"), ("shop/tests/test_views.py", "C9002")}
TEMPLATE = {("shop/templates/shop/page.html", "C7001")}

# (the table, its command-line spelling, the findings it leaves out)
CASES = [
    ({}, "", set()),
    ({"shop/tests/*": ["C9000", "C9002"]}, "shop/tests/*:C9000,C9002", TESTS),
    # a folder's name anywhere, a symbol
    ({"tests": ["queryset-length"]}, "tests:queryset-length", {("shop/tests/test_views.py", "C9000")}),
    # the start of codes, a file's name
    ({"test_*.py": ["C90"]}, "test_*.py: C90", TESTS),
    ({"*/tests/*": ["all"], "*.html": ["C"]}, "*/tests/*:all *.html:C", TESTS | TEMPLATE),
    ({"shop/templates/*": ["C70"]}, "shop/templates/*:C70", TEMPLATE),
    # one comma-separated text; "./" and a trailing "/" are not part of the pattern
    ({"./shop/": "C2000, C9000"}, "./shop/:C2000,C9000", {
        ("shop/models.py", "C2000"), ("shop/views.py", "C9000"), ("shop/tests/test_views.py", "C9000")
    }),
    # the pattern matches, the code does not; the code matches, the pattern does not
    ({"shop/models.py": ["C9000"], "*/migrations/*": ["C2000"]}, "shop/models.py:C9000 */migrations/*:C2000", set()),
]


def found_by_api(root, config):
    return {(m["path"], m["message-id"]) for m in checker.get_messages(str(root), FILES, config=config, jobs=1)}


@pytest.fixture
def project(tmp_path, monkeypatch):
    root = Path(shutil.copytree(PROJECT, tmp_path / "project"))
    monkeypatch.chdir(root)
    return root


@pytest.fixture
def found_by_command(capsys):
    """The findings of the command run in the working directory, as (path, code)."""

    def found(*args):
        status = cli.main(["-j", "1", "--format", "json", *args])
        out, err = capsys.readouterr()
        assert status in (0, 1), err
        return {(r["path"], r["message-id"]) for r in json.loads(out)}

    return found


def toml_table(table):
    entries = ", ".join(f"{json.dumps(k)} = {json.dumps(v)}" for k, v in table.items())
    return f"[tool.vettor]\nper-file-ignores = {{{entries}}}\n"


@pytest.mark.parametrize("table, spelled, left_out", CASES)
def test_per_file_ignores_through_the_api_the_table_and_the_command_line(
    project, found_by_command, table, spelled, left_out
):
    assert found_by_api(project, {"per-file-ignores": table}) == EVERY - left_out
    assert found_by_command(f"--per-file-ignores={spelled}") == EVERY - left_out
    (project / "pyproject.toml").write_text(toml_table(table))
    assert found_by_api(project, {}) == EVERY - left_out
    assert found_by_command() == EVERY - left_out


def test_the_command_line_replaces_the_table(project, found_by_command):
    (project / "pyproject.toml").write_text(toml_table({"shop/*": ["all"]}))
    assert found_by_command() == set()
    assert found_by_command("--per-file-ignores", "*.html:C7001") == EVERY - TEMPLATE
    assert found_by_command("--per-file-ignores=") == EVERY


def test_disable_and_per_file_ignores_both_apply(project, found_by_command):
    (project / "pyproject.toml").write_text(toml_table({"tests": ["C9002"]}) + 'disable = ["C2000"]\n')
    assert found_by_command("--disable", "C7") == EVERY - {
        ("shop/tests/test_views.py", "C9002"), ("shop/models.py", "C2000")
    } - TEMPLATE


def test_an_ignored_finding_is_not_fixed(project):
    config = {"per-file-ignores": {"shop/tests/*": ["C90"]}}
    fixed = transformer.transform_files(str(project), ["shop/views.py", "shop/tests/test_views.py"], jobs=1, config=config)
    assert {path for _, path in fixed} == {"shop/views.py"}
    result = subprocess.run(
        [sys.executable, "-m", "vettor.staticanalysis", "-j", "1", "--fix", "--per-file-ignores", "tests:C9"],
        capture_output=True, text=True, cwd=project, timeout=600,
    )
    assert result.returncode == 0, result.stderr
    assert "Item.objects.all().count()" in (project / "shop/views.py").read_text()
    assert (project / "shop/tests/test_views.py").read_text() == (PROJECT / "shop/tests/test_views.py").read_text()


@pytest.mark.parametrize(
    "value, problem",
    [
        (["tests/*"], "['tests/*'] is not a table of patterns"),
        ({"tests/*": "C99"}, "\"tests/*\": 'C99' is not a message code or symbol of vettor"),
        ({"tests/*": ["C9000", 9002]}, "\"tests/*\": ['C9000', 9002] is not a list of texts"),
        ({"tests/*": "C9000,"}, "\"tests/*\": '' is not a message code or symbol of vettor"),
        ({" / ": ["C9000"]}, "' / ' is not a pattern of paths"),
    ],
)
def test_a_wrong_value_is_one_configuration_error_on_every_road(project, value, problem):
    with pytest.raises(meta.ConfigurationError) as raised:
        checker.get_messages(str(project), FILES, config={"per-file-ignores": value}, jobs=1)
    assert str(raised.value) == f"config: per-file-ignores: {problem}"
    with pytest.raises(meta.ConfigurationError) as raised:
        checker.check_project_config({"per-file-ignores": value}, str(project))
    assert str(raised.value).endswith(f"pyproject.toml: [tool.vettor] per-file-ignores: {problem}")


@pytest.mark.parametrize(
    "args, line",
    [
        (["--per-file-ignores", "tests:C99"], "--per-file-ignores: \"tests\": 'C99' is not a message code"),
        (["--per-file-ignores", "C9000"], "argument --per-file-ignores: 'C9000' follows no pattern"),
        (["--per-file-ignores", "tests/*:"], "argument --per-file-ignores: 'tests/*' names no codes"),
    ],
)
def test_a_wrong_command_line_value_is_one_line(project, args, line):
    result = subprocess.run(
        [sys.executable, "-m", "vettor.staticanalysis", *args], capture_output=True, text=True, cwd=project, timeout=600
    )
    assert result.returncode == 2 and result.stdout == ""
    assert line in result.stderr.splitlines()[-1]


def test_the_command_line_spelling_reads_as_the_table(monkeypatch):
    assert cli.config.per_file_ignores("tests/*:C9000,C9002 */migrations/*:C2005\nlegacy/*: all") == {
        "tests/*": ["C9000", "C9002"],
        "*/migrations/*": ["C2005"],
        "legacy/*": ["all"],
    }


def test_the_readme_starter_configuration_ignores_the_queryset_findings_of_test_code(project):
    import tomli

    readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
    starter = readme.split("A starter\nconfiguration for a Django project:\n\n```toml\n", 1)[1].split("```", 1)[0]
    (project / "pyproject.toml").write_text(starter)
    assert "per-file-ignores" in tomli.loads(starter)["tool"]["vettor"]
    assert found_by_api(project, {}) == EVERY - TESTS
