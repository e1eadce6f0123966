"""The tree walker and the standard visitors: what analysing a line records
on it for assignments, loops, returns, imports, definitions and isinstance
calls, and how the walker dispatches and descends."""

import gc
import sys
import types

import logicalline as ll
import pytest

from hostobjects import Attrib, Factory, Host, ModuleAnalysis, line, lines_from

C, F, AS = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
N = lambda name: ("Name", name)  # noqa: E731
X, Y = N("x"), N("y")


def attr(expr, name):
    return ("Getattr", expr, name)


def call(func, *args):
    return ("CallFunc", func, args)


def isinstance_call(*args):
    return call(N("isinstance"), *args)


def analyze(tree, text="x", kind=AS, host=None, **host_kw):
    host = host or Host(trees=lambda parse_tree: tree, **host_kw)
    ln = line(text, type=kind)
    host.install([ln])
    host.impl.AnalyzeLogical(ln)
    return ln


def facts(tree, **kw):
    ln = analyze(tree, **kw)
    return ln.objs, ln.type_equivs


class Node:
    """An object-form tree node."""

    def __init__(self, children=None):
        if children is not None:
            self._children = children


# -- assignments, loops, returns ------------------------------------------------

@pytest.mark.parametrize("tree,objs,equivs", [
    (("Assign", X, ("Dict", ())), ("x",), (("x", "::dict:"),)),
    (("Assign", attr(N("self"), "items"), ("List", [])), ("self.items",), (("self.items", "::list:"),)),
    (("Assign", N("t"), ("Tuple", (("Const", 1), ("Const", 2)))), ("t",), (("t", "::tuple:"),)),
    (("Assign", N("s"), ("Const", "abc")), ("s",), (("s", "::string:"),)),
    (("Assign", N("n"), ("Const", 1)), ("n",), ()),
    (("Assign", N("a"), attr(N("b"), "c")), ("a",), (("a", "b.c"),)),
    (("Assign", N("a"), call(attr(N("Foo"), "Bar"), ("Const", 1), ("Const", 2))), ("a",),
     (("a", "Foo.Bar(1, 2)"),)),
    (("Assign", N("a"), ("Subscript", call(N("f")), "OP_APPLY", (("Const", 0),))), ("a",), ()),
    (("Assign", N("a"), call(call(N("f")))), ("a",), ()),
    (("Assign", ("Tuple", (N("a"), ("Tuple", [N("b"), attr(N("c"), "d")]))), N("value")),
     ("a", "b", "c.d"), ()),
    (("Assign", ("Subscript", N("a"), "OP_ASSIGN", (("Const", 0),)), ("Const", 1)), (), ()),
    (("Assign", None, ("Dict", ())), (), ()),
    (("Assign", ("Tuple", ()), N("v")), (), ()),
    (("Assign", ("List", [N("a")]), N("v")), (), ()),
    (("Assign", "s", N("v")), ("s",), (("s", "v"),)),  # a bare string target is a dotted name
    (("Assign", X, "v"), ("x",), (("x", "v"),)),
    (("Assign", X, ("Getattr",)), ("x",), ()),  # unreadable Getattr: not dotted, no error
    (("For", N("i"), call(N("range"), ("Const", 3))), ("i",), ()),
    (("For", N("k"), ("Dict", ())), ("k",), ()),
    (("For", ("Tuple", (N("a"), attr(N("self"), "b"))), N("items")), ("a", "self.b"), ()),
    (("Return", attr(N("self"), "x")), (), (("return", "self.x"),)),
    (("Return", call(attr(N("m"), "f"), X)), (), (("return", "m.f(x)"),)),
    (("Return", ("List", ())), (), (("return", "::list:"),)),
    (("Return", None), (), ()),
    (("Return", ("Const", 1)), (), ()),
])
def test_binding_statements(tree, objs, equivs):
    assert facts(tree) == (objs, equivs)


def test_recorded_texts_are_shared():
    host = Host(trees=lambda pt: ("Stmts", [("Assign", N("a"), attr(N("b"), "c")), ("Return", attr(N("b"), "c"))]))
    one, two = line("x"), line("y")
    host.install([one, two])
    host.impl.AnalyzeLogical(one)
    host.impl.AnalyzeLogical(two)
    texts = [pair[1] for ln in (one, two) for pair in ln.type_equivs]
    assert all(t is texts[0] for t in texts) and host.pool["b.c"] is texts[0]
    returns = [pair[0] for ln in (one, two) for pair in ln.type_equivs if pair[0] == "return"]
    assert returns[0] is returns[1]


