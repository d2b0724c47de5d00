"""What the analyser reads about a project: configuration, settings modules, manage file, code style."""
import ast
import shutil
from pathlib import Path

import black
import pytest

from vettor.staticanalysis import meta

FIXTURES = Path(__file__).resolve().parent / "fixtures"
BLOG = Path(__file__).resolve().parent.parent / "examples" / "blog"
SETTINGS_PACKAGE = FIXTURES / "settings_package"


def write(root, name, content):
    path = root / name
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_text(content, encoding="utf-8")


@pytest.fixture
def project(tmp_path):
    """A copy of the settings-package project, free to be added to."""
    root = tmp_path / "project"
    shutil.copytree(SETTINGS_PACKAGE, root)
    return root


# ---------------------------------------------------------------------------------------
# Configuration


def test_toml_config_is_the_vettor_table_with_option_names():
    assert meta.get_toml_config(SETTINGS_PACKAGE) == {
        "disable": ["C2006", "field-null-not-blank"],
        "max-models": 12,
        "jobs": 2,
        "directories": ["src"],
    }


@pytest.mark.parametrize(
    "pyproject",
    [None, "", '[project]\nname = "blog"\n', "[tool.black]\nline-length = 100\n", "[tool.vettor]\n"],
)
def test_toml_config_without_a_vettor_table_is_empty(tmp_path, pyproject):
    if pyproject is not None:
        write(tmp_path, "pyproject.toml", pyproject)
    assert meta.get_toml_config(str(tmp_path)) == {}


@pytest.mark.parametrize(
    "pyproject, what",
    [
        ("[tool.vettor\n", "invalid TOML: Expected ']' at the end of a table declaration (at line 1, column 13)"),
        ("[tool]\nvettor = 3\n", "[tool.vettor] is not a table"),
        (b"[tool.vettor]\n# caf\xe9\n", "not valid UTF-8 ("),
        ("[tool.vettor]\nx = " + "[" * 100_000 + "]" * 100_000 + "\n",
         "invalid TOML: its tables or arrays are nested too deeply"),
        ("[tool.vettor]\nx = " + "{a = " * 100_000 + "1" + "}" * 100_000 + "\n",
         "invalid TOML: its tables or arrays are nested too deeply"),
    ],
    ids=["syntax", "not-a-table", "not-utf-8", "deep-arrays", "deep-tables"],
)
def test_a_broken_configuration_is_one_line_that_names_the_file(tmp_path, pyproject, what):
    if isinstance(pyproject, bytes):
        (tmp_path / "pyproject.toml").write_bytes(pyproject)
    else:
        write(tmp_path, "pyproject.toml", pyproject)
    with pytest.raises(meta.ConfigurationError) as raised:
        meta.get_toml_config(tmp_path)
    assert isinstance(raised.value, ValueError)
    assert str(raised.value).startswith(f"{tmp_path / 'pyproject.toml'}: {what}")
    assert "\n" not in str(raised.value)


def test_a_configuration_file_that_leads_outside_is_not_read(tmp_path):
    write(tmp_path, "elsewhere/pyproject.toml", "[tool.vettor]\nmax-models = 3\n")
    (tmp_path / "project").mkdir()
    (tmp_path / "project" / "pyproject.toml").symlink_to(tmp_path / "elsewhere" / "pyproject.toml")
    with pytest.raises(meta.ConfigurationError) as raised:
        meta.get_toml_config(tmp_path / "project")
    assert str(raised.value) == (f"{tmp_path / 'project' / 'pyproject.toml'}: cannot be read: "
                                 "it leads outside the project root")


def test_code_style_gives_black_mode_arguments():
    style = meta.get_code_style(SETTINGS_PACKAGE)
    assert style == {
        "line_length": 100,
        "target_versions": {black.TargetVersion.PY38, black.TargetVersion.PY39},
        "magic_trailing_comma": False,
    }
    mode = black.FileMode(experimental_string_processing=False, string_normalization=True, **style)
    assert black.format_str("f(a,b,)\n", mode=mode) == "f(a, b)\n"


@pytest.mark.parametrize(
    "pyproject, expected",
    [
        (None, {}),
        ("[tool.vettor]\njobs = 1\n", {}),
        ("[tool.black]\nline_length = 79\npreview = true\n", {"line_length": 79, "preview": True}),
        ("[tool.black]\nexperimental-string-processing = true\nskip-string-normalization = true\n", {}),
    ],
)
def test_code_style_cases(tmp_path, pyproject, expected):
    if pyproject is not None:
        write(tmp_path, "pyproject.toml", pyproject)
    assert meta.get_code_style(tmp_path) == expected


