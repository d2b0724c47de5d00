"""A tree built for one text leaves the rest of the process as it was: astroid's global
transforms still shape every later tree, and the module cache does not hand the built tree to
a later import or project lint."""
import astroid
import pytest
from astroid.transforms import TransformVisitor
from pylint.checkers import BaseChecker
from pylint.checkers.utils import safe_infer
from pylint.interfaces import IAstroidChecker

from conftest import FIXTURES, FLAGGED, marked_findings
from vettor.staticanalysis import checker, helpers, message_templates, shims

PROJECT = FIXTURES / "atok_project"
POINTS = "shapes/points.py"


class ProbeChecker(BaseChecker):
    """Reports what the argument of each probe(...) call infers to."""

    __implements__ = IAstroidChecker
    name = "probe"
    msgs = {FLAGGED: (helpers.context_string(), "probe", "What a probe's argument infers to")}

    def visit_call(self, node):
        if getattr(node.func, "name", None) == "probe":
            value = safe_infer(node.args[0])
            self.add_message(FLAGGED, node=node, args={"name": type(value).__name__})


def global_registry():
    return {cls: list(entries) for cls, entries in astroid.MANAGER._transform.transforms.items()}


def test_the_global_registry_is_left_as_it_was():
    shims  # loaded: its own registrations are part of the registry from here on
    registry, before = astroid.MANAGER._transform, global_registry()
    helpers.build_atok("import collections\nx = 1\n", "isolated_registry", None, True)
    assert astroid.MANAGER._transform is registry
    assert global_registry() == before
    point = astroid.extract_node("import collections\ncollections.namedtuple('P', 'x y')  #@\n")
    assert isinstance(safe_infer(point), astroid.ClassDef)


def test_the_built_tree_is_not_left_in_the_module_cache():
    tree = helpers.build_atok("x = 1\n", "isolated_cache").tree
    assert "isolated_cache" not in astroid.MANAGER.astroid_cache
    assert tree.name == "isolated_cache"


def test_an_earlier_cache_entry_is_kept():
    earlier = astroid.parse("y = 2\n", module_name="isolated_kept")
    try:
        helpers.build_atok("x = 1\n", "isolated_kept")
        assert astroid.MANAGER.astroid_cache["isolated_kept"] is earlier
    finally:
        astroid.MANAGER.astroid_cache.pop("isolated_kept", None)


def test_the_cache_entry_goes_also_when_the_build_fails(monkeypatch):
    def failing(registry):
        def fail(node):
            raise RuntimeError("transform failed")

        registry.register_transform(astroid.nodes.Assign, fail)

    monkeypatch.setattr(shims, "register_transforms", failing)
    with pytest.raises(RuntimeError, match="transform failed"):
        helpers.build_atok("x = 1\n", "isolated_failed")
    assert "isolated_failed" not in astroid.MANAGER.astroid_cache


def test_the_tree_gets_the_shims_only(monkeypatch):
    registered = []

    def recording(registry):
        assert isinstance(registry, TransformVisitor) and registry is not astroid.MANAGER._transform
        registered.append(registry)

    tree = helpers.build_atok("import collections\nP = collections.namedtuple('P', 'x y')\n").tree
    # No brain transform touched this tree: the namedtuple call keeps ordinary inference.
    assert tree.body[1].value._explicit_inference is None
    monkeypatch.setattr(shims, "register_transforms", recording)
    helpers.build_atok("x = 1\n")
    assert len(registered) == 1


def test_a_later_project_lint_gets_the_file_and_the_brain_transforms(monkeypatch, project_layer):
    monkeypatch.setattr(checker, "python_checker_classes", [ProbeChecker])
    monkeypatch.setattr(message_templates, FLAGGED, "Probe of {name}.", raising=False)
    # A tree for the same module name and path, with a probe that would report a constant.
    path = str((PROJECT / POINTS).resolve())
    helpers.build_atok("probe(1)\n", modname="shapes.points", absolute_path=path, parse_non_code=True)

    messages = checker.get_python_messages(str(PROJECT), {POINTS: None}, "3.2", jobs=1)
    found = [(m["path"], m["line"], m["message-id"], m["message"]) for m in messages]
    assert found == marked_findings(PROJECT / POINTS, POINTS)
