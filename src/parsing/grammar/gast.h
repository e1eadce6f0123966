// The native line grammar's syntax tree: one logical line's statements and
// expressions, allocated in an arena that lives as long as the parse result.
//
// The node kinds follow the interpreter's own abstract syntax closely, since
// the tuple trees built from them and the canonical texts written from them
// must equal what the Python host makes from `ast` trees.
#ifndef PYSOURCE_GRAMMAR_GAST_H
#define PYSOURCE_GRAMMAR_GAST_H

#include "../py_utils.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace pgram {

enum class K : uint8_t {
  // expressions
  Name, Const, Attribute, Call, BinOp, BoolOp, UnaryOp, Compare, Tuple, List, Set, Dict,
  Subscript, Slice, Starred, IfExp, Lambda, ListComp, SetComp, GenExp, DictComp, NamedExpr,
  Await, Yield, YieldFrom, JoinedStr, FormattedValue,
  // parts of expressions
  Keyword, Comprehension, Arguments, Arg,
  // patterns
  MatchValue, MatchSingleton, MatchSequence, MatchStar, MatchMapping, MatchClass, MatchAs, MatchOr,
  // statements
  Assign, AugAssign, AnnAssign, For, While, If, With, WithItem, Expr, Return, Raise, Assert,
  Delete, Global, Nonlocal, Pass, Break, Continue, Import, ImportFrom, Alias, FunctionDef,
  ClassDef, Match, Case, TypeAlias, Decorator,
};

// Operators, in one numbering for binary, unary, boolean and comparison ops.
enum Op : uint8_t {
  kAdd, kSub, kMult, kMatMult, kDiv, kMod, kPow, kLShift, kRShift, kBitOr, kBitXor, kBitAnd,
  kFloorDiv,                                     // binary
  kInvert, kNot, kUAdd, kUSub,                   // unary
  kAnd, kOr,                                     // boolean
  kEq, kNotEq, kLt, kLtE, kGt, kGtE, kIs, kIsNot, kIn, kNotIn,  // comparison
  kNoOp = 255,
};

// A vector that keeps its first N items in place: the parser and the builder
// gather a node's parts in one of these for nearly every node, and most hold
// a few items, so most lines are parsed and built without a heap allocation
// for them.  Items are trivially copyable (pointers).  Running out of memory
// ends the process, as it does for std::vector in this build.
template <typename T, size_t N>
class SmallVec {
 public:
  SmallVec() = default;
  SmallVec(std::initializer_list<T> items) {
    for (const T& v : items) push_back(v);
  }
  SmallVec(const T* first, const T* last) {
    for (; first != last; ++first) push_back(*first);
  }
  SmallVec(const SmallVec&) = delete;
  SmallVec& operator=(const SmallVec&) = delete;
  ~SmallVec() {
    if (data_ != inline_) std::free(data_);
  }

  void push_back(const T& v) {
    if (size_ == cap_) Grow();
    data_[size_++] = v;
  }
  void pop_back() { --size_; }
  void clear() { size_ = 0; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  T& operator[](size_t i) { return data_[i]; }
  const T& operator[](size_t i) const { return data_[i]; }
  T& back() { return data_[size_ - 1]; }
  T* begin() { return data_; }
  T* end() { return data_ + size_; }
  const T* begin() const { return data_; }
  const T* end() const { return data_ + size_; }
  T* data() { return data_; }
  const T* data() const { return data_; }

 private:
  void Grow() {
    size_t cap = cap_ * 2;
    T* more = static_cast<T*>(std::malloc(cap * sizeof(T)));
    if (more == nullptr) std::abort();
    std::memcpy(static_cast<void*>(more), data_, size_ * sizeof(T));
    if (data_ != inline_) std::free(data_);
    data_ = more;
    cap_ = cap;
  }

  T inline_[N];
  T* data_ = inline_;
  size_t size_ = 0;
  size_t cap_ = N;
};

struct Node;

// The parts of a node being parsed.
using NodeVec = SmallVec<Node*, 8>;

struct NodeList {
  Node** items = nullptr;
  int n = 0;
  Node* operator[](int i) const { return items[i]; }
};

// Node flags.
enum : uint8_t {
  kParenthesized = 1,  // written inside its own parentheses
  kAsync = 2,          // async def / for / with / comprehension
  kUnicodeKind = 4,    // a string constant whose first part has the u prefix
  kSimple = 8,         // an annotated name target without parentheses
};

// One node; which fields mean what depends on the kind:
//   Name: obj id.  Const: obj value (null for `...`).  Attribute: a value, obj attr.
//   Call: a func, l1 args, l2 keywords.  BinOp: op, a left, b right.
//   BoolOp: op, l1 values.  UnaryOp: op, a operand.
//   Compare: a left, l1 comparators, ops (one Op per comparator).
//   Tuple/List/Set: l1 elements.  Dict: l1 keys (null for **), l2 values.
//   Subscript: a value, b slice.  Slice: a lower, b upper, c step.
//   Starred/Await/Yield/YieldFrom: a value.  IfExp: a test, b body, c orelse.
//   Lambda: a arguments, b body.  ListComp/SetComp/GenExp: a elt, l1 generators.
//   DictComp: a key, b value, l1 generators.  NamedExpr: a target, b value.
//   JoinedStr: l1 values (Const str or FormattedValue).
//   FormattedValue: a value, ival conversion (-1 or a letter), b format spec.
//   Keyword: obj arg (null for **), a value.
//   Comprehension: a target, b iter, l1 ifs, flag kAsync.
//   Arguments: l1 posonly, l2 args, a vararg, l3 kwonly, b kwarg,
//              l4 defaults, l5 kw_defaults (null where none).
//   Arg: obj name, a annotation.
//   MatchValue: a value.  MatchSingleton: obj value.  MatchSequence/MatchOr: l1.
//   MatchStar: obj name (null for _).  MatchMapping: l1 keys, l2 patterns, obj rest.
//   MatchClass: a cls, l1 patterns, l2 kwd attr Names, l3 kwd patterns.
//   MatchAs: a pattern, obj name (null for _).
//   Assign: l1 targets, a value.  AugAssign: a target, op, b value.
//   AnnAssign: a target, b annotation, c value, flag kSimple.
//   For: a target, b iter, l1 body.  While/If: a test, l1 body.
//   With: l2 items (WithItem: a context, b vars), l1 body.
//   Expr/Return: a value.  Raise: a exc, b cause.  Assert: a test, b msg.
//   Delete: l2 targets.  Global/Nonlocal: l2 Names.
//   Import: l2 aliases.  ImportFrom: obj module text (dots included), l2 aliases.
//   Alias: obj name, obj2 asname.
//   FunctionDef: obj name, a arguments, l1 body.  ClassDef: obj name, l2 bases, l3 keywords, l1 body.
//   Match: a subject.  Case: a pattern, b guard, l1 body.  TypeAlias: a name, b value.
//   Decorator: a expression.
// Objects (obj, obj2) are borrowed: from the line's tokens or from the
// objects the parse result owns.
struct Node {
  K kind;
  uint8_t op = kNoOp;
  uint8_t flags = 0;
  int32_t ival = 0;
  Node* a = nullptr;
  Node* b = nullptr;
  Node* c = nullptr;
  NodeList l1, l2, l3, l4, l5;
  uint8_t* ops = nullptr;  // Compare
  PyObject* obj = nullptr;
  PyObject* obj2 = nullptr;
};

// Bump allocator for nodes and node arrays; everything is freed at once, or
// given back by Reset for the next line.
class Arena {
 public:
  Arena() = default;
  Arena(const Arena&) = delete;
  Arena& operator=(const Arena&) = delete;
  ~Arena() {
    for (const Block& b : blocks_) std::free(b.data);
  }

