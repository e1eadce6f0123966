"""The expression source writer and instance type names, seen through the
facts the visitors record: base class texts of a class line (the writer's
text as is) and isinstance pairs (the instance type name, text plus ":")."""

import gc
import sys

import logicalline as ll
import pytest

from hostobjects import Host, line

N = lambda name: ("Name", name)  # noqa: E731
A, B, X = N("a"), N("b"), N("x")
UNKNOWN = "Unknown AST node type passed to AppendExpSource"


def analyze(tree, host=None):
    host = host or Host(trees=lambda parse_tree: tree)
    ln = line("class C :", type=ll.kClassDefIndex)
    host.install([ln])
    host.impl.AnalyzeLogical(ln)
    return ln


def bases(*exprs, host=None):
    """Texts the writer gives for base class expressions."""
    return analyze(("Class", "C", tuple(exprs)), host).objs


def write(expr):
    (text,) = bases(expr)
    return text


def instance_name(expr, host=None):
    ln = analyze(("CallFunc", N("isinstance"), (X, expr)), host)
    ((one, two),) = ln.type_equivs
    assert one == "x"
    return two


BINARY = {"Power": "**", "Bitor": "|", "Bitxor": "^", "Bitand": "&", "And": " and ", "Or": " or ",
          "Add": "+", "Sub": "-", "Div": "/", "Mul": "*", "LeftShift": "<<", "RigthShift": ">>", "Mod": "%"}
UNARY = {"UnarySub": "-", "UnaryAdd": "+", "Invert": "~", "Not": "not "}


@pytest.mark.parametrize("kind,op", sorted(BINARY.items()))
def test_binary_operators(kind, op):
    assert write((kind, (A, B))) == "(a" + op + "b)"
    assert write((kind, (A, B, X))) == "(a" + op + "b)"  # only the first two operands


@pytest.mark.parametrize("kind,op", sorted(UNARY.items()))
def test_unary_operators(kind, op):
    assert write((kind, A)) == op + "(a)"


@pytest.mark.parametrize("expr,text", [
    (("Getattr", ("Getattr", A, "b"), "c"), "a.b.c"),
    (("Ellipsis", None), "..."),
    (("Tuple", ()), "()"),
    (("Tuple", [A]), "(a,)"),
    (("Tuple", (A, B)), "(a, b)"),
    (("List", []), "[]"),
    (("List", (A,)), "[a]"),
    (("List", [A, B]), "[a, b]"),
    (("Dict", ((A, B),)), "{}"),
    (("Add", (("Mul", (X, N("y"))), N("z"))), "((x*y)+z)"),
    (("Not", ("And", (A, B))), "not ((a and b))"),
    (("CallFunc", ("Getattr", A, "f"), (B, ("Keyword", N("k"), ("Const", 1)))), "a.f(b, k = 1)"),
    (("CallFunc", A, ()), "a()"),
    (("Const", "it's"), '"it\'s"'),
    (("Const", 1.5), "1.5"),
    (("Const", None), "None"),
    (("Backquote", A), "`a`"),
    (("Keyword", A, B, "extra"), "a = b"),
    (("Compare", A, (("<", B), (" is not ", X))), "a<b is not x"),
    (("Compare", A, []), "a"),
    (("Lambda", ("x", "y"), (("Const", 1),), 0, X), "lambda x, y: x"),
    (("Lambda", [], (), 0, ("Const", 0)), "lambda : 0"),
    (("Subscript", A, "OP_APPLY", (B,)), "a[b]"),
    (("Subscript", A, "OP_APPLY", [B, ("Sliceobj", (None, None))]), "a[b, :]"),
    (("Sliceobj", (None, None, None)), "::"),
    (("Sliceobj", (A, None)), "a:"),
    (("Sliceobj", (None, B)), ":b"),
    (("Sliceobj", (A, B, X)), "a:b:x"),
    (("Getattr", N("\u00e9t\u00e9"), "x"), "\u00e9t\u00e9.x"),
    (("Getattr", N("a\0b"), "c"), "a.c"),  # text ends at an embedded NUL
])
def test_node_kinds(expr, text):
    assert write(expr) == text


@pytest.mark.parametrize("length", [157, 158, 159, 160, 161, 1000])
def test_texts_around_the_inline_buffer_size(length):
    name = "n" * (length - 2)
    assert write(("Getattr", N(name), "b")) == name + ".b"
    assert instance_name(("Getattr", N(name), "b")) == name + ".b:"


def test_name_shortcut_and_pooling():
    obj = "".join(["na", "me"])
    host = Host(trees=lambda pt: ("Class", "C", (("Name", obj), ("Getattr", A, "b"), ("Getattr", A, "b"))))
    name, first, second = bases(host=host)
    assert name is obj  # the node's own string, not pooled
    assert first is second and host.pool[first] is first
    assert "name" not in host.pool


