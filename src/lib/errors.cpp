#include "errors.hpp"

#include <atomic>
#include <string>

#include "store_words.hpp"

namespace vornel::py {
namespace {

PyObject* exception_type(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Corrupt:
    case ErrorKind::Version:
    case ErrorKind::Cancelled:  // only a build with a progress callback, which _vornel never gives
      return PyExc_RuntimeError;
    case ErrorKind::IO:
      return PyExc_OSError;
    case ErrorKind::Invalid:
      return PyExc_ValueError;
  }
  return PyExc_RuntimeError;
}

constexpr const char kPanicDoc[] =
    "Raised when native code called from Python fails.\n\n"
    "Derived from BaseException, like SystemExit, so that it is not caught by\n"
    "`except Exception` and typically propagates all the way up, ending the interpreter.";

// Created once per process at the first internal failure; later failures reuse it.
PyObject* panic_type() {
  static std::atomic<PyObject*> cached{nullptr};
  PyObject* type = cached.load(std::memory_order_acquire);
  if (type != nullptr) return type;
  PyObject* created = PyErr_NewExceptionWithDoc("_vornel.PanicException", kPanicDoc,
                                                PyExc_BaseException, nullptr);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!cached.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);  // another thread published first
    return expected;
  }
  return created;
}

PyObject* refused(PyTypeObject*, Access requested, Refusal) {
  // _vornel's instances are never closed: every refusal is a conflict.
  PyErr_SetString(PyExc_RuntimeError, requested == Access::Exclusive
                                          ? "Already borrowed"
                                          : "Already mutably borrowed");
  return nullptr;
}

PyObject* panic(PyTypeObject*, std::string_view text) {
  PyObject* type = panic_type();
  if (type == nullptr) return nullptr;
  return raise_text(type, text);
}

}  // namespace

PyObject* raise_store_error(const StoreError& error) {
  return raise_text(exception_type(error.kind()), text_of(error));
}

PyObject* raise_panic(std::string_view text) { return panic(nullptr, text); }

const Failures kFailures = {refused, panic};

}  // namespace vornel::py
