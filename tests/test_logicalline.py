"""The logical line module: the LogicalLine type seen from Python, and the
native function table, reached here through ctypes."""

import ctypes
import gc
import sys
import weakref

import pytest

import logicalline as ll

LogicalLine = ll.LogicalLine

KIND_NAMES = [
    "kUnknownIndex", "kClassDefIndex", "kFunctionDefIndex", "kStringExpressionIndex",
    "kAssignmentIndex", "kIfBeginningIndex", "kElseBeginningIndex", "kWhileBeginningIndex",
    "kForBeginningIndex", "kPassIndex", "kRaiseIndex", "kTryIndex", "kExceptIndex",
    "kFinallyIndex", "kAssertIndex", "kReturnIndex", "kImportIndex", "kFromImportIndex",
    "kPrintIndex", "kDeleteIndex", "kElifBeginningIndex", "kCommentIndex",
    "kBlankLineIndex", "kBreakIndex",
]
CAPSULE_NAME = b"logicalline.LogicalLineFunctionTable"

_obj, _new, _int = ctypes.py_object, ctypes.c_void_p, ctypes.c_int
_F = ctypes.PYFUNCTYPE


class _Table(ctypes.Structure):
    _fields_ = [
        ("create", _F(_new)),
        ("check", _F(_int, _obj)),
        ("get_type_object", _F(_new)),
        ("get_arg_name", _F(_obj, _obj, _int)),
        ("get_arg_count", _F(_int, _obj)),
        ("append_type_equiv", _F(_int, _obj, _obj, _obj)),
        ("append_arg_type_equiv", _F(_int, _obj, _obj, _obj)),
        ("append_attrib", _F(_int, _obj, _obj)),
        ("append_arg_name", _F(_int, _obj, _obj)),
        ("append_base_class_name", _F(_int, _obj, _obj)),
        ("get_names_defined", _F(_new, _obj)),
        ("clear_derived_info", _F(_int, _obj)),
    ]


def _load_table():
    api = ctypes.pythonapi
    api.PyCapsule_GetPointer.restype = ctypes.c_void_p
    api.PyCapsule_GetPointer.argtypes = [_obj, ctypes.c_char_p]
    api.Py_DecRef.argtypes = [ctypes.c_void_p]
    capsule = ll.GetDirectLogicalLineFunctionTable()
    return _Table.from_address(api.PyCapsule_GetPointer(capsule, CAPSULE_NAME))


T = _load_table()


def take(address):
    """The object behind a new reference returned as an address."""
    obj = ctypes.cast(address, _obj).value
    ctypes.pythonapi.Py_DecRef(address)
    return obj


def names_defined(line):
    return take(T.get_names_defined(line))


class TestConstruction:
    def test_defaults(self):
        line = LogicalLine(["pass"])
        assert line.tokens == ("pass",)
        assert line.positions == ((0, 0),)
        assert (line.first_line, line.indent, line.line_count, line.type) == (1, 0, 1, 0)
        assert (line.parsed, line.tabs_in_indent, line.spaces_in_indent) == (False, False, False)
        assert line.scope_name is None and line.objs == () and line.type_equivs == ()
        empty = LogicalLine([], positions=[])
        assert empty.tokens == () and empty.positions == ()

    def test_all_arguments(self):
        line = LogicalLine(("def", "f", "(", ")", ":"), first_line=70000, indent=-4, line_count=3,
                           type=ll.kFunctionDefIndex, positions=[(1, 0), [1, 4], (1, 5), (1, 6), (65535, 65535)],
                           parsed=1, tabs_in_indent=True, spaces_in_indent=[1])
        assert line.tokens == ("def", "f", "(", ")", ":")
        assert line.positions[1] == (1, 4) and line.positions[4] == (65535, 65535)
        assert (line.first_line, line.indent, line.line_count, line.type) == (70000, -4, 3, 2)
        assert line.parsed is True and line.tabs_in_indent is True and line.spaces_in_indent is True

    @pytest.mark.parametrize("tokens", ["x = 1", b"x", 5, ["x", 1], [None], [type("S", (str,), {})("x")]])
    def test_tokens_must_be_sequence_of_exact_str(self, tokens):
        with pytest.raises(TypeError):
            LogicalLine(tokens)

    @pytest.mark.parametrize("positions, exc", [
        ([(1, 0)], ValueError),               # one position for two tokens
        ([(1, 0), (1, 2, 3)], ValueError),
        ([(1, 0), 5], TypeError),
        ([(1, 0), (1, "2")], TypeError),
        ([(1, 0), (1, 65536)], OverflowError),
        ([(-1, 0), (1, 2)], OverflowError),
        (7, TypeError),
    ])
    def test_bad_positions(self, positions, exc):
        with pytest.raises(exc):
            LogicalLine(["a", "b"], positions=positions)

    @pytest.mark.parametrize("kwargs, exc", [
        ({"type": 24}, ValueError),
        ({"first_line": 2 ** 31}, OverflowError),
        ({"indent": 32768}, OverflowError),
        ({"first_line": "1"}, TypeError),
        ({"bogus": 1}, TypeError),
    ])
    def test_bad_numbers(self, kwargs, exc):
        with pytest.raises(exc):
            LogicalLine(["x"], **kwargs)

    def test_not_subclassable(self):
        with pytest.raises(TypeError):
            type("Sub", (LogicalLine,), {})


