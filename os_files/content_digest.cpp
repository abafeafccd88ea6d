#include "os_files/content_digest.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace jassrewrite {

namespace {

constexpr std::uint64_t kPrime1 = 0x9E3779B185EBCA87;
constexpr std::uint64_t kPrime2 = 0xC2B2AE3D27D4EB4F;
constexpr std::uint64_t kPrime3 = 0x165667B19E3779F9;
constexpr std::uint64_t kPrime4 = 0x85EBCA77C2B2AE63;
constexpr std::uint64_t kPrime5 = 0x27D4EB2F165667C5;

// Little-endian on every platform the tool is built for; memcpy keeps unaligned loads defined.
std::uint64_t load64(const char* bytes) {
  std::uint64_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

std::uint32_t load32(const char* bytes) {
  std::uint32_t word = 0;
  std::memcpy(&word, bytes, sizeof word);
  return word;
}

std::uint64_t mix_in(std::uint64_t lane, std::uint64_t word) {
  return std::rotl(lane + word * kPrime2, 31) * kPrime1;
}

std::uint64_t merge(std::uint64_t digest, std::uint64_t lane) {
  return (digest ^ mix_in(0, lane)) * kPrime1 + kPrime4;
}

}  // namespace

void ContentDigest::take_stripe(const char* stripe) {
  for (std::size_t lane = 0; lane < lanes_.size(); ++lane) {
    lanes_[lane] = mix_in(lanes_[lane], load64(stripe + 8 * lane));
  }
}

void ContentDigest::add(std::string_view bytes) {
  size_ += bytes.size();
  if (pending_size_ > 0) {
    const std::size_t taken = std::min(bytes.size(), kStripe - pending_size_);
    std::memcpy(pending_.data() + pending_size_, bytes.data(), taken);
    pending_size_ += taken;
    bytes.remove_prefix(taken);
    if (pending_size_ < kStripe) {
      return;
    }
    take_stripe(pending_.data());
    pending_size_ = 0;
  }
  for (; bytes.size() >= kStripe; bytes.remove_prefix(kStripe)) {
    take_stripe(bytes.data());
  }
  std::memcpy(pending_.data(), bytes.data(), bytes.size());
  pending_size_ = bytes.size();
}

Content ContentDigest::content() const {
  std::uint64_t digest = kPrime5;
  if (size_ >= kStripe) {
    digest = std::rotl(lanes_[0], 1) + std::rotl(lanes_[1], 7) + std::rotl(lanes_[2], 12) +
             std::rotl(lanes_[3], 18);
    for (const std::uint64_t lane : lanes_) {
      digest = merge(digest, lane);
    }
  }
  digest += size_;
  const char* tail = pending_.data();
  const char* const end = tail + pending_size_;
  for (; end - tail >= 8; tail += 8) {
    digest = std::rotl(digest ^ mix_in(0, load64(tail)), 27) * kPrime1 + kPrime4;
  }
  if (end - tail >= 4) {
    digest = std::rotl(digest ^ (load32(tail) * kPrime1), 23) * kPrime2 + kPrime3;
    tail += 4;
  }
  for (; tail < end; ++tail) {
    digest = std::rotl(digest ^ (static_cast<unsigned char>(*tail) * kPrime5), 11) * kPrime1;
  }
  digest = (digest ^ (digest >> 33)) * kPrime2;
  digest = (digest ^ (digest >> 29)) * kPrime3;
  return {.size = size_, .digest = digest ^ (digest >> 32)};
}

}  // namespace jassrewrite
