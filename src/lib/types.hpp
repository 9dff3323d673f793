// The class objects. They belong to the process, not to a module object, so that a
// re-import hands out the same classes; whoever needs one first creates it.
#pragma once

#include <atomic>

#include "pyref.hpp"

namespace vornel::py {

// Borrowed references to the process-wide class objects; nullptr with an exception
// set when creation fails.
PyTypeObject* writer_type();
PyTypeObject* reader_type();

// Creates the type from `spec` unless `slot` already holds one; exactly one type is
// ever published, also when several threads race here.
PyTypeObject* get_or_create_type(std::atomic<PyObject*>& slot, PyType_Spec* spec);

}  // namespace vornel::py
