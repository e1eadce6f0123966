"""The index: analysed source files and their definitions in one SQLite
database per interpreter, in the cache folder::

    <cache>/index-<cache tag>.sqlite3     (WAL mode)

Tables:

    meta    format and the producer (package, interpreter and analysing
            code) of what is stored; another producer's rows are dropped
    roots   the folders and files that were indexed
    files   per source file: real path, module name, size, modification
            time and digest, the failure's reason (a failed file has no
            definitions and is tried again on every update), logical line
            count, the star-import sources its table depends on, the lines
            that did not parse or lost names, and the stored form of its
            logical list (`pysource.store`)
    defs    the definitions table: kind, local name, scope in the module
            (the qualified name is module, scope and name), line, column,
            first source line (for an import, its statement), whether it
            is local to a function, and the imported module and name

Names are looked up through indexes on the lower-cased local name, the
same reversed, and the lower-cased qualified name reversed, so that exact
names, prefixes, suffixes and qualified names (whole, or a tail after a
dot) are range scans; the case of the pattern is checked on the rows
found.  Each file is written in one transaction with its definitions, so
a reader or a run killed half-way never sees part of a file; concurrent
runs wait for each other's transactions.  A damaged or foreign database
is reported through `warn` and made anew.
"""

from __future__ import annotations

import io
import os
import re
import sqlite3
import sys
import time
import warnings
from collections.abc import Callable, Iterable, Sequence
from dataclasses import dataclass, field
# `typing` is imported only by type checkers: `pysource find` starts faster
# without it.
TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any

    from . import store
    from .analysis import ModuleAnalysis
    from .indexwork import FileResult, IndexedProject

__all__ = ["Index", "Definition", "Summary", "SourceError", "default_cache_dir", "python_files",
           "read_python_source", "pattern_regex", "KINDS", "stdlib_paths"]

# Kind names of the command line -> kinds in the table.
KINDS = {"class": "class", "function": "function", "import": "imported", "generic": "generic",
         "module": "module"}
KIND_NAMES = {v: k for k, v in KINDS.items()}

SKIP_DIRS = frozenset(["__pycache__", "site-packages", "dist-packages", "node_modules"])
PY_SUFFIXES = (".py", ".pyw", ".pyi")
FOLDER_SUFFIXES = (".py", ".pyi")

APPLICATION_ID = 0x70795372     # "pySr"
SCHEMA_VERSION = 2
_TOP = "\U0010ffff"             # sorts after every text that has the prefix

Warn = Callable[[str], None]
Progress = Callable[[int, int, "str | None"], None]


class SourceError(Exception):
    """A path given as input cannot be used; the message says which and
    why."""


def default_cache_dir() -> str:
    """$PYSOURCE_CACHE, else $XDG_CACHE_HOME/pysource, else
    ~/.cache/pysource."""
    d = os.environ.get("PYSOURCE_CACHE")
    if d:
        return d
    xdg = os.environ.get("XDG_CACHE_HOME")
    if xdg and os.path.isabs(xdg):
        return os.path.join(xdg, "pysource")
    return os.path.join(os.path.expanduser("~"), ".cache", "pysource")


def stdlib_paths() -> list[str]:
    """The running interpreter's standard library."""
    import sysconfig
    return [sysconfig.get_paths()["stdlib"]]


# -- source files --------------------------------------------------------------

def _looks_like_python(path: str, head: bytes) -> bool:
    if b"\0" in head:
        return False
    if path.endswith(PY_SUFFIXES):
        return True
    first = head.split(b"\n", 1)[0]
    return first.startswith(b"#!") and b"python" in first


def read_python_source(path: str) -> tuple[bytes, str, store.SourceStamp]:
    """(bytes, text, stamp) of the Python source file `path`; raises
    `SourceError` when it is missing, unreadable, not Python (by name or
    first line, or holding null bytes) or not valid in its encoding (UTF-8
    unless it declares another)."""
    try:
        with open(path, "rb") as f:
            st = os.fstat(f.fileno())
            data = f.read()
    except FileNotFoundError:
        raise SourceError("%s: no such file" % path) from None
    except IsADirectoryError:
        raise SourceError("%s: is a folder, not a Python file" % path) from None
    except OSError as e:
        raise SourceError("%s: cannot read (%s)" % (path, e.strerror or e)) from None
    if not _looks_like_python(path, data[:4096]) or b"\0" in data:
        raise SourceError("%s: not a Python source file" % path)
    import tokenize
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
    except SyntaxError as e:
        # A bad coding declaration, or bytes that are not UTF-8 in the
        # first two lines of a file that declares none.
        encoding = "utf-8"
        reason = str(e.msg if getattr(e, "msg", None) else e).split(" for ")[0]
        if "invalid or missing encoding declaration" not in reason:
            raise SourceError("%s: %s" % (path, reason)) from None
    try:
        text = data.decode(encoding)
    except UnicodeDecodeError as e:
        name = "UTF-8" if encoding.replace("_", "-").lower().startswith("utf-8") else encoding
        raise SourceError("%s: not valid %s (byte 0x%02x at offset %d)"
                          % (path, name, data[e.start], e.start)) from None
    if text.startswith("\ufeff"):
        text = text[1:]
    from . import store
    return data, text, store.SourceStamp(len(data), st.st_mtime_ns, store.digest(data))


