// Scopes: the backward search for the definition line enclosing a line, the
// scope names of lines and the full names of definitions, and the lookup of
// a scope's definition line and body by full name.
#include "scopes.h"

#include <cstring>

#include "astinspect.h"
#include "linedriver.h"
#include "walker.h"

// ===========================================================================
// Backward scope search
// ===========================================================================

static void SetNotLogicalLineError() {
  PyErr_SetString(PyExc_TypeError, "Every element of logical list must be a logical line");
}

// The index of the first item of `list` that is `item`, or -1.  Lines are
// looked for in long lists for every def line analysed: blocks of eight are
// compared without a branch per item.
static Py_ssize_t FirstIndexOf(PyObject* list, PyObject* item) {
  PyObject** items = reinterpret_cast<PyListObject*>(list)->ob_item;
  Py_ssize_t count = PyList_GET_SIZE(list);
  Py_ssize_t j = 0;
  for (; j + 8 <= count; j += 8) {
    bool hit = false;
    for (int k = 0; k < 8; ++k) hit |= items[j + k] == item;
    if (hit) break;
  }
  for (; j < count; ++j) {
    if (items[j] == item) return j;
  }
  return -1;
}

PyRef FindScopeForLineDirect(tLogicalLineFunctionTable* funcs, PyObject* line_list, PyObject* logical) {
  Py_ssize_t i = IsExactList(line_list) ? FirstIndexOf(line_list, logical) : -1;
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
  // What the table's check accepts is exactly the line type: the lines
  // passed over are checked against it here, without a call for each.
  PyRef line_type = PyRef::Steal(funcs->get_type_object());
  if (!line_type) return {};
  auto is_line = [&line_type](PyObject* obj) {
    return reinterpret_cast<PyObject*>(Py_TYPE(obj)) == line_type.get();
  };
  PyObject* cur = logical;
  while (i > 0 && IsCommentOrBlankType(AsLogical(cur)->type)) {
    --i;
    cur = PyList_GET_ITEM(line_list, i);
    if (!is_line(cur)) {
      SetNotLogicalLineError();
      return {};
    }
  }
  int limit = AsLogical(cur)->indent;
  if (limit == 0) return PyRef::NewRef(Py_None);
  while (i > 0) {
    --i;
    PyObject* item = PyList_GET_ITEM(line_list, i);
    if (!is_line(item)) {
      SetNotLogicalLineError();
      return {};
    }
    tLogicalLine* line = AsLogical(item);
    if (IsCommentOrBlankType(line->type) || line->indent >= limit) continue;
    if (IsScopeDefType(line->type)) return PyRef::NewRef(item);
    limit = line->indent;
    if (limit == 0) break;
  }
  return PyRef::NewRef(Py_None);
}

// ---------------------------------------------------------------------------
// Scope of a line and full scope names
// ---------------------------------------------------------------------------

PyRef JoinScopeNames(tPySourceImpl* self, PyObject* n1, PyObject* n2) {
  if (!IsExactStr(n1) || !IsExactStr(n2)) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  // A name joined with nothing is that very name: a def's name token, which
  // the splitter took from the pool.
  if (PyUnicode_GET_LENGTH(n1) == 0) return PyRef::NewRef(n2);
  if (PyUnicode_GET_LENGTH(n2) == 0) return PyRef::NewRef(n1);
  // Joined as strings, not as UTF-8 text: a name holding a lone surrogate,
  // which has no UTF-8 form, still gets its full name.  Names of one-byte
  // kind, nearly all, are copied straight into the new string.
  PyRef joined;
  if (PyUnicode_KIND(n1) == PyUnicode_1BYTE_KIND && PyUnicode_KIND(n2) == PyUnicode_1BYTE_KIND) {
    Py_ssize_t len1 = PyUnicode_GET_LENGTH(n1), len2 = PyUnicode_GET_LENGTH(n2);
    Py_UCS4 widest = PyUnicode_IS_ASCII(n1) && PyUnicode_IS_ASCII(n2) ? 127 : 255;
    joined = PyRef::Steal(PyUnicode_New(len1 + 1 + len2, widest));
    if (!joined) return PyRef();
    Py_UCS1* out = PyUnicode_1BYTE_DATA(joined.get());
    std::memcpy(out, PyUnicode_1BYTE_DATA(n1), static_cast<size_t>(len1));
    out[len1] = '.';
    std::memcpy(out + len1 + 1, PyUnicode_1BYTE_DATA(n2), static_cast<size_t>(len2));
  } else {
    joined = PyRef::Steal(PyUnicode_FromFormat("%U.%U", n1, n2));
  }
  if (!joined) return PyRef();
  return PoolString(self->name_pool.get(), std::move(joined));
}

