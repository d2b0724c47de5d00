"""A wrong value in a project's [tool.vettor] table is one mistake in one line, the same on
every road: the lint (checker.get_messages), the project's fixes (transformer.transform_files),
the review suggestions (suggest.suggest_fixes) and the command line (status 2) refuse it with
meta.ConfigurationError naming the file and the key. Nothing is taken silently, nothing ends
in a raw TypeError, OptionValueError or AttributeError."""
import pytest

from conftest import write_files
from vettor.staticanalysis import checker, cli, meta, suggest, transformer

MODELS = "from django.db import models\n\n\nclass Post(models.Model):\n    title = models.CharField(max_length=10, null=True)\n"

NOT_WHOLE = "is not a whole number"
NOT_TEXTS = "is not a list of texts"
RULE_OPTIONS = ["max-columns", "max-charfield-length", "max-models",
                "min-common-model-prefix-length", "max-common-model-prefix"]

# (key, the value as TOML writes it, what the line says after "<key>: ")
CASES = [
    *((key, value, f"{shown} {NOT_WHOLE}") for key in RULE_OPTIONS for value, shown in [
        ("'many'", "'many'"), ("2.5", "2.5"), ("true", "True"), ("[1]", "[1]"), ("{ a = 1 }", "{'a': 1}")]),
    ("jobs", "'two'", f"'two' {NOT_WHOLE}"),
    ("jobs", "2.5", f"2.5 {NOT_WHOLE}"),
    ("jobs", "true", f"True {NOT_WHOLE}"),
    ("jobs", "[2]", f"[2] {NOT_WHOLE}"),
    ("jobs", "-5", "-5 is below 0 (0: one worker per CPU)"),
    ("jobs", str(2**63), f"{2**63} is too large (at most {2**63 - 1})"),
    *((key, value, f"{shown} {NOT_TEXTS}") for key in ("disable", "enable") for value, shown in [
        ("2.5", "2.5"), ("true", "True"), ("3", "3"), ("[1]", "[1]"), ("{ a = 1 }", "{'a': 1}")]),
    ("disable", "['C2006', 'C9999']", "'C9999' is not a message code or symbol of vettor"),
    ("enable", "'nullable'", "'nullable' is not a message code or symbol of vettor"),
    # the start of codes is a name when some code begins with it
    ("disable", "['C2', 'C99']", "'C99' is not a message code or symbol of vettor"),
    *(("exclude", value, f"{shown} {NOT_TEXTS}") for value, shown in [
        ("3", "3"), ("[1]", "[1]"), ("true", "True"), ("{ a = 1 }", "{'a': 1}")]),
    *(("directories", value, f"{shown} {NOT_TEXTS}") for value, shown in [
        ("'app'", "'app'"), ("3", "3"), ("[1]", "[1]"), ("true", "True")]),
    ("directories", "['missing']", "'missing' is not a folder of the project"),
    *(("settings-files", value, f"{shown} {NOT_TEXTS}") for value, shown in [
        ("3", "3"), ("[1]", "[1]"), ("true", "True")]),
    ("settings-files", "'app.missing'", "'app.missing' is not a module of the project"),
    *((key, value, f"{shown} is not true or false") for key in ("parse-cache", "unsafe-fixes")
      for value, shown in [("'no'", "'no'"), ("0", "0"), ("[]", "[]")]),
    *(("django-version", value, f'{shown} is not a Django version written as a text, such as "3.2"')
      for value, shown in [("3.2", "3.2"), ("'latest'", "'latest'"), ("3", "3")]),
    *(("respect-gitignore", value, f"{shown} is not true or false") for value, shown in [
        ("'no'", "'no'"), ("0", "0")]),
    ("per-file-ignores", "['tests']", "['tests'] is not a table of patterns"),
    ("per-file-ignores", "{ tests = 'C99' }", "\"tests\": 'C99' is not a message code or symbol of vettor"),
    ("per-file-ignores", "{ tests = [9000] }", "\"tests\": [9000] is not a list of texts"),
]


def project(root, table):
    return write_files(root, {"manage.py": "", "app/__init__.py": "", "app/models.py": MODELS,
                              "pyproject.toml": table})


def roads(root):
    """Each entry point that reads the project's table, called on the project."""
    finding = {"path": "app/models.py", "line": 5, "message-id": "C2000", "body": "x"}
    return {
        "get_messages": lambda: checker.get_messages(str(root), {"app/models.py": None}, jobs=1),
        "transform_files": lambda: transformer.transform_files(str(root), None, jobs=1),
        "suggest_fixes": lambda: suggest.suggest_fixes([finding], str(root)),
    }


@pytest.mark.parametrize("key, value, what", CASES, ids=[f"{k}={v}" for k, v, _ in CASES])
def test_a_wrong_value_is_one_configuration_error_on_every_road(tmp_path, monkeypatch, capsys,
                                                                 key, value, what):
    root = project(tmp_path / "project", f"[tool.vettor]\n{key} = {value}\n")
    line = f"[tool.vettor] {key}: {what}"
    for road, call in roads(root).items():
        with pytest.raises(meta.ConfigurationError) as raised:
            call()
        assert str(raised.value) == f"{root / 'pyproject.toml'}: {line}", road
    monkeypatch.chdir(root)
    for args in (["app"], ["--diff", "app"]):
        assert cli.main([*args, "-j", "1"]) == 2
        out, err = capsys.readouterr()
        assert (out, err) == ("", f"pyproject.toml: {line}\n")


@pytest.mark.parametrize(
    "table",
    [
        "jobs = 0\nmax-models = -1\nparse-cache = false\n",
        "disable = 'C2006, hard-coded-url'\nenable = ['c2006', 'columns', 'C']\n",
        "exclude = 'legacy'\ndirectories = ['app']\nsettings-files = ''\n",
        "django-version = '3.2'\nmax_models = 3\n",
        "unsafe-fixes = true\n",
    ],
)
def test_good_values_are_taken_on_every_road(tmp_path, table):
    root = project(tmp_path / "project", f"[tool.vettor]\n{table}")
    for road, call in roads(root).items():
        call()
    assert checker.read_project_config(root)


@pytest.mark.parametrize("value", [str(2**63), "0", "2.5"])
def test_a_black_line_length_the_fixes_cannot_use_is_a_configuration_error(tmp_path, value):
    root = project(tmp_path / "project", f"[tool.black]\nline-length = {value}\n")
    for road in ("transform_files", "suggest_fixes"):
        with pytest.raises(meta.ConfigurationError) as raised:
            roads(root)[road]()
        assert str(raised.value).startswith(f"{root / 'pyproject.toml'}: [tool.black] line-length: {value} ")
