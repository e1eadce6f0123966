// The standard visitors that turn a line's tree into facts on the logical
// line (assignments, loops, returns, definitions, imports, isinstance calls),
// and the standard walker that dispatches to them.
#include "astinspect.h"

#include <array>
#include <iterator>

#include "gcobject.h"

#include "astnodes.h"
#include "expwriter.h"
#include "scopes.h"
#include "walker.h"

static bool IsAsciiNameChar(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
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
  return 0;
}

// The children the visitors read, by node kind: a tuple position, or the
// attribute of an object-form node.
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

// ===========================================================================
// Assignment, loop and return visitors
// ===========================================================================

// Whether an assignment target stands for the whole assigned value, or only
// for a part of it (an element of a tuple target, a loop variable): only a
// whole value gives the target a type equivalence.
enum tTargetPart : bool { kWholeValue = false, kPartOfValue = true };

static PyObject* s_return_name = nullptr;  // "return"

static int IsDottedNameExpr(tVisitContext* ctx, PyObject* expression) {
  // Walks down the Getattr chain iteratively, so a long chain needs no stack.
  PyRef cur = PyRef::NewRef(expression);
  for (;;) {
    if (IsExactStr(cur.get()) || IsNodeType(cur.get(), "Name")) return 1;
    if (!IsNodeType(cur.get(), "Getattr")) return 0;
    PyRef inner = GetGetattrExpr(ctx, cur.get());
    if (!inner) {
      // A malformed Getattr is simply not a dotted name.
      return ClearMissingChild() ? 0 : -1;
    }
    cur = std::move(inner);
  }
}

static int IsCalledDottedNameExpr(tVisitContext* ctx, PyObject* expression) {
  if (!IsNodeType(expression, "CallFunc")) return 0;
  PyRef callee = GetCallFuncObject(ctx, expression);
  if (!callee) return ClearMissingChild() ? 0 : -1;
  return IsDottedNameExpr(ctx, callee.get());
}

// The text of a dotted name expression: a bare string stands for itself, any
// node is written by SynthesizeExpSource.
static PyRef DottedNameSource(tVisitContext* ctx, PyObject* expression) {
  if (IsExactStr(expression)) return PyRef::NewRef(expression);
  return SynthesizeExpSource(ctx->self->name_pool, expression);
}

static int AppendEquivForExpr(tVisitContext* ctx, PyObject* name, PyObject* expression) {
  PyRef literal = GetLiteralInstanceTypeName(ctx->self->name_pool, expression);
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
    if (text.get() == Py_None) return 0;
    if (Funcs(ctx)->append_type_equiv(ctx->logical, name, text.get()) != 0) return -1;
  }
  return 0;
}

static int ProcessSingleTarget(tVisitContext* ctx, PyObject* target, PyObject* expression, tTargetPart part) {
  int dotted = IsDottedNameExpr(ctx, target);
  if (dotted <= 0) return dotted;
  PyRef name = DottedNameSource(ctx, target);
  if (!name) return -1;
  if (name.get() == Py_None) return 0;  // no text: no fact
  if (Funcs(ctx)->append_attrib(ctx->logical, name.get()) != 0) return -1;
  if (part == kWholeValue && AppendEquivForExpr(ctx, name.get(), expression) < 0) return -1;
  return 0;
}

static int ProcessGenericTargets(tVisitContext* ctx, PyObject* targets, PyObject* expression, tTargetPart part) {
  if (targets == Py_None) return 0;
  if (!IsNodeType(targets, "Tuple")) return ProcessSingleTarget(ctx, targets, expression, part);

  PyRef elements = GetTupleElements(ctx, targets);
  if (!elements) return -1;
  if (!IsTupleOrList(elements.get())) {
    SetTreeShapeError("Tuple", "elements", "a tuple or list", elements.get());
    return -1;
  }
  if (Py_EnterRecursiveCall(" while processing assignment targets")) return -1;
  int rc = 0;
  for (Py_ssize_t i = 0;; ++i) {
    PyRef element = SeqItem(elements.get(), i);
    if (!element) break;
    if (ProcessGenericTargets(ctx, element.get(), expression, kPartOfValue) < 0) {
      rc = -1;
      break;
    }
  }
  Py_LeaveRecursiveCall();
  return rc;
}

