#include "errors.hpp"

#include <string>

#include "store_words.hpp"
#include "util/port.hpp"

namespace vornel::engine {
namespace {

PyObject* refused(PyTypeObject* type, py::Access, py::Refusal why) {
  if (why == py::Refusal::Closed) return raise_text(PyExc_ValueError, kClosedText);
  ModuleState* state = state_of(type);
  if (state == nullptr) return nullptr;
  return raise_text(state->busy_error,
                    "the writer is in use by another call: another thread's, or one that "
                    "update() is running");
}

PyObject* cursor_refused(PyTypeObject*, py::Access, py::Refusal why) {
  if (why == py::Refusal::Closed) return raise_text(PyExc_ValueError, kClosedText);
  return raise_text(PyExc_RuntimeError,
                    "the cursor is in use by another call: another thread's, or one from a "
                    "hook that its own step runs");
}

PyObject* panic(PyTypeObject* type, std::string_view text) {
  ModuleState* state = type != nullptr ? state_of(type) : nullptr;
  if (state == nullptr) {
    PyErr_Clear();
    return raise_text(PyExc_SystemError, text);
  }
  return raise_text(state->panic, text);
}

}  // namespace

const py::Failures kFailures = {refused, panic};
const py::Failures kCursorFailures = {cursor_refused, panic};

PyObject* raise_store_error(const ModuleState& state, const StoreError& error,
                            std::string_view path) {
  const std::string where(path);
  switch (error.kind()) {
    case ErrorKind::IO: {
      if (const int number = error.os_errno(); number != 0) {
        const std::string text = port::error_message(number);
        py::PyRef e = py::PyRef::steal(PyObject_CallFunction(
            state.io_error, "is#s#", number, text.data(), static_cast<Py_ssize_t>(text.size()),
            where.data(), static_cast<Py_ssize_t>(where.size())));
        if (!e) return nullptr;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), e.get());
        return nullptr;
      }
      return raise_text(state.io_error_type, where + ": " + message_of(error));
    }
    case ErrorKind::Corrupt:
      if (error.is_not_a_store()) {
        return raise_text(state.corrupt_error, where + " is not a vornel store");
      }
      return raise_text(state.corrupt_error, where + ": " + message_of(error));
    case ErrorKind::Version:
      return raise_text(state.version_error,
                        where + ": unsupported store format version " +
                            std::to_string(error.version_found()));
    case ErrorKind::Invalid:
      return raise_text(state.limit_error, message_of(error));
    case ErrorKind::Cancelled:
      // The check for signals that cancelled it has set KeyboardInterrupt, or a
      // progress callback its own exception.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
  }
  return raise_text(state.corrupt_error, where + ": " + message_of(error));
}

PyObject* raise_value_error(const ModuleState& state, const StoreError& error,
                            std::string_view path, PyObject* key) {
  if (error.fault() != Fault::RecordChecksum) return raise_store_error(state, error, path);
  const std::string where(path);
  py::PyRef text = py::PyRef::steal(PyUnicode_FromFormat(
      "%s: the value of key %R is damaged: its record at offset %llu fails its checksum",
      where.c_str(), key, static_cast<unsigned long long>(error.offset())));
  if (text) PyErr_SetObject(state.corrupt_error, text.get());
  return nullptr;
}

}  // namespace vornel::engine
