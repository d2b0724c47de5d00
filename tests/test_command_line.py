"""python -m vettor.staticanalysis PROJECT: the first thing a new user runs."""
import re
import subprocess
import sys
from pathlib import Path

BLOG = Path(__file__).resolve().parent.parent / "examples" / "blog"


class Result:
    """The command's outcome, its progress display left out of the output."""

    def __init__(self, completed):
        self.returncode = completed.returncode
        self.stderr = completed.stderr
        self.stdout = "".join(
            line
            for line in completed.stdout.splitlines(keepends=True)
            if not line.startswith("Analyzing ")
        )


def run(*args):
    return Result(
        subprocess.run(
            [sys.executable, "-m", "vettor.staticanalysis", *map(str, args)],
            capture_output=True,
            text=True,
        )
    )


def test_the_example_blog():
    result = run(BLOG, "--jobs", "1")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[:3] == [
        f"Project: {BLOG}",
        "Django project: yes",
        "Django version: 3.2 (Django>=3.2,<4.0 in requirements.txt)",
    ]
    assert lines[3].startswith("Findings: ") and lines[3].endswith(" in 16 files")
    where_and_rule = {line.split(": ", 2)[0] + " " + line.split(": ", 2)[1] for line in lines[4:]}
    assert {
        "posts/models.py:7:15 C2000 nullable-string-field",
        "posts/migrations/0002_fill_author_nicknames.py:18:8 C8001 missing-reverse-migration",
        "posts/templates/posts/post_list.html:6:2 C7001 hard-coded-static-url",
        "blog/settings.py:8:0 C4005 debug-enabled",
    } <= where_and_rule
    # every finding is explained with its rule's text, filled from its argument record
    assert "Field nickname is a nullable string field." in result.stdout
    assert not re.search(r"\{[a-z_]+\}", result.stdout)
    assert lines[-1] == "requirements.txt: C1000 Django 3.2 (requirement '>=3.2,<4.0' admits 3.2.0 to 3.2.29)"


def test_a_folder_without_django(tmp_path):
    (tmp_path / "tool.py").write_text("import json\n")
    result = run(tmp_path, "--jobs", "1")
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [
        "Django project: no",
        "Django version: unknown (no Django requirement in the dependency files)",
        "Findings: 0 in 1 files",
    ]


def test_an_unpinned_requirement(tmp_path):
    (tmp_path / "requirements.txt").write_text("django\n")
    assert run(tmp_path, "--jobs", "1").stdout.splitlines()[2] == "Django version: 1.11 (Django (any version) in requirements.txt)"


def test_a_path_that_is_not_a_folder(tmp_path):
    result = run(tmp_path / "missing")
    assert result.returncode == 2
    assert "not a folder" in result.stderr
