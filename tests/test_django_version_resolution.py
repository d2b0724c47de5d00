"""Which Django minor a project's dependency files ask for."""
import json
from types import SimpleNamespace

import pytest
from packaging.specifiers import SpecifierSet

from vettor.staticanalysis import dependencies

HASH = "sha256:" + "0" * 64


def details(path, version, specs):
    return {"path": path, "version": version, "specs": specs}


def write(root, name, content):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    if isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content, encoding="utf-8")
    return path


PIPFILE_LOCK = json.dumps(
    {
        "_meta": {"hash": {"sha256": "0"}, "pipfile-spec": 6, "requires": {}, "sources": []},
        "default": {
            "asgiref": {"hashes": [HASH], "version": "==3.6.0"},
            "django": {"hashes": [HASH], "index": "pypi", "version": "==3.2.4"},
        },
        "develop": {},
    }
)

CONDA_YML = """\
name: blog
dependencies:
  - python=3.9
  - pip
  - pip:
    - requests
    - Django==2.0.7
"""

SETUP_CFG = """\
[metadata]
name = blog

[options]
install_requires =
    requests
    Django>=3.1,<3.2
"""

SETUP_PY = """\
from setuptools import setup

setup(
    name="blog",
    description="A small blog for Django sites",
    packages=["blog"],
    install_requires=["requests>=2", "Django>=2.1,<2.2"],
)
"""

# One dependency file alone in the project, and what it resolves to.
SINGLE_FILES = [
    ("requirements.txt", "Django==3.2.5\n", details("requirements.txt", "3.2", "==3.2.5")),
    ("requirements.txt", "django\n", details("requirements.txt", "1.11", "")),
    ("requirements.txt", "Django>=2.2.5\n", details("requirements.txt", "2.2", ">=2.2.5")),
    ("requirements.txt", "Django>=3.2,<4\n", details("requirements.txt", "3.2", ">=3.2,<4")),
    ("requirements.txt", "DJANGO==2.0\n", details("requirements.txt", "2.0", "==2.0")),
    ("requirements.txt", "Django (>=2.2, <3)\n", details("requirements.txt", "2.2", ">=2.2,<3")),
    ("requirements.txt", "Django==2.2.*\n", details("requirements.txt", "2.2", "==2.2.*")),
    ("requirements.txt", "Django~=3.1\n", details("requirements.txt", "3.1", "~=3.1")),
    ("requirements.txt", "Django==3.2.30\n", None),
    ("requirements.txt", "Django>=4.0\n", None),
    ("requirements.txt", "Django<1.11\n", None),
    ("requirements.txt", "django-environ==0.4.5\n", None),
    ("requirements.txt", "requests\n# Django==3.2\n", None),
    ("requirements.txt", "Django==2.1  # the LTS is next\n", details("requirements.txt", "2.1", "==2.1")),
    (
        "requirements.txt",
        f"Django==3.0.1 \\\n    --hash={HASH} \\\n    --hash={HASH}\nrequests\n",
        details("requirements.txt", "3.0", "==3.0.1"),
    ),
    (
        "requirements.txt",
        'Django>=3.1,<3.2; python_version >= "3.6"\n',
        details("requirements.txt", "3.1", ">=3.1,<3.2"),
    ),
    ("requirements.txt", "requests==2.28\n", None),
    ("conda.yml", CONDA_YML, details("conda.yml", "2.0", "==2.0.7")),
    ("setup.cfg", SETUP_CFG, details("setup.cfg", "3.1", ">=3.1,<3.2")),
    ("Pipfile.lock", PIPFILE_LOCK, details("Pipfile.lock", "3.2", "==3.2.4")),
    ("Pipfile", '[packages]\nrequests = "*"\ndjango = "~=3.0"\n', details("Pipfile", "3.0", "~=3.0")),
    ("Pipfile", '[packages]\ndjango = "*"\n', details("Pipfile", "1.11", "")),
    ("setup.py", SETUP_PY, details("setup.py", "2.1", ">=2.1,<2.2")),
    # A bare "django" text anywhere before the requirement already counts, unpinned.
    (
        "setup.py",
        'setup(keywords=["django"], install_requires=["Django>=3.0"])\n',
        details("setup.py", "1.11", ""),
    ),
    ("setup.py", 'setup(name="blog", description="  ", data_files=["a.txt"])\n', None),
]


