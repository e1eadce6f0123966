"""The language server end to end: `pysource lsp` started as a subprocess
and driven as an editor drives it, over a small workspace of modules that
import each other."""

import asyncio
import os
import subprocess
import sys
import textwrap

import pytest

pytest_lsp = pytest.importorskip("pytest_lsp")
from lsprotocol import types as lsp  # noqa: E402
from pytest_lsp import ClientServerConfig, LanguageClient, client_capabilities  # noqa: E402

from test_cli import PYTHONPATH  # noqa: E402


FILES = {
    "pkg/__init__.py": "from .models import *\n",
    "pkg/models.py": '''\
        """Models of things."""
        import os.path as osp

        __all__ = ["Base", "Store", "helper", "LIMIT"]


        class Base:
            """The base of stores."""

            def __init__(self, root):
                self.root = osp.join(root, "x")
                self.items = {}

            def size(self):
                """How many items."""
                return len(self.items)


        class Store(Base):
            kind = "store"

            def get(self, key):
                if isinstance(key, bytes):
                    key = key.decode()
                self.last = key
                return self.items.get(key)


        def helper(a, b):
            return a + b


        LIMIT = 10
        ''',
    "app.py": '''\
        import pkg.models as models
        from pkg import Store
        from pkg.models import helper


        def main():
            s = Store("/tmp")
            s.get("k")
            return models.helper(1, 2) + helper(3, 4)
        ''',
}


def _env():
    # The server imports the modules this process imported (not a fixed
    # build folder, which a sanitizer run would not be testing).
    return dict(os.environ, PYTHONPATH=PYTHONPATH)


def write_workspace(root):
    """FILES written below `root`; returns `root`."""
    for name, text in FILES.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(textwrap.dedent(text))
    return root


@pytest.fixture
def workspace(tmp_path):
    return write_workspace(tmp_path / "ws")


CONFIG = ClientServerConfig(server_command=[sys.executable, "-m", "pysource", "lsp"], server_env=_env())


@pytest_lsp.fixture(config=CONFIG)
async def client(lsp_client: LanguageClient, workspace, tmp_path):
    # Neovim's capabilities: columns in UTF-8 code units.
    async for _ in session(lsp_client, workspace, tmp_path, "neovim"):
        yield


@pytest_lsp.fixture(config=CONFIG)
async def vscode(lsp_client: LanguageClient, workspace, tmp_path):
    # VS Code's capabilities: columns in UTF-16 code units.
    async for _ in session(lsp_client, workspace, tmp_path, "visual-studio-code"):
        yield


async def session(lsp_client, workspace, tmp_path, editor):
    params = lsp.InitializeParams(
        capabilities=client_capabilities(editor),
        workspace_folders=[lsp.WorkspaceFolder(uri=workspace.as_uri(), name="ws")],
        initialization_options={"cacheDir": str(tmp_path / "cache")})
    result = await lsp_client.initialize_session(params)
    lsp_client.encoding = result.capabilities.position_encoding or "utf-16"
    # Diagnostics kept with the version they were published for.
    lsp_client.diagnostic_versions = {}

    def published(params):
        lsp_client.diagnostics[params.uri] = params.diagnostics
        lsp_client.diagnostic_versions[params.uri] = params.version

    lsp_client.protocol.fm.features[lsp.TEXT_DOCUMENT_PUBLISH_DIAGNOSTICS] = published
    yield
    await lsp_client.shutdown_session()


def uri(workspace, name):
    return (workspace / name).as_uri()


def open_doc(client, workspace, name, text=None):
    text = text if text is not None else (workspace / name).read_text()
    client.text_document_did_open(lsp.DidOpenTextDocumentParams(
        text_document=lsp.TextDocumentItem(uri=uri(workspace, name), language_id="python", version=1, text=text)))
    return text


def where(text, needle, offset=0):
    """The protocol position of `needle` (plus `offset` characters) in
    `text`."""
    i = text.index(needle) + offset
    line = text.count("\n", 0, i)
    return lsp.Position(line=line, character=i - (text.rfind("\n", 0, i) + 1))


