"""The logical line module: the LogicalLine type seen from Python, and the
native function table, reached here through ctypes."""

import ctypes
import gc
import sys
import weakref

import pytest

import logicalline as ll
from hostobjects import assert_steady
from pysource.splitter import KIND_NAMES

LogicalLine = ll.LogicalLine

_obj, _new, _int = ctypes.py_object, ctypes.c_void_p, ctypes.c_int
_F = ctypes.PYFUNCTYPE


class _Table(ctypes.Structure):
    _fields_ = [(name, _F(*sig)) for name, *sig in [
        ("create", _new), ("check", _int, _obj), ("get_type_object", _new), ("get_arg_name", _obj, _obj, _int),
        ("get_arg_count", _int, _obj), ("append_type_equiv", _int, _obj, _obj, _obj),
        ("append_arg_type_equiv", _int, _obj, _obj, _obj), ("append_attrib", _int, _obj, _obj),
        ("append_arg_name", _int, _obj, _obj), ("append_base_class_name", _int, _obj, _obj),
        ("get_names_defined", _new, _obj), ("clear_derived_info", _int, _obj)]]


def _load_table():
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [_obj, ctypes.c_char_p]
    api.Py_DecRef.argtypes = [ctypes.c_void_p]
    capsule = ll.GetDirectLogicalLineFunctionTable()
    return _Table.from_address(api.PyCapsule_GetPointer(capsule, b"logicalline.LogicalLineFunctionTable"))


T = _load_table()


def take(address):
    """The object behind a new reference returned as an address."""
    obj = ctypes.cast(address, _obj).value
    ctypes.pythonapi.Py_DecRef(address)
    return obj


def names_defined(line):
    return take(T.get_names_defined(line))


# -- the type -----------------------------------------------------------------

def test_defaults_and_all_arguments():
    line = LogicalLine(["pass"])
    assert (line.tokens, line.positions, line.objs, line.type_equivs, line.scope_name) == (
        ("pass",), ((0, 0),), (), (), None)
    assert (line.first_line, line.indent, line.line_count, line.type) == (1, 0, 1, 0)
    assert (line.parsed, line.tabs_in_indent, line.spaces_in_indent) == (False, False, False)
    assert LogicalLine([], positions=[]).positions == ()
    line = LogicalLine(("def", "f", "(", ")", ":"), first_line=70000, indent=-4, line_count=3,
                       type=ll.kFunctionDefIndex, positions=[(1, 0), [1, 4], (1, 5), (1, 6), (65535, 65535)],
                       parsed=1, tabs_in_indent=True, spaces_in_indent=[1])
    assert line.tokens == ("def", "f", "(", ")", ":")
    assert line.positions[1] == (1, 4) and line.positions[4] == (65535, 65535)
    assert (line.first_line, line.indent, line.line_count, line.type) == (70000, -4, 3, 2)
    assert [line.parsed, line.tabs_in_indent, line.spaces_in_indent] == [True] * 3 and type(line.parsed) is bool


@pytest.mark.parametrize("kwargs, exc", [
    ({"tokens": "x = 1"}, TypeError), ({"tokens": b"x"}, TypeError), ({"tokens": 5}, TypeError),
    ({"tokens": ["x", 1]}, TypeError), ({"tokens": [None]}, TypeError),
    ({"tokens": [type("S", (str,), {})("x")]}, TypeError),
    ({"positions": [(1, 0)]}, ValueError),  # one position for two tokens
    ({"positions": [(1, 0), (1, 2, 3)]}, ValueError), ({"positions": [(1, 0), 5]}, TypeError),
    ({"positions": [(1, 0), (1, "2")]}, TypeError), ({"positions": [(1, 0), (1, 65536)]}, OverflowError),
    ({"positions": [(-1, 0), (1, 2)]}, OverflowError), ({"positions": 7}, TypeError),
    ({"type": 24}, ValueError), ({"first_line": 2 ** 31}, OverflowError), ({"indent": 32768}, OverflowError),
    ({"first_line": "1"}, TypeError), ({"bogus": 1}, TypeError),
])
def test_bad_arguments(kwargs, exc):
    with pytest.raises(exc):
        LogicalLine(**{"tokens": ["a", "b"], **kwargs})


