"""Findings on model field declarations, read from the fixture project's marked lines.

Every fixture under tests/fixtures/model_fields marks its expected findings beside the line,
with the finding's argument record:

    title = models.CharField(max_length=1000)  # [C2006 name='title' value=1000]

A fixture's options sit beside it in a file of the same name ending ".rc" (one
`option=value` per line). One driver lints each fixture and compares, through two roads: the
public lint entry point `checker.get_messages`, and a bare pylint linter holding only the
columns checker (which shows the rule module on its own).
"""
import ast
import re
from pathlib import Path

import pytest
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter

from vettor.staticanalysis import checker
from vettor.staticanalysis.checkers import columns

FIXTURES = Path(__file__).parent / "fixtures" / "model_fields"
CASES = sorted(p.relative_to(FIXTURES).as_posix() for p in FIXTURES.rglob("*.py")
               if p.name != "__init__.py")

MARKER = re.compile(r"\[(C\d{4})((?:\s+\w+=[^\]]*?)*)\]")
ARGUMENT = re.compile(r"\s+(\w+)=")


def parse_marker(code, arguments):
    record = {}
    pieces = ARGUMENT.split(arguments)[1:]
    for key, value in zip(pieces[::2], pieces[1::2]):
        record[key] = ast.literal_eval(value.strip())
    return code, record


def expected_findings(path):
    found = []
    for lineno, line in enumerate(path.read_text().splitlines(), start=1):
        if "#" not in line:
            continue
        comment = line[line.index("  # ") + 4:] if "  # " in line else ""
        for code, arguments in MARKER.findall(comment):
            found.append((lineno, *parse_marker(code, arguments)))
    return found


def fixture_options(path):
    rc = path.with_suffix(".rc")
    options = {}
    if rc.exists():
        for line in rc.read_text().splitlines():
            if line.strip():
                key, value = line.split("=", 1)
                options[key.strip()] = int(value) if value.strip().isdigit() else value.strip()
    return options


def by_line(findings):
    return sorted(findings, key=lambda finding: finding[0])


def lint_with_get_messages(relative, options):
    messages = checker.get_messages(str(FIXTURES), {relative: None}, config=dict(options), jobs=1)
    return [(m["line"], m["message-id"], m["message"]) for m in messages
            if m["message-id"].startswith("C2")]


def lint_with_pylint(relative, options):
    reporter = CollectingReporter()
    linter = PyLinter(reporter=reporter)
    linter.register_checker(columns.Checker(linter))
    for name, value in options.items():
        linter.global_set_option(name, value)
    linter.check([str(FIXTURES / relative)])
    return [(m.line, m.msg_id, m.msg) for m in reporter.messages if m.msg_id.startswith("C2")]


ROADS = {"get_messages": lint_with_get_messages, "pylint": lint_with_pylint}


@pytest.mark.parametrize("road", sorted(ROADS))
@pytest.mark.parametrize("relative", CASES)
def test_fixture_findings(relative, road):
    path = FIXTURES / relative
    got = ROADS[road](relative, fixture_options(path))
    assert by_line(got) == by_line(expected_findings(path))


def test_every_code_has_a_marked_case():
    codes = {code for relative in CASES for _, code, _ in expected_findings(FIXTURES / relative)}
    assert codes == {name for name in vars(columns.Codes) if name.startswith("C")}


def test_marker_parsing_reads_several_records_per_line():
    line = "x = f()  # [C2002 name='a' option='null' value=False] [C2004 name=None option='u']"
    comment = line[line.index("  # ") + 4:]
    assert [parse_marker(*m) for m in MARKER.findall(comment)] == [
        ("C2002", {"name": "a", "option": "null", "value": False}),
        ("C2004", {"name": None, "option": "u"}),
    ]


def test_findings_come_back_from_worker_processes():
    selection = {relative: None for relative in ("fields.py", "tall_models.py")}
    messages = checker.get_messages(str(FIXTURES), selection, jobs=2)
    got = sorted((m["path"], m["line"], m["message-id"], repr(m["message"])) for m in messages
                 if m["message-id"].startswith("C2"))
    expected = sorted((relative, line, code, repr(record)) for relative in selection
                      for line, code, record in expected_findings(FIXTURES / relative))
    assert got == expected
