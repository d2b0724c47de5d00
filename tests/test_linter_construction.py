"""Rule registration and linter construction: the lists, the code tables, create_linter."""
import importlib.machinery
import optparse
import re
import subprocess
import sys
import textwrap

import pytest

from conftest import FlaggedCallChecker
from vettor.staticanalysis import checker, message_templates

# The registration order of the source-code rule checkers, by module.
ORDER = ["admin", "settings", "columns", "classorder", "migrations", "querysets", "urls"]


def test_the_driver_is_a_compiled_extension():
    assert isinstance(checker.__loader__, importlib.machinery.ExtensionFileLoader)


def test_rule_lists_follow_the_registration_order():
    modules = [cls.__module__.rsplit(".", 1)[1] for cls in checker.python_checker_classes]
    assert modules == ORDER
    assert all(cls.__name__ == "Checker" for cls in checker.python_checker_classes)
    assert [cls.__module__ for cls in checker.html_checker_classes] == [
        "vettor.staticanalysis.checkers.templates"
    ]


def test_create_linter_registers_one_instance_of_each_rule_checker_in_order():
    linter = checker.create_linter(linter_class=checker.Linter)
    registered = [c for c in linter.get_checkers() if c is not linter]
    # pylint keeps its checkers by name, in the order they were registered.
    instances = [c for group in linter._checkers.values() for c in group if c is not linter]
    assert [type(c) for c in instances] == checker.python_checker_classes
    assert all(c.linter is linter for c in instances)
    assert not any(isinstance(c, tuple(checker.html_checker_classes)) for c in registered)


def test_new_linter_option_defaults():
    linter = checker.create_linter(linter_class=checker.Linter)
    assert linter.config.settings_files == []
    assert linter.config.root_urlconf == ""
    assert linter.config.django_version == "3.3"
    assert isinstance(linter.reporter, checker.Reporter)
    # The list default is new for every linter.
    linter.config.settings_files.append("x")
    assert checker.create_linter(linter_class=checker.Linter).config.settings_files == []


@pytest.mark.parametrize("jobs, expected", [(0, None), (1, 1), (4, 4)])
def test_jobs_zero_becomes_none(jobs, expected):
    assert checker.create_linter(linter_class=checker.Linter, jobs=jobs).config.jobs == expected


def test_categories_r_and_w_are_emptied():
    linter = checker.create_linter(linter_class=checker.Linter)
    by_category = linter.msgs_store._msgs_by_category
    assert by_category["R"] == [] and by_category["W"] == []
    assert "E0001" in by_category["E"]


def test_config_argument_is_not_read():
    linter = checker.create_linter(checker.Linter, {"jobs": 3, "django-version": "1.0"}, 1)
    assert linter.config.jobs == 1 and linter.config.django_version == "3.3"


def test_message_id_symbol_store():
    store = checker.message_id_symbol_store
    assert store["C7000"] == "hard-coded-url"
    assert "C1000" not in store and "E0001" not in store
    for cls in checker.python_checker_classes + checker.html_checker_classes:
        for code, (_, symbol, _) in cls.msgs.items():
            assert store[code] == symbol


def test_every_rule_code_is_a_package_code():
    codes = set(checker.get_all_message_codes())
    assert set(checker.message_id_symbol_store) <= codes


def test_get_all_message_codes_lists_the_module_afresh(monkeypatch):
    before = checker.get_all_message_codes()
    assert before == sorted(before) and "C2003" in before and "C1000" not in before
    monkeypatch.setattr(message_templates, "_C0001", "x", raising=False)
    monkeypatch.setattr(message_templates, "__C0002", "x", raising=False)
    after = checker.get_all_message_codes()
    assert "_C0001" in after and "__C0002" not in after
    assert after is not checker.get_all_message_codes()


def test_each_package_code_explains_itself_with_its_record_keys():
    # Every text formats with the keys its findings carry.
    records = {
        "C2001": {"count": 21},
        "C2002": {"name": "a", "option": "null", "value": False},
        "C2004": {"name": "a", "option": "unique_for_date"},
        "C2006": {"name": "a", "value": 1000},
        "C3000": {"count": 10, "maximum": 10},
        "C3002": {"before": "a", "after": "b"},
        "C3003": {"count": 4, "prefix": "Shop"},
        "C6002": {"signature": "reverse_lazy(x)"},
        "C7000": {"path": "/about/", "route": "about/", "module": "pages.urls",
                  "name": "pages:about", "url_tag": "{% url 'pages:about' %}"},
        "C7001": {"path": "/static/x.png"},
        "C8001": {"forwards_name": "f"},
        "C9000": {"foo": "bar"},
        "C9001": {"me": "a", "related_name": "b", "pk_attribute": "pk"},
        "C9002": {"queryset": "qs", "expression": "len(qs)"},
        "C9003": {"queryset": "qs"},
        "C4007": {"setting": "MIDDLEWARE", "middleware": "m"},
        "C4008": {"setting": "MIDDLEWARE", "middleware": "m"},
        "C4009": {"setting": "MIDDLEWARE", "middleware": "m"},
    }
    codes = checker.get_all_message_codes()
    assert all(re.fullmatch(r"C[2-9]\d{3}", code) for code in codes)
    for code in codes:
        default = {"setting": "DEBUG", "value": True} if code.startswith("C4") else {"name": "a"}
        record = records.get(code, default)
        assert getattr(message_templates, code).format(**record)


C2003_RECORD = {"name": "owner", "on_delete": None}
C7000_RECORD = {"path": "/about/", "route": "about/", "module": "pages.urls", "name": None,
                "url_tag": None}


