// The native splitter: Python source text into logical lines (splitter.cpp,
// with the scanner in source_scan.h and the re-split after an edit in
// rescan.cpp), built into the logical line module as its functions
// split_logical_lines, scan_logical_lines and rescan_logical_lines.
#ifndef PYSOURCE_SPLITTER_H
#define PYSOURCE_SPLITTER_H

#include "py_utils.h"

// Adds the splitter's functions to the logical line module; 0, or -1 with
// the exception set.
int AddSplitterFunctions(PyObject* module);

// The records of text[start:end], as scan_logical_lines gives them for that
// slice, in a new list; tokens from `pool` (a dict).  Null with the
// exception set on failure.
PyObject* ScanRecords(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool);
// The same, every row moved down by `row_base`: the records of a window of a
// text that starts below its first row (the rows must stay below the
// saturation of positions, 65535).
PyObject* ScanRecordsBelow(PyObject* text, Py_ssize_t start, Py_ssize_t end, PyObject* pool, long row_base);

// rescan_logical_lines(old_text, old_records, new_text, pool=None, tries=4)
// (rescan.cpp).
PyObject* RescanLogicalLines(PyObject* module, PyObject* args, PyObject* kwds);
extern const char* const kRescanLogicalLinesDoc;

// rescan_window(...), the source buffer's re-split after a range edit
// (rescan.cpp).
PyObject* RescanWindowFunction(PyObject* module, PyObject* args, PyObject* kwds);
extern const char* const kRescanWindowDoc;

// common_ends(old_text, new_text) (rescan.cpp).
PyObject* CommonEndsFunction(PyObject* module, PyObject* args);
extern const char* const kCommonEndsDoc;

// nonself_def_keys(lines) (decorator_scan.cpp).
PyObject* NonselfDefKeysFunction(PyObject* module, PyObject* lines);
extern const char* const kNonselfDefKeysDoc;

// key_set() (decorator_scan.cpp).
PyObject* KeySetFunction(PyObject* module, PyObject* unused);
extern const char* const kKeySetDoc;

// Provided by the logical line module: a new, empty line that the cyclic
// collector does not track (it is to hold strings only).  Null with the
// exception set on failure.
PyObject* NewUntrackedLogicalLine();

#endif  // PYSOURCE_SPLITTER_H
