#include "merging_source.hpp"

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

bool MergingSource::heap_before(size_t a, size_t b) const {
  // The first 8 bytes of each child's key decide most comparisons without reading it.
  if (heads_[a] != heads_[b]) return heads_[a] < heads_[b];
  const int c = compare_keys(children_[a]->entry().key, children_[b]->entry().key);
  return c != 0 ? c < 0 : a < b;
}

Status MergingSource::advance(size_t child) {
  if (Status s = children_[child]->next(); !s) {
    failed_ = children_[child];
    return s;
  }
  if (children_[child]->valid()) {
    ++consumed_;
    heads_[child] = key_head(children_[child]->entry().key);
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
  const Bytes key = children_[group_.front()]->entry().key;
  const uint64_t head = heads_[group_.front()];
  while (!heap_.empty() && heads_[heap_.front()] == head &&
         same_bytes(children_[heap_.front()]->entry().key, key)) {
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
    heads_.assign(children_.size(), 0);
    for (size_t i = 0; i < children_.size(); ++i) {
      if (Status s = advance(i); !s) return s;
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
  return {};
}

Result<RecordBytes> MergingSource::record() {
  Result<RecordBytes> r = children_[current_]->record();
  if (!r) failed_ = children_[current_];
  return r;
}

}  // namespace vornel
