#include "util/crc32.hpp"

#include <array>
#include <cstring>

#if defined(__x86_64__) || defined(__i386__)
#define VORNEL_CRC32_X86 1
#include <immintrin.h>
#endif

// Every kernel works on the raw register: the CRC value with its 0xFFFFFFFF pre- and
// post-inversion undone. Bit i of the register is the coefficient of x^(31-i) of the remainder
// (the reflected convention), and message bytes enter least significant bit first.
//
// The folding kernels view the message as a polynomial M(x) over GF(2) whose first bit is its
// highest coefficient; the register after M is (R·x^|M| + M·x^32) mod P for the register R before
// it. Loaded little-endian, bit j of a 16-byte block is the coefficient of x^(127-j) of that
// block. A block B followed by D more bits of message contributes B·x^D, and B·x^D mod P can be
// replaced by anything congruent to it modulo P: that is what a fold computes, with two
// carry-less products against precomputed x^k mod P.

namespace vornel {
namespace {

// ---- Polynomial arithmetic, used at compile time to derive every constant ------------------

// P(x) = x^32 + x^26 + x^23 + x^22 + x^16 + x^12 + x^11 + x^10 + x^8 + x^7 + x^5 + x^4
//        + x^2 + x + 1
constexpr uint64_t kPoly = 0x104C11DB7;          // bit d = coefficient of x^d
constexpr uint32_t kPolyReflected = 0xEDB88320;  // without x^32; bit i = coefficient of x^(31-i)

constexpr uint64_t reflect(uint64_t v, int bits) {
  uint64_t r = 0;
  for (int i = 0; i < bits; ++i) r |= ((v >> i) & 1) << (bits - 1 - i);
  return r;
}

// x^e mod P, bit d = coefficient of x^d.
constexpr uint32_t xpow_mod(unsigned e) {
  uint64_t r = 1;
  for (unsigned i = 0; i < e; ++i) {
    r <<= 1;
    if (r >> 32) r ^= kPoly;
  }
  return static_cast<uint32_t>(r);
}

// floor(x^64 / P), bit d = coefficient of x^d (degree 32).
constexpr uint64_t barrett_quotient() {
  uint64_t window = uint64_t{1} << 32;  // coefficients x^d .. x^(d-32) of what remains of x^64
  uint64_t q = 0;
  for (int d = 64; d >= 32; --d) {
    if (window >> 32) {
      q |= uint64_t{1} << (d - 32);
      window ^= kPoly;
    }
    window <<= 1;
  }
  return q;
}

struct U128 {
  uint64_t hi, lo;
};

constexpr U128 clmul_ref(uint64_t a, uint64_t b) {
  U128 r{0, 0};
  for (int i = 0; i < 64; ++i) {
    if ((b >> i) & 1) {
      r.lo ^= a << i;
      if (i) r.hi ^= a >> (64 - i);
    }
  }
  return r;
}

// The quotient is right when x^64 - q·P has degree below 32.
static_assert(clmul_ref(barrett_quotient(), kPoly).hi == 1 &&
              (clmul_ref(barrett_quotient(), kPoly).lo >> 32) == 0);
static_assert(reflect(kPoly, 33) == ((uint64_t{kPolyReflected} << 1) | 1));

// ---- Table kernel (slice-by-8) ---------------------------------------------------------------

using Tables = std::array<std::array<uint32_t, 256>, 8>;

// tables[k][b]: register contribution of byte b followed by k zero bytes.
constexpr Tables make_tables() {
  Tables t{};
  for (uint32_t b = 0; b < 256; ++b) {
    uint32_t c = b;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPolyReflected : c >> 1;
    t[0][b] = c;
  }
  for (size_t k = 1; k < 8; ++k)
    for (size_t b = 0; b < 256; ++b) t[k][b] = (t[k - 1][b] >> 8) ^ t[0][t[k - 1][b] & 0xFF];
  return t;
}

constexpr Tables kTables = make_tables();

constexpr uint32_t load_le32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

constexpr uint32_t table_update(uint32_t reg, const uint8_t* p, size_t n) {
  for (; n >= 8; p += 8, n -= 8) {
    const uint32_t a = load_le32(p) ^ reg;
    const uint32_t b = load_le32(p + 4);
    reg = kTables[7][a & 0xFF] ^ kTables[6][(a >> 8) & 0xFF] ^ kTables[5][(a >> 16) & 0xFF] ^
          kTables[4][a >> 24] ^ kTables[3][b & 0xFF] ^ kTables[2][(b >> 8) & 0xFF] ^
          kTables[1][(b >> 16) & 0xFF] ^ kTables[0][b >> 24];
  }
  for (; n > 0; ++p, --n) reg = kTables[0][(reg ^ *p) & 0xFF] ^ (reg >> 8);
  return reg;
}

constexpr uint32_t table_crc(const char* s, size_t n) {
  std::array<uint8_t, 64> bytes{};
  for (size_t i = 0; i < n; ++i) bytes[i] = static_cast<uint8_t>(s[i]);
  return ~table_update(~0u, bytes.data(), n);
}
static_assert(table_crc("123456789", 9) == 0xCBF43926);
static_assert(table_crc("", 0) == 0);

#ifdef VORNEL_CRC32_X86

// ---- Folding constants -----------------------------------------------------------------------
//
// A carry-less product of two 64-bit halves whose bit j stands for x^(63-j) has bit m standing for
// x^(126-m): read as a 128-bit block (bit m for x^(127-m)) it is the product times x. A constant
// meant to multiply by x^e is therefore stored as x^(e-1) mod P, bit (63-d) for x^d.
constexpr uint64_t fold_constant(unsigned e) { return reflect(xpow_mod(e - 1), 32) << 32; }

// Multipliers that move a 16-byte block forward by `bits` message bits: the low half (the high
// coefficients) needs x^(bits+64), the high half x^bits.
struct FoldPair {
  uint64_t lo, hi;
};
constexpr FoldPair fold_pair(unsigned bits) {
  return {fold_constant(bits + 64), fold_constant(bits)};
}

constexpr FoldPair kFold128 = fold_pair(128);
constexpr FoldPair kFold256 = fold_pair(256);
constexpr FoldPair kFold384 = fold_pair(384);
constexpr FoldPair kFold512 = fold_pair(512);
constexpr FoldPair kFold768 = fold_pair(768);
constexpr FoldPair kFold1024 = fold_pair(1024);
constexpr FoldPair kFold1536 = fold_pair(1536);
constexpr FoldPair kFold2048 = fold_pair(2048);

// Final reduction: x^96 for the high half of the last block, then x^64 for what is left above 64
// bits; Barrett's quotient and P itself as 33-bit reflected values (bit k for x^(32-k)).
constexpr FoldPair kReduce = {fold_constant(96), fold_constant(64)};
constexpr uint64_t kMu33 = reflect(barrett_quotient(), 33);
constexpr uint64_t kPoly33 = reflect(kPoly, 33);

// ---- PCLMULQDQ kernel ------------------------------------------------------------------------

#define VORNEL_TARGET_CLMUL __attribute__((target("pclmul,sse4.1")))
#define VORNEL_TARGET_CLMUL256 __attribute__((target("pclmul,sse4.1,avx2,vpclmulqdq")))
#define VORNEL_TARGET_CLMUL512 \
  __attribute__((target("pclmul,sse4.1,avx512f,avx512vl,vpclmulqdq")))

constexpr size_t kClmulMin = 64;      // four 16-byte lanes
constexpr size_t kShortMax = 256;     // below this one lane, without the setup of four
constexpr size_t kClmul256Min = 256;  // four 32-byte lanes, twice over; shorter goes to kClmul
constexpr size_t kClmul512Min = 256;  // four 64-byte lanes; shorter input goes to kClmul
static_assert(kShortMax >= kClmulMin, "the four-lane path takes whole lanes");

// Buffers larger than the caches stream from memory, and the hardware prefetchers stop at every
// 4 KiB page; asking for the lines this far ahead keeps the kernels near the read bandwidth.
constexpr size_t kPrefetchAhead = 2048;

// Prefetches kPrefetchAhead bytes past p when that is still inside the n bytes from p:
// an address past the buffer is never formed.
VORNEL_TARGET_CLMUL inline void prefetch(const uint8_t* p, size_t n) {
  if (n > kPrefetchAhead) _mm_prefetch(reinterpret_cast<const char*>(p + kPrefetchAhead), _MM_HINT_T0);
}

VORNEL_TARGET_CLMUL inline __m128i constants(FoldPair k) {
  return _mm_set_epi64x(static_cast<long long>(k.hi), static_cast<long long>(k.lo));
}

VORNEL_TARGET_CLMUL inline __m128i load128(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// acc·x^d + next, where k holds the multipliers for distance d.
VORNEL_TARGET_CLMUL inline __m128i fold(__m128i acc, __m128i k, __m128i next) {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(acc, k, 0x00), _mm_clmulepi64_si128(acc, k, 0x11)), next);
}

// The register after a message whose last 16 bytes are congruent (mod P) to `block`: the
// remainder of block·x^32.
VORNEL_TARGET_CLMUL uint32_t reduce(__m128i block) {
  const __m128i k = constants(kReduce);
  // Low half times x^96, plus the high half times x^32: degree below 96, so bits 0..31 are zero.
  __m128i r = _mm_xor_si128(_mm_clmulepi64_si128(block, k, 0x00),
                            _mm_slli_si128(_mm_srli_si128(block, 8), 4));
  // Coefficients 64..95 (bits 32..63) times x^64, onto the rest: degree below 64, in the high half.
  r = _mm_xor_si128(_mm_clmulepi64_si128(r, k, 0x10), r);
  // Barrett: A mod P = (A + floor(floor(A / x^32)·mu / x^32)·P) mod x^32.
  const __m128i low32 = _mm_set_epi64x(0, 0xFFFFFFFF);
  const __m128i mu_p =
      _mm_set_epi64x(static_cast<long long>(kPoly33), static_cast<long long>(kMu33));
  const __m128i a = _mm_srli_si128(r, 8);
  const __m128i t1 = _mm_clmulepi64_si128(_mm_and_si128(a, low32), mu_p, 0x00);
  const __m128i t2 = _mm_clmulepi64_si128(_mm_and_si128(t1, low32), mu_p, 0x10);
  return static_cast<uint32_t>(_mm_extract_epi32(_mm_xor_si128(a, t2), 1));
}

// pshufb controls that move a block by whole bytes: the 16 bytes at kShuffle + 16 - s shift
// it s bytes later in memory order, those at kShuffle + 16 + s shift it s bytes earlier; the
// bytes shifted in are zero (a control byte with its top bit set).
alignas(16) constexpr uint8_t kShuffle[48] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,   11,   12,   13,   14,   15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

VORNEL_TARGET_CLMUL inline __m128i shuffle_control(size_t at) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(kShuffle + at));
}