def test_accessor_failures_end_the_walk():
    with pytest.raises(IndexError):
        analyze(("Assign", X))
    with pytest.raises(IndexError):
        analyze(("Return",))
    with pytest.raises(SystemError):
        analyze(("Assign", ("Tuple", None), X))
    # Entries made before the failure stay on the line.
    host = Host(trees=lambda pt: ("Assign", ("Tuple", (N("a"), ("Getattr", N("b")))), X))
    ln = line("x")
    host.install([ln])
    with pytest.raises(ValueError, match="Unknown AST node type"):
        host.impl.AnalyzeLogical(ln)
    assert ln.objs == ("a",)


# -- walker descent through the standard visitors --------------------------------

def test_descent_into_children():
    objs, equivs = facts(("Assign", X, isinstance_call(Y, N("T"))))
    assert objs == ("x",) and equivs == (("x", "isinstance(y, T)"), ("y", "T:"))
    # Definitions and imports stop the walk at their node.
    assert facts(("Function", "f", ("a",), (), 0, None, isinstance_call(Y, N("T")))) == (("a",), ())
    assert facts(("Class", "C", (isinstance_call(N("a"), N("b")),))) == (("isinstance(a, b)",), ())
    assert facts(("Import", (), isinstance_call(Y, N("T")))) == ((), ())


def test_plain_tuples_lists_and_instances_are_descended():
    assign = lambda n: ("Assign", N(n), ("Const", 0))  # noqa: E731
    tree = ((assign("a"), assign("b")), [assign("c"), Node((assign("d"),))], Node([Node([assign("e")])]),
            Node({"k": assign("z")}), Node(assign("z")), "str", None, (), 5)
    assert facts(tree) == (("a", "b", "c", "d", "e"), ())


@pytest.mark.parametrize("tree", ["s", (), 5, [], Node(())])
def test_leaves_are_ignored(tree):
    host = Host(trees=lambda pt: tree)
    ln = analyze(None, host=host)
    assert ln.objs == () and ln.parsed and host.impl.fParsedCount == 1


def test_instance_without_children_fails_the_walk():
    with pytest.raises(AttributeError, match="_children"):
        analyze([("Assign", X, ("Dict", ())), Node()])


# -- the walker with other visitors ------------------------------------------------

def std_walker(host, lines):
    """Installs `lines` and returns the analyzer's walk procedure and its visit
    dictionary.  Both are internal; they are found as the new objects of their
    kind in the collector's list."""
    def current():
        gc.collect()
        objs = gc.get_objects()
        walks = {id(o): o for o in objs
                 if type(o) is types.BuiltinMethodType and o.__name__ == "Walk"
                 and type(o.__self__).__name__ == "NodeWalker"}
        dicts = {id(o): o for o in objs
                 if type(o) is dict and getattr(o.get("Assign"), "__name__", None) == "VisitAssign"}
        return walks, dicts
    walks, dicts = current()
    host.install(lines)
    new_walks, new_dicts = current()
    (walk,) = [o for i, o in new_walks.items() if i not in walks]
    (visit_dict,) = [o for i, o in new_dicts.items() if i not in dicts]
    return walk, visit_dict


class Recorder:
    def __init__(self, result):
        self.result = result
        self.calls = []

    def __call__(self, *args):
        self.calls.append(args)
        return self.result


def test_standard_walker_and_visitor_tables():
    host = Host()
    walk, visit_dict = std_walker(host, [line("x")])
    assert list(visit_dict) == ["CallFunc", "Return", "Assign", "For", "Function", "Class", "Import", "From"]
    visitors = visit_dict["Assign"].__self__
    assert type(visitors).__name__ == "StdVisitors" and type(walk.__self__).__name__ == "NodeWalker"
    assert walk.__doc__ == ""
    docs = {name: getattr(visitors, name).__doc__ for name in vars(type(visitors)) if name.startswith("Visit")}
    assert list(docs) == ["VisitReturn", "VisitAssign", "VisitFor", "VisitFunctionDef", "VisitClassDef",
                          "VisitCallFunc", "VisitImport", "VisitFromImport"]
    assert docs["VisitCallFunc"] == "Visit a funtion call node.  Finds all isinstance calls. "
    assert docs["VisitFunctionDef"] == docs["VisitClassDef"] == ""
    assert docs["VisitImport"] == docs["VisitFromImport"] == "Visit an import node."
    assert docs["VisitReturn"] == ("Visit a return node.  Creates a type equiv for the name 'return' to the "
                                   "value returned.")
    assert docs["VisitFor"].startswith("Visit an For node.  Creates attribute entries for each target")
    assert docs["VisitAssign"].endswith("builtin instance constructor (e.g. '{}').")
    with pytest.raises(TypeError):
        type(visitors)()
    with pytest.raises(TypeError):
        type(walk.__self__)()


