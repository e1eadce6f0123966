// The syntax tree side of the analyzer: the tree walker and the name pool, the
// backward search for a line's enclosing scope, the standard visitors that turn
// a line's tree into facts on the logical line (assignments, loops, returns,
// definitions, imports, isinstance calls), and the writer that turns
// expression trees back into canonical source text.
#include "pysource_impl.h"

#include <cstdio>

// ===========================================================================
// Shared bits
// ===========================================================================

// The integer objects 1 and 0: visitor results are compared to them by
// identity, and "GetScopeAttributes" is called with them.
static PyObject* s_int_one = nullptr;
static PyObject* s_int_zero = nullptr;

static int EnsureIntConstants() {
  if (s_int_one == nullptr) s_int_one = PyLong_FromLong(1);
  if (s_int_one == nullptr) return -1;
  if (s_int_zero == nullptr) s_int_zero = PyLong_FromLong(0);
  if (s_int_zero == nullptr) return -1;
  return 0;
}

static bool IsAsciiNameChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

// ===========================================================================
// Name pool
// ===========================================================================

PyRef GetStringWithLengthFromPool(PyObject* name_pool, const char* str, Py_ssize_t len) {
  PyRef fresh(PyUnicode_FromStringAndSize(str, len));
  if (!fresh) return {};
  PyObject* pooled = PyDict_GetItemWithError(name_pool, fresh.get());
  if (pooled != nullptr) return PyRef::Borrow(pooled);
  if (PyErr_Occurred()) return {};
  if (PyDict_SetItem(name_pool, fresh.get(), fresh.get()) < 0) return {};
  return fresh;
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

static int WalkObject(tNodeWalker* walker, PyObject* obj, PyObject* ctx);

// Calls the visitor with (node, ctx).  1: walk the node's children, 0: don't,
// -1: failure.  The integers 1 and 0 answer by identity, anything else by
// its truth value.
static int CallVisitor(PyObject* visitor, PyObject* node, PyObject* ctx) {
  PyRef args(PyTuple_Pack(2, node, ctx));
  if (!args) return -1;
  PyRef result(PyObject_Call(visitor, args.get(), nullptr));
  if (!result) return -1;
  if (result.get() == s_int_one) return 1;
  if (result.get() == s_int_zero) return 0;
  return PyObject_IsTrue(result.get());
}

// Looks `key` up in the visit dictionary and calls the visitor found.  1 when
// the node's children are to be walked (also when there is no visitor).
static int DispatchVisitor(tNodeWalker* walker, PyObject* key, PyObject* node, PyObject* ctx) {
  PyObject* found = PyDict_GetItemWithError(walker->visit_dict, key);
  if (found == nullptr) return PyErr_Occurred() ? -1 : 1;
  // The visitor may run code that changes the dictionary: hold it.
  PyRef visitor = PyRef::Borrow(found);
  return CallVisitor(visitor.get(), node, ctx);
}

// Walks the items of a tuple from `start` on.
static int WalkTupleItems(tNodeWalker* walker, PyObject* tuple, Py_ssize_t start, PyObject* ctx) {
  Py_ssize_t count = PyTuple_GET_SIZE(tuple);
  for (Py_ssize_t i = start; i < count; ++i) {
    if (WalkObject(walker, PyTuple_GET_ITEM(tuple, i), ctx) < 0) return -1;
  }
  return 0;
}

// Walks the items of a list; its length is read once.  Visitors may run code
// that shrinks the list, so items are fetched with a bounds check and held.
static int WalkListItems(tNodeWalker* walker, PyObject* list, PyObject* ctx) {
  Py_ssize_t count = PyList_GET_SIZE(list);
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GetItem(list, i);
    if (item == nullptr) return -1;
    PyRef hold = PyRef::Borrow(item);
    if (WalkObject(walker, item, ctx) < 0) return -1;
  }
  return 0;
}

static int WalkNodeTuple(tNodeWalker* walker, PyObject* node, PyObject* ctx) {
  int descend = DispatchVisitor(walker, PyTuple_GET_ITEM(node, 0), node, ctx);
  if (descend <= 0) return descend;
  return WalkTupleItems(walker, node, 1, ctx);
}

// A class instance: keyed by its class object; children in "_children".
static int WalkNodeInstance(tNodeWalker* walker, PyObject* node, PyObject* ctx) {
  int descend = DispatchVisitor(walker, reinterpret_cast<PyObject*>(Py_TYPE(node)), node, ctx);
  if (descend <= 0) return descend;
  if (CachedString(&s_children_attr, "_children") == nullptr) return -1;
  PyRef children(PyObject_GetAttr(node, s_children_attr));
  if (!children) return -1;
  if (IsExactTuple(children.get())) return WalkTupleItems(walker, children.get(), 0, ctx);
  if (IsExactList(children.get())) return WalkListItems(walker, children.get(), ctx);
  return 0;
}

static int WalkObject(tNodeWalker* walker, PyObject* obj, PyObject* ctx) {
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

static PyObject* Walk(PyObject* self, PyObject* args) {
  PyObject* tree;
  PyObject* ctx;
  if (!PyArg_ParseTuple(args, "OO:Walk", &tree, &ctx)) return nullptr;
  if (EnsureIntConstants() < 0) return nullptr;
  // Visitors run host code that may drop the last other reference to us.
  PyRef hold_self = PyRef::Borrow(self);
  PyRef hold_tree = PyRef::Borrow(tree);
  if (WalkObject(reinterpret_cast<tNodeWalker*>(self), tree, ctx) < 0) return nullptr;
  Py_RETURN_NONE;
}

static const char Walk_doc[] = "";

static PyMethodDef kNodeWalkerMethods[] = {
    {"Walk", Walk, METH_VARARGS, Walk_doc},
    {nullptr, nullptr, 0, nullptr},
};

static int NodeWalkerTraverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(reinterpret_cast<tNodeWalker*>(self)->visit_dict);
  return 0;
}

static int NodeWalkerClear(PyObject* self) {
  Py_CLEAR(reinterpret_cast<tNodeWalker*>(self)->visit_dict);
  return 0;
}

static void NodeWalkerDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  NodeWalkerClear(self);
  PyObject_GC_Del(self);
}

PyTypeObject kNodeWalkerType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "NodeWalker",
    .tp_basicsize = sizeof(tNodeWalker),
    .tp_itemsize = 0,
    .tp_dealloc = NodeWalkerDealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = NodeWalkerTraverse,
    .tp_clear = NodeWalkerClear,
    .tp_methods = kNodeWalkerMethods,
    .tp_free = PyObject_GC_Del,
};