@pytest.mark.parametrize("name, content, expected", SINGLE_FILES)
def test_a_dependency_file_gives_its_django_requirement(tmp_path, name, content, expected):
    write(tmp_path, name, content)
    assert dependencies.resolve_django_version(tmp_path) == expected


def test_the_result_is_a_new_mapping_with_keys_in_order(tmp_path):
    write(tmp_path, "requirements.txt", "Django==3.2\n")
    first = dependencies.resolve_django_version(str(tmp_path))
    second = dependencies.resolve_django_version(tmp_path)
    assert list(first) == ["path", "version", "specs"]
    assert first == second and first is not second


def test_no_dependency_file_gives_none(tmp_path):
    write(tmp_path, "blog/models.py", "from django.db import models\n")
    assert dependencies.resolve_django_version(tmp_path) is None


def test_dependency_files_in_sub_folders_are_not_read(tmp_path):
    write(tmp_path, "src/requirements.txt", "Django==3.2\n")
    write(tmp_path, "src/setup.py", 'setup(install_requires=["Django==3.2"])\n')
    write(tmp_path, "docs/requirements/base.txt", "Django==3.2\n")
    write(tmp_path, "src/pyproject.toml", '[project]\ndependencies = ["Django==3.2"]\n')
    assert dependencies.resolve_django_version(tmp_path) is None


# Several dependency files in one project: which one answers.
PRECEDENCE = [
    (
        {"requirements.txt": "requests\n", "Pipfile.lock": PIPFILE_LOCK},
        details("Pipfile.lock", "3.2", "==3.2.4"),
    ),
    (
        {"requirements.txt": "Django==2.2\n", "Pipfile.lock": PIPFILE_LOCK},
        details("requirements.txt", "2.2", "==2.2"),
    ),
    (
        {"Pipfile": '[packages]\ndjango = "==3.0"\n', "conda.yml": CONDA_YML},
        details("conda.yml", "2.0", "==2.0.7"),
    ),
    (
        {"setup.py": SETUP_PY, "setup.cfg": SETUP_CFG},
        details("setup.cfg", "3.1", ">=3.1,<3.2"),
    ),
    (
        {"setup.py": SETUP_PY, "requirements.txt": "Django>=4.1\n"},
        details("setup.py", "2.1", ">=2.1,<2.2"),
    ),
]


@pytest.mark.parametrize("files, expected", PRECEDENCE)
def test_precedence_between_dependency_files(tmp_path, files, expected):
    for name, content in files.items():
        write(tmp_path, name, content)
    assert dependencies.resolve_django_version(tmp_path) == expected


def test_first_matching_file_ends_the_search(tmp_path, monkeypatch):
    write(tmp_path, "requirements.txt", "Django==2.2\n")
    write(tmp_path, "Pipfile", '[packages]\ndjango = "==3.0"\n')
    write(tmp_path, "setup.py", "this is not python (\n")
    parsed = []
    real_parse = dependencies.parse

    def recording_parse(content, file_type):
        parsed.append(file_type)
        return real_parse(content, file_type=file_type)

    monkeypatch.setattr(dependencies, "parse", recording_parse)
    assert dependencies.resolve_django_version(tmp_path)["path"] == "requirements.txt"
    assert parsed == ["requirements.txt"]


