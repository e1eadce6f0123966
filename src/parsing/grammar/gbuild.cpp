// The line tree builder: one pass over the arena tree, making the tuple
// trees of the analyzer's representation directly.
#include "gbuild.h"

#include "gwriter.h"

#include <cmath>

namespace pgram {

namespace {

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

const char* const kTexts[sCount] = {
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

PyObject* s_str[sCount];
PyObject* s_none_const;  // ("Const", None)

inline PyObject* Str(S s) { return Py_NewRef(s_str[s]); }

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
  bool atoms = (... && !PyObject_GC_IsTracked(items));
  if (atoms) PyObject_GC_UnTrack(t);
  return t;
}

PyObject* TupleFromVector(std::vector<PyObject*>& v) {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(v.size()));
  if (t == nullptr) {
    for (PyObject* o : v) Py_DECREF(o);
    v.clear();
    return nullptr;
  }
  bool atoms = true;
  for (size_t i = 0; i < v.size(); ++i) {
    if (PyObject_GC_IsTracked(v[i])) atoms = false;
    PyTuple_SET_ITEM(t, static_cast<Py_ssize_t>(i), v[i]);
  }
  v.clear();
  if (atoms) PyObject_GC_UnTrack(t);
  return t;
}

PyObject* ListFromVector(std::vector<PyObject*>& v) {
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
  std::vector<PyObject*> v;
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

constexpr int kMaxTreeDepth = 60;

bool SelfContained(K k) {
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
void Children(const Node* n, std::vector<const Node*>* out) {
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

  PyObject* Line(const ParseResult& r, PyObject* tokens);

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
  bool WalrusTargets(const Node* n, std::vector<const Node*>* out);

  const BuildContext& c_;
  int depth_ = 0;
};

PyObject* Builder::Text(const Node* n, int ctx) {
  std::string text;
  bool wrap = false;
  if (ctx >= kOperand) {
    wrap = !SelfContained(n->kind);
  } else if (ctx == kBool) {
    wrap = n->kind == K::IfExp || n->kind == K::Lambda;
  }
  if (wrap) text.push_back('(');
  if (!WriteExpr(n, kPTest, &text)) return nullptr;
  if (wrap) text.push_back(')');
  return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
}

PyObject* Builder::SourceText(PyObject* text) {
  PyObject* st = PyObject_CallOneArg(c_.source_text, text);
  Py_DECREF(text);
  return st;
}

// ("Const", SourceText(text), child, ...); steals `text` and the children.
PyObject* Builder::Verbatim(PyObject* text, Items* children) {
  PyObject* st = SourceText(text);
  if (!st) return nullptr;
  Items all;
  all.Add(Str(sConst));
  all.Add(st);
  if (children) {
    for (PyObject* o : children->v) all.v.push_back(o);
    children->v.clear();
  }
  return all.Tuple();
}

PyObject* Builder::Line(const ParseResult& r, PyObject* tokens) {
  depth_ = 0;
  if (r.form == Form::Decorator) {
    PyObject* e = Expr(r.stmts[0]->a, kItem);
    return e ? Tup(Str(sDecorator), e) : nullptr;
  }
  if (r.stmts.size() == 1) {
    const Node* s = r.stmts[0];
    if (s->kind == K::FunctionDef && c_.nonself_defs && tokens) {
      int found = PySet_Contains(c_.nonself_defs, tokens);
      if (found < 0) return nullptr;
      if (found) return Function(s, true);
    }
    return Stmt(s);
  }
  Items out;
  for (const Node* s : r.stmts) {
    if (!out.Add(Stmt(s))) return nullptr;
  }
  return out.List();
}

PyObject* Builder::Body(const NodeList& l) {
  Items out;
  for (int i = 0; i < l.n; ++i) {
    if (!out.Add(Stmt(l[i]))) return nullptr;
  }
  return out.List();
}

// Whether walking a tuple tree records something: an assignment, a loop or
// an isinstance call.
int RecordsSomething(PyObject* node) {
  if (PyTuple_CheckExact(node)) {
    Py_ssize_t n = PyTuple_GET_SIZE(node);
    if (n == 0) return 0;
    PyObject* kind = PyTuple_GET_ITEM(node, 0);
    if (PyUnicode_CheckExact(kind)) {
      if (PyUnicode_Compare(kind, s_str[sAssign]) == 0 || PyUnicode_Compare(kind, s_str[sFor]) == 0)
        return 1;
      if (PyUnicode_Compare(kind, s_str[sCallFunc]) == 0 && n > 1) {
        PyObject* f = PyTuple_GET_ITEM(node, 1);
        if (PyTuple_CheckExact(f) && PyTuple_GET_SIZE(f) == 2 &&
            PyUnicode_CheckExact(PyTuple_GET_ITEM(f, 0)) &&
            PyUnicode_Compare(PyTuple_GET_ITEM(f, 0), s_str[sName]) == 0 &&
            PyUnicode_CheckExact(PyTuple_GET_ITEM(f, 1)) &&
            PyUnicode_Compare(PyTuple_GET_ITEM(f, 1), s_str[sIsinstance]) == 0)
          return 1;
      }
    }
    for (Py_ssize_t i = 1; i < n; ++i) {
      if (RecordsSomething(PyTuple_GET_ITEM(node, i))) return 1;
    }
    return 0;
  }
  if (PyList_CheckExact(node)) {
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(node); ++i) {
      if (RecordsSomething(PyList_GET_ITEM(node, i))) return 1;
    }
  }
  return 0;
}

PyObject* Builder::Stmt(const Node* n, bool nonself) {
  switch (n->kind) {
    case K::Assign: {
      PyObject* value = Expr(n->a, kItem);
      if (!value) return nullptr;
      if (n->l1.n == 1) return Bind(n->l1[0], value, true);
      // `a = b = v` binds each target to v; where walking v records
      // something, later targets get its text so it is recorded once.
      PyRef first = PyRef::Steal(value);
      PyRef later = PyRef::NewRef(value);
      if (RecordsSomething(value)) {
        PyObject* t = Text(n->a, kItem);
        if (!t) return nullptr;
        later.reset(Verbatim(t, nullptr));
        if (!later) return nullptr;
      }
      Items out;
      for (int i = 0; i < n->l1.n; ++i) {
        PyObject* v = i == 0 ? first.new_ref() : later.new_ref();
        PyObject* b = Bind(n->l1[i], v, true);
        if (!b) return nullptr;
        if (PyList_CheckExact(b)) {
          for (Py_ssize_t k = 0; k < PyList_GET_SIZE(b); ++k) {
            out.Add(Py_NewRef(PyList_GET_ITEM(b, k)));
          }
          Py_DECREF(b);
        } else {
          out.Add(b);
        }
      }
      return out.List();
    }
    case K::AugAssign: {
      PyObject* value = Expr(n->b, kItem);
      if (!value) return nullptr;
      PyObject* b = Bind(n->a, value, false);
      if (!b) return nullptr;
      return Tup(Str(sAugAssign), b, Str(static_cast<S>(sAugAdd + n->op)));
    }
    case K::AnnAssign: {
      PyObject* t = Text(n->b, kItem);
      PyRef ann = PyRef::Steal(t ? Verbatim(t, nullptr) : nullptr);
      if (!ann) return nullptr;
      PyObject* b;
      if (n->c) {
        PyObject* value = Expr(n->c, kItem);
        if (!value) return nullptr;
        b = Bind(n->a, value, true);
      } else if (!(n->flags & kSimple) && n->a->kind == K::Name) {
        // `(x): int` declares nothing.
        b = Expr(n->a, kItem);
      } else {
        b = Bind(n->a, Py_NewRef(s_none_const), false);
      }
      if (!b) return nullptr;
      return Tup(Str(sAnnAssign), b, ann.release());
    }
    case K::For: {
      Items extra;
      PyRef target = PyRef::Steal(Target(n->a, &extra));
      if (!target) return nullptr;
      PyRef iter = PyRef::Steal(Expr(n->b, kItem));
      if (!iter) return nullptr;
      PyRef body = PyRef::Steal(Body(n->l1));
      if (!body) return nullptr;
      for (PyObject* o : extra.v) {
        if (PyList_Append(body.get(), o) < 0) return nullptr;
      }
      PyObject* orelse = PyList_New(0);
      if (!orelse) return nullptr;
      return Tup(Str(sFor), target.release(), iter.release(), body.release(), orelse,
                 PyLong_FromLong((n->flags & kAsync) ? 1 : 0));
    }
    case K::While:
    case K::If: {
      PyRef test = PyRef::Steal(Expr(n->a, kItem));
      if (!test) return nullptr;
      PyRef body = PyRef::Steal(Body(n->l1));
      if (!body) return nullptr;
      PyObject* orelse = PyList_New(0);
      if (!orelse) return nullptr;
      return Tup(Str(n->kind == K::If ? sIf : sWhile), test.release(), body.release(), orelse);
    }
    case K::With: {
      Items items;
      for (int i = 0; i < n->l2.n; ++i) {
        const Node* it = n->l2[i];
        PyObject* ctx = Expr(it->a, kItem);
        if (!ctx) return nullptr;
        // The target gets what __enter__ returns, not the manager itself.
        if (!items.Add(it->b ? Bind(it->b, ctx, false) : ctx)) return nullptr;
      }
      PyRef list = PyRef::Steal(items.List());
      if (!list) return nullptr;
      PyObject* body = Body(n->l1);
      if (!body) return nullptr;
      return Tup(Str(sWith), list.release(), body, PyLong_FromLong((n->flags & kAsync) ? 1 : 0));
    }
    case K::Expr: {
      PyObject* e = Expr(n->a, kItem);
      return e ? Tup(Str(sExpr), e) : nullptr;
    }
    case K::Return: {
      PyObject* e = OptExpr(n->a);
      return e ? Tup(Str(sReturn), e) : nullptr;
    }
    case K::Raise: {
      PyRef exc = PyRef::Steal(OptExpr(n->a));
      if (!exc) return nullptr;
      PyObject* cause = OptExpr(n->b);
      return cause ? Tup(Str(sRaise), exc.release(), cause) : nullptr;
    }
    case K::Assert: {
      PyRef test = PyRef::Steal(Expr(n->a, kItem));
      if (!test) return nullptr;
      PyObject* msg = OptExpr(n->b);
      return msg ? Tup(Str(sAssert), test.release(), msg) : nullptr;
    }
    case K::Delete: {
      Items targets;
      for (int i = 0; i < n->l2.n; ++i) {
        if (!targets.Add(Expr(n->l2[i], kItem))) return nullptr;
      }
      PyObject* l = targets.List();
      return l ? Tup(Str(sDel), l) : nullptr;
    }
    case K::Global:
    case K::Nonlocal: {
      Items names;
      for (int i = 0; i < n->l2.n; ++i) {
        if (!names.Add(Pooled(n->l2[i]->obj))) return nullptr;
      }
      PyObject* l = names.List();
      return l ? Tup(Str(n->kind == K::Global ? sGlobal : sNonlocal), l) : nullptr;
    }
    case K::Pass: return Tup(Str(sPass));
    case K::Break: return Tup(Str(sBreak));
    case K::Continue: return Tup(Str(sContinue));
    case K::Import: {
      Items ids;
      for (int i = 0; i < n->l2.n; ++i) {
        const Node* a = n->l2[i];
        PyObject* name = Pooled(a->obj);
        if (!name) return nullptr;
        bool plain = a->obj2 == nullptr;
        if (!plain && PyUnicode_Compare(a->obj2, a->obj) == 0 &&
            PyUnicode_FindChar(a->obj, '.', 0, PyUnicode_GET_LENGTH(a->obj), 1) < 0)
          plain = true;
        if (plain) {
          ids.Add(name);
        } else {
          PyObject* as = Pooled(a->obj2);
          if (!as) {
            Py_DECREF(name);
            return nullptr;
          }
          ids.Add(Tup(name, as));
        }
      }
      PyObject* t = ids.Tuple();
      return t ? Tup(Str(sImport), t) : nullptr;
    }
    case K::ImportFrom:
      return ImportFrom(n);
    case K::FunctionDef:
      return Function(n, nonself);
    case K::ClassDef: {
      Items bases;
      for (int i = 0; i < n->l2.n; ++i) {
        if (n->l2[i]->kind == K::Starred) continue;
        if (!bases.Add(Expr(n->l2[i], kItem))) return nullptr;
      }
      PyRef bt = PyRef::Steal(bases.Tuple());
      if (!bt) return nullptr;
      Items keywords;
      for (int i = 0; i < n->l3.n; ++i) {
        if (!keywords.Add(Keyword(n->l3[i]))) return nullptr;
      }
      PyRef kl = PyRef::Steal(keywords.List());
      if (!kl) return nullptr;
      PyObject* name = Pooled(n->obj);
      if (!name) return nullptr;
      PyObject* body = Body(n->l1);
      if (!body) {
        Py_DECREF(name);
        return nullptr;
      }
      return Tup(Str(sClass), name, bt.release(), kl.release(), body);
    }
    case K::Match: {
      PyObject* subject = Expr(n->a, kItem);
      if (!subject) return nullptr;
      PyObject* cases = PyList_New(0);
      if (!cases) {
        Py_DECREF(subject);
        return nullptr;
      }
      return Tup(Str(sMatch), subject, cases);
    }
    case K::Case:
      return Case(n);
    case K::TypeAlias: {
      PyObject* t = Text(n->b, kItem);
      PyObject* value = t ? Verbatim(t, nullptr) : nullptr;
      if (!value) return nullptr;
      PyObject* b = Bind(n->a, value, false);
      return b ? Tup(Str(sTypeAlias), b) : nullptr;
    }
    default:
      PyErr_SetString(PyExc_SystemError, "pysource_grammar: unknown statement");
      return nullptr;
  }
}

// The node(s) recording that `target` is bound to `value` (stolen); with
// `whole` false the target is bound to something other than the plain value
// and gets no type equivalence.
PyObject* Builder::Bind(const Node* target, PyObject* value, bool whole) {
  PyRef v = PyRef::Steal(value);
  Items extra;
  PyObject* t = Target(target, &extra);
  if (!t) return nullptr;
  if (!whole && PyUnicode_Compare(PyTuple_GET_ITEM(t, 0), s_str[sTuple]) != 0) {
    PyObject* l = PyList_New(1);
    if (!l) {
      Py_DECREF(t);
      return nullptr;
    }
    PyList_SET_ITEM(l, 0, t);
    t = Tup(Str(sTuple), l);
    if (!t) return nullptr;
  }
  PyObject* node = Tup(Str(sAssign), t, v.release());
  if (!node || extra.v.empty()) return node;
  Items out;
  out.Add(node);
  for (PyObject* o : extra.v) out.v.push_back(o);
  extra.v.clear();
  return out.List();
}

// An assignment target.  Starred names are left out of their tuple and
// recorded by an extra assignment of a list, which is what they receive.
PyObject* Builder::Target(const Node* n, Items* extra) {
  switch (n->kind) {
    case K::Name:
      return NameT(n->obj);
    case K::Tuple:
    case K::List: {
      Items elts;
      for (int i = 0; i < n->l1.n; ++i) {
        const Node* e = n->l1[i];
        if (e->kind == K::Starred) {
          PyObject* inner = Target(e->a, extra);
          if (!inner) return nullptr;
          PyObject* kind = PyTuple_GET_ITEM(inner, 0);
          if (PyUnicode_Compare(kind, s_str[sName]) == 0 ||
              PyUnicode_Compare(kind, s_str[sGetattr]) == 0) {
            PyObject* empty = PyList_New(0);
            if (!empty) {
              Py_DECREF(inner);
              return nullptr;
            }
            PyObject* lst = Tup(Str(sList), empty);
            if (!lst) {
              Py_DECREF(inner);
              return nullptr;
            }
            if (!extra->Add(Tup(Str(sAssign), inner, lst))) return nullptr;
            continue;
          }
          elts.Add(inner);
        } else if (!elts.Add(Target(e, extra))) {
          return nullptr;
        }
      }
      PyObject* l = elts.List();
      return l ? Tup(Str(sTuple), l) : nullptr;
    }
    case K::Starred: {
      PyObject* inner = Target(n->a, extra);
      if (!inner) return nullptr;
      PyObject* l = PyList_New(1);
      if (!l) {
        Py_DECREF(inner);
        return nullptr;
      }
      PyList_SET_ITEM(l, 0, inner);
      return Tup(Str(sTuple), l);
    }
    default:
      return Expr(n, kItem);
  }
}

PyObject* Builder::Keyword(const Node* k) {
  if (k->obj == nullptr) {
    PyObject* t = Text(k->a, kStrict);
    if (!t) return nullptr;
    PyObject* text = PyUnicode_FromFormat("**%U", t);
    Py_DECREF(t);
    if (!text) return nullptr;
    Items children;
    if (!children.Add(Expr(k->a, kItem))) {
      Py_DECREF(text);
      return nullptr;
    }
    return Verbatim(text, &children);
  }
  PyRef name = PyRef::Steal(NameT(k->obj));
  if (!name) return nullptr;
  PyObject* v = Expr(k->a, kItem);
  return v ? Tup(Str(sKeyword), name.release(), v) : nullptr;
}

PyObject* Builder::ImportFrom(const Node* n) {
  PyRef modname = PyRef::Steal(Pooled(n->obj));
  if (!modname) return nullptr;
  Items out, plain;
  for (int i = 0; i < n->l2.n; ++i) {
    const Node* a = n->l2[i];
    if (a->obj2 == nullptr || PyUnicode_Compare(a->obj2, a->obj) == 0) {
      if (!plain.Add(Pooled(a->obj))) return nullptr;
      continue;
    }
    if (!plain.v.empty()) {
      PyObject* names = plain.Tuple();
      if (!names || !out.Add(Tup(Str(sFrom), modname.new_ref(), names))) return nullptr;
    }
    // `from m import x as y` records (y, module m, "x") through an import of
    // "m.x" as y; dots of the module name are written "/" so that the
    // analyzer's split at the first dot finds the whole module name.
    PyObject* dot = PyUnicode_FromOrdinal('.');
    PyObject* slash = dot ? PyUnicode_FromOrdinal('/') : nullptr;
    PyObject* replaced = slash ? PyUnicode_Replace(modname.get(), dot, slash, -1) : nullptr;
    Py_XDECREF(dot);
    Py_XDECREF(slash);
    if (!replaced) return nullptr;
    PyObject* key = PyUnicode_FromFormat("%U.%U", replaced, a->obj);
    Py_DECREF(replaced);
    if (!key) return nullptr;
    PyObject* pooled_key = Pooled(key);
    Py_DECREF(key);
    if (!pooled_key) return nullptr;
    PyObject* as = Pooled(a->obj2);
    if (!as) {
      Py_DECREF(pooled_key);
      return nullptr;
    }
    PyObject* pair = Tup(pooled_key, as);
    PyObject* ids = pair ? Tup(pair) : nullptr;
    if (!ids || !out.Add(Tup(Str(sImport), ids))) return nullptr;
  }
  if (!plain.v.empty() || out.v.empty()) {
    PyObject* names = plain.Tuple();
    if (!names || !out.Add(Tup(Str(sFrom), modname.new_ref(), names))) return nullptr;
  }
  if (out.v.size() == 1) {
    PyObject* only = out.v[0];
    out.v.clear();
    return only;
  }
  return out.List();
}

PyObject* Builder::Function(const Node* n, bool nonself) {
  const Node* args = n->a;
  Items names;
  int flags = 0;
  for (int i = 0; i < args->l1.n; ++i) {
    if (!names.Add(Pooled(args->l1[i]->obj))) return nullptr;
  }
  for (int i = 0; i < args->l2.n; ++i) {
    if (!names.Add(Pooled(args->l2[i]->obj))) return nullptr;
  }
  if (args->a) {
    if (!names.Add(Pooled(args->a->obj))) return nullptr;
    flags |= 0x04;
  }
  for (int i = 0; i < args->l3.n; ++i) {
    if (!names.Add(Pooled(args->l3[i]->obj))) return nullptr;
  }
  if (args->b) {
    if (!names.Add(Pooled(args->b->obj))) return nullptr;
    flags |= 0x08;
  }
  if (n->flags & kAsync) flags |= 0x80;
  // Only a parameter that takes positional arguments can be the instance.
  bool first_positional = args->l1.n + args->l2.n > 0;
  if (!names.v.empty()) {
    bool implicit = PyUnicode_Compare(n->obj, s_str[sNew]) == 0 ||
                    PyUnicode_Compare(n->obj, s_str[sInitSubclass]) == 0 ||
                    PyUnicode_Compare(n->obj, s_str[sClassGetitem]) == 0;
    if (nonself || implicit || !first_positional) {
      PyObject* arg = PyObject_CallOneArg(c_.arg_name, names.v[0]);
      if (!arg) return nullptr;
      Py_SETREF(names.v[0], arg);
    }
  }
  Items defaults;
  for (int i = 0; i < args->l4.n; ++i) {
    if (!defaults.Add(Expr(args->l4[i], kItem))) return nullptr;
  }
  for (int i = 0; i < args->l5.n; ++i) {
    if (args->l5[i] && !defaults.Add(Expr(args->l5[i], kItem))) return nullptr;
  }
  PyRef name = PyRef::Steal(Pooled(n->obj));
  if (!name) return nullptr;
  PyRef nt = PyRef::Steal(names.Tuple());
  if (!nt) return nullptr;
  PyRef dl = PyRef::Steal(defaults.List());
  if (!dl) return nullptr;
  PyObject* body = Body(n->l1);
  if (!body) return nullptr;
  return Tup(Str(sFunction), name.release(), nt.release(), dl.release(), PyLong_FromLong(flags),
             body);
}

PyObject* Builder::Case(const Node* n) {
  // The names the pattern captures, in breadth-first order.
  std::vector<const Node*> queue{n->a};
  Items names;
  for (size_t i = 0; i < queue.size(); ++i) {
    const Node* p = queue[i];
    if ((p->kind == K::MatchAs || p->kind == K::MatchStar || p->kind == K::MatchMapping) && p->obj) {
      if (!names.Add(NameT(p->obj))) return nullptr;
    }
    Children(p, &queue);
  }
  std::string text;
  if (!WritePattern(n->a, kPTest, &text)) return nullptr;
  PyObject* t = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  PyRef pattern = PyRef::Steal(t ? Verbatim(t, nullptr) : nullptr);
  if (!pattern) return nullptr;
  PyRef bindings;
  if (names.v.empty()) {
    bindings = PyRef::NewRef(Py_None);
  } else {
    PyObject* l = names.List();
    PyObject* tup = l ? Tup(Str(sTuple), l) : nullptr;
    bindings = PyRef::Steal(tup ? Tup(Str(sAssign), tup, Py_NewRef(s_none_const)) : nullptr);
    if (!bindings) return nullptr;
  }
  PyRef guard = PyRef::Steal(OptExpr(n->b));
  if (!guard) return nullptr;
  PyObject* body = Body(n->l1);
  if (!body) return nullptr;
  return Tup(Str(sCase), pattern.release(), bindings.release(), guard.release(), body);
}

// ---------------------------------------------------------------------------
// Expressions

PyObject* Builder::Expr(const Node* n, int ctx) {
  if (n->kind == K::Name) return NameT(n->obj);
  if (n->kind == K::Const) return Constant(n, ctx);
  ++depth_;
  PyObject* r;
  if (depth_ > kMaxTreeDepth) {
    // Deeper expressions are written as a whole.
    r = VerbatimOf(n, ctx, nullptr);
  } else {
    r = ExprBody(n, ctx);
  }
  --depth_;
  return r;
}

PyObject* Builder::Constant(const Node* n, int ctx) {
  if (n->obj == nullptr) return Tup(Str(sEllipsis), Str(sDots));
  PyObject* v = n->obj;
  if (PyFloat_CheckExact(v) || PyComplex_CheckExact(v)) {
    bool finite;
    if (PyFloat_CheckExact(v)) {
      finite = std::isfinite(PyFloat_AS_DOUBLE(v));
    } else {
      Py_complex c = PyComplex_AsCComplex(v);
      finite = std::isfinite(c.real) && std::isfinite(c.imag);
    }
    // inf and nan have no literal of their own.
    if (!finite) return VerbatimOf(n, ctx, nullptr);
  }
  return Tup(Str(sConst), Py_NewRef(v));
}

bool Builder::WalrusTargets(const Node* root, std::vector<const Node*>* out) {
  // Targets of the `:=` inside a comprehension, not inside a lambda (whose
  // scope they bind in), in the order of a depth-first walk from the end.
  std::vector<const Node*> stack{root};
  std::vector<const Node*> kids;
  while (!stack.empty()) {
    const Node* n = stack.back();
    stack.pop_back();
    kids.clear();
    Children(n, &kids);
    for (const Node* c : kids) {
      if (c->kind == K::Lambda) continue;
      if (c->kind == K::NamedExpr) out->push_back(c->a);
      stack.push_back(c);
    }
  }
  return true;
}

PyObject* Builder::ExprBody(const Node* n, int ctx) {
  switch (n->kind) {
    case K::Attribute: {
      PyObject* base;
      const Node* v = n->a;
      if (v->kind == K::Const && v->obj && PyLong_CheckExact(v->obj)) {
        // `1.real` is not Python; `(1).real` is.
        std::string text("(");
        if (!WriteExpr(v, kPTest, &text)) return nullptr;
        text.push_back(')');
        PyObject* t = PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
        base = t ? Verbatim(t, nullptr) : nullptr;
      } else {
        base = Expr(v, kStrict);
      }
      if (!base) return nullptr;
      PyObject* attr = Pooled(n->obj);
      if (!attr) {
        Py_DECREF(base);
        return nullptr;
      }
      return Tup(Str(sGetattr), base, attr);
    }
    case K::Call: {
      Items args;
      for (int i = 0; i < n->l1.n; ++i) {
        const Node* a = n->l1[i];
        if (a->kind == K::Starred) {
          PyObject* t = Text(a->a, kStrict);
          if (!t) return nullptr;
          PyObject* text = PyUnicode_FromFormat("*%U", t);
          Py_DECREF(t);
          if (!text) return nullptr;
          Items children;
          if (!children.Add(Expr(a->a, kItem))) {
            Py_DECREF(text);
            return nullptr;
          }
          if (!args.Add(Verbatim(text, &children))) return nullptr;
        } else if (!args.Add(Expr(a, kItem))) {
          return nullptr;
        }
      }
      for (int i = 0; i < n->l2.n; ++i) {
        if (!args.Add(Keyword(n->l2[i]))) return nullptr;
      }
      PyRef at = PyRef::Steal(args.Tuple());
      if (!at) return nullptr;
      PyObject* func = Expr(n->a, kStrict);
      return func ? Tup(Str(sCallFunc), func, at.release()) : nullptr;
    }
    case K::BinOp: {
      S kind;
      switch (n->op) {
        case kAdd: kind = sAdd; break;
        case kSub: kind = sSub; break;
        case kMult: kind = sMul; break;
        case kDiv: kind = sDiv; break;
        case kMod: kind = sMod; break;
        case kPow: kind = sPower; break;
        case kLShift: kind = sLeftShift; break;
        case kRShift: kind = sRightShift; break;
        case kBitOr: kind = sBitor; break;
        case kBitXor: kind = sBitxor; break;
        case kBitAnd: kind = sBitand; break;
        default: {
          // `//` and `@` have no kind of their own.
          Items children;
          if (!children.Add(Expr(n->a, kItem)) || !children.Add(Expr(n->b, kItem))) return nullptr;
          return VerbatimOf(n, ctx, &children);
        }
      }
      PyRef left = PyRef::Steal(Expr(n->a, kind == sPower ? kStrict : kOperand));
      if (!left) return nullptr;
      PyObject* right = Expr(n->b, kOperand);
      if (!right) return nullptr;
      PyObject* pair = Tup(left.release(), right);
      return pair ? Tup(Str(kind), pair) : nullptr;
    }
    case K::BoolOp: {
      S kind = n->op == kAnd ? sAnd : sOr;
      PyObject* result = Expr(n->l1[0], kBool);
      for (int i = 1; result && i < n->l1.n; ++i) {
        PyObject* v = Expr(n->l1[i], kBool);
        if (!v) {
          Py_DECREF(result);
          return nullptr;
        }
        PyObject* pair = Tup(result, v);
        result = pair ? Tup(Str(kind), pair) : nullptr;
      }
      return result;
    }
    case K::UnaryOp: {
      S kind = n->op == kUSub ? sUnarySub : n->op == kUAdd ? sUnaryAdd : n->op == kInvert ? sInvert : sNot;
      if ((ctx >= kOperand && kind == sNot) || ctx == kStrict) {
        Items children;
        if (!children.Add(Expr(n->a, kItem))) return nullptr;
        return VerbatimOf(n, ctx, &children);
      }
      PyObject* operand = Expr(n->a, kItem);
      return operand ? Tup(Str(kind), operand) : nullptr;
    }
    case K::Compare: {
      if (ctx >= kOperand) {
        Items children;
        if (!children.Add(Expr(n->a, kItem))) return nullptr;
        for (int i = 0; i < n->l1.n; ++i) {
          if (!children.Add(Expr(n->l1[i], kItem))) return nullptr;
        }
        return VerbatimOf(n, ctx, &children);
      }
      Items pairs;
      for (int i = 0; i < n->l1.n; ++i) {
        PyObject* c = Expr(n->l1[i], kOperand);
        if (!c || !pairs.Add(Tup(Str(static_cast<S>(sEq + (n->ops[i] - kEq))), c))) return nullptr;
      }
      PyRef pl = PyRef::Steal(pairs.List());
      if (!pl) return nullptr;
      PyObject* left = Expr(n->a, kOperand);
      return left ? Tup(Str(sCompare), left, pl.release()) : nullptr;
    }
    case K::Tuple:
    case K::List:
    case K::Set: {
      bool starred = n->kind == K::Set;
      for (int i = 0; i < n->l1.n && !starred; ++i) starred = n->l1[i]->kind == K::Starred;
      Items elts;
      for (int i = 0; i < n->l1.n; ++i) {
        const Node* e = n->l1[i];
        if (!elts.Add(Expr(starred && e->kind == K::Starred ? e->a : e, kItem))) return nullptr;
      }
      if (starred) return VerbatimOf(n, ctx, &elts);
      PyObject* l = elts.List();
      return l ? Tup(Str(n->kind == K::Tuple ? sTuple : sList), l) : nullptr;
    }
    case K::Dict: {
      Items pairs;
      for (int i = 0; i < n->l1.n; ++i) {
        PyObject* k = n->l1[i] ? Expr(n->l1[i], kItem) : Py_NewRef(Py_None);
        if (!k) return nullptr;
        PyObject* v = Expr(n->l2[i], kItem);
        if (!v) {
          Py_DECREF(k);
          return nullptr;
        }
        if (!pairs.Add(Tup(k, v))) return nullptr;
      }
      if ((ctx == kItem && depth_ == 1) || pairs.v.empty()) {
        // The writer writes any Dict node as "{}": a display is one only as
        // a whole value or when it is empty.
        PyObject* l = pairs.List();
        return l ? Tup(Str(sDict), l) : nullptr;
      }
      Items children;
      for (PyObject* pair : pairs.v) {
        for (int k = 0; k < 2; ++k) {
          PyObject* c = PyTuple_GET_ITEM(pair, k);
          if (c != Py_None) children.Add(Py_NewRef(c));
        }
      }
      return VerbatimOf(n, ctx, &children);
    }
    case K::Subscript:
      return Subscript(n, ctx);
    case K::IfExp: {
      Items children;
      if (!children.Add(Expr(n->a, kItem)) || !children.Add(Expr(n->b, kItem)) ||
          !children.Add(Expr(n->c, kItem)))
        return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    case K::Lambda: {
      // The body is a scope of its own; only the defaults are evaluated here.
      Items children;
      const Node* a = n->a;
      for (int i = 0; i < a->l4.n; ++i) {
        if (!children.Add(Expr(a->l4[i], kItem))) return nullptr;
      }
      for (int i = 0; i < a->l5.n; ++i) {
        if (a->l5[i] && !children.Add(Expr(a->l5[i], kItem))) return nullptr;
      }
      return VerbatimOf(n, ctx, &children);
    }
    case K::ListComp:
    case K::SetComp:
    case K::GenExp:
    case K::DictComp: {
      // Everything but the first iterable is evaluated in the
      // comprehension's own scope; a `:=` inside binds in this one.
      Items children;
      if (!children.Add(Expr(n->l1[0]->b, kItem))) return nullptr;
      std::vector<const Node*> targets;
      WalrusTargets(n, &targets);
      Items scratch;
      for (const Node* t : targets) {
        PyObject* tg = Target(t, &scratch);
        if (!tg) return nullptr;
        PyObject* l = PyList_New(1);
        if (!l) {
          Py_DECREF(tg);
          return nullptr;
        }
        PyList_SET_ITEM(l, 0, tg);
        PyObject* tup = Tup(Str(sTuple), l);
        if (!tup || !children.Add(Tup(Str(sAssign), tup, Py_NewRef(s_none_const)))) return nullptr;
      }
      return VerbatimOf(n, ctx, &children);
    }
    case K::NamedExpr: {
      Items scratch;
      PyRef target = PyRef::Steal(Target(n->a, &scratch));
      if (!target) return nullptr;
      PyObject* value = Expr(n->b, kItem);
      if (!value) return nullptr;
      Items children;
      if (!children.Add(Tup(Str(sAssign), target.release(), value))) return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    case K::Await:
    case K::Yield:
    case K::YieldFrom:
    case K::Starred: {
      Items children;
      if (n->a && !children.Add(Expr(n->a, kItem))) return nullptr;
      return VerbatimOf(n, ctx, &children);
    }
    default:
      return VerbatimOf(n, ctx, nullptr);
  }
}

PyObject* Builder::SliceItem(const Node* n) {
  if (n->kind == K::Slice) {
    PyRef lower = PyRef::Steal(n->a ? Expr(n->a, kBool) : Py_NewRef(Py_None));
    if (!lower) return nullptr;
    PyRef upper = PyRef::Steal(n->b ? Expr(n->b, kBool) : Py_NewRef(Py_None));
    if (!upper) return nullptr;
    PyObject* bounds;
    if (n->c == nullptr) {
      bounds = Tup(lower.release(), upper.release());
    } else {
      PyObject* step = Expr(n->c, kBool);
      if (!step) return nullptr;
      bounds = Tup(lower.release(), upper.release(), step);
    }
    return bounds ? Tup(Str(sSliceobj), bounds) : nullptr;
  }
  if (n->kind == K::Starred) {
    PyObject* t = Text(n->a, kStrict);
    if (!t) return nullptr;
    PyObject* text = PyUnicode_FromFormat("*%U", t);
    Py_DECREF(t);
    if (!text) return nullptr;
    Items children;
    if (!children.Add(Expr(n->a, kItem))) {
      Py_DECREF(text);
      return nullptr;
    }
    return Verbatim(text, &children);
  }
  return Expr(n, kItem);
}

PyObject* Builder::Subscript(const Node* n, int ctx) {
  const Node* s = n->b;
  Items subs;
  if (s->kind == K::Tuple) {
    bool starred = false, slice = false;
    for (int i = 0; i < s->l1.n; ++i) {
      starred |= s->l1[i]->kind == K::Starred;
      slice |= s->l1[i]->kind == K::Slice;
    }
    if (s->l1.n <= 1 && !starred) {
      if (slice) {
        // `a[1:2,]`: no tuple display can hold the slice.
        Items children;
        if (!children.Add(Expr(n->a, kItem))) return nullptr;
        const Node* e = s->l1[0];
        for (const Node* p : {e->a, e->b, e->c}) {
          if (p && !children.Add(Expr(p, kItem))) return nullptr;
        }
        return VerbatimOf(n, ctx, &children);
      }
      Items elts;
      for (int i = 0; i < s->l1.n; ++i) {
        if (!elts.Add(Expr(s->l1[i], kItem))) return nullptr;
      }
      PyObject* l = elts.List();
      if (!l || !subs.Add(Tup(Str(sTuple), l))) return nullptr;
    } else {
      for (int i = 0; i < s->l1.n; ++i) {
        if (!subs.Add(SliceItem(s->l1[i]))) return nullptr;
      }
    }
  } else if (!subs.Add(SliceItem(s))) {
    return nullptr;
  }
  PyRef sl = PyRef::Steal(subs.List());
  if (!sl) return nullptr;
  PyObject* value = Expr(n->a, kStrict);
  return value ? Tup(Str(sSubscript), value, Str(sOpApply), sl.release()) : nullptr;
}

}  // namespace

int InitBuildStrings() {
  if (s_none_const) return 0;
  for (int i = 0; i < sCount; ++i) {
    s_str[i] = PyUnicode_InternFromString(kTexts[i]);
    if (!s_str[i]) return -1;
  }
  s_none_const = Tup(Str(sConst), Py_NewRef(Py_None));
  return s_none_const ? 0 : -1;
}

PyObject* BuildTree(const ParseResult& parsed, PyObject* tokens, const BuildContext& ctx) {
  Builder b(ctx);
  return b.Line(parsed, tokens);
}

}  // namespace pgram
