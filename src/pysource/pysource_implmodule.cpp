// pysource_impl: the module entry, the analyzer object PySourceImpl and its
// methods: the logical list and future flags, parsing a line, the analysis
// driver, scope names, scope definitions and bodies.
#include "pysource_impl.h"

#include <new>

// ---------------------------------------------------------------------------
// The analyzer record
//
// Object members are owned references (or null when absent); the record is a
// C layout object allocated by the interpreter, so they are released
// explicitly by ClearPySourceImplDirect, the one place that tears it down.
// ---------------------------------------------------------------------------

struct tPySourceImpl {
  PyObject_HEAD
  PyObject* mod_analysis;
  PyObject* grammar;
  PyObject* xform_to_ast;
  PyObject* walk_proc;
  int32_t logical_cache_needs_update;
  PyObject* logical_list;
  PyObject* attribref_class;
  int32_t parsed_count;
  int32_t active_method_count;
  PyObject* from_future_flags;
  tLogicalModuleInfo logical_mod;
  PyObject* name_pool;
  tSrcInfoCache info_cache;
  // Methods of this object currently on the C stack.  Unlike
  // active_method_count, the host cannot change it; destroy() refuses to
  // tear the object down under a running method.
  int32_t running_methods;
};

extern PyTypeObject kPySourceImplType;

static constexpr int kFileInputIndex = 257;

static PyObject* s_empty_str = nullptr;
static PyObject* s_pass_tok = nullptr;
static PyObject* s_newline_tok = nullptr;

// The scope every analyzer method runs in (see GuardedMethod): it refuses a
// destroyed analyzer, counts the method in active_method_count (which the
// host reads), marks the analyzer busy so that destroy() refuses to tear it
// down under a running method, and holds a reference to it so that host code
// called back from the method cannot free it.
class MethodScope {
 public:
  explicit MethodScope(tPySourceImpl* self) : self_(nullptr) {
    if (self->name_pool == nullptr || self->mod_analysis == nullptr) {
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

static bool IsLogical(tPySourceImpl* self, PyObject* obj) {
  return self->logical_mod.logical_type != nullptr &&
         reinterpret_cast<PyObject*>(Py_TYPE(obj)) == self->logical_mod.logical_type;
}

static bool CheckLogicalList(tPySourceImpl* self) {
  if (self->logical_list == nullptr) {
    PyErr_SetString(PyExc_AssertionError, "logical_list is NULL");
    return false;
  }
  return true;
}

static PyObject* EmptyStr() { return CachedString(&s_empty_str, ""); }

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

static void ReplaceMember(PyObject** slot, PyObject* owned) {
  PyObject* old = *slot;
  *slot = owned;
  Py_XDECREF(old);
}

int SetupLogicalModuleInfo(tLogicalModuleInfo* mod_info, PyObject* module) {
  if (!PyModule_CheckExact(module)) {
    PyErr_BadInternalCall();
    return -1;
  }
  Py_INCREF(module);
  ReplaceMember(&mod_info->logical_module, module);

  PyRef capsule(PyObject_CallMethod(module, "GetDirectLogicalLineFunctionTable", nullptr));
  if (!capsule) return -1;
  void* table = nullptr;
  if (PyCapsule_CheckExact(capsule.get())) table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
  if (table == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_TypeError, "Bad logical line function table");
    return -1;
  }
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

static void ClearPySourceImplDirect(tPySourceImpl* self) {
  Py_CLEAR(self->mod_analysis);
  Py_CLEAR(self->grammar);
  Py_CLEAR(self->xform_to_ast);
  Py_CLEAR(self->walk_proc);
  Py_CLEAR(self->logical_list);
  Py_CLEAR(self->attribref_class);
  Py_CLEAR(self->from_future_flags);
  Py_CLEAR(self->name_pool);
  ClearLogicalModuleInfo(&self->logical_mod);
  ClearSrcInfoCache(&self->info_cache);
  self->parsed_count = 0;
  self->active_method_count = 0;
}

static int PySourceImplTraverse(PyObject* obj, visitproc visit, void* arg) {
  tPySourceImpl* self = reinterpret_cast<tPySourceImpl*>(obj);
  Py_VISIT(self->mod_analysis);
  Py_VISIT(self->grammar);
  Py_VISIT(self->xform_to_ast);
  Py_VISIT(self->walk_proc);
  Py_VISIT(self->logical_list);
  Py_VISIT(self->attribref_class);
  Py_VISIT(self->from_future_flags);
  Py_VISIT(self->name_pool);
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
  PyObject_GC_UnTrack(obj);
  ClearPySourceImplDirect(reinterpret_cast<tPySourceImpl*>(obj));
  PyObject_GC_Del(obj);
}

// The argument parser's message for an argument of the wrong kind, for the
// kinds it has no type object for (class instance, exact str).
static void SetArgKindError(const char* method, int position, const char* expected, PyObject* arg) {
  PyErr_Format(PyExc_TypeError, "%.200s() argument %d must be %.50s, not %.50s", method, position, expected,
               arg == Py_None ? "None" : Py_TYPE(arg)->tp_name);
}

// An argument that must be exactly a str; false with the parser's TypeError.
static bool CheckExactStrArg(const char* method, int position, PyObject* arg) {
  if (IsExactStr(arg)) return true;
  SetArgKindError(method, position, "str", arg);
  return false;
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
  PyRef self_ref(reinterpret_cast<PyObject*>(raw));  // dealloc clears a half-built analyzer
  InitSrcInfoCache(&raw->info_cache);

  raw->logical_cache_needs_update = 1;
  raw->mod_analysis = PyRef::Borrow(mod_analysis).release();
  raw->grammar = PyRef::Borrow(grammar).release();
  raw->name_pool = PyRef::Borrow(name_pool).release();
  raw->attribref_class = PyRef::Borrow(attribref_class).release();

  raw->xform_to_ast = PyObject_GetAttrString(xformer, "TransformNode");
  if (raw->xform_to_ast == nullptr) return nullptr;
  if (SetupLogicalModuleInfo(&raw->logical_mod, logical_module) != 0) return nullptr;
  raw->from_future_flags = PyDict_New();
  if (raw->from_future_flags == nullptr) return nullptr;
  PyObject_GC_Track(self_ref.get());
  return self_ref.release();
}

// ---------------------------------------------------------------------------
// IsDottedName and IndexForLineno
// ---------------------------------------------------------------------------

static inline bool IsAsciiAlpha(unsigned char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
static inline bool IsAsciiAlnum(unsigned char c) { return IsAsciiAlpha(c) || (c >= '0' && c <= '9'); }

int IsDottedNameDirect(PyObject* obj) {
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

Py_ssize_t IndexForLinenoDirect(tPySourceImpl* self, long lineno) {
  if (!CheckLogicalList(self)) return -1;
  Py_ssize_t lo = 0;
  Py_ssize_t hi = PyList_GET_SIZE(self->logical_list);
  while (lo < hi) {
    Py_ssize_t mid = lo + (hi - lo) / 2;
    PyObject* item = PyList_GET_ITEM(self->logical_list, mid);
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

static int SetDictEntryToAttrib(PyObject* dict, const char* key, PyObject* obj, const char* attr_name) {
  PyRef value(PyObject_GetAttrString(obj, attr_name));
  if (!value) return -1;
  return PyDict_SetItemString(dict, key, value.get());
}

PyRef CreateStdWalkerDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* line_list,
                            PyObject* logical_mod, tLogicalLineFunctionTable* funcs) {
  PyRef visitors = CreateStdVisitorsDirect(mod_analysis, name_pool, line_list, logical_mod, funcs);
  if (!visitors) return PyRef();
  PyRef dict(PyDict_New());
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

static const char SetLogicalList_doc[] = "Set the list of logicals in the module";

static PyObject* SetLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* arg;
  if (!PyArg_ParseTuple(args, "O:SetLogicalList", &arg)) return nullptr;

  Py_CLEAR(self->logical_list);
  Py_CLEAR(self->walk_proc);
  if (arg == Py_None) Py_RETURN_NONE;
  if (!IsExactList(arg)) {
    PyErr_SetString(PyExc_TypeError, "logical_list must be None or a Python list object");
    return nullptr;
  }
  self->logical_list = PyRef::Borrow(arg).release();
  self->parsed_count = 0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(arg); ++i) {
    PyObject* item = PyList_GET_ITEM(arg, i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "All items in the logical_list must be logical lines");
      Py_CLEAR(self->logical_list);
      return nullptr;
    }
    if (AsLogical(item)->parsed) ++self->parsed_count;
  }
  PyRef walker = CreateStdWalkerDirect(self->mod_analysis, self->name_pool, self->logical_list, nullptr,
                                       &self->logical_mod.funcs);
  PyObject* walk = walker ? PyObject_GetAttrString(walker.get(), "Walk") : nullptr;
  if (walk == nullptr) {
    Py_CLEAR(self->logical_list);
    return nullptr;
  }
  self->walk_proc = walk;
  Py_RETURN_NONE;
}

int UpdateFromFutureFlags(tPySourceImpl* self) {
  PyObject* flags = self->from_future_flags;
  if (flags == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  Py_ssize_t prior = PyDict_Size(flags);
  if (prior < 0) return -1;
  PyDict_Clear(flags);
  if (self->logical_list != nullptr) {
    PyRef list = PyRef::Borrow(self->logical_list);
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
        PyRef one(PyLong_FromLong(1));
        if (!one || PyDict_SetItem(flags, line->tok_array[3], one.get()) != 0) return -1;
      }
    }
  }
  if (PyDict_GET_SIZE(flags) == 0 && prior == 0) return 0;
  PyRef result(PyObject_CallMethod(self->mod_analysis, "_FromFutureFlagsChanged", nullptr));
  return result ? 0 : -1;
}

// ---------------------------------------------------------------------------
// Parsing one logical line
// ---------------------------------------------------------------------------

PyRef ParseLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
  if (CachedString(&s_pass_tok, "pass") == nullptr || CachedString(&s_newline_tok, "\n") == nullptr)
    return PyRef();
  if (self->grammar == nullptr) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  tLogicalLine* line = AsLogical(logical);
  line->parsed = 1;
  switch (line->type) {
    case kElifBeginningIndex:
    case kElseBeginningIndex:
    case kExceptIndex:
    case kTryIndex:
    case kFinallyIndex:
      return PyRef::Borrow(Py_None);
    default:
      break;
  }
  PyRef grammar = PyRef::Borrow(self->grammar);
  PyRef parser(PyObject_CallMethod(grammar.get(), "CreateParser", "i", kFileInputIndex));
  if (!parser) return PyRef();
  PyRef add_token(PyObject_GetAttrString(parser.get(), "AddToken"));
  if (!add_token) return PyRef();

  // Hold the line (and so its tokens) while host code runs.
  PyRef keep = PyRef::Borrow(logical);
  char last_fed_first = '\0';
  for (int32_t i = 0; i < line->tok_count; ++i) {
    PyRef tok = PyRef::Borrow(line->tok_array[i]);
    if (!IsExactStr(tok.get())) continue;
    char first = StrTextOrEmpty(tok.get())[0];
    if (first == '#') continue;
    last_fed_first = first == '\0' ? ' ' : first;
    PyRef r(PyObject_CallOneArg(add_token.get(), tok.get()));
    if (!r) return PyRef();
  }
  if (last_fed_first == ':') {
    PyRef r(PyObject_CallOneArg(add_token.get(), s_pass_tok));
    if (!r) return PyRef();
  }
  PyRef r(PyObject_CallOneArg(add_token.get(), s_newline_tok));
  if (!r) return PyRef();
  return PyRef(PyObject_CallMethod(parser.get(), "Finish", nullptr));
}

PyRef AstForLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
  if (self->xform_to_ast == nullptr) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef tree = ParseLogicalLineDirect(self, logical);
  if (!tree || tree.get() == Py_None) return tree;
  PyRef xform = PyRef::Borrow(self->xform_to_ast);
  if (xform.get() == nullptr) {  // destroyed by a host callback during parsing
    PyErr_BadInternalCall();
    return PyRef();
  }
  return PyRef(PyObject_CallOneArg(xform.get(), tree.get()));
}

static const char ParseLogicalLine_doc[] = "Parse a single logical line";

static PyObject* ParseLogicalLine(tPySourceImpl* self, PyObject* args) {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, "O:ParseLogicalLine", &logical)) return nullptr;
  if (!IsLogical(self, logical)) {
    PyErr_SetString(PyExc_TypeError, "Line to parse must be a logical line.");
    return nullptr;
  }
  return ParseLogicalLineDirect(self, logical).release();
}

