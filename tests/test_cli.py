"""The pysource command, run as a separate process (the installed console
script when there is one beside this interpreter) on a tree of packages
built in a temporary folder, with a temporary cache: what gets indexed,
lookups and their ranking, what is reported instead of lost, parallel and
concurrent runs, a run killed half-way, a damaged database, tags, outlines
and the type queries."""

import io
import json
import os
import signal
import sqlite3
import subprocess
import sys
import time

import logicalline
import pysource_impl
import pytest

import pysource
from pysource.cli import Progress

SCRIPT = os.path.join(os.path.dirname(sys.executable), "pysource")
COMMAND = [SCRIPT] if os.path.isfile(SCRIPT) else [sys.executable, "-m", "pysource"]
# A child process imports the modules these tests import (the dev setup
# gives relative folders).
PYTHONPATH = os.pathsep.join(dict.fromkeys(
    [os.path.dirname(os.path.abspath(m.__file__)) for m in (pysource_impl, logicalline)]
    + [os.path.dirname(os.path.dirname(os.path.abspath(pysource.__file__)))]
    + [os.path.abspath(p) for p in os.environ.get("PYTHONPATH", "").split(os.pathsep) if p]))

SHAPES = '''\
import math
from collections import OrderedDict as OD


class Shape(object):
    def __init__(self, name):
        self.name = name
        self.tags = []

    @property
    def label(self) -> str:
        return self.name

    @label.setter
    def label(self, value):
        self.name = value


class Circle(Shape):
    def __init__(self, r):
        Shape.__init__(self, "circle")
        self.r = r

    async def grow(self, by: float = 1.0, /, *, twice=False, **kw) -> None:
        self.r = float(by)

    @staticmethod
    def unit(x, *args):
        x.unused = 1


def helper(a, *rest, **kw):
    total = 0
    return total
'''

APP = '''\
import os.path as osp
if os.name: import json as j


class Flask:
    def route(self, rule, **options):
        endpoint = rule
        return endpoint


def route(x):
    return x
'''

TREE = {
    "alpha/__init__.py": "from . import util as _util\nimport alpha.cache as cache_module\n"
                         "import alpha.core.config_init\nfrom .shapes import *\n",
    "alpha/util.py": "VALUE = 1\n",
    "alpha/cache.py": "def get(key):\n    return key\n",
    "alpha/core/__init__.py": "",
    "alpha/core/config_init.py": "OPTION = True\n",
    "alpha/shapes.py": SHAPES,
    "beta/__init__.py": "",
    "beta/app.py": APP,
    "beta/stubs.pyi": "def typed(x: int) -> int: ...\n",
    "beta/broken.py": "class Before:\n    pass\n\nitems = [1, 2,\n\nclass After:\n    pass\n",
    "beta/many.py": "from .app import (%s)\n" % ", ".join("n%d" % i for i in range(300)),
    "run.py": "import alpha\n\ndef main():\n    c = alpha.Circle(2)\n",
    "README.txt": "not code\n",
}


def make_tree(root, files=TREE):
    for name, text in files.items():
        path = root / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_text(text)
    return root


@pytest.fixture
def tree(tmp_path):
    """(tree of packages, cache folder)."""
    return make_tree(tmp_path / "tree"), tmp_path / "cache"


def env_for(cache=None, env=None):
    full = dict(os.environ, PYTHONPATH=PYTHONPATH)
    full.pop("PYSOURCE_CACHE", None)
    if cache is not None:
        full["PYSOURCE_CACHE"] = str(cache)
    full.update(env or {})
    return full


def run(args, cwd, cache=None, env=None, code=0, timeout=180):
    r = subprocess.run(COMMAND + args, cwd=str(cwd), env=env_for(cache, env), capture_output=True,
                       text=True, timeout=timeout)
    assert r.returncode == code, (r.returncode, r.stdout, r.stderr)
    return r


def summary(r):
    (line,) = [l for l in r.stdout.splitlines() if l.startswith("indexed ")]
    return line