// Readies a type on the first creation of one of its objects.
static int ReadyTypeOnce(PyTypeObject* type, bool* ready) {
  if (*ready) return 0;
  Py_SET_TYPE(type, &PyType_Type);
  if (PyType_Ready(type) < 0) return -1;
  *ready = true;
  return 0;
}

static bool s_node_walker_type_ready = false;
static bool s_std_visitors_type_ready = false;

PyRef CreateNodeWalkerDirect(PyObject* visit_dict) {
  if (!IsExactDict(visit_dict)) {
    PyErr_SetString(PyExc_TypeError, "Incorrect type of NodeWalker constructor");
    return {};
  }
  if (ReadyTypeOnce(&kNodeWalkerType, &s_node_walker_type_ready) < 0) return {};
  tNodeWalker* walker = PyObject_GC_New(tNodeWalker, &kNodeWalkerType);
  if (walker == nullptr) return {};
  Py_INCREF(visit_dict);
  walker->visit_dict = visit_dict;
  PyObject_GC_Track(walker);
  return PyRef(reinterpret_cast<PyObject*>(walker));
}

// ===========================================================================
// StdVisitors and the visit context
// ===========================================================================

struct tStdVisitors {
  PyObject_HEAD
  PyObject* name_pool;
  PyObject* mod_analysis;
  PyObject* logical_list;
  // A copy of the analyzer's table: the visitors may outlive the analyzer,
  // or be called after destroy() cleared it.
  tLogicalLineFunctionTable logical_funcs;
};

// Built on the stack of each visitor method; borrowed references only.
struct tVisitContext {
  tStdVisitors* self;
  PyObject* logical;
  PyObject* primary_node;
  PyObject* mod_analysis;
};

static tLogicalLineFunctionTable* Funcs(tVisitContext* ctx) { return &ctx->self->logical_funcs; }

// The calling convention of every visitor method: (node, (logical, mod)).
static int SetUpVisitContext(PyObject* self, PyObject* args, tVisitContext* ctx) {
  if (!IsExactTuple(args) || PyTuple_GET_SIZE(args) != 2 || !IsExactTuple(PyTuple_GET_ITEM(args, 1)) ||
      PyTuple_GET_SIZE(PyTuple_GET_ITEM(args, 1)) != 2) {
    PyErr_SetString(PyExc_TypeError, "Visitor functions require 2 arguments");
    return -1;
  }
  PyObject* pair = PyTuple_GET_ITEM(args, 1);
  ctx->self = reinterpret_cast<tStdVisitors*>(self);
  ctx->primary_node = PyTuple_GET_ITEM(args, 0);
  ctx->logical = PyTuple_GET_ITEM(pair, 0);
  ctx->mod_analysis = PyTuple_GET_ITEM(pair, 1);
  return 0;
}

// ===========================================================================
// AST node access
// ===========================================================================

static int IsNodeType(tVisitContext*, PyObject* node, const char* type_name) {
  return IsExactTuple(node) && PyTuple_GET_SIZE(node) >= 1 && StrEquals(PyTuple_GET_ITEM(node, 0), type_name);
}

static int IsTupleNodeType(tVisitContext* ctx, PyObject* node, const char* type_name) {
  return IsNodeType(ctx, node, type_name);
}

// After a failed GetNodeChild: clears the failure when it only says the
// child is not there (a short tuple, an object without the attribute).
static bool ClearMissingChild() {
  return ClearExpectedError(PyExc_IndexError) || ClearExpectedError(PyExc_AttributeError);
}

// A child by tuple position, or by attribute name for object-form nodes.
static PyRef GetNodeChild(PyObject* node, Py_ssize_t position, const char* attr_name) {
  if (IsExactTuple(node)) return PyRef::Borrow(PyTuple_GetItem(node, position));
  return PyRef(PyObject_GetAttrString(node, attr_name));
}

static PyRef GetAssignStmtTargets(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "nodes"); }
static PyRef GetAssignStmtExpr(tVisitContext*, PyObject* node) { return GetNodeChild(node, 2, "expr"); }
static PyRef GetReturnStmtExpr(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "return"); }
static PyRef GetForStmtTargets(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "assign"); }
static PyRef GetForStmtExpr(tVisitContext*, PyObject* node) { return GetNodeChild(node, 2, "list"); }
static PyRef GetTupleElements(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "nodes"); }
static PyRef GetGetattrExpr(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "expr"); }
static PyRef GetCallFuncObject(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "node"); }
static PyRef GetCallFuncCallable(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "name"); }
static PyRef GetCallFuncArgs(tVisitContext*, PyObject* node) { return GetNodeChild(node, 2, "args"); }
static PyRef GetFunctionDefArgNames(tVisitContext*, PyObject* node) { return GetNodeChild(node, 2, "argnames"); }
static PyRef GetClassDefBaseNames(tVisitContext*, PyObject* node) { return GetNodeChild(node, 2, "bases"); }
static PyRef GetImportNames(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "names"); }
static PyRef GetFromImportModuleName(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "modname"); }
static PyRef GetFromImportNames(tVisitContext*, PyObject* node) { return GetNodeChild(node, 2, "names"); }
static PyRef GetConstValue(tVisitContext*, PyObject* node) { return GetNodeChild(node, 1, "value"); }

// ===========================================================================
// Expression source writer
// ===========================================================================

static int AppendExpSource(tVisitContext* ctx, tCharBuffer* buffer, PyObject* expr);

static int AppendRepr(tCharBuffer* buffer, PyObject* obj) {
  PyRef repr(PyObject_Repr(obj));
  if (!repr) return -1;
  return AppendStrToCharBuffer(buffer, repr.get());
}

static bool IsTupleOrList(PyObject* seq) { return IsExactTuple(seq) || IsExactList(seq); }

// Item `i` of a tuple or list, held (writing an item may run a repr that
// changes a list); a borrowed-then-owned reference, or null past the end.
static PyRef SeqItem(PyObject* seq, Py_ssize_t i) {
  if (i >= PySequence_Fast_GET_SIZE(seq)) return {};
  return PyRef::Borrow(PySequence_Fast_GET_ITEM(seq, i));
}

static int AppendCommaSepList(tVisitContext* ctx, tCharBuffer* buffer, PyObject* seq) {
  if (!IsTupleOrList(seq)) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0;; ++i) {
    PyRef item = SeqItem(seq, i);
    if (!item) return 0;
    if (i > 0 && AppendToCharBuffer(buffer, ", ") < 0) return -1;
    if (AppendExpSource(ctx, buffer, item.get()) < 0) return -1;
  }
}

