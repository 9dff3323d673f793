// The staging path of the vornel package: one call per key, with dedup by digest.
#pragma once

#include "digest_table.hpp"
#include "writer_handle.hpp"

namespace vornel::native {

// The class DigestTable, held by the module state.
PyTypeObject* digest_table_class(PyObject* module);
extern PyType_Spec digest_table_spec;

// stage(writer, table, key, data, digest, /) -> int: binds `key` (str or bytes) to the
// object holding `data`. With a DigestTable, `data` whose `digest` was staged before
// reuses that object; with an ObjectTable (digest ignored), equal `data` staged before
// does; with None every call stages a new one. Returns the object ID.
// A failing call stages nothing.
PyObject* stage(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vornel::native
