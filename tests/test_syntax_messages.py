"""The message a line that does not parse fails with: the native grammar
gives the one the interpreter's own parser (the Python host) gives for the
usual editing mistakes, and "invalid syntax" where it knows no better."""

from __future__ import annotations

import gc
import sys
from typing import Any, Optional

import pytest

from pysource.grammar import Grammar
from pysource.splitter import scan_logical_lines
from pysource.transformer import Transformer

pysource_grammar = pytest.importorskip("pysource_grammar")

from native_grammar_diff import fed, run  # noqa: E402


def tokens_of(text: str) -> list[str]:
    return fed(scan_logical_lines(text)[0][0])


def message(grammar: Any, transformer: Any, toks: list[str]) -> Optional[str]:
    try:
        run(grammar, transformer, toks)
    except SyntaxError as e:
        return str(e.msg)
    return None


def messages(text: str) -> tuple[Optional[str], Optional[str]]:
    """(reference, native) message for a line, None where it parses."""
    toks = tokens_of(text)
    return (message(Grammar(), Transformer({}), toks),
            message(pysource_grammar.Grammar(), pysource_grammar.Transformer({}), toks))


# A mistake, and a part of the message every supported interpreter gives.
MISTAKES = [
    # brackets
    ("x = f(a, b", "'(' was never closed"),
    ("x = [1, (2, 3", "'(' was never closed"),
    ("d = {'a': [1", "'[' was never closed"),
    ("x = {", "'{' was never closed"),
    ("f(a))", "unmatched ')'"),
    ("x = ]", "unmatched ']'"),
    ("x = [1, 2)", "does not match opening parenthesis '['"),
    ("x = {a: b]", "does not match opening parenthesis '{'"),
    ("x = f(a b", "'(' was never closed"),
    ("x = [a b] + f(", "Perhaps you forgot a comma?"),
    ("x = (a if b", "'(' was never closed"),
    ("f(a, k=1, b", "'(' was never closed"),
    ("d = {a: 1, b.", "'{' was never closed"),
    ("def f(a, b=1, c", "'(' was never closed"),
    ("x = [f(a) for", "'[' was never closed"),
    ("x = (a for a,", "'(' was never closed"),
    ("f(k=a if", "'(' was never closed"),
    # strings
    ("x = 'abc", "unterminated string literal"),
    ("x = f(\"abc", "unterminated string literal"),
    ("x = '''abc", "unterminated triple-quoted string literal"),
    # block openers
    ("if x", "expected ':'"),
    ("while a and b", "expected ':'"),
    ("for x in range(10)", "expected ':'"),
    ("with open(p) as f", "expected ':'"),
    ("with a, b", "expected ':'"),
    ("class A(B)", "expected ':'"),
    ("def f(a) pass", "expected ':'"),
    ("def f(a) -> int x", "expected ':'"),
    ("def f(a) ->", "expected ':'"),
    ("async def f(a)", "expected ':'"),
    ("def f", "expected '('"),
    ("def f: pass", "expected '('"),
    # `=` for `==`, and targets that cannot be assigned to
    ("if x = 1: pass", "Maybe you meant '==' or ':=' instead of '='?"),
    ("while x = y: pass", "Maybe you meant '==' or ':=' instead of '='?"),
    ("if x.y = 2: pass", "cannot assign to attribute here"),
    ("if f() = 2: pass", "cannot assign to function call here"),
    ("1 = x", "cannot assign to literal here"),
    ("'a' = x", "cannot assign to literal here"),
    ("f() = x", "cannot assign to function call here"),
    ("x + 1 = 2", "cannot assign to expression here"),
    ("a, 1 = x", "cannot assign to literal here"),
    ("1, x = 2 3", "Maybe you meant '==' or ':=' instead of '='?"),
    ("True = 1", "cannot assign to True"),
    ("None = f(x)", "cannot assign to None"),
    ("x == 1 = 2", "cannot assign to comparison"),
    ("[a, f()] = x", "cannot assign to function call"),
    ("x = y = 1 = z", "cannot assign to literal"),
    ("f() += 1", "illegal expression for augmented assignment"),
    ("(a, b) += 1", "illegal expression for augmented assignment"),
    ("del f()", "cannot delete function call"),
    ("del a, 1", "cannot delete literal"),
    ("del *a", "cannot delete starred"),
    # missing commas, and other expressions
    ("f(a b)", "Perhaps you forgot a comma?"),
    ("x = [1, 2 3, 4]", "Perhaps you forgot a comma?"),
    ("x = {a: 1 2}", "Perhaps you forgot a comma?"),
    ("x[1:2 3]", "Perhaps you forgot a comma?"),
    ("class A(B C): pass", "Perhaps you forgot a comma?"),
    ("def f(a=1 2): pass", "Perhaps you forgot a comma?"),
    ("x = (yield a b)", "Perhaps you forgot a comma?"),
    ("x = {a: 1, b}", "':' expected after dictionary key"),
    ("x = {a: 1, b: }", "expression expected after dictionary key and ':'"),
    ("x = {a: *b}", "cannot use a starred expression in a dictionary value"),
    ("x = a if b", "expected 'else' after 'if' expression"),
    ("f(x if y)", "expected 'else' after 'if' expression"),
    ("print x", "Missing parentheses in call to 'print'"),
    ("print 'a', b", "Missing parentheses in call to 'print'"),
    ("print x +", "Missing parentheses in call to 'print'"),
    ("exec code", "Missing parentheses in call to 'exec'"),
    ("f(x=1, y)", "positional argument follows keyword argument"),
    ("f(**k, y)", "positional argument follows keyword argument unpacking"),
    ("f(**k, *a)", "iterable argument unpacking follows keyword argument unpacking"),
    ("def f(a=1, b): pass", "default"),
    ("x = lambda a=1, b: 0", "default"),
    ("from m import a, b,", "trailing comma not allowed without surrounding parentheses"),
    # characters that cannot be in a name, nor anything else
    ("x = 1 \u20ac 2", "invalid character '\u20ac' (U+20AC)"),
    ("a\u20acb = 3", "invalid character '\u20ac' (U+20AC)"),
    ("x = (1 \u20ac 2", "invalid character '\u20ac' (U+20AC)"),
    ("x = 1\u00a0+ 2", "invalid non-printable character U+00A0"),
]

