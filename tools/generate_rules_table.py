"""Rewrite the rules table of README.md from the rule checkers' msgs tables.

The table lists every code with its symbol, its rule module, whether a fix exists, that fix's
safety (checker.fix_safety_store: each rule module declares it beside its fixes) and the text
its findings print. The README's copy sits between the two marker lines below, and
tests/test_api_documentation.py fails when it no longer matches the package: run this after
adding a rule, a fix or changing a message text.

Usage: python tools/generate_rules_table.py
"""
import re
import sys
from pathlib import Path

from vettor.staticanalysis import checker
from vettor.staticanalysis.__main__ import rule_rows

README = Path(__file__).resolve().parent.parent / "README.md"
START = "<!-- rules: written by tools/generate_rules_table.py -->\n"
END = "<!-- end of rules -->\n"
COLUMNS = ("code", "symbol", "module", "fix", "safety", "what it reports")


def cell(text):
    for special in ("\\", "|", "*", "<"):
        text = text.replace(special, "\\" + special)
    # An underscore inside a word (max_length) is plain text in Markdown; one at a word's edge
    # (__str__) could start emphasis.
    return re.sub(r"(?<![A-Za-z0-9])_|_(?![A-Za-z0-9])", r"\\_", text)


def fix_safety(code, fix):
    """safe or unsafe for a code whose fix some road makes, else nothing."""
    declared = checker.fix_safety_store.get(code)
    return declared[0] if fix != "no" and declared else ""


def rules_markdown():
    """The rules as the Markdown table of the README."""
    lines = ["| " + " | ".join(COLUMNS) + " |", "|" + "---|" * len(COLUMNS)]
    for code, symbol, module, fix, text in rule_rows():
        lines.append(
            f"| {code} | `{symbol}` | `{module}` | {fix} | {fix_safety(code, fix)} | {cell(text)} |"
        )
    return "\n".join(lines) + "\n"


def with_table(text, table):
    before, start, rest = text.partition(START)
    _, end, after = rest.partition(END)
    if not start or not end:
        raise SystemExit(f"{README}: the marker lines of the rules table are missing")
    return before + START + table + END + after


def main():
    text = README.read_text(encoding="utf-8")
    new = with_table(text, rules_markdown())
    if new != text:
        README.write_text(new, encoding="utf-8")
        print(f"{README}: rules table rewritten")
    return 0


if __name__ == "__main__":
    sys.exit(main())