def test_an_unknown_target_version_is_reported(tmp_path):
    write(tmp_path, "pyproject.toml", '[tool.black]\ntarget-version = ["py2"]\n')
    with pytest.raises(ValueError, match="py2"):
        meta.get_code_style(tmp_path)


# ---------------------------------------------------------------------------------------
# The manage file


def test_manage_file_at_the_root_or_below():
    assert meta.get_manage_file(BLOG) == BLOG / "manage.py"
    assert meta.get_manage_file(str(SETTINGS_PACKAGE)) == SETTINGS_PACKAGE / "src" / "manage.py"


def test_the_shallowest_manage_file_wins(project):
    write(project, "manage.py", "from django.core.management import execute_from_command_line\n")
    assert meta.get_manage_file(project) == project / "manage.py"


@pytest.mark.parametrize(
    "files",
    [
        {},
        {"manage.py": "from flask_script import Manager\n"},
        {".venv/lib/site-packages/django/conf/project_template/manage.py": "import django\n"},
        {"node_modules/x/manage.py": "import django\n"},
        {"env/pyvenv.cfg": "", "env/src/manage.py": "import django\n"},
        {"manage.py/README": "a folder, not a file"},
    ],
)
def test_no_manage_file(tmp_path, files):
    for name, content in files.items():
        write(tmp_path, name, content)
    with pytest.raises(meta.ManageFileMissingError):
        meta.get_manage_file(tmp_path)


def test_a_manage_file_that_cannot_be_opened_is_passed_over(tmp_path):
    (tmp_path / "manage.py").symlink_to(tmp_path / "missing.py")
    with pytest.raises(meta.ManageFileMissingError):
        meta.get_manage_file(tmp_path)
    assert meta.get_settings_files(tmp_path) == []
    write(tmp_path, "src/manage.py", "from django.core.management import execute_from_command_line\n")
    assert meta.get_manage_file(tmp_path) == tmp_path / "src" / "manage.py"


def test_missing_manage_file_error_is_a_file_not_found_error():
    assert issubclass(meta.ManageFileMissingError, FileNotFoundError)
    assert meta.ManageFileMissingError.__module__ == "vettor.staticanalysis.meta"


# ---------------------------------------------------------------------------------------
# Settings modules


def test_settings_of_the_example_blog():
    settings_files = meta.get_settings_files(BLOG)
    assert settings_files == ["blog.settings"]
    assert meta.get_root_urlconf(settings_files) == "blog.urls"
    assert meta.get_settings_modpath(BLOG) == "blog.settings"
    assert meta.get_static_url_setting(BLOG) == "/static/"


def test_settings_package_whose_manage_py_names_the_development_module(project):
    # manage.py runs config.settings.dev, which is named for development: the deployment's
    # module is judged, and base.py, which both build on, only as production.py has it.
    settings_files = meta.get_settings_files(project)
    assert settings_files == ["config.settings.production"]
    assert meta.get_root_urlconf(settings_files) == "config.urls"
    assert meta.get_settings_modpath(project) == "config.settings.production"
    # base.py gives the static URL; production.py's is not a literal.
    assert meta.get_static_url_setting(project) == "/assets/"


def test_a_base_that_only_development_modules_build_on_is_judged(project):
    # With no deployment module built on it, base.py is the nearest thing to one.
    (project / "src/config/settings/production.py").unlink()
    assert meta.get_settings_files(project) == ["config.settings.base"]


def test_settings_found_without_a_manage_file(project):
    (project / "src" / "manage.py").unlink()
    write(project, "src/legacy/__init__.py", "")
    write(project, "src/legacy/settings.py", 'ROOT_URLCONF = "legacy.urls"\n')
    assert meta.get_settings_files(project) == ["config.settings.production", "legacy.settings"]
    assert meta.get_settings_modpath(project) == "config.settings.production"


def test_settings_in_foreign_folders_are_not_the_projects(project):
    for folder in [".venv", "node_modules/pkg", "build/lib/site-packages/other"]:
        write(project, f"{folder}/settings.py", 'INSTALLED_APPS = []\nROOT_URLCONF = "x.urls"\n')
    write(project, ".venv/pyvenv.cfg", "")
    assert meta.get_settings_files(project) == ["config.settings.production"]


