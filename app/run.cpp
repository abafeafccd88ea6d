#include "app/run.h"

#include <cstdlib>
#include <string>
#include <string_view>

#include "app/console.h"
#include "app/messages.h"
#include "app/platform.h"
#include "os_files/claims_seam.h"
#include "replace/replacement.h"
#include "replace/streams.h"
#include "rewrite/script_passes.h"

namespace jassrewrite {

namespace {

// Argument entries 0 to 3 are shown. Missing ones show as empty lines, so the script always
// starts at the same line of the output.
constexpr std::size_t kShownArguments = 4;

// The run's two streams, and how it tells the user: "jassrewrite: <message>" on standard error.
// What the run printed on standard output so far goes first, so that the two streams never
// interleave out of order on a console.
struct Streams {
  LineOutput& output;
  LineOutput& errors;
  // What messages name the run's files by.
  const RunPaths& paths;

  void say(std::string_view message) const {
    flush_output(output);
    write_text_line(errors, "jassrewrite: " + std::string(message));
    flush_output(errors);
  }
  void say(const Error& error) const {
    told_claim(name_of(error.claim), error.named);
    say(message_of(error, paths));
  }

  // Where a stream is refused, nothing more is written into it: the refusal is told on the other,
  // and where both are refused, on neither. True when one was.
  bool refuse(const StreamVerdict& verdict) const {
    if (verdict.output) {
      mute(output);
    }
    if (verdict.errors) {
      mute(errors);
    }
    LineOutput& told_on = verdict.output ? errors : output;
    if (const auto& told = verdict.output ? verdict.output : verdict.errors) {
      told_claim(name_of(told->claim), told->named);
      write_text_line(told_on, "jassrewrite: " + message_of(*told, paths));
      flush_output(told_on);
    }
    return verdict.output || verdict.errors;
  }
};

constexpr InterruptHold kProcessInterrupts{hold_interrupts, release_interrupts};

void tell_recovery(const Streams& streams, const ScriptReplacement& replacement) {
  const std::string& script = streams.paths.script;
  switch (replacement.recovered()) {
    case Recovered::kNothing:
      break;
    case Recovered::kFinishedCutOverwrite:
      streams.say(script +
                  ": finished writing back the rewrite that an earlier run left unfinished");
      break;
    case Recovered::kNamedLeftRewrite:
      streams.say(script + ": not found, but an earlier run left its complete rewrite in " +
                  script + kNewFileSuffix + ", which now has the script's name");
      break;
  }
}

// A run in the wrong folder must not go unnoticed, nor one on a script that was never written.
void tell_nothing_to_rewrite(const Streams& streams, FoundScript found) {
  const std::string& script = streams.paths.script;
  if (found == FoundScript::kMissing) {
    streams.say(script + ": not found, nothing to rewrite (is this the map's folder?)");
  } else if (found == FoundScript::kEmpty) {
    streams.say(script + ": empty, nothing to rewrite (is this the map's folder?)");
  }
}

// The conversion pass over the script that `replacement` opened, into its temporary file.
std::optional<Error> convert(ScriptReplacement& replacement, LineOutput& console,
                             const RunPaths& paths) {
  Converted converted;
  if (replacement.found_script() == FoundScript::kToRewrite) {
    LineOutput temp{.file = &replacement.temp_file(), .line_break = "\r\n"};
    if (const auto failure = convert_script(replacement.script_file(), temp, console, converted)) {
      const bool in_script = failure->file == ConversionFailure::File::kScript;
      return replacement.conversion_failed(
          failed(in_script ? paths.script : paths.temp, failure->error));
    }
  }
  return replacement.converted(converted.script, converted.rewrite);
}

// The banner: the tool's name and its arguments as the runtime gave them.
void show_banner(LineOutput& output, std::span<const std::string> args) {
  write_line(output, "Hello Jass!");
  write_line(output, std::to_string(args.size()));
  for (std::size_t i = 0; i < kShownArguments; ++i) {
    write_text_line(output, i < args.size() ? std::string_view(args[i]) : std::string_view());
  }
}

}  // namespace

int run(std::span<const std::string> args, LineOutput& output, LineOutput& errors) {
  const RunPaths paths = run_paths();
  const Streams streams{output, errors, paths};
  // Decided before any byte goes out, and again once the run's files are open, before the banner:
  // a stream into one of them would be mixed into the rewrite or read back without end.
  const StreamVerdict by_name =
      check_streams_by_name(*output.file, *errors.file, paths.script, paths.temp);
  tell_interrupts(!by_name.errors);
  if (streams.refuse(by_name)) {
    return EXIT_FAILURE;
  }
  ScriptReplacement replacement(paths, kProcessInterrupts, [&streams](const Notice& notice) {
    streams.say(words_of(notice));
  });
  if (const std::optional<Error> opening = replacement.open()) {
    show_banner(output, args);
    tell_recovery(streams, replacement);
    streams.say(*opening);
    return EXIT_FAILURE;
  }
  const StreamVerdict opened = replacement.check_streams(*output.file, *errors.file);
  tell_interrupts(!opened.errors);
  if (streams.refuse(opened)) {
    return EXIT_FAILURE;
  }
  show_banner(output, args);
  tell_recovery(streams, replacement);
  tell_nothing_to_rewrite(streams, replacement.found_script());
  if (replacement.temp_kept()) {
    streams.say(paths.temp +
                ": not emptied, since it may hold the only copy of an earlier rewrite");
  }
  if (auto error = convert(replacement, output, paths)) {
    streams.say(*error);
    return EXIT_FAILURE;
  }
  // The last lines are shown before the replacement and its syncs, which can take a while.
  flush_output(output);
  if (auto error = replacement.copy_back()) {
    streams.say(*error);
    return EXIT_FAILURE;
  }
  flush_output(output);
  return EXIT_SUCCESS;
}

}  // namespace jassrewrite
