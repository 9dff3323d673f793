#include "convert.hpp"

#include <algorithm>
#include <cstring>
#include <new>

#include "errors.hpp"
#include "read/reader.hpp"

namespace vornel::py {
namespace {

Bytes as_bytes(const char* p, Py_ssize_t n) {
  return Bytes(reinterpret_cast<const uint8_t*>(p), static_cast<size_t>(n));
}

// A conversion's exact TypeError becomes "argument '{param}': {text}", keeping its cause.
void wrap_type_error(const char* param) {
  PyObject* raised = PyErr_GetRaisedException();
  if (raised == nullptr || Py_TYPE(raised) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    PyErr_SetRaisedException(raised);
    return;
  }
  PyRef old = PyRef::steal(raised);
  PyRef text = PyRef::steal(PyObject_Str(old.get()));
  if (!text) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("argument '%s': %U", param, text.get()));
  if (!message) return;
  PyRef replacement = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
  if (!replacement) return;
  PyException_SetCause(replacement.get(), PyException_GetCause(old.get()));
  PyErr_SetRaisedException(replacement.release());
}

bool key_error() {
  PyErr_SetString(PyExc_ValueError, "key must be str or bytes");
  return false;
}

// Gathers the bytes of a sequence of integers 0..255; false on any failure.
bool key_from_sequence(PyObject* obj, std::string& out) {
  // The length is only a capacity hint, and it may lie: a huge one (range(2**40)) must
  // not allocate before the items are even looked at. No stored key is longer.
  const Py_ssize_t hint = PyObject_Size(obj);
  if (hint < 0) {
    PyErr_Clear();
  } else {
    out.reserve(std::min(static_cast<size_t>(hint), static_cast<size_t>(kMaxKeyLen)));
  }
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    const long v = PyLong_AsLong(item.get());
    if (v == -1 && PyErr_Occurred()) return false;
    if (v < 0 || v > 255) return false;
    out.push_back(static_cast<char>(v));
  }
  return !PyErr_Occurred();
}

// A bytearray can be resized by another thread while the key is in use, so its
// current bytes are copied, under the object's lock where the interpreter has no GIL.
void copy_bytearray(PyObject* obj, std::string& out) {
  bool copied = false;
  Py_BEGIN_CRITICAL_SECTION(obj);
  try {
    out.assign(PyByteArray_AS_STRING(obj), static_cast<size_t>(PyByteArray_GET_SIZE(obj)));
    copied = true;
  } catch (const std::bad_alloc&) {
    // rethrown once the section has ended
  }
  Py_END_CRITICAL_SECTION();
  if (!copied) throw std::bad_alloc();
}

}  // namespace

bool convert_key(PyObject* obj, KeyArg& out) {
  switch (view_key(obj, out.view_)) {
    case KeyView::Ok:
      return true;
    case KeyView::NotEncodable:  // a lone surrogate: no later rule accepts a str
      return key_error();
    case KeyView::NotKey:
      break;
  }
  if (PyByteArray_Check(obj)) {
    copy_bytearray(obj, out.owned_);
    out.view_ = as_bytes(out.owned_.data(), static_cast<Py_ssize_t>(out.owned_.size()));
    return true;
  }
  if (PySequence_Check(obj)) {
    if (key_from_sequence(obj, out.owned_)) {
      out.view_ = as_bytes(out.owned_.data(), static_cast<Py_ssize_t>(out.owned_.size()));
      return true;
    }
    PyErr_Clear();  // whatever went wrong, the caller sees only the key error
  }
  return key_error();
}

bool convert_raw_bytes(PyObject* obj, Bytes& out) {
  if (!PyBytes_Check(obj)) {
    set_type_mismatch(obj, "bytes");
    wrap_type_error("raw_bytes");
    return false;
  }
  out = as_bytes(PyBytes_AS_STRING(obj), PyBytes_GET_SIZE(obj));
  return true;
}

bool convert_obj_id(PyObject* obj, uint64_t& out) {
  PyRef index;
  if (!PyLong_Check(obj)) {
    index = PyRef::steal(PyNumber_Index(obj));
    if (!index) {
      wrap_type_error("obj_id");
      return false;
    }
    obj = index.get();
  }
  const unsigned long long v = PyLong_AsUnsignedLongLong(obj);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    wrap_type_error("obj_id");
    return false;
  }
  out = v;
  return true;
}

bool convert_path(PyObject* obj, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    set_type_mismatch(obj, "str");
    wrap_type_error("path");
    return false;
  }
  Py_ssize_t n;
  const char* s = PyUnicode_AsUTF8AndSize(obj, &n);
  if (s == nullptr) return false;  // UnicodeEncodeError passes through
  out = std::string_view(s, static_cast<size_t>(n));
  return true;
}

namespace {

// numpy's boolean scalar, recognised by its type's module and name without importing numpy.
bool is_numpy_bool(PyTypeObject* type) {
  PyRef module = PyRef::steal(PyType_GetModuleName(type));
  PyRef name = module ? PyRef::steal(PyType_GetName(type)) : PyRef();
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  return PyUnicode_Check(module.get()) && PyUnicode_Check(name.get()) &&
         PyUnicode_EqualToUTF8(module.get(), "numpy") &&
         (PyUnicode_EqualToUTF8(name.get(), "bool_") || PyUnicode_EqualToUTF8(name.get(), "bool"));
}

bool numpy_truth(PyObject* obj, bool& out) {
  PyTypeObject* type = Py_TYPE(obj);
  auto nb_bool = reinterpret_cast<inquiry>(PyType_GetSlot(type, Py_nb_bool));
  if (nb_bool == nullptr) {
    if (!PyErr_Occurred()) {
      PyErr_Format(PyExc_TypeError, "object of type '%S' does not define a '__bool__' conversion",
                   reinterpret_cast<PyObject*>(type));
    }
    return false;
  }
  const int r = nb_bool(obj);
  if (r < 0) return false;
  out = r != 0;
  return true;
}

}  // namespace

bool convert_verify(PyObject* obj, bool& out) {
  if (obj == nullptr || obj == Py_True) {
    out = true;
    return true;
  }
  if (obj == Py_False) {
    out = false;
    return true;
  }
  bool ok;
  if (is_numpy_bool(Py_TYPE(obj))) {
    ok = numpy_truth(obj, out);
  } else {
    set_type_mismatch(obj, "bool");
    ok = false;
  }
  if (!ok) wrap_type_error("verify");
  return ok;
}

PyObject* new_bytes(Bytes b) {
  // Uninitialised, then filled by the core's guarded copy: `b` may lie in a mapping
  // whose file was cut short, and that must raise rather than end the process.
  PyObject* out = checked(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(b.size())));
  if (Status s = copy_out(reinterpret_cast<uint8_t*>(PyBytes_AS_STRING(out)), b); !s) {
    Py_DECREF(out);
    return raise_store_error(s.error());
  }
  return out;
}

PyObject* key_bytes(Bytes key) {
  return checked(PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key.data()),
                                           static_cast<Py_ssize_t>(key.size())));
}

}  // namespace vornel::py
