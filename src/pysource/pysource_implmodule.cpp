// pysource_impl: the module entry, the analyzer object PySourceImpl (creation,
// tear-down, cyclic garbage collection), the method guard and the method
// table, the logical list and the future flags.
#include "pysource_impl.h"

#include "astinspect.h"
#include "attribsearch.h"
#include "changes.h"
#include "linedriver.h"
#include "scopes.h"
#include "serialize.h"
#include "typequeries.h"

#include <array>
#include <new>

extern PyTypeObject kPySourceImplType;

// The scope every analyzer method runs in (see GuardedMethod): it refuses a
// destroyed analyzer, counts the method in active_method_count (which the
// host reads), marks the analyzer busy so that destroy() refuses to tear it
// down under a running method, and holds a reference to it so that host code
// called back from the method cannot free it.
class MethodScope {
 public:
  explicit MethodScope(tPySourceImpl* self) : self_(nullptr) {
    if (!self->name_pool || !self->mod_analysis) {
      PyErr_SetString(PyExc_SystemError, "PySourceImpl method called after destroy()");
      return;
    }
    self_ = self;
    Py_INCREF(self_);
    ++self_->running_methods;
    ++self_->active_method_count;
  }
  ~MethodScope() {
    if (self_ == nullptr) return;
    --self_->active_method_count;
    --self_->running_methods;
    Py_DECREF(self_);
  }
  explicit operator bool() const { return self_ != nullptr; }
  MethodScope(const MethodScope&) = delete;
  MethodScope& operator=(const MethodScope&) = delete;

 private:
  tPySourceImpl* self_;
};

using tMethodBody = PyObject* (*)(tPySourceImpl*, PyObject*);

// The entry of every method in the method table but destroy(): the body runs
// inside a MethodScope.
template <tMethodBody Body>
static PyObject* GuardedMethod(PyObject* self, PyObject* args) {
  tPySourceImpl* impl = reinterpret_cast<tPySourceImpl*>(self);
  MethodScope scope(impl);
  if (!scope) return nullptr;
  return Body(impl, args);
}

// ---------------------------------------------------------------------------
// Logical line module interface
// ---------------------------------------------------------------------------

static void ClearLogicalModuleInfo(tLogicalModuleInfo* info) {
  Py_CLEAR(info->logical_module);
  Py_CLEAR(info->logical_type);
  Py_CLEAR(info->class_attrib_kind);
  Py_CLEAR(info->function_attrib_kind);
  Py_CLEAR(info->generic_attrib_kind);
  Py_CLEAR(info->imported_attrib_kind);
  std::memset(&info->funcs, 0, sizeof(info->funcs));
}

