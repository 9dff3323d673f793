// packb() and unpackb(): the engine's MessagePack codec on its own, exactly as the writer
// encodes and the reader decodes values, for tests and tools.
#include "binder.hpp"
#include "format.hpp"
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
  if (!PyBytes_Check(a[0])) {
    PyErr_Format(PyExc_TypeError, "data must be bytes, not %s", Py_TYPE(a[0])->tp_name);
    return nullptr;
  }
  const UnpackHooks hooks{a[1] != Py_None ? a[1] : nullptr, a[2] != Py_None ? a[2] : nullptr};
  return py::catching(kFailures, nullptr, [&]() -> PyObject* {
    const Bytes data(reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(a[0])),
                     static_cast<size_t>(PyBytes_GET_SIZE(a[0])));
    PyObject* out = nullptr;
    std::string reason;
    switch (unpack(data, hooks, state->codec, &out, &reason, state->keys)) {
      case UnpackStatus::Ok:
        return out;
      case UnpackStatus::Raised:
        return nullptr;
      case UnpackStatus::Malformed:
        break;
    }
    return raise_text(state->decode_error, reason);
  });
}

}  // namespace vornel::engine
