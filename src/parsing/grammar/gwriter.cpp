// Canonical text of expressions and patterns.
#include "gwriter.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace pgram {

namespace {

constexpr const char* kInfStr = "1e309";

int Next(int prec) { return prec < kPAtom ? prec + 1 : prec; }

bool AppendObjText(PyObject* s, std::string* out) {
  Py_ssize_t n = 0;
  const char* text = PyUnicode_AsUTF8AndSize(s, &n);
  if (text == nullptr) {
    // Lone surrogates (from escapes) have no UTF-8 of their own; they are
    // carried through as the interpreter's "surrogatepass" writes them.
    PyErr_Clear();
    PyObject* b = PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass");
    if (b == nullptr) return false;
    out->append(PyBytes_AS_STRING(b), static_cast<size_t>(PyBytes_GET_SIZE(b)));
    Py_DECREF(b);
    return true;
  }
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

// The four quote kinds, in the unparser's order of preference.
const char* const kAllQuotes[] = {"'", "\"", "\"\"\"", "'''"};

bool IsMultiQuote(const std::string& q) { return q.size() == 3; }

void AppendUtf8(Py_UCS4 c, std::string* out) {
  if (c < 0x80) {
    out->push_back(static_cast<char>(c));
  } else if (c < 0x800) {
    out->push_back(static_cast<char>(0xC0 | (c >> 6)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else if (c < 0x10000) {
    out->push_back(static_cast<char>(0xE0 | (c >> 12)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  } else {
    out->push_back(static_cast<char>(0xF0 | (c >> 18)));
    out->push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
    out->push_back(static_cast<char>(0x80 | (c & 0x3F)));
  }
}

// The unparser's string literal helper: `text` escaped where it must be
// (backslashes and unprintable characters; newlines and tabs too with
// `escape_whitespace`), and the quotes out of `quotes` that can enclose it,
// best first.
bool StrLiteralHelper(const std::string& text, std::vector<std::string>* quotes,
                      bool escape_whitespace, std::string* escaped) {
  PyObject* u = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
  if (u == nullptr) return false;
  escaped->clear();
  Py_ssize_t n = PyUnicode_GET_LENGTH(u);
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ_CHAR(u, i);
    if (!escape_whitespace && (c == '\n' || c == '\t')) {
      escaped->push_back(static_cast<char>(c));
    } else if (c == '\\') {
      escaped->append("\\\\");
    } else if (!Py_UNICODE_ISPRINTABLE(c)) {
      char buf[16];
      if (c == '\t') std::snprintf(buf, sizeof buf, "\\t");
      else if (c == '\n') std::snprintf(buf, sizeof buf, "\\n");
      else if (c == '\r') std::snprintf(buf, sizeof buf, "\\r");
      else if (c < 0x100) std::snprintf(buf, sizeof buf, "\\x%02x", static_cast<unsigned>(c));
      else if (c < 0x10000) std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(c));
      else std::snprintf(buf, sizeof buf, "\\U%08x", static_cast<unsigned>(c));
      escaped->append(buf);
    } else {
      AppendUtf8(c, escaped);
    }
  }
  std::vector<std::string> possible;
  bool newline = escaped->find('\n') != std::string::npos;
  for (const std::string& q : *quotes) {
    if (newline && !IsMultiQuote(q)) continue;
    if (escaped->find(q) != std::string::npos) continue;
    possible.push_back(q);
  }
  if (possible.empty()) {
    // No quote fits: the repr of the text, with a quote from the list where
    // the repr's own is one.
    PyObject* r = PyObject_Repr(u);
    Py_DECREF(u);
    if (r == nullptr) return false;
    std::string rt;
    bool ok = AppendObjText(r, &rt);
    Py_DECREF(r);
    if (!ok) return false;
    std::string quote(1, rt[0]);
    for (const std::string& q : *quotes) {
      if (q.find(rt[0]) != std::string::npos) {
        quote = q;
        break;
      }
    }
    *escaped = rt.substr(1, rt.size() - 2);
    quotes->assign(1, quote);
    return true;
  }
  Py_DECREF(u);
  if (!escaped->empty()) {
    char last = escaped->back();
    std::stable_sort(possible.begin(), possible.end(), [last](const std::string& a, const std::string& b) {
      return (a[0] != last) && (b[0] == last);
    });
    if (possible[0][0] == last) {
      // A closing quote inside triple quotes is escaped.
      escaped->pop_back();
      escaped->push_back('\\');
      escaped->push_back(last);
    }
  }
  *quotes = possible;
  return true;
}

std::vector<std::string> AllQuotes() {
  return std::vector<std::string>(std::begin(kAllQuotes), std::end(kAllQuotes));
}

bool WriteStrAvoidingBackslashes(const std::string& text, std::string* out) {
  std::vector<std::string> quotes = AllQuotes();
  std::string escaped;
  if (!StrLiteralHelper(text, &quotes, false, &escaped)) return false;
  out->append(quotes[0]).append(escaped).append(quotes[0]);
  return true;
}

void ReplaceAll(std::string* s, const char* from, const char* to) {
  size_t flen = std::strlen(from);
  std::string out;
  out.reserve(s->size());
  size_t pos = 0;
  for (size_t hit; (hit = s->find(from, pos)) != std::string::npos; pos = hit + flen) {
    out.append(*s, pos, hit - pos).append(to);
  }
  out.append(*s, pos, std::string::npos);
  s->swap(out);
}

class Writer {
 public:
  explicit Writer(std::string* out, bool avoid_backslashes = false)
      : out_(out), avoid_backslashes_(avoid_backslashes) {}

  bool Expr(const Node* n, int prec);
  bool Pattern(const Node* n, int prec);

 private:
  bool JoinedStr(const Node* n);
  bool FStringInner(const Node* n, bool spec, std::string* out);
  bool FormattedValue(const Node* n, std::string* out);

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
  bool avoid_backslashes_;
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
      if (avoid_backslashes_ && PyUnicode_Check(n->obj)) {
        std::string text;
        if (!AppendObjText(n->obj, &text)) return false;
        return WriteStrAvoidingBackslashes(text, out_);
      }
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
      std::string args;
      Writer aw(&args);
      if (!aw.Arguments(n->a)) return false;
#if PY_VERSION_HEX < 0x030B0000
      // 3.10 writes the blank whether parameters follow or not.
      W("lambda ");
      out_->append(args);
#else
      W("lambda");
      if (!args.empty()) {
        W(" ");
        out_->append(args);
      }
#endif
      W(": ");
      if (!Expr(n->b, kPTest)) return false;
      if (parens) W(")");
      return true;
    }
    case K::JoinedStr:
      return JoinedStr(n);
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

bool Writer::FormattedValue(const Node* n, std::string* out) {
  std::string expr;
#if PY_VERSION_HEX < 0x030C0000
  Writer inner(&expr, true);
#else
  Writer inner(&expr, false);
#endif
  if (!inner.Expr(n->a, Next(kPTest))) return false;
#if PY_VERSION_HEX < 0x030C0000
  if (expr.find('\\') != std::string::npos) {
    PyErr_SetString(PyExc_ValueError, "Unable to avoid backslash in f-string expression part");
    return false;
  }
#endif
  out->push_back('{');
  if (!expr.empty() && expr[0] == '{') out->push_back(' ');
  out->append(expr);
  if (n->ival != -1) {
    out->push_back('!');
    out->push_back(static_cast<char>(n->ival));
  }
  if (n->b) {
    out->push_back(':');
    if (!FStringInner(n->b, true, out)) return false;
  }
  out->push_back('}');
  return true;
}

bool Writer::FStringInner(const Node* n, bool spec, std::string* out) {
  if (n->kind == K::JoinedStr) {
    for (int i = 0; i < n->l1.n; ++i) {
      if (!FStringInner(n->l1[i], spec, out)) return false;
    }
    return true;
  }
  if (n->kind == K::FormattedValue) return FormattedValue(n, out);
  std::string value;
  if (!AppendObjText(n->obj, &value)) return false;
  ReplaceAll(&value, "{", "{{");
  ReplaceAll(&value, "}", "}}");
#if PY_VERSION_HEX >= 0x030D0000
  if (spec) {
    ReplaceAll(&value, "\\", "\\\\");
    ReplaceAll(&value, "'", "\\'");
    ReplaceAll(&value, "\"", "\\\"");
    ReplaceAll(&value, "\n", "\\n");
  }
#elif PY_VERSION_HEX >= 0x030C0000
  if (spec) ReplaceAll(&value, "\n", "\\n");
#else
  (void)spec;
#endif
  out->append(value);
  return true;
}

bool Writer::JoinedStr(const Node* n) {
  W("f");
#if PY_VERSION_HEX < 0x030C0000
  if (avoid_backslashes_) {
    std::string buffer;
    if (!FStringInner(n, false, &buffer)) return false;
    return WriteStrAvoidingBackslashes(buffer, out_);
  }
#endif
  std::vector<std::pair<std::string, bool>> parts;
  for (int i = 0; i < n->l1.n; ++i) {
    std::string text;
    if (!FStringInner(n->l1[i], false, &text)) return false;
    parts.emplace_back(std::move(text), n->l1[i]->kind == K::Const);
  }
  std::vector<std::string> quotes = AllQuotes();
  std::string value;
#if PY_VERSION_HEX < 0x030C0000
  for (auto& [text, constant] : parts) {
    std::string escaped;
    if (!StrLiteralHelper(text, &quotes, constant, &escaped)) return false;
    value.append(escaped);
  }
#else
  bool fallback = false;
  for (auto& [text, constant] : parts) {
    if (constant) {
      std::vector<std::string> narrowed = quotes;
      std::string escaped;
      if (!StrLiteralHelper(text, &narrowed, true, &escaped)) return false;
      bool disjoint = true;
      for (const std::string& q : narrowed) {
        if (std::find(quotes.begin(), quotes.end(), q) != quotes.end()) disjoint = false;
      }
      if (disjoint) {
        fallback = true;
        break;
      }
      quotes = narrowed;
      value.append(escaped);
    } else {
      if (text.find('\n') != std::string::npos) {
        std::vector<std::string> multi;
        for (const std::string& q : quotes) {
          if (IsMultiQuote(q)) multi.push_back(q);
        }
        quotes = multi;
      }
      value.append(text);
    }
  }
  if (fallback) {
    // No one quote fits every part: triple single quotes, constant parts
    // written as the repr writes them in single quotes.
    quotes.assign(1, "'''");
    value.clear();
    for (auto& [text, constant] : parts) {
      if (!constant) {
        value.append(text);
        continue;
      }
      std::string forced = "\"" + text;
      PyObject* u = PyUnicode_DecodeUTF8(forced.data(), static_cast<Py_ssize_t>(forced.size()), "surrogatepass");
      PyObject* r = u ? PyObject_Repr(u) : nullptr;
      Py_XDECREF(u);
      if (!r) return false;
      std::string rt;
      bool ok = AppendObjText(r, &rt);
      Py_DECREF(r);
      if (!ok) return false;
      value.append(rt.substr(2, rt.size() - 3));
    }
  }
#endif
  if (quotes.empty()) {
    PyErr_SetString(PyExc_ValueError, "no quote fits the f-string");
    return false;
  }
  out_->append(quotes[0]).append(value).append(quotes[0]);
  return true;
}

}  // namespace

bool WriteExpr(const Node* n, int prec, std::string* out) { return Writer(out).Expr(n, prec); }
bool WritePattern(const Node* n, int prec, std::string* out) {
  return Writer(out).Pattern(n, prec);
}

}  // namespace pgram
