"""The analyzer object: creation, the logical list, parsing a line, the
analysis driver, scope names, scope definitions and bodies."""

import gc
import sys
import types
import weakref

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import AttribRef, Grammar, Host, ModuleAnalysis, Transformer, line, lines_from

C, F, A = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
COMMENT, BLANK, IF = ll.kCommentIndex, ll.kBlankLineIndex, ll.kIfBeginningIndex


def live_objects():
    gc.collect()
    return len(gc.get_objects())


def assert_no_leak(fn, rounds=1000):
    fn()  # warm caches and interned strings
    before = live_objects()
    for _ in range(rounds):
        fn()
    assert live_objects() - before <= 2


# -- creation -----------------------------------------------------------------

def test_create_checks_argument_kinds():
    mod, grammar, xf = ModuleAnalysis(), Grammar(), Transformer()
    create = pysource_impl.CreatePySourceImpl
    with pytest.raises(TypeError, match=r"argument 1 must be class instance, not int"):
        create(1, grammar, xf, {}, AttribRef, ll)
    with pytest.raises(TypeError, match=r"argument 4 must be dict"):
        create(mod, grammar, xf, [], AttribRef, ll)
    with pytest.raises(TypeError, match=r"argument 5 must be class, not function"):
        create(mod, grammar, xf, {}, lambda: 0, ll)
    with pytest.raises(TypeError, match=r"argument 6 must be module"):
        create(mod, grammar, xf, {}, AttribRef, "logicalline")
    with pytest.raises(AttributeError, match="TransformNode"):
        create(mod, grammar, object(), {}, AttribRef, ll)
    with pytest.raises(AttributeError, match="GetDirectLogicalLineFunctionTable"):
        create(mod, grammar, xf, {}, AttribRef, types.ModuleType("empty"))


def test_create_with_bad_function_table():
    fake = types.ModuleType("fake")
    fake.GetDirectLogicalLineFunctionTable = lambda: None
    with pytest.raises(TypeError, match="Bad logical line function table"):
        pysource_impl.CreatePySourceImpl(ModuleAnalysis(), Grammar(), Transformer(), {}, AttribRef, fake)


def test_failed_creation_releases_what_it_took():
    mod, pool = ModuleAnalysis(), {}
    before = sys.getrefcount(mod), sys.getrefcount(pool)
    for _ in range(100):
        with pytest.raises(AttributeError):
            pysource_impl.CreatePySourceImpl(mod, Grammar(), object(), pool, AttribRef, ll)
    assert (sys.getrefcount(mod), sys.getrefcount(pool)) == before


def test_is_dotted_name():
    yes = ["_x.y2", "x.", "a..b", "a.1", "A"]
    no = ["", 5, "1a", ".a", "a b", "a-b", b"ab", None]
    assert [pysource_impl.IsDottedName(v) for v in yes] == [1] * len(yes)
    assert [pysource_impl.IsDottedName(v) for v in no] == [0] * len(no)
    assert type(pysource_impl.IsDottedName("a")) is int


def test_attributes_and_counters():
    host = Host()
    impl = host.impl
    assert impl.fParsedCount == 0 and impl.fActiveMethodCount == 0
    flags = impl.fFromFutureFlags
    assert flags == {} and impl.fFromFutureFlags is flags
    assert impl.LogicalCacheNeedsUpdate(1, 2, 3) is None
    impl.FinishActiveMethod()
    assert impl.fActiveMethodCount == -1
    impl.StartActiveMethod()
    impl.StartActiveMethod()
    assert impl.fActiveMethodCount == 1
    with pytest.raises(AttributeError):
        impl.NoSuchMethod
    with pytest.raises(TypeError):
        impl.StartActiveMethod(1)


