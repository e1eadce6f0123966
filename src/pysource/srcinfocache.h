// The source info cache of an analyzer: the name cache and the per-scope
// cache (srcinfocache.cpp).
#ifndef PYSOURCE_SRCINFOCACHE_H
#define PYSOURCE_SRCINFOCACHE_H

#include "logicalline_interface.h"
#include "py_utils.h"

struct tSrcInfoCache {
  PyObject* name_cache;       // dict: name -> list of defining lines, or null
  PyObject* per_scope_cache;  // dict: full scope name -> PerScopeEntry, or null
};

extern PyTypeObject kPerScopeEntryType;

void InitSrcInfoCache(tSrcInfoCache* cache);
void ClearSrcInfoCache(tSrcInfoCache* cache);

int AddNameDefnsToCache(tSrcInfoCache* cache, PyObject* logical);
int RemoveNameDefnsFromCache(tSrcInfoCache* cache, PyObject* logical);
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
Py_ssize_t GetScopeCacheEntryCount(tSrcInfoCache* cache);
int RemoveScopeCacheEntry(tSrcInfoCache* cache, PyObject* full_name);
// Lets the collector see every per-scope entry: for a line that was
// analysed, which may come to hold objects that can be in a cycle when it is
// analysed again.
void TrackScopeCacheEntries(tSrcInfoCache* cache);

#endif  // PYSOURCE_SRCINFOCACHE_H
