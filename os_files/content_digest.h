#pragma once

// What a file holds, in a few bytes: a run records the digest of what it read and of what it wrote,
// and before it puts a file in the script's place it reads the file again through its handle and
// compares. Sizes and times alone cannot tell every change: where the file system keeps whole
// seconds, or two, another program's write in place within the same second leaves both as they
// were. A 64-bit digest of the xxHash64 kind: an accidental change goes unnoticed with a chance of
// one in 2^64, and hashing runs at the speed of memory, far above that of the disk.

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace jassrewrite {

struct Content {
  std::uint64_t size = 0;
  std::uint64_t digest = 0;
  friend bool operator==(const Content&, const Content&) = default;
};

// Takes bytes in pieces of any size; the digest depends only on the bytes, never on the pieces.
class ContentDigest {
 public:
  void add(std::string_view bytes);
  [[nodiscard]] Content content() const;

 private:
  static constexpr std::size_t kStripe = 32;
  void take_stripe(const char* stripe);

  std::array<std::uint64_t, 4> lanes_ = {0x60EA27EEADC0B5D6, 0xC2B2AE3D27D4EB4F, 0,
                                         0x61C8864E7A143579};
  std::array<char, kStripe> pending_{};
  std::size_t pending_size_ = 0;
  std::uint64_t size_ = 0;
};

}  // namespace jassrewrite
