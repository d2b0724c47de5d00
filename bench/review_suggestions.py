"""Feed every finding of real Django apps to the review suggestions, as a review bot would, and
check that each suggested change still leaves a file that parses.

    .venv/bin/python bench/review_suggestions.py [--only NAME,...] [--folder PATH ...]
                                                 [--jobs N] [--static-url URL] [--pragmas]

The apps are those of bench/lint_real_packages.py (unpacked into bench/cache/ on first use),
and any app unpacked elsewhere that --folder names (its Python files and templates).
Each app is linted with checker.get_messages; every finding becomes a review finding (its
path relative to the app's root, its line, code and a body), and suggest.suggest_fixes is
called with the working directory set to an empty folder elsewhere, as a host that does not
run inside the project would call it. Each suggestion block is then put in place of the lines
its comment covers, one block at a time on the file as it is, and the result is checked:
a Python file with ast.parse, a template with Django's own template compiler (and, when the
template as it is already needs tag libraries this script cannot load, with Django's lexer:
an extends tag must still come before every other tag).

A block whose result has the same syntax tree and the same comments as the file had only
re-lays lines out: it is counted as "layout only". Then every block of a file is applied at
once, as a reviewer who accepts them all would (comments whose ranges overlap cannot be:
they are counted as "overlapping"), and the file is parsed again.

With --pragmas every finding also asks for the disable pragma of its line (as a reviewer who
silences each finding would), and the app with every pragma block applied is linted again:
the findings still reported there are printed ("left after the pragmas"), with the size of
the largest block.

Printed per app: findings, comments, suggestion blocks, blocks that parse, and the errors and
warnings the suggestions logged (the first five of them below). The exit status is non-zero
when a block does not parse, when the blocks applied together do not, when a block only
re-lays lines out, or when a finding is left after its pragma.
"""
import argparse
import ast
import collections
import logging
import os
import re
import shutil
import sys
import tempfile
import tokenize
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))
from lint_real_packages import PACKAGES, lint, lint_files, unpack  # noqa: E402

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


def encoding_of(path):
    """The encoding the file is read in: Python's rules for a Python file, UTF-8 for a template."""
    if str(path).endswith(".py"):
        with open(path, "rb") as file:
            return tokenize.detect_encoding(file.readline)[0]
    return "utf-8"


def read(path):
    return Path(path).read_text(encoding=encoding_of(path))


def comments_of(text):
    readline = iter(text.splitlines(keepends=True)).__next__
    try:
        return sorted(t.string for t in tokenize.generate_tokens(readline) if t.type == tokenize.COMMENT)
    except (tokenize.TokenError, SyntaxError):
        return None


def layout_only(path, original, applied):
    """True when the block changed neither the syntax tree nor the comments of a Python file."""
    if not path.endswith(".py") or applied == original:
        return applied == original
    try:
        same_tree = ast.dump(ast.parse(original)) == ast.dump(ast.parse(applied))
    except SyntaxError:
        return False
    return same_tree and comments_of(original) == comments_of(applied)


def apply_all(original, blocks):
    """Every (first, last, text) applied at once, from the bottom up; None when two overlap."""
    lines = original.split("\n")
    taken = sorted(blocks, key=lambda b: (b[0], b[1]))
    for before, after in zip(taken, taken[1:]):
        if after[0] <= before[1]:
            return None
    for first, last, text in reversed(taken):
        if not 1 <= first <= last <= len(lines):
            return None
        lines[first - 1 : last] = text.split("\n")
    return "\n".join(lines)


def apply(original, first, last, text):
    lines = original.split("\n")
    if not 1 <= first <= last <= len(lines):
        return None
    lines[first - 1 : last] = text.split("\n")
    return "\n".join(lines)