def test_unreadable_settings_candidates_are_passed_over(project):
    write(project, "src/broken/settings.py", "INSTALLED_APPS = [\n")
    (project / "src/latin").mkdir()
    (project / "src/latin/settings.py").write_bytes(b"# caf\xe9\nINSTALLED_APPS = []\n")
    assert meta.get_settings_files(project) == ["config.settings.production"]


@pytest.mark.parametrize(
    "text",
    [
        "INSTALLED_APPS = []\nx = " + "-" * 7_000 + "1\n",  # the parser gives up: MemoryError
        "INSTALLED_APPS = []\nx = " + "(" * 300 + "1" + ")" * 300 + "\n",
    ],
    ids=["7000-unary-minus", "300-parentheses"],
)
def test_a_settings_candidate_the_parser_gives_up_on_is_passed_over(project, text):
    found = meta.get_settings_files(project)
    write(project, "src/deep/settings.py", text)
    assert meta.get_settings_files(project) == found


def test_a_settings_module_of_another_project_is_not_this_ones(project, tmp_path):
    # The first project has config.settings.base; the second names it but has no such module.
    assert list(meta.get_module_files(project, ["config.settings.base"])) == ["config.settings.base"]
    assert meta.get_root_urlconf(["config.settings.base"]) == "config.urls"
    other = tmp_path / "other"
    write(other, "manage.py", 'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "config.settings.base")\nimport django\n')
    assert meta.get_settings_files(other) == ["config.settings.base"]
    assert meta.get_root_urlconf(["config.settings.base"]) == ""
    assert meta.get_module_files(other, ["config.settings.base"]) == {}


def test_module_files_are_found_as_the_settings_modules_are(project):
    found = meta.get_module_files(project, ["config.settings.base", "config.urls", "no.such", "config.settings.base"])
    assert found == {"config.settings.base": str(project / "src" / "config" / "settings" / "base.py"),
                     "config.urls": str(project / "src" / "config" / "urls.py")}


def test_a_project_without_settings(tmp_path):
    write(tmp_path, "lib/tool.py", "X = 1\n")
    assert meta.get_settings_files(tmp_path) == []
    assert meta.get_settings_modpath(tmp_path) == ""
    assert meta.get_static_url_setting(tmp_path) is None
    assert meta.get_root_urlconf([]) == ""


@pytest.mark.parametrize(
    "settings, expected",
    [
        ('ROOT_URLCONF = "a.urls"\nROOT_URLCONF = "b.urls"\n', "b.urls"),
        ('ROOT_URLCONF: str = "a.urls"\n', "a.urls"),
        ('INSTALLED_APPS = []\nROOT_URLCONF = "a" + ".urls"\n', ""),
        ('ROOT_URLCONF = "a.urls"\nROOT_URLCONF = os.environ["URLCONF"]\n', ""),
        ('INSTALLED_APPS = []\nif DEBUG:\n    ROOT_URLCONF = "debug.urls"\n', ""),
    ],
)
def test_root_urlconf_is_the_literal_the_settings_assign(tmp_path, settings, expected):
    write(tmp_path, "site/__init__.py", "")
    write(tmp_path, "site/settings.py", settings)
    assert meta.get_root_urlconf(meta.get_settings_files(tmp_path)) == expected


def test_root_urlconf_of_settings_found_on_the_import_path(monkeypatch):
    monkeypatch.setattr(meta, "_settings_files_found", {})
    monkeypatch.syspath_prepend(str(SETTINGS_PACKAGE / "src"))
    assert meta.get_root_urlconf(["config.settings.dev", "config.settings.base"]) == "config.urls"
    assert meta.get_root_urlconf(["no.such.module", "", "not a name"]) == ""


def test_manage_py_may_name_a_module_it_cannot_find(tmp_path):
    write(tmp_path, "manage.py", 'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "gone.settings")\nimport django\n')
    assert meta.get_settings_files(tmp_path) == ["gone.settings"]
    assert meta.get_settings_modpath(tmp_path) == "gone.settings"
    assert meta.get_static_url_setting(tmp_path) is None


# Only the settings a deployment uses are judged: the module wsgi.py or asgi.py names, and the
# modules whose names say nothing of development or tests. [tool.vettor] settings-files names
# them explicitly.

SETTINGS = 'INSTALLED_APPS = []\n'
SITE = {"site/__init__.py": "", "site/settings/__init__.py": ""}


def entry_point(module):
    return f'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "{module}")\n'


MANAGE = "from django.core.management import execute_from_command_line\n"


