"""get_messages over a project full of what real repositories contain: syntax errors, newer
syntax than the host reads, undecodable bytes, a byte-order mark, huge and very long files,
deep nesting, empty files, broken templates and symlinks, under a path with spaces and
non-ASCII letters, and what a hostile one adds: FIFOs named like modules, templates, a manage
file and a settings module, links leading out of the project, a settings module the parser
gives up on, a chain of literals too long for astroid's inference. The lint must finish, must
not raise, must report on every healthy file, and must report every file it could not analyse
as a finding of its own, logged at error level (templates it skips, and files outside the
project, at warning level), instead of dropping it silently. Nothing outside the project is
read.

Each lint runs in a child process with a time limit, so a hang fails the test instead of
stopping the suite.

Names and shapes no repository can hold (a file name that is not UTF-8, a module 1,000 folders
deep, a loop of links named like a module) go through every road, the fixes and the review
suggestions too: each costs its own file one finding or one warning, never the run."""
import contextlib
import json
import logging
import re
import subprocess
import sys
import tempfile
import textwrap
from pathlib import Path

import pytest

import hostile_corpus

TIMEOUT = 900  # seconds; the machine may be shared, a hang is what this catches

# Files that cannot be analysed: each is one finding, with the code and the start of its
# message, and is named in an error-level log line.
UNANALYSABLE = {
    "shop/syntax_error.py": ("E0001", "invalid syntax (<unknown>, line 4)"),
    "shop/match_statement.py": ("E0001", "invalid syntax (<unknown>, line 2)"),
    "shop/deep_nesting.py": ("F0001", "astroid could not build the module: RecursionError: "),
    "shop/dangling.py": ("F0001", "cannot read the file: it is a symbolic link to a missing file"),
    "shop/fifo.py": ("F0001", "cannot read the file: it is not a regular file"),
    "tools/manage.py": ("F0001", "cannot read the file: it is not a regular file"),
    "shop/conf/settings.py": ("F0001", "cannot read the file: it is not a regular file"),
    "legacy/settings.py": ("F0001", "astroid could not build the module: MemoryError"),
}
# Templates that cannot be read or tokenized, or lead out of the project, named in a warning.
SKIPPED_TEMPLATES = [
    "shop/templates/shop/broken.html",
    "shop/templates/shop/latin1.html",
    "shop/templates/shop/dangling.html",
    "shop/templates/shop/fifo.html",
    "shop/templates/shop/outside.html",
]

RUNNER = textwrap.dedent(
    """
    import json, logging, sys
    records = []

    class Keep(logging.Handler):
        def emit(self, record):
            records.append((record.levelname, record.getMessage()))

    logging.getLogger().addHandler(Keep())
    logging.getLogger().setLevel(logging.WARNING)
    from vettor.staticanalysis import checker
    root, keys, jobs = json.loads(sys.stdin.read())
    error = None
    try:
        messages = checker.get_messages(root, {k: None for k in keys}, jobs=jobs)
    except BaseException as e:  # the test reports it
        import traceback
        error, messages = traceback.format_exc(), []
    print(json.dumps({"error": error, "logs": records, "messages": messages}, default=repr))
    """
)


def lint_in_child(root, keys, jobs, cwd):
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER],
        input=json.dumps([str(root), keys, jobs]),
        capture_output=True,
        text=True,
        timeout=TIMEOUT,
        cwd=cwd,
    )
    assert proc.returncode == 0, proc.stderr[-3000:]
    outcome = json.loads(proc.stdout.strip().splitlines()[-1])
    outcome["stderr"] = proc.stderr
    return outcome


@pytest.fixture(scope="module")
def project(tmp_path_factory):
    return hostile_corpus.build(tmp_path_factory.mktemp("hostile"))


MARK = re.compile(r"#.*\[(C\d{4})\b[^\]]*\]")


def expected_marks(root, keys):
    found = set()
    for key in keys:
        path = Path(root) / key
        if (key in UNANALYSABLE or key in hostile_corpus.OUTSIDE_LINKS or not path.exists()
                or key.endswith(".html")):
            continue
        text = path.read_text(encoding="utf-8-sig")
        for number, line in enumerate(text.splitlines(), start=1):
            match = MARK.search(line)
            if match:
                found.add((key, number, match.group(1)))
    return found


