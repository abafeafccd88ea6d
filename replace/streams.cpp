#include "replace/streams.h"

#include <vector>

#include "replace/overwrite_mark.h"
#include "replace/replacement.h"

namespace jassrewrite {

namespace {

struct Stream {
  const char* name;
  // Where the stream is one of the run's files, and where the shell also emptied the script.
  NextStep advice;
  NextStep advice_once_emptied;
  Result<FileStatus> shown;
  // Standard output is written to only where it is shown to be none of the run's files, since a
  // script's worth of lines would go into one. Standard error is refused only where it is shown
  // to be one: it carries a line or two, and a run that fails must never fail in silence, as it
  // would in a build log with both streams sent to files.
  bool refused_when_unknown;
};

std::optional<Error> check_stream(const Stream& stream, std::span<const SeenFile> files) {
  if (stream.shown.error && !stream.refused_when_unknown) {
    return std::nullopt;
  }
  if (stream.shown.error) {
    Error error = refused(stream.name, Reason::kStreamUnknown);
    error.code = stream.shown.error;
    return claiming(std::move(error), Claim::kStreamRefused, stream.name);
  }
  // A console, a pipe or the null device is none of the run's files.
  if (!stream.shown.value.regular) {
    return std::nullopt;
  }
  for (const SeenFile& file : files) {
    if (file.identity.error && !stream.refused_when_unknown) {
      continue;
    }
    if (file.identity.error) {
      Error error = refused(file.path, Reason::kStreamFileUnknown);
      error.code = file.identity.error;
      return claiming(std::move(error), Claim::kStreamRefused, stream.name);
    }
    if (may_write_into(stream.shown.value.identity, file.identity.value)) {
      // `jassrewrite > logs/outputwar3map.j`: the shell empties the script before the run starts.
      const bool emptied = file.emptied_only_by_the_shell && stream.shown.value.size == 0;
      return claiming(refused(file.path, Reason::kIsAlsoStream,
                              emptied ? stream.advice_once_emptied : stream.advice),
                      Claim::kStreamRefused, stream.name);
    }
  }
  return std::nullopt;
}

StreamVerdict check_both(const Stream& output, const Stream& errors,
                         std::span<const SeenFile> files) {
  return {check_stream(output, files), check_stream(errors, files)};
}

Stream output_stream(const File& output) {
  return {"standard output", NextStep::kSendOutputElsewhere,
          NextStep::kSaveMapThenSendOutputElsewhere, status(output), true};
}
Stream error_stream(const File& errors) {
  return {"standard error", NextStep::kSendMessagesElsewhere,
          NextStep::kSaveMapThenSendMessagesElsewhere, status(errors), false};
}

bool is_file_or_unknown(const Stream& stream) {
  return stream.shown.error || stream.shown.value.regular;
}

}  // namespace

StreamVerdict check_streams(const File& output, const File& errors,
                            std::span<const SeenFile> files) {
  return check_both(output_stream(output), error_stream(errors), files);
}

StreamVerdict check_streams_by_name(const File& output, const File& errors,
                                    const std::string& script_path, const std::string& temp_path) {
  const Stream shown_output = output_stream(output);
  const Stream shown_errors = error_stream(errors);
  std::vector<SeenFile> files;
  // Consoles, pipes and the null device need no file looked at.
  if (is_file_or_unknown(shown_output) || is_file_or_unknown(shown_errors)) {
    // A new file left beside a missing script is given the script's name by the recovery, before
    // the streams can be checked again: what went into it by then would be at the end of the
    // script.
    const std::string mark = overwrite_mark_path(temp_path);
    for (const std::string& path : {script_path, script_path + kNewFileSuffix, temp_path, mark}) {
      const Result<FileStatus> named = status_at(path);
      if (named.error != std::errc::no_such_file_or_directory) {
        files.push_back({path, {named.value.identity, named.error}});
      }
    }
    if (!files.empty() && files.front().path == script_path) {
      files.front().emptied_only_by_the_shell = files.back().path != mark;
    }
  }
  return check_both(shown_output, shown_errors, files);
}

}  // namespace jassrewrite
