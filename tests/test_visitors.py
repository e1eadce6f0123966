"""The tree walker and the standard visitors: what analysing a line records
on it for assignments, loops, returns, imports, definitions and isinstance
calls, how the walker dispatches and descends, and that repeated analyses
keep reference counts steady."""

import gc
import types

import logicalline as ll
import pytest

from hostobjects import Attrib, Factory, Host, ModuleAnalysis, assert_steady, line, lines_from

C, F, AS = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
N = lambda name: ("Name", name)  # noqa: E731
X, Y = N("x"), N("y")


def attr(expr, name):
    return ("Getattr", expr, name)


def call(func, *args):
    return ("CallFunc", func, args)


def isinst(*args):
    return call(N("isinstance"), *args)


def analyze(tree=None, host=None, **host_kw):
    host = host or Host(trees=lambda parse_tree: tree, **host_kw)
    (ln,) = host.install([line("x")])
    host.impl.AnalyzeLogical(ln)
    return ln


class Node:
    """An object-form tree node."""

    def __init__(self, children=None, name=None):
        if children is not None:
            self._children = children
        if name is not None:
            self.name = name


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom("truth")


FACTS = [
    (("Assign", attr(N("self"), "items"), ("List", [])), ("self.items",), (("self.items", "::list:"),)),
    (("Assign", N("a"), call(attr(N("Foo"), "Bar"), ("Const", 1), ("Const", 2))), ("a",), (("a", "Foo.Bar(1, 2)"),)),
    (("Assign", N("a"), ("Subscript", call(N("f")), "OP_APPLY", (("Const", 0),))), ("a",), ()),
    (("Assign", N("a"), call(call(N("f")))), ("a",), ()),
    (("Assign", ("Tuple", (N("a"), ("Tuple", [N("b"), attr(N("c"), "d")]))), N("v")), ("a", "b", "c.d"), ()),
    (("Assign", ("Subscript", N("a"), "OP_ASSIGN", (("Const", 0),)), ("Const", 1)), (), ()),
    (("Assign", None, ("Dict", ())), (), ()),
    (("Assign", ("Tuple", ()), N("v")), (), ()),
    (("Assign", ("List", [N("a")]), N("v")), (), ()),
    (("Assign", "s", N("v")), ("s",), (("s", "v"),)),  # bare strings count as dotted names
    (("Assign", X, "v"), ("x",), (("x", "v"),)),
    (("Assign", X, ("Getattr",)), ("x",), ()),  # an unreadable Getattr is no dotted name
    (("For", N("k"), ("Dict", ())), ("k",), ()),
    (("For", ("Tuple", (N("a"), attr(N("self"), "b"))), N("items")), ("a", "self.b"), ()),
    (("Return", attr(N("self"), "x")), (), (("return", "self.x"),)),
    (("Return", call(attr(N("m"), "f"), X)), (), (("return", "m.f(x)"),)),
    (("Return", None), (), ()),
    # isinstance calls with exactly two arguments, wherever the walker meets them
    (isinst(attr(N("self"), "obj"), attr(N("mod"), "Cls")), (), (("self.obj", "mod.Cls:"),)),
    (isinst(X), (), ()),
    (isinst(X, N("A"), N("B")), (), ()),
    (call(attr(N("m"), "isinstance"), X, N("A")), (), ()),
    (("CallFunc", ("Name",), (X, N("A"))), (), ()),
    (("Discard", ("And", (isinst(X, N("A")), isinst(Y, N("B"))))), (), (("x", "A:"), ("y", "B:"))),
    (call(N("f"), isinst(X, N("A"))), (), (("x", "A:"),)),
    (("CallFunc", Node((), "isinstance"), (X, N("T"))), (), (("x", "T:"),)),
    (("CallFunc", Node((), "other"), (X, N("T"))), (), ()),
    # The walker goes on below assignments and calls, not below definitions and imports.
    (("Assign", X, isinst(Y, N("T"))), ("x",), (("x", "isinstance(y, T)"), ("y", "T:"))),
    (("Function", "f", ("a",), (), 0, None, isinst(Y, N("T"))), ("a",), ()),
    (("Class", "C", (isinst(N("a"), N("b")),)), ("isinstance(a, b)",), ()),
    (("Import", (), isinst(Y, N("T"))), (), ()),
    # Plain tuples, lists and instances' "_children" are descended; a tuple
    # in "_children" is walked item by item, a dictionary not at all.
    (((("Assign", N("a"), X), "s"), [("Assign", N("b"), X), Node((("Assign", N("c"), X),))],
      Node([Node([("Assign", N("d"), X)])]), Node({"k": ("Assign", N("z"), X)}), Node(("Assign", N("z"), X)),
      None, (), 5), ("a", "b", "c", "d"), (("a", "x"), ("b", "x"), ("c", "x"), ("d", "x"))),
]


