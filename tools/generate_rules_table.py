"""Rewrite the rules table of README.md from the rule checkers' msgs tables.

The table lists every code with its symbol, its rule module, whether a fix exists and the
text its findings print; `vettor --list-rules` prints the same rows. The README's copy sits
between the two marker lines below, and tests/test_api_documentation.py fails when it no
longer matches the package: run this after adding a rule or changing a message text.

Usage: python tools/generate_rules_table.py
"""
import sys
from pathlib import Path

from vettor.staticanalysis.cli.rules import rules_markdown

README = Path(__file__).resolve().parent.parent / "README.md"
START = "<!-- rules: written by tools/generate_rules_table.py -->\n"
END = "<!-- end of rules -->\n"


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
