"""python -m vettor.staticanalysis [PROJECT]: what the analyser learns about a project."""
import argparse
import sys
from pathlib import Path

from vettor.staticanalysis import dependencies


def describe(project):
    """The lines the command prints for one project folder."""
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


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m vettor.staticanalysis",
        description="Static analysis for Django projects.",
    )
    parser.add_argument("project", nargs="?", default=".", help="project folder (default: .)")
    args = parser.parse_args(argv)
    project = Path(args.project)
    if not project.is_dir():
        parser.error(f"{args.project}: not a folder")
    print("\n".join(describe(project)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
