#include "keys.hpp"

#include <string>

#include "errors.hpp"
#include "failure.hpp"

namespace vornel::engine {

bool stage_key(const ModuleState& state, PyObject* key, Bytes& out) {
  switch (py::view_key(key, out)) {
    case py::KeyView::Ok:
      break;
    case py::KeyView::NotKey:
      PyErr_Format(PyExc_TypeError, "key must be str or bytes, not %s", Py_TYPE(key)->tp_name);
      return false;
    case py::KeyView::NotEncodable:
      PyErr_Format(PyExc_ValueError,
                   "key %R cannot be stored: it holds a lone surrogate, which has no UTF-8 form",
                   key);
      return false;
  }
  if (out.size() > kMaxKeyLen) {
    raise_text(state.limit_error, "key is " + std::to_string(out.size()) +
                                      " bytes, format maximum is " + std::to_string(kMaxKeyLen));
    return false;
  }
  return true;
}

bool path_arg(PyObject* obj, py::PyRef& holder, std::string_view& out) {
  PyObject* converted = nullptr;
  if (!PyUnicode_FSConverter(obj, &converted)) return false;
  holder = py::PyRef::steal(converted);
  out = std::string_view(PyBytes_AS_STRING(converted),
                         static_cast<size_t>(PyBytes_GET_SIZE(converted)));
  return true;
}

PyObject* key_object(Bytes key) {
  if (py::is_ascii(key)) return py::checked(py::ascii_text(key));
  const char* p = reinterpret_cast<const char*>(key.data());
  const auto n = static_cast<Py_ssize_t>(key.size());
  if (PyObject* text = PyUnicode_DecodeUTF8(p, n, "strict")) return text;
  if (!PyErr_ExceptionMatches(PyExc_UnicodeDecodeError)) throw py::NullResult{};
  PyErr_Clear();  // not UTF-8: the stored bytes themselves are the key
  return py::checked(PyBytes_FromStringAndSize(p, n));
}

}  // namespace vornel::engine