@pytest.fixture(scope="module", params=[1, None], ids=["jobs=1", "jobs=None"])
def result(request, project, tmp_path_factory):
    keys = [k for k in hostile_corpus.python_keys(project) if k != "shop/undecodable.py"]
    keys += hostile_corpus.template_keys(project)
    # The working directory is not the project: paths must not depend on it.
    cwd = tmp_path_factory.mktemp("elsewhere")
    return keys, lint_in_child(project, keys, request.param, cwd)


def test_lint_finishes_without_raising(result):
    _, outcome = result
    assert outcome["error"] is None


def test_every_healthy_file_reports_its_findings(project, result):
    keys, outcome = result
    found = {(m["path"], m["line"], m["message-id"]) for m in outcome["messages"]}
    expected = expected_marks(project, keys)
    assert expected, "the corpus marks findings"
    assert expected <= found
    # Symlinked files report under the link's own path.
    assert {"shop/linked_models.py", "shop/linked_dir/models.py"} <= {p for p, _, _ in found}
    assert ("shop/templates/shop/linked.html", 3, "C7000") in found
    assert ("shop/templates/shop/index.html", 3, "C7000") in found


@pytest.mark.parametrize("key", sorted(UNANALYSABLE), ids=lambda k: Path(k).name)
def test_a_file_that_cannot_be_analysed_is_one_finding_and_logged_as_an_error(key, result):
    _, outcome = result
    code, message = UNANALYSABLE[key]
    (finding,) = [m for m in outcome["messages"] if m["path"] == key]
    assert finding["message-id"] == code and finding["message"].startswith(message)
    errors = [text for level, text in outcome["logs"] if level == "ERROR"]
    assert any(Path(key).name in text for text in errors), errors


def test_no_traceback_reaches_standard_error(result):
    _, outcome = result
    assert "Traceback" not in outcome["stderr"]
    assert "RecursionError" not in outcome["stderr"]


@pytest.mark.parametrize("key", SKIPPED_TEMPLATES, ids=lambda k: Path(k).name)
def test_a_template_that_cannot_be_read_is_logged(key, result):
    _, outcome = result
    warned = [text for level, text in outcome["logs"] if level in ("WARNING", "ERROR")]
    assert any(Path(key).name in text for text in warned)


def test_files_that_are_empty_or_huge_give_no_fatal(result):
    _, outcome = result
    errors = "\n".join(text for level, text in outcome["logs"] if level == "ERROR")
    for name in ("empty.py", "huge.py", "long_lines.py", "bom.py", "__init__.py"):
        assert name not in errors


@pytest.mark.parametrize("jobs", [1, None], ids=["jobs=1", "jobs=None"])
def test_undecodable_source_is_reported_not_raised(project, tmp_path, jobs):
    outcome = lint_in_child(project, ["shop/undecodable.py", "shop/models.py"], jobs, tmp_path)
    assert outcome["error"] is None
    assert ("shop/models.py", 5, "C2000") in {
        (m["path"], m["line"], m["message-id"]) for m in outcome["messages"]
    }
    (finding,) = [m for m in outcome["messages"] if m["path"] == "shop/undecodable.py"]
    # The first byte that is not UTF-8 stands in column 46 of the first line.
    assert (finding["message-id"], finding["line"], finding["column"]) == ("E0001", 1, 46)
    assert finding["message"].startswith("the file is not valid UTF-8 (byte 0xe9 cannot be decoded)")
    errors = [text for level, text in outcome["logs"] if level == "ERROR"]
    assert any("undecodable.py" in text for text in errors)


def test_nothing_outside_the_project_is_read(result):
    _, outcome = result
    paths = {m["path"] for m in outcome["messages"]}
    assert not paths & set(hostile_corpus.OUTSIDE_LINKS)
    assert not [m for m in outcome["messages"] if "secret" in str(m["message"])]
    warned = [text for level, text in outcome["logs"] if level == "WARNING"]
    for key in hostile_corpus.OUTSIDE_LINKS:
        assert [text for text in warned if key in text and "leads outside the project root" in text]


def test_discovery_passes_over_fifos_with_a_warning(result):
    _, outcome = result
    warned = [text for level, text in outcome["logs"] if level == "WARNING"]
    for key in ("tools/manage.py", "shop/conf/settings.py"):
        (line,) = [text for text in warned if text.endswith(f"{key}: it is not a regular file")]
        assert line.startswith("Skipping ")


