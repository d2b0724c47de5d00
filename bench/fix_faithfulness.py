"""Whether the fix road keeps everything that no fix touched, over the Django apps that
lint_real_packages.py downloads.

    .venv/bin/python bench/fix_faithfulness.py [--only NAME,...] [--max-files N] [--jobs N]
                                              [--show N]

Every Python file of each package goes through transformer.fix_code (the settings module is
the one meta finds in the package, as the project transform takes it), and, to compare with,
through suggest.format_code as it stands (what Black makes of the file in the transformer's
style and quotes). A file holds when:
- no fix was written: the output is exactly that formatting of the file as given;
- fixes were written: every comment of the input is in the output; the number and string
  literals outside the fixed statements are those of that formatting, with the same
  spelling and value; the syntax tree of every statement that no fix touched is unchanged;
- and always: the output parses.

--generated adds a project made by project_generator.py, whose files carry findings of every
rule family, its settings module among them.

--project checks the project road instead (transformer.transform_files over each package as a
whole, as `vettor P --diff` runs it): every statement of a fixed file that holds no fixable
finding of the project's lint must stand in the output byte for byte (its lines, their spacing,
quotes and comments) and in its order, and the output must parse. Printed per package: the
files fixed, those that hold, those that fail (the first --show with the statement that moved or
changed).

Printed per package and in total: the files, those a fix changed, those that hold, those that
fail (the first --show of them with the reason), and those Black cannot format even as given.
The exit status is non-zero when any file fails.
"""
import argparse
import ast
import collections
import io
import re
import sys
import tokenize
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))

import lint_real_packages  # noqa: E402  (beside this script)

STYLE = {"line_length": 79}


def comments(text):
    """The comments of a text, without "#" and surrounding spaces (Black writes #x as # x)."""
    found = collections.Counter()
    for tok in tokenize.generate_tokens(io.StringIO(text).readline):
        if tok.type == tokenize.COMMENT:
            found[tok.string.lstrip("#").strip()] += 1
    return found


def literals(text):
    """(start position, spelling) of every number and string literal."""
    return [(tok.start, tok.string) for tok in tokenize.generate_tokens(io.StringIO(text).readline)
            if tok.type in (tokenize.NUMBER, tokenize.STRING)]


BODIES = ("body", "orelse", "handlers", "finalbody")


def dump(node):
    """ast.dump without the u prefix of literals, which Black drops."""
    return re.sub(r", kind='u'", "", ast.dump(node))


def start_of(node):
    positions = [(node.lineno, node.col_offset)]
    positions += [(d.lineno, d.col_offset) for d in getattr(node, "decorator_list", [])]
    return min(positions)


def header_end(node):
    """Where a statement's own part ends: its first body statement, or its end."""
    firsts = [getattr(node, name)[0] for name in BODIES
              if isinstance(getattr(node, name, None), list) and getattr(node, name)]
    if firsts:
        return min(start_of(first) for first in firsts)
    return (node.end_lineno, node.end_col_offset)


def header_dump(node):
    """The statement without its bodies."""
    fields = {}
    for name, value in ast.iter_fields(node):
        fields[name] = "<body>" if name in BODIES and isinstance(value, list) else value
    return type(node).__name__ + repr(sorted((k, dump(v) if isinstance(v, ast.AST) else
                                               (repr([dump(x) if isinstance(x, ast.AST) else x
                                                      for x in v]) if isinstance(v, list) else repr(v)))
                                              for k, v in fields.items()))


def within(tokens, start, end):
    return [spelling for position, spelling in tokens if start <= position < end]


