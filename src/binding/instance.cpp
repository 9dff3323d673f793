#include "instance.hpp"

namespace vornel::py {

PyObject* allocate_instance(PyTypeObject* type) {
  PyRef no_args = PyRef::steal(PyTuple_New(0));
  if (!no_args) return nullptr;
  return PyBaseObject_Type.tp_new(type, no_args.get(), nullptr);
}

void free_instance(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  tp_free(self);
  Py_DECREF(type);  // instances of heap types hold a reference to their type
}

}  // namespace vornel::py
