"""SerializeLogicalList / DeserializeLogicalList: the byte form of logical
lines, its shared names list, and rejection of malformed data."""

import random
import struct

import logicalline as ll
import pytest

from hostobjects import Host, assert_steady, line

A, IMP, F = ll.kAssignmentIndex, ll.kImportIndex, ll.kFunctionDefIndex
INVALID = "Invalid data found while deserializing logical line"
HEAD = struct.Struct("<ihhHHHHi")  # first line .. token count: 20 bytes


def pack(refs=(), positions=None, scope=0, objs=(), pairs=(), head=(1, 0, 1, A, 0, 0, 0),
         ntok=None, npos=None, nobjs=None, npairs=None):
    """One line in the documented byte form, built independently of the
    module; the counts default to the lengths of what is given."""
    flat = [v for p in ([(0, 0)] * len(refs) if positions is None else positions) for v in p]
    return (HEAD.pack(*head, len(refs) if ntok is None else ntok) + struct.pack(f"<{len(refs)}i", *refs)
            + struct.pack(f"<i{len(flat)}H", len(flat) // 2 if npos is None else npos, *flat)
            + struct.pack(f"<ii{len(objs)}i", scope, len(objs) if nobjs is None else nobjs, *objs)
            + struct.pack(f"<i{len(pairs)}i", len(pairs) // 2 if npairs is None else npairs, *pairs))


def fields(ln):
    return (ln.tokens, ln.positions, ln.first_line, ln.indent, ln.line_count, ln.type, ln.parsed,
            ln.tabs_in_indent, ln.spaces_in_indent, ln.scope_name, ln.objs, ln.type_equivs)


def analysed_lines():
    """A def line, an assignment inside it and an import, all analysed, with
    scope names filled in."""
    host = Host(trees={
        "def m ( self ) : pass": ("Function", "m", ("self",)),
        "self . d = { }": ("Assign", ("Getattr", ("Name", "self"), "d"), ("Dict",)),
        "import os": ("Import", ("os",)),
    })
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
    assert names == [None] and type(data[0]) is bytes and len(data[0]) == 36
    assert data == [HEAD.pack(7, 2, 1, 0, 0, 0, 0, 0) + struct.pack("<iiii", 0, 0, 0, 0)]


def test_layout_of_analysed_lines():
    host, lines = analysed_lines()
    assert lines[0].objs and lines[1].type_equivs and lines[2].objs and lines[2].parsed
    names, data = host.impl.SerializeLogicalList(lines)
    # each object once, indices in order of first use: "self" is shared by both lines
    assert names == ["def", "m", "(", "self", ")", ":", "", ".", "d", "=", "{", "}", "self.d", "::dict:",
                     "import", "os", None]
    assert data[0] == pack([0, 1, 2, 3, 4, 5], lines[0].positions, 6, [3], head=(3, 0, 1, F, 1, 0, 0))
    assert data[1] == pack([3, 7, 8, 9, 10, 11], None, 1, [12], [12, 13], head=(4, 4, 1, A, 1, 0, 1))
    # import lines are written as not analysed and without their facts
    assert data[2] == pack([14, 15], None, 16, head=(6, 0, 1, IMP, 0, 0, 0))
    # None is only named when some line has no scope name
    assert None not in host.impl.SerializeLogicalList(lines[:2])[0]


def test_round_trip_rebuilds_equal_lines():
    host, lines = analysed_lines()
    pair = host.impl.SerializeLogicalList(lines)
    loaded = host.impl.DeserializeLogicalList(pair)
    assert [type(ln) for ln in loaded] == [ll.LogicalLine] * 3
    assert [fields(ln) for ln in loaded[:2]] == [fields(ln) for ln in lines[:2]]
    imp = loaded[2]
    assert (imp.tokens, imp.parsed, imp.objs, imp.type_equivs) == (lines[2].tokens, 0, (), ())
    # the loaded objects are the names-list objects themselves
    assert loaded[1].tokens[0] is pair[0][pair[0].index("self")]
    # the lines one after the other in one byte string load the same; with a
    # pool, strings are the pool's (and new ones are entered in it)
    own = "".join(["se", "lf"])
    pool = {own: own}
    joined = host.impl.DeserializeLogicalList((pair[0], b"".join(pair[1])), pool)
    assert [fields(ln) for ln in joined] == [fields(ln) for ln in loaded]
    assert joined[1].tokens[0] is own and joined[0].tokens[0] is pool["def"]
    # literals, comments, dotted names and written expressions (held by one
    # module mostly) are not looked up in the pool but load all the same;
    # names, operators and the dots of relative imports are
    tokens = ["x", "=", "'a'", "+", 'b"b"', "+", "1.5", "-", ".5", "+", "x.y", "[", "0", "]", "#: f(x)", "f(x)",
              "...", "()", "é.x", "Ünï", "Ω.y", "Ωx"]
    lit = host.impl.SerializeLogicalList([ll.LogicalLine(tokens, first_line=1, indent=0, line_count=1)])
    pool = {}
    assert host.impl.DeserializeLogicalList((lit[0], b"".join(lit[1])), pool)[0].tokens == tuple(tokens)
    assert sorted(pool) == ["()", "+", "-", "...", "=", "[", "]", "x", "Ünï", "Ωx"]
    assert host.impl.DeserializeLogicalList((pair[0], b"")) == []
    with pytest.raises(ValueError, match=INVALID):
        host.impl.DeserializeLogicalList((pair[0], b"".join(pair[1])[:-1]))
    # a view of the part of a larger buffer that holds the lines reads them
    # where they are, and sees none of what lies around them
    around = memoryview(b"head" + b"".join(pair[1]) + b"tail")
    assert [fields(ln) for ln in host.impl.DeserializeLogicalList((pair[0], around[4:-4]))] == \
        [fields(ln) for ln in loaded]
    with pytest.raises(ValueError, match=INVALID):
        host.impl.DeserializeLogicalList((pair[0], around[4:-5]))
    with pytest.raises(TypeError, match="bytes-like"):
        host.impl.DeserializeLogicalList((pair[0], "not bytes"))
    # the store's reader refuses names a stored line cannot hold
    assert len(host.impl.DeserializeLogicalList(pair, None, True)) == 3
    with pytest.raises(ValueError, match="neither a string"):
        host.impl.DeserializeLogicalList((pair[0] + [("x", (None, [1]))], pair[1]), None, True)
    with pytest.raises(TypeError, match="pool must be a dict or None"):
        host.impl.DeserializeLogicalList(pair, [], True)

    tokens = [f"t{i}" for i in range(40000)]  # values past 16 bits
    big = ll.LogicalLine(tokens, first_line=2**31 - 1, indent=32767, line_count=32767,
                         positions=[(65535, i % 65536) for i in range(40000)], tabs_in_indent=True)
    names, data = host.impl.SerializeLogicalList([big])
    assert len(names) == 40001
    assert [fields(ln) for ln in host.impl.DeserializeLogicalList((names, data))] == [fields(big)]
    # what the loader would refuse is not written
    with pytest.raises(ValueError, match="negative indent cannot be serialized"):
        host.impl.SerializeLogicalList([ll.LogicalLine(["x"], indent=-3)])


# -- argument and data errors -------------------------------------------------------

def test_argument_errors():
    impl = Host().impl
    # the host's extra arguments are no reason to change the methods' doc strings
    assert impl.DeserializeLogicalList.__doc__ == "Deserialize a list of logical lines"
    assert impl.SerializeLogicalList.__doc__ == ("Serialize a list of logical lines,  Returns tuple of list of names "
                                                 "used and a list of strings which contain the binary data for each "
                                                 "logical line.")
    for call, args, msg in [(impl.SerializeLogicalList, ((line("x"),),), "SerializeLogicalList"),
                            (impl.SerializeLogicalList, ([line("x"), "y"],),
                             "Each element of the logical_list must be a logical line"),
                            (impl.DeserializeLogicalList, (([], ()),), "UnerializeLogicalList"),
                            (impl.DeserializeLogicalList, ([], []), "UnerializeLogicalList"),
                            (impl.DeserializeLogicalList, (([None], ["not bytes"]),), None)]:
        with pytest.raises(TypeError, match=msg):
            call(*args)
    # any names-list object loads; one that cannot be a dictionary key cannot be saved again
    (odd,) = impl.DeserializeLogicalList(([None, [1]], [pack(objs=(1,))]))
    assert odd.objs == ([1],)
    with pytest.raises(TypeError, match="unhashable"):
        impl.SerializeLogicalList([odd])


def test_malformed_lines_are_rejected():
    impl = Host().impl
    names = [None, "a", 5]
    good = pack((1, 1), objs=(1,), pairs=(1, 2))
    for data in (good, good + b"extra"):  # bytes after the last pair are ignored
        (ok,) = impl.DeserializeLogicalList((names, [data]))
        assert ok.tokens == ("a", "a") and ok.objs == ("a",) and ok.type_equivs == (("a", 5),)
    assert impl.DeserializeLogicalList(([None, "K"], [pack(scope=1)]))[0].scope_name == "K"
    for data in [
        pack((1,), [(0, 0)] * 2),   # position count differs
        pack((3,)),                 # index past the names list
        pack((-1,)),                # negative index
        pack(ntok=-1, npos=-1),     # negative count
        pack(scope=2),              # scope name neither None nor a string
        pack(objs=(1,) * 256),      # more entries than a line holds
        pack(npairs=-2),
        pack(ntok=0x7FFFFFFF),      # count far past the data
        pack((1, 2)),               # a token that is not a string
        pack((0,)),
        pack(head=(1, -1, 1, A, 0, 0, 0)),  # negative indent
    ]:
        with pytest.raises(ValueError, match=INVALID):
            impl.DeserializeLogicalList((names, [good, data]))


def test_host_code_run_by_hashing_may_change_the_line():
    host = Host()

    class Meddler:
        def __hash__(self):
            host.impl.ClearAnalysis(victim)  # drops the entries being written
            return 1

    meddler = Meddler()
    parsed = (1, 0, 1, A, 1, 0, 0)
    (victim,) = host.impl.DeserializeLogicalList(([None, "a", meddler], [pack(objs=(1, 2, 1), head=parsed)]))
    host.install([victim])
    # the count written matches the entries written
    assert host.impl.SerializeLogicalList([victim]) == ([None, "a", meddler], [pack(objs=(1, 2), head=parsed)])
    assert victim.objs == () and not victim.parsed


def test_every_truncation_and_fuzzed_data_fail_cleanly():
    host, lines = analysed_lines()
    names, data = host.impl.SerializeLogicalList(lines)
    for blob in data:
        for cut in range(len(blob)):
            with pytest.raises(ValueError, match=INVALID):
                host.impl.DeserializeLogicalList((names, [blob[:cut]]))
    names = names + [(1, 2), 3.5]
    rng = random.Random(1234)
    loaded_ok = []
    for _ in range(3000):
        blob = bytearray(rng.choice(data))
        for _ in range(rng.randint(1, 4)):
            op, at = rng.random(), rng.randrange(len(blob) + 1)
            if op < 0.6 and at < len(blob):
                blob[at] = rng.randrange(256)
            elif op < 0.8:
                del blob[at:]
            else:
                blob.insert(at, rng.randrange(256))
        try:
            loaded = host.impl.DeserializeLogicalList((names, [bytes(blob)]))
        except (ValueError, TypeError):
            loaded_ok.append(False)
        else:
            loaded_ok.append(True)
            fields(loaded[0])
            host.impl.SerializeLogicalList(loaded)
    assert any(loaded_ok) and not all(loaded_ok)


# -- references ---------------------------------------------------------------------

def test_no_leaks_on_success_and_failure():
    host, lines = analysed_lines()
    impl = host.impl
    names, data = pair = impl.SerializeLogicalList(lines)
    negative = ll.LogicalLine(["x"], indent=-1)
    joined, pool = b"".join(data), {}
    bad = [(names, [data[1][:-3]]), (names, [pack((len(names),))]),
           ([None, "a", 5], [pack((1, 2))]), ([None], [pack(head=(1, -1, 1, A, 0, 0, 0))])]

    def cycle():
        impl.SerializeLogicalList(lines)
        impl.DeserializeLogicalList(pair)
        impl.DeserializeLogicalList((names, joined), pool)
        with pytest.raises(ValueError):
            impl.DeserializeLogicalList((names, joined[:-1]), pool)
        for args in bad:
            with pytest.raises(ValueError):
                impl.DeserializeLogicalList(args)
        with pytest.raises(TypeError):
            impl.SerializeLogicalList([lines[0], 1])
        with pytest.raises(ValueError):
            impl.SerializeLogicalList([lines[0], negative])

    assert_steady(cycle, *lines, names, data, "self", *(n for n in names if n is not None))
