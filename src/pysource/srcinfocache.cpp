// The source info cache of an analyzer: the name cache (name -> list of the
// logical lines that define it) and the per-scope cache (full scope name ->
// PerScopeEntry with the scope's definition line and, once worked out, its
// body lines and doc string line).  Both dictionaries are made on the first
// store; an absent dictionary reads as an empty one.
//
// Releasing a line or an entry can run arbitrary code (a line's facts hold
// the analysis objects of other modules), and that code may reach this cache
// again.  So every routine that looks up, stores into or deletes from a
// dictionary holds its own reference to the dictionary (and the key) for the
// duration, and every field swap on an entry writes the entry first and
// releases the old value last.
//
// The collector sees a name list, an entry or one of the two dictionaries
// only while it may be part of a reference cycle.  A loaded module has a
// hundred thousand lists and entries that cannot be, and every full
// collection would otherwise walk them and the lines in them.  A line may
// be in a cycle when the collector tracks it: its facts hold objects that
// can be, such as the analysis of another module.
// - A name list is tracked once it holds a tracked line.  Analysing a line
//   enters its names after its facts are in place, so a line that comes to
//   be tracked tracks its lists as it is entered (a def line entered before
//   its analysis is entered again, in the same list, by the analysis).
// - An entry is tracked once it holds a tracked line, a line not analysed
//   yet (its facts come later, and it is not entered anew) or a body list
//   (the host gets those).  ClearAnalysis, after which a line analysed
//   before may come to be tracked while an entry holds it, tracks every
//   entry (TrackScopeCacheEntries).
// - A dictionary is tracked once it holds a tracked list or entry.

#include "srcinfocache.h"

#include <array>

#include "gcobject.h"

namespace {

struct tPerScopeEntry {
  PyObject_HEAD
  PyObject* scope_def;      // the class or def line; None for the module scope
  PyObject* body_logicals;  // list of body lines, or null when not known
  PyObject* doc_string;     // the doc string line, or null
};

}  // namespace

static std::array<PyObject**, 3> PerScopeEntryMembers(tPerScopeEntry* entry) {
  return {&entry->scope_def, &entry->body_logicals, &entry->doc_string};
}
using tPerScopeEntryGc = GcObject<tPerScopeEntry, PerScopeEntryMembers>;

PyTypeObject kPerScopeEntryType = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "PerScopeEntry",
    .tp_basicsize = sizeof(tPerScopeEntry),
    .tp_dealloc = tPerScopeEntryGc::Dealloc,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .tp_traverse = tPerScopeEntryGc::Traverse,
    .tp_clear = tPerScopeEntryGc::Clear,
    .tp_free = PyObject_GC_Del,
};

// ---------------------------------------------------------------------------
// PerScopeEntry
// ---------------------------------------------------------------------------

// Whether `line` (a logical line, None or null) is or may come to be in a
// reference cycle: the collector tracks it, or it is not analysed yet.
static bool MayJoinCycle(PyObject* line) {
  if (line == nullptr || line == Py_None) return false;
  return PyObject_GC_IsTracked(line) || !AsLogical(line)->parsed;
}

// Lets the collector see `holder` and the dictionary that holds it.
static void TrackHolder(PyObject* holder, PyObject* dict) {
  if (!PyObject_GC_IsTracked(holder)) PyObject_GC_Track(holder);
  if (dict != nullptr && !PyObject_GC_IsTracked(dict)) PyObject_GC_Track(dict);
}

// Stores `value` under `key`, leaving the dictionary out of the collector's
// sight when it was and `value` is too (storing a list or an entry tracks a
// dictionary whatever they hold).
static int StoreValue(PyObject* dict, PyObject* key, PyObject* value) {
  bool was_tracked = PyObject_GC_IsTracked(dict);
  if (PyDict_SetItem(dict, key, value) != 0) return -1;
  if (!was_tracked && !PyObject_GC_IsTracked(value)) PyObject_GC_UnTrack(dict);
  return 0;
}

// A new entry holding a reference to `scope_def` (which may be null), every
// other field empty; null with the error set.  The type is readied here the
// first time, which also sets its own type to the type of types.
static PyRef CreatePerScopeEntry(PyObject* scope_def) {
  if (!PyType_HasFeature(&kPerScopeEntryType, Py_TPFLAGS_READY) && PyType_Ready(&kPerScopeEntryType) < 0) {
    return PyRef();
  }
  tPerScopeEntry* entry = PyObject_GC_New(tPerScopeEntry, &kPerScopeEntryType);
  if (entry == nullptr) return PyRef();
  entry->scope_def = Py_XNewRef(scope_def);
  entry->body_logicals = nullptr;
  entry->doc_string = nullptr;
  if (MayJoinCycle(scope_def)) PyObject_GC_Track(entry);
  return PyRef::Steal(reinterpret_cast<PyObject*>(entry));
}

