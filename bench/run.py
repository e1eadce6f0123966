"""Benchmark pysource against the interpreter's parser, Universal Ctags,
jedi and parso on one corpus, and print a table of seconds, lines per second
and ratios (also written as JSON, so runs can be compared).

    python bench/run.py [--corpus DIR ...] [--sample N] [--json PATH]

The default corpus is the running interpreter's standard library without
site-packages.  What each row measures is described in bench/README.md.
Nothing here asserts anything about time.
"""

import argparse
import ast
import collections
import datetime
import gc
import json
import os
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import sysconfig
import tempfile
import time

import logicalline
import pysource
import pysource.analysis
import pysource.hosts
from pysource import store
import pysource_impl

import parse_rows

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_JSON = os.path.join(HERE, "results", "latest.json")
SKIPPABLE = ("ast", "stages", "split", "index", "ctags", "jedi", "parso", "edit", "memory", "lsp", "command")
clock = time.perf_counter


def note(msg):
    print(msg, file=sys.stderr, flush=True)


# -- corpus ----------------------------------------------------------------

class SourceFile:
    __slots__ = ("path", "text", "lines")

    def __init__(self, path, text):
        self.path = path
        self.text = text
        self.lines = text.count("\n") + (1 if text and not text.endswith("\n") else 0)


class Corpus:
    """The .py files under the roots (site-packages, dist-packages and
    __pycache__ left out), in sorted order, with their texts read once."""

    def __init__(self, roots, limit=None):
        self.roots = [os.path.abspath(r) for r in roots]
        paths = []
        for root in self.roots:
            for d, subdirs, files in os.walk(root):
                subdirs[:] = sorted(s for s in subdirs
                                    if s not in ("site-packages", "dist-packages", "__pycache__"))
                paths.extend(os.path.join(d, f) for f in sorted(files) if f.endswith(".py"))
        if limit:
            paths = paths[:limit]
        self.files = [SourceFile(p, pysource.read_source(p)) for p in paths]
        self.lines = sum(f.lines for f in self.files)
        self.bytes = sum(len(f.text.encode("utf-8", "surrogatepass")) for f in self.files)

    def sample(self, n):
        """`n` files spread evenly over the sorted list (every k-th file)."""
        files = self.files
        if n >= len(files):
            return list(files)
        step = len(files) / n
        return [files[int(i * step)] for i in range(n)]


TEST_FOLDERS = frozenset(["test", "tests", "idle_test", "testing"])


def is_test_file(path, roots):
    """Whether `path` belongs to a test suite: a file under a folder named
    test, tests, idle_test or testing, or a test_*.py file."""
    for root in roots:
        if path.startswith(root + os.sep):
            path = path[len(root) + 1:]
            break
    parts = path.split(os.sep)
    return parts[-1].startswith("test_") or any(p in TEST_FOLDERS for p in parts[:-1])


# -- the table -------------------------------------------------------------

class Table:
    def __init__(self):
        self.sections = []     # (title, rows)

    def section(self, title):
        self.sections.append((title, []))

    def row(self, name, seconds, files=None, lines=None, base=None, note=""):
        """A row; `base` is the seconds of the row it is compared with (the
        ratio is seconds / base: below 1 is faster)."""
        r = {"name": name, "files": files, "lines": lines,
             "seconds": None if seconds is None else round(seconds, 7),
             "lines_per_s": round(lines / seconds) if lines and seconds else None,
             "ratio": round(seconds / base, 6) if seconds is not None and base else None,
             "note": note}
        self.sections[-1][1].append(r)
        return r

    def render(self):
        out = []
        head = "%-46s %6s %9s %9s %12s %8s  %s" % ("", "files", "lines", "seconds", "lines/s", "ratio", "")
        for title, rows in self.sections:
            out.append("")
            out.append(title)
            out.append(head)
            for r in rows:
                out.append("%-46s %6s %9s %9s %12s %8s  %s" % (
                    r["name"],
                    "" if r["files"] is None else r["files"],
                    "" if r["lines"] is None else r["lines"],
                    _seconds(r["seconds"]),
                    "" if r["lines_per_s"] is None else "{:,}".format(r["lines_per_s"]),
                    "" if r["ratio"] is None else "%.3f" % r["ratio"],
                    r["note"]))
        return "\n".join(out)

    def as_json(self):
        return [{"section": title, "rows": rows} for title, rows in self.sections]


def _seconds(s):
    if s is None:
        return "-"
    return "%.3f" % s if s >= 0.01 else "%.6f" % s


# -- pysource ---------------------------------------------------------------

def new_project(corpus, files):
    """A project over the corpus roots with a module for each file, its
    source given from memory."""
    project = pysource.Project(search_path=corpus.roots)
    mods = []
    for f in files:
        mods.append(project.module_for_path(f.path, source=f.text))
    return project, mods


def run_pysource(corpus):
    """Full analysis of every file, one file after the other as an editor
    opening them would: split, then analyse every line (the name cache is
    filled as lines are analysed).  Returns (seconds, per-file seconds,
    project, modules)."""
    project, mods = new_project(corpus, corpus.files)
    gc.collect()
    per_file = []
    t0 = clock()
    for mod in mods:
        t = clock()
        mod.lines
        mod.analyze()
        per_file.append(clock() - t)
    total = clock() - t0
    return total, per_file, project, mods


