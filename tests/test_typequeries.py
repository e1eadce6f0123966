"""Type equivalences in a scope and the instance attributes of a class."""

import gc
import sys

import logicalline as ll
import pytest

from hostobjects import Grammar, Host, lines_from

C, F, A = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
COMMENT = ll.kCommentIndex


def name(n):
    return ("Name", n)


def attr(expr, a):
    return ("Getattr", expr, a)


def assign(target, expr):
    return ("Assign", target, expr)


def func(n, *args):
    return ("Function", n, tuple(args))


SELF_A = attr(name("self"), "a")

TREES = {
    "class K : pass": ("Class", "K", ()),
    "def __init__ ( self ) : pass": func("__init__", "self"),
    "self . a = { }": assign(SELF_A, ("Dict", ())),
    "self . b . c = [ ]": assign(attr(attr(name("self"), "b"), "c"), ("List", ())),
    "selfish = [ ]": assign(name("selfish"), ("List", ())),
    "self . = 1": assign("self.", ("Const", 1)),
    "def inner ( ) : pass": func("inner"),
    "self . z = { }": assign(attr(name("self"), "z"), ("Dict", ())),
    "def m ( me ) : pass": func("m", "me"),
    "me . a = Foo": assign(attr(name("me"), "a"), name("Foo")),
    "me . a = ( )": assign(attr(name("me"), "a"), ("Tuple", ())),
    "x = me . a": assign(name("x"), attr(name("me"), "a")),
    "def g ( ) : pass": func("g"),
    "self . a = [ ]": assign(SELF_A, ("List", ())),
    "def t ( ( a , b ) ) : pass": func("t", ("a", "b")),
    "a . q = { }": assign(attr(name("a"), "q"), ("Dict", ())),
    "def f ( x ) : pass": func("f", "x"),
    "y = { }": assign(name("y"), ("Dict", ())),
    "y = x": assign(name("y"), name("x")),
    "y = ( )": assign(name("y"), ("Tuple", ())),
}

MODULE = [
    ("class K :", 0, C),                    # 0
    ("def __init__ ( self ) :", 4, F),      # 1
    ("self . a = { }", 8, A),               # 2
    ("self . b . c = [ ]", 8, A),           # 3  attribute of an attribute
    ("selfish = [ ]", 8, A),                # 4  starts with the prefix letters
    ("self . = 1", 8, A),                   # 5  prefix and '.' only
    ("def inner ( ) :", 8, F),              # 6
    ("self . z = { }", 12, A),              # 7  nested function: never searched
    ("# note", 4, COMMENT),                 # 8
    ("def m ( me ) :", 4, F),               # 9
    ("me . a = Foo", 8, A),                 # 10
    ("x = me . a", 8, A),                   # 11
    ("me . a = ( )", 8, A),                 # 12
    ("def g ( ) :", 4, F),                  # 13 no instance parameter
    ("self . a = [ ]", 8, A),               # 14
    ("def t ( ( a , b ) ) :", 4, F),        # 15 tuple parameter
    ("a . q = { }", 8, A),                  # 16
    ("y = { }", 0, A),                      # 17
    ("def f ( x ) :", 0, F),                # 18
    ("y = x", 4, A),                        # 19
    ("y = ( )", 4, A),                      # 20
    ("y = ( )", 0, A),                      # 21
]


def make_host(**kw):
    host = Host(trees=TREES, **kw)
    host.install(lines_from(MODULE))
    return host


def live_objects():
    gc.collect()
    return len(gc.get_objects())


def assert_steady(fn, watched, rounds=1000):
    fn()  # warm caches, pooled names and the analysis of every line
    refs = [sys.getrefcount(o) for o in watched]
    before = live_objects()
    for _ in range(rounds):
        fn()
    assert live_objects() - before <= 2
    assert [sys.getrefcount(o) for o in watched] == refs


# -- FindTypeEquivs -------------------------------------------------------------

