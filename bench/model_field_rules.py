"""Time the model field rules over a generated models module.

    .venv/bin/python bench/model_field_rules.py [MODELS] [FIELDS_PER_MODEL]

Lints one module through a bare pylint linter holding only the columns checker, once to warm
astroid's caches of Django's sources and once timed, and prints the time per field.
"""
import sys
import tempfile
import time
from pathlib import Path

from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter

from vettor.staticanalysis.checkers import columns


def source(models, fields):
    lines = ["from django.db import models", ""]
    for m in range(models):
        lines.append(f"class Model{m}(models.Model):")
        lines += [f"    field_{i} = models.CharField(max_length=100, null=False, blank=True,"
                  " db_index=False)" for i in range(fields)]
        lines.append("")
    return "\n".join(lines) + "\n"


def lint(path):
    reporter = CollectingReporter()
    linter = PyLinter(reporter=reporter)
    linter.register_checker(columns.Checker(linter))
    start = time.perf_counter()
    linter.check([str(path)])
    return time.perf_counter() - start, len(reporter.messages)


def main():
    models = int(sys.argv[1]) if len(sys.argv) > 1 else 20
    fields = int(sys.argv[2]) if len(sys.argv) > 2 else 15
    with tempfile.TemporaryDirectory() as folder:
        path = Path(folder) / "bench_models.py"
        path.write_text(source(models, fields))
        lint(path)
        elapsed, findings = lint(path)
    print(f"{models * fields} fields, {findings} findings: {elapsed:.2f} s, "
          f"{elapsed / (models * fields) * 1000:.2f} ms per field")


if __name__ == "__main__":
    main()