static const char AstForLogicalLine_doc[] = "Parse a single logical line and return the abstract syntax tree";

static PyObject* AstForLogicalLine(tPySourceImpl* self, PyObject* args) {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, "O:AstForLogicalLine", &logical)) return nullptr;
  if (!IsLogical(self, logical)) {
    PyErr_SetString(PyExc_TypeError, "Argument must be a logical line.");
    return nullptr;
  }
  return AstForLogicalLineDirect(self, logical).release();
}

// ---------------------------------------------------------------------------
// Line analysis driver
// ---------------------------------------------------------------------------

int AnalyzeLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
  tLogicalLine* line = AsLogical(logical);
  if (line->parsed) return 0;
  if (self->walk_proc == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef keep = PyRef::Borrow(logical);
  PyRef walk = PyRef::Borrow(self->walk_proc);
  PyRef mod_analysis = PyRef::Borrow(self->mod_analysis);

  PyRef tree = AstForLogicalLineDirect(self, logical);
  if (!tree) {
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    PyRef local_name(PyObject_GetAttrString(mod_analysis.get(), "fLocalName"));
    return local_name ? 0 : -1;
  }
  if (tree.get() == Py_None) return 0;

  PyRef context(PyTuple_Pack(2, logical, mod_analysis.get()));
  if (!context) return -1;
  PyRef result(PyObject_CallFunctionObjArgs(walk.get(), tree.get(), context.get(), nullptr));
  if (!result) return -1;
  if (line->parsed) {
    ++self->parsed_count;
    if (AddNameDefnsToCache(&self->info_cache, logical) != 0) return -1;
  }
  return 0;
}

int AnalyzeLogicalListDirect(tPySourceImpl* self, PyObject* body_list, int max_count) {
  PyRef list = PyRef::Borrow(body_list);
  int all_parsed = 1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return -1;
    }
    if (AsLogical(item)->parsed) continue;
    if (max_count == 0) return 0;
    PyRef keep = PyRef::Borrow(item);
    if (AnalyzeLogicalLineDirect(self, item) != 0) return -1;
    if (!AsLogical(item)->parsed) all_parsed = 0;
  }
  return all_parsed;
}

static const char AnalyzeLogical_doc[] = "Parse a logical line to fill in analysis fields";

static PyObject* AnalyzeLogical(tPySourceImpl* self, PyObject* args) {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, "O:AnalyzeLogical", &logical)) return nullptr;
  if (!IsLogical(self, logical)) {
    PyErr_SetString(PyExc_TypeError, "Argument must be a logical line.");
    return nullptr;
  }
  if (AnalyzeLogicalLineDirect(self, logical) != 0) return nullptr;
  Py_RETURN_NONE;
}

static PyObject* ClearAnalysis(tPySourceImpl* self, PyObject* args) {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, "O!:ClearAnalysis", reinterpret_cast<PyTypeObject*>(self->logical_mod.logical_type),
                        &logical))
    return nullptr;
  tLogicalLine* line = AsLogical(logical);
  if (!line->parsed) Py_RETURN_NONE;
  line->parsed = 0;
  --self->parsed_count;
  if (RemoveNameDefnsFromCache(&self->info_cache, logical) != 0) return nullptr;
  if (self->logical_mod.funcs.clear_derived_info != nullptr &&
      self->logical_mod.funcs.clear_derived_info(logical) != 0)
    return nullptr;
  Py_RETURN_NONE;
}

static const char AnalyzeLogicalList_doc[] = "Analyze all lines in the given scope. ";

static PyObject* AnalyzeLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* body_list;
  int max_count = -1;
  if (!PyArg_ParseTuple(args, "O!|i:AnalyzeLogicalList", &PyList_Type, &body_list, &max_count)) return nullptr;
  int result = AnalyzeLogicalListDirect(self, body_list, max_count);
  if (result < 0) return nullptr;
  return NewTruth(result);
}

// ---------------------------------------------------------------------------
// Scope of a line and full scope names
// ---------------------------------------------------------------------------

PyRef JoinScopeNames(tPySourceImpl* self, PyObject* n1, PyObject* n2) {
  if (!IsExactStr(n1) || !IsExactStr(n2)) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  if (PyUnicode_GET_LENGTH(n1) == 0) return PyRef::Borrow(n2);
  if (PyUnicode_GET_LENGTH(n2) == 0) return PyRef::Borrow(n1);
  tCharBuffer buffer;
  if (AppendStrToCharBuffer(&buffer, n1) != 0 || AppendToCharBuffer(&buffer, ".") != 0 ||
      AppendStrToCharBuffer(&buffer, n2) != 0)
    return PyRef();
  return GetStringFromPool(self->name_pool, buffer.ptr);
}

PyRef GetScopeNameForLineDirect(tPySourceImpl* self, PyObject* logical);

PyRef BuildFullNameForScopeDefDirect(tPySourceImpl* self, PyObject* scope_def) {
  if (scope_def == Py_None) {
    PyObject* empty = EmptyStr();
    return empty ? PyRef::Borrow(empty) : PyRef();
  }
  if (!IsLogical(self, scope_def)) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef parent = GetScopeNameForLineDirect(self, scope_def);
  if (!parent) return PyRef();
  PyObject* local = LogicalDefName(AsLogical(scope_def));
  if (local == nullptr) return parent;
  if (IsExactStr(parent.get()) && PyUnicode_GET_LENGTH(parent.get()) == 0) return PyRef::Borrow(local);
  return JoinScopeNames(self, parent.get(), local);
}

PyRef GetScopeNameForLineDirect(tPySourceImpl* self, PyObject* logical) {
  tLogicalLine* line = AsLogical(logical);
  if (line->scope_name != nullptr) return PyRef::Borrow(line->scope_name);
  PyRef scope_def = FindScopeForLineDirect(&self->logical_mod.funcs, self->logical_list, logical);
  if (!scope_def) return PyRef();
  PyRef name = BuildFullNameForScopeDefDirect(self, scope_def.get());
  if (!name) return PyRef();
  ReplaceMember(&line->scope_name, name.new_ref());
  return name;
}

PyRef GetFullScopeNameDefined(tPySourceImpl* self, PyObject* logical) {
  PyObject* local = IsLogical(self, logical) ? LogicalDefName(AsLogical(logical)) : nullptr;
  if (local == nullptr) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef keep = PyRef::Borrow(local);
  PyRef scope = GetScopeNameForLineDirect(self, logical);
  if (!scope) return PyRef();
  return JoinScopeNames(self, scope.get(), keep.get());
}

static const char FindScopeForLine_doc[] = "Find the logical which defines the scope the given logical is in.";

static PyObject* FindScopeForLine(tPySourceImpl* self, PyObject* args) {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, "O:FindScopeForLine", &logical)) return nullptr;
  if (!IsLogical(self, logical)) {
    PyErr_SetString(PyExc_TypeError, "Argument must be a logical line.");
    return nullptr;
  }
  return FindScopeForLineDirect(&self->logical_mod.funcs, self->logical_list, logical).release();
}

static const char GetFullNameForScopeDef_doc[] = "Returns the full name for the def line.";

static PyObject* GetFullNameForScopeDef(tPySourceImpl* self, PyObject* args) {
  PyObject* scope_def;
  if (!PyArg_ParseTuple(args, "O:GetFullNameForScopeDef", &scope_def)) return nullptr;
  if (scope_def == Py_None) return GetStringFromPool(self->name_pool, "").release();
  if (IsLogical(self, scope_def) && IsScopeDefType(AsLogical(scope_def)->type))
    return GetFullScopeNameDefined(self, scope_def).release();
  PyErr_SetString(PyExc_TypeError, "The scope_def must be either None or a logical line");
  return nullptr;
}

// ---------------------------------------------------------------------------
// Scope definitions and bodies
// ---------------------------------------------------------------------------

Py_ssize_t FindIndexOfLogical(PyObject* scan_list, PyObject* logical) {
  if (scan_list == nullptr) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(scan_list); ++i) {
    if (PyList_GET_ITEM(scan_list, i) == logical) return i;
  }
  return -1;
}

static PyRef ScopeNotFound(PyObject* full_name) {
  PyErr_SetObject(PyExc_KeyError, full_name);
  return PyRef();
}

PyRef GetScopeDefForFullNameDirect(tPySourceImpl* self, PyObject* full_name) {
  Py_ssize_t name_len = 0;
  const char* name = StrText(full_name, &name_len);
  if (name == nullptr) return PyRef();
  if (name_len == 0) return PyRef::Borrow(Py_None);

  PyRef cached = LookupDefInScopeCache(&self->info_cache, full_name);
  if (cached) {
    if (IsLogical(self, cached.get())) return cached;
  } else if (!PyErr_ExceptionMatches(PyExc_KeyError)) {
    return PyRef();
  }
  PyErr_Clear();

  const char* dot = std::strrchr(name, '.');
  size_t scope_len = dot ? static_cast<size_t>(dot - name) : 0;
  const char* local = dot ? dot + 1 : name;
  size_t local_len = static_cast<size_t>(name_len) - (dot ? scope_len + 1 : 0);

  if (self->logical_list == nullptr) return ScopeNotFound(full_name);
  PyRef list = PyRef::Borrow(self->logical_list);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) break;
    if (!IsScopeDefType(AsLogical(item)->type)) continue;
    PyRef keep = PyRef::Borrow(item);
    PyRef scope_name = GetScopeNameForLineDirect(self, item);
    if (!scope_name) return PyRef();
    Py_ssize_t sn_len = 0;
    const char* sn = StrTextOrEmpty(scope_name.get(), &sn_len);
    if (static_cast<size_t>(sn_len) != scope_len || std::memcmp(sn, name, scope_len) != 0) continue;
    PyObject* def_name = LogicalDefName(AsLogical(item));
    if (def_name == nullptr) break;
    Py_ssize_t dn_len = 0;
    const char* dn = IsExactStr(def_name) ? StrTextOrEmpty(def_name, &dn_len) : nullptr;
    if (dn == nullptr || static_cast<size_t>(dn_len) != local_len || std::memcmp(dn, local, local_len) != 0)
      continue;
    if (AddOrClearScopeCacheEntry(&self->info_cache, full_name, item) != 0) return PyRef();
    return keep;
  }
  return ScopeNotFound(full_name);
}

