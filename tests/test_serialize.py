"""SerializeLogicalList / DeserializeLogicalList: the byte form of logical
lines, its shared names list, and rejection of malformed data."""

import gc
import random
import struct
import sys

import logicalline as ll
import pytest

from hostobjects import Host, line

A, IMP, F = ll.kAssignmentIndex, ll.kImportIndex, ll.kFunctionDefIndex
INVALID = "Invalid data found while deserializing logical line"
HEAD = struct.Struct("<ihhHHHHi")  # first line .. token count: 20 bytes


def decode(data, names):
    """Reads one serialized line back into plain values, following the
    documented layout independently of the module."""
    first, indent, count, kind, parsed, tabs, spaces, ntok = HEAD.unpack_from(data, 0)
    pos = HEAD.size
    refs = struct.unpack_from(f"<{ntok}i", data, pos)
    pos += 4 * ntok
    (npos,) = struct.unpack_from("<i", data, pos)
    positions = struct.unpack_from(f"<{2 * npos}H", data, pos + 4)
    pos += 4 + 4 * npos
    scope, nobjs = struct.unpack_from("<ii", data, pos)
    pos += 8
    objs = struct.unpack_from(f"<{nobjs}i", data, pos)
    pos += 4 * nobjs
    (npairs,) = struct.unpack_from("<i", data, pos)
    pairs = struct.unpack_from(f"<{2 * npairs}i", data, pos + 4)
    assert pos + 4 + 8 * npairs == len(data)
    return dict(first=first, indent=indent, count=count, kind=kind, parsed=parsed, tabs=tabs,
                spaces=spaces, tokens=[names[i] for i in refs], token_refs=refs,
                positions=list(zip(positions[::2], positions[1::2])), scope=names[scope],
                objs=[names[i] for i in objs], pairs=[(names[a], names[b]) for a, b in zip(pairs[::2], pairs[1::2])])


def fields(ln):
    return (ln.tokens, ln.positions, ln.first_line, ln.indent, ln.line_count, ln.type, ln.parsed,
            ln.tabs_in_indent, ln.spaces_in_indent, ln.scope_name, ln.objs, ln.type_equivs)


def analysed_lines():
    """A def line, an assignment inside it and an import, all analysed, with
    scope names filled in."""
    trees = {
        "def m ( self ) : pass": ("Function", "m", ("self",)),
        "self . d = { }": ("Assign", ("Getattr", ("Name", "self"), "d"), ("Dict",)),
        "import os": ("Import", ("os",)),
    }
    host = Host(trees=trees)
    lines = host.install([
        ll.LogicalLine(["def", "m", "(", "self", ")", ":"], first_line=3, type=F,
                       positions=[(3, 0), (3, 4), (3, 5), (3, 6), (3, 10), (3, 11)]),
        ll.LogicalLine(["self", ".", "d", "=", "{", "}"], first_line=4, indent=4, type=A, spaces_in_indent=True),
        ll.LogicalLine(["import", "os"], first_line=6, type=IMP),
    ])
    host.impl.AnalyzeLogicalList(lines)
    host.impl.SearchForAttribs({"local_name": "self.d"})  # fills the assignment's scope name
    return host, lines


# -- the byte form ----------------------------------------------------------------

def test_empty_list_and_empty_line():
    impl = Host().impl
    assert impl.SerializeLogicalList([]) == ([], [])
    names, data = impl.SerializeLogicalList([ll.LogicalLine([], first_line=7, indent=2, line_count=1)])
    assert names == [None]
    assert data == [HEAD.pack(7, 2, 1, 0, 0, 0, 0, 0) + struct.pack("<iiii", 0, 0, 0, 0)]
    assert len(data[0]) == 36 and type(data[0]) is bytes


