// Statements of one logical line, and the line as a whole.
#include "gparser_impl.h"

#include <cstdint>
#include <vector>

namespace pgram {
namespace detail {

namespace {
// The interpreter's wording, which changed in 3.12.
#if PY_VERSION_HEX >= 0x030C0000
const char kNonDefaultAfterDefault[] = "parameter without a default follows parameter with a default";
#else
const char kNonDefaultAfterDefault[] = "non-default argument follows default argument";
#endif

}  // namespace

bool Parser::CanStartExpr(const Tok& t) const {
  switch (t.type) {
    case T::Name:
      return t.code == kwNone_ || t.code == kwNot || t.code == kwLambda || t.code == kwAwait ||
             t.code == kwNone || t.code == kwTrue || t.code == kwFalse;
    case T::Number:
    case T::String:
      return true;
    case T::Op:
      return t.code == tkLPar || t.code == tkLSqb || t.code == tkLBrace || t.code == tkMinus ||
             t.code == tkPlus || t.code == tkTilde || t.code == tkEllipsis || t.code == tkStar;
    default:
      return false;
  }
}

// ---------------------------------------------------------------------------
// Lines and statements

ParseStatus Parser::Line(ParseResult* out) {
  if (t_.empty() || (t_.size() == 1 && t_[0].type == T::Newline)) return ParseStatus::Ok;
  if (AtOp(tkAt)) {
    ++pos_;
    Node* e = NamedExpression();
    if (e && Cur().type == T::Newline && pos_ + 1 == t_.size()) {
      Node* d = New(K::Decorator);
      if (!d) return ParseStatus::Error;
      d->a = e;
      out->form = Form::Decorator;
      out->stmts.push_back(d);
      return ParseStatus::Ok;
    }
  } else {
    bool ok = false;
    if (Node* c = CompoundStmt()) {
      out->stmts.push_back(c);
      ok = true;
    } else if (!Failed() && !unsupported_) {
      pos_ = 0;
      out->stmts.clear();
      ok = SimpleStmts(&out->stmts);
    }
    if (ok && pos_ == t_.size()) return ParseStatus::Ok;
    if (!Failed() && !unsupported_ && AtSoftStart("match")) {
      // `match subject:` on its own: the added "pass" is no case.
      size_t n = t_.size();
      if (n >= 4 && IsKw(t_[n - 2], kwPass) && IsOp(t_[n - 3], tkColon)) {
        pos_ = 1;
        Node* subject = StarNamedExpression();
        if (subject && AtOp(tkComma)) {
          NodeVec elts{subject};
          while (EatOp(tkComma)) {
            if (AtOp(tkColon)) break;
            Node* e = StarNamedExpression();
            if (!e) break;
            elts.push_back(e);
          }
          Node* tup = New(K::Tuple);
          if (tup && List(elts, &tup->l1)) subject = tup;
          else subject = nullptr;
        }
        if (subject && subject->kind == K::Starred) subject = nullptr;
        if (subject && pos_ == n - 3) {
          Node* m = New(K::Match);
          if (!m) return ParseStatus::Error;
          m->a = subject;
          out->form = Form::Match;
          out->stmts.clear();
          out->stmts.push_back(m);
          return ParseStatus::Ok;
        }
      }
    }
    if (!Failed() && !unsupported_ && AtSoftStart("case")) {
      pos_ = 0;
      if (Node* c = CaseLine()) {
        if (pos_ == t_.size()) {
          out->form = Form::Case;
          out->stmts.clear();
          out->stmts.push_back(c);
          return ParseStatus::Ok;
        }
      }
    }
  }
  if (unsupported_) {
    PyErr_Clear();
    return ParseStatus::Unsupported;
  }
  if (!Failed()) Diagnose();
  return ParseStatus::Error;
}

bool Parser::SimpleStmts(NodeVec* out) {
  for (;;) {
    Node* s = SimpleStmt();
    if (!s) return false;
    out->push_back(s);
    if (EatOp(tkSemi)) {
      if (Cur().type == T::Newline) break;
      continue;
    }
    break;
  }
  if (Cur().type != T::Newline) return false;
  ++pos_;
  return true;
}

bool Parser::Block(NodeList* body, bool forced) {
  if (!EatOp(tkColon)) {
    if (forced || Cur().type == T::Newline) Expect("expected ':'");
    return false;
  }
  NodeVec stmts;
  if (!SimpleStmts(&stmts)) return false;
  return List(stmts, body);
}

Node* Parser::SimpleStmt() {
  const Tok& t = Cur();
  if (t.type == T::Name) {
    switch (t.code) {
      case kwPass: ++pos_; return New(K::Pass);
      case kwBreak: ++pos_; return New(K::Break);
      case kwContinue: ++pos_; return New(K::Continue);
      case kwReturn: {
        ++pos_;
        Node* n = New(K::Return);
        if (n && CanStartExpr(Cur())) {
          n->a = StarExpressions();
          if (!n->a) return nullptr;
        }
        return n;
      }
      case kwRaise: {
        ++pos_;
        Node* n = New(K::Raise);
        if (n && CanStartExpr(Cur())) {
          if (!(n->a = Expression())) return nullptr;
          if (EatKw(kwFrom) && !(n->b = Expression())) return nullptr;
        }
        return n;
      }
      case kwGlobal:
      case kwNonlocal: {
        ++pos_;
        Node* n = New(t.code == kwGlobal ? K::Global : K::Nonlocal);
        NodeVec names;
        do {
          if (!AtPlainName()) return nullptr;
          names.push_back(NameNode(Cur()));
          ++pos_;
        } while (EatOp(tkComma));
        if (!n || !List(names, &n->l2)) return nullptr;
        return n;
      }
      case kwDel: return DelStmt();
      case kwAssert: {
        ++pos_;
        Node* n = New(K::Assert);
        if (!n || !(n->a = Expression())) return nullptr;
        if (EatOp(tkComma) && !(n->b = Expression())) return nullptr;
        return n;
      }
      case kwImport: return ImportStmt();
      case kwFrom: return FromStmt();
      case kwNone_:
        if (TextIs(t, "type") && Peek().type == T::Name && Peek().code == kwNone_ &&
            (IsOp(Peek(2), tkEqual) || IsOp(Peek(2), tkLSqb))) {
          pos_ += 1;
          Node* n = New(K::TypeAlias);
          if (!n) return nullptr;
          n->a = NameNode(Cur());
          ++pos_;
          if (AtOp(tkLSqb) && !TypeParams()) return nullptr;
          if (!EatOp(tkEqual)) return nullptr;
          if (!(n->b = Expression())) return nullptr;
          return n;
        }
        break;
      default:
        break;
    }
  }
  return ExprOrAssign();
}

Node* Parser::ExprOrAssign() {
  Node* first = YieldOrStarExpressions();
  if (!first) return nullptr;
  const Tok& t = Cur();
  if (IsOp(t, tkEqual)) {
    NodeVec targets{first};
    Node* value = nullptr;
    while (EatOp(tkEqual)) {
      value = YieldOrStarExpressions();
      if (!value) return nullptr;
      if (AtOp(tkEqual)) targets.push_back(value);
    }
    for (Node* tg : targets) {
      if (!ToStore(tg, true)) return nullptr;
    }
    Node* n = New(K::Assign);
    if (!n || !List(targets, &n->l1)) return nullptr;
    n->a = value;
    return n;
  }
  if (t.type == T::Op) {
    uint8_t op = kNoOp;
    switch (t.code) {
      case tkPlusEqual: op = kAdd; break;
      case tkMinEqual: op = kSub; break;
      case tkStarEqual: op = kMult; break;
      case tkAtEqual: op = kMatMult; break;
      case tkSlashEqual: op = kDiv; break;
      case tkPercentEqual: op = kMod; break;
      case tkDoubleStarEqual: op = kPow; break;
      case tkLeftShiftEqual: op = kLShift; break;
      case tkRightShiftEqual: op = kRShift; break;
      case tkVbarEqual: op = kBitOr; break;
      case tkCircumflexEqual: op = kBitXor; break;
      case tkAmperEqual: op = kBitAnd; break;
      case tkDoubleSlashEqual: op = kFloorDiv; break;
      default: break;
    }
    if (op != kNoOp) {
      ++pos_;
      if (first->kind != K::Name && first->kind != K::Attribute && first->kind != K::Subscript)
        return nullptr;
      Node* n = New(K::AugAssign);
      if (!n) return nullptr;
      n->a = first;
      n->op = op;
      n->b = YieldOrStarExpressions();
      return n->b ? n : nullptr;
    }
    if (t.code == tkColon) {
      ++pos_;
      if (first->kind != K::Name && first->kind != K::Attribute && first->kind != K::Subscript)
        return nullptr;
      Node* n = New(K::AnnAssign);
      if (!n) return nullptr;
      n->a = first;
      if (first->kind == K::Name && !(first->flags & kParenthesized)) n->flags |= kSimple;
      if (!(n->b = Expression())) return nullptr;
      if (EatOp(tkEqual)) {
        n->c = YieldOrStarExpressions();
        if (!n->c) return nullptr;
      }
      return n;
    }
  }
  Node* n = New(K::Expr);
  if (n) n->a = first;
  return n;
}

Node* Parser::DelStmt() {
  ++pos_;
  NodeVec targets;
  for (;;) {
    Node* tg = TargetAtom();
    if (!tg || !CheckDelTarget(tg)) return nullptr;
    targets.push_back(tg);
    if (!EatOp(tkComma)) break;
    if (Cur().type == T::Newline || AtOp(tkSemi)) break;
  }
  Node* n = New(K::Delete);
  if (!n || !List(targets, &n->l2)) return nullptr;
  return n;
}

Node* Parser::DottedName() {
  if (!AtPlainName()) return nullptr;
  const Tok& first = Cur();
  ++pos_;
  if (!AtOp(tkDot)) return NameNode(first);
  std::string text(first.s, first.len);
  while (AtOp(tkDot)) {
    ++pos_;
    if (!AtPlainName()) return nullptr;
    text.push_back('.');
    text.append(Cur().s, Cur().len);
    ++pos_;
  }
  PyObject* s = owned_->Keep(PyUnicode_FromStringAndSize(text.data(), text.size()));
  if (!s) return nullptr;
  Node* n = New(K::Name);
  if (n) n->obj = s;
  return n;
}

Node* Parser::ImportStmt() {
  ++pos_;
  NodeVec aliases;
  do {
    Node* name = DottedName();
    Node* a = name ? AliasOf(name->obj) : nullptr;
    if (!a) return nullptr;
    aliases.push_back(a);
  } while (EatOp(tkComma));
  Node* n = New(K::Import);
  if (!n || !List(aliases, &n->l2)) return nullptr;
  return n;
}

// An import's alias of `name`, with the `as NAME` that may follow.
Node* Parser::AliasOf(PyObject* name) {
  Node* a = New(K::Alias);
  if (!a) return nullptr;
  a->obj = name;
  if (EatKw(kwAs)) {
    if (!AtPlainName()) return nullptr;
    a->obj2 = Cur().obj;
    ++pos_;
  }
  return a;
}

Node* Parser::FromStmt() {
  ++pos_;
  std::string module;
  while (AtOp(tkDot) || AtOp(tkEllipsis)) {
    module.append(AtOp(tkDot) ? "." : "...");
    ++pos_;
  }
  if (!AtKw(kwImport)) {
    Node* name = DottedName();
    if (!name) return nullptr;
    Py_ssize_t len = 0;
    const char* text = PyUnicode_AsUTF8AndSize(name->obj, &len);
    if (!text) return nullptr;
    module.append(text, len);
  } else if (module.empty()) {
    return nullptr;
  }
  if (!EatKw(kwImport)) return nullptr;
  NodeVec aliases;
  if (AtOp(tkStar)) {
    Node* a = New(K::Alias);
    if (!a) return nullptr;
    a->obj = Cur().obj;
    ++pos_;
    aliases.push_back(a);
  } else {
    bool parens = EatOp(tkLPar);
    for (;;) {
      if (!AtPlainName()) {
        if (!parens && !aliases.empty() && Cur().type == T::Newline)
          Expect("trailing comma not allowed without surrounding parentheses");
        return nullptr;
      }
      PyObject* name = Cur().obj;
      ++pos_;
      Node* a = AliasOf(name);
      if (!a) return nullptr;
      aliases.push_back(a);
      if (!EatOp(tkComma)) break;
      if (parens && AtOp(tkRPar)) break;
    }
    if (parens && !EatOp(tkRPar)) return nullptr;
  }
  Node* n = New(K::ImportFrom);
  if (!n) return nullptr;
  n->obj = owned_->Keep(PyUnicode_FromStringAndSize(module.data(), module.size()));
  if (!n->obj || !List(aliases, &n->l2)) return nullptr;
  return n;
}

Node* Parser::CompoundStmt() {
  const Tok& t = Cur();
  if (t.type != T::Name) return nullptr;
  switch (t.code) {
    case kwDef: return FunctionDef(false);
    case kwClass: return ClassDef();
    case kwFor: return ForStmt(false);
    case kwWith: return WithStmt(false);
    case kwAsync:
      if (IsKw(Peek(), kwDef)) { ++pos_; return FunctionDef(true); }
      if (IsKw(Peek(), kwFor)) { ++pos_; return ForStmt(true); }
      if (IsKw(Peek(), kwWith)) { ++pos_; return WithStmt(true); }
      return nullptr;
    case kwIf:
    case kwWhile: {
      ++pos_;
      Node* n = New(t.code == kwIf ? K::If : K::While);
      if (!n || !(n->a = NamedExpression())) return nullptr;
      if (!Block(&n->l1)) return nullptr;
      return n;
    }
    default:
      return nullptr;
  }
}

bool Parser::TypeParams() {
  if (!EatOp(tkLSqb)) return false;
  for (;;) {
    bool star = false;
    if (EatOp(tkStar)) star = true;
    else EatOp(tkDoubleStar);
    if (!AtPlainName()) return false;
    ++pos_;
    if (EatOp(tkColon)) {
      if (!Expression()) return false;
    }
    if (EatOp(tkEqual)) {
      if (!(star ? StarExpression() : Expression())) return false;
    }
    if (!EatOp(tkComma)) break;
    if (AtOp(tkRSqb)) break;
  }
  return EatOp(tkRSqb);
}

Node* Parser::FunctionDef(bool is_async) {
  ++pos_;
  if (!AtPlainName()) return nullptr;
  Node* n = New(K::FunctionDef);
  if (!n) return nullptr;
  n->obj = Cur().obj;
  if (is_async) n->flags |= kAsync;
  ++pos_;
#if PY_VERSION_HEX < 0x030C0000
  // Type parameters are newer than the interpreter, which asks for the
  // parameters there if the line fails.
  if (AtOp(tkLSqb)) Expect("expected '('");
#endif
  if (AtOp(tkLSqb) && !TypeParams()) return nullptr;
  if (!EatOp(tkLPar)) {
    Expect("expected '('");
    return nullptr;
  }
  if (!(n->a = Params(false))) return nullptr;
  if (!EatOp(tkRPar)) return nullptr;
  if (EatOp(tkRArrow) && !Expression()) {
    // The interpreter takes the longest expression there is, then wants
    // the colon.
    if (!Failed()) Expect("expected ':'", t_.size() - 1);
    return nullptr;
  }
  if (!Block(&n->l1, true)) return nullptr;
  return n;
}

Node* Parser::ClassDef() {
  ++pos_;
  if (!AtPlainName()) return nullptr;
  Node* n = New(K::ClassDef);
  if (!n) return nullptr;
  n->obj = Cur().obj;
  ++pos_;
  if (AtOp(tkLSqb) && !TypeParams()) return nullptr;
  if (EatOp(tkLPar)) {
    NodeVec bases, keywords;
    if (!CallArgs(&bases, &keywords, false)) return nullptr;
    if (!List(bases, &n->l2) || !List(keywords, &n->l3)) return nullptr;
  }
  if (!Block(&n->l1)) return nullptr;
  return n;
}

Node* Parser::ForStmt(bool is_async) {
  ++pos_;
  Node* n = New(K::For);
  if (!n) return nullptr;
  if (is_async) n->flags |= kAsync;
  if (!(n->a = StarTargets())) return nullptr;
  if (!EatKw(kwIn)) return nullptr;
  if (!(n->b = StarExpressions())) return nullptr;
  if (!Block(&n->l1)) return nullptr;
  return n;
}

Node* Parser::WithItem(bool in_parens) {
  Node* item = New(K::WithItem);
  if (!item || !(item->a = Expression())) return nullptr;
  if (EatKw(kwAs)) {
    if (!(item->b = StarTarget())) return nullptr;
    if (!(AtOp(tkComma) || AtOp(tkColon) || (in_parens && AtOp(tkRPar)))) {
      if (Cur().type == T::Newline) Expect("expected ':'");
      return nullptr;
    }
  }
  return item;
}

Node* Parser::WithStmt(bool is_async) {
  ++pos_;
  Node* n = New(K::With);
  if (!n) return nullptr;
  if (is_async) n->flags |= kAsync;
  NodeVec items;
  size_t start = pos_;
  if (AtOp(tkLPar)) {
    // `with (a as b, c):` groups its items in parentheses; `with (a, b) as c:`
    // does not, which is only known at the closing parenthesis.
    ++pos_;
    bool ok = true;
    for (;;) {
      Node* it = WithItem(true);
      if (!it) { ok = false; break; }
      items.push_back(it);
      if (!EatOp(tkComma)) break;
      if (AtOp(tkRPar)) break;
    }
    if (ok && EatOp(tkRPar) && AtOp(tkColon)) {
      if (!List(items, &n->l2) || !Block(&n->l1)) return nullptr;
      return n;
    }
    if (Failed()) return nullptr;
    items.clear();
    pos_ = start;
  }
  for (;;) {
    Node* it = WithItem(false);
    if (!it) return nullptr;
    items.push_back(it);
    if (!EatOp(tkComma)) break;
  }
  if (!List(items, &n->l2) || !Block(&n->l1)) return nullptr;
  return n;
}

// Parameters of a def (up to the closing parenthesis) or a lambda (up to
// its colon).
Node* Parser::Params(bool lambda) {
  Node* args = New(K::Arguments);
  if (!args) return nullptr;
  NodeVec pos, kwonly, defaults, kw_defaults;
  size_t posonly = 0;
  bool slash = false, star = false, default_seen = false;
  Tk close = lambda ? tkColon : tkRPar;
  while (!AtOp(close)) {
    if (AtOp(tkSlash)) {
      if (slash || star || pos.empty()) return nullptr;
      ++pos_;
      slash = true;
      posonly = pos.size();
    } else if (AtOp(tkDoubleStar)) {
      ++pos_;
      if (!AtPlainName()) return nullptr;
      Node* a = New(K::Arg);
      if (!a) return nullptr;
      a->obj = Cur().obj;
      ++pos_;
      if (!lambda && EatOp(tkColon) && !(a->a = Expression())) return nullptr;
      args->b = a;
      EatOp(tkComma);
      if (!AtOp(close)) return nullptr;
      break;
    } else if (AtOp(tkStar)) {
      if (star) return nullptr;
      ++pos_;
      star = true;
      if (AtOp(tkComma) || AtOp(close)) {
        // A bare star needs keyword-only parameters after it.
        if (AtOp(close) || IsOp(Peek(), tkDoubleStar) || IsOp(Peek(), close)) return nullptr;
      } else {
        if (!AtPlainName()) return nullptr;
        Node* a = New(K::Arg);
        if (!a) return nullptr;
        a->obj = Cur().obj;
        ++pos_;
        if (!lambda && EatOp(tkColon) && !(a->a = StarExpression())) return nullptr;
        args->a = a;
      }
    } else {
      if (!AtPlainName()) return nullptr;
      Node* a = New(K::Arg);
      if (!a) return nullptr;
      a->obj = Cur().obj;
      ++pos_;
      if (!lambda && EatOp(tkColon) && !(a->a = Expression())) return nullptr;
      Node* d = nullptr;
      if (EatOp(tkEqual) && !(d = Expression())) return nullptr;
      if (star) {
        kwonly.push_back(a);
        kw_defaults.push_back(d);
      } else {
        if (d) {
          default_seen = true;
          defaults.push_back(d);
        } else if (default_seen) {
          Expect(kNonDefaultAfterDefault);
          return nullptr;
        }
        pos.push_back(a);
      }
    }
    if (!EatOp(tkComma)) break;
  }
  if (!AtOp(close)) return nullptr;
  NodeVec po(pos.begin(), pos.begin() + posonly), rest(pos.begin() + posonly, pos.end());
  if (!List(po, &args->l1) || !List(rest, &args->l2) || !List(kwonly, &args->l3) ||
      !List(defaults, &args->l4) || !List(kw_defaults, &args->l5))
    return nullptr;
  return args;
}

}  // namespace detail

ParseStatus ParseTokens(const std::vector<Tok>& toks, Arena* arena, Owned* owned,
                        ParseResult* out) {
  detail::Parser p(toks, arena, owned);
  return p.Line(out);
}

}  // namespace pgram
