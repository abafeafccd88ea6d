#include "app/run.h"

#include <cstdio>
#include <filesystem>
#include <string>
#include <string_view>
#include <system_error>

namespace jassrewrite {

namespace {

namespace fs = std::filesystem;

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;

// Argument entries 0 to 3 are shown. Missing ones show as empty lines, so the script always
// starts at the same line of the output.
constexpr std::size_t kShownArguments = 4;

void report(LineOutput& console, std::string_view message) {
  // What the run printed so far goes first, so the two streams never interleave out of order on
  // a console.
  flush_output(console);
  std::string line = "jassrewrite: ";
  line.append(message).append("\n");
  std::fwrite(line.data(), 1, line.size(), stderr);
}

void report(LineOutput& console, const FileError& error, std::string_view remedy = {}) {
  std::string message = error.path + ": " + error.reason;
  if (!remedy.empty()) {
    message.append("; ").append(remedy);
  }
  report(console, message);
}

}  // namespace

int run(std::span<char* const> args, LineOutput& console) {
  const std::string script_path = "logs/outputwar3map.j";
  const std::string temp_path = "tempwar3map.j";

  write_line(console, "Hello Jass!");
  write_line(console, std::to_string(args.size()));
  for (std::size_t i = 0; i < kShownArguments; ++i) {
    write_line(console, i < args.size() ? std::string_view(args[i]) : std::string_view());
  }

  std::error_code ignored;
  const bool script_missing = fs::status(script_path, ignored).type() == fs::file_type::not_found;
  if (script_missing) {
    report(console, script_path + ": not found, nothing to rewrite (is this the map's folder?)");
  }

  if (auto error = convert_script(script_path, temp_path, console)) {
    report(console, *error);
    return kExitFailure;
  }
  // A missing script is written back empty, but only where its folder exists: a run in the wrong
  // folder must not create one.
  const bool copy_wanted =
      !script_missing || fs::is_directory(fs::path(script_path).parent_path(), ignored);
  if (copy_wanted) {
    if (auto error = copy_back(temp_path, script_path)) {
      if (error->path == script_path) {
        report(console, *error, "the complete rewritten script is kept in " + temp_path);
      } else {
        report(console, *error);
      }
      return kExitFailure;
    }
  }
  flush_output(console);
  return kExitSuccess;
}

}  // namespace jassrewrite