def test_layout_of_analysed_lines():
    host, lines = analysed_lines()
    assert lines[0].objs and lines[1].type_equivs and lines[2].objs and lines[2].parsed
    names, data = host.impl.SerializeLogicalList(lines)
    assert len(names) == len(set(names))  # each object once
    assert names[0] == "def"  # the first object referenced gets index 0
    d0, d1, d2 = (decode(d, names) for d in data)
    assert d0["tokens"] == list(lines[0].tokens) and d0["positions"] == list(lines[0].positions)
    assert (d0["first"], d0["kind"], d0["parsed"]) == (3, F, 1)
    assert d0["objs"] == list(lines[0].objs) and d0["pairs"] == list(lines[0].type_equivs)
    assert d1["scope"] == "m" and d1["spaces"] == 1 and d1["indent"] == 4
    assert d1["objs"] == ["self.d"] and d1["pairs"] == [("self.d", "::dict:")]
    # "self" is stored once and both lines refer to it by the same index
    assert d0["token_refs"][3] == d1["token_refs"][0] == names.index("self")
    # import lines are written as not analysed and without their facts
    assert (d2["parsed"], d2["objs"], d2["pairs"]) == (0, [], [])
    assert d0["scope"] == "" and d2["scope"] is None
    # None is only named when some line has no scope name
    assert None not in host.impl.SerializeLogicalList(lines[:2])[0]


def test_round_trip_rebuilds_equal_lines():
    host, lines = analysed_lines()
    pair = host.impl.SerializeLogicalList(lines)
    loaded = host.impl.DeserializeLogicalList(pair)
    assert [type(ln) for ln in loaded] == [ll.LogicalLine] * 3
    assert fields(loaded[0]) == fields(lines[0]) and fields(loaded[1]) == fields(lines[1])
    imp = loaded[2]
    assert not imp.parsed and imp.objs == () and imp.type_equivs == ()
    assert imp.tokens == lines[2].tokens
    # the loaded objects are the names-list objects themselves
    assert loaded[1].tokens[0] is pair[0][pair[0].index("self")]
    # an import line loaded unparsed is analysed again
    other = Host(trees={"import os": ("Import", ("os",))})
    other.install([imp])
    other.impl.AnalyzeLogical(imp)
    assert imp.parsed and imp.objs == (("os", None, ""),)


def test_large_values_survive():
    tokens = [f"t{i}" for i in range(40000)]
    ln = ll.LogicalLine(tokens, first_line=2**31 - 1, indent=-3, line_count=32767,
                        positions=[(65535, i % 65536) for i in range(40000)], tabs_in_indent=True)
    impl = Host().impl
    names, data = impl.SerializeLogicalList([ln])
    assert len(names) == 40001
    (back,) = impl.DeserializeLogicalList((names, data))
    assert fields(back) == fields(ln)


# -- argument and data errors -------------------------------------------------------

