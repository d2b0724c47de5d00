"""The inference shims: manager, queryset and model look-ups infer to Django values in trees
built with them, and model classes record the object-id fields of their generic foreign keys."""
import pathlib
import pickle

import astroid
import pytest
from astroid import nodes
from astroid.transforms import TransformVisitor
from pylint.checkers.utils import safe_infer

from vettor.staticanalysis import helpers, shims

LIBRARY = (pathlib.Path(__file__).parent / "fixtures" / "shims" / "library.py").read_text()
QUERYSET = "django.db.models.query.QuerySet"


def expressions(*lines):
    """The expressions written after the fixture models, in a tree built with the shims."""
    tree = helpers.build_atok(LIBRARY + "\n" + "\n".join(lines) + "\n", "shimapp.models").tree
    return [statement.value for statement in tree.body[-len(lines):]]


def inferred(expression):
    return list(expression.infer())


def test_objects_on_a_model_is_its_manager():
    # Django's own Manager where the model declares none; the one it declares otherwise.
    author, book = expressions("Author.objects", "Book.objects")
    for expression, manager, model in ((author, "django.db.models.manager.Manager", "Author"),
                                       (book, "shimapp.models.BookManager", "Book")):
        values = inferred(expression)
        assert [v.qname() for v in values] == [manager]
        assert isinstance(values[0], astroid.Instance)
        assert values[0].model.name == model


def test_manager_lookups_are_a_queryset_of_model_instances():
    for expression in expressions("Author.objects.all()", "Author.objects.filter(a=1)", "Author.objects.exclude(a=1)"):
        (queryset,) = inferred(expression)
        assert isinstance(queryset, shims.QuerySetNode)
        assert queryset.qname() == queryset.pytype() == QUERYSET
        assert helpers.is_queryset(queryset)
        (element,) = queryset.elts
        assert isinstance(element, astroid.Instance) and element.qname() == "shimapp.models.Author"


def test_a_chain_of_lookups_is_the_queryset_of_its_first_link():
    chain, first = expressions("Author.objects.filter(a=1).exclude(b=2).filter(c=3)", "Author.objects.filter(a=1)")
    (queryset,) = inferred(chain)
    assert queryset is safe_infer(chain.func.expr.func.expr)
    assert isinstance(queryset, shims.QuerySetNode)
    assert queryset is not safe_infer(first)


@pytest.mark.parametrize("subscript", ["[0]", "[1:3]", "['x']"])
def test_subscripting_a_queryset_is_a_model_instance(subscript):
    (expression,) = expressions("Author.objects.filter(a=1).exclude(b=2)" + subscript)
    assert [v.qname() for v in inferred(expression)] == ["shimapp.models.Author"]


@pytest.mark.parametrize("call", ["get(pk=1)", "first()", "last()"])
def test_get_first_last_are_a_model_instance(call):
    (expression,) = expressions("Book.objects." + call)
    (value,) = inferred(expression)
    assert isinstance(value, astroid.Instance) and value.qname() == "shimapp.models.Book"


def test_a_declared_manager_is_the_models_own():
    manager, queryset, instance = expressions("Book.objects", "Book.objects.filter(title='x')", "Book.objects.get()")
    assert safe_infer(manager).qname() == "shimapp.models.BookManager"
    assert safe_infer(queryset).elts[0].qname() == "shimapp.models.Book"
    assert safe_infer(instance).qname() == "shimapp.models.Book"


@pytest.mark.parametrize(
    "expression",
    ["Author.objects.count()", "Author.objects.filter(a=1).first()", "Shelf.objects", "Shelf.objects.filter()"],
)
def test_lookups_without_a_shim(expression):
    (node,) = expressions(expression)
    assert node._explicit_inference is None


