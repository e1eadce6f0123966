// Token classification and literal decoding for the native line grammar.
#include "gtokens.h"

#include <algorithm>
#include <cstring>

namespace pgram {

void SetSyntaxError(const char* message) { PyErr_SetString(PyExc_SyntaxError, message); }

bool TextIs(const Tok& t, const char* text) {
  size_t n = std::strlen(text);
  return static_cast<size_t>(t.len) == n && std::memcmp(t.s, text, n) == 0;
}

namespace {

struct KwEntry {
  const char* text;
  Kw kw;
};

// The entries of a table grouped by their first character, so that a lookup
// (one for every name and operator token of every line) compares only the
// few entries that can match.  Texts are ASCII.
template <typename E, size_t N>
struct FirstCharIndex {
  uint8_t start[129] = {};  // entries of character c: order[start[c] .. start[c + 1])
  uint8_t order[N] = {};
  uint8_t length[N] = {};

  explicit FirstCharIndex(const E (&table)[N]) {
    static_assert(N < 256, "table indexes are bytes");
    uint8_t count[128] = {};
    for (size_t i = 0; i < N; ++i) {
      length[i] = static_cast<uint8_t>(std::strlen(table[i].text));
      ++count[static_cast<unsigned char>(table[i].text[0])];
    }
    for (size_t c = 0; c < 128; ++c) start[c + 1] = static_cast<uint8_t>(start[c] + count[c]);
    uint8_t next[128];
    std::memcpy(next, start, sizeof next);
    for (size_t i = 0; i < N; ++i) order[next[static_cast<unsigned char>(table[i].text[0])]++] = static_cast<uint8_t>(i);
  }
};

template <typename E, size_t N>
const E* Lookup(const E (&table)[N], const char* s, Py_ssize_t n) {
  static const FirstCharIndex<E, N> index(table);
  unsigned char c = static_cast<unsigned char>(s[0]);
  if (n <= 0 || c >= 128) return nullptr;
  for (uint8_t k = index.start[c]; k < index.start[c + 1]; ++k) {
    uint8_t i = index.order[k];
    if (index.length[i] == n && std::memcmp(table[i].text, s, static_cast<size_t>(n)) == 0) return &table[i];
  }
  return nullptr;
}

const KwEntry kKeywords[] = {
    {"False", kwFalse}, {"None", kwNone}, {"True", kwTrue}, {"and", kwAnd}, {"as", kwAs},
    {"assert", kwAssert}, {"async", kwAsync}, {"await", kwAwait}, {"break", kwBreak},
    {"class", kwClass}, {"continue", kwContinue}, {"def", kwDef}, {"del", kwDel},
    {"elif", kwElif}, {"else", kwElse}, {"except", kwExcept}, {"finally", kwFinally},
    {"for", kwFor}, {"from", kwFrom}, {"global", kwGlobal}, {"if", kwIf}, {"import", kwImport},
    {"in", kwIn}, {"is", kwIs}, {"lambda", kwLambda}, {"nonlocal", kwNonlocal}, {"not", kwNot},
    {"or", kwOr}, {"pass", kwPass}, {"raise", kwRaise}, {"return", kwReturn}, {"try", kwTry},
    {"while", kwWhile}, {"with", kwWith}, {"yield", kwYield},
};

struct OpEntry {
  const char* text;
  Tk tk;
};

const OpEntry kOperators[] = {
    {"(", tkLPar}, {")", tkRPar}, {"[", tkLSqb}, {"]", tkRSqb}, {"{", tkLBrace},
    {"}", tkRBrace}, {":", tkColon}, {",", tkComma}, {";", tkSemi}, {"+", tkPlus},
    {"-", tkMinus}, {"*", tkStar}, {"/", tkSlash}, {"|", tkVbar}, {"&", tkAmper},
    {"<", tkLess}, {">", tkGreater}, {"=", tkEqual}, {".", tkDot}, {"%", tkPercent},
    {"==", tkEqEqual}, {"!=", tkNotEqual}, {"<=", tkLessEqual}, {">=", tkGreaterEqual},
    {"~", tkTilde}, {"^", tkCircumflex}, {"<<", tkLeftShift}, {">>", tkRightShift},
    {"**", tkDoubleStar}, {"+=", tkPlusEqual}, {"-=", tkMinEqual}, {"*=", tkStarEqual},
    {"/=", tkSlashEqual}, {"%=", tkPercentEqual}, {"&=", tkAmperEqual}, {"|=", tkVbarEqual},
    {"^=", tkCircumflexEqual}, {"<<=", tkLeftShiftEqual}, {">>=", tkRightShiftEqual},
    {"**=", tkDoubleStarEqual}, {"//", tkDoubleSlash}, {"//=", tkDoubleSlashEqual},
    {"@", tkAt}, {"@=", tkAtEqual}, {"->", tkRArrow}, {"...", tkEllipsis}, {":=", tkColonEqual},
    {"!", tkExclamation},
};

// The operator whose text is s[0..n), the same answer as a lookup in
// kOperators, decided by the characters instead of a table search: one is
// asked for every operator token of every line.
Tk OpCode(const char* s, Py_ssize_t n) {
  unsigned char a = static_cast<unsigned char>(s[0]);
  if (n == 1) {
    switch (a) {
      case '(': return tkLPar;
      case ')': return tkRPar;
      case '[': return tkLSqb;
      case ']': return tkRSqb;
      case '{': return tkLBrace;
      case '}': return tkRBrace;
      case ':': return tkColon;
      case ',': return tkComma;
      case ';': return tkSemi;
      case '+': return tkPlus;
      case '-': return tkMinus;
      case '*': return tkStar;
      case '/': return tkSlash;
      case '|': return tkVbar;
      case '&': return tkAmper;
      case '<': return tkLess;
      case '>': return tkGreater;
      case '=': return tkEqual;
      case '.': return tkDot;
      case '%': return tkPercent;
      case '~': return tkTilde;
      case '^': return tkCircumflex;
      case '@': return tkAt;
      case '!': return tkExclamation;
      default: return tkNone;
    }
  }
  unsigned char b = static_cast<unsigned char>(s[1]);
  if (n == 2) {
    if (b == '=') {
      switch (a) {
        case '=': return tkEqEqual;
        case '!': return tkNotEqual;
        case '<': return tkLessEqual;
        case '>': return tkGreaterEqual;
        case '+': return tkPlusEqual;
        case '-': return tkMinEqual;
        case '*': return tkStarEqual;
        case '/': return tkSlashEqual;
        case '%': return tkPercentEqual;
        case '&': return tkAmperEqual;
        case '|': return tkVbarEqual;
        case '^': return tkCircumflexEqual;
        case '@': return tkAtEqual;
        case ':': return tkColonEqual;
        default: return tkNone;
      }
    }
    if (a == b) {
      switch (a) {
        case '<': return tkLeftShift;
        case '>': return tkRightShift;
        case '*': return tkDoubleStar;
        case '/': return tkDoubleSlash;
        default: return tkNone;
      }
    }
    return a == '-' && b == '>' ? tkRArrow : tkNone;
  }
  if (n == 3 && a == b) {
    unsigned char c = static_cast<unsigned char>(s[2]);
    if (c == '=') {
      switch (a) {
        case '<': return tkLeftShiftEqual;
        case '>': return tkRightShiftEqual;
        case '*': return tkDoubleStarEqual;
        case '/': return tkDoubleSlashEqual;
        default: return tkNone;
      }
    }
    if (a == '.' && c == '.') return tkEllipsis;
  }
  return tkNone;
}

// Character classes of the first characters of tokens.
enum : uint8_t { kcIdStart = 1, kcDigit = 2, kcQuote = 4, kcPrefix = 8 };

struct CharClasses {
  uint8_t c[256] = {};
  constexpr CharClasses() {
    for (int ch = 'a'; ch <= 'z'; ++ch) c[ch] = kcIdStart;
    for (int ch = 'A'; ch <= 'Z'; ++ch) c[ch] = kcIdStart;
    c[static_cast<int>('_')] = kcIdStart;
    for (int ch = '0'; ch <= '9'; ++ch) c[ch] = kcDigit;
    c[static_cast<int>('\'')] = c[static_cast<int>('"')] = kcQuote;
    for (const char* p = "rRbBuUfF"; *p; ++p) c[static_cast<unsigned char>(*p)] |= kcPrefix;
    // IsStringStart's strchr finds the terminator for a NUL character: one
    // passes as a prefix letter there, and so here.
    c[0] |= kcPrefix;
  }
};
constexpr CharClasses kChars;

// IsStringStart by the table: a quote within the first three characters,
// after string prefix letters only.
inline bool StartsString(const char* s, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n && i < 3; ++i) {
    uint8_t k = kChars.c[static_cast<unsigned char>(s[i])];
    if (k & kcQuote) return true;
    if (!(k & kcPrefix)) return false;
  }
  return false;
}

inline bool IsDigit(unsigned char c) { return c >= '0' && c <= '9'; }
inline bool IsHex(unsigned char c) {
  return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool ClassifyWord(const char* s, Py_ssize_t n, Tok* t) {
  for (Py_ssize_t i = 0; i < n; ++i) {
    // IsIdChar, by the table.
    if (!(kChars.c[static_cast<unsigned char>(s[i])] & (kcIdStart | kcDigit))) return false;
  }
  t->type = T::Name;
  t->code = kwNone_;
  if (n >= 2 && n <= 8) {
    if (const KwEntry* e = Lookup(kKeywords, s, n)) t->code = e->kw;
  }
  return true;
}

bool IsStringStart(const char* s, Py_ssize_t n) {
  for (Py_ssize_t i = 0; i < n && i < 3; ++i) {
    char c = s[i];
    if (c == '\'' || c == '"') return true;
    if (!std::strchr("rRbBuUfF", c)) return false;
  }
  return false;
}

}  // namespace

bool ClassifyText(const char* s, Py_ssize_t n, Tok* t) {
  t->s = s;
  t->len = n;
  unsigned char c0 = static_cast<unsigned char>(s[0]);
  if (IsStringStart(s, n)) {
    t->type = T::String;
    return true;
  }
  if (IsIdStart(c0)) return ClassifyWord(s, n, t);
  if (IsDigit(c0) || c0 == '.' ) {
    if (c0 != '.' || (n > 1 && IsDigit(static_cast<unsigned char>(s[1])))) {
      t->type = T::Number;
      return true;
    }
  }
  t->type = T::Error;
  if (n <= 3) {
    if (Tk op = OpCode(s, n); op != tkNone) {
      t->type = T::Op;
      t->code = op;
    }
  }
  return c0 < 0x80;
}

// Length of the operator starting at s (longest match), 0 when none.
Py_ssize_t OperatorLength(const char* s, Py_ssize_t n) {
  Py_ssize_t best = 0;
  for (const OpEntry& e : kOperators) {
    Py_ssize_t len = static_cast<Py_ssize_t>(std::strlen(e.text));
    if (len > best && len <= n && std::memcmp(s, e.text, len) == 0) best = len;
  }
  return best;
}

bool NonAsciiName(PyObject* text, Owned* owned, Tok* t) {
  static PyObject* normalize = nullptr;
  t->obj = text;
  if (!PyUnicode_IsIdentifier(text)) {
    t->type = T::Error;
    return true;
  }
  t->type = T::Name;
  t->code = kwNone_;
  if (normalize == nullptr) {
    PyObject* mod = PyImport_ImportModule("unicodedata");
    if (mod == nullptr) return false;
    normalize = PyObject_GetAttrString(mod, "normalize");
    Py_DECREF(mod);
    if (normalize == nullptr) return false;
  }
  PyObject* form = PyUnicode_FromString("NFKC");
  if (form == nullptr) return false;
  PyObject* norm = PyObject_CallFunctionObjArgs(normalize, form, text, nullptr);
  Py_DECREF(form);
  if (norm == nullptr) return false;
  if (PyUnicode_Compare(norm, text) == 0) {
    Py_DECREF(norm);
  } else {
    t->obj = owned->Keep(norm);
  }
  return true;
}

namespace {

bool ClassifyFresh(PyObject* obj, std::vector<Tok>* out, Owned* owned) {
  Py_ssize_t n = 0;
  const char* s;
  bool ascii;
  if (PyUnicode_IS_COMPACT_ASCII(obj)) {
    // Its text is its UTF-8 form, right after the object.
    s = static_cast<const char*>(PyUnicode_DATA(obj));
    n = PyUnicode_GET_LENGTH(obj);
    ascii = true;
  } else {
    s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) {
      PyErr_Clear();
      return false;
    }
    // The string knows whether it is ASCII: no need to look at its bytes.
    ascii = PyUnicode_IS_ASCII(obj);
  }
  Tok& t = out->emplace_back();
  t.s = s;
  t.len = n;
  t.obj = obj;
  t.ascii = ascii;
  if (n == 0) {
    t.type = T::Error;
    return true;
  }
  unsigned char c0 = static_cast<unsigned char>(s[0]);
  uint8_t k = kChars.c[c0];
  if (n == 1 && c0 == '\n') {
    t.type = T::Newline;
  } else if ((k & kcQuote) || ((k & kcPrefix) && StartsString(s, n))) {
    t.type = T::String;
  } else if (!ascii && ((k & kcIdStart) || c0 >= 0x80)) {
    if (!NonAsciiName(obj, owned, &t)) {
      out->pop_back();
      return false;
    }
  } else if (k & kcIdStart) {
    // "async def", "async for", "async with": two tokens.
    if (n > 6 && std::memcmp(s, "async ", 6) == 0) {
      t.len = 5;
      t.type = T::Name;
      t.code = kwAsync;
      Tok b = t;
      b.s = s + 6;
      b.len = n - 6;
      b.code = 0;
      if (!ClassifyWord(b.s, b.len, &b)) {
        out->pop_back();
        return false;
      }
      out->push_back(b);
      return true;
    }
    if (!ClassifyWord(s, n, &t)) {
      out->pop_back();
      return false;
    }
  } else if ((k & kcDigit) || (c0 == '.' && n > 1 && IsDigit(static_cast<unsigned char>(s[1])))) {
    t.type = T::Number;
  } else {
    t.type = T::Error;
    if (n <= 3) {
      if (Tk op = OpCode(s, n); op != tkNone) {
        t.type = T::Op;
        t.code = op;
      }
    }
  }
  return true;
}

// The classes of tokens seen lately, by identity: the splitter takes tokens
// from the name pool, so a name, keyword or operator is mostly one object
// met again and again.  A slot holds a reference to its token, so the
// object it names cannot be another one at the same address; strings,
// which rarely come back, and tokens that classify in any way but one
// plain token are not kept.
struct SeenToken {
  PyObject* obj;
  T type;
  uint8_t code;
};
constexpr size_t kSeenSlots = 2048;
SeenToken s_seen[kSeenSlots];

inline SeenToken& SeenSlot(PyObject* obj) {
  uintptr_t v = reinterpret_cast<uintptr_t>(obj);
  return s_seen[((v >> 4) ^ (v >> 15)) & (kSeenSlots - 1)];
}

}  // namespace

