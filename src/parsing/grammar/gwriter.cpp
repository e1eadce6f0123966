// Canonical text of expressions and patterns.
#include "gwriter.h"

namespace pgram {

namespace {

constexpr const char* kInfStr = "1e309";

int Next(int prec) { return prec < kPAtom ? prec + 1 : prec; }

bool AppendObjText(PyObject* s, std::string* out) {
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s, &n);
  if (text == nullptr) return false;
  out->append(text, static_cast<size_t>(n));
  return true;
}

bool AppendRepr(PyObject* v, std::string* out) {
  PyObject* r = PyObject_Repr(v);
  if (r == nullptr) return false;
  bool ok = AppendObjText(r, out);
  Py_DECREF(r);
  return ok;
}

// A constant as the unparser writes it: the repr, with infinities written
// as an overflowing literal and NaN as the difference of two of them.
bool WriteConstant(PyObject* v, std::string* out) {
  if (PyFloat_CheckExact(v) || PyComplex_CheckExact(v)) {
    std::string r;
    if (!AppendRepr(v, &r)) return false;
    for (size_t i = 0; i < r.size();) {
      if (r.compare(i, 3, "inf") == 0) {
        out->append(kInfStr);
        i += 3;
      } else if (r.compare(i, 3, "nan") == 0) {
        out->append("(").append(kInfStr).append("-").append(kInfStr).append(")");
        i += 3;
      } else {
        out->push_back(r[i++]);
      }
    }
    return true;
  }
  return AppendRepr(v, out);
}

const char* BinOpText(uint8_t op) {
  switch (op) {
    case kAdd: return "+";
    case kSub: return "-";
    case kMult: return "*";
    case kMatMult: return "@";
    case kDiv: return "/";
    case kMod: return "%";
    case kPow: return "**";
    case kLShift: return "<<";
    case kRShift: return ">>";
    case kBitOr: return "|";
    case kBitXor: return "^";
    case kBitAnd: return "&";
    case kFloorDiv: return "//";
    default: return "?";
  }
}

int BinOpPrec(uint8_t op) {
  switch (op) {
    case kAdd: case kSub: return kPArith;
    case kMult: case kMatMult: case kDiv: case kMod: case kFloorDiv: return kPTerm;
    case kLShift: case kRShift: return kPShift;
    case kBitOr: return kPBor;
    case kBitXor: return kPBxor;
    case kBitAnd: return kPBand;
    case kPow: return kPPower;
    default: return kPTest;
  }
}

const char* CmpOpText(uint8_t op) {
  switch (op) {
    case kEq: return "==";
    case kNotEq: return "!=";
    case kLt: return "<";
    case kLtE: return "<=";
    case kGt: return ">";
    case kGtE: return ">=";
    case kIs: return "is";
    case kIsNot: return "is not";
    case kIn: return "in";
    case kNotIn: return "not in";
    default: return "?";
  }
}

class Writer {
 public:
  explicit Writer(std::string* out) : out_(out) {}

  bool Expr(const Node* n, int prec);
  bool Pattern(const Node* n, int prec);

 private:
  void W(const char* s) { out_->append(s); }
  bool Items(const NodeList& l, const char* sep = ", ") {
    for (int i = 0; i < l.n; ++i) {
      if (i) W(sep);
      if (!Expr(l[i], kPTest)) return false;
    }
    return true;
  }
  // Elements of a tuple: one element gets a trailing comma.
  bool ItemsView(const NodeList& l) {
    if (l.n == 1) {
      if (!Expr(l[0], kPTest)) return false;
      W(",");
      return true;
    }
    return Items(l);
  }
  bool Generators(const NodeList& gens);
  bool Arguments(const Node* args);

