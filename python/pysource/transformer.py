"""The transformer: ``ast`` trees of one logical line to the analyzer's
tuple-form syntax trees.

A tuple-form node is a tuple whose item 0 is the node kind and whose further
items are its children, by position.  The analyzer walks the tree, calls its
visitors for the kinds "Assign", "For", "Return", "Function", "Class",
"Import", "From" and "CallFunc", and writes expressions back as source text
with its expression writer, which knows the kinds "Name", "Getattr",
"CallFunc", "Keyword", "Const", "Tuple", "List", "Dict", "Ellipsis",
"Subscript", "Sliceobj", "Compare", "Lambda", the binary kinds "Add", "Sub",
"Mul", "Div", "Mod", "Power", "LeftShift", "RigthShift", "Bitor", "Bitxor",
"Bitand", "And", "Or" and the unary kinds "UnarySub", "UnaryAdd", "Invert",
"Not".

How each Python 3 form is represented, and why, is described in
docs/representation.md; in short:

* Statements the visitors know keep their kind.  Every other statement gets
  a kind of its own named after its ``ast`` class ("AugAssign", "AnnAssign",
  "With", "If", "While", "Expr", "Del", "Raise", "Assert", "Global",
  "Nonlocal", "Match", "Case", "Decorator", ...), and the names it binds are
  nested "Assign" nodes inside it, so the assignment visitor records them.
* A binding whose value is not the plain value of an expression (augmented
  assignment, ``with ... as``, annotation without value, pattern captures,
  walrus inside a comprehension) has its target wrapped in a one-element
  "Tuple": the assignment visitor then records the name but no type
  equivalence.
* An expression the writer has no kind for (``//``, ``@``, comprehensions,
  conditional expressions, lambdas, f-strings, sets, starred and
  double-starred items, ``await``, ``yield``, ``:=``, ...) becomes a
  *verbatim* node ``("Const", SourceText(text), child, ...)``: the writer
  writes a Const node as the repr of item 1, and a `SourceText`'s repr is its
  text, the canonical source of the expression (parenthesized where the
  surrounding text needs it).  A Const whose value is not exactly a string is
  neither a dotted name nor a literal, so no type equivalence comes from it.
  Items 2 and on are the sub-expressions evaluated in the enclosing scope (and
  the bindings a ``:=`` makes there), so that the walk still finds the calls
  and assignments inside.
"""

from __future__ import annotations

import ast
from typing import Any, Callable, Container, Union

__all__ = ["Transformer", "SourceText", "transform", "NONSELF_DECORATORS"]


# A tuple-form node: the kind, then the children by position.  A statement
# line with several statements gives a list of nodes.
Node = tuple[Any, ...]
Tree = Union[Node, list[Any]]


class SourceText:
    """The value of a verbatim node: source text whose repr is the text
    itself.  The analyzer's walk treats it as a node with no children."""

    __slots__ = ("text",)
    _children: tuple[()] = ()

    def __init__(self, text: str) -> None:
        self.text = text

    def __repr__(self) -> str:
        return self.text

    __str__ = __repr__

    def __eq__(self, other: object) -> bool:
        return isinstance(other, SourceText) and other.text == self.text

    def __hash__(self) -> int:
        return hash(("SourceText", self.text))


class ArgName(str):
    """A parameter name that is not an instance of the enclosing class (the
    first parameter of a static or class method): not exactly a string, so
    the analyzer records no instance type for it."""

    __slots__ = ()


# Decorators after which a method's first parameter is not an instance.
NONSELF_DECORATORS = frozenset([
    "staticmethod", "classmethod", "abstractstaticmethod", "abstractclassmethod",
])
# Methods that are implicitly static or class methods.
_NONSELF_METHODS = frozenset(["__new__", "__init_subclass__", "__class_getitem__"])

# Flags of a "Function" node (item 4).
CO_VARARGS = 0x04
CO_VARKEYWORDS = 0x08
CO_COROUTINE = 0x80

