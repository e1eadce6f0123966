// The native splitter: Python source text into logical lines.
//
// It gives exactly what the host package's Python splitter gives (the
// statement, comment and blank lines, their tokens, positions, indents, kinds
// and indent flags; see python/pysource/splitter.py for the rules), and is
// held to it line for line by the tests.  The scanner works on the code units
// of the str itself (1, 2 or 4 bytes each), so a token's column is its index
// from the start of its physical line, as the Python splitter counts it, and
// no converted copy of the text is made.  Any non-ASCII character is part of
// a name, as in the interpreter's tokenizer, so scanning never needs to know
// more of Unicode than that.
//
// Tokens are taken from the name pool, so equal texts are one object.  A
// split looks each distinct text up in the pool once: a table local to the
// split maps the code units of a token to its pooled string.

#include "splitter.h"
#include "logicalline_interface.h"
#include "source_scan.h"

#include <cstdio>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace {

using namespace source_scan;

// Positions are stored in 16 bits and saturate.
constexpr long kMaxPosition = 65535;

// ---------------------------------------------------------------------------
// Pooled tokens
// ---------------------------------------------------------------------------

// The code units of a token, as a key of the split's own table.
template <typename C>
struct TokenKey {
  const C* p;
  Py_ssize_t n;
  bool operator==(const TokenKey& o) const { return n == o.n && std::memcmp(p, o.p, n * sizeof(C)) == 0; }
};

template <typename C>
struct TokenKeyHash {
  size_t operator()(const TokenKey<C>& k) const {
    size_t h = 1469598103934665603ull;
    for (Py_ssize_t i = 0; i < k.n; ++i) h = (h ^ static_cast<size_t>(k.p[i])) * 1099511628211ull;
    return h;
  }
};

// The pooled strings of one split.  Holds a reference to each, so nothing
// the pool's owner does can free one while the split uses it.
template <typename C>
class TokenPool {
 public:
  TokenPool(PyObject* pool, int kind) : pool_(pool), kind_(kind) {}
  TokenPool(const TokenPool&) = delete;
  TokenPool& operator=(const TokenPool&) = delete;
  ~TokenPool() {
    for (auto& entry : table_) Py_DECREF(entry.second);
  }

  // The pooled string of the code units [p, p + n): borrowed (held by this
  // table), or null with the exception set.
  PyObject* Get(const C* p, Py_ssize_t n) {
    // Operators and brackets, most tokens, go by their one character.
    bool ascii_char = n == 1 && static_cast<Py_UCS4>(p[0]) < 128;
    if (ascii_char && single_[p[0]] != nullptr) return single_[p[0]];
    TokenKey<C> key{p, n};
    auto found = table_.find(key);
    if (found != table_.end()) return found->second;
    PyRef text = PyRef::Steal(PyUnicode_FromKindAndData(kind_, p, n));
    if (!text) return nullptr;
    PyObject* pooled = Pooled(text.get());
    if (pooled == nullptr) return nullptr;
    table_.emplace(key, Py_NewRef(pooled));
    if (ascii_char) single_[p[0]] = pooled;
    return pooled;
  }

  // The pooled string equal to `text`, borrowed from the pool, or null with
  // the exception set.
  PyObject* Pooled(PyObject* text) {
    PyObject* pooled = PyDict_SetDefault(pool_, text, text);
    if (pooled == nullptr) return nullptr;
    if (!PyUnicode_CheckExact(pooled)) {
      PyErr_Format(PyExc_TypeError, "the name pool maps %R to %.200s, not to a string", text,
                   Py_TYPE(pooled)->tp_name);
      return nullptr;
    }
    return pooled;
  }

  // The pooled string of an ASCII text (the merged "async def" and the
  // like), held by this table; borrowed, or null with the exception set.
  PyObject* GetAscii(std::string_view text) {
    PyRef str = PyRef::Steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (!str) return nullptr;
    PyObject* pooled = Pooled(str.get());
    if (pooled == nullptr) return nullptr;
    extra_.push_back(PyRef::NewRef(pooled));
    return pooled;
  }

