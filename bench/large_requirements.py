"""Time a lint of a small project whose requirements.txt is long (a locked file with hashes).

    .venv/bin/python bench/large_requirements.py [LINES] [PYTHON]

Writes a project with one Python file and a requirements.txt of LINES requirements (default
20000), Django pinned among them, and runs the command line over it in a child process
(PYTHON, default this interpreter: another checkout's interpreter compares two builds).
Prints the CPU time (user + system) of the child, which load on the machine disturbs far less
than the wall time, and the version line it printed.
"""
import os
import resource
import subprocess
import sys
import tempfile
from pathlib import Path


def write_project(root, lines):
    requirements = [f"package-{i}==1.{i % 10}.0" for i in range(lines - 1)]
    requirements.insert(lines // 2, "Django==3.2.25")
    (root / "requirements.txt").write_text("\n".join(requirements) + "\n")
    (root / "app.py").write_text("x = 1\n")


def main():
    lines = int(sys.argv[1]) if len(sys.argv) > 1 else 20000
    python = sys.argv[2] if len(sys.argv) > 2 else sys.executable
    with tempfile.TemporaryDirectory(prefix="vettor-requirements-") as folder:
        root = Path(folder)
        write_project(root, lines)
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        result = subprocess.run(
            [python, "-m", "vettor.staticanalysis", str(root), "--jobs", "1"],
            capture_output=True, text=True, cwd=folder, env={**os.environ, "PYTHONPATH": ""},
        )
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
    cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
    version = next((l for l in result.stdout.splitlines() if l.startswith("Django version")), "?")
    print(f"{lines} requirement lines: {cpu:.2f} s CPU, exit {result.returncode}; {version}")


if __name__ == "__main__":
    main()
