"""Parsed trees kept between lints in the user's cache folder: read back when the source is the
same, owner-only, any unusable file a tree not kept, and off with "parse-cache": false."""
import gc
import json
import os
import pickle
import stat
import subprocess
import sys
import zlib

import astroid
import pytest
from astroid.builder import AstroidBuilder

from conftest import write_files
from vettor.staticanalysis import checker

# Lints a project in a fresh process (whose astroid has built nothing yet) and tells which
# modules astroid parsed from source, besides the findings.
LINT = """
import json, sys
from astroid.builder import AstroidBuilder
parsed = []
original = AstroidBuilder._data_build
def counting(self, data, modname, path):
    parsed.append(modname)
    return original(self, data, modname, path)
AstroidBuilder._data_build = counting
from vettor.staticanalysis import checker
root, files, config = json.loads(sys.argv[1])
messages = checker.get_messages(root, dict.fromkeys(files), config=config, jobs=1)
findings = sorted([m["path"], m["line"], m["message-id"]] for m in messages)
print(json.dumps({"parsed": parsed, "findings": findings,
                  "builder_restored": AstroidBuilder._data_build is counting}))
"""

SOURCES = {
    "shop/__init__.py": "",
    "shop/models.py": (
        "from django.db import models\n\n\n"
        "class Book(models.Model):\n"
        "    title = models.CharField(max_length=1000, null=True)\n"
        "    author = models.ForeignKey('auth.User', on_delete=models.CASCADE)\n"),
    "shop/views.py": (
        "from .models import Book\n\n\n"
        "def count():\n"
        "    books = Book.objects.filter(title='x')\n"
        "    return len(books)\n"),
    "shop/helpers.py": "def helper(book):\n    return book.author.id\n",
}
FILES = [path for path in SOURCES if path != "shop/__init__.py"]
PROJECT_MODULES = {"shop.models", "shop.views", "shop.helpers"}


@pytest.fixture
def project(tmp_path):
    return write_files(tmp_path / "project", SOURCES)


@pytest.fixture
def cache_home(tmp_path, monkeypatch):
    home = tmp_path / "cache"
    monkeypatch.setenv("XDG_CACHE_HOME", str(home))
    return home


def lint_in_a_fresh_process(project, cache_home):
    env = dict(os.environ, XDG_CACHE_HOME=str(cache_home))
    out = subprocess.run([sys.executable, "-c", LINT, json.dumps([str(project), FILES, {}])],
                         capture_output=True, text=True, env=env, cwd=str(project), check=True)
    result = json.loads(out.stdout.strip().splitlines()[-1])
    assert result["builder_restored"]
    return result


@pytest.fixture
def lint(project, cache_home, monkeypatch):
    """Lints the project in this process as if for the first time (its modules are dropped
    from astroid's own cache first): the project modules parsed from source, and the findings."""
    parsed = []
    original = AstroidBuilder.__dict__["_data_build"]

    def counting(self, data, modname, path):
        parsed.append(modname)
        return original(self, data, modname, path)

    monkeypatch.setattr(AstroidBuilder, "_data_build", counting)

    def run(config=None):
        for name in PROJECT_MODULES:
            astroid.MANAGER.astroid_cache.pop(name, None)
        parsed.clear()
        messages = checker.get_messages(str(project), dict.fromkeys(FILES), config=config or {},
                                        jobs=1)
        assert AstroidBuilder.__dict__["_data_build"] is counting
        findings = sorted((m["path"], m["line"], m["message-id"]) for m in messages)
        return {name for name in parsed if name in PROJECT_MODULES}, findings

    yield run
    for name in PROJECT_MODULES:
        astroid.MANAGER.astroid_cache.pop(name, None)


def trees(cache_home):
    folder = cache_home / "vettor" / "astroid-trees"
    return sorted(p for p in folder.iterdir() if not p.name.startswith(".")) if folder.exists() else []