 private:
  PyObject* pool_;
  int kind_;
  std::unordered_map<TokenKey<C>, PyObject*, TokenKeyHash<C>> table_;
  PyObject* single_[128] = {};  // borrowed from table_
  std::vector<PyRef> extra_;
};

// ---------------------------------------------------------------------------
// Line kinds
// ---------------------------------------------------------------------------

struct Token {
  Py_ssize_t start;
  Py_ssize_t end;
  long row;
  long col;
  bool string;
  PyObject* text;  // pooled, borrowed from the split's table
};

constexpr std::string_view kKeywords[] = {
    "False", "None",   "True",  "and",    "as",   "assert", "async",    "await",  "break",
    "class", "continue", "def", "del",    "elif", "else",   "except",   "finally", "for",
    "from",  "global", "if",    "import", "in",   "is",     "lambda",   "nonlocal", "not",
    "or",    "pass",   "raise", "return", "try",  "while",  "with",     "yield",
};

struct KindByFirst {
  std::string_view first;
  tLineType kind;
};
constexpr KindByFirst kKindByFirst[] = {
    {"class", kClassDefIndex},    {"def", kFunctionDefIndex},      {"if", kIfBeginningIndex},
    {"elif", kElifBeginningIndex}, {"else", kElseBeginningIndex},  {"while", kWhileBeginningIndex},
    {"for", kForBeginningIndex},  {"pass", kPassIndex},            {"raise", kRaiseIndex},
    {"try", kTryIndex},           {"except", kExceptIndex},        {"finally", kFinallyIndex},
    {"assert", kAssertIndex},     {"return", kReturnIndex},        {"import", kImportIndex},
    {"from", kFromImportIndex},   {"del", kDeleteIndex},           {"break", kBreakIndex},
};
// Statements that start with a keyword and are never assignments.
constexpr std::string_view kOtherKeywords[] = {
    "with", "global", "nonlocal", "continue", "yield", "await", "lambda", "not", "None", "True", "False", "async", "@",
};
constexpr std::string_view kAssignOps[] = {
    "=", "+=", "-=", "*=", "/=", "//=", "%=", "@=", "&=", "|=", "^=", ">>=", "<<=", "**=",
};

template <typename C>
class KindOf {
 public:
  KindOf(const Source<C>& src, const std::vector<Token>& toks) : src_(src), toks_(toks) {}

  bool Is(size_t i, std::string_view text) const {
    const Token& t = toks_[i];
    return src_.Equals(t.start, t.end - t.start, text);
  }
  template <size_t N>
  bool IsOneOf(size_t i, const std::string_view (&texts)[N]) const {
    for (std::string_view text : texts) {
      if (Is(i, text)) return true;
    }
    return false;
  }
  Py_UCS4 First(size_t i) const { return src_.at(toks_[i].start); }

  // An identifier that is not a keyword; -1 with the exception set on failure.
  int IsName(size_t i) const {
    if (IsOneOf(i, kKeywords)) return 0;
    return PyUnicode_IsIdentifier(toks_[i].text);
  }

  // A str literal: a string token without an f or b prefix.
  bool IsPlainString(size_t i) const {
    const Token& t = toks_[i];
    if (!t.string) return false;
    for (Py_ssize_t k = t.start; k < t.end; ++k) {
      Py_UCS4 c = src_.at(k);
      if (IsQuote(c)) return true;
      if (c == 'f' || c == 'F' || c == 'b' || c == 'B') return false;
    }
    return false;
  }

