"""Fixing a whole project: which files the diff offers, and how the fixed sources are written
back under the project root, each file in the encoding and line endings it had."""
import ast
import pathlib
import pickle
import shutil

import pytest

from vettor.staticanalysis import checker, diff, meta, suggest, transformer

FIX_PROJECT = pathlib.Path(__file__).parent / "fixtures" / "fix_project"


def snapshot(root):
    """Every file under root, relative path to bytes."""
    return {
        path.relative_to(root).as_posix(): path.read_bytes()
        for path in sorted(root.rglob("*"))
        if path.is_file()
    }


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "project"
    shutil.copytree(FIX_PROJECT, root)
    return root


@pytest.fixture
def diff_result(monkeypatch):
    """trasform_files_in_place reads what transform_files returns: make that the given pairs."""

    def use(pairs, failures=()):
        result = diff.ProjectDiff(pairs)
        result.failures = list(failures)
        result.originals = {}
        monkeypatch.setattr(transformer, "transform_files", lambda **kwargs: result)

    return use


# ---------------------------------------------------------------------------------------
# transform_files


def test_transform_files_hands_the_project_settings_to_the_diff(monkeypatch):
    calls = []
    monkeypatch.setattr(meta, "get_settings_modpath", lambda root: calls.append(("modpath", root)) or "proj.settings")
    monkeypatch.setattr(meta, "get_code_style", lambda root: calls.append(("style", root)) or {"line_length": 100})
    marker = object()

    def get_diff_plaintext(**kwargs):
        calls.append(("diff", kwargs))
        return marker

    monkeypatch.setattr(diff, "get_diff_plaintext", get_diff_plaintext)
    monkeypatch.setattr(transformer, "transform_code", None)  # never called on this road
    assert transformer.transform_files("/root", whitelist=["a.py"]) is marker
    assert calls == [
        ("modpath", "/root"),
        ("style", "/root"),
        (
            "diff",
            {
                "project_root": "/root",
                "whitelist": ["a.py"],
                "settings_modpath": "proj.settings",
                "code_style": {"line_length": 100},
            },
        ),
    ]


# ---------------------------------------------------------------------------------------
# trasform_files_in_place


def test_written_files_and_the_paths_returned(project, diff_result):
    before = snapshot(project)
    diff_result(
        [
            ("x = 1\n", "blog/clean.py"),
            ("y = 2\n", pathlib.PurePosixPath("blog/messy.py")),
            ("x = 3\n", "blog/clean.py"),  # a later pair wins and keeps the first place
        ]
    )
    written = transformer.trasform_files_in_place(project_root=str(project), whitelist=None)
    assert written == ["blog/clean.py", pathlib.PurePosixPath("blog/messy.py")]
    after = snapshot(project)
    assert after.pop("blog/clean.py") == b"x = 3\n"
    assert after.pop("blog/messy.py") == b"y = 2\n"
    before.pop("blog/clean.py"), before.pop("blog/messy.py")
    assert after == before


def test_an_empty_diff_writes_nothing(project, diff_result):
    before = snapshot(project)
    diff_result([])
    assert transformer.trasform_files_in_place(project, None) == []
    assert snapshot(project) == before


@pytest.mark.parametrize(
    "pair, message",
    [
        (("x = 1\n",), "not enough values to unpack (expected 2, got 1)"),
        (("x = 1\n", "a.py", "extra"), "too many values to unpack (expected 2)"),
    ],
)
def test_a_pair_that_does_not_unpack_fails_before_any_write(project, diff_result, pair, message):
    before = snapshot(project)
    diff_result([("x = 1\n", "blog/clean.py"), pair])
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        transformer.trasform_files_in_place(project, None)
    assert snapshot(project) == before


