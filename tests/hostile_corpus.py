"""The hostile project: the small files of tests/fixtures/hostile_project, copied under a path
with spaces and non-ASCII letters, plus the files too large or too odd to keep in the
repository (a 20,000-line module, very long lines, deep nesting, symlinks, FIFOs), made here.

Beside the project lies a folder of its own ("outside"): files the project's links lead to,
which nothing may read on the project's behalf."""
import os
import shutil
from pathlib import Path

FIXTURE = Path(__file__).parent / "fixtures" / "hostile_project"

HUGE_LINES = 20_000


def _huge_module():
    # Plain code for 20,000 lines, a few models, and one finding at the very end: the whole
    # file must be read and walked.
    lines = ["from django.db import models", "", ""]
    n = 0
    while len(lines) < HUGE_LINES - 8:
        lines += [f"def step_{n}(value, scale={n}):", "    if value > scale:",
                  "        return [value * i for i in range(scale)]",
                  f"    return {{'n': {n}, 'value': value}}", "", ""]
        n += 1
    lines += ["class Last(models.Model):", "    count = models.IntegerField(default=0)",
              "    text = models.TextField(null=True)  # [C2000 name='text']"]
    while len(lines) < HUGE_LINES:
        lines.insert(1, "# padding")
    return "\n".join(lines) + "\n"


def _long_lines():
    value = "x" * 200_000
    names = ", ".join(f"name_{i}" for i in range(5_000))
    return (
        "from django.db import models\n\n"
        f"LONG = '{value}'\n"
        f"ALL = [{names.replace('name_', '')}]\n\n\n"
        "class Wide(models.Model):\n"
        "    title = models.CharField(max_length=10, null=True)  # [C2000 name='title']\n"
    )


def _deep_nesting():
    # Deep enough to exhaust the recursion of a naive tree walk, shallow enough for the
    # interpreter's own parser (which caps parentheses at 200 levels).
    sums = " + ".join(["1"] * 3_000)
    parens = "(" * 150 + "1" + ")" * 150
    calls = "f(" * 90 + "1" + ")" * 90
    lists = "[" * 95 + "]" * 95
    return (
        "from django.db import models\n\n\n"
        "def f(x):\n    return x\n\n\n"
        f"TOTAL = {sums}\n"
        f"PARENS = {parens}\n"
        f"CALLS = {calls}\n"
        f"LISTS = {lists}\n\n\n"
        "class Deep(models.Model):\n"
        "    body = models.TextField(null=True)  # [C2000 name='body']\n"
    )


def _long_concatenation():
    # Longer than astroid's inference of `+` can follow on the interpreter's stack.
    terms = " + ".join(f'"t{i}"' for i in range(160))
    return (
        "from django.db import models\n\n\n"
        "class Labelled(models.Model):\n"
        f"    label = models.CharField(max_length=10, null=True, help_text={terms})"
        "  # [C2000 name='label']\n"
    )


# What the files outside the project hold: each would show if it were read.
OUTSIDE_MODELS = (
    "from django.db import models\n\n\n"
    "class Outside(models.Model):\n"
    "    secret = models.CharField(max_length=5, null=True)\n"
)
OUTSIDE_TEMPLATE = '<a href="/outside/">Outside</a>\n'

# The files that are FIFOs: opening one waits for a writer for ever.
FIFOS = ["shop/fifo.py", "tools/manage.py", "shop/conf/settings.py", "shop/templates/shop/fifo.html"]
# Links that lead out of the project.
OUTSIDE_LINKS = ["shop/outside.py", "shop/templates/shop/outside.html"]


