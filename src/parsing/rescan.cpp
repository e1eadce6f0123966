// The incremental re-split the host's source buffer uses after an edit:
// rescan_logical_lines(old_text, old_records, new_text, pool=None, tries=4)
// gives the records scan_logical_lines(new_text, pool) gives, made from the
// records of old_text by scanning only the part of new_text around what
// changed.
//
// A logical line that ends before the first changed physical line is the
// same in both texts.  Scanning starts at the first logical line that reaches
// the change and goes on to a logical line past it that starts in the
// unchanged rest of the text exactly where it started before (moved by the
// rows the edit added or removed): from such a line on the scanner is where
// it was before, so the rest splits as before.  Records of unchanged lines
// are the old objects; lines that moved are copied with their rows shifted.
// When no such line is found within `tries` logical lines, or a text holds
// carriage returns or very many rows, the whole text is scanned.  The Python
// splitter's rescan_logical_lines does the same steps.

#include "splitter.h"

#include <algorithm>

namespace {

// Texts with this many rows or more are scanned whole: their positions
// may saturate, and shifting saturated rows would not give a full scan's.
constexpr Py_ssize_t kMaxRescanRows = 65000;

// The code unit at i of a ready str.
inline Py_UCS4 CodeUnit(PyObject* s, Py_ssize_t i) {
  return PyUnicode_READ(PyUnicode_KIND(s), PyUnicode_DATA(s), i);
}

Py_ssize_t CommonPrefix(PyObject* a, PyObject* b) {
  Py_ssize_t n = std::min(PyUnicode_GET_LENGTH(a), PyUnicode_GET_LENGTH(b));
  Py_ssize_t i = 0;
  if (PyUnicode_KIND(a) == PyUnicode_KIND(b)) {
    // Whole blocks first, compared as bytes.
    const char* pa = static_cast<const char*>(PyUnicode_DATA(a));
    const char* pb = static_cast<const char*>(PyUnicode_DATA(b));
    size_t width = PyUnicode_KIND(a);
    constexpr Py_ssize_t kBlock = 256;
    while (i + kBlock <= n && std::memcmp(pa + i * width, pb + i * width, kBlock * width) == 0) i += kBlock;
  }
  while (i < n && CodeUnit(a, i) == CodeUnit(b, i)) ++i;
  return i;
}

Py_ssize_t CommonSuffix(PyObject* a, PyObject* b, Py_ssize_t limit) {
  Py_ssize_t na = PyUnicode_GET_LENGTH(a), nb = PyUnicode_GET_LENGTH(b);
  Py_ssize_t k = 0;
  if (PyUnicode_KIND(a) == PyUnicode_KIND(b)) {
    // Whole blocks first, compared as bytes.
    const char* pa = static_cast<const char*>(PyUnicode_DATA(a));
    const char* pb = static_cast<const char*>(PyUnicode_DATA(b));
    size_t width = PyUnicode_KIND(a);
    constexpr Py_ssize_t kBlock = 256;
    while (k + kBlock <= limit &&
           std::memcmp(pa + (na - k - kBlock) * width, pb + (nb - k - kBlock) * width, kBlock * width) == 0) {
      k += kBlock;
    }
  }
  while (k < limit && CodeUnit(a, na - 1 - k) == CodeUnit(b, nb - 1 - k)) ++k;
  return k;
}

// Newlines among the n code units at p, counted in blocks the compiler
// turns into vector compares (few enough per block for a byte-wide count).
template <typename C>
Py_ssize_t CountNewlines(const C* p, Py_ssize_t n) {
  Py_ssize_t count = 0;
  while (n > 0) {
    Py_ssize_t block = n < 255 ? n : 255;
    uint8_t found = 0;
    for (Py_ssize_t i = 0; i < block; ++i) found += p[i] == '\n';
    count += found;
    p += block;
    n -= block;
  }
  return count;
}

// Newlines in s[start:end].
Py_ssize_t Rows(PyObject* s, Py_ssize_t start, Py_ssize_t end) {
  if (end <= start) return 0;
  switch (PyUnicode_KIND(s)) {
    case PyUnicode_1BYTE_KIND:
      return CountNewlines(PyUnicode_1BYTE_DATA(s) + start, end - start);
    case PyUnicode_2BYTE_KIND:
      return CountNewlines(PyUnicode_2BYTE_DATA(s) + start, end - start);
    default:
      return CountNewlines(PyUnicode_4BYTE_DATA(s) + start, end - start);
  }
}

bool HasChar(PyObject* s, Py_UCS4 c) {
  return PyUnicode_FindChar(s, c, 0, PyUnicode_GET_LENGTH(s), 1) >= 0;
}

// The offset of the last "\n" in s[0:end] plus one (0 when there is none).
// An `end` below 0 counts from the end of s, as in str.rfind.
Py_ssize_t AfterLastNewline(PyObject* s, Py_ssize_t end) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  if (end < 0) end = std::max<Py_ssize_t>(0, n + end);
  if (end > n) end = n;
  for (Py_ssize_t i = end - 1; i >= 0; --i) {
    if (CodeUnit(s, i) == '\n') return i + 1;
  }
  return 0;
}