@pytest.mark.parametrize(
    "expression",
    [
        "Book.objects.get('title')",  # a mapping's get: a queryset's takes Q objects
        "Book.objects.get(f'{x}', None)",
        "Book.objects.filter(['a'])",
        "Book.objects.exclude(('a', 1))",
        "Book.objects.all(1)",  # all(), first() and last() take no argument
        "Book.objects.first(ordering='x')",
        "Book.objects.last(1)",
    ],
)
def test_calls_no_queryset_method_accepts_are_not_shimmed_nor_inferred(monkeypatch, expression):
    inferred_receivers = []
    real = shims.safe_infer

    def spy(node):
        # `Book` itself is inferred by the manager shim of `Book.objects`, as for any call.
        if isinstance(node, nodes.Attribute) and node.lineno > LIBRARY.count("\n"):
            inferred_receivers.append(node.as_string())
        return real(node)

    monkeypatch.setattr(shims, "safe_infer", spy)
    (node,) = expressions(expression)
    assert node._explicit_inference is None
    assert inferred_receivers == []


@pytest.mark.parametrize(
    "expression",
    ["Book.objects.filter(Q(a=1) | Q(b=2))", "Book.objects.get(condition, pk=1)", "Book.objects.filter(*conditions)"],
)
def test_lookups_with_arguments_that_may_be_q_objects_keep_their_shim(expression):
    (node,) = expressions(expression)
    assert node._explicit_inference is not None


def test_the_two_lookup_predicates_infer_the_receiver_once(monkeypatch):
    receivers = []
    real = shims.safe_infer

    def spy(node):
        if node.root().name == "shimapp.models" and node.lineno > LIBRARY.count("\n"):
            receivers.append(node.as_string())
        return real(node)

    monkeypatch.setattr(shims, "safe_infer", spy)
    (node,) = expressions("Book.objects.filter(title='x')")
    assert receivers.count("Book.objects") == 1
    (queryset,) = inferred(node)
    assert queryset.elts[0].qname() == "shimapp.models.Book"
    # Asked on its own, the queryset predicate infers the receiver afresh each time.
    receivers.clear()
    for _ in range(2):
        assert not shims.looks_like_queryset_lookup(node)
    assert receivers.count("Book.objects") == 2


def test_predicates_answer_none_for_other_shapes():
    call, attribute, name_call = expressions("Author.objects.annotate()", "Author.name", "filter()")
    assert shims.looks_like_model_manager(attribute) is None
    for predicate in (shims.looks_like_model_manager_lookup, shims.looks_like_queryset_lookup, shims.looks_like_model_get):
        assert predicate(call) is None
        assert predicate(name_call) is None


def test_generic_foreign_key_field_names():
    tree = helpers.build_atok(LIBRARY, "shimapp.models").tree
    classes = {node.name: node for node in tree.nodes_of_class(nodes.ClassDef)}
    assert classes["Tag"].generic_foreign_key_field_names == ["object_id", "owner_id", "other_id"]
    assert classes["Author"].generic_foreign_key_field_names == []
    assert not hasattr(classes["Shelf"], "generic_foreign_key_field_names")
    assert not hasattr(classes["BookManager"], "generic_foreign_key_field_names")


def test_only_calls_that_could_name_an_object_id_field_are_inferred(monkeypatch):
    # Inferring the calls of every model class (Django's own among them) is what made the
    # lint build library modules: a call that would record nothing is not asked about.
    source = LIBRARY + (
        "\n\nclass Note(models.Model):\n"
        "    target = GenericForeignKey('content_type', 'object_id')\n"
        "    def save(self, *args, **kwargs):\n"
        "        self.full_clean()\n"
        "        log(self, level=2, fk_field=name)\n"
        "        notify(self, 'saved')\n"
    )
    inferred_calls = []
    real = shims.safe_infer

    def spy(node):
        if isinstance(node, nodes.Call) and node.root().name == "shimapp.models":
            inferred_calls.append(node.as_string())
        return real(node)

    monkeypatch.setattr(shims, "safe_infer", spy)
    tree = helpers.build_atok(source, "shimapp.models").tree
    classes = {node.name: node for node in tree.nodes_of_class(nodes.ClassDef)}
    assert classes["Tag"].generic_foreign_key_field_names == ["object_id", "owner_id", "other_id"]
    assert classes["Note"].generic_foreign_key_field_names == ["object_id"]
    assert sorted(inferred_calls) == sorted([
        "GenericForeignKey('content_type', 'object_id')",
        "GenericForeignKey(fk_field='owner_id')",
        "GenericForeignKey(ct_field='content_type', fk_field='other_id')",
        "GenericForeignKey('content_type', 'object_id')",
        "notify(self, 'saved')",
    ])


