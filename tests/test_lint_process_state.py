"""What a project lint leaves of the host process as it found it: the garbage collector's
thresholds (raised only while files are checked, put back however the check ends), astroid's
node construction, which keeps its signatures but warns exactly as astroid does, astroid's
walk of class ancestors, whose answers are kept only while files are checked, and the options
pylint sets on astroid's manager and the import path. A host that lints many times gets the
answers of fresh processes: each lint sees the files as they are now and only its own
project, no tree of the project outlives the call that built it, and a file's findings do
not depend on which files were linted before it."""
import functools
import gc
import inspect
import sys
import warnings

import astroid
import astroid.decorators
import pytest
from astroid import nodes

from conftest import LINT_PROJECT, write_files
from vettor.staticanalysis import checker, meta

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


# A model hierarchy with mixins and an abstract base, classes whose bases lead back to
# themselves, and field classes reached through an attribute: what the class ancestors
# decide (fields, managers, querysets, the models among the classes).
ANCESTRY = {
    "zoo/__init__.py": "",
    "zoo/models.py": (
        "from django.db import models\n\n\n"
        "class Stamped(models.Model):\n"
        "    note = models.CharField(max_length=10, null=True)\n\n"
        "    class Meta:\n"
        "        abstract = True\n\n\n"
        "class Named:\n"
        "    name_field = models.CharField\n\n\n"
        "class Animal(Named, Stamped):\n"
        "    owner = models.ForeignKey('auth.User', on_delete=models.CASCADE)\n"
        "    legs = models.NullBooleanField()\n\n\n"
        "class Cat(Animal):\n"
        "    class Meta:\n"
        "        proxy = True\n"),
    "zoo/loops.py": (
        "from .models import Animal\n\n\n"
        "class Left(Right):  # noqa: F821\n"
        "    pass\n\n\n"
        "class Right(Left):\n"
        "    pass\n\n\n"
        "class Itself(Itself):  # noqa: F821\n"
        "    pass\n\n\n"
        "Alias = Animal\n\n\n"
        "class Again(Alias):\n"
        "    pass\n"),
    "zoo/views.py": (
        "from .loops import Again, Left\n"
        "from .models import Animal, Cat\n\n\n"
        "class Builder(Cat):\n"
        "    def build(self):\n"
        "        field = self.name_field(max_length=5, null=True)\n"
        "        return field\n\n\n"
        "def count():\n"
        "    cats = Cat.objects.filter(legs=True)\n"
        "    again = Again.objects.all()\n"
        "    if Left().x:\n"
        "        return len(cats) + len(again)\n"
        "    return Animal.objects.get(pk=1).owner.id\n"),
}


@pytest.fixture
def ancestry_project(tmp_path):
    return write_files(tmp_path / "project", ANCESTRY)


def lint_ancestry(root):
    for name in ("zoo", "zoo.models", "zoo.loops", "zoo.views"):
        astroid.MANAGER.astroid_cache.pop(name, None)
    files = dict.fromkeys(path for path in ANCESTRY if path != "zoo/__init__.py")
    messages = checker.get_python_messages(str(root), files, "3.2", jobs=1)
    return sorted((m["path"], m["line"], m["message-id"], str(m["message"])) for m in messages)


def test_kept_ancestors_find_what_astroids_own_walk_finds(ancestry_project, monkeypatch):
    own_walk = nodes.ClassDef.__dict__["ancestors"]
    kept = lint_ancestry(ancestry_project)
    assert nodes.ClassDef.__dict__["ancestors"] is own_walk
    # Something other than astroid's own function there is left alone: the lint then walks
    # with astroid's function every time.
    monkeypatch.setattr(nodes.ClassDef, "ancestors", functools.partialmethod(own_walk))
    assert lint_ancestry(ancestry_project) == kept
    codes = {code for _, _, code, _ in kept}
    assert {"C2000", "C2005", "C2008", "C9000", "C9001"} <= codes


def answer(ask):
    try:
        value = ask()
    except Exception as error:  # an inconsistent order raises: the same error, kept or not
        return type(error)
    return [c.qname() for c in value] if isinstance(value, (list, tuple)) else value


