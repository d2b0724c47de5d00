"""The linter, reporter and template linter that the lint driver runs."""
import os
import pickle
import subprocess
import sys
import textwrap
import tokenize
from io import StringIO

import pytest
from pylint import lint
from rich.console import Console

from conftest import LINT_PROJECT, HardCodedLinkChecker
from vettor.staticanalysis import checker

TEMPLATE = str(LINT_PROJECT / "shop/templates/shop/index.html")


class RecordingProgress:
    """Stands in for the display: records what the linter asks of it."""

    shown = []

    def __init__(self, **options):
        self.options = options
        self.tasks, self.updates, self.exited = [], [], None
        RecordingProgress.shown.append(self)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.exited = exc
        return None

    def add_task(self, description, total):
        self.tasks.append((description, total))
        return 7

    def update(self, task, advance):
        self.updates.append((task, advance))


@pytest.fixture
def progress(monkeypatch):
    RecordingProgress.shown = []
    monkeypatch.setattr(checker, "Progress", RecordingProgress)
    return RecordingProgress.shown


def new_linter():
    return checker.create_linter(linter_class=checker.Linter, jobs=1)


@pytest.mark.parametrize(
    "files, description, steps",
    [
        ([str(LINT_PROJECT / "shop/views.py")], "[blue]Analyzing 1 file... ", 1),
        (
            [str(LINT_PROJECT / "shop/views.py"), str(LINT_PROJECT / "shop/helpers.py")],
            "[blue]Analyzing 2 files... ",
            2,
        ),
        ([], "[blue]Analyzing 0 files... ", 0),
    ],
)
def test_check_shows_one_task_advanced_per_module(progress, files, description, steps):
    linter = new_linter()
    linter.check(files_or_modules=files)
    (display,) = progress
    assert display.tasks == [(description, len(files))]
    assert display.updates == [(7, 1)] * steps
    assert display.exited == (None, None, None)
    assert linter.progress is display and linter.progress_task == 7


@pytest.mark.parametrize("terminal", [True, False], ids=["terminal", "redirected"])
def test_the_display_is_drawn_on_standard_error_when_it_is_a_terminal(
    monkeypatch, capsys, terminal
):
    screen = StringIO()
    monkeypatch.setattr(
        checker,
        "Console",
        lambda stderr: Console(stderr=stderr, file=screen, force_terminal=terminal, width=80),
    )
    new_linter().check(files_or_modules=[str(LINT_PROJECT / "shop/views.py")])
    out, err = capsys.readouterr()
    assert out == "" and err == ""
    if terminal:
        assert "Analyzing 1 file..." in screen.getvalue()
    else:
        assert screen.getvalue() == ""


HOST = """\
import sys
from vettor.staticanalysis import checker
found = checker.get_messages(sys.argv[1], {"views.py": None}, jobs=1)
print("host output", len(found))
"""


def test_a_host_gets_no_progress_text_on_its_standard_output_even_on_a_terminal(tmp_path):
    import pty

    (tmp_path / "views.py").write_text("x = 1\n")
    screen, terminal = pty.openpty()
    try:
        result = subprocess.run(
            [sys.executable, "-c", HOST, str(tmp_path)],
            stdout=subprocess.PIPE,
            stderr=terminal,
            timeout=300,
        )
        os.close(terminal)
        terminal = None
        drawn = b""
        while True:
            try:
                chunk = os.read(screen, 65536)
            except OSError:  # the terminal is closed once everything was read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        if terminal is not None:
            os.close(terminal)
        os.close(screen)
    assert result.returncode == 0
    assert result.stdout.decode().splitlines() == ["host output 0"]
    assert b"Analyzing 1 file..." in drawn


def test_the_display_asks_for_standard_error(progress):
    new_linter().check(files_or_modules=[])
    (display,) = progress
    assert display.options["console"].stderr
    assert display.options["redirect_stdout"] is False
    # The test's standard error is no terminal.
    assert display.options["disable"] is True


def test_with_workers_the_display_advances_once_per_file_result(progress):
    files = [str(LINT_PROJECT / "shop/views.py"), str(LINT_PROJECT / "shop/helpers.py")]
    checker.create_linter(linter_class=checker.Linter, jobs=2).check(files_or_modules=files)
    (display,) = progress
    assert display.updates == [(7, 1), (7, 1)]


def test_check_ends_the_display_when_the_lint_fails(progress, monkeypatch):
    def fail(self, files_or_modules):
        raise KeyError("lint failed")

    monkeypatch.setattr(lint.PyLinter, "check", fail)
    with pytest.raises(KeyError, match="lint failed"):
        new_linter().check(files_or_modules=[])
    (display,) = progress
    assert display.exited[0] is KeyError
    assert checker._displays == []