def test_the_resolvers_hand_each_dependency_over_by_keyword(tmp_path, monkeypatch):
    # Only the requirements that mention Django reach the parser: "requests" does not.
    write(tmp_path, "requirements.txt", "requests\ndjango-environ\nDjango==3.1\n")
    write(tmp_path, "setup.py", 'setup(install_requires=["Django==3.1"])\n')
    calls = []

    def recording(dependency, file_type):
        calls.append((dependency.name, file_type))

    monkeypatch.setattr(dependencies, "get_django_version_from_dependency", recording)
    assert dependencies.resolve_django_version(tmp_path) is None
    assert calls == [("django-environ", "requirements.txt"), ("Django", "requirements.txt"),
                     ("Django", "setup.py")]


# Dependency files as editors and tools really write them.
AWKWARD_FILES = [
    # A byte-order mark before the first requirement.
    ("requirements.txt", "\ufeffDjango==3.1.4\n".encode("utf-8"), details("requirements.txt", "3.1", "==3.1.4")),
    ("Pipfile", '\ufeff[packages]\ndjango = "==2.2"\n'.encode("utf-8"), details("Pipfile", "2.2", "==2.2")),
    ("setup.cfg", ("\ufeff" + SETUP_CFG).encode("utf-8"), details("setup.cfg", "3.1", ">=3.1,<3.2")),
    ("setup.py", ("\ufeff" + SETUP_PY).encode("utf-8"), details("setup.py", "2.1", ">=2.1,<2.2")),
    # Bytes that are not UTF-8 are dropped.
    ("requirements.txt", b"# caf\xe9 cr\xe8me\nDjango==3.0\n", details("requirements.txt", "3.0", "==3.0")),
    # A tab before the comment.
    ("requirements.txt", "Django==2.2\t# pinned for now\n", details("requirements.txt", "2.2", "==2.2")),
    # Hash options on the requirement's own line.
    ("requirements.txt", f"Django==2.2.1 --hash={HASH}\n", details("requirements.txt", "2.2", "==2.2.1")),
    (
        "requirements.txt",
        f"Django==2.2.1 --hash={HASH} --hash={HASH}  # locked\n",
        details("requirements.txt", "2.2", "==2.2.1"),
    ),
    # A continuation backslash without a space before it.
    ("requirements.txt", f"Django==3.0.2\\\n    --hash={HASH}\n", details("requirements.txt", "3.0", "==3.0.2")),
]


@pytest.mark.parametrize("name, content, expected", AWKWARD_FILES)
def test_awkward_but_valid_dependency_files(tmp_path, name, content, expected):
    write(tmp_path, name, content)
    assert dependencies.resolve_django_version(tmp_path) == expected


# Files that cannot be read say nothing, and the next file is still read. dparse itself
# raises for the first three (and the resolver logs it); it passes over the last two.
UNREADABLE_FILES = [
    ("Pipfile.lock", "{not json", True),
    ("Pipfile.lock", json.dumps({"default": {"django": {"version": "==3.2"}}}), True),  # no hashes
    ("setup.cfg", "install_requires = Django\n", True),  # no section header
    ("Pipfile", "[packages\n", False),
    ("conda.yml", "dependencies: [\n", False),
]


@pytest.mark.parametrize("name, content, logged", UNREADABLE_FILES)
def test_an_unreadable_dependency_file_is_passed_over(tmp_path, name, content, logged, caplog):
    write(tmp_path, name, content)
    assert dependencies.resolve_django_version(tmp_path) is None
    assert (f"Skipping {tmp_path / name}" in caplog.text) is logged
    write(tmp_path, "setup.py", 'setup(install_requires=["Django~=3.2.0"])\n')
    assert dependencies.resolve_django_version(tmp_path) == details("setup.py", "3.2", "~=3.2.0")


SETUP_PY_FAULTS = [
    # The requirement parser runs off the end of a text ending in a backslash.
    ('setup(data_files=[("share", ["tools\\\\"])])\n', None),
    ('setup(data_files=[("share", ["tools\\\\"])], install_requires=["Django>=3.0,<3.1"])\n',
     details("setup.py", "3.0", ">=3.0,<3.1")),
    ("setup(install_requires=['Django==3.2'\n", None),  # not Python
    (b'setup(description="caf\xe9")\n', None),  # not in the platform encoding
    ('setup(long_description="""first\nDjango==1.11\n""")\n', None),  # several lines
]


