// The extension module pysource_grammar: the native line grammar
// (Grammar, its parsers and their parse results) and the native
// transformer, with the interface the analyzer drives.
#include "gbuild.h"
#include "gdirect.h"

#include <structmember.h>

#include <new>

namespace pgram {

namespace {

// The Python host's classes: verbatim texts and non-self first arguments
// are instances of these, and lines this grammar leaves alone go to the
// host's own grammar and transformer.
struct HostClasses {
  PyObject* source_text = nullptr;
  PyObject* arg_name = nullptr;
  PyObject* host_parser = nullptr;       // pysource.grammar.Parser
  PyObject* host_transformer = nullptr;  // pysource.transformer.Transformer
  Py_ssize_t text_offset = 0;            // SourceText's slot, see BuildContext
};
HostClasses s_host;

unsigned long long s_native_count = 0;
unsigned long long s_fallback_count = 0;

int LoadHostClasses() {
  if (s_host.host_transformer) return 0;
  PyRef tmod = PyRef::Steal(PyImport_ImportModule("pysource.transformer"));
  if (!tmod) return -1;
  PyRef gmod = PyRef::Steal(PyImport_ImportModule("pysource.grammar"));
  if (!gmod) return -1;
  PyRef st = PyRef::Steal(PyObject_GetAttrString(tmod.get(), "SourceText"));
  PyRef an = st ? PyRef::Steal(PyObject_GetAttrString(tmod.get(), "ArgName")) : PyRef();
  PyRef hp = an ? PyRef::Steal(PyObject_GetAttrString(gmod.get(), "Parser")) : PyRef();
  PyRef ht = hp ? PyRef::Steal(PyObject_GetAttrString(tmod.get(), "Transformer")) : PyRef();
  if (!ht) return -1;
  s_host.source_text = st.release();
  s_host.arg_name = an.release();
  s_host.host_parser = hp.release();
  s_host.host_transformer = ht.release();
  s_host.text_offset = SourceTextSlot(s_host.source_text);
  return 0;
}

// ---------------------------------------------------------------------------
// Parsed: the opaque result of Finish.

struct Parsed {
  PyObject_HEAD
  PyObject* tokens;  // the parser's token list
  Py_ssize_t fed;    // how many of them were parsed (the newline left out)
  Arena* arena;
  Owned* owned;
  ParseResult* result;
};

void Parsed_dealloc(PyObject* self) {
  Parsed* p = reinterpret_cast<Parsed*>(self);
  delete p->result;
  delete p->owned;
  delete p->arena;
  Py_XDECREF(p->tokens);
  Py_TYPE(self)->tp_free(self);
}

PyObject* Parsed_repr(PyObject* self) {
  Parsed* p = reinterpret_cast<Parsed*>(self);
  return PyUnicode_FromFormat("<pysource_grammar parse of %zd tokens>", p->fed);
}

PyTypeObject kParsedType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "pysource_grammar.Parsed",  // tp_name
    sizeof(Parsed),             // tp_basicsize
};

// ---------------------------------------------------------------------------
// Parser: collects a line's tokens.

struct LineParser {
  PyObject_HEAD
  PyObject* tokens;  // list
};

void LineParser_dealloc(PyObject* self) {
  Py_XDECREF(reinterpret_cast<LineParser*>(self)->tokens);
  Py_TYPE(self)->tp_free(self);
}

PyObject* LineParser_AddToken(PyObject* self, PyObject* tok) {
  if (!PyUnicode_Check(tok)) {
    PyErr_SetString(PyExc_TypeError, "AddToken: a token must be a str");
    return nullptr;
  }
  if (PyList_Append(reinterpret_cast<LineParser*>(self)->tokens, tok) < 0) return nullptr;
  Py_RETURN_NONE;
}

// The host grammar's parse of the same tokens, for lines this one leaves.
// `toks` are read before any host code runs.
PyObject* HostParse(PyObject* const* toks, Py_ssize_t fed) {
  PyRef tokens = PyRef::Steal(PyList_New(fed));
  if (!tokens) return nullptr;
  for (Py_ssize_t i = 0; i < fed; ++i) PyList_SET_ITEM(tokens.get(), i, Py_NewRef(toks[i]));
  if (LoadHostClasses() < 0) return nullptr;
  PyRef parser = PyRef::Steal(PyObject_CallNoArgs(s_host.host_parser));
  if (!parser) return nullptr;
  PyRef list = PyRef::Steal(PyObject_GetAttrString(parser.get(), "tokens"));
  if (!list) return nullptr;
  if (!PyList_Check(list.get())) {
    PyErr_SetString(PyExc_TypeError, "the host parser keeps no token list");
    return nullptr;
  }
  Py_ssize_t end = PyList_GET_SIZE(list.get());
  if (PyList_SetSlice(list.get(), end, end, tokens.get()) < 0) return nullptr;
  ++s_fallback_count;
  return PyObject_CallMethod(parser.get(), "Finish", nullptr);
}

// How many of the tokens are parsed: the analyzer ends the statement with a
// newline token, which is left out.
Py_ssize_t FedCount(PyObject* const* toks, Py_ssize_t n) {
  if (n > 0) {
    PyObject* last = toks[n - 1];
    if (PyUnicode_GET_LENGTH(last) == 1 && PyUnicode_READ_CHAR(last, 0) == '\n') return n - 1;
  }
  return n;
}

enum class Outcome { Native, Host, Error };

// Classifies and parses the `fed` tokens into `result`: Native, Host when
// the line is one for the host grammar, or Error with the exception set.
Outcome ParseNative(PyObject* const* toks, Py_ssize_t fed, std::vector<Tok>* buf, Arena* arena,
                    Owned* owned, ParseResult* result) {
  buf->reserve(static_cast<size_t>(fed) + 2);
  for (Py_ssize_t i = 0; i < fed; ++i) {
    if (!ClassifyToken(toks[i], buf, owned)) return PyErr_Occurred() ? Outcome::Error : Outcome::Host;
  }
  Tok nl;
  nl.type = T::Newline;
  nl.s = "\n";
  nl.len = 1;
  buf->push_back(nl);
  ParseStatus st = ParseTokens(*buf, arena, owned, result);
  if (st == ParseStatus::Unsupported) return Outcome::Host;
  if (st == ParseStatus::Error) return Outcome::Error;
  ++s_native_count;
  return Outcome::Native;
}

// The parse of a line whose tokens `container` (a list or tuple, whose
// first `n` items are `toks`) holds: a Parsed, or the host grammar's result.
PyObject* ParseToResult(PyObject* container, PyObject* const* toks, Py_ssize_t n) {
  Py_ssize_t fed = FedCount(toks, n);
  Parsed* p = PyObject_New(Parsed, &kParsedType);
  if (!p) return nullptr;
  // The parse borrows the tokens' texts from the container it keeps (a
  // parser's list only ever grows).
  p->tokens = Py_NewRef(container);
  p->fed = fed;
  p->arena = new (std::nothrow) Arena();
  p->owned = new (std::nothrow) Owned();
  p->result = new (std::nothrow) ParseResult();
  PyRef holder = PyRef::Steal(reinterpret_cast<PyObject*>(p));
  if (!p->arena || !p->owned || !p->result) return PyErr_NoMemory();
  std::vector<Tok> buf;
  switch (ParseNative(toks, fed, &buf, p->arena, p->owned, p->result)) {
    case Outcome::Native:
      return holder.release();
    case Outcome::Host:
      return HostParse(toks, fed);
    case Outcome::Error:
      break;
  }
  return nullptr;
}

PyObject* LineParser_Finish(PyObject* self, PyObject*) {
  PyObject* all = reinterpret_cast<LineParser*>(self)->tokens;
  return ParseToResult(all, PySequence_Fast_ITEMS(all), PyList_GET_SIZE(all));
}

PyMethodDef kLineParserMethods[] = {
    {"AddToken", LineParser_AddToken, METH_O, "Adds the next token of the line."},
    {"Finish", LineParser_Finish, METH_NOARGS,
     "Parses the tokens added; SyntaxError when they are not a statement."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject kLineParserType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "pysource_grammar.Parser",  // tp_name
    sizeof(LineParser),         // tp_basicsize
};

// ---------------------------------------------------------------------------
// Grammar

PyObject* Grammar_CreateParser(PyObject*, PyObject* arg) {
  long symbol = PyLong_Check(arg) ? PyLong_AsLong(arg) : -1;
  if (symbol == -1 && PyErr_Occurred()) return nullptr;
  if (symbol != 257) {
    PyErr_Format(PyExc_ValueError, "unknown start symbol %R", arg);
    return nullptr;
  }
  LineParser* p = PyObject_New(LineParser, &kLineParserType);
  if (!p) return nullptr;
  p->tokens = PyList_New(0);
  if (!p->tokens) {
    Py_DECREF(p);
    return nullptr;
  }
  return reinterpret_cast<PyObject*>(p);
}

PyMethodDef kGrammarMethods[] = {
    {"CreateParser", Grammar_CreateParser, METH_O,
     "A fresh parser for one logical line; the start symbol must be 257."},
    {nullptr, nullptr, 0, nullptr},
};

PyTypeObject kGrammarType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "pysource_grammar.Grammar",  // tp_name
    sizeof(PyObject),            // tp_basicsize
};

// ---------------------------------------------------------------------------
// Transformer

struct Transformer {
  PyObject_HEAD
  PyObject* pool;
  PyObject* nonself_defs;
  PyObject* host;  // the host transformer, made when first needed
};

int Transformer_init(PyObject* self, PyObject* args, PyObject* kwds) {
  static const char* kwlist[] = {"pool", "nonself_defs", nullptr};
  PyObject* pool = Py_None;
  PyObject* nonself = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwds, "|OO:Transformer", const_cast<char**>(kwlist),
                                   &pool, &nonself))
    return -1;
  if (LoadHostClasses() < 0) return -1;
  Transformer* t = reinterpret_cast<Transformer*>(self);
  PyRef p = pool == Py_None ? PyRef::Steal(PyDict_New()) : PyRef::NewRef(pool);
  if (!p) return -1;
  if (!PyDict_Check(p.get())) {
    PyErr_SetString(PyExc_TypeError, "Transformer: pool must be a dict");
    return -1;
  }
  PyRef ns = nonself == Py_None ? PyRef::Steal(PySet_New(nullptr)) : PyRef::NewRef(nonself);
  if (!ns) return -1;
  if (!PyAnySet_Check(ns.get())) {
    PyErr_SetString(PyExc_TypeError, "Transformer: nonself_defs must be a set");
    return -1;
  }
  Py_XSETREF(t->pool, p.release());
  Py_XSETREF(t->nonself_defs, ns.release());
  Py_CLEAR(t->host);
  return 0;
}

