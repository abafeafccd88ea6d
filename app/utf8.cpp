#include "app/utf8.h"

namespace jassrewrite {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

// What a lead byte allows: the length of its sequence and the range of the second byte, which is
// what rules out overlong forms, surrogates and code points past U+10FFFF (Unicode's table of
// well-formed byte sequences). A length of zero for a byte that leads no sequence.
struct Lead {
  std::size_t length = 0;
  unsigned int low = 0x80U;
  unsigned int high = 0xBFU;
};

Lead lead_of(unsigned char lead) {
  if (lead >= 0xC2U && lead <= 0xDFU) {
    return {.length = 2};
  }
  if (lead >= 0xE0U && lead <= 0xEFU) {
    return {
        .length = 3, .low = lead == 0xE0U ? 0xA0U : 0x80U, .high = lead == 0xEDU ? 0x9FU : 0xBFU};
  }
  if (lead >= 0xF0U && lead <= 0xF4U) {
    return {
        .length = 4, .low = lead == 0xF0U ? 0x90U : 0x80U, .high = lead == 0xF4U ? 0x8FU : 0xBFU};
  }
  return {};
}

// The length of the well-formed sequence at the start of `text`, which is not empty; zero where
// there is none.
std::size_t sequence_length(std::string_view text) {
  const auto first = static_cast<unsigned char>(text[0]);
  if (first < 0x80U) {
    return 1;
  }
  const Lead lead = lead_of(first);
  if (lead.length == 0 || text.size() < lead.length) {
    return 0;
  }
  const unsigned int second = static_cast<unsigned char>(text[1]);
  if (second < lead.low || second > lead.high) {
    return 0;
  }
  for (std::size_t k = 2; k < lead.length; ++k) {
    if (!is_continuation(static_cast<unsigned char>(text[k]))) {
      return 0;
    }
  }
  return lead.length;
}

}  // namespace

bool is_utf8(std::string_view text) {
  while (!text.empty()) {
    const std::size_t length = sequence_length(text);
    if (length == 0) {
      return false;
    }
    text.remove_prefix(length);
  }
  return true;
}

std::size_t utf8_piece(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) {
    return text.size();
  }
  if (const std::size_t lf = text.rfind('\n', limit - 1); lf != std::string_view::npos) {
    return lf + 1;
  }
  std::size_t end = limit;
  while (end > 0 && is_continuation(static_cast<unsigned char>(text[end]))) {
    --end;
  }
  // Only where `text` is not UTF-8 after all: a piece of `limit` bytes then still moves on.
  return end > 0 ? end : limit;
}

}  // namespace jassrewrite
