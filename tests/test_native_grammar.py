"""The native line grammar and transformer (`pysource_grammar`) against the
Python host's (`pysource.Grammar`, `pysource.Transformer`): the same tree
for every line, the same errors, the same facts through the analyzer."""

from __future__ import annotations

import gc
import glob
import os
import random
import subprocess
import sys
from typing import Any

import pytest

import pysource
from pysource import analysis
from pysource.grammar import Grammar
from pysource.splitter import scan_logical_lines
from pysource.transformer import ArgName, SourceText, Transformer

pysource_grammar = pytest.importorskip("pysource_grammar")

from native_grammar_diff import (SHAPES, both, differences, fed, generated_differences, line_tokens, run,
                                 stdlib_files)


def tokens_of(text: str) -> list[str]:
    return fed(scan_logical_lines(text)[0][0])


# Every form of the representation tables, and the expression forms the
# writer and the verbatim texts must get right.
FORMS = """
t = v
a = b = v
a = b = isinstance(x, T)
a = b.c = (m := f())
for t in v: pass
async for i, (j, *k) in items(): pass
return v
return
return *a, b
def f(a, /, b=1, *c, d, e=2, **g): pass
async def f(*, k=f(1)) -> int: pass
def __new__(cls): pass
def f[T: int, *Ts, **P](x: T) -> T: pass
class A(B, m.C, *rest, metaclass=M, **kw): pass
class A[T]: pass
class A: x = 1
import a, b.c, d.e as f, g as g, h.i as h.i
from m import a, b
from ..p import a as b, c, d as e
from .a.b import x as y
from m import *
from . import (a, b,)
x += v
x //= v
x: T = v
x: T
(x): int
a.b: int = 1
with a as b, c: pass
with (a as b, c as (d, *e)): pass
with (a, b) as c: pass
async with a: pass
if t: x = 1; y = 2
while t: pass
f(x)
@dec
@dec.x(1)
@(lambda f: f)
del a, b[0], (c.d, [e])
global a, b
nonlocal a
raise e from c
raise
assert t, m
pass
break
continue
match s:
match a, *b:
case Point(x=a) | [a, *rest] if a > 1:
case {"k": v, 1: w, **kw}:
case -1 | 1 + 2j | None | True | "s" "t" | a.b.c:
case (a as b) | (c, d):
case [*_, _]: return 1
case str() as s:
type X = list[int]
type X[T] = dict[str, T] | None
x = a // b * c ** -d
x = (a // b) * c
x = (-x) ** 2
x = -x ** 2
x = (x if c else y).attr
x = not a == b
x = (not a) < b
x = a and b or not c and d
x = a or b or c
x = a < b < c is not d not in e
x = a + (b < c)
x = [1, *a], (1, *a), {1, *a}, {*()}
x = {}
x = {1: 2, **k}
f({1: 2}, {}, x={3: 4})
x = [y for y in z if y], {y for y in z}, {k: v for k, v in z}, (y for y in z)
x = [q := f(z) for z in w if (r := z)]
x = [lambda: (q := 1) for z in w]
f(y for y in z)
x = lambda: 1
x = lambda a, /, b=1, *c, d=f(2), **e: a + b
x = lambda *, k: k
x = (yield)
x = yield a, b
x = yield from a
x = await y
x = (1).real, 1.5.real, True.real, "s".join
x = a[1], a[1:2], a[::3], a[1:2, 3], a[()], a[1:2,], a[1,], a[*b], a[b, *c]
x = a[x:=1]
x = a[(x := 1):2]
x = f(*a, *b.c, **d, e=1)
x = "a" 'b' r"\\d" u"x" "\\N{BULLET}" "\\x41\\101\\u0041\\U00000041"
x = 'it''s', "q\\"q", '''tri\nple''', "\\t\\n"
x = b"\\x00\\n" rb"\\d" b'a' b"b"
x = u"a" "b"
x = 1e400, -1e400, 2j, 1e400j, 0x1F, 0o17, 0b11, 1_000, 1.5, 1e-5, 10**100
x = ...
x = a if b else c if d else e
x = (a if b else c) if d else e
x = a, b
x = (a, b),
x = ()
x = -1, +a, ~b, not c, - - a
x = a @ b
x = (a.b)(c)[d]
x = f(a)(b)
print(*a, sep="")
x = a is b, a in b, a != b
x = {**a, "b": 1}
x = (a := 1, b := 2)
x = [x := 1, 2]
if (m := re.match(p, s)): pass
x = [(yield)]
x = f((yield))
x = (a for b in c for d in e if f if g)
x = [a async for a in b]
x = a.b.c(d).e
x = -(1j)
x = 1 if True else 2
x = 'a' if "'" else '"'
x = "'\\""
x = "\\u00e9\\xe9é"
x = "\\r\\n\\x7f\\x80"
x = "a\\
b"
x = 1 ;
x = f(**{'a': 1})
ﬁle = π = f"{π:.2f} {ﬁle} {tenπ=:.2f}"
def f(α, β=1): pass
import модуль
x = f"{a!r}" f'{b["k"]:>{w}}' "\\n" f"{x=}" f"{y = !s:^9}" f"{'s'}" rf"\\d{z}"
x = f"{x:\\n}" + f"{ {1: 2} }" + f"{(lambda: 1)()}" + f"{x,}"
"""


