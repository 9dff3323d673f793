#include "codec/compression.hpp"

#define ZDICT_STATIC_LINKING_ONLY  // the fastCover trainer with parameters of our own
#include <zdict.h>
#include <zstd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <optional>
#include <functional>
#include <system_error>
#include <thread>

#include "util/crc32.hpp"
#include "util/mix.hpp"

namespace vornel {
namespace {

// The dictionary: about a thirty-second of the values, within what the trainer is
// made for. Smaller stores gain too little from one to pay for its bytes.
constexpr uint64_t kDictMax = 110 << 10;
constexpr uint64_t kDictMin = 1 << 10;
constexpr uint64_t kDictShare = 32;
constexpr uint64_t kTrainMinBytes = 8 << 10;
// The trainer learns from about thirty times the dictionary's size, each sample cut to its
// first part (a dictionary serves the start of a value most), in one run of fastCover with
// fixed parameters: its search for the best ones took ten to twenty times as long as the
// rest of a build, for files a few percent smaller.
constexpr uint64_t kSampleFactor = 30;
constexpr unsigned kSegment = 1024;
constexpr unsigned kDmer = 8;
constexpr unsigned kFrequencyLog = 17;  // below the trainer's 20: faster, and no larger
constexpr uint64_t kSampleMax = 64 << 10;
// The least a compressed value takes: the marker, a frame header and one block header.
// Values shorter than this cannot shrink.
constexpr uint64_t kMinFrame = 1 + 4 + 2 + 3;
// No zstd frame decodes to more than this many bytes per byte of it: a block of at most
// 128 KiB takes at least 4 bytes (3 of header and 1 of run-length content).
constexpr uint64_t kMaxExpansion = (128 << 10) / 4;
// Progress, and with it a chance to cancel, this often.
constexpr uint64_t kProgressValues = 1 << 12;
// Values are compressed by as many threads as there are cores, up to this many, once
// there are enough of them to pay for the threads.
constexpr size_t kMaxThreads = 8;
constexpr uint64_t kThreadMinBytes = 4 << 20;


StoreError zstd_failure(const char* what, size_t code) {
  return StoreError::corrupt(std::string(what) + ": " + ZSTD_getErrorName(code));
}

struct CCtxFree {
  void operator()(ZSTD_CCtx* c) const { ZSTD_freeCCtx(c); }
};
struct CDictFree {
  void operator()(ZSTD_CDict* d) const { ZSTD_freeCDict(d); }
};

// The values of a staged data section, each with its record.
struct Staged {
  Bytes records;
  const std::vector<uint64_t>& starts;

