"""Module analysis objects, the attribute-reference class and the factory
that finds and caches module analyses (`Project`).

A `ModuleAnalysis` holds one module's source, its logical list and its
analyzer (a ``pysource_impl.PySourceImpl``), all made on first use.  A
`Project` is the factory: ``FindAnalysisByName(name, package_dir)`` resolves
an absolute module name against the project's roots and then the search
path (``sys.path`` by default), or a relative one (leading dots) against the
importing module's package directory, and gives the module's analysis
object, made once per source file and cached, or None when the module has no
Python source (built-in and extension modules, missing modules).

Module names may also be written with "/" in place of each "." ("a/b" for
"a.b", "//pkg" for "..pkg"); the transformer writes the module of an aliased
from-import that way, where the name must not hold a dot.

Freezing: a module is frozen while its lines are being analysed and while a
star import in it asks another module for its names.  A frozen module
answers ``GetScopeAttributes`` from what it has analysed so far, without
analysing more, and says so through ``IsFrozen``; the analyzer then leaves
the importing line to be analysed again later.  That is what makes import
cycles through star imports terminate.
"""

from __future__ import annotations

import ast
import codecs
import io
import os
import sys
import tokenize
import weakref
from typing import TYPE_CHECKING, Any, Callable, Iterable, Sequence

from .edits import ChangeSet, Changes, SourceBuffer, line_positions
from .hosts import Host, get_host
from .splitter import (ScanRecord, kBlankLineIndex, kClassDefIndex, kCommentIndex, kElifBeginningIndex,
                       kElseBeginningIndex, kExceptIndex, kFinallyIndex, kFromImportIndex, kFunctionDefIndex,
                       kTryIndex, kUnknownIndex)
from .transformer import NONSELF_DECORATORS

if TYPE_CHECKING:
    from logicalline import LogicalLine
    from pysource_impl import HostGrammar, PySourceImpl, _ImportEntry

__all__ = ["AttribRef", "ModuleAnalysis", "Project", "read_source", "module_name_for_path"]

# How many analyses may be nested (each star import analyses the module it
# imports from) before a module answers from what it has, as if frozen.
MAX_NESTED_ANALYSES = 40


class AttribRef:
    """A defined name, as the analyzer's attribute search reports it: made
    with the six arguments (kind, local name, full name, module analysis,
    defining logical line, import entry or None), kept as `fKind`,
    `fLocalName`, `fFullName`, `fModule`, `fLogical` and `fImportRef`."""

    __slots__ = ("fKind", "fLocalName", "fFullName", "fModule", "fLogical", "fImportRef")

    def __init__(self, kind: object, local_name: str, full_name: str, module: ModuleAnalysis,
                 logical: LogicalLine | None, import_ref: _ImportEntry | None) -> None:
        self.fKind = kind
        self.fLocalName = local_name
        self.fFullName = full_name
        self.fModule = module
        self.fLogical = logical
        self.fImportRef = import_ref

    def __repr__(self) -> str:
        return "AttribRef(%r, %r)" % (self.fKind, self.fFullName)


def read_source(path: str | os.PathLike[str]) -> str:
    """The text of a Python source file, decoded by its coding declaration
    (UTF-8 by default); undecodable bytes become replacement characters."""
    with open(path, "rb") as f:
        data = f.read()
    text = data.decode(source_encoding(data), errors="replace")
    if text.startswith("\ufeff"):
        text = text[1:]
    return text


def source_encoding(data: bytes) -> str:
    """The encoding of Python source `data`: its coding declaration or BOM
    when the codec exists, else UTF-8."""
    try:
        encoding, _ = tokenize.detect_encoding(io.BytesIO(data).readline)
        codecs.lookup(encoding)
    except (SyntaxError, LookupError):
        return "utf-8"
    return encoding


def _decorator_name(tokens: Sequence[str]) -> str | None:
    """The last name of a decorator line's dotted name (`@a.b(...)` -> b)."""
    name = None
    for t in tokens[1:]:
        if t == "(" or t.startswith("#"):
            break
        if t != ".":
            name = t
    return name


# Kinds of lines the analyzer parses no tree for: clause headers, which are
# no statement on their own, comments and blank lines.
_NO_TREE_KINDS = frozenset([kElifBeginningIndex, kElseBeginningIndex, kExceptIndex, kTryIndex, kFinallyIndex,
                           kCommentIndex, kBlankLineIndex])


