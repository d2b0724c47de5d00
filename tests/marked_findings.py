"""Expected findings written beside the lines of fixture files, and the findings of a run.

A marker sits on the line a finding is reported on (as a Python comment or inside an HTML
comment) and gives the code, the 0-based column after "@" and the finding's argument record
in its key order: ``# [C9001@0 me='book' related_name='author' pk_attribute='pk']``; a value
is a quoted text or None.
Several markers may stand on one line.
"""
import ast
import re
from pathlib import Path

MARKER = re.compile(r"\[(C\d{4})@(\d+)((?:\s+\w+=(?:'[^']*'|\"[^\"]*\"|None))*)\]")
ARGUMENT = re.compile(r"(\w+)=('[^']*'|\"[^\"]*\"|None)")


def expected_findings(path, codes):
    """(line, column, code, [(key, value), ...]) for each marker of one of `codes`."""
    found = []
    for number, text in enumerate(Path(path).read_text(encoding="utf-8").splitlines(), 1):
        for code, column, arguments in MARKER.findall(text):
            if code.startswith(codes):
                record = [
                    (key, ast.literal_eval(value)) for key, value in ARGUMENT.findall(arguments)
                ]
                found.append((number, int(column), code, record))
    return found


def finding(line, column, code, message):
    """The comparable form of one reported finding: its record as items, in key order."""
    assert isinstance(message, dict), message
    return (line, column, code, list(message.items()))


def lint_with_checker(checker_class, paths):
    """Findings per path of a pylint linter that runs only `checker_class`."""
    from pylint.lint import PyLinter
    from pylint.reporters import CollectingReporter

    linter = PyLinter(reporter=CollectingReporter())
    linter.register_checker(checker_class(linter))
    linter.set_option("jobs", 1)
    linter.check([str(path) for path in paths])
    results = {str(Path(path).resolve()): [] for path in paths}
    for message in linter.reporter.messages:
        results[message.abspath].append(
            finding(message.line, message.column, message.msg_id, message.msg)
        )
    return results


PROJECT = Path(__file__).parent / "fixtures" / "query_url_template_project"
PYTHON_FILES = sorted(str(p.relative_to(PROJECT)) for p in PROJECT.glob("app/*.py"))
TEMPLATE_FILES = sorted(str(p.relative_to(PROJECT)) for p in PROJECT.glob("templates/**/*.html"))

_project_records = []


def project_records():
    """The records of one get_messages run over the whole fixture project, in its order."""
    if not _project_records:
        from vettor.staticanalysis import checker

        selection = {path: None for path in PYTHON_FILES + TEMPLATE_FILES}
        _project_records.extend(checker.get_messages(str(PROJECT), selection, "3.2", {}, 1))
    return _project_records


def project_findings():
    """The comparable findings of `project_records`, per path."""
    results = {path: [] for path in PYTHON_FILES + TEMPLATE_FILES}
    for record in project_records():
        results[record["path"]].append(
            finding(record["line"], record["column"], record["message-id"], record["message"])
        )
    return results


def ordered(findings):
    """In (line, column) order; findings at one position keep their own order."""
    return sorted(findings, key=lambda f: f[:2])
