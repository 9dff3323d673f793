// The one place where failures become Python exceptions, and the call wrapper
// that every method, constructor and slot runs inside.
#pragma once

#include <exception>
#include <new>
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

// Runs `body`, which returns a new reference or nullptr with an exception set.
// No C++ exception leaves: bad_alloc becomes MemoryError, anything else PanicException.
template <class F>
PyObject* guarded(F&& body) noexcept {
  try {
    return body();
  } catch (const NullResult&) {
    return raise_null_result();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return raise_panic(e.what());
  } catch (...) {
    return raise_panic("internal failure in native code");
  }
}

}  // namespace vornel::py
