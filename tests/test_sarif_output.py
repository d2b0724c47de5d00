"""--format sarif: one SARIF 2.1.0 log, as GitHub code scanning reads it: every rule with its
help text, each finding a result on a region counted from 1 in a file named relative to the
project root."""
import json
from pathlib import Path

import jsonschema
import pytest

from vettor.staticanalysis import checker, cli

FIXTURES = Path(__file__).parent / "fixtures"
PROJECT = FIXTURES / "ignores_project"
SCHEMA = json.loads((FIXTURES / "sarif" / "sarif-2.1.0-emitted.schema.json").read_text())


@pytest.fixture
def sarif_of(capsys):
    def lint(*args):
        status = cli.main(["-j", "1", "--format", "sarif", *args])
        out, err = capsys.readouterr()
        assert status in (0, 1), err
        return json.loads(out)

    return lint


def test_the_log_is_valid_sarif(sarif_of):
    log = sarif_of(str(PROJECT))
    jsonschema.validate(log, SCHEMA, cls=jsonschema.Draft7Validator)
    assert log["version"] == "2.1.0"


def test_the_schema_refuses_what_sarif_refuses(sarif_of):
    # The test's schema holds: a region counted from 0, a result without a message, a rule
    # without an id all fail it.
    log = sarif_of(str(PROJECT))
    result = log["runs"][0]["results"][0]
    for broken in (
        {**result, "locations": [{"physicalLocation": {**result["locations"][0]["physicalLocation"], "region": {"startLine": 0}}}]},
        {key: value for key, value in result.items() if key != "message"},
        {**result, "level": "warn"},
    ):
        bad = {**log, "runs": [{**log["runs"][0], "results": [broken]}]}
        with pytest.raises(jsonschema.ValidationError):
            jsonschema.validate(bad, SCHEMA, cls=jsonschema.Draft7Validator)


def test_each_rule_once_with_its_help_and_each_finding_a_result(sarif_of, monkeypatch, tmp_path):
    # From elsewhere: the URIs stay relative to the project root, not to the working directory.
    monkeypatch.chdir(tmp_path)
    (run,) = sarif_of(str(PROJECT))["runs"]
    rules = run["tool"]["driver"]["rules"]
    ids = [rule["id"] for rule in rules]
    assert len(ids) == len(set(ids)) and set(checker.message_id_symbol_store) <= set(ids)
    by_id = {rule["id"]: rule for rule in rules}
    assert by_id["C9000"]["name"] == "queryset-length"
    assert by_id["C9000"]["help"]["text"] == checker.querysets.Checker.msgs["C9000"][2]
    assert run["originalUriBaseIds"]["PROJECTROOT"]["uri"] == PROJECT.resolve().as_uri() + "/"
    places = {
        (
            result["ruleId"],
            result["locations"][0]["physicalLocation"]["artifactLocation"]["uri"],
            result["locations"][0]["physicalLocation"]["region"]["startLine"],
            result["locations"][0]["physicalLocation"]["region"]["startColumn"],
        )
        for result in run["results"]
    }
    # The model field starts at column 12 counted from 1 (11 from 0, as the records count).
    assert places == {
        ("C2000", "shop/models.py", 5, 12),
        ("C9000", "shop/views.py", 5, 12),
        ("C9000", "shop/tests/test_views.py", 5, 12),
        ("C9002", "shop/tests/test_views.py", 9, 5),
        ("C7001", "shop/templates/shop/page.html", 1, 1),
    }
    for result in run["results"]:
        assert ids[result["ruleIndex"]] == result["ruleId"]
        assert result["level"] == "warning" and result["message"]["text"]


def test_an_unanalysed_file_is_an_error_result(sarif_of, tmp_path):
    (tmp_path / "manage.py").write_text("def broken(:\n")
    (run,) = sarif_of(str(tmp_path))["runs"]
    (result,) = run["results"]
    assert (result["ruleId"], result["level"]) == ("E0001", "error")
    assert result["locations"][0]["physicalLocation"]["region"]["startLine"] == 1


def test_one_run_per_project(sarif_of, tmp_path):
    for name in ("one", "two"):
        (tmp_path / name).mkdir()
        (tmp_path / name / "manage.py").write_text("")
    log = sarif_of(str(tmp_path / "one"), str(tmp_path / "two"))
    assert [run["originalUriBaseIds"]["PROJECTROOT"]["uri"] for run in log["runs"]] == [
        (tmp_path / name).resolve().as_uri() + "/" for name in ("one", "two")
    ]
    assert all(run["results"] == [] for run in log["runs"])
    jsonschema.validate(log, SCHEMA, cls=jsonschema.Draft7Validator)