@pytest.mark.parametrize("tree,objs,equivs", FACTS)
def test_line_facts(tree, objs, equivs):
    ln = analyze(tree)
    assert (ln.objs, ln.type_equivs) == (objs, equivs)


FAILURES = [
    (("Return",), IndexError, None, ()),
    (("Assign", ("Tuple", None), X), TypeError, "elements of a Tuple node must be a tuple or list, not NoneType",
     ()),
    (("CallFunc", N("isinstance"), [X, N("A")]), TypeError, "arguments of a CallFunc node must be a tuple, not list",
     ()),
    (("Class", "C", [N("A")]), TypeError, "bases of a Class node must be a tuple", ()),
    (("Function", "f", ["self"]), TypeError, "argument names of a Function node must be a tuple", ()),
    (("Import", ["a"]), TypeError, "names of a Import node must be a tuple", ()),
    (("From", "m", ["x"]), TypeError, "names of a From node must be a tuple", ()),
    (("Import", ((5, "x"),)), TypeError, None, ()),
    (("Import", ("a", 5)), TypeError, r"Imported id must be a string or a tuple with 2\+ elements",
     (("a", None, ""),)),
    ([("Assign", X, X), Node()], AttributeError, "_children", ("x",)),
    (("Assign", ("Tuple", (N("a"), ("Getattr", N("b")))), X), ValueError, "Unknown AST node type", ("a",)),
    (isinst(X, ("Lambda", ("a", 1), (), 0, X)), TypeError, None, ()),
]


@pytest.mark.parametrize("tree,exc,msg,kept", FAILURES)
def test_failures_keep_earlier_facts(tree, exc, msg, kept):
    host = Host(trees=lambda pt: tree)
    (ln,) = host.install([line("x")])
    with pytest.raises(exc, match=msg):
        host.impl.AnalyzeLogical(ln)
    assert ln.objs == kept


def test_recorded_texts_are_pooled():
    host = Host(trees=lambda pt: [("Assign", N("a"), attr(N("b"), "c")), ("Return", attr(N("b"), "c"))])
    one, two = host.install([line("x"), line("y")])
    host.impl.AnalyzeLogical(one)
    host.impl.AnalyzeLogical(two)
    assert all(pair[1] is host.pool["b.c"] for ln in (one, two) for pair in ln.type_equivs)
    assert one.type_equivs[1][0] is two.type_equivs[1][0] == "return"


def test_written_texts_and_scope_names_come_from_the_pool():
    # Texts made at run time, so that only the pool can make them one object.
    pooled = {t: t for t in ("".join(p) for p in [("ret", "urn"), ("::di", "ct:"), ("K.", "m")])}
    host = Host(trees=lambda pt: [("Assign", N("a"), ("Dict",)), ("Return", N("b"))])
    host.pool.update(pooled)
    k, m, body = host.install(lines_from([("class K :", 0, C), ("def m ( self ) :", 4, F), ("x", 8, AS)]))
    host.impl.AnalyzeLogical(body)
    (a_dict, ret) = body.type_equivs
    assert a_dict[1] is pooled["::dict:"] and ret[0] is pooled["return"]
    assert host.impl.GetBodyOfScope("K.m") == [body] and body.scope_name is pooled["K.m"]
    assert host.impl.GetFullNameForScopeDef(m) is pooled["K.m"]
    # A module-level name is joined with nothing: its own token stands.
    assert host.impl.GetFullNameForScopeDef(k) is k.tokens[1]


# -- the walker with other visitors ------------------------------------------------

