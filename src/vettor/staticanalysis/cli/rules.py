"""The rules: every code with its symbol, its rule module, whether a fix exists and what it
reports, as `vettor --list-rules` prints them and as the README's table holds them
(tools/generate_rules_table.py writes it)."""
import re

from vettor.staticanalysis import checker, constants, message_templates

RULE_COLUMNS = ("code", "symbol", "module", "fix", "what it reports")


def fix_kind(code):
    """yes: --fix, --diff and the review suggestions fix it; review: only a review suggestion
    does; no: nothing does."""
    from vettor.staticanalysis import transformer

    if code in transformer.FIXED_CODES:
        return "yes"
    return "review" if code in constants.TRANSFORMABLE_RULES else "no"


def rule_rows():
    """(code, symbol, rule module, fix, what it reports) of every rule, by code: read from
    the rule checkers' msgs tables, the fixes, and the findings' own texts."""
    rows = []
    for cls in checker.python_checker_classes + checker.html_checker_classes:
        module = cls.__module__.replace("vettor.staticanalysis.", "", 1)
        for code, (_, symbol, _) in cls.msgs.items():
            text = getattr(message_templates, code, "").replace("{{", "{").replace("}}", "}")
            rows.append((code, symbol, module, fix_kind(code), text))
    return sorted(rows)


def rules_markdown():
    """The rules as the Markdown table of the README."""

    def cell(text):
        for special in ("\\", "|", "*", "<"):
            text = text.replace(special, "\\" + special)
        # An underscore inside a word (max_length) is plain text in Markdown; one at a
        # word's edge (__str__) could start emphasis.
        return re.sub(r"(?<![A-Za-z0-9])_|_(?![A-Za-z0-9])", r"\\_", text)

    lines = ["| " + " | ".join(RULE_COLUMNS) + " |", "|" + "---|" * len(RULE_COLUMNS)]
    for code, symbol, module, fix, text in rule_rows():
        lines.append(f"| {code} | `{symbol}` | `{module}` | {fix} | {cell(text)} |")
    return "\n".join(lines) + "\n"


def rules_text():
    """The rules as vettor --list-rules prints them: one line each."""
    rows = [RULE_COLUMNS[:2] + RULE_COLUMNS[3:]] + [
        (code, symbol, fix, text) for code, symbol, _, fix, text in rule_rows()
    ]
    width = max(len(symbol) for _, symbol, _, _ in rows)
    return "".join(
        f"{code:<6} {symbol:<{width}} {fix:<6} {text}\n" for code, symbol, fix, text in rows
    )