bool ClassifyToken(PyObject* obj, std::vector<Tok>* out, Owned* owned) {
  if (!PyUnicode_IS_COMPACT_ASCII(obj)) return ClassifyFresh(obj, out, owned);
  SeenToken& seen = SeenSlot(obj);
  if (seen.obj == obj) {
    Tok& t = out->emplace_back();
    t.s = static_cast<const char*>(PyUnicode_DATA(obj));
    t.len = PyUnicode_GET_LENGTH(obj);
    t.obj = obj;
    t.ascii = true;
    t.type = seen.type;
    t.code = seen.code;
    return true;
  }
  size_t before = out->size();
  if (!ClassifyFresh(obj, out, owned)) return false;
  if (out->size() == before + 1) {
    const Tok& t = out->back();
    if (t.type == T::Name || t.type == T::Op || t.type == T::Number) {
      PyObject* old = seen.obj;
      seen = SeenToken{Py_NewRef(obj), t.type, t.code};
      Py_XDECREF(old);
    }
  }
  return true;
}

PyObject* DecodeNumber(const Tok& t) {
  const char* s = t.s;
  Py_ssize_t n = t.len;
  std::string buf;
  buf.reserve(static_cast<size_t>(n));
  bool radix = n > 1 && s[0] == '0' && std::strchr("xXoObB", s[1]) != nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) {
    char c = s[i];
    if (c == '_') {
      // An underscore only ever sits between two digits.
      bool ok = i > 0 && i + 1 < n && IsHex(static_cast<unsigned char>(s[i + 1])) &&
                (IsHex(static_cast<unsigned char>(s[i - 1])) || (radix && i == 2));
      if (!ok) {
        SetSyntaxError("invalid number literal");
        return nullptr;
      }
      continue;
    }
    buf.push_back(c);
  }
  char last = buf.back();
  if (radix) {
    const char* end = nullptr;
    PyObject* v = PyLong_FromString(buf.c_str(), const_cast<char**>(&end), 0);
    if (v == nullptr || *end != '\0') {
      Py_XDECREF(v);
      PyErr_Clear();
      SetSyntaxError("invalid number literal");
      return nullptr;
    }
    return v;
  }
  bool imag = last == 'j' || last == 'J';
  if (imag) buf.pop_back();
  bool is_float = imag || buf.find_first_of(".eE") != std::string::npos;
  for (char c : buf) {
    if (!(IsDigit(static_cast<unsigned char>(c)) || c == '.' || c == 'e' || c == 'E' ||
          c == '+' || c == '-')) {
      SetSyntaxError("invalid number literal");
      return nullptr;
    }
  }
  if (buf.empty()) {
    SetSyntaxError("invalid number literal");
    return nullptr;
  }
  if (!is_float) {
    if (buf.size() > 1 && buf[0] == '0') {
      for (char c : buf) {
        if (c != '0') {
          SetSyntaxError("leading zeros in decimal integer literals are not permitted");
          return nullptr;
        }
      }
    }
    const char* end = nullptr;
    PyObject* v = PyLong_FromString(buf.c_str(), const_cast<char**>(&end), 10);
    if (v == nullptr || *end != '\0') {
      Py_XDECREF(v);
      if (PyErr_ExceptionMatches(PyExc_ValueError) || v != nullptr) {
        // Too many digits for the interpreter's int limit is its ValueError;
        // anything else is not a number.
        if (v != nullptr) {
          PyErr_Clear();
          SetSyntaxError("invalid number literal");
        }
      }
      return nullptr;
    }
    return v;
  }
  char* end = nullptr;
  double d = PyOS_string_to_double(buf.c_str(), &end, nullptr);
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    SetSyntaxError("invalid number literal");
    return nullptr;
  }
  if (end == nullptr || *end != '\0') {
    SetSyntaxError("invalid number literal");
    return nullptr;
  }
  if (imag) return PyComplex_FromDoubles(0.0, d);
  return PyFloat_FromDouble(d);
}