async def definition(client, workspace, name, pos):
    result = await client.text_document_definition_async(lsp.DefinitionParams(
        text_document=lsp.TextDocumentIdentifier(uri=uri(workspace, name)), position=pos))
    return [(os.path.relpath(loc.uri, workspace.as_uri()), loc.range.start.line + 1, loc.range.start.character)
            for loc in result or []]


async def hover(client, workspace, name, pos):
    result = await client.text_document_hover_async(lsp.HoverParams(
        text_document=lsp.TextDocumentIdentifier(uri=uri(workspace, name)), position=pos))
    return result.contents.value if result else None


async def complete(client, workspace, name, pos):
    result = await client.text_document_completion_async(lsp.CompletionParams(
        text_document=lsp.TextDocumentIdentifier(uri=uri(workspace, name)), position=pos))
    items = result.items if isinstance(result, lsp.CompletionList) else result or []
    return {i.label: i.kind for i in items}


async def outline(client, workspace, name):
    result = await client.text_document_document_symbol_async(lsp.DocumentSymbolParams(
        text_document=lsp.TextDocumentIdentifier(uri=uri(workspace, name))))

    def walk(symbols):
        return [(s.name, s.kind, s.range.start.line + 1, s.range.end.line + 1, walk(s.children or []))
                for s in symbols]
    return walk(result or [])


def change(client, workspace, name, version, start, end, text):
    client.text_document_did_change(lsp.DidChangeTextDocumentParams(
        text_document=lsp.VersionedTextDocumentIdentifier(uri=uri(workspace, name), version=version),
        content_changes=[lsp.TextDocumentContentChangePartial(
            range=lsp.Range(start=lsp.Position(line=start[0], character=start[1]),
                            end=lsp.Position(line=end[0], character=end[1])), text=text)]))


async def diagnostics(client, workspace, name, version):
    """The diagnostics published for `version` of a document."""
    key = uri(workspace, name)
    for _ in range(200):
        got = client.diagnostics.get(key)
        if got is not None and client.diagnostic_versions.get(key) == version:
            return [(d.range.start.line + 1, d.message) for d in got]
        await asyncio.sleep(0.02)
    raise AssertionError("no diagnostics for version %d" % version)


# -- requests on a real workspace -------------------------------------------------------

@pytest.mark.asyncio
async def test_definitions_across_modules(client: LanguageClient, workspace):
    app = open_doc(client, workspace, "app.py")
    models = open_doc(client, workspace, "pkg/models.py")
    cases = [
        # A class through a star import of the package.
        ("app.py", where(app, "Store(", 1), [("pkg/models.py", 19, 6)]),
        # mod.name through the import of mod.
        ("app.py", where(app, "models.helper", 8), [("pkg/models.py", 29, 4)]),
        # A from-import.
        ("app.py", where(app, "helper(3"), [("pkg/models.py", 29, 4)]),
        # A local variable, and a method of its class found in the base.
        ("app.py", where(app, "s.get", 0), [("app.py", 7, 4)]),
        ("app.py", where(app, "s.get", 2), [("pkg/models.py", 22, 8)]),
        # self.attr: the assignment in the base class.
        ("pkg/models.py", where(models, "self.items.get", 5), [("pkg/models.py", 12, 13)]),
        # A parameter, and an import followed into a module without source
        # in the project (os.path is found on the search path).
        ("pkg/models.py", where(models, "key.decode", 0), [("pkg/models.py", 22, 18)]),
        # The modules an import line names, up to the name under the cursor.
        ("app.py", where(app, "pkg.models as", 0), [("pkg/__init__.py", 1, 0)]),
        ("app.py", where(app, "models as", 1), [("pkg/models.py", 1, 0)]),
        ("app.py", where(app, "pkg.models import", 6), [("pkg/models.py", 1, 0)]),
        # Nothing under the cursor.
        ("app.py", lsp.Position(line=3, character=0), []),
    ]
    for name, pos, want in cases:
        assert await definition(client, workspace, name, pos) == want, (name, pos)


