"""`vettor - --stdin-filename PATH`: the text read from standard input is linted as that file of
its project (an editor's buffer not yet saved), in every output format; the file on disk is
never read."""
import io
import json
import shutil
import subprocess
import sys
from pathlib import Path

import pytest

from test_command_line import BLOG, command_main
from vettor.staticanalysis import checker

# The models module of the example blog as an editor holds it: its nullable nickname is fixed,
# and a new field below is not.
EDITED_MODELS = (BLOG / "posts" / "models.py").read_text().replace(
    "nickname = models.CharField(max_length=100, null=True)",
    'nickname = models.CharField(max_length=100, default="", blank=True)',
).replace(
    "    body = models.TextField()\n",
    "    body = models.TextField()\n    teaser = models.TextField(null=True)\n",
)
# The list template with its second static path fixed.
EDITED_TEMPLATE = (BLOG / "posts" / "templates" / "posts" / "post_list.html").read_text().replace(
    '<img src="/static/posts/logo.png" alt="Blog logo">', "<p>Blog</p>"
)


@pytest.fixture
def blog(tmp_path, monkeypatch):
    root = Path(shutil.copytree(BLOG, tmp_path / "blog"))
    monkeypatch.chdir(root)
    return root


def with_stdin(monkeypatch, data):
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))


def lint_stdin(monkeypatch, capsys, text, *args):
    with_stdin(monkeypatch, text.encode() if isinstance(text, str) else text)
    status = command_main(["-", "-j", "1", *args])
    return status, capsys.readouterr()


def finding_lines(out):
    return [line.split(": ")[0] + " " + line.split(": ")[1] for line in out.splitlines() if ": C" in line and ":" in line.split(": ")[0]]


@pytest.mark.parametrize(
    "name, text, expected",
    [
        (
            "posts/models.py",
            EDITED_MODELS,
            {
                "posts/models.py:14:13 C2006 huge-max-length",
                "posts/models.py:16:14 C2005 missing-related-name",
                "posts/models.py:18:14 C2000 nullable-string-field",
            },
        ),
        (
            "posts/templates/posts/post_list.html",
            EDITED_TEMPLATE,
            {
                "posts/templates/posts/post_list.html:6:3 C7001 hard-coded-static-url",
                "posts/templates/posts/post_list.html:12:11 C7000 hard-coded-url",
            },
        ),
        # a file not saved yet, in a folder not made yet
        ("posts/api/serializers.py", "from posts.models import Post\nPost.objects.all().count()\n", set()),
    ],
)
def test_the_text_is_linted_as_the_file_it_names(blog, monkeypatch, capsys, name, text, expected):
    status, out = lint_stdin(monkeypatch, capsys, text, "--stdin-filename", name)
    assert out.err == ""
    assert status == (1 if expected else 0)
    found = {line for line in finding_lines(out.out) if "C1000" not in line}
    assert found == expected
    lines = out.out.splitlines()
    assert lines[:2] == ["Project: .", "Django project: yes"]
    assert lines[-1].startswith(f"Findings: {len(expected)} in ")


def test_the_json_format_gives_the_records_the_project_lint_gives(blog, monkeypatch, capsys):
    # The text as it is on disk: the same records as the lint of the file itself.
    for name in ("posts/models.py", "posts/templates/posts/post_list.html"):
        text = (blog / name).read_text()
        status, out = lint_stdin(monkeypatch, capsys, text, "--stdin-filename", name, "--format", "json")
        assert status == 1
        from_stdin = json.loads(out.out)
        # The command line adds each finding's rendered text and its fix's safety to the
        # host's record.
        assert all(record.pop("text") for record in from_stdin)
        assert {record.pop("fix") for record in from_stdin} <= {"safe", "unsafe", None}
        from_file = checker.get_messages(str(blog), {name: None, "META": None}, jobs=1)
        assert from_stdin == json.loads(json.dumps(from_file, default=str))


def test_the_file_on_disk_is_not_read(blog, monkeypatch, capsys):
    (blog / "posts" / "models.py").write_text("this is not python (\n")
    status, out = lint_stdin(
        monkeypatch, capsys, EDITED_MODELS, "--stdin-filename", "posts/models.py", "--format", "json"
    )
    codes = [record["message-id"] for record in json.loads(out.out)]
    assert status == 1 and codes == ["C2006", "C2005", "C2000", "C1000"]


