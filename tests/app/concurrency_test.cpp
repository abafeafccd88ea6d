// Other runs and other programs at work in the map folder at the same time.

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "app/tool_runs.h"
#include "test_support.h"

namespace {

using namespace jassrewrite::end_to_end;

#ifndef _WIN32

// Regression: another program swapping tempwar3map.j for a link to the script, between the tool's
// checks of the name and its opening it, had the script emptied with exit status 0.
TEST(EndToEnd, SwappingTheTemporaryFileNeverLosesTheScript) {
  const std::string original = large_script(std::size_t{1} << 20);
  const fs::path folder = make_map_folder(original);
  const fs::path script = folder / "logs/outputwar3map.j";
  ASSERT_EQ(run_tool(folder).status, 0);
  const std::string rewritten = read_file(script);

  std::atomic<bool> stop{false};
  std::thread swapper([&] {
    const fs::path staged = folder / "staged";
    for (int i = 0; !stop; ++i) {
      std::error_code ignored;
      fs::remove(staged, ignored);
      // A hard link to the script would change the script's own status, which every run that sees
      // it refuses as a change; the Faults table covers hard links.
      if (i % 2 == 0) {
        fs::create_symlink("logs/outputwar3map.j", staged, ignored);
      } else {
        std::ofstream(staged) << "stale\r\n";
      }
      fs::rename(staged, folder / "tempwar3map.j", ignored);
      // Long enough for a run to find a file under the name as often as a link.
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
  });
  int succeeded = 0;
  int trial = 0;
  // Until a run has got past the swapped name, for at most 60 trials.
  for (; trial < 20 || (succeeded == 0 && trial < 60); ++trial) {
    write_file(script, original);
    const ToolRun run = run_tool(folder);
    const std::string now = read_file(script);
    EXPECT_TRUE(now == original || now == rewritten) << "trial " << trial << ": script lost";
    if (run.status == 0) {
      ++succeeded;
      EXPECT_TRUE(now == rewritten) << "trial " << trial << ": exit 0 without the rewrite";
    } else {
      EXPECT_EQ(run.status, 1) << run.err;
    }
  }
  stop = true;
  swapper.join();
  std::cout << succeeded << " of " << trial
            << " runs succeeded, the others refused the swapped name\n";
  EXPECT_GT(succeeded, 0) << "no run got past the swapped name: the test saw no race";
}

#endif  // _WIN32

// Regression: runs started at once in one folder (a build started twice) left the script cut
// short, emptied or mixed from both, and every run exited 0. The same for runs in two map folders
// that share one script by a link.
TEST(EndToEnd, RunsAtOnceGiveTheScriptOfOneRun) {
  const std::string original = large_script(std::size_t{4} << 20);
  const fs::path folder = make_map_folder(original);
  const fs::path script = folder / "logs/outputwar3map.j";
  ASSERT_EQ(run_tool(folder).status, 0);
  const std::string rewritten = read_file(script);
  const fs::path second = folder / "second-map";
  fs::create_directories(second / "logs");
#ifdef _WIN32
  fs::create_hard_link(script, second / "logs/outputwar3map.j");
#else
  fs::create_symlink("../../logs/outputwar3map.j", second / "logs/outputwar3map.j");
#endif
  const std::vector<std::string> waiting = {
      "", message("jassrewrite: waiting for another run in this folder to finish\n"),
      message("jassrewrite: logs/outputwar3map.j: waiting for the program that holds a lock on "
              "it, such as a run in another folder that shares it\n")};

  int waited = 0;
  for (const std::size_t runs : {std::size_t{2}, std::size_t{3}}) {
    for (const bool shared : {false, true}) {
      write_file(script, original);
      std::vector<ToolRun> results(runs);
      std::vector<std::thread> threads;
      for (std::size_t i = 0; i < runs; ++i) {
        threads.emplace_back([&, i] {
          results[i] = run_tool(shared && i % 2 == 1 ? second : folder, {"a", "b", "c"}, "",
                                std::string(".").append(std::to_string(i)));
        });
      }
      for (std::thread& thread : threads) {
        thread.join();
      }
      for (const ToolRun& run : results) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_NE(std::find(waiting.begin(), waiting.end(), run.err), waiting.end()) << run.err;
        waited += run.err.empty() ? 0 : 1;
      }
      EXPECT_SAME_BYTES(read_file(script), rewritten) << runs << " runs, shared " << shared;
      EXPECT_SAME_BYTES(read_file(folder / "tempwar3map.j"), rewritten) << runs << " runs";
    }
  }
  // Runs of megabytes started together overlap: were none told to wait, the locks did nothing.
  EXPECT_GT(waited, 0) << "no run waited for another";
}

}  // namespace
