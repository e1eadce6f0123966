"""Exceptions raised by host code the analyzer calls leave the analyzer
method unchanged: only the failures a lookup may end in by design are
cleared.  Each place the analyzer calls host code is armed in turn with an
interrupt and with an unexpected error; the analyzer then still works."""

import logicalline as ll
import pytest

from hostobjects import AttribRef, Factory, Grammar, Host, ModuleAnalysis, Parser, Transformer, assert_steady, line

ARMED = {}


def trap(place):
    """Raises the exception armed for `place`, once."""
    exc = ARMED.pop(place, None)
    if exc is not None:
        raise exc("trapped in " + place)


class TParser(Parser):
    def AddToken(self, token):
        trap("AddToken")
        return super().AddToken(token)

    def Finish(self):
        trap("Finish")
        return super().Finish()


class TGrammar(Grammar):
    def CreateParser(self, symbol):
        trap("CreateParser")
        self.symbols.append(symbol)
        return TParser(self, symbol)


class TTransformer(Transformer):
    def TransformNode(self, parse_tree):
        trap("TransformNode")
        return super().TransformNode(parse_tree)


class TFactory(Factory):
    def FindAnalysisByName(self, name, package_dir):
        trap("FindAnalysisByName")
        return super().FindAnalysisByName(name, package_dir)


class TModule(ModuleAnalysis):
    def __getattribute__(self, name):
        if name in ("fAnalysisFactory", "fPackageDir"):
            trap(name)
        return super().__getattribute__(name)

    def UpdateFromCache(self):
        trap("UpdateFromCache")

    def _FromFutureFlagsChanged(self):
        trap("_FromFutureFlagsChanged")

    def Freeze(self):
        trap("Freeze")

    def Thaw(self):
        trap("Thaw")

    def IsFrozen(self):
        trap("IsFrozen")
        return False

    def GetScopeAttributes(self, scope, a, b):
        trap("GetScopeAttributes")
        return [TAttrib("y")]


class TAttrib:
    def __init__(self, name):
        self._name = name

    @property
    def fLocalName(self):
        trap("fLocalName")
        return self._name


class TAttribRef(AttribRef):
    def __init__(self, *args):
        trap("AttribRef")
        super().__init__(*args)


class PoolName(str):
    """A host's own string in the name pool: equal to and hashed like the
    text, with host code in both."""

    def __eq__(self, other):
        trap("__eq__")
        return str.__eq__(self, other)

    def __hash__(self):
        trap("__hash__")
        return str.__hash__(self)


class NamedNode:
    _children = ()

    @property
    def name(self):
        trap("name")
        return "isinstance"


class ReprNode:
    _children = ()

    def __repr__(self):
        trap("__repr__")
        return "ReprNode()"


N = lambda name: ("Name", name)  # noqa: E731
TREES = {
    "x = a": ("Assign", N("x"), N("a")),
    "self . x = a": ("Assign", ("Getattr", N("self"), "x"), N("a")),
    "import m": ("Import", ("m",)),
    "import m as x": ("Import", (("m", PoolName("x")),)),
    "from m import *": ("From", "m", ("*",)),
    "isinstance ( x , A )": ("CallFunc", NamedNode(), (N("x"), N("A"))),
    "class K ( B ) : pass": ("Class", "K", (ReprNode(),)),
    "from __future__ import division": ("From", "__future__", ("division",)),
}


def make_host():
    other = TModule("m")
    mod = TModule("own", factory=TFactory({"m": other}), package_dir="/pkg")
    host = Host(mod=mod, grammar=TGrammar())
    host.xformer = TTransformer(TREES)
    host.pool = {PoolName("self.x"): "self.x"}
    host.impl = __import__("pysource_impl").CreatePySourceImpl(mod, host.grammar, host.xformer, host.pool,
                                                               TAttribRef, ll)
    return host


def install(host, lines):
    lines = host.install(lines)
    host.impl.ClearCache()
    return lines


def analyse(text, kind=ll.kAssignmentIndex):
    def run(host, arm):
        ln = install(host, [line(text, type=kind)])[0]
        arm()
        host.impl.AnalyzeLogical(ln)
    return run


def search(spec):
    def run(host, arm):
        install(host, [line("x = a")])
        host.impl.LogicalCacheNeedsUpdate()
        arm()
        host.impl.SearchForAttribs(spec)
    return run


def search_pooled(host, arm):
    # The transformer's own string is the name the import line defines: the
    # lookup of the text in the name cache runs the string's __eq__.
    ln = install(host, [line("import m as x", type=ll.kImportIndex)])[0]
    host.impl.AnalyzeLogical(ln)
    arm()
    host.impl.SearchForAttribs({"local_name": "x", "update": False})


def rebuild_with_future(host, arm):
    install(host, [line("from __future__ import division", type=ll.kFromImportIndex)])
    arm()
    host.impl.RebuildCache()


PLACES = [
    ("CreateParser", analyse("x = a")),
    ("AddToken", analyse("x = a")),
    ("Finish", analyse("x = a")),
    ("TransformNode", analyse("x = a")),
    ("fAnalysisFactory", analyse("import m", ll.kImportIndex)),
    ("fPackageDir", analyse("import m", ll.kImportIndex)),
    ("FindAnalysisByName", analyse("import m", ll.kImportIndex)),
    ("Freeze", analyse("from m import *", ll.kFromImportIndex)),
    ("GetScopeAttributes", analyse("from m import *", ll.kFromImportIndex)),
    ("IsFrozen", analyse("from m import *", ll.kFromImportIndex)),
    ("Thaw", analyse("from m import *", ll.kFromImportIndex)),
    ("fLocalName", analyse("from m import *", ll.kFromImportIndex)),
    ("name", analyse("isinstance ( x , A )")),
    ("__repr__", analyse(["class", "K", "(", "B", ")", ":"], ll.kClassDefIndex), ValueError),
    ("__eq__", analyse("self . x = a")),
    ("__hash__", analyse("import m as x", ll.kImportIndex)),
    ("__eq__", search_pooled),
    ("UpdateFromCache", search({})),
    ("AttribRef", search({"local_name": "x"})),
    ("_FromFutureFlagsChanged", rebuild_with_future),
]


@pytest.mark.parametrize("exc", [KeyboardInterrupt, ZeroDivisionError])
@pytest.mark.parametrize("place,action,after", [p + (None,) * (3 - len(p)) for p in PLACES],
                         ids=[f"{p[0]}-{i}" for i, p in enumerate(PLACES)])
def test_host_exception_leaves_the_method_unchanged(place, action, after, exc):
    host = make_host()
    ARMED.clear()
    with pytest.raises(exc, match="trapped in " + place):
        action(host, lambda: ARMED.update({place: exc}))
    assert not ARMED and host.impl.fActiveMethodCount == 0
    # Nothing armed: the same analyzer does the same work (a node the writer
    # does not know is still refused).
    if after is None:
        action(host, lambda: None)
    else:
        with pytest.raises(after):
            action(host, lambda: None)


def test_failures_in_host_code_leave_nothing_behind():
    hosts = [make_host() for _ in PLACES]

    def cycle():
        for (place, action, *_), host in zip(PLACES, hosts):
            ARMED.clear()
            with pytest.raises(ZeroDivisionError):
                action(host, lambda: ARMED.update({place: ZeroDivisionError}))
            # what the stand-ins record of their calls
            for log in (host.grammar.fed, host.grammar.symbols, host.xformer.seen, host.mod.fAnalysisFactory.lookups):
                log.clear()

    assert_steady(cycle, *hosts, rounds=100)
