"""pip builds the package from the repository as a user's `pip install .` does: an isolated
build, with the build tools pip fetches from the package index it is configured with."""
import importlib.machinery
import subprocess
import sys
import zipfile
from pathlib import Path

import pytest

from test_extension_modules import COMPILED

REPO = Path(__file__).resolve().parent.parent

# The Python files of the package: its __init__ files, the command line and the data layers.
PYTHON_FILES = [
    "vettor/__init__.py",
    "vettor/staticanalysis/__init__.py",
    "vettor/staticanalysis/__main__.py",
    *(
        f"vettor/staticanalysis/cli/{name}.py"
        for name in ("__init__", "commands", "config", "discovery", "formats", "process", "rules", "status")
    ),
    "vettor/staticanalysis/constants.py",
    "vettor/staticanalysis/message_templates.py",
    "vettor/staticanalysis/checkers/__init__.py",
    "vettor/staticanalysis/library_default_settings/__init__.py",
    *(
        f"vettor/staticanalysis/library_default_settings/django_{minor}.py"
        for minor in ("1_11", "2_0", "2_1", "2_2", "3_0", "3_1", "3_2")
    ),
]

# Imports each compiled module from the unpacked wheel alone, not from the checkout that the
# test environment has installed for development.
IMPORT_FROM_WHEEL = """
import importlib, sys
sys.meta_path[:] = [f for f in sys.meta_path if "editable" not in type(f).__module__]
sys.path.insert(0, sys.argv[1])
for name in sys.argv[2:]:
    module = importlib.import_module(name)
    assert module.__file__.startswith(sys.argv[1]), module.__file__
print("imported", len(sys.argv) - 2)
"""


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    out = tmp_path_factory.mktemp("wheel")
    # Unoptimised, to keep the build short: what goes into the wheel is the same.
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "pip",
            "wheel",
            "--no-deps",
            "--wheel-dir",
            str(out / "dist"),
            "--config-settings=cmake.build-type=None",
            f"--config-settings=build-dir={out / 'build'}",
            str(REPO),
        ],
        capture_output=True,
        text=True,
        timeout=3600,
    )
    assert result.returncode == 0, result.stdout[-4000:] + result.stderr[-4000:]
    (built,) = (out / "dist").glob("vettor-*.whl")
    return built


@pytest.mark.slow
def test_the_wheel_holds_the_compiled_modules_and_the_python_layers(wheel):
    names = set(zipfile.ZipFile(wheel).namelist())
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]
    missing = [m for m in COMPILED if m.replace(".", "/") + suffix not in names]
    assert not missing and len(COMPILED) == 17
    assert set(PYTHON_FILES) <= names


@pytest.mark.slow
def test_the_wheel_holds_no_cpp_sources(wheel):
    names = zipfile.ZipFile(wheel).namelist()
    assert [n for n in names if n.endswith((".cpp", ".hpp", ".h", "CMakeLists.txt"))] == []
    assert all(n.startswith(("vettor/", "vettor-")) for n in names)


@pytest.mark.slow
def test_the_wheel_installs_the_command_and_the_pins(wheel):
    archive = zipfile.ZipFile(wheel)
    info = next(n for n in archive.namelist() if n.endswith(".dist-info/entry_points.txt"))
    assert "vettor = vettor.staticanalysis.__main__:main" in archive.read(info).decode()
    metadata = archive.read(info.replace("entry_points.txt", "METADATA")).decode()
    assert (
        "Requires-Dist: pylint==2.12.2" in metadata and "Requires-Python: <3.10,>=3.9" in metadata
    )


@pytest.mark.slow
def test_the_wheels_modules_import(wheel, tmp_path):
    zipfile.ZipFile(wheel).extractall(tmp_path)
    result = subprocess.run(
        [sys.executable, "-c", IMPORT_FROM_WHEEL, str(tmp_path), *COMPILED],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"imported {len(COMPILED)}"