  // The kind of the statement line; `merged` is the async keyword merged
  // into token 0 ("def", "for" or "with"), empty when there is none.  -1
  // with the exception set on failure.
  int Kind(std::string_view merged) const {
    size_t n = toks_.size();
    if (!merged.empty()) {
      // Token 1 is part of token 0.
      if (merged == "for") return kForBeginningIndex;
      if (merged == "with") return kUnknownIndex;
      if (n < 3) return kUnknownIndex;
      int name = IsName(2);
      return name < 0 ? -1 : (name ? kFunctionDefIndex : kUnknownIndex);
    }
    for (const KindByFirst& entry : kKindByFirst) {
      if (!Is(0, entry.first)) continue;
      if (entry.kind == kClassDefIndex || entry.kind == kFunctionDefIndex) {
        // Half-typed definitions (`def`, `def (`, `class 'x':`) define
        // nothing the scope lookups could name.
        if (n < 2) return kUnknownIndex;
        int name = IsName(1);
        if (name < 0) return -1;
        if (!name) return kUnknownIndex;
      }
      return entry.kind;
    }
    if (IsOneOf(0, kOtherKeywords)) return kUnknownIndex;
    if (toks_[0].string) return StringExpression() ? kStringExpressionIndex : kUnknownIndex;
    bool any = false;
    for (size_t i = 0; i < n && !any; ++i) any = IsOneOf(i, kAssignOps) || Is(i, ":");
    if (!any) return kUnknownIndex;
    bool soft = (Is(0, "match") || Is(0, "case")) && n > 1 && !IsOneOf(1, kAssignOps) && !Is(1, ":") &&
                !Is(1, ".") && !Is(1, ",") && !Is(1, ";") && !Is(1, ")") && !Is(1, "]") && !Is(1, "}");
    long depth = 0;
    long lambdas = 0;
    for (size_t i = 0; i < n; ++i) {
      if (Is(i, "(") || Is(i, "[") || Is(i, "{")) {
        ++depth;
      } else if (Is(i, ")") || Is(i, "]") || Is(i, "}")) {
        if (depth > 0) --depth;
      } else if (depth == 0) {
        if (IsOneOf(i, kAssignOps)) return kAssignmentIndex;
        if (Is(i, ":")) {
          if (lambdas) {
            --lambdas;
          } else {
            // An annotation, or the colon of a match or case statement.
            return soft ? kUnknownIndex : kAssignmentIndex;
          }
        } else if (Is(i, "lambda")) {
          ++lambdas;
        } else if (Is(i, ";")) {
          break;
        }
      }
    }
    return kUnknownIndex;
  }

 private:
  // Every token but comments is a str literal.
  bool StringExpression() const {
    bool saw = false;
    for (size_t i = 0; i < toks_.size(); ++i) {
      if (First(i) == '#') continue;
      if (!IsPlainString(i)) return false;
      saw = true;
    }
    return saw;
  }

  const Source<C>& src_;
  const std::vector<Token>& toks_;
};

// ---------------------------------------------------------------------------
// The splitter
// ---------------------------------------------------------------------------

// One logical line, as the splitter hands it to its output.
struct LineOut {
  const std::vector<Token>* toks;  // null for a blank line
  PyObject* first_text;            // replaces token 0 (the merged async keyword), or null
  long first_row;
  long line_count;
  long indent;
  int kind;
  bool tabs;
  bool spaces;
};

long Saturated(long value) { return value < kMaxPosition ? value : kMaxPosition; }

// Makes the records of scan_logical_lines: (tokens, positions, first_line,
// line_count, indent, kind, tabs_in_indent, spaces_in_indent).
class RecordSink {
 public:
  RecordSink() : out_(PyRef::Steal(PyList_New(0))) {}
  bool ok() const { return static_cast<bool>(out_); }
  PyObject* release() { return out_.release(); }