// The end (one past the closing quote) of the string literal starting at
// s[i], f-strings' fields included; -1 when it is not closed.
Py_ssize_t StringEnd(const char* s, Py_ssize_t n, Py_ssize_t i) {
  bool fstr = false;
  while (i < n && s[i] != '\'' && s[i] != '"') {
    if (s[i] == 'f' || s[i] == 'F') fstr = true;
    ++i;
  }
  if (i >= n) return -1;
  char q = s[i];
  int ql = (i + 2 < n && s[i + 1] == q && s[i + 2] == q) ? 3 : 1;
  i += ql;
  while (i < n) {
    char c = s[i];
    if (c == '\\') {
      // In an f-string a backslash leaves a brace alone.
      i += (fstr && i + 1 < n && (s[i + 1] == '{' || s[i + 1] == '}')) ? 1 : 2;
      continue;
    }
    if (fstr && c == '{') {
      if (i + 1 < n && s[i + 1] == '{') {
        i += 2;
        continue;
      }
      i = FieldEnd(s, n, i);
      if (i < 0) return -1;
      continue;
    }
    if (c == q && (ql == 1 || (i + 2 < n && s[i + 1] == q && s[i + 2] == q))) return i + ql;
    if (ql == 1 && (c == '\n' || c == '\r')) return -1;
    ++i;
  }
  return -1;
}