static int AppendCommaSepNameList(tVisitContext*, tCharBuffer* buffer, PyObject* seq) {
  if (!IsTupleOrList(seq)) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0;; ++i) {
    PyRef item = SeqItem(seq, i);
    if (!item) return 0;
    if (i > 0 && AppendToCharBuffer(buffer, ", ") < 0) return -1;
    if (AppendStrToCharBuffer(buffer, item.get()) < 0) return -1;
  }
}

// The (operator, operand) pairs of a comparison chain, run together with no
// blanks added.
static int AppendComparisonSeq(tVisitContext* ctx, tCharBuffer* buffer, PyObject* seq) {
  if (!IsTupleOrList(seq)) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0;; ++i) {
    PyRef pair = SeqItem(seq, i);
    if (!pair) return 0;
    if (!IsExactTuple(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2) {
      PyErr_SetString(PyExc_ValueError, "Invalid tuple in comparison sequence");
      return -1;
    }
    if (AppendStrToCharBuffer(buffer, PyTuple_GET_ITEM(pair.get(), 0)) < 0) return -1;
    if (AppendExpSource(ctx, buffer, PyTuple_GET_ITEM(pair.get(), 1)) < 0) return -1;
  }
}

static int AppendUnaryOpSource(tVisitContext* ctx, tCharBuffer* buffer, PyObject* expr, const char* op) {
  if (AppendToCharBuffer(buffer, op) < 0 || AppendToCharBuffer(buffer, "(") < 0) return -1;
  if (AppendExpSource(ctx, buffer, PyTuple_GET_ITEM(expr, 1)) < 0) return -1;
  return AppendToCharBuffer(buffer, ")");
}

static int AppendBinaryOpSource(tVisitContext* ctx, tCharBuffer* buffer, PyObject* expr, const char* bin_op) {
  PyObject* operands = PyTuple_GET_ITEM(expr, 1);
  if (!IsExactTuple(operands) || PyTuple_GET_SIZE(operands) < 2) {
    PyErr_SetString(PyExc_ValueError, "Invalid AST node type passed to AppendBinaryOpSource");
    return -1;
  }
  if (AppendToCharBuffer(buffer, "(") < 0) return -1;
  if (AppendExpSource(ctx, buffer, PyTuple_GET_ITEM(operands, 0)) < 0) return -1;
  if (AppendToCharBuffer(buffer, bin_op) < 0) return -1;
  if (AppendExpSource(ctx, buffer, PyTuple_GET_ITEM(operands, 1)) < 0) return -1;
  return AppendToCharBuffer(buffer, ")");
}

// Writes a slice part unless it is None.
static int AppendSlicePart(tVisitContext* ctx, tCharBuffer* buffer, PyObject* part) {
  return part == Py_None ? 0 : AppendExpSource(ctx, buffer, part);
}

enum tExpWriter : uint8_t {
  kWriteName,
  kWriteEllipsis,
  kWriteGetattr,
  kWriteTuple,
  kWriteList,
  kWriteDict,
  kWriteBinary,
  kWriteUnary,
  kWriteCallFunc,
  kWriteConst,
  kWriteBackquote,
  kWriteKeyword,
  kWriteCompare,
  kWriteLambda,
  kWriteSubscript,
  kWriteSliceobj,
};

struct tExpKind {
  const char* kind;
  tExpWriter writer;
  const char* op;  // operator text of the unary and binary kinds
};

static const tExpKind kExpKinds[] = {
    {"Name", kWriteName, nullptr},
    {"Ellipsis", kWriteEllipsis, nullptr},
    {"Getattr", kWriteGetattr, nullptr},
    {"Tuple", kWriteTuple, nullptr},
    {"List", kWriteList, nullptr},
    {"Dict", kWriteDict, nullptr},
    {"Power", kWriteBinary, "**"},
    {"UnarySub", kWriteUnary, "-"},
    {"UnaryAdd", kWriteUnary, "+"},
    {"Invert", kWriteUnary, "~"},
    {"Bitor", kWriteBinary, "|"},
    {"Bitxor", kWriteBinary, "^"},
    {"Bitand", kWriteBinary, "&"},
    {"And", kWriteBinary, " and "},
    {"Or", kWriteBinary, " or "},
    {"Not", kWriteUnary, "not "},
    {"Add", kWriteBinary, "+"},
    {"Sub", kWriteBinary, "-"},
    {"Div", kWriteBinary, "/"},
    {"Mul", kWriteBinary, "*"},
    {"LeftShift", kWriteBinary, "<<"},
    {"RigthShift", kWriteBinary, ">>"},  // sic: the transformer's kind string
    {"Mod", kWriteBinary, "%"},
    {"CallFunc", kWriteCallFunc, nullptr},
    {"Const", kWriteConst, nullptr},
    {"Backquote", kWriteBackquote, nullptr},
    {"Keyword", kWriteKeyword, nullptr},
    {"Compare", kWriteCompare, nullptr},
    {"Lambda", kWriteLambda, nullptr},
    {"Subscript", kWriteSubscript, nullptr},
    {"Sliceobj", kWriteSliceobj, nullptr},
};

constexpr int kUnknownNode = 1;

