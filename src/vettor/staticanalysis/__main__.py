"""vettor [PATH ...] (or python -m vettor.staticanalysis): lint a Django project, or fix it.

The command is run from the project it lints, which may be anybody's: before anything else is
imported, the working directory leaves the import path (`python -m` puts it first), so that a
project's own argparse.py, json.py or django/ is never imported in place of the library.
"""
import os
import sys


def without_working_directory(path):
    here = os.getcwd()
    return [entry for entry in path if entry not in ("", ".") and os.path.abspath(entry) != here]


def main(argv=None):
    sys.path[:] = without_working_directory(sys.path)
    from vettor.staticanalysis import cli

    return cli.main(argv)


if __name__ == "__main__":
    sys.exit(main())