// The register after a message that ends with the r < 16 bytes before `end`, given x, a block
// congruent to everything before those bytes, and at least 16 bytes of input before `end`.
VORNEL_TARGET_CLMUL uint32_t reduce_with_tail(__m128i x, const uint8_t* end, size_t r) {
  if (r != 0) {
    // x‖tail = (first r bytes of x)·x^128 + (last 16 - r bytes of x)‖tail, the tail taken from
    // the input's last 16 bytes, loaded whole.
    const __m128i last = load128(end - 16);
    const __m128i head = _mm_shuffle_epi8(x, shuffle_control(r));       // later by 16 - r
    const __m128i rest = _mm_shuffle_epi8(x, shuffle_control(16 + r));  // earlier by r
    const __m128i keep = _mm_shuffle_epi8(_mm_set1_epi8(-1), shuffle_control(r));
    x = fold(head, constants(kFold128), _mm_or_si128(rest, _mm_and_si128(last, keep)));
  }
  return reduce(x);
}

// Short input (4 to 63 bytes, the size of small records): one 16-byte lane and no setup, the
// partial last block folded by shifting instead of byte by byte: a short straight run that the
// CPU overlaps with the next record's.
VORNEL_TARGET_CLMUL uint32_t clmul_short(uint32_t reg, const uint8_t* p, size_t n) {
  const __m128i start = _mm_cvtsi32_si128(static_cast<int>(reg));
  if (n < 16) {
    // The n bytes at the end of a zeroed block; the register goes onto the first of them.
    alignas(16) uint8_t block[16] = {};
    std::memcpy(block + 16 - n, p, n);
    const __m128i x = _mm_load_si128(reinterpret_cast<const __m128i*>(block));
    return reduce(_mm_xor_si128(x, _mm_shuffle_epi8(start, shuffle_control(n))));
  }
  __m128i x = _mm_xor_si128(load128(p), start);
  const __m128i k128 = constants(kFold128);
  const uint8_t* end = p + n;
  for (p += 16; end - p >= 16; p += 16) x = fold(x, k128, load128(p));
  return reduce_with_tail(x, end, static_cast<size_t>(end - p));
}

