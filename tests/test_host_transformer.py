"""The grammar and transformer: one logical line's tokens to an ``ast`` tree
to the analyzer's tuple-form tree.  Shapes of every statement form, and the
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


def tree(text, nonself=()):
    """Feed a line's tokens as the analyzer does and transform the result."""
    toks, *_ = scan_logical_lines(text)[0]
    parser = Grammar().CreateParser(257)
    fed = [t for t in toks if not t.startswith("#")]
    for t in fed:
        parser.AddToken(t)
    if fed and fed[-1].startswith(":"):
        parser.AddToken("pass")
    parser.AddToken("\n")
    return Transformer({}, set(nonself)).TransformNode(parser.Finish())


def verbatim(node):
    """The text of a verbatim node."""
    assert node[0] == "Const" and type(node[1]) is SourceText
    return node[1].text


@pytest.mark.parametrize("text, expected", [
    ("x = y", ("Assign", N("x"), N("y"))),
    ("a = b.c = v", [("Assign", N("a"), N("v")), ("Assign", ("Getattr", N("b"), "c"), N("v"))]),
    ("a, (b, c.d) = 1, 2", ("Assign", ("Tuple", [N("a"), ("Tuple", [N("b"), ("Getattr", N("c"), "d")])]),
                            ("Tuple", [C(1), C(2)]))),
    ("[a, *b] = v", [("Assign", ("Tuple", [N("a")]), N("v")), ("Assign", N("b"), ("List", []))]),
    ("x[0] = 1", ("Assign", ("Subscript", N("x"), "OP_APPLY", [C(0)]), C(1))),
    ("x += 1", ("AugAssign", ("Assign", ("Tuple", [N("x")]), C(1)), "+=")),
    ("x: int = 1", ("AnnAssign", ("Assign", N("x"), C(1)), C(SourceText("int")))),
    ("self.x: int", ("AnnAssign", ("Assign", ("Tuple", [("Getattr", N("self"), "x")]), NONE),
                     C(SourceText("int")))),
    ("for i, *j in x:", ("For", ("Tuple", [N("i")]), N("x"), [("Pass",), ("Assign", N("j"), ("List", []))],
                         [], 0)),
    ("async for i in x: pass", ("For", N("i"), N("x"), [("Pass",)], [], 1)),
    ("with a() as b, c:", ("With", [("Assign", ("Tuple", [N("b")]), ("CallFunc", N("a"), ())), N("c")],
                           [("Pass",)], 0)),
    ("return", ("Return", None)),
    ("return x", ("Return", N("x"))),
    ("if x: y = 1", ("If", N("x"), [("Assign", N("y"), C(1))], [])),
    ("while x:", ("While", N("x"), [("Pass",)], [])),
    ("x = 1; y = 2", [("Assign", N("x"), C(1)), ("Assign", N("y"), C(2))]),
    ("del a, b[0]", ("Del", [N("a"), ("Subscript", N("b"), "OP_APPLY", [C(0)])])),
    ("global a, b", ("Global", ["a", "b"])),
    ("nonlocal a", ("Nonlocal", ["a"])),
    ("raise E from e", ("Raise", N("E"), N("e"))),
    ("assert x, 'm'", ("Assert", N("x"), C("m"))),
    ("pass", ("Pass",)),
    ("f(x)", ("Expr", ("CallFunc", N("f"), (N("x"),)))),
    ("import a, b.c, d.e as f, g as g", ("Import", ("a", "b.c", ("d.e", "f"), "g"))),
    ("from m import *", ("From", "m", ("*",))),
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
    ("match x:", ("Match", N("x"), [])),
    ("case P(a=b) | [c, *d] if c:", ("Case", C(SourceText("P(a=b) | [c, *d]")),
                                     ("Assign", ("Tuple", [N("b"), N("c"), N("d")]), NONE), N("c"), [("Pass",)])),
])
def test_statement_shapes(text, expected):
    assert tree(text) == expected


