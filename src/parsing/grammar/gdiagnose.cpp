// Error messages of a line that does not parse: worked out only after the
// parse failed, so lines that parse never reach this code.
#include "gparser_impl.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace pgram {
namespace detail {

namespace {

Tk OpenerOf(Tk close) { return close == tkRPar ? tkLPar : close == tkRSqb ? tkLSqb : tkLBrace; }
const char* BracketText(Tk b) {
  switch (b) {
    case tkLPar: return "(";
    case tkRPar: return ")";
    case tkLSqb: return "[";
    case tkRSqb: return "]";
    case tkLBrace: return "{";
    default: return "}";
  }
}

// What an expression is called in "cannot assign to ...".
const char* ExprName(const Node* n) {
  switch (n->kind) {
    case K::Attribute: return "attribute";
    case K::Subscript: return "subscript";
    case K::Starred: return "starred";
    case K::Name: return "name";
    case K::List: return "list";
    case K::Tuple: return "tuple";
    case K::Lambda: return "lambda";
    case K::Call: return "function call";
    case K::BoolOp: case K::BinOp: case K::UnaryOp: return "expression";
    case K::GenExp: return "generator expression";
    case K::Yield: case K::YieldFrom: return "yield expression";
    case K::Await: return "await expression";
    case K::ListComp: return "list comprehension";
    case K::SetComp: return "set comprehension";
    case K::DictComp: return "dict comprehension";
    case K::Dict: return "dict literal";
    case K::Set: return "set display";
    case K::JoinedStr: case K::FormattedValue: return "f-string expression";
    case K::Const:
      if (n->obj == Py_None) return "None";
      if (n->obj == Py_True) return "True";
      if (n->obj == Py_False) return "False";
      if (n->obj == nullptr) return "ellipsis";
      return "literal";
    case K::Compare: return "comparison";
    case K::IfExp: return "conditional expression";
    case K::NamedExpr: return "named expression";
    default: return nullptr;
  }
}

// The first part of an assignment's (or a del's) target that cannot be
// assigned to (deleted), null when all of it can.
const Node* InvalidTarget(const Node* n, bool del = false) {
  switch (n->kind) {
    case K::Name: case K::Attribute: case K::Subscript: return nullptr;
    case K::Starred: return del ? n : InvalidTarget(n->a);
    case K::Tuple: case K::List:
      for (int i = 0; i < n->l1.n; ++i) {
        if (const Node* bad = InvalidTarget(n->l1[i], del)) return bad;
      }
      return nullptr;
    default: return n;
  }
}

}  // namespace

void Parser::Diagnose() {
  // The bracket left open at the end when the interpreter would not get
  // that far.
  const char* unclosed = nullptr;
  if (TokenError(&unclosed)) return;
  if (expected_ != nullptr) {
    SetSyntaxError(expected_);
    return;
  }
  if (ExprError(unclosed) || AssignError() || TargetError()) return;
  if (!Failed()) SetSyntaxError("invalid syntax");
}

// A rule that looks at the token after what it matched, at the end of a
// line left inside brackets, makes the interpreter's tokenizer report the
// bracket first.
bool Parser::Unclosed(const char* unclosed) {
  if (unclosed == nullptr || pos_ + 1 != t_.size()) return false;
  PyErr_Format(PyExc_SyntaxError, "'%s' was never closed", unclosed);
  return true;
}

bool Parser::Reparse(size_t at) {
  // A rule that fails anew while looking for a message leaves the line's
  // error as it was; only running out of memory ends the search.
  if (Failed()) {
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError))
      return false;
    PyErr_Clear();
  }
  pos_ = at;
  depth_ = 0;
  chain_ = 0;
  return true;
}