def test_visitor_calling_convention():
    host = Host()
    ln = line("x")
    walk, visit_dict = std_walker(host, [ln])
    node, pair = ("Assign", X, ("Dict", ())), (ln, host.mod)
    for visitor in visit_dict.values():
        for args in [(node,), (node, pair, 1), (node, [ln, host.mod]), (node, (ln,)), (node, (ln, host.mod, 1))]:
            with pytest.raises(TypeError, match="Visitor functions require 2 arguments"):
                visitor(*args)
    assert visit_dict["Assign"](node, pair) == 1 and ln.objs == ("x",)
    assert visit_dict["Class"](("Class", "C", ()), pair) == 0
    assert type(visit_dict["Assign"](node, pair)) is int
    with pytest.raises(TypeError, match="expected a logical line"):
        visit_dict["Assign"](node, (None, host.mod))


def test_walk_dispatch_and_descent_rules():
    host = Host()
    walk, visit_dict = std_walker(host, [line("x")])
    visit_dict.clear()
    ctx = object()
    leaf = ("L", "leaf")
    node = ("N", leaf, [leaf])
    for result, descends in [(1, True), (0, False), (None, False), ([], False), (False, False), ("", False),
                             ("go", True), ([0], True), (True, True), (2, True)]:
        rec, leaves = Recorder(result), Recorder(1)
        visit_dict.update(N=rec, L=leaves)
        assert walk(node, ctx) is None
        assert rec.calls == [(node, ctx)]
        assert len(leaves.calls) == (2 if descends else 0)
    leaves = Recorder(1)
    visit_dict.update(L=leaves)
    walk(((leaf, "s"), [leaf, None, 5], (), "L"), ctx)
    assert len(leaves.calls) == 2


def test_walk_of_instances_keys_on_the_class():
    host = Host()
    walk, visit_dict = std_walker(host, [line("x")])
    visit_dict.clear()

    class Sub(Node):
        pass

    class Guarded:
        @property
        def _children(self):
            raise AssertionError("children read after a false visitor result")

    rec, leaves = Recorder(1), Recorder(1)
    visit_dict.update({Node: rec, "L": leaves, Guarded: Recorder(0)})
    inner = Sub((("L", 1),))
    outer = Node([inner, Guarded()])
    walk(outer, None)
    assert rec.calls == [(outer, None)]  # a subclass instance is not keyed by its base
    assert len(leaves.calls) == 1
    visit_dict["Node"] = Recorder(0)  # the class name is no key
    walk(Node((("L", 2),)), None)
    assert len(leaves.calls) == 2


def test_walk_failures():
    host = Host()
    walk, visit_dict = std_walker(host, [line("x")])
    visit_dict.clear()

    class BadTruth:
        def __bool__(self):
            raise ZeroDivisionError("truth")

    def failing(node, ctx):
        raise KeyError("visitor")

    after = Recorder(1)
    visit_dict.update(T=lambda n, c: BadTruth(), K=failing, A=after)
    with pytest.raises(ZeroDivisionError):
        walk([("T",), ("A",)], None)
    with pytest.raises(KeyError):
        walk([("K",), ("A",)], None)
    assert after.calls == []
    with pytest.raises(TypeError, match=r"Walk\(\)"):
        walk(1)
    with pytest.raises(RecursionError):
        deep = ("A",)
        for _ in range(100000):
            deep = ("A", deep)
        walk(deep, None)


def test_walk_reads_a_list_length_once():
    host = Host()
    walk, visit_dict = std_walker(host, [line("x")])
    visit_dict.clear()
    tree = []

    def grow(node, ctx):
        tree.append(("G",))
        return 1

    visit_dict["G"] = grow
    tree.append(("G",))
    walk(tree, None)
    assert len(tree) == 2


# -- imports -----------------------------------------------------------------------

