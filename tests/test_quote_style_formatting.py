"""Black formatting of generated code in the quote style the fixed file prefers."""
import ast
import warnings

import black
import black.linegen
import black.trans
import pytest

from vettor.staticanalysis import suggest

TO_DOUBLE = ("'", '"')  # the file prefers double quotes
TO_SINGLE = ('"', "'")  # the file prefers single quotes


@pytest.mark.parametrize("source, target", [
    ("x = 1", TO_DOUBLE),
    ("a = 'x' + \"y\"", TO_DOUBLE),
    ("a = 'x'  # it's", TO_SINGLE),
    ('"""doc"""\nx = \'a\'', TO_DOUBLE),  # a triple quote counts three
])
def test_comma_character_target(source, target):
    assert suggest.get_comma_character_target(source) == target


LITERALS = [
    (TO_DOUBLE, "'abc'", '"abc"'),
    (TO_DOUBLE, '"abc"', '"abc"'),
    (TO_DOUBLE, r"'it\'s'", '"it\'s"'),
    (TO_DOUBLE, "'a\"b'", "'a\"b'"),
    (TO_DOUBLE, '"it\'s"', '"it\'s"'),
    (TO_DOUBLE, r'"say \"hi\""', "'say \"hi\"'"),
    (TO_DOUBLE, r"'a\"b'", "'a\"b'"),
    (TO_DOUBLE, "'''x'''", '"""x"""'),
    (TO_DOUBLE, '"""x"""', '"""x"""'),
    (TO_DOUBLE, "r'a\"b'", "r'a\"b'"),
    (TO_DOUBLE, "f'{x[\"k\"]}'", "f'{x[\"k\"]}'"),
    (TO_DOUBLE, "Rb'x'", 'Rb"x"'),
    (TO_DOUBLE, "'''ends in \"'''", "'''ends in \"'''"),  # the move would escape its end
    (TO_SINGLE, '"abc"', "'abc'"),
    (TO_SINGLE, "'abc'", "'abc'"),
    (TO_SINGLE, '"it\'s"', '"it\'s"'),
    (TO_SINGLE, "'''x'''", '"""x"""'),
    (TO_SINGLE, 'u"x"', "u'x'"),
]


@pytest.mark.parametrize("target, literal, expected", LITERALS)
def test_literal_is_requoted_unless_it_costs_escapes(target, literal, expected):
    assert suggest.normalize_string_quotes(comma_character_target=target, s=literal) == expected
    if not literal.startswith("f"):
        assert ast.literal_eval(expected) == ast.literal_eval(literal)


def test_leaf_form_writes_the_leaf():
    class Leaf:
        value = "'abc'"

    leaf = Leaf()
    assert suggest.normalize_string_quotes_backwards_compatible(TO_DOUBLE, leaf) is None
    assert leaf.value == '"abc"'


@pytest.mark.parametrize("target, literal, error", [
    (("'",), "'a'", ValueError),
    (("'", '"', "x"), "'a'", ValueError),
    (TO_DOUBLE, "", IndexError),
])
def test_normaliser_errors(target, literal, error):
    with pytest.raises(error):
        suggest.normalize_string_quotes(target, literal)


@pytest.mark.parametrize("target, expected", [
    (TO_DOUBLE, 'x = {"k": "v", "n": "it\'s"}\n\n\ny = f("a")'),
    (TO_SINGLE, "x = {'k': 'v', 'n': \"it's\"}\n\n\ny = f('a')"),
])
def test_format_code_quotes_towards_the_target(target, expected):
    code = "x = {'k':\"v\", 'n': \"it's\"}\n\n\n\ny = f( 'a' )\n"
    assert suggest.format_code(code, "", {}, target) == expected


@pytest.fixture
def compiled_black(monkeypatch):
    """Black as the compiled wheels behave: its normaliser is bound at build time, so the
    replacement put on its module is never called."""

    class Ignored:
        def start(self):
            pass

        def stop(self):
            pass

    class Patch:
        @staticmethod
        def object(target, attribute, new):
            return Ignored()

    monkeypatch.setattr(suggest, "patch", Patch)
    monkeypatch.setattr(suggest, "black_reads_patched_quotes", lambda: False)


