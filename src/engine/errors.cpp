#include "errors.hpp"

#include <algorithm>
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
  // The path as Python shows a file name: its bytes decoded as os.fsdecode() does.
  py::PyRef where = py::PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!where) return nullptr;
  // Raises `cls` with "{where}{text}".
  const auto raise_about = [&](PyObject* cls, const std::string& text) -> PyObject* {
    py::PyRef message =
        py::PyRef::steal(PyUnicode_FromFormat("%U%s", where.get(), text.c_str()));
    if (message) PyErr_SetObject(cls, message.get());
    return nullptr;
  };
  switch (error.kind()) {
    case ErrorKind::IO: {
      if (const int number = error.os_errno(); number != 0) {
        const std::string text = port::error_message(number);
        py::PyRef e = py::PyRef::steal(PyObject_CallFunction(
            state.io_error, "is#O", number, text.data(), static_cast<Py_ssize_t>(text.size()),
            where.get()));
        if (!e) return nullptr;
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.get())), e.get());
        return nullptr;
      }
      return raise_about(state.io_error_type, ": " + message_of(error));
    }
    case ErrorKind::Corrupt:
      if (error.is_not_a_store()) return raise_about(state.corrupt_error, " is not a vornel store");
      return raise_about(state.corrupt_error, ": " + message_of(error));
    case ErrorKind::Version:
      if (error.fault() == vornel::Fault::MarksUnknown) {
        return raise_about(state.version_error, ": " + message_of(error));
      }
      return raise_about(state.version_error, ": unsupported store format version " +
                                                  std::to_string(error.version_found()));
    case ErrorKind::Invalid:
      return raise_text(state.limit_error, message_of(error));
    case ErrorKind::Cancelled:
      // The check for signals that cancelled it has set KeyboardInterrupt, or a
      // progress callback its own exception.
      if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
      return nullptr;
  }
  return raise_about(state.corrupt_error, ": " + message_of(error));
}

PyObject* raise_value_error(const ModuleState& state, const StoreError& error,
                            std::string_view path, PyObject* key) {
  if (error.fault() != vornel::Fault::RecordChecksum) return raise_store_error(state, error, path);
  py::PyRef where = py::PyRef::steal(
      PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  if (!where) return nullptr;
  py::PyRef text = py::PyRef::steal(PyUnicode_FromFormat(
      "%U: the value of key %R is damaged: its record at offset %llu fails its checksum",
      where.get(), key, static_cast<unsigned long long>(error.offset())));
  if (text) PyErr_SetObject(state.corrupt_error, text.get());
  return nullptr;
}

PyObject* raise_decode_error(const ModuleState& state, const Malformed& why, PyObject* message,
                             Bytes data) {
  py::PyRef error;
  switch (why.fault) {
    case Fault::Format:
      error = py::PyRef::steal(PyObject_CallOneArg(state.format_error, message));
      break;
    case Fault::Depth:
      error = py::PyRef::steal(PyObject_CallOneArg(state.stack_error, message));
      break;
    case Fault::Extra: {
      const Bytes extra = data.subspan(std::min(why.extra_at, data.size()));
      error = py::PyRef::steal(PyObject_CallFunction(
          state.extra_data_error, "OOy#", message, why.unpacked ? why.unpacked.get() : Py_None,
          reinterpret_cast<const char*>(extra.data()), static_cast<Py_ssize_t>(extra.size())));
      break;
    }
    case Fault::Utf8: {
      PyObject* u = why.unicode_error.get();
      Py_ssize_t start = 0, end = 0;
      py::PyRef object = py::PyRef::steal(u ? PyUnicodeDecodeError_GetObject(u) : nullptr);
      py::PyRef reason = py::PyRef::steal(u ? PyUnicodeDecodeError_GetReason(u) : nullptr);
      if (!object || !reason || PyUnicodeDecodeError_GetStart(u, &start) < 0 ||
          PyUnicodeDecodeError_GetEnd(u, &end) < 0) {
        PyErr_Clear();  // no detail to give: the plain decode error still says it all
        break;
      }
      error = py::PyRef::steal(PyObject_CallFunction(state.unicode_decode_error, "OOnnO",
                                                     message, object.get(), start, end,
                                                     reason.get()));
      break;
    }
    case Fault::Unhashable:
      error = py::PyRef::steal(PyObject_CallOneArg(state.unhashable_key_error, message));
      break;
    case Fault::Other:
      break;
  }
  if (!error) {
    if (PyErr_Occurred()) return nullptr;
    error = py::PyRef::steal(PyObject_CallOneArg(state.decode_error, message));
    if (!error) return nullptr;
  }
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
  return nullptr;
}

}  // namespace vornel::engine