def python_files(paths: Iterable[str]) -> list[str]:
    """The real paths of the Python files named by `paths`, in order: a file
    as itself (it must be a Python file), a folder as the .py and .pyi files
    under it (skipping __pycache__, site-packages, dist-packages,
    node_modules and hidden folders).  Raises `SourceError` for a path that
    does not exist or a file that is not Python."""
    out = []
    seen = set()
    for p in paths:
        real = os.path.realpath(p)
        if os.path.isdir(real):
            for root, dirs, files in os.walk(real):
                dirs[:] = sorted(d for d in dirs if d not in SKIP_DIRS and not d.startswith("."))
                for f in sorted(files):
                    if f.endswith(FOLDER_SUFFIXES):
                        fp = os.path.join(root, f)
                        if fp not in seen:
                            seen.add(fp)
                            out.append(fp)
        elif os.path.isfile(real):
            try:
                with open(real, "rb") as fh:
                    head = fh.read(4096)
            except OSError as e:
                raise SourceError("%s: cannot read (%s)" % (p, e.strerror or e)) from None
            if not _looks_like_python(real, head):
                raise SourceError("%s: not a Python source file" % p)
            if real not in seen:
                seen.add(real)
                out.append(real)
        elif os.path.lexists(p):
            raise SourceError("%s: not a file or folder" % p)
        else:
            raise SourceError("%s: no such file or folder" % p)
    return out


def package_roots(paths: Iterable[str]) -> list[str]:
    """The folders absolute imports of the modules under `paths` start from:
    for each path, the first folder above it that is not a package."""
    roots: list[str] = []
    for p in paths:
        d = os.path.realpath(p)
        if not os.path.isdir(d):
            d = os.path.dirname(d)
        while os.path.isfile(os.path.join(d, "__init__.py")) and os.path.dirname(d) != d:
            d = os.path.dirname(d)
        if d not in roots:
            roots.append(d)
    return roots


def _under(path: str, folder: str) -> bool:
    return path == folder or path.startswith(folder.rstrip(os.sep) + os.sep)


# -- patterns -----------------------------------------------------------------

def pattern_regex(pattern: str, ignore_case: bool = False) -> re.Pattern[str]:
    """The regular expression of a name pattern: '*' stands for any text
    (possibly empty), every other character for itself.  With at most one
    '*' this is the attribute search's own rule (a text must begin with
    what comes before the star and end with what comes after it, the two
    not overlapping); further stars are wildcards too."""
    body = ".*".join(re.escape(part) for part in pattern.split("*"))
    return re.compile(body, re.DOTALL | (re.IGNORECASE if ignore_case else 0))


def _glob(pattern: str) -> str:
    """The SQLite GLOB of a name pattern (only '*' is special)."""
    return re.sub(r"([?\[])", r"[\1]", pattern)


def _qualified(module: str, scope: str, name: str) -> str:
    return ".".join(p for p in (module, scope, name) if p)


# -- results -------------------------------------------------------------------

@dataclass(frozen=True)
class Definition:
    """One definition found by `Index.find`.

    `kind` is class, function, import, generic (an assigned name) or module;
    `name` the name as defined (``self.items`` for an attribute set in a
    method); `full_name` the qualified name (``pkg.mod.Class.method``);
    `module` the module's dotted name; `scope` the scope in the module
    (``Class.method``, "" at module level); `line` is 1-based and `column`
    0-based; `signature` the first source line of the definition or, for
    an import, the import statement of that name; `local` whether it lies
    inside a function."""

    kind: str
    name: str
    full_name: str
    module: str
    path: str
    line: int
    column: int
    scope: str
    signature: str
    local: bool = False
    imported_module: str | None = None
    imported_name: str | None = None

    def as_dict(self) -> dict[str, Any]:
        return {"kind": self.kind, "name": self.name, "full_name": self.full_name,
                "module": self.module, "path": self.path, "line": self.line,
                "column": self.column, "scope": self.scope, "signature": self.signature,
                "local": self.local, "imported_module": self.imported_module,
                "imported_name": self.imported_name}