PyRef FindBodyOfScopeDef(tPySourceImpl* self, PyObject* scan_list, PyObject* scope_def) {
  Py_ssize_t start = 0;
  long limit = -1;
  if (scope_def != Py_None) {
    if (!IsLogical(self, scope_def) || !IsScopeDefType(AsLogical(scope_def)->type)) {
      PyErr_BadInternalCall();
      return PyRef();
    }
    Py_ssize_t index = FindIndexOfLogical(scan_list, scope_def);
    if (index < 0) {
      PyErr_BadInternalCall();
      return PyRef();
    }
    start = index + 1;
    limit = AsLogical(scope_def)->indent;
  }
  PyRef result(PyList_New(0));
  if (!result) return PyRef();
  long open_indent = 0;
  bool nested_open = false;
  for (Py_ssize_t i = start; i < PyList_GET_SIZE(scan_list); ++i) {
    PyObject* item = PyList_GET_ITEM(scan_list, i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return PyRef();
    }
    tLogicalLine* line = AsLogical(item);
    if (IsCommentOrBlankType(line->type)) continue;
    if (line->indent <= limit) break;
    if (nested_open) {
      if (line->indent <= open_indent) {
        nested_open = false;
      } else {
        continue;
      }
    }
    if (PyList_Append(result.get(), item) != 0) return PyRef();
    if (IsScopeDefType(line->type)) {
      nested_open = true;
      open_indent = line->indent;
    }
  }
  return result;
}

// Caches the scope name on each line of a body about to be cached that has
// none yet.  The change processing finds the cached body a removed line
// belongs to through the line's scope name; a body line without one would
// leave a body holding a line that is gone.
static int PlaceBodyLines(tPySourceImpl* self, PyObject* scope_def, PyObject* body) {
  PyRef scope_name = scope_def == Py_None ? BuildFullNameForScopeDefDirect(self, Py_None)
                                          : GetFullScopeNameDefined(self, scope_def);
  if (!scope_name) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body); ++i) {
    tLogicalLine* line = AsLogical(PyList_GET_ITEM(body, i));
    if (line->scope_name == nullptr) line->scope_name = scope_name.new_ref();
  }
  return 0;
}

PyRef GetBodyOfScopeDirect(tPySourceImpl* self, PyObject* full_name) {
  PyRef cached = LookupScopeBodyInCache(&self->info_cache, full_name);
  if (cached) return cached;
  if (PyErr_Occurred()) return PyRef();
  PyRef scope_def = GetScopeDefForFullNameDirect(self, full_name);
  if (!scope_def) return PyRef();
  if (!CheckLogicalList(self)) return PyRef();
  PyRef list = PyRef::Borrow(self->logical_list);
  PyRef body = FindBodyOfScopeDef(self, list.get(), scope_def.get());
  if (!body) return PyRef();
  if (PlaceBodyLines(self, scope_def.get(), body.get()) != 0) return PyRef();
  if (AddScopeBodyToCache(&self->info_cache, full_name, scope_def.get(), body.get()) != 0) return PyRef();
  return body;
}

// The two methods that take one full scope name, an exact str.
static PyObject* RunFullNameMethod(tPySourceImpl* self, PyObject* args, const char* method,
                                   PyRef (*direct)(tPySourceImpl*, PyObject*)) {
  PyObject* full_name;
  if (!PyArg_UnpackTuple(args, method, 1, 1, &full_name)) return nullptr;
  if (!CheckExactStrArg(method, 1, full_name)) return nullptr;
  return direct(self, full_name).release();
}

static const char GetScopeDefForFullName_doc[] = "Returns the def line for the full name. ";

static PyObject* GetScopeDefForFullName(tPySourceImpl* self, PyObject* args) {
  return RunFullNameMethod(self, args, "GetScopeDefForFullName", GetScopeDefForFullNameDirect);
}

static const char GetBodyOfScope_doc[] = "Returns a list of all logicals in scope (and not in a subscope). ";

static PyObject* GetBodyOfScope(tPySourceImpl* self, PyObject* args) {
  return RunFullNameMethod(self, args, "GetBodyOfScope", GetBodyOfScopeDirect);
}

// ---------------------------------------------------------------------------
// Attribute search and logical line serialization
//
// Host code runs in the middle of both: the search calls "UpdateFromCache",
// analyses lines and calls the attribute-reference class; serializing hashes
// attribute entries, which may hold host objects.  That code may change the
// logical list or a line's facts, so lists are walked by index against their
// current size and every object in use is held.
// ---------------------------------------------------------------------------

static PyObject* s_star_str = nullptr;
static PyObject* s_update_from_cache_str = nullptr;

// One search: the patterns are borrowed (the method holds the caller's
// values for the duration of the call), scopes_seen is owned.
struct tSearchContext {
  tPySourceImpl* self;
  PyObject* scope_spec;
  PyObject* name_spec;
  int generic_valid;
  int import_valid;
  int classdef_valid;
  int functiondef_valid;
  int update;
  int find_all;
  int simple_names_valid;
  int dotted_names_valid;
  PyObject* scopes_seen;  // scope name -> {local name: True} of names returned
};

static int InitSearchContext(tSearchContext* ctx, tPySourceImpl* self) {
  std::memset(ctx, 0, sizeof(*ctx));
  PyObject* star = CachedString(&s_star_str, "*");
  if (star == nullptr) return -1;
  ctx->scopes_seen = PyDict_New();
  if (ctx->scopes_seen == nullptr) return -1;
  ctx->self = self;
  ctx->scope_spec = star;
  ctx->name_spec = star;
  ctx->generic_valid = 1;
  ctx->import_valid = 1;
  ctx->classdef_valid = 1;
  ctx->functiondef_valid = 1;
  ctx->update = 1;
  ctx->find_all = 1;
  ctx->simple_names_valid = 1;
  ctx->dotted_names_valid = 1;
  return 0;
}

static void ClearSearchContext(tSearchContext* ctx) {
  Py_CLEAR(ctx->scopes_seen);
  std::memset(ctx, 0, sizeof(*ctx));
}

// Runs ClearSearchContext on every exit of the method.
class SearchContextGuard {
 public:
  explicit SearchContextGuard(tSearchContext* ctx) : ctx_(ctx) {}
  ~SearchContextGuard() { ClearSearchContext(ctx_); }
  SearchContextGuard(const SearchContextGuard&) = delete;
  SearchContextGuard& operator=(const SearchContextGuard&) = delete;

 private:
  tSearchContext* ctx_;
};

// The scope stack of a scan: (full scope name, indent) entries.  Ten entries
// live inline; past that the entries move to a heap block that is resized to
// exactly the entries in use plus one on every further push.
struct tScopeIndent {
  PyObject* name;  // owned
  int indent;
};

static constexpr int kScopeStackFixedLen = 10;

class ScopeStack {
 public:
  ScopeStack() = default;
  ~ScopeStack() {
    tScopeIndent* entries = Entries();
    for (int i = 0; i < used_; ++i) Py_XDECREF(entries[i].name);
    std::free(heap_);
  }
  ScopeStack(const ScopeStack&) = delete;
  ScopeStack& operator=(const ScopeStack&) = delete;

  // Takes over `name`; 0, or -1 with MemoryError.
  int Push(PyRef name, int indent) {
    if (used_ >= kScopeStackFixedLen) {
      size_t new_size = static_cast<size_t>(used_ + 1) * sizeof(tScopeIndent);
      tScopeIndent* block;
      if (heap_ == nullptr) {
        block = static_cast<tScopeIndent*>(std::malloc(new_size));
        if (block != nullptr) std::memcpy(block, fixed_, sizeof(fixed_));
      } else {
        block = static_cast<tScopeIndent*>(std::realloc(heap_, new_size));
      }
      if (block == nullptr) {
        PyErr_NoMemory();
        return -1;
      }
      heap_ = block;
    }
    tScopeIndent* entry = &Entries()[used_++];
    entry->name = name.release();
    entry->indent = indent;
    return 0;
  }

  // Pops the top entry; the bottom entry is never popped (SystemError).
  int Pop() {
    if (used_ <= 1) {
      PyErr_BadInternalCall();
      return -1;
    }
    Py_XDECREF(Entries()[--used_].name);
    return 0;
  }

  const tScopeIndent& Top() { return Entries()[used_ - 1]; }

 private:
  tScopeIndent* Entries() { return heap_ != nullptr ? heap_ : fixed_; }

  tScopeIndent fixed_[kScopeStackFixedLen] = {};
  tScopeIndent* heap_ = nullptr;
  int used_ = 0;
};

static bool HasStar(PyObject* spec) {
  Py_ssize_t len = 0;
  const char* text = TextToCompare(spec, &len);
  return text != nullptr && std::memchr(text, '*', len) != nullptr;
}

static bool IsStarOnly(PyObject* spec) {
  Py_ssize_t len = 0;
  const char* text = TextToCompare(spec, &len);
  return text != nullptr && len == 1 && text[0] == '*';
}

// A pattern is "*" (anything), a plain text (equality), or lead*trail:
// texts that begin with lead and end with trail, the two not overlapping.
// Only the first '*' is special.
static bool StringSpecMatch(PyObject* spec, PyObject* str) {
  Py_ssize_t str_len = 0, spec_len = 0;
  const char* text = TextToCompare(str, &str_len);
  if (text == nullptr) return false;
  const char* pattern = TextToCompare(spec, &spec_len);
  if (pattern == nullptr) return false;
  if (spec_len == 1 && pattern[0] == '*') return true;
  const char* star = static_cast<const char*>(std::memchr(pattern, '*', spec_len));
  if (star == nullptr) return spec_len == str_len && std::memcmp(pattern, text, str_len) == 0;
  Py_ssize_t lead_len = star - pattern;
  Py_ssize_t trail_len = spec_len - lead_len - 1;
  if (lead_len + trail_len > str_len) return false;
  return std::memcmp(text, pattern, lead_len) == 0 &&
         std::memcmp(text + str_len - trail_len, star + 1, trail_len) == 0;
}

static bool AttribTypeMatch(tSearchContext* ctx, PyObject* logical) {
  switch (AsLogical(logical)->type) {
    case kClassDefIndex:
      return ctx->classdef_valid != 0;
    case kFunctionDefIndex:
      return ctx->functiondef_valid != 0;
    case kImportIndex:
    case kFromImportIndex:
      return ctx->import_valid != 0;
    default:
      return ctx->generic_valid != 0;
  }
}

static bool LocalNameMatch(tSearchContext* ctx, PyObject* name) {
  Py_ssize_t len = 0;
  const char* text = TextToCompare(name, &len);
  if (text == nullptr) return false;
  bool dotted = std::memchr(text, '.', len) != nullptr;
  if (!(dotted ? ctx->dotted_names_valid : ctx->simple_names_valid)) return false;
  return StringSpecMatch(ctx->name_spec, name);
}

// A new attribute reference made by the host's class, or null.
static PyRef CreateAttribRefDirect(tPySourceImpl* self, PyObject* kind, PyObject* local_name, PyObject* scope_name,
                                   PyObject* logical, PyObject* imp_ref) {
  PyRef full_name = JoinScopeNames(self, scope_name, local_name);
  if (!full_name) return PyRef();
  PyRef attribref_class = PyRef::Borrow(self->attribref_class);
  if (!attribref_class || self->mod_analysis == nullptr) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef args(PyTuple_Pack(6, kind, local_name, full_name.get(), self->mod_analysis, logical,
                          imp_ref != nullptr ? imp_ref : Py_None));
  if (!args) return PyRef();
  return PyRef(PyObject_Call(attribref_class.get(), args.get(), nullptr));
}

