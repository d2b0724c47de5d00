"""What a pragma in a Python file silences, by its form and by where it stands: at the end of
the `title` line, or on a line of its own just above it."""
import shutil

import pytest

from conftest import FIXTURES
from vettor.staticanalysis import checker

PROJECT = FIXTURES / "pragma_forms"
MODELS = "blog/models.py"
FIELDS = ("title", "body", "name")
CODES = ("C2000", "C2006")  # nullable-string-field, huge-max-length
EVERY = {(field, code) for field in FIELDS for code in CODES}


def lint_with_pragma(tmp_path, pragma, own_line):
    """The findings of the fixture with `pragma` put beside or above the `title` field, as
    (field, code) pairs."""
    root = tmp_path / "project"
    shutil.copytree(PROJECT, root)
    path = root / MODELS
    lines = path.read_text().splitlines(keepends=True)
    (at,) = [i for i, line in enumerate(lines) if line.lstrip().startswith("title =")]
    if own_line:
        lines.insert(at, f"    {pragma}\n")
    else:
        lines[at] = lines[at].rstrip("\n") + f"  {pragma}\n"
    path.write_text("".join(lines))
    lines = path.read_text().splitlines()
    found = set()
    for message in checker.get_messages(str(root), {MODELS: None}, jobs=1):
        field = lines[message["line"] - 1].split("=")[0].strip()
        found.add((field, message["message-id"]))
    return found


def pairs(fields, codes=CODES):
    return {(field, code) for field in fields for code in codes}


@pytest.mark.parametrize(
    "pragma, silenced_at_end_of_line, silenced_on_own_line",
    [
        # A named code or symbol: its line, or the rest of the block (not the next class).
        (
            "# vettor: disable=huge-max-length",
            pairs(["title"], ["C2006"]),
            pairs(["title", "body"], ["C2006"]),
        ),
        (
            "# vettor: disable=C2006",
            pairs(["title"], ["C2006"]),
            pairs(["title", "body"], ["C2006"]),
        ),
        (
            "# vettor: disable=C2006,nullable-string-field",
            pairs(["title"]),
            pairs(["title", "body"]),
        ),
        # `all` and a category letter: every code, with the same reach as a named one.
        ("# vettor: disable=all", pairs(["title"]), pairs(["title", "body"])),
        ("# vettor: disable=C2006,all", pairs(["title"]), pairs(["title", "body"])),
        (
            "# vettor: disable=all  # the whole line is legacy",
            pairs(["title"]),
            pairs(["title", "body"]),
        ),
        ("# vettor: disable=C", pairs(["title"]), pairs(["title", "body"])),
        # The next line only.
        ("# vettor: disable-next=all", pairs(["body"]), pairs(["title"])),
        (
            "# vettor: disable-next=huge-max-length",
            pairs(["body"], ["C2006"]),
            pairs(["title"], ["C2006"]),
        ),
        # The whole file, wherever it stands.
        ("# vettor: skip-file", EVERY, EVERY),
        # Not a pragma of the package: nothing.
        ("# vettor disable=all", set(), set()),
        ("# disable=all", set(), set()),
        # pylint's own pragma keeps pylint's meaning (`disable=all` is its skip-file).
        ("# pylint: disable=all", EVERY, EVERY),
    ],
)
def test_a_pragma_silences_what_its_form_and_place_say(
    tmp_path, pragma, silenced_at_end_of_line, silenced_on_own_line
):
    assert lint_with_pragma(tmp_path / "end", pragma, own_line=False) == (
        EVERY - silenced_at_end_of_line
    )
    assert lint_with_pragma(tmp_path / "own", pragma, own_line=True) == (
        EVERY - silenced_on_own_line
    )
