"""Linting one text held in memory: every finding of the lint reaches the renderer, which
gives the host the code, place, words and pointed-at line of each."""
import json
import logging
import shutil
import subprocess
import sys
from pathlib import Path

import astroid
import pytest
from astroid import nodes
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker

from conftest import FLAGGED, FlaggedCallChecker
from vettor.staticanalysis import checker, helpers, message_templates, render

BLOG = Path(__file__).resolve().parent.parent / "examples" / "blog"

CODE = """\
def flagged():
    pass


flagged()
"""


@pytest.fixture
def rules(monkeypatch):
    """Lint with the given stand-in checkers, with a text for the stand-in code."""

    def use(*classes):
        monkeypatch.setattr(checker, "python_checker_classes", list(classes))
        monkeypatch.setattr(message_templates, FLAGGED, "A call of {name}().", raising=False)

    return use


def test_check_code_returns_the_rendered_findings(rules):
    rules(FlaggedCallChecker)
    assert checker.check_code(CODE, "app/models.py", "proj.settings") == [
        {
            "message-id": FLAGGED,
            "symbol": "flagged-call",
            "type": "convention",
            "path": "app/models.py",
            "line": 5,
            "column": 0,
            "message": "A call of flagged().",
            "source_lines": ["flagged()"],
        }
    ]


def test_findings_of_pylint_itself_keep_their_text(rules):
    rules(FlaggedCallChecker)
    advice = checker.check_code(
        code=CODE.replace("flagged()\n", "flagged()  # vettor: disable=no-such-check\n"),
        filepath="app/views.py",
        settings_modpath="proj.settings",
    )
    by_code = {record["message-id"]: record for record in advice}
    assert set(by_code) == {FLAGGED, "E0012"}
    assert by_code["E0012"]["message"] == "Bad option value 'no-such-check'"
    assert by_code["E0012"]["source_lines"] == ["flagged()  # vettor: disable=no-such-check"]


class FatalChecker(BaseChecker):
    __implements__ = IAstroidChecker
    name = "fatal-on-purpose"
    msgs = {FLAGGED: (helpers.context_string(), "unused", "")}

    def visit_module(self, node):
        self.add_message("fatal", node=node, args="stopped on purpose")


def test_a_fatal_finding_is_logged_and_rendered(rules, caplog):
    rules(FatalChecker)
    with caplog.at_level(logging.ERROR, logger="vettor.staticanalysis.checker"):
        advice = checker.check_code("x = 1\n", "app/models.py", "proj.settings")
    assert [(r["message-id"], r["type"], r["message"]) for r in advice] == [("F0001", "fatal", "stopped on purpose")]
    (logged,) = [r for r in caplog.records if r.name == "vettor.staticanalysis.checker"]
    assert logged.levelno == logging.ERROR
    assert logged.getMessage().startswith("Fatal message: {'type': 'fatal'")


class OptionsChecker(BaseChecker):
    """Reports the linter options a single-text lint runs with."""

    __implements__ = IAstroidChecker
    name = "options-probe"
    msgs = {FLAGGED: (helpers.context_string(), "options-probe", "")}

    def visit_module(self, node):
        config = self.linter.config
        self.add_message(
            FLAGGED,
            node=node,
            args={
                "name": node.name,
                "settings": list(config.settings_files),
                "urlconf": config.root_urlconf,
                "version": config.django_version,
            },
        )


def test_check_code_options_and_renderer_call(rules, monkeypatch):
    rules(OptionsChecker)
    calls = []

    def renderer(**kwargs):
        calls.append(kwargs)
        return "rendered"

    monkeypatch.setattr(render, "render_message_centric_advice", renderer)
    assert checker.check_code("x = 1\n", "src/my.pyapp/x.py", "proj.settings") == "rendered"
    (call,) = calls
    assert sorted(call) == ["code_reader", "code_style", "messages", "settings", "settings_modpath"]
    assert (call["settings"], call["code_style"], call["settings_modpath"]) == ({}, {}, "proj.settings")
    assert call["code_reader"]("anything") == "x = 1\n"
    (message,) = call["messages"]
    assert message["message"] == {
        "name": "src.myapp.x",
        "settings": ["proj.settings"],
        "urlconf": "",
        "version": "3.3",
    }
    assert message["module"] == "src.myapp.x"


