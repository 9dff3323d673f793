// The bulk staging path of the vornel package: many pairs per native call.
#pragma once

#include "writer_handle.hpp"

namespace vornel::native {

// stage_pairs(writer, table, pairs, pack, /) -> tuple | None: stages the (key, value)
// pairs that the iterator `pairs` yields, each value encoded as `pack` (a
// msgpack.Packer's pack) would encode it; `table` is the writer's ObjectTable, or None
// for no dedup. Stops at the first item it cannot stage by itself (not a 2-tuple, a key
// that is not str or bytes or too long, a value the packer rejects) and returns it,
// with every item before it staged; returns None once the iterator is exhausted.
PyObject* stage_pairs(PyObject* module, PyObject* const* args, Py_ssize_t nargs);

}  // namespace vornel::native
