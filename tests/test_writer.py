"""The expression source writer and instance type names, seen through the
facts the visitors record: base class texts of a class line (the writer's
text as is), isinstance pairs (text plus ":") and assignment pairs."""

import logicalline as ll
import pytest

from hostobjects import Host, line

N = lambda name: ("Name", name)  # noqa: E731
A, B, X = N("a"), N("b"), N("x")
UNKNOWN = "Unknown AST node type passed to AppendExpSource"


def analyze(tree, text="class C :", kind=ll.kClassDefIndex):
    host = Host(trees=lambda parse_tree: tree)
    (ln,) = host.install([line(text, type=kind)])
    host.impl.AnalyzeLogical(ln)
    return host, ln


def write(*exprs):
    """The writer's texts, as base class names of a class line."""
    host, ln = analyze(("Class", "C", exprs))
    return ln.objs if len(exprs) != 1 else ln.objs[0]


BINARY = {"Power": "**", "Bitor": "|", "Bitxor": "^", "Bitand": "&", "And": " and ", "Or": " or ",
          "Add": "+", "Sub": "-", "Div": "/", "Mul": "*", "LeftShift": "<<", "RigthShift": ">>", "Mod": "%"}
UNARY = {"UnarySub": "-", "UnaryAdd": "+", "Invert": "~", "Not": "not "}


@pytest.mark.parametrize("expr,text", [((kind, (A, B)), f"(a{op}b)") for kind, op in BINARY.items()] + [
    ((kind, A), op + "(a)") for kind, op in UNARY.items()] + [
    (("Mod", (A, B, X)), "(a%b)"),  # only the first two operands
    (("Getattr", ("Getattr", A, "b"), "c"), "a.b.c"),
    (("Ellipsis", None), "..."),
    (("Tuple", ()), "()"), (("Tuple", [A]), "(a,)"), (("Tuple", (A, B)), "(a, b)"),
    (("List", []), "[]"), (("List", (A,)), "[a]"), (("List", [A, B]), "[a, b]"),
    (("Dict", ((A, B),)), "{}"),
    (("Add", (("Mul", (X, N("y"))), N("z"))), "((x*y)+z)"),
    (("Not", ("And", (A, B))), "not ((a and b))"),
    (("CallFunc", ("Getattr", A, "f"), (B, ("Keyword", N("k"), ("Const", 1)))), "a.f(b, k = 1)"),
    (("Const", "it's"), '"it\'s"'), (("Const", 1.5), "1.5"), (("Const", None), "None"),
    (("Backquote", A), "`a`"),
    (("Keyword", A, B, "extra"), "a = b"),
    (("Compare", A, (("<", B), (" is not ", X))), "a<b is not x"),
    (("Compare", A, []), "a"),
    (("Lambda", ("x", "y"), (("Const", 1),), 0, X), "lambda x, y: x"),
    (("Lambda", [], (), 0, ("Const", 0)), "lambda : 0"),
    (("Subscript", A, "OP_APPLY", (B,)), "a[b]"),
    (("Subscript", A, "OP_APPLY", [B, ("Sliceobj", (None, None))]), "a[b, :]"),
    (("Sliceobj", (None, None, None)), "::"), (("Sliceobj", (A, None)), "a:"),
    (("Sliceobj", (None, B)), ":b"), (("Sliceobj", (A, B, X)), "a:b:x"),
    (("Getattr", N("\u00e9t\u00e9"), "x"), "\u00e9t\u00e9.x"),
    (("Getattr", N("a\0b"), "c"), "a.c"),  # text ends at an embedded NUL
    (("Getattr", N("n" * 157), "b"), "n" * 157 + ".b"),  # 159 bytes: inline
    (("Getattr", N("n" * 158), "b"), "n" * 158 + ".b"),  # 160 bytes: on the heap
    (("Getattr", N("n" * 2000), "b"), "n" * 2000 + ".b"),
])
def test_texts_per_node_kind(expr, text):
    assert write(expr) == text


