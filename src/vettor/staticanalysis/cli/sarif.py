"""The lint as one SARIF 2.1.0 log, the format GitHub code scanning and other CI tools read.

One run per project linted: its tool lists every rule (its code, symbol, text and help), and
each finding is a result on a region counted from 1 (line, column + 1) of a file named by a URI
relative to the project root (the base "PROJECTROOT", whose URI the run gives). The
Django-version finding is about the project, not a place in a file, and is left out, as the
github format leaves it.
"""
import os
from pathlib import Path
from urllib.parse import quote

from vettor.staticanalysis import checker, message_templates

from . import formats
from .config import package_version

SCHEMA = "https://json.schemastore.org/sarif-2.1.0.json"
ROOT_BASE = "PROJECTROOT"
# A file that could not be analysed is an error of the lint, not advice on the code.
ERROR_CODES = formats.UNANALYSED_CODES


def rule_definitions():
    """{code: (symbol, help)} of every rule, and of the linter's own codes the findings carry."""
    definitions = {}
    for cls in checker.python_checker_classes + checker.html_checker_classes:
        for code, (_, symbol, help_text) in cls.msgs.items():
            definitions[code] = (symbol, help_text)
    for code in ERROR_CODES:
        _, symbol, help_text = checker.Linter.msgs[code][:3]
        definitions[code] = (symbol, help_text)
    return dict(sorted(definitions.items()))


def rule_of(code, symbol, help_text):
    text = getattr(message_templates, code, "").replace("{{", "{").replace("}}", "}")
    return {
        "id": code,
        "name": symbol,
        "shortDescription": {"text": text or symbol},
        "help": {"text": help_text or text or symbol},
        "defaultConfiguration": {"level": level_of(code)},
    }


def level_of(code):
    return "error" if code in ERROR_CODES else "warning"


def uri_of(root, shown_path):
    """The finding's path (as shown from the working directory) relative to the project root,
    as a URI reference."""
    relative = os.path.relpath(os.path.abspath(shown_path), os.path.abspath(root))
    return quote(Path(relative).as_posix(), safe="/")


def result_of(finding, root, rule_index):
    code = finding["message-id"]
    region = {"startLine": finding["line"] or 1}
    if finding.get("column") is not None:
        region["startColumn"] = finding["column"] + 1
    result = {
        "ruleId": code,
        "level": level_of(code),
        "message": {"text": formats.message_text(finding)},
        "locations": [
            {
                "physicalLocation": {
                    "artifactLocation": {"uri": uri_of(root, finding["path"]), "uriBaseId": ROOT_BASE},
                    "region": region,
                }
            }
        ],
    }
    if code in rule_index:
        result["ruleIndex"] = rule_index[code]
    return result


def run_of(project, rules):
    root = project.selection.root
    rule_index = {rule["id"]: index for index, rule in enumerate(rules)}
    return {
        "tool": {
            "driver": {
                "name": "vettor",
                "version": package_version(),
                "rules": rules,
            }
        },
        "originalUriBaseIds": {ROOT_BASE: {"uri": Path(os.path.abspath(root)).as_uri() + "/"}},
        "results": [
            result_of(finding, root, rule_index)
            for finding in project.findings
            if not formats.is_meta(finding)
        ],
    }


def log_of(run):
    """The SARIF log of the lint: one run per project."""
    rules = [rule_of(code, *definition) for code, definition in rule_definitions().items()]
    return {
        "$schema": SCHEMA,
        "version": "2.1.0",
        "runs": [run_of(project, rules) for project in run.projects],
    }
