"""Files that git ignores are not linted (`respect-gitignore = false` in [tool.vettor], or
--no-respect-gitignore, lints them): build output, a developer's local settings, vendored
copies.

git itself says which files it ignores (`git check-ignore`), so its own rules hold: nested
.gitignore files, .git/info/exclude, the user's excludes file, and a tracked file is never
ignored. It is asked only when the project root is the top of a git work tree and git is on
the PATH; otherwise nothing is left out. git looks for no repository above the project root,
no variable of an enclosing git command (a hook's GIT_DIR, GIT_INDEX_FILE) reaches it, and the
file-system monitor a repository's configuration may name is not run: asking runs none of the
project's code.
"""
import os
import shutil
import subprocess
from pathlib import Path


def is_work_tree_top(project):
    # A folder, or a file naming the repository of a linked work tree or a submodule.
    return os.path.lexists(Path(project, ".git"))


def git_environment(project):
    env = {name: value for name, value in os.environ.items() if not name.startswith("GIT_")}
    env["GIT_CEILING_DIRECTORIES"] = os.path.dirname(os.path.abspath(project))
    return env


def ignored_by_git(project, relatives):
    """The project-relative paths among `relatives` that git ignores: none when the project
    root is not the top of a git work tree, git is not on the PATH, or git fails."""
    git = shutil.which("git")
    if not relatives or git is None or not is_work_tree_top(project):
        return set()
    names = b"".join(os.fsencode(relative) + b"\0" for relative in relatives)
    try:
        answer = subprocess.run(
            [git, "-c", "core.fsmonitor=false", "check-ignore", "--stdin", "-z"],
            cwd=project,
            input=names,
            capture_output=True,
            env=git_environment(project),
            check=False,
        )
    except OSError:
        return set()
    # 0: some are ignored, 1: none is; anything else is git's own failure (no repository
    # after all, one it does not trust).
    if answer.returncode not in (0, 1):
        return set()
    return {os.fsdecode(name) for name in answer.stdout.split(b"\0") if name}


def not_ignored(project, python, templates):
    """The Python files and templates (project-relative) that git does not ignore."""
    ignored = ignored_by_git(project, python + templates)
    return [p for p in python if p not in ignored], [t for t in templates if t not in ignored]
