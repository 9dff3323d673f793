// Failures become the package's exceptions (vornel.errors) here and nowhere else.
#pragma once

#include <string_view>

#include "failure.hpp"
#include "format/format.hpp"
#include "msgpack_decode.hpp"
#include "state.hpp"
#include "util/store_error.hpp"

namespace vornel::engine {

// How the call wrapper raises the engine's failures: a refused claim on a writer is a
// WriterBusyError, on a closed reader ValueError "I/O operation on closed store"; an
// internal failure is vornel.errors.PanicException.
extern const py::Failures kFailures;
// The same for a cursor, which one call at a time steps: a refused claim is a
// RuntimeError "the cursor is in use by another call: ...".
extern const py::Failures kCursorFailures;

inline constexpr char kClosedText[] = "I/O operation on closed store";

// Raises `error`, from an operation on the store file at `path`, as the package's
// exception: a system call's failure as the VornIOError subclass of its errno with
// `filename` set to `path`; a file that is no store as VornCorruptError "{path} is not
// a vornel store"; damage as VornCorruptError naming the path; a broken limit as
// VornLimitError. A cancelled build raises the exception that cancelled it. Returns
// nullptr.
PyObject* raise_store_error(const ModuleState& state, const StoreError& error,
                            std::string_view path);

// raise_store_error for a failure to read the value of `key` (a str or bytes object): a
// record that fails its checksum raises VornCorruptError naming the key.
PyObject* raise_value_error(const ModuleState& state, const StoreError& error,
                            std::string_view path, PyObject* key);

// Raises the decode error of `why`, about `data`, with the str `message` as its text:
// VornFormatError, VornStackError, VornExtraDataError (with `unpacked` and `extra`) or
// VornUnicodeDecodeError (with the str's bytes and the offsets in them) where msgpack
// raises its own class of that name, VornUnhashableKeyError (a TypeError) where it raises
// TypeError, else VornDecodeError. Returns nullptr.
PyObject* raise_decode_error(const ModuleState& state, const Malformed& why, PyObject* message,
                             Bytes data);

using py::raise_text;

}  // namespace vornel::engine
