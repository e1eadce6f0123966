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
#include <iterator>
#include <string_view>
#include <vector>

namespace {

using namespace source_scan;

// Positions are stored in 16 bits and saturate.
constexpr long kMaxPosition = 65535;

// ---------------------------------------------------------------------------
// Token codes
// ---------------------------------------------------------------------------

// The texts the line kinds are decided by, each with a code of its own, so
// that the kinds compare small integers rather than texts.  A token's code is
// found once per distinct text of a split (when the text is pooled); 0 is
// any other text.
constexpr std::string_view kCodedTexts[] = {
    // The keywords.
    "False", "None", "True", "and", "as", "assert", "async", "await", "break", "class", "continue", "def", "del",
    "elif", "else", "except", "finally", "for", "from", "global", "if", "import", "in", "is", "lambda",
    "nonlocal", "not", "or", "pass", "raise", "return", "try", "while", "with", "yield",
    // The soft keywords and the decorator.
    "match", "case", "@",
    // The assignment operators.
    "=", "+=", "-=", "*=", "/=", "//=", "%=", "@=", "&=", "|=", "^=", ">>=", "<<=", "**=",
    // Punctuation.
    ":", "(", "[", "{", ")", "]", "}", ".", ",", ";",
};
constexpr int kCodeCount = static_cast<int>(std::size(kCodedTexts)) + 1;
constexpr int kKeywordCount = 35;  // the first texts
static_assert(kCodeCount < 256);

// The code of a text of kCodedTexts, at compile time.
constexpr uint8_t CodeOf(std::string_view text) {
  for (size_t i = 0; i < std::size(kCodedTexts); ++i) {
    if (kCodedTexts[i] == text) return static_cast<uint8_t>(i + 1);
  }
  return 0;
}

constexpr uint8_t kCodeAsync = CodeOf("async"), kCodeDef = CodeOf("def"), kCodeFor = CodeOf("for"),
                  kCodeWith = CodeOf("with"), kCodeLambda = CodeOf("lambda"), kCodeMatch = CodeOf("match"),
                  kCodeCase = CodeOf("case"), kCodeColon = CodeOf(":"), kCodeSemicolon = CodeOf(";");

// What a code stands for, as bits.
enum : uint8_t {
  kIsKeyword = 1,        // a keyword: never a name
  kIsOtherStart = 2,     // starts a statement that is never an assignment
  kIsAssignOp = 4,
  kIsOpen = 8,           // ( [ {
  kIsClose = 16,         // ) ] }
  kEndsSoftKeyword = 32,  // after match or case: not a match or case statement
};

struct CodeTables {
  uint8_t flags[kCodeCount] = {};
  int8_t kind[kCodeCount] = {};  // the kind of a line starting with the text, or -1
};

constexpr CodeTables MakeCodeTables() {
  CodeTables t;
  for (int c = 0; c < kCodeCount; ++c) t.kind[c] = -1;
  for (int c = 1; c <= kKeywordCount; ++c) t.flags[c] |= kIsKeyword;
  for (std::string_view text : {"with", "global", "nonlocal", "continue", "yield", "await", "lambda", "not",
                                "None", "True", "False", "async", "@"}) {
    t.flags[CodeOf(text)] |= kIsOtherStart;
  }
  for (std::string_view text : {"=", "+=", "-=", "*=", "/=", "//=", "%=", "@=", "&=", "|=", "^=", ">>=", "<<=",
                                "**="}) {
    t.flags[CodeOf(text)] |= kIsAssignOp | kEndsSoftKeyword;
  }
  for (std::string_view text : {"(", "[", "{"}) t.flags[CodeOf(text)] |= kIsOpen;
  for (std::string_view text : {")", "]", "}"}) t.flags[CodeOf(text)] |= kIsClose;
  for (std::string_view text : {":", ".", ",", ";", ")", "]", "}"}) t.flags[CodeOf(text)] |= kEndsSoftKeyword;
  struct KindByFirst {
    std::string_view first;
    tLineType kind;
  };
  for (KindByFirst entry : {
           KindByFirst{"class", kClassDefIndex}, {"def", kFunctionDefIndex}, {"if", kIfBeginningIndex},
           {"elif", kElifBeginningIndex}, {"else", kElseBeginningIndex}, {"while", kWhileBeginningIndex},
           {"for", kForBeginningIndex}, {"pass", kPassIndex}, {"raise", kRaiseIndex}, {"try", kTryIndex},
           {"except", kExceptIndex}, {"finally", kFinallyIndex}, {"assert", kAssertIndex},
           {"return", kReturnIndex}, {"import", kImportIndex}, {"from", kFromImportIndex},
           {"del", kDeleteIndex}, {"break", kBreakIndex}}) {
    t.kind[CodeOf(entry.first)] = static_cast<int8_t>(entry.kind);
  }
  return t;
}
constexpr CodeTables kCodes = MakeCodeTables();

// A table of the coded texts by their code units packed into 64 bits (open
// addressing, made at compile time).
constexpr uint64_t PackText(std::string_view text) {
  uint64_t key = 0;
  for (size_t i = 0; i < text.size(); ++i) key |= static_cast<uint64_t>(static_cast<unsigned char>(text[i])) << (8 * i);
  return key;
}
constexpr size_t kCodeSlots = 256;
constexpr size_t CodeSlot(uint64_t key) { return static_cast<size_t>((key * 0x9e3779b97f4a7c15ull) >> 56); }

struct CodeLookup {
  uint64_t key[kCodeSlots] = {};
  uint8_t size[kCodeSlots] = {};  // 0 for an empty slot
  uint8_t code[kCodeSlots] = {};
};

constexpr CodeLookup MakeCodeLookup() {
  CodeLookup t;
  for (size_t i = 0; i < std::size(kCodedTexts); ++i) {
    uint64_t key = PackText(kCodedTexts[i]);
    size_t s = CodeSlot(key);
    while (t.size[s] != 0) s = (s + 1) % kCodeSlots;
    t.key[s] = key;
    t.size[s] = static_cast<uint8_t>(kCodedTexts[i].size());
    t.code[s] = static_cast<uint8_t>(i + 1);
  }
  return t;
}
constexpr CodeLookup kCodeLookup = MakeCodeLookup();

// The code of the code units [p, p + n).
template <typename C>
uint8_t CodeOfUnits(const C* p, Py_ssize_t n) {
  if (n > 8) return 0;
  uint64_t key = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = static_cast<Py_UCS4>(p[i]);
    if (c >= 128) return 0;
    key |= static_cast<uint64_t>(c) << (8 * i);
  }
  for (size_t s = CodeSlot(key); kCodeLookup.size[s] != 0; s = (s + 1) % kCodeSlots) {
    if (kCodeLookup.key[s] == key && kCodeLookup.size[s] == n) return kCodeLookup.code[s];
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Pooled tokens
// ---------------------------------------------------------------------------

inline uint64_t Load64(const unsigned char* p) {
  uint64_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline uint64_t Load32(const unsigned char* p) {
  uint32_t v;
  std::memcpy(&v, p, sizeof(v));
  return v;
}
inline uint64_t Mix(uint64_t a, uint64_t b) {
  unsigned __int128 r = static_cast<unsigned __int128>(a) * b;
  return static_cast<uint64_t>(r) ^ static_cast<uint64_t>(r >> 64);
}

// Whether the n bytes at a and b are the same.
inline bool SameBytes(const unsigned char* a, const unsigned char* b, size_t n) {
  if (n > 16) return std::memcmp(a, b, n) == 0;
  if (n >= 8) return Load64(a) == Load64(b) && Load64(a + n - 8) == Load64(b + n - 8);
  if (n >= 4) return Load32(a) == Load32(b) && Load32(a + n - 4) == Load32(b + n - 4);
  return a[0] == b[0] && a[n >> 1] == b[n >> 1] && a[n - 1] == b[n - 1];
}

// A hash of n bytes, reading only those bytes.
inline uint64_t HashBytes(const unsigned char* p, size_t n) {
  constexpr uint64_t k0 = 0xa0761d6478bd642full, k1 = 0xe7037ed1a0b428dbull, k2 = 0x8ebc6af09c88c6e3ull;
  uint64_t a, b;
  if (n > 16) {
    uint64_t h = n * k0;
    size_t i = 0;
    for (; i + 16 < n; i += 16) h = Mix(h ^ Load64(p + i) ^ k1, Load64(p + i + 8) ^ k2);
    a = Load64(p + n - 16) ^ h;
    b = Load64(p + n - 8);
  } else if (n >= 8) {
    a = Load64(p);
    b = Load64(p + n - 8);
  } else if (n >= 4) {
    a = Load32(p);
    b = Load32(p + n - 4);
  } else if (n > 0) {
    a = (static_cast<uint64_t>(p[0]) << 16) | (static_cast<uint64_t>(p[n >> 1]) << 8) | p[n - 1];
    b = 0;
  } else {
    a = b = 0;
  }
  return Mix(a ^ k1 ^ n, b ^ k2 ^ k0);
}

// Strings pooled by earlier splits, kept between splits so that a text seen
// before is looked up in a pool with a string whose hash is known, rather
// than with a new string hashed again: a cache, indexed by the splitter's own
// hash of the code units, of short texts of one-byte strs.  What a split
// gives is what the pool maps the text to, whatever the cache holds: a cached
// string only stands in for a new one equal to it.  It lives as long as the
// module (a capsule in its dict owns it).
struct TokenMemo {
  static constexpr size_t kSize = 1 << 13;
  static constexpr Py_ssize_t kMaxLength = 32;  // longer texts (docstrings, comments) seldom come again
  struct Entry {
    uint64_t hash;
    PyObject* text;  // owned: a str of one-byte kind, or null
  };
  Entry entries[kSize];
};

constexpr const char* kTokenMemoName = "logicalline._token_memo";

// The capsule of the module's cache while it lives (borrowed: the module's
// dict owns it); a split holds a reference to it for as long as it runs.
PyObject* g_token_memo = nullptr;

void FreeTokenMemo(PyObject* capsule) {
  auto* memo = static_cast<TokenMemo*>(PyCapsule_GetPointer(capsule, kTokenMemoName));
  if (memo == nullptr) {
    PyErr_Clear();
    return;
  }
  if (g_token_memo == capsule) g_token_memo = nullptr;
  for (TokenMemo::Entry& entry : memo->entries) Py_CLEAR(entry.text);
  std::free(memo);
}

// The pooled strings of one split, found through a table of the split's own
// (open addressing over one array, keyed by the code units of each token in
// the text), so that the pool is asked once per distinct text.  Holds a
// reference to each, so nothing the pool's owner does can free one while the
// split uses it.
template <typename C>
class TokenPool {
 public:
  TokenPool(PyObject* pool, int kind, bool ascii, Py_ssize_t text_length)
      : pool_(pool), kind_(kind), ascii_(ascii) {
    if (sizeof(C) == 1 && g_token_memo != nullptr) {
      memo_ = static_cast<TokenMemo*>(PyCapsule_GetPointer(g_token_memo, kTokenMemoName));
      if (memo_ != nullptr) memo_owner_ = PyRef::NewRef(g_token_memo);
    }
    size_t capacity = 64;
    while (capacity < 4096 && static_cast<Py_ssize_t>(capacity) * 48 < text_length) capacity *= 2;
    slots_.resize(capacity);
  }
  TokenPool(const TokenPool&) = delete;
  TokenPool& operator=(const TokenPool&) = delete;
  ~TokenPool() {
    for (const Slot& slot : slots_) Py_XDECREF(slot.text);
  }

  struct Found {
    PyObject* text;  // borrowed (held by this table), null with the exception set
    uint8_t code;
  };

  // The pooled string of the code units [p, p + n), with its code.
  Found Get(const C* p, Py_ssize_t n) {
    // Operators and brackets, most tokens, go by their one character.
    if (n == 1 && static_cast<Py_UCS4>(p[0]) < 128) {
      unsigned c = static_cast<unsigned>(p[0]);
      if (single_[c] != nullptr) return Found{single_[c], single_code_[c]};
      Found found = Insert(p, n, 0);
      if (found.text != nullptr) {
        single_[c] = found.text;
        single_code_[c] = found.code;
      }
      return found;
    }
    uint64_t hash = HashBytes(reinterpret_cast<const unsigned char*>(p), static_cast<size_t>(n) * sizeof(C));
    size_t mask = slots_.size() - 1;
    for (size_t i = static_cast<size_t>(hash) & mask;; i = (i + 1) & mask) {
      const Slot& slot = slots_[i];
      if (slot.text == nullptr) break;
      if (slot.hash == hash && slot.n == n &&
          SameBytes(reinterpret_cast<const unsigned char*>(slot.p), reinterpret_cast<const unsigned char*>(p),
                    static_cast<size_t>(n) * sizeof(C))) {
        return Found{slot.text, slot.code};
      }
    }
    return Insert(p, n, hash);
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
  struct Slot {
    const C* p = nullptr;
    Py_ssize_t n = 0;
    uint64_t hash = 0;
    PyObject* text = nullptr;  // owned; null for an empty slot
    uint8_t code = 0;
  };

  // A new str of the code units [p, p + n), or null with the exception set.
  PyObject* NewText(const C* p, Py_ssize_t n) {
    if (ascii_ && n > 1) {
      // The text is ASCII, so is the token: no search for its widest character.
      PyObject* str = PyUnicode_New(n, 127);
      if (str != nullptr) std::memcpy(PyUnicode_1BYTE_DATA(str), p, static_cast<size_t>(n));
      return str;
    }
    return PyUnicode_FromKindAndData(kind_, p, n);
  }

  Found Insert(const C* p, Py_ssize_t n, uint64_t hash) {
    TokenMemo::Entry* entry = nullptr;
    PyObject* known = nullptr;
    if constexpr (sizeof(C) == 1) {
      if (memo_ != nullptr && n > 1 && n <= TokenMemo::kMaxLength) {
        entry = &memo_->entries[hash & (TokenMemo::kSize - 1)];
        if (entry->text != nullptr && entry->hash == hash && IsText(entry->text, p, n)) known = entry->text;
      }
    }
    PyRef text = known != nullptr ? PyRef::NewRef(known) : PyRef::Steal(NewText(p, n));
    if (!text) return Found{nullptr, 0};
    PyObject* pooled = Pooled(text.get());
    if (pooled == nullptr) return Found{nullptr, 0};
    if (entry != nullptr && pooled != known && IsText(pooled, p, n)) {
      PyObject* old = entry->text;
      entry->text = Py_NewRef(pooled);
      entry->hash = hash;
      Py_XDECREF(old);
    }
    uint8_t code = CodeOfUnits(p, n);
    if (n == 1 && static_cast<Py_UCS4>(p[0]) < 128) {
      extra_.push_back(PyRef::NewRef(pooled));
      return Found{pooled, code};
    }
    if ((used_ + 1) * 2 > slots_.size()) Grow();
    size_t mask = slots_.size() - 1;
    size_t i = static_cast<size_t>(hash) & mask;
    while (slots_[i].text != nullptr) i = (i + 1) & mask;
    slots_[i] = Slot{p, n, hash, Py_NewRef(pooled), code};
    ++used_;
    return Found{pooled, code};
  }

  // Whether the str `text` is of one-byte kind and holds the code units
  // [p, p + n).
  static bool IsText(PyObject* text, const C* p, Py_ssize_t n) {
    return PyUnicode_KIND(text) == PyUnicode_1BYTE_KIND && PyUnicode_GET_LENGTH(text) == n &&
           std::memcmp(PyUnicode_1BYTE_DATA(text), p, static_cast<size_t>(n)) == 0;
  }

  void Grow() {
    std::vector<Slot> old(slots_.size() * 2);
    old.swap(slots_);
    size_t mask = slots_.size() - 1;
    for (const Slot& slot : old) {
      if (slot.text == nullptr) continue;
      size_t i = static_cast<size_t>(slot.hash) & mask;
      while (slots_[i].text != nullptr) i = (i + 1) & mask;
      slots_[i] = slot;
    }
  }

  PyObject* pool_;
  int kind_;
  bool ascii_;
  TokenMemo* memo_ = nullptr;  // null for none
  PyRef memo_owner_;           // the capsule of memo_
  std::vector<Slot> slots_;
  size_t used_ = 0;
  PyObject* single_[128] = {};  // borrowed from extra_
  uint8_t single_code_[128] = {};
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
  PyObject* text;  // pooled, borrowed from the split's table
  uint8_t code;    // see kCodedTexts
  bool string;
};

template <typename C>
class KindOf {
 public:
  KindOf(const Source<C>& src, const std::vector<Token>& toks) : src_(src), toks_(toks) {}

  uint8_t Code(size_t i) const { return toks_[i].code; }
  uint8_t Flags(size_t i) const { return kCodes.flags[toks_[i].code]; }
  Py_UCS4 First(size_t i) const { return src_.at(toks_[i].start); }

  // An identifier that is not a keyword; -1 with the exception set on failure.
  int IsName(size_t i) const {
    if (Flags(i) & kIsKeyword) return 0;
    PyObject* text = toks_[i].text;
    if (PyUnicode_IS_ASCII(text)) {
      // What str.isidentifier says of an ASCII text, without its lookups.
      const Py_UCS1* p = PyUnicode_1BYTE_DATA(text);
      Py_ssize_t n = PyUnicode_GET_LENGTH(text);
      if (n == 0 || !IsNameStart(p[0])) return 0;
      for (Py_ssize_t k = 1; k < n; ++k) {
        if (!IsNameChar(p[k])) return 0;
      }
      return 1;
    }
    return PyUnicode_IsIdentifier(text);
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

  // The kind of the statement line; `merged` is the code of the keyword
  // ("def", "for" or "with") the async of token 0 is merged with, 0 when
  // there is none.  -1 with the exception set on failure.
  int Kind(uint8_t merged) const {
    size_t n = toks_.size();
    if (merged != 0) {
      // Token 1 is part of token 0.
      if (merged == kCodeFor) return kForBeginningIndex;
      if (merged == kCodeWith) return kUnknownIndex;
      if (n < 3) return kUnknownIndex;
      int name = IsName(2);
      return name < 0 ? -1 : (name ? kFunctionDefIndex : kUnknownIndex);
    }
    int first = kCodes.kind[Code(0)];
    if (first >= 0) {
      if (first == kClassDefIndex || first == kFunctionDefIndex) {
        // Half-typed definitions (`def`, `def (`, `class 'x':`) define
        // nothing the scope lookups could name.
        if (n < 2) return kUnknownIndex;
        int name = IsName(1);
        if (name < 0) return -1;
        if (!name) return kUnknownIndex;
      }
      return first;
    }
    if (Flags(0) & kIsOtherStart) return kUnknownIndex;
    if (toks_[0].string) return StringExpression() ? kStringExpressionIndex : kUnknownIndex;
    bool any = false;
    for (size_t i = 0; i < n && !any; ++i) any = (Flags(i) & kIsAssignOp) || Code(i) == kCodeColon;
    if (!any) return kUnknownIndex;
    bool soft = (Code(0) == kCodeMatch || Code(0) == kCodeCase) && n > 1 && !(Flags(1) & kEndsSoftKeyword);
    long depth = 0;
    long lambdas = 0;
    for (size_t i = 0; i < n; ++i) {
      uint8_t flags = Flags(i);
      if (flags & kIsOpen) {
        ++depth;
      } else if (flags & kIsClose) {
        if (depth > 0) --depth;
      } else if (depth == 0) {
        if (flags & kIsAssignOp) return kAssignmentIndex;
        uint8_t code = Code(i);
        if (code == kCodeColon) {
          if (lambdas) {
            --lambdas;
          } else {
            // An annotation, or the colon of a match or case statement.
            return soft ? kUnknownIndex : kAssignmentIndex;
          }
        } else if (code == kCodeLambda) {
          ++lambdas;
        } else if (code == kCodeSemicolon) {
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
// line_count, indent, kind, tabs_in_indent, spaces_in_indent), their rows
// moved down by `row_base` (a window of a text below its first row).
class RecordSink {
 public:
  explicit RecordSink(long row_base = 0) : out_(PyRef::Steal(PyList_New(0))), row_base_(row_base) {}
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
      PyObject* pos = Pair(Saturated(t.row) + row_base_, Saturated(t.col));
      if (pos == nullptr) return -1;
      PyList_SET_ITEM(poss.get(), k, pos);
      ++k;
    }
    PyRef record = PyRef::Steal(PyTuple_New(8));
    if (!record) return -1;
    PyTuple_SET_ITEM(record.get(), 0, toks.release());
    PyTuple_SET_ITEM(record.get(), 1, poss.release());
    long numbers[] = {line.first_row + row_base_, line.line_count, line.indent, line.kind};
    for (Py_ssize_t k = 0; k < 4; ++k) {
      PyObject* number = PyLong_FromLong(numbers[k]);
      if (number == nullptr) return -1;
      PyTuple_SET_ITEM(record.get(), 2 + k, number);
    }
    PyTuple_SET_ITEM(record.get(), 6, Py_NewRef(line.tabs ? Py_True : Py_False));
    PyTuple_SET_ITEM(record.get(), 7, Py_NewRef(line.spaces ? Py_True : Py_False));
    return PyList_Append(out_.get(), record.get());
  }

 private:
  // (row, col) as a new tuple.
  static PyObject* Pair(long row, long col) {
    PyObject* pair = PyTuple_New(2);
    if (pair == nullptr) return nullptr;
    PyObject* first = PyLong_FromLong(row);
    PyObject* second = first ? PyLong_FromLong(col) : nullptr;
    if (second == nullptr) {
      Py_XDECREF(first);
      Py_DECREF(pair);
      return nullptr;
    }
    PyTuple_SET_ITEM(pair, 0, first);
    PyTuple_SET_ITEM(pair, 1, second);
    return pair;
  }

  PyRef out_;
  long row_base_;
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
  Splitter(const Source<C>& src, PyObject* pool, int kind, bool ascii, Sink& sink)
      : src_(src), pool_(pool, kind, ascii, src.size()), sink_(sink) {}

  int Run() {
    const Py_ssize_t n = src_.size();
    const C* t = src_.data();
    Py_ssize_t pos = 0;
    while (pos < n) {
      Py_ssize_t s = pos;
      while (s < n && t[s] == ' ') ++s;
      // Blanks from the start of a row that are all spaces make an indent
      // that needs no second look.
      plain_indent_ = pos == line_start_;
      if (s < n && IsBlank(t[s])) {
        plain_indent_ = false;
        while (s < n && IsBlank(t[s])) ++s;
      }
      if (s >= n) break;
      Py_UCS4 c = t[s];
      uint8_t cls = CharClass(c);
      if (cls & kClsNewline) {
        pos = s + ((c == '\r' && src_.Has(s + 1, '\n')) ? 2 : 1);
        if (Newline(s, pos) < 0) return -1;
        continue;
      }
      if (c == '#') {
        Py_ssize_t end = src_.FindNewline(s + 1, n);
        pos = end;
        if (Comment(s, end) < 0) return -1;
        continue;
      }
      if (c == '\\') {
        if (s + 1 >= n) break;  // a backslash at the very end gives nothing
        Py_UCS4 d = t[s + 1];
        if (IsNewline(d)) {
          // A backslash continuation joins the next physical line.
          pos = s + ((d == '\r' && src_.Has(s + 2, '\n')) ? 3 : 2);
          ++row_;
          line_start_ = pos;
          continue;
        }
      }
      int prefix = (cls & (kClsQuote | kClsPrefix)) ? src_.StringPrefixLength(s) : -1;
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
    if (plain_indent_ && from == line_start_) {
      ind.width = static_cast<long>(to - from);
      ind.spaces = to > from;
      return ind;
    }
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
    auto found = pool_.Get(src_.data() + s, end - s);
    if (found.text == nullptr) return -1;
    toks_.push_back(Token{s, end, row_, static_cast<long>(s - line_start_), found.text, found.code, string});
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
    Py_ssize_t first = src_.FindNewline(s, end);
    if (first < end) {
      Py_ssize_t last = -1;
      row_ += src_.CountRows(first, end, &last);
      if (last >= 0) line_start_ = last + 1;
    }
    return end;
  }

  int Comment(Py_ssize_t s, Py_ssize_t end) {
    if (in_statement_) return AddToken(s, end, false);
    // A comment line.
    auto found = pool_.Get(src_.data() + s, end - s);
    if (found.text == nullptr) return -1;
    Indent ind = IndentOf(line_start_, s);
    one_.clear();
    one_.push_back(Token{s, end, row_, static_cast<long>(s - line_start_), found.text, found.code, false});
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
    uint8_t merged = 0;
    PyObject* first_text = nullptr;
    if (toks_.size() > 1 && kinds.Code(0) == kCodeAsync) {
      uint8_t next = kinds.Code(1);
      if (next == kCodeDef || next == kCodeFor || next == kCodeWith) {
        merged = next;
        first_text = pool_.GetAscii(next == kCodeDef ? "async def" : next == kCodeFor ? "async for" : "async with");
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
  bool plain_indent_ = false;   // the blanks before the token at hand start the row and are all spaces
};

template <typename Sink, typename C>
int SplitText(const C* data, Py_ssize_t n, PyObject* pool, int kind, bool ascii, Sink& sink) {
  Source<C> src(data, n);
  Splitter<C, Sink> splitter(src, pool, kind, ascii, sink);
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
PyObject* SplitRange(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool, Sink sink = Sink()) {
  // The text is held while the split reads its code units.
  PyRef held = PyRef::NewRef(text);
  if (!sink.ok()) return nullptr;
  Py_ssize_t n = end - start;
  int kind = PyUnicode_KIND(text);
  int rc;
  switch (kind) {
    case PyUnicode_1BYTE_KIND:
      rc = SplitText(PyUnicode_1BYTE_DATA(text) + start, n, pool, kind, PyUnicode_IS_ASCII(text), sink);
      break;
    case PyUnicode_2BYTE_KIND:
      rc = SplitText(PyUnicode_2BYTE_DATA(text) + start, n, pool, kind, false, sink);
      break;
    default:
      rc = SplitText(PyUnicode_4BYTE_DATA(text) + start, n, pool, kind, false, sink);
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
    {"rescan_window", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(RescanWindowFunction)),
     METH_VARARGS | METH_KEYWORDS, kRescanWindowDoc},
    {"common_ends", CommonEndsFunction, METH_VARARGS, kCommonEndsDoc},
    {"split_logical_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(SplitLogicalLines)),
     METH_VARARGS | METH_KEYWORDS, split_logical_lines_doc},
    {"scan_logical_lines", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(ScanLogicalLines)),
     METH_VARARGS | METH_KEYWORDS, scan_logical_lines_doc},
    {"nonself_def_keys", NonselfDefKeysFunction, METH_O, kNonselfDefKeysDoc},
    {"key_set", KeySetFunction, METH_NOARGS, kKeySetDoc},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyObject* ScanRecords(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool) {
  return SplitRange<RecordSink>(text, start, end, pool);
}

PyObject* ScanRecordsBelow(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool, long row_base) {
  return SplitRange<RecordSink>(text, start, end, pool, RecordSink(row_base));
}

int AddSplitterFunctions(PyObject* module) {
  auto* memo = static_cast<TokenMemo*>(std::calloc(1, sizeof(TokenMemo)));
  if (memo == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  PyRef capsule = PyRef::Steal(PyCapsule_New(memo, kTokenMemoName, FreeTokenMemo));
  if (!capsule) {
    std::free(memo);
    return -1;
  }
  if (PyModule_AddObjectRef(module, "_token_memo", capsule.get()) < 0) return -1;
  g_token_memo = capsule.get();
  return PyModule_AddFunctions(module, kSplitterMethods);
}
