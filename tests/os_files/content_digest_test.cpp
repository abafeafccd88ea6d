#include "os_files/content_digest.h"

#include <gtest/gtest.h>

#include <string>

namespace jassrewrite {
namespace {

std::string numbers_to(int last) {
  std::string text;
  for (int i = 1; i <= last; ++i) {
    text += std::to_string(i) + "\n";
  }
  return text;
}

Content digest_in_pieces(const std::string& bytes, std::size_t first, std::size_t second) {
  ContentDigest digest;
  digest.add(std::string_view(bytes).substr(0, first));
  digest.add(std::string_view(bytes).substr(first, second));
  digest.add(std::string_view(bytes).substr(first + second));
  return digest.content();
}

// The digest is xxHash64 with seed 0, so that what a run recorded can be checked with `xxhsum`;
// the values are those that `xxhsum -H1` prints. Each length takes another path through the tail.
TEST(ContentDigest, IsXxHash64) {
  const struct {
    std::string bytes;
    std::uint64_t digest;
  } cases[] = {
      {"", 0xef46db3751d8e999},
      {"a", 0xd24ec4f1a98c6e5b},
      {"abc", 0x44bc2cf5ad770999},
      {std::string(100, 'x'), 0x92f0de5a88a3c094},
      {numbers_to(1000), 0x7d093e5ad940a99d},
  };
  for (const auto& [bytes, digest] : cases) {
    EXPECT_EQ(digest_in_pieces(bytes, 0, 0), (Content{bytes.size(), digest})) << bytes.size();
  }
}

// Blocks read from a file end anywhere: the digest must not depend on where.
TEST(ContentDigest, DependsOnlyOnTheBytes) {
  const std::string bytes = numbers_to(30);
  const Content whole = digest_in_pieces(bytes, bytes.size(), 0);
  for (std::size_t first = 0; first <= bytes.size(); first += 3) {
    for (std::size_t second = 0; first + second <= bytes.size(); second += 7) {
      ASSERT_EQ(digest_in_pieces(bytes, first, second), whole) << first << " " << second;
    }
  }
}

// A save that changes one byte, anywhere, is a change.
TEST(ContentDigest, TellsEveryByteChanged) {
  const std::string bytes = numbers_to(20);
  const Content original = digest_in_pieces(bytes, 0, 0);
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    std::string changed = bytes;
    changed[at] ^= 1;
    ASSERT_NE(digest_in_pieces(changed, at, 1), original) << at;
  }
}

}  // namespace
}  // namespace jassrewrite
