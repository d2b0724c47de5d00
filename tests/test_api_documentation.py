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
    readme = (REPO / "README.md").read_text()
    return re.findall(r"```python\n(.*?)```", readme, flags=re.S)


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