@pytest.mark.parametrize("text", [t for t in FORMS.strip("\n").split("\n")])
def test_form_trees_equal_the_reference(text: str) -> None:
    toks = tokens_of(text.replace("\\n", "\n") if "'''" in text else text)
    ref, nat = both(toks)
    if isinstance(ref, str) and not isinstance(nat, str):
        # Syntax newer than the running interpreter: the native grammar
        # takes every Python from 3.8 on.
        assert any(t in toks for t in ("type", "[", "*")), (toks, nat)
        return
    assert nat == ref


@pytest.mark.parametrize("text", [
    "x = ", "f(a=1, b)", "f(**k, *a)", "f(x for x in y, 1)", "del *a", "del f()", "[a]: int",
    "a, b: int", "def f(a=1, b): pass", "def f(*): pass", "lambda *: 1", "print 'x'",
    "True = 1", "f() = 1", "a + 1 = 2", "not x = 1", "[x for x in y] = 1", "from a import b,",
    "x := 1", "f(a=b:=1)", "x = 'a' b'b'", "for f() in z: pass", "with a as f(): pass",
    "a = b += c", "if x: pass; else: pass", "x = [a for a in b if c else d]", "x = await",
    "x = yield from", "def f(a, (b, c)): pass", "x = a <> b", ";", "x = 1 ; ;",
    "from a import *, b", "import *", "x = [yield]", "x = a if b", "lambda: yield", "global",
    "(a, b) += 1", "(*a)", "case *a: pass", "f(*a for a in b)", "x = [*a for a in b]",
    "def f(a, *, **k): pass", "def f(a, /, /): pass", "def f(/, a): pass", "x = $", "x = 'abc",
    "else: pass", "try: pass", "x = (yield) = 1", "x = 1 if 2 else *a", "import a as b.c",
    "x = '\\x4'", "x = b'é'", "€ = 1", "x = a€", "x = f'{}'", "x = f'{a!x}'", "x = f'}'", "x = 0777", "match x: y", "@dec: pass",
])
def test_non_statements_raise_syntax_error(text: str) -> None:
    ref, nat = both(tokens_of(text))
    assert ref == "SyntaxError"
    assert nat == "SyntaxError"


def test_host_types_pool_and_empty_lines() -> None:
    pool: dict[str, str] = {}
    tree = run(pysource_grammar.Grammar(), pysource_grammar.Transformer(pool),
               tokens_of("class A(B): x = y // z"))
    assert type(tree[4][0][2][1]) is SourceText
    assert str(tree[4][0][2][1]) == "y // z"
    name = tree[1]
    assert pool["A"] is name
    def_line = tokens_of("def s(x): pass")
    nonself = {tuple(def_line)}
    tree = run(pysource_grammar.Grammar(), pysource_grammar.Transformer({}, nonself), def_line)
    assert type(tree[2][0]) is ArgName
    tree = run(pysource_grammar.Grammar(), pysource_grammar.Transformer(), def_line)
    assert type(tree[2][0]) is str
    assert run(pysource_grammar.Grammar(), pysource_grammar.Transformer(), []) == []
    with pytest.raises(ValueError):
        pysource_grammar.Grammar().CreateParser(256)
    with pytest.raises(TypeError):
        pysource_grammar.Grammar().CreateParser(257).AddToken(1)