class Checker:
    """The properties of one fixed file against the file as given and its formatting."""

    def __init__(self, source, reference, output, touched):
        self.source, self.reference, self.output = source, reference, output
        self.touched = touched  # (first line, last line) of the statements changed or removed
        self.ref_literals = literals(reference)
        self.out_literals = literals(output)
        self.problems = []

    def is_touched(self, node):
        first, last = start_of(node)[0], header_end(node)[0]
        if header_end(node) != (node.end_lineno, node.end_col_offset):
            last = max(first, header_end(node)[0] - 1)
        return any(a <= last and first <= b for a, b in self.touched)

    def body(self, original, reference, output):
        """Statement lists of the source, its formatting (one to one) and the output."""
        import difflib

        # Black rewrites docstrings (their indentation and trailing spaces): the trees are
        # compared with its formatting of the source, the lines taken from the source.
        keys_in = [header_dump(node) for node in reference]
        keys_out = [header_dump(node) for node in output]
        matcher = difflib.SequenceMatcher(None, keys_in, keys_out, autojunk=False)
        matched = set()
        for block in matcher.get_matching_blocks():
            for k in range(block.size):
                i, j = block.a + k, block.b + k
                matched.add(i)
                self.statement(original[i], reference[i], output[j])
        for i, node in enumerate(original):
            if i not in matched and not self.is_touched(node):
                self.problems.append(f"line {node.lineno}: a statement no fix touched changed")

    def statement(self, original, reference, output):
        same = dump(reference) == dump(output)
        end = (reference.end_lineno, reference.end_col_offset) if same else header_end(reference)
        out_end = (output.end_lineno, output.end_col_offset) if same else header_end(output)
        if not self.is_touched(original) or same:
            ref = within(self.ref_literals, start_of(reference), end)
            out = within(self.out_literals, start_of(output), out_end)
            if ref != out:
                self.problems.append(f"line {original.lineno}: literals {out} where Black "
                                     f"writes {ref}")
        if same:
            return
        for name in BODIES:
            a, b, c = (getattr(n, name, None) for n in (original, reference, output))
            if isinstance(a, list) and isinstance(c, list):
                self.body(a, b, c)


def check_file(job):
    root, relative, settings_modpath = job
    import logging

    logging.disable(logging.CRITICAL)
    from vettor.staticanalysis import suggest, transformer

    data = (Path(root) / relative).read_bytes()
    encoding = tokenize.detect_encoding(io.BytesIO(data).readline)[0]
    source = data.decode(encoding).replace("\r\n", "\n").replace("\r", "\n")
    try:
        ast.parse(source)
    except SyntaxError:
        return relative, "unparsable", ""
    target = suggest.get_comma_character_target(source)
    try:
        reference = suggest.format_code(source, indentation="", code_style=STYLE,
                                        comma_character_target=target)
    except Exception as error:
        return relative, "black-rejects", repr(error)[:200]
    try:
        report = transformer.fix_code(source, relative, settings_modpath)
    except Exception as error:
        return relative, "fail", f"fix_code raised {error!r}"[:300]
    output = report.code
    written = [c for c in report.changes if c.text is not None]
    refused = [f"line {c.first_line}: {c.reason}" for c in report.changes if c.text is None]
    note = "; ".join(refused)
    try:
        tree_out = ast.parse(output)
    except SyntaxError as error:
        return relative, "fail", f"output does not parse: {error}"
    if not written:
        if output != reference:
            return relative, "fail", "no fix, but the output is not Black's formatting of the file"
        return relative, "holds", note
    problems = []
    lost = comments(source) - comments(output)
    if lost:
        problems.append(f"comments lost: {sorted(lost)[:3]}")
    # A removed statement's span ends at the start of the line after it.
    touched = [(c.first_line, c.last_line - (c.kind == "removed")) for c in written
               if c.kind != "added"]
    checker = Checker(source, reference, output, touched)
    checker.body(ast.parse(source).body, ast.parse(reference).body, tree_out.body)
    problems += checker.problems
    if problems:
        return relative, "fail", "; ".join(problems)[:500]
    return relative, "fixed-holds", note