COMMAND = [sys.executable, "-m", "vettor.staticanalysis"]


@pytest.mark.parametrize("jobs", ["1", "2"])
def test_the_command_line_lints_the_whole_project(project, jobs):
    # Run from the project's root, the paths are the project-relative ones.
    proc = subprocess.run(COMMAND + ["-j", jobs], capture_output=True, text=True,
                          timeout=TIMEOUT, cwd=project)
    assert proc.returncode == 1, proc.stderr[-3000:]
    assert "Traceback" not in proc.stderr
    lines = proc.stdout.splitlines()
    assert lines[1:3] == ["Django project: yes", "Django version: 3.2 (Django>=3.2,<3.3 in requirements.txt)"]
    for key, (code, message) in UNANALYSABLE.items():
        assert [line for line in lines if line.startswith(f"{key}:") and f" {code} " in line
                and message in line], key
    assert any(line.startswith("shop/long_concatenation.py:5:") and " C2000 " in line for line in lines)
    assert not any(line.startswith("shop/outside.py") for line in lines)


# ---------------------------------------------------------------------------------------
# Odd names on every road


@contextlib.contextmanager
def odd_names():
    # Not under pytest's temporary folders, whose clean-up cannot remove 1,000 folders.
    parent = tempfile.mkdtemp(prefix="vettor-odd-names-")
    try:
        yield hostile_corpus.build_odd_names(parent)
    finally:
        hostile_corpus.remove_tree(parent)


@pytest.fixture(scope="module")
def odd_project():
    with odd_names() as root:
        yield root


FIXABLE_ODD_KEYS = ["shop/models.py", hostile_corpus.NOT_UTF8, hostile_corpus.DEEP]


def test_odd_names_are_linted_and_a_loop_of_links_is_one_finding(odd_project):
    from vettor.staticanalysis import checker

    messages = checker.get_messages(str(odd_project), dict.fromkeys(hostile_corpus.ODD_KEYS), jobs=1)
    found = sorted((m["path"], m["line"], m["message-id"], str(m["message"])) for m in messages)
    line = hostile_corpus.NULL_FIELD_LINE
    assert found == sorted([(key, line, "C2000", "{'name': 'label'}") for key in FIXABLE_ODD_KEYS] + [
        (hostile_corpus.LOOP, 1, "F0001", "cannot read the file: it is a loop of symbolic links")])


@pytest.fixture
def odd_project_to_write():
    with odd_names() as root:  # not a copy: copying recurses 1,000 deep
        yield root


def test_odd_names_are_fixed_and_written(odd_project_to_write):
    from vettor.staticanalysis import transformer

    root = odd_project_to_write
    # The nullable-text fix is unsafe: asked for, as the names are what is tried here.
    result = transformer.transform_files(root, None, jobs=1, unsafe_fixes=True)
    assert sorted(path for _, path in result) == sorted(FIXABLE_ODD_KEYS)
    assert result.failures == []
    assert sorted(transformer.trasform_files_in_place(root, None, jobs=1, unsafe_fixes=True)) == sorted(FIXABLE_ODD_KEYS)
    for key in FIXABLE_ODD_KEYS:
        assert "null=True" not in (root / key).read_text()


def test_a_loop_of_links_named_for_a_fix_is_skipped_with_a_warning(odd_project, caplog):
    from vettor.staticanalysis import transformer

    with caplog.at_level(logging.WARNING):
        result = transformer.transform_files(odd_project, [hostile_corpus.LOOP, hostile_corpus.NOT_UTF8], jobs=1,
                                             unsafe_fixes=True)
    assert [path for _, path in result] == [hostile_corpus.NOT_UTF8]
    (warning,) = [r.getMessage() for r in caplog.records if hostile_corpus.LOOP in r.getMessage()]
    assert warning == f"Skipped {hostile_corpus.LOOP}: Too many levels of symbolic links"


def test_odd_names_get_review_suggestions(odd_project, caplog, tmp_path, monkeypatch):
    from vettor.staticanalysis import suggest

    monkeypatch.chdir(tmp_path)
    line = hostile_corpus.NULL_FIELD_LINE
    findings = [{"path": key, "line": line, "message-id": "C2000", "body": "null"}
                for key in hostile_corpus.ODD_KEYS]
    with caplog.at_level(logging.WARNING):
        comments = suggest.suggest_fixes(findings, str(odd_project))
    suggested = {c["path"] for c in comments if "```suggestion" in c["body"]}
    assert suggested == set(FIXABLE_ODD_KEYS)
    assert [c["path"] for c in comments] == hostile_corpus.ODD_KEYS
    (warning,) = [r.getMessage() for r in caplog.records]
    assert warning.startswith(f"No suggestions for {hostile_corpus.LOOP}: ")
    assert "Too many levels of symbolic links" in warning