def test_function_scope_body_then_argument_equivs():
    host = make_host()
    impl, lines = host.impl, host.lines
    assert impl.FindTypeEquivs("y", "f") == ["x", "::tuple:"]
    # The instance type of a method's first argument comes from the def line,
    # after the body's own matches.
    assert impl.FindTypeEquivs("me.a", "K.m") == ["Foo", "::tuple:"]
    assert impl.FindTypeEquivs("me", "K.m") == ["K:"]
    # Lines the query looked at are analysed and counted.
    assert all(lines[i].parsed for i in (9, 10, 11, 12, 18, 19, 20))
    assert impl.fParsedCount == 7


def test_class_and_module_scopes():
    host = make_host()
    impl = host.impl
    # Class body: the method lines are passed over, the method bodies are
    # not part of it.
    assert impl.FindTypeEquivs("self.a", "K") == []
    assert impl.FindTypeEquivs("me", "K") == []  # the pair on def m's own line
    # Module body: its own lines only; def lines and lines inside classes
    # and functions are not searched.
    assert impl.FindTypeEquivs("y", "") == ["::dict:", "::tuple:"]
    assert impl.FindTypeEquivs("x", "") == []
    assert not host.lines[19].parsed


def test_pairs_on_a_class_line_belong_to_the_enclosing_scope():
    trees = dict(TREES)
    trees["class K : pass"] = assign(name("q"), ("Dict", ()))
    host = make_host()
    host.xformer.trees = trees
    assert host.impl.FindTypeEquivs("q", "K") == []
    assert host.impl.FindTypeEquivs("q", "") == ["::dict:"]  # the class line is a module line


def test_unknown_scope_and_argument_kinds():
    host = make_host()
    impl = host.impl
    assert impl.FindTypeEquivs("y", "nothing.here") == []
    assert impl.FindTypeEquivs("y", "K.nothing") == []

    class S(str):
        pass

    with pytest.raises(TypeError, match=r"FindTypeEquivs\(\) argument 2 must be str, not S"):
        impl.FindTypeEquivs("y", S("f"))
    with pytest.raises(TypeError):
        impl.FindTypeEquivs(1, "f")
    with pytest.raises(TypeError):
        impl.FindTypeEquivs("y")
    assert impl.fActiveMethodCount == 0


def test_failures_pass_through_and_release_the_count():
    host = make_host()
    impl = host.impl
    impl.GetBodyOfScope("f").append("not a line")  # the cached body is shared
    with pytest.raises(SystemError):
        impl.FindTypeEquivs("y", "f")
    host.xformer.trees = {"y = { }": RuntimeError("transformer down")}
    with pytest.raises(RuntimeError, match="transformer down"):
        impl.FindTypeEquivs("y", "")
    assert impl.fActiveMethodCount == 0


def test_active_count_seen_by_host_during_query():
    seen = []

    def parse(tokens):
        seen.append(host.impl.fActiveMethodCount)
        return tuple(tokens)

    host = make_host(grammar=Grammar(parse))
    host.impl.FindTypeEquivs("y", "f")
    assert seen and set(seen) == {1}
    assert host.impl.fActiveMethodCount == 0


# -- GetInstanceAttributes --------------------------------------------------------

def test_instance_attributes_of_a_class():
    host = make_host()
    impl, lines = host.impl, host.lines
    got = impl.GetInstanceAttributes("K", None)
    assert got == [("a", lines[2]), ("a", lines[10]), ("a", lines[12])]
    assert all(type(t) is tuple for t in got)
    assert got[0][0] is got[1][0] is got[2][0] is host.pool["a"]
    assert impl.GetInstanceAttributes("K", ["m"]) == [("a", lines[10]), ("a", lines[12])]
    assert impl.GetInstanceAttributes("K", ("g", "t")) == []
    assert impl.GetInstanceAttributes("K", []) == []


def test_instance_attributes_of_non_classes():
    host = make_host()
    impl = host.impl
    assert impl.GetInstanceAttributes("f", None) is None
    assert impl.GetInstanceAttributes("K.m", None) is None
    assert impl.GetInstanceAttributes("", None) is None
    assert impl.GetInstanceAttributes("Nope", None) is None
    assert impl.fActiveMethodCount == 0


