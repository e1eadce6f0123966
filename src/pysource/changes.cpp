// Cache change processing: what the analyzer's caches forget and record when
// the host replaces lines of the logical list, and the rebuilding of the
// caches from the whole list.
#include "changes.h"

#include "scopes.h"

#include <cstring>
#include <vector>

// What one LogicalCacheModified call found changed; the record lives for
// one call.
struct tLogicalChanges {
  PyRef body_map;     // dict: scope name -> True, a body line changed
  PyRef functions;    // list: full names of def lines removed or added
  PyRef classes;      // list: full names of class lines removed or added
  PyRef doc_strings;  // list: scope names whose doc string line changed
  int32_t scan_for_future = 0;
};

static int InitLogicalChanges(tLogicalChanges* changes) {
  changes->body_map = PyRef::Steal(PyDict_New());
  changes->functions = PyRef::Steal(PyList_New(0));
  changes->classes = PyRef::Steal(PyList_New(0));
  changes->doc_strings = PyRef::Steal(PyList_New(0));
  return changes->body_map && changes->functions && changes->classes && changes->doc_strings ? 0 : -1;
}

// (body scope names, classes, functions, doc strings) as a new tuple.
static PyRef LogicalChangesToTuple(tLogicalChanges* changes) {
  PyRef body_names = PyRef::Steal(PyDict_Keys(changes->body_map.get()));
  if (!body_names) return PyRef();
  return PyRef::Steal(PyTuple_Pack(4, body_names.get(), changes->classes.get(), changes->functions.get(),
                                   changes->doc_strings.get()));
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
  PyRef scope_name = PyRef::NewRef(scope);
  PyRef doc_string = LookupDocStringLogicalInCache(&self->info_cache, scope_name.get());
  if (!doc_string) return -1;
  if (!added) {
    if (doc_string.get() != logical) return 0;
    if (PyList_Append(changes->doc_strings.get(), scope_name.get()) != 0) return -1;
    return RemoveDocStringLogicalFromCache(&self->info_cache, scope_name.get());
  }

  if (doc_string.get() != Py_None) return 0;
  PyRef scope_def = PyRef::NewRef(Py_None);
  Py_ssize_t def_index = -1;
  if (!IsExactStr(scope_name.get()) || PyUnicode_GET_LENGTH(scope_name.get()) != 0) {
    PyRef cached = LookupDefInScopeCache(&self->info_cache, scope_name.get());
    if (cached) {
      scope_def = std::move(cached);
      def_index = FindIndexOfLogical(self->logical_list.get(), scope_def.get());
    } else if (PyErr_ExceptionMatches(PyExc_KeyError)) {
      PyErr_Clear();
    } else {
      return -1;
    }
  }
  PyObject* list = self->logical_list.get();
  if (list == nullptr || def_index + 1 >= PyList_GET_SIZE(list) || PyList_GET_ITEM(list, def_index + 1) != logical)
    return 0;
  if (PyList_Append(changes->doc_strings.get(), scope_name.get()) != 0) return -1;
  return AddDocStringLogicalToCache(&self->info_cache, scope_name.get(), scope_def.get(), logical);
}

// Notes that a body line of the line's (cached) scope changed.
static int LogicalInScopeChanged(tPySourceImpl* self, PyObject* logical, int added, tLogicalChanges* changes) {
  PyObject* scope = AsLogical(logical)->scope_name;
  if (scope == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef scope_name = PyRef::NewRef(scope);
  if (PyDict_SetItem(changes->body_map.get(), scope_name.get(), Py_True) != 0) return -1;
  if (RemoveBodyInfoFromScopeCacheEntry(&self->info_cache, scope_name.get()) != 0) return -1;
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
  if (!self->logical_list) return 0;
  Py_ssize_t name_len = 0;
  const char* name_text = TextToCompare(name, &name_len);
  if (name_text == nullptr) {
    PyErr_BadInternalCall();
    return -1;
  }
  PyRef keep_name = PyRef::NewRef(name);
  PyRef list = PyRef::NewRef(self->logical_list.get());
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    // The pool and cache lookups below may run host code that changes the
    // list or the line: the line and its names are held throughout.
    PyRef item = HeldLine(self, list.get(), i);
    if (!item) return -1;
    tLogicalLine* line = AsLogical(item.get());
    if (line->scope_name == nullptr) continue;
    Py_ssize_t scope_len = 0;
    const char* scope_text = TextToCompare(line->scope_name, &scope_len);
    if (scope_text == nullptr || scope_len < name_len || std::memcmp(scope_text, name_text, name_len) != 0)
      continue;
    PyRef scope_name = PyRef::NewRef(line->scope_name);
    PyRef def_name = PyRef::NewRef(LogicalDefName(line));
    if (def_name) {
      PyRef full_name = JoinScopeNames(self, scope_name.get(), def_name.get());
      if (!full_name) return -1;
      if (RemoveScopeCacheEntry(&self->info_cache, full_name.get()) != 0) return -1;
    }
    // A cached body holds only lines placed in its scope: the body of the
    // scope the line leaves goes too (a sibling whose name merely starts
    // like `name` keeps nothing that lists lines without a scope name).
    if (RemoveBodyInfoFromScopeCacheEntry(&self->info_cache, scope_name.get()) != 0) return -1;
    if (line->scope_name == scope_name.get()) Py_CLEAR(line->scope_name);
  }
  return 0;
}