VORNEL_TARGET_CLMUL uint32_t clmul_update(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < kShortMax) return n < 4 ? table_update(reg, p, n) : clmul_short(reg, p, n);
  __m128i x0 = _mm_xor_si128(load128(p), _mm_cvtsi32_si128(static_cast<int>(reg)));
  __m128i x1 = load128(p + 16);
  __m128i x2 = load128(p + 32);
  __m128i x3 = load128(p + 48);
  p += 64;
  n -= 64;
  const __m128i k512 = constants(kFold512);
  for (; n >= 64; p += 64, n -= 64) {
    prefetch(p, n);
    x0 = fold(x0, k512, load128(p));
    x1 = fold(x1, k512, load128(p + 16));
    x2 = fold(x2, k512, load128(p + 32));
    x3 = fold(x3, k512, load128(p + 48));
  }
  x3 = fold(x0, constants(kFold384), x3);
  x3 = fold(x1, constants(kFold256), x3);
  const __m128i k128 = constants(kFold128);
  x3 = fold(x2, k128, x3);
  for (; n >= 16; p += 16, n -= 16) x3 = fold(x3, k128, load128(p));
  return reduce_with_tail(x3, p + n, n);
}

VORNEL_TARGET_CLMUL void clmul_each(Crc32Job* jobs, size_t n) {
  for (size_t i = 0; i < n; ++i) jobs[i].crc = ~clmul_update(~0u, jobs[i].data, jobs[i].size);
}

