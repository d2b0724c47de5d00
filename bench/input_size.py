"""CPU time and peak memory of one call on one very large input: a Python module of many
models, and a template that is one line of links, through the lint, the fixes and the review
suggestions, as a pull request that adds such a file would have them analysed.

    .venv/bin/python bench/input_size.py [--case NAME ...] [--mb SIZE] [--python OTHER_PYTHON]
                                         [--timeout S] [--memory-cap MB] [--config JSON]

Cases (each in a child process of its own; SIZE defaults per case):
    py-lint       checker.get_messages on a module of SIZE MB (default 2)
    py-fix        transformer.transform_files on it (nothing is written)
    py-review     suggest.suggest_fixes on every fixable finding of it (one per model)
    html-lint     checker.get_messages on a one-line template of links of SIZE MB (default 2)
    html-review   suggest.suggest_fixes on a static-path finding on that line

--python runs the calls under another interpreter (another checkout's .venv/bin/python, to
compare with it); --config passes a host configuration to the calls that take one. The child
is stopped at --timeout seconds or when it would use more than --memory-cap MB of address
space; its peak resident memory is read from /proc while it runs, so a stopped child still
shows how far it got.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

MODEL = (
    "class Model{n}(models.Model):\n"
    "    title = models.CharField(max_length=100, null=True)\n"
    "    body = models.TextField()\n"
    "    count = models.IntegerField(default=0)\n"
    "\n"
    "    def __str__(self):\n"
    "        return self.title\n"
    "\n"
    "\n"
)
# The line of each block that holds its fixable finding (C2000, a null string field).
FINDING_OFFSET = 1


def big_module(mb):
    """A models module of at most `mb` MB (a million bytes), as close to it as its blocks
    allow, and the line of each of its fixable findings."""
    head = "from django.db import models\n\n\n"
    parts, lines, line, size, n = [head], [], 4, len(head), 0
    while size + len(MODEL.format(n=n)) <= mb * 1_000_000:
        block = MODEL.format(n=n)
        parts.append(block)
        lines.append(line + FINDING_OFFSET)
        line += block.count("\n")
        size += len(block)
        n += 1
    return "".join(parts), lines


def one_line_of_links(mb):
    """One line of links to pages with a picture each (a hard-coded address and a hard-coded
    static path, C7000 and C7001), of at most `mb` MB."""
    link = '<a href="/page/{n}/"><img src="/static/i/{n}.png"></a> '
    parts, size, n = [], 1, 0
    while size + len(link.format(n=n)) <= mb * 1_000_000:
        piece = link.format(n=n)
        parts.append(piece)
        size += len(piece)
        n += 1
    return "".join(parts) + "\n"


def make_project(folder, case, mb):
    root = Path(folder) / "project"
    (root / "app" / "templates").mkdir(parents=True)
    (root / "app" / "__init__.py").write_text("")
    (root / "requirements.txt").write_text("Django>=3.2,<3.3\n")
    (root / "app" / "settings.py").write_text("STATIC_URL = '/static/'\n")
    comments = []
    if case.startswith("py"):
        text, lines = big_module(mb)
        (root / "app" / "models.py").write_text(text)
        key = "app/models.py"
        comments = [{"path": key, "line": n, "message-id": "C2000", "body": "null"} for n in lines]
    else:
        (root / "app" / "templates" / "links.html").write_text(one_line_of_links(mb))
        key = "app/templates/links.html"
        comments = [{"path": key, "line": 1, "message-id": "C7001", "body": "static"}]
    return root, key, comments


RUNNER = textwrap.dedent(
    """
    import json, logging, os, resource, sys, time
    logging.basicConfig(level=logging.WARNING, format="%(levelname)s %(message)s")
    case, root, key, comments, config = json.loads(sys.stdin.read())
    os.chdir(root)
    start = time.process_time()
    if case.endswith("lint"):
        from vettor.staticanalysis import checker
        result = checker.get_messages(root, {key: None}, jobs=1, config=config)
        summary = {"findings": len(result),
                   "codes": sorted({m["message-id"] for m in result}),
                   "first": [str(m.get("message"))[:120] for m in result[:1]]}
    elif case.endswith("fix"):
        from vettor.staticanalysis import transformer
        result = transformer.transform_files(root, None, jobs=1, config=config)
        summary = {"files": len(result), "failures": [str(f)[:200] for f in result.failures]}
    else:
        from vettor.staticanalysis import suggest
        result = suggest.suggest_fixes(comments, root)
        summary = {"comments": len(result),
                   "blocks": sum(c["body"].count("```suggestion") for c in result)}
    summary["cpu_seconds"] = time.process_time() - start
    print(json.dumps(summary))
    """
)


def peak_rss_mb(pid):
    try:
        with open(f"/proc/{pid}/status") as status:
            for line in status:
                if line.startswith("VmHWM:"):
                    return int(line.split()[1]) / 1024
    except OSError:
        pass
    return None


def run(python, case, root, key, comments, config, timeout, cap_mb):
    def limit():
        cap = cap_mb * 1024 * 1024
        resource.setrlimit(resource.RLIMIT_AS, (cap, cap))

    started = time.monotonic()
    proc = subprocess.Popen([python, "-c", RUNNER], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True, preexec_fn=limit, cwd="/")
    proc.stdin.write(json.dumps([case, str(root), key, comments, config]))
    proc.stdin.close()
    peak, outcome = 0.0, None
    while proc.poll() is None:
        peak = max(peak, peak_rss_mb(proc.pid) or 0.0)
        if time.monotonic() - started > timeout:
            proc.kill()
            outcome = f"stopped at {timeout:.0f} s"
            break
        time.sleep(0.1)
    proc.wait()
    out, err = proc.stdout.read(), proc.stderr.read()
    usage = resource.getrusage(resource.RUSAGE_CHILDREN)
    if outcome is None and proc.returncode != 0:
        last = err.strip().splitlines()[-1:] or [""]
        outcome = f"exit {proc.returncode}: {last[0][:200]}"
    summary = json.loads(out.strip().splitlines()[-1]) if outcome is None else {}
    warnings = [line[:200] for line in err.splitlines() if line.startswith(("WARNING", "ERROR"))]
    return {"case": case, "wall_seconds": time.monotonic() - started, "peak_rss_mb": peak,
            "children_cpu_seconds": usage.ru_utime + usage.ru_stime, "outcome": outcome or "done",
            "summary": summary, "warnings": warnings[:5]}


DEFAULT_MB = {"py": 2.0, "html": 2.0}  # the default size limit
CASES = ["py-lint", "py-fix", "py-review", "html-lint", "html-review"]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--case", action="append", choices=CASES)
    parser.add_argument("--mb", type=float)
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--timeout", type=float, default=300)
    parser.add_argument("--memory-cap", type=int, default=6000)
    parser.add_argument("--config", default="{}")
    parser.add_argument("--json", help="write the results to this file")
    args = parser.parse_args()
    results = []
    for case in args.case or CASES:
        mb = args.mb or DEFAULT_MB[case.split("-")[0]]
        with tempfile.TemporaryDirectory() as folder:
            root, key, comments = make_project(folder, case, mb)
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            row = run(args.python, case, root, key, comments, json.loads(args.config), args.timeout,
                      args.memory_cap)
            row["children_cpu_seconds"] -= before.ru_utime + before.ru_stime
            row["mb"] = mb
        results.append(row)
        print(f"{case:<12} {mb:>5.1f} MB  cpu {row['children_cpu_seconds']:>7.1f} s  "
              f"peak RSS {row['peak_rss_mb']:>7.0f} MB  {row['outcome']}  {json.dumps(row['summary'])}")
        for line in row["warnings"]:
            print("   ", line)
        sys.stdout.flush()
    if args.json:
        Path(args.json).write_text(json.dumps(results, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