static int AppendDefName(tLogicalLine* line, PyObject* full_name, tLogicalChanges* changes) {
  PyObject* target = line->type == kClassDefIndex ? changes->classes.get() : changes->functions.get();
  return PyList_Append(target, full_name);
}

static int ProcessRemovedLogicals(tPySourceImpl* self, PyObject* removed_list, tLogicalChanges* changes) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(removed_list); ++i) {
    PyObject* item = PyList_GET_ITEM(removed_list, i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Items in the removed list must be logical lines");
      return -1;
    }
    PyRef keep = PyRef::NewRef(item);
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
  Py_ssize_t index = FindIndexOfLogical(self->logical_list.get(), def_logical);
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
  PyRef keep_name = PyRef::NewRef(full_name);
  int16_t def_indent = AsLogical(def_logical)->indent;
  PyRef list = PyRef::NewRef(self->logical_list.get());
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
    PyRef keep = PyRef::NewRef(item);
    if (LogicalInScopeChanged(self, item, 1, changes) != 0) return -1;
    Py_CLEAR(line->scope_name);
  }
  return 0;
}

// Whether `item` is an item of the logical list.  Where the last added line
// was found is looked at first: typing replaces the line at the same place
// again and again, and a search of a long list from its start reads all of
// it up to there, which costs a keystroke that finds the caches cold.  The
// place is one guess for all analyzers (the one being typed in), checked
// before it is taken.
static bool InLogicalList(tPySourceImpl* self, PyObject* item) {
  static Py_ssize_t last_found = 0;
  PyObject* list = self->logical_list.get();
  if (list != nullptr && last_found < PyList_GET_SIZE(list) && PyList_GET_ITEM(list, last_found) == item) return true;
  Py_ssize_t index = FindIndexOfLogical(list, item);
  if (index < 0) return false;
  last_found = index;
  return true;
}

static int ProcessAddedLogicals(tPySourceImpl* self, PyObject* added_list, tLogicalChanges* changes) {
  Py_ssize_t prior_cache_count = GetScopeCacheEntryCount(&self->info_cache);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(added_list); ++i) {
    PyObject* item = PyList_GET_ITEM(added_list, i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "Items in the added list must be logical lines");
      return -1;
    }
    // An added line is placed by its neighbours in the list.
    if (!InLogicalList(self, item)) {
      PyErr_SetString(PyExc_ValueError, "Items in the added list must be lines of the logical list");
      return -1;
    }
    PyRef keep = PyRef::NewRef(item);
    TrackLogicalListFor(self, item);
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

const char LogicalCacheModified_doc[] =
    "Invoked when logical cache is modified.  Returns three sequences of the changes as a tuple.  The sequences "
    "will be either lists or tuples.  The sequences are:   body_changes: scope names in which at least one body "
    "line changed   class_defns: full names of class defining lines added or removed   function_defns: full "
    "names of function defining lines added or removed";

PyObject* LogicalCacheModified(tPySourceImpl* self, PyObject* args) {
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
  PyRef removed = PyRef::Steal(PyObject_GetAttrString(delta, "removed"));
  if (!removed) return nullptr;
  PyRef added = PyRef::Steal(PyObject_GetAttrString(delta, "added"));
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

const char ClearCache_doc[] = "Clears all entries from the source info cache";

PyObject* ClearCache(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":ClearCache")) return nullptr;
  ClearSrcInfoCache(&self->info_cache);
  Py_RETURN_NONE;
}

// One line of the chain of open blocks above the current line: its indent
// and the scope name of the lines nested under it (its full name for a def,
// else the scope it is in itself).
struct tOpenBlock {
  int indent;
  PyRef inner_scope;
};

const char RebuildCache_doc[] = "Rebuilds source info cache from logical list";

