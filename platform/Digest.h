// A 64-bit digest of a byte stream, fed in pieces. It tells apart texts that
// differ by accident, in any byte; it is no defence against texts made to
// collide. A few lines of our own rather than a library: telling accidents
// apart is all it is for, and the programs need nothing beyond the standard
// library.
//
// Every byte of a scanned header passes here, so it takes eight bytes a
// step: each step is a bijection of the state for a given word and of the
// word for a given state, so two texts of one length that differ in a single
// eight-byte word never give the same value; the length goes in at the end.
// The value lives only as long as the process (it is never stored), so the
// scheme is ours to choose.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace platform {

class TDigest64 {
 public:
  void Add(std::string_view bytes) {
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    size_t n = bytes.size();
    if (n == 0) return;  // an empty view may have no bytes to point at
    length_ += n;
    // Bytes left over from the piece before fill their word first, so the
    // value is the same wherever the text is cut.
    if (pendingBytes_ != 0) {
      const size_t k = std::min(n, sizeof pending_ - pendingBytes_);
      std::memcpy(pending_ + pendingBytes_, p, k);
      pendingBytes_ += k;
      p += k;
      n -= k;
      if (pendingBytes_ < sizeof pending_) return;
      state_ = Step(state_, Load(pending_));
      pendingBytes_ = 0;
    }
    for (; n >= 8; p += 8, n -= 8) state_ = Step(state_, Load(p));
    if (n != 0) std::memcpy(pending_, p, n);
    pendingBytes_ = n;
  }

  uint64_t Value() const {
    // The unfinished word is padded with zero bytes; the length tells a
    // padded word from one that holds zero bytes of its own.
    uint64_t h = state_;
    if (pendingBytes_ != 0) {
      unsigned char last[sizeof pending_] = {};
      std::memcpy(last, pending_, pendingBytes_);
      h = Step(h, Load(last));
    }
    h ^= static_cast<uint64_t>(length_);
    // Final mix (MurmurHash3's): every input bit reaches every output bit.
    h ^= h >> 33;
    h *= 0xff51afd7ed558ccdULL;
    h ^= h >> 33;
    h *= 0xc4ceb9fe1a85ec53ULL;
    h ^= h >> 33;
    return h;
  }

 private:
  static constexpr uint64_t kSeed = 0xcbf29ce484222325ULL;
  static constexpr uint64_t kWordFactor = 0x9e3779b97f4a7c15ULL;  // odd: a bijection
  static constexpr uint64_t kStateFactor = 0xbf58476d1ce4e5b9ULL;  // odd: a bijection

  static uint64_t Step(uint64_t h, uint64_t word) {
    h ^= word * kWordFactor;
    h = (h << 31) | (h >> 33);
    return h * kStateFactor;
  }
  // Little-endian whatever the machine, so the value is the same everywhere.
  static uint64_t Load(const unsigned char* p) {
    uint64_t w;
    std::memcpy(&w, p, sizeof w);
    if constexpr (std::endian::native == std::endian::big) w = __builtin_bswap64(w);
    return w;
  }
  uint64_t state_ = kSeed;
  unsigned char pending_[8] = {};  // the bytes of the unfinished word
  size_t pendingBytes_ = 0;
  size_t length_ = 0;
};

}  // namespace platform
