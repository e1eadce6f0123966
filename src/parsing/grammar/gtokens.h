// Tokens of one logical line as the analyzer feeds them: each is already a
// whole source token (a name, number, string, operator, or a stray
// character); this classifies them and decodes literals.
#ifndef PYSOURCE_GRAMMAR_GTOKENS_H
#define PYSOURCE_GRAMMAR_GTOKENS_H

#include "gast.h"

#include <string>

namespace pgram {

enum class T : uint8_t { Name, Number, String, Op, Newline, End, Error };

// Keywords (hard ones; soft keywords are names compared by text).
enum Kw : uint8_t {
  kwNone_ = 0, kwFalse, kwNone, kwTrue, kwAnd, kwAs, kwAssert, kwAsync, kwAwait, kwBreak,
  kwClass, kwContinue, kwDef, kwDel, kwElif, kwElse, kwExcept, kwFinally, kwFor, kwFrom,
  kwGlobal, kwIf, kwImport, kwIn, kwIs, kwLambda, kwNonlocal, kwNot, kwOr, kwPass, kwRaise,
  kwReturn, kwTry, kwWhile, kwWith, kwYield,
};

// Operator tokens.
enum Tk : uint8_t {
  tkNone = 0, tkLPar, tkRPar, tkLSqb, tkRSqb, tkLBrace, tkRBrace, tkColon, tkComma, tkSemi,
  tkPlus, tkMinus, tkStar, tkSlash, tkVbar, tkAmper, tkLess, tkGreater, tkEqual, tkDot,
  tkPercent, tkEqEqual, tkNotEqual, tkLessEqual, tkGreaterEqual, tkTilde, tkCircumflex,
  tkLeftShift, tkRightShift, tkDoubleStar, tkPlusEqual, tkMinEqual, tkStarEqual, tkSlashEqual,
  tkPercentEqual, tkAmperEqual, tkVbarEqual, tkCircumflexEqual, tkLeftShiftEqual,
  tkRightShiftEqual, tkDoubleStarEqual, tkDoubleSlash, tkDoubleSlashEqual, tkAt, tkAtEqual,
  tkRArrow, tkEllipsis, tkColonEqual, tkExclamation,
};

struct Tok {
  T type = T::Error;
  uint8_t code = 0;     // Kw for names that are keywords, Tk for operators
  const char* s = nullptr;
  Py_ssize_t len = 0;
  PyObject* obj = nullptr;  // the token string, borrowed
  bool ascii = true;
};

// Classifies one token string.  "async def" and its kin are split in two.
// Returns false when a token cannot be classified natively (so the caller
// hands the line elsewhere); stray characters classify as T::Error.
bool ClassifyToken(PyObject* tok, std::vector<Tok>* out, Owned* owned);

// A name outside ASCII (`text`, a str): an identifier as the interpreter
// reads it, in NFKC normal form, or an error token.  False with an
// exception set when the normalization itself fails.
bool NonAsciiName(PyObject* text, Owned* owned, Tok* t);

bool TextIs(const Tok& t, const char* text);

// Classifies a piece of text taken from inside an f-string's replacement
// field (no string object behind it); false for a name outside ASCII.
bool ClassifyText(const char* s, Py_ssize_t n, Tok* t);
// Length of the operator at `s` (the longest one), 0 when there is none.
Py_ssize_t OperatorLength(const char* s, Py_ssize_t n);

// Decodes a number token: a new int, float or complex, or null with
// SyntaxError/ValueError set.
PyObject* DecodeNumber(const Tok& t);

// One string token split into prefix flags and body.
struct StrParts {
  bool raw = false, bytes = false, fstr = false, unicode = false;
  const char* body = nullptr;
  Py_ssize_t body_len = 0;
  int quote_len = 1;
  char quote = '"';
};

// The end (one past the closing quote) of the string literal starting at
// s[i], f-strings' replacement fields included; -1 when it is not closed.
Py_ssize_t StringEnd(const char* s, Py_ssize_t n, Py_ssize_t i);
// Whether a string literal (its prefix or quote) starts at s[i].
bool IsStringAt(const char* s, Py_ssize_t n, Py_ssize_t i);
// One past the '}' closing the replacement field that opens at s[i], -1
// when it is not closed.
Py_ssize_t FieldEnd(const char* s, Py_ssize_t n, Py_ssize_t i);

// Splits a string token; false when it is not a closed string literal.
bool SplitString(const Tok& t, StrParts* parts);

// Decodes the body of a str literal (escapes unless raw): new str or null
// with SyntaxError set.
PyObject* DecodeStrBody(const char* s, Py_ssize_t len, bool raw);
// Decodes the body of a bytes literal: new bytes or null with SyntaxError set.
PyObject* DecodeBytesBody(const char* s, Py_ssize_t len, bool raw);

void SetSyntaxError(const char* message);

// ASCII letters, digits and the underscore of names (a byte of 0x80 or
// more is part of a non-ASCII name, which the callers treat on their own).
inline bool IsIdStart(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}
inline bool IsIdChar(unsigned char c) { return IsIdStart(c) || (c >= '0' && c <= '9'); }

}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GTOKENS_H