  void* Alloc(size_t size) {
    size = (size + 15) & ~static_cast<size_t>(15);
    if (size > left_) {
      // Blocks double from a small first one: most lines need little.
      size_t want = blocks_.empty() ? kFirstBlock : kFirstBlock << (blocks_.size() < 4 ? blocks_.size() : 4);
      if (want < size) want = size;
      char* block = static_cast<char*>(std::malloc(want));
      if (block == nullptr) return nullptr;
      blocks_.push_back(Block{block, want});
      cur_ = block;
      left_ = want;
    }
    void* p = cur_;
    cur_ += size;
    left_ -= size;
    return p;
  }

  // Frees everything allocated, keeping the largest block (unless it is
  // large) for what comes next, so that an arena used line after line
  // settles on one block.
  void Reset() {
    size_t keep = blocks_.size();
    for (size_t i = 0; i < blocks_.size(); ++i) {
      if (blocks_[i].size <= kKeepLimit && (keep == blocks_.size() || blocks_[i].size > blocks_[keep].size))
        keep = i;
    }
    for (size_t i = 0; i < blocks_.size(); ++i) {
      if (i != keep) std::free(blocks_[i].data);
    }
    if (keep == blocks_.size()) {
      blocks_.clear();
      cur_ = nullptr;
      left_ = 0;
      return;
    }
    Block kept = blocks_[keep];
    blocks_.clear();
    blocks_.push_back(kept);
    cur_ = kept.data;
    left_ = kept.size;
  }

  Node* New(K kind) {
    void* p = Alloc(sizeof(Node));
    if (p == nullptr) return nullptr;
    Node* n = new (p) Node();
    n->kind = kind;
    return n;
  }

  // Copies a node list into the arena.
  bool List(const NodeVec& v, NodeList* out) {
    out->n = static_cast<int>(v.size());
    if (v.empty()) {
      out->items = nullptr;
      return true;
    }
    out->items = static_cast<Node**>(Alloc(v.size() * sizeof(Node*)));
    if (out->items == nullptr) return false;
    for (size_t i = 0; i < v.size(); ++i) out->items[i] = v[i];
    return true;
  }

 private:
  struct Block {
    char* data;
    size_t size;
  };
  static constexpr size_t kFirstBlock = 1024;
  static constexpr size_t kKeepLimit = 64 * 1024;
  std::vector<Block> blocks_;
  char* cur_ = nullptr;
  size_t left_ = 0;
};

// Objects made while parsing (constants, dotted names), owned by the parse.
struct Owned {
  std::vector<PyObject*> objs;
  Owned() = default;
  Owned(const Owned&) = delete;
  Owned& operator=(const Owned&) = delete;
  ~Owned() {
    for (PyObject* o : objs) Py_DECREF(o);
  }
  // Releases every object, keeping the room for the next parse.
  void Clear() {
    std::vector<PyObject*> old;
    old.swap(objs);
    for (PyObject* o : old) Py_DECREF(o);
    old.clear();
    objs.swap(old);
  }
  // Takes over a new reference; returns it borrowed (null stays null).
  PyObject* Keep(PyObject* o) {
    if (o != nullptr) objs.push_back(o);
    return o;
  }
};

}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GAST_H
