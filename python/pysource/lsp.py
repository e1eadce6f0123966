"""`pysource lsp`: a language server over stdio (or TCP, for debugging).

Open documents are module analyses of one project whose roots are the
workspace folders; an edit reaches its module as a range edit, so only the
lines around it are split and analysed again.  The workspace's files are
indexed in the background, with work-done progress, and a saved file
refreshes its entry.  Every request is answered from the live analyses,
except workspace symbols, which come from the index (with open documents
answered from their buffers).

A request that cannot be answered (an unknown document, a position past
the end, an analysis that fails) gets an empty result and a log message;
nothing an editor sends stops the server or loses an open document's
text.
"""

from __future__ import annotations

import argparse
import asyncio
import gc
import logging
import os
import sys
import threading
import time
import traceback
from typing import Any, Callable, Optional, Sequence, TypeVar

from lsprotocol import types as lsp
from pygls.capabilities import ServerCapabilitiesBuilder
from pygls.lsp.server import LanguageServer
from pygls.protocol import LanguageServerProtocol, lsp_method
from pygls.uris import from_fs_path

from . import lsp_analysis as la
from .analysis import ModuleAnalysis, Project
from .index import pattern_regex
from .lsp_documents import Document, close_module, names_may_have_changed, open_module, path_of_uri, \
    StarImports, splice, to_chars, to_units
from .lsp_index import WorkspaceIndex

__all__ = ["PysourceServer", "main"]

log = logging.getLogger("pysource.lsp")

VERSION = "0.1.0"
# Diagnostics are sent once the editor has paused this long after an edit.
DIAGNOSTICS_DELAY = 0.15
WORKSPACE_SYMBOL_LIMIT = 500
# An answer that took this long made analyses worth settling (seconds).
SETTLE_AFTER = 0.05

SYMBOL_KINDS = {"class": lsp.SymbolKind.Class, "function": lsp.SymbolKind.Function,
                "method": lsp.SymbolKind.Method, "variable": lsp.SymbolKind.Variable,
                "generic": lsp.SymbolKind.Variable, "import": lsp.SymbolKind.Module}
COMPLETION_KINDS = {"class": lsp.CompletionItemKind.Class, "function": lsp.CompletionItemKind.Function,
                    "method": lsp.CompletionItemKind.Method, "variable": lsp.CompletionItemKind.Variable,
                    "attribute": lsp.CompletionItemKind.Field, "parameter": lsp.CompletionItemKind.Variable,
                    "import": lsp.CompletionItemKind.Module, "module": lsp.CompletionItemKind.Module,
                    "keyword": lsp.CompletionItemKind.Keyword}

T = TypeVar("T")


class _Protocol(LanguageServerProtocol):
    """Leaves the documents' text to the server: the protocol's own copy
    of every open document would cost a split of the whole text on each
    edit."""

    @lsp_method(lsp.TEXT_DOCUMENT_DID_OPEN)
    def lsp_text_document__did_open(self, params: lsp.DidOpenTextDocumentParams) -> Any:
        if (handler := self.fm.features.get(lsp.TEXT_DOCUMENT_DID_OPEN)) is not None:
            yield handler, (params,), None

    @lsp_method(lsp.TEXT_DOCUMENT_DID_CHANGE)
    def lsp_text_document__did_change(self, params: lsp.DidChangeTextDocumentParams) -> Any:
        if (handler := self.fm.features.get(lsp.TEXT_DOCUMENT_DID_CHANGE)) is not None:
            yield handler, (params,), None

    @lsp_method(lsp.TEXT_DOCUMENT_DID_CLOSE)
    def lsp_text_document__did_close(self, params: lsp.DidCloseTextDocumentParams) -> Any:
        if (handler := self.fm.features.get(lsp.TEXT_DOCUMENT_DID_CLOSE)) is not None:
            yield handler, (params,), None


