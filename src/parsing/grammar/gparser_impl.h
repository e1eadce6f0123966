// The recursive-descent parser of one logical line into the arena tree:
// its rules, shared by the files that define them (statements, expressions,
// targets and patterns, f-strings).
//
// Rule functions return the node, or null when the tokens do not match.  A
// null with an interpreter exception set (a bad literal, nesting too deep)
// is final; a null without one is a plain mismatch, which the few places
// that try alternatives undo by restoring the position.
#ifndef PYSOURCE_GRAMMAR_GPARSER_IMPL_H
#define PYSOURCE_GRAMMAR_GPARSER_IMPL_H

#include "gparser.h"

#include <cstring>
#include <string>

namespace pgram {
namespace detail {

// Nesting the parser follows by recursion (brackets, unary operators,
// lambdas), and the length of left-nested chains (`a + b + c`, `a.b.c`,
// `f()()`) on top of it: the trees' height, which the builder and the
// writer recurse over, stays below their sum.
constexpr int kMaxDepth = 200;
constexpr int kMaxChain = 1000;

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
  bool List(const NodeVec& v, NodeList* out) {
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
  // One more link of a left-nested chain; undone by the caller's Unchain.
  bool Chain() {
    if (++chain_ > kMaxChain) {
      if (!Failed()) PyErr_SetString(PyExc_ValueError, "line nests too deeply to be parsed");
      return false;
    }
    return true;
  }
  // Restores the chain count on every exit of a rule that lengthens it.
  struct ChainScope {
    Parser* p;
    int saved;
    explicit ChainScope(Parser* parser) : p(parser), saved(parser->chain_) {}
    ~ChainScope() { p->chain_ = saved; }
  };

  bool CanStartExpr(const Tok& t) const;

  // -- error messages ----------------------------------------------------
  // Only a line that fails gets here, so none of it costs a line that
  // parses.  Expect notes what a rule found missing (the first such note
  // is the one the interpreter reports); Diagnose sets the SyntaxError the
  // line fails with, the most telling one it finds, else "invalid syntax".
  void Expect(const char* message) { Expect(message, pos_); }
  void Expect(const char* message, size_t at) {
    if (expected_ != nullptr) return;
    expected_ = message;
    expected_pos_ = at;
  }
  void Diagnose();
  bool TokenError(const char** unclosed);
  int Viable(const Tk* open, int level);
  bool StringError(const Tok& t);
  bool InvalidCharacter(PyObject* text);
  bool AssignError();
  bool ExprError(const char* unclosed);
  bool DictItemError(size_t open, size_t s);
  bool TargetError();
  bool Reparse(size_t at);
  bool Unclosed(const char* unclosed);

  // The run `first SEP item SEP item ...` that starts with `first`, as one
  // node of `kind` that holds the items in l1 (and `op`).  `eat_sep` takes a
  // separator; `more`, asked after each one, tells whether an item follows
  // (false ends the run at a trailing separator).
  template <typename EatSep, typename More>
  Node* JoinedUntil(Node* first, EatSep eat_sep, More more, Node* (Parser::*item)(), K kind,
                    uint8_t op = kNoOp) {
    NodeVec items{first};
    while (eat_sep()) {
      if (!more()) break;
      Node* v = (this->*item)();
      if (!v) return nullptr;
      items.push_back(v);
    }
    Node* n = New(kind);
    if (!n || !List(items, &n->l1)) return nullptr;
    n->op = op;
    return n;
  }
  // The same where every separator is followed by an item.
  template <typename EatSep>
  Node* Joined(Node* first, EatSep eat_sep, Node* (Parser::*item)(), K kind, uint8_t op = kNoOp) {
    return JoinedUntil(first, eat_sep, [] { return true; }, item, kind, op);
  }
  Node* Prefixed(K kind, uint8_t op, Node* (Parser::*operand)());
  // The items of a bracketed list, its opening bracket at the cursor, up to
  // and including `close`; `comma` tells whether a comma was seen.
  bool BracketItems(Tk close, Node* (Parser::*item)(), NodeVec* items, bool* comma);

  // -- statements ----------------------------------------------------------
  bool SimpleStmts(NodeVec* out);
  Node* SimpleStmt();
  Node* CompoundStmt();
  // The colon and body of a compound statement.  A missing colon is noted
  // for the error message when the header ends there, or always (`forced`)
  // where nothing else may follow the header.
  bool Block(NodeList* body, bool forced = false);
  Node* ExprOrAssign();
  Node* ImportStmt();
  Node* FromStmt();
  Node* DottedName();
  Node* AliasOf(PyObject* name);
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
  Node* StarredBitOr();
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
  bool AtComprehension() const { return AtKw(kwFor) || (AtKw(kwAsync) && IsKw(Peek(), kwFor)); }
  Node* Comprehension(Node* first, Tk close, K kind);
  Node* DisplayRest(Node* first, Tk close, K kind);
  Node* YieldExpr();
  // An expression statement, the value of an assignment, or an f-string
  // field: a yield expression or starred expressions.
  Node* YieldOrStarExpressions() { return AtKw(kwYield) ? YieldExpr() : StarExpressions(); }
  bool Generators(NodeList* out);
  bool CallArgs(NodeVec* args, NodeVec* keywords, bool allow_genexp);
  Node* Slices();
  Node* SliceItem();
  Node* Trailers(Node* n);
  Node* AttributeOf(Node* n);

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

  // -- f-strings ---------------------------------------------------------------
 public:
  struct FPieces {
    NodeVec values;
    PyObject* pending = nullptr;  // literal text not yet made a node
    FPieces() = default;
    FPieces(const FPieces&) = delete;
    FPieces& operator=(const FPieces&) = delete;
    ~FPieces() { Py_XDECREF(pending); }
  };
  Node* FieldValue();

 private:
  Node* JoinedStr(const std::vector<StrParts>& parts);
  bool AddLiteral(FPieces* f, PyObject* text);
  bool AddChunk(FPieces* f, std::string* chunk, bool raw);
  bool FlushPending(FPieces* f);
  bool FBody(const char* s, Py_ssize_t n, Py_ssize_t* i, bool raw, bool spec, FPieces* out);
  bool Field(const char* s, Py_ssize_t n, Py_ssize_t* i, bool raw, FPieces* out);

  const std::vector<Tok>& t_;
  Arena* arena_;
  Owned* owned_;
  size_t pos_ = 0;
  int depth_ = 0;
  int chain_ = 0;
  Tok end_{T::End};
  bool unsupported_ = false;
  const char* expected_ = nullptr;
  size_t expected_pos_;  // set with expected_
};

}  // namespace detail
}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GPARSER_IMPL_H
