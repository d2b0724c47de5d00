"""The host API is documented where a Python user looks: help() on every entry point names its
arguments, and the README's examples of the API run as written."""
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

from vettor.staticanalysis import checker, dependencies, suggest, transformer

REPO = Path(__file__).resolve().parent.parent

ENTRY_POINTS = [
    checker.get_messages,
    checker.get_python_messages,
    checker.get_html_messages,
    checker.get_meta_messages,
    checker.check_code,
    checker.lint_text,
    checker.get_text_messages,
    checker.read_project_config,
    checker.create_linter,
    dependencies.resolve_django_version,
    dependencies.is_django_repository,
    dependencies.get_default_django_settings,
    dependencies.module_to_dict,
    transformer.transform_code,
    transformer.transform_files,
    transformer.trasform_files_in_place,
    suggest.suggest_fixes,
]


@pytest.mark.parametrize("function", ENTRY_POINTS, ids=lambda f: f.__name__)
def test_help_describes_every_argument_by_name(function):
    signature, _, text = inspect.getdoc(function).partition("\n")
    assert signature.startswith(f"{function.__name__}(")
    parameters = re.findall(r"(\w+): object", signature)
    assert parameters, signature
    assert len(text.split()) >= 15, "a sentence or two on what it does and returns"
    for name in parameters:
        assert re.search(rf"\b{name}\b", text), f"{function.__name__}: {name} is not described"


def readme_examples():
    # A block ends at a fence on a line of its own: an example's text may hold "```".
    readme = (REPO / "README.md").read_text()
    return re.findall(r"^```python\n(.*?)^```$", readme, flags=re.S | re.M)


def documented_output(example):
    """What the example says each print() shows: the comment after it on its line, or the
    comment lines that follow it."""
    shown, lines = [], example.splitlines()
    for number, line in enumerate(lines):
        if not line.startswith("print("):
            continue
        code, _, comment = line.partition("  # ")
        if not comment:
            following = []
            for after in lines[number + 1 :]:
                if not after.startswith("# "):
                    break
                following.append(after[2:])
            comment = " ".join(following)
        shown.append(comment)
    return shown


def matches_documented(printed, documented):
    """The documented output stands for the printed line: blanks and line wrapping aside,
    "..." for an elided part, and a text literal split in two ('a' 'b') for one."""

    def squeezed(text):
        return re.sub(r"\s+", "", text).replace("''", "")

    pattern = ".*".join(map(re.escape, squeezed(documented).split("...")))
    return re.fullmatch(pattern, squeezed(printed)) is not None


@pytest.mark.parametrize(
    "printed, documented, same",
    [
        ("{'a': 1, 'b': 'x y'}", "{'a': 1,\n 'b': 'x y'}", True),
        ("['a', 'b', 'c']", "['a', 'c']", False),
        ("{'m': 'DEBUG is set, at length'}", "{'m': 'DEBUG is set, ...'}", True),
        ("{'m': 'first second'}", "{'m': 'first ' 'second'}", True),
        ("C1000 requirements.txt 3.2", "C1000 requirements.txt 3.1", False),
    ],
)
def test_documented_output_is_compared_as_a_reader_would(printed, documented, same):
    assert matches_documented(printed, documented) is same


def test_the_readme_shows_an_example_of_each_record_shape_and_argument():
    examples = "\n".join(readme_examples())
    for name in (
        "get_messages",
        "check_code",
        "suggest_fixes",
        "transform_code",
        "transform_files",
        "trasform_files_in_place",
        "settings_modpath",
        "noise",
        "whitelist",
    ):
        assert name in examples, name


@pytest.mark.parametrize("number", range(len(readme_examples())))
def test_a_readme_example_runs_as_written(number, tmp_path):
    # From a folder of its own, as a reader would, with the repository's example project.
    example = readme_examples()[number]
    result = subprocess.run(
        [sys.executable, "-c", example],
        capture_output=True,
        text=True,
        cwd=REPO,
        timeout=600,
    )
    assert result.returncode == 0, example + "\n" + result.stderr
    # The whole example ran: its last statement is the assert that checks it.
    assert example.rstrip().splitlines()[-1].startswith("assert "), example
    documented = documented_output(example)
    printed = result.stdout.splitlines()
    assert len(printed) == len(documented), result.stdout
    for line, expected in zip(printed, documented):
        assert matches_documented(line, expected), f"prints {line}\nREADME says {expected}"


def readme_rules_table():
    readme = (REPO / "README.md").read_text()
    found = re.search(
        r"^<!-- rules: .*? -->\n(.*?)^<!-- end of rules -->$", readme, flags=re.S | re.M
    )
    assert found, "the README has a rules table between its marker lines"
    return found.group(1)


def test_the_readme_lists_every_rule_as_the_rule_checkers_declare_it():
    from vettor.staticanalysis.cli.rules import rules_markdown

    table = readme_rules_table()
    assert table == rules_markdown(), "run tools/generate_rules_table.py"
    # Read back as a reader would: one row per code of the rule checkers, with its symbol.
    rows = [line.split(" | ") for line in table.splitlines()[2:]]
    listed = {row[0].lstrip("| "): row[1].strip("`") for row in rows}
    assert listed == checker.message_id_symbol_store
    fixes = {row[0].lstrip("| "): (row[3], row[4]) for row in rows}
    # A fix on every road, one on the review road only, and none; each fix's safety as its
    # rule module declares it.
    assert (fixes["C2000"], fixes["C7001"], fixes["C4005"], fixes["C2005"]) == (
        ("yes", "unsafe"),
        ("review", "unsafe"),
        ("review", "unsafe"),
        ("no", ""),
    )
    assert (fixes["C2002"], fixes["C9000"], fixes["C6002"], fixes["C8001"]) == (
        ("yes", "safe"),
        ("yes", "safe"),
        ("yes", "safe"),
        ("yes", "unsafe"),
    )