static int SetupLogicalModuleInfo(tLogicalModuleInfo* mod_info, PyObject* module) {
  if (!PyModule_CheckExact(module)) {
    PyErr_BadInternalCall();
    return -1;
  }
  Py_INCREF(module);
  ReplaceMember(&mod_info->logical_module, module);

  PyRef capsule = PyRef::Steal(PyObject_CallMethod(module, "GetDirectLogicalLineFunctionTable", nullptr));
  if (!capsule) return -1;
  // Only a capsule under the table's own name is taken: any other pointer
  // would be called as the table's functions.
  if (!PyCapsule_IsValid(capsule.get(), kLogicalLineTableCapsuleName)) {
    PyErr_Format(PyExc_TypeError, "Bad logical line function table: expected a capsule named %s, got %R",
                 kLogicalLineTableCapsuleName, capsule.get());
    return -1;
  }
  void* table = PyCapsule_GetPointer(capsule.get(), kLogicalLineTableCapsuleName);
  if (table == nullptr) return -1;
  std::memcpy(&mod_info->funcs, table, sizeof(mod_info->funcs));
  capsule.reset();

  if (mod_info->funcs.get_type_object == nullptr) {
    PyErr_SetString(PyExc_TypeError, "Bad logical line function table");
    return -1;
  }
  PyObject* type = mod_info->funcs.get_type_object();
  if (type == nullptr) return -1;
  ReplaceMember(&mod_info->logical_type, type);

  struct {
    const char* name;
    PyObject** slot;
  } kinds[] = {
      {"kClassAttribKind", &mod_info->class_attrib_kind},
      {"kFunctionAttribKind", &mod_info->function_attrib_kind},
      {"kGenericAttribKind", &mod_info->generic_attrib_kind},
      {"kImportedAttribKind", &mod_info->imported_attrib_kind},
  };
  for (auto& kind : kinds) {
    PyObject* value = PyObject_GetAttrString(module, kind.name);
    if (value == nullptr) return -1;
    ReplaceMember(kind.slot, value);
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Creation and tear-down
// ---------------------------------------------------------------------------

// The record's handles, in the order they are emptied.
static std::array<PyRef*, 8> OwnedHandles(tPySourceImpl* self) {
  return {&self->mod_analysis, &self->grammar,         &self->xform_to_ast,      &self->walk_proc,
          &self->logical_list, &self->attribref_class, &self->from_future_flags, &self->name_pool};
}

static void ClearPySourceImplDirect(tPySourceImpl* self) {
  for (PyRef* handle : OwnedHandles(self)) handle->reset();
  ClearLogicalModuleInfo(&self->logical_mod);
  ClearSrcInfoCache(&self->info_cache);
  self->parsed_count = 0;
  self->active_method_count = 0;
}

static int PySourceImplTraverse(PyObject* obj, visitproc visit, void* arg) {
  tPySourceImpl* self = reinterpret_cast<tPySourceImpl*>(obj);
  // The private chains first: they are reported only while the analyzer's
  // references are the only ones, which a visit that keeps what it is shown
  // (gc.get_referents) changes.
  if (int err = TraversePrivateTransformer(self, visit, arg)) return err;
  if (int err = TraverseStdWalk(self->walk_proc.get(), visit, arg)) return err;
  for (PyRef* handle : OwnedHandles(self)) Py_VISIT(handle->get());
  Py_VISIT(self->logical_mod.logical_module);
  Py_VISIT(self->logical_mod.logical_type);
  Py_VISIT(self->logical_mod.class_attrib_kind);
  Py_VISIT(self->logical_mod.function_attrib_kind);
  Py_VISIT(self->logical_mod.generic_attrib_kind);
  Py_VISIT(self->logical_mod.imported_attrib_kind);
  Py_VISIT(self->info_cache.name_cache);
  Py_VISIT(self->info_cache.per_scope_cache);
  return 0;
}

// The collector breaks a cycle through the analyzer as destroy() would.  It
// never reaches an analyzer under a running method: the method's own
// reference keeps it reachable.
static int PySourceImplClear(PyObject* obj) {
  ClearPySourceImplDirect(reinterpret_cast<tPySourceImpl*>(obj));
  return 0;
}

static void PySourceImplDealloc(PyObject* obj) {
  tPySourceImpl* self = reinterpret_cast<tPySourceImpl*>(obj);
  PyObject_GC_UnTrack(obj);
  ClearPySourceImplDirect(self);
  for (PyRef* handle : OwnedHandles(self)) handle->~PyRef();
  PyObject_GC_Del(obj);
}

static PyObject* CreatePySourceImpl(PyObject* /*module*/, PyObject* args) {
  PyObject *mod_analysis, *grammar, *xformer, *name_pool, *attribref_class, *logical_module;
  if (!PyArg_ParseTuple(args, "OOOO!OO!:CreatePySourceImpl", &mod_analysis, &grammar, &xformer, &PyDict_Type,
                        &name_pool, &attribref_class, &PyModule_Type, &logical_module))
    return nullptr;
  if (!IsClassInstance(mod_analysis)) {
    SetArgKindError("CreatePySourceImpl", 1, "class instance", mod_analysis);
    return nullptr;
  }
  if (!IsClassObject(attribref_class)) {
    SetArgKindError("CreatePySourceImpl", 5, "class", attribref_class);
    return nullptr;
  }

  tPySourceImpl* raw = PyObject_GC_New(tPySourceImpl, &kPySourceImplType);
  if (raw == nullptr) return nullptr;
  std::memset(reinterpret_cast<char*>(raw) + sizeof(PyObject), 0, sizeof(tPySourceImpl) - sizeof(PyObject));
  for (PyRef* handle : OwnedHandles(raw)) new (handle) PyRef();
  PyRef self_ref = PyRef::Steal(reinterpret_cast<PyObject*>(raw));  // dealloc clears a half-built analyzer
  InitSrcInfoCache(&raw->info_cache);

  raw->logical_cache_needs_update = 1;
  raw->mod_analysis = PyRef::NewRef(mod_analysis);
  raw->grammar = PyRef::NewRef(grammar);
  raw->name_pool = PyRef::NewRef(name_pool);
  raw->attribref_class = PyRef::NewRef(attribref_class);

  raw->xform_to_ast = PyRef::Steal(PyObject_GetAttrString(xformer, "TransformNode"));
  if (!raw->xform_to_ast) return nullptr;
  if (SetupLogicalModuleInfo(&raw->logical_mod, logical_module) != 0) return nullptr;
  raw->from_future_flags = PyRef::Steal(PyDict_New());
  if (!raw->from_future_flags) return nullptr;
  PyObject_GC_Track(self_ref.get());
  return self_ref.release();
}

// ---------------------------------------------------------------------------
// IsDottedName and IndexForLineno
// ---------------------------------------------------------------------------

static inline bool IsAsciiAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static inline bool IsAsciiAlnum(unsigned char c) { return IsAsciiAlpha(c) || (c >= '0' && c <= '9'); }

static int IsDottedNameDirect(PyObject* obj) {
  if (!IsExactStr(obj)) return 0;
  const unsigned char* text = reinterpret_cast<const unsigned char*>(StrTextOrEmpty(obj));
  if (!(IsAsciiAlpha(text[0]) || text[0] == '_')) return 0;
  for (const unsigned char* p = text + 1; *p != '\0'; ++p) {
    if (!(IsAsciiAlnum(*p) || *p == '_' || *p == '.')) return 0;
  }
  return 1;
}

static PyObject* IsDottedName(PyObject* /*module*/, PyObject* args) {
  PyObject* obj;
  if (!PyArg_ParseTuple(args, "O:IsDottedName", &obj)) return nullptr;
  return NewTruth(IsDottedNameDirect(obj));
}

static Py_ssize_t IndexForLinenoDirect(tPySourceImpl* self, long lineno) {
  if (!CheckLogicalList(self)) return -1;
  Py_ssize_t lo = 0;
  Py_ssize_t hi = PyList_GET_SIZE(self->logical_list.get());
  while (lo < hi) {
    Py_ssize_t mid = lo + (hi - lo) / 2;
    PyObject* item = PyList_GET_ITEM(self->logical_list.get(), mid);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return -1;
    }
    tLogicalLine* line = AsLogical(item);
    if (line->first_line > lineno) {
      hi = mid;
    } else if (static_cast<long>(line->first_line) + line->line_count - 1 >= lineno) {
      return mid;
    } else {
      lo = mid + 1;
    }
  }
  return hi;
}

// ---------------------------------------------------------------------------
// Logical list and future flags
// ---------------------------------------------------------------------------

static const char SetLogicalList_doc[] = "Set the list of logicals in the module";

static PyObject* SetLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* arg;
  if (!PyArg_ParseTuple(args, "O:SetLogicalList", &arg)) return nullptr;

  self->logical_list.reset();
  self->walk_proc.reset();
  if (arg == Py_None) Py_RETURN_NONE;
  if (!IsExactList(arg)) {
    PyErr_SetString(PyExc_TypeError, "logical_list must be None or a Python list object");
    return nullptr;
  }
  self->logical_list = PyRef::NewRef(arg);
  self->parsed_count = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arg); ++i) {
    PyObject* item = PyList_GET_ITEM(arg, i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "All items in the logical_list must be logical lines");
      self->logical_list.reset();
      return nullptr;
    }
    if (AsLogical(item)->parsed) ++self->parsed_count;
    TrackLogicalListFor(self, item);
  }
  PyRef walker = CreateStdWalkerDirect(self->mod_analysis.get(), self->name_pool.get(), self->logical_list.get(),
                                       &self->logical_mod.funcs);
  PyRef walk = walker ? PyRef::Steal(PyObject_GetAttrString(walker.get(), "Walk")) : PyRef();
  if (!walk) {
    self->logical_list.reset();
    return nullptr;
  }
  self->walk_proc = std::move(walk);
  walker.reset();  // the bound method holds it
  UntrackStdWalk(self->walk_proc.get());
  UntrackPrivateTransformer(self);
  Py_RETURN_NONE;
}