def test_name_shortcut_and_pooling():
    obj = "".join(["na", "me"])
    host, ln = analyze(("Class", "C", (("Name", obj), ("Getattr", A, "b"), ("Getattr", A, "b"))))
    name, first, second = ln.objs
    assert name is obj and "name" not in host.pool  # the node's own string
    assert first is second is host.pool["a.b"]


class BadRepr:
    def __repr__(self):
        raise KeyError("no repr")


UNKNOWN_NODES = [("Getattr", A), ("CallFunc", A, (), ()), ("Tuple", (), ()), ("List", [], 1), ("Sliceobj", (A,)),
                 ("Sliceobj", (A, B, X, A)), ("Sliceobj", [A, B]), ("Name", 5), ("Name",), ("Keyword", A),
                 ("Compare", A), ("Lambda", (), (), 0), ("Subscript", A, 0), ("Ellipsis",), ("Names", "a"),
                 ("name", "a"), [A], 5, (), (1, 2), ("Getattr", A, 5)]


@pytest.mark.parametrize("expr,exc,msg", [(("Getattr", n, "z"), ValueError, UNKNOWN) for n in UNKNOWN_NODES] + [
    (("And", [A, B]), ValueError, "Invalid AST node type passed to AppendBinaryOpSource"),
    (("Mod", (A,)), ValueError, "Invalid AST node type passed to AppendBinaryOpSource"),
    (("Compare", A, (("<", B, X),)), ValueError, "Invalid tuple in comparison sequence"),
    (("Compare", A, [["<", B]]), ValueError, "Invalid tuple in comparison sequence"),
    (("Compare", A, None), TypeError, "comparisons of a Compare node must be a tuple or list, not NoneType"),
    (("Tuple", None), TypeError, "items of a Tuple node must be a tuple or list, not NoneType"),
    (("CallFunc", A, None), TypeError, "items of a CallFunc node"),
    (("Lambda", "xy", (), 0, A), TypeError, "argument names of a Lambda node must be a tuple or list, not str"),
    (("Lambda", (1,), (), 0, A), TypeError, None),
    (("Compare", A, ((1, B),)), TypeError, None),
    (("Const", BadRepr()), KeyError, "no repr"),
])
def test_writer_errors(expr, exc, msg, capfd):
    with pytest.raises(exc, match=msg):
        write(expr)
    # only an unknown node is reported, by its repr and nothing else
    assert capfd.readouterr().err == (repr(expr[1]) if msg == UNKNOWN else "")


def test_deep_nesting_is_an_error_not_a_crash():
    expr = A
    for _ in range(100000):
        expr = ("UnarySub", expr)
    with pytest.raises(RecursionError):
        write(expr)


def test_type_names_are_shared_objects(capfd):
    for expr, name in [(N("Foo"), "Foo:"), (("Getattr", A, "b"), "a.b:"), (("Tuple", (A,)), "(a,):")]:
        host, ln = analyze(("CallFunc", N("isinstance"), (X, expr)))
        assert ln.type_equivs == (("x", name),) and ln.type_equivs[0][1] is host.pool[name]
    with pytest.raises(ValueError, match=UNKNOWN):
        analyze(("CallFunc", N("isinstance"), (X, ("Name", 5))))  # no Name shortcut for the class
    assert capfd.readouterr().err == "('Name', 5)"
    seen = {}  # literal type names are the same objects for every analyzer
    for expr, name in [(("Dict", ()), "::dict:"), (("Dict",), "::dict:"), (("List", [A]), "::list:"),
                       (("Tuple", (A, B)), "::tuple:"), (("Const", "s"), "::string:"), (("Const", 1), None),
                       (("Const", None), None), (("Const",), None), (("Const", b"s"), None), (("Dicts", ()), None),
                       (["Dict"], None)]:
        _, ln = analyze(("Assign", X, expr), "x", ll.kAssignmentIndex)
        assert ln.type_equivs == ((("x", name),) if name else ())
        assert not name or seen.setdefault(name, ln.type_equivs[0][1]) is ln.type_equivs[0][1]