# Contexts an expression is written in; each asks more of the text than the
# one before it.
_ITEM = 0      # a statement's value, a call argument, an element
_BOOL = 1      # an operand of "and"/"or", a slice bound
_OPERAND = 2   # an operand of a binary operator or comparison
_STRICT = 3    # before "." or "[" or "(", the left operand of "**"

_BINOPS = {
    ast.Add: "Add", ast.Sub: "Sub", ast.Mult: "Mul", ast.Div: "Div", ast.Mod: "Mod",
    ast.Pow: "Power", ast.LShift: "LeftShift", ast.RShift: "RigthShift",
    ast.BitOr: "Bitor", ast.BitXor: "Bitxor", ast.BitAnd: "Bitand",
}
_UNARY = {ast.USub: "UnarySub", ast.UAdd: "UnaryAdd", ast.Invert: "Invert", ast.Not: "Not"}
_CMPOPS = {
    ast.Eq: "==", ast.NotEq: "!=", ast.Lt: "<", ast.LtE: "<=", ast.Gt: ">", ast.GtE: ">=",
    ast.Is: " is ", ast.IsNot: " is not ", ast.In: " in ", ast.NotIn: " not in ",
}
_AUGOPS = {
    ast.Add: "+=", ast.Sub: "-=", ast.Mult: "*=", ast.Div: "/=", ast.Mod: "%=", ast.Pow: "**=",
    ast.LShift: "<<=", ast.RShift: ">>=", ast.BitOr: "|=", ast.BitXor: "^=", ast.BitAnd: "&=",
    ast.FloorDiv: "//=", ast.MatMult: "@=",
}
# Expressions whose unparsed text needs no parentheses in any context (the
# unparser puts tuples, generator expressions, `yield` and `:=` in
# parentheses itself).
_SELF_CONTAINED = (ast.Name, ast.Constant, ast.Attribute, ast.Subscript, ast.Call, ast.List,
                   ast.Tuple, ast.Dict, ast.Set, ast.ListComp, ast.SetComp, ast.DictComp,
                   ast.GeneratorExp, ast.JoinedStr, ast.NamedExpr, ast.Yield, ast.YieldFrom)
# Deeper expressions are written verbatim as a whole.
_MAX_DEPTH = 60

_NONE_CONST = ("Const", None)

def _text(node: ast.AST, ctx: int) -> str:
    """Canonical source of `node`, parenthesized as `ctx` needs."""
    text = ast.unparse(node)
    if ctx >= _OPERAND:
        if not isinstance(node, _SELF_CONTAINED):
            return "(" + text + ")"
    elif ctx == _BOOL:
        if isinstance(node, (ast.IfExp, ast.Lambda)):
            return "(" + text + ")"
    return text


