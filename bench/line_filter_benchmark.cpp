// The CPU side of the conversion pass on its own: splitting an in-memory script into lines and
// running each through the filter, without any file or console I/O. Reports bytes per second.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "jass_script.h"
#include "rewrite/line_splitting.h"
#include "rewrite/user_code_filter.h"

namespace {

std::string make_script(std::size_t size) {
  std::string script;
  std::uint64_t state = 1;
  while (script.size() < size) {
    jassrewrite::bench::append_script_piece(script, state);
  }
  return script;
}

void split_and_filter(benchmark::State& state) {
  const std::string script = make_script(std::size_t{16} << 20);
  std::string buffer = script;
  const auto block_size = static_cast<std::size_t>(state.range(0));
  std::size_t rewritten_bytes = 0;
  for (auto _ : state) {
    state.PauseTiming();
    buffer = script;  // the filter rewrites in place
    state.ResumeTiming();
    jassrewrite::UserCodeFilter filter;
    std::string carried;
    const auto on_line = [&](std::span<char> line) {
      filter.filter_line(line);
      rewritten_bytes += line.size();
    };
    for (std::size_t offset = 0; offset < buffer.size(); offset += block_size) {
      const std::size_t length = std::min(block_size, buffer.size() - offset);
      jassrewrite::split_lines(std::span(buffer).subspan(offset, length), carried, on_line);
    }
    jassrewrite::finish_lines(carried, on_line);
    benchmark::DoNotOptimize(rewritten_bytes);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(script.size()));
}

BENCHMARK(split_and_filter)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