# Lines the interpreter says no more about.
PLAIN = ["x = 1 2", "x.y = a b", "a b c", "return a b", "import a b", "from m import (a b)",
         "def f(a b): pass", "f(lambda x y: 1)", "[x for x in a b]", "f(a) b", "x = a if b else",
         "for x in y pass", "class A pass", "if x y: pass", "f(a 'b')", "x = $", "x = 1 +",
         "lambda: yield", "@dec: pass",
         # an error before the end, in a line left inside brackets
         "def f(a x) -> ("]


@pytest.mark.parametrize("text,part", MISTAKES)
def test_mistakes_get_the_interpreters_message(text: str, part: str) -> None:
    ref, nat = messages(text)
    assert ref is not None and part in ref
    assert nat == ref


@pytest.mark.parametrize("text", PLAIN)
def test_other_failures_are_invalid_syntax(text: str) -> None:
    assert messages(text) == ("invalid syntax", "invalid syntax")


def test_lines_that_parse_are_unaffected_by_the_mistake_rules() -> None:
    # Each of these is one token away from a line above that fails.
    for text in ["if x == 1: pass", "x = (yield a, b)", "f(x=1, **y)", "def f(a, b=1): pass",
                 "print(x)", "x = a if b else c", "del a, b[1]", "x = {a: 1, **b}",
                 "from m import (a, b,)", "a, *b = x"]:
        ref, nat = messages(text)
        assert ref is None and nat is None, text


def test_no_leaks_on_the_message_paths() -> None:
    lines = [tokens_of(t) for t, _ in MISTAKES] + [tokens_of(t) for t in PLAIN]
    grammar = pysource_grammar.Grammar()
    transformer = pysource_grammar.Transformer({})

    def once() -> None:
        for toks in lines:
            with pytest.raises(SyntaxError):
                run(grammar, transformer, toks)

    for _ in range(20):
        once()
    gc.collect()
    watched = [toks[0] for toks in lines[:20]] + [None, True]
    counts = [sys.getrefcount(o) for o in watched]
    before = len(gc.get_objects())
    for _ in range(200):
        once()
    gc.collect()
    assert len(gc.get_objects()) - before < 20
    assert [abs(sys.getrefcount(o) - c) < 100 for o, c in zip(watched, counts)] == [True] * len(watched)
