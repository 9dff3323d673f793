#include "conversion.hpp"

#include <cstring>

#include "failure.hpp"

namespace vornel::py {

KeyView view_key(PyObject* obj, Bytes& out) {
  if (PyUnicode_Check(obj)) {
    Py_ssize_t n;
    const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
    if (s == nullptr) {
      PyErr_Clear();
      return KeyView::NotEncodable;
    }
    out = Bytes(reinterpret_cast<const uint8_t*>(s), static_cast<size_t>(n));
    return KeyView::Ok;
  }
  if (PyBytes_Check(obj)) {
    out = Bytes(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj)),
                static_cast<size_t>(PyBytes_GET_SIZE(obj)));
    return KeyView::Ok;
  }
  return KeyView::NotKey;
}

void set_type_mismatch(PyObject* obj, const char* expected) {
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%s'", expected);
    return;
  }
  PyRef name = PyRef::steal(PyType_GetQualName(Py_TYPE(obj)));
  if (!name) return;
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name.get(), expected);
}

bool is_ascii(Bytes b) {
  const uint8_t* p = b.data();
  size_t n = b.size();
  uint64_t high = 0;
  for (; n >= 8; p += 8, n -= 8) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    high |= w;
  }
  for (; n > 0; ++p, --n) high |= *p;
  return (high & 0x8080808080808080u) == 0;
}

PyObject* new_text(std::string_view utf8) {
  return checked(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

PyObject* key_text(Bytes key) {
  // Most keys are ASCII, whose text is the bytes themselves: made without the decoder.
  if (!key.empty() && is_ascii(key)) {
    PyObject* out = checked(PyUnicode_New(static_cast<Py_ssize_t>(key.size()), 127));
    std::memcpy(PyUnicode_1BYTE_DATA(out), key.data(), key.size());
    return out;
  }
  return new_text(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

PyObject* new_uint(uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }

}  // namespace vornel::py
