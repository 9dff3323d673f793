// Access to a _VornWriter instance from the package's own native module.
//
// The writer class belongs to _vornel. This module is built from the same sources in the
// same build, so it shares the instance layout (Instance<Writer>), the access rules
// (AccessCounter, Claim) and the raising of failures (errors.hpp) with it, and uses
// nothing else of _vornel's internals.
#pragma once

#include <exception>
#include <new>

#include "errors.hpp"
#include "instance.hpp"
#include "writer.hpp"

namespace vornel::native {

using WriterInstance = py::Instance<Writer>;

// Runs `body`, which returns a new reference or nullptr with an exception set. No C++
// exception leaves: bad_alloc becomes MemoryError, anything else an internal failure.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const py::NullResult&) {
    return py::raise_null_result();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return py::raise_panic(e.what());
  } catch (...) {
    return py::raise_panic("internal failure in native code");
  }
}

// A function of any calling convention as a method-table entry.
template <class F>
PyCFunction as_method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

// The _VornWriter class, held by the module state; set once at module execution.
PyTypeObject* writer_class(PyObject* module);

// Runs body(writer) with access A to the writer behind `obj`, turning store errors,
// access conflicts and C++ exceptions into Python exceptions as _vornel does. `obj`
// must be exactly a _VornWriter (the class cannot be subclassed).
template <py::Access A, class Body>
PyObject* with_writer(PyObject* module, PyObject* obj, Body&& body) {
  return guarded([&]() -> PyObject* {
    PyTypeObject* type = writer_class(module);
    if (type == nullptr) return nullptr;
    if (Py_TYPE(obj) != type) {
      PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '_VornWriter'",
                   Py_TYPE(obj)->tp_name);
      return nullptr;
    }
    auto* inst = reinterpret_cast<WriterInstance*>(obj);
    py::Claim<A> claim(inst->access);
    if (!py::claim_or_raise(claim)) return nullptr;
    return body(*inst->native);
  });
}

}  // namespace vornel::native