PROJECT_CHILD = """
import json, logging, sys
logging.disable(logging.CRITICAL)
from vettor.staticanalysis import checker, transformer
root, jobs = sys.argv[1], int(sys.argv[2])
result = transformer.transform_files(root, None, jobs=jobs)
fixed = {path: [result.originals[path], source] for source, path in result}
found = checker.get_messages(root, {path: None for path in fixed}, jobs=jobs)
lines = {}
for finding in found:
    if finding["message-id"] in transformer.FIXED_CODES and finding.get("line"):
        lines.setdefault(finding["path"], []).append(finding["line"])
        # The URL fix edits the import of reverse together with its calls.
        if finding["message-id"] == "C6002":
            for number, text in enumerate(fixed[finding["path"]][0].splitlines(), 1):
                if text.startswith("from django.urls import"):
                    lines[finding["path"]].append(number)
print(json.dumps({"fixed": fixed, "lines": lines}))
"""


def statement_segments(text, finding_lines):
    """(first line, text of its lines) of every statement holding no finding line: simple
    statements whole, compound statements by their header, each body walked in turn."""
    lines = text.splitlines(True)
    segments = []

    def walk(body):
        for node in body:
            first = min([node.lineno] + [d.lineno for d in getattr(node, "decorator_list", [])])
            firsts = [getattr(node, name)[0].lineno for name in BODIES
                      if isinstance(getattr(node, name, None), list) and getattr(node, name)]
            last = min(firsts) - 1 if firsts else node.end_lineno
            last = max(first, last)
            if not any(first <= line <= last for line in finding_lines):
                segments.append((first, "".join(lines[first - 1:last])))
            for name in BODIES:
                inner = getattr(node, name, None)
                if isinstance(inner, list):
                    walk([n for n in inner if isinstance(n, ast.stmt)])
            for handler in getattr(node, "handlers", []) or []:
                walk(handler.body)

    walk(ast.parse(text).body)
    return segments


def check_project_file(original, output, finding_lines):
    """The problems of one fixed file of the project road, or an empty list."""
    try:
        ast.parse(output)
    except SyntaxError as error:
        return [f"output does not parse: {error}"]
    problems, at = [], 0
    for line, segment in sorted(statement_segments(original, finding_lines)):
        found = output.find(segment, at)
        if found < 0:
            problems.append(f"line {line}: a statement with no finding changed or moved: "
                            f"{segment.strip()[:120]!r}")
            continue
        # Headers and their bodies nest: the next segment may start inside this one.
        at = found + len(segment.split("\n", 1)[0])
    return problems


def check_projects(sources, jobs, show):
    """The project road over each package; returns the number of files that fail."""
    import json
    import subprocess

    failed = 0
    for name, root, _ in sources:
        proc = subprocess.run([sys.executable, "-c", PROJECT_CHILD, str(root), str(jobs)],
                              capture_output=True, text=True, cwd=str(root))
        if proc.returncode != 0:
            print(f"{name}: the project transform failed: {proc.stderr[-1500:]}")
            failed += 1
            continue
        data = json.loads(proc.stdout.strip().splitlines()[-1])
        outcomes = {path: check_project_file(original, output, data["lines"].get(path, []))
                    for path, (original, output) in data["fixed"].items()}
        bad = {path: problems for path, problems in outcomes.items() if problems}
        failed += len(bad)
        print(f"{name}: {len(outcomes)} files fixed, {len(outcomes) - len(bad)} keep every "
              f"statement no fix touched byte for byte, {len(bad)} fail", flush=True)
        for path, problems in list(bad.items())[:show]:
            print(f"  FAIL {path}: {'; '.join(problems)[:500]}")
    return failed


def worker(jobs_file, results_file):
    """Checks the jobs of a file (one JSON job a line) into another (one JSON result a line)."""
    import json

    with open(results_file, "w") as results:
        for line in Path(jobs_file).read_text().splitlines():
            if line.strip():
                results.write(json.dumps(check_file(json.loads(line))) + "\n")
                results.flush()