static int AppendAttribToList(tSearchContext* ctx, PyObject* ret_list, PyObject* kind, PyObject* local_name,
                              PyObject* scope_name, PyObject* logical, PyObject* imp_ref) {
  if (!ctx->find_all) {
    PyRef seen = PyRef::Borrow(PyDict_GetItemWithError(ctx->scopes_seen, scope_name));
    if (!seen) {
      if (PyErr_Occurred()) return -1;
      seen.reset(PyDict_New());
      if (!seen || PyDict_SetItem(ctx->scopes_seen, scope_name, seen.get()) != 0) return -1;
    } else {
      int present = PyDict_Contains(seen.get(), local_name);
      if (present < 0) return -1;
      if (present) return 0;
    }
    if (PyDict_SetItem(seen.get(), local_name, Py_True) != 0) return -1;
  }
  PyRef ref = CreateAttribRefDirect(ctx->self, kind, local_name, scope_name, logical, imp_ref);
  if (!ref) return -1;
  return PyList_Append(ret_list, ref.get());
}

// Adds the hits of one line, seen in the scope `scope_name`.
static int SearchSingleLogical(tSearchContext* ctx, PyObject* logical, PyObject* scope_name, PyObject* ret_list) {
  if (!StringSpecMatch(ctx->scope_spec, scope_name) || !AttribTypeMatch(ctx, logical)) return 0;
  tPySourceImpl* self = ctx->self;
  PyRef keep = PyRef::Borrow(logical);
  tLogicalLine* line = AsLogical(logical);
  switch (line->type) {
    case kClassDefIndex:
    case kFunctionDefIndex: {
      PyRef name = PyRef::Borrow(LogicalDefName(line));
      if (!name || !LocalNameMatch(ctx, name.get())) return 0;
      PyObject* kind = line->type == kClassDefIndex ? self->logical_mod.class_attrib_kind
                                                    : self->logical_mod.function_attrib_kind;
      return AppendAttribToList(ctx, ret_list, kind, name.get(), scope_name, logical, nullptr);
    }
    case kImportIndex:
    case kFromImportIndex:
      // The host may change the line's entries while a reference is made.
      for (int i = 0; i < line->objs_len; ++i) {
        PyRef entry = PyRef::Borrow(line->objs[i]);
        if (!IsExactTuple(entry.get()) || PyTuple_GET_SIZE(entry.get()) == 0) continue;
        PyObject* name = PyTuple_GET_ITEM(entry.get(), 0);
        if (!LocalNameMatch(ctx, name)) continue;
        if (AppendAttribToList(ctx, ret_list, self->logical_mod.imported_attrib_kind, name, scope_name, logical,
                               entry.get()) != 0)
          return -1;
      }
      return 0;
    default:
      for (int i = 0; i < line->objs_len; ++i) {
        PyRef entry = PyRef::Borrow(line->objs[i]);
        if (!LocalNameMatch(ctx, entry.get())) continue;
        if (AppendAttribToList(ctx, ret_list, self->logical_mod.generic_attrib_kind, entry.get(), scope_name,
                               logical, nullptr) != 0)
          return -1;
      }
      return 0;
  }
}

// The scan: scopes are tracked by indentation from `initial_scope` down.
static int SearchLogicalList(tSearchContext* ctx, PyObject* initial_scope, PyObject* scan_list,
                             PyObject* ret_list) {
  tPySourceImpl* self = ctx->self;
  if (!IsExactList(ret_list) || !IsExactList(scan_list)) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef list = PyRef::Borrow(scan_list);
  ScopeStack stack;
  if (stack.Push(PyRef::Borrow(initial_scope), -2) != 0) return -1;
  if (ctx->update && (ctx->generic_valid || ctx->import_valid)) {
    if (AnalyzeLogicalListDirect(self, list.get(), -1) < 0) return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyRef item = PyRef::Borrow(PyList_GET_ITEM(list.get(), i));
    if (!IsLogical(self, item.get())) {
      PyErr_BadInternalCall();
      return -1;
    }
    tLogicalLine* line = AsLogical(item.get());
    if (IsCommentOrBlankType(line->type)) continue;
    while (line->indent <= stack.Top().indent) {
      if (stack.Pop() != 0) return -1;
    }
    PyRef scope_name = PyRef::Borrow(stack.Top().name);
    if (SearchSingleLogical(ctx, item.get(), scope_name.get(), ret_list) != 0) return -1;
    PyObject* def_name = LogicalDefName(line);
    if (def_name != nullptr) {
      PyRef full_name = JoinScopeNames(self, scope_name.get(), def_name);
      if (!full_name || stack.Push(std::move(full_name), line->indent) != 0) return -1;
    }
  }
  return 0;
}

