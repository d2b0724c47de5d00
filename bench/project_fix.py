"""What the project fix costs and changes on the Django apps that lint_real_packages.py
downloads (and a generated project), for one or more builds of vettor side by side, with the
safe fixes only and with every fix.

    .venv/bin/python bench/project_fix.py [--only NAME,...] [--generated FILES] [--jobs N]
                                          [--python LABEL=PATH ...] [--modes safe,unsafe]
                                          [--road cli|api] [--show N] [--json OUT.json]

Each build (a Python with vettor installed; default: this checkout's .venv) runs, per package,
`python -m vettor.staticanalysis P --jobs N --format json` (the lint) and then, per mode, the
project fix (safe: the default; unsafe: every fix): on the command line, `python -m
vettor.staticanalysis P --diff --jobs N` (with `--unsafe-fixes` for every fix; the count of the
unsafe fixes left out read from its standard error), or through the library,
`transformer.transform_files(P, None, jobs=N, unsafe_fixes=...)` (the unsafe fixes left out
counted by code), each in a child process with a parse cache of its own (so none profits from
another), and the CPU time of each (user + sys of the process and its workers) is measured.

The hunks of the diff are split into fix hunks and hunks with no fix. A hunk is a fix hunk when
one of its removed lines lies in a statement that holds a fixable finding of that build's lint
(the statement's own lines, or a compound statement's header), when it only adds lines next to
such a statement, or, in a settings module with a settings finding, when every line it changes
is a setting or a middleware entry (settings fixes add statements where the module's last
settings stand), or, in a module with a C6002 finding, when it only edits the import of
reverse that the fix of its calls makes. Every other hunk changes code no fix asked for. Fix
hunks are counted by the codes of the findings they answer.

The diff is then applied with `patch -p1` to a copy of the package, every file it changes must
compile, and the project fix run again on the patched copy must find nothing more. Printed per
package, build and mode: CPU of the lint and of the fix and their ratio, files and hunks (fix /
no fix) with the fix hunks by code, the unsafe fixes left out by code, whether patch applied,
the fixed files compile and a second fix is empty; a total.
"""
import argparse
import ast
import collections
import io
import json
import os
import re
import resource
import shutil
import subprocess
import sys
import tempfile
import tokenize
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import lint_real_packages  # noqa: E402  (beside this script)

FIXABLE = {"C2000", "C2002", "C2003", "C2006", "C2008", "C8001", "C9000", "C9001", "C9002",
           "C9003", "C6002"} | {"C40%02d" % n for n in range(7, 18)}
SETTING_LINE = re.compile(r"""^\s*(?:[A-Z][A-Z0-9_]*\s*=|["']django\.middleware\.|\]|\)|\[|MIDDLEWARE)""")
HUNK = re.compile(rb"^@@ -(\d+)(?:,(\d+))? \+(\d+)(?:,(\d+))? @@")


def children_cpu():
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    return usage.ru_utime + usage.ru_stime


def run(python, args, cache):
    """(stdout bytes, CPU seconds) of one command in a child process."""
    before = children_cpu()
    env = {**os.environ, "XDG_CACHE_HOME": str(cache)}
    proc = subprocess.run([python, "-m", "vettor.staticanalysis", *args], capture_output=True, env=env)
    return proc.stdout, children_cpu() - before, proc


FIX = """
import json, sys
from vettor.staticanalysis import transformer
result = transformer.transform_files(sys.argv[1], None, jobs=int(sys.argv[2]), unsafe_fixes=sys.argv[3] == "1")
sys.stdout.buffer.write(result.unified_diff_bytes())
left = {}
for finding in result.unsafe_left_out:
    left[finding["message-id"]] = left.get(finding["message-id"], 0) + 1
with open(sys.argv[4], "w") as out:
    json.dump({"left_out": left, "failures": len(result.failures), "migrations": list(result.migrations)}, out)
"""


