"""Lint throughput: the package's lint against pylint alone and pylint with pylint-django.

    .venv/bin/python bench/lint_throughput.py [--files 300] [--seed 0] [--jobs 1,N]
                                              [--json OUT.json] [--keep DIR]
                                              [--save-findings F] [--check-findings F]

Generates a Django project (bench/project_generator.py) and times, on the same files:

  floor    pylint 2.12 with no checker but the linter itself: parse, tokens, walk;
  vettor   checker.get_messages with every rule the driver registers (Python and templates);
  django   pylint with its default checkers and the pylint-django plugin, as a project
           would run it (installed into this venv for the comparison, never a dependency);

each with jobs 1 and with jobs equal to the CPU count. Every configuration runs in a fresh
child process (so each pays for parsing Django's sources once, as a real run does), and its
peak memory is the child's max RSS; with jobs above 1 the largest worker's is given as well.
The findings of `vettor` must be the same with every jobs value; --save-findings and
--check-findings keep them across a change of the code, to show the change altered nothing.
"""
import argparse
import json
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import project_generator  # noqa: E402

PYLINT_DJANGO = "pylint-django==2.5.3"
CONFIGS = ("floor", "vettor", "django")


# ---------------------------------------------------------------------------------------
# Child side: one configuration, one lint, figures on stdout as JSON.

def _plain_linter():
    from pylint.lint import PyLinter
    from pylint.reporters import CollectingReporter

    return PyLinter(reporter=CollectingReporter())


def run_floor(root, python, templates, jobs):
    linter = _plain_linter()
    linter.set_option("jobs", jobs)
    linter.check([str(root / p) for p in python])
    return len(linter.reporter.messages), None


def run_vettor(root, python, templates, jobs):
    from vettor.staticanalysis import checker

    files = {p: None for p in python + templates}
    messages = checker.get_messages(str(root), files, jobs=jobs)
    findings = sorted(
        (m["path"], m["line"], m["column"] if m.get("column") is not None else -1, m["message-id"],
         json.dumps(m.get("message"), sort_keys=True, default=repr))
        for m in messages
    )
    return len(messages), findings


def run_django(root, python, templates, jobs):
    sys.path.insert(0, str(root))
    os.environ["DJANGO_SETTINGS_MODULE"] = "proj.settings"
    linter = _plain_linter()
    linter.load_default_plugins()
    linter.load_plugin_modules(["pylint_django"])
    linter.load_plugin_configuration()
    linter.global_set_option("django-settings-module", "proj.settings")
    linter.set_option("jobs", jobs)
    linter.check([str(root / p) for p in python])
    return len(linter.reporter.messages), None


def child(args):
    root = Path(args.root)
    listing = json.loads((root / "bench_files.json").read_text())
    run = {"floor": run_floor, "vettor": run_vettor, "django": run_django}[args.child]
    start = time.perf_counter()
    count, findings = run(root, listing["python"], listing["templates"], args.child_jobs)
    elapsed = time.perf_counter() - start
    out = {
        "seconds": elapsed,
        "messages": count,
        "max_rss_kib": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
        "max_worker_rss_kib": resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss,
    }
    if findings is not None:
        out["findings"] = findings
    # The progress display and pylint may print; the figures go on the last line.
    sys.stdout.write("\n" + json.dumps(out) + "\n")


# ---------------------------------------------------------------------------------------
# Parent side

def ensure_pylint_django():
    try:
        subprocess.run([sys.executable, "-c", "import pylint_django"], check=True,
                       capture_output=True)
        return
    except subprocess.CalledProcessError:
        pass
    constraints = HERE.parent / "constraints.txt"
    print(f"installing {PYLINT_DJANGO} for the comparison ...", file=sys.stderr)
    subprocess.run([sys.executable, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "-c", str(constraints), PYLINT_DJANGO], check=True)


