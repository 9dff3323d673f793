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

}  // namespace vornel::py
