"""--add-pragmas on the real packages of lint_real_packages.py: findings before, pragmas written,
findings after, every Python file still parsing, every template read by Django's lexer as the
same tokens but for the pragmas' comments (and loading as it did), and the size of the change.

Each package is copied to a temporary folder (bench/cache is never written) that is made a git
repository, so that `git diff --stat` measures the change.

    .venv/bin/python bench/add_pragmas_real_packages.py [--only wiki,dj-stripe] [--jobs N]
        [--folder examples/blog ...]

None of the packages has a template finding; --folder adds a project folder of your own
(the example blog has some) to the table.
"""
import argparse
import ast
import json
import os
import shutil
import subprocess
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).parent))
from lint_real_packages import PACKAGES, unpack  # noqa: E402

COMMAND = [sys.executable, "-m", "vettor.staticanalysis"]


def vettor(*args, cwd):
    return subprocess.run([*COMMAND, *args], capture_output=True, text=True, cwd=cwd)


def git(*args, cwd):
    return subprocess.run(["git", *args], capture_output=True, text=True, cwd=cwd, check=True).stdout


def findings(root, jobs):
    result = vettor("--format", "json", "-j", str(jobs), ".", cwd=root)
    return [f for f in json.loads(result.stdout) if f.get("message_type") != "meta"]


def django_tokens(text):
    from django.template.base import Lexer, TokenType

    return [(t.token_type, t.contents) for t in Lexer(text).tokenize() if t.token_type != TokenType.COMMENT]


def loads(text):
    from django.template import Engine

    engine = Engine(
        libraries={
            name: f"django.templatetags.{name}" for name in ("static", "i18n", "l10n", "tz", "cache")
        }
    )
    try:
        engine.from_string(text)
        return "loads"
    except Exception as error:  # an app's own tag library, unknown here
        return type(error).__name__


def same_tokens(text_before, text_after):
    # The lexer joins a comment into the text around it differently, so the text tokens are
    # compared with the comments' whitespace left out.
    def squeezed(tokens):
        return [(kind, "".join(contents.split()) if kind.name == "TEXT" else contents) for kind, contents in tokens]

    merged = []
    for kind, contents in squeezed(django_tokens(text_after)):
        if merged and kind.name == "TEXT" and merged[-1][0].name == "TEXT":
            merged[-1] = (kind, merged[-1][1] + contents)
        else:
            merged.append((kind, contents))
    return merged == squeezed(django_tokens(text_before))


def check_files(before, after):
    """(python files that no longer parse, templates whose tokens or loading changed)."""
    broken_python, changed_templates = [], []
    for path in after.rglob("*"):
        relative = path.relative_to(after)
        if ".git" in relative.parts or not path.is_file():
            continue
        old = before / relative
        if path.suffix == ".py":
            try:
                ast.parse(path.read_bytes())
            except SyntaxError:
                try:
                    ast.parse(old.read_bytes())
                except SyntaxError:
                    continue  # it did not parse before either
                broken_python.append(str(relative))
        elif path.suffix == ".html" and "templates" in relative.parts:
            text_before, text_after = old.read_text(encoding="utf-8", errors="replace"), path.read_text(
                encoding="utf-8", errors="replace"
            )
            if text_before == text_after:
                continue
            if not same_tokens(text_before, text_after) or loads(text_before) != loads(text_after):
                changed_templates.append(str(relative))
    return broken_python, changed_templates


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--only", help="comma-separated package names: " + ", ".join(PACKAGES))
    parser.add_argument("--jobs", type=int, default=os.cpu_count())
    parser.add_argument("--folder", action="append", default=[], help="a project folder to add")
    args = parser.parse_args()
    import django
    from django.conf import settings

    settings.configure(USE_I18N=True)
    django.setup()
    names = args.only.split(",") if args.only is not None else list(PACKAGES)
    sources = [(name, unpack(name, *PACKAGES[name])) for name in names if name]
    sources += [(Path(folder).name, Path(folder).resolve()) for folder in args.folder]
    rows = []
    for name, source in sources:
        with tempfile.TemporaryDirectory(prefix=f"pragmas-{name}-") as folder:
            root = Path(folder) / name
            shutil.copytree(source, root)
            git("init", "-q", cwd=root)
            git("add", "-A", cwd=root)
            git("-c", "user.name=bench", "-c", "user.email=bench@localhost", "commit", "-q", "-m", "as released", cwd=root)
            before = findings(root, args.jobs)
            added = vettor("--add-pragmas", "-j", str(args.jobs), ".", cwd=root)
            after = findings(root, args.jobs)
            broken_python, changed_templates = check_files(source, root)
            stat = git("diff", "--stat", cwd=root).strip().splitlines()
            row = {
                "package": name,
                "findings before": len(before),
                "add-pragmas": added.stdout.strip().splitlines()[-1] if added.stdout.strip() else "",
                "exit": added.returncode,
                "findings after": len(after),
                "left": [f"{f['path']}:{f['line']} {f['message-id']}" for f in after],
                "not silenced (stderr)": added.stderr.strip().splitlines(),
                "python files not parsing": broken_python,
                "templates changed for Django": changed_templates,
                "git diff --stat": stat[-1] if stat else "no change",
            }
            rows.append(row)
            print(json.dumps(row, indent=2), flush=True)
    print("| package | findings before | pragmas | findings after | exit | diff --stat |")
    print("|---|---|---|---|---|---|")
    for row in rows:
        print(
            f"| {row['package']} | {row['findings before']} | {row['add-pragmas']} | "
            f"{row['findings after']} | {row['exit']} | {row['git diff --stat']} |"
        )


if __name__ == "__main__":
    main()
