#include "failure.hpp"

#include <exception>
#include <new>

namespace vornel::py {

PyObject* raise_text(PyObject* type, std::string_view text) {
  PyRef value = PyRef::steal(
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
  if (!value) return nullptr;
  PyErr_SetObject(type, value.get());
  return nullptr;
}

PyObject* raise_key_error(PyObject* key) {
  PyRef args = PyRef::steal(PyTuple_Pack(1, key));
  if (args) PyErr_SetObject(PyExc_KeyError, args.get());
  return nullptr;
}

PyObject* raise_caught(const Failures& failures, PyTypeObject* type) noexcept {
  try {
    throw;
  } catch (const NullResult&) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    return failures.panic(type, "PyObject pointer is null");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return failures.panic(type, e.what());
  } catch (...) {
    return failures.panic(type, "internal failure in native code");
  }
}

}  // namespace vornel::py
