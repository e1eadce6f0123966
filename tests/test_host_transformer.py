"""The grammar and transformer: one logical line's tokens to an ``ast`` tree
to the analyzer's tuple-form tree.  Shapes of the statement forms, and the
expression text the analyzer writes back from the trees (checked through
the analyzer itself on the expressions of part of the standard library)."""

import ast
import os
import sysconfig

import pytest

import pysource
from pysource.grammar import Grammar
from pysource.splitter import scan_logical_lines
from pysource.transformer import SourceText, Transformer

N = lambda n: ("Name", n)  # noqa: E731
C = lambda v: ("Const", v)  # noqa: E731
NONE = C(None)


def transform(grammar, transformer, toks):
    """Feed a line's tokens as the analyzer does and transform the result."""
    parser = grammar.CreateParser(257)
    fed = [t for t in toks if not t.startswith("#")]
    for t in fed + (["pass"] if fed and fed[-1].startswith(":") else []) + ["\n"]:
        parser.AddToken(t)
    return transformer.TransformNode(parser.Finish())


def tree(text):
    return transform(Grammar(), Transformer(), scan_logical_lines(text)[0][0])


@pytest.mark.parametrize("text, expected", [
    ("a = b.c = v", [("Assign", N("a"), N("v")), ("Assign", ("Getattr", N("b"), "c"), N("v"))]),
    ("for i, *j in x:", ("For", ("Tuple", [N("i")]), N("x"), [("Pass",), ("Assign", N("j"), ("List", []))],
                         [], 0)),
    ("async for i in x: pass", ("For", N("i"), N("x"), [("Pass",)], [], 1)),
    ("return", ("Return", None)),
    ("if x: y = 1", ("If", N("x"), [("Assign", N("y"), C(1))], [])),
    ("del a, b[0]", ("Del", [N("a"), ("Subscript", N("b"), "OP_APPLY", [C(0)])])),
    ("f(x)", ("Expr", ("CallFunc", N("f"), (N("x"),)))),
    ("import a, b.c, d.e as f, g as g", ("Import", ("a", "b.c", ("d.e", "f"), "g"))),
    ("from ..p.q import a, b", ("From", "..p.q", ("a", "b"))),
    ("from m import a as b, c, d as d", [("Import", (("m.a", "b"),)), ("From", "m", ("c", "d"))]),
    ("from . import a as b", ("Import", (("/.a", "b"),))),
    ("from .p.q import a as b", ("Import", (("/p/q.a", "b"),))),
    ("def f(a, /, b=1, *c, d, e=2, **g):", ("Function", "f", ("a", "b", "c", "d", "e", "g"), [C(1), C(2)],
                                            0x0C, [("Pass",)])),
    ("async def f(): return 1", ("Function", "f", (), [], 0x80, [("Return", C(1))])),
    ("class A(B, m.C, metaclass=M, *bs):", ("Class", "A", (N("B"), ("Getattr", N("m"), "C")),
                                            [("Keyword", N("metaclass"), N("M"))], [("Pass",)])),
    ("@dec.x(1)", ("Decorator", ("CallFunc", ("Getattr", N("dec"), "x"), (C(1),)))),
    ("case P(a=b) | [c, *d] if c:", ("Case", C(SourceText("P(a=b) | [c, *d]")),
                                     ("Assign", ("Tuple", [N("b"), N("c"), N("d")]), NONE), N("c"), [("Pass",)])),
])
def test_statement_shapes(text, expected):
    assert tree(text) == expected


def test_unparsable_lines_raise_syntax_error():
    for text in ["print x", "else:", "def f(:", "x = = 1", "case x"]:
        with pytest.raises(SyntaxError):
            tree(text)


def test_parsing_shows_no_compile_warnings(recwarn):
    mod = pysource.analyze_source("x = '\\s' + '\\d'\n")
    assert mod.lines[0].objs == ("x",) and not recwarn.list