// ---- VPCLMULQDQ kernel on AVX2 registers ------------------------------------------------------

VORNEL_TARGET_CLMUL256 inline __m256i load256(const uint8_t* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

VORNEL_TARGET_CLMUL256 inline __m256i fold(__m256i acc, __m256i k, __m256i next) {
  return _mm256_xor_si256(
      _mm256_xor_si256(_mm256_clmulepi64_epi128(acc, k, 0x00),
                       _mm256_clmulepi64_epi128(acc, k, 0x11)),
      next);
}

VORNEL_TARGET_CLMUL256 inline __m256i constants256(FoldPair k) {
  const auto lo = static_cast<long long>(k.lo), hi = static_cast<long long>(k.hi);
  return _mm256_set_epi64x(hi, lo, hi, lo);
}

VORNEL_TARGET_CLMUL256 uint32_t clmul256_update(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < kClmul256Min) return clmul_update(reg, p, n);
  __m256i z0 = _mm256_xor_si256(load256(p),
                                _mm256_zextsi128_si256(_mm_cvtsi32_si128(static_cast<int>(reg))));
  __m256i z1 = load256(p + 32);
  __m256i z2 = load256(p + 64);
  __m256i z3 = load256(p + 96);
  p += 128;
  n -= 128;
  const __m256i k1024 = constants256(kFold1024);
  for (; n >= 128; p += 128, n -= 128) {
    prefetch(p, n);
    prefetch(p + 64, n - 64);
    z0 = fold(z0, k1024, load256(p));
    z1 = fold(z1, k1024, load256(p + 32));
    z2 = fold(z2, k1024, load256(p + 64));
    z3 = fold(z3, k1024, load256(p + 96));
  }
  z3 = fold(z0, constants256(kFold768), z3);
  z3 = fold(z1, constants256(kFold512), z3);
  const __m256i k256 = constants256(kFold256);
  z3 = fold(z2, k256, z3);
  for (; n >= 32; p += 32, n -= 32) z3 = fold(z3, k256, load256(p));

  // The two 16-byte lanes of z3, earlier first, into one.
  const __m128i k128 = constants(kFold128);
  __m128i x = fold(_mm256_castsi256_si128(z3), k128, _mm256_extracti128_si256(z3, 1));
  for (; n >= 16; p += 16, n -= 16) x = fold(x, k128, load128(p));
  return reduce_with_tail(x, p + n, n);
}

