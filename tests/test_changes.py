"""Folding edits of the logical list into the source info cache:
LogicalCacheModified, ClearCache and RebuildCache."""

import logicalline as ll
import pytest

from hostobjects import Host, assert_steady, line, lines_from

C, F, A, IF = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex, ll.kIfBeginningIndex
COMMENT, STR, FROM = ll.kCommentIndex, ll.kStringExpressionIndex, ll.kFromImportIndex


class LogicalCache:
    pass


class Delta:
    def __init__(self, removed=(), added=()):
        self.removed, self.added = list(removed), list(added)


def modified(host, removed=(), added=()):
    """The result, with the body scope names (in no set order) sorted."""
    result = host.impl.LogicalCacheModified(LogicalCache(), Delta(removed, added))
    assert type(result) is tuple and [type(item) for item in result] == [list] * 4
    return (sorted(result[0]),) + result[1:]


def make_host(spec):
    host = Host(trees={"x = 1": ("Assign", ("Name", "x"), ("Const", 1)), "def f ( ) : pass": ("Function", "f", ())})
    host.install(lines_from(spec))
    return host


KM = [("class K :", 0, C), ("def m ( self ) :", 4, F), ("x = 1", 8, A), ("def inner ( ) :", 8, F),
      ("v = 0", 12, A), ("def mm ( ) :", 4, F), ("y = 2", 8, A), ("z = 3", 4, A), ("def f ( ) :", 0, F),
      ("w = 4", 4, A)]


def test_arguments_and_bad_items():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    assert modified(host) == ([], [], [], [])
    for args, message in [((1, Delta()), r"^LogicalCacheModifed\(\) argument 1 must be class instance, not int$"),
                          ((LogicalCache(), None), r"argument 2 must be class instance, not None$")]:
        with pytest.raises(TypeError, match=message):
            impl.LogicalCacheModified(*args)
    bad = Delta()
    bad.removed = ()
    with pytest.raises(TypeError, match="^delta's added & removed attributes must be a Python lists$"):
        impl.LogicalCacheModified(LogicalCache(), bad)
    with pytest.raises(TypeError, match="^Items in the removed list must be logical lines$"):
        modified(host, removed=["x"])
    impl.AnalyzeLogical(lines[2])
    with pytest.raises(TypeError, match="^Items in the added list must be logical lines$"):
        modified(host, removed=[lines[2]], added=[lines[7], 7])
    # Items before the bad one were processed.
    assert impl.fParsedCount == 0 and lines[7].scope_name == "K"
    impl.SetLogicalList(None)
    with pytest.raises(AssertionError, match="^logical_list is NULL$"):
        modified(host)
    assert impl.fActiveMethodCount == 0


def test_removed_lines():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.AnalyzeLogical(lines[8])
    gone = lines.pop(8)  # analysed, never placed in a scope
    assert modified(host, removed=[gone]) == ([], [], [], [])
    assert impl.fParsedCount == 0 and gone.parsed
    lines.insert(8, gone)
    impl.RebuildCache()
    bodies = {n: impl.GetBodyOfScope(n) for n in ("K", "K.m", "K.m.inner", "K.mm", "f")}
    gone = lines.pop(1)
    assert modified(host, removed=[gone]) == (["K"], [], ["K.m"], [])
    # Scope names beginning with "K.m" are gone, K.mm's included.
    assert [ln.scope_name for ln in lines] == ["", None, None, None, "K", None, "K", "", "f"]
    # Dropped bodies: the changed scope and the scopes those lines leave
    # (K.mm's, whose name only starts like K.m's).  The definitions among
    # those lines lose their entries: "K.m.inner" names nothing now.
    assert [impl.GetBodyOfScope(n) is bodies[n] for n in ("K", "K.mm", "f")] == [False, False, True]
    assert impl.GetBodyOfScope("K") == [lines[1], lines[2], lines[4], lines[6]]
    for vanished in ("K.m", "K.m.inner"):
        with pytest.raises(KeyError, match=vanished):
            impl.GetScopeDefForFullName(vanished)
    assert impl.GetScopeDefForFullName("K.inner") is lines[2]
    gone = lines.pop(0)
    assert modified(host, removed=[gone]) == ([""], ["K"], [], [])
    assert [ln.scope_name for ln in lines] == [None] * 6 + ["", "f"]


