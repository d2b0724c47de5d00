"""The command's name and version, and `--version` answered before the analyser is imported:
loading its modules (astroid, pylint, Django, the rules) costs most of a second, and an editor
or a pre-commit hook that asks for the version alone waits for none of it."""
import sys
from pathlib import Path


def program_name():
    return "vettor" if Path(sys.argv[0]).name == "vettor" else "python -m vettor.staticanalysis"


def package_version():
    from importlib import metadata

    try:
        return metadata.version("vettor")
    except metadata.PackageNotFoundError:
        return "unknown"


def asked_alone(argv):
    """Whether the arguments are `--version` and nothing else; with other arguments the parser
    answers it as it answers every option."""
    return list(argv) == ["--version"]


def show():
    """Prints what `--version` prints; returns the exit status."""
    print(f"{program_name()} {package_version()}")
    return 0