def review(name, jobs, static_url, pragmas):
    from vettor.staticanalysis import checker, constants, suggest

    if name in PACKAGES:
        requirement, folders, suffixes = PACKAGES[name]
        root = unpack(name, requirement, folders, suffixes)
        keys = lint_files(root, folders, suffixes, None)
    else:
        # An app unpacked elsewhere (--folder): every Python file and template under it.
        root = Path(name).resolve()
        keys = sorted(str(p.relative_to(root)) for p in root.rglob("*")
                      if p.is_file() and p.suffix in (".py", ".html"))
        name = root.name
    messages = checker.get_messages(str(root), {k: None for k in keys}, jobs=jobs)
    findings = [
        {"path": m["path"], "line": m["line"], "message-id": m["message-id"],
         "body": f"{m['message-id']} {m.get('symbol') or ''}".strip()}
        for m in messages if m.get("line") is not None and m.get("path") not in (None, "META")
    ]
    if pragmas:
        findings += [dict(f, **{"message-id": constants.SKIP_LINE_ID, "body": "silence"}) for f in findings]

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
    by_file = collections.defaultdict(list)
    for record in comments:
        blocks = BLOCK.findall(record["body"])
        if not blocks:
            continue
        original = read(root / record["path"])
        first = record.get("start_line", record["line"])
        for text in blocks:
            kind = "py" if record["path"].endswith(".py") else "html"
            counts["blocks"] += 1
            counts[f"blocks ({kind})"] += 1
            counts["largest block (lines)"] = max(counts["largest block (lines)"], text.count("\n") + 1)
            by_file[record["path"]].append((first, record["line"], text))
            applied = apply(original, first, record["line"], text)
            if applied is not None and parses(record["path"], original, applied):
                counts["blocks that parse"] += 1
                if layout_only(record["path"], original, applied):
                    counts["layout only"] += 1
                    failures.append(f"{record['path']}:{first}-{record['line']} (layout only)")
            else:
                failures.append(f"{record['path']}:{first}-{record['line']}")

    # Every block of a file at once; then, for pragmas, the app linted again.
    patched = Path(tempfile.mkdtemp(prefix="review-suggestions-"))
    try:
        shutil.copytree(root, patched / name, symlinks=True)
        for path, blocks in by_file.items():
            original = read(root / path)
            applied = apply_all(original, blocks)
            if applied is None:
                counts["overlapping"] += len(blocks)
                failures.append(f"{path}: blocks overlap")
                continue
            if not parses(path, original, applied):
                failures.append(f"{path}: does not parse with every block applied")
            (patched / name / path).write_text(applied, encoding=encoding_of(root / path))
        if pragmas:
            left = lint(patched / name, keys, jobs, 3600)["messages"]
            left = [m for m in left if m.get("path") not in (None, "META") and m.get("line") is not None]
            counts["left after the pragmas"] = len(left)
            failures += [f"{m['path']}:{m['line']} {m['message-id']} left after its pragma" for m in left]
    finally:
        shutil.rmtree(patched, ignore_errors=True)
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
    parser.add_argument("--folder", action="append", default=[],
                        help="also review the app unpacked in this folder (its root), e.g. one "
                             "fetched with pip download")
    parser.add_argument("--pragmas", action="store_true",
                        help="ask for the disable pragma of every finding, and lint again with them applied")
    args = parser.parse_args()
    names = (args.only.split(",") if args.only else DEFAULT if not args.folder else []) + args.folder
    logging.basicConfig(level=logging.CRITICAL)
    broken = False
    for name in names:
        counts, failures, logged = review(name, args.jobs, args.static_url, args.pragmas)
        order = ["findings", "findings (html)", "comments", "blocks", "blocks (py)", "blocks (html)", "blocks that parse",
                 "layout only", "overlapping", "largest block (lines)", "errors logged", "warnings logged"]
        if args.pragmas:
            order.append("left after the pragmas")
        print(f"{name}: " + ", ".join(f"{key} {counts[key]}" for key in order))
        for failure in failures:
            print(f"    {failure}" if failure.endswith(("only)", "overlap", "pragma", "applied"))
                  else f"    does not parse: {failure}")
        for level, message in logged[:5]:
            print(f"    {level.lower()}: {message}")
        broken = broken or bool(failures)
    return 1 if broken else 0


if __name__ == "__main__":
    sys.exit(main())