def test_attributes():
    line = LogicalLine(["class", "C", ":"], first_line=12, type=ll.kClassDefIndex)
    assert repr(line) == "<LogicalLine kClassDefIndex first_line=12 tokens=('class', 'C', ':')>"
    for name in ("tokens", "positions", "objs", "type_equivs", "indent", "line_count", "type",
                 "parsed", "tabs_in_indent", "spaces_in_indent", "scope_name"):
        with pytest.raises(AttributeError):
            setattr(line, name, getattr(line, name))
    line.first_line = 2 ** 31 - 1
    for bad, exc in (("5", TypeError), (5.0, TypeError), (None, TypeError), (2 ** 31, OverflowError)):
        with pytest.raises(exc):
            line.first_line = bad
    with pytest.raises(TypeError):
        del line.first_line
    assert line.first_line == 2 ** 31 - 1
    with pytest.raises(TypeError):
        type("Sub", (LogicalLine,), {})


def test_module_constants():
    # The splitter's kinds are the ones the line records use.
    assert sorted(KIND_NAMES) == list(range(24)) and all(getattr(ll, n) == v for v, n in KIND_NAMES.items())
    kinds = [ll.kClassAttribKind, ll.kFunctionAttribKind, ll.kGenericAttribKind, ll.kImportedAttribKind]
    assert len({id(k) for k in kinds}) == 4 and len(set(kinds)) == 4
    assert (LogicalLine.__name__, LogicalLine.__module__) == ("LogicalLine", "logicalline")


# -- the function table -------------------------------------------------------

def test_create_check_and_type():
    line = take(T.create())
    assert type(line) is LogicalLine and sys.getrefcount(line) == 2
    assert (line.tokens, line.positions, line.objs, line.type_equivs) == ((), (), (), ())
    assert (line.first_line, line.line_count, line.type, line.parsed, line.scope_name) == (0, 0, 0, False, None)
    assert T.check(line) == 1 and T.check("x") == 0 and T.check(LogicalLine) == 0
    assert take(T.get_type_object()) is LogicalLine


def test_recorded_facts():
    line = LogicalLine(["import", "a", ",", "b"], type=ll.kImportIndex)
    entries = [("a", None, "a"), "plain", (), ("b",)]
    for entry in entries:
        assert T.append_attrib(line, entry) == 0
    assert T.append_type_equiv(line, "x", "::dict:") == 0 and T.append_arg_type_equiv(line, "self", "C:") == 0
    assert line.objs == tuple(entries) and line.objs[0] is entries[0]
    assert line.type_equivs == (("x", "::dict:"), ("self", "C:"))
    assert names_defined(line) == ["a", "plain", (), "b"] and names_defined(LogicalLine(["pass"])) == []
    fn = LogicalLine(["def", "f", "(", "a", ",", "b", ")", ":"], type=ll.kFunctionDefIndex)
    for name in ("a", "b"):
        assert T.append_arg_name(fn, name) == 0
    assert T.get_arg_count(fn) == 2 and T.get_arg_name(fn, 1) == "b" and names_defined(fn) == ["f"]
    for i in (-1, 2):
        with pytest.raises(IndexError):
            T.get_arg_name(fn, i)
    cls = LogicalLine(["class", "C", "(", "A", ")", ":"], type=ll.kClassDefIndex)
    assert T.append_base_class_name(cls, "A") == 0 and cls.objs == ("A",) and T.get_arg_count(cls) == 0
    assert names_defined(cls) == ["C"] and names_defined(LogicalLine(["class"], type=ll.kClassDefIndex)) == []
    for call in (lambda: T.append_attrib("x", "y"), lambda: T.append_type_equiv(3, "a", "b"),
                 lambda: T.get_arg_count([]), lambda: T.get_arg_name(None, 0),
                 lambda: T.clear_derived_info(LogicalLine), lambda: T.get_names_defined("x")):
        with pytest.raises(TypeError):
            call()


def test_at_most_255_entries():
    line = LogicalLine(["x"])
    name = "only-once-%d" % id(line)
    before = sys.getrefcount(name)
    for i in range(300):
        assert T.append_attrib(line, name) == 0 and T.append_type_equiv(line, name, name) == 0
    assert len(line.objs) == 255 and len(line.type_equivs) == 255
    assert sys.getrefcount(name) == before + 255 * 3
    assert T.clear_derived_info(line) == 0
    assert line.objs == () and line.type_equivs == () and sys.getrefcount(name) == before
    assert T.append_attrib(line, name) == 0 and line.objs == (name,)