bool IsStringAt(const char* s, Py_ssize_t n, Py_ssize_t i) {
  for (Py_ssize_t k = i; k < n && k < i + 3; ++k) {
    if (s[k] == '\'' || s[k] == '"') return true;
    if (!std::strchr("rRbBuUfF", s[k])) return false;
  }
  return false;
}

Py_ssize_t FieldEnd(const char* s, Py_ssize_t n, Py_ssize_t i) {
  ++i;  // the '{'
  int depth = 0;
  bool spec = false;
  while (i < n) {
    char c = s[i];
    if (spec) {
      // A format spec is text, with fields of its own.
      if (c == '{') {
        i = FieldEnd(s, n, i);
        if (i < 0) return -1;
        continue;
      }
      if (c == '}') return i + 1;
      i += (c == '\\' && i + 1 < n && s[i + 1] != '{' && s[i + 1] != '}') ? 2 : 1;
      continue;
    }
    if (IsStringAt(s, n, i) && (c == '\'' || c == '"' || i == 0 || !IsIdChar(static_cast<unsigned char>(s[i - 1])))) {
      Py_ssize_t e = StringEnd(s, n, i);
      if (e < 0) return -1;
      i = e;
      continue;
    }
    if (c == '#') {
      // A comment, in a field written over several lines.
      while (i < n && s[i] != '\n') ++i;
      continue;
    }
    if (c == '(' || c == '[' || c == '{') {
      ++depth;
    } else if (c == ')' || c == ']') {
      --depth;
    } else if (c == '}') {
      if (depth == 0) return i + 1;
      --depth;
    } else if (c == ':' && depth == 0) {
      spec = true;
    }
    ++i;
  }
  return -1;
}