  size_t size() const { return starts.size(); }
  Bytes record(size_t id) const {
    const uint64_t end = id + 1 < starts.size() ? starts[id + 1] : records.size();
    return records.subspan(starts[id], end - starts[id]);
  }
  Bytes value(size_t id) const { return record(id).subspan(kRecordPrefix); }
  uint32_t crc(size_t id) const { return RecordPrefix::decode(records.data() + starts[id]).crc; }
};

// The dictionary's size for values of `total` bytes.
uint64_t dictionary_capacity(uint64_t total) {
  return std::clamp(total / kDictShare, kDictMin, kDictMax);
}

// A value is in the sample when the hash of its checksum and length falls below this:
// about kSampleFactor times the dictionary's size of them.
uint64_t sample_cut(uint64_t total) {
  const uint64_t want = dictionary_capacity(total) * kSampleFactor;
  return want >= total ? UINT64_MAX : (UINT64_MAX / total) * want;
}

uint64_t sample_hash(uint32_t crc, uint64_t length) { return mix64((crc | (length << 32)) + kGoldenGamma); }

// The dictionary trained on `samples` (back to back, sizes[i] bytes each) for values of
// `total` bytes; empty when too few to learn from.
std::vector<uint8_t> train_on(const std::vector<uint8_t>& samples,
                              const std::vector<size_t>& sizes, uint64_t total, int level) {
  if (total < kTrainMinBytes || sizes.size() < 8) return {};
  std::vector<uint8_t> dict(dictionary_capacity(total));
  ZDICT_fastCover_params_t params{};
  params.k = kSegment;
  params.d = kDmer;
  params.f = kFrequencyLog;
  params.zParams.compressionLevel = level;
  const size_t got = ZDICT_trainFromBuffer_fastCover(dict.data(), dict.size(), samples.data(),
                                                     sizes.data(),
                                                     static_cast<unsigned>(sizes.size()), params);
  // Too few distinct samples to learn from: values are compressed without a dictionary.
  if (ZDICT_isError(got)) return {};
  dict.resize(got);
  return dict;
}

// A sample of the values, picked by a hash of each value's checksum and length, and the
// dictionary trained on it; empty when the values are too few or too small to train on.
std::vector<uint8_t> train(const Staged& staged, uint64_t total, int level) {
  if (total < kTrainMinBytes) return {};
  const uint64_t cut = sample_cut(total);
  std::vector<uint8_t> samples;
  std::vector<size_t> sizes;
  for (size_t id = 0; id < staged.size(); ++id) {
    const Bytes v = staged.value(id);
    if (v.empty() || sample_hash(staged.crc(id), v.size()) > cut) continue;
    const size_t n = std::min<uint64_t>(v.size(), kSampleMax);
    samples.insert(samples.end(), v.begin(), v.begin() + n);
    sizes.push_back(n);
  }
  return train_on(samples, sizes, total, level);
}

// Appends a record holding `payload` (in `parts` pieces) to `out`.
uint64_t append_record(RecordBuffer& out, std::initializer_list<Bytes> parts, uint32_t crc) {
  uint64_t length = 0;
  for (Bytes p : parts) length += p.size();
  const uint64_t start = out.size();
  uint8_t* r = out.extend(kRecordPrefix + length);
  RecordPrefix{static_cast<uint32_t>(length), crc}.encode_to(r);
  r += kRecordPrefix;
  for (Bytes p : parts) {
    if (!p.empty()) std::memcpy(r, p.data(), p.size());
    r += p.size();
  }
  return start;
}

// One decompression context per thread, made on first use: contexts are not shared, the
// dictionary is.
ZSTD_DCtx* thread_context() {
  struct Holder {
    ZSTD_DCtx* ctx = nullptr;
    ~Holder() { ZSTD_freeDCtx(ctx); }
  };
  thread_local Holder holder;
  if (holder.ctx == nullptr) {
    holder.ctx = ZSTD_createDCtx();
    if (holder.ctx == nullptr) throw std::bad_alloc();
  }
  return holder.ctx;
}

}  // namespace

const char* codec_name(uint8_t id) {
  return id == static_cast<uint8_t>(Codec::Zstd) ? "zstd" : nullptr;
}

bool compression_level_valid(int level) {
  return level >= ZSTD_minCLevel() && level <= ZSTD_maxCLevel();
}
int min_compression_level() { return ZSTD_minCLevel(); }
int max_compression_level() { return ZSTD_maxCLevel(); }

void DictionaryHeader::encode_to(uint8_t* out) const {
  std::memset(out, 0, kSize);
  std::memcpy(out, kMagic, sizeof kMagic);
  out[8] = kVersion;
  out[9] = codec;
  store_be32(out + 12, dict_length);
  store_be64(out + 16, longest_value);
  store_be64(out + 24, raw_bytes);
  store_be64(out + 32, stored_bytes);
}

uint32_t DictionaryHeader::checksum(Bytes payload) {
  const uint32_t head = crc32(payload.data(), 44);
  return crc32_extend(head, payload.data() + kSize, payload.size() - kSize);
}

bool DictionaryHeader::looks_like(Bytes payload) {
  return payload.size() >= sizeof kMagic && std::memcmp(payload.data(), kMagic, sizeof kMagic) == 0;
}

Result<DictionaryHeader> DictionaryHeader::decode(Bytes payload) {
  if (payload.size() < kSize) {
    return fail(StoreError::corrupt("compression dictionary record is " +
                                    std::to_string(payload.size()) + " bytes, shorter than its " +
                                    std::to_string(kSize) + "-byte header"));
  }
  const uint8_t* p = payload.data();
  if (const uint32_t computed = checksum(payload), stored = load_be32(p + 44);
      computed != stored) {
    return fail(StoreError::corrupt("compression dictionary CRC32 mismatch  stored=" +
                                    crc_hex(stored) + "  computed=" + crc_hex(computed)));
  }
  if (p[8] != kVersion) {
    return fail(StoreError::corrupt("compression dictionary record has version " +
                                    std::to_string(p[8]) + ", which this version cannot read"));
  }
  if (codec_name(p[9]) == nullptr) {
    return fail(StoreError::corrupt("values compressed with codec " + std::to_string(p[9]) +
                                    ", which this version cannot read"));
  }
  DictionaryHeader h;
  h.codec = p[9];
  h.dict_length = load_be32(p + 12);
  h.longest_value = load_be64(p + 16);
  h.raw_bytes = load_be64(p + 24);
  h.stored_bytes = load_be64(p + 32);
  if (h.dict_length != payload.size() - kSize) {
    return fail(StoreError::corrupt("compression dictionary record holds " +
                                    std::to_string(payload.size() - kSize) +
                                    " dictionary bytes, its header says " +
                                    std::to_string(h.dict_length)));
  }
  return h;
}

namespace {

// The records of values [first, last), as one thread compresses them.
struct Slice {
  size_t first = 0;
  size_t last = 0;
  RecordBuffer data;
  std::vector<uint64_t> starts;  // in `data`
  uint64_t stored_bytes = 0;
  uint64_t longest_value = 0;
  bool failed = false;  // out of memory
};

// Sets `cctx` to compress with `cdict`, or at `level` without one. The frame declares its
// size, which bounds the reader's memory; the store's own checksums make the frame's
// redundant, and it has only the store's dictionary.
void set_up(ZSTD_CCtx* cctx, const ZSTD_CDict* cdict, int level) {
  if (cdict != nullptr) {
    ZSTD_CCtx_refCDict(cctx, cdict);
  } else {
    ZSTD_CCtx_setParameter(cctx, ZSTD_c_compressionLevel, level);
  }
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_contentSizeFlag, 1);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_checksumFlag, 0);
  ZSTD_CCtx_setParameter(cctx, ZSTD_c_dictIDFlag, 0);
}