def import_host(tree, modules=None, **mod_kw):
    factory = Factory(modules or {})
    mod = ModuleAnalysis("own", factory=factory, package_dir="/pkg", **mod_kw)
    host = Host(trees=lambda pt: tree, mod=mod)
    return host, factory


def test_plain_imports():
    ma = ModuleAnalysis("a")
    host, factory = import_host(("Import", ("a", "a.b.c", ("a.b", "x"), ("q.r", "y", "extra"))), {"a": ma})
    ln = analyze(None, host=host)
    assert ln.objs == (("a", ma, ""), ("a.b.c", ma, "b.c"), ("x", ma, "b"), ("y", None, "r"))
    assert factory.lookups == [("a", "/pkg")] * 3 + [("q", "/pkg")]
    assert ln.objs[0][2] is host.pool[""]
    assert host.pool["b.c"] is ln.objs[1][2]


def test_import_of_the_module_itself_records_nothing():
    host, factory = import_host(("Import", ("os", "sys")))
    factory.modules["os"] = host.mod
    assert analyze(None, host=host).objs == (("sys", None, ""),)


def test_import_errors():
    for ids, exc, msg in [(("a", 5), TypeError, "Imported id must be a string or a tuple with 2"),
                          ((("a",),), TypeError, "Imported id must be a string or a tuple with 2"),
                          (((5, "x"),), TypeError, ""), (["a"], SystemError, "")]:
        host, _ = import_host(("Import", ids))
        ln = line("x")
        host.install([ln])
        with pytest.raises(exc, match=msg):
            host.impl.AnalyzeLogical(ln)
    assert ln.objs == ()
    host, _ = import_host(("Import", ("a", 5)))
    ln = line("x")
    host.install([ln])
    with pytest.raises(TypeError):
        host.impl.AnalyzeLogical(ln)
    assert ln.objs == (("a", None, ""),)
    mod = ModuleAnalysis()
    del mod.fAnalysisFactory
    with pytest.raises(AttributeError, match="fAnalysisFactory"):
        analyze(("From", "m", ("x",)), mod=mod)
    with pytest.raises(SystemError):
        analyze(("From", "m", ["x"]))


def test_from_imports():
    mn = ModuleAnalysis("m.n")
    host, factory = import_host(("From", "m.n", ("x", 5, "y")), {"m.n": mn})
    assert analyze(None, host=host).objs == (("x", mn, "x"), ("y", mn, "y"))
    assert factory.lookups == [("m.n", "/pkg")]
    assert facts(("From", "m", ("x",))) == ((("x", None, "x"),), ())
    host, factory = import_host(("From", "own", ("x",)))
    factory.modules["own"] = host.mod
    assert analyze(None, host=host).objs == (("x", host.mod, "x"),)


def star_host(other, names=("*",), **mod_kw):
    host, factory = import_host(("From", "m", names), {"m": other} if other is not None else {}, **mod_kw)
    log = host.mod.calls
    if other is not None:
        other.calls = log  # one log shows the order across both objects
    return host, log


def test_star_import_protocol():
    other = ModuleAnalysis("m", scope_attribs=["x", "a.b", "_y", "2", "", "\u00e9", 5, "x y"])
    host, log = star_host(other)
    ln = analyze(None, host=host)
    assert ln.objs == (("x", other, "x"), ("_y", other, "_y"), ("2", other, "2"), ("", other, ""))
    assert log == ["Freeze", ("GetScopeAttributes", "", 1, 0), "IsFrozen", "Thaw"]
    assert [type(a) for a in log[1][2:]] == [int, int]
    assert ln.parsed and host.impl.fParsedCount == 1
    host, log = star_host(ModuleAnalysis("m", scope_attribs=["z"]), names=("*ignored",))
    assert analyze(None, host=host).objs[0][0] == "z"


def test_star_import_from_a_frozen_module_leaves_the_line_unanalysed():
    other = ModuleAnalysis("m", scope_attribs=["x"], frozen=True)
    host, log = star_host(other)
    ln = analyze(None, host=host)
    assert ln.objs == (("x", other, "x"),)
    assert not ln.parsed and host.impl.fParsedCount == 0
    host.impl.AnalyzeLogical(ln)
    assert log.count("Freeze") == log.count("Thaw") == 2


def test_star_import_from_unknown_module_does_not_freeze():
    host, log = star_host(None)
    assert analyze(None, host=host).objs == ()
    assert log == []