def test_the_projects_configuration_and_the_command_lines_switches_apply(blog, monkeypatch, capsys):
    (blog / "pyproject.toml").write_text('[tool.vettor]\ndisable = ["C2006"]\n')
    status, out = lint_stdin(monkeypatch, capsys, EDITED_MODELS, "--stdin-filename", "posts/models.py")
    assert {line.split()[1] for line in finding_lines(out.out)} == {"C2000", "C2005"}
    status, out = lint_stdin(
        monkeypatch, capsys, EDITED_MODELS, "--stdin-filename", "posts/models.py", "--disable", "C2000,C2005"
    )
    assert status == 0 and finding_lines(out.out) == []


@pytest.mark.parametrize(
    "table, args, left",
    [
        ('per-file-ignores = { "posts/*" = ["C2000"] }', [], {"C2005", "C2006"}),
        ('per-file-ignores = { "other/*" = ["C2000"] }', [], {"C2000", "C2005", "C2006"}),
        ("", ["--per-file-ignores", "posts/models.py:C200"], set()),
        ('disable = ["C20"]', [], set()),
        ("", ["--disable", "C2"], set()),
    ],
)
def test_per_file_ignores_and_the_start_of_codes_apply_as_to_the_project_lint(
        blog, monkeypatch, capsys, table, args, left):
    (blog / "pyproject.toml").write_text(f"[tool.vettor]\n{table}\n")
    status, out = lint_stdin(monkeypatch, capsys, EDITED_MODELS, "--stdin-filename", "posts/models.py", *args)
    assert {line.split()[1] for line in finding_lines(out.out)} == left
    # The host's entry point reads the configuration as the command line hands it over.
    config = {"per-file-ignores": {"posts/*": ["C2000"]}}
    found = checker.get_text_messages(str(blog), "posts/models.py", EDITED_MODELS, config=config)
    assert "C2000" not in {record["message-id"] for record in found}


def test_without_a_name_the_text_is_stdin_py_of_the_working_directory(blog, monkeypatch, capsys):
    monkeypatch.chdir(blog / "posts")
    status, out = lint_stdin(monkeypatch, capsys, "from django.db import models\n\n\nclass Tag(models.Model):\n    name = models.CharField(max_length=10, null=True)\n")
    assert status == 1
    assert finding_lines(out.out) == ["stdin.py:5:12 C2000 nullable-string-field"]
    assert out.out.splitlines()[0] == f"Project: {blog}"


@pytest.mark.parametrize(
    "name, why",
    [
        ("posts/notes.txt", "not a Python file or template"),
        ("posts/static/page.html", "an .html file outside a templates folder"),
        ("posts/migrations/0003_more.py", "excluded"),
        (".venv/lib/models.py", "a folder the lint passes over"),
    ],
)
def test_a_name_the_project_lint_would_not_take_is_passed_over(blog, monkeypatch, capsys, name, why):
    (blog / "pyproject.toml").write_text('[tool.vettor]\nexclude = ["migrations"]\n')
    status, out = lint_stdin(monkeypatch, capsys, "x = models.CharField(null=True)\n", "--stdin-filename", name)
    assert status == 0, why
    assert out.out.splitlines()[-1] == (
        "Findings: 0 in 0 Python files and 0 templates (1 named file passed over: excluded, or "
        "not a Python file or template of the project)"
    )


def test_a_text_that_does_not_decode_is_one_line_and_status_1(blog, monkeypatch, capsys):
    status, out = lint_stdin(monkeypatch, capsys, b"name = '\xff'\n", "--stdin-filename", "posts/x.py")
    assert status == 1
    assert out.err.startswith("standard input cannot be read as posts/x.py: ")


@pytest.mark.parametrize(
    "args, line",
    [
        (["-", "posts"], "- (standard input) is linted on its own"),
        (["-", "--fix"], "--diff, --fix and --add-pragmas take files, not - (standard input)"),
        (["-", "--diff"], "--diff, --fix and --add-pragmas take files, not - (standard input)"),
        (["posts", "--stdin-filename", "posts/models.py"], "--stdin-filename applies to -"),
    ],
)
def test_mistakes_with_standard_input(blog, monkeypatch, capsys, args, line):
    with_stdin(monkeypatch, b"")
    assert command_main(args) == 2
    assert line in capsys.readouterr().err


def test_the_command_reads_its_standard_input(blog):
    # Through a real pipe, as an editor runs it.
    result = subprocess.run(
        [sys.executable, "-m", "vettor.staticanalysis", "-", "--stdin-filename", "posts/models.py",
         "--format", "github"],
        input=EDITED_MODELS,
        capture_output=True,
        text=True,
        cwd=blog,
        timeout=600,
    )
    assert result.returncode == 1, result.stderr
    assert result.stdout.splitlines()[0].startswith("::warning file=posts/models.py,line=14,col=13,")