def run_stages(corpus):
    """The same analysis in stages: every file split first, then analysed;
    then, untimed by the analysis, every line parsed and transformed once
    more through its own module's analyzer (`AstForLogicalLine`: fed the
    way the analysis feeds it), which times the parse + transform stage.
    Returns (split seconds, parse+transform seconds, analysis seconds,
    facts)."""
    project, mods = new_project(corpus, corpus.files)
    gc.collect()
    t0 = clock()
    for mod in mods:
        mod.lines
    t1 = clock()
    for mod in mods:
        mod.analyze()
    t2 = clock()
    failures = collections.Counter()
    parse = 0.0
    for mod in mods:
        ast_for = mod.impl.AstForLogicalLine
        lines = mod.lines
        t = clock()
        for line in lines:
            try:
                ast_for(line)
            except (SyntaxError, ValueError) as e:
                failures["%s: %s" % (type(e).__name__, getattr(e, "msg", e))] += 1
        parse += clock() - t
    kinds = collections.Counter()
    logical = entries = pairs = 0
    for mod in mods:
        for line in mod.lines:
            logical += 1
            kinds[pysource.KIND_NAMES[line.type]] += 1
            entries += len(line.objs)
            pairs += len(line.type_equivs)
    facts = {"logical_lines": logical,
             "attribute_entries": entries, "type_equivalence_pairs": pairs,
             "lines_not_parsed": sum(failures.values()),
             "not_parsed_reasons": dict(failures.most_common(8)),
             "line_kinds": dict(kinds.most_common())}
    project.close()
    return t1 - t0, parse, t2 - t1, facts


def run_split(corpus, host):
    """Splitting every file into logical lines with the splitter of `host`
    ("native" or "python"), into one shared name pool.  Returns (seconds,
    logical lines)."""
    split = pysource.hosts.get_host(host).split_logical_lines
    pool = {}
    gc.collect()
    t0 = clock()
    count = 0
    for f in corpus.files:
        count += len(split(f.text, pool))
    return clock() - t0, count


# -- the stored form --------------------------------------------------------

def run_index_save(mods, folder):
    """Store every analysed module (`pysource.store`) in `folder`.  Returns
    (seconds, bytes, [(stored file, source file, module name)])."""
    paths = [os.path.join(folder, "%05d.pysrc" % i) for i in range(len(mods))]
    gc.collect()
    t0 = clock()
    for path, mod in zip(paths, mods):
        store.save_module(mod, path)
    save = clock() - t0
    size = sum(os.path.getsize(p) for p in paths)
    return save, size, [(p, m.fFileName, m.fLocalName) for p, m in zip(paths, mods)]


def run_index_load(corpus, stored):
    """Load the stored modules back into the modules of a new project,
    ready for queries.  Returns (seconds, logical lines)."""
    project = pysource.Project(search_path=corpus.roots)
    loaded = []
    gc.collect()
    t0 = clock()
    for path, filename, name in stored:
        m = project.module_for_path(filename, name)
        store.load_module(m, path)
        loaded.append(m)
    load = clock() - t0
    count = sum(len(m.lines) for m in loaded)
    project.close()
    return load, count


# -- the command: pysource index and pysource find ----------------------------

def _command_env():
    """The environment of a child `pysource` process: it imports the
    modules this process imports."""
    dirs = [os.path.dirname(os.path.abspath(m.__file__)) for m in (pysource_impl, logicalline)]
    dirs.append(os.path.dirname(os.path.dirname(os.path.abspath(pysource.__file__))))
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(dict.fromkeys(dirs + [p for p in env.get("PYTHONPATH", "").split(os.pathsep) if p]))
    env.pop("PYSOURCE_CACHE", None)
    return env


FIND_QUERIES = ["Template", "json.decoder.JSONDecoder", "Temp*", "*Error", "get*item"]


def run_command(corpus, repeat):
    """`pysource index` of the corpus roots with every core, into a fresh
    cache, then `pysource find` for a few names on that index, each a whole
    process (interpreter start-up included).  Returns (index seconds,
    files line, [find seconds per query, best of `repeat`], index MiB)."""
    tmp = tempfile.mkdtemp(prefix="pysource-bench-command-")
    env = _command_env()
    cmd = [sys.executable, "-m", "pysource"]
    try:
        t0 = clock()
        r = subprocess.run(cmd + ["index", "--cache-dir", tmp] + corpus.roots, env=env, capture_output=True,
                           text=True)
        seconds = clock() - t0
        if r.returncode not in (0, 1):
            raise RuntimeError("pysource index failed: %s" % r.stderr.strip()[-500:])
        summary = [l for l in r.stdout.splitlines() if l.startswith("indexed ")]
        finds = []
        for q in FIND_QUERIES:
            times = []
            for _ in range(max(3, repeat)):
                t0 = clock()
                subprocess.run(cmd + ["find", "--cache-dir", tmp, "--limit", "20", q], env=env,
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, cwd=tmp)
                times.append(clock() - t0)
            finds.append(min(times))
        size = sum(os.path.getsize(os.path.join(tmp, f)) for f in os.listdir(tmp))
        return seconds, summary[0] if summary else "", finds, size
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


