#include <cstdio>
#include <span>

#include "app/platform.h"
#include "app/run.h"

int main(int argc, char* argv[]) {
  jassrewrite::prepare_process();
  jassrewrite::File standard_output = jassrewrite::standard_output();
  jassrewrite::LineOutput console{.file = &standard_output,
                                  .line_break = jassrewrite::kConsoleLineBreak,
                                  .flush_every_line = jassrewrite::is_terminal(stdout)};
  return jassrewrite::run(std::span(argv, static_cast<std::size_t>(argc)), console);
}