@pytest.mark.parametrize(
    "path",
    ["../outside.py", "blog/../../outside.py", "/tmp/outside.py", "link/outside.py"],
)
def test_nothing_is_written_outside_the_project(project, diff_result, path):
    (project / "link").symlink_to(project.parent)
    before = snapshot(project.parent)
    diff_result([("x = 1\n", "blog/clean.py"), ("x = 2\n", path)])
    with pytest.raises(ValueError, match="not a file inside the project root"):
        transformer.trasform_files_in_place(project, None)
    assert snapshot(project.parent) == before
    assert not (project.parent / "outside.py").exists()


def test_a_source_that_does_not_parse_is_never_written(project, diff_result):
    before = snapshot(project)
    diff_result([("x = 1\n", "blog/clean.py"), ("def broken(:\n", "blog/messy.py")])
    with pytest.raises(SyntaxError):
        transformer.trasform_files_in_place(project, None)
    assert snapshot(project) == before


@pytest.mark.parametrize(
    "original, written",
    [
        # a coding cookie names the encoding the file is read and written in
        (
            "# -*- coding: latin-1 -*-\nname = 'caf\u00e9'\n".encode("latin-1"),
            "# -*- coding: latin-1 -*-\nname = 'caf\u00e9s'\n".encode("latin-1"),
        ),
        # a byte-order mark stays
        (
            "name = 'caf\u00e9'\n".encode("utf-8-sig"),
            "name = 'caf\u00e9s'\n".encode("utf-8-sig"),
        ),
        # so do Windows line endings
        (b"name = 'cafe'\r\nother = 1\r\n", b"name = 'cafes'\r\nother = 1\r\n"),
        (b"name = 'cafe'\nother = 1\n", b"name = 'cafes'\nother = 1\n"),
    ],
    ids=["latin-1-cookie", "utf-8-bom", "crlf", "lf"],
)
def test_a_file_keeps_its_encoding_and_line_endings(project, diff_result, original, written):
    target = project / "blog" / "coded.py"
    target.write_bytes(original)
    text = original.decode("latin-1" if b"latin-1" in original else "utf-8-sig")
    fixed = text.replace("\r\n", "\n").replace("caf\u00e9'", "caf\u00e9s'").replace("cafe'", "cafes'")
    diff_result([(fixed, "blog/coded.py")])
    assert transformer.trasform_files_in_place(project, None) == ["blog/coded.py"]
    assert target.read_bytes() == written


def test_a_text_the_file_encoding_cannot_hold_fails_before_any_write(project, diff_result):
    target = project / "blog" / "coded.py"
    target.write_bytes(b"# coding: ascii\nname = 'x'\n")
    before = snapshot(project)
    diff_result([("x = 1\n", "blog/clean.py"), ("# coding: ascii\nname = '\u00e9'\n", "blog/coded.py")])
    with pytest.raises(UnicodeEncodeError):
        transformer.trasform_files_in_place(project, None)
    assert snapshot(project) == before


def fail_on_replace(monkeypatch):
    """The disk fills up once the new text is on its way: the step that puts it in place fails."""

    real = transformer.os.replace

    def replace(source, target):
        if pathlib.Path(target).name == "readonly":
            raise OSError(28, "No space left on device")
        real(source, target)

    monkeypatch.setattr(transformer.os, "replace", replace)


@pytest.mark.parametrize(
    "make_failing, error",
    [
        # a folder where a file is expected: opening it for writing fails
        (lambda project, monkeypatch: (project / "blog" / "readonly").mkdir(), IsADirectoryError),
        # an existing file whose new text cannot be written out in full
        (lambda project, monkeypatch: ((project / "blog" / "readonly").write_text("kept = 1\n"),
                                       fail_on_replace(monkeypatch)), OSError),
    ],
    ids=["folder", "disk-full"],
)
def test_a_failed_write_ends_the_transform_with_its_own_error(project, diff_result, monkeypatch, make_failing, error):
    make_failing(project, monkeypatch)
    before = snapshot(project)
    diff_result(
        [
            ("x = 1\n", "blog/clean.py"),
            ("x = 2\n", "blog/readonly"),
            ("x = 3\n", "blog/messy.py"),
        ],
        failures=[("blog/broken.py", SyntaxError("invalid syntax"))],
    )
    with pytest.raises(error) as raised:
        transformer.trasform_files_in_place(project, None)
    assert not isinstance(raised.value, transformer.TransformError)
    after = snapshot(project)
    # The file before it has its new text; the failing one and the later one keep theirs, and
    # nothing is left behind.
    assert after.pop("blog/clean.py") == b"x = 1\n"
    before.pop("blog/clean.py")
    assert after == before