static int VisitReturnDirect(tVisitContext* ctx) {
  if (CachedString(&s_return_name, "return") == nullptr) return -1;
  PyRef expression = GetReturnStmtExpr(ctx, ctx->primary_node);
  if (!expression) return -1;
  if (expression.get() == Py_None) return 1;
  PyRef name = PoolString(ctx->self->name_pool, PyRef::NewRef(s_return_name));
  if (!name || AppendEquivForExpr(ctx, name.get(), expression.get()) < 0) return -1;
  return 1;
}

static int VisitAssignDirect(tVisitContext* ctx) {
  PyRef targets = GetAssignStmtTargets(ctx, ctx->primary_node);
  if (!targets) return -1;
  PyRef expression = GetAssignStmtExpr(ctx, ctx->primary_node);
  if (!expression) return -1;
  if (ProcessGenericTargets(ctx, targets.get(), expression.get(), kWholeValue) < 0) return -1;
  return 1;
}

static int VisitForDirect(tVisitContext* ctx) {
  PyRef targets = GetForStmtTargets(ctx, ctx->primary_node);
  if (!targets) return -1;
  PyRef expression = GetForStmtExpr(ctx, ctx->primary_node);
  if (!expression) return -1;
  // Loop targets stand for elements of the sequence, never for all of it.
  if (ProcessGenericTargets(ctx, targets.get(), expression.get(), kPartOfValue) < 0) return -1;
  return 1;
}

// ===========================================================================
// Import visitors
// ===========================================================================

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

static PyObject* s_fAnalysisFactory = nullptr;
static PyObject* s_FindAnalysisByName = nullptr;
static PyObject* s_fPackageDir = nullptr;

// The attributes are read on every import line, by names made once.
static int GetImportHost(tVisitContext* ctx, tImportHost* host) {
  if (CachedString(&s_fAnalysisFactory, "fAnalysisFactory") == nullptr ||
      CachedString(&s_FindAnalysisByName, "FindAnalysisByName") == nullptr ||
      CachedString(&s_fPackageDir, "fPackageDir") == nullptr)
    return -1;
  PyObject* own = ctx->self->mod_analysis;
  host->factory = PyRef::Steal(PyObject_GetAttr(own, s_fAnalysisFactory));
  if (!host->factory) return -1;
  host->find_proc = PyRef::Steal(PyObject_GetAttr(host->factory.get(), s_FindAnalysisByName));
  if (!host->find_proc) return -1;
  host->pkg_dir = PyRef::Steal(PyObject_GetAttr(own, s_fPackageDir));
  if (!host->pkg_dir) return -1;
  return 0;
}

static int AppendImportedAttrib(tVisitContext* ctx, PyObject* attrib, PyObject* mod, PyObject* in_mod) {
  PyRef entry = PyRef::Steal(PyTuple_Pack(3, attrib, mod, in_mod));
  if (!entry) return -1;
  return Funcs(ctx)->append_attrib(ctx->logical, entry.get()) != 0 ? -1 : 0;
}

