"""Type equivalences in a scope and the instance attributes of a class."""

import gc
import sys

import logicalline as ll
import pytest

from hostobjects import Grammar, Host, lines_from

C, F, A, COMMENT = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex, ll.kCommentIndex


def N(n):
    return ("Name", n)


def G(expr, name):
    return ("Getattr", expr, name)


def S(target, expr):
    return ("Assign", target, expr)


D, L, T = ("Dict", ()), ("List", ()), ("Tuple", ())

MODULE = [  # text, indent, kind, tree
    ("class K :", 0, C, ("Class", "K", ())),                          # 0
    ("def __init__ ( self ) :", 4, F, ("Function", "__init__", ("self",))),
    ("self . a = { }", 8, A, S(G(N("self"), "a"), D)),                # 2
    ("self . b . c = [ ]", 8, A, S(G(G(N("self"), "b"), "c"), L)),    # attribute of an attribute
    ("selfish = [ ]", 8, A, S(N("selfish"), L)),                      # the prefix's letters only
    ("self . = 1", 8, A, S("self.", ("Const", 1))),                   # prefix and '.' only
    ("def inner ( ) :", 8, F, ("Function", "inner", ())),
    ("self . z = { }", 12, A, S(G(N("self"), "z"), D)),               # 7: in a nested function
    ("# note", 4, COMMENT, None),
    ("def m ( me ) :", 4, F, ("Function", "m", ("me",))),             # 9
    ("me . a = Foo", 8, A, S(G(N("me"), "a"), N("Foo"))),             # 10
    ("x = me . a", 8, A, S(N("x"), G(N("me"), "a"))),
    ("me . a = ( )", 8, A, S(G(N("me"), "a"), T)),                    # 12
    ("def g ( ) :", 4, F, ("Function", "g", ())),                     # no instance parameter
    ("self . a = [ ]", 8, A, S(G(N("self"), "a"), L)),
    ("def t ( ( a , b ) ) :", 4, F, ("Function", "t", (("a", "b"),))),  # tuple parameter
    ("a . q = { }", 8, A, S(G(N("a"), "q"), D)),
    ("y = { }", 0, A, S(N("y"), D)),                                  # 17
    ("def f ( x ) :", 0, F, ("Function", "f", ("x",))),
    ("y = x", 4, A, S(N("y"), N("x"))),                               # 19
    ("y = ( )", 4, A, S(N("y"), T)),
    ("y = ( )", 0, A, S(N("y"), T)),                                  # 21
]


def make_host(grammar=None):
    trees = {(t + " pass" if t.endswith(":") else t): tree for t, _, _, tree in MODULE if tree}
    host = Host(trees=trees, grammar=grammar)
    host.install(lines_from([(t, i, k) for t, i, k, _ in MODULE]))
    return host


def assert_steady(fn, watched, rounds=1000):
    fn()  # warm pooled names and the analysis of every line
    refs = [sys.getrefcount(o) for o in watched]
    gc.collect()
    before = len(gc.get_objects())
    for _ in range(rounds):
        fn()
    gc.collect()
    assert len(gc.get_objects()) - before <= 2
    assert [sys.getrefcount(o) for o in watched] == refs


def test_find_type_equivs():
    seen = []
    host = make_host(Grammar(lambda tokens: seen.append(host.impl.fActiveMethodCount) or tuple(tokens)))
    impl, lines = host.impl, host.lines
    assert impl.FindTypeEquivs("y", "f") == ["x", "::tuple:"]
    # A method's body matches, then the instance type its def line records.
    assert impl.FindTypeEquivs("me.a", "K.m") == ["Foo", "::tuple:"]
    assert impl.FindTypeEquivs("me", "K.m") == ["K:"]
    assert all(lines[i].parsed for i in (9, 10, 11, 12, 18, 19, 20)) and impl.fParsedCount == 7
    assert set(seen) == {1} and impl.fActiveMethodCount == 0
    # Class and module bodies: def lines are passed over, nested bodies are
    # not searched.
    assert impl.FindTypeEquivs("me", "K") == []
    assert impl.FindTypeEquivs("self.a", "K") == []
    assert impl.FindTypeEquivs("y", "") == ["::dict:", "::tuple:"]
    assert impl.FindTypeEquivs("y", "nothing.here") == [] == impl.FindTypeEquivs("y", "K.nothing")