@pytest.mark.parametrize("content, expected", SETUP_PY_FAULTS)
def test_setup_py_that_the_parsers_cannot_read(tmp_path, content, expected):
    write(tmp_path, "setup.py", content)
    assert dependencies.resolve_django_version(tmp_path) == expected


def dependency(line, specs=None, name="Django"):
    return SimpleNamespace(name=name, specs=SpecifierSet(specs if specs is not None else ""), line=line)


@pytest.mark.parametrize(
    "record, expected",
    [
        (dependency("Django>=2.0,<2.2", ">=2.0,<2.2"), details("x", "2.0", ">=2.0,<2.2")),
        # The admitted minor comes from the record's specifier set, the text from its line.
        (dependency("Django", "==3.0.5"), details("x", "3.0", "")),
        (dependency("Django==2.2rc1", "==2.2rc1"), None),
        (dependency("Django==3.2 !!!", "==3.2"), None),  # the grammar still rejects it
        (dependency("djangorestframework==3.2", "==3.2", name="djangorestframework"), None),
    ],
)
def test_one_dependency(record, expected):
    assert dependencies.get_django_version_from_dependency(dependency=record, file_type="x") == expected


def test_a_rejected_line_does_not_stop_the_search(tmp_path, monkeypatch):
    write(tmp_path, "requirements.txt", "anything\n")
    records = [dependency("Django==3.2 !!!", "==3.2"), dependency("Django==3.1", "==3.1")]
    monkeypatch.setattr(dependencies, "parse", lambda content, file_type: SimpleNamespace(dependencies=records))
    assert dependencies.resolve_django_version(tmp_path) == details("requirements.txt", "3.1", "==3.1")


def test_module_binds_the_libraries_it_resolves_with():
    import ast
    import itertools
    from pathlib import Path

    import astroid
    import dparse
    import dparse.parser
    import packaging.requirements

    from vettor.staticanalysis import library_default_settings, meta

    assert dependencies.ast is ast and dependencies.itertools is itertools
    assert dependencies.Path is Path and dependencies.astroid is astroid
    assert dependencies.parse is dparse.parse and dependencies.filetypes is dparse.filetypes
    assert dependencies.RequirementsTXTLineParser is dparse.parser.RequirementsTXTLineParser
    assert dependencies.REQUIREMENT is packaging.requirements.REQUIREMENT
    assert dependencies.meta is meta
    for version in dependencies.versions:
        member = "django_" + version.replace(".", "_")
        assert getattr(dependencies, member) is getattr(library_default_settings, member)


def test_the_requirement_grammar_is_looked_up_at_call_time(tmp_path, monkeypatch):
    write(tmp_path, "requirements.txt", "Django==3.2 # pinned\n")
    seen = []

    class Grammar:
        @staticmethod
        def parseString(line):
            seen.append(line)
            return SimpleNamespace(specifier="==3.2")

    monkeypatch.setattr(dependencies, "REQUIREMENT", Grammar)
    assert dependencies.resolve_django_version(tmp_path) == details("requirements.txt", "3.2", "==3.2")
    assert seen == ["Django==3.2"]  # the cleaned line


def test_module_tables():
    assert dependencies.dparse_file_types == [
        "requirements.txt", "conda.yml", "setup.cfg", "Pipfile.lock", "Pipfile", "poetry.lock"]
    assert dependencies.versions == ["1.11", "2.0", "2.1", "2.2", "3.0", "3.1", "3.2"]


