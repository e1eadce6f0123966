"""Type equivalences in a scope and the instance attributes of a class."""

import logicalline as ll
import pytest

from hostobjects import Grammar, Host, assert_steady, lines_from

C, F, A, COMMENT = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex, ll.kCommentIndex
N, G, S = (lambda n: ("Name", n)), (lambda e, n: ("Getattr", e, n)), (lambda t, e: ("Assign", t, e))
D, L, T = ("Dict", ()), ("List", ()), ("Tuple", ())

MODULE = [  # text, indent, kind, tree
    ("class K :", 0, C, S(N("q"), D)),                                # 0: its pair belongs to the module
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
    assert impl.FindTypeEquivs("me", "K") == [] == impl.FindTypeEquivs("self.a", "K")
    assert impl.FindTypeEquivs("y", "") == ["::dict:", "::tuple:"]
    assert impl.FindTypeEquivs("q", "K") == [] and impl.FindTypeEquivs("q", "") == ["::dict:"]
    assert impl.FindTypeEquivs("y", "nothing.here") == [] == impl.FindTypeEquivs("y", "K.nothing")


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


def test_argument_errors_and_failures():
    host = make_host()
    impl = host.impl
    for call, args, message in [
            (impl.FindTypeEquivs, ("y", type("Str", (str,), {})("f")), r"^FindTypeEquivs\(\) argument 2 must be str"),
            (impl.GetInstanceAttributes, (b"K", None), r"^GetInstanceAttributes\(\) argument 1 must be str, not b"),
            (impl.FindInstAttribTypeEquivs, ("a", 1, None), r"argument 2 must be str, not int"),
            (impl.GetInstanceAttributes, ("K", 5), "not iterable"),
            (impl.FindInstAttribTypeEquivs, ("a", "K", 5), "not iterable")]:
        with pytest.raises(TypeError, match=message):
            call(*args)
    for scope in ("f", "K.m", "K.__init__"):
        impl.GetBodyOfScope(scope).append(None)  # cached bodies are shared
    for call, args in [(impl.FindTypeEquivs, ("y", "f")), (impl.GetInstanceAttributes, ("K", ["m"])),
                       (impl.FindInstAttribTypeEquivs, ("a", "K", None))]:
        with pytest.raises(SystemError):
            call(*args)
    host.xformer.trees = {"y = { }": RuntimeError("transformer down")}
    with pytest.raises(RuntimeError, match="transformer down"):
        impl.FindTypeEquivs("y", "")
    assert impl.fActiveMethodCount == 0


def test_no_leaks():
    host = make_host()
    impl, lines = host.impl, host.lines
    spec = ["m", "__init__"]
    calls = [(impl.FindTypeEquivs, "y", "f"), (impl.FindTypeEquivs, "me", "K.m"), (impl.FindTypeEquivs, "y", "x"),
             (impl.GetInstanceAttributes, "K", spec), (impl.GetInstanceAttributes, "Nope", spec),
             (impl.FindInstAttribTypeEquivs, "a", "K", spec)]
    failing = [(TypeError, impl.GetInstanceAttributes, "K", 5), (TypeError, impl.FindInstAttribTypeEquivs, "a", "K", 5)]
    for fn in [lambda c=c: c[0](*c[1:]) for c in calls] + [lambda f=f: pytest.raises(*f) for f in failing]:
        assert_steady(fn, lines, spec, *lines)
    impl.GetBodyOfScope("K.m").append(3)
    impl.GetBodyOfScope("f").append(3)
    for call, *args in [(impl.GetInstanceAttributes, "K", None), (impl.FindInstAttribTypeEquivs, "a", "K", None),
                        (impl.FindTypeEquivs, "y", "f")]:
        assert_steady(lambda: pytest.raises(SystemError, call, *args), lines, spec, *lines)