ROADS = [["--format", "text"], ["--format", "json"], ["--format", "github"], ["--diff"], ["--fix"]]


@pytest.mark.parametrize("road", ROADS, ids=lambda road: road[-1])
def test_odd_names_cost_a_file_not_the_command(road):
    with odd_names() as root:  # the fix writes: a project of its own
        unsafe = ["--unsafe-fixes"] if road in (["--diff"], ["--fix"]) else []
        proc = subprocess.run(COMMAND + ["-j", "1", *road, *unsafe], capture_output=True, cwd=root,
                              timeout=TIMEOUT)
        out, err = proc.stdout.decode("utf-8", "surrogateescape"), proc.stderr.decode("utf-8")
        if road == ["--fix"]:
            fixed = [key for key in FIXABLE_ODD_KEYS if "null=True" not in (root / key).read_text()]
    assert "Traceback" not in err
    assert proc.returncode == (0 if road == ["--fix"] else 1), err
    shown = {key: key.replace("\udce9", "\\xe9") for key in hostile_corpus.ODD_KEYS}
    if road == ["--format", "json"]:
        records = json.loads(out.encode("utf-8", "surrogateescape").decode("utf-8"))
        assert {(r["path"], r["message-id"]) for r in records if r["message-id"] != "C1000"} == {
            *((key, "C2000") for key in FIXABLE_ODD_KEYS), (hostile_corpus.LOOP, "F0001")}
    elif road == ["--diff"]:
        assert {f"would fix {shown[key]}" for key in FIXABLE_ODD_KEYS} <= set(err.splitlines())
        assert out.count("+++ ") == len(FIXABLE_ODD_KEYS)
    elif road == ["--fix"]:
        assert fixed == FIXABLE_ODD_KEYS
        assert {f"Fixed {shown[key]}" for key in FIXABLE_ODD_KEYS} <= set(out.splitlines())
    else:
        out.encode("utf-8")  # printable as it is: nothing undecodable left
        for key in hostile_corpus.ODD_KEYS:
            assert shown[key] in out


def test_a_text_fixed_under_a_name_that_is_not_utf8(odd_project):
    from vettor.staticanalysis import transformer

    path = str(odd_project / hostile_corpus.NOT_UTF8)
    result = transformer.transform_code(hostile_corpus.NULL_FIELD, path, None)
    assert "null=True" not in result.code and result.reasons == {"C2000"}


# ---------------------------------------------------------------------------------------
# Files over the size limit