  int Add(const LineOut& line) {
    size_t n = line.toks ? line.toks->size() : 0;
    size_t skip = line.first_text ? 1 : 0;  // token 1 is merged into token 0
    Py_ssize_t count = static_cast<Py_ssize_t>(n - skip);
    PyRef toks = PyRef::Steal(PyList_New(count));
    PyRef poss = PyRef::Steal(PyList_New(count));
    if (!toks || !poss) return -1;
    for (Py_ssize_t i = 0, k = 0; i < static_cast<Py_ssize_t>(n); ++i) {
      if (skip && i == 1) continue;
      const Token& t = (*line.toks)[i];
      PyObject* text = (i == 0 && line.first_text) ? line.first_text : t.text;
      PyList_SET_ITEM(toks.get(), k, Py_NewRef(text));
      PyObject* pos = Py_BuildValue("(ll)", Saturated(t.row), Saturated(t.col));
      if (pos == nullptr) return -1;
      PyList_SET_ITEM(poss.get(), k, pos);
      ++k;
    }
    PyRef record = PyRef::Steal(Py_BuildValue("(OOllliOO)", toks.get(), poss.get(), line.first_row, line.line_count,
                                              line.indent, line.kind, line.tabs ? Py_True : Py_False,
                                              line.spaces ? Py_True : Py_False));
    if (!record) return -1;
    return PyList_Append(out_.get(), record.get());
  }

 private:
  PyRef out_;
};

// Makes logical line objects directly.
class LineSink {
 public:
  LineSink() : out_(PyRef::Steal(PyList_New(0))) {}
  bool ok() const { return static_cast<bool>(out_); }
  PyObject* release() { return out_.release(); }

  int Add(const LineOut& line) {
    size_t n = line.toks ? line.toks->size() : 0;
    size_t skip = line.first_text ? 1 : 0;
    size_t count = n - skip;
    PyRef obj = PyRef::Steal(NewUntrackedLogicalLine(static_cast<Py_ssize_t>(count)));
    if (!obj) return -1;
    tLogicalLine* out = AsLogical(obj.get());
    for (size_t i = 0, k = 0; i < n; ++i) {
      if (skip && i == 1) continue;
      const Token& t = (*line.toks)[i];
      out->tok_array[k] = Py_NewRef((i == 0 && line.first_text) ? line.first_text : t.text);
      out->position_array[k].row = static_cast<uint16_t>(Saturated(t.row));
      out->position_array[k].col = static_cast<uint16_t>(Saturated(t.col));
      ++k;
    }
    out->tok_count = static_cast<int32_t>(count);
    out->first_line = static_cast<int32_t>(line.first_row < INT32_MAX ? line.first_row : INT32_MAX);
    out->indent = static_cast<int16_t>(line.indent < 32767 ? line.indent : 32767);
    out->line_count = static_cast<int16_t>(line.line_count < 32767 ? line.line_count : 32767);
    out->type = static_cast<uint8_t>(line.kind);
    out->tabs_in_indent = line.tabs ? 1 : 0;
    out->spaces_in_indent = line.spaces ? 1 : 0;
    return PyList_Append(out_.get(), obj.get());
  }

 private:
  PyRef out_;
};

struct Indent {
  long width = 0;
  bool tabs = false;
  bool spaces = false;
};

template <typename C, typename Sink>
class Splitter {
 public:
  Splitter(const Source<C>& src, PyObject* pool, int kind, Sink& sink)
      : src_(src), pool_(pool, kind), sink_(sink) {}

