"""python -m vettor.staticanalysis [PROJECT]: lint a Django project and print its findings."""
import argparse
import os
import sys
from pathlib import Path

from vettor.staticanalysis import checker, dependencies, message_templates

# Folders that hold other people's code or tool state, never the project's own sources.
SKIPPED_FOLDERS = {"node_modules", "site-packages", "dist-packages", "__pycache__"}


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


def is_skipped_folder(path):
    return (
        path.name.startswith(".")
        or path.name in SKIPPED_FOLDERS
        or (path / "pyvenv.cfg").exists()
        or (path / "conda-meta").exists()
    )


def project_files(project):
    """The selection of every Python file and template of the project, all lines."""
    selection = {}
    for folder, subfolders, filenames in os.walk(project):
        subfolders[:] = sorted(d for d in subfolders if not is_skipped_folder(Path(folder, d)))
        for filename in sorted(filenames):
            if filename.endswith((".py", ".html")):
                selection[str(Path(folder, filename).relative_to(project))] = None
    return selection


def explain(finding):
    """A finding as one line of text: where, which rule, and what it means."""
    code = finding["message-id"]
    where = f"{finding['path']}:{finding['line']}:{finding['column']}"
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


def explain_meta(meta):
    body = meta["body"]
    versions = body["matching_versions"]
    span = f"{versions[0]} to {versions[-1]}" if versions else "no released version"
    return (
        f"{meta['path']}: {meta['message-id']} Django {body['minor']} "
        f"(requirement '{body['specs'] or 'any'}' admits {span})"
    )


def main(argv=None):
    parser = argparse.ArgumentParser(
        prog="python -m vettor.staticanalysis",
        description="Static analysis for Django projects.",
    )
    parser.add_argument("project", nargs="?", default=".", help="project folder (default: .)")
    parser.add_argument(
        "--jobs", type=int, default=0, help="worker processes (default 0: one per CPU)"
    )
    args = parser.parse_args(argv)
    project = Path(args.project)
    if not project.is_dir():
        parser.error(f"{args.project}: not a folder")
    print("\n".join(describe(project)))

    selection = project_files(project)
    selection["META"] = None
    findings = checker.get_messages(str(project), selection, jobs=args.jobs)
    lines = [
        explain_meta(f) if f.get("message_type") == "meta" else explain(f) for f in findings
    ]
    count = sum(1 for f in findings if f.get("message_type") != "meta")
    print(f"Findings: {count} in {len(selection) - 1} files")
    for line in lines:
        print(line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
