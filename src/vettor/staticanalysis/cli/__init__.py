"""The command line: `vettor [PATH ...]`, or `python -m vettor.staticanalysis`, lints the Django
projects the paths name, or fixes them.

    config.py     the arguments, and the configuration the command line hands the lint
    discovery.py  the projects the paths name, and which of their files are linted
    commands.py   the lint, --diff and --fix, and --list-rules
    pragmas.py    --add-pragmas
    stdin.py      - (the text read from standard input, as a file of its project)
    formats.py    the lint's output formats, one function each
    rules.py      the rules table (--list-rules, and the README's)
    process.py    the package's warnings on standard error, and Ctrl-C
    status.py     the exit statuses
    version.py    the command's name and version (--version alone imports nothing else)
"""
import os
import sys

from . import version
from .escaping import visible


def run(args, parser, counter):
    from vettor.staticanalysis import meta

    from . import commands, config, discovery, pragmas, status, stdin

    if args.list_rules:
        return commands.list_rules()
    if args.format != "text" and (args.diff or args.fix or args.add_pragmas):
        parser.error("--format applies to the lint, not to --diff, --fix or --add-pragmas")
    stdin.check_arguments(args, parser)
    try:
        if args.paths == [stdin.STDIN]:
            project = stdin.project(args)
            config.check_switches(args.switches)
            config.check_per_file_ignores(args)
            return exit_status(args, commands.lint([project.selection], args, counter, [project]))
        selections = discovery.select(args.paths, args.respect_gitignore)
        config.check_switches(args.switches)
        config.check_per_file_ignores(args)
        if args.diff or args.fix or args.add_pragmas:
            road = commands.diff if args.diff else commands.fix if args.fix else pragmas.add
            found = max(road(selection, args) for selection in selections)
        else:
            found = commands.lint(selections, args, counter)
    except discovery.NoSuchPath as error:
        parser.error(visible(error))
    except meta.ConfigurationError as error:
        print(visible(error), file=sys.stderr)
        return status.USAGE
    except stdin.UnreadableInput as error:
        print(visible(error), file=sys.stderr)
        return status.FOUND
    return exit_status(args, found)


def exit_status(args, found):
    from . import status

    return status.CLEAN if args.exit_zero and found == status.FOUND else found


def main(argv=None):
    """The command line; returns the exit status."""
    if version.asked_alone(sys.argv[1:] if argv is None else argv):
        return version.show()
    # The analyser is loaded from here on, not when the package is.
    from . import config, process, status

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
