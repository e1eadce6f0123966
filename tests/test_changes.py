"""Folding edits of the logical list into the source info cache:
LogicalCacheModified, ClearCache and RebuildCache."""

import gc
import sys

import logicalline as ll
import pytest

from hostobjects import Host, line, lines_from

C, F, A, IF = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex, ll.kIfBeginningIndex
COMMENT, STR, FROM = ll.kCommentIndex, ll.kStringExpressionIndex, ll.kFromImportIndex

TREES = {
    "x = 1": ("Assign", ("Name", "x"), ("Const", 1)),
    "def m ( self ) : pass": ("Function", "m", ("self",)),
}


class LogicalCache:
    pass


class Delta:
    def __init__(self, removed=(), added=()):
        self.removed = list(removed)
        self.added = list(added)


def modified(host, removed=(), added=()):
    return host.impl.LogicalCacheModified(LogicalCache(), Delta(removed, added))


def changed(result):
    """The result with its body scope names sorted (their order is open)."""
    assert type(result) is tuple and len(result) == 4
    assert all(type(item) is list for item in result)
    return (sorted(result[0]),) + result[1:]


def make_host(spec):
    host = Host(trees=TREES)
    host.install(lines_from(spec))
    return host


KM = [
    ("class K :", 0, C),          # 0
    ("def m ( self ) :", 4, F),   # 1
    ("x = 1", 8, A),              # 2
    ("def inner ( ) :", 8, F),    # 3
    ("v = 0", 12, A),             # 4
    ("def mm ( ) :", 4, F),       # 5 full name starts with K.m's characters
    ("y = 2", 8, A),              # 6
    ("z = 3", 4, A),              # 7
    ("def f ( ) :", 0, F),        # 8
    ("w = 4", 4, A),              # 9
]
KM_SCOPES = ["", "K", "K.m", "K.m", "K.m.inner", "K", "K.mm", "K", "", "f"]


# -- LogicalCacheModified: arguments -------------------------------------------

def test_empty_change_set():
    host = make_host(KM)
    assert modified(host) == ([], [], [], [])
    assert host.impl.fActiveMethodCount == 0


def test_argument_errors():
    host = make_host(KM)
    impl = host.impl
    with pytest.raises(TypeError, match=r"^LogicalCacheModifed\(\) argument 1 must be class instance, not int$"):
        impl.LogicalCacheModified(1, Delta())
    with pytest.raises(TypeError, match=r"^LogicalCacheModifed\(\) argument 2 must be class instance, not None$"):
        impl.LogicalCacheModified(LogicalCache(), None)
    with pytest.raises(TypeError, match="LogicalCacheModifed"):
        impl.LogicalCacheModified(LogicalCache())
    bad = Delta()
    bad.removed = tuple(bad.removed)
    with pytest.raises(TypeError, match="^delta's added & removed attributes must be a Python lists$"):
        impl.LogicalCacheModified(LogicalCache(), bad)
    del bad.removed
    with pytest.raises(AttributeError, match="removed"):
        impl.LogicalCacheModified(LogicalCache(), bad)
    impl.SetLogicalList(None)
    with pytest.raises(AssertionError, match="^logical_list is NULL$"):
        modified(host)
    assert impl.fActiveMethodCount == 0


def test_bad_items_stop_processing_after_earlier_items():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.AnalyzeLogical(lines[2])
    with pytest.raises(TypeError, match="^Items in the removed list must be logical lines$"):
        modified(host, removed=["x"])
    with pytest.raises(TypeError, match="^Items in the added list must be logical lines$"):
        modified(host, removed=[lines[2]], added=[lines[7], 7])
    assert impl.fParsedCount == 0  # the removed line was processed
    assert lines[7].scope_name == "K"  # and the first added one
    assert impl.fActiveMethodCount == 0


# -- removed lines ---------------------------------------------------------------

