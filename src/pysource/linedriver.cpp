// Parsing one logical line with the host's grammar and transformer, and the
// line analysis driver that walks a line's tree with the standard visitors.
#include "linedriver.h"

#include "grammar/gdirect.h"
#include "walker.h"

#include <cstring>

static constexpr int kFileInputIndex = 257;

static PyObject* s_pass_tok = nullptr;
static PyObject* s_newline_tok = nullptr;
// The grammar interface is called for every line (AddToken for every token):
// its method names are made once, and the start symbol too (small integers
// stop at 256, so each line would make it anew).
static PyObject* s_create_parser = nullptr;
static PyObject* s_add_token = nullptr;
static PyObject* s_finish = nullptr;
static PyObject* s_file_input = nullptr;

static int EnsureGrammarNames() {
  if (CachedString(&s_create_parser, "CreateParser") == nullptr || CachedString(&s_add_token, "AddToken") == nullptr ||
      CachedString(&s_finish, "Finish") == nullptr)
    return -1;
  if (s_file_input == nullptr) s_file_input = PyLong_FromLong(kFileInputIndex);
  return s_file_input == nullptr ? -1 : 0;
}

// ---------------------------------------------------------------------------
// The native grammar's direct entry points
// ---------------------------------------------------------------------------

// The direct table of `grammar` when it is exactly the native Grammar, else
// null.  The type is recognised by its name, then by the table it carries
// in its own dictionary naming that very type, so a subclass or a look-alike
// gets the Python-level interface.  Reading the type's dictionary runs no
// host code.
static const tGrammarDirectTable* DirectTableFor(PyObject* grammar) {
  static PyTypeObject* s_type = nullptr;
  static const tGrammarDirectTable* s_table = nullptr;
  PyTypeObject* type = Py_TYPE(grammar);
  if (type == s_type) return s_table;
  if (s_type != nullptr || std::strcmp(type->tp_name, "pysource_grammar.Grammar") != 0 ||
      (type->tp_flags & Py_TPFLAGS_HEAPTYPE) != 0 || type->tp_dict == nullptr)
    return nullptr;
  PyObject* capsule = PyDict_GetItemString(type->tp_dict, kGrammarDirectAttr);
  if (capsule == nullptr || !PyCapsule_IsValid(capsule, kGrammarDirectCapsuleName)) return nullptr;
  auto* table = static_cast<const tGrammarDirectTable*>(PyCapsule_GetPointer(capsule, kGrammarDirectCapsuleName));
  if (table == nullptr || table->size < static_cast<Py_ssize_t>(sizeof(tGrammarDirectTable)) ||
      table->grammar_type != type)
    return nullptr;
  s_type = type;
  s_table = table;
  return table;
}

// The native Transformer whose bound TransformNode `xform` is, else null.
static PyObject* DirectTransformer(const tGrammarDirectTable* table, PyObject* xform) {
  if (xform == nullptr || Py_TYPE(xform) != &PyCFunction_Type || PyCFunction_GET_FUNCTION(xform) != table->transform_node)
    return nullptr;
  PyObject* transformer = PyCFunction_GET_SELF(xform);
  return transformer != nullptr && Py_TYPE(transformer) == table->transformer_type ? transformer : nullptr;
}

// The native Transformer behind the analyzer's TransformNode when the
// analyzer's reference to the bound method is the only one, and the bound
// method's the only one to the transformer; else null.
static PyObject* PrivateTransformer(tPySourceImpl* self) {
  PyObject* xform = self->xform_to_ast.get();
  if (!self->grammar || xform == nullptr || Py_REFCNT(xform) != 1) return nullptr;
  const tGrammarDirectTable* table = DirectTableFor(self->grammar.get());
  PyObject* transformer = table != nullptr ? DirectTransformer(table, xform) : nullptr;
  return transformer != nullptr && Py_REFCNT(transformer) == 1 ? transformer : nullptr;
}