class TestAttributes:
    def test_read_only(self):
        line = LogicalLine(["x"])
        for name in ("tokens", "positions", "objs", "type_equivs", "indent", "line_count", "type",
                     "parsed", "tabs_in_indent", "spaces_in_indent", "scope_name"):
            with pytest.raises(AttributeError):
                setattr(line, name, getattr(line, name))

    def test_first_line_writable(self):
        line = LogicalLine(["x"], first_line=4)
        line.first_line = 2 ** 31 - 1
        assert line.first_line == 2 ** 31 - 1
        for bad, exc in (("5", TypeError), (5.0, TypeError), (None, TypeError), (2 ** 31, OverflowError)):
            with pytest.raises(exc):
                line.first_line = bad
        with pytest.raises(TypeError):
            del line.first_line
        assert line.first_line == 2 ** 31 - 1

    def test_repr(self):
        line = LogicalLine(["class", "C", ":"], first_line=12, type=ll.kClassDefIndex)
        assert repr(line) == "<LogicalLine kClassDefIndex first_line=12 tokens=('class', 'C', ':')>"


class TestModule:
    def test_kinds(self):
        assert [getattr(ll, name) for name in KIND_NAMES] == list(range(24))

    def test_attrib_kinds_are_distinct(self):
        kinds = [ll.kClassAttribKind, ll.kFunctionAttribKind, ll.kGenericAttribKind, ll.kImportedAttribKind]
        assert len(set(kinds)) == 4 and len({id(k) for k in kinds}) == 4
        assert ll.kClassAttribKind in [ll.kClassAttribKind] and ll.kClassAttribKind not in kinds[1:]

    def test_type_and_capsule(self):
        assert LogicalLine.__name__ == "LogicalLine" and LogicalLine.__module__ == "logicalline"
        capsule = ll.GetDirectLogicalLineFunctionTable()
        assert type(capsule).__name__ == "PyCapsule"
        assert CAPSULE_NAME.decode() in repr(capsule)