// The lookup of an exact name in the name cache.
static int SearchForSpecificName(tSearchContext* ctx, PyObject* name, PyObject* ret_list) {
  tPySourceImpl* self = ctx->self;
  PyRef defns = LookupNameDefnInCache(&self->info_cache, name);
  if (!defns) return PyErr_Occurred() ? -1 : 0;
  if (!IsExactList(defns.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(defns.get()); ++i) {
    PyRef item = PyRef::Borrow(PyList_GET_ITEM(defns.get(), i));
    if (!IsLogical(self, item.get())) {
      PyErr_BadInternalCall();
      return -1;
    }
    PyRef scope_name = GetScopeNameForLineDirect(self, item.get());
    if (!scope_name) return -1;
    if (SearchSingleLogical(ctx, item.get(), scope_name.get(), ret_list) != 0) return -1;
    if (!ctx->find_all && PyList_GET_SIZE(ret_list) > 0) break;
  }
  return 0;
}

// Lets the host apply its pending logical line updates.
static int InvokeUpdateFromCache(tPySourceImpl* self) {
  if (!self->logical_cache_needs_update) return 0;
  if (CachedString(&s_update_from_cache_str, "UpdateFromCache") == nullptr) return -1;
  PyRef mod_analysis = PyRef::Borrow(self->mod_analysis);
  if (!mod_analysis) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef result(PyObject_CallMethodNoArgs(mod_analysis.get(), s_update_from_cache_str));
  if (!result) return -1;
  self->logical_cache_needs_update = 0;
  return 0;
}

// Analyses the not yet analysed lines of the wanted kinds that the search
// looks at: the whole list for the scope pattern "*", otherwise the body of
// the scope the pattern names literally (none when there is no such scope).
static int AnalyzeMatchingScopes(tSearchContext* ctx) {
  tPySourceImpl* self = ctx->self;
  PyRef lines;
  if (IsStarOnly(ctx->scope_spec)) {
    if (!CheckLogicalList(self)) return -1;
    lines = PyRef::Borrow(self->logical_list);
  } else {
    lines = GetBodyOfScopeDirect(self, ctx->scope_spec);
    if (!lines) return ClearExpectedError(PyExc_KeyError) ? 0 : -1;
  }
  if (!IsExactList(lines.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
    PyRef item = PyRef::Borrow(PyList_GET_ITEM(lines.get(), i));
    if (!IsLogical(self, item.get())) {
      PyErr_BadInternalCall();
      return -1;
    }
    if (AsLogical(item.get())->parsed || !AttribTypeMatch(ctx, item.get())) continue;
    if (AnalyzeLogicalLineDirect(self, item.get()) != 0) return -1;
  }
  return 0;
}

static int SearchForAttribsDirect(tSearchContext* ctx, PyObject* ret_list) {
  tPySourceImpl* self = ctx->self;
  if (!CheckLogicalList(self)) return -1;
  if (ctx->update) {
    if (InvokeUpdateFromCache(self) != 0) return -1;
    if (AnalyzeMatchingScopes(ctx) != 0) return -1;
  }
  PyRef lines;
  PyObject* initial_scope;
  if (HasStar(ctx->scope_spec)) {
    if (!CheckLogicalList(self)) return -1;
    lines = PyRef::Borrow(self->logical_list);
    initial_scope = EmptyStr();
    if (initial_scope == nullptr) return -1;
  } else {
    lines = GetBodyOfScopeDirect(self, ctx->scope_spec);
    if (!lines) return ClearExpectedError(PyExc_KeyError) ? 0 : -1;
    initial_scope = ctx->scope_spec;
  }
  if (HasStar(ctx->name_spec)) return SearchLogicalList(ctx, initial_scope, lines.get(), ret_list);
  return SearchForSpecificName(ctx, ctx->name_spec, ret_list);
}

// The option value under `key`: a new reference, or null (with an exception
// set only on failure).
static PyRef GetSearchOption(PyObject* spec_dict, const char* key) {
  PyRef key_str(PyUnicode_FromString(key));
  if (!key_str) return PyRef();
  return PyRef::Borrow(PyDict_GetItemWithError(spec_dict, key_str.get()));
}

// Sets *flag from the truth of the option, when it is given.  0 or -1.
static int ReadFlagOption(PyObject* spec_dict, const char* key, int* flag) {
  PyRef value = GetSearchOption(spec_dict, key);
  if (!value) return PyErr_Occurred() ? -1 : 0;
  int truth = PyObject_IsTrue(value.get());
  if (truth < 0) return -1;
  *flag = truth;
  return 0;
}

// Reads a pattern option into *held (the method's reference) and *spec.
static int ReadPatternOption(PyObject* spec_dict, const char* key, const char* message, PyRef* held,
                             PyObject** spec) {
  PyRef value = GetSearchOption(spec_dict, key);
  if (!value) return PyErr_Occurred() ? -1 : 0;
  if (!IsExactStr(value.get())) {
    PyErr_SetString(PyExc_TypeError, message);
    return -1;
  }
  if (StrText(value.get()) == nullptr) return -1;  // patterns are matched as UTF-8 text
  *spec = value.get();
  *held = std::move(value);
  return 0;
}

static int ReadKindOption(PyObject* valid_kinds, PyObject* kind, int* flag) {
  int contained = PySequence_Contains(valid_kinds, kind);
  if (contained < 0) return -1;
  *flag = contained;
  return 0;
}

static const char SearchForAttribs_doc[] = "Search for attributes defined in module. ";

static PyObject* SearchForAttribs(tPySourceImpl* self, PyObject* args) {
  PyObject* spec_dict;
  if (!PyArg_ParseTuple(args, "O!:SearchForAttribs", &PyDict_Type, &spec_dict)) return nullptr;

  tSearchContext ctx;
  SearchContextGuard guard(&ctx);
  if (InitSearchContext(&ctx, self) != 0) return nullptr;
  PyRef options = PyRef::Borrow(spec_dict);
  PyRef scope_spec, name_spec;
  if (ReadFlagOption(spec_dict, "update", &ctx.update) != 0 ||
      ReadFlagOption(spec_dict, "find_all", &ctx.find_all) != 0 ||
      ReadFlagOption(spec_dict, "simple_names_valid", &ctx.simple_names_valid) != 0 ||
      ReadFlagOption(spec_dict, "dotted_names_valid", &ctx.dotted_names_valid) != 0 ||
      ReadPatternOption(spec_dict, "scope_name", "scope_name must be a string", &scope_spec, &ctx.scope_spec) != 0 ||
      ReadPatternOption(spec_dict, "local_name", "local_name must be a string", &name_spec, &ctx.name_spec) != 0)
    return nullptr;
  PyRef valid_kinds = GetSearchOption(spec_dict, "valid_kinds");
  if (!valid_kinds && PyErr_Occurred()) return nullptr;
  if (valid_kinds) {
    tLogicalModuleInfo* mod = &self->logical_mod;
    if (ReadKindOption(valid_kinds.get(), mod->class_attrib_kind, &ctx.classdef_valid) != 0 ||
        ReadKindOption(valid_kinds.get(), mod->function_attrib_kind, &ctx.functiondef_valid) != 0 ||
        ReadKindOption(valid_kinds.get(), mod->generic_attrib_kind, &ctx.generic_valid) != 0 ||
        ReadKindOption(valid_kinds.get(), mod->imported_attrib_kind, &ctx.import_valid) != 0)
      return nullptr;
  }

  PyRef ret_list(PyList_New(0));
  if (!ret_list) return nullptr;
  if (SearchForAttribsDirect(&ctx, ret_list.get()) != 0) return nullptr;
  return ret_list.release();
}

// -- Serialization ----------------------------------------------------------
//
// A line is written as little-endian integers and 4-byte indices into the
// names list; see WriteLogicalLine for the field order.  Integers are
// written byte by byte so the layout does not depend on the host.

static int AppendLittleEndian(tCharBuffer* buffer, uint32_t value, int size) {
  char bytes[4];
  for (int i = 0; i < size; ++i) bytes[i] = static_cast<char>((value >> (8 * i)) & 0xff);
  return AppendBytesToCharBuffer(buffer, bytes, size);
}

static int AppendInt32(tCharBuffer* buffer, int32_t value) {
  return AppendLittleEndian(buffer, static_cast<uint32_t>(value), 4);
}

static int AppendInt16(tCharBuffer* buffer, int32_t value) {
  return AppendLittleEndian(buffer, static_cast<uint32_t>(value) & 0xffff, 2);
}

// Overwrites the 4-byte integer at `offset` (a count corrected after the fact).
static void PatchInt32(tCharBuffer* buffer, uint32_t offset, int32_t value) {
  for (int i = 0; i < 4; ++i)
    buffer->ptr[offset + i] = static_cast<char>((static_cast<uint32_t>(value) >> (8 * i)) & 0xff);
}

// Writes the index of `obj` in the reference dictionary, giving it the next
// index when it has none yet.
static int WriteReference(tCharBuffer* buffer, PyObject* ref_dict, PyObject* obj) {
  PyRef keep = PyRef::Borrow(obj);
  PyRef index = PyRef::Borrow(PyDict_GetItemWithError(ref_dict, obj));
  if (!index) {
    if (PyErr_Occurred()) return -1;
    index.reset(PyLong_FromSsize_t(PyDict_GET_SIZE(ref_dict)));
    if (!index || PyDict_SetItem(ref_dict, obj, index.get()) != 0) return -1;
  }
  long value = PyLong_AsLong(index.get());
  if (value == -1 && PyErr_Occurred()) return -1;
  return AppendInt32(buffer, static_cast<int32_t>(value));
}

// Writes a count and one reference per item.  Hashing an entry may run host
// code that changes the line, so the count is read again on every step and
// the written count is corrected at the end.
template <typename CountFn, typename ItemFn>
static int WriteReferenceArray(tCharBuffer* buffer, PyObject* ref_dict, CountFn count, ItemFn item) {
  uint32_t count_offset = buffer->used_len;
  int32_t first_count = count();
  if (AppendInt32(buffer, first_count) != 0) return -1;
  int32_t written = 0;
  for (; written < count(); ++written) {
    if (WriteReference(buffer, ref_dict, item(written)) != 0) return -1;
  }
  if (written != first_count) PatchInt32(buffer, count_offset, written);
  return 0;
}

static int WritePairArray(tCharBuffer* buffer, PyObject* ref_dict, tLogicalLine* line) {
  uint32_t count_offset = buffer->used_len;
  int32_t first_count = line->type_equivs_len;
  if (AppendInt32(buffer, first_count) != 0) return -1;
  int32_t written = 0;
  for (; written < line->type_equivs_len; ++written) {
    PyRef one = PyRef::Borrow(line->type_equivs[written].one);
    PyRef two = PyRef::Borrow(line->type_equivs[written].two);
    if (WriteReference(buffer, ref_dict, one.get()) != 0 || WriteReference(buffer, ref_dict, two.get()) != 0)
      return -1;
  }
  if (written != first_count) PatchInt32(buffer, count_offset, written);
  return 0;
}

static int WritePositionArray(tCharBuffer* buffer, tLogicalLine* line) {
  if (AppendInt32(buffer, line->tok_count) != 0) return -1;
  for (int32_t i = 0; i < line->tok_count; ++i) {
    tTokenPosition pos = line->position_array != nullptr ? line->position_array[i] : tTokenPosition{0, 0};
    if (AppendInt16(buffer, pos.row) != 0 || AppendInt16(buffer, pos.col) != 0) return -1;
  }
  return 0;
}

// The byte form of one line.  Import lines are written without their facts
// and as not analysed, so that they are analysed afresh once loaded.
static PyRef WriteLogicalLine(PyObject* ref_dict, PyObject* logical) {
  PyRef keep = PyRef::Borrow(logical);
  tLogicalLine* line = AsLogical(logical);
  if (line->tok_count < 0 || (line->tok_count > 0 && line->tok_array == nullptr)) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  bool is_import = line->type == kImportIndex || line->type == kFromImportIndex;
  tCharBuffer buffer;
  if (AppendInt32(&buffer, line->first_line) != 0 || AppendInt16(&buffer, line->indent) != 0 ||
      AppendInt16(&buffer, line->line_count) != 0 || AppendInt16(&buffer, line->type) != 0 ||
      AppendInt16(&buffer, is_import ? 0 : line->parsed) != 0 || AppendInt16(&buffer, line->tabs_in_indent) != 0 ||
      AppendInt16(&buffer, line->spaces_in_indent) != 0)
    return PyRef();
  if (WriteReferenceArray(
          &buffer, ref_dict, [line] { return line->tok_count; }, [line](int32_t i) { return line->tok_array[i]; }) !=
      0)
    return PyRef();
  if (WritePositionArray(&buffer, line) != 0) return PyRef();
  if (WriteReference(&buffer, ref_dict, line->scope_name != nullptr ? line->scope_name : Py_None) != 0)
    return PyRef();
  if (is_import) {
    if (AppendInt32(&buffer, 0) != 0 || AppendInt32(&buffer, 0) != 0) return PyRef();
  } else {
    if (WriteReferenceArray(
            &buffer, ref_dict, [line] { return static_cast<int32_t>(line->objs_len); },
            [line](int32_t i) { return line->objs[i]; }) != 0)
      return PyRef();
    if (WritePairArray(&buffer, ref_dict, line) != 0) return PyRef();
  }
  return PyRef(PyBytes_FromStringAndSize(buffer.ptr, buffer.used_len));
}

// The names list: item i is the key whose index is i.
static PyRef MakeNamesList(PyObject* ref_dict) {
  Py_ssize_t size = PyDict_GET_SIZE(ref_dict);
  PyRef names(PyList_New(size));
  if (!names) return PyRef();
  Py_ssize_t pos = 0;
  PyObject* key;
  PyObject* value;
  while (PyDict_Next(ref_dict, &pos, &key, &value)) {
    Py_ssize_t index = PyLong_Check(value) ? PyLong_AsSsize_t(value) : -1;
    if (index == -1) PyErr_Clear();
    if (index < 0 || index >= size || PyList_GET_ITEM(names.get(), index) != nullptr) {
      PyErr_SetString(PyExc_ValueError, "invalid reference dictionary value");
      return PyRef();
    }
    PyList_SET_ITEM(names.get(), index, PyRef::Borrow(key).release());
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (PyList_GET_ITEM(names.get(), i) == nullptr) {
      PyErr_SetString(PyExc_ValueError, "invalid reference dictionary value");
      return PyRef();
    }
  }
  return names;
}

static const char SerializeLogicalList_doc[] =
    "Serialize a list of logical lines,  Returns tuple of list of names used and a list of strings which contain "
    "the binary data for each logical line.";

static PyObject* SerializeLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* logical_list;
  if (!PyArg_ParseTuple(args, "O!:SerializeLogicalList", &PyList_Type, &logical_list)) return nullptr;
  // A copy, so that host code run while hashing cannot change what is walked.
  PyRef lines(PyList_GetSlice(logical_list, 0, PY_SSIZE_T_MAX));
  if (!lines) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(lines.get());
  PyRef data(PyList_New(count));
  PyRef ref_dict(PyDict_New());
  if (!data || !ref_dict) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* item = PyList_GET_ITEM(lines.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Each element of the logical_list must be a logical line");
      return nullptr;
    }
    PyRef bytes = WriteLogicalLine(ref_dict.get(), item);
    if (!bytes) return nullptr;
    PyList_SET_ITEM(data.get(), i, bytes.release());
  }
  PyRef names = MakeNamesList(ref_dict.get());
  if (!names) return nullptr;
  return PyTuple_Pack(2, names.get(), data.get());
}

// -- Deserialization --

// Reads fields from one serialized line; every read past the end fails.
struct tReadCursor {
  const unsigned char* pos;
  Py_ssize_t left;
};

static bool ReadLittleEndian(tReadCursor* cur, int size, uint32_t* value) {
  if (cur->left < size) return false;
  uint32_t v = 0;
  for (int i = 0; i < size; ++i) v |= static_cast<uint32_t>(cur->pos[i]) << (8 * i);
  cur->pos += size;
  cur->left -= size;
  *value = v;
  return true;
}

static bool ReadInt32(tReadCursor* cur, int32_t* value) {
  uint32_t v;
  if (!ReadLittleEndian(cur, 4, &v)) return false;
  *value = static_cast<int32_t>(v);
  return true;
}

static bool ReadUInt16(tReadCursor* cur, uint16_t* value) {
  uint32_t v;
  if (!ReadLittleEndian(cur, 2, &v)) return false;
  *value = static_cast<uint16_t>(v);
  return true;
}

// Fails with the malformed-data ValueError unless an error is already set.
static int InvalidLineData() {
  if (!PyErr_Occurred())
    PyErr_SetString(PyExc_ValueError, "Invalid data found while deserializing logical line");
  return -1;
}

// Reads a count that must be 0..max_count and must leave room for
// item_size bytes per item in what is left of the line.
static int ReadCount(tReadCursor* cur, int32_t max_count, Py_ssize_t item_size, int32_t* count) {
  if (!ReadInt32(cur, count) || *count < 0 || *count > max_count || *count > cur->left / item_size)
    return InvalidLineData();
  return 0;
}

// A new reference to the names-list item whose index is read.
static PyRef ReadReference(tReadCursor* cur, PyObject* names) {
  int32_t index;
  if (!ReadInt32(cur, &index) || index < 0 || index >= PyList_GET_SIZE(names)) {
    InvalidLineData();
    return PyRef();
  }
  return PyRef::Borrow(PyList_GET_ITEM(names, index));
}

