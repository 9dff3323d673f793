// The package's writer: entries staged in memory up to a limit, then written out as a
// sorted run and staging goes on; stores and runs included whole; a build merges them
// all into one store, each record once, in key order.
//
// Every source is a sorted source (sorted_source.hpp), ordered by age: runs and included
// stores in the order they came, the entries still in memory newest. Of several entries
// of one key the newest wins (or the oldest, or the merge fails, as the policy says), a
// deletion hiding every older one.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "write/publish.hpp"
#include "write/run_file.hpp"
#include "write/merging_source.hpp"
#include "write/sorted_source.hpp"
#include "write/staging.hpp"
#include "write/store_sink.hpp"
#include "write/store_source.hpp"
#include "write/writer.hpp"

namespace vornel {

struct StoreBuilderOptions {
  bool dedup = true;
  // Bytes of memory that staging and a build may hold, about.
  uint64_t memory_limit = ~uint64_t{0};
  // Where runs go, unnamed (they vanish with the builder, or the process).
  std::string run_dir = ".";
  DuplicatePolicy policy = DuplicatePolicy::Last;
  // Compress the values with a dictionary trained on a sample of them (compression.hpp).
  CompressionOptions compression;
};

// What a failure was about, beside its error: the file (a source's path; empty for the
// target), and the key, when a duplicate failed a merge under policy Error.
struct FailureDetail {
  std::string path;
  std::optional<std::string> duplicate_key;
};

struct MergeOptions {
  bool key_table = true;
  // Told of Compress (entries, when the values are compressed), Sort and Merge (entries),
  // Write (bytes) and Fsync; returning false cancels.
  BuildProgress progress;
};

class StoreBuilder {
 public:
  explicit StoreBuilder(StoreBuilderOptions options);
  StoreBuilder(const StoreBuilder&) = delete;
  StoreBuilder& operator=(const StoreBuilder&) = delete;

  // Whether runs can be made in the run directory: one is created there and dropped, so
  // that a directory that cannot take them fails now rather than at the first run.
  [[nodiscard]] Status check_run_dir() const;

  // ---- Staging. Each call first writes a run when memory is over the limit, so that a
  // call that fails for it stages nothing.

  uint64_t key_hash(Bytes key) const { return buffer_->key_hash(key); }
  uint64_t value_hash(Bytes value) const { return buffer_->value_hash(value); }
  void prefetch(uint64_t key_hash, uint64_t value_hash) const {
    buffer_->prefetch_key(key_hash);
    buffer_->prefetch_value(value_hash);
  }

  // What staging did with a key.
  enum class Staged : uint8_t { Bound, KeptFirst, Duplicate };
  // Under policy Error, the filter of the runs' keys, to fetch ahead as prefetch() does.
  void prefetch_runs(uint64_t key_hash) const {
    for (const auto& f : spilled_keys_) f->prefetch(spilled_hash(key_hash));
  }
  // Writes a run if memory is over the limit; call before staging a pair or a batch.
  [[nodiscard]] Status make_room();
  // Binds `key` to the object holding `value` (hashes as key_hash() and value_hash()
  // give), as the policy says of a key staged before; *obj_id gets the object's number.
  // The key is within the limit. A duplicate under policy Error stages nothing; it is
  // found in memory, or in the runs written so far, the same at any memory limit (a read
  // of a run failing is the error).
  [[nodiscard]] Result<Staged> stage(Bytes key, uint64_t key_hash, Bytes value,
                                     uint64_t value_hash, uint64_t* obj_id);
  // Binds every key to one object holding `value`, or none of them when one is a
  // duplicate under policy Error (its index then in *duplicate).
  [[nodiscard]] Result<Staged> stage_many(const std::vector<Bytes>& keys, Bytes value,
                                          uint64_t* obj_id, size_t* duplicate);
  // Unstages `key`. With `must_hold`, a key that is not staged is reported (false) and
  // nothing changes.
  [[nodiscard]] Result<bool> remove(Bytes key, bool must_hold);
  // Adds the store or run at `path` as the newest source.
  [[nodiscard]] Status include(const std::string& path, FailureDetail* detail);

  // ---- Questions.