// The start of the physical line `rows_back` lines above the one holding off.
Py_ssize_t RowStart(PyObject* s, Py_ssize_t off, Py_ssize_t rows_back) {
  Py_ssize_t start = AfterLastNewline(s, off);
  for (Py_ssize_t k = 0; k < rows_back; ++k) start = AfterLastNewline(s, start - 1);
  return start;
}

// Just past the end of the physical line `rows_on` lines below the one
// holding off (the length of s past its last line).
Py_ssize_t RowEnd(PyObject* s, Py_ssize_t off, Py_ssize_t rows_on) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  Py_ssize_t end = off;
  for (Py_ssize_t k = 0; k < rows_on + 1; ++k) {
    Py_ssize_t nl = end < n ? PyUnicode_FindChar(s, '\n', end, n, 1) : -1;
    if (nl == -2) return -1;
    if (nl < 0) return n;
    end = nl + 1;
  }
  return end;
}

// Item k of a record as a C long; -1 with the exception set when the record
// is not a tuple of 8 items or the item is not an int.
int RecordLong(PyObject* record, Py_ssize_t k, long* out) {
  if (!PyTuple_Check(record) || PyTuple_GET_SIZE(record) != 8) {
    PyErr_Format(PyExc_TypeError, "a record must be a tuple of 8 items, not %.200s", Py_TYPE(record)->tp_name);
    return -1;
  }
  long value = PyLong_AsLong(PyTuple_GET_ITEM(record, k));
  if (value == -1 && PyErr_Occurred()) return -1;
  *out = value;
  return 0;
}

// The last physical line of a record: first_line + line_count - 1.
int RecordLastRow(PyObject* record, long* out) {
  long first, count;
  if (RecordLong(record, 2, &first) < 0 || RecordLong(record, 3, &count) < 0) return -1;
  *out = first + count - 1;
  return 0;
}

// The index of the first record from `from` on whose first row is past
// `row` (the length of the list when there is none), or -1 with the error
// set: the end of the records an edit of rows up to `row` reaches.
Py_ssize_t RecordsThrough(PyObject* records, Py_ssize_t from, long row) {
  Py_ssize_t n = PyList_GET_SIZE(records);
  for (Py_ssize_t j = from; j < n; ++j) {
    long first;
    if (RecordLong(PyList_GET_ITEM(records, j), 2, &first) < 0) return -1;
    if (first > row) return j;
  }
  return n;
}

// The record moved down by `delta` rows (a new tuple; the same items but the
// positions and first_line).
PyRef Shifted(PyObject* record, long delta) {
  long first;
  if (RecordLong(record, 2, &first) < 0) return PyRef();
  PyRef positions = PyRef::Steal(PySequence_Fast(PyTuple_GET_ITEM(record, 1), "positions must be a sequence"));
  if (!positions) return PyRef();
  Py_ssize_t n = PySequence_Fast_GET_SIZE(positions.get());
  PyRef moved = PyRef::Steal(PyList_New(n));
  if (!moved) return PyRef();
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* pair = PySequence_Fast_GET_ITEM(positions.get(), i);
    if (!PyTuple_Check(pair) || PyTuple_GET_SIZE(pair) != 2) {
      PyErr_SetString(PyExc_TypeError, "a position must be a (row, col) tuple");
      return PyRef();
    }
    long row = PyLong_AsLong(PyTuple_GET_ITEM(pair, 0));
    if (row == -1 && PyErr_Occurred()) return PyRef();
    PyObject* new_row = PyLong_FromLong(row + delta);
    if (new_row == nullptr) return PyRef();
    // The column stays the same object.
    PyObject* item = PyTuple_New(2);
    if (item == nullptr) {
      Py_DECREF(new_row);
      return PyRef();
    }
    PyTuple_SET_ITEM(item, 0, new_row);
    PyTuple_SET_ITEM(item, 1, Py_NewRef(PyTuple_GET_ITEM(pair, 1)));
    PyList_SET_ITEM(moved.get(), i, item);
  }
  PyRef out = PyRef::Steal(PyTuple_New(8));
  if (!out) return PyRef();
  PyObject* new_first = PyLong_FromLong(first + delta);
  if (new_first == nullptr) return PyRef();
  for (Py_ssize_t k = 0; k < 8; ++k) {
    PyObject* item = k == 1 ? moved.release() : k == 2 ? new_first : Py_NewRef(PyTuple_GET_ITEM(record, k));
    PyTuple_SET_ITEM(out.get(), k, item);
  }
  return out;
}