// A malloc'd array of object references being read; releases what it holds
// unless handed over to a line.
struct tObjectArray {
  PyObject** items = nullptr;
  int32_t count = 0;
  ~tObjectArray() {
    for (int32_t i = 0; i < count; ++i) Py_DECREF(items[i]);
    std::free(items);
  }
  PyObject** release() {
    PyObject** p = items;
    items = nullptr;
    count = 0;
    return p;
  }
};

struct tPairArray {
  tNonTuplePair* items = nullptr;
  int32_t count = 0;
  ~tPairArray() {
    for (int32_t i = 0; i < count; ++i) {
      Py_DECREF(items[i].one);
      Py_DECREF(items[i].two);
    }
    std::free(items);
  }
  tNonTuplePair* release() {
    tNonTuplePair* p = items;
    items = nullptr;
    count = 0;
    return p;
  }
};

static int ReadReferenceArray(tReadCursor* cur, PyObject* names, int32_t max_count, tObjectArray* array,
                              int32_t* total) {
  if (ReadCount(cur, max_count, 4, total) != 0) return -1;
  if (*total == 0) return 0;
  array->items = static_cast<PyObject**>(std::malloc(sizeof(PyObject*) * static_cast<size_t>(*total)));
  if (array->items == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  while (array->count < *total) {
    PyRef item = ReadReference(cur, names);
    if (!item) return -1;
    array->items[array->count++] = item.release();
  }
  return 0;
}

static int ReadPairArray(tReadCursor* cur, PyObject* names, tPairArray* array, int32_t* total) {
  if (ReadCount(cur, kMaxLineEntries, 8, total) != 0) return -1;
  if (*total == 0) return 0;
  array->items = static_cast<tNonTuplePair*>(std::malloc(sizeof(tNonTuplePair) * static_cast<size_t>(*total)));
  if (array->items == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  while (array->count < *total) {
    PyRef one = ReadReference(cur, names);
    if (!one) return -1;
    PyRef two = ReadReference(cur, names);
    if (!two) return -1;
    array->items[array->count].one = one.release();
    array->items[array->count].two = two.release();
    ++array->count;
  }
  return 0;
}

struct tPositionArray {
  tTokenPosition* items = nullptr;
  ~tPositionArray() { std::free(items); }
  tTokenPosition* release() {
    tTokenPosition* p = items;
    items = nullptr;
    return p;
  }
};

// The positions: a count equal to the token count, then row and column.
static int ReadPositionArray(tReadCursor* cur, int32_t tok_count, tPositionArray* array) {
  int32_t count;
  if (!ReadInt32(cur, &count) || count != tok_count || count > cur->left / 4) return InvalidLineData();
  if (count == 0) return 0;
  array->items = static_cast<tTokenPosition*>(std::malloc(sizeof(tTokenPosition) * static_cast<size_t>(count)));
  if (array->items == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  for (int32_t i = 0; i < count; ++i) {
    // The count check above leaves room for every entry.
    ReadUInt16(cur, &array->items[i].row);
    ReadUInt16(cur, &array->items[i].col);
  }
  return 0;
}

// A new logical line from its byte form.  Arrays are read into holders that
// release them on failure and are handed to the line only once the whole
// line has been read, so the line's own destruction never sees half an array.
static PyRef ReadLogicalLine(tPySourceImpl* self, PyObject* names, PyObject* bytes) {
  char* data;
  Py_ssize_t size;
  PyRef keep = PyRef::Borrow(bytes);
  if (PyBytes_AsStringAndSize(bytes, &data, &size) != 0) return PyRef();
  tReadCursor cur = {reinterpret_cast<const unsigned char*>(data), size};

  int32_t first_line;
  uint16_t indent, line_count, type, parsed, tabs, spaces;
  if (!ReadInt32(&cur, &first_line) || !ReadUInt16(&cur, &indent) || !ReadUInt16(&cur, &line_count) ||
      !ReadUInt16(&cur, &type) || !ReadUInt16(&cur, &parsed) || !ReadUInt16(&cur, &tabs) ||
      !ReadUInt16(&cur, &spaces)) {
    InvalidLineData();
    return PyRef();
  }
  tObjectArray tokens;
  int32_t tok_count;
  if (ReadReferenceArray(&cur, names, INT32_MAX, &tokens, &tok_count) != 0) return PyRef();
  tPositionArray positions;
  if (ReadPositionArray(&cur, tok_count, &positions) != 0) return PyRef();
  PyRef scope_name = ReadReference(&cur, names);
  if (!scope_name) return PyRef();
  if (scope_name.get() == Py_None) {
    scope_name.reset();
  } else if (!IsExactStr(scope_name.get())) {
    InvalidLineData();
    return PyRef();
  }
  tObjectArray objs;
  int32_t objs_len;
  if (ReadReferenceArray(&cur, names, kMaxLineEntries, &objs, &objs_len) != 0) return PyRef();
  tPairArray pairs;
  int32_t pairs_len;
  if (ReadPairArray(&cur, names, &pairs, &pairs_len) != 0) return PyRef();

  if (self->logical_mod.funcs.create == nullptr) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef logical(self->logical_mod.funcs.create());
  if (!logical) return PyRef();
  if (!IsLogical(self, logical.get())) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  tLogicalLine* line = AsLogical(logical.get());
  line->first_line = first_line;
  line->indent = static_cast<int16_t>(indent);
  line->line_count = static_cast<int16_t>(line_count);
  line->type = static_cast<uint8_t>(type & 0xff);
  line->parsed = parsed & 1;
  line->tabs_in_indent = tabs & 1;
  line->spaces_in_indent = spaces & 1;
  line->tok_count = tok_count;
  line->tok_array = tokens.release();
  line->position_array = positions.release();
  line->scope_name = scope_name.release();
  line->objs_len = static_cast<uint8_t>(objs_len);
  line->objs = objs.release();
  line->type_equivs_len = static_cast<uint8_t>(pairs_len);
  line->type_equivs = pairs.release();
  return logical;
}

static const char DeserializeLogicalList_doc[] = "Deserialize a list of logical lines";

static PyObject* DeserializeLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* names;
  PyObject* data;
  if (!PyArg_ParseTuple(args, "(O!O!):UnerializeLogicalList", &PyList_Type, &names, &PyList_Type, &data))
    return nullptr;
  PyRef names_ref = PyRef::Borrow(names);
  PyRef items(PyList_GetSlice(data, 0, PY_SSIZE_T_MAX));
  if (!items) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(items.get());
  PyRef result(PyList_New(count));
  if (!result) return nullptr;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyRef logical = ReadLogicalLine(self, names, PyList_GET_ITEM(items.get(), i));
    if (!logical) return nullptr;
    PyList_SET_ITEM(result.get(), i, logical.release());
  }
  return result.release();
}

// ---------------------------------------------------------------------------
// Cache change processing, type equivalences and instance attribute queries
// ---------------------------------------------------------------------------

static bool TextEquals(PyObject* obj, const char* text, size_t len) {
  Py_ssize_t obj_len = 0;
  const char* obj_text = TextToCompare(obj, &obj_len);
  return obj_text != nullptr && static_cast<size_t>(obj_len) == len && std::memcmp(obj_text, text, len) == 0;
}

// A failure that reaches a method's exit with no exception set is reported
// rather than handed to the interpreter as a null result without an error.
static void EnsureFailureSet(const char* operation) {
  if (!PyErr_Occurred()) PyErr_Format(PyExc_AssertionError, "Invalid internal value in %s", operation);
}

// What one LogicalCacheModified call found changed.  The four objects are
// owned; the record lives for one call.
struct tLogicalChanges {
  PyObject* body_map;     // dict: scope name -> True, a body line changed
  PyObject* functions;    // list: full names of def lines removed or added
  PyObject* classes;      // list: full names of class lines removed or added
  PyObject* doc_strings;  // list: scope names whose doc string line changed
  int32_t scan_for_future;
};

static void ClearLogicalChangesNoReinit(tLogicalChanges* changes) {
  Py_CLEAR(changes->body_map);
  Py_CLEAR(changes->functions);
  Py_CLEAR(changes->classes);
  Py_CLEAR(changes->doc_strings);
}

static int InitLogicalChanges(tLogicalChanges* changes) {
  std::memset(changes, 0, sizeof(*changes));
  changes->body_map = PyDict_New();
  if (changes->body_map != nullptr) changes->functions = PyList_New(0);
  if (changes->functions != nullptr) changes->classes = PyList_New(0);
  if (changes->classes != nullptr) changes->doc_strings = PyList_New(0);
  if (changes->doc_strings == nullptr) {
    ClearLogicalChangesNoReinit(changes);
    return -1;
  }
  return 0;
}

// Releases the record's objects on every exit of the call that made it.
class LogicalChangesScope {
 public:
  explicit LogicalChangesScope(tLogicalChanges* changes) : changes_(changes) {}
  ~LogicalChangesScope() { ClearLogicalChangesNoReinit(changes_); }
  LogicalChangesScope(const LogicalChangesScope&) = delete;
  LogicalChangesScope& operator=(const LogicalChangesScope&) = delete;

 private:
  tLogicalChanges* changes_;
};

// (body scope names, classes, functions, doc strings) as a new tuple.
static PyRef LogicalChangesToTuple(tLogicalChanges* changes) {
  PyRef body_names(PyDict_Keys(changes->body_map));
  if (!body_names) return PyRef();
  return PyRef(PyTuple_Pack(4, body_names.get(), changes->classes, changes->functions, changes->doc_strings));
}

static int InvalidatePerScopeCache(tPySourceImpl* self, PyObject* scope_name) {
  if (RemoveBodyInfoFromScopeCacheEntry(&self->info_cache, scope_name) != 0) return -1;
  return RemoveInstAttribEquivListFromCache(&self->info_cache, scope_name);
}

// Keeps the recorded doc string line of the line's scope in step with an
// added or removed string line.  A scope's doc string line is the line right
// after its definition line (the first line of the list for the module).
static int FindDocStringChanges(tPySourceImpl* self, PyObject* logical, int added, tLogicalChanges* changes) {
  PyObject* scope = AsLogical(logical)->scope_name;
  if (scope == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef scope_name = PyRef::Borrow(scope);
  PyRef doc_string = LookupDocStringLogicalInCache(&self->info_cache, scope_name.get());
  if (!doc_string) return -1;
  if (!added) {
    if (doc_string.get() != logical) return 0;
    if (PyList_Append(changes->doc_strings, scope_name.get()) != 0) return -1;
    return RemoveDocStringLogicalFromCache(&self->info_cache, scope_name.get());
  }

  if (doc_string.get() != Py_None) return 0;
  PyRef scope_def = PyRef::Borrow(Py_None);
  Py_ssize_t def_index = -1;
  if (!IsExactStr(scope_name.get()) || PyUnicode_GET_LENGTH(scope_name.get()) != 0) {
    PyRef cached = LookupDefInScopeCache(&self->info_cache, scope_name.get());
    if (cached) {
      scope_def = std::move(cached);
      def_index = FindIndexOfLogical(self->logical_list, scope_def.get());
    } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
    } else {
      return -1;
    }
  }
  PyObject* list = self->logical_list;
  if (list == nullptr || def_index + 1 >= PyList_GET_SIZE(list) || PyList_GET_ITEM(list, def_index + 1) != logical)
    return 0;
  if (PyList_Append(changes->doc_strings, scope_name.get()) != 0) return -1;
  return AddDocStringLogicalToCache(&self->info_cache, scope_name.get(), scope_def.get(), logical);
}

// Notes that a body line of the line's (cached) scope changed.
static int LogicalInScopeChanged(tPySourceImpl* self, PyObject* logical, int added, tLogicalChanges* changes) {
  PyObject* scope = AsLogical(logical)->scope_name;
  if (scope == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef scope_name = PyRef::Borrow(scope);
  if (PyDict_SetItem(changes->body_map, scope_name.get(), Py_True) != 0) return -1;
  if (InvalidatePerScopeCache(self, scope_name.get()) != 0) return -1;
  if (AsLogical(logical)->type == kStringExpressionIndex) return FindDocStringChanges(self, logical, added, changes);
  return 0;
}

// Forgets the body of `name` and the cached scope name of every line whose
// scope name begins with the characters of `name`, dropping the entries of
// the definitions among them: their full names may now name another
// definition, or none.  The prefix test needs no "." after it: a sibling
// whose name merely starts the same way is caught too, which only costs a
// recomputation.
static int InvalidateMatchingScopeNames(tPySourceImpl* self, PyObject* name) {
  if (RemoveBodyInfoFromScopeCacheEntry(&self->info_cache, name) != 0) return -1;
  if (self->logical_list == nullptr) return 0;
  Py_ssize_t name_len = 0;
  const char* name_text = TextToCompare(name, &name_len);
  if (name_text == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef keep_name = PyRef::Borrow(name);
  PyRef list = PyRef::Borrow(self->logical_list);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return -1;
    }
    tLogicalLine* line = AsLogical(item);
    if (line->scope_name == nullptr) continue;
    Py_ssize_t scope_len = 0;
    const char* scope_text = TextToCompare(line->scope_name, &scope_len);
    if (scope_text == nullptr || scope_len < name_len || std::memcmp(scope_text, name_text, name_len) != 0)
      continue;
    PyObject* def_name = LogicalDefName(line);
    if (def_name != nullptr) {
      PyRef full_name = JoinScopeNames(self, line->scope_name, def_name);
      if (!full_name) return -1;
      if (RemoveScopeCacheEntry(&self->info_cache, full_name.get()) != 0) return -1;
    }
    // A cached body holds only lines placed in its scope: the body of the
    // scope the line leaves goes too (a sibling whose name merely starts
    // like `name` keeps nothing that lists lines without a scope name).
    if (RemoveBodyInfoFromScopeCacheEntry(&self->info_cache, line->scope_name) != 0) return -1;
    Py_CLEAR(line->scope_name);
  }
  return 0;
}

static int AppendDefName(tLogicalLine* line, PyObject* full_name, tLogicalChanges* changes) {
  PyObject* target = line->type == kClassDefIndex ? changes->classes : changes->functions;
  return PyList_Append(target, full_name);
}

static int ProcessRemovedLogicals(tPySourceImpl* self, PyObject* removed_list, tLogicalChanges* changes) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(removed_list); ++i) {
    PyObject* item = PyList_GET_ITEM(removed_list, i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Items in the removed list must be logical lines");
      return -1;
    }
    PyRef keep = PyRef::Borrow(item);
    tLogicalLine* line = AsLogical(item);
    if (line->parsed) {
      if (RemoveNameDefnsFromCache(&self->info_cache, item) != 0) return -1;
      --self->parsed_count;
    }
    if (line->type == kFromImportIndex) changes->scan_for_future = 1;
    // A line never placed in a scope cannot be behind any cached fact.
    if (line->scope_name == nullptr) continue;
    if (LogicalInScopeChanged(self, item, 0, changes) != 0) return -1;
    PyObject* def_name = LogicalDefName(line);
    if (def_name == nullptr || line->scope_name == nullptr) continue;
    PyRef full_name = JoinScopeNames(self, line->scope_name, def_name);
    if (!full_name) return -1;
    if (InvalidateMatchingScopeNames(self, full_name.get()) != 0) return -1;
    if (RemoveScopeCacheEntry(&self->info_cache, full_name.get()) != 0) return -1;
    if (AppendDefName(line, full_name.get(), changes) != 0) return -1;
  }
  return 0;
}

