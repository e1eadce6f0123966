"""The native splitter against the Python one (real files of this and other
interpreters' standard libraries, seeded edits and mutations), its handling
of bad arguments and its references; and the choice of host."""

import gc
import json
import os
import random
import shutil
import subprocess
import sys
import sysconfig
import tracemalloc

import logicalline as ll
import pytest

import pysource
from pysource import edits, hosts
import splitter_differential as sd

SLOW = os.environ.get("PYSOURCE_SLOW") == "1"
ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
STDLIB = sysconfig.get_paths()["stdlib"]


def test_same_lines_as_the_python_splitter_on_the_standard_library():
    # The whole library with PYSOURCE_SLOW=1, else every 12th file.
    report = sd.run(STDLIB, 1 if SLOW else 12, seed=0, mutations=0)
    assert report["files"] >= (1500 if SLOW else 120)
    assert report["differences"] == []


def test_same_lines_on_seeded_mutations_and_nothing_on_stderr(capfd):
    report = sd.run(STDLIB, 40, seed=11, mutations=20000 if SLOW else 400)
    assert report["differences"] == []
    assert capfd.readouterr().err == ""


@pytest.mark.parametrize("text", [
    "", "\n", "  ", "\\", "x\\", "x = \\", "'", "f'{", "f'{x", "f'{x:", "f'{x!", 'f"""{\n', "0x", "1e", "1_",
    "\0", "x\0y = 1", "\r", "\r\r\n", "\f", "#", "(\n#", "async", "async def", "def", "class",
    "f'{'''a'''}'", "f'{a #}'\n", "b'\\", "'''\\", "\ud800 = 1", "\U0001d518(x)", "é.é",
])
def test_same_lines_on_broken_fragments(text):
    assert sd.difference(sd.load_reference(), text) is None


def _other_python(version):
    exe = "/root/.pyenv/versions/%s/bin/python" % version
    return exe if os.path.exists(exe) else None


@pytest.mark.parametrize("version", ["3.10.13", "3.12.1", "3.13.0"])
def test_same_lines_under_other_interpreters(version, tmp_path):
    """The logical line module built for another interpreter, run there on
    its own standard library."""
    exe = _other_python(version)
    if exe is None:
        pytest.skip("Python %s is not installed under /root/.pyenv/versions" % version)
    if shutil.which("cmake") is None or shutil.which("ninja") is None:
        pytest.skip("cmake and ninja are needed to build the module for Python %s" % version)
    out = os.path.join(ROOT, "build", "splitter-py" + version)
    configure = ["cmake", "-S", ROOT, "-B", out, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
                 "-DPython_EXECUTABLE=" + exe, "-DCMAKE_LIBRARY_OUTPUT_DIRECTORY=" + out]
    for cmd in (configure, ["cmake", "--build", out, "--target", "logicalline"]):
        proc = subprocess.run(cmd, capture_output=True, text=True)
        assert proc.returncode == 0, proc.stdout[-2000:] + proc.stderr[-2000:]
    stdlib = subprocess.run([exe, "-c", "import sysconfig; print(sysconfig.get_paths()['stdlib'])"],
                            capture_output=True, text=True, check=True).stdout.strip()
    env = dict(os.environ, PYTHONPATH=out)
    proc = subprocess.run([exe, os.path.join(ROOT, "tests", "splitter_differential.py"), stdlib,
                           "1" if SLOW else "15", "5", "2000" if SLOW else "100"],
                          capture_output=True, text=True, env=env)
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr[-2000:]
    report = json.loads(proc.stdout)
    assert report["files"] >= (1500 if SLOW else 100) and report["differences"] == []


def test_rescanning_an_edit_gives_a_full_scan_and_what_the_python_rescan_gives():
    ref = sd.load_reference()
    rnd = random.Random(3)
    for name in ("textwrap.py", "shlex.py"):
        text = sd.read(os.path.join(STDLIB, name))
        records = ll.scan_logical_lines(text)
        for k in range(200):
            new = sd.mutate(rnd, text) if k % 3 == 0 else \
                text[:(i := rnd.randrange(len(text) + 1))] + rnd.choice(sd.PIECES) + text[i:]
            again = ll.rescan_logical_lines(text, records, new, None, 1 + k % 4)
            assert again == ll.scan_logical_lines(new)
            assert again == ref.rescan_logical_lines(text, records, new, None, 1 + k % 4)
            text, records = new, again


