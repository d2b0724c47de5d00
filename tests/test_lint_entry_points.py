"""get_messages end to end on a small project on disk: selections, configuration, paths,
pragmas and the order of the result."""
import logging
import shutil

import pytest

from conftest import FLAGGED, LINT_PROJECT, RECORD_KEYS
from marked_findings import expected_findings
from vettor.staticanalysis import checker, message_templates

pytestmark = pytest.mark.usefixtures("stand_in_rules")

MODELS = "shop/models.py"
VIEWS = "shop/views.py"
TEMPLATE = "shop/templates/shop/index.html"


def lint(files, root=LINT_PROJECT, **kwargs):
    kwargs.setdefault("jobs", 1)
    return checker.get_messages(str(root), files, **kwargs)


def python_findings(messages):
    """(path, line, column, code, record without the configured limit) of each finding."""
    return [
        (m["path"], m["line"], m["column"], m["message-id"], [("name", m["message"]["name"])])
        for m in messages
        if m["message-id"] == FLAGGED
    ]


def marked(*paths):
    return [
        (path, *mark) for path in paths for mark in expected_findings(LINT_PROJECT / path, FLAGGED)
    ]


def template_findings(messages):
    return [
        (m["path"], m["line"], m["message-id"])
        for m in messages
        if m["message-id"] in ("C7000", "C7001")
    ]


def test_python_findings_match_the_marks_and_pragmas():
    messages = lint({MODELS: None, VIEWS: None})
    assert sorted(python_findings(messages)) == sorted(marked(MODELS, VIEWS))
    record = next(m for m in messages if m["message-id"] == FLAGGED)
    assert list(record) == RECORD_KEYS
    assert record["symbol"] == "flagged-call"
    assert record["module"] == "shop.models"


def test_python_then_templates_then_meta():
    messages = lint({TEMPLATE: None, "META": None, MODELS: None})
    kinds = [
        "meta" if m.get("message_type") == "meta" else "html" if "hint" in m else "python"
        for m in messages
    ]
    assert kinds == sorted(kinds, key=["python", "html", "meta"].index)
    assert kinds.count("meta") == 1 and "python" in kinds and "html" in kinds
    assert messages[-1]["message-id"] == "C1000"


def test_without_meta_key_there_is_no_meta_message():
    assert all(m["message-id"] != "C1000" for m in lint({MODELS: None}))


@pytest.mark.parametrize(
    "files, expected",
    [
        ({MODELS: [3, 4]}, {(MODELS, 3)}),
        ({MODELS: {5, 6, 11}}, {(MODELS, 5), (MODELS, 6)}),
        ({MODELS: None, VIEWS: []}, {(MODELS, 3), (MODELS, 5), (MODELS, 6), (MODELS, 10)}),
        ({TEMPLATE: [3, 4]}, {(TEMPLATE, 3)}),
        ({TEMPLATE: None}, {(TEMPLATE, 3), (TEMPLATE, 6)}),
    ],
)
def test_line_selection(files, expected):
    found = {(m["path"], m["line"]) for m in lint(files) if m["message-id"] != "C1000"}
    assert found == expected


def test_only_template_keys_still_run_the_linter_over_no_files(monkeypatch):
    seen = []
    original = checker.Linter.check

    def spy(self, files_or_modules, *args, **kwargs):
        seen.append(list(files_or_modules))
        return original(self, files_or_modules, *args, **kwargs)

    monkeypatch.setattr(checker.Linter, "check", spy)
    messages = lint({TEMPLATE: None, "other.txt": None})
    assert seen == [[]]
    assert {m["message-id"] for m in messages} == {"C7000"}


def test_template_findings_keep_the_record_and_the_key_as_path():
    (first, *_) = lint({TEMPLATE: None})
    assert list(first) == [
        "path",
        "line",
        "message",
        "type",
        "column",
        "module",
        "symbol",
        "hint",
        "message-id",
    ]
    assert first["path"] == TEMPLATE
    assert (first["line"], first["column"]) == (3, 4)


@pytest.mark.parametrize(
    "disable, codes",
    [
        # The caller's list replaces the project's (which disables C7001).
        (["C7000"], {"C7001"}),
        (["C7000", "C7001"], set()),
        (["hard-coded-url"], {"C7001"}),
        (["hard-coded-static-url", "C7000"], set()),
        ("hard-coded-url, C7001", set()),
        ([], {"C7000", "C7001"}),
    ],
)
def test_disable_removes_template_findings_by_code_or_symbol(disable, codes):
    messages = lint({TEMPLATE: None}, config={"disable": disable})
    assert {m["message-id"] for m in messages} == codes