namespace {

// Finds the occurrences of one character in s[0..end) in order, one memchr
// per occurrence.
class CharFinder {
 public:
  CharFinder(const char* s, Py_ssize_t end, char c) : s_(s), end_(end), c_(c) {}
  // The first occurrence at or after k, or end.
  Py_ssize_t Next(Py_ssize_t k) {
    if (at_ < k) {
      const void* p = k < end_ ? std::memchr(s_ + k, c_, static_cast<size_t>(end_ - k)) : nullptr;
      at_ = p ? static_cast<const char*>(p) - s_ : end_;
    }
    return at_;
  }

 private:
  const char* s_;
  Py_ssize_t end_;
  char c_;
  Py_ssize_t at_ = -1;
};

}  // namespace

bool SplitString(const Tok& t, StrParts* p) {
  const char* s = t.s;
  Py_ssize_t n = t.len;
  Py_ssize_t i = 0;
  while (i < n && s[i] != '\'' && s[i] != '"') {
    switch (s[i]) {
      case 'r': case 'R': if (p->raw) return false; p->raw = true; break;
      case 'b': case 'B': if (p->bytes) return false; p->bytes = true; break;
      case 'f': case 'F': if (p->fstr) return false; p->fstr = true; break;
      case 'u': case 'U': if (p->unicode) return false; p->unicode = true; break;
      default: return false;
    }
    ++i;
  }
  if (i >= n) return false;
  if ((p->unicode && (i != 1)) || (p->bytes && p->fstr)) return false;
  char q = s[i];
  p->quote = q;
  int ql = (i + 2 < n && s[i + 1] == q && s[i + 2] == q) ? 3 : 1;
  if (ql == 3 && n - i < 6) ql = 1;
  p->quote_len = ql;
  Py_ssize_t start = i + ql;
  Py_ssize_t end = n - ql;
  if (end < start) return false;
  for (Py_ssize_t k = 0; k < ql; ++k) {
    if (s[end + k] != q) return false;
  }
  if (p->fstr) {
    // Replacement fields may hold quotes and line ends of their own.
    if (StringEnd(s, n, 0) != n) return false;
    p->body = s + start;
    p->body_len = end - start;
    return true;
  }
  // The body holds no unescaped closing quote, and a short string no line
  // end.  Only backslashes, quotes and line ends matter: the scan goes from
  // one to the next (a docstring is mostly text without them).
  CharFinder backslash(s, end, '\\'), quote(s, end, q), lf(s, end, '\n'), cr(s, end, '\r');
  Py_ssize_t k = start;
  while (k < end) {
    Py_ssize_t next = std::min(backslash.Next(k), quote.Next(k));
    if (ql == 1) next = std::min(next, std::min(lf.Next(k), cr.Next(k)));
    if (next >= end) break;
    k = next;
    char c = s[k];
    if (c == '\\') {
      k += 2;
      if (k > end) return false;
      continue;
    }
    if (ql == 1) return false;  // the quote or a line end
    if (k + 2 < end && s[k + 1] == q && s[k + 2] == q) return false;
    ++k;
  }
  p->body = s + start;
  p->body_len = end - start;
  return true;
}