int Transformer_traverse(PyObject* self, visitproc visit, void* arg) {
  Transformer* t = reinterpret_cast<Transformer*>(self);
  Py_VISIT(t->pool);
  Py_VISIT(t->nonself_defs);
  Py_VISIT(t->host);
  return 0;
}

int Transformer_clear(PyObject* self) {
  Transformer* t = reinterpret_cast<Transformer*>(self);
  Py_CLEAR(t->pool);
  Py_CLEAR(t->nonself_defs);
  Py_CLEAR(t->host);
  return 0;
}

void Transformer_dealloc(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Transformer_clear(self);
  Py_TYPE(self)->tp_free(self);
}

PyObject* Build(Transformer* t, const ParseResult& result, PyObject* const* toks, Py_ssize_t fed) {
  BuildContext ctx{t->pool, t->nonself_defs, s_host.source_text, s_host.arg_name, s_host.text_offset};
  return BuildTree(result, toks, fed, ctx);
}

PyObject* Transformer_TransformNode(PyObject* self, PyObject* tree) {
  Transformer* t = reinterpret_cast<Transformer*>(self);
  if (!t->pool) {
    PyErr_SetString(PyExc_ValueError, "Transformer is not initialized");
    return nullptr;
  }
  if (Py_TYPE(tree) == &kParsedType) {
    Parsed* p = reinterpret_cast<Parsed*>(tree);
    return Build(t, *p->result, PySequence_Fast_ITEMS(p->tokens), p->fed);
  }
  // Anything else is a tree of the host grammar's.
  if (!t->host) {
    t->host = PyObject_CallFunctionObjArgs(s_host.host_transformer, t->pool, t->nonself_defs,
                                           nullptr);
    if (!t->host) return nullptr;
  }
  return PyObject_CallMethod(t->host, "TransformNode", "O", tree);
}

