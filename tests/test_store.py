"""The stored form of analysed modules: round trips over standard-library
modules, installing stored lines in a module, and refusal of stale, damaged
and foreign files."""

import gc
import os
import random
import sysconfig
import zlib

import pytest

import pysource
from pysource import store
from pysource.index import python_files
from pysource.store import CorruptStoreError, SourceStamp, StaleStoreError, StoreError
from pysource.transformer import ArgName

STDLIB = sysconfig.get_paths()["stdlib"]


def round_trip(paths):
    """Analyses, stores, loads and stores again each file; returns the
    number of logical lines."""
    count = 0
    with pysource.Project() as project:
        for path in paths:
            mod = project.module_for_path(path).analyze()
            stamp = SourceStamp.of_file(path)
            first = store.dumps(mod.lines, stamp)
            lines, _ = store.loads(first, stamp, pool=project.name_pool)
            assert store.dumps(lines, stamp) == first, path
            for a, b in zip(mod.lines, lines):
                assert (a.tokens, a.positions, a.first_line, a.indent, a.type) == \
                       (b.tokens, b.positions, b.first_line, b.indent, b.type), path
                if b.parsed:
                    assert (a.objs, a.type_equivs, list(map(type, a.objs))) == \
                           (b.objs, b.type_equivs, list(map(type, b.objs))), path
            count += len(lines)
    return count