def std_walker(host):
    """Installs a line and returns the analyzer's walk procedure and visit
    dictionary: internal objects, reached through what the analyzer reports
    to the collector."""
    host.install([line("x")])
    (walk,) = [o for o in gc.get_referents(host.impl)
               if type(o) is types.BuiltinMethodType and o.__name__ == "Walk"]
    (walker,) = gc.get_referents(walk)
    (visit_dict,) = gc.get_referents(walker)
    return walk, visit_dict


def test_standard_visitors_and_their_calling_convention():
    host = Host()
    walk, visit_dict = std_walker(host)
    assert list(visit_dict) == ["CallFunc", "Return", "Assign", "For", "Function", "Class", "Import", "From"]
    visitors = visit_dict["Assign"].__self__
    assert visitors.VisitCallFunc.__doc__ == "Visit a funtion call node.  Finds all isinstance calls. "
    with pytest.raises(TypeError):
        type(visitors)()
    ln = host.lines[0]
    node, pair = ("Assign", X, ("Dict", ())), (ln, host.mod)
    for visitor in visit_dict.values():
        for args in [(node,), (node, pair, 1), (node, [ln, host.mod]), (node, (ln, host.mod, 1))]:
            with pytest.raises(TypeError, match="Visitor functions require 2 arguments"):
                visitor(*args)
    assert visit_dict["Assign"](node, pair) == 1 and ln.objs == ("x",)
    assert visit_dict["Class"](("Class", "C", ()), pair) == 0


def test_walk_dispatch_descent_and_failures():
    walk, visit_dict = std_walker(Host())
    visit_dict.clear()
    calls = []

    def rec(result):
        return lambda n, c: calls.append((n, c)) or result

    ctx, leaf = object(), ("L", "leaf")
    node = ("N", leaf, [leaf])
    for result, descends in [(1, True), (0, False), (None, False), ([], False), ("", False), ("go", True), (2, True)]:
        calls.clear()
        visit_dict.update(N=rec(result), L=rec(1))
        assert walk(node, ctx) is None
        assert calls == [(node, ctx)] + [(leaf, ctx)] * 2 * descends
    calls.clear()
    walk(((leaf, "s"), [leaf, None, 5], (), "L"), ctx)
    assert calls == [(leaf, ctx)] * 2

    class Sub(Node):
        pass

    class Guarded:
        @property
        def _children(self):
            raise AssertionError("children read after a false visitor result")

    calls.clear()
    visit_dict.update({Node: rec(1), Guarded: rec(0), "Node": rec(0)})
    walk(Node([Sub((leaf,)), Guarded()]), None)  # keyed by the exact class, not its name or a base class
    assert [type(n) for n, _ in calls] == [Node, tuple, Guarded]

    calls.clear()
    visit_dict.update(T=lambda n, c: BadTruth(), K=lambda n, c: {}["visitor"])
    for bad, exc in [("T", Boom), ("K", KeyError)]:
        with pytest.raises(exc):
            walk([(bad,), leaf], None)
    assert calls == []
    with pytest.raises(TypeError, match=r"Walk\(\)"):
        walk(1)
    deep = leaf
    for _ in range(100000):
        deep = ("L", deep)
    with pytest.raises(RecursionError):
        walk(deep, None)


# -- imports -----------------------------------------------------------------------

def import_host(tree, modules=(), mod_class=ModuleAnalysis):
    factory = Factory(dict(modules))
    mod = mod_class("own", factory=factory, package_dir="/pkg")
    return Host(trees=lambda pt: tree, mod=mod), factory


def test_imports():
    ma, mn = ModuleAnalysis("a"), ModuleAnalysis("m.n")
    host, factory = import_host(("Import", ("a", "a.b.c", ("a.b", "x"), ("q.r", "y", "extra"), "own")), {"a": ma})
    factory.modules["own"] = host.mod  # a module importing itself records nothing
    ln = analyze(host=host)
    assert ln.objs == (("a", ma, ""), ("a.b.c", ma, "b.c"), ("x", ma, "b"), ("y", None, "r"))
    assert factory.lookups == [("a", "/pkg")] * 3 + [("q", "/pkg"), ("own", "/pkg")]
    assert ln.objs[1][2] is host.pool["b.c"]
    host, factory = import_host(("From", "m.n", ("x", 5, "y")), {"m.n": mn})
    assert analyze(host=host).objs == (("x", mn, "x"), ("y", mn, "y"))
    assert factory.lookups == [("m.n", "/pkg")]
    assert analyze(("From", "m", ("x",))).objs == (("x", None, "x"),)
    mod = ModuleAnalysis()
    del mod.fAnalysisFactory
    with pytest.raises(AttributeError, match="fAnalysisFactory"):
        analyze(("From", "m", ("x",)), mod=mod)