void UntrackPrivateTransformer(tPySourceImpl* self) {
  PyObject* transformer = PrivateTransformer(self);
  if (transformer == nullptr) return;
  PyObject_GC_UnTrack(self->xform_to_ast.get());
  PyObject_GC_UnTrack(transformer);
}

int TraversePrivateTransformer(tPySourceImpl* self, visitproc visit, void* arg) {
  // Only a chain taken out of sight is reported; the type look-up behind it
  // was made then, so the collector's pass allocates nothing here.
  PyObject* xform = self->xform_to_ast.get();
  if (xform == nullptr || PyObject_GC_IsTracked(xform)) return 0;
  PyObject* transformer = PrivateTransformer(self);
  if (transformer == nullptr || PyObject_GC_IsTracked(transformer)) return 0;
  traverseproc traverse = Py_TYPE(transformer)->tp_traverse;
  return traverse != nullptr ? traverse(transformer, visit, arg) : 0;
}

// The tokens the analyzer feeds a grammar for a line, in order, each held.
class FedTokens {
 public:
  FedTokens() = default;
  FedTokens(const FedTokens&) = delete;
  FedTokens& operator=(const FedTokens&) = delete;
  ~FedTokens() {
    for (Py_ssize_t i = 0; i < n_; ++i) Py_DECREF(items_[i]);
    if (items_ != inline_) PyMem_Free(items_);
  }
  bool Reserve(Py_ssize_t count) {
    if (count <= cap_) return true;
    PyObject** more = static_cast<PyObject**>(PyMem_Malloc(static_cast<size_t>(count) * sizeof(PyObject*)));
    if (more == nullptr) {
      PyErr_NoMemory();
      return false;
    }
    for (Py_ssize_t i = 0; i < n_; ++i) more[i] = items_[i];
    if (items_ != inline_) PyMem_Free(items_);
    items_ = more;
    cap_ = count;
    return true;
  }
  // Room must have been reserved.
  void Add(PyObject* tok) { items_[n_++] = Py_NewRef(tok); }
  PyObject* const* data() const { return items_; }
  Py_ssize_t size() const { return n_; }

 private:
  static constexpr Py_ssize_t kInline = 64;
  PyObject* inline_[kInline];
  PyObject** items_ = inline_;
  Py_ssize_t cap_ = kInline;
  Py_ssize_t n_ = 0;
};

// ---------------------------------------------------------------------------
// Parsing one logical line
// ---------------------------------------------------------------------------

// The line's tokens as they are fed: comments and anything but a str left
// out, "pass" after a closing ':', then the newline.
static bool CollectFedTokens(tLogicalLine* line, FedTokens* out) {
  if (!out->Reserve(static_cast<Py_ssize_t>(line->tok_count) + 2)) return false;
  char last_fed_first = '\0';
  for (int32_t i = 0; i < line->tok_count; ++i) {
    PyObject* tok = line->tok_array[i];
    if (!IsExactStr(tok)) continue;
    // An ASCII token's first byte is read in place; any other goes through
    // its UTF-8 form (empty when it has none).
    char first = PyUnicode_IS_COMPACT_ASCII(tok)
                     ? (PyUnicode_GET_LENGTH(tok) > 0 ? static_cast<const char*>(PyUnicode_DATA(tok))[0] : '\0')
                     : StrTextOrEmpty(tok)[0];
    if (first == '#') continue;
    last_fed_first = first == '\0' ? ' ' : first;
    out->Add(tok);
  }
  if (last_fed_first == ':') out->Add(s_pass_tok);
  out->Add(s_newline_tok);
  return true;
}

