"""What a host keeps in memory from one call to the next: lint (or fix, or review) one of the
packages of bench/lint_real_packages.py several times in one process, as a review bot or an
editor integration does, and print after each call the process's resident memory and how
many astroid trees of the package are still alive.

    .venv/bin/python bench/host_memory.py [--only NAME] [--calls N] [--road lint|fix|review]
                                          [--python OTHER_PYTHON] [--json OUT.json]

--python runs the calls under another interpreter (another checkout's .venv/bin/python, to
compare with it). The calls run in one child process with jobs=1, so every tree is built in
the process that is measured. "fix" calls transformer.transform_files (nothing is written);
"review" calls suggest.suggest_fixes on every finding of a first lint.

A host's memory is flat when the trees alive drop to 0 after every call and the resident
memory stops growing after the first call (the libraries' own trees, Django's among them,
are built once and kept).
"""
import argparse
import json
import subprocess
import sys
import textwrap
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from lint_real_packages import PACKAGES, lint_files, unpack  # noqa: E402

RUNNER = textwrap.dedent(
    """
    import gc, json, logging, os, sys, time
    logging.disable(logging.CRITICAL)
    import astroid
    from vettor.staticanalysis import checker
    root, keys, calls, road = json.loads(sys.stdin.read())
    folder = os.path.realpath(root) + os.sep

    def rss_mb():
        with open("/proc/self/status") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) / 1024

    def live_trees():
        gc.collect()
        # type(), not isinstance(): a lazy object of a library would set itself up.
        return sum(1 for o in gc.get_objects() if type(o) is astroid.nodes.Module
                   and isinstance(o.file, str) and os.path.isabs(o.file)
                   and os.path.realpath(o.file).startswith(folder))

    files = {k: None for k in keys}
    comments = None
    if road == "review":
        from vettor.staticanalysis import suggest
        os.chdir(root)
        found = checker.get_messages(root, files, jobs=1)
        comments = [{"path": m["path"], "line": m["line"], "message-id": m["message-id"],
                     "body": m["message-id"]} for m in found if "line" in m]
        del found
    elif road == "fix":
        from vettor.staticanalysis import transformer
    rows = []
    for call in range(calls):
        start = time.perf_counter()
        if road == "lint":
            result = checker.get_messages(root, files, jobs=1)
        elif road == "fix":
            result = transformer.transform_files(root, None, jobs=1)
        else:
            result = suggest.suggest_fixes(comments, root)
        seconds = time.perf_counter() - start
        del result
        rows.append({"call": call + 1, "seconds": seconds, "rss_mb": rss_mb(),
                     "trees": live_trees()})
        print(json.dumps(rows[-1]), file=sys.stderr, flush=True)
    print(json.dumps(rows))
    """
)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", default="django-filer", help=", ".join(PACKAGES))
    parser.add_argument("--calls", type=int, default=4)
    parser.add_argument("--road", choices=["lint", "fix", "review"], default="lint")
    parser.add_argument("--python", default=sys.executable)
    parser.add_argument("--json", help="write the rows to this file")
    args = parser.parse_args()

    requirement, folders, suffixes = PACKAGES[args.only]
    root = unpack(args.only, requirement, folders, suffixes)
    keys = lint_files(root, folders, suffixes, 0)
    proc = subprocess.run([args.python, "-c", RUNNER], input=json.dumps([str(root), keys, args.calls, args.road]),
                          capture_output=True, text=True, cwd="/")
    if proc.returncode != 0:
        print(proc.stderr[-3000:])
        return 1
    rows = json.loads(proc.stdout.strip().splitlines()[-1])
    print(f"{args.only}: {len(keys)} files, road {args.road}, {args.python}")
    print(f"{'call':>4} {'seconds':>8} {'RSS MB':>8} {'trees alive':>12}")
    for row in rows:
        print(f"{row['call']:>4} {row['seconds']:>8.1f} {row['rss_mb']:>8.0f} {row['trees']:>12}")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=2))
    return 0


if __name__ == "__main__":
    sys.exit(main())
