#include "write/merging_source.hpp"

#include <algorithm>

namespace vornel {
namespace {

// Record numbers of one child keep their low bits; the child's index goes above them.
constexpr unsigned kChildShift = 48;
constexpr uint64_t kRecordMask = (uint64_t{1} << kChildShift) - 1;

}  // namespace

MergingSource::MergingSource(std::vector<SortedSource*> children, DuplicatePolicy policy)
    : children_(std::move(children)), policy_(policy) {
  for (const SortedSource* c : children_) size_ += c->size();
}

int MergingSource::compare(size_t a, size_t b) const {
  // The first 16 bytes of each child's key, and its length, decide most comparisons
  // without reading the key again.
  const Window& x = windows_[a];
  const Window& y = windows_[b];
  if (x.head != y.head) return x.head < y.head ? -1 : 1;
  if (x.next != y.next) return x.next < y.next ? -1 : 1;
  if (x.size <= kWindowBytes && y.size <= kWindowBytes) {
    return x.size == y.size ? 0 : (x.size < y.size ? -1 : 1);
  }
  return compare_keys(children_[a]->entry().key, children_[b]->entry().key);
}

bool MergingSource::heap_before(size_t a, size_t b) const {
  const int c = compare(a, b);
  return c != 0 ? c < 0 : a < b;
}

Status MergingSource::advance(size_t child) {
  if (Status s = children_[child]->next(); !s) {
    failed_ = children_[child];
    return s;
  }
  if (children_[child]->valid()) {
    ++consumed_;
    const Bytes key = children_[child]->entry().key;
    windows_[child] = {key_word(key, 0), key_word(key, 8), key.size()};
    heap_.push_back(child);
    // std::push_heap keeps the largest on top: order the other way round.
    std::push_heap(heap_.begin(), heap_.end(),
                   [this](size_t a, size_t b) { return heap_before(b, a); });
  }
  return {};
}

void MergingSource::pop_smallest() {
  group_.clear();
  const auto after = [this](size_t a, size_t b) { return heap_before(b, a); };
  std::pop_heap(heap_.begin(), heap_.end(), after);
  group_.push_back(heap_.back());
  heap_.pop_back();
  while (!heap_.empty() && compare(heap_.front(), group_.front()) == 0) {
    std::pop_heap(heap_.begin(), heap_.end(), after);
    group_.push_back(heap_.back());
    heap_.pop_back();
  }
  // The heap gives equal keys oldest first already; stated, not relied on.
  std::sort(group_.begin(), group_.end());
}

Status MergingSource::next() {
  current_ = kNone;
  if (!started_) {
    started_ = true;
    if (children_.size() > kMaxChildren) return fail(StoreError::invalid("too many sources to merge"));
    windows_.assign(children_.size(), Window{});
    for (size_t i = 0; i < children_.size(); ++i) {
      if (Status s = advance(i); !s) return s;
    }
  } else if (group_.size() == 1) {
    // The common step: the last key was one child's alone. While that child stays below
    // every other, its entries need no heap.
    const size_t child = group_.front();
    if (Status s = children_[child]->next(); !s) {
      failed_ = children_[child];
      return s;
    }
    if (!children_[child]->valid()) {
      group_.clear();
    } else {
      ++consumed_;
      const Bytes key = children_[child]->entry().key;
      windows_[child] = {key_word(key, 0), key_word(key, 8), key.size()};
      // Strictly below: a key the other children hold too goes the slow way, resolved.
      if (!heap_.empty() && compare(child, heap_.front()) >= 0) {
        heap_.push_back(child);
        std::push_heap(heap_.begin(), heap_.end(),
                       [this](size_t a, size_t b) { return heap_before(b, a); });
        group_.clear();
      } else if (const Entry& e = children_[child]->entry(); e.kind == EntryKind::Value) {
        return take(child);
      } else {
        heap_.push_back(child);  // a deletion: the slow way below passes over it
        std::push_heap(heap_.begin(), heap_.end(),
                       [this](size_t a, size_t b) { return heap_before(b, a); });
        group_.clear();
      }
    }
  } else {
    for (size_t child : group_) {
      if (Status s = advance(child); !s) return s;
    }
    group_.clear();
  }
  while (!heap_.empty()) {
    pop_smallest();
    size_t winner = kNone;
    for (size_t child : group_) {
      const Entry& e = children_[child]->entry();
      if (e.kind == EntryKind::Deleted || e.replaces) winner = kNone;
      if (e.kind == EntryKind::Deleted) continue;
      if (winner == kNone || policy_ == DuplicatePolicy::Last) {
        winner = child;
      } else if (policy_ == DuplicatePolicy::Error) {
        duplicate_ = true;
        duplicate_key_.assign(e.key.begin(), e.key.end());
        failed_ = children_[child];
        return fail(StoreError::invalid("duplicate key"));
      }
    }
    if (winner == kNone) {  // deleted: on to the next key
      for (size_t child : group_) {
        if (Status s = advance(child); !s) return s;
      }
      group_.clear();
      continue;
    }
    // The winner alone goes on as the group: the others of its key have had their turn.
    for (size_t child : group_) {
      if (child == winner) continue;
      if (Status s = advance(child); !s) return s;
    }
    group_.assign(1, winner);
    return take(winner);
  }
  return {};
}

Status MergingSource::take(size_t winner) {
  entry_ = children_[winner]->entry();
  if (entry_.record > kRecordMask) {  // a file of 256 TiB
    failed_ = children_[winner];
    return fail(StoreError::invalid("a source too large to merge"));
  }
  current_ = winner;
  entry_.replaces = false;
  entry_.record |= uint64_t{winner} << kChildShift;
  return {};
}

Result<RecordBytes> MergingSource::record() {
  Result<RecordBytes> r = children_[current_]->record();
  if (!r) failed_ = children_[current_];
  return r;
}

Result<std::optional<RecordSpan>> MergingSource::span() {
  Result<std::optional<RecordSpan>> r = children_[current_]->span();
  if (!r) failed_ = children_[current_];
  return r;
}

}  // namespace vornel