NATIVE = (pysource_grammar.Grammar(), pysource_grammar.Transformer())


@pytest.mark.parametrize("literal", [
    r"'a'", r'"a"', "'''a\nb'''", r"'\n\t\\\''", r"r'\d\n'", r"'\x41\101\u00e9\U0001F600'",
    r"'\N{BULLET}\N{LATIN SMALL LETTER A}'", r"'\777'", r"'\d\q'", r"'é\é'", r"'\ud800'",
    r"'a' 'b' r'\c'", r"u'x'", r"b'\x00\n\777\d'", r"rb'\x00'", r"b'a' rb'b'", "'a\\\nb'",
    "'''a\r\nb'''", "0", "00", "7", "1_000", "0x_1F", "0o17", "0b1_0", "1.5", ".5", "5.", "1e5",
    "1E-5", "1_0.0_1e+1_0", "2j", "1.5J", "1e400", "10" * 40, "True", "None", "...",
])
def test_literal_values_are_what_python_evaluates(literal: str) -> None:
    import ast
    import warnings
    tree = run(*NATIVE, tokens_of("x = " + literal))
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")   # the invalid escapes are on purpose
        value = ast.literal_eval(literal)
    const = tree[2]
    if value is Ellipsis:
        assert const == ("Ellipsis", "...")
    elif value in (float("inf"), complex(0, float("inf"))):
        assert type(const[1]) is SourceText     # written as a verbatim literal
    else:
        assert const == ("Const", value) and type(const[1]) is type(value)


def test_interface_and_host_trees() -> None:
    with pytest.raises(TypeError):
        pysource_grammar.Transformer(pool=[])
    with pytest.raises(TypeError):
        pysource_grammar.Transformer({}, nonself_defs=[])
    native = pysource_grammar.Transformer({})
    parser = pysource_grammar.Grammar().CreateParser(257)
    for t in tokens_of("a = b.c(d)") + ["\n"]:
        parser.AddToken(t)
    first, again = parser.Finish(), parser.Finish()
    assert native.TransformNode(first) == native.TransformNode(again)
    assert "parse of" in repr(first)
    # Trees of the host grammar go to the host transformer.
    host_tree = run(Grammar(), pysource_grammar.Transformer({}), tokens_of("a = b.c(d)"))
    assert host_tree == run(Grammar(), Transformer({}), tokens_of("a = b.c(d)"))
    with pytest.raises(ValueError):
        native.TransformNode(object())
    # A token with no UTF-8 form (a lone surrogate) is the host grammar's.
    before = pysource_grammar.counts()["host"]
    ref, nat = both(["x", "=", "'\udcff'"])
    assert nat == ref and pysource_grammar.counts()["host"] == before + 1


@pytest.mark.parametrize("source, expr, conversion, spec", [
    ('f"{1+2 = # my comment\n  }"', "1+2", "r", None),
    ('f"{1+2 # c1\n = # c2\n  }"', "1+2", "r", None),
    ('f"{"#" = # c\n}"', "'#'", "r", None),
    ('f"{x # c\n=}"', "x", "r", None),
    ('f"{x = # c\n!s}"', "x", "s", None),
    ('f"{x = # c\n:>4}"', "x", None, ">4"),
    ("f\"{'#' = }\"", "'#'", "r", None),
    ("f\"{'a#b'=}\"", "'a#b'", "r", None),
])
def test_self_documenting_field_texts(source: str, expr: str, conversion: str | None, spec: str | None) -> None:
    """`{x = }` writes the field's source up to its value, blanks and
    comments after the `=` included; from 3.12 on the interpreter cuts every
    `#` to its line end out of that text (one inside a string too), before
    it keeps the text as it is."""
    import ast
    import re
    after = re.search(r"=\s*(#[^\n]*\n\s*)*", source)
    assert after is not None
    text = source[source.index("{") + 1:after.end()]
    if sys.version_info >= (3, 12):
        text = re.sub(r"#[^\n]*", "", text)
    want = ast.JoinedStr(values=[ast.Constant(text), ast.FormattedValue(
        value=ast.parse(expr, mode="eval").body, conversion=ord(conversion) if conversion else -1,
        format_spec=ast.JoinedStr(values=[ast.Constant(spec)]) if spec else None)])
    tree = run(*NATIVE, tokens_of("x = " + source))
    assert str(tree[2][1]) == ast.unparse(want)