def test_a_file_written_keeps_its_permissions(project, diff_result):
    target = project / "blog" / "clean.py"
    target.chmod(0o640)
    diff_result([("x = 1\n", "blog/clean.py")])
    transformer.trasform_files_in_place(project, None)
    assert (target.read_text(), target.stat().st_mode & 0o777) == ("x = 1\n", 0o640)


def test_the_transform_error_survives_a_process_boundary():
    error = transformer.TransformError(["blog/clean.py"], [("blog/broken.py", SyntaxError("invalid syntax"))])
    assert "blog/broken.py (invalid syntax)" in str(error)
    copy = pickle.loads(pickle.dumps(error))  # a host may run the fix in a worker process
    assert (copy.written, str(copy)) == (error.written, str(error))


# ---------------------------------------------------------------------------------------
# The diff: which files are offered


@pytest.fixture
def marker_fixes(monkeypatch):
    """A lint that reports a fixable finding on every file holding OLD, and a fix that turns OLD
    into NEW, so the diff's own choices show without the rules."""

    def get_messages(project_root, files, default_django_version="3.2", config=None, jobs=0):
        found = []
        for path in files:
            text = (pathlib.Path(project_root) / path).read_text()
            try:
                ast.parse(text)
            except SyntaxError:
                found.append({"path": path, "line": 1, "message-id": "E0001", "message": "invalid syntax"})
                continue
            if "OLD" in text:
                found.append({"path": path, "line": 1, "message-id": "C2006", "message": {}})
        return found

    def fix_findings(code, filepath, settings_modpath, findings, quote=None, settings_files=None):
        if "FAIL" in code:
            raise RuntimeError("a rule failed")
        change = suggest.StatementChange("changed", None, 0, len(code), 1, 1, code.replace("OLD", "NEW"), None)
        return transformer.FixReport(change.text, set(), [change], set(), set())

    monkeypatch.setattr(checker, "get_messages", get_messages)
    monkeypatch.setattr(transformer, "fix_findings", fix_findings)


def offered(result):
    return [(path, source) for source, path in result]


def test_the_diff_offers_the_files_a_fix_changed(project, marker_fixes):
    (project / "blog" / "views.py").write_text("value = 'OLD'\n")
    (project / "env" / "lib" / "vendored.py").write_text("value = 'OLD'\n")  # a virtualenv
    (project / "blog" / "notes.txt").write_text("OLD\n")
    result = diff.get_diff_plaintext(
        project_root=project, whitelist=None, settings_modpath="proj.settings", code_style={}
    )
    assert offered(result) == [("blog/views.py", "value = 'NEW'\n")]
    assert [path for path, _ in result.failures] == ["blog/broken.py"]
    assert result.originals == {"blog/views.py": "value = 'OLD'\n"}
    copy = pickle.loads(pickle.dumps(result))
    assert (list(copy), copy.originals) == (list(result), result.originals)
    assert result.unified_diff() == (
        "--- a/blog/views.py\n+++ b/blog/views.py\n@@ -1 +1 @@\n-value = 'OLD'\n+value = 'NEW'\n"
    )


