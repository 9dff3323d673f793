// Which shard of a sharded set holds a key: the one rule, for the set's lookups here and
// for the package's builds, which take it through _engine.shard_of.
#pragma once

#include <cstddef>

#include "util/key_bytes.hpp"
#include "util/crc32.hpp"

namespace vornel::engine {

// The shard among `count` (at least 1) of the key stored as `key`: the standard CRC-32
// of those bytes, as an unsigned 32-bit number, modulo `count`.
inline size_t shard_of(Bytes key, size_t count) { return crc32(key.data(), key.size()) % count; }

}  // namespace vornel::engine
