"""The grammar and parser the analyzer uses to parse one logical line.

The analyzer asks the grammar for a parser with ``CreateParser(257)`` (the
whole-file start symbol), feeds it the line's tokens one by one with
``AddToken`` (comments left out, "pass" added after a trailing ":", then a
newline) and takes the parse tree from ``Finish``.

The parser joins the tokens with single blanks, which gives text that
tokenizes into the same tokens (every token is a whole token, so a blank can
only separate, never merge), and parses it with the interpreter's own parser,
the ``ast`` module.  The parse tree is the resulting ``ast.Module``; its body
holds the line's statements (one, or several for ``a = 1; b = 2``).

Lines that are not statements on their own parse too, where that is natural:

* a decorator line ``@expr`` gives a module whose body is the expression
  statement ``expr`` (it is parsed above a dummy function);
* ``match subject:`` gives a ``Match`` statement with no cases;
* ``case pattern [if guard]:`` gives a module whose body is the
  ``ast.match_case`` (parsed inside a dummy match statement).

Anything else that does not parse raises SyntaxError (the ``ast`` module may
also raise ValueError, for instance for a null character); the analyzer
tolerates both and counts the line as analysed with no facts.  Clause
headers (``else:``, ``elif x:``, ``except E as e:``, ``try:``,
``finally:``) are never handed to the parser by the analyzer.
"""

from __future__ import annotations

import ast
import warnings
from typing import Callable, Sequence

__all__ = ["Grammar", "Parser", "kFileInputIndex", "parse_tokens"]

kFileInputIndex = 257


def _parse(text: str) -> ast.Module:
    # The source being analysed is not being run: what it would warn about
    # when compiled (an invalid escape in a string, say) is not shown.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        return ast.parse(text)


def parse_tokens(tokens: Sequence[str]) -> ast.Module:
    """Parse a line's tokens (as the analyzer feeds them, without the final
    newline token) into an ``ast.Module``; SyntaxError when they don't form
    a statement."""
    text = " ".join(tokens)
    try:
        return _parse(text)
    except SyntaxError:
        first = tokens[0] if tokens else ""
        if first == "@":
            func = _parse(text + "\ndef _():\n pass\n").body[0]
            assert isinstance(func, ast.FunctionDef)
            tree = ast.Module(body=[ast.Expr(func.decorator_list[0])], type_ignores=[])
            # Syntax trees take any attribute; the transformer reads this one.
            tree.pysource_form = "decorator"  # type: ignore[attr-defined]
            return tree
        if first == "match" and _HAS_MATCH:
            if list(tokens[-2:]) == [":", "pass"]:
                # The analyzer completes a block opener with "pass"; a match
                # statement needs a case instead.
                text = " ".join(tokens[:-1])
            tree = _parse(text + "\n case _:\n  pass\n")
            match = tree.body[0]
            assert isinstance(match, ast.Match)
            match.cases = []
            return tree
        if first == "case" and _HAS_MATCH:
            match = _parse("match _:\n " + text + "\n").body[0]
            assert isinstance(match, ast.Match)
            # Not a statement: the analyzer's transformer takes a case as the
            # body of a module.
            return ast.Module(body=[match.cases[0]], type_ignores=[])  # type: ignore[list-item]
        raise


_HAS_MATCH = hasattr(ast, "Match")


class Parser:
    """A parser for one logical line: collects tokens, parses on Finish."""

    __slots__ = ("tokens", "AddToken")

    def __init__(self) -> None:
        self.tokens: list[str] = []
        self.AddToken: Callable[[str], None] = self.tokens.append

    def Finish(self) -> ast.Module:
        """Parse the collected tokens; returns an ``ast.Module``."""
        tokens = self.tokens
        # The analyzer ends the statement with a newline token; the parse
        # does not need it.
        if tokens and tokens[-1] == "\n":
            tokens = tokens[:-1]
        try:
            tree = parse_tokens(tokens)
        except (RecursionError, MemoryError):
            raise ValueError("line nests too deeply to be parsed") from None
        # Syntax trees take any attribute; the transformer reads this one.
        tree.pysource_tokens = tokens  # type: ignore[attr-defined]
        return tree


class Grammar:
    """The host grammar: ``CreateParser(start_symbol)`` gives a fresh
    parser.  Only the whole-file start symbol, 257, is known."""

    def CreateParser(self, symbol: int) -> Parser:
        if symbol != kFileInputIndex:
            raise ValueError("unknown start symbol %r" % (symbol,))
        return Parser()
