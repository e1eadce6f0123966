"""A real editor: Neovim, headless, opens a file of a workspace, attaches
`pysource lsp` through its own LSP client, and asks for a definition and
the document symbols."""

import json
import os
import shutil
import subprocess
import sys

import pytest

from test_lsp import _env, write_workspace

NVIM = shutil.which("nvim")

SCRIPT = r"""
local out = {}
local function finish()
  vim.fn.writefile({vim.fn.json_encode(out)}, OUTPUT)
  vim.cmd("qa!")
end
local ok, err = pcall(function()
  local id = vim.lsp.start_client({
    name = "pysource",
    cmd = {PYTHON, "-m", "pysource", "lsp"},
    cmd_env = ENV,
    root_dir = ROOT,
    workspace_folders = {{uri = vim.uri_from_fname(ROOT), name = "ws"}},
    init_options = {cacheDir = CACHE},
  })
  vim.cmd("edit " .. vim.fn.fnameescape(ROOT .. "/app.py"))
  vim.lsp.buf_attach_client(0, id)
  local ready = vim.wait(30000, function()
    local c = vim.lsp.get_client_by_id(id)
    return c ~= nil and c.initialized == true
  end, 50)
  out.ready = ready
  local uri = vim.uri_from_bufnr(0)
  local def = vim.lsp.buf_request_sync(0, "textDocument/definition",
    {textDocument = {uri = uri}, position = {line = LINE, character = CHARACTER}}, 30000)
  out.definition = def and def[id] and def[id].result or vim.NIL
  local syms = vim.lsp.buf_request_sync(0, "textDocument/documentSymbol",
    {textDocument = {uri = uri}}, 30000)
  out.symbols = syms and syms[id] and syms[id].result or vim.NIL
  vim.lsp.stop_client(id)
end)
if not ok then out.error = tostring(err) end
finish()
"""


@pytest.mark.skipif(NVIM is None, reason="Neovim is not installed here (Debian: apt-get install neovim; "
                                         ".ci/run installs it)")
def test_neovim_attaches_and_gets_definitions_and_symbols(tmp_path):
    root = write_workspace(tmp_path / "ws")
    app = (root / "app.py").read_text()
    i = app.index("helper(3")
    line = app.count("\n", 0, i)
    character = i - (app.rfind("\n", 0, i) + 1)
    output = tmp_path / "out.json"

    def lua(value):
        return json.dumps(value)        # a JSON string is a Lua string literal

    env = _env()
    env_table = "{" + ", ".join("[%s] = %s" % (lua(k), lua(env[k])) for k in ("PYTHONPATH", "PATH", "HOME")
                                if k in env) + "}"
    script = tmp_path / "attach.lua"
    script.write_text("\n".join([
        "PYTHON = %s" % lua(sys.executable), "ROOT = %s" % lua(str(root)), "CACHE = %s" % lua(str(tmp_path / "c")),
        "OUTPUT = %s" % lua(str(output)), "ENV = %s" % env_table, "LINE = %d" % line,
        "CHARACTER = %d" % character, SCRIPT]))
    proc = subprocess.run([NVIM, "--headless", "--clean", "-n", "-c", "luafile " + str(script)],
                          cwd=str(root), env=dict(os.environ, XDG_STATE_HOME=str(tmp_path / "state")),
                          capture_output=True, text=True, timeout=120)
    assert output.exists(), proc.stderr
    got = json.loads(output.read_text())
    assert "error" not in got, got["error"]
    assert got["ready"]
    [target] = got["definition"]
    assert target["uri"] == (root / "pkg" / "models.py").as_uri()
    assert target["range"]["start"] == {"line": 28, "character": 4}
    assert [(s["name"], s["kind"]) for s in got["symbols"]] == [("main", 12)]
