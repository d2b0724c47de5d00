"""The package's modules are compiled extension modules, importable without build tools."""
import importlib
import importlib.machinery
import os
import subprocess
import sys

import pytest

COMPILED = [
    "vettor.staticanalysis.helpers",
    "vettor.staticanalysis.shims",
    "vettor.staticanalysis.checker",
    "vettor.staticanalysis.dependencies",
    "vettor.staticanalysis.suggest",
    "vettor.staticanalysis.checkers.columns",
    "vettor.staticanalysis.checkers.classorder",
    "vettor.staticanalysis.checkers.admin",
    "vettor.staticanalysis.checkers.migrations",
    "vettor.staticanalysis.checkers.querysets",
    "vettor.staticanalysis.checkers.urls",
    "vettor.staticanalysis.checkers.templates",
    # layers in place of modules the host platform would provide
    "vettor.staticanalysis.meta",
    "vettor.staticanalysis.render",
    "vettor.staticanalysis.checkers.settings",
]


@pytest.mark.parametrize("name", COMPILED)
def test_module_is_a_compiled_extension(name):
    module = importlib.import_module(name)
    assert isinstance(module.__loader__, importlib.machinery.ExtensionFileLoader)
    assert module.__file__.endswith(tuple(importlib.machinery.EXTENSION_SUFFIXES))


# Run in a fresh interpreter that cannot reach a compiler, CMake, ninja or the build
# backend: an import that tried to rebuild anything would fail there.
NO_BUILD_TOOLS = """
import sys
BLOCKED = ("scikit_build_core", "cmake", "ninja", "pybind11")

class Refuse:
    @staticmethod
    def find_spec(name, path=None, target=None):
        if name.split(".")[0] in BLOCKED:
            raise ImportError("build tool imported: " + name)
        return None

sys.meta_path.insert(0, Refuse)
import importlib
for name in sys.argv[1:]:
    importlib.import_module(name)
print("imported", len(sys.argv) - 1)
"""


def test_importing_the_package_needs_no_build_tools(tmp_path):
    names = COMPILED + ["vettor.staticanalysis.library_default_settings"]
    env = {key: value for key, value in os.environ.items() if not key.startswith(("CMAKE", "SKBUILD"))}
    env["PATH"] = str(tmp_path)  # no compiler, cmake or ninja to be found
    result = subprocess.run(
        [sys.executable, "-c", NO_BUILD_TOOLS, *names], capture_output=True, text=True, env=env, cwd=tmp_path
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"imported {len(names)}"