LEFT_OUT = re.compile(rb"^(\d+) fix(?:es)? needs? --unsafe-fixes", re.M)


def fix_on_the_command_line(python, root, jobs, unsafe, cache):
    """(diff bytes, CPU seconds, what standard error says, process) of `--diff`."""
    args = [str(root), "--diff", "--jobs", str(jobs)] + (["--unsafe-fixes"] if unsafe else [])
    diff, cpu, proc = run(python, args, cache)
    left = LEFT_OUT.search(proc.stderr)
    migrations = re.search(rb"makemigrations ([^`]*)`", proc.stderr)
    said = {"left_out": {"all": int(left.group(1))} if left else {},
            "failures": len(re.findall(rb"^Could not fix ", proc.stderr, re.M)),
            "migrations": migrations.group(1).decode().split() if migrations else []}
    # --diff exits with 1 when there is something to fix.
    return diff, cpu, said, proc if proc.returncode != 1 else subprocess.CompletedProcess(proc.args, 0)


def fix(python, root, jobs, unsafe, cache, work, road="api"):
    """(diff bytes, CPU seconds, what the result says, process) of one project fix in a child
    process, on the command line or through the library."""
    if road == "cli":
        return fix_on_the_command_line(python, root, jobs, unsafe, cache)
    before = children_cpu()
    env = {**os.environ, "XDG_CACHE_HOME": str(cache)}
    report = work / "fix-report.json"
    proc = subprocess.run([python, "-c", FIX, str(root), str(jobs), "1" if unsafe else "0", str(report)],
                          capture_output=True, env=env)
    said = json.loads(report.read_text()) if proc.returncode == 0 else {}
    return proc.stdout, children_cpu() - before, said, proc


def decoded(data):
    encoding = tokenize.detect_encoding(io.BytesIO(data).readline)[0]
    return data.decode(encoding).replace("\r\n", "\n").replace("\r", "\n")


def statement_ranges(text, lines):
    """The (first, last) lines of the innermost statements holding each of the lines (for a
    compound statement, its header)."""
    try:
        tree = ast.parse(text)
    except (SyntaxError, ValueError):
        return [(line, line) for line in lines]
    spans = []
    for node in ast.walk(tree):
        if not isinstance(node, ast.stmt):
            continue
        first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", [])])
        bodies = [getattr(node, name)[0].lineno for name in ("body", "orelse", "handlers", "finalbody")
                  if isinstance(getattr(node, name, None), list) and getattr(node, name)]
        last = min(bodies) - 1 if bodies else node.end_lineno
        spans.append((first, max(first, last)))
    ranges = []
    for line in lines:
        holding = [s for s in spans if s[0] <= line <= s[1]]
        ranges.append(min(holding, key=lambda s: s[1] - s[0]) if holding else (line, line))
    return ranges


def hunks_of(diff):
    """{path: [(old start, removed line numbers, changed texts)]} of a unified diff."""
    files, path, hunk, old = {}, None, None, 0
    for line in diff.split(b"\n"):
        if line.startswith(b"+++ b/"):
            path = line[6:].decode("utf-8", "replace")
            files[path] = []
        elif line.startswith(b"--- ") or path is None:
            continue
        elif HUNK.match(line):
            old = int(HUNK.match(line).group(1))
            hunk = (old, [], [])
            files[path].append(hunk)
        elif hunk is not None and line[:1] == b"-":
            hunk[1].append(old)
            hunk[2].append(line[1:].decode("latin-1"))
            old += 1
        elif hunk is not None and line[:1] == b"+":
            hunk[2].append(line[1:].decode("latin-1"))
            hunk[1].append(-old)  # an added line goes in front of old line `old`
        elif hunk is not None and line[:1] == b" ":
            old += 1
    return files


