// A 64-bit digest of a byte stream, fed in pieces: FNV-1a. It tells apart
// texts that differ by accident, in any byte; it is no defence against texts
// made to collide. A few lines of our own rather than a library: telling
// accidents apart is all it is for, and the programs need nothing beyond the
// standard library.
#pragma once

#include <cstdint>
#include <string_view>

namespace platform {

class TDigest64 {
 public:
  static constexpr uint64_t kOffsetBasis = 0xcbf29ce484222325ULL;
  static constexpr uint64_t kPrime = 0x100000001b3ULL;

  void Add(std::string_view bytes) {
    // Every byte of a scanned header passes here: eight bytes a pass spare
    // most of the loop's own steps. The value is the plain byte loop's.
    uint64_t h = value_;
    const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
    const unsigned char* end = p + bytes.size();
    for (; end - p >= 8; p += 8) {
      h = (h ^ p[0]) * kPrime;
      h = (h ^ p[1]) * kPrime;
      h = (h ^ p[2]) * kPrime;
      h = (h ^ p[3]) * kPrime;
      h = (h ^ p[4]) * kPrime;
      h = (h ^ p[5]) * kPrime;
      h = (h ^ p[6]) * kPrime;
      h = (h ^ p[7]) * kPrime;
    }
    for (; p != end; ++p) h = (h ^ *p) * kPrime;
    value_ = h;
  }
  uint64_t Value() const { return value_; }

 private:
  uint64_t value_ = kOffsetBasis;
};

}  // namespace platform
