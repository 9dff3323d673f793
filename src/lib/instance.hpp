// The layout shared by both classes' instances: the access counter and an owned
// native state (a Writer or a Reader).
#pragma once

#include <memory>
#include <new>

#include "access.hpp"
#include "binder.hpp"
#include "convert.hpp"
#include "errors.hpp"
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

// A method of any calling convention as a method-table entry.
template <class F>
PyCFunction method(F f) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(f));
}

inline constexpr int kFastKw = METH_FASTCALL | METH_KEYWORDS;

// The steps every method shares, in their order: bind the arguments (when the method
// has a signature), check `self` against the class, claim access of kind A, then run
// body(native, bound arguments), which converts its arguments and does the work.
template <class Native, Access A, class Body>
PyObject* call_method(const Signature* sig, PyObject* self, PyTypeObject* (*type)(),
                      const char* class_name, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames, Body&& body) {
  return guarded([&]() -> PyObject* {
    BoundArgs bound;
    if (sig != nullptr && !bind(*sig, args, nargs, kwnames, bound)) return nullptr;
    Instance<Native>* inst = instance_of<Native>(self, type(), class_name);
    if (inst == nullptr) return nullptr;
    Claim<A> claim(inst->access);
    if (!claim_or_raise(claim)) return nullptr;
    return body(*inst->native, bound);
  });
}

}  // namespace vornel::py
