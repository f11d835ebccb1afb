// What the session and object tables have in common: fixed arrays of rows
// in which a router handle of 0 marks a free row, a 32-bit counter that
// issues the handles, and beside the rows what finds a row without reading
// the others (which rows are in use, and indexes by key). A table full of
// sessions and objects then costs each call as little as an empty one.
// All of it is plain static data: zero bytes are an empty table.
#pragma once
#include <cstdint>

namespace tokenhub {

// Which of N rows are in use, a bit each, and which words of bits are full:
// the lowest free row is found by reading two words, whatever the table holds.
template <unsigned N>
struct RowMap {
  static_assert(N % 64 == 0 && N / 64 <= 64, "one summary word covers the table");
  static constexpr unsigned kWords = N / 64;
  static constexpr uint64_t kAllWords = kWords == 64 ? ~uint64_t{0} : (uint64_t{1} << kWords) - 1;

  uint64_t used[kWords];
  uint64_t full;  // bit w: every row of used[w] is in use

  // The lowest free row; N when every row is in use.
  unsigned lowestFree() const {
    uint64_t open = ~full & kAllWords;
    if (open == 0) return N;
    unsigned word = static_cast<unsigned>(__builtin_ctzll(open));
    return word * 64 + static_cast<unsigned>(__builtin_ctzll(~used[word]));
  }
  void take(unsigned row) {
    uint64_t &word = used[row / 64];
    word |= uint64_t{1} << (row % 64);
    if (word == ~uint64_t{0}) full |= uint64_t{1} << (row / 64);
  }
  void give(unsigned row) {
    used[row / 64] &= ~(uint64_t{1} << (row % 64));
    full &= ~(uint64_t{1} << (row / 64));
  }
};

// Rows of a table of N by a 32-bit key read from the row itself: open
// addressing over twice as many buckets as rows, so that at most half are
// taken and a look-up reads a few of them. A bucket holds a row's number + 1,
// 0 when empty. A removal moves the later entries of its run back instead of
// leaving a mark, so runs never grow longer than the rows in use make them.
template <unsigned N>
struct RowIndex {
  static_assert(N >= 2 && (N & (N - 1)) == 0 && N < 65536, "a power of two that a bucket can number");
  static constexpr unsigned kBuckets = 2 * N;
  static constexpr uint32_t kMask = kBuckets - 1;

  uint16_t buckets[kBuckets];

  // The bucket where a key's run starts. Multiplying by 2^32 / golden ratio
  // spreads keys that follow each other (as handles do) over the whole array.
  static uint32_t home(uint32_t key) { return (key * 0x9E3779B9u) >> (32 - bits()); }

  // Calls visit(row) for each row in the run of `key`'s bucket until it
  // returns true; visit compares the row's key itself.
  template <typename Visit>
  void probe(uint32_t key, Visit visit) const {
    for (uint32_t b = home(key); buckets[b] != 0; b = (b + 1) & kMask)
      if (visit(buckets[b] - 1u)) return;
  }
  void insert(uint32_t key, unsigned row) {
    uint32_t b = home(key);
    while (buckets[b] != 0) b = (b + 1) & kMask;
    buckets[b] = static_cast<uint16_t>(row + 1);
  }
  // Drops `row`, entered under `key`; keyOf(row) reads any row's key (the
  // dropped row still holds its own).
  template <typename KeyOf>
  void erase(uint32_t key, unsigned row, KeyOf keyOf) {
    uint32_t hole = home(key);
    while (buckets[hole] != row + 1) {
      if (buckets[hole] == 0) return;
      hole = (hole + 1) & kMask;
    }
    for (uint32_t next = (hole + 1) & kMask; buckets[next] != 0; next = (next + 1) & kMask) {
      // An entry may fill the hole when the hole lies on its way from its home bucket.
      uint32_t fromHome = (next - home(keyOf(buckets[next] - 1u))) & kMask;
      if (fromHome >= ((next - hole) & kMask)) {
        buckets[hole] = buckets[next];
        hole = next;
      }
    }
    buckets[hole] = 0;
  }

 private:
  static constexpr unsigned bits() {
    unsigned b = 0;
    while ((1u << b) < kBuckets) ++b;
    return b;
  }
};

// The row of `rows` that holds a router handle, found through the index of
// rows by handle; null for 0 or a handle no row holds. The whole handle is
// compared: where handles are 64 bits wide, only their low half is a key.
template <typename Row, unsigned N, typename Handle>
Row *rowWithHandle(Row (&rows)[N], const RowIndex<N> &byHandle, Handle handle) {
  Row *found = nullptr;
  if (handle != 0)
    byHandle.probe(static_cast<uint32_t>(handle), [&](unsigned row) {
      if (rows[row].routerHandle != handle) return false;
      found = &rows[row];
      return true;
    });
  return found;
}

// The next handle after `last`. 0 is never issued, and once the counter has
// passed its largest value a handle that a row still holds (inUse) is
// skipped, so a long-lived process never gives out a handle twice at the
// same time. At most N handles in a row can be held, each answered by the index.
template <typename InUse>
uint32_t nextHandle(uint32_t &last, bool &wrapped, InUse inUse) {
  for (;;) {
    if (++last == 0) {
      wrapped = true;
      continue;
    }
    if (!wrapped || !inUse(last)) return last;
  }
}

}  // namespace tokenhub