// Two expressions in a row inside brackets (a missing comma), a conditional
// expression without its else, and a Python 2 print or exec statement, at
// the first place an expression starts where one of them is found.
bool Parser::ExprError(const char* unclosed) {
  // For each token, the bracket depth after it and the innermost bracket
  // open at it.
  std::vector<int> level(t_.size());
  std::vector<size_t> opener(t_.size(), SIZE_MAX);
  {
    std::vector<size_t> open;
    for (size_t i = 0; i < t_.size(); ++i) {
      const Tok& t = t_[i];
      opener[i] = open.empty() ? SIZE_MAX : open.back();
      if (t.type == T::Op) {
        if (t.code == tkLPar || t.code == tkLSqb || t.code == tkLBrace) open.push_back(i);
        if ((t.code == tkRPar || t.code == tkRSqb || t.code == tkRBrace) && !open.empty())
          open.pop_back();
      }
      level[i] = static_cast<int>(open.size());
    }
  }
  // The parameters of a def are no expressions (their defaults and
  // annotations are).
  size_t params_open = SIZE_MAX, params_close = 0;
  size_t d = IsKw(t_[0], kwAsync) ? 1 : 0;
  if (d + 2 < t_.size() && IsKw(t_[d], kwDef)) {
    size_t i = d + 2;
    if (IsOp(t_[i], tkLSqb)) {
      while (i < t_.size() && !(IsOp(t_[i], tkRSqb) && level[i] == 0)) ++i;
      ++i;
    }
    if (i < t_.size() && IsOp(t_[i], tkLPar)) {
      params_open = i;
      params_close = i + 1;
      while (params_close < t_.size() && level[params_close] > 0) ++params_close;
    }
  }
  for (size_t s = 0; s + 1 < t_.size(); ++s) {
    bool dict_item = false;
    if (s > 0) {
      const Tok& prev = t_[s - 1];
      bool after = prev.type == T::Op
                       ? (prev.code == tkLPar || prev.code == tkLSqb || prev.code == tkLBrace ||
                          prev.code == tkComma || prev.code == tkColon || prev.code == tkEqual)
                       : IsKw(prev, kwYield);
      if (!after || IsKw(t_[0], kwImport) || IsKw(t_[0], kwFrom)) continue;
      if (s > params_open && s < params_close && !IsOp(prev, tkEqual) && !IsOp(prev, tkColon))
        continue;
      size_t o = opener[s];
      dict_item = o != SIZE_MAX && IsOp(t_[o], tkLBrace) && (o == s - 1 || IsOp(prev, tkComma));
    }
    const Tok& t = t_[s];
    if (!CanStartExpr(t)) continue;
    bool plain = t.type == T::Name && t.code == kwNone_;
    if (plain && (TextIs(t, "print") || TextIs(t, "exec")) && !IsOp(t_[s + 1], tkLPar) &&
        CanStartExpr(t_[s + 1])) {
      if (!Reparse(s + 1)) return true;
      bool legacy = StarExpressions() != nullptr;
      if (!legacy) {
        if (!Reparse(s + 1)) return true;
        legacy = Primary() != nullptr;
      }
      if (legacy) {
        PyErr_Format(PyExc_SyntaxError, "Missing parentheses in call to '%s'. Did you mean %s(...)?",
                     TextIs(t, "print") ? "print" : "exec", TextIs(t, "print") ? "print" : "exec");
        return true;
      }
      continue;
    }
    if (dict_item && DictItemError(opener[s], s)) return true;
    if (!Reparse(s)) return true;
    Node* a = Disjunction();
    if (!a) continue;
    if (AtKw(kwIf)) {
      ++pos_;
      if (Disjunction() && !Failed() && !AtKw(kwElse) && !AtOp(tkColon)) {
        if (!Unclosed(unclosed)) SetSyntaxError("expected 'else' after 'if' expression");
        return true;
      }
      continue;
    }
    bool skip = plain && (t_[s + 1].type == T::String || TextIs(t, "match") ||
                          TextIs(t, "case") || TextIs(t, "_"));
    if (!skip && CanStartExpr(Cur()) && !AtOp(tkStar)) {
      if (Expression() && !Failed() && level[pos_ - 1] > 0) {
        if (!Unclosed(unclosed)) SetSyntaxError("invalid syntax. Perhaps you forgot a comma?");
        return true;
      }
    }
  }
  return !Reparse(0);
}

