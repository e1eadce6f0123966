"""The analyzer's life: the method guard every method runs under, tear-down
by destroy() and by the cyclic garbage collector."""

import gc
import weakref

import logicalline as ll
import pysource_impl
import pytest

from hostobjects import Grammar, Host, ModuleAnalysis, line

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
