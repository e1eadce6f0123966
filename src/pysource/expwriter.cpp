// The expression source writer, which turns an expression tree back into
// canonical source text, and the instance type names built on it.
#include "expwriter.h"

#include <cstdio>

#include "astnodes.h"
#include "walker.h"

// ===========================================================================
// Expression source writer
// ===========================================================================

static int AppendExpSource(tCharBuffer* buffer, PyObject* expr);

static int AppendRepr(tCharBuffer* buffer, PyObject* obj) {
  PyRef repr = PyRef::Steal(PyObject_Repr(obj));
  if (!repr) return -1;
  return AppendStrToCharBuffer(buffer, repr.get());
}

// The items of a tuple or list, each written by `append_item`, separated by
// commas.
static int AppendCommaSepList(tCharBuffer* buffer, PyObject* seq, const char* kind, const char* part = "items",
                              int (*append_item)(tCharBuffer*, PyObject*) = AppendExpSource) {
  if (!IsTupleOrList(seq)) {
    SetTreeShapeError(kind, part, "a tuple or list", seq);
    return -1;
  }
  for (Py_ssize_t i = 0;; ++i) {
    PyRef item = SeqItem(seq, i);
    if (!item) return 0;
    if (i > 0 && AppendToCharBuffer(buffer, ", ") < 0) return -1;
    if (append_item(buffer, item.get()) < 0) return -1;
  }
}

// The (operator, operand) pairs of a comparison chain, run together with no
// blanks added.
static int AppendComparisonSeq(tCharBuffer* buffer, PyObject* seq) {
  if (!IsTupleOrList(seq)) {
    SetTreeShapeError("Compare", "comparisons", "a tuple or list", seq);
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
    if (AppendExpSource(buffer, PyTuple_GET_ITEM(pair.get(), 1)) < 0) return -1;
  }
}

static int AppendUnaryOpSource(tCharBuffer* buffer, PyObject* expr, const char* op) {
  if (AppendToCharBuffer(buffer, op) < 0 || AppendToCharBuffer(buffer, "(") < 0) return -1;
  if (AppendExpSource(buffer, PyTuple_GET_ITEM(expr, 1)) < 0) return -1;
  return AppendToCharBuffer(buffer, ")");
}

static int AppendBinaryOpSource(tCharBuffer* buffer, PyObject* expr, const char* bin_op) {
  PyObject* operands = PyTuple_GET_ITEM(expr, 1);
  if (!IsExactTuple(operands) || PyTuple_GET_SIZE(operands) < 2) {
    PyErr_SetString(PyExc_ValueError, "Invalid AST node type passed to AppendBinaryOpSource");
    return -1;
  }
  if (AppendToCharBuffer(buffer, "(") < 0) return -1;
  if (AppendExpSource(buffer, PyTuple_GET_ITEM(operands, 0)) < 0) return -1;
  if (AppendToCharBuffer(buffer, bin_op) < 0) return -1;
  if (AppendExpSource(buffer, PyTuple_GET_ITEM(operands, 1)) < 0) return -1;
  return AppendToCharBuffer(buffer, ")");
}