@pytest.mark.parametrize("code, record, says, does_not_say", [
    ("C2003", C2003_RECORD, "or drop null=True", "keep null=True"),
    ("C2003", dict(C2003_RECORD, on_delete="CASCADE"), "or drop null=True", "keep null=True"),
    ("C2003", dict(C2003_RECORD, on_delete="SET_NULL"),
     "keep null=True: on_delete=SET_NULL needs it", "drop null=True"),
    ("C2003", dict(C2003_RECORD, on_delete="SET_DEFAULT"), "on_delete=SET_DEFAULT needs it",
     "drop null=True"),
    ("C2003", {"name": "owner"}, "or drop null=True", "{on_delete}"),
    ("C2003", dict(C2003_RECORD, on_delete=["SET_NULL"]), "or drop null=True", "keep"),
    ("C7000", dict(C7000_RECORD, name="pages:about", url_tag="{% url 'pages:about' %}"),
     "the route pages:about serves. Write {% url 'pages:about' %} instead", "Give that route"),
    ("C7000", C7000_RECORD,
     "the route \"about/\" of pages.urls serves. Give that route a name and write the link with "
     "the {% url %} tag", "None"),
])
def test_the_record_chooses_the_advice_of_a_text(code, record, says, does_not_say):
    from vettor.staticanalysis import render

    template = getattr(message_templates, code)
    [rendered] = render.render_message_centric_advice(
        [{"message-id": code, "message": record}], None, None, None, lambda path: "")
    for text in (template.format(**record), rendered["message"]):
        assert says in text and does_not_say not in text, text


def test_rule_options_reach_the_checker_that_declares_them(monkeypatch, tmp_path):
    monkeypatch.setattr(checker, "python_checker_classes", [FlaggedCallChecker])
    linters = []
    original = checker.create_linter
    monkeypatch.setattr(
        checker, "create_linter", lambda **kw: linters.append(original(**kw)) or linters[-1]
    )
    checker.get_python_messages(tmp_path, {}, "3.2", {"max-flagged": 7, "disable": ["C2999"]}, 1)
    (linter,) = linters
    (flagged,) = linter._checkers["flagged-calls"]
    assert flagged.config.max_flagged == 7
    assert not linter.is_message_enabled("C2999")
    with pytest.raises(optparse.OptionError):
        checker.get_python_messages(tmp_path, {}, "3.2", {"max-nothing": 1}, 1)


def load_checker_with(setup):
    """Load the driver in a fresh interpreter after `setup` has run; its output or error."""
    script = textwrap.dedent(setup) + textwrap.dedent(
        """
        try:
            from vettor.staticanalysis import checker
        except Exception as error:
            cause = error.__cause__
            print("failed:", type(error).__name__, error, f"({type(cause).__name__} {cause})")
        else:
            print([c.__module__.rsplit(".", 1)[1] for c in checker.python_checker_classes])
            print(checker.message_id_symbol_store)
        """
    )
    out = subprocess.run(
        [sys.executable, "-c", script], capture_output=True, text=True, timeout=120
    )
    assert out.returncode == 0, out.stderr
    return out.stdout.splitlines()


FAKE_RULE_MODULE = """
import sys, types
from pylint.checkers import BaseChecker

def fake(name, msgs):
    module = types.ModuleType("vettor.staticanalysis.checkers." + name)
    module.Checker = type("Checker", (BaseChecker,), {"name": name, "msgs": msgs})
    module.Checker.__module__ = module.__name__
    sys.modules[module.__name__] = module
"""


def test_a_missing_rule_module_fails_the_driver():
    lines = load_checker_with(
        'import sys\nsys.modules["vettor.staticanalysis.checkers.urls"] = None\n'
    )
    # The importer meets the error itself, not pybind11's "initialization failed".
    assert lines[0].startswith("failed: ModuleNotFoundError import of vettor.staticanalysis.checkers.urls")


def test_a_rule_module_that_fails_to_load_fails_the_driver():
    lines = load_checker_with(
        """
        import importlib.abc, importlib.machinery, sys

        class Broken(importlib.abc.MetaPathFinder, importlib.abc.Loader):
            def find_spec(self, name, path, target=None):
                if name == "vettor.staticanalysis.checkers.admin":
                    return importlib.machinery.ModuleSpec(name, self)

            def exec_module(self, module):
                import not_a_module_anywhere

        sys.meta_path.insert(0, Broken())
        """
    )
    assert lines == ["failed: ModuleNotFoundError No module named 'not_a_module_anywhere' (NoneType None)"]


def test_symbol_table_takes_three_items_and_the_later_symbol():
    lines = load_checker_with(
        FAKE_RULE_MODULE
        + "fake('admin', {'C5000': ('', 'first', ''), 'C9000': ('', 'early', '')})\n"
        + "fake('columns', {'C2000': ('', 'nullable', '')})\n"
    )
    assert lines[0].startswith("['admin', 'settings', 'columns'")
    store = eval(lines[1])
    # Codes in class order, then table order; a code declared again keeps its place.
    codes = list(store)
    assert codes[:2] == ["C5000", "C9000"]
    assert all(codes.index(code) < codes.index("C2000") for code in codes if code[:2] == "C4")
    assert store["C9000"] == "queryset-length"  # declared again by querysets, later

    lines = load_checker_with(FAKE_RULE_MODULE + "fake('admin', {'C5000': ('', 'two')})\n")
    assert lines == ["failed: ValueError not enough values to unpack (expected 3, got 2) (NoneType None)"]
