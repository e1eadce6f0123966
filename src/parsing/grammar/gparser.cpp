// Recursive-descent parser of one logical line into the arena tree.
//
// Rule functions return the node, or null when the tokens do not match.  A
// null with an interpreter exception set (a bad literal, nesting too deep)
// is final; a null without one is a plain mismatch, which the few places
// that try alternatives undo by restoring the position.
#include "gparser.h"

namespace pgram {

namespace {

constexpr int kMaxDepth = 200;

class Parser {
 public:
  Parser(const std::vector<Tok>& toks, Arena* arena, Owned* owned)
      : t_(toks), arena_(arena), owned_(owned) {}

  ParseStatus Line(ParseResult* out);

 private:
  // -- token access ------------------------------------------------------
  const Tok& Cur() const { return t_[pos_]; }
  const Tok& Peek(size_t k = 1) const {
    size_t i = pos_ + k;
    return i < t_.size() ? t_[i] : end_;
  }
  bool AtOp(Tk op) const { return Cur().type == T::Op && Cur().code == op; }
  static bool IsOp(const Tok& t, Tk op) { return t.type == T::Op && t.code == op; }
  bool AtKw(Kw kw) const { return Cur().type == T::Name && Cur().code == kw; }
  static bool IsKw(const Tok& t, Kw kw) { return t.type == T::Name && t.code == kw; }
  bool AtPlainName() const { return Cur().type == T::Name && Cur().code == kwNone_; }
  bool AtSoft(const char* word) const { return AtPlainName() && TextIs(Cur(), word); }
  bool AtSoftStart(const char* word) const {
    return !t_.empty() && t_[0].type == T::Name && t_[0].code == kwNone_ && TextIs(t_[0], word);
  }
  bool EatOp(Tk op) {
    if (!AtOp(op)) return false;
    ++pos_;
    return true;
  }
  bool EatKw(Kw kw) {
    if (!AtKw(kw)) return false;
    ++pos_;
    return true;
  }
  bool Failed() const { return PyErr_Occurred() != nullptr; }

  Node* New(K kind) {
    Node* n = arena_->New(kind);
    if (n == nullptr) PyErr_NoMemory();
    return n;
  }
  bool List(const std::vector<Node*>& v, NodeList* out) {
    if (arena_->List(v, out)) return true;
    PyErr_NoMemory();
    return false;
  }
  Node* NameNode(const Tok& t) {
    Node* n = New(K::Name);
    if (n) n->obj = t.obj;
    return n;
  }

  bool Enter() {
    if (++depth_ > kMaxDepth) {
      if (!Failed()) PyErr_SetString(PyExc_ValueError, "line nests too deeply to be parsed");
      return false;
    }
    return true;
  }
  void Leave() { --depth_; }

  bool CanStartExpr(const Tok& t) const;

  // -- statements ----------------------------------------------------------
  bool SimpleStmts(std::vector<Node*>* out);
  Node* SimpleStmt();
  Node* CompoundStmt();
  bool Block(NodeList* body);
  Node* ExprOrAssign();
  Node* ImportStmt();
  Node* FromStmt();
  Node* DottedName();
  Node* FunctionDef(bool is_async);
  Node* ClassDef();
  Node* ForStmt(bool is_async);
  Node* WithStmt(bool is_async);
  Node* WithItem(bool in_parens);
  bool TypeParams();
  Node* Params(bool lambda);
  Node* DelStmt();

  // -- expressions -----------------------------------------------------------
  Node* StarExpressions();
  Node* StarExpression();
  Node* StarNamedExpression();
  Node* NamedExpression();
  Node* Expression();
  Node* Disjunction();
  Node* Conjunction();
  Node* Inversion();
  Node* Comparison();
  Node* BitOr();
  Node* Binary(int level);
  Node* Factor();
  Node* Power();
  Node* Primary();
  Node* Atom();
  Node* Strings();
  Node* Paren();
  Node* Bracket();
  Node* Brace();
  Node* Lambda();
  Node* YieldExpr();
  bool Generators(NodeList* out);
  bool CallArgs(std::vector<Node*>* args, std::vector<Node*>* keywords, bool allow_genexp);
  Node* Slices();
  Node* SliceItem();
  Node* Trailers(Node* n);

  // -- targets ---------------------------------------------------------------
  Node* StarTargets();
  Node* StarTarget();
  Node* TargetAtom();
  bool ToStore(Node* n, bool allow_star);
  bool CheckDelTarget(Node* n);