@pytest.mark.asyncio
async def test_hover_completion_and_symbols(client: LanguageClient, workspace):
    app = open_doc(client, workspace, "app.py")
    models = open_doc(client, workspace, "pkg/models.py")

    text = await hover(client, workspace, "app.py", where(app, "Store(", 1))
    assert "(class) pkg.models.Store" in text and "class Store(Base):" in text
    text = await hover(client, workspace, "pkg/models.py", where(models, "len(self.items)", 10))
    assert "(attribute) pkg.models.Base.items" in text and "`::dict:`" in text
    text = await hover(client, workspace, "pkg/models.py", where(models, "def size", 5))
    assert "How many items." in text
    text = await hover(client, workspace, "pkg/models.py", where(models, "key.decode", 0))
    assert "(parameter)" in text and "`bytes:`" in text

    members = await complete(client, workspace, "pkg/models.py", where(models, "self.last", 5))
    assert {"root", "items", "last", "size", "get", "kind"} <= set(members)
    assert members["items"] == lsp.CompletionItemKind.Field and members["size"] == lsp.CompletionItemKind.Method
    module_names = await complete(client, workspace, "app.py", where(app, "models.helper", 7))
    assert {"Base", "Store", "helper", "LIMIT", "osp"} <= set(module_names)
    assert module_names["Store"] == lsp.CompletionItemKind.Class
    visible = await complete(client, workspace, "app.py", where(app, "return models", 0))
    assert {"s", "Store", "helper", "models", "main", "len", "return"} <= set(visible)

    symbols = await outline(client, workspace, "pkg/models.py")
    K = lsp.SymbolKind
    assert symbols == [
        ("__all__", K.Variable, 4, 4, []),
        ("Base", K.Class, 7, 16, [("__init__", K.Method, 10, 12, []), ("size", K.Method, 14, 16, [])]),
        ("Store", K.Class, 19, 26, [("kind", K.Variable, 20, 20, []), ("get", K.Method, 22, 26, [])]),
        ("helper", K.Function, 29, 30, []),
        ("LIMIT", K.Variable, 33, 33, []),
    ]


@pytest.mark.asyncio
async def test_typed_edits_change_every_answer(client: LanguageClient, workspace):
    app = open_doc(client, workspace, "app.py")
    assert await diagnostics(client, workspace, "app.py", 1) == []
    # Type a new method into Store, one keystroke at a time, in pkg/models.py.
    models = open_doc(client, workspace, "pkg/models.py")
    row = models[:models.index("        return self.items.get")].count("\n") + 1
    version = 1
    typed = "\n    def put(self, value):\n        self.stored = value\n"
    line, col = row - 1, len("        return self.items.get(key)")
    for ch in typed:
        version += 1
        change(client, workspace, "pkg/models.py", version, (line, col), (line, col), ch)
        if ch == "\n":
            line, col = line + 1, 0
        else:
            col += 1
    symbols = await outline(client, workspace, "pkg/models.py")
    store = [s for s in symbols if s[0] == "Store"][0]
    assert [c[0] for c in store[4]] == ["kind", "get", "put"]
    members = await complete(client, workspace, "pkg/models.py", lsp.Position(line=line - 1, character=13))
    assert {"stored", "last", "put", "items"} <= set(members)
    # A definition in the other module follows the live buffer, not the file.
    change(client, workspace, "app.py", 2, (8, 0), (8, 0), "    s.put(1)\n")
    assert await definition(client, workspace, "app.py", lsp.Position(line=8, character=7)) == \
        [("pkg/models.py", line - 1, 8)]

    text = await hover(client, workspace, "pkg/models.py", lsp.Position(line=line - 1, character=14))
    assert "(attribute) pkg.models.Store.stored" in text
    # Break a line, then mend it: diagnostics follow.
    version += 1
    change(client, workspace, "pkg/models.py", version, (line - 1, 27), (line - 1, 27), " +")
    assert await diagnostics(client, workspace, "pkg/models.py", version) == \
        [(line, "SyntaxError: invalid syntax")]
    version += 1
    change(client, workspace, "pkg/models.py", version, (line - 1, 27), (line - 1, 29), "")
    assert await diagnostics(client, workspace, "pkg/models.py", version) == []

    # Rename the class: the definition from app.py no longer finds the
    # class (only the name __all__ still lists).
    version += 1
    i = models.index("class Store")
    change(client, workspace, "pkg/models.py", version, (models.count("\n", 0, i), 6),
           (models.count("\n", 0, i), 11), "Shop")
    assert await definition(client, workspace, "app.py", where(app, "Store(", 1)) == [("pkg/__init__.py", 1, 0)]
    assert "Shop" in [s[0] for s in await outline(client, workspace, "pkg/models.py")]
    # Export the new name: the package's star import of the module follows.
    version += 1
    at = where(models, '"Store"')
    change(client, workspace, "pkg/models.py", version, (at.line, at.character), (at.line, at.character + 7),
           '"Shop"')
    change(client, workspace, "app.py", 3, (1, 16), (1, 21), "Shop")
    assert await definition(client, workspace, "app.py", lsp.Position(line=1, character=18)) == \
        [("pkg/models.py", 19, 6)]