class _Normal(ast.NodeTransformer):
    """Evens out what source text can't keep: contexts, string kinds, nested
    and/or operations."""

    def generic_visit(self, n):
        super().generic_visit(n)
        if hasattr(n, "ctx"):
            n.ctx = ast.Load()
        if isinstance(n, ast.Constant):
            n.kind = None
        if isinstance(n, ast.BoolOp):
            same = lambda v: isinstance(v, ast.BoolOp) and type(v.op) is type(n.op)  # noqa: E731
            n.values = [w for v in n.values for w in (v.values if same(v) else [v])]
        return n


def _normal(node):
    return ast.dump(_Normal().visit(node))


TRICKY = [
    "(-x) ** 2", "-2 ** -3", "(not a) + 1", "not not a", "(a < b) < c", "a < b == c is not d not in e",
    "a is not (b is c)", "(lambda: 0)()", "(x if c else y).attr", "x if y else z if w else v",
    "a if b else (lambda: c)", "f(k=lambda: 0)", "1 .real", "a[1:2,]", "a[()]", "a[1,]", "a[*b]",
    "x[a:b:c, ::2]", "f(*a or b, **k)", "{**a, 'b': 1}", "{1, *s}", "[*a, *b]", "(*a, b)", "x @ y // z",
    "~a.b", "a and b or c and not d", "f'{a!r:>{w}}'", "1e400", "1e400j", "b'x' + u'y'", "(yield)",
    "await x ** 2", "(a := 1) + 2", "...", "f(...)[...]", "a.b(c).d[e](f)", "'%s' % (a,)",
    "[x for x in y if x][0]", "(x for x in y).send", "lambda *a, **k: 0", "{'a': {'b': 1}}['a']",
]


def _sample_expressions(limit=4000):
    stdlib = sysconfig.get_paths()["stdlib"]
    seen = {}
    for text in TRICKY:
        try:  # some forms are newer than the running interpreter (a[*b] is 3.11)
            seen[text] = ast.parse(text, mode="eval").body
        except SyntaxError:
            pass
    for name in ["argparse.py", "ast.py", "dataclasses.py", "typing.py", "enum.py", "inspect.py",
                 "asyncio/tasks.py", "json/encoder.py", "pathlib.py", "functools.py", "string.py"]:
        path = os.path.join(stdlib, name)
        if not os.path.isfile(path):  # pathlib.py became a package in 3.13
            continue
        for node in ast.walk(ast.parse(pysource.read_source(path))):
            if isinstance(node, ast.expr) and not isinstance(node, (ast.Starred, ast.Slice, ast.FormattedValue)):
                text = ast.unparse(node)
                if "\n" not in text and len(text) < 300:
                    seen.setdefault(text, node)
    return list(seen.items())[:limit]


def test_written_expressions_are_their_source(capfd):
    """Every expression is writable, and the text the analyzer writes for it
    is Python source for the same expression."""
    sample = _sample_expressions()
    assert len(sample) > 2000
    source = "".join("isinstance(%s, int)\n" % text for text, _ in sample)
    mod = pysource.Project(search_path=[]).analyze_source(source)
    written = [line.type_equivs for line in mod.lines]
    mod.close()
    for (text, node), pairs in zip(sample, written):
        # The outer call's pair comes first; calls inside follow.
        assert len(pairs) >= 1 and pairs[0][1] == "int:", text
        assert _normal(ast.parse(pairs[0][0], mode="eval").body) == _normal(node), (text, pairs[0][0])
    assert capfd.readouterr().err == ""


def test_names_hold_only_identifiers():
    """Verbatim text never hides in a Name node, which the analyzer would
    take for a dotted name."""
    stdlib = sysconfig.get_paths()["stdlib"]
    text = pysource.read_source(os.path.join(stdlib, "typing.py"))
    grammar, transformer = Grammar(), Transformer()
    stack = []
    for toks, *_ in scan_logical_lines(text):
        if toks and toks[0][0] != "#" and toks[0] not in ("else", "elif", "except", "try", "finally"):
            try:
                stack.append(transform(grammar, transformer, toks))
            except SyntaxError:
                pass
    count = 0
    while stack:
        node = stack.pop()
        if type(node) in (tuple, list):
            if type(node) is tuple and node and node[0] == "Name":
                assert node[1].isidentifier(), node
                count += 1
            stack.extend(node)
    assert count > 1000
