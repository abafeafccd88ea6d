#include "app/run.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "app/platform.h"
#include "rewrite/overwrite_mark.h"
#include "rewrite/script_passes.h"

namespace jassrewrite {

namespace {

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

  // One run at a time in this folder, for tempwar3map.j and the mark of an overwrite in place, and
  // one at a time on the script, which map folders can share by a link. A run says once that it
  // waits, whatever it waits for.
  bool said_waiting = false;
  const auto wait_saying = [&](const std::string& message) {
    return [&console, &said_waiting, message] {
      if (!std::exchange(said_waiting, true)) {
        report(console, message);
      }
    };
  };
  std::error_code lock_error;
  const File folder = open_folder(".", lock_error);
  const File folder_lock =
      lock_error ? File()
                 : lock(folder, wait_saying("waiting for another run in this folder to finish"),
                        lock_error);
  if (lock_error) {
    report(console, FileError{".", lock_error.message()});
    return EXIT_FAILURE;
  }

  bool finished = false;
  hold_interrupts();
  const auto unfinished = finish_cut_copy_back(script_path, temp_path, finished);
  if (unfinished) {
    report(console, *unfinished);
  } else if (finished) {
    report(console, script_path + ": finished writing back the rewrite that an earlier run " +
                        "left cut short");
  }
  release_interrupts(unfinished ? ScriptState::kReported
                     : finished ? ScriptState::kRewritten
                                : ScriptState::kUnchanged);
  if (unfinished) {
    return EXIT_FAILURE;
  }

  ScriptFiles files{.script_path = script_path, .temp_path = temp_path};
  if (auto error = open_script_files(
          files, wait_saying(script_path +
                             ": waiting for a run in another folder that is rewriting it"))) {
    report(console, *error);
    return EXIT_FAILURE;
  }
  if (auto error = refuse_shared_output(files, *console.file)) {
    // Nothing more goes to standard output, which is one of the files.
    console.pending.clear();
    console.error = std::make_error_code(std::errc::operation_not_permitted);
    report(console, *error);
    return EXIT_FAILURE;
  }
  if (!files.script.is_open()) {
    report(console, script_path + ": not found, nothing to rewrite (is this the map's folder?)");
  }
  if (auto error = convert_script(files, console)) {
    report(console, *error);
    return EXIT_FAILURE;
  }
  const std::string kept = "the complete rewritten script is kept in " + temp_path;
  if (auto error = copy_back(files)) {
    report(console, *error, error->path == script_path ? "the script is unchanged; " + kept : "");
    return EXIT_FAILURE;
  }
  hold_interrupts();
  const auto error = replace_script(files);
  if (error) {
    report(console, *error, kept);
  }
  release_interrupts(error ? ScriptState::kReported : ScriptState::kRewritten);
  if (error) {
    return EXIT_FAILURE;
  }
  flush_output(console);
  return EXIT_SUCCESS;
}

}  // namespace jassrewrite
