#include "write/store_builder.hpp"

#include <fcntl.h>

#include <algorithm>
#include <cstring>

#include "write/record_sharing.hpp"

namespace vornel {
namespace {

// Entries merged between two reports of progress.
constexpr uint64_t kProgressEntries = uint64_t{1} << 16;

// Shares of the memory limit: the table that finds records by their bytes, the one that
// keeps shared records shared, and what a build holds of its index section and key table.
// Each has a floor, so that a small limit still keeps a store's sharing.
uint64_t content_budget(uint64_t limit) { return std::max(limit / 2, uint64_t{16} << 20); }
uint64_t sharing_budget(uint64_t limit) { return std::max(limit / 8, uint64_t{4} << 20); }
uint64_t sink_budget(uint64_t limit) { return std::max(limit / 2, uint64_t{16} << 20); }
// The filters of the runs' keys that find duplicates as they are staged: a quarter of the
// limit, with a floor, so that a small limit still filters the keys of some 11 million.
uint64_t filter_budget(uint64_t limit) { return std::max(limit / 4, uint64_t{16} << 20); }

// Sources that one merge reads at once. Each holds a read buffer and the state of its
// walk, so that a merge of thousands of small runs would cost more than a small limit
// saves: past the fan-in, runs are merged in passes. A smaller limit merges fewer at once.
size_t merge_fan_in(uint64_t limit) {
  return static_cast<size_t>(std::clamp<uint64_t>(limit >> 18, 8, 128));
}

// The read buffer of each of `sources` walked at once: they share an eighth of the limit,
// large enough that reads are long, small enough that many sources fit.
size_t read_buffer(uint64_t limit, size_t sources) {
  const uint64_t share = limit / 8 / (2 * sources + 1);
  return static_cast<size_t>(std::clamp<uint64_t>(share, 16 << 10, 1 << 20));
}

bool report(const BuildProgress& progress, BuildPhase phase, uint64_t done, uint64_t total) {
  return !progress || progress(phase, done, total);
}

// Handles in the content table carry this bit for a record of a store: a staged value may
// share such a record, another store's record never does. Offsets lie far below it.
constexpr uint64_t kStoreRecord = uint64_t{1} << 47;

// The payloads that were staged, in one filter or several; with `complete` false (a run
// that came from another process), any payload may have been.
struct StagedPayloads {
  std::vector<const PayloadFilter*> filters;
  bool complete = true;
  bool maybe(uint32_t crc, uint64_t size) const {
    if (!complete) return true;
    for (const PayloadFilter* f : filters) {
      if (f->maybe(crc, size)) return true;
    }
    return false;
  }
  bool maybe(const RecordBytes& r) const { return maybe(r.crc, r.payload.size()); }
};

// Where a record goes: to a record of the same bytes in `content` (when given) that it may
// share, or to a new one. A staged value shares any equal record; a store's record only a
// staged value's, and only `probe`s when one may exist. Records are compared as the sink
// stores them.
Result<uint64_t> place_record(StoreSink& sink, ContentTable* content, Bytes payload, uint32_t crc,
                              uint64_t hash, bool staged, bool probe) {
  const StoreSink::Stored stored = sink.prepare(payload, crc);
  if (content != nullptr && probe) {
    Result<std::optional<uint64_t>> found = content->find(hash, [&](uint64_t handle) -> Result<bool> {
      if (!staged && (handle & kStoreRecord) != 0) return false;
      return sink.holds(handle & ~kStoreRecord, stored);
    });
    if (!found) return fail(std::move(found.error()));
    if (*found) return **found & ~kStoreRecord;
  }
  Result<uint64_t> written = sink.write_record(stored);
  if (written && content != nullptr && probe) {
    content->keep(hash, *written | (staged ? 0 : kStoreRecord));
  }
  return written;
}

// `at`, where the record of entry `e` was just written, remembered for the entries that
// name the same record again.
Result<uint64_t> kept(SharedRecords& placed, const Entry& e, Result<uint64_t> at) {
  if (at) placed.keep(e.record, *at, e.uses_left);
  return at;
}

// Entries whose records are found by their bytes go through in batches: the payloads of a
// batch are gathered and hashed first, so that the table slots they probe are fetched
// ahead of their turn (the table outgrows the cache, and each probe would otherwise wait
// on memory). Records shared within a batch are found by number.
class Batch {
 public:
  static constexpr size_t kEntries = 64;
  static constexpr size_t kBytes = size_t{1} << 20;