// An item of a dict display (its opening brace at `open`) that starts at
// `s`: a key without its colon after other items, or a colon without a
// value.  True when it set an error (or ran out of memory).
bool Parser::DictItemError(size_t open, size_t s) {
  if (!Reparse(open + 1)) return true;
  bool dict = AtOp(tkDoubleStar) || (Expression() && AtOp(tkColon));
  if (!Reparse(s)) return true;
  if (!dict || !Expression()) return false;
  if (!AtOp(tkColon)) {
    if (open + 1 == s) return false;
    SetSyntaxError("':' expected after dictionary key");
    return true;
  }
  ++pos_;
  if (AtOp(tkStar)) {
    SetSyntaxError("cannot use a starred expression in a dictionary value");
    return true;
  }
  if (AtOp(tkRBrace) || AtOp(tkComma)) {
    SetSyntaxError("expression expected after dictionary key and ':'");
    return true;
  }
  return false;
}

// `del` of something that cannot be deleted, and an augmented assignment
// to something that cannot be assigned to.
bool Parser::TargetError() {
  if (!Reparse(IsKw(t_[0], kwDel) ? 1 : 0)) return true;
  if (pos_ == 1) {
    Node* targets = StarExpressions();
    if (!targets) return !Reparse(0);
    const Node* bad = InvalidTarget(targets, true);
    if (bad == nullptr || ExprName(bad) == nullptr) return false;
    PyErr_Format(PyExc_SyntaxError, "cannot delete %s", ExprName(bad));
    return true;
  }
  Node* target = StarExpressions();
  if (!target || Cur().type != T::Op) return !Reparse(0);
  switch (Cur().code) {
    case tkPlusEqual: case tkMinEqual: case tkStarEqual: case tkSlashEqual: case tkPercentEqual:
    case tkAmperEqual: case tkVbarEqual: case tkCircumflexEqual: case tkLeftShiftEqual:
    case tkRightShiftEqual: case tkDoubleStarEqual: case tkDoubleSlashEqual: case tkAtEqual:
      break;
    default:
      return false;
  }
  ++pos_;
  if (!YieldOrStarExpressions()) return !Reparse(0);
  if (target->kind == K::Name || target->kind == K::Attribute || target->kind == K::Subscript ||
      ExprName(target) == nullptr)
    return false;
  PyErr_Format(PyExc_SyntaxError, "'%s' is an illegal expression for augmented assignment",
               ExprName(target));
  return true;
}

// The interpreter's tokenizer stops at an unterminated string, at a closing
// bracket that closes nothing or another kind of bracket, and at the end of
// a line left inside brackets, before its parser says anything about the
// tokens up to there (unless the parser insists on a token at or before
// that point, which comes first).
bool Parser::TokenError(const char** unclosed) {
  Tk stack[kMaxDepth];
  int level = 0;
  for (size_t i = 0; i < t_.size(); ++i) {
    const Tok& t = t_[i];
    if (expected_ != nullptr && i > expected_pos_) return false;
    if (t.type == T::Error && !t.ascii && t.obj != nullptr && InvalidCharacter(t.obj)) return true;
    if (t.type == T::String) {
      StrParts parts;
      if (SplitString(t, &parts)) continue;
      return StringError(t);
    }
    if (t.type != T::Op) continue;
    switch (t.code) {
      case tkLPar: case tkLSqb: case tkLBrace:
        if (level == kMaxDepth) return false;
        stack[level++] = static_cast<Tk>(t.code);
        break;
      case tkRPar: case tkRSqb: case tkRBrace: {
        Tk close = static_cast<Tk>(t.code);
        if (level == 0) {
          PyErr_Format(PyExc_SyntaxError, "unmatched '%s'", BracketText(close));
          return true;
        }
        if (stack[level - 1] != OpenerOf(close)) {
          PyErr_Format(PyExc_SyntaxError,
                       "closing parenthesis '%s' does not match opening parenthesis '%s'",
                       BracketText(close), BracketText(stack[level - 1]));
          return true;
        }
        --level;
        break;
      }
      default:
        break;
    }
  }
  if (level == 0) return false;
  // The interpreter gets to the end of the line, and finds a bracket left
  // open, when the tokens up to there start some statement; else it stops
  // at an error before.
  int viable = Viable(stack, level);
  if (viable < 0) return true;
  if (viable == 0) {
    *unclosed = BracketText(stack[level - 1]);
    return false;
  }
  PyErr_Format(PyExc_SyntaxError, "'%s' was never closed", BracketText(stack[level - 1]));
  return true;
}

