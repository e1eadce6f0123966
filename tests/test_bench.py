"""The benchmark harness runs end to end on a small corpus and writes its
JSON; nothing about time is checked, only that every row was measured and
the figures hang together."""

import json
import os
import subprocess
import sys
import textwrap

RUN = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "bench", "run.py")

SHAPES = textwrap.dedent('''
    """Shapes."""
    import re
    from .util import *


    class Shape:
        def __init__(self, name):
            self.name = name
            size = 0
            self.size = size

        @staticmethod
        def parse(text):
            found = re.match("x", text)
            return found

        def area(self):
            total = 0
            for part in self.parts():
                total = total + part
            return total


    def helper(a, b=1):
        value = a + b
        if not re: import pkg.util
        return value
''')

UTIL = textwrap.dedent('''
    __all__ = ["scale"]


    def scale(x, factor):
        result = x * factor
        return result
''')


def test_harness_runs_and_writes_json(tmp_path):
    pkg = tmp_path / "corpus" / "pkg"
    pkg.mkdir(parents=True)
    (pkg / "__init__.py").write_text("")
    (pkg / "shapes.py").write_text(SHAPES)
    (pkg / "util.py").write_text(UTIL)
    (pkg / "broken.py").write_text("def f(:\n    x = 1\n")
    (pkg / "tests").mkdir()
    (pkg / "tests" / "test_util.py").write_text("from pkg.util import scale\nassert scale(2, 3) == 6\n")
    out = tmp_path / "out.json"
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run(
        [sys.executable, RUN, "--corpus", str(tmp_path / "corpus"), "--sample", "2", "--repeat", "2",
         "--edit-lines", "40", "--skip", "jedi,parso", "--json", str(out)],
        capture_output=True, text=True, env=env, cwd=tmp_path, timeout=600)
    assert proc.returncode == 0, proc.stderr
    assert "pysource: full analysis" in proc.stdout

    res = json.loads(out.read_text())
    corpus = res["corpus"]
    assert corpus["files"] == 5 and corpus["lines"] == sum(
        len(p.read_text().splitlines()) for p in pkg.rglob("*.py"))
    assert corpus["lines_not_parsed"] == 1 and corpus["logical_lines"] > 30
    rows = {r["name"]: r for r in res["table"][0]["rows"]}
    full = rows["pysource: full analysis"]
    assert full["ratio"] == 1 and full["files"] == 5 and "best of 2" in full["note"]
    for name in ("  split into logical lines", "  parse + transform (native grammar)",
                 "ast.parse (whole files)", "index: save stored form", "index: load stored form"):
        assert rows[name]["seconds"] is not None and rows[name]["seconds"] >= 0, name
    # The stored form comes back whole, the if line whose import entry
    # holds the imported module's analysis included.
    assert ("%d lines" % corpus["logical_lines"]) in rows["index: load stored form"]["note"]

    command = res["command"]
    assert command["summary"].startswith("indexed 5 files") and len(command["find_seconds"]) == 5
    assert rows["pysource index -j %d (command, fresh cache)" % (os.cpu_count() or 1)]["seconds"] > 0

    edit = res["edit"]
    assert edit["query_found_new_name"] and len(edit["keystroke_seconds"]) == 20
    assert edit["range_query_found_new_name"] and len(edit["range_keystroke_seconds"]) == 20
    assert edit["scope"] in ("Shape.__init__", "Shape.parse", "Shape.area", "helper", "scale")
    mem = res["memory"]
    assert mem["rss"]["logical_lines"] == corpus["logical_lines"]
    assert mem["rss"]["maxrss"] > 0 and mem["tracemalloc"]["traced_current"] > 0
    # The test suite left out, timed from the files of the corpus run.
    modules = {r["name"]: r for r in res["table"][1]["rows"]}
    assert res["table"][1]["section"].startswith("without the test suite: 4 files")
    assert modules["pysource: full analysis"]["seconds"] <= full["seconds"]
    sample = {r["name"]: r for r in res["table"][2]["rows"]}
    assert len(res["sample"]) == 2 and sample["pysource: full analysis"]["files"] == 2