def _parse_key(tokens: Sequence[str]) -> tuple[str, ...]:
    """The tokens the analyzer feeds the parser for a line, newline left out."""
    toks = [t for t in tokens if not t.startswith("#")]
    if toks and toks[-1].startswith(":"):
        toks.append("pass")
    return tuple(toks)


class ModuleAnalysis:
    """The analysis of one module.

    Attributes read by the analyzer: `fLocalName` (the module's dotted
    name), `fPackageDir` (the directory relative imports start from, or
    None), `fAnalysisFactory` (the `Project`).  `fFileName` is the source
    path, or None for source given as text.

    `lines` is the logical list and `impl` the analyzer, both made on first
    use; `analyze()` analyses every line and `close()` releases the analyzer
    (it and this object refer to each other).

    The source changes as a whole with `set_source`, or by a range of it
    with `edit`, which an editor's incremental changes map onto; `row` reads
    a physical row of the current source.
    """

    def __init__(self, factory: Project, name: str, path: str | None = None, package_dir: str | None = None,
                 source: str | None = None) -> None:
        self.fLocalName = name
        self.fPackageDir = package_dir
        self.fAnalysisFactory = factory
        self.fFileName = path
        self.future_flags: dict[str, int] = {}
        self._source = source
        self._pending_source: str | None = None    # new text not yet in the logical list
        self._buffer: SourceBuffer | None = None    # keeps the logical list in step with edits
        self.last_changes: Changes | None = None    # what the last edit changed
        self._lines: list[LogicalLine] | None = None
        self._impl: PySourceImpl | None = None
        self._frozen = 0
        self._partial = False
        import logicalline
        self._nonself_defs: set[tuple[str, ...]] = logicalline.key_set()

    def __repr__(self) -> str:
        return "<ModuleAnalysis %s%s>" % (self.fLocalName, " at %s" % self.fFileName if self.fFileName else "")

    # -- source and lines ------------------------------------------------

    @property
    def source(self) -> str:
        """The module's source text ("" when its file can't be read); the
        latest text given to `set_source`, even before the logical list
        follows it."""
        if self._pending_source is not None:
            return self._pending_source
        return self._lines_source()

    def parse_error(self, line: LogicalLine) -> Exception | None:
        """What the module's grammar and transformer raise for `line`, fed
        as the analysis feeds it (a SyntaxError or ValueError, or
        RecursionError or MemoryError on a line nested too deep); None when
        it parses.  Unlike the analyzer's AstForLogicalLine, this leaves the
        line's analysis alone: the analyzer counts a line it parsed as
        analysed."""
        key = _parse_key(line.tokens)
        if not key:
            return None
        factory = self.fAnalysisFactory
        try:
            parser = factory.grammar.CreateParser(257)
            for token in key:
                parser.AddToken(token)
            parser.AddToken("\n")
            transformer = self._host().make_transformer(factory.name_pool, self._nonself_defs)
            transformer.TransformNode(parser.Finish())
        except (SyntaxError, ValueError, RecursionError, MemoryError) as e:
            return e
        return None

    def source_now(self) -> Callable[[], str]:
        """A function that gives `source` as it is now, whatever edits
        follow: what a caller keeps to start over from should an edit fail,
        without the whole text being made for every edit."""
        buffer = self._buffer
        if buffer is not None and self._pending_source is None and self._source is None:
            return buffer.text_now()
        text = self.source
        return lambda: text

    def _lines_source(self) -> str:
        """The text the logical list is made from."""
        if self._source is None:
            if self._buffer is not None:
                # Range edits keep the text in the buffer, made when read.
                return self._buffer.text
            try:
                self._source = read_source(self.fFileName) if self.fFileName else ""
            except OSError:
                self._source = ""
        return self._source

    @property
    def lines(self) -> list[LogicalLine]:
        if self._pending_source is not None and (self._impl is None or self._impl.fActiveMethodCount == 0):
            self.UpdateFromCache()
        if self._lines is None:
            self._lines = self._host().split_logical_lines(self._lines_source(), self.fAnalysisFactory.name_pool)
            self._find_nonself_defs()
        return self._lines

    @property
    def loaded_lines(self) -> list[LogicalLine] | None:
        """The logical list as it stands, or None before it is made: unlike
        `lines`, neither makes it nor folds a pending `set_source` into
        it."""
        return self._lines

    @property
    def analyzer(self) -> PySourceImpl | None:
        """The analyzer when it has been made (and not released by
        `close`), else None; `impl` makes it."""
        return self._impl

    def _host(self) -> Host:
        """The host (splitter, grammar, transformer) of the module's project."""
        return self.fAnalysisFactory.host

    def _find_nonself_defs(self) -> None:
        """Def lines under a decorator that makes the first parameter
        something other than an instance (staticmethod, classmethod)."""
        nonself = self._nonself_defs
        nonself.clear()
        nonself.update(self._host().nonself_keys(self._lines or ()))

    def set_lines(self, lines: list[LogicalLine],
                  nonself_keys: Iterable[tuple[str, ...]] | None = None) -> None:
        """Install a logical list made elsewhere, such as one loaded from
        the stored form (`pysource.store`): analysed lines keep their facts
        and their names are entered in the analyzer's name cache; lines
        that are not analysed (import lines) are analysed on demand.  The
        lines stand for the module's file as it is, so edits given to
        `set_source` and not saved are dropped.  `nonself_keys`, when
        given, are the parse keys of the def lines under a static or class
        method decorator, found when the lines were stored; else the
        decorators are scanned here."""
        self._lines = lines
        self._buffer = None
        self._source = None
        self._pending_source = None
        if nonself_keys is None:
            self._find_nonself_defs()
        else:
            self._nonself_defs.clear()
            self._nonself_defs.update(nonself_keys)
        impl = self._impl
        if impl is None:
            impl = self._make_impl(False)
        else:
            impl.SetLogicalList(lines)
        impl.RebuildCache()

    def set_source(self, text: str) -> None:
        """Replace the module's source.  Before the analyzer is made, the
        lines are simply made anew.  After, the edit is pending until
        `UpdateFromCache` (which the attribute search calls itself, and
        reading `lines` or `analyze()` too, outside analyzer calls) replaces
        the logical lines that changed and keeps the analysis of the
        others."""
        if not isinstance(text, str):
            raise TypeError("source must be a str, not %s" % type(text).__name__)
        if self._impl is None:
            self._source = text
            self._pending_source = None
            self._lines = None
            self._buffer = None
            return
        self._pending_source = text
        self._impl.LogicalCacheNeedsUpdate()

    def edit(self, start: tuple[int, int], end: tuple[int, int], new_text: str) -> Changes:
        """Replace the source from `start` to `end` by `new_text`; returns
        what the edit changed, which `last_changes` then holds too.

        Positions are (row, column) pairs, rows from 1 and columns in
        characters from 0, `end` not included; a column past the end of its
        row stands for the end of the row, a row past the last one for the
        end of the text (see `pysource.edits.SourceBuffer.edit`).  Unlike
        `set_source`, the edit is applied at once, without the whole text
        being compared with the old one: only the logical lines around it
        are split again, and only those the analyzer is told to analyse
        again.  A pending `set_source` is folded in first, and the analyzer
        made if it was not."""
        buffer = self._buffer
        if buffer is None or self._pending_source is not None or self._impl is None:
            buffer = self._source_buffer()
        context = buffer.context
        changes = buffer.edit(start, end, new_text)
        self._source = None     # the buffer's text from now on
        if buffer.context is not context:
            # Decorator or def lines changed.
            self._find_nonself_defs()
        self.last_changes = changes
        return changes

    def row(self, row: int) -> str:
        """The text of physical row `row` (from 1) of the current source,
        without its line break; "" for a row before the first or past the
        last."""
        buffer = self._buffer
        if buffer is not None and self._pending_source is None:
            return buffer.row(row)
        if row < 1:
            return ""
        text = self.source
        start = 0
        for _ in range(row - 1):
            start = text.find("\n", start) + 1
            if start == 0:
                return ""
        end = text.find("\n", start)
        return text[start:end if end >= 0 else len(text)].rstrip("\r")

    def reanalyze_lines(self, positions: Iterable[int]) -> None:
        """Put fresh, unanalysed copies of the lines at `positions` (indexes
        into the logical list) in place of them and tell the analyzer, so
        that they are analysed again on the next query: for facts a line
        records about other modules, such as the names a star import
        brought in, when those modules changed.  The indexes are into the
        list as it stands (`loaded_lines`): a pending `set_source` is not
        folded in first."""
        import logicalline
        lines = self._lines
        if lines is None:
            lines = self.lines
        removed: list[LogicalLine] = []
        added: list[LogicalLine] = []
        for i in positions:
            old = lines[i]
            new = logicalline.LogicalLine(old.tokens, old.first_line, old.indent, old.line_count, old.type,
                                          line_positions(old), False, old.tabs_in_indent, old.spaces_in_indent)
            lines[i] = new
            removed.append(old)
            added.append(new)
        if removed:
            self.impl.LogicalCacheModified(self, ChangeSet(removed, added))

    def _source_buffer(self) -> SourceBuffer:
        """The source buffer that keeps the logical list and the analyzer in
        step with edits, with a pending `set_source` folded in."""
        self.UpdateFromCache()
        return self._buffer_for(self.impl)

    def _buffer_for(self, impl: PySourceImpl) -> SourceBuffer:
        buffer = self._buffer
        if buffer is None:
            # The analyzer was made over the logical list, so there is one.
            assert self._lines is not None
            buffer = self._buffer = SourceBuffer(impl, self._lines, self._lines_source(),
                                                 self.fAnalysisFactory.name_pool, _nonself_context, self._host())
        return buffer

    @property
    def impl(self) -> PySourceImpl:
        return self._make_impl(True)

    def _make_impl(self, show_future: bool) -> PySourceImpl:
        """Make the analyzer; with `show_future` false, the caller has it
        rebuild its cache (which reads the future imports itself)."""
        if self._impl is None:
            import logicalline
            import pysource_impl
            factory = self.fAnalysisFactory
            pool = factory.name_pool
            lines = self.lines
            # The analyzer alone holds the transformer: it then keeps it out
            # of the collector's sight (see SetLogicalList).
            impl = pysource_impl.CreatePySourceImpl(self, factory.grammar,
                                                    self._host().make_transformer(pool, self._nonself_defs),
                                                    pool, AttribRef, logicalline)
            impl.SetLogicalList(lines)
            self._impl = impl
            if show_future:
                # The analyzer reads the future imports only when a change
                # touches a from-import line; show it one that is in place.
                future = [line for line in lines if line.type == kFromImportIndex and line.indent == 0
                          and line.tokens[1:3] == ("__future__", "import")][:1]
                if future:
                    impl.LogicalCacheModified(self, ChangeSet(future, future))
        return self._impl

    def analyze(self) -> ModuleAnalysis:
        """Analyse every line not analysed yet; returns self."""
        nesting = self.fAnalysisFactory.nesting
        depth = nesting.depth
        self._analyze_lines(nesting, depth)
        if depth == 0:
            # Modules too deep in a chain of star imports were left for
            # later; analyse them now, then this module again, until no
            # more are left.
            for _ in range(1000):
                pending = nesting.pending
                if not pending:
                    break
                nesting.pending = []
                for mod in reversed(pending):
                    mod.analyze()
                self._analyze_lines(nesting, depth)
        return self

    def _analyze_lines(self, nesting: AnalysisNesting, depth: int) -> None:
        impl = self.impl
        self.Freeze()
        nesting.depth = depth + 1
        try:
            impl.AnalyzeLogicalList(self.lines)
        finally:
            self.Thaw()
            nesting.depth = depth

    def _complete(self) -> bool:
        """True when every line has been analysed."""
        return self._impl is not None and self._lines is not None \
            and self._impl.AnalyzeLogicalList(self._lines, 0) == 1

    def close(self) -> None:
        """Release the analyzer, breaking the reference cycle with it."""
        impl, self._impl = self._impl, None
        if self._buffer is not None and self._source is None:
            self._source = self._buffer.text
        self._buffer = None
        if impl is not None:
            impl.destroy()

    # -- what the analyzer calls -----------------------------------------

    def UpdateFromCache(self) -> None:
        """Fold a pending `set_source` into the logical list and the
        analyzer; `last_changes` then holds what it changed (see
        `pysource.edits.Changes`)."""
        text = self._pending_source
        if text is None:
            return
        if self._impl is None:
            self.set_source(text)
            return
        buffer = self._buffer_for(self._impl)
        context = buffer.context
        changes = buffer.update(text)
        self._pending_source = None
        self._source = text
        if buffer.context is not context or context is None:
            # Decorator or def lines changed (or were never looked at).
            self._find_nonself_defs()
        self.last_changes = changes

    def _FromFutureFlagsChanged(self) -> None:
        impl = self._impl
        self.future_flags = dict(impl.fFromFutureFlags) if impl is not None else {}

    def future_features(self) -> list[str]:
        """The features the module imports from __future__ (every
        module-level ``from __future__ import ...`` line, aliases and
        several names per line included)."""
        out: list[str] = []
        for line in self.lines:
            tokens = line.tokens
            if line.type != kFromImportIndex or line.indent or len(tokens) < 4 or tokens[1] != "__future__":
                continue
            expect_name = True
            for t in tokens[3:]:
                if t.startswith("#"):
                    break
                if expect_name and t.isidentifier():
                    if t not in out:
                        out.append(t)
                    expect_name = False
                elif t == ",":
                    expect_name = True
        return out

    def Freeze(self) -> None:
        self._frozen += 1

    def Thaw(self) -> None:
        if self._frozen > 0:
            self._frozen -= 1

    def IsFrozen(self) -> int:
        if self._frozen:
            return 1
        if self._partial:
            # The last GetScopeAttributes answered before the module was
            # completely analysed: the importing line is to be done again.
            self._partial = False
            self.fAnalysisFactory.nesting.deep_cuts += 1
            return 1
        return 0

    def GetScopeAttributes(self, scope_name: str = "", exported_only: int = 0, dotted_names: int = 0) -> list[AttribRef]:
        """The names defined in a scope, as attribute objects (`AttribRef`),
        one per name, in the order of their first definitions.

        `scope_name` is the full name of the scope ("" for the module).
        With `exported_only` true and the module scope, only the names a
        star import of the module binds: those listed in ``__all__`` when it
        is known from literal lists, else the names not starting with "_".
        With `dotted_names` false, names with a dot (``a.b = 1``) are left
        out.  A module that is not frozen is analysed first; a frozen one
        answers from what it has analysed so far.
        """
        nesting = self.fAnalysisFactory.nesting
        self._partial = False
        if self._frozen:
            pass
        elif nesting.depth >= MAX_NESTED_ANALYSES and not self._complete():
            # A chain of star imports this long answers from what it has,
            # as a frozen module does; it is analysed when the outermost
            # analysis is done, and the importing lines again after it.
            self._partial = True
            if self not in nesting.pending:
                nesting.pending.append(self)
        else:
            cuts = nesting.deep_cuts
            self.analyze()
            if nesting.deep_cuts != cuts:
                # Some star import below was answered incompletely.
                self._partial = True
        refs = self._search(scope_name, dotted_names)
        if exported_only and scope_name == "":
            refs = self._exported(refs)
        return refs

    # -- queries ---------------------------------------------------------

    def names(self, scope_name: str = "") -> list[str]:
        """The names defined in a scope (default: the module), in order."""
        return [r.fLocalName for r in self.GetScopeAttributes(scope_name, 0, 1)]

    def line_at(self, lineno: int) -> LogicalLine | None:
        """The logical line covering physical line `lineno`, or None."""
        lines = self.lines
        i = self.impl.IndexForLineno(lineno)
        if i < len(lines):
            line = lines[i]
            if line.first_line <= lineno < line.first_line + line.line_count:
                return line
        return None

    def scope_of(self, line: LogicalLine) -> str:
        """The full dotted name of the scope `line` lies in ("" for the
        module)."""
        impl = self.impl
        return impl.GetFullNameForScopeDef(impl.FindScopeForLine(line))

    def type_equivs(self, name: str, scope_name: str = "") -> list[str]:
        """What `name` is recorded as equivalent to in a scope (texts such
        as "::dict:", "Foo:", "a.b()"), analysing the scope first."""
        self.analyze()
        return self.impl.FindTypeEquivs(name, scope_name)

    def search(self, **options: object) -> list[AttribRef]:
        """The analyzer's attribute search with the given options (keys
        "scope_name", "local_name", "valid_kinds", "find_all", "update",
        "simple_names_valid", "dotted_names_valid")."""
        return self.impl.SearchForAttribs(options)

    def _search(self, scope_name: str, dotted_names: int) -> list[AttribRef]:
        refs: list[AttribRef] = self.impl.SearchForAttribs({"scope_name": scope_name, "local_name": "*", "find_all": 0,
                                           "update": 0, "simple_names_valid": 1,
                                           "dotted_names_valid": 1 if dotted_names else 0})
        return refs

    def _exported(self, refs: list[AttribRef]) -> list[AttribRef]:
        names, dynamic = self._dunder_all()
        if names is None:
            return [r for r in refs if not r.fLocalName.startswith("_")]
        by_name: dict[str, AttribRef] = {}
        for r in refs:
            by_name.setdefault(r.fLocalName, r)
        out: list[AttribRef] = []
        for n in names:
            ref = by_name.pop(n, None)
            if ref is None:
                # Listed but not defined here: a submodule, or a name that
                # comes from somewhere we can't follow.
                import logicalline as ll
                ref = AttribRef(ll.kGenericAttribKind, n, n, self, None, None)
            out.append(ref)
        if dynamic:
            out.extend(r for r in by_name.values() if not r.fLocalName.startswith("_"))
        return out

    def _dunder_all(self) -> tuple[list[str] | None, bool]:
        """The names in ``__all__`` as far as module-level lines build it
        from literal lists: (names, dynamic), where dynamic tells that some
        part could not be read; (None, False) when there is no ``__all__``."""
        names: list[str] | None = None
        dynamic = False
        depth: list[int] = []
        for line in self.lines:
            kind = line.type
            if kind == kCommentIndex or kind == kBlankLineIndex:
                continue
            while depth and depth[-1] >= line.indent:
                depth.pop()
            if kind == kClassDefIndex or kind == kFunctionDefIndex:
                depth.append(line.indent)
                continue
            tokens = line.tokens
            if depth or not tokens or tokens[0] != "__all__":
                continue
            try:
                tree = ast.parse(" ".join(t for t in tokens if not t.startswith("#")))
                stmt = tree.body[0]
            except (SyntaxError, ValueError, IndexError, RecursionError, MemoryError):
                dynamic = True
                continue
            if names is None:
                names = []
            value: ast.expr | None = None
            replace = False
            if isinstance(stmt, (ast.Assign, ast.AnnAssign)) and stmt.value is not None:
                value, replace = stmt.value, True
            elif isinstance(stmt, ast.AugAssign) and isinstance(stmt.op, ast.Add):
                value = stmt.value
            elif isinstance(stmt, ast.Expr) and isinstance(stmt.value, ast.Call) \
                    and isinstance(stmt.value.func, ast.Attribute) and len(stmt.value.args) == 1:
                method = stmt.value.func.attr
                arg = stmt.value.args[0]
                if method == "extend":
                    value = arg
                elif method == "append":
                    value = ast.List(elts=[arg], ctx=ast.Load())
                elif method == "remove" and isinstance(arg, ast.Constant) and arg.value in names:
                    names.remove(arg.value)
                    continue
            items = _literal_strings(value)
            if items is None:
                dynamic = True
                continue
            if replace:
                names = items
            else:
                names.extend(n for n in items if n not in names)
        return names, dynamic


