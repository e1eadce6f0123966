// The scanner under the native splitter (splitter.cpp): where each kind of
// token of Python source ends, by the rules of the host package's Python
// splitter (python/pysource/splitter.py), over the code units of a str.
#ifndef PYSOURCE_SOURCE_SCAN_H
#define PYSOURCE_SOURCE_SCAN_H

#include "py_utils.h"

#include <algorithm>
#include <string_view>

namespace source_scan {


// Replacement fields nested deeper than this (through format specs) make the
// f-string count as not well formed (the interpreter's own limit is lower).
constexpr int kMaxFStringNesting = 150;

// The classes of the ASCII characters, as bits; every other character is a
// name character.
enum : uint8_t {
  kClsBlank = 1,      // space, tab, form feed
  kClsNewline = 2,    // \r, \n
  kClsNameStart = 4,  // a letter or _
  kClsNameChar = 8,   // a letter, _ or a digit
  kClsDigit = 16,
  kClsQuote = 32,     // ' or "
  kClsPrefix = 64,    // a letter a string prefix is made of
};

struct CharTable {
  uint8_t bits[128] = {};
};

constexpr CharTable MakeCharTable() {
  CharTable t;
  t.bits[' '] = t.bits['\t'] = t.bits['\f'] = kClsBlank;
  t.bits['\r'] = t.bits['\n'] = kClsNewline;
  t.bits['\''] = t.bits['"'] = kClsQuote;
  for (int c = 'a'; c <= 'z'; ++c) t.bits[c] = kClsNameStart | kClsNameChar;
  for (int c = 'A'; c <= 'Z'; ++c) t.bits[c] = kClsNameStart | kClsNameChar;
  t.bits['_'] = kClsNameStart | kClsNameChar;
  for (int c = '0'; c <= '9'; ++c) t.bits[c] = kClsNameChar | kClsDigit;
  for (char c : {'r', 'R', 'b', 'B', 'f', 'F', 'u', 'U'}) t.bits[static_cast<int>(c)] |= kClsPrefix;
  return t;
}
inline constexpr CharTable kCharTable = MakeCharTable();

inline uint8_t CharClass(Py_UCS4 c) { return c < 128 ? kCharTable.bits[c] : (kClsNameStart | kClsNameChar); }

inline bool IsBlank(Py_UCS4 c) { return c == ' ' || c == '\t' || c == '\f'; }
inline bool IsNewline(Py_UCS4 c) { return c == '\r' || c == '\n'; }
inline bool IsQuote(Py_UCS4 c) { return c == '\'' || c == '"'; }
inline bool IsDigit(Py_UCS4 c) { return c >= '0' && c <= '9'; }
inline bool IsHexDigit(Py_UCS4 c) { return IsDigit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
inline bool IsNameStart(Py_UCS4 c) { return CharClass(c) & kClsNameStart; }
inline bool IsNameChar(Py_UCS4 c) { return CharClass(c) & kClsNameChar; }
inline bool IsPrefixChar(Py_UCS4 c) {
  switch (c) {
    case 'r': case 'R': case 'b': case 'B': case 'f': case 'F': case 'u': case 'U':
      return true;
    default:
      return false;
  }
}
inline Py_UCS4 Lower(Py_UCS4 c) { return (c >= 'A' && c <= 'Z') ? c + ('a' - 'A') : c; }

// The string prefixes: r, u, b, f, rb, br, rf, fr in either case.
inline bool IsStringPrefix(Py_UCS4 a) {
  a = Lower(a);
  return a == 'r' || a == 'u' || a == 'b' || a == 'f';
}
inline bool IsStringPrefix(Py_UCS4 a, Py_UCS4 b) {
  a = Lower(a);
  b = Lower(b);
  return (a == 'r' && (b == 'b' || b == 'f')) || ((a == 'b' || a == 'f') && b == 'r');
}

// The scanner over a text of code unit type C.
template <typename C>
class Source {
 public:
  Source(const C* text, Py_ssize_t n) : t_(text), n_(n) {}

  Py_ssize_t size() const { return n_; }
  Py_UCS4 at(Py_ssize_t i) const { return i < n_ ? static_cast<Py_UCS4>(t_[i]) : 0; }
  const C* data() const { return t_; }
  bool Has(Py_ssize_t i, Py_UCS4 c) const { return i < n_ && static_cast<Py_UCS4>(t_[i]) == c; }
  bool HasQuote(Py_ssize_t i, Py_UCS4 q, int qlen) const {
    for (int k = 0; k < qlen; ++k) {
      if (!Has(i + k, q)) return false;
    }
    return true;
  }
  // Whether the code units [i, i + len) read as the ASCII `text`.
  bool Equals(Py_ssize_t i, Py_ssize_t len, std::string_view text) const {
    if (static_cast<size_t>(len) != text.size()) return false;
    for (Py_ssize_t k = 0; k < len; ++k) {
      if (static_cast<Py_UCS4>(t_[i + k]) != static_cast<unsigned char>(text[k])) return false;
    }
    return true;
  }

  // The first \r or \n in [i, end), or end.
  Py_ssize_t FindNewline(Py_ssize_t i, Py_ssize_t end) const {
    if constexpr (sizeof(C) == 1) {
      const void* lf = std::memchr(t_ + i, '\n', static_cast<size_t>(end - i));
      Py_ssize_t stop = lf ? static_cast<const C*>(lf) - t_ : end;
      const void* cr = std::memchr(t_ + i, '\r', static_cast<size_t>(stop - i));
      return cr ? static_cast<const C*>(cr) - t_ : stop;
    } else {
      while (i < end && !IsNewline(t_[i])) ++i;
      return i;
    }
  }

  // The first of c or a backslash in [i, n), or n.
  Py_ssize_t FindQuoteOrBackslash(Py_ssize_t i, Py_UCS4 c) const {
    if constexpr (sizeof(C) == 1) {
      const void* q = std::memchr(t_ + i, static_cast<int>(c), static_cast<size_t>(n_ - i));
      Py_ssize_t stop = q ? static_cast<const C*>(q) - t_ : n_;
      const void* b = std::memchr(t_ + i, '\\', static_cast<size_t>(stop - i));
      return b ? static_cast<const C*>(b) - t_ : stop;
    } else {
      while (i < n_ && t_[i] != c && t_[i] != '\\') ++i;
      return i;
    }
  }

  // The rows the newlines in [from, to) end (\r\n ends one), the code unit
  // before `from` not being a \r; *last is set to the offset of the last
  // newline code unit, or -1 when there is none.
  long CountRows(Py_ssize_t from, Py_ssize_t to, Py_ssize_t* last) const {
    if constexpr (sizeof(C) == 1) {
      if (std::memchr(t_ + from, '\r', static_cast<size_t>(to - from)) == nullptr) {
        long rows = static_cast<long>(std::count(t_ + from, t_ + to, static_cast<C>('\n')));
        Py_ssize_t k = to;
        while (k > from && t_[k - 1] != '\n') --k;
        *last = k > from ? k - 1 : -1;
        return rows;
      }
    }
    long rows = 0;
    *last = -1;
    for (Py_ssize_t k = from; k < to; ++k) {
      Py_UCS4 c = t_[k];
      if (c == '\n') {
        if (!(k > from && t_[k - 1] == '\r')) ++rows;
        *last = k;
      } else if (c == '\r') {
        ++rows;
        *last = k;
      }
    }
    return rows;
  }

  // --- strings ---------------------------------------------------------

  // End of a closed triple-quoted string whose quotes start at i, or -1.
  Py_ssize_t ClosedTripleEnd(Py_ssize_t i, Py_UCS4 q) const {
    Py_ssize_t j = i + 3;
    while (j < n_) {
      j = FindQuoteOrBackslash(j, q);
      if (j >= n_) break;
      Py_UCS4 c = t_[j];
      if (c == '\\') {
        if (j + 1 >= n_) return -1;
        j += 2;
      } else if (c == q && HasQuote(j, q, 3)) {
        return j + 3;
      } else {
        ++j;
      }
    }
    return -1;
  }

  // End of a closed single-quoted string whose quote is at i, or -1.
  Py_ssize_t ClosedSingleEnd(Py_ssize_t i, Py_UCS4 q) const {
    Py_ssize_t j = i + 1;
    while (j < n_) {
      Py_UCS4 c = t_[j];
      if (c == q) return j + 1;
      if (c == '\\') {
        if (j + 1 >= n_) return -1;
        j += (at(j + 1) == '\r' && at(j + 2) == '\n') ? 3 : 2;
      } else if (IsNewline(c)) {
        return -1;
      } else {
        ++j;
      }
    }
    return -1;
  }

  // End of a closed string (no prefix) starting at the quote at i, or -1.
  Py_ssize_t ClosedStringEnd(Py_ssize_t i) const {
    Py_UCS4 q = t_[i];
    if (HasQuote(i, q, 3)) {
      Py_ssize_t end = ClosedTripleEnd(i, q);
      if (end >= 0) return end;
    }
    return ClosedSingleEnd(i, q);
  }

  // End of the string token whose body (its first quote) is at i: closed, or
  // unterminated (a triple-quoted one runs to the end of the text, a
  // single-quoted one to the end of its physical line).
  Py_ssize_t StringEnd(Py_ssize_t i) const {
    Py_UCS4 q = t_[i];
    if (HasQuote(i, q, 3)) {
      Py_ssize_t end = ClosedTripleEnd(i, q);
      return end >= 0 ? end : n_;
    }
    Py_ssize_t end = ClosedSingleEnd(i, q);
    if (end >= 0) return end;
    end = i + 1;
    while (end < n_ && !IsNewline(t_[end])) ++end;
    return end;
  }

  // Length of the string prefix of a string token starting at i, or -1 when
  // no string starts there.
  int StringPrefixLength(Py_ssize_t i) const {
    Py_UCS4 c = at(i);
    if (IsQuote(c)) return 0;
    if (!IsPrefixChar(c)) return -1;
    Py_UCS4 d = at(i + 1);
    if (IsQuote(d)) return IsStringPrefix(c) ? 1 : -1;
    if (IsPrefixChar(d) && IsQuote(at(i + 2))) return IsStringPrefix(c, d) ? 2 : -1;
    return -1;
  }

  // --- f-strings (the nesting rules of Python 3.12) --------------------

  // End of an f-string whose body starts at i (past the opening quote), or
  // -1 when it does not end well.
  Py_ssize_t FStringEnd(Py_ssize_t i, Py_UCS4 q, int qlen, int level) const {
    while (i < n_) {
      while (i < n_) {
        Py_UCS4 c = t_[i];
        if (c == '\\' || c == '{' || c == '}' || IsQuote(c) || IsNewline(c)) break;
        ++i;
      }
      if (i >= n_) break;
      Py_UCS4 c = t_[i];
      if (c == q && HasQuote(i, q, qlen)) return i + qlen;
      if (c == '\\') {
        // An escape; "\{" leaves the brace to start a field.
        Py_UCS4 d = at(i + 1);
        i += (i + 1 < n_ && (d == '{' || d == '}')) ? 1 : 2;
      } else if (c == '{') {
        if (Has(i + 1, '{')) {
          i += 2;
        } else {
          i = FieldEnd(i + 1, q, qlen, level);
          if (i < 0) return -1;
        }
      } else if (IsNewline(c) && qlen == 1) {
        return -1;
      } else {
        ++i;
      }
    }
    return -1;
  }

  // End (past the closing brace) of the replacement field whose expression
  // starts at i, or -1.  The expression may span rows and hold comments.
  Py_ssize_t FieldEnd(Py_ssize_t i, Py_UCS4 q, int qlen, int level) const {
    if (level >= kMaxFStringNesting) return -1;
    long depth = 0;
    while (i < n_) {
      while (i < n_) {
        Py_UCS4 c = t_[i];
        if (IsQuote(c) || IsNewline(c)) break;
        bool special = false;
        switch (c) {
          case '{': case '}': case '(': case ')': case '[': case ']': case ':': case '!': case '=':
          case '<': case '>': case '\\': case '#':
            special = true;
            break;
          default:
            break;
        }
        if (special) break;
        ++i;
      }
      if (i >= n_) break;
      Py_UCS4 c = t_[i];
      if (IsQuote(c)) {
        // A nested string, quoted like the f-string or not.
        i = ClosedStringEnd(i);
        if (i < 0) return -1;
      } else if (c == '(' || c == '[' || c == '{') {
        ++depth;
        ++i;
      } else if (c == ')' || c == ']') {
        --depth;
        ++i;
      } else if (c == '}') {
        if (depth == 0) return i + 1;
        --depth;
        ++i;
      } else if (depth == 0 && c == '!' && !Has(i + 1, '=')) {
        ++i;  // a conversion; the format spec or the closing brace follow
      } else if (depth == 0 && c == ':') {
        return SpecEnd(i + 1, q, qlen, level + 1);
      } else if (c == '=' || c == '<' || c == '>' || c == '!' || c == ':') {
        ++i;
      } else if (c == '\\') {
        // A backslash continuation goes as one piece.
        if (at(i + 1) == '\r' && at(i + 2) == '\n') {
          i += 3;
        } else if (i + 1 < n_ && IsNewline(t_[i + 1])) {
          i += 2;
        } else {
          ++i;
        }
      } else if (c == '#') {
        // A comment runs to the end of its row.
        while (i < n_ && !IsNewline(t_[i])) ++i;
      } else {
        ++i;
      }
    }
    return -1;
  }

  // End of a format spec and its replacement field, or -1.
  Py_ssize_t SpecEnd(Py_ssize_t i, Py_UCS4 q, int qlen, int level) const {
    while (i < n_) {
      Py_UCS4 c = t_[i];
      if (c == '}') return i + 1;
      if (c == '{') {
        i = FieldEnd(i + 1, q, qlen, level);
        if (i < 0) return -1;
      } else if (c == q && HasQuote(i, q, qlen)) {
        return -1;
      } else if (IsNewline(c) && qlen == 1) {
        return -1;
      } else {
        ++i;
      }
    }
    return -1;
  }

  // --- names, numbers, operators ---------------------------------------

  // End of a run of digits with single underscores between them, or -1.
  Py_ssize_t DigitsEnd(Py_ssize_t i) const {
    if (!IsDigit(at(i))) return -1;
    ++i;
    for (;;) {
      if (IsDigit(at(i))) {
        ++i;
      } else if (at(i) == '_' && IsDigit(at(i + 1))) {
        i += 2;
      } else {
        return i;
      }
    }
  }

  Py_ssize_t ExponentEnd(Py_ssize_t i) const {
    if (at(i) != 'e' && at(i) != 'E') return -1;
    ++i;
    if (at(i) == '+' || at(i) == '-') ++i;
    return DigitsEnd(i);
  }

  Py_ssize_t FloatEnd(Py_ssize_t i) const {
    Py_ssize_t d = DigitsEnd(i);
    Py_ssize_t end = -1;
    if (d >= 0 && at(d) == '.') {
      end = d + 1;
      Py_ssize_t f = DigitsEnd(end);
      if (f >= 0) end = f;
    } else if (at(i) == '.') {
      end = DigitsEnd(i + 1);
    } else if (d >= 0) {
      return ExponentEnd(d);
    }
    if (end < 0) return -1;
    Py_ssize_t e = ExponentEnd(end);
    return e >= 0 ? e : end;
  }

  // End of a run of (underscore and) digits that `is_digit` accepts, at
  // least one, or -1.
  template <typename Pred>
  Py_ssize_t RadixDigitsEnd(Py_ssize_t i, Pred is_digit) const {
    Py_ssize_t start = i;
    for (;;) {
      if (is_digit(at(i))) {
        ++i;
      } else if (at(i) == '_' && is_digit(at(i + 1))) {
        i += 2;
      } else {
        break;
      }
    }
    return i > start ? i : -1;
  }

  // End of a number starting at i (a digit, or "." and a digit).
  Py_ssize_t NumberEnd(Py_ssize_t i) const {
    Py_ssize_t d = DigitsEnd(i);
    if (d >= 0 && (at(d) == 'j' || at(d) == 'J')) return d + 1;
    Py_ssize_t f = FloatEnd(i);
    if (f >= 0) return (at(f) == 'j' || at(f) == 'J') ? f + 1 : f;
    if (at(i) == '0') {
      Py_UCS4 x = Lower(at(i + 1));
      Py_ssize_t e = -1;
      if (x == 'x') e = RadixDigitsEnd(i + 2, IsHexDigit);
      if (x == 'b') e = RadixDigitsEnd(i + 2, [](Py_UCS4 c) { return c == '0' || c == '1'; });
      if (x == 'o') e = RadixDigitsEnd(i + 2, [](Py_UCS4 c) { return c >= '0' && c <= '7'; });
      if (e >= 0) return e;
      e = RadixDigitsEnd(i + 1, [](Py_UCS4 c) { return c == '0'; });
      return e >= 0 ? e : i + 1;
    }
    return d;
  }

  // End of an operator starting at i, or -1.
  Py_ssize_t OperatorEnd(Py_ssize_t i) const {
    Py_UCS4 a = at(i), b = at(i + 1), c = at(i + 2);
    if (c == '=' && ((a == '*' && b == '*') || (a == '/' && b == '/') || (a == '>' && b == '>') ||
                     (a == '<' && b == '<'))) {
      return i + 3;
    }
    if (a == '.' && b == '.' && c == '.') return i + 3;
    if ((a == '-' && b == '>') || (a == ':' && b == '=')) return i + 2;
    switch (a) {
      case '-': case '+': case '*': case '/': case '%': case '&': case '|': case '^': case '@': case '<':
      case '>': case '=': case '!':
        if (b == '=') return i + 2;
        break;
      default:
        break;
    }
    if ((a == '*' || a == '/' || a == '<' || a == '>') && b == a) return i + 2;
    switch (a) {
      case '-': case '+': case '*': case '/': case '%': case '&': case '|': case '^': case '~': case '@':
      case '<': case '>': case '=': case '.': case ',': case ':': case ';': case '(': case ')': case '[':
      case ']': case '{': case '}':
        return i + 1;
      default:
        return -1;
    }
  }

  // End of the name, number, operator or stray character at i.
  Py_ssize_t OtherTokenEnd(Py_ssize_t i) const {
    Py_UCS4 c = t_[i];
    if (IsNameStart(c)) {
      ++i;
      while (i < n_ && IsNameChar(t_[i])) ++i;
      return i;
    }
    if (IsDigit(c) || (c == '.' && IsDigit(at(i + 1)))) return NumberEnd(i);
    Py_ssize_t end = OperatorEnd(i);
    return end >= 0 ? end : i + 1;
  }

 private:
  const C* t_;
  Py_ssize_t n_;
};


}  // namespace source_scan

#endif  // PYSOURCE_SOURCE_SCAN_H