// ---- Many short inputs side by side, on AVX2 registers -----------------------------------------
//
// One short input is a chain of dependent folds and a reduction. Its cost is the latency of
// the chain, and then the multiplier's throughput: one 16-byte lane per instruction uses half
// of what VPCLMULQDQ on 32-byte registers does. So inputs with the same number of whole
// 16-byte blocks go through in groups of eight, two to a register, four registers in step.
//
// Each input is read as aligned to its end: a head of size % 16 bytes, placed at the end of a
// zeroed block, then the whole blocks. The preset register enters as a 32-bit message prefix,
// which may straddle the head and the first whole block; with the register starting at zero,
// the zeros in front of the head add nothing, so every input of a group takes the same steps.

constexpr size_t kGroup = 8;
constexpr size_t kGroupPairs = kGroup / 2;

VORNEL_TARGET_CLMUL256 inline __m256i load_pair(const uint8_t* lo, const uint8_t* hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(load128(lo)), load128(hi), 1);
}

VORNEL_TARGET_CLMUL256 inline __m256i control_pair(size_t lo, size_t hi) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(shuffle_control(lo)),
                                 shuffle_control(hi), 1);
}

// The kGroup jobs, each with `blocks` whole blocks (1 to 15).
VORNEL_TARGET_CLMUL256 void clmul256_group(Crc32Job* const* group, size_t blocks) {
  const __m256i k128 = constants256(kFold128);
  const __m256i preset = _mm256_set_epi32(0, 0, 0, -1, 0, 0, 0, -1);
  __m256i x[kGroupPairs];
  const uint8_t* lo[kGroupPairs];  // each pair's first whole blocks
  const uint8_t* hi[kGroupPairs];
  for (size_t j = 0; j < kGroupPairs; ++j) {
    const Crc32Job& a = *group[2 * j];
    const Crc32Job& b = *group[2 * j + 1];
    const size_t ra = a.size % 16, rb = b.size % 16;
    // The head, with the preset's first bytes, moved to the end of its block; the preset's
    // remaining bytes onto the first whole block.
    const __m256i head =
        _mm256_shuffle_epi8(_mm256_xor_si256(load_pair(a.data, b.data), preset),
                            control_pair(ra, rb));
    lo[j] = a.data + ra;
    hi[j] = b.data + rb;
    const __m256i first = _mm256_xor_si256(
        load_pair(lo[j], hi[j]), _mm256_shuffle_epi8(preset, control_pair(16 + ra, 16 + rb)));
    x[j] = fold(head, k128, first);
  }
  for (size_t at = 16; at < blocks * 16; at += 16) {
    for (size_t j = 0; j < kGroupPairs; ++j) {
      x[j] = fold(x[j], k128, load_pair(lo[j] + at, hi[j] + at));
    }
  }
  // reduce() on both halves of every register.
  const __m256i kr = constants256(kReduce);
  const __m256i low32 = _mm256_set_epi64x(0, 0xFFFFFFFF, 0, 0xFFFFFFFF);
  const auto mu = static_cast<long long>(kMu33), poly = static_cast<long long>(kPoly33);
  const __m256i mu_p = _mm256_set_epi64x(poly, mu, poly, mu);
  for (size_t j = 0; j < kGroupPairs; ++j) {
    x[j] = _mm256_xor_si256(_mm256_clmulepi64_epi128(x[j], kr, 0x00),
                            _mm256_slli_si256(_mm256_srli_si256(x[j], 8), 4));
  }
  for (size_t j = 0; j < kGroupPairs; ++j) {
    x[j] = _mm256_srli_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(x[j], kr, 0x10), x[j]), 8);
  }
  __m256i t[kGroupPairs];
  for (size_t j = 0; j < kGroupPairs; ++j) {
    t[j] = _mm256_clmulepi64_epi128(_mm256_and_si256(x[j], low32), mu_p, 0x00);
  }
  for (size_t j = 0; j < kGroupPairs; ++j) {
    t[j] = _mm256_clmulepi64_epi128(_mm256_and_si256(t[j], low32), mu_p, 0x10);
  }
  for (size_t j = 0; j < kGroupPairs; ++j) {
    const __m256i reg = _mm256_xor_si256(x[j], t[j]);
    group[2 * j]->crc = ~static_cast<uint32_t>(_mm256_extract_epi32(reg, 1));
    group[2 * j + 1]->crc = ~static_cast<uint32_t>(_mm256_extract_epi32(reg, 5));
  }
}

