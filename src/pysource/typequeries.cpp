// Type queries: the type equivalences of a name in a scope, and the instance
// attributes of a class with their equivalences.
#include "typequeries.h"

#include "linedriver.h"
#include "scopes.h"
#include "walker.h"

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

// The `two` of every pair named `search_name` on the lines of `logical_list`,
// def lines excepted (their pairs belong to the function's own scope).
// Analyses lines that are not yet analysed.
static PyRef SearchLogicalListForEquivs(tPySourceImpl* self, PyObject* logical_list, const char* search_name) {
  PyRef list = PyRef::NewRef(logical_list);
  PyRef result = PyRef::Steal(PyList_New(0));
  if (!result) return PyRef();
  size_t search_len = std::strlen(search_name);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return PyRef();
    }
    if (AsLogical(item)->type == kFunctionDefIndex) continue;
    PyRef keep = PyRef::NewRef(item);
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
    return PyRef::Steal(PyList_New(0));
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

const char FindTypeEquivs_doc[] = "Find all type equivs in a scope";

PyObject* FindTypeEquivs(tPySourceImpl* self, PyObject* args) {
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
  PyRef keep = PyRef::NewRef(name);
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
  return PyRef::NewRef(line->objs[0]);
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
  PyRef keep_def = PyRef::NewRef(method_def);
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
    PyRef keep = PyRef::NewRef(item);
    if (AnalyzeIfNeeded(self, item) != 0) return -1;
    tLogicalLine* line = AsLogical(item);
    for (int j = 0; j < line->objs_len; ++j) {
      Py_ssize_t name_len = 0;
      const char* name = InstanceAttribName(line->objs[j], prefix_text, prefix_len, &name_len);
      if (name == nullptr) continue;
      PyRef pooled = GetStringWithLengthFromPool(self->name_pool.get(), name, name_len);
      if (!pooled) return -1;
      PyRef entry = PyRef::Steal(PyTuple_Pack(2, pooled.get(), item));
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
    return PyRef::NewRef(Py_None);
  }
  if (!IsLogical(self, class_def.get()) || AsLogical(class_def.get())->type != kClassDefIndex)
    return PyRef::NewRef(Py_None);
  PyRef result = PyRef::Steal(PyList_New(0));
  if (!result) return PyRef();
  PyRef body = GetBodyOfScopeDirect(self, class_name);
  if (!body) return PyRef();
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
    PyRef item = PyRef::NewRef(PyList_GET_ITEM(body.get(), i));
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

const char GetInstanceAttributes_doc[] =
    "Find all instance attributes names in the given class (but not in base classes. The 2rd arg is a sequence "
    "of method names to match; if it is None, any name matches.";

PyObject* GetInstanceAttributes(tPySourceImpl* self, PyObject* args) {
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
  PyRef keep_def = PyRef::NewRef(method_def);
  if (AnalyzeIfNeeded(self, method_def) != 0) return PyRef();
  PyRef prefix = InstancePrefix(method_def);
  if (!prefix || TextToCompare(prefix.get(), nullptr) == nullptr) return PyRef::NewRef(Py_None);
  tCharBuffer search;
  if (AppendStrToCharBuffer(&search, prefix.get()) != 0 || AppendToCharBuffer(&search, ".") != 0 ||
      AppendToCharBuffer(&search, attrib_name) != 0)
    return PyRef();
  PyRef body = GetBodyOfScopeDirect(self, full_name);
  if (!body) return PyRef();
  PyRef equivs = SearchLogicalListForEquivs(self, body.get(), search.ptr);
  if (!equivs) return PyRef();
  body.reset();
  if (PyList_GET_SIZE(equivs.get()) == 0) return PyRef::NewRef(Py_None);
  return PyRef::Steal(PyTuple_Pack(2, full_name, equivs.get()));
}

static PyRef FindInstAttribTypeEquivsDirect(tPySourceImpl* self, const char* attrib_name, PyObject* class_name,
                                            PyObject* func_name_spec) {
  PyRef result = PyRef::Steal(PyList_New(0));
  if (!result) return PyRef();
  PyRef body = GetBodyOfScopeDirect(self, class_name);
  if (!body) {
    if (!PyErr_ExceptionMatches(PyExc_KeyError)) return PyRef();
    PyErr_Clear();
    return result;
  }
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(body.get()); ++i) {
    PyRef item = PyRef::NewRef(PyList_GET_ITEM(body.get(), i));
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

const char FindInstAttribTypeEquivs_doc[] =
    "Find all type equivs for an instance attrib of the given class.  The 3rd arg is a sequence of function "
    "names to match; if it is None, any name matches.  Return value is a list of (full-method-name, equiv-list) "
    "pairs where equiv-list is a list of equivalent names in the given method.";

PyObject* FindInstAttribTypeEquivs(tPySourceImpl* self, PyObject* args) {
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
