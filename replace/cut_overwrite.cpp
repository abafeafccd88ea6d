// The recovery of an overwrite in place that an earlier run left unfinished under its mark.

#include "replace/copying.h"
#include "replace/overwrite_mark.h"
#include "replace/recovery.h"

namespace jassrewrite {

namespace {

Error with_note(Error error, Note note, Claim claim, std::string named = {}) {
  error.note = note;
  return claiming(std::move(error), claim, std::move(named));
}

// Neither file was touched, nor could anything be known.
Error unknown(Error error) {
  return with_note(std::move(error), Note::kEarlierCopyMayBeCut, Claim::kUnchanged);
}

// A file system mounted again (after a reboot, or a disk plugged in again) may be given another
// device number, while its files keep their numbers in it, their sizes and times. The record is
// read as of the device that tempwar3map.j, beside the mark, is on now, and so is the script's
// where the two shared one: what tells the run's own tempwar3map.j from another file of that
// number is what it holds, against the digest that the mark records.
void as_of_device(OverwriteRecord& record, std::uint64_t device) {
  if (record.script.identity.device == record.rewrite.identity.device) {
    record.script.identity.device = device;
  }
  record.rewrite.identity.device = device;
}

// tempwar3map.j as the run that wrote it left it, not whatever a link would lead to, read from its
// start.
std::optional<Error> open_recorded_rewrite(const RunPaths& paths, FoundMark& found, Opened& temp) {
  Result<Opened> opened = look_at(open_for_reading_unfollowed(paths.temp));
  if (opened.error == std::errc::no_such_file_or_directory ||
      opened.error == std::errc::too_many_symbolic_link_levels) {
    return refused(paths.script, Reason::kEarlierCopyTempLost);
  }
  if (opened.error) {
    return unknown(failed(paths.temp, opened.error));
  }
  as_of_device(found.record, opened.value.status.identity.device);
  if (!is_as_recorded(snapshot_of(opened.value.status), found.record.rewrite)) {
    return refused(paths.script, Reason::kEarlierCopyTempLost);
  }
  const Result<Content> held = content_of(opened.value.file);
  const std::error_code error = held.error ? held.error : rewind(opened.value.file);
  if (error) {
    return unknown(failed(paths.temp, error));
  }
  if (held.value != Content{found.record.rewrite.size, found.record.rewrite_digest}) {
    return refused(paths.script, Reason::kEarlierCopyTempLost);
  }
  temp = std::move(opened.value);
  return std::nullopt;
}

// Refuses unless the script is the file that was being overwritten, cut short: the start of the
// complete rewrite in tempwar3map.j, as `start` found, both files trusted.
std::optional<Error> refuse_unless_cut(const RunPaths& paths, const FoundMark& found,
                                       const Opened& script, const Opened& temp,
                                       const Result<bool>& start) {
  // A mark or tempwar3map.j that another user could have made must not have its bytes written into
  // a script that user may not write.
  const std::string mark = overwrite_mark_path(paths.temp);
  for (const auto& [path, file] : {std::pair{mark, found.status}, {paths.temp, temp.status}}) {
    if (auto reason = distrust(file, &script.status)) {
      return unknown(refused(path, *reason));
    }
  }
  // Only the file that was being overwritten is finished, never one that a link leads to now, nor
  // one that another program wrote since.
  if (!script.status.regular || script.status.identity != found.record.script.identity) {
    return claiming(refused(paths.script, Reason::kEarlierCopyChangedSince),
                    Claim::kUnchangedRewriteKept, paths.temp);
  }
  // Copying a file onto itself would empty it first.
  if (script.status.identity == temp.status.identity) {
    return unknown(refused(paths.temp, Reason::kTheScriptItself));
  }
  if (start.error || !start.value) {
    return start.error ? with_note(failed(paths.script, start.error), Note::kEarlierCopyCut,
                                   Claim::kCutShortRewriteKept, paths.temp)
                       : claiming(refused(paths.script, Reason::kEarlierCopyChangedSince),
                                  Claim::kUnchangedRewriteKept, paths.temp);
  }
  return std::nullopt;
}

// Copies the rest of the rewrite into the cut script, and removes the mark once the copy is
// verified.
Recovery finish_cut_overwrite(const RunPaths& paths, File& script, File& temp,
                              const Snapshot& rewrite, const Content& rewrite_content) {
  const std::string mark = overwrite_mark_path(paths.temp);
  const auto again = [&](Error failure) {
    if (failure.code == std::errc::no_space_on_device) {
      failure.next_step = after_full_disk(Claim::kCutShortRewriteKept);
    }
    return with_note(std::move(failure), Note::kEarlierCopyCutNextRunFinishes,
                     Claim::kCutShortRewriteKept, paths.temp);
  };
  if (auto failure = reserve_space(script, paths.script, rewrite.size)) {
    return {.error = again(*failure)};
  }
  Content copied;
  if (auto failure = overwrite_with(temp, paths.temp, script, paths.script, rewrite.size, copied)) {
    return {.error =
                failure->kind == ErrorKind::kRefused ? written_meanwhile(paths) : again(*failure)};
  }
  if (auto failure = check_copy_in_place(temp, script, paths, rewrite, rewrite_content, copied,
                                         refused(paths.script, Reason::kEarlierCopyTempLost))) {
    return {.error = failure};
  }
  const std::error_code removal = remove_lasting(mark);
  return {.done = Recovered::kFinishedCutOverwrite,
          .error = removal ? std::optional(failed(mark, removal)) : std::nullopt};
}

}  // namespace

Recovery recover_cut_overwrite(const RunPaths& paths) {
  const std::string mark = overwrite_mark_path(paths.temp);
  const auto [marked, error] = name_exists(mark);
  if (error || !marked) {
    return {.error = error ? std::optional(unknown(failed(mark, error))) : std::nullopt};
  }
  FoundMark found;
  if (auto unreadable = read_mark(mark, found)) {
    return {.error = unknown(*unreadable)};
  }
  Opened temp;
  if (auto lost = open_recorded_rewrite(paths, found, temp)) {
    return {.error = lost};
  }
  Result<Opened> script = look_at(open_existing(paths.script));
  if (script.error) {
    return {.error = with_note(failed(paths.script, script.error),
                               script.value.file.is_open() ? Note::kEarlierCopyCut
                                                           : Note::kEarlierCopyCutOnceWritable,
                               Claim::kCutShortRewriteKept, paths.temp)};
  }
  // Whether the script holds the start of the rewrite, read once: both files then stand where the
  // copy goes on.
  const Result<bool> start = is_start_of(script.value.file, temp.file);
  // A mark with the record of the script as it is was left before its first byte changed, unless
  // the script holds the start of the rewrite: where times are kept in whole seconds (FAT, exFAT),
  // a copy cut off within the second of its mark, at the recorded size, looks the same by its size
  // and times. The copy empties the script first, so what it leaves is a start of the rewrite;
  // anything else, such as another program's save within that second, is left to the run.
  if (is_as_recorded(snapshot_of(script.value.status), found.record.script)) {
    if (start.error) {
      return {.error = unknown(failed(paths.script, start.error))};
    }
    if (!start.value) {
      const std::error_code removal = remove_lasting(mark);
      return {.error = removal ? std::optional(unknown(failed(mark, removal))) : std::nullopt};
    }
  }
  if (auto refusal = refuse_unless_cut(paths, found, script.value, temp, start)) {
    return {.error = refusal};
  }
  return finish_cut_overwrite(paths, script.value.file, temp.file, snapshot_of(temp.status),
                              {found.record.rewrite.size, found.record.rewrite_digest});
}

}  // namespace jassrewrite
