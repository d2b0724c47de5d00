"""python -m vettor.staticanalysis PROJECT: the first thing a new user runs."""
import subprocess
import sys
from pathlib import Path

BLOG = Path(__file__).resolve().parent.parent / "examples" / "blog"


def run(*args):
    return subprocess.run(
        [sys.executable, "-m", "vettor.staticanalysis", *map(str, args)],
        capture_output=True,
        text=True,
    )


def test_the_example_blog():
    result = run(BLOG)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        f"Project: {BLOG}",
        "Django project: yes",
        "Django version: 3.2 (Django>=3.2,<4.0 in requirements.txt)",
    ]


def test_a_folder_without_django(tmp_path):
    (tmp_path / "tool.py").write_text("import json\n")
    result = run(tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[1:] == [
        "Django project: no",
        "Django version: unknown (no Django requirement in the dependency files)",
    ]


def test_an_unpinned_requirement(tmp_path):
    (tmp_path / "requirements.txt").write_text("django\n")
    assert run(tmp_path).stdout.splitlines()[2] == "Django version: 1.11 (Django (any version) in requirements.txt)"


def test_a_path_that_is_not_a_folder(tmp_path):
    result = run(tmp_path / "missing")
    assert result.returncode == 2
    assert "not a folder" in result.stderr
