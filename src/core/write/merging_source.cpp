#include "write/merging_source.hpp"

#include <algorithm>

namespace vornel {
namespace {

// Record numbers of one child keep their low bits; the child's index goes above them.
constexpr unsigned kChildShift = 48;
constexpr uint64_t kRecordMask = (uint64_t{1} << kChildShift) - 1;

}  // namespace

MergingSource::MergingSource(std::vector<SortedSource*> children, DuplicatePolicy policy,
                             bool keep_deletions)
    : children_(std::move(children)), policy_(policy), keep_deletions_(keep_deletions) {
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
  if (children_[child]->valid()) push(note(child));
  return {};
}

size_t MergingSource::note(size_t child) {
  ++consumed_;
  const Bytes key = children_[child]->entry().key;
  windows_[child] = {key_word(key, 0), key_word(key, 8), key.size()};
  return child;
}

void MergingSource::push(size_t child) {
  heap_.push_back(child);
  // std::push_heap keeps the largest on top: order the other way round.
  std::push_heap(heap_.begin(), heap_.end(), [this](size_t a, size_t b) { return heap_before(b, a); });
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
    // every other, its values need no heap.
    const size_t child = group_.front();
    group_.clear();
    if (Status s = children_[child]->next(); !s) {
      failed_ = children_[child];
      return s;
    }
    if (children_[child]->valid()) {
      note(child);
      // Strictly below: a key the other children hold too goes the slow way, resolved, and
      // so does a deletion.
      if ((heap_.empty() || compare(child, heap_.front()) < 0) &&
          children_[child]->entry().kind == EntryKind::Value) {
        group_.push_back(child);
        return take(child);
      }
      push(child);
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
    size_t deletion = kNone;  // the newest deletion, which hides every older entry
    bool hides = false;       // whether an entry of the group hides older ones
    for (size_t child : group_) {
      const Entry& e = children_[child]->entry();
      if (e.kind == EntryKind::Deleted || e.replaces) {
        winner = kNone;
        hides = true;
      }
      if (e.kind == EntryKind::Deleted) {
        deletion = child;
        continue;
      }
      if (winner == kNone || policy_ == DuplicatePolicy::Last) {
        winner = child;
      } else if (policy_ == DuplicatePolicy::Error) {
        duplicate_ = true;
        duplicate_key_.assign(e.key.begin(), e.key.end());
        failed_ = children_[child];
        return fail(StoreError::invalid("duplicate key"));
      }
    }
    if (winner == kNone && !keep_deletions_) {  // deleted: on to the next key
      for (size_t child : group_) {
        if (Status s = advance(child); !s) return s;
      }
      group_.clear();
      continue;
    }
    // The entry that comes out alone goes on as the group: the others of its key have had
    // their turn.
    const size_t out = winner != kNone ? winner : deletion;
    for (size_t child : group_) {
      if (child == out) continue;
      if (Status s = advance(child); !s) return s;
    }
    group_.assign(1, out);
    if (Status s = take(out); !s) return s;
    entry_.replaces = keep_deletions_ && hides;
    return {};
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
  entry_.replaces = keep_deletions_ && entry_.replaces;
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