namespace {

// Appends the code point of the UTF-8 sequence at s[*i] and advances.
void TakeUtf8(const char* s, Py_ssize_t n, Py_ssize_t* i, std::u32string* out) {
  unsigned char c = static_cast<unsigned char>(s[*i]);
  int extra = c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
  char32_t cp = extra == 3 ? (c & 0x07) : extra == 2 ? (c & 0x0F) : extra == 1 ? (c & 0x1F) : c;
  ++*i;
  for (int k = 0; k < extra && *i < n; ++k, ++*i) {
    cp = (cp << 6) | (static_cast<unsigned char>(s[*i]) & 0x3F);
  }
  out->push_back(cp);
}

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Reads `count` hex digits at s[i]; -1 when they are not there.
long ReadHex(const char* s, Py_ssize_t n, Py_ssize_t i, int count) {
  if (i + count > n) return -1;
  long v = 0;
  for (int k = 0; k < count; ++k) {
    int h = HexValue(s[i + k]);
    if (h < 0) return -1;
    v = v * 16 + h;
  }
  return v;
}

// A line end inside a literal reads as "\n", as the interpreter's tokenizer
// gives it.
inline Py_ssize_t LineEnd(const char* s, Py_ssize_t n, Py_ssize_t i) {
  if (s[i] == '\r') return (i + 1 < n && s[i + 1] == '\n') ? 2 : 1;
  if (s[i] == '\n') return 1;
  return 0;
}

}  // namespace