def found(cwd, cache, *args, code=0):
    """`find --json` as a list of (kind, qualified name, path relative to
    the tree, line, column, signature)."""
    r = run(["find", "--json", *args], cwd, cache, code=code)
    rows = [json.loads(l) for l in r.stdout.splitlines()]
    return [(d["kind"], d["full_name"], os.path.relpath(d["path"], cwd), d["line"], d["column"],
             d["signature"]) for d in rows]


def everything(cwd, cache):
    r = run(["find", "*", "--locals", "--json"], cwd, cache)
    return sorted(r.stdout.splitlines())


# -- indexing ------------------------------------------------------------------

def test_index_summary_counts_one_thing_in_the_singular(tmp_path):
    (tmp_path / "one.py").write_text("def f(:\n")
    line = summary(run(["index", "one.py", "-j", "1"], tmp_path, tmp_path / "cache"))
    assert line.startswith("indexed 1 file (1 analysed, 0 unchanged), 1 logical line, 2 definitions, ")
    assert line.endswith("with 1 job; 1 line did not parse, 0 names dropped, 1 file with syntax errors; none failed")


def test_index_the_working_folder_and_report_what_is_lost(tree):
    root, cache = tree
    r = run(["index", "-j", "1", "--verbose"], root, cache)
    line = summary(r)
    assert line.startswith("indexed 12 files (12 analysed, 0 unchanged), ")
    assert "; 1 line did not parse, 45 names dropped, 1 file with syntax errors; none failed" in line
    err = r.stderr.splitlines()
    assert "pysource: beta/broken.py: syntax error at line 4: '[' was never closed; " \
           "indexed as far as it could be analysed" in err
    assert "pysource: beta/many.py:1: 45 names past the 255 a line can hold were dropped" in err
    assert any(e.startswith("pysource: beta/broken.py:4: line did not parse") for e in err)
    # What comes before the bad line is indexed.
    assert found(root, cache, "Before")[0][:2] == ("class", "beta.broken.Before")
    # Unchanged files stay as they are; an edit is analysed again, a
    # removed file dropped; the standard library only when asked.
    assert "(0 analysed, 12 unchanged)" in summary(run(["index"], root, cache))
    (root / "run.py").write_text("def main2():\n    pass\n")
    (root / "beta" / "stubs.pyi").unlink()
    assert "11 files (1 analysed, 10 unchanged)" in summary(run(["index", "-j", "2"], root, cache))
    assert found(root, cache, "main2")[0][1] == "run.main2"
    assert found(root, cache, "typed", code=1) == []
    assert run(["roots", "--json"], root, cache).stdout == json.dumps(
        {"root": str(root), "files": 11}) + "\n"


def test_failed_files_are_tried_again(tree):
    root, cache = tree
    bad = root / "alpha" / "latin.py"
    bad.write_bytes(b"x = '\xe9'\n")
    (root / "alpha" / "badcoding.py").write_bytes(b"# -*- coding: nonesuch -*-\nx = 1\n")
    r = run(["index", "-j", "1"], root, cache)
    assert "; 2 failed: not valid UTF-8, unknown encoding: nonesuch" in summary(r)
    assert "pysource: alpha/latin.py: not valid UTF-8 (byte 0xe9 at offset 5)" in r.stderr
    # Readable now, with the same size and time as when it failed.
    st = bad.stat()
    bad.write_bytes(b"x = 'e'\n")
    os.utime(bad, ns=(st.st_atime_ns, st.st_mtime_ns))
    assert bad.stat().st_size == st.st_size
    r = run(["index", "-j", "1", "--json"], root, cache)
    (line,) = r.stdout.splitlines()
    got = json.loads(line)
    assert (got["analysed"], got["unchanged"], got["unparsed_lines"], got["dropped_names"]) == (1, 12, 1, 45)
    assert got["failed"] == [{"path": str(root / "alpha" / "badcoding.py"), "reason": "unknown encoding: nonesuch"}]
    assert found(root, cache, "x", "--path", "alpha/latin.py")[0][:2] == ("generic", "alpha.latin.x")