# -- the edit ---------------------------------------------------------------

class Delta:
    """The change set handed to LogicalCacheModified."""

    def __init__(self, removed, added):
        self.removed = removed
        self.added = added


def _cut_points(text):
    """Line numbers after which `text` can be cut and stay a whole module:
    the ends of top-level statements and of the statements of top-level
    class bodies."""
    tree = ast.parse(text)
    ends = set()
    for node in tree.body:
        ends.add(node.end_lineno)
        if isinstance(node, ast.ClassDef):
            ends.update(n.end_lineno for n in node.body)
    return sorted(ends)


def build_edit_file(corpus, target):
    """About `target` lines of real code: the corpus file with the most def
    lines, cut at a statement boundary (or followed by the next files when
    it is shorter).  Returns (text, [source paths])."""
    ranked = []
    for f in corpus.files:
        defs = sum(1 for l in f.text.splitlines() if l.lstrip().startswith("def "))
        if defs:
            ranked.append((-defs, f.path, f))
    ranked.sort(key=lambda r: r[:2])
    pieces, used, total = [], [], 0
    i = 0
    while total < target and ranked:
        f = ranked[i % len(ranked)][2]
        i += 1
        lines = f.text.splitlines(keepends=True)
        room = target - total
        if len(lines) > room:
            try:
                cuts = [c for c in _cut_points(f.text) if c <= room]
            except (SyntaxError, ValueError):
                continue
            if not cuts:
                if total:
                    break
                continue
            lines = lines[:cuts[-1]]
        text = "".join(lines)
        if not text.endswith("\n"):
            text += "\n"
        pieces.append(text)
        used.append(f.path)
        total += len(lines)
        if i >= 10 * len(ranked):
            break
    return "".join(pieces), used


def _edit_target(mod):
    """A one-line assignment `name = ...` in a function body, nearest the
    middle of the module: (index in the logical list, scope name)."""
    impl = mod.impl
    lines = mod.lines
    middle = lines[-1].first_line // 2 if lines else 0
    best = None
    for i, line in enumerate(lines):
        toks = line.tokens
        if (line.type != logicalline.kAssignmentIndex or line.line_count != 1 or len(toks) < 3
                or toks[1] != "=" or not toks[0].isidentifier() or any(t.startswith("#") for t in toks)):
            continue
        scope_def = impl.FindScopeForLine(line)
        if scope_def is None or scope_def.type != logicalline.kFunctionDefIndex:
            continue
        d = abs(line.first_line - middle)
        if best is None or d < best[0]:
            best = (d, i, impl.GetFullNameForScopeDef(scope_def))
    return None if best is None else best[1:]