  // -- patterns --------------------------------------------------------------
  Node* CaseLine();
  Node* Patterns();
  Node* Pattern();
  Node* MaybeStarPattern();
  Node* OrPattern();
  Node* ClosedPattern();
  Node* SignedNumber();
  Node* LiteralNumber();
  Node* NameOrAttr();

  const std::vector<Tok>& t_;
  Arena* arena_;
  Owned* owned_;
  size_t pos_ = 0;
  int depth_ = 0;
  Tok end_{T::End};
  bool unsupported_ = false;
};

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
          std::vector<Node*> elts{subject};
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
  if (!Failed()) SetSyntaxError("invalid syntax");
  return ParseStatus::Error;
}

bool Parser::SimpleStmts(std::vector<Node*>* out) {
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

bool Parser::Block(NodeList* body) {
  if (!EatOp(tkColon)) return false;
  std::vector<Node*> stmts;
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
        std::vector<Node*> names;
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
  Node* first = AtKw(kwYield) ? YieldExpr() : StarExpressions();
  if (!first) return nullptr;
  const Tok& t = Cur();
  if (IsOp(t, tkEqual)) {
    std::vector<Node*> targets{first};
    Node* value = nullptr;
    while (EatOp(tkEqual)) {
      value = AtKw(kwYield) ? YieldExpr() : StarExpressions();
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
      n->b = AtKw(kwYield) ? YieldExpr() : StarExpressions();
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
        n->c = AtKw(kwYield) ? YieldExpr() : StarExpressions();
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
  std::vector<Node*> targets;
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
  std::vector<Node*> aliases;
  do {
    Node* name = DottedName();
    if (!name) return nullptr;
    Node* a = New(K::Alias);
    if (!a) return nullptr;
    a->obj = name->obj;
    if (EatKw(kwAs)) {
      if (!AtPlainName()) return nullptr;
      a->obj2 = Cur().obj;
      ++pos_;
    }
    aliases.push_back(a);
  } while (EatOp(tkComma));
  Node* n = New(K::Import);
  if (!n || !List(aliases, &n->l2)) return nullptr;
  return n;
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
  std::vector<Node*> aliases;
  if (AtOp(tkStar)) {
    Node* a = New(K::Alias);
    if (!a) return nullptr;
    a->obj = Cur().obj;
    ++pos_;
    aliases.push_back(a);
  } else {
    bool parens = EatOp(tkLPar);
    for (;;) {
      if (!AtPlainName()) return nullptr;
      Node* a = New(K::Alias);
      if (!a) return nullptr;
      a->obj = Cur().obj;
      ++pos_;
      if (EatKw(kwAs)) {
        if (!AtPlainName()) return nullptr;
        a->obj2 = Cur().obj;
        ++pos_;
      }
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
  if (AtOp(tkLSqb) && !TypeParams()) return nullptr;
  if (!EatOp(tkLPar)) return nullptr;
  if (!(n->a = Params(false))) return nullptr;
  if (!EatOp(tkRPar)) return nullptr;
  if (EatOp(tkRArrow) && !Expression()) return nullptr;
  if (!Block(&n->l1)) return nullptr;
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
    std::vector<Node*> bases, keywords;
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
    if (!(AtOp(tkComma) || AtOp(tkColon) || (in_parens && AtOp(tkRPar)))) return nullptr;
  }
  return item;
}

Node* Parser::WithStmt(bool is_async) {
  ++pos_;
  Node* n = New(K::With);
  if (!n) return nullptr;
  if (is_async) n->flags |= kAsync;
  std::vector<Node*> items;
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
  std::vector<Node*> pos, kwonly, defaults, kw_defaults;
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
          return nullptr;  // a parameter without default after one with
        }
        pos.push_back(a);
      }
    }
    if (!EatOp(tkComma)) break;
  }
  if (!AtOp(close)) return nullptr;
  std::vector<Node*> po(pos.begin(), pos.begin() + posonly), rest(pos.begin() + posonly, pos.end());
  if (!List(po, &args->l1) || !List(rest, &args->l2) || !List(kwonly, &args->l3) ||
      !List(defaults, &args->l4) || !List(kw_defaults, &args->l5))
    return nullptr;
  return args;
}

// ---------------------------------------------------------------------------
// Expressions

// Elements up to a closing token or the end of the expression list; a
// trailing comma makes a tuple of one.
Node* Parser::StarExpressions() {
  Node* first = StarExpression();
  if (!first || !AtOp(tkComma)) return first;
  std::vector<Node*> elts{first};
  while (EatOp(tkComma)) {
    if (!CanStartExpr(Cur())) break;
    Node* e = StarExpression();
    if (!e) return nullptr;
    elts.push_back(e);
  }
  Node* n = New(K::Tuple);
  if (!n || !List(elts, &n->l1)) return nullptr;
  return n;
}

Node* Parser::StarExpression() {
  if (AtOp(tkStar)) {
    ++pos_;
    Node* n = New(K::Starred);
    if (!n || !(n->a = BitOr())) return nullptr;
    return n;
  }
  return Expression();
}

Node* Parser::StarNamedExpression() {
  if (AtOp(tkStar)) {
    ++pos_;
    Node* n = New(K::Starred);
    if (!n || !(n->a = BitOr())) return nullptr;
    return n;
  }
  return NamedExpression();
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
  std::vector<Node*> values{first};
  while (EatKw(kwOr)) {
    Node* v = Conjunction();
    if (!v) return nullptr;
    values.push_back(v);
  }
  Node* n = New(K::BoolOp);
  if (!n || !List(values, &n->l1)) return nullptr;
  n->op = kOr;
  return n;
}

Node* Parser::Conjunction() {
  Node* first = Inversion();
  if (!first || !AtKw(kwAnd)) return first;
  std::vector<Node*> values{first};
  while (EatKw(kwAnd)) {
    Node* v = Inversion();
    if (!v) return nullptr;
    values.push_back(v);
  }
  Node* n = New(K::BoolOp);
  if (!n || !List(values, &n->l1)) return nullptr;
  n->op = kAnd;
  return n;
}

Node* Parser::Inversion() {
  if (AtKw(kwNot)) {
    ++pos_;
    if (!Enter()) return nullptr;
    Node* n = New(K::UnaryOp);
    Node* operand = n ? Inversion() : nullptr;
    Leave();
    if (!operand) return nullptr;
    n->op = kNot;
    n->a = operand;
    return n;
  }
  return Comparison();
}

Node* Parser::Comparison() {
  Node* left = BitOr();
  if (!left) return nullptr;
  std::vector<Node*> comparators;
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

// The left-associative binary levels, loosest first: | ^ & shifts sums terms.
Node* Parser::Binary(int level) {
  if (level == 6) return Factor();
  Node* left = Binary(level + 1);
  while (left) {
    const Tok& t = Cur();
    if (t.type != T::Op) break;
    uint8_t op = kNoOp;
    switch (level) {
      case 0: if (t.code == tkVbar) op = kBitOr; break;
      case 1: if (t.code == tkCircumflex) op = kBitXor; break;
      case 2: if (t.code == tkAmper) op = kBitAnd; break;
      case 3:
        if (t.code == tkLeftShift) op = kLShift;
        else if (t.code == tkRightShift) op = kRShift;
        break;
      case 4:
        if (t.code == tkPlus) op = kAdd;
        else if (t.code == tkMinus) op = kSub;
        break;
      case 5:
        switch (t.code) {
          case tkStar: op = kMult; break;
          case tkSlash: op = kDiv; break;
          case tkDoubleSlash: op = kFloorDiv; break;
          case tkPercent: op = kMod; break;
          case tkAt: op = kMatMult; break;
          default: break;
        }
        break;
    }
    if (op == kNoOp) break;
    ++pos_;
    Node* right = Binary(level + 1);
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
  if (t.type == T::Op && (t.code == tkPlus || t.code == tkMinus || t.code == tkTilde)) {
    ++pos_;
    if (!Enter()) return nullptr;
    Node* n = New(K::UnaryOp);
    Node* operand = n ? Factor() : nullptr;
    Leave();
    if (!operand) return nullptr;
    n->op = t.code == tkPlus ? kUAdd : t.code == tkMinus ? kUSub : kInvert;
    n->a = operand;
    return n;
  }
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

Node* Parser::Trailers(Node* n) {
  for (;;) {
    if (AtOp(tkDot)) {
      ++pos_;
      if (Cur().type != T::Name || Cur().code != kwNone_) return nullptr;
      Node* a = New(K::Attribute);
      if (!a) return nullptr;
      a->a = n;
      a->obj = Cur().obj;
      ++pos_;
      n = a;
    } else if (AtOp(tkLPar)) {
      ++pos_;
      Node* c = New(K::Call);
      if (!c) return nullptr;
      std::vector<Node*> args, keywords;
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
bool Parser::CallArgs(std::vector<Node*>* args, std::vector<Node*>* keywords, bool allow_genexp) {
  bool keyword_seen = false, double_star_seen = false;
  while (!AtOp(tkRPar)) {
    if (AtOp(tkStar)) {
      if (double_star_seen) return false;
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
      if (AtKw(kwFor) || (AtKw(kwAsync) && IsKw(Peek(), kwFor))) {
        // A generator expression as the only argument needs no parentheses.
        if (!allow_genexp || !args->empty() || !keywords->empty()) return false;
        Node* g = New(K::GenExp);
        if (!g || !Generators(&g->l1)) return false;
        g->a = e;
        args->push_back(g);
        return EatOp(tkRPar);
      }
      if (keyword_seen || double_star_seen) return false;
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
  std::vector<Node*> elts{first};
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
  std::vector<Node*> gens;
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
    std::vector<Node*> ifs;
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
Node* Parser::Strings() {
  std::vector<StrParts> parts;
  bool any_bytes = false, any_str = false;
  while (Cur().type == T::String) {
    StrParts p;
    if (!SplitString(Cur(), &p)) {
      // An unterminated string: the interpreter's tokenizer rejects it.
      return nullptr;
    }
    if (p.fstr) {
      unsupported_ = true;
      return nullptr;
    }
    (p.bytes ? any_bytes : any_str) = true;
    parts.push_back(p);
    ++pos_;
  }
  if (any_bytes && any_str) {
    SetSyntaxError("cannot mix bytes and nonbytes literals");
    return nullptr;
  }
  Node* n = New(K::Const);
  if (!n) return nullptr;
  if (parts[0].unicode) n->flags |= kUnicodeKind;
  PyObject* value = nullptr;
  for (const StrParts& p : parts) {
    PyObject* piece = p.bytes ? DecodeBytesBody(p.body, p.body_len, p.raw)
                              : DecodeStrBody(p.body, p.body_len, p.raw);
    if (!piece) {
      Py_XDECREF(value);
      return nullptr;
    }
    if (!value) {
      value = piece;
    } else if (p.bytes) {
      PyBytes_ConcatAndDel(&value, piece);
      if (!value) return nullptr;
    } else {
      PyObject* joined = PyUnicode_Concat(value, piece);
      Py_DECREF(value);
      Py_DECREF(piece);
      if (!joined) return nullptr;
      value = joined;
    }
  }
  n->obj = owned_->Keep(value);
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
    if (AtKw(kwFor) || (AtKw(kwAsync) && IsKw(Peek(), kwFor))) {
      Node* g = New(K::GenExp);
      if (g && first->kind != K::Starred && Generators(&g->l1) && EatOp(tkRPar)) {
        g->a = first;
        result = g;
      }
    } else if (AtOp(tkRPar)) {
      ++pos_;
      if (first->kind != K::Starred) {
        first->flags |= kParenthesized;
        result = first;
      }
    } else if (AtOp(tkComma)) {
      std::vector<Node*> elts{first};
      bool ok = true;
      while (EatOp(tkComma)) {
        if (AtOp(tkRPar)) break;
        Node* e = StarNamedExpression();
        if (!e) { ok = false; break; }
        elts.push_back(e);
      }
      if (ok && EatOp(tkRPar)) {
        Node* n = New(K::Tuple);
        if (n && List(elts, &n->l1)) {
          n->flags |= kParenthesized;
          result = n;
        }
      }
    }
  }
  Leave();
  return result;
}

Node* Parser::Bracket() {
  ++pos_;
  if (!Enter()) return nullptr;
  Node* result = nullptr;
  std::vector<Node*> elts;
  if (EatOp(tkRSqb)) {
    result = New(K::List);
  } else if (Node* first = StarNamedExpression()) {
    if (AtKw(kwFor) || (AtKw(kwAsync) && IsKw(Peek(), kwFor))) {
      Node* g = New(K::ListComp);
      if (g && first->kind != K::Starred && Generators(&g->l1) && EatOp(tkRSqb)) {
        g->a = first;
        result = g;
      }
    } else {
      elts.push_back(first);
      bool ok = true;
      while (EatOp(tkComma)) {
        if (AtOp(tkRSqb)) break;
        Node* e = StarNamedExpression();
        if (!e) { ok = false; break; }
        elts.push_back(e);
      }
      if (ok && EatOp(tkRSqb)) {
        Node* n = New(K::List);
        if (n && List(elts, &n->l1)) result = n;
      }
    }
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
    if (first_key && (AtKw(kwFor) || (AtKw(kwAsync) && IsKw(Peek(), kwFor)))) {
      Node* g = New(K::DictComp);
      if (g && Generators(&g->l1) && EatOp(tkRBrace)) {
        g->a = first_key;
        g->b = first_value;
        result = g;
      }
    } else {
      std::vector<Node*> keys{first_key}, values{first_value};
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
    if (AtKw(kwFor) || (AtKw(kwAsync) && IsKw(Peek(), kwFor))) {
      Node* g = New(K::SetComp);
      if (g && first->kind != K::Starred && Generators(&g->l1) && EatOp(tkRBrace)) {
        g->a = first;
        result = g;
      }
    } else {
      std::vector<Node*> elts{first};
      bool ok = true;
      while (EatOp(tkComma)) {
        if (AtOp(tkRBrace)) break;
        Node* e = StarNamedExpression();
        if (!e) { ok = false; break; }
        elts.push_back(e);
      }
      if (ok && EatOp(tkRBrace)) {
        Node* n = New(K::Set);
        if (n && List(elts, &n->l1)) result = n;
      }
    }
  }
  Leave();
  return result;
}

// ---------------------------------------------------------------------------
// Targets

Node* Parser::StarTargets() {
  Node* first = StarTarget();
  if (!first) return nullptr;
  if (!AtOp(tkComma)) {
    if (first->kind == K::Starred) {
      // `for *a in b` is a tuple target of one starred name... only with a
      // comma; the interpreter takes the bare form as well.
    }
    return ToStore(first, true) ? first : nullptr;
  }
  std::vector<Node*> elts{first};
  while (EatOp(tkComma)) {
    if (!(AtOp(tkStar) || AtOp(tkLPar) || AtOp(tkLSqb) || Cur().type == T::Name ||
          Cur().type == T::String || Cur().type == T::Number || AtOp(tkLBrace)))
      break;
    if (Cur().type == T::Name && Cur().code != kwNone_ && Cur().code != kwNone &&
        Cur().code != kwTrue && Cur().code != kwFalse)
      break;
    Node* e = StarTarget();
    if (!e) return nullptr;
    elts.push_back(e);
  }
  Node* n = New(K::Tuple);
  if (!n || !List(elts, &n->l1)) return nullptr;
  return ToStore(n, true) ? n : nullptr;
}

Node* Parser::StarTarget() {
  if (AtOp(tkStar)) {
    ++pos_;
    if (!Enter()) return nullptr;
    Node* n = New(K::Starred);
    Node* inner = n ? StarTarget() : nullptr;
    Leave();
    if (!inner) return nullptr;
    n->a = inner;
    return n;
  }
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
    Tk close = paren ? tkRPar : tkRSqb;
    ++pos_;
    if (!Enter()) return nullptr;
    std::vector<Node*> elts;
    bool comma = false;
    while (!AtOp(close)) {
      Node* e = StarTarget();
      if (!e) {
        Leave();
        return nullptr;
      }
      elts.push_back(e);
      if (!EatOp(tkComma)) break;
      comma = true;
    }
    Leave();
    if (!EatOp(close)) return nullptr;
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
  std::vector<Node*> pats{first};
  while (EatOp(tkComma)) {
    if (AtOp(tkColon) || AtKw(kwIf)) break;
    Node* p = MaybeStarPattern();
    if (!p) return nullptr;
    pats.push_back(p);
  }
  Node* n = New(K::MatchSequence);
  if (!n || !List(pats, &n->l1)) return nullptr;
  return n;
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
  std::vector<Node*> pats{first};
  while (EatOp(tkVbar)) {
    Node* p = ClosedPattern();
    if (!p) return nullptr;
    pats.push_back(p);
  }
  Node* n = New(K::MatchOr);
  if (!n || !List(pats, &n->l1)) return nullptr;
  return n;
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
  Node* n = NameNode(Cur());
  ++pos_;
  while (n && AtOp(tkDot)) {
    ++pos_;
    if (!AtPlainName()) return nullptr;
    Node* a = New(K::Attribute);
    if (!a) return nullptr;
    a->a = n;
    a->obj = Cur().obj;
    ++pos_;
    n = a;
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
      std::vector<Node*> pats, attrs, kpats;
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
    Tk close = paren ? tkRPar : tkRSqb;
    ++pos_;
    if (!Enter()) return nullptr;
    std::vector<Node*> pats;
    bool comma = false;
    while (!AtOp(close)) {
      Node* p = MaybeStarPattern();
      if (!p) {
        Leave();
        return nullptr;
      }
      pats.push_back(p);
      if (!EatOp(tkComma)) break;
      comma = true;
    }
    Leave();
    if (!EatOp(close)) return nullptr;
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
    std::vector<Node*> keys, pats;
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

}  // namespace

ParseStatus ParseTokens(const std::vector<Tok>& toks, Arena* arena, Owned* owned,
                        ParseResult* out) {
  Parser p(toks, arena, owned);
  return p.Line(out);
}

}  // namespace pgram
