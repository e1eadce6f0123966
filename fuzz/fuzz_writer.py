"""Fuzzes the expression writer on random trees, through the analyzer.

The input chooses a tree of expression nodes of every kind the writer
knows (now and then one of the wrong shape: an unknown kind, a wrong item
count, a sequence that is not a tuple or list, a bad operand pair or
comparison pair, a name that is not a string).  A stand-in transformer
hands the analyzer a class line whose bases are those trees, so the writer
runs on each base.  The texts recorded must be what the rules of the
writer give (worked out here independently), and a tree of the wrong shape
must give the matching error, never a crash.

    python fuzz/fuzz_writer.py -max_total_time=60
"""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

import fuzzing
import logicalline
import pysource_impl

BINARY = {"Power": "**", "Bitor": "|", "Bitxor": "^", "Bitand": "&", "And": " and ", "Or": " or ",
          "Add": "+", "Sub": "-", "Div": "/", "Mul": "*", "LeftShift": "<<", "RigthShift": ">>",
          "Mod": "%"}
UNARY = {"UnarySub": "-", "UnaryAdd": "+", "Invert": "~", "Not": "not "}
NAMES = ["a", "self", "x1", "_", "\u00e9t\u00e9", "\u4e2d", "n" * 150, "a\0b", "Foo"]
OPS = ["<", " is not ", " in ", "==", ">=", "", "a\0b"]
CONSTS: list[object] = [0, -1, 1.5, "s", "it's", "\0", b"b\xff", None, True, 10**30, (1, "x"), ...]
KINDS = ["Name", "Ellipsis", "Getattr", "Tuple", "List", "Dict", *BINARY, *UNARY, "CallFunc",
         "Const", "Backquote", "Keyword", "Compare", "Lambda", "Subscript", "Sliceobj"]
MAX_DEPTH = 5


class Refused(Exception):
    """The writer must refuse the tree with one of `errors`."""

    def __init__(self, *errors: type[BaseException]) -> None:
        super().__init__(errors)
        self.errors = errors


class NoText(Refused):
    """A string in the tree has no UTF-8 form (a lone surrogate), so the
    expression has no text: the writer may refuse it (UnicodeEncodeError) or
    record nothing for it and go on."""

    def __init__(self) -> None:
        super().__init__(UnicodeEncodeError)


def unknown() -> Refused:
    return Refused(ValueError)


def not_a_sequence() -> Refused:
    # An internal misuse; TypeError says so more clearly and is as good.
    return Refused(SystemError, TypeError)


# -- making trees ------------------------------------------------------------

def _seq(pick: fuzzing.Choices, depth: int, count: int) -> Any:
    items = [tree(pick, depth + 1) for _ in range(count)]
    if pick.chance(40):
        return {"not": "a sequence"} if pick.chance(2) else None
    return tuple(items) if pick.chance(2) else items


def _name(pick: fuzzing.Choices) -> Any:
    if pick.chance(60):
        return pick.pick(["\ud800", "x"]) if pick.chance(2) else 7
    return pick.pick(NAMES)


def tree(pick: fuzzing.Choices, depth: int = 0) -> Any:
    """A random expression tree; about one node in 80 has a wrong shape."""
    kind = pick.pick(KINDS) if depth < MAX_DEPTH else "Name"

    def sub() -> Any:
        return tree(pick, depth + 1)

    node: tuple[Any, ...]
    if kind == "Name":
        node = (kind, pick.pick(NAMES))
    elif kind in ("Ellipsis", "Dict"):
        node = (kind, None) if kind == "Ellipsis" else (kind, ((sub(), sub()),))
    elif kind == "Getattr":
        node = (kind, sub(), _name(pick))
    elif kind in ("Tuple", "List"):
        node = (kind, _seq(pick, depth, pick.below(4)))
    elif kind in BINARY:
        operands = tuple(sub() for _ in range(2 + pick.below(2)))
        if pick.chance(30):
            operands = operands[:1] if pick.chance(2) else list(operands)  # type: ignore[assignment]
        node = (kind, operands)
    elif kind in UNARY or kind == "Backquote":
        node = (kind, sub())
    elif kind == "CallFunc":
        node = (kind, sub(), _seq(pick, depth, pick.below(4)))
    elif kind == "Const":
        node = (kind, CONSTS[pick.below(len(CONSTS))])
    elif kind == "Keyword":
        node = (kind, ("Name", pick.pick(NAMES)), sub())
    elif kind == "Compare":
        pairs: list[Any] = [(pick.pick(OPS) if not pick.chance(40) else 3, sub())
                            for _ in range(pick.below(3))]
        if pairs and pick.chance(30):
            pairs[0] = pairs[0] + (None,)
        node = (kind, sub(), tuple(pairs) if pick.chance(2) else pairs)
    elif kind == "Lambda":
        names = [_name(pick) for _ in range(pick.below(3))]
        node = (kind, tuple(names) if not pick.chance(40) else "ab", (), 0, sub())
    elif kind == "Subscript":
        node = (kind, sub(), "OP_APPLY", _seq(pick, depth, 1 + pick.below(2)))
    else:  # Sliceobj
        parts = tuple(sub() if pick.chance(2) else None for _ in range(2 + pick.below(2)))
        node = (kind, parts)
    if pick.chance(80):
        node = _misshape(pick, node)
    return node