# Requirements files that pull in others with -r: (files, expected result). Each include
# is read relative to the file that names it, and only within the project root.
INCLUDED = [
    (
        {"requirements.txt": "-r requirements/base.txt\n", "requirements/base.txt": "Django==2.2.28\n"},
        details("requirements/base.txt", "2.2", "==2.2.28"),
    ),
    (
        {
            "requirements.txt": "--requirement=requirements/prod.txt  # production\n",
            "requirements/prod.txt": "-r base.txt\ngunicorn\n",
            "requirements/base.txt": "requests\nDjango>=3.1,<3.2\n",
        },
        details("requirements/base.txt", "3.1", ">=3.1,<3.2"),
    ),
    (
        {"requirements.txt": "-rbase.txt\n", "base.txt": "django~=3.0.0\n"},
        details("base.txt", "3.0", "~=3.0.0"),
    ),
    # The file's own requirement comes first.
    (
        {"requirements.txt": "-r base.txt\nDjango==3.2\n", "base.txt": "Django==2.2\n"},
        details("requirements.txt", "3.2", "==3.2"),
    ),
    # Files that include each other end; a missing include is passed over.
    (
        {"requirements.txt": "-r a.txt\n-r missing.txt\n", "a.txt": "-r requirements.txt\n-r b.txt\n", "b.txt": "Django==2.1\n"},
        details("b.txt", "2.1", "==2.1"),
    ),
    ({"requirements.txt": "-r requirements.txt\n"}, None),
]


@pytest.mark.parametrize("files, expected", INCLUDED)
def test_requirements_included_with_r_are_read(tmp_path, files, expected):
    for name, content in files.items():
        write(tmp_path, name, content)
    assert dependencies.resolve_django_version(tmp_path) == expected


def test_an_include_outside_the_project_root_is_not_read(tmp_path):
    write(tmp_path, "outside.txt", "Django==2.2\n")
    write(tmp_path, "project/requirements.txt", "-r ../outside.txt\n-r linked.txt\n")
    (tmp_path / "project" / "linked.txt").symlink_to(tmp_path / "outside.txt")
    assert dependencies.resolve_django_version(tmp_path / "project") is None


def test_version_of_an_included_pin_reaches_the_lint(tmp_path):
    from vettor.staticanalysis import checker

    write(tmp_path, "requirements.txt", "-r requirements/base.txt\n")
    write(tmp_path, "requirements/base.txt", "Django==2.2.28\n")
    write(tmp_path, "app/__init__.py", "")
    (meta,) = checker.get_messages(str(tmp_path), {"META": None}, "3.2", {}, 1)
    assert meta["body"]["minor"] == "2.2" and meta["path"] == "requirements/base.txt"


POETRY_LOCK = """[[package]]
name = "asgiref"
version = "3.6.0"
category = "main"
optional = false
python-versions = ">=3.7"

[[package]]
name = "Django"
version = "3.2.25"
category = "main"
optional = false
python-versions = ">=3.6"
"""

