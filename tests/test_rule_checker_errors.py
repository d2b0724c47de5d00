"""A rule checker that fails while judging one node loses that node's findings only, and says so.

pylint ends a module's walk at the first exception out of a visit method, and the linter then
drops every later finding of that module, of every rule. Astroid's inference does fail on real
code (it runs out of stack on long generated expressions), so each case below makes one rule
fail on one node and lints the module through get_messages: the findings on the other nodes
must all come back, the failure must be logged with the file and the line, and the module gets
one fatal finding (F0001) on that line, so that a lint never loses a finding without a word."""
import logging

import pytest

from vettor.staticanalysis import checker, helpers
from vettor.staticanalysis.checkers import classorder, columns, migrations, querysets, urls

FIELDS = """from django.db import models


class Post(models.Model):
    title = models.CharField(max_length=10, null=True)
    body = models.CharField(max_length=1000, null=True)
    slug = models.CharField(max_length=10, null=True)


class Page(models.Model):
    name = models.CharField(max_length=10, null=True)
"""

LAYOUT = """from django.db import models


class Order(models.Model):
    def save(self):
        pass

    def __str__(self):
        return "order"


class Invoice(models.Model):
    def save(self):
        pass

    def __str__(self):
        return "invoice"
"""

ADMIN = """from django.contrib import admin


class BrokenAdmin(admin.ModelAdmin):
    pass


class BookAdmin(admin.ModelAdmin):
    pass
"""

MIGRATION = """from django.db import migrations


def forwards(apps, schema_editor):
    pass


class Migration(migrations.Migration):
    operations = [
        migrations.RunPython(forwards),
        migrations.RunPython(forwards),
        migrations.RunPython(forwards),
    ]
"""

QUERIES = """from django.db import models


class Book(models.Model):
    title = models.TextField()


len(Book.objects.all())
len(Book.objects.all())
len(Book.objects.all())
"""

URLS = """from django.urls import reverse_lazy


def first():
    return reverse_lazy("a")


def second():
    return reverse_lazy("b")


def third():
    return reverse_lazy("c")
"""


def fail_on_line(function, line):
    def failing(node, *args, **kwargs):
        if node.fromlineno == line:
            raise RecursionError("maximum recursion depth exceeded")
        return function(node, *args, **kwargs)

    return failing


def fail_method_on_line(method, line):
    def failing(self, node):
        if node.fromlineno == line:
            raise RecursionError("maximum recursion depth exceeded")
        return method(self, node)

    return failing


def fail_on_class(function, name):
    def failing(node):
        if getattr(node, "name", None) == name:
            raise RecursionError("maximum recursion depth exceeded")
        return function(node)

    return failing


CASES = [
    # (case, file, source, owner, attribute, replacement, failing line, expected findings)
    ("columns_call", "shop/models.py", FIELDS,
     columns, "is_null_stringfield", lambda f: fail_on_line(f, 6), 6,
     [(5, "C2000", {"name": "title"}),
      (6, "C2006", {"name": "body", "value": 1000}),  # reported before the failing rule
      (7, "C2000", {"name": "slug"}),
      (11, "C2000", {"name": "name"})]),
    ("columns_keyword", "shop/models.py", FIELDS.replace("null=True)", "null=False)"),
     columns, "is_redundant_kwargs", lambda f: fail_on_line(f, 6), 6,
     [(5, "C2002", {"name": "title", "option": "null", "value": False}),
      (6, "C2006", {"name": "body", "value": 1000}),
      (7, "C2002", {"name": "slug", "option": "null", "value": False}),
      (11, "C2002", {"name": "name", "option": "null", "value": False})]),
    ("classorder_member", "shop/models.py", LAYOUT,
     classorder.Checker, "check_attribute_order", lambda f: fail_method_on_line(f, 8), 8,
     [(16, "C3002", {"before": "__str__", "after": "save"})]),
    ("admin_class", "shop/views.py", ADMIN,
     helpers, "is_model_admin", lambda f: fail_on_class(f, "BrokenAdmin"), 4,
     [(8, "C5000", {"name": "BookAdmin"})]),
    ("migrations_call", "shop/migrations/0002_data.py", MIGRATION,
     migrations, "is_missing_reverse", lambda f: fail_on_line(f, 11), 11,
     [(10, "C8001", {"forwards_name": "forwards"}),
      (12, "C8001", {"forwards_name": "forwards"})]),
    ("querysets_call", "shop/queries.py", QUERIES,
     querysets, "is_queryset_length", lambda f: fail_on_line(f, 9), 9,
     [(8, "C9000", {"foo": "bar"}),
      (10, "C9000", {"foo": "bar"})]),
    ("urls_call", "shop/views.py", URLS,
     urls, "is_misusing_reverse_lazy", lambda f: fail_on_line(f, 9), 9,
     [(5, "C6002", {"signature": "reverse_lazy('a')"}),
      (13, "C6002", {"signature": "reverse_lazy('c')"})]),
]