def test_trees_built_without_the_shims_have_no_field_names():
    tree = astroid.builder.AstroidBuilder(apply_transforms=False).string_build(LIBRARY, "plain_models")
    tag = next(n for n in tree.nodes_of_class(nodes.ClassDef) if n.name == "Tag")
    assert not hasattr(tag, "generic_foreign_key_field_names")


def test_a_shim_whose_expression_does_not_infer_leaves_ordinary_inference(monkeypatch):
    # Accept every receiver, so the shims are attached where the model does not infer.
    monkeypatch.setattr(helpers, "is_model_manager", lambda node: True)
    monkeypatch.setattr(helpers, "is_queryset", lambda node: False)
    get, lookup = expressions("missing_name.objects.get()", "missing_name.objects.filter()")
    assert get._explicit_inference is not None and lookup._explicit_inference is not None
    assert safe_infer(get) is None and safe_infer(lookup) is None
    for shim, node in ((shims.apply_model_get_shim, get), (shims.apply_model_manager_lookup_shim, lookup)):
        with pytest.raises(astroid.UseInferenceDefault):
            list(shim(node))


def test_register_transforms_adds_its_ten_each_time():
    registry = TransformVisitor()
    shims.register_transforms(registry)
    shims.register_transforms(manager=registry)
    counts = {cls.__name__: len(entries) for cls, entries in registry.transforms.items()}
    assert counts == {"ClassDef": 2, "Call": 12, "Attribute": 4, "Arguments": 2}
    classdef = registry.transforms[nodes.ClassDef][0]
    assert classdef == (shims.apply_is_used_in_generic_fk_shim, shims.looks_like_model)


def test_loading_the_module_put_the_shims_on_the_global_manager():
    registered = [
        predicate for entries in astroid.MANAGER._transform.transforms.values() for _, predicate in entries
    ]
    for predicate in ("looks_like_model", "looks_like_model_manager", "looks_like_model_get"):
        assert getattr(shims, predicate) in registered


def test_queryset_node_is_a_class_and_a_list_that_pickles_by_name():
    assert issubclass(shims.QuerySetNode, nodes.ClassDef) and issubclass(shims.QuerySetNode, nodes.List)
    assert shims.QuerySetNode.__dict__["qname"] is shims.QuerySetNode.__dict__["pytype"]
    assert pickle.loads(pickle.dumps(shims.QuerySetNode)) is shims.QuerySetNode
    node = shims.QuerySetNode.from_elements([nodes.Const(1)])
    assert node.getitem(nodes.Const("anything")).value == 1


# ---------------------------------------------------------------------------------------
# Managers, querysets and instances the code reaches beyond `Model.objects`: the fixture
# project's models, read from its files as a lint reads them.

RELATED = pathlib.Path(__file__).parent / "fixtures" / "related_project"

PROBE = """from django.shortcuts import get_object_or_404

from boards.models import Board, Member, Sprint


def probe(board: Board, member: Member, unknown, maybe: Board = None, *, named: Member):
    sprint = Sprint.objects.first()
"""


def described(value):
    """What a value is, in the terms the queryset rules care about."""
    if value is None or value is astroid.Uninferable:
        return None
    if isinstance(value, shims.QuerySetNode):
        return ("queryset", value.elts[0].qname())
    if isinstance(value, shims.ManagerNode):
        return ("manager", value.qname(), value.model.qname())
    if helpers.is_queryset(value):
        return ("queryset", None)
    if isinstance(value, nodes.List) or value.qname() == "builtins.list":
        return ("list",)
    if isinstance(value, astroid.Instance):
        return ("instance", value.qname())
    return value


@pytest.fixture(scope="module")
def probed():
    """expression -> described value, each written as the probe's last statement."""
    from vettor.staticanalysis import checker

    def infer(expression):
        atok = helpers.build_atok(PROBE + f"    value = {expression}\n", "boards.probe",
                                  str(RELATED / "boards" / "probe.py"))
        return described(safe_infer(atok.tree.body[-1].body[-1].value))

    with pytest.MonkeyPatch.context() as patch:
        patch.syspath_prepend(str(RELATED))
        with checker.ProjectModules(str(RELATED), [str(RELATED)]):
            yield infer


