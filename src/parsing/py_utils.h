// Small helpers on interpreter objects shared by the logical line module and
// the analyzer: reference handles that make ownership visible in the types,
// exact type tests, string access, and the growable text buffer tCharBuffer.
#ifndef PYSOURCE_PY_UTILS_H
#define PYSOURCE_PY_UTILS_H

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

// ---------------------------------------------------------------------------
// Reference handles
//
// PyRef owns one reference and releases it when it goes out of scope, so every
// exit path of a routine releases what it holds by construction.  A null PyRef
// returned from a routine means failure with the interpreter's exception set.
// PyView is a borrowed reference: it never releases anything.  Plain
// PyObject* parameters are borrowed, as everywhere in the interpreter's API.
// ---------------------------------------------------------------------------

class PyRef {
 public:
  PyRef() noexcept : p_(nullptr) {}
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(p_); }

  // Takes over a new reference (or null): the name says the reference moves in.
  static PyRef Steal(PyObject* owned) noexcept { return PyRef(owned); }
  // A new owning handle on a borrowed object (adds a reference).
  static PyRef NewRef(PyObject* borrowed) noexcept {
    Py_XINCREF(borrowed);
    return PyRef(borrowed);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }
  // Gives up ownership: the caller now holds the reference.
  PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // A new reference for the caller; this handle keeps its own.
  PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  // Replaces the held reference by `owned` (a new reference, or null).
  void reset(PyObject* owned = nullptr) noexcept {
    PyObject* old = p_;
    p_ = owned;
    Py_XDECREF(old);
  }

 private:
  // Only Steal and NewRef make a handle from a pointer, so every place that
  // does says which way the reference moves.
  explicit PyRef(PyObject* owned) noexcept : p_(owned) {}

  PyObject* p_;
};

// A borrowed reference, spelled out where a routine hands one back.
class PyView {
 public:
  PyView() noexcept : p_(nullptr) {}
  PyView(PyObject* borrowed) noexcept : p_(borrowed) {}  // NOLINT: implicit by design
  PyView(const PyRef& ref) noexcept : p_(ref.get()) {}    // NOLINT
  // A view of a temporary handle would dangle as soon as the handle goes.
  PyView(const PyRef&& ref) = delete;
  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

 private:
  PyObject* p_;
};

// ---------------------------------------------------------------------------
// Exact type tests and strings
// ---------------------------------------------------------------------------

inline bool IsExactStr(PyObject* o) { return o != nullptr && PyUnicode_CheckExact(o); }
inline bool IsExactTuple(PyObject* o) { return o != nullptr && PyTuple_CheckExact(o); }
inline bool IsExactList(PyObject* o) { return o != nullptr && PyList_CheckExact(o); }
inline bool IsExactDict(PyObject* o) { return o != nullptr && PyDict_CheckExact(o); }

