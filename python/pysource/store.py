"""The stored form of an analysed module: its logical list, with the facts
recorded on each line, in a file that is loaded instead of analysing the
source again.

A stored file is a fixed header followed by two sections::

    header   magic, format version, flags, the source's size, modification
             time and digest, the producer (package version, interpreter and
             a fingerprint of the analysing code), the length and CRC-32 of
             each section, and a CRC-32 of the header itself
    extra    an optional value kept beside the lines (for instance a table
             of definitions), marshalled; readable without the lines
    lines    the length of a marshal of (names, argname slots, static
             method keys) as 4 bytes, that marshal, then the lines' byte
             forms one after the other; LZ4-compressed (a block with its
             size in front; zlib in files flagged so).  Names and byte forms
             are the analyzer's ``SerializeLogicalList`` result; the keys are
             the parse keys of the def lines taken for static or class
             methods (so that loading need not scan the decorators again).
             The byte forms stay outside the marshal so that loading reads
             them where they were decompressed, with no copy

Loading checks, in this order, that the file is ours, that its header is
intact, that format and producer match, that the source has not changed
(size and modification time; when only the time differs, the digest of the
source decides) and that each section's checksum matches; only then is
anything decoded, and what is decoded is checked for shape before the
analyzer reads it.  Every refusal is a `StoreError` saying why.  The
checksums catch damage, not malice: the sections are marshal data, so a
file forged to pass them is as safe to load as marshal is.

What the analyzer's byte form cannot carry is handled here:

* Import lines are written unparsed by the analyzer and analysed again on
  demand after loading.  So is any other line whose facts refer to live
  objects (an ``import`` on the line of an ``if``, whose entry holds the
  imported module's analysis object): it is stored as an unparsed line.
* A first parameter that is not an instance (``ArgName``, see
  `pysource.transformer`) compares equal to the plain string, so the
  analyzer's names list would fold it into the token of the same text; its
  entry is pointed at a names slot of its own, restored as an ``ArgName``.
"""

from __future__ import annotations

import marshal
import os
import struct
import sys
import zlib
# The analysing side (analysis, transformer) is imported by the functions
# that need it, and `typing` only by type checkers: reading a database's
# producer must stay cheap.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable, Sequence

    from logicalline import LogicalLine
    from pysource_impl import PySourceImpl

    from .analysis import ModuleAnalysis
    from .transformer import ArgName

__all__ = [
    "StoreError", "StaleStoreError", "CorruptStoreError", "SourceStamp",
    "FORMAT_VERSION", "producer", "dumps", "loads", "read_extra", "read_header",
    "save_module", "load_module", "restamp", "write_atomic",
]

MAGIC = b"\x89PYSRC\r\n"
FORMAT_VERSION = 3
FLAG_ZLIB = 1
# LZ4 decompresses several times faster than zlib, which made up most of the
# cost of loading, for files about a third larger.
FLAG_LZ4 = 2
# An LZ4 block never expands its data more than this.
_LZ4_MAX_RATIO = 255

# magic, version, header size, flags, source size, mtime (ns), digest,
# producer, extra length, extra crc, lines length, lines crc, header crc
_HEADER = struct.Struct("<8sHHIQq16s48sQIQII")
HEADER_SIZE = _HEADER.size
_INT = struct.Struct("<i")


class StoreError(Exception):
    """A stored module was refused; the message says which file and why."""


class StaleStoreError(StoreError):
    """The stored module no longer matches its source, or was made by
    another version of the analysing code."""


class CorruptStoreError(StoreError):
    """The file is not a stored module, or it is damaged."""


