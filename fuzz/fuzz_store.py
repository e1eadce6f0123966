"""Fuzzes the stored-form loader on mutated stored data of real modules.

The input is a stored module's lines section (names list, argument-name
slots, one byte string per logical line) in a plain framing of its own, so
that the fuzzer changes names, their types and the analyzer's byte form of
each line directly and no length in the input makes anything allocate more
than 64 KiB.  Each input goes

* to the analyzer's reader, ``DeserializeLogicalList``, directly, which may
  only refuse it with ValueError or TypeError;
* to `pysource.store.loads`, marshalled and sealed into a stored module with
  valid checksums (so that the mutation reaches past them), which may only
  refuse it with `StoreError`;
* and what `loads` accepts is installed in a module and queried: lines the
  loader lets through must not fail later.

    python fuzz/fuzz_store.py -max_total_time=60
"""

from __future__ import annotations

import marshal
import struct
import zlib
from collections.abc import Iterator
from typing import Any

import fuzzing
import pysource
from fuzz_analysis import exercise
from pysource import store

# The header of a stored module: magic, version, header size, flags, source
# size, mtime, digest, producer, extra length and CRC, lines length and CRC,
# header CRC.  The flags, the lines length and CRC and the header CRC are
# rewritten here.
_HEADER = struct.Struct("<8sHHIQq16s48sQIQII")
_STAMP = store.SourceStamp(0, 0, b"\0" * 16)
_template: bytes | None = None


def _empty_blob() -> bytes:
    global _template
    if _template is None:
        assert _HEADER.size == store.HEADER_SIZE, "the stored header changed; update _HEADER"
        _template = store.dumps([], _STAMP, compress=False)
    return _template


def seal(body: bytes) -> bytes:
    """A stored module (no source check, uncompressed) whose lines section
    is `body`, with every length and checksum right."""
    blob = _empty_blob()
    fields = list(_HEADER.unpack_from(blob, 0))
    extra = blob[store.HEADER_SIZE:store.HEADER_SIZE + fields[8]]
    fields[3] = 0                                  # not compressed
    fields[10], fields[11] = len(body), zlib.crc32(body)
    head = _HEADER.pack(*fields[:-1], 0)[:-4]
    return head + struct.pack("<I", zlib.crc32(head)) + extra + body


# The framing: u16 count of names, each a tag byte, a u16 length and that
# many bytes; u16 count of lines, each a u16 length and its bytes.  Tags:
NAME_TAGS = ("str", "argname", "none", "tuple", "int", "bytes", "float", "list")


def encode(names: list[Any], slots: tuple[int, ...], data: list[bytes]) -> bytes:
    out = bytearray(struct.pack("<H", len(names)))
    for k, name in enumerate(names):
        if name is None:
            tag, raw = "none", b""
        elif type(name) is tuple:
            tag, raw = "tuple", "\0".join("" if x is None else str(x) for x in name).encode()
        else:
            tag, raw = "argname" if k in slots else "str", str(name).encode("utf-8", "surrogatepass")
        out += struct.pack("<BH", NAME_TAGS.index(tag), len(raw)) + raw
    out += struct.pack("<H", len(data))
    for d in data:
        out += struct.pack("<H", len(d)) + d
    return bytes(out)


def decode(data: bytes) -> tuple[list[Any], tuple[int, ...], list[bytes]]:
    """The (names, slots, data) an input stands for; input past its end
    reads as zeros."""
    view = memoryview(data)
    at = 0

    def take(n: int) -> bytes:
        nonlocal at
        part = bytes(view[at:at + n])
        at += n
        return part + b"\0" * (n - len(part))

    names: list[Any] = []
    slots: list[int] = []
    for _ in range(struct.unpack("<H", take(2))[0]):
        tag, size = struct.unpack("<BH", take(3))
        raw = take(size)
        text = raw.decode("utf-8", "surrogatepass") if _utf8(raw) else raw.decode("latin-1")
        kind = NAME_TAGS[tag % len(NAME_TAGS)]
        if kind == "argname":
            slots.append(len(names))
        value: Any = {"str": text, "argname": text, "none": None,
                      "tuple": tuple(None if p == "" else p for p in text.split("\0")),
                      "int": len(raw) - 1, "bytes": raw, "float": 0.5, "list": [text]}[kind]
        names.append(value)
        if at >= len(data):
            break
    lines = [take(struct.unpack("<H", take(2))[0]) for _ in range(struct.unpack("<H", take(2))[0])
             if at < len(data)]
    return names, tuple(slots), lines


def _utf8(raw: bytes) -> bool:
    try:
        raw.decode("utf-8", "surrogatepass")
    except UnicodeDecodeError:
        return False
    return True


def seeds() -> Iterator[bytes]:
    with pysource.Project(search_path=[]) as project:
        for text in fuzzing.stdlib_sources(count=25):
            mod = project.analyze_source(text)
            try:
                # One byte string per line, as the serializer makes them
                # before the stored form joins them.
                names, slots, data = store._serialize(mod.lines)
                yield encode(names, slots, data)
            finally:
                mod.close()


def check(data: bytes) -> None:
    names, slots, lines_data = decode(data)
    try:
        store.codec().DeserializeLogicalList((list(names), list(lines_data)))
    except (ValueError, TypeError):
        pass

    head = marshal.dumps((names, slots, ()), 4)
    body = b"".join([struct.pack("<i", len(head)), head] + list(lines_data))
    try:
        lines, _ = store.loads(seal(body))
    except store.StoreError:
        return
    assert lines is not None
    with pysource.Project(search_path=[]) as project:
        mod = pysource.ModuleAnalysis(project, "stored")
        try:
            mod.set_lines(lines)
            exercise(mod)
        finally:
            mod.close()


def main() -> None:
    fuzzing.run("store", check, seeds)


if __name__ == "__main__":
    main()
