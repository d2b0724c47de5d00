"""Lines whose inference needs more stack than the interpreter allows (a queryset passed
through forty helpers that each return it, or reassigned a hundred times) are analysed, and the
same way on every road and every run: an inference gets a fixed budget of frames counted from
where it starts, and what needs more is not inferable."""
import logging
import sys
from pathlib import Path

import pytest

from marked_findings import expected_findings, ordered
from vettor.staticanalysis import checker, helpers, transformer

DEEP = Path(__file__).parent / "fixtures" / "deep_inference_project"
MODULE = "projects/views.py"
FILES = ["projects/admin.py", "projects/columns.py", "projects/models.py", MODULE]


def at_depth(depth, function):
    """function() called `depth` frames deeper than here."""
    return function() if depth == 0 else at_depth(depth - 1, function)


def descend(frames):
    return 0 if frames == 0 else descend(frames - 1) + 1


@pytest.mark.parametrize("depth", [0, 600])
def test_a_budget_counts_its_frames_from_where_it_starts(depth):
    limit = sys.getrecursionlimit()
    assert at_depth(depth, lambda: helpers.within_inference_budget(descend, 700)) == 700
    assert at_depth(depth, lambda: helpers.within_inference_budget(descend, 5000)) is None
    assert sys.getrecursionlimit() == limit


def test_an_inference_asked_within_a_budget_is_part_of_it():
    # Astroid calling the shims, a rule asking helpers: the running budget decides.
    inner = lambda: at_depth(600, lambda: helpers.within_inference_budget(descend, 700))
    assert helpers.within_inference_budget(inner) is None
    # The shims' predicates take one of their own, so a tree's transforms decide the same
    # however deep the inference that built the module stood.
    own = lambda: at_depth(600, lambda: helpers.within_own_inference_budget(descend, 700))
    assert helpers.within_inference_budget(own) == 700


def test_other_errors_pass_through_a_budget():
    def failing():
        raise ValueError("not a depth")

    with pytest.raises(ValueError):
        helpers.within_inference_budget(failing)


def findings(files, jobs):
    records = checker.get_messages(str(DEEP), {f: None for f in files}, "3.2", {}, jobs)
    return ordered([(r["line"], r["column"], r["message-id"],
                     list(r["message"].items()) if isinstance(r["message"], dict) else r["message"])
                    for r in records if r["path"] == MODULE])


@pytest.mark.parametrize("files, jobs", [
    ([MODULE], 1),
    (FILES, 1),
    (FILES[::-1], 1),
    (FILES, 2),
])
def test_a_module_that_recursed_is_analysed_the_same_way_twice(files, jobs):
    expected = ordered(expected_findings(DEEP / MODULE, ("C", "F")))
    assert expected
    assert findings(files, jobs) == expected
    assert findings(files, jobs) == expected


def test_a_module_that_recursed_is_fixed_the_same_way_twice(caplog):
    source = (DEEP / MODULE).read_text()
    caplog.set_level(logging.WARNING, logger="vettor.staticanalysis")
    fixed = [transformer.transform_code(source, str(DEEP / MODULE), "") for _ in range(2)]
    assert fixed[0] == fixed[1]
    assert "C9002" in fixed[0].reasons
    changed = [(before, after) for before, after in
               zip(source.splitlines(), fixed[0].code.splitlines()) if before != after]
    assert [(before.strip(), after.strip()) for before, after in changed] == [
        ("if qs.count() > 0:  # [C9002@4 queryset='qs' expression='qs.count()']",
         "if qs.exists():  # [C9002@4 queryset='qs' expression='qs.count()']")]
    assert not caplog.records


def marked_line(code):
    source = (DEEP / MODULE).read_text()
    return next(number for number, text in enumerate(source.splitlines(), 1) if f"[{code}@" in text)


def single_text_findings():
    source = (DEEP / MODULE).read_text()
    return [(m["line"], m["message-id"]) for m in checker.check_code(source, str(DEEP / MODULE), "")]


def review_suggestions():
    from vettor.staticanalysis import suggest

    found = {"path": MODULE, "line": marked_line("C9002"), "message-id": "C9002", "body": "C9002 here"}
    return suggest.suggest_fixes([found], str(DEEP))


@pytest.mark.parametrize("road, expected", [
    (single_text_findings, lambda: [(marked_line("C9002"), "C9002")]),
    (review_suggestions, lambda: [{
        "body": "```suggestion\n    if qs.exists():  # [C9002@4 queryset='qs' expression='qs.count()']\n```"
                "\n\nC9002 here",
        "path": MODULE, "side": "RIGHT", "line": marked_line("C9002")}]),
], ids=["single text", "review"])
def test_a_module_that_recursed_is_judged_the_same_way_on_the_other_roads(road, expected):
    assert road() == expected()
    assert road() == expected()