class SourceStamp:
    """What a stored module remembers of its source: size, modification
    time in nanoseconds and a 16-byte BLAKE2b digest of the bytes."""

    __slots__ = ("size", "mtime_ns", "digest")

    def __init__(self, size: int, mtime_ns: int, digest: bytes | None) -> None:
        self.size = size
        self.mtime_ns = mtime_ns
        self.digest = digest

    @classmethod
    def of_bytes(cls, data: bytes, mtime_ns: int = 0) -> SourceStamp:
        return cls(len(data), mtime_ns, digest(data))

    @classmethod
    def of_file(cls, path: str) -> SourceStamp:
        """The stamp of the file at `path`, read now."""
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            data = f.read()
        return cls(len(data), st.st_mtime_ns, digest(data))

    def __eq__(self, other: object) -> bool:
        return (isinstance(other, SourceStamp) and self.size == other.size
                and self.mtime_ns == other.mtime_ns and self.digest == other.digest)

    def __repr__(self) -> str:
        return "SourceStamp(%d, %d, %s)" % (self.size, self.mtime_ns,
                                             self.digest.hex() if self.digest else None)


def digest(data: bytes) -> bytes:
    import hashlib
    return hashlib.blake2b(data, digest_size=16).digest()


# The code that decides what is stored: the extension modules (the analyzer,
# the logical lines and native splitter, the native grammar), and the
# package's modules that split, parse, transform and analyse a module,
# choose the host, write the stored form and make the definitions table kept
# beside it.  The command, the index's queries, the language server and the
# outline are left out: changing them leaves every stored index valid.
PRODUCER_EXTENSIONS = ("pysource_impl", "logicalline", "pysource_grammar")
PRODUCER_MODULES = ("analysis.py", "grammar.py", "hosts.py", "indexwork.py", "splitter.py", "store.py",
                    "transformer.py")

_producer: str | None = None


def producer() -> str:
    """The text that names the code a stored module was made by: package
    version, interpreter, and a fingerprint (sizes and modification times)
    of the extension modules and package modules that decide what is
    stored (`PRODUCER_EXTENSIONS`, `PRODUCER_MODULES`), so that a rebuilt or
    edited analyzer never trusts what an earlier one stored.  Nothing is
    imported to make it: the extension modules are only located."""
    global _producer
    if _producer is None:
        from . import __version__
        here = os.path.dirname(os.path.abspath(__file__))
        files = [_extension_file(name) for name in PRODUCER_EXTENSIONS]
        files += [os.path.join(here, name) for name in PRODUCER_MODULES]
        # The full version of the interpreter: its `ast` decides what the
        # Python grammar accepts.
        seen = [sys.version.encode("utf-8", "replace")]
        for f in files:
            try:
                st = os.stat(f) if f is not None else None
            except OSError:
                st = None
            seen.append(b"%d:%d" % (st.st_size, st.st_mtime_ns) if st is not None else b"-")
        fingerprint = zlib.crc32(b";".join(seen))
        _producer = "pysource %s %s %08x" % (__version__, sys.implementation.cache_tag, fingerprint)
    return _producer


def _extension_file(name: str) -> str | None:
    """The file of the extension module `name`: the loaded one, else the
    one an import would load now; None where there is none."""
    module = sys.modules.get(name)
    if module is not None:
        return getattr(module, "__file__", None)
    # As the import system looks for a top-level module (importlib.util's
    # find_spec does the same, at the price of importing it).
    for finder in sys.meta_path:
        find_spec = getattr(finder, "find_spec", None)
        if find_spec is None:
            continue
        try:
            spec = find_spec(name, None)
        except (ImportError, ValueError):
            return None
        if spec is not None:
            origin: str | None = spec.origin
            return origin
    return None


# -- writing -----------------------------------------------------------------

def _storable(o: Any, nested: bool = False, argname: type[ArgName] | None = None) -> bool:
    """Whether `o` can be marshalled as a line's entry: a string, None, a
    tuple of those or, not nested, an `argname` (the transformer's
    `ArgName`, which a caller storing lines passes in)."""
    t = type(o)
    if t is str or o is None:
        return True
    if t is argname:
        return not nested
    if t is tuple:
        return all(_storable(x, True) for x in o)
    return False


def _line_storable(line: LogicalLine, argname: type[ArgName]) -> bool:
    for o in line.objs:
        if not _storable(o, False, argname):
            return False
    for one, two in line.type_equivs:
        if not (_storable(one, True) and _storable(two, True)):
            return False
    return True