def check_all(jobs, workers, cwd):
    """The jobs shared among child processes (the transformer's linter starts processes of
    its own, which a pool's worker may not), run from the project's root with the root on the
    import path, as Django runs a project: the files' paths, relative to it, and their
    imports of each other are then found, and the queryset and model rules can infer."""
    import os
    import json
    import subprocess
    import tempfile

    with tempfile.TemporaryDirectory() as folder:
        children = []
        for i in range(workers):
            chunk = jobs[i::workers]
            if not chunk:
                continue
            jobs_file, results_file = Path(folder) / f"jobs{i}", Path(folder) / f"results{i}"
            jobs_file.write_text("".join(json.dumps(job) + "\n" for job in chunk))
            children.append((subprocess.Popen(
                [sys.executable, str(Path(__file__).resolve()), "--worker", str(jobs_file),
                 str(results_file)],
                cwd=str(cwd), env={**os.environ, "PYTHONPATH": str(cwd)},
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL), results_file))
        results = []
        for child, results_file in children:
            child.wait()
            results += [tuple(json.loads(line)) for line in results_file.read_text().splitlines()]
    return sorted(results)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated package names: " +
                        ", ".join(lint_real_packages.PACKAGES))
    parser.add_argument("--max-files", type=int, default=0, help="at most N files per package")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--show", type=int, default=10, help="failures shown per package")
    parser.add_argument("--generated", type=int, default=0, metavar="FILES",
                        help="also a project of FILES files from project_generator.py, whose "
                             "files carry findings of every rule family")
    parser.add_argument("--project", action="store_true",
                        help="check the project road (transform_files) instead")
    parser.add_argument("--worker", nargs=2, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        return worker(*args.worker)
    names = args.only.split(",") if args.only else list(lint_real_packages.PACKAGES)

    from vettor.staticanalysis import meta

    sources = []
    for name in names:
        requirement, folders, suffixes = lint_real_packages.PACKAGES[name]
        root = lint_real_packages.unpack(name, requirement, folders, suffixes)
        keys = lint_real_packages.lint_files(root, folders, (".py",), args.max_files)
        sources.append((name, root, keys))
    if args.generated:
        import tempfile

        import project_generator

        root = Path(tempfile.mkdtemp(prefix="fix-faithfulness-"))
        python, _ = project_generator.generate(root, args.generated)
        sources.append(("generated", root, sorted(python)))

    if args.project:
        return 1 if check_projects(sources, args.jobs, args.show) else 0

    totals = collections.Counter()
    for name, root, keys in sources:
        settings_modpath = meta.get_settings_modpath(str(root))
        outcomes = check_all([(str(root), key, settings_modpath) for key in keys], args.jobs, root)
        counts = collections.Counter(outcome for _, outcome, _ in outcomes)
        totals.update(counts)
        hold = counts["holds"] + counts["fixed-holds"]
        print(f"{name}: {len(keys)} files, {counts['fixed-holds'] + counts['fail']} fixed or "
              f"failed, {hold} hold ({counts['fixed-holds']} of them fixed), {counts['fail']} "
              f"fail, {counts['black-rejects']} Black cannot format as given, "
              f"{counts['unparsable']} do not parse (settings module {settings_modpath or 'none'})",
              flush=True)
        for relative, outcome, detail in [o for o in outcomes if o[1] == "fail"][:args.show]:
            print(f"  FAIL {relative}: {detail}")
        unfixed = [o for o in outcomes if o[1] != "fail" and o[2]]
        totals["files with a fix left unfixed"] += len(unfixed)
        for relative, outcome, detail in unfixed[:args.show]:
            print(f"  left unfixed in {relative}: {detail[:300]}")
    hold = totals["holds"] + totals["fixed-holds"]
    unfixed = totals.pop("files with a fix left unfixed")
    checked = sum(totals.values())
    print(f"total: {checked} files, {hold} hold ({totals['fixed-holds']} of them fixed, "
          f"{unfixed} with a fix left unfixed), "
          f"{totals['fail']} fail, {totals['black-rejects']} Black cannot format as given, "
          f"{totals['unparsable']} do not parse")
    return 1 if totals["fail"] else 0


if __name__ == "__main__":
    sys.exit(main())