@pytest.mark.parametrize("depth", [50, 500, 5000])
def test_deep_nesting_is_an_error_not_a_crash(depth: int) -> None:
    for toks in (["x", "="] + ["("] * depth + ["1"] + [")"] * depth,
                 ["x", "="] + ["-"] * depth + ["1"],
                 ["x", "="] + ["["] * depth + ["]"] * depth,
                 ["x", "="] + ["not"] * depth + ["a"]):
        ref, nat = both(toks)
        if not isinstance(nat, str):
            assert nat == ref or depth > 60


@pytest.mark.parametrize("first, then, refused", [
    ("+", "+", False), ("+", "+", True), ("*", "*", True), ("|", "+", True), ("+", "|", False),
    ("<<", "@", True), ("@", "<<", False)])
def test_operator_chains_count_each_level_from_where_it_starts(first: str, then: str, refused: bool) -> None:
    """A chain of 1001 operators is too long when every operator lengthens
    the left-nested chain; a looser operator after tighter ones starts its
    count from the chain it continues, not from the tighter operators'."""
    count = 1001 if refused or first != then else 1000
    toks = ["x", "=", "a"] + [first, "a"] * 500 + [then, "a"] * (count - 500)
    got = outcome(run, *NATIVE, toks)
    assert (got[0] == "ValueError") == refused


def test_long_chains_are_an_error_not_a_crash() -> None:
    """Operator, attribute and call chains nest their trees as deep as they
    are long; a line too long for that is refused, in a process that lives."""
    code = """if True:
        import sys
        from native_grammar_diff import both
        for toks in (["x", "="] + ["a", "+"] * 100000 + ["a"],
                     ["x", "="] + ["a"] + [".", "b"] * 100000,
                     ["x", "="] + ["a"] + ["(", ")"] * 100000,
                     ["case"] + ["a", "."] * 100000 + ["b", ":", "pass"]):
            ref, nat = both(toks)
            assert nat == "ValueError", str(nat)[:200]
        ref, nat = both(["x", "="] + ["a", "+"] * 500 + ["a"])
        assert nat[0] == "Assign"
        print("done")
    """
    here = os.path.dirname(os.path.abspath(__file__))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([here] + sys.path))
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stderr[-2000:]
    assert r.stdout.strip() == "done"


# -- the standard library --------------------------------------------------

def test_stdlib_sample_trees_equal_the_reference() -> None:
    before = pysource_grammar.counts()["host"]
    count, diffs = differences(stdlib_files()[::25])
    assert pysource_grammar.counts()["host"] == before  # every line parsed natively
    assert count > 1000
    assert diffs == []


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("PYSOURCE_SLOW") != "1", reason="set PYSOURCE_SLOW=1")
def test_whole_stdlib_trees_equal_the_reference() -> None:
    count, diffs = differences(stdlib_files())
    assert count > 100000
    assert diffs == []


def facts(project: Any, path: str) -> list[Any]:
    mod = project.module_for_path(path, "m")
    mod.analyze()

    def norm(x: Any) -> Any:
        if isinstance(x, (list, tuple)):
            return tuple(norm(i) for i in x)
        if isinstance(x, analysis.ModuleAnalysis):
            return ("module", x.fLocalName)
        return (type(x).__name__, x)

    out = [(tuple(line.tokens), line.parsed, norm(line.objs), norm(line.type_equivs))
           for line in mod.lines]
    project.close()
    return out


def test_analyzer_facts_equal_the_reference() -> None:
    paths = stdlib_files()[::60]
    ref_facts = [facts(pysource.Project(host="python"), p) for p in paths]
    native_facts = [facts(pysource.Project(host="native"), p) for p in paths]
    assert isinstance(pysource.Project(host="native").grammar, pysource_grammar.Grammar)
    assert native_facts == ref_facts


# -- bad input ---------------------------------------------------------------

