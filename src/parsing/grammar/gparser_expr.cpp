// Expressions.
#include "gparser_impl.h"

namespace pgram {
namespace detail {

// ---------------------------------------------------------------------------
// Expressions

// Elements up to a closing token or the end of the expression list; a
// trailing comma makes a tuple of one.
Node* Parser::StarExpressions() {
  Node* first = StarExpression();
  if (!first || !AtOp(tkComma)) return first;
  return JoinedUntil(
      first, [this] { return EatOp(tkComma); }, [this] { return CanStartExpr(Cur()); },
      &Parser::StarExpression, K::Tuple);
}

Node* Parser::StarExpression() { return AtOp(tkStar) ? StarredBitOr() : Expression(); }

Node* Parser::StarNamedExpression() { return AtOp(tkStar) ? StarredBitOr() : NamedExpression(); }

// `*operand`, the star at the cursor.
Node* Parser::StarredBitOr() {
  ++pos_;
  Node* n = New(K::Starred);
  if (!n || !(n->a = BitOr())) return nullptr;
  return n;
}

Node* Parser::NamedExpression() {
  if (AtPlainName() && IsOp(Peek(), tkColonEqual)) {
    Node* n = New(K::NamedExpr);
    if (!n) return nullptr;
    n->a = NameNode(Cur());
    pos_ += 2;
    if (!(n->b = Expression())) return nullptr;
    return n;
  }
  Node* e = Expression();
  if (e && AtOp(tkColonEqual)) return nullptr;
  return e;
}

Node* Parser::Expression() {
  if (!Enter()) return nullptr;
  Node* result = nullptr;
  if (AtKw(kwLambda)) {
    result = Lambda();
  } else {
    Node* body = Disjunction();
    if (body && AtKw(kwIf)) {
      ++pos_;
      Node* n = New(K::IfExp);
      if (n && (n->a = Disjunction()) && EatKw(kwElse) && (n->c = Expression())) {
        n->b = body;
        result = n;
      }
    } else {
      result = body;
    }
  }
  Leave();
  return result;
}

Node* Parser::Lambda() {
  ++pos_;
  Node* n = New(K::Lambda);
  if (!n || !(n->a = Params(true))) return nullptr;
  if (!EatOp(tkColon)) return nullptr;
  if (!(n->b = Expression())) return nullptr;
  return n;
}

Node* Parser::Disjunction() {
  Node* first = Conjunction();
  if (!first || !AtKw(kwOr)) return first;
  return Joined(first, [this] { return EatKw(kwOr); }, &Parser::Conjunction, K::BoolOp, kOr);
}

Node* Parser::Conjunction() {
  Node* first = Inversion();
  if (!first || !AtKw(kwAnd)) return first;
  return Joined(first, [this] { return EatKw(kwAnd); }, &Parser::Inversion, K::BoolOp, kAnd);
}

// A prefix operator at the cursor and its operand: one node of `kind` (with
// `op`) over what `operand` reads, one nesting level down.
Node* Parser::Prefixed(K kind, uint8_t op, Node* (Parser::*operand)()) {
  ++pos_;
  if (!Enter()) return nullptr;
  Node* n = New(kind);
  Node* a = n ? (this->*operand)() : nullptr;
  Leave();
  if (!a) return nullptr;
  n->op = op;
  n->a = a;
  return n;
}

Node* Parser::Inversion() {
  if (AtKw(kwNot)) return Prefixed(K::UnaryOp, kNot, &Parser::Inversion);
  return Comparison();
}

Node* Parser::Comparison() {
  Node* left = BitOr();
  if (!left) return nullptr;
  NodeVec comparators;
  std::vector<uint8_t> ops;
  for (;;) {
    const Tok& t = Cur();
    uint8_t op = kNoOp;
    int width = 1;
    if (t.type == T::Op) {
      switch (t.code) {
        case tkEqEqual: op = kEq; break;
        case tkNotEqual: op = kNotEq; break;
        case tkLess: op = kLt; break;
        case tkLessEqual: op = kLtE; break;
        case tkGreater: op = kGt; break;
        case tkGreaterEqual: op = kGtE; break;
        default: break;
      }
    } else if (t.type == T::Name) {
      if (t.code == kwIn) {
        op = kIn;
      } else if (t.code == kwNot && IsKw(Peek(), kwIn)) {
        op = kNotIn;
        width = 2;
      } else if (t.code == kwIs) {
        if (IsKw(Peek(), kwNot)) {
          op = kIsNot;
          width = 2;
        } else {
          op = kIs;
        }
      }
    }
    if (op == kNoOp) break;
    pos_ += width;
    Node* right = BitOr();
    if (!right) return nullptr;
    ops.push_back(op);
    comparators.push_back(right);
  }
  if (ops.empty()) return left;
  Node* n = New(K::Compare);
  if (!n || !List(comparators, &n->l1)) return nullptr;
  n->a = left;
  n->ops = static_cast<uint8_t*>(arena_->Alloc(ops.size()));
  if (!n->ops) {
    PyErr_NoMemory();
    return nullptr;
  }
  std::memcpy(n->ops, ops.data(), ops.size());
  return n;
}

Node* Parser::BitOr() { return Binary(0); }

namespace {

// The level of a binary operator token, loosest first (| ^ & shifts sums
// terms: 0 to 5), and its Op; -1 for any other token.
int BinaryLevel(const Tok& t, uint8_t* op) {
  if (t.type != T::Op) return -1;
  switch (t.code) {
    case tkVbar: *op = kBitOr; return 0;
    case tkCircumflex: *op = kBitXor; return 1;
    case tkAmper: *op = kBitAnd; return 2;
    case tkLeftShift: *op = kLShift; return 3;
    case tkRightShift: *op = kRShift; return 3;
    case tkPlus: *op = kAdd; return 4;
    case tkMinus: *op = kSub; return 4;
    case tkStar: *op = kMult; return 5;
    case tkSlash: *op = kDiv; return 5;
    case tkDoubleSlash: *op = kFloorDiv; return 5;
    case tkPercent: *op = kMod; return 5;
    case tkAt: *op = kMatMult; return 5;
    default: return -1;
  }
}

}  // namespace

// The left-associative binary operators of `level` and tighter levels, by
// precedence climbing: one call per operand, the right operand of a level-L
// operator taking every tighter one.  So the operators this loop takes come
// in levels that never rise, and the chain count at each is what a rule per
// level would keep: the count on entry plus the operators of that level
// taken so far.
Node* Parser::Binary(int level) {
  if (level == 6) return Factor();
  ChainScope scope(this);
  const int base = chain_;
  int taken_level = -1;
  int taken = 0;
  Node* left = Factor();
  while (left) {
    uint8_t op = kNoOp;
    int l = BinaryLevel(Cur(), &op);
    if (l < level) break;
    ++pos_;
    if (l != taken_level) {
      taken_level = l;
      taken = 0;
    }
    chain_ = base + taken++;
    if (!Chain()) return nullptr;
    Node* right = Binary(l + 1);
    if (!right) return nullptr;
    Node* n = New(K::BinOp);
    if (!n) return nullptr;
    n->op = op;
    n->a = left;
    n->b = right;
    left = n;
  }
  return left;
}

Node* Parser::Factor() {
  const Tok& t = Cur();
  if (t.type == T::Op && (t.code == tkPlus || t.code == tkMinus || t.code == tkTilde))
    return Prefixed(K::UnaryOp, t.code == tkPlus ? kUAdd : t.code == tkMinus ? kUSub : kInvert, &Parser::Factor);
  return Power();
}

Node* Parser::Power() {
  Node* base;
  if (AtKw(kwAwait)) {
    ++pos_;
    base = New(K::Await);
    if (!base || !(base->a = Primary())) return nullptr;
  } else {
    base = Primary();
  }
  if (!base || !AtOp(tkDoubleStar)) return base;
  ++pos_;
  if (!Enter()) return nullptr;
  Node* n = New(K::BinOp);
  Node* right = n ? Factor() : nullptr;
  Leave();
  if (!right) return nullptr;
  n->op = kPow;
  n->a = base;
  n->b = right;
  return n;
}

Node* Parser::Primary() {
  Node* n = Atom();
  return n ? Trailers(n) : nullptr;
}

// `n.name`, the dot taken and the name at the cursor.
Node* Parser::AttributeOf(Node* n) {
  if (!AtPlainName()) return nullptr;
  Node* a = New(K::Attribute);
  if (!a) return nullptr;
  a->a = n;
  a->obj = Cur().obj;
  ++pos_;
  return a;
}

Node* Parser::Trailers(Node* n) {
  ChainScope scope(this);
  for (;;) {
    if ((AtOp(tkDot) || AtOp(tkLPar) || AtOp(tkLSqb)) && !Chain()) return nullptr;
    if (AtOp(tkDot)) {
      ++pos_;
      if (!(n = AttributeOf(n))) return nullptr;
    } else if (AtOp(tkLPar)) {
      ++pos_;
      Node* c = New(K::Call);
      if (!c) return nullptr;
      NodeVec args, keywords;
      if (!CallArgs(&args, &keywords, true)) return nullptr;
      if (!List(args, &c->l1) || !List(keywords, &c->l2)) return nullptr;
      c->a = n;
      n = c;
    } else if (AtOp(tkLSqb)) {
      ++pos_;
      Node* s = New(K::Subscript);
      if (!s || !(s->b = Slices())) return nullptr;
      if (!EatOp(tkRSqb)) return nullptr;
      s->a = n;
      n = s;
    } else {
      return n;
    }
  }
}

// Arguments after "(" up to and including ")".
bool Parser::CallArgs(NodeVec* args, NodeVec* keywords, bool allow_genexp) {
  bool keyword_seen = false, double_star_seen = false;
  while (!AtOp(tkRPar)) {
    if (AtOp(tkStar)) {
      if (double_star_seen) {
        Expect("iterable argument unpacking follows keyword argument unpacking");
        return false;
      }
      ++pos_;
      Node* s = New(K::Starred);
      if (!s || !(s->a = Expression())) return false;
      args->push_back(s);
    } else if (AtOp(tkDoubleStar)) {
      ++pos_;
      Node* k = New(K::Keyword);
      if (!k || !(k->a = Expression())) return false;
      keywords->push_back(k);
      double_star_seen = true;
    } else if (AtPlainName() && IsOp(Peek(), tkEqual)) {
      Node* k = New(K::Keyword);
      if (!k) return false;
      k->obj = Cur().obj;
      pos_ += 2;
      if (!(k->a = Expression())) return false;
      keywords->push_back(k);
      keyword_seen = true;
    } else {
      Node* e = NamedExpression();
      if (!e) return false;
      if (AtComprehension()) {
        // A generator expression as the only argument needs no parentheses.
        if (!allow_genexp || !args->empty() || !keywords->empty()) return false;
        Node* g = New(K::GenExp);
        if (!g || !Generators(&g->l1)) return false;
        g->a = e;
        args->push_back(g);
        return EatOp(tkRPar);
      }
      if (keyword_seen || double_star_seen) {
        Expect(double_star_seen ? "positional argument follows keyword argument unpacking"
                                : "positional argument follows keyword argument");
        return false;
      }
      args->push_back(e);
    }
    if (!EatOp(tkComma)) break;
  }
  return EatOp(tkRPar);
}

Node* Parser::SliceItem() {
  if (AtOp(tkStar)) {
    ++pos_;
    Node* s = New(K::Starred);
    if (!s || !(s->a = BitOr())) return nullptr;
    return s;
  }
  Node* lower = nullptr;
  if (!AtOp(tkColon)) {
    lower = NamedExpression();
    if (!lower) return nullptr;
    if (!AtOp(tkColon)) return lower;
    if (lower->kind == K::NamedExpr && !(lower->flags & kParenthesized)) return nullptr;
  }
  ++pos_;  // the colon
  Node* s = New(K::Slice);
  if (!s) return nullptr;
  s->a = lower;
  if (!AtOp(tkColon) && !AtOp(tkRSqb) && !AtOp(tkComma)) {
    if (!(s->b = Expression())) return nullptr;
  }
  if (EatOp(tkColon)) {
    if (!AtOp(tkRSqb) && !AtOp(tkComma)) {
      if (!(s->c = Expression())) return nullptr;
    }
  }
  return s;
}

Node* Parser::Slices() {
  Node* first = SliceItem();
  if (!first) return nullptr;
  if (!AtOp(tkComma) && first->kind != K::Starred) return first;
  NodeVec elts{first};
  while (EatOp(tkComma)) {
    if (AtOp(tkRSqb)) break;
    Node* e = SliceItem();
    if (!e) return nullptr;
    elts.push_back(e);
  }
  Node* n = New(K::Tuple);
  if (!n || !List(elts, &n->l1)) return nullptr;
  return n;
}

bool Parser::Generators(NodeList* out) {
  NodeVec gens;
  for (;;) {
    bool is_async = false;
    if (AtKw(kwAsync) && IsKw(Peek(), kwFor)) {
      is_async = true;
      ++pos_;
    }
    if (!EatKw(kwFor)) break;
    Node* g = New(K::Comprehension);
    if (!g) return false;
    if (is_async) g->flags |= kAsync;
    if (!(g->a = StarTargets())) return false;
    if (!EatKw(kwIn)) return false;
    if (!(g->b = Disjunction())) return false;
    NodeVec ifs;
    while (EatKw(kwIf)) {
      Node* c = Disjunction();
      if (!c) return false;
      ifs.push_back(c);
    }
    if (!List(ifs, &g->l1)) return false;
    gens.push_back(g);
  }
  if (gens.empty()) return false;
  return List(gens, out);
}

Node* Parser::YieldExpr() {
  ++pos_;
  if (EatKw(kwFrom)) {
    Node* n = New(K::YieldFrom);
    if (!n || !(n->a = Expression())) return nullptr;
    return n;
  }
  Node* n = New(K::Yield);
  if (n && CanStartExpr(Cur())) {
    if (!(n->a = StarExpressions())) return nullptr;
  }
  return n;
}

Node* Parser::Atom() {
  const Tok& t = Cur();
  switch (t.type) {
    case T::Name:
      switch (t.code) {
        case kwNone_:
          ++pos_;
          return NameNode(t);
        case kwNone:
        case kwTrue:
        case kwFalse: {
          ++pos_;
          Node* n = New(K::Const);
          if (n) n->obj = t.code == kwNone ? Py_None : t.code == kwTrue ? Py_True : Py_False;
          return n;
        }
        default:
          return nullptr;
      }
    case T::Number: {
      ++pos_;
      PyObject* v = owned_->Keep(DecodeNumber(t));
      if (!v) return nullptr;
      Node* n = New(K::Const);
      if (n) n->obj = v;
      return n;
    }
    case T::String:
      return Strings();
    case T::Op:
      switch (t.code) {
        case tkLPar: return Paren();
        case tkLSqb: return Bracket();
        case tkLBrace: return Brace();
        case tkEllipsis: {
          ++pos_;
          return New(K::Const);  // obj null: the Ellipsis
        }
        default: return nullptr;
      }
    default:
      return nullptr;
  }
}

// Adjacent string tokens are one literal.
namespace {

// The value of implicitly concatenated literals: every piece decoded, then
// copied once into a result of the summed length (joining them one by one
// would copy the text made so far again for every piece, which is quadratic
// in tables written as long runs of literals).
PyObject* JoinPieces(const std::vector<StrParts>& parts, bool bytes) {
  if (parts.size() == 1) {
    const StrParts& p = parts[0];
    return bytes ? DecodeBytesBody(p.body, p.body_len, p.raw) : DecodeStrBody(p.body, p.body_len, p.raw);
  }
  std::vector<PyRef> pieces;
  pieces.reserve(parts.size());
  Py_ssize_t total = 0;
  Py_UCS4 max_char = 0;
  for (const StrParts& p : parts) {
    PyRef piece = PyRef::Steal(bytes ? DecodeBytesBody(p.body, p.body_len, p.raw)
                                     : DecodeStrBody(p.body, p.body_len, p.raw));
    if (!piece) return nullptr;
    if (bytes) {
      total += PyBytes_GET_SIZE(piece.get());
    } else {
      total += PyUnicode_GET_LENGTH(piece.get());
      Py_UCS4 m = PyUnicode_MAX_CHAR_VALUE(piece.get());
      if (m > max_char) max_char = m;
    }
    pieces.push_back(std::move(piece));
  }
  if (bytes) {
    PyObject* out = PyBytes_FromStringAndSize(nullptr, total);
    if (!out) return nullptr;
    char* at = PyBytes_AS_STRING(out);
    for (const PyRef& piece : pieces) {
      Py_ssize_t len = PyBytes_GET_SIZE(piece.get());
      if (len > 0) std::memcpy(at, PyBytes_AS_STRING(piece.get()), static_cast<size_t>(len));
      at += len;
    }
    return out;
  }
  PyRef out = PyRef::Steal(PyUnicode_New(total, max_char));
  if (!out) return nullptr;
  Py_ssize_t at = 0;
  for (const PyRef& piece : pieces) {
    Py_ssize_t len = PyUnicode_GET_LENGTH(piece.get());
    if (PyUnicode_CopyCharacters(out.get(), at, piece.get(), 0, len) < 0) return nullptr;
    at += len;
  }
  return out.release();
}

}  // namespace

Node* Parser::Strings() {
  std::vector<StrParts> parts;
  bool any_bytes = false, any_str = false, any_f = false;
  while (Cur().type == T::String) {
    StrParts p;
    if (!SplitString(Cur(), &p)) {
      // An unterminated string: the interpreter's tokenizer rejects it.
      return nullptr;
    }
    (p.bytes ? any_bytes : any_str) = true;
    any_f |= p.fstr;
    parts.push_back(p);
    ++pos_;
  }
  if (any_bytes && any_str) {
    SetSyntaxError("cannot mix bytes and nonbytes literals");
    return nullptr;
  }
  if (any_f) return JoinedStr(parts);
  Node* n = New(K::Const);
  if (!n) return nullptr;
  if (parts[0].unicode) n->flags |= kUnicodeKind;
  PyObject* value = JoinPieces(parts, any_bytes);
  if (!value) return nullptr;
  n->obj = owned_->Keep(value);
  return n;
}

// `first for ...` up to `close`, as a node of `kind`.
Node* Parser::Comprehension(Node* first, Tk close, K kind) {
  Node* g = New(kind);
  if (!g || first->kind == K::Starred || !Generators(&g->l1) || !EatOp(close)) return nullptr;
  g->a = first;
  return g;
}

// The elements of a display after its first, up to `close` (a trailing
// comma allowed), as a node of `kind` that holds them in l1.
Node* Parser::DisplayRest(Node* first, Tk close, K kind) {
  NodeVec elts{first};
  while (EatOp(tkComma)) {
    if (AtOp(close)) break;
    Node* e = StarNamedExpression();
    if (!e) return nullptr;
    elts.push_back(e);
  }
  if (!EatOp(close)) return nullptr;
  Node* n = New(kind);
  if (!n || !List(elts, &n->l1)) return nullptr;
  return n;
}

Node* Parser::Paren() {
  ++pos_;
  if (!Enter()) return nullptr;
  Node* result = nullptr;
  if (AtOp(tkRPar)) {
    ++pos_;
    result = New(K::Tuple);
  } else if (AtKw(kwYield)) {
    result = YieldExpr();
    if (result && !EatOp(tkRPar)) result = nullptr;
  } else if (Node* first = StarNamedExpression()) {
    if (AtComprehension()) {
      result = Comprehension(first, tkRPar, K::GenExp);
    } else if (AtOp(tkRPar)) {
      ++pos_;
      if (first->kind != K::Starred) {
        first->flags |= kParenthesized;
        result = first;
      }
    } else if (AtOp(tkComma)) {
      result = DisplayRest(first, tkRPar, K::Tuple);
      if (result) result->flags |= kParenthesized;
    }
  }
  Leave();
  return result;
}

Node* Parser::Bracket() {
  ++pos_;
  if (!Enter()) return nullptr;
  Node* result = nullptr;
  if (EatOp(tkRSqb)) {
    result = New(K::List);
  } else if (Node* first = StarNamedExpression()) {
    result = AtComprehension() ? Comprehension(first, tkRSqb, K::ListComp) : DisplayRest(first, tkRSqb, K::List);
  }
  Leave();
  return result;
}

Node* Parser::Brace() {
  ++pos_;
  if (!Enter()) return nullptr;
  Node* result = nullptr;
  if (EatOp(tkRBrace)) {
    result = New(K::Dict);
    Leave();
    return result;
  }
  bool is_dict = AtOp(tkDoubleStar);
  Node* first_key = nullptr;
  Node* first_value = nullptr;
  Node* first = nullptr;
  if (is_dict) {
    ++pos_;
    first_value = BitOr();
  } else {
    first = StarNamedExpression();
    if (first && AtOp(tkColon)) {
      if (first->kind == K::Starred ||
          (first->kind == K::NamedExpr && !(first->flags & kParenthesized))) {
        first = nullptr;
      } else {
        ++pos_;
        is_dict = true;
        first_key = first;
        first_value = Expression();
      }
    }
  }
  if (is_dict && first_value) {
    if (first_key && AtComprehension()) {
      Node* g = New(K::DictComp);
      if (g && Generators(&g->l1) && EatOp(tkRBrace)) {
        g->a = first_key;
        g->b = first_value;
        result = g;
      }
    } else {
      NodeVec keys{first_key}, values{first_value};
      bool ok = true;
      while (ok && EatOp(tkComma)) {
        if (AtOp(tkRBrace)) break;
        Node* k = nullptr;
        Node* v = nullptr;
        if (EatOp(tkDoubleStar)) {
          v = BitOr();
        } else {
          k = Expression();
          if (k && EatOp(tkColon)) v = Expression();
        }
        if (!v) ok = false;
        keys.push_back(k);
        values.push_back(v);
      }
      if (ok && EatOp(tkRBrace)) {
        Node* n = New(K::Dict);
        if (n && List(keys, &n->l1) && List(values, &n->l2)) result = n;
      }
    }
  } else if (!is_dict && first) {
    result = AtComprehension() ? Comprehension(first, tkRBrace, K::SetComp) : DisplayRest(first, tkRBrace, K::Set);
  }
  Leave();
  return result;
}


}  // namespace detail
}  // namespace pgram
