// Logical line serialization: a list of lines to (names list, one byte
// string per line) and back.
//
// Serializing hashes attribute entries, which may hold host objects whose
// code may change a line's facts, so counts are read again on every step and
// every object in use is held.
#include "serialize.h"

#include <bit>
#include <cstring>

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
  PyRef keep = PyRef::NewRef(obj);
  PyRef index = PyRef::NewRef(PyDict_GetItemWithError(ref_dict, obj));
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
    PyRef one = PyRef::NewRef(line->type_equivs[written].one);
    PyRef two = PyRef::NewRef(line->type_equivs[written].two);
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
  PyRef keep = PyRef::NewRef(logical);
  tLogicalLine* line = AsLogical(logical);
  if (line->tok_count < 0 || (line->tok_count > 0 && line->tok_array == nullptr)) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  if (line->indent < 0) {  // the loader refuses it: better not written at all
    PyErr_SetString(PyExc_ValueError, "a logical line with a negative indent cannot be serialized");
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
  return PyRef::Steal(PyBytes_FromStringAndSize(buffer.ptr, buffer.used_len));
}

// The names list: item i is the key whose index is i.
static PyRef MakeNamesList(PyObject* ref_dict) {
  Py_ssize_t size = PyDict_GET_SIZE(ref_dict);
  PyRef names = PyRef::Steal(PyList_New(size));
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
    PyList_SET_ITEM(names.get(), index, PyRef::NewRef(key).release());
  }
  for (Py_ssize_t i = 0; i < size; ++i) {
    if (PyList_GET_ITEM(names.get(), i) == nullptr) {
      PyErr_SetString(PyExc_ValueError, "invalid reference dictionary value");
      return PyRef();
    }
  }
  return names;
}

const char SerializeLogicalList_doc[] =
    "Serialize a list of logical lines,  Returns tuple of list of names used and a list of strings which contain "
    "the binary data for each logical line.";

PyObject* SerializeLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* logical_list;
  if (!PyArg_ParseTuple(args, "O!:SerializeLogicalList", &PyList_Type, &logical_list)) return nullptr;
  // A copy, so that host code run while hashing cannot change what is walked.
  PyRef lines = PyRef::Steal(PyList_GetSlice(logical_list, 0, PY_SSIZE_T_MAX));
  if (!lines) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(lines.get());
  PyRef data = PyRef::Steal(PyList_New(count));
  PyRef ref_dict = PyRef::Steal(PyDict_New());
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

// Little-endian integers at a place the caller has checked there is room.
static inline uint32_t Load32(const unsigned char* p) {
  uint32_t v;
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(&v, p, 4);
  } else {
    v = static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
        static_cast<uint32_t>(p[3]) << 24;
  }
  return v;
}

static inline uint16_t Load16(const unsigned char* p) {
  return static_cast<uint16_t>(static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8);
}

// A 4-byte index the caller has made room for.
static inline uint32_t TakeIndex(tReadCursor* cur) {
  uint32_t v = Load32(cur->pos);
  cur->pos += 4;
  cur->left -= 4;
  return v;
}

// The integer at the cursor, which moves past it; false when the line ends
// before it.
static bool ReadInt32(tReadCursor* cur, int32_t* value) {
  if (cur->left < 4) return false;
  *value = static_cast<int32_t>(TakeIndex(cur));
  return true;
}

