"""The analyzer object: creation, the logical list, parsing a line, the
analysis driver, scope names, scope definitions and bodies."""

import gc
import types
import weakref

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import AttribRef, Grammar, Host, ModuleAnalysis, Transformer, assert_steady, line, lines_from

C, F, A = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex
COMMENT, BLANK, IF, PASS = ll.kCommentIndex, ll.kBlankLineIndex, ll.kIfBeginningIndex, ll.kPassIndex
X_IS_A = {"x = a": ("Assign", ("Name", "x"), ("Name", "a"))}


# -- the analyzer object ------------------------------------------------------

def test_create_rejects_bad_arguments():
    no_table = types.ModuleType("fake")
    no_table.GetDirectLogicalLineFunctionTable = lambda: None
    for index, value, exc, match in [
            (0, 1, TypeError, r"argument 1 must be class instance, not int"),
            (4, lambda: 0, TypeError, r"argument 5 must be class, not function"),
            (2, object(), AttributeError, "TransformNode"),
            (5, types.ModuleType("empty"), AttributeError, "GetDirectLogicalLineFunctionTable"),
            (5, no_table, TypeError, "Bad logical line function table")]:
        args = [ModuleAnalysis(), Grammar(), Transformer(), {}, AttribRef, ll]
        args[index] = value
        with pytest.raises(exc, match=match):
            pysource_impl.CreatePySourceImpl(*args)


def test_is_dotted_name():
    got = [pysource_impl.IsDottedName(v) for v in
           ["_x.y2", "x.", "a..b", "a.1", "A", "", 5, "1a", ".a", "a b", "a-b", b"ab", None, "\u00e9"]]
    assert got == [1] * 5 + [0] * 9 and all(type(v) is int for v in got)


def test_attributes_and_counters():
    impl = Host().impl
    assert (impl.fParsedCount, impl.fActiveMethodCount, impl.fFromFutureFlags) == (0, 0, {})
    assert impl.fFromFutureFlags is impl.fFromFutureFlags
    assert impl.LogicalCacheNeedsUpdate(1, 2, 3) is None
    impl.FinishActiveMethod()
    assert impl.fActiveMethodCount == -1
    impl.StartActiveMethod()
    impl.StartActiveMethod()
    assert impl.fActiveMethodCount == 1


def test_destroy_breaks_cycles_and_resets_counters():
    host = Host(trees=X_IS_A)
    ln = host.install([line("x = a")])[0]
    impl = host.impl
    impl.AnalyzeLogical(ln)
    impl.StartActiveMethod()
    assert (impl.fParsedCount, impl.fActiveMethodCount) == (1, 1)
    ref = weakref.ref(host.mod)
    impl.destroy()
    assert impl.fParsedCount == 0 and impl.fActiveMethodCount == 0
    impl.destroy()  # a second tear-down is harmless
    with pytest.raises(SystemError, match="after destroy"):
        impl.AnalyzeLogical(ln)
    del host, impl
    gc.collect()
    assert ref() is None


def test_index_for_lineno():
    host = Host()
    with pytest.raises(AssertionError, match="logical_list is NULL"):
        host.impl.IndexForLineno(1)
    host.install([])
    assert host.impl.IndexForLineno(7) == 0
    host.install([ll.LogicalLine(["a"], first_line=1, line_count=2), ll.LogicalLine(["b"], first_line=5),
                  ll.LogicalLine(["c"], first_line=10, line_count=3)])
    got = [host.impl.IndexForLineno(n) for n in (1, 2, 3, 4, 5, 6, 12, 13)]
    assert got == [0, 0, 1, 1, 1, 2, 2, 3]


def test_set_logical_list():
    impl = Host().impl
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
    with pytest.raises(ValueError, match="no logical list is set"):
        impl.AnalyzeLogical(line("a"))  # no walker without a list


# -- parsing ------------------------------------------------------------------