@pytest.mark.parametrize(
    "whitelist, expected",
    [
        (["app/b.py"], ["app/b.py"]),
        ("app/b.py", ["app/b.py"]),  # one path, not its characters
        ([pathlib.Path("app")], ["app/a.py", "app/b.py", "app/sub/c.py"]),
        (["app/sub/c.py", "app", "app/a.py"], ["app/sub/c.py", "app/a.py", "app/b.py"]),
        ({"app/a.py": None, "app/page.html": [3], "gone.py": None}, ["app/a.py"]),
        ([], []),
    ],
    ids=["a-file", "a-text", "a-folder", "each-file-once", "a-file-selection", "nothing"],
)
def test_the_whitelist_names_files_and_folders(project, marker_fixes, whitelist, expected):
    for name in ["app/a.py", "app/b.py", "app/sub/c.py", "proj/d.py"]:
        (project / name).parent.mkdir(exist_ok=True)
        (project / name).write_text("x = 'OLD'\n")
    (project / "app" / "page.html").write_text("OLD\n")
    result = diff.get_diff_plaintext(
        project_root=str(project), whitelist=whitelist, settings_modpath="", code_style={}
    )
    assert [path for _, path in result] == expected
    assert result.failures == []


def test_an_absolute_whitelist_path_inside_the_project_serves(project, marker_fixes):
    (project / "blog" / "a.py").write_text("x = 'OLD'\n")
    result = diff.get_diff_plaintext(
        project_root=project, whitelist=[project / "blog" / "a.py"], settings_modpath="", code_style={}
    )
    assert offered(result) == [("blog/a.py", "x = 'NEW'\n")]


@pytest.mark.parametrize("entry", ["../elsewhere.py", "/etc", "blog/../../elsewhere.py"])
def test_a_whitelist_path_out_of_the_project_is_refused(project, marker_fixes, entry):
    with pytest.raises(ValueError, match="not inside the project root"):
        diff.get_diff_plaintext(project_root=project, whitelist=[entry], settings_modpath="", code_style={})


@pytest.mark.parametrize("whitelist", [None, ["blog"], ["blog/outside.py", "blog/a.py"], ["link", "blog/a.py"]])
def test_a_link_leading_out_of_the_project_is_skipped_with_a_word(project, marker_fixes, caplog, whitelist):
    (project.parent / "elsewhere.py").write_text("x = 'OLD'\n")
    (project / "blog" / "outside.py").symlink_to(project.parent / "elsewhere.py")
    (project / "link").symlink_to(project.parent)
    (project / "blog" / "a.py").write_text("x = 'OLD'\n")
    result = diff.get_diff_plaintext(project_root=project, whitelist=whitelist, settings_modpath="", code_style={})
    assert [path for _, path in result][-1:] == ["blog/a.py"]
    assert "blog/outside.py" not in [path for _, path in result]
    skipped = [r.getMessage() for r in caplog.records if "outside the project root" in r.getMessage()]
    assert len(skipped) == 1 and ("outside.py" in skipped[0] or "link" in skipped[0])
    assert (project.parent / "elsewhere.py").read_text() == "x = 'OLD'\n"


def test_a_failing_file_costs_only_itself(project, marker_fixes, caplog):
    (project / "blog" / "a.py").write_text("x = 'OLD'\n")
    (project / "blog" / "b.py").write_text("x = 'OLD'  # FAIL\n")
    (project / "blog" / "c.py").write_text("x = 'OLD'\n")
    result = diff.get_diff_plaintext(
        project_root=project, whitelist=["blog/a.py", "blog/b.py", "blog/c.py"], settings_modpath="", code_style={}
    )
    assert [path for _, path in result] == ["blog/a.py", "blog/c.py"]
    assert [(path, str(error)) for path, error in result.failures] == [("blog/b.py", "a rule failed")]
    assert "Could not fix blog/b.py: a rule failed" in caplog.text