def test_removed_def_never_placed_in_a_scope():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.AnalyzeLogical(lines[1])
    assert impl.fParsedCount == 1 and lines[1].scope_name is None
    gone = lines.pop(1)
    assert modified(host, removed=[gone]) == ([], [], [], [])
    assert impl.fParsedCount == 0 and gone.parsed


def test_removed_def_drops_its_scope():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    bodies = {n: impl.GetBodyOfScope(n) for n in ("K", "K.m", "K.m.inner", "K.mm", "f")}
    gone = lines.pop(1)
    assert changed(modified(host, removed=[gone])) == (["K"], [], ["K.m"], [])
    # Every line whose scope name begins with "K.m" lost it, K.mm's body
    # line included; the others keep theirs.
    assert [ln.scope_name for ln in lines] == ["", None, None, None, "K", None, "K", "", "f"]
    # Dropped: the changed scope K, K.m itself and the definitions among the
    # lines that lost their scope names.
    assert [impl.GetBodyOfScope(n) is bodies[n] for n in bodies if n != "K.m"] == [False, False, True, True]
    assert impl.GetBodyOfScope("K") == [lines[1], lines[2], lines[4], lines[6]]
    assert impl.GetBodyOfScope("K.m.inner") == [lines[3]]
    with pytest.raises(KeyError, match="K.m"):
        impl.GetScopeDefForFullName("K.m")


def test_removed_class_line():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    gone = lines.pop(0)
    assert changed(modified(host, removed=[gone])) == ([""], ["K"], [], [])
    assert [ln.scope_name for ln in lines] == [None] * 7 + ["", "f"]


# -- added lines -----------------------------------------------------------------

RESCOPE = [
    ("if c :", 0, IF),    # 0
    ("y = 2", 4, A),      # 1
    ("# c", 0, COMMENT),  # 2 a comment does not end the lines below a def
    ("z = 3", 4, A),      # 3
    ("w = 4", 0, A),      # 4
]


def test_added_def_rescopes_following_lines():
    host = make_host(RESCOPE)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()  # scope names everywhere and per-scope entries
    module_body = impl.GetBodyOfScope("")
    new = line("def f ( ) :", indent=0, type=F)
    lines.insert(1, new)
    assert changed(modified(host, added=[new])) == ([""], [], ["f"], [])
    assert [ln.scope_name for ln in lines] == ["", "", None, None, None, ""]
    assert impl.GetBodyOfScope("") is not module_body
    assert impl.GetBodyOfScope("f") == [lines[2], lines[4]]
    assert impl.GetScopeDefForFullName("f") is new


def test_added_def_leaves_following_lines_without_scope_entries():
    host = make_host(RESCOPE)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    impl.ClearCache()  # scope names stay, per-scope entries go
    new = line("def f ( ) :", indent=0, type=F)
    lines.insert(1, new)
    assert changed(modified(host, added=[new])) == ([""], [], ["f"], [])
    assert [ln.scope_name for ln in lines] == ["", "", "", "", "", ""]


def test_rescoping_stops_at_a_line_already_under_the_def():
    host = make_host(RESCOPE)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    new_def = line("def f ( ) :", indent=0, type=F)
    new_body = line("v = 1", indent=4)
    lines[1:1] = [new_def, new_body]
    # The body line is placed first, under f; the walk below f ends there.
    result = modified(host, added=[new_body, new_def])
    assert changed(result) == (["", "f"], [], ["f"], [])
    assert [ln.scope_name for ln in lines] == ["", "", "f", "", "", "", ""]


def test_rescoping_needs_a_dot_after_the_def_s_name():
    host = make_host([("def fg ( ) :", 0, F), ("a = 1", 4, A)])
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    # The host puts def f in place of def fg and reports only the addition:
    # "fg" is not a scope below "f", so line a is placed afresh.
    lines[0] = line("def f ( ) :", indent=0, type=F)
    assert changed(modified(host, added=[lines[0]])) == (["", "fg"], [], ["f"], [])
    assert lines[1].scope_name is None