def mutate(rng: random.Random, toks: list[str]) -> list[str]:
    """Tokens dropped, swapped, duplicated, cut off, or cut inside (a string
    losing its closing quote, a number its digits)."""
    toks = list(toks)
    for _ in range(rng.randint(1, 3)):
        if not toks:
            break
        i = rng.randrange(len(toks))
        op = rng.randrange(5)
        if op == 0:
            del toks[i]
        elif op == 1:
            j = rng.randrange(len(toks))
            toks[i], toks[j] = toks[j], toks[i]
        elif op == 2:
            toks.insert(i, toks[rng.randrange(len(toks))])
        elif op == 3:
            toks = toks[:i]
        elif len(toks[i]) > 1:
            toks[i] = toks[i][:rng.randrange(1, len(toks[i]))]
    return toks


def check_mutations(seed: int, count: int, step: int) -> int:
    rng = random.Random(seed)
    lines = [t for p in stdlib_files()[::step] for t in line_tokens(p) if t]
    checked = 0
    for _ in range(count):
        toks = mutate(rng, rng.choice(lines))
        ref, nat = both(toks)
        if not isinstance(ref, str) and not isinstance(nat, str):
            assert nat == ref, toks
            checked += 1
    return checked


def test_random_mutations_agree_and_never_crash(capfd: pytest.CaptureFixture[str]) -> None:
    assert check_mutations(seed=11, count=3000, step=80) > 100
    assert capfd.readouterr().err == ""


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("PYSOURCE_SLOW") != "1", reason="set PYSOURCE_SLOW=1")
def test_many_random_mutations(capfd: pytest.CaptureFixture[str]) -> None:
    """The longer run: 200000 mutated lines from the whole library."""
    assert check_mutations(seed=2026, count=200000, step=1) > 10000
    assert capfd.readouterr().err == ""


def test_no_leaks_on_success_and_failure() -> None:
    lines = [tokens_of(t) for t in ("x = a // b", "def f(a, *b, c=1): pass", "x = f'{a}'",
                                    "case [a, *b] if c:", "x = (", "from . import (a as b)")]
    grammar = pysource_grammar.Grammar()
    transformer = pysource_grammar.Transformer({})

    def once() -> None:
        for toks in lines:
            try:
                run(grammar, transformer, toks)
            except SyntaxError:
                pass

    for _ in range(50):
        once()
    gc.collect()
    # A leaked reference to a token, a pooled name or a constant shows in
    # their reference counts; a leaked object in the object count.
    watched = [toks[0] for toks in lines] + [transformer.pool["a"], None, True]
    counts = [sys.getrefcount(o) for o in watched]
    before = len(gc.get_objects())
    for _ in range(1000):
        once()
    gc.collect()
    assert len(gc.get_objects()) - before < 20
    # A leak on every run would add a thousand; the interpreter's own
    # bookkeeping moves shared objects' counts by a few.
    assert [abs(sys.getrefcount(o) - c) < 100 for o, c in zip(watched, counts)] == [True] * len(watched)


def test_trees_of_atoms_are_left_to_no_collector() -> None:
    """Tuples holding only strings, numbers and such tuples can be in no
    cycle: they are not tracked.  Lists, and what holds them, are."""
    tree = run(pysource_grammar.Grammar(), pysource_grammar.Transformer(), tokens_of("x = a.b(1)"))
    assert not gc.is_tracked(tree)
    loop = run(pysource_grammar.Grammar(), pysource_grammar.Transformer(), tokens_of("for i in x: pass"))
    assert not gc.is_tracked(loop[1])
    assert gc.is_tracked(loop[3]) and gc.is_tracked(loop)


# -- other interpreters -------------------------------------------------------

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