// Appends records[from:to] to out, each moved by delta rows; 0 or -1.
int ExtendShifted(PyObject* out, PyObject* records, Py_ssize_t from, Py_ssize_t to, long delta) {
  for (Py_ssize_t i = from; i < to; ++i) {
    PyObject* record = PyList_GET_ITEM(records, i);
    if (delta == 0) {
      if (PyList_Append(out, record) < 0) return -1;
      continue;
    }
    PyRef moved = Shifted(record, delta);
    if (!moved || PyList_Append(out, moved.get()) < 0) return -1;
  }
  return 0;
}

// old_records[:i0] followed by the window's records (rows moved by base),
// all but the last `drop`; a new list, or null.
PyRef Joined(PyObject* old_records, Py_ssize_t i0, PyObject* window, long base, Py_ssize_t drop) {
  PyRef out = PyRef::Steal(PyList_GetSlice(old_records, 0, i0));
  if (!out) return PyRef();
  if (ExtendShifted(out.get(), window, 0, PyList_GET_SIZE(window) - drop, base) < 0) return PyRef();
  return out;
}

PyRef Rescan(PyObject* old_text, PyObject* old_records, PyObject* new_text, PyObject* pool, long tries) {
  Py_ssize_t new_len = PyUnicode_GET_LENGTH(new_text);
  auto full = [&] { return PyRef::Steal(ScanRecords(new_text, 0, new_len, pool)); };
  int same = PyUnicode_Compare(old_text, new_text);
  if (same == -1 && PyErr_Occurred()) return PyRef();
  if (same == 0) return PyRef::Steal(PyList_GetSlice(old_records, 0, PyList_GET_SIZE(old_records)));
  Py_ssize_t old_len = PyUnicode_GET_LENGTH(old_text);
  if (HasChar(new_text, '\r') || HasChar(old_text, '\r') || PyList_GET_SIZE(old_records) == 0) return full();
  Py_ssize_t prefix = CommonPrefix(old_text, new_text);
  Py_ssize_t suffix = CommonSuffix(old_text, new_text, std::min(old_len, new_len) - prefix);
  Py_ssize_t old_end = old_len - suffix, new_end = new_len - suffix;
  // Rows are counted once per part: the common head and tail, and the
  // changed middle of each text.
  Py_ssize_t head_rows = Rows(old_text, 0, prefix);
  Py_ssize_t tail_rows = Rows(old_text, old_end, old_len);
  Py_ssize_t old_mid_rows = Rows(old_text, prefix, old_end);
  Py_ssize_t new_mid_rows = Rows(new_text, prefix, new_end);
  if (head_rows + new_mid_rows + tail_rows >= kMaxRescanRows ||
      head_rows + old_mid_rows + tail_rows >= kMaxRescanRows) {
    return full();
  }
  long first_row = static_cast<long>(head_rows) + 1;
  long last_old_row = static_cast<long>(head_rows + Rows(old_text, prefix, std::max(prefix, old_end - 1))) + 1;
  long delta = static_cast<long>(new_mid_rows - old_mid_rows);

  Py_ssize_t n = PyList_GET_SIZE(old_records);
  Py_ssize_t i0 = 0;
  long last = 0;
  for (; i0 < n; ++i0) {
    if (RecordLastRow(PyList_GET_ITEM(old_records, i0), &last) < 0) return PyRef();
    if (last >= first_row) break;
  }
  if (i0 == n) return full();
  long start_row;
  if (RecordLong(PyList_GET_ITEM(old_records, i0), 2, &start_row) < 0) return PyRef();
  start_row = std::min(start_row, first_row);
  Py_ssize_t start = RowStart(new_text, prefix, first_row - start_row);
  Py_ssize_t j = RecordsThrough(old_records, i0, last_old_row);
  if (j < 0) return PyRef();
  long base = start_row - 1;
  long rows_to_new_end = static_cast<long>(head_rows + new_mid_rows) + 1;
  for (long attempt = 0; attempt < tries; ++attempt, ++j) {
    if (j >= n) {
      PyRef window = PyRef::Steal(ScanRecords(new_text, start, new_len, pool));
      if (!window) return PyRef();
      return Joined(old_records, i0, window.get(), base, 0);
    }
    PyObject* sync = PyList_GET_ITEM(old_records, j);
    long sync_first, sync_count;
    if (RecordLong(sync, 2, &sync_first) < 0 || RecordLong(sync, 3, &sync_count) < 0) return PyRef();
    // The window ends with the physical lines of the line to sync on.
    Py_ssize_t end = RowEnd(new_text, new_end, sync_first + delta + sync_count - 1 - rows_to_new_end);
    if (end < start) end = start;
    PyRef window = PyRef::Steal(ScanRecords(new_text, start, end, pool));
    if (!window) return PyRef();
    Py_ssize_t count = PyList_GET_SIZE(window.get());
    if (count == 0) continue;
    PyRef tail_head = Shifted(PyList_GET_ITEM(window.get(), count - 1), base);
    PyRef moved_sync = Shifted(sync, delta);
    if (!tail_head || !moved_sync) return PyRef();
    int equal = PyObject_RichCompareBool(tail_head.get(), moved_sync.get(), Py_EQ);
    if (equal < 0) return PyRef();
    if (equal) {
      PyRef out = Joined(old_records, i0, window.get(), base, 1);
      if (!out || ExtendShifted(out.get(), old_records, j, n, delta) < 0) return PyRef();
      return out;
    }
  }
  return full();
}