  [[nodiscard]] Result<bool> contains(Bytes key, FailureDetail* detail) const;
  // Distinct keys staged. With runs or included stores, a merge counts them (kept until
  // the next change).
  [[nodiscard]] Result<uint64_t> size(FailureDetail* detail) const;
  // Objects numbered so far: every value staged under a new number (without dedup, or
  // with dedup since the last run), not what a build writes.
  uint64_t objects_numbered() const { return numbered_before_ + buffer_->num_objects(); }
  size_t runs() const { return runs_written_; }
  std::optional<std::pair<uint64_t, uint64_t>> dedup_table() const { return buffer_->dedup_table(); }

  // ---- Building. Both read the staged state only, and may run side by side.

  // Whether memory in use calls for a run before a build merges: with other sources to
  // merge, the staged entries go to a run, so that the merge's memory is its own.
  bool run_before_build() const { return !sources_.empty() && !buffer_->empty(); }
  // Writes a run of what memory holds now (nothing when it holds nothing).
  [[nodiscard]] Status write_buffer_run();
  // Publishes the store of everything staged at `path`.
  [[nodiscard]] Result<BuildReport> build(std::string_view path, const MergeOptions& options,
                                          FailureDetail* detail) const;
  // Publishes everything staged as one run file at `path` (temporary file, fsync, rename);
  // returns its entries.
  [[nodiscard]] Result<uint64_t> write_run_file(std::string_view path, FailureDetail* detail) const;

 private:
  // A source, as one walk of it opens it.
  struct Source {
    std::shared_ptr<const StoreFile> store;  // or
    std::shared_ptr<RunFile> run;
  };
  using Walk = std::vector<std::unique_ptr<SortedSource>>;
  // Opens a walk of every source, the staged memory last when it holds anything; runs
  // beyond the merge's fan-in merged first (`progress` hears of each merge, as Sort).
  [[nodiscard]] Status open_walk(Walk& walk, FailureDetail* detail,
                                 const BuildProgress& progress = {}) const;
  // One pass over `sources`: each stretch of runs side by side, up to `fan_in` of them,
  // merged into one run. False when no two runs lay side by side.
  [[nodiscard]] Result<bool> merge_pass(std::vector<Source>& sources, size_t fan_in,
                                        FailureDetail* detail, const BuildProgress& progress) const;
  // The compressor of a build that compresses: its dictionary trained on a sample of the
  // values that the build writes, read in one walk of every source (the Compress phase).
  [[nodiscard]] Result<std::unique_ptr<ValueCompressor>> train_compressor(
      const MergeOptions& options, FailureDetail* detail) const;
  // A walk's failure, with what it was about in *detail.
  [[nodiscard]] static StoreError blame(const MergingSource& merge, StoreError e,
                                        FailureDetail* detail);
  // Under policy Error, whether a run this writer wrote holds `key` bound to a value: the
  // newest run that holds the key says. Runs whose filter rules the key out are not read.
  [[nodiscard]] Result<bool> spilled_duplicate(Bytes key, uint64_t key_hash) const;
  // The filter of the keys of the run about to be written from memory, within the
  // filters' share of the limit; null past it.
  std::shared_ptr<const HashFilter> filter_staged_keys();
  void changed() {
    std::lock_guard lock(size_mutex_);
    size_cache_.reset();
  }

  StoreBuilderOptions options_;
  std::unique_ptr<StagingBuffer> buffer_;
  std::vector<Source> sources_;  // oldest first
  uint64_t numbered_before_ = 0;
  size_t runs_written_ = 0;
  // Under policy Error, the keys of every run written, in filters each twice the one
  // before: a few questions answer most adds, and each run's own filter then finds the
  // runs that may hold a key. Their hashes are the keys' remixed, so that their mistakes
  // are not the runs' filters' too.
  static uint64_t spilled_hash(uint64_t key_hash) {
    return (key_hash ^ (key_hash >> 31)) * 0x9E3779B97F4A7C15;
  }
  std::vector<std::unique_ptr<HashFilter>> spilled_keys_;
  uint64_t spilled_capacity_ = 0;  // of the last of them
  uint64_t spilled_room_ = 0;      // keys it takes before the next one is made
  uint64_t spilled_bytes_ = 0;
  uint64_t filter_bytes_ = 0;  // of every filter of keys
  mutable std::mutex size_mutex_;
  mutable std::optional<uint64_t> size_cache_;
};

}  // namespace vornel