def classify(root, diff, findings):
    """(fix hunks, hunks with no fix, examples of the latter, fix hunks by code) of a diff."""
    by_path = {}
    for finding in findings:
        if finding.get("message-id") in FIXABLE and finding.get("line"):
            # The command line shows paths as they open from its working directory.
            path = Path(os.path.abspath(finding["path"])).resolve()
            try:
                path = path.relative_to(Path(root).resolve()).as_posix()
            except ValueError:
                path = finding["path"]
            by_path.setdefault(path, []).append(finding)
    fix, other, examples = 0, 0, []
    by_code = collections.Counter()
    for path, hunks in hunks_of(diff).items():
        mine = by_path.get(path, [])
        text = decoded((root / path).read_bytes()) if (root / path).is_file() else ""
        ranges = statement_ranges(text, [f["line"] for f in mine])
        settings = any(f["message-id"].startswith("C40") for f in mine)
        for start, numbers, texts in hunks:
            removed = [n for n in numbers if n > 0]
            added_at = [-n for n in numbers if n <= 0]
            codes = {f["message-id"] for f, (a, b) in zip(mine, ranges)
                     if any(a <= n <= b for n in removed)
                     or (not removed and any(a - 1 <= n <= b + 1 for n in added_at))}
            hit = bool(codes)
            if not hit and settings and all(SETTING_LINE.match(t) or not t.strip() for t in texts):
                codes = {f["message-id"] for f in mine if f["message-id"].startswith("C40")}
                hit = True
            # The URL fix's import of reverse in place of reverse_lazy goes with its calls.
            if not hit and any(f["message-id"] == "C6002" for f in mine):
                hit = all("import" in t and "reverse" in t for t in texts if t.strip())
                codes = {"C6002"} if hit else set()
            if hit:
                fix += 1
                by_code.update(codes)
            else:
                other += 1
                if len(examples) < 3:
                    examples.append(f"{path}:{start}: " + " | ".join(t.strip() for t in texts[:4]))
    return fix, other, examples, by_code


def applies_and_compiles(root, diff, work):
    """Whether patch -p1 applies the diff to a copy, and the changed files then compile; the
    patched copy (None when the patch does not apply)."""
    copy = work / "copy"
    shutil.rmtree(copy, ignore_errors=True)
    shutil.copytree(root, copy)
    applied = subprocess.run(["patch", "-p1", "-s", "--binary", "--dry-run"], input=diff, cwd=copy,
                             capture_output=True).returncode == 0
    compiled = True
    if applied:
        subprocess.run(["patch", "-p1", "-s", "--binary"], input=diff, cwd=copy, check=True,
                       capture_output=True)
        for path in hunks_of(diff):
            try:
                compile((copy / path).read_bytes(), path, "exec", ast.PyCF_ONLY_AST, dont_inherit=True)
            except (SyntaxError, ValueError):
                compiled = False
    return applied, compiled, copy if applied else None


def counted(counter):
    return " ".join(f"{code}:{n}" for code, n in sorted(counter.items())) or "-"


