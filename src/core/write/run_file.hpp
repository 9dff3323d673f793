// Sorted runs: entries in key order streamed to a file, each key with its record inline
// where the record first appears, so that the file reads front to back in one pass.
//
//   header   "VRNLRUN" 0, u32 version (1), u32 reserved zero
//   entries  u8 flags: bits 0-1 the kind (0 a record follows, 1 the record of an earlier
//              entry, 2 the key was unstaged), bit 2 `replaces`, the rest zero
//            u16 key length K, K key bytes
//            kind 0: u64 uses left (later entries naming the record), u32 length L,
//                    u32 CRC-32 of the payload, L payload bytes
//            kind 1: u64 where the earlier entry's record starts (its uses-left field)
//   trailer  "VRNLRUNT", u64 entries, u64 records, u64 where the trailer starts,
//            u32 CRC-32 of every byte before the trailer, u32 CRC-32 of the trailer's
//            first 36 bytes
//
// Integers are big-endian. A reader checks the trailer first, each key against the one
// before as it goes, and the whole file against the trailer's CRC at the end, taken as
// it reads: a run cut short or damaged is found before anything it fed is published.
// A record read again where it lies is checked against its own CRC.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "write/hash_filter.hpp"
#include "write/record_sharing.hpp"
#include "write/sorted_source.hpp"
#include "util/file.hpp"
#include "util/file_stream.hpp"
#include "util/sparse_index.hpp"

namespace vornel {

inline constexpr uint8_t kRunMagic[8] = {'V', 'R', 'N', 'L', 'R', 'U', 'N', 0};
inline constexpr uint32_t kRunVersion = 1;
inline constexpr uint64_t kRunHeaderSize = 16;
inline constexpr uint64_t kRunTrailerSize = 40;

// A finished run: the file, what its entries are, and what finding a key in it takes.
struct RunFile {
  std::shared_ptr<FileDescriptor> fd;
  std::string name;
  uint64_t entries = 0;
  uint64_t trailer_at = 0;
  SparseIndex sparse;
  // The hashes of its payloads, for a run this process wrote; null for a run included.
  std::shared_ptr<const PayloadFilter> payloads;
  // Whether this writer spilled it, and then, under policy Error, a filter of its keys'
  // hashes (null past the filters' share of memory: every key is then looked up).
  bool spilled = false;
  std::shared_ptr<const HashFilter> keys;
};

// How a run holds a key, found by lookup().
enum class RunHolds : uint8_t { No, Value, ReplacingValue, Deleted };

// Writes every entry of `source` to `fd`, an empty file, as a run, keeping records that
// the source shares shared (within `sharing_budget` bytes). Deleted entries and
// `replaces` go into the run as they are. Write failures are OS errors.
[[nodiscard]] Result<RunFile> write_run(SortedSource& source, std::shared_ptr<FileDescriptor> fd,
                                        std::string name, uint64_t sharing_budget,
                                        PwriteFn pwrite_fn = ::pwrite);

// How `run` holds `key`: one block of it read.
[[nodiscard]] Result<RunHolds> lookup(const RunFile& run, Bytes key);

// A run file read front to back, checked as it is read.
class RunSource final : public SortedSource {
 public:
  // Checks the header and the trailer of the run in `fd`, which it reads through a
  // buffer of `buffer_size` bytes. A file that is no run is a VornCorruptError.
  [[nodiscard]] static Result<std::unique_ptr<RunSource>> open(std::shared_ptr<FileDescriptor> fd,
                                                               std::string name,
                                                               size_t buffer_size = kDefaultBuffer);
  static constexpr size_t kDefaultBuffer = size_t{256} << 10;

  [[nodiscard]] Status next() override;
  bool valid() const override { return valid_; }
  const Entry& entry() const override { return entry_; }
  [[nodiscard]] Result<RecordBytes> record() override;
  uint64_t size() const override { return entries_; }
  const std::string& name() const override { return name_; }

  // Where the current entry starts, and where the entries end.
  uint64_t entry_position() const { return entry_at_; }
  uint64_t trailer_at() const { return trailer_at_; }

 private:
  RunSource() = default;
  [[nodiscard]] Status read_entry();
  [[nodiscard]] Status finish();

  struct Shared {
    uint64_t uses;
    uint32_t length;
    uint32_t crc;
  };

  std::shared_ptr<FileDescriptor> fd_;
  std::string name_;
  uint64_t entries_ = 0;
  uint64_t records_ = 0;
  uint64_t trailer_at_ = 0;
  uint32_t body_crc_ = 0;
  FileReader in_;
  uint32_t header_crc_ = 0;
  uint64_t seen_entries_ = 0;
  uint64_t entry_at_ = 0;
  uint64_t seen_records_ = 0;
  bool valid_ = false;
  Entry entry_;
  std::vector<uint8_t> key_, previous_key_;
  RecordBytes record_;
  bool record_here_ = false;  // the payload was read with the entry
  uint64_t record_length_ = 0;
  std::vector<uint8_t> large_;  // payloads larger than the read buffer
  std::unordered_map<uint64_t, Shared> shared_;  // records with uses left, by position
};

}  // namespace vornel