@pytest.mark.parametrize("files, expected", [
    # cookiecutter's layout: manage.py runs local, wsgi.py production
    ({**SITE, "manage.py": MANAGE + entry_point("site.settings.local"),
      "site/wsgi.py": entry_point("site.settings.production"),
      "site/settings/base.py": SETTINGS, "site/settings/local.py": SETTINGS,
      "site/settings/production.py": SETTINGS, "site/settings/test.py": SETTINGS},
     ["site.settings.production", "site.settings.base"]),
    # what wsgi.py or asgi.py names is a default: a development module is not judged, and
    # the base it builds on is judged as a deployment reads it
    ({**SITE, "site/asgi.py": entry_point("site.settings.dev"),
      "site/settings/dev.py": "from .base import *\nDEBUG = True\n",
      "site/settings/base.py": SETTINGS, "site/settings/ci.py": SETTINGS,
      "site/settings/testing.py": SETTINGS},
     ["site.settings.base"]),
    # ... also where the base is no settings module by its place or name
    ({"site/__init__.py": "", "site/wsgi.py": entry_point("site.dev_settings"),
      "manage.py": MANAGE + entry_point("site.dev_settings"),
      "site/dev_settings.py": "from site.defaults import *\nDEBUG = True\n",
      "site/defaults.py": SETTINGS + "try:\n    from .local import *\nexcept ImportError:\n    pass\n",
      "site/local.py": SETTINGS},
     ["site.defaults"]),
    # development and test words in a module's own name, and a tests folder
    ({"site/__init__.py": "", "site/settings.py": SETTINGS,
      "site/settings_dev.py": SETTINGS, "site/local_settings.py": SETTINGS,
      "site/settings/development.py": SETTINGS, "site/settings/Tests.py": SETTINGS,
      "tests/__init__.py": "", "tests/settings.py": SETTINGS,
      "app/tests/settings.py": SETTINGS, "app/tests/wsgi.py": entry_point("app.tests.settings")},
     ["site.settings"]),
    # a name that merely contains such a word is no development module
    ({"site/__init__.py": "", "site/settings/__init__.py": "",
      "site/settings/locale.py": SETTINGS, "site/settings/devops.py": SETTINGS},
     ["site.settings.devops", "site.settings.locale"]),
])
def test_the_settings_a_deployment_uses(tmp_path, files, expected):
    for name, content in files.items():
        write(tmp_path, name, content)
    assert meta.get_settings_files(tmp_path) == expected
    assert meta.get_settings_modpath(tmp_path) == expected[0]


BUILT_ON_BASE = {**SITE, "site/settings/base.py": SETTINGS,
                 "site/settings/docker.py": "from .base import *\nDEBUG = True\n",
                 "site/settings/production.py": "from .base import *\n"}


def compose(*services, name="docker-compose.yml"):
    """A compose file whose services each run `command` with `environment` (a list)."""
    lines = ["services:"]
    for index, (command, environment) in enumerate(services):
        lines += [f"  s{index}:", f"    command: {command}", "    environment:"]
        lines += [f"      - {variable}" for variable in environment]
    return {name: "\n".join(lines) + "\n"}


DOCKER = "DJANGO_SETTINGS_MODULE=site.settings.docker"
BOTH = ["site.settings.docker", "site.settings.production"]


@pytest.mark.parametrize("files, expected", [
    # a compose service that runs the development server
    (compose(("python manage.py runserver 0.0.0.0:8000", [DOCKER])), ["site.settings.production"]),
    (compose(("python manage.py runserver_plus --settings=site.settings.docker", [])),
     ["site.settings.production"]),
    # ... that turns DEBUG on, or stands in a compose file named for development
    (compose(("celery -A site worker", [DOCKER, "DJANGO_DEBUG=True"])), ["site.settings.production"]),
    (compose(("gunicorn site.wsgi", [DOCKER]), name="docker-compose.dev.yml"), ["site.settings.production"]),
    (compose(("gunicorn site.wsgi", [DOCKER]), name="compose.override.yaml"), ["site.settings.production"]),
    # a service of another kind uses the module too, or the only one does: it is deployed
    (compose(("gunicorn site.wsgi", [DOCKER, "DEBUG=0"])), BOTH),
    (compose(("python manage.py runserver", [DOCKER]), ("gunicorn site.wsgi", [DOCKER])), BOTH),
    # no compose file: docker.py says nothing of development by its name
    ({}, BOTH),
    # a compose file that cannot be read says nothing
    ({"docker-compose.yml": "services: [\n"}, BOTH),
    # manage.py names the development server's default when a deployment names another
    ({"manage.py": MANAGE + entry_point("site.settings.docker"),
      "site/wsgi.py": entry_point("site.settings.production")}, ["site.settings.production"]),
    ({"manage.py": MANAGE + entry_point("site.settings.docker")}, BOTH),
])
def test_settings_the_project_uses_for_development(tmp_path, files, expected):
    for name, content in {**BUILT_ON_BASE, **files}.items():
        write(tmp_path, name, content)
    assert sorted(meta.get_settings_files(tmp_path)) == expected