@pytest.mark.parametrize(
    "relative, source, owner, attribute, replacement, line, expected",
    [case[1:] for case in CASES], ids=[case[0] for case in CASES])
def test_failure_on_one_node_keeps_the_module_findings(
        tmp_path, monkeypatch, caplog, relative, source, owner, attribute, replacement, line,
        expected):
    path = tmp_path / relative
    path.parent.mkdir(parents=True)
    for folder in {tmp_path / "shop", path.parent}:
        (folder / "__init__.py").write_text("")
    path.write_text(source)
    monkeypatch.setattr(owner, attribute, replacement(getattr(owner, attribute)))
    caplog.set_level(logging.WARNING, logger="vettor.staticanalysis.checkers")

    records = checker.get_messages(str(tmp_path), {relative: None}, "3.2", {}, 1)

    own = [(r["line"], r["message-id"], r["message"]) for r in records
           if r["message-id"].startswith(("C2", "C3", "C5", "C6", "C8", "C9"))]
    assert own == expected
    (fatal,) = [r for r in records if r["message-id"] == "F0001"]
    assert (fatal["path"], fatal["line"]) == (relative, line)
    assert fatal["message"].startswith(f"a rule could not judge line {line} (")
    assert "RecursionError: maximum recursion depth exceeded" in fatal["message"]
    warnings = [r.getMessage() for r in caplog.records
                if r.name.startswith("vettor.staticanalysis.checkers.")]
    assert warnings
    assert all(f"line {line} of {path}: RecursionError" in text for text in warnings)


def test_interrupt_still_ends_the_lint(tmp_path, monkeypatch):
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "__init__.py").write_text("")
    (tmp_path / "shop" / "models.py").write_text(FIELDS)

    def interrupted(node):
        raise KeyboardInterrupt

    monkeypatch.setattr(columns, "is_null_stringfield", interrupted)
    with pytest.raises(KeyboardInterrupt):
        checker.get_messages(str(tmp_path), {"shop/models.py": None}, "3.2", {}, 1)


def test_a_long_chain_of_literals_is_judged(tmp_path):
    # Longer than astroid's own inference of `+` can follow: the field is still judged.
    terms = " + ".join(f'"t{i}"' for i in range(300))
    numbers = " + ".join(str(i) for i in range(300))
    (tmp_path / "shop").mkdir()
    (tmp_path / "shop" / "__init__.py").write_text("")
    (tmp_path / "shop" / "models.py").write_text(
        "from django.db import models\n\n\n"
        "class Post(models.Model):\n"
        f"    title = models.CharField(max_length=10, null=True, help_text={terms})\n"
        f"    rank = models.IntegerField(default={numbers}, null=False)\n")
    records = checker.get_messages(str(tmp_path), {"shop/models.py": None}, "3.2", {}, 1)
    assert [(r["line"], r["message-id"], r["message"]) for r in records] == [
        (5, "C2000", {"name": "title"}),
        (6, "C2002", {"name": "rank", "option": "null", "value": False}),
    ]
