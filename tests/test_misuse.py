"""Hostile and mistaken host objects: a foreign function table, host strings
whose __eq__ changes the analyzer's caches or list in the middle of a
lookup, trees of the wrong shape, lists changed under the analyzer, bad
stored data.  Each gets a clear error or a sound answer, never a crash (the
sanitizer build runs these too)."""

import datetime
import gc
import types

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import AttribRef, Grammar, Host, ModuleAnalysis, Transformer, assert_steady, line, lines_from

C, F, A = ll.kClassDefIndex, ll.kFunctionDefIndex, ll.kAssignmentIndex


class Delta:
    def __init__(self, removed=(), added=()):
        self.removed, self.added = list(removed), list(added)


class HookName(str):
    """A host's own string in the name pool: compares like the text and runs
    `hook` (once, when armed) while it is compared."""

    hook = None

    def __eq__(self, other):
        hook, HookName.hook = HookName.hook, None
        if hook is not None:
            hook()
        return str.__eq__(self, other)

    __hash__ = str.__hash__


@pytest.fixture(autouse=True)
def _disarm():
    HookName.hook = None
    yield
    HookName.hook = None


def test_a_foreign_capsule_is_not_taken_for_the_function_table():
    fake = types.ModuleType("fake")
    fake.GetDirectLogicalLineFunctionTable = lambda: datetime.datetime_CAPI
    with pytest.raises(TypeError, match=r"expected a capsule named logicalline\.LogicalLineFunctionTable, "
                                        r"got <capsule object \"datetime\.datetime_CAPI\""):
        pysource_impl.CreatePySourceImpl(ModuleAnalysis(), Grammar(), Transformer(), {}, AttribRef, fake)


def _cached_host(pool_names, trees=None):
    host = Host(trees=trees)
    host.pool.update((HookName(n), HookName(n)) for n in pool_names)
    host.install(lines_from([("class K :", 0, C), ("def m ( self ) :", 4, F), ("def inner ( ) :", 8, F),
                             ("import m", 12, ll.kImportIndex)]))
    host.impl.RebuildCache()
    return host


def test_name_cache_lookup_survives_a_key_that_clears_the_cache():
    # The transformer's own string becomes the name an import line defines,
    # and so a key of the name cache.
    host = _cached_host([], trees=lambda tree: ("Import", (("m", HookName("x")),)))
    host.impl.AnalyzeLogicalList(host.lines)
    HookName.hook = host.impl.ClearCache
    host.impl.SearchForAttribs({"local_name": "x", "update": False})
    assert HookName.hook is None and host.impl.SearchForAttribs({"local_name": "x", "update": False}) == []


def test_pooled_values_that_are_not_plain_strings_are_not_taken():
    host = _cached_host(["K.m"])
    name = host.impl.GetFullNameForScopeDef(host.lines[1])
    assert name == "K.m" and type(name) is str and host.lines[2].scope_name == "K.m"
    assert type(host.lines[2].scope_name) is str


def test_scope_names_dropped_while_a_name_lookup_empties_the_list():
    host = _cached_host(["K.m.inner"])
    lines = host.lines
    removed = lines.pop(1)

    def empty_everything():
        del lines[:]
        host.impl.ClearCache()
        gc.collect()

    HookName.hook = empty_everything
    body_changes, classes, functions, docs = host.impl.LogicalCacheModified(host.mod, Delta(removed=[removed]))
    assert HookName.hook is None and functions == ["K.m"] and lines == []


# -- errors that say what is wrong --------------------------------------------------

def test_list_removed_by_a_callback_during_an_analysis():
    def transform(tree):
        host.impl.SetLogicalList(None)
        return ("Assign", ("Name", "x"), ("Const", 1))

    host = Host(trees=transform)
    for call in (lambda: host.impl.AnalyzeLogicalList(host.lines), lambda: host.impl.FindTypeEquivs("x", "")):
        host.install(lines_from([("x = 1", 0, A), ("y = 1", 0, A)]))
        with pytest.raises(ValueError, match="no logical list is set"):
            call()


def test_added_lines_must_be_in_the_list():
    host = Host()
    lines = host.install(lines_from([("class K :", 0, C), ("def f ( self ) :", 4, F), ("x = 1", 8, A)]))
    host.impl.RebuildCache()
    stray = lines.pop(1)  # placed before, so its scope name is known
    for added in ([stray], [line("x = 2", indent=4)]):
        with pytest.raises(ValueError, match="Items in the added list must be lines of the logical list"):
            host.impl.LogicalCacheModified(host.mod, Delta(added=added))


@pytest.mark.parametrize("source", [
    "class \udc80: pass\n",
    "class \udc80:\n    def m(self):\n        self.x = 1\n",
    "class A:\n    class \udc80:\n        def f(self):\n            pass\n",
    "import \udc80\n\udc80.y = isinstance(a, \udc80)\nclass B(\udc80): pass\n",
])
def test_names_without_utf8_form_match_nothing(source):
    import pysource
    mod = pysource.analyze_source(source)
    names = {ref.fLocalName for ref in mod.impl.SearchForAttribs({})}
    assert all("\udc80" not in name for name in names)
    with pytest.raises(KeyError):
        mod.impl.GetScopeDefForFullName("\udc80.m")


def test_refusals_leave_nothing_behind():
    fake = types.ModuleType("fake")
    fake.GetDirectLogicalLineFunctionTable = lambda: datetime.datetime_CAPI
    host = Host(trees=lambda tree: ("Assign", ("Tuple", None), ("Name", "x")))
    lines = host.install(lines_from([("class K :", 0, C), ("def f ( self ) :", 4, F), ("x = 1", 8, A)]))
    host.impl.RebuildCache()
    stray = line("x = 2")

    def cycle():
        with pytest.raises(TypeError, match="Bad logical line function table"):
            pysource_impl.CreatePySourceImpl(ModuleAnalysis(), Grammar(), Transformer(), {}, AttribRef, fake)
        with pytest.raises(ValueError, match="must be lines of the logical list"):
            host.impl.LogicalCacheModified(host.mod, Delta(added=[stray]))
        with pytest.raises(TypeError, match="bad tree from the transformer"):
            host.impl.AnalyzeLogical(lines[2])
        host.impl.ClearAnalysis(lines[2])
        host.xformer.seen.clear(), host.grammar.fed.clear(), host.grammar.symbols.clear()

    assert_steady(cycle, *lines, stray, fake)
