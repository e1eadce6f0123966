// Declarations shared by the three source files of pysource_impl:
// pysource_implmodule (module entry, analyzer and its methods), srcinfocache
// (the source info cache) and astinspect (walker, visitors, expression writer
// and the backward scope search).
#ifndef PYSOURCE_PYSOURCE_IMPL_H
#define PYSOURCE_PYSOURCE_IMPL_H

#include "logicalline_interface.h"
#include "py_utils.h"

// ---------------------------------------------------------------------------
// Source info cache (srcinfocache)
// ---------------------------------------------------------------------------

struct tSrcInfoCache {
  PyObject* name_cache;       // dict: name -> list of defining lines, or null
  PyObject* per_scope_cache;  // dict: full scope name -> PerScopeEntry, or null
};

extern PyTypeObject kPerScopeEntryType;

void InitSrcInfoCache(tSrcInfoCache* cache);
void ClearSrcInfoCache(tSrcInfoCache* cache);

int AddNameDefnsToCache(tSrcInfoCache* cache, PyObject* logical);
int RemoveNameDefnsFromCache(tSrcInfoCache* cache, PyObject* logical);
int AddSingleNameEntryToCache(tSrcInfoCache* cache, PyObject* name, PyObject* logical);
int RemoveSingleNameEntryFromCache(tSrcInfoCache* cache, PyObject* name, PyObject* logical);
// New reference to the name's list; null with no exception when there is
// none, or with the error set when the lookup failed.
PyRef LookupNameDefnInCache(tSrcInfoCache* cache, PyObject* name);

int AddOrClearScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def);
// New reference to the entry's scope_def; null with KeyError(full_name) when absent.
PyRef LookupDefInScopeCache(tSrcInfoCache* cache, PyObject* full_name);
// New reference to the cached body; null with no exception when absent, or
// with the error set when the lookup failed.
PyRef LookupScopeBodyInCache(tSrcInfoCache* cache, PyObject* full_name);
int AddScopeBodyToCache(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def, PyObject* body);
int RemoveBodyInfoFromScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name);
// New reference to the doc string line, or to None; null with the error set
// when the lookup failed.
PyRef LookupDocStringLogicalInCache(tSrcInfoCache* cache, PyObject* full_name);
int AddDocStringLogicalToCache(tSrcInfoCache* cache, PyObject* full_name, PyObject* scope_def,
                               PyObject* doc_logical);
int RemoveDocStringLogicalFromCache(tSrcInfoCache* cache, PyObject* full_name);
int RemoveInstAttribEquivListFromCache(tSrcInfoCache* cache, PyObject* full_name);
Py_ssize_t GetScopeCacheEntryCount(tSrcInfoCache* cache);
int RemoveScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name);

// ---------------------------------------------------------------------------
// Walker, visitors, name pool, backward scope search (astinspect)
// ---------------------------------------------------------------------------

extern PyTypeObject kNodeWalkerType;
extern PyTypeObject kStdVisitorsType;

// New NodeWalker on `visit_dict` (exactly a dict), or null with TypeError.
PyRef CreateNodeWalkerDirect(PyObject* visit_dict);
// New StdVisitors; `logical_mod` is passed as null and not stored; `table`
// is borrowed for the life of the analyzer.
PyRef CreateStdVisitorsDirect(PyObject* mod_analysis, PyObject* name_pool, PyObject* logical_list,
                              PyObject* logical_mod, tLogicalLineFunctionTable* table);

// The pooled string for a text: a new reference, or null with the error set.
PyRef GetStringWithLengthFromPool(PyObject* name_pool, const char* str, Py_ssize_t len);
PyRef GetStringFromPool(PyObject* name_pool, const char* str);

// The scope definition line enclosing `logical` (a new reference), None for
// the module scope, or null with the error set.
PyRef FindScopeForLineDirect(tLogicalLineFunctionTable* funcs, PyObject* line_list, PyObject* logical);

#endif  // PYSOURCE_PYSOURCE_IMPL_H