def test_star_import_with_non_sequence_attributes():
    class NoScope(ModuleAnalysis):
        def GetScopeAttributes(self, *args):
            self.calls.append("GetScopeAttributes")
            return None

    host, log = star_host(NoScope("m"))
    assert analyze(None, host=host).objs == ()
    assert log == ["Freeze", "GetScopeAttributes", "IsFrozen", "Thaw"]
    class TupleScope(ModuleAnalysis):
        def GetScopeAttributes(self, *args):
            return (Attrib("t"),)

    other = TupleScope("m")
    host, log = star_host(other)
    assert analyze(None, host=host).objs == (("t", other, "t"),)


class Boom(Exception):
    pass


class BadTruth:
    def __bool__(self):
        raise Boom("truth")


def failing_module(where):
    class Failing(ModuleAnalysis):
        def GetScopeAttributes(self, *args):
            self.calls.append("GetScopeAttributes")
            if where == "attribs":
                raise Boom(where)
            if where == "local":
                return [object()]
            return ["x"]

        def IsFrozen(self):
            self.calls.append("IsFrozen")
            if where == "frozen":
                raise Boom(where)
            return BadTruth() if where == "truth" else False

    return Failing("m")


@pytest.mark.parametrize("where,calls", [
    ("attribs", ["Freeze", "GetScopeAttributes", "Thaw"]),
    ("frozen", ["Freeze", "GetScopeAttributes", "IsFrozen", "Thaw"]),
    ("truth", ["Freeze", "GetScopeAttributes", "IsFrozen", "Thaw"]),
])
def test_star_import_thaws_on_failure(where, calls):
    host, log = star_host(failing_module(where))
    with pytest.raises(Boom):
        analyze(None, host=host)
    assert log == calls


def test_star_import_failures_around_the_protocol():
    host, log = star_host(failing_module("local"))
    with pytest.raises(AttributeError, match="fLocalName"):
        analyze(None, host=host)
    assert log == ["Freeze", "GetScopeAttributes", "IsFrozen", "Thaw"]

    class NoFreeze(ModuleAnalysis):
        def Freeze(self):
            self.calls.append("Freeze")
            raise Boom("freeze")

    host, _ = import_host(("From", "m", ("*",)), {"m": ModuleAnalysis("m")})
    host.mod.__class__ = NoFreeze
    other = host.mod.fAnalysisFactory.modules["m"]
    with pytest.raises(Boom, match="freeze"):
        analyze(None, host=host)
    assert host.mod.calls == ["Freeze"] and other.calls == []


def test_failing_thaw():
    class BadThaw(ModuleAnalysis):
        def Thaw(self):
            self.calls.append("Thaw")
            raise KeyError("thaw")

    host, _ = import_host(("From", "m", ("*",)), {"m": ModuleAnalysis("m", scope_attribs=["x"])})
    host.mod.__class__ = BadThaw
    ln = line("x")
    host.install([ln])
    with pytest.raises(KeyError, match="thaw"):
        host.impl.AnalyzeLogical(ln)
    assert ln.objs == ()

    host, _ = import_host(("From", "m", ("*",)), {"m": failing_module("attribs")})
    host.mod.__class__ = BadThaw
    ln = line("x")
    host.install([ln])
    with pytest.raises(KeyError, match="thaw") as info:
        host.impl.AnalyzeLogical(ln)
    assert isinstance(info.value.__context__, Boom)


# -- definitions -------------------------------------------------------------------

def def_tree(name, *args):
    return ("Function", name, args, (), 0, None, ("Stmt", []))


def class_tree(name, *bases):
    return ("Class", name, bases, None, ("Stmt", []))


def analyze_lines(spec, trees):
    host = Host(trees=trees)
    lines = host.install(lines_from(spec))
    for ln in lines:
        host.impl.AnalyzeLogical(ln)
    return host, lines