def test_parse_feeds_tokens_then_pass_and_newline():
    tree = ("Function", "f", ())
    host = Host(trees={"def f ( ) : pass": tree})
    impl = host.impl
    defn = line(["def", "f", "(", ")", ":", "# note"], type=F)
    assert impl.ParseLogicalLine(defn) == ("def", "f", "(", ")", ":", "pass", "\n")
    assert defn.parsed and host.grammar.symbols == [257]
    assert impl.ParseLogicalLine(line(["# only"], type=COMMENT)) == ("\n",)
    assert impl.AstForLogicalLine(defn) is tree
    assert host.xformer.seen[-1] == ("def", "f", "(", ")", ":", "pass", "\n")
    for kind in (ll.kElseBeginningIndex, ll.kElifBeginningIndex, ll.kExceptIndex, ll.kTryIndex,
                 ll.kFinallyIndex):
        ln = line(["else", ":"], type=kind)
        assert impl.ParseLogicalLine(ln) is None and impl.AstForLogicalLine(ln) is None and ln.parsed
    assert len(host.grammar.symbols) == 3  # clause headers reach no parser
    with pytest.raises(TypeError, match=r"Line to parse must be a logical line\."):
        impl.ParseLogicalLine("x")
    with pytest.raises(TypeError, match=r"Argument must be a logical line\."):
        impl.AstForLogicalLine("x")
    host.grammar.fail_on_token = "boom"
    ln = line("x = boom")
    with pytest.raises(RuntimeError, match="token refused"):
        impl.ParseLogicalLine(ln)
    assert ln.parsed


# -- analysis driver ----------------------------------------------------------

def test_analyze_records_counts_and_tolerates_syntax_errors():
    counts = []
    grammar = Grammar(lambda tokens: counts.append(host.impl.fActiveMethodCount) or tuple(tokens))
    host = Host(grammar=grammar, trees={**X_IS_A, "bad": ValueError("nope"), "odd": KeyError("host broke")})
    good, broken, unknown, clause, odd = host.install(
        [line("x = a"), line("bad"), line("? ?"), line(["else", ":"], type=ll.kElseBeginningIndex), line("odd")])
    impl = host.impl
    for ln in (good, broken, unknown, clause):
        assert impl.AnalyzeLogical(ln) is None and ln.parsed
    assert impl.fParsedCount == 1 and counts == [1, 1, 1]  # host code sees the method running
    assert good.objs == ("x",) and good.type_equivs == (("x", "a"),)
    impl.AnalyzeLogical(good)  # already analysed: nothing happens
    assert impl.fParsedCount == 1 and len(counts) == 3
    with pytest.raises(KeyError, match="host broke"):
        impl.AnalyzeLogical(odd)
    assert odd.parsed and impl.fParsedCount == 1 and impl.fActiveMethodCount == 0
    with pytest.raises(TypeError, match=r"Argument must be a logical line\."):
        impl.AnalyzeLogical(3)


def test_analyze_and_clear_a_list():
    host = Host(trees={"a = x": ("Assign", ("Name", "a"), ("Name", "x")),
                       "b = 2": ("Assign", ("Name", "b"), ("Const", 2))})
    a, b = host.install([line("a = x"), line("b = 2")])
    impl = host.impl
    assert impl.AnalyzeLogicalList([]) == 1
    assert impl.AnalyzeLogicalList([a, b], 0) == 0 and not a.parsed
    assert impl.ClearAnalysis(a) is None and impl.fParsedCount == 0  # nothing to clear
    assert impl.AnalyzeLogicalList([a], 5) == 1 and a.parsed and not b.parsed
    assert impl.AnalyzeLogicalList([a, b]) == 1 and b.parsed and impl.fParsedCount == 2
    assert a.objs == ("a",) and a.type_equivs == (("a", "x"),)
    assert impl.AnalyzeLogicalList([a, b], 0) == 1
    impl.ClearAnalysis(a)
    assert not a.parsed and a.objs == () and a.type_equivs == () and impl.fParsedCount == 1
    assert impl.AnalyzeLogicalList([a, b], 0) == 0
    impl.AnalyzeLogical(a)
    assert a.objs == ("a",) and impl.fParsedCount == 2
    with pytest.raises(SystemError):
        impl.AnalyzeLogicalList([a, "b"])
    for call, arg in [(impl.AnalyzeLogicalList, (a,)), (impl.ClearAnalysis, "x")]:
        with pytest.raises(TypeError):
            call(arg)