def measure(config, root, jobs, timeout):
    proc = subprocess.run(
        [sys.executable, str(Path(__file__).resolve()), "--child", config, "--child-jobs",
         str(jobs), "--root", str(root)],
        capture_output=True, text=True, timeout=timeout, cwd=str(root),
    )
    if proc.returncode != 0:
        raise RuntimeError(f"{config} jobs={jobs} failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def load_average():
    try:
        return os.getloadavg()
    except OSError:
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300, help="Python files in the project")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--jobs", default=f"1,{os.cpu_count()}",
                        help="comma-separated jobs values (default: 1 and the CPU count)")
    parser.add_argument("--configs", default=",".join(CONFIGS))
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--keep", help="generate the project in this folder and keep it")
    parser.add_argument("--save-findings", help="write vettor's findings to this file")
    parser.add_argument("--check-findings", help="fail unless vettor's findings equal this file's")
    parser.add_argument("--timeout", type=float, default=1800)
    parser.add_argument("--child", choices=CONFIGS, help=argparse.SUPPRESS)
    parser.add_argument("--child-jobs", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--root", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    configs = [c for c in args.configs.split(",") if c]
    jobs_values = [int(j) for j in args.jobs.split(",")]
    if "django" in configs:
        ensure_pylint_django()

    with tempfile.TemporaryDirectory(prefix="vettor-bench-") as tmp:
        root = Path(args.keep).resolve() if args.keep else Path(tmp) / "project"
        python, templates = project_generator.generate(root, args.files, args.seed)
        (root / "bench_files.json").write_text(json.dumps({"python": python, "templates": templates}))
        report = {
            "files": len(python),
            "templates": len(templates),
            "seed": args.seed,
            "cpu_count": os.cpu_count(),
            "load_average_before": load_average(),
            "results": {},
        }
        print(f"{len(python)} Python files, {len(templates)} templates, seed {args.seed}, "
              f"{os.cpu_count()} CPUs, load average {report['load_average_before']}")
        vettor_findings = {}
        for config in configs:
            for jobs in jobs_values:
                figures = measure(config, root, jobs, args.timeout)
                findings = figures.pop("findings", None)
                if findings is not None:
                    vettor_findings[jobs] = findings
                figures["files_per_second"] = len(python) / figures["seconds"]
                report["results"][f"{config}/jobs={jobs}"] = figures
                worker = (f", largest worker {figures['max_worker_rss_kib'] / 1024:.0f} MiB"
                          if jobs != 1 else "")
                print(f"{config:>7} jobs={jobs}: {figures['seconds']:7.2f} s "
                      f"{figures['files_per_second']:7.1f} files/s  "
                      f"{figures['messages']:5d} messages  "
                      f"peak {figures['max_rss_kib'] / 1024:.0f} MiB{worker}", flush=True)
        report["load_average_after"] = load_average()

    ratios = {}
    results = report["results"]
    for jobs in jobs_values:
        v = results.get(f"vettor/jobs={jobs}")
        for other in ("floor", "django"):
            o = results.get(f"{other}/jobs={jobs}")
            if v and o:
                ratios[f"vettor/{other} jobs={jobs}"] = v["seconds"] / o["seconds"]
    for config in configs:
        one = results.get(f"{config}/jobs=1")
        for jobs in jobs_values:
            many = results.get(f"{config}/jobs={jobs}")
            if one and many and jobs != 1:
                ratios[f"{config} speed-up jobs={jobs}"] = one["seconds"] / many["seconds"]
    report["ratios"] = ratios
    for name, value in ratios.items():
        print(f"{name}: {value:.2f}")

    status = 0
    if len(vettor_findings) > 1:
        first, *others = vettor_findings.values()
        same = all(f == first for f in others)
        report["findings_same_for_every_jobs"] = same
        print("vettor findings equal for every jobs value:", "yes" if same else "NO")
        status |= 0 if same else 1
    if vettor_findings:
        findings = next(iter(vettor_findings.values()))
        report["vettor_findings"] = len(findings)
        if args.save_findings:
            Path(args.save_findings).write_text(json.dumps(findings, indent=0))
        if args.check_findings:
            expected = [list(f) for f in json.loads(Path(args.check_findings).read_text())]
            same = [list(f) for f in findings] == expected
            report["findings_unchanged"] = same
            print("vettor findings unchanged against", args.check_findings, ":",
                  "yes" if same else "NO")
            status |= 0 if same else 1
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2))
    return status


if __name__ == "__main__":
    sys.exit(main())
