"""Lint throughput: the package's lint against pylint alone and pylint with pylint-django.

    .venv/bin/python bench/lint_throughput.py [--files 300] [--seed 0] [--jobs 1,N]
                                              [--targets generated,PACKAGE,...|packages]
                                              [--builds NAME=PYTHON,...] [--rounds N]
                                              [--configs floor,vettor,django]
                                              [--json OUT.json] [--keep DIR]
                                              [--save-findings F] [--check-findings F]

Times, on the same files:

  floor        pylint 2.12 with no checker but the linter itself: parse, tokens, walk;
  vettor       checker.get_messages with every rule the driver registers (Python and
               templates), as a first lint: the user's cache folder holds no parsed trees;
  vettor-warm  the same lint run again: the trees the lint before it kept are there;
  django       pylint with its default checkers and the pylint-django plugin, as a project
               would run it (installed into that build's venv for the comparison, never a
               dependency);

each with every --jobs value, over each target: `generated` is a Django project made by
bench/project_generator.py (--files, --seed); a package name is the set of files that
bench/lint_real_packages.py lints for that package (fetched into bench/cache/ on first use);
`packages` is every one of them.

Every configuration runs in a fresh child process, so each pays for parsing Django's sources
once, as a real run does. A run's figures are its wall time, its CPU time (the child's and,
with jobs above 1, its workers'), its peak memory (the child's max RSS, and the largest
worker's), and the load average of the machine when it started. CPU time is what to compare
on a machine that others use at the same time: it barely moves with their load, while wall
time and the speed-up of jobs 2 do. For jobs above 1 the speed-up is also given as the CPU
of the jobs-1 run over the time the run would take on idle cores (the parent's CPU plus its
workers' CPU shared out evenly among them).

--builds compares builds of the package (each a Python with its own install, e.g. a worktree
of an older commit with its .venv): the runs of the builds alternate, and --rounds repeats
the whole sequence, so that a slow spell of the machine does not fall on one build alone; the
medians over the rounds are reported. The findings of `vettor` and `vettor-warm` must be the
same for every jobs value and for every build; --save-findings and --check-findings keep them
across a change of the code (the first build's findings of each target). The exit status is
non-zero when findings differ. Each build's runs use a cache folder of their own under a
temporary folder, never the user's.

The before/after comparison of a change, with the "before" build in a worktree of its own:

    .venv/bin/python bench/lint_throughput.py --targets generated,packages --jobs 1,2 \\
        --configs floor,vettor,vettor-warm --rounds 3 \\
        --builds before=../before/.venv/bin/python,after=.venv/bin/python
"""
import argparse
import json
import os
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import project_generator  # noqa: E402

PYLINT_DJANGO = "pylint-django==2.5.3"
CONFIGS = ("floor", "vettor", "vettor-warm", "django")


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
         json.dumps(m.get("message", m.get("body")), sort_keys=True, default=repr))
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


