#pragma once

// Helpers shared by the tests: a fresh folder per test below the folder the tests run in (the
// build folder under CTest), removed when the test passes; whole-file reads and writes of exact
// bytes; a comparison of bytes that stays small when it fails; and case names for table-driven
// tests.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <system_error>

namespace jassrewrite::testing_support {

// Where the scratch folder of the test `info` is; what a run writes beside it starts with the
// same name and a period.
inline std::filesystem::path scratch_folder_of(const ::testing::TestInfo& info) {
  std::string name = std::string(info.test_suite_name()) + "." + info.name();
  std::replace(name.begin(), name.end(), '/', '_');
  return std::filesystem::current_path() / "scratch" / name;
}

// A passed test's scratch files are of no more use; a failed test's stay to be looked at.
class ScratchCleanup : public ::testing::EmptyTestEventListener {
  void OnTestEnd(const ::testing::TestInfo& info) override {
    if (info.result()->Failed()) {
      return;
    }
    const std::filesystem::path folder = scratch_folder_of(info);
    const std::string beside = folder.filename().string() + ".";
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    for (std::filesystem::directory_iterator entry(folder.parent_path(), ignored), end;
         !ignored && entry != end; entry.increment(ignored)) {
      if (entry->path().filename().string().starts_with(beside)) {
        std::filesystem::remove_all(entry->path(), ignored);
      }
    }
  }
};

// Registered once per test program, before main runs the tests.
inline const bool kScratchCleanupRegistered = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new ScratchCleanup);
  return true;
}();

// Creates an empty folder named after the running test, removing what an earlier run left.
inline std::filesystem::path make_scratch_folder() {
  const std::filesystem::path folder =
      scratch_folder_of(*::testing::UnitTest::GetInstance()->current_test_info());
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  return folder;
}

inline std::string read_file(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  EXPECT_TRUE(in.is_open()) << "cannot read " << path;
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_FALSE(out.fail()) << "cannot write " << path;
}

// FNV-1a, 64 bits: enough to tell two outputs apart in a failure message.
inline std::uint64_t digest(std::string_view bytes) {
  std::uint64_t hash = 0xcbf29ce484222325U;
  for (const char c : bytes) {
    hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001b3U;
  }
  return hash;
}

// Up to 40 bytes from `at`, with what is not printable escaped.
inline std::string excerpt(std::string_view bytes, std::size_t at) {
  std::string shown = "\"";
  for (const char c : bytes.substr(std::min(at, bytes.size()), 40)) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7f && c != '"' && c != '\\') {
      shown += c;
    } else {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
      shown += escaped;
    }
  }
  return shown + "\"";
}

// Compares bytes of any size. GoogleTest's EXPECT_EQ shows a line diff of two unequal strings,
// whose cost grows with the square of their lines: for outputs of megabytes, gigabytes of memory.
// This reports their sizes, digests and the first difference instead.
inline ::testing::AssertionResult same_bytes(const char* actual_text, const char* expected_text,
                                             std::string_view actual, std::string_view expected) {
  if (actual == expected) {
    return ::testing::AssertionSuccess();
  }
  const std::size_t at = static_cast<std::size_t>(
      std::mismatch(actual.begin(), actual.end(), expected.begin(), expected.end()).first -
      actual.begin());
  const std::size_t from = at < 20 ? 0 : at - 20;
  char digests[64];
  std::snprintf(digests, sizeof digests, "%016llx and %016llx",
                static_cast<unsigned long long>(digest(actual)),
                static_cast<unsigned long long>(digest(expected)));
  return ::testing::AssertionFailure()
         << actual_text << " and " << expected_text << " differ: " << actual.size() << " and "
         << expected.size() << " bytes (digests " << digests << "), first at byte " << at
         << "; from byte " << from << ":\n  " << excerpt(actual, from) << "\n  "
         << excerpt(expected, from);
}

// Names each case of a table-driven test after the `name` field of its row.
struct NameOfCase {
  template <class ParamInfo>
  std::string operator()(const ParamInfo& row) const {
    return row.param.name;
  }
};

}  // namespace jassrewrite::testing_support

#define EXPECT_SAME_BYTES(actual, expected) \
  EXPECT_PRED_FORMAT2(::jassrewrite::testing_support::same_bytes, actual, expected)