# Where projects keep their dependencies beside requirements.txt: (files, expected result).
MORE_FILES = [
    # A requirements folder takes the place of a missing requirements.txt; the requirements
    # every environment shares come first.
    ({"requirements/common.txt": "Django==3.2.25\n"},
     details("requirements/common.txt", "3.2", "==3.2.25")),
    ({"requirements/dev.txt": "-r base.txt\nDjango==2.2\n", "requirements/base.txt": "Django==3.1\n"},
     details("requirements/base.txt", "3.1", "==3.1")),
    ({"requirements/local.txt": "-r production.txt\n", "requirements/production.txt": "django>=3.0,<3.1\n"},
     details("requirements/production.txt", "3.0", ">=3.0,<3.1")),
    ({"requirements.txt": "requests\n", "requirements/base.txt": "Django==3.1\n"}, None),
    # poetry.lock, with Poetry's category of old and without it
    ({"poetry.lock": POETRY_LOCK}, details("poetry.lock", "3.2", "==3.2.25")),
    ({"poetry.lock": POETRY_LOCK.replace('category = "main"\n', "")},
     details("poetry.lock", "3.2", "==3.2.25")),
    # pyproject.toml: PEP 621 dependencies and Poetry's table
    ({"pyproject.toml": '[project]\nname = "x"\ndependencies = ["requests", "Django>=3.2,<4.0"]\n'},
     details("pyproject.toml", "3.2", ">=3.2,<4.0")),
    ({"pyproject.toml": '[tool.poetry.dependencies]\npython = "^3.8"\ndjango = "^3.1"\n'},
     details("pyproject.toml", "3.1", ">=3.1,<4")),
    ({"pyproject.toml": '[tool.poetry.dependencies]\nDjango = {version = "~2.2.5", extras = ["argon2"]}\n'},
     details("pyproject.toml", "2.2", ">=2.2.5,<2.3")),
    ({"pyproject.toml": '[tool.poetry.dependencies]\nDjango = "3.0.*"\n'},
     details("pyproject.toml", "3.0", "==3.0.*")),
    ({"pyproject.toml": '[tool.poetry.dependencies]\nDjango = "4.1.2 || 3.2.16"\n'},
     details("pyproject.toml", "3.2", "==3.2.16")),
    ({"pyproject.toml": '[tool.poetry.dependencies]\nDjango = "*"\n'}, details("pyproject.toml", "1.11", "")),
    ({"pyproject.toml": '[tool.black]\nline-length = 100\n'}, None),
    ({"pyproject.toml": "[project\n"}, None),
    # The lock file wins over the loose constraint; setup.py comes last.
    ({"poetry.lock": POETRY_LOCK, "pyproject.toml": '[tool.poetry.dependencies]\ndjango = "^3.1"\n',
      "setup.py": 'setup(install_requires=["Django==2.2"])\n'},
     details("poetry.lock", "3.2", "==3.2.25")),
    ({"pyproject.toml": '[project]\ndependencies = ["Django==3.1"]\n',
      "setup.py": 'setup(install_requires=["Django==2.2"])\n'},
     details("pyproject.toml", "3.1", "==3.1")),
]


@pytest.mark.parametrize("files, expected", MORE_FILES)
def test_requirements_folder_poetry_lock_and_pyproject(tmp_path, files, expected):
    for name, content in files.items():
        write(tmp_path, name, content)
    assert dependencies.resolve_django_version(tmp_path) == expected


def test_a_long_requirements_file_is_read_for_its_django_lines_only(tmp_path, monkeypatch):
    lines = [f"package-{i}==1.0 \\\n    --hash=sha256:{i:064d}" for i in range(500)]
    lines.insert(250, "Django==3.2.25 \\\n    --hash=sha256:" + "a" * 64)
    write(tmp_path, "requirements.txt", "\n".join(lines) + "\n")
    seen = []
    original = dependencies.parse
    monkeypatch.setattr(dependencies, "parse", lambda text, **kw: seen.append(text) or original(text, **kw))
    assert dependencies.resolve_django_version(tmp_path) == details("requirements.txt", "3.2", "==3.2.25")
    assert seen == ["Django==3.2.25 \\\n    --hash=sha256:" + "a" * 64 + "\n"]


def test_a_lint_reads_each_dependency_file_once(tmp_path, monkeypatch):
    from vettor.staticanalysis import checker

    write(tmp_path, "requirements.txt", "-r requirements/base.txt\n")
    write(tmp_path, "requirements/base.txt", "Django==3.1\n")
    write(tmp_path, "app/models.py", "x = 1\n")
    parsed = []
    original = dependencies.parse
    monkeypatch.setattr(dependencies, "parse", lambda text, **kw: parsed.append(text) or original(text, **kw))
    found = checker.get_messages(str(tmp_path), {"app/models.py": None, "META": None}, "3.2", {}, 1)
    assert [f["path"] for f in found] == ["requirements/base.txt"]
    assert len(parsed) == 2  # requirements.txt, then the file it includes
    checker.get_messages(str(tmp_path), {"app/models.py": None, "META": None}, "3.2", {}, 1)
    assert len(parsed) == 4  # a new call reads the files as they are now
