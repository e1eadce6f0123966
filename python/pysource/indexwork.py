"""What the index records of one source file, worked out in a process of
its own: the file's stamp and module name, its definitions table, what the
analysis could not take in (lines that did not parse, names past the
per-line cap, a syntax error of the file) and the stored form of its
logical list.

`analyse_file` is a plain function of picklable arguments that returns a
picklable `FileResult`, so the index can run it in worker processes (made
by spawn or forkserver: nothing here depends on the parent's state) or in
its own process; the result is the same either way.
"""

from __future__ import annotations

import ast
import os
import re
import warnings
from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any, Iterable, Sequence

from . import store
from .analysis import _NO_TREE_KINDS, ModuleAnalysis, Project, _parse_key
from .splitter import kClassDefIndex, kFromImportIndex, kFunctionDefIndex, kImportIndex

if TYPE_CHECKING:
    from .index import Index

__all__ = ["FileResult", "DefRow", "analyse_file", "definition_rows", "LINE_ENTRY_CAP",
           "IndexedProject"]

# Attribute entries one logical line can hold; the analyzer drops the rest.
LINE_ENTRY_CAP = 255

# (kind, local name, scope in the module, line, column, signature,
#  local to a function (0/1), imported module, name inside it)
DefRow = tuple[str, str, str, int, int, str, int, "str | None", "str | None"]

_NEWLINE = re.compile(r"\r\n|\r|\n")


@dataclass
class FileResult:
    """The outcome of analysing one file.  `error` is set when nothing of
    the file could be used (unreadable, not Python, undecodable, analysis
    failed); otherwise the other fields describe it."""

    path: str
    module: str = ""
    size: int = 0
    mtime_ns: int = 0
    digest: bytes = b""
    error: str | None = None
    lines: int = 0
    defs: list[DefRow] = field(default_factory=list)
    deps: list[tuple[str, int, int]] = field(default_factory=list)
    # (line, reason), sorted by line
    problems: list[tuple[int, str]] = field(default_factory=list)
    unparsed: int = 0
    dropped: int = 0
    syntax_error: str | None = None
    stored: bytes | None = None


class _IndexingProject(Project):
    """The factory of a worker: one per set of roots, kept for the life of
    the process so that modules reached by star imports are analysed once.
    Its lines are parsed by the host's own grammar (the native one unless
    PYSOURCE_HOST says otherwise)."""

    def __init__(self, roots: list[str]) -> None:
        Project.__init__(self, roots=roots)
        self.leaves: set[str] = set()


_projects: dict[tuple[str, ...], _IndexingProject] = {}


def _project(roots: Sequence[str]) -> _IndexingProject:
    key = tuple(roots)
    project = _projects.get(key)
    if project is None:
        for old in _projects.values():
            old.close()
        _projects.clear()
        project = _projects[key] = _IndexingProject(list(roots))
    return project


def analyse_file(path: str, roots: Sequence[str]) -> FileResult:
    """Read, analyse and store the Python file `path` (a real path); imports
    resolve from `roots` first.  Never raises for a problem of the file:
    it is in the result's `error`."""
    from .index import SourceError, read_python_source
    result = FileResult(path)
    try:
        data, text, stamp = read_python_source(path)
    except SourceError as e:
        result.error = _reason(str(e), path)
        return result
    result.size, result.mtime_ns, result.digest = stamp.size, stamp.mtime_ns, stamp.digest or b""
    project = _project(roots)
    # The module made for this file must come from the text just read,
    # not from an earlier visit through a star import.
    old = project._modules.pop(path, None)
    if old is not None:
        old.close()
    mod = project.module_for_path(path, source=text)
    result.module = mod.fLocalName
    try:
        with warnings.catch_warnings():
            # The Python host's grammar parses lines with `ast`, which warns
            # about things such as invalid escapes; not ours to report.
            warnings.simplefilter("ignore")
            mod.analyze()
            result.lines = len(mod.lines)
            result.defs = definition_rows(mod, text)
            result.deps = _star_sources(mod, project)
            _problems(mod, _failures(mod), result)
            if result.unparsed:
                result.syntax_error = _syntax_error(text, path)
            result.stored = store.dumps(mod.lines, stamp, None)
    except (Exception, RecursionError) as e:
        result.error = "analysis failed (%s: %s)" % (type(e).__name__, e)
        result.defs = []
        result.stored = None
    finally:
        project._modules.pop(path, None)
        mod.close()
        _forget_star_importers(project)
    return result


