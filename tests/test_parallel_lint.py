"""Linting with worker processes: the same findings as one process, and no hang when the
workers are forked while the progress display is being drawn."""
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from conftest import LINT_PROJECT
from vettor.staticanalysis import checker

FILES = {
    "shop/models.py": None,
    "shop/views.py": None,
    "shop/helpers.py": None,
    "proj/settings.py": None,
}


def finding_set(messages):
    return {
        (m["path"], m["line"], m["column"], m["message-id"], repr(m["message"])) for m in messages
    }


@pytest.mark.usefixtures("stand_in_rules")
def test_workers_give_the_same_findings_as_one_process():
    one = checker.get_messages(str(LINT_PROJECT), FILES, jobs=1)
    workers = checker.get_messages(str(LINT_PROJECT), FILES)  # jobs 0: one worker per CPU
    assert finding_set(one) and finding_set(workers) == finding_set(one)
    two = checker.get_messages(str(LINT_PROJECT), FILES, jobs=2)
    assert finding_set(two) == finding_set(one)


def test_the_rules_give_the_same_findings_with_workers_on_the_example_project():
    blog = LINT_PROJECT.parent.parent.parent / "examples" / "blog"
    files = {
        str(path.relative_to(blog)): None for path in blog.rglob("*") if path.suffix in (".py", ".html")
    }
    one = checker.get_messages(str(blog), files, jobs=1)
    workers = checker.get_messages(str(blog), files, jobs=0)
    codes = {m["message-id"] for m in one}
    assert {"C2000", "C4005", "C7001", "C8001", "C9002"} <= codes
    assert finding_set(workers) == finding_set(one)


@pytest.mark.usefixtures("stand_in_rules")
def test_a_syntax_error_comes_back_from_a_worker():
    linter = checker.create_linter(linter_class=checker.Linter, jobs=2)
    linter.check(
        files_or_modules=[str(LINT_PROJECT / "shop/broken.py"), str(LINT_PROJECT / "shop/views.py")]
    )
    (error,) = [m for m in linter.reporter.messages if m["message-id"] == "E0001"]
    assert error["message"] == "Syntax Error"
    assert type(error["message"]) is checker.ignore_old_style_string_formatting


# A display on a terminal whose drawing lock is held at the moment pylint forks its workers,
# and a rule that writes to stdout in the worker (rich routes stdout through the display).
FORK_WHILE_DRAWING = textwrap.dedent(
    """\
    import os, pathlib, sys, threading, time
    from rich.console import Console
    from rich.progress import Progress
    from pylint.checkers import BaseChecker
    from pylint.interfaces import IAstroidChecker
    from vettor.staticanalysis import checker

    class Talker(BaseChecker):
        __implements__ = IAstroidChecker
        name = "talker"
        msgs = {"C2998": ("talk", "talk", "talk")}

        def visit_module(self, node):
            print("worker checks", node.name)

    class DrawingDisplay(Progress):
        def __init__(self, **options):
            screen = open(os.devnull, "w")
            console = Console(force_terminal=True, force_interactive=True, file=screen)
            super().__init__(console=console)

        def add_task(self, *args, **kwargs):
            task = super().add_task(*args, **kwargs)
            held = threading.Event()

            def draw():
                with self.live._lock:
                    held.set()
                    time.sleep(0.5)

            threading.Thread(target=draw, daemon=True).start()
            held.wait()
            return task

    checker.Progress = DrawingDisplay
    checker.python_checker_classes = [Talker]
    root = pathlib.Path(sys.argv[1])
    linter = checker.create_linter(linter_class=checker.Linter, jobs=0)
    linter.check(files_or_modules=[str(p) for p in sorted(root.rglob("*.py"))])
    print("finished", file=sys.stderr)
    """
)


def test_workers_forked_while_the_display_draws_do_not_hang():
    proc = subprocess.Popen(
        [sys.executable, "-c", FORK_WHILE_DRAWING, str(LINT_PROJECT)],
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        text=True,
        start_new_session=True,
    )
    try:
        _, err = proc.communicate(timeout=120)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.communicate()
        pytest.fail("the lint hung in a worker")
    assert proc.returncode == 0, err
    assert err.endswith("finished\n")