def test_added_def_replaces_the_scope_entry():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.RebuildCache()
    old = lines[8]
    assert impl.GetScopeDefForFullName("f") is old
    new = line("def f ( ) :", indent=0, type=F)
    lines[8] = new
    assert changed(modified(host, removed=[old], added=[new])) == ([""], [], ["f", "f"], [])
    assert impl.GetScopeDefForFullName("f") is new
    assert impl.GetBodyOfScope("f") == [lines[9]]


def test_parsed_count_follows_added_and_removed_lines():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    impl.AnalyzeLogical(lines[2])
    old, new = lines[2], line("x = 1", indent=8, parsed=True)
    lines[2] = new
    modified(host, removed=[old], added=[new])
    assert impl.fParsedCount == 1
    extra = line("q = 1", parsed=True)
    lines.append(extra)
    modified(host, added=[extra])
    assert impl.fParsedCount == 2
    lines.remove(extra)
    extra_unparsed = line("q = 1")
    modified(host, removed=[extra, extra_unparsed])
    assert impl.fParsedCount == 1


# -- doc strings -------------------------------------------------------------------

DOCS = [
    ("def f ( ) :", 0, F),  # 0
    ("x = 1", 4, A),        # 1
]


def test_doc_string_recorded_and_removed():
    host = make_host(DOCS)
    impl, lines = host.impl, host.lines
    impl.GetScopeDefForFullName("f")  # gives f a per-scope entry
    doc = line("'doc'", indent=4, type=STR)
    lines.insert(1, doc)
    assert changed(modified(host, added=[doc])) == (["f"], [], [], ["f"])
    assert changed(modified(host, added=[doc])) == (["f"], [], [], [])  # already recorded
    second = line("'more'", indent=4, type=STR)
    lines.insert(2, second)
    assert changed(modified(host, added=[second])) == (["f"], [], [], [])
    del lines[1]
    assert changed(modified(host, removed=[doc])) == (["f"], [], [], ["f"])
    # The record is gone: removing it again changes nothing, adding it again
    # records it again.
    assert changed(modified(host, removed=[doc])) == (["f"], [], [], [])
    lines.insert(1, doc)
    assert changed(modified(host, added=[doc]))[3] == ["f"]


def test_doc_string_of_module_and_of_scopes_without_entries():
    host = make_host(DOCS)
    lines = host.lines
    doc = line("'doc'", indent=4, type=STR)
    lines.insert(1, doc)
    # f has no per-scope entry: only the first line of the list could be its
    # doc string.
    assert changed(modified(host, added=[doc])) == (["f"], [], [], [])
    top = line("'module doc'", indent=0, type=STR)
    lines.insert(0, top)
    assert changed(modified(host, added=[top])) == ([""], [], [], [""])


# -- future imports ----------------------------------------------------------------

def test_future_import_lines_rescan_flags_once():
    host = make_host(KM)
    impl, lines, calls = host.impl, host.lines, host.mod.calls
    fut = line("from __future__ import nested_scopes", type=FROM)
    other = line("from os import path", type=FROM)
    lines[0:0] = [fut, other]
    modified(host, added=[fut, other])
    assert impl.fFromFutureFlags == {"nested_scopes": 1}
    assert calls == ["_FromFutureFlagsChanged"]
    modified(host, added=[lines[2]])  # not an import: no rescan
    assert calls == ["_FromFutureFlagsChanged"]
    del lines[0]
    modified(host, removed=[fut])
    assert impl.fFromFutureFlags == {}
    assert calls == ["_FromFutureFlagsChanged"] * 2
    del lines[0]
    modified(host, removed=[other])  # no flags before or after
    assert calls == ["_FromFutureFlagsChanged"] * 2


# -- ClearCache and RebuildCache -----------------------------------------------------

def test_clear_cache_keeps_scope_names():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    body = impl.GetBodyOfScope("K.m")
    assert lines[1].scope_name == "K"
    assert impl.ClearCache() is None
    assert impl.GetBodyOfScope("K.m") is not body
    assert lines[1].scope_name == "K"
    with pytest.raises(TypeError):
        impl.ClearCache(1)