// Jobs of 16 to 255 bytes wait in a group by their number of whole blocks; the rest, and groups
// that stay short, go one by one. A group of at least kGroupMinFill fills up with repeats of
// its last job, which is cheaper than taking its jobs singly.
constexpr size_t kGroupMinFill = 3;

VORNEL_TARGET_CLMUL256 void clmul256_each(Crc32Job* jobs, size_t n) {
  constexpr size_t kClasses = kShortMax / 16;
  Crc32Job* waiting[kClasses][kGroup];
  size_t count[kClasses] = {};
  for (size_t i = 0; i < n; ++i) {
    Crc32Job& job = jobs[i];
    const size_t blocks = job.size / 16;
    if (blocks == 0 || blocks >= kClasses) {
      job.crc = ~clmul_update(~0u, job.data, job.size);
      continue;
    }
    waiting[blocks][count[blocks]++] = &job;
    if (count[blocks] == kGroup) {
      clmul256_group(waiting[blocks], blocks);
      count[blocks] = 0;
    }
  }
  for (size_t blocks = 1; blocks < kClasses; ++blocks) {
    const size_t c = count[blocks];
    if (c >= kGroupMinFill) {
      for (size_t k = c; k < kGroup; ++k) waiting[blocks][k] = waiting[blocks][c - 1];
      clmul256_group(waiting[blocks], blocks);
    } else {
      for (size_t k = 0; k < c; ++k) {
        Crc32Job& job = *waiting[blocks][k];
        job.crc = ~clmul_update(~0u, job.data, job.size);
      }
    }
  }
}

// ---- VPCLMULQDQ kernel -----------------------------------------------------------------------

VORNEL_TARGET_CLMUL512 inline __m512i load512(const uint8_t* p) {
  return _mm512_loadu_si512(p);
}

VORNEL_TARGET_CLMUL512 inline __m512i fold(__m512i acc, __m512i k, __m512i next) {
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(acc, k, 0x00),
                                   _mm512_clmulepi64_epi128(acc, k, 0x11), next, 0x96);  // a^b^c
}

VORNEL_TARGET_CLMUL512 inline __m512i constants512(FoldPair k) {
  const auto lo = static_cast<long long>(k.lo), hi = static_cast<long long>(k.hi);
  return _mm512_set_epi64(hi, lo, hi, lo, hi, lo, hi, lo);
}

