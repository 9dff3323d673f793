// Access to a _VornWriter instance from the package's own native module.
//
// The writer class belongs to _vornel. This module is built from the same sources in the
// same build, so it shares the instance layout (Instance<Writer>) and the access rules
// (AccessCounter, Claim) with it, and uses nothing else of _vornel's internals.
#pragma once

#include "errors.hpp"
#include "instance.hpp"
#include "writer.hpp"

namespace vornel::native {

using WriterInstance = py::Instance<Writer>;

// The _VornWriter class, held by the module state; set once at module execution.
PyTypeObject* writer_class(PyObject* module);

// Runs body(writer) with access A to the writer behind `obj`, turning store errors,
// access conflicts and C++ exceptions into Python exceptions as _vornel does. `obj`
// must be exactly a _VornWriter (the class cannot be subclassed).
template <py::Access A, class Body>
PyObject* with_writer(PyObject* module, PyObject* obj, Body&& body) {
  return py::guarded([&]() -> PyObject* {
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