def _window_args(rnd, text, a, b, piece, junk):
    """rescan_window's arguments for text[a:b] replaced by `piece`: the new
    text held as a base with a hole around the edit, `junk` in the base
    where the hole is."""
    new = text[:a] + piece + text[b:]
    start = rnd.randint(max(0, a - 40), a)
    end = rnd.randint(a + len(piece), min(len(new), a + len(piece) + 40))
    base = new[:start] + junk + new[end:]
    first_row = text.count("\n", 0, a) + 1
    return new, dict(base=base, hole_start=start, hole_end=start + len(junk), hole=new[start:end], prefix=a,
                     new_end=a + len(piece), first_row=first_row,
                     last_old_row=first_row + text.count("\n", a, max(a, b - 1)),
                     delta=piece.count("\n") - text.count("\n", a, b), added_rows=piece.count("\n"))


def test_rescanning_a_window_of_a_text_with_a_hole_gives_what_the_python_rescan_gives():
    # The source buffer's re-split: the new text given as a base with a
    # hole, the records changed in place when no line moved.
    rnd = random.Random(5)
    pieces = [p for p in sd.PIECES if "\r" not in p] + ["x", "    ", "def g(self):\n    ", "@d\n"]
    for name in ("textwrap.py", "shlex.py"):
        text = sd.read(os.path.join(STDLIB, name)).replace("\r", "")
        records = ll.scan_logical_lines(text)
        for k in range(300):
            a = rnd.randrange(len(text) + 1)
            b = a if k % 2 else min(len(text), a + rnd.randrange(30))
            piece = "".join(rnd.choice(pieces) for _ in range(rnd.randrange(3)))
            if a == b and not piece:
                continue
            new, args = _window_args(rnd, text, a, b, piece, rnd.choice(["", "\n", "(", "'''x\n", "é"]))
            want = edits._rescan_range(text, list(records), new, a, b, a + len(piece), {}, args["first_row"],
                                       text.count("\n") + 1, ll.scan_logical_lines, 1 + k % 4, False, True)
            mine = list(records)
            # Any guess at the first record the edit reaches gives the same.
            hint = rnd.choice([-1, rnd.randrange(len(records) + 2), want[1], want[1] + 1, want[1] - 1])
            got = ll.rescan_window(**args, records=mine, pool={}, tries=1 + k % 4, hint=hint)
            full = ll.scan_logical_lines(new)
            if got is None:
                assert want[0] == full and want[1:3] == (0, 0)
            else:
                assert got == want and got[0] == full
                assert (got[0] is mine) == (got[3] is not None)
            text, records = new, full


def test_common_ends_are_what_the_python_comparison_finds():
    rnd = random.Random(9)
    text = sd.read(os.path.join(STDLIB, "shlex.py"))
    pairs = [("", ""), ("abc", "abc"), ("abc", ""), ("ab", "abab"), ("xé", "x\U0001f600"), ("a\U0001f600b", "ab")]
    for _ in range(60):
        a = rnd.randrange(len(text) + 1)
        b = min(len(text), a + rnd.randrange(600))
        pairs.append((text, text[:a] + rnd.choice(["", "x", "é", "\U0001f600", text[a:b]]) + text[b:]))
    for old, new in pairs:
        assert ll.common_ends(old, new) == edits._common_ends(old, new), (old[:20], new[:20])


@pytest.mark.parametrize("change, error", [
    (dict(hole_start=5, hole_end=4), "hole is not a range"),
    (dict(hole_end=99), "hole is not a range"),
    (dict(prefix=3, new_end=2), "edit is not a range"),
    (dict(new_end=99), "edit is not a range"),
])
def test_rescanning_a_window_out_of_range_is_a_value_error(change, error):
    text = "x = 1\ny = 2\n"
    args = dict(base=text, hole_start=4, hole_end=5, hole="7", records=ll.scan_logical_lines(text), prefix=4,
                new_end=5, first_row=1, last_old_row=1, delta=0, added_rows=0, pool={})
    args.update(change)
    with pytest.raises(ValueError, match=error):
        ll.rescan_window(**args)