// Writes a node of a known kind: 0 written, -1 failed, kUnknownNode when the
// node is not one the writer knows (the caller reports it).
static int AppendKnownNode(tVisitContext* ctx, tCharBuffer* buffer, PyObject* expr) {
  if (!IsExactTuple(expr) || PyTuple_GET_SIZE(expr) < 2 || !IsExactStr(PyTuple_GET_ITEM(expr, 0))) {
    return kUnknownNode;
  }
  const tExpKind* entry = nullptr;
  for (const tExpKind& k : kExpKinds) {
    if (StrEquals(PyTuple_GET_ITEM(expr, 0), k.kind)) {
      entry = &k;
      break;
    }
  }
  if (entry == nullptr) return kUnknownNode;

  Py_ssize_t size = PyTuple_GET_SIZE(expr);
  auto item = [expr](Py_ssize_t i) { return PyTuple_GET_ITEM(expr, i); };
  auto text = [buffer](const char* t) { return AppendToCharBuffer(buffer, t); };
  auto node = [ctx, buffer](PyObject* n) { return AppendExpSource(ctx, buffer, n); };

  switch (entry->writer) {
    case kWriteName:
      if (!IsExactStr(item(1))) return kUnknownNode;
      return AppendStrToCharBuffer(buffer, item(1));
    case kWriteEllipsis:
      return text("...");
    case kWriteGetattr:
      if (size != 3 || !IsExactStr(item(2))) return kUnknownNode;
      if (node(item(1)) < 0 || text(".") < 0) return -1;
      return AppendStrToCharBuffer(buffer, item(2));
    case kWriteTuple:
      if (size != 2) return kUnknownNode;
      if (text("(") < 0 || AppendCommaSepList(ctx, buffer, item(1)) < 0) return -1;
      return text(PySequence_Fast_GET_SIZE(item(1)) == 1 ? ",)" : ")");
    case kWriteList:
      if (size != 2) return kUnknownNode;
      if (text("[") < 0 || AppendCommaSepList(ctx, buffer, item(1)) < 0) return -1;
      return text("]");
    case kWriteDict:
      return text("{}");
    case kWriteBinary:
      return AppendBinaryOpSource(ctx, buffer, expr, entry->op);
    case kWriteUnary:
      return AppendUnaryOpSource(ctx, buffer, expr, entry->op);
    case kWriteCallFunc:
      if (size != 3) return kUnknownNode;
      if (node(item(1)) < 0 || text("(") < 0 || AppendCommaSepList(ctx, buffer, item(2)) < 0) return -1;
      return text(")");
    case kWriteConst:
      return AppendRepr(buffer, item(1));
    case kWriteBackquote:
      if (text("`") < 0 || node(item(1)) < 0) return -1;
      return text("`");
    case kWriteKeyword:
      if (size < 3) return kUnknownNode;
      if (node(item(1)) < 0 || text(" = ") < 0) return -1;
      return node(item(2));
    case kWriteCompare:
      if (size < 3) return kUnknownNode;
      if (node(item(1)) < 0) return -1;
      return AppendComparisonSeq(ctx, buffer, item(2));
    case kWriteLambda:
      if (size < 5) return kUnknownNode;
      if (text("lambda ") < 0 || AppendCommaSepNameList(ctx, buffer, item(1)) < 0 || text(": ") < 0) return -1;
      return node(item(4));
    case kWriteSubscript:
      if (size < 4) return kUnknownNode;
      if (node(item(1)) < 0 || text("[") < 0 || AppendCommaSepList(ctx, buffer, item(3)) < 0) return -1;
      return text("]");
    case kWriteSliceobj: {
      if (size != 2) return kUnknownNode;
      PyObject* parts = item(1);
      if (!IsExactTuple(parts) || PyTuple_GET_SIZE(parts) < 2 || PyTuple_GET_SIZE(parts) > 3) return kUnknownNode;
      if (AppendSlicePart(ctx, buffer, PyTuple_GET_ITEM(parts, 0)) < 0 || text(":") < 0 ||
          AppendSlicePart(ctx, buffer, PyTuple_GET_ITEM(parts, 1)) < 0) {
        return -1;
      }
      if (PyTuple_GET_SIZE(parts) == 3) {
        if (text(":") < 0 || AppendSlicePart(ctx, buffer, PyTuple_GET_ITEM(parts, 2)) < 0) return -1;
      }
      return 0;
    }
  }
  return kUnknownNode;
}

// The node's repr goes to the process's standard error stream (the one
// diagnostic output of the module), then the ValueError.
static void ReportUnknownNode(PyObject* expr) {
  int printed = PyObject_Print(expr, stderr, 0);
  std::fflush(stderr);
  if (printed < 0) return;  // the node's own repr failed: that error goes out
  PyErr_SetString(PyExc_ValueError, "Unknown AST node type passed to AppendExpSource");
}

static int AppendExpSource(tVisitContext* ctx, tCharBuffer* buffer, PyObject* expr) {
  if (Py_EnterRecursiveCall(" while writing an expression")) return -1;
  int rc = AppendKnownNode(ctx, buffer, expr);
  Py_LeaveRecursiveCall();
  if (rc == kUnknownNode) {
    ReportUnknownNode(expr);
    return -1;
  }
  return rc;
}

static PyRef SynthesizeExpSource(tVisitContext* ctx, PyObject* expr) {
  if (IsTupleNodeType(ctx, expr, "Name") && PyTuple_GET_SIZE(expr) >= 2) {
    return PyRef::Borrow(PyTuple_GET_ITEM(expr, 1));
  }
  tCharBuffer buffer;
  if (AppendExpSource(ctx, &buffer, expr) < 0) return {};
  return GetStringFromPool(ctx->self->name_pool, buffer.ptr);
}

// ===========================================================================
// Instance type names
// ===========================================================================

static PyObject* s_Dict = nullptr;
static PyObject* s_List = nullptr;
static PyObject* s_Tuple = nullptr;
static PyObject* s_String = nullptr;

static PyRef SynthesizeInstanceTypeName(tVisitContext* ctx, PyObject* expr) {
  tCharBuffer buffer;
  if (AppendExpSource(ctx, &buffer, expr) < 0) return {};
  if (AppendToCharBuffer(&buffer, ":") < 0) return {};
  return GetStringFromPool(ctx->self->name_pool, buffer.ptr);
}

static PyRef GetLiteralInstanceTypeName(tVisitContext* ctx, PyObject* expr) {
  if (CachedString(&s_Dict, "::dict:") == nullptr || CachedString(&s_List, "::list:") == nullptr ||
      CachedString(&s_Tuple, "::tuple:") == nullptr || CachedString(&s_String, "::string:") == nullptr) {
    return {};
  }
  PyObject* chosen = Py_None;
  if (IsNodeType(ctx, expr, "Dict")) {
    chosen = s_Dict;
  } else if (IsNodeType(ctx, expr, "List")) {
    chosen = s_List;
  } else if (IsNodeType(ctx, expr, "Tuple")) {
    chosen = s_Tuple;
  } else if (IsNodeType(ctx, expr, "Const")) {
    PyRef value = GetConstValue(ctx, expr);
    if (!value) {
      if (!ClearMissingChild()) return {};
    } else if (IsExactStr(value.get())) {
      chosen = s_String;
    }
  }
  return PyRef::Borrow(chosen);
}

// ===========================================================================
// Backward scope search
// ===========================================================================

static void SetNotLogicalLineError() {
  PyErr_SetString(PyExc_TypeError, "Every element of logical list must be a logical line");
}

