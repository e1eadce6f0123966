"""The stored form of analysed modules: round trips over standard-library
modules, installing stored lines in a module, and refusal of stale, damaged
and foreign files."""

import os
import random
import struct
import sysconfig
import time

import pytest

import pysource
from pysource import store
from pysource.store import CorruptStoreError, SourceStamp, StaleStoreError, StoreError
from pysource.transformer import ArgName

STDLIB = sysconfig.get_paths()["stdlib"]


def stdlib_files():
    out = []
    for root, dirs, files in os.walk(STDLIB):
        dirs[:] = sorted(d for d in dirs if d not in ("site-packages", "dist-packages", "__pycache__"))
        out.extend(os.path.join(root, f) for f in sorted(files) if f.endswith(".py"))
    return out


def round_trip(paths):
    """Analyses each file, stores it, loads it and stores it again; returns
    (files, lines, seconds spent storing and loading)."""
    project = pysource.Project()
    n_lines = 0
    spent = 0.0
    try:
        for path in paths:
            mod = project.module_for_path(path).analyze()
            stamp = SourceStamp.of_file(path)
            t = time.perf_counter()
            first = store.dumps(mod.lines, stamp)
            lines, _ = store.loads(first, stamp, pool=project.name_pool)
            again = store.dumps(lines, stamp)
            spent += time.perf_counter() - t
            assert again == first, path
            for a, b in zip(mod.lines, lines):
                assert (a.tokens, a.positions, a.first_line, a.indent, a.type) == \
                       (b.tokens, b.positions, b.first_line, b.indent, b.type), path
                if b.parsed:
                    assert (a.objs, a.type_equivs) == (b.objs, b.type_equivs), path
                    assert [type(o) for o in a.objs] == [type(o) for o in b.objs], path
            n_lines += len(lines)
    finally:
        project.close()
    return len(paths), n_lines, spent