def star_host(other, names=("*",), fail=None):
    host, _ = import_host(("From", "m", names), {"m": other} if other else {},
                          lambda *a, **kw: Scripted(*a, fail=fail, **kw))
    if other:
        other.calls = host.mod.calls  # one log shows the order across both objects
    return host, host.mod.calls


class Scripted(ModuleAnalysis):
    """A module analysis whose star-import method named by `fail` raises Boom;
    other values of `fail` choose odd answers."""

    def __init__(self, name="m", fail=None, **kw):
        super().__init__(name, **kw)
        self.fail = fail

    def answer(self, name, value, *args):
        self.calls.append((name, *args) if args else name)
        if self.fail == name:
            raise Boom(name)
        return value

    def Freeze(self):
        return self.answer("Freeze", None)

    def Thaw(self):
        return self.answer("Thaw", None)

    def IsFrozen(self):
        return self.answer("IsFrozen", BadTruth() if self.fail == "truth" else self.frozen)

    def GetScopeAttributes(self, *args):
        odd = {"local": [object()], "none": None, "tuple": (Attrib("t"),)}
        return self.answer("GetScopeAttributes", odd.get(self.fail, self.scope_attribs), *args)


def test_star_import_protocol():
    other = Scripted(scope_attribs=["x", "a.b", "_y", "2", "", "\u00e9", 5, "x y"])
    host, log = star_host(other)
    ln = analyze(host=host)
    assert ln.objs == (("x", other, "x"), ("_y", other, "_y"), ("2", other, "2"), ("", other, ""))
    assert log == ["Freeze", ("GetScopeAttributes", "", 1, 0), "IsFrozen", "Thaw"]
    assert [type(a) for a in log[1][2:]] == [int, int]
    assert ln.parsed and host.impl.fParsedCount == 1

    other = Scripted(scope_attribs=["z"], frozen=True)
    host, log = star_host(other, names=("*ignored",))
    ln = analyze(host=host)
    assert ln.objs == (("z", other, "z"),) and not ln.parsed and host.impl.fParsedCount == 0
    host.impl.AnalyzeLogical(ln)  # analysed again
    assert log.count("Freeze") == log.count("Thaw") == 2

    host, log = star_host(None)
    assert analyze(host=host).objs == () and log == []
    host, log = star_host(Scripted(), fail="Freeze")
    with pytest.raises(Boom, match="Freeze"):
        analyze(host=host)
    assert log == ["Freeze"]


@pytest.mark.parametrize("fail,exc", [("GetScopeAttributes", Boom), ("IsFrozen", Boom), ("truth", Boom),
                                      ("local", AttributeError), ("none", None), ("tuple", None)])
def test_star_import_thaws_exactly_once(fail, exc):
    other = Scripted(fail=fail)
    host, log = star_host(other)
    if exc:
        with pytest.raises(exc):
            analyze(host=host)
    else:
        assert analyze(host=host).objs == ((("t", other, "t"),) if fail == "tuple" else ())
    assert log[0] == "Freeze" and log.count("Thaw") == 1 and log.index("Thaw") >= 2
    host, log = star_host(Scripted(fail=fail), fail="Thaw")
    with pytest.raises(Boom, match="Thaw") as info:  # a failing Thaw wins, the pending error is its context
        analyze(host=host)
    assert fail in ("local", "none", "tuple") or isinstance(info.value.__context__, exc)


# -- definitions -------------------------------------------------------------------

def def_tree(sig, args=None):
    name, *rest = sig.split()
    return ("Function", name, tuple(rest[1:-1:2]) if args is None else args, (), 0, None, ("Stmt", []))


