"""Shared support for the model rule tests: a one-checker lint through pylint's own walker, and
the reader of the findings marked in fixture files."""
import ast
import os
import re

import astroid
from pylint.testutils import UnittestLinter
from pylint.utils import ASTWalker


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
