"""The commands: the lint (in the format asked for), the fixes (--diff, --fix) and the rules
listing. Each takes the selections of the projects named and gives the exit status."""
import functools
import sys

from vettor.staticanalysis import checker

from . import formats, process, rules, status
from .config import lint_config, unsafe_fixes
from .discovery import shown
from .escaping import visible


# ---------------------------------------------------------------------------------------
# The lint


def in_order(findings):
    """Python findings, then template findings, each by place; the Django-version finding
    last. Workers hand findings back in the order they finish; the output stays the same."""

    def place(finding):
        return (
            finding["path"],
            finding["line"] or 0,
            finding["column"] or 0,
            finding["message-id"],
        )

    python = [f for f in findings if not formats.is_meta(f) and "hint" not in f]
    templates = [f for f in findings if not formats.is_meta(f) and "hint" in f]
    return (
        sorted(python, key=place)
        + sorted(templates, key=place)
        + [f for f in findings if formats.is_meta(f)]
    )


class LintedProject:
    """One project of the lint: its selection, and its findings (in order, paths as they open
    from the working directory), linted when first asked for."""

    def __init__(self, selection, args):
        self.selection = selection
        self._args = args

    @functools.cached_property
    def findings(self):
        found = self.lint()
        for finding in found:
            finding["path"] = shown(self.selection.root, finding["path"])
        return found

    def lint(self):
        """The project's findings in order, paths relative to its root."""
        files = {path: None for path in self.selection.python + self.selection.templates}
        files["META"] = None
        return in_order(
            checker.get_messages(
                str(self.selection.root),
                files,
                config=lint_config(self.selection, self._args),
                jobs=self._args.jobs or 0,
            )
        )


class LintRun:
    """The lint of the projects named, as a format reads it."""

    def __init__(self, selections, args, counter, projects=None):
        self.selections = selections
        self.projects = projects or [LintedProject(selection, args) for selection in selections]
        self._counter = counter

    @property
    def skipped_templates(self):
        return self._counter.templates_skipped


def lint(selections, args, counter, projects=None):
    """The lint of the selections (or of the projects given, each with its selection)."""
    run = LintRun(selections, args, counter, projects)
    with process.interrupt_ends_at_once():
        formats.FORMATS[args.format](run)
    found = [f for project in run.projects for f in project.findings if not formats.is_meta(f)]
    return status.FOUND if found or run.skipped_templates else status.CLEAN


# ---------------------------------------------------------------------------------------
# The fixes


def failure_lines(project, failures):
    return [f"Could not fix {shown(project, path)}: {error}" for path, error in failures]


def migration_line(apps, written):
    """What to do once fixes change model fields: the migrations of those apps."""
    names = " ".join(apps)
    if written:
        return (
            f"Model fields changed in {', '.join(apps)}: "
            f"run `python manage.py makemigrations {names}`"
        )
    return (
        f"These fixes change model fields in {', '.join(apps)}: once they are applied, "
        f"run `python manage.py makemigrations {names}`"
    )


def unsafe_line(left_out):
    """How many fixes were left out for being unsafe, and how to have them made; nothing when
    none was."""
    number = len(left_out)
    if not number:
        return None
    fixes = "1 fix needs" if number == 1 else f"{number} fixes need"
    return f"{fixes} --unsafe-fixes: they may change what the program does"


def write_failure(project, error):
    """A file that could not be written, in one line."""
    path = getattr(error, "path", None)
    path = shown(project, path) if path else error.filename or "a file"
    reason = error.strerror or str(error)
    return f"Could not write {path}: {reason}"


def diff(selection, args):
    """--diff: the fixes of the project's selected Python files as one unified diff on standard
    output, the files listed on standard error; nothing is written."""
    from vettor.staticanalysis import transformer

    project = selection.root
    with process.interrupt_ends_at_once():
        fixed = transformer.transform_files(
            str(project),
            selection.python,
            jobs=args.jobs,
            config=lint_config(selection, args),
            unsafe_fixes=unsafe_fixes(selection, args),
        )
    # The diff alone goes to standard output, as bytes: each file's lines in the file's own
    # encoding and line endings, so that patch and git apply take it as it is.
    sys.stdout.flush()
    sys.stdout.buffer.write(fixed.unified_diff_bytes())
    sys.stdout.buffer.flush()
    failures = list(getattr(fixed, "failures", []))
    would = [f"would fix {shown(project, path)}" for _, path in fixed]
    for line in would + failure_lines(project, failures):
        print(visible(line), file=sys.stderr)
    print(f"{formats.counted(len(fixed), 'file')} would be fixed", file=sys.stderr)
    left_out = unsafe_line(getattr(fixed, "unsafe_left_out", ()))
    if left_out:
        print(left_out, file=sys.stderr)
    if getattr(fixed, "migrations", None):
        print(visible(migration_line(fixed.migrations, written=False)), file=sys.stderr)
    return status.FOUND if len(fixed) or failures else status.CLEAN


def fix(selection, args):
    """--fix: the fixes of the project's selected Python files, written into them."""
    from vettor.staticanalysis import transformer

    project = selection.root
    unwritten = []
    try:
        # Ctrl-C ends the command at once: files written so far stay fixed, nothing is written
        # after it, and the command says "Interrupted." and exits with 130.
        with process.interrupt_ends_at_once():
            written, failures = transformer.trasform_files_in_place(
                str(project),
                selection.python,
                jobs=args.jobs,
                config=lint_config(selection, args),
                unsafe_fixes=unsafe_fixes(selection, args),
            ), []
    except transformer.TransformError as error:
        written, failures = error.written, error.failures
    except OSError as error:
        if not hasattr(error, "written"):
            raise
        written, failures = error.written, []
        unwritten.append(write_failure(project, error))
    for path in written:
        print(visible(f"Fixed {shown(project, path)}"))
    for line in failure_lines(project, failures) + unwritten:
        print(visible(line), file=sys.stderr)
    print(f"{formats.counted(len(written), 'file')} fixed")
    left_out = unsafe_line(getattr(written, "unsafe_left_out", ()))
    if left_out:
        print(left_out, file=sys.stderr)
    if getattr(written, "migrations", None):
        print(visible(migration_line(written.migrations, written=True)), file=sys.stderr)
    return status.FOUND if failures or unwritten else status.CLEAN


# ---------------------------------------------------------------------------------------
# The rules


def list_rules():
    sys.stdout.write(rules.rules_text())
    return status.CLEAN