def test_pairs_on_a_class_line_belong_to_the_enclosing_scope():
    host = make_host()
    host.xformer.trees["class K : pass"] = S(N("q"), D)
    assert host.impl.FindTypeEquivs("q", "K") == []
    assert host.impl.FindTypeEquivs("q", "") == ["::dict:"]


def test_get_instance_attributes():
    host = make_host()
    impl, lines = host.impl, host.lines
    got = impl.GetInstanceAttributes("K", None)
    assert got == [("a", lines[2]), ("a", lines[10]), ("a", lines[12])]
    assert got[0][0] is got[1][0] is got[2][0] is host.pool["a"]
    assert impl.GetInstanceAttributes("K", ["m"]) == [("a", lines[10]), ("a", lines[12])]
    assert impl.GetInstanceAttributes("K", ("g", "t")) == [] == impl.GetInstanceAttributes("K", [])
    for not_a_class in ("f", "K.m", "", "Nope"):
        assert impl.GetInstanceAttributes(not_a_class, None) is None


def test_find_inst_attrib_type_equivs():
    impl = make_host().impl
    assert impl.FindInstAttribTypeEquivs("a", "K", None) == [
        ("K.__init__", ["::dict:"]), ("K.m", ["Foo", "::tuple:"])]
    assert impl.FindInstAttribTypeEquivs("a", "K", ["m"]) == [("K.m", ["Foo", "::tuple:"])]
    assert impl.FindInstAttribTypeEquivs("a", "K", []) == []
    # Assigned only in a nested function, or nowhere; scopes with no methods.
    for attrib, scope in (("z", "K"), ("nothing", "K"), ("a", ""), ("a", "Nope")):
        assert impl.FindInstAttribTypeEquivs(attrib, scope, None) == []


class Str(str):
    pass


def test_argument_errors_and_failures():
    host = make_host()
    impl = host.impl
    with pytest.raises(TypeError, match=r"^FindTypeEquivs\(\) argument 2 must be str, not Str$"):
        impl.FindTypeEquivs("y", Str("f"))
    with pytest.raises(TypeError, match=r"^GetInstanceAttributes\(\) argument 1 must be str, not bytes$"):
        impl.GetInstanceAttributes(b"K", None)
    with pytest.raises(TypeError, match=r"argument 2 must be str, not int"):
        impl.FindInstAttribTypeEquivs("a", 1, None)
    with pytest.raises(TypeError):
        impl.FindTypeEquivs(1, "f")
    with pytest.raises(TypeError, match="not iterable"):
        impl.GetInstanceAttributes("K", 5)
    with pytest.raises(TypeError, match="not iterable"):
        impl.FindInstAttribTypeEquivs("a", "K", 5)
    for scope in ("f", "K.m", "K.__init__"):
        impl.GetBodyOfScope(scope).append(None)  # cached bodies are shared
    with pytest.raises(SystemError):
        impl.FindTypeEquivs("y", "f")
    with pytest.raises(SystemError):
        impl.GetInstanceAttributes("K", ["m"])
    with pytest.raises(SystemError):
        impl.FindInstAttribTypeEquivs("a", "K", None)
    host.xformer.trees = {"y = { }": RuntimeError("transformer down")}
    with pytest.raises(RuntimeError, match="transformer down"):
        impl.FindTypeEquivs("y", "")
    assert impl.fActiveMethodCount == 0


def test_queries_do_not_leak():
    host = make_host()
    impl, lines = host.impl, host.lines
    spec = ["m", "__init__"]
    watched = [lines, spec] + lines
    for fn in (lambda: impl.FindTypeEquivs("y", "f"), lambda: impl.FindTypeEquivs("me", "K.m"),
               lambda: impl.FindTypeEquivs("y", "nothing"), lambda: impl.GetInstanceAttributes("K", spec),
               lambda: impl.GetInstanceAttributes("Nope", spec),
               lambda: impl.FindInstAttribTypeEquivs("a", "K", spec),
               lambda: pytest.raises(TypeError, impl.GetInstanceAttributes, "K", 5),
               lambda: pytest.raises(TypeError, impl.FindInstAttribTypeEquivs, "a", "K", 5)):
        assert_steady(fn, watched)
    impl.GetBodyOfScope("K.m").append(3)
    impl.GetBodyOfScope("f").append(3)
    for fn in (lambda: pytest.raises(SystemError, impl.GetInstanceAttributes, "K", None),
               lambda: pytest.raises(SystemError, impl.FindInstAttribTypeEquivs, "a", "K", None),
               lambda: pytest.raises(SystemError, impl.FindTypeEquivs, "y", "f")):
        assert_steady(fn, watched)