// An instance of a class defined in Python (a heap type).
inline bool IsClassInstance(PyObject* o) {
  return o != nullptr && (Py_TYPE(o)->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 && !PyType_Check(o);
}
inline bool IsClassObject(PyObject* o) { return o != nullptr && PyType_Check(o); }

// The UTF-8 text of an exact str; null with the exception set on failure.
inline const char* StrText(PyObject* s, Py_ssize_t* len = nullptr) {
  return PyUnicode_AsUTF8AndSize(s, len);
}

// Text of an exact str whose UTF-8 form is known to exist (never null: a
// failing conversion gives "" and leaves the error cleared).  For comparisons
// where an unconvertible string simply does not match.
inline const char* StrTextOrEmpty(PyObject* s, Py_ssize_t* len = nullptr) {
  const char* t = PyUnicode_AsUTF8AndSize(s, len);
  if (t == nullptr) {
    PyErr_Clear();
    if (len) *len = 0;
    return "";
  }
  return t;
}

// The UTF-8 text of an exact str for comparisons, or null (no exception left
// set) for anything else: a non-string, or a string that cannot be encoded,
// simply matches nothing.
inline const char* TextToCompare(PyObject* obj, Py_ssize_t* len) {
  if (!IsExactStr(obj)) return nullptr;
  const char* text = PyUnicode_AsUTF8AndSize(obj, len);
  if (text == nullptr) PyErr_Clear();
  return text;
}

// True when `s` is an exact str whose text equals the NUL-terminated `text`.
inline bool StrEquals(PyObject* s, const char* text) {
  if (!IsExactStr(s)) return false;
  Py_ssize_t n = 0;
  const char* t = StrTextOrEmpty(s, &n);
  return std::strlen(text) == static_cast<size_t>(n) && std::memcmp(t, text, n) == 0;
}

// Clears the pending exception when it is of the kind `expected` (the failure
// a lookup may end in by design) and answers true; any other exception, such
// as KeyboardInterrupt, MemoryError or a host object's own bug, stays set.
inline bool ClearExpectedError(PyObject* expected) {
  if (!PyErr_ExceptionMatches(expected)) return false;
  PyErr_Clear();
  return true;
}

// The integer objects 1 and 0 handed back as truth values.
inline PyObject* NewTruth(int value) { return PyLong_FromLong(value ? 1 : 0); }

// A process-wide string created on first use and kept for the life of the
// process.  Returns a borrowed reference, or null with the exception set.
inline PyObject* CachedString(PyObject** slot, const char* text) {
  if (*slot == nullptr) *slot = PyUnicode_FromString(text);
  return *slot;
}

// ---------------------------------------------------------------------------
// tCharBuffer: growable byte buffer with a 160-byte inline area.  It grows by
// exact fit: to precisely the bytes in use plus the new bytes plus the NUL.
// The constructor and destructor run InitCharBuffer and ReleaseCharBuffer, so
// a buffer on the stack is released on every path.
// ---------------------------------------------------------------------------

constexpr uint32_t kCharBufferFixedLen = 160;

struct tCharBuffer;
inline void InitCharBuffer(tCharBuffer* buffer);
inline void ReleaseCharBuffer(tCharBuffer* buffer);

struct tCharBuffer {
  char fixed[kCharBufferFixedLen];
  char* ptr;
  uint32_t allocated_len;
  uint32_t used_len;

  tCharBuffer() { InitCharBuffer(this); }
  ~tCharBuffer() { ReleaseCharBuffer(this); }
  tCharBuffer(const tCharBuffer&) = delete;
  tCharBuffer& operator=(const tCharBuffer&) = delete;
};

inline void InitCharBuffer(tCharBuffer* buffer) {
  buffer->fixed[0] = '\0';
  buffer->ptr = buffer->fixed;
  buffer->allocated_len = kCharBufferFixedLen;
  buffer->used_len = 0;
}

inline void ReleaseCharBuffer(tCharBuffer* buffer) {
  if (buffer->ptr != buffer->fixed) std::free(buffer->ptr);
  InitCharBuffer(buffer);
}

// Appends `count` bytes (which may include NULs); 0, or -1 with MemoryError.
inline int AppendBytesToCharBuffer(tCharBuffer* buffer, const char* bytes, size_t count) {
  if (count == 0) return 0;
  uint64_t needed = static_cast<uint64_t>(buffer->used_len) + count;
  if (needed >= buffer->allocated_len) {
    if (needed + 1 > UINT32_MAX) {
      PyErr_NoMemory();
      return -1;
    }
    size_t new_len = static_cast<size_t>(needed + 1);
    char* block;
    if (buffer->ptr == buffer->fixed) {
      block = static_cast<char*>(std::malloc(new_len));
      if (block != nullptr) std::memcpy(block, buffer->fixed, kCharBufferFixedLen);
    } else {
      block = static_cast<char*>(std::realloc(buffer->ptr, new_len));
    }
    if (block == nullptr) {
      PyErr_NoMemory();
      return -1;
    }
    buffer->ptr = block;
    buffer->allocated_len = static_cast<uint32_t>(new_len);
  }
  std::memcpy(buffer->ptr + buffer->used_len, bytes, count);
  buffer->used_len += static_cast<uint32_t>(count);
  buffer->ptr[buffer->used_len] = '\0';
  return 0;
}

// Appends a NUL-terminated text (up to its first NUL).
inline int AppendToCharBuffer(tCharBuffer* buffer, const char* text) {
  return AppendBytesToCharBuffer(buffer, text, std::strlen(text));
}

// Appends the text of a str up to its first NUL; -1 with the error set.
inline int AppendStrToCharBuffer(tCharBuffer* buffer, PyObject* s) {
  const char* text = StrText(s);
  if (text == nullptr) return -1;
  return AppendToCharBuffer(buffer, text);
}

#endif  // PYSOURCE_PY_UTILS_H