@pytest.mark.parametrize(
    "config, codes",
    [
        ({"disable": ["all"]}, set()),
        ({"disable": ["C"]}, set()),
        ({"disable": "c"}, set()),
        ({"disable": ["E", "W"]}, {"C7000", "C7001"}),
        # applied in the mapping's order, as pylint applies them to Python findings
        ({"disable": ["all"], "enable": ["hard-coded-static-url"]}, {"C7001"}),
        ({"enable": ["C7001"], "disable": ["all"]}, set()),
        ({"disable": ["C"], "enable": "C7000, C7001"}, {"C7000", "C7001"}),
        ({"enable": ["all"]}, {"C7000", "C7001"}),
    ],
)
def test_all_and_category_letters_reach_template_findings(tmp_path, config, codes):
    (tmp_path / "page.html").write_text('<a href="/a/">A</a>\n<img src="/static/a.png">\n')
    messages = checker.get_html_messages(
        files={"page.html": None}, config=config, project_root=str(tmp_path)
    )
    assert {m["message-id"] for m in messages} == codes


def test_project_configuration_is_merged_under_the_callers(caplog):
    caplog.set_level(logging.DEBUG, logger="vettor.staticanalysis.checker")
    from_project = lint({MODELS: [3], TEMPLATE: None})
    # The project sets max-flagged = 3 and disables C7001; "directories" is not an option.
    assert [m["message"]["limit"] for m in from_project if m["message-id"] == FLAGGED] == [3]
    assert {m["message-id"] for m in from_project if m["path"] == TEMPLATE} == {"C7000"}
    logged = [r.getMessage() for r in caplog.records if r.getMessage().startswith("Using config: ")]
    assert logged == [
        "Using config: {'directories': ['shop'], 'max-flagged': 3, 'disable': ['C7001']}\n"
    ]

    from_caller = lint({MODELS: [3], TEMPLATE: None}, config={"max-flagged": 5, "disable": []})
    assert [m["message"]["limit"] for m in from_caller if m["message-id"] == FLAGGED] == [5]
    assert {m["message-id"] for m in from_caller if m["path"] == TEMPLATE} == {"C7000", "C7001"}


def test_directories_never_reaches_the_linter():
    # An option pylint does not know raises; this one is skipped.
    assert lint({MODELS: [3]}, config={"directories": ["elsewhere"]})
    with pytest.raises(Exception, match="no-such-option"):
        lint({MODELS: [3]}, config={"no-such-option": 1})


def test_configured_settings_and_version_win_and_the_urlconf_is_found(monkeypatch):
    linters = []
    original = checker.create_linter

    def spy(**kwargs):
        linters.append(original(**kwargs))
        return linters[-1]

    monkeypatch.setattr(checker, "create_linter", spy)
    lint(
        {MODELS: [3]},
        default_django_version="3.1",
        config={
            "jobs": 1,
            "django-version": "1.0",
            "root-urlconf": "x.urls",
            "settings-files": ["x"],
        },
        jobs=2,
    )
    config = linters[0].config
    assert config.jobs == 1
    # A configured Django version and settings modules win over what the project gives; the
    # root URL configuration is always read from the settings.
    assert config.django_version == "1.0"
    assert config.settings_files == ["x"]
    assert config.root_urlconf != "x.urls"


@pytest.mark.parametrize("entry, expected", [(0, None), (2, 2), (1, 1)])
def test_a_jobs_entry_follows_the_jobs_argument_rules(monkeypatch, entry, expected):
    # pylint cannot start a pool of 0 workers: 0 asks for one per CPU, as the argument does.
    linters = []
    original = checker.create_linter
    monkeypatch.setattr(
        checker, "create_linter", lambda **kw: linters.append(original(**kw)) or linters[-1]
    )
    monkeypatch.setattr(checker.lint.PyLinter, "check", lambda self, files_or_modules: None)
    lint({MODELS: None}, config={"jobs": entry}, jobs=1)
    assert linters[0].config.jobs == expected


def test_default_django_version_when_nothing_resolves(monkeypatch):
    from vettor.staticanalysis import dependencies

    monkeypatch.setattr(dependencies, "resolve_django_version", lambda root: None, raising=False)
    linters = []
    original = checker.create_linter
    monkeypatch.setattr(
        checker, "create_linter", lambda **kw: linters.append(original(**kw)) or linters[-1]
    )
    messages = lint({MODELS: [3], "META": None})
    assert linters[0].config.django_version == "3.2"
    assert all(m["message-id"] != "C1000" for m in messages)


