"""./dev, the developer's and CI's entry point: what it says on a machine it cannot set up."""
import os
import shutil
import subprocess
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parent.parent
MESSAGE = "vettor needs CPython 3.9 (set PYTHON=/path/to/python3.9)\n"


@pytest.mark.skipif(os.path.exists("/usr/bin/python3.9"), reason="this machine has a CPython 3.9 in /usr/bin")
@pytest.mark.parametrize("command", ["test", "lint"])
@pytest.mark.parametrize("python", [None, "/bin/false", "/no/such/python3.9"], ids=["unset", "not 3.9", "missing"])
def test_without_cpython_3_9_it_exits_2_with_its_one_message(tmp_path, command, python):
    # A copy of the script in a folder of its own, a PATH and a HOME with no CPython 3.9.
    shutil.copy(REPO / "dev", tmp_path / "dev")
    env = {"PATH": "/usr/bin:/bin", "HOME": str(tmp_path)}
    if python is not None:
        env["PYTHON"] = python
    result = subprocess.run(["bash", str(tmp_path / "dev"), command], capture_output=True, text=True, env=env)
    assert (result.returncode, result.stderr, result.stdout) == (2, MESSAGE, "")
    assert not (tmp_path / ".venv").exists()
