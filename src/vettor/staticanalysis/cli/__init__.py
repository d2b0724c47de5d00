"""The command line: `vettor [PATH ...]`, or `python -m vettor.staticanalysis`, lints the Django
projects the paths name, or fixes them.

    config.py     the arguments, and the configuration the command line hands the lint
    discovery.py  the projects the paths name, and which of their files are linted
    commands.py   the lint, --diff and --fix, and --list-rules
    formats.py    the lint's output formats, one function each
    rules.py      the rules table (--list-rules, and the README's)
    process.py    the package's warnings on standard error, and Ctrl-C
    status.py     the exit statuses
"""
import os
import sys

from vettor.staticanalysis import meta

from . import commands, config, discovery, process, status
from .escaping import visible


def run(args, parser, counter):
    if args.list_rules:
        return commands.list_rules()
    if args.format != "text" and (args.diff or args.fix):
        parser.error("--format applies to the lint, not to --diff or --fix")
    try:
        selections = discovery.select(args.paths)
        config.check_switches(args.switches)
        if args.diff or args.fix:
            road = commands.diff if args.diff else commands.fix
            found = max(road(selection, args) for selection in selections)
        else:
            found = commands.lint(selections, args, counter)
    except discovery.NoSuchPath as error:
        parser.error(visible(error))
    except meta.ConfigurationError as error:
        print(visible(error), file=sys.stderr)
        return status.USAGE
    return status.CLEAN if args.exit_zero and found == status.FOUND else found


def main(argv=None):
    """The command line; returns the exit status."""
    parser = config.build_parser()
    args = parser.parse_args(argv)
    try:
        with process.warnings_shown() as counter:
            return run(args, parser, counter)
    except KeyboardInterrupt:
        print("Interrupted.", file=sys.stderr)
        return status.INTERRUPTED
    except BrokenPipeError:
        # The reader went away (vettor | head): stop quietly, as other command-line tools do.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return status.FOUND
