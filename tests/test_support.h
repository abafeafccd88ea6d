#pragma once

// Helpers shared by the tests: a fresh folder per test below the folder the tests run in (the
// build folder under CTest), whole-file reads and writes of exact bytes, and case names for
// table-driven tests.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace jassrewrite::testing_support {

// Creates an empty folder named after the running test, removing what an earlier run left.
inline std::filesystem::path make_scratch_folder() {
  const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
  std::string name = std::string(info->test_suite_name()) + "." + info->name();
  for (char& c : name) {
    if (c == '/') {
      c = '_';
    }
  }
  const std::filesystem::path folder = std::filesystem::current_path() / "scratch" / name;
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

// Names each case of a table-driven test after the `name` field of its row.
struct NameOfCase {
  template <class ParamInfo>
  std::string operator()(const ParamInfo& row) const {
    return row.param.name;
  }
};

}  // namespace jassrewrite::testing_support
