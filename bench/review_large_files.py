"""How long the review suggestions take on a large Python file and a large template.

    .venv/bin/python bench/review_large_files.py [--repeat N] [--lines-py N] [--lines-html N]
                                                 [--findings N]

A project is generated once (the same on every run): a models module of 5,000 lines whose
string fields are nullable on 100 of them (C2000, fixable), a template of 3,000 lines with 100
hard-coded static paths (C7001, fixable), and a settings module that sets STATIC_URL. The
project is linted once with checker.get_messages, and the findings of each file become review
findings, as a review bot makes them.

Each measurement runs in a fresh child process: the child lints the project (astroid then has
Django's sources parsed, as in any real session; not timed), then times one suggest_fixes call
on the findings of one file, in CPU time (its own and its children's; the machine is shared,
wall time is printed too). Reported per file: the lowest and the median of the runs, the
number of comments and of suggestion blocks.

The interpreter running the script runs the children, so a build of another checkout is
measured by running the script with that checkout's interpreter (PYTHONPATH unset).
"""
import argparse
import json
import statistics
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

CHILD = textwrap.dedent(
    """
    import json, logging, resource, sys, time
    logging.disable(logging.CRITICAL)

    def cpu():
        return sum(u.ru_utime + u.ru_stime for u in (resource.getrusage(resource.RUSAGE_SELF),
                                                     resource.getrusage(resource.RUSAGE_CHILDREN)))

    from vettor.staticanalysis import checker, suggest
    root, path, wanted = sys.argv[1], sys.argv[2], int(sys.argv[3])
    messages = checker.get_messages(root, {path: None}, jobs=1)
    findings = [
        {"path": m["path"], "line": m["line"], "message-id": m["message-id"],
         "body": m["message-id"] + " " + (m.get("symbol") or "")}
        for m in messages if m.get("path") == path
    ][:wanted]
    started, wall = cpu(), time.perf_counter()
    comments = suggest.suggest_fixes(findings, root)
    spent, wall = cpu() - started, time.perf_counter() - wall
    blocks = sum(c["body"].count("```suggestion") for c in comments)
    print(json.dumps({"cpu": spent, "wall": wall, "findings": len(findings),
                      "comments": len(comments), "blocks": blocks}))
    """
)


def models_module(lines, findings):
    """A models module of about `lines` lines, `findings` of them nullable string fields."""
    out = ["from django.db import models", "", ""]
    every = max(1, (lines - 3) // (findings * 8))
    model = 0
    made = 0
    while len(out) < lines - 8:
        out.append(f"class Model{model}(models.Model):")
        out.append(f'    """Model number {model}."""')
        out.append("")
        for field in range(4):
            if made < findings and (model * 4 + field) % every == 0:
                out.append(f"    text_{field} = models.CharField(max_length=50, null=True, blank=True)")
                made += 1
            else:
                out.append(f"    count_{field} = models.IntegerField(default=0)  # field {field}")
        out.append("")
        model += 1
    return "\n".join(out[:lines]) + "\n", made


def template(lines, findings):
    """A template of `lines` lines, `findings` of them with a hard-coded static path."""
    out = ["{% extends 'base.html' %}", "{% block content %}"]
    every = max(1, (lines - 3) // findings)
    made = 0
    for number in range(lines - 3):
        if made < findings and number % every == 0:
            out.append(f'  <img src="/static/img/picture{number}.png" alt="picture {number}">')
            made += 1
        else:
            out.append(f"  <p class=\"row\">Row {number} of the page.</p>")
    out.append("{% endblock %}")
    return "\n".join(out) + "\n", made


def generate(root, py_lines, html_lines, findings):
    (root / "shop" / "templates" / "shop").mkdir(parents=True)
    (root / "proj").mkdir()
    (root / "manage.py").write_text(
        "import os\nos.environ.setdefault('DJANGO_SETTINGS_MODULE', 'proj.settings')\n"
        "from django.core.management import execute_from_command_line\n"
    )
    (root / "proj" / "__init__.py").write_text("")
    (root / "proj" / "settings.py").write_text(
        "SECRET_KEY = 'x'\nINSTALLED_APPS = ['shop']\nSTATIC_URL = '/static/'\n"
    )
    (root / "shop" / "__init__.py").write_text("")
    text, made_py = models_module(py_lines, findings)
    (root / "shop" / "models.py").write_text(text)
    text, made_html = template(html_lines, findings)
    (root / "shop" / "templates" / "shop" / "page.html").write_text(text)
    return made_py, made_html


def measure(root, path, findings):
    result = subprocess.run(
        [sys.executable, "-c", CHILD, str(root), path, str(findings)],
        capture_output=True, text=True, check=True, timeout=3600,
    )
    return json.loads(result.stdout.strip().splitlines()[-1])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--repeat", type=int, default=3)
    parser.add_argument("--lines-py", type=int, default=5000)
    parser.add_argument("--lines-html", type=int, default=3000)
    parser.add_argument("--findings", type=int, default=100)
    args = parser.parse_args()
    with tempfile.TemporaryDirectory() as folder:
        root = Path(folder) / "project"
        made = generate(root, args.lines_py, args.lines_html, args.findings)
        files = {"shop/models.py": made[0], "shop/templates/shop/page.html": made[1]}
        runs = {path: [] for path in files}
        for _ in range(args.repeat):
            for path in files:  # taking turns: no run profits from another's caches
                runs[path].append(measure(root, path, args.findings))
        for path, results in runs.items():
            cpu = [r["cpu"] for r in results]
            wall = [r["wall"] for r in results]
            last = results[-1]
            print(
                f"{path}: {last['findings']} findings, {last['comments']} comments, "
                f"{last['blocks']} blocks; CPU lowest {min(cpu):.2f}s, median "
                f"{statistics.median(cpu):.2f}s; wall median {statistics.median(wall):.2f}s"
            )
    return 0


if __name__ == "__main__":
    sys.exit(main())
