"""A project nobody trusts (a pull request from a fork, linted by a review bot or a CI job)
can make vettor run none of its code and read nothing outside it.

Its [tool.vettor] table sets only vettor's own options: pylint's would have astroid import
the project's native modules (whose initialisation code then runs), load plugins or run
start-up code. Files that lead out of the project, as selected files, configured folders or
the files discovery reads, are skipped with a warning."""
import json
import logging
import os
import subprocess
import sys
import sysconfig
import textwrap
from pathlib import Path

import pytest

from conftest import write_files
from vettor.staticanalysis import checker, dependencies, meta

# ---------------------------------------------------------------------------------------
# A native module whose import leaves a marker

EXTENSION_SOURCE = r"""
#include <Python.h>
#include <stdio.h>
#include <stdlib.h>
static struct PyModuleDef definition = {PyModuleDef_HEAD_INIT, "evilmod", NULL, -1, NULL};
PyMODINIT_FUNC PyInit_evilmod(void) {
  FILE *marker = fopen(getenv("EVIL_MARKER"), "w");
  if (marker) { fputs("imported", marker); fclose(marker); }
  return PyModule_Create(&definition);
}
"""

# Code whose rules infer the module's names, so astroid imports it if it may.
VIEWS = "import evilmod\n\n\nclass Post(evilmod.Model):\n    pass\n\n\nlen(evilmod.objects.all())\n"


@pytest.fixture(scope="module")
def extension(tmp_path_factory):
    """The built module's file, or a skip where no C compiler is at hand."""
    folder = tmp_path_factory.mktemp("extension")
    (folder / "evilmod.c").write_text(EXTENSION_SOURCE)
    target = folder / ("evilmod" + sysconfig.get_config_var("EXT_SUFFIX"))
    compiler = os.environ.get("CC", "cc")
    try:
        subprocess.run(
            [compiler, "-shared", "-fPIC", f"-I{sysconfig.get_paths()['include']}",
             str(folder / "evilmod.c"), "-o", str(target)],
            check=True, capture_output=True)
    except (OSError, subprocess.CalledProcessError) as error:
        pytest.skip(f"no C compiler to build the test's extension module: {error}")
    return target


def native_project(root, extension, pyproject=None):
    files = {"app/__init__.py": "", "app/views.py": VIEWS}
    if pyproject is not None:
        files["pyproject.toml"] = pyproject
    write_files(root, files)
    (root / extension.name).write_bytes(extension.read_bytes())
    return root


# Each lint runs in a process of its own: an extension module's initialisation runs once per
# process, however often it is imported.
RUNNER = textwrap.dedent(
    """
    import json, sys
    from vettor.staticanalysis import checker, meta
    outcome = []
    for root, config in json.loads(sys.stdin.read()):
        try:
            checker.get_messages(root, {"app/views.py": None}, config=config, jobs=1)
            outcome.append("linted")
        except meta.ConfigurationError as error:
            outcome.append(str(error))
        # A native module astroid imported for a project is not kept for the next one.
        assert "evilmod" not in sys.modules
    print(json.dumps(outcome))
    """
)


def lint_in_child(calls, marker):
    proc = subprocess.run(
        [sys.executable, "-c", RUNNER], input=json.dumps(calls), capture_output=True, text=True,
        env={**os.environ, "EVIL_MARKER": str(marker)}, timeout=600)
    assert proc.returncode == 0, proc.stderr[-3000:]
    return json.loads(proc.stdout.splitlines()[-1])


@pytest.mark.parametrize(
    "pyproject",
    [
        '[tool.vettor]\nextension-pkg-allow-list = ["evilmod"]\n',
        "[tool.vettor]\nunsafe-load-any-extension = true\n",
        '[tool.vettor]\nextension_pkg_whitelist = ["evilmod"]\n',
    ],
    ids=["allow-list", "any-extension", "old-name-with-underscores"],
)
def test_the_project_cannot_have_its_native_module_imported(tmp_path, extension, pyproject):
    root = native_project(tmp_path / "project", extension, pyproject)
    marker = tmp_path / "marker"
    (outcome,) = lint_in_child([[str(root), {}]], marker)
    key = pyproject.split("\n")[1].split(" ")[0].replace("_", "-")
    assert outcome == (f"{root / 'pyproject.toml'}: [tool.vettor] {key}: an option of pylint, "
                       "which the project's configuration cannot set (only vettor's own options)")
    assert not marker.exists()


