// Parsing one logical line with the host's grammar and transformer, and the
// line analysis driver that walks a line's tree with the standard visitors.
#include "linedriver.h"

#include "walker.h"

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
// Parsing one logical line
// ---------------------------------------------------------------------------

PyRef ParseLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
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
  PyRef parser = PyRef::Steal(PyObject_CallMethodOneArg(grammar.get(), s_create_parser, s_file_input));
  if (!parser) return PyRef();
  PyRef add_token = PyRef::Steal(PyObject_GetAttr(parser.get(), s_add_token));
  if (!add_token) return PyRef();

  // Hold the line (and so its tokens) while host code runs.
  PyRef keep = PyRef::NewRef(logical);
  char last_fed_first = '\0';
  for (int32_t i = 0; i < line->tok_count; ++i) {
    PyRef tok = PyRef::NewRef(line->tok_array[i]);
    if (!IsExactStr(tok.get())) continue;
    char first = StrTextOrEmpty(tok.get())[0];
    if (first == '#') continue;
    last_fed_first = first == '\0' ? ' ' : first;
    PyRef r = PyRef::Steal(PyObject_CallOneArg(add_token.get(), tok.get()));
    if (!r) return PyRef();
  }
  if (last_fed_first == ':') {
    PyRef r = PyRef::Steal(PyObject_CallOneArg(add_token.get(), s_pass_tok));
    if (!r) return PyRef();
  }
  PyRef r = PyRef::Steal(PyObject_CallOneArg(add_token.get(), s_newline_tok));
  if (!r) return PyRef();
  return PyRef::Steal(PyObject_CallMethodNoArgs(parser.get(), s_finish));
}

PyRef AstForLogicalLineDirect(tPySourceImpl* self, PyObject* logical) {
  if (!self->xform_to_ast) {
    PyErr_BadInternalCall();
    return PyRef();
  }
  PyRef tree = ParseLogicalLineDirect(self, logical);
  if (!tree || tree.get() == Py_None) return tree;
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