PyObject* DecodeStrBody(const char* s, Py_ssize_t n, bool raw) {
  // Without escapes and carriage returns the body is the text.
  bool plain = std::memchr(s, '\r', static_cast<size_t>(n)) == nullptr &&
               (raw || std::memchr(s, '\\', static_cast<size_t>(n)) == nullptr);
  if (plain) return PyUnicode_DecodeUTF8(s, n, "surrogatepass");
  std::u32string out;
  out.reserve(static_cast<size_t>(n));
  Py_ssize_t i = 0;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (Py_ssize_t le = LineEnd(s, n, i)) {
      out.push_back(U'\n');
      i += le;
      continue;
    }
    if (c != '\\' || raw) {
      if (c >= 0x80) {
        TakeUtf8(s, n, &i, &out);
      } else {
        out.push_back(c);
        ++i;
      }
      continue;
    }
    // An escape.
    if (i + 1 >= n) {
      out.push_back(U'\\');
      ++i;
      continue;
    }
    char e = s[i + 1];
    if (Py_ssize_t le = LineEnd(s, n, i + 1)) {
      i += 1 + le;  // backslash-newline continues the literal
      continue;
    }
    i += 2;
    switch (e) {
      case '\\': out.push_back(U'\\'); break;
      case '\'': out.push_back(U'\''); break;
      case '"': out.push_back(U'"'); break;
      case 'a': out.push_back(U'\a'); break;
      case 'b': out.push_back(U'\b'); break;
      case 'f': out.push_back(U'\f'); break;
      case 'n': out.push_back(U'\n'); break;
      case 'r': out.push_back(U'\r'); break;
      case 't': out.push_back(U'\t'); break;
      case 'v': out.push_back(U'\v'); break;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        char32_t v = static_cast<char32_t>(e - '0');
        for (int k = 0; k < 2 && i < n && s[i] >= '0' && s[i] <= '7'; ++k, ++i) {
          v = v * 8 + static_cast<char32_t>(s[i] - '0');
        }
        out.push_back(v);
        break;
      }
      case 'x': case 'u': case 'U': {
        int count = e == 'x' ? 2 : e == 'u' ? 4 : 8;
        long v = ReadHex(s, n, i, count);
        if (v < 0) {
          SetSyntaxError("truncated escape in string literal");
          return nullptr;
        }
        if (v > 0x10FFFF) {
          SetSyntaxError("illegal Unicode character in string literal");
          return nullptr;
        }
        out.push_back(static_cast<char32_t>(v));
        i += count;
        break;
      }
      case 'N': {
        // \N{name}: the interpreter's own decoder knows the names.
        Py_ssize_t close = i;
        if (close < n && s[close] == '{') {
          while (close < n && s[close] != '}') ++close;
        }
        if (i >= n || s[i] != '{' || close >= n) {
          SetSyntaxError("malformed \\N character escape in string literal");
          return nullptr;
        }
        PyObject* ch = PyUnicode_DecodeUnicodeEscape(s + i - 2, close + 1 - (i - 2), nullptr);
        if (ch == nullptr) {
          PyErr_Clear();
          SetSyntaxError("unknown Unicode character name in string literal");
          return nullptr;
        }
        Py_ssize_t len = PyUnicode_GET_LENGTH(ch);
        for (Py_ssize_t k = 0; k < len; ++k) out.push_back(PyUnicode_READ_CHAR(ch, k));
        Py_DECREF(ch);
        i = close + 1;
        break;
      }
      default:
        // Not an escape: the backslash stays (the interpreter warns).
        out.push_back(U'\\');
        i -= 1;
        if (static_cast<unsigned char>(s[i]) >= 0x80) {
          TakeUtf8(s, n, &i, &out);
        } else {
          out.push_back(static_cast<unsigned char>(s[i]));
          ++i;
        }
        break;
    }
  }
  return PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, out.data(),
                                   static_cast<Py_ssize_t>(out.size()));
}