def test_definitions():
    layout = [("class A :", 0, C), ("class B :", 4, C), ("class C :", 8, C), ("def m ( this , x ) :", 12, F),
              ("def n ( self ) :", 12, F), ("def f ( a ) :", 0, F), ("def g ( self ) :", 4, F),
              ("class Outer ( A , b . B ) :", 0, C), ("def m ( self ) :", 4, F), ("class Inner :", 8, C),
              ("def p ( me ) :", 12, F), ("def empty ( ) :", 4, F), ("def t ( ( a , b ) , c ) :", 4, F),
              ("class", 0, C), ("class K :", 4, C), ("def q ( s ) :", 8, F)]
    trees = {text + " pass": def_tree(text[4:-2]) for text, _, kind in layout if kind == F}
    trees["def t ( ( a , b ) , c ) : pass"] = def_tree("t", (("a", "b"), "c"))
    trees["class Outer ( A , b . B ) : pass"] = ("Class", "Outer", (N("A"), attr(N("b"), "B")))
    host = Host(trees=trees)
    lines = host.install(lines_from(layout))
    for ln in lines:
        host.impl.AnalyzeLogical(ln)
    expected = {
        3: (("this", "x"), (("this", "A.B.C:"),)), 4: (("self",), (("self", "A.B.C:"),)),
        5: (("a",), ()), 6: (("self",), ()),  # no class around
        7: (("A", "b.B"), ()), 8: (("self",), (("self", "Outer:"),)), 10: (("me",), (("me", "Outer.m.Inner:"),)),
        11: ((), ()), 12: ((("a", "b"), "c"), ()),
        15: (("s",), (("s", "K:"),)),  # a nameless class line adds nothing, not even "."
    }
    assert {i: (lines[i].objs, lines[i].type_equivs) for i in expected} == expected
    assert lines[4].type_equivs[0][1] is lines[3].type_equivs[0][1]


def test_scope_search_meets_a_non_line():
    host = Host(trees={"def m ( self ) : pass": def_tree("m ( self )")})
    k, m = host.install(lines_from([("class K :", 0, C), ("def m ( self ) :", 4, F)]))
    host.lines.insert(1, "not a line")
    with pytest.raises(TypeError, match="Every element of logical list must be a logical line"):
        host.impl.AnalyzeLogical(m)
    assert m.objs == ("self",)


# -- ownership ---------------------------------------------------------------------

def parts(tree):
    """The containers of a tree: tuples, lists and node instances."""
    if type(tree) in (tuple, list, Node):
        yield tree
        for child in getattr(tree, "_children", ()) if type(tree) is Node else tree:
            yield from parts(child)


def test_analysis_cycles_do_not_leak():
    trees = [row[0] for row in FACTS + FAILURES] + [("Import", ("m", "m.q.r", ("m.z", "w"))), ("From", "m", ("*",)),
                                                    ("From", "m", ("x", "y")), ("From", "bad", ("*",))]
    trees = {str(i): tree for i, tree in enumerate(trees)}
    trees["class K : pass"] = ("Class", "K", (X, call(X, ("Const", "s"))))
    trees["def f ( self ) : pass"] = def_tree("f ( self )")
    others = {"m": Scripted(scope_attribs=["x", "a.b", "y"]), "bad": Scripted(fail="IsFrozen")}
    host = Host(trees=trees, mod=ModuleAnalysis("own", factory=Factory(others), package_dir="/pkg"))
    host.install(lines_from([(key, 0, AS) for key in trees if " " not in key]
                            + [("class K :", 0, C), ("def f ( self ) :", 4, F)]))

    def cycle():
        failures = 0
        for ln in host.lines:
            try:
                host.impl.AnalyzeLogical(ln)
            except Exception:
                failures += 1
            host.impl.ClearAnalysis(ln)
        assert failures == len(FAILURES) + 1  # the star import from "bad" fails too
        for log in (others["m"].calls, others["bad"].calls, host.mod.calls, host.mod.fAnalysisFactory.lookups,
                    host.grammar.fed, host.xformer.seen):
            log.clear()  # the stand-in host's own records

    cycle()
    texts = [t for t in host.pool.values() if len(t) > 1]  # one-letter strings are shared by the interpreter
    assert_steady(cycle, host.mod, *others.values(), host.lines[0], *texts,
                  *(p for t in trees.values() for p in parts(t)))