class Transformer:
    """The host transformer: ``TransformNode(parse_tree)`` turns the parse
    tree of one logical line (an ``ast.Module`` made by the grammar's
    parser, or any ``ast`` statement, expression or match case) into the
    tuple-form tree.  One statement gives one node; several statements on
    one line (``a = 1; b = 2``) give a list of nodes.

    `pool` is the name pool the names in the tree are taken from.
    `nonself_defs` is a set of def lines' token tuples (as the parser sees
    them) whose first parameter is not an instance of the class: methods
    decorated with one of `NONSELF_DECORATORS`.
    """

    def __init__(self, pool: dict[str, str] | None = None,
                 nonself_defs: Container[tuple[str, ...]] | None = None) -> None:
        self.pool = pool if pool is not None else {}
        self.nonself_defs: Container[tuple[str, ...]] = nonself_defs if nonself_defs is not None else set()
        self._depth = 0

    def TransformNode(self, tree: ast.AST) -> Tree:
        self._depth = 0
        try:
            return self._transform(tree)
        except RecursionError:
            raise ValueError("line nests too deeply to be analysed") from None

    # -- statements ------------------------------------------------------

    def _transform(self, tree: ast.AST) -> Tree:
        if isinstance(tree, ast.Module):
            if getattr(tree, "pysource_form", None) == "decorator":
                # The grammar puts the decorator in an expression statement.
                return ("Decorator", self.expr(tree.body[0].value, _ITEM))  # type: ignore[attr-defined]
            tokens = getattr(tree, "pysource_tokens", None)
            body = tree.body
            if len(body) == 1:
                stmt = body[0]
                if tokens is not None and isinstance(stmt, (ast.FunctionDef, ast.AsyncFunctionDef)) \
                        and tuple(tokens) in self.nonself_defs:
                    return self.function(stmt, nonself=True)
                return self.stmt(stmt)
            return [self.stmt(s) for s in body]
        if isinstance(tree, ast.Expression):
            return self.expr(tree.body, _ITEM)
        if isinstance(tree, ast.expr):
            return self.expr(tree, _ITEM)
        if isinstance(tree, (ast.stmt, ast.AST)):
            return self.stmt(tree)
        raise ValueError("not a parse tree: %r" % (tree,))

    def stmt(self, node: ast.AST) -> Tree:
        method = _STMT_METHODS.get(type(node))
        if method is None:
            return self.generic(node)
        return method(self, node)

    def body(self, stmts: list[ast.stmt]) -> list[Tree]:
        return [self.stmt(s) for s in stmts]

    def name(self, text: str) -> str:
        return self.pool.setdefault(text, text)

    def generic(self, node: ast.AST) -> Node:
        """Any other node: its kind is its class name and its children the
        transformed sub-statements and sub-expressions (so calls are walked);
        it binds nothing."""
        children: list[Tree] = []
        for child in ast.iter_child_nodes(node):
            if isinstance(child, ast.expr):
                if not isinstance(child, (ast.Name, ast.Constant)):
                    children.append(self.expr(child, _ITEM))
            elif isinstance(child, (ast.stmt, ast.excepthandler)) or type(child) in _STMT_METHODS:
                children.append(self.stmt(child))
        return (type(node).__name__,) + tuple(children)

    def assign(self, node: ast.Assign) -> Tree:
        value = self.expr(node.value, _ITEM)
        targets = node.targets
        if len(targets) == 1:
            return self.bind(targets[0], value)
        # `a = b = v` binds each target to v.  The walk goes into every
        # target's value, so where walking the value records something (an
        # isinstance call, a `:=`) later targets get its verbatim text.
        later = value
        if _records_something(value):
            later = _verbatim(_text(node.value, _ITEM))
        out: list[Node] = []
        for i, t in enumerate(targets):
            b = self.bind(t, value if i == 0 else later)
            if isinstance(b, list):
                out.extend(b)
            else:
                out.append(b)
        return out

    def bind(self, target: ast.expr, value: Node, whole: bool = True) -> Node | list[Node]:
        """The node(s) recording that `target` is bound to `value`; with
        `whole` false the target is bound to something other than the plain
        value, and gets no type equivalence."""
        extra: list[Node] = []
        t = self.target(target, extra)
        if not whole and t[0] != "Tuple":
            t = ("Tuple", [t])
        node = ("Assign", t, value)
        if extra:
            return [node] + extra
        return node

    def target(self, node: ast.expr, extra: list[Node]) -> Node:
        """Tuple form of an assignment target.  Starred names are left out
        of their tuple and recorded by an extra assignment of a list, which
        is what a starred target receives."""
        # The node's class is tested once, through `cls`, which the checker
        # does not narrow `node` by: hence the ignores below.
        cls = type(node)
        if cls is ast.Name:
            return ("Name", self.name(node.id))  # type: ignore[attr-defined]
        if cls is ast.Tuple or cls is ast.List:
            elts: list[Node] = []
            for e in node.elts:  # type: ignore[attr-defined]
                if type(e) is ast.Starred:
                    inner = self.target(e.value, extra)
                    if inner[0] in ("Name", "Getattr"):
                        extra.append(("Assign", inner, ("List", [])))
                        continue
                    elts.append(inner)
                else:
                    elts.append(self.target(e, extra))
            return ("Tuple", elts)
        if cls is ast.Starred:
            return ("Tuple", [self.target(node.value, extra)])  # type: ignore[attr-defined]
        return self.expr(node, _ITEM)

    def aug_assign(self, node: ast.AugAssign) -> Node:
        value = self.expr(node.value, _ITEM)
        return ("AugAssign", self.bind(node.target, value, whole=False), _AUGOPS.get(type(node.op), "="))

    def ann_assign(self, node: ast.AnnAssign) -> Node:
        ann = _verbatim(_text(node.annotation, _ITEM))
        if node.value is not None:
            return ("AnnAssign", self.bind(node.target, self.expr(node.value, _ITEM)), ann)
        if not node.simple and type(node.target) is ast.Name:
            # `(x): int` declares nothing.
            return ("AnnAssign", self.expr(node.target, _ITEM), ann)
        return ("AnnAssign", self.bind(node.target, _NONE_CONST, whole=False), ann)

    def for_(self, node: ast.For | ast.AsyncFor) -> Node:
        extra: list[Node] = []
        target = self.target(node.target, extra)
        out = ("For", target, self.expr(node.iter, _ITEM), self.body(node.body) + extra,
               self.body(node.orelse), 1 if type(node) is ast.AsyncFor else 0)
        return out

    def while_(self, node: ast.While) -> Node:
        return ("While", self.expr(node.test, _ITEM), self.body(node.body), self.body(node.orelse))

    def if_(self, node: ast.If) -> Node:
        return ("If", self.expr(node.test, _ITEM), self.body(node.body), self.body(node.orelse))

    def with_(self, node: ast.With | ast.AsyncWith) -> Node:
        items: list[Node | list[Node]] = []
        for item in node.items:
            ctx = self.expr(item.context_expr, _ITEM)
            if item.optional_vars is None:
                items.append(ctx)
            else:
                # The target gets what __enter__ returns, not the context
                # manager itself.
                items.append(self.bind(item.optional_vars, ctx, whole=False))
        return ("With", items, self.body(node.body), 1 if type(node) is ast.AsyncWith else 0)

    def expr_stmt(self, node: ast.Expr) -> Node:
        return ("Expr", self.expr(node.value, _ITEM))

    def return_(self, node: ast.Return) -> Node:
        return ("Return", None if node.value is None else self.expr(node.value, _ITEM))

    def raise_(self, node: ast.Raise) -> Node:
        return ("Raise", self.opt_expr(node.exc), self.opt_expr(node.cause))

    def assert_(self, node: ast.Assert) -> Node:
        return ("Assert", self.expr(node.test, _ITEM), self.opt_expr(node.msg))

    def delete(self, node: ast.Delete) -> Node:
        return ("Del", [self.expr(t, _ITEM) for t in node.targets])

    def global_(self, node: ast.Global) -> Node:
        return ("Global", [self.name(n) for n in node.names])

    def nonlocal_(self, node: ast.Nonlocal) -> Node:
        return ("Nonlocal", [self.name(n) for n in node.names])

    def simple(self, node: ast.stmt) -> Node:
        return (type(node).__name__,)

    def import_(self, node: ast.Import) -> Node:
        ids: list[str | tuple[str, str]] = []
        for alias in node.names:
            name = self.name(alias.name)
            if alias.asname is None or alias.asname == alias.name and "." not in alias.name:
                ids.append(name)
            else:
                ids.append((name, self.name(alias.asname)))
        return ("Import", tuple(ids))

    def import_from(self, node: ast.ImportFrom) -> Tree:
        modname = "." * (node.level or 0) + (node.module or "")
        modname = self.name(modname)
        out: list[Node] = []
        plain: list[str] = []
        for alias in node.names:
            if alias.asname is None or alias.asname == alias.name:
                plain.append(self.name(alias.name))
                continue
            if plain:
                out.append(("From", modname, tuple(plain)))
                plain = []
            # `from m import x as y`: an import of m.x as y records the entry
            # (y, module m, "x").  The analyzer splits the dotted name at its
            # first dot, so a module name with dots is written with "/" in
            # their place; the factory reads "/" as ".".
            key = modname.replace(".", "/") + "." + alias.name
            out.append(("Import", ((self.name(key), self.name(alias.asname)),)))
        if plain or not out:
            out.append(("From", modname, tuple(plain)))
        return out[0] if len(out) == 1 else out

    def function(self, node: ast.FunctionDef | ast.AsyncFunctionDef, nonself: bool = False) -> Node:
        args = node.args
        names = [a.arg for a in args.posonlyargs]
        names.extend(a.arg for a in args.args)
        flags = 0
        if args.vararg is not None:
            names.append(args.vararg.arg)
            flags |= CO_VARARGS
        names.extend(a.arg for a in args.kwonlyargs)
        if args.kwarg is not None:
            names.append(args.kwarg.arg)
            flags |= CO_VARKEYWORDS
        if type(node) is ast.AsyncFunctionDef:
            flags |= CO_COROUTINE
        names = [self.name(n) for n in names]
        # Only a parameter that takes positional arguments can be the instance.
        first_positional = bool(args.posonlyargs or args.args)
        if names and (nonself or node.name in _NONSELF_METHODS or not first_positional):
            names[0] = ArgName(names[0])
        defaults = [self.expr(d, _ITEM) for d in args.defaults]
        defaults.extend(self.expr(d, _ITEM) for d in args.kw_defaults if d is not None)
        return ("Function", self.name(node.name), tuple(names), defaults, flags, self.body(node.body))

    def class_(self, node: ast.ClassDef) -> Node:
        bases = tuple(self.expr(b, _ITEM) for b in node.bases if type(b) is not ast.Starred)
        keywords = [self.keyword(k) for k in node.keywords]
        return ("Class", self.name(node.name), bases, keywords, self.body(node.body))

    def match(self, node: ast.Match) -> Node:
        return ("Match", self.expr(node.subject, _ITEM), [self.match_case(c) for c in node.cases])

    def match_case(self, node: ast.match_case) -> Node:
        names: list[Node] = []
        for sub in ast.walk(node.pattern):
            n = None
            if isinstance(sub, (ast.MatchAs, ast.MatchStar)):
                n = sub.name
            elif isinstance(sub, ast.MatchMapping):
                n = sub.rest
            if n is not None:
                names.append(("Name", self.name(n)))
        bindings = ("Assign", ("Tuple", names), _NONE_CONST) if names else None
        return ("Case", _verbatim(ast.unparse(node.pattern)), bindings, self.opt_expr(node.guard),
                self.body(node.body))

    def try_(self, node: ast.Try) -> Node:
        return (type(node).__name__, self.body(node.body), [self.handler(h) for h in node.handlers],
                self.body(node.orelse), self.body(node.finalbody))

    def handler(self, node: ast.ExceptHandler) -> Node:
        binding: Node | None = None
        if node.name is not None:
            binding = ("Assign", ("Tuple", [("Name", self.name(node.name))]), _NONE_CONST)
        return ("Except", self.opt_expr(node.type), binding, self.body(node.body))

    def type_alias(self, node: Any) -> Node:   # ast.TypeAlias, Python 3.12 on
        value = _verbatim(_text(node.value, _ITEM))
        return ("TypeAlias", self.bind(node.name, value, whole=False))

    # -- expressions -----------------------------------------------------

    def opt_expr(self, node: ast.expr | None) -> Node | None:
        return None if node is None else self.expr(node, _ITEM)

    def expr(self, node: ast.expr, ctx: int) -> Node:
        # As in `target`, `node` is not narrowed by the test of `cls`.
        cls = type(node)
        if cls is ast.Name:
            return ("Name", self.pool.setdefault(node.id, node.id))  # type: ignore[attr-defined]
        if cls is ast.Constant:
            return self.constant(node, ctx)  # type: ignore[arg-type]
        method = _EXPR_METHODS.get(cls)
        self._depth += 1
        try:
            if method is None or self._depth > _MAX_DEPTH:
                return _verbatim(_text(node, ctx))
            return method(self, node, ctx)
        finally:
            self._depth -= 1

    def attribute(self, node: ast.Attribute, ctx: int) -> Node:
        value = node.value
        if type(value) is ast.Constant and type(value.value) is int:
            # `1.real` is not Python; `(1).real` is.
            base = _verbatim("(%s)" % ast.unparse(value))
        else:
            base = self.expr(value, _STRICT)
        return ("Getattr", base, self.name(node.attr))

    def items(self, nodes: list[ast.expr]) -> list[Node]:
        return [self.expr(e, _ITEM) for e in nodes]

    def constant(self, node: ast.Constant, ctx: int) -> Node:
        value: Any = node.value
        if value is Ellipsis:
            return ("Ellipsis", "...")
        cls = type(value)
        if cls is float or cls is complex:
            if value - value != 0:
                # inf and nan have no literal of their own.
                return _verbatim(_text(node, ctx))
        return ("Const", value)

    def call(self, node: ast.Call, ctx: int) -> Node:
        args: list[Node] = []
        for a in node.args:
            if type(a) is ast.Starred:
                args.append(_verbatim("*" + _text(a.value, _STRICT), self.expr(a.value, _ITEM)))
            else:
                args.append(self.expr(a, _ITEM))
        for k in node.keywords:
            args.append(self.keyword(k))
        return ("CallFunc", self.expr(node.func, _STRICT), tuple(args))

    def keyword(self, k: ast.keyword) -> Node:
        if k.arg is None:
            return _verbatim("**" + _text(k.value, _STRICT), self.expr(k.value, _ITEM))
        return ("Keyword", ("Name", self.name(k.arg)), self.expr(k.value, _ITEM))

    def binop(self, node: ast.BinOp, ctx: int) -> Node:
        kind = _BINOPS.get(type(node.op))
        if kind is None:
            # `//` and `@` have no kind of their own.
            return _verbatim(_text(node, ctx), self.expr(node.left, _ITEM), self.expr(node.right, _ITEM))
        left_ctx = _STRICT if kind == "Power" else _OPERAND
        return (kind, (self.expr(node.left, left_ctx), self.expr(node.right, _OPERAND)))

    def boolop(self, node: ast.BoolOp, ctx: int) -> Node:
        kind = "And" if type(node.op) is ast.And else "Or"
        values = node.values
        result = self.expr(values[0], _BOOL)
        for v in values[1:]:
            result = (kind, (result, self.expr(v, _BOOL)))
        return result

    def unaryop(self, node: ast.UnaryOp, ctx: int) -> Node:
        kind = _UNARY[type(node.op)]
        if ctx >= _OPERAND and kind == "Not" or ctx == _STRICT:
            return _verbatim(_text(node, ctx), self.expr(node.operand, _ITEM))
        return (kind, self.expr(node.operand, _ITEM))

    def compare(self, node: ast.Compare, ctx: int) -> Node:
        if ctx >= _OPERAND:
            children = [self.expr(node.left, _ITEM)] + self.items(node.comparators)
            return _verbatim(_text(node, ctx), *children)
        pairs = [(_CMPOPS[type(op)], self.expr(c, _OPERAND)) for op, c in zip(node.ops, node.comparators)]
        return ("Compare", self.expr(node.left, _OPERAND), pairs)

    def tuple_(self, node: ast.Tuple, ctx: int) -> Node:
        if any(type(e) is ast.Starred for e in node.elts):
            return self.verbatim_items(node, ctx, node.elts)
        return ("Tuple", self.items(node.elts))

    def list_(self, node: ast.List, ctx: int) -> Node:
        if any(type(e) is ast.Starred for e in node.elts):
            return self.verbatim_items(node, ctx, node.elts)
        return ("List", self.items(node.elts))

    def verbatim_items(self, node: ast.expr, ctx: int, elts: list[ast.expr]) -> Node:
        children = [self.expr(e.value if type(e) is ast.Starred else e, _ITEM) for e in elts]
        return _verbatim(_text(node, ctx), *children)

    def dict_(self, node: ast.Dict, ctx: int) -> Node:
        pairs = [(None if k is None else self.expr(k, _ITEM), self.expr(v, _ITEM))
                 for k, v in zip(node.keys, node.values)]
        if ctx == _ITEM and self._depth == 1 or not pairs:
            # The writer writes any Dict node as "{}": a dictionary display is
            # one only as a whole value (where its type is what counts) or
            # when it is empty.
            return ("Dict", pairs)
        return _verbatim(_text(node, ctx), *[c for pair in pairs for c in pair if c is not None])

    def subscript(self, node: ast.Subscript, ctx: int) -> Node:
        s = node.slice
        if type(s) is ast.Tuple:
            if len(s.elts) <= 1 and not any(type(e) is ast.Starred for e in s.elts):
                if any(type(e) is ast.Slice for e in s.elts):
                    # `a[1:2,]`: no tuple display can hold the slice.
                    return _verbatim(_text(node, ctx), self.expr(node.value, _ITEM),
                                     *[c for e in s.elts for c in self.slice_children(e)])
                subs = [("Tuple", self.items(s.elts))]
            else:
                subs = [self.slice_item(e) for e in s.elts]
        else:
            subs = [self.slice_item(s)]
        return ("Subscript", self.expr(node.value, _STRICT), "OP_APPLY", subs)

    def slice_item(self, node: ast.expr) -> Node:
        if type(node) is ast.Slice:
            lower = None if node.lower is None else self.expr(node.lower, _BOOL)
            upper = None if node.upper is None else self.expr(node.upper, _BOOL)
            if node.step is None:
                return ("Sliceobj", (lower, upper))
            return ("Sliceobj", (lower, upper, self.expr(node.step, _BOOL)))
        if type(node) is ast.Starred:
            return _verbatim("*" + _text(node.value, _STRICT), self.expr(node.value, _ITEM))
        return self.expr(node, _ITEM)

    def slice_children(self, node: Any) -> list[Node]:   # an ast.Slice
        return [self.expr(p, _ITEM) for p in (node.lower, node.upper, node.step) if p is not None]

    def ifexp(self, node: ast.IfExp, ctx: int) -> Node:
        return _verbatim(_text(node, ctx), self.expr(node.test, _ITEM), self.expr(node.body, _ITEM),
                         self.expr(node.orelse, _ITEM))

    def lambda_(self, node: ast.Lambda, ctx: int) -> Node:
        # The body is a scope of its own; only the defaults are evaluated here.
        args = node.args
        defaults = [self.expr(d, _ITEM) for d in args.defaults]
        defaults.extend(self.expr(d, _ITEM) for d in args.kw_defaults if d is not None)
        return _verbatim(_text(node, ctx), *defaults)

    def comprehension(self, node: ast.ListComp | ast.SetComp | ast.DictComp | ast.GeneratorExp, ctx: int) -> Node:
        # Everything but the first iterable is evaluated in the
        # comprehension's own scope; a `:=` inside binds in this one.
        children = [self.expr(node.generators[0].iter, _ITEM)]
        for name in _walrus_targets(node):
            children.append(("Assign", ("Tuple", [self.target(name, [])]), _NONE_CONST))
        return _verbatim(_text(node, ctx), *children)

    def namedexpr(self, node: ast.NamedExpr, ctx: int) -> Node:
        binding = ("Assign", self.target(node.target, []), self.expr(node.value, _ITEM))
        return _verbatim(_text(node, ctx), binding)

    def with_value(self, node: ast.expr, ctx: int) -> Node:
        """await, yield, yield from, starred, and anything with one value."""
        value = getattr(node, "value", None)
        if value is None:
            return _verbatim(_text(node, ctx))
        return _verbatim(_text(node, ctx), self.expr(value, _ITEM))

    def joinedstr(self, node: ast.JoinedStr, ctx: int) -> Node:
        children: list[Node] = []
        self.field_values(node, children)
        return _verbatim(_text(node, ctx), *children)

    def field_values(self, node: ast.JoinedStr, out: list[Node]) -> None:
        """The expressions of an f-string's replacement fields, nested
        format specs included."""
        for v in node.values:
            if type(v) is ast.FormattedValue:
                out.append(self.expr(v.value, _ITEM))
                if v.format_spec is not None:
                    # A format spec is always an f-string, typed as any expression.
                    self.field_values(v.format_spec, out)  # type: ignore[arg-type]

    def set_(self, node: ast.Set, ctx: int) -> Node:
        return _verbatim(_text(node, ctx), *[self.expr(e.value if type(e) is ast.Starred else e, _ITEM)
                                             for e in node.elts])