def test_method_arguments_and_instance_names():
    spec = [("class A :", 0, C), ("class B :", 4, C), ("class C :", 8, C), ("def m ( this , x ) :", 12, F),
            ("def n ( self ) :", 12, F), ("def f ( a , b ) :", 0, F), ("def g ( self ) :", 4, F),
            ("class Outer :", 0, C), ("def m ( self ) :", 4, F), ("class Inner :", 8, C),
            ("def p ( me ) :", 12, F), ("def empty ( ) :", 4, F), ("def t ( ( a , b ) , c ) :", 4, F)]
    trees = {"class A : pass": class_tree("A"), "class B : pass": class_tree("B"), "class C : pass": class_tree("C"),
             "def m ( this , x ) : pass": def_tree("m", "this", "x"), "def n ( self ) : pass": def_tree("n", "self"),
             "def f ( a , b ) : pass": def_tree("f", "a", "b"), "def g ( self ) : pass": def_tree("g", "self"),
             "class Outer : pass": class_tree("Outer"), "def m ( self ) : pass": def_tree("m", "self"),
             "class Inner : pass": class_tree("Inner"), "def p ( me ) : pass": def_tree("p", "me"),
             "def empty ( ) : pass": def_tree("empty"), "def t ( ( a , b ) , c ) : pass": def_tree("t", ("a", "b"), "c")}
    host, lines = analyze_lines(spec, trees)
    m, n, f, g, outer_m, p, empty, t = (lines[i] for i in (3, 4, 5, 6, 8, 10, 11, 12))
    assert m.objs == ("this", "x") and m.type_equivs == (("this", "A.B.C:"),)
    assert n.type_equivs == (("self", "A.B.C:"),) and n.type_equivs[0][1] is m.type_equivs[0][1]
    assert f.objs == ("a", "b") and f.type_equivs == ()  # module level
    assert g.objs == ("self",) and g.type_equivs == ()  # nested in a def
    assert outer_m.type_equivs == (("self", "Outer:"),)
    assert p.type_equivs == (("me", "Outer.m.Inner:"),)
    assert empty.objs == () and empty.type_equivs == ()
    assert t.objs == (("a", "b"), "c") and t.type_equivs == ()
    assert host.pool["A.B.C:"] is m.type_equivs[0][1]


def test_nameless_scope_lines_add_nothing_to_instance_names():
    spec = [("class", 0, C), ("class K :", 4, C), ("def m ( self ) :", 8, F)]
    host, lines = analyze_lines(spec, {"class K : pass": class_tree("K"),
                                       "def m ( self ) : pass": def_tree("m", "self")})
    assert lines[2].type_equivs == (("self", "K:"),)


def test_class_bases():
    assert facts(class_tree("C", N("A"), attr(N("b"), "B"), call(N("mixin"), N("Base")))) == \
        (("A", "b.B", "mixin(Base)"), ())
    assert facts(class_tree("C")) == ((), ())
    with pytest.raises(SystemError):
        analyze(("Class", "C", [N("A")]))
    with pytest.raises(SystemError):
        analyze(("Function", "f", ["self"]))


def test_scope_search_meets_a_non_line():
    host = Host(trees={"def m ( self ) : pass": def_tree("m", "self")})
    k, m = host.install(lines_from([("class K :", 0, C), ("def m ( self ) :", 4, F)]))
    host.lines.insert(1, "not a line")
    with pytest.raises(TypeError, match="Every element of logical list must be a logical line"):
        host.impl.AnalyzeLogical(m)
    assert m.objs == ("self",)
    assert host.impl.FindScopeForLine(k) is None


def test_scope_search_edges():
    host = Host()
    lines = host.install(lines_from([("x = 1", 4, AS), ("class K :", 0, C), ("y = 1", 8, AS),
                                     ("# c", 0, ll.kCommentIndex), ("", 0, ll.kBlankLineIndex),
                                     ("z = 1", 0, AS), ("# d", 4, ll.kCommentIndex)]))
    first, k, y, comment, blank, z, comment2 = lines
    find = host.impl.FindScopeForLine
    assert find(first) is None  # the first line, whatever its indent
    assert find(comment) is k and find(blank) is k  # from the line above
    assert find(z) is None and find(comment2) is None


# -- isinstance ----------------------------------------------------------------------

class CalleeObject:
    _children = ()

    def __init__(self, name):
        self.name = name