def _nonself_keys(lines: Iterable[tuple[int, Sequence[str]]]) -> set[tuple[str, ...]]:
    """The parse keys of the def lines, among `lines` given as (kind,
    tokens), under a decorator that makes the first parameter something
    other than an instance (staticmethod, classmethod)."""
    keys: set[tuple[str, ...]] = set()
    decorators: list[str | None] = []
    for kind, tokens in lines:
        if kind == kCommentIndex or kind == kBlankLineIndex:
            continue
        if kind == kUnknownIndex and tokens and tokens[0] == "@":
            decorators.append(_decorator_name(tokens))
            continue
        if kind == kFunctionDefIndex and any(d in NONSELF_DECORATORS for d in decorators):
            keys.add(_parse_key(tokens))
        decorators = []
    return keys


def _decorator_scan_items(lines: Iterable[LogicalLine]) -> list[tuple[int, Sequence[str]]]:
    """The (kind, tokens) pairs `_nonself_keys` scans, for logical lines.
    A line's tokens are a new tuple on each read, so they are read only on
    the lines the scan looks into (decorator and def lines); any other line
    only ends a run of decorators, which its kind alone does."""
    scanned = (kUnknownIndex, kFunctionDefIndex)
    skipped = (kCommentIndex, kBlankLineIndex)
    items: list[tuple[int, Sequence[str]]] = []
    for line in lines:
        kind = line.type
        if kind in scanned:
            items.append((kind, line.tokens))
        elif kind not in skipped and items and items[-1][0] == kUnknownIndex:
            items.append((kind, ()))
    return items