PyMethodDef kTransformerMethods[] = {
    {"TransformNode", Transformer_TransformNode, METH_O,
     "The tuple tree of a parsed line: one node per statement, a list for several."},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef kTransformerMembers[] = {
    {"pool", T_OBJECT, offsetof(Transformer, pool), READONLY, "The name pool."},
    {"nonself_defs", T_OBJECT, offsetof(Transformer, nonself_defs), READONLY,
     "Token tuples of def lines whose first parameter is not an instance."},
    {nullptr, 0, 0, 0, nullptr},
};

PyTypeObject kTransformerType = {
    PyVarObject_HEAD_INIT(nullptr, 0)
    "pysource_grammar.Transformer",  // tp_name
    sizeof(Transformer),             // tp_basicsize
};

// ---------------------------------------------------------------------------
// Direct entry points (gdirect.h)

// What one parse needs besides its result, kept from line to line by the
// direct path.
struct Scratch {
  Arena arena;
  Owned owned;
  ParseResult result;
  std::vector<Tok> toks;
  void Reset() {
    toks.clear();
    result.stmts.clear();
    result.form = Form::Statements;
    owned.Clear();
    arena.Reset();
  }
};

Scratch* s_scratch = nullptr;
bool s_scratch_busy = false;

// The shared scratch space, or one of its own for a parse that starts while
// another is under way (host code run by a build may parse again).
class ScratchLease {
 public:
  ScratchLease() {
    if (!s_scratch_busy) {
      if (s_scratch == nullptr) s_scratch = new (std::nothrow) Scratch();
      if (s_scratch != nullptr) {
        s_scratch_busy = true;
        s_ = s_scratch;
        return;
      }
    }
    s_ = new (std::nothrow) Scratch();
  }
  ScratchLease(const ScratchLease&) = delete;
  ScratchLease& operator=(const ScratchLease&) = delete;
  ~ScratchLease() {
    if (s_ == nullptr) return;
    if (s_ == s_scratch) {
      s_->Reset();
      s_scratch_busy = false;
    } else {
      delete s_;
    }
  }
  Scratch* get() const { return s_; }

 private:
  Scratch* s_ = nullptr;
};

PyObject* DirectParse(PyObject* const* toks, Py_ssize_t n) {
  PyRef container = PyRef::Steal(PyTuple_New(n));
  if (!container) return nullptr;
  for (Py_ssize_t i = 0; i < n; ++i) PyTuple_SET_ITEM(container.get(), i, Py_NewRef(toks[i]));
  return ParseToResult(container.get(), PySequence_Fast_ITEMS(container.get()), n);
}

PyObject* DirectParseAndTransform(PyObject* transformer, PyObject* const* toks, Py_ssize_t n) {
  Py_ssize_t fed = FedCount(toks, n);
  ScratchLease lease;
  Scratch* s = lease.get();
  if (s == nullptr) return PyErr_NoMemory();
  switch (ParseNative(toks, fed, &s->toks, &s->arena, &s->owned, &s->result)) {
    case Outcome::Native:
      break;
    case Outcome::Host: {
      PyRef tree = PyRef::Steal(HostParse(toks, fed));
      if (!tree) return nullptr;
      return Transformer_TransformNode(transformer, tree.get());
    }
    case Outcome::Error:
      return nullptr;
  }
  Transformer* t = reinterpret_cast<Transformer*>(transformer);
  if (!t->pool) {
    PyErr_SetString(PyExc_ValueError, "Transformer is not initialized");
    return nullptr;
  }
  return Build(t, s->result, toks, fed);
}

const tGrammarDirectTable kDirectTable = {
    sizeof(tGrammarDirectTable), &kGrammarType, &kTransformerType, Transformer_TransformNode,
    DirectParse, DirectParseAndTransform,
};

PyObject* Module_counts(PyObject*, PyObject*) {
  return Py_BuildValue("{s:K,s:K}", "native", s_native_count, "host", s_fallback_count);
}

PyMethodDef kModuleMethods[] = {
    {"counts", Module_counts, METH_NOARGS,
     "Lines parsed natively and lines handed to the host grammar, since import."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "pysource_grammar",
    "Native line grammar and transformer of the analyzer.", -1, kModuleMethods,
};

}  // namespace

}  // namespace pgram