  Batch(ContentTable& content, const StagedPayloads& staged) : content_(content), staged_(staged) {}

  bool full() const { return pending_.size() == kEntries || bytes_.size() >= kBytes; }
  bool empty() const { return pending_.empty(); }

  // Takes the current entry of `source`: its record's bytes too unless `placed` has a
  // copy of it or an earlier entry of the batch names it. An entry that needs no lookup
  // by bytes (a store's record that no staged value may equal, and most are) is copied
  // at once, after the batch before it.
  Status take(MergingSource& source, StoreSink& sink, SharedRecords& placed) {
    const Entry& e = source.entry();
    if (!shared_ && !placed.contains(e.record) && !source.current_child()->staged()) {
      Result<std::optional<uint64_t>> copied = copy_span(source, sink, placed);
      if (!copied) return fail(std::move(copied.error()));
      if (*copied) return sink.add_entry(e.key, **copied);
      Result<RecordBytes> r = source.record();
      if (!r) return fail(std::move(r.error()));
      if (!staged_.maybe(*r)) {
        if (Status s = flush(sink, placed); !s) return s;
        Result<uint64_t> at = kept(placed, e, sink.write_record(sink.prepare(r->payload, r->crc)));
        if (!at) return fail(std::move(at.error()));
        return sink.add_entry(e.key, *at);
      }
    }
    return gather(source, placed);
  }

 private:
  // Copies the current record of `source` as its file holds it, when the source can say
  // where that is and no staged value may equal it; where it went, or none.
  Result<std::optional<uint64_t>> copy_span(MergingSource& source, StoreSink& sink,
                                            SharedRecords& placed) {
    if (!sink.copies_verbatim()) return std::nullopt;
    Result<std::optional<RecordSpan>> span = source.span();
    if (!span) return fail(std::move(span.error()));
    if (!*span || staged_.maybe((*span)->crc, (*span)->size - kRecordPrefix)) return std::nullopt;
    if (Status s = flush(sink, placed); !s) return fail(std::move(s.error()));
    Result<uint64_t> at = kept(placed, source.entry(), sink.copy_record(**span));
    if (!at) return fail(std::move(at.error()));
    return *at;
  }

  Status gather(MergingSource& source, const SharedRecords& placed) {
    const Entry& e = source.entry();
    Pending p{keys_.size(), e.key.size(), e.record, e.uses_left, 0, 0, 0, 0, -1};
    keys_.insert(keys_.end(), e.key.begin(), e.key.end());
    // Only a record that an earlier entry said is named again can come round again.
    if (shared_) {
      for (size_t i = 0; i < pending_.size(); ++i) {
        if (pending_[i].record == e.record) p.same_as = static_cast<int32_t>(i);
      }
    }
    shared_ = shared_ || e.uses_left != 0;
    if (p.same_as < 0 && !placed.contains(e.record)) {
      Result<RecordBytes> r = source.record();
      if (!r) return fail(std::move(r.error()));
      p.payload_at = bytes_.size();
      p.payload_len = r->payload.size();
      p.crc = r->crc;
      bytes_.insert(bytes_.end(), r->payload.begin(), r->payload.end());
      p.staged = source.current_child()->staged();
      p.probe = p.staged || staged_.maybe(*r);
      if (p.probe) {
        p.hash = content_.hash(r->payload);
        content_.prefetch(p.hash);
      }
    }
    pending_.push_back(p);
    return {};
  }


 public:
  // Copies the batch's entries, in order.
  Status flush(StoreSink& sink, SharedRecords& placed) {
    resolved_.resize(pending_.size());
    for (size_t i = 0; i < pending_.size(); ++i) {
      const Pending& p = pending_[i];
      std::optional<uint64_t> at = placed.take(p.record);
      if (p.same_as >= 0) at = resolved_[static_cast<size_t>(p.same_as)];
      if (!at) {
        const Bytes payload(bytes_.data() + p.payload_at, p.payload_len);
        Result<uint64_t> r = place_record(sink, &content_, payload, p.crc, p.hash, p.staged, p.probe);
        if (!r) return fail(std::move(r.error()));
        at = *r;
        placed.keep(p.record, *at, p.uses_left);
      }
      resolved_[i] = *at;
      if (Status s = sink.add_entry(Bytes(keys_.data() + p.key_at, p.key_len), *at); !s) return s;
    }
    pending_.clear();
    keys_.clear();
    bytes_.clear();
    shared_ = false;
    return {};
  }