int UpdateFromFutureFlags(tPySourceImpl* self) {
  PyObject* flags = self->from_future_flags.get();
  if (flags == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  Py_ssize_t prior = PyDict_Size(flags);
  if (prior < 0) return -1;
  PyDict_Clear(flags);
  if (self->logical_list) {
    PyRef list = PyRef::NewRef(self->logical_list.get());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
      PyObject* item = PyList_GET_ITEM(list.get(), i);
      if (!IsLogical(self, item)) {
        PyErr_SetString(PyExc_TypeError, "Each element of the logical_list must be a logical line");
        return -1;
      }
      tLogicalLine* line = AsLogical(item);
      if (line->type != kFromImportIndex || line->tok_count != 4 || line->indent != 0) continue;
      PyObject* t1 = line->tok_array[1];
      PyObject* t2 = line->tok_array[2];
      if (!IsExactStr(t1) || !IsExactStr(t2)) {
        PyErr_SetString(PyExc_TypeError, "tokens of a from-import line must be strings");
        return -1;
      }
      if (StrEquals(t1, "__future__") && StrEquals(t2, "import")) {
        PyRef one = PyRef::Steal(PyLong_FromLong(1));
        if (!one || PyDict_SetItem(flags, line->tok_array[3], one.get()) != 0) return -1;
      }
    }
  }
  if (PyDict_GET_SIZE(flags) == 0 && prior == 0) return 0;
  PyRef result = PyRef::Steal(PyObject_CallMethod(self->mod_analysis.get(), "_FromFutureFlagsChanged", nullptr));
  return result ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Small methods: update flag, line index, active-method counter, destroy
// ---------------------------------------------------------------------------

static const char LogicalCacheNeedsUpdate_doc[] = "Called when there are pending updates in the logical cache";

static PyObject* LogicalCacheNeedsUpdate(tPySourceImpl* self, PyObject* /*args*/) {
  self->logical_cache_needs_update = 1;
  Py_RETURN_NONE;
}

static PyObject* IndexForLineno(tPySourceImpl* self, PyObject* args) {
  int lineno;
  if (!PyArg_ParseTuple(args, "i:IndexForLineno", &lineno)) return nullptr;
  Py_ssize_t index = IndexForLinenoDirect(self, lineno);
  if (index < 0) return nullptr;
  return PyLong_FromSsize_t(index);
}

static const char StartActiveMethod_doc[] = "Add 1 to the active method count";

static PyObject* StartActiveMethod(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":StartActiveMethod")) return nullptr;
  ++self->active_method_count;
  Py_RETURN_NONE;
}

