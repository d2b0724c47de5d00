"""Review suggestions for a host that runs anywhere: files are found under the project root
whatever the working directory, nothing outside the root is read, lines the file does not have
get no suggestion, and each file's suggestions follow that file's own quote style. The project
transform gives the same fixes from any working directory too."""
import logging
import os
import pathlib
import shutil

import astroid
import pytest

from review_records import block, comment, finding, unsafe
from vettor.staticanalysis import constants, helpers, suggest, transformer
from vettor.staticanalysis.checkers import settings

PROJECT = pathlib.Path(__file__).parent / "fixtures" / "review_project"
SKIP = constants.SKIP_LINE_ID


@pytest.fixture
def root(tmp_path, monkeypatch):
    """A copy of the project, with the working directory in another folder that holds files of
    the same relative names (a suggestion built from one of those would be wrong)."""
    project = tmp_path / "project"
    shutil.copytree(PROJECT, project)
    elsewhere = tmp_path / "elsewhere"
    (elsewhere / "shelf").mkdir(parents=True)
    (elsewhere / "templates").mkdir()
    (elsewhere / "shelf" / "__init__.py").write_text("")
    (elsewhere / "shelf" / "models.py").write_text("\n" * 8 + "class Book:\n    title = 'decoy'\n")
    (elsewhere / "templates" / "child.html").write_text("<p>decoy</p>\n" * 4)
    (tmp_path / "outside.py").write_text(
        "from django.db import models\n\n\nclass Secret(models.Model):\n"
        "    token = models.CharField(max_length=1000)\n"
    )
    (project / "link").symlink_to(tmp_path)
    monkeypatch.chdir(elsewhere)
    yield project


@pytest.fixture
def reads(monkeypatch):
    """The paths the review reads."""
    seen = []
    read = helpers.read_code_from_file
    monkeypatch.setattr(helpers, "read_code_from_file", lambda path: seen.append(str(path)) or read(path))
    return seen


@pytest.mark.parametrize(
    "path, line, code, expected",
    [
        # A relative path is the file under the project root, and is posted as given.
        ("shelf/models.py", 8, "C2006",
         [comment("shelf/models.py", 8, block("    title = models.TextField(help_text='the title')") + unsafe("C2006") + "\n\nC2006 here")]),
        # The fixes infer the project's models through its own imports, relative and absolute.
        ("shelf/views.py", 7, "C9000",
         [comment("shelf/views.py", 7, block("    return Book.objects.all().count()") + "\n\nC9000 here")]),
        ("shelf/views.py", 11, "C9000",
         [comment("shelf/views.py", 11, block("    return Same.objects.all().count()") + "\n\nC9000 here")]),
        # The extends tag stays the template's first tag, though written without a blank.
        ("templates/child.html", 3, "C7001",
         [comment("templates/child.html", 3,
                  block("{% load static %}\n{% block content %}\n<img src='{% static \"img/cover.png\" %}'>")
                  + unsafe("C7001") + "\n\nC7001 here", start_line=2)]),
        # A new setting goes before the local settings import that ends the module.
        ("shelf/settings.py", 8, "C4014",
         [comment("shelf/settings.py", 7, block('STATIC_URL = "/static/"\n\nSESSION_COOKIE_SECURE = True') + unsafe("C4014")),
          comment("shelf/settings.py", 8, "C4014 here")]),
    ],
    ids=["relative-path", "absolute-import", "relative-import", "extends-tag", "new-setting"],
)
def test_suggestions_come_from_the_project(root, path, line, code, expected):
    assert suggest.suggest_fixes([finding(path, line, code)], str(root)) == expected


@pytest.mark.parametrize(
    "path",
    ["../outside.py", "shelf/../../outside.py", "OUTSIDE", "link/outside.py"],
    ids=["parent", "through-a-folder", "absolute", "symlink"],
)
def test_a_path_out_of_the_project_gets_its_comment_only(root, reads, caplog, path):
    path = str(root.parent / "outside.py") if path == "OUTSIDE" else path
    records = [finding(path, 5, "C2006"), finding(path, 4, "C2000"), finding("shelf/models.py", 8, "C2006")]
    with caplog.at_level(logging.WARNING, logger="vettor.staticanalysis.suggest"):
        result = suggest.suggest_fixes(records, str(root))
    assert result[:2] == [comment(path, 5, "C2006 here"), comment(path, 4, "C2000 here")]
    assert result[2]["body"].startswith(block("    title = models.TextField(help_text='the title')"))
    assert reads == [str(root / "shelf" / "models.py")]  # nothing outside the root is opened
    # One line for the file, whatever the number of its findings.
    assert len(caplog.records) == 1 and "\n" not in caplog.records[0].getMessage()
    assert "not a file inside the project root" in caplog.records[0].getMessage()


def make_fifo(path):
    os.mkfifo(path)


def make_folder(path):
    path.mkdir()