def _forget_star_importers(project: _IndexingProject) -> None:
    """Drop the modules that hold a star import from the factory.  What a
    star import brings in can depend on which module of a cycle of star
    imports was analysed first; analysing those afresh for each file makes
    a file's table depend on the file alone, and so the same in any
    process and order.  Modules without one are complete and kept."""
    for path, m in list(project._modules.items()):
        if path in project.leaves:
            continue
        lines = getattr(m, "_lines", None)
        if lines is None:
            continue
        if any(line.type == kFromImportIndex and "*" in line.tokens for line in lines):
            del project._modules[path]
            m.close()
        else:
            project.leaves.add(path)


def _reason(message: str, path: str) -> str:
    prefix = path + ": "
    return message[len(prefix):] if message.startswith(prefix) else message


def _syntax_error(text: str, path: str) -> str | None:
    """The interpreter's own account of the file's first syntax error, or
    None when it compiles (some lines can be valid in a file yet not on
    their own)."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            ast.parse(text, path)
    except SyntaxError as e:
        return "syntax error at line %s: %s" % (e.lineno, e.msg)
    except (ValueError, RecursionError, MemoryError) as e:
        return "does not compile: %s" % e
    return None


def _bound_names(key: tuple[str, ...]) -> int:
    """How many names the statement of a line (its parse key) binds."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = ast.parse(" ".join(key))
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return 0
    n = 0
    for node in ast.walk(tree):
        if isinstance(node, ast.alias):
            n += 1
        elif isinstance(node, ast.Name) and isinstance(node.ctx, ast.Store):
            n += 1
        elif isinstance(node, ast.Attribute) and isinstance(node.ctx, ast.Store):
            n += 1
    return n


def _failures(mod: ModuleAnalysis) -> dict[int, str]:
    """The grammar's message for each line of the analysed module `mod`
    that did not parse, by the line's id.  The analysis keeps no message,
    and counts a line that did not parse as analysed with no facts: the
    lines with no facts are parsed again, but for those that have no tree
    to parse (comments, blank lines, clause headers)."""
    out: dict[int, str] = {}
    for line in mod.lines:
        if line.type in _NO_TREE_KINDS or line.objs or line.type_equivs or not line.parsed:
            continue
        e = mod.parse_error(line)
        if isinstance(e, (SyntaxError, ValueError)):
            out[id(line)] = e.msg if isinstance(e, SyntaxError) and e.msg else str(e)
    return out


def _problems(mod: ModuleAnalysis, failures: dict[int, str], result: FileResult) -> None:
    out: list[tuple[int, str]] = []
    for line in mod.lines:
        objs = line.objs
        why = failures.get(id(line)) if failures else None
        if why is not None:
            result.unparsed += 1
            out.append((line.first_line, "line did not parse (%s)" % why))
            continue
        if len(objs) >= LINE_ENTRY_CAP or len(line.type_equivs) >= LINE_ENTRY_CAP:
            bound = _bound_names(_parse_key(line.tokens))
            lost = bound - len(objs)
            if lost > 0:
                result.dropped += lost
                out.append((line.first_line, "%d names past the %d a line can hold were dropped"
                            % (lost, LINE_ENTRY_CAP)))
    out.sort()
    result.problems = out


# -- the definitions table ------------------------------------------------------

def _physical(text: str) -> list[str]:
    return _NEWLINE.split(text)


def _column(row: str, name: str, start: int) -> int:
    """Where `name` stands in the source row `row` (from `start`), or -1."""
    if not name:
        return -1
    end = len(row)
    i = row.find(name, start)
    while i >= 0:
        j = i + len(name)
        before = row[i - 1] if i > 0 else " "
        after = row[j] if j < end else " "
        if not (before.isalnum() or before in "_.") and not (after.isalnum() or after == "_"):
            return i
        i = row.find(name, i + 1)
    return -1