def test_kept_answers_are_astroids_answers_while_files_are_checked(ancestry_project, monkeypatch):
    own = {name: nodes.ClassDef.__dict__[name] for name in ("ancestors", "mro", "metaclass")}
    seen = []
    original = checker.Linter

    class Linter(original):
        def check(self, files_or_modules):
            result = original.check(self, files_or_modules=files_or_modules)
            seen.append({name: nodes.ClassDef.__dict__[name] for name in own})
            for module in ("zoo.models", "zoo.loops", "zoo.views"):
                for cls in astroid.MANAGER.astroid_cache[module].nodes_of_class(nodes.ClassDef):
                    for recurs in (True, False):
                        first = answer(lambda: list(cls.ancestors(recurs=recurs)))
                        assert answer(lambda: list(cls.ancestors(recurs, None))) == first
                        assert first == answer(lambda: list(own["ancestors"](cls, recurs=recurs)))
                    assert answer(cls.mro) == answer(cls.mro) == answer(lambda: own["mro"](cls))
                    assert cls.metaclass() is own["metaclass"](cls)
            # Each call gets a list of its own, as from astroid.
            cat = astroid.MANAGER.astroid_cache["zoo.models"].body[-1]
            assert cat.mro() == cat.mro() and cat.mro() is not cat.mro()
            return result

    monkeypatch.setattr(checker, "Linter", Linter)
    lint_ancestry(ancestry_project)
    assert seen and all(seen[0][name] is not own[name] for name in own)
    assert {name: nodes.ClassDef.__dict__[name] for name in own} == own


def test_astroids_own_walk_is_put_back_when_the_check_raises(monkeypatch):
    own_walk = nodes.ClassDef.__dict__["ancestors"]

    def check(run_check):
        assert nodes.ClassDef.__dict__["ancestors"] is not own_walk
        raise RuntimeError("the check failed")

    with pytest.raises(RuntimeError, match="the check failed"):
        lint_with(monkeypatch, check)
    assert nodes.ClassDef.__dict__["ancestors"] is own_walk


def test_answers_are_kept_between_builds_and_asked_afresh_while_a_module_is_built(monkeypatch):
    own_walk = nodes.ClassDef.__dict__["ancestors"]
    asked = []

    def counting_walk(self, recurs=True, context=None):
        asked.append(self.name)
        return own_walk(self, recurs, context)

    # A plain function there is what the lint keeps answers of.
    monkeypatch.setattr(nodes.ClassDef, "ancestors", counting_walk)
    counts = {}

    def check(run_check):
        child = astroid.parse("class Base:\n    pass\n\n\nclass Child(Base):\n    pass\n").body[1]
        asked.clear()
        assert [c.name for c in child.ancestors()] == ["Base", "object"]
        assert [c.name for c in child.ancestors()] == ["Base", "object"]
        counts["between builds"] = asked.count("Child")

        def ask_twice(module):
            list(child.ancestors())
            list(child.ancestors())

        asked.clear()
        astroid.MANAGER.register_transform(nodes.Module, ask_twice)
        try:
            astroid.parse("x = 1\n")
        finally:
            astroid.MANAGER.unregister_transform(nodes.Module, ask_twice)
        counts["while building"] = asked.count("Child")
        return run_check()

    lint_with(monkeypatch, check)
    assert counts == {"between builds": 1, "while building": 2}
    assert nodes.ClassDef.__dict__["ancestors"] is counting_walk


# ---------------------------------------------------------------------------------------
# Options a check sets on astroid's manager and the import path


def process_options():
    manager = astroid.MANAGER
    return {
        "always_load_extensions": manager.always_load_extensions,
        "optimize_ast": manager.optimize_ast,
        "max_inferable_values": getattr(manager, "max_inferable_values", None),
        "extension_package_whitelist": set(manager.extension_package_whitelist),
        "sys.path": list(sys.path),
    }


HOST_OPTIONS = {
    "unsafe-load-any-extension": True,
    "extension-pkg-allow-list": ["somemod"],
    "extension-pkg-whitelist": ["othermod"],
    "limit-inference-results": 7,
}


@pytest.fixture
def host_options():
    """The host's own choices, which every lint must leave as they are."""
    manager = astroid.MANAGER
    saved = process_options()
    manager.always_load_extensions = False
    manager.extension_package_whitelist.add("hosts_own")
    manager.max_inferable_values = 100
    yield process_options()
    manager.always_load_extensions = saved["always_load_extensions"]
    manager.extension_package_whitelist.clear()
    manager.extension_package_whitelist.update(saved["extension_package_whitelist"])
    manager.max_inferable_values = saved["max_inferable_values"]


@pytest.mark.usefixtures("stand_in_rules")
@pytest.mark.parametrize("jobs", [1, 2])
def test_a_lint_puts_back_every_option_it_set(host_options, jobs):
    whitelist = astroid.MANAGER.extension_package_whitelist
    checker.get_messages(str(LINT_PROJECT), FILES, config=dict(HOST_OPTIONS, jobs=jobs))
    assert process_options() == host_options
    assert astroid.MANAGER.extension_package_whitelist is whitelist


