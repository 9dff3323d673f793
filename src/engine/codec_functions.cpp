// packb() and unpackb(): the engine's MessagePack codec on its own, exactly as the writer
// encodes and the reader decodes values, for tests and tools. And is_plain_json(), which
// lets the tool write a decoded value as JSON without walking it in Python.
#include <cmath>

#include "binder.hpp"
#include "format/format.hpp"
#include "errors.hpp"
#include "msgpack_decode.hpp"
#include "msgpack_encode.hpp"

namespace vornel::engine {

PyObject* packb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr py::Params params = {{"value", "default"}, 1, {nullptr, "None"}};
  static constexpr py::Callee callee = py::Callee::of("_engine", "packb", params);
  py::BoundArgs a;
  if (!py::bind(callee, py::FastArgs{args, nargs, kwnames}, a)) return nullptr;
  const auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  PyObject* default_fn = a[1] != nullptr && a[1] != Py_None ? a[1] : nullptr;
  return py::catching(kFailures, nullptr, [&]() -> PyObject* {
    std::string out;
    if (!pack(a[0], default_fn, state->codec, out)) return nullptr;
    return py::checked(PyBytes_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size())));
  });
}

PyObject* unpackb(PyObject* module, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static constexpr py::Params params = {
      {"data", "ext_hook", "object_hook"}, 1, {nullptr, "None", "None"}};
  static constexpr py::Callee callee = py::Callee::of("_engine", "unpackb", params);
  py::BoundArgs a;
  if (!py::bind(callee, py::FastArgs{args, nargs, kwnames}, a)) return nullptr;
  const auto* state = static_cast<ModuleState*>(PyModule_GetState(module));
  // Any bytes-like object, as msgpack takes: a contiguous view, held while hooks run. A
  // view that is not contiguous (memoryview(b)[::2]) is decoded from a contiguous copy.
  Py_buffer view;
  py::PyRef copy;
  if (PyObject_GetBuffer(a[0], &view, PyBUF_SIMPLE) < 0) {
    if (!PyErr_ExceptionMatches(PyExc_BufferError) || !PyObject_CheckBuffer(a[0])) return nullptr;
    PyErr_Clear();
    copy = py::PyRef::steal(PyBytes_FromObject(a[0]));
    if (!copy || PyObject_GetBuffer(copy.get(), &view, PyBUF_SIMPLE) < 0) return nullptr;
  }
  const UnpackHooks hooks{a[1] != Py_None ? a[1] : nullptr, a[2] != Py_None ? a[2] : nullptr};
  PyObject* result = py::catching(kFailures, nullptr, [&]() -> PyObject* {
    const Bytes data(static_cast<const uint8_t*>(view.buf), static_cast<size_t>(view.len));
    PyObject* out = nullptr;
    Malformed why;
    switch (unpack(data, hooks, state->codec, &out, &why, state->keys)) {
      case UnpackStatus::Ok:
        return out;
      case UnpackStatus::Raised:
        return nullptr;
      case UnpackStatus::Malformed:
        break;
    }
    py::PyRef text = py::PyRef::steal(
        PyUnicode_FromStringAndSize(why.reason.data(), static_cast<Py_ssize_t>(why.reason.size())));
    return text ? raise_decode_error(*state, why, text.get(), data) : nullptr;
  });
  PyBuffer_Release(&view);
  return result;
}

namespace {

// Whether json.dumps writes `value` exactly as the tagged JSON form does: None, bool,
// int, finite float and str of their exact types, lists of such, and dicts of such
// under str names, except a dict of one member whose name begins with "$" (a tag's
// shape). Anything else, or deeper than a store holds, needs the tagged form.
bool plain(PyObject* value, int depth) {
  PyTypeObject* type = Py_TYPE(value);
  if (type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
      value == Py_None) {
    return true;
  }
  if (type == &PyFloat_Type) return std::isfinite(PyFloat_AS_DOUBLE(value));
  if (depth >= kMaxDepth) return false;
  bool ok = true;
  if (type == &PyList_Type) {
    Py_BEGIN_CRITICAL_SECTION(value);
    for (Py_ssize_t i = 0; ok && i < PyList_GET_SIZE(value); ++i) {
      ok = plain(PyList_GET_ITEM(value, i), depth + 1);
    }
    Py_END_CRITICAL_SECTION();
    return ok;
  }
  if (type != &PyDict_Type) return false;
  Py_BEGIN_CRITICAL_SECTION(value);
  const bool one = PyDict_GET_SIZE(value) == 1;
  Py_ssize_t pos = 0;
  PyObject *name, *member;
  while (ok && PyDict_Next(value, &pos, &name, &member)) {
    ok = PyUnicode_CheckExact(name) &&
         !(one && PyUnicode_GET_LENGTH(name) > 0 && PyUnicode_READ_CHAR(name, 0) == '$') &&
         plain(member, depth + 1);
  }
  Py_END_CRITICAL_SECTION();
  return ok;
}

}  // namespace

PyObject* is_plain_json(PyObject*, PyObject* value) { return PyBool_FromLong(plain(value, 0)); }

}  // namespace vornel::engine