static int FindModuleAndAppend(tVisitContext* ctx, PyObject* attrib_obj, PyObject* modname, PyObject* in_mod_obj,
                               PyObject* find_proc, PyObject* pkg_dir) {
  PyRef found = PyRef::Steal(PyObject_CallFunctionObjArgs(find_proc, modname, pkg_dir, nullptr));
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
  if (text == nullptr) return ClearExpectedError(PyExc_UnicodeEncodeError) ? 0 : -1;  // no text: skipped
  const char* dot = static_cast<const char*>(std::memchr(text, '.', static_cast<size_t>(len)));
  PyRef modname;
  const char* remainder = text + len;
  if (dot == nullptr) {
    modname = PyRef::NewRef(dotted);
  } else {
    modname = PyRef::Steal(PyUnicode_FromStringAndSize(text, dot - text));
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
  PyRef local = PyRef::Steal(PyObject_GetAttr(attrib, s_fLocalName));
  if (!local) return -1;
  // Star imports record only names made of ASCII letters, digits and "_".
  int simple = IsSimpleImportedName(local.get());
  if (simple <= 0) return simple;
  if (!IsExactStr(local.get())) return 0;
  return AppendImportedAttrib(ctx, local.get(), mod, local.get());
}

// Calls "Thaw" on the own analysis while a failure is pending.  As with a
// "finally" clause in Python, a failing Thaw replaces the pending exception,
// which becomes its context.
static void ThawKeepingError(PyObject* own) {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyRef result = PyRef::Steal(PyObject_CallMethodNoArgs(own, s_Thaw));
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
    PyRef frozen_result = PyRef::Steal(PyObject_CallMethodNoArgs(own, s_Freeze));
    if (!frozen_result) return -1;
  }
  // From here on "Thaw" is called exactly once, whatever happens.
  PyRef attribs = PyRef::Steal(
      PyObject_CallMethodObjArgs(mod, s_GetScopeAttributes, s_empty_str, s_int_one, s_int_zero, nullptr));
  if (!attribs) {
    ThawKeepingError(own);
    return -1;
  }
  PyRef frozen = PyRef::Steal(PyObject_CallMethodNoArgs(mod, s_IsFrozen));
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
    PyRef thawed = PyRef::Steal(PyObject_CallMethodNoArgs(own, s_Thaw));
    if (!thawed) return -1;
  }
  if (!IsTupleOrList(attribs.get())) return 0;
  for (Py_ssize_t i = 0;; ++i) {
    PyRef attrib = SeqItem(attribs.get(), i);
    if (!attrib) return 0;
    if (ProcessForeignAttrib(ctx, attrib.get(), mod) < 0) return -1;
  }
}

static int VisitImportDirect(tVisitContext* ctx) {
  tImportHost host;
  if (GetImportHost(ctx, &host) < 0) return -1;
  PyRef ids = GetImportNames(ctx, ctx->primary_node);
  if (!ids) return -1;
  if (!IsExactTuple(ids.get())) {
    SetTreeShapeError("Import", "names", "a tuple", ids.get());
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(ids.get()); ++i) {
    if (ProcessSingleImportName(ctx, PyTuple_GET_ITEM(ids.get(), i), host.find_proc.get(), host.pkg_dir.get()) <
        0) {
      return -1;
    }
  }
  return 0;
}

// A single name whose first character is "*" (the rest is not looked at).
static bool IsStarImportNames(PyObject* names) {
  if (PyTuple_GET_SIZE(names) != 1) return false;
  PyObject* name = PyTuple_GET_ITEM(names, 0);
  return IsExactStr(name) && PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '*';
}

static int VisitFromImportDirect(tVisitContext* ctx) {
  tImportHost host;
  if (GetImportHost(ctx, &host) < 0) return -1;
  PyRef modname = GetFromImportModuleName(ctx, ctx->primary_node);
  if (!modname) return -1;
  PyRef names = GetFromImportNames(ctx, ctx->primary_node);
  if (!names) return -1;
  if (!IsExactTuple(names.get())) {
    SetTreeShapeError("From", "names", "a tuple", names.get());
    return -1;
  }
  PyRef mod =
      PyRef::Steal(PyObject_CallFunctionObjArgs(host.find_proc.get(), modname.get(), host.pkg_dir.get(), nullptr));
  if (!mod) return -1;
  if (IsStarImportNames(names.get())) {
    if (mod.get() != Py_None && ProcessFromImportStar(ctx, mod.get()) < 0) return -1;
    return 0;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(names.get()); ++i) {
    PyObject* name = PyTuple_GET_ITEM(names.get(), i);
    if (!IsExactStr(name)) continue;
    if (AppendImportedAttrib(ctx, name, mod.get(), name) < 0) return -1;
  }
  return 0;
}

