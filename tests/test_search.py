"""SearchForAttribs: where names are defined, by scope pattern, name pattern
and kind, handed back as objects of the host's attribute-reference class."""

import gc
import sys

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import AttribRef, Host, ModuleAnalysis, lines_from

C, F, A = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
IMP, FROM, COMMENT, BLANK = ll.kImportIndex, ll.kFromImportIndex, ll.kCommentIndex, ll.kBlankLineIndex
KINDS = {ll.kClassAttribKind: "class", ll.kFunctionAttribKind: "def",
         ll.kGenericAttribKind: "generic", ll.kImportedAttribKind: "import"}


def assign_text(target):
    """The key of `target = 1`: its tokens joined by blanks."""
    return " ".join(target.replace(".", " . ").split()) + " = 1"


def assign(target):
    if "." in target:
        head, attr = target.rsplit(".", 1)
        return ("Assign", ("Getattr", ("Name", head), attr), ("Const", 1))
    return ("Assign", ("Name", target), ("Const", 1))


TREES = {
    "import os": ("Import", ("os",)),
    "from m import a , b": ("From", "m", ("a", "b")),
    "class K : pass": ("Class", "K", ()),
    "class Kx : pass": ("Class", "Kx", ()),
    "def m ( self ) : pass": ("Function", "m", ("self",)),
    "def inner ( ) : pass": ("Function", "inner", ()),
    "def f ( ) : pass": ("Function", "f", ()),
}
TREES.update({assign_text(n): assign(n) for n in ("x", "y", "z", "w", "self.items")})

MODULE = [
    ("import os", 0, IMP),              # 0
    ("from m import a , b", 0, FROM),   # 1
    ("x = 1", 0, A),                    # 2
    ("class K :", 0, C),                # 3
    ("#note", 4, COMMENT),              # 4
    ("def m ( self ) :", 4, F),         # 5
    ("self . items = 1", 8, A),         # 6
    ("y = 1", 8, A),                    # 7
    ("y = 1", 8, A),                    # 8
    ("def inner ( ) :", 8, F),          # 9
    ("z = 1", 12, A),                   # 10
    ("", 0, BLANK),                     # 11
    ("w = 1", 4, A),                    # 12
    ("def f ( ) :", 0, F),              # 13
    ("x = 1", 4, A),                    # 14
    ("class Kx :", 0, C),               # 15
]

EVERYTHING = [
    ("import", "os"), ("import", "a"), ("import", "b"), ("generic", "x"), ("class", "K"),
    ("def", "K.m"), ("generic", "K.m.self.items"), ("generic", "K.m.y"), ("generic", "K.m.y"),
    ("def", "K.m.inner"), ("generic", "K.m.inner.z"), ("generic", "K.w"), ("def", "f"),
    ("generic", "f.x"), ("class", "Kx"),
]


def module_host(spec=MODULE, trees=TREES, **kw):
    host = Host(trees=trees, **kw)
    host.install(lines_from(spec))
    return host


def hits(refs):
    return [(KINDS[r.fKind], r.fFullName) for r in refs]


def live_objects():
    gc.collect()
    return len(gc.get_objects())


# -- what is found --------------------------------------------------------------

def test_empty_options_find_every_definition_with_full_names():
    host = module_host()
    refs = host.impl.SearchForAttribs({})
    assert hits(refs) == EVERYTHING
    lines = host.lines
    by_name = {r.fFullName: r for r in refs}
    assert all(r.fModule is host.mod for r in refs)
    assert by_name["x"].fLocalName == "x" and by_name["x"].fLogical is lines[2]
    assert by_name["K.m"].fLocalName == "m" and by_name["K.m"].fImportRef is None
    assert by_name["K.m.self.items"].fLocalName == "self.items"
    # each import hit carries the entry tuple that yielded it
    a, b = by_name["a"], by_name["b"]
    assert a.fImportRef == ("a", None, "a") and b.fImportRef == ("b", None, "b")
    assert a.fImportRef is lines[1].objs[0] and b.fImportRef is lines[1].objs[1]
    assert by_name["os"].fImportRef is lines[0].objs[0]
    assert host.impl.fActiveMethodCount == 0


def test_update_step_refreshes_once_and_analyses():
    host = module_host()
    host.impl.SearchForAttribs({})
    host.impl.SearchForAttribs({})
    assert host.mod.calls.count("UpdateFromCache") == 1
    host.impl.LogicalCacheNeedsUpdate()
    host.impl.SearchForAttribs({"local_name": "x"})
    assert host.mod.calls.count("UpdateFromCache") == 2
    assert all(ln.parsed for ln in host.lines)

    class Failing(ModuleAnalysis):
        def UpdateFromCache(self):
            self.calls.append("UpdateFromCache")
            raise RuntimeError("cache busy")

    host = module_host(mod=Failing())
    for _ in range(2):  # the flag stays set after a failure
        with pytest.raises(RuntimeError, match="cache busy"):
            host.impl.SearchForAttribs({})
    assert host.mod.calls.count("UpdateFromCache") == 2
    assert host.impl.fActiveMethodCount == 0