def _unparsed_copy(line: LogicalLine) -> LogicalLine:
    import logicalline
    return logicalline.LogicalLine(line.tokens, line.first_line, line.indent, line.line_count,
                                   line.type, line.positions, False, line.tabs_in_indent,
                                   line.spaces_in_indent)


class _NoModule:
    """Stands in for a module analysis object in the analyzer that does the
    serializing; it never analyses anything."""


class _NoTransformer:
    def TransformNode(self, node: object) -> object:
        raise SyntaxError("no transformer")


_codec: PySourceImpl | None = None


def codec() -> PySourceImpl:
    """The analyzer object used to turn logical lists into their byte form
    and back (any analyzer can; this one belongs to no module)."""
    global _codec
    if _codec is None:
        import logicalline
        import pysource_impl
        from .analysis import AttribRef
        # It only serializes: nothing reaches its module, grammar or
        # attribute class.
        _codec = pysource_impl.CreatePySourceImpl(_NoModule(), None, _NoTransformer(), {},  # type: ignore[misc, arg-type]
                                                  AttribRef, logicalline)
    return _codec


def _serialize(lines: Iterable[LogicalLine]) -> tuple[list[Any], tuple[int, ...], list[bytes]]:
    """(names, argname slots, data) for `lines`, ready to marshal; data
    holds one byte string per line."""
    from .transformer import ArgName
    lines = list(lines)
    for i, line in enumerate(lines):
        if line.parsed and not _line_storable(line, ArgName):
            lines[i] = _unparsed_copy(line)
    names, data = codec().SerializeLogicalList(lines)
    own_slots: dict[ArgName, int] = {}
    for i, line in enumerate(lines):
        objs = line.objs
        if not objs or not line.parsed:
            continue
        patches = [(j, o) for j, o in enumerate(objs) if type(o) is ArgName]
        if not patches:
            continue
        buf = bytearray(data[i])
        base = 32 + 8 * len(line.tokens)
        for j, o in patches:
            at = base + 4 * j
            (ref,) = _INT.unpack_from(buf, at)
            if type(names[ref]) is ArgName:
                continue
            slot = own_slots.get(o)
            if slot is None:
                slot = own_slots[o] = len(names)
                names.append(o)
            _INT.pack_into(buf, at, slot)
        data[i] = bytes(buf)
    slots = tuple(k for k, n in enumerate(names) if type(n) is ArgName)
    plain: list[Any] = []
    for n in names:
        if type(n) is ArgName:
            n = str(n)
        elif not _storable(n, True):
            raise TypeError("cannot store a %s in a stored module's names" % type(n).__name__)
        plain.append(n)
    return plain, slots, data


def dumps(lines: Iterable[LogicalLine], stamp: SourceStamp, extra: Any = None, compress: bool = True) -> bytes:
    """The stored form of the logical list `lines` (bytes) of a source with
    the stamp `stamp`; `extra` is any value marshal can write, kept beside
    the lines (see `read_extra`)."""
    from .hosts import get_host
    lines = list(lines)
    names, slots, data = _serialize(lines)
    keys = tuple(sorted(get_host().nonself_keys(lines)))
    return _pack(names, slots, keys, data, stamp, extra, compress)


def _pack(names: list[Any], slots: tuple[int, ...], keys: tuple[tuple[str, ...], ...], data: list[bytes],
          stamp: SourceStamp, extra: Any, compress: bool) -> bytes:
    head = marshal.dumps((names, slots, keys), 4)
    body = b"".join([_INT.pack(len(head)), head] + data)
    flags = 0
    if compress:
        body = _lz4().compress(body, store_size=True)
        flags |= FLAG_LZ4
    extra_bytes = marshal.dumps(extra, 4)
    head = _header_bytes([MAGIC, FORMAT_VERSION, HEADER_SIZE, flags, stamp.size, stamp.mtime_ns,
                          stamp.digest, producer().encode("ascii"),
                          len(extra_bytes), zlib.crc32(extra_bytes), len(body), zlib.crc32(body), 0])
    return head + extra_bytes + body


def _header_bytes(fields: Sequence[Any]) -> bytes:
    """The header of the field values `fields` (the last, the header's own
    checksum, is computed here)."""
    head = _HEADER.pack(*fields)
    return head[:-4] + struct.pack("<I", zlib.crc32(head[:-4]))