def test_stdlib_sample_round_trips():
    files = stdlib_files()
    sample = files[::max(1, len(files) // 40)]
    count, lines, _ = round_trip(sample)
    assert count >= 40 and lines > 1000


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("PYSOURCE_SLOW") != "1", reason="set PYSOURCE_SLOW=1")
def test_whole_stdlib_round_trips():
    t = time.perf_counter()
    count, lines, spent = round_trip(stdlib_files())
    print("\n%d files, %d logical lines; store+load+store %.1f s, total %.1f s"
          % (count, lines, spent, time.perf_counter() - t))


SOURCE = '''\
import os
from os import path as p
class A(object):
    kind = "a"
    @staticmethod
    def make(x, y):
        x.made = 1
    def __init__(self, v):
        self.v = v
        self.items = []
    def other(self):
        self.v = p.join("a")
if not os: import helper
def f(a, *b, **c):
    return a
'''


@pytest.fixture
def stored(tmp_path):
    """(source path, stored file path, project) for SOURCE, analysed and
    stored."""
    src = tmp_path / "mod.py"
    src.write_text(SOURCE)
    (tmp_path / "helper.py").write_text("h = 1\n")
    project = pysource.Project(roots=[str(tmp_path)], search_path=[])
    mod = project.analyze_file(str(src))
    path = tmp_path / "mod.pysl"
    store.save_module(mod, str(path))
    yield str(src), str(path), project
    project.close()


def facts(mod):
    impl = mod.impl
    return dict(
        search=[(r.fKind, r.fFullName, r.fLogical.first_line) for r in impl.SearchForAttribs({})],
        exact=[r.fFullName for r in impl.SearchForAttribs({"local_name": "v", "update": 0})],
        attrs=[(n, l.first_line) for n, l in impl.GetInstanceAttributes("A", None)],
        equivs=impl.FindInstAttribTypeEquivs("v", "A", None),
        types=impl.FindTypeEquivs("self", "A.__init__"),
    )


def test_loaded_module_answers_as_the_analysed_one(stored):
    src, path, project = stored
    want = facts(project.module_for_path(src))
    other = pysource.Project(roots=[os.path.dirname(src)], search_path=[])
    fresh = other.module_for_path(src)
    extra = store.load_module(fresh, path)
    assert extra is None
    # Import lines come back unparsed, and with them the line that imports
    # inside an `if` (its entry refers to a live module object).
    unparsed = [l.tokens[0] for l in fresh.lines if not l.parsed and l.tokens]
    assert unparsed == ["import", "from", "if"]
    # The static method's first parameter is still not an instance: no
    # `made` attribute.
    make = next(l for l in fresh.lines if l.tokens[:2] == ("def", "make"))
    assert type(make.objs[0]) is ArgName
    assert facts(fresh) == want
    assert ("imported", "p", 2) in want["search"]
    # The search analysed the unparsed lines again, with live modules.
    if_line = next(l for l in fresh.lines if l.tokens[0] == "if")
    assert if_line.parsed and if_line.objs[0][1] is other.module_for_path(os.path.dirname(src) + "/helper.py")
    assert [a for a, _ in want["attrs"]] == ["v", "items", "v"]
    other.close()


def test_extra_value_is_read_without_the_lines(stored, tmp_path):
    src, _, project = stored
    mod = project.module_for_path(src)
    table = [("class", "A", "", 3), ("function", "f", "", 14)]
    blob = store.dumps(mod.lines, SourceStamp.of_file(src), extra=table)
    h = store.read_header(blob[:store.HEADER_SIZE])
    assert store.read_extra(blob[:store.HEADER_SIZE + h.extra_len], source_path=src) == table
    assert store.loads(blob, source_path=src)[1] == table


def test_changed_source_is_refused_touched_source_is_not(stored):
    src, path, _ = stored
    with open(path, "rb") as f:
        blob = f.read()
    # Touched but unchanged: the digest decides.
    st = os.stat(src)
    os.utime(src, ns=(st.st_atime_ns, st.st_mtime_ns + 5_000_000_000))
    store.loads(blob, source_path=src)
    # Same size, other content.
    with open(src, "r+") as f:
        f.write("I")    # "Import os"
    os.utime(src, ns=(st.st_atime_ns, st.st_mtime_ns + 9_000_000_000))
    with pytest.raises(StaleStoreError, match="source changed since it was stored"):
        store.loads(blob, source_path=src)
    # Other size.
    with open(src, "a") as f:
        f.write("x = 1\n")
    with pytest.raises(StaleStoreError, match=r"source changed .*\(size"):
        store.loads(blob, source_path=src)
    with pytest.raises(StaleStoreError, match="source changed"):
        store.loads(blob, stamp=SourceStamp.of_file(src))
    os.unlink(src)
    with pytest.raises(StaleStoreError, match="cannot be read"):
        store.loads(blob, source_path=src)


def repack(blob, **changes):
    """`blob` with header fields changed and the header checksum made
    right again."""
    fields = list(store._HEADER.unpack_from(blob, 0))
    names = ["magic", "version", "size", "flags", "src_size", "mtime", "digest", "producer",
             "extra_len", "extra_crc", "lines_len", "lines_crc", "crc"]
    for k, v in changes.items():
        fields[names.index(k)] = v
    return store._header_bytes(fields) + blob[store.HEADER_SIZE:]


def test_damaged_foreign_and_outdated_files_are_refused(stored):
    src, path, _ = stored
    with open(path, "rb") as f:
        blob = f.read()
    where = "some.pysl"
    cases = [
        (b"", CorruptStoreError, "not a pysource stored module"),
        (b"print('hello')\n" * 20, CorruptStoreError, "not a pysource stored module"),
        (blob[:10], CorruptStoreError, "truncated stored module"),
        (blob[:store.HEADER_SIZE + 3], CorruptStoreError, "truncated stored module"),
        (blob[:-1], CorruptStoreError, "truncated stored module"),
        (blob + b"\0", CorruptStoreError, "1 bytes after the end"),
        (blob[:20] + bytes([blob[20] ^ 1]) + blob[21:], CorruptStoreError, "header checksum"),
        (blob[:-5] + bytes([blob[-5] ^ 0x40]) + blob[-4:], CorruptStoreError, "lines checksum"),
        (repack(blob, version=2), StaleStoreError, "format version 2, this is version 1"),
        (repack(blob, producer=b"pysource 0.0.1 cpython-39 00000000"), StaleStoreError,
         "made by pysource 0.0.1 cpython-39 00000000, this is pysource"),
    ]
    for data, exc, message in cases:
        with pytest.raises(exc, match=message) as info:
            store.loads(data, source_path=src, where=where)
        assert str(info.value).startswith(where + ": ")
    assert issubclass(StaleStoreError, StoreError) and issubclass(CorruptStoreError, StoreError)


def test_damaged_line_data_with_good_checksums_is_refused(stored):
    """What the checksums can't catch (a writer that stored bad line data)
    is refused by the line decoder, never crashes it."""
    src, _, project = stored
    mod = project.module_for_path(src)
    names, slots, data = store._serialize(mod.lines)
    rnd = random.Random(7)
    outcomes = {"refused": 0, "loaded": 0}
    for _ in range(300):
        bad = list(data)
        i = rnd.randrange(len(bad))
        line = bytearray(bad[i])
        op = rnd.randrange(3)
        if op == 0 and line:
            del line[rnd.randrange(len(line)):]
        elif op == 1 and line:
            line[rnd.randrange(len(line))] = rnd.randrange(256)
        else:
            at = rnd.randrange(0, max(1, len(line) - 3))
            line[at:at + 4] = struct.pack("<i", rnd.choice([-1, len(names), 1 << 30, -(1 << 31)]))
        bad[i] = bytes(line)
        blob = store._pack(names, slots, bad, SourceStamp.of_file(src), None, True)
        try:
            store.loads(blob, source_path=src)
            outcomes["loaded"] += 1
        except CorruptStoreError as e:
            assert "Invalid data found while deserializing logical line" in str(e)
            outcomes["refused"] += 1
    assert outcomes["refused"] > 100


def test_fuzzed_files_never_crash(stored):
    src, path, _ = stored
    with open(path, "rb") as f:
        blob = f.read()
    rnd = random.Random(20240611)
    for _ in range(1000):
        data = bytearray(blob)
        for _ in range(rnd.randrange(1, 4)):
            op = rnd.randrange(4)
            if op == 0 and data:
                pos = rnd.randrange(len(data))
                data[pos] ^= 1 << rnd.randrange(8)
            elif op == 1:
                del data[rnd.randrange(len(data) + 1):]
            elif op == 2:
                pos = rnd.randrange(len(data) + 1)
                data[pos:pos] = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 9)))
            elif data:
                pos = rnd.randrange(len(data))
                data[pos:pos + 8] = bytes(rnd.randrange(256) for _ in range(8))
        data = bytes(data)
        if data == blob:
            continue
        with pytest.raises(StoreError):
            store.loads(data, source_path=src)


def test_refused_file_leaves_module_alone(stored, tmp_path):
    src, path, project = stored
    mod = project.module_for_path(src)
    before = list(mod.lines)
    broken = tmp_path / "broken.pysl"
    broken.write_bytes(b"\x89PYSRC\r\n" + b"\0" * 200)
    with pytest.raises(CorruptStoreError, match=str(broken)):
        store.load_module(mod, str(broken))
    assert mod.lines == before
    with pytest.raises(FileNotFoundError):
        store.load_module(mod, str(tmp_path / "missing.pysl"))


def test_edited_module_is_not_stored_under_its_file_stamp(stored, tmp_path):
    src, path, project = stored
    mod = project.module_for_path(src)
    mod.set_source(mod.source + "\nextra = 1\n")
    with pytest.raises(ValueError, match="edits not saved"):
        store.save_module(mod, str(tmp_path / "edited.pysl"))
    assert not (tmp_path / "edited.pysl").exists()