def test_a_fix_that_would_drop_a_comment_is_not_offered(project, marker_fixes, monkeypatch):
    def dropping(code, filepath, settings_modpath, findings, quote=None, settings_files=None):
        change = suggest.StatementChange("changed", None, 0, len(code), 1, 1, "x = 'NEW'\n", None)
        return transformer.FixReport(change.text, set(), [change], set(), set())

    monkeypatch.setattr(transformer, "fix_findings", dropping)
    (project / "blog" / "a.py").write_text("x = 'OLD'  # keep me\n")
    result = diff.get_diff_plaintext(project_root=project, whitelist=["blog/a.py"], settings_modpath="", code_style={})
    assert list(result) == []
    assert [(path, str(error)) for path, error in result.failures] == [
        ("blog/a.py", "the fix would drop comments: 'keep me'")
    ]


def test_a_file_whose_fixes_change_nothing_is_not_offered(project, marker_fixes, monkeypatch):
    def unchanged(code, filepath, settings_modpath, findings, quote=None, settings_files=None):
        return transformer.FixReport(code, set(), [], set(), set())

    monkeypatch.setattr(transformer, "fix_findings", unchanged)
    (project / "blog" / "a.py").write_text("x  = 'OLD'\n")
    result = diff.get_diff_plaintext(project_root=project, whitelist=["blog/a.py"], settings_modpath="", code_style={})
    assert list(result) == []
    assert result.failures == []


# ---------------------------------------------------------------------------------------
# The whole road on the fixture project


FIXED = {
    "blog/models.py": """\
from django.db import models


# A post of the blog.
class Post(models.Model):
    title = models.TextField()  # long titles
    published = models.BooleanField(null=True)

    def __str__(self):
        return self.title
""",
    "blog/migrations/0001_initial.py": """\
from django.db import migrations


def forwards(apps, schema_editor):
    pass


class Migration(migrations.Migration):
    dependencies = []

    operations = [
        migrations.RunPython(forwards, migrations.RunPython.noop),
    ]
""",
    "proj/settings.py": (FIX_PROJECT / "proj" / "settings.py")
    .read_text()
    .replace("SECURE_HSTS_SECONDS = 0", "SECURE_HSTS_SECONDS = 31536000"),
}


def test_the_fixture_project_is_fixed_in_place(project):
    before = snapshot(project)
    whitelist = ["blog/models.py", "blog/migrations", "blog/clean.py", "blog/messy.py", "proj", "README.txt"]
    written = transformer.trasform_files_in_place(project_root=str(project), whitelist=whitelist)
    assert written == list(FIXED)
    after = snapshot(project)
    for path, text in FIXED.items():
        assert after.pop(path) == text.encode()
        before.pop(path)
    assert after == before  # nothing else touched, the merely untidy file included


def test_a_file_that_cannot_be_fixed_is_reported_after_the_others_are_written(project):
    before = snapshot(project)
    with pytest.raises(transformer.TransformError) as raised:
        transformer.trasform_files_in_place(project, None)
    assert raised.value.written == list(FIXED)
    assert [path for path, _ in raised.value.failures] == ["blog/broken.py"]
    after = snapshot(project)
    for path, text in FIXED.items():
        assert after.pop(path) == text.encode()
        before.pop(path)
    assert after == before


def test_transform_files_gives_the_fixed_sources_and_their_diff(project):
    result = transformer.transform_files(project, ["blog/models.py", "blog/clean.py"])
    assert list(result) == [(FIXED["blog/models.py"], "blog/models.py")]
    assert result[0].source == FIXED["blog/models.py"]
    assert result.failures == []
    assert "-    title = models.CharField(max_length=1000)  # long titles\n" in result.unified_diff()
    assert "+    title = models.TextField()  # long titles\n" in result.unified_diff()



# ---------------------------------------------------------------------------------------
# A fixed project keeps what no fix touched


def write_project(root, files, settings_module="proj.settings"):
    """A small project: manage.py naming the settings module, and the given files."""
    manage = (FIX_PROJECT / "manage.py").read_text().replace("proj.settings", settings_module)
    files = {"manage.py": manage, **files}
    for path, text in files.items():
        (root / path).parent.mkdir(parents=True, exist_ok=True)
        (root / path).write_text(text)
    return root


