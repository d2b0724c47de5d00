"""The environment the set-up commands make holds exactly the pinned libraries."""
import importlib.metadata
import re
from pathlib import Path

import black
import black.linegen
import black.strings
import pytest

CONSTRAINTS = Path(__file__).resolve().parent.parent / "constraints.txt"


def pins():
    for line in CONSTRAINTS.read_text().splitlines():
        requirement = line.split("#", 1)[0].strip()
        if requirement:
            name, version = re.fullmatch(r"([A-Za-z0-9_.-]+)==(\S+)", requirement).groups()
            yield name, version


@pytest.mark.parametrize("name, version", list(pins()))
def test_each_pinned_library_is_installed_at_its_pin(name, version):
    assert importlib.metadata.version(name) == version


def test_black_runs_as_pure_python():
    # Compiled black binds its string helpers at build time, so the quote style the
    # suggestion builder patches into black.linegen would be silently ignored.
    for module in (black, black.linegen, black.strings):
        assert module.__file__.endswith(".py"), module.__file__