# -- reading -----------------------------------------------------------------

class Header:
    """The decoded header of a stored module."""

    __slots__ = ("version", "flags", "stamp", "producer", "extra_len", "extra_crc",
                 "lines_len", "lines_crc")
    version: int
    flags: int
    stamp: SourceStamp
    producer: str
    extra_len: int
    extra_crc: int
    lines_len: int
    lines_crc: int

    def __repr__(self) -> str:
        return "<stored module header v%d %s %r>" % (self.version, self.producer, self.stamp)


def _parse_header(blob: bytes, where: str) -> Header:
    if len(blob) < HEADER_SIZE:
        if not blob:
            raise CorruptStoreError("%s: empty file, not a pysource stored module" % where)
        if not MAGIC.startswith(bytes(blob[:len(MAGIC)])):
            raise CorruptStoreError("%s: not a pysource stored module" % where)
        raise CorruptStoreError("%s: truncated stored module (%d bytes)" % (where, len(blob)))
    (magic, version, size, flags, src_size, mtime, dig, prod, extra_len, extra_crc,
     lines_len, lines_crc, head_crc) = _HEADER.unpack_from(blob, 0)
    if magic != MAGIC:
        raise CorruptStoreError("%s: not a pysource stored module" % where)
    if zlib.crc32(bytes(blob[:HEADER_SIZE - 4])) != head_crc:
        raise CorruptStoreError("%s: damaged stored module (header checksum mismatch)" % where)
    if version != FORMAT_VERSION or size != HEADER_SIZE:
        raise StaleStoreError("%s: stored module has format version %d, this is version %d"
                              % (where, version, FORMAT_VERSION))
    h = Header()
    h.version = version
    h.flags = flags
    h.stamp = SourceStamp(src_size, mtime, dig)
    h.producer = prod.rstrip(b"\0").decode("ascii", "replace")
    h.extra_len, h.extra_crc, h.lines_len, h.lines_crc = extra_len, extra_crc, lines_len, lines_crc
    return h


def _check_header(h: Header, where: str, stamp: SourceStamp | None = None, source_path: str | None = None) -> None:
    if h.producer != producer():
        raise StaleStoreError("%s: stored module was made by %s, this is %s"
                              % (where, h.producer, producer()))
    if stamp is None and source_path is not None:
        try:
            st = os.stat(source_path)
        except OSError as e:
            raise StaleStoreError("%s: source %s cannot be read (%s)"
                                  % (where, source_path, e.strerror or e)) from None
        stamp = SourceStamp(st.st_size, st.st_mtime_ns, None)
    if stamp is None:
        return
    if stamp.size != h.stamp.size:
        raise StaleStoreError("%s: source changed since it was stored (size %d, stored %d)"
                              % (where, stamp.size, h.stamp.size))
    if stamp.mtime_ns != h.stamp.mtime_ns:
        # Touched; the content decides.
        dig = stamp.digest
        if dig is None and source_path is not None:
            try:
                dig = SourceStamp.of_file(source_path).digest
            except OSError as e:
                raise StaleStoreError("%s: source %s cannot be read (%s)"
                                      % (where, source_path, e.strerror or e)) from None
        if dig != h.stamp.digest:
            raise StaleStoreError("%s: source changed since it was stored" % where)


def _section(blob: bytes, start: int, length: int, crc: int, what: str, where: str) -> memoryview:
    """The section of `blob` from `start`, checked: a view, not a copy."""
    end = start + length
    if len(blob) < end:
        raise CorruptStoreError("%s: truncated stored module (%d of %d bytes)" % (where, len(blob), end))
    part = memoryview(blob)[start:end]
    if zlib.crc32(part) != crc:
        raise CorruptStoreError("%s: damaged stored module (%s checksum mismatch)" % (where, what))
    return part


def _unmarshal(part: bytes | memoryview, what: str, where: str) -> Any:
    try:
        return marshal.loads(part)
    except (ValueError, EOFError, TypeError) as e:
        raise CorruptStoreError("%s: damaged stored module (%s: %s)" % (where, what, e)) from None


