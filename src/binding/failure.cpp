#include "failure.hpp"

#include <exception>
#include <new>

namespace vornel::py {

PyObject* raise_caught(const Failures& failures, PyTypeObject* type) noexcept {
  try {
    throw;
  } catch (const NullResult&) {
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    return failures.panic(type, "PyObject pointer is null");
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    return failures.panic(type, e.what());
  } catch (...) {
    return failures.panic(type, "internal failure in native code");
  }
}

}  // namespace vornel::py
