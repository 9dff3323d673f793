// The persisted key table against the in-memory index, on one store per size, measured in
// the same run: build time with and without the table, open time, the private memory a
// reader holds after open and 20,000 lookups, lookups, ordered searches and a scan.
//
//   key_table_bench [KEYS...]                default: 1000000 10000000
//   key_table_bench --table-only KEYS...     e.g. 100000000: the table's figures alone
//
// Keys are "user:" and 16 random hexadecimal digits, values 20 to 59 bytes. Contenders
// take turns for a few trials and each one's best counts. Builds and opens are timed by
// the wall clock; queries by this thread's CPU time, which a machine shared with other
// work disturbs less. Prints figures and ratios to the in-memory index; never judges.
#include <sys/stat.h>

#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "read/reader.hpp"
#include "store_words.hpp"
#include "write/writer.hpp"

namespace {

using vornel::Bytes;
using vornel::Reader;
using Clock = std::chrono::steady_clock;

constexpr int kBuildTrials = 4;
constexpr int kQueryTrials = 15;
// Each trial of each contender draws its own probes, so that none finds the records of
// another's in the cache.
constexpr size_t kLookups = 40000;   // per trial
constexpr size_t kSearches = 10000;  // per trial
constexpr size_t kMemoryLookups = 20000;
constexpr size_t kKeyLen = 21;

uint64_t sink = 0;  // results go here and are printed, so that nothing is optimised away

double seconds_since(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double thread_seconds() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

// The best of `trials` runs of each contender, taking turns, by `clock`. A contender is
// told which run of all it is, 0, 1, 2 ...
using Contender = std::function<void(size_t run)>;
std::vector<double> best_of(const std::vector<Contender>& contenders, int trials,
                            double (*clock)()) {
  std::vector<double> best(contenders.size(), 1e300);
  size_t run = 0;
  for (int t = 0; t < trials; ++t) {
    for (size_t c = 0; c < contenders.size(); ++c) {
      const double start = clock();
      contenders[c](run++);
      best[c] = std::min(best[c], clock() - start);
    }
  }
  return best;
}

double wall_seconds() {
  return std::chrono::duration<double>(Clock::now().time_since_epoch()).count();
}

std::vector<double> best_wall(const std::vector<Contender>& contenders) {
  return best_of(contenders, kBuildTrials, wall_seconds);
}
std::vector<double> best_cpu(const std::vector<Contender>& contenders) {
  return best_of(contenders, kQueryTrials, thread_seconds);
}

// Anonymous memory of this process in bytes: what no other process can share.
uint64_t anonymous_bytes() {
  std::ifstream in("/proc/self/smaps_rollup");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("Anonymous:", 0) == 0) return std::stoull(line.substr(10)) * 1024;
  }
  return 0;
}

struct Store {
  std::string keys;  // kKeyLen bytes each, back to back
  size_t n = 0;
  Bytes key(size_t i) const {
    return {reinterpret_cast<const uint8_t*>(keys.data()) + i * kKeyLen, kKeyLen};
  }
};

Store make_keys(size_t n) {
  Store s;
  s.n = n;
  s.keys.resize(n * kKeyLen);
  std::mt19937_64 rng(n);
  char buf[kKeyLen + 1];
  for (size_t i = 0; i < n; ++i) {
    std::snprintf(buf, sizeof buf, "user:%016llx", static_cast<unsigned long long>(rng()));
    std::memcpy(s.keys.data() + i * kKeyLen, buf, kKeyLen);
  }
  return s;
}

void stage(vornel::Writer& w, const Store& s) {
  std::mt19937 rng(7);
  std::string value;
  for (size_t i = 0; i < s.n; ++i) {
    value.assign(20 + rng() % 40, static_cast<char>('a' + i % 26));
    const Bytes v(reinterpret_cast<const uint8_t*>(value.data()), value.size());
    if (!w.add_key(s.key(i), w.add_object(v))) std::abort();
  }
}

std::unique_ptr<Reader> open(const std::string& path, bool table) {
  auto r = Reader::open(path, false, vornel::OpenOptions{table});
  if (!r) {
    std::fprintf(stderr, "%s\n", vornel::text_of(r.error()).c_str());
    std::exit(1);
  }
  return std::move(*r);
}

// Looks up keys[order[first + i]] for i below count and copies each payload out, as a
// decoded read does. Chained, each key waits for the payload before it, as calls from an
// interpreter do; otherwise the processor may overlap consecutive lookups.
void lookups(const Reader& r, const Store& s, const std::vector<uint32_t>& order, size_t first,
             size_t count, bool chained) {
  uint8_t buf[128] = {};
  for (size_t i = first; i < first + count; ++i) {
    const size_t next = chained && buf[0] == 0 ? i + 1 : i;  // never 0: a value's first byte
    const auto payload = r.get(s.key(order[next % order.size()]));
    if (!payload || !*payload || !vornel::copy_out(buf, **payload)) std::abort();
    sink += buf[0];
  }
}