  int Run() {
    const Py_ssize_t n = src_.size();
    Py_ssize_t pos = 0;
    while (pos < n) {
      Py_ssize_t s = pos;
      while (s < n && IsBlank(src_.at(s))) ++s;
      if (s >= n) break;
      Py_UCS4 c = src_.at(s);
      if (IsNewline(c)) {
        pos = s + ((c == '\r' && src_.Has(s + 1, '\n')) ? 2 : 1);
        if (Newline(s, pos) < 0) return -1;
        continue;
      }
      if (c == '#') {
        Py_ssize_t end = s + 1;
        while (end < n && !IsNewline(src_.at(end))) ++end;
        pos = end;
        if (Comment(s, end) < 0) return -1;
        continue;
      }
      if (c == '\\') {
        if (s + 1 >= n) break;  // a backslash at the very end gives nothing
        Py_UCS4 d = src_.at(s + 1);
        if (IsNewline(d)) {
          // A backslash continuation joins the next physical line.
          pos = s + ((d == '\r' && src_.Has(s + 2, '\n')) ? 3 : 2);
          ++row_;
          line_start_ = pos;
          continue;
        }
      }
      int prefix = src_.StringPrefixLength(s);
      if (prefix >= 0) {
        pos = StringToken(s, prefix);
      } else {
        pos = src_.OtherTokenEnd(s);
        if (OtherToken(s, pos) < 0) return -1;
        continue;
      }
      if (pos < 0) return -1;
    }
    if (in_statement_) return FinishStatement();
    if (line_start_ < n && !comment_line_) {
      // Trailing blanks after the last newline are a blank line.
      Py_ssize_t k = line_start_;
      while (k < n && IsBlank(src_.at(k))) ++k;
      if (k == n) return BlankLine(line_start_, n);
    }
    return 0;
  }

 private:
  Indent IndentOf(Py_ssize_t from, Py_ssize_t to) const {
    Indent ind;
    for (Py_ssize_t i = from; i < to; ++i) {
      Py_UCS4 c = src_.at(i);
      if (c == ' ') {
        ++ind.width;
        ind.spaces = true;
      } else if (c == '\t') {
        ind.width = (ind.width / 8 + 1) * 8;
        ind.tabs = true;
      } else {
        ind.width = 0;  // a form feed
      }
    }
    return ind;
  }

  int BlankLine(Py_ssize_t from, Py_ssize_t to) {
    Indent ind = IndentOf(from, to);
    LineOut line{nullptr, nullptr, row_, 1, ind.width, kBlankLineIndex, ind.tabs, ind.spaces};
    return sink_.Add(line);
  }

  // Starts a statement line at its first token s.
  void StartStatement(Py_ssize_t s) {
    Indent ind = IndentOf(line_start_, s);
    indent_ = ind;
    first_row_ = row_;
    toks_.clear();
    depth_ = 0;
    in_statement_ = true;
  }

  int AddToken(Py_ssize_t s, Py_ssize_t end, bool string) {
    PyObject* text = pool_.Get(src_.data() + s, end - s);
    if (text == nullptr) return -1;
    toks_.push_back(Token{s, end, row_, static_cast<long>(s - line_start_), string, text});
    return 0;
  }

  int OtherToken(Py_ssize_t s, Py_ssize_t end) {
    if (!in_statement_) StartStatement(s);
    if (end - s == 1) {
      Py_UCS4 c = src_.at(s);
      if (c == '(' || c == '[' || c == '{') {
        ++depth_;
      } else if ((c == ')' || c == ']' || c == '}') && depth_ > 0) {
        --depth_;
      }
    }
    return AddToken(s, end, false);
  }

  // Reads the string token at s; returns its end, or -1 with the exception set.
  Py_ssize_t StringToken(Py_ssize_t s, int prefix) {
    if (!in_statement_) StartStatement(s);
    Py_ssize_t body = s + prefix;
    Py_ssize_t end = src_.StringEnd(body);
    bool fstring = false;
    for (Py_ssize_t k = s; k < body; ++k) fstring = fstring || src_.at(k) == 'f' || src_.at(k) == 'F';
    if (fstring) {
      bool brace = false;
      for (Py_ssize_t k = body; k < end && !brace; ++k) brace = src_.at(k) == '{';
      if (brace) {
        // An f-string may be longer (or shorter) under the nesting rules.
        Py_UCS4 q = src_.at(body);
        int qlen = src_.HasQuote(body, q, 3) && end - body >= 3 ? 3 : 1;
        Py_ssize_t fixed = src_.FStringEnd(body + qlen, q, qlen, 0);
        if (fixed >= 0) end = fixed;
      }
    }
    if (AddToken(s, end, true) < 0) return -1;
    // Rows the string spans.
    Py_ssize_t last = -1;
    for (Py_ssize_t k = s; k < end; ++k) {
      Py_UCS4 c = src_.at(k);
      if (c == '\n') {
        if (!(k > s && src_.at(k - 1) == '\r')) ++row_;
        last = k;
      } else if (c == '\r') {
        ++row_;
        last = k;
      }
    }
    if (last >= 0) line_start_ = last + 1;
    return end;
  }