static bool ReadUInt16(tReadCursor* cur, uint16_t* value) {
  if (cur->left < 2) return false;
  *value = Load16(cur->pos);
  cur->pos += 2;
  cur->left -= 2;
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
  return PyRef::NewRef(PyList_GET_ITEM(names, index));
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
  // The count check above leaves room for every index.
  const uint32_t names_len = static_cast<uint32_t>(PyList_GET_SIZE(names));
  while (array->count < *total) {
    uint32_t index = TakeIndex(cur);
    if (index >= names_len) return InvalidLineData();
    PyObject* item = PyList_GET_ITEM(names, index);
    array->items[array->count++] = PyRef::NewRef(item).release();
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

// The positions: a count equal to the token count, then row and column, read
// into `positions` (room for tok_count entries).
static int ReadPositionArray(tReadCursor* cur, int32_t tok_count, tTokenPosition* positions) {
  int32_t count;
  if (!ReadInt32(cur, &count) || count != tok_count || count > cur->left / 4) return InvalidLineData();
  if (count == 0) return 0;
  // The count check above leaves room for every entry.
  if constexpr (std::endian::native == std::endian::little && sizeof(tTokenPosition) == 4) {
    std::memcpy(positions, cur->pos, 4 * static_cast<size_t>(count));
    cur->pos += 4 * count;
    cur->left -= 4 * count;
  } else {
    for (int32_t i = 0; i < count; ++i) {
      ReadUInt16(cur, &positions[i].row);
      ReadUInt16(cur, &positions[i].col);
    }
  }
  return 0;
}

// Whether `obj` is an object that can never lead back to a line: a string,
// None, or a tuple of such objects.  A str subclass that adds no member (an
// ArgName: no __dict__, no slots) counts as a string: the collector tracks
// its instances, as of every class made by a class statement, but they
// refer to nothing but their class.
static bool IsAcyclicValue(PyObject* obj, int depth = 0) {
  if (obj == Py_None || PyUnicode_CheckExact(obj)) return true;
  if (PyUnicode_Check(obj))
    return Py_TYPE(obj)->tp_basicsize == PyUnicode_Type.tp_basicsize && Py_TYPE(obj)->tp_dictoffset == 0;
  if (!PyTuple_CheckExact(obj) || depth > 8) return false;
  for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(obj); ++i)
    if (!IsAcyclicValue(PyTuple_GET_ITEM(obj, i), depth + 1)) return false;
  return true;
}

// The tokens are exact strings, checked as they were read.
static bool HoldsNoCycle(tLogicalLine* line) {
  for (int i = 0; i < line->objs_len; ++i)
    if (!IsAcyclicValue(line->objs[i])) return false;
  for (int i = 0; i < line->type_equivs_len; ++i)
    if (!IsAcyclicValue(line->type_equivs[i].one) || !IsAcyclicValue(line->type_equivs[i].two)) return false;
  return true;
}

// The token array: `count` 4-byte indices of exact strings in `names`, for
// which the caller has checked there is room.  Everything that reads a line
// takes its tokens for strings.  The array is allocated with room for as
// many positions after the pointers: a line's arrays_joined block.
static int ReadTokenArray(tReadCursor* cur, PyObject* names, int32_t count, tObjectArray* array) {
  if (count == 0) return 0;
  array->items = static_cast<PyObject**>(
      std::malloc((sizeof(PyObject*) + sizeof(tTokenPosition)) * static_cast<size_t>(count)));
  if (array->items == nullptr) {
    PyErr_NoMemory();
    return -1;
  }
  PyObject** out = array->items;
  PyObject* const* items = PySequence_Fast_ITEMS(names);
  const uint32_t names_len = static_cast<uint32_t>(PyList_GET_SIZE(names));
  const unsigned char* pos = cur->pos;
  int32_t i = 0;
  for (; i < count; ++i) {
    uint32_t index = Load32(pos + 4 * static_cast<Py_ssize_t>(i));
    PyObject* item = index < names_len ? items[index] : nullptr;
    if (item == nullptr || !PyUnicode_CheckExact(item)) break;
    out[i] = Py_NewRef(item);
  }
  array->count = i;  // the holder releases what was taken
  if (i < count) return InvalidLineData();
  cur->pos += 4 * static_cast<Py_ssize_t>(count);
  cur->left -= 4 * static_cast<Py_ssize_t>(count);
  return 0;
}

// A new logical line from its byte form.  Arrays are read into holders that
// release them on failure and are handed to the line only once the whole
// line has been read, so the line's own destruction never sees half an array.
// The cursor is left after the line's last field.  With `stored_only`, a
// class or def line must have its name token, as every such line the
// splitter makes has: the analyzer takes it for granted.
static PyRef ReadLogicalLine(tPySourceImpl* self, PyObject* names, tReadCursor& cur, bool stored_only) {
  // The fixed head: first line (4 bytes); indent, line count, kind, parsed,
  // tabs and spaces (2 bytes each); the token count (4 bytes).
  constexpr Py_ssize_t kHeadSize = 20;
  if (cur.left < kHeadSize) {
    InvalidLineData();
    return PyRef();
  }
  const unsigned char* head = cur.pos;
  const int32_t first_line = static_cast<int32_t>(Load32(head));
  const uint16_t indent = Load16(head + 4), line_count = Load16(head + 6), type = Load16(head + 8),
                 parsed = Load16(head + 10), tabs = Load16(head + 12), spaces = Load16(head + 14);
  const int32_t tok_count = static_cast<int32_t>(Load32(head + 16));
  cur.pos += kHeadSize;
  cur.left -= kHeadSize;
  // Each token has a 4-byte index here and a 4-byte position after it.
  if (indent > INT16_MAX || tok_count < 0 || tok_count > cur.left / 8 ||
      (stored_only && IsScopeDefType(type & 0xff) && tok_count < 2)) {
    InvalidLineData();
    return PyRef();
  }
  tObjectArray tokens;
  if (ReadTokenArray(&cur, names, tok_count, &tokens) != 0) return PyRef();
  tTokenPosition* positions = tok_count > 0 ? reinterpret_cast<tTokenPosition*>(tokens.items + tok_count) : nullptr;
  if (ReadPositionArray(&cur, tok_count, positions) != 0) return PyRef();
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
  PyRef logical = PyRef::Steal(self->logical_mod.funcs.create());
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
  line->position_array = positions;
  line->arrays_joined = tok_count > 0 ? 1 : 0;
  line->scope_name = scope_name.release();
  line->objs_len = static_cast<uint8_t>(objs_len);
  line->objs = objs.release();
  line->type_equivs_len = static_cast<uint8_t>(pairs_len);
  line->type_equivs = pairs.release();
  // A line holding only strings, None and tuples of them can be in no
  // cycle; left tracked, every line of a loaded module would be scanned by
  // each full collection.  The line tracks itself again when the analyzer
  // adds an entry of another kind.
  if (HoldsNoCycle(line)) PyObject_GC_UnTrack(logical.get());
  return logical;
}

// DeserializeLogicalList((names, data)[, pool[, stored_only]]): data is a
// list of byte strings, one per line, or one bytes-like object holding the
// lines one after the other.  With a pool (a dict; None for none), the
// names that are strings are taken from it, but for the texts that are
// mostly one module's own (IsOwnText).  With stored_only true, only what the
// store writes is accepted: every name a string, None or a tuple of those
// (or the host's argument name), and every class or def line with its name;
// anything else is ValueError.
const char DeserializeLogicalList_doc[] = "Deserialize a list of logical lines";

// Whether `text` is one that is mostly one module's own: a literal, a
// comment, or a longer text holding a dot or a parenthesis (full scope
// names, dotted names, written expressions), nine in ten of which occur in
// one module only.  Looking one up in the project's name pool, which grows
// to the whole project's texts, costs cache misses and saves nothing, and
// fills the pool, which makes every later look-up slower.  Nothing depends
// on equal texts being one object; the pool only saves memory and time.
static bool IsOwnText(PyObject* text) {
  Py_ssize_t len = PyUnicode_GET_LENGTH(text);
  if (len == 0) return false;
  int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_UCS4 first = PyUnicode_READ(kind, data, 0);
  if (first == '#' || (first >= '0' && first <= '9')) return true;
  Py_UCS4 last = PyUnicode_READ(kind, data, len - 1);
  if (last == '\'' || last == '"') return true;
  if (first == '.') {  // ".5", or the dots of "..." and relative imports
    Py_UCS4 second = len > 1 ? PyUnicode_READ(kind, data, 1) : 0;
    return second >= '0' && second <= '9';
  }
  if (len < 3) return false;  // operators such as "()" are everyone's
  if (kind == PyUnicode_1BYTE_KIND)
    return std::memchr(data, '.', static_cast<size_t>(len)) != nullptr ||
           std::memchr(data, '(', static_cast<size_t>(len)) != nullptr;
  for (Py_ssize_t i = 0; i < len; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c == '.' || c == '(') return true;
  }
  return false;
}

