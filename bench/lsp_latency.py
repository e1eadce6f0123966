"""Language server latency right after a keystroke: a plain JSON-RPC client
over pipes drives a server as an editor does (an incremental didChange for
each typed letter, the request right behind it) and times from sending the
change to receiving the answer.  Used by run.py for `pysource lsp` and
jedi-language-server, on the same file and keystrokes."""

import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

clock = time.perf_counter

SERVERS = {
    "pysource lsp": [sys.executable, "-m", "pysource", "lsp"],
    "jedi-language-server": [sys.executable, "-c", "from jedi_language_server.cli import cli; cli()"],
}
REQUESTS = ("hover", "definition", "completion")


class Client:
    """A synchronous client: requests wait for their answer; the server's
    notifications are dropped and its requests answered with null."""

    def __init__(self, cmd, cwd):
        env = dict(os.environ)
        if env.get("PYTHONPATH"):
            # The server runs in another folder.
            env["PYTHONPATH"] = os.pathsep.join(os.path.abspath(p) for p in env["PYTHONPATH"].split(os.pathsep) if p)
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, cwd=cwd, env=env)
        self.next_id = 0

    def _send(self, message):
        body = json.dumps(message).encode("utf-8")
        self.proc.stdin.write(b"Content-Length: %d\r\n\r\n" % len(body) + body)
        self.proc.stdin.flush()

    def _read(self):
        length = None
        while True:
            header = self.proc.stdout.readline()
            if not header:
                raise EOFError("the server closed its output")
            header = header.strip()
            if not header:
                break
            name, _, value = header.partition(b":")
            if name.lower() == b"content-length":
                length = int(value)
        return json.loads(self.proc.stdout.read(length))

    def notify(self, method, params):
        self._send({"jsonrpc": "2.0", "method": method, "params": params})

    def request(self, method, params):
        self.next_id += 1
        rid = self.next_id
        self._send({"jsonrpc": "2.0", "id": rid, "method": method, "params": params})
        while True:
            message = self._read()
            if "method" in message:
                if "id" in message:
                    self._send({"jsonrpc": "2.0", "id": message["id"], "result": None})
                continue
            if message.get("id") == rid:
                if "error" in message:
                    raise RuntimeError("%s: %s" % (method, message["error"]))
                return message.get("result")

    def close(self):
        try:
            self.request("shutdown", None)
            self.notify("exit", None)
            self.proc.wait(timeout=10)
        except Exception:
            self.proc.kill()
            self.proc.wait()


def _params(kind, uri, line, col):
    pos = {"line": line, "character": col}
    return {"textDocument": {"uri": uri}, "position": pos}


def measure(name, cmd, text, row, col, keystrokes):
    """Per request kind, the seconds from a keystroke's didChange to the
    answer of the request sent right behind it.  The keystrokes type one
    more letter at (row, col) (rows from 1, the end of an assigned name),
    and each request asks about the name being typed."""
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "edited.py")
        with open(path, "w") as f:
            f.write(text)
        uri = "file://" + path
        client = Client(cmd, tmp)
        try:
            client.request("initialize", {
                "processId": os.getpid(), "rootUri": "file://" + tmp,
                "workspaceFolders": [{"uri": "file://" + tmp, "name": "bench"}],
                "capabilities": {"textDocument": {"hover": {"contentFormat": ["markdown", "plaintext"]}}},
                "initializationOptions": {"cacheDir": os.path.join(tmp, "cache")}})
            client.notify("initialized", {})
            client.notify("textDocument/didOpen", {"textDocument": {
                "uri": uri, "languageId": "python", "version": 1, "text": text}})
            version = 1
            line = row - 1
            # Warm-up: first answers load and analyse; background indexing
            # settles.
            for kind in REQUESTS:
                client.request("textDocument/" + kind, _params(kind, uri, line, col - 1))
            time.sleep(1.0)
            out = {}
            for kind in REQUESTS:
                times = []
                for k in range(keystrokes):
                    version += 1
                    letter = chr(ord("a") + k % 26)
                    t0 = clock()
                    client.notify("textDocument/didChange", {
                        "textDocument": {"uri": uri, "version": version},
                        "contentChanges": [{"range": {"start": {"line": line, "character": col},
                                                      "end": {"line": line, "character": col}},
                                            "text": letter}]})
                    col += 1
                    result = client.request("textDocument/" + kind, _params(kind, uri, line, col - 1 if kind !=
                                                                            "completion" else col))
                    times.append(clock() - t0)
                    if k == 0:
                        out[kind + "_answered"] = bool(result)
                times.sort()
                out[kind] = {"median": statistics.median(times), "p95": times[int(0.95 * (len(times) - 1))],
                             "count": len(times)}
            return out
        finally:
            client.close()


def run_lsp(text, row, col, keystrokes=100):
    """Latencies of every server that can be started, by server name; a
    server that cannot be had is given with the reason."""
    results = {}
    for name, cmd in SERVERS.items():
        if name == "jedi-language-server":
            try:
                __import__("jedi_language_server")
            except ImportError:
                results[name] = {"missing": "not installed (pip install '.[bench]')"}
                continue
        try:
            results[name] = measure(name, cmd, text, row, col, keystrokes)
        except (OSError, EOFError, RuntimeError, ValueError) as e:
            results[name] = {"missing": "%s: %s" % (type(e).__name__, e)}
    return results


if __name__ == "__main__":
    # A quick look at one file: lsp_latency.py FILE ROW COL [KEYSTROKES]
    src = open(sys.argv[1]).read()
    print(json.dumps(run_lsp(src, int(sys.argv[2]), int(sys.argv[3]),
                             int(sys.argv[4]) if len(sys.argv) > 4 else 100), indent=1))
