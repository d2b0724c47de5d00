"""The model field predicates' answers (which falsy value matters to callers that store it),
the rule module's contract with pylint, and the checker run through pylint's own harness."""
import importlib.machinery
import pickle

import astroid
import pytest
from pylint.checkers import BaseChecker
from pylint.interfaces import IAstroidChecker
from pylint.testutils import CheckerTestCase, MessageTest

from vettor.staticanalysis import helpers
from vettor.staticanalysis.checkers import columns

HEADER = "from django.db import models\n\n\nclass Post(models.Model):\n"


def call_of(field, header=HEADER):
    module = astroid.parse(header + "    " + field + "\n")
    return module.body[-1].body[-1].value


def keyword_of(field, arg):
    return next(k for k in call_of(field).keywords if k.arg == arg)


ANSWERS = [
    # (predicate, field declaration, answer); answers compared by identity
    ("is_null_stringfield", "x = models.CharField(max_length=10, null=True)", True),
    ("is_null_stringfield", "x = models.CharField(max_length=10)", False),
    ("is_null_stringfield", "x = models.IntegerField(null=True)", None),
    ("is_null_stringfield", "x = dict(null=True)", False),
    ("is_missing_blank_true", "x = models.IntegerField(null=True)", True),
    ("is_missing_blank_true", "x = models.IntegerField(null=True, blank=True)", False),
    ("is_missing_blank_true", "x = models.IntegerField(null=True, default=0)", False),
    ("is_missing_blank_true", "x = models.IntegerField(null=True, default=None)", True),
    ("is_missing_blank_true", "x = models.IntegerField()", None),
    ("is_missing_blank_true", "x = models.CharField(null=True)", None),
    ("is_missing_blank_true", "x = models.BooleanField(null=True)", None),
    ("is_huge_char_field", "x = models.CharField(max_length=512)", False),
    ("is_huge_char_field", "x = models.CharField(max_length=513)", True),
    ("is_huge_char_field", "x = models.CharField(max_length=None)", False),
    ("is_huge_char_field", "x = models.CharField(max_length='600')", True),
    ("is_huge_char_field", "x = models.CharField(max_length=600.9)", True),
    ("is_huge_char_field", "x = models.CharField(max_length='many')", False),
    ("is_huge_char_field", "x = models.CharField(max_length=[600])", False),
    ("is_huge_char_field", "x = models.CharField(1000)", False),
    ("is_huge_char_field", "x = models.TextField(max_length=1000)", None),
    ("is_nullboolean", "x = models.NullBooleanField()", True),
    ("is_nullboolean", "x = models.BooleanField(null=True)", False),
    ("is_nullboolean", "x = dict()", False),
    ("is_non_unique_fk", "x = models.IntegerField(primary_key=True, unique=False)", True),
    ("is_non_unique_fk", "x = models.IntegerField(primary_key=True)", False),
    ("is_non_unique_fk", "x = models.IntegerField(primary_key=True, unique=0)", False),
    ("is_non_unique_fk", "x = models.IntegerField()", False),
    ("is_fk_mising_related_name", "x = models.ForeignKey('a.B', models.CASCADE)", True),
    ("is_fk_mising_related_name", "x = models.ForeignKey('a.B', models.CASCADE, related_name='b')", False),
    ("is_fk_mising_related_name", "x = models.ForeignKey('a.B', models.CASCADE, related_name='')", True),
    ("is_fk_mising_related_name", "x = models.OneToOneField('a.B', models.CASCADE)", None),
    ("is_fk_mising_related_name", "x = undefined_name()", None),
    ("has_redundant_kwargs", "x = models.CharField(max_length=10, null=False)", True),
    ("has_redundant_kwargs", "x = models.CharField()", False),
    ("has_redundant_kwargs", "x = models.SlugField(db_index=False)", False),
]


@pytest.mark.parametrize("predicate, field, answer", ANSWERS)
def test_predicate_answer(predicate, field, answer):
    assert getattr(columns, predicate)(call_of(field)) is answer


KEYWORD_ANSWERS = [
    ("is_redundant_kwargs", "x = models.CharField(null=False)", "null", True),
    ("is_redundant_kwargs", "x = models.CharField(blank=False)", "blank", True),
    ("is_redundant_kwargs", "x = models.CharField(max_length=None)", "max_length", True),
    ("is_redundant_kwargs", "x = models.CharField(null=True)", "null", False),
    ("is_redundant_kwargs", "x = models.ForeignKey('a.B', on_delete=None)", "on_delete", None),
    ("is_redundant_kwargs", "x = models.ForeignKey('a.B', models.CASCADE, db_index=True)",
     "db_index", True),
    ("is_redundant_kwargs", "x = models.ForeignKey('a.B', models.CASCADE, db_index=False)",
     "db_index", False),
    ("is_redundant_kwargs", "x = models.SlugField(db_index=True)", "db_index", True),
    ("is_redundant_kwargs", "x = models.URLField(max_length=200)", "max_length", True),
    ("is_redundant_kwargs", "x = models.EmailField(max_length=None)", "max_length", False),
    ("is_redundant_kwargs", "x = dict(null=False)", "null", None),
    # A constant that holds the default today keeps the field tied to it.
    ("is_redundant_kwargs", "LENGTH = 50\n    x = models.SlugField(max_length=LENGTH)", "max_length", False),
    ("is_redundant_kwargs", "x = models.SlugField(max_length=settings.SLUG_LENGTH)", "max_length",
     False),
    ("is_fragile_unique_for", "x = models.DateField(unique_for_date='d')", "unique_for_date", True),
    ("is_fragile_unique_for", "x = models.DateField(unique_for_month='d')", "unique_for_month", True),
    ("is_fragile_unique_for", "x = models.DateField(unique_for_year='d')", "unique_for_year", True),
    ("is_fragile_unique_for", "x = models.DateField(unique=True)", "unique", None),
]


