"""The package's modules are compiled extension modules, importable without build tools."""
import importlib
import importlib.machinery

import pytest

COMPILED = [
    "vettor.staticanalysis.dependencies",
    "vettor.staticanalysis.meta",
    "vettor.staticanalysis.helpers",
    "vettor.staticanalysis.checkers.querysets",
    "vettor.staticanalysis.checkers.urls",
    "vettor.staticanalysis.checkers.templates",
    "vettor.staticanalysis.checkers.settings",
]


@pytest.mark.parametrize("name", COMPILED)
def test_module_is_a_compiled_extension(name):
    module = importlib.import_module(name)
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))
