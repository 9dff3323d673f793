// The layout shared by both classes' instances: the access counter and an owned
// native state (a Writer or a Reader).
#pragma once

#include <memory>
#include <new>

#include "access.hpp"
#include "convert.hpp"
#include "types.hpp"

namespace vornel::py {

template <class Native>
struct Instance {
  PyObject_HEAD
  AccessCounter access;
  Native* native;
};

// Moves `state` into a new instance of `type`.
template <class Native>
PyObject* new_instance(PyTypeObject* type, std::unique_ptr<Native> state) {
  PyObject* obj = allocate_instance(type);
  if (obj == nullptr) return nullptr;
  auto* inst = reinterpret_cast<Instance<Native>*>(obj);
  new (&inst->access) AccessCounter();
  inst->native = state.release();
  return obj;
}

// Releases the native state first, then the object and its type reference.
template <class Native>
void dealloc_instance(PyObject* self) {
  auto* inst = reinterpret_cast<Instance<Native>*>(self);
  delete inst->native;
  inst->native = nullptr;
  inst->access.~AccessCounter();
  free_instance(self);
}

// `self` as an instance of `type` (or a subtype); otherwise TypeError, unwrapped.
template <class Native>
Instance<Native>* instance_of(PyObject* self, PyTypeObject* type, const char* class_name) {
  if (type == nullptr) return nullptr;
  if (!PyObject_TypeCheck(self, type)) {
    set_type_mismatch(self, class_name);
    return nullptr;
  }
  return reinterpret_cast<Instance<Native>*>(self);
}

}  // namespace vornel::py