// Puts `value` as stored compressed (the marker, then its frame) into `frame` and returns
// its size; 0 when the value is to stay as it is: too short to gain, or not shrunk by
// compressing. A value that starts with the marker is always compressed, so that the
// first byte of a stored value never misleads.
size_t frame_of(ZSTD_CCtx* cctx, Bytes value, std::vector<uint8_t>& frame) {
  const bool marked = ValueCodec::compressed(value);
  if (!marked && value.size() < kMinFrame) return 0;
  frame.resize(1 + ZSTD_compressBound(value.size()));
  frame[0] = kCompressedMarker;
  const size_t n = ZSTD_compress2(cctx, frame.data() + 1, frame.size() - 1, value.data(),
                                  value.size());
  if (ZSTD_isError(n)) throw std::bad_alloc();  // only memory fails a bounded buffer
  return marked || 1 + n < value.size() ? 1 + n : 0;
}

// Compresses the values of `slice` with `cdict` (or at `level` without one), each into its
// own frame, and appends each value's record to the slice: compressed where that shrinks
// it or where the value starts with the marker, else as it was. Stops early once `stop`
// is set; `progress`, when given, hears of the bytes done now and then and may set it.
void compress_slice(const Staged& staged, const ZSTD_CDict* cdict, int level, Slice& slice,
                    std::atomic<bool>& stop,
                    const std::function<bool(uint64_t)>& progress) noexcept {
  try {
    std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx(ZSTD_createCCtx());
    if (!cctx) throw std::bad_alloc();
    set_up(cctx.get(), cdict, level);
    slice.starts.reserve(slice.last - slice.first);
    std::vector<uint8_t> frame;
    uint64_t done = 0;
    for (size_t id = slice.first; id < slice.last; ++id) {
      const Bytes value = staged.value(id);
      slice.longest_value = std::max<uint64_t>(slice.longest_value, value.size());
      // A value that compressing does not shrink stays as it was, record and all.
      if (const size_t n = frame_of(cctx.get(), value, frame); n != 0) {
        const Bytes stored(frame.data(), n);
        slice.starts.push_back(
            append_record(slice.data, {stored}, crc32(stored.data(), stored.size())));
        slice.stored_bytes += stored.size();
      } else {
        const Bytes record = staged.record(id);
        slice.starts.push_back(slice.data.size());
        std::memcpy(slice.data.extend(record.size()), record.data(), record.size());
        slice.stored_bytes += value.size();
      }
      done += value.size();
      if ((id + 1 - slice.first) % kProgressValues == 0) {
        if (progress && !progress(done)) return;
        if (stop.load(std::memory_order_relaxed)) return;
      }
    }
  } catch (const std::bad_alloc&) {
    slice.failed = true;
    stop = true;
  }
}

}  // namespace

