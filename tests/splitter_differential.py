"""The native splitter held against the Python one: every field of every
logical line, on real files and on seeded mutations of them.

Imported by the tests, and run as a script under other interpreters (the
Python splitter is loaded from its file, so that the rest of the package is
not needed there):

    python tests/splitter_differential.py STDLIB_DIR STEP SEED MUTATIONS

prints one JSON object: files and lines compared, mutations run, and the
differences found (at most a few, each with its file)."""

import importlib.util
import json
import os
import random
import sys

import logicalline

HERE = os.path.dirname(os.path.abspath(__file__))


def load_reference():
    """The Python splitter, loaded from its file."""
    path = os.path.join(HERE, os.pardir, "python", "pysource", "splitter.py")
    spec = importlib.util.spec_from_file_location("_reference_splitter", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def python_files(root, step=1):
    """Every `step`-th .py file under `root` (site-packages left out), in a
    fixed order."""
    found = []
    for d, dirs, files in os.walk(root):
        dirs[:] = sorted(x for x in dirs if x not in ("site-packages", "__pycache__"))
        found.extend(os.path.join(d, f) for f in sorted(files) if f.endswith(".py"))
    return found[::step]


def read(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except (UnicodeDecodeError, OSError):
        return None


def line_fields(line):
    return (line.tokens, line.positions, line.first_line, line.indent, line.line_count, line.type,
            line.parsed, line.tabs_in_indent, line.spaces_in_indent, line.scope_name, line.objs, line.type_equivs)


def difference(ref, text):
    """None when both splitters give the same records and the same line
    objects for `text` (tokens pooled alike), else a description."""
    native_records = logicalline.scan_logical_lines(text, {})
    ref_records = ref.scan_logical_lines(text, {})
    if native_records != ref_records:
        for i, (a, b) in enumerate(zip(native_records, ref_records)):
            if a != b:
                return "record %d: native %r, python %r" % (i, a, b)
        return "%d records from native, %d from python" % (len(native_records), len(ref_records))
    pool = {}
    native = logicalline.split_logical_lines(text, pool)
    python = [line_fields(line) for line in ref.split_logical_lines(text, dict(pool))]
    if [line_fields(line) for line in native] != python:
        return "line objects differ"
    if any(pool[t] is not t for line in native for t in line.tokens):
        return "a token is not the pooled string"
    return None


# Pieces a mutation inserts: what opens, closes and continues lines and
# strings, and characters the splitters treat specially.
PIECES = ["(", ")", "[", "]", "{", "}", "'", '"', "'''", '"""', "f'", 'f"', "rb'", "\\", "\\\n", "\n", "\r", "\r\n",
          "#", "\t", "\f", " ", ":", "=", "\0", "\x0b", "$", "?", "!", "é", "\U0001d518", "\ud800", "async ",
          "def ", "class ", "match ", "case ", "0x", "1e", ".5j", "{x:{y}}", "f'{a!r:>{w}}'", "lambda: ",
          "@", "->", "**=", "...", "_"]


def mutate(rnd, text):
    """A seeded mutation of `text`: characters replaced, pieces inserted,
    spans deleted or moved, or the text cut anywhere."""
    n = len(text)
    choice = rnd.randrange(5)
    i = rnd.randrange(n + 1)
    if choice == 0:
        return text[:i]
    if choice == 1:
        return text[:i] + rnd.choice(PIECES) + text[i:]
    if choice == 2:
        return text[:i] + text[i + rnd.randrange(1, 200):]
    if choice == 3 and n:
        j = rnd.randrange(n)
        return text[:i] + text[j:j + rnd.randrange(1, 60)] + text[i:]
    out = list(text)
    for _ in range(rnd.randrange(1, 8)):
        if out:
            out[rnd.randrange(len(out))] = rnd.choice(PIECES)[0]
    return "".join(out)


def run(root, step, seed, mutations, limit=5):
    """Compares both splitters on every `step`-th file under `root`, then on
    `mutations` seeded mutations of those files."""
    ref = load_reference()
    texts = []
    report = {"files": 0, "lines": 0, "mutations": 0, "differences": []}
    for path in python_files(root, step):
        text = read(path)
        if text is None:
            continue
        texts.append(text)
        report["files"] += 1
        report["lines"] += len(ref.scan_logical_lines(text))
        diff = difference(ref, text)
        if diff is not None and len(report["differences"]) < limit:
            report["differences"].append("%s: %s" % (path, diff))
    rnd = random.Random(seed)
    for k in range(mutations if texts else 0):
        base = rnd.choice(texts)
        if len(base) > 20000:
            start = rnd.randrange(len(base) - 10000)
            base = base[start:start + 10000]
        text = mutate(rnd, base)
        for _ in range(rnd.randrange(3)):
            text = mutate(rnd, text)
        report["mutations"] += 1
        diff = difference(ref, text)
        if diff is not None and len(report["differences"]) < limit:
            report["differences"].append("mutation %d (seed %d): %s" % (k, seed, diff))
    return report


if __name__ == "__main__":
    root, step, seed, mutations = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
    print(json.dumps(run(root, step, seed, mutations)))