PyRef FindScopeForLineDirect(tLogicalLineFunctionTable* funcs, PyObject* line_list, PyObject* logical) {
  Py_ssize_t i = -1;
  if (IsExactList(line_list)) {
    Py_ssize_t count = PyList_GET_SIZE(line_list);
    for (Py_ssize_t j = 0; j < count; ++j) {
      if (PyList_GET_ITEM(line_list, j) == logical) {
        i = j;
        break;
      }
    }
  }
  if (i < 0) {
    PyErr_SetString(PyExc_ValueError, "FindScopeForLine requires logical to be in the logical list");
    return {};
  }
  // The line itself is an element of the list like any other: its fields are
  // read below, so it must be a logical line too.
  if (!funcs->check(logical)) {
    SetNotLogicalLineError();
    return {};
  }
  // No interpreter code runs below, so the list cannot change under us.
  PyObject* cur = logical;
  while (i > 0 && IsCommentOrBlankType(AsLogical(cur)->type)) {
    --i;
    cur = PyList_GET_ITEM(line_list, i);
    if (!funcs->check(cur)) {
      SetNotLogicalLineError();
      return {};
    }
  }
  int limit = AsLogical(cur)->indent;
  if (limit == 0) return PyRef::Borrow(Py_None);
  while (i > 0) {
    --i;
    PyObject* item = PyList_GET_ITEM(line_list, i);
    if (!funcs->check(item)) {
      SetNotLogicalLineError();
      return {};
    }
    tLogicalLine* line = AsLogical(item);
    if (IsCommentOrBlankType(line->type) || line->indent >= limit) continue;
    if (IsScopeDefType(line->type)) return PyRef::Borrow(item);
    limit = line->indent;
    if (limit == 0) break;
  }
  return PyRef::Borrow(Py_None);
}

// ===========================================================================
// Assignment, loop and return visitors
// ===========================================================================

// Marks a target that stands for part of the assigned value.
struct tSubScriptInfo {
  int32_t int_index;
  PyObject* index_obj;
  tSubScriptInfo* parent;
};

static PyObject* s_return_name = nullptr;  // "return"

static int IsDottedNameExpr(tVisitContext* ctx, PyObject* expression) {
  // Walks down the Getattr chain iteratively, so a long chain needs no stack.
  PyRef cur = PyRef::Borrow(expression);
  for (;;) {
    if (IsExactStr(cur.get()) || IsNodeType(ctx, cur.get(), "Name")) return 1;
    if (!IsNodeType(ctx, cur.get(), "Getattr")) return 0;
    PyRef inner = GetGetattrExpr(ctx, cur.get());
    if (!inner) {
      // A malformed Getattr is simply not a dotted name.
      return ClearMissingChild() ? 0 : -1;
    }
    cur = std::move(inner);
  }
}

static int IsCalledDottedNameExpr(tVisitContext* ctx, PyObject* expression) {
  if (!IsNodeType(ctx, expression, "CallFunc")) return 0;
  PyRef callee = GetCallFuncObject(ctx, expression);
  if (!callee) return ClearMissingChild() ? 0 : -1;
  return IsDottedNameExpr(ctx, callee.get());
}

// The text of a dotted name expression: a bare string stands for itself, any
// node is written by SynthesizeExpSource.
static PyRef DottedNameSource(tVisitContext* ctx, PyObject* expression) {
  if (IsExactStr(expression)) return PyRef::Borrow(expression);
  return SynthesizeExpSource(ctx, expression);
}

static int AppendEquivForExpr(tVisitContext* ctx, PyObject* name, PyObject* expression) {
  PyRef literal = GetLiteralInstanceTypeName(ctx, expression);
  if (!literal) return -1;
  if (literal.get() != Py_None) {
    return Funcs(ctx)->append_type_equiv(ctx->logical, name, literal.get()) != 0 ? -1 : 0;
  }
  int dotted = IsDottedNameExpr(ctx, expression);
  if (dotted == 0) dotted = IsCalledDottedNameExpr(ctx, expression);
  if (dotted < 0) return -1;
  if (dotted) {
    PyRef text = DottedNameSource(ctx, expression);
    if (!text) return -1;
    if (Funcs(ctx)->append_type_equiv(ctx->logical, name, text.get()) != 0) return -1;
  }
  return 0;
}

static int ProcessSingleTarget(tVisitContext* ctx, PyObject* target, PyObject* expression, tSubScriptInfo* marker) {
  int dotted = IsDottedNameExpr(ctx, target);
  if (dotted <= 0) return dotted;
  PyRef name = DottedNameSource(ctx, target);
  if (!name) return -1;
  if (Funcs(ctx)->append_attrib(ctx->logical, name.get()) != 0) return -1;
  if (marker == nullptr && AppendEquivForExpr(ctx, name.get(), expression) < 0) return -1;
  return 0;
}

