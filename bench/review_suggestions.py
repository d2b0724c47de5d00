"""Feed every finding of real Django apps to the review suggestions, as a review bot would, and
check that each suggested change still leaves a file that parses.

    .venv/bin/python bench/review_suggestions.py [--only NAME,...] [--jobs N] [--static-url URL]

The apps are those of bench/lint_real_packages.py (unpacked into bench/cache/ on first use).
Each app is linted with checker.get_messages; every finding becomes a review finding (its
path relative to the app's root, its line, code and a body), and suggest.suggest_fixes is
called with the working directory set to an empty folder elsewhere, as a host that does not
run inside the project would call it. Each suggestion block is then put in place of the lines
its comment covers, one block at a time on the file as it is, and the result is checked:
a Python file with ast.parse, a template with Django's own template compiler (and, when the
template as it is already needs tag libraries this script cannot load, with Django's lexer:
an extends tag must still come before every other tag).

Printed per app: findings, comments, suggestion blocks, blocks that parse, and the errors and
warnings the suggestions logged (the first five of them below). The exit status is non-zero when a block does not parse.
"""
import argparse
import ast
import collections
import logging
import os
import re
import sys
import tempfile
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from lint_real_packages import PACKAGES, lint_files, unpack  # noqa: E402

BLOCK = re.compile(r"```suggestion\n(.*?)\n```", re.S)
DEFAULT = ["wiki", "dj-stripe", "django-cms"]


class Logged(logging.Handler):
    """What the suggestions log at warning level and above."""

    def __init__(self):
        super().__init__(logging.WARNING)
        self.records = []

    def emit(self, record):
        self.records.append((record.levelname, record.getMessage()))


def template_engine():
    from django.template import Engine

    builtin = {name: f"django.templatetags.{name}" for name in ("static", "i18n", "l10n", "tz", "cache")}
    return Engine(libraries=builtin)


def template_compiles(text):
    from django.template import TemplateSyntaxError

    try:
        template_engine().from_string(text)
        return True
    except TemplateSyntaxError:
        return False


def extends_comes_first(text):
    """Django's lexer's view: no tag or variable stands before an extends tag."""
    from django.template.base import Lexer, TokenType

    seen_other = False
    for token in Lexer(text).tokenize():
        if token.token_type in (TokenType.TEXT, TokenType.COMMENT):
            continue
        if token.token_type == TokenType.BLOCK and token.contents.split()[:1] == ["extends"]:
            return not seen_other
        seen_other = True
    return True


def parses(path, original, applied):
    if path.endswith(".py"):
        try:
            ast.parse(applied)
            return True
        except SyntaxError:
            return False
    if template_compiles(original):
        return template_compiles(applied)
    return extends_comes_first(applied)


def apply(original, first, last, text):
    lines = original.split("\n")
    if not 1 <= first <= last <= len(lines):
        return None
    lines[first - 1 : last] = text.split("\n")
    return "\n".join(lines)


def review(name, jobs, static_url):
    from vettor.staticanalysis import checker, suggest

    requirement, folders, suffixes = PACKAGES[name]
    root = unpack(name, requirement, folders, suffixes)
    keys = lint_files(root, folders, suffixes, None)
    messages = checker.get_messages(str(root), {k: None for k in keys}, jobs=jobs)
    findings = [
        {"path": m["path"], "line": m["line"], "message-id": m["message-id"],
         "body": f"{m['message-id']} {m.get('symbol') or ''}".strip()}
        for m in messages if m.get("line") is not None and m.get("path") not in (None, "META")
    ]

    # An app is reviewed inside a project that serves static files; the apps here come without
    # one, so the static URL a project would set is assumed when the app names none.
    from vettor.staticanalysis import meta

    own_static_url = meta.get_static_url_setting
    meta.get_static_url_setting = lambda project_root: own_static_url(project_root) or static_url

    logged = Logged()
    logger = logging.getLogger("vettor.staticanalysis.suggest")
    logger.addHandler(logged)
    logger.setLevel(logging.WARNING)
    logger.propagate = False
    here = os.getcwd()
    with tempfile.TemporaryDirectory() as elsewhere:
        os.chdir(elsewhere)
        try:
            comments = suggest.suggest_fixes(findings, str(root))
        finally:
            os.chdir(here)
            meta.get_static_url_setting = own_static_url
    logger.removeHandler(logged)
    logger.propagate = True

    counts = collections.Counter(findings=len(findings), comments=len(comments))
    counts["findings (html)"] = sum(1 for f in findings if f["path"].endswith(".html"))
    failures = []
    for record in comments:
        blocks = BLOCK.findall(record["body"])
        if not blocks:
            continue
        original = (root / record["path"]).read_text()
        first = record.get("start_line", record["line"])
        for text in blocks:
            kind = "py" if record["path"].endswith(".py") else "html"
            counts["blocks"] += 1
            counts[f"blocks ({kind})"] += 1
            applied = apply(original, first, record["line"], text)
            if applied is not None and parses(record["path"], original, applied):
                counts["blocks that parse"] += 1
            else:
                failures.append(f"{record['path']}:{first}-{record['line']}")
    levels = collections.Counter(level for level, _ in logged.records)
    counts["errors logged"] = levels["ERROR"]
    counts["warnings logged"] = levels["WARNING"]
    return counts, failures, logged.records


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--only", help="comma-separated app names: " + ", ".join(PACKAGES))
    parser.add_argument("--jobs", type=int, default=1, help="lint worker processes (default 1)")
    parser.add_argument("--static-url", default="/static/",
                        help="the static URL assumed for an app whose settings name none")
    args = parser.parse_args()
    names = args.only.split(",") if args.only else DEFAULT
    logging.basicConfig(level=logging.CRITICAL)
    broken = False
    for name in names:
        counts, failures, logged = review(name, args.jobs, args.static_url)
        order = ["findings", "findings (html)", "comments", "blocks", "blocks (py)", "blocks (html)", "blocks that parse",
                 "errors logged", "warnings logged"]
        print(f"{name}: " + ", ".join(f"{key} {counts[key]}" for key in order))
        for failure in failures:
            print(f"    does not parse: {failure}")
        for level, message in logged[:5]:
            print(f"    {level.lower()}: {message}")
        broken = broken or bool(failures)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