// 16-byte lane i of z (the maskz form: the plain one trips -Wmaybe-uninitialized in GCC 12).
template <int I>
VORNEL_TARGET_CLMUL512 inline __m128i lane(__m512i z) {
  return _mm512_maskz_extracti32x4_epi32(0xF, z, I);
}

VORNEL_TARGET_CLMUL512 uint32_t clmul512_update(uint32_t reg, const uint8_t* p, size_t n) {
  if (n < kClmul512Min) return clmul_update(reg, p, n);
  __m512i z0 = _mm512_xor_si512(load512(p),
                                _mm512_zextsi128_si512(_mm_cvtsi32_si128(static_cast<int>(reg))));
  __m512i z1 = load512(p + 64);
  __m512i z2 = load512(p + 128);
  __m512i z3 = load512(p + 192);
  p += 256;
  n -= 256;
  const __m512i k2048 = constants512(kFold2048);
  for (; n >= 256; p += 256, n -= 256) {
    for (size_t line = 0; line < 256; line += 64) prefetch(p + line, n - line);
    z0 = fold(z0, k2048, load512(p));
    z1 = fold(z1, k2048, load512(p + 64));
    z2 = fold(z2, k2048, load512(p + 128));
    z3 = fold(z3, k2048, load512(p + 192));
  }
  z3 = fold(z0, constants512(kFold1536), z3);
  z3 = fold(z1, constants512(kFold1024), z3);
  const __m512i k512 = constants512(kFold512);
  z3 = fold(z2, k512, z3);
  for (; n >= 64; p += 64, n -= 64) z3 = fold(z3, k512, load512(p));

  // The four 16-byte lanes of z3, earliest first, into one.
  __m128i x = lane<3>(z3);
  x = fold(lane<0>(z3), constants(kFold384), x);
  x = fold(lane<1>(z3), constants(kFold256), x);
  const __m128i k128 = constants(kFold128);
  x = fold(lane<2>(z3), k128, x);
  for (; n >= 16; p += 16, n -= 16) x = fold(x, k128, load128(p));
  return table_update(reduce(x), p, n);
}

#endif  // VORNEL_CRC32_X86

// ---- Selection -------------------------------------------------------------------------------

using UpdateFn = uint32_t (*)(uint32_t reg, const uint8_t* p, size_t n);
using EachFn = void (*)(Crc32Job* jobs, size_t n);

void table_each(Crc32Job* jobs, size_t n) {
  for (size_t i = 0; i < n; ++i) jobs[i].crc = ~table_update(~0u, jobs[i].data, jobs[i].size);
}

bool supported(Crc32Kernel kernel) {
  switch (kernel) {
    case Crc32Kernel::Table:
      return true;
#ifdef VORNEL_CRC32_X86
    case Crc32Kernel::Clmul:
      __builtin_cpu_init();  // may run before the runtime's own constructors
      return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse4.1");
    case Crc32Kernel::Clmul256:
      return supported(Crc32Kernel::Clmul) && __builtin_cpu_supports("avx2") &&
             __builtin_cpu_supports("vpclmulqdq");
    case Crc32Kernel::Clmul512:
      return supported(Crc32Kernel::Clmul) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("vpclmulqdq");
#else
    case Crc32Kernel::Clmul:
    case Crc32Kernel::Clmul256:
    case Crc32Kernel::Clmul512:
      return false;
#endif
  }
  return false;
}

UpdateFn update_fn(Crc32Kernel kernel) {
  if (!crc32_kernel_supported(kernel)) return table_update;
  switch (kernel) {
#ifdef VORNEL_CRC32_X86
    case Crc32Kernel::Clmul:
      return clmul_update;
    case Crc32Kernel::Clmul256:
      return clmul256_update;
    case Crc32Kernel::Clmul512:
      return clmul512_update;
#endif
    default:
      return table_update;
  }
}