// ===========================================================================
// Definition visitors
// ===========================================================================

static PyRef FindAllAncestorScopesDirect(tLogicalLineFunctionTable* logical_funcs, PyObject* logical_list,
                                         PyObject* logical) {
  PyRef result = PyRef::Steal(PyList_New(0));
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
// in a name character.  Lines without a name add nothing.  A name with no
// UTF-8 form fails with UnicodeEncodeError.
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

// None when a class name on the way has no UTF-8 form (the instance gets no
// name, and so no equivalence), else the failure.
static PyRef NoInstanceName() {
  return ClearExpectedError(PyExc_UnicodeEncodeError) ? PyRef::NewRef(Py_None) : PyRef();
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
      if (AppendLocalScopeName(&buffer, scope) < 0) return NoInstanceName();
    }
  }
  if (AppendLocalScopeName(&buffer, class_logical) < 0) return NoInstanceName();
  if (AppendToCharBuffer(&buffer, ":") < 0) return {};
  return GetStringFromPool(ctx->self->name_pool, buffer.ptr);
}

static int VisitFunctionDefDirect(tVisitContext* ctx) {
  tLogicalLineFunctionTable* funcs = Funcs(ctx);
  PyRef argnames = GetFunctionDefArgNames(ctx, ctx->primary_node);
  if (!argnames) return -1;
  if (!IsExactTuple(argnames.get())) {
    SetTreeShapeError("Function", "argument names", "a tuple", argnames.get());
    return -1;
  }
  Py_ssize_t count = PyTuple_GET_SIZE(argnames.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (funcs->append_arg_name(ctx->logical, PyTuple_GET_ITEM(argnames.get(), i)) != 0) return -1;
  }
  PyObject* first_arg = count > 0 ? PyTuple_GET_ITEM(argnames.get(), 0) : nullptr;
  if (first_arg != nullptr && IsExactStr(first_arg)) {
    PyRef parent = FindScopeForLineDirect(funcs, ctx->self->logical_list, ctx->logical);
    if (!parent) return -1;
    if (parent.get() != Py_None) {
      if (!funcs->check(parent.get())) {
        PyErr_BadInternalCall();
        return -1;
      }
      if (AsLogical(parent.get())->type == kClassDefIndex) {
        // A method: its first argument is an instance of the class.
        PyRef instance_name = GetFullInstanceNameForLogical(ctx, parent.get());
        if (!instance_name) return -1;
        if (instance_name.get() == Py_None) return 0;
        if (funcs->append_arg_type_equiv(ctx->logical, first_arg, instance_name.get()) != 0) return -1;
      }
    }
  }
  return 0;
}

static int VisitClassDefDirect(tVisitContext* ctx) {
  PyRef bases = GetClassDefBaseNames(ctx, ctx->primary_node);
  if (!bases) return -1;
  if (!IsExactTuple(bases.get())) {
    SetTreeShapeError("Class", "bases", "a tuple", bases.get());
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(bases.get()); ++i) {
    PyRef text = SynthesizeExpSource(ctx->self->name_pool, PyTuple_GET_ITEM(bases.get(), i));
    if (!text) return -1;
    if (text.get() == Py_None) continue;
    if (Funcs(ctx)->append_base_class_name(ctx->logical, text.get()) != 0) return -1;
  }
  return 0;
}

// ===========================================================================
// Call visitor and isinstance facts
// ===========================================================================

static int IsNodeSpecificName(tVisitContext*, PyObject* node, const char* name) {
  if (IsExactTuple(node) && PyTuple_GET_SIZE(node) >= 1 && IsExactStr(PyTuple_GET_ITEM(node, 0))) {
    return PyTuple_GET_SIZE(node) >= 2 && NodeTextEquals(PyTuple_GET_ITEM(node, 0), "Name") &&
           NodeTextEquals(PyTuple_GET_ITEM(node, 1), name);
  }
  PyRef value = PyRef::Steal(PyObject_GetAttrString(node, "name"));
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
    SetTreeShapeError("CallFunc", "arguments", "a tuple", args.get());
    return -1;
  }
  if (PyTuple_GET_SIZE(args.get()) != 2) return 0;
  PyRef one = SynthesizeExpSource(ctx->self->name_pool, PyTuple_GET_ITEM(args.get(), 0));
  if (!one) return -1;
  PyRef two = SynthesizeInstanceTypeName(ctx->self->name_pool, PyTuple_GET_ITEM(args.get(), 1));
  if (!two) return -1;
  if (one.get() == Py_None || two.get() == Py_None) return 0;
  return Funcs(ctx)->append_type_equiv(ctx->logical, one.get(), two.get()) != 0 ? -1 : 0;
}