@pytest.mark.parametrize("args, message", [
    (["index", "nowhere"], "pysource: nowhere: no such file or folder"),
    (["index", "README.txt"], "pysource: README.txt: not a Python source file"),
    (["index", "bad.py"], "pysource: bad.py: not valid UTF-8 (byte 0xff at offset 4)"),
    (["find", "x", "--path", "nowhere"], "pysource: nowhere: no such file or folder"),
    (["find", "x", "--cache-dir", "run.py"], "pysource: run.py: cache folder is not a folder"),
    (["find", ""], "pysource: empty pattern (use '*' for every name)"),
    (["outline", "nowhere.py"], "pysource: nowhere.py: no such file"),
    (["outline", "alpha"], "pysource: alpha: is a folder, not a Python file"),
    (["outline", "nul.py"], "pysource: nul.py: not a Python source file"),
    (["types", "alpha/shapes.py", "Circle.nope", "x"], "pysource: alpha/shapes.py: no scope 'Circle.nope'"),
    (["types", "alpha/shapes.py", "Circle.grow", "nope"],
     "pysource: alpha/shapes.py: no name 'nope' in scope 'Circle.grow'"),
    (["attrs", "alpha/shapes.py", "Square"], "pysource: alpha/shapes.py: no class 'Square'"),
    (["attrs", "alpha/shapes.py", "helper"], "pysource: alpha/shapes.py: 'helper' is not a class"),
    (["attrs", "alpha/shapes.py", "Circle", "--methods", "__init__,shrink"],
     "pysource: alpha/shapes.py: class 'Circle' has no method 'shrink'"),
    (["find", "x", "--kind", "class,variable"], "pysource find: error: argument --kind: unknown kind "
     "'variable' (choose from class, function, import, generic, module)"),
    (["index", "-j", "0"], "pysource index: error: argument -j/--jobs: not a positive number: '0'"),
    ([], "pysource: error: the following arguments are required: COMMAND"),
])
def test_bad_input_is_one_line_and_an_error_status(tree, args, message):
    root, cache = tree
    (root / "bad.py").write_bytes(b"x = \xff\n")
    (root / "nul.py").write_bytes(b"x = 1\0\n")
    usage = ": error: " in message
    r = run(args, root, None if "--cache-dir" in args else cache, code=2 if usage else 1)
    assert r.stderr.splitlines()[-1] == message
    assert r.stderr.startswith("usage: ") if usage else r.stderr == message + "\n"


# -- lookups -------------------------------------------------------------------

def test_find_qualified_ranked_with_lines_columns_and_statements(tree):
    root, cache = tree
    nothing = run(["find", "Flask"], root, cache, code=1)
    assert nothing.stdout == "" and "nothing is indexed" in nothing.stderr
    run(["index", "-j", "1"], root, cache)
    flask = ("class", "beta.app.Flask", "beta/app.py", 5, 6, "class Flask:")
    method = ("function", "beta.app.Flask.route", "beta/app.py", 6, 8,
              "def route(self, rule, **options):")
    for pattern in ["Flask", "beta.app.Flask", "app.Flask", "flask", "F*sk", "*l*s*"]:
        extra = ["-i"] if pattern == "flask" else []
        assert found(root, cache, pattern, "--kind", "class", *extra) == [flask], pattern
    assert found(root, cache, "Flask.route") == [method]
    assert found(root, cache, "route", "--scope", "beta.app.Flask") == [method]
    assert found(root, cache, "route", "--scope", "Flask") == [method]
    # Exact names first, classes and functions before other names, imports
    # last; locals only when asked.
    assert [r[:2] for r in found(root, cache, "route")] == [
        ("function", "beta.app.Flask.route"), ("function", "beta.app.route")]
    assert found(root, cache, "endpoint", code=1) == []
    assert found(root, cache, "endpoint", "--locals")[0][1] == "beta.app.Flask.route.endpoint"
    assert [r[1] for r in found(root, cache, "*ha*e*")] == [
        "alpha.shapes", "alpha.shapes.Shape", "alpha.Shape"]
    # An import's row is its real statement, on a compound line too.
    assert found(root, cache, "osp") == [
        ("import", "beta.app.osp", "beta/app.py", 1, 18, "import os.path as osp")]
    assert found(root, cache, "j") == [("import", "beta.app.j", "beta/app.py", 2, 27, "import json as j")]
    # A package's __init__ importing its own submodules.
    assert [r[1:] for r in found(root, cache, "*", "--kind", "import", "--path", "alpha/__init__.py")
            if r[1] in ("alpha._util", "alpha.cache_module", "alpha.alpha")] == [
        ("alpha._util", "alpha/__init__.py", 1, 22, "from . import util as _util"),
        ("alpha.cache_module", "alpha/__init__.py", 2, 22, "import alpha.cache as cache_module"),
        ("alpha.alpha", "alpha/__init__.py", 3, 7, "import alpha.core.config_init")]
    # Text rows; the limit; a stub file.
    r = run(["find", "typed", "--limit", "1"], root, cache)
    assert r.stdout == "beta/stubs.pyi:1:5: function typed: def typed(x: int) -> int: ...\n"
    miss = run(["find", "Nope.none"], root, cache, code=1)
    assert miss.stdout == "" and "no definition matches 'Nope.none' in" in miss.stderr


