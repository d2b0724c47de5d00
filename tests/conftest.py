"""Shared fixtures for the lint driver's tests: a small project on disk and stand-in rule
checkers with known findings."""
import ast
import os
import pathlib
import re
from html.parser import HTMLParser

import pytest
import toml
from astroid import nodes
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker

from vettor.staticanalysis import checker, dependencies, helpers, message_templates, meta

FIXTURES = pathlib.Path(__file__).parent / "fixtures"
# The fixture projects hold test code of their own (tests/test_views.py): it is linted, not run.
collect_ignore = ["fixtures"]
LINT_PROJECT = FIXTURES / "lint_project"

# The code the stand-in checker reports; made one of the package's codes for the test.
FLAGGED = "C2999"


class FlaggedCallChecker(BaseChecker):
    """Reports every call of a function named `flagged`, with the configured limit."""

    __implements__ = IAstroidChecker
    name = "flagged-calls"
    msgs = {FLAGGED: (helpers.context_string(), "flagged-call", "A call of flagged()")}
    options = (
        (
            "max-flagged",
            {"default": 0, "type": "int", "metavar": "<int>", "help": "An option of a rule"},
        ),
    )

    def visit_call(self, node):
        if isinstance(node.func, nodes.Name) and node.func.name == "flagged":
            self.add_message(
                FLAGGED, node=node, args={"name": "flagged", "limit": self.config.max_flagged}
            )


class HardCodedLinkChecker(HTMLParser):
    """Reports `<a href="/...">` as C7000 and `<img src="/...">` as C7001."""

    msgs = {
        "C7000": (helpers.context_string(), "hard-coded-url", ""),
        "C7001": (helpers.context_string(), "hard-coded-static-url", ""),
    }

    def check(self, files):
        self.messages = []
        for path in files:
            self.path = path
            self.reset()
            with open(path, encoding="utf-8") as f:
                self.feed(f.read())
            self.close()

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        code = {"a": ("C7000", "href"), "img": ("C7001", "src")}.get(tag)
        if code and attrs.get(code[1], "").startswith("/"):
            line, column = self.getpos()
            self.messages.append(
                {
                    "path": self.path,
                    "line": line,
                    "message": {"path": attrs[code[1]]} if code[0] == "C7001" else {},
                    "type": None,
                    "column": column,
                    "module": None,
                    "symbol": None,
                    "hint": None,
                    "message-id": code[0],
                }
            )


# The keys of a finding record, in the order the lint gives them.
RECORD_KEYS = ["type", "module", "obj", "line", "column", "path", "symbol", "message", "message-id"]


def write_files(root, files):
    """Writes a project of small files (a mapping of relative path to text) under root."""
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


@pytest.fixture(autouse=True, scope="session")
def user_cache_folder(tmp_path_factory):
    """The lint keeps parsed trees in the user's cache folder: during the tests (and in the
    processes they start) that folder is a temporary one, never the user's own."""
    folder = tmp_path_factory.mktemp("user-cache")
    saved = os.environ.get("XDG_CACHE_HOME")
    os.environ["XDG_CACHE_HOME"] = str(folder)
    yield folder
    if saved is None:
        del os.environ["XDG_CACHE_HOME"]
    else:
        os.environ["XDG_CACHE_HOME"] = saved


@pytest.fixture
def stand_in_rules(monkeypatch):
    """Lint with the stand-in checkers only, so expectations do not move as rules land."""
    monkeypatch.setattr(checker, "python_checker_classes", [FlaggedCallChecker])
    monkeypatch.setattr(checker, "html_checker_classes", [HardCodedLinkChecker])
    monkeypatch.setattr(message_templates, FLAGGED, "A call of {name}().", raising=False)


def _toml_config(project_root):
    path = pathlib.Path(project_root) / "pyproject.toml"
    if not path.exists():
        return {}
    return toml.load(path).get("tool", {}).get("vettor", {})


@pytest.fixture
def project_layer(monkeypatch):
    """The project-metadata and Django-version answers for the fixture project, wherever the
    package's own modules do not give them."""
    if not hasattr(meta, "get_toml_config"):
        monkeypatch.setattr(meta, "get_toml_config", _toml_config, raising=False)
    if not hasattr(meta, "get_settings_files"):
        monkeypatch.setattr(
            meta, "get_settings_files", lambda root: ["proj.settings"], raising=False
        )
    if not hasattr(meta, "get_root_urlconf"):
        monkeypatch.setattr(meta, "get_root_urlconf", lambda files: "proj.urls", raising=False)
    if not hasattr(dependencies, "resolve_django_version"):
        monkeypatch.setattr(
            dependencies,
            "resolve_django_version",
            lambda root: {"path": "requirements.txt", "version": "2.2", "specs": ">=2.2,<3.0"},
            raising=False,
        )


MARK = re.compile(r"#.*\[(C\d{4})((?: \w+=\S+)*)\]")


def marked_findings(path, key):
    """(key, line, code, args) for each `# [C2999 name='flagged']` mark in the file."""
    found = []
    for number, text in enumerate(pathlib.Path(path).read_text().splitlines(), start=1):
        match = MARK.search(text)
        if match:
            args = dict(pair.split("=", 1) for pair in match.group(2).split())
            record = {k: ast.literal_eval(v) for k, v in args.items()}
            found.append((key, number, match.group(1), record))
    return found
