// Assignment targets, and the patterns of case clauses.
#include "gparser_impl.h"

namespace pgram {
namespace detail {

// ---------------------------------------------------------------------------
// Targets

Node* Parser::StarTargets() {
  Node* first = StarTarget();
  if (!first) return nullptr;
  // A lone starred target (`for *a in b`) parses too; the interpreter's
  // parser takes it as well.
  if (!AtOp(tkComma)) return ToStore(first, true) ? first : nullptr;
  auto more = [this] {
    if (!(AtOp(tkStar) || AtOp(tkLPar) || AtOp(tkLSqb) || Cur().type == T::Name ||
          Cur().type == T::String || Cur().type == T::Number || AtOp(tkLBrace)))
      return false;
    return !(Cur().type == T::Name && Cur().code != kwNone_ && Cur().code != kwNone &&
             Cur().code != kwTrue && Cur().code != kwFalse);
  };
  Node* n = JoinedUntil(first, [this] { return EatOp(tkComma); }, more, &Parser::StarTarget, K::Tuple);
  return n && ToStore(n, true) ? n : nullptr;
}

Node* Parser::StarTarget() {
  if (AtOp(tkStar)) return Prefixed(K::Starred, kNoOp, &Parser::StarTarget);
  Node* n = TargetAtom();
  if (n && !ToStore(n, true)) return nullptr;
  return n;
}

// A target: a name, a parenthesized or bracketed target list, or a primary
// ending in an attribute or subscript.
Node* Parser::TargetAtom() {
  Node* n;
  if (AtOp(tkLPar) || AtOp(tkLSqb)) {
    bool paren = AtOp(tkLPar);
    NodeVec elts;
    bool comma = false;
    if (!BracketItems(paren ? tkRPar : tkRSqb, &Parser::StarTarget, &elts, &comma)) return nullptr;
    if (paren && elts.size() == 1 && !comma) {
      n = elts[0];
      if (n->kind == K::Starred) return nullptr;
      n->flags |= kParenthesized;
    } else {
      n = New(paren ? K::Tuple : K::List);
      if (!n || !List(elts, &n->l1)) return nullptr;
      n->flags |= kParenthesized;
    }
  } else if (AtPlainName()) {
    n = NameNode(Cur());
    ++pos_;
  } else {
    n = Atom();
  }
  if (!n) return nullptr;
  return Trailers(n);
}

// Whether `n` can be assigned to.
bool Parser::ToStore(Node* n, bool allow_star) {
  switch (n->kind) {
    case K::Name:
    case K::Attribute:
    case K::Subscript:
      return true;
    case K::Starred:
      return allow_star && ToStore(n->a, false);
    case K::Tuple:
    case K::List:
      for (int i = 0; i < n->l1.n; ++i) {
        if (!ToStore(n->l1[i], true)) return false;
      }
      return true;
    default:
      return false;
  }
}

bool Parser::BracketItems(Tk close, Node* (Parser::*item)(), NodeVec* items, bool* comma) {
  ++pos_;
  if (!Enter()) return false;
  while (!AtOp(close)) {
    Node* e = (this->*item)();
    if (!e) {
      Leave();
      return false;
    }
    items->push_back(e);
    if (!EatOp(tkComma)) break;
    *comma = true;
  }
  Leave();
  return EatOp(close);
}

bool Parser::CheckDelTarget(Node* n) {
  switch (n->kind) {
    case K::Name:
    case K::Attribute:
    case K::Subscript:
      return true;
    case K::Tuple:
    case K::List:
      for (int i = 0; i < n->l1.n; ++i) {
        if (!CheckDelTarget(n->l1[i])) return false;
      }
      return true;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Case clauses and their patterns

Node* Parser::CaseLine() {
  ++pos_;  // case
  Node* n = New(K::Case);
  if (!n || !(n->a = Patterns())) return nullptr;
  if (EatKw(kwIf) && !(n->b = NamedExpression())) return nullptr;
  if (!Block(&n->l1)) return nullptr;
  return n;
}

Node* Parser::Patterns() {
  Node* first = MaybeStarPattern();
  if (!first) return nullptr;
  if (!AtOp(tkComma)) return first->kind == K::MatchStar ? nullptr : first;
  return JoinedUntil(
      first, [this] { return EatOp(tkComma); }, [this] { return !AtOp(tkColon) && !AtKw(kwIf); },
      &Parser::MaybeStarPattern, K::MatchSequence);
}

Node* Parser::MaybeStarPattern() {
  if (AtOp(tkStar)) {
    ++pos_;
    if (!AtPlainName()) return nullptr;
    Node* n = New(K::MatchStar);
    if (!n) return nullptr;
    if (!TextIs(Cur(), "_")) n->obj = Cur().obj;
    ++pos_;
    return n;
  }
  return Pattern();
}

Node* Parser::Pattern() {
  if (!Enter()) return nullptr;
  Node* p = OrPattern();
  if (p && EatKw(kwAs)) {
    if (!AtPlainName() || TextIs(Cur(), "_")) {
      Leave();
      return nullptr;
    }
    Node* n = New(K::MatchAs);
    if (n) {
      n->a = p;
      n->obj = Cur().obj;
      ++pos_;
    }
    p = n;
  }
  Leave();
  return p;
}

Node* Parser::OrPattern() {
  Node* first = ClosedPattern();
  if (!first || !AtOp(tkVbar)) return first;
  return Joined(first, [this] { return EatOp(tkVbar); }, &Parser::ClosedPattern, K::MatchOr);
}

Node* Parser::LiteralNumber() {
  if (Cur().type != T::Number) return nullptr;
  Node* c = Atom();
  return c;
}

// A signed number, or a complex literal `real +/- imag`, as an expression.
Node* Parser::SignedNumber() {
  Node* num;
  if (AtOp(tkMinus)) {
    ++pos_;
    Node* operand = LiteralNumber();
    if (!operand) return nullptr;
    num = New(K::UnaryOp);
    if (!num) return nullptr;
    num->op = kUSub;
    num->a = operand;
  } else {
    num = LiteralNumber();
    if (!num) return nullptr;
  }
  if ((AtOp(tkPlus) || AtOp(tkMinus)) && Peek().type == T::Number) {
    bool plus = AtOp(tkPlus);
    ++pos_;
    Node* imag = LiteralNumber();
    if (!imag || !PyComplex_CheckExact(imag->obj)) return nullptr;
    Node* n = New(K::BinOp);
    if (!n) return nullptr;
    n->op = plus ? kAdd : kSub;
    n->a = num;
    n->b = imag;
    return n;
  }
  return num;
}

Node* Parser::NameOrAttr() {
  ChainScope scope(this);
  Node* n = NameNode(Cur());
  ++pos_;
  while (n && AtOp(tkDot)) {
    ++pos_;
    if (!Chain()) return nullptr;
    if (!(n = AttributeOf(n))) return nullptr;
  }
  return n;
}

Node* Parser::ClosedPattern() {
  const Tok& t = Cur();
  if (t.type == T::Number || IsOp(t, tkMinus)) {
    Node* v = SignedNumber();
    Node* n = v ? New(K::MatchValue) : nullptr;
    if (n) n->a = v;
    return n;
  }
  if (t.type == T::String) {
    Node* v = Strings();
    Node* n = v ? New(K::MatchValue) : nullptr;
    if (n) n->a = v;
    return n;
  }
  if (IsKw(t, kwNone) || IsKw(t, kwTrue) || IsKw(t, kwFalse)) {
    ++pos_;
    Node* n = New(K::MatchSingleton);
    if (n) n->obj = t.code == kwNone ? Py_None : t.code == kwTrue ? Py_True : Py_False;
    return n;
  }
  if (t.type == T::Name && t.code == kwNone_) {
    Node* name = NameOrAttr();
    if (!name) return nullptr;
    if (AtOp(tkLPar)) {
      ++pos_;
      Node* n = New(K::MatchClass);
      if (!n) return nullptr;
      n->a = name;
      NodeVec pats, attrs, kpats;
      while (!AtOp(tkRPar)) {
        if (AtPlainName() && IsOp(Peek(), tkEqual)) {
          attrs.push_back(NameNode(Cur()));
          pos_ += 2;
          Node* p = Pattern();
          if (!p) return nullptr;
          kpats.push_back(p);
        } else {
          if (!attrs.empty()) return nullptr;
          Node* p = Pattern();
          if (!p) return nullptr;
          pats.push_back(p);
        }
        if (!EatOp(tkComma)) break;
      }
      if (!EatOp(tkRPar)) return nullptr;
      if (!List(pats, &n->l1) || !List(attrs, &n->l2) || !List(kpats, &n->l3)) return nullptr;
      return n;
    }
    if (name->kind == K::Attribute) {
      Node* n = New(K::MatchValue);
      if (n) n->a = name;
      return n;
    }
    if (AtOp(tkEqual)) return nullptr;
    Node* n = New(K::MatchAs);
    if (n && !TextIs(t, "_")) n->obj = t.obj;
    return n;
  }
  if (IsOp(t, tkLPar) || IsOp(t, tkLSqb)) {
    bool paren = IsOp(t, tkLPar);
    NodeVec pats;
    bool comma = false;
    if (!BracketItems(paren ? tkRPar : tkRSqb, &Parser::MaybeStarPattern, &pats, &comma)) return nullptr;
    if (paren && pats.size() == 1 && !comma) {
      if (pats[0]->kind == K::MatchStar) return nullptr;
      return pats[0];  // a group
    }
    Node* n = New(K::MatchSequence);
    if (!n || !List(pats, &n->l1)) return nullptr;
    return n;
  }
  if (IsOp(t, tkLBrace)) {
    ++pos_;
    Node* n = New(K::MatchMapping);
    if (!n) return nullptr;
    NodeVec keys, pats;
    while (!AtOp(tkRBrace)) {
      if (EatOp(tkDoubleStar)) {
        if (!AtPlainName() || TextIs(Cur(), "_")) return nullptr;
        n->obj = Cur().obj;
        ++pos_;
        EatOp(tkComma);
        break;
      }
      Node* key;
      const Tok& k = Cur();
      if (k.type == T::Number || IsOp(k, tkMinus)) {
        key = SignedNumber();
      } else if (k.type == T::String) {
        key = Strings();
      } else if (IsKw(k, kwNone) || IsKw(k, kwTrue) || IsKw(k, kwFalse)) {
        key = Atom();
      } else if (k.type == T::Name && k.code == kwNone_) {
        key = NameOrAttr();
        if (key && key->kind != K::Attribute) return nullptr;
      } else {
        return nullptr;
      }
      if (!key || !EatOp(tkColon)) return nullptr;
      Node* p = Pattern();
      if (!p) return nullptr;
      keys.push_back(key);
      pats.push_back(p);
      if (!EatOp(tkComma)) break;
    }
    if (!EatOp(tkRBrace)) return nullptr;
    if (!List(keys, &n->l1) || !List(pats, &n->l2)) return nullptr;
    return n;
  }
  return nullptr;
}


}  // namespace detail
}  // namespace pgram
