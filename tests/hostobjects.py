"""Stand-ins for the host objects the analyzer talks to, recording the calls
they receive, so that tests can drive pysource_impl with hand-made trees."""

import gc
import sys

import logicalline as ll
import pysource_impl

# The host's attribute-reference class keeps its six arguments as is.
from pysource.analysis import AttribRef  # noqa: F401  (used by the tests)


class Parser:
    def __init__(self, grammar, symbol):
        self.grammar = grammar
        self.symbol = symbol
        self.tokens = []

    def AddToken(self, token):
        self.tokens.append(token)
        if self.grammar.fail_on_token is not None and token == self.grammar.fail_on_token:
            raise RuntimeError("token refused")

    def Finish(self):
        self.grammar.fed.append(list(self.tokens))
        return self.grammar.parse(self.tokens)


class Grammar:
    """CreateParser(257) gives a parser whose Finish hands the fed tokens to
    `parse`; by default the parse tree is the tuple of fed tokens."""

    def __init__(self, parse=None):
        self.parse = parse or (lambda tokens: tuple(tokens))
        self.symbols = []
        self.fed = []
        self.fail_on_token = None

    def CreateParser(self, symbol):
        self.symbols.append(symbol)
        return Parser(self, symbol)


class Transformer:
    """TransformNode looks the parse tree's text (tokens joined by blanks, the
    trailing newline dropped) up in `trees`; an unknown text is a SyntaxError.
    A callable may be given instead of the dictionary."""

    def __init__(self, trees=None):
        self.trees = trees if trees is not None else {}
        self.seen = []

    def TransformNode(self, parse_tree):
        self.seen.append(parse_tree)
        if callable(self.trees):
            return self.trees(parse_tree)
        key = " ".join(t for t in parse_tree if t != "\n")
        if key not in self.trees:
            raise SyntaxError("no tree for %r" % key)
        tree = self.trees[key]
        if isinstance(tree, BaseException):
            raise tree.with_traceback(None)  # a reused instance would chain tracebacks
        return tree


class Factory:
    def __init__(self, modules=None):
        self.modules = modules if modules is not None else {}
        self.lookups = []

    def FindAnalysisByName(self, name, package_dir):
        self.lookups.append((name, package_dir))
        return self.modules.get(name)


class Attrib:
    def __init__(self, local_name):
        self.fLocalName = local_name


class ModuleAnalysis:
    """Module analysis object: records every call the analyzer makes."""

    def __init__(self, name="mod", factory=None, package_dir=None, scope_attribs=(), frozen=False):
        self.fLocalName = name
        self.fPackageDir = package_dir
        self.fAnalysisFactory = factory if factory is not None else Factory()
        self.scope_attribs = [Attrib(n) for n in scope_attribs]
        self.frozen = frozen
        self.calls = []

    def UpdateFromCache(self):
        self.calls.append("UpdateFromCache")

    def _FromFutureFlagsChanged(self):
        self.calls.append("_FromFutureFlagsChanged")

    def Freeze(self):
        self.calls.append("Freeze")

    def Thaw(self):
        self.calls.append("Thaw")

    def IsFrozen(self):
        self.calls.append("IsFrozen")
        return self.frozen

    def GetScopeAttributes(self, scope, a, b):
        self.calls.append(("GetScopeAttributes", scope, a, b))
        return list(self.scope_attribs)


class Host:
    """All host objects of one analyzer, and the analyzer itself."""

    def __init__(self, trees=None, mod=None, grammar=None):
        self.mod = mod if mod is not None else ModuleAnalysis()
        self.grammar = grammar if grammar is not None else Grammar()
        self.xformer = Transformer(trees)
        self.pool = {}
        self.impl = pysource_impl.CreatePySourceImpl(
            self.mod, self.grammar, self.xformer, self.pool, AttribRef, ll)

    def install(self, lines):
        self.lines = list(lines)
        self.impl.SetLogicalList(self.lines)
        return self.lines


def line(tokens, indent=0, type=ll.kAssignmentIndex, first_line=1, **kw):
    """A logical line from a blank-separated text or a token list."""
    if isinstance(tokens, str):
        tokens = tokens.split()
    return ll.LogicalLine(list(tokens), first_line=first_line, indent=indent, type=type, **kw)


def lines_from(spec):
    """Lines from (text, indent, kind) triples, numbered from 1."""
    out = []
    for i, (text, indent, kind) in enumerate(spec):
        out.append(line(text, indent=indent, type=kind, first_line=i + 1))
    return out


def assert_steady(cycle, *watched, rounds=1000):
    """Runs `cycle` once to warm caches, then `rounds` times more, and checks
    that neither the number of live objects nor the reference counts of
    `watched` grew."""
    cycle()
    gc.collect()
    counts, before = [sys.getrefcount(o) for o in watched], len(gc.get_objects())
    for _ in range(rounds):
        cycle()
    gc.collect()
    assert len(gc.get_objects()) - before <= 2
    assert [sys.getrefcount(o) for o in watched] == counts