  std::string* out_;
};

bool Writer::Generators(const NodeList& gens) {
  for (int i = 0; i < gens.n; ++i) {
    const Node* g = gens[i];
    W((g->flags & kAsync) ? " async for " : " for ");
    if (!Expr(g->a, kPTuple)) return false;
    W(" in ");
    if (!Expr(g->b, Next(kPTest))) return false;
    for (int k = 0; k < g->l1.n; ++k) {
      W(" if ");
      if (!Expr(g->l1[k], Next(kPTest))) return false;
    }
  }
  return true;
}

bool Writer::Arguments(const Node* a) {
  bool first = true;
  int nposonly = a->l1.n;
  int nall = a->l1.n + a->l2.n;
  int ndefaults = a->l4.n;
  for (int i = 0; i < nall; ++i) {
    const Node* arg = i < nposonly ? a->l1[i] : a->l2[i - nposonly];
    if (!first) W(", ");
    first = false;
    if (!AppendObjText(arg->obj, out_)) return false;
    if (arg->a) {
      W(": ");
      if (!Expr(arg->a, kPTest)) return false;
    }
    int d = i - (nall - ndefaults);
    if (d >= 0) {
      W("=");
      if (!Expr(a->l4[d], kPTest)) return false;
    }
    if (i + 1 == nposonly) W(", /");
  }
  if (a->a || a->l3.n) {
    if (!first) W(", ");
    first = false;
    W("*");
    if (a->a) {
      if (!AppendObjText(a->a->obj, out_)) return false;
      if (a->a->a) {
        W(": ");
        if (!Expr(a->a->a, kPTest)) return false;
      }
    }
  }
  for (int i = 0; i < a->l3.n; ++i) {
    W(", ");
    const Node* arg = a->l3[i];
    if (!AppendObjText(arg->obj, out_)) return false;
    if (arg->a) {
      W(": ");
      if (!Expr(arg->a, kPTest)) return false;
    }
    if (a->l5[i]) {
      W("=");
      if (!Expr(a->l5[i], kPTest)) return false;
    }
  }
  if (a->b) {
    if (!first) W(", ");
    W("**");
    if (!AppendObjText(a->b->obj, out_)) return false;
    if (a->b->a) {
      W(": ");
      if (!Expr(a->b->a, kPTest)) return false;
    }
  }
  return true;
}

bool Writer::Expr(const Node* n, int prec) {
  switch (n->kind) {
    case K::Name:
      return AppendObjText(n->obj, out_);
    case K::Const:
      if (n->obj == nullptr) {
        W("...");
        return true;
      }
      if (n->flags & kUnicodeKind) W("u");
      return WriteConstant(n->obj, out_);
    case K::NamedExpr: {
#if PY_VERSION_HEX < 0x030B0000
      bool parens = prec > kPTuple;
#else
      bool parens = prec > kPNamedExpr;
#endif
      if (parens) W("(");
      if (!Expr(n->a, kPAtom)) return false;
      W(" := ");
      if (!Expr(n->b, kPAtom)) return false;
      if (parens) W(")");
      return true;
    }
    case K::Await:
    case K::Yield:
    case K::YieldFrom: {
      int own = n->kind == K::Await ? kPAwait : kPYield;
      bool parens = prec > own;
      if (parens) W("(");
      W(n->kind == K::Await ? "await" : n->kind == K::Yield ? "yield" : "yield from");
      if (n->a) {
        W(" ");
        if (!Expr(n->a, kPAtom)) return false;
      }
      if (parens) W(")");
      return true;
    }
    case K::List:
      W("[");
      if (!Items(n->l1)) return false;
      W("]");
      return true;
    case K::ListComp:
    case K::SetComp:
    case K::GenExp:
      W(n->kind == K::ListComp ? "[" : n->kind == K::SetComp ? "{" : "(");
      if (!Expr(n->a, kPTest) || !Generators(n->l1)) return false;
      W(n->kind == K::ListComp ? "]" : n->kind == K::SetComp ? "}" : ")");
      return true;
    case K::DictComp:
      W("{");
      if (!Expr(n->a, kPTest)) return false;
      W(": ");
      if (!Expr(n->b, kPTest) || !Generators(n->l1)) return false;
      W("}");
      return true;
    case K::IfExp: {
      bool parens = prec > kPTest;
      if (parens) W("(");
      if (!Expr(n->b, Next(kPTest))) return false;
      W(" if ");
      if (!Expr(n->a, Next(kPTest))) return false;
      W(" else ");
      if (!Expr(n->c, kPTest)) return false;
      if (parens) W(")");
      return true;
    }
    case K::Set:
      if (n->l1.n == 0) {
        W("{*()}");
        return true;
      }
      W("{");
      if (!Items(n->l1)) return false;
      W("}");
      return true;
    case K::Dict:
      W("{");
      for (int i = 0; i < n->l1.n; ++i) {
        if (i) W(", ");
        if (n->l1[i] == nullptr) {
          W("**");
          if (!Expr(n->l2[i], kPExpr)) return false;
        } else {
          if (!Expr(n->l1[i], kPTest)) return false;
          W(": ");
          if (!Expr(n->l2[i], kPTest)) return false;
        }
      }
      W("}");
      return true;
    case K::Tuple: {
#if PY_VERSION_HEX < 0x030B0000
      bool parens = true;
#else
      bool parens = n->l1.n == 0 || prec > kPTuple;
#endif
      if (parens) W("(");
      if (!ItemsView(n->l1)) return false;
      if (parens) W(")");
      return true;
    }
    case K::UnaryOp: {
      int own = n->op == kNot ? kPNot : kPFactor;
      bool parens = prec > own;
      if (parens) W("(");
      W(n->op == kNot ? "not " : n->op == kInvert ? "~" : n->op == kUAdd ? "+" : "-");
      if (!Expr(n->a, own)) return false;
      if (parens) W(")");
      return true;
    }
    case K::BinOp: {
      int own = BinOpPrec(n->op);
      bool parens = prec > own;
      if (parens) W("(");
      bool right_assoc = n->op == kPow;
      if (!Expr(n->a, right_assoc ? Next(own) : own)) return false;
      W(" ");
      W(BinOpText(n->op));
      W(" ");
      if (!Expr(n->b, right_assoc ? own : Next(own))) return false;
      if (parens) W(")");
      return true;
    }
    case K::Compare: {
      bool parens = prec > kPCmp;
      if (parens) W("(");
      if (!Expr(n->a, Next(kPCmp))) return false;
      for (int i = 0; i < n->l1.n; ++i) {
        W(" ");
        W(CmpOpText(n->ops[i]));
        W(" ");
        if (!Expr(n->l1[i], Next(kPCmp))) return false;
      }
      if (parens) W(")");
      return true;
    }
    case K::BoolOp: {
      int own = n->op == kAnd ? kPAnd : kPOr;
      bool parens = prec > own;
      if (parens) W("(");
      // Each operand is written one level tighter than the one before it.
      int level = own;
      for (int i = 0; i < n->l1.n; ++i) {
        if (i) W(n->op == kAnd ? " and " : " or ");
        level = Next(level);
        if (!Expr(n->l1[i], level)) return false;
      }
      if (parens) W(")");
      return true;
    }
    case K::Attribute:
      if (!Expr(n->a, kPAtom)) return false;
      // `3.real` would read as a float: the unparser separates the dot.
      if (n->a->kind == K::Const && n->a->obj && PyLong_Check(n->a->obj)) W(" ");
      W(".");
      return AppendObjText(n->obj, out_);
    case K::Call: {
      if (!Expr(n->a, kPAtom)) return false;
      W("(");
      bool comma = false;
      for (int i = 0; i < n->l1.n; ++i) {
        if (comma) W(", ");
        comma = true;
        if (!Expr(n->l1[i], kPTest)) return false;
      }
      for (int i = 0; i < n->l2.n; ++i) {
        if (comma) W(", ");
        comma = true;
        if (!Expr(n->l2[i], kPTest)) return false;
      }
      W(")");
      return true;
    }
    case K::Keyword:
      if (n->obj == nullptr) {
        W("**");
      } else {
        if (!AppendObjText(n->obj, out_)) return false;
        W("=");
      }
      return Expr(n->a, kPTest);
    case K::Subscript: {
      if (!Expr(n->a, kPAtom)) return false;
      W("[");
      const Node* s = n->b;
      bool items = s->kind == K::Tuple && s->l1.n > 0;
#if PY_VERSION_HEX < 0x030B0000
      for (int i = 0; items && i < s->l1.n; ++i) {
        if (s->l1[i]->kind == K::Starred) items = false;
      }
#endif
      if (items) {
        if (!ItemsView(s->l1)) return false;
      } else if (!Expr(s, kPTest)) {
        return false;
      }
      W("]");
      return true;
    }
    case K::Starred:
      W("*");
      return Expr(n->a, kPExpr);
    case K::Slice:
      if (n->a && !Expr(n->a, kPTest)) return false;
      W(":");
      if (n->b && !Expr(n->b, kPTest)) return false;
      if (n->c) {
        W(":");
        if (!Expr(n->c, kPTest)) return false;
      }
      return true;
    case K::Lambda: {
      bool parens = prec > kPTest;
      if (parens) W("(");
      W("lambda");
      std::string args;
      Writer aw(&args);
      if (!aw.Arguments(n->a)) return false;
      if (!args.empty()) {
        W(" ");
        out_->append(args);
      }
      W(": ");
      if (!Expr(n->b, kPTest)) return false;
      if (parens) W(")");
      return true;
    }
    default:
      PyErr_SetString(PyExc_SystemError, "pysource_grammar: no text for this expression");
      return false;
  }
}

bool Writer::Pattern(const Node* n, int prec) {
  switch (n->kind) {
    case K::MatchValue:
      return Expr(n->a, kPTest);
    case K::MatchSingleton:
      return WriteConstant(n->obj, out_);
    case K::MatchSequence:
      W("[");
      for (int i = 0; i < n->l1.n; ++i) {
        if (i) W(", ");
        if (!Pattern(n->l1[i], kPTest)) return false;
      }
      W("]");
      return true;
    case K::MatchStar:
      W("*");
      if (n->obj == nullptr) {
        W("_");
        return true;
      }
      return AppendObjText(n->obj, out_);
    case K::MatchMapping:
      W("{");
      for (int i = 0; i < n->l1.n; ++i) {
        if (i) W(", ");
        if (!Expr(n->l1[i], kPTest)) return false;
        W(": ");
        if (!Pattern(n->l2[i], kPTest)) return false;
      }
      if (n->obj) {
        if (n->l1.n) W(", ");
        W("**");
        if (!AppendObjText(n->obj, out_)) return false;
      }
      W("}");
      return true;
    case K::MatchClass:
      if (!Expr(n->a, kPAtom)) return false;
      W("(");
      for (int i = 0; i < n->l1.n; ++i) {
        if (i) W(", ");
        if (!Pattern(n->l1[i], kPTest)) return false;
      }
      for (int i = 0; i < n->l2.n; ++i) {
        if (i || n->l1.n) W(", ");
        if (!AppendObjText(n->l2[i]->obj, out_)) return false;
        W("=");
        if (!Pattern(n->l3[i], kPTest)) return false;
      }
      W(")");
      return true;
    case K::MatchAs: {
      if (n->obj == nullptr) {
        W("_");
        return true;
      }
      if (n->a == nullptr) return AppendObjText(n->obj, out_);
      bool parens = prec > kPTest;
      if (parens) W("(");
      if (!Pattern(n->a, kPBor)) return false;
      W(" as ");
      if (!AppendObjText(n->obj, out_)) return false;
      if (parens) W(")");
      return true;
    }
    case K::MatchOr: {
      bool parens = prec > kPBor;
      if (parens) W("(");
      for (int i = 0; i < n->l1.n; ++i) {
        if (i) W(" | ");
        if (!Pattern(n->l1[i], Next(kPBor))) return false;
      }
      if (parens) W(")");
      return true;
    }
    default:
      PyErr_SetString(PyExc_SystemError, "pysource_grammar: no text for this pattern");
      return false;
  }
}

}  // namespace

bool WriteExpr(const Node* n, int prec, std::string* out) { return Writer(out).Expr(n, prec); }
bool WritePattern(const Node* n, int prec, std::string* out) {
  return Writer(out).Pattern(n, prec);
}

}  // namespace pgram