@pytest.mark.parametrize("predicate, field, arg, answer", KEYWORD_ANSWERS)
def test_keyword_predicate_answer(predicate, field, arg, answer):
    assert getattr(columns, predicate)(keyword_of(field, arg)) is answer


def test_setdefault_on_some_paths_only_is_no_known_default():
    header = (
        "from django.db import models\n\n\n"
        "class MaybeIndexed(models.IntegerField):\n"
        "    def __init__(self, *args, **kwargs):\n"
        "        if args:\n"
        "            kwargs.setdefault('db_index', True)\n"
        "        super().__init__(*args, **kwargs)\n\n\n"
        "class Post(models.Model):\n")
    call = call_of("x = MaybeIndexed(db_index=False, null=False)", header)
    assert [columns.is_redundant_kwargs(k) for k in call.keywords] == [False, True]


def test_generic_foreign_key_object_id_may_be_null():
    call = call_of("object_id = models.CharField(max_length=10, null=True)")
    call.frame().generic_foreign_key_field_names = ["object_id"]
    assert columns.is_null_stringfield(call) is False


def test_abstract_model_foreign_key_passes():
    header = HEADER + "    class Meta:\n        abstract = True\n"
    module = astroid.parse(header + "    owner = models.ForeignKey('a.B', models.CASCADE)\n")
    call = module.body[-1].body[-1].value
    assert columns.is_fk_mising_related_name(call) is False


def test_limit_is_read_at_call_time(monkeypatch):
    call = call_of("x = models.CharField(max_length=600)")
    monkeypatch.setattr(columns, "MAX_CHARFIELD_LENGTH", 1000)
    assert columns.is_huge_char_field(call) is False


def test_module_contract():
    assert isinstance(columns.__loader__, importlib.machinery.ExtensionFileLoader)
    assert columns.MAX_CHARFIELD_LENGTH == 512
    codes = [name for name in vars(columns.Codes) if name.startswith("C")]
    assert codes == ["C2000", "C2001", "C2002", "C2003", "C2004", "C2005", "C2006", "C2008",
                     "C2011"]
    assert all(getattr(columns.Codes, code) == code for code in codes)
    checker = columns.Checker
    assert issubclass(checker, BaseChecker)
    assert checker.__implements__ is IAstroidChecker
    assert checker.name == "columns"
    assert list(checker.msgs) == codes
    assert [entry[1] for entry in checker.msgs.values()] == [
        "nullable-string-field", "tall-model", "redundant-default-args", "field-null-not-blank",
        "brittle-unique-for", "missing-related-name", "huge-max-length",
        "deprecated-nullboolean-field", "non-unique-primary"]
    for text, _, _ in checker.msgs.values():
        assert isinstance(text, helpers.context_string) and text == ""
    assert checker.options == (
        ("max-columns", {"default": 20, "type": "int", "metavar": "<int>",
                         "help": "Maximum number of fields for a model"}),
        ("max-charfield-length", {"default": 512, "type": "int", "metavar": "<int>",
                                  "help": "Maximum size of max_length on a CharField"}),
    )
    assert pickle.loads(pickle.dumps(checker)) is checker


TALL = "from django.db import models\n\n\nclass Tall(models.Model):\n" + "".join(
    f"    field_{i} = models.IntegerField()\n" for i in range(21))


