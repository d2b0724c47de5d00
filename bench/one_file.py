"""One file in an editor: the CPU seconds a lint of one file costs through the command line,
against the whole project, with the parse cache off, cold and warm.

    .venv/bin/python bench/one_file.py [--files 368] [--seed 0] [--package wiki]
                                       [--file app000/models.py] [--package-file PATH]
                                       [--builds NAME=PYTHON,...] [--rounds 3] [--json OUT]
                                       [--profile DIR]

Every figure is one fresh process, `python -m vettor.staticanalysis PATH --jobs 1`, run from
the project's root as an editor runs it: its user plus system CPU seconds (what other work on
the machine changes least), the least and the median over --rounds. The targets are a
generated Django project (bench/project_generator.py, --files Python files) and one real
package of bench/lint_real_packages.py (--package; fetched into bench/cache/ on first use and
copied, never changed there); with --files 0 --package '' only the commands are timed. For each
target and each scope (one file, the whole project):

  off    `parse-cache = false` in the project's [tool.vettor];
  cold   the parse cache on, the user's cache folder empty;
  warm   the same lint again, the trees the run before it kept in the folder;

and, once per build, `--version` and `--list-rules`. --builds compares builds (for example
main's venv against this one's): their runs alternate inside each round, so a slow spell of
the machine does not fall on one build alone. Each run uses a cache folder of its own under a
temporary folder, never the user's. --profile DIR writes a cProfile of the warm one-file run
of each build and target there (`python -m pstats` reads it).
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
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import project_generator  # noqa: E402

MODES = ("off", "cold", "warm")


def cpu_of(command, cwd, cache_home):
    """The user plus system CPU seconds of one fresh process (it starts no workers)."""
    env = dict(os.environ, XDG_CACHE_HOME=str(cache_home))
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    done = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, text=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode not in (0, 1):
        raise SystemExit(f"{' '.join(map(str, command))} in {cwd} failed:\n{done.stderr}")
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    return cpu, done.stdout


def copy_with_cache_setting(source, destination, parse_cache):
    """A copy of the project whose [tool.vettor] turns the parse cache on or off."""
    shutil.copytree(source, destination, symlinks=True)
    pyproject = destination / "pyproject.toml"
    text = pyproject.read_text() if pyproject.exists() else ""
    value = "true" if parse_cache else "false"
    if "[tool.vettor]" in text:
        text = text.replace("[tool.vettor]", f"[tool.vettor]\nparse-cache = {value}", 1)
    else:
        text += f"\n[tool.vettor]\nparse-cache = {value}\n"
    pyproject.write_text(text)


def targets(args, work):
    found = []
    if args.files:
        generated = work / "generated-source"
        project_generator.generate(generated, python_files=args.files, seed=args.seed)
        found.append(("generated", generated, args.file))
    if args.package:
        import lint_real_packages

        requirement, folders, suffixes = lint_real_packages.PACKAGES[args.package]
        root = lint_real_packages.unpack(args.package, requirement, folders, suffixes)
        found.append((args.package, root, args.package_file))
    return found


def lint_command(python, path):
    return [python, "-m", "vettor.staticanalysis", path, "--jobs", "1"]


def run_round(builds, prepared, work, round_number, figures, outputs):
    for build, python in builds.items():
        for option in ("--version", "--list-rules"):
            cpu, _ = cpu_of([python, "-m", "vettor.staticanalysis", option], work,
                            work / "cache-unused")
            figures.setdefault((build, "command", option, ""), []).append(cpu)
    for name, copies, one_file in prepared:
        for scope, path in (("one file", one_file), ("project", ".")):
            for build, python in builds.items():
                cache_home = work / f"cache-{build}-{name}-{scope}-{round_number}"
                for mode in MODES:
                    cwd = copies["off" if mode == "off" else "on"]
                    cpu, out = cpu_of(lint_command(python, path), cwd, cache_home)
                    figures.setdefault((build, name, scope, mode), []).append(cpu)
                    outputs.setdefault((build, name, scope), set()).add(out)


def profile(builds, prepared, work, folder):
    folder.mkdir(parents=True, exist_ok=True)
    for build, python in builds.items():
        for name, copies, one_file in prepared:
            cache_home = work / f"cache-profile-{build}-{name}"
            for _ in range(2):  # the second run is the warm one
                out = folder / f"{build}-{name}.prof"
                command = [python, "-m", "cProfile", "-o", str(out), "-m",
                           "vettor.staticanalysis", one_file, "--jobs", "1"]
                cpu_of(command, copies["on"], cache_home)


# Where a run's time went, from its profile: (label, file name ending, function name). The
# figures are cumulative, so a later line can hold part of an earlier one (a module that
# inference reaches is built and transformed while the rules walk the file).
PHASES = (
    ("whole run", None, None),
    ("checker.get_messages", "~", "<built-in method vettor.staticanalysis.checker.get_messages>"),
    ("pylint's check of the files", "pylint/lint/pylinter.py", "check"),
    ("the rules' walk over the files", "pylint/lint/pylinter.py", "check_astroid_module"),
    ("modules found by name (Django's, the project's)", "astroid/manager.py",
     "ast_from_module_name"),
    ("astroid's transforms", "astroid/transforms.py", "visit"),
)


def phases(profile_path):
    import pstats

    stats = pstats.Stats(str(profile_path))
    found = []
    for label, ending, function in PHASES:
        if ending is None:
            found.append((label, stats.total_tt))
            continue
        seconds = max((row[3] for (name, _, func), row in stats.stats.items()
                       if name.endswith(ending) and func == function), default=0.0)
        found.append((label, seconds))
    whole, lint = found[0][1], found[1][1]
    found.insert(1, ("outside the lint: importing the analyser, the command line's own work",
                     whole - lint))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--files", type=int, default=368,
                        help="Python files of the generated project (0: no generated project)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--file", default="app000/models.py",
                        help="the file of the generated project linted on its own")
    parser.add_argument("--package", default="wiki", help="a package of lint_real_packages.py, "
                        "or '' for none")
    parser.add_argument("--package-file", default="wiki/models/article.py",
                        help="the file of the package linted on its own")
    parser.add_argument("--builds", default=f"this={sys.executable}")
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--json", help="write the figures to this file")
    parser.add_argument("--profile", help="write the warm one-file profiles to this folder")
    args = parser.parse_args()

    builds = {}
    for item in args.builds.split(","):
        name, _, python = item.rpartition("=")
        builds[name or python] = os.path.abspath(python)

    with tempfile.TemporaryDirectory(prefix="vettor-one-file-") as temporary:
        work = Path(temporary)
        prepared = []
        for name, source, one_file in targets(args, work):
            copies = {}
            for setting, parse_cache in (("on", True), ("off", False)):
                copies[setting] = work / f"{name}-{setting}"
                copy_with_cache_setting(source, copies[setting], parse_cache)
            prepared.append((name, copies, one_file))
        figures, outputs = {}, {}
        for round_number in range(args.rounds):
            run_round(builds, prepared, work, round_number, figures, outputs)
        if args.profile:
            profile(builds, prepared, work, Path(args.profile))

    same = all(len(texts) == 1 for texts in outputs.values())
    print(f"CPU seconds of one fresh process, least / median of {args.rounds} rounds "
          f"(load average {os.getloadavg()[0]:.1f} at the end)")
    print(f"{'build':<8} {'target':<10} {'scope':<12} " +
          " ".join(f"{mode:>13}" for mode in MODES))
    rows = []
    for (build, name, scope, mode), values in sorted(figures.items()):
        rows.append({"build": build, "target": name, "scope": scope, "mode": mode,
                     "least": min(values), "median": statistics.median(values),
                     "all": values})
    seen = []
    for row in rows:
        key = (row["build"], row["target"], row["scope"])
        if key in seen:
            continue
        seen.append(key)
        cells = []
        for mode in (MODES if row["target"] != "command" else ("",)):
            values = figures.get((*key, mode))
            cells.append(f"{min(values):6.2f} /{statistics.median(values):5.2f}"
                         if values else f"{'':>13}")
        print(f"{key[0]:<8} {key[1]:<10} {key[2]:<12} " + " ".join(cells))
    print("the findings of off, cold and warm are the same for each build:", same)
    if args.profile:
        for profile_path in sorted(Path(args.profile).glob("*.prof")):
            print(f"\n{profile_path.stem}, warm, one file (profiled seconds, cumulative):")
            for label, seconds in phases(profile_path):
                print(f"  {seconds:7.2f}  {label}")
    if args.json:
        Path(args.json).write_text(json.dumps(rows, indent=1))
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