def test_findings_do_not_depend_on_the_working_directory(tmp_path, monkeypatch):
    expected = sorted(python_findings(lint({MODELS: None, VIEWS: None})))
    project = tmp_path / "copy"
    shutil.copytree(LINT_PROJECT, project)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    monkeypatch.chdir(elsewhere)
    assert sorted(python_findings(lint({MODELS: None, VIEWS: None}, root=project))) == expected
    # A relative root is taken from the working directory, as any path would be.
    assert sorted(python_findings(lint({MODELS: None, VIEWS: None}, root="../copy"))) == expected
    assert template_findings(lint({TEMPLATE: None}, root=project)) == [
        (TEMPLATE, 3, "C7000"),
        (TEMPLATE, 6, "C7000"),
    ]
    # The project's parent as working directory, where pylint alone would say "copy/shop/..."
    monkeypatch.chdir(tmp_path)
    assert sorted(python_findings(lint({MODELS: None, VIEWS: None}, root=project))) == expected


def test_a_working_directory_named_inside_the_root_path(tmp_path, monkeypatch):
    # pylint strips the working directory from a path wherever it occurs in it, not only in
    # front: linting /tmp/.../usr/copy from /usr must still find the project's files.
    expected = sorted(python_findings(lint({MODELS: None})))
    project = tmp_path / "usr" / "copy"
    shutil.copytree(LINT_PROJECT, project)
    monkeypatch.chdir("/usr")
    assert sorted(python_findings(lint({MODELS: None}, root=project))) == expected
    assert sorted(python_findings(lint({MODELS: None}, root=project, jobs=2))) == expected


def test_a_key_is_matched_in_its_normal_form():
    found = {(m["path"], m["line"]) for m in lint({"./shop//models.py": [3]})}
    assert found == {(MODELS, 3)}


@pytest.mark.parametrize("jobs", [1, 0])
def test_a_syntax_error_is_kept_with_pythons_message_whatever_lines_were_asked(jobs):
    (finding,) = lint({"shop/broken.py": [5], MODELS: []}, jobs=jobs)
    assert {k: finding[k] for k in ("path", "line", "column", "symbol", "message-id")} == {
        "path": "shop/broken.py",
        "line": 1,
        "column": 11,
        "symbol": "syntax-error",
        "message-id": "E0001",
    }
    assert finding["message"] == "invalid syntax (<unknown>, line 1)"


def test_other_findings_of_pylint_itself_are_dropped(tmp_path):
    project = tmp_path / "copy"
    shutil.copytree(LINT_PROJECT, project)
    (project / "shop" / "pragmas.py").write_text("flagged()  # vettor: disable=no-such-check\n")
    messages = lint({"shop/pragmas.py": None}, root=project)
    # pylint's bad-option-value (E0012) is not one of the package's findings.
    assert [m["message-id"] for m in messages] == [FLAGGED]


def test_a_failing_analysis_is_a_fatal_finding_and_is_logged(caplog, monkeypatch):
    def fail(self, filepath, modname, data=None):
        raise RuntimeError("boom")

    monkeypatch.setattr(checker.Linter, "get_ast", fail)
    (finding,) = lint({MODELS: None})
    assert (finding["path"], finding["message-id"], finding["symbol"]) == (MODELS, "F0001", "fatal")
    fatal = [r for r in caplog.records if r.getMessage().startswith("Fatal message: ")]
    assert fatal and fatal[0].levelno == logging.ERROR
    assert "'type': 'fatal'" in fatal[0].getMessage()


@pytest.mark.parametrize(
    "table, jobs, config, expected",
    [
        # the project's own value: never more than the CPUs, nor than the host's jobs
        ("jobs = 10000", 0, {}, 2),
        ("jobs = 10000", 1, {}, 1),
        ("jobs = 32", 4, {}, 2),
        ("jobs = 0", 0, {}, 2),
        ("jobs = 0", 1, {}, 1),
        ("jobs = 1", 0, {}, 1),
        ("jobs = 2", 0, {}, 2),
        # the host's own configuration is the host's
        ("jobs = 32", 1, {"jobs": 8}, 8),
        ("", 3, {}, 3),
        ("", 0, {}, None),
    ],
)
def test_a_projects_jobs_is_bounded_by_the_cpus_and_the_hosts_jobs(
    tmp_path, monkeypatch, table, jobs, config, expected
):
    root = tmp_path / "project"
    shutil.copytree(LINT_PROJECT, root)
    (root / "pyproject.toml").write_text(f"[tool.vettor]\n{table}\n")
    monkeypatch.setattr(checker.os, "sched_getaffinity", lambda pid: {0, 1})
    linters = []
    original = checker.create_linter
    monkeypatch.setattr(
        checker, "create_linter", lambda **kw: linters.append(original(**kw)) or linters[-1]
    )
    monkeypatch.setattr(checker.lint.PyLinter, "check", lambda self, files_or_modules: None)
    lint({MODELS: None}, root=root, config=config, jobs=jobs)
    assert linters[0].config.jobs == expected
