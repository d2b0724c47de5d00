"""Model field fixes, as before/after pairs visited through build_transformer_visitor."""
import astroid
import pytest

from vettor.staticanalysis.checkers import columns

ALL_FIXES = ["C2000", "C2002", "C2003", "C2006", "C2008"]

HEADER = "from django.db import models\n\nextra = {'help_text': 'x'}\n\n\nclass Post(models.Model):\n"


def field_statement(field, header=HEADER):
    module = astroid.parse(header + "    " + field + "\n")
    return module, module.body[-1].body[-1]


def check_transformed(codes, field, expected, header=HEADER):
    """Visit the field statement alone (as the suggestion builder does) and compare."""
    _, statement = field_statement(field, header)
    result = columns.build_transformer_visitor(codes).visit(statement)
    assert result.as_string() == expected
    astroid.parse(result.as_string())
    return result


def check_noop(codes, field, header=HEADER):
    check_transformed(codes, field, field, header)


TRANSFORMED = [
    # nullable-string-field
    ("null_becomes_default_and_blank", ["C2000"],
     "title = models.CharField(max_length=10, null=True)",
     "title = models.CharField(max_length=10, default='', blank=True)"),
    ("blank_goes_before_double_star", ["C2000"],
     "title = models.CharField(max_length=10, null=True, **extra)",
     "title = models.CharField(max_length=10, default='', blank=True, **extra)"),
    ("user_default_is_kept", ["C2000"],
     "title = models.CharField(max_length=10, null=True, default='draft')",
     "title = models.CharField(max_length=10, default='draft', blank=True)"),
    ("none_default_becomes_empty_text", ["C2000"],
     "title = models.CharField(max_length=10, null=True, default=None)",
     "title = models.CharField(max_length=10, default='', blank=True)"),
    # blank=False keeps the field required in every form: the author's choice stays
    ("blank_false_is_kept", ["C2000"],
     "title = models.CharField(max_length=10, blank=False, null=True)",
     "title = models.CharField(max_length=10, blank=False, default='')"),
    ("blank_true_is_kept", ["C2000"],
     "title = models.CharField(max_length=10, null=True, blank=True)",
     "title = models.CharField(max_length=10, default='', blank=True)"),
    ("choices_with_empty_value", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices=[('', 'None'), ('a', 'A')])",
     "kind = models.CharField(max_length=1, default='', choices=[('', 'None'), ('a', 'A')], "
     "blank=True)"),
    ("grouped_choices_with_empty_value", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices=[('Group', [('', '-'), ('a', 'A')])])",
     "kind = models.CharField(max_length=1, default='', choices=[('Group', [('', '-'), ('a', 'A')])], "
     "blank=True)"),
    # redundant-default-args
    ("repeated_defaults_deleted", ["C2002"],
     "code = models.CharField(max_length=10, null=False, blank=False)",
     "code = models.CharField(max_length=10)"),
    ("zero_for_false_deleted", ["C2002"],
     "rank = models.IntegerField(db_index=0, null=False)",
     "rank = models.IntegerField()"),
    ("keyword_only_default_kept_unless_equal", ["C2002"],
     "slug = models.SlugField(db_index=False, blank=False, allow_unicode=False)",
     "slug = models.SlugField(db_index=False)"),
    ("setdefault_value_deleted_other_kept", ["C2002"],
     "upload = models.FileField(max_length=100, null=False)",
     "upload = models.FileField()"),
    ("foreign_key_db_index_false_kept", ["C2002"],
     "owner = models.ForeignKey('auth.User', on_delete=models.CASCADE, db_index=False, null=False)",
     "owner = models.ForeignKey('auth.User', on_delete=models.CASCADE, db_index=False)"),
    # field-null-not-blank
    ("blank_appended_to_foreign_key", ["C2003"],
     "owner = models.ForeignKey('auth.User', on_delete=models.CASCADE, null=True)",
     "owner = models.ForeignKey('auth.User', on_delete=models.CASCADE, null=True, blank=True)"),
    # huge-max-length
    ("huge_charfield_becomes_textfield", ["C2006"],
     "summary = models.CharField(max_length=1000, null=True)",
     "summary = models.TextField(null=True)"),
    # deprecated-nullboolean-field
    ("nullboolean_null_false", ["C2008"],
     "flag = models.NullBooleanField(null=False)",
     "flag = models.BooleanField(null=True)"),
    ("nullboolean_without_keywords", ["C2008"],
     "flag = models.NullBooleanField()",
     "flag = models.BooleanField(null=True)"),
    # every fix at once, in the order the codes are given: the blank=False the nullable-string
    # fix keeps is still the author's once null=True is gone
    ("all_fixes_on_a_huge_nullable_charfield", ALL_FIXES,
     "title = models.CharField(max_length=1000, null=True, blank=False)",
     "title = models.TextField(default='', blank=False)"),
]


