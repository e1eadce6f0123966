"""The editor's open documents: each is a module analysis of the server's
project, kept in step with the editor's range edits through the module's
source buffer, and the conversion between the protocol's positions
(columns in UTF-16 or UTF-8 code units) and the analyzer's (columns in
characters)."""

from __future__ import annotations

import os
from typing import Any, Optional
from urllib.parse import unquote, urlparse

from .analysis import ModuleAnalysis, Project, read_source
from .edits import Changes
from .lsp_analysis import ParseErrors
from .splitter import kFromImportIndex

__all__ = ["Document", "path_of_uri", "to_chars", "to_units"]

Module = ModuleAnalysis


def path_of_uri(uri: str) -> Optional[str]:
    """The local path of a file: URI, or None for other schemes."""
    parsed = urlparse(uri)
    if parsed.scheme != "file":
        return None
    return os.path.normpath(unquote(parsed.path))


def splice(text: str, start: tuple[int, int], end: tuple[int, int], new_text: str) -> str:
    """`text` with the range from `start` to `end` (as
    `ModuleAnalysis.edit` takes them) replaced by `new_text`, worked out
    from the whole text: the slow way, for when the buffer failed."""
    rows = text.split("\n")

    def offset(pos: tuple[int, int]) -> int:
        row, col = pos
        if row > len(rows):
            return len(text)
        line = rows[row - 1]
        width = len(line) - 1 if line.endswith("\r") and row < len(rows) else len(line)
        return sum(len(r) + 1 for r in rows[:row - 1]) + min(col, width)
    a, b = offset(start), offset(end)
    return text[:a] + new_text + text[max(a, b):]


def names_may_have_changed(changes: Changes) -> bool:
    """Whether an edit may have changed the names a module defines at
    module level."""
    return bool(changes.classes or changes.functions or "" in changes.body_scopes)


def to_chars(text: str, units: int, encoding: str) -> int:
    """The character column of a column in code units of `encoding`
    ("utf-16", "utf-8" or "utf-32") on a row of text; past the end of the
    row, the row's length."""
    if encoding == "utf-32" or text.isascii():
        return min(units, len(text))
    width = 2 if encoding == "utf-16" else 1
    n = 0
    for i, c in enumerate(text):
        if n >= units:
            return i
        o = ord(c)
        if width == 2:
            n += 2 if o > 0xFFFF else 1
        else:
            n += 1 if o < 0x80 else 2 if o < 0x800 else 3 if o < 0x10000 else 4
    return len(text)


def to_units(text: str, chars: int, encoding: str) -> int:
    """The column in code units of `encoding` of a character column."""
    if encoding == "utf-32" or text.isascii():
        return chars
    head = text[:chars]
    if encoding == "utf-16":
        return len(head) + sum(1 for c in head if ord(c) > 0xFFFF)
    return len(head.encode("utf-8", errors="surrogatepass"))


class Document:
    """An open document: its URI, file path (None when it has none), the
    module analysis that holds its text, its version and the lines of it
    known not to parse."""

    __slots__ = ("uri", "path", "mod", "version", "errors")

    def __init__(self, uri: str, path: Optional[str], mod: Module, version: int) -> None:
        self.uri = uri
        self.path = path
        self.mod = mod
        self.version = version
        self.errors = ParseErrors()


def open_module(project: Project, path: Optional[str], text: str) -> Module:
    """The module analysis of an opened document, holding `text`."""
    if path is None:
        return ModuleAnalysis(project, "__main__", source=text)
    mod = project.module_for_path(path, source=text)
    if mod.source != text:
        mod.set_source(text)
        mod.UpdateFromCache()
    return mod


def close_module(mod: Module) -> None:
    """A closed document's module goes back to its file's text, which other
    modules import."""
    path = mod.fFileName
    if path is None:
        mod.close()
        return
    try:
        text = read_source(path)
    except OSError:
        text = ""
    if text != mod.source:
        mod.set_source(text)


class StarImports:
    """Keeps the star imports of a project's modules in step with edits of
    the modules they import from: a star-import line records the names the
    other module had when the line was analysed."""

    def __init__(self) -> None:
        # Module -> positions of its star-import lines.  Modules are edited
        # only while open, and those are looked at afresh each time.
        self._lines: dict[Module, list[int]] = {}

    def refresh(self, project: Project, changed: set[Module], edited: set[Module]) -> None:
        """Star-import lines that import from the modules in `changed`
        (whose module-level names may have changed) are replaced by fresh
        copies, analysed again on the next query; the modules they are in
        have then changed too.  `edited` are the modules whose lines may
        have changed since the last call."""
        known = self._lines
        modules = [(m, m.loaded_lines) for m in project.modules.values() if m.analyzer is not None]
        for mod, lines in modules:
            if lines is not None and (mod in edited or mod not in known):
                known[mod] = [i for i, line in enumerate(lines)
                              if line.type == kFromImportIndex and "*" in line.tokens]
        todo = list(changed)
        done: set[int] = set()
        while todo:
            source = todo.pop()
            if id(source) in done:
                continue
            done.add(id(source))
            for mod, lines in modules:
                if mod is source or lines is None:
                    continue
                stale = [i for i in known[mod] if i < len(lines) and lines[i].parsed and
                         any(type(e) is tuple and e[1] is source for e in lines[i].objs)]
                if not stale:
                    continue
                mod.reanalyze_lines(stale)
                todo.append(mod)