def test_the_working_folder_decides_the_corpus(tree, tmp_path):
    root, cache = tree
    other = make_tree(tmp_path / "other", {"lib.py": "class Flask:\n    pass\n"})
    run(["index", "-j", "1", "beta"], root, cache)
    run(["index", "-j", "1"], other, cache)
    assert [r[1] for r in found(root / "beta", cache, "Flask")] == ["beta.app.Flask"]
    assert [r[1] for r in found(other, cache, "Flask")] == ["lib.Flask"]
    # Outside every root: all of them.
    assert len(found(tmp_path, cache, "Flask")) == 2
    # --path narrows the search and adds nothing to the index.
    assert found(tmp_path, cache, "Flask", "--path", str(other)) == [
        ("class", "lib.Flask", "other/lib.py", 1, 6, "class Flask:")]
    r = run(["find", "Flask", "--path", str(root / "alpha")], tmp_path, cache, code=1)
    assert "not under an indexed root" in r.stderr
    roots = run(["roots"], tmp_path, cache).stdout.splitlines()
    assert roots == ["%s\t1 files" % other, "%s\t5 files" % (root / "beta")]
    (other / "lib.py").unlink()
    other.rmdir()
    r = run(["find", "Flask", "--path", str(root)], tmp_path, cache)
    assert r.stderr == "pysource: indexed root %s is gone; 'pysource roots --remove %s' forgets it\n" % (
        other, other)
    run(["roots", "--remove", str(other)], tmp_path, cache)
    assert [r[1] for r in found(tmp_path, cache, "Flask")] == ["beta.app.Flask"]
    run(["roots", "--remove", str(other)], tmp_path, cache, code=1)


# -- runs in parallel, together, killed ------------------------------------------