// Replaces a field of an entry by `value` (borrowed, may be null), releasing
// the old value only after the entry has been written.
static void SetEntryField(PyObject** field, PyObject* value) {
  PyObject* old = *field;
  *field = Py_XNewRef(value);
  Py_XDECREF(old);
}

// ---------------------------------------------------------------------------
// Whole cache
// ---------------------------------------------------------------------------

void InitSrcInfoCache(tSrcInfoCache* cache) {
  cache->name_cache = nullptr;
  cache->per_scope_cache = nullptr;
}

void ClearSrcInfoCache(tSrcInfoCache* cache) {
  Py_CLEAR(cache->name_cache);
  Py_CLEAR(cache->per_scope_cache);
}

// Makes the dictionary in `*slot` if it is absent; 0, or -1 with the error set.
static int EnsureDict(PyObject** slot) {
  if (*slot == nullptr) {
    *slot = PyDict_New();
    if (*slot == nullptr) return -1;
  }
  return 0;
}

// ---------------------------------------------------------------------------
// Name cache
// ---------------------------------------------------------------------------

static int AddSingleNameEntryToCache(tSrcInfoCache* cache, PyObject* name, PyObject* logical) {
  if (EnsureDict(&cache->name_cache) < 0) return -1;
  PyRef dict = PyRef::NewRef(cache->name_cache);
  PyObject* found = PyDict_GetItemWithError(dict.get(), name);
  if (found != nullptr) {
    if (!PyList_CheckExact(found)) {
      PyErr_BadInternalCall();
      return -1;
    }
    PyRef list = PyRef::NewRef(found);
    if (PyList_Append(list.get(), logical) != 0) return -1;
    if (PyObject_GC_IsTracked(logical)) TrackHolder(list.get(), dict.get());
    return 0;
  }
  if (PyErr_Occurred()) return -1;
  // Made with room for the one line: most names have one definition, and an
  // append to an empty list would make room for four.
  PyRef list = PyRef::Steal(PyList_New(1));
  if (!list) return -1;
  PyList_SET_ITEM(list.get(), 0, Py_NewRef(logical));
  if (!PyObject_GC_IsTracked(logical)) PyObject_GC_UnTrack(list.get());
  return StoreValue(dict.get(), name, list.get());
}

// The value under `key` in `dict` (either may be null): a new reference, or
// null, with the error set when the lookup failed and no exception when the
// key is absent.  A key's __eq__ may run host code that changes this cache,
// so the dictionary and the key are held throughout.
static PyRef LookupHeld(PyObject* dict, PyObject* key) {
  if (dict == nullptr) return PyRef();
  PyRef held_dict = PyRef::NewRef(dict);
  PyRef held_key = PyRef::NewRef(key);
  return PyRef::NewRef(PyDict_GetItemWithError(held_dict.get(), held_key.get()));
}

static int RemoveSingleNameEntryFromCache(tSrcInfoCache* cache, PyObject* name, PyObject* logical) {
  PyRef list = LookupHeld(cache->name_cache, name);
  if (!list) return PyErr_Occurred() ? -1 : 0;
  if (!PyList_CheckExact(list.get())) {
    PyErr_BadInternalCall();
    return -1;
  }
  Py_ssize_t size = PyList_GET_SIZE(list.get());
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (PyList_GET_ITEM(list.get(), i) == logical) return PyList_SetSlice(list.get(), i, i + 1, nullptr);
  }
  return 0;
}

// Each name is held while it is entered or removed: dictionary work may run
// code that changes the line's entries.
int AddNameDefnsToCache(tSrcInfoCache* cache, PyObject* logical) {
  return ForEachNameDefined(AsLogical(logical), [&](PyObject* name) {
    PyRef held = PyRef::NewRef(name);
    return AddSingleNameEntryToCache(cache, held.get(), logical);
  });
}

int RemoveNameDefnsFromCache(tSrcInfoCache* cache, PyObject* logical) {
  return ForEachNameDefined(AsLogical(logical), [&](PyObject* name) {
    PyRef held = PyRef::NewRef(name);
    return RemoveSingleNameEntryFromCache(cache, held.get(), logical);
  });
}

// A name that cannot be a key (unhashable: TypeError) has no entry either;
// any other failure of the lookup is the caller's.
PyRef LookupNameDefnInCache(tSrcInfoCache* cache, PyObject* name) {
  PyRef found = LookupHeld(cache->name_cache, name);
  if (!found && PyErr_Occurred() && PyErr_ExceptionMatches(PyExc_TypeError)) PyErr_Clear();
  return found;
}

// ---------------------------------------------------------------------------
// Per-scope cache
// ---------------------------------------------------------------------------

// The entry for `full_name` (a new reference); null with no exception when
// there is none, null with the error set when the lookup failed.
static PyRef LookupPerScopeEntry(tSrcInfoCache* cache, PyObject* full_name) {
  PyRef found = LookupHeld(cache->per_scope_cache, full_name);
  if (found && Py_TYPE(found.get()) != &kPerScopeEntryType) return PyRef();
  return found;
}

