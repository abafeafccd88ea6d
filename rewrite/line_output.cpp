#include "rewrite/line_output.h"

namespace jassrewrite {

namespace {

bool write_bytes(LineOutput& out, std::string_view bytes) {
  if (!out.error) {
    out.error = out.hand_over(*out.file, bytes);
  }
  if (!out.error) {
    out.written += bytes.size();
    if (out.digest != nullptr) {
      out.digest->add(bytes);
    }
  }
  if (out.console) {
    out.last_handover = out.now();
  }
  return !out.error;
}

}  // namespace

void write_line(LineOutput& out, std::string_view line) {
  if (out.error || out.muted) {
    return;
  }
  if (out.pending.size() + line.size() + out.line_break.size() > kOutputBlockSize) {
    if (!write_bytes(out, out.pending)) {
      return;
    }
    out.pending.clear();
  }
  // A line too long for a block goes out directly instead of growing the block with it.
  if (line.size() >= kOutputBlockSize) {
    if (!write_bytes(out, line)) {
      return;
    }
  } else {
    out.pending.append(line);
  }
  out.pending.append(out.line_break);
  if (out.console && out.now() - out.last_handover >= kConsoleHandoverInterval) {
    flush_output(out);
  }
}

bool flush_output(LineOutput& out) {
  if (out.muted) {
    return !out.error;
  }
  if (!write_bytes(out, out.pending)) {
    return false;
  }
  out.pending.clear();
  return true;
}

void mute(LineOutput& out) {
  out.pending.clear();
  out.muted = true;
}

}  // namespace jassrewrite