static int VisitCallFuncDirect(tVisitContext* ctx) {
  if (FindIsInstanceCalls(ctx, ctx->primary_node) < 0) return -1;
  return 1;
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

using tVisitorBody = int (*)(tVisitContext*);

// A visitor as a method: (node, (logical, mod)) -> 1 to walk the node's
// children, 0 not to.
template <tVisitorBody Body>
static PyObject* VisitorMethod(PyObject* self, PyObject* args) {
  tVisitContext ctx;
  if (SetUpVisitContext(self, args, &ctx) < 0) return nullptr;
  int rc = Body(&ctx);
  if (rc < 0) return nullptr;
  return NewTruth(rc);
}

#define STD_VISITOR(name) {#name, VisitorMethod<name##Direct>, METH_VARARGS, name##_doc}

static PyMethodDef kStdVisitorsMethods[] = {
    STD_VISITOR(VisitReturn),      STD_VISITOR(VisitAssign),   STD_VISITOR(VisitFor),
    STD_VISITOR(VisitFunctionDef), STD_VISITOR(VisitClassDef), STD_VISITOR(VisitCallFunc),
    STD_VISITOR(VisitImport),      STD_VISITOR(VisitFromImport), {nullptr, nullptr, 0, nullptr},
};

// The bodies of the methods above, in the same order.
static const tVisitorBody kStdVisitorBodies[] = {
    VisitReturnDirect,   VisitAssignDirect,   VisitForDirect,    VisitFunctionDefDirect,
    VisitClassDefDirect, VisitCallFuncDirect, VisitImportDirect, VisitFromImportDirect,
};

static std::array<PyObject**, 3> StdVisitorsMembers(tStdVisitors* visitors) {
  return {&visitors->mod_analysis, &visitors->name_pool, &visitors->logical_list};
}
using tStdVisitorsGc = GcObject<tStdVisitors, StdVisitorsMembers>;

PyTypeObject kStdVisitorsType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "StdVisitors",
    .tp_basicsize = sizeof(tStdVisitors),
    .tp_itemsize = 0,
    .tp_dealloc = tStdVisitorsGc::Dealloc,
    .tp_getattro = PyObject_GenericGetAttr,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = tStdVisitorsGc::Traverse,
    .tp_clear = tStdVisitorsGc::Clear,
    .tp_methods = kStdVisitorsMethods,
    .tp_free = PyObject_GC_Del,
};

PyRef CreateStdVisitorsDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* logical_list,
                              tLogicalLineFunctionTable* table) {
  if (!IsClassInstance(mod_analysis) || !IsExactDict(name_pool) || !IsExactList(logical_list)) {
    PyErr_SetString(PyExc_TypeError, "Incorrect type of StdVisitors constructor");
    return {};
  }
  if (ReadyTypeOnce(&kStdVisitorsType) < 0) return {};
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
  return PyRef::Steal(reinterpret_cast<PyObject*>(visitors));
}

static int SetDictEntryToAttrib(PyObject* dict, const char* key, PyObject* obj, const char* attr_name) {
  PyRef value = PyRef::Steal(PyObject_GetAttrString(obj, attr_name));
  if (!value) return -1;
  return PyDict_SetItemString(dict, key, value.get());
}