def test_the_command_line_refuses_it_in_one_line(tmp_path, extension):
    root = native_project(tmp_path / "project", extension,
                          '[tool.vettor]\nextension-pkg-allow-list = ["evilmod"]\n')
    marker = tmp_path / "marker"
    proc = subprocess.run([sys.executable, "-m", "vettor.staticanalysis", str(root), "-j", "1"],
                          capture_output=True, text=True, env={**os.environ, "EVIL_MARKER": str(marker)})
    assert (proc.returncode, proc.stdout) == (2, "")
    (line,) = proc.stderr.splitlines()
    assert line.startswith(f"{root / 'pyproject.toml'}: [tool.vettor] extension-pkg-allow-list: ")
    assert not marker.exists()


def test_a_hosts_permission_is_its_own_and_ends_with_its_call(tmp_path, extension):
    untrusted = native_project(tmp_path / "untrusted", extension)
    trusted = write_files(tmp_path / "trusted", {"app/__init__.py": "", "app/views.py": "X = 1\n"})
    marker = tmp_path / "marker"
    # The host may allow it: the marker shows that the module is real and astroid imports it.
    allowed = {"extension-pkg-allow-list": ["evilmod"], "unsafe-load-any-extension": True}
    assert lint_in_child([[str(untrusted), allowed]], marker) == ["linted"]
    assert marker.read_text() == "imported"
    marker.unlink()
    # A permission given for one project does not outlive its call: the next project of the
    # same process is linted without it.
    assert lint_in_child([[str(trusted), allowed], [str(untrusted), {}]], marker) == ["linted"] * 2
    assert not marker.exists()


# ---------------------------------------------------------------------------------------
# The keys a project may set


def lint_project(root, files=None, config=None):
    return checker.get_messages(str(root), files or {"app/models.py": None}, "3.2", config or {}, 1)


MODELS = "from django.db import models\n\n\nclass Post(models.Model):\n    title = models.CharField(max_length=10, null=True)\n"


@pytest.mark.parametrize(
    "table, what",
    [
        ("load-plugins = ['app']", "load-plugins: an option of pylint"),
        ("init-hook = 'import os'", "init-hook: an option of pylint"),
        ("exit-zero = true", "exit-zero: an option of pylint"),
        ("limit-inference-results = 1", "limit-inference-results: an option of pylint"),
        ("colour = 'blue'", "colour: unknown key (not an option of vettor)"),
        ("root-urlconf = 'app.urls'", "root-urlconf: cannot be set: it is read from the project's settings"),
        ("django-version = 3.2", 'django-version: 3.2 is not a Django version written as a text, such as "3.2"'),
        ("django-version = 'latest'", "django-version: 'latest' is not a Django version"),
        ("settings-files = ['elsewhere.settings']", "settings-files: 'elsewhere.settings' is not a module of the project"),
        ("settings-files = ['app/settings.py']", "settings-files: 'app/settings.py' is not an import path"),
        ("directories = ['../outside']", "directories: '../outside' is not a folder inside the project"),
        ("directories = ['linked']", "directories: 'linked' is not a folder inside the project"),
        ("max-file-size = '10MB'", "max-file-size: '10MB' is not a size in MB (a number above 0)"),
        ("max-file-size = 0", "max-file-size: 0 is not a size in MB (a number above 0)"),
        ("max-file-size = true", "max-file-size: True is not a size in MB (a number above 0)"),
        ("max-file-size = nan", "max-file-size: nan is not a size in MB (a number above 0)"),
    ],
)
def test_a_key_the_project_may_not_set_is_a_configuration_error(tmp_path, table, what):
    (tmp_path / "outside").mkdir()
    root = write_files(tmp_path / "project", {"app/models.py": MODELS,
                                              "pyproject.toml": f"[tool.vettor]\n{table}\n"})
    os.symlink(tmp_path / "outside", root / "linked")
    with pytest.raises(meta.ConfigurationError) as raised:
        lint_project(root)
    assert str(raised.value) == f"{root / 'pyproject.toml'}: [tool.vettor] {what}" or str(
        raised.value).startswith(f"{root / 'pyproject.toml'}: [tool.vettor] {what}")


def test_the_hosts_own_configuration_is_not_screened(tmp_path):
    root = write_files(tmp_path / "project", {"app/models.py": MODELS})
    found = lint_project(root, config={"limit-inference-results": 50, "unsafe-load-any-extension": False})
    assert [m["message-id"] for m in found] == ["C2000"]


SETTINGS = 'SECRET_KEY = "x"\nDEBUG = True\nALLOWED_HOSTS = []\nMIDDLEWARE = []\nROOT_URLCONF = "{}"\n'