def _nonself_context(records: Sequence[ScanRecord]) -> Callable[[Sequence[str]], bool]:
    """What the transformer makes of a def line besides its tokens: whether
    it is taken for a method without an instance argument (scan records)."""
    keys = _nonself_keys((r[5], r[0]) for r in records)
    return lambda tokens: _parse_key(tokens) in keys


def _literal_strings(node: ast.expr | None) -> list[str] | None:
    """The strings of a literal list or tuple of strings (or a sum of such),
    or None."""
    if isinstance(node, (ast.List, ast.Tuple)):
        out: list[str] = []
        for e in node.elts:
            if not (isinstance(e, ast.Constant) and type(e.value) is str):
                return None
            out.append(e.value)
        return out
    if isinstance(node, ast.BinOp) and isinstance(node.op, ast.Add):
        left = _literal_strings(node.left)
        right = _literal_strings(node.right)
        if left is None or right is None:
            return None
        return left + right
    return None


def _is_identifier_path(parts: Sequence[str]) -> bool:
    return all(p.isidentifier() for p in parts)


class AnalysisNesting:
    """What the analyses running in one project share: how deeply they are
    nested (each star import analyses the module it imports from), the
    modules a chain too deep left for later, and how many star imports were
    answered from a module not completely analysed."""

    __slots__ = ("depth", "pending", "deep_cuts")

    def __init__(self) -> None:
        self.depth = 0
        self.pending: list[ModuleAnalysis] = []
        self.deep_cuts = 0


