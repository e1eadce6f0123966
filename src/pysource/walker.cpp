// The tree walker NodeWalker, which calls a visitor for each node of a
// line's tree by the node's kind, and the name pool, which makes equal texts
// one object.
#include "walker.h"

#include <array>

#include "astinspect.h"
#include "gcobject.h"

// The integer objects 1 and 0: visitor results are compared to them by
// identity, and "GetScopeAttributes" is called with them.
PyObject* s_int_one = nullptr;
PyObject* s_int_zero = nullptr;

int EnsureIntConstants() {
  if (s_int_one == nullptr) s_int_one = PyLong_FromLong(1);
  if (s_int_one == nullptr) return -1;
  if (s_int_zero == nullptr) s_int_zero = PyLong_FromLong(0);
  if (s_int_zero == nullptr) return -1;
  return 0;
}

// ===========================================================================
// Name pool
// ===========================================================================

PyRef GetStringWithLengthFromPool(PyObject* name_pool, const char* str, Py_ssize_t len) {
  PyRef fresh = PyRef::Steal(PyUnicode_FromStringAndSize(str, len));
  if (!fresh) return {};
  return PoolString(name_pool, std::move(fresh));
}

PyRef PoolString(PyObject* name_pool, PyRef fresh) {
  PyRef pool = PyRef::NewRef(name_pool);  // a key's __eq__ runs host code
  // One probe whether the text is there or not: most texts made while a
  // module is loaded are new to the pool.
  PyObject* pooled = PyDict_SetDefault(pool.get(), fresh.get(), fresh.get());  // borrowed
  if (pooled == nullptr) return {};
  // The host's pool may hold anything: a value that is not exactly a str is
  // not taken, so that every text the analyzer records is a plain string.
  return IsExactStr(pooled) ? PyRef::NewRef(pooled) : std::move(fresh);
}

PyRef GetStringFromPool(PyObject* name_pool, const char* str) {
  return GetStringWithLengthFromPool(name_pool, str, static_cast<Py_ssize_t>(std::strlen(str)));
}

// ===========================================================================
// NodeWalker
// ===========================================================================

struct tNodeWalker {
  PyObject_HEAD
  PyObject* visit_dict;
};

static PyObject* s_children_attr = nullptr;  // "_children"

// What a walk hands each visitor.  The standard visitors are run directly on
// the line; any other visitor is called with (node, (logical, mod)), the
// pair made when the first such call needs it.  `logical` is null when the
// walk was given a context that is not such a pair: then every visitor is
// called with that context as it is.
struct tWalkContext {
  PyObject* logical;
  PyObject* mod;
  PyRef pair;
};

static int WalkObject(tNodeWalker* walker, PyObject* obj, tWalkContext* ctx);

// Calls the visitor with (node, ctx).  1: walk the node's children, 0: don't,
// -1: failure.  The integers 1 and 0 answer by identity, anything else by
// its truth value.
static int CallVisitor(PyObject* visitor, PyObject* node, PyObject* ctx) {
  PyObject* args[] = {node, ctx};
  PyRef result = PyRef::Steal(PyObject_Vectorcall(visitor, args, 2, nullptr));
  if (!result) return -1;
  if (result.get() == s_int_one) return 1;
  if (result.get() == s_int_zero) return 0;
  return PyObject_IsTrue(result.get());
}

// Looks `key` up in the visit dictionary and runs the visitor found.  1 when
// the node's children are to be walked (also when there is no visitor).
static int DispatchVisitor(tNodeWalker* walker, PyObject* key, PyObject* node, tWalkContext* ctx) {
  PyObject* found = PyDict_GetItemWithError(walker->visit_dict, key);
  if (found == nullptr) return PyErr_Occurred() ? -1 : 1;
  // The visitor may run code that changes the dictionary: hold it.
  PyRef visitor = PyRef::NewRef(found);
  if (ctx->logical != nullptr) {
    int rc = CallStdVisitorDirect(visitor.get(), node, ctx->logical);
    if (rc != kNotStdVisitor) return rc;
  }
  if (!ctx->pair) {
    ctx->pair = PyRef::Steal(PyTuple_Pack(2, ctx->logical, ctx->mod));
    if (!ctx->pair) return -1;
  }
  return CallVisitor(visitor.get(), node, ctx->pair.get());
}

