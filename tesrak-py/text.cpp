#include "text.hpp"

#include <cstdio>

#include "errors.hpp"
#include "py_ref.hpp"

namespace tesrak_py {
namespace {

constexpr Py_UCS4 kReplacementCharacter = 0xFFFD;

bool is_surrogate(Py_UCS4 c) { return c >= 0xD800 && c <= 0xDFFF; }

void append_utf8(std::string& out, Py_UCS4 c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

// Calls f(c) for every code point, with lone surrogates as U+FFFD.
template <typename F>
void for_each_character(PyObject* text, F&& f) {
  const Py_ssize_t length = PyUnicode_GET_LENGTH(text);
  for (Py_ssize_t i = 0; i < length; ++i) {
    const Py_UCS4 c = PyUnicode_READ_CHAR(text, i);
    f(is_surrogate(c) ? kReplacementCharacter : c);
  }
}

// Combining characters (general categories Mn and Me) would attach to the
// quote or to the character before them, so they are shown escaped.
class CombiningTest {
 public:
  // Only error messages quote text, so the table module is imported on
  // demand; without it combining marks stand as they are.
  CombiningTest() : unicodedata_(PyRef::steal(PyImport_ImportModule("unicodedata"))) {
    if (!unicodedata_) PyErr_Clear();
  }

  bool operator()(Py_UCS4 c) const {
    if (!unicodedata_ || c < 0x300) return false;  // nothing below U+0300 combines
    PyRef category = PyRef::steal(PyObject_CallMethod(unicodedata_.get(), "category", "C",
                                                      static_cast<int>(c)));
    if (!category) {
      PyErr_Clear();
      return false;
    }
    return PyUnicode_CompareWithASCIIString(category.get(), "Mn") == 0 ||
           PyUnicode_CompareWithASCIIString(category.get(), "Me") == 0;
  }

 private:
  PyRef unicodedata_;
};

}  // namespace

std::string lossy_text(PyObject* text) {
  Py_ssize_t size = 0;
  if (const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size)) {
    return std::string(utf8, static_cast<std::size_t>(size));
  }
  if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw PythonError();
  PyErr_Clear();
  std::string out;
  for_each_character(text, [&](Py_UCS4 c) { append_utf8(out, c); });
  return out;
}

std::string str_text(PyObject* value) {
  PyRef text = checked(PyObject_Str(value));
  return lossy_text(text.get());
}

std::string quoted(PyObject* text) {
  const CombiningTest is_combining;
  std::string out = "\"";
  for_each_character(text, [&](Py_UCS4 c) {
    switch (c) {
      case '\\': out += "\\\\"; return;
      case '"': out += "\\\""; return;
      case '\t': out += "\\t"; return;
      case '\r': out += "\\r"; return;
      case '\n': out += "\\n"; return;
      case '\0': out += "\\0"; return;
      default: break;
    }
    if (Py_UNICODE_ISPRINTABLE(c) && !is_combining(c)) {
      append_utf8(out, c);
    } else {
      char escape[16];
      std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
      out += escape;
    }
  });
  out += '"';
  return out;
}

}  // namespace tesrak_py