@pytest.mark.parametrize("version", ["3.10", "3.12", "3.13"])
def test_other_interpreters_stdlib_sample(version: str) -> None:
    """The differential on another interpreter's standard library, with the
    modules built for it (cmake -S . -B build/py3.12 -G Ninja
    -DPython_EXECUTABLE=... -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=$PWD/build/py3.12,
    or PYSOURCE_BUILD_3_12 naming the folder)."""
    pythons = sorted(glob.glob(f"/root/.pyenv/versions/{version}.*/bin/python{version}"))
    if not pythons:
        pytest.skip(f"no Python {version} installed")
    build = os.environ.get(f"PYSOURCE_BUILD_{version.replace('.', '_')}",
                           os.path.join(ROOT, "build", f"py{version}"))
    if not glob.glob(os.path.join(build, "pysource_grammar*.so")):
        pytest.skip(f"the modules are not built for Python {version} in {build}")
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([build, os.path.join(ROOT, "python")]))
    step = "1" if os.environ.get("PYSOURCE_SLOW") == "1" else "25"
    r = subprocess.run([pythons[-1], os.path.join(ROOT, "tests", "native_grammar_diff.py"), step],
                       env=env, capture_output=True, text=True)
    assert r.returncode == 0, r.stdout + r.stderr
    assert r.stderr == ""


def test_stub_matches_the_module(tmp_path: Any) -> None:
    pytest.importorskip("mypy")
    env = dict(os.environ, MYPYPATH=os.path.join(ROOT, "stubs"),
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-m", "mypy.stubtest", "--mypy-config-file", os.devnull,
                           "pysource_grammar"], capture_output=True, text=True, env=env, cwd=tmp_path,
                          timeout=300)
    assert proc.returncode == 0, proc.stdout + proc.stderr


def test_under_address_sanitizer() -> None:
    """The differential and the mutations with the modules built with
    -fsanitize=address,undefined, named by PYSOURCE_ASAN_BUILD (cmake -S .
    -B DIR -DCMAKE_CXX_FLAGS="-fsanitize=address,undefined"
    -DCMAKE_MODULE_LINKER_FLAGS=-fsanitize=address,undefined
    -DCMAKE_LIBRARY_OUTPUT_DIRECTORY=DIR): reads past a token's text or a
    table's end show here and nowhere else."""
    build = os.environ.get("PYSOURCE_ASAN_BUILD")
    if not build or not glob.glob(os.path.join(build, "pysource_grammar*.so")):
        pytest.skip("set PYSOURCE_ASAN_BUILD to a sanitizer build of the modules")
    libs = []
    for name in ("libasan.so", "libubsan.so"):
        path = subprocess.run(["gcc", "-print-file-name=" + name], capture_output=True, text=True).stdout.strip()
        libs.append(path)
    code = ("import test_native_grammar as t\n"
            "n, d = t.differences(t.stdlib_files()[::40]); assert not d\n"
            "assert t.check_mutations(seed=3, count=5000, step=40) > 100\n"
            "[t.both(t.tokens_of(x)) for x in t.FORMS.strip().split('\\n')]\n")
    env = dict(os.environ, LD_PRELOAD=" ".join(libs), ASAN_OPTIONS="detect_leaks=0",
               UBSAN_OPTIONS="halt_on_error=1",
               PYTHONPATH=os.pathsep.join([build, os.path.join(ROOT, "python"), os.path.join(ROOT, "tests")]))
    r = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=1200)
    assert r.returncode == 0, r.stderr[-3000:]
    assert "runtime error" not in r.stderr


@pytest.mark.parametrize("shape", SHAPES)
def test_generated_precedence_agrees(shape: str) -> None:
    """Every pair of operators in shapes that put them in each other's
    operands, calls, slices, comprehensions, lambdas and f-strings: the
    parentheses and spacing of the texts are the reference's."""
    assert generated_differences([shape]) == []


@pytest.mark.parametrize("line", ["import a as b, c as d, e as f", "from m import a as b, c", "f(*a, **k)[*b]"])
def test_allocation_failure_is_raised_not_swallowed(line: str) -> None:
    """Each allocation of the parse and the build failed in turn: the call
    raises MemoryError or gives the full tree, never a result with an error
    left set."""
    testcapi = pytest.importorskip("_testcapi")
    grammar, transformer = pysource_grammar.Grammar(), pysource_grammar.Transformer({})
    toks = tokens_of(line + "\n")
    want = run(grammar, transformer, toks)
    for start in range(200):
        parser = grammar.CreateParser(257)
        for t in toks + ["\n"]:
            parser.AddToken(t)
        # Small tuples come from a free list: empty it so they are allocated.
        hold = None
        hold = [(i, -i) for i in range(5000)]
        testcapi.set_nomemory(start, start + 1)
        try:
            got = transformer.TransformNode(parser.Finish())
        except MemoryError:
            got = want
        finally:
            try:
                testcapi.remove_mem_hooks()
            except SystemError:
                got = "an error left set"
        del hold
        assert got == want, start


