"""A tags file of indexed definitions, in the extended format editors read
(the one Universal Ctags writes): a few ``!_TAG_`` header lines, then one
line per definition, sorted by byte value::

    name<TAB>file<TAB>/^source line$/;"<TAB>kind<TAB>line:N[<TAB>class:Scope]

Kinds: ``c`` class, ``f`` function, ``m`` function of a class, ``v``
variable.  Imports and names local to functions are left out, as editors
want the places where things are defined.
"""

from __future__ import annotations

import os
from collections.abc import Iterable

from . import __version__
from .index import Definition

__all__ = ["tag_lines", "write_tags"]

HEADER = [
    ("!_TAG_FILE_FORMAT", "2", "extended format; --format=1 will not append ;\" to lines"),
    ("!_TAG_FILE_SORTED", "1", "0=unsorted, 1=sorted, 2=foldcase"),
    ("!_TAG_OUTPUT_EXCMD", "pattern", "number, pattern, mixed, or combineV2"),
    ("!_TAG_OUTPUT_FILESEP", "slash", "slash or backslash"),
    ("!_TAG_OUTPUT_MODE", "u-ctags", "u-ctags or e-ctags"),
    ("!_TAG_PATTERN_LENGTH_LIMIT", "0", "0 for no limit"),
    ("!_TAG_PROGRAM_NAME", "pysource", ""),
    ("!_TAG_PROGRAM_VERSION", __version__, ""),
]


def _pattern(text: str) -> str:
    return "/^%s$/" % text.replace("\\", "\\\\").replace("/", "\\/")


def _source_row(path: str, line: int, cache: dict[str, list[str]]) -> str:
    rows = cache.get(path)
    if rows is None:
        try:
            with open(path, "rb") as f:
                data = f.read()
            # Split the bytes: str.splitlines also breaks at form feeds and
            # other characters that do not end a line of Python source.  Rows
            # are decoded as the file declares, as the editor searching the
            # pattern reads it.
            from .analysis import source_encoding
            encoding = source_encoding(data)
            rows = [r.decode(encoding, "replace") for r in data.splitlines()]
        except OSError:
            rows = []
        cache[path] = rows
    return rows[line - 1] if 0 < line <= len(rows) else ""


def tag_lines(defs: Iterable[Definition], base: str) -> list[str]:
    """The tags file's lines (header first, no newlines) for `defs`, with
    file names relative to the folder `base`."""
    defs = [d for d in defs if d.kind in ("class", "function", "generic") and not d.local]
    classes = {(d.path, d.scope + "." + d.name if d.scope else d.name)
               for d in defs if d.kind == "class"}
    rows: dict[str, list[str]] = {}
    entries = set()
    for d in defs:
        if "." in d.name:
            continue    # attribute paths (obj.x = ...) are not names of their own
        in_class = bool(d.scope) and (d.path, d.scope) in classes
        if d.kind == "class":
            letter = "c"
        elif d.kind == "function":
            letter = "m" if in_class else "f"
        else:
            letter = "v"
        rel = os.path.relpath(d.path, base).replace(os.sep, "/")
        fields = [d.name, rel, _pattern(_source_row(d.path, d.line, rows)) + ';"', letter,
                  "line:%d" % d.line]
        if d.scope:
            fields.append("%s:%s" % ("class" if in_class else "function", d.scope))
        entries.add("\t".join(fields))
    header = ["%s\t%s\t/%s/" % h for h in HEADER]
    return header + sorted(entries, key=lambda s: s.encode("utf-8", "surrogateescape"))


def write_tags(path: str, lines: list[str]) -> None:
    """Write the tags file `path` whole or not at all."""
    from .store import write_atomic
    write_atomic(path, ("\n".join(lines) + "\n").encode("utf-8", "surrogateescape"))