def run_edit(corpus, target_lines, keystrokes=20, repeats=3):
    text, sources = build_edit_file(corpus, target_lines)
    nlines = text.count("\n")
    project = pysource.Project(search_path=corpus.roots)

    def whole():
        mod = pysource.ModuleAnalysis(project, "edited", source=text)
        mod.lines
        mod.analyze()
        return mod

    # Whole file analysed again, then the same query (one warm-up run).
    whole().close()
    full_times = []
    query = None
    for _ in range(repeats):
        gc.collect()
        t0 = clock()
        mod = whole()
        if query is None:
            target = _edit_target(mod)
            if target is None:
                mod.close()
                return None
            index, scope = target
            query = {"scope_name": scope, "local_name": "*"}
        mod.impl.SearchForAttribs(dict(query))
        full_times.append(clock() - t0)
        mod.close()

    # The keystrokes: each types one more letter at the end of the
    # assigned name of the chosen line.
    mod = whole()
    impl, lines, pool = mod.impl, mod.lines, project.name_pool
    impl.SearchForAttribs(dict(query))
    line = lines[index]
    row = line.first_line
    phys = text.splitlines()[row - 1]
    col = line.positions[0][1] + len(line.tokens[0])
    phases = {"resplit": [], "cache_modified": [], "query": []}
    times = []
    found = True
    for k in range(keystrokes):
        phys = phys[:col] + chr(ord("a") + k % 26) + phys[col:]
        col += 1
        gc.collect()
        t0 = clock()
        # The host re-splits the edited line and puts it in the list.
        toks, poss, _first, count, ind, kind, tabs, spaces = project.host.scan_logical_lines(phys, pool)[0]
        new = logicalline.LogicalLine(toks, first_line=row, indent=ind, line_count=count, type=kind,
                                      positions=[(row, c) for _r, c in poss],
                                      tabs_in_indent=tabs, spaces_in_indent=spaces)
        old = lines[index]
        lines[index] = new
        t1 = clock()
        impl.LogicalCacheModified(mod, Delta([old], [new]))
        t2 = clock()
        refs = impl.SearchForAttribs(dict(query))
        t3 = clock()
        times.append(t3 - t0)
        phases["resplit"].append(t1 - t0)
        phases["cache_modified"].append(t2 - t1)
        phases["query"].append(t3 - t2)
        found = found and any(r.fLocalName == new.tokens[0] for r in refs)
    mod.close()

    # The same keystrokes through the host's source buffer, as an editor
    # drives it: the whole new text is handed over (set_source), split
    # again, compared with the installed lines, and the changed run
    # replaced when the query asks for the update.
    mod = whole()
    mod.impl.SearchForAttribs(dict(query))
    text_lines = text.splitlines(keepends=True)
    phys = text_lines[row - 1]
    col = line.positions[0][1] + len(line.tokens[0])
    buffer_times = []
    for k in range(keystrokes):
        phys = phys[:col] + chr(ord("a") + k % 26) + phys[col:]
        col += 1
        text_lines[row - 1] = phys
        new_text = "".join(text_lines)
        gc.collect()
        t0 = clock()
        mod.set_source(new_text)
        mod.impl.SearchForAttribs(dict(query))
        buffer_times.append(clock() - t0)
    mod.close()

    # The same keystrokes as range edits, as the language server hands them
    # over (`ModuleAnalysis.edit`): no whole text to compare, only the
    # lines around the edit split again and analysed on the query.
    mod = whole()
    mod.impl.SearchForAttribs(dict(query))
    col = line.positions[0][1] + len(line.tokens[0])
    name = line.tokens[0]
    range_times = []
    range_found = True
    for k in range(keystrokes):
        ch = chr(ord("a") + k % 26)
        gc.collect()
        t0 = clock()
        mod.edit((row, col), (row, col), ch)
        refs = mod.impl.SearchForAttribs(dict(query))
        range_times.append(clock() - t0)
        col += 1
        name += ch
        range_found = range_found and any(r.fLocalName == name for r in refs)
    # The same typed back to back, no collection in between: the caches
    # stay warm from one keystroke to the next.
    warm_times = []
    for k in range(keystrokes):
        ch = chr(ord("a") + k % 26)
        t0 = clock()
        mod.edit((row, col), (row, col), ch)
        mod.impl.SearchForAttribs(dict(query))
        warm_times.append(clock() - t0)
        col += 1
    mod.close()
    return {"file_lines": nlines, "sources": sources, "line": row, "scope": query["scope_name"],
            "keystroke_seconds": times, "whole_file_seconds": full_times,
            "buffer_keystroke_seconds": buffer_times, "buffer_keystroke_median": statistics.median(buffer_times),
            "range_keystroke_seconds": range_times, "range_keystroke_median": statistics.median(range_times),
            "range_query_found_new_name": range_found,
            "range_keystroke_warm_seconds": warm_times, "range_keystroke_warm_median": statistics.median(warm_times),
            "keystroke_median": statistics.median(times), "whole_file_median": statistics.median(full_times),
            "keystroke_phase_medians": {k: statistics.median(v) for k, v in phases.items()},
            "query_found_new_name": found}


def run_lsp_edit(corpus, target_lines, keystrokes):
    """Language servers answering right after a keystroke in the edit
    measurement's file, on the same line (see lsp_latency.py)."""
    sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
    from lsp_latency import run_lsp
    text, _ = build_edit_file(corpus, target_lines)
    project = pysource.Project(search_path=corpus.roots)
    mod = pysource.ModuleAnalysis(project, "edited", source=text)
    mod.analyze()
    target = _edit_target(mod)
    if target is None:
        mod.close()
        return None
    line = mod.lines[target[0]]
    row, col = line.first_line, line.positions[0][1] + len(line.tokens[0])
    mod.close()
    return {"file_lines": text.count("\n"), "line": row, "keystrokes": keystrokes,
            "servers": run_lsp(text, row, col, keystrokes)}


# -- the others ---------------------------------------------------------------

def run_ast(files):
    fails = 0
    gc.collect()
    t0 = clock()
    for f in files:
        try:
            ast.parse(f.text)
        except (SyntaxError, ValueError):
            fails += 1
    return clock() - t0, fails


def find_ctags():
    exe = shutil.which("ctags")
    if exe is None:
        return None, "not installed"
    try:
        version = subprocess.run([exe, "--version"], capture_output=True, text=True, timeout=30).stdout
    except (OSError, subprocess.SubprocessError) as e:
        return None, "not runnable: %s" % e
    first = version.splitlines()[0] if version else ""
    if "Universal Ctags" not in first:
        return None, "not Universal Ctags (%s)" % (first or exe)
    return exe, first