SPRINT, BOARD, MEMBER = "boards.models.Sprint", "boards.models.Board", "boards.models.Member"

PROBED = [
    # reverse foreign keys: related_name, <model>_set, "+", %(class)s of an abstract model
    ("board.sprints.all()", ("queryset", SPRINT)),
    ("board.deadline_set.filter(pk=1)", ("queryset", "boards.models.Deadline")),
    ("board.card_set.all()", None),
    ("board.note_items.exclude(text='')", ("queryset", "boards.models.Note")),
    # declared in an application that no module here imports
    ("board.issues.all()", ("queryset", "tracker.models.Issue")),
    # many-to-many, both ways; a symmetrical one to its own model has no reverse accessor
    ("board.members.all()", ("queryset", MEMBER)),
    ("board.watchers.all()", ("queryset", MEMBER)),
    ("member.boards.all()", ("queryset", BOARD)),
    ("member.issue_set.all()", ("queryset", "tracker.models.Issue")),
    ("member.friends.all()", ("queryset", MEMBER)),
    ("member.member_set.all()", None),
    # a generic relation
    ("board.tags.all()", ("queryset", "tags.models.TaggedItem")),
    # the manager's other methods
    ("board.sprints.first()", ("instance", SPRINT)),
    ("board.sprints.get_queryset()", ("queryset", SPRINT)),
    ("board.sprints.order_by('pk')", ("queryset", SPRINT)),
    # instances: annotated parameters, get/create/first, get_object_or_404, a foreign key
    ("board", ("instance", BOARD)),
    ("named", ("instance", MEMBER)),
    ("unknown", None),
    ("maybe", None),
    ("Board.objects.create(name='x').sprints.all()", ("queryset", SPRINT)),
    ("get_object_or_404(Board, pk=1).sprints.all()", ("queryset", SPRINT)),
    ("get_object_or_404(Board.objects.all(), pk=1)", ("instance", BOARD)),
    ("sprint.board.sprints.all()", ("queryset", SPRINT)),
    ("unknown.sprints.all()", None),
    # declared managers, their own methods and their queryset classes' methods
    ("Board.objects.for_owner(1)", ("queryset", BOARD)),
    ("Board.objects.visible()", ("queryset", BOARD)),
    ("Board.objects.names()", None),  # a comprehension of names, no queryset
    ("Board.listed.active()", ("queryset", None)),
    ("Board.sorted_boards.active()", ("queryset", None)),
    ("Board.objects.order_by('name')", ("queryset", BOARD)),
    ("Board.objects.filter(active=True).order_by('name')", ("queryset", BOARD)),
    # what a project's method returns
    ("board.get_members()", ("queryset", MEMBER)),
    ("board.get_member_list()", ("list",)),
    ("list(Board.objects.all())", ("list",)),
    # values() rows are no model instances; first() on a queryset gets no shim
    ("Board.objects.values('name')", None),
    ("Board.objects.filter(active=True).first()", None),
]


@pytest.mark.parametrize("expression, expected", PROBED, ids=[case[0] for case in PROBED])
def test_what_the_code_reaches_beyond_model_objects(probed, expression, expected):
    assert probed(expression) == expected


def test_a_related_manager_is_the_default_manager_of_its_model(probed):
    # Django derives a related manager from the related model's default manager: its own
    # methods are there too.
    assert probed("member.owned_boards.for_owner(1)") == ("queryset", BOARD)


def at_depth(depth, function):
    return function() if depth == 0 else at_depth(depth - 1, function)


def test_a_models_default_manager_is_the_same_however_deep_it_is_first_asked():
    # It is worked out once for the class node; asked first where the running inference has
    # almost no frames left, it must still be the model's own manager, not Django's.
    book = safe_infer(expressions("Book")[0])
    deep = helpers.within_inference_budget(lambda: at_depth(990, lambda: shims.get_default_manager(book)))
    assert deep.qname() == "shimapp.models.BookManager"
    assert shims.get_default_manager(book).qname() == deep.qname()


def test_managers_and_lookups_pickle_by_name():
    for cls in (shims.ManagerNode, shims.LookupMethod):
        assert pickle.loads(pickle.dumps(cls)) is cls