// The first 10 keys at or after a 9-byte prefix of a random key, as a prefix scan starts.
void ordered_searches(const Reader& r, const Store& s, const std::vector<uint32_t>& order,
                      size_t first) {
  Bytes keys[10];
  for (size_t i = first; i < first + kSearches; ++i) {
    const auto first = r.lower_bound(s.key(order[i]).first(9));
    if (!first) std::abort();
    const size_t n = std::min<size_t>(10, r.size() - *first);
    if (!r.locate_keys(*first, n, keys)) std::abort();
    sink += n ? keys[0][8] : 0;
  }
}

// Every key and payload in key order, a block at a time.
void scan(const Reader& r) {
  constexpr size_t kBlock = 256;
  Bytes keys[kBlock];
  Bytes payloads[kBlock];
  for (size_t i = 0; i < r.size(); i += kBlock) {
    const size_t n = std::min(kBlock, r.size() - i);
    if (!r.locate_items(i, n, keys, payloads)) std::abort();
    sink += keys[n - 1][5] + payloads[n - 1].size();
  }
}

void run(size_t n) {
  const Store s = make_keys(n);
  const std::string path = "/tmp/vornel-key-table-bench.vrnl";
  uint64_t file_size = 0;
  double build_plain, build_table, build_plain_cpu, build_table_cpu;
  {
    vornel::Writer w;
    stage(w, s);
    vornel::BuildOptions with_table;
    with_table.key_table = true;
    // By the wall clock, writing and fsync included; by this thread's CPU time, which
    // leaves out the waits for the disk that a shared machine makes erratic.
    const std::vector<Contender> builds = {[&](size_t) {
                                             if (!w.build(path)) std::abort();
                                           },
                                           [&](size_t) {
                                             const auto report = w.build(path, with_table);
                                             if (!report || !report->key_table) std::abort();
                                             file_size = report->file_size;
                                           }};
    const auto wall = best_wall(builds);
    const auto cpu = best_of(builds, kBuildTrials, thread_seconds);
    build_plain = wall[0];
    build_table = wall[1];
    build_plain_cpu = cpu[0];
    build_table_cpu = cpu[1];
  }

  // Open, then private memory after open and 20,000 lookups, each reader on its own.
  std::mt19937 rng(3);
  std::vector<uint32_t> order(2 * kQueryTrials * kLookups);
  for (uint32_t& o : order) o = static_cast<uint32_t>(rng() % n);
  double open_memory = 0, open_table = 1e300;
  uint64_t anon_memory = 0, anon_table = 0;
  for (bool table : {false, true}) {
    const uint64_t before = anonymous_bytes();
    const auto start = Clock::now();
    auto r = open(path, table);
    const double opened = seconds_since(start);
    lookups(*r, s, order, 0, kMemoryLookups, false);
    const uint64_t grown = anonymous_bytes() - before;
    if (table) {
      anon_table = grown;
      for (int i = 0; i < 20; ++i) {  // open alone, the best of several
        const auto again = Clock::now();
        auto other = open(path, true);
        open_table = std::min(open_table, seconds_since(again));
      }
      open_table = std::min(open_table, opened);
    } else {
      anon_memory = grown;
      open_memory = opened;
    }
  }

  const auto memory = open(path, false);
  const auto table = open(path, true);
  if (table->key_table_state() != vornel::KeyTableState::InUse) std::abort();
  const auto look = best_cpu(
      {[&](size_t run) { lookups(*memory, s, order, run * kLookups, kLookups, false); },
       [&](size_t run) { lookups(*table, s, order, run * kLookups, kLookups, false); }});
  const auto chain = best_cpu(
      {[&](size_t run) { lookups(*memory, s, order, run * kLookups, kLookups, true); },
       [&](size_t run) { lookups(*table, s, order, run * kLookups, kLookups, true); }});
  const auto ordered =
      best_cpu({[&](size_t run) { ordered_searches(*memory, s, order, run * kSearches); },
                [&](size_t run) { ordered_searches(*table, s, order, run * kSearches); }});
  const auto scans = best_cpu({[&](size_t) { scan(*memory); }, [&](size_t) { scan(*table); }});

  const double keys = static_cast<double>(n);
  std::printf("%zu keys, file %.1f MiB (table %.1f B/key)\n", n,
              static_cast<double>(file_size) / (1 << 20),
              static_cast<double>(vornel::KeyTableGeometry::of(n, 0).payload_length) / keys);
  std::printf("  build          %9.3f s   with table %9.3f s   x%.3f\n", build_plain, build_table,
              build_table / build_plain);
  std::printf("   ... CPU time  %9.3f s   with table %9.3f s   x%.3f\n", build_plain_cpu,
              build_table_cpu, build_table_cpu / build_plain_cpu);
  std::printf("  open           %9.3f ms  with table %9.4f ms  x%.5f\n", open_memory * 1e3,
              open_table * 1e3, open_table / open_memory);
  std::printf("  private memory %9.2f B/key with table %7.3f B/key (anonymous, after open + %zu lookups)\n",
              static_cast<double>(anon_memory) / keys, static_cast<double>(anon_table) / keys,
              kMemoryLookups);
  std::printf("  lookup + copy  %9.1f ns  with table %9.1f ns   x%.3f\n", look[0] / kLookups * 1e9,
              look[1] / kLookups * 1e9, look[1] / look[0]);
  std::printf("   ... chained   %9.1f ns  with table %9.1f ns   x%.3f\n", chain[0] / kLookups * 1e9,
              chain[1] / kLookups * 1e9, chain[1] / chain[0]);
  const double searches = static_cast<double>(kSearches);
  std::printf("  lower_bound+10 %9.1f ns  with table %9.1f ns   x%.3f\n", ordered[0] / searches * 1e9,
              ordered[1] / searches * 1e9, ordered[1] / ordered[0]);
  std::printf("  scan           %9.1f ns/key with table %6.1f ns/key x%.3f\n", scans[0] / keys * 1e9,
              scans[1] / keys * 1e9, scans[1] / scans[0]);
  std::remove(path.c_str());
}