class PysourceServer(LanguageServer):
    """The server's state: the project, the open documents and the index."""

    def __init__(self) -> None:
        super().__init__("pysource", VERSION, protocol_cls=_Protocol)
        self.project = Project()
        self.roots: list[str] = []
        self.docs: dict[str, Document] = {}
        self.encoding = "utf-16"
        self.cache_dir: Optional[str] = None
        self.index: Optional[WorkspaceIndex] = None
        self.index_lock = threading.Lock()
        self.indexed = threading.Event()
        self._pending_diagnostics: dict[str, asyncio.TimerHandle] = {}
        # Modules whose module-level names may have changed since the
        # star imports of them were last analysed.
        self.changed_names: set[Any] = set()
        self._settling = False
        self.star_imports = StarImports()

    def fresh(self) -> None:
        """Brings star imports of edited modules up to date, before a
        query."""
        if self.changed_names:
            changed, self.changed_names = self.changed_names, set()
            edited = {doc.mod for doc in self.docs.values()}
            self.guarded("star imports", None, lambda: self.star_imports.refresh(self.project, changed, edited))

    # -- messages ------------------------------------------------------------

    def log(self, text: str, kind: lsp.MessageType = lsp.MessageType.Log) -> None:
        log.info("%s", text)
        try:
            self.window_log_message(lsp.LogMessageParams(type=kind, message=text))
        except Exception:       # no client to tell (the connection is gone)
            pass

    def guarded(self, what: str, default: T, fn: Callable[[], T]) -> T:
        """`fn()`, or `default` with a log message when it fails.  A slow
        answer (one that analysed a module) settles what it made."""
        t0 = time.perf_counter()
        try:
            result = fn()
            if time.perf_counter() - t0 > SETTLE_AFTER:
                self.settle_soon()
            return result
        except Exception as e:
            self.log("%s failed: %s: %s\n%s" % (what, type(e).__name__, e, traceback.format_exc()),
                     lsp.MessageType.Warning)
            return default

    def document(self, uri: str, what: str) -> Optional[Document]:
        doc = self.docs.get(uri)
        if doc is None:
            self.log("%s: %s is not open" % (what, uri), lsp.MessageType.Warning)
        return doc

    def query(self, uri: str, what: str, default: T, fn: Callable[[Document], T]) -> T:
        """`fn` of the open document at `uri`, guarded as `what`, with star
        imports brought up to date first; `default` when the document is
        not open."""
        doc = self.document(uri, what)
        self.fresh()
        if doc is None:
            return default
        return self.guarded(what, default, lambda: fn(doc))

    def settle_soon(self) -> None:
        if not self._settling:
            self._settling = True
            asyncio.get_event_loop().call_later(SETTLE_AFTER, self.settle)

    def settle(self) -> None:
        """Moves what exists now out of the cyclic collector's sight: the
        analyses of open documents and the modules they import live long,
        and a full collection walking them all would stall the answers
        that follow a keystroke."""
        self._settling = False
        gc.collect()
        gc.freeze()

    # -- positions -------------------------------------------------------------

    def to_row_col(self, doc: Document, pos: lsp.Position) -> tuple[int, int]:
        row = pos.line + 1
        return row, to_chars(doc.mod.row(row), pos.character, self.encoding)

    def to_position(self, mod: ModuleAnalysis, row: int, col: int) -> lsp.Position:
        return lsp.Position(line=max(row - 1, 0), character=to_units(mod.row(row), col, self.encoding))

    def to_range(self, mod: ModuleAnalysis, start: tuple[int, int], end: tuple[int, int]) -> lsp.Range:
        return lsp.Range(start=self.to_position(mod, *start), end=self.to_position(mod, *end))

    def location(self, found: la.Found) -> Optional[lsp.Location]:
        mod = found.mod
        uri = self.uri_of(mod)
        if uri is None:
            return None
        if found.line is None:
            start = end = (1, 0)
        elif found.token >= 0:
            row, col = la.line_positions(found.line)[found.token]
            start, end = (row, col), (row, col + len(found.line.tokens[found.token]))
        else:
            start = end = (found.line.first_line, found.line.indent)
        return lsp.Location(uri=uri, range=self.to_range(mod, start, end))

    def uri_of(self, mod: Any) -> Optional[str]:
        for uri, doc in self.docs.items():
            if doc.mod is mod:
                return uri
        path = mod.fFileName
        return from_fs_path(path) if path else None

    # -- diagnostics -----------------------------------------------------------

    def publish_later(self, doc: Document) -> None:
        loop = asyncio.get_event_loop()
        old = self._pending_diagnostics.pop(doc.uri, None)
        if old is not None:
            old.cancel()
        self._pending_diagnostics[doc.uri] = loop.call_later(DIAGNOSTICS_DELAY, self.publish, doc.uri)

    def publish(self, uri: str) -> None:
        self._pending_diagnostics.pop(uri, None)
        doc = self.docs.get(uri)
        if doc is None:
            return
        empty: list[lsp.Diagnostic] = []
        diagnostics = self.guarded("diagnostics", empty, lambda: self.diagnostics(doc))
        self.text_document_publish_diagnostics(
            lsp.PublishDiagnosticsParams(uri=uri, diagnostics=diagnostics, version=doc.version))

    def diagnostics(self, doc: Document) -> list[lsp.Diagnostic]:
        out = []
        for line, message in doc.errors.errors(doc.mod):
            start, end = la.parse_error_range(line)
            out.append(lsp.Diagnostic(range=self.to_range(doc.mod, start, end), message=message,
                                      severity=lsp.DiagnosticSeverity.Error, source="pysource"))
        return out

    # -- the index -------------------------------------------------------------

    async def index_workspace(self) -> None:
        if not self.roots:
            self.indexed.set()
            return
        token = "pysource-index"
        progress = self.work_done_progress
        caps = self.client_capabilities.window
        use_progress = bool(caps and caps.work_done_progress)
        loop = asyncio.get_running_loop()
        if use_progress:
            try:
                await progress.create_async(token)
                progress.begin(token, lsp.WorkDoneProgressBegin(title="Indexing", percentage=0,
                                                                message="pysource"))
            except Exception as e:
                self.log("no work-done progress: %s" % e)
                use_progress = False
        last = [-1]

        def report(done: int, total: int) -> None:
            pct = 100 * done // total if total else 100
            if use_progress and pct != last[0]:
                last[0] = pct
                loop.call_soon_threadsafe(progress.report, token, lsp.WorkDoneProgressReport(
                    percentage=pct, message="%d/%d files" % (done, total)))

        def run() -> None:
            with self.index_lock:
                if self.index is None:
                    self.index = WorkspaceIndex(self.cache_dir, lambda text: self.log(text, lsp.MessageType.Warning))
                self.index.update(list(self.roots), report)

        try:
            await asyncio.to_thread(run)
            self.log("indexed %s" % ", ".join(self.roots))
        except Exception as e:
            self.log("indexing failed: %s: %s" % (type(e).__name__, e), lsp.MessageType.Warning)
        finally:
            self.indexed.set()
            if use_progress:
                progress.end(token, lsp.WorkDoneProgressEnd(message="done"))

    async def refresh_index(self, path: str) -> None:
        def run() -> None:
            with self.index_lock:
                if self.index is not None and any(path.startswith(r + os.sep) or path == r for r in self.roots):
                    self.index.update([path])
        try:
            await asyncio.to_thread(run)
        except Exception as e:
            self.log("indexing %s failed: %s: %s" % (path, type(e).__name__, e), lsp.MessageType.Warning)

    @staticmethod
    def symbol_query(query: str) -> tuple[str, Optional[str]]:
        """The name pattern and scope (None for any) of a workspace symbol
        query: ``pat`` or ``Scope.pat``; a plain word matches as a
        prefix."""
        pattern = query.strip() or "*"
        scope: Optional[str] = None
        if "." in pattern:
            scope, _, pattern = pattern.rpartition(".")
            pattern = pattern or "*"
        if "*" not in pattern:
            pattern += "*"
        return pattern, scope

    def find_in_index(self, query: str) -> Optional[list[Any]]:
        """The index's answer to a workspace symbol query (run off the
        event loop: the index may bring files up to date first); None while
        the workspace is being indexed the first time."""
        if self.index is None or not self.roots:
            return None
        # Waits for a saved file's refresh, not for the first indexing.
        if not self.index_lock.acquire(blocking=self.indexed.is_set()):
            return None
        try:
            pattern, scope = self.symbol_query(query)
            return self.index.find(pattern, scope, list(self.roots), WORKSPACE_SYMBOL_LIMIT)
        finally:
            self.index_lock.release()

    def workspace_symbols(self, query: str, found: Optional[list[Any]]) -> list[lsp.WorkspaceSymbol]:
        pattern, scope = self.symbol_query(query)
        out: list[lsp.WorkspaceSymbol] = []
        open_paths = {doc.path for doc in self.docs.values() if doc.path}
        if found is None and self.roots:
            self.log("workspace/symbol: the index is not ready; answering from the open files")
        for d in found or ():
            if d.path in open_paths:
                continue
            pos = lsp.Position(line=max(d.line - 1, 0), character=d.column)
            out.append(lsp.WorkspaceSymbol(
                name=d.name, kind=SYMBOL_KINDS.get(d.kind, lsp.SymbolKind.Variable),
                location=lsp.Location(uri=from_fs_path(d.path) or d.path, range=lsp.Range(start=pos, end=pos)),
                container_name=d.full_name.rpartition(".")[0] or None))
        # Open documents answer from their buffers, unsaved edits included.
        for doc in self.docs.values():
            mod = doc.mod
            match = pattern_regex(pattern, ignore_case=True).fullmatch
            for ref in mod.impl.SearchForAttribs({"scope_name": scope if scope is not None else "*",
                                                  "local_name": "*", "dotted_names_valid": 0}):
                line = ref.fLogical
                if line is None or ref.fKind == "imported" or not match(ref.fLocalName):
                    continue
                i = la.token_of(line, ref.fLocalName)
                row, col = la.line_positions(line)[i] if i >= 0 else (line.first_line, 0)
                kind = {"class": "class", "function": "function", "imported": "import"}.get(ref.fKind, "variable")
                out.append(lsp.WorkspaceSymbol(
                    name=ref.fLocalName, kind=SYMBOL_KINDS[kind],
                    location=lsp.Location(uri=doc.uri, range=self.to_range(mod, (row, col),
                                                                          (row, col + len(ref.fLocalName)))),
                    container_name=ref.fFullName.rpartition(".")[0] or None))
        return out[:WORKSPACE_SYMBOL_LIMIT]