PyObject* DecodeBytesBody(const char* s, Py_ssize_t n, bool raw) {
  std::string out;
  out.reserve(static_cast<size_t>(n));
  Py_ssize_t i = 0;
  while (i < n) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      SetSyntaxError("bytes can only contain ASCII literal characters");
      return nullptr;
    }
    if (Py_ssize_t le = LineEnd(s, n, i)) {
      out.push_back('\n');
      i += le;
      continue;
    }
    if (c != '\\' || raw || i + 1 >= n) {
      out.push_back(static_cast<char>(c));
      ++i;
      continue;
    }
    char e = s[i + 1];
    if (Py_ssize_t le = LineEnd(s, n, i + 1)) {
      i += 1 + le;
      continue;
    }
    i += 2;
    switch (e) {
      case '\\': out.push_back('\\'); break;
      case '\'': out.push_back('\''); break;
      case '"': out.push_back('"'); break;
      case 'a': out.push_back('\a'); break;
      case 'b': out.push_back('\b'); break;
      case 'f': out.push_back('\f'); break;
      case 'n': out.push_back('\n'); break;
      case 'r': out.push_back('\r'); break;
      case 't': out.push_back('\t'); break;
      case 'v': out.push_back('\v'); break;
      case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
        unsigned v = static_cast<unsigned>(e - '0');
        for (int k = 0; k < 2 && i < n && s[i] >= '0' && s[i] <= '7'; ++k, ++i) {
          v = v * 8 + static_cast<unsigned>(s[i] - '0');
        }
        out.push_back(static_cast<char>(v & 0xFF));
        break;
      }
      case 'x': {
        long v = ReadHex(s, n, i, 2);
        if (v < 0) {
          SetSyntaxError("truncated \\xXX escape in bytes literal");
          return nullptr;
        }
        out.push_back(static_cast<char>(v));
        i += 2;
        break;
      }
      default:
        if (static_cast<unsigned char>(e) >= 0x80) {
          SetSyntaxError("bytes can only contain ASCII literal characters");
          return nullptr;
        }
        out.push_back('\\');
        out.push_back(e);
        break;
    }
  }
  return PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
}

}  // namespace pgram
