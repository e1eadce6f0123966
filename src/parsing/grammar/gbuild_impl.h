// The line tree builder's shared parts: kind strings, tuple helpers and
// the Builder, whose statement and expression halves live in two files.
#ifndef PYSOURCE_GRAMMAR_GBUILD_IMPL_H
#define PYSOURCE_GRAMMAR_GBUILD_IMPL_H

#include "gbuild.h"

#include "gwriter.h"

#include <cmath>
#include <string>

namespace pgram {
namespace detail {


enum S {
  sAssign, sName, sTuple, sList, sDict, sConst, sGetattr, sCallFunc, sKeyword, sSubscript,
  sOpApply, sSliceobj, sCompare, sEllipsis, sDots, sFor, sReturn, sFunction, sClass, sImport,
  sFrom, sAugAssign, sAnnAssign, sWith, sIf, sWhile, sExpr, sDecorator, sDel, sGlobal,
  sNonlocal, sRaise, sAssert, sPass, sBreak, sContinue, sMatch, sCase, sTypeAlias, sIsinstance,
  sAdd, sSub, sMul, sDiv, sMod, sPower, sLeftShift, sRightShift, sBitor, sBitxor, sBitand,
  sAnd, sOr, sUnarySub, sUnaryAdd, sInvert, sNot,
  sEq, sNotEq, sLt, sLtE, sGt, sGtE, sIs, sIsNot, sIn, sNotIn,
  sAugAdd, sAugSub, sAugMult, sAugMatMult, sAugDiv, sAugMod, sAugPow, sAugLShift, sAugRShift,
  sAugBitOr, sAugBitXor, sAugBitAnd, sAugFloorDiv,
  sNew, sInitSubclass, sClassGetitem,
  sCount,
};

inline const char* const kTexts[sCount] = {
    "Assign", "Name", "Tuple", "List", "Dict", "Const", "Getattr", "CallFunc", "Keyword",
    "Subscript", "OP_APPLY", "Sliceobj", "Compare", "Ellipsis", "...", "For", "Return",
    "Function", "Class", "Import", "From", "AugAssign", "AnnAssign", "With", "If", "While",
    "Expr", "Decorator", "Del", "Global", "Nonlocal", "Raise", "Assert", "Pass", "Break",
    "Continue", "Match", "Case", "TypeAlias", "isinstance",
    "Add", "Sub", "Mul", "Div", "Mod", "Power", "LeftShift", "RigthShift", "Bitor", "Bitxor",
    "Bitand", "And", "Or", "UnarySub", "UnaryAdd", "Invert", "Not",
    "==", "!=", "<", "<=", ">", ">=", " is ", " is not ", " in ", " not in ",
    "+=", "-=", "*=", "@=", "/=", "%=", "**=", "<<=", ">>=", "|=", "^=", "&=", "//=",
    "__new__", "__init_subclass__", "__class_getitem__",
};

inline PyObject* s_str[sCount];
inline PyObject* s_none_const;  // ("Const", None)

inline PyObject* Str(S s) { return Py_NewRef(s_str[s]); }

// PyObject_GC_IsTracked, without the call for the objects of types the
// collector never tracks (the strings and numbers most tree items are).
inline bool Tracked(PyObject* o) { return PyType_IS_GC(Py_TYPE(o)) && PyObject_GC_IsTracked(o); }

// A tuple of the given new references (all non-null), stolen.  A tuple of
// nothing but untracked objects can take part in no cycle: it is left out
// of the cyclic collector's lists at once.
template <typename... A>
PyObject* Tup(A... items) {
  PyObject* t = PyTuple_New(sizeof...(items));
  if (t == nullptr) {
    (Py_DECREF(items), ...);
    return nullptr;
  }
  Py_ssize_t i = 0;
  ((PyTuple_SET_ITEM(t, i++, items)), ...);
  bool atoms = (... && !Tracked(items));
  if (atoms) PyObject_GC_UnTrack(t);
  return t;
}

// The references gathered for a tuple or list.
using RefVec = SmallVec<PyObject*, 8>;

inline PyObject* TupleFromVector(RefVec& v) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(v.size()));
  if (t == nullptr) {
    for (PyObject* o : v) Py_DECREF(o);
    v.clear();
    return nullptr;
  }
  bool atoms = true;
  for (size_t i = 0; i < v.size(); ++i) {
    if (Tracked(v[i])) atoms = false;
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v[i]);
  }
  v.clear();
  if (atoms) PyObject_GC_UnTrack(t);
  return t;
}

inline PyObject* ListFromVector(RefVec& v) {
  PyObject* l = PyList_New(static_cast<Py_ssize_t>(v.size()));
  if (l == nullptr) {
    for (PyObject* o : v) Py_DECREF(o);
    v.clear();
    return nullptr;
  }
  for (size_t i = 0; i < v.size(); ++i) PyList_SET_ITEM(l, static_cast<Py_ssize_t>(i), v[i]);
  v.clear();
  return l;
}

