"""vettor [PROJECT] (or python -m vettor.staticanalysis): lint a Django project, or fix it."""
import argparse
import fnmatch
import json
import logging
import multiprocessing
import os
import signal
import sys
from pathlib import Path, PurePosixPath

from vettor.staticanalysis import checker, dependencies, message_templates, meta

EXIT_CLEAN = 0
EXIT_FOUND = 1
EXIT_USAGE = 2
EXIT_INTERRUPTED = 128 + signal.SIGINT

# Folders that hold other people's code or tool state, never the project's own sources.
SKIPPED_FOLDERS = {"node_modules", "site-packages", "dist-packages", "__pycache__"}
# Django's template loaders look for templates in folders of this name (the app directories
# loader, and by convention the project's own DIRS); other .html files are static pages,
# JavaScript demos or test data.
TEMPLATE_FOLDER = "templates"
# The findings of a Python file that could not be analysed: it does not parse or decode, or
# it cannot be read or the analysis failed on it.
UNANALYSED_CODES = ("E0001", "F0001")
# [tool.vettor] keys that choose the files rather than set a linter option.
FILE_SELECTION_KEYS = ("directories", "exclude")
# [tool.vettor] key that turns off the parse trees kept between lints in the user's cache.
PARSE_CACHE_KEY = "parse-cache"
# Options the lint sets itself from the project; a configured value would be overridden.
DERIVED_OPTIONS = {
    "django-version": "it is read from the project's dependency files",
    "settings-files": "the settings modules are found in the project",
    "root-urlconf": "it is read from the project's settings",
}
TEMPLATE_LOGGER = "vettor.staticanalysis.checkers.templates"


def program_name():
    return "vettor" if Path(sys.argv[0]).name == "vettor" else "python -m vettor.staticanalysis"


def package_version():
    from importlib import metadata

    try:
        return metadata.version("vettor")
    except metadata.PackageNotFoundError:
        return "unknown"


def worker_count(text):
    try:
        jobs = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if jobs < 0:
        raise argparse.ArgumentTypeError(f"{jobs} is below 0 (0 starts one worker per CPU)")
    return jobs