@pytest.mark.parametrize("codes, before, after",
                         [case[1:] for case in TRANSFORMED], ids=[case[0] for case in TRANSFORMED])
def test_transformed(codes, before, after):
    check_transformed(codes, before, after)


UNCHANGED = [
    ("choices_without_empty_value", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices=[('a', 'A'), ('b', 'B')])"),
    ("choices_given_as_text", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices='ab')"),
    ("choices_given_as_mapping", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices={'': 'None'})"),
    ("choices_not_pairs", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices=['', 'a'])"),
    ("choices_not_readable", ["C2000"],
     "kind = models.CharField(max_length=1, null=True, choices=CHOICES)"),
    # Blank values of a unique field must be NULL, or the second one breaks the constraint.
    ("unique_true", ["C2000"],
     "title = models.CharField(max_length=10, null=True, unique=True)"),
    ("unique_written_as_one", ["C2000"],
     "title = models.CharField(max_length=10, null=True, unique=1, blank=True)"),
    # An explicit blank, whatever its value, is the author's choice.
    ("explicit_blank_false_kept", ["C2003", "C2002"],
     "owner = models.ForeignKey('self', null=True, blank=False, on_delete=models.SET_NULL)"),
    ("not_editable", ["C2003"], "stamp = models.DateTimeField(null=True, editable=False)"),
    # A unique, indexed or primary-key CharField keeps its length.
    ("huge_unique_charfield", ["C2006"], "code = models.CharField(max_length=1000, unique=True)"),
    ("huge_indexed_charfield", ["C2006"], "code = models.CharField(max_length=1000, db_index=True)"),
    ("huge_key_charfield", ["C2006"], "code = models.CharField(max_length=1000, primary_key=True)"),
    ("slug_db_index_false", ["C2002"], "slug = models.SlugField(db_index=False)"),
    ("slug_max_length_none", ["C2002"], "slug = models.SlugField(max_length=None)"),
    ("file_max_length_none", ["C2002"], "upload = models.FileField(max_length=None)"),
    ("foreign_key_db_index_false", ["C2002"],
     "owner = models.ForeignKey('auth.User', on_delete=models.CASCADE, db_index=False)"),
    ("no_fix_codes", ["C2001", "C2004", "C2005", "C2011"],
     "title = models.CharField(max_length=1000, null=True, unique_for_date='x')"),
    ("ordinary_call", ALL_FIXES, "settings = dict(null=True, blank=False, max_length=1000)"),
    ("charfield_within_limit", ["C2006"], "title = models.CharField(max_length=512)"),
    ("boolean_field", ["C2008", "C2003"], "done = models.BooleanField(null=True)"),
]


@pytest.mark.parametrize("codes, source",
                         [case[1:] for case in UNCHANGED], ids=[case[0] for case in UNCHANGED])
def test_unchanged(codes, source):
    check_noop(codes, source, header=HEADER.replace("extra =", "CHOICES = make_choices()\nextra ="))


def test_default_held_by_a_constant_is_kept():
    # SLUG_MAX_LENGTH is 50, SlugField's own default, but the field is tied to the constant.
    header = HEADER + "    SLUG_MAX_LENGTH = 50\n"
    check_transformed(
        ["C2002"],
        "slug = models.SlugField(max_length=SLUG_MAX_LENGTH, null=False)",
        "slug = models.SlugField(max_length=SLUG_MAX_LENGTH)",
        header,
    )