// Writes a slice part unless it is None.
static int AppendSlicePart(tCharBuffer* buffer, PyObject* part) {
  return part == Py_None ? 0 : AppendExpSource(buffer, part);
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

// The entry of kExpKinds for a node kind (an exact str), or null when the
// writer does not know the kind; -1 in `*failed` when the table could not
// be made.  The table maps each kind string to its index, made once:
// writing an expression looks up the kind of every node in it.
static const tExpKind* FindExpKind(PyObject* kind, bool* failed) {
  static PyObject* indexes = nullptr;
  if (indexes == nullptr) {
    PyRef made = PyRef::Steal(PyDict_New());
    if (!made) {
      *failed = true;
      return nullptr;
    }
    for (size_t i = 0; i < sizeof(kExpKinds) / sizeof(kExpKinds[0]); ++i) {
      PyRef index = PyRef::Steal(PyLong_FromSize_t(i));
      if (!index || PyDict_SetItemString(made.get(), kExpKinds[i].kind, index.get()) < 0) {
        *failed = true;
        return nullptr;
      }
    }
    indexes = made.release();
  }
  // An exact str key: the lookup runs no other code and cannot fail.
  PyObject* found = PyDict_GetItemWithError(indexes, kind);
  if (found == nullptr) return nullptr;
  return &kExpKinds[PyLong_AsSize_t(found)];
}

// Writes a node of a known kind: 0 written, -1 failed, kUnknownNode when the
// node is not one the writer knows (the caller reports it).
static int AppendKnownNode(tCharBuffer* buffer, PyObject* expr) {
  if (!IsExactTuple(expr) || PyTuple_GET_SIZE(expr) < 2 || !IsExactStr(PyTuple_GET_ITEM(expr, 0))) {
    return kUnknownNode;
  }
  bool failed = false;
  const tExpKind* entry = FindExpKind(PyTuple_GET_ITEM(expr, 0), &failed);
  if (failed) return -1;
  if (entry == nullptr) return kUnknownNode;

  Py_ssize_t size = PyTuple_GET_SIZE(expr);
  auto item = [expr](Py_ssize_t i) { return PyTuple_GET_ITEM(expr, i); };
  auto text = [buffer](const char* t) { return AppendToCharBuffer(buffer, t); };
  auto node = [buffer](PyObject* n) { return AppendExpSource(buffer, n); };

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
      if (text("(") < 0 || AppendCommaSepList(buffer, item(1), entry->kind) < 0) return -1;
      return text(PySequence_Fast_GET_SIZE(item(1)) == 1 ? ",)" : ")");
    case kWriteList:
      if (size != 2) return kUnknownNode;
      if (text("[") < 0 || AppendCommaSepList(buffer, item(1), entry->kind) < 0) return -1;
      return text("]");
    case kWriteDict:
      return text("{}");
    case kWriteBinary:
      return AppendBinaryOpSource(buffer, expr, entry->op);
    case kWriteUnary:
      return AppendUnaryOpSource(buffer, expr, entry->op);
    case kWriteCallFunc:
      if (size != 3) return kUnknownNode;
      if (node(item(1)) < 0 || text("(") < 0 || AppendCommaSepList(buffer, item(2), entry->kind) < 0) return -1;
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
      return AppendComparisonSeq(buffer, item(2));
    case kWriteLambda:
      if (size < 5) return kUnknownNode;
      if (text("lambda ") < 0 || AppendCommaSepList(buffer, item(1), "Lambda", "argument names", AppendStrToCharBuffer) < 0 || text(": ") < 0) return -1;
      return node(item(4));
    case kWriteSubscript:
      if (size < 4) return kUnknownNode;
      if (node(item(1)) < 0 || text("[") < 0 || AppendCommaSepList(buffer, item(3), entry->kind) < 0) return -1;
      return text("]");
    case kWriteSliceobj: {
      if (size != 2) return kUnknownNode;
      PyObject* parts = item(1);
      if (!IsExactTuple(parts) || PyTuple_GET_SIZE(parts) < 2 || PyTuple_GET_SIZE(parts) > 3) return kUnknownNode;
      if (AppendSlicePart(buffer, PyTuple_GET_ITEM(parts, 0)) < 0 || text(":") < 0 ||
          AppendSlicePart(buffer, PyTuple_GET_ITEM(parts, 1)) < 0) {
        return -1;
      }
      if (PyTuple_GET_SIZE(parts) == 3) {
        if (text(":") < 0 || AppendSlicePart(buffer, PyTuple_GET_ITEM(parts, 2)) < 0) return -1;
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

static int AppendExpSource(tCharBuffer* buffer, PyObject* expr) {
  if (Py_EnterRecursiveCall(" while writing an expression")) return -1;
  int rc = AppendKnownNode(buffer, expr);
  Py_LeaveRecursiveCall();
  if (rc == kUnknownNode) {
    ReportUnknownNode(expr);
    return -1;
  }
  return rc;
}

// After a failed write: None when the expression only has no text (a name
// holding a lone surrogate has no UTF-8 form), else the failure.
static PyRef NoTextOrFailure() {
  return ClearExpectedError(PyExc_UnicodeEncodeError) ? PyRef::NewRef(Py_None) : PyRef();
}

PyRef SynthesizeExpSource(PyObject* name_pool, PyObject* expr) {
  if (IsNodeType(expr, "Name") && PyTuple_GET_SIZE(expr) >= 2) {
    // The transformer's own string: it pools the names it makes.
    return PyRef::NewRef(PyTuple_GET_ITEM(expr, 1));
  }
  tCharBuffer buffer;
  if (AppendExpSource(&buffer, expr) < 0) return NoTextOrFailure();
  return GetStringFromPool(name_pool, buffer.ptr);
}

// ===========================================================================
// Instance type names
// ===========================================================================

static PyObject* s_Dict = nullptr;
static PyObject* s_List = nullptr;
static PyObject* s_Tuple = nullptr;
static PyObject* s_String = nullptr;

PyRef SynthesizeInstanceTypeName(PyObject* name_pool, PyObject* expr) {
  tCharBuffer buffer;
  if (AppendExpSource(&buffer, expr) < 0) return NoTextOrFailure();
  if (AppendToCharBuffer(&buffer, ":") < 0) return {};
  return GetStringFromPool(name_pool, buffer.ptr);
}

PyRef GetLiteralInstanceTypeName(PyObject* name_pool, PyObject* expr) {
  if (CachedString(&s_Dict, "::dict:") == nullptr || CachedString(&s_List, "::list:") == nullptr ||
      CachedString(&s_Tuple, "::tuple:") == nullptr || CachedString(&s_String, "::string:") == nullptr) {
    return {};
  }
  PyObject* chosen = Py_None;
  if (IsNodeType(expr, "Dict")) {
    chosen = s_Dict;
  } else if (IsNodeType(expr, "List")) {
    chosen = s_List;
  } else if (IsNodeType(expr, "Tuple")) {
    chosen = s_Tuple;
  } else if (IsNodeType(expr, "Const")) {
    PyRef value = GetNodeChild(expr, 1, "value");
    if (!value) {
      if (!ClearMissingChild()) return {};
    } else if (IsExactStr(value.get())) {
      chosen = s_String;
    }
  }
  return chosen == Py_None ? PyRef::NewRef(Py_None) : PoolString(name_pool, PyRef::NewRef(chosen));
}