 private:
  struct Pending {
    size_t key_at, key_len;
    uint64_t record, uses_left;
    size_t payload_at, payload_len;
    uint32_t crc;
    uint64_t hash;
    int32_t same_as;  // an earlier entry of the batch that names the same record, or -1
    bool staged = true;
    bool probe = true;  // looked for, and kept, in the content table
  };
  ContentTable& content_;
  const StagedPayloads& staged_;
  std::vector<Pending> pending_;
  std::vector<uint64_t> resolved_;
  std::vector<uint8_t> keys_;
  std::vector<uint8_t> bytes_;
  bool shared_ = false;  // an entry of the batch names a record named again later
};

// Copies every entry of `source` into `sink`: each record once where sharing can be kept,
// and with `staged` given, staged values once per distinct payload, sharing the equal
// records of stores.
Status copy_entries(MergingSource& source, StoreSink& sink, const StagedPayloads* staged,
                    uint64_t limit, const BuildProgress& progress) {
  SharedRecords placed(sharing_budget(limit));
  std::optional<ContentTable> content;
  std::optional<Batch> batch;
  if (staged != nullptr) {
    content.emplace(source.size(), content_budget(limit));
    batch.emplace(*content, *staged);
  }
  const uint64_t total = source.size();
  uint64_t reported = 0;
  if (!report(progress, BuildPhase::Merge, 0, total)) return fail(StoreError::cancelled());
  for (;;) {
    if (Status s = source.next(); !s) return s;
    if (!source.valid()) break;
    if (batch) {
      if (Status s = batch->take(source, sink, placed); !s) return s;
      if (batch->full()) {
        if (Status s = batch->flush(sink, placed); !s) return s;
      }
    } else {
      const Entry& e = source.entry();
      std::optional<uint64_t> at = placed.take(e.record);
      Result<std::optional<RecordSpan>> span = std::nullopt;
      if (!at && sink.copies_verbatim()) span = source.span();
      if (!span) return fail(std::move(span.error()));
      if (!at && *span) {
        Result<uint64_t> copied = kept(placed, e, sink.copy_record(**span));
        if (!copied) return fail(std::move(copied.error()));
        at = *copied;
      } else if (!at) {
        Result<RecordBytes> r = source.record();
        if (!r) return fail(std::move(r.error()));
        Result<uint64_t> written = kept(placed, e, sink.write_record(sink.prepare(r->payload, r->crc)));
        if (!written) return fail(std::move(written.error()));
        at = *written;
      }
      if (Status s = sink.add_entry(e.key, *at); !s) return s;
    }
    if (source.consumed() - reported >= kProgressEntries) {
      reported = source.consumed();
      if (!report(progress, BuildPhase::Merge, reported, total)) return fail(StoreError::cancelled());
    }
  }
  if (batch && !batch->empty()) {
    if (Status s = batch->flush(sink, placed); !s) return s;
  }
  if (!report(progress, BuildPhase::Merge, total, total)) return fail(StoreError::cancelled());
  return {};
}

// The payloads staged in `buffer`, dead ones too.
std::shared_ptr<const PayloadFilter> payloads_of(const StagingBuffer& buffer) {
  auto filter = std::make_shared<PayloadFilter>(buffer.num_objects());
  for (uint64_t id = 0; id < buffer.num_objects(); ++id) {
    const RecordBytes r = buffer.object(static_cast<uint32_t>(id));
    filter->add(r.crc, r.payload.size());
  }
  return filter;
}

std::vector<SortedSource*> pointers(const std::vector<std::unique_ptr<SortedSource>>& walk) {
  std::vector<SortedSource*> out;
  for (const auto& s : walk) out.push_back(s.get());
  return out;
}

}  // namespace

StoreBuilder::StoreBuilder(StoreBuilderOptions options)
    : options_(std::move(options)), buffer_(std::make_unique<StagingBuffer>(options_.dedup)) {}

Status StoreBuilder::check_run_dir() const {
  Result<FileDescriptor> fd = create_unnamed_file(options_.run_dir, ".vrnlrun", "a run");
  if (!fd) return fail(std::move(fd.error()));
  return {};
}

Status StoreBuilder::make_room() {
  if (buffer_->empty()) return {};
  // The runs' key filters count against the limit too, though staging keeps half of it.
  const uint64_t limit = options_.memory_limit;
  const uint64_t room = std::max(limit - std::min(filter_bytes_, limit), limit / 2);
  const uint64_t held =
      buffer_->memory_bytes() + buffer_->num_keys() * StagingBuffer::freeze_bytes_per_key();
  if (held < room && !buffer_->full()) return {};
  return write_buffer_run();
}

std::shared_ptr<const HashFilter> StoreBuilder::filter_staged_keys() {
  const std::vector<StagedKey>& keys = buffer_->objects().staged_keys();
  const uint64_t budget = filter_budget(options_.memory_limit);
  if (spilled_room_ < keys.size()) {
    // The next filter of them all, twice the last, within two thirds of the filters'
    // share (the last one as large as what is left of it); past that the last one takes
    // every key, and answers "maybe" more often (never "no" for a key it holds).
    const uint64_t least = std::max<uint64_t>(4 * uint64_t{keys.size()}, uint64_t{1} << 16);
    const uint64_t left = budget / 3 * 2 - std::min(spilled_bytes_, budget / 3 * 2);
    const uint64_t capacity =
        std::min(std::max(2 * spilled_capacity_, least), HashFilter::capacity_of(left));
    if (spilled_keys_.empty() || capacity >= least) {
      spilled_keys_.push_back(std::make_unique<HashFilter>(std::max(capacity, least)));
      spilled_bytes_ += spilled_keys_.back()->memory_bytes();
      filter_bytes_ += spilled_keys_.back()->memory_bytes();
      spilled_capacity_ = spilled_room_ = std::max(capacity, least);
    }
  }
  spilled_room_ -= std::min<uint64_t>(spilled_room_, keys.size());
  HashFilter& all = *spilled_keys_.back();
  // A run's own filter is asked only after the filters of them all: a sparse one does.
  std::shared_ptr<HashFilter> filter;
  if (filter_bytes_ + HashFilter::memory_for(keys.size(), HashFilter::kSparse) <= budget) {
    filter = std::make_shared<HashFilter>(keys.size(), HashFilter::kSparse);
    filter_bytes_ += filter->memory_bytes();
  }
  for (const StagedKey& k : keys) {
    const uint64_t hash = buffer_->key_hash(k.bytes());
    all.add(spilled_hash(hash));
    if (filter) filter->add(hash);
  }
  return filter;
}

Result<bool> StoreBuilder::spilled_duplicate(Bytes key, uint64_t key_hash) const {
  const uint64_t spilled = spilled_hash(key_hash);
  if (std::none_of(spilled_keys_.begin(), spilled_keys_.end(),
                   [&](const auto& f) { return f->maybe(spilled); })) {
    return false;
  }
  for (auto it = sources_.rbegin(); it != sources_.rend(); ++it) {
    // Included stores and runs are checked as the build merges them, as without a limit.
    if (!it->run || !it->run->spilled) continue;
    if (it->run->keys && !it->run->keys->maybe(key_hash)) continue;
    Result<RunHolds> holds = lookup(*it->run, key);
    if (!holds) return fail(std::move(holds.error()));
    if (*holds != RunHolds::No) return *holds != RunHolds::Deleted;
  }
  return false;
}

Status StoreBuilder::write_buffer_run() {
  if (buffer_->empty()) return {};
  if (sources_.size() + 1 >= MergingSource::kMaxChildren) {
    return fail(StoreError::invalid("too many runs: raise the memory limit"));
  }
  Result<FileDescriptor> fd = create_unnamed_file(options_.run_dir, ".vrnlrun", "a run");
  if (!fd) return fail(std::move(fd.error()));
  MemorySource staged(*buffer_);
  Result<RunFile> run = write_run(staged, std::make_shared<FileDescriptor>(std::move(*fd)),
                                  "a run in " + options_.run_dir,
                                  sharing_budget(options_.memory_limit));
  if (!run) return fail(std::move(run.error()));
  if (options_.dedup) run->payloads = payloads_of(*buffer_);
  run->spilled = true;
  if (options_.policy == DuplicatePolicy::Error) run->keys = filter_staged_keys();
  sources_.push_back({nullptr, std::make_shared<RunFile>(std::move(*run))});
  numbered_before_ += buffer_->num_objects();
  buffer_ = std::make_unique<StagingBuffer>(options_.dedup);
  ++runs_written_;
  return {};
}

Result<StoreBuilder::Staged> StoreBuilder::stage(Bytes key, uint64_t key_hash, Bytes value,
                                                 uint64_t value_hash, uint64_t* obj_id) {
  const std::optional<uint32_t> code = buffer_->code(key, key_hash);
  const bool deleted =
      code && (*code & ~StagingBuffer::kReplacesBit) == StagingBuffer::kDeletedCode;
  bool replaces = deleted;
  if (!code && options_.policy == DuplicatePolicy::Error && runs_written_ != 0) {
    Result<bool> spilled = spilled_duplicate(key, key_hash);
    if (!spilled) return fail(std::move(spilled.error()));
    if (*spilled) return Staged::Duplicate;
  }
  if (code && !deleted) {
    if (options_.policy == DuplicatePolicy::Error) return Staged::Duplicate;
    if (options_.policy == DuplicatePolicy::First) {
      *obj_id = numbered_before_ + (*code & ~StagingBuffer::kReplacesBit);
      return Staged::KeptFirst;
    }
    replaces = (*code & StagingBuffer::kReplacesBit) != 0;
  }
  const uint32_t id = buffer_->intern(value, value_hash);
  buffer_->bind(key, key_hash, id, replaces);
  *obj_id = numbered_before_ + id;
  changed();
  return Staged::Bound;
}

Result<StoreBuilder::Staged> StoreBuilder::stage_many(const std::vector<Bytes>& keys, Bytes value,
                                                      uint64_t* obj_id, size_t* duplicate) {
  if (options_.policy == DuplicatePolicy::Error) {
    // All or nothing: a key staged before, or twice in `keys`, stages none of them.
    StagingBuffer seen(false);
    for (size_t i = 0; i < keys.size(); ++i) {
      const uint64_t h = buffer_->key_hash(keys[i]);
      const uint64_t s = seen.key_hash(keys[i]);
      const StagingBuffer::Held held = buffer_->held(keys[i], h);
      bool repeated = held == StagingBuffer::Held::Value ||
                      seen.held(keys[i], s) != StagingBuffer::Held::No;
      if (!repeated && held == StagingBuffer::Held::No && runs_written_ != 0) {
        Result<bool> spilled = spilled_duplicate(keys[i], h);
        if (!spilled) return fail(std::move(spilled.error()));
        repeated = *spilled;
      }
      if (repeated) {
        *duplicate = i;
        return Staged::Duplicate;
      }
      seen.bind(keys[i], s, 0, false);
    }
  }
  const uint32_t id = buffer_->intern(value, buffer_->value_hash(value));
  *obj_id = numbered_before_ + id;
  for (Bytes key : keys) {
    const uint64_t h = buffer_->key_hash(key);
    const std::optional<uint32_t> code = buffer_->code(key, h);
    const bool deleted =
        code && (*code & ~StagingBuffer::kReplacesBit) == StagingBuffer::kDeletedCode;
    if (code && !deleted && options_.policy == DuplicatePolicy::First) continue;
    const bool replaces = deleted || (code && (*code & StagingBuffer::kReplacesBit) != 0);
    buffer_->bind(key, h, id, replaces);
  }
  changed();
  return Staged::Bound;
}

Result<bool> StoreBuilder::remove(Bytes key, bool must_hold) {
  if (must_hold) {
    FailureDetail ignored;
    Result<bool> held = contains(key, &ignored);
    if (!held || !*held) return held;
  }
  buffer_->unbind(key, buffer_->key_hash(key));
  changed();
  return true;
}

Status StoreBuilder::include(const std::string& path, FailureDetail* detail) {
  detail->path = path;
  Source source;
  std::string c_path;
  if (!to_c_path(path, c_path)) return fail(StoreError::io(kNulInPathText));
  // A run begins with its own magic; anything else is taken for a store.
  FileDescriptor fd(retry_eintr([&] { return ::open(c_path.c_str(), O_RDONLY | O_CLOEXEC); }));
  if (!fd.valid()) return fail(StoreError::os(errno));
  uint8_t magic[sizeof kRunMagic] = {};
  size_t got = 0;
  if (Status s = pread_all(fd.get(), magic, sizeof magic, 0, &got); !s) return s;
  if (got == sizeof magic && std::memcmp(magic, kRunMagic, sizeof magic) == 0) {
    auto run = std::make_shared<RunFile>();
    run->fd = std::make_shared<FileDescriptor>(std::move(fd));
    run->name = path;
    Result<std::unique_ptr<RunSource>> walk = RunSource::open(run->fd, path);
    if (!walk) return fail(std::move(walk.error()));
    // One walk checks it whole and finds where its keys lie.
    RunSource& r = **walk;
    run->entries = r.size();
    run->trailer_at = r.trailer_at();
    for (;;) {
      if (Status s = r.next(); !s) return s;
      if (!r.valid()) break;
      run->sparse.offer(r.entry().key, r.entry_position());
    }
    source.run = std::move(run);
  } else {
    fd.reset();
    Result<std::shared_ptr<const StoreFile>> store =
        open_store_file(path, sharing_budget(options_.memory_limit));
    if (!store) return fail(std::move(store.error()));
    source.store = std::move(*store);
  }
  detail->path.clear();
  if (Status s = write_buffer_run(); !s) return s;
  sources_.push_back(std::move(source));
  changed();
  return {};
}

Result<bool> StoreBuilder::contains(Bytes key, FailureDetail* detail) const {
  const uint64_t hash = buffer_->key_hash(key);
  switch (buffer_->held(key, hash)) {
    case StagingBuffer::Held::Value:
      return true;
    case StagingBuffer::Held::Deleted:
      return false;
    case StagingBuffer::Held::No:
      break;
  }
  // The newest source that holds the key says whether it is staged.
  for (auto it = sources_.rbegin(); it != sources_.rend(); ++it) {
    if (it->store) {
      Result<bool> found = lookup(*it->store, key);
      if (!found) {
        detail->path = it->store->name;
        return found;
      }
      if (*found) return true;
      continue;
    }
    if (it->run->keys && !it->run->keys->maybe(hash)) continue;
    Result<RunHolds> holds = lookup(*it->run, key);
    if (!holds) {
      detail->path = it->run->name;
      return fail(std::move(holds.error()));
    }
    if (*holds == RunHolds::Deleted) return false;
    if (*holds != RunHolds::No) return true;
  }
  return false;
}

Result<uint64_t> StoreBuilder::size(FailureDetail* detail) const {
  if (sources_.empty()) return buffer_->live_keys();
  std::lock_guard lock(size_mutex_);
  if (size_cache_) return *size_cache_;
  Walk walk;
  if (Status s = open_walk(walk, detail); !s) return fail(std::move(s.error()));
  // Which of several entries of a key wins does not change the count.
  MergingSource merge(pointers(walk), DuplicatePolicy::Last);
  uint64_t count = 0;
  for (;;) {
    if (Status s = merge.next(); !s) return fail(blame(merge, std::move(s.error()), detail));
    if (!merge.valid()) break;
    ++count;
  }
  size_cache_ = count;
  return count;
}

Status StoreBuilder::open_walk(Walk& walk, FailureDetail* detail,
                               const BuildProgress& progress) const {
  // Past the fan-in, runs are merged in passes first, into runs of this walk's own.
  std::vector<Source> sources = sources_;
  const size_t fan_in = merge_fan_in(options_.memory_limit);
  while (sources.size() + (buffer_->empty() ? 0 : 1) > fan_in) {
    Result<bool> merged = merge_pass(sources, fan_in, detail, progress);
    if (!merged) return fail(std::move(merged.error()));
    if (!*merged) break;  // no two runs side by side: stores between them all
  }
  const auto buffer = read_buffer(options_.memory_limit, sources.size());
  for (const Source& s : sources) {
    if (s.store) {
      walk.push_back(std::make_unique<StoreSource>(s.store, buffer));
      continue;
    }
    Result<std::unique_ptr<RunSource>> run = RunSource::open(s.run->fd, s.run->name, buffer);
    if (!run) {
      detail->path = s.run->name;
      return fail(std::move(run.error()));
    }
    walk.push_back(std::move(*run));
  }
  if (!buffer_->empty()) walk.push_back(std::make_unique<MemorySource>(*buffer_));
  return {};
}

Result<bool> StoreBuilder::merge_pass(std::vector<Source>& sources, size_t fan_in,
                                      FailureDetail* detail, const BuildProgress& progress) const {
  // Runs side by side merge into one that stands for them among the sources around them:
  // deletions and entries that hide older ones stay as they are, so that every key comes
  // out of the whole merge as it would have.
  std::vector<Source> out;
  bool merged = false;
  for (size_t at = 0; at < sources.size();) {
    size_t end = at;
    while (end < sources.size() && sources[end].run && end - at < fan_in) ++end;
    if (end - at < 2) {
      out.push_back(sources[at]);
      at = std::max(end, at + 1);
      continue;
    }
    if (!report(progress, BuildPhase::Sort, 0, buffer_->num_keys())) {
      return fail(StoreError::cancelled());
    }
    Walk group;
    const auto buffer = read_buffer(options_.memory_limit, end - at);
    for (size_t i = at; i < end; ++i) {
      Result<std::unique_ptr<RunSource>> run =
          RunSource::open(sources[i].run->fd, sources[i].run->name, buffer);
      if (!run) {
        detail->path = sources[i].run->name;
        return fail(std::move(run.error()));
      }
      group.push_back(std::move(*run));
    }
    MergingSource merge(pointers(group), options_.policy, /*keep_deletions=*/true);
    Result<FileDescriptor> fd = create_unnamed_file(options_.run_dir, ".vrnlrun", "a run");
    if (!fd) return fail(std::move(fd.error()));
    Result<RunFile> run = write_run(merge, std::make_shared<FileDescriptor>(std::move(*fd)),
                                    "a run in " + options_.run_dir,
                                    sharing_budget(options_.memory_limit));
    if (!run) return fail(blame(merge, std::move(run.error()), detail));
    out.push_back({nullptr, std::make_shared<RunFile>(std::move(*run))});
    merged = true;
    at = end;
  }
  sources = std::move(out);
  return merged;
}

StoreError StoreBuilder::blame(const MergingSource& merge, StoreError e, FailureDetail* detail) {
  if (merge.duplicate()) {
    detail->duplicate_key = merge.duplicate_key();
  } else if (const SortedSource* child = merge.failed_child(); child != nullptr) {
    detail->path = child->name();
  }
  return e;
}

Result<std::unique_ptr<ValueCompressor>> StoreBuilder::train_compressor(
    const MergeOptions& options, FailureDetail* detail) const {
  const CompressionOptions& compression = options_.compression;
  if (compression.codec != Codec::Zstd) {
    return fail(StoreError::invalid("unknown codec " +
                                    std::to_string(static_cast<int>(compression.codec))));
  }
  // The sample comes from the values as the store will hold them, one per key, so that
  // it does not depend on how staging went: which runs the values went to, or whether
  // any did.
  Walk walk;
  if (Status s = open_walk(walk, detail); !s) return fail(std::move(s.error()));
  MergingSource merge(pointers(walk), options_.policy);
  const uint64_t total = merge.size();
  if (!report(options.progress, BuildPhase::Compress, 0, total)) {
    return fail(StoreError::cancelled());
  }
  DictionarySampler sampler;
  uint64_t reported = 0;
  for (;;) {
    if (Status s = merge.next(); !s) return fail(blame(merge, std::move(s.error()), detail));
    if (!merge.valid()) break;
    Result<RecordBytes> r = merge.record();
    if (!r) return fail(blame(merge, std::move(r.error()), detail));
    sampler.offer(r->payload, r->crc);
    if (merge.consumed() - reported >= kProgressEntries) {
      reported = merge.consumed();
      if (!report(options.progress, BuildPhase::Compress, reported, total)) {
        return fail(StoreError::cancelled());
      }
    }
  }
  if (!report(options.progress, BuildPhase::Compress, total, total)) {
    return fail(StoreError::cancelled());
  }
  return ValueCompressor::make(sampler.train(compression.level), compression.level);
}

Result<BuildReport> StoreBuilder::build(std::string_view path, const MergeOptions& options,
                                        FailureDetail* detail) const {
  const uint64_t staged = buffer_->num_keys();
  std::unique_ptr<ValueCompressor> compressor;
  if (options_.compression.codec != Codec::None) {
    Result<std::unique_ptr<ValueCompressor>> trained = train_compressor(options, detail);
    if (!trained) return fail(std::move(trained.error()));
    compressor = std::move(*trained);
  }
  StoreSinkOptions sinking;
  sinking.compressor = compressor.get();
  sinking.key_table = options.key_table;
  sinking.progress = options.progress;
  sinking.memory_budget = sink_budget(options_.memory_limit);
  sinking.table_budget = options_.memory_limit;
  sinking.spill_dir = options_.run_dir;
  Result<std::unique_ptr<StoreSink>> sink = StoreSink::open(path, sinking);
  if (!sink) {
    // What sits at the temporary path, when that is the fault, is named; else the target.
    detail->path = sink.error().path();
    return fail(std::move(sink.error()));
  }
  {
    // The sources go once merged: the key table's build has their memory.
    if (!report(options.progress, BuildPhase::Sort, 0, staged)) return fail(StoreError::cancelled());
    Walk walk;
    if (Status s = open_walk(walk, detail, options.progress); !s) return fail(std::move(s.error()));
    if (!report(options.progress, BuildPhase::Sort, staged, staged)) {
      return fail(StoreError::cancelled());
    }
    MergingSource merge(pointers(walk), options_.policy);
    // Staged values are found by their bytes across the runs they went to (in memory they
    // were deduplicated as they were staged, so one source alone needs nothing), and a
    // store's record by the staged values equal to it, which the staged payloads' filters
    // tell it may exist. Stores are copied as they are, their records never merged.
    size_t staged_sources = buffer_->empty() ? 0 : 1;
    StagedPayloads staged;
    std::shared_ptr<const PayloadFilter> in_memory;
    if (!buffer_->empty()) {
      in_memory = payloads_of(*buffer_);
      staged.filters.push_back(in_memory.get());
    }
    for (const Source& s : sources_) {
      if (!s.run) continue;
      ++staged_sources;
      if (s.run->payloads) {
        staged.filters.push_back(s.run->payloads.get());
      } else {
        staged.complete = false;
      }
    }
    const bool stores = staged_sources < sources_.size() + (buffer_->empty() ? 0 : 1);
    const bool by_content =
        options_.dedup && staged_sources > 0 && (staged_sources > 1 || stores);
    if (Status s = copy_entries(merge, **sink, by_content ? &staged : nullptr,
                                options_.memory_limit, options.progress);
        !s) {
      return fail(blame(merge, std::move(s.error()), detail));
    }
  }
  return (*sink)->finish();
}

Result<uint64_t> StoreBuilder::write_run_file(std::string_view path, FailureDetail* detail) const {
  Walk walk;
  if (Status s = open_walk(walk, detail); !s) return fail(std::move(s.error()));
  MergingSource merge(pointers(walk), options_.policy);
  PublishOptions publishing;
  publishing.remove_temp_on_failure = true;
  Result<TempFile> tmp = TempFile::open(path, publishing);
  if (!tmp) return fail(std::move(tmp.error()));
  const int copy = ::fcntl(tmp->fd(), F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return fail(StoreError::os(errno));
  Result<RunFile> run = write_run(merge, std::make_shared<FileDescriptor>(copy), std::string(path),
                                  sharing_budget(options_.memory_limit));
  if (!run) return fail(blame(merge, std::move(run.error()), detail));
  if (Status s = tmp->commit(run->trailer_at + kRunTrailerSize); !s) return fail(std::move(s.error()));
  return run->entries;
}

}  // namespace vornel