// Lines below an added definition that were placed in an enclosing scope now
// lie in the new one: note the change in their old scope and forget their
// scope names.  The walk stops at the first line outside the definition, or
// at the first line already placed under it.
static int RescopeLinesAfterDef(tPySourceImpl* self, PyObject* def_logical, PyObject* full_name,
                                tLogicalChanges* changes) {
  Py_ssize_t index = FindIndexOfLogical(self->logical_list, def_logical);
  if (index < 0) {
    PyErr_BadInternalCall();
    return -1;
  }
  Py_ssize_t full_len = 0;
  const char* full_text = TextToCompare(full_name, &full_len);
  if (full_text == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef keep_name = PyRef::Borrow(full_name);
  int16_t def_indent = AsLogical(def_logical)->indent;
  PyRef list = PyRef::Borrow(self->logical_list);
  for (Py_ssize_t i = index + 1; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return -1;
    }
    tLogicalLine* line = AsLogical(item);
    if (!IsCommentOrBlankType(line->type) && line->indent <= def_indent) break;
    if (line->scope_name == nullptr) continue;
    Py_ssize_t scope_len = 0;
    const char* scope_text = TextToCompare(line->scope_name, &scope_len);
    if (scope_text != nullptr && scope_len >= full_len && std::memcmp(scope_text, full_text, full_len) == 0 &&
        (scope_len == full_len || scope_text[full_len] == '.'))
      break;
    PyRef keep = PyRef::Borrow(item);
    if (LogicalInScopeChanged(self, item, 1, changes) != 0) return -1;
    Py_CLEAR(line->scope_name);
  }
  return 0;
}

static int ProcessAddedLogicals(tPySourceImpl* self, PyObject* added_list, tLogicalChanges* changes) {
  Py_ssize_t prior_cache_count = GetScopeCacheEntryCount(&self->info_cache);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(added_list); ++i) {
    PyObject* item = PyList_GET_ITEM(added_list, i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Items in the added list must be logical lines");
      return -1;
    }
    PyRef keep = PyRef::Borrow(item);
    tLogicalLine* line = AsLogical(item);
    if (line->parsed) ++self->parsed_count;
    if (line->type == kFromImportIndex) changes->scan_for_future = 1;
    PyRef scope_name = GetScopeNameForLineDirect(self, item);
    if (!scope_name) return -1;
    if (LogicalInScopeChanged(self, item, 1, changes) != 0) return -1;
    if (LogicalDefName(line) == nullptr) continue;
    PyRef full_name = GetFullScopeNameDefined(self, item);
    if (!full_name) return -1;
    if (AddOrClearScopeCacheEntry(&self->info_cache, full_name.get(), item) != 0) return -1;
    // With nothing cached per scope, no cached body can hold the lines below.
    if (prior_cache_count != 0 && RescopeLinesAfterDef(self, item, full_name.get(), changes) != 0) return -1;
    if (AppendDefName(line, full_name.get(), changes) != 0) return -1;
  }
  return 0;
}

static const char LogicalCacheModified_doc[] =
    "Invoked when logical cache is modified.  Returns three sequences of the changes as a tuple.  The sequences "
    "will be either lists or tuples.  The sequences are:   body_changes: scope names in which at least one body "
    "line changed   class_defns: full names of class defining lines added or removed   function_defns: full "
    "names of function defining lines added or removed";

static PyObject* LogicalCacheModified(tPySourceImpl* self, PyObject* args) {
  PyObject* logical_cache;
  PyObject* delta;
  if (!PyArg_ParseTuple(args, "OO:LogicalCacheModifed", &logical_cache, &delta)) return nullptr;
  if (!IsClassInstance(logical_cache)) {
    SetArgKindError("LogicalCacheModifed", 1, "class instance", logical_cache);
    return nullptr;
  }
  if (!IsClassInstance(delta)) {
    SetArgKindError("LogicalCacheModifed", 2, "class instance", delta);
    return nullptr;
  }
  if (!CheckLogicalList(self)) return nullptr;

  tLogicalChanges changes;
  if (InitLogicalChanges(&changes) != 0) return nullptr;
  LogicalChangesScope release_changes(&changes);
  PyRef removed(PyObject_GetAttrString(delta, "removed"));
  if (!removed) return nullptr;
  PyRef added(PyObject_GetAttrString(delta, "added"));
  if (!added) return nullptr;
  if (!IsExactList(removed.get()) || !IsExactList(added.get())) {
    PyErr_SetString(PyExc_TypeError, "delta's added & removed attributes must be a Python lists");
    return nullptr;
  }
  if (ProcessRemovedLogicals(self, removed.get(), &changes) != 0) return nullptr;
  if (ProcessAddedLogicals(self, added.get(), &changes) != 0) return nullptr;
  self->logical_cache_needs_update = 0;
  if (changes.scan_for_future && UpdateFromFutureFlags(self) != 0) return nullptr;
  return LogicalChangesToTuple(&changes).release();
}

static const char ClearCache_doc[] = "Clears all entries from the source info cache";

static PyObject* ClearCache(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":ClearCache")) return nullptr;
  ClearSrcInfoCache(&self->info_cache);
  Py_RETURN_NONE;
}

static const char RebuildCache_doc[] = "Rebuilds source info cache from logical list";

static PyObject* RebuildCache(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":RebuildCache")) return nullptr;
  ClearSrcInfoCache(&self->info_cache);
  if (UpdateFromFutureFlags(self) != 0) return nullptr;
  // The host callback above may have installed another list; take the one
  // in place now.
  if (self->logical_list == nullptr) Py_RETURN_NONE;
  PyRef list = PyRef::Borrow(self->logical_list);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "All elements in logical_list must be logical lines");
      return nullptr;
    }
    PyRef keep = PyRef::Borrow(item);
    if (!GetScopeNameForLineDirect(self, item)) return nullptr;
    if (AddNameDefnsToCache(&self->info_cache, item) != 0) return nullptr;
    if (LogicalDefName(AsLogical(item)) == nullptr) continue;
    PyRef full_name = GetFullScopeNameDefined(self, item);
    if (!full_name) return nullptr;
    if (AddOrClearScopeCacheEntry(&self->info_cache, full_name.get(), item) != 0) return nullptr;
  }
  Py_RETURN_NONE;
}

// Appends to `result` the `two` of each of the line's pairs whose `one` is a
// string with exactly the text `search_name`.
static int AppendMatchingEquivs(PyObject* logical, const char* search_name, size_t search_len, PyObject* result) {
  tLogicalLine* line = AsLogical(logical);
  for (int i = 0; i < line->type_equivs_len; ++i) {
    const tNonTuplePair& pair = line->type_equivs[i];
    if (!TextEquals(pair.one, search_name, search_len)) continue;
    if (PyList_Append(result, pair.two) != 0) return -1;
  }
  return 0;
}

static int AnalyzeIfNeeded(tPySourceImpl* self, PyObject* logical) {
  if (AsLogical(logical)->parsed) return 0;
  PyRef keep = PyRef::Borrow(logical);
  return AnalyzeLogicalLineDirect(self, logical);
}