  int Comment(Py_ssize_t s, Py_ssize_t end) {
    if (in_statement_) return AddToken(s, end, false);
    // A comment line.
    PyObject* text = pool_.Get(src_.data() + s, end - s);
    if (text == nullptr) return -1;
    Indent ind = IndentOf(line_start_, s);
    one_.clear();
    one_.push_back(Token{s, end, row_, static_cast<long>(s - line_start_), false, text});
    LineOut line{&one_, nullptr, row_, 1, ind.width, kCommentIndex, ind.tabs, ind.spaces};
    comment_line_ = true;
    return sink_.Add(line);
  }

  // A newline at s, its end at `end`: it ends a statement (outside
  // brackets), a comment line or a blank line.
  int Newline(Py_ssize_t s, Py_ssize_t end) {
    int rc = 0;
    if (!in_statement_) {
      if (comment_line_) {
        comment_line_ = false;
      } else {
        rc = BlankLine(line_start_, s);
      }
    } else if (depth_ == 0) {
      rc = FinishStatement();
    }
    ++row_;
    line_start_ = end;
    return rc;
  }

  int FinishStatement() {
    in_statement_ = false;
    KindOf<C> kinds(src_, toks_);
    std::string_view merged;
    PyObject* first_text = nullptr;
    if (toks_.size() > 1 && kinds.Is(0, "async")) {
      if (kinds.Is(1, "def")) merged = "def";
      if (kinds.Is(1, "for")) merged = "for";
      if (kinds.Is(1, "with")) merged = "with";
      if (!merged.empty()) {
        first_text = pool_.GetAscii(merged == "def" ? "async def" : merged == "for" ? "async for" : "async with");
        if (first_text == nullptr) return -1;
      }
    }
    int kind = kinds.Kind(merged);
    if (kind < 0) return -1;
    LineOut line{&toks_, first_text, first_row_, row_ - first_row_ + 1, indent_.width, kind, indent_.tabs,
                 indent_.spaces};
    return sink_.Add(line);
  }

  const Source<C>& src_;
  TokenPool<C> pool_;
  Sink& sink_;
  long row_ = 1;                // current physical line number
  Py_ssize_t line_start_ = 0;   // offset of the current physical line
  bool in_statement_ = false;   // a statement line is being read
  std::vector<Token> toks_;     // its tokens
  std::vector<Token> one_;      // the token of a comment line
  long depth_ = 0;              // bracket depth inside the statement
  long first_row_ = 0;
  Indent indent_;
  bool comment_line_ = false;   // the current physical line is a comment line
};

template <typename Sink, typename C>
int SplitText(const C* data, Py_ssize_t n, PyObject* pool, int kind, Sink& sink) {
  Source<C> src(data, n);
  Splitter<C, Sink> splitter(src, pool, kind, sink);
  return splitter.Run();
}