def run_ctags(exe, files):
    tmp = tempfile.mkdtemp(prefix="pysource-bench-ctags-")
    try:
        listing = os.path.join(tmp, "files")
        tags = os.path.join(tmp, "tags")
        with open(listing, "w") as f:
            f.writelines(s.path + "\n" for s in files)
        t0 = clock()
        subprocess.run([exe, "--languages=Python", "-f", tags, "-L", listing], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        seconds = clock() - t0
        with open(tags, "rb") as f:
            count = sum(1 for l in f if not l.startswith(b"!_"))
        return seconds, count
    finally:
        shutil.rmtree(tmp, ignore_errors=True)


def run_jedi(files, roots):
    import jedi
    tmp = tempfile.mkdtemp(prefix="pysource-bench-jedi-")
    try:
        # A cache folder of its own, so no earlier run's cache is read.
        jedi.settings.cache_directory = tmp
        env = jedi.InterpreterEnvironment()
        project = jedi.Project(roots[0], environment_path=None, sys_path=list(roots), smart_sys_path=False)
        jedi.Script("def f(a):\n    b = a\n", path=os.path.join(tmp, "w.py"), project=project,
                    environment=env).get_names(all_scopes=True, definitions=True)
        # No parse of an earlier run may be reused: jedi keeps each path's
        # tree in parso's cache and re-parses changed text with the diff
        # parser.
        import parso.cache
        parso.cache.parser_cache.clear()
        names = 0
        gc.collect()
        t0 = clock()
        for f in files:
            script = jedi.Script(f.text, path=f.path, project=project, environment=env)
            names += len(script.get_names(all_scopes=True, definitions=True))
        return clock() - t0, names, jedi.__version__
    finally:
        shutil.rmtree(tmp, ignore_errors=True)
        # What jedi keeps of the sample (parso's trees, its own caches) would
        # otherwise stay for the rest of the run, and every collection in
        # the rows after this one (each keystroke row starts with one) would
        # walk it and leave the processor's caches cold.
        import parso.cache
        parso.cache.parser_cache.clear()
        jedi.cache.clear_time_caches(delete_all=True)
        gc.collect()


def run_parso(files):
    import parso
    grammar = parso.load_grammar()
    grammar.parse("x = 1\n")
    gc.collect()
    t0 = clock()
    for f in files:
        grammar.parse(f.text, cache=False, diff_cache=False)
    return clock() - t0, parso.__version__


# -- memory ---------------------------------------------------------------------

def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def _peak_rss_bytes():
    # VmHWM belongs to this program's own address space; ru_maxrss would
    # also count the parent's resident set at the fork.
    try:
        with open("/proc/self/status") as f:
            for l in f:
                if l.startswith("VmHWM:"):
                    return int(l.split()[1]) * 1024
    except OSError:
        pass
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def memory_child(mode, roots, limit):
    """Run in a process of its own: read the corpus, then analyse all of
    it; print figures as JSON on stdout."""
    corpus = Corpus(roots, limit)
    project, mods = new_project(corpus, corpus.files)
    gc.collect()
    out = {"mode": mode}
    if mode == "tracemalloc":
        import tracemalloc
        tracemalloc.start()
    rss0 = _rss_bytes()
    for mod in mods:
        mod.analyze()
    gc.collect()
    if mode == "tracemalloc":
        current, peak = tracemalloc.get_traced_memory()
        tracemalloc.stop()
        out.update(traced_current=current, traced_peak=peak)
    else:
        out.update(rss_before=rss0, rss_after=_rss_bytes(),
                   maxrss=_peak_rss_bytes())
    out["logical_lines"] = sum(len(m.lines) for m in mods)
    print(json.dumps(out))


def edit_child(edit_lines, roots, limit):
    """Run in a process of its own: the edit row, printed as JSON on
    stdout.  Each keystroke is timed right after a full collection, which
    leaves the processor's caches cold in proportion to the heap it walks;
    in a process of its own that heap is the corpus and the edited file's
    project, not whatever the rows before left behind (jedi's and parso's
    grammars and caches)."""
    print(json.dumps(run_edit(Corpus(roots, limit), edit_lines)))


def _run_child(flag, value, args, what):
    """This script run again with `flag value` on the same corpus: the
    JSON it prints last."""
    cmd = [sys.executable, os.path.abspath(__file__), flag, str(value)]
    for r in args.corpus:
        cmd += ["--corpus", r]
    if args.limit:
        cmd += ["--limit", str(args.limit)]
    proc = subprocess.run(cmd, capture_output=True, text=True)
    if proc.returncode != 0:
        raise RuntimeError("%s run failed:\n%s" % (what, proc.stderr[-2000:]))
    return json.loads(proc.stdout.strip().splitlines()[-1])


def run_memory(mode, args):
    return _run_child("--memory-child", mode, args, "memory")


# -- main -----------------------------------------------------------------------

def machine():
    cpu = ""
    try:
        with open("/proc/cpuinfo") as f:
            for l in f:
                if l.startswith("model name"):
                    cpu = l.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"date": datetime.datetime.now().astimezone().isoformat(timespec="seconds"),
            "nproc": os.cpu_count(), "cpu": cpu or platform.processor(),
            "python": sys.version.split()[0], "implementation": platform.python_implementation(),
            "platform": platform.platform(), "pysource": getattr(pysource, "__version__", "?"),
            "pysource_impl": pysource_impl.__file__, "logicalline": logicalline.__file__}


def _spread(runs):
    """A note on repeated runs: the slowest, when there were several."""
    if len(runs) < 2:
        return ""
    return "best of %d, slowest %s" % (len(runs), _seconds(max(runs)).strip())


