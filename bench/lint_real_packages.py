"""Lint the Django apps of real packages that nobody here wrote, to find crashes, hangs and
files the analysis cannot handle.

    .venv/bin/python bench/lint_real_packages.py [--only NAME,...] [--jobs N] [--timeout S]
                                                 [--max-files N] [--json OUT.json]
                                                 [--save-findings F] [--check-findings F]
                                                 [--config JSON]

The sources: Django's own django/contrib apps (from the Django installed in this venv) and a
few applications released for Django 3.2, downloaded with pip into bench/cache/ (not kept in
git) and unpacked there; for some their HTML templates are linted too. Each package is linted through checker.get_messages in a
child process with a time limit. Reported per package: files, findings per code, the files
logged as fatal or unparsable, and the error if the lint raised or ran out of time. The exit
status is non-zero when anything crashed, hung or was logged as fatal.

--save-findings writes every finding (package, path, line, column, code and argument record,
sorted) to a file; --check-findings compares a run against such a file and prints each
finding that appeared or disappeared (a finding that stayed at its place with another
argument record is printed once, as changed), so a change to a rule shows exactly what it
altered. --config hands the lint a host configuration (a JSON object, such as
'{"per-file-ignores": {"tests": ["C9"]}}'), to see what a setting leaves out.
"""
import argparse
import collections
import json
import os
import shutil
import subprocess
import sys
import textwrap
import time
import zipfile
from pathlib import Path

HERE = Path(__file__).resolve().parent
CACHE = HERE / "cache"

PY = (".py",)
PY_AND_HTML = (".py", ".html")

# name -> (pip requirement, the package folders to lint inside the unpacked wheel, the kinds
# of file linted). The first four were measured before templates were linted here, and their
# unpacked copies hold Python files only.
PACKAGES = {
    "django-contrib": (None, ["django/contrib"], PY),
    "wagtail": ("wagtail==2.15.6", ["wagtail"], PY),
    "django-cms": ("django-cms==3.11.4", ["cms", "menus"], PY),
    "django-filer": ("django-filer==2.2.5", ["filer"], PY),
    # A primary key other than `id` beside an `id` field, keys whose to_field is a setting.
    "dj-stripe": ("dj-stripe==2.6.3", ["djstripe"], PY_AND_HTML),
    # Applications whose URL lists are included under namespaces of their own.
    "django-oscar": ("django-oscar==3.1", ["oscar"], PY_AND_HTML),
    "wiki": ("wiki==0.8.1", ["wiki"], PY_AND_HTML),
}

RUNNER = textwrap.dedent(
    """
    import json, logging, sys, time, traceback
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append((record.levelname, record.getMessage()[:2000]))

    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.WARNING)
    from vettor.staticanalysis import checker
    root, keys, jobs, config = json.loads(sys.stdin.read())
    error = None
    start = time.perf_counter()
    try:
        messages = checker.get_messages(root, {k: None for k in keys}, config=config, jobs=jobs)
    except BaseException:
        error, messages = traceback.format_exc(), []
    print(json.dumps({"error": error, "seconds": time.perf_counter() - start,
                      "logs": records, "messages": messages}, default=repr))
    """
)


def unpack(name, requirement, folders, suffixes):
    """The folder that holds the package's sources, fetched and unpacked on first use."""
    target = CACHE / "unpacked" / name
    if target.exists():
        return target
    staging = CACHE / "unpacked" / (name + ".partial")
    shutil.rmtree(staging, ignore_errors=True)
    staging.mkdir(parents=True)
    if requirement is None:
        import django

        site = Path(django.__file__).resolve().parent.parent
        for folder in folders:
            shutil.copytree(site / folder, staging / folder,
                            ignore=shutil.ignore_patterns("__pycache__", "locale"))
    else:
        downloads = CACHE / "downloads"
        downloads.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--disable-pip-version-check",
                        "--no-deps", "--only-binary", ":all:", "-d", str(downloads), requirement],
                       check=True)
        wheel_prefix = requirement.split("==")[0].replace("-", "_").lower()
        wheels = [w for w in downloads.glob("*.whl") if w.name.lower().startswith(wheel_prefix)]
        version = requirement.split("==")[1]
        wheels = [w for w in wheels if f"-{version}-" in w.name]
        with zipfile.ZipFile(wheels[0]) as archive:
            for member in archive.namelist():
                if any(member.startswith(f + "/") for f in folders) and member.endswith(suffixes):
                    archive.extract(member, staging)
    # A requirement the package's own Django would meet, so the version finding is stable.
    (staging / "requirements.txt").write_text("Django>=3.2,<3.3\n")
    staging.rename(target)
    return target