RESCOPE = [("if c :", 0, IF), ("y = 2", 4, A), ("# c", 0, COMMENT), ("z = 3", 4, A), ("w = 4", 0, A)]


@pytest.mark.parametrize("clear, scopes", [(False, [None, None, None]), (True, ["", "", ""])])
def test_added_def_rescopes_following_lines(clear, scopes):
    host = make_host(RESCOPE)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()  # scope names on every line
    if clear:
        impl.ClearCache()  # scope names stay; no per-scope entry, no re-scoping
    else:
        impl.GetBodyOfScope("")
    lines.insert(1, line("def f ( ) :", type=F))
    assert modified(host, added=[lines[1]]) == ([""], [], ["f"], [])
    assert [ln.scope_name for ln in lines] == ["", ""] + scopes + [""]
    assert impl.GetBodyOfScope("f") == [lines[2], lines[4]]


def test_rescoping_stops_under_the_new_def_only():
    host = make_host(RESCOPE)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    impl.GetBodyOfScope("")
    lines[1:1] = [line("def f ( ) :", type=F), line("v = 1", indent=4)]
    # v is placed first, under f; the walk below f ends at it.
    assert modified(host, added=[lines[2], lines[1]]) == (["", "f"], [], ["f"], [])
    assert [ln.scope_name for ln in lines] == ["", "", "f", "", "", "", ""]
    host = make_host([("def fg ( ) :", 0, F), ("a = 1", 4, A)])
    host.impl.RebuildCache()
    host.lines[0] = line("def f ( ) :", type=F)  # reported as an addition only
    assert modified(host, added=[host.lines[0]]) == (["", "fg"], [], ["f"], [])
    assert host.lines[1].scope_name is None  # "fg" is not a scope below "f"


def test_added_lines_replace_entries_and_count_parsed():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    old, lines[8] = lines[8], line("def f ( ) :", type=F)
    assert modified(host, removed=[old], added=[lines[8]]) == ([""], [], ["f", "f"], [])
    assert impl.GetScopeDefForFullName("f") is lines[8] and impl.GetBodyOfScope("f") == [lines[9]]
    impl.AnalyzeLogical(lines[2])
    old, lines[2] = lines[2], line("x = 1", indent=8, parsed=True)
    modified(host, removed=[old, line("q = 1")], added=[lines[2], lines[3]])
    assert impl.fParsedCount == 1


def test_doc_strings():
    host = make_host([("def f ( ) :", 0, F), ("x = 1", 4, A)])
    impl, lines = host.impl, host.lines
    doc = line("'doc'", indent=4, type=STR)
    lines.insert(1, doc)
    # Without a per-scope entry for f only the list's first line would do.
    assert modified(host, added=[doc]) == (["f"], [], [], [])
    impl.GetScopeDefForFullName("f")
    assert modified(host, added=[doc]) == (["f"], [], [], ["f"])
    assert modified(host, added=[doc]) == (["f"], [], [], [])  # already recorded
    lines.insert(2, line("'more'", indent=4, type=STR))
    assert modified(host, added=[lines[2]]) == (["f"], [], [], [])
    del lines[1]
    assert modified(host, removed=[doc]) == (["f"], [], [], ["f"])
    assert modified(host, removed=[doc]) == (["f"], [], [], [])
    lines.insert(0, line("'module doc'", type=STR))
    assert modified(host, added=[lines[0]]) == ([""], [], [], [""])