static int ProcessGenericTargets(tVisitContext* ctx, PyObject* targets, PyObject* expression,
                                 tSubScriptInfo* marker) {
  if (targets == Py_None) return 0;
  if (!IsNodeType(ctx, targets, "Tuple")) return ProcessSingleTarget(ctx, targets, expression, marker);

  PyRef elements = GetTupleElements(ctx, targets);
  if (!elements) return -1;
  if (!IsTupleOrList(elements.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  if (Py_EnterRecursiveCall(" while processing assignment targets")) return -1;
  tSubScriptInfo element_marker = {0, nullptr, marker};
  int rc = 0;
  for (Py_ssize_t i = 0;; ++i) {
    PyRef element = SeqItem(elements.get(), i);
    if (!element) break;
    element_marker.int_index = static_cast<int32_t>(i);
    if (ProcessGenericTargets(ctx, element.get(), expression, &element_marker) < 0) {
      rc = -1;
      break;
    }
  }
  Py_LeaveRecursiveCall();
  return rc;
}

static PyObject* VisitReturn(PyObject* self, PyObject* args) {
  if (CachedString(&s_return_name, "return") == nullptr) return nullptr;
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  PyRef expression = GetReturnStmtExpr(&ctx, ctx.primary_node);
  if (!expression) return nullptr;
  if (expression.get() != Py_None && AppendEquivForExpr(&ctx, s_return_name, expression.get()) < 0) return nullptr;
  return NewTruth(1);
}

static PyObject* VisitAssign(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  PyRef targets = GetAssignStmtTargets(&ctx, ctx.primary_node);
  if (!targets) return nullptr;
  PyRef expression = GetAssignStmtExpr(&ctx, ctx.primary_node);
  if (!expression) return nullptr;
  if (ProcessGenericTargets(&ctx, targets.get(), expression.get(), nullptr) < 0) return nullptr;
  return NewTruth(1);
}

static PyObject* VisitFor(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  // Loop targets stand for elements of the sequence, never for all of it.
  tSubScriptInfo marker = {-1, nullptr, nullptr};
  PyRef targets = GetForStmtTargets(&ctx, ctx.primary_node);
  if (!targets) return nullptr;
  PyRef expression = GetForStmtExpr(&ctx, ctx.primary_node);
  if (!expression) return nullptr;
  if (ProcessGenericTargets(&ctx, targets.get(), expression.get(), &marker) < 0) return nullptr;
  return NewTruth(1);
}

// ===========================================================================
// Import visitors
// ===========================================================================

// Star imports record only names made of ASCII letters, digits and "_".
constexpr int kSingleImportedNamesOnly = 1;

static PyObject* s_GetScopeAttributes = nullptr;
static PyObject* s_Freeze = nullptr;
static PyObject* s_Thaw = nullptr;
static PyObject* s_IsFrozen = nullptr;
static PyObject* s_fLocalName = nullptr;
static PyObject* s_empty_str = nullptr;

static int EnsureStarImportNames() {
  if (CachedString(&s_GetScopeAttributes, "GetScopeAttributes") == nullptr ||
      CachedString(&s_Freeze, "Freeze") == nullptr || CachedString(&s_Thaw, "Thaw") == nullptr ||
      CachedString(&s_IsFrozen, "IsFrozen") == nullptr || CachedString(&s_fLocalName, "fLocalName") == nullptr ||
      CachedString(&s_empty_str, "") == nullptr) {
    return -1;
  }
  return EnsureIntConstants();
}

// What both import visitors take from their own module analysis object.
struct tImportHost {
  PyRef factory;
  PyRef find_proc;
  PyRef pkg_dir;
};

static int GetImportHost(tVisitContext* ctx, tImportHost* host) {
  PyObject* own = ctx->self->mod_analysis;
  host->factory = PyRef(PyObject_GetAttrString(own, "fAnalysisFactory"));
  if (!host->factory) return -1;
  host->find_proc = PyRef(PyObject_GetAttrString(host->factory.get(), "FindAnalysisByName"));
  if (!host->find_proc) return -1;
  host->pkg_dir = PyRef(PyObject_GetAttrString(own, "fPackageDir"));
  if (!host->pkg_dir) return -1;
  return 0;
}

static int AppendImportedAttrib(tVisitContext* ctx, PyObject* attrib, PyObject* mod, PyObject* in_mod) {
  PyRef entry(PyTuple_Pack(3, attrib, mod, in_mod));
  if (!entry) return -1;
  return Funcs(ctx)->append_attrib(ctx->logical, entry.get()) != 0 ? -1 : 0;
}

static int FindModuleAndAppend(tVisitContext* ctx, PyObject* attrib_obj, PyObject* modname, PyObject* in_mod_obj,
                               PyObject* find_proc, PyObject* pkg_dir) {
  PyRef found(PyObject_CallFunctionObjArgs(find_proc, modname, pkg_dir, nullptr));
  if (!found) return -1;
  // A module importing itself binds nothing worth recording.
  if (found.get() == ctx->self->mod_analysis) return 0;
  return AppendImportedAttrib(ctx, attrib_obj, found.get(), in_mod_obj);
}

static int ProcessSingleImportName(tVisitContext* ctx, PyObject* id, PyObject* find_proc, PyObject* pkg_dir) {
  PyObject* dotted;
  PyObject* local;
  if (IsExactStr(id)) {
    dotted = id;
    local = id;
  } else if (IsExactTuple(id) && PyTuple_GET_SIZE(id) >= 2) {
    dotted = PyTuple_GET_ITEM(id, 0);
    local = PyTuple_GET_ITEM(id, 1);
  } else {
    PyErr_SetString(PyExc_TypeError, "Imported id must be a string or a tuple with 2+ elements");
    return -1;
  }
  Py_ssize_t len = 0;
  const char* text = StrText(dotted, &len);
  if (text == nullptr) return -1;
  const char* dot = static_cast<const char*>(std::memchr(text, '.', static_cast<size_t>(len)));
  PyRef modname;
  const char* remainder = text + len;
  if (dot == nullptr) {
    modname = PyRef::Borrow(dotted);
  } else {
    modname = PyRef(PyUnicode_FromStringAndSize(text, dot - text));
    if (!modname) return -1;
    remainder = dot + 1;
  }
  PyRef in_mod = GetStringWithLengthFromPool(ctx->self->name_pool, remainder, text + len - remainder);
  if (!in_mod) return -1;
  return FindModuleAndAppend(ctx, local, modname.get(), in_mod.get(), find_proc, pkg_dir);
}

// 1 for a simple name, 0 for anything else, -1 on failure.
static int IsSimpleImportedName(PyObject* local) {
  if (!IsExactStr(local)) return 0;
  Py_ssize_t len = 0;
  const char* text = PyUnicode_AsUTF8AndSize(local, &len);
  if (text == nullptr) {
    // Not representable as text: certainly not a simple name.
    return ClearExpectedError(PyExc_UnicodeEncodeError) ? 0 : -1;
  }
  for (Py_ssize_t i = 0; i < len; ++i) {
    if (!IsAsciiNameChar(static_cast<unsigned char>(text[i]))) return 0;
  }
  return 1;
}

static int ProcessForeignAttrib(tVisitContext* ctx, PyObject* attrib, PyObject* mod) {
  PyRef local(PyObject_GetAttr(attrib, s_fLocalName));
  if (!local) return -1;
  if (kSingleImportedNamesOnly) {
    int simple = IsSimpleImportedName(local.get());
    if (simple <= 0) return simple;
  }
  if (!IsExactStr(local.get())) return 0;
  return AppendImportedAttrib(ctx, local.get(), mod, local.get());
}

// Calls "Thaw" on the own analysis while a failure is pending.  As with a
// "finally" clause in Python, a failing Thaw replaces the pending exception,
// which becomes its context.
static void ThawKeepingError(PyObject* own) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef result(PyObject_CallMethodNoArgs(own, s_Thaw));
  if (result) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PyObject *thaw_type, *thaw_value, *thaw_traceback;
  PyErr_Fetch(&thaw_type, &thaw_value, &thaw_traceback);
  PyErr_NormalizeException(&thaw_type, &thaw_value, &thaw_traceback);
  if (thaw_value != nullptr && value != nullptr) {
    PyException_SetContext(thaw_value, value);  // steals `value`
    value = nullptr;
  }
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(traceback);
  PyErr_Restore(thaw_type, thaw_value, thaw_traceback);
}

// The star protocol: freeze our own analysis, read the other module's
// attributes and frozen state, thaw, then record the simple names.
static int ProcessFromImportStar(tVisitContext* ctx, PyObject* mod) {
  if (EnsureStarImportNames() < 0) return -1;
  PyObject* own = ctx->self->mod_analysis;
  {
    PyRef frozen_result(PyObject_CallMethodNoArgs(own, s_Freeze));
    if (!frozen_result) return -1;
  }
  // From here on "Thaw" is called exactly once, whatever happens.
  PyRef attribs(PyObject_CallMethodObjArgs(mod, s_GetScopeAttributes, s_empty_str, s_int_one, s_int_zero, nullptr));
  if (!attribs) {
    ThawKeepingError(own);
    return -1;
  }
  PyRef frozen(PyObject_CallMethodNoArgs(mod, s_IsFrozen));
  int is_frozen = frozen ? PyObject_IsTrue(frozen.get()) : -1;
  frozen.reset();
  if (is_frozen < 0) {
    ThawKeepingError(own);
    return -1;
  }
  if (is_frozen && Funcs(ctx)->check(ctx->logical)) {
    // The other module is still being analysed: this line's facts are not
    // final, so it is to be analysed again next time.
    AsLogical(ctx->logical)->parsed = 0;
  }
  {
    PyRef thawed(PyObject_CallMethodNoArgs(own, s_Thaw));
    if (!thawed) return -1;
  }
  if (!IsTupleOrList(attribs.get())) return 0;
  for (Py_ssize_t i = 0;; ++i) {
    PyRef attrib = SeqItem(attribs.get(), i);
    if (!attrib) return 0;
    if (ProcessForeignAttrib(ctx, attrib.get(), mod) < 0) return -1;
  }
}

static PyObject* VisitImport(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  tImportHost host;
  if (GetImportHost(&ctx, &host) < 0) return nullptr;
  PyRef ids = GetImportNames(&ctx, ctx.primary_node);
  if (!ids) return nullptr;
  if (!IsExactTuple(ids.get())) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ids.get()); ++i) {
    if (ProcessSingleImportName(&ctx, PyTuple_GET_ITEM(ids.get(), i), host.find_proc.get(), host.pkg_dir.get()) <
        0) {
      return nullptr;
    }
  }
  return NewTruth(0);
}

