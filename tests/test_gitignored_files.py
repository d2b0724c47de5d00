"""Files that git ignores are not linted: git itself is asked (`git check-ignore`) when the
project root is the top of a git work tree, nothing is left out otherwise, and
`respect-gitignore = false` or --no-respect-gitignore lints them."""
import json
import shutil
import subprocess
import textwrap
from pathlib import Path

import pytest

from vettor.staticanalysis import cli, meta
from vettor.staticanalysis.cli import discovery

needs_git = pytest.mark.skipif(shutil.which("git") is None, reason="git is not installed")

FILES = {
    "manage.py": "",
    ".gitignore": "generated/\nlocal_settings.py\nbuild.html\n",
    "app/.gitignore": "*_draft.py\n",
    "app/__init__.py": "",
    "app/models.py": "",
    "app/views_draft.py": "",
    "app/templates/app/page.html": "",
    "app/templates/app/build.html": "",
    "generated/models.py": "",
    "local_settings.py": "",
    # ignored by its name, but tracked: git does not ignore what it tracks
    "app/templates/app/kept/build.html": "",
}
EVERY = {name for name in FILES if name.endswith((".py", ".html"))}
IGNORED = {
    "app/views_draft.py",
    "app/templates/app/build.html",
    "generated/models.py",
    "local_settings.py",
}


def write(root, files):
    for name, content in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(content))
    return root


def git(root, *args):
    subprocess.run(["git", *args], cwd=root, check=True, capture_output=True)


@pytest.fixture
def repository(tmp_path):
    root = write(tmp_path / "repo", FILES)
    git(root, "init", "-q")
    git(root, "add", "-f", "app/templates/app/kept/build.html")
    return root


def linted(root, respect_gitignore=None):
    (selection,) = discovery.select([str(root)], respect_gitignore)
    return set(selection.python) | set(selection.templates)


@needs_git
@pytest.mark.parametrize(
    "table, respect, left_out",
    [
        ("", None, IGNORED),
        ("respect-gitignore = true\n", None, IGNORED),
        ("respect-gitignore = false\n", None, set()),
        ("", False, set()),  # --no-respect-gitignore
        ("respect-gitignore = true\n", False, set()),
    ],
)
def test_files_git_ignores_are_left_out(repository, table, respect, left_out):
    (repository / "pyproject.toml").write_text(f"[tool.vettor]\n{table}")
    assert linted(repository, respect) == EVERY - left_out


@needs_git
def test_the_command_line_leaves_them_out_unless_told(repository, monkeypatch, capsys):
    model = (
        "from django.db import models\n\n\nclass Item(models.Model):\n"
        "    name = models.CharField(max_length=20, null=True)\n"
    )
    (repository / "app/models.py").write_text(model)
    (repository / "generated/models.py").write_text(model)
    monkeypatch.chdir(repository)
    cli.main(["-j", "1", "--format", "json"])
    assert {r["path"] for r in json.loads(capsys.readouterr().out)} == {"app/models.py"}
    cli.main(["-j", "1", "--format", "json", "--no-respect-gitignore", "generated"])
    assert {r["path"] for r in json.loads(capsys.readouterr().out)} == {"generated/models.py"}
    # A named file git ignores is passed over, as an excluded one is.
    cli.main(["-j", "1", "generated/models.py"])
    assert "1 named file passed over" in capsys.readouterr().out


@needs_git
def test_git_is_asked_only_when_the_root_is_the_top_of_a_work_tree(tmp_path):
    # The Django project is a folder of the checkout: git would read the ignore files above
    # the project root, so it is not asked.
    root = write(tmp_path / "repo", {".gitignore": "local_settings.py\n", "backend/manage.py": "",
                                     "backend/local_settings.py": ""})
    git(root, "init", "-q")
    assert linted(root / "backend") == {"manage.py", "local_settings.py"}
    # No checkout at all.
    plain = write(tmp_path / "plain", {".gitignore": "local_settings.py\n", "manage.py": "", "local_settings.py": ""})
    assert linted(plain) == {"manage.py", "local_settings.py"}


@needs_git
def test_nothing_is_left_out_without_git_or_when_git_fails(repository, monkeypatch):
    monkeypatch.setenv("PATH", str(repository / "no-such-folder"))
    assert linted(repository) == EVERY
    monkeypatch.undo()
    # A repository git cannot read (here: a broken one) leaves everything in.
    (repository / ".git" / "HEAD").write_text("not a ref\n")
    assert linted(repository) == EVERY


@needs_git
def test_an_enclosing_git_command_does_not_choose_the_repository(repository, tmp_path, monkeypatch):
    # A hook runs with GIT_DIR and GIT_INDEX_FILE of its own repository set.
    other = tmp_path / "other"
    other.mkdir()
    git(other, "init", "-q")
    monkeypatch.setenv("GIT_DIR", str(other / ".git"))
    monkeypatch.setenv("GIT_WORK_TREE", str(other))
    assert linted(repository) == EVERY - IGNORED


@needs_git
def test_the_repository_file_system_monitor_is_not_run(repository, tmp_path):
    # A repository's configuration may name a program git runs on reading the index.
    witness = tmp_path / "ran"
    hook = tmp_path / "monitor.sh"
    hook.write_text(f"#!/bin/sh\ntouch {witness}\n")
    hook.chmod(0o755)
    git(repository, "config", "core.fsmonitor", str(hook))
    assert linted(repository) == EVERY - IGNORED
    assert not witness.exists()


def test_the_lint_of_the_host_api_takes_the_key(tmp_path):
    from vettor.staticanalysis import checker

    root = write(tmp_path, {"manage.py": "", "pyproject.toml": "[tool.vettor]\nrespect-gitignore = false\n"})
    assert checker.get_messages(str(root), {"manage.py": None}, jobs=1) == []


@pytest.mark.parametrize("value", ["'no'", "1"])
def test_respect_gitignore_is_true_or_false(tmp_path, value):
    root = write(tmp_path, {"manage.py": "", "pyproject.toml": f"[tool.vettor]\nrespect-gitignore = {value}\n"})
    with pytest.raises(meta.ConfigurationError, match=r"\[tool.vettor\] respect-gitignore: .* is not true or false"):
        discovery.select([str(root)])
