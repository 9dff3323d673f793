// A merge of sorted sources, itself a sorted source: one entry per key that any child
// holds, the entries of one key resolved by the children's age and a duplicate policy.
// It knows nothing of where its children come from.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "write/sorted_source.hpp"

namespace vornel {

class MergingSource final : public SortedSource {
 public:
  // Children oldest first; the merge does not own them. Of several entries of one key,
  // a deletion hides the older ones, and of the values left, `policy` keeps the newest,
  // the oldest, or fails the merge. Deletions themselves never come out: the merge is
  // the whole of what its children say. With `keep_deletions`, the merge stands for its
  // children among older sources instead: a key that its children delete comes out
  // deleted, and a value that hides older entries comes out with `replaces`. At most
  // kMaxChildren children.
  MergingSource(std::vector<SortedSource*> children, DuplicatePolicy policy,
                bool keep_deletions = false);

  static constexpr size_t kMaxChildren = size_t{1} << 16;

  [[nodiscard]] Status next() override;
  bool valid() const override { return current_ != kNone; }
  // The winning entry, its record renamed to be unique across the children.
  const Entry& entry() const override { return entry_; }
  [[nodiscard]] Result<RecordBytes> record() override;
  [[nodiscard]] Result<std::optional<RecordSpan>> span() override;
  uint64_t size() const override { return size_; }
  const std::string& name() const override { return name_; }

  // Entries taken from the children so far, for progress: size() at the end.
  uint64_t consumed() const { return consumed_; }
  // The child whose entry won, or that failed the last next().
  SortedSource* current_child() const { return current_ == kNone ? nullptr : children_[current_]; }
  SortedSource* failed_child() const { return failed_; }
  // Whether the last next() failed on a duplicate key (policy Error), and that key.
  bool duplicate() const { return duplicate_; }
  const std::string& duplicate_key() const { return duplicate_key_; }

 private:
  static constexpr size_t kNone = ~size_t{0};
  // Children whose current entry has the smallest key, oldest first, taken off the heap.
  void pop_smallest();
  [[nodiscard]] Status advance(size_t child);
  // Takes note of the entry `child` moved to (its window, the count); returns `child`.
  size_t note(size_t child);
  // Puts `child`, whose entry is noted, on the heap.
  void push(size_t child);
  // Makes the entry of `winner` the current one.
  [[nodiscard]] Status take(size_t winner);
  bool heap_before(size_t a, size_t b) const;
  // compare_keys of two children's current keys.
  int compare(size_t a, size_t b) const;

  std::vector<SortedSource*> children_;
  DuplicatePolicy policy_;
  bool keep_deletions_;
  std::vector<size_t> heap_;   // children with an entry, smallest key (then oldest) on top
  // The first 16 bytes of each child's current key, big-endian, and its length.
  struct Window {
    uint64_t head = 0;
    uint64_t next = 0;
    uint64_t size = 0;
  };
  static constexpr uint64_t kWindowBytes = 16;
  std::vector<Window> windows_;
  std::vector<size_t> group_;  // the children of the current key, to advance next time
  bool started_ = false;
  size_t current_ = kNone;
  Entry entry_;
  uint64_t size_ = 0;
  uint64_t consumed_ = 0;
  SortedSource* failed_ = nullptr;
  bool duplicate_ = false;
  std::string duplicate_key_;
  std::string name_ = "merge";
};

}  // namespace vornel
