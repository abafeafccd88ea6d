#pragma once

// The replacement as a run makes it, on "script.j" by way of "temp.j" in a scratch folder.

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "app/messages.h"
#include "replace/copying.h"
#include "replace/replacement.h"

namespace jassrewrite::replacement_runs {

namespace fs = std::filesystem;

// An empty file at `path`, open for writing.
inline File open_empty(const fs::path& path) {
  auto [file, error] = open_or_create_unfollowed(path.string());
  EXPECT_FALSE(error) << path << ": " << error.message();
  EXPECT_FALSE(truncate(file));
  return std::move(file);
}

// The run's paths in `folder`: "script.j" rewritten by way of "temp.j".
inline RunPaths paths_in(const fs::path& folder) {
  return {(folder / "script.j").string(), (folder / "temp.j").string(), folder.string()};
}

// The replacement of "script.j" by way of "temp.j" in `folder`, as a run makes it.
inline std::unique_ptr<ScriptReplacement> replacement_in(const fs::path& folder) {
  return std::make_unique<ScriptReplacement>(paths_in(folder), InterruptHold{},
                                             [](const Notice&) {});
}

inline std::unique_ptr<ScriptReplacement> opened_in(const fs::path& folder) {
  auto replacement = replacement_in(folder);
  const auto error = replacement->open();
  EXPECT_FALSE(error.has_value()) << message_of(*error, {"script.j", "temp.j", {}});
  return replacement;
}

inline Content content_of_bytes(std::string_view bytes) {
  ContentDigest digest;
  digest.add(bytes);
  return digest.content();
}

// Puts `rewrite` in the temporary file as the conversion pass would, and has it recorded with the
// script as it is now.
inline void convert_to(ScriptReplacement& replacement, const std::string& rewrite) {
  ASSERT_FALSE(write(replacement.temp_file(), rewrite));
  Content script;
  if (replacement.found_script() == FoundScript::kToRewrite) {
    const Result<Content> read = content_of(replacement.script_file());
    ASSERT_FALSE(read.error) << read.error.message();
    script = read.value;
  }
  const auto error = replacement.converted(script, content_of_bytes(rewrite));
  ASSERT_FALSE(error.has_value()) << message_of(*error, {"script.j", "temp.j", {}});
}

// A second name for the script rules out replacing it by a new file.
inline void link_script(const fs::path& folder) {
  fs::create_hard_link(folder / "script.j", folder / "other-name.j");
}

}  // namespace jassrewrite::replacement_runs