PyObject* RescanEntry(PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"old_text", "old_records", "new_text", "pool", "tries", nullptr};
  PyObject* old_text = nullptr;
  PyObject* old_records = nullptr;
  PyObject* new_text = nullptr;
  PyObject* pool = Py_None;
  long tries = 4;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "UO!U|Ol:rescan_logical_lines", const_cast<char**>(kwlist),
                                   &old_text, &PyList_Type, &old_records, &new_text, &pool, &tries)) {
    return nullptr;
  }
  PyRef own_pool;
  if (pool == Py_None) {
    own_pool.reset(PyDict_New());
    if (!own_pool) return nullptr;
    pool = own_pool.get();
  } else if (!PyDict_Check(pool)) {
    PyErr_Format(PyExc_TypeError, "rescan_logical_lines: pool must be a dict or None, not %.200s",
                 Py_TYPE(pool)->tp_name);
    return nullptr;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(old_text) < 0 || PyUnicode_READY(new_text) < 0) return nullptr;
#endif
  // The arguments are held while the rescan reads them: a record's
  // comparison can run code that drops them.
  PyRef held_old = PyRef::NewRef(old_text), held_new = PyRef::NewRef(new_text);
  PyRef records = PyRef::Steal(PyList_GetSlice(old_records, 0, PyList_GET_SIZE(old_records)));
  if (!records) return nullptr;
  return Rescan(old_text, records.get(), new_text, pool, tries).release();
}


// A text held as `base` with base[hole_start:hole_end] replaced by `hole`:
// the source buffer's text between edits, read here without the whole
// string being made.
struct TextView {
  PyObject* base;
  Py_ssize_t hole_start, hole_end;
  PyObject* hole;

  Py_ssize_t HoleLen() const { return PyUnicode_GET_LENGTH(hole); }
  Py_ssize_t Len() const { return PyUnicode_GET_LENGTH(base) - (hole_end - hole_start) + HoleLen(); }
  // Where the part of the text after the hole starts, in the text and in base.
  Py_ssize_t AfterHole() const { return hole_start + HoleLen(); }
  Py_ssize_t ToBase(Py_ssize_t i) const { return i - AfterHole() + hole_end; }