def padded(text, size):
    """`text` followed by comment lines up to `size` bytes: too large files are never parsed."""
    line = "# " + "x" * 77 + "\n"
    return text + line * ((size - len(text)) // len(line) + 1)


def sized_project(root, size, pyproject=""):
    files = {"shop/__init__.py": "", "shop/models.py": hostile_corpus.NULL_FIELD,
             "shop/big.py": padded(hostile_corpus.NULL_FIELD, size),
             "shop/templates/big.html": '<img src="/static/x.png">\n' * (size // 26 + 1),
             "shop/templates/small.html": '<img src="/static/y.png">\n'}
    if pyproject:
        files["pyproject.toml"] = f"[tool.vettor]\n{pyproject}\n"
    for key, text in files.items():
        (root / key).parent.mkdir(parents=True, exist_ok=True)
        (root / key).write_text(text)
    return root


SIZES = [
    # (file size in bytes, the project's table, the host's config, what the message says)
    (2_100_000, "", {}, "2.2 MB; the limit is 2 MB"),
    (30_000, "max-file-size = 0.02", {}, "0.1 MB; the limit is 0.02 MB"),
    (30_000, "", {"max-file-size": 0.02}, "0.1 MB; the limit is 0.02 MB"),
    (30_000, "max-file-size = 1", {"max-file-size": 0.02}, "0.1 MB; the limit is 0.02 MB"),
]


@pytest.mark.parametrize("size, table, config, shown", SIZES, ids=["default", "project", "host", "host-over-project"])
def test_a_file_over_the_size_limit_is_one_finding_and_the_rest_is_linted(tmp_path, caplog, size, table, config, shown):
    from vettor.staticanalysis import checker

    root = sized_project(tmp_path, size, table)
    keys = ["shop/models.py", "shop/big.py", "shop/templates/big.html", "shop/templates/small.html"]
    with caplog.at_level(logging.WARNING):
        found = checker.get_messages(str(root), dict.fromkeys(keys), config=config, jobs=1)
    assert sorted((m["path"], m["line"], m["message-id"], str(m["message"])) for m in found) == [
        ("shop/big.py", 1, "F0001", f"too large to analyse ({shown})"),
        ("shop/models.py", hostile_corpus.NULL_FIELD_LINE, "C2000", "{'name': 'label'}"),
        ("shop/templates/small.html", 1, "C7001", "{'path': '/static/y.png'}"),
    ]
    assert [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING] == [
        f"Skipped template {root / 'shop/templates/big.html'}: it is too large to analyse ({shown})"]


def test_the_host_can_raise_the_projects_limit(tmp_path):
    from vettor.staticanalysis import checker

    root = sized_project(tmp_path, 30_000, "max-file-size = 0.02")
    keys = ["shop/big.py", "shop/templates/big.html"]
    found = checker.get_messages(str(root), dict.fromkeys(keys), config={"max-file-size": 1}, jobs=1)
    assert {(m["path"], m["message-id"]) for m in found} == {
        ("shop/big.py", "C2000"), ("shop/templates/big.html", "C7001")}


def test_the_fixes_and_the_suggestions_pass_a_file_over_the_limit_by_with_a_word(tmp_path, caplog):
    from vettor.staticanalysis import suggest, transformer

    root = sized_project(tmp_path, 30_000, "max-file-size = 0.02")
    word = "too large to analyse (0.1 MB; the limit is 0.02 MB)"
    with caplog.at_level(logging.WARNING):
        result = transformer.transform_files(root, None, jobs=1, unsafe_fixes=True)
        comments = suggest.suggest_fixes(
            [{"path": key, "line": hostile_corpus.NULL_FIELD_LINE, "message-id": "C2000", "body": "null"}
             for key in ("shop/big.py", "shop/models.py")], str(root))
    assert [path for _, path in result] == ["shop/models.py"]
    assert [(path, str(error)) for path, error in result.failures] == [("shop/big.py", word)]
    assert [("```suggestion" in c["body"], c["path"]) for c in comments] == [
        (False, "shop/big.py"), (True, "shop/models.py")]
    warned = [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]
    assert f"Could not fix shop/big.py: {word}" in warned
    assert f"No suggestions for shop/big.py: it is {word}" in warned


def test_a_limit_that_is_no_size_is_a_configuration_error(tmp_path):
    from vettor.staticanalysis import checker, meta

    root = sized_project(tmp_path, 100)
    with pytest.raises(meta.ConfigurationError) as raised:
        checker.get_messages(str(root), {"shop/models.py": None}, config={"max-file-size": "2MB"}, jobs=1)
    assert str(raised.value) == "max-file-size: '2MB' is not a size in MB (a number above 0)"


@pytest.mark.parametrize("name", ["requirements.txt", "proj/settings.py"])
def test_discovery_passes_over_a_file_over_the_limit_with_a_warning(tmp_path, caplog, name):
    from vettor.staticanalysis import dependencies, meta

    (tmp_path / "proj").mkdir()
    (tmp_path / "proj" / "__init__.py").write_text("")
    (tmp_path / "requirements.txt").write_text("Django==3.2.25\n")
    (tmp_path / "proj" / "settings.py").write_text("SECRET_KEY = 'x'\nINSTALLED_APPS = []\n")
    (tmp_path / name).write_text(padded((tmp_path / name).read_text(), 2_100_000))
    with caplog.at_level(logging.WARNING):
        found = (dependencies.resolve_django_version(tmp_path), meta.get_settings_files(tmp_path))
    assert found == ((None, ["proj.settings"]) if name == "requirements.txt" else
                     ({"path": "requirements.txt", "version": "3.2", "specs": "==3.2.25"}, []))
    assert [r.getMessage() for r in caplog.records] == [
        f"Skipping {tmp_path / name}: it is too large to analyse (2.2 MB; the limit is 2 MB)"]