def mib(n):
    return "%.1f MiB" % (n / 1048576.0)


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--corpus", action="append", metavar="DIR",
                    help="a folder of Python sources (may be given more than once); default: "
                         "the standard library without site-packages")
    ap.add_argument("--sample", type=int, default=40, metavar="N",
                    help="files in the fixed sample for jedi and parso (default 40)")
    ap.add_argument("--json", default=DEFAULT_JSON, metavar="PATH",
                    help="where to write the results as JSON (default bench/results/latest.json)")
    ap.add_argument("--limit", type=int, default=None, metavar="N",
                    help="only the first N files of the corpus (for a quick look)")
    ap.add_argument("--edit-lines", type=int, default=5000, metavar="N",
                    help="size of the file for the edit measurement (default 5000)")
    ap.add_argument("--lsp-keystrokes", type=int, default=100, metavar="N",
                    help="keystrokes per request kind in the language server rows (default 100)")
    ap.add_argument("--repeat", type=int, default=3, metavar="N",
                    help="run each timed row N times and report the fastest (default 3)")
    ap.add_argument("--skip", default="", metavar="ROWS",
                    help="comma-separated rows to leave out: " + ", ".join(SKIPPABLE))
    ap.add_argument("--memory-child", help=argparse.SUPPRESS)
    ap.add_argument("--edit-child", type=int, help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if not args.corpus:
        args.corpus = [sysconfig.get_paths()["stdlib"]]
    if args.memory_child:
        memory_child(args.memory_child, args.corpus, args.limit)
        return 0
    if args.edit_child:
        edit_child(args.edit_child, args.corpus, args.limit)
        return 0
    skip = {s.strip() for s in args.skip.split(",") if s.strip()}
    unknown = skip.difference(SKIPPABLE)
    if unknown:
        ap.error("unknown rows to skip: %s" % ", ".join(sorted(unknown)))

    info = machine()
    note("reading the corpus ...")
    corpus = Corpus(args.corpus, args.limit)
    if not corpus.files:
        ap.error("no .py files under %s" % ", ".join(args.corpus))
    nfiles, nlines = len(corpus.files), corpus.lines
    results = {"machine": info,
               "corpus": {"roots": corpus.roots, "files": nfiles, "lines": nlines, "bytes": corpus.bytes},
               "command": sys.argv[1:] if argv is None else argv}
    table = Table()
    table.section("corpus: %s (%d files, %s lines); ratio = seconds / pysource full analysis"
                  % (", ".join(corpus.roots), nfiles, "{:,}".format(nlines)))

    repeat = max(1, args.repeat)
    results["repeat"] = repeat
    ast_runs = None
    if "ast" not in skip:
        # Before anything else, in a heap of its own: with the analysed
        # corpus alive, every full collection the parser's many objects
        # set off would also scan the analysis, and the row would time that.
        note("ast.parse ...")
        ast_runs = [run_ast(corpus.files) for _ in range(repeat)]
    note("pysource: full analysis ...")
    runs = []
    project = mods = per_file = None
    for _ in range(repeat):
        if project is not None:
            project.close()
            del project, mods
            gc.collect()
        seconds, times, project, mods = run_pysource(corpus)
        runs.append(seconds)
        if seconds == min(runs):
            per_file = times
    total = min(runs)
    table.row("pysource: full analysis", total, nfiles, nlines, total, _spread(runs))
    native = [parse_rows.run_pysource_native_grammar(corpus, new_project) for _ in range(repeat)]
    if native[0] is not None:
        table.row("pysource: full analysis, native line grammar", min(native), nfiles, nlines, total,
                  _spread(native))

    if "stages" not in skip:
        note("pysource: stages ...")
        # The first run's project is kept for the index; make room.
        split, parse, analysis, facts = run_stages(corpus)
        staged = split + analysis
        table.row("  split into logical lines", split, nfiles, nlines, total)
        table.row("  parse + transform (%s grammar)" % pysource.hosts.get_host().name, parse, nfiles, nlines, total)
        table.row("  walk, visitors, name cache (core)", analysis - parse, nfiles, nlines, total)
        table.row("  (staged run, total)", staged, nfiles, nlines, total)
        results["corpus"].update(facts)
        for label, seconds, fell_back in parse_rows.run_parse_paths(corpus):
            table.row("  parse + transform, every line: " + label, seconds, nfiles, nlines, total,
                      "%d lines to the host grammar" % fell_back if fell_back else "")

    if ast_runs is not None:
        runs = ast_runs
        fails = runs[0][1]
        table.row("ast.parse (whole files)", min(r[0] for r in runs), nfiles, nlines, total,
                  _spread([r[0] for r in runs]) + ("; %d files not parsed" % fails if fails else "")
                  + "; pysource %.3fx ast.parse" % (total / min(r[0] for r in runs)))
        ast_seconds = min(r[0] for r in runs)
    else:
        ast_seconds = None

    if "split" not in skip:
        note("split: native and python splitters ...")
        for host in ("native", "python"):
            runs = [run_split(corpus, host) for _ in range(repeat)]
            best = min(r[0] for r in runs)
            versus = "; %.3fx ast.parse" % (best / ast_seconds) if ast_seconds else ""
            table.row("split into logical lines (%s splitter)" % host, best, nfiles, nlines, total,
                      "%s; %d logical lines%s" % (_spread([r[0] for r in runs]), runs[0][1], versus))

    if "ctags" not in skip:
        exe, what = find_ctags()
        if exe is None:
            table.row("ctags", None, note=what)
        else:
            note("ctags ...")
            runs = [run_ctags(exe, corpus.files) for _ in range(repeat)]
            table.row("ctags (Universal Ctags)", min(r[0] for r in runs), nfiles, nlines, total,
                      "%s; %d tags" % (_spread([r[0] for r in runs]), runs[0][1]))
            results["ctags_seconds"] = min(r[0] for r in runs)
        results["ctags"] = what

    index_folder = None
    if "index" not in skip:
        note("index: save and load the stored form ...")
        index_folder = tempfile.mkdtemp(prefix="pysource-bench-index-")
        saves = [run_index_save(mods, index_folder) for _ in range(repeat)]
        _save, size, stored = saves[-1]
    project.close()
    del project, mods
    gc.collect()
    if index_folder is not None:
        # Loaded into a heap as empty as the one the full analysis started
        # from (the analysed corpus is gone by now), as in a fresh process.
        try:
            loads = [run_index_load(corpus, stored) for _ in range(repeat)]
        finally:
            shutil.rmtree(index_folder, ignore_errors=True)
        table.row("index: save stored form", min(r[0] for r in saves), nfiles, nlines, total,
                  "%s; %s" % (_spread([r[0] for r in saves]), mib(size)))
        table.row("index: load stored form", min(r[0] for r in loads), nfiles, nlines, total,
                  "%s; %d lines, sources checked, caches rebuilt"
                  % (_spread([r[0] for r in loads]), loads[0][1]))

    if "command" not in skip:
        note("pysource index with every core, then pysource find ...")
        seconds, line, finds, size = run_command(corpus, repeat)
        versus = ""
        if results.get("ctags_seconds"):
            versus = "; %.1f times ctags" % (seconds / results["ctags_seconds"])
        table.row("pysource index -j %d (command, fresh cache)" % (os.cpu_count() or 1), seconds, nfiles,
                  nlines, total, "one run%s; index %s" % (versus, mib(size)))
        for q, t in zip(FIND_QUERIES, finds):
            table.row("  pysource find %s (whole process)" % q, t, None, None, None, "best of %d" % max(3, repeat))
        results["command"] = {"index_seconds": seconds, "summary": line, "index_bytes": size,
                              "find_seconds": dict(zip(FIND_QUERIES, finds))}

    modules = [f for f in corpus.files if not is_test_file(f.path, corpus.roots)]
    if modules and len(modules) < nfiles:
        by_path = {f.path: t for f, t in zip(corpus.files, per_file)}
        base = sum(by_path[f.path] for f in modules)
        mlines = sum(f.lines for f in modules)
        table.section("without the test suite: %d files, %s lines (test folders and test_*.py left out); "
                      "ratio = seconds / pysource" % (len(modules), "{:,}".format(mlines)))
        table.row("pysource: full analysis", base, len(modules), mlines, base, "(from the corpus run)")
        if "ast" not in skip:
            note("ast.parse without the test suite ...")
            runs = [run_ast(modules)[0] for _ in range(repeat)]
            table.row("ast.parse (whole files)", min(runs), len(modules), mlines, base,
                      "%s; pysource %.3fx ast.parse" % (_spread(runs), base / min(runs)))

    sample = corpus.sample(args.sample)
    if sample:
        by_path = {f.path: t for f, t in zip(corpus.files, per_file)}
        base = sum(by_path[f.path] for f in sample)
        slines = sum(f.lines for f in sample)
        table.section("fixed sample: %d files, %s lines (every %s-th file); ratio = seconds / pysource"
                      % (len(sample), "{:,}".format(slines), "%.1f" % (nfiles / len(sample))))
        table.row("pysource: full analysis", base, len(sample), slines, base, "(from the corpus run)")
        if "ast" not in skip:
            runs = [run_ast(sample)[0] for _ in range(repeat)]
            table.row("ast.parse (whole files)", min(runs), len(sample), slines, base, _spread(runs))
        for name, runner in (("jedi", run_jedi), ("parso", run_parso)):
            if name in skip:
                continue
            try:
                __import__(name)
            except ImportError:
                table.row(name, None, note="not installed (pip install '.[bench]')")
                continue
            note("%s on the sample ..." % name)
            if name == "jedi":
                runs = [run_jedi(sample, corpus.roots) for _ in range(repeat)]
                times = [r[0] for r in runs]
                table.row("jedi %s get_names(all_scopes, definitions)" % runs[0][2], min(times),
                          len(sample), slines, base, "%s; %d names" % (_spread(times), runs[0][1]))
            else:
                runs = [run_parso(sample) for _ in range(repeat)]
                times = [r[0] for r in runs]
                table.row("parso %s parse" % runs[0][1], min(times), len(sample), slines, base, _spread(times))
        results["sample"] = [f.path for f in sample]

    if "edit" not in skip:
        note("edit (in a process of its own) ...")
        edit = _run_child("--edit-child", args.edit_lines, args, "edit")
        if edit is None:
            table.section("edit: no assignment in a function body to edit")
        else:
            table.section("edit: one keystroke in a %d-line file (line %d, scope %s; a process of its own); "
                          "ratio = seconds / whole file analysed again"
                          % (edit["file_lines"], edit["line"], edit["scope"] or "<module>"))
            base = edit["whole_file_median"]
            table.row("whole file analysed again + query", base, 1, edit["file_lines"], base,
                      "median of %d" % len(edit["whole_file_seconds"]))
            ph = edit["keystroke_phase_medians"]
            table.row("keystroke: changed line only, cache update, query", edit["keystroke_median"], None, None, base,
                      "median of %d; %.0f + %.0f + %.0f us" % (
                          len(edit["keystroke_seconds"]), ph["resplit"] * 1e6,
                          ph["cache_modified"] * 1e6, ph["query"] * 1e6))
            table.row("keystroke through the source buffer + query", edit["buffer_keystroke_median"], None,
                      None, base, "median of %d; new text compared, lines around the edit split again"
                      % len(edit["buffer_keystroke_seconds"]))
            table.row("keystroke as a range edit (mod.edit) + query", edit["range_keystroke_median"], None,
                      None, base, "median of %d; lines around the edit split again%s"
                      % (len(edit["range_keystroke_seconds"]),
                         "" if edit["range_query_found_new_name"] else "; QUERY MISSED THE NEW NAME"))
            table.row("the same, typed back to back (no gc.collect)", edit["range_keystroke_warm_median"], None,
                      None, base, "median of %d; caches warm" % len(edit["range_keystroke_warm_seconds"]))
            results["edit"] = edit

    if "lsp" not in skip:
        note("language servers ...")
        served = run_lsp_edit(corpus, args.edit_lines, max(1, args.lsp_keystrokes))
        if served is not None:
            table.section("lsp: request right after a keystroke in a %d-line file (line %d; %d keystrokes per "
                          "request); seconds from the change to the answer; ratio = seconds / pysource lsp"
                          % (served["file_lines"], served["line"], served["keystrokes"]))
            ours = served["servers"].get("pysource lsp", {})
            for kind in ("hover", "definition", "completion"):
                base = ours.get(kind, {}).get("median")
                for name, got in served["servers"].items():
                    if "missing" in got:
                        if kind == "hover":
                            table.row(name, None, note=got["missing"])
                        continue
                    m = got[kind]
                    table.row("%s: %s" % (name, kind), m["median"], None, None, base,
                              "median; 95th percentile %.2f ms%s" % (
                                  m["p95"] * 1e3, "" if got.get(kind + "_answered") else "; empty answer"))
            results["lsp"] = served

    if "memory" not in skip:
        note("memory (two more runs in child processes) ...")
        mem = {"rss": run_memory("rss", args), "tracemalloc": run_memory("tracemalloc", args)}
        results["memory"] = mem
        rss, tm = mem["rss"], mem["tracemalloc"]
        logical = rss["logical_lines"] or 1
        memory_lines = [
            "peak RSS of a process analysing the corpus   %s" % mib(rss["maxrss"]),
            "RSS growth over the analysis                 %s (%d bytes per logical line)"
            % (mib(rss["rss_after"] - rss["rss_before"]), (rss["rss_after"] - rss["rss_before"]) / logical),
            "Python objects held after the analysis       %s (%d bytes per logical line)"
            % (mib(tm["traced_current"]), tm["traced_current"] / logical),
            "Python objects at their peak                 %s" % mib(tm["traced_peak"]),
            "(Python objects: tracemalloc; the lines' entry arrays are plain malloc and count in RSS only)",
        ]
    else:
        memory_lines = []

    text = table.render()
    print("pysource benchmark, %s; %s, %d cores, Python %s" % (info["date"], info["cpu"], info["nproc"],
                                                                info["python"]))
    print(text)
    if memory_lines:
        print("\nmemory (corpus analysed in a process of its own; logical lines: %d)"
              % results["memory"]["rss"]["logical_lines"])
        for l in memory_lines:
            print("  " + l)
    facts = results["corpus"]
    if "logical_lines" in facts:
        print("\ncorpus facts: %d logical lines, %d not parsed, %d attribute entries, %d type-equivalence pairs"
              % (facts["logical_lines"], facts["lines_not_parsed"], facts["attribute_entries"],
                 facts["type_equivalence_pairs"]))
        for why, count in facts["not_parsed_reasons"].items():
            print("  %6d  %s" % (count, why))
    results["table"] = table.as_json()
    if args.json:
        os.makedirs(os.path.dirname(os.path.abspath(args.json)), exist_ok=True)
        with open(args.json, "w") as f:
            json.dump(results, f, indent=1)
        note("results written to %s" % args.json)
    return 0


if __name__ == "__main__":
    sys.exit(main())