PyMODINIT_FUNC PyInit_pysource_grammar() {
  using namespace pgram;
  kParsedType.tp_dealloc = Parsed_dealloc;
  kParsedType.tp_repr = Parsed_repr;
  kParsedType.tp_flags = Py_TPFLAGS_DEFAULT;
  kParsedType.tp_doc = "The parse of one logical line, for the Transformer.";

  kLineParserType.tp_dealloc = LineParser_dealloc;
  kLineParserType.tp_flags = Py_TPFLAGS_DEFAULT;
  kLineParserType.tp_methods = kLineParserMethods;
  kLineParserType.tp_doc = "A parser of one logical line: AddToken, then Finish.";

  kGrammarType.tp_flags = Py_TPFLAGS_DEFAULT;
  kGrammarType.tp_methods = kGrammarMethods;
  kGrammarType.tp_new = PyType_GenericNew;
  kGrammarType.tp_doc = "The native line grammar: CreateParser(257) gives a parser.";

  kTransformerType.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC;
  kTransformerType.tp_methods = kTransformerMethods;
  kTransformerType.tp_members = kTransformerMembers;
  kTransformerType.tp_init = Transformer_init;
  kTransformerType.tp_new = PyType_GenericNew;
  kTransformerType.tp_dealloc = Transformer_dealloc;
  kTransformerType.tp_traverse = Transformer_traverse;
  kTransformerType.tp_clear = Transformer_clear;
  kTransformerType.tp_doc = "Transformer(pool=None, nonself_defs=None): parse results to tuple trees.";

  if (PyType_Ready(&kParsedType) < 0 || PyType_Ready(&kLineParserType) < 0 ||
      PyType_Ready(&kGrammarType) < 0 || PyType_Ready(&kTransformerType) < 0)
    return nullptr;
  if (InitBuildStrings() < 0) return nullptr;
  {
    PyRef capsule = PyRef::Steal(PyCapsule_New(const_cast<tGrammarDirectTable*>(&kDirectTable),
                                               kGrammarDirectCapsuleName, nullptr));
    if (!capsule || PyDict_SetItemString(kGrammarType.tp_dict, kGrammarDirectAttr, capsule.get()) < 0)
      return nullptr;
    PyType_Modified(&kGrammarType);
  }
  PyObject* m = PyModule_Create(&kModule);
  if (!m) return nullptr;
  if (PyModule_AddObjectRef(m, "Grammar", reinterpret_cast<PyObject*>(&kGrammarType)) < 0 ||
      PyModule_AddObjectRef(m, "Parser", reinterpret_cast<PyObject*>(&kLineParserType)) < 0 ||
      PyModule_AddObjectRef(m, "Parsed", reinterpret_cast<PyObject*>(&kParsedType)) < 0 ||
      PyModule_AddObjectRef(m, "Transformer", reinterpret_cast<PyObject*>(&kTransformerType)) < 0 ||
      PyModule_AddIntConstant(m, "kFileInputIndex", 257) < 0) {
    Py_DECREF(m);
    return nullptr;
  }
  return m;
}
