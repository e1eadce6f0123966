"""The server's one way into the definitions index: a thin adapter, so
that the index's own interface can change without the server noticing."""

from __future__ import annotations

from typing import Callable, NamedTuple, Optional

from .index import Index, default_cache_dir

__all__ = ["Definition", "WorkspaceIndex"]


class Definition(NamedTuple):
    """A definition the index found."""
    kind: str           # "class", "function", "import" or "generic"
    name: str           # the local name
    full_name: str      # module, scope and local name, dotted
    path: str
    line: int
    column: int


class WorkspaceIndex:
    """The index of the workspace's files, in `cache_dir` (the default
    cache folder when None); `warn` gets one line per damaged thing the
    index finds and rebuilds."""

    def __init__(self, cache_dir: Optional[str], warn: Callable[[str], None]) -> None:
        self._index = Index(cache_dir or default_cache_dir(), warn)

    def update(self, paths: list[str], progress: Optional[Callable[[int, int], None]] = None) -> None:
        """Index the Python files under `paths` (analysed, or kept when
        indexed and unchanged); `progress` gets (done, total) as files are
        done.  One process: the server's own worker thread runs this."""
        report = None if progress is None else (lambda done, total, path: progress(done, total))
        self._index.update(paths, jobs=1, progress=report)

    def find(self, pattern: str, scope: Optional[str], roots: list[str], limit: int) -> list[Definition]:
        """Classes, functions and assigned names whose name matches
        `pattern` (a name or qualified name with "*" for any text), in any
        case, and whose scope matches `scope` when it is given, in the files
        under `roots`, best first."""
        rows = self._index.find(pattern, scope=scope, kinds={"class", "function", "generic"},
                                roots=roots or None, ignore_case=True, limit=limit)
        return [Definition(r.kind, r.name, r.full_name, r.path, r.line, r.column) for r in rows]

    def close(self) -> None:
        self._index.close()