  // The offset of the first "\n" at or after `from`, or -1 (-2 with the
  // exception set).
  Py_ssize_t Find(Py_ssize_t from) const {
    if (from < hole_start) {
      Py_ssize_t nl = PyUnicode_FindChar(base, '\n', from, hole_start, 1);
      if (nl != -1) return nl;
      from = hole_start;
    }
    if (from < AfterHole()) {
      Py_ssize_t nl = PyUnicode_FindChar(hole, '\n', from - hole_start, HoleLen(), 1);
      if (nl == -2) return nl;
      if (nl >= 0) return hole_start + nl;
      from = AfterHole();
    }
    Py_ssize_t n = PyUnicode_GET_LENGTH(base);
    Py_ssize_t at = ToBase(from);
    if (at >= n) return -1;
    Py_ssize_t nl = PyUnicode_FindChar(base, '\n', at, n, 1);
    return nl < 0 ? nl : nl - hole_end + AfterHole();
  }

  // The offset of the last "\n" in text[0:end] plus one (0 when there is
  // none); an `end` below 0 counts from the end of the text, as in str.rfind.
  Py_ssize_t AfterLastNewline(Py_ssize_t end) const {
    Py_ssize_t n = Len();
    if (end < 0) end = std::max<Py_ssize_t>(0, n + end);
    if (end > n) end = n;
    if (end > AfterHole()) {
      Py_ssize_t nl = PyUnicode_FindChar(base, '\n', hole_end, ToBase(end), -1);
      if (nl >= 0) return nl - hole_end + AfterHole() + 1;
      end = AfterHole();
    }
    if (end > hole_start) {
      Py_ssize_t nl = PyUnicode_FindChar(hole, '\n', 0, end - hole_start, -1);
      if (nl >= 0) return hole_start + nl + 1;
      end = hole_start;
    }
    Py_ssize_t nl = PyUnicode_FindChar(base, '\n', 0, end, -1);
    return nl < 0 ? 0 : nl + 1;
  }

  // text[start:end] as a new str (0 <= start <= end <= Len()).
  PyRef Slice(Py_ssize_t start, Py_ssize_t end) const {
    if (end <= hole_start) return PyRef::Steal(PyUnicode_Substring(base, start, end));
    if (start >= AfterHole()) return PyRef::Steal(PyUnicode_Substring(base, ToBase(start), ToBase(end)));
    // Joined from the parts it spans, so that it has the narrowest kind,
    // as any other str of the same text.
    PyRef parts = PyRef::Steal(PyList_New(0));
    if (!parts) return PyRef();
    auto add = [&](PyObject* s, Py_ssize_t from, Py_ssize_t to) {
      if (to <= from) return 0;
      PyRef part = PyRef::Steal(PyUnicode_Substring(s, from, to));
      return part ? PyList_Append(parts.get(), part.get()) : -1;
    };
    if (add(base, start, std::min(end, hole_start)) < 0 ||
        add(hole, std::max<Py_ssize_t>(start - hole_start, 0), std::min(end, AfterHole()) - hole_start) < 0 ||
        add(base, ToBase(std::max(start, AfterHole())), ToBase(end)) < 0) {
      return PyRef();
    }
    PyRef empty = PyRef::Steal(PyUnicode_New(0, 0));
    if (!empty) return PyRef();
    return PyRef::Steal(PyUnicode_Join(empty.get(), parts.get()));
  }
};

// The records of text[start:end], their rows moved by `base`.
PyRef WindowRecords(const TextView& text, Py_ssize_t start, Py_ssize_t end, PyObject* pool, long base) {
  PyRef slice = text.Slice(start, end);
  if (!slice) return PyRef();
  return PyRef::Steal(ScanRecordsBelow(slice.get(), 0, PyUnicode_GET_LENGTH(slice.get()), pool, base));
}