def test_nullable_by_its_class_without_keywords():
    header = HEADER.replace("\n\n\nclass Post", (
        "\n\n\nclass CharField(models.CharField):\n"
        "    def __init__(self, verbose_name=None, name=None, null=True, **kwargs):\n"
        "        super().__init__(verbose_name, name, null=null, **kwargs)\n\n\nclass Post"))
    check_transformed(["C2000"], "title = CharField()", "title = CharField(blank=True, default='')",
                      header)


def test_blank_fix_goes_by_the_written_name():
    # The call infers to an integer field, but reads as a text field: left alone.
    header = HEADER.replace("\n\n\nclass", "\nTextField = models.IntegerField\n\n\nclass")
    check_noop(["C2003"], "count = TextField(null=True)", header)


# A rename of a bare callee must leave the new name bound in the module.

def fix_module(codes, source):
    module = astroid.parse(source)
    columns.build_transformer_visitor(codes).visit(module)
    astroid.parse(module.as_string())
    return module.as_string().strip().splitlines()


RENAMES = [
    ("import_gains_textfield", ["C2006"],
     "from django.db.models import CharField, Model\n\nclass Post(Model):\n"
     "    title = CharField(max_length=1000)\n",
     ["from django.db.models import CharField, Model, TextField", "", "", "class Post(Model):",
      "    title = TextField()"]),
    ("aliased_import_gains_textfield", ["C2006"],
     "from django.db.models import CharField as Char, Model\n\nclass Post(Model):\n"
     "    title = Char(max_length=1000)\n",
     ["from django.db.models import CharField as Char, Model, TextField", "", "",
      "class Post(Model):", "    title = TextField()"]),
    ("textfield_already_imported", ["C2006"],
     "from django.db.models import CharField, Model\nfrom django.db.models.fields import TextField"
     "\n\nclass Post(Model):\n    title = CharField(max_length=1000)\n",
     ["from django.db.models import CharField, Model",
      "from django.db.models.fields import TextField", "", "", "class Post(Model):",
      "    title = TextField()"]),
    ("star_import_binds_both", ["C2006", "C2008"],
     "from django.db.models import *\n\nclass Post(Model):\n"
     "    title = CharField(max_length=1000)\n    flag = NullBooleanField()\n",
     ["from django.db.models import *", "", "", "class Post(Model):", "    title = TextField()",
      "    flag = BooleanField(null=True)"]),
    ("textfield_bound_to_something_else", ["C2006"],
     "from django.db.models import CharField, Model\nTextField = None\n\nclass Post(Model):\n"
     "    title = CharField(max_length=1000)\n",
     ["from django.db.models import CharField, Model", "TextField = None", "", "",
      "class Post(Model):", "    title = CharField(max_length=1000)"]),
    ("callee_bound_by_assignment", ["C2006"],
     "from django.db import models\nCharField = models.CharField\n\nclass Post(models.Model):\n"
     "    title = CharField(max_length=1000)\n",
     ["from django.db import models", "CharField = models.CharField", "", "",
      "class Post(models.Model):", "    title = CharField(max_length=1000)"]),
    ("callee_already_named_textfield", ["C2006"],
     "from django.db import models\nTextField = models.CharField\n\nclass Post(models.Model):\n"
     "    title = TextField(max_length=1000)\n",
     ["from django.db import models", "TextField = models.CharField", "", "",
      "class Post(models.Model):", "    title = TextField(max_length=1000)"]),
    ("subscripted_callee", ["C2006", "C2008"],
     "from django.db import models\nFIELDS = {'char': models.CharField, 'nb': models.NullBooleanField}"
     "\n\nclass Post(models.Model):\n    title = FIELDS['char'](max_length=1000)\n"
     "    flag = FIELDS['nb']()\n",
     ["from django.db import models",
      "FIELDS = {'char': models.CharField, 'nb': models.NullBooleanField}", "", "",
      "class Post(models.Model):", "    title = FIELDS['char'](max_length=1000)",
      "    flag = FIELDS['nb']()"]),
    ("two_calls_one_import_edit", ["C2006", "C2008"],
     "from django.db.models import CharField, Model, NullBooleanField\n\nclass Post(Model):\n"
     "    title = CharField(max_length=1000)\n    body = CharField(max_length=2000)\n"
     "    flag = NullBooleanField()\n",
     ["from django.db.models import CharField, Model, NullBooleanField, TextField, BooleanField",
      "", "", "class Post(Model):", "    title = TextField()", "    body = TextField()",
      "    flag = BooleanField(null=True)"]),
]


