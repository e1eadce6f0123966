"""Analyse every .py file of the standard library (or of the folders given)
and print counts: files, logical lines, lines that failed to parse and why,
attribute entries, type-equivalence pairs, and seconds spent splitting and
analysing.

    PYTHONPATH=build/dev:python python3 bench/analyze_stdlib.py [--limit N] [DIR ...]
"""

import argparse
import collections
import os
import sys
import sysconfig
import time

import pysource
from pysource.grammar import Grammar, Parser


class CountingParser(Parser):
    __slots__ = ("grammar",)

    def Finish(self):
        try:
            return Parser.Finish(self)
        except (SyntaxError, ValueError) as e:
            self.grammar.failures[type(e).__name__ + ": " + str(getattr(e, "msg", e))] += 1
            raise


class CountingGrammar(Grammar):
    def __init__(self):
        self.failures = collections.Counter()

    def CreateParser(self, symbol):
        p = CountingParser()
        p.grammar = self
        return p


def source_files(dirs, limit=None):
    out = []
    for d in dirs:
        for root, subdirs, files in os.walk(d):
            subdirs[:] = sorted(s for s in subdirs if s not in ("site-packages", "dist-packages", "__pycache__"))
            out.extend(os.path.join(root, f) for f in sorted(files) if f.endswith(".py"))
    return out[:limit] if limit else out


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("dirs", nargs="*", default=[sysconfig.get_paths()["stdlib"]])
    ap.add_argument("--limit", type=int, default=None, help="analyse only the first N files")
    args = ap.parse_args(argv)
    files = source_files(args.dirs, args.limit)
    project = pysource.Project()
    project.grammar = CountingGrammar()
    t_split = t_analyze = 0.0
    n_lines = n_entries = n_pairs = 0
    kinds = collections.Counter()
    t0 = time.perf_counter()
    for path in files:
        mod = project.module_for_path(path)
        source = mod.source
        t = time.perf_counter()
        lines = mod.lines
        t_split += time.perf_counter() - t
        t = time.perf_counter()
        mod.analyze()
        t_analyze += time.perf_counter() - t
        n_lines += len(lines)
        for line in lines:
            kinds[line.type] += 1
            n_entries += len(line.objs)
            n_pairs += len(line.type_equivs)
    total = time.perf_counter() - t0
    analysed = len(project.modules)
    project.close()
    failures = project.grammar.failures
    print("files              %d (modules analysed, imports included: %d)" % (len(files), analysed))
    print("logical lines      %d" % n_lines)
    print("lines not parsed   %d" % sum(failures.values()))
    for why, count in failures.most_common(10):
        print("    %6d  %s" % (count, why))
    print("attribute entries  %d" % n_entries)
    print("pairs              %d" % n_pairs)
    print("seconds            %.2f (split %.2f, analyse %.2f)" % (total, t_split, t_analyze))
    print("line kinds         " + ", ".join("%s %d" % (pysource.KIND_NAMES[k][1:-5], c)
                                            for k, c in kinds.most_common()))


if __name__ == "__main__":
    main()