def _verbatim(text: str, *children: Tree | None) -> Node:
    return ("Const", SourceText(text)) + children


def _records_something(node: object) -> bool:
    if type(node) is tuple:
        if not node:
            return False
        kind = node[0]
        if kind == "Assign" or kind == "For":
            return True
        if kind == "CallFunc" and node[1] == ("Name", "isinstance"):
            return True
        return any(_records_something(c) for c in node[1:])
    if type(node) is list:
        return any(_records_something(c) for c in node)
    return False


def _walrus_targets(node: ast.AST) -> list[ast.expr]:
    """Targets of the `:=` expressions inside a comprehension (not inside a
    lambda, whose scope they would bind in)."""
    out: list[ast.expr] = []
    stack = [node]
    while stack:
        n = stack.pop()
        for child in ast.iter_child_nodes(n):
            if type(child) is ast.Lambda:
                continue
            if type(child) is ast.NamedExpr:
                out.append(child.target)
            stack.append(child)
    return out


def transform(tree: ast.AST, pool: dict[str, str] | None = None) -> Tree:
    """Transform an ``ast`` tree (a module, statement or expression) with a
    fresh `Transformer`."""
    return Transformer(pool).TransformNode(tree)


T = Transformer
_STMT_METHODS: dict[type, Callable[[Transformer, Any], Tree]] = {
    ast.Assign: T.assign, ast.AugAssign: T.aug_assign, ast.AnnAssign: T.ann_assign,
    ast.For: T.for_, ast.AsyncFor: T.for_, ast.While: T.while_, ast.If: T.if_,
    ast.With: T.with_, ast.AsyncWith: T.with_, ast.Expr: T.expr_stmt, ast.Return: T.return_,
    ast.Raise: T.raise_, ast.Assert: T.assert_, ast.Delete: T.delete, ast.Global: T.global_,
    ast.Nonlocal: T.nonlocal_, ast.Pass: T.simple, ast.Break: T.simple, ast.Continue: T.simple,
    ast.Import: T.import_, ast.ImportFrom: T.import_from,
    ast.FunctionDef: T.function, ast.AsyncFunctionDef: T.function, ast.ClassDef: T.class_,
    ast.Try: T.try_, ast.ExceptHandler: T.handler, ast.Match: T.match, ast.match_case: T.match_case,
}
# Statements newer than the oldest interpreter supported.
for _name, _method in (("TryStar", T.try_), ("TypeAlias", T.type_alias)):
    if hasattr(ast, _name):
        _STMT_METHODS[getattr(ast, _name)] = _method
_EXPR_METHODS: dict[type, Callable[[Transformer, Any, int], Node]] = {
    ast.Attribute: T.attribute, ast.Call: T.call, ast.BinOp: T.binop, ast.BoolOp: T.boolop, ast.UnaryOp: T.unaryop,
    ast.Compare: T.compare, ast.Tuple: T.tuple_, ast.List: T.list_, ast.Dict: T.dict_,
    ast.Subscript: T.subscript, ast.IfExp: T.ifexp, ast.Lambda: T.lambda_,
    ast.ListComp: T.comprehension, ast.SetComp: T.comprehension, ast.DictComp: T.comprehension,
    ast.GeneratorExp: T.comprehension, ast.NamedExpr: T.namedexpr, ast.Await: T.with_value,
    ast.Yield: T.with_value, ast.YieldFrom: T.with_value, ast.Starred: T.with_value,
    ast.JoinedStr: T.joinedstr, ast.Set: T.set_,
}
del T, _name, _method