def test_bindings_hidden_in_expressions():
    # `:=` binds where it stands, and in a comprehension in the enclosing
    # scope without a type; names of the comprehension itself bind nothing.
    node = tree("if (m := re.match(p, s)):")[1]
    assert verbatim(node) == "(m := re.match(p, s))"
    assert node[2] == ("Assign", N("m"), ("CallFunc", ("Getattr", N("re"), "match"), (N("p"), N("s"))))
    node = tree("r = [y := f(z) for z in w if isinstance(z, A)]")[2]
    assert node[2:] == (N("w"), ("Assign", ("Tuple", [N("y")]), NONE))
    # The body of a lambda is its own scope; its defaults are not.
    node = tree("g = lambda a, b=h(): isinstance(a, B)")[2]
    assert verbatim(node) == "lambda a, b=h(): isinstance(a, B)" and node[2:] == (("CallFunc", N("h"), ()),)


def test_static_and_class_methods_have_no_instance_parameter():
    for text, key, name in [("def s(x):", ("def", "s", "(", "x", ")", ":", "pass"), "x"),
                            ("def __new__(cls, *a):", None, "cls"), ("def f(*args):", None, "args"),
                            ("def f(*, k):", None, "k")]:
        first = tree(text, [key] if key else ())[2][0]
        assert type(first) is not str and first == name
    first = tree("def m(self, x):")[2][0]
    assert type(first) is str and first == "self"


def test_unparsable_lines_raise_syntax_error():
    for text in ["print x", "else:", "def f(:", "x = = 1", "case x"]:
        with pytest.raises(SyntaxError):
            tree(text)


def test_parsing_shows_no_compile_warnings(recwarn):
    mod = pysource.analyze_source("x = '\\s' + '\\d'\n")
    assert mod.lines[0].objs == ("x",) and not recwarn.list


def _normal(node):
    """An expression's dump with what source text can't keep evened out:
    contexts, string kinds, nested and/or operations."""
    for n in ast.walk(node):
        if hasattr(n, "ctx"):
            n.ctx = ast.Load()
        if isinstance(n, ast.Constant):
            n.kind = None
        if isinstance(n, ast.BoolOp):
            values = []
            for v in n.values:
                values.extend(v.values if isinstance(v, ast.BoolOp) and type(v.op) is type(n.op) else [v])
            n.values = values
    for n in ast.walk(node):
        if isinstance(n, ast.BoolOp) and any(isinstance(v, ast.BoolOp) and type(v.op) is type(n.op)
                                             for v in n.values):
            return _normal(node)
    return ast.dump(node)


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
    seen = {text: ast.parse(text, mode="eval").body for text in TRICKY}
    for name in ["argparse.py", "ast.py", "dataclasses.py", "typing.py", "enum.py", "inspect.py",
                 "asyncio/tasks.py", "json/encoder.py", "pathlib.py", "functools.py", "string.py"]:
        for node in ast.walk(ast.parse(pysource.read_source(os.path.join(stdlib, name)))):
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


def test_comparison_operators_keep_their_blanks():
    node = tree("x = a in b not in c is d is not e < f")[2]
    assert [op for op, _ in node[2]] == [" in ", " not in ", " is ", " is not ", "<"]


def test_names_hold_only_identifiers():
    """Verbatim text never hides in a Name node, which the analyzer would
    take for a dotted name."""
    stdlib = sysconfig.get_paths()["stdlib"]
    text = pysource.read_source(os.path.join(stdlib, "typing.py"))
    grammar, transformer = Grammar(), Transformer()
    stack = []
    for toks, *_ in scan_logical_lines(text):
        fed = [t for t in toks if not t.startswith("#")]
        if not fed or fed[0] in ("else", "elif", "except", "try", "finally"):
            continue
        parser = grammar.CreateParser(257)
        for t in fed + (["pass"] if fed[-1].startswith(":") else []):
            parser.AddToken(t)
        try:
            stack.append(transformer.TransformNode(parser.Finish()))
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