class Project:
    """The factory of module analyses for a set of source roots.

    `roots` are directories searched first for absolute module names;
    `search_path` the directories searched after them (default: the
    directories of ``sys.path`` when the project is made).  `host` chooses
    the splitter, grammar and transformer: "native" or "python" (see
    `pysource.hosts`; by default the environment variable PYSOURCE_HOST,
    else "native").
    """

    def __init__(self, roots: Iterable[str] | None = None, search_path: Iterable[str] | None = None,
                 host: str | None = None) -> None:
        self.host = get_host(host)
        self.roots = [os.path.abspath(r) for r in (roots or [])]
        if search_path is None:
            search_path = [p or os.getcwd() for p in sys.path]
        self.search_path = [os.path.abspath(p) for p in search_path if os.path.isdir(p or ".")]
        self.name_pool: dict[str, str] = {}
        self.grammar: HostGrammar[Any] = self.host.make_grammar()
        self.nesting = AnalysisNesting()
        self._modules: dict[str, ModuleAnalysis] = {}      # real path of a source file -> ModuleAnalysis
        # Modules made from source text: they belong to the project (close()
        # reaches them) but live only as long as their users keep them.
        self._sources: weakref.WeakSet[ModuleAnalysis] = weakref.WeakSet()
        self._lookups: dict[tuple[str, str | None], str | None] = {}      # (module name, package dir) -> path or None
        # Found module paths -> their real paths: every import line of every
        # module asks for one, and resolving symbolic links is a system call
        # per path component; the lookups above are kept as long.
        self._real_paths: dict[str, str] = {}
        self._real_folders: dict[str, str] = {}

    # -- the factory call --------------------------------------------------

    def FindAnalysisByName(self, name: object, package_dir: str | None) -> ModuleAnalysis | None:
        """The analysis of the module `name` imported from a module whose
        package directory is `package_dir`, or None when the module has no
        Python source."""
        if type(name) is not str:
            return None
        path = self.find_module_path(name, package_dir)
        if path is None:
            return None
        real = self._real_path(path)
        mod = self._modules.get(real)
        if mod is not None:
            return mod
        return self.module_for_path(real, self._absolute_name(name, path))

    def find_module_path(self, name: str, package_dir: str | None = None) -> str | None:
        """The source file of module `name` (see `FindAnalysisByName`), or
        None."""
        if "/" in name:
            name = name.replace("/", ".")
        relative = name.startswith(".")
        key = (name, package_dir if relative else None)
        try:
            return self._lookups[key]
        except KeyError:
            pass
        path = self._resolve(name, package_dir)
        self._lookups[key] = path
        return path

    def _resolve(self, name: str, package_dir: str | None) -> str | None:
        if name.startswith("."):
            if not package_dir:
                return None
            level = len(name) - len(name.lstrip("."))
            base = os.path.abspath(package_dir)
            for _ in range(level - 1):
                base = os.path.dirname(base)
            rest = name[level:]
            parts = rest.split(".") if rest else []
            if not _is_identifier_path(parts):
                return None
            if not parts:
                init = os.path.join(base, "__init__.py")
                return init if os.path.isfile(init) else None
            return _find_in(base, parts)
        parts = name.split(".")
        if not name or not _is_identifier_path(parts):
            return None
        for d in self.roots + self.search_path:
            path = _find_in(d, parts)
            if path is not None:
                return path
        return None

    def _real_path(self, path: str) -> str:
        """`os.path.realpath(path)`, remembered: resolving links is a system
        call per path component, and every module made and every import
        line asks.  A folder is resolved once; then only the file itself is
        looked at."""
        real = self._real_paths.get(path)
        if real is None:
            folder, tail = os.path.split(os.path.abspath(path))
            real_folder = self._real_folders.get(folder)
            if real_folder is None:
                real_folder = self._real_folders[folder] = os.path.realpath(folder)
            real = os.path.join(real_folder, tail)
            if not tail or os.path.islink(real):
                real = os.path.realpath(path)
            self._real_paths[path] = real
        return real

    def _absolute_name(self, name: str, path: str) -> str:
        name = name.replace("/", ".")
        if not name.startswith("."):
            return name
        return module_name_for_path(path)

    # -- public API --------------------------------------------------------

    def module_for_path(self, path: str, name: str | None = None, source: str | None = None) -> ModuleAnalysis:
        """The (cached) analysis of the source file `path`; not analysed
        yet.  `source`, when given, is the file's text, used if the module
        is made by this call."""
        real = self._real_path(path)
        mod = self._modules.get(real)
        if mod is None:
            if name is None:
                name = module_name_for_path(real)
            mod = ModuleAnalysis(self, name, path=real, package_dir=os.path.dirname(real),
                                 source=source)
            self._modules[real] = mod
            self.module_created(mod)
        return mod

    def module_created(self, mod: ModuleAnalysis) -> None:
        """Called once for each module the factory makes, before anything
        reads it; subclasses may install its lines here (`set_lines`)."""

    def analyze_file(self, path: str) -> ModuleAnalysis:
        """The analysis of the source file `path`, with every line analysed."""
        return self.module_for_path(path).analyze()

    def analyze_source(self, text: str, module_name: str = "__main__", package_dir: str | None = None) -> ModuleAnalysis:
        """The analysis of source `text` as module `module_name`, with every
        line analysed.  Relative imports resolve against `package_dir`."""
        mod = ModuleAnalysis(self, module_name, package_dir=package_dir, source=text)
        self._sources.add(mod)
        return mod.analyze()

    def find_module(self, name: str, package_dir: str | None = None) -> ModuleAnalysis | None:
        """Same as `FindAnalysisByName`."""
        return self.FindAnalysisByName(name, package_dir)

    @property
    def modules(self) -> dict[str, ModuleAnalysis]:
        """The analyses made so far, by source path."""
        return dict(self._modules)

    def close(self) -> None:
        """Release the analyzers of every module made so far."""
        for mod in list(self._modules.values()) + list(self._sources):
            mod.close()

    def __enter__(self) -> Project:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()


def _find_in(directory: str, parts: Sequence[str]) -> str | None:
    """The source of the module with name parts `parts` under `directory`:
    a package's __init__.py before a module file; None when neither is
    there."""
    base = os.path.join(directory, *parts)
    init = os.path.join(base, "__init__.py")
    if os.path.isfile(init):
        return init
    path = base + ".py"
    if os.path.isfile(path):
        return path
    return None


def module_name_for_path(path: str) -> str:
    """The dotted module name of a source file, from the packages (folders
    with an __init__.py) it lies in."""
    path = os.path.abspath(path)
    d, base = os.path.split(path)
    stem = os.path.splitext(base)[0]
    parts = [] if stem == "__init__" else [stem]
    while os.path.isfile(os.path.join(d, "__init__.py")):
        d, pkg = os.path.split(d)
        parts.insert(0, pkg)
        if not pkg:
            break
    return ".".join(parts) if parts else stem