def empty_line(ntok=0, refs=(), npos=None, positions=b"", scope=0, objs=(), pairs=(), nobjs=None, npairs=None,
               parsed=0):
    data = HEAD.pack(1, 0, 1, A, parsed, 0, 0, ntok) + struct.pack(f"<{len(refs)}i", *refs)
    data += struct.pack("<i", ntok if npos is None else npos) + positions
    data += struct.pack("<ii", scope, len(objs) if nobjs is None else nobjs)
    data += struct.pack(f"<{len(objs)}i", *objs)
    data += struct.pack("<i", len(pairs) // 2 if npairs is None else npairs) + struct.pack(f"<{len(pairs)}i", *pairs)
    return data


def test_argument_errors():
    impl = Host().impl
    with pytest.raises(TypeError, match="SerializeLogicalList"):
        impl.SerializeLogicalList((line("x"),))
    with pytest.raises(TypeError, match="Each element of the logical_list must be a logical line"):
        impl.SerializeLogicalList([line("x"), "y"])
    with pytest.raises(TypeError, match="UnerializeLogicalList"):
        impl.DeserializeLogicalList(([], ()))
    with pytest.raises(TypeError, match="UnerializeLogicalList"):
        impl.DeserializeLogicalList([], [])
    with pytest.raises(TypeError):
        impl.DeserializeLogicalList(([None], ["not bytes"]))
    # any names-list object loads; one that cannot be a dictionary key cannot be saved again
    (odd,) = impl.DeserializeLogicalList(([None, [1]], [empty_line(objs=(1,))]))
    assert odd.objs == ([1],)
    with pytest.raises(TypeError, match="unhashable"):
        impl.SerializeLogicalList([odd])


def test_malformed_lines_are_rejected():
    impl = Host().impl
    names = [None, "a", 5]
    good = empty_line(2, (1, 1), positions=b"\0" * 8, objs=(1,), pairs=(1, 2))
    (ok,) = impl.DeserializeLogicalList((names, [good]))
    assert ok.tokens == ("a", "a") and ok.objs == ("a",) and ok.type_equivs == (("a", 5),)
    assert impl.DeserializeLogicalList((names, [good + b"extra"]))[0].tokens == ("a", "a")
    bad = [
        empty_line(1, (1,), npos=2, positions=b"\0" * 8),     # position count differs
        empty_line(1, (3,), positions=b"\0" * 4),             # index past the names list
        empty_line(1, (-1,), positions=b"\0" * 4),            # negative index
        empty_line(-1, npos=-1),                              # negative count
        empty_line(scope=2),                                  # scope name neither None nor a string
        empty_line(nobjs=256, objs=(1,) * 256),               # more entries than a line holds
        empty_line(npairs=-2),
        empty_line(0x7FFFFFFF),                               # count far past the data
    ]
    for data in bad:
        with pytest.raises(ValueError, match=INVALID):
            impl.DeserializeLogicalList((names, [good, data]))
    # scope names may be None or exact strings
    assert impl.DeserializeLogicalList(([None, "K"], [empty_line(scope=1)]))[0].scope_name == "K"


def test_host_code_run_by_hashing_may_change_the_line():
    host = Host()
    impl = host.impl

    class Meddler:
        def __hash__(self):
            impl.ClearAnalysis(victim)  # drops the entries being written
            return 1

    meddler = Meddler()
    (victim,) = impl.DeserializeLogicalList(([None, "a", meddler], [empty_line(objs=(1, 2, 1), parsed=1)]))
    host.install([victim])
    names, data = impl.SerializeLogicalList([victim])
    assert decode(data[0], names)["objs"] == ["a", meddler]  # the count matches what was written
    assert victim.objs == () and not victim.parsed


def test_every_truncation_fails_cleanly():
    host, lines = analysed_lines()
    names, data = host.impl.SerializeLogicalList(lines)
    for blob in data:
        for cut in range(len(blob)):
            with pytest.raises(ValueError, match=INVALID):
                host.impl.DeserializeLogicalList((names, [blob[:cut]]))


def test_fuzzed_data_loads_or_raises():
    host, lines = analysed_lines()
    names, data = host.impl.SerializeLogicalList(lines)
    names = names + [(1, 2), 3.5]
    rng = random.Random(1234)
    outcomes = {"ok": 0, "error": 0}
    for _ in range(3000):
        blob = bytearray(rng.choice(data))
        for _ in range(rng.randint(1, 4)):
            op = rng.random()
            if op < 0.6 and blob:
                blob[rng.randrange(len(blob))] = rng.randrange(256)
            elif op < 0.8:
                del blob[rng.randrange(len(blob) + 1):]
            else:
                blob.insert(rng.randrange(len(blob) + 1), rng.randrange(256))
        try:
            loaded = host.impl.DeserializeLogicalList((names, [bytes(blob)]))
        except (ValueError, TypeError):
            outcomes["error"] += 1
        else:
            outcomes["ok"] += 1
            fields(loaded[0])
            host.impl.SerializeLogicalList(loaded)
    assert outcomes["ok"] and outcomes["error"]


# -- references ---------------------------------------------------------------------

def test_no_leaks_on_success_and_failure():
    host, lines = analysed_lines()
    impl = host.impl
    pair = impl.SerializeLogicalList(lines)
    names, data = pair
    cut = (names, [data[1][:-3]])
    bad_index = (names, [empty_line(1, (len(names),), positions=b"\0" * 4)])
    watched = list(lines) + [names, data, "self"] + [n for n in names if n is not None]
    impl.DeserializeLogicalList(pair)
    gc.collect()
    before = len(gc.get_objects())
    counts = [sys.getrefcount(o) for o in watched]
    for _ in range(1000):
        impl.SerializeLogicalList(lines)
        impl.DeserializeLogicalList(pair)
        for args in (cut, bad_index):
            with pytest.raises(ValueError):
                impl.DeserializeLogicalList(args)
        with pytest.raises(TypeError):
            impl.SerializeLogicalList([lines[0], 1])
    gc.collect()
    assert len(gc.get_objects()) - before <= 2
    assert [sys.getrefcount(o) for o in watched] == counts