@pytest.mark.parametrize("codes, before, after",
                         [case[1:] for case in RENAMES], ids=[case[0] for case in RENAMES])
def test_rename_keeps_names_bound(codes, before, after):
    assert fix_module(codes, before) == after


def test_edited_import_is_handed_to_the_suggestion_builder_once():
    module = astroid.parse(
        "from django.db.models import CharField, Model\n\nclass Post(Model):\n"
        "    title = CharField(max_length=1000)\n    body = CharField(max_length=2000)\n")
    module.replace_other_nodes = []
    post = module.body[-1]
    for statement in post.body:
        columns.build_transformer_visitor({"C2006"}).visit(statement)
    assert module.replace_other_nodes == [module.body[0]]
    assert module.body[0].as_string() == "from django.db.models import CharField, Model, TextField"


MIGRATION = """from django.db import migrations, models


class Migration(migrations.Migration):
    operations = [
        migrations.AddField(model_name='post', name='title', field=models.CharField(max_length=1000, null=True)),
        migrations.AddField(model_name='post', name='code', field=models.CharField(max_length=10, null=False)),
        migrations.AddField(model_name='post', name='count', field=models.IntegerField(null=True)),
        migrations.AddField(model_name='post', name='flag', field=models.NullBooleanField()),
    ]
"""


def test_untransformed_in_migration_file():
    module = astroid.parse(MIGRATION)
    before = module.as_string()
    result = columns.build_transformer_visitor(ALL_FIXES).visit(module)
    assert result.as_string() == before
    # The same calls outside a migration module are fixed.
    plain = astroid.parse(MIGRATION.replace("(migrations.Migration)", ""))
    assert columns.build_transformer_visitor(ALL_FIXES).visit(plain).as_string() != before


def test_each_transform_leaves_a_migration_call_alone():
    module = astroid.parse(MIGRATION)
    calls = [call for call in module.nodes_of_class(astroid.Call)
             if call.func.as_string().startswith("models.")]
    for name in ["transform_null_to_default_str", "transform_redundant_kwargs",
                 "transform_add_blank_true", "transform_huge_char_field", "transform_nullboolean"]:
        for call in calls:
            text = call.as_string()
            assert getattr(columns, name)(call) is call
            assert call.as_string() == text


def test_visitor_registers_the_given_codes_in_order():
    visitor = columns.build_transformer_visitor(["C2008", "C2001", "C2000", "C2000", "X"])
    registered = [(transform.__name__, predicate.__name__)
                  for transform, predicate in visitor.transforms[astroid.Call]]
    assert registered == [("transform_nullboolean", "is_nullboolean"),
                          ("transform_null_to_default_str", "is_null_stringfield"),
                          ("transform_null_to_default_str", "is_null_stringfield")]
    assert not columns.build_transformer_visitor([]).transforms


def test_visitor_uses_the_module_functions_at_call_time(monkeypatch):
    seen = []
    monkeypatch.setattr(columns, "is_nullboolean", lambda node: seen.append(node) or False)
    _, statement = field_statement("flag = models.NullBooleanField()")
    columns.build_transformer_visitor(["C2008"]).visit(statement)
    assert seen == [statement.value]
    assert statement.as_string() == "flag = models.NullBooleanField()"


# Where the application's own code stores None in a nullable text field, or asks whether it is
# NULL, the finding stands but the fix is not made: the save would fail on NOT NULL, or the
# query would select other rows.

APP_MODELS = (
    "from django.db import models\n\n\n"
    "class Profile(models.Model):\n"
    "    totp = models.CharField(max_length=40, null=True)\n"
    "    nickname = models.CharField(max_length=40, null=True)\n"
)

