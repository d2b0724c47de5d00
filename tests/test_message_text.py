"""A finding's message text keeps its argument record instead of a rendered sentence."""
import pickle

import pytest
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker
from pylint.lint import PyLinter
from pylint.reporters import CollectingReporter

from vettor.staticanalysis import helpers

context_string = helpers.context_string


@pytest.mark.parametrize(
    "text, operand",
    [
        ("", {"name": "title", "value": 1000}),
        ("'foo %s'", ("one",)),
        ("%(name)s %d", None),
        ("", "plain text"),
        ("{name}", [1, 2]),
    ],
)
def test_percent_returns_its_right_operand_itself(text, operand):
    assert (context_string(text) % operand) is operand


def test_empty_text_is_an_empty_str():
    empty = context_string()
    assert empty == "" and len(empty) == 0 and not empty
    assert isinstance(empty, str)
    assert hash(empty) == hash("")


def test_text_operations_give_plain_texts():
    text = context_string("abc")
    for result in (text + "d", text[1:], text.upper(), "x" + text):
        assert type(result) is str
    assert text + "d" == "abcd"


def test_text_type_documents_why_it_defers():
    assert issubclass(context_string, str)
    assert context_string.__doc__ == (
        "\n    Allow deferring string render: instead of rendering string when pylint does "
        "'foo %s' % args use this and do\n    'foo {name}' % args to return a dict, save "
        "the dict in db then render on last worker\n\n    "
    )


def test_text_pickles_by_name_for_worker_processes():
    text = pickle.loads(pickle.dumps(context_string("C2006")))
    assert type(text) is context_string and text == "C2006"
    assert pickle.loads(pickle.dumps(context_string)) is context_string


class RecordingChecker(BaseChecker):
    __implements__ = IAstroidChecker
    name = "recording"
    msgs = {"C9990": (context_string(), "recorded-call", "A call was seen.")}

    def __init__(self, linter):
        super().__init__(linter)
        self.records = []

    def visit_call(self, node):
        record = {"name": node.func.name, "value": 1000}
        self.records.append(record)
        self.add_message("C9990", node=node, args=record)


def test_pylint_finding_keeps_the_argument_record(tmp_path):
    source = tmp_path / "sample.py"
    source.write_text("print('a')\n")
    linter = PyLinter(reporter=CollectingReporter())
    checker = RecordingChecker(linter)
    linter.register_checker(checker)
    linter.check([str(source)])
    [finding] = [m for m in linter.reporter.messages if m.msg_id == "C9990"]
    assert finding.msg == {"name": "print", "value": 1000}
    assert finding.msg is checker.records[0]


def test_node_value_error_is_a_type_error():
    error = helpers.NodeValueUndefinable
    assert issubclass(error, TypeError)
    assert error.__doc__ is None
    assert error.__module__ == "vettor.staticanalysis.helpers"
    with pytest.raises(TypeError):
        raise error()
