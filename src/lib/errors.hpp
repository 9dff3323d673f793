// Failures of every kind become Python exceptions here and nowhere else.
#pragma once

#include <string_view>

#include "access.hpp"
#include "pyref.hpp"
#include "store_error.hpp"

namespace vornel::py {

// Thrown inside the binding when the interpreter fails to create a result object;
// the call wrapper turns it into an internal failure.
struct NullResult {};

inline PyObject* checked(PyObject* o) {
  if (o == nullptr) throw NullResult{};
  return o;
}

// Each sets the pending exception and returns nullptr for the caller to return.
PyObject* raise_store_error(const StoreError& error);
PyObject* raise_access_conflict(Access requested);
PyObject* raise_panic(std::string_view text);
PyObject* raise_null_result();

// Takes the claim or raises the conflict; false means the call must end.
template <Access A>
bool claim_or_raise(const Claim<A>& claim) {
  if (claim.ok()) return true;
  raise_access_conflict(A);
  return false;
}

// Call only inside a catch block: raises the C++ exception being handled as a Python
// one. bad_alloc becomes MemoryError; NullResult and anything else PanicException.
PyObject* raise_caught() noexcept;

}  // namespace vornel::py
