// How a build reports its progress, and hears that it should stop: below every unit that
// does part of a build (the value codec, the writers, publication).
#pragma once

#include <cstdint>
#include <functional>

namespace vornel {

// The phases of a build, as its progress callback hears of them. A plain build sorts,
// writes and syncs; Compress comes first, and only in a build that compresses its values.
// A build of sorted sources (store_builder.hpp) sorts what it holds in memory, merges
// (done and total count entries), writes the key table and index section (bytes) and
// syncs. Rename comes once the file is on disk, just before the rename: the last moment
// at which a cancel leaves the target as it was.
enum class BuildPhase : uint8_t { Compress, Sort, Write, Fsync, Rename, Merge };

// Told of a build's progress: as each phase starts, and within Write every
// kProgressStep bytes (done and total count bytes of the file). Returning false cancels
// the build, which then fails with ErrorKind::Cancelled.
using BuildProgress = std::function<bool(BuildPhase phase, uint64_t done, uint64_t total)>;

}  // namespace vornel