@pytest.mark.parametrize(
    "path, name",
    [("app/models.py", "app.models"), ("src/my.pyapp/x.py", "src.myapp.x"), ("top.py", "top")],
)
def test_module_name_from_the_path(path, name):
    linter = checker.create_linter(linter_class=checker.CodeLinter)
    (item,) = list(linter._iterate_file_descrs([path]))
    assert isinstance(item, checker.FileItem)
    assert tuple(item) == (name, path, name)


def test_an_absolute_path_lints_as_the_module_under_its_packages(tmp_path):
    (tmp_path / "proj" / "app" / "sub").mkdir(parents=True)
    for package in ("app", "app/sub"):
        (tmp_path / "proj" / package / "__init__.py").write_text("")
    linter = checker.create_linter(linter_class=checker.CodeLinter)
    paths = [tmp_path / "proj/app/sub/models.py", tmp_path / "proj/app/__init__.py", tmp_path / "proj/loose.py"]
    names = [item.name for item in linter._iterate_file_descrs([str(p) for p in paths])]
    assert names == ["app.sub.models", "app.__init__", "loose"]


FINDINGS_OF_TEXT = """\
import json, sys
from vettor.staticanalysis import checker
path = sys.argv[1]
advice = checker.check_code(open(path).read(), path, "blog.settings")
print(json.dumps(sorted((r["message-id"], r["line"], r["column"]) for r in advice)))
"""


def test_an_absolute_path_in_the_project_gives_the_findings_of_the_relative_one(tmp_path):
    # The queryset rules see the model only when the module's own import is resolved. Each
    # lint runs in a fresh process, so no module astroid keeps from an earlier lint helps.
    project = Path(shutil.copytree(BLOG, tmp_path / "blog"))

    def findings(path, cwd):
        result = subprocess.run(
            [sys.executable, "-c", FINDINGS_OF_TEXT, path], cwd=cwd, capture_output=True, text=True
        )
        assert result.returncode == 0, result.stderr
        return json.loads(result.stdout)

    relative = findings("posts/views.py", cwd=project)
    assert {code for code, _, _ in relative} == {"C9002"}
    assert findings(str(project / "posts/views.py"), cwd=tmp_path) == relative


def test_every_descriptor_is_parsed_from_the_one_text(rules):
    rules(FlaggedCallChecker)
    linter = checker.create_linter(linter_class=checker.CodeLinter, jobs=1)
    linter.check(CODE, files_or_modules=["one.py", "two/three.py"])
    assert linter.vettor_provided_code == CODE
    found = [(m["module"], m["path"], m["line"]) for m in linter.reporter.messages]
    assert found == [("one", "one.py", 5), ("two.three", "two/three.py", 5)]


def test_get_ast_infers_every_name_first(monkeypatch):
    inferred = []
    original = nodes.Name.infer

    def recording(self, *args, **kwargs):
        if self.root().name == "app.a":
            inferred.append(self.name)
        return original(self, *args, **kwargs)

    linter = checker.create_linter(linter_class=checker.CodeLinter)
    linter.vettor_provided_code = "import os\nx = os\ny = x\n"
    monkeypatch.setattr(nodes.Name, "infer", recording)
    tree = linter.get_ast("app/a.py", "app.a")
    assert tree.name == "app.a" and tree.file.endswith("app/a.py")
    assert set(inferred) == {"os", "x"}


def test_text_that_does_not_parse_is_a_syntax_error_finding(rules, monkeypatch):
    rules(FlaggedCallChecker)
    received = {}
    monkeypatch.setattr(
        checker.render,
        "render_message_centric_advice",
        lambda **kwargs: received.update(kwargs) or "rendered",
    )
    assert checker.check_code("def (:\n", "app/models.py", "proj.settings") == "rendered"
    [finding] = received["messages"]
    assert (finding["message-id"], finding["symbol"], finding["line"]) == (
        "E0001",
        "syntax-error",
        1,
    )
    assert finding["message"] == "Syntax Error"


@pytest.mark.parametrize(
    "code, expected",
    [
        # Lone carriage returns end lines as line feeds do: the finding keeps its line.
        ("x = 1\rflagged()\r", [(FLAGGED, 2)]),
        ("x = 1\r\nflagged()\ry = 2\n", [(FLAGGED, 2)]),
        # Too deep for astroid's tree building: one fatal finding, as the project lint gives.
        ("x = " + " + ".join(["1"] * 500) + "\n", [("F0001", 1)]),
        ("x = " + "-" * 500 + "1\n", [("F0001", 1)]),
    ],
    ids=["lone-cr", "mixed-endings", "500-terms", "500-unary-minus"],
)
def test_text_astroid_or_the_token_index_trips_on_is_findings_not_an_error(rules, code, expected):
    rules(FlaggedCallChecker)
    advice = checker.check_code(code, "app/models.py", "proj.settings")
    assert [(record["message-id"], record["line"]) for record in advice] == expected