// A single name whose first character is "*" (the rest is not looked at).
static bool IsStarImportNames(PyObject* names) {
  if (PyTuple_GET_SIZE(names) != 1) return false;
  PyObject* name = PyTuple_GET_ITEM(names, 0);
  return IsExactStr(name) && PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '*';
}

static PyObject* VisitFromImport(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  tImportHost host;
  if (GetImportHost(&ctx, &host) < 0) return nullptr;
  PyRef modname = GetFromImportModuleName(&ctx, ctx.primary_node);
  if (!modname) return nullptr;
  PyRef names = GetFromImportNames(&ctx, ctx.primary_node);
  if (!names) return nullptr;
  if (!IsExactTuple(names.get())) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  PyRef mod(PyObject_CallFunctionObjArgs(host.find_proc.get(), modname.get(), host.pkg_dir.get(), nullptr));
  if (!mod) return nullptr;
  if (IsStarImportNames(names.get())) {
    if (mod.get() != Py_None && ProcessFromImportStar(&ctx, mod.get()) < 0) return nullptr;
    return NewTruth(0);
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names.get(), i);
    if (!IsExactStr(name)) continue;
    if (AppendImportedAttrib(&ctx, name, mod.get(), name) < 0) return nullptr;
  }
  return NewTruth(0);
}

// ===========================================================================
// Definition visitors
// ===========================================================================

static PyRef FindAllAncestorScopesDirect(tLogicalLineFunctionTable* logical_funcs, PyObject* logical_list,
                                         PyObject* logical) {
  PyRef result(PyList_New(0));
  if (!result) return {};
  PyRef scope = FindScopeForLineDirect(logical_funcs, logical_list, logical);
  if (!scope) return {};
  while (scope.get() != Py_None) {
    if (!logical_funcs->check(scope.get())) {
      PyErr_BadInternalCall();
      return {};
    }
    if (PyList_Append(result.get(), scope.get()) < 0) return {};
    scope = FindScopeForLineDirect(logical_funcs, logical_list, scope.get());
    if (!scope) return {};
  }
  return result;
}

// Appends a class or def line's name, after a "." when the text so far ends
// in a name character.  Lines without a name add nothing.
static int AppendLocalScopeName(tCharBuffer* buffer, PyObject* scope_def) {
  PyObject* name = LogicalDefName(AsLogical(scope_def));
  if (name == nullptr) return 0;
  if (!IsExactStr(name)) {
    PyErr_BadInternalCall();
    return -1;
  }
  if (buffer->used_len > 0 && IsAsciiNameChar(static_cast<unsigned char>(buffer->ptr[buffer->used_len - 1])) &&
      AppendToCharBuffer(buffer, ".") < 0) {
    return -1;
  }
  return AppendStrToCharBuffer(buffer, name);
}

static PyRef GetFullInstanceNameForLogical(tVisitContext* ctx, PyObject* class_logical) {
  tCharBuffer buffer;
  tLogicalLineFunctionTable* funcs = Funcs(ctx);
  {
    PyRef ancestors = FindAllAncestorScopesDirect(funcs, ctx->self->logical_list, class_logical);
    if (!ancestors) return {};
    if (!IsExactList(ancestors.get())) {
      PyErr_BadInternalCall();
      return {};
    }
    for (Py_ssize_t i = PyList_GET_SIZE(ancestors.get()) - 1; i >= 0; --i) {
      PyObject* scope = PyList_GET_ITEM(ancestors.get(), i);
      if (!funcs->check(scope)) {
        PyErr_BadInternalCall();
        return {};
      }
      if (AppendLocalScopeName(&buffer, scope) < 0) return {};
    }
  }
  if (AppendLocalScopeName(&buffer, class_logical) < 0) return {};
  if (AppendToCharBuffer(&buffer, ":") < 0) return {};
  return GetStringFromPool(ctx->self->name_pool, buffer.ptr);
}

static PyObject* VisitFunctionDef(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  tLogicalLineFunctionTable* funcs = Funcs(&ctx);
  PyRef argnames = GetFunctionDefArgNames(&ctx, ctx.primary_node);
  if (!argnames) return nullptr;
  if (!IsExactTuple(argnames.get())) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  Py_ssize_t count = PyTuple_GET_SIZE(argnames.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (funcs->append_arg_name(ctx.logical, PyTuple_GET_ITEM(argnames.get(), i)) != 0) return nullptr;
  }
  PyObject* first_arg = count > 0 ? PyTuple_GET_ITEM(argnames.get(), 0) : nullptr;
  if (first_arg != nullptr && IsExactStr(first_arg)) {
    PyRef parent = FindScopeForLineDirect(funcs, ctx.self->logical_list, ctx.logical);
    if (!parent) return nullptr;
    if (parent.get() != Py_None) {
      if (!funcs->check(parent.get())) {
        PyErr_BadInternalCall();
        return nullptr;
      }
      if (AsLogical(parent.get())->type == kClassDefIndex) {
        // A method: its first argument is an instance of the class.
        PyRef instance_name = GetFullInstanceNameForLogical(&ctx, parent.get());
        if (!instance_name) return nullptr;
        if (funcs->append_arg_type_equiv(ctx.logical, first_arg, instance_name.get()) != 0) return nullptr;
      }
    }
  }
  return NewTruth(0);
}