@pytest.mark.parametrize("rows, insert", [(65520, "\n" * 20), (65560, "x = 1"), (64990, "\n"), (100, "(\n" * 3)])
def test_rescanning_around_the_row_limit_gives_a_full_scan(rows, insert):
    # Rows past 65535 saturate in positions; texts of 65000 rows or more are scanned whole.
    text = "def f(a):\n    return a\n" * (rows // 2)
    records = ll.scan_logical_lines(text)
    for at in (len(text) // 2, len(text) - 3):
        new = text[:at] + insert + text[at:]
        assert ll.rescan_logical_lines(text, records, new) == ll.scan_logical_lines(new)


@pytest.mark.parametrize("args, error", [
    (("x", [("x",)], "y"), "tuple of 8 items"),
    (("x = 1\ny", [(["x"], [(1, 0)], "1", 1, 0, 0, False, False)], "x = 1\nz"), "integer"),
    (("x", ({},), "y"), "must be list"),
])
def test_rescanning_bad_records_is_a_type_error(args, error):
    with pytest.raises(TypeError, match=error):
        ll.rescan_logical_lines(*args)


@pytest.mark.parametrize("call, error", [
    (lambda: ll.split_logical_lines(b"x = 1"), "text must be a str"),
    (lambda: ll.scan_logical_lines("x", []), "pool must be a dict or None"),
    (lambda: ll.split_logical_lines("x = y", {"y": 5}), "maps 'y' to int"),
    (lambda: ll.split_logical_lines(), "missing"),
])
def test_bad_arguments_are_type_errors(call, error):
    with pytest.raises(TypeError, match=error):
        call()


def test_splits_leave_no_references_behind():
    text = sd.read(os.path.join(STDLIB, "textwrap.py"))[:4000] + "\nasync def f(): x = f'{a!r}'\n# end"
    pool = {}
    first = ll.split_logical_lines(text, pool)
    tokens = sorted({t for line in first for t in line.tokens})
    bad_pool = dict(pool)
    bad_pool["="] = 5   # fails part way through

    def counts():
        gc.collect()
        objects = len(gc.get_objects())
        return [objects] + [sys.getrefcount(t) for t in tokens] + [sys.getrefcount(text), sys.getrefcount(pool)]

    records = ll.scan_logical_lines(text, pool)
    edited = text.replace("import re", "import re\n\nx = (1,\n", 1)
    at = text.index("import re") + 9
    row = text.count("\n", 0, at) + 1

    def once():
        ll.split_logical_lines(text, pool)
        ll.rescan_logical_lines(text, records, edited, pool)
        ll.rescan_window(edited, at, at + 10, edited[at:at + 10], list(records), at, at + 10, row, row, 3, 3, pool)
        ll.common_ends(text, edited)
        try:
            ll.rescan_window(edited, at, at + 10, edited[at:at + 10], [r[:7] for r in records], at, at + 10, row, row,
                             3, 3, pool)
        except TypeError:
            pass
        else:
            raise AssertionError("a bad record was taken by the window re-split")
        try:
            ll.rescan_logical_lines(text, records[:3] + [records[3][:7]] + records[4:], edited, pool)
        except TypeError:
            pass
        else:
            raise AssertionError("a bad record was taken")
        for split in (ll.split_logical_lines, ll.scan_logical_lines):
            try:
                split(text, bad_pool)
            except TypeError:
                pass
            else:
                raise AssertionError("a pool mapping a token to an int was taken")

    for _ in range(20):
        once()
    before = counts()
    before = counts()   # counted with a list like itself alive, as below
    for _ in range(1000):
        once()
    assert counts() == before
    # Memory the interpreter's allocators hand out (the lines, the records).
    tracemalloc.start()
    try:
        for _ in range(200):
            once()
        base = tracemalloc.get_traced_memory()[0]
        for _ in range(1000):
            once()
        grown = tracemalloc.get_traced_memory()[0] - base
    finally:
        tracemalloc.stop()
    assert grown < 4000


def test_lines_hold_pooled_tokens_and_stay_untracked():
    pool = {"x": "x"}
    lines = ll.split_logical_lines("x = 1\nasync def f(): pass\n", pool)
    assert lines[0].tokens[0] is pool["x"] and lines[1].tokens[0] is pool["async def"]
    assert not any(gc.is_tracked(line) for line in lines)


@pytest.mark.parametrize("split", [ll.split_logical_lines, ll.scan_logical_lines])
def test_tokens_come_from_the_pool_given_whatever_was_split_before(split):
    text = "value = other_name + value  # note\n"
    split(text, {})
    split(text)
    # Equal strings that are other objects than those split before.
    pool = {t: t for t in ("".join(["val", "ue"]), "".join(["other", "_name"]))}
    tokens = [t for line in ll.split_logical_lines(text, pool) for t in line.tokens]
    assert tokens[0] is tokens[4] is pool["value"] and tokens[2] is pool["other_name"]
    assert [t for line in ll.split_logical_lines(text, {"value": "v"}) for t in line.tokens][::4] == ["v", "v"]
    with pytest.raises(TypeError, match="maps 'other_name' to int"):
        split(text, {"other_name": 7})


def test_a_pool_that_runs_code_may_drop_the_module_cache_in_the_middle_of_a_split():
    code = """if True:
        import logicalline as ll
        class Key(str):
            __hash__ = str.__hash__
            def __eq__(self, other):
                ll.__dict__.pop("_token_memo", None)
                return str.__eq__(self, other)
        text = "name = other + name\\n" * 3
        ll.split_logical_lines(text, {})
        lines = ll.split_logical_lines(text, {Key("name"): "name"})
        assert lines[2].tokens == ("name", "=", "other", "+", "name") and not hasattr(ll, "_token_memo")
        assert ll.split_logical_lines(text, {})[0].tokens == lines[0].tokens
    """
    proc = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(sys.path)))
    assert proc.returncode == 0 and proc.stderr == "", proc.stderr[-2000:]

