"""Whether a folder holds a Django project: manage file, dependency files, source imports."""
import ast

import pytest

from vettor.staticanalysis import dependencies, meta

MANAGE_PY = 'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "site.settings")\n'


def write(root, name, content):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")


def refuse(*args, **kwargs):
    raise AssertionError("must not be called")


def test_a_manage_file_is_enough(tmp_path, monkeypatch):
    write(tmp_path, "manage.py", MANAGE_PY)
    monkeypatch.setattr(dependencies, "resolve_django_version", refuse)
    assert dependencies.is_django_repository(tmp_path) is True


def test_a_django_requirement_is_enough(tmp_path, monkeypatch):
    write(tmp_path, "requirements.txt", "Django==3.2\n")
    write(tmp_path, "app.py", "import flask\n")
    monkeypatch.setattr(dependencies, "is_django_node", refuse)
    assert dependencies.is_django_repository(str(tmp_path)) is True


@pytest.mark.parametrize(
    "files, expected",
    [
        ({"a/b/c/models.py": "from django.db import models\n"}, True),
        ({"tools/run.py": "import os\nimport django\n"}, True),
        ({"tools/run.py": "import django.db\n"}, False),
        ({"tools/run.py": "def setup():\n    import django\n    django.setup()\n"}, False),
        ({"tools/run.py": "try:\n    from django.conf import settings\nexcept ImportError:\n    pass\n"}, False),
        ({}, False),
        ({"requirements.txt": "Django>=4.0\n", "app.py": "import requests\n"}, False),
        # Files that are not Python 3 in the platform encoding say nothing either way.
        ({"old.py": 'print "hello"\n', "new/urls.py": "from django.urls import path\n"}, True),
        ({"latin.py": b"# caf\xe9\nimport django\n"}, False),
        ({"bom.py": "\ufeffimport django\n".encode("utf-8")}, True),
        ({"nul.py": b"import django\x00\n"}, False),
    ],
)
def test_source_imports(tmp_path, files, expected):
    for name, content in files.items():
        write(tmp_path, name, content)
    assert dependencies.is_django_repository(tmp_path) is expected


@pytest.mark.parametrize(
    "environment",
    [
        ".venv/lib/python3.9/site-packages",
        "venv/lib/python3.9/site-packages",
        "env/lib/python3.9/site-packages",
        "vendor/site-packages",
        "vendor/dist-packages",
    ],
)
def test_django_installed_inside_the_folder_does_not_make_it_a_project(tmp_path, environment):
    top = environment.split("/")[0]
    if top != "vendor":
        write(tmp_path, f"{top}/pyvenv.cfg", "home = /usr/bin\n")
    write(tmp_path, f"{environment}/django/core/management/__init__.py", "from django.conf import settings\n")
    write(tmp_path, f"{environment}/django/__init__.py", "from django.utils.version import get_version\n")
    write(tmp_path, "scripts/report.py", "import csv\n")
    assert dependencies.is_django_repository(tmp_path) is False
    write(tmp_path, "scripts/admin.py", "from django.contrib import admin\n")
    assert dependencies.is_django_repository(tmp_path) is True


def test_a_conda_environment_inside_the_folder_is_passed_over(tmp_path):
    write(tmp_path, "env/conda-meta/history", "")
    write(tmp_path, "env/lib/python3.9/django/__init__.py", "from django.utils.version import get_version\n")
    assert dependencies.is_django_repository(tmp_path) is False


@pytest.mark.parametrize("elsewhere, expected", [({}, False), ({"app/views.py": "from django import http\n"}, True)])
def test_a_python_file_that_cannot_be_opened_says_nothing(tmp_path, elsewhere, expected):
    # a symbolic link left behind by a deployment, pointing at a file that is not there
    (tmp_path / "app").mkdir()
    (tmp_path / "app" / "local_settings.py").symlink_to(tmp_path / "missing.py")
    (tmp_path / "manage.py").symlink_to(tmp_path / "missing-manage.py")
    for name, content in elsewhere.items():
        write(tmp_path, name, content)
    assert dependencies.is_django_repository(tmp_path) is expected


def test_errors_other_than_a_missing_manage_file_reach_the_caller(tmp_path, monkeypatch):
    def broken(project_root):
        raise PermissionError(project_root)

    monkeypatch.setattr(meta, "get_manage_file", broken)
    with pytest.raises(PermissionError):
        dependencies.is_django_repository(tmp_path)


@pytest.mark.parametrize(
    "source, expected",
    [
        ("import django\n", True),
        ("import django as dj\n", True),
        ("import os, django\n", True),
        ("import django.conf\n", False),
        ("from django import forms\n", True),
        ("from django.db.models import Q\n", True),
        ("from djangorestframework import views\n", False),
        ("from . import models\n", False),
        ("import djangoql\n", False),
        ("if True:\n    import django\n", False),
        ("class A:\n    from django.db import models\n", False),
        ("x = 1\n", False),
    ],
)
def test_is_django_node(source, expected):
    assert dependencies.is_django_node(ast.parse(source)) is expected
    assert dependencies.is_django_node(node=ast.parse(source)) is expected