def test_the_projects_own_settings_module_is_judged_whatever_compose_runs(tmp_path):
    # The deployment reads proj/settings.py too: the development server's use says nothing.
    write(tmp_path, "site/__init__.py", "")
    write(tmp_path, "site/settings.py", SETTINGS)
    for name, content in compose(("python manage.py runserver", ["DJANGO_SETTINGS_MODULE=site.settings"])).items():
        write(tmp_path, name, content)
    assert meta.get_settings_files(tmp_path) == ["site.settings"]


@pytest.mark.parametrize("text, read, fails", [
    # a module of the project is read, inside try as well
    ("from .base import *", "base.py", False),
    ("try:\n    from .base import *\nexcept ImportError:\n    pass", "base.py", False),
    # a developer's own overrides are not, inside try: the except clause runs
    ("try:\n    from .local import *\nexcept ImportError:\n    pass", None, True),
    ("try:\n    from .local_settings import *\nexcept (OSError, ImportError):\n    pass", None, True),
    # ... but they are where the module cannot run without them
    ("from .local import *", "local.py", False),
    ("try:\n    from .local import *\nexcept KeyError:\n    pass", "local.py", False),
    # a relative import of a module the project does not have fails; an absolute one may be a
    # library's
    ("try:\n    from .secrets import *\nexcept ImportError:\n    pass", None, True),
    ("try:\n    from secrets_store import *\nexcept ImportError:\n    pass", None, False),
    # nothing outside the folder the project's packages start in
    ("from ....outside import *", None, True),
])
def test_a_settings_modules_imports_as_a_deployment_runs_them(tmp_path, text, read, fails):
    write(tmp_path, "outside.py", SETTINGS)
    write(tmp_path, "proj/site/__init__.py", "")
    write(tmp_path, "proj/site/settings/__init__.py", "")
    for name in ["base", "local", "local_settings"]:
        write(tmp_path, f"proj/site/settings/{name}.py", SETTINGS)
    production = tmp_path / "proj/site/settings/production.py"
    write(tmp_path, "proj/site/settings/production.py", text + "\n")
    statement = ast.parse(text).body[0]
    optional = isinstance(statement, ast.Try) and meta.catches_import_error(statement.handlers[0])
    imported = statement.body[0] if optional else (statement if isinstance(statement, ast.ImportFrom) else statement.body[0])
    found, failed = meta.read_settings_import(str(production), imported.module, imported.level, optional)
    assert (found, failed) == ((str(production.parent / read) if read else None), fails)


@pytest.mark.parametrize("configured, expected", [
    ('["site.settings.dev"]', ["site.settings.dev"]),
    ('"site.settings.dev, site.settings.base"', ["site.settings.dev", "site.settings.base"]),
    ("[]", []),
])
def test_settings_files_named_in_the_configuration(tmp_path, configured, expected):
    write(tmp_path, "pyproject.toml", f"[tool.vettor]\nsettings-files = {configured}\n")
    for name in ["site/__init__.py", "site/settings/__init__.py"]:
        write(tmp_path, name, "")
    for name in ["base", "dev", "production"]:
        write(tmp_path, f"site/settings/{name}.py", SETTINGS + 'STATIC_URL = "/s/"\n')
    assert meta.get_settings_files(tmp_path) == expected
    assert meta.get_static_url_setting(tmp_path) == "/s/"


def test_a_project_whose_settings_are_all_for_development_keeps_its_static_url(tmp_path):
    write(tmp_path, "site/__init__.py", "")
    write(tmp_path, "site/settings/__init__.py", "")
    write(tmp_path, "site/settings/local.py", SETTINGS + 'STATIC_URL = "/files/"\n')
    assert meta.get_settings_files(tmp_path) == []
    assert meta.get_static_url_setting(tmp_path) == "/files/"
