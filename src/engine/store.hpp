// The package's reader as its methods and its cursors share it: the native state of an
// open store, and the reading of keys and values out of its mapping.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "codec/compression.hpp"
#include "instance.hpp"
#include "msgpack_decode.hpp"
#include "read/reader.hpp"
#include "read/store_codec.hpp"
#include "state.hpp"

namespace vornel::engine {

struct Store {
  std::unique_ptr<Reader> core;
  // The store's compression dictionary, digested once for every thread; null for a store
  // whose values are stored as they are.
  std::unique_ptr<ValueCodec> codec;
  // Why a store whose values may be compressed has no codec: its marked dictionary is
  // damaged, or its marks are. Its compressed values raise it; the rest read as usual.
  std::optional<StoreError> codec_fault;
  // The state of the module that made the reader, which its class keeps alive.
  const ModuleState* state = nullptr;
  PyObject* path = nullptr;         // the path as given (a str)
  std::string system_path;          // its bytes as the system takes them
  bool verify = true;               // as asked at open, for copies of the reader
  UnpackHooks hooks{nullptr, nullptr};  // strong references, or null

  Store() = default;
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
  ~Store() {
    Py_XDECREF(path);
    Py_XDECREF(hooks.ext_hook);
    Py_XDECREF(hooks.object_hook);
  }

  // What closing gives up once no call uses the reader: the mapping, the index and the
  // dictionary.
  void close() {
    core.reset();
    codec.reset();
  }
};

using ReaderInstance = py::Instance<Store>;

// What a reader opens without the interpreter: the core's reader over the mapping and, for
// a compressed store, its dictionary.
struct OpenedCore {
  std::unique_ptr<Reader> core;
  std::unique_ptr<ValueCodec> codec;
  std::optional<StoreError> codec_fault;
};
// Opens the store file at `path` (the system's bytes) as the package's reader does, with
// the whole-file check when `verify`. Touches no Python object.
Result<OpenedCore> open_core(std::string_view path, bool verify);

// A hook argument: null or None for none, else a callable, taken as a new reference into
// `out`. False with TypeError for anything else.
bool take_hook(PyObject* obj, const char* name, PyObject*& out);


// Values up to this size are copied out of the mapping onto the stack.
inline constexpr size_t kSmallValue = 512;

// Decodes `data`, a copy that the caller owns, of the value of `key` (a str or bytes, for
// the error of an undecodable value). A hook's exception passes unchanged.
PyObject* decode_copy(const ModuleState& state, const Store& store, Bytes data, PyObject* key);
// The same for a payload that lies in the mapping, copied out first.
PyObject* decode_payload(const ModuleState& state, const Store& store, Bytes payload,
                         PyObject* key);
// decode_copy for a value whose key is known only as bytes in the mapping, read while the
// reader is claimed: the key object is made only for the error of an undecodable value.
PyObject* decode_copy(const ModuleState& state, const Store& store, Bytes data,
                      Bytes mapped_key);

// A read-only memoryview of the data of the bytes value of `key` in the mapping of
// `reader` (whose native state is `store`), which keeps the mapping until it is released.
// KeyError for a missing key, TypeError for a value that is not bytes or is compressed.
PyObject* new_view(const ModuleState& state, PyObject* reader, const Store& store,
                   PyObject* key);

// The path the reader was opened with, as the system's bytes, for messages.
std::string_view path_of(const Store& store);

// What a cursor yields per entry.
enum class CursorMode : uint8_t { Keys, Values, Items };

// A new cursor over ranks [first, last) of the reader `reader`, in ascending order or,
// with `reverse`, descending.
PyObject* new_cursor(const ModuleState& state, PyObject* reader, size_t first, size_t last,
                     bool reverse, CursorMode mode);

// A lookup in `reader`, an instance of the module's Reader: the value of `key`, or
// `fallback` (borrowed) when the store does not hold it; with no fallback, KeyError.
PyObject* reader_value(PyObject* reader, PyObject* key, PyObject* fallback);
// Whether `reader` holds `key`: 1 or 0, -1 with the exception set.
int reader_contains(PyObject* reader, PyObject* key);

// What a merge of cursors asks of one cursor (an instance of the module's Cursor), besides
// its steps: the key of its next step copied to `out`, 1; 0 when it has no step left; -1
// with the exception set. The step stays to come.
int cursor_peek(PyObject* cursor, std::string& out);
// The number of steps left, or -1 with the exception set.
Py_ssize_t cursor_remaining(PyObject* cursor);

}  // namespace vornel::engine
