// Keys as the package takes and gives them: a str (stored as UTF-8) or bytes, nothing
// else; given back as str where the stored bytes are valid UTF-8, else as bytes. And the
// other name the engine takes, a store's path.
#pragma once

#include <string_view>

#include "conversion.hpp"
#include "pyref.hpp"
#include "format/format.hpp"
#include "state.hpp"

namespace vornel::engine {

// The bytes of `key` for staging, borrowed as view_key borrows them. False with the
// package's error set: TypeError for a non-key, ValueError for a str with a lone
// surrogate, VornLimitError for a key longer than the format allows.
bool stage_key(const ModuleState& state, PyObject* key, Bytes& out);

// The key as a caller looks it up again. `key` must lie in memory the caller owns (a
// copy out of the mapping): the bytes are read unguarded.
PyObject* key_object(Bytes key);

// A path argument (str, bytes or os.PathLike) as the bytes the system takes, through
// PyUnicode_FSConverter, so that any name the system accepts opens: a str is encoded as
// os.fsencode() would. `holder` keeps the bytes for the call. False with TypeError for
// anything else, ValueError for a NUL inside.
bool path_arg(PyObject* obj, py::PyRef& holder, std::string_view& out);

}  // namespace vornel::engine