// Whether the str `joined` reads `scope` "." `local` (`local` alone for an
// empty scope); false as well when any of the three is not of one-byte kind.
static bool ReadsAsJoined(PyObject* joined, PyObject* scope, PyObject* local) {
  if (!IsExactStr(joined) || !IsExactStr(scope) || !IsExactStr(local) ||
      PyUnicode_KIND(joined) != PyUnicode_1BYTE_KIND || PyUnicode_KIND(scope) != PyUnicode_1BYTE_KIND ||
      PyUnicode_KIND(local) != PyUnicode_1BYTE_KIND)
    return false;
  Py_ssize_t n1 = PyUnicode_GET_LENGTH(scope), n2 = PyUnicode_GET_LENGTH(local);
  const Py_UCS1* text = PyUnicode_1BYTE_DATA(joined);
  if (n1 == 0)
    return PyUnicode_GET_LENGTH(joined) == n2 && std::memcmp(text, PyUnicode_1BYTE_DATA(local), n2) == 0;
  return PyUnicode_GET_LENGTH(joined) == n1 + 1 + n2 && text[n1] == '.' &&
         std::memcmp(text, PyUnicode_1BYTE_DATA(scope), n1) == 0 &&
         std::memcmp(text + n1 + 1, PyUnicode_1BYTE_DATA(local), n2) == 0;
}

// The full name the def line at `index` defines.  When the first line of its
// body already holds that name as its scope name (a loaded module's lines
// hold the scope names that were known when it was stored, and the index
// stores a module after its definitions were searched), that very string is
// taken: making the name again would mean a new string and a look-up in the
// project's name pool.
static PyRef FullNameDefinedAt(tPySourceImpl* self, PyObject* list, Py_ssize_t index) {
  PyObject* item = PyList_GET_ITEM(list, index);
  tLogicalLine* line = AsLogical(item);
  for (Py_ssize_t j = index + 1; line->scope_name != nullptr && j < PyList_GET_SIZE(list); ++j) {
    PyObject* next = PyList_GET_ITEM(list, j);
    if (!IsLogical(self, next)) break;
    tLogicalLine* body = AsLogical(next);
    if (IsCommentOrBlankType(body->type)) continue;
    if (body->indent > line->indent && body->scope_name != nullptr &&
        ReadsAsJoined(body->scope_name, line->scope_name, LogicalDefName(line)))
      return PyRef::NewRef(body->scope_name);
    break;
  }
  return GetFullScopeNameDefined(self, item);
}

// Scope names are found in one pass instead of one backward search per line:
// the scope of a line is the first def among the nearest earlier line with a
// smaller indent, the nearest before that with a smaller indent still, and so
// on (FindScopeForLineDirect).  A stack of open blocks with rising indents
// holds that chain for the current line; a comment or blank line belongs to
// the scope of the line before it.  A scope name a line already holds is kept.
PyObject* RebuildCache(tPySourceImpl* self, PyObject* args) {
  if (!PyArg_ParseTuple(args, ":RebuildCache")) return nullptr;
  ClearSrcInfoCache(&self->info_cache);
  if (UpdateFromFutureFlags(self) != 0) return nullptr;
  // The host callback above may have installed another list; take the one
  // in place now.
  if (!self->logical_list) Py_RETURN_NONE;
  PyObject* empty = EmptyStr();
  if (empty == nullptr) return nullptr;
  PyRef list = PyRef::NewRef(self->logical_list.get());
  std::vector<tOpenBlock> open;
  PyRef last_scope = PyRef::NewRef(empty);
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_SetString(PyExc_TypeError, "All elements in logical_list must be logical lines");
      return nullptr;
    }
    PyRef keep = PyRef::NewRef(item);
    tLogicalLine* line = AsLogical(item);
    bool nested = !IsCommentOrBlankType(line->type);
    PyRef scope;
    if (nested) {
      while (!open.empty() && open.back().indent >= line->indent) open.pop_back();
      scope = open.empty() ? PyRef::NewRef(empty) : PyRef::NewRef(open.back().inner_scope.get());
      last_scope = PyRef::NewRef(scope.get());
    } else {
      scope = PyRef::NewRef(last_scope.get());
    }
    if (line->scope_name == nullptr) ReplaceMember(&line->scope_name, scope.new_ref());
    PyRef full_name;
    if (LogicalDefName(line) != nullptr) {
      full_name = FullNameDefinedAt(self, list.get(), i);
      if (!full_name) return nullptr;
    }
    if (nested) {
      PyObject* inner = full_name ? full_name.get()
                        : IsScopeDefType(line->type) && line->scope_name != nullptr ? line->scope_name
                                                                                     : scope.get();
      open.push_back(tOpenBlock{line->indent, PyRef::NewRef(inner)});
    }
    if (AddNameDefnsToCache(&self->info_cache, item) != 0) return nullptr;
    if (full_name && AddOrClearScopeCacheEntry(&self->info_cache, full_name.get(), item) != 0) return nullptr;
  }
  Py_RETURN_NONE;
}
