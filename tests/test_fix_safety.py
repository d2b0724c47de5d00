"""Which fixes keep what the program means: each rule module declares its fixes safe or unsafe;
the project fix (transform_files, trasform_files_in_place, diff.get_diff_plaintext) makes the
safe ones unless its caller asks for every fix, and says which findings it left out for being
unsafe; transform_code still makes every fix."""
import pathlib
import shutil

import pytest

from vettor.staticanalysis import checker, constants, diff, transformer

SAFETY_PROJECT = pathlib.Path(__file__).parent / "fixtures" / "safety_project"

# A fix is unsafe when it may change what the program stores, accepts or serves.
SAFETY = {
    "C2000": "unsafe",  # schema and form validation
    "C2002": "safe",  # an argument that repeats the default
    "C2003": "unsafe",  # form validation
    "C2006": "unsafe",  # schema and forms
    "C2008": "unsafe",  # form validation: BooleanField(null=True) is not blank
    "C4005": "unsafe",
    **{f"C40{number:02d}": "unsafe" for number in range(7, 18)},
    "C6002": "safe",
    "C7000": "unsafe",  # the link: {% url %} adds the script prefix and the language
    "C7001": "unsafe",  # the URL the static storage makes
    "C8001": "unsafe",  # the reverse of a data migration
    "C9000": "safe",
    "C9001": "safe",
    "C9002": "safe",
    "C9003": "safe",
}


def test_every_fix_is_declared_safe_or_unsafe_with_one_line_why():
    fixable = set(transformer.FIXED_CODES) | set(constants.TRANSFORMABLE_RULES) - {constants.SKIP_LINE_ID}
    assert set(checker.fix_safety_store) == fixable
    assert {code: safety for code, (safety, _) in checker.fix_safety_store.items()} == SAFETY
    assert all(why.strip() and "\n" not in why for _, why in checker.fix_safety_store.values())


@pytest.fixture
def project(tmp_path):
    root = tmp_path / "project"
    shutil.copytree(SAFETY_PROJECT, root)
    return root


def left_out(result):
    return sorted((f["path"], f["line"], f["message-id"]) for f in result.unsafe_left_out)


# The findings whose fixes are unsafe and would change the project; the nullable `token`, into
# which a request's value that may be missing goes, is not among them: its fix declines.
UNSAFE = [
    ("proj/settings.py", 10, "C4010"),
    ("shop/migrations/0001_initial.py", 16, "C8001"),
    ("shop/models.py", 6, "C2000"),
    ("shop/models.py", 10, "C2000"),
    ("shop/tests/models.py", 5, "C2000"),
]


@pytest.mark.parametrize(
    "fix",
    [
        lambda root: transformer.transform_files(root, None, jobs=1),
        lambda root: diff.get_diff_plaintext(
            project_root=root, whitelist=None, settings_modpath="proj.settings", code_style={}, jobs=1
        ),
    ],
    ids=["transform_files", "get_diff_plaintext"],
)
def test_the_project_fix_makes_the_safe_fixes_and_names_the_unsafe_ones(project, fix):
    result = fix(project)
    texts = {path: source for source, path in result}
    assert sorted(texts) == ["shop/models.py", "shop/views.py"]
    # the redundant argument goes, null=True stays; the tuple keeps its own spelling
    assert "    name = models.CharField(max_length=100, null=True)\n" in texts["shop/models.py"]
    assert "    code = models.CharField(max_length=20, null=True, blank=False)\n" in texts["shop/models.py"]
    assert '    items, shown = Item.objects.filter(name="a").count(), True\n' in texts["shop/views.py"]
    assert left_out(result) == UNSAFE
    # dropping an argument that repeats a default changes nothing a migration records
    assert result.migrations == []


def test_every_fix_when_the_caller_asks(project):
    result = transformer.transform_files(project, None, jobs=1, unsafe_fixes=True)
    assert sorted(path for _, path in result) == sorted({path for path, _, _ in UNSAFE} | {"shop/views.py"})
    assert result.unsafe_left_out == []
    # the models of the tests folder belong to no installed app: makemigrations would refuse it
    assert result.migrations == ["shop"]


def test_fixing_in_place_writes_the_safe_fixes_and_says_what_it_left(project):
    written = transformer.trasform_files_in_place(project, None, jobs=1)
    assert written == ["shop/models.py", "shop/views.py"]
    assert left_out(written) == UNSAFE
    assert (project / "proj" / "settings.py").read_text() == (SAFETY_PROJECT / "proj" / "settings.py").read_text()
    # what was left is still found, and asked for, it is fixed
    again = transformer.trasform_files_in_place(project, None, jobs=1, unsafe_fixes=True)
    assert sorted(again) == sorted({path for path, _, _ in UNSAFE})
    assert again.unsafe_left_out == []


def test_transform_code_makes_every_fix():
    code = (SAFETY_PROJECT / "shop" / "models.py").read_text()
    result = transformer.transform_code(code, "shop/models.py", "proj.settings")
    assert "    name = models.CharField(max_length=100, default='', blank=True)" in result.code.splitlines()


def test_the_fixes_left_to_the_site_owner_are_not_counted_as_unsafe_fixes_left_out(project, caplog):
    # HSTS on, but not for the subdomains nor the preload lists: no project fix decides those,
    # with every fix asked for or not, so asking for the unsafe fixes would not make them.
    settings = project / "proj" / "settings.py"
    settings.write_text(
        settings.read_text()
        .replace("SECURE_HSTS_SECONDS = 0", "SECURE_HSTS_SECONDS = 3600")
        .replace("SECURE_HSTS_INCLUDE_SUBDOMAINS = True\nSECURE_HSTS_PRELOAD = True\n", "")
    )
    found = checker.get_messages(str(project), {"proj/settings.py": None}, jobs=1)
    assert sorted(f["message-id"] for f in found) == ["C4011", "C4017"]
    for unsafe_fixes in (False, True):
        result = transformer.transform_files(project, ["proj"], jobs=1, unsafe_fixes=unsafe_fixes)
        assert (list(result), result.unsafe_left_out) == ([], [])
    assert "Left unfixed: C4011 in proj/settings.py" in caplog.text