def _import_statement(text: str, local: str) -> str | None:
    """The statement of the import entry that binds `local` in the logical
    line `text`: ``import os.path as osp``, ``from . import util as _util``."""
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")
            tree = ast.parse(text)
    except (SyntaxError, ValueError, RecursionError, MemoryError):
        return None
    star = None
    for node in ast.walk(tree):
        if isinstance(node, ast.Import):
            for a in node.names:
                if (a.asname or a.name.split(".")[0]) == local:
                    return "import %s" % a.name + (" as %s" % a.asname if a.asname else "")
        elif isinstance(node, ast.ImportFrom):
            source = "." * (node.level or 0) + (node.module or "")
            for a in node.names:
                if a.name == "*":
                    star = "from %s import *" % source
                elif (a.asname or a.name) == local:
                    return "from %s import %s" % (source, a.name) + (
                        " as %s" % a.asname if a.asname else "")
    return star


def definition_rows(mod: ModuleAnalysis, text: str) -> list[DefRow]:
    """The definitions of an analysed module: every name the attribute
    search finds with its options at their defaults, and one row for the
    module itself (kind "module")."""
    impl = mod.impl
    rows_text = _physical(text)
    functions = set()
    for line in mod.lines:
        if line.type == kFunctionDefIndex and len(line.tokens) >= 2:
            functions.add(impl.GetFullNameForScopeDef(line))

    def in_function(scope: str) -> bool:
        if not scope or not functions:
            return False
        parts = scope.split(".")
        return any(".".join(parts[:i]) in functions for i in range(1, len(parts) + 1))

    def source_of(line: Any) -> str:
        first = line.first_line - 1
        return "\n".join(rows_text[first:first + max(1, line.line_count)])

    module = mod.fLocalName or ""
    out: list[DefRow] = [("module", module.rpartition(".")[2], "", 1, 0, "", 0, None, None)]
    for r in impl.SearchForAttribs({"update": 1}):
        local, full = str(r.fLocalName), str(r.fFullName)
        scope = "" if full == local else full[:len(full) - len(local) - 1]
        kind = str(r.fKind)
        logical = r.fLogical
        lineno = logical.first_line
        row = rows_text[lineno - 1] if 0 < lineno <= len(rows_text) else ""
        indent = len(row) - len(row.lstrip())
        if kind in ("class", "function"):
            col = _column(row, local, indent + (6 if kind == "class" else 4))
        else:
            col = _column(row, local, indent)
        if col < 0:
            col = indent
        signature = row.strip()
        imp_module = imp_name = None
        if kind == "imported":
            ref = r.fImportRef
            if type(ref) is tuple and len(ref) == 3:
                if isinstance(ref[1], ModuleAnalysis):
                    imp_module = ref[1].fLocalName
                if type(ref[2]) is str:
                    imp_name = ref[2]
            statement = _import_statement(source_of(logical).strip(), local)
            if statement is not None:
                signature = statement
        out.append((kind, local, scope, lineno, col, signature, int(in_function(scope)),
                    imp_module, imp_name))
    out += _missed_imports(mod, out, rows_text, in_function)
    return out


def _import_nodes(tokens: tuple[str, ...]) -> list[ast.Import | ast.ImportFrom]:
    text = " ".join(_parse_key(tokens))
    for attempt in (text, text + "\nexcept Exception : pass"):
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                tree = ast.parse(attempt)
        except (SyntaxError, ValueError, RecursionError, MemoryError):
            continue
        return [n for n in ast.walk(tree) if isinstance(n, (ast.Import, ast.ImportFrom))]
    return []