def test_unknown_nodes_are_reported_on_stderr(capfd):
    bad = [("Getattr", A), ("CallFunc", A, (), ()), ("Tuple", (), ()), ("List", [], 1),
           ("Sliceobj", (A,)), ("Sliceobj", (A, B, X, A)), ("Sliceobj", [A, B]), ("Name", 5), ("Name",),
           ("Keyword", A), ("Compare", A), ("Lambda", (), (), 0), ("Subscript", A, 0), ("Ellipsis",),
           ("Names", "a"), ("name", "a"), [N("a")], 5, (), (1, 2), ("Getattr", A, 5)]
    for node in bad:
        host = Host(trees=lambda pt, node=node: ("Class", "C", (("Getattr", node, "z"),)))
        ln = line("class C :", type=ll.kClassDefIndex)
        host.install([ln])
        with pytest.raises(ValueError, match=UNKNOWN):
            host.impl.AnalyzeLogical(ln)
        assert ln.objs == ()
        assert capfd.readouterr().err == repr(node)


def test_shape_and_sequence_errors(capfd):
    cases = [
        (("And", [A, B]), ValueError, "Invalid AST node type passed to AppendBinaryOpSource"),
        (("Mod", (A,)), ValueError, "Invalid AST node type passed to AppendBinaryOpSource"),
        (("Compare", A, (("<", B, X),)), ValueError, "Invalid tuple in comparison sequence"),
        (("Compare", A, [["<", B]]), ValueError, "Invalid tuple in comparison sequence"),
        (("Compare", A, (5, B)), ValueError, "Invalid tuple in comparison sequence"),
        (("Compare", A, None), SystemError, ""),
        (("Tuple", None), SystemError, ""),
        (("CallFunc", A, None), SystemError, ""),
        (("Lambda", "xy", (), 0, A), SystemError, ""),
        (("Lambda", (1,), (), 0, A), TypeError, ""),
        (("Compare", A, ((1, B),)), TypeError, ""),
    ]
    for expr, exc, msg in cases:
        host = Host(trees=lambda pt, expr=expr: ("Class", "C", (expr,)))
        ln = line("class C :", type=ll.kClassDefIndex)
        host.install([ln])
        with pytest.raises(exc, match=msg):
            host.impl.AnalyzeLogical(ln)
    capfd.readouterr()


def test_const_repr_failure_passes_through():
    class BadRepr:
        def __repr__(self):
            raise KeyError("no repr")

    with pytest.raises(KeyError, match="no repr"):
        write(("Const", BadRepr()))


def test_deep_nesting_is_an_error_not_a_crash():
    expr = A
    for _ in range(100000):
        expr = ("UnarySub", expr)
    with pytest.raises(RecursionError):
        write(expr)


# -- instance type names -------------------------------------------------------

def test_instance_type_names():
    host = Host(trees=lambda pt: ("CallFunc", N("isinstance"), (X, ("Getattr", N("mod"), "Cls"))))
    assert instance_name(N("Foo")) == "Foo:"
    assert instance_name(("Getattr", A, "b")) == "a.b:"
    assert instance_name(("Tuple", (A, B))) == "(a, b):"
    assert instance_name(("Tuple", (A,))) == "(a,):"
    first, second = instance_name(None, host), instance_name(None, host)
    assert first == "mod.Cls:" and first is second and host.pool[first] is first


def test_instance_type_name_of_unknown_node(capfd):
    with pytest.raises(ValueError, match=UNKNOWN):
        instance_name(("Name",))
    assert capfd.readouterr().err == "('Name',)"


def assigned_equiv(expr):
    host = Host(trees=lambda pt: ("Assign", X, expr))
    ln = line("x = 1")
    host.install([ln])
    host.impl.AnalyzeLogical(ln)
    return ln.type_equivs


def test_literal_type_names_are_shared_objects():
    literals = {("Dict", ()): "::dict:", ("Dict",): "::dict:", ("List", [A]): "::list:",
                ("Tuple", (A, B)): "::tuple:", ("Const", "s"): "::string:"}
    seen = {}
    for expr, name in literals.items():
        ((one, two),) = assigned_equiv(expr)
        assert (one, two) == ("x", name)
        assert seen.setdefault(name, two) is two
    for expr in [("Const", 1), ("Const", None), ("Const",), ("Const", b"s"), ("Dicts", ()), ["Dict"]]:
        assert assigned_equiv(expr) == ()


def test_writer_failures_do_not_leak(capfd):
    host = Host(trees={"class C : pass": ("Class", "C", (("Getattr", ("Tuple", [("Foo", 1)]), "b"),)),
                       "class D : pass": ("Class", "D", (("Add", (("Compare", A, [("<", B)]), B)),
                                                         ("Lambda", ("x",), (), 0, A)))})
    bad = line("class C :", type=ll.kClassDefIndex)
    good = line("class D :", type=ll.kClassDefIndex)
    host.install([bad, good])

    def cycle():
        with pytest.raises(ValueError):
            host.impl.AnalyzeLogical(bad)
        host.impl.AnalyzeLogical(good)
        host.impl.ClearAnalysis(bad)
        host.impl.ClearAnalysis(good)

    cycle()
    gc.collect()
    refs = [sys.getrefcount(o) for o in (host.mod, host.pool, A, B)]
    count = len(gc.get_objects())
    for _ in range(1000):
        cycle()
    gc.collect()
    assert len(gc.get_objects()) - count <= 2
    assert [sys.getrefcount(o) for o in (host.mod, host.pool, A, B)] == refs
    capfd.readouterr()