def test_rebuild_cache():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    assert impl.RebuildCache() is None
    assert [ln.scope_name for ln in lines] == KM_SCOPES
    for full_name, index in (("K", 0), ("K.m", 1), ("K.m.inner", 3), ("K.mm", 5), ("f", 8)):
        assert impl.GetScopeDefForFullName(full_name) is lines[index]
    impl.RebuildCache()
    assert impl.GetBodyOfScope("K") == [lines[1], lines[5], lines[7]]
    assert impl.fParsedCount == 0  # nothing is analysed


def test_rebuild_cache_without_list_and_with_bad_items():
    host = Host()
    host.impl.fFromFutureFlags["annotations"] = 1
    assert host.impl.RebuildCache() is None
    assert host.impl.fFromFutureFlags == {} and host.mod.calls == ["_FromFutureFlagsChanged"]
    host = make_host(KM)
    host.lines.append("not a line")  # the analyzer shares the host's list
    with pytest.raises(TypeError, match="^Each element of the logical_list must be a logical line$"):
        host.impl.RebuildCache()  # the future-import rescan comes first
    host.lines.pop()
    # A host callback that spoils the list after the rescan.
    host.impl.fFromFutureFlags["division"] = 1
    host.mod._FromFutureFlagsChanged = lambda: host.lines.append(None)
    with pytest.raises(TypeError, match="^All elements in logical_list must be logical lines$"):
        host.impl.RebuildCache()
    assert host.impl.fActiveMethodCount == 0


# -- references ------------------------------------------------------------------------

def live_objects():
    gc.collect()
    return len(gc.get_objects())


def assert_steady(fn, watched, rounds=1000):
    fn()
    refs = [sys.getrefcount(o) for o in watched]
    before = live_objects()
    for _ in range(rounds):
        fn()
    assert live_objects() - before <= 2
    assert [sys.getrefcount(o) for o in watched] == refs


def test_change_processing_does_not_leak():
    host = make_host(KM[:9] + [("'doc'", 4, STR)] + KM[9:])
    impl, lines = host.impl, host.lines
    fut = line("from __future__ import division", type=FROM)
    m_def, doc = lines[1], lines[9]
    delta_out, delta_in, cache = Delta(removed=[m_def, doc, fut]), Delta(added=[fut, m_def, doc]), LogicalCache()
    watched = [lines, m_def, doc, fut, delta_out.removed, delta_in.added]

    def remove_and_add():
        del lines[10]
        del lines[2]
        del lines[0]
        impl.LogicalCacheModified(cache, delta_out)
        lines.insert(0, fut)
        lines.insert(2, m_def)
        lines.insert(10, doc)
        impl.LogicalCacheModified(cache, delta_in)
        impl.GetBodyOfScope("K")
        impl.GetBodyOfScope("f")

    impl.RebuildCache()
    lines.insert(0, fut)
    impl.LogicalCacheModified(cache, Delta(added=[fut]))
    assert_steady(remove_and_add, watched)
    assert_steady(impl.RebuildCache, watched)
    assert_steady(impl.ClearCache, watched)


def test_failing_change_processing_does_not_leak():
    host = make_host(KM)
    impl, lines = host.impl, host.lines
    cache = LogicalCache()
    bad_item, bad_kind = Delta(added=[lines[2], "x"]), Delta()
    bad_kind.added = ()
    watched = [lines, lines[2], bad_item.added]

    def fail(delta, exc):
        def run():
            with pytest.raises(exc):
                impl.LogicalCacheModified(cache, delta)
        return run

    assert_steady(fail(bad_item, TypeError), watched)
    assert_steady(fail(bad_kind, TypeError), watched)
    impl.GetFullNameForScopeDef(lines[1])  # places def m in scope K
    lines.append(1)
    assert_steady(fail(Delta(removed=[lines[1]]), SystemError), watched)
    assert_steady(lambda: pytest.raises(TypeError, impl.RebuildCache), watched)