// Reads the (text, pool=None) arguments; *pool is a new reference to the
// pool (a new dictionary for None).  0, or -1 with the exception set.
int ReadArguments(const char* name, PyObject* args, PyObject* kwds, PyObject** text, PyRef* pool) {
  static const char* kwlist[] = {"text", "pool", nullptr};
  PyObject* pool_arg = Py_None;
  char format[64];
  std::snprintf(format, sizeof(format), "O|O:%s", name);
  if (!PyArg_ParseTupleAndKeywords(args, kwds, format, const_cast<char**>(kwlist), text, &pool_arg)) return -1;
  if (!PyUnicode_Check(*text)) {
    PyErr_Format(PyExc_TypeError, "%s: text must be a str, not %.200s", name, Py_TYPE(*text)->tp_name);
    return -1;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(*text) < 0) return -1;
#endif
  if (pool_arg == Py_None) {
    pool->reset(PyDict_New());
    return *pool ? 0 : -1;
  }
  if (!PyDict_Check(pool_arg)) {
    PyErr_Format(PyExc_TypeError, "%s: pool must be a dict or None, not %.200s", name, Py_TYPE(pool_arg)->tp_name);
    return -1;
  }
  pool->reset(Py_NewRef(pool_arg));
  return 0;
}

// The records or lines (as Sink makes them) of text[start:end]; a new list,
// or null with the exception set.
template <typename Sink>
PyObject* SplitRange(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool) {
  // The text is held while the split reads its code units.
  PyRef held = PyRef::NewRef(text);
  Sink sink;
  if (!sink.ok()) return nullptr;
  Py_ssize_t n = end - start;
  int kind = PyUnicode_KIND(text);
  int rc;
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      rc = SplitText(PyUnicode_1BYTE_DATA(text) + start, n, pool, kind, sink);
      break;
    case PyUnicode_2BYTE_KIND:
      rc = SplitText(PyUnicode_2BYTE_DATA(text) + start, n, pool, kind, sink);
      break;
    default:
      rc = SplitText(PyUnicode_4BYTE_DATA(text) + start, n, pool, kind, sink);
      break;
  }
  if (rc < 0) return nullptr;
  return sink.release();
}

template <typename Sink>
PyObject* Split(const char* name, PyObject* args, PyObject* kwds) {
  PyObject* text = nullptr;
  PyRef pool;
  if (ReadArguments(name, args, kwds, &text, &pool) < 0) return nullptr;
  return SplitRange<Sink>(text, 0, PyUnicode_GET_LENGTH(text), pool.get());
}

PyObject* SplitLogicalLines(PyObject*, PyObject* args, PyObject* kwds) {
  return Split<LineSink>("split_logical_lines", args, kwds);
}

PyObject* ScanLogicalLines(PyObject*, PyObject* args, PyObject* kwds) {
  return Split<RecordSink>("scan_logical_lines", args, kwds);
}

PyDoc_STRVAR(split_logical_lines_doc,
             "split_logical_lines(text, pool=None)\n\n"
             "The logical lines of Python source `text`, as a list of LogicalLine objects in\n"
             "source order; tokens are taken from the name pool `pool` (a dict mapping each\n"
             "text to itself; a new one when None).");

PyDoc_STRVAR(scan_logical_lines_doc,
             "scan_logical_lines(text, pool=None)\n\n"
             "The records of the logical lines of `text`: a list of tuples (tokens, positions,\n"
             "first_line, line_count, indent, kind, tabs_in_indent, spaces_in_indent), tokens a\n"
             "list of pooled strings and positions a list of (row, col) tuples.");

PyMethodDef kSplitterMethods[] = {
    {"rescan_logical_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(RescanLogicalLines)),
     METH_VARARGS | METH_KEYWORDS, kRescanLogicalLinesDoc},
    {"split_logical_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(SplitLogicalLines)),
     METH_VARARGS | METH_KEYWORDS, split_logical_lines_doc},
    {"scan_logical_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ScanLogicalLines)),
     METH_VARARGS | METH_KEYWORDS, scan_logical_lines_doc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* ScanRecords(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool) {
  return SplitRange<RecordSink>(text, start, end, pool);
}

int AddSplitterFunctions(PyObject* module) { return PyModule_AddFunctions(module, kSplitterMethods); }