// The key of number i, the same one in every run: "user:" and 16 hexadecimal digits of a
// mix of i, formatted without the cost of printf.
void key_of(uint64_t i, uint8_t* out) {
  uint64_t z = (i + 1) * 0x9E3779B97F4A7C15;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
  z ^= z >> 31;
  std::memcpy(out, "user:", 5);
  for (int d = 0; d < 16; ++d) out[5 + d] = "0123456789abcdef"[(z >> (60 - 4 * d)) & 15];
}

// A store too large to keep its keys beside the writer, nor to index in memory beside
// the rest (10^8 keys): every key names one shared value, keys are made afresh where they
// are needed, and only the table is measured.
void run_table_only(size_t n) {
  const std::string path = "/tmp/vornel-key-table-bench.vrnl";
  uint8_t key[kKeyLen];
  double built;
  uint64_t file_size;
  {
    vornel::Writer w;
    const uint64_t value = w.add_object(Bytes(reinterpret_cast<const uint8_t*>("shared value"), 12));
    for (size_t i = 0; i < n; ++i) {
      key_of(i, key);
      if (!w.add_key(Bytes(key, kKeyLen), value)) std::abort();
    }
    vornel::BuildOptions with_table;
    with_table.key_table = true;
    const auto start = Clock::now();
    const auto report = w.build(path, with_table);
    built = seconds_since(start);
    if (!report || !report->key_table) std::abort();
    file_size = report->file_size;
  }
  std::mt19937_64 rng(3);
  const auto probe = [&](const Reader& r, size_t count, bool chained) {
    uint8_t buf[16] = {};
    for (size_t i = 0; i < count; ++i) {
      key_of((rng() + (chained && buf[0] == 0)) % n, key);
      const auto payload = r.get(Bytes(key, kKeyLen));
      if (!payload || !*payload || !vornel::copy_out(buf, **payload)) std::abort();
      sink += buf[0];
    }
  };
  const uint64_t before = anonymous_bytes();
  double open_table = 1e300;
  auto r = open(path, true);
  probe(*r, kMemoryLookups, false);
  const uint64_t grown = anonymous_bytes() - before;
  for (int i = 0; i < 20; ++i) {
    const auto start = Clock::now();
    auto other = open(path, true);
    open_table = std::min(open_table, seconds_since(start));
  }
  const auto look = best_cpu({[&](size_t) { probe(*r, kLookups, false); }});
  const auto chain = best_cpu({[&](size_t) { probe(*r, kLookups, true); }});
  std::printf("%zu keys (one shared value), file %.1f MiB, through the table only\n", n,
              static_cast<double>(file_size) / (1 << 20));
  std::printf("  build with table %7.1f s\n", built);
  std::printf("  open             %7.4f ms\n", open_table * 1e3);
  std::printf("  private memory   %7.3f B/key (anonymous, after open + %zu lookups)\n",
              static_cast<double>(grown) / static_cast<double>(n), kMemoryLookups);
  std::printf("  lookup + copy    %7.1f ns, chained %.1f ns\n", look[0] / kLookups * 1e9,
              chain[0] / kLookups * 1e9);
  r.reset();
  std::remove(path.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<size_t> sizes;
  bool table_only = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--table-only") == 0) {
      table_only = true;
    } else {
      sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (sizes.empty()) sizes = {1000000, 10000000};
  for (size_t n : sizes) {
    if (table_only) {
      run_table_only(n);
    } else {
      run(n);
    }
  }
  std::printf("(sink %llu)\n", static_cast<unsigned long long>(sink));
}
