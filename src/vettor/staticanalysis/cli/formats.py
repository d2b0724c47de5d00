"""The output formats of the lint: one function per format, chosen by name from FORMATS.

A format is handed the lint as it runs (commands.LintRun): its `projects`, each with its
`selection` and its `findings` (linted when first read, so a format that prints something
about a project first prints it before that project's lint), and, once every project has been
read, `skipped_templates`. A format prints on standard output; what the command exits with
does not depend on it. The first line of a format's docstring says what it prints (the
command's help shows it). What a format prints of the project (paths, the strings a finding
quotes) goes through escaping, so no line of it can be forged.
"""
import sys

from vettor.staticanalysis import checker, dependencies, message_templates

from .escaping import json_bytes, visible, workflow_text
from .rules import fix_safety

# pylint's own codes that reach the findings: a module that could not be analysed.
UNANALYSED_CODES = ("E0001", "F0001")


def text(run):
    """one line per finding (path:line:column, both counted from 1)

    Each project's description comes first, then its findings, the Django-version finding
    last; a summary line ends the output."""
    found = []
    for project in run.projects:
        for line in describe(project.selection):
            print(visible(line), flush=True)
        for finding in project.findings:
            print(visible(explain_meta(finding) if is_meta(finding) else explain(finding)))
        found += project.findings
    print(visible(summary(found, run)))


def json_array(run):
    """one array of the finding records, each with its "text" and its "fix"

    A record is the host API's with two keys more: "text", the message as the text format
    renders it, and "fix": "safe" or "unsafe" for a finding whose rule offers a fix (as
    --list-rules shows it), null for one whose rule offers none."""
    found = [
        {
            **finding,
            "text": meta_text(finding) if is_meta(finding) else message_text(finding),
            "fix": fix_of(finding),
        }
        for project in run.projects
        for finding in project.findings
    ]
    sys.stdout.flush()
    sys.stdout.buffer.write(json_bytes(found) + b"\n")
    sys.stdout.buffer.flush()


def github(run):
    """one GitHub Actions annotation per finding"""
    for project in run.projects:
        for finding in project.findings:
            if not is_meta(finding):
                print(annotate(finding))


def sarif(run):
    """one SARIF 2.1.0 log (GitHub code scanning reads it)"""
    from . import sarif as sarif_log

    sys.stdout.flush()
    sys.stdout.buffer.write(json_bytes(sarif_log.log_of(run)) + b"\n")
    sys.stdout.buffer.flush()


FORMATS = {"text": text, "json": json_array, "github": github, "sarif": sarif}


def what_it_prints(name):
    return FORMATS[name].__doc__.splitlines()[0]


# ---------------------------------------------------------------------------------------
# Findings in words


def is_meta(finding):
    return finding.get("message_type") == "meta"


def symbol_of(finding):
    return checker.message_id_symbol_store.get(
        finding["message-id"], finding.get("symbol") or ""
    )


def fix_of(finding):
    """The safety of the fix a finding's rule offers, or None for a rule that offers none."""
    return fix_safety(finding["message-id"]) or None


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


def meta_text(meta_finding):
    """What the Django-version finding says: the version, and the releases its requirement
    admits."""
    body = meta_finding["body"]
    versions = body["matching_versions"]
    span = f"{versions[0]} to {versions[-1]}" if versions else "no released version"
    return f"Django {body['minor']} (requirement '{body['specs'] or 'any'}' admits {span})"


def explain_meta(meta_finding):
    return f"{meta_finding['path']}: {meta_finding['message-id']} {meta_text(meta_finding)}"


def annotate(finding):
    """A finding as a GitHub Actions annotation, line and column counted from 1."""
    properties = {
        "file": finding["path"],
        "line": finding["line"] or 1,
        "col": (finding["column"] or 0) + 1,
        "title": f"{finding['message-id']} {symbol_of(finding)}",
    }
    listed = ",".join(f"{key}={workflow_text(value, True)}" for key, value in properties.items())
    return f"::warning {listed}::{workflow_text(message_text(finding))}"


# ---------------------------------------------------------------------------------------
# The project and the summary


def describe(selection):
    """The lines the text format prints about a project itself."""
    project = selection.root
    lines = [f"Project: {project}"]
    # A project whose dependency files name Django is a Django project: they are read once.
    details = dependencies.resolve_django_version(project)
    is_django = bool(details) or dependencies.is_django_repository(project)
    lines.append(f"Django project: {'yes' if is_django else 'no'}")
    configured = selection.config.get("django-version")
    if configured is not None:
        lines.append(f"Django version: {configured} (set in pyproject.toml)")
    elif details:
        requirement = f"Django{details['specs']}" if details["specs"] else "Django (any version)"
        lines.append(f"Django version: {details['version']} ({requirement} in {details['path']})")
    else:
        lines.append("Django version: unknown (no Django requirement in the dependency files)")
    return lines


def counted(number, noun):
    return f"{number} {noun}{'' if number == 1 else 's'}"


def summary(findings, run):
    """The last line of the text format: how many findings in how many files, and what was
    not analysed, skipped or passed over."""
    python = [p for s in run.selections for p in s.python]
    templates = [t for s in run.selections for t in s.templates]
    found = [f for f in findings if not is_meta(f)]
    files = f"{counted(len(python), 'Python file')} and {counted(len(templates), 'template')}"
    line = f"Findings: {len(found)} in {files}"
    unanalysed = {f["path"] for f in found if f["message-id"] in UNANALYSED_CODES}
    notes = []
    if unanalysed:
        notes.append(f"{counted(len(unanalysed), 'Python file')} could not be analysed")
    skipped = run.skipped_templates
    if skipped:
        notes.append(f"{counted(skipped, 'template')} skipped")
    passed_over = sum(s.passed_over for s in run.selections)
    if passed_over:
        notes.append(
            f"{counted(passed_over, 'named file')} passed over: excluded, or not a Python file "
            "or template of the project"
        )
    return line + (f" ({'; '.join(notes)})" if notes else "")