def build_parser():
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description="Static analysis for Django projects: lints the project's Python files "
        "and the HTML templates in its templates folders.",
        epilog="Exit status: 0 when nothing is found, 1 when there are findings (files that "
        "could not be analysed included; with --diff: fixes to make), 2 for a mistake on the "
        "command line or in the [tool.vettor] table of pyproject.toml, 130 when interrupted.",
    )
    parser.add_argument("project", nargs="?", default=".", help="project folder (default: .)")
    parser.add_argument(
        "-j",
        "--jobs",
        type=worker_count,
        metavar="N",
        help="worker processes (0: one per CPU, the default); wins over `jobs` in pyproject.toml",
    )
    parser.add_argument(
        "--format",
        choices=("text", "json"),
        default="text",
        help="text: one line per finding (path:line:column, both counted from 1); json: one "
        "array of the finding records (default: text)",
    )
    parser.add_argument(
        "--exit-zero",
        action="store_true",
        help="exit with status 0 even when there are findings (errors still give 2)",
    )
    fixing = parser.add_mutually_exclusive_group()
    fixing.add_argument(
        "--diff",
        action="store_true",
        help="print the fixes of the Python files as a unified diff instead of linting; "
        "change nothing",
    )
    fixing.add_argument(
        "--fix",
        action="store_true",
        help="write the fixes into the Python files instead of linting",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    return parser


# ---------------------------------------------------------------------------------------
# Configuration


def configuration_error(pyproject, key, what):
    return meta.ConfigurationError(f"{pyproject}: [tool.vettor] {key}: {what}")


def is_text_list(value):
    return isinstance(value, list) and all(isinstance(item, str) for item in value)


def names_in(value):
    """The entries of a list option, given as a list or as one comma-separated text."""
    return [item.strip() for item in value.split(",")] if isinstance(value, str) else value


def is_known_message(linter, name):
    if name == "all" or name.upper() in ("C", "R", "W", "E", "I", "F"):
        return True
    store = checker.message_id_symbol_store
    if name in store or name in store.values() or name in linter._checkers:
        return True
    try:
        return bool(linter.msgs_store.get_message_definitions(name))
    except Exception:  # pylint's unknown-message error
        return False


def check_option(linter, pyproject, key, value):
    """Raises a ConfigurationError when the linter would refuse or misread the value."""
    if key in DERIVED_OPTIONS:
        raise configuration_error(pyproject, key, f"cannot be set: {DERIVED_OPTIONS[key]}")
    provider = linter._all_options.get(key)
    if provider is None:
        raise configuration_error(pyproject, key, "unknown key (not an option of vettor)")
    kind = provider.get_option_def(key).get("type")
    if kind == "int" and (not isinstance(value, int) or isinstance(value, bool)):
        raise configuration_error(pyproject, key, f"{value!r} is not a whole number")
    if key == "jobs" and value < 0:
        raise configuration_error(pyproject, key, f"{value} is below 0 (0: one worker per CPU)")
    if kind == "csv" and not (isinstance(value, str) or is_text_list(value)):
        raise configuration_error(pyproject, key, f"{value!r} is not a list of texts")
    if key in ("disable", "enable"):
        for name in names_in(value):
            if not is_known_message(linter, name):
                raise configuration_error(
                    pyproject, key, f"{name!r} is not a message code or symbol of vettor"
                )
    try:
        if key == "jobs":
            value = value or None
        linter.global_set_option(key, value)
    except Exception as error:  # pylint's own check of the value
        raise configuration_error(pyproject, key, str(error)) from None


def check_file_selection(project, pyproject, key, value):
    if key == "exclude" and isinstance(value, str):
        return
    if not is_text_list(value):
        raise configuration_error(pyproject, key, f"{value!r} is not a list of texts")
    if key == "directories":
        for name in value:
            if not (project / name).is_dir():
                raise configuration_error(
                    pyproject, key, f"{name!r} is not a folder of the project"
                )


def project_configuration(project):
    """The [tool.vettor] table, checked; raises meta.ConfigurationError at the first mistake."""
    table = meta.get_toml_config(project)
    pyproject = project / "pyproject.toml"
    linter = checker.create_linter(linter_class=checker.Linter, jobs=1)
    for key, value in table.items():
        if key in FILE_SELECTION_KEYS:
            check_file_selection(project, pyproject, key, value)
        elif key == PARSE_CACHE_KEY:
            if not isinstance(value, bool):
                raise configuration_error(pyproject, key, f"{value!r} is not true or false")
        else:
            check_option(linter, pyproject, key, value)
    return table


# ---------------------------------------------------------------------------------------
# Files


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
    "docs", "*/static/*", "legacy/*.py" and "test_*.py" all serve."""
    parts = PurePosixPath(relative).parts
    candidates = {relative, *parts, *("/".join(parts[:n]) for n in range(1, len(parts)))}
    return any(fnmatch.fnmatchcase(name, pattern) for pattern in patterns for name in candidates)


def is_template(relative):
    return relative.endswith(".html") and TEMPLATE_FOLDER in PurePosixPath(relative).parts[:-1]


def project_files(project, config):
    """The project-relative paths of its Python files and of its templates, in a stable order."""
    patterns = exclude_patterns(config)
    python, templates = set(), set()
    for base in config.get("directories") or ["."]:
        for folder, subfolders, filenames in os.walk(project / base):
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


# ---------------------------------------------------------------------------------------
# Output


def describe(project):
    """The lines the command prints about the project itself."""
    lines = [f"Project: {project}"]
    is_django = dependencies.is_django_repository(project)
    lines.append(f"Django project: {'yes' if is_django else 'no'}")
    details = dependencies.resolve_django_version(project)
    if details:
        requirement = f"Django{details['specs']}" if details["specs"] else "Django (any version)"
        lines.append(f"Django version: {details['version']} ({requirement} in {details['path']})")
    else:
        lines.append("Django version: unknown (no Django requirement in the dependency files)")
    return lines


def is_meta(finding):
    return finding.get("message_type") == "meta"


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

    python = [f for f in findings if not is_meta(f) and "hint" not in f]
    templates = [f for f in findings if not is_meta(f) and "hint" in f]
    return (
        sorted(python, key=place)
        + sorted(templates, key=place)
        + [f for f in findings if is_meta(f)]
    )


def explain(finding):
    """A finding as one line of text: where (line and column counted from 1), which rule, and
    what it means."""
    code = finding["message-id"]
    where = f"{finding['path']}:{finding['line']}:{(finding['column'] or 0) + 1}"
    symbol = checker.message_id_symbol_store.get(code, finding.get("symbol") or "")
    template = getattr(message_templates, code, None)
    record = finding["message"]
    if template is not None and isinstance(record, dict):
        try:
            text = template.format(**record)
        except (KeyError, IndexError, ValueError):
            text = f"{template} {record}"
    else:
        text = str(record)
    return f"{where}: {code} {symbol}: {text}"


def explain_meta(meta_finding):
    body = meta_finding["body"]
    versions = body["matching_versions"]
    span = f"{versions[0]} to {versions[-1]}" if versions else "no released version"
    return (
        f"{meta_finding['path']}: {meta_finding['message-id']} Django {body['minor']} "
        f"(requirement '{body['specs'] or 'any'}' admits {span})"
    )


def counted(number, noun):
    return f"{number} {noun}{'' if number == 1 else 's'}"


def summary(findings, python, templates, skipped):
    found = [f for f in findings if not is_meta(f)]
    files = f"{counted(len(python), 'Python file')} and {counted(len(templates), 'template')}"
    line = f"Findings: {len(found)} in {files}"
    unanalysed = {f["path"] for f in found if f["message-id"] in UNANALYSED_CODES}
    notes = []
    if unanalysed:
        notes.append(f"{counted(len(unanalysed), 'Python file')} could not be analysed")
    if skipped:
        notes.append(f"{counted(skipped, 'template')} skipped")
    return line + (f" ({'; '.join(notes)})" if notes else "")


# ---------------------------------------------------------------------------------------
# Logging and interruption


class WarningCount(logging.Handler):
    """Counts the templates the checker skipped (it says so in a warning of its own)."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.templates_skipped = 0

    def emit(self, record):
        if record.name == TEMPLATE_LOGGER:
            self.templates_skipped += 1


def is_shown(record):
    # A Python file that could not be analysed is a finding of its own, and a file that could
    # not be fixed is listed by the command: their log lines would say it twice.
    if record.name == "vettor.staticanalysis.checker" and record.levelno >= logging.ERROR:
        return False
    return record.name != "vettor.staticanalysis.diff"


def start_logging():
    """Warnings of the package, one line each on standard error; returns the counter."""
    logger = logging.getLogger("vettor")
    shown = logging.StreamHandler()
    shown.setLevel(logging.WARNING)
    shown.setFormatter(logging.Formatter("%(levelname)s: %(message)s"))
    shown.addFilter(is_shown)
    count = WarningCount()
    logger.addHandler(shown)
    logger.addHandler(count)
    if logger.getEffectiveLevel() > logging.WARNING:
        logger.setLevel(logging.WARNING)
    return logger, (shown, count)


def stop_logging(logger, handlers):
    for handler in handlers:
        logger.removeHandler(handler)


_fork_hook = {"registered": False, "stopping": False}


def after_fork_in_worker():
    if _fork_hook["stopping"]:
        # pylint's pool replaces a worker that is gone; once the command stops, a new one
        # ends before it starts.
        os._exit(EXIT_INTERRUPTED)
    # A Ctrl-C on a terminal reaches every process of the group: the workers leave it to the
    # command, which ends them, instead of each printing a traceback.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def register_fork_hook():
    if not _fork_hook["registered"]:
        os.register_at_fork(after_in_child=after_fork_in_worker)
        _fork_hook["registered"] = True


def end_workers():
    # Twice over: a worker the pool started while the first ones were ended is ended too.
    for _ in range(2):
        children = multiprocessing.active_children()
        for child in children:
            child.kill()
        for child in children:
            child.join(1)


def stop_at_once(_signum, _frame):
    """Ctrl-C during a lint: end the workers and the command now.

    pylint closes its worker pool and waits for it to finish every file when the lint is
    interrupted, and may wait for ever when a worker is gone; nothing of the lint needs
    tidying up, so the workers are killed and the process exits here."""
    _fork_hook["stopping"] = True
    end_workers()
    for display in list(getattr(checker, "_displays", [])):
        try:
            display.stop()  # gives the terminal its cursor back
        except Exception:
            pass
    try:
        sys.stdout.flush()
    except Exception:
        pass
    print("Interrupted.", file=sys.stderr, flush=True)
    os._exit(EXIT_INTERRUPTED)


# ---------------------------------------------------------------------------------------
# The two roads


def lint(project, args, python, templates, counter):
    selection = {path: None for path in python + templates}
    selection["META"] = None
    given = {"jobs": args.jobs} if args.jobs is not None else {}
    if args.format == "text":
        print("\n".join(describe(project)), flush=True)
    findings = in_order(
        checker.get_messages(str(project), selection, config=given, jobs=args.jobs or 0)
    )
    skipped = counter.templates_skipped
    if args.format == "json":
        print(json.dumps(findings, indent=2, ensure_ascii=False, default=str))
    else:
        for finding in findings:
            print(explain_meta(finding) if is_meta(finding) else explain(finding))
        print(summary(findings, python, templates, skipped))
    found = any(not is_meta(f) for f in findings) or skipped
    return EXIT_FOUND if found else EXIT_CLEAN


def failure_lines(failures):
    return [f"Could not fix {path}: {error}" for path, error in failures]


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


def write_failure(error):
    """A file that could not be written, in one line."""
    path = getattr(error, "path", None) or error.filename or "a file"
    reason = error.strerror or str(error)
    return f"Could not write {path}: {reason}"


def fix(project, args, python):
    from vettor.staticanalysis import transformer

    if args.diff:
        fixed = transformer.transform_files(str(project), python, jobs=args.jobs)
        # The diff alone goes to standard output, as bytes: each file's lines in the file's own
        # encoding and line endings, so that patch and git apply take it as it is.
        sys.stdout.flush()
        sys.stdout.buffer.write(fixed.unified_diff_bytes())
        sys.stdout.buffer.flush()
        failures = list(getattr(fixed, "failures", []))
        for line in [f"would fix {path}" for _, path in fixed] + failure_lines(failures):
            print(line, file=sys.stderr)
        print(f"{counted(len(fixed), 'file')} would be fixed", file=sys.stderr)
        if getattr(fixed, "migrations", None):
            print(migration_line(fixed.migrations, written=False), file=sys.stderr)
        return EXIT_FOUND if len(fixed) or failures else EXIT_CLEAN
    unwritten = []
    try:
        written, failures = transformer.trasform_files_in_place(str(project), python, jobs=args.jobs), []
    except transformer.TransformError as error:
        written, failures = error.written, error.failures
    except OSError as error:
        if not hasattr(error, "written"):
            raise
        written, failures = error.written, []
        unwritten.append(write_failure(error))
    for path in written:
        print(f"Fixed {path}")
    for line in failure_lines(failures) + unwritten:
        print(line, file=sys.stderr)
    print(f"{counted(len(written), 'file')} fixed")
    if getattr(written, "migrations", None):
        print(migration_line(written.migrations, written=True), file=sys.stderr)
    return EXIT_FOUND if failures or unwritten else EXIT_CLEAN


def run(args, parser, counter):
    project = Path(args.project)
    if not project.is_dir():
        parser.error(f"{args.project}: not a folder")
    if args.format != "text" and (args.diff or args.fix):
        parser.error("--format applies to the lint, not to --diff or --fix")
    try:
        config = project_configuration(project)
    except meta.ConfigurationError as error:
        print(error, file=sys.stderr)
        return EXIT_USAGE
    python, templates = project_files(project, config)
    exit_zero = args.exit_zero or config.get("exit-zero") is True
    if args.diff or args.fix:
        try:
            status = fix(project, args, python)
        except meta.ConfigurationError as error:
            print(error, file=sys.stderr)
            return EXIT_USAGE
    else:
        register_fork_hook()
        previous = signal.signal(signal.SIGINT, stop_at_once)
        try:
            status = lint(project, args, python, templates, counter)
        finally:
            signal.signal(signal.SIGINT, previous)
    return EXIT_CLEAN if exit_zero and status == EXIT_FOUND else status


def main(argv=None):
    """The command line; returns the exit status."""
    parser = build_parser()
    args = parser.parse_args(argv)
    logger, handlers = start_logging()
    try:
        return run(args, parser, handlers[1])
    except KeyboardInterrupt:
        print("Interrupted.", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (vettor | head): stop quietly, as other command-line tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return EXIT_FOUND
    finally:
        stop_logging(logger, handlers)


if __name__ == "__main__":
    sys.exit(main())