def test_without_update_only_token_names_are_found():
    host = module_host()
    refs = host.impl.SearchForAttribs({"update": 0})
    assert hits(refs) == [h for h in EVERYTHING if h[0] in ("class", "def")]
    assert host.impl.SearchForAttribs({"update": False, "local_name": "x"}) == []
    assert "UpdateFromCache" not in host.mod.calls
    assert not any(ln.parsed for ln in host.lines)


# -- find_all and exact names ---------------------------------------------------

def test_exact_name_uses_the_name_cache():
    host = module_host()
    assert hits(host.impl.SearchForAttribs({"local_name": "y"})) == [("generic", "K.m.y")] * 2
    first = host.impl.SearchForAttribs({"local_name": "y", "find_all": 0})
    assert hits(first) == [("generic", "K.m.y")] and first[0].fLogical is host.lines[7]
    # x is defined at module level and in f: the first defining line only
    assert hits(host.impl.SearchForAttribs({"local_name": "x", "find_all": 0})) == [("generic", "x")]
    assert hits(host.impl.SearchForAttribs({"local_name": "x"})) == [("generic", "x"), ("generic", "f.x")]
    assert host.impl.SearchForAttribs({"local_name": "nothing"}) == []


def test_wildcard_without_find_all_keeps_first_per_scope_and_name():
    host = module_host()
    refs = host.impl.SearchForAttribs({"find_all": 0})
    expected = list(EVERYTHING)
    expected.remove(("generic", "K.m.y"))
    assert hits(refs) == expected
    assert [r.fLogical for r in refs if r.fFullName == "K.m.y"] == [host.lines[7]]


# -- scope patterns ---------------------------------------------------------------

def test_exact_scope_searches_its_body_only():
    host = module_host()
    assert hits(host.impl.SearchForAttribs({"scope_name": "K.m"})) == [
        ("generic", "K.m.self.items"), ("generic", "K.m.y"), ("generic", "K.m.y"), ("def", "K.m.inner")]
    assert hits(host.impl.SearchForAttribs({"scope_name": "K.m", "local_name": "y"})) == [("generic", "K.m.y")] * 2
    assert hits(host.impl.SearchForAttribs({"scope_name": ""})) == [
        ("import", "os"), ("import", "a"), ("import", "b"), ("generic", "x"), ("class", "K"),
        ("def", "f"), ("class", "Kx")]
    for options in ({"scope_name": "Nope"}, {"scope_name": "K.nope", "local_name": "y"}):
        assert host.impl.SearchForAttribs(options) == []


def test_scope_pattern_with_star_scans_the_module():
    host = module_host()
    assert hits(host.impl.SearchForAttribs({"scope_name": "K*"})) == [
        ("def", "K.m"), ("generic", "K.m.self.items"), ("generic", "K.m.y"), ("generic", "K.m.y"),
        ("def", "K.m.inner"), ("generic", "K.m.inner.z"), ("generic", "K.w")]
    # a star scope is not a literal scope: with update the lines are analysed by the scan
    fresh = module_host()
    assert len(fresh.impl.SearchForAttribs({"scope_name": "*inner"})) == 1


def test_simple_and_dotted_name_filters():
    host = module_host()
    dotted = host.impl.SearchForAttribs({"simple_names_valid": 0})
    assert hits(dotted) == [("generic", "K.m.self.items")]
    simple = host.impl.SearchForAttribs({"dotted_names_valid": 0})
    assert hits(simple) == [h for h in EVERYTHING if h[1] != "K.m.self.items"]
    assert host.impl.SearchForAttribs({"simple_names_valid": 0, "dotted_names_valid": 0}) == []


def test_valid_kinds():
    host = module_host()
    assert host.impl.SearchForAttribs({"valid_kinds": ()}) == []
    assert hits(host.impl.SearchForAttribs({"valid_kinds": [ll.kClassAttribKind]})) == [
        ("class", "K"), ("class", "Kx")]
    got = hits(host.impl.SearchForAttribs({"valid_kinds": (ll.kImportedAttribKind, ll.kFunctionAttribKind)}))
    assert got == [h for h in EVERYTHING if h[0] in ("import", "def")]