static PyObject* FinishActiveMethod(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":FinishActiveMethod")) return nullptr;
  --self->active_method_count;
  Py_RETURN_NONE;
}

static const char destroy_doc[] = "Destroy method to clear circular refs. ";

static PyObject* destroy(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":destroy")) return nullptr;
  if (self->running_methods > 0) {
    PyErr_SetString(PyExc_RuntimeError, "destroy() called while a PySourceImpl method is running");
    return nullptr;
  }
  ClearPySourceImplDirect(self);
  Py_RETURN_NONE;
}

// ---------------------------------------------------------------------------
// Type and module
// ---------------------------------------------------------------------------

#define PYSOURCE_METHOD(name, doc) {#name, GuardedMethod<name>, METH_VARARGS, doc}

static PyMethodDef kPySourceImplMethods[] = {
    PYSOURCE_METHOD(AnalyzeLogical, AnalyzeLogical_doc),
    PYSOURCE_METHOD(ClearAnalysis, nullptr),
    PYSOURCE_METHOD(AnalyzeLogicalList, AnalyzeLogicalList_doc),
    PYSOURCE_METHOD(SearchForAttribs, SearchForAttribs_doc),
    PYSOURCE_METHOD(GetScopeDefForFullName, GetScopeDefForFullName_doc),
    PYSOURCE_METHOD(GetFullNameForScopeDef, GetFullNameForScopeDef_doc),
    PYSOURCE_METHOD(LogicalCacheModified, LogicalCacheModified_doc),
    PYSOURCE_METHOD(GetBodyOfScope, GetBodyOfScope_doc),
    PYSOURCE_METHOD(AstForLogicalLine, AstForLogicalLine_doc),
    PYSOURCE_METHOD(ParseLogicalLine, ParseLogicalLine_doc),
    PYSOURCE_METHOD(FindScopeForLine, FindScopeForLine_doc),
    PYSOURCE_METHOD(LogicalCacheNeedsUpdate, LogicalCacheNeedsUpdate_doc),
    PYSOURCE_METHOD(SetLogicalList, SetLogicalList_doc),
    PYSOURCE_METHOD(ClearCache, ClearCache_doc),
    PYSOURCE_METHOD(RebuildCache, RebuildCache_doc),
    PYSOURCE_METHOD(FindTypeEquivs, FindTypeEquivs_doc),
    PYSOURCE_METHOD(FindInstAttribTypeEquivs, FindInstAttribTypeEquivs_doc),
    PYSOURCE_METHOD(GetInstanceAttributes, GetInstanceAttributes_doc),
    PYSOURCE_METHOD(SerializeLogicalList, SerializeLogicalList_doc),
    PYSOURCE_METHOD(DeserializeLogicalList, DeserializeLogicalList_doc),
    PYSOURCE_METHOD(IndexForLineno, nullptr),
    PYSOURCE_METHOD(StartActiveMethod, StartActiveMethod_doc),
    PYSOURCE_METHOD(FinishActiveMethod, nullptr),
    // Tearing down twice is harmless, so destroy() runs unguarded.
    {"destroy", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(destroy)), METH_VARARGS,
     destroy_doc},
    {nullptr, nullptr, 0, nullptr},
};