def test_set_current_module_logs_the_file_or_module(progress, caplog):
    caplog.set_level("DEBUG", logger="vettor.staticanalysis.checker")
    linter = new_linter()
    path = str(LINT_PROJECT / "shop/views.py")
    linter.check(files_or_modules=[path])
    assert f"Analyzing {path}" in caplog.messages
    linter.set_current_module("just.a.module")
    assert "Analyzing just.a.module" in caplog.messages


def tokens_seen_by_pylint(monkeypatch, source):
    seen = []
    monkeypatch.setattr(
        lint.PyLinter, "process_tokens", lambda self, tokens: seen.append(list(tokens))
    )
    tokens = list(tokenize.generate_tokens(StringIO(source).readline))
    new_linter().process_tokens(tokens)
    (seen,) = seen
    return [
        (t.type, t.string, t.line) for t in seen if t.type in (tokenize.COMMENT, tokenize.STRING)
    ]


def test_the_package_pragma_becomes_pylints_in_comments_only(monkeypatch):
    source = textwrap.dedent(
        """\
        x = 1  # vettor: disable=field-null-not-blank
        y = "vettor: disable=field-null-not-blank"
        z = 2  # vettor disable=field-null-not-blank
        """
    )
    assert tokens_seen_by_pylint(monkeypatch, source) == [
        (
            tokenize.COMMENT,
            "# pylint: disable=field-null-not-blank",
            "x = 1  # pylint: disable=field-null-not-blank\n",
        ),
        (
            tokenize.STRING,
            '"vettor: disable=field-null-not-blank"',
            'y = "vettor: disable=field-null-not-blank"\n',
        ),
        (
            tokenize.COMMENT,
            "# vettor disable=field-null-not-blank",
            "z = 2  # vettor disable=field-null-not-blank\n",
        ),
    ]


def test_a_syntax_error_carries_a_fixed_message(progress):
    linter = new_linter()
    linter.check(files_or_modules=[str(LINT_PROJECT / "shop/broken.py")])
    (record,) = linter.reporter.messages
    assert (record["message-id"], record["symbol"], record["message"]) == (
        "E0001",
        "syntax-error",
        "Syntax Error",
    )
    assert record["line"] == 1


def test_message_text_ignores_formatting_and_pickles():
    text = checker.ignore_old_style_string_formatting("Syntax Error")
    assert text % ("invalid syntax",) is text
    assert text % {"a": 1} == "Syntax Error"
    again = pickle.loads(pickle.dumps(text))
    assert type(again) is checker.ignore_old_style_string_formatting and again == "Syntax Error"
    assert checker.Linter.msgs["E0001"] == (
        text,
        "syntax-error",
        "Used when a syntax error is raised for a module.",
    )
    assert lint.PyLinter.msgs["E0001"][0] != "Syntax Error"


def test_reporter_records_findings_unchanged():
    reporter = checker.Reporter()
    message = type(
        "Finding",
        (),
        dict(
            category="convention",
            module="m",
            obj="f",
            line=3,
            column=4,
            path="m.py",
            symbol="s",
            msg="a < b & c",
            msg_id="C2000",
        ),
    )()
    reporter.handle_message(message)
    assert reporter.messages == [
        {
            "type": "convention",
            "module": "m",
            "obj": "f",
            "line": 3,
            "column": 4,
            "path": "m.py",
            "symbol": "s",
            "message": "a < b & c",
            "message-id": "C2000",
        }
    ]


@pytest.mark.parametrize("mapping", [{"any": 1, "keys": [2]}, type("Sub", (dict,), {})(x=1)])
def test_reporter_copies_mappings(mapping):
    copy = checker.Reporter.build_backwards_compatibile_pylint_message(mapping)
    assert copy == mapping and copy is not mapping and type(copy) is dict


def test_html_linter_gathers_every_check(monkeypatch):
    monkeypatch.setattr(
        checker, "html_checker_classes", [HardCodedLinkChecker, HardCodedLinkChecker]
    )
    linter = checker.HtmlLinter()
    assert linter.messages == []
    linter.check([TEMPLATE])
    linter.check([TEMPLATE])
    assert [m["line"] for m in linter.messages] == [3, 5, 6] * 4


def test_lint_works_without_rich(tmp_path):
    script = textwrap.dedent(
        f"""\
        import sys
        sys.modules["rich"] = None
        sys.modules["rich.progress"] = None
        from unittest.mock import MagicMock
        from vettor.staticanalysis import checker
        assert checker.Progress is MagicMock
        linter = checker.create_linter(linter_class=checker.Linter, jobs=1)
        linter.check(files_or_modules=[{str(LINT_PROJECT / "shop/broken.py")!r}])
        print(linter.reporter.messages[0]["message"])
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    assert out.stdout == "Syntax Error\n"