// The interpreter's tokenizer stops at a character that cannot be in a name
// (nor anything else): the first one of `text`, a word that is not a name.
// True when it set the error.
bool Parser::InvalidCharacter(PyObject* text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t k = 0; k < n; ++k) {
    Py_UCS4 c = PyUnicode_READ_CHAR(text, k);
    if (c < 0x80) continue;
    // A name may go on with it when "_" and it make a name.
    Py_UCS4 pair[2] = {'_', c};
    PyRef probe = PyRef::Steal(PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, pair, 2));
    if (!probe) return true;
    if (PyUnicode_IsIdentifier(probe.get())) continue;
    char hex[16];  // PyErr_Format has no %X
    std::snprintf(hex, sizeof hex, "%04X", static_cast<unsigned>(c));
    if (Py_UNICODE_ISPRINTABLE(c)) {
      PyErr_Format(PyExc_SyntaxError, "invalid character '%c' (U+%s)", static_cast<int>(c), hex);
    } else {
      PyErr_Format(PyExc_SyntaxError, "invalid non-printable character U+%s", hex);
    }
    return true;
  }
  return false;
}

// Whether the line's tokens, with a few tokens that could come next, the
// closing brackets and then perhaps a colon and a body added, make a
// statement: 1 if so, 0 if not, -1 with an exception set when memory runs
// out.
int Parser::Viable(const Tk* open, int level) {
  PyObject* name = owned_->Keep(PyUnicode_InternFromString("x"));
  if (name == nullptr) return -1;
  auto word = [name](const char* w) {
    Tok t{T::Op};
    t.s = w;
    t.len = static_cast<Py_ssize_t>(std::strlen(w));
    switch (w[0]) {
      case 'x': t.type = T::Name; t.obj = name; break;
      case 'i': t.type = T::Name; t.code = kwIn; break;
      case 'e': t.type = T::Name; t.code = kwElse; break;
      case 'p': t.type = T::Name; t.code = kwPass; break;
      case '=': t.code = tkEqual; break;
      case ':': t.code = tkColon; break;
      case ')': t.code = tkRPar; break;
      case ']': t.code = tkRSqb; break;
      default: t.code = tkRBrace; break;
    }
    return t;
  };
  // Nothing, an operand, a keyword argument's or a dict item's value (with
  // its name or key), the rest of a comprehension's `for` clause and of a
  // conditional expression.
  static const char* const kFills[][3] = {
      {}, {"x"}, {"=", "x"}, {":", "x"}, {"x", ":", "x"}, {"x", "in", "x"}, {"in", "x"},
      {"x", "else", "x"}, {"else", "x"},
  };
  std::vector<Tok> toks;
  for (const auto& fill : kFills) {
    for (int with_body = 0; with_body < 2; ++with_body) {
      toks.assign(t_.begin(), t_.end() - 1);
      for (const char* w : fill) {
        if (w != nullptr) toks.push_back(word(w));
      }
      for (int i = level; i-- > 0;) {
        toks.push_back(word(open[i] == tkLPar ? ")" : open[i] == tkLSqb ? "]" : "}"));
      }
      if (with_body) {
        toks.push_back(word(":"));
        toks.push_back(word("pass"));
      }
      toks.push_back(t_.back());
      Parser p(toks, arena_, owned_);
      ParseResult out;
      ParseStatus status = p.Line(&out);
      if (status == ParseStatus::Error) {
        if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError))
          return -1;
        PyErr_Clear();
      }
      if (status != ParseStatus::Error) return 1;
    }
  }
  return 0;
}