def test_destroy_breaks_cycles_and_resets_counters():
    host = Host(trees={"x = a": ("Assign", ("Name", "x"), ("Name", "a"))})
    lines = host.install([line("x = a")])
    host.impl.AnalyzeLogical(lines[0])
    assert host.impl.fParsedCount == 1
    ref = weakref.ref(host.mod)
    impl = host.impl
    impl.destroy()
    assert impl.fParsedCount == 0 and impl.fActiveMethodCount == 0
    impl.destroy()  # a second tear-down is harmless
    with pytest.raises(SystemError, match="after destroy"):
        impl.AnalyzeLogical(lines[0])
    del host, impl
    gc.collect()
    assert ref() is None


def test_method_count_is_visible_to_host_callbacks():
    seen = []

    def parse(tokens):
        seen.append(host.impl.fActiveMethodCount)
        return tuple(tokens)

    host = Host(grammar=Grammar(parse), trees={"x = 1": ("Assign", ("Name", "x"), ("Const", 1))})
    lines = host.install([line("x = 1")])
    host.impl.AnalyzeLogical(lines[0])
    assert seen == [1] and host.impl.fActiveMethodCount == 0


# -- line index ---------------------------------------------------------------

def test_index_for_lineno():
    host = Host()
    host.install([])
    assert host.impl.IndexForLineno(7) == 0
    host.install([ll.LogicalLine(["a"], first_line=1, line_count=2),
                  ll.LogicalLine(["b"], first_line=5),
                  ll.LogicalLine(["c"], first_line=10, line_count=3)])
    got = [host.impl.IndexForLineno(n) for n in (1, 2, 3, 4, 5, 6, 12, 13)]
    assert got == [0, 0, 1, 1, 1, 2, 2, 3]


def test_index_for_lineno_without_list():
    with pytest.raises(AssertionError, match="logical_list is NULL"):
        Host().impl.IndexForLineno(1)


# -- logical list -------------------------------------------------------------

def test_set_logical_list():
    host = Host()
    impl = host.impl
    assert impl.SetLogicalList(None) is None and impl.fParsedCount == 0
    impl.SetLogicalList([])
    assert impl.fParsedCount == 0
    impl.SetLogicalList([line("a", parsed=True), line("b"), line("c", parsed=True)])
    assert impl.fParsedCount == 2
    with pytest.raises(TypeError, match="logical_list must be None or a Python list object"):
        impl.SetLogicalList((line("a"),))
    with pytest.raises(AssertionError, match="logical_list is NULL"):
        impl.IndexForLineno(1)  # the failed call left no list installed
    with pytest.raises(TypeError, match="All items in the logical_list must be logical lines"):
        impl.SetLogicalList([line("a"), "b"])
    with pytest.raises(SystemError):
        impl.AnalyzeLogical(line("a"))  # no walker without a list


def test_set_logical_list_releases_old_lists():
    host = Host()
    lines = [line("a"), line("b")]
    before = sys.getrefcount(lines)
    assert_no_leak(lambda: host.impl.SetLogicalList(lines))
    host.impl.SetLogicalList(None)
    assert sys.getrefcount(lines) == before


# -- parsing ------------------------------------------------------------------

def test_parse_feeds_tokens_then_pass_and_newline():
    host = Host()
    impl, grammar = host.impl, host.grammar
    defn = line(["def", "f", "(", ")", ":", "# note"], type=F)
    assert impl.ParseLogicalLine(defn) == ("def", "f", "(", ")", ":", "pass", "\n")
    assert grammar.symbols == [257]
    assert impl.ParseLogicalLine(line(["# only"], type=COMMENT)) == ("\n",)
    assert defn.parsed


def test_clause_headers_are_not_parsed():
    host = Host()
    for kind in (ll.kElseBeginningIndex, ll.kElifBeginningIndex, ll.kExceptIndex, ll.kTryIndex,
                 ll.kFinallyIndex):
        ln = line(["else", ":"], type=kind)
        assert host.impl.ParseLogicalLine(ln) is None
        assert host.impl.AstForLogicalLine(ln) is None
        assert ln.parsed
    assert host.grammar.symbols == []