def read_header(blob: bytes, where: str = "stored module") -> Header:
    """The `Header` of the stored module `blob` (bytes, at least its first
    `HEADER_SIZE` bytes), checking only that it is ours and intact."""
    return _parse_header(blob, where)


def read_extra(blob: bytes, stamp: SourceStamp | None = None, source_path: str | None = None,
               where: str = "stored module") -> Any:
    """The extra value of the stored module `blob`, checked as `loads`
    checks (the lines section need not be present: the header and the extra
    section are enough)."""
    h = _parse_header(blob, where)
    _check_header(h, where, stamp, source_path)
    part = _section(blob, HEADER_SIZE, h.extra_len, h.extra_crc, "extra", where)
    return _unmarshal(part, "extra", where)


def loads(blob: bytes, stamp: SourceStamp | None = None, source_path: str | None = None,
          pool: dict[str, str] | None = None, where: str = "stored module",
          decode_lines: bool = True) -> tuple[list[LogicalLine] | None, Any]:
    """The logical list stored in `blob`, as new logical lines, and the
    extra value: ``(lines, extra)``.

    `stamp` (a `SourceStamp` of the source as it is now) or `source_path`
    (its file, looked at only as far as needed) make a stored module of a
    changed source refused; with neither, the source is not checked.
    Strings but literals and comments are taken from the name pool `pool`
    when given.  Raises
    `StoreError` (`StaleStoreError` or `CorruptStoreError`) with a message
    naming `where` and the reason.  With `decode_lines` false, everything is
    checked but the lines are not decoded, and the result is
    ``(None, extra)``."""
    lines, extra, _keys = _loads(blob, stamp, source_path, pool, where, decode_lines)
    return lines, extra


def _loads(blob: bytes, stamp: SourceStamp | None, source_path: str | None, pool: dict[str, str] | None,
           where: str, decode_lines: bool) -> tuple[list[LogicalLine] | None, Any, list[tuple[str, ...]]]:
    """`loads`, with the parse keys of the stored def lines taken for static
    or class methods."""
    h = _parse_header(blob, where)
    _check_header(h, where, stamp, source_path)
    extra = _unmarshal(_section(blob, HEADER_SIZE, h.extra_len, h.extra_crc, "extra", where),
                       "extra", where)
    start = HEADER_SIZE + h.extra_len
    body: bytes | memoryview = _section(blob, start, h.lines_len, h.lines_crc, "lines", where)
    if len(blob) != start + h.lines_len:
        raise CorruptStoreError("%s: damaged stored module (%d bytes after the end)"
                                % (where, len(blob) - start - h.lines_len))
    if not decode_lines:
        return None, extra, []
    if h.flags & FLAG_LZ4:
        body = _lz4_decompress(body, where)
    elif h.flags & FLAG_ZLIB:
        try:
            body = zlib.decompress(body)
        except zlib.error as e:
            raise CorruptStoreError("%s: damaged stored module (lines: %s)" % (where, e)) from None
    size = _INT.unpack_from(body, 0)[0] if len(body) >= 4 else -1
    if not 0 <= size <= len(body) - 4:
        raise CorruptStoreError("%s: damaged stored module (lines section malformed)" % where)
    view = memoryview(body)
    value = _unmarshal(view[4:4 + size], "lines", where)
    names, slots, keys = _check_lines_value(value, where)
    data = view[4 + size:]
    if slots:
        from .transformer import ArgName
        for k in slots:
            names[k] = ArgName(names[k])
    try:
        lines = codec().DeserializeLogicalList((names, data), pool, True)
    except ValueError as e:
        raise CorruptStoreError("%s: damaged stored module (%s)" % (where, e)) from None
    return lines, extra, keys


def _lz4() -> Any:
    import lz4.block  # type: ignore[import-untyped]
    return lz4.block