static PyObject* PySourceImplGetAttr(PyObject* obj, PyObject* name) {
  tPySourceImpl* self = reinterpret_cast<tPySourceImpl*>(obj);
  if (IsExactStr(name)) {
    if (StrEquals(name, "fActiveMethodCount")) return PyLong_FromLong(self->active_method_count);
    if (StrEquals(name, "fParsedCount")) return PyLong_FromLong(self->parsed_count);
    if (StrEquals(name, "fFromFutureFlags")) {
      if (!self->from_future_flags) Py_RETURN_NONE;
      return PyRef::NewRef(self->from_future_flags.get()).release();
    }
  }
  return PyObject_GenericGetAttr(obj, name);
}

PyTypeObject kPySourceImplType = {
    PyVarObject_HEAD_INIT(nullptr, 0) "PySourceImpl", /* tp_name */
    sizeof(tPySourceImpl),                             /* tp_basicsize */
};

static PyMethodDef kModuleMethods[] = {
    {"CreatePySourceImpl", CreatePySourceImpl, METH_VARARGS,
     "Create a new python source analyzer.  Takes the following arguments:\n"
     "    mod_analysis: analysis.CPySourceAnalysis -- analysis of module\n"
     "    grammar -- Grammar used to parse lines\n"
     "    xformer -- Node transformer used to convert to AST\n"
     "    name_pool: PyDict -- dictionary containing shared strings\n"},
    {"IsDottedName", IsDottedName, METH_VARARGS,
     "Returns whether name is a valid Python dotted name with no spaces"},
    {nullptr, nullptr, 0, nullptr},
};

static PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT, "pysource_impl", nullptr, -1, kModuleMethods,
};

PyMODINIT_FUNC PyInit_pysource_impl(void) {
  kPySourceImplType.tp_dealloc = PySourceImplDealloc;
  kPySourceImplType.tp_getattro = PySourceImplGetAttr;
  kPySourceImplType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  kPySourceImplType.tp_traverse = PySourceImplTraverse;
  kPySourceImplType.tp_clear = PySourceImplClear;
  kPySourceImplType.tp_free = PyObject_GC_Del;
  kPySourceImplType.tp_methods = kPySourceImplMethods;
  if (PyType_Ready(&kPySourceImplType) < 0) return nullptr;
  return PyModule_Create(&kModuleDef);
}