# -- the analyzer's direct path ---------------------------------------------

class CallsGrammar:
    """The native grammar behind the Python-level calls, which the analyzer
    makes for any grammar but the native one itself."""

    def __init__(self) -> None:
        self.native = pysource_grammar.Grammar()
        self.parsers = 0

    def CreateParser(self, symbol: int) -> Any:
        self.parsers += 1
        return self.native.CreateParser(symbol)


def analyzer(grammar: Any, transformer: Any) -> Any:
    import logicalline
    import pysource_impl
    from pysource.analysis import AttribRef

    class Mod:
        fLocalName = "m"
    module: Any = Mod()
    return pysource_impl.CreatePySourceImpl(module, grammar, transformer, {}, AttribRef, logicalline)


def outcome(call: Any, *args: Any) -> Any:
    try:
        return call(*args)
    except (SyntaxError, ValueError) as e:
        return (type(e).__name__, str(e))


DIRECT_LINES = [t for t in FORMS.strip("\n").split("\n") if "\\n" not in t] + [
    "x = ", "f(**k, *a)", "x = 'abc", "x = f'{}'", "x = 0777", "€ = 1", "x = (" + "(" * 300 + "1",
    "if x: # note", "x = '\udcff'", "def s(self): pass", "x = 'a' 'b' u'c'", "x = b'a' b'b'"]


def test_analyzer_direct_path_equals_the_calls() -> None:
    """The analyzer hands the native grammar a line's tokens at once, and with
    the native transformer parses and transforms in one step: the same trees,
    errors and counts as the per-token calls, for every form, bad lines and
    lines left to the host grammar; a subclass-free stand-in still gets the
    calls."""
    import logicalline
    nonself = {tuple(tokens_of("def s(self): pass"))}
    calls = CallsGrammar()
    direct_xf, calls_xf = pysource_grammar.Transformer({}, nonself), pysource_grammar.Transformer({}, nonself)
    direct, slow = analyzer(pysource_grammar.Grammar(), direct_xf), analyzer(calls, calls_xf)
    for text in DIRECT_LINES:
        line = logicalline.LogicalLine(tokens_of(text) + ["# c"], first_line=1)
        counts = pysource_grammar.counts()
        want = outcome(slow.AstForLogicalLine, line)
        spent = {k: v - counts[k] for k, v in pysource_grammar.counts().items()}
        counts = pysource_grammar.counts()
        got = outcome(direct.AstForLogicalLine, line)
        assert {k: v - counts[k] for k, v in pysource_grammar.counts().items()} == spent, text
        assert got == want, text
        parsed = outcome(direct.ParseLogicalLine, line)
        assert (parsed if isinstance(parsed, tuple) else outcome(direct_xf.TransformNode, parsed)) == want, text
    assert calls.parsers == len(DIRECT_LINES)
    assert direct_xf.pool == calls_xf.pool


def test_analyzer_direct_path_survives_a_parse_within_a_build() -> None:
    """Host code run while a line is built (here a key's __eq__ in the
    non-self set) may parse another line: the line being built keeps its
    own parse."""
    import logicalline
    def_toks = tokens_of("def s(a, b=[1, 2], *c, d: int = 3): return a")
    inner = logicalline.LogicalLine(tokens_of("y = [i * 2 for i in range(9)] + {'k': f(x)}"))
    seen: list[Any] = []

    class Reenter:
        def __hash__(self) -> int:
            return hash(tuple(def_toks))

        def __eq__(self, other: object) -> bool:
            seen.append(impl.AstForLogicalLine(inner))
            return True

    impl = analyzer(pysource_grammar.Grammar(), pysource_grammar.Transformer({}, {Reenter()}))
    outer = impl.AstForLogicalLine(logicalline.LogicalLine(def_toks))
    want = run(pysource_grammar.Grammar(), pysource_grammar.Transformer({}, {tuple(def_toks)}), def_toks)
    assert outer == want and type(outer[2][0]) is ArgName
    assert seen == [run(*NATIVE, list(inner.tokens))]