Result<CompressedSection> compress_section(Bytes records, const std::vector<uint64_t>& starts,
                                           const CompressionOptions& options,
                                           const BuildProgress& progress) {
  if (options.codec != Codec::Zstd) {
    return fail(StoreError::invalid("unknown codec " +
                                    std::to_string(static_cast<int>(options.codec))));
  }
  if (!compression_level_valid(options.level)) {
    return fail(StoreError::invalid("compression level " + std::to_string(options.level) +
                                    " is outside zstd's " + std::to_string(ZSTD_minCLevel()) +
                                    " to " + std::to_string(ZSTD_maxCLevel())));
  }
  const Staged staged{records, starts};
  uint64_t total = 0;
  for (size_t id = 0; id < staged.size(); ++id) total += staged.value(id).size();
  if (progress && !progress(BuildPhase::Compress, 0, total)) return fail(StoreError::cancelled());

  const std::vector<uint8_t> dict = train(staged, total, options.level);
  std::unique_ptr<ZSTD_CDict, CDictFree> cdict;
  if (!dict.empty()) {
    cdict.reset(ZSTD_createCDict(dict.data(), dict.size(), options.level));
    if (!cdict) throw std::bad_alloc();
  }

  // Slices of the values in object-ID order, each compressed by a thread of its own into
  // its own records; the section joins them in order, so its bytes do not depend on how
  // many threads there were. Progress (and a cancel) comes from the calling thread only,
  // which compresses the first slice.
  size_t threads = options.threads;
  if (threads == 0) {
    threads = total < kThreadMinBytes ? 1
                                      : std::clamp<size_t>(std::thread::hardware_concurrency(),
                                                           1, kMaxThreads);
  }
  threads = std::min(threads, std::max<size_t>(staged.size(), 1));
  std::vector<Slice> slices(threads);
  uint64_t share = 0;
  size_t next = 0;
  for (size_t t = 0; t < threads; ++t) {
    slices[t].first = next;
    while (next < staged.size() && (t + 1 == threads || share < total / threads * (t + 1))) {
      share += staged.value(next++).size();
    }
    slices[t].last = next;
  }
  std::atomic<bool> stop = false;
  const std::function<bool(uint64_t)> on_progress = [&](uint64_t done) {
    // The first slice stands for all of them.
    if (progress && !progress(BuildPhase::Compress, std::min(done * threads, total), total)) {
      stop = true;
    }
    return !stop;
  };
  {
    std::vector<std::jthread> helpers;
    size_t started = 1;
    try {
      for (; started < threads; ++started) {
        helpers.emplace_back([&, started] {
          compress_slice(staged, cdict.get(), options.level, slices[started], stop, {});
        });
      }
    } catch (const std::system_error&) {
      // No thread to be had: the calling thread compresses the rest after its own.
    }
    compress_slice(staged, cdict.get(), options.level, slices[0], stop, on_progress);
    for (size_t t = started; t < threads; ++t) {
      compress_slice(staged, cdict.get(), options.level, slices[t], stop, on_progress);
    }
  }
  for (const Slice& slice : slices) {
    if (slice.failed) throw std::bad_alloc();
  }
  if (stop) return fail(StoreError::cancelled());

  CompressedSection out;
  out.header.codec = static_cast<uint8_t>(Codec::Zstd);
  out.header.dict_length = static_cast<uint32_t>(dict.size());
  out.header.raw_bytes = total;
  out.starts.reserve(staged.size());
  // The dictionary's record first; its header is written once the values are counted.
  const uint64_t dict_payload = DictionaryHeader::kSize + dict.size();
  uint8_t* dict_record = out.data.extend(kRecordPrefix + dict_payload);
  if (!dict.empty()) {
    std::memcpy(dict_record + kRecordPrefix + DictionaryHeader::kSize, dict.data(), dict.size());
  }
  for (const Slice& slice : slices) {
    const uint64_t base = out.data.size();
    uint8_t* to = out.data.extend(slice.data.size());
    if (slice.data.size() != 0) std::memcpy(to, slice.data.data(), slice.data.size());
    for (uint64_t start : slice.starts) out.starts.push_back(base + start);
    out.header.stored_bytes += slice.stored_bytes;
    out.header.longest_value = std::max(out.header.longest_value, slice.longest_value);
  }
  // The record's buffer may have moved while the values were appended.
  dict_record = out.data.data();
  out.header.encode_to(dict_record + kRecordPrefix);
  store_be32(dict_record + kRecordPrefix + 44,
             DictionaryHeader::checksum(Bytes(dict_record + kRecordPrefix, dict_payload)));
  RecordPrefix{static_cast<uint32_t>(dict_payload),
               crc32(dict_record + kRecordPrefix, dict_payload)}
      .encode_to(dict_record);
  return out;
}

