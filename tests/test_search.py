"""SearchForAttribs: where names are defined, by scope pattern, name pattern
and kind, handed back as objects of the host's attribute-reference class."""

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import AttribRef, Host, ModuleAnalysis, assert_steady, lines_from

C, F, A = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
IMP, FROM, COMMENT, BLANK = ll.kImportIndex, ll.kFromImportIndex, ll.kCommentIndex, ll.kBlankLineIndex
KINDS = {ll.kClassAttribKind: "class", ll.kFunctionAttribKind: "def",
         ll.kGenericAttribKind: "generic", ll.kImportedAttribKind: "import"}


def assign(target):
    """The tree of `target = 1`, keyed by the text of its tokens."""
    head, _, last = target.rpartition(".")
    node = ("Getattr", ("Name", head), last) if head else ("Name", target)
    return {" ".join(target.replace(".", " . ").split()) + " = 1": ("Assign", node, ("Const", 1))}


TREES = {"import os": ("Import", ("os",)), "from m import a , b": ("From", "m", ("a", "b")),
         "def m ( self ) : pass": ("Function", "m", ("self",)), "def inner ( ) : pass": ("Function", "inner", ()),
         "def f ( ) : pass": ("Function", "f", ())}
for name in ("x", "y", "z", "w", "self.items"):
    TREES.update(assign(name))

MODULE = [("import os", 0, IMP), ("from m import a , b", 0, FROM), ("x = 1", 0, A), ("class K :", 0, C),
          ("#note", 4, COMMENT), ("def m ( self ) :", 4, F), ("self . items = 1", 8, A), ("y = 1", 8, A),
          ("y = 1", 8, A), ("def inner ( ) :", 8, F), ("z = 1", 12, A), ("", 0, BLANK), ("w = 1", 4, A),
          ("def f ( ) :", 0, F), ("x = 1", 4, A), ("class Kx :", 0, C)]

KMY = ("generic", "K.m.y")
EVERYTHING = [("import", "os"), ("import", "a"), ("import", "b"), ("generic", "x"), ("class", "K"), ("def", "K.m"),
              ("generic", "K.m.self.items"), KMY, KMY, ("def", "K.m.inner"), ("generic", "K.m.inner.z"),
              ("generic", "K.w"), ("def", "f"), ("generic", "f.x"), ("class", "Kx")]
IN_K = EVERYTHING[5:12]


def module_host(spec=MODULE, trees=TREES, **kw):
    host = Host(trees=trees, **kw)
    host.install(lines_from(spec))
    return host


def hits(refs):
    return [(KINDS[r.fKind], r.fFullName) for r in refs]


@pytest.mark.parametrize("options,expected", [
    ({}, EVERYTHING),
    ({"find_all": 0}, EVERYTHING[:8] + EVERYTHING[9:]),  # first per scope and name
    ({"update": 0}, [h for h in EVERYTHING if h[0] in ("class", "def")]),  # names from tokens only
    ({"update": False, "local_name": "x"}, []),
    # an exact name is looked up in the name cache
    ({"local_name": "y"}, [KMY] * 2),
    ({"local_name": "y", "find_all": 0}, [KMY]),
    ({"local_name": "x"}, [("generic", "x"), ("generic", "f.x")]),
    ({"local_name": "x", "find_all": 0}, [("generic", "x")]),  # the first defining line only
    ({"local_name": "nothing"}, []),
    # an exact scope searches its body only; a star scope scans the module
    ({"scope_name": "K.m"}, [("generic", "K.m.self.items"), KMY, KMY, ("def", "K.m.inner")]),
    ({"scope_name": "K.m", "local_name": "y"}, [KMY] * 2),
    ({"scope_name": ""}, [h for h in EVERYTHING if "." not in h[1]]),
    ({"scope_name": "Nope"}, []),
    ({"scope_name": "K.nope", "local_name": "y"}, []),
    ({"scope_name": "K*"}, IN_K),
    ({"scope_name": "*inner"}, [("generic", "K.m.inner.z")]),
    ({"simple_names_valid": 0}, [("generic", "K.m.self.items")]),
    ({"dotted_names_valid": 0}, [h for h in EVERYTHING if h[1] != "K.m.self.items"]),
    ({"simple_names_valid": 0, "dotted_names_valid": 0}, []),
    ({"valid_kinds": ()}, []),
    ({"valid_kinds": [ll.kClassAttribKind]}, [("class", "K"), ("class", "Kx")]),
    ({"valid_kinds": (ll.kImportedAttribKind, ll.kFunctionAttribKind)},
     [h for h in EVERYTHING if h[0] in ("import", "def")]),
])
def test_options(options, expected):
    host = module_host()
    assert hits(host.impl.SearchForAttribs(options)) == expected
    assert host.impl.fActiveMethodCount == 0


def test_attribute_references():
    host = module_host()
    lines = host.lines
    by_name = {r.fFullName: r for r in host.impl.SearchForAttribs({})}
    assert all(r.fModule is host.mod for r in by_name.values())
    assert (by_name["x"].fLocalName, by_name["x"].fLogical, by_name["x"].fImportRef) == ("x", lines[2], None)
    assert by_name["K.m"].fLocalName == "m" and by_name["K.m.self.items"].fLocalName == "self.items"
    # each import hit carries the entry tuple that yielded it
    assert by_name["a"].fImportRef == ("a", None, "a") and by_name["a"].fImportRef is lines[1].objs[0]
    assert by_name["b"].fImportRef is lines[1].objs[1] and by_name["os"].fImportRef is lines[0].objs[0]
    for options in ({"find_all": 0}, {"local_name": "y", "find_all": 0}):
        assert [r.fLogical for r in host.impl.SearchForAttribs(options) if r.fFullName == "K.m.y"] == [lines[7]]


