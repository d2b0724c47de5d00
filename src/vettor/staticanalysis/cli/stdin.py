"""Standard input: `vettor - --stdin-filename posts/models.py` lints the text it reads as that
file of its project, as an editor lints a buffer not yet saved. The project is found from the
name as for a path named on the command line, and the file on disk is never read (it need not
exist). Without --stdin-filename the text stands for stdin.py in the working directory.
"""
import io
import os
import sys
import tokenize
from pathlib import Path, PurePosixPath

from vettor.staticanalysis import checker

from . import discovery
from .commands import LintedProject, in_order
from .config import lint_config

STDIN = "-"
DEFAULT_NAME = "stdin.py"


class UnreadableInput(Exception):
    """Standard input does not decode as the file it stands for."""


def check_arguments(args, parser):
    """A mistake in how standard input is asked for ends the command (exit 2)."""
    if STDIN in args.paths:
        if len(args.paths) > 1:
            parser.error("- (standard input) is linted on its own, without other paths")
        if args.diff or args.fix or args.add_pragmas:
            # The fixes of a file are chosen from the project's files as they are on disk
            # (the settings modules it imports, the lint that says what to fix), and a pragma
            # belongs in a file: for a text that is not the file, neither can be promised.
            parser.error("--diff, --fix and --add-pragmas take files, not - (standard input)")
    elif args.stdin_filename is not None:
        parser.error("--stdin-filename applies to - (standard input) only")


def decoded(data, name):
    """The text of standard input as Python reads a source file (its coding cookie or byte
    order mark, else UTF-8) or Django a template (UTF-8), lines broken by "\\n"."""
    try:
        if name.endswith(".py"):
            encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
        else:
            encoding = "utf-8"
        text = data.decode("utf-8-sig" if encoding == "utf-8-sig" else encoding)
    except (SyntaxError, LookupError, UnicodeDecodeError) as error:
        raise UnreadableInput(f"standard input cannot be read as {name}: {error}") from None
    return text.replace("\r\n", "\n").replace("\r", "\n")


def is_linted(project, config, relative):
    """Whether the project's lint takes the file `relative` (posix, under the root): a Python
    file or a template in a templates folder, inside its `directories`, in no folder the lint
    passes over and not excluded, so that a buffer gets the findings its file would get."""
    if not (relative.endswith(".py") or discovery.is_template(relative)):
        return False
    patterns = discovery.exclude_patterns(config)
    parts = PurePosixPath(relative).parts
    folders = ["/".join(parts[:n]) for n in range(1, len(parts))]
    if any(discovery.is_skipped_folder(project / folder) for folder in folders):
        return False
    if any(discovery.is_excluded(path, patterns) for path in folders + [relative]):
        return False
    bases = [
        PurePosixPath(base.strip().rstrip("/")).as_posix()
        for base in discovery.names_in(config.get("directories") or ["."])
    ]
    return any(base in (".", "") or discovery.is_named(relative, [base]) for base in bases)


def selection(name):
    """The Selection of the project the name belongs to, with the name as its one file when
    the project's lint takes it (else it is passed over)."""
    path = Path(os.path.abspath(name))
    if path.is_dir():
        raise discovery.NoSuchPath(f"{name}: --stdin-filename names a folder")
    folder = path.parent
    while not folder.is_dir():  # a file in a folder not made yet
        folder = folder.parent
    root = discovery.find_project_root(folder)
    project = Path(discovery.shown(root, "."))
    config = checker.read_project_config(project)
    relative = Path(os.path.relpath(path, root)).as_posix()
    if not is_linted(project, config, relative):
        return discovery.Selection(project, config, [], [], 1)
    python = [relative] if relative.endswith(".py") else []
    templates = [relative] if relative.endswith(".html") else []
    return discovery.Selection(project, config, python, templates, 0)


class StdinProject(LintedProject):
    """The project of standard input: its findings are those of the text read."""

    def __init__(self, selection, args, text):
        super().__init__(selection, args)
        self._text = text

    def lint(self):
        project = str(self.selection.root)
        config = lint_config(self.selection, self._args)
        found = []
        for relative in self.selection.python + self.selection.templates:
            found += checker.get_text_messages(project, relative, self._text, config=config)
        return in_order(found + checker.get_meta_messages(project))


def project(args):
    """The StdinProject of the text on standard input, read now."""
    name = args.stdin_filename or DEFAULT_NAME
    chosen = selection(name)
    text = decoded(sys.stdin.buffer.read(), name)
    return StdinProject(chosen, args, text)
