// The line tree builder: one pass over the arena tree, making the tuple
// trees of the analyzer's representation directly.  Statements here.
#include "gbuild_impl.h"

#include <structmember.h>

namespace pgram {
namespace detail {

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
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
}

PyObject* Builder::SourceText(PyObject* text) {
  if (c_.text_offset > 0) {
    PyTypeObject* type = reinterpret_cast<PyTypeObject*>(c_.source_text);
    PyObject* st = type->tp_alloc(type, 0);
    if (!st) {
      Py_DECREF(text);
      return nullptr;
    }
    *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(st) + c_.text_offset) = text;
    return st;
  }
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

PyObject* Builder::StarredVerbatim(const char* stars, const Node* operand) {
  PyObject* t = Text(operand, kStrict);
  if (!t) return nullptr;
  PyObject* text = PyUnicode_FromFormat("%s%U", stars, t);
  Py_DECREF(t);
  if (!text) return nullptr;
  Items children;
  if (!children.Add(Expr(operand, kItem))) {
    Py_DECREF(text);
    return nullptr;
  }
  return Verbatim(text, &children);
}

PyObject* Builder::Line(const ParseResult& r, PyObject* const* toks, Py_ssize_t fed) {
  depth_ = 0;
  if (r.form == Form::Decorator) {
    PyObject* e = Expr(r.stmts[0]->a, kItem);
    return e ? Tup(Str(sDecorator), e) : nullptr;
  }
  if (r.stmts.size() == 1) {
    const Node* s = r.stmts[0];
    if (s->kind == K::FunctionDef && c_.nonself_defs && PySet_GET_SIZE(c_.nonself_defs) > 0) {
      // Def lines are known by their tokens.
      PyRef key = PyRef::Steal(PyTuple_New(fed));
      if (!key) return nullptr;
      for (Py_ssize_t i = 0; i < fed; ++i) PyTuple_SET_ITEM(key.get(), i, Py_NewRef(toks[i]));
      int found = PySet_Contains(c_.nonself_defs, key.get());
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
          if (!ids.Add(Tup(name, as))) return nullptr;
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
  if (k->obj == nullptr) return StarredVerbatim("**", k->a);
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
  PyObject* t = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
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


}  // namespace detail

Py_ssize_t SourceTextSlot(PyObject* cls) {
  // Only a class whose instances are made by object.__new__ and whose
  // `text` is a plain object slot of its own qualifies.
  if (!PyType_Check(cls)) return 0;
  PyTypeObject* type = reinterpret_cast<PyTypeObject*>(cls);
  if (type->tp_new != PyBaseObject_Type.tp_new || type->tp_base != &PyBaseObject_Type) return 0;
  PyObject* dict = type->tp_dict;
  PyObject* desc = dict ? PyDict_GetItemString(dict, "text") : nullptr;
  if (!desc || Py_TYPE(desc) != &PyMemberDescr_Type) return 0;
  PyMemberDef* member = reinterpret_cast<PyMemberDescrObject*>(desc)->d_member;
  if (member->type != T_OBJECT_EX || (member->flags & READONLY)) return 0;
  return member->offset;
}

}  // namespace pgram