def test_update_step():
    host = module_host()
    host.impl.SearchForAttribs({})
    host.impl.SearchForAttribs({})
    assert host.mod.calls.count("UpdateFromCache") == 1
    host.impl.LogicalCacheNeedsUpdate()
    host.impl.SearchForAttribs({"local_name": "x"})
    assert host.mod.calls.count("UpdateFromCache") == 2 and all(ln.parsed for ln in host.lines)
    host = module_host()
    host.impl.SearchForAttribs({"update": 0})
    assert "UpdateFromCache" not in host.mod.calls and not any(ln.parsed for ln in host.lines)

    class Failing(ModuleAnalysis):
        def UpdateFromCache(self):
            self.calls.append("UpdateFromCache")
            raise RuntimeError("cache busy")

    host = module_host(mod=Failing())
    for _ in range(2):  # the flag stays set after a failure
        with pytest.raises(RuntimeError, match="cache busy"):
            host.impl.SearchForAttribs({})
    assert host.mod.calls.count("UpdateFromCache") == 2 and host.impl.fActiveMethodCount == 0


NAMES = ["Foo", "Foo.bar", "Name", "myName", "a", "aa", "aXa", "xFoo"]


@pytest.mark.parametrize("pattern,found", [
    ("Foo*", ["Foo", "Foo.bar"]), ("*Name", ["Name", "myName"]),
    ("a*a", ["aa", "aXa"]),  # lead and trail may not overlap in "a"
    ("F*o*", []),  # only the first star is a wildcard
    ("Foo", ["Foo"]), ("*", NAMES),
])
def test_name_patterns(pattern, found):
    trees = {k: v for n in NAMES for k, v in assign(n).items()}
    host = module_host([(text, 0, A) for text in trees], trees)
    assert [r.fLocalName for r in host.impl.SearchForAttribs({"local_name": pattern})] == found


def test_deep_nesting_grows_the_scope_stack():
    depth = 14
    spec = [(f"def d{i} ( ) :", 4 * i, F) for i in range(depth)]
    trees = {f"def d{i} ( ) : pass": ("Function", f"d{i}", ()) for i in range(depth)}
    # a class line with a single token names no scope and yields no hit
    spec += [("v = 1", 4 * depth, A), ("def e ( ) :", 4 * (depth - 2), F), ("class", 0, C), ("u = 1", 0, A)]
    trees.update({**assign("v"), **assign("u"), "def e ( ) : pass": ("Function", "e", ())})
    names = [r.fFullName for r in module_host(spec, trees).impl.SearchForAttribs({})]
    chains = [".".join(f"d{i}" for i in range(n + 1)) for n in range(depth)]
    assert names == chains + [chains[-1] + ".v", chains[depth - 3] + ".e", "u"]


class BadTruth:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize("options,exc,msg", [
    ({"scope_name": b"K"}, TypeError, "scope_name must be a string"),
    ({"local_name": None}, TypeError, "local_name must be a string"),
    ({"find_all": BadTruth()}, ZeroDivisionError, None),
    ({"valid_kinds": 5}, TypeError, None),
    ([], TypeError, r"SearchForAttribs\(\) argument 1 must be dict"),
    (None, AssertionError, "logical_list is NULL"),  # no list installed
])
def test_option_errors(options, exc, msg):
    impl = module_host().impl if options is not None else Host().impl
    with pytest.raises(exc, match=msg):
        impl.SearchForAttribs(options if options is not None else {})
    assert impl.fActiveMethodCount == 0


class Refusing(AttribRef):
    def __init__(self, *args):
        if args[1] == "w":
            raise LookupError("refused")
        super().__init__(*args)


def host_with_class(attribref_class):
    host = Host(trees=TREES)
    host.impl = pysource_impl.CreatePySourceImpl(host.mod, host.grammar, host.xformer, host.pool, attribref_class, ll)
    host.install(lines_from(MODULE))
    return host


def test_attribref_class_runs_inside_the_search():
    host = host_with_class(Refusing)
    with pytest.raises(LookupError, match="refused"):
        host.impl.SearchForAttribs({})
    assert host.impl.fActiveMethodCount == 0
    assert len(host.impl.SearchForAttribs({"local_name": "y"})) == 2

    class Meddling(AttribRef):  # changes the list being searched
        def __init__(self, *args):
            super().__init__(*args)
            seen.append(host.impl.fActiveMethodCount)
            del host.lines[:]  # the analyzer's list, shared with the host
            host.impl.ClearAnalysis(args[4])

    seen = []
    host = host_with_class(Meddling)
    assert hits(host.impl.SearchForAttribs({})) == [("import", "os")] and seen == [1]


def test_no_leaks_on_success_and_failure():
    host = module_host()
    impl = host.impl
    refusing = host_with_class(Refusing).impl
    star, exact, bad = {"scope_name": "K*", "find_all": 0}, {"local_name": "y", "scope_name": "K.m"}, {"scope_name": 1}

    def cycle():
        impl.SearchForAttribs(star)
        impl.SearchForAttribs(exact)
        with pytest.raises(TypeError):
            impl.SearchForAttribs(bad)
        assert impl.SearchForAttribs({"scope_name": "Nope"}) == []
        with pytest.raises(LookupError):
            refusing.SearchForAttribs(star)

    assert_steady(cycle, star, bad, exact, AttribRef, host.mod, host.lines[7])