@pytest.mark.asyncio
async def test_workspace_symbols_from_the_index(client: LanguageClient, workspace):
    for _ in range(300):
        if any(r and isinstance(r[-1], lsp.WorkDoneProgressEnd) for r in client.progress_reports.values()):
            break
        await asyncio.sleep(0.05)
    else:
        raise AssertionError("indexing did not report its end")
    result = await client.workspace_symbol_async(lsp.WorkspaceSymbolParams(query="He"))
    assert [(s.name, s.kind, os.path.basename(s.location.uri), s.location.range.start.line + 1) for s in result] \
        == [("helper", lsp.SymbolKind.Function, "models.py", 29)]
    result = await client.workspace_symbol_async(lsp.WorkspaceSymbolParams(query="Store.*"))
    assert sorted(s.name for s in result) == ["get", "kind"]
    # An open document with an unsaved edit answers from its buffer.
    open_doc(client, workspace, "app.py", (workspace / "app.py").read_text() + "\nHELLO = 1\n")
    result = await client.workspace_symbol_async(lsp.WorkspaceSymbolParams(query="HE"))
    assert sorted(s.name for s in result) == ["HELLO", "helper"]
    # Saved and closed, the file is answered from the index again.
    (workspace / "app.py").write_text((workspace / "app.py").read_text() + "\nHELLO = 1\n")
    client.text_document_did_save(lsp.DidSaveTextDocumentParams(
        text_document=lsp.TextDocumentIdentifier(uri=uri(workspace, "app.py"))))
    client.text_document_did_close(lsp.DidCloseTextDocumentParams(
        text_document=lsp.TextDocumentIdentifier(uri=uri(workspace, "app.py"))))
    result = await client.workspace_symbol_async(lsp.WorkspaceSymbolParams(query="HE"))
    assert sorted((s.name, s.location.range.start.line + 1) for s in result) == [("HELLO", 11), ("helper", 29)]