def make_link_to_fifo(path):
    os.mkfifo(path.parent / "pipe")
    path.symlink_to(path.parent / "pipe")


@pytest.mark.parametrize("make", [make_fifo, make_folder, make_link_to_fifo], ids=["fifo", "folder", "link-to-fifo"])
@pytest.mark.parametrize("name", ["shelf/special.py", "templates/special.html"])
def test_a_path_that_is_not_a_regular_file_gets_its_comment_only(root, caplog, make, name):
    make(root / name)
    code = "C7001" if name.endswith(".html") else "C2006"
    records = [finding(name, 1, code), finding(name, 2, code), finding("shelf/models.py", 8, "C2006")]
    with caplog.at_level(logging.WARNING, logger="vettor.staticanalysis.suggest"):
        result = suggest.suggest_fixes(records, str(root))  # never waits for a writer
    assert result[:2] == [comment(name, 1, f"{code} here"), comment(name, 2, f"{code} here")]
    assert result[2]["body"].startswith(block("    title = models.TextField(help_text='the title')"))
    assert len(caplog.records) == 1 and "is not a regular file" in caplog.records[0].getMessage()


def test_a_file_with_a_coding_cookie_is_read_as_python_reads_it(root):
    records = [finding("shelf/legacy.py", 7, "C2006"), finding("shelf/legacy.py", 6, SKIP), finding("shelf/legacy.py", 6, "C2001")]
    assert suggest.suggest_fixes(records, str(root)) == [
        comment("shelf/legacy.py", 7, block("    title = models.TextField(verbose_name=\"titre de l'\u00e9dition\")") + unsafe("C2006") + "\n\nC2006 here"),
        comment("shelf/legacy.py", 6, block("class Edition(models.Model):  # vettor: disable=tall-model") + "\n\nC0000 here\n\nC2001 here"),
    ]


@pytest.mark.parametrize(
    "path, line, code",
    [
        ("shelf/models.py", 0, "C2006"),
        ("shelf/models.py", -1, "C2006"),
        ("shelf/models.py", 10, "C2006"),
        ("templates/child.html", 0, "C7001"),
        ("templates/child.html", -1, "C7001"),
        ("templates/child.html", 5, "C7001"),
    ],
)
def test_a_line_the_file_does_not_have_gets_its_comment_only(root, path, line, code):
    for given in (path, str(root / path)):
        result = suggest.suggest_fixes([finding(given, line, code)], str(root))
        assert result == [comment(given, line, f"{code} here")]


class IgnoredPatch:
    """unittest.mock.patch as a compiled Black sees it: the replacement is never called."""

    class Stub:
        def start(self):
            pass

        def stop(self):
            pass

    @classmethod
    def object(cls, target, attribute, new):
        return cls.Stub()


@pytest.mark.parametrize("black", ["pure", "compiled"])
def test_each_file_follows_its_own_quote_style(root, monkeypatch, black):
    if black == "compiled":
        monkeypatch.setattr(suggest, "patch", IgnoredPatch)
        monkeypatch.setattr(suggest, "black_reads_patched_quotes", lambda: False)
    records = [
        finding("shelf/reviews.py", 6, "C2000"),
        finding("shelf/models.py", 9, "C2000"),
        finding(str(root / "shelf" / "reviews.py"), 6, "C2000"),
    ]
    result = suggest.suggest_fixes(records, str(root))
    assert [record["body"].split("\n")[1] for record in result] == [
        # A new literal takes the file's quote; the author's own ones stay as written.
        '    text = models.CharField(max_length=13, default="", verbose_name=\'text\', blank=True)',
        "    isbn = models.CharField(max_length=13, default='', verbose_name=\"ISBN\", blank=True)",
        '    text = models.CharField(max_length=13, default="", verbose_name=\'text\', blank=True)',
    ]


def test_a_new_import_goes_after_the_docstring_and_the_future_imports(root, monkeypatch):
    class Visitor:
        """A settings fix that hands over a new import."""

        def visit(self, module):
            module.new_nodes.append(astroid.extract_node("from django.conf import settings"))
            return module

    monkeypatch.setattr(settings, "build_transformer_visitor", lambda **kw: Visitor())
    result = suggest.suggest_fixes([finding("shelf/settings.py", 4, "C4013")], str(root))
    assert result == [
        comment("shelf/settings.py", 2, block("from __future__ import annotations\n\nfrom django.conf import settings")),
        comment("shelf/settings.py", 4, "C4013 here"),
    ]


def test_the_project_transform_fixes_the_same_from_any_folder(root, monkeypatch):
    whitelist = ["shelf/views.py", "shelf/models.py"]
    here = {path: source for source, path in transformer.transform_files(root, whitelist)}
    monkeypatch.chdir(root)
    there = {path: source for source, path in transformer.transform_files(root, whitelist)}
    assert here == there
    assert "return Book.objects.all().count()" in here["shelf/views.py"]
    assert "return Same.objects.all().count()" in here["shelf/views.py"]
