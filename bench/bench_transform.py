"""How long transform_code takes on a 2,000-line models module and on a 10,000-line file.

    .venv/bin/python bench/bench_transform.py [--repeat N] [--only models,large]

Each measurement runs in a fresh child process, the two sources taking turns, so that no run
profits from caches another run filled. A child first fixes a small module (astroid then has
Django's own sources parsed, as in any real session), then times one transform_code call on
the source in CPU time, its own and that of the linter's worker processes (the machine is
shared; wall time is printed too). Reported per source: the lowest and the median of the runs.

The sources are generated, the same on every run: the models module holds models with field
findings (fixed) and fields without; the large file repeats models, views and query helpers
with comments, docstrings and queryset findings.
"""
import argparse
import json
import random
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import project_generator  # noqa: E402  (beside this script)

CHILD = textwrap.dedent(
    """
    import json, logging, resource, sys, time
    logging.disable(logging.CRITICAL)

    def cpu():  # this process and the linter's worker processes it has waited for
        return sum(u.ru_utime + u.ru_stime for u in (resource.getrusage(resource.RUSAGE_SELF),
                                                     resource.getrusage(resource.RUSAGE_CHILDREN)))

    from vettor.staticanalysis import transformer
    path, filepath = sys.argv[1], sys.argv[2]
    source = open(path).read()
    transformer.transform_code(
        "from django.db import models\\n\\n\\nclass Warm(models.Model):\\n"
        "    name = models.CharField(max_length=1000)\\n",
        "warm/models.py", "proj.settings")
    started, wall = cpu(), time.perf_counter()
    code, reasons = transformer.transform_code(source, filepath, "proj.settings")
    spent, wall = cpu() - started, time.perf_counter() - wall
    print(json.dumps({"cpu": spent, "wall": wall, "reasons": sorted(reasons),
                      "lines_out": code.count("\\n") + 1}))
    """
)


def models_module(lines):
    """A models module of about `lines` lines, from the project generator's model layout."""
    names, text = [], ""
    while text.count("\n") < lines:
        names.append(f"Model{len(names)}")
        text = project_generator._models_module(random.Random(14), "shop", names)
    return text


def large_file(lines):
    """One module of about `lines` lines: models, views and query helpers, over and over."""
    rng = random.Random(10)
    parts = ["import uuid\n\nfrom django.db import models\nfrom django.shortcuts import render\n"
             "from django.urls import reverse, reverse_lazy\n\n"
             "STATUS_CHOICES = [('draft', 'Draft'), ('live', 'Live')]\n"]
    block = 0
    while sum(p.count("\n") for p in parts) < lines:
        names = [f"Block{block}Model{m}" for m in range(3)]
        models = project_generator._models_module(rng, "shop", names).split("\n", 6)[-1]
        views = project_generator._views_module(rng, "shop", names).split("\n", 5)[-1]
        queries = project_generator._queries_module(rng, names).split("\n", 1)[-1]
        parts.append(f"\n\n# ----- block {block}: models, views and queries -----\n"
                     f'"""Helpers of block {block}.\n\nThey are generated.\n"""\n'
                     + models + views + queries)
        block += 1
    return "".join(parts)


def run_child(path, filepath):
    proc = subprocess.run([sys.executable, "-c", CHILD, str(path), filepath],
                          capture_output=True, text=True, check=False)
    if proc.returncode != 0:
        raise SystemExit(f"child failed:\n{proc.stderr[-3000:]}")
    return json.loads(proc.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--only", default="models,large")
    parser.add_argument("--keep", help="write the generated sources into this folder")
    args = parser.parse_args()

    folder = Path(args.keep) if args.keep else Path(
        __import__("tempfile").mkdtemp(prefix="bench-transform-"))
    folder.mkdir(parents=True, exist_ok=True)
    sources = {
        "models": ("shop/models.py", models_module(2000)),
        "large": ("shop/everything.py", large_file(10000)),
    }
    chosen = [name for name in args.only.split(",") if name in sources]
    paths = {}
    for name in chosen:
        filepath, text = sources[name]
        paths[name] = folder / (name + ".py")
        paths[name].write_text(text)

    results = {name: [] for name in chosen}
    for _ in range(args.repeat):
        for name in chosen:  # alternated: each round runs every source once
            results[name].append(run_child(paths[name], sources[name][0]))
    for name in chosen:
        runs = results[name]
        cpu = [r["cpu"] for r in runs]
        wall = [r["wall"] for r in runs]
        lines = sources[name][1].count("\n")
        print(f"{name:6s} {lines:6d} lines: cpu min {min(cpu):6.2f} s, median "
              f"{statistics.median(cpu):6.2f} s; wall median {statistics.median(wall):6.2f} s "
              f"({len(runs)} runs; codes {','.join(runs[0]['reasons'])})")


if __name__ == "__main__":
    main()