NONE_USES = [
    ("attribute_set_to_none", "def reset(profile):\n    profile.totp = None\n    profile.save()\n"),
    ("chained_assignment", "def reset(a, b):\n    a.totp = b.totp = None\n"),
    ("created_with_none", "def make():\n    return Profile.objects.create(totp=None)\n"),
    ("constructed_with_none", "def make():\n    return Profile(totp=None)\n"),
    ("filtered_on_none", "def pending():\n    return Profile.objects.filter(totp=None)\n"),
    ("isnull_lookup", "def pending():\n    return Profile.objects.exclude(totp__isnull=True)\n"),
    ("defaults_mapping", "def put(k):\n    Profile.objects.update_or_create(pk=k, defaults={'totp': None})\n"),
    ("setattr_none", "def reset(p):\n    setattr(p, 'totp', None)\n"),
    ("in_a_tests_folder", None),
    # A value that can be None: a parameter whose default is None, through a name or not.
    ("parameter_defaulting_to_none_created",
     "def start(user, totp=None):\n    return Profile.objects.create(totp=totp)\n"),
    ("parameter_defaulting_to_none_constructed",
     "def start(*, totp=None):\n    return Profile(totp=totp)\n"),
    ("parameter_defaulting_to_none_assigned",
     "def start(profile, code=None):\n    value = code\n    profile.totp = value\n"),
    ("method_parameter_defaulting_to_none",
     "class Service:\n    def reset(self, profile, totp=None):\n        profile.totp = totp\n"),
    # .get() without a default other than None
    ("get_with_none_default", "def view(request):\n    Profile.objects.create(totp=request.GET.get('totp', None))\n"),
    ("get_without_default", "def save(data):\n    email = data.get('email')\n    Profile(totp=email).save()\n"),
    ("get_default_keyword_none", "def save(data):\n    Profile.objects.create(totp=data.get('totp', default=None))\n"),
    ("getattr_none", "def copy(p, other):\n    p.totp = getattr(other, 'code', None)\n"),
    ("conditional", "def copy(p, code):\n    p.totp = code if code else None\n"),
    ("defaults_with_a_value_that_can_be_none",
     "def put(k, data):\n    Profile.objects.update_or_create(pk=k, defaults={'totp': data.get('t')})\n"),
    # Another nullable field of the application: its NULL would go on into this one.
    ("another_nullable_field",
     "class Device(models.Model):\n    secret = models.CharField(max_length=40, null=True)\n\n\n"
     "def pair(device):\n    return Profile.objects.create(totp=device.secret)\n"),
    ("same_name_nullable_elsewhere",
     "class Device(models.Model):\n    totp = models.CharField(max_length=40, null=True)\n\n\n"
     "def pair(device, profile):\n    profile.totp = device.totp\n"),
    # A lookup on the empty text would select the rows that were NULL too.
    ("empty_text_lookup", "def unset():\n    return Profile.objects.filter(totp='')\n"),
    ("empty_text_exact_lookup", "def unset():\n    return Profile.objects.exclude(totp__exact='')\n"),
]


@pytest.mark.parametrize("use", [case[1] for case in NONE_USES], ids=[case[0] for case in NONE_USES])
def test_fix_declines_where_the_application_stores_none(tmp_path, use):
    from conftest import write_files
    from vettor.staticanalysis import checker, transformer

    files = {"accounts/__init__.py": "", "accounts/models.py": APP_MODELS}
    if use is None:
        files["accounts/tests/__init__.py"] = ""
        files["accounts/tests/test_reset.py"] = "def test_reset(profile):\n    profile.totp = None\n"
    else:
        files["accounts/views.py"] = "from .models import Profile\n\n\n" + use
    root = write_files(tmp_path, files)
    found = checker.get_messages(str(root), {"accounts/models.py": None}, jobs=1)
    assert sorted(m["message"]["name"] for m in found if m["message-id"] == "C2000") == [
        "nickname", "totp"]
    fixed = transformer.transform_code(APP_MODELS, str(root / "accounts/models.py"), "").code
    assert "    totp = models.CharField(max_length=40, null=True)" in fixed.splitlines()
    assert '    nickname = models.CharField(max_length=40, default="", blank=True)' in fixed.splitlines()