class TestFunctionTable:
    def test_create_check_and_type(self):
        line = take(T.create())
        assert type(line) is LogicalLine and sys.getrefcount(line) == 2
        assert line.tokens == () and line.positions == () and line.objs == () and line.type_equivs == ()
        assert (line.first_line, line.line_count, line.type, line.parsed, line.scope_name) == (0, 0, 0, False, None)
        assert T.check(line) == 1 and T.check("x") == 0 and T.check(LogicalLine) == 0
        assert take(T.get_type_object()) is LogicalLine

    def test_appends(self):
        line = LogicalLine(["x", "=", "1"], type=ll.kAssignmentIndex)
        entry = ("x", None, "y")
        assert T.append_attrib(line, "x") == 0 and T.append_attrib(line, entry) == 0
        assert T.append_type_equiv(line, "x", "::dict:") == 0
        assert T.append_arg_type_equiv(line, "self", "C:") == 0
        assert line.objs == ("x", entry) and line.objs[1] is entry
        assert line.type_equivs == (("x", "::dict:"), ("self", "C:"))

    def test_def_and_class_lines(self):
        fn = LogicalLine(["def", "f", "(", "a", ",", "b", ")", ":"], type=ll.kFunctionDefIndex)
        for name in ("a", "b"):
            assert T.append_arg_name(fn, name) == 0
        assert T.get_arg_count(fn) == 2 and T.get_arg_name(fn, 1) == "b"
        for i in (-1, 2):
            with pytest.raises(IndexError):
                T.get_arg_name(fn, i)
        assert names_defined(fn) == ["f"]
        cls = LogicalLine(["class", "C", "(", "A", ")", ":"], type=ll.kClassDefIndex)
        assert T.append_base_class_name(cls, "A") == 0 and cls.objs == ("A",)
        assert T.get_arg_count(cls) == 0
        with pytest.raises(IndexError):
            T.get_arg_name(cls, 0)
        assert names_defined(cls) == ["C"]
        assert names_defined(LogicalLine(["class"], type=ll.kClassDefIndex)) == []

    def test_names_defined_from_entries(self):
        line = LogicalLine(["import", "a", ",", "b"], type=ll.kImportIndex)
        for entry in (("a", None, "a"), "plain", (), ("b",)):
            T.append_attrib(line, entry)
        assert names_defined(line) == ["a", "plain", (), "b"]
        assert names_defined(LogicalLine(["pass"])) == []

    def test_at_most_255_entries(self):
        line = LogicalLine(["x"])
        name = "only-once-%d" % id(line)
        before = sys.getrefcount(name)
        for i in range(300):
            assert T.append_attrib(line, name) == 0
            assert T.append_type_equiv(line, name, name) == 0
        assert len(line.objs) == 255 and len(line.type_equivs) == 255
        assert sys.getrefcount(name) == before + 255 * 3
        assert T.clear_derived_info(line) == 0
        assert line.objs == () and line.type_equivs == () and sys.getrefcount(name) == before
        assert T.append_attrib(line, name) == 0 and line.objs == (name,)

    def test_non_lines_rejected(self):
        for call in (lambda: T.append_attrib("x", "y"), lambda: T.append_type_equiv(3, "a", "b"),
                     lambda: T.get_arg_count([]), lambda: T.get_arg_name(None, 0),
                     lambda: T.clear_derived_info(LogicalLine), lambda: T.get_names_defined("x")):
            with pytest.raises(TypeError):
                call()


class TestLifetime:
    def test_token_references_released(self):
        tokens = ["tok-a-%d" % i for i in range(3)]
        before = [sys.getrefcount(t) for t in tokens]
        lines = [LogicalLine(tokens, positions=[(1, i) for i in range(3)]) for _ in range(10)]
        assert [sys.getrefcount(t) for t in tokens] == [b + 10 for b in before]
        del lines
        assert [sys.getrefcount(t) for t in tokens] == before

    def test_failed_construction_releases_tokens(self):
        tokens = ["tok-b-1", "tok-b-2"]
        before = [sys.getrefcount(t) for t in tokens]
        for _ in range(100):
            with pytest.raises(ValueError):
                LogicalLine(tokens, positions=[(1, 1)])
        assert [sys.getrefcount(t) for t in tokens] == before

    def test_facts_released_with_line(self):
        one, two, entry = "one-x", "two-x", ("imp-x", None, "imp-x")
        before = [sys.getrefcount(o) for o in (one, two, entry)]
        line = LogicalLine(["x"])
        T.append_type_equiv(line, one, two)
        T.append_attrib(line, entry)
        del line
        assert [sys.getrefcount(o) for o in (one, two, entry)] == before

    def test_no_objects_left_behind(self):
        def churn():
            for i in range(1000):
                line = LogicalLine(["a", "b", str(i)], positions=[(i, 0), (i, 2), (i, 4)])
                T.append_attrib(line, ("a", None, "b"))
                T.append_type_equiv(line, "a", "::list:")
                line.objs, line.tokens, line.type_equivs, repr(line)
        churn()
        gc.collect()
        before = len(gc.get_objects())
        churn()
        gc.collect()
        assert len(gc.get_objects()) == before

    def test_cycle_through_entry_collected(self):
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