def test_configured_settings_modules_and_version_win_over_what_is_found(tmp_path, monkeypatch):
    root = write_files(tmp_path / "project", {
        "requirements.txt": "Django==3.2.25\n",
        "app/__init__.py": "",
        "app/models.py": MODELS,
        "proj/__init__.py": "",
        "proj/settings.py": SETTINGS.format("proj.urls"),
        "deploy/__init__.py": "",
        "deploy/live.py": SETTINGS.format("deploy.urls"),
        "pyproject.toml": "[tool.vettor]\ndjango-version = '2.2'\nsettings-files = ['deploy.live']\n",
    })
    seen = []
    original = checker.create_linter

    def spy(**kwargs):
        seen.append(original(**kwargs))
        return seen[-1]

    monkeypatch.setattr(checker, "create_linter", spy)
    files = {"app/models.py": None, "proj/settings.py": None, "deploy/live.py": None}
    found = lint_project(root, files)
    config = seen[0].config
    assert (config.django_version, config.settings_files, config.root_urlconf) == (
        "2.2", ["deploy.live"], "deploy.urls")
    assert {m["path"] for m in found if m["message-id"].startswith("C4")} == {"deploy/live.py"}


# ---------------------------------------------------------------------------------------
# Nothing outside the project is read


@pytest.fixture
def beside(tmp_path):
    """A project, and a folder beside it whose files would each show if read."""
    outside = write_files(tmp_path / "outside", {
        "models.py": MODELS.replace("title", "secret"),
        "page.html": '<a href="/outside/">Out</a>\n',
        "requirements.txt": "Django==2.2.28\n",
        "settings.py": SETTINGS.format("outside.urls"),
        "manage.py": 'import os\nos.environ.setdefault("DJANGO_SETTINGS_MODULE", "outside.settings")\nimport django\n',
        "setup.py": "install_requires = ['Django==2.1.15']\n",
    })
    root = write_files(tmp_path / "project", {"app/__init__.py": "", "app/models.py": MODELS,
                                              "app/templates/app/page.html": "<p>In</p>\n"})
    return root, outside


def warnings_of(caplog):
    return [r.getMessage() for r in caplog.records if r.levelno == logging.WARNING]


@pytest.mark.parametrize(
    "key, link",
    [
        ("../outside/models.py", None),
        ("app/linked.py", "models.py"),
        ("app/templates/app/linked.html", "page.html"),
    ],
    ids=["dot-dot", "python-link", "template-link"],
)
def test_a_selected_file_leading_outside_is_skipped_with_one_warning(beside, caplog, key, link):
    root, outside = beside
    if link:
        os.symlink(outside / link, root / key)
    caplog.set_level(logging.WARNING)
    found = lint_project(root, {key: None, "app/models.py": None})
    assert [(m["path"], m["message-id"]) for m in found] == [("app/models.py", "C2000")]
    assert warnings_of(caplog) == [f"Skipping {key}: it leads outside the project root"]


@pytest.mark.parametrize("name", ["requirements.txt", "setup.py", "manage.py", "settings.py"])
def test_discovery_skips_a_file_that_leads_outside(beside, caplog, name):
    root, outside = beside
    target = root / ("proj" if name == "settings.py" else "") / name
    target.parent.mkdir(exist_ok=True)
    (root / "proj" / "__init__.py").write_text("") if name == "settings.py" else None
    os.symlink(outside / name, target)
    caplog.set_level(logging.WARNING)
    assert dependencies.resolve_django_version(root) is None
    assert meta.get_settings_files(root) == []
    assert dependencies.is_django_repository(root) is True  # app/models.py imports Django
    # Asked again, the file is still skipped, and named once.
    meta.get_settings_files(root)
    dependencies.resolve_django_version(root)
    assert warnings_of(caplog) == [f"Skipping {target}: it leads outside the project root"]


def test_a_settings_module_never_reads_a_module_outside_the_project(tmp_path):
    # A module of that name lies above the project: read, it would turn DEBUG off and hide
    # the finding. Not found, the guarded import may as well have failed.
    write_files(tmp_path, {"base.py": "DEBUG = False\n"})
    guarded = "try:\n    from base import *\nexcept ImportError:\n    pass\n"
    root = write_files(tmp_path / "project", {
        "proj/__init__.py": "",
        "proj/settings.py": SETTINGS.format("proj.urls") + guarded,
        "pyproject.toml": "[tool.vettor]\nsettings-files = ['proj.settings']\n",
    })
    found = lint_project(root, {"proj/settings.py": None})
    assert "C4005" in {m["message-id"] for m in found}


# ---------------------------------------------------------------------------------------
# The command imports nothing from the project it runs in

