// The recursive-descent parser of one logical line.
#ifndef PYSOURCE_GRAMMAR_GPARSER_H
#define PYSOURCE_GRAMMAR_GPARSER_H

#include "gtokens.h"

namespace pgram {

// What a line parsed into.
enum class Form : uint8_t { Statements, Decorator, Match, Case };

struct ParseResult {
  Form form = Form::Statements;
  NodeVec stmts;
};

enum class ParseStatus { Ok, Error, Unsupported };

// Parses the tokens (the last one a newline, or none at all).  On Error the
// interpreter's exception is set (SyntaxError, or ValueError for nesting too
// deep); Unsupported means the line holds a form this parser leaves to the
// host grammar, with no exception set.
ParseStatus ParseTokens(const std::vector<Tok>& toks, Arena* arena, Owned* owned,
                        ParseResult* out);

}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GPARSER_H