def measure(label, python, name, root, jobs, work, modes, road):
    lint_out, lint_cpu, _ = run(python, [str(root), "--jobs", str(jobs), "--format", "json"], work / f"cache-{label}-lint")
    findings = json.loads(lint_out or b"[]")
    rows = []
    for mode in modes:
        unsafe = mode == "unsafe"
        diff_out, diff_cpu, said, proc = fix(python, root, jobs, unsafe, work / f"cache-{label}-{mode}", work, road)
        fix_hunks, other, examples, by_code = classify(root, diff_out, findings)
        applied, compiled, copy = applies_and_compiles(root, diff_out, work)
        again = None
        if copy is not None and diff_out:
            second, _, _, _ = fix(python, copy, jobs, unsafe, work / f"cache-{label}-{mode}-again", work, road)
            again = len(hunks_of(second))
        shutil.rmtree(work / "copy", ignore_errors=True)
        files = len(hunks_of(diff_out))
        row = {"package": name, "build": label, "mode": mode, "road": road, "lint_cpu": lint_cpu, "diff_cpu": diff_cpu,
               "ratio": diff_cpu / lint_cpu if lint_cpu else 0, "files": files, "fix_hunks": fix_hunks,
               "other_hunks": other, "by_code": dict(by_code), "left_out": said.get("left_out", {}),
               "failures": said.get("failures"), "migrations": said.get("migrations"),
               "applies": applied, "compiles": compiled, "second_fix_files": again,
               "exit": proc.returncode, "examples": examples}
        print(f"{name:15} {label:5} {mode:6} lint {lint_cpu:6.1f} s  fix {diff_cpu:6.1f} s  x{row['ratio']:4.2f}  "
              f"{files:3} files  hunks {fix_hunks:3} fix / {other:3} no fix  patch "
              f"{'applies' if applied else 'FAILS'}, {'compiles' if compiled else 'DOES NOT COMPILE'}, "
              f"second fix {'-' if again is None else again} files", flush=True)
        print(f"{'':15} fix hunks by code: {counted(by_code)}   unsafe left out: {counted(row['left_out'])}",
              flush=True)
        rows.append(row)
    return rows


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated package names: " + ", ".join(lint_real_packages.PACKAGES))
    parser.add_argument("--generated", type=int, default=0, metavar="FILES",
                        help="also a project of FILES files from project_generator.py")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--python", action="append", metavar="LABEL=PATH",
                        help="a build to measure (repeatable); default: this checkout's .venv")
    parser.add_argument("--modes", default="safe,unsafe",
                        help="comma-separated: safe (the default fix), unsafe (every fix)")
    parser.add_argument("--road", choices=("cli", "api"), default="cli",
                        help="the command line's --diff (the default) or transformer.transform_files")
    parser.add_argument("--show", type=int, default=0, help="hunks with no fix shown per row")
    parser.add_argument("--json", help="write the rows to this file")
    args = parser.parse_args()
    builds = [item.split("=", 1) for item in args.python] if args.python else \
        [("this", str(HERE.parent / ".venv" / "bin" / "python"))]
    names = args.only.split(",") if args.only else list(lint_real_packages.PACKAGES)
    sources = []
    for name in names:
        requirement, folders, suffixes = lint_real_packages.PACKAGES[name]
        sources.append((name, lint_real_packages.unpack(name, requirement, folders, suffixes)))
    work = Path(tempfile.mkdtemp(prefix="project-fix-"))
    if args.generated:
        import project_generator

        root = work / "generated"
        root.mkdir()
        project_generator.generate(root, args.generated)
        sources.append(("generated", root))

    modes = args.modes.split(",")
    rows, faults = [], 0
    for name, root in sources:
        for label, python in builds:
            for row in measure(label, python, name, root, args.jobs, work, modes, args.road):
                rows.append(row)
                faults += (row["exit"] != 0 or not row["applies"] or not row["compiles"]
                           or row["second_fix_files"] not in (None, 0))
                for example in row["examples"][:args.show]:
                    print(f"    no fix: {example[:200]}")
    for label, _ in builds:
        for mode in modes:
            mine = [r for r in rows if r["build"] == label and r["mode"] == mode]
            lint_cpu, diff_cpu = sum(r["lint_cpu"] for r in mine), sum(r["diff_cpu"] for r in mine)
            by_code, left = collections.Counter(), collections.Counter()
            for r in mine:
                by_code.update(r["by_code"])
                left.update(r["left_out"])
            print(f"total {label} {mode}: lint {lint_cpu:.1f} s, fix {diff_cpu:.1f} s "
                  f"(x{diff_cpu / lint_cpu if lint_cpu else 0:.2f}), {sum(r['files'] for r in mine)} files, "
                  f"hunks {sum(r['fix_hunks'] for r in mine)} fix / {sum(r['other_hunks'] for r in mine)} no fix; "
                  f"by code {counted(by_code)}; unsafe left out {counted(left)}")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=2))
    shutil.rmtree(work, ignore_errors=True)
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