def test_parse_argument_errors_and_host_failures():
    host = Host()
    with pytest.raises(TypeError, match=r"Line to parse must be a logical line\."):
        host.impl.ParseLogicalLine("x")
    with pytest.raises(TypeError, match=r"Argument must be a logical line\."):
        host.impl.AstForLogicalLine("x")
    host.grammar.fail_on_token = "boom"
    ln = line("x = boom")
    with pytest.raises(RuntimeError, match="token refused"):
        host.impl.ParseLogicalLine(ln)
    assert ln.parsed


def test_ast_for_logical_line_transforms_the_parse_tree():
    tree = ("Assign", ("Name", "x"), ("Const", 1))
    host = Host(trees={"x = 1": tree})
    ln = line("x = 1")
    assert host.impl.AstForLogicalLine(ln) is tree
    assert host.xformer.seen == [("x", "=", "1", "\n")]


# -- analysis driver ----------------------------------------------------------

def test_analyze_records_counts_and_tolerates_syntax_errors():
    host = Host(trees={"x = a": ("Assign", ("Name", "x"), ("Name", "a")),
                       "bad": ValueError("nope")})
    good, broken, unknown, clause = host.install(
        [line("x = a"), line("bad"), line("? ?"), line(["else", ":"], type=ll.kElseBeginningIndex)])
    impl = host.impl
    for ln in (good, broken, unknown, clause):
        assert impl.AnalyzeLogical(ln) is None
        assert ln.parsed
    assert impl.fParsedCount == 1
    assert good.objs == ("x",) and good.type_equivs == (("x", "a"),)
    impl.AnalyzeLogical(good)  # already analysed: nothing happens
    assert impl.fParsedCount == 1 and len(host.grammar.fed) == 3
    with pytest.raises(TypeError, match=r"Argument must be a logical line\."):
        impl.AnalyzeLogical(3)


def test_analyze_passes_other_host_errors():
    host = Host(trees={"x": KeyError("host broke")})
    ln = host.install([line("x")])[0]
    with pytest.raises(KeyError, match="host broke"):
        host.impl.AnalyzeLogical(ln)
    assert ln.parsed and host.impl.fParsedCount == 0


def test_clear_analysis():
    host = Host(trees={"x = a": ("Assign", ("Name", "x"), ("Name", "a"))})
    ln = host.install([line("x = a")])[0]
    impl = host.impl
    assert impl.ClearAnalysis(ln) is None and impl.fParsedCount == 0
    impl.AnalyzeLogical(ln)
    impl.ClearAnalysis(ln)
    assert not ln.parsed and ln.objs == () and ln.type_equivs == () and impl.fParsedCount == 0
    impl.AnalyzeLogical(ln)
    assert ln.objs == ("x",) and impl.fParsedCount == 1
    with pytest.raises(TypeError):
        impl.ClearAnalysis("x")


def test_analyze_logical_list():
    host = Host(trees={"a = 1": ("Assign", ("Name", "a"), ("Const", 1)),
                       "b = 2": ("Assign", ("Name", "b"), ("Const", 2))})
    a, b = host.install([line("a = 1"), line("b = 2")])
    impl = host.impl
    assert impl.AnalyzeLogicalList([]) == 1
    assert impl.AnalyzeLogicalList([a, b], 0) == 0 and not a.parsed
    assert impl.AnalyzeLogicalList([a], 5) == 1 and a.parsed and not b.parsed
    assert impl.AnalyzeLogicalList([a, b]) == 1 and b.parsed
    assert impl.AnalyzeLogicalList([a, b], 0) == 1
    with pytest.raises(SystemError):
        impl.AnalyzeLogicalList([a, "b"])
    with pytest.raises(TypeError):
        impl.AnalyzeLogicalList((a,))


def test_analysis_does_not_leak():
    host = Host(trees={"x = a . b": ("Assign", ("Name", "x"), ("Getattr", ("Name", "a"), "b")),
                       "bad": SyntaxError("no")})
    good, bad = host.install([line("x = a . b"), line("bad")])

    def cycle():
        host.grammar.fed.clear()
        host.xformer.seen.clear()
        host.impl.AnalyzeLogical(good)
        host.impl.AnalyzeLogical(bad)
        host.impl.ClearAnalysis(good)
        host.impl.ClearAnalysis(bad)
    assert_no_leak(cycle)