def test_name_patterns():
    names = ["Foo", "Foo.bar", "Name", "myName", "a", "aa", "aXa", "xFoo"]
    host = module_host([(assign_text(n), 0, A) for n in names], {assign_text(n): assign(n) for n in names})

    def local(pattern):
        return [r.fLocalName for r in host.impl.SearchForAttribs({"local_name": pattern})]

    assert local("Foo*") == ["Foo", "Foo.bar"]
    assert local("*Name") == ["Name", "myName"]
    assert local("a*a") == ["aa", "aXa"]  # lead and trail may not overlap in "a"
    assert local("*") == names
    assert local("F*o*") == []  # only the first star is a wildcard
    assert local("Foo") == ["Foo"]


def test_deep_nesting_grows_the_scope_stack():
    depth = 14
    spec, trees = [], {}
    for i in range(depth):
        spec.append((f"def d{i} ( ) :", 4 * i, F))
        trees[f"def d{i} ( ) : pass"] = ("Function", f"d{i}", ())
    # a class line with a single token names no scope and yields no hit
    spec += [("v = 1", 4 * depth, A), ("def e ( ) :", 4 * (depth - 2), F), ("class", 0, C), ("u = 1", 0, A)]
    trees.update({"v = 1": assign("v"), "u = 1": assign("u"), "def e ( ) : pass": ("Function", "e", ())})
    host = module_host(spec, trees)
    names = [r.fFullName for r in host.impl.SearchForAttribs({})]
    chain = ".".join(f"d{i}" for i in range(depth))
    assert names[depth] == chain + ".v"
    assert names[depth + 1] == ".".join(f"d{i}" for i in range(depth - 2)) + ".e"
    assert names[-1] == "u"
    assert names[:depth] == [".".join(f"d{i}" for i in range(n + 1)) for n in range(depth)]


# -- failures -------------------------------------------------------------------

def test_option_errors():
    host = module_host()
    impl = host.impl

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError("no truth")

    with pytest.raises(TypeError, match="scope_name must be a string"):
        impl.SearchForAttribs({"scope_name": b"K"})
    with pytest.raises(TypeError, match="local_name must be a string"):
        impl.SearchForAttribs({"local_name": None})
    with pytest.raises(ZeroDivisionError):
        impl.SearchForAttribs({"find_all": BadTruth()})
    with pytest.raises(TypeError):
        impl.SearchForAttribs({"valid_kinds": 5})
    with pytest.raises(TypeError, match=r"SearchForAttribs\(\) argument 1 must be dict"):
        impl.SearchForAttribs([])
    with pytest.raises(AssertionError, match="logical_list is NULL"):
        Host().impl.SearchForAttribs({})
    assert impl.fActiveMethodCount == 0


class Refusing(AttribRef):
    def __init__(self, *args):
        if args[1] == "w":
            raise LookupError("refused")
        super().__init__(*args)


def host_with_class(attribref_class):
    host = Host(trees=TREES)
    host.impl = pysource_impl.CreatePySourceImpl(host.mod, host.grammar, host.xformer, host.pool, attribref_class,
                                                 ll)
    host.install(lines_from(MODULE))
    return host


def test_attribref_class_failure_passes_through():
    host = host_with_class(Refusing)
    with pytest.raises(LookupError, match="refused"):
        host.impl.SearchForAttribs({})
    assert host.impl.fActiveMethodCount == 0
    assert len(host.impl.SearchForAttribs({"local_name": "y"})) == 2


def test_host_code_may_change_the_list_during_the_search():
    class Meddling(AttribRef):
        def __init__(self, *args):
            super().__init__(*args)
            seen.append(host.impl.fActiveMethodCount)
            del host.lines[:]  # the analyzer's list, shared with the host
            host.impl.ClearAnalysis(args[4])

    seen = []
    host = host_with_class(Meddling)
    refs = host.impl.SearchForAttribs({})
    assert hits(refs) == [("import", "os")] and seen == [1]


# -- references -------------------------------------------------------------------

def test_no_leaks_on_success_and_failure():
    host = module_host()
    impl = host.impl
    refusing = host_with_class(Refusing).impl
    options = {"scope_name": "K*", "find_all": 0}
    bad = {"scope_name": 1}
    exact = {"local_name": "y", "scope_name": "K.m"}
    for opts in (options, exact):
        impl.SearchForAttribs(opts)
    with pytest.raises(LookupError):
        refusing.SearchForAttribs(options)
    watched = [host.mod, options, bad, exact, AttribRef, host.lines[7]]
    before = live_objects()
    counts = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        impl.SearchForAttribs(options)
        impl.SearchForAttribs(exact)
        with pytest.raises(TypeError):
            impl.SearchForAttribs(bad)
        assert impl.SearchForAttribs({"scope_name": "Nope"}) == []
        with pytest.raises(LookupError):
            refusing.SearchForAttribs(options)
    assert live_objects() - before <= 2
    assert [sys.getrefcount(o) for o in watched] == counts