@pytest.mark.asyncio
async def test_bad_input_never_stops_the_server(client: LanguageClient, workspace):
    app = open_doc(client, workspace, "app.py")
    missing = (workspace / "nope.py").as_uri()
    # Requests on a document that is not open: empty answers.
    assert await client.text_document_hover_async(lsp.HoverParams(
        text_document=lsp.TextDocumentIdentifier(uri=missing), position=lsp.Position(line=0, character=0))) is None
    assert await client.text_document_definition_async(lsp.DefinitionParams(
        text_document=lsp.TextDocumentIdentifier(uri=missing), position=lsp.Position(line=0, character=0))) == []
    # Positions past the end of a line and of the document.
    for pos in [lsp.Position(line=3, character=500), lsp.Position(line=900, character=3)]:
        assert await definition(client, workspace, "app.py", pos) == []
        await complete(client, workspace, "app.py", pos)
    # An edit past the end appends; an edit whose range runs backwards is
    # refused and loses nothing.
    change(client, workspace, "app.py", 2, (900, 0), (900, 0), "\nextra = main()\n")
    change(client, workspace, "app.py", 3, (3, 5), (1, 0), "oops")
    symbols = await outline(client, workspace, "app.py")
    assert [s[0] for s in symbols] == ["main", "extra"]
    # A document that is not UTF-8 on disk opens from the editor's text,
    # and a module that does not decode is read with replacements when an
    # import leads into it; garbage on the wire gets an error and the
    # server goes on.
    (workspace / "latin.py").write_bytes("s = 'caf\xe9'\n".encode("latin-1"))
    (workspace / "broken.py").write_bytes(b"\xff\xfe = 1\nthing = 2\n")
    open_doc(client, workspace, "latin.py", "s = 'café'\nfrom broken import thing\n")
    latin = uri(workspace, "latin.py")
    got = await client.text_document_definition_async(lsp.DefinitionParams(
        text_document=lsp.TextDocumentIdentifier(uri=latin), position=lsp.Position(line=1, character=20)))
    assert [(os.path.basename(loc.uri), loc.range.start.line) for loc in got] == [("broken.py", 1)]
    client.protocol.writer.write(b"Content-Length: 9\r\n\r\n{garbage}")
    assert await definition(client, workspace, "app.py", where(app, "helper(3")) == [("pkg/models.py", 29, 4)]
    assert [s[0] for s in await outline(client, workspace, "latin.py")] == ["s"]
    # Columns count the code units the client chose (UTF-8 here): the name
    # after a character outside the basic plane is found where the editor
    # says it is.
    assert client.encoding == "utf-8"
    change(client, workspace, "app.py", 4, (10, 0), (10, 0), "e = '\U0001f600'; f = e\n")
    assert await definition(client, workspace, "app.py", lsp.Position(line=10, character=17)) == [("app.py", 11, 0)]


def test_a_client_that_goes_away_ends_the_server(tmp_path):
    proc = subprocess.Popen([sys.executable, "-m", "pysource", "lsp"], stdin=subprocess.PIPE,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=_env(), cwd=str(tmp_path))
    body = b'{"jsonrpc": "2.0", "id": 1, "method": "initialize", "params": {"capabilities": {}}}'
    # The client sends a request and half a message, then closes its end.
    out, err = proc.communicate(b"Content-Length: %d\r\n\r\n" % len(body) + body + b"Content-Length: 5\r\n\r\n{",
                                timeout=60)
    assert b'"id": 1' in out.replace(b'"id":1', b'"id": 1')
    # The half message is logged; the end of input ends the server.
    assert proc.returncode in (0, 1), err.decode(errors="replace")


@pytest.mark.asyncio
async def test_random_typing_ends_where_opening_the_text_does(vscode: LanguageClient, workspace):
    """Seeded random range edits sent as an editor sends them (columns in
    UTF-16 units, characters outside the basic plane included): the
    edited document's outline and diagnostics are those of the same text
    opened afresh."""
    client = vscode
    assert client.encoding == "utf-16"
    import random
    import sysconfig

    from test_lsp_buffer import random_insert, random_range

    path = os.path.join(sysconfig.get_paths()["stdlib"], "textwrap.py")
    with open(path, encoding="utf-8") as f:
        text = "".join(f.readlines()[:250])
    rng = random.Random("typing")
    open_doc(client, workspace, "typed.py", text)
    for version in range(2, 62):
        start, end, a, b = random_range(text, rng)
        new = random_insert(rng)
        rows = text.split("\n")

        def units(pos):
            r, c = pos
            if r > len(rows):
                return (r - 1, 0)
            return (r - 1, len(rows[r - 1][:c].encode("utf-16-le")) // 2)
        change(client, workspace, "typed.py", version, units(start), units(end), new)
        text = text[:a] + new + text[b:]
    open_doc(client, workspace, "fresh.py", text)
    assert await outline(client, workspace, "typed.py") == await outline(client, workspace, "fresh.py")
    assert await diagnostics(client, workspace, "typed.py", 61) == await diagnostics(client, workspace, "fresh.py", 1)
