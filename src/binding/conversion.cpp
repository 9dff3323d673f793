#include "conversion.hpp"

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

PyObject* new_text(std::string_view utf8) {
  return checked(
      PyUnicode_DecodeUTF8(utf8.data(), static_cast<Py_ssize_t>(utf8.size()), "replace"));
}

PyObject* key_text(Bytes key) {
  if (is_ascii(key)) return checked(ascii_text(key));  // most keys are
  return new_text(std::string_view(reinterpret_cast<const char*>(key.data()), key.size()));
}

PyObject* new_uint(uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }

}  // namespace vornel::py