static tPerScopeEntry* AsEntry(const PyRef& entry) { return reinterpret_cast<tPerScopeEntry*>(entry.get()); }

int AddOrClearScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def) {
  if (EnsureDict(&cache->per_scope_cache) < 0) return -1;
  PyRef dict = PyRef::NewRef(cache->per_scope_cache);
  PyRef entry = CreatePerScopeEntry(scope_def);
  if (!entry) return -1;
  return StoreValue(dict.get(), full_name, entry.get());
}

// The existing entry, or a fresh one for `scope_def`: a new reference, or
// null with the error set.
static PyRef LookupOrAddPerScopeEntry(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def) {
  PyRef entry = LookupPerScopeEntry(cache, full_name);
  if (entry || PyErr_Occurred()) return entry;
  if (AddOrClearScopeCacheEntry(cache, full_name, scope_def) < 0) return PyRef();
  entry = LookupPerScopeEntry(cache, full_name);
  if (!entry && !PyErr_Occurred()) {
    // Host code run by the store took the new entry away again.
    PyErr_SetString(PyExc_RuntimeError, "the per-scope cache changed while an entry was added");
  }
  return entry;
}

// An entry made without a definition line answers None, like the module scope.
PyRef LookupDefInScopeCache(tSrcInfoCache* cache, PyObject* full_name) {
  PyRef entry = LookupPerScopeEntry(cache, full_name);
  if (!entry) {
    if (PyErr_Occurred()) return PyRef();
    // Wrapped in a tuple so that the key itself becomes the exception value.
    PyRef key = PyRef::Steal(PyTuple_Pack(1, full_name));
    if (key) PyErr_SetObject(PyExc_KeyError, key.get());
    return PyRef();
  }
  return PyRef::NewRef(AsEntry(entry)->scope_def ? AsEntry(entry)->scope_def : Py_None);
}

PyRef LookupScopeBodyInCache(tSrcInfoCache* cache, PyObject* full_name) {
  PyRef entry = LookupPerScopeEntry(cache, full_name);
  if (!entry) return PyRef();
  return PyRef::NewRef(AsEntry(entry)->body_logicals);
}

int AddScopeBodyToCache(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def, PyObject* body) {
  PyRef entry = LookupOrAddPerScopeEntry(cache, full_name, scope_def);
  if (!entry) return -1;
  SetEntryField(&AsEntry(entry)->body_logicals, body);
  if (body != nullptr && PyObject_GC_IsTracked(body)) TrackHolder(entry.get(), cache->per_scope_cache);
  return 0;
}

int RemoveBodyInfoFromScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name) {
  PyRef entry = LookupPerScopeEntry(cache, full_name);
  if (!entry) return PyErr_Occurred() ? -1 : 0;
  SetEntryField(&AsEntry(entry)->body_logicals, nullptr);
  return 0;
}

PyRef LookupDocStringLogicalInCache(tSrcInfoCache* cache, PyObject* full_name) {
  PyRef entry = LookupPerScopeEntry(cache, full_name);
  if (!entry) return PyErr_Occurred() ? PyRef() : PyRef::NewRef(Py_None);
  return PyRef::NewRef(AsEntry(entry)->doc_string != nullptr ? AsEntry(entry)->doc_string : Py_None);
}

int AddDocStringLogicalToCache(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def,
                               PyObject* doc_logical) {
  PyRef entry = LookupOrAddPerScopeEntry(cache, full_name, scope_def);
  if (!entry) return -1;
  SetEntryField(&AsEntry(entry)->doc_string, doc_logical);
  if (MayJoinCycle(doc_logical)) TrackHolder(entry.get(), cache->per_scope_cache);
  return 0;
}

int RemoveDocStringLogicalFromCache(tSrcInfoCache* cache, PyObject* full_name) {
  PyRef entry = LookupPerScopeEntry(cache, full_name);
  if (!entry) return PyErr_Occurred() ? -1 : 0;
  SetEntryField(&AsEntry(entry)->doc_string, nullptr);
  return 0;
}

Py_ssize_t GetScopeCacheEntryCount(tSrcInfoCache* cache) {
  return cache->per_scope_cache == nullptr ? 0 : PyDict_GET_SIZE(cache->per_scope_cache);
}

int RemoveScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name) {
  if (cache->per_scope_cache == nullptr) return 0;
  PyRef dict = PyRef::NewRef(cache->per_scope_cache);
  if (PyDict_DelItem(dict.get(), full_name) == 0) return 0;
  if (!PyErr_ExceptionMatches(PyExc_KeyError)) return -1;
  PyErr_Clear();
  return 0;
}

void TrackScopeCacheEntries(tSrcInfoCache* cache) {
  if (cache->per_scope_cache == nullptr) return;
  PyObject* key;
  PyObject* entry;
  Py_ssize_t pos = 0;
  while (PyDict_Next(cache->per_scope_cache, &pos, &key, &entry)) TrackHolder(entry, cache->per_scope_cache);
}