@pytest.mark.usefixtures("stand_in_rules")
def test_options_are_put_back_when_the_check_raises(host_options, monkeypatch):
    def failing_check(self, files_or_modules):
        self.open()  # where pylint sets astroid's options
        sys.path.insert(0, "/somewhere")
        assert astroid.MANAGER.always_load_extensions
        raise RuntimeError("the check failed")

    monkeypatch.setattr(checker.lint.PyLinter, "check", failing_check)
    with pytest.raises(RuntimeError, match="the check failed"):
        checker.get_messages(str(LINT_PROJECT), FILES, config=HOST_OPTIONS, jobs=1)
    assert process_options() == host_options


def test_a_single_text_lint_leaves_the_options_as_they_were(host_options):
    checker.check_code("x = 1\n", "app/x.py", "proj.settings")
    assert process_options() == host_options


# ---------------------------------------------------------------------------------------
# One host process, many lints: each sees the files as they are now, and its own project


def codes(root, files):
    return sorted((m["path"], m["line"], m["message-id"])
                  for m in checker.get_messages(str(root), dict.fromkeys(files), jobs=1))


BLOG_MODELS = "from django.db import models\n\n\nclass Post(models.Model):\n    title = models.TextField()\n"
BLOG_VIEWS = "from .models import Post\n\n\ndef count():\n    return len(Post.objects.all())\n"


def test_a_lint_after_an_edit_sees_the_file_as_it_is_now(tmp_path):
    root = write_files(tmp_path / "a", {"blog/__init__.py": "", "blog/models.py": BLOG_MODELS,
                                        "blog/views.py": BLOG_VIEWS})
    assert codes(root, ["blog/models.py", "blog/views.py"]) == [("blog/views.py", 5, "C9000")]
    (root / "blog" / "models.py").write_text(
        BLOG_MODELS + "    body = models.CharField(max_length=5, null=True)\n")
    # The views now import a Post that is no model: nothing to say of its length.
    (root / "blog" / "views.py").write_text(BLOG_VIEWS.replace("from .models", "from .plain"))
    (root / "blog" / "plain.py").write_text("class Post:\n    objects = []\n")
    assert codes(root, ["blog/models.py", "blog/views.py"]) == [("blog/models.py", 6, "C2000")]


def suggested(root):
    from vettor.staticanalysis import suggest

    finding = {"path": "blog/views.py", "line": 5, "message-id": "C9000", "body": "len"}
    return "```suggestion" in suggest.suggest_fixes([finding], str(root))[0]["body"]


def fixed_in_text(root):
    from vettor.staticanalysis import transformer

    code = (root / "blog" / "views.py").read_text()
    return ".count()" in transformer.transform_code(code, str(root / "blog" / "views.py"), None).code


def fixed_in_project(root):
    from vettor.staticanalysis import transformer

    return any(path == "blog/views.py" for _, path in transformer.transform_files(root, None, jobs=1))


@pytest.mark.parametrize("fixes", [suggested, fixed_in_text, fixed_in_project])
def test_a_fix_after_an_edit_sees_the_file_as_it_is_now(tmp_path, fixes):
    # Each road infers the views' Post from the models it builds; the next call must build
    # them again from the file as it is then.
    root = write_files(tmp_path / "a", {"blog/__init__.py": "", "blog/models.py": BLOG_MODELS,
                                        "blog/views.py": BLOG_VIEWS})
    assert fixes(root)
    (root / "blog" / "models.py").write_text("class Post:\n    objects = []\n")
    assert not fixes(root)


def test_a_project_is_linted_without_another_projects_modules(tmp_path):
    first = write_files(tmp_path / "first", {"blog/__init__.py": "", "blog/models.py": BLOG_MODELS,
                                             "blog/views.py": BLOG_VIEWS})
    second = write_files(tmp_path / "second", {"blog/__init__.py": "",
                                               "blog/models.py": "class Post:\n    objects = []\n",
                                               "blog/views.py": BLOG_VIEWS})
    alone = codes(second, ["blog/views.py"])
    assert codes(first, ["blog/views.py"]) == [("blog/views.py", 5, "C9000")]
    assert codes(second, ["blog/views.py"]) == alone == []


def test_settings_modules_a_host_names_are_read_in_its_project_only(tmp_path, monkeypatch):
    # The first project has config/settings.py; the second, linted with the same settings
    # module named, has none: its root URL configuration is unknown, as in a fresh process.
    first = write_files(tmp_path / "first", {
        "config/__init__.py": "", "config/settings.py": 'ROOT_URLCONF = "first.urls"\n',
        "app/__init__.py": "", "app/views.py": "x = 1\n"})
    second = write_files(tmp_path / "second", {"app/__init__.py": "", "app/views.py": "x = 1\n"})
    urlconfs = []
    found = meta.get_root_urlconf
    monkeypatch.setattr(meta, "get_root_urlconf", lambda names: urlconfs.append(found(names)) or urlconfs[-1])
    for root in (first, second):
        checker.get_messages(str(root), {"app/views.py": None}, config={"settings-files": ["config.settings"]},
                             jobs=1)
    assert urlconfs == ["first.urls", ""]


