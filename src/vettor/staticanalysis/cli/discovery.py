"""Which projects the command's paths name, and which of their files are linted.

The project root is found upward from each path; the project's files are its Python files and
the HTML files of its templates folders, less the folders that hold other people's code and
what its [tool.vettor] `exclude` and `directories` leave out, and the files git ignores
(gitignore.py). A named path narrows that selection and never widens it.
"""
import os
from pathlib import Path, PurePosixPath
from typing import NamedTuple

import tomli

from vettor.staticanalysis import checker

from . import gitignore

# Folders that hold other people's code or tool state, never the project's own sources.
SKIPPED_FOLDERS = {"node_modules", "site-packages", "dist-packages", "__pycache__"}
# Django's template loaders look for templates in folders of this name (the app directories
# loader, and by convention the project's own DIRS); other .html files are static pages,
# JavaScript demos or test data.
TEMPLATE_FOLDER = "templates"
# Files that mark a project's root folder, as does a pyproject.toml with a [tool.vettor] table.
ROOT_FILES = ("manage.py", "setup.cfg", "setup.py")
# What marks the top of a checkout: the project root is looked for no higher.
CHECKOUT_MARKERS = (".git", ".hg")


class NoSuchPath(Exception):
    """A path named on the command line does not exist."""


class Selection(NamedTuple):
    """What is linted of one project: its root (as shown, openable from the working
    directory), its checked [tool.vettor] table, its files relative to the root, and how many
    of the files named in it are none of them."""

    root: Path
    config: dict
    python: list
    templates: list
    passed_over: int


# ---------------------------------------------------------------------------------------
# The project of a path


def folders_up(start):
    """`start` and the folders above it, up to the top of the checkout that holds it (or the
    file system's root): a project never reaches out of its checkout."""
    for folder in (start, *start.parents):
        yield folder
        if any(os.path.lexists(folder / name) for name in CHECKOUT_MARKERS):
            return


def configures_vettor(folder):
    """True when the folder's pyproject.toml has a [tool.vettor] table (or, broken, may have
    one: the lint then reports what is wrong with it)."""
    path = folder / "pyproject.toml"
    if not path.is_file():
        return False
    try:
        text = path.read_text(encoding="utf-8").lstrip("\ufeff")
    except (OSError, UnicodeError):
        return True
    try:
        tool = tomli.loads(text).get("tool")
    except tomli.TOMLDecodeError:
        return "vettor" in text
    return isinstance(tool, dict) and "vettor" in tool


def has_root_file(folder):
    return any((folder / name).is_file() for name in ROOT_FILES)


def find_project_root(start):
    """The root of the project that holds the folder `start` (absolute): the nearest folder
    with its [tool.vettor] configuration, else the nearest with a manage.py, setup.cfg or
    setup.py; else `start` itself. The configuration wins over a nearer manage.py, so that a
    Django project in a subfolder of a configured repository (backend/manage.py) is linted
    with the repository's configuration."""
    folders = list(folders_up(start))
    for is_root in (configures_vettor, has_root_file):
        for folder in folders:
            if is_root(folder):
                return folder
    return start


def named_projects(paths):
    """{root: [project-relative posix paths named in it]} in the order the paths were given;
    "." stands for the root itself. Raises NoSuchPath for a path that does not exist."""
    projects = {}
    for text in paths:
        path = Path(os.path.abspath(text))
        if not os.path.lexists(path):
            raise NoSuchPath(f"{text}: no such file or folder")
        folder = path if path.is_dir() else path.parent
        root = find_project_root(folder)
        relative = Path(os.path.relpath(path, root)).as_posix()
        named = projects.setdefault(root, [])
        if relative not in named:
            named.append(relative)
    return projects


def shown(project, relative):
    """A path of the project as the user can open it from the working directory: relative
    to it when the file lies under it, else absolute."""
    full = Path(os.path.abspath(os.path.join(project, relative)))
    here = Path.cwd()
    if full == here:
        return "."
    if here in full.parents:
        return full.relative_to(here).as_posix()
    return str(full)


# ---------------------------------------------------------------------------------------
# The files of a project


def names_in(value):
    """The entries of a list option, given as a list or as one comma-separated text."""
    return [item.strip() for item in value.split(",")] if isinstance(value, str) else value


def is_skipped_folder(path):
    return (
        path.name.startswith(".")
        or path.name in SKIPPED_FOLDERS
        or (path / "pyvenv.cfg").exists()
        or (path / "conda-meta").exists()
    )


def exclude_patterns(config):
    patterns = names_in(config.get("exclude", []))
    return [
        pattern.strip().rstrip("/").removeprefix("./") for pattern in patterns if pattern.strip()
    ]