EachFn each_fn(Crc32Kernel kernel) {
#ifdef VORNEL_CRC32_X86
  if (kernel == Crc32Kernel::Table || !crc32_kernel_supported(kernel)) return table_each;
  // Groups of short inputs run on 32-byte registers whatever the widest kernel is.
  return crc32_kernel_supported(Crc32Kernel::Clmul256) && kernel != Crc32Kernel::Clmul
             ? clmul256_each
             : clmul_each;
#else
  (void)kernel;
#endif
  return table_each;
}

Crc32Kernel best_kernel() {
  for (Crc32Kernel k : {Crc32Kernel::Clmul512, Crc32Kernel::Clmul256, Crc32Kernel::Clmul})
    if (crc32_kernel_supported(k)) return k;
  return Crc32Kernel::Table;
}

// a·b mod P, reflected: bit 31 is the coefficient of x^0.
constexpr uint32_t multiply_mod(uint32_t a, uint32_t b) {
  uint32_t product = 0;
  for (uint32_t m = uint32_t{1} << 31; m != 0; m >>= 1) {
    if (a & m) product ^= b;
    b = (b & 1) ? (b >> 1) ^ kPolyReflected : b >> 1;
  }
  return product;
}

// x^(2^k) mod P for k in [0, 32), reflected: squared from x^1.
constexpr std::array<uint32_t, 32> kSquarings = [] {
  std::array<uint32_t, 32> t{};
  uint32_t p = uint32_t{1} << 30;
  for (uint32_t& x : t) {
    x = p;
    p = multiply_mod(p, p);
  }
  return t;
}();
// Squaring x^(2^31) gives x again: the squarings repeat with period 32, whatever the length.
static_assert(multiply_mod(kSquarings[31], kSquarings[31]) == kSquarings[0]);

}  // namespace

uint32_t crc32_combine(uint32_t crc_a, uint32_t crc_b, uint64_t length_b) {
  // A's CRC moves past B's bits: times x^(8·length_b) mod P, by squarings.
  uint32_t shift = uint32_t{1} << 31;
  for (unsigned k = 3; length_b != 0; length_b >>= 1, k = (k + 1) % 32) {
    if (length_b & 1) shift = multiply_mod(kSquarings[k], shift);
  }
  return multiply_mod(shift, crc_a) ^ crc_b;
}

bool crc32_kernel_supported(Crc32Kernel kernel) {
  static const std::array<bool, std::size(kAllCrc32Kernels)> answers = [] {
    std::array<bool, std::size(kAllCrc32Kernels)> a{};
    for (size_t i = 0; i < a.size(); ++i) a[i] = supported(kAllCrc32Kernels[i]);
    return a;
  }();
  const auto i = static_cast<size_t>(kernel);
  return i < answers.size() && answers[i];
}

Crc32Kernel crc32_active_kernel() {
  static const Crc32Kernel active = best_kernel();
  return active;
}

uint32_t crc32_extend(uint32_t crc, const uint8_t* data, size_t n) {
  static const UpdateFn active = update_fn(crc32_active_kernel());
  return ~active(~crc, data, n);
}

uint32_t crc32_extend_with(Crc32Kernel kernel, uint32_t crc, const uint8_t* data, size_t n) {
  return ~update_fn(kernel)(~crc, data, n);
}

void crc32_each(Crc32Job* jobs, size_t n) {
  static const EachFn active = each_fn(crc32_active_kernel());
  active(jobs, n);
}

void crc32_each_with(Crc32Kernel kernel, Crc32Job* jobs, size_t n) { each_fn(kernel)(jobs, n); }

std::string_view crc32_kernel_name(Crc32Kernel kernel) {
  switch (kernel) {
    case Crc32Kernel::Table:
      return "table";
    case Crc32Kernel::Clmul:
      return "pclmul";
    case Crc32Kernel::Clmul256:
      return "vpclmul256";
    case Crc32Kernel::Clmul512:
      return "vpclmul512";
  }
  return "unknown";
}

}  // namespace vornel