def test_a_project_module_shadows_a_library_module_another_lint_used(tmp_path):
    # sqlparse is installed beside Django; the second project has a module of that name.
    views = "from sqlparse import Post\n\n\ndef count():\n    return len(Post.objects.all())\n"
    uses_library = write_files(tmp_path / "first", {"app/__init__.py": "", "app/views.py": views})
    shadows = write_files(tmp_path / "second", {
        "sqlparse.py": BLOG_MODELS, "app/__init__.py": "", "app/views.py": views})
    codes(uses_library, ["app/views.py"])
    assert "sqlparse" in astroid.MANAGER.astroid_cache  # a library module stays known
    assert codes(shadows, ["app/views.py"]) == [("app/views.py", 5, "C9000")]


def project_trees_alive(root):
    gc.collect()
    folder = str(root.resolve())
    # type(), not isinstance(): a lazy object of a library would set itself up when asked.
    return [o for o in gc.get_objects() if type(o) is nodes.Module
            and isinstance(o.file, str) and o.file.startswith(folder)]


def linted(root):
    return codes(root, ["blog/models.py", "blog/views.py", "blog/admin.py"])


@pytest.mark.parametrize("call", [linted, suggested, fixed_in_text, fixed_in_project])
def test_no_tree_of_the_project_outlives_the_call(tmp_path, call):
    # Inference of the queryset, lookups of names, constants (whose cached answers astroid
    # keeps on the builtins class they stand for) and a property's cached inference: each
    # kept a tree of the project alive in one of astroid's or pylint's caches.
    admin = ("class Admin:\n    @property\n    def label(self):\n        return 'x'\n\n\n"
             "def size():\n    return Admin().label + str(len([1, 2]))\n")
    root = write_files(tmp_path / "blog project", {
        "blog/__init__.py": "", "blog/models.py": BLOG_MODELS, "blog/views.py": BLOG_VIEWS,
        "blog/admin.py": admin})
    call(root)
    assert call(root) is not None
    assert project_trees_alive(root) == []


# ---------------------------------------------------------------------------------------
# One lint: a file's findings whatever was linted before it

ORDERS = {
    "app/__init__.py": "",
    "app/models.py": (
        "from django.db import models\n\n\n"
        "class Customer(models.Model):\n"
        "    name = models.TextField()\n\n\n"
        "class Order(models.Model):\n"
        "    customer = models.ForeignKey(Customer, on_delete=models.CASCADE)\n\n"
        "    def customer_key(self):\n"
        "        return self.customer.id\n"),
    # Assigns the attribute on an instance of a class of another module.
    "app/views.py": (
        "from .models import Customer, Order\n\n\n"
        "def assign():\n"
        "    order = Order()\n"
        "    order.customer = Customer()\n"
        "    return order\n"),
}


@pytest.mark.parametrize("order", [["app/models.py", "app/views.py"], ["app/views.py", "app/models.py"]],
                         ids=["models-first", "views-first"])
def test_a_files_findings_do_not_depend_on_the_files_linted_before_it(tmp_path, order):
    root = write_files(tmp_path / "project", ORDERS)
    found = [(p, line, code) for p, line, code in codes(root, order) if p == "app/models.py"]
    assert found == [("app/models.py", 9, "C2005"), ("app/models.py", 12, "C9001")]


def test_an_attribute_assigned_in_the_classs_own_module_is_still_known(tmp_path, monkeypatch):
    root = write_files(tmp_path / "project", {
        "app/__init__.py": "",
        "app/models.py": ORDERS["app/models.py"] + (
            "\n\ndef assign(order):\n"
            "    order = Order()\n"
            "    order.extra = 1\n"
            "    return order\n"),
    })
    known = []

    # The tree is built while files are checked, where the lint's own attribute assignment
    # stands in for astroid's.
    def check(self, files_or_modules):
        astroid.MANAGER.astroid_cache.pop("app.models", None)
        tree = astroid.MANAGER.ast_from_file(str(root / "app" / "models.py"), "app.models", source=True)
        known.append("extra" in tree["Order"].instance_attrs)

    monkeypatch.setattr(checker.lint.PyLinter, "check", check)
    checker.get_messages(str(root), {"app/models.py": None}, jobs=1)
    assert known == [True]
