#include "replace/snapshot.h"

#include <charconv>
#include <string_view>
#include <vector>

namespace jassrewrite {

Result<Snapshot> record_of(const File& file) {
  const Result<FileStatus> now = status(file);
  if (now.error) {
    return {.error = now.error};
  }
  Snapshot record = snapshot_of(now.value);
  if (modified_time_moves_at_close()) {
    record.modified.reset();
  }
  return {.value = record};
}

Snapshot snapshot_of(const FileStatus& status) {
  return {.identity = status.identity,
          .size = status.size,
          .modified = status.modified,
          .changed = status.changed,
          .links = status.links};
}

bool is_as_recorded(const Snapshot& now, const Snapshot& then) {
  const bool lost_a_name = now.links < then.links;
  return now.identity == then.identity && now.size == then.size &&
         (!then.modified || now.modified == then.modified) &&
         (lost_a_name || now.changed == then.changed);
}

bool is_as_recorded_after_rename(const Snapshot& now, const Snapshot& then) {
  Snapshot renamed = then;
  renamed.changed = now.changed;
  return is_as_recorded(now, renamed);
}

std::optional<Reason> distrust(const FileStatus& file, const FileStatus* script) {
  if (!file.regular) {
    return Reason::kNotAFile;
  }
  // Permission bits do not stop root, so the owner is checked.
  if (!file.owned_by_caller && (script == nullptr || file.owner != script->owner)) {
    return Reason::kOtherUser;
  }
  if (file.links > 1) {
    return Reason::kOtherHardLinks;
  }
  return std::nullopt;
}

namespace {

// A line of the record: device, file ID (its upper half first, only where there is one, as on
// ReFS, so that a mark from a run on any other file system reads the same in every version), size,
// then the times the snapshot holds.
std::string line_of(const Snapshot& file, bool with_modified) {
  const FileIdentity& id = file.identity;
  std::string line = std::to_string(id.device) + " ";
  if (id.index_high != 0) {
    line += std::to_string(id.index_high) + ":";
  }
  line += std::to_string(id.index) + " " + std::to_string(file.size) + " ";
  if (with_modified) {
    line += std::to_string(file.modified.value_or(0)) + " ";
  }
  return line + std::to_string(file.changed) + "\n";
}

std::vector<std::string_view> words_of(std::string_view line) {
  std::vector<std::string_view> words;
  for (std::size_t start = 0; start <= line.size();) {
    const std::size_t end = std::min(line.find(' ', start), line.size());
    words.push_back(line.substr(start, end - start));
    start = end + 1;
  }
  return words;
}

template <class Number>
bool parse_number(std::string_view word, Number& number) {
  const auto [end, error] = std::from_chars(word.data(), word.data() + word.size(), number);
  return error == std::errc() && end == word.data() + word.size() && !word.empty();
}

bool parse_identity(std::string_view device, std::string_view index, FileIdentity& id) {
  if (const std::size_t colon = index.find(':'); colon != std::string_view::npos) {
    if (!parse_number(index.substr(0, colon), id.index_high) || id.index_high == 0) {
      return false;
    }
    index.remove_prefix(colon + 1);
  }
  return parse_number(device, id.device) && parse_number(index, id.index);
}

std::optional<Snapshot> parse_line(std::string_view line, bool with_modified) {
  const std::vector<std::string_view> words = words_of(line);
  if (words.size() != (with_modified ? 5U : 4U)) {
    return std::nullopt;
  }
  Snapshot file;
  std::int64_t modified = 0;
  if (!parse_identity(words[0], words[1], file.identity) || !parse_number(words[2], file.size) ||
      (with_modified && !parse_number(words[3], modified)) ||
      !parse_number(words.back(), file.changed)) {
    return std::nullopt;
  }
  if (with_modified) {
    file.modified = modified;
  }
  return file;
}

}  // namespace

std::string record_text(const OverwriteRecord& record) {
  return line_of(record.script, true) + line_of(record.rewrite, false) +
         std::to_string(record.rewrite_digest) + "\n";
}

std::optional<OverwriteRecord> parse_record(const std::string& text) {
  const std::size_t first_end = text.find('\n');
  const std::size_t second_end =
      first_end == std::string::npos ? first_end : text.find('\n', first_end + 1);
  if (second_end == std::string::npos || text.find('\n', second_end + 1) + 1 != text.size()) {
    return std::nullopt;
  }
  const std::string_view all(text);
  auto script = parse_line(all.substr(0, first_end), true);
  auto rewrite = parse_line(all.substr(first_end + 1, second_end - first_end - 1), false);
  std::uint64_t digest = 0;
  if (!script || !rewrite ||
      !parse_number(all.substr(second_end + 1, text.size() - second_end - 2), digest)) {
    return std::nullopt;
  }
  // The record has no link counts. tempwar3map.j had one name when its run recorded it, since a run
  // refuses one with more: one that has lost it since is still the file recorded.
  rewrite->links = 1;
  return OverwriteRecord{*script, *rewrite, digest};
}

}  // namespace jassrewrite
