"""What a project lint leaves of the host process as it found it: the garbage collector's
thresholds (raised only while files are checked, put back however the check ends), and
astroid's node construction, which keeps its signatures but warns exactly as astroid does."""
import gc
import inspect
import warnings

import astroid.decorators
import pytest
from astroid import nodes

from conftest import LINT_PROJECT
from vettor.staticanalysis import checker

FILES = {"shop/models.py": None}


@pytest.fixture
def host_thresholds():
    saved = gc.get_threshold()
    yield
    gc.set_threshold(*saved)


def lint_with(monkeypatch, check):
    """get_python_messages with the linter's check replaced by `check(run_check)`."""
    original = checker.Linter

    class Linter(original):
        def check(self, files_or_modules):
            return check(lambda: original.check(self, files_or_modules=files_or_modules))

    monkeypatch.setattr(checker, "Linter", Linter)
    return checker.get_python_messages(str(LINT_PROJECT), FILES, "3.2", jobs=1)


@pytest.mark.parametrize(
    "host, during",
    [
        ((700, 10, 10), (100000, 50, 100)),
        ((250000, 80, 300), (250000, 80, 300)),  # set higher by the host: kept
        ((0, 10, 10), (0, 50, 100)),  # automatic collection off: stays off
    ],
)
def test_thresholds_are_raised_while_files_are_checked_and_put_back(
    monkeypatch, host_thresholds, host, during
):
    gc.set_threshold(*host)
    seen = []

    def check(run_check):
        seen.append(gc.get_threshold())
        return run_check()

    lint_with(monkeypatch, check)
    assert seen == [during]
    assert gc.get_threshold() == host


def test_thresholds_are_put_back_when_the_check_raises(monkeypatch, host_thresholds):
    gc.set_threshold(700, 10, 10)

    def check(run_check):
        assert gc.get_threshold() != (700, 10, 10)
        raise RuntimeError("the check failed")

    with pytest.raises(RuntimeError, match="the check failed"):
        lint_with(monkeypatch, check)
    assert gc.get_threshold() == (700, 10, 10)


def constructor_warnings(make):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        make()
    return [(w.category, str(w.message), w.filename, w.lineno) for w in caught]


@pytest.fixture(scope="module")
def linted_once():
    checker.get_python_messages(str(LINT_PROJECT), FILES, "3.2", jobs=1)


@pytest.mark.usefixtures("linted_once")
@pytest.mark.parametrize(
    "make, argument, node_class",
    [
        (lambda: nodes.Name(), "name", "Name"),
        (lambda: nodes.Attribute(attrname=None), "attrname", "Attribute"),
        (lambda: nodes.BinOp(None), "op", "BinOp"),
        (lambda: nodes.Import(), "names", "Import"),
    ],
)
def test_node_constructors_warn_as_astroid_does(monkeypatch, make, argument, node_class):
    after_lint = constructor_warnings(make)
    monkeypatch.setattr(astroid.decorators, "inspect", inspect)
    assert after_lint == constructor_warnings(make)
    ((category, message, filename, _),) = after_lint
    assert category is DeprecationWarning and filename == astroid.decorators.__file__
    assert message.startswith(f"'{argument}' will be a required argument for '{node_class}.__init__'")


@pytest.mark.usefixtures("linted_once")
def test_node_constructors_given_every_argument_do_not_warn():
    assert constructor_warnings(lambda: nodes.Name(name="x")) == []
    assert constructor_warnings(lambda: nodes.BinOp(op="+")) == []


@pytest.mark.usefixtures("linted_once")
def test_astroid_sees_the_real_inspect_but_for_kept_signatures():
    seen = astroid.decorators.inspect
    init = nodes.Name.__init__.__wrapped__
    assert seen.signature(init) == inspect.signature(init)
    assert seen.signature(init) is seen.signature(init)
    assert seen.getsource is inspect.getsource and seen.Parameter is inspect.Parameter
    # A question asked in another way is the real module's answer, asked afresh.
    assert seen.signature(init, follow_wrapped=False) == inspect.signature(init)
    assert seen.signature(len) == inspect.signature(len)
    with pytest.raises(AttributeError):
        seen.no_such_name
    # A second lint keeps what the first put there.
    checker.get_python_messages(str(LINT_PROJECT), FILES, "3.2", jobs=1)
    assert astroid.decorators.inspect is seen