// The records of the text after an edit, made from `records` (those of the
// text before it) and a scan of the lines around the edit; see
// kRescanWindowDoc.  None when the whole text is to be scanned.
PyRef RescanWindow(const TextView& text, PyObject* records, Py_ssize_t prefix, Py_ssize_t new_end, long first_row,
                   long last_old_row, long delta, long added_rows, PyObject* pool, long tries, Py_ssize_t hint) {
  Py_ssize_t n = PyList_GET_SIZE(records);
  // Records are in row order: the first one that reaches the edit's first
  // row is `hint` (typing goes on where it was), or found by a binary search.
  Py_ssize_t lo = 0, hi = n;
  if (hint >= 0 && hint < n) {
    long last;
    if (RecordLastRow(PyList_GET_ITEM(records, hint), &last) < 0) return PyRef();
    if (last < first_row) {
      lo = hint + 1;
    } else {
      hi = hint;
      if (hint > 0) {
        if (RecordLastRow(PyList_GET_ITEM(records, hint - 1), &last) < 0) return PyRef();
        if (last < first_row) lo = hint;
      }
    }
  }
  while (lo < hi) {
    Py_ssize_t mid = (lo + hi) / 2;
    long last;
    if (RecordLastRow(PyList_GET_ITEM(records, mid), &last) < 0) return PyRef();
    if (last < first_row) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  Py_ssize_t i0 = lo;
  if (i0 == n) return PyRef::NewRef(Py_None);
  long start_row;
  if (RecordLong(PyList_GET_ITEM(records, i0), 2, &start_row) < 0) return PyRef();
  start_row = std::min(start_row, first_row);
  Py_ssize_t start = text.AfterLastNewline(prefix);
  for (long k = 0; k < first_row - start_row; ++k) start = text.AfterLastNewline(start - 1);
  Py_ssize_t j = RecordsThrough(records, i0, last_old_row);
  if (j < 0) return PyRef();
  long base = start_row - 1;
  long end_row = first_row + added_rows;  // the row holding new_end
  Py_ssize_t len = text.Len();
  for (long attempt = 0; attempt < tries; ++attempt, ++j) {
    if (j >= n) {
      PyRef head = WindowRecords(text, start, len, pool, base);
      if (!head) return PyRef();
      PyRef out = PyRef::Steal(PyList_GetSlice(records, 0, i0));
      if (!out || ExtendShifted(out.get(), head.get(), 0, PyList_GET_SIZE(head.get()), 0) < 0) return PyRef();
      return PyRef::Steal(Py_BuildValue("(NnnO)", out.release(), i0, Py_ssize_t{0}, Py_None));
    }
    PyObject* sync = PyList_GET_ITEM(records, j);
    long sync_first, sync_count;
    if (RecordLong(sync, 2, &sync_first) < 0 || RecordLong(sync, 3, &sync_count) < 0) return PyRef();
    // The window ends with the physical lines of the line to sync on.
    Py_ssize_t end = new_end;
    for (long k = 0; k < sync_first + delta + sync_count - end_row; ++k) {
      Py_ssize_t nl = text.Find(end);
      if (nl == -2) return PyRef();
      if (nl < 0) {
        end = len;
        break;
      }
      end = nl + 1;
    }
    if (end < start) end = start;
    PyRef head = WindowRecords(text, start, end, pool, base);
    if (!head) return PyRef();
    Py_ssize_t count = PyList_GET_SIZE(head.get());
    if (count == 0) continue;
    PyRef moved_sync = delta ? Shifted(sync, delta) : PyRef::NewRef(sync);
    if (!moved_sync) return PyRef();
    int equal = PyObject_RichCompareBool(PyList_GET_ITEM(head.get(), count - 1), moved_sync.get(), Py_EQ);
    if (equal < 0) return PyRef();
    if (!equal) continue;
    if (PyList_GET_SIZE(records) != n) {
      PyErr_SetString(PyExc_RuntimeError, "rescan_window: the records changed size during the rescan");
      return PyRef();
    }
    if (delta) {
      PyRef out = PyRef::Steal(PyList_GetSlice(records, 0, i0));
      if (!out || ExtendShifted(out.get(), head.get(), 0, count - 1, 0) < 0 ||
          ExtendShifted(out.get(), records, j, n, delta) < 0) {
        return PyRef();
      }
      return PyRef::Steal(Py_BuildValue("(NnnO)", out.release(), i0, n - j, Py_None));
    }
    // No line moved: the records change in place (a copy of a long list,
    // and the release of the old one, touch every record).
    PyRef replaced = PyRef::Steal(PyList_GetSlice(records, i0, j));
    PyRef put = PyRef::Steal(PyList_GetSlice(head.get(), 0, count - 1));
    if (!replaced || !put || PyList_SetSlice(records, i0, j, put.get()) < 0) return PyRef();
    return PyRef::Steal(Py_BuildValue("(OnnN)", records, i0, n - j, replaced.release()));
  }
  return PyRef::NewRef(Py_None);
}

PyObject* RescanWindowEntry(PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"base", "hole_start", "hole_end", "hole", "records", "prefix", "new_end",
                                 "first_row", "last_old_row", "delta", "added_rows", "pool", "tries", "hint",
                                 nullptr};
  TextView text{};
  PyObject* records = nullptr;
  Py_ssize_t prefix = 0, new_end = 0;
  long first_row = 0, last_old_row = 0, delta = 0, added_rows = 0, tries = 4;
  Py_ssize_t hint = -1;
  PyObject* pool = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "UnnUO!nnllllO!|ln:rescan_window", const_cast<char**>(kwlist),
                                   &text.base, &text.hole_start, &text.hole_end, &text.hole, &PyList_Type, &records,
                                   &prefix, &new_end, &first_row, &last_old_row, &delta, &added_rows, &PyDict_Type,
                                   &pool, &tries, &hint)) {
    return nullptr;
  }
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(text.base) < 0 || PyUnicode_READY(text.hole) < 0) return nullptr;
#endif
  Py_ssize_t base_len = PyUnicode_GET_LENGTH(text.base);
  if (text.hole_start < 0 || text.hole_start > text.hole_end || text.hole_end > base_len) {
    PyErr_SetString(PyExc_ValueError, "rescan_window: the hole is not a range of the base text");
    return nullptr;
  }
  if (prefix < 0 || prefix > new_end || new_end > text.Len()) {
    PyErr_SetString(PyExc_ValueError, "rescan_window: the edit is not a range of the text");
    return nullptr;
  }
  // The arguments are held while the rescan reads them: a record's
  // comparison can run code that drops them.
  PyRef held_base = PyRef::NewRef(text.base), held_hole = PyRef::NewRef(text.hole);
  PyRef held_records = PyRef::NewRef(records);
  return RescanWindow(text, records, prefix, new_end, first_row, last_old_row, delta, added_rows, pool, tries,
                      hint)
      .release();
}

}  // namespace