# -- scopes -------------------------------------------------------------------

SCOPE_LINES = [
    ("class K :", 0, C), ("# c", 4, COMMENT), ("def m ( self ) :", 4, F), ("x = 1", 8, A),
    ("def inner ( ) :", 8, F), ("pass", 12, PASS), ("if x :", 8, IF), ("y = 2", 12, A), ("", 0, BLANK),
    ("# c", 0, COMMENT), ("z = 3", 4, A), ("def f ( ) :", 0, F), ("if a :", 4, IF), ("b = 1", 8, A),
]


def test_scope_of_a_line_and_full_names():
    host = Host()
    k, _, m, x, inner, pss, if_, y, blank, comment, z, f, *_ = host.install(lines_from(SCOPE_LINES))
    find, name = host.impl.FindScopeForLine, host.impl.GetFullNameForScopeDef
    # The if line lowers the limit below def inner; comment and blank lines
    # take the scope of the line before them.
    assert [find(ln) for ln in (x, pss, y, blank, comment, z, k, f)] == [m, inner, m, m, m, k, None, None]
    with pytest.raises(ValueError, match="FindScopeForLine requires logical to be in the logical list"):
        find(line("q = 1"))
    with pytest.raises(TypeError, match=r"Argument must be a logical line\."):
        find(None)
    assert x.scope_name is None  # finding the scope line caches no name
    assert [name(None), name(k), name(m), name(inner)] == ["", "K", "K.m", "K.m.inner"]
    assert name(inner) is name(inner)  # pooled
    with pytest.raises(TypeError, match="The scope_def must be either None or a logical line"):
        name(x)


def test_scope_definitions_and_bodies():
    host = Host()
    lines = host.install(lines_from(SCOPE_LINES))
    get, body = host.impl.GetScopeDefForFullName, host.impl.GetBodyOfScope
    assert [get(""), get("K"), get("K.m"), get("K.m.inner"), get("f")] == [None] + [lines[i] for i in (0, 2, 4, 11)]
    for missing in ("K.x", "m"):
        with pytest.raises(KeyError) as err:
            get(missing)
        assert err.value.args == (missing,)
    ids = lambda seq: [lines.index(ln) for ln in seq]  # noqa: E731
    assert [ids(body(n)) for n in ("K", "K.m", "", "f")] == [[2, 10], [3, 4, 6, 7], [0, 11], [12, 13]]
    assert body("K") is body("K")
    # Computing a body places its lines in the scope.
    assert [lines[i].scope_name for i in (0, 2, 3, 4, 10)] == ["", "K", "K.m", "K.m", "K"]
    with pytest.raises(KeyError):
        body("nope")
    host.install(lines_from([("x = 1", 0, A), ("def last ( ) :", 0, F)]))
    assert host.impl.GetBodyOfScope("last") == []


def test_no_leaks():
    host = Host(trees={**X_IS_A, "bad": SyntaxError("no")})
    lines = host.install(lines_from(SCOPE_LINES) + [line("x = a"), line("bad")])
    impl, mod, pool = host.impl, host.mod, host.pool

    def analyse():
        host.grammar.fed.clear()
        host.xformer.seen.clear()
        for ln in lines[-2:]:
            impl.AnalyzeLogical(ln)
            impl.ClearAnalysis(ln)

    def scopes():
        impl.GetBodyOfScope("K.m")
        impl.GetScopeDefForFullName("f")
        impl.GetFullNameForScopeDef(lines[4])
        impl.FindScopeForLine(lines[5])
        pytest.raises(KeyError, impl.GetBodyOfScope, "missing")

    for fn in (lambda: pytest.raises(AttributeError, pysource_impl.CreatePySourceImpl,
                                     mod, Grammar(), object(), pool, AttribRef, ll),
               analyse, scopes, lambda: impl.SetLogicalList(lines)):
        assert_steady(fn, mod, pool, lines)