// The grammar's parse of the line, or, when `transformed` is given and the
// line goes to the native grammar and transformer together, the
// transformer's tree already (and *transformed set).
static PyRef ParseLine(tPySourceImpl* self, PyObject* logical, bool* transformed) {
  if (CachedString(&s_pass_tok, "pass") == nullptr || CachedString(&s_newline_tok, "\n") == nullptr ||
      EnsureGrammarNames() < 0)
    return PyRef();
  if (!self->grammar) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  tLogicalLine* line = AsLogical(logical);
  line->parsed = 1;
  switch (line->type) {
    case kElifBeginningIndex:
    case kElseBeginningIndex:
    case kExceptIndex:
    case kTryIndex:
    case kFinallyIndex:
      return PyRef::NewRef(Py_None);
    default:
      break;
  }
  PyRef grammar = PyRef::NewRef(self->grammar.get());
  // Taken from the line before any host code runs, and held.
  FedTokens toks;
  if (!CollectFedTokens(line, &toks)) return PyRef();
  if (const tGrammarDirectTable* direct = DirectTableFor(grammar.get())) {
    // The native grammar: the tokens handed over at once.
    PyObject* transformer = transformed ? DirectTransformer(direct, self->xform_to_ast.get()) : nullptr;
    if (transformer != nullptr) {
      PyRef keep = PyRef::NewRef(transformer);
      *transformed = true;
      return PyRef::Steal(direct->parse_and_transform(transformer, toks.data(), toks.size()));
    }
    return PyRef::Steal(direct->parse(toks.data(), toks.size()));
  }
  PyRef parser = PyRef::Steal(PyObject_CallMethodOneArg(grammar.get(), s_create_parser, s_file_input));
  if (!parser) return PyRef();
  PyRef add_token = PyRef::Steal(PyObject_GetAttr(parser.get(), s_add_token));
  if (!add_token) return PyRef();

  // Any other grammar gets them one call at a time.
  for (Py_ssize_t i = 0; i < toks.size(); ++i) {
    PyRef r = PyRef::Steal(PyObject_CallOneArg(add_token.get(), toks.data()[i]));
    if (!r) return PyRef();
  }
  return PyRef::Steal(PyObject_CallMethodNoArgs(parser.get(), s_finish));
}

PyRef ParseLogicalLineDirect(tPySourceImpl* self, PyObject* logical) { return ParseLine(self, logical, nullptr); }

PyRef AstForLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
  if (!self->xform_to_ast) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  bool transformed = false;
  PyRef tree = ParseLine(self, logical, &transformed);
  if (!tree || tree.get() == Py_None || transformed) return tree;
  PyRef xform = PyRef::NewRef(self->xform_to_ast.get());
  if (xform.get() == nullptr) {  // destroyed by a host callback during parsing
    PyErr_BadInternalCall();
    return PyRef();
  }
  return PyRef::Steal(PyObject_CallOneArg(xform.get(), tree.get()));
}

const char ParseLogicalLine_doc[] = "Parse a single logical line";

PyObject* ParseLogicalLine(tPySourceImpl* self, PyObject* args) {
  PyObject* logical = LogicalLineArg(self, args, "O:ParseLogicalLine", "Line to parse must be a logical line.");
  if (logical == nullptr) return nullptr;
  return ParseLogicalLineDirect(self, logical).release();
}

const char AstForLogicalLine_doc[] = "Parse a single logical line and return the abstract syntax tree";

PyObject* AstForLogicalLine(tPySourceImpl* self, PyObject* args) {
  PyObject* logical = LogicalLineArg(self, args, "O:AstForLogicalLine");
  if (logical == nullptr) return nullptr;
  return AstForLogicalLineDirect(self, logical).release();
}

// ---------------------------------------------------------------------------
// Line analysis driver
// ---------------------------------------------------------------------------

int AnalyzeLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
  tLogicalLine* line = AsLogical(logical);
  if (line->parsed) return 0;
  if (!self->walk_proc) {
    // The walker comes with the logical list: a host callback may have
    // removed it with SetLogicalList(None) in the middle of an analysis.
    PyErr_SetString(PyExc_ValueError, "no logical list is set: lines cannot be analysed without one");
    return -1;
  }
  PyRef keep = PyRef::NewRef(logical);
  PyRef walk = PyRef::NewRef(self->walk_proc.get());
  PyRef mod_analysis = PyRef::NewRef(self->mod_analysis.get());

  PyRef tree = AstForLogicalLineDirect(self, logical);
  if (!tree) {
    if (!PyErr_ExceptionMatches(PyExc_SyntaxError) && !PyErr_ExceptionMatches(PyExc_ValueError)) return -1;
    PyErr_Clear();
    PyRef local_name = PyRef::Steal(PyObject_GetAttrString(mod_analysis.get(), "fLocalName"));
    return local_name ? 0 : -1;
  }
  if (tree.get() == Py_None) return 0;

  if (WalkLineTree(walk.get(), tree.get(), logical, mod_analysis.get()) < 0) return -1;
  TrackLogicalListFor(self, logical);
  if (line->parsed) {
    ++self->parsed_count;
    if (AddNameDefnsToCache(&self->info_cache, logical) != 0) return -1;
  }
  return 0;
}

int AnalyzeLogicalListDirect(tPySourceImpl* self, PyObject* body_list, int max_count) {
  PyRef list = PyRef::NewRef(body_list);
  int all_parsed = 1;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(list.get()); ++i) {
    PyObject* item = PyList_GET_ITEM(list.get(), i);
    if (!IsLogical(self, item)) {
      PyErr_BadInternalCall();
      return -1;
    }
    if (AsLogical(item)->parsed) continue;
    if (max_count == 0) return 0;
    PyRef keep = PyRef::NewRef(item);
    if (AnalyzeLogicalLineDirect(self, item) != 0) return -1;
    if (!AsLogical(item)->parsed) all_parsed = 0;
  }
  return all_parsed;
}

const char AnalyzeLogical_doc[] = "Parse a logical line to fill in analysis fields";

PyObject* AnalyzeLogical(tPySourceImpl* self, PyObject* args) {
  PyObject* logical = LogicalLineArg(self, args, "O:AnalyzeLogical");
  if (logical == nullptr) return nullptr;
  if (AnalyzeLogicalLineDirect(self, logical) != 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* ClearAnalysis(tPySourceImpl* self, PyObject* args) {
  PyObject* logical;
  if (!PyArg_ParseTuple(args, "O!:ClearAnalysis", reinterpret_cast<PyTypeObject*>(self->logical_mod.logical_type),
                        &logical))
    return nullptr;
  tLogicalLine* line = AsLogical(logical);
  if (!line->parsed) Py_RETURN_NONE;
  line->parsed = 0;
  --self->parsed_count;
  if (!PyObject_GC_IsTracked(logical)) TrackScopeCacheEntries(&self->info_cache);
  if (RemoveNameDefnsFromCache(&self->info_cache, logical) != 0) return nullptr;
  if (self->logical_mod.funcs.clear_derived_info != nullptr &&
      self->logical_mod.funcs.clear_derived_info(logical) != 0)
    return nullptr;
  Py_RETURN_NONE;
}

const char AnalyzeLogicalList_doc[] = "Analyze all lines in the given scope. ";

PyObject* AnalyzeLogicalList(tPySourceImpl* self, PyObject* args) {
  PyObject* body_list;
  int max_count = -1;
  if (!PyArg_ParseTuple(args, "O!|i:AnalyzeLogicalList", &PyList_Type, &body_list, &max_count)) return nullptr;
  int result = AnalyzeLogicalListDirect(self, body_list, max_count);
  if (result < 0) return nullptr;
  return NewTruth(result);
}

int AnalyzeIfNeeded(tPySourceImpl* self, PyObject* logical) {
  if (AsLogical(logical)->parsed) return 0;
  PyRef keep = PyRef::NewRef(logical);
  return AnalyzeLogicalLineDirect(self, logical);
}