def _symbol(server: PysourceServer, mod: Any, s: la.Symbol) -> lsp.DocumentSymbol:
    return lsp.DocumentSymbol(name=s.name, kind=SYMBOL_KINDS[s.kind], range=server.to_range(mod, s.start, s.end),
                              selection_range=server.to_range(mod, s.name_start, s.name_end),
                              children=[_symbol(server, mod, c) for c in s.children])


def make_server() -> PysourceServer:
    server = PysourceServer()

    @server.feature(lsp.INITIALIZE)
    def initialize(ls: PysourceServer, params: lsp.InitializeParams) -> None:
        # The protocol library gives its own default as an enum member,
        # the client's choice as a plain string.
        encoding = ServerCapabilitiesBuilder.choose_position_encoding(params.capabilities)
        ls.encoding = str(getattr(encoding, "value", encoding))
        roots = []
        for folder in params.workspace_folders or []:
            path = path_of_uri(folder.uri)
            if path:
                roots.append(path)
        if not roots and params.root_uri:
            path = path_of_uri(params.root_uri)
            if path:
                roots.append(path)
        if not roots and params.root_path:
            roots.append(os.path.abspath(params.root_path))
        ls.roots = [r for r in roots if os.path.isdir(r)]
        options = params.initialization_options
        if isinstance(options, dict) and isinstance(options.get("cacheDir"), str):
            ls.cache_dir = options["cacheDir"]
        ls.project.close()
        ls.project = Project(roots=ls.roots)
        ls.star_imports = StarImports()

    @server.feature(lsp.INITIALIZED)
    async def initialized(ls: PysourceServer, params: lsp.InitializedParams) -> None:
        asyncio.ensure_future(ls.index_workspace())

    @server.feature(lsp.TEXT_DOCUMENT_DID_OPEN)
    def did_open(ls: PysourceServer, params: lsp.DidOpenTextDocumentParams) -> None:
        item = params.text_document
        path = path_of_uri(item.uri)
        old = ls.docs.get(item.uri)
        if old is not None:
            old.mod.set_source(item.text)
            old.version = item.version
            ls.publish_later(old)
            return
        mod = ls.guarded("open %s" % item.uri, None, lambda: open_module(ls.project, path, item.text))
        if mod is None:
            return
        doc = Document(item.uri, path, mod, item.version)
        ls.docs[item.uri] = doc
        ls.publish_later(doc)

    @server.feature(lsp.TEXT_DOCUMENT_DID_CHANGE)
    def did_change(ls: PysourceServer, params: lsp.DidChangeTextDocumentParams) -> None:
        doc = ls.document(params.text_document.uri, "didChange")
        if doc is None:
            return
        mod = doc.mod
        for change in params.content_changes:
            if isinstance(change, lsp.TextDocumentContentChangePartial):
                start = ls.to_row_col(doc, change.range.start)
                end = ls.to_row_col(doc, change.range.end)
                if end < start:
                    ls.log("edit of %s refused: its range ends before it starts" % doc.uri,
                           lsp.MessageType.Warning)
                    continue
                before = mod.source_now()
                try:
                    if names_may_have_changed(mod.edit(start, end, change.text)):
                        ls.changed_names.add(mod)
                except Exception as e:
                    ls.log("edit of %s failed (%s: %s); taking its text anew" % (doc.uri, type(e).__name__, e),
                           lsp.MessageType.Warning)
                    # Start the module over from the text the editor has.
                    mod.close()
                    mod.set_source(splice(before(), start, end, change.text))
                    ls.changed_names.add(mod)
            else:
                mod.set_source(change.text)
                ls.changed_names.add(mod)
        doc.version = params.text_document.version
        ls.publish_later(doc)

    @server.feature(lsp.TEXT_DOCUMENT_DID_SAVE)
    async def did_save(ls: PysourceServer, params: lsp.DidSaveTextDocumentParams) -> None:
        doc = ls.docs.get(params.text_document.uri)
        if doc is not None and params.text is not None:
            doc.mod.set_source(params.text)
        path = path_of_uri(params.text_document.uri)
        if path is not None:
            await ls.refresh_index(path)

    @server.feature(lsp.TEXT_DOCUMENT_DID_CLOSE)
    def did_close(ls: PysourceServer, params: lsp.DidCloseTextDocumentParams) -> None:
        doc = ls.docs.pop(params.text_document.uri, None)
        if doc is None:
            return
        ls.guarded("close", None, lambda: close_module(doc.mod))
        ls.text_document_publish_diagnostics(lsp.PublishDiagnosticsParams(uri=doc.uri, diagnostics=[]))

    @server.feature(lsp.TEXT_DOCUMENT_DOCUMENT_SYMBOL)
    def document_symbol(ls: PysourceServer, params: lsp.DocumentSymbolParams) -> list[lsp.DocumentSymbol]:
        return ls.query(params.text_document.uri, "documentSymbol", [],
                        lambda doc: [_symbol(ls, doc.mod, s) for s in la.symbols(doc.mod)])

    @server.feature(lsp.WORKSPACE_SYMBOL)
    async def workspace_symbol(ls: PysourceServer, params: lsp.WorkspaceSymbolParams) -> list[lsp.WorkspaceSymbol]:
        try:
            found = await asyncio.to_thread(ls.find_in_index, params.query)
        except Exception as e:
            ls.log("workspace/symbol: the index failed: %s: %s" % (type(e).__name__, e), lsp.MessageType.Warning)
            found = None
        ls.fresh()
        empty: list[lsp.WorkspaceSymbol] = []
        return ls.guarded("workspace/symbol", empty, lambda: ls.workspace_symbols(params.query, found))

    @server.feature(lsp.TEXT_DOCUMENT_DEFINITION)
    def definition(ls: PysourceServer, params: lsp.DefinitionParams) -> list[lsp.Location]:
        def answer(doc: Document) -> list[lsp.Location]:
            row, col = ls.to_row_col(doc, params.position)
            out = []
            for found in la.definitions(doc.mod, row, col):
                loc = ls.location(found)
                if loc is not None:
                    out.append(loc)
            return out
        return ls.query(params.text_document.uri, "definition", [], answer)

    @server.feature(lsp.TEXT_DOCUMENT_HOVER)
    def hover(ls: PysourceServer, params: lsp.HoverParams) -> Optional[lsp.Hover]:
        def answer(doc: Document) -> Optional[lsp.Hover]:
            row, col = ls.to_row_col(doc, params.position)
            text = la.describe(doc.mod, row, col)
            if text is None:
                return None
            return lsp.Hover(contents=lsp.MarkupContent(kind=lsp.MarkupKind.Markdown, value=text))
        return ls.query(params.text_document.uri, "hover", None, answer)

    @server.feature(lsp.TEXT_DOCUMENT_COMPLETION, lsp.CompletionOptions(trigger_characters=["."]))
    def completion(ls: PysourceServer, params: lsp.CompletionParams) -> lsp.CompletionList:
        empty = lsp.CompletionList(is_incomplete=False, items=[])

        def answer(doc: Document) -> lsp.CompletionList:
            row, col = ls.to_row_col(doc, params.position)
            items = la.completions(doc.mod, row, col, doc.mod.row(row))
            return lsp.CompletionList(is_incomplete=False, items=[
                lsp.CompletionItem(label=i.name, kind=COMPLETION_KINDS.get(i.kind, lsp.CompletionItemKind.Text),
                                   detail=i.kind) for i in items])
        return ls.query(params.text_document.uri, "completion", empty, answer)

    @server.feature(lsp.SHUTDOWN)
    def shutdown(ls: PysourceServer, params: Any) -> None:
        with ls.index_lock:
            if ls.index is not None:
                ls.index.close()
                ls.index = None
        ls.project.close()

    return server