@dataclass
class Summary:
    """What an update did: counts, failures, what was lost, and time."""

    files: int = 0
    analysed: int = 0
    loaded: int = 0
    removed: int = 0
    lines: int = 0
    defs: int = 0
    jobs: int = 1
    failed: list[tuple[str, str]] = field(default_factory=list)        # (path, reason)
    syntax_errors: list[tuple[str, str]] = field(default_factory=list)  # (path, message)
    problems: list[tuple[str, int, str]] = field(default_factory=list)  # (path, line, reason)
    unparsed: int = 0
    dropped: int = 0
    seconds: float = 0.0

    def line(self) -> str:
        text = ("%d file%s (%d analysed, %d unchanged), %d logical line%s, %d definition%s, "
                "%.1f s with %d job%s"
                % (self.files, _s(self.files), self.analysed, self.loaded, self.lines, _s(self.lines),
                   self.defs, _s(self.defs), self.seconds, self.jobs, _s(self.jobs)))
        text += "; %d line%s did not parse" % (self.unparsed, _s(self.unparsed))
        text += ", %d name%s dropped" % (self.dropped, _s(self.dropped))
        if self.syntax_errors:
            text += ", %d file%s with syntax errors" % (len(self.syntax_errors), _s(len(self.syntax_errors)))
        if self.failed:
            reasons: dict[str, int] = {}
            for _, why in self.failed:
                why = why.split(" (")[0]
                reasons[why] = reasons.get(why, 0) + 1
            text += "; %d failed: %s" % (len(self.failed), ", ".join(
                "%s (%d)" % (why, n) if n > 1 else why for why, n in sorted(reasons.items())))
        else:
            text += "; none failed"
        return text


def _s(count: int) -> str:
    """The plural ending for `count` things."""
    return "" if count == 1 else "s"


# -- the database --------------------------------------------------------------

_SCHEMA = """
CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE roots(path TEXT PRIMARY KEY);
CREATE TABLE files(
    id INTEGER PRIMARY KEY,
    path TEXT NOT NULL UNIQUE,
    module TEXT NOT NULL,
    size INTEGER,
    mtime_ns INTEGER,
    digest BLOB,
    error TEXT,
    lines INTEGER NOT NULL,
    ndefs INTEGER NOT NULL,
    deps TEXT NOT NULL,
    problems TEXT NOT NULL,
    syntax_error TEXT,
    stored BLOB);
CREATE TABLE defs(
    file INTEGER NOT NULL,
    kind TEXT NOT NULL,
    name TEXT NOT NULL,
    lname TEXT NOT NULL,
    rlname TEXT NOT NULL,
    rlqual TEXT NOT NULL,
    scope TEXT NOT NULL,
    line INTEGER NOT NULL,
    col INTEGER NOT NULL,
    signature TEXT NOT NULL,
    local INTEGER NOT NULL,
    imp_module TEXT,
    imp_name TEXT);
CREATE INDEX defs_file ON defs(file);
CREATE INDEX defs_lname ON defs(lname);
CREATE INDEX defs_rlname ON defs(rlname);
CREATE INDEX defs_rlqual ON defs(rlqual);
"""
_TABLES = {"meta", "roots", "files", "defs"}


class DatabaseProblem(Exception):
    pass


def database_path(cache_dir: str) -> str:
    """The index database of the running interpreter in `cache_dir`."""
    tag = sys.implementation.cache_tag or "python"
    return os.path.join(os.path.abspath(cache_dir), "index-%s.sqlite3" % tag)


def remove_database(cache_dir: str) -> None:
    """Delete the index database in `cache_dir` (to rebuild a damaged one)."""
    _remove_database(database_path(cache_dir))


def _remove_database(path: str) -> None:
    for p in (path, path + "-wal", path + "-shm", path + "-journal"):
        if os.path.isdir(p) and not os.path.islink(p):
            import shutil
            shutil.rmtree(p)
        elif os.path.lexists(p):
            os.unlink(p)