def test_future_import_lines_rescan_flags():
    host = make_host(KM)
    impl, lines, calls = host.impl, host.lines, host.mod.calls
    fut, other = line("from __future__ import nested_scopes", type=FROM), line("from os import path", type=FROM)
    lines[0:0] = [fut, other]
    modified(host, added=[fut, other])
    modified(host, added=[lines[2]])  # no import line: no rescan
    assert impl.fFromFutureFlags == {"nested_scopes": 1} and calls == ["_FromFutureFlagsChanged"]
    del lines[0:2]
    modified(host, removed=[fut])
    modified(host, removed=[other])  # no flags before or after: the host is not told
    assert impl.fFromFutureFlags == {} and calls == ["_FromFutureFlagsChanged"] * 2


def test_clear_and_rebuild_cache():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    body = impl.GetBodyOfScope("K.m")
    assert impl.ClearCache() is None and impl.GetBodyOfScope("K.m") is not body
    assert lines[1].scope_name == "K"  # scope names stay
    for _ in range(2):
        assert impl.RebuildCache() is None
        assert [ln.scope_name for ln in lines] == ["", "K", "K.m", "K.m", "K.m.inner", "K", "K.mm", "K", "", "f"]
        for full_name, index in (("K", 0), ("K.m", 1), ("K.m.inner", 3), ("K.mm", 5), ("f", 8)):
            assert impl.GetScopeDefForFullName(full_name) is lines[index]
    assert impl.fParsedCount == 0
    lines.append("not a line")  # the analyzer shares the host's list
    with pytest.raises(TypeError, match="^Each element of the logical_list must be a logical line$"):
        impl.RebuildCache()  # the future-import rescan comes first
    lines.pop()
    impl.fFromFutureFlags["division"] = 1
    host.mod._FromFutureFlagsChanged = lambda: lines.append(None)
    with pytest.raises(TypeError, match="^All elements in logical_list must be logical lines$"):
        impl.RebuildCache()
    impl.SetLogicalList(None)
    assert impl.RebuildCache() is None and impl.fFromFutureFlags == {}
    assert impl.fActiveMethodCount == 0


def test_no_leaks():
    host = make_host(KM[:9] + [("'doc'", 4, STR)] + KM[9:])
    impl, lines, cache = host.impl, host.lines, LogicalCache()
    fut = line("from __future__ import division", type=FROM)
    impl.RebuildCache()
    lines.insert(0, fut)
    m_def, doc = lines[2], lines[10]
    out, back, bad_kind = Delta(removed=[m_def, doc, fut]), Delta(added=[fut, m_def, doc]), Delta()
    bad_kind.added = ()

    def cycle():
        del lines[10], lines[2], lines[0]
        impl.LogicalCacheModified(cache, out)
        lines.insert(0, fut), lines.insert(2, m_def), lines.insert(10, doc)
        impl.LogicalCacheModified(cache, back)
        impl.GetBodyOfScope("K"), impl.GetBodyOfScope("f")
        for delta in (Delta(added=[lines[3], "x"]), bad_kind):
            pytest.raises(TypeError, impl.LogicalCacheModified, cache, delta)
        impl.ClearCache()
        impl.RebuildCache()

    def failing():  # a non-line in the list, met while a removed def's scope is dropped
        pytest.raises(SystemError, impl.LogicalCacheModified, cache, out)
        pytest.raises(TypeError, impl.RebuildCache)

    watched = [lines, m_def, doc, fut, out.removed, back.added]
    assert_steady(cycle, *watched)
    lines.append(1)
    assert_steady(failing, *watched)


def test_rebuild_names_a_def_by_its_body_only_when_the_body_reads_so():
    # A rebuild keeps the scope names lines hold and takes a def's full name
    # from its body's first line; a def renamed under a body that still
    # holds the old name must get its new one.
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    assert lines[2].scope_name == "K.m" and impl.GetScopeDefForFullName("K.m") is lines[1]
    lines[1] = line("def n ( self ) :", indent=4, type=F)
    impl.SetLogicalList(lines)
    impl.RebuildCache()
    assert lines[2].scope_name == "K.m"
    assert impl.GetScopeDefForFullName("K.n") is lines[1]
    with pytest.raises(KeyError, match="K.m"):
        impl.GetScopeDefForFullName("K.m")
