#include "write/table_writer.hpp"

#include <algorithm>
#include <vector>

#include "util/crc32.hpp"
#include "util/large_buffer.hpp"
#include "util/open_table.hpp"

namespace vornel {
namespace {

using Slot = open_table::TaggedSlot<KeyTableGeometry::kPositionBits>;
using open_table::HomeOrder;

// An entry awaiting its slot.
struct Pending {
  uint64_t hash;
  uint64_t pos;
};

}  // namespace

Result<TableWritten> write_key_table(const IndexInput& index, uint64_t num_keys,
                                     uint64_t index_offset, const HashSeed& seed, int fd,
                                     uint64_t payload_at, uint64_t budget, PwriteFn pwrite_fn) {
  const KeyTableGeometry g = KeyTableGeometry::of(num_keys, index.size());
  const KeyHash hash{seed};
  const auto n = static_cast<size_t>(num_keys);

  // The ranks and the sample, from one pass that also counts the entries of each bucket.
  std::vector<size_t> in_bucket(HomeOrder::buckets_for(n), 0);
  // Both written front to back, each keeping its CRC.
  FileWriter ranks(fd, payload_at + g.ranks_at, size_t{1} << 20, pwrite_fn);
  FileWriter sample(fd, payload_at + g.sample_at, size_t{1} << 20, pwrite_fn);
  // Each key's hash, kept from this pass for the one that gathers the slots when the
  // budget holds them beside one gathering of every entry.
  const bool keep_hashes = budget / (sizeof(Pending) + sizeof(uint64_t)) >= n;
  std::vector<uint64_t> hashes(keep_hashes ? n : 0);
  Status written;
  uint64_t rank = 0;
  Status walked = index.each([&](Bytes key, uint64_t pos) {
    if (!written) return;
    uint8_t word[8];
    if (g.rank_width == 4) {
      store_be32(word, static_cast<uint32_t>(pos));
    } else {
      store_be64(word, pos);
    }
    written = ranks.append(word, g.rank_width);
    if (written && rank % KeyTableGeometry::kSampleStep == 0) {
      store_be64(word, key_head(key));
      written = sample.append(word, sizeof word);
    }
    const uint64_t h = hash(key.data(), key.size());
    if (keep_hashes) hashes[rank] = h;
    ++in_bucket[HomeOrder::bucket_of(h, n)];
    ++rank;
  });
  if (!walked) return fail(std::move(walked.error()));
  if (!written) return fail(std::move(written.error()));
  if (Status s = ranks.flush(); !s) return fail(std::move(s.error()));
  if (Status s = sample.flush(); !s) return fail(std::move(s.error()));

  // The slots, filled in bucket order and within a bucket in rank order, as HomeOrder
  // fills them: from as many passes as the budget needs, each gathering a run of buckets.
  LargeBuffer slot_words(static_cast<size_t>(g.slot_count) * sizeof(uint64_t));
  auto* const slots = slot_words.as<uint64_t>();
  const size_t most =
      keep_hashes ? n : std::max<size_t>(1, static_cast<size_t>(budget / sizeof(Pending)));
  std::vector<Pending> items;
  std::vector<size_t> next(in_bucket.size());
  for (size_t first = 0; first < in_bucket.size();) {
    size_t last = first;
    size_t count = 0;
    while (last < in_bucket.size() && (last == first || count + in_bucket[last] <= most)) {
      count += in_bucket[last++];
    }
    if (count == 0) {
      first = last;
      continue;
    }
    items.resize(count);
    for (size_t b = first, at = 0; b < last; ++b) {
      next[b] = at;
      at += in_bucket[b];
    }
    size_t at_rank = 0;
    Status gathered = index.each([&](Bytes key, uint64_t pos) {
      const uint64_t h = keep_hashes ? hashes[at_rank++] : hash(key.data(), key.size());
      const size_t b = HomeOrder::bucket_of(h, n);
      if (b >= first && b < last) items[next[b]++] = {h, pos};
    });
    if (!gathered) return fail(std::move(gathered.error()));
    for (const Pending& p : items) {
      const size_t i = open_table::place<Slot>(slots, static_cast<size_t>(g.slot_count), p.hash, p.pos);
      store_be64(reinterpret_cast<uint8_t*>(slots + i), slots[i]);
    }
    first = last;
  }
  items = {};
  hashes = {};
  const uint64_t slots_size = g.ranks_at;
  const uint32_t slots_crc = crc32(slot_words.data(), static_cast<size_t>(slots_size));
  if (Status s = pwrite_all(pwrite_fn, fd, slot_words.data(), static_cast<size_t>(slots_size), payload_at);
      !s) {
    return fail(std::move(s.error()));
  }
  slot_words = LargeBuffer();

  uint8_t trailer[KeyTableGeometry::kTrailerSize];
  encode_key_table_trailer(trailer, g, index_offset, seed);
  if (Status s = pwrite_all(pwrite_fn, fd, trailer, sizeof trailer, payload_at + g.trailer_at()); !s) {
    return fail(std::move(s.error()));
  }
  uint32_t crc = slots_crc;
  crc = crc32_combine(crc, ranks.crc(), g.sample_at - g.ranks_at);
  crc = crc32_combine(crc, sample.crc(), g.trailer_at() - g.sample_at);
  crc = crc32_extend(crc, trailer, sizeof trailer);
  return TableWritten{g.payload_length, crc};
}

}  // namespace vornel