@pytest.mark.parametrize(
    "use",
    [
        "def create(payload):\n    return Profile.objects.create(**payload)\n",
        "def create(payload):\n    return Profile(**payload)\n",
        "def put(k, payload):\n    Profile.objects.update_or_create(pk=k, defaults=payload)\n",
    ],
    ids=["created", "constructed", "as-defaults"],
)
def test_fix_declines_for_every_field_a_mapping_may_fill(tmp_path, use):
    # A mapping the code does not spell out (an API payload, null included) may fill any field
    # of the model it is given to.
    from conftest import write_files
    from vettor.staticanalysis import transformer

    root = write_files(tmp_path, {
        "accounts/__init__.py": "", "accounts/models.py": APP_MODELS,
        "accounts/views.py": "from .models import Profile\n\n\n" + use,
    })
    fixed = transformer.transform_code(APP_MODELS, str(root / "accounts/models.py"), "").code
    assert fixed.splitlines()[-2:] == APP_MODELS.splitlines()[-2:]


SYNCED_MODELS = (
    "from django.db import models\n\n\n"
    "class Synced(models.Model):\n"
    "    class Meta:\n        abstract = True\n\n"
    "    @classmethod\n    def sync(cls, data):\n        return cls(**data)\n\n\n"
    "class Profile({base}):\n"
    "    totp = models.CharField(max_length=40, null=True)\n"
)


@pytest.mark.parametrize("base, declines", [("Synced", True), ("models.Model", False)])
def test_fix_declines_where_a_base_class_fills_its_model_from_a_mapping(tmp_path, base, declines):
    # `cls(**data)` in a base class's method (a payload of an API, nulls included) fills the
    # fields of every model built on it; a model built on another class is not concerned.
    from conftest import write_files
    from vettor.staticanalysis import transformer

    models = SYNCED_MODELS.format(base=base)
    root = write_files(tmp_path, {"accounts/__init__.py": "", "accounts/models.py": models})
    fixed = transformer.transform_code(models, str(root / "accounts/models.py"), "").code
    assert ("    totp = models.CharField(max_length=40, null=True)" in fixed.splitlines()) is declines


@pytest.mark.parametrize("other", [
    # Another field's None, a comparison with None, a migration of the past, another app.
    "def f(p):\n    p.nickname_old = None\n    return p.totp == None\n",
    # Values that are never None: a default that is a text, a get() with a text default, a
    # queryset's get(), a field of this same model (not null once fixed), a mapping spelled out,
    # the empty text stored rather than looked up.
    "def start(user, totp=''):\n    return Profile.objects.create(totp=totp)\n",
    "def view(request):\n    Profile.objects.create(totp=request.GET.get('totp', ''))\n",
    "def find(k):\n    return Profile.objects.get(pk=k).totp\n",
    "def copy(a, b):\n    a.totp = b.totp\n",
    "def put(k):\n    Profile.objects.update_or_create(pk=k, defaults={'totp': 'x'})\n",
    "def make():\n    return Profile.objects.create(totp='')\n",
    # a mapping given to another model, a None in another function's own parameter
    "def other(payload, code=None):\n    Device.objects.create(**payload)\n    return code\n",
], ids=["other-field", "text-default", "get-with-text", "queryset-get", "same-field", "mapping-spelled-out",
        "empty-text-stored", "other-model-mapping"])
def test_fix_goes_ahead_where_nothing_stores_none(tmp_path, other):
    from conftest import write_files
    from vettor.staticanalysis import transformer

    root = write_files(tmp_path, {
        "accounts/__init__.py": "",
        "accounts/models.py": APP_MODELS,
        "accounts/views.py": other,
        "accounts/migrations/__init__.py": "",
        "accounts/migrations/0002_clear.py": "def clear(apps, schema_editor):\n    p.totp = None\n",
        "billing/__init__.py": "",
        "billing/views.py": "def f(p):\n    p.totp = None\n",
    })
    fixed = transformer.transform_code(APP_MODELS, str(root / "accounts/models.py"), "").code
    assert '    totp = models.CharField(max_length=40, default="", blank=True)' in fixed.splitlines()


def test_fix_declines_where_the_model_itself_stores_none():
    # A text that comes from no file on disk is read alone.
    from vettor.staticanalysis import transformer

    source = APP_MODELS + "\n    def forget(self):\n        self.totp = None\n"
    fixed = transformer.transform_code(source, "nowhere/models.py", "").code.splitlines()
    assert "    totp = models.CharField(max_length=40, null=True)" in fixed
    assert '    nickname = models.CharField(max_length=40, default="", blank=True)' in fixed