def test_stdlib_sample_round_trips():
    files = python_files([STDLIB])
    assert round_trip(files[::max(1, len(files) // 40)]) > 1000


@pytest.mark.slow
@pytest.mark.skipif(os.environ.get("PYSOURCE_SLOW") != "1", reason="set PYSOURCE_SLOW=1")
def test_whole_stdlib_round_trips():
    round_trip(python_files([STDLIB]))


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
    path = tmp_path / "mod.pysl"
    store.save_module(project.analyze_file(str(src)), str(path))
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
    assert ("imported", "p", 2) in want["search"] and [a for a, _ in want["attrs"]] == ["v", "items", "v"]
    other = pysource.Project(roots=[os.path.dirname(src)], search_path=[])
    fresh = other.module_for_path(src)
    assert store.load_module(fresh, path) is None
    # Import lines come back unparsed, and with them the line that imports
    # inside an `if` (its entry refers to a live module object).
    assert [l.tokens[0] for l in fresh.lines if not l.parsed and l.tokens] == ["import", "from", "if"]
    # The static method's first parameter is still not an instance: no
    # `made` attribute.
    make = next(l for l in fresh.lines if l.tokens[:2] == ("def", "make"))
    assert type(make.objs[0]) is ArgName
    assert facts(fresh) == want
    # The search analysed the unparsed lines again, with live modules.
    if_line = next(l for l in fresh.lines if l.tokens[0] == "if")
    assert if_line.parsed and if_line.objs[0][1] is other.module_for_path(os.path.dirname(src) + "/helper.py")
    other.close()


def test_changed_source_is_refused_touched_source_is_not(stored):
    src, path, _ = stored
    with open(path, "rb") as f:
        blob = f.read()
    st = os.stat(src)
    os.utime(src, ns=(st.st_atime_ns, st.st_mtime_ns + 5_000_000_000))
    store.loads(blob, source_path=src)   # touched but unchanged: the digest decides
    for change, message in [("I", "source changed since it was stored$"),   # same size: "Import os"
                            ("x = 1\n", r"source changed .*\(size")]:
        with open(src, "r+" if change == "I" else "a") as f:
            f.write(change)
        with pytest.raises(StaleStoreError, match=message):
            store.loads(blob, source_path=src)
    with pytest.raises(StaleStoreError, match="source changed"):
        store.loads(blob, stamp=SourceStamp.of_file(src))
    os.unlink(src)
    with pytest.raises(StaleStoreError, match="cannot be read"):
        store.loads(blob, source_path=src)


def repack(blob, field, value):
    """`blob` with the header field at position `field` set to `value` and
    the header checksum made right again."""
    fields = list(store._HEADER.unpack_from(blob, 0))
    fields[field] = value
    return store._header_bytes(fields) + blob[store.HEADER_SIZE:]


VERSION, PRODUCER, LINES_LEN = 1, 7, 10    # positions of header fields


def relined(blob, body):
    """`blob` with `body` as its lines section, lengths and checksums right."""
    fields = list(store._HEADER.unpack_from(blob, 0))
    fields[LINES_LEN:LINES_LEN + 2] = [len(body), zlib.crc32(body)]
    start = store.HEADER_SIZE + fields[LINES_LEN - 2]
    return store._header_bytes(fields) + blob[store.HEADER_SIZE:start] + body


def test_damaged_foreign_and_outdated_files_are_refused(stored):
    src, path, project = stored
    with open(path, "rb") as f:
        blob = f.read()
    # Bad line data behind good checksums (what a faulty writer would store).
    names, slots, data = store._serialize(project.module_for_path(src).lines)
    repacked = lambda data, more=[]: store._pack(names + more, slots, (), data, SourceStamp.of_file(src), None,
                                                 True)
    where = "some.pysl"
    for data, exc, message in [
        (b"", CorruptStoreError, "not a pysource stored module"),
        (b"print('hello')\n" * 20, CorruptStoreError, "not a pysource stored module"),
        (blob[:10], CorruptStoreError, "truncated stored module"),
        (blob[:store.HEADER_SIZE + 3], CorruptStoreError, "truncated stored module"),
        (blob[:-1], CorruptStoreError, "truncated stored module"),
        (blob + b"\0", CorruptStoreError, "1 bytes after the end"),
        (blob[:20] + bytes([blob[20] ^ 1]) + blob[21:], CorruptStoreError, "header checksum"),
        (blob[:-5] + bytes([blob[-5] ^ 0x40]) + blob[-4:], CorruptStoreError, "lines checksum"),
        (repack(blob, VERSION, 1), StaleStoreError, "format version 1, this is version 3"),
        (repack(blob, PRODUCER, b"pysource 0.0.1 cpython-39 00000000"), StaleStoreError,
         "made by pysource 0.0.1 cpython-39 00000000, this is pysource"),
        (repacked([data[0][:-1]] + data[1:]), CorruptStoreError, "Invalid data found while deserializing logical line"),
        (repacked(data, [frozenset()]), CorruptStoreError, "a name is neither a string, None nor a tuple"),
        (repacked(data, [("x", [])]), CorruptStoreError, "a name is neither a string, None nor a tuple"),
        # compressed blocks that claim a size they cannot have, or are cut
        (relined(blob, b"\xff\xff\xff\x7f" + b"\0" * 8), CorruptStoreError, "bad LZ4 block size"),
        (relined(blob, b"\x01"), CorruptStoreError, "bad LZ4 block size"),
        (relined(blob, b"\x00\x01\x00\x00" + b"\x1f" * 8), CorruptStoreError, "lines: "),
    ]:
        with pytest.raises(StoreError, match=message) as info:
            store.loads(data, source_path=src, where=where)
        assert type(info.value) is exc and str(info.value).startswith(where + ": ")


def test_fuzzed_files_never_crash(stored):
    src, path, _ = stored
    with open(path, "rb") as f:
        blob = f.read()
    rnd = random.Random(20240611)
    for _ in range(1000):
        data = bytearray(blob)
        for _ in range(rnd.randrange(1, 4)):
            op = rnd.randrange(4)
            at = rnd.randrange(len(data) + 1)
            if op == 0 and at < len(data):
                data[at] ^= 1 << rnd.randrange(8)
            elif op == 1:
                del data[at:]
            else:   # bytes inserted, or put in place of others
                data[at:at + 8 * (op == 3)] = bytes(rnd.randrange(256) for _ in range(rnd.randrange(1, 9)))
        if bytes(data) != blob:
            with pytest.raises(StoreError):
                store.loads(bytes(data), source_path=src)


def test_module_is_left_alone_by_a_refused_load_and_an_edited_one_is_not_saved(stored, tmp_path):
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
    mod.set_source(mod.source + "\nextra = 1\n")
    with pytest.raises(ValueError, match="edits not saved"):
        store.save_module(mod, str(tmp_path / "edited.pysl"))
    assert not (tmp_path / "edited.pysl").exists()
    # Loading the stored lines drops the edit; the module edits on as usual.
    store.load_module(mod, path)
    assert "extra" not in mod.source
    mod.set_source(mod.source + "\nlater = 2\n")
    assert [r.fFullName for r in mod.impl.SearchForAttribs({"local_name": "later"})] == ["later"]


def test_the_producer_names_only_the_code_that_decides_what_is_stored(tmp_path, monkeypatch):
    import shutil
    import sys
    import types
    here = os.path.dirname(os.path.abspath(store.__file__))
    pkg = tmp_path / "pysource"
    pkg.mkdir()
    for name in os.listdir(here):
        if name.endswith(".py"):
            shutil.copy(os.path.join(here, name), pkg / name)
    grammar = tmp_path / "pysource_grammar.so"
    grammar.write_bytes(b"\0")
    monkeypatch.setitem(sys.modules, "pysource_grammar", types.SimpleNamespace(__file__=str(grammar)))
    monkeypatch.setattr(store, "__file__", str(pkg / "store.py"))

    def producer():
        monkeypatch.setattr(store, "_producer", None)
        return store.producer()

    def touch(path):
        with open(path, "ab") as f:
            f.write(b"\n# changed\n")

    first = producer()
    assert first.startswith("pysource %s %s " % (pysource.__version__, sys.implementation.cache_tag))
    # The command, the index's queries, the language server, the outline:
    # changing them keeps what is stored.
    for name in ("cli.py", "index.py", "lsp.py", "lsp_analysis.py", "outline.py", "tags.py", "edits.py"):
        touch(pkg / name)
    (pkg / "newcomer.py").write_text("x = 1\n")
    assert producer() == first
    for path in [pkg / n for n in ("analysis.py", "splitter.py", "grammar.py", "transformer.py",
                                   "hosts.py", "indexwork.py", "store.py")] + [grammar]:
        touch(path)
        now = producer()
        assert now != first, path
        first = now


NESTED = '''\
# leading comment
    # indented comment before any code
class Outer:
    x = 1
        # deeper comment
    class Inner:
        def method(self):
            if self:
                y = 2
            # comment between
  # dedented comment
            return y

    def after(self): pass
def top():
    def local(): return 1
    return local
if True:
    class InIf:
        z = 3
    w = 4
last = 5
class Made:
    @classmethod
    def make(cls): return cls()
'''


def test_loaded_lines_get_the_scopes_a_search_finds(tmp_path):
    """Scope names are filled in for every loaded line in one pass; each
    must be what finding the line's scope gives."""
    src = tmp_path / "nested.py"
    src.write_text(NESTED)
    path = str(tmp_path / "nested.pysl")
    with pysource.Project(roots=[str(tmp_path)], search_path=[]) as project:
        store.save_module(project.analyze_file(str(src)), path)
    with pysource.Project(roots=[str(tmp_path)], search_path=[]) as project:
        mod = project.module_for_path(str(src))
        store.load_module(mod, path)
        # Strings (a class method's ArgName too) and tuples of them only:
        # nothing for the collector to scan, neither the lines nor their list.
        assert any(type(o).__name__ == "ArgName" for l in mod.lines for o in l.objs)
        assert not any(gc.is_tracked(l) for l in mod.lines) and not gc.is_tracked(mod.lines)
        impl = mod.impl
        got = [(l.first_line, l.scope_name) for l in mod.lines]
        want = [(l.first_line, impl.GetFullNameForScopeDef(impl.FindScopeForLine(l))) for l in mod.lines]
        assert got == want
        assert [dict(got)[n] for n in (9, 11, 17, 20, 21)] == ["Outer.Inner.method"] * 2 + ["top", "InIf", ""]


def test_loaded_module_knows_its_future_imports(tmp_path):
    src = tmp_path / "fut.py"
    src.write_text('"""Doc."""\nfrom __future__ import annotations\nx: "int" = 1\n')
    project = pysource.Project(roots=[str(tmp_path)], search_path=[])
    analysed = project.analyze_file(str(src))
    store.save_module(analysed, str(tmp_path / "fut.pysl"))
    loaded = pysource.Project(roots=[str(tmp_path)], search_path=[]).module_for_path(str(src))
    store.load_module(loaded, str(tmp_path / "fut.pysl"))
    assert loaded.future_flags == analysed.future_flags == {"annotations": 1}
    loaded.fAnalysisFactory.close()
    project.close()