def _misshape(pick: fuzzing.Choices, node: tuple[Any, ...]) -> Any:
    how = pick.below(6)
    if how == 0:
        return node + (None,)
    if how == 1:
        return node[:-1]
    if how == 2:
        return list(node)
    if how == 3:
        return (node[0] + "s",) + node[1:]
    if how == 4:
        return (5,) + node[1:]
    return (node[0], node[1] if pick.chance(2) else (node[1],))


# -- the writer's rules, independently -----------------------------------------

def _text(s: str) -> str:
    """A string as the writer's buffer takes it: up to its first NUL, and
    only if it can be encoded."""
    try:
        s.encode("utf-8")
    except UnicodeEncodeError:
        raise NoText() from None
    return s.split("\0", 1)[0]


def _string(s: Any) -> str:
    if type(s) is not str:
        raise Refused(TypeError)
    return _text(s)


def _items(seq: Any) -> list[Any]:
    if type(seq) not in (tuple, list):
        raise not_a_sequence()
    return list(seq)


def expected(node: Any) -> str:
    """The text the writer gives for `node`, or raises `Refused`."""
    if type(node) is not tuple or len(node) < 2 or type(node[0]) is not str:
        raise unknown()
    kind, n = node[0], len(node)
    if kind == "Name":
        if type(node[1]) is not str:
            raise unknown()
        return _text(node[1])
    if kind == "Ellipsis":
        return "..."
    if kind == "Getattr":
        if n != 3:
            raise unknown()
        if type(node[2]) is not str:
            # Whether the attribute is looked at before or after the object
            # is written is the writer's business: either error will do.
            try:
                expected(node[1])
            except Refused as e:
                raise Refused(ValueError, *e.errors) from None
            raise unknown()
        return expected(node[1]) + "." + _text(node[2])
    if kind in ("Tuple", "List"):
        if n != 2:
            raise unknown()
        items = _items(node[1])
        body = ", ".join(expected(x) for x in items)
        if kind == "List":
            return "[" + body + "]"
        return "(" + body + (",)" if len(items) == 1 else ")")
    if kind == "Dict":
        return "{}"
    if kind in BINARY:
        pair = node[1]
        if type(pair) is not tuple or len(pair) < 2:
            raise Refused(ValueError)
        return "(" + expected(pair[0]) + BINARY[kind] + expected(pair[1]) + ")"
    if kind in UNARY:
        return UNARY[kind] + "(" + expected(node[1]) + ")"
    if kind == "CallFunc":
        if n != 3:
            raise unknown()
        return expected(node[1]) + "(" + ", ".join(expected(x) for x in _items(node[2])) + ")"
    if kind == "Const":
        return _text(repr(node[1]))
    if kind == "Backquote":
        return "`" + expected(node[1]) + "`"
    if kind == "Keyword":
        if n < 3:
            raise unknown()
        return expected(node[1]) + " = " + expected(node[2])
    if kind == "Compare":
        if n < 3:
            raise unknown()
        out = expected(node[1])
        for pair in _items(node[2]):
            if type(pair) is not tuple or len(pair) != 2:
                raise Refused(ValueError)
            out += _string(pair[0]) + expected(pair[1])
        return out
    if kind == "Lambda":
        if n < 5:
            raise unknown()
        names = ", ".join(_string(x) for x in _items(node[1]))
        return "lambda " + names + ": " + expected(node[4])
    if kind == "Subscript":
        if n < 4:
            raise unknown()
        return expected(node[1]) + "[" + ", ".join(expected(x) for x in _items(node[3])) + "]"
    if kind == "Sliceobj":
        if n != 2 or type(node[1]) is not tuple or len(node[1]) not in (2, 3):
            raise unknown()
        parts = ["" if p is None else expected(p) for p in node[1]]
        return ":".join(parts)
    raise unknown()


def expected_base(node: Any) -> Any:
    """A whole base expression: a Name node is recorded as its own item."""
    if type(node) is tuple and len(node) >= 2 and node[0] == "Name":
        return node[1]
    return expected(node)


# -- the host objects the analyzer calls, as little of them as it needs ----------