PyRef BuildFullNameForScopeDefDirect(tPySourceImpl* self, PyObject* scope_def) {
  if (scope_def == Py_None) {
    PyObject* empty = EmptyStr();
    return empty ? PyRef::NewRef(empty) : PyRef();
  }
  if (!IsLogical(self, scope_def)) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef parent = GetScopeNameForLineDirect(self, scope_def);
  if (!parent) return PyRef();
  PyObject* local = LogicalDefName(AsLogical(scope_def));
  if (local == nullptr) return parent;
  return JoinScopeNames(self, parent.get(), local);
}

PyRef GetScopeNameForLineDirect(tPySourceImpl* self, PyObject* logical) {
  tLogicalLine* line = AsLogical(logical);
  if (line->scope_name != nullptr) return PyRef::NewRef(line->scope_name);
  PyRef scope_def = FindScopeForLineDirect(&self->logical_mod.funcs, self->logical_list.get(), logical);
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
  PyRef keep = PyRef::NewRef(local);
  PyRef scope = GetScopeNameForLineDirect(self, logical);
  if (!scope) return PyRef();
  return JoinScopeNames(self, scope.get(), keep.get());
}

const char FindScopeForLine_doc[] = "Find the logical which defines the scope the given logical is in.";

PyObject* FindScopeForLine(tPySourceImpl* self, PyObject* args) {
  PyObject* logical = LogicalLineArg(self, args, "O:FindScopeForLine");
  if (logical == nullptr) return nullptr;
  return FindScopeForLineDirect(&self->logical_mod.funcs, self->logical_list.get(), logical).release();
}

const char GetFullNameForScopeDef_doc[] = "Returns the full name for the def line.";

PyObject* GetFullNameForScopeDef(tPySourceImpl* self, PyObject* args) {
  PyObject* scope_def;
  if (!PyArg_ParseTuple(args, "O:GetFullNameForScopeDef", &scope_def)) return nullptr;
  if (scope_def == Py_None) return GetStringFromPool(self->name_pool.get(), "").release();
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
  return FirstIndexOf(scan_list, logical);
}

static PyRef ScopeNotFound(PyObject* full_name) {
  PyErr_SetObject(PyExc_KeyError, full_name);
  return PyRef();
}

PyRef GetScopeDefForFullNameDirect(tPySourceImpl* self, PyObject* full_name) {
  if (PyUnicode_GET_LENGTH(full_name) == 0) return PyRef::NewRef(Py_None);
  Py_ssize_t name_len = 0;
  const char* name = TextToCompare(full_name, &name_len);
  if (name == nullptr) return ScopeNotFound(full_name);  // no text matches a name with no UTF-8 form

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

  if (!self->logical_list) return ScopeNotFound(full_name);
  PyRef list = PyRef::NewRef(self->logical_list.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) break;
    if (!IsScopeDefType(AsLogical(item)->type)) continue;
    PyRef keep = PyRef::NewRef(item);
    PyRef scope_name = GetScopeNameForLineDirect(self, item);
    if (!scope_name) return PyRef();
    Py_ssize_t sn_len = 0;
    const char* sn = TextToCompare(scope_name.get(), &sn_len);
    if (sn == nullptr || static_cast<size_t>(sn_len) != scope_len || std::memcmp(sn, name, scope_len) != 0) continue;
    PyObject* def_name = LogicalDefName(AsLogical(item));
    if (def_name == nullptr) break;
    Py_ssize_t dn_len = 0;
    const char* dn = TextToCompare(def_name, &dn_len);
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
  PyRef result = PyRef::Steal(PyList_New(0));
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
  PyRef list = PyRef::NewRef(self->logical_list.get());
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

const char GetScopeDefForFullName_doc[] = "Returns the def line for the full name. ";

PyObject* GetScopeDefForFullName(tPySourceImpl* self, PyObject* args) {
  return RunFullNameMethod(self, args, "GetScopeDefForFullName", GetScopeDefForFullNameDirect);
}

const char GetBodyOfScope_doc[] = "Returns a list of all logicals in scope (and not in a subscope). ";

PyObject* GetBodyOfScope(tPySourceImpl* self, PyObject* args) {
  return RunFullNameMethod(self, args, "GetBodyOfScope", GetBodyOfScopeDirect);
}