def test_check_names_passes_over_a_name_that_does_not_infer(monkeypatch):
    tree = astroid.parse("x = undefined_name\nimport os\ny = os\n")
    inferred = []
    original = nodes.Name.infer

    def recording(self, *args, **kwargs):
        inferred.append(self.name)
        return original(self, *args, **kwargs)

    monkeypatch.setattr(nodes.Name, "infer", recording)
    checker.check_names(tree)
    assert inferred == ["undefined_name", "os"]


def test_undefined_name_in_a_text_does_not_end_its_lint(rules):
    rules(FlaggedCallChecker)
    advice = checker.check_code(
        "print(undefined_name)\nflagged()\n", "app/models.py", "proj.settings"
    )
    assert [record["message-id"] for record in advice] == [FLAGGED]


# ---------------------------------------------------------------------------------------------
# The renderer on its own

FINDING = {
    "type": "convention",
    "module": "app.models",
    "obj": "",
    "line": 2,
    "column": 4,
    "path": "app/models.py",
    "symbol": "flagged-call",
    "message": {"name": "flagged"},
    "message-id": FLAGGED,
}


@pytest.mark.parametrize(
    "template, message, expected",
    [
        ("A call of {name}().", {"name": "flagged"}, "A call of flagged()."),
        ("{name} and {missing}", {"name": "a"}, "a and {missing}"),
        ("{name:d} does not fit", {"name": "a"}, "{name:d} does not fit"),
        ("A call of {name}().", "already words", "already words"),
    ],
)
def test_renderer_fills_the_code_text_with_the_argument_record(monkeypatch, template, message, expected):
    monkeypatch.setattr(message_templates, FLAGGED, template, raising=False)
    (record,) = render.render_message_centric_advice(
        messages=[dict(FINDING, message=message)],
        settings={},
        settings_modpath="",
        code_style={},
        code_reader=lambda path: "first\n    flagged()\n",
    )
    assert record["message"] == expected
    assert record["source_lines"] == ["    flagged()"]


def test_renderer_reads_each_path_once_and_skips_lines_it_lacks():
    reads = []

    def reader(path):
        reads.append(path)
        return "only line\n"

    findings = [dict(FINDING, line=1), dict(FINDING, line=7), dict(FINDING, line=0, **{"message-id": "F0001"})]
    advice = render.render_message_centric_advice(findings, {}, "", {}, reader)
    assert [r["source_lines"] for r in advice] == [["only line"], [], []]
    assert reads == ["app/models.py"]


# One lint of a text as a file serves check_code, the code transformer's reasons and the
# re-lint of a fixed settings module: the settings modules and options it is given decide what
# it reports, options applied in their order.
LINTED_MODELS = """\
from django.db import models


class Item(models.Model):
    name = models.CharField(max_length=20, null=True)
    text = models.CharField(max_length=1000)
"""
LINTED_SETTINGS = 'SECRET_KEY = "x"\nDEBUG = True\nALLOWED_HOSTS = []\n'


@pytest.mark.parametrize(
    "code, path, settings_files, options, jobs, codes",
    [
        (LINTED_MODELS, "shop/models.py", ["proj.settings"], None, None, {"C2000", "C2006"}),
        (LINTED_MODELS, "shop/models.py", ["proj.settings"], {"disable": ["C2006"]}, 1, {"C2000"}),
        (LINTED_MODELS, "shop/models.py", [], {"disable": "all", "enable": "huge-max-length"}, 1, {"C2006"}),
        (LINTED_MODELS, "shop/models.py", [], {"enable": "C2006", "disable": "all"}, 1, set()),
        (LINTED_SETTINGS, "proj/settings.py", ["proj.settings"], None, 1, {"C4005"}),
        (LINTED_SETTINGS, "proj/settings.py", ["other.settings"], None, 1, set()),
    ],
)
def test_lint_text_lints_a_text_as_the_file_it_stands_for(code, path, settings_files, options, jobs, codes):
    found = checker.lint_text(code, path, settings_files, options=options, jobs=jobs)
    assert {m["message-id"] for m in found} & {"C2000", "C2006", "C4005"} == codes
    assert {m["path"] for m in found} <= {path}
