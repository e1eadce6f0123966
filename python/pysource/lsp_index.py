"""The server's one way into the definitions index: a thin adapter, so
that the index's own interface can change without the server noticing."""

from __future__ import annotations

from typing import Callable, NamedTuple, Optional

from .index import Index, default_cache_dir, pattern_matcher

__all__ = ["Definition", "WorkspaceIndex"]


class Definition(NamedTuple):
    """A definition the index found."""
    kind: str           # "class", "function", "import" or "generic"
    name: str           # the local name
    full_name: str      # scope and local name, dotted
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
        """Index the Python files under `paths` (analysed, or loaded when
        stored and current); `progress` gets (done, total) as files are
        done."""
        report = None if progress is None else (lambda done, total, path: progress(done, total))
        # The index keeps the analyses it made, and would store a changed
        # file's old analysis again: it starts from the files each time.
        self._index.close()
        self._index.update(paths, progress=report)

    def find(self, pattern: str, scope: Optional[str], roots: list[str], limit: int) -> list[Definition]:
        """Classes, functions and assigned names whose local name matches
        `pattern` (a name with at most one "*"), in any case, and whose
        scope matches `scope` when it is given, in the files under
        `roots`."""
        rows = self._index.find("*", scope if scope is not None else "*", {"class", "function", "generic"},
                                roots or None)
        match = pattern_matcher(pattern.lower())
        out = []
        for r in rows:
            if match(r["local_name"].lower()):
                out.append(Definition(r["kind"], r["local_name"], r["name"], r["path"], r["line"], 0))
                if len(out) >= limit:
                    break
        return out

    def close(self) -> None:
        self._index.close()