def _lz4_decompress(body: bytes | memoryview, where: str) -> bytes:
    # The size in front is checked before it is allocated.
    size = _INT.unpack_from(body, 0)[0] if len(body) >= 4 else -1
    if not 0 <= size <= _LZ4_MAX_RATIO * len(body):
        raise CorruptStoreError("%s: damaged stored module (lines: bad LZ4 block size)" % where)
    block = _lz4()
    try:
        out: bytes = block.decompress(body)
    except block.LZ4BlockError as e:
        raise CorruptStoreError("%s: damaged stored module (lines: %s)" % (where, e)) from None
    return out


def _check_lines_value(value: Any, where: str) -> tuple[list[Any], tuple[int, ...], list[tuple[str, ...]]]:
    ok = (type(value) is tuple and len(value) == 3 and type(value[0]) is list
          and type(value[1]) is tuple and type(value[2]) is tuple)
    if ok:
        names, slots, keys = value
        n = len(names)
        # The kinds of the names themselves are checked by the analyzer's
        # reader (stored_only), at a fraction of what a look at each here
        # would cost.
        ok = (all(type(k) is int and 0 <= k < n and type(names[k]) is str for k in slots)
              and all(type(key) is tuple and all(type(t) is str for t in key) for key in keys))
    if not ok:
        raise CorruptStoreError("%s: damaged stored module (lines section malformed)" % where)
    return names, slots, list(keys)


# -- files -------------------------------------------------------------------

def write_atomic(path: str, data: bytes) -> None:
    """Write `data` to `path` through a temporary file in the same folder,
    so that readers see the old file or the new one, never a part."""
    folder = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(folder, ".%s.%d.tmp" % (os.path.basename(path), os.getpid()))
    try:
        with open(tmp, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def restamp(path: str, mtime_ns: int) -> None:
    """Record a new modification time for the source of the stored module
    at `path` (for a source touched without being changed)."""
    with open(path, "rb") as f:
        blob = f.read()
    _parse_header(blob, path)
    fields = list(_HEADER.unpack_from(blob, 0))
    fields[5] = mtime_ns
    write_atomic(path, _header_bytes(fields) + blob[HEADER_SIZE:])


def save_module(mod: ModuleAnalysis, path: str, stamp: SourceStamp | None = None, extra: Any = None) -> None:
    """Store the analysed module `mod` (a `ModuleAnalysis`) in the file
    `path`.  `stamp` is its source's stamp (default: read from its file
    now; the module must then have one)."""
    lines = mod.lines  # folds in pending edits first
    if stamp is None:
        if not mod.fFileName:
            raise ValueError("a module without a source file needs a stamp")
        stamp = SourceStamp.of_file(mod.fFileName)
        # Lines of an edited module describe text the file does not hold;
        # stored under the file's stamp they would later pass as current.
        from .analysis import read_source
        if mod.source != read_source(mod.fFileName):
            raise ValueError("%s: the module has edits not saved to its file; "
                             "give the stamp of the text it holds" % mod.fFileName)
    write_atomic(path, dumps(lines, stamp, extra))


def _read_file(path: str) -> bytes:
    """The bytes of the file `path`, read without a file object: loading a
    code base's index reads a file per module, and the buffered reader's
    set-up was about as much as the reading."""
    fd = os.open(path, os.O_RDONLY | getattr(os, "O_BINARY", 0))
    try:
        parts = [os.read(fd, os.fstat(fd).st_size + 1)]
        while parts[-1]:
            parts.append(os.read(fd, 1 << 16))
    finally:
        os.close(fd)
    return parts[0] if len(parts) == 2 else b"".join(parts)


def load_module(mod: ModuleAnalysis, path: str, stamp: SourceStamp | None = None) -> Any:
    """Install the lines stored in the file `path` in the module `mod`
    (`ModuleAnalysis.set_lines`), checking them against `stamp` or, when it
    is None, the module's source file.  Returns the extra value; raises
    `StoreError` when the file is refused (`mod` is then unchanged) and
    OSError when it cannot be read."""
    blob = _read_file(path)
    pool = mod.fAnalysisFactory.name_pool
    lines, extra, keys = _loads(blob, stamp, None if stamp is not None else mod.fFileName, pool, path, True)
    assert lines is not None
    mod.set_lines(lines, keys)
    return extra