# -- lifetime -----------------------------------------------------------------

def test_no_leaks():
    tokens, one, two, entry = ["tok-a", "tok-b"], "one-x", "two-x", ("imp-x", None, "imp-x")

    def churn():
        line = LogicalLine(tokens, positions=[(1, 0), (1, 4)])
        T.append_attrib(line, entry)
        T.append_type_equiv(line, one, two)
        line.objs, line.tokens, line.positions, line.type_equivs, repr(line)
        pytest.raises(ValueError, LogicalLine, tokens, positions=[(1, 1)])
    assert_steady(churn, *tokens, one, two, entry)


def test_cycle_through_entry_collected():
    class Analysis:
        pass
    line = LogicalLine(["from", "m", "import", "x"], type=ll.kFromImportIndex)
    holder = Analysis()
    holder.line = line
    T.append_attrib(line, ("x", holder, "x"))
    probe = weakref.ref(holder)
    del line, holder
    gc.collect()
    assert probe() is None


# -- the ways a line's arrays are laid out ----------------------------------------

def _made(how, tokens):
    """A line with `tokens` made by the constructor, the splitter (both keep
    tokens and positions in the line's own block) or the loader (arrays of
    their own)."""
    text = " ".join(tokens)
    positions = [(1, len(" ".join(tokens[:i])) + (i > 0)) for i in range(len(tokens))]
    line = LogicalLine(tokens, positions=positions, type=ll.kFromImportIndex)
    if how == "split":
        [line] = ll.split_logical_lines(text + "\n")
    elif how == "load":
        from hostobjects import Host
        impl = Host().impl
        [line] = impl.DeserializeLogicalList(impl.SerializeLogicalList([line]))
    return line


@pytest.mark.parametrize("how", ["new", "split", "load"])
def test_lines_made_every_way_hold_release_and_copy_their_arrays(how):
    tokens = ["from", "m%d" % id(how), "import", "x"]
    line = _made(how, tokens)
    words = line.tokens
    counts = [sys.getrefcount(t) for t in words]
    assert line.tokens == tuple(tokens) and line.positions == ((1, 0), (1, 5), (1, 6 + len(tokens[1])),
                                                                (1, 13 + len(tokens[1])))
    copy = LogicalLine(line.tokens, line.first_line, line.indent, line.line_count, line.type, line.positions)
    assert (copy.tokens, copy.positions) == (line.tokens, line.positions)
    from hostobjects import Host
    impl = Host().impl
    [again] = impl.DeserializeLogicalList(impl.SerializeLogicalList([line]))
    assert (again.tokens, again.positions, again.first_line) == (line.tokens, line.positions, line.first_line)
    del again
    # the size counts the tokens' slots and the entries
    empty = sys.getsizeof(LogicalLine([]))
    assert sys.getsizeof(line) == empty + 4 * (sys.getsizeof(LogicalLine(["a"])) - empty)
    T.append_attrib(line, "x")
    assert sys.getsizeof(line) > sys.getsizeof(copy)
    # cleared by the collector as part of a cycle: every token is released
    class Analysis:
        pass
    holder = Analysis()
    holder.line = line
    T.append_attrib(line, ("x", holder, "x"))
    probe = weakref.ref(holder)
    del copy
    del line, holder
    gc.collect()
    # the line's own reference to each token is gone
    assert probe() is None and [sys.getrefcount(t) for t in words] == [c - 1 for c in counts]


def test_positions_read_after_the_tokens_are_taken():
    tokens = ["a", "b", "c"]

    def positions():
        tokens.clear()  # the token list changes while the positions are read
        yield from [(1, 0), (1, 1), (1, 2)]
    line = LogicalLine(tokens, positions=positions())
    assert line.tokens == ("a", "b", "c") and line.positions[2] == (1, 2)

    def failing():
        yield (1, 0)
        raise KeyError("stop")
    for make in (lambda: LogicalLine(["p", "q"], positions=failing()),
                 lambda: LogicalLine(["p", "q"], positions=[(1, 0)] * 3)):
        assert_steady(lambda: pytest.raises((KeyError, ValueError), make), "p", "q", rounds=200)