UNTIDY_MODELS = '''\
"""Models of the shop: C:\\\\shop\\\\data holds their files."""
from django.db import models

FLAGS = 0xFF  # every flag
LIMIT = 1_000


class Item(models.Model):
    name = models.CharField(
        max_length=1000,  # long names
        # what the shop shows
        verbose_name=r"n\\ame",
    )

    # fmt: off
    SIZES = [
        1,2,
            3]
    # fmt: on

    def big(self, items):
        if (n := len(items)) > LIMIT:
            return n
'''


def test_a_fixed_file_keeps_its_comments_spellings_and_untouched_code(tmp_path):
    root = write_project(tmp_path, {"shop/__init__.py": "", "shop/models.py": UNTIDY_MODELS})
    assert transformer.trasform_files_in_place(root, ["shop/models.py"]) == ["shop/models.py"]
    assert (root / "shop" / "models.py").read_text() == UNTIDY_MODELS.replace(
        "CharField(\n        max_length=1000,  # long names\n", "TextField(  # long names\n"
    )


# The fixture project's settings without the HSTS lifetime and the session cookie setting.
INSECURE_SETTINGS = "".join(
    line
    for line in (FIX_PROJECT / "proj" / "settings.py").read_text().splitlines(True)
    if not line.startswith(("#", "SECURE_HSTS", "SESSION_COOKIE_SECURE"))
)


ADDED = "SECURE_HSTS_SECONDS = 31536000\nSESSION_COOKIE_SECURE = True\n"


def test_settings_fixes_only_where_findings_are_and_before_the_local_settings(tmp_path):
    local = "\ntry:\n    from .local_settings import *\nexcept ImportError:\n    pass\n"
    root = write_project(tmp_path, {
        "proj/__init__.py": "",
        "proj/settings.py": INSECURE_SETTINGS + local,
        "proj/local_settings.py": "DEBUG = True\n",
    })
    assert transformer.trasform_files_in_place(root, ["proj"]) == ["proj/settings.py"]
    # The lint reports the HSTS seconds and the session cookie, and that is what is set: once
    # HSTS is on, the settings that need it (subdomains, preload) are findings of the fixed
    # module, but no fix of a project decides them for the whole domain.
    assert (root / "proj" / "settings.py").read_text() == INSECURE_SETTINGS + ADDED + local
    assert (root / "proj" / "local_settings.py").read_text() == "DEBUG = True\n"




@pytest.mark.parametrize(
    "files, reported, added",
    [
        ({"docs/examples/settings.py": INSECURE_SETTINGS}, {"C4010", "C4014"}, ADDED),
        ({"sandbox/examples/settings.py": INSECURE_SETTINGS, "sandbox/examples/__init__.py": ""},
         {"C4010", "C4014"}, ADDED),
        # Django's default middleware: findings, but no list of the module's to fix.
        ({"sandbox/examples/settings.py": "SECURE_HSTS_SECONDS = 0\n", "sandbox/examples/__init__.py": ""},
         {"C4007", "C4008", "C4009"}, None),
        ({"docs/examples/settings.py": "SECURE_HSTS_SECONDS = 0\n"}, set(), None),
    ],
    ids=["another-module", "a-package-under-a-folder", "only-unfixable-findings", "not-a-settings-module"],
)
def test_settings_fixes_are_made_where_the_lint_reports_their_findings(tmp_path, files, reported, added):
    # manage.py names examples.settings, which is not at the project's root: the lint judges
    # the settings modules the project's metadata finds, and the fixes follow its findings.
    root = write_project(tmp_path, files, settings_module="examples.settings")
    path = next(iter(files))
    findings = checker.get_messages(str(root), {path: None}, jobs=1)
    assert {finding["message-id"] for finding in findings if finding["message-id"].startswith("C4")} == reported
    written = transformer.trasform_files_in_place(root, None)
    assert written == ([path] if added else [])
    assert (root / path).read_text() == files[path] + (added or "")
