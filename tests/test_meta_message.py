"""The Django-version finding: which released versions the project's requirement admits."""
import pytest

from vettor.staticanalysis import checker, dependencies

CANDIDATES = [
    f"{major}.{minor}.{patch}" for major in (2, 3) for minor in (0, 1, 2) for patch in range(30)
]


def meta_for(monkeypatch, details):
    monkeypatch.setattr(dependencies, "resolve_django_version", lambda root: details, raising=False)
    return checker.get_meta_messages("/some/project")


@pytest.mark.parametrize(
    "version, specs, matching",
    [
        ("1.11", "", CANDIDATES),
        ("2.2", ">=2.2,<3.0", [f"2.2.{patch}" for patch in range(30)]),
        ("1.11", "==1.11.29", []),
        ("3.2", "~=3.2.10", [f"3.2.{patch}" for patch in range(10, 30)]),
    ],
)
def test_meta_message_lists_the_matching_candidates(monkeypatch, version, specs, matching):
    details = {"path": "requirements.txt", "version": version, "specs": specs}
    (message,) = meta_for(monkeypatch, details)
    assert message == {
        "message-id": "C1000",
        "path": "requirements.txt",
        "message_type": "meta",
        "body": {"specs": specs, "minor": version, "matching_versions": matching},
    }
    assert list(message) == ["message-id", "path", "message_type", "body"]
    assert list(message["body"]) == ["specs", "minor", "matching_versions"]


def test_there_are_180_candidates_in_order(monkeypatch):
    (message,) = meta_for(monkeypatch, {"path": "setup.py", "version": "1.11", "specs": ""})
    assert len(message["body"]["matching_versions"]) == 180
    assert message["body"]["matching_versions"][:2] == ["2.0.0", "2.0.1"]
    assert message["body"]["matching_versions"][-1] == "3.2.29"


@pytest.mark.parametrize("details", [None, {}])
def test_no_resolved_requirement_gives_no_meta_message(monkeypatch, details):
    assert meta_for(monkeypatch, details) == []


@pytest.mark.parametrize(
    "requirement, minor, matching",
    [
        ("Django>=2.2,<3.0\n", "2.2", [f"2.2.{patch}" for patch in range(30)]),
        ("Django==1.11.29\n", "1.11", []),
        ("Django\n", "1.11", CANDIDATES),
    ],
    ids=["range", "pinned below the candidates", "bare"],
)
def test_meta_message_from_the_projects_requirements(tmp_path, requirement, minor, matching):
    (tmp_path / "requirements.txt").write_text("rich==13.3.1\n" + requirement)
    (message,) = checker.get_meta_messages(project_root=tmp_path)
    assert message["path"] == "requirements.txt"
    assert message["body"]["minor"] == minor
    assert message["body"]["matching_versions"] == matching
