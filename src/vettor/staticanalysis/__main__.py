"""vettor [PATH ...] (or python -m vettor.staticanalysis): lint a Django project, or fix it."""
import argparse
import fnmatch
import json
import logging
import multiprocessing
import os
import re
import signal
import sys
from pathlib import Path, PurePosixPath
from typing import NamedTuple

import tomli

from vettor.staticanalysis import checker, constants, dependencies, message_templates, meta

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
TEMPLATE_LOGGER = "vettor.staticanalysis.checkers.templates"
# Files that mark a project's root folder, as does a pyproject.toml with a [tool.vettor] table.
ROOT_FILES = ("manage.py", "setup.cfg", "setup.py")
# What marks the top of a checkout: the project root is looked for no higher.
CHECKOUT_MARKERS = (".git", ".hg")
# pylint's own codes that reach the findings: a module that could not be analysed.
UNANALYSED_SYMBOLS = {"E0001": "syntax-error", "F0001": "fatal"}


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


class MessageSwitch(argparse.Action):
    """--disable and --enable, kept in the order given: a later one wins, as in pylint."""

    def __call__(self, parser, namespace, values, option_string=None):
        switches = list(namespace.switches)
        switches.append((self.dest, option_string, [name for name in names_in(values) if name]))
        namespace.switches = switches


