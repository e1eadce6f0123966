// f-strings: the literal parts and replacement fields of f-string tokens,
// with the expressions of the fields tokenized and parsed like any other
// (the nesting rules of 3.12, which take every older f-string as well).
#include "gparser_impl.h"

namespace pgram {
namespace detail {

namespace {

inline bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\f' || c == '\n' || c == '\r'; }

// The text a self-documenting field `{x = }` writes, from its source.  From
// 3.12 on the interpreter cuts every `#` to the end of its line out of it
// (a `#` inside a string as well); before, the text is the source as is.
PyObject* DebugText(const char* s, Py_ssize_t n) {
#if PY_VERSION_HEX >= 0x030C0000
  std::string text;
  text.reserve(static_cast<size_t>(n));
  for (Py_ssize_t k = 0; k < n; ++k) {
    if (s[k] == '#') {
      while (k < n && s[k] != '\n') ++k;
      if (k == n) break;
    }
    text.push_back(s[k]);
  }
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "surrogatepass");
#else
  return PyUnicode_DecodeUTF8(s, n, "surrogatepass");
#endif
}

}  // namespace

Node* Parser::FieldValue() {
  Node* e = YieldOrStarExpressions();
  if (e && Cur().type == T::Newline) return e;
  return nullptr;
}

bool Parser::AddLiteral(FPieces* f, PyObject* text) {
  if (!text) return false;
  if (!f->pending) {
    f->pending = text;
    return true;
  }
  PyObject* joined = PyUnicode_Concat(f->pending, text);
  Py_DECREF(text);
  if (!joined) return false;
  Py_SETREF(f->pending, joined);
  return true;
}

bool Parser::AddChunk(FPieces* f, std::string* chunk, bool raw) {
  if (chunk->empty()) return true;
  bool ok = AddLiteral(f, DecodeStrBody(chunk->data(), static_cast<Py_ssize_t>(chunk->size()), raw));
  chunk->clear();
  return ok;
}

bool Parser::FlushPending(FPieces* f) {
  if (!f->pending) return true;
  PyObject* text = f->pending;
  f->pending = nullptr;
  if (PyUnicode_GET_LENGTH(text) == 0) {
    Py_DECREF(text);
    return true;
  }
  Node* c = New(K::Const);
  if (!c) {
    Py_DECREF(text);
    return false;
  }
  c->obj = owned_->Keep(text);
  f->values.push_back(c);
  return true;
}

// The literal text and fields of an f-string body from s[*i]; a format
// spec (`spec`) ends at its closing '}', left at *i.
bool Parser::FBody(const char* s, Py_ssize_t n, Py_ssize_t* i, bool raw, bool spec, FPieces* out) {
  std::string chunk;
  while (*i < n) {
    char c = s[*i];
    if (c == '\\' && !raw) {
      if (*i + 2 < n && s[*i + 1] == 'N' && s[*i + 2] == '{') {
        // \N{...}: the braces belong to the escape.
        const char* close = static_cast<const char*>(std::memchr(s + *i, '}', n - *i));
        if (!close) {
          SetSyntaxError("malformed \\N character escape");
          return false;
        }
        chunk.append(s + *i, close + 1 - (s + *i));
        *i = close + 1 - s;
        continue;
      }
      chunk.push_back('\\');
      ++*i;
      if (*i < n && s[*i] != '{' && s[*i] != '}') {
        do {
          chunk.push_back(s[(*i)++]);
        } while (*i < n && (static_cast<unsigned char>(s[*i]) & 0xC0) == 0x80);
      }
      continue;
    }
    if (c == '{') {
      if (!spec && *i + 1 < n && s[*i + 1] == '{') {
        chunk.push_back('{');
        *i += 2;
        continue;
      }
      if (!AddChunk(out, &chunk, raw) || !Field(s, n, i, raw, out)) return false;
      continue;
    }
    if (c == '}') {
      if (spec) break;
      if (*i + 1 < n && s[*i + 1] == '}') {
        chunk.push_back('}');
        *i += 2;
        continue;
      }
      SetSyntaxError("f-string: single '}' is not allowed");
      return false;
    }
    chunk.push_back(c);
    ++*i;
  }
  return AddChunk(out, &chunk, raw);
}

// One replacement field, from its '{' to one past its '}'.
bool Parser::Field(const char* s, Py_ssize_t n, Py_ssize_t* i, bool raw, FPieces* out) {
  ++*i;
  Py_ssize_t start = *i;
  std::vector<Tok> toks;
  int depth = 0;
  Py_ssize_t k = *i;
  char stop = 0;
  while (k < n) {
    char c = s[k];
    if (IsSpace(c)) {
      ++k;
      continue;
    }
    if (c == '\\') {
      SetSyntaxError("f-string expression part cannot include a backslash");
      return false;
    }
    if (c == '#') {
      while (k < n && s[k] != '\n') ++k;
      continue;
    }
    Tok t;
    Py_ssize_t len;
    if (IsStringAt(s, n, k)) {
      Py_ssize_t e = StringEnd(s, n, k);
      if (e < 0) {
        SetSyntaxError("f-string: unterminated string");
        return false;
      }
      len = e - k;
    } else if (IsIdStart(static_cast<unsigned char>(c)) || static_cast<unsigned char>(c) >= 0x80) {
      len = 0;
      bool ascii = true;
      while (k + len < n && (IsIdChar(static_cast<unsigned char>(s[k + len])) ||
                             static_cast<unsigned char>(s[k + len]) >= 0x80)) {
        if (static_cast<unsigned char>(s[k + len]) >= 0x80) ascii = false;
        ++len;
      }
      if (!ascii) {
        PyObject* text = owned_->Keep(PyUnicode_DecodeUTF8(s + k, len, "surrogatepass"));
        if (!text || !NonAsciiName(text, owned_, &t)) return false;
        t.s = s + k;
        t.len = len;
        toks.push_back(t);
        k += len;
        continue;
      }
    } else if ((c >= '0' && c <= '9') || (c == '.' && k + 1 < n && s[k + 1] >= '0' && s[k + 1] <= '9')) {
      len = 1;
      bool hex = c == '0' && k + 1 < n && (s[k + 1] == 'x' || s[k + 1] == 'X');
      while (k + len < n) {
        char d = s[k + len];
        if (IsIdChar(static_cast<unsigned char>(d)) || d == '.') {
          ++len;
        } else if ((d == '+' || d == '-') && !hex && (s[k + len - 1] == 'e' || s[k + len - 1] == 'E')) {
          ++len;
        } else {
          break;
        }
      }
    } else {
      len = OperatorLength(s + k, n - k);
      if (len == 0) {
        SetSyntaxError("f-string: invalid character in expression");
        return false;
      }
    }
    if (!ClassifyText(s + k, len, &t)) {
      unsupported_ = true;
      return false;
    }
    if (t.type == T::Op) {
      Tk op = static_cast<Tk>(t.code);
      if (depth == 0 && (op == tkRBrace || op == tkExclamation || op == tkColon ||
                         op == tkColonEqual || op == tkEqual)) {
        stop = s[k];
        break;
      }
      if (op == tkLPar || op == tkLSqb || op == tkLBrace) ++depth;
      if (op == tkRPar || op == tkRSqb || op == tkRBrace) --depth;
    }
    if (t.type == T::Name) {
      t.obj = owned_->Keep(PyUnicode_FromStringAndSize(s + k, len));
      if (!t.obj) return false;
    }
    toks.push_back(t);
    k += len;
  }
  if (!stop) {
    SetSyntaxError("f-string: expecting '}'");
    return false;
  }
  if (toks.empty()) {
    SetSyntaxError("f-string: empty expression not allowed");
    return false;
  }
  Tok nl;
  nl.type = T::Newline;
  toks.push_back(nl);
  Parser sub(toks, arena_, owned_);
  sub.depth_ = depth_ + 1;
  sub.chain_ = chain_;
  Node* value = sub.FieldValue();
  if (sub.unsupported_) unsupported_ = true;
  if (!value) {
    if (!Failed()) SetSyntaxError("f-string: invalid expression");
    return false;
  }
  *i = k;
  bool self_doc = false;
  if (stop == '=') {
    // `{x = }` writes the expression's text, then its repr; blanks and
    // comments after the `=` belong to the text.
    self_doc = true;
    ++*i;
    while (*i < n) {
      if (IsSpace(s[*i])) {
        ++*i;
      } else if (s[*i] == '#') {
        while (*i < n && s[*i] != '\n') ++*i;
      } else {
        break;
      }
    }
    if (!AddLiteral(out, DebugText(s + start, *i - start))) return false;
  }
  Node* fv = New(K::FormattedValue);
  if (!fv) return false;
  fv->a = value;
  fv->ival = -1;
  if (*i < n && s[*i] == '!') {
    ++*i;
    if (*i + 1 >= n || !std::strchr("sra", s[*i]) || IsIdChar(static_cast<unsigned char>(s[*i + 1]))) {
      SetSyntaxError("f-string: invalid conversion character");
      return false;
    }
    fv->ival = s[*i];
    ++*i;
    while (*i < n && IsSpace(s[*i])) ++*i;
  }
  if (*i < n && s[*i] == ':') {
    ++*i;
    FPieces spec;
    if (!FBody(s, n, i, raw, true, &spec) || !FlushPending(&spec)) return false;
    Node* js = New(K::JoinedStr);
    if (!js || !List(spec.values, &js->l1)) return false;
    fv->b = js;
  }
  if (*i >= n || s[*i] != '}') {
    SetSyntaxError("f-string: expecting '}'");
    return false;
  }
  ++*i;
  if (self_doc && fv->ival == -1 && fv->b == nullptr) fv->ival = 'r';
  if (!FlushPending(out)) return false;
  out->values.push_back(fv);
  return true;
}

Node* Parser::JoinedStr(const std::vector<StrParts>& parts) {
  FPieces out;
  for (const StrParts& p : parts) {
    if (p.fstr) {
      Py_ssize_t i = 0;
      if (!FBody(p.body, p.body_len, &i, p.raw, false, &out)) return nullptr;
    } else if (!AddLiteral(&out, DecodeStrBody(p.body, p.body_len, p.raw))) {
      return nullptr;
    }
  }
  if (!FlushPending(&out)) return nullptr;
  Node* n = New(K::JoinedStr);
  if (!n || !List(out.values, &n->l1)) return nullptr;
  return n;
}

}  // namespace detail
}  // namespace pgram