def _open_database(path: str, warn: Warn) -> sqlite3.Connection:
    """The index database at `path`, made or made anew when needed."""
    for attempt in range(2):
        try:
            if os.path.isdir(path):
                raise DatabaseProblem("is a folder")
            con = sqlite3.connect(path, timeout=60.0, isolation_level=None,
                                  check_same_thread=False)
            try:
                _prepare(con)
                return con
            except BaseException:
                con.close()
                raise
        except DatabaseProblem as e:
            why = str(e)
        except sqlite3.DatabaseError as e:
            if attempt or "locked" in str(e):
                raise
            why = "damaged (%s)" % e
        if attempt:
            break
        warn("index database %s %s; rebuilding it" % (path, why))
        _remove_database(path)
    raise DatabaseProblem("%s cannot be made" % path)


def _prepare(con: sqlite3.Connection) -> None:
    """Check that `con` is our database, making the schema in an empty one;
    raises DatabaseProblem for a foreign or damaged one."""
    from . import store
    con.execute("PRAGMA busy_timeout = 60000")
    app = con.execute("PRAGMA application_id").fetchone()[0]
    tables = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
    if app != APPLICATION_ID and (app != 0 or tables):
        raise DatabaseProblem("is not a pysource index")
    if con.execute("PRAGMA journal_mode").fetchone()[0] != "wal":
        con.execute("PRAGMA journal_mode = WAL")
    con.execute("PRAGMA synchronous = NORMAL")
    con.execute("BEGIN IMMEDIATE")
    try:
        tables = {r[0] for r in con.execute("SELECT name FROM sqlite_master WHERE type = 'table'")}
        if not tables:
            con.execute("PRAGMA application_id = %d" % APPLICATION_ID)
            con.execute("PRAGMA user_version = %d" % SCHEMA_VERSION)
            for stmt in _SCHEMA.split(";"):
                if stmt.strip():
                    con.execute(stmt)
            con.execute("INSERT INTO meta VALUES ('producer', ?)", (store.producer(),))
        else:
            version = con.execute("PRAGMA user_version").fetchone()[0]
            if not _TABLES <= tables or version != SCHEMA_VERSION:
                raise DatabaseProblem("has another format")
            row = con.execute("SELECT value FROM meta WHERE key = 'producer'").fetchone()
            if row is None or row[0] != store.producer():
                # Made by another version of the analysing code: what it
                # recorded is not ours to trust; the roots still stand.
                con.execute("DELETE FROM defs")
                con.execute("DELETE FROM files")
                con.execute("INSERT OR REPLACE INTO meta VALUES ('producer', ?)",
                            (store.producer(),))
        con.execute("COMMIT")
    except BaseException:
        if con.in_transaction:
            con.execute("ROLLBACK")
        raise


# -- the index -----------------------------------------------------------------
#
# `find` needs only the database: the analysing side (store, analysis,
# indexwork) is imported by the methods that use it.

@dataclass
class _Known:
    id: int
    size: int | None
    mtime_ns: int | None
    digest: bytes | None
    error: str | None
    lines: int
    ndefs: int
    deps: list[list[Any]]
    problems: list[list[Any]]
    syntax_error: str | None