def big_tree(root, n=120):
    files = {}
    for i in range(n):
        body = "".join("class C%d_%d:\n    def m(self, a):\n        self.v = a\n" % (i, k)
                       for k in range(150))
        # Cycles of three modules that star-import each other.
        files["pkg%d/__init__.py" % (i // 30)] = ""
        files["pkg%d/mod%d.py" % (i // 30, i)] = "from .mod%d import *\n" % (i // 3 * 3 + (i + 1) % 3) + body
    return make_tree(root, files)


def test_results_are_the_same_whatever_the_number_of_jobs_and_the_order(tree, tmp_path):
    root, _ = tree
    # Modules that star-import each other in a cycle.
    names = ["c%d" % i for i in range(8)]
    make_tree(root, {"cyc/%s.py" % n: "from .%s import *\nclass K%s: pass\n" % (names[(i + 1) % len(names)], n)
                     for i, n in enumerate(names)} | {"cyc/__init__.py": ""})
    one, three, apart = tmp_path / "one", tmp_path / "three", tmp_path / "apart"
    assert "with 1 job;" in summary(run(["index", "-j", "1"], root, one))
    assert "with 3 jobs;" in summary(run(["index", "-j", "3"], root, three))
    for n in reversed(names):
        run(["index", "cyc/%s.py" % n], root, apart)
    assert everything(root, one) == everything(root, three)
    assert [l for l in everything(root, one) if "/cyc/c" in l] == everything(root, apart)


def test_concurrent_runs_and_a_run_killed_half_way(tmp_path):
    root = big_tree(tmp_path / "big")
    clean, shared = tmp_path / "clean", tmp_path / "shared"
    run(["index", "-j", "1"], root, clean)
    expected = everything(root, clean)
    # Killed while writing; the next run completes and nothing is lost.
    p = subprocess.Popen(COMMAND + ["index", "-j", "1"], cwd=str(root), env=env_for(shared),
                         stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    db = None
    deadline = time.monotonic() + 120
    try:
        while time.monotonic() < deadline and p.poll() is None:
            db = db or next(shared.glob("index-*.sqlite3"), None)
            if db is not None:
                with sqlite3.connect(db, timeout=30) as con:
                    try:
                        if con.execute("SELECT count(*) FROM files").fetchone()[0] >= 5:
                            break
                    except sqlite3.OperationalError:
                        pass
            time.sleep(0.05)
        killed = p.poll() is None
        p.send_signal(signal.SIGKILL)
    finally:
        p.wait()
    assert killed, "the run ended before it could be killed"
    # Two runs at once on the same index.
    procs = [subprocess.Popen(COMMAND + ["index", "-j", "1"], cwd=str(root), env=env_for(shared),
                              stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
             for _ in range(2)]
    outs = [p.communicate(timeout=300) for p in procs]
    assert [p.returncode for p in procs] == [0, 0], outs
    assert all(o[0].startswith("indexed 124 files") and "none failed" in o[0] for o in outs), outs
    assert everything(root, shared) == expected


KEPT = []    # the database as it was, for damage that keeps its first page


@pytest.mark.parametrize("damage, reason", [
    (lambda db: db.write_bytes(b"garbage " * 1000), "damaged (file is not a database)"),
    (lambda db: sqlite3.connect(db).execute("CREATE TABLE t(x)").connection.commit(),
     "is not a pysource index"),
    (lambda db: db.mkdir(), "is a folder"),
    (lambda db: db.write_bytes(KEPT[0][:4096] + b"\xa5" * (len(KEPT[0]) - 4096)),
     "damaged (database disk image is malformed)"),
])
def test_a_damaged_database_is_reported_and_rebuilt(tree, damage, reason):
    root, cache = tree
    run(["index", "-j", "1", "beta"], root, cache)
    db = next(cache.glob("index-*.sqlite3"))
    with sqlite3.connect(db) as con:
        con.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    KEPT[:] = [db.read_bytes()]
    for p in cache.glob("index-*"):
        os.unlink(p)
    damage(db)
    r = run(["find", "Flask"], root, cache, code=1)
    assert r.stderr.splitlines()[0] == "pysource: warning: index database %s %s; rebuilding it" % (db, reason)
    assert "nothing is indexed" in r.stderr
    r = run(["index", "-j", "1", "beta"], root, cache)
    assert "warning" not in r.stderr
    assert [x[1] for x in found(root, cache, "Flask")] == ["beta.app.Flask"]


# -- tags, outlines, queries ---------------------------------------------------

def test_tags_in_the_extended_format(tree):
    root, cache = tree
    run(["tags", "beta", "-j", "1"], root, cache)
    lines = (root / "tags").read_text().splitlines()
    head = [l for l in lines if l.startswith("!_TAG_")]
    assert head[:2] == ['!_TAG_FILE_FORMAT\t2\t/extended format; --format=1 will not append ;" to lines/',
                        "!_TAG_FILE_SORTED\t1\t/0=unsorted, 1=sorted, 2=foldcase/"]
    body = lines[len(head):]
    assert body == sorted(body)
    assert "Flask\tbeta/app.py\t/^class Flask:$/;\"\tc\tline:5" in body
    assert "route\tbeta/app.py\t/^    def route(self, rule, **options):$/;\"\tm\tline:6\tclass:Flask" in body
    assert not any(l.startswith(("endpoint\t", "osp\t")) for l in body)
    ctags = "/usr/bin/ctags"
    if os.path.exists(ctags):
        theirs = subprocess.run([ctags, "-f", "-", "beta/app.py"], cwd=root, capture_output=True,
                                text=True).stdout.splitlines()
        ours = run(["tags", "beta/app.py", "-o", "-"], root, cache).stdout.splitlines()
        fields = lambda ls: sorted(tuple(l.split("\t")[:4]) for l in ls
                                   if not l.startswith("!") and l.split("\t")[3] in "cfmv")
        assert fields(ours) == fields(theirs)


@pytest.mark.parametrize("between", ["\f\n", "x = '\u2028'\n", "x = '\x85'  # \x1c\n"])
def test_tags_pattern_is_the_definitions_own_line(tmp_path, between):
    # Characters str.splitlines takes for line ends but Python source does
    # not must leave the rows of later definitions where they are.
    (tmp_path / "m.py").write_text("a = 1\n" + between + "def f(x):\n    return x\n", encoding="utf-8")
    out = run(["tags", "m.py", "-o", "-", "-j", "1"], tmp_path, tmp_path / "cache").stdout
    assert "f\tm.py\t/^def f(x):$/;\"\tf\tline:3" in out.splitlines()


def test_tags_pattern_decodes_the_files_own_encoding(tmp_path):
    # The pattern is searched in the editor's buffer, which holds the file
    # decoded by its coding declaration: a replacement character would
    # never match.
    (tmp_path / "m.py").write_bytes(b"# -*- coding: latin-1 -*-\ndef f(x='\xe9'):\n    return x\n")
    out = run(["tags", "m.py", "-o", "-", "-j", "1"], tmp_path, tmp_path / "cache").stdout
    assert "f\tm.py\t/^def f(x='\u00e9'):$/;\"\tf\tline:2" in out.splitlines()


def test_outline_shows_signatures_as_written(tree):
    root, cache = tree
    text = run(["outline", "alpha/shapes.py"], root, cache).stdout
    assert text.splitlines()[:10] == [
        "    5  class Shape(object)",
        "           attributes: name, tags",
        "    6      def __init__(self, name)",
        "           @property",
        "   11      def label(self) -> str    [property getter]",
        "           @label.setter",
        "   15      def label(self, value)    [property setter]",
        "   19  class Circle(Shape)",
        "           attributes: r",
        "   20      def __init__(self, r)"]
    assert "   24      async def grow(self, by: float = 1.0, /, *, twice=False, **kw) -> None\n" \
           "           @staticmethod\n   28      def unit(x, *args)\n" in text
    rows = [json.loads(l) for l in run(["outline", "--json", "alpha/shapes.py"], root, cache).stdout.splitlines()]
    assert rows[3]["full_name"] == "Shape.label" and rows[3]["property"] == "setter"
    assert rows[3]["parent"] == "Shape" and rows[3]["decorators"] == ["label.setter"]


def test_types_attrs_and_help(tree):
    root, cache = tree
    assert run(["types", "alpha/shapes.py", "Circle.grow", "self"], root, cache).stdout == "Circle:\n"
    assert run(["types", "--json", "alpha/shapes.py", "Shape.__init__", "self.tags"], root, cache).stdout \
        == json.dumps({"path": str(root / "alpha/shapes.py"), "scope": "Shape.__init__",
                       "name": "self.tags", "type": "::list:"}) + "\n"
    r = run(["attrs", "alpha/shapes.py", "Circle", "--methods", "__init__"], root, cache)
    assert r.stdout == "r (line 22)\n    Circle.__init__: r\n"
    for cmd in ("types", "attrs"):
        help_text = run([cmd, "--help"], root).stdout
        assert "::dict:      a dict literal" in help_text and "an instance of the class Name" in help_text
    for cmd in ("outline", "types", "attrs", "index", "find", "roots", "tags"):
        assert "--json" in run([cmd, "--help"], root).stdout
    assert run(["--version"], root).stdout == "pysource %s\n" % pysource.__version__


def test_progress_bar_only_on_a_terminal():
    pipe = io.StringIO()
    Progress(pipe, delay=0)(1, 2, "/a/b.py")
    assert pipe.getvalue() == ""
    term = io.StringIO()
    term.isatty = lambda: True
    bar = Progress(term, delay=0)
    bar(0, 4, "/a/first.py")
    bar(4, 4, None)
    bar.note("hello")
    text = term.getvalue()
    assert text.startswith("\rindexing [........................] 0/4 first.py")
    assert "\rindexing [########################] 4/4" in text
    assert text.endswith("\rpysource: hello\n") and "\n" not in text[:-1].replace("hello", "")