# -- scopes -------------------------------------------------------------------

SCOPE_LINES = [
    ("class K :", 0, C), ("def m ( self ) :", 4, F), ("x = 1", 8, A), ("def inner ( ) :", 8, F),
    ("pass", 12, ll.kPassIndex), ("if x :", 8, IF), ("y = 2", 12, A), ("# c", 0, COMMENT), ("z = 3", 4, A),
]


def test_find_scope_for_line():
    host = Host()
    k, m, x, inner, pss, if_, y, comment, z = host.install(lines_from(SCOPE_LINES))
    find = host.impl.FindScopeForLine
    assert [find(ln) for ln in (x, pss, y, comment, z, k)] == [m, inner, m, m, k, None]
    with pytest.raises(ValueError, match="FindScopeForLine requires logical to be in the logical list"):
        find(line("q = 1"))
    with pytest.raises(TypeError, match=r"Argument must be a logical line\."):
        find(None)


def test_full_scope_names():
    host = Host()
    k, m, x, inner, *_ = host.install(lines_from(SCOPE_LINES))
    name = host.impl.GetFullNameForScopeDef
    assert [name(None), name(k), name(m), name(inner)] == ["", "K", "K.m", "K.m.inner"]
    assert name(inner) is name(inner)  # pooled
    with pytest.raises(TypeError, match="The scope_def must be either None or a logical line"):
        name(x)
    host.impl.FindScopeForLine(x)
    assert x.scope_name is None
    assert host.impl.GetBodyOfScope("K.m") == [x, inner, host.lines[5], host.lines[6]]
    # Computing a body places its lines in the scope.
    assert m.scope_name == "K" and k.scope_name == "" and x.scope_name == "K.m" and inner.scope_name == "K.m"


BODY_LINES = [
    ("class K :", 0, C), ("# c", 4, COMMENT), ("def m ( self ) :", 4, F), ("x = 1", 8, A),
    ("def inner ( ) :", 8, F), ("pass", 12, ll.kPassIndex), ("y = 2", 8, A), ("", 0, BLANK), ("z = 3", 4, A),
    ("def f ( ) :", 0, F), ("if a :", 4, IF), ("b = 1", 8, A),
]


def test_scope_definitions_by_full_name():
    host = Host()
    lines = host.install(lines_from(BODY_LINES))
    k, m, inner, f = lines[0], lines[2], lines[4], lines[9]
    get = host.impl.GetScopeDefForFullName
    assert [get(""), get("K"), get("K.m"), get("K.m.inner"), get("f")] == [None, k, m, inner, f]
    for missing in ("K.x", "m"):
        with pytest.raises(KeyError) as err:
            get(missing)
        assert err.value.args == (missing,)
    with pytest.raises(TypeError):
        get(b"K")


def test_scope_bodies():
    host = Host()
    lines = host.install(lines_from(BODY_LINES))
    body = host.impl.GetBodyOfScope
    ids = lambda seq: [lines.index(ln) for ln in seq]
    assert ids(body("K")) == [2, 8]
    assert ids(body("K.m")) == [3, 4, 6]
    assert ids(body("")) == [0, 9]
    assert ids(body("f")) == [10, 11]
    assert body("K") is body("K")
    with pytest.raises(KeyError):
        body("nope")
    host.install(lines_from([("x = 1", 0, A), ("def last ( ) :", 0, F)]))
    assert host.impl.GetBodyOfScope("last") == []


def test_scope_queries_do_not_leak():
    host = Host()
    lines = host.install(lines_from(BODY_LINES))

    def queries():
        host.impl.GetBodyOfScope("K.m")
        host.impl.GetScopeDefForFullName("f")
        host.impl.GetFullNameForScopeDef(lines[4])
        host.impl.FindScopeForLine(lines[5])
        with pytest.raises(KeyError):
            host.impl.GetBodyOfScope("missing")
    assert_no_leak(queries)