def build_parser():
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description="Static analysis for Django projects: lints the project's Python files "
        "and the HTML templates in its templates folders. The project root is the nearest "
        "folder at or above each PATH (within its git or Mercurial checkout) whose "
        "pyproject.toml has a [tool.vettor] table, or else the nearest one with a manage.py, "
        "setup.cfg or setup.py.",
        epilog="Exit status: 0 when nothing is found, 1 when there are findings (files that "
        "could not be analysed included; with --diff: fixes to make), 2 for a mistake on the "
        "command line or in the [tool.vettor] table of pyproject.toml, 130 when interrupted.",
    )
    parser.set_defaults(switches=[])
    parser.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="files and folders to lint (default: .): the project's Python files and "
        "templates among them, as the lint of the whole project would take them (its "
        "exclude and directories apply)",
    )
    parser.add_argument(
        "-j",
        "--jobs",
        type=worker_count,
        metavar="N",
        help="worker processes (0: one per CPU, the default); wins over `jobs` in pyproject.toml",
    )
    parser.add_argument(
        "--format",
        choices=("text", "json", "github"),
        default="text",
        help="text: one line per finding (path:line:column, both counted from 1); json: one "
        "array of the finding records; github: one GitHub Actions annotation per finding "
        "(default: text)",
    )
    for switch, what in (("disable", "leave out"), ("enable", "report")):
        parser.add_argument(
            f"--{switch}",
            action=MessageSwitch,
            metavar="CODES",
            help=f"{what} the findings of these comma-separated codes or symbols (\"all\" "
            f"and the category letter C too); wins over {switch} in [tool.vettor]",
        )
    parser.add_argument(
        "--list-rules",
        action="store_true",
        help="list every rule: its code, its symbol, whether a fix exists, and what it reports",
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
        help="print the fixes of the Python files (of the PATHs) as a unified diff, its paths "
        "relative to the project root, instead of linting; change nothing",
    )
    fixing.add_argument(
        "--fix",
        action="store_true",
        help="write the fixes into the Python files (of the PATHs) instead of linting",
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
    # The folders of "directories" are checked with the keys (they must lie in the project).
    if key == "exclude" and isinstance(value, str):
        return
    if not is_text_list(value):
        raise configuration_error(pyproject, key, f"{value!r} is not a list of texts")


def project_configuration(project):
    """The [tool.vettor] table, checked; raises meta.ConfigurationError at the first mistake."""
    table = meta.get_toml_config(project)
    # Only vettor's own options: the project may be anybody's.
    checker.check_project_config(table, project)
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


def reported_codes():
    """{code: symbol} of every code a finding can carry: the rules' and pylint's own for a
    module that could not be analysed."""
    return {**checker.message_id_symbol_store, **UNANALYSED_SYMBOLS}


def codes_named(linter, name, codes):
    """The codes among `codes` that a name of disable or enable stands for, as pylint reads
    it: "all", a category letter, a checker's name, a code or a symbol."""
    if name == "all":
        return list(codes)
    if len(name) == 1 and name.upper() in "CRWEIF":
        return [code for code in codes if code[0] == name.upper()]
    if name in linter._checkers:
        return [code for c in linter._checkers[name] for code in c.msgs if code in codes]
    return [code for code, symbol in codes.items() if name in (code, symbol)]


def switched_config(linter, table, switches):
    """disable and enable for the lint when the command line sets them: the codes left out
    and those reported once the [tool.vettor] entries and then the command line's, in their
    order, have been applied, so that a later entry wins as it does in pylint."""
    codes = reported_codes()
    on = dict.fromkeys(codes, True)
    entries = [(key, names_in(value)) for key, value in table.items() if key in ("disable", "enable")]
    entries += [(key, names) for key, _, names in switches]
    for key, names in entries:
        for name in names:
            for code in codes_named(linter, name, codes):
                on[code] = key == "enable"
    return {
        "disable": [code for code, state in on.items() if not state],
        "enable": [code for code, state in on.items() if state],
    }


def check_switches(linter, switches):
    """Raises a ConfigurationError for a name on the command line that is no code or symbol."""
    for _, option, names in switches:
        for name in names:
            if not is_known_message(linter, name):
                raise meta.ConfigurationError(
                    f"{option}: {name!r} is not a message code or symbol of vettor"
                )


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
# The project of the paths named


class NoSuchPath(Exception):
    pass


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
    setup.py; else `start` itself. The configuration wins over a
    nearer manage.py, so that a Django project in a subfolder of a configured repository
    (backend/manage.py) is linted with the repository's configuration."""
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


def is_named(relative, named):
    return any(n == "." or relative == n or relative.startswith(n + "/") for n in named)


def selected_files(project, config, named):
    """The project's Python files and templates that lie in the named files and folders, and
    the number of named files that are none of them. A named path narrows what the lint of
    the whole project takes; it never widens it: exclude, directories and the templates
    folders apply to it as to any file, so pre-commit and an editor, which name files, get
    the findings of the project's own lint."""
    python, templates = project_files(project, config)
    python = [p for p in python if is_named(p, named)]
    templates = [t for t in templates if is_named(t, named)]
    taken = set(python) | set(templates)
    passed_over = sum(
        1 for n in named if n not in taken and not (project / n).is_dir() and n != "."
    )
    return python, templates, passed_over


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
# Output


def describe(project):
    """The lines the command prints about the project itself."""
    lines = [f"Project: {project}"]
    # A project whose dependency files name Django is a Django project: they are read once.
    details = dependencies.resolve_django_version(project)
    is_django = bool(details) or dependencies.is_django_repository(project)
    lines.append(f"Django project: {'yes' if is_django else 'no'}")
    configured = meta.get_toml_config(project).get("django-version")
    if configured is not None:
        lines.append(f"Django version: {configured} (set in pyproject.toml)")
    elif details:
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


def symbol_of(finding):
    return checker.message_id_symbol_store.get(
        finding["message-id"], finding.get("symbol") or ""
    )


def message_text(finding):
    """What a finding means, its rule's text filled from its argument record."""
    template = getattr(message_templates, finding["message-id"], None)
    record = finding["message"]
    if template is not None and isinstance(record, dict):
        try:
            return template.format(**record)
        except (KeyError, IndexError, ValueError):
            return f"{template} {record}"
    return str(record)


def explain(finding):
    """A finding as one line of text: where (line and column counted from 1), which rule, and
    what it means."""
    code = finding["message-id"]
    where = f"{finding['path']}:{finding['line']}:{(finding['column'] or 0) + 1}"
    return f"{where}: {code} {symbol_of(finding)}: {message_text(finding)}"


def annotation_escape(text, is_property=False):
    # GitHub's workflow command syntax: a line break or "%" in the message, and also ":"
    # and "," in a property, would end or split the command.
    text = str(text).replace("%", "%25").replace("\r", "%0D").replace("\n", "%0A")
    return text.replace(":", "%3A").replace(",", "%2C") if is_property else text


def annotate(finding):
    """A finding as a GitHub Actions annotation, line and column counted from 1."""
    properties = {
        "file": finding["path"],
        "line": finding["line"] or 1,
        "col": (finding["column"] or 0) + 1,
        "title": f"{finding['message-id']} {symbol_of(finding)}",
    }
    listed = ",".join(f"{key}={annotation_escape(value, True)}" for key, value in properties.items())
    return f"::warning {listed}::{annotation_escape(message_text(finding))}"


def fix_kind(code):
    """yes: --fix, --diff and the review suggestions fix it; review: only a review suggestion
    does; no: nothing does."""
    from vettor.staticanalysis import transformer

    if code in transformer.FIXED_CODES:
        return "yes"
    return "review" if code in constants.TRANSFORMABLE_RULES else "no"


def rule_rows():
    """(code, symbol, rule module, fix, what it reports) of every rule, by code: read from
    the rule checkers' msgs tables, the fixes, and the findings' own texts."""
    rows = []
    for cls in checker.python_checker_classes + checker.html_checker_classes:
        module = cls.__module__.replace("vettor.staticanalysis.", "", 1)
        for code, (_, symbol, _) in cls.msgs.items():
            text = getattr(message_templates, code, "").replace("{{", "{").replace("}}", "}")
            rows.append((code, symbol, module, fix_kind(code), text))
    return sorted(rows)


RULE_COLUMNS = ("code", "symbol", "module", "fix", "what it reports")


def rules_markdown():
    """The rules as the Markdown table of the README."""

    def cell(text):
        for special in ("\\", "|", "*", "<"):
            text = text.replace(special, "\\" + special)
        # An underscore inside a word (max_length) is plain text in Markdown; one at a
        # word's edge (__str__) could start emphasis.
        return re.sub(r"(?<![A-Za-z0-9])_|_(?![A-Za-z0-9])", r"\\_", text)

    lines = ["| " + " | ".join(RULE_COLUMNS) + " |", "|" + "---|" * len(RULE_COLUMNS)]
    for code, symbol, module, fix, text in rule_rows():
        lines.append(f"| {code} | `{symbol}` | `{module}` | {fix} | {cell(text)} |")
    return "\n".join(lines) + "\n"


def rules_text():
    """The rules as vettor --list-rules prints them: one line each."""
    rows = [RULE_COLUMNS[:2] + RULE_COLUMNS[3:]] + [
        (code, symbol, fix, text) for code, symbol, _, fix, text in rule_rows()
    ]
    width = max(len(symbol) for _, symbol, _, _ in rows)
    return "".join(
        f"{code:<6} {symbol:<{width}} {fix:<6} {text}\n" for code, symbol, fix, text in rows
    )


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


def summary(findings, python, templates, skipped, passed_over=0):
    found = [f for f in findings if not is_meta(f)]
    files = f"{counted(len(python), 'Python file')} and {counted(len(templates), 'template')}"
    line = f"Findings: {len(found)} in {files}"
    unanalysed = {f["path"] for f in found if f["message-id"] in UNANALYSED_CODES}
    notes = []
    if unanalysed:
        notes.append(f"{counted(len(unanalysed), 'Python file')} could not be analysed")
    if skipped:
        notes.append(f"{counted(skipped, 'template')} skipped")
    if passed_over:
        notes.append(
            f"{counted(passed_over, 'named file')} passed over: excluded, or not a Python file "
            "or template of the project"
        )
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
    # A node a rule could not judge is a fatal finding on its line.
    if record.name.startswith("vettor.staticanalysis.checkers.") and " skipped line " in str(
        record.msg
    ):
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


class Selection(NamedTuple):
    """What is linted of one project: its root (as shown, openable from the working
    directory), its checked [tool.vettor] table, and its files relative to the root."""

    root: Path
    config: dict
    python: list
    templates: list
    passed_over: int


def lint_config(selection, args):
    """The configuration the command line hands the lint: --jobs, and disable and enable
    when --disable or --enable is given."""
    given = {"jobs": args.jobs} if args.jobs is not None else {}
    if args.switches:
        linter = checker.create_linter(linter_class=checker.Linter, jobs=1)
        given.update(switched_config(linter, selection.config, args.switches))
    return given


def lint(selections, args, counter):
    found = []
    for selection in selections:
        project = selection.root
        files = {path: None for path in selection.python + selection.templates}
        files["META"] = None
        if args.format == "text":
            print("\n".join(describe(project)), flush=True)
        findings = in_order(
            checker.get_messages(
                str(project), files, config=lint_config(selection, args), jobs=args.jobs or 0
            )
        )
        for finding in findings:
            finding["path"] = shown(project, finding["path"])
        found += findings
        if args.format == "text":
            for finding in findings:
                print(explain_meta(finding) if is_meta(finding) else explain(finding))
        elif args.format == "github":
            for finding in findings:
                if not is_meta(finding):
                    print(annotate(finding))
    skipped = counter.templates_skipped
    if args.format == "json":
        print(json.dumps(found, indent=2, ensure_ascii=False, default=str))
    elif args.format == "text":
        print(
            summary(
                found,
                [p for s in selections for p in s.python],
                [t for s in selections for t in s.templates],
                skipped,
                sum(s.passed_over for s in selections),
            )
        )
    return EXIT_FOUND if any(not is_meta(f) for f in found) or skipped else EXIT_CLEAN


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


def write_failure(project, error):
    """A file that could not be written, in one line."""
    path = getattr(error, "path", None)
    path = shown(project, path) if path else error.filename or "a file"
    reason = error.strerror or str(error)
    return f"Could not write {path}: {reason}"


def fix(project, args, python, config):
    """--diff or --fix of the project's Python files `python`; `config` is what the command
    line hands the lint, whose findings the fixes follow."""
    from vettor.staticanalysis import transformer

    if args.diff:
        fixed = transformer.transform_files(str(project), python, jobs=args.jobs, config=config)
        # The diff alone goes to standard output, as bytes: each file's lines in the file's own
        # encoding and line endings, so that patch and git apply take it as it is.
        sys.stdout.flush()
        sys.stdout.buffer.write(fixed.unified_diff_bytes())
        sys.stdout.buffer.flush()
        failures = list(getattr(fixed, "failures", []))
        would = [f"would fix {shown(project, path)}" for _, path in fixed]
        for line in would + failure_lines(project, failures):
            print(line, file=sys.stderr)
        print(f"{counted(len(fixed), 'file')} would be fixed", file=sys.stderr)
        if getattr(fixed, "migrations", None):
            print(migration_line(fixed.migrations, written=False), file=sys.stderr)
        return EXIT_FOUND if len(fixed) or failures else EXIT_CLEAN
    unwritten = []
    try:
        written, failures = transformer.trasform_files_in_place(
            str(project), python, jobs=args.jobs, config=config
        ), []
    except transformer.TransformError as error:
        written, failures = error.written, error.failures
    except OSError as error:
        if not hasattr(error, "written"):
            raise
        written, failures = error.written, []
        unwritten.append(write_failure(project, error))
    for path in written:
        print(f"Fixed {shown(project, path)}")
    for line in failure_lines(project, failures) + unwritten:
        print(line, file=sys.stderr)
    print(f"{counted(len(written), 'file')} fixed")
    if getattr(written, "migrations", None):
        print(migration_line(written.migrations, written=True), file=sys.stderr)
    return EXIT_FOUND if failures or unwritten else EXIT_CLEAN


def select(args):
    """The Selection of every project the paths name, in the order named; raises
    meta.ConfigurationError for a mistake in a project's configuration."""
    selections = []
    for root, named in named_projects(args.paths or ["."]).items():
        project = Path(shown(root, "."))
        config = project_configuration(project)
        selections.append(Selection(project, config, *selected_files(project, config, named)))
    return selections


def run(args, parser, counter):
    if args.list_rules:
        sys.stdout.write(rules_text())
        return EXIT_CLEAN
    if args.format != "text" and (args.diff or args.fix):
        parser.error("--format applies to the lint, not to --diff or --fix")
    try:
        selections = select(args)
        check_switches(checker.create_linter(linter_class=checker.Linter, jobs=1), args.switches)
    except NoSuchPath as error:
        parser.error(str(error))
    except meta.ConfigurationError as error:
        print(error, file=sys.stderr)
        return EXIT_USAGE
    exit_zero = args.exit_zero
    if args.diff or args.fix:
        try:
            status = max(fix(s.root, args, s.python, lint_config(s, args)) for s in selections)
        except meta.ConfigurationError as error:
            print(error, file=sys.stderr)
            return EXIT_USAGE
    else:
        register_fork_hook()
        previous = signal.signal(signal.SIGINT, stop_at_once)
        try:
            status = lint(selections, args, counter)
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