// Whether every name is a value a stored line can hold: what the store
// writes (strings, None, tuples of those) and the host's argument names are
// exactly the values that can never lead back to a line.
static bool AllStorableNames(PyObject* names) {
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(names); ++i)
    if (!IsAcyclicValue(PyList_GET_ITEM(names, i))) return false;
  return true;
}

// A contiguous byte view of an object, released on every exit.
struct tBufferView {
  Py_buffer buf{};
  bool held = false;
  tBufferView() = default;
  tBufferView(const tBufferView&) = delete;
  tBufferView& operator=(const tBufferView&) = delete;
  ~tBufferView() {
    if (held) PyBuffer_Release(&buf);
  }
  bool Take(PyObject* obj) {
    held = PyObject_GetBuffer(obj, &buf, PyBUF_SIMPLE) == 0;
    return held;
  }
};

// The names list with every exact string but the texts that are mostly one
// module's own (IsOwnText) replaced by the pool's equal one (entered in the
// pool when it has none): a new list.
static PyRef PooledNames(PyObject* names, PyObject* pool) {
  Py_ssize_t count = PyList_GET_SIZE(names);
  PyRef out = PyRef::Steal(PyList_New(count));
  if (!out) return PyRef();
  // A list only the loader sees, freed when it is done: left tracked, each
  // collection the new lines set off would walk it.
  PyObject_GC_UnTrack(out.get());
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* name = PyList_GET_ITEM(names, i);
    PyObject* pooled = name;
    if (PyUnicode_CheckExact(name) && !IsOwnText(name)) {
      pooled = PyDict_SetDefault(pool, name, name);  // borrowed
      if (pooled == nullptr) return PyRef();
    }
    PyList_SET_ITEM(out.get(), i, PyRef::NewRef(pooled).release());
  }
  return out;
}