PyObject* RescanLogicalLines(PyObject*, PyObject* args, PyObject* kwds) { return RescanEntry(args, kwds); }

const char* const kRescanLogicalLinesDoc =
    "rescan_logical_lines(old_text, old_records, new_text, pool=None, tries=4)\n\n"
    "The records scan_logical_lines(new_text, pool) gives, made from old_records (the\n"
    "records of old_text) by scanning only the part of new_text around what changed.";

PyObject* RescanWindowFunction(PyObject*, PyObject* args, PyObject* kwds) { return RescanWindowEntry(args, kwds); }

PyObject* CommonEndsFunction(PyObject*, PyObject* args) {
  PyObject* old_text = nullptr;
  PyObject* new_text = nullptr;
  if (!PyArg_ParseTuple(args, "UU:common_ends", &old_text, &new_text)) return nullptr;
#if PY_VERSION_HEX < 0x030C0000
  if (PyUnicode_READY(old_text) < 0 || PyUnicode_READY(new_text) < 0) return nullptr;
#endif
  Py_ssize_t prefix = CommonPrefix(old_text, new_text);
  Py_ssize_t limit = std::min(PyUnicode_GET_LENGTH(old_text), PyUnicode_GET_LENGTH(new_text)) - prefix;
  return Py_BuildValue("(nn)", prefix, CommonSuffix(old_text, new_text, limit));
}

const char* const kCommonEndsDoc =
    "common_ends(old_text, new_text)\n\n"
    "(prefix, suffix): the lengths of the longest common head of the two texts and of\n"
    "the longest common tail of what follows it.";

const char* const kRescanWindowDoc =
    "rescan_window(base, hole_start, hole_end, hole, records, prefix, new_end, first_row,\n"
    "              last_old_row, delta, added_rows, pool, tries=4, hint=-1)\n\n"
    "The source buffer's re-split after a range edit.  The text after the edit is\n"
    "base[:hole_start] + hole + base[hole_end:]; the edit put text[prefix:new_end] in\n"
    "place of old rows first_row to last_old_row, adding `added_rows` line breaks and\n"
    "`delta` rows in all.  `records` are the scan records of the text before the edit.\n"
    "Gives (records, same, tail, replaced): the records of the new text, how many\n"
    "leading and trailing records are those of the old one (the trailing ones moved\n"
    "by delta rows), and, when no line moved, the records that `records` held where\n"
    "the new ones are, `records` itself being changed in place (else replaced is\n"
    "None and records a new list).  None when the whole text is to be scanned.\n"
    "`hint` is a guess at the first record that reaches the edit (the `same` of the\n"
    "last edit, for typing that goes on in one place); a wrong guess costs a search.";