@pytest.mark.parametrize("tree,equivs", [
    (isinstance_call(X, N("Foo")), (("x", "Foo:"),)),
    (isinstance_call(attr(N("self"), "obj"), attr(N("mod"), "Cls")), (("self.obj", "mod.Cls:"),)),
    (isinstance_call(X, ("Tuple", (N("A"), N("B")))), (("x", "(A, B):"),)),
    (isinstance_call(X), ()),
    (isinstance_call(X, N("A"), N("B")), ()),
    (call(attr(N("m"), "isinstance"), X, N("A")), ()),
    (("CallFunc", ("Name",), (X, N("A"))), ()),
    (("CallFunc", ("Name", "isinstance", "extra"), (X, N("A"))), (("x", "A:"),)),
    (("Discard", ("And", (isinstance_call(X, N("A")), isinstance_call(Y, N("B"))))), (("x", "A:"), ("y", "B:"))),
    (call(N("f"), isinstance_call(X, N("A"))), (("x", "A:"),)),
    (("CallFunc", CalleeObject("isinstance"), (X, N("T"))), (("x", "T:"),)),
    (("CallFunc", CalleeObject("other"), (X, N("T"))), ()),
])
def test_isinstance_facts(tree, equivs):
    assert facts(tree) == ((), equivs)


def test_isinstance_argument_holder_must_be_a_tuple():
    with pytest.raises(SystemError):
        analyze(("CallFunc", N("isinstance"), [X, N("A")]))


# -- ownership ---------------------------------------------------------------------

def assert_steady(cycle, *objs, rounds=1000):
    cycle()
    gc.collect()
    refs = [sys.getrefcount(o) for o in objs]
    count = len(gc.get_objects())
    for _ in range(rounds):
        cycle()
    gc.collect()
    assert len(gc.get_objects()) - count <= 2
    assert [sys.getrefcount(o) for o in objs] == refs


def test_analysis_cycles_do_not_leak():
    other = ModuleAnalysis("m", scope_attribs=["x", "a.b", "y"])
    nodes = [N("a"), attr(N("b"), "c"), ("Dict", ()), ("Const", "s")]
    trees = {
        "a = b": ("Assign", ("Tuple", (N("a"), nodes[1])), nodes[1]),
        "x = y": ("Assign", N("x"), nodes[2]),
        "s = t": ("Assign", N("s"), nodes[3]),
        "for i in j : pass": ("For", N("i"), nodes[1]),
        "import m": ("Import", ("m", "m.q.r", ("m.z", "w"))),
        "from m import *": ("From", "m", ("*",)),
        "from m import x": ("From", "m", ("x", "y")),
        "class K : pass": class_tree("K", nodes[0], call(nodes[1], ("Const", 1))),
        "def f ( self ) : pass": def_tree("f", "self"),
        "return a": ("Return", call(nodes[1], nodes[0])),
        "if isinstance : pass": isinstance_call(nodes[0], ("Tuple", (nodes[1], nodes[0]))),
    }
    mod = ModuleAnalysis("own", factory=Factory({"m": other}), package_dir="/pkg")
    host = Host(trees=trees, mod=mod)
    spec = [("a = b", 0, AS), ("x = y", 0, AS), ("s = t", 0, AS), ("for i in j :", 0, ll.kForBeginningIndex),
            ("import m", 0, ll.kImportIndex), ("from m import *", 0, ll.kFromImportIndex),
            ("from m import x", 0, ll.kFromImportIndex), ("class K :", 0, C), ("def f ( self ) :", 4, F),
            ("return a", 8, ll.kReturnIndex), ("if isinstance :", 8, ll.kIfBeginningIndex)]
    lines = host.install(lines_from(spec))

    def cycle():
        for ln in lines:
            host.impl.AnalyzeLogical(ln)
        assert host.impl.fParsedCount == len(lines)
        for ln in lines:
            host.impl.ClearAnalysis(ln)
        other.calls.clear()
        mod.calls.clear()
    assert_steady(cycle, mod, other, host.pool, lines[0], *nodes)


def test_failing_analyses_do_not_leak(capfd):
    trees = {
        "a": ("From", "m", ("*",)),
        "b": ("Import", ("m", 5)),
        "c": ("Assign", N("x"), call(attr(("Name",), "c"))),
        "d": ("Assign", ("Tuple", (N("a"), ("Getattr", N("b")))), N("v")),
        "e": isinstance_call(N("x"), ("Lambda", ("a", 1), (), 0, N("a"))),
    }
    other = failing_module("frozen")
    mod = ModuleAnalysis("own", factory=Factory({"m": other}), package_dir="/pkg")
    host = Host(trees=trees, mod=mod)
    lines = host.install([line(t) for t in trees])

    def cycle():
        for ln in lines:
            with pytest.raises(Exception):
                host.impl.AnalyzeLogical(ln)
            host.impl.ClearAnalysis(ln)
        other.calls.clear()
        mod.calls.clear()
    assert_steady(cycle, mod, other, host.pool, lines[0])
    capfd.readouterr()
