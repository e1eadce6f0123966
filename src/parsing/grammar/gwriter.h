// The canonical text of an expression or pattern: what the interpreter's
// own unparser writes for the same tree (its parentheses, spacing, quotes
// and number forms), so that verbatim texts equal the Python host's.
#ifndef PYSOURCE_GRAMMAR_GWRITER_H
#define PYSOURCE_GRAMMAR_GWRITER_H

#include "gast.h"

#include <string>

namespace pgram {

// Precedence levels of the unparser, loosest first.
enum Prec : int {
  kPNamedExpr = 1, kPTuple, kPYield, kPTest, kPOr, kPAnd, kPNot, kPCmp, kPExpr,
  kPBor = kPExpr, kPBxor, kPBand, kPShift, kPArith, kPTerm, kPFactor, kPPower, kPAwait, kPAtom,
};

// Appends the text of `n` written where precedence `prec` is expected
// (kPTest at the top).  False with the interpreter's exception set.
bool WriteExpr(const Node* n, int prec, std::string* out);
bool WritePattern(const Node* n, int prec, std::string* out);

}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GWRITER_H
