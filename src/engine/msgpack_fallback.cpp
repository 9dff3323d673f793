// TEMPORARY: the codec through msgpack-python, until the native codec lands.
#include "msgpack_decode.hpp"
#include "msgpack_encode.hpp"

namespace vornel::engine {

bool pack(PyObject* value, PyObject* default_fn, const CodecClasses&, std::string& out) {
  py::PyRef msgpack = py::PyRef::steal(PyImport_ImportModule("msgpack"));
  if (!msgpack) return false;
  py::PyRef cls = py::PyRef::steal(PyObject_GetAttrString(msgpack.get(), "Packer"));
  py::PyRef kw = py::PyRef::steal(PyDict_New());
  PyDict_SetItemString(kw.get(), "default", default_fn ? default_fn : Py_None);
  PyDict_SetItemString(kw.get(), "use_bin_type", Py_True);
  py::PyRef noargs = py::PyRef::steal(PyTuple_New(0));
  py::PyRef packer = py::PyRef::steal(PyObject_Call(cls.get(), noargs.get(), kw.get()));
  if (!packer) return false;
  py::PyRef name = py::PyRef::steal(PyUnicode_FromString("pack"));
  py::PyRef data = py::PyRef::steal(PyObject_CallMethodOneArg(packer.get(), name.get(), value));
  if (!data) return false;
  out.append(PyBytes_AS_STRING(data.get()), PyBytes_GET_SIZE(data.get()));
  return true;
}

UnpackStatus unpack(std::span<const uint8_t> data, const UnpackHooks& hooks,
                    const CodecClasses&, PyObject** out, std::string* reason) {
  py::PyRef msgpack = py::PyRef::steal(PyImport_ImportModule("msgpack"));
  if (!msgpack) return UnpackStatus::Raised;
  py::PyRef fn = py::PyRef::steal(PyObject_GetAttrString(msgpack.get(), "unpackb"));
  py::PyRef arg = py::PyRef::steal(PyBytes_FromStringAndSize(
      reinterpret_cast<const char*>(data.data()), static_cast<Py_ssize_t>(data.size())));
  py::PyRef kw = py::PyRef::steal(PyDict_New());
  PyDict_SetItemString(kw.get(), "strict_map_key", Py_False);
  if (hooks.ext_hook) PyDict_SetItemString(kw.get(), "ext_hook", hooks.ext_hook);
  if (hooks.object_hook) PyDict_SetItemString(kw.get(), "object_hook", hooks.object_hook);
  py::PyRef args = py::PyRef::steal(PyTuple_Pack(1, arg.get()));
  PyObject* r = PyObject_Call(fn.get(), args.get(), kw.get());
  if (r == nullptr) {
    if (PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      *reason = "malformed";
      return UnpackStatus::Malformed;
    }
    return UnpackStatus::Raised;
  }
  *out = r;
  return UnpackStatus::Ok;
}

}  // namespace vornel::engine
