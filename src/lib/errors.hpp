// Failures of every kind become _vornel's Python exceptions here and nowhere else:
// store errors as the built-in classes their kinds map to, refused claims as
// RuntimeError, internal failures as PanicException.
#pragma once

#include <string_view>

#include "failure.hpp"
#include "pyref.hpp"
#include "util/store_error.hpp"

namespace vornel::py {

// Each sets the pending exception and returns nullptr for the caller to return.
PyObject* raise_store_error(const StoreError& error);
PyObject* raise_panic(std::string_view text);

// How the call wrapper raises _vornel's failures.
extern const Failures kFailures;

}  // namespace vornel::py