REPORT_MODULES = textwrap.dedent(
    """
    import json, sys
    from vettor.staticanalysis import cli
    status = cli.main(sys.argv[1:])
    print(json.dumps(sorted({name.split(".")[0] for name in sys.modules})), file=sys.stderr)
    sys.exit(status)
    """
)

# A module run with -m prints what the interpreter had imported before running it.
BEFORE_ANY_CODE = "import json, sys\nprint(json.dumps(sorted({n.split('.')[0] for n in sys.modules})))\n"


def top_level_modules(stream):
    return set(json.loads(stream.strip().splitlines()[-1]))


def marker_module(markers, name):
    # Only builtins: the marker may shadow any module the command would import.
    return f"open({str(markers / name)!r}, 'w').close()\n"


@pytest.fixture(scope="module")
def shadowed_names(tmp_path_factory):
    """The top-level modules a lint of the command imports, less those the interpreter
    imports before it runs a module named with -m (runpy's own, and the package itself)."""
    clean = write_files(tmp_path_factory.mktemp("clean"), {
        "manage.py": "", "app/__init__.py": "", "app/models.py": MODELS})
    run = subprocess.run([sys.executable, "-c", REPORT_MODULES, "app", "-j", "1"], cwd=clean,
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 1, run.stderr[-2000:]
    probe = write_files(tmp_path_factory.mktemp("probe"), {
        "probe_package/__init__.py": "", "probe_package/__main__.py": BEFORE_ANY_CODE})
    before = subprocess.run([sys.executable, "-m", "probe_package"], cwd=probe,
                            capture_output=True, text=True, check=True)
    names = top_level_modules(run.stderr) - top_level_modules(before.stdout) - {"vettor", "__main__"}
    return sorted(names | {"argparse", "json", "logging", "tomli", "django"})


@pytest.mark.parametrize("how", ["vettor", "python -m"])
def test_the_command_imports_nothing_from_the_working_directory(tmp_path, shadowed_names, how):
    markers = tmp_path / "markers"
    markers.mkdir()
    root = write_files(tmp_path / "project", {
        "manage.py": "", "app/__init__.py": "", "app/models.py": MODELS})
    for name in shadowed_names:
        module = root / name / "__init__.py" if name == "django" else root / f"{name}.py"
        module.parent.mkdir(exist_ok=True)
        module.write_text(marker_module(markers, name))
    command = ([str(Path(sys.executable).with_name("vettor"))] if how == "vettor"
               else [sys.executable, "-m", "vettor.staticanalysis"])
    result = subprocess.run([*command, "app", "-j", "1"], cwd=root, capture_output=True,
                            text=True, timeout=600)
    assert sorted(path.name for path in markers.iterdir()) == []
    assert "argparse" in shadowed_names and len(shadowed_names) > 40
    # The lint itself reads the project's django/ as its Django, as Python would run it.
    assert result.returncode in (0, 1), result.stderr[-2000:]
    assert result.stdout.endswith("Findings: 0 in 2 Python files and 0 templates\n")


# ---------------------------------------------------------------------------------------
# Inside the root, on every road

@pytest.fixture
def sibling(tmp_path):
    """A project, and beside it a folder whose name begins with the project's own."""
    root = write_files(tmp_path / "shop", {"app/__init__.py": "", "app/models.py": MODELS})
    write_files(tmp_path / "shop2", {"models.py": MODELS.replace("title", "secret")})
    os.symlink(tmp_path / "shop2" / "models.py", root / "app" / "linked.py")
    return root


@pytest.mark.parametrize("path", ["../shop2/models.py", "app/linked.py"])
def test_a_folder_beside_the_root_is_outside_it_on_every_road(sibling, caplog, path):
    from vettor.staticanalysis import suggest, transformer

    caplog.set_level(logging.WARNING)
    found = lint_project(sibling, {path: None, "app/models.py": None})
    assert [(m["path"], m["message"]) for m in found] == [("app/models.py", {"name": "title"})]
    finding = {"path": path, "line": 5, "message-id": "C2000", "body": "x"}
    (comment,) = suggest.suggest_fixes([finding], str(sibling))
    assert comment["body"] == "x"
    if path.startswith(".."):
        with pytest.raises(ValueError, match="is not inside the project root"):
            transformer.transform_files(sibling, [path], jobs=1)
    else:
        assert [p for _, p in transformer.transform_files(sibling, [path], jobs=1)] == []
    assert all("secret" not in m for m in warnings_of(caplog))
    assert any("outside" in m or "not a file inside the project root" in m for m in warnings_of(caplog))