def test_a_second_lint_reads_the_trees_the_first_one_kept(project, cache_home):
    first = lint_in_a_fresh_process(project, cache_home)
    assert PROJECT_MODULES <= set(first["parsed"])
    assert any(name.startswith("django.") for name in first["parsed"])
    kept = trees(cache_home)
    folder = cache_home / "vettor" / "astroid-trees"
    for path in (cache_home / "vettor", folder):
        assert stat.S_IMODE(path.stat().st_mode) == 0o700
    assert kept and {stat.S_IMODE(p.stat().st_mode) for p in kept} == {0o600}

    second = lint_in_a_fresh_process(project, cache_home)
    assert second["findings"] == first["findings"] and first["findings"]
    assert second["parsed"] == []


def test_a_changed_source_is_parsed_again(project, lint):
    parsed, findings = lint()
    assert parsed == PROJECT_MODULES
    assert lint() == (set(), findings)
    models = project / "shop" / "models.py"
    models.write_text(models.read_text() + "\n\nEXTRA = 1\n")
    assert lint() == ({"shop.models"}, findings)


@pytest.mark.parametrize("damage", ["truncate", "garbage", "other tree"])
def test_a_kept_tree_that_does_not_load_is_parsed_again(project, cache_home, lint, damage):
    _, findings = lint()
    other = zlib.compress(pickle.dumps(astroid.parse("x = 1", module_name="somewhere.else")))
    for path in trees(cache_home):
        data = path.read_bytes()
        path.write_bytes({"truncate": data[: len(data) // 2], "garbage": b"not a tree",
                          "other tree": other}[damage])
    assert lint() == (PROJECT_MODULES, findings)
    # The unusable files were put right.
    assert lint() == (set(), findings)


def test_a_folder_or_file_others_could_write_is_not_read(project, cache_home, lint):
    lint()
    folder = cache_home / "vettor" / "astroid-trees"
    folder.chmod(0o777)
    assert lint()[0] == PROJECT_MODULES
    folder.chmod(0o700)
    for path in trees(cache_home):
        path.chmod(0o666)
    assert lint()[0] == PROJECT_MODULES


@pytest.mark.parametrize("value", [False, "no", "off"])
def test_the_configuration_turns_the_kept_trees_off(project, cache_home, lint, value):
    parsed, findings = lint({"parse-cache": value})
    assert trees(cache_home) == []
    assert lint({"parse-cache": value}) == (PROJECT_MODULES, findings)


def test_a_kept_tree_is_the_tree_the_source_parses_to(project, cache_home, lint):
    lint()
    source = (project / "shop" / "models.py").read_text()
    fresh = AstroidBuilder(astroid.MANAGER)._data_build(source, "shop.models",
                                                        str(project / "shop" / "models.py"))
    loaded = [pickle.loads(zlib.decompress(p.read_bytes())) for p in trees(cache_home)]
    (kept,) = [tree for tree in loaded if tree.file == fresh.file]
    assert kept.repr_tree() == fresh.repr_tree()
    assert [n.as_string() for n in kept._import_from_nodes] == [
        n.as_string() for n in fresh._import_from_nodes]
    assert len(kept._delayed_assattr) == len(fresh._delayed_assattr)


def test_the_builder_is_put_back_when_the_check_raises(project, cache_home, monkeypatch):
    original = AstroidBuilder.__dict__["_data_build"]

    class Linter(checker.Linter):
        def check(self, files_or_modules):
            assert AstroidBuilder.__dict__["_data_build"] is not original
            raise RuntimeError("the check failed")

    monkeypatch.setattr(checker, "Linter", Linter)
    with pytest.raises(RuntimeError, match="the check failed"):
        checker.get_python_messages(str(project), dict.fromkeys(FILES), "3.2", jobs=1)
    assert AstroidBuilder.__dict__["_data_build"] is original


@pytest.mark.parametrize("enabled", [True, False])
@pytest.mark.parametrize("damage", [None, "garbage"])
def test_reading_kept_trees_leaves_the_collector_as_the_host_set_it(
    project, cache_home, lint, enabled, damage
):
    _, findings = lint()
    if damage:
        for path in trees(cache_home):
            path.write_bytes(zlib.compress(b"not a pickle"))
    was_enabled = gc.isenabled()
    (gc.enable if enabled else gc.disable)()
    try:
        assert lint()[1] == findings
        assert gc.isenabled() is enabled
    finally:
        (gc.enable if was_enabled else gc.disable)()
