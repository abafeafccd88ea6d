#include "app/utf8.h"

namespace jassrewrite {

namespace {

bool is_continuation(unsigned char byte) { return (byte & 0xC0U) == 0x80U; }

}  // namespace

bool is_utf8(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size()) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80U) {
      ++i;
      continue;
    }
    // The range of the second byte is what rules out overlong forms, surrogates and code points
    // past U+10FFFF (Unicode's table of well-formed byte sequences).
    std::size_t length = 0;
    unsigned char low = 0x80U;
    unsigned char high = 0xBFU;
    if (lead >= 0xC2U && lead <= 0xDFU) {
      length = 2;
    } else if (lead >= 0xE0U && lead <= 0xEFU) {
      length = 3;
      low = lead == 0xE0U ? 0xA0U : low;
      high = lead == 0xEDU ? 0x9FU : high;
    } else if (lead >= 0xF0U && lead <= 0xF4U) {
      length = 4;
      low = lead == 0xF0U ? 0x90U : low;
      high = lead == 0xF4U ? 0x8FU : high;
    } else {
      return false;
    }
    if (text.size() - i < length) {
      return false;
    }
    const auto second = static_cast<unsigned char>(text[i + 1]);
    if (second < low || second > high) {
      return false;
    }
    for (std::size_t k = 2; k < length; ++k) {
      if (!is_continuation(static_cast<unsigned char>(text[i + k]))) {
        return false;
      }
    }
    i += length;
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
