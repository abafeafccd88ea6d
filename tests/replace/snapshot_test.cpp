// "Is it still the file that was read?", asked of a file as the run recorded it.

#include "replace/snapshot.h"

#include <gtest/gtest.h>

namespace jassrewrite {
namespace {

// The end-to-end tests cannot bring these about on a recent Linux, which gives a file that was
// looked at new times at its next write. Coarser clocks leave a write within one tick with the
// times as they were; Windows keeps no change time, so that there tempwar3map.j is known by its
// identity and size alone; and a program that copies a file's times with its bytes (cp -p, rsync)
// sets its modification time back.
TEST(Snapshot, IsAsRecordedOnlyWhileEveryRecordedFieldIsTheSame) {
  const Snapshot then = {.identity = {.device = 1, .index = 2},
                         .size = 10,
                         .modified = 100,
                         .changed = 200,
                         .links = 1};
  const auto with = [&then](auto change) {
    Snapshot now = then;
    change(now);
    return now;
  };
  EXPECT_TRUE(is_as_recorded(then, then));
  EXPECT_FALSE(is_as_recorded(with([](Snapshot& s) { s.identity.index = 3; }), then));
  EXPECT_FALSE(is_as_recorded(with([](Snapshot& s) { s.size = 11; }), then));
  EXPECT_FALSE(is_as_recorded(with([](Snapshot& s) { s.modified = 101; }), then));
  EXPECT_FALSE(is_as_recorded(with([](Snapshot& s) { s.changed = 201; }), then));
  // Losing a name moves the change time alone; a write meanwhile still moves the modification time.
  Snapshot unnamed = with([](Snapshot& s) { s.changed = 201; });
  unnamed.links = 0;
  EXPECT_TRUE(is_as_recorded(unnamed, then));
  unnamed.modified = 101;
  EXPECT_FALSE(is_as_recorded(unnamed, then));
}

}  // namespace
}  // namespace jassrewrite