void DictionarySampler::offer(Bytes value, uint32_t crc) {
  total_ += value.size();
  if (value.empty()) return;
  const uint64_t h = sample_hash(crc, value.size());
  const uint64_t cut = sample_cut(total_);
  if (h > cut) return;
  const size_t n = std::min<uint64_t>(value.size(), kSampleMax);
  const auto [first, last] = by_hash_.equal_range(h);
  for (auto it = first; it != last; ++it) {  // a value offered again is one sample
    const Candidate& c = candidates_[it->second];
    if (c.bytes.size() == n && std::memcmp(c.bytes.data(), value.data(), n) == 0) return;
  }
  by_hash_.emplace(h, candidates_.size());
  candidates_.push_back({h, std::vector<uint8_t>(value.begin(), value.begin() + n)});
  held_ += n;
  // The cut only falls as values come: past twice the sample's size, those above it go.
  if (held_ > 2 * dictionary_capacity(total_) * kSampleFactor + kSampleMax) {
    std::erase_if(candidates_, [&](const Candidate& c) { return c.hash > cut; });
    held_ = 0;
    by_hash_.clear();
    for (size_t i = 0; i < candidates_.size(); ++i) {
      held_ += candidates_[i].bytes.size();
      by_hash_.emplace(candidates_[i].hash, i);
    }
  }
}

std::vector<uint8_t> DictionarySampler::train(int level) const {
  const uint64_t cut = sample_cut(std::max<uint64_t>(total_, 1));
  std::vector<const Candidate*> taken;
  for (const Candidate& c : candidates_) {
    if (c.hash <= cut) taken.push_back(&c);
  }
  // In an order that follows from the values alone.
  std::sort(taken.begin(), taken.end(), [](const Candidate* a, const Candidate* b) {
    return a->hash != b->hash ? a->hash < b->hash : a->bytes < b->bytes;
  });
  std::vector<uint8_t> samples;
  std::vector<size_t> sizes;
  for (const Candidate* c : taken) {
    samples.insert(samples.end(), c->bytes.begin(), c->bytes.end());
    sizes.push_back(c->bytes.size());
  }
  return train_on(samples, sizes, total_, level);
}

struct ValueCompressor::Contexts {
  std::unique_ptr<ZSTD_CCtx, CCtxFree> cctx;
  std::unique_ptr<ZSTD_CDict, CDictFree> cdict;
};

ValueCompressor::~ValueCompressor() = default;

