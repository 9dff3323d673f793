// The ObjectTable class: a writer's dedup table, bound to that writer for life, since
// its entries are confirmed against the bytes the writer holds.
#pragma once

#include "object_table.hpp"
#include "writer_handle.hpp"

namespace vornel::native {

struct ObjectTableInstance {
  PyObject_HEAD
  py::AccessCounter access;
  ObjectTable* native;
  PyObject* writer;  // strong reference to the _VornWriter it serves
};

extern PyType_Spec object_table_spec;
// The class ObjectTable, held by the module state.
PyTypeObject* object_table_class(PyObject* module);

// Whether `obj` is an ObjectTable; sets nothing.
inline bool is_object_table(PyObject* module, PyObject* obj) {
  PyTypeObject* type = object_table_class(module);
  if (type == nullptr) {
    PyErr_Clear();
    return false;
  }
  return Py_TYPE(obj) == type;
}

// Runs body(table) with access A to the ObjectTable `obj`, which must serve `writer`.
// The caller holds its own claim on the writer.
template <py::Access A, class Body>
PyObject* with_object_table(PyObject* module, PyObject* obj, PyObject* writer, Body&& body) {
  if (!is_object_table(module, obj)) {
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of 'ObjectTable'",
                 Py_TYPE(obj)->tp_name);
    return nullptr;
  }
  auto* inst = reinterpret_cast<ObjectTableInstance*>(obj);
  if (inst->writer != writer) {
    PyErr_SetString(PyExc_ValueError, "the ObjectTable belongs to another writer");
    return nullptr;
  }
  py::Claim<A> claim(inst->access);
  if (!py::claim_or_raise(claim)) return nullptr;
  return body(*inst->native);
}

}  // namespace vornel::native
