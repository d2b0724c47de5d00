"""What the command prints of a project is shown, never obeyed: file names and the strings its
findings quote (URL names here) may hold line breaks, escape sequences, GitHub workflow
commands and bytes that are not UTF-8, and no line of the output may be forged by them."""
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from vettor.staticanalysis.cli import escaping

FIXTURE = Path(__file__).parent / "fixtures" / "forged_output"

FORGED = "\n::error title=forged::boom"
# The fixture's URL names, as its urls.py spells them.
URL_NAMES = ["x\udcff", "y\n::error title=forged::z\x1b[31m"]


@pytest.mark.parametrize(
    "text, shown, in_workflow, in_property",
    [
        ("app/models.py", "app/models.py", "app/models.py", "app/models.py"),
        ("café, 50%: ok", "café, 50%: ok", "café, 50%25: ok", "café%2C 50%25%3A ok"),
        ("a" + FORGED, "a\\n::error title=forged::boom", "a%0A::error title=forged::boom",
         "a%0A%3A%3Aerror title=forged%3A%3Aboom"),
        ("a\r\tb", "a\\r\\tb", "a%0D\\tb", "a%0D\\tb"),
        ("red\x1b[31m", "red\\x1b[31m", "red\\x1b[31m", "red\\x1b[31m"),
        ("c1\x85 del\x7f nul\x00", "c1\\x85 del\\x7f nul\\x00", "c1\\x85 del\\x7f nul\\x00",
         "c1\\x85 del\\x7f nul\\x00"),
        ("line\u2028sep", "line\\u2028sep", "line\\u2028sep", "line\\u2028sep"),
        # A byte of a file name that is not UTF-8, as os.fsdecode names it; a lone surrogate.
        ("caf\udce9.py", "caf\\xe9.py", "caf\\xe9.py", "caf\\xe9.py"),
        ("x\ud800", "x\\ud800", "x\\ud800", "x\\ud800"),
    ],
)
def test_escapes(text, shown, in_workflow, in_property):
    assert escaping.visible(text) == shown
    assert escaping.workflow_text(text) == in_workflow
    assert escaping.workflow_text(text, is_property=True) == in_property


@pytest.mark.parametrize("value", [["x\udcff", "caf\udce9.py"], {"k\ud800": "\x1b\n"}, "plain é"])
def test_json_is_utf8_and_reads_back_the_same(value):
    data = escaping.json_bytes(value)
    assert json.loads(data.decode("utf-8")) == value


@pytest.fixture(scope="module")
def hostile(tmp_path_factory):
    """The fixture project, with a models module and a template whose names carry a forged
    workflow command (the template is not UTF-8, so it is skipped with a warning naming it)."""
    root = Path(shutil.copytree(FIXTURE, tmp_path_factory.mktemp("forged") / "project"))
    (root / f"app/evil{FORGED}.py").write_text(
        "from django.db import models\n\n\nclass Odd(models.Model):\n"
        "    label = models.CharField(max_length=10, null=True)\n"
    )
    template = root / f"app/templates/app/page{FORGED}\x1b[2J.html"
    template.parent.mkdir(parents=True, exist_ok=True)
    template.write_bytes(b"<p>caf\xe9</p>\n")
    return root


def run(root, *args):
    return subprocess.run(
        [sys.executable, "-m", "vettor.staticanalysis", "--jobs", "1", *args],
        capture_output=True,
        cwd=root,
        timeout=600,
    )


@pytest.mark.parametrize("output_format", ["text", "github", "json"])
def test_no_line_of_the_output_is_forged(hostile, output_format):
    result = run(hostile, "--format", output_format)
    assert result.returncode == 1, result.stderr
    out = result.stdout.decode("utf-8")  # strict: valid UTF-8 whatever the project holds
    err = result.stderr.decode("utf-8")
    for line in out.splitlines() + err.splitlines():
        assert "\x1b" not in line and "\r" not in line
        assert not line.startswith("::") or (
            output_format == "github" and line.startswith("::warning file=")
        ), line
    assert "Traceback" not in err
    # The template's warning is one line, naming the template visibly.
    skipped = [line for line in err.splitlines() if "Skipped template" in line]
    assert len(skipped) == 1 and "page\\n::error title=forged::boom\\x1b[2J.html" in skipped[0]
    if output_format == "json":
        records = json.loads(out)
        names = [r["message"]["name"] for r in records if r["message-id"] == "C6001"]
        assert sorted(names) == sorted(URL_NAMES)
        assert f"app/evil{FORGED}.py" in {r["path"] for r in records}
        return
    findings = [line for line in out.splitlines() if "C2000" in line or "C6001" in line]
    assert len(findings) == 3
    if output_format == "text":
        assert "app/evil\\n::error title=forged::boom.py:5:13: C2000" in out
        assert "URL name x\\xff is used" in out
        assert "URL name y\\n::error title=forged::z\\x1b[31m is used" in out
    else:
        assert "file=app/evil%0A%3A%3Aerror title=forged%3A%3Aboom.py,line=5" in out
        assert "URL name y%0A::error title=forged::z\\x1b[31m is used" in out


@pytest.mark.parametrize("road", ["--diff", "--fix"])
def test_the_fix_roads_name_the_files_visibly(hostile, tmp_path, road):
    root = Path(shutil.copytree(hostile, tmp_path / "project"))
    result = run(root, road, "--unsafe-fixes")
    out, err = result.stdout.decode("utf-8", "surrogateescape"), result.stderr.decode("utf-8")
    named = "app/evil\\n::error title=forged::boom.py"
    assert (f"would fix {named}" in err) if road == "--diff" else (f"Fixed {named}" in out)
    listed = err if road == "--diff" else out + err
    assert not any(line.startswith("::") for line in listed.splitlines())
    assert "Traceback" not in err