def _missed_imports(mod: ModuleAnalysis, found: list[DefRow], rows_text: list[str],
                    in_function: Any) -> list[DefRow]:
    """Import bindings the attribute search does not report: an import on
    the line of a compound statement (``if X: import json as j``; the
    search reads import entries only on import lines), and a package's
    ``__init__`` importing its own submodules (``from . import util as
    _util``, ``import pkg.cache as c``: the analyzer records nothing for a
    module importing itself).  Each comes with the module it names and the
    name inside it, as the analyzer writes them for other modules."""
    have = {(row[3], row[1]) for row in found if row[0] == "imported"}
    own = mod.fLocalName or ""
    is_package = os.path.basename(mod.fFileName or "").startswith("__init__.")
    package = own if is_package else own.rpartition(".")[0]
    impl = mod.impl
    out: list[DefRow] = []
    for line in mod.lines:
        toks = line.tokens
        if "import" not in toks:
            continue
        if line.type in (kImportIndex, kFromImportIndex) and not (
                is_package and (toks[1] in (".", own.partition(".")[0]))):
            continue
        lineno = line.first_line
        row = rows_text[lineno - 1] if 0 < lineno <= len(rows_text) else ""
        scope_def = impl.FindScopeForLine(line)
        scope = impl.GetFullNameForScopeDef(scope_def) if scope_def is not None else ""
        for node in _import_nodes(toks):
            if isinstance(node, ast.Import):
                for a in node.names:
                    local = a.asname or a.name.split(".")[0]
                    head, _, rest = a.name.partition(".")
                    stmt = "import %s" % a.name + (" as %s" % a.asname if a.asname else "")
                    entry = (local, head, rest)
                    if (lineno, local) not in have:
                        have.add((lineno, local))
                        out.append(_import_row(entry, scope, lineno, row, stmt, in_function))
            else:
                source = "." * (node.level or 0) + (node.module or "")
                if node.level:
                    base = package.split(".") if package else []
                    base = base[:len(base) - (node.level - 1)] if node.level > 1 else base
                    target = ".".join(base + ([node.module] if node.module else []))
                else:
                    target = node.module or ""
                for a in node.names:
                    if a.name == "*":
                        continue
                    local = a.asname or a.name
                    stmt = "from %s import %s" % (source, a.name) + (
                        " as %s" % a.asname if a.asname else "")
                    if (lineno, local) not in have:
                        have.add((lineno, local))
                        out.append(_import_row((local, target, a.name), scope, lineno, row, stmt,
                                               in_function))
    return out


def _import_row(entry: tuple[str, str, str], scope: str, lineno: int, row: str, stmt: str,
                in_function: Any) -> DefRow:
    local, module, name = entry
    col = _column(row, local, 0)
    if col < 0:
        col = len(row) - len(row.lstrip())
    return ("imported", local, scope, lineno, col, stmt, int(in_function(scope)), module or None,
            name)


def _star_sources(mod: ModuleAnalysis, project: Project) -> list[tuple[str, int, int]]:
    """The source files whose names the star imports of `mod` bring in,
    directly or through star imports of their own, as (path, size,
    modification time), sorted."""
    out = []
    seen = {mod.fFileName}
    todo = [mod]
    while todo:
        m = todo.pop()
        for line in m.lines:
            toks = line.tokens
            if line.type != kFromImportIndex or "*" not in toks or "import" not in toks:
                continue
            path = project.find_module_path("".join(toks[1:toks.index("import")]), m.fPackageDir)
            if path is None:
                continue
            real = os.path.realpath(path)
            if real in seen:
                continue
            seen.add(real)
            try:
                st = os.stat(real)
            except OSError:
                continue
            out.append((real, st.st_size, st.st_mtime_ns))
            todo.append(project.module_for_path(real))
    return sorted(out)


def run_batch(paths: Iterable[str], roots: Sequence[str]) -> list[FileResult]:
    """`analyse_file` for several files (the unit of work of a worker)."""
    return [analyse_file(p, roots) for p in paths]


class IndexedProject(Project):
    """A factory whose modules come from the index when their stored form is
    current (and from their sources otherwise)."""

    def __init__(self, index: Index, roots: list[str]) -> None:
        Project.__init__(self, roots=roots)
        self.index = index

    def module_created(self, mod: ModuleAnalysis) -> None:
        path = mod.fFileName
        if not path:
            return
        lines = self.index.stored_lines(path, pool=self.name_pool)
        if lines is not None:
            mod.set_lines(lines)