class TestColumnsChecker(CheckerTestCase):
    CHECKER_CLASS = columns.Checker

    def test_huge_nullable_charfield_reports_in_order_and_counts_once(self):
        module = astroid.parse(HEADER + "    title = models.CharField(max_length=1000, null=True)\n")
        call = module.body[-1].body[-1].value
        with self.assertAddsMessages(
                MessageTest("C2006", node=call, args={"name": "title", "value": 1000}),
                MessageTest("C2000", node=call, args={"name": "title"})):
            self.walk(module)
        assert self.checker.field_counter == {module.body[-1]: 1}

    def test_counter_starts_afresh_per_module(self):
        self.walk(astroid.parse(TALL))
        self.linter.release_messages()
        module = astroid.parse("x = 1\n")
        self.walk(module)
        assert self.checker.field_counter == {}

    def test_only_calls_in_a_plain_assignment_are_asked_whether_they_make_a_field(self):
        # Asking infers the callee, and most calls of a project stand outside any assignment;
        # the keywords of such a call are asked about only when they name an option.
        module = astroid.parse(HEADER + (
            "    flag = models.NullBooleanField()\n"
            "    def save(self):\n"
            "        models.NullBooleanField()\n"
            "        print(self.flag)\n"
            "        log(self.flag).flush()\n"
            "        notify(**self.options)\n"))
        inferred = []
        real = columns.safe_infer

        def spy(node):
            inferred.append(node.as_string())
            return real(node)

        with pytest.MonkeyPatch.context() as patch:
            patch.setattr(columns, "safe_infer", spy)
            with self.assertAddsMessages(MessageTest(
                    "C2008", node=module.body[-1].body[0].value, args={"name": "flag"})):
                self.walk(module)
        assert "models.NullBooleanField" in inferred
        assert not {"print", "log", "log(self.flag).flush", "notify"} & set(inferred)

    def test_tall_model(self):
        module = astroid.parse(TALL)
        with self.assertAddsMessages(
                MessageTest("C2001", node=module.body[-1], args={"count": 21})):
            self.walk(module)


class TestColumnsCheckerWithMoreColumns(CheckerTestCase):
    CHECKER_CLASS = columns.Checker
    CONFIG = {"max_columns": 21}

    def test_limit_comes_from_the_configuration(self):
        with self.assertNoMessages():
            self.walk(astroid.parse(TALL))


def test_answers_follow_edits_of_a_tree_outside_the_module_being_linted():
    # A walk that another checker ended early leaves the checker's per-module answers behind;
    # a fix that then edits a field call of another tree must still be judged afresh.
    linted = astroid.parse(TALL)
    columns.Checker(None).visit_module(linted)
    try:
        call = call_of("x = models.CharField(max_length=1000)")
        assert columns.is_huge_char_field(call) is True
        call.keywords[0].value = helpers.const_factory(10)
        assert columns.is_huge_char_field(call) is False
    finally:
        columns.Checker(None).leave_module(linted)


# Every keyword that C2002 calls redundant must be one that Django's own field leaves out of
# its deconstruction (the record migrations are written from): a keyword that Django keeps
# changes the schema when the fix deletes it.
KEYS = ["null", "blank", "db_index", "max_length", "unique", "primary_key", "editable",
        "allow_unicode", "unpack_ipv4", "protocol", "db_constraint", "auto_now", "auto_now_add",
        "symmetrical", "serialize"]
VALUES = [None, False, True, "", 15, 39, 50, 100, 200, 254, "both"]
REQUIRED = {"ForeignKey": "'auth.User', models.CASCADE, ",
            "OneToOneField": "'auth.User', models.CASCADE, ", "ManyToManyField": "'auth.User', "}

DECONSTRUCT = """
import json, sys
import django
from django.conf import settings
settings.configure(INSTALLED_APPS=["django.contrib.contenttypes", "django.contrib.auth"])
django.setup()
from django.db import models
required = {"ForeignKey": ("auth.User", models.CASCADE),
            "OneToOneField": ("auth.User", models.CASCADE), "ManyToManyField": ("auth.User",)}
kept = []
for name, key, value in json.load(sys.stdin):
    field = getattr(models, name)
    args = required.get(name, ())
    if field(*args, **{key: value}).deconstruct()[3] != field(*args).deconstruct()[3]:
        kept.append([name, key, value])
print(json.dumps(kept))
"""


def test_redundant_keywords_agree_with_django():
    import json
    import subprocess
    import sys

    from django.db import models

    names = sorted(name for name in dir(models) if name.endswith(("Field", "ForeignKey"))
                   and isinstance(getattr(models, name), type)
                   and issubclass(getattr(models, name), models.Field))
    cases = [(name, key, value) for name in names for key in KEYS for value in VALUES]
    source = HEADER + "".join(
        f"    f{i} = models.{name}({REQUIRED.get(name, '')}{key}={value!r})\n"
        for i, (name, key, value) in enumerate(cases))
    statements = astroid.parse(source).body[-1].body
    flagged = [case for case, statement in zip(cases, statements)
               if columns.is_redundant_kwargs(statement.value.keywords[-1])]
    # The known constructor specifics are among them, so the comparison has teeth.
    assert {("ForeignKey", "db_index", True), ("SlugField", "db_index", True),
            ("SlugField", "max_length", 50), ("FileField", "max_length", 100),
            ("URLField", "max_length", 200), ("EmailField", "max_length", 254)} <= set(flagged)
    assert ("ForeignKey", "db_index", False) not in flagged

    run = subprocess.run([sys.executable, "-c", DECONSTRUCT], input=json.dumps(flagged),
                         capture_output=True, text=True, check=True)
    assert json.loads(run.stdout) == []