Result<std::unique_ptr<ValueCompressor>> ValueCompressor::make(
    const std::vector<uint8_t>& dictionary, int level) {
  if (!compression_level_valid(level)) {
    return fail(StoreError::invalid("compression level " + std::to_string(level) +
                                    " is outside zstd's " + std::to_string(ZSTD_minCLevel()) +
                                    " to " + std::to_string(ZSTD_maxCLevel())));
  }
  std::unique_ptr<ValueCompressor> c(new ValueCompressor());
  c->dictionary_ = dictionary;
  c->contexts_ = std::make_unique<Contexts>();
  c->contexts_->cctx.reset(ZSTD_createCCtx());
  if (!c->contexts_->cctx) throw std::bad_alloc();
  if (!dictionary.empty()) {
    c->contexts_->cdict.reset(ZSTD_createCDict(dictionary.data(), dictionary.size(), level));
    if (!c->contexts_->cdict) throw std::bad_alloc();
  }
  set_up(c->contexts_->cctx.get(), c->contexts_->cdict.get(), level);
  return c;
}

bool ValueCompressor::compress(Bytes value, Bytes* stored) {
  const size_t n = frame_of(contexts_->cctx.get(), value, frame_);
  if (n == 0) return false;
  *stored = Bytes(frame_.data(), n);
  return true;
}

struct ValueCodec::Digest {
  ZSTD_DDict* ddict = nullptr;
  ~Digest() { ZSTD_freeDDict(ddict); }
};

ValueCodec::~ValueCodec() = default;

Result<std::unique_ptr<ValueCodec>> ValueCodec::from_record(Bytes payload) {
  if (!DictionaryHeader::looks_like(payload)) return nullptr;
  auto h = DictionaryHeader::decode(payload);
  if (!h) return fail(std::move(h.error()));
  std::unique_ptr<ValueCodec> codec(new ValueCodec());
  codec->header_ = *h;
  codec->digest_ = std::make_unique<Digest>();
  if (h->dict_length != 0) {
    const Bytes dict = payload.subspan(DictionaryHeader::kSize);
    // A dictionary that is not one of zstd's own (a magic and an ID) would load as plain
    // content, and no build writes such a one.
    if (ZSTD_getDictID_fromDict(dict.data(), dict.size()) == 0) {
      return fail(StoreError::corrupt("compression dictionary is not a zstd dictionary"));
    }
    codec->digest_->ddict = ZSTD_createDDict(dict.data(), dict.size());
    if (codec->digest_->ddict == nullptr) {
      return fail(StoreError::corrupt("compression dictionary is damaged: zstd cannot load it"));
    }
  }
  return codec;
}

Result<uint64_t> ValueCodec::decoded_size(Bytes payload) const {
  const Bytes frame = payload.subspan(1);
  const size_t whole = ZSTD_findFrameCompressedSize(frame.data(), frame.size());
  if (ZSTD_isError(whole) || whole != frame.size()) {
    return fail(StoreError::corrupt("compressed value is not one whole zstd frame"));
  }
  const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
  if (size == ZSTD_CONTENTSIZE_UNKNOWN || size == ZSTD_CONTENTSIZE_ERROR) {
    return fail(StoreError::corrupt("compressed value does not declare its size"));
  }
  if (size > header_.longest_value || size / kMaxExpansion > frame.size()) {
    return fail(StoreError::corrupt(
        "compressed value declares " + std::to_string(size) + " bytes, more than " +
        (size > header_.longest_value
             ? "the store's longest value (" + std::to_string(header_.longest_value) + ")"
             : "its " + std::to_string(frame.size()) + " bytes can hold")));
  }
  return size;
}

Status ValueCodec::decompress(Bytes payload, uint8_t* dst, uint64_t size) const {
  const Bytes frame = payload.subspan(1);
  const size_t got = ZSTD_decompress_usingDDict(thread_context(), dst, size, frame.data(),
                                                frame.size(), digest_->ddict);
  if (ZSTD_isError(got)) return fail(zstd_failure("compressed value is damaged", got));
  if (got != size) {
    return fail(StoreError::corrupt("compressed value gives " + std::to_string(got) +
                                    " bytes, but declares " + std::to_string(size)));
  }
  return {};
}

}  // namespace vornel