// Owns the new references gathered for a tuple or list under construction.
struct Items {
  RefVec v;
  Items() = default;
  Items(const Items&) = delete;
  Items& operator=(const Items&) = delete;
  ~Items() {
    for (PyObject* o : v) Py_DECREF(o);
  }
  bool Add(PyObject* o) {
    if (o == nullptr) return false;
    v.push_back(o);
    return true;
  }
  PyObject* Tuple() { return TupleFromVector(v); }
  PyObject* List() { return ListFromVector(v); }
};

// Contexts an expression is written in; each asks more of its text than
// the one before.
enum Ctx { kItem = 0, kBool = 1, kOperand = 2, kStrict = 3 };

inline constexpr int kMaxTreeDepth = 60;

inline bool SelfContained(K k) {
  switch (k) {
    case K::Name: case K::Const: case K::Attribute: case K::Subscript: case K::Call:
    case K::List: case K::Tuple: case K::Dict: case K::Set: case K::ListComp:
    case K::SetComp: case K::DictComp: case K::GenExp: case K::JoinedStr: case K::NamedExpr:
    case K::Yield: case K::YieldFrom:
      return true;
    default:
      return false;
  }
}

// Sub-nodes in the order of the interpreter's tree fields (lambdas'
// parameters left out: nothing below is looked for there).
inline void Children(const Node* n, std::vector<const Node*>* out) {
  auto add = [out](const Node* c) {
    if (c) out->push_back(c);
  };
  auto addl = [out](const NodeList& l) {
    for (int i = 0; i < l.n; ++i) {
      if (l[i]) out->push_back(l[i]);
    }
  };
  switch (n->kind) {
    case K::Attribute: case K::Starred: case K::Await: case K::Yield: case K::YieldFrom:
    case K::Keyword: case K::UnaryOp: case K::MatchValue:
      add(n->a);
      break;
    case K::Call: add(n->a); addl(n->l1); addl(n->l2); break;
    case K::BinOp: case K::Subscript: case K::NamedExpr: add(n->a); add(n->b); break;
    case K::BoolOp: case K::Tuple: case K::List: case K::Set: case K::JoinedStr:
    case K::MatchSequence: case K::MatchOr:
      addl(n->l1);
      break;
    case K::Compare: add(n->a); addl(n->l1); break;
    case K::Dict: addl(n->l1); addl(n->l2); break;
    case K::Slice: add(n->a); add(n->b); add(n->c); break;
    case K::IfExp: add(n->a); add(n->b); add(n->c); break;
    case K::Lambda: add(n->a); add(n->b); break;
    case K::ListComp: case K::SetComp: case K::GenExp: add(n->a); addl(n->l1); break;
    case K::DictComp: add(n->a); add(n->b); addl(n->l1); break;
    case K::Comprehension: add(n->a); add(n->b); addl(n->l1); break;
    case K::FormattedValue: add(n->a); add(n->b); break;
    case K::MatchMapping: addl(n->l1); addl(n->l2); break;
    case K::MatchClass: add(n->a); addl(n->l1); addl(n->l3); break;
    case K::MatchAs: add(n->a); break;
    default: break;
  }
}

class Builder {
 public:
  Builder(const BuildContext& ctx) : c_(ctx) {}

  PyObject* Line(const ParseResult& r, PyObject* const* toks, Py_ssize_t fed);

 private:
  PyObject* Pooled(PyObject* s) {
    PyObject* p = PyDict_SetDefault(c_.pool, s, s);
    return p ? Py_NewRef(p) : nullptr;
  }
  PyObject* NameT(PyObject* s) {
    PyObject* p = Pooled(s);
    return p ? Tup(Str(sName), p) : nullptr;
  }

  PyObject* Stmt(const Node* n, bool nonself = false);
  PyObject* Body(const NodeList& l);
  PyObject* Bind(const Node* target, PyObject* value, bool whole);
  PyObject* Target(const Node* n, Items* extra);
  PyObject* Function(const Node* n, bool nonself);
  PyObject* ImportFrom(const Node* n);
  PyObject* Case(const Node* n);
  PyObject* Keyword(const Node* k);

  PyObject* Expr(const Node* n, int ctx);
  PyObject* OptExpr(const Node* n) { return n ? Expr(n, kItem) : Py_NewRef(Py_None); }
  PyObject* ExprBody(const Node* n, int ctx);
  PyObject* Constant(const Node* n, int ctx);
  PyObject* Subscript(const Node* n, int ctx);
  PyObject* SliceItem(const Node* n);

  // Verbatim nodes.
  PyObject* Text(const Node* n, int ctx);
  PyObject* SourceText(PyObject* text);
  PyObject* Verbatim(PyObject* text, Items* children);
  PyObject* VerbatimOf(const Node* n, int ctx, Items* children) {
    PyObject* t = Text(n, ctx);
    return t ? Verbatim(t, children) : nullptr;
  }
  // `*x` or `**x`: the stars and the operand's text, the operand its child.
  PyObject* StarredVerbatim(const char* stars, const Node* operand);
  bool FieldValues(const Node* n, Items* out);
  bool WalrusTargets(const Node* n, std::vector<const Node*>* out);

  const BuildContext& c_;
  int depth_ = 0;
};

}  // namespace detail
}  // namespace pgram

#endif  // PYSOURCE_GRAMMAR_GBUILD_IMPL_H