def main(argv: Optional[Sequence[str]] = None) -> int:
    from .lsp_cli import add_arguments
    parser = argparse.ArgumentParser(prog="pysource lsp", description="Run the pysource language server.")
    parser.add_argument("--cache-dir", metavar="DIR", default=None)
    add_arguments(parser)
    return run(parser.parse_args(argv))


def run(args: argparse.Namespace) -> int:
    level = getattr(logging, str(args.log_level).upper(), logging.WARNING)
    if args.log_file:
        logging.basicConfig(filename=args.log_file, level=level)
    else:
        logging.basicConfig(level=level)    # standard error, never the protocol's stdout
    server = make_server()
    server.cache_dir = getattr(args, "cache_dir", None)
    if args.tcp:
        host, _, port = args.tcp.rpartition(":")
        if not port.isdigit():
            raise SystemExit("pysource lsp: --tcp takes HOST:PORT, not %r" % args.tcp)
        server.start_tcp(host or "127.0.0.1", int(port))
    else:
        # The protocol gets descriptors of its own: the server closes them
        # when it exits, and anything printed by mistake goes to standard
        # error instead of into the protocol's stream.
        stdin = os.fdopen(os.dup(sys.stdin.fileno()), "rb")
        stdout = os.fdopen(os.dup(sys.stdout.fileno()), "wb")
        saved = sys.stdout
        sys.stdout = sys.stderr
        try:
            server.start_io(stdin, stdout)
        finally:
            sys.stdout = saved
    return 0


if __name__ == "__main__":
    raise SystemExit(main())