class Index:
    """The index in the cache folder `cache_dir` (default:
    `default_cache_dir()`); a context manager.

    `warn` is called with one line of text for each damaged thing found
    (and rebuilt); `progress`, when given to `update`, with (done, total,
    path) as files are done.
    """

    def __init__(self, cache_dir: str | None = None, warn: Warn | None = None) -> None:
        self.cache_dir = os.path.abspath(cache_dir or default_cache_dir())
        self.warn: Warn = warn or (lambda text: None)
        if os.path.exists(self.cache_dir) and not os.path.isdir(self.cache_dir):
            raise SourceError("%s: cache folder is not a folder" % self.cache_dir)
        os.makedirs(self.cache_dir, exist_ok=True)
        self.path = database_path(self.cache_dir)
        self._con: sqlite3.Connection | None = _open_database(self.path, self.warn)
        self._project: IndexedProject | None = None
        self._project_roots: list[str] | None = None

    def __enter__(self) -> Index:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        if self._project is not None:
            self._project.close()
            self._project = None
        if self._con is not None:
            self._con.close()
            self._con = None

    @property
    def con(self) -> sqlite3.Connection:
        if self._con is None:
            raise ValueError("the index is closed")
        return self._con

    # -- roots -----------------------------------------------------------

    def roots(self) -> list[str]:
        """The indexed roots (real paths), sorted."""
        return [r[0] for r in self.con.execute("SELECT path FROM roots ORDER BY path")]

    def _add_roots(self, paths: Iterable[str]) -> None:
        con = self.con
        con.execute("BEGIN IMMEDIATE")
        try:
            roots = [r[0] for r in con.execute("SELECT path FROM roots")]
            for p in paths:
                real = os.path.realpath(p)
                if any(_under(real, r) for r in roots):
                    continue
                for r in roots:
                    if _under(r, real):
                        con.execute("DELETE FROM roots WHERE path = ?", (r,))
                roots = [r for r in roots if not _under(r, real)] + [real]
                con.execute("INSERT INTO roots VALUES (?)", (real,))
            con.execute("COMMIT")
        except BaseException:
            con.execute("ROLLBACK")
            raise

    def remove_root(self, path: str) -> int:
        """Forget the indexed root `path` and every file under it; returns
        how many files were dropped.  Raises `SourceError` when `path` is
        not an indexed root."""
        real = os.path.realpath(path)
        con = self.con
        con.execute("BEGIN IMMEDIATE")
        try:
            if con.execute("SELECT 1 FROM roots WHERE path = ?", (real,)).fetchone() is None:
                raise SourceError("%s: not an indexed root" % path)
            con.execute("DELETE FROM roots WHERE path = ?", (real,))
            n = self._drop_under(real, set())
            con.execute("COMMIT")
        except BaseException:
            con.execute("ROLLBACK")
            raise
        return n

    def _drop_under(self, folder: str, keep: set[str]) -> int:
        con = self.con
        gone = [(i, p) for i, p in con.execute(
            "SELECT id, path FROM files WHERE path = ? OR (path >= ? AND path < ?)",
            (folder, folder.rstrip(os.sep) + os.sep, folder.rstrip(os.sep) + os.sep + _TOP))
            if p not in keep]
        for i, _ in gone:
            con.execute("DELETE FROM defs WHERE file = ?", (i,))
            con.execute("DELETE FROM files WHERE id = ?", (i,))
        return len(gone)

    # -- updating --------------------------------------------------------

    def _known(self) -> dict[str, _Known]:
        import json
        out = {}
        for row in self.con.execute(
                "SELECT path, id, size, mtime_ns, digest, error, lines, ndefs, deps, problems, "
                "syntax_error FROM files"):
            out[row[0]] = _Known(row[1], row[2], row[3], row[4], row[5], row[6], row[7],
                                 json.loads(row[8]), json.loads(row[9]), row[10])
        return out

    def update(self, paths: list[str], *, jobs: int | None = None,
               progress: Progress | None = None) -> Summary:
        """Bring the index up to date for `paths` (files and folders, which
        become indexed roots): files not changed since they were indexed
        are left as they are, the others are analysed (in `jobs` worker
        processes; default: one per core) and stored, and files under
        `paths` that are gone are dropped.  Files that failed before are
        tried again.  Returns a `Summary`.  Raises `SourceError` for a path
        that is missing or not Python."""
        t0 = time.perf_counter()
        files = python_files(paths)
        if jobs is None:
            jobs = os.cpu_count() or 1
        jobs = max(1, jobs)
        self._add_roots(paths)
        summary = Summary(files=len(files))
        known = self._known()
        stats: dict[str, tuple[int, int] | None] = {}

        def stat(p: str) -> tuple[int, int] | None:
            if p not in stats:
                try:
                    st = os.stat(p)
                    stats[p] = (st.st_size, st.st_mtime_ns)
                except OSError:
                    stats[p] = None
            return stats[p]

        todo: list[str] = []
        restamp: list[tuple[int, int]] = []
        for path in files:
            k = known.get(path)
            if k is not None and k.error is None and self._current(path, k, stat, restamp):
                summary.loaded += 1
                self._count(summary, path, k.lines, k.ndefs, k.problems, k.syntax_error)
            else:
                todo.append(path)
        if restamp:
            self._write(lambda con: con.executemany(
                "UPDATE files SET mtime_ns = ? WHERE id = ?", restamp))
        roots = package_roots(list(paths) + self.roots())
        done = summary.loaded
        if progress is not None:
            progress(done, len(files), None)
        summary.jobs = jobs = min(jobs, max(1, len(todo)))
        pending: list[FileResult] = []
        last = time.monotonic()
        for result in self._analyse_all(todo, roots, jobs):
            pending.append(result)
            done += 1
            if progress is not None:
                progress(done, len(files), result.path)
            if result.error is not None:
                summary.failed.append((result.path, result.error))
            else:
                summary.analysed += 1
                self._count(summary, result.path, result.lines, len(result.defs),
                            result.problems, result.syntax_error)
            now = time.monotonic()
            if len(pending) >= 500 or now - last > 0.5:
                self._store_results(pending)
                pending = []
                last = now
        self._store_results(pending)
        present = set(files)
        folders = [os.path.realpath(p) for p in paths if os.path.isdir(p)]
        if folders:
            removed = 0

            def drop(con: sqlite3.Connection) -> None:
                nonlocal removed
                for f in folders:
                    removed += self._drop_under(f, present)
            self._write(drop)
            summary.removed = removed
        summary.failed.sort()
        summary.syntax_errors.sort()
        summary.problems.sort()
        summary.seconds = time.perf_counter() - t0
        return summary

    @staticmethod
    def _count(summary: Summary, path: str, lines: int, ndefs: int,
               problems: Sequence[Sequence[Any]], syntax_error: str | None) -> None:
        summary.lines += lines
        summary.defs += ndefs
        for line, why in problems:
            summary.problems.append((path, int(line), str(why)))
            if why.startswith("line did not parse"):
                summary.unparsed += 1
            else:
                m = re.match(r"(\d+) names", why)
                summary.dropped += int(m.group(1)) if m else 0
        if syntax_error is not None:
            summary.syntax_errors.append((path, syntax_error))

    def _current(self, path: str, k: _Known,
                 stat: Callable[[str], tuple[int, int] | None],
                 restamp: list[tuple[int, int]]) -> bool:
        """Whether what the index holds of `path` still stands."""
        now = stat(path)
        if now is None or now[0] != k.size:
            return False
        for dep, size, mtime in k.deps:
            if stat(dep) != (size, mtime):
                return False
        if now[1] == k.mtime_ns:
            return True
        # Touched: the content decides.
        from . import store
        try:
            with open(path, "rb") as f:
                same = store.digest(f.read()) == k.digest
        except OSError:
            return False
        if same:
            restamp.append((now[1], k.id))
        return same

    def _analyse_all(self, todo: list[str], roots: list[str], jobs: int) -> Iterable[FileResult]:
        # Only updates need the analysing side; `find` starts faster without.
        from .indexwork import analyse_file, run_batch
        if jobs <= 1 or len(todo) < 2:
            for path in todo:
                yield analyse_file(path, roots)
            return
        import concurrent.futures
        import multiprocessing
        methods = multiprocessing.get_all_start_methods()
        ctx = multiprocessing.get_context("forkserver" if "forkserver" in methods else "spawn")
        # Small batches keep the workers busy to the end; a big file in a
        # batch does not hold up the others for long.
        size = max(1, min(16, len(todo) // (jobs * 8)))
        batches = [todo[i:i + size] for i in range(0, len(todo), size)]
        from concurrent.futures.process import BrokenProcessPool

        from .indexwork import FileResult
        with concurrent.futures.ProcessPoolExecutor(max_workers=jobs, mp_context=ctx) as pool:
            futures = {pool.submit(run_batch, b, roots): b for b in batches}
            try:
                for fut in concurrent.futures.as_completed(futures):
                    try:
                        results = fut.result()
                    except BrokenProcessPool:
                        # A worker died (killed, or crashed in a file): what
                        # it had is not known; its files are tried again on
                        # the next run.
                        results = [FileResult(p, error="analysis process ended abruptly")
                                   for p in futures[fut]]
                    yield from results
            except BaseException:
                for f in futures:
                    f.cancel()
                raise

    def _write(self, work: Callable[[sqlite3.Connection], object]) -> None:
        con = self.con
        con.execute("BEGIN IMMEDIATE")
        try:
            work(con)
            con.execute("COMMIT")
        except BaseException:
            con.execute("ROLLBACK")
            raise

    def _store_results(self, results: list[FileResult]) -> None:
        if not results:
            return

        def work(con: sqlite3.Connection) -> None:
            import json
            for r in results:
                old = con.execute("SELECT id FROM files WHERE path = ?", (r.path,)).fetchone()
                if old is not None:
                    con.execute("DELETE FROM defs WHERE file = ?", (old[0],))
                    con.execute("DELETE FROM files WHERE id = ?", (old[0],))
                if r.error is not None:
                    st = None
                    try:
                        s = os.stat(r.path)
                        st = (s.st_size, s.st_mtime_ns)
                    except OSError:
                        pass
                    con.execute(
                        "INSERT INTO files(path, module, size, mtime_ns, error, lines, ndefs, deps, "
                        "problems) VALUES (?, '', ?, ?, ?, 0, 0, '[]', '[]')",
                        (r.path, st and st[0], st and st[1], r.error))
                    continue
                cur = con.execute(
                    "INSERT INTO files(path, module, size, mtime_ns, digest, lines, ndefs, deps, "
                    "problems, syntax_error, stored) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                    (r.path, r.module, r.size, r.mtime_ns, r.digest, r.lines, len(r.defs),
                     json.dumps(r.deps), json.dumps(r.problems), r.syntax_error, r.stored))
                fid = cur.lastrowid
                rows = []
                for kind, name, scope, line, col, sig, local, imod, iname in r.defs:
                    qual = _qualified(r.module, scope, name) if kind != "module" else r.module
                    lname = name.lower()
                    rows.append((fid, kind, name, lname, lname[::-1], qual.lower()[::-1],
                                 scope, line, col, sig, local, imod, iname))
                con.executemany("INSERT INTO defs VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)",
                                rows)
        self._write(work)

    # -- queries ---------------------------------------------------------

    def find(self, pattern: str, *, scope: str | None = None, kinds: set[str] | None = None,
             roots: list[str] | None = None, ignore_case: bool = False,
             include_locals: bool = False, limit: int | None = None) -> list[Definition]:
        """The definitions matching `pattern`, best first.

        A pattern is a name in which '*' stands for any text.  Without a
        dot it is matched against the names as defined; with one, against
        the qualified names (``pkg.mod.Class.method``) and every tail of
        them that starts after a dot (``Class.method``, ``mod.Class``).
        `scope` is a pattern for the scope the definitions are in, matched
        against the scope in the module and the qualified scope ("" for
        module level).  `kinds` is a set of kind names (class, function,
        import, generic, module; default: all), `roots` limits the search to
        files under those paths; names local to functions are left out
        unless `include_locals`.  Ranked: exact matches first, then
        classes, functions and modules, then other names, imports last;
        then by path and line."""
        if not pattern:
            raise ValueError("empty pattern")
        low = pattern.lower()
        dotted = "." in pattern
        parts = low.split("*")
        lead, trail = parts[0], (parts[-1] if len(parts) > 1 else None)
        where: list[str] = []
        args: list[Any] = []
        if dotted:
            # The whole qualified name, or a tail of it after a dot; the
            # qualified names are stored reversed, and so are the patterns.
            where.append("(d.rlqual GLOB ? OR d.rlqual GLOB ?)")
            args += [_glob(low[::-1]), _glob(low[::-1]) + ".*"]
            if trail is None:
                where.append("(d.rlqual = ? OR (d.rlqual >= ? AND d.rlqual < ?))")
                rev = ("." + low)[::-1]
                args += [low[::-1], rev, rev + _TOP]
            elif trail:
                where.append("d.rlqual >= ? AND d.rlqual < ?")
                args += [trail[::-1], trail[::-1] + _TOP]
        else:
            if trail is None:
                where.append("d.lname = ?")
                args.append(low)
            else:
                where.append("d.lname GLOB ?")
                args.append(_glob(low))
                if lead and len(lead) >= len(trail):
                    where.append("d.lname >= ? AND d.lname < ?")
                    args += [lead, lead + _TOP]
                elif trail:
                    where.append("d.rlname >= ? AND d.rlname < ?")
                    args += [trail[::-1], trail[::-1] + _TOP]
        if kinds is not None:
            unknown = set(kinds) - KINDS.keys()
            if unknown:
                raise ValueError("unknown kind %s" % ", ".join(sorted(unknown)))
            where.append("d.kind IN (%s)" % ", ".join("?" * len(kinds)))
            args += [KINDS[k] for k in sorted(kinds)]
        if not include_locals:
            where.append("d.local = 0")
        if roots:
            alts = []
            for r in roots:
                real = os.path.realpath(r).rstrip(os.sep) or os.sep
                alts.append("f.path = ? OR (f.path >= ? AND f.path < ?)")
                args += [real, real.rstrip(os.sep) + os.sep, real.rstrip(os.sep) + os.sep + _TOP]
            where.append("(%s)" % " OR ".join(alts))
        sql = ("SELECT d.kind, d.name, f.module, f.path, d.line, d.col, d.scope, "
               "d.signature, d.local, d.imp_module, d.imp_name FROM defs d JOIN files f "
               "ON f.id = d.file WHERE " + " AND ".join(where))
        name_re = pattern_regex(pattern, ignore_case)
        qual_re = re.compile(r"(?:.*\.)?(?:%s)" % name_re.pattern, name_re.flags) if dotted else None
        scope_re = pattern_regex(scope, ignore_case) if scope is not None else None
        out = []
        for row in self.con.execute(sql, args):
            kind, name, module, path, line, col, sc, sig, local, imod, iname = row
            qual = _qualified(module, sc, name) if kind != "module" else module
            if qual_re is not None:
                if not qual_re.fullmatch(qual):
                    continue
            elif not name_re.fullmatch(name):
                continue
            if scope_re is not None:
                qscope = _qualified(module, sc, "") if kind != "module" else module.rpartition(".")[0]
                if not (scope_re.fullmatch(sc) or scope_re.fullmatch(qscope)):
                    continue
            out.append(Definition(KIND_NAMES[kind], name, qual, module, path, line, col, sc, sig,
                                  bool(local), imod, iname))
        want = pattern.lower() if ignore_case else pattern
        rank = {"class": 0, "function": 0, "module": 0, "generic": 1, "import": 3}

        def key(d: Definition) -> tuple[Any, ...]:
            name = d.name.lower() if ignore_case else d.name
            qual = d.full_name.lower() if ignore_case else d.full_name
            exact = name == want or (dotted and (qual == want or qual.endswith("." + want)))
            return (not exact, rank[d.kind] + (1 if d.local else 0), d.path, d.line, d.column)
        out.sort(key=key)
        return out[:limit] if limit is not None else out

    def problems(self, roots: list[str] | None = None) -> list[tuple[str, int, str]]:
        """Every (path, line, reason) recorded for files under `roots`
        (default: all)."""
        import json
        out = []
        for path, problems, err, syn in self.con.execute(
                "SELECT path, problems, error, syntax_error FROM files ORDER BY path"):
            if roots and not any(_under(path, os.path.realpath(r)) for r in roots):
                continue
            if err is not None:
                out.append((path, 0, err))
            if syn is not None:
                out.append((path, 0, syn))
            out += [(path, int(line), str(why)) for line, why in json.loads(problems)]
        return out

    def files(self, roots: list[str] | None = None) -> list[str]:
        """The indexed files (not failed) under `roots` (default: all)."""
        return [p for (p,) in self.con.execute(
                "SELECT path FROM files WHERE error IS NULL ORDER BY path")
                if not roots or any(_under(p, os.path.realpath(r)) for r in roots)]

    def definitions_of(self, path: str) -> list[Definition]:
        """Every definition recorded for the file `path`, in line order."""
        rows = self.con.execute(
            "SELECT d.kind, d.name, f.module, f.path, d.line, d.col, d.scope, d.signature, "
            "d.local, d.imp_module, d.imp_name FROM defs d JOIN files f ON f.id = d.file "
            "WHERE f.path = ? ORDER BY d.line, d.col", (os.path.realpath(path),))
        return [Definition(KIND_NAMES[r[0]], r[1],
                           _qualified(r[2], r[6], r[1]) if r[0] != "module" else r[2],
                           r[2], r[3], r[4], r[5], r[6], r[7], bool(r[8]), r[9], r[10]) for r in rows]

    def stored_lines(self, path: str, stamp: store.SourceStamp | None = None,
                     pool: dict[str, str] | None = None) -> list[Any] | None:
        """The logical list stored for `path` when it is current (checked
        against `stamp`, else the file), else None."""
        from . import store
        row = self.con.execute("SELECT stored FROM files WHERE path = ? AND error IS NULL",
                               (path,)).fetchone()
        if row is None or row[0] is None:
            return None
        try:
            lines, _ = store.loads(row[0], stamp, None if stamp is not None else path, pool,
                                   where="%s (stored for %s)" % (self.path, path))
        except store.StaleStoreError:
            return None
        except store.CorruptStoreError as e:
            self.warn("%s; analysing the file again" % e)
            return None
        except OSError:
            return None
        return lines

    def project(self, roots: Iterable[str] = ()) -> IndexedProject:
        """The factory analyses are made in: modules of indexed files are
        loaded from their stored form when it is current."""
        from .indexwork import IndexedProject
        rts = package_roots(list(roots) + self.roots())
        if self._project is None or rts != self._project_roots:
            if self._project is not None:
                self._project.close()
            self._project = IndexedProject(self, rts)
            self._project_roots = rts
        return self._project

    def module(self, path: str) -> ModuleAnalysis:
        """The analysis of the Python file `path`, from its stored form when
        it is indexed and current, else from its source.  Raises
        `SourceError`."""
        real = os.path.realpath(path)
        _, text, stamp = read_python_source(path)
        project = self.project([real])
        mod = project.module_for_path(real, source=text)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            mod.analyze()
        return mod