PyObject* DeserializeLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* names;
  PyObject* data;
  PyObject* pool = nullptr;
  int stored_only = 0;
  if (!PyArg_ParseTuple(args, "(O!O)|Op:UnerializeLogicalList", &PyList_Type, &names, &data, &pool, &stored_only))
    return nullptr;
  if (pool == Py_None) {
    pool = nullptr;
  } else if (pool != nullptr && !PyDict_Check(pool)) {
    PyErr_Format(PyExc_TypeError, "UnerializeLogicalList() pool must be a dict or None, not %.200s",
                 Py_TYPE(pool)->tp_name);
    return nullptr;
  }
  if (stored_only && !AllStorableNames(names)) {
    PyErr_SetString(PyExc_ValueError, "a name is neither a string, None nor a tuple of them");
    return nullptr;
  }
  if (!PyList_Check(data) && !PyObject_CheckBuffer(data)) {
    PyErr_Format(PyExc_TypeError, "UnerializeLogicalList() data must be a list or bytes-like, not %.200s",
                 Py_TYPE(data)->tp_name);
    return nullptr;
  }
  PyRef names_ref = pool != nullptr ? PooledNames(names, pool) : PyRef::NewRef(names);
  if (!names_ref) return nullptr;
  if (!PyList_Check(data)) {
    // A byte string, or a view of the part of a larger one that holds the
    // lines (the stored form's, which is then not copied).
    tBufferView view;
    if (!view.Take(data)) return nullptr;
    tReadCursor cur = {static_cast<const unsigned char*>(view.buf.buf), view.buf.len};
    PyRef result = PyRef::Steal(PyList_New(0));
    if (!result) return nullptr;
    // The list stays out of the collector's sight unless one of its lines
    // may be in a cycle: the analyzer tracks it as soon as one comes to be
    // (TrackLogicalListFor), and until then every full collection would
    // visit each of its lines.
    PyObject_GC_UnTrack(result.get());
    bool any_tracked = false;
    while (cur.left > 0) {
      PyRef logical = ReadLogicalLine(self, names_ref.get(), cur, stored_only);
      if (!logical || PyList_Append(result.get(), logical.get()) != 0) return nullptr;
      any_tracked = any_tracked || PyObject_GC_IsTracked(logical.get());
    }
    if (any_tracked) PyObject_GC_Track(result.get());
    return result.release();
  }
  PyRef items = PyRef::Steal(PyList_GetSlice(data, 0, PY_SSIZE_T_MAX));
  if (!items) return nullptr;
  Py_ssize_t count = PyList_GET_SIZE(items.get());
  PyRef result = PyRef::Steal(PyList_New(count));
  if (!result) return nullptr;
  PyObject_GC_UnTrack(result.get());
  bool any_tracked = false;
  for (Py_ssize_t i = 0; i < count; ++i) {
    PyObject* bytes = PyList_GET_ITEM(items.get(), i);
    char* line_data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(bytes, &line_data, &size) != 0) return nullptr;
    tReadCursor cur = {reinterpret_cast<const unsigned char*>(line_data), size};
    PyRef logical = ReadLogicalLine(self, names_ref.get(), cur, stored_only);
    if (!logical) return nullptr;
    any_tracked = any_tracked || PyObject_GC_IsTracked(logical.get());
    PyList_SET_ITEM(result.get(), i, logical.release());
  }
  if (any_tracked) PyObject_GC_Track(result.get());
  return result.release();
}