def build(parent):
    """Makes the project under `parent`; returns its root."""
    root = Path(parent) / "hostile prøject — ünïcode"
    shutil.copytree(FIXTURE, root)
    outside = Path(parent) / "outside"
    outside.mkdir()
    (outside / "models.py").write_text(OUTSIDE_MODELS)
    (outside / "page.html").write_text(OUTSIDE_TEMPLATE)
    shop = root / "shop"
    (shop / "huge.py").write_text(_huge_module())
    (shop / "long_lines.py").write_text(_long_lines())
    (shop / "deep_nesting.py").write_text(_deep_nesting())
    # A symlink to a healthy file, one to a folder, and one that leads nowhere.
    os.symlink("models.py", shop / "linked_models.py")
    (root / "elsewhere").mkdir()
    (root / "elsewhere" / "models.py").write_text(
        "from django.db import models\n\n\n"
        "class Away(models.Model):\n"
        "    label = models.CharField(max_length=5, null=True)  # [C2000 name='label']\n"
    )
    os.symlink(root / "elsewhere", shop / "linked_dir")
    os.symlink("does_not_exist.py", shop / "dangling.py")
    os.symlink("index.html", shop / "templates" / "shop" / "linked.html")
    os.symlink("gone.html", shop / "templates" / "shop" / "dangling.html")
    (shop / "long_concatenation.py").write_text(_long_concatenation())
    # A settings module whose one line the parser gives up on (MemoryError).
    (root / "legacy").mkdir()
    (root / "legacy" / "settings.py").write_text("INSTALLED_APPS = []\nx = " + "-" * 7000 + "1\n")
    for name in FIFOS:
        (root / name).parent.mkdir(parents=True, exist_ok=True)
        os.mkfifo(root / name)
    os.symlink(outside / "models.py", root / OUTSIDE_LINKS[0])
    os.symlink(os.path.relpath(outside / "page.html", shop / "templates" / "shop"),
               root / OUTSIDE_LINKS[1])
    return root


def python_keys(root):
    found = {str(p.relative_to(root)) for p in Path(root).rglob("*.py")}
    found |= {"shop/linked_dir/models.py", "shop/dangling.py"}
    return sorted(k for k in found if not k.startswith("elsewhere"))


def template_keys(root):
    return sorted(str(p.relative_to(root)) for p in Path(root).rglob("*.html"))


# ---------------------------------------------------------------------------------------
# Odd names and shapes, none of which git can hold: each is made here, beside plain files.

NULL_FIELD = (
    "from django.db import models\n\n\n"
    "class Odd(models.Model):\n"
    "    label = models.CharField(max_length=10, null=True)\n"
)
NULL_FIELD_LINE = 5
# A file name that is not UTF-8 (Latin-1 "café"), as Python's os functions name it.
NOT_UTF8 = os.fsdecode(b"shop/caf\xe9.py")
# A module 1,000 folders deep.
DEEP = "shop/deep/" + "d/" * 1000 + "models.py"
# A loop of links named like a module: loop.py -> self1 -> self2 -> self1.
LOOP = "shop/loop.py"
ODD_KEYS = ["shop/models.py", NOT_UTF8, DEEP, LOOP]


def remove_tree(top):
    """shutil.rmtree without its recursion, which a folder 1,000 deep exhausts."""
    folders, pending = [], [str(top)]
    while pending:
        folder = pending.pop()
        folders.append(folder)
        for entry in os.scandir(folder):
            if entry.is_dir(follow_symlinks=False):
                pending.append(entry.path)
            else:
                os.unlink(entry.path)
    for folder in reversed(folders):
        os.rmdir(folder)


def build_odd_names(parent):
    """A small project with a plain models module and the odd names above; returns its root.
    `parent` must not be one of pytest's temporary folders: their clean-up removes folders
    recursively, which the 1,000 folders defeat (remove_tree removes it)."""
    root = Path(parent) / "odd names"
    (root / "shop").mkdir(parents=True)
    (root / "requirements.txt").write_text("Django>=3.2,<3.3\n")
    (root / "shop" / "__init__.py").write_text("")
    for key in ("shop/models.py", NOT_UTF8):
        (root / key).write_text(NULL_FIELD)
    folder = root / "shop" / "deep"
    folder.mkdir()
    for _ in range(1000):  # os.makedirs would recurse once per folder
        folder = folder / "d"
        folder.mkdir()
    (root / DEEP).write_text(NULL_FIELD)
    os.symlink("self1", root / LOOP)
    os.symlink("self2", root / "shop" / "self1")
    os.symlink("self1", root / "shop" / "self2")
    return root