// Walks the items of a tuple from `start` on.
static int WalkTupleItems(tNodeWalker* walker, PyObject* tuple, Py_ssize_t start, tWalkContext* ctx) {
  Py_ssize_t count = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = start; i < count; ++i) {
    if (WalkObject(walker, PyTuple_GET_ITEM(tuple, i), ctx) < 0) return -1;
  }
  return 0;
}

// Walks the items of a list; its length is read once.  Visitors may run code
// that shrinks the list, so items are fetched with a bounds check and held.
static int WalkListItems(tNodeWalker* walker, PyObject* list, tWalkContext* ctx) {
  Py_ssize_t count = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) return -1;
    PyRef hold = PyRef::NewRef(item);
    if (WalkObject(walker, item, ctx) < 0) return -1;
  }
  return 0;
}

static int WalkNodeTuple(tNodeWalker* walker, PyObject* node, tWalkContext* ctx) {
  int descend = DispatchVisitor(walker, PyTuple_GET_ITEM(node, 0), node, ctx);
  if (descend <= 0) return descend;
  return WalkTupleItems(walker, node, 1, ctx);
}

// A class instance: keyed by its class object; children in "_children".
static int WalkNodeInstance(tNodeWalker* walker, PyObject* node, tWalkContext* ctx) {
  int descend = DispatchVisitor(walker, reinterpret_cast<PyObject*>(Py_TYPE(node)), node, ctx);
  if (descend <= 0) return descend;
  if (CachedString(&s_children_attr, "_children") == nullptr) return -1;
  PyRef children = PyRef::Steal(PyObject_GetAttr(node, s_children_attr));
  if (!children) return -1;
  if (IsExactTuple(children.get())) return WalkTupleItems(walker, children.get(), 0, ctx);
  if (IsExactList(children.get())) return WalkListItems(walker, children.get(), ctx);
  return 0;
}

static int WalkObject(tNodeWalker* walker, PyObject* obj, tWalkContext* ctx) {
  bool is_tuple = IsExactTuple(obj);
  if (is_tuple && PyTuple_GET_SIZE(obj) == 0) return 0;
  bool is_list = !is_tuple && IsExactList(obj);
  bool is_instance = !is_tuple && !is_list && IsClassInstance(obj);
  if (!is_tuple && !is_list && !is_instance) return 0;

  // Trees of one line are shallow; the guard only turns a pathological tree
  // into a RecursionError instead of a stack overflow.
  if (Py_EnterRecursiveCall(" while walking a syntax tree")) return -1;
  int rc;
  if (is_tuple) {
    rc = IsExactStr(PyTuple_GET_ITEM(obj, 0)) ? WalkNodeTuple(walker, obj, ctx)
                                              : WalkTupleItems(walker, obj, 0, ctx);
  } else if (is_list) {
    rc = WalkListItems(walker, obj, ctx);
  } else {
    rc = WalkNodeInstance(walker, obj, ctx);
  }
  Py_LeaveRecursiveCall();
  return rc;
}

// Walks `tree` with `ctx` as the visitors' context.
static int WalkTree(tNodeWalker* walker, PyObject* tree, tWalkContext* ctx) {
  if (EnsureIntConstants() < 0) return -1;
  // Visitors run host code that may drop the last other reference to the
  // walker or the tree.
  PyRef hold_walker = PyRef::NewRef(reinterpret_cast<PyObject*>(walker));
  PyRef hold_tree = PyRef::NewRef(tree);
  return WalkObject(walker, tree, ctx);
}

