"""What the command line asks for: its arguments, and the configuration it hands the lint.

The values of a project's [tool.vettor] table are checked where the host API checks them
(checker.read_project_config); here are the command line's own: the number of workers, and the
names --disable and --enable take, read as the configuration's are (checker.is_message_name,
checker.disabled_codes).
"""
import argparse
import re
import sys

from vettor.staticanalysis import checker, meta

from . import formats
from .discovery import names_in
from .version import package_version, program_name


def worker_count(text):
    try:
        jobs = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number") from None
    if jobs < 0:
        raise argparse.ArgumentTypeError(f"{jobs} is below 0 (0 starts one worker per CPU)")
    if jobs > sys.maxsize:  # what the lint's native code takes, as for `jobs` in the table
        raise argparse.ArgumentTypeError(f"{jobs} is too large (at most {sys.maxsize})")
    return jobs


class MessageSwitch(argparse.Action):
    """--disable and --enable, kept in the order given: a later one wins, as in pylint."""

    def __call__(self, parser, namespace, values, option_string=None):
        switches = list(namespace.switches)
        switches.append((self.dest, option_string, [name for name in names_in(values) if name]))
        namespace.switches = switches


def per_file_ignores(text):
    """--per-file-ignores as flake8 spells it: "tests/*:C9000,C9002 */migrations/*:C2005",
    each pattern followed by a colon and its names (spaces and commas between them, lines too),
    read as the {pattern: [names]} table [tool.vettor] per-file-ignores holds."""
    table, names = {}, None
    tokens = re.findall(r"[^\s:,]+|:", text)
    for token, following in zip(tokens, tokens[1:] + [None]):
        if token == ":":
            continue
        if following == ":":
            names = table.setdefault(token, [])
        elif names is None:
            raise argparse.ArgumentTypeError(f"{token!r} follows no pattern (PATTERN:CODES)")
        else:
            names.append(token)
    for pattern, listed in table.items():
        if not listed:
            raise argparse.ArgumentTypeError(f"{pattern!r} names no codes (PATTERN:CODES)")
    return table


def add_selection_options(parser):
    """The options that choose which findings of which files are reported, beside
    --disable and --enable."""
    parser.add_argument(
        "--per-file-ignores",
        type=per_file_ignores,
        metavar="PATTERN:CODES",
        help="leave out the findings of these codes in the files a pattern matches, as "
        "\"tests/*:C9000,C9002 */migrations/*:C2005\" (patterns as exclude takes them; "
        "codes as --disable takes them); replaces per-file-ignores in [tool.vettor]",
    )
    parser.add_argument(
        "--no-respect-gitignore",
        dest="respect_gitignore",
        action="store_const",
        const=False,
        default=None,
        help="lint the files git ignores too (by default they are left out when the project "
        "root is the top of a git work tree); wins over respect-gitignore in [tool.vettor]",
    )


def build_parser():
    parser = argparse.ArgumentParser(
        prog=program_name(),
        description="Static analysis for Django projects: lints the project's Python files "
        "and the HTML templates in its templates folders. The project root is the nearest "
        "folder at or above each PATH (within its git or Mercurial checkout) whose "
        "pyproject.toml has a [tool.vettor] table, or else the nearest one with a manage.py, "
        "setup.cfg or setup.py.",
        epilog="Exit status: 0 when nothing is found, 1 when there are findings (files that "
        "could not be analysed included; with --diff: fixes to make; with --add-pragmas: "
        "findings not silenced), 2 for a mistake on the "
        "command line or in the [tool.vettor] table of pyproject.toml, 130 when interrupted, 143 "
        "for SIGTERM.",
    )
    parser.set_defaults(switches=[])
    parser.add_argument(
        "paths",
        nargs="*",
        metavar="PATH",
        help="files and folders to lint (default: .): the project's Python files and "
        "templates among them, as the lint of the whole project would take them (its "
        "exclude and directories apply); - lints the text read from standard input",
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
        choices=tuple(formats.FORMATS),
        default="text",
        help="; ".join(f"{name}: {formats.what_it_prints(name)}" for name in formats.FORMATS)
        + " (default: text)",
    )
    for switch, what in (("disable", "leave out"), ("enable", "report")):
        parser.add_argument(
            f"--{switch}",
            action=MessageSwitch,
            metavar="CODES",
            help=f"{what} the findings of these comma-separated codes or symbols (\"all\", "
            f"the category letter C and the start of codes, as C4, too); wins over {switch} "
            "in [tool.vettor]",
        )
    add_selection_options(parser)
    parser.add_argument(
        "--list-rules",
        action="store_true",
        help="list every rule: its code, its symbol, whether a fix exists and whether it is "
        "safe, and what it reports",
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
    fixing.add_argument(
        "--add-pragmas",
        action="store_true",
        help="write a disable pragma for every finding the lint reports, each silencing "
        "that finding alone, instead of linting: a codebase adopts vettor with what it has, "
        "and new code is held to the rules",
    )
    parser.add_argument(
        "--stdin-filename",
        metavar="PATH",
        help="with -: the file of its project that the text read from standard input "
        "stands for (the project is found from it; the file itself is not read); "
        "default: stdin.py in the working directory",
    )
    parser.add_argument(
        "--unsafe-fixes",
        action="store_true",
        help="with --diff or --fix, make the unsafe fixes too, those that may change what the "
        "program stores, accepts or serves (--list-rules shows each fix's safety); without it "
        "only the safe ones are made, and standard error counts those left out. `unsafe-fixes "
        "= true` in [tool.vettor] asks for them too",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {package_version()}")
    return parser


def check_switches(switches):
    """Raises meta.ConfigurationError for a name of --disable or --enable that stands for no
    message."""
    for _, option, names in switches:
        for name in names:
            if not checker.is_message_name(name):
                raise meta.ConfigurationError(
                    f"{option}: {name!r} is not a message code or symbol of vettor"
                )


def check_per_file_ignores(args):
    """Raises meta.ConfigurationError for a name of --per-file-ignores that stands for no
    message."""
    if args.per_file_ignores is not None:
        checker.check_per_file_ignores(args.per_file_ignores, "--per-file-ignores")


def switched_config(table, switches):
    """disable and enable for the lint when the command line sets them: the codes left out
    and those reported once the [tool.vettor] entries and then the command line's, in their
    order, have been applied, so that a later entry wins as it does in pylint."""
    entries = [(key, value) for key, value in table.items() if key in ("disable", "enable")]
    entries += [(key, names) for key, _, names in switches]
    codes = checker.codes_named("all")
    off = set(checker.disabled_codes(entries, codes))
    return {
        "disable": [code for code in codes if code in off],
        "enable": [code for code in codes if code not in off],
    }


def lint_config(selection, args):
    """The configuration the command line hands the lint of a project: --jobs, disable
    and enable when --disable or --enable is given, and --per-file-ignores."""
    given = {"jobs": args.jobs} if args.jobs is not None else {}
    if args.switches:
        given.update(switched_config(selection.config, args.switches))
    if args.per_file_ignores is not None:
        given["per-file-ignores"] = args.per_file_ignores
    return given


def unsafe_fixes(selection, args):
    """Whether --diff and --fix make the unsafe fixes of the project too: --unsafe-fixes, or
    `unsafe-fixes = true` in its [tool.vettor] table."""
    return bool(args.unsafe_fixes or selection.config.get("unsafe-fixes", False))
