"""Shared support for the model rule tests: a one-checker lint through pylint's own walker, and
small stand-ins for the Django predicates of `helpers` while that module does not offer them."""
import ast
import os
import re

import astroid
import pytest
from pylint.checkers.utils import safe_infer
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker

from vettor.staticanalysis import helpers


def _has_qname(node, qname):
    try:
        return any(cls.qname() == qname for cls in node.mro())
    except Exception:  # an unusual node is simply not that kind of class
        return False


def _is_migration_file(node):
    for cls in node.root().nodes_of_class(astroid.ClassDef):
        try:
            return any(c.qname() == "django.db.migrations.migration.Migration"
                       for c in safe_infer(cls).mro())
        except Exception:
            continue
    return False


def _get_member_name(node):
    statement = node.statement()
    while not isinstance(statement, astroid.Assign):
        if not statement.parent:
            return None
        statement = statement.parent.statement()
    target = statement.targets[0]
    return target.name if isinstance(target, astroid.AssignName) else None


STAND_INS = {
    "is_model": lambda node, **kwargs: _has_qname(node, "django.db.models.base.Model"),
    "is_model_field": lambda node: _has_qname(safe_infer(node), "django.db.models.fields.Field"),
    "is_model_admin": lambda node: _has_qname(node, "django.contrib.admin.options.BaseModelAdmin"),
    "is_migration_file": _is_migration_file,
    "get_member_name": _get_member_name,
}


@pytest.fixture
def django_predicates(monkeypatch):
    """The helpers predicates the rules call, standing in only for names helpers lacks."""
    for name, function in STAND_INS.items():
        if not hasattr(helpers, name):
            monkeypatch.setattr(helpers, name, function, raising=False)


def module_name_for(path):
    """The dotted name pylint gives a file: its package chain (folders with __init__.py)."""
    path = os.path.abspath(path)
    parts = [os.path.splitext(os.path.basename(path))[0]]
    folder = os.path.dirname(path)
    while os.path.isfile(os.path.join(folder, "__init__.py")):
        parts.insert(0, os.path.basename(folder))
        folder = os.path.dirname(folder)
    if parts[-1] == "__init__":
        parts.pop()
    return ".".join(parts)


def walk_findings(checker_class, path, config=None):
    """Lint the file at `path` with one checker through pylint's own walker, the tree built
    as pylint builds it: [(code, line, args), ...] in the order they were added."""
    tree = astroid.MANAGER.ast_from_file(path, module_name_for(path), source=True)
    return walk_tree(checker_class, tree, config)


def walk_source(checker_class, source, module_name, path=None, config=None):
    """The same for a source text, parsed as a module of the given name (and file)."""
    tree = astroid.parse(source, module_name=module_name, path=path)
    try:
        return walk_tree(checker_class, tree, config)
    finally:
        # Parsing caches the module under its name; keep that name free for other tests.
        if astroid.MANAGER.astroid_cache.get(module_name) is tree:
            del astroid.MANAGER.astroid_cache[module_name]


def walk_tree(checker_class, tree, config=None):
    linter = UnittestLinter()
    checker = checker_class(linter)
    for key, value in (config or {}).items():
        setattr(checker.config, key.replace("-", "_"), value)
    walker = ASTWalker(linter)
    walker.add_checker(checker)
    walker.walk(tree)
    # A finding without a line of its own (one on the module) is placed at line 1, as the
    # linter does.
    return [(m.msg_id, (m.line if m.line is not None else m.node.fromlineno) or 1, m.args)
            for m in linter.release_messages()]


MARK = re.compile(r"#\s*(?:module:\s*)?(\[.*\])\s*$")
ONE = re.compile(r"\[(C\d{4})((?:[^\]'\"]|'[^']*'|\"[^\"]*\")*)\]")


def expected_findings(source):
    """Findings marked beside the lines of a fixture: `# [C3002 before='save' after='x']`.

    A finding on the module itself comes at line 1, where pylint places it; its marker is
    written `# module: [...]` on the file's first line. Each marker holds the code and the argument record as Python keyword literals.
    """
    found = []
    for number, line in enumerate(source.splitlines(), start=1):
        match = MARK.search(line)
        if not match:
            continue
        for code, arguments in ONE.findall(match.group(1)):
            found.append((code, number, _parse_record(arguments)))
    return found


def _parse_record(arguments):
    text = arguments.strip()
    if not text:
        return {}
    call = ast.parse(f"f({_commas(text)})", mode="eval").body
    return {k.arg: ast.literal_eval(k.value) for k in call.keywords}


def _commas(text):
    """`a=1 b='x y'` -> `a=1, b='x y'`: separate the keyword literals of a marker."""
    out, quote = [], None
    for index, char in enumerate(text):
        if quote:
            quote = None if char == quote else quote
        elif char in "'\"":
            quote = char
        elif char == " " and re.match(r"\s*[A-Za-z_]\w*=", text[index:]):
            out.append(",")
        out.append(char)
    return "".join(out)