static PyObject* VisitClassDef(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  PyRef bases = GetClassDefBaseNames(&ctx, ctx.primary_node);
  if (!bases) return nullptr;
  if (!IsExactTuple(bases.get())) {
    PyErr_BadInternalCall();
    return nullptr;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
    PyRef text = SynthesizeExpSource(&ctx, PyTuple_GET_ITEM(bases.get(), i));
    if (!text) return nullptr;
    if (Funcs(&ctx)->append_base_class_name(ctx.logical, text.get()) != 0) return nullptr;
  }
  return NewTruth(0);
}

// ===========================================================================
// Call visitor and isinstance facts
// ===========================================================================

static int IsNodeSpecificName(tVisitContext*, PyObject* node, const char* name) {
  if (IsExactTuple(node) && PyTuple_GET_SIZE(node) >= 1 && IsExactStr(PyTuple_GET_ITEM(node, 0))) {
    return PyTuple_GET_SIZE(node) >= 2 && StrEquals(PyTuple_GET_ITEM(node, 0), "Name") &&
           StrEquals(PyTuple_GET_ITEM(node, 1), name);
  }
  PyRef value(PyObject_GetAttrString(node, "name"));
  if (!value) return ClearMissingChild() ? 0 : -1;
  return StrEquals(value.get(), name);
}

static int FindIsInstanceCalls(tVisitContext* ctx, PyObject* node) {
  PyRef callee = GetCallFuncCallable(ctx, node);
  if (!callee) return -1;
  int is_isinstance = IsNodeSpecificName(ctx, callee.get(), "isinstance");
  if (is_isinstance <= 0) return is_isinstance;
  PyRef args = GetCallFuncArgs(ctx, node);
  if (!args) return -1;
  if (!IsExactTuple(args.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  if (PyTuple_GET_SIZE(args.get()) != 2) return 0;
  PyRef one = SynthesizeExpSource(ctx, PyTuple_GET_ITEM(args.get(), 0));
  if (!one) return -1;
  PyRef two = SynthesizeInstanceTypeName(ctx, PyTuple_GET_ITEM(args.get(), 1));
  if (!two) return -1;
  return Funcs(ctx)->append_type_equiv(ctx->logical, one.get(), two.get()) != 0 ? -1 : 0;
}

static PyObject* VisitCallFunc(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  if (FindIsInstanceCalls(&ctx, ctx.primary_node) < 0) return nullptr;
  return NewTruth(1);
}

// ===========================================================================
// StdVisitors type
// ===========================================================================

static const char VisitReturn_doc[] =
    "Visit a return node.  Creates a type equiv for the name 'return' to the value returned.";
static const char VisitAssign_doc[] =
    "Visit an assignment node.  Creates attribute entries for each target and type equiv entries when there is "
    "a single target and the expression is either a dotted name or a builtin instance constructor (e.g. '{}').";
static const char VisitFor_doc[] =
    "Visit an For node.  Creates attribute entries for each target and type equiv entries when there is a single "
    "target and the expression is either a dotted name or a builtin instance constructor (e.g. '{}').";
static const char VisitFunctionDef_doc[] = "";
static const char VisitClassDef_doc[] = "";
static const char VisitCallFunc_doc[] = "Visit a funtion call node.  Finds all isinstance calls. ";
static const char VisitImport_doc[] = "Visit an import node.";
static const char VisitFromImport_doc[] = "Visit an import node.";

static PyMethodDef kStdVisitorsMethods[] = {
    {"VisitReturn", VisitReturn, METH_VARARGS, VisitReturn_doc},
    {"VisitAssign", VisitAssign, METH_VARARGS, VisitAssign_doc},
    {"VisitFor", VisitFor, METH_VARARGS, VisitFor_doc},
    {"VisitFunctionDef", VisitFunctionDef, METH_VARARGS, VisitFunctionDef_doc},
    {"VisitClassDef", VisitClassDef, METH_VARARGS, VisitClassDef_doc},
    {"VisitCallFunc", VisitCallFunc, METH_VARARGS, VisitCallFunc_doc},
    {"VisitImport", VisitImport, METH_VARARGS, VisitImport_doc},
    {"VisitFromImport", VisitFromImport, METH_VARARGS, VisitFromImport_doc},
    {nullptr, nullptr, 0, nullptr},
};

static int StdVisitorsTraverse(PyObject* self, visitproc visit, void* arg) {
  tStdVisitors* visitors = reinterpret_cast<tStdVisitors*>(self);
  Py_VISIT(visitors->mod_analysis);
  Py_VISIT(visitors->name_pool);
  Py_VISIT(visitors->logical_list);
  return 0;
}

static int StdVisitorsClear(PyObject* self) {
  tStdVisitors* visitors = reinterpret_cast<tStdVisitors*>(self);
  Py_CLEAR(visitors->mod_analysis);
  Py_CLEAR(visitors->name_pool);
  Py_CLEAR(visitors->logical_list);
  return 0;
}

static void StdVisitorsDealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  StdVisitorsClear(self);
  PyObject_GC_Del(self);
}

PyTypeObject kStdVisitorsType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "StdVisitors",
    .tp_basicsize = sizeof(tStdVisitors),
    .tp_itemsize = 0,
    .tp_dealloc = StdVisitorsDealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = StdVisitorsTraverse,
    .tp_clear = StdVisitorsClear,
    .tp_methods = kStdVisitorsMethods,
    .tp_free = PyObject_GC_Del,
};

PyRef CreateStdVisitorsDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* logical_list,
                              PyObject* /*logical_mod*/, tLogicalLineFunctionTable* table) {
  if (!IsClassInstance(mod_analysis) || !IsExactDict(name_pool) || !IsExactList(logical_list)) {
    PyErr_SetString(PyExc_TypeError, "Incorrect type of StdVisitors constructor");
    return {};
  }
  if (ReadyTypeOnce(&kStdVisitorsType, &s_std_visitors_type_ready) < 0) return {};
  tStdVisitors* visitors = PyObject_GC_New(tStdVisitors, &kStdVisitorsType);
  if (visitors == nullptr) return {};
  Py_INCREF(mod_analysis);
  Py_INCREF(name_pool);
  Py_INCREF(logical_list);
  visitors->mod_analysis = mod_analysis;
  visitors->name_pool = name_pool;
  visitors->logical_list = logical_list;
  visitors->logical_funcs = *table;
  PyObject_GC_Track(visitors);
  return PyRef(reinterpret_cast<PyObject*>(visitors));
}