def is_excluded(relative, patterns):
    """A pattern matches the project-relative path, one of its folders, or one of its names:
    "docs", "*/static/*", "legacy/*.py" and "test_*.py" all serve (the matching that
    per-file-ignores uses too)."""
    return bool(patterns) and checker.matches_path(relative, patterns)


def is_template(relative):
    return relative.endswith(".html") and TEMPLATE_FOLDER in PurePosixPath(relative).parts[:-1]


def walk(top):
    """os.walk(top) from the top down, without its recursion (a folder nested a thousand deep
    exhausts the interpreter's stack in os.walk): (folder, subfolders, files) for each folder,
    whose `subfolders` list may be pruned. A link to a folder is listed among the subfolders
    but not entered; an entry whose kind cannot be told (a loop of links) counts as a file,
    which its lint reports; a folder that cannot be listed is passed over."""
    pending = [top]
    while pending:
        folder = pending.pop()
        subfolders, files, links = [], [], set()
        try:
            with os.scandir(folder) as entries:
                for entry in entries:
                    try:
                        is_folder = entry.is_dir()
                        if is_folder and entry.is_symlink():
                            links.add(entry.name)
                    except OSError:
                        is_folder = False
                    (subfolders if is_folder else files).append(entry.name)
        except OSError:
            continue
        yield folder, subfolders, files
        pending.extend(
            os.path.join(folder, name) for name in reversed(subfolders) if name not in links
        )


def real_base(project, base):
    """The folder `base` of the project as the project-relative path its links lead to (a
    folder named twice, once through a link, is the same folder), or None when it leads out
    of the project or is no folder."""
    real_root = os.path.realpath(project)
    real = os.path.realpath(project / base)
    if not os.path.isdir(real) or not (real == real_root or real.startswith(real_root + os.sep)):
        return None
    return Path(os.path.relpath(real, real_root))


def project_files(project, config):
    """The project-relative paths of its Python files and of its templates, in a stable order.
    A folder reached twice (named in `directories` both itself and through a link) is read
    once, under the path its links lead to."""
    patterns = exclude_patterns(config)
    python, templates = set(), set()
    bases = {real_base(project, base) for base in config.get("directories") or ["."]}
    for base in sorted(bases - {None}):
        for folder, subfolders, filenames in walk(project / base):
            here = Path(folder)
            subfolders[:] = sorted(
                name
                for name in subfolders
                if not is_skipped_folder(here / name)
                and not is_excluded((here / name).relative_to(project).as_posix(), patterns)
            )
            for filename in filenames:
                relative = (here / filename).relative_to(project).as_posix()
                if is_excluded(relative, patterns):
                    continue
                if filename.endswith(".py"):
                    python.add(relative)
                elif is_template(relative):
                    templates.add(relative)
    return sorted(python), sorted(templates)


def is_named(relative, named):
    return any(n == "." or relative == n or relative.startswith(n + "/") for n in named)


def respects_gitignore(config, respect_gitignore):
    """The command line's choice, else the project's (`respect-gitignore`, true by default)."""
    return config.get("respect-gitignore", True) if respect_gitignore is None else respect_gitignore


def selected_files(project, config, named, respect_gitignore=None):
    """The project's Python files and templates that lie in the named files and folders, and
    the number of named files that are none of them. A named path narrows what the lint of
    the whole project takes; it never widens it: exclude, directories and the templates
    folders apply to it as to any file, so pre-commit and an editor, which name files, get
    the findings of the project's own lint."""
    python, templates = project_files(project, config)
    if respects_gitignore(config, respect_gitignore):
        python, templates = gitignore.not_ignored(project, python, templates)
    python = [p for p in python if is_named(p, named)]
    templates = [t for t in templates if is_named(t, named)]
    taken = set(python) | set(templates)
    passed_over = sum(
        1 for n in named if n not in taken and not (project / n).is_dir() and n != "."
    )
    return python, templates, passed_over


def select(paths, respect_gitignore=None):
    """The Selection of every project the paths name, in the order named. Raises NoSuchPath
    for a path that does not exist, meta.ConfigurationError for a mistake in a project's
    configuration. `respect_gitignore` (None: as the project says) chooses whether the files
    git ignores are left out."""
    selections = []
    for root, named in named_projects(paths or ["."]).items():
        project = Path(shown(root, "."))
        # The same check of the table as every entry point of the host API makes.
        config = checker.read_project_config(project)
        selections.append(
            Selection(project, config, *selected_files(project, config, named, respect_gitignore))
        )
    return selections
