#include "write/index_layout.hpp"

#include <algorithm>
#include <cstring>

namespace vornel {
namespace {

// How far ahead the passes over scattered keys prefetch.
constexpr size_t kPrefetchDistance = 16;

static_assert(kMaxKeyLen <= UINT32_MAX && kMaxObjects <= UINT32_MAX);

constexpr uint32_t kWindow = 16;  // key bytes held in a SortedKey

// Loads the window of key bytes from `depth` on.
void load_window(SortedKey& e, uint32_t depth) {
  e.head = key_word(e.key_bytes(), depth);
  e.next = key_word(e.key_bytes(), depth + 8);
}

// Sorts [first, last) by key, given that their keys agree on their first `depth` bytes
// and that each entry's window holds its key's next 16 bytes. A multikey sort on
// 16-byte windows: entries compare by window, and by how many of those 16 bytes the key
// has; only entries equal in both, whose keys go on past the window, read their next
// one, so no comparison ever reads key bytes again.
void sort_from(SortedKey* first, SortedKey* last, uint32_t depth) {
  auto rest = [depth](const SortedKey& e) {
    return std::min<uint32_t>(e.key_len - depth, kWindow);
  };
  auto same = [&](const SortedKey& a, const SortedKey& b) {
    return a.head == b.head && a.next == b.next && rest(a) == rest(b);
  };
  std::sort(first, last, [&](const SortedKey& a, const SortedKey& b) {
    if (a.head != b.head) return a.head < b.head;
    if (a.next != b.next) return a.next < b.next;
    return rest(a) < rest(b);
  });
  for (SortedKey* run = first; run != last;) {
    SortedKey* end = run + 1;
    while (end != last && same(*end, *run)) ++end;
    // Distinct keys tie only while both go on past this window.
    if (end - run > 1) {
      const uint32_t next = depth + kWindow;
      for (SortedKey* e = run; e != end; ++e) load_window(*e, next);
      sort_from(run, end, next);
    }
    run = end;
  }
}

constexpr unsigned kGroupBits = 16;     // entries are grouped by their first two key bytes
constexpr size_t kGroupingMin = 1024;  // below this a plain sort is quicker

}  // namespace

// A counting pass distributes the keys by their first two bytes straight into place, then
// each group is sorted on its own: for most key sets the groups are small enough to sort
// within the cache, and a set sharing its first bytes degrades to one plain sort.
LargeBuffer sort_staged_keys(const std::vector<StagedKey>& keys) {
  LargeBuffer buffer(keys.size() * sizeof(SortedKey));
  SortedKey* const order = buffer.as<SortedKey>();
  auto entry = [](const StagedKey& key) {
    SortedKey e{0, 0, key.data, static_cast<uint32_t>(key.size),
                static_cast<uint32_t>(key.obj_id)};
    load_window(e, 0);
    return e;
  };
  if (keys.size() < kGroupingMin) {
    for (size_t i = 0; i < keys.size(); ++i) order[i] = entry(keys[i]);
    sort_from(order, order + keys.size(), 0);
    return buffer;
  }
  constexpr size_t kGroups = size_t{1} << kGroupBits;
  auto group_of = [](uint64_t head) { return head >> (64 - kGroupBits); };
  std::vector<size_t> start(kGroups + 1, 0);
  for (const StagedKey& key : keys) ++start[group_of(key_head(key.bytes())) + 1];
  for (size_t g = 0; g < kGroups; ++g) start[g + 1] += start[g];

  std::vector<size_t> next(start.begin(), start.end() - 1);
  for (const StagedKey& key : keys) {
    const SortedKey e = entry(key);
    order[next[group_of(e.head)]++] = e;
  }
  for (size_t g = 0; g < kGroups; ++g) sort_from(order + start[g], order + start[g + 1], 0);
  return buffer;
}

namespace {

// The index section from the n entries in key order at `order`, `size` bytes in all.
LargeBuffer place_entries(const SortedKey* order, size_t n,
                          const std::vector<uint64_t>& record_starts, uint64_t size) {
  LargeBuffer index(size);
  uint8_t* out = index.data();
  for (size_t i = 0; i < n; ++i) {
    if (i + kPrefetchDistance < n) {
      const SortedKey& ahead = order[i + kPrefetchDistance];
      __builtin_prefetch(ahead.key);
      __builtin_prefetch(&record_starts[ahead.value]);
    }
    const SortedKey& e = order[i];
    out = IndexEntry{e.key_bytes(), kDataOffset + record_starts[e.value]}.encode_to(out);
  }
  return index;
}

}  // namespace

LargeBuffer lay_out_index(const std::vector<StagedKey>& keys,
                          const std::vector<uint64_t>& record_starts, LargeBuffer* spare) {
  uint64_t size = 0;
  for (const StagedKey& key : keys) size += kIndexEntryMin + key.size;
  // The keys are sorted by reference, never copied.
  LargeBuffer order = sort_staged_keys(keys);
  LargeBuffer index = place_entries(order.as<SortedKey>(), keys.size(), record_starts, size);
  if (spare != nullptr) *spare = std::move(order);
  return index;
}

}  // namespace vornel
