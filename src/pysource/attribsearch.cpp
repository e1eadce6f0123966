// The attribute search: which names a module defines, by scope and name
// pattern and by kind, as attribute references made by the host's class.
//
// Host code runs in the middle of the search: it calls "UpdateFromCache",
// analyses lines and calls the attribute-reference class.  That code may
// change the logical list or a line's facts, so lists are walked by index
// against their current size and every object in use is held.
#include "attribsearch.h"

#include "linedriver.h"
#include "scopes.h"

static PyObject* s_star_str = nullptr;
static PyObject* s_update_from_cache_str = nullptr;

// One search: the patterns are borrowed (the method holds the caller's
// values for the duration of the call), scopes_seen is owned.
struct tSearchContext {
  tPySourceImpl* self = nullptr;
  PyObject* scope_spec = nullptr;
  PyObject* name_spec = nullptr;
  int generic_valid = 1;
  int import_valid = 1;
  int classdef_valid = 1;
  int functiondef_valid = 1;
  int update = 1;
  int find_all = 1;
  int simple_names_valid = 1;
  int dotted_names_valid = 1;
  PyRef scopes_seen;  // scope name -> {local name: True} of names returned
};

// Every pattern "*", every option on.
static int InitSearchContext(tSearchContext* ctx, tPySourceImpl* self) {
  PyObject* star = CachedString(&s_star_str, "*");
  if (star == nullptr) return -1;
  ctx->scopes_seen = PyRef::Steal(PyDict_New());
  if (!ctx->scopes_seen) return -1;
  ctx->self = self;
  ctx->scope_spec = star;
  ctx->name_spec = star;
  return 0;
}

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
  PyRef attribref_class = PyRef::NewRef(self->attribref_class.get());
  if (!attribref_class || !self->mod_analysis) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef args = PyRef::Steal(PyTuple_Pack(6, kind, local_name, full_name.get(), self->mod_analysis.get(), logical,
                          imp_ref != nullptr ? imp_ref : Py_None));
  if (!args) return PyRef();
  return PyRef::Steal(PyObject_Call(attribref_class.get(), args.get(), nullptr));
}

static int AppendAttribToList(tSearchContext* ctx, PyObject* ret_list, PyObject* kind, PyObject* local_name,
                              PyObject* scope_name, PyObject* logical, PyObject* imp_ref) {
  if (!ctx->find_all) {
    PyRef seen = PyRef::NewRef(PyDict_GetItemWithError(ctx->scopes_seen.get(), scope_name));
    if (!seen) {
      if (PyErr_Occurred()) return -1;
      seen.reset(PyDict_New());
      if (!seen || PyDict_SetItem(ctx->scopes_seen.get(), scope_name, seen.get()) != 0) return -1;
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
  PyRef keep = PyRef::NewRef(logical);
  tLogicalLine* line = AsLogical(logical);
  switch (line->type) {
    case kClassDefIndex:
    case kFunctionDefIndex: {
      PyRef name = PyRef::NewRef(LogicalDefName(line));
      if (!name || !LocalNameMatch(ctx, name.get())) return 0;
      PyObject* kind = line->type == kClassDefIndex ? self->logical_mod.class_attrib_kind
                                                    : self->logical_mod.function_attrib_kind;
      return AppendAttribToList(ctx, ret_list, kind, name.get(), scope_name, logical, nullptr);
    }
    case kImportIndex:
    case kFromImportIndex:
      // The host may change the line's entries while a reference is made.
      for (int i = 0; i < line->objs_len; ++i) {
        PyRef entry = PyRef::NewRef(line->objs[i]);
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
        PyRef entry = PyRef::NewRef(line->objs[i]);
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
  PyRef list = PyRef::NewRef(scan_list);
  ScopeStack stack;
  if (stack.Push(PyRef::NewRef(initial_scope), -2) != 0) return -1;
  if (ctx->update && (ctx->generic_valid || ctx->import_valid)) {
    if (AnalyzeLogicalListDirect(self, list.get(), -1) < 0) return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyRef item = HeldLine(self, list.get(), i);
    if (!item) return -1;
    tLogicalLine* line = AsLogical(item.get());
    if (IsCommentOrBlankType(line->type)) continue;
    while (line->indent <= stack.Top().indent) {
      if (stack.Pop() != 0) return -1;
    }
    PyRef scope_name = PyRef::NewRef(stack.Top().name);
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
    PyRef item = HeldLine(self, defns.get(), i);
    if (!item) return -1;
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
  PyRef mod_analysis = PyRef::NewRef(self->mod_analysis.get());
  if (!mod_analysis) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef result = PyRef::Steal(PyObject_CallMethodNoArgs(mod_analysis.get(), s_update_from_cache_str));
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
    lines = PyRef::NewRef(self->logical_list.get());
  } else {
    lines = GetBodyOfScopeDirect(self, ctx->scope_spec);
    if (!lines) return ClearExpectedError(PyExc_KeyError) ? 0 : -1;
  }
  if (!IsExactList(lines.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(lines.get()); ++i) {
    PyRef item = HeldLine(self, lines.get(), i);
    if (!item) return -1;
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
    lines = PyRef::NewRef(self->logical_list.get());
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
  PyRef key_str = PyRef::Steal(PyUnicode_FromString(key));
  if (!key_str) return PyRef();
  return PyRef::NewRef(PyDict_GetItemWithError(spec_dict, key_str.get()));
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

const char SearchForAttribs_doc[] = "Search for attributes defined in module. ";

PyObject* SearchForAttribs(tPySourceImpl* self, PyObject* args) {
  PyObject* spec_dict;
  if (!PyArg_ParseTuple(args, "O!:SearchForAttribs", &PyDict_Type, &spec_dict)) return nullptr;

  tSearchContext ctx;
  if (InitSearchContext(&ctx, self) != 0) return nullptr;
  PyRef options = PyRef::NewRef(spec_dict);
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

  PyRef ret_list = PyRef::Steal(PyList_New(0));
  if (!ret_list) return nullptr;
  if (SearchForAttribsDirect(&ctx, ret_list.get()) != 0) return nullptr;
  return ret_list.release();
}
