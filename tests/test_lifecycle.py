"""The analyzer's life: the method guard every method runs under, tear-down
by destroy() and by the cyclic garbage collector."""

import gc
import weakref

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import Grammar, Host, ModuleAnalysis, assert_steady, line

METHODS = sorted(name for name in dir(Host().impl) if not name.startswith("_") and name[0].isupper())


def test_method_table_is_what_the_guard_covers():
    # A new method joins the table below by itself; this pins the count so
    # that a method dropped from the table is noticed.
    assert len(METHODS) == 23 and "destroy" not in METHODS


@pytest.mark.parametrize("name", METHODS)
def test_every_method_after_destroy_gives_the_destroyed_error(name):
    host = Host()
    ln = host.install([line("x = a")])[0]
    host.impl.destroy()
    # Whatever the arguments, good or bad, the destroyed analyzer answers first.
    for args in [(), (ln,), ("x", None), (ln, ln, ln)]:
        with pytest.raises(SystemError, match=r"^PySourceImpl method called after destroy\(\)$"):
            getattr(host.impl, name)(*args)
    assert host.impl.destroy() is None  # a second tear-down stays harmless


def test_methods_count_themselves_active_while_host_code_runs():
    seen = []
    host = Host(grammar=Grammar(lambda tokens: seen.append(host.impl.fActiveMethodCount) or tuple(tokens)),
                trees=lambda tree: ("Pass",))
    ln = host.install([line("x = a")])[0]
    host.impl.ParseLogicalLine(ln)
    host.impl.AstForLogicalLine(ln)
    assert seen == [1, 1] and host.impl.fActiveMethodCount == 0


def test_destroy_under_a_running_method_is_refused():
    errors = []

    def transform(tree):
        try:
            host.impl.destroy()
        except RuntimeError as exc:
            errors.append(str(exc))
        return ("Pass",)

    host = Host(trees=transform)
    host.impl.AstForLogicalLine(host.install([line("x = a")])[0])
    assert errors == ["destroy() called while a PySourceImpl method is running"]


# -- cyclic garbage collection --------------------------------------------------

def _analysed_cycle():
    """An analyzer whose module analysis refers back to it, with its walker,
    visitors and per-scope entries all made, and nothing torn down."""
    mod = ModuleAnalysis()
    host = Host(mod=mod, trees={"x = a": ("Assign", ("Name", "x"), ("Name", "a")), "class K :": ("Class",)})
    mod.impl = host.impl
    lines = host.install([line(["class", "K", ":"], type=ll.kClassDefIndex), line("x = a", indent=4)])
    host.impl.AnalyzeLogicalList(lines)
    host.impl.GetBodyOfScope("K")
    host.impl.SearchForAttribs({"local_name": "x"})
    return weakref.ref(mod)


def test_collector_frees_an_analyzer_in_a_cycle_without_destroy():
    ref = _analysed_cycle()
    gc.collect()
    assert ref() is None


def test_collected_cycles_leave_nothing_behind():
    assert_steady(_analysed_cycle, pysource_impl, rounds=300)


def test_walker_outlives_its_analyzer():
    # The walker's visitors copy the logical line operations they use, so a
    # walker reached after destroy() (or after the analyzer is gone) works.
    host = Host()
    ln = host.install([line("x = a")])[0]
    walk = next(r for r in gc.get_referents(host.impl) if getattr(r, "__name__", "") == "Walk")
    host.impl.destroy()
    del host.impl
    gc.collect()
    walk(("Assign", ("Name", "x"), ("Name", "a")), (ln, ModuleAnalysis()))
    assert ln.objs == ("x",) and ln.type_equivs == (("x", "a"),)