bool Parser::StringError(const Tok& t) {
  // The text the interpreter reads the tokens from ends at the last one.
  int line = 1;
  for (const Tok& u : t_) {
    if (u.type == T::Newline) continue;
    for (Py_ssize_t k = 0; k < u.len; ++k) line += u.s[k] == '\n';
  }
  bool triple = false;
  for (Py_ssize_t k = 0; k < t.len; ++k) {
    char c = t.s[k];
    if (c == '\'' || c == '"') {
      triple = k + 2 < t.len && t.s[k + 1] == c && t.s[k + 2] == c;
      break;
    }
  }
  PyErr_Format(PyExc_SyntaxError, "unterminated %sstring literal (detected at line %d)",
               triple ? "triple-quoted " : "", line);
  return true;
}

// `target = value` where the target cannot be assigned to, as a statement
// or as the condition of an if or while (where `==` was meant).
bool Parser::AssignError() {
  bool condition = IsKw(t_[0], kwIf) || IsKw(t_[0], kwWhile);
  if (!condition) {
    // A chain of targets that can all be assigned to failed further on.
    if (!Reparse(0)) return true;
    bool invalid = false;
    for (;;) {
      Node* target = StarExpressions();
      if (!target || !AtOp(tkEqual)) break;
      ++pos_;
      if (InvalidTarget(target) != nullptr) {
        invalid = true;
        break;
      }
    }
    if (!invalid) return !Reparse(0);
  }
  // `item = value` as one of the items before the first `=`.
  if (!Reparse(condition ? 1 : 0)) return true;
  for (bool first = true;; first = false) {
    size_t start = pos_;
    bool excluded = AtKw(kwTrue) || AtKw(kwFalse) || AtKw(kwNone);
    if (AtOp(tkLSqb) || AtOp(tkLPar)) {
      Node* atom = Atom();
      excluded = atom && (atom->kind == K::List || atom->kind == K::Tuple || atom->kind == K::GenExp);
      if (!Reparse(start)) return true;
    }
    if (AtOp(tkStar)) {
      ++pos_;
      if (!BitOr() || condition || !EatOp(tkComma)) break;
      continue;
    }
    Node* a = BitOr();
    if (!a) break;
    if (AtOp(tkEqual)) {
      ++pos_;
      Node* b = BitOr();
      if (b && !Failed() && !AtOp(tkEqual) && !AtOp(tkColonEqual)) {
        if (a->kind == K::Name) {
          if (condition || !first) {
            SetSyntaxError("invalid syntax. Maybe you meant '==' or ':=' instead of '='?");
            return true;
          }
        } else if (!excluded && ExprName(a) != nullptr) {
          PyErr_Format(PyExc_SyntaxError,
                       "cannot assign to %s here. Maybe you meant '==' instead of '='?", ExprName(a));
          return true;
        }
      }
      break;
    }
    if (condition || !EatOp(tkComma)) break;
  }
  if (condition) return !Reparse(0);
  // Each target of `t1 = t2 = ... = value` in turn.
  if (!Reparse(0)) return true;
  for (;;) {
    Node* target = StarExpressions();
    if (!target || !AtOp(tkEqual)) return !Reparse(0);
    ++pos_;
    if (const Node* bad = InvalidTarget(target)) {
      if (ExprName(bad) == nullptr) return false;
      PyErr_Format(PyExc_SyntaxError, "cannot assign to %s", ExprName(bad));
      return true;
    }
  }
}

}  // namespace detail
}  // namespace pgram
