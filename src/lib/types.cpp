#include "types.hpp"

namespace vornel::py {

PyTypeObject* get_or_create_type(std::atomic<PyObject*>& slot, PyType_Spec* spec) {
  PyObject* type = slot.load(std::memory_order_acquire);
  if (type != nullptr) return reinterpret_cast<PyTypeObject*>(type);
  PyObject* created = PyType_FromSpec(spec);
  if (created == nullptr) return nullptr;
  PyObject* expected = nullptr;
  if (!slot.compare_exchange_strong(expected, created, std::memory_order_acq_rel)) {
    Py_DECREF(created);  // another thread published first; use that one
    return reinterpret_cast<PyTypeObject*>(expected);
  }
  return reinterpret_cast<PyTypeObject*>(created);
}

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