# -- the choice of host ------------------------------------------------------

def test_projects_choose_their_host(monkeypatch):
    monkeypatch.delenv("PYSOURCE_HOST", raising=False)
    assert pysource.Project().host.name == "native"
    assert pysource.Project(host="python").host.split_logical_lines is pysource.splitter.split_logical_lines
    monkeypatch.setenv("PYSOURCE_HOST", "python")
    assert pysource.Project().host.name == "python"
    assert pysource.Project(host="native").host.name == "native"
    with pytest.raises(ValueError, match="host must be one of 'native', 'python', not 'fast'"):
        pysource.Project(host="fast")
    monkeypatch.setenv("PYSOURCE_HOST", "C")
    with pytest.raises(ValueError, match="PYSOURCE_HOST must be one of"):
        pysource.Project()


def test_the_native_host_takes_the_native_grammar(monkeypatch):
    import pysource_grammar
    monkeypatch.setattr(hosts, "_hosts", {})
    native = hosts.get_host("native")
    assert (native.make_grammar, native.make_transformer) == (pysource_grammar.Grammar, pysource_grammar.Transformer)
    assert hosts.get_host("python").make_grammar().__class__ is pysource.Grammar
    monkeypatch.setitem(sys.modules, "pysource_grammar", None)   # a broken install
    monkeypatch.setattr(hosts, "_hosts", {})
    with pytest.raises(ImportError):
        hosts.get_host("native")


SOURCE = '''import os
class A(B):
    def m(self, x):
        self.y = f"""{
x}"""
        return os.path.join(x)
    @staticmethod
    def s(a): b = [
1]
def
'''


def test_both_hosts_give_the_same_analysis_and_edits():
    mods = {}
    for name in hosts.HOST_NAMES:
        mod = pysource.Project(host=name).analyze_source(SOURCE)
        mod.set_source(SOURCE.replace("def s(a)", "def s(a, c)") + "z = A()\n")
        mod.analyze()
        mods[name] = mod
    def facts(line):
        # Import entries hold the analysis of a module of each project.
        objs = tuple(tuple(getattr(x, "fLocalName", x) for x in o) if type(o) is tuple else o for o in line.objs)
        return sd.line_fields(line)[:-2] + (objs, line.type_equivs)

    native, python = ([facts(line) for line in mods[n].lines] for n in hosts.HOST_NAMES)
    assert native == python
    assert mods["native"].names() == mods["python"].names()
    assert mods["native"].last_changes == mods["python"].last_changes