def lint_files(root, folders, suffixes, limit):
    keys = sorted(str(p.relative_to(root)) for f in folders for p in (root / f).rglob("*")
                  if p.is_file() and p.suffix in suffixes)
    return keys[:limit] if limit else keys


def lint(root, keys, jobs, timeout, config=None):
    try:
        proc = subprocess.run([sys.executable, "-c", RUNNER], input=json.dumps([str(root), keys, jobs, config or {}]),
                              capture_output=True, text=True, timeout=timeout, cwd=str(root))
    except subprocess.TimeoutExpired:
        return {"error": f"no result within {timeout} s (hang?)", "logs": [], "messages": []}
    if proc.returncode != 0 or not proc.stdout.strip():
        return {"error": f"child exited with {proc.returncode}:\n{proc.stderr[-3000:]}",
                "logs": [], "messages": []}
    return json.loads(proc.stdout.strip().splitlines()[-1])


def finding_rows(name, messages):
    """One sortable row per finding, the same whichever worker reported it."""
    rows = []
    for m in messages:
        record = m.get("message", m.get("body"))
        rows.append([name, m.get("path"), m.get("line"), m.get("column"), m["message-id"],
                     json.dumps(record, sort_keys=True, default=repr)])
    return sorted(rows, key=lambda r: [str(x) for x in r])


def compare_findings(rows, saved_path, names):
    """Print what changed against a saved run (only for the packages linted now)."""
    saved = [r for r in json.loads(Path(saved_path).read_text()) if r[0] in names]
    now = collections.Counter(tuple(r) for r in rows)
    before = collections.Counter(tuple(r) for r in saved)
    gone, new = before - now, now - before
    # A finding that stayed where it was, with another record, is one change, not two.
    changed = []
    for row in sorted(gone.elements(), key=lambda r: [str(x) for x in r]):
        twin = next((r for r in sorted(new.elements(), key=lambda r: [str(x) for x in r])
                     if r[:5] == row[:5]), None)
        if twin is not None:
            changed.append((row, twin))
            gone[row] -= 1
            new[twin] -= 1
    gone, new = +gone, +new
    for label, diff in (("disappeared", gone), ("appeared", new)):
        for row in sorted(diff.elements(), key=lambda r: [str(x) for x in r]):
            print(f"  {label}: {row[0]} {row[1]}:{row[2]}:{row[3]} {row[4]} {row[5]}")
    for old, now_row in changed:
        print(f"  changed: {old[0]} {old[1]}:{old[2]}:{old[3]} {old[4]} {old[5]} -> {now_row[5]}")
    print(f"findings against {saved_path}: {sum(gone.values())} disappeared, "
          f"{sum(new.values())} appeared, {len(changed)} changed their record")
    return not gone and not new and not changed


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated package names: " + ", ".join(PACKAGES))
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--timeout", type=float, default=3600)
    parser.add_argument("--max-files", type=int, default=0, help="lint at most N files per package")
    parser.add_argument("--json", help="write the summary to this file")
    parser.add_argument("--save-findings", help="write every finding to this file")
    parser.add_argument("--check-findings", help="compare every finding with this file's")
    parser.add_argument("--config", type=json.loads, default={}, help="the host configuration, as a JSON object")
    args = parser.parse_args()
    names = args.only.split(",") if args.only else list(PACKAGES)

    summary, faults, rows = {}, 0, []
    for name in names:
        requirement, folders, suffixes = PACKAGES[name]
        root = unpack(name, requirement, folders, suffixes)
        keys = lint_files(root, folders, suffixes, args.max_files)
        started = time.perf_counter()
        outcome = lint(root, keys, args.jobs, args.timeout, args.config)
        codes = collections.Counter(m["message-id"] for m in outcome["messages"])
        rows.extend(finding_rows(name, outcome["messages"]))
        problems = [text for level, text in outcome["logs"] if level in ("ERROR", "CRITICAL")]
        summary[name] = {
            "files": len(keys),
            "seconds": time.perf_counter() - started,
            "findings": dict(sorted(codes.items())),
            "errors_logged": problems,
            "warnings_logged": [t for level, t in outcome["logs"] if level == "WARNING"],
            "error": outcome["error"],
        }
        faults += bool(problems) + bool(outcome["error"])
        print(f"{name}: {len(keys)} files in {summary[name]['seconds']:.0f} s, "
              f"{sum(codes.values())} findings {dict(sorted(codes.items()))}")
        for text in problems:
            print("  logged:", text[:400])
        if outcome["error"]:
            print("  FAILED:", outcome["error"][-1500:])
    if args.json:
        Path(args.json).write_text(json.dumps(summary, indent=2))
    if args.save_findings:
        Path(args.save_findings).write_text(json.dumps(rows, indent=0))
    if args.check_findings and not compare_findings(rows, args.check_findings, names):
        faults += 1
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