@pytest.mark.parametrize("target, code, expected", [
    (TO_SINGLE, "x = {'k':\"v\", 'n': \"it's\"}\n\n\n\ny = f( 'a' )\n",
     "x = {'k': 'v', 'n': \"it's\"}\n\n\ny = f('a')"),
    (TO_DOUBLE, "x = {'k':\"v\", 'n': \"it's\"}\n", 'x = {"k": "v", "n": "it\'s"}'),
    # Docstrings, byte and f-strings, and literals over several lines keep Black's layout.
    (TO_SINGLE, 'def f():\n    """Doc."""\n    return b"x" + f"{a!r}"\n\n\ny = """many\nlines"""\n',
     "def f():\n    \"\"\"Doc.\"\"\"\n    return b'x' + f'{a!r}'\n\n\ny = \"\"\"many\nlines\"\"\""),
    (TO_SINGLE, 'call(\n    "first",\n    "second",\n)\n', "call(\n    'first',\n    'second',\n)"),
])
def test_format_code_quotes_towards_the_target_when_black_ignores_the_replacement(
    compiled_black, target, code, expected
):
    assert suggest.format_code(code, "", {}, target) == expected


def test_pure_python_black_reads_the_replacement():
    # The pinned Black is installed from source: its normaliser is read at call time.
    assert suggest.black_reads_patched_quotes() is True


def test_format_code_with_a_code_style_and_indentation():
    code = "def f(first_argument, second_argument):\n    return [first_argument, second_argument]\n"
    formatted = suggest.format_code(code=code, indentation="    ", code_style={"line_length": 30},
                                    comma_character_target=TO_SINGLE)
    assert formatted == (
        "    def f(\n"
        "        first_argument,\n"
        "        second_argument,\n"
        "    ):\n"
        "        return [\n"
        "            first_argument,\n"
        "            second_argument,\n"
        "        ]"
    )
    blank = suggest.format_code("x = 1\n\ny = 2\n", "    ", {}, TO_DOUBLE)
    assert blank == "    x = 1\n\n    y = 2"


def test_split_literal_keeps_the_target_quote():
    code = ("x = call(argument, 'a fairly long string with several words in it that will not"
            " fit on one line at all')\n")
    formatted = suggest.format_code(code, "", {"line_length": 79}, TO_SINGLE)
    assert formatted == (
        "x = call(\n"
        "    argument,\n"
        "    (\n"
        "        'a fairly long string with several words in it that will not fit on'\n"
        "        ' one line at all'\n"
        "    ),\n"
        ")"
    )


def test_black_normaliser_is_put_back_after_each_call():
    own = black.linegen.normalize_string_quotes
    own_trans = black.trans.normalize_string_quotes
    seen = []

    def spy(code, mode):
        seen.append(black.linegen.normalize_string_quotes)
        assert black.trans.normalize_string_quotes is seen[-1]
        raise black.InvalidInput("rejected")

    with pytest.raises(black.InvalidInput):
        suggest.format_code("x = (\n", "", {}, TO_DOUBLE)
    assert black.linegen.normalize_string_quotes is own
    # while Black runs, the replacement carries this call's quote pair
    original_format_str = black.format_str
    try:
        black.format_str = spy
        with pytest.raises(black.InvalidInput):
            suggest.format_code("x = 1", "", {}, TO_SINGLE)
    finally:
        black.format_str = original_format_str
    assert seen[0].args == (TO_SINGLE,) and seen[0].func is suggest.normalize_string_quotes
    assert black.linegen.normalize_string_quotes is own
    assert black.trans.normalize_string_quotes is own_trans
    # the next call formats with its own pair
    assert suggest.format_code("x = 'a'\n", "", {}, TO_DOUBLE) == 'x = "a"'
    assert suggest.format_code('x = "a"\n', "", {}, TO_SINGLE) == "x = 'a'"


@pytest.mark.parametrize("code_style", [
    None,
    {"string_normalization": False},
    {"experimental_string_processing": False},
    {"no_such_option": 1},
])
def test_bad_code_style_fails_before_anything_is_patched(code_style, monkeypatch):
    own = black.linegen.normalize_string_quotes
    monkeypatch.setattr(black, "format_str", lambda *a, **k: pytest.fail("formatted"))
    with pytest.raises(TypeError):
        suggest.format_code("x = 1\n", "", code_style, TO_DOUBLE)
    assert black.linegen.normalize_string_quotes is own


def test_format_code_does_not_warn_on_every_call():
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        suggest.format_code("x = 'a'\n", "", {}, TO_DOUBLE)
    assert [str(w.message) for w in caught] == []
    # and the caller's own warning filters are as they were
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        warnings.warn("`experimental string processing` has been included in `preview`")
    assert len(caught) == 1
