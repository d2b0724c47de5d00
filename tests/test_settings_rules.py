"""The settings rules through the lint driver: fixture projects whose settings modules carry
the expected findings beside the line they are reported on, linted per Django version."""
import ast
import pathlib
import re

import pytest

from vettor.staticanalysis import checker

PROJECTS = pathlib.Path(__file__).parent / "fixtures" / "settings_rules"
VERSIONS = ["1.11", "2.2", "3.0", "3.2"]

# `# [C4012 <3.0 setting='SECURE_CONTENT_TYPE_NOSNIFF' value=False]`, several per line; a
# comment line starting with "# ^" carries marks for the line above it.
MARK = re.compile(r"\[(C4\d{3})((?: (?:<|>=)\d+\.\d+)?)((?: \w+=\S+?)*)\]")


def version_tuple(text):
    return tuple(int(part) for part in text.split("."))


def applies(condition, version):
    condition = condition.strip()
    if not condition:
        return True
    if condition.startswith(">="):
        return version_tuple(version) >= version_tuple(condition[2:])
    return version_tuple(version) < version_tuple(condition[1:])


def expected_findings(root, version):
    found = []
    for path in sorted(root.rglob("*.py")):
        key = path.relative_to(root).as_posix()
        line_of_mark = 0
        for number, text in enumerate(path.read_text().splitlines(), start=1):
            if not text.lstrip().startswith("# ^"):
                line_of_mark = number
            for code, condition, pairs in MARK.findall(text):
                if applies(condition, version):
                    args = dict(pair.split("=", 1) for pair in pairs.split())
                    record = {k: ast.literal_eval(v) for k, v in args.items()}
                    found.append((key, line_of_mark, code, record))
    return sorted(found, key=repr)


def lint(root, version):
    files = {path.relative_to(root).as_posix(): None for path in root.rglob("*.py")}
    messages = checker.get_messages(str(root), files, default_django_version=version, jobs=1)
    return sorted(
        (
            (m["path"], m["line"], m["message-id"], m["message"])
            for m in messages
            if m["message-id"].startswith("C4")
        ),
        key=repr,
    )


@pytest.mark.parametrize("version", VERSIONS)
@pytest.mark.parametrize("project", ["plain", "partial", "legacy", "split", "package", "hardened", "opaque", "classbased", "configurations", "loaded", "composed", "guarded", "middleware"])
def test_findings_match_the_marks(project, version):
    root = PROJECTS / project
    assert lint(root, version) == expected_findings(root, version)


def test_the_option_names_the_modules_that_are_checked(monkeypatch):
    root = PROJECTS / "plain"
    monkeypatch.setattr(checker.meta, "get_settings_files", lambda project_root: ["elsewhere.settings"])
    assert lint(root, "3.2") == []


def test_findings_survive_parallel_workers():
    root = PROJECTS / "split"
    files = {path.relative_to(root).as_posix(): None for path in root.rglob("*.py")}
    messages = checker.get_messages(str(root), files, default_django_version="3.2", jobs=2)
    assert sorted(
        (m["path"], m["line"], m["message-id"], m["message"]) for m in messages if m["message-id"].startswith("C4")
    ) == sorted(expected_findings(root, "3.2"))


def test_every_code_has_a_symbol_in_the_driver():
    from vettor.staticanalysis.checkers import settings

    codes = [name for name in vars(settings.Codes) if name.startswith("C4")]
    assert codes == sorted(settings.Checker.msgs)
    for code in codes:
        assert checker.message_id_symbol_store[code] == settings.Checker.msgs[code][1]


def test_modules_named_for_development_are_neither_judged_nor_fixed():
    # The split project's dev.py turns DEBUG on and serves plain HTTP, as it should; base.py,
    # which both build on, is judged as production.py has it, and the fixes go there too: a
    # security setting written into base.py would reach dev.py as well.
    from vettor.staticanalysis import transformer

    root = PROJECTS / "split"
    judged = {path for path, _, _, _ in lint(root, "2.2")}
    assert judged == {"splitsite/settings/production.py"}
    # Under 2.2 production.py leaves nosniff off, which a fix sets (HSTS for subdomains and
    # preloading are left to the site's owner).
    fixed = {path for _, path in transformer.transform_files(root, None, config={"django-version": "2.2"})}
    assert fixed == judged


def test_settings_files_in_the_configuration_choose_the_modules(tmp_path):
    import shutil

    root = tmp_path / "split"
    shutil.copytree(PROJECTS / "split", root)
    (root / "pyproject.toml").write_text('[tool.vettor]\nsettings-files = ["splitsite.settings.dev"]\n')
    found = lint(root, "3.2")
    assert {path for path, _, _, _ in found} == {"splitsite/settings/dev.py"}
    assert ("splitsite/settings/dev.py", 4, "C4005", {"setting": "DEBUG", "value": True}) in found


def test_imports_inside_try_are_read_the_same_by_the_lint_and_the_fix(tmp_path):
    # production.py reads base.py inside a try block, and not local.py (a developer's own
    # overrides): the lint reports what base.py leaves insecure and what the except clause
    # sets, the fix changes production.py alone, and a lint of the fixed project finds nothing.
    import shutil

    from vettor.staticanalysis import transformer

    root = tmp_path / "guarded"
    shutil.copytree(PROJECTS / "guarded", root)
    before = {path: path.read_text() for path in root.rglob("*.py")}
    production = root / "guardsite/settings/production.py"
    assert {(path, code) for path, _, code, _ in lint(root, "3.2")} == {
        ("guardsite/settings/production.py", "C4013"), ("guardsite/settings/production.py", "C4016")}
    assert transformer.trasform_files_in_place(root, None) == ["guardsite/settings/production.py"]
    assert production.read_text() == (
        before[production]
        .replace("    from .fallback import *\n", "    from .fallback import *\nSECURE_SSL_REDIRECT = True\n")
        .replace("CSRF_COOKIE_SECURE = False  # [C4016", "CSRF_COOKIE_SECURE = True  # [C4016")
    )
    assert {path: path.read_text() for path in root.rglob("*.py") if path != production} == {
        path: text for path, text in before.items() if path != production}
    assert lint(root, "3.2") == []
    assert transformer.trasform_files_in_place(root, None) == []
