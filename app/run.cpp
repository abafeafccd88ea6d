#include "app/run.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "app/console.h"
#include "app/platform.h"
#include "rewrite/overwrite_mark.h"
#include "rewrite/script_passes.h"

namespace jassrewrite {

namespace {

// Argument entries 0 to 3 are shown. Missing ones show as empty lines, so the script always
// starts at the same line of the output.
constexpr std::size_t kShownArguments = 4;

#ifdef _WIN32
// Windows users read paths with backslashes; the file layer takes either.
constexpr const char* kScriptPath = "logs\\outputwar3map.j";
#else
constexpr const char* kScriptPath = "logs/outputwar3map.j";
#endif
constexpr const char* kTempPath = "tempwar3map.j";

// What the folder's lock is taken on, as messages name it: Windows cannot lock a folder, and locks
// a byte range of the temporary file instead; elsewhere the folder itself, by its full path, which
// the user knows better than ".".
std::string folder_lock_path() {
#ifdef _WIN32
  return kTempPath;
#else
  std::error_code unknown;
  const std::filesystem::path folder = std::filesystem::current_path(unknown);
  return unknown ? std::string(".") : folder.string();
#endif
}

// "jassrewrite: <message>" on `errors`. What the run printed on `output` so far goes first, so that
// the two streams never interleave out of order on a console.
void report(LineOutput& output, LineOutput& errors, std::string_view message) {
  flush_output(output);
  write_text_line(errors, "jassrewrite: " + std::string(message));
  flush_output(errors);
}

std::string message_of(const FileError& error) {
  std::string message = error.path + ": " + error.reason;
  if (!error.note.empty()) {
    message.append("; ").append(error.note);
  }
  return message;
}

const char* what_is_shared(const LineOutput& output, const LineOutput& stream) {
  return &stream == &output ? kStandardOutput : kStandardError;
}

// Refuses the run where `refusal` finds standard output or error to be one of its files. Nothing
// more is written into such a stream: the refusal is told on the other, and where both are the
// run's files, on neither.
template <class Refusal>
bool refuse_shared_streams(LineOutput& output, LineOutput& errors, const Refusal& refusal) {
  const std::optional<FileError> output_refused = refusal(output);
  const std::optional<FileError> errors_refused = refusal(errors);
  if (output_refused) {
    mute(output);
  }
  if (errors_refused) {
    mute(errors);
  }
  LineOutput& told_on = output_refused ? errors : output;
  const std::optional<FileError>& told = output_refused ? output_refused : errors_refused;
  if (told) {
    write_text_line(told_on, "jassrewrite: " + message_of(*told));
    flush_output(told_on);
  }
  return output_refused || errors_refused;
}

}  // namespace

int run(std::span<const std::string> args, LineOutput& output, LineOutput& errors) {
  const std::string script_path = kScriptPath;
  const std::string temp_path = kTempPath;
  const auto say = [&output, &errors](std::string_view message) {
    report(output, errors, message);
  };

  write_line(output, "Hello Jass!");
  write_line(output, std::to_string(args.size()));
  for (std::size_t i = 0; i < kShownArguments; ++i) {
    write_text_line(output, i < args.size() ? std::string_view(args[i]) : std::string_view());
  }

  // Decided before any byte goes out: a message flushes what the run printed so far.
  if (refuse_shared_streams(output, errors, [&](const LineOutput& stream) {
        return refuse_output_into_own_files(*stream.file, what_is_shared(output, stream),
                                            script_path, temp_path);
      })) {
    return EXIT_FAILURE;
  }

  // One run at a time in this folder, for tempwar3map.j and the mark of an overwrite in place, and
  // one at a time on the script, which map folders can share by a link. A run says once that it
  // waits, whatever it waits for.
  bool said_waiting = false;
  ScriptFiles files{.script_path = script_path, .temp_path = temp_path};
  files.tell = say;
  files.tell_waiting = [&say, &said_waiting](const std::string& message) {
    if (!std::exchange(said_waiting, true)) {
      say(message);
    }
  };
  const auto wait_saying = [&files](const std::string& message) {
    return [&files, message] { files.tell_waiting(message); };
  };
  const std::string lock_path = folder_lock_path();
  Result<File> folder_lock;
  const std::error_code lock_error = with_patience(files, lock_path, [&] {
    folder_lock = lock_folder(".", temp_path,
                              wait_saying("waiting for another run in this folder to finish"));
    return folder_lock.error;
  });
  if (lock_error == std::errc::no_lock_available) {
    say(lock_path + ": " + kNoLock);
  } else if (lock_error) {
    say(message_of(os_error(lock_path, lock_error)));
    return EXIT_FAILURE;
  }
  if (auto error = open_script(
          files, wait_saying(script_path +
                             ": waiting for a run in another folder that is rewriting it"))) {
    say(message_of(*error));
    return EXIT_FAILURE;
  }
  // Under the script's lock too: a run in another folder that shares the script must not rewrite
  // it while it is being finished.
  {
    HeldInterrupts held;
    const Recovery recovery = recover_cut_overwrite(script_path, temp_path);
    if (recovery.error) {
      say(message_of(*recovery.error));
      return EXIT_FAILURE;
    }
    const bool finished = recovery.finished;
    if (finished) {
      say(script_path + ": finished writing back the rewrite that an earlier run left unfinished");
    }
    // What the conversion reads, and checks against, is the finished script.
    if (finished && files.script.is_open()) {
      const Result<FileStatus> finished_status = status(files.script);
      if (finished_status.error) {
        say(message_of(os_error(script_path, finished_status.error)));
        return EXIT_FAILURE;
      }
      files.script_status = finished_status.value;
    }
    held.script_state = finished ? ScriptState::kRewritten : ScriptState::kUnchanged;
  }

  if (auto error = open_temp(files)) {
    say(message_of(*error));
    return EXIT_FAILURE;
  }
  if (refuse_shared_streams(output, errors, [&](const LineOutput& stream) {
        return refuse_shared_output(files, *stream.file, what_is_shared(output, stream));
      })) {
    return EXIT_FAILURE;
  }
  if (!files.script.is_open()) {
    say(script_path + ": not found, nothing to rewrite (is this the map's folder?)");
  }
  if (auto error = convert_script(files, output)) {
    say(message_of(*error));
    return EXIT_FAILURE;
  }
  // The last lines are shown before the copy-back and the syncs, which can take a while.
  flush_output(output);
  {
    // An interrupt while the new script is written beside the old one ends the run at once, the
    // script unchanged. From the first step that can change the script it is held, until the
    // script is replaced or the failure told.
    std::optional<HeldInterrupts> held;
    if (auto error = copy_back(files, [&held] { held.emplace(); })) {
      say(message_of(*error));
      return EXIT_FAILURE;
    }
    held->script_state = ScriptState::kRewritten;
  }
  flush_output(output);
  return EXIT_SUCCESS;
}

}  // namespace jassrewrite
