// Writes a deterministic, JASS-like map script of about the requested size to standard output
// (see jass_script.h).
//
//   generate_script SIZE_IN_BYTES [SEED] > outputwar3map.j

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "jass_script.h"

int main(int argc, char* argv[]) {
  if (argc < 2) {
    std::fputs("usage: generate_script SIZE_IN_BYTES [SEED] > script.j\n", stderr);
    return 2;
  }
  const auto target_size = std::strtoull(argv[1], nullptr, 10);
  std::uint64_t state = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 1;

  // Written in chunks, so that a script of any size costs little memory.
  std::string chunk;
  std::uint64_t written = 0;
  while (written < target_size) {
    chunk.clear();
    while (chunk.size() < (1U << 16U)) {
      jassrewrite::bench::append_script_piece(chunk, state);
    }
    if (std::fwrite(chunk.data(), 1, chunk.size(), stdout) != chunk.size()) {
      std::perror("generate_script");
      return 1;
    }
    written += chunk.size();
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
