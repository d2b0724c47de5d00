"""--add-pragmas: a disable pragma for every finding the lint reports, so that a codebase adopts
vettor with the findings it has and only new code is held to the rules.

Each pragma is the one a code review asks for with the pragma request code
(constants.SKIP_LINE_ID): the suggestions place it (suggest.get_suggestions_for_python and
suggest.get_suggestions_for_html), naming the symbols of the codes found on its line, on the
line pylint reads it for that finding (the end of a backslash continuation or of a string over
several lines; above the first statement for a finding on the module), added to the pragma the
line has already. Templates get "{# vettor: disable=... #}". The files are written as --fix
writes them, and a second lint of the files tells what is still reported; that is listed on
standard error.
"""
import ast
import sys
from collections import defaultdict

from vettor.staticanalysis import checker, constants, diff, helpers, suggest, transformer

from . import formats, status
from .config import lint_config
from .discovery import shown

# pylint's own codes for a module that could not be analysed: no pragma silences them.
UNANALYSED_CODES = formats.UNANALYSED_CODES


class Unsilenced(Exception):
    """Why the findings of a file got no pragma."""


def codes_by_line(findings):
    """{path: {line: {codes}}} of the findings a pragma can silence."""
    files = defaultdict(lambda: defaultdict(set))
    for finding in findings:
        files[finding["path"]][finding["line"]].add(finding["message-id"])
    return files


def with_block(lines, first, last, text):
    """The lines (each with its "\\n", the last maybe without) with lines first to last
    (1-based) replaced by the block's text."""
    ending = "\n" if lines[last - 1].endswith("\n") else ""
    new = [line + "\n" for line in text.split("\n")]
    new[-1] = new[-1][:-1] + ending
    return lines[: first - 1] + new + lines[last:]


class PythonFile:
    """A Python file's lines and their token index, parsed again only when a pragma is placed
    on lines another pragma has changed already."""

    def __init__(self, path, modname, lines):
        self.path = path
        self.modname = modname
        self.lines = lines
        self._atok = None

    def atok(self):
        if self._atok is None:
            self._atok = helpers.build_atok(
                source="".join(self.lines),
                modname=self.modname,
                absolute_path=self.path,
            )
        return self._atok

    def blocks(self, line, codes):
        return suggest.get_suggestions_for_python(
            atok=self.atok(),
            line=line,
            message_ids=set(codes) | {constants.SKIP_LINE_ID},
            code_style={},
            settings_modpath="",
        )


def python_pragmas(path, modname, lines, found):
    """The file's lines with a pragma for the codes of each line of `found` ({line: codes}),
    the lines that got none, and the number of pragmas placed. The lines are taken from the
    bottom up: a pragma for the module that adds a line above the first statement moves no
    line still to come."""
    source = PythonFile(path, modname, lines)
    changed_from = None  # the first line of the pragmas placed so far
    missed, placed = [], 0
    for line in sorted(found, reverse=True):
        blocks = source.blocks(line, found[line])
        if changed_from is not None and any(last >= changed_from for _, last, _ in blocks):
            # The block repeats lines read before a pragma changed them (two findings whose
            # pragma goes on the same line): it is made again from the lines as they are now.
            source = PythonFile(path, modname, source.lines)
            blocks = source.blocks(line, found[line])
        if not blocks:
            missed.append(line)
            continue
        for first, last, text in sorted(blocks, key=lambda block: -block[0]):
            source.lines = with_block(source.lines, first, last, text)
            changed_from = first if changed_from is None else min(changed_from, first)
            placed += 1
    return source.lines, missed, placed


def template_pragmas(lines, found):
    missed, placed = [], 0
    for line in sorted(found, reverse=True):
        blocks = suggest.get_suggestions_for_html(
            code_lines=lines,
            line=line,
            message_ids=set(found[line]) | {constants.SKIP_LINE_ID},
            settings={},
        )
        if not blocks:
            missed.append(line)
            continue
        for first, last, text in blocks:
            lines = with_block(lines, first, last, text)
            placed += 1
    return lines, missed, placed


def write_pragmas(root, relative, found):
    """Places the pragmas of one file and writes it; gives (pragmas placed, lines missed).
    Raises Unsilenced when the file gets none."""
    full = helpers.file_under_root(str(root), relative)
    try:
        before = full.read_bytes()
        lines = list(helpers.read_code_from_file(str(full)))
    except (OSError, UnicodeError) as error:
        raise Unsilenced(f"it cannot be read: {getattr(error, 'strerror', None) or error}")
    try:
        if relative.endswith(".py"):
            modname = checker.module_name_of(relative)
            lines, missed, placed = python_pragmas(str(full), modname, lines, found)
        else:
            lines, missed, placed = template_pragmas(lines, found)
    except Exception as error:  # a file the pragmas' placement cannot read
        raise Unsilenced(f"its pragmas could not be placed: {type(error).__name__}: {error}")
    if not placed:
        return 0, missed
    text = "".join(lines)
    if relative.endswith(".py"):
        try:
            ast.parse(text)
        except (SyntaxError, ValueError) as error:
            raise Unsilenced(f"its pragmas would break it: {error}")
    data = diff.stored_form(before, text)
    try:
        if full.read_bytes() != before:
            raise Unsilenced("it changed while its pragmas were placed; it was not written")
        transformer.write_whole(full, data)
    except OSError as error:
        raise Unsilenced(f"it cannot be written: {error.strerror or error}")
    return placed, missed


def add(selection, args):
    """--add-pragmas for one project: lint, place the pragmas, lint the files again."""
    project = selection.root
    config = lint_config(selection, args)
    files = {path: None for path in selection.python + selection.templates}
    findings = checker.get_messages(str(project), files, config=config, jobs=args.jobs or 0)
    why = {}  # (path, line) -> why its findings got no pragma
    silenceable = []
    for finding in findings:
        if finding["message-id"] in UNANALYSED_CODES:
            why[finding["path"], finding["line"]] = "the file could not be analysed"
        else:
            silenceable.append(finding)
    written, pragmas = [], 0
    for relative, found in codes_by_line(silenceable).items():
        try:
            placed, missed = write_pragmas(project, relative, found)
        except Unsilenced as error:
            for line in found:
                why[relative, line] = str(error)
            continue
        for line in missed:
            why[relative, line] = "its line cannot take a pragma"
        if placed:
            written.append(relative)
            pragmas += placed
            print(f"Added {formats.counted(placed, 'pragma')} to {shown(project, relative)}")

    # What a lint of the files reports now is what the pragmas did not silence.
    touched = {finding["path"]: None for finding in findings}
    left = checker.get_messages(str(project), touched, config=config, jobs=args.jobs or 0)
    left = sorted(left, key=lambda f: (f["path"], f["line"] or 0, f["message-id"]))
    for finding in left:
        reason = why.get((finding["path"], finding["line"]), "still reported with its pragma")
        print(
            f"Not silenced: {shown(project, finding['path'])}:{finding['line']}: "
            f"{finding['message-id']} {formats.symbol_of(finding)}: {reason}",
            file=sys.stderr,
        )
    print(
        f"{formats.counted(len(findings) - len(left), 'finding')} silenced by "
        f"{formats.counted(pragmas, 'pragma')} in {formats.counted(len(written), 'file')}"
        + (f"; {formats.counted(len(left), 'finding')} not silenced" if left else "")
    )
    return status.FOUND if left else status.CLEAN