// The `two` of every pair named `search_name` on the lines of `logical_list`,
// def lines excepted (their pairs belong to the function's own scope).
// Analyses lines that are not yet analysed.
PyRef SearchLogicalListForEquivs(tPySourceImpl* self, PyObject* logical_list, const char* search_name) {
  PyRef list = PyRef::Borrow(logical_list);
  PyRef result(PyList_New(0));
  if (!result) return PyRef();
  size_t search_len = std::strlen(search_name);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return PyRef();
    }
    if (AsLogical(item)->type == kFunctionDefIndex) continue;
    PyRef keep = PyRef::Borrow(item);
    if (AnalyzeIfNeeded(self, item) != 0 || AppendMatchingEquivs(item, search_name, search_len, result.get()) != 0) {
      EnsureFailureSet("SearchLogicalListForEquivs");
      return PyRef();
    }
  }
  return result;
}

static PyRef FindTypeEquivsDirect(tPySourceImpl* self, const char* search_name, PyObject* scope_name) {
  PyRef body = GetBodyOfScopeDirect(self, scope_name);
  if (!body) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return PyRef();
    PyErr_Clear();
    return PyRef(PyList_New(0));
  }
  PyRef result = SearchLogicalListForEquivs(self, body.get(), search_name);
  if (!result) return PyRef();
  PyRef scope_def = GetScopeDefForFullNameDirect(self, scope_name);
  if (!scope_def) return PyRef();
  // A function's own line carries the equivalences of its arguments.
  if (IsLogical(self, scope_def.get()) && AsLogical(scope_def.get())->type == kFunctionDefIndex) {
    if (AnalyzeIfNeeded(self, scope_def.get()) != 0) return PyRef();
    if (AppendMatchingEquivs(scope_def.get(), search_name, std::strlen(search_name), result.get()) != 0)
      return PyRef();
  }
  return result;
}

static const char FindTypeEquivs_doc[] = "Find all type equivs in a scope";

static PyObject* FindTypeEquivs(tPySourceImpl* self, PyObject* args) {
  const char* search_name;
  PyObject* scope_name;
  if (!PyArg_ParseTuple(args, "sO!:FindTypeEquivs", &search_name, &PyUnicode_Type, &scope_name)) return nullptr;
  if (!CheckExactStrArg("FindTypeEquivs", 2, scope_name)) return nullptr;
  // The text belongs to the argument tuple, which the call holds throughout.
  PyRef result = FindTypeEquivsDirect(self, search_name, scope_name);
  if (!result) EnsureFailureSet("FindTypeEquivs");
  return result.release();
}

// 1 when the line's method name passes the filter `method_spec` (None lets
// every name pass), 0 when not, -1 when the containment test fails.
static int MethodNameInSeq(PyObject* logical, PyObject* method_spec) {
  if (method_spec == Py_None) return 1;
  PyObject* name = LogicalDefName(AsLogical(logical));
  if (name == nullptr) return 0;
  PyRef keep = PyRef::Borrow(name);
  return PySequence_Contains(method_spec, keep.get());
}

// Def lines of a class body that the method filter lets through: 1 to take
// the line, 0 to pass it over, -1 on failure.
static int IsMethodSelected(tPySourceImpl* self, PyObject* logical, PyObject* func_name_spec) {
  if (!IsLogical(self, logical)) {
    PyErr_BadInternalCall();
    return -1;
  }
  if (AsLogical(logical)->type != kFunctionDefIndex) return 0;
  return MethodNameInSeq(logical, func_name_spec);
}

// The method's instance parameter: the first attribute entry of its
// (analysed) def line when that is a string; null (no exception) when the
// method has none.
static PyRef InstancePrefix(PyObject* method_def) {
  tLogicalLine* line = AsLogical(method_def);
  if (line->objs_len < 1 || !IsExactStr(line->objs[0])) return PyRef();
  return PyRef::Borrow(line->objs[0]);
}

// The attribute name in `entry` when it is <prefix>.<name> with a non-empty
// name holding no further '.'; null otherwise.
static const char* InstanceAttribName(PyObject* entry, const char* prefix, size_t prefix_len, Py_ssize_t* name_len) {
  Py_ssize_t len = 0;
  const char* text = TextToCompare(entry, &len);
  if (text == nullptr || static_cast<size_t>(len) <= prefix_len + 1) return nullptr;
  if (std::memcmp(text, prefix, prefix_len) != 0 || text[prefix_len] != '.') return nullptr;
  const char* name = text + prefix_len + 1;
  *name_len = len - static_cast<Py_ssize_t>(prefix_len) - 1;
  if (std::memchr(name, '.', static_cast<size_t>(*name_len)) != nullptr) return nullptr;
  return name;
}

// Appends (pooled attribute name, line) for each instance attribute that a
// line of the method's direct body assigns.
static int AppendInstAttributesInMethod(tPySourceImpl* self, PyObject* method_def, PyObject* attrib_list) {
  PyRef keep_def = PyRef::Borrow(method_def);
  if (AnalyzeIfNeeded(self, method_def) != 0) return -1;
  PyRef prefix = InstancePrefix(method_def);
  if (!prefix) return 0;
  Py_ssize_t prefix_len = 0;
  const char* prefix_text = TextToCompare(prefix.get(), &prefix_len);
  if (prefix_text == nullptr) return 0;

  PyRef full_name = GetFullScopeNameDefined(self, method_def);
  if (!full_name) return -1;
  PyRef body = GetBodyOfScopeDirect(self, full_name.get());
  if (!body) return -1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(body.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return -1;
    }
    if (IsScopeDefType(AsLogical(item)->type)) continue;
    PyRef keep = PyRef::Borrow(item);
    if (AnalyzeIfNeeded(self, item) != 0) return -1;
    tLogicalLine* line = AsLogical(item);
    for (int j = 0; j < line->objs_len; ++j) {
      Py_ssize_t name_len = 0;
      const char* name = InstanceAttribName(line->objs[j], prefix_text, prefix_len, &name_len);
      if (name == nullptr) continue;
      PyRef pooled = GetStringWithLengthFromPool(self->name_pool, name, name_len);
      if (!pooled) return -1;
      PyRef entry(PyTuple_Pack(2, pooled.get(), item));
      if (!entry || PyList_Append(attrib_list, entry.get()) != 0) return -1;
    }
  }
  return 0;
}

static PyRef GetInstanceAttributesDirect(tPySourceImpl* self, PyObject* class_name, PyObject* func_name_spec) {
  PyRef class_def = GetScopeDefForFullNameDirect(self, class_name);
  if (!class_def) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return PyRef();
    PyErr_Clear();
    return PyRef::Borrow(Py_None);
  }
  if (!IsLogical(self, class_def.get()) || AsLogical(class_def.get())->type != kClassDefIndex)
    return PyRef::Borrow(Py_None);
  PyRef result(PyList_New(0));
  if (!result) return PyRef();
  PyRef body = GetBodyOfScopeDirect(self, class_name);
  if (!body) return PyRef();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
    PyRef item = PyRef::Borrow(PyList_GET_ITEM(body.get(), i));
    int selected = IsMethodSelected(self, item.get(), func_name_spec);
    if (selected < 0) return PyRef();
    if (selected == 0) continue;
    if (AppendInstAttributesInMethod(self, item.get(), result.get()) != 0) {
      EnsureFailureSet("FindInstAttribEquivInMethod");
      return PyRef();
    }
  }
  return result;
}

static const char GetInstanceAttributes_doc[] =
    "Find all instance attributes names in the given class (but not in base classes. The 2rd arg is a sequence "
    "of method names to match; if it is None, any name matches.";

static PyObject* GetInstanceAttributes(tPySourceImpl* self, PyObject* args) {
  PyObject* class_name;
  PyObject* func_name_spec;
  if (!PyArg_ParseTuple(args, "O!O:GetInstanceAttributes", &PyUnicode_Type, &class_name, &func_name_spec))
    return nullptr;
  if (!CheckExactStrArg("GetInstanceAttributes", 1, class_name)) return nullptr;
  PyRef result = GetInstanceAttributesDirect(self, class_name, func_name_spec);
  if (!result) EnsureFailureSet("GetInstanceAttributes");
  return result.release();
}

// (full method name, equivalence list) for the instance attribute
// `attrib_name` in the method's direct body, or None when the method has no
// instance parameter or no equivalence for it.
static PyRef FindInstAttribEquivInMethod(tPySourceImpl* self, PyObject* full_name, PyObject* method_def,
                                         const char* attrib_name) {
  PyRef keep_def = PyRef::Borrow(method_def);
  if (AnalyzeIfNeeded(self, method_def) != 0) return PyRef();
  PyRef prefix = InstancePrefix(method_def);
  if (!prefix) return PyRef::Borrow(Py_None);
  tCharBuffer search;
  if (AppendStrToCharBuffer(&search, prefix.get()) != 0 || AppendToCharBuffer(&search, ".") != 0 ||
      AppendToCharBuffer(&search, attrib_name) != 0)
    return PyRef();
  PyRef body = GetBodyOfScopeDirect(self, full_name);
  if (!body) return PyRef();
  PyRef equivs = SearchLogicalListForEquivs(self, body.get(), search.ptr);
  if (!equivs) return PyRef();
  body.reset();
  if (PyList_GET_SIZE(equivs.get()) == 0) return PyRef::Borrow(Py_None);
  return PyRef(PyTuple_Pack(2, full_name, equivs.get()));
}

static PyRef FindInstAttribTypeEquivsDirect(tPySourceImpl* self, const char* attrib_name, PyObject* class_name,
                                            PyObject* func_name_spec) {
  PyRef result(PyList_New(0));
  if (!result) return PyRef();
  PyRef body = GetBodyOfScopeDirect(self, class_name);
  if (!body) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return PyRef();
    PyErr_Clear();
    return result;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
    PyRef item = PyRef::Borrow(PyList_GET_ITEM(body.get(), i));
    int selected = IsMethodSelected(self, item.get(), func_name_spec);
    if (selected < 0) return PyRef();
    if (selected == 0) continue;
    PyRef full_name = GetFullScopeNameDefined(self, item.get());
    if (!full_name) return PyRef();
    PyRef found = FindInstAttribEquivInMethod(self, full_name.get(), item.get(), attrib_name);
    if (!found) {
      EnsureFailureSet("FindInstAttribEquivInMethod");
      return PyRef();
    }
    if (found.get() != Py_None && PyList_Append(result.get(), found.get()) != 0) return PyRef();
  }
  return result;
}

static const char FindInstAttribTypeEquivs_doc[] =
    "Find all type equivs for an instance attrib of the given class.  The 3rd arg is a sequence of function "
    "names to match; if it is None, any name matches.  Return value is a list of (full-method-name, equiv-list) "
    "pairs where equiv-list is a list of equivalent names in the given method.";

static PyObject* FindInstAttribTypeEquivs(tPySourceImpl* self, PyObject* args) {
  const char* attrib_name;
  PyObject* class_name;
  PyObject* func_name_spec;
  if (!PyArg_ParseTuple(args, "sO!O:FindInstAttribTypeEquivs", &attrib_name, &PyUnicode_Type, &class_name,
                        &func_name_spec))
    return nullptr;
  if (!CheckExactStrArg("FindInstAttribTypeEquivs", 2, class_name)) return nullptr;
  PyRef result = FindInstAttribTypeEquivsDirect(self, attrib_name, class_name, func_name_spec);
  if (!result) EnsureFailureSet("FindInstAttribTypeEquivs");
  return result.release();
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
      if (self->from_future_flags == nullptr) Py_RETURN_NONE;
      return PyRef::Borrow(self->from_future_flags).release();
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