class _Parser:
    def AddToken(self, token: str) -> None:
        pass

    def Finish(self) -> tuple[()]:
        return ()


class _Grammar:
    def CreateParser(self, symbol: int) -> _Parser:
        return _Parser()


class _Transformer:
    """Hands the analyzer the class line's tree, whatever it parsed."""

    def __init__(self, bases: tuple[Any, ...]) -> None:
        self.bases = bases

    def TransformNode(self, parse_tree: object) -> tuple[Any, ...]:
        return ("Class", "C", self.bases)


class _Factory:
    def FindAnalysisByName(self, name: str, package_dir: str | None) -> None:
        return None


class _Ref:
    """Attribute references: none are asked for here."""

    def __init__(self, *args: object) -> None:
        self.args = args


class _Module:
    fLocalName = "fuzzed"
    fPackageDir: str | None = None

    def __init__(self) -> None:
        self.fAnalysisFactory = _Factory()

    def UpdateFromCache(self) -> None:
        pass

    def _FromFutureFlagsChanged(self) -> None:
        pass

    def Freeze(self) -> None:
        pass

    def Thaw(self) -> None:
        pass

    def IsFrozen(self) -> bool:
        return False

    def GetScopeAttributes(self, scope: str, exported_only: int, dotted_names: int) -> list[Any]:
        return []


def written(bases: tuple[Any, ...]) -> tuple[list[Any], BaseException | None]:
    """The base texts the analyzer records for a class line whose bases are
    `bases`, and the error it raised, if any."""
    impl = pysource_impl.CreatePySourceImpl(_Module(), _Grammar(), _Transformer(bases), {}, _Ref,
                                            logicalline)
    try:
        line = logicalline.LogicalLine(["class", "C", ":"], first_line=1, indent=0,
                                       type=logicalline.kClassDefIndex)
        impl.SetLogicalList([line])
        try:
            impl.AnalyzeLogical(line)
        except Exception as e:  # the caller compares it with what was expected
            return list(line.objs), e
        return list(line.objs), None
    finally:
        impl.destroy()


# -- the check -----------------------------------------------------------------

class Answer:
    """What the rules allow the analyzer to record: the bases written with
    their texts, and the refusal that ends the line, if any."""

    def __init__(self) -> None:
        self.bases: list[Any] = []
        self.texts: list[Any] = []
        self.refused: Refused | None = None

    def matches(self, got: list[Any], error: BaseException | None) -> bool:
        if self.refused is None:
            return error is None and got == self.texts
        return isinstance(error, self.refused.errors) and got == self.texts


def expectations(bases: tuple[Any, ...]) -> list[Answer]:
    """One answer, or two when a base has no text: the writer may refuse it
    or record nothing for it and go on."""
    outcomes: list[Any] = []
    for base in bases:
        try:
            outcomes.append(expected_base(base))
        except Refused as e:
            outcomes.append(e)
            if type(e) is not NoText:
                break
    answers = []
    for skip_no_text in (False, True):
        answer = Answer()
        for base, outcome in zip(bases, outcomes):
            if type(outcome) is NoText and skip_no_text:
                continue
            if isinstance(outcome, Refused):
                answer.refused = outcome
                break
            answer.bases.append(base)
            answer.texts.append(outcome)
        answers.append(answer)
    return answers if any(type(o) is NoText for o in outcomes) else answers[:1]


def check(data: bytes) -> None:
    pick = fuzzing.Choices(data)
    bases = tuple(tree(pick) for _ in range(1 + pick.below(3)))
    answers = expectations(bases)
    # A tree the writer does not know is shown on standard error; keep the
    # fuzzer's output readable.
    saved = os.dup(2) if answers[0].refused is not None else -1
    if saved >= 0:
        quiet = os.open(os.devnull, os.O_WRONLY)
        os.dup2(quiet, 2)
        os.close(quiet)
    try:
        got, error = written(bases)
    finally:
        if saved >= 0:
            os.dup2(saved, 2)
            os.close(saved)
    answer = next((a for a in answers if a.matches(got, error)), None)
    assert answer is not None, (bases, got, error, [(a.texts, a.refused) for a in answers])
    pooled: list[Any] = []
    for base, text in zip(answer.bases, got):
        if type(base) is tuple and base[0] == "Name":
            assert text is base[1]
        else:
            # the writer's texts come from the name pool
            assert text not in pooled or any(text is other for other in pooled), text
            pooled.append(text)


def seeds() -> Iterator[bytes]:
    for n in range(64):
        yield bytes((n * 37 + k * 11) % 256 for k in range(64 + n))


def main() -> None:
    fuzzing.run("writer", check, seeds)


if __name__ == "__main__":
    main()