def cpu_seconds(who):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def child(args):
    listing = json.loads(Path(args.listing).read_text())
    root = Path(listing["root"])
    run = {"floor": run_floor, "vettor": run_vettor, "vettor-warm": run_vettor,
           "django": run_django}[args.child]
    cpu_before, workers_before = cpu_seconds(resource.RUSAGE_SELF), cpu_seconds(resource.RUSAGE_CHILDREN)
    start = time.perf_counter()
    count, findings = run(root, listing["python"], listing["templates"], args.child_jobs)
    elapsed = time.perf_counter() - start
    out = {
        "seconds": elapsed,
        "cpu_seconds": cpu_seconds(resource.RUSAGE_SELF) - cpu_before,
        "workers_cpu_seconds": cpu_seconds(resource.RUSAGE_CHILDREN) - workers_before,
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

def ensure_pylint_django(python):
    try:
        subprocess.run([python, "-c", "import pylint_django"], check=True, capture_output=True)
        return
    except subprocess.CalledProcessError:
        pass
    constraints = HERE.parent / "constraints.txt"
    print(f"installing {PYLINT_DJANGO} into {python} for the comparison ...", file=sys.stderr)
    subprocess.run([python, "-m", "pip", "install", "-q", "--disable-pip-version-check",
                    "-c", str(constraints), PYLINT_DJANGO], check=True)


def load_average():
    try:
        return os.getloadavg()
    except OSError:
        return None


def measure(python, config, listing_file, root, jobs, timeout, cache_home):
    load = load_average()
    proc = subprocess.run(
        [python, str(Path(__file__).resolve()), "--child", config, "--child-jobs", str(jobs),
         "--listing", str(listing_file)],
        capture_output=True, text=True, timeout=timeout, cwd=str(root),
        env=dict(os.environ, XDG_CACHE_HOME=str(cache_home)),
    )
    if proc.returncode != 0:
        raise RuntimeError(f"{config} jobs={jobs} with {python} failed:\n{proc.stderr[-3000:]}")
    figures = json.loads(proc.stdout.strip().splitlines()[-1])
    figures["load_average"] = load
    return figures


def idle_cores_seconds(figures, jobs):
    """What the run would take on `jobs` idle cores: the parent, then its workers side by side."""
    if jobs == 1:
        return figures["cpu_seconds"]
    return figures["cpu_seconds"] + figures["workers_cpu_seconds"] / jobs


def real_package_targets(names):
    import lint_real_packages

    chosen = list(lint_real_packages.PACKAGES) if names == ["packages"] else names
    targets = []
    for name in chosen:
        requirement, folders, suffixes = lint_real_packages.PACKAGES[name]
        root = lint_real_packages.unpack(name, requirement, folders, suffixes)
        keys = lint_real_packages.lint_files(root, folders, suffixes, 0)
        targets.append((name, root, [k for k in keys if k.endswith(".py")],
                        [k for k in keys if k.endswith(".html")]))
    return targets


def parse_builds(text):
    builds = {}
    for item in text.split(","):
        name, _, python = item.rpartition("=")
        # Absolute, but not resolved: a venv's python is a link that must stay one.
        builds[name or python] = os.path.abspath(python)
    return builds


def median(values):
    return statistics.median(values) if values else None


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=300, help="Python files of the generated project")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--targets", default="generated",
                        help="comma-separated: generated, package names of "
                             "bench/lint_real_packages.py, or packages for all of them")
    parser.add_argument("--builds", default=f"this={sys.executable}",
                        help="comma-separated NAME=PYTHON: the builds to compare (default: this one)")
    parser.add_argument("--rounds", type=int, default=1)
    parser.add_argument("--jobs", default=f"1,{os.cpu_count()}",
                        help="comma-separated jobs values (default: 1 and the CPU count)")
    parser.add_argument("--configs", default=",".join(CONFIGS))
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--keep", help="generate the project in this folder and keep it")
    parser.add_argument("--save-findings", help="write vettor's findings to this file")
    parser.add_argument("--check-findings", help="fail unless vettor's findings equal this file's")
    parser.add_argument("--timeout", type=float, default=3600)
    parser.add_argument("--child", choices=CONFIGS, help=argparse.SUPPRESS)
    parser.add_argument("--child-jobs", type=int, help=argparse.SUPPRESS)
    parser.add_argument("--listing", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.child:
        return child(args)

    configs = [c for c in args.configs.split(",") if c]
    jobs_values = [int(j) for j in args.jobs.split(",")]
    builds = parse_builds(args.builds)
    if "django" in configs:
        for python in builds.values():
            ensure_pylint_django(python)

    names = [t for t in args.targets.split(",") if t]
    with tempfile.TemporaryDirectory(prefix="vettor-bench-") as tmp:
        targets = []
        if "generated" in names:
            root = Path(args.keep).resolve() if args.keep else Path(tmp) / "project"
            python, templates = project_generator.generate(root, args.files, args.seed)
            targets.append(("generated", root, python, templates))
        packages = [n for n in names if n != "generated"]
        if packages:
            targets += real_package_targets(packages)
        listings = {}
        for name, root, python, templates in targets:
            listings[name] = Path(tmp) / f"{name}.files.json"
            listings[name].write_text(json.dumps(
                {"root": str(root), "python": python, "templates": templates}))

        report = {"seed": args.seed, "cpu_count": os.cpu_count(), "builds": builds,
                  "rounds": args.rounds, "load_average_before": load_average(), "targets": {}}
        print(f"{os.cpu_count()} CPUs, builds {', '.join(builds)}, {args.rounds} round(s), "
              f"load average {report['load_average_before']}")
        runs = {}  # (target, build, config, jobs) -> [figures per round]
        findings = {}  # (target, build, config, jobs) -> findings of the first round
        for round_ in range(args.rounds):
            # The builds take turns in going first.
            order = list(builds)
            if round_ % 2:
                order.reverse()
            for name, root, python, templates in targets:
                for build in order:
                    # The user's cache folder of every run of this build on this target: the
                    # trees a lint keeps there are gone before each `vettor` run (a first lint)
                    # and left for `vettor-warm` by the lint before it (a lint run again).
                    cache_home = Path(tmp) / "cache" / build / name
                    for config in configs:
                        for jobs in jobs_values:
                            if config != "vettor-warm":
                                shutil.rmtree(cache_home, ignore_errors=True)
                            elif not cache_home.exists():
                                measure(builds[build], "vettor", listings[name], root, jobs,
                                        args.timeout, cache_home)
                            figures = measure(builds[build], config, listings[name], root, jobs,
                                              args.timeout, cache_home)
                            found = figures.pop("findings", None)
                            if found is not None:
                                findings.setdefault((name, build, config, jobs), found)
                            runs.setdefault((name, build, config, jobs), []).append(figures)
                            worker = (f", largest worker {figures['max_worker_rss_kib'] / 1024:.0f} MiB"
                                      if jobs != 1 else "")
                            load = figures["load_average"]
                            load = f"  load {load[0]:.2f}" if load else ""
                            print(f"[{round_ + 1}] {name:>14} {build:>8} {config:>6} jobs={jobs}: "
                                  f"cpu {idle_cores_seconds(figures, jobs):7.2f} s  "
                                  f"wall {figures['seconds']:7.2f} s  "
                                  f"{figures['messages']:5d} messages  "
                                  f"peak {figures['max_rss_kib'] / 1024:.0f} MiB{worker}{load}",
                                  flush=True)

        status = 0
        print()
        for name, root, python, templates in targets:
            summary = summarise(name, runs, findings, builds, configs, jobs_values)
            summary.update({"files": len(python), "templates": len(templates)})
            report["targets"][name] = summary
            status |= print_summary(name, summary, builds, configs, jobs_values, len(python))
        report["load_average_after"] = load_average()

        first_build = next(iter(builds))
        saved = {}
        for name, *_ in targets:
            found = [f for (t, b, _, _), f in findings.items() if t == name and b == first_build]
            if found:
                saved[name] = found[0]
        if saved and args.save_findings:
            Path(args.save_findings).write_text(json.dumps(
                saved["generated"] if list(saved) == ["generated"] else saved, indent=0))
        if saved and args.check_findings:
            expected = json.loads(Path(args.check_findings).read_text())
            if isinstance(expected, list):
                expected = {"generated": expected}
            for name, found in saved.items():
                if name not in expected:
                    continue
                same = [list(f) for f in found] == [list(f) for f in expected[name]]
                report["targets"][name]["findings_unchanged"] = same
                print(f"{name}: vettor findings unchanged against {args.check_findings}:",
                      "yes" if same else "NO")
                status |= 0 if same else 1
    if args.json:
        Path(args.json).write_text(json.dumps(report, indent=2))
    return status


def summarise(name, runs, findings, builds, configs, jobs_values):
    summary = {"builds": {}}
    for build in builds:
        figures = {}
        for config in configs:
            for jobs in jobs_values:
                rounds = runs.get((name, build, config, jobs), [])
                if not rounds:
                    continue
                figures[f"{config}/jobs={jobs}"] = {
                    "cpu_seconds": median([r["cpu_seconds"] + r["workers_cpu_seconds"] for r in rounds]),
                    "idle_cores_seconds": median([idle_cores_seconds(r, jobs) for r in rounds]),
                    "seconds": median([r["seconds"] for r in rounds]),
                    "max_rss_mib": max(r["max_rss_kib"] for r in rounds) / 1024,
                    "max_worker_rss_mib": max(r["max_worker_rss_kib"] for r in rounds) / 1024,
                    "messages": rounds[0]["messages"],
                    "load_averages": [r["load_average"] for r in rounds],
                    "rounds": rounds,
                }
        ratios = {}
        for lint in ("vettor", "vettor-warm"):
            for jobs in jobs_values:
                v, f = figures.get(f"{lint}/jobs={jobs}"), figures.get(f"floor/jobs={jobs}")
                d = figures.get(f"django/jobs={jobs}")
                if v and f:
                    ratios[f"{lint}/floor jobs={jobs} (cpu)"] = (
                        v["idle_cores_seconds"] / f["idle_cores_seconds"])
                    ratios[f"{lint}/floor jobs={jobs} (wall)"] = v["seconds"] / f["seconds"]
                if v and d:
                    ratios[f"{lint}/django jobs={jobs} (cpu)"] = (
                        v["idle_cores_seconds"] / d["idle_cores_seconds"])
        for config in configs:
            one = figures.get(f"{config}/jobs=1")
            for jobs in jobs_values:
                many = figures.get(f"{config}/jobs={jobs}")
                if one and many and jobs != 1:
                    ratios[f"{config} speed-up jobs={jobs} (wall)"] = one["seconds"] / many["seconds"]
                    ratios[f"{config} speed-up jobs={jobs} (on idle cores, from cpu)"] = (
                        one["idle_cores_seconds"] / many["idle_cores_seconds"])
        found = [f for (t, b, _, _), f in findings.items() if t == name and b == build]
        summary["builds"][build] = {
            "figures": figures,
            "ratios": ratios,
            "findings": len(found[0]) if found else None,
            # Whatever the jobs value, and whether trees were kept from a lint before or not.
            "findings_same_for_every_run": all(f == found[0] for f in found) if found else None,
        }
    every = [f for (t, _, _, _), f in findings.items() if t == name]
    if every:
        summary["findings_same_for_every_build"] = all(f == every[0] for f in every)
    return summary


def print_summary(name, summary, builds, configs, jobs_values, files):
    status = 0
    width = max(12, *(len(b) for b in builds))
    print(f"{name} ({files} Python files), medians:")
    print(" " * 50 + "".join(f"{b:>{width}}" for b in builds))
    rows = []

    def row(label, key, field, fmt):
        rows.append((label, [summary["builds"][b]["figures"].get(key, {}).get(field)
                             for b in builds], fmt))

    for config in configs:
        for jobs in jobs_values:
            key = f"{config}/jobs={jobs}"
            row(f"{key} cpu s", key, "cpu_seconds", "{:.2f}")
            if jobs != 1:
                row(f"{key} on idle cores s (from cpu)", key, "idle_cores_seconds", "{:.2f}")
            row(f"{key} wall s", key, "seconds", "{:.2f}")
            row(f"{key} peak MiB", key, "max_rss_mib", "{:.0f}")
            if jobs != 1:
                row(f"{key} largest worker MiB", key, "max_worker_rss_mib", "{:.0f}")
    ratio_names = []
    for b in builds:
        for r in summary["builds"][b]["ratios"]:
            if r not in ratio_names:
                ratio_names.append(r)
    for r in ratio_names:
        rows.append((r, [summary["builds"][b]["ratios"].get(r) for b in builds], "{:.2f}"))
    for label, values, fmt in rows:
        if all(v is None for v in values):
            continue
        cells = "".join(f"{(fmt.format(v) if v is not None else '-'):>{width}}" for v in values)
        print(f"  {label:<48}{cells}")
    for b in builds:
        same = summary["builds"][b]["findings_same_for_every_run"]
        if same is not None:
            print(f"  {b}: {summary['builds'][b]['findings']} findings, equal in every run "
                  "(every jobs value, kept trees or not):", "yes" if same else "NO")
            status |= 0 if same else 1
    if "findings_same_for_every_build" in summary and len(builds) > 1:
        same = summary["findings_same_for_every_build"]
        print(f"  findings equal for every build ({', '.join(builds)}):", "yes" if same else "NO")
        status |= 0 if same else 1
    print()
    return status


if __name__ == "__main__":
    sys.exit(main())