static PyObject* Walk(PyObject* self, PyObject* args) {
  PyObject* tree;
  PyObject* ctx;
  if (!PyArg_ParseTuple(args, "OO:Walk", &tree, &ctx)) return nullptr;
  tWalkContext walk_ctx{nullptr, nullptr, PyRef::NewRef(ctx)};
  if (IsExactTuple(ctx) && PyTuple_GET_SIZE(ctx) == 2) {
    walk_ctx.logical = PyTuple_GET_ITEM(ctx, 0);
    walk_ctx.mod = PyTuple_GET_ITEM(ctx, 1);
  }
  if (WalkTree(reinterpret_cast<tNodeWalker*>(self), tree, &walk_ctx) < 0) return nullptr;
  Py_RETURN_NONE;
}

static const char Walk_doc[] = "";

static PyMethodDef kNodeWalkerMethods[] = {
    {"Walk", Walk, METH_VARARGS, Walk_doc},
    {nullptr, nullptr, 0, nullptr},
};

static std::array<PyObject**, 1> NodeWalkerMembers(tNodeWalker* walker) { return {&walker->visit_dict}; }
using tNodeWalkerGc = GcObject<tNodeWalker, NodeWalkerMembers>;

PyTypeObject kNodeWalkerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "NodeWalker",
    .tp_basicsize = sizeof(tNodeWalker),
    .tp_itemsize = 0,
    .tp_dealloc = tNodeWalkerGc::Dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = tNodeWalkerGc::Traverse,
    .tp_clear = tNodeWalkerGc::Clear,
    .tp_methods = kNodeWalkerMethods,
    .tp_free = PyObject_GC_Del,
};

// Readies a type on the first creation of one of its objects.
int ReadyTypeOnce(PyTypeObject* type) {
  if (PyType_HasFeature(type, Py_TPFLAGS_READY)) return 0;
  Py_SET_TYPE(type, &PyType_Type);
  return PyType_Ready(type);
}

PyRef CreateNodeWalkerDirect(PyObject* visit_dict) {
  if (!IsExactDict(visit_dict)) {
    PyErr_SetString(PyExc_TypeError, "Incorrect type of NodeWalker constructor");
    return {};
  }
  if (ReadyTypeOnce(&kNodeWalkerType) < 0) return {};
  tNodeWalker* walker = PyObject_GC_New(tNodeWalker, &kNodeWalkerType);
  if (walker == nullptr) return {};
  Py_INCREF(visit_dict);
  walker->visit_dict = visit_dict;
  PyObject_GC_Track(walker);
  return PyRef::Steal(reinterpret_cast<PyObject*>(walker));
}

PyObject* StdWalkVisitDict(PyObject* walk_proc) {
  if (walk_proc == nullptr || !PyCFunction_CheckExact(walk_proc) || PyCFunction_GET_FUNCTION(walk_proc) != Walk)
    return nullptr;
  PyObject* walker = PyCFunction_GET_SELF(walk_proc);
  if (walker == nullptr || Py_TYPE(walker) != &kNodeWalkerType) return nullptr;
  return reinterpret_cast<tNodeWalker*>(walker)->visit_dict;
}

int WalkLineTree(PyObject* walk_proc, PyObject* tree, PyObject* logical, PyObject* mod) {
  // The walk procedure is the Walk method of a walker: walked here, without
  // the call and the context pair.
  if (PyCFunction_CheckExact(walk_proc) && PyCFunction_GET_FUNCTION(walk_proc) == Walk) {
    PyObject* walker = PyCFunction_GET_SELF(walk_proc);
    if (walker != nullptr && Py_TYPE(walker) == &kNodeWalkerType) {
      tWalkContext ctx{logical, mod, PyRef()};
      return WalkTree(reinterpret_cast<tNodeWalker*>(walker), tree, &ctx);
    }
  }
  PyRef context = PyRef::Steal(PyTuple_Pack(2, logical, mod));
  if (!context) return -1;
  PyRef result = PyRef::Steal(PyObject_CallFunctionObjArgs(walk_proc, tree, context.get(), nullptr));
  return result ? 0 : -1;
}