PyRef CreateStdWalkerDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* line_list,
                            tLogicalLineFunctionTable* funcs) {
  PyRef visitors = CreateStdVisitorsDirect(mod_analysis, name_pool, line_list, funcs);
  if (!visitors) return PyRef();
  PyRef dict = PyRef::Steal(PyDict_New());
  if (!dict) return PyRef();
  static const struct {
    const char* key;
    const char* method;
  } kEntries[] = {
      {"CallFunc", "VisitCallFunc"}, {"Return", "VisitReturn"},         {"Assign", "VisitAssign"},
      {"For", "VisitFor"},           {"Function", "VisitFunctionDef"},  {"Class", "VisitClassDef"},
      {"Import", "VisitImport"},     {"From", "VisitFromImport"},
  };
  for (const auto& entry : kEntries) {
    if (SetDictEntryToAttrib(dict.get(), entry.key, visitors.get(), entry.method) != 0) return PyRef();
  }
  return CreateNodeWalkerDirect(dict.get());
}

// The visitors of the standard walk procedure `walk_proc` when each object
// of its chain (the bound Walk method, the walker, the visit dictionary, the
// eight bound visitor methods, the visitors) is held by its owner in the
// chain alone, as SetLogicalList builds it; else null.
static tStdVisitors* PrivateStdVisitors(PyObject* walk_proc) {
  PyObject* dict = StdWalkVisitDict(walk_proc);
  if (dict == nullptr || Py_REFCNT(walk_proc) != 1 || Py_REFCNT(PyCFunction_GET_SELF(walk_proc)) != 1 ||
      Py_REFCNT(dict) != 1 || PyDict_GET_SIZE(dict) != static_cast<Py_ssize_t>(std::size(kStdVisitorBodies)))
    return nullptr;
  PyObject* owner = nullptr;
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyCFunction_CheckExact(value) || Py_REFCNT(value) != 1) return nullptr;
    PyObject* self = PyCFunction_GET_SELF(value);
    if (self == nullptr || Py_TYPE(self) != &kStdVisitorsType || (owner != nullptr && owner != self)) return nullptr;
    owner = self;
  }
  if (owner == nullptr || Py_REFCNT(owner) != PyDict_GET_SIZE(dict)) return nullptr;
  return reinterpret_cast<tStdVisitors*>(owner);
}

void UntrackStdWalk(PyObject* walk_proc) {
  tStdVisitors* visitors = PrivateStdVisitors(walk_proc);
  if (visitors == nullptr) return;
  PyObject* dict = StdWalkVisitDict(walk_proc);
  PyObject *key, *value;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) PyObject_GC_UnTrack(value);
  PyObject_GC_UnTrack(dict);
  PyObject_GC_UnTrack(PyCFunction_GET_SELF(walk_proc));
  PyObject_GC_UnTrack(walk_proc);
  PyObject_GC_UnTrack(visitors);
}

int TraverseStdWalk(PyObject* walk_proc, visitproc visit, void* arg) {
  tStdVisitors* visitors = PrivateStdVisitors(walk_proc);
  if (visitors == nullptr || PyObject_GC_IsTracked(reinterpret_cast<PyObject*>(visitors))) return 0;
  for (PyObject** member : StdVisitorsMembers(visitors)) Py_VISIT(*member);
  return 0;
}

int CallStdVisitorDirect(PyObject* visitor, PyObject* node, PyObject* logical) {
  if (!PyCFunction_CheckExact(visitor)) return kNotStdVisitor;
  PyObject* owner = PyCFunction_GET_SELF(visitor);
  if (owner == nullptr || Py_TYPE(owner) != &kStdVisitorsType) return kNotStdVisitor;
  PyCFunction method = PyCFunction_GET_FUNCTION(visitor);
  for (size_t i = 0; i < std::size(kStdVisitorBodies); ++i) {
    if (kStdVisitorsMethods[i].ml_meth != method) continue;
    tVisitContext ctx;
    ctx.self = reinterpret_cast<tStdVisitors*>(owner);
    ctx.logical = logical;
    ctx.primary_node = node;
    return kStdVisitorBodies[i](&ctx);
  }
  return kNotStdVisitor;
}
