// The line tree builder: expressions.
#include "gbuild_impl.h"

namespace pgram {
namespace detail {

// ---------------------------------------------------------------------------
// Expressions

PyObject* Builder::Expr(const Node* n, int ctx) {
  if (n->kind == K::Name) return NameT(n->obj);
  if (n->kind == K::Const) return Constant(n, ctx);
  ++depth_;
  PyObject* r;
  if (depth_ > kMaxTreeDepth) {
    // Deeper expressions are written as a whole.
    r = VerbatimOf(n, ctx, nullptr);
  } else {
    r = ExprBody(n, ctx);
  }
  --depth_;
  return r;
}

PyObject* Builder::Constant(const Node* n, int ctx) {
  if (n->obj == nullptr) return Tup(Str(sEllipsis), Str(sDots));
  PyObject* v = n->obj;
  if (PyFloat_CheckExact(v) || PyComplex_CheckExact(v)) {
    bool finite;
    if (PyFloat_CheckExact(v)) {
      finite = std::isfinite(PyFloat_AS_DOUBLE(v));
    } else {
      Py_complex c = PyComplex_AsCComplex(v);
      finite = std::isfinite(c.real) && std::isfinite(c.imag);
    }
    // inf and nan have no literal of their own.
    if (!finite) return VerbatimOf(n, ctx, nullptr);
  }
  return Tup(Str(sConst), Py_NewRef(v));
}

bool Builder::WalrusTargets(const Node* root, std::vector<const Node*>* out) {
  // Targets of the `:=` inside a comprehension, not inside a lambda (whose
  // scope they bind in), in the order of a depth-first walk from the end.
  std::vector<const Node*> stack{root};
  std::vector<const Node*> kids;
  while (!stack.empty()) {
    const Node* n = stack.back();
    stack.pop_back();
    kids.clear();
    Children(n, &kids);
    for (const Node* c : kids) {
      if (c->kind == K::Lambda) continue;
      if (c->kind == K::NamedExpr) out->push_back(c->a);
      stack.push_back(c);
    }
  }
  return true;
}

PyObject* Builder::ExprBody(const Node* n, int ctx) {
  switch (n->kind) {
    case K::Attribute: {
      PyObject* base;
      const Node* v = n->a;
      if (v->kind == K::Const && v->obj && PyLong_CheckExact(v->obj)) {
        // `1.real` is not Python; `(1).real` is.
        std::string text("(");
        if (!WriteExpr(v, kPTest, &text)) return nullptr;
        text.push_back(')');
        PyObject* t = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
        base = t ? Verbatim(t, nullptr) : nullptr;
      } else {
        base = Expr(v, kStrict);
      }
      if (!base) return nullptr;
      PyObject* attr = Pooled(n->obj);
      if (!attr) {
        Py_DECREF(base);
        return nullptr;
      }
      return Tup(Str(sGetattr), base, attr);
    }
    case K::Call: {
      Items args;
      for (int i = 0; i < n->l1.n; ++i) {
        const Node* a = n->l1[i];
        if (a->kind == K::Starred) {
          if (!args.Add(StarredVerbatim("*", a->a))) return nullptr;
        } else if (!args.Add(Expr(a, kItem))) {
          return nullptr;
        }
      }
      for (int i = 0; i < n->l2.n; ++i) {
        if (!args.Add(Keyword(n->l2[i]))) return nullptr;
      }
      PyRef at = PyRef::Steal(args.Tuple());
      if (!at) return nullptr;
      PyObject* func = Expr(n->a, kStrict);
      return func ? Tup(Str(sCallFunc), func, at.release()) : nullptr;
    }
    case K::BinOp: {
      S kind;
      switch (n->op) {
        case kAdd: kind = sAdd; break;
        case kSub: kind = sSub; break;
        case kMult: kind = sMul; break;
        case kDiv: kind = sDiv; break;
        case kMod: kind = sMod; break;
        case kPow: kind = sPower; break;
        case kLShift: kind = sLeftShift; break;
        case kRShift: kind = sRightShift; break;
        case kBitOr: kind = sBitor; break;
        case kBitXor: kind = sBitxor; break;
        case kBitAnd: kind = sBitand; break;
        default: {
          // `//` and `@` have no kind of their own.
          Items children;
          if (!children.Add(Expr(n->a, kItem)) || !children.Add(Expr(n->b, kItem))) return nullptr;
          return VerbatimOf(n, ctx, &children);
        }
      }
      PyRef left = PyRef::Steal(Expr(n->a, kind == sPower ? kStrict : kOperand));
      if (!left) return nullptr;
      PyObject* right = Expr(n->b, kOperand);
      if (!right) return nullptr;
      PyObject* pair = Tup(left.release(), right);
      return pair ? Tup(Str(kind), pair) : nullptr;
    }
    case K::BoolOp: {
      S kind = n->op == kAnd ? sAnd : sOr;
      PyObject* result = Expr(n->l1[0], kBool);
      for (int i = 1; result && i < n->l1.n; ++i) {
        PyObject* v = Expr(n->l1[i], kBool);
        if (!v) {
          Py_DECREF(result);
          return nullptr;
        }
        PyObject* pair = Tup(result, v);
        result = pair ? Tup(Str(kind), pair) : nullptr;
      }
      return result;
    }
    case K::UnaryOp: {
      S kind = n->op == kUSub ? sUnarySub : n->op == kUAdd ? sUnaryAdd : n->op == kInvert ? sInvert : sNot;
      if ((ctx >= kOperand && kind == sNot) || ctx == kStrict) {
        Items children;
        if (!children.Add(Expr(n->a, kItem))) return nullptr;
        return VerbatimOf(n, ctx, &children);
      }
      PyObject* operand = Expr(n->a, kItem);
      return operand ? Tup(Str(kind), operand) : nullptr;
    }
    case K::Compare: {
      if (ctx >= kOperand) {
        Items children;
        if (!children.Add(Expr(n->a, kItem))) return nullptr;
        for (int i = 0; i < n->l1.n; ++i) {
          if (!children.Add(Expr(n->l1[i], kItem))) return nullptr;
        }
        return VerbatimOf(n, ctx, &children);
      }
      Items pairs;
      for (int i = 0; i < n->l1.n; ++i) {
        PyObject* c = Expr(n->l1[i], kOperand);
        if (!c || !pairs.Add(Tup(Str(static_cast<S>(sEq + (n->ops[i] - kEq))), c))) return nullptr;
      }
      PyRef pl = PyRef::Steal(pairs.List());
      if (!pl) return nullptr;
      PyObject* left = Expr(n->a, kOperand);
      return left ? Tup(Str(sCompare), left, pl.release()) : nullptr;
    }
    case K::Tuple:
    case K::List:
    case K::Set: {
      bool starred = n->kind == K::Set;
      for (int i = 0; i < n->l1.n && !starred; ++i) starred = n->l1[i]->kind == K::Starred;
      Items elts;
      for (int i = 0; i < n->l1.n; ++i) {
        const Node* e = n->l1[i];
        if (!elts.Add(Expr(starred && e->kind == K::Starred ? e->a : e, kItem))) return nullptr;
      }
      if (starred) return VerbatimOf(n, ctx, &elts);
      PyObject* l = elts.List();
      return l ? Tup(Str(n->kind == K::Tuple ? sTuple : sList), l) : nullptr;
    }
    case K::Dict: {
      Items pairs;
      for (int i = 0; i < n->l1.n; ++i) {
        PyObject* k = n->l1[i] ? Expr(n->l1[i], kItem) : Py_NewRef(Py_None);
        if (!k) return nullptr;
        PyObject* v = Expr(n->l2[i], kItem);
        if (!v) {
          Py_DECREF(k);
          return nullptr;
        }
        if (!pairs.Add(Tup(k, v))) return nullptr;
      }
      if ((ctx == kItem && depth_ == 1) || pairs.v.empty()) {
        // The writer writes any Dict node as "{}": a display is one only as
        // a whole value or when it is empty.
        PyObject* l = pairs.List();
        return l ? Tup(Str(sDict), l) : nullptr;
      }
      Items children;
      for (PyObject* pair : pairs.v) {
        for (int k = 0; k < 2; ++k) {
          PyObject* c = PyTuple_GET_ITEM(pair, k);
          if (c != Py_None) children.Add(Py_NewRef(c));
        }
      }
      return VerbatimOf(n, ctx, &children);
    }
    case K::Subscript:
      return Subscript(n, ctx);
    case K::IfExp: {
      Items children;
      if (!children.Add(Expr(n->a, kItem)) || !children.Add(Expr(n->b, kItem)) ||
          !children.Add(Expr(n->c, kItem)))
        return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    case K::Lambda: {
      // The body is a scope of its own; only the defaults are evaluated here.
      Items children;
      const Node* a = n->a;
      for (int i = 0; i < a->l4.n; ++i) {
        if (!children.Add(Expr(a->l4[i], kItem))) return nullptr;
      }
      for (int i = 0; i < a->l5.n; ++i) {
        if (a->l5[i] && !children.Add(Expr(a->l5[i], kItem))) return nullptr;
      }
      return VerbatimOf(n, ctx, &children);
    }
    case K::ListComp:
    case K::SetComp:
    case K::GenExp:
    case K::DictComp: {
      // Everything but the first iterable is evaluated in the
      // comprehension's own scope; a `:=` inside binds in this one.
      Items children;
      if (!children.Add(Expr(n->l1[0]->b, kItem))) return nullptr;
      std::vector<const Node*> targets;
      WalrusTargets(n, &targets);
      Items scratch;
      for (const Node* t : targets) {
        PyObject* tg = Target(t, &scratch);
        if (!tg) return nullptr;
        PyObject* l = PyList_New(1);
        if (!l) {
          Py_DECREF(tg);
          return nullptr;
        }
        PyList_SET_ITEM(l, 0, tg);
        PyObject* tup = Tup(Str(sTuple), l);
        if (!tup || !children.Add(Tup(Str(sAssign), tup, Py_NewRef(s_none_const)))) return nullptr;
      }
      return VerbatimOf(n, ctx, &children);
    }
    case K::NamedExpr: {
      Items scratch;
      PyRef target = PyRef::Steal(Target(n->a, &scratch));
      if (!target) return nullptr;
      PyObject* value = Expr(n->b, kItem);
      if (!value) return nullptr;
      Items children;
      if (!children.Add(Tup(Str(sAssign), target.release(), value))) return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    case K::Await:
    case K::Yield:
    case K::YieldFrom:
    case K::Starred: {
      Items children;
      if (n->a && !children.Add(Expr(n->a, kItem))) return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    case K::JoinedStr: {
      Items children;
      if (!FieldValues(n, &children)) return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    default:
      return VerbatimOf(n, ctx, nullptr);
  }
}

// The expressions of an f-string's replacement fields, nested format
// specs included.
bool Builder::FieldValues(const Node* n, Items* out) {
  for (int i = 0; i < n->l1.n; ++i) {
    const Node* v = n->l1[i];
    if (v->kind != K::FormattedValue) continue;
    if (!out->Add(Expr(v->a, kItem))) return false;
    if (v->b && !FieldValues(v->b, out)) return false;
  }
  return true;
}

PyObject* Builder::SliceItem(const Node* n) {
  if (n->kind == K::Slice) {
    PyRef lower = PyRef::Steal(n->a ? Expr(n->a, kBool) : Py_NewRef(Py_None));
    if (!lower) return nullptr;
    PyRef upper = PyRef::Steal(n->b ? Expr(n->b, kBool) : Py_NewRef(Py_None));
    if (!upper) return nullptr;
    PyObject* bounds;
    if (n->c == nullptr) {
      bounds = Tup(lower.release(), upper.release());
    } else {
      PyObject* step = Expr(n->c, kBool);
      if (!step) return nullptr;
      bounds = Tup(lower.release(), upper.release(), step);
    }
    return bounds ? Tup(Str(sSliceobj), bounds) : nullptr;
  }
  if (n->kind == K::Starred) return StarredVerbatim("*", n->a);
  return Expr(n, kItem);
}

PyObject* Builder::Subscript(const Node* n, int ctx) {
  const Node* s = n->b;
  Items subs;
  if (s->kind == K::Tuple) {
    bool starred = false, slice = false;
    for (int i = 0; i < s->l1.n; ++i) {
      starred |= s->l1[i]->kind == K::Starred;
      slice |= s->l1[i]->kind == K::Slice;
    }
    if (s->l1.n <= 1 && !starred) {
      if (slice) {
        // `a[1:2,]`: no tuple display can hold the slice.
        Items children;
        if (!children.Add(Expr(n->a, kItem))) return nullptr;
        const Node* e = s->l1[0];
        for (const Node* p : {e->a, e->b, e->c}) {
          if (p && !children.Add(Expr(p, kItem))) return nullptr;
        }
        return VerbatimOf(n, ctx, &children);
      }
      Items elts;
      for (int i = 0; i < s->l1.n; ++i) {
        if (!elts.Add(Expr(s->l1[i], kItem))) return nullptr;
      }
      PyObject* l = elts.List();
      if (!l || !subs.Add(Tup(Str(sTuple), l))) return nullptr;
    } else {
      for (int i = 0; i < s->l1.n; ++i) {
        if (!subs.Add(SliceItem(s->l1[i]))) return nullptr;
      }
    }
  } else if (!subs.Add(SliceItem(s))) {
    return nullptr;
  }
  PyRef sl = PyRef::Steal(subs.List());
  if (!sl) return nullptr;
  PyObject* value = Expr(n->a, kStrict);
  return value ? Tup(Str(sSubscript), value, Str(sOpApply), sl.release()) : nullptr;
}

}  // namespace detail

int InitBuildStrings() {
  using namespace detail;
  if (s_none_const) return 0;
  for (int i = 0; i < sCount; ++i) {
    s_str[i] = PyUnicode_InternFromString(kTexts[i]);
    if (!s_str[i]) return -1;
  }
  s_none_const = Tup(Str(sConst), Py_NewRef(Py_None));
  return s_none_const ? 0 : -1;
}

PyObject* BuildTree(const ParseResult& parsed, PyObject* const* toks, Py_ssize_t fed,
                    const BuildContext& ctx) {
  detail::Builder b(ctx);
  return b.Line(parsed, toks, fed);
}

}  // namespace pgram