def test_instance_attribute_failures():
    host = make_host()
    impl = host.impl
    with pytest.raises(TypeError, match="not iterable"):
        impl.GetInstanceAttributes("K", 5)
    with pytest.raises(TypeError, match=r"GetInstanceAttributes\(\) argument 1 must be str, not bytes"):
        impl.GetInstanceAttributes(b"K", None)
    impl.GetBodyOfScope("K.m").append(3)
    with pytest.raises(SystemError):
        impl.GetInstanceAttributes("K", None)
    assert impl.fActiveMethodCount == 0


# -- FindInstAttribTypeEquivs ---------------------------------------------------

def test_instance_attribute_equivs_by_method():
    host = make_host()
    impl = host.impl
    assert impl.FindInstAttribTypeEquivs("a", "K", None) == [
        ("K.__init__", ["::dict:"]), ("K.m", ["Foo", "::tuple:"])]
    assert impl.FindInstAttribTypeEquivs("a", "K", ["m"]) == [("K.m", ["Foo", "::tuple:"])]
    assert impl.FindInstAttribTypeEquivs("a", "K", []) == []
    # Assigned in a nested function only, or nowhere: no pairs at all.
    assert impl.FindInstAttribTypeEquivs("z", "K", None) == []
    assert impl.FindInstAttribTypeEquivs("nothing", "K", None) == []
    # Any scope's def lines count as its methods; unknown scopes give [].
    assert impl.FindInstAttribTypeEquivs("a", "", None) == []
    assert impl.FindInstAttribTypeEquivs("a", "Nope", None) == []


def test_instance_attribute_equiv_failures():
    host = make_host()
    impl = host.impl
    with pytest.raises(TypeError, match="not iterable"):
        impl.FindInstAttribTypeEquivs("a", "K", 5)
    with pytest.raises(TypeError, match=r"argument 2 must be str, not int"):
        impl.FindInstAttribTypeEquivs("a", 1, None)
    impl.GetBodyOfScope("K.__init__").append(None)
    with pytest.raises(SystemError):
        impl.FindInstAttribTypeEquivs("a", "K", None)
    assert impl.fActiveMethodCount == 0


# -- references -----------------------------------------------------------------

def test_queries_do_not_leak():
    host = make_host()
    impl, lines = host.impl, host.lines
    spec = ["m", "__init__"]
    watched = [lines, spec] + lines
    assert_steady(lambda: impl.FindTypeEquivs("y", "f"), watched)
    assert_steady(lambda: impl.FindTypeEquivs("me", "K.m"), watched)
    assert_steady(lambda: impl.FindTypeEquivs("y", "nothing"), watched)
    assert_steady(lambda: impl.GetInstanceAttributes("K", spec), watched)
    assert_steady(lambda: impl.GetInstanceAttributes("Nope", spec), watched)
    assert_steady(lambda: impl.FindInstAttribTypeEquivs("a", "K", spec), watched)


def test_failing_queries_do_not_leak():
    host = make_host()
    impl, lines = host.impl, host.lines
    watched = [lines] + lines

    def expect(exc, fn, *args):
        def run():
            with pytest.raises(exc):
                fn(*args)
        return run

    assert_steady(expect(TypeError, impl.GetInstanceAttributes, "K", 5), watched)
    assert_steady(expect(TypeError, impl.FindInstAttribTypeEquivs, "a", "K", 5), watched)
    impl.GetBodyOfScope("K.m").append(3)
    impl.GetBodyOfScope("f").append(3)
    assert_steady(expect(SystemError, impl.GetInstanceAttributes, "K", None), watched)
    assert_steady(expect(SystemError, impl.FindInstAttribTypeEquivs, "a", "K", None), watched)
    assert_steady(expect(SystemError, impl.FindTypeEquivs, "y", "f"), watched)
