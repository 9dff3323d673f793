// The layout of every instance of both modules' classes: the access word and an owned
// native state, and the claims that calls take on it.
#pragma once

#include <memory>
#include <new>

#include "access.hpp"
#include "pyref.hpp"

namespace vornel::py {

template <class Native>
struct Instance {
  PyObject_HEAD
  AccessCounter access;
  Native* native;  // owned; lives until the instance is deallocated
};

// Allocates an instance the way object.__new__(type) does, with no arguments.
PyObject* allocate_instance(PyTypeObject* type);
// Frees the object and drops the reference that an instance of a heap type holds on it.
void free_instance(PyObject* self);

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

// What a closed instance gives up once no call uses it any more: `native->close()`
// where the native state has one (a reader's mapping), so that what the object still
// answers after closing (its path, its repr) stays readable.
template <class Native>
void release_native(Instance<Native>* inst) {
  if constexpr (requires(Native& n) { n.close(); }) inst->native->close();
}

// Releases the native state first, then the object and its type reference. A class
// whose instances take part in garbage collection untracks them first.
template <class Native>
void dealloc_instance(PyObject* self) {
  auto* inst = reinterpret_cast<Instance<Native>*>(self);
  if (PyType_HasFeature(Py_TYPE(self), Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
  delete inst->native;
  inst->native = nullptr;
  inst->access.~AccessCounter();
  free_instance(self);
}

// Refuses every later claim on the instance; release_native runs as soon as no call
// uses it any more, now or when the last such call ends.
template <class Native>
void close_instance(Instance<Native>* inst) {
  if (inst->access.close()) release_native(inst);
}

// Claims access A to an instance for the lifetime of the object; ok() tells whether it
// was granted, refusal() why not.
template <Access A, class Native>
class Claim {
 public:
  explicit Claim(Instance<Native>& inst) : inst_(inst), ok_(acquire()) {}
  ~Claim() {
    if (!ok_) return;
    if constexpr (A == Access::Shared) {
      if (inst_.access.release_shared()) release_native(&inst_);
    } else if constexpr (A == Access::Exclusive) {
      if (inst_.access.release_exclusive()) release_native(&inst_);
    }
  }
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;
  bool ok() const { return ok_; }
  Refusal refusal() const { return why_; }

 private:
  bool acquire() {
    if constexpr (A == Access::None) return true;
    if constexpr (A == Access::Read) return inst_.access.shared_available(why_);
    if constexpr (A == Access::Shared) return inst_.access.try_shared(why_);
    if constexpr (A == Access::Exclusive) return inst_.access.try_exclusive(why_);
    return false;
  }

  Instance<Native>& inst_;
  Refusal why_ = Refusal::Conflict;
  bool ok_;
};

}  // namespace vornel::py
